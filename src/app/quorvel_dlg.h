// The main window (Convert, About, Exit) and the About box.
#pragma once

#include "dialog.h"

class CQuorvelDlg : public CDialog {
public:
    // Made from template IDD_MAIN, with no parent window.
    CQuorvelDlg();

protected:
    // The large application icon: painted when minimized, and the drag icon.
    HICON m_hIcon;

    // Adds Convert and About to the system menu (unless this language's template leaves
    // the About text empty) and sets the window's icons.
    BOOL OnInitDialog() override;

    // System-menu Convert and About; every other command as usual.
    void OnSysCommand(UINT nID, LPARAM lParam);
    // Draws the icon centred in the client area when minimized.
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    // Ends the run with 0.
    void OnExit();
    // Converts the Inbox, showing the progress text meanwhile; a message box on failure.
    void OnConvert();
    void OnAbout();

    DECLARE_MESSAGE_MAP()
};

// The About box, template IDD_ABOUTBOX; its OK button closes it.
class CAboutDlg : public CDialog {
public:
    CAboutDlg();
};
