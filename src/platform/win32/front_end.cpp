// The command line's arguments, the console and the user's secrets (front_end.h), with the
// wide calls of Windows, so that nothing depends on the ANSI code page.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "front_end.h"
#include "wide_path.h"

// The C runtime expands no pattern (_dowildcard is left 0): its expansion asks
// FindFirstFile, which also matches the 8.3 short names of volumes that keep them, so that
// "*.eml" would find "a.eml~" (A~1.EML) and "b.emlx".  We expand them ourselves.

namespace {

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

// Where the names of path start: after "\\?\", which is no pattern's "?".
std::size_t NamesStart(const std::wstring &path)
{
    return path.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
}

// Whether the argument is a pattern to expand: a * or ? in it, past a verbatim path's
// "\\?\".  Options are not, nor the prompt's own "/?".
bool IsPattern(const std::wstring &argument)
{
    if (argument.empty() || argument[0] == L'-' || argument == L"/?")
        return false;
    return argument.find_first_of(L"*?", NamesStart(argument)) != std::wstring::npos;
}

wchar_t Upper(wchar_t c)
{
    CharUpperBuffW(&c, 1);
    return c;
}

// Whether name matches pattern: * any run of characters, ? any one; letters in either case,
// as Windows compares file names.
bool Matches(const wchar_t *pattern, const wchar_t *name)
{
    // The last * seen, and where in name its run would end next.
    const wchar_t *star = nullptr, *retry = nullptr;
    while (*name != L'\0') {
        if (*pattern == L'*') {
            star = ++pattern;
            retry = name;
        } else if (*pattern == L'?' || (*pattern != L'\0' && Upper(*pattern) == Upper(*name))) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star;
            name = ++retry;
        } else {
            return false;
        }
    }
    while (*pattern == L'*')
        ++pattern;
    return *pattern == L'\0';
}

// The paths that the pattern's last name matches in its directory, by their long names
// only, sorted by name as NTFS lists them; the pattern itself where none does (so that its
// error names it) or where its directory has a pattern too.
std::vector<std::wstring> Expand(const std::wstring &pattern)
{
    std::size_t cut = pattern.find_last_of(L"\\/:");
    std::wstring dir = cut == std::wstring::npos || cut < NamesStart(pattern) ? std::wstring()
                                                                              : pattern.substr(0, cut + 1);
    std::wstring last = pattern.substr(dir.size());
    std::vector<std::wstring> names;
    std::string narrowDir;
    std::wstring where;
    if (dir.find_first_of(L"*?", NamesStart(dir)) == std::wstring::npos &&
        Narrow(dir.empty() ? L"." : dir.c_str(), narrowDir) && WidePath(narrowDir.c_str(), where)) {
        if (where.back() != L'\\')
            where += L'\\';
        where += L'*';
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileExW(where.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0 &&
                    Matches(last.c_str(), entry.cFileName))
                    names.emplace_back(entry.cFileName);
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
    }
    if (names.empty())
        return {pattern};
    std::sort(names.begin(), names.end(), [](const std::wstring &a, const std::wstring &b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    for (std::wstring &name : names)
        name.insert(0, dir);
    return names;
}

// Whether stdout and stderr are carried to the console (StartConsoleOutput), and by what.
bool g_carried[3];
HANDLE g_console = INVALID_HANDLE_VALUE;
HANDLE g_carrierRead = INVALID_HANDLE_VALUE;
HANDLE g_carrier;

HANDLE HandleOf(int fd)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));  // NOLINT(performance-no-int-to-ptr)
}

bool IsConsole(HANDLE handle)
{
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// Shows n bytes of UTF-8 text on the console as the characters they are.
void Show(HANDLE console, const char *bytes, std::size_t n)
{
    if (n == 0)
        return;
    int m = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(n), nullptr, 0);
    if (m <= 0)
        return;
    std::wstring text(static_cast<std::size_t>(m), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(n), &text[0], m);
    for (std::size_t at = 0; at < text.size();) {
        DWORD written = 0;
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(text.size() - at, 8192));
        if (!WriteConsoleW(console, text.data() + at, piece, &written, nullptr) || written == 0)
            return;
        at += written;
    }
}

// Where the last whole UTF-8 character of the n bytes ends: a character cut by the pipe is
// shown with the rest of it.
std::size_t WholeCharacters(const char *bytes, std::size_t n)
{
    std::size_t lead = n;
    while (lead > 0 && n - lead < 3 && (static_cast<unsigned char>(bytes[lead - 1]) & 0xC0) == 0x80)
        --lead;
    if (lead == 0)
        return n;
    unsigned char c = static_cast<unsigned char>(bytes[lead - 1]);
    std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return lead - 1 + length > n ? lead - 1 : n;
}

// The carrier's thread: what stdout and stderr write to its pipe, shown on the console.
DWORD WINAPI Carry(void *)
{
    static char buffer[4096 + 4];
    std::size_t kept = 0;
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(g_carrierRead, buffer + kept, 4096, &n, nullptr) || n == 0)
            break;
        std::size_t have = kept + n, whole = WholeCharacters(buffer, have);
        Show(g_console, buffer, whole);
        std::memmove(buffer, buffer + whole, have - whole);
        kept = have - whole;
    }
    Show(g_console, buffer, kept);
    return 0;
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(const wchar_t *line)
{
    // The program's name ends at the first white space outside quotes; no backslash escapes.
    std::wstring program;
    bool quoted = false;
    for (; *line != L'\0' && (quoted || !IsBlank(*line)); ++line) {
        if (*line == L'"')
            quoted = !quoted;
        else
            program += *line;
    }
    std::vector<std::wstring> words{program};
    for (;;) {
        while (IsBlank(*line))
            ++line;
        if (*line == L'\0')
            break;
        std::wstring word;
        quoted = false;
        // As the C runtime splits them: white space outside quotes between them; 2n
        // backslashes and a quote are n backslashes and a quote that opens or closes, 2n+1
        // backslashes and a quote are n backslashes and the quote itself, "" inside quotes is
        // a quote; other backslashes are themselves.  But 2n+1 backslashes before a quote that
        // closes the argument (white space or the end after it) are n+1 backslashes, and the
        // quote closes: -R "C:\my mail\" is the directory, as the prompt's user means it.
        while (*line != L'\0' && (quoted || !IsBlank(*line))) {
            std::size_t backslashes = 0;
            while (*line == L'\\') {
                ++backslashes;
                ++line;
            }
            if (*line == L'"') {
                bool ends = line[1] == L'\0' || IsBlank(line[1]);
                if (backslashes % 2 == 1 && quoted && ends) {
                    word.append(backslashes / 2 + 1, L'\\');
                    quoted = false;
                } else {
                    word.append(backslashes / 2, L'\\');
                    if (backslashes % 2 == 1) {
                        word += L'"';
                    } else if (quoted && line[1] == L'"') {
                        word += L'"';
                        ++line;
                    } else {
                        quoted = !quoted;
                    }
                }
                ++line;
                continue;
            }
            word.append(backslashes, L'\\');
            if (*line == L'\0' || (!quoted && IsBlank(*line)))
                break;
            word += *line++;
        }
        words.push_back(word);
    }
    return words;
}

std::vector<std::string> ProgramArguments(int argc, char **argv)
{
    std::vector<std::wstring> words = SplitCommandLine(GetCommandLineW());
    std::vector<std::string> arguments;
    std::string text;
    arguments.push_back(Narrow(words[0].c_str(), text) || argc == 0 ? text : argv[0]);
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::wstring &word = words[i];
        for (const std::wstring &path : IsPattern(word) ? Expand(word) : std::vector<std::wstring>{word}) {
            (void)Narrow(path.c_str(), text);
            arguments.push_back(text);
        }
    }
    return arguments;
}

bool IsPromptHelp(const char *argument)
{
    return std::strcmp(argument, "/?") == 0;
}

bool IsTerminal(FILE *stream)
{
    int fd = _fileno(stream);
    if (fd >= 1 && fd <= 2 && g_carried[fd])
        return true;
    // _isatty alone takes the NUL device for a terminal too.
    return fd >= 0 && _isatty(fd) && IsConsole(HandleOf(fd));
}

void StartConsoleOutput()
{
    bool out = IsConsole(HandleOf(1)), err = IsConsole(HandleOf(2));
    if ((!out && !err) || g_carrier != nullptr)
        return;
    HANDLE self = GetCurrentProcess(), console = INVALID_HANDLE_VALUE, read = INVALID_HANDLE_VALUE,
           write = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(self, HandleOf(out ? 1 : 2), self, &console, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return;
    int fd = CreatePipe(&read, &write, nullptr, 0) ? _open_osfhandle(reinterpret_cast<intptr_t>(write), _O_WRONLY | _O_TEXT)
                                                   : -1;
    if (fd < 0) {
        CloseHandle(console);
        if (read != INVALID_HANDLE_VALUE) {
            CloseHandle(read);
            CloseHandle(write);
        }
        return;
    }
    g_console = console;
    g_carrierRead = read;
    std::fflush(stdout);
    std::fflush(stderr);
    // Each write of ours reaches the console as it is made, in the order made, as it
    // reached the console itself.
    if (out && _dup2(fd, 1) == 0) {
        g_carried[1] = true;
        (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
    }
    if (err && _dup2(fd, 2) == 0)
        g_carried[2] = true;
    _close(fd);
    g_carrier = CreateThread(nullptr, 0, Carry, nullptr, 0, nullptr);
}

void EndConsoleOutput()
{
    if (g_carrier == nullptr)
        return;
    std::fflush(stdout);
    std::fflush(stderr);
    // Its pipe's last writers closed, the carrier shows what is left and ends.
    for (int fd = 1; fd <= 2; ++fd) {
        if (g_carried[fd])
            _close(fd);
    }
    WaitForSingleObject(g_carrier, INFINITE);
    CloseHandle(g_carrier);
    g_carrier = nullptr;
    CloseHandle(g_carrierRead);
    // Whatever is written later goes to the console as it is.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(g_console), _O_WRONLY | _O_TEXT);
    for (int to = 1; to <= 2 && fd >= 0; ++to) {
        if (g_carried[to])
            (void)_dup2(fd, to);
    }
    if (fd >= 0)
        _close(fd);
}

bool OwnsConsoleAlone()
{
    static const bool alone = [] {
        DWORD processes[2];
        return GetConsoleProcessList(processes, 2) == 1 && IsConsole(GetStdHandle(STD_INPUT_HANDLE)) &&
               (g_carried[2] || IsConsole(HandleOf(2)));
    }();
    return alone;
}

void WaitForEnter(const char *prompt)
{
    EndConsoleOutput();
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE)
        Show(out, prompt, std::strlen(prompt));
    if (in != INVALID_HANDLE_VALUE) {
        (void)FlushConsoleInputBuffer(in);
        // cppcheck-suppress unreachableCode
        DWORD mode = 0;
        if (GetConsoleMode(in, &mode))
            SetConsoleMode(in, mode | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
        wchar_t typed[64];
        DWORD n = 0;
        while (ReadConsoleW(in, typed, sizeof typed / sizeof typed[0], &n, nullptr) && n > 0) {
            if (std::find(typed, typed + n, L'\n') != typed + n || std::find(typed, typed + n, L'\r') != typed + n)
                break;
        }
        CloseHandle(in);
    }
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
}

bool UserLanguageIsKorean()
{
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_KOREAN;
}

namespace {

// The console input whose echo ReadHiddenLine turned off, and its mode before, for the
// handler of Ctrl-C to put back before the program's own handler ends it.
HANDLE g_hiddenInput = INVALID_HANDLE_VALUE;
DWORD g_inputModeBefore;

BOOL WINAPI PutEchoBack(DWORD)
{
    (void)SetConsoleMode(g_hiddenInput, g_inputModeBefore);
    return FALSE;
}

}  // namespace

bool ReadHiddenLine(const std::string &prompt, std::string &line, std::string &why)
{
    line.clear();
    line.reserve(MAX_HIDDEN_LINE);
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    DWORD before = 0;
    if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &before)) {
        why = "no console to ask on";
        if (in != INVALID_HANDLE_VALUE)
            CloseHandle(in);
        if (out != INVALID_HANDLE_VALUE)
            CloseHandle(out);
        return false;
    }
    g_hiddenInput = in;
    g_inputModeBefore = before;
    bool handler = SetConsoleCtrlHandler(PutEchoBack, TRUE) != 0;
    bool ok = SetConsoleMode(in, (before | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~DWORD{ENABLE_ECHO_INPUT});
    if (!ok)
        why = "cannot turn the echo off: " + ErrorText(GetLastError());
    else if (out != INVALID_HANDLE_VALUE)
        Show(out, prompt.data(), prompt.size());
    // Read a piece at a time, each wiped after it is taken.
    wchar_t typed[256];
    std::wstring wide;
    wide.reserve(MAX_HIDDEN_LINE + 2);
    bool ended = false, tooLong = false;
    while (ok && !ended) {
        DWORD n = 0;
        if (!ReadConsoleW(in, typed, sizeof typed / sizeof typed[0], &n, nullptr)) {
            why = "cannot read the console: " + ErrorText(GetLastError());
            ok = false;
            break;
        }
        if (n == 0)
            ended = true;
        for (DWORD i = 0; i < n && !ended; ++i) {
            if (typed[i] == L'\r' || typed[i] == L'\n')
                ended = true;
            else if (wide.size() < MAX_HIDDEN_LINE)
                wide.push_back(typed[i]);
            else
                tooLong = true;
        }
        WipeMemory(typed, sizeof typed);
    }
    // What remains of the line (its LF after CR) is left for the next read of the console.
    (void)SetConsoleMode(in, before);
    if (handler)
        SetConsoleCtrlHandler(PutEchoBack, FALSE);
    g_hiddenInput = INVALID_HANDLE_VALUE;
    if (out != INVALID_HANDLE_VALUE) {
        Show(out, "\r\n", 2);
        CloseHandle(out);
    }
    CloseHandle(in);
    if (ok && tooLong) {
        why = "the line typed is longer than " + std::to_string(MAX_HIDDEN_LINE) + " characters";
        ok = false;
    }
    if (ok && !wide.empty()) {
        int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
        if (m <= 0 || static_cast<std::size_t>(m) > line.capacity()) {
            why = "the line typed is not text";
            ok = false;
        } else {
            line.resize(static_cast<std::size_t>(m));
            WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &line[0], m, nullptr, nullptr);
        }
    }
    WipeMemory(wide.data(), wide.size() * sizeof(wchar_t));
    return ok;
}

FILE *StartCommand(const std::string &command, std::string &why)
{
    std::wstring wide;
    if (!Widen(command.c_str(), wide)) {
        why = "the command is not UTF-8";
        return nullptr;
    }
    std::fflush(nullptr);
    errno = 0;
    FILE *output = _wpopen(wide.c_str(), L"rb");
    if (output == nullptr)
        why = errno != 0 ? std::strerror(errno) : "cannot start cmd";
    return output;
}

bool EndCommand(FILE *output, std::string &why)
{
    int status = _pclose(output);
    if (status == 0)
        return true;
    why = status == -1 ? std::string("cannot learn how it ended: ") + std::strerror(errno)
                       : "ended with status " + std::to_string(status);
    return false;
}

FILE *OpenNetrc(std::string &path, std::string &why)
{
    why.clear();
    // From the system's environment, which SetEnvironmentVariable changes, not the C library's copy.
    DWORD n = GetEnvironmentVariableW(L"USERPROFILE", nullptr, 0);
    std::wstring wide(n, L'\0');
    if (n <= 1 || GetEnvironmentVariableW(L"USERPROFILE", &wide[0], n) != n - 1) {
        path = "%USERPROFILE%\\_netrc";
        return nullptr;
    }
    wide.resize(n - 1);
    if (wide.back() != L'\\' && wide.back() != L'/')
        wide += L'\\';
    wide += L"_netrc";
    (void)Narrow(wide.c_str(), path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            why = ErrorText(error);
        return nullptr;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        why = "not a file";
        return nullptr;
    }
    FILE *file = _wfopen(wide.c_str(), L"rb");
    if (file == nullptr) {
        why = std::strerror(errno);
        return nullptr;
    }
    (void)setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

bool IsOpenToOthers(FILE *)
{
    return false;
}

void WipeMemory(void *data, std::size_t size)
{
    SecureZeroMemory(data, size);
}
