// Finds the Inbox folder file through the mail client's per-user registry key.
#pragma once

#include <windows.h>

#include "cstring.h"

// The mail client's key under HKEY_CURRENT_USER, and its value naming the mail directory.
extern const char MAIL_SETUP_KEY[];
extern const char MAIL_DIRECTORY_VALUE[];

// The longest "Mail Directory" value read, in bytes as the query gives them, NUL included.
const DWORD MAIL_DIRECTORY_MAX = 493;

// Reads the value "Mail Directory" of the key root\subkey and sets inboxPath to the
// directory it names followed by "\Inbox". Returns 0 on success. Otherwise returns the id
// of the start-up message that says why, and leaves inboxPath as it was:
//   IDS_REG_OPEN_FAILED   the key cannot be opened;
//   IDS_NO_MAIL_SETUP     the value is missing, or longer than MAIL_DIRECTORY_MAX bytes.
// The value's type is not looked at. Its text ends at its first NUL, or at the length the
// query gives when it has none, so a value stored without its NUL, or empty, gives exactly
// its text. The key is only read, and is closed before the function returns.
UINT FindInboxPath(HKEY root, LPCSTR subkey, CString &inboxPath);
