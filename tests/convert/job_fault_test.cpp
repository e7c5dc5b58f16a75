// Tests of the job when rewriting the folder fails half-way: C library and system calls that
// fail on the folder or its copy are put in place of the real ones.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "convert.h"
#include "converter.h"
#include "mail.h"
#include "platform.h"
#include "test_files.h"

namespace {

// The folder whose calls fail; what fails is set per test.
const char *g_folder;
bool g_failWrites;       // its stream writes as on a full disk
bool g_failCopyReads;    // the stream reading its copy reads as from a broken disk
bool g_failFlushes;      // flushing it to the disk fails, the restore's flush too
bool g_closeHidesErrors; // closing the failing stream reports success, as some C libraries do
bool g_failFolderClose;  // closing the folder's own handle fails, as on a network drive
const char *g_swapFor;   // just before the rewrite, the folder's path becomes a link to this
bool g_shortCopy;        // the copy's writes stop after a few bytes, saying they are done
bool g_garbledCopy;      // the copy's writes put NULs in place of the bytes given
bool g_keepCopies;       // the job's copies cannot be deleted
bool g_keepRecords;      // nor its records (held by another program without sharing deletion)
int g_rewrites;          // how many times the folder was opened to be written
off_t g_rewriteAt;       // where the last rewrite of the folder started
FILE *g_failingStream;

bool IsFolder(int fd)
{
    struct stat a, b;
    return g_folder != nullptr && fstat(fd, &a) == 0 && stat(g_folder, &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

extern "C" FILE *fdopen(int fd, const char *mode)
{
    using Open = FILE *(*)(int, const char *);
    static Open realOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "fdopen"));
    if (g_swapFor != nullptr && mode[0] == 'w' && IsFolder(fd)) {
        std::rename(g_folder, (std::string(g_folder) + ".moved").c_str());
        (void)symlink(g_swapFor, g_folder);
    }
    if (mode[0] == 'w' && IsFolder(fd)) {
        g_rewriteAt = lseek(fd, 0, SEEK_CUR);
        ++g_rewrites;
    }
    const char *failing = nullptr;
    if (g_failWrites && mode[0] == 'w' && IsFolder(fd))
        failing = "/dev/full";
    if (g_failCopyReads && mode[0] == 'r' && g_folder != nullptr && !IsFolder(fd))
        failing = "/";  // a directory: every read of it fails
    if (failing == nullptr)
        return realOpen(fd, mode);
    close(fd);
    g_failingStream = std::fopen(failing, mode);
    return g_failingStream;
}

extern "C" int fclose(FILE *stream)
{
    using Close = int (*)(FILE *);
    static Close realClose = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "fclose"));
    int result = realClose(stream);
    if (stream != nullptr && stream == g_failingStream) {
        g_failingStream = nullptr;
        if (g_closeHidesErrors)
            return 0;
    }
    return result;
}

extern "C" int fsync(int fd)
{
    using Sync = int (*)(int);
    static Sync realSync = reinterpret_cast<Sync>(dlsym(RTLD_NEXT, "fsync"));
    if (g_failFlushes && IsFolder(fd)) {
        errno = EIO;
        return -1;
    }
    return realSync(fd);
}

extern "C" int close(int fd)
{
    using Close = int (*)(int);
    static Close realClose = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "close"));
    bool fail = g_failFolderClose && IsFolder(fd);
    int result = realClose(fd);
    if (fail) {
        errno = EIO;
        return -1;
    }
    return result;
}

// The job's copy takes a few bytes of each write and says it took them all, or takes NULs.
extern "C" ssize_t write(int fd, const void *data, size_t n)
{
    using Write = ssize_t (*)(int, const void *, size_t);
    static Write realWrite = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
    char path[4096];
    ssize_t length = (g_shortCopy || g_garbledCopy) && n > 3
                         ? readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1)
                         : -1;
    if (length > 0) {
        path[length] = '\0';
        if (std::strstr(path, "/qvl") != nullptr && std::strstr(path, ".TMP") != nullptr)
            return g_shortCopy ? (realWrite(fd, data, 3) < 0 ? -1 : static_cast<ssize_t>(n))
                               : realWrite(fd, std::string(n, '\0').data(), n);
    }
    return realWrite(fd, data, n);
}

extern "C" int unlink(const char *path)
{
    using Unlink = int (*)(const char *);
    static Unlink realUnlink = reinterpret_cast<Unlink>(dlsym(RTLD_NEXT, "unlink"));
    if (std::strstr(path, "/qvl") != nullptr && ((g_keepCopies && std::strstr(path, ".TMP") != nullptr) ||
                                                 (g_keepRecords && std::strstr(path, ".JNL") != nullptr))) {
        errno = EBUSY;
        return -1;
    }
    return realUnlink(path);
}

namespace {

// Runs the converter on inbox; its messages go into message.
int RunOn(const std::string &inbox, char (&message)[1000])
{
    char *argv[] = {const_cast<char *>("quorvel-convert"), const_cast<char *>(inbox.c_str()), nullptr};
    message[0] = '\0';
    FILE *err = fmemopen(message, sizeof message - 1, "w");
    int status = RunConverter(2, argv, stdout, err);
    std::fclose(err);
    return status;
}

// A copy that the system leaves short is never trusted; one that cannot be deleted is named.
TEST(Job, ChecksItsCopyAndNamesOneItCannotDelete)
{
    struct Case {
        const char *what;
        bool *fault;
        int status;
        const char *message;
        std::size_t left;
    } cases[] = {
        {"the copy's writes stop short", &g_shortCopy, 1, "its copy does not hold what the folder holds", 0},
        {"the copy's writes take other bytes", &g_garbledCopy, 1, "its copy does not hold what the folder holds", 0},
        {"the copy cannot be deleted", &g_keepCopies, 0, "warning: cannot delete", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        std::string inbox = dir.File("Inbox");
        // Long enough to be copied in many pieces, written as the next are read.
        const std::string text = std::string(300000, 'x') + "\nplain\n";
        const std::string mail = "\x1b$)C\n\x0e\x30\x21\x0f\n" + text;
        WriteFile(inbox, mail);
        *c.fault = true;
        char message[1000];
        int status = RunOn(inbox, message);
        *c.fault = false;
        EXPECT_EQ(status, c.status) << message;
        EXPECT_NE(std::strstr(message, c.message), nullptr) << message;
        EXPECT_EQ(ReadFile(inbox), c.status == 0 ? "\xb0\xa1\n" + text : mail);
        EXPECT_EQ(dir.StateFiles().size(), c.left);
        for (const std::string &name : dir.StateFiles())
            EXPECT_NE(std::strstr(message, name.c_str()), nullptr) << message;
    }
}

// Each fault fails the job with its own reason; the folder comes back whole, or, where it
// cannot, the converter names the copy that holds it.
TEST(Job, PutsTheFolderBackOrNamesItsCopyWhenTheRewriteFails)
{
    struct Case {
        const char *what;
        bool *fault, *secondFault;
        bool closeHidesErrors;
        int reason;
        bool putBack;
    } cases[] = {
        {"writes fail", &g_failWrites, nullptr, false, ENOSPC, true},
        {"writes fail, fclose hides it", &g_failWrites, nullptr, true, 0, true},
        {"reading the copy fails", &g_failCopyReads, nullptr, false, EISDIR, true},
        {"flushing the folder fails", &g_failFlushes, nullptr, false, EIO, false},
        // Written and flushed, but a close that fails may mean it is not on the disk.
        {"closing the folder fails", &g_failFolderClose, nullptr, false, EIO, false},
        // The reason given is the rewrite's, not the failed restore's.
        {"writes fail, then the restore", &g_failWrites, &g_failFlushes, false, ENOSPC, false},
        {"writes fail, then closing the folder", &g_failWrites, &g_failFolderClose, false, ENOSPC, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        std::string inbox = dir.File("Inbox");
        std::string summary = dir.File("Inbox.snm");
        const std::string mail = "\x1b$)C\n\x0e\x30\x21\x0f\nplain\n";
        WriteFile(inbox, mail);
        WriteFile(summary, "summary");

        g_folder = inbox.c_str();
        *c.fault = true;
        if (c.secondFault != nullptr)
            *c.secondFault = true;
        g_closeHidesErrors = c.closeHidesErrors;
        char *argv[] = {const_cast<char *>("quorvel-convert"), const_cast<char *>(inbox.c_str()), nullptr};
        char message[1000] = "";
        FILE *err = fmemopen(message, sizeof message - 1, "w");
        int status = RunConverter(2, argv, stdout, err);
        std::fclose(err);
        *c.fault = false;
        if (c.secondFault != nullptr)
            *c.secondFault = false;
        g_closeHidesErrors = false;
        g_folder = nullptr;

        EXPECT_EQ(status, 1);
        if (c.reason != 0) {
            EXPECT_NE(std::strstr(message, std::strerror(c.reason)), nullptr) << message;
        }
        if (c.putBack) {
            EXPECT_EQ(ReadFile(inbox), mail);
        }
        EXPECT_TRUE(FileExists(summary));
        // The copy stays; its record only where the folder could not be put back, so that
        // the next run completes the conversion from it.
        auto files = dir.StateFiles();
        ASSERT_EQ(files.size(), c.putBack ? 1u : 2u);
        std::string copy = dir.StateDirectory() + "/" + files[0];
        std::string record = files.size() > 1 ? dir.StateDirectory() + "/" + files[1] : "";
        if (copy.find(".TMP") == std::string::npos)
            std::swap(copy, record);
        EXPECT_EQ(ReadFile(copy), mail);
        bool named = std::strstr(message, copy.c_str()) != nullptr;
        EXPECT_EQ(named, !c.putBack) << message;
        if (!c.putBack) {
            EXPECT_NE(std::strstr(message, record.c_str()), nullptr) << message;
            // Once the disk is sound again, the next run completes the conversion.
            char again[1000] = "";
            err = fmemopen(again, sizeof again - 1, "w");
            EXPECT_EQ(RunConverter(2, argv, stdout, err), 0);
            std::fclose(err);
            EXPECT_EQ(ReadFile(inbox), "\xb0\xa1\nplain\n");
            EXPECT_NE(std::strstr(again, "completed an interrupted conversion"), nullptr) << again;
            EXPECT_TRUE(dir.StateFiles().empty());
        }
    }
}

// An interrupted job whose record cannot be deleted once it is completed: the run fails
// naming the record, having written the folder once, rather than completing it again and
// again.
TEST(Job, FailsNamingARecordThatCannotBeDeletedAfterCompletingIt)
{
    TestDir dir;
    std::string inbox = dir.File("Inbox");
    WriteFile(inbox, "\x1b$)C\n\x0e\x30\x21\x0f\nplain\n");
    g_folder = inbox.c_str();
    g_failFlushes = true;
    char message[1000];
    EXPECT_EQ(RunOn(inbox, message), 1);
    g_failFlushes = false;
    ASSERT_EQ(dir.StateFiles().size(), 2u) << "the copy and the record, for the next run";
    // A copy that cannot be read as it is converted again is told as such, not taken for
    // another build's.
    g_failCopyReads = true;
    EXPECT_EQ(RunOn(inbox, message), 1);
    g_failCopyReads = false;
    EXPECT_NE(std::strstr(message, std::strerror(EISDIR)), nullptr) << message;
    ASSERT_EQ(dir.StateFiles().size(), 2u);
    g_keepRecords = true;
    g_rewrites = 0;
    EXPECT_EQ(RunOn(inbox, message), 1);
    g_keepRecords = false;
    g_folder = nullptr;
    EXPECT_EQ(g_rewrites, 0) << "completed by writing the recorded bytes, not by a rewrite of its own";
    EXPECT_EQ(ReadFile(inbox), "\xb0\xa1\nplain\n");
    EXPECT_NE(std::strstr(message, "its record cannot be deleted"), nullptr) << message;
    for (const std::string &name : dir.StateFiles()) {
        if (name.find(".JNL") != std::string::npos) {
            EXPECT_NE(std::strstr(message, name.c_str()), nullptr) << message;
        }
    }
}

// The rewrite starts at the line of the first byte the conversion changes, wherever that
// falls among the job's reads (64 KiB each), and gives what a whole rewrite would.
TEST(Job, RewritesFromTheLineOfTheFirstChange)
{
    const std::size_t READ = 64 * 1024;
    struct Case {
        const char *what;
        std::size_t changeAt;  // where the line that changes starts
        std::string line;      // that line, which changes
    } cases[] = {
        {"a designator line", 3000, "\x1b$)C\n\x0e\x30\x21\x0f\n"},
        {"a designator within a line", 5000, "ab \x1b$)C\x0e\x30\x21\x0f\n"},
        {"a designator across two reads", READ - 6, "ab \x1b$)C\x0e\x30\x21\x0f\n"},
        {"a designator just after a read", READ - 3, "abc\x1b$)C\x0e\x30\x21\x0f\n"},
        {"a CR LF across two reads", READ - 4, "abc\r\nx\n"},
        {"a CR LF in the third read", 2 * READ + 10, "abc\r\nx\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        std::string inbox = dir.File("Inbox");
        // Lines that nothing changes, up to changeAt; a CR alone changes nothing either.
        std::string front;
        while (front.size() < c.changeAt)
            front += std::string(std::min<std::size_t>(70, c.changeAt - front.size() - 1), 'x') + "\n";
        front[10] = '\r';
        front.resize(c.changeAt);
        front.back() = '\n';
        std::string folder = front + c.line + "tail\n";
        WriteFile(inbox, folder);
        std::string whole(2 * folder.size() + 4, '\0');
        whole.resize(ConvertBuffer(folder.data(), folder.size(), &whole[0]));
        g_folder = inbox.c_str();
        g_rewriteAt = -1;
        bool converted = ConvertAt(inbox);
        g_folder = nullptr;
        EXPECT_TRUE(converted);
        EXPECT_EQ(ReadFile(inbox), whole);
        EXPECT_EQ(g_rewriteAt, static_cast<off_t>(c.changeAt));
    }
}

// The relabelling leaves whole the mails before the first that has anything to change:
// a label or encoded word naming ISO-2022-KR, in any of the spellings the relabelling
// reads, or a designator, wherever the reads fall; mails that only mention a name in
// their text, or hold a designator where it stays, are no reason to start sooner.
TEST(Job, RelabelsFromTheMailOfTheFirstChange)
{
    const std::size_t READ = 64 * 1024;
    const std::string label = "Subject: =?ISO-2022-KR?B?GyQpQw4wIQ8=?=\n\nbody\n";
    const std::string designator = "\n\x1b$)C\n\x0e\x30\x21\x0f\n";
    const std::string plain = "\nplain text";
    // An mboxcl2 mail: a From line in the body that its Content-Length counts is its text.
    const std::string cl2Body = "text\n\nFrom x Mon Sep 23 10:00:00 1996\n" + designator;
    const std::string cl2 = "Content-Length: " + std::to_string(cl2Body.size()) + "\n\n" + cl2Body;
    struct Case {
        const char *what;
        std::size_t mailAt;  // where the mail that changes starts, as near as may be
        std::string mail;    // after its From line
        bool mbox;
        std::string text;    // of the mails before it, after their Subject: field; they change nothing
    } cases[] = {
        {"an encoded word in a later mail", 3000, label, true, plain},
        {"its mark across two reads", READ - 20, label, true, plain},
        {"its From line across two reads", READ - 2, label, true, plain},
        {"a designator in its body", 2 * READ + 10, designator, true, plain},
        {"a designator after a From line in the body that its Content-Length counts", 3000, cl2, true, plain},
        {"a designator after a From line with no empty line before it", 3000,
         "Subject: x\n\ntext\nFrom x Mon Sep 23 10:00:00 1996" + designator, true, plain},
        {"a file of one mail", 3000, designator, false, plain},
        {"RFC 2231's sections", 3000, "Content-Type: text/plain; charset*0=\"ISO-20\"; charset*1=\"22-KR\"\n\nx\n",
         true, plain},
        {"RFC 2231's %-encoding", 3000, "Content-Type: text/plain; charset*=''ISO%2D2022%2DKR\n\nx\n", true, plain},
        {"a file name in ISO-2022-KR", 3000,
         "Content-Disposition: attachment; filename*=iso-2022-kr''%1B%24%29C%0E0%21%0F\n\nx\n", true, plain},
        {"quoted pairs", 3000, "Content-Type: text/plain; charset=\"cs\\ISO20\\22\\KR\"\n\nx\n", true, plain},
        {"after names in text", 3000, label, true, "\nsay ISO-2022-KR, csiso2022kr or \\iso-\\2022-kr\\"},
        {"after a designator in a part that keeps it", 3000, label, true,
         "Content-Type: application/octet-stream\n\n\x1b$)C\x0e\x30\x21\x0f"},
        {"after RFC 2231's forms of another charset", 3000, label, true,
         "Content-Type: text/plain; charset*=''us-ascii\n\nx"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        std::string inbox = dir.File("Inbox");
        // Mails that nothing changes, up to mailAt.
        std::string front = c.mbox ? "" : "Subject: one mail\n\n";
        while (front.size() + 65 + c.text.size() < c.mailAt)
            front += "From a Mon Sep 23 10:00:00 1996\nSubject: plain\n" + c.text + "\n\n";
        front += std::string(c.mailAt - front.size() - 1, 'x') + "\n\n";
        // And a mail after it, which is no reason to start later or sooner.
        std::string folder = front + "From b Mon Sep 23 10:00:00 1996\n" + c.mail +
                             (c.mbox ? "\nFrom c Mon Sep 23 10:00:00 1996\nSubject: plain\n\nplain\n" : "");
        WriteFile(inbox, folder);
        long labels = 0;
        std::string whole = RelabelMail(folder, &labels);
        g_folder = inbox.c_str();
        g_rewriteAt = -1;
        bool converted = ConvertAt(inbox, Converting(RELABEL_KIND, RelabelStream));
        g_folder = nullptr;
        EXPECT_TRUE(converted);
        EXPECT_EQ(ReadFile(inbox), whole);
        EXPECT_EQ(g_rewriteAt, c.mbox ? static_cast<off_t>(front.size()) : 0);
    }
    // A folder with nothing of ISO-2022-KR is not written at all.
    TestDir dir;
    std::string inbox = dir.File("Inbox");
    WriteFile(inbox, "From a\nSubject: ISO-8859-1\n\nplain\n");
    g_folder = inbox.c_str();
    g_rewriteAt = -1;
    EXPECT_TRUE(ConvertAt(inbox, Converting(RELABEL_KIND, RelabelStream)));
    g_folder = nullptr;
    EXPECT_EQ(g_rewriteAt, -1);
}

// The folder is opened once: a path swapped for a link during the job changes nothing of
// which file is written, so the job cannot be led to write over another.
TEST(Job, WritesTheFolderItOpenedWhateverThePathBecomes)
{
    TestDir dir;
    std::string inbox = dir.File("Inbox"), victim = dir.File("victim");
    WriteFile(inbox, "\x1b$)C\n\x0e\x30\x21\x0f\n");
    WriteFile(victim, "not mail");
    g_folder = inbox.c_str();
    g_swapFor = victim.c_str();
    bool converted = ConvertAt(inbox);
    g_swapFor = nullptr;
    g_folder = nullptr;
    EXPECT_TRUE(converted);
    EXPECT_EQ(ReadFile(victim), "not mail");
    EXPECT_EQ(ReadFile(inbox + ".moved"), "\xb0\xa1\n");
}

}  // namespace
