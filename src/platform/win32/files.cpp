// Our own file helpers over Windows file handles.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform.h"

FILE *OpenHandleStream(HANDLE file, const char *mode)
{
    // A duplicate shares the file's position and its share mode, which stays in force when
    // the stream closes the duplicate.
    HANDLE process = GetCurrentProcess();
    HANDLE copy;
    if (!DuplicateHandle(process, file, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    // The mode of the stream, "rb" or "wb", says the rest.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(copy), 0);
    if (fd < 0) {
        CloseHandle(copy);
        return nullptr;
    }
    FILE *stream = _fdopen(fd, mode);
    if (stream == nullptr) {
        DWORD error = GetLastError();
        _close(fd);
        SetLastError(error);
    }
    return stream;
}

bool CopyWithinSystem(HANDLE, HANDLE)
{
    // Windows copies only whole files by name: the caller copies by hand.
    return false;
}

bool FlushDirectory(const char *)
{
    // NTFS keeps the names of a directory in its own journal, on the disk with the files'
    // own flushes.
    return true;
}

bool IsPrivateFile(HANDLE)
{
    // The temporary directory is the user's own (in the profile), not shared.
    return true;
}

bool TakeFolderLockFile(const char *, bool *taken)
{
    // Windows mail programs keep others out with share modes, which the job uses.
    *taken = false;
    return true;
}

void ReleaseFolderLockFile(const char *)
{
}

bool RemoveStaleFolderLockFile(const char *)
{
    return true;
}

bool ResolvePath(const char *path, char *resolved)
{
    // Mail folders on Windows are not reached through links.
    int n = std::snprintf(resolved, MAX_PATH, "%s", path);
    return n >= 0 && n < MAX_PATH;
}
