// Walking a tree of mail folders (platform.h) with the Windows calls.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform.h"
#include "wide_path.h"

namespace {

// wide in the program's code page; false where some of it cannot be spelled there, which
// shows as a name that does not convert back to itself.
bool Narrow(const wchar_t *wide, std::string &text)
{
    int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return false;
    text.assign(static_cast<std::size_t>(n), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, &text[0], n, nullptr, nullptr) != n)
        return false;
    text.resize(static_cast<std::size_t>(n - 1));
    std::wstring back;
    return Widen(text.c_str(), back) && back == wide;
}

}  // namespace

bool ReadDirectory(const char *dir, void (*found)(const SDirectoryEntry &entry, void *context), void *context)
{
    // As it stands, however long (WidePath).
    std::wstring widePattern;
    if (!WidePath(dir, widePattern))
        return false;
    if (widePattern.empty() || widePattern.back() != L'\\')
        widePattern += L'\\';
    widePattern += L'*';
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileExW(widePattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;  // not even "." (a drive's root)
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0)
            continue;
        std::string name;
        SDirectoryEntry e = {nullptr, ENTRY_FILE, 0, false, {}};
        bool spelled = Narrow(entry.cFileName, name);
        DWORD attributes = entry.dwFileAttributes;
        if (!spelled) {
            e.kind = ENTRY_UNSPELLED;
            // A name to tell the user of: what cannot be spelled shows as '?'.
            int n = WideCharToMultiByte(CP_ACP, 0, entry.cFileName, -1, nullptr, 0, nullptr, nullptr);
            name.assign(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
            if (n <= 0 || WideCharToMultiByte(CP_ACP, 0, entry.cFileName, -1, &name[0], n, nullptr, nullptr) != n)
                name = "?";
            name.resize(std::char_traits<char>::length(name.c_str()));
        } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                   (IsReparseTagNameSurrogate(entry.dwReserved0) || !IsReparseTagMicrosoft(entry.dwReserved0))) {
            // A link or a junction names another file; a reparse point of the system's that
            // names none (a cloud file's placeholder, a deduplicated file) is the file itself.
            // A tag that is no tag of the system's (Wine gives none) is taken for a link.
            e.kind = ENTRY_LINK;
            e.linkToDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            e.kind = ENTRY_DIRECTORY;
        } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
            e.kind = ENTRY_SPECIAL;
        } else {
            e.size = (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        }
        e.name = name.c_str();
        found(e, context);
    } while (FindNextFileW(search, &entry));
    DWORD error = GetLastError();
    FindClose(search);
    SetLastError(error);
    return error == ERROR_NO_MORE_FILES;
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

