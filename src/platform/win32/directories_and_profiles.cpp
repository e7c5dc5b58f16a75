// What the stores of mail need of the system (platform.h), with the Windows calls.
#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform.h"
#include "wide_path.h"

const char PATH_SEPARATOR = '\\';

bool IsPathSeparator(char c)
{
    return c == '\\' || c == '/';
}

std::string JoinPath(const std::string &dir, const std::string &name)
{
    if (!dir.empty() && (IsPathSeparator(dir.back()) || (dir.size() == 2 && dir[1] == ':')))
        return dir + name;
    return dir + '\\' + name;
}

namespace {

// Where the last name of path starts: after its last separator, or after a drive's colon
// ("C:name").  A colon elsewhere is part of a name (Wine shows Unix names with one so).
std::size_t NameStart(const std::string &path)
{
    std::size_t sep = path.find_last_of("\\/");
    if (sep != std::string::npos)
        return sep + 1;
    return path.size() >= 2 && path[1] == ':' ? 2 : 0;
}

}  // namespace

std::string BaseNameOf(std::string path)
{
    while (path.size() > 1 && IsPathSeparator(path.back()))
        path.pop_back();
    return path.substr(NameStart(path));
}

std::string DirectoryOf(const std::string &path)
{
    std::size_t start = NameStart(path);
    return start == 0 ? std::string(".\\") : path.substr(0, start);
}

namespace {

// UTF-8 to UTF-16 for the W calls; empty when text is not UTF-8 (or empty).
std::wstring Wide(const std::string &text)
{
    std::wstring wide;
    return text.find('\0') == std::string::npos && Widen(text.c_str(), wide) ? wide : std::wstring();
}

std::string Utf8(const std::wstring &wide)
{
    std::string text;
    (void)Narrow(wide.c_str(), text);
    return text;
}

// path as the wide calls take it with no normalisation: absolute, backslashes, "\\?\" in
// front, so that a trailing dot or space and a device name (aux, com1) stay part of the name
// and a path may be longer than MAX_PATH.  Empty where path is not UTF-8.
std::wstring ExactPath(const std::string &path)
{
    std::wstring wide = Wide(path);
    if (wide.empty())
        return wide;
    if (wide.compare(0, 4, L"\\\\?\\") == 0)
        return wide;
    // The full path of the directory part only: GetFullPathNameW would trim the name.
    std::size_t sep = wide.find_last_of(L"\\/");
    if (sep == std::wstring::npos && wide.size() >= 2 && wide[1] == L':')
        sep = 1;
    std::wstring dir = sep == std::wstring::npos ? L"." : wide.substr(0, sep + 1);
    std::wstring name = sep == std::wstring::npos ? wide : wide.substr(sep + 1);
    DWORD n = GetFullPathNameW(dir.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return std::wstring();
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(dir.c_str(), n, &full[0], nullptr);
    full.resize(n);
    std::replace(full.begin(), full.end(), L'/', L'\\');
    if (!full.empty() && full.back() != L'\\')
        full += L'\\';
    full += name;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// True when the open handle is a link or a junction (a reparse point that stands for
// another name), not a file: a cloud-file placeholder is a reparse point too, but a file.
bool IsNameSurrogate(HANDLE file)
{
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag))
        return false;
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag.ReparseTag);
}

}  // namespace

std::unique_ptr<CHeldDirectory> CHeldDirectory::Open(const std::string &path)
{
    // No sharing of deletion: while it is held, the directory cannot be renamed, nor a link
    // put in its place.
    HANDLE dir = CreateFileW(ExactPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::unique_ptr<CHeldDirectory>(new CHeldDirectory(dir, path));
}

CHeldDirectory::~CHeldDirectory()
{
    CloseHandle(m_handle);
}

bool CHeldDirectory::Read(void (*found)(const SDirectoryEntry &entry, void *context), void *context) const
{
    return ReadDirectory(m_path.c_str(), found, context);
}

std::unique_ptr<CHeldDirectory> CHeldDirectory::OpenSub(const std::string &name) const
{
    HANDLE dir = CreateFileW(ExactPath(PathOf(name)).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
    if (dir == INVALID_HANDLE_VALUE)
        return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (IsNameSurrogate(dir) || !GetFileInformationByHandle(dir, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(dir);
        SetLastError(ERROR_NOT_THE_WALKED_FILE);
        return nullptr;
    }
    return std::unique_ptr<CHeldDirectory>(new CHeldDirectory(dir, PathOf(name)));
}

namespace {

// Opens the regular file at path with access and share, never through a link; where
// expected is given, only the very file it names.  ERROR_NOT_THE_WALKED_FILE where it is a
// link, another file, or (with notFile 0) not a regular file; notFile otherwise.
HANDLE OpenRegular(const std::string &path, DWORD access, DWORD share, const SFileIdentity *expected, DWORD notFile)
{
    HANDLE file = CreateFileW(ExactPath(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // No file name holds a pattern's * or ?: a pattern that reaches here matched nothing.
        std::size_t name = path.find_last_of("\\/");
        if (GetLastError() == ERROR_INVALID_NAME &&
            path.find_first_of("*?", name == std::string::npos ? 0 : name + 1) != std::string::npos)
            SetLastError(ERROR_PATTERN_UNMATCHED);
        return file;
    }
    SFileIdentity id;
    bool same = !IsNameSurrogate(file) && (expected == nullptr || expected->volume == 0 ||
                                           (GetFileIdentity(file, &id) && SameFile(id, *expected)));
    BY_HANDLE_FILE_INFORMATION info;
    bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                   (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (!same || !regular) {
        CloseHandle(file);
        SetLastError(!same || notFile == 0 ? ERROR_NOT_THE_WALKED_FILE : notFile);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

}  // namespace

HANDLE CHeldDirectory::OpenEntry(const std::string &name, bool write, const SFileIdentity *expected) const
{
    return OpenRegular(PathOf(name), GENERIC_READ | (write ? GENERIC_WRITE : 0),
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, expected, 0);
}

HANDLE CHeldDirectory::OpenToRewrite(const std::string &name, const SFileIdentity *expected) const
{
    // Only readers share it: no other program writes to it, renames or deletes it meanwhile.
    return OpenRegular(PathOf(name), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, expected, ERROR_NOT_A_FILE);
}

bool TakeFolderLockFile(const CHeldDirectory &, const std::string &, bool *taken)
{
    // Windows mail programs keep others out with share modes, which the job uses.
    *taken = false;
    return true;
}

bool ReleaseFolderLockFile(const CHeldDirectory &, const std::string &)
{
    return true;
}

bool RemoveStaleFolderLockFile(const CHeldDirectory &, const std::string &)
{
    return true;
}

bool IsStaleFolderLockFile(const CHeldDirectory &, const std::string &, bool)
{
    return false;
}

HANDLE CHeldDirectory::CreateEntry(const std::string &name) const
{
    return CreateFileW(ExactPath(PathOf(name)).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool CHeldDirectory::Holds(const std::string &name) const
{
    return GetFileAttributesW(ExactPath(PathOf(name)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CHeldDirectory::DeleteEntry(const std::string &name) const
{
    std::wstring path = ExactPath(PathOf(name));
    // A file of ours that came to be read-only cannot be deleted as it is.
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileW(path.c_str()) != 0;
}

bool CHeldDirectory::Replace(const CHeldDirectory &from, const std::string &name, const std::string &to) const
{
    std::wstring target = ExactPath(PathOf(to));
    if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    return MoveFileExW(ExactPath(from.PathOf(name)).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool CHeldDirectory::MoveHere(const CHeldDirectory &from, const std::string &name, const std::string &to) const
{
    return MoveFileExW(ExactPath(from.PathOf(name)).c_str(), ExactPath(PathOf(to)).c_str(), 0) != 0;
}

bool CHeldDirectory::LinkHere(const CHeldDirectory &from, const std::string &name, const std::string &to) const
{
    if (CreateHardLinkW(ExactPath(PathOf(to)).c_str(), ExactPath(from.PathOf(name)).c_str(), nullptr))
        return true;
    if (GetLastError() == ERROR_INVALID_FUNCTION)
        SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

std::string CHeldDirectory::ExactPathOf(const std::string &name) const
{
    std::wstring exact = ExactPath(PathOf(name));
    return exact.empty() ? PathOf(name) : Utf8(exact);
}

bool CHeldDirectory::Flush() const
{
    return FlushDirectory(m_path.c_str());
}

bool CHeldDirectory::RenamesAtomically() const
{
    wchar_t system[MAX_PATH + 1];
    if (!GetVolumeInformationByHandleW(m_handle, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH + 1))
        return true;
    std::wstring name = system;
    return name != L"FAT" && name != L"FAT32" && name != L"exFAT";
}

void KeepFileMetadata(HANDLE from, HANDLE to)
{
    (void)KeepFileTime(from, to);
}

// --- Windows: %APPDATA%, wide paths, parent.lock ---

namespace {

// %APPDATA%, or where it is not set the shell's roaming application data directory.
std::wstring AppData()
{
    std::wstring dir(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetEnvironmentVariableW(L"APPDATA", &dir[0], static_cast<DWORD>(dir.size()));
        if (n < dir.size()) {
            dir.resize(n);  // 0 where it is not set
            break;
        }
        dir.resize(n);  // the size it needs, its NUL included
    }
    if (!dir.empty())
        return dir;
    wchar_t shell[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_DONT_VERIFY, nullptr, SHGFP_TYPE_CURRENT, shell) == S_OK)
        return shell;
    return std::wstring();
}

}  // namespace

bool ProfilePlaces(std::string places[2], std::string &why)
{
    std::wstring appData = AppData();
    while (!appData.empty() && (appData.back() == L'\\' || appData.back() == L'/'))
        appData.pop_back();
    if (appData.empty()) {
        why = "no application data directory to look for profiles.ini in (%APPDATA% is not set)";
        return false;
    }
    std::string base = Utf8(appData);
    places[0] = base + "\\Thunderbird";
    places[1] = base + "\\Mozilla\\SeaMonkey";
    return true;
}

std::string NativePath(const std::string &path)
{
    std::string native = path;
    std::replace(native.begin(), native.end(), '/', '\\');
    return native;
}

bool IsAbsolutePath(const std::string &path)
{
    auto separator = [](char c) { return c == '\\' || c == '/'; };
    return (path.size() >= 3 && path[1] == ':' && separator(path[2])) ||
           (path.size() >= 2 && separator(path[0]) && separator(path[1]));
}

bool IsDirectoryPath(const std::string &path)
{
    // As CHeldDirectory::Open takes it: "Con.sbd" is a directory, not the console.
    DWORD attributes = GetFileAttributesW(ExactPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

unsigned long OwnProcessId()
{
    return GetCurrentProcessId();
}

bool IsProcessRunning(unsigned long pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process; others are denied
    DWORD code = 0;
    bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

bool ReadWholeFile(const std::string &path, std::string &text, DWORD &error)
{
    // Shared for writing too: Thunderbird may be rewriting it, and is then not kept out.
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            error = 0;
        return false;
    }
    text.clear();
    char buffer[4096];
    DWORD done = 0;
    bool ok;
    while ((ok = (ReadFile(file, buffer, sizeof buffer, &done, nullptr) != 0)) && done > 0)
        text.append(buffer, done);
    error = ok ? 0 : GetLastError();
    CloseHandle(file);
    return ok;
}

bool HoldsProfileLock(const std::string &dir)
{
    return GetFileAttributesW(Wide(JoinPath(dir, "parent.lock")).c_str()) != INVALID_FILE_ATTRIBUTES;
}

EProfileLock ProfileLockState(const std::string &dir, std::string &detail)
{
    std::string lock = JoinPath(dir, "parent.lock");
    // Thunderbird keeps parent.lock open sharing nothing while it runs, so any open that
    // reads it fails.  Ours shares everything, keeping no one out but for this moment.
    HANDLE file = CreateFileW(Wide(lock).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        detail = lock + " is not held open";
        return EProfileLock::FREE;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
        detail = lock + " is held open by another program";
        return EProfileLock::HELD;
    }
    if (error == ERROR_FILE_NOT_FOUND) {
        detail = lock + " does not exist";
        return EProfileLock::FREE;
    }
    detail = "cannot open " + lock + ": " + ErrorText(error);
    return EProfileLock::UNKNOWN;
}

