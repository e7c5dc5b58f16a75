// Tests for the program's start-up when the mail setup cannot be found. HKEY_CURRENT_USER
// is redirected to a key of the tests' own for the length of each test.
#include <windows.h>

#include <gtest/gtest.h>

#include "dialog_catcher.h"
#include "mail_setup.h"
#include "quorvel_app.h"

namespace {

const char TEST_ROOT[] = "Software\\Quorvel tests";
const char TEST_USER[] = "Software\\Quorvel tests\\User";

class StartUpTest : public testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, TEST_ROOT);
        ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, TEST_USER, &m_hUser), ERROR_SUCCESS);
        ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, m_hUser), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(m_hUser);
        RegDeleteTreeA(HKEY_CURRENT_USER, TEST_ROOT);
        theApp.m_strInboxPath = CString();
    }

    // Runs InitInstance; the one window it may open is caught and closed.
    void Start()
    {
        DialogCatcher catcher;
        EXPECT_FALSE(theApp.InitInstance());
        ASSERT_EQ(catcher.caught.size(), 1u);
        box = catcher.caught[0];
    }

    HKEY m_hUser = nullptr;
    DialogCatcher::Caught box{};
};

bool Contains(const std::vector<std::wstring> &texts, const std::wstring &text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST_F(StartUpTest, WithoutTheKeyTheFirstMessageShowsAndNoMainWindowIsLeft)
{
    Start();
    EXPECT_EQ(box.caption, AfxGetAppName());
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_TRUE(Contains(box.texts, L"Cannot open Registry Database.")) << testing::PrintToString(box.texts);
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
    EXPECT_TRUE(theApp.m_strInboxPath.IsEmpty());
}

TEST_F(StartUpTest, WithoutTheValueTheSecondMessageShowsAndNoMainWindowIsLeft)
{
    HKEY hKey;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, MAIL_SETUP_KEY, &hKey), ERROR_SUCCESS);
    RegCloseKey(hKey);
    Start();
    EXPECT_EQ(box.caption, AfxGetAppName());
    EXPECT_TRUE(Contains(box.texts, L"Netscape Navigator is not installed, or its mail setup is incorrect."))
        << testing::PrintToString(box.texts);
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
    EXPECT_TRUE(theApp.m_strInboxPath.IsEmpty());
}

}  // namespace
