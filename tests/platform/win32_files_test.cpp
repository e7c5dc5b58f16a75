// Tests of our own file calls on Windows: the state directory, a file's identity, listings,
// deleting a held file, flushing a directory.
#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "../convert/test_files.h"
#include "platform.h"
#include "wide_path.h"

namespace {

HANDLE Open(const std::string &path, DWORD access, DWORD share)
{
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST(Win32Files, StateDirectoryIsMadeInLocalAppDataAlone)
{
    TestDir dir;
    CreateDirectoryA(dir.File("taken").c_str(), nullptr);
    WriteFile(dir.File("taken\\Quorvel"), "a file where the directory belongs");
    const struct {
        std::string home;
        DWORD error;  // 0: made, or there already
    } rows[] = {
        {dir.path(), 0},
        {dir.path() + "\\", 0},
        {dir.File("missing"), ERROR_PATH_NOT_FOUND},
        {dir.File("taken"), ERROR_STATE_DIRECTORY_NOT_PRIVATE},
    };
    for (const auto &row : rows) {
        SetStateHome(row.home);
        char path[PATH_SIZE];
        bool ok = GetStateDirectory(path, sizeof path);
        EXPECT_EQ(ok ? 0 : GetLastError(), row.error) << row.home;
        std::string home = row.home.back() == '\\' ? row.home.substr(0, row.home.size() - 1) : row.home;
        EXPECT_EQ(path, home + "\\Quorvel\\") << row.home;
    }
    EXPECT_TRUE(FileExists(dir.File("Quorvel")));
    EXPECT_FALSE(FileExists(dir.File("missing")));

    // A Hangul name whatever the ANSI code page (this program has no UTF-8 one): its path
    // in UTF-8, the directory made in it.
    std::wstring hangul = std::wstring(dir.path().begin(), dir.path().end()) + L"\\\uBA54\uC77C";
    ASSERT_TRUE(CreateDirectoryW(hangul.c_str(), nullptr));
    SetEnvironmentVariableW(L"LOCALAPPDATA", hangul.c_str());
    char made[PATH_SIZE];
    EXPECT_TRUE(GetStateDirectory(made, sizeof made)) << GetLastError();
    EXPECT_EQ(made, dir.path() + "\\\xEB\xA9\x94\xEC\x9D\xBC\\Quorvel\\");
    EXPECT_NE(GetFileAttributesW((hangul + L"\\Quorvel").c_str()), INVALID_FILE_ATTRIBUTES);
    // Unset, the shell's directory for it.
    SetStateHome("");
    char path[PATH_SIZE];
    EXPECT_TRUE(GetStateDirectory(path, sizeof path)) << GetLastError();
}

TEST(Win32Files, IdentityNamesTheFileWhateverHandleOrSize)
{
    TestDir dir;
    WriteFile(dir.File("Inbox"), "12345");
    WriteFile(dir.File("Sent"), "12345");
    HANDLE inbox = Open(dir.File("Inbox"), GENERIC_READ | GENERIC_WRITE, SHARE_ALL);
    SFileIdentity first, grown, other;
    ASSERT_TRUE(GetFileIdentity(inbox, &first));
    DWORD written;
    ASSERT_TRUE(WriteFile(inbox, "1234567", 7, &written, nullptr));
    HANDLE again = Open(dir.File("INBOX"), GENERIC_READ, SHARE_ALL);
    HANDLE sent = Open(dir.File("Sent"), GENERIC_READ, SHARE_ALL);
    ASSERT_TRUE(GetFileIdentity(again, &grown));
    ASSERT_TRUE(GetFileIdentity(sent, &other));
    for (HANDLE handle : {inbox, again, sent})
        CloseHandle(handle);
    EXPECT_EQ(first.size, 5u);
    EXPECT_EQ(grown.size, 7u);
    EXPECT_TRUE(SameFile(first, grown));
    EXPECT_FALSE(SameFile(first, other));
}

void Collect(const char *name, void *context)
{
    static_cast<std::set<std::string> *>(context)->insert(name);
}

TEST(Win32Files, ListingTakesNamesEndingInTheSuffix)
{
    TestDir dir;
    // "Inbox.jnlx" is also "INBOX~1.JNL", which the system's pattern matches.
    for (const char *name : {"Inbox.jnl", "Sent.JNL", "Inbox.jnlx", ".jnl", "Trash"})
        WriteFile(dir.File(name), "");
    for (const std::string &at : {dir.path(), dir.path() + "\\"}) {
        std::set<std::string> names;
        EXPECT_TRUE(ListDirectory(at.c_str(), ".jnl", Collect, &names));
        EXPECT_EQ(names, (std::set<std::string>{"Inbox.jnl", "Sent.JNL"})) << at;
    }
    std::set<std::string> none;
    EXPECT_TRUE(ListDirectory(dir.path().c_str(), ".tmp", Collect, &none));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(ListDirectory(dir.File("missing").c_str(), ".jnl", Collect, &none));
}

TEST(Win32Files, HeldFileIsDeletedAndItsHandleClosed)
{
    TestDir dir;
    std::string record = dir.File("Inbox.jnl"), scratch = dir.File("Inbox.new"), kept = dir.File("kept");
    for (const std::string &name : {record, scratch, kept})
        WriteFile(name, "x");

    // Another program reading it meanwhile, sharing deletion: the name goes at once where the
    // system deletes as POSIX does (Windows 10), else when it lets go (Wine takes no such
    // deletion, and the plain one is tested here).
    HANDLE scanner = Open(record, GENERIC_READ, SHARE_ALL);
    EXPECT_TRUE(DeleteHeldFile(Open(record, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE),
                               record.c_str()));
    CloseHandle(scanner);
    EXPECT_FALSE(FileExists(record));
    // A handle that cannot delete: the name is deleted instead.
    EXPECT_TRUE(DeleteHeldFile(Open(scratch, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE), scratch.c_str()));
    EXPECT_FALSE(FileExists(scratch));
    // A file that cannot be deleted stays, and says so; its handle is closed all the same.
    ASSERT_TRUE(SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(DeleteHeldFile(Open(kept, GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE), kept.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE alone = Open(kept, GENERIC_READ, 0);
    EXPECT_NE(alone, INVALID_HANDLE_VALUE) << "the handle was left open";
    CloseHandle(alone);
    SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A file written anew keeps the three times of the one it replaces, set through the
// handles: the name of the one it replaces may be held open without sharing writes.
TEST(Win32Files, FileTimeIsKeptThroughTheHandles)
{
    TestDir dir;
    std::string from = dir.File("from"), to = dir.File("to");
    WriteFile(from, "old");
    WriteFile(to, "new");
    HANDLE source = Open(from, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    HANDLE target = Open(to, GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_NE(source, INVALID_HANDLE_VALUE);
    ASSERT_NE(target, INVALID_HANDLE_VALUE);
    // New Year 2001, 2002 and 2003, a tenth of a microsecond past midnight.
    FILETIME created = {0xC89DC001u, 0x01C07385u}, accessed = {0x41648001u, 0x01C19257u},
             written = {0xBA2B4001u, 0x01C2B128u};
    ASSERT_TRUE(SetFileTime(source, &created, &accessed, &written));
    // Wine keeps no creation time of its own: the file system's birth time stays.
    FILETIME held;
    ASSERT_TRUE(GetFileTime(source, &held, nullptr, nullptr));
    bool creationKept = CompareFileTime(&held, &created) == 0;
    EXPECT_TRUE(KeepFileTime(source, target));
    CloseHandle(source);
    CloseHandle(target);
    HANDLE check = Open(to, GENERIC_READ, SHARE_ALL);
    FILETIME times[3];
    ASSERT_TRUE(GetFileTime(check, &times[0], &times[1], &times[2]));
    CloseHandle(check);
    if (creationKept) {
        EXPECT_EQ(CompareFileTime(&times[0], &created), 0);
    }
    EXPECT_EQ(CompareFileTime(&times[1], &accessed), 0);
    EXPECT_EQ(CompareFileTime(&times[2], &written), 0);
}

// The names that are a device's whatever their directory, and those that only look like one.
TEST(Win32Files, DeviceNamesAreTheBareOnes)
{
    for (const char *name : {"CON", "nul", "Aux", "COM1", "lpt9", "NUL:", "con  ", "C:\\mail\\PRN", "dir/com3",
                             "\\\\.\\pipe\\x"})
        EXPECT_TRUE(IsDeviceName(name)) << name;
    for (const char *name : {"aux.mbox", "com1.mbox", "CONSOLE", "COM0", "LPT10", "mail.", "C:\\CON\\Inbox", "xnul",
                             "\\\\?\\C:\\CON"})
        EXPECT_FALSE(IsDeviceName(name)) << name;
}

// The command line as the C runtime splits it, but for the directory the prompt's user
// quotes with its backslash at the end.
TEST(Win32Files, CommandLineKeepsTheBackslashBeforeAClosingQuote)
{
    struct {
        const wchar_t *line;
        std::vector<std::wstring> words;
    } cases[] = {
        {L"\"C:\\my app\\q.exe\" -R \"C:\\my mail\\\" -k", {L"C:\\my app\\q.exe", L"-R", L"C:\\my mail\\", L"-k"}},
        {L"q \"C:\\my mail\\\"", {L"q", L"C:\\my mail\\"}},
        {L"q \"a\\\\\" b", {L"q", L"a\\", L"b"}},
        {L"q \"a\\\\\\\" b", {L"q", L"a\\\\", L"b"}},
        {L"q \"say \\\"hi\\\"!\"", {L"q", L"say \"hi\"!"}},
        {L"q a\\\"b \"x\"\"y\" c\\\\d", {L"q", L"a\"b", L"x\"y", L"c\\\\d"}},
        {L"q \"*.mbx\"\t\\\\?\\C:\\x\\*.eml", {L"q", L"*.mbx", L"\\\\?\\C:\\x\\*.eml"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SplitCommandLine(c.line), c.words) << std::string(c.line, c.line + wcslen(c.line));
}

TEST(Win32Files, DirectoryFlushFailsOnlyWhereThereIsNone)
{
    TestDir dir;
    EXPECT_TRUE(FlushDirectory(dir.path().c_str()));
    EXPECT_TRUE(FlushDirectory((dir.path() + "\\").c_str()));
    EXPECT_FALSE(FlushDirectory(dir.File("missing\\").c_str()));
}

}  // namespace
