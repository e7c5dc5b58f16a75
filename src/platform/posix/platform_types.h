// The Windows type names and constants that platform.h uses, for systems other than Windows.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdint>

typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef LONG *PLONG;
typedef DWORD *LPDWORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
// A file descriptor plus one, carried in a pointer as Windows carries its handles.
typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef struct SecurityAttributes *LPSECURITY_ATTRIBUTES;  // never given here
typedef struct Overlapped *LPOVERLAPPED;                     // never given here

#define WINAPI
#ifndef FALSE
#define FALSE 0
#define TRUE 1
#endif
// Paths are limited by the system, not by the 260 bytes of Windows.
#define MAX_PATH PATH_MAX
// The bytes a path buffer holds, its NUL included.
const unsigned PATH_SIZE = PATH_MAX;

#define INVALID_HANDLE_VALUE nullptr
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define DELETE 0x00010000u
#define CREATE_NEW 1u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_TYPE_UNKNOWN 0u
#define FILE_TYPE_DISK 1u
#define FILE_TYPE_CHAR 2u
#define FILE_TYPE_PIPE 3u
#define FILE_BEGIN 0u
#define INVALID_SET_FILE_POINTER (static_cast<DWORD>(-1))
// Another program holds a lock on the file.  In the range Windows leaves to applications,
// as the stand-ins report errno values for everything else.
#define ERROR_SHARING_VIOLATION 0x20000020u

// A path longer than its buffer.
#define ERROR_FILENAME_EXCED_RANGE ENAMETOOLONG
#define ERROR_FILE_NOT_FOUND ENOENT
#define ERROR_PATH_NOT_FOUND ENOENT
#define ERROR_FILE_EXISTS EEXIST
#define ERROR_NOT_ENOUGH_MEMORY ENOMEM
#define ERROR_NOT_SUPPORTED ENOTSUP
#define ERROR_BROKEN_PIPE EPIPE
#define ERROR_DISK_FULL ENOSPC

// What GetFileInformationByHandle tells of a file: the fields the core reads.  The volume
// is the device, the file index the inode.
typedef struct {
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

// The line end the platform's text files use.
#define PLATFORM_LINE_END "\n"

// Our stand-ins are ordinary functions of this program.
#define PLATFORM_IMPORT
#define PLATFORM_PATH_CALL
