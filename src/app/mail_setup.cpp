// Reads the mail directory from the mail client's registry key.
#include "mail_setup.h"

#include "resource.h"

const char MAIL_SETUP_KEY[] = "Software\\Netscape\\Netscape Navigator\\Mail";
const char MAIL_DIRECTORY_VALUE[] = "Mail Directory";

UINT FindInboxPath(HKEY root, LPCSTR subkey, CString &inboxPath)
{
    HKEY hKey;
    if (RegOpenKeyA(root, subkey, &hKey) != ERROR_SUCCESS)
        return IDS_REG_OPEN_FAILED;

    // Room for the longest value read and a NUL after it.
    char szDirectory[MAIL_DIRECTORY_MAX + 1];
    DWORD dwType = REG_SZ;
    DWORD cbDirectory = MAIL_DIRECTORY_MAX;
    LONG result = RegQueryValueExA(hKey, MAIL_DIRECTORY_VALUE, nullptr, &dwType,
                                   reinterpret_cast<BYTE *>(szDirectory), &cbDirectory);
    RegCloseKey(hKey);
    if (result != ERROR_SUCCESS || cbDirectory > MAIL_DIRECTORY_MAX)
        return IDS_NO_MAIL_SETUP;

    // A value stored without its NUL, or empty, ends where the query says it does.
    szDirectory[cbDirectory] = '\0';
    inboxPath = CString(szDirectory) + "\\Inbox";
    return 0;
}
