// CWinApp, the application object, and the framework's program-wide functions.
//
// A program defines exactly one object of a CWinApp subclass, as a static object; the
// program's entry (WinMain, in the framework) calls AfxWinMain, which sets the object up
// and calls its InitInstance. The program ends when InitInstance returns: this framework
// has no message loop of its own, because its programs run their windows modally inside
// InitInstance. The application title, the caption of the program's message boxes, is
// the executable's file name without its extension.
#pragma once

#include <windows.h>

#include <string>

#include "msgmap.h"
#include "wnd.h"

// The framework's Help command.
#define ID_HELP 0xE146

class CWinApp : public CCmdTarget {
public:
    // Registers the one application object.
    CWinApp();
    ~CWinApp() override;
    CWinApp(const CWinApp &) = delete;
    CWinApp &operator=(const CWinApp &) = delete;

    // The program's start-up and its whole run. The result is ignored: either way the
    // program ends when it returns (see above).
    virtual BOOL InitInstance() = 0;

    // Asks for three-dimensional dialog controls. Once they needed a helper library on some
    // systems; every system this program runs on draws them so itself, so nothing is left
    // to do. Returns TRUE.
    BOOL Enable3dControls();

    // ID_HELP. The program ships no help file, so there is nothing to open; the handler
    // takes the command so that it goes no further.
    void OnHelp();

    // The main window, or null. The framework clears it when that window is destroyed;
    // when InitInstance returns and it still names a window, that window is destroyed.
    CWnd *m_pMainWnd = nullptr;
    // The executable module; null until AfxWinInit.
    HINSTANCE m_hInstance = nullptr;
    // The application title; empty until AfxWinInit.
    const wchar_t *m_pszAppName = L"";

private:
    friend BOOL AfxWinInit(HINSTANCE, HINSTANCE, LPSTR, int);
    std::wstring m_strAppName;
};

// The application object, or null when the program defines none.
CWinApp *AfxGetApp();

// The application title (empty before AfxWinInit).
const wchar_t *AfxGetAppName();

// The module that holds the program's resources: the executable.
HINSTANCE AfxGetResourceHandle();

// The module in which to look for resource lpszName of type lpszType. This program keeps
// all its resources in the executable, so that is the one; the resource loader then picks
// the language.
HINSTANCE AfxFindResourceHandle(LPCSTR lpszName, LPCSTR lpszType);

// Sets the application object up for the module hInstance: instance handle and title.
// AfxWinMain calls it; a test program that has no WinMain calls it itself. FALSE when
// there is no application object.
BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);

// The program's run: AfxWinInit, then InitInstance, then the destruction of a main window
// left open. Returns the program's exit code: 0, or -1 when there is no application object.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
