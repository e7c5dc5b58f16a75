// The Windows type names that platform.h uses, for systems other than Windows.
#pragma once

#include <cstdint>

typedef std::uint32_t DWORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef char *LPSTR;
typedef const char *LPCSTR;

#define WINAPI
#ifndef FALSE
#define FALSE 0
#define TRUE 1
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

// The line end the platform's text files use.
#define PLATFORM_LINE_END "\n"

// Our stand-ins are ordinary functions of this program.
#define PLATFORM_IMPORT
