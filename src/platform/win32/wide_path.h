// Paths for the wide calls of Windows, made as our own path calls (files.cpp) make them.
#pragma once

#include <string>

// text in the program's code page (UTF-8, as its manifest makes it) as UTF-16.  False
// where it cannot be converted (ERROR_NO_UNICODE_TRANSLATION).
bool Widen(const char *text, std::wstring &wide);

// path as the wide calls are to take it: a full path that starts "\\?\", which the system
// takes as it stands, so that it reaches the very file it names (trailing dots and spaces
// kept, "aux.mbox" a file and not the device AUX) and may be longer than MAX_PATH.  "." and
// ".." are resolved, and the separators made the system's, as the A calls would.  A device
// named as one (IsDeviceName), and a path that starts "\\?\" or "\\.\" already, are passed
// on as they are.  False with the system's error where path cannot be converted or the
// current directory cannot be read.
bool WidePath(const char *path, std::wstring &wide);

struct SDirectoryEntry;
// Calls found for every entry of the directory dir (ending in its separator or not) but "."
// and "..", in the directory's own order.  An entry that is deleted while it is read is left
// out.  False when dir cannot be opened, or cannot be read to its end (GetLastError() says
// why; the entries read before were told).  CHeldDirectory::Read on Windows (walk.cpp).
bool ReadDirectory(const char *dir, void (*found)(const SDirectoryEntry &entry, void *context), void *context);
