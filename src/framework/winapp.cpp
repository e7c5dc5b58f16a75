// CWinApp and the program-wide functions: the one application object, its title, the
// resource module and the program's run.
#include "winapp.h"

namespace {

CWinApp *g_pApp = nullptr;

}  // namespace

CWinApp::CWinApp()
{
    // A second application object is a program error that nothing could recover from.
    if (g_pApp != nullptr)
        FatalAppExitW(0, L"The program defines two application objects.");
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    g_pApp = nullptr;
}

BOOL CWinApp::Enable3dControls()
{
    return TRUE;
}

void CWinApp::OnHelp()
{
}

CWinApp *AfxGetApp()
{
    return g_pApp;
}

const wchar_t *AfxGetAppName()
{
    return g_pApp != nullptr ? g_pApp->m_pszAppName : L"";
}

HINSTANCE AfxGetResourceHandle()
{
    return g_pApp != nullptr && g_pApp->m_hInstance != nullptr ? g_pApp->m_hInstance
                                                              : GetModuleHandleW(nullptr);
}

HINSTANCE AfxFindResourceHandle(LPCSTR, LPCSTR)
{
    return AfxGetResourceHandle();
}

BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    if (g_pApp == nullptr)
        return FALSE;
    g_pApp->m_hInstance = hInstance;

    // The title: the executable's file name, without directory and extension.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(hInstance, &path[0], static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    std::size_t start = path.find_last_of(L"\\/:");
    std::wstring name = start == std::wstring::npos ? path : path.substr(start + 1);
    std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0)
        name.resize(dot);
    g_pApp->m_strAppName = name;
    g_pApp->m_pszAppName = g_pApp->m_strAppName.c_str();
    return TRUE;
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    if (!AfxWinInit(hInstance, hPrevInstance, lpCmdLine, nCmdShow))
        return -1;
    CWinApp *pApp = AfxGetApp();
    pApp->InitInstance();
    // Nothing would run a window still open now.
    if (pApp->m_pMainWnd != nullptr)
        pApp->m_pMainWnd->DestroyWindow();
    return 0;
}
