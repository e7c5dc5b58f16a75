// The user's own directory for what the program keeps between runs, on Windows.
#include <windows.h>

#include <shlobj.h>

#include <cstring>
#include <string>

#include "platform.h"
#include "wide_path.h"

namespace {

const wchar_t STATE_DIRECTORY_NAME[] = L"Quorvel";

// Whether path names a directory from a drive's root or a share, not from wherever the
// program happens to run.
bool IsAbsolute(const std::wstring &path)
{
    if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
        return true;
    return path.size() > 2 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/');
}

// The user's local application data directory: %LOCALAPPDATA%, or where it is not set (a
// program started with an environment of its own) the shell's answer.  Empty on failure.
std::wstring LocalAppData()
{
    std::wstring dir(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", &dir[0], static_cast<DWORD>(dir.size()));
        if (n < dir.size()) {
            dir.resize(n);  // 0 where it is not set
            break;
        }
        dir.resize(n);  // the size it needs, its NUL included
    }
    if (IsAbsolute(dir))
        return dir;
    // Not created where it is missing: that is the profile's business, not ours.
    wchar_t shell[MAX_PATH];
    HRESULT result = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_DONT_VERIFY, nullptr,
                                      SHGFP_TYPE_CURRENT, shell);
    if (result == S_OK && IsAbsolute(shell))
        return shell;
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return std::wstring();
}

// Puts wide, in UTF-8, into text (size bytes).  False when it does not fit, or when UTF-8
// cannot spell it: the name would then be another directory's.
bool ToText(const std::wstring &wide, char *text, std::size_t size)
{
    std::string narrow;
    if (!Narrow(wide.c_str(), narrow))
        return false;
    if (narrow.size() >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    std::memcpy(text, narrow.c_str(), narrow.size() + 1);
    return true;
}

}  // namespace

bool GetStateDirectory(char *path, std::size_t size, bool make)
{
    if (size > 0)
        path[0] = '\0';
    std::wstring dir = LocalAppData();
    if (dir.empty())
        return false;
    while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/'))
        dir.pop_back();
    dir += L'\\';
    dir += STATE_DIRECTORY_NAME;
    dir += L'\\';
    if (!ToText(dir, path, size)) {
        if (GetLastError() == ERROR_INSUFFICIENT_BUFFER)
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        if (size > 0)
            path[0] = '\0';
        return false;
    }
    // Asked without the separator, which would lead the question through a link.
    dir.pop_back();
    // Made in the directory the profile gives (missing, it fails with the system's reason),
    // with the permissions it inherits from there: the user's own.
    bool ok = !make || CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
    DWORD attributes = ok ? GetFileAttributesW(dir.c_str()) : INVALID_FILE_ATTRIBUTES;  // of a link itself
    DWORD error = GetLastError();
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        SetLastError(error);
        return false;
    }
    // A junction or a link could lead another user's program to our records.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        SetLastError(ERROR_STATE_DIRECTORY_NOT_PRIVATE);
        return false;
    }
    return true;
}
