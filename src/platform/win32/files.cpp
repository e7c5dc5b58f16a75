// Our own file helpers over Windows file handles.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "wide_path.h"

// --- Paths as they stand ---

namespace {

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Whether name (one name, without its directory) is one that Windows keeps for a device:
// CON, PRN, AUX, NUL, COM1 to COM9 or LPT1 to LPT9, in any case, with nothing after it but
// spaces or a colon.
bool IsDeviceWord(const std::wstring &name)
{
    std::size_t end = name.size();
    while (end > 0 && (name[end - 1] == L' ' || name[end - 1] == L':'))
        --end;
    std::wstring word = name.substr(0, end);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; });
    if (word == L"CON" || word == L"PRN" || word == L"AUX" || word == L"NUL")
        return true;
    return word.size() == 4 && (word.compare(0, 3, L"COM") == 0 || word.compare(0, 3, L"LPT") == 0) &&
           word[3] >= L'1' && word[3] <= L'9';
}

bool StartsVerbatim(const std::wstring &path)
{
    return path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
           IsSeparator(path[3]);
}

// The last name of path, after its last separator or drive.
std::wstring LastName(const std::wstring &path)
{
    std::size_t at = path.find_last_of(L"\\/:");
    // A colon at the end belongs to the name ("NUL:").
    if (at != std::wstring::npos && path[at] == L':' && at + 1 == path.size()) {
        std::size_t before = at == 0 ? std::wstring::npos : path.find_last_of(L"\\/:", at - 1);
        return path.substr(before == std::wstring::npos ? 0 : before + 1);
    }
    return path.substr(at == std::wstring::npos ? 0 : at + 1);
}

// The directory that a path which does not start at a drive's root or a share is taken
// from: the current directory, the current directory of drive (for "C:name"), or the root
// of the current drive (for "\name").  Empty on failure.
std::wstring BaseOf(const std::wstring &path)
{
    std::wstring asked = path.size() >= 2 && path[1] == L':' ? path.substr(0, 2) : IsSeparator(path[0]) ? L"\\" : L".";
    DWORD n = GetFullPathNameW(asked.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return std::wstring();
    std::wstring base(n, L'\0');
    n = GetFullPathNameW(asked.c_str(), n, &base[0], nullptr);
    base.resize(n);
    return base;
}

}  // namespace

bool Widen(const char *text, std::wstring &wide)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    wide.assign(static_cast<std::size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &wide[0], n) != n) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return false;
    }
    wide.resize(static_cast<std::size_t>(n - 1));
    return true;
}

bool Narrow(const wchar_t *wide, std::string &text)
{
    // Strictly first, so that a name UTF-8 cannot spell is told apart.
    bool whole = true;
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        whole = false;
        n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    }
    if (n <= 0) {
        text.clear();
        return false;
    }
    text.assign(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, whole ? WC_ERR_INVALID_CHARS : 0, wide, -1, &text[0], n, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(n - 1));
    if (!whole)
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return whole;
}

bool IsDeviceName(const char *path)
{
    std::wstring wide;
    if (!Widen(path, wide))
        return false;
    // A path that starts \\?\ is taken as it stands: "\\?\C:\CON" is a file.
    return StartsVerbatim(wide) ? wide[2] == L'.' : IsDeviceWord(LastName(wide));
}

bool WidePath(const char *path, std::wstring &wide)
{
    std::wstring given;
    if (!Widen(path, given))
        return false;
    // No file name holds a pattern's * or ?: one that reaches here matched nothing.
    if (given.find_first_of(L"*?", StartsVerbatim(given) ? 4 : 0) != std::wstring::npos) {
        SetLastError(ERROR_PATTERN_UNMATCHED);
        return false;
    }
    if (given.empty() || StartsVerbatim(given) || IsDeviceWord(LastName(given))) {
        wide = given;
        return true;
    }
    // The full path, from a drive's root (C:\) or a share (\\server\share).
    std::wstring full = given;
    bool fromRoot = given.size() >= 3 && given[1] == L':' && IsSeparator(given[2]);
    bool fromShare = given.size() >= 2 && IsSeparator(given[0]) && IsSeparator(given[1]);
    if (!fromRoot && !fromShare) {
        std::wstring base = BaseOf(given);
        if (base.empty())
            return false;
        full = base + L'\\' + (given.size() >= 2 && given[1] == L':' ? given.substr(2) : given);
    }
    // A current directory given verbatim already.
    if (StartsVerbatim(full))
        full = full.compare(4, 4, L"UNC\\") == 0 ? L"\\\\" + full.substr(8) : full.substr(4);
    fromShare = full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1]);
    // Its names, "." and ".." resolved; the root's (the drive, or the server and share)
    // first.
    std::vector<std::wstring> names;
    std::size_t rootNames = fromShare ? 2 : 1;
    for (std::size_t at = 0; at <= full.size();) {
        std::size_t end = at;
        while (end < full.size() && !IsSeparator(full[end]))
            ++end;
        std::wstring name = full.substr(at, end - at);
        at = end + 1;
        if (name.empty() || (name == L"." && names.size() >= rootNames))
            continue;
        if (name == L".." && names.size() >= rootNames) {
            if (names.size() > rootNames)
                names.pop_back();
            continue;
        }
        names.push_back(name);
    }
    if (names.size() < rootNames) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    wide = fromShare ? L"\\\\?\\UNC" : L"\\\\?";
    for (const std::wstring &name : names)
        wide += L'\\' + name;
    if (names.size() == rootNames)
        wide += L'\\';  // the root itself, not the volume
    return true;
}

// CreateFileA, DeleteFileA and MoveFileExA, as platform_types.h names them for everyone.

HANDLE WINAPI PlatformCreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE templateFile)
{
    std::wstring wide;
    if (!WidePath(name, wide))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(wide.c_str(), access, shareMode, security, disposition, flags, templateFile);
}

BOOL WINAPI PlatformDeleteFileA(LPCSTR path)
{
    std::wstring wide;
    return WidePath(path, wide) && DeleteFileW(wide.c_str());
}

namespace {

// The rename flags of Windows 10 1709 and later, where the headers lack them.
const DWORD RENAME_REPLACE_IF_EXISTS = 0x1;
const DWORD RENAME_POSIX_SEMANTICS = 0x2;
const DWORD RENAME_IGNORE_READONLY_ATTRIBUTE = 0x40;
const FILE_INFO_BY_HANDLE_CLASS RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);  // FileRenameInfoEx

// Renames the file existing to newName through a handle, replacing a file there in one
// step even while another program has it open sharing deletion, or read-only.  False,
// with the system's error, where it cannot; ERROR_NOT_SUPPORTED where the system or the
// file system knows no such rename (before Windows 10 1709, FAT, Wine).
bool RenameThroughHandle(const std::wstring &existing, const std::wstring &newName, bool writeThrough)
{
    HANDLE file = CreateFileW(existing.c_str(), DELETE | (writeThrough ? GENERIC_WRITE : 0),
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_NOT_SUPPORTED);  // the ordinary rename says why, if it fails too
        return false;
    }
    std::size_t bytes = newName.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + bytes);
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    // In the union where ReplaceIfExists sits, FileRenameInfoEx reads the flags.
    DWORD renameFlags = RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS | RENAME_IGNORE_READONLY_ATTRIBUTE;
    std::memcpy(info, &renameFlags, sizeof renameFlags);
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->FileName, newName.c_str(), bytes);
    bool renamed = SetFileInformationByHandle(file, RENAME_INFO_EX, info, static_cast<DWORD>(buffer.size())) != 0;
    DWORD error = renamed ? 0 : GetLastError();
    if (renamed && writeThrough && !FlushFileBuffers(file))
        error = GetLastError();
    CloseHandle(file);
    if (!renamed && (error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION ||
                     error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED))
        error = ERROR_NOT_SUPPORTED;
    SetLastError(error);
    return renamed && error == 0;
}

}  // namespace

DWORD WINAPI PlatformGetTempPathA(DWORD size, LPSTR buffer)
{
    wchar_t wide[MAX_PATH + 2];
    DWORD n = GetTempPathW(sizeof wide / sizeof wide[0], wide);
    std::string text;
    if (n == 0 || n >= sizeof wide / sizeof wide[0] || !Narrow(wide, text))
        return 0;
    if (text.size() >= size)
        return static_cast<DWORD>(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

BOOL WINAPI PlatformMoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags)
{
    std::wstring from, to;
    if (!WidePath(existing, from) || !WidePath(newName, to))
        return FALSE;
    if ((flags & MOVEFILE_REPLACE_EXISTING) != 0) {
        if (RenameThroughHandle(from, to, (flags & MOVEFILE_WRITE_THROUGH) != 0))
            return TRUE;
        if (GetLastError() != ERROR_NOT_SUPPORTED)
            return FALSE;
    }
    return MoveFileExW(from.c_str(), to.c_str(), flags);
}

FILE *OpenCallStream(const SStreamCalls *, const char *)
{
    // The C library here has no streams over functions: the job takes its other way.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

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

void StartWriteBack(HANDLE, std::uint64_t, std::uint64_t)
{
    // Windows writes a file's dirty pages on its own within a second or so.
}

bool KeepFileTime(HANDLE from, HANDLE to)
{
    FILETIME created, accessed, written;
    return GetFileTime(from, &created, &accessed, &written) && SetFileTime(to, &created, &accessed, &written);
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

namespace {

// FNV-1a over text, from basis.
std::uint64_t HashText(const std::wstring &text, std::uint64_t basis)
{
    std::uint64_t hash = basis;
    for (wchar_t c : text) {
        hash ^= static_cast<std::uint16_t>(c);
        hash *= 0x100000001B3u;
    }
    return hash;
}

// The identity of a file whose file system numbers no file: its volume, marked in a bit
// that no volume serial number sets, and its full path, found through the handle, whatever
// the case of its letters (two 64-bit hashes of it).  Any path that reaches the file (a
// relative one, another case) gives the same identity, and another file another one.
bool IdentifyByPath(HANDLE file, SFileIdentity *id)
{
    std::wstring path(PATH_SIZE, L'\0');
    DWORD n = GetFinalPathNameByHandleW(file, &path[0], static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    if (n >= path.size()) {
        path.resize(n + 1);
        n = GetFinalPathNameByHandleW(file, &path[0], static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    }
    if (n == 0 || n >= path.size()) {
        SetLastError(ERROR_NO_FILE_IDENTITY);
        return false;
    }
    path.resize(n);
    CharUpperBuffW(&path[0], n);
    id->volume |= std::uint64_t(1) << 32;
    id->indexHigh = HashText(path, 0x6C62272E07BB0142u);
    id->indexLow = HashText(path, 0xCBF29CE484222325u);
    return true;
}

}  // namespace

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
    // A file system that numbers no file (an index of zero, as some network servers give)
    // would give every such file of the volume one identity, and the record of a job on one
    // folder would be taken for another's.  Such a file is known by its full path alone.
    if (id->indexHigh == 0 && id->indexLow == 0)
        return IdentifyByPath(file, id);
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
    std::wstring pattern;
    if (!WidePath(dir, pattern))
        return false;
    if (!pattern.empty() && pattern.back() != L'\\')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;  // a directory with no entry
    do {
        // Every name is looked at: a pattern would match short names too ("Inbox.jnlx" is
        // also "INBOX~1.JNL").
        std::string name;
        if (Narrow(entry.cFileName, name) && name.size() > std::strlen(suffix) && EndsWith(name.c_str(), suffix))
            found(name.c_str(), context);
    } while (FindNextFileW(search, &entry));
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

// FILE_DISPOSITION_INFO_EX, which the headers declare only for Windows 10 as the target.
const FILE_INFO_BY_HANDLE_CLASS FILE_DISPOSITION_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
const DWORD FLAG_DELETE = 0x1;
const DWORD FLAG_POSIX_SEMANTICS = 0x2;

// Marks the file that handle holds for deletion.  Where the system and the file system take
// it (Windows 10 and NTFS), the name goes at once, as on POSIX systems, even while another
// program still holds the file open: so a record deleted is never found again by the next
// job.  Elsewhere the plain disposition, whose name stays until the last handle closes.
bool MarkDeleted(HANDLE handle)
{
    DWORD now = FLAG_DELETE | FLAG_POSIX_SEMANTICS;  // FILE_DISPOSITION_INFO_EX: its flags alone
    if (SetFileInformationByHandle(handle, FILE_DISPOSITION_INFO_EX_CLASS, &now, sizeof now))
        return true;
    DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION)
        return false;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

}  // namespace

bool DeleteHeldFile(HANDLE handle, const char *path)
{
    // Through the handle, whose DELETE access keeps out every later open that does not
    // share deletion.
    bool marked = false;
    for (int attempt = 1;; ++attempt) {
        marked = MarkDeleted(handle);
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

bool FlushFiles(const HANDLE *files, std::size_t n)
{
    // Windows flushes one file at a time.
    for (std::size_t i = 0; i < n; ++i) {
        if (!FlushFileBuffers(files[i]))
            return false;
    }
    return true;
}

bool ReplaceExistingFile(const char *replacement, const char *existing)
{
    std::wstring wide;
    if (!WidePath(existing, wide) || GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    return MoveFileExA(replacement, existing, MOVEFILE_REPLACE_EXISTING) != 0;
}
