// CDialog: the modal run, the binding of the dialog window, and the OK and Cancel commands.
#include "dialog.h"

#include "winapp.h"

namespace {

// Puts a dialog in the middle of its owner, or of the screen's work area when it has none
// (or the owner is minimized or hidden).
void CentreDialog(HWND hDlg, HWND hOwner)
{
    RECT rcDlg, rcArea;
    GetWindowRect(hDlg, &rcDlg);
    if (hOwner != nullptr && IsWindowVisible(hOwner) && !IsIconic(hOwner))
        GetWindowRect(hOwner, &rcArea);
    else
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcArea, 0);
    int cx = rcDlg.right - rcDlg.left;
    int cy = rcDlg.bottom - rcDlg.top;
    int x = rcArea.left + (rcArea.right - rcArea.left - cx) / 2;
    int y = rcArea.top + (rcArea.bottom - rcArea.top - cy) / 2;
    SetWindowPos(hDlg, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

// The dialog procedure the system calls. It only binds the object at WM_INITDIALOG; from
// then on the window's messages reach the object through AfxWndProc first, and this
// procedure answers FALSE ("not handled") to what the dialog manager passes on to it.
INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM, LPARAM lParam)
{
    if (message != WM_INITDIALOG)
        return FALSE;
    // DoModal passed the object as the message's parameter.
    CDialog *pDlg = reinterpret_cast<CDialog *>(lParam);  // NOLINT(performance-no-int-to-ptr)
    pDlg->Attach(hWnd);
    if (pDlg->m_bCentre)
        CentreDialog(hWnd, GetWindow(hWnd, GW_OWNER));
    return pDlg->OnInitDialog();
}

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    // Called through pointers to virtual members, so a subclass's OnOK and OnCancel run.
    ON_COMMAND(IDOK, OnOK)
    ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd *pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd)
{
}

INT_PTR CDialog::DoModal()
{
    HWND hOwner = nullptr;
    if (m_pParentWnd != nullptr) {
        hOwner = m_pParentWnd->m_hWnd;
    } else {
        CWinApp *pApp = AfxGetApp();
        if (pApp != nullptr && pApp->m_pMainWnd != nullptr && pApp->m_pMainWnd != this)
            hOwner = pApp->m_pMainWnd->m_hWnd;
    }

    // The template in the user's language, as the resource loader picks it.
    HINSTANCE hInst = AfxFindResourceHandle(MAKEINTRESOURCEA(m_nIDTemplate), RT_DIALOG);
    HRSRC hResource = FindResourceA(hInst, MAKEINTRESOURCEA(m_nIDTemplate), RT_DIALOG);
    if (hResource == nullptr)
        return -1;
    HGLOBAL hTemplate = LoadResource(hInst, hResource);
    if (hTemplate == nullptr)
        return -1;
    const BYTE *pTemplate = static_cast<const BYTE *>(LockResource(hTemplate));
    if (pTemplate == nullptr)
        return -1;
    // Its position: after style, extended style and item count in the classic format;
    // after version, signature, help id, extended style, style and item count in the
    // extended one, which starts with version 1 and signature 0xFFFF.
    const WORD *pWords = reinterpret_cast<const WORD *>(pTemplate);
    const WORD *pPosition = pWords[0] == 1 && pWords[1] == 0xFFFF ? pWords + 9 : pWords + 5;
    m_bCentre = pPosition[0] == 0 && pPosition[1] == 0;

    // The system disables the owner for the length of the run and enables it again after.
    return DialogBoxIndirectParamW(hInst, reinterpret_cast<LPCDLGTEMPLATEW>(pTemplate), hOwner,
                                   &AfxDlgProc, reinterpret_cast<LPARAM>(this));
}

void CDialog::EndDialog(int nResult)
{
    ::EndDialog(m_hWnd, nResult);
}

BOOL CDialog::OnInitDialog()
{
    return TRUE;
}

void CDialog::OnOK()
{
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}
