// Tests for the look-up of the Inbox path in the registry, on a key of the tests' own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "mail_setup.h"
#include "resource.h"

namespace {

const char TEST_ROOT[] = "Software\\Quorvel tests";
const char TEST_KEY[] = "Software\\Quorvel tests\\Mail";

class MailSetupTest : public testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, TEST_ROOT);
        ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, TEST_KEY, &m_hKey), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(m_hKey);
        RegDeleteTreeA(HKEY_CURRENT_USER, TEST_ROOT);
    }
    // Stores "Mail Directory" as exactly these bytes (a NUL only where the test puts one).
    void SetValue(const std::string &bytes, DWORD type = REG_SZ)
    {
        ASSERT_EQ(RegSetValueExA(m_hKey, MAIL_DIRECTORY_VALUE, 0, type,
                                 reinterpret_cast<const BYTE *>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
    }
    // The result of the look-up and the path it gives (or "unchanged").
    std::pair<UINT, std::wstring> Find()
    {
        CString path(L"unchanged");
        UINT result = FindInboxPath(HKEY_CURRENT_USER, TEST_KEY, path);
        return {result, std::wstring(path)};
    }

    HKEY m_hKey = nullptr;
};

TEST_F(MailSetupTest, ValueEndsAtItsFirstNulOrWhereTheQuerySaysItDoes)
{
    struct Case {
        std::string stored;
        std::wstring inboxPath;
    } cases[] = {
        {std::string("C:\\Mail\0", 8), L"C:\\Mail\\Inbox"},
        {"C:\\Mail", L"C:\\Mail\\Inbox"},                           // stored without its NUL
        {std::string("C:\\Mail\0old\\dir\0", 16), L"C:\\Mail\\Inbox"},  // text after the NUL
        {std::string("\0", 1), L"\\Inbox"},                        // the empty text
        {"", L"\\Inbox"},                                         // length 0
        {"D:\\Program Files\\Mail\\", L"D:\\Program Files\\Mail\\\\Inbox"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored);
        SetValue(c.stored);
        EXPECT_EQ(Find(), std::make_pair(UINT(0), c.inboxPath));
    }
}

TEST_F(MailSetupTest, ValueUpTo493BytesIsReadAndALongerOneIsNot)
{
    std::string longest(MAIL_DIRECTORY_MAX - 1, 'm');
    SetValue(longest + '\0');
    std::wstring longestPath = std::wstring(longest.begin(), longest.end()) + L"\\Inbox";
    EXPECT_EQ(Find(), std::make_pair(UINT(0), longestPath));

    SetValue(longest + "m" + '\0');
    EXPECT_EQ(Find(), std::make_pair(UINT(IDS_NO_MAIL_SETUP), std::wstring(L"unchanged")));
}

TEST_F(MailSetupTest, MissingKeyAndMissingValueEachGiveTheirMessage)
{
    EXPECT_EQ(Find(), std::make_pair(UINT(IDS_NO_MAIL_SETUP), std::wstring(L"unchanged")));

    CString path(L"unchanged");
    EXPECT_EQ(FindInboxPath(HKEY_CURRENT_USER, "Software\\Quorvel tests\\No such key", path),
              UINT(IDS_REG_OPEN_FAILED));
    EXPECT_EQ(std::wstring(path), L"unchanged");
}

TEST_F(MailSetupTest, ValueTypeIsNotLookedAt)
{
    SetValue(std::string("C:\\Mail\0", 8), REG_EXPAND_SZ);
    EXPECT_EQ(Find(), std::make_pair(UINT(0), std::wstring(L"C:\\Mail\\Inbox")));
}

}  // namespace
