// Tests of our stand-ins for the Windows file calls.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "../convert/test_files.h"
#include "platform.h"

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

}  // namespace
