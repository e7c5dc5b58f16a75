// DialogCatcher: a CBT hook on the test's thread that sees each dialog window activated.
#include "dialog_catcher.h"

namespace {

DialogCatcher *g_pCatcher = nullptr;

BOOL CALLBACK AddText(HWND hChild, LPARAM lParam)
{
    reinterpret_cast<std::vector<std::wstring> *>(lParam)->push_back(WindowText(hChild));
    return TRUE;
}

// The icon that an icon control of the box holds, unless hidden; the box itself is not yet
// shown when it is activated.
BOOL CALLBACK FindIcon(HWND hChild, LPARAM lParam)
{
    LONG style = GetWindowLongW(hChild, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON && (style & WS_VISIBLE) != 0)
        *reinterpret_cast<HICON *>(lParam) = reinterpret_cast<HICON>(SendMessageW(hChild, STM_GETICON, 0, 0));
    return TRUE;
}

}  // namespace

std::wstring WindowText(HWND hWnd)
{
    int size = GetWindowTextLengthW(hWnd) + 1;
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(hWnd, &text[0], size)));
    return text;
}

DialogCatcher::DialogCatcher(std::function<void(HWND)> onShow) : m_onShow(std::move(onShow))
{
    g_pCatcher = this;
    m_hHook = SetWindowsHookExW(WH_CBT, &HookProc, nullptr, GetCurrentThreadId());
}

DialogCatcher::~DialogCatcher()
{
    UnhookWindowsHookEx(m_hHook);
    g_pCatcher = nullptr;
}

LRESULT CALLBACK DialogCatcher::HookProc(int code, WPARAM wParam, LPARAM lParam)
{
    HWND hWnd = reinterpret_cast<HWND>(wParam);
    wchar_t className[16] = L"";
    if (code == HCBT_ACTIVATE && g_pCatcher != nullptr && GetClassNameW(hWnd, className, 16) > 0 &&
        std::wstring(className) == L"#32770" && g_pCatcher->m_ignored.count(hWnd) == 0) {
        DialogCatcher &self = *g_pCatcher;
        self.m_ignored.insert(hWnd);  // activated again later, caught once
        Caught c{hWnd, WindowText(hWnd), GetWindow(hWnd, GW_OWNER), false, {}, nullptr};
        c.ownerEnabled = c.owner != nullptr && IsWindowEnabled(c.owner);
        EnumChildWindows(hWnd, &AddText, reinterpret_cast<LPARAM>(&c.texts));
        EnumChildWindows(hWnd, &FindIcon, reinterpret_cast<LPARAM>(&c.icon));
        self.caught.push_back(c);
        if (self.m_onShow)
            self.m_onShow(hWnd);
        PostMessageW(hWnd, WM_COMMAND, IDOK, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
