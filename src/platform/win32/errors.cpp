// Words for Windows error codes, from the system's message tables.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform.h"

bool DescribeError(DWORD code, char *text, std::size_t size)
{
    if (code == 0 || size == 0)
        return false;
    if (const char *own = DescribeOwnError(code)) {
        std::snprintf(text, size, "%s", own);
        return true;
    }
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                             static_cast<DWORD>(size), nullptr);
    // The system ends its texts with a full stop and CR LF; one line wants neither.
    while (n > 0 && std::strchr("\r\n .", text[n - 1]) != nullptr)
        text[--n] = '\0';
    return n > 0;
}
