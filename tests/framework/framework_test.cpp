// Tests of our application framework: message-map lookup, command routing, Default, the
// modal run and its owner, the application title, and UTF-16 texts through the windows.
// The dialogs are made from the program's About box template; only their classes differ.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "dialog.h"
#include "dialog_catcher.h"
#include "resource.h"
#include "winapp.h"

namespace {

const UINT ID_A = 0x7001, ID_B = 0x7002, ID_NONE = 0x7003, ID_RUN_INNER = 0x7004;

// Records which handler ran.
class CBaseProbe : public CDialog {
public:
    CBaseProbe() : CDialog(IDD_ABOUTBOX) {}
    std::string log;

protected:
    void OnBaseA() { log += "baseA "; }
    void OnBaseB() { log += "baseB "; }
    void OnCancel() override
    {
        log += "cancel ";
        CDialog::OnCancel();
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CBaseProbe, CDialog)
    ON_COMMAND(ID_A, OnBaseA)
    ON_COMMAND(ID_B, OnBaseB)
END_MESSAGE_MAP()

class CProbe : public CBaseProbe {
public:
    BOOL OnInitDialog() override
    {
        CBaseProbe::OnInitDialog();
        SendMessageW(m_hWnd, WM_COMMAND, ID_A, 0);
        SendMessageW(m_hWnd, WM_COMMAND, ID_B, 0);
        SendMessageW(m_hWnd, WM_COMMAND, ID_NONE, 0);
        SendMessageW(m_hWnd, WM_COMMAND, ID_HELP, 0);  // the application's map takes it
        // A notification is not a command: no handler of id A runs.
        SendMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(ID_A, EN_CHANGE), 0);
        // Handled by OnSysCommand, which leaves it to Default: the window closes as usual.
        PostMessageW(m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        return TRUE;
    }

protected:
    void OnFirstA() { log += "firstA "; }
    void OnSecondA() { log += "secondA "; }
    void OnSysCommand(UINT nID, LPARAM)
    {
        log += "syscommand " + std::to_string(nID & 0xFFF0) + " ";
        Default();
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbe, CBaseProbe)
    ON_COMMAND(ID_A, OnFirstA)
    ON_COMMAND(ID_A, OnSecondA)
    ON_WM_SYSCOMMAND()
END_MESSAGE_MAP()

TEST(Framework, MapsTakeTheFirstEntryInOrderThenTheBaseClassAndDefaultDoesTheRest)
{
    CProbe dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.log, "firstA baseB syscommand " + std::to_string(SC_CLOSE) + " cancel ");
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

// Runs a second dialog, with no parent, from inside its own run.
class COuter : public CDialog {
public:
    COuter() : CDialog(IDD_ABOUTBOX) {}
    HWND innerOwner = nullptr;
    bool enabledDuringInner = true, enabledAfterInner = false;
    INT_PTR innerResult = 0;

    BOOL OnInitDialog() override
    {
        PostMessageW(m_hWnd, WM_COMMAND, ID_RUN_INNER, 0);
        return TRUE;
    }

protected:
    class CInner : public CDialog {
    public:
        explicit CInner(COuter &outer) : CDialog(IDD_ABOUTBOX), m_outer(outer) {}
        BOOL OnInitDialog() override
        {
            m_outer.innerOwner = GetWindow(m_hWnd, GW_OWNER);
            m_outer.enabledDuringInner = IsWindowEnabled(m_outer.m_hWnd) != FALSE;
            EndDialog(5);
            return TRUE;
        }
        COuter &m_outer;
    };

    void OnRunInner()
    {
        CInner inner(*this);
        innerResult = inner.DoModal();
        enabledAfterInner = IsWindowEnabled(m_hWnd) != FALSE;
        EndDialog(6);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(COuter, CDialog)
    ON_COMMAND(ID_RUN_INNER, OnRunInner)
END_MESSAGE_MAP()

TEST(Framework, DialogWithoutParentIsOwnedByTheMainWindowWhichItDisables)
{
    CWinApp *pApp = AfxGetApp();
    COuter outer;
    pApp->m_pMainWnd = &outer;
    EXPECT_EQ(outer.DoModal(), 6);
    EXPECT_EQ(outer.innerResult, 5);
    EXPECT_NE(outer.innerOwner, nullptr);
    EXPECT_FALSE(outer.enabledDuringInner);
    EXPECT_TRUE(outer.enabledAfterInner);
    // The window is gone, and the application no longer names it.
    EXPECT_EQ(pApp->m_pMainWnd, nullptr);
    EXPECT_EQ(outer.m_hWnd, nullptr);
}

// Moves Korean text through a control, the system menu and a message box. Where the ANSI
// code page is not Korean, a detour through it would turn the text into question marks.
class CTextProbe : public CDialog {
public:
    explicit CTextProbe(DialogCatcher &catcher) : CDialog(IDD_ABOUTBOX), m_catcher(catcher) {}
    std::wstring controlText, menuText;
    BOOL OnInitDialog() override
    {
        m_catcher.Ignore(m_hWnd);
        SetDlgItemText(IDOK, L"확인 ✓");
        CString text;
        GetDlgItemText(IDOK, text);
        controlText = static_cast<const wchar_t *>(text);

        CMenu menu = CMenu::FromHandle(GetSystemMenu(m_hWnd, FALSE));
        menu.AppendMenu(MF_STRING, 0x0100, text);
        wchar_t item[64] = L"";
        GetMenuStringW(menu.m_hMenu, 0x0100, item, 64, MF_BYCOMMAND);
        menuText = item;

        MessageBox(CString(L"변환(&C) ") + "ANSI");
        EndDialog(IDOK);
        return TRUE;
    }

private:
    DialogCatcher &m_catcher;
};

TEST(Framework, TextsStayUtf16WhateverTheAnsiCodePage)
{
    DialogCatcher catcher;
    CTextProbe dlg(catcher);
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.controlText, L"확인 ✓");
    EXPECT_EQ(dlg.menuText, L"확인 ✓");
    ASSERT_EQ(catcher.caught.size(), 1u);
    EXPECT_EQ(catcher.caught[0].caption, AfxGetAppName());
    EXPECT_NE(std::find(catcher.caught[0].texts.begin(), catcher.caught[0].texts.end(), L"변환(&C) ANSI"),
              catcher.caught[0].texts.end())
        << testing::PrintToString(catcher.caught[0].texts);
}

TEST(Framework, ApplicationTitleIsTheExecutableNameWithoutExtension)
{
    EXPECT_EQ(std::wstring(AfxGetAppName()), L"app_tests");
}

TEST(Framework, AnsiTextComesBackUnchanged)
{
    // Bytes of the ANSI code page in use: Hangul under UTF-8 (the program's manifest asks for
    // it), a Hangul syllable under 949, Latin-1 letters under 1252. Paths take this way from
    // the registry to the conversion core.
    UINT acp = GetACP();
    std::string ansi = acp == CP_UTF8 ? "C:\\\xeb\xa9\x94\xec\x9d\xbc\\Mail"
                       : acp == 949   ? "C:\\\xc7\xd1\\Mail"
                                      : "C:\\\xe9t\xe9\\Mail";
    EXPECT_EQ((CString(ansi.c_str()) + "\\Inbox").ToAnsi(), ansi + "\\Inbox");
}

}  // namespace
