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

// The calls of platform.h that take or give a path are our own (files.cpp): the A calls would
// pass it through the system's path normalisation, which drops trailing dots and spaces,
// turns "aux.mbox" into the serial port AUX, and refuses more than MAX_PATH characters.
// Whoever includes platform.h calls ours under the system's names.
#define PLATFORM_PATH_CALL
#define CreateFileA PlatformCreateFileA
#define DeleteFileA PlatformDeleteFileA
#define MoveFileExA PlatformMoveFileExA
// And GetTempPathA, which gives the directory in UTF-8 whatever the ANSI code page.
#define GetTempPathA PlatformGetTempPathA
