// Our own file helpers over Windows file handles.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

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

bool FlushDirectory(const char *path)
{
    // Write access, which a flush needs, and no share mode that could keep anyone out.
    HANDLE dir = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // Anything but a missing directory is a refusal: a user may not write to every
        // directory, and NTFS keeps its names in its own journal all the same.
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_NAME;
    }
    bool ok = FlushFileBuffers(dir) != 0;
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(dir);
    // Not every file system flushes a directory (FAT, network drives); those refuse.
    if (!ok && (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
                error == ERROR_INVALID_PARAMETER))
        ok = true;
    SetLastError(error);
    return ok;
}

bool IsPrivateFile(HANDLE)
{
    // The state directory is in the user's profile, which only the user (and the system's
    // administrators) may open.
    return true;
}

bool GetFileIdentity(HANDLE file, SFileIdentity *id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    // The 32-bit volume serial number, whichever way the index comes: FILE_ID_INFO's own is
    // 64 bits wide on NTFS, and the two would not agree.
    id->volume = info.dwVolumeSerialNumber;
    id->indexHigh = 0;
    id->indexLow = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    id->size = static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    // ReFS numbers its files in 128 bits, of which the 64-bit index above is not unique.
    // Where the system gives them (Windows 8 and later) they name the file; NTFS gives its
    // 64-bit index in the low half, the same as above, and file systems without such ids
    // give zero.
    FILE_ID_INFO ids;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &ids, sizeof ids)) {
        std::uint64_t low, high;
        std::memcpy(&low, ids.FileId.Identifier, sizeof low);
        std::memcpy(&high, ids.FileId.Identifier + sizeof low, sizeof high);
        if (low != 0 || high != 0) {
            id->indexHigh = high;
            id->indexLow = low;
        }
    }
    if (id->volume == 0 && id->indexHigh == 0 && id->indexLow == 0) {
        SetLastError(ERROR_NO_FILE_IDENTITY);
        return false;
    }
    return true;
}

bool SameFile(const SFileIdentity &a, const SFileIdentity &b)
{
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

namespace {

// Whether name ends in suffix, ignoring the case of ASCII letters as Windows file names do.
bool EndsWith(const char *name, const char *suffix)
{
    std::size_t n = std::strlen(name), m = std::strlen(suffix);
    if (m > n)
        return false;
    for (std::size_t i = 0; i < m; ++i) {
        char a = name[n - m + i], b = suffix[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = static_cast<char>(b - 'A' + 'a');
        if (a != b)
            return false;
    }
    return true;
}

}  // namespace

bool ListDirectory(const char *dir, const char *suffix, void (*found)(const char *name, void *context),
                   void *context)
{
    std::string pattern = dir;
    if (!pattern.empty() && std::strchr("\\/:", pattern.back()) == nullptr)
        pattern += '\\';
    pattern += '*';
    pattern += suffix;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;  // a directory with no such entry
    do {
        // The pattern matches short names too: "Inbox.jnlx" is also "INBOX~1.JNL".
        if (std::strlen(entry.cFileName) > std::strlen(suffix) && EndsWith(entry.cFileName, suffix))
            found(entry.cFileName, context);
    } while (FindNextFileA(search, &entry));
    DWORD error = GetLastError();
    FindClose(search);
    SetLastError(error);
    return error == ERROR_NO_MORE_FILES;
}

namespace {

// A virus scanner or the indexer that opens a file we delete keeps it a moment: so many
// tries, so far apart.  Windows only; natively nothing holds a file against its deletion.
const int DELETE_TRIES = 5;
const DWORD DELETE_RETRY_MILLISECONDS = 50;

bool IsHeldByAnother(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

}  // namespace

bool DeleteHeldFile(HANDLE handle, const char *path)
{
    // Through the handle, whose DELETE access keeps out every later open that does not
    // share deletion.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    bool marked = false;
    for (int attempt = 1;; ++attempt) {
        marked = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
        if (marked || attempt == DELETE_TRIES || !IsHeldByAnother(GetLastError()))
            break;
        Sleep(DELETE_RETRY_MILLISECONDS);
    }
    CloseHandle(handle);
    if (marked)
        return true;
    // A file system that takes no disposition (some network drives) may still delete by name.
    for (int attempt = 1;; ++attempt) {
        if (DeleteFileA(path))
            return true;
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return true;  // gone already
        if (attempt == DELETE_TRIES || !IsHeldByAnother(error))
            return false;
        Sleep(DELETE_RETRY_MILLISECONDS);
    }
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
    int n = std::snprintf(resolved, PATH_SIZE, "%s", path);
    return n >= 0 && static_cast<unsigned>(n) < PATH_SIZE;
}

bool IsOwnFile(HANDLE)
{
    // The state directory is the user's own, in the profile.
    return true;
}
