// The main window: conversion on request, the system-menu items, the icons; the About box.
#include "quorvel_dlg.h"

#include <cstdio>

#include <string>

#include "convert.h"
#include "mbox.h"
#include "platform.h"
#include "quorvel_app.h"
#include "resource.h"

namespace {

HICON LoadAppIcon(UINT nID)
{
    HINSTANCE hInst = AfxFindResourceHandle(MAKEINTRESOURCEA(nID), RT_GROUP_ICON);
    return LoadIconA(hInst, MAKEINTRESOURCEA(nID));
}

}  // namespace

BEGIN_MESSAGE_MAP(CQuorvelDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_COMMAND(IDC_EXIT, OnExit)
    ON_COMMAND(IDC_CONVERT, OnConvert)
    ON_COMMAND(IDC_ABOUT, OnAbout)
END_MESSAGE_MAP()

CQuorvelDlg::CQuorvelDlg() : CDialog(IDD_MAIN), m_hIcon(LoadAppIcon(IDR_MAINFRAME)) {}

BOOL CQuorvelDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    // The menu texts come from the template, so each language brings its own.
    CMenu sysMenu = CMenu::FromHandle(GetSystemMenu(m_hWnd, FALSE));
    CString strAbout, strConvert;
    GetDlgItemText(IDC_TEXT_MENU_ABOUT, strAbout);
    GetDlgItemText(IDC_TEXT_MENU_CONVERT, strConvert);
    if (sysMenu.m_hMenu != nullptr && !strAbout.IsEmpty()) {
        sysMenu.AppendMenu(MF_SEPARATOR);
        sysMenu.AppendMenu(MF_STRING, IDM_CONVERT, strConvert);
        sysMenu.AppendMenu(MF_STRING, IDM_ABOUTBOX, strAbout);
    }

    HICON hBig = LoadAppIcon(IDR_MAINFRAME);
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hBig));
    HICON hSmall = LoadAppIcon(IDI_SMALL);
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hSmall));
    return TRUE;
}

void CQuorvelDlg::OnSysCommand(UINT nID, LPARAM)
{
    switch (nID & 0xFFF0) {
    case IDM_ABOUTBOX:
        OnAbout();
        break;
    case IDM_CONVERT:
        OnConvert();
        break;
    default:
        Default();
        break;
    }
}

void CQuorvelDlg::OnPaint()
{
    if (!IsIconic(m_hWnd)) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.m_hDC), 0);
    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(m_hWnd, &rect);
    int x = (rect.right - rect.left - cxIcon + 1) / 2;
    int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    DrawIcon(dc.m_hDC, x, y, m_hIcon);
}

HCURSOR CQuorvelDlg::OnQueryDragIcon()
{
    return m_hIcon;
}

void CQuorvelDlg::OnExit()
{
    EndDialog(0);
}

void CQuorvelDlg::OnConvert()
{
    CString strSaved, strText;
    GetDlgItemText(IDC_STATUS, strSaved);
    GetDlgItemText(IDC_TEXT_CONVERTING, strText);
    SetDlgItemText(IDC_STATUS, strText);

    // The job runs to its end here; the window handles nothing meanwhile.
    std::string inboxPath = theApp.m_strInboxPath.ToUtf8();
    SJobResult result;
    // The window converts as one text; a relabelling that quorvel-convert was stopped in is
    // completed as it began.
    SConverters converters;
    converters.others = &RELABELLING;
    converters.otherCount = 1;
    if (!ConvertFolderAtPath(inboxPath.c_str(), converters, &result)) {
        // The template's words, then why (a folder in use tells the user to close the mail
        // client), then where the original is if the folder may be damaged, and the command
        // that puts it back.
        DWORD error = GetLastError();
        GetDlgItemText(IDC_TEXT_FAILED, strText);
        char reason[512];
        if (DescribeError(error, reason, sizeof reason))
            strText += CString(L"\n") + CString::FromUtf8(reason);
        if (result.stateDirectoryAtFault && result.stateDirectory[0] != '\0')
            strText += CString(L"\n") + CString::FromUtf8(result.stateDirectory);
        // A trace beside the folder whose record this run cannot find: both named, as paths.
        if (result.trace[0] != '\0')
            strText += CString(L"\n") + CString::FromUtf8(result.trace) + CString(L"\n") +
                       CString::FromUtf8(result.keptRecord);
        if (result.keptCopy[0] != '\0') {
            char kept[64];
            std::snprintf(kept, sizeof kept, " (from byte %llu)", static_cast<unsigned long long>(result.keptFrom));
            strText += CString(L"\n") + CString::FromUtf8(result.keptCopy) + CString(kept) +
                       CString(L"\nquorvel-convert --undo \"") + CString::FromUtf8(inboxPath.c_str()) + CString(L"\"");
        }
        MessageBox(strText);
    }
    SetDlgItemText(IDC_STATUS, strSaved);
}

void CQuorvelDlg::OnAbout()
{
    CAboutDlg dlgAbout;
    dlgAbout.DoModal();
}

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
