// The program's text (UTF-8) and paths for the wide calls of Windows, made as our own path
// calls (files.cpp) make them.
#pragma once

#include <string>
#include <vector>

// The program's text, UTF-8 whatever the ANSI code page, as UTF-16.  False where it is not
// UTF-8 (ERROR_NO_UNICODE_TRANSLATION).
bool Widen(const char *text, std::wstring &wide);
// UTF-16 text as the program's UTF-8.  False where it holds what UTF-8 cannot spell (a
// surrogate alone, as a file name may); text then has U+FFFD in its place, to be shown.
bool Narrow(const wchar_t *wide, std::string &text);

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
// The words of a command line, the program's name first, split as the C runtime splits
// them but for backslashes before a quote that closes an argument (ProgramArguments).
std::vector<std::wstring> SplitCommandLine(const wchar_t *line);
