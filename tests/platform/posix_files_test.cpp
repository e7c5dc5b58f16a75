// Tests of our stand-ins for the Windows file calls.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "../convert/test_files.h"
#include "platform.h"
#include "store_files.h"

namespace {

time_t g_upSeconds;         // how long the machine has been running, where not 0
const char *g_changeLock;   // this lock file is changed as it is looked at a second time
bool g_replaceLock;         // by another program's new lock in its place, else by a touch

}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec *at)
{
    using Get = int (*)(clockid_t, struct timespec *);
    static Get realGet = reinterpret_cast<Get>(dlsym(RTLD_NEXT, "clock_gettime"));
    int result = realGet(clock, at);
    if (result == 0 && clock == CLOCK_BOOTTIME && g_upSeconds != 0)
        *at = {g_upSeconds, 0};
    return result;
}

// The takeover judges a lock from the open file, then looks at its name again before it
// deletes it; another program changes the lock in between.
extern "C" int fstatat(int dir, const char *name, struct stat *st, int flags)
{
    using Stat = int (*)(int, const char *, struct stat *, int);
    static Stat realStat = reinterpret_cast<Stat>(dlsym(RTLD_NEXT, "fstatat"));
    const char *slash = g_changeLock != nullptr ? std::strrchr(g_changeLock, '/') : nullptr;
    if (slash != nullptr && std::strcmp(name, slash + 1) == 0) {
        std::string path = g_changeLock;
        g_changeLock = nullptr;
        if (g_replaceLock)
            (void)std::rename((path + ".new").c_str(), path.c_str());
        else
            (void)utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
    }
    return realStat(dir, name, st, flags);
}

namespace {

TEST(PosixFiles, TempPathEndsInASeparator)
{
    char buffer[500];
    SetTempDirectory("/tmp");
    EXPECT_EQ(GetTempPathA(499, buffer), 5u);
    EXPECT_STREQ(buffer, "/tmp/");
    SetTempDirectory("/tmp/");
    EXPECT_EQ(GetTempPathA(499, buffer), 5u);
    EXPECT_STREQ(buffer, "/tmp/");
    // Unset: a directory that a restart leaves as it was, unlike /tmp.
    SetTempDirectory("");
    EXPECT_EQ(GetTempPathA(499, buffer), 9u);
    EXPECT_STREQ(buffer, "/var/tmp/");
    // Too small a buffer: the size it would need, NUL included.
    EXPECT_EQ(GetTempPathA(9, buffer), 10u);
}

TEST(PosixFiles, TempFileNamesAreNewPrivateAndWellFormed)
{
    TestDir dir;
    std::string prefix = dir.path() + "/";
    std::set<std::string> names;
    for (int i = 0; i < 50; ++i) {
        char name[MAX_PATH];
        UINT number = GetTempFileNameA(prefix.c_str(), "qvlong", 0, name);
        ASSERT_NE(number, 0u);
        ASSERT_TRUE(names.insert(name).second) << "name given twice: " << name;
        char expected[MAX_PATH];
        std::snprintf(expected, sizeof expected, "%sqvl%X.TMP", prefix.c_str(), number);
        EXPECT_STREQ(name, expected);
        struct stat info;
        ASSERT_EQ(stat(name, &info), 0);
        EXPECT_EQ(info.st_size, 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    char name[MAX_PATH];
    EXPECT_EQ(GetTempFileNameA((prefix + "missing/").c_str(), "qvl", 0, name), 0u);
}

// The state directory: under $XDG_STATE_HOME where that is absolute, else under the home,
// and only one that is this user's alone; its path in a buffer that holds it exactly.
TEST(PosixFiles, StateDirectoryIsTheUsersAlone)
{
    TestDir dir;
    const char *oldHome = std::getenv("HOME");
    std::string savedHome = oldHome != nullptr ? oldHome : "";
    setenv("HOME", dir.File("home").c_str(), 1);
    // A relative path taken would be made here, and go with the test's directory.
    char cwd[PATH_SIZE];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ASSERT_EQ(mkdir(dir.File("open").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.File("open/quorvel").c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.File("open/quorvel").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.File("linked").c_str(), 0700), 0);
    ASSERT_EQ(symlink(dir.File("elsewhere").c_str(), dir.File("linked/quorvel").c_str()), 0);
    ASSERT_EQ(mkdir(dir.File("elsewhere").c_str(), 0700), 0);
    const struct {
        std::string home;
        std::string path;  // "" where refused
    } rows[] = {
        {dir.path(), dir.File("quorvel/")},
        {dir.path() + "//", dir.File("quorvel/")},
        // Relative: no place of its own, so the home's.
        {"relative/state", dir.File("home/.local/state/quorvel/")},
        {dir.File("open"), ""},
        {dir.File("linked"), ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.home);
        SetStateHome(row.home);
        char path[PATH_SIZE];
        bool ok = GetStateDirectory(path, sizeof path);
        EXPECT_EQ(ok, !row.path.empty());
        if (ok) {
            EXPECT_EQ(path, row.path);
            struct stat st;
            ASSERT_EQ(stat(path, &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        } else {
            EXPECT_EQ(GetLastError(), ERROR_STATE_DIRECTORY_NOT_PRIVATE);
        }
    }
    EXPECT_FALSE(FileExists("relative"));
    ASSERT_EQ(chdir(cwd), 0);
    // A buffer that holds the path and its NUL exactly, and one byte less.
    SetStateHome(dir.path());
    std::string expected = dir.File("quorvel/");
    std::string buffer(expected.size() + 1, 'x');
    EXPECT_TRUE(GetStateDirectory(&buffer[0], buffer.size()));
    EXPECT_STREQ(buffer.c_str(), expected.c_str());
    EXPECT_FALSE(GetStateDirectory(&buffer[0], buffer.size() - 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENAMETOOLONG));
    if (oldHome != nullptr)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
}

HANDLE Open(const std::string &path, DWORD share = FILE_SHARE_READ)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The hold on a folder: other writers are kept out until it is let go, also after a stream
// on it has been closed.  (Special files are the job's table.)
TEST(PosixFiles, HeldFileKeepsWritersOutUntilClosed)
{
    TestDir dir;
    std::string path = dir.File("Inbox");
    WriteFile(path, "0123456789");
    HANDLE held = Open(path);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(held), FILE_TYPE_DISK);

    FILE *stream = OpenHandleStream(held, "wb");
    ASSERT_NE(stream, nullptr);
    std::fputs("abc", stream);
    ASSERT_EQ(std::fclose(stream), 0);
    EXPECT_NE(SetEndOfFile(held), 0);
    EXPECT_EQ(ReadFile(path), "abc");

    EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    char reason[100];
    ASSERT_TRUE(DescribeError(GetLastError(), reason, sizeof reason));
    EXPECT_NE(std::strstr(reason, "in use"), nullptr) << reason;
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
    struct flock range = {};
    range.l_type = F_WRLCK;
    EXPECT_EQ(fcntl(fd, F_OFD_GETLK, &range), 0);
    EXPECT_EQ(range.l_type, F_WRLCK) << "no fcntl lock";
    close(fd);

    EXPECT_NE(CloseHandle(held), 0);
    held = Open(path);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    CloseHandle(held);

    EXPECT_NE(DeleteFileA(path.c_str()), 0);
    EXPECT_EQ(DeleteFileA(path.c_str()), 0);
}

// A file written anew keeps the times of the one it replaces, to the nanosecond, set
// through the handles and not the names.
TEST(PosixFiles, FileTimeIsKeptThroughTheHandles)
{
    TestDir dir;
    std::string from = dir.File("from"), to = dir.File("to");
    WriteFile(from, "old");
    WriteFile(to, "new");
    const struct timespec times[2] = {{1000000000, 5}, {1000000100, 7}};
    ASSERT_EQ(utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
    HANDLE source = CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE target = Open(to);
    ASSERT_NE(source, INVALID_HANDLE_VALUE);
    ASSERT_NE(target, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(KeepFileTime(source, target));
    CloseHandle(source);
    CloseHandle(target);
    struct stat st;
    ASSERT_EQ(stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000100);
    EXPECT_EQ(st.st_mtim.tv_nsec, 7);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(ReadFile(to), "new");
}

// Sets the time path was last written to seconds ago.
void Age(const std::string &path, time_t seconds)
{
    struct timespec times[2] = {{time(nullptr) - seconds, 0}, {time(nullptr) - seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A lock file in the way is taken over only when it is stale, and deleted on request
// (tidied) only when it is also ours: a mail program's is its own to clear.
TEST(PosixFiles, FolderLockFileIsTakenOverOnlyWhenStale)
{
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string live = std::to_string(getpid()) + "\n";
    std::string ours = live + host + "\n";
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    std::string ended = std::to_string(child) + "\n";
    struct Case {
        const char *what;
        std::string text;
        time_t age;
        bool stale, tidied;
    } cases[] = {
        {"empty, left by a program that ended while making it", "", 60, true, false},
        {"empty, as another program makes it", "", 0, false, false},
        {"a live process's, as other mail programs write it", live, 0, false, false},
        {"an ended process's, as other mail programs write it", ended, 0, true, false},
        {"an ended process's of ours", ended + host + "\n", 0, true, true},
        // The machine started a minute ago: whatever has the pid now did not write it.
        {"a live process's, from before the machine started", ours, 120, true, true},
        {"another machine's, from before this one started", live + "elsewhere\n", 120, false, false},
    };
    g_upSeconds = 60;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        std::string lock = dir.File("Inbox.lock");
        std::unique_ptr<CHeldDirectory> held = CHeldDirectory::Open(dir.path());
        ASSERT_NE(held, nullptr);
        WriteFile(lock, c.text);
        Age(lock, c.age);
        EXPECT_TRUE(RemoveStaleFolderLockFile(*held, "Inbox"));
        EXPECT_EQ(FileExists(lock), !c.tidied);

        WriteFile(lock, c.text);
        Age(lock, c.age);
        bool taken = true;
        EXPECT_EQ(TakeFolderLockFile(*held, "Inbox", &taken), c.stale);
        EXPECT_EQ(taken, c.stale);
        if (!c.stale) {
            EXPECT_EQ(GetLastError(), ERROR_FOLDER_LOCKED);
        }
        EXPECT_EQ(ReadFile(lock), c.stale ? ours : c.text);
        EXPECT_EQ(dir.Names("Inbox.lock.").size(), 0u) << "the name it was written under stays";
    }
    g_upSeconds = 0;
}

// A stale lock file that another program takes over, or touches to say it still holds it,
// between our judging it and deleting it, stays.
TEST(PosixFiles, FolderLockFileChangedMeanwhileIsKept)
{
    for (bool replace : {true, false}) {
        SCOPED_TRACE(replace ? "replaced" : "touched");
        TestDir dir;
        std::string lock = dir.File("Inbox.lock");
        std::unique_ptr<CHeldDirectory> held = CHeldDirectory::Open(dir.path());
        ASSERT_NE(held, nullptr);
        WriteFile(lock, "old\n");
        Age(lock, 11 * 60);
        WriteFile(lock + ".new", "new\n");
        g_changeLock = lock.c_str();
        g_replaceLock = replace;
        bool taken = true;
        EXPECT_FALSE(TakeFolderLockFile(*held, "Inbox", &taken));
        EXPECT_EQ(g_changeLock, nullptr) << "not looked at again";
        g_changeLock = nullptr;
        EXPECT_EQ(GetLastError(), ERROR_FOLDER_LOCKED);
        EXPECT_EQ(ReadFile(lock), replace ? "new\n" : "old\n");
    }
}

}  // namespace
