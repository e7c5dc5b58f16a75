// The few Windows file calls the conversion core uses, under their Windows names.
//
// On Windows these are the real kernel32 functions; everywhere else src/platform/posix
// stands in for them.  The build picks the directory that provides platform_types.h,
// so nothing that includes this header needs to know which system it runs on.
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform_types.h"

extern "C" {

// Puts the user's directory for temporary files into buffer, ending in a path separator.
// Returns the length of the text without its NUL; a result larger than size is the size
// the buffer would need, and the buffer is then undefined.  0 means failure.
PLATFORM_IMPORT DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer);

// With unique 0: creates a new, empty file named directory + the first three characters of
// prefix + up to four hexadecimal digits + ".TMP", never an existing one, and puts its name
// into buffer (at least MAX_PATH bytes).  Returns the number used in the name; 0 means
// failure, and then no file was created.
PLATFORM_IMPORT UINT WINAPI GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR buffer);

// Copies the file existing onto newName, replacing its contents when failIfExists is FALSE.
// Returns 0 on failure; when existing cannot be read, newName is left as it was.
PLATFORM_IMPORT BOOL WINAPI CopyFileA(LPCSTR existing, LPCSTR newName, BOOL failIfExists);

// Deletes a file.  Returns 0 on failure (no such file, no permission).
PLATFORM_IMPORT BOOL WINAPI DeleteFileA(LPCSTR path);

// The reason for the last failed call of this thread, and a way to put it back.
PLATFORM_IMPORT DWORD WINAPI GetLastError(void);
PLATFORM_IMPORT void WINAPI SetLastError(DWORD code);

}  // extern "C"

// Puts a one-line text for a GetLastError() code into text; returns false when the system
// has none.  Ours, not the system's: it hides how each system words its messages.
bool DescribeError(DWORD code, char *text, std::size_t size);

// --- Writing a converted folder to a file of its own ---

extern "C" {

#ifndef MOVEFILE_REPLACE_EXISTING
#define MOVEFILE_REPLACE_EXISTING 0x1
#define MOVEFILE_WRITE_THROUGH 0x8
#endif

// Renames existing to newName.  With MOVEFILE_REPLACE_EXISTING an existing newName is
// replaced in one step: a reader sees the old file or the new one, never a mix.  With
// MOVEFILE_WRITE_THROUGH it returns only once the new name is on the disk.  Returns 0 on
// failure; both files are then as they were.
PLATFORM_IMPORT BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags);

}  // extern "C"

// Makes stream, standard input or output, pass every byte as it is: no line end
// translation.  Returns false when the system refuses.  Ours, not the system's.
bool SetBinaryMode(FILE *stream);

