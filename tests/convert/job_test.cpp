// Tests of the Inbox conversion job on real files in a private temporary directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <string>

#include "convert.h"
#include "mail.h"
#include "platform.h"
#include "test_files.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const std::string KOREAN_MAIL =
    "From - Mon Sep 23 10:00:00 1996\r\n"
    "Content-Type: text/plain; charset=ISO-2022-KR\r\n"
    "\x1b$)C\r\n"
    "\x0e\x30\x21\x0f abc \x0e\x30\x21\x0f\r\n"
    "\r\n";
const std::string KOREAN_MAIL_DECODED =
    "From - Mon Sep 23 10:00:00 1996\n"
    "Content-Type: text/plain; charset=ISO-2022-KR\n"
    "\xb0\xa1 abc \xb0\xa1\n"
    "\n";

struct Folder {
    TestDir dir;
    std::string inbox = dir.File("Inbox");
    std::string summary = dir.File("Inbox.snm");

    Folder(const std::string &contents, bool withSummary = true)
    {
        WriteFile(inbox, contents);
        if (withSummary)
            WriteFile(summary, "summary");
    }
    std::size_t TempFiles() const { return dir.StateFiles().size(); }
};

TEST(Job, ConvertsTheInboxAndCleansUp)
{
    Folder folder(KOREAN_MAIL);
    ASSERT_TRUE(ConvertAt(folder.inbox));
    EXPECT_EQ(ReadFile(folder.inbox), Lines(KOREAN_MAIL_DECODED));
    EXPECT_FALSE(FileExists(folder.summary));
    EXPECT_EQ(folder.TempFiles(), 0u);

    // A second run finds no designator and changes nothing; no summary file is no failure.
    ASSERT_TRUE(ConvertAt(folder.inbox));
    EXPECT_EQ(ReadFile(folder.inbox), Lines(KOREAN_MAIL_DECODED));
    EXPECT_EQ(folder.TempFiles(), 0u);
}

TEST(Job, KeepsAFolderWithoutDesignatorByteForByte)
{
    std::string plain = std::string("From a\nplain \x0e\x30\x0f text\n\xb0\xa1\n\0\x1a\xff tail", 29);
    Folder folder(plain);
    ASSERT_TRUE(ConvertAt(folder.inbox));
    EXPECT_EQ(ReadFile(folder.inbox), Lines(plain));
}

// The relabelling, counting the times it is called: the job calls it to convert a mail
// apart where it cannot tell from the bytes alone whether the mail changes.
int g_relabellings;
int CountedRelabelStream(FILE *in, FILE *out)
{
    ++g_relabellings;
    return RelabelStream(in, out);
}

// A folder that the conversion would not change is not written at all: its time of last
// writing stays, and so no copy is made of it, and its summary stays.  A year or a
// name of ISO-2022-KR in a mail's text, or a label of a part whose bytes stay, is nothing
// to change; the year and the name in prose are not even a reason to convert a mail apart.
TEST(Job, LeavesAFolderWithNothingToChangeUntouched)
{
    const std::string year = "From a Sat Jan  1 10:00:00 2022\nDate: Sat, 1 Jan 2022 10:00:00 +0900\nSubject: in 2022 we met\n\nin 2022 we\n";
    const std::string name = "From b Sat Jan  1 10:00:00 2022\nSubject: charsets\n\nWrite ISO-2022-KR (csISO2022KR) as EUC-KR.\n";
    const std::string quoted = "From c Sat Jan  1 10:00:00 2022\nSubject: labels\n\nIt said charset=\"ISO-2022-KR\";\n";
    const std::string kept =
        "From d Sat Jan  1 10:00:00 2022\nContent-Type: application/octet-stream; charset=ISO-2022-KR\n\n\x1b$)C\x0e\x30\x21\x0f\n";
    struct Case {
        const char *what;
        std::string folder;
        StreamConverter convert;
        int apart;  // mails converted apart to tell
    } cases[] = {
        {"no designator", "From a\nplain \x0e\x30\x0f text, \x1b$) no designator\n\xb0\xa1\n", ConvertStream, 0},
        {"the year 2022", year, CountedRelabelStream, 0},
        {"a name in text", name, CountedRelabelStream, 0},
        {"a label quoted in text", quoted, CountedRelabelStream, 1},
        {"a part that keeps its bytes", kept, CountedRelabelStream, 1},
        {"mails of each", year + "\n" + name + "\n" + quoted + "\n" + year + "\n" + kept, CountedRelabelStream, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder(Lines(c.folder));
        auto old = std::filesystem::last_write_time(folder.inbox) - std::chrono::hours(1);
        std::filesystem::last_write_time(folder.inbox, old);
        std::string before = ReadFile(folder.inbox);
        g_relabellings = 0;
        SJobResult result;
        ASSERT_TRUE(ConvertAt(folder.inbox, Converting("counted", c.convert), &result));
        EXPECT_EQ(ReadFile(folder.inbox), before);
        EXPECT_EQ(std::filesystem::last_write_time(folder.inbox), old);
        // Its summary still says where each mail is.
        EXPECT_FALSE(result.rewritten);
        EXPECT_TRUE(FileExists(folder.summary));
        EXPECT_EQ(folder.TempFiles(), 0u);
        EXPECT_EQ(g_relabellings, c.apart);
    }
}

TEST(Job, EmptiesNothingFromAnEmptyInbox)
{
    Folder folder("");
    ASSERT_TRUE(ConvertAt(folder.inbox));
    EXPECT_EQ(ReadFile(folder.inbox), "");
    EXPECT_TRUE(FileExists(folder.summary));
}

TEST(Job, DecodesAFolderLargerThanTheBuffers)
{
    // Many pieces and stream buffers: lines of every length up to past the buffer size.
    std::string input = "\x1b$)C\n";
    std::string expected;
    for (int length = 0; length < 5000; length += 37) {
        input += "\x0e" + std::string(length, '\x21') + "\r\n";
        expected += std::string(length, '\xa1') + "\n";
    }
    // The last line has no line end, and ends in bytes the decoder holds back.
    input += "\x0e\x30\x21 \x1b$)";
    expected += "\xb0\xa1 \x9b\xa4\xa9";
    Folder folder(input);
    ASSERT_TRUE(ConvertAt(folder.inbox));
    EXPECT_EQ(ReadFile(folder.inbox), Lines(expected));
}

// A line longer than any read, with mail after it: the folder is converted to its end, by
// either conversion, wherever the long line stands.
TEST(Job, ConvertsPastALineLongerThanTheReads)
{
    const std::string korean = "From k\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e\x30\x21\x0f\n\n";
    const std::string decoded = "From k\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\xb0\xa1\n\n";
    const std::string relabelled = "From k\nContent-Type: text/plain; charset=EUC-KR\n\n\xb0\xa1\n\n";
    const std::string longLine = "From l\nSubject: long\n\n" + std::string(200000, 'x') + "\nafter it\n\n";
    const std::string last = "From p\n\nplain\n";
    for (bool relabel : {false, true}) {
        SCOPED_TRACE(relabel ? "relabelled" : "decoded");
        const std::string &to = relabel ? relabelled : decoded;
        Folder folder(korean + longLine + korean + last);
        ASSERT_TRUE(ConvertAt(folder.inbox, relabel ? Converting(RELABEL_KIND, RelabelStream) : SConverters()));
        std::string result = ReadFile(folder.inbox), expected = Lines(to + longLine + to + last);
        EXPECT_EQ(result.size(), expected.size());
        EXPECT_TRUE(result == expected);
    }
}

TEST(DecodeFileTo, ReportsAnOutputThatCannotBeOpened)
{
    TestDir dir;
    std::string source = dir.File("source");
    WriteFile(source, "abc\n");
    EXPECT_EQ(DecodeFileTo(source.c_str(), dir.File("no/such/dir").c_str()), 0);
    EXPECT_EQ(DecodeFileTo(dir.File("missing").c_str(), dir.File("target").c_str()), 0);
    EXPECT_FALSE(FileExists(dir.File("target")));
    EXPECT_EQ(g_fpIn, nullptr);
    EXPECT_EQ(g_fpOut, nullptr);
}

// Runs fn with file permissions in force, and returns its result: in a child process as an
// unprivileged user when we are root, for whom permissions do not apply.
template <typename Fn>
bool WithPermissions(Fn fn)
{
#ifdef _WIN32
    return fn();
#else
    if (geteuid() != 0)
        return fn();
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        _exit(fn() ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "cannot drop privileges";
    return WIFEXITED(status) && WEXITSTATUS(status) == 1;
#endif
}

// Failures before the folder is written: the folder, its summary and the temporary
// directory are left exactly as they were, and the job says why.
TEST(Job, FailsBeforeWritingAndLeavesNothingBehind)
{
    struct Case {
        const char *what;
        std::function<std::string(Folder &)> setUp;  // returns the path to convert
        bool inUse;
        DWORD error = 0;  // the reason the job must give, where one alone is right
    };
    HANDLE holder = INVALID_HANDLE_VALUE;
    const Case cases[] = {
        {"no Inbox", [](Folder &f) { return f.dir.File("Missing"); }, false},
        {"no state directory to be had",
         [](Folder &f) {
             SetStateHome(f.summary);
             return f.inbox;
         },
         false},
        {"a directory", [](Folder &f) { return f.dir.path(); }, false},
        {"held by another writer",
         [&](Folder &f) {
             holder = CreateFileA(f.inbox.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
             EXPECT_NE(holder, INVALID_HANDLE_VALUE);
             return f.inbox;
         },
         true},
#ifndef _WIN32
        {"a state directory longer than any path",
         [](Folder &f) {
             SetStateHome("/" + std::string(MAX_PATH + 100, 'x'));
             return f.inbox;
         },
         false},
        {"a state directory whose job files' names would be longer than any path",
         [](Folder &f) {
             std::string home = f.dir.path();
             // Its own path fits, and the job's base name (61 characters) too, but not with
             // an extension after it.
             const std::size_t fits = PATH_SIZE - 62 - std::strlen("/quorvel/");
             while (home.size() + 1 < fits) {
                 home += "/" + std::string(std::min<std::size_t>(200, fits - home.size() - 1), 'd');
                 std::filesystem::create_directory(home);
             }
             SetStateHome(home);
             return f.inbox;
         },
         false, ERROR_FILENAME_EXCED_RANGE},
        // Ours alone, or the job does not keep mail there.
        {"a state directory open to others",
         [](Folder &f) {
             std::filesystem::create_directory(f.dir.StateDirectory());
             chmod(f.dir.StateDirectory().c_str(), 0770);
             return f.inbox;
         },
         false},
        {"a state directory that is a link",
         [](Folder &f) {
             std::filesystem::create_directory(f.dir.File("elsewhere"));
             chmod(f.dir.File("elsewhere").c_str(), 0700);
             std::filesystem::create_directory_symlink(f.dir.File("elsewhere"), f.dir.StateDirectory());
             return f.inbox;
         },
         false},
        // Neither may wait forever, nor fill the temporary directory.
        {"a FIFO",
         [](Folder &f) {
             EXPECT_EQ(mkfifo(f.dir.File("fifo").c_str(), 0600), 0);
             return f.dir.File("fifo");
         },
         false},
        {"a link to /dev/zero",
         [](Folder &f) {
             std::filesystem::create_symlink("/dev/zero", f.dir.File("zero"));
             return f.dir.File("zero");
         },
         false},
        // A lock file of a program still running (this one); one of a program that has
        // ended is taken over (hold_cases.sh kill).
        {"its lock file held by another program",
         [](Folder &f) {
             WriteFile(f.inbox + ".lock", std::to_string(getpid()) + "\n");
             return f.inbox;
         },
         true},
#endif
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder(KOREAN_MAIL);
        std::string path = c.setUp(folder);
        EXPECT_FALSE(ConvertAt(path));
        DWORD error = GetLastError();
        if (holder != INVALID_HANDLE_VALUE) {
            CloseHandle(holder);
            holder = INVALID_HANDLE_VALUE;
        }
        SetStateHome(folder.dir.path());
        EXPECT_EQ(ReadFile(folder.inbox), KOREAN_MAIL);
        EXPECT_TRUE(FileExists(folder.summary));
        EXPECT_EQ(folder.TempFiles(), 0u);
        EXPECT_FALSE(FileExists(folder.dir.File("elsewhere/qvl"))) << "nothing followed the link";
        if (c.inUse) {
            EXPECT_TRUE(error == ERROR_SHARING_VIOLATION || error == ERROR_FOLDER_LOCKED) << error;
        }
        if (c.error != 0) {
            EXPECT_EQ(error, c.error);
        }
    }
}

// A converter that runs out of memory half-way, or whose conversion of the copy is not
// the conversion the record holds (memory failing between the two): the job fails like
// any other, saying why, and puts the folder back.
int g_conversions;
const char *g_secondOutput;

int UnrepeatedConversion(FILE *in, FILE *out)
{
    while (std::fgetc(in) != EOF) {
    }
    std::fputs(++g_conversions == 2 ? g_secondOutput : "same", out);
    return std::fflush(out) == 0 ? 1 : 0;
}

TEST(Job, PutsTheFolderBackWhenItsConverterFailsOrGivesOtherBytes)
{
    auto exhausts = [](FILE *, FILE *out) -> int {
        std::fputs("half", out);
        std::fflush(out);
        throw std::bad_alloc();
    };
    struct Case {
        const char *what;
        StreamConverter convert;
        const char *secondOutput;
        DWORD error;
    } cases[] = {
        {"out of memory", exhausts, "", ERROR_NOT_ENOUGH_MEMORY},
        {"longer the second time", UnrepeatedConversion, "same, and more", ERROR_CONVERSION_NOT_REPEATED},
        {"other bytes the second time", UnrepeatedConversion, "sane", ERROR_CONVERSION_NOT_REPEATED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder(KOREAN_MAIL);
        g_conversions = 0;
        g_secondOutput = c.secondOutput;
        EXPECT_FALSE(ConvertAt(folder.inbox, Converting("unrepeated", c.convert)));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(ReadFile(folder.inbox), KOREAN_MAIL);
        EXPECT_TRUE(FileExists(folder.summary));
    }
}

// A read-only Inbox, checked where permissions apply to us.
TEST(Job, LeavesAReadOnlyInboxAsItWasWithNoCopy)
{
    namespace fs = std::filesystem;
    Folder folder(KOREAN_MAIL);
    fs::permissions(folder.dir.path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(folder.inbox, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
#ifdef _WIN32
    // Wine keeps the read-only attribute in the file mode, which root may ignore.
    if (FILE *probe = std::fopen(folder.inbox.c_str(), "ab")) {
        std::fclose(probe);
        GTEST_SKIP() << "a read-only file is writable here (Wine run by root)";
    }
#endif
    EXPECT_FALSE(WithPermissions([&] { return ConvertAt(folder.inbox); }));
    EXPECT_EQ(ReadFile(folder.inbox), KOREAN_MAIL);
    EXPECT_TRUE(FileExists(folder.summary));
    EXPECT_EQ(folder.TempFiles(), 0u);
}

#ifndef _WIN32

// The copy may go to another file system and under a long path; a link converts the file
// it names, which stays a file of its own.
TEST(Job, ConvertsThroughALinkWithTheCopyAnywhere)
{
    Folder folder(KOREAN_MAIL);
    std::string link = folder.dir.File("Link");
    std::filesystem::create_symlink(folder.inbox, link);
    TestDir elsewhere("/dev/shm");
    std::string deep = elsewhere.path() + "/" + std::string(200, 'd') + "/" + std::string(200, 'e');
    std::filesystem::create_directories(deep);
    SetTempDirectory(deep);
    WriteFile(link + ".snm", "not its summary");
    ASSERT_TRUE(ConvertAt(link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFile(folder.inbox), Lines(KOREAN_MAIL_DECODED));
    EXPECT_FALSE(FileExists(folder.summary));
    EXPECT_TRUE(FileExists(link + ".snm"));
    EXPECT_TRUE(std::filesystem::is_empty(deep));
}

TEST(DecodeFileTo, ReportsAFailedWrite)
{
    TestDir dir;
    std::string source = dir.File("source");
    WriteFile(source, KOREAN_MAIL);
    EXPECT_EQ(DecodeFileTo(source.c_str(), "/dev/full"), 0);
    EXPECT_EQ(g_fpIn, nullptr);
    EXPECT_EQ(g_fpOut, nullptr);
}

#endif

}  // namespace
