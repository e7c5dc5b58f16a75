// CQuorvelApp, the application: finds the Inbox at start-up and runs the main window.
#pragma once

#include "cstring.h"
#include "winapp.h"

class CQuorvelApp : public CWinApp {
public:
    // The Inbox folder file: the mail directory followed by "\Inbox". Empty until
    // InitInstance has found it; set once, and read by the main window's Convert command.
    CString m_strInboxPath;

    // Finds the Inbox through the mail client's registry key and runs the main window
    // until it closes; when the mail setup cannot be found, says why in a message box
    // instead. Returns FALSE, always: the program then ends.
    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

extern CQuorvelApp theApp;
