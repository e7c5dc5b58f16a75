// CDialog: a dialog box made from a dialog template of the resources and run modally.
//
// DoModal loads the template in the language the resource loader picks for the user,
// shows the dialog and returns when EndDialog ends it. A dialog given no parent is owned by
// the application's main window (when there is one, and it is not the dialog itself); the
// owner stays disabled while the dialog shows. A template that leaves the dialog's position
// at 0, 0 opens centred over the owner, or on the screen when there is none.
#pragma once

#include "wnd.h"

class CDialog : public CWnd {
public:
    // nIDTemplate: the dialog template's resource id.
    explicit CDialog(UINT nIDTemplate, CWnd *pParentWnd = nullptr);

    // Runs the dialog. Returns the result given to EndDialog, or -1 when the dialog
    // could not be created (no such template, no memory).
    virtual INT_PTR DoModal();

    // Ends the modal run with nResult once the current message has been handled.
    void EndDialog(int nResult);

    // Called once the dialog's controls exist and before it shows. Returns TRUE to let
    // the system put the focus on the first control that takes it.
    virtual BOOL OnInitDialog();

protected:
    // IDOK: ends the run with IDOK.
    virtual void OnOK();
    // IDCANCEL (Esc, the close box): ends the run with IDCANCEL.
    virtual void OnCancel();

private:
    friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);

    UINT m_nIDTemplate;
    CWnd *m_pParentWnd;
    bool m_bCentre = false;  // the template leaves the position at 0, 0

    DECLARE_MESSAGE_MAP()
};
