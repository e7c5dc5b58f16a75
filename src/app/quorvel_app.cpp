// CQuorvelApp: the program's start-up.
#include "quorvel_app.h"

#include "mail_setup.h"
#include "quorvel_dlg.h"

CQuorvelApp theApp;

BEGIN_MESSAGE_MAP(CQuorvelApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

BOOL CQuorvelApp::InitInstance()
{
    Enable3dControls();

    CQuorvelDlg dlg;
    UINT nMessage = FindInboxPath(HKEY_CURRENT_USER, MAIL_SETUP_KEY, m_strInboxPath);
    if (nMessage != 0) {
        CString strMessage;
        strMessage.LoadString(nMessage);
        MessageBoxW(nullptr, strMessage, m_pszAppName, MB_OK);
        return FALSE;
    }

    // The dialog becomes the main window only for its run: the framework clears the
    // pointer when the window goes, and on the paths above there is none to clear.
    // cppcheck-suppress danglingLifetime
    m_pMainWnd = &dlg;
    dlg.DoModal();
    return FALSE;
}
