// Entry point of the command-line converter.
#include <cstdio>

#include "converter.h"
#include "platform.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "wide_path.h"

// The C runtime expands no pattern (_dowildcard is left 0): its expansion asks
// FindFirstFile, which also matches the 8.3 short names of volumes that keep them, so that
// "*.eml" would find "a.eml~" (A~1.EML) and "b.emlx".  We expand them ourselves.

namespace {

UINT g_consoleCodePage;

void RestoreConsole()
{
    SetConsoleOutputCP(g_consoleCodePage);
}

// The program's code page is UTF-8 (its manifest), so paths and the system's messages
// come as UTF-8: the console shows them so for as long as the program runs.
void ShowUtf8InConsole()
{
    g_consoleCodePage = GetConsoleOutputCP();
    if (g_consoleCodePage != 0 && g_consoleCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit(RestoreConsole);
}

// One argument of the command line, and whether it has a * or ? outside quotes: a pattern.
struct SArgument {
    std::wstring text;
    bool pattern = false;
};

// The arguments after the program's name, split as the C runtime splits them: white space
// outside quotes between them; 2n backslashes and a quote are n backslashes and a quote
// that opens or closes, 2n+1 backslashes and a quote are n backslashes and the quote
// itself, "" inside quotes is a quote; other backslashes are themselves.
std::vector<SArgument> SplitCommandLine(const wchar_t *line)
{
    // The program's name ends at the first white space outside quotes; no backslash escapes.
    bool quoted = false;
    for (; *line != L'\0' && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
        if (*line == L'"')
            quoted = !quoted;
    }
    std::vector<SArgument> arguments;
    for (;;) {
        while (*line == L' ' || *line == L'\t')
            ++line;
        if (*line == L'\0')
            return arguments;
        SArgument argument;
        quoted = false;
        while (*line != L'\0' && (quoted || (*line != L' ' && *line != L'\t'))) {
            std::size_t backslashes = 0;
            while (*line == L'\\') {
                ++backslashes;
                ++line;
            }
            if (*line == L'"') {
                argument.text.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    argument.text += L'"';
                } else if (quoted && line[1] == L'"') {
                    argument.text += L'"';
                    ++line;
                } else {
                    quoted = !quoted;
                }
                ++line;
                continue;
            }
            argument.text.append(backslashes, L'\\');
            if (*line == L'\0' || (!quoted && (*line == L' ' || *line == L'\t')))
                break;
            if (!quoted && (*line == L'*' || *line == L'?'))
                argument.pattern = true;
            argument.text += *line++;
        }
        arguments.push_back(argument);
    }
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

// text in the program's code page (UTF-8, by its manifest), as the C runtime gives main
// its arguments.
std::string Narrow(const std::wstring &text)
{
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], n, nullptr, nullptr);
    narrow.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return narrow;
}

// The paths that the pattern's last name matches in its directory, by their long names
// only, sorted by name as NTFS lists them; the pattern itself where none does (so that its
// error names it) or where its directory has a pattern too.
std::vector<std::wstring> Expand(const std::wstring &pattern)
{
    std::size_t cut = pattern.find_last_of(L"\\/:");
    std::wstring dir = cut == std::wstring::npos ? std::wstring() : pattern.substr(0, cut + 1);
    std::wstring last = pattern.substr(dir.size());
    std::vector<std::wstring> names;
    std::wstring where;
    if (dir.find_first_of(L"*?") == std::wstring::npos &&
        WidePath(Narrow(dir.empty() ? L"." : dir).c_str(), where)) {
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

// The program's arguments from its wide command line, each pattern expanded (Expand), in
// the program's code page; argv[0] as the runtime gave it.
std::vector<std::string> ExpandedArguments(const char *program)
{
    std::vector<std::string> arguments{program};
    for (const SArgument &argument : SplitCommandLine(GetCommandLineW())) {
        std::vector<std::wstring> paths = argument.pattern ? Expand(argument.text) : std::vector<std::wstring>{argument.text};
        std::transform(paths.begin(), paths.end(), std::back_inserter(arguments), Narrow);
    }
    return arguments;
}

}  // namespace
#endif

int main(int argc, char **argv)
{
    EndAtOnceOnInterrupt();
#ifdef _WIN32
    ShowUtf8InConsole();
    std::vector<std::string> arguments = ExpandedArguments(argc > 0 ? argv[0] : "quorvel-convert");
    std::vector<char *> pointers(arguments.size() + 1, nullptr);
    std::transform(arguments.begin(), arguments.end(), pointers.begin(), [](std::string &a) { return &a[0]; });
    return RunConverter(static_cast<int>(arguments.size()), pointers.data(), stdout, stderr);
#else
    return RunConverter(argc, argv, stdout, stderr);
#endif
}
