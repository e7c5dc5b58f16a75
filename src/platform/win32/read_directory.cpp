// Reading a directory's entries (platform.h) with the wide Windows calls.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform.h"
#include "wide_path.h"

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
        // A name UTF-8 cannot spell (a surrogate alone) shows with U+FFFD in its place.
        bool spelled = Narrow(entry.cFileName, name);
        DWORD attributes = entry.dwFileAttributes;
        if (!spelled) {
            e.kind = ENTRY_UNSPELLED;
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
