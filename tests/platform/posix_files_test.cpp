// Tests of our stand-ins for the Windows file calls.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <set>
#include <string>

#include "../convert/test_files.h"
#include "platform.h"

namespace {

TEST(PosixFiles, TempPathEndsInASeparator)
{
    char buffer[500];
    SetTempDirectory("/var/tmp");
    EXPECT_EQ(GetTempPathA(499, buffer), 9u);
    EXPECT_STREQ(buffer, "/var/tmp/");
    SetTempDirectory("/var/tmp/");
    EXPECT_EQ(GetTempPathA(499, buffer), 9u);
    EXPECT_STREQ(buffer, "/var/tmp/");
    SetTempDirectory("");
    EXPECT_EQ(GetTempPathA(499, buffer), 5u);
    EXPECT_STREQ(buffer, "/tmp/");
    // Too small a buffer: the size it would need, NUL included.
    EXPECT_EQ(GetTempPathA(5, buffer), 6u);
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

TEST(PosixFiles, CopyReplacesOrRefusesAndDeleteReports)
{
    TestDir dir;
    std::string a = dir.File("a"), b = dir.File("b");
    std::string big(200000, 'x');
    big[123456] = '\0';
    WriteFile(a, big);
    WriteFile(b, "old and longer than nothing");
    EXPECT_NE(CopyFileA(a.c_str(), b.c_str(), FALSE), 0);
    EXPECT_EQ(ReadFile(b), big);
    // A shorter file replaces a longer one whole, with nothing of the old left at its end.
    WriteFile(a, "short");
    EXPECT_NE(CopyFileA(a.c_str(), b.c_str(), FALSE), 0);
    EXPECT_EQ(ReadFile(b), "short");
    WriteFile(a, "");
    EXPECT_NE(CopyFileA(a.c_str(), b.c_str(), FALSE), 0);
    EXPECT_EQ(ReadFile(b), "");
    WriteFile(a, big);
    WriteFile(b, "kept");
    EXPECT_EQ(CopyFileA(a.c_str(), b.c_str(), TRUE), 0);
    EXPECT_EQ(ReadFile(b), "kept");
    // A missing source leaves the target alone.
    EXPECT_EQ(CopyFileA(dir.File("missing").c_str(), b.c_str(), FALSE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_EQ(ReadFile(b), "kept");
    EXPECT_EQ(CopyFileA(dir.path().c_str(), b.c_str(), FALSE), 0);
    EXPECT_EQ(ReadFile(b), "kept");

    EXPECT_NE(DeleteFileA(b.c_str()), 0);
    EXPECT_FALSE(FileExists(b));
    EXPECT_EQ(DeleteFileA(b.c_str()), 0);
}

}  // namespace
