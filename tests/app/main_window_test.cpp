// Tests of the real main window, run modally in-process: its system menu, icons, Convert
// (by button and by system menu), the failure message, About, and the ways it ends.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "dialog_catcher.h"
#include "mbox.h"
#include "quorvel_app.h"
#include "quorvel_dlg.h"
#include "resource.h"
#include "test_files.h"

namespace {

// The texts of the language the resource loader picks for this run.
struct Texts {
    const wchar_t *instruction, *converting, *failed, *menuConvert, *menuAbout, *aboutCaption;
};
const Texts ENGLISH = {
    L"Put broken Hangul mails (ISO-2022-kr code) in the Inbox folder of Netscape Mail, and "
    L"click  [Convert] button.",
    L"Converting Inbox folder...",
    L"Cannot convert Inbox folder. Maybe the mail folder is invalid or disk space is not enough.",
    L"&Convert",
    L"&About...",
    L"Quorvel for Netscape",
};
const Texts KOREAN = {
    L"깨진 (ISO-2022-kr 코드) 한글 메일을 Netscape Mail의 Inbox에 넣고 [변환] 버튼을 누르십시오.",
    L"Inbox 폴더를 변환중입니다...",
    L"Inbox 폴더를 변환할 수 없습니다. 아마도 메일 폴더가 비정상이거나 하드 디스크 에 빈 공간이 "
    L"없는 것으로 여겨집니다.",
    L"변환(&C)",
    L"Netscape Quorvel에 대하여(&A)...",
    L"Netscape Quorvel에 대하여",
};
const Texts &Expected()
{
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_KOREAN ? KOREAN : ENGLISH;
}

const UINT ID_PROBE_END = 0x7000;
const INT_PTR PROBE_RESULT = 42;

// The main window with a script: before (and after) its own OnInitDialog, the test's steps
// run; messages they post are handled in order once the window is up. ID_PROBE_END waits for
// what the steps set going (a message box, messages posted in turn), then notes the window's
// state and ends the run with PROBE_RESULT.
class CProbeDlg : public CQuorvelDlg {
public:
    std::function<void(HWND)> beforeInit, afterInit;
    std::wstring statusAtEnd;
    bool enabledAtEnd = false;

    // Runs the window as the program does: as the application's main window.
    INT_PTR Run()
    {
        theApp.m_pMainWnd = this;
        return DoModal();
    }

    BOOL OnInitDialog() override
    {
        if (beforeInit)
            beforeInit(m_hWnd);
        BOOL result = CQuorvelDlg::OnInitDialog();
        if (afterInit)
            afterInit(m_hWnd);
        return result;
    }

protected:
    void OnProbeEnd()
    {
        // A few rounds, so that what the steps' messages post comes first; more while the
        // window is disabled by a modal box of its own, whose end is already queued.
        bool enabled = IsWindowEnabled(m_hWnd) != FALSE;
        if (++m_rounds < 3 || (!enabled && m_rounds < 1000)) {
            PostMessageW(m_hWnd, WM_COMMAND, ID_PROBE_END, 0);
            return;
        }
        CString status;
        GetDlgItemText(IDC_STATUS, status);
        statusAtEnd = static_cast<const wchar_t *>(status);
        enabledAtEnd = enabled;
        EndDialog(PROBE_RESULT);
    }
    int m_rounds = 0;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeDlg, CQuorvelDlg)
    ON_COMMAND(ID_PROBE_END, OnProbeEnd)
END_MESSAGE_MAP()

// A step that posts message to the window.
std::function<void(HWND)> Post(UINT message, WPARAM wParam)
{
    return [=](HWND hWnd) { PostMessageW(hWnd, message, wParam, 0); };
}

std::wstring MenuText(HMENU hMenu, int position)
{
    wchar_t text[256] = L"";
    GetMenuStringW(hMenu, position, text, 256, MF_BYPOSITION);
    return text;
}

HICON AppIcon(UINT nID)
{
    return LoadIconA(GetModuleHandleW(nullptr), MAKEINTRESOURCEA(nID));
}

TEST(MainWindow, AddsConvertAndAboutToTheSystemMenuAndSetsItsIcons)
{
    CProbeDlg dlg;
    HMENU hMenu = nullptr;
    int items = 0, itemsBefore = 0;
    std::wstring convert, about;
    UINT separator = 0, convertId = 0, aboutId = 0;
    LRESULT bigIcon = 0, smallIcon = 0, dragIcon = 0;
    dlg.beforeInit = [&](HWND hWnd) { itemsBefore = GetMenuItemCount(GetSystemMenu(hWnd, FALSE)); };
    dlg.afterInit = [&](HWND hWnd) {
        hMenu = GetSystemMenu(hWnd, FALSE);
        items = GetMenuItemCount(hMenu);
        separator = GetMenuState(hMenu, items - 3, MF_BYPOSITION) & MF_SEPARATOR;
        convertId = GetMenuItemID(hMenu, items - 2);
        convert = MenuText(hMenu, items - 2);
        aboutId = GetMenuItemID(hMenu, items - 1);
        about = MenuText(hMenu, items - 1);
        bigIcon = SendMessageW(hWnd, WM_GETICON, ICON_BIG, 0);
        smallIcon = SendMessageW(hWnd, WM_GETICON, ICON_SMALL, 0);
        dragIcon = SendMessageW(hWnd, WM_QUERYDRAGICON, 0, 0);
        PostMessageW(hWnd, WM_COMMAND, ID_PROBE_END, 0);
    };
    ASSERT_EQ(dlg.Run(), PROBE_RESULT);

    EXPECT_EQ(items, itemsBefore + 3);
    EXPECT_NE(separator, 0u);
    EXPECT_EQ(convertId, UINT(IDM_CONVERT));
    EXPECT_EQ(convert, Expected().menuConvert);
    EXPECT_EQ(aboutId, UINT(IDM_ABOUTBOX));
    EXPECT_EQ(about, Expected().menuAbout);
    EXPECT_EQ(bigIcon, reinterpret_cast<LRESULT>(AppIcon(IDR_MAINFRAME)));
    EXPECT_EQ(smallIcon, reinterpret_cast<LRESULT>(AppIcon(IDI_SMALL)));
    EXPECT_EQ(dragIcon, reinterpret_cast<LRESULT>(AppIcon(IDR_MAINFRAME)));
}

TEST(MainWindow, AddsNothingToTheSystemMenuWhenTheAboutTextIsEmpty)
{
    CProbeDlg dlg;
    int itemsBefore = -1, itemsAfter = -2;
    dlg.beforeInit = [&](HWND hWnd) {
        SetDlgItemTextW(hWnd, IDC_TEXT_MENU_ABOUT, L"");
        itemsBefore = GetMenuItemCount(GetSystemMenu(hWnd, FALSE));
    };
    dlg.afterInit = [&](HWND hWnd) {
        itemsAfter = GetMenuItemCount(GetSystemMenu(hWnd, FALSE));
        PostMessageW(hWnd, WM_COMMAND, ID_PROBE_END, 0);
    };
    ASSERT_EQ(dlg.Run(), PROBE_RESULT);
    EXPECT_EQ(itemsAfter, itemsBefore);
}

const std::string ISO_2022_KR_MAIL =
    "Subject: test\r\n\x1b$)C\r\n\x0e\x47\x51\x31\x5b\x0f mail\r\n";
const std::string EUC_KR_MAIL = "Subject: test\n\xc7\xd1\xb1\xdb mail\n";

TEST(MainWindow, ConvertByButtonOrSystemMenuRewritesTheInboxAndShowsNoMessage)
{
    struct Case {
        const char *how;
        UINT message;
        WPARAM wParam;
    } cases[] = {
        {"button", WM_COMMAND, IDC_CONVERT},
        {"system menu", WM_SYSCOMMAND, IDM_CONVERT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.how);
        TestDir dir;
        WriteFile(dir.File("Inbox"), ISO_2022_KR_MAIL);
        WriteFile(dir.File("Inbox.snm"), "summary");
        theApp.m_strInboxPath = CString(dir.File("Inbox").c_str());

        CProbeDlg dlg;
        DialogCatcher catcher;
        dlg.afterInit = [&](HWND hWnd) {
            catcher.Ignore(hWnd);
            PostMessageW(hWnd, c.message, c.wParam, 0);
            PostMessageW(hWnd, WM_COMMAND, ID_PROBE_END, 0);
        };
        ASSERT_EQ(dlg.Run(), PROBE_RESULT);
        EXPECT_EQ(ReadFile(dir.File("Inbox")), Lines(EUC_KR_MAIL));
        EXPECT_FALSE(FileExists(dir.File("Inbox.snm")));
        EXPECT_EQ(dlg.statusAtEnd, Expected().instruction);
        EXPECT_TRUE(catcher.caught.empty());
    }
    theApp.m_strInboxPath = CString();
}

// What quorvel-convert leaves when it is stopped in a relabelling is completed by the window
// as it began, though the window itself converts as one text.
TEST(MainWindow, ConvertCompletesARelabellingTheConverterWasStoppedIn)
{
    TestDir dir;
    // In the platform's line ends, which the window's own conversion then leaves alone.
    const std::string front = Lines("From a\nSubject: plain\n\nbody\n\n");
    const std::string rest = Lines("From b\nSubject: test\nMIME-Version: 1.0\n"
                             "Content-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e\x47\x51\x31\x5b\x0f mail\n");
    WriteFile(dir.File("rest"), rest);
    FILE *in = std::fopen(dir.File("rest").c_str(), "rb");
    FILE *out = std::fopen(dir.File("relabelled").c_str(), "wb");
    ASSERT_TRUE(in != nullptr && out != nullptr);
    ASSERT_EQ(RelabelStream(in, out), 1);
    std::fclose(in);
    std::fclose(out);
    const std::string conversion = ReadFile(dir.File("relabelled"));
    ASSERT_NE(conversion.find("charset=EUC-KR"), std::string::npos);
    LeaveStoppedJob(dir.File("Inbox"), front, rest, conversion, "relabel", rest);
    theApp.m_strInboxPath = CString(dir.File("Inbox").c_str());

    CProbeDlg dlg;
    DialogCatcher catcher;
    dlg.afterInit = [&](HWND hWnd) {
        catcher.Ignore(hWnd);
        PostMessageW(hWnd, WM_COMMAND, IDC_CONVERT, 0);
        PostMessageW(hWnd, WM_COMMAND, ID_PROBE_END, 0);
    };
    ASSERT_EQ(dlg.Run(), PROBE_RESULT);
    theApp.m_strInboxPath = CString();
    EXPECT_TRUE(catcher.caught.empty());
    EXPECT_EQ(ReadFile(dir.File("Inbox")), front + conversion);
    EXPECT_TRUE(dir.StateFiles().empty());
}

TEST(MainWindow, FailedConversionShowsItsMessageOverTheProgressTextThenTheInstructionAgain)
{
    TestDir dir;
    theApp.m_strInboxPath = CString(dir.File("Inbox").c_str());  // no such file

    CProbeDlg dlg;
    std::wstring statusWhileShown;
    DialogCatcher catcher([&](HWND hBox) {
        statusWhileShown = WindowText(GetDlgItem(GetWindow(hBox, GW_OWNER), IDC_STATUS));
    });
    dlg.afterInit = [&](HWND hWnd) {
        catcher.Ignore(hWnd);
        PostMessageW(hWnd, WM_COMMAND, IDC_CONVERT, 0);
        PostMessageW(hWnd, WM_COMMAND, ID_PROBE_END, 0);
    };
    ASSERT_EQ(dlg.Run(), PROBE_RESULT);
    theApp.m_strInboxPath = CString();

    ASSERT_EQ(catcher.caught.size(), 1u);
    const DialogCatcher::Caught &box = catcher.caught[0];
    EXPECT_EQ(box.caption, AfxGetAppName());
    EXPECT_EQ(box.icon, LoadIcon(nullptr, IDI_EXCLAMATION));
    EXPECT_NE(box.owner, nullptr);
    EXPECT_FALSE(box.ownerEnabled);
    // The template's words, then the system's reason on a line of its own.
    const std::wstring failedLine = std::wstring(Expected().failed) + L"\n";
    EXPECT_NE(std::find_if(box.texts.begin(), box.texts.end(),
                           [&](const std::wstring &text) {
                               return text.size() > failedLine.size() &&
                                      text.compare(0, failedLine.size(), failedLine) == 0;
                           }),
              box.texts.end())
        << testing::PrintToString(box.texts);
    EXPECT_EQ(statusWhileShown, Expected().converting);
    EXPECT_EQ(dlg.statusAtEnd, Expected().instruction);
}

TEST(MainWindow, AboutByButtonOrSystemMenuOpensTheAboutBoxOverTheMainWindow)
{
    for (auto step : {Post(WM_COMMAND, IDC_ABOUT), Post(WM_SYSCOMMAND, IDM_ABOUTBOX)}) {
        CProbeDlg dlg;
        DialogCatcher catcher;
        HWND hMain = nullptr;
        dlg.afterInit = [&](HWND hWnd) {
            hMain = hWnd;
            catcher.Ignore(hWnd);
            step(hWnd);
            PostMessageW(hWnd, WM_COMMAND, ID_PROBE_END, 0);
        };
        ASSERT_EQ(dlg.Run(), PROBE_RESULT);
        ASSERT_EQ(catcher.caught.size(), 1u);
        EXPECT_EQ(catcher.caught[0].caption, Expected().aboutCaption);
        EXPECT_EQ(catcher.caught[0].owner, hMain);
        EXPECT_FALSE(catcher.caught[0].ownerEnabled);
        EXPECT_TRUE(dlg.enabledAtEnd);
    }
}

// Sees the messages the window sends itself, in front of its own procedure.
WNDPROC g_pfnWindow = nullptr;
std::vector<HDC> g_iconErases;
LRESULT CALLBACK WatchIconErase(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_ICONERASEBKGND)
        g_iconErases.push_back(reinterpret_cast<HDC>(wParam));
    return CallWindowProcW(g_pfnWindow, hWnd, message, wParam, lParam);
}

// A minimized window today has no client area to show its icon in, so what can be seen is
// that painting takes the minimized way (icon background, then the icon) only then.
TEST(MainWindow, PaintsTheIconOnlyWhenMinimized)
{
    CProbeDlg dlg;
    std::size_t erasesShown = 1, erasesMinimized = 0;
    dlg.afterInit = [&](HWND hWnd) {
        g_iconErases.clear();
        g_pfnWindow = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchIconErase)));
        SendMessageW(hWnd, WM_PAINT, 0, 0);
        erasesShown = g_iconErases.size();
        ShowWindow(hWnd, SW_MINIMIZE);
        SendMessageW(hWnd, WM_PAINT, 0, 0);
        erasesMinimized = g_iconErases.size();
        ShowWindow(hWnd, SW_RESTORE);
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_pfnWindow));
        PostMessageW(hWnd, WM_COMMAND, ID_PROBE_END, 0);
    };
    ASSERT_EQ(dlg.Run(), PROBE_RESULT);
    EXPECT_EQ(erasesShown, 0u);
    ASSERT_EQ(erasesMinimized, 1u);
    EXPECT_NE(g_iconErases[0], nullptr);
}

TEST(MainWindow, ExitEndsTheRunWith0AndEscOrTheCloseBoxWithCancel)
{
    struct Case {
        const char *how;
        std::function<void(HWND)> step;
        INT_PTR result;
    } cases[] = {
        {"Exit", Post(WM_COMMAND, IDC_EXIT), 0},
        {"close box", Post(WM_SYSCOMMAND, SC_CLOSE), IDCANCEL},
        {"Esc",
         [](HWND hWnd) { PostMessageW(GetDlgItem(hWnd, IDC_CONVERT), WM_KEYDOWN, VK_ESCAPE, 0); },
         IDCANCEL},
        {"IDOK", Post(WM_COMMAND, IDOK), IDOK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.how);
        CProbeDlg dlg;
        dlg.afterInit = [&](HWND hWnd) {
            c.step(hWnd);
            PostMessageW(hWnd, WM_COMMAND, ID_PROBE_END, 0);
        };
        EXPECT_EQ(dlg.Run(), c.result);
    }
}

}  // namespace
