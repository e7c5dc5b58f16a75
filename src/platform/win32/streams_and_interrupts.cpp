// Standard streams in binary mode on Windows, where they translate line ends by default,
// and a file removed when the console interrupts the program.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstring>

#include "platform.h"

bool SetBinaryMode(FILE *stream)
{
    return _setmode(_fileno(stream), _O_BINARY) != -1;
}

long long StreamPosition(FILE *stream)
{
    // Only a file on a disk has positions to go back to; the C library's seek on a pipe
    // does not fail everywhere.
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));  // NOLINT(performance-no-int-to-ptr)
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK)
        return -1;
    return _ftelli64(stream);
}

bool SetStreamPosition(FILE *stream, long long position)
{
    return _fseeki64(stream, position, SEEK_SET) == 0;
}

namespace {

// The file to delete, copied: the system calls the handler on a thread of its own, which
// may run while the caller lets go of its path.  The lock keeps the two apart.
SRWLOCK g_removeLock = SRWLOCK_INIT;
char g_removeOnInterrupt[PATH_SIZE];

BOOL WINAPI RemoveAndEnd(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        AcquireSRWLockExclusive(&g_removeLock);
        if (g_removeOnInterrupt[0] != '\0')
            (void)DeleteFileA(g_removeOnInterrupt);
        g_removeOnInterrupt[0] = '\0';
        ReleaseSRWLockExclusive(&g_removeLock);
        // With the exit code the system's own handler gives, but without the C library's
        // exit (EndAtOnceOnInterrupt).
        (void)TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    }
    return FALSE;
}

bool g_handlerInstalled;

void InstallHandler()
{
    if (!g_handlerInstalled)
        g_handlerInstalled = SetConsoleCtrlHandler(RemoveAndEnd, TRUE) != 0;
}

}  // namespace

void EndAtOnceOnInterrupt()
{
    InstallHandler();
}

void RemoveOnInterrupt(const char *path)
{
    std::size_t length = path != nullptr ? std::strlen(path) : 0;
    AcquireSRWLockExclusive(&g_removeLock);
    // A name cut short could be another file's: one too long is not kept at all.
    if (length < sizeof g_removeOnInterrupt)
        std::memcpy(g_removeOnInterrupt, path != nullptr ? path : "", length + 1);
    else
        g_removeOnInterrupt[0] = '\0';
    ReleaseSRWLockExclusive(&g_removeLock);
    if (path != nullptr)
        InstallHandler();
}
