// The few Windows calls the conversion core and the window's job use, under their Windows
// names, each with what the program relies on of it.
//
// On Windows these are the real kernel32 functions, but for the four that take or give a
// path (CreateFileA, DeleteFileA, MoveFileExA, GetTempPathA): those are our own there, over
// the wide calls, so that a path is UTF-8 whatever the ANSI code page and reaches the very
// file it names, however long, its trailing dots and spaces kept and a name such as
// "aux.mbox" a file's (src/platform/win32/files.cpp).
// Everywhere else src/platform/posix stands in for them all.
#pragma once

#include "platform_types.h"

extern "C" {

// Puts the user's directory for temporary files into buffer, ending in a path separator.
// Returns the length of the text without its NUL; a result larger than size is the size
// the buffer would need, and the buffer is then undefined.  0 means failure.
PLATFORM_PATH_CALL DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer);

// With unique 0: creates a new, empty file named directory + the first three characters of
// prefix + up to four hexadecimal digits + ".TMP", never an existing one, and puts its name
// into buffer (at least MAX_PATH bytes).  Returns the number used in the name; 0 means
// failure, and then no file was created.
PLATFORM_IMPORT UINT WINAPI GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR buffer);

// Opens the file name for access (GENERIC_READ, GENERIC_WRITE or both).  shareMode says
// what others may do with the file while this handle is open: FILE_SHARE_READ alone keeps
// every other writer out, and an open that would let in a writer already there fails with
// ERROR_SHARING_VIOLATION.  The core passes no security attributes, FILE_ATTRIBUTE_NORMAL
// as flags and no template.  disposition is OPEN_EXISTING, or CREATE_NEW for a new file
// that only its owner may read (ERROR_FILE_EXISTS when the name is taken, even by a link).
// Never waits for a device or a pipe.  Returns INVALID_HANDLE_VALUE on failure.
PLATFORM_PATH_CALL HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD shareMode,
                                          LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                          DWORD flags, HANDLE templateFile);

// What an open handle refers to: FILE_TYPE_DISK for a file on a disk; FILE_TYPE_CHAR,
// FILE_TYPE_PIPE or FILE_TYPE_UNKNOWN for anything else.
PLATFORM_IMPORT DWORD WINAPI GetFileType(HANDLE file);

// Puts the file's volume, index (the two name the file itself, whatever the path) and size
// into *info.  0 means failure.
PLATFORM_IMPORT BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);

// Reads up to size bytes at the file's position into buffer and puts the number read
// (0 at the end of the file) into *done.  The core passes no OVERLAPPED.  0 means failure.
PLATFORM_IMPORT BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done,
                                     LPOVERLAPPED overlapped);

// Writes all size bytes of buffer at the file's position and puts size into *done.
// 0 means failure, after which part of the bytes may have been written.
PLATFORM_IMPORT BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD done,
                                      LPOVERLAPPED overlapped);

// The core uses it only with FILE_BEGIN, to put the position at distance + distanceHigh
// * 2^32.  Returns the low part of the new position, or INVALID_SET_FILE_POINTER on failure
// (which may also be a low part: then GetLastError() is 0).
PLATFORM_IMPORT DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh,
                                            DWORD method);

// Cuts the file, or makes it longer, to end at its current position.  0 means failure.
PLATFORM_IMPORT BOOL WINAPI SetEndOfFile(HANDLE file);

// Returns once everything written to the file, its length included, is on the disk.
// 0 means failure: what was written may then never reach the disk.
PLATFORM_IMPORT BOOL WINAPI FlushFileBuffers(HANDLE file);

// Closes a handle, letting go of what its share mode kept out.  0 means failure.
PLATFORM_IMPORT BOOL WINAPI CloseHandle(HANDLE handle);

// Deletes a file.  Returns 0 on failure (no such file, no permission).
PLATFORM_PATH_CALL BOOL WINAPI DeleteFileA(LPCSTR path);

// The reason for the last failed call of this thread, and a way to put it back.
PLATFORM_IMPORT DWORD WINAPI GetLastError(void);
PLATFORM_IMPORT void WINAPI SetLastError(DWORD code);

}  // extern "C"

// The rename that writes a converted folder to a file of its own.
extern "C" {

#ifndef MOVEFILE_REPLACE_EXISTING
#define MOVEFILE_REPLACE_EXISTING 0x1
#define MOVEFILE_WRITE_THROUGH 0x8
#endif

// Renames existing to newName.  With MOVEFILE_REPLACE_EXISTING an existing newName is
// replaced in one step: a reader sees the old file or the new one, never a mix.  On Windows
// that rename goes through existing's handle with POSIX semantics where the system has them
// (Windows 10 1709 and later, NTFS): a newName that another program holds open sharing
// deletion, or that is read-only, is replaced as natively; elsewhere (Wine, FAT) it fails
// then.  With MOVEFILE_WRITE_THROUGH it returns only once the new name is on the disk.
// Returns 0 on failure; both files are then as they were.
PLATFORM_PATH_CALL BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags);

}  // extern "C"

// The processor features that IsProcessorFeaturePresent is asked about: SSE2, SSSE3, AVX2, AVX-512.
#ifndef PF_XMMI64_INSTRUCTIONS_AVAILABLE
#define PF_XMMI64_INSTRUCTIONS_AVAILABLE 10
#endif
#ifndef PF_SSSE3_INSTRUCTIONS_AVAILABLE
#define PF_SSSE3_INSTRUCTIONS_AVAILABLE 36
#endif
#ifndef PF_AVX2_INSTRUCTIONS_AVAILABLE
#define PF_AVX2_INSTRUCTIONS_AVAILABLE 40
#endif
#ifndef PF_AVX512F_INSTRUCTIONS_AVAILABLE
#define PF_AVX512F_INSTRUCTIONS_AVAILABLE 41
#endif

extern "C" {

// Nonzero when the processor offers feature (a PF_ value), 0 when it does not or when the
// system does not know the value (older Windows and Wine do not know SSSE3).
PLATFORM_IMPORT BOOL WINAPI IsProcessorFeaturePresent(DWORD feature);

}  // extern "C"

extern "C" {

// Puts this machine's name into buffer (*size bytes) and its length, without its NUL, into
// *size.  0 means failure (where the buffer is too small, *size is then the size needed).
PLATFORM_IMPORT BOOL WINAPI GetComputerNameA(LPSTR buffer, LPDWORD size);

// Makes a pipe: what is written to *write is read from *read, in order; once every handle
// of its writing end is closed, a read there gives 0 bytes, or on Windows fails with
// ERROR_BROKEN_PIPE.  The core passes no security attributes; size is a hint for its
// buffer.  Neither handle is inherited by programs started later.  0 means failure.
PLATFORM_IMPORT BOOL WINAPI CreatePipe(PHANDLE read, PHANDLE write, LPSECURITY_ATTRIBUTES security, DWORD size);

}  // extern "C"
