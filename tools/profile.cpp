// Finds the default Thunderbird or Mozilla-suite profile through profiles.ini, and tells
// whether a running mail program holds a profile.
//
// The reading of profiles.ini and the choice of the default are the same everywhere; the
// places to look, the file calls and the lock differ by system and sit at the end, one
// part for Windows and one for Linux and macOS.
#include <algorithm>

#include "profile.h"

#ifdef _WIN32
#include <windows.h>

#include <shlobj.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "platform.h"

namespace {

// --- What each system provides, defined at the end ---

// The directories that may hold profiles.ini, in the order they are tried: Thunderbird's,
// then the suite's.  False, with why, when the user's directory they lie in is unknown.
bool ProfilePlaces(std::vector<std::string> &places, std::string &why);
// Joins a directory and a name with the system's separator.
std::string JoinPath(const std::string &dir, const std::string &name);
// A path from profiles.ini as the system spells it (forward slashes are Windows' too).
std::string NativePath(const std::string &path);
bool IsAbsolutePath(const std::string &path);
bool IsDirectory(const std::string &path);
// Puts the whole file into text.  False when it is missing (with error 0) or cannot be
// read (with the system's error).
bool ReadWholeFile(const std::string &path, std::string &text, DWORD &error);

// The system's words for an error code, or the code itself where it has none.
std::string Reason(DWORD code)
{
    char text[256];
    return DescribeError(code, text, sizeof text) ? text : "error " + std::to_string(code);
}

// --- profiles.ini ---

// One [section] of profiles.ini, its keys and values in the order they came.
struct SIniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;

    // The value of key, or "" where the section has none.
    std::string Value(const char *key) const
    {
        auto entry = std::find_if(keys.begin(), keys.end(), [key](const auto &e) { return e.first == key; });
        return entry != keys.end() ? entry->second : "";
    }
};

const char UTF8_BOM[] = "\xEF\xBB\xBF";

std::string Trim(const std::string &text)
{
    const char *space = " \t\r";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// ini     = *(section / key / comment / empty line), lines ending in LF or CR LF
// section = "[" name "]";  key = name "=" value;  comment = (";" / "#") text
// A key before the first section belongs to none and is skipped, as Mozilla's reader does.
std::vector<SIniSection> ParseIni(std::string text)
{
    if (text.compare(0, 3, UTF8_BOM) == 0)
        text.erase(0, 3);
    std::vector<SIniSection> sections;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trim(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            std::size_t close = line.find(']');
            if (close != std::string::npos)
                sections.push_back({line.substr(1, close - 1), {}});
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals != std::string::npos && !sections.empty())
            sections.back().keys.emplace_back(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
    }
    return sections;
}

bool StartsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// A profile as profiles.ini names it: its Name= (or its path where it has none) and its
// directory.
struct SProfile {
    std::string name;
    std::string dir;
};

// The directory of a [Profile…] section, relative to iniDir when it says IsRelative=1.
std::string ProfileDirectory(const std::string &iniDir, const std::string &path, bool relative)
{
    return relative ? JoinPath(iniDir, NativePath(path)) : NativePath(path);
}

// The [Profile…] section whose Path= is path, or null.  [Install…] sections name their
// default by it.
const SIniSection *ProfileWithPath(const std::vector<SIniSection> &sections, const std::string &path)
{
    auto section = std::find_if(sections.begin(), sections.end(), [&path](const SIniSection &s) {
        return StartsWith(s.name, "Profile") && s.Value("Path") == path;
    });
    return section != sections.end() ? &*section : nullptr;
}

// Picks the default profile of profiles.ini (read from iniDir): an [Install…] section's
// Default= first, the first whose directory is there when there are several (one per
// installation of the program), as newer versions keep it; then the [Profile…] with
// Default=1; then the only [Profile…].  False, with why, when none is named or the one
// named is not there.
bool ChooseProfile(const std::vector<SIniSection> &sections, const std::string &iniDir, SProfile &chosen,
                   std::string &why)
{
    std::string ini = JoinPath(iniDir, "profiles.ini");
    std::vector<SProfile> candidates;
    for (const SIniSection &section : sections) {
        std::string path = section.Value("Default");
        if (!StartsWith(section.name, "Install") || path.empty())
            continue;
        const SIniSection *profile = ProfileWithPath(sections, path);
        bool relative = profile != nullptr ? profile->Value("IsRelative") == "1" : !IsAbsolutePath(path);
        std::string name = profile != nullptr ? profile->Value("Name") : "";
        candidates.push_back({name.empty() ? path : name, ProfileDirectory(iniDir, path, relative)});
    }
    if (candidates.empty()) {
        const SIniSection *only = nullptr, *marked = nullptr;
        int count = 0;
        for (const SIniSection &section : sections) {
            if (!StartsWith(section.name, "Profile") || section.Value("Path").empty())
                continue;
            ++count;
            only = &section;
            if (marked == nullptr && section.Value("Default") == "1")
                marked = &section;
        }
        const SIniSection *profile = marked != nullptr ? marked : count == 1 ? only : nullptr;
        if (profile == nullptr) {
            why = count == 0 ? ini + " names no profile"
                             : ini + " names " + std::to_string(count) + " profiles and none as the default";
            return false;
        }
        std::string path = profile->Value("Path"), name = profile->Value("Name");
        candidates.push_back({name.empty() ? path : name,
                              ProfileDirectory(iniDir, path, profile->Value("IsRelative") == "1")});
    }
    auto there = std::find_if(candidates.begin(), candidates.end(),
                              [](const SProfile &candidate) { return IsDirectory(candidate.dir); });
    if (there != candidates.end()) {
        chosen = *there;
        return true;
    }
    why = ini + " names profile " + candidates[0].name + " at " + candidates[0].dir + ", which does not exist";
    return false;
}

}  // namespace

bool FindDefaultProfile(std::string &dir, std::string &why)
{
    dir.clear();
    why.clear();
    std::vector<std::string> places;
    if (!ProfilePlaces(places, why))
        return false;
    for (const std::string &place : places) {
        std::string ini = JoinPath(place, "profiles.ini"), text;
        DWORD error = 0;
        if (!ReadWholeFile(ini, text, error)) {
            if (error == 0)
                continue;
            why = "cannot read " + ini + ": " + Reason(error);
            return false;
        }
        SProfile profile;
        if (!ChooseProfile(ParseIni(text), place, profile, why))
            return false;
        dir = profile.dir;
        return true;
    }
    why = "no profiles.ini found: looked in ";
    for (std::size_t i = 0; i < places.size(); ++i)
        why += (i > 0 ? ", " : "") + places[i];
    return false;
}

#ifdef _WIN32

// --- Windows: %APPDATA%, wide paths, parent.lock ---

namespace {

// UTF-8 to UTF-16 for the W calls; empty when text is not UTF-8 (or empty).
std::wstring Wide(const std::string &text)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string Utf8(const std::wstring &wide)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0)
        return std::string();
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], n, nullptr, nullptr);
    return text;
}

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

bool ProfilePlaces(std::vector<std::string> &places, std::string &why)
{
    std::wstring appData = AppData();
    while (!appData.empty() && (appData.back() == L'\\' || appData.back() == L'/'))
        appData.pop_back();
    if (appData.empty()) {
        why = "no application data directory to look for profiles.ini in (%APPDATA% is not set)";
        return false;
    }
    std::string base = Utf8(appData);
    places = {base + "\\Thunderbird", base + "\\Mozilla\\SeaMonkey"};
    return true;
}

std::string JoinPath(const std::string &dir, const std::string &name)
{
    return dir + "\\" + name;
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

bool IsDirectory(const std::string &path)
{
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
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

}  // namespace

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
    detail = "cannot open " + lock + ": " + Reason(error);
    return EProfileLock::UNKNOWN;
}

#else

// --- Linux and macOS: the home directory, .parentlock and the lock link ---

namespace {

// $HOME, or where it is not set the system's record of the user.  Empty when neither knows.
std::string HomeDirectory()
{
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    const passwd *user = getpwuid(geteuid());
    return user != nullptr && user->pw_dir != nullptr && user->pw_dir[0] == '/' ? user->pw_dir : "";
}

bool ProfilePlaces(std::vector<std::string> &places, std::string &why)
{
    std::string home = HomeDirectory();
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    if (home.empty()) {
        why = "no home directory to look for profiles.ini in ($HOME is not set)";
        return false;
    }
#ifdef __APPLE__
    places = {home + "/Library/Thunderbird", home + "/Library/Application Support/SeaMonkey"};
#else
    places = {home + "/.thunderbird", home + "/.mozilla/seamonkey"};
#endif
    return true;
}

std::string JoinPath(const std::string &dir, const std::string &name)
{
    return dir + "/" + name;
}

std::string NativePath(const std::string &path)
{
    return path;
}

bool IsAbsolutePath(const std::string &path)
{
    return !path.empty() && path[0] == '/';
}

bool IsDirectory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReadWholeFile(const std::string &path, std::string &text, DWORD &error)
{
    bool ok = ReadWhole(path, text);
    error = ok || IsGone(GetLastError()) ? 0 : GetLastError();
    return ok;
}

// Whether address (dotted IPv4, as the lock link holds it) is this machine's: the address
// its name resolves to, which is what Thunderbird writes, or the loopback address it
// writes when the name does not resolve.
bool IsThisHost(const std::string &address)
{
    if (address == "127.0.0.1")
        return true;
    char name[256];
    if (gethostname(name, sizeof name) != 0)
        return false;
    name[sizeof name - 1] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0)
        return false;
    bool same = false;
    for (const addrinfo *at = found; at != nullptr && !same; at = at->ai_next) {
        char text[INET_ADDRSTRLEN];
        const sockaddr_in *inet = reinterpret_cast<const sockaddr_in *>(at->ai_addr);
        same = inet_ntop(AF_INET, &inet->sin_addr, text, sizeof text) != nullptr && address == text;
    }
    freeaddrinfo(found);
    return same;
}

// What the lock on .parentlock says: HELD with the process that holds it, FREE where
// there is none or no file, UNKNOWN where it cannot be asked.
EProfileLock ParentLockState(const std::string &lock, std::string &detail)
{
    // Asked with F_GETLK only: taking the lock, even for a moment, could make Thunderbird
    // starting meanwhile refuse the profile.  Asking needs no write access.
    int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return EProfileLock::FREE;
        detail = "cannot open " + lock + ": " + Reason(static_cast<DWORD>(errno));
        return EProfileLock::UNKNOWN;
    }
    struct flock question{};
    question.l_type = F_WRLCK;
    question.l_whence = SEEK_SET;  // from 0, l_len 0: the whole file
    int asked = fcntl(fd, F_GETLK, &question);
    int error = errno;
    // Closing lets go of locks this process holds on the file: it holds none.
    close(fd);
    if (asked != 0) {
        detail = "cannot test the lock on " + lock + ": " + Reason(static_cast<DWORD>(error));
        return EProfileLock::UNKNOWN;
    }
    if (question.l_type == F_UNLCK)
        return EProfileLock::FREE;
    detail = lock + " is locked by process " + std::to_string(question.l_pid);
    return EProfileLock::HELD;
}

// What the lock link says: its target is ADDRESS ":" ["+"] PID, the "+" when Thunderbird
// holds the lock on .parentlock too.  HELD only when it names a live process of this
// machine; a link of another machine's, of an ended process, or not of that form is stale.
EProfileLock LinkLockState(const std::string &link, std::string &detail)
{
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) {
        // No link, or a file there that is not one: Thunderbird made neither.
        if (errno == ENOENT || errno == EINVAL)
            return EProfileLock::FREE;
        detail = "cannot read " + link + ": " + Reason(static_cast<DWORD>(errno));
        return EProfileLock::UNKNOWN;
    }
    std::string text(target, static_cast<std::size_t>(n));
    std::size_t colon = text.rfind(':');
    std::string address = text.substr(0, colon == std::string::npos ? 0 : colon);
    std::string pidText = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (!pidText.empty() && pidText[0] == '+')
        pidText.erase(0, 1);
    char *end = nullptr;
    long pid = pidText.empty() || pidText[0] < '0' || pidText[0] > '9' ? 0 : std::strtol(pidText.c_str(), &end, 10);
    if (pid <= 0 || *end != '\0' || address.empty()) {
        detail = link + " names no process (" + text + "): stale";
        return EProfileLock::FREE;
    }
    std::string process = "process " + std::to_string(pid);
    if (!IsThisHost(address)) {
        detail = link + " names " + process + " of another machine (" + address + "): stale";
        return EProfileLock::FREE;
    }
    // EPERM: alive, but another user's.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) {
        detail = link + " names " + process + ", which is running";
        return EProfileLock::HELD;
    }
    detail = link + " names " + process + ", which has ended: stale";
    return EProfileLock::FREE;
}

}  // namespace

EProfileLock ProfileLockState(const std::string &dir, std::string &detail)
{
    detail.clear();
    struct stat st;
    int error = stat(dir.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (error != 0) {
        detail = "cannot test the lock of " + dir + ": " + Reason(static_cast<DWORD>(error));
        return EProfileLock::UNKNOWN;
    }
    std::string parentLock = JoinPath(dir, ".parentlock");
    EProfileLock state = ParentLockState(parentLock, detail);
    if (state != EProfileLock::FREE)
        return state;
    std::string linkDetail;
    state = LinkLockState(JoinPath(dir, "lock"), linkDetail);
    detail = !linkDetail.empty() ? linkDetail : parentLock + " is not locked";
    return state;
}

#endif
