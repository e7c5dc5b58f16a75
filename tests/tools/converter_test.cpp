// Tests of the command-line converter: exit status, messages, files converted.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "../convert/test_files.h"
#include "converter.h"

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs the converter; stateHome, when given, is where its state directory is to be.
Outcome RunWith(std::vector<std::string> args, const std::string &stateHome = "")
{
    TestDir streams;
    if (!stateHome.empty())
        SetStateHome(stateHome);
    std::string outPath = streams.File("out"), errPath = streams.File("err");
    FILE *out = std::fopen(outPath.c_str(), "wb");
    FILE *err = std::fopen(errPath.c_str(), "wb");
    std::vector<char *> argv;
    std::string program = "quorvel-convert";
    argv.push_back(&program[0]);
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int status = RunConverter(static_cast<int>(argv.size() - 1), argv.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    return {status, ReadFile(outPath), ReadFile(errPath)};
}

TEST(Converter, AnswersHelpVersionAndUsageErrors)
{
    Outcome version = RunWith({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quorvel-convert 19.96.9.23\n");

    Outcome help = RunWith({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: quorvel-convert [--relabel] FILE...", 0), 0u);
    for (const char *option : {"--relabel", "--output=OUTPUT", "--check", "--undo", "--help", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {"--frobnicate"}, {"-x", "Inbox"}, {"Inbox", "-o"}, {"-o", "out", "a", "b"}, {"--check", "-o", "out", "a"},
             {"--undo", "-o", "out", "a"}, {"--undo", "--check", "a"}}) {
        Outcome bad = RunWith(args);
        EXPECT_EQ(bad.status, 2);
        EXPECT_EQ(bad.out, "");
        EXPECT_EQ(bad.err.rfind("quorvel-convert: ", 0), 0u) << bad.err;
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

    Outcome ok = RunWith({"--", first});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.err, "");

    // A folder named "-" is a folder like any other.
    std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    WriteFile("-", "\x1b$)C\n\x0e\x30\x21\x0f\n");
    Outcome dash = RunWith({"-"});
    std::filesystem::current_path(cwd);
    EXPECT_EQ(dash.status, 0) << dash.err;
    EXPECT_EQ(ReadFile(dir.File("-")), Lines("\xb0\xa1\n"));
}

TEST(Converter, WritesOutputFilesAndStandardOutputLeavingTheInputAlone)
{
    TestDir dir;
    std::string input = dir.File("Inbox"), output = dir.File("out");
    const std::string folder = "From a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\x0e\x30\x21\x0f\n";
    WriteFile(input, folder);
    WriteFile(input + ".snm", "summary");
    WriteFile(output, "old");

    Outcome toFile = RunWith({"--relabel", "-o", output, input});
    EXPECT_EQ(toFile.status, 0) << toFile.err;
    EXPECT_EQ(ReadFile(output), Lines("From a\nContent-Type: text/plain; charset=EUC-KR\n\n\xb0\xa1\n"));
    EXPECT_EQ(ReadFile(input), folder);
    EXPECT_TRUE(FileExists(input + ".snm"));
    EXPECT_EQ(dir.Names("qvl"), std::vector<std::string>{}) << "a temporary file was left beside the output";

    Outcome toStdout = RunWith({"-o", "-", input});
    EXPECT_EQ(toStdout.status, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out, Lines("From a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\xb0\xa1\n"));

#ifndef _WIN32
    // Through a link, the file it names is replaced, and the link stays; one reached through
    // /proc (as /dev/stdout is) is written where it is.  The owner and group stay.
    std::string link = dir.File("link"), named = dir.File("named"), viaProc = dir.File("fd");
    WriteFile(named, "old");
    std::filesystem::create_symlink(named, link);
    if (geteuid() == 0) {
        EXPECT_EQ(chown(named.c_str(), 65534, 65534), 0);
    }
    Outcome throughLink = RunWith({"-o", link, input});
    EXPECT_EQ(throughLink.status, 0) << throughLink.err;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFile(named), Lines("From a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\xb0\xa1\n"));
    struct stat st;
    ASSERT_EQ(stat(named.c_str(), &st), 0);
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
    EXPECT_EQ(ReadFile(named), Lines("From a\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\xb0\xa1\n"));
#endif

    // The short options; a device that takes no more fails the conversion.
    Outcome shortOptions = RunWith({"-r", "-o", output, input});
    EXPECT_EQ(shortOptions.status, 0) << shortOptions.err;
    EXPECT_EQ(ReadFile(output), Lines("From a\nContent-Type: text/plain; charset=EUC-KR\n\n\xb0\xa1\n"));
#ifndef _WIN32
    for (const auto &args : std::vector<std::vector<std::string>>{{"-r", "-o", "/dev/full", input},
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
    EXPECT_EQ(ReadFile(output), Lines("From a\nContent-Type: text/plain; charset=EUC-KR\n\n\xb0\xa1\n"));
}

TEST(Converter, ChecksWithoutChangingAnything)
{
    TestDir dir;
    std::string inbox = dir.File("Inbox");
    // Line 2 shifts before any designator; line 5 has a run of odd length.
    const std::string folder = "From a\n\x0e\x30\x21\x0f\n\nFrom b\nSubject: =?ISO-2022-KR?B?GyQpQw4wIQ8=?=\n\n"
                               "\x1b$)C\x0e\x30\x21\x30\x0f ok \x0e\x30\x21\x0f\n";
    WriteFile(inbox, folder);
    Outcome check = RunWith({"--check", "--relabel", inbox, dir.File("missing")});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, inbox + ": 2 mails, 2 ISO-2022-KR passages, 3 malformed sequences (line 2, 7), "
                                 "1 label to change\n");
    EXPECT_NE(check.err.find("missing: cannot read"), std::string::npos) << check.err;
    EXPECT_EQ(ReadFile(inbox), folder);

    // What counts as a passage and as malformed, and how many lines are shown.
    const struct {
        const char *what;
        std::string folder;
        const char *report;
    } rows[] = {
        {"a run of odd length ended by its line", "From a\n\x1b$)C\n\x0e\x30\x21\x30\n",
         "1 mail, 1 ISO-2022-KR passage, 1 malformed sequence (line 3)"},
        {"a CR in shifted text that ends no line", "From a\n\x1b$)C\n\x0e\x30\x21\r\x0f\n",
         "1 mail, 1 ISO-2022-KR passage, 1 malformed sequence (line 3)"},
        {"the first three lines shown", "From a\n\x1b$)C\n" + std::string(4, '\0'),
         "1 mail, 4 ISO-2022-KR passages, 4 malformed sequences (line 3, 4, 5)"},
        {"bytes outside 0x21-0x7E, an empty run", "From a\n\x1b$)C\n\x0e\x30\x7f\x21\x0f \x0e\x0f\n",
         "1 mail, 1 ISO-2022-KR passage, 1 malformed sequence (line 3)"},
        {"spaces in a run, a CR at the end", "From a\n\x1b$)C\n\x0e \t\x30\x21\x0f\x0e\x30\x21\x0f\x0e\x30\x21\r",
         "1 mail, 3 ISO-2022-KR passages, 1 malformed sequence (line 3)"},
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
        EXPECT_EQ(counted.out, inbox + ": " + row.report + "\n") << row.what;
    }

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
}

}  // namespace
