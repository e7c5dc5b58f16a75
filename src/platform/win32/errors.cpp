// Words for Windows error codes, from the system's message tables.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform.h"
#include "wide_path.h"

bool DescribeError(DWORD code, char *text, std::size_t size)
{
    if (code == 0 || size == 0)
        return false;
    if (const char *own = DescribeOwnError(code)) {
        std::snprintf(text, size, "%s", own);
        return true;
    }
    // In wide characters, and then UTF-8, whatever the ANSI code page.
    wchar_t wide[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), wide, sizeof wide / sizeof wide[0], nullptr);
    // The system ends its texts with a full stop and CR LF; one line wants neither.
    while (n > 0 && std::wcschr(L"\r\n .", wide[n - 1]) != nullptr)
        wide[--n] = L'\0';
    std::string narrow;
    if (n == 0 || (!Narrow(wide, narrow) && narrow.empty()))
        return false;
    std::snprintf(text, size, "%s", narrow.c_str());
    // Never cut in the middle of a character.
    std::size_t m = std::strlen(text);
    while (m > 0 && m < narrow.size() && (static_cast<unsigned char>(narrow[m]) & 0xC0) == 0x80)
        text[--m] = '\0';
    return m > 0;
}
