// Catches the dialog windows (message boxes, dialog boxes) a test makes its own thread open:
// each is recorded as it is shown and then closed with OK, so the test does not wait on it.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

class DialogCatcher {
public:
    struct Caught {
        HWND hWnd;
        std::wstring caption;
        HWND owner;
        bool ownerEnabled;
        std::vector<std::wstring> texts;  // of the child windows, in order
        HICON icon;                       // a message box's shown icon, or null
    };

    // onShow, when given, runs for each caught window as it is shown, before it is closed.
    explicit DialogCatcher(std::function<void(HWND)> onShow = {});
    ~DialogCatcher();
    DialogCatcher(const DialogCatcher &) = delete;
    DialogCatcher &operator=(const DialogCatcher &) = delete;

    // Leaves hWnd alone: the dialog under test.
    void Ignore(HWND hWnd) { m_ignored.insert(hWnd); }

    std::vector<Caught> caught;

private:
    static LRESULT CALLBACK HookProc(int code, WPARAM wParam, LPARAM lParam);
    HHOOK m_hHook;
    std::function<void(HWND)> m_onShow;
    std::set<HWND> m_ignored;
};

// The text of hWnd, as UTF-16.
std::wstring WindowText(HWND hWnd);
