// Tests of the command-line converter: exit status, messages, files converted.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "../convert/test_files.h"
#include "converter.h"
#include "mail.h"

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs the converter with input as its standard input, a file; stateHome, when given, is
// where its state directory is to be.
Outcome RunWith(std::vector<std::string> args, const std::string &stateHome = "", const std::string &input = "")
{
    TestDir streams;
    if (!stateHome.empty())
        SetStateHome(stateHome);
    std::string inPath = streams.File("in"), outPath = streams.File("out"), errPath = streams.File("err");
    WriteFile(inPath, input);
    FILE *in = std::fopen(inPath.c_str(), "rb");
    FILE *out = std::fopen(outPath.c_str(), "wb");
    FILE *err = std::fopen(errPath.c_str(), "wb");
    std::vector<char *> argv;
    std::string program = "quorvel-convert";
    argv.push_back(&program[0]);
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int status = RunConverter(static_cast<int>(argv.size() - 1), argv.data(), in, out, err);
    std::fclose(in);
    std::fclose(out);
    std::fclose(err);
    return {status, ReadFile(outPath), ReadFile(errPath)};
}

// What --check says of the line ends the conversion would change, in a folder of crlf CR LF
// line ends and bareLF bare LF ones: those that are not the platform's.
std::string LineEndsChanged(long crlf, long bareLF)
{
#ifdef _WIN32
    long n = bareLF;
    const char *what = " bare LF line end";
    const char *to = " to CR LF";
    (void)crlf;
#else
    long n = crlf;
    const char *what = " CR LF line end";
    const char *to = " to LF";
    (void)bareLF;
#endif
    return n == 0 ? "" : ", " + std::to_string(n) + what + (n == 1 ? "" : "s") + to;
}

TEST(Converter, AnswersHelpVersionAndUsageErrors)
{
    Outcome version = RunWith({"--version"});
    EXPECT_EQ(version.status, 0);
    // The version, then the copyright and the licence, as GNU tools print them.
    EXPECT_EQ(version.out.substr(0, version.out.find('\n')), "quorvel-convert 19.96.9.23");
    EXPECT_NE(version.out.find("\nCopyright (C) "), std::string::npos) << version.out;
    EXPECT_NE(version.out.find("\nLicense MIT"), std::string::npos) << version.out;

    Outcome help = RunWith({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: quorvel-convert [OPTION]... FILE...", 0), 0u);
    for (const char *option : {"--keep-labels", "--relabel", "--output=OUTPUT", "--backup[=SUFFIX]", "--check",
                               "--undo", "--quiet", "--help", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    // Each with the first line of its message.  Standard input is a file here: with no FILE
    // the converter reads it, save where a FILE is needed (no FILE on a terminal:
    // progress_cases.py).
    const struct {
        std::vector<std::string> args;
        const char *message;
    } usageErrors[] = {
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"-x", "Inbox"}, "unknown option -x"},
        {{"--check", "-xk"}, "unknown option -x"},
        {{"--help=x"}, "option takes no argument: --help=x"},
        {{"--re", "a"}, "ambiguous option --re: --relabel or --recursive"},
        {{"-r"}, "no DIR given"},
        {{"-", "-"}, "'-' (standard input) can be read only once"},
        {{"-R", "-"}, "-R takes DIRs: not '-' (standard input)"},
        {{"--undo", "-"}, "--undo takes FILEs: not '-' (standard input); ./- names a file called -"},
        {{"Inbox", "-o"}, "option needs an argument: -o"},
        {{"-ko"}, "option needs an argument: -o"},
        {{"--output"}, "option needs an argument: --output"},
        {{"-o", "out", "a", "b"}, "-o takes exactly one INPUT"},
        {{"--check", "-o", "out", "a"}, "--check changes nothing and writes no OUTPUT"},
        {{"--undo", "-o", "out", "a"}, "--undo takes no other option"},
        {{"--undo", "--check", "a"}, "--undo takes no other option"},
        {{"--undo"}, "no FILE given"},
        {{"-b"}, "no FILE given"},
        {{"-b", "-o", "out", "a"}, "--backup keeps the original of a FILE converted in place: not with -o or --check"},
        {{"--check", "--backup", "a"}, "--backup keeps the original of a FILE converted in place: not with -o or --check"},
        {{"--backup=", "a"}, "--backup needs a SUFFIX that is not empty"},
        {{"--relabel", "-k", "a"}, "--relabel and --keep-labels ask for opposites"},
    };
    for (const auto &row : usageErrors) {
        Outcome bad = RunWith(row.args);
        EXPECT_EQ(bad.status, 2) << row.message;
        EXPECT_EQ(bad.out, "");
        EXPECT_EQ(bad.err.substr(0, bad.err.find('\n')), std::string("quorvel-convert: ") + row.message) << bad.err;
    }
}

TEST(Converter, ConvertsEveryFileAndReportsEachFailure)
{
    TestDir dir;
    std::string first = dir.File("first"), second = dir.File("second"), missing = dir.File("missing");
    WriteFile(first, "\x1b$)C\n\x0e\x30\x21\x0f\n");
    WriteFile(second, "\x1b$)C\n\x0e\x30\x22\x0f\n");
    WriteFile(second + ".snm", "summary");

    Outcome run = RunWith({first, missing, second});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ReadFile(first), Lines("\xb0\xa1\n"));
    EXPECT_EQ(ReadFile(second), Lines("\xb0\xa2\n"));
    EXPECT_FALSE(FileExists(second + ".snm"));

    // One line naming the file and the system's reason.
    std::string prefix = "quorvel-convert: " + missing + ": cannot convert: ";
    ASSERT_EQ(run.err.rfind(prefix, 0), 0u) << run.err;
    EXPECT_GT(run.err.size(), prefix.size() + 1);
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1);
#ifndef _WIN32
    EXPECT_EQ(run.err, prefix + "No such file or directory\n");
#endif

    WriteFile(first, "\x1b$)C\n\x0e\x30\x21\x0f\n");
    Outcome ok = RunWith({"--", first});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.err, "");

    // A summary that cannot be deleted (here a directory with a file in it) is named in a
    // warning, and the folder converted all the same.
    WriteFile(first, "\x1b$)C\n\x0e\x30\x21\x0f\n");
    std::filesystem::create_directories(first + ".msf/held");
    Outcome held = RunWith({first});
    EXPECT_EQ(held.status, 0) << held.err;
    EXPECT_EQ(ReadFile(first), Lines("\xb0\xa1\n"));
    EXPECT_NE(held.err.find(".msf: warning: cannot delete the summary file: "), std::string::npos) << held.err;
    std::filesystem::remove_all(first + ".msf");

    // "-" among the FILEs is standard input, converted to standard output; a folder named
    // "-" is reached as ./-.
    std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    WriteFile("-", "\x1b$)C\n\x0e\x30\x21\x0f\n");
    WriteFile(first, "\x1b$)C\n\x0e\x30\x21\x0f\n");
    Outcome dash = RunWith({first, "-"}, "", "\x1b$)C\n\x0e\x30\x22\x0f\n");
    Outcome dotDash = RunWith({"./-"});
    std::filesystem::current_path(cwd);
    EXPECT_EQ(dash.status, 0) << dash.err;
    EXPECT_EQ(dash.out, Lines("\xb0\xa2\n"));
    EXPECT_EQ(ReadFile(first), Lines("\xb0\xa1\n"));
    EXPECT_EQ(dotDash.status, 0) << dotDash.err;
    EXPECT_EQ(ReadFile(dir.File("-")), Lines("\xb0\xa1\n"));

    // A folder with nothing to change keeps the summaries that mail programs keep of it.
    WriteFile(first, Lines("From a\n\nnothing to change\n"));
    WriteFile(first + ".snm", "summary");
    WriteFile(first + ".msf", "summary");
    Outcome unchanged = RunWith({first});
    EXPECT_EQ(unchanged.status, 0) << unchanged.err;
    EXPECT_TRUE(FileExists(first + ".snm"));
    EXPECT_TRUE(FileExists(first + ".msf"));

    // A directory named where a FILE goes: -R is named, in every mode; one that is not there
    // is one failure of -R.
    for (const auto &row : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{dir.path()}, "cannot convert: Is a directory; -R converts every mail file under it"},
             {{"--check", dir.path()}, "cannot read: Is a directory; -R --check looks at every mail file under it"},
             {{"-o", dir.File("out"), dir.path()}, "cannot read: Is a directory; -R converts every mail file under it"},
             {{"--undo", dir.path()}, "cannot undo: Is a directory; -R over it again completes what a stopped -R "
                                      "left undone"}}) {
        Outcome named = RunWith(row.first);
        EXPECT_EQ(named.status, 1);
        EXPECT_EQ(named.err, "quorvel-convert: " + dir.path() + ": " + row.second + "\n");
    }
    Outcome noDir = RunWith({"-R", missing});
    EXPECT_EQ(noDir.status, 1);
    EXPECT_NE(noDir.out.find("; 1 failed: " + missing + "\n"), std::string::npos) << noDir.out;
}

TEST(Converter, LeavesAMaildirWhoseServerLockIsHeldAsOneFailure)
{
    // Its messages wait for the lock: none is told as though it would be converted, and the
    // run, once it has waited, renames none of them.
    TestDir dir;
    std::string maildir = dir.File("Maildir");
    for (const char *sub : {"", "/cur", "/new", "/tmp"})
        std::filesystem::create_directory(maildir + sub);
    const std::string mail = "From: a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e\x30\x21\x0f\n";
    WriteFile(maildir + "/cur/1.host:2,S", mail);
    WriteFile(maildir + "/new/2.host", mail);
    WriteFile(maildir + "/dovecot-uidlist", "3 V1 N3\n");
    WriteFile(maildir + "/dovecot-uidlist.lock", "");
    Outcome check = RunWith({"-R", "--check", maildir});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out.find(".host"), std::string::npos) << check.out;
    EXPECT_NE(check.err.find("dovecot-uidlist.lock: would not be converted: the mail server holds this lock (stop "
                             "it, or run again); 2 messages to convert wait for it\n"),
              std::string::npos)
        << check.err;
    Outcome run = RunWith({"-R", maildir});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("dovecot-uidlist.lock: not converted: the mail server holds this lock"), std::string::npos)
        << run.err;
    EXPECT_EQ(ReadFile(maildir + "/cur/1.host:2,S"), mail);
    EXPECT_EQ(ReadFile(maildir + "/new/2.host"), mail);
    EXPECT_TRUE(FileExists(maildir + "/dovecot-uidlist.lock"));
    EXPECT_TRUE(std::filesystem::is_empty(maildir + "/tmp"));
}

TEST(Converter, LeavesAFileThatIsNoMailAsItIs)
{
    // Each named, as -R and --check judge it: no From line or header field first, and a NUL
    // byte (binary) or no line that starts with the designator (not mail).  A Korean text (the
    // designator across the first block's end) is converted.
    TestDir dir;
    const char *notMail =
        "not mail (no From line or header field first, and no line that starts with the ISO-2022-KR designator)";
    const struct {
        const char *name;
        std::string bytes;
        const char *message;  // null: converted
    } rows[] = {
        {"picture.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\x1b$)C\x0e\x30\x21\x0f\n", 23), "binary file"},
        {"archive.tar", std::string("a.txt\0\0\0\0\n\x1b$)C\r\nFrom \r\n", 23), "binary file"},
        {"late-nul.bin", std::string(70000, 'x') + std::string("\0\x1b$)C\r\n", 7), "binary file"},
        {"notes.txt", "notes \x1b$)C\r\nmore\n", notMail},
        // Taken for a header field only with a name of 76 characters at most.
        {"long-name.txt", std::string(77, 'n') + ": no field name\r\n", notMail},
        {"korean.txt", std::string(65533, 'x') + "\n\x1b$)C\r\n\x0e\x30\x21\x0f\r\n", nullptr},
    };
    std::vector<std::string> args;
    for (const auto &row : rows) {
        WriteFile(dir.File(row.name), row.bytes);
        WriteFile(dir.File(row.name) + ".snm", "summary");
        args.push_back(dir.File(row.name));
    }
    args.insert(args.begin(), "-b");
    Outcome run = RunWith(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::string said;
    for (const auto &row : rows) {
        std::string path = dir.File(row.name);
        if (row.message == nullptr) {
            EXPECT_EQ(ReadFile(path), std::string(65533, 'x') + Lines("\n\xb0\xa1\n")) << row.name;
            continue;
        }
        said += "quorvel-convert: " + path + ": skipped: " + row.message + "\n";
        EXPECT_EQ(ReadFile(path), row.bytes) << row.name;
        EXPECT_TRUE(FileExists(path + ".snm")) << row.name;
        EXPECT_FALSE(FileExists(path + "~")) << row.name;
    }
    EXPECT_EQ(run.err, said);
    // -q names none of them.
    Outcome quiet = RunWith({"-q", dir.File("picture.png")});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

TEST(Converter, WritesOutputFilesAndStandardOutputLeavingTheInputAlone)
{
    TestDir dir;
    std::string input = dir.File("Inbox"), output = dir.File("out");
    const std::string folder = "From a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\x0e\x30\x21\x0f\n";
    // By default the label follows the bytes; --keep-labels leaves it.
    const std::string relabelled = Lines("From a\nContent-Type: text/plain; charset=EUC-KR\n\n\xb0\xa1\n");
    const std::string plain = Lines("From a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\xb0\xa1\n");
    WriteFile(input, folder);
    WriteFile(input + ".snm", "summary");
    WriteFile(output, "old");

    Outcome toFile = RunWith({"-o", output, input});
    EXPECT_EQ(toFile.status, 0) << toFile.err;
    EXPECT_EQ(ReadFile(output), relabelled);
    EXPECT_EQ(ReadFile(input), folder);
    EXPECT_TRUE(FileExists(input + ".snm"));
    EXPECT_EQ(dir.Names("qvl"), std::vector<std::string>{}) << "a temporary file was left beside the output";

    Outcome toStdout = RunWith({"--keep-labels", "-o", "-", input});
    EXPECT_EQ(toStdout.status, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, plain);

    // With no FILE, standard input (not a terminal) to standard output, or to OUTPUT.
    for (const auto &row : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, relabelled}, {{"-k"}, plain}, {{"-o", output}, relabelled}}) {
        Outcome filter = RunWith(row.first, "", folder);
        EXPECT_EQ(filter.status, 0) << filter.err;
        EXPECT_EQ(row.first.empty() || row.first[0] != "-o" ? filter.out : ReadFile(output), row.second);
    }

#ifndef _WIN32
    // A new OUTPUT is made as a redirection would make it: its mode is the umask's.
    std::string made = dir.File("made");
    mode_t mask = umask(022);
    Outcome toNew = RunWith({"-o", made, input});
    (void)umask(mask);
    EXPECT_EQ(toNew.status, 0) << toNew.err;
    struct stat madeSt;
    ASSERT_EQ(stat(made.c_str(), &madeSt), 0);
    EXPECT_EQ(madeSt.st_mode & 07777, 0644u);

    // Through a link, the file it names is replaced, and the link stays; one reached through
    // /proc (as /dev/stdout is) is written where it is.  The owner and group stay.
    std::string link = dir.File("link"), named = dir.File("named"), viaProc = dir.File("fd");
    WriteFile(named, "old");
    std::filesystem::create_symlink(named, link);
    if (geteuid() == 0) {
        EXPECT_EQ(chown(named.c_str(), 65534, 65534), 0);
    }
    // Its mode too, set through the new file's own descriptor.
    ASSERT_EQ(chmod(named.c_str(), 0640), 0);
    Outcome throughLink = RunWith({"-o", link, input});
    EXPECT_EQ(throughLink.status, 0) << throughLink.err;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFile(named), relabelled);
    struct stat st;
    ASSERT_EQ(stat(named.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    FILE *open = std::fopen(named.c_str(), "r+b");
    ASSERT_NE(open, nullptr);
    std::filesystem::create_symlink("/proc/self/fd/" + std::to_string(fileno(open)), viaProc);
    Outcome throughProc = RunWith({"-o", viaProc, input});
    struct stat after;
    ASSERT_EQ(fstat(fileno(open), &after), 0);
    std::fclose(open);
    EXPECT_EQ(throughProc.status, 0) << throughProc.err;
    EXPECT_TRUE(std::filesystem::is_symlink(viaProc));
    EXPECT_EQ(after.st_ino, st.st_ino) << "the file was replaced, not written";
    EXPECT_EQ(after.st_nlink, 1u);
    EXPECT_EQ(ReadFile(named), relabelled);
#endif

    // --relabel still taken; a device that takes no more fails the conversion.
    Outcome shortOptions = RunWith({"--relabel", "-o", output, input});
    EXPECT_EQ(shortOptions.status, 0) << shortOptions.err;
    EXPECT_EQ(ReadFile(output), relabelled);
#ifndef _WIN32
    for (const auto &args : std::vector<std::vector<std::string>>{{"--relabel", "-o", "/dev/full", input},
                                                                  {"--output=/dev/full", input}}) {
        Outcome full = RunWith(args);
        EXPECT_EQ(full.status, 1) << args[0];
        EXPECT_NE(full.err.find("/dev/full: cannot write"), std::string::npos) << full.err;
    }
#endif

    // A failure names the file at fault and leaves the old output whole.
    Outcome missing = RunWith({"-o", output, dir.File("missing")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err.rfind("quorvel-convert: " + dir.File("missing") + ": cannot read", 0), 0u) << missing.err;
    EXPECT_EQ(ReadFile(output), relabelled);
}

TEST(Converter, ChecksWithoutChangingAnything)
{
    TestDir dir;
    std::string inbox = dir.File("Inbox");
    // Line 2 shifts before any designator; line 5 has a run of odd length.
    const std::string folder = "From a\n\x0e\x30\x21\x0f\n\nFrom b Mon Sep 23 10:00:00 1996\nSubject: =?ISO-2022-KR?B?GyQpQw4wIQ8=?=\n\n"
                               "\x1b$)C\x0e\x30\x21\x30\x0f ok \x0e\x30\x21\x0f\n";
    WriteFile(inbox, folder);
    Outcome check = RunWith({"--check", "--relabel", inbox, dir.File("missing")});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, inbox + ": 2 mails, 2 ISO-2022-KR passages, 3 malformed sequences (line 2, 7), "
                                 "2 labels to change" + LineEndsChanged(0, 7) + "\n");
    EXPECT_NE(check.err.find("missing: cannot read"), std::string::npos) << check.err;
    EXPECT_EQ(ReadFile(inbox), folder);
    // With no FILE, standard input is checked, not converted.
    Outcome piped = RunWith({"--check"}, "", folder);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, "standard input: 2 mails, 2 ISO-2022-KR passages, 3 malformed sequences (line 2, 7), "
                         "2 labels to change" + LineEndsChanged(0, 7) + "\n");
    // Labels kept: a warning for those that would still not say EUC-KR (the encoded word, and
    // the body's, which has none).
    Outcome kept = RunWith({"--check", "--keep-labels", inbox});
    EXPECT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(kept.out, inbox + ": 2 mails, 2 ISO-2022-KR passages, 3 malformed sequences (line 2, 7)" +
                            LineEndsChanged(0, 7) +
                            "; warning: 2 labels would be left naming ISO-2022-KR over EUC-KR bytes\n");
    // A mail nested past the limit is named.
    std::string deep = "From a\n";
    for (int i = 0; i <= MAX_NESTING; ++i)
        deep += "Content-Type: message/rfc822\n\n";
    WriteFile(inbox, deep + "x\n");
    EXPECT_EQ(RunWith({"--check", inbox}).out, inbox + ": 1 mail, 0 ISO-2022-KR passages, 0 malformed sequences, "
                                                       "0 labels to change" + LineEndsChanged(0, 2 * (MAX_NESTING + 1) + 2) +
                                                       "; warning: 1 mail nests parts deeper than 1000 levels, which "
                                                       "are left as they are\n");
    WriteFile(inbox, "From a\nX-Long: " + std::string(MAX_HEADER, 'a') + "\n\nx\n");
    EXPECT_EQ(RunWith({"--check", inbox}).out, inbox + ": 1 mail, 0 ISO-2022-KR passages, 0 malformed sequences, "
                                                       "0 labels to change" + LineEndsChanged(0, 4) +
                                                       "; warning: 1 mail has a header longer than 4 MiB, and is "
                                                       "left as it is\n");
    WriteFile(inbox, folder);

    // What counts as a passage, as malformed and as a line end to change, and how many
    // lines are shown.
    std::string crlfLines;
    for (int i = 0; i < 70000; ++i)
        crlfLines += "x\r\n";
    const struct {
        const char *what;
        std::string folder;
        const char *report;
        long crlf, bareLF;
        long labels = 0;
    } rows[] = {
        {"a run of odd length ended by its line", "From a\n\x1b$)C\n\x0e\x30\x21\x30\n",
         "1 mail, 1 ISO-2022-KR passage, 1 malformed sequence (line 3)", 0, 3},
        {"a designator right after another ESC", "From a\n\x1b\x1b$)C\n\x0e\x30\x21\x0f\n",
         "1 mail, 1 ISO-2022-KR passage, 0 malformed sequences", 0, 3},
        {"a CR in shifted text that ends no line", "From a\n\x1b$)C\n\x0e\x30\x21\r\x0f\n",
         "1 mail, 1 ISO-2022-KR passage, 1 malformed sequence (line 3)", 0, 3},
        {"the first three lines shown", "From a\n\x1b$)C\n" + std::string(4, '\0'),
         "1 mail, 4 ISO-2022-KR passages, 4 malformed sequences (line 3, 4, 5)", 0, 6},
        {"bytes outside 0x21-0x7E, an empty run", "From a\n\x1b$)C\n\x0e\x30\x7f\x21\x0f \x0e\x0f\n",
         "1 mail, 1 ISO-2022-KR passage, 1 malformed sequence (line 3)", 0, 3},
        {"spaces in a run, a CR at the end", "From a\n\x1b$)C\n\x0e \t\x30\x21\x0f\x0e\x30\x21\x0f\x0e\x30\x21\r",
         "1 mail, 3 ISO-2022-KR passages, 1 malformed sequence (line 3)", 0, 2},
        {"CR LF line ends, some cut apart between two reads", "From a\r\n" + crlfLines,
         "1 mail, 0 ISO-2022-KR passages, 0 malformed sequences", 70001, 0},
        // Relabelled, a text labelled ISO-2022-KR is read so from its first byte.
        {"shifts with no designator in a text labelled so",
         "From a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x0e\x30\x21\x0f\n",
         "1 mail, 1 ISO-2022-KR passage, 0 malformed sequences", 0, 4, 1},
    };
    for (const auto &row : rows) {
        std::string folder = row.folder;
        if (folder.back() == '\0') {  // four odd runs, a line each
            folder.resize(folder.size() - 4);
            for (int i = 0; i < 4; ++i)
                folder += "\x0e\x30\x0f\n";
        }
        WriteFile(inbox, folder);
        Outcome counted = RunWith({"-c", inbox});
        EXPECT_EQ(counted.status, 0) << row.what;
        EXPECT_EQ(counted.out, inbox + ": " + row.report + ", " + std::to_string(row.labels) +
                                   (row.labels == 1 ? " label to change" : " labels to change") +
                                   LineEndsChanged(row.crlf, row.bareLF) + "\n")
            << row.what;
    }
    // A file of no mail or text (a zip) is said to look like what it is.
    WriteFile(inbox, std::string("PK\x03\x04\x14\0\0\0", 8) + "\n");
    Outcome zip = RunWith({"-c", inbox});
    EXPECT_EQ(zip.status, 0);
    EXPECT_NE(zip.out.find(": 0 mails, "), std::string::npos) << zip.out;
    EXPECT_NE(zip.out.find("; warning: it looks like no mail or text but a binary file (a NUL byte at byte 5)"),
              std::string::npos)
        << zip.out;

#ifndef _WIN32
    // A report that cannot be written is no success.
    FILE *full = std::fopen("/dev/full", "w");
    char *argv[] = {const_cast<char *>("quorvel-convert"), const_cast<char *>("--check"),
                    const_cast<char *>(inbox.c_str()), nullptr};
    char message[500] = "";
    FILE *err = fmemopen(message, sizeof message - 1, "w");
    EXPECT_EQ(RunConverter(3, argv, full, err), 1);
    std::fclose(err);
    std::fclose(full);
    EXPECT_NE(std::strstr(message, "standard output: cannot write"), nullptr) << message;
#endif
}

TEST(Converter, BlamesTheStateDirectoryAndNotTheSummaryItDeleted)
{
    TestDir dir;
    std::string inbox = dir.File("Inbox");
    WriteFile(inbox, "\x1b$)C\n\x0e\x30\x21\x0f\n");
    WriteFile(inbox + ".snm", "summary");

    // Inbox Inbox.snm, as a shell pattern gives them: the second is gone, and that is fine.
    Outcome both = RunWith({inbox, inbox + ".snm"});
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(both.err, "");

    // A folder with something to change needs its state directory, which cannot be made
    // under a file.
    WriteFile(inbox, "\x1b$)C\n\x0e\x30\x21\x0f\n");
    Outcome noState = RunWith({inbox}, inbox);
    EXPECT_EQ(noState.status, 1);
#ifdef _WIN32
    const std::string stateDir = inbox + "\\Quorvel\\";
#else
    const std::string stateDir = inbox + "/quorvel/";
#endif
    EXPECT_NE(noState.err.find(": cannot convert: state directory " + stateDir + ": "), std::string::npos)
        << noState.err;

#ifndef _WIN32
    // A lock file held by another program (this one) is named, as the folder's, through links.
    std::string link = dir.File("link");
    std::filesystem::create_symlink(inbox, link);
    WriteFile(inbox + ".lock", std::to_string(getpid()) + "\n");
    Outcome locked = RunWith({link});
    EXPECT_EQ(locked.status, 1);
    std::string lockFile = std::filesystem::canonical(inbox).string() + ".lock";
    EXPECT_NE(locked.err.find("; if no mail program is running, delete the lock file (" + lockFile + ")\n"),
              std::string::npos)
        << locked.err;
#endif
}

TEST(Converter, BacksUpEachFileWholeBeforeConvertingIt)
{
    TestDir dir;
    std::string inbox = dir.File("Inbox"), other = dir.File("Other"), plain = dir.File("Plain");
    const std::string folder = "From a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\x0e\x30\x21\x0f\n";
    WriteFile(inbox, folder);
    WriteFile(other, folder);
    WriteFile(plain, "From a\n\nnothing to change\n");
    WriteFile(inbox + "~", "an older backup");
#ifndef _WIN32
    ASSERT_EQ(chmod(inbox.c_str(), 0640), 0);
#endif
    // Both the folder rewritten in place and its backup keep its time.
    namespace fs = std::filesystem;
    fs::last_write_time(inbox, fs::last_write_time(inbox) - std::chrono::hours(1));
    const fs::file_time_type written = fs::last_write_time(inbox);

    // In place, the labels follow the bytes; the backup, replacing the older one, is the
    // original, and is made of a folder with nothing to change too.  Inbox~ given as a
    // FILE, as a shell pattern gives it, keeps the original.
    Outcome backedUp = RunWith({"-b", inbox, plain, inbox + "~"});
    EXPECT_EQ(backedUp.status, 0) << backedUp.err;
    EXPECT_EQ(ReadFile(inbox), Lines("From a\nContent-Type: text/plain; charset=EUC-KR\n\n\xb0\xa1\n"));
    EXPECT_EQ(ReadFile(inbox + "~"), folder);
    EXPECT_TRUE(fs::last_write_time(inbox) == written && fs::last_write_time(inbox + "~") == written);
    EXPECT_EQ(ReadFile(plain + "~"), "From a\n\nnothing to change\n");
    EXPECT_FALSE(FileExists(inbox + "~~"));
    EXPECT_NE(backedUp.err.find(inbox + "~: warning: not converted"), std::string::npos) << backedUp.err;
    EXPECT_EQ(dir.Names("qvl"), std::vector<std::string>{}) << "a temporary file was left beside the backup";
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(stat((inbox + "~").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
#endif

    // A suffix of one's own; the labels kept.
    Outcome suffixed = RunWith({"--backup=.orig", "--keep-labels", other});
    EXPECT_EQ(suffixed.status, 0) << suffixed.err;
    EXPECT_EQ(ReadFile(other + ".orig"), folder);
    EXPECT_EQ(ReadFile(other), Lines("From a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\xb0\xa1\n"));

    // A backup that cannot be made is named, and the folder is left as it is.
    WriteFile(other, folder);
    Outcome failed = RunWith({"--backup=/x", other});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err.rfind("quorvel-convert: " + other + ": cannot back it up to ", 0), 0u) << failed.err;
    EXPECT_NE(failed.err.find(other + "/x: "), std::string::npos) << failed.err;
    EXPECT_EQ(ReadFile(other), folder);
}

#ifndef _WIN32
// Runs the converter in a child that SIGALRM ends after seconds, so that a run that waits
// forever fails the test instead of hanging it; the status is -1 then.
Outcome RunOrTimeOut(const std::vector<std::string> &args, unsigned seconds)
{
    TestDir streams;
    std::string errPath = streams.File("err");
    pid_t child = fork();
    if (child == 0) {
        alarm(seconds);
        Outcome run = RunWith(args);
        WriteFile(errPath, run.err);
        _exit(run.status);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", FileExists(errPath) ? ReadFile(errPath) : ""};
}

TEST(Converter, RefusesAPipeWhereAFileBelongsAtOnce)
{
    // A FIFO that no program reads or writes: opened the ordinary way, it waits forever.
    // (As INPUT it is read, waiting for its writer, as standard input would be.)
    TestDir dir;
    std::string fifo = dir.File("fifo"), input = dir.File("Inbox"), output = dir.File("out");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    WriteFile(input, "\x1b$)C\n\x0e\x30\x21\x0f\n");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } rows[] = {
        {{"-b", fifo}, fifo + ": cannot back it up to " + fifo + "~: a pipe (FIFO)"},
        {{"-o", fifo, input}, fifo + ": cannot write: a pipe (FIFO) that no program opened to read"},
        {{fifo}, fifo + ": cannot convert: not a regular file"},
    };
    for (const auto &row : rows) {
        Outcome run = RunOrTimeOut(row.args, 10);
        EXPECT_EQ(run.status, 1) << row.args[0] << (run.status == -1 ? ": waited on the FIFO" : "");
        EXPECT_EQ(run.err.rfind("quorvel-convert: " + row.message, 0), 0u) << run.err;
    }
    EXPECT_FALSE(FileExists(fifo + "~"));
    EXPECT_FALSE(FileExists(output));
}
#endif

// Where the profiles of the tests below are looked for: Thunderbird's place and the suite's,
// under a home of the test's own.

}  // namespace
