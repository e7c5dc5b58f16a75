// Tests of the command-line converter: exit status, messages, files converted.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../convert/test_files.h"
#include "converter.h"

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunWith(std::vector<std::string> args)
{
    TestDir streams;
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
    EXPECT_EQ(help.out.rfind("Usage: quorvel-convert FILE...", 0), 0u);

    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"--frobnicate"}, {"-x", "Inbox"}}) {
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

}  // namespace
