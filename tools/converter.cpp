// The command-line converter: converts mail folders in place, or one folder to an output
// file or pipe, its labels following its bytes unless asked to keep them, or only looks at
// them.
#include <getopt.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "check.h"
#include "common.h"
#include "convert.h"
#include "converter.h"
#include "front_end.h"
#include "imap_store.h"
#include "iso2022kr.h"
#include "mail.h"
#include "platform.h"
#include "progress.h"
#include "rfc5322.h"
#include "tree.h"
#include "tree_report.h"
#include "version.h"
#include "write_anew.h"

namespace {

const char VERSION[] = QUORVEL_VERSION;
const char STANDARD_STREAM[] = "-";
// Why a directory named where a FILE goes is not converted, and what would convert it.
const char DIRECTORY_HINT[] = "Is a directory; -R converts every mail file under it";

// The backup's suffix when --backup names none, as GNU cp and mv make it.
const char DEFAULT_BACKUP_SUFFIX[] = "~";
// Line ends here, and what the conversion makes of the others, in words.
const bool CRLF_HERE = std::strcmp(PLATFORM_LINE_END, "\r\n") == 0;

// The progress line of the run under way (RunConverter), which draws nothing where it is
// not to be shown; null outside a run.
CProgressLine *g_pProgress;

struct COptions {
    bool relabel = false;  // asked for by name: what is done anyway
    bool keepLabels = false;
    bool check = false;
    bool undo = false;
    bool quiet = false;
    const char *backup = nullptr;  // the backup's suffix; null for none
    const char *output = nullptr;
    bool recursive = false;
    bool profile = false;
    const char *profileDir = "";  // --profile's DIR; "" for the default profile
    // An IMAP account's: one more authority to trust, and where the secret comes from.
    const char *caFile = nullptr;
    const char *passwordCommand = nullptr;
    const char *oauth2Command = nullptr;
};

// A value for each long option with no short one.
enum ELongOnly { OPTION_PROFILE = 0x100, OPTION_RELABEL, OPTION_CACERT, OPTION_PASSWORD_COMMAND, OPTION_OAUTH2_COMMAND };

void PrintUsage(FILE *to)
{
    std::fprintf(to,
                 "Usage: %s [OPTION]... FILE...\n"
                 "  or:  %s [OPTION]... -o OUTPUT [INPUT]\n"
                 "  or:  %s --check [--keep-labels] [FILE]...\n"
                 "  or:  %s --undo FILE...\n"
                 "  or:  %s -R [--check] [OPTION]... DIR...\n"
                 "  or:  %s --profile[=DIR] [OPTION]...\n"
                 "  or:  %s [-R] [--check | --undo] [OPTION]... imaps://USER@HOST[:PORT][/MAILBOX]...\n"
                 "Converts Korean mail from 7-bit ISO-2022-KR (RFC 1557) to 8-bit EUC-KR: each\n"
                 "mail folder FILE (an mbox file, or a file of one mail such as a .eml) in\n"
                 "place, or one INPUT to OUTPUT.  FILE '-' is standard input, converted to\n"
                 "standard output; so is standard input with no FILE, where it is not a\n"
                 "terminal.\n"
                 "\n"
                 "So that today's mail programs show the mail, every charset label and encoded\n"
                 "word that names ISO-2022-KR comes to name EUC-KR, base64 and quoted-printable\n"
                 "parts are converted too, and Content-Length follows the body.  Every line\n"
                 "end, CR LF or LF, becomes %s.\n"
                 "A FILE is converted through a copy of what changes in it, kept in the state\n"
                 "directory (~/.local/state/quorvel, %%LOCALAPPDATA%%\\Quorvel on Windows) until\n"
                 "the folder is on the disk; then, if it changed, its summary files FILE.snm\n"
                 "and FILE.msf are deleted.  A FILE that is no mail (its first line neither a\n"
                 "From line nor a header field) is left as it is, and named on standard error:\n"
                 "'skipped: binary file' where it holds a NUL byte, 'skipped: not mail'\n"
                 "otherwise; but a Korean text, one that starts with the ISO-2022-KR\n"
                 "designator or a text with a line that does, is converted.\n"
                 "\n"
                 "  -k, --keep-labels    convert the bytes only, the whole file as one text, and\n"
                 "                       leave every label and Content-Length as they are: for\n"
                 "                       the old mail client's own folders (its Inbox), which\n"
                 "                       it reads as one text, ignoring labels.  For a folder\n"
                 "                       that any other mail program is to read, keep the\n"
                 "                       default: a label left naming ISO-2022-KR over EUC-KR\n"
                 "                       bytes makes it show no text at all\n"
                 "      --relabel        relabel as well as convert, as is done anyway\n"
                 "  -o, --output=OUTPUT  write the converted INPUT to OUTPUT, leaving INPUT and\n"
                 "                       its summary file alone; INPUT '-' (or none) reads\n"
                 "                       standard input, OUTPUT '-' writes standard output.  A\n"
                 "                       file OUTPUT is replaced whole, through a new file\n"
                 "                       beside it, with its permissions, owner and group;\n"
                 "                       through a link, the file it names; a device, pipe or\n"
                 "                       /dev/stdout is written as it is\n"
                 "  -b, --backup[=SUFFIX]\n"
                 "                       first copy each FILE whole to FILE~ (FILE and SUFFIX),\n"
                 "                       replacing an older one, and have the copy on the disk\n"
                 "                       before FILE changes; made even when nothing in FILE is\n"
                 "                       to change.  Through a link, beside the file it names.\n"
                 "                       A backup that cannot be made leaves FILE as it is\n"
                 "  -c, --check          change nothing: for each FILE, print its mails,\n"
                 "                       ISO-2022-KR passages, malformed sequences, the labels\n"
                 "                       that would change and the line ends that would\n"
                 "                       change; with --keep-labels, a warning instead for\n"
                 "                       labels that would be left naming ISO-2022-KR.  FILE\n"
                 "                       '-' reads standard input.  With -R or --profile,\n"
                 "                       walk the tree as a conversion would and print what\n"
                 "                       it would do: folders converted (with the facts\n"
                 "                       above), maildir messages renamed (old name, the\n"
                 "                       new name's form and size), quota lines appended,\n"
                 "                       summary files and server caches deleted, and what\n"
                 "                       it would tidy of a run that was stopped; nothing\n"
                 "                       is written, locked or deleted\n"
                 "  -u, --undo           put each FILE back as it was before a conversion of it\n"
                 "                       was interrupted (a crash, a kill): its original, kept\n"
                 "                       in the state directory, is written back, and mail\n"
                 "                       appended since is kept at its end\n"
                 "  -R, -r, --recursive  convert every mail file under each DIR: mbox folders and\n"
                 "                       files of one mail as FILEs are, maildir messages\n"
                 "                       written anew in the maildir's tmp/ and moved back\n"
                 "                       under new names (flags kept; the old name goes),\n"
                 "                       and .emlx files, their byte count following the\n"
                 "                       message; the .msf and .snm summaries of a folder\n"
                 "                       that changes are deleted.\n"
                 "                       Files with nothing to change are not written; other\n"
                 "                       files are skipped.  Follows no symbolic link, skips\n"
                 "                       special files, leaves ImapMail/ alone, and refuses a\n"
                 "                       profile that a running mail program holds.  A run\n"
                 "                       that was stopped is completed by the next one over\n"
                 "                       the same tree.  Ends with one line: files converted,\n"
                 "                       mails, files skipped and why, files that failed\n"
                 "      --profile[=DIR]  convert the Mail/ tree of the Thunderbird (or Mozilla\n"
                 "                       suite) profile DIR as -R does, or with no DIR of the\n"
                 "                       default profile that profiles.ini names; not while\n"
                 "                       Thunderbird holds the profile.  ImapMail/, offline\n"
                 "                       copies of server mail, is left alone\n"
                 "\n"
                 "A mailbox on an IMAP account (imap:// through STARTTLS; MAILBOX percent-encoded\n"
                 "UTF-8; with -R every mailbox under it, on Gmail its All Mail) is converted where\n"
                 "it lies: each mail that needs it is appended converted, with its flags, date\n"
                 "and labels, read back and compared, and only then is the original moved to\n"
                 "the account's Trash.  --undo on the account puts the last run back.\n"
                 "      --cacert=FILE    trust the authority in FILE as well as the system's\n"
                 "      --password-command=CMD\n"
                 "                       the password is CMD's first line of output (otherwise\n"
                 "                       ~/.netrc's, or asked for on the terminal)\n"
                 "      --oauth2-command=CMD\n"
                 "                       log in with an OAuth 2.0 token, CMD's first line\n"
                 "\n"
                 "  -q, --quiet          show no progress, no notices and no FILE skipped;\n"
                 "                       warnings and errors are still shown\n"
                 "  -h, --help           show this help and exit\n"
                 "  -V, --version        show the version and exit\n"
                 "\n"
                 "On a terminal, a job that takes more than a second shows its progress on\n"
                 "standard error, in one line that is erased when the job ends.\n"
                 "\n"
                 "Exit status: 0 if every FILE was converted or skipped (with --check: read,\n"
                 "and with -R or --profile too: would be converted), 1 if any failed (would\n"
                 "fail), 2 for a usage error.\n",
                 PROGRAM, PROGRAM, PROGRAM, PROGRAM, PROGRAM, PROGRAM, PROGRAM,
                 CRLF_HERE ? "CR LF, as on Windows (LF elsewhere)" : "LF, as on this system (CR LF on Windows)");
}

int UsageError(FILE *err, const char *what, const char *arg)
{
    std::fprintf(err, "%s: %s%s\n", PROGRAM, what, arg);
    std::fprintf(err, "Try '%s --help' for more information.\n", PROGRAM);
    return 2;
}

// The complaint for an option that getopt_long refused (c ':' for a missing argument, '?'
// otherwise), naming it as it was given: a long one by the name typed, a short one alone,
// not with the others it was grouped with.  given is the argument getopt_long last took.
int OptionError(FILE *err, int c, const char *given, const option *longOptions)
{
    std::string_view typed(given);
    bool isLong = typed.compare(0, 2, "--") == 0 && typed.size() > 2;
    std::string_view name = isLong ? typed.substr(2, typed.find('=') - 2) : std::string_view();
    // The long options that the name typed stands for: itself, or those it begins.
    std::vector<const option *> meant;
    for (const option *o = longOptions; isLong && o->name != nullptr; ++o) {
        if (name == o->name) {
            meant.assign(1, o);
            break;
        }
        if (std::string_view(o->name).compare(0, name.size(), name) == 0)
            meant.push_back(o);
    }
    // A short option refused after a long one: getopt_long has not moved past its group.
    if (isLong && optopt != 0 && !(meant.size() == 1 && meant[0]->val == optopt))
        isLong = false;
    std::string shown = isLong ? "--" + std::string(name) : std::string{'-', static_cast<char>(optopt)};
    // Before the missing argument: some getopt_long (mingw-w64's) take an argument to an
    // option that has none for a missing one.
    if (isLong && meant.size() == 1 && typed.find('=') != std::string_view::npos && meant[0]->has_arg == no_argument)
        return UsageError(err, "option takes no argument: ", std::string(typed).c_str());
    if (c == ':')
        return UsageError(err, "option needs an argument: ", shown.c_str());
    if (isLong && meant.size() > 1) {
        std::string names;
        for (std::size_t i = 0; i < meant.size(); ++i)
            names += std::string(i == 0 ? "" : i + 1 == meant.size() ? " or " : ", ") + "--" + meant[i]->name;
        return UsageError(err, "ambiguous option ", (shown + ": " + names).c_str());
    }
    return UsageError(err, "unknown option ", shown.c_str());
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
    return KindOfPath(path.c_str()) != EPathKind::MISSING;
}

bool IsDirectory(const std::string &path)
{
    return KindOfPath(path.c_str()) == EPathKind::DIRECTORY;
}

// RelabelStream, each byte it reads told to the progress line.
int RelabelWithProgress(FILE *in, FILE *out);
// The relabelling as this program runs it, with its progress told.
const SConversion RELABEL_WITH_PROGRESS = {RELABEL_KIND, RelabelWithProgress};

// What a job of this program converts with: the relabelling, or with keepLabels the plain
// conversion; either way a job stopped in the other is completed as it began.
SConverters ConvertersFor(bool keepLabels)
{
    SConverters converters;
    if (!keepLabels)
        converters.use = RELABEL_WITH_PROGRESS;
    converters.others = &RELABEL_WITH_PROGRESS;
    converters.otherCount = 1;
    return converters;
}

// Converts one folder in place.  deleted collects the summary files the jobs deleted.
// quiet leaves out what is neither an error nor a warning.
bool ConvertInPlace(const char *path, const SConverters &converters, bool quiet, std::vector<std::string> &deleted,
                    FILE *err)
{
    // A summary file named after its folder, which the folder's own job has deleted.
    for (const std::string &name : deleted) {
        if (name == path && !Exists(path))
            return true;
    }
    // A store's own file (Apple Mail's .emlx) is its store's to convert, as the walk does.
    std::string name = path;
    if (IsStoreFile(name)) {
        STreeOptions tree;
        tree.converters = converters;
        STreeReport report;
        bool ok = ConvertTrees({name}, tree, report);
        report.walked = false;  // no summary for one file
        TellTreeReport(report, quiet, stdout, err);
        return ok;
    }
    // A folder of a profile, while the mail program that holds it runs, is its alone.
    std::string why, warning;
    if (!MayConvertFolder(path, why, warning)) {
        Report(err, path, "cannot convert", why);
        return false;
    }
    if (!warning.empty())
        Report(err, path, ("warning: " + warning).c_str(), "");
    // Its directory opened once: the job reaches all beside the folder through it.
    SFolderAt at;
    if (!OpenFolderAt(path, &at)) {
        Report(err, path, "cannot convert", LastReason());
        return false;
    }
    SJobResult result;
    g_pProgress->Start(path);
    bool converted = ConvertFolderInPlace(*at.dir, at.name, converters, &result);
    g_pProgress->Finish();
    if (!converted) {
        TellJobFailed(err, path, result);
        return false;
    }
    TellJobDone(err, path, result, quiet);
    if (result.summaryLeft[0] != '\0') {
        SetLastError(result.summaryError);
        Report(err, result.summaryLeft, "warning: cannot delete the summary file", LastReason());
    }
    // The cache a mail server keeps of the folder no longer says where its mails are.
    DWORD cacheError = 0;
    if (result.rewritten && !DeleteServerCache(*at.dir, at.name, &cacheError) && cacheError != 0) {
        SetLastError(cacheError);
        Report(err, path, "warning: cannot delete the mail server's cache of it", LastReason());
    }
    if (result.summariesDeleted > 0) {
        deleted.push_back(at.dir->PathOf(at.name + ".snm"));
        deleted.push_back(at.dir->PathOf(at.name + ".msf"));
    }
    return true;
}

// Puts one folder back as it was before a conversion of it was interrupted.
bool Undo(const char *path, FILE *out, FILE *err)
{
    if (IsDirectory(path)) {
        Report(err, path, "cannot undo",
               "Is a directory; -R over it again completes what a stopped -R left undone");
        return false;
    }
    SJobResult result;
    SFolderAt at;
    if (!OpenFolderAt(path, &at)) {
        Report(err, path, "cannot undo", LastReason());
        return false;
    }
    if (!UndoInterruptedJob(*at.dir, at.name, ConvertersFor(false), &result)) {
        Report(err, path, "cannot undo", JobReason(result, path));
        TellWhatIsKept(err, path, result);
        TellLockFileLeft(err, path, result);
        TellStrayOld(err, path, result);
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
    TellLockFileLeft(err, path, result);
    TellStrayOld(err, path, result);
    return true;
}

// What the next job on the file at path would do with an interrupted one, in words: "" when
// none is pending.  *refused says whether it would refuse.  Where it cannot be told, err has
// a warning.
std::string PendingJob(const char *path, bool *refused, FILE *err)
{
    *refused = false;
    SJobResult result;
    SFolderAt at;
    // What cannot be reached as a file has no job of ours.
    if (!OpenFolderAt(path, &at))
        return "";
    EPendingJob pending = FindPendingJob(*at.dir, at.name, ConvertersFor(false), &result);
    if (pending == PENDING_NONE)
        return "";
    if (pending != PENDING_UNKNOWN) {
        *refused = pending == PENDING_REFUSED;
        return PendingJobWords(path, pending, result);
    }
    // Told, but no reason to stop: the state directory may be broken for reasons of its own.
    std::fprintf(err, "%s: %s: warning: cannot tell whether a conversion of it was interrupted: %s\n", PROGRAM,
                 path, JobReason(result, path).c_str());
    return "";
}

// Why the open file is not one to read or write as a file, in words: a pipe or a device
// would wait for another program or never end.
std::string NotAFile(HANDLE file)
{
    switch (GetFileType(file)) {
    case FILE_TYPE_PIPE:
        return "a pipe (FIFO) or socket, not a regular file";
    case FILE_TYPE_CHAR:
        return "a device, not a regular file";
    default:
        return "not a regular file";
    }
}

// Opens the file at path to be read as a stream.  The open never waits (for a pipe's
// writer, a device), and what it opened is looked at before a byte is read: a regular
// file is taken; where streams is true (an INPUT, which may be a stream as standard input
// may), a pipe or device too, a pipe then waited on for its writer as any reader of one
// does; anything else is refused at once.  Null on failure, with reason saying why.
FILE *OpenToRead(const char *path, bool streams, std::string &reason)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = LastReason();
        return nullptr;
    }
    DWORD type = GetFileType(file);
    FILE *stream = nullptr;
    // Windows opens a pipe as its reader already.
    bool reopened = type == FILE_TYPE_PIPE && PipeNeedsReopening();
    bool asItIs = type == FILE_TYPE_DISK || (streams && (type == FILE_TYPE_CHAR || (type == FILE_TYPE_PIPE && !reopened)));
    if (asItIs) {
        stream = OpenHandleStream(file, "rb");
        if (stream == nullptr)
            reason = LastReason();
    } else if (streams && reopened) {
        // Opened without waiting, a FIFO that no program writes to yet would seem to end at
        // once: opened again as a reader opens it, once it is known to be one, and taken
        // only if it is the same FIFO still.
        stream = ReopenPipeToRead(file, path);
        if (stream == nullptr)
            reason = LastReason();
    } else {
        reason = NotAFile(file);
    }
    CloseHandle(file);
    return stream;
}

// How long -o waits for a program to open its OUTPUT FIFO to read: so many tries, so far
// apart.
const int FIFO_READER_TRIES = 100;
const int FIFO_READER_WAIT_MILLISECONDS = 20;

// Converts input into output, each a path or "-" for the standard stream (stdIn, out).  A
// regular file output is written beside it under a temporary name and renamed over it, so
// that it is there whole or not at all, keeping its permissions, owner and group; through a
// link, the file it names.  Anything else (a device, a pipe, /dev/stdout) is written
// directly.
bool ConvertTo(const char *input, const char *output, StreamConverter convert, FILE *stdIn, FILE *out, FILE *err)
{
    bool fromStdin = std::strcmp(input, STANDARD_STREAM) == 0;
    std::string inName = fromStdin ? "standard input" : input;
    if (!fromStdin && IsDirectory(input)) {
        Report(err, inName, "cannot read", DIRECTORY_HINT);
        return false;
    }
    // Never the bytes of a folder whose conversion was interrupted half-way.
    bool refused = false;
    std::string pending = fromStdin ? "" : PendingJob(input, &refused, err);
    if (!pending.empty()) {
        Report(err, inName, "cannot convert", pending);
        if (!refused)
            std::fprintf(err, "%s: %s: run '%s %s' first, or '%s --undo %s' to put it back\n", PROGRAM, input,
                         PROGRAM, input, PROGRAM, input);
        return false;
    }
    std::string why;
    FILE *in = fromStdin ? stdIn : OpenToRead(input, true, why);
    if (in == nullptr || (fromStdin && !SetBinaryMode(in))) {
        Report(err, inName, "cannot read", fromStdin ? LastReason() : why);
        return false;
    }
    std::string outName = output, temp;
    FILE *to = nullptr;
    HANDLE held = INVALID_HANDLE_VALUE;  // the temporary file, flushed to the disk before the rename
    SFileOwner owner;
    EPathKind kind = KindOfPath(output, &owner);
    bool existing = kind != EPathKind::MISSING;
    bool special = false;
    std::string target = FollowLinks(output, special);
    if (std::strcmp(output, STANDARD_STREAM) == 0) {
        outName = "standard output";
        to = SetBinaryMode(out) ? out : nullptr;
    } else if ((existing && kind != EPathKind::FILE) || special) {
        // Opened where it is, without waiting: a pipe (FIFO) that no program has opened to
        // read is given a moment for its reader (one started beside us), then refused
        // rather than waited on forever.
        HANDLE file = INVALID_HANDLE_VALUE;
        for (int tries = 0;; ++tries) {
            file = CreateFileA(output, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE && PipeHadNoReader() && kind == EPathKind::PIPE &&
                tries < FIFO_READER_TRIES) {
                std::this_thread::sleep_for(std::chrono::milliseconds(FIFO_READER_WAIT_MILLISECONDS));
                continue;
            }
            break;
        }
        DWORD type = file != INVALID_HANDLE_VALUE ? GetFileType(file) : FILE_TYPE_UNKNOWN;
        if (type == FILE_TYPE_DISK) {
            // A file reached through /proc is written in place, from its start.
            if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0 || !SetEndOfFile(file))
                type = FILE_TYPE_UNKNOWN;
        }
        if (type == FILE_TYPE_DISK || type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE)
            to = OpenHandleStream(file, "wb");
        else if (file != INVALID_HANDLE_VALUE)
            SetLastError(ERROR_NOT_A_FILE);
        if (file == INVALID_HANDLE_VALUE && kind == EPathKind::PIPE && PipeHadNoReader()) {
            Report(err, outName, "cannot write",
                   "a pipe (FIFO) that no program opened to read within " +
                       std::to_string(FIFO_READER_TRIES * FIFO_READER_WAIT_MILLISECONDS / 1000) + " seconds");
            if (!fromStdin)
                std::fclose(in);
            return false;
        }
        if (file != INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            CloseHandle(file);
            SetLastError(error);
        }
    } else {
        held = CreateTemporaryIn(DirectoryOf(target), temp);
        if (held == INVALID_HANDLE_VALUE) {
            Report(err, outName, "cannot create a temporary file beside it", LastReason());
            if (!fromStdin)
                std::fclose(in);
            return false;
        }
        to = OpenHandleStream(held, "wb");
        if (to != nullptr && existing)
            TakeOwnerAndMode(to, owner, 0777);
        else if (to != nullptr)
            GiveNewFileMode(to);
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
    g_pProgress->Start(inName);
    bool converted = ok && ConvertGuarded(convert, in, to) != 0;
    g_pProgress->Finish();
    if (ok && !converted) {
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
    if (ok && !temp.empty() && !PutInPlace(temp.c_str(), target.c_str(), DirectoryOf(target).c_str())) {
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

// Reads one folder and prints what a conversion would find in it: with keepLabels, the
// labels that would be left naming ISO-2022-KR as a warning.
bool Check(const char *path, bool keepLabels, FILE *stdIn, FILE *out, FILE *err)
{
    bool fromStdin = std::strcmp(path, STANDARD_STREAM) == 0;
    if (!fromStdin && IsDirectory(path)) {
        Report(err, path, "cannot read", "Is a directory; -R --check looks at every mail file under it");
        return false;
    }
    std::string why;
    FILE *in = fromStdin ? stdIn : OpenToRead(path, true, why);
    std::string name = fromStdin ? "standard input" : path;
    if (in == nullptr || (fromStdin && !SetBinaryMode(in))) {
        Report(err, name, "cannot read", fromStdin ? LastReason() : why);
        return false;
    }
    // The bytes of a folder half rewritten tell nothing of it: what the next run does does.
    bool refused = false;
    std::string pending = fromStdin ? "" : PendingJob(path, &refused, err);
    if (!pending.empty()) {
        std::fclose(in);
        std::fprintf(out, "%s: %s\n", name.c_str(), pending.c_str());
        if (std::fflush(out) != 0 || std::ferror(out)) {
            Report(err, "standard output", "cannot write", LastReason());
            return false;
        }
        return !refused;
    }
    std::uint64_t read = 0;
    SFolderLook look;
    g_pProgress->Start(name);
    bool ok = LookAtFolder(in, look, !keepLabels, [&](std::string_view bytes) {
        read += bytes.size();
        g_pProgress->Advance(in, read);
    });
    g_pProgress->Finish();
    std::string reason = LastReason();
    if (!fromStdin)
        std::fclose(in);
    if (!ok) {
        Report(err, name, "cannot read", reason);
        return false;
    }
    std::fprintf(out, "%s: %s\n", name.c_str(), FolderLookWords(look, keepLabels).c_str());
    // A report that cannot be written is a check that failed (a full disk, a closed pipe).
    if (std::fflush(out) != 0 || std::ferror(out)) {
        Report(err, "standard output", "cannot write", LastReason());
        return false;
    }
    return true;
}

// What a FILE named to be converted in place is to the converter.
enum EFileKind {
    FILE_TO_CONVERT,  // mail, a Korean text, or a file whose conversion was interrupted
    FILE_BINARY,      // no mail, and a NUL byte in it
    FILE_NOT_MAIL     // no mail, and no ISO-2022-KR text either
};

// Judges the file at path as -R judges the files of a tree (mail when its first line is a
// "From " line or a header field) and as --check warns of the rest (binary when it holds a
// NUL byte): rewritten, such a file would have its line ends changed.  A text that is no
// mail is still converted where a line starts with the designator, as ISO-2022-KR text
// does: named by the user, it is a Korean text; and so is a file that starts with the
// designator, whatever bytes it holds.  A designator elsewhere in a binary (a tar or zip
// that stores a Korean text, or by chance) counts for nothing.  A file that cannot be
// read, or that a job was converting, is left to the job, which words its failure or
// completes it.
EFileKind JudgeFile(const char *path, FILE *err)
{
    std::string why;
    FILE *in = OpenToRead(path, false, why);
    if (in == nullptr)
        return FILE_TO_CONVERT;
    static char buffer[64 * 1024];
    // The start alone first: most files named are mail, and the rest of the buffer is then
    // never touched.
    std::size_t n = std::fread(buffer, 1, MAX_FIELD_NAME + 2, in);
    std::string_view start(buffer, n);
    const std::string_view designator(reinterpret_cast<const char *>(DESIGNATOR), DESIGNATOR_SIZE);
    if (n == 0 || start.compare(0, 5, "From ") == 0 || StartsWithField(start) ||
        start.compare(0, DESIGNATOR_SIZE, designator) == 0) {
        std::fclose(in);
        return FILE_TO_CONVERT;
    }
    // A designator at a line's start.
    const std::string atLineStart = "\n" + std::string(designator);
    bool nul = false, korean = false;
    std::string seam;  // the last bytes before the buffer, where the pattern may begin
    while (n > 0 && !nul) {
        std::string_view bytes(buffer, n);
        nul = bytes.find('\0') != std::string_view::npos;
        std::string across = seam + std::string(bytes.substr(0, atLineStart.size() - 1));
        korean = korean || across.find(atLineStart) != std::string::npos ||
                 bytes.find(atLineStart) != std::string_view::npos;
        seam = bytes.substr(n - std::min(n, atLineStart.size() - 1));
        n = std::fread(buffer, 1, sizeof buffer, in);
    }
    bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed || (korean && !nul))
        return FILE_TO_CONVERT;
    bool refused = false;
    if (!PendingJob(path, &refused, err).empty())
        return FILE_TO_CONVERT;
    return nul ? FILE_BINARY : FILE_NOT_MAIL;
}

// Copies the folder at path whole to backup (path and a suffix, beside the file that path
// names through its links), replacing an older copy there: written under a temporary name
// beside it, flushed, renamed into place, and the directory flushed, so that it is on the
// disk before this returns.  False, told on err, when it cannot: nothing at backup's name
// has changed then.  A folder whose conversion was interrupted is not backed up, being
// neither its original nor converted.
bool BackUp(const char *path, const std::string &backup, FILE *err)
{
    std::string what = "cannot back it up to " + backup;
    bool refused = false;
    std::string pending = PendingJob(path, &refused, err);
    if (!pending.empty()) {
        Report(err, path, what.c_str(),
               pending + (refused ? "" : "; run '" + std::string(PROGRAM) + " " + path + "' first"));
        return false;
    }
    // A regular file only, looked at through the handle before a byte is read: a pipe
    // would wait for a writer, a device never end.
    std::string why;
    FILE *from = OpenToRead(path, false, why);
    SFileOwner owner;
    if (from != nullptr && !OwnerOfStream(from, owner)) {
        why = LastReason();
        std::fclose(from);
        from = nullptr;
    }
    if (from == nullptr) {
        Report(err, path, what.c_str(), why);
        return false;
    }
    std::string dir = DirectoryOf(backup), temp;
    HANDLE held = CreateTemporaryIn(dir, temp);
    FILE *to = held != INVALID_HANDLE_VALUE ? OpenHandleStream(held, "wb") : nullptr;
    bool ok = to != nullptr;
    if (ok)
        TakeOwnerAndMode(to, owner, 0777);
    static char buffer[64 * 1024];
    std::uint64_t copied = 0;
    g_pProgress->Start(path);
    while (ok) {
        std::size_t n = std::fread(buffer, 1, sizeof buffer, from);
        if (n > 0 && std::fwrite(buffer, 1, n, to) != n)
            ok = false;
        copied += n;
        g_pProgress->Advance(from, copied);
        if (n < sizeof buffer) {
            ok = ok && !std::ferror(from);
            break;
        }
    }
    g_pProgress->Finish();
    ok = ok && std::fflush(to) == 0;
    // With the original's times, as the folder keeps them, where the system lets us.
    if (ok) {
        HANDLE original = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (original != INVALID_HANDLE_VALUE) {
            (void)KeepFileTime(original, held);
            CloseHandle(original);
        }
    }
    ok = ok && FlushFileBuffers(held);
    std::string reason = LastReason();
    std::fclose(from);
    if (to != nullptr && std::fclose(to) != 0 && ok) {
        ok = false;
        reason = LastReason();
    }
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    if (ok && !PutInPlace(temp.c_str(), backup.c_str(), dir.c_str())) {
        ok = false;
        reason = LastReason();
    }
    if (!ok && held != INVALID_HANDLE_VALUE)
        DeleteFileA(temp.c_str());
    RemoveOnInterrupt(nullptr);
    if (!ok)
        Report(err, path, what.c_str(), reason);
    return ok;
}

int RelabelWithProgress(FILE *in, FILE *out)
{
    std::uint64_t read = 0;
    return RelabelFolder(in, out, nullptr, [in, &read](std::string_view bytes) {
        read += bytes.size();
        g_pProgress->Advance(in, read);
    });
}

// Makes g_pProgress the given line for as long as it lives, and has the core tell it of its
// reads where it draws at all.
struct SProgressShown {
    SProgressShown(CProgressLine &line, bool drawn)
    {
        g_pProgress = &line;
        SetProgressHook(drawn ? AdvanceProgress : nullptr, &line);
    }
    SProgressShown(const SProgressShown &) = delete;
    SProgressShown &operator=(const SProgressShown &) = delete;
    ~SProgressShown()
    {
        SetProgressHook(nullptr, nullptr);
        g_pProgress = nullptr;
    }
};

// Converts the mailboxes (or with -R the accounts) that urls name, or with --undo puts
// back the last run on each account.
int ConvertOnServers(const COptions &options, const std::vector<const char *> &urls, std::ptrdiff_t nUrls, FILE *out,
                     FILE *err)
{
    if (static_cast<std::size_t>(nUrls) != urls.size())
        return UsageError(err, "IMAP URLs and FILEs cannot be mixed: give them in runs of their own", "");
    if (options.profile || options.output != nullptr || options.backup != nullptr)
        return UsageError(err, "an IMAP mailbox is converted where it lies: not with --profile, -o or --backup", "");
    if (options.undo && (options.check || options.keepLabels || options.relabel))
        return UsageError(err, "--undo takes no other option", "");
    SImapOptions imap;
    imap.converters = ConvertersFor(options.keepLabels);
    imap.check = options.check;
    imap.recursive = options.recursive;
    imap.caFile = options.caFile != nullptr ? options.caFile : "";
    imap.credentials.passwordCommand = options.passwordCommand != nullptr ? options.passwordCommand : "";
    imap.credentials.oauth2Command = options.oauth2Command != nullptr ? options.oauth2Command : "";
    bool drawn = !options.quiet && IsTerminal(err) && !(options.check && IsTerminal(out));
    CProgressLine progress(drawn ? err : nullptr);
    SProgressShown shown(progress, drawn);
    CTreeProgress told(progress);
    imap.progress = &told;
    STreeReport report;
    bool ok = true;
    for (const char *url : urls)
        ok = (options.undo ? UndoImap(url, imap, report) : ConvertImap(url, imap, report)) && ok;
    progress.Finish();
    TellTreeReport(report, options.quiet, out, err, options.keepLabels);
    return ok ? 0 : 1;
}

}  // namespace

int RunConverter(int argc, char **argv, FILE *out, FILE *err)
{
    return RunConverter(argc, argv, stdin, out, err);
}

int RunConverter(int argc, char **argv, FILE *in, FILE *out, FILE *err)
{
    static const option LONG_OPTIONS[] = {
        {"keep-labels", no_argument, nullptr, 'k'},
        {"relabel", no_argument, nullptr, OPTION_RELABEL},
        {"output", required_argument, nullptr, 'o'},
        {"backup", optional_argument, nullptr, 'b'},
        {"check", no_argument, nullptr, 'c'},
        {"undo", no_argument, nullptr, 'u'},
        {"quiet", no_argument, nullptr, 'q'},
        {"recursive", no_argument, nullptr, 'R'},
        {"profile", optional_argument, nullptr, OPTION_PROFILE},
        {"cacert", required_argument, nullptr, OPTION_CACERT},
        {"password-command", required_argument, nullptr, OPTION_PASSWORD_COMMAND},
        {"oauth2-command", required_argument, nullptr, OPTION_OAUTH2_COMMAND},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    for (int i = 1; i < argc; ++i) {
        if (IsPromptHelp(argv[i])) {
            PrintUsage(out);
            return 0;
        }
    }
    COptions options;
    // getopt keeps its place in globals: start afresh, and let us word the complaints.
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":kro:bcuqRhV", LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
        case 'k':
            options.keepLabels = true;
            break;
        case OPTION_RELABEL:
            options.relabel = true;
            break;
        case 'o':
            options.output = optarg;
            break;
        case 'b':
            options.backup = optarg != nullptr ? optarg : DEFAULT_BACKUP_SUFFIX;
            break;
        case 'c':
            options.check = true;
            break;
        case 'u':
            options.undo = true;
            break;
        case 'q':
            options.quiet = true;
            break;
        case 'r':
        case 'R':
            options.recursive = true;
            break;
        case OPTION_PROFILE:
            options.profile = true;
            options.profileDir = optarg != nullptr ? optarg : "";
            break;
        case OPTION_CACERT:
            options.caFile = optarg;
            break;
        case OPTION_PASSWORD_COMMAND:
            options.passwordCommand = optarg;
            break;
        case OPTION_OAUTH2_COMMAND:
            options.oauth2Command = optarg;
            break;
        case 'h':
            PrintUsage(out);
            return 0;
        case 'V':
            // As GNU tools print it: the version, then the copyright and the licence.
            std::fprintf(out,
                         "%s %s\n"
                         "Copyright (C) 2026 The Quorvel authors.\n"
                         "License MIT: <https://opensource.org/licenses/MIT>.\n"
                         "This is free software: you are free to change and redistribute it.\n"
                         "There is NO WARRANTY, to the extent permitted by law.\n",
                         PROGRAM, VERSION);
            return 0;
        default:
            return OptionError(err, c, optind > 0 && optind <= argc ? argv[optind - 1] : "", LONG_OPTIONS);
        }
    }
    int nFiles = argc - optind;
    auto urls = std::count_if(argv + optind, argv + argc, [](const char *file) { return IsImapUrl(file); });
    if (urls > 0)
        return ConvertOnServers(options, std::vector<const char *>(argv + optind, argv + argc), urls, out, err);
    if (options.caFile != nullptr || options.passwordCommand != nullptr || options.oauth2Command != nullptr)
        return UsageError(err, "--cacert, --password-command and --oauth2-command are for an IMAP account: "
                               "name it as imaps://USER@HOST/MAILBOX", "");
    // With no FILE, a filter, as iconv and gzip are, unless the keyboard would be read.
    bool filter = nFiles == 0 && !IsTerminal(in) && !options.profile;
    if (options.recursive && options.profile)
        return UsageError(err, "-R converts the DIRs given, --profile a profile: not both", "");
    if ((options.recursive || options.profile) &&
        (options.output != nullptr || options.undo || options.backup != nullptr))
        return UsageError(err, options.recursive ? "-R" : "--profile",
                          " converts in place: not with -o, --undo or --backup");
    if (options.profile && nFiles > 0)
        return UsageError(err, "--profile takes no FILE: --profile=DIR names the profile", "");
    if (options.recursive && nFiles == 0)
        return UsageError(err, "no DIR given", "");
    if (nFiles == 0 && (!filter || options.undo || options.backup != nullptr) && !options.profile)
        return UsageError(err, "no FILE given", "");
    if (options.output != nullptr && options.check)
        return UsageError(err, "--check changes nothing and writes no OUTPUT", "");
    if (options.undo && (options.output != nullptr || options.check || options.relabel || options.keepLabels ||
                         options.backup != nullptr))
        return UsageError(err, "--undo takes no other option", "");
    if (options.backup != nullptr && (options.output != nullptr || options.check))
        return UsageError(err, "--backup keeps the original of a FILE converted in place: not with -o or --check",
                          "");
    if (options.backup != nullptr && options.backup[0] == '\0')
        return UsageError(err, "--backup needs a SUFFIX that is not empty", "");
    if (options.relabel && options.keepLabels)
        return UsageError(err, "--relabel and --keep-labels ask for opposites", "");
    if (options.output != nullptr && nFiles > 1)
        return UsageError(err, "-o takes exactly one INPUT", "");
    // '-' is standard input, converted to standard output as a filter converts it.
    auto stdinNamed = std::count_if(argv + optind, argv + argc,
                                    [](const char *file) { return std::strcmp(file, STANDARD_STREAM) == 0; });
    if (stdinNamed > 1)
        return UsageError(err, "'-' (standard input) can be read only once", "");
    if (stdinNamed > 0 && (options.recursive || options.undo || options.backup != nullptr))
        return UsageError(err, options.recursive ? "-R" : options.undo ? "--undo" : "--backup",
                          options.recursive ? " takes DIRs: not '-' (standard input)"
                                            : " takes FILEs: not '-' (standard input); ./- names a file called -");
    std::vector<const char *> files(argv + optind, argv + argc);
    if (filter) {
        files.push_back(STANDARD_STREAM);
        if (!options.check && options.output == nullptr)
            options.output = STANDARD_STREAM;
    }

    SConverters converters = ConvertersFor(options.keepLabels);
    StreamConverter convert = converters.use.convert;
    // On a terminal only, and not over the converted mail written to that terminal.
    bool toOut = options.check || stdinNamed > 0 ||
                 (options.output != nullptr && std::strcmp(options.output, STANDARD_STREAM) == 0);
    bool drawn = !options.quiet && IsTerminal(err) && !(toOut && IsTerminal(out));
    CProgressLine progress(drawn ? err : nullptr);
    SProgressShown shown(progress, drawn);
    if (options.output != nullptr)
        return ConvertTo(files[0], options.output, convert, in, out, err) ? 0 : 1;

    std::vector<std::string> deleted, backups;
    if (options.recursive || options.profile) {
        CTreeProgress told(progress);
        STreeOptions tree;
        tree.converters = converters;
        tree.progress = &told;
        tree.check = options.check;
        STreeReport report;
        bool ok = options.profile ? ConvertProfile(options.profileDir, tree, report)
                                  : ConvertTrees(std::vector<std::string>(files.begin(), files.end()), tree, report);
        TellTreeReport(report, options.quiet, out, err, options.keepLabels);
        return ok ? 0 : 1;
    }
    int status = 0;
    for (const char *file : files) {
        bool ok;
        if (options.undo) {
            ok = Undo(file, out, err);
        } else if (options.check) {
            ok = Check(file, options.keepLabels, in, out, err);
        } else if (std::strcmp(file, STANDARD_STREAM) == 0) {
            ok = ConvertTo(STANDARD_STREAM, STANDARD_STREAM, convert, in, out, err);
        } else if (IsDeviceName(file)) {
            // Opened, it would be the device (a console, a serial port), never a folder.
            Report(err, file, "cannot convert", "a name Windows keeps for a device (CON, NUL, AUX, COM1...), not a file");
            ok = false;
        } else if (IsDirectory(file)) {
            Report(err, file, "cannot convert", DIRECTORY_HINT);
            ok = false;
        } else {
            char folder[PATH_SIZE];
            std::string resolved = ResolvePath(file, folder) ? folder : file;
            // FILE~ among the FILEs, as a shell pattern gives it: the original it now holds
            // stays as it is.
            if (std::find(backups.begin(), backups.end(), resolved) != backups.end()) {
                Report(err, file, "warning: not converted: the backup made of another FILE", "");
                continue;
            }
            // Never rewritten: a file that is no mail, which a drop or a pattern gave.
            EFileKind kind = JudgeFile(file, err);
            if (kind != FILE_TO_CONVERT) {
                if (!options.quiet)
                    Report(err, file,
                           kind == FILE_BINARY ? "skipped: binary file"
                                               : "skipped: not mail (no From line or header field first, and "
                                                 "no line that starts with the ISO-2022-KR designator)",
                           "");
                continue;
            }
            std::string backup = resolved + (options.backup != nullptr ? options.backup : "");
            ok = options.backup == nullptr || BackUp(file, backup, err);
            if (ok && options.backup != nullptr)
                backups.push_back(backup);
            ok = ok && ConvertInPlace(file, converters, options.quiet, deleted, err);
        }
        if (!ok)
            status = 1;
    }
    return status;
}
