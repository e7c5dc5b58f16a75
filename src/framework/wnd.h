// CWnd, a window driven by its message map, and the two helpers its handlers use:
// CMenu (a menu handle) and CPaintDC (painting in a WM_PAINT handler).
//
// A CWnd is bound to its window from the moment the window is set up (for a dialog, its
// WM_INITDIALOG) until WM_NCDESTROY: every message goes through the object's message map,
// and what no entry handles goes on to the window's own procedure (Default). The object
// does not own the window's lifetime; the window ends when the system destroys it, and
// m_hWnd is null again from then on.
#pragma once

#include <windows.h>

#include "cstring.h"
#include "msgmap.h"

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    // Destroys the window if it still exists.
    ~CWnd() override;
    CWnd(const CWnd &) = delete;
    CWnd &operator=(const CWnd &) = delete;

    // The window, or null before it is created and after it is destroyed.
    HWND m_hWnd = nullptr;

    // Puts the text of child control nID into rString (empty when there is no such
    // control). Returns the text's length.
    int GetDlgItemText(int nID, CString &rString) const;
    void SetDlgItemText(int nID, const wchar_t *lpszString);

    // A message box owned by this window, with the application title as its caption
    // when lpszCaption is null. When nType names no icon, a box that only informs (OK, or
    // OK and Cancel) takes the exclamation mark, and one that asks (Yes and No) the
    // question mark. Returns the id of the button that closed it, 0 on failure.
    int MessageBox(const wchar_t *lpszText, const wchar_t *lpszCaption = nullptr,
                   UINT nType = MB_OK);

    // Destroys the window now. Returns FALSE when there is none, or it cannot be destroyed.
    BOOL DestroyWindow();

protected:
    // Gives the message being handled to the window's own procedure, as if no map entry
    // had taken it, and returns that procedure's result. Call it only from a handler.
    LRESULT Default();

    // Hands every message to the map: a command (WM_COMMAND from a menu, an accelerator or
    // a button click) to this object's map and then the application's; any other message
    // to this object's map. What no entry takes gets Default().
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    // Binds this object to hWnd and routes the window's messages through WindowProc.
    void Attach(HWND hWnd);

private:
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);

    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    Message m_current{};            // the message WindowProc is handling, for Default()
    WNDPROC m_pfnSuper = nullptr;   // the window's own procedure
};

// A menu handle, not owned: the menu stays its window's.
class CMenu {
public:
    HMENU m_hMenu = nullptr;

    // A CMenu for hMenu. A value, not a pointer to a kept object: it owns nothing, so there
    // is nothing to keep or to free. m_hMenu is null when hMenu is.
    static CMenu FromHandle(HMENU hMenu);

    // Appends an item (MF_STRING with an id and a text, or MF_SEPARATOR). FALSE on failure.
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, const wchar_t *lpszNewItem = nullptr);
};

// Painting inside a WM_PAINT handler: BeginPaint at construction, EndPaint at destruction.
class CPaintDC {
public:
    explicit CPaintDC(CWnd *pWnd);
    ~CPaintDC();
    CPaintDC(const CPaintDC &) = delete;
    CPaintDC &operator=(const CPaintDC &) = delete;

    HDC m_hDC;
    PAINTSTRUCT m_ps;

private:
    HWND m_hWnd;
};
