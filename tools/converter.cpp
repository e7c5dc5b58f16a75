// The command-line converter: converts mail folders in place, or one folder to an output
// file or pipe, relabelling on request, or only looks at them.
#include <getopt.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "check.h"
#include "convert.h"
#include "converter.h"
#include "mail.h"
#include "platform.h"
#include "version.h"

namespace {

const char PROGRAM[] = "quorvel-convert";
const char VERSION[] = QUORVEL_VERSION;
const char STANDARD_STREAM[] = "-";

struct COptions {
    bool relabel = false;
    bool check = false;
    bool undo = false;
    const char *output = nullptr;
};

void PrintUsage(FILE *to)
{
    std::fprintf(to,
                 "Usage: %s [--relabel] FILE...\n"
                 "  or:  %s [--relabel] -o OUTPUT INPUT\n"
                 "  or:  %s --check [--relabel] FILE...\n"
                 "  or:  %s --undo FILE...\n"
                 "Converts mail folders from ISO-2022-KR (RFC 1557) to EUC-KR.  Each FILE is\n"
                 "converted in place, through a copy of what changes in it kept in the state\n"
                 "directory (~/.local/state/quorvel, %%LOCALAPPDATA%%\\Quorvel on Windows) until\n"
                 "the folder is on the disk, and its summary file FILE.snm\n"
                 "is deleted.\n"
                 "\n"
                 "  -r, --relabel        also make every charset label and encoded word that\n"
                 "                       names ISO-2022-KR name EUC-KR, convert base64 and\n"
                 "                       quoted-printable parts, and update Content-Length\n"
                 "  -o, --output=OUTPUT  write the converted INPUT to OUTPUT, leaving INPUT and\n"
                 "                       its summary file alone; INPUT '-' reads standard\n"
                 "                       input, OUTPUT '-' writes standard output.  A file\n"
                 "                       OUTPUT is replaced whole, through a new file beside\n"
                 "                       it, with its permissions, owner and group; through a\n"
                 "                       link, the file it names; a device, pipe or\n"
                 "                       /dev/stdout is written as it is\n"
                 "  -c, --check          change nothing: for each FILE, print its mails,\n"
                 "                       ISO-2022-KR passages and malformed sequences, and\n"
                 "                       with --relabel the labels that would change;\n"
                 "                       FILE '-' reads standard input\n"
                 "  -u, --undo           put each FILE back as it was before a conversion of it\n"
                 "                       was interrupted (a crash, a kill): its original, kept\n"
                 "                       in the state directory, is written back, and mail\n"
                 "                       appended since is kept at its end\n"
                 "  -h, --help           show this help and exit\n"
                 "  -V, --version        show the version and exit\n"
                 "\n"
                 "Exit status: 0 if every FILE was converted (with --check: read), 1 if any\n"
                 "failed, 2 for a usage error.\n",
                 PROGRAM, PROGRAM, PROGRAM, PROGRAM);
}

int UsageError(FILE *err, const char *what, const char *arg)
{
    std::fprintf(err, "%s: %s%s\n", PROGRAM, what, arg);
    std::fprintf(err, "Try '%s --help' for more information.\n", PROGRAM);
    return 2;
}

// The system's words for the last failure, or "" when it has none.
std::string LastReason()
{
    char reason[256];
    return DescribeError(GetLastError(), reason, sizeof reason) ? reason : "";
}

void Report(FILE *err, const std::string &name, const char *what, const std::string &reason)
{
    if (reason.empty())
        std::fprintf(err, "%s: %s: %s\n", PROGRAM, name.c_str(), what);
    else
        std::fprintf(err, "%s: %s: %s: %s\n", PROGRAM, name.c_str(), what, reason.c_str());
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The reason a job failed, naming the state directory where it, not the folder, is to blame.
std::string JobReason(const SJobResult &result)
{
    std::string reason = LastReason();
    if (result.stateDirectoryAtFault)
        reason = result.stateDirectory[0] == '\0' ? "cannot find the state directory (HOME unset?)"
                                                  : "state directory " + std::string(result.stateDirectory) + ": " +
                                                        reason;
    return reason;
}

// What the user is told of an interrupted job that is not to be guessed at: where the
// folder differs, and where its original is kept and how to put it back.
void TellWhatIsKept(FILE *err, const char *path, const SJobResult &result)
{
    if (result.differs) {
        std::string where = result.differsBefore
                                ? "somewhere before byte " + std::to_string(result.differsAt) +
                                      ", which the interrupted conversion never wrote"
                                : "at byte " + std::to_string(result.differsAt);
        std::fprintf(err, "%s: %s: it differs from what the interrupted conversion left %s\n", PROGRAM, path,
                     where.c_str());
        for (const char *line : {result.mailFrom, result.mailDate, result.mailSubject}) {
            if (line[0] != '\0')
                std::fprintf(err, "%s: %s:   in the mail: %s\n", PROGRAM, path, line);
        }
    }
    if (result.keptCopy[0] != '\0')
        std::fprintf(err,
                     "%s: %s: may be damaged; its original from byte %llu on is kept in %s (the bytes before it "
                     "are the folder's own), with the record %s; '%s --undo %s' puts it back\n",
                     PROGRAM, path, static_cast<unsigned long long>(result.keptFrom), result.keptCopy,
                     result.keptRecord, PROGRAM, path);
}

// Converts one folder in place.  deleted collects the summary files the jobs deleted.
bool ConvertInPlace(const char *path, StreamConverter convert, std::vector<std::string> &deleted, FILE *err)
{
    char summaryPath[PATH_SIZE];
    std::string summary =
        SummaryFileOf(path, summaryPath, sizeof summaryPath) ? summaryPath : std::string(path) + ".snm";
    // A summary file named after its folder, which the folder's own job has deleted.
    for (const std::string &name : deleted) {
        if (name == path && !Exists(path))
            return true;
    }
    bool hadSummary = Exists(summary);
    SJobResult result;
    if (!ConvertInbox(path, convert, &result)) {
        Report(err, path, "cannot convert", JobReason(result));
        TellWhatIsKept(err, path, result);
        return false;
    }
    if (result.leftBehind[0] != '\0') {
        SetLastError(result.leftBehindError);
        Report(err, path, ("warning: cannot delete " + std::string(result.leftBehind)).c_str(), LastReason());
    }
    if (result.completedInterrupted) {
        std::string kept = result.appendedKept > 0 ? ", keeping the " + std::to_string(result.appendedKept) +
                                                         " bytes of mail appended since"
                                                   : "";
        std::fprintf(err, "%s: %s: completed an interrupted conversion%s\n", PROGRAM, path, kept.c_str());
    }
    if (result.keptOld[0] != '\0')
        std::fprintf(err, "%s: %s: warning: what it held from byte %llu on is kept in %s\n", PROGRAM, path,
                     static_cast<unsigned long long>(result.keptFrom), result.keptOld);
    if (hadSummary) {
        // The job ignores a summary it could not delete (the folder is converted); one more
        // try tells why.
        if (!DeleteFileA(summary.c_str()) && Exists(summary))
            Report(err, summary, "warning: cannot delete the summary file", LastReason());
        deleted.push_back(summary);
    }
    return true;
}

// Puts one folder back as it was before a conversion of it was interrupted.
bool Undo(const char *path, FILE *out, FILE *err)
{
    SJobResult result;
    if (!UndoInterruptedJob(path, &result)) {
        Report(err, path, "cannot undo", JobReason(result));
        TellWhatIsKept(err, path, result);
        return false;
    }
    std::string kept = result.appendedKept > 0 ? ", keeping the " + std::to_string(result.appendedKept) +
                                                     " bytes of mail appended since"
                                               : "";
    std::fprintf(out, "%s: put back as it was before the interrupted conversion%s\n", path, kept.c_str());
    if (result.keptOld[0] != '\0')
        std::fprintf(err,
                     "%s: %s: warning: it had changed since in a way that cannot be told apart; what it held "
                     "from byte %llu on is kept in %s\n",
                     PROGRAM, path, static_cast<unsigned long long>(result.keptFrom), result.keptOld);
    if (result.leftBehind[0] != '\0') {
        SetLastError(result.leftBehindError);
        Report(err, path, ("warning: cannot delete " + std::string(result.leftBehind)).c_str(), LastReason());
    }
    return true;
}

// What the next job on the file at path would do with an interrupted one, in words: "" when
// none is pending.  *refused says whether it would refuse.
std::string PendingJob(const char *path, bool *refused)
{
    *refused = false;
    SJobResult result;
    switch (FindPendingJob(path, &result)) {
    case PENDING_NONE:
        return "";
    case PENDING_COMPLETE:
        return std::string("a conversion of it was interrupted; the next run completes it") +
               (result.appendedKept > 0
                    ? ", keeping the " + std::to_string(result.appendedKept) + " bytes of mail appended since"
                    : "");
    case PENDING_REFUSED:
        *refused = true;
        return JobReason(result) + "; the next run refuses it, and '" + PROGRAM + " --undo " + path +
               "' puts it back as it was";
    case PENDING_UNKNOWN:
        break;
    }
    // Told, but no reason to stop: the state directory may be broken for reasons of its own.
    std::fprintf(stderr, "%s: %s: warning: cannot tell whether a conversion of it was interrupted: %s\n", PROGRAM,
                 path, JobReason(result).c_str());
    return "";
}

// Holds back Ctrl-C, kill and hang-up while it lives, so that none lands between making a
// temporary file and marking it for removal.  Natively only: Windows has no signal mask.
struct SInterruptsHeld {
    SInterruptsHeld()
    {
#ifndef _WIN32
        sigset_t interrupts;
        sigemptyset(&interrupts);
        sigaddset(&interrupts, SIGINT);
        sigaddset(&interrupts, SIGTERM);
        sigaddset(&interrupts, SIGHUP);
        held = sigprocmask(SIG_BLOCK, &interrupts, &old) == 0;
#endif
    }
    SInterruptsHeld(const SInterruptsHeld &) = delete;
    SInterruptsHeld &operator=(const SInterruptsHeld &) = delete;
    ~SInterruptsHeld()
    {
#ifndef _WIN32
        if (held)
            (void)sigprocmask(SIG_SETMASK, &old, nullptr);  // a held signal arrives now
#endif
    }
#ifndef _WIN32
    sigset_t old;
    bool held;
#endif
};

// The directory that holds path, with its separator, or "" for the current directory.
std::string DirectoryOf(const std::string &path)
{
#ifdef _WIN32
    std::size_t sep = path.find_last_of("/\\:");
#else
    std::size_t sep = path.rfind('/');
#endif
    return sep == std::string::npos ? std::string("./") : path.substr(0, sep + 1);
}

// The file that path names, following its symbolic links one by one, as a program that
// opened path would reach it (the last link may name a file still to be made).  special
// tells whether any step was in /dev or /proc (/dev/stdout names whatever our standard
// output is): such a path is written as it stands.
std::string FollowLinks(const std::string &path, bool &special)
{
    special = false;
    std::string at = path;
#ifndef _WIN32
    for (int hop = 0; hop < 40; ++hop) {
        if (at.compare(0, 5, "/dev/") == 0 || at.compare(0, 6, "/proc/") == 0)
            special = true;
        char target[PATH_SIZE];
        ssize_t n = readlink(at.c_str(), target, sizeof target - 1);
        if (n <= 0)
            break;
        target[n] = '\0';
        at = target[0] == '/' ? std::string(target) : DirectoryOf(at) + target;
    }
#endif
    return at;
}

// Converts input into output, each a path or "-" for the standard stream.  A regular file
// output is written beside it under a temporary name and renamed over it, so that it is
// there whole or not at all, keeping its permissions, owner and group; through a link, the
// file it names.  Anything else (a device, a pipe, /dev/stdout) is written directly.
bool ConvertTo(const char *input, const char *output, StreamConverter convert, FILE *out, FILE *err)
{
    bool fromStdin = std::strcmp(input, STANDARD_STREAM) == 0;
    std::string inName = fromStdin ? "standard input" : input;
    // Never the bytes of a folder whose conversion was interrupted half-way.
    bool refused = false;
    std::string pending = fromStdin ? "" : PendingJob(input, &refused);
    if (!pending.empty()) {
        Report(err, inName, "cannot convert", pending);
        if (!refused)
            std::fprintf(err, "%s: %s: run '%s %s' first, or '%s --undo %s' to put it back\n", PROGRAM, input,
                         PROGRAM, input, PROGRAM, input);
        return false;
    }
    FILE *in = fromStdin ? stdin : std::fopen(input, "rb");
    if (in == nullptr || (fromStdin && !SetBinaryMode(in))) {
        Report(err, inName, "cannot read", LastReason());
        return false;
    }
    std::string outName = output, temp;
    FILE *to = nullptr;
    HANDLE held = INVALID_HANDLE_VALUE;  // the temporary file, flushed to the disk before the rename
    struct stat st;
    bool existing = stat(output, &st) == 0;
    bool special = false;
    std::string target = FollowLinks(output, special);
    if (std::strcmp(output, STANDARD_STREAM) == 0) {
        outName = "standard output";
        to = SetBinaryMode(out) ? out : nullptr;
    } else if ((existing && !S_ISREG(st.st_mode)) || special) {
        to = std::fopen(output, "wb");
    } else {
        char name[PATH_SIZE];
        std::string dir = DirectoryOf(target);
        {
            // cppcheck-suppress unusedVariable
            SInterruptsHeld interrupts;  // until the file is marked for removal
            if (GetTempFileNameA(dir.c_str(), "qvl", 0, name) == 0) {
                Report(err, outName, "cannot create a temporary file beside it", LastReason());
                if (!fromStdin)
                    std::fclose(in);
                return false;
            }
            temp = name;
            // Stopped with Ctrl-C or kill, it leaves no half-written file behind.
            RemoveOnInterrupt(temp.c_str());
        }
        held = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held != INVALID_HANDLE_VALUE)
            to = OpenHandleStream(held, "wb");
        // The output keeps the owner, group and permissions of the file it replaces, where
        // the system lets us (a user may give a file only to a group of theirs).
        if (to != nullptr && existing) {
#ifndef _WIN32
            if (fchown(fileno(to), st.st_uid, st.st_gid) != 0)
                (void)fchown(fileno(to), static_cast<uid_t>(-1), st.st_gid);
#endif
            (void)chmod(name, st.st_mode & 0777);
        }
    }
    bool ok = to != nullptr;
    std::string what = "cannot write";
    if (ok) {
        // Buffers as large as the in-place job's: many pieces to a system call.  Static, as
        // standard output keeps its buffer after we return.
        static char inBuffer[64 * 1024];
        static char outBuffer[64 * 1024];
        (void)std::setvbuf(in, inBuffer, _IOFBF, sizeof inBuffer);
        (void)std::setvbuf(to, outBuffer, _IOFBF, sizeof outBuffer);
    }
    if (ok && !ConvertGuarded(convert, in, to)) {
        ok = false;
        if (std::ferror(in)) {
            outName = inName;
            what = "cannot read";
        }
    }
    std::string reason = LastReason();
    if (!fromStdin)
        std::fclose(in);
    if (ok && held != INVALID_HANDLE_VALUE && !FlushFileBuffers(held)) {
        ok = false;
        reason = LastReason();
    }
    if (to != nullptr && to != out && std::fclose(to) != 0 && ok) {
        ok = false;
        reason = LastReason();
    }
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    if (ok && !temp.empty() &&
        !MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        reason = LastReason();
    }
    if (!ok && !temp.empty())
        DeleteFileA(temp.c_str());
    RemoveOnInterrupt(nullptr);
    if (!ok)
        Report(err, outName, what.c_str(), reason);
    return ok;
}

std::string Count(long n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Reads one folder and prints what a conversion would find in it.
bool Check(const char *path, bool relabel, FILE *out, FILE *err)
{
    bool fromStdin = std::strcmp(path, STANDARD_STREAM) == 0;
    FILE *in = fromStdin ? stdin : std::fopen(path, "rb");
    std::string name = fromStdin ? "standard input" : path;
    if (in == nullptr || (fromStdin && !SetBinaryMode(in))) {
        Report(err, name, "cannot read", LastReason());
        return false;
    }
    // The bytes of a folder half rewritten tell nothing of it: what the next run does does.
    bool refused = false;
    std::string pending = fromStdin ? "" : PendingJob(path, &refused);
    if (!pending.empty()) {
        std::fclose(in);
        std::fprintf(out, "%s: %s\n", name.c_str(), pending.c_str());
        if (std::fflush(out) != 0 || std::ferror(out)) {
            Report(err, "standard output", "cannot write", LastReason());
            return false;
        }
        return !refused;
    }
    CShiftScanner scanner;
    CFolderReader reader(in);
    reader.Observe([&scanner](std::string_view bytes) { scanner.Scan(bytes.data(), bytes.size()); });
    CFolderCounts counts;
    ResetDecoder();
    bool ok = true;
    try {
        if (relabel) {
            CMailSink nowhere;
            ok = RelabelPieces(reader, nowhere, &counts) != 0;
        } else {
            std::string_view run;
            bool lineStart = false;
            while (reader.NextPiece()) {
                counts.mails += reader.IsMail() ? 1 : 0;
                while (reader.NextRun(run, lineStart)) {
                }
            }
        }
    } catch (const std::bad_alloc &) {
        ok = false;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    scanner.Finish();
    ok = ok && !reader.Failed();
    std::string reason = LastReason();
    if (!fromStdin)
        std::fclose(in);
    if (!ok) {
        Report(err, name, "cannot read", reason);
        return false;
    }
    std::string line = name + ": " + Count(counts.mails, "mail", "mails") + ", " +
                       Count(scanner.m_nPassages, "ISO-2022-KR passage", "ISO-2022-KR passages") + ", " +
                       Count(scanner.m_nMalformed, "malformed sequence", "malformed sequences");
    for (std::size_t i = 0; i < scanner.m_firstLines.size(); ++i)
        line += (i == 0 ? " (line " : ", ") + std::to_string(scanner.m_firstLines[i]);
    if (!scanner.m_firstLines.empty())
        line += ")";
    if (relabel)
        line += ", " + Count(counts.labels, "label to change", "labels to change");
    std::fprintf(out, "%s\n", line.c_str());
    // A report that cannot be written is a check that failed (a full disk, a closed pipe).
    if (std::fflush(out) != 0 || std::ferror(out)) {
        Report(err, "standard output", "cannot write", LastReason());
        return false;
    }
    return true;
}

}  // namespace

int RunConverter(int argc, char **argv, FILE *out, FILE *err)
{
    static const option LONG_OPTIONS[] = {
        {"relabel", no_argument, nullptr, 'r'},
        {"output", required_argument, nullptr, 'o'},
        {"check", no_argument, nullptr, 'c'},
        {"undo", no_argument, nullptr, 'u'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    COptions options;
    // getopt keeps its place in globals: start afresh, and let us word the complaints.
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":ro:cuhV", LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
        case 'r':
            options.relabel = true;
            break;
        case 'o':
            options.output = optarg;
            break;
        case 'c':
            options.check = true;
            break;
        case 'u':
            options.undo = true;
            break;
        case 'h':
            PrintUsage(out);
            return 0;
        case 'V':
            std::fprintf(out, "%s %s\n", PROGRAM, VERSION);
            return 0;
        case ':':
            return UsageError(err, "option needs an argument: ", argv[optind - 1]);
        default:
            if (optopt != 0) {
                char option[3] = {'-', static_cast<char>(optopt), '\0'};
                return UsageError(err, "unknown option ", option);
            }
            return UsageError(err, "unknown option ", argv[optind - 1]);
        }
    }
    int nFiles = argc - optind;
    if (nFiles == 0)
        return UsageError(err, "no FILE given", "");
    if (options.output != nullptr && options.check)
        return UsageError(err, "--check changes nothing and writes no OUTPUT", "");
    if (options.undo && (options.output != nullptr || options.check || options.relabel))
        return UsageError(err, "--undo takes no other option", "");
    if (options.output != nullptr && nFiles != 1)
        return UsageError(err, "-o takes exactly one INPUT", "");

    // So that a conversion interrupted in either way is completed the same way.
    (void)NameStreamConverter("relabel", RelabelStream);
    StreamConverter convert = options.relabel ? RelabelStream : ConvertStream;
    if (options.output != nullptr)
        return ConvertTo(argv[optind], options.output, convert, out, err) ? 0 : 1;

    int status = 0;
    std::vector<std::string> deleted;
    for (int i = optind; i < argc; ++i) {
        bool ok = options.undo    ? Undo(argv[i], out, err)
                  : options.check ? Check(argv[i], options.relabel, out, err)
                                  : ConvertInPlace(argv[i], convert, deleted, err);
        if (!ok)
            status = 1;
    }
    return status;
}
