// CWnd's message routing, control texts and message boxes; CMenu; CPaintDC.
#include "wnd.h"

#include <string>

#include "winapp.h"

namespace {

// The window property that leads from a window to its CWnd.
const wchar_t WND_PROPERTY[] = L"CWnd";

}  // namespace

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CWnd *pWnd = static_cast<CWnd *>(GetPropW(hWnd, WND_PROPERTY));
    if (pWnd == nullptr)
        return DefWindowProcW(hWnd, message, wParam, lParam);

    if (message == WM_NCDESTROY) {
        // From here on the object must not be reached through the window, nor the window
        // through the object, nor the object through the application once it may be gone.
        CWinApp *pApp = AfxGetApp();
        if (pApp != nullptr && pApp->m_pMainWnd == pWnd)
            pApp->m_pMainWnd = nullptr;
        WNDPROC pfnSuper = pWnd->m_pfnSuper;
        RemovePropW(hWnd, WND_PROPERTY);
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(pfnSuper));
        pWnd->m_hWnd = nullptr;
        pWnd->m_pfnSuper = nullptr;
        return CallWindowProcW(pfnSuper, hWnd, message, wParam, lParam);
    }

    // Handlers send messages of their own; Default() must still find the one it serves.
    CWnd::Message saved = pWnd->m_current;
    pWnd->m_current = {message, wParam, lParam};
    LRESULT result = pWnd->WindowProc(message, wParam, lParam);
    pWnd->m_current = saved;
    return result;
}

CWnd::~CWnd()
{
    DestroyWindow();
}

void CWnd::Attach(HWND hWnd)
{
    m_hWnd = hWnd;
    SetPropW(hWnd, WND_PROPERTY, this);
    // The system hands the previous procedure back as an integer.
    m_pfnSuper = reinterpret_cast<WNDPROC>(  // NOLINT(performance-no-int-to-ptr)
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc)));
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND) {
        // Codes 0 and 1 are commands (menu, button click; accelerator); others are
        // notifications, which no map entry takes.
        if (HIWORD(wParam) <= 1) {
            UINT nID = LOWORD(wParam);
            CWinApp *pApp = AfxGetApp();
            if (OnCmdMsg(nID) || (pApp != nullptr && pApp->OnCmdMsg(nID)))
                return 0;
        }
        return Default();
    }
    const AFX_MSGMAP_ENTRY *pEntry = FindMessageEntry(message, 0);
    if (pEntry != nullptr)
        return pEntry->pfnCall(this, wParam, lParam);
    return Default();
}

LRESULT CWnd::Default()
{
    if (m_hWnd == nullptr || m_pfnSuper == nullptr)
        return 0;
    return CallWindowProcW(m_pfnSuper, m_hWnd, m_current.message, m_current.wParam,
                           m_current.lParam);
}

int CWnd::GetDlgItemText(int nID, CString &rString) const
{
    rString = CString();
    HWND hItem = GetDlgItem(m_hWnd, nID);
    if (hItem == nullptr)
        return 0;
    int n = GetWindowTextLengthW(hItem);
    if (n <= 0)
        return 0;
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    n = GetWindowTextW(hItem, &text[0], n + 1);
    text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    rString = CString(text.c_str());
    return rString.GetLength();
}

void CWnd::SetDlgItemText(int nID, const wchar_t *lpszString)
{
    SetDlgItemTextW(m_hWnd, nID, lpszString);
}

int CWnd::MessageBox(const wchar_t *lpszText, const wchar_t *lpszCaption, UINT nType)
{
    if (lpszCaption == nullptr)
        lpszCaption = AfxGetAppName();
    if ((nType & MB_ICONMASK) == 0) {
        UINT buttons = nType & MB_TYPEMASK;
        if (buttons == MB_OK || buttons == MB_OKCANCEL)
            nType |= MB_ICONEXCLAMATION;
        else if (buttons == MB_YESNO || buttons == MB_YESNOCANCEL)
            nType |= MB_ICONQUESTION;
    }
    return MessageBoxW(m_hWnd, lpszText, lpszCaption, nType);
}

BOOL CWnd::DestroyWindow()
{
    if (m_hWnd == nullptr)
        return FALSE;
    // WM_NCDESTROY clears m_hWnd.
    return ::DestroyWindow(m_hWnd);
}

CMenu CMenu::FromHandle(HMENU hMenu)
{
    CMenu menu;
    menu.m_hMenu = hMenu;
    return menu;
}

BOOL CMenu::AppendMenu(UINT nFlags, UINT_PTR nIDNewItem, const wchar_t *lpszNewItem)
{
    return AppendMenuW(m_hMenu, nFlags, nIDNewItem, lpszNewItem);
}

CPaintDC::CPaintDC(CWnd *pWnd) : m_hWnd(pWnd->m_hWnd)
{
    m_hDC = BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC()
{
    EndPaint(m_hWnd, &m_ps);
}
