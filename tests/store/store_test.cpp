// The stores of mail: .emlx layouts, our temporary names and what they are for, directories
// held by the walk, and the walk's report over a small tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <map>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#endif

#include "emlx.h"
#include "imap_journal.h"
#include "maildir.h"
#include "rewrite.h"
#include "temporary_names.h"
#include "mail.h"
#include "profile.h"
#include "store_files.h"
#include "test_files.h"
#include "tree.h"

#ifndef _WIN32
namespace {

// What fails of a batch's writing, set per test: flushing its files, giving our
// temporary files their new names, or deleting the old names of the messages renamed.
bool g_failBatchFlush;
bool g_failBatchRenames;
bool g_failOldNames;
// Set per test: the maildir whose tmp/ cannot be opened.
std::string g_failTmpIn;

// Where a test stops the process, as a kill would: before the g_killAtStep-th of the calls
// that take a run's steps (flushes of a batch, links, renames and deletions in a held
// directory), 0 for never.
int g_killAtStep;

// Set per test: counts the files of ours given their names in a directory of a maildir that
// has Dovecot's list of names while its lock is not there.
bool g_watchUidlistLock;
int g_namedUnlocked;

bool OursToFail(const char *name)
{
    return g_failBatchRenames && std::strstr(name, "_quorvel") != nullptr;
}

void WatchUidlistLock(int toDir, const char *from)
{
    char dir[4096];
    ssize_t n = g_watchUidlistLock && std::strstr(from, "_quorvel") != nullptr
                    ? readlink(("/proc/self/fd/" + std::to_string(toDir)).c_str(), dir, sizeof dir - 1)
                    : -1;
    if (n <= 0)
        return;
    std::filesystem::path maildir = std::filesystem::path(std::string(dir, static_cast<std::size_t>(n))).parent_path();
    if (std::filesystem::exists(maildir / "dovecot-uidlist") && !std::filesystem::exists(maildir / "dovecot-uidlist.lock"))
        ++g_namedUnlocked;
}

void Step()
{
    if (g_killAtStep > 0 && --g_killAtStep == 0)
        _exit(9);
}

}  // namespace

extern "C" int openat(int dir, const char *name, int flags, ...)
{
    using Open = int (*)(int, const char *, int, ...);
    static Open realOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "openat"));
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (!g_failTmpIn.empty() && (flags & O_DIRECTORY) != 0 && std::strcmp(name, "tmp") == 0) {
        char path[4096];
        ssize_t n = readlink(("/proc/self/fd/" + std::to_string(dir)).c_str(), path, sizeof path);
        if (n > 0 && std::string(path, static_cast<std::size_t>(n)) == g_failTmpIn) {
            errno = EACCES;
            return -1;
        }
    }
    return realOpen(dir, name, flags, mode);
}

extern "C" int unlinkat(int dir, const char *name, int flags)
{
    using Unlink = int (*)(int, const char *, int);
    static Unlink realUnlink = reinterpret_cast<Unlink>(dlsym(RTLD_NEXT, "unlinkat"));
    Step();
    if (g_failOldNames && std::strstr(name, "_quorvel") == nullptr) {
        errno = EIO;
        return -1;
    }
    return realUnlink(dir, name, flags);
}

extern "C" int syncfs(int fd)
{
    using Sync = int (*)(int);
    static Sync realSync = reinterpret_cast<Sync>(dlsym(RTLD_NEXT, "syncfs"));
    Step();
    if (g_failBatchFlush) {
        errno = EIO;
        return -1;
    }
    return realSync(fd);
}

extern "C" int linkat(int fromDir, const char *from, int toDir, const char *to, int flags)
{
    using Link = int (*)(int, const char *, int, const char *, int);
    static Link realLink = reinterpret_cast<Link>(dlsym(RTLD_NEXT, "linkat"));
    Step();
    WatchUidlistLock(toDir, from);
    if (OursToFail(from)) {
        errno = EIO;
        return -1;
    }
    return realLink(fromDir, from, toDir, to, flags);
}

extern "C" int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned flags)
{
    using Rename = int (*)(int, const char *, int, const char *, unsigned);
    static Rename realRename = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "renameat2"));
    Step();
    WatchUidlistLock(toDir, from);
    if (OursToFail(from)) {
        errno = EIO;
        return -1;
    }
    return realRename(fromDir, from, toDir, to, flags);
}
#endif

namespace {

// Every file under dir, by its path, with its bytes.
std::map<std::string, std::string> Listing(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir))
        files[entry.path().string()] = entry.is_regular_file() ? ReadFile(entry.path().string()) : "";
    return files;
}

// A check changes nothing, and counts what the run then does.
void ExpectSameCounts(const STreeReport &checked, const STreeReport &done)
{
    EXPECT_TRUE(checked.checked);
    EXPECT_EQ(checked.converted, done.converted);
    EXPECT_EQ(checked.unchanged, done.unchanged);
    EXPECT_EQ(checked.mails, done.mails);
    EXPECT_EQ(checked.renamed, done.renamed);
    EXPECT_EQ(checked.quotaLines, done.quotaLines);
    EXPECT_EQ(checked.skipped, done.skipped);
    EXPECT_EQ(checked.failed, done.failed);
}

TEST(Emlx, ReadsTheCountLineAndWritesItAnew)
{
    struct {
        const char *head;
        bool counted;
        std::uint64_t count;
        std::size_t start;
        std::uint64_t newCount;
        const char *newLine;
    } rows[] = {
        {"123\nFrom:", true, 123, 4, 98, "98 \n"},
        {"123\r\nFrom:", true, 123, 5, 1000, "1000\r\n"},
        // Padding kept as it was, TAB and all.
        {"12\t \nFrom:", true, 12, 5, 7, "7 \t \n"},
        {"9      \nX", true, 9, 8, 12345, "12345  \n"},
        {"0\n", true, 0, 2, 0, "0\n"},
        {"abc\n", false, 0, 0, 0, ""},
        {"12x\n", false, 0, 0, 0, ""},
        {"12", false, 0, 0, 0, ""},
        {" 12\n", false, 0, 0, 0, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.head);
        SEmlxLayout layout;
        ASSERT_EQ(ReadEmlxLayout(row.head, layout), row.counted);
        if (!row.counted)
            continue;
        EXPECT_EQ(layout.count, row.count);
        EXPECT_EQ(layout.messageStart, row.start);
        EXPECT_EQ(EmlxCountLine(row.head, layout, row.newCount), row.newLine);
    }
    EXPECT_TRUE(StartsPropertyList("\n<?xml version"));
    EXPECT_TRUE(StartsPropertyList(""));
    EXPECT_TRUE(StartsPropertyList("<plist>"));
    EXPECT_FALSE(StartsPropertyList("\nSubject: more of the message"));
}

TEST(Maildir, NamesOurTemporariesWithTheFileTheyAreFor)
{
    std::string forName, sub, name;
    std::string made = NewTemporaryName(MessageReference("cur", "1700000000.M1P2.host,S=120:2,RS"));
    ASSERT_TRUE(IsOurTemporary(made, &forName)) << made;
    ASSERT_TRUE(ReadMessageReference(forName, sub, name));
    EXPECT_EQ(sub, "cur");
    EXPECT_EQ(name, "1700000000.M1P2.host,S=120:2,RS");
    EXPECT_NE(NewTemporaryName(""), NewTemporaryName(""));
    // Too long to name what it is for: it names nothing, and is still ours.
    made = NewTemporaryName(MessageReference("new", std::string(240, 'm')));
    EXPECT_LE(made.size() + 1, 255u);
    ASSERT_TRUE(IsOurTemporary(made, &forName));
    EXPECT_EQ(forName, "");
    // A delivery's own temporary file, and messages, are not ours.
    for (const char *other : {"1700000000.M1P2.host", "1700000000.M1P2_quorvelx.host", "_quorvel.x", "a.b_quorvel"})
        EXPECT_FALSE(IsOurTemporary(other)) << other;
    EXPECT_FALSE(ReadMessageReference("tmp,1.a.b", sub, name));
    EXPECT_FALSE(ReadMessageReference("cur,", sub, name));
    EXPECT_EQ(MessageUnique("1.M2.host,S=9:2,S"), "1.M2.host,S=9");
    EXPECT_EQ(MessageUnique("1.M2.host!2,S"), "1.M2.host");
    EXPECT_EQ(MessageUnique("1.M2.host"), "1.M2.host");
    EXPECT_EQ(MessageUnique("x:1,S"), "x");
    // A changed message's new name: our unique part with the old name's mark, the old fields
    // with the sizes anew, and the info as it was (":2,", ":1,", none).
    std::string mark = PairingMark("1.M2.host,S=9,U=17,W=10");
    EXPECT_EQ(NewMessageName("1.M2.host,S=9,U=17,W=10:2,RS", "5.M6R7Q8_quorvel.me,cur,1.M2.host,S=9", 12, 14),
              "5.M6R7Q8" + mark + "_quorvel.me,S=12,U=17,W=14:2,RS");
    EXPECT_EQ(NewMessageName("1.M2.host", "5.M6R7Q8_quorvel.me,new,1.M2.host", 12, 14),
              "5.M6R7Q8" + PairingMark("1.M2.host") + "_quorvel.me");
    EXPECT_EQ(NewMessageName("x:1,S", "5.M6R7Q8_quorvel.me", 12, 14), "5.M6R7Q8" + PairingMark("x") + "_quorvel.me:1,S");
    std::string paired;
    EXPECT_TRUE(PairedWith(NewMessageName("1.M2.host,S=9,U=17,W=10:2,S", "5.M6R7Q8_quorvel.me", 1, 1), paired));
    EXPECT_EQ(paired, mark);
    EXPECT_FALSE(PairedWith("5.M6R7Q8_quorvel.me", paired));
}

#ifndef _WIN32
TEST(HeldDirectory, OpensOnlyTheFileTheWalkFound)
{
    TestDir dir;
    WriteFile(dir.File("mail"), "From a\n");
    std::filesystem::create_directory(dir.File("sub"));
    auto held = CHeldDirectory::Open(dir.path());
    ASSERT_NE(held, nullptr);
    struct SFound {
        std::string name;
        SFileIdentity id;
    };
    std::vector<SFound> found;
    ASSERT_TRUE(held->Read([](const SDirectoryEntry &e, void *c) {
        static_cast<std::vector<SFound> *>(c)->push_back({e.name, e.id});
    }, &found));
    auto mail = std::find_if(found.begin(), found.end(), [](const SFound &f) { return f.name == "mail"; });
    ASSERT_NE(mail, found.end());
    HANDLE file = held->OpenEntry("mail", false, &mail->id);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    // Swapped for a link, or for another file, since it was found.
    WriteFile(dir.File("outside"), "secret\n");
    std::filesystem::rename(dir.File("mail"), dir.File("mail.old"));
    std::filesystem::create_symlink(dir.File("outside"), dir.File("mail"));
    EXPECT_EQ(held->OpenEntry("mail", false, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_THE_WALKED_FILE);
    std::filesystem::remove(dir.File("mail"));
    WriteFile(dir.File("mail"), "From b\n");
    EXPECT_EQ(held->OpenEntry("mail", false, &mail->id), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_THE_WALKED_FILE);
    std::filesystem::remove_all(dir.File("sub"));
    std::filesystem::create_directory_symlink(dir.path(), dir.File("sub"));
    EXPECT_EQ(held->OpenSub("sub"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_THE_WALKED_FILE);
}
#endif

// A temporary name for forName as a run that has ended made it: its process id is no
// process's.
std::string StoppedRunsName(const std::string &forName)
{
    std::string name = NewTemporaryName(forName);
    std::size_t p = name.find('P');
    return name.substr(0, p + 1) + "999999999" + name.substr(name.find('R', p));
}

#ifndef _WIN32
// The descriptors the process has open.
std::size_t OpenDescriptors()
{
    std::size_t n = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

// The most descriptors the process had open as the walk came to a file.
class CDescriptorPeak : public ITreeProgress {
public:
    void StartTree(std::uint64_t, std::uint64_t) override {}
    void StartFile(const std::string &) override { m_peak = std::max(m_peak, OpenDescriptors()); }
    void FileDone(std::uint64_t) override {}
    void FinishTree() override {}
    std::size_t m_peak = 0;
};
#endif

// A maildir with a message to convert, one with nothing to, and a leftover of a stopped
// run beside a file of a run still at work; an .emlx whose count runs past its end, and one
// whose count runs exactly to it; a folder; a file that is no mail.  Nothing stays open.
TEST(Tree, ReportsWhatItDid)
{
    TestDir dir;
    std::string md = dir.File("md");
    for (const char *sub : {"", "/cur", "/new", "/tmp"})
        std::filesystem::create_directories(md + sub);
    std::string korean = "Subject: x\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e\x30\x21\x0f\n";
    WriteFile(md + "/cur/1.a.host,S=9", korean);
    WriteFile(md + "/new/2.a.host", "Subject: y\n\nplain\n");
    // What may be a label, and is none: read, and found to have nothing to change (its line
    // ends the platform's already).
    WriteFile(md + "/new/3.a.host", Lines("Subject: z\n\nsee charset*=us-ascii''x\n"));
    WriteFile(md + "/tmp/" + StoppedRunsName(MessageReference("cur", "1.a.host,S=9")), "half");
    std::string running = NewTemporaryName("");
    WriteFile(md + "/tmp/" + running, "at work");
    // A server's: its quota file, and its list of names.
    WriteFile(md + "/maildirsize", "1000000S\n" + std::to_string(korean.size()) + " 1\n");
    WriteFile(md + "/dovecot-uidlist", "3 V1 N2\n");
    WriteFile(dir.File("past.emlx"), "99\nSubject: z\n\n");
    WriteFile(dir.File("end.emlx"), std::to_string(korean.size()) + "\n" + korean);
    WriteFile(dir.File("Inbox"), "From a\n" + korean);
    WriteFile(dir.File("notes.txt"), "not mail\n");
    STreeReport report, checked;
    STreeOptions options;
    options.converters.use = RELABELLING;
    STreeOptions check = options;
    check.check = true;
    auto before = Listing(dir.path());
    EXPECT_TRUE(ConvertTrees({dir.path()}, check, checked));
    EXPECT_EQ(Listing(dir.path()), before);
#ifndef _WIN32
    std::size_t descriptors = OpenDescriptors();
#endif
    EXPECT_TRUE(ConvertTrees({dir.path()}, options, report));
#ifndef _WIN32
    EXPECT_EQ(OpenDescriptors(), descriptors);
#endif
    ExpectSameCounts(checked, report);
    EXPECT_EQ(report.converted, 3);
    EXPECT_EQ(report.renamed, 1);
    EXPECT_EQ(report.quotaLines, 1);
    EXPECT_EQ(report.unchanged, 2);
    EXPECT_EQ(report.mails, 5);
    EXPECT_TRUE(report.failed.empty());
    // The server's files are told apart from what is not mail.
    EXPECT_EQ(report.skipped, (std::vector<std::pair<std::string, long>>{
                                  {"the server's own files, left alone", 2}, {"not mail", 1}, {"byte count past the end", 1}}));
    // Under a new name, its size said anew.
    std::string converted = Lines("Subject: x\nContent-Type: text/plain; charset=EUC-KR\n\n\xb0\xa1\n");
    EXPECT_EQ(ReadFile(dir.File("end.emlx")), std::to_string(converted.size()) + "\n" + converted);
    EXPECT_EQ(ReadFile(dir.File("Inbox")), Lines("From a\n") + converted);
    auto names = std::filesystem::directory_iterator(md + "/cur");
    std::string name = names->path().filename().string();
    std::string size = ",S=" + std::to_string(converted.size());
    EXPECT_EQ(name.substr(name.size() - size.size()), size) << name;
    EXPECT_EQ(ReadFile(names->path().string()), converted);
    EXPECT_EQ(++names, std::filesystem::directory_iterator());
    EXPECT_EQ(ReadFile(md + "/maildirsize"), "1000000S\n" + std::to_string(korean.size()) + " 1\n" +
                                                 std::to_string(static_cast<long>(converted.size()) - static_cast<long>(korean.size())) + " 0\n");
    EXPECT_FALSE(FileExists(md + "/dovecot-uidlist.lock"));
    auto left = std::filesystem::directory_iterator(md + "/tmp");
    ASSERT_NE(left, std::filesystem::directory_iterator());
    EXPECT_EQ(left->path().filename().string(), running);
    EXPECT_EQ(++left, std::filesystem::directory_iterator());
}

#ifndef _WIN32
// A batch whose files cannot be flushed, or cannot be given their names, or whose messages'
// old names cannot be deleted: every message and .emlx file stays as it was, once, each
// failure is told with the system's reason, and no temporary file is left; the next run
// converts them.
TEST(Tree, LosesNothingWhenABatchCannotBeWritten)
{
    const std::string korean = "Subject: x\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e\x30\x21\x0f\n";
    const std::string emlx = std::to_string(korean.size()) + "\n" + korean + "<?xml?>\n";
    const struct {
        const char *what;
        bool *fault;
        long converted;  // the .emlx file, replaced rather than renamed, where its writing is not at fault
    } rows[] = {{"flush", &g_failBatchFlush, 0}, {"renames", &g_failBatchRenames, 0}, {"old names", &g_failOldNames, 1}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const long failing = 3 - row.converted;
        TestDir dir;
        std::string md = dir.File("md");
        for (const char *sub : {"", "/cur", "/new", "/tmp"})
            std::filesystem::create_directories(md + sub);
        WriteFile(md + "/cur/1.a.host,S=9:2,S", korean);
        WriteFile(md + "/new/2.a.host", korean);
        WriteFile(dir.File("m.emlx"), emlx);
        STreeReport report;
        STreeOptions options;
        options.converters.use = RELABELLING;
        *row.fault = true;
        bool ok = ConvertTrees({dir.path()}, options, report);
        *row.fault = false;
        EXPECT_FALSE(ok);
        EXPECT_EQ(report.converted, row.converted);
        EXPECT_EQ(static_cast<long>(report.failed.size()), failing);
        for (const STreeEvent &event : report.events) {
            if (event.kind == ETreeEvent::FAILED) {
                EXPECT_EQ(event.error, static_cast<DWORD>(EIO)) << event.path << ": " << event.what;
            }
        }
        EXPECT_EQ(ReadFile(md + "/cur/1.a.host,S=9:2,S"), korean);
        EXPECT_EQ(ReadFile(md + "/new/2.a.host"), korean);
        for (const char *sub : {"/cur", "/new"}) {
            auto names = std::filesystem::directory_iterator(md + sub);
            EXPECT_EQ(std::distance(names, std::filesystem::directory_iterator()), 1) << sub;
        }
        if (row.converted == 0) {
            EXPECT_EQ(ReadFile(dir.File("m.emlx")), emlx);
        }
        EXPECT_TRUE(std::filesystem::is_empty(md + "/tmp"));
        EXPECT_EQ(dir.Names(".").size(), 0u);
        STreeReport again;
        EXPECT_TRUE(ConvertTrees({dir.path()}, options, again));
        EXPECT_EQ(again.converted, failing);
    }
}

// A maildir whose tmp/ cannot be opened: one failure, its messages left as they were and
// not taken one by one for mails of their own; the walk goes on into its Maildir++ folders.
TEST(Tree, LeavesAMaildirWhoseTmpCannotBeOpened)
{
    const std::string korean = "Subject: x\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e\x30\x21\x0f\n";
    TestDir dir;
    std::string md = dir.File("md");
    for (const char *sub : {"", "/cur", "/new", "/tmp", "/.Sub/cur", "/.Sub/new", "/.Sub/tmp"})
        std::filesystem::create_directories(md + sub);
    WriteFile(md + "/cur/1.a.host:2,S", korean);
    WriteFile(md + "/new/2.a.host", korean);
    WriteFile(md + "/.Sub/cur/3.a.host:2,S", korean);
    STreeReport report;
    STreeOptions options;
    options.converters.use = RELABELLING;
    g_failTmpIn = std::filesystem::canonical(md).string();
    bool ok = ConvertTrees({dir.path()}, options, report);
    g_failTmpIn.clear();
    EXPECT_FALSE(ok);
    EXPECT_EQ(report.converted, 1);
    EXPECT_NE(ReadFile(md + "/.Sub/cur/3.a.host:2,S"), korean);
    ASSERT_EQ(report.failed.size(), 1u);
    EXPECT_EQ(BaseNameOf(report.failed[0]), "tmp");
    EXPECT_EQ(ReadFile(md + "/cur/1.a.host:2,S"), korean);
    EXPECT_EQ(ReadFile(md + "/new/2.a.host"), korean);
}
#endif

// Stopped between giving a converted message its new name and deleting the old one: the
// next run finds the pair by our temporary file, and by the new name alone where tmp/ was
// cleaned by the server since or the name was too long for the temporary file to carry;
// the message stays once, and the quota file gets the change.
TEST(Tree, CompletesARenameThatWasStopped)
{
    TestDir dir;
    std::string md = dir.File("md");
    for (const char *sub : {"", "/cur", "/new", "/tmp"})
        std::filesystem::create_directories(md + sub);
    std::string temp = StoppedRunsName(MessageReference("cur", "1.a.host,S=5"));
    std::string renamed = NewMessageName("1.a.host,S=5!2,S", temp, 4, 5);
    WriteFile(md + "/tmp/" + temp, "new\n");
    WriteFile(md + "/cur/" + renamed, "new\n");
    // A mail program has set a flag of the old one meanwhile.
    WriteFile(md + "/cur/1.a.host,S=5!2,RS", "old\n");
    // Its temporary file gone: a long name, and a name in new/.
    std::string longName = "1." + std::string(190, 'l') + ".host,S=5:2,S";
    std::string longRenamed = NewMessageName(longName, StoppedRunsName(""), 4, 5);
    WriteFile(md + "/cur/" + longName, "old\n");
    WriteFile(md + "/cur/" + longRenamed, "n\n");
    WriteFile(md + "/new/2.b.host", "old22\n");
    WriteFile(md + "/new/" + NewMessageName("2.b.host", StoppedRunsName(""), 5, 6), "new2\n");
    WriteFile(md + "/maildirsize", "1000S\n");
    STreeReport report, checked;
    STreeOptions check;
    check.check = true;
    auto before = Listing(md);
    EXPECT_TRUE(ConvertTrees({md}, check, checked));
    EXPECT_EQ(Listing(md), before);
    EXPECT_TRUE(ConvertTrees({md}, STreeOptions(), report));
    ExpectSameCounts(checked, report);
    EXPECT_EQ(report.skipped, (std::vector<std::pair<std::string, long>>{{"the server's own files, left alone", 1}}));
    EXPECT_FALSE(FileExists(md + "/cur/1.a.host,S=5!2,RS"));
    EXPECT_FALSE(FileExists(md + "/cur/" + longName));
    EXPECT_FALSE(FileExists(md + "/new/2.b.host"));
    EXPECT_EQ(ReadFile(std::filesystem::directory_iterator(md + "/new")->path().string()), "new2\n");
    // What the three changed, in one line.
    EXPECT_EQ(ReadFile(md + "/maildirsize"), "1000S\n-3 0\n");
    EXPECT_EQ(ReadFile(md + "/cur/" + renamed), "new\n");
    EXPECT_TRUE(std::filesystem::is_empty(md + "/tmp"));
}

// More small messages than two batches hold, some in a Maildir++ folder, in Dovecot's maildir:
// a batch is written once it holds its number of files, so no more are held open at once, and
// each under Dovecot's lock; the quota file, at the maildir's root only, gets one line for the
// run, whatever the batches and folders; the experimental info ":1," stays as it was.
TEST(Tree, CountsOneQuotaLineARun)
{
    TestDir dir;
    std::string md = dir.File("md");
    for (const char *sub : {"", "/cur", "/new", "/tmp", "/.Sub/cur", "/.Sub/new", "/.Sub/tmp"})
        std::filesystem::create_directories(md + sub);
    std::string korean = "Subject: x\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e\x30\x21\x0f\n";
    std::size_t n = 2 * CRewriteBatch::FILES + 10;
    for (std::size_t i = 0; i < n; ++i)
        WriteFile(md + (i % 8 == 7 ? "/.Sub" : "") + "/cur/" + std::to_string(i) + ".a.host" + (i == 0 ? ":1,S" : ""),
                  korean);
    WriteFile(md + "/maildirsize", "1000000S\n");
    WriteFile(md + "/dovecot-uidlist", "3 V1 N1\n");
    STreeReport report;
    STreeOptions options;
    options.converters.use = RELABELLING;
#ifndef _WIN32
    CDescriptorPeak peak;
    options.progress = &peak;
    std::size_t descriptors = OpenDescriptors();
    g_watchUidlistLock = true;
    g_namedUnlocked = 0;
#endif
    EXPECT_TRUE(ConvertTrees({dir.path()}, options, report));
#ifndef _WIN32
    g_watchUidlistLock = false;
    EXPECT_EQ(g_namedUnlocked, 0);
    // A batch's files, and the directories held.
    EXPECT_LE(peak.m_peak, descriptors + CRewriteBatch::FILES + 16);
#endif
    EXPECT_EQ(report.converted, static_cast<long>(n));
    EXPECT_EQ(report.quotaLines, 1);
    std::string converted = Lines("Subject: x\nContent-Type: text/plain; charset=EUC-KR\n\n\xb0\xa1\n");
    EXPECT_EQ(ReadFile(md + "/maildirsize"),
              "1000000S\n" + std::to_string((static_cast<long>(converted.size()) - static_cast<long>(korean.size())) *
                                            static_cast<long>(n)) + " 0\n");
    long experimental = 0;
    for (const auto &entry : std::filesystem::directory_iterator(md + "/cur")) {
        std::string name = entry.path().filename().string();
        experimental += name.size() > 4 && name.compare(name.size() - 4, 4, ":1,S") == 0 ? 1 : 0;
    }
    EXPECT_EQ(experimental, 1);
}

// One store of each kind, holding one mail, for the same cases run through every store.
struct SStoreRow {
    const char *name;
    // Makes the store under root, holding mail (a message without a "From " line); returns
    // what the user names to convert it.
    std::string (*make)(const std::string &root, const std::string &mail);
    // What the store keeps of the mail beside its bytes (flags, keywords), in a name or in a
    // file, which a conversion keeps.
    const char *kept;
    bool keepsTimes;  // a converted mail's file keeps its times
};

const SStoreRow STORES[] = {
    {"maildir",
     [](const std::string &root, const std::string &mail) {
         for (const char *sub : {"/cur", "/new", "/tmp"})
             std::filesystem::create_directories(root + "/md" + sub);
         // Flagged and seen, with Dovecot's keywords a and b.
         WriteFile(root + "/md/cur/1.a.host,S=" + std::to_string(mail.size()) + ":2,FSab", mail);
         WriteFile(root + "/md/dovecot-keywords", "0 $Junk\n1 todo\n");
         return root + "/md";
     },
     ":2,FSab", true},
    {".emlx",
     [](const std::string &root, const std::string &mail) {
         std::filesystem::create_directories(root + "/Messages");
         WriteFile(root + "/Messages/7.emlx", std::to_string(mail.size()) + "\n" + mail +
                                                   "<?xml version=\"1.0\"?>\n<plist><dict><key>flags</key>"
                                                   "<integer>8590195713</integer></dict></plist>\n");
         return root;
     },
     "<integer>8590195713</integer>", true},
    {"mbox folder",
     [](const std::string &root, const std::string &mail) {
         WriteFile(root + "/Inbox", "From a@example.kr Mon Dec  1 00:00:00 2025\nStatus: RO\nX-Keywords: todo\n" + mail);
         return root;
     },
     "X-Keywords: todo", false},
    {"file of one mail",
     [](const std::string &root, const std::string &mail) {
         WriteFile(root + "/saved.eml", "X-Keywords: $Label1\n" + mail);
         return root + "/saved.eml";
     },
     "X-Keywords: $Label1", false},
    {"profile",
     [](const std::string &root, const std::string &mail) {
         std::filesystem::create_directories(root + "/p/Mail/Local Folders");
         std::filesystem::create_directories(root + "/p/ImapMail/imap.example.kr");
         WriteFile(root + "/p/prefs.js", "// Mozilla User Preferences\n");
         WriteFile(root + "/p/.parentlock", "");
         WriteFile(root + "/p/Mail/Local Folders/Inbox", "From a\nX-Mozilla-Status: 0001\n" + mail);
         // A cache of server mail, which is left alone.
         WriteFile(root + "/p/ImapMail/imap.example.kr/INBOX", "From a\n" + mail);
         return root + "/p";
     },
     "X-Mozilla-Status: 0001", false},
};

const std::string KOREAN = "Subject: x\nContent-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e\x30\x21\x0f\n";
const std::string PLAIN = "Subject: y\n\nplain\n";

// A mail whose one change is its label, which the reads of 64 KiB of a file that a store
// looks at before converting it cut in two: "ISO-20" in the first, "22-KR" in the second.
std::string LabelAcrossReads()
{
    const std::size_t READ = std::size_t{64} * 1024;
    const std::string label = "Content-Type: text/plain; charset=ISO-2022-KR\n\nplain\n";
    std::string mail = "Subject: z\n";
    while (mail.size() + 80 < READ - label.find("22-KR"))
        mail += "X-Pad: " + std::string(70, 'a') + "\n";
    mail += "X-Pad: " + std::string(READ - label.find("22-KR") - mail.size() - 8, 'a') + "\n";
    return mail + label;
}

// Every file under dir, by its path: its bytes and its time.
std::map<std::string, std::pair<std::string, std::filesystem::file_time_type>> Stamped(const std::string &dir)
{
    std::map<std::string, std::pair<std::string, std::filesystem::file_time_type>> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file())
            files[entry.path().string()] = {ReadFile(entry.path().string()), entry.last_write_time()};
    }
    return files;
}

// Gives every file under dir the time when.
void Age(const std::string &dir, std::filesystem::file_time_type when)
{
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file())
            std::filesystem::last_write_time(entry.path(), when);
    }
}

// How many times the mail is under dir, converted and not, and whether what the store keeps
// beside it is there; ImapMail/ aside.
struct SFound {
    int converted = 0, korean = 0;
    bool kept = false;
    bool temporaries = false;  // a temporary file of ours left
};
SFound Find(const std::string &dir, const char *kept)
{
    SFound found;
    for (const auto &[path, file] : Stamped(dir)) {
        if (path.find("ImapMail") != std::string::npos)
            continue;
        const std::string &bytes = file.first;
        found.converted += bytes.find("charset=EUC-KR\n\n\xb0\xa1") != std::string::npos ||
                                   bytes.find("charset=EUC-KR\r\n\r\n\xb0\xa1") != std::string::npos
                               ? 1
                               : 0;
        found.korean += bytes.find("\x1b$)C") != std::string::npos ? 1 : 0;
        found.kept = found.kept || path.find(kept) != std::string::npos || bytes.find(kept) != std::string::npos;
        std::string name = std::filesystem::path(path).filename().string();
        bool inTmp = std::filesystem::path(path).parent_path().filename() == "tmp";
        found.temporaries = found.temporaries || (inTmp && IsOurTemporary(name)) ||
                            (name[0] == '.' && IsOurTemporary(name.substr(1)));
    }
    return found;
}

// Each store: a check changes nothing and counts what the run then does; the run converts the
// mail once, keeping its flags and keywords (and its file's times where the store keeps
// them); a store with nothing to convert is left as it was, bytes, times and names; one whose
// only change is a label that its reads cut in two is converted all the same.
TEST(Store, ConvertsEveryStoreAlike)
{
    // In whole seconds, which every system's file times hold (mingw-w64's library sets them so).
    const std::filesystem::file_time_type old = std::chrono::time_point_cast<std::chrono::seconds>(
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    for (const SStoreRow &row : STORES) {
        SCOPED_TRACE(row.name);
        TestDir dir;
        std::string named = row.make(dir.path(), KOREAN);
        Age(dir.path(), old);
        STreeOptions options, check;
        options.converters.use = RELABELLING;
        check = options;
        check.check = true;
        STreeReport checked, report;
        auto before = Stamped(dir.path());
        EXPECT_TRUE(ConvertTrees({named}, check, checked));
        EXPECT_EQ(Stamped(dir.path()), before);
        EXPECT_TRUE(ConvertTrees({named}, options, report));
        ExpectSameCounts(checked, report);
        EXPECT_EQ(report.converted, 1);
        SFound found = Find(dir.path(), row.kept);
        EXPECT_EQ(found.converted, 1);
        EXPECT_EQ(found.korean, 0);
        EXPECT_TRUE(found.kept);
        EXPECT_FALSE(found.temporaries);
        if (row.keepsTimes) {
            for (const auto &[path, file] : Stamped(dir.path())) {
                if (file.first.find("EUC-KR") != std::string::npos) {
                    EXPECT_EQ(file.second, old) << path;
                }
            }
        }
        // ImapMail/ is left alone.
        for (const auto &[path, file] : before) {
            if (path.find("ImapMail") != std::string::npos) {
                EXPECT_EQ(ReadFile(path), file.first);
            }
        }
        TestDir plain;
        named = row.make(plain.path(), PLAIN);
        Age(plain.path(), old);
        before = Stamped(plain.path());
        STreeReport untouched;
        EXPECT_TRUE(ConvertTrees({named}, options, untouched));
        EXPECT_EQ(untouched.converted, 0);
        EXPECT_EQ(Stamped(plain.path()), before);
        TestDir edge;
        named = row.make(edge.path(), LabelAcrossReads());
        STreeReport relabelled;
        EXPECT_TRUE(ConvertTrees({named}, options, relabelled));
        EXPECT_EQ(relabelled.converted, 1);
    }
}

#ifndef _WIN32
// Each store, its run killed before each call that reaches the disk, then run again: the
// mail is there once, converted, and nothing of ours is left.
TEST(Store, SurvivesAKillAtEachStep)
{
    for (const SStoreRow &row : STORES) {
        SCOPED_TRACE(row.name);
        bool finished = false;
        int step = 1;
        for (; step < 200 && !finished; ++step) {
            SCOPED_TRACE(step);
            TestDir dir;
            std::string named = row.make(dir.path(), KOREAN);
            STreeOptions options;
            options.converters.use = RELABELLING;
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                g_killAtStep = step;
                STreeReport report;
                ConvertTrees({named}, options, report);
                _exit(0);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            STreeReport again;
            EXPECT_TRUE(ConvertTrees({named}, options, again));
            SFound found = Find(dir.path(), row.kept);
            EXPECT_EQ(found.converted, 1);
            EXPECT_EQ(found.korean, 0);
            EXPECT_TRUE(found.kept);
            EXPECT_FALSE(found.temporaries);
        }
        EXPECT_TRUE(finished);
    }
}

// Swaps the first mail's file at hand, as the walk is about to open it, for a link to a file
// outside.
class CSwapper : public ITreeProgress {
public:
    explicit CSwapper(std::string outside) : m_outside(std::move(outside)) {}
    void StartTree(std::uint64_t, std::uint64_t) override {}
    void StartFile(const std::string &path) override
    {
        if (m_swapped.empty() && ReadFile(path).find(KOREAN) != std::string::npos) {
            m_swapped = path;
            std::filesystem::rename(path, path + ".was");
            std::filesystem::create_symlink(m_outside, path);
        }
    }
    void FileDone(std::uint64_t) override {}
    void FinishTree() override {}
    std::string m_swapped;

private:
    std::string m_outside;
};

// Each store, a mail's file swapped for a link once the walk has found it: the file the link
// names is not touched, and the swap is told as a failure naming the file.
TEST(Store, RefusesASwappedLink)
{
    for (const SStoreRow &row : STORES) {
        SCOPED_TRACE(row.name);
        // Made first: a test directory made later lies within it.
        TestDir elsewhere;
        TestDir dir;
        std::string named = row.make(dir.path(), KOREAN);
        std::string outside = elsewhere.File("secret");
        WriteFile(outside, "From root\n" + KOREAN);
        CSwapper swapper(outside);
        STreeOptions options;
        options.converters.use = RELABELLING;
        options.progress = &swapper;
        STreeReport report;
        EXPECT_FALSE(ConvertTrees({named}, options, report));
        EXPECT_EQ(ReadFile(outside), "From root\n" + KOREAN);
        EXPECT_EQ(report.failed, std::vector<std::string>{swapper.m_swapped});
        EXPECT_EQ(report.converted, 0);
    }
}
#endif

TEST(Profile, FindsTheProfileAFolderLiesIn)
{
    TestDir dir;
    std::string profile = dir.File("abc.default");
    std::string folders = profile + "/Mail/Local Folders";
    std::filesystem::create_directories(folders);
    WriteFile(folders + "/Inbox", "From a\n");
    WriteFile(profile + "/prefs.js", "user_pref(\"a\", 1);\n");
    // A profile that was never opened has no lock file: no program can hold it.
    EXPECT_EQ(ProfileHolding(folders + "/Inbox"), "");
    WriteFile(profile + "/.parentlock", "");
    WriteFile(profile + "/parent.lock", "");
    char resolved[PATH_SIZE];
    ASSERT_TRUE(ResolvePath(profile.c_str(), resolved));
    EXPECT_EQ(ProfileHolding(folders + "/Inbox"), resolved);
    std::string why, warning;
    EXPECT_TRUE(MayConvertFolder(folders + "/Inbox", why, warning)) << why;
    EXPECT_EQ(ProfileHolding(dir.File("Inbox")), "");
}

#ifdef _WIN32
const char PROFILE_HOME[] = "APPDATA";
const char *const PROFILE_PLACES[] = {"Thunderbird", "Mozilla\\SeaMonkey"};
#else
const char PROFILE_HOME[] = "HOME";
const char *const PROFILE_PLACES[] = {".thunderbird", ".mozilla/seamonkey"};
#endif

// path with the system's separators.
std::string Native(std::string path)
{
#ifdef _WIN32
    for (char &c : path)
        if (c == '/')
            c = '\\';
#endif
    return path;
}

void SetProfileHome(const std::string &path)
{
#ifdef _WIN32
    SetEnvironmentVariableA(PROFILE_HOME, path.empty() ? nullptr : path.c_str());
#else
    path.empty() ? unsetenv(PROFILE_HOME) : setenv(PROFILE_HOME, path.c_str(), 1);
#endif
}

TEST(Profile, FindsTheDefaultThatProfilesIniNames)
{
    TestDir home;
    const char *old = std::getenv(PROFILE_HOME);
    const std::string oldHome = old != nullptr ? old : "";
    SetProfileHome(home.path());
    const std::string tb = home.File(PROFILE_PLACES[0]), suite = home.File(PROFILE_PLACES[1]);
    const std::string elsewhere = home.File("elsewhere");
    std::filesystem::create_directories(elsewhere);
    for (const char *profile : {"Profiles/a", "Profiles/b", "Profiles/c"}) {
        std::filesystem::create_directories(Native(tb + "/" + profile));
        std::filesystem::create_directories(Native(suite + "/" + profile));
    }
    auto section = [](int n, const std::string &path, const char *more = "") {
        return "[Profile" + std::to_string(n) + "]\nName=" + path.substr(path.rfind('/') + 1) +
               "\nIsRelative=1\nPath=" + path + "\n" + more + "\n";
    };
    const std::string three = section(0, "Profiles/a") + section(1, "Profiles/b", "Default=1\n") +
                              section(2, "Profiles/c");
    // The marked one first, where a BOM would hide its section.
    std::string crlf;
    for (char c : "\xEF\xBB\xBF" + section(0, "Profiles/b", "Default=1\n") + section(1, "Profiles/a"))
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const struct {
        const char *what;
        const std::string *place;  // where profiles.ini is; null: none anywhere
        std::string ini;
        std::string found;  // the directory found, or the start of the message
    } rows[] = {
        {"an [Install] Default over Default=1, the first whose profile is there", &tb,
         "[InstallAAAA]\nDefault=Profiles/gone\n\n[InstallBBBB]\nDefault=Profiles/c\nLocked=1\n\n" + three,
         Native(tb + "/Profiles/c")},
        {"Default=1 among several", &tb, three, Native(tb + "/Profiles/b")},
        {"Default=1, CR LF and a BOM", &tb, crlf, Native(tb + "/Profiles/b")},
        {"the only one, not marked", &tb, section(0, "Profiles/a"), Native(tb + "/Profiles/a")},
        {"an absolute path", &tb, "[Profile0]\nName=x\nIsRelative=0\nPath=" + elsewhere + "\n", elsewhere},
        {"the suite's, when Thunderbird has none", &suite, section(0, "Profiles/c"), Native(suite + "/Profiles/c")},
        {"one named and gone", &tb, section(0, "Profiles/gone", "Default=1\n") + section(1, "Profiles/a"),
         Native(tb + "/profiles.ini") + " names profile gone at " + Native(tb + "/Profiles/gone") +
             ", which does not exist"},
        {"none of several marked", &tb, section(0, "Profiles/a") + section(1, "Profiles/b"),
         Native(tb + "/profiles.ini") + " names 2 profiles and none as the default"},
        {"no profiles.ini", nullptr, "", "no profiles.ini found: looked in " + tb + ", " + suite},
    };
    for (const auto &row : rows) {
        std::error_code ignored;
        std::filesystem::remove(tb + Native("/profiles.ini"), ignored);
        std::filesystem::remove(suite + Native("/profiles.ini"), ignored);
        if (row.place != nullptr)
            WriteFile(*row.place + Native("/profiles.ini"), row.ini);
        std::string dir, why;
        bool found = FindDefaultProfile(dir, why);
        EXPECT_EQ(found ? dir : why, row.found) << row.what;
    }
    SetProfileHome(oldHome);
}

TEST(Profile, HeldOnlyWhileALiveProcessHoldsTheLock)
{
    TestDir profile;
    std::string detail;
    EXPECT_EQ(ProfileLockState(profile.path(), detail), EProfileLock::FREE) << detail;
    EXPECT_EQ(ProfileLockState(profile.File("missing"), detail), EProfileLock::UNKNOWN) << detail;
#ifdef _WIN32
    // Thunderbird's own open: parent.lock, sharing nothing.
    std::wstring lock = std::filesystem::path(profile.File("parent.lock")).wstring();
    HANDLE held = CreateFileW(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ProfileLockState(profile.path(), detail), EProfileLock::HELD) << detail;
    EXPECT_NE(detail.find(profile.File("parent.lock")), std::string::npos) << detail;
    CloseHandle(held);
    EXPECT_EQ(ProfileLockState(profile.path(), detail), EProfileLock::FREE) << detail;
#else
    // Thunderbird's own lock, taken in a child: F_GETLK tells of no lock of this process's.
    std::string parentLock = profile.File(".parentlock");
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(release[1]);  // so that the parent's close ends the wait below
        int fd = open(parentLock.c_str(), O_RDWR | O_CREAT, 0644);
        struct flock lock{};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        char c = fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || read(release[0], &c, 1) < 0)
            _exit(1);
        _exit(0);
    }
    char c = 'n';
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_EQ(ProfileLockState(profile.path(), detail), EProfileLock::HELD) << detail;
    EXPECT_EQ(detail, parentLock + " is locked by process " + std::to_string(child));
    // A folder in it, named alone or under -R, refused on the held lock alone (no prefs.js
    // yet), the reason told either way.
    std::filesystem::create_directories(profile.File("Mail/Local Folders"));
    WriteFile(profile.File("Mail/Local Folders/Inbox"), "From a\n");
    std::string why, warning;
    EXPECT_FALSE(MayConvertFolder(profile.File("Mail/Local Folders/Inbox"), why, warning));
    EXPECT_NE(why.find(" is locked by process "), std::string::npos) << why;
    STreeReport refused;
    EXPECT_FALSE(ConvertTrees({profile.File("Mail/Local Folders")}, STreeOptions(), refused));
    EXPECT_TRUE(std::any_of(refused.events.begin(), refused.events.end(), [](const STreeEvent &e) {
        return e.kind == ETreeEvent::FAILED && e.what.find(" is locked by process ") != std::string::npos;
    }));
    close(release[1]);
    int status;
    waitpid(child, &status, 0);
    for (int fd : {ready[0], ready[1], release[0]})
        close(fd);
    EXPECT_EQ(ProfileLockState(profile.path(), detail), EProfileLock::FREE) << detail;

    // The lock link alone, as Thunderbird leaves it on Linux: only a live process of this
    // machine holds the profile, and then -R over it and a folder named in it are refused; the
    // child has ended, and 192.0.2.1 is not this machine.
    unlink(parentLock.c_str());
    const std::string self = std::to_string(getpid()), ended = std::to_string(child);
    const struct {
        std::string target;
        EProfileLock state;
    } links[] = {
        {"127.0.0.1:+" + self, EProfileLock::HELD},
        {"127.0.0.1:" + self, EProfileLock::HELD},
        {"127.0.0.1:+" + ended, EProfileLock::FREE},
        {"192.0.2.1:+" + self, EProfileLock::FREE},
        {"127.0.0.1:+" + self + "x", EProfileLock::FREE},
    };
    for (const auto &row : links) {
        unlink(profile.File("lock").c_str());
        ASSERT_EQ(symlink(row.target.c_str(), profile.File("lock").c_str()), 0);
        EXPECT_EQ(ProfileLockState(profile.path(), detail), row.state) << row.target << ": " << detail;
        bool free = row.state != EProfileLock::HELD;
        EXPECT_EQ(MayConvertFolder(profile.File("Mail/Local Folders/Inbox"), why, warning), free) << row.target;
        STreeReport report;
        EXPECT_EQ(ConvertTrees({profile.path()}, STreeOptions(), report), free) << row.target;
    }
#endif
}

}  // namespace

// The IMAP account's journal: a line that a stop cut short is dropped, not glued to the next
// step (which would then be lost); what is unfinished survives a tidying, and --undo finds
// the last run that put mail in Trash, not an older one.
TEST(ImapJournal, KeepsEveryStepAcrossAStopAndATidying)
{
    TestDir dir;
    auto mail = [](std::uint64_t uid, EImapStep step, std::uint64_t run) {
        SImapMail m;
        m.mailbox = uid == 1 ? "Old mail" : "INBOX";
        m.validity = 7, m.uid = uid, m.step = step, m.run = run, m.sum = 0xFEDCBA9876543210u, m.trash = "Trash";
        return m;
    };
    std::string why;
    {
        CImapJournal journal;
        ASSERT_TRUE(journal.Open("kim%20@example.org:1993", why)) << why;
        ASSERT_TRUE(journal.Write(mail(1, EImapStep::DONE, 100)));
        ASSERT_TRUE(journal.Write(mail(2, EImapStep::DONE, 200)));
        ASSERT_TRUE(journal.Write(mail(3, EImapStep::APPENDING, 200)));
        WriteFile(journal.Path(), ReadFile(journal.Path()) + "I1 C IN");  // a step cut short
    }
    {
        CImapJournal journal;
        ASSERT_TRUE(journal.Open("kim%20@example.org:1993", why)) << why;
        ASSERT_TRUE(journal.Write(mail(3, EImapStep::MOVING, 200)));
    }
    CImapJournal journal;
    ASSERT_TRUE(journal.Open("kim%20@example.org:1993", why)) << why;
    std::vector<SImapMail> unfinished = journal.Unfinished("INBOX");
    ASSERT_EQ(unfinished.size(), 1u);
    EXPECT_EQ(unfinished[0].step, EImapStep::MOVING);
    EXPECT_EQ(unfinished[0].sum, 0xFEDCBA9876543210u);
    ASSERT_TRUE(journal.Compact());
    std::vector<SImapMail> last = journal.LastRun();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].uid, 2u);
    EXPECT_EQ(journal.Unfinished("INBOX").size(), 1u);
    EXPECT_EQ(ReadFile(journal.Path()).find("Old%20mail"), std::string::npos) << "an older run's mail kept";
}
