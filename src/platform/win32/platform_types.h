// The Windows type names that platform.h uses, from the system's own headers.
#pragma once

#include <windef.h>
#include <winbase.h>
#include <winerror.h>

// The bytes a path buffer holds, its NUL included: MAX_PATH characters of up to three
// bytes each in UTF-8, as Hangul takes.
const unsigned PATH_SIZE = 3 * MAX_PATH + 1;

// The line end the platform's text files use.
#define PLATFORM_LINE_END "\r\n"

// Declared exactly as the system's headers declare the kernel32 functions.
#define PLATFORM_IMPORT DECLSPEC_IMPORT
