// A helper of the Windows fault tests: holds a file open the way another program would, or
// runs a program with a temporary and a state directory of the test's choosing.
//
//   fault_helper hold FILE SHARE READY SECONDS
//       Opens FILE for reading with SHARE as its share mode ("none" or "read"), creates
//       READY, and keeps FILE open until READY is deleted or SECONDS have passed.
//       Exit 0, or 2 when FILE or READY cannot be opened.
//   fault_helper append FILE COUNT
//       Appends COUNT short mails to FILE, one at a time, as a mail client adds new mail,
//       and prints "added N" or "refused N" for each.  Exit 0.
//   fault_helper run-with-temp DIR HOME PROGRAM [ARG...]
//       Runs PROGRAM with TMP and TEMP set to DIR and LOCALAPPDATA (the home of its state
//       directory) to HOME, and exits with its exit code (125 when it cannot be started).
//       Wine takes the three from its registry, not from the Unix environment, so a test
//       started from Linux cannot set them itself.
//   fault_helper kill-when-written FILE DIR HOME PROGRAM [ARG...]
//       The same, but ends PROGRAM at once, as "taskkill /F" would, as soon as FILE has been
//       written to; exit 0 when it was ended so, 3 when it ended first.
//   fault_helper interrupt-when-written DIR PROGRAM [ARG...]
//       Runs PROGRAM in a console of the helper's own, writing mail to its standard input
//       and keeping it open, and presses Ctrl-C in that console (GenerateConsoleCtrlEvent)
//       once a file DIR\qvl*.tmp has been written to; exit 0 when that ended PROGRAM, 3
//       when it did not or ended first (its input is then closed), 125 when the event
//       could not be sent.
//   fault_helper console new|shared SCREEN PROGRAM [ARG...]
//       Runs PROGRAM in a console: with "new" one of its own (CREATE_NEW_CONSOLE), as
//       Explorer starts it, with "shared" the helper's, as a prompt does.  Once the console
//       shows "Enter", or PROGRAM has ended, puts the console's text into SCREEN (UTF-8,
//       one line of the screen a line, trailing spaces cut); then presses Enter there.
//       Exit 0 when PROGRAM waited for that Enter and ended after it, 3 when it ended
//       without waiting, 4 when it did not end, 125 when it could not be started.
//   fault_helper interrupt-when-changed FILE DELAY DIR HOME PROGRAM [ARG...]
//       Runs PROGRAM as run-with-temp does, in a console of the helper's own, and presses
//       Ctrl-C in that console DELAY milliseconds after FILE was first written to; exit 0
//       when that ended PROGRAM, 3 when PROGRAM ended first (printing "ended N ms after",
//       N the milliseconds from that first write to its end), 125 when the event could not
//       be sent.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Hold(const char *path, const char *share, const char *ready, int seconds)
{
    DWORD mode = std::strcmp(share, "read") == 0 ? FILE_SHARE_READ : 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, mode, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "fault_helper: cannot open %s (error %lu)\n", path, GetLastError());
        return 2;
    }
    HANDLE flag = CreateFileA(ready, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (flag == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "fault_helper: cannot create %s (error %lu)\n", ready, GetLastError());
        CloseHandle(file);
        return 2;
    }
    CloseHandle(flag);
    // Polling keeps the helper free of any channel the test would have to set up.
    for (int waited = 0; waited < seconds * 10; ++waited) {
        if (GetFileAttributesA(ready) == INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    CloseHandle(file);
    return 0;
}

int Append(const char *path, int count)
{
    for (int n = 1; n <= count; ++n) {
        HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        bool added = false;
        if (file != INVALID_HANDLE_VALUE) {
            char mail[64];
            int size = std::snprintf(mail, sizeof mail, "From appender\r\nmail %d\r\n\r\n", n);
            DWORD written = 0;
            added = WriteFile(file, mail, static_cast<DWORD>(size), &written, nullptr) &&
                    written == static_cast<DWORD>(size);
            added = CloseHandle(file) && added;
        }
        std::printf("%s %d\n", added ? "added" : "refused", n);
        std::fflush(stdout);
        Sleep(20);
    }
    return 0;
}

// Appends arg to a command line, quoted so that the C runtime's parser gives it back as is.
void AppendQuoted(std::string &line, const char *arg)
{
    if (!line.empty())
        line += ' ';
    line += '"';
    std::size_t backslashes = 0;
    for (const char *p = arg; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote, which itself gets one.
        line.append(*p == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += *p;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

// The time file was last written, or 0.
ULONGLONG LastWritten(const char *file)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(file, GetFileExInfoStandard, &data))
        return 0;
    return static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
}

// killWhen: null, or a file whose first write ends the program.
int RunWithTemp(const char *dir, const char *home, int argc, char **argv, const char *killWhen = nullptr)
{
    ULONGLONG written = killWhen != nullptr ? LastWritten(killWhen) : 0;
    if (!SetEnvironmentVariableA("TMP", dir) || !SetEnvironmentVariableA("TEMP", dir) ||
        !SetEnvironmentVariableA("LOCALAPPDATA", home))
        return 125;
    std::string line;
    for (int i = 0; i < argc; ++i)
        AppendQuoted(line, argv[i]);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(argv[0], &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "fault_helper: cannot start %s (error %lu)\n", argv[0], GetLastError());
        return 125;
    }
    if (killWhen != nullptr) {
        for (;;) {
            if (LastWritten(killWhen) != written) {
                bool ended = TerminateProcess(process.hProcess, 1) != 0;
                WaitForSingleObject(process.hProcess, INFINITE);
                CloseHandle(process.hThread);
                CloseHandle(process.hProcess);
                return ended ? 0 : 125;
            }
            if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) {
                CloseHandle(process.hThread);
                CloseHandle(process.hProcess);
                return 3;
            }
        }
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

// Whether directory dir holds a temporary file of the converter's with bytes in it.
bool WrittenTempFileIn(const char *dir)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((std::string(dir) + "\\qvl*.tmp").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool written = false;
    do
        written = written || entry.nFileSizeLow != 0 || entry.nFileSizeHigh != 0;
    while (FindNextFileA(search, &entry));
    FindClose(search);
    return written;
}

int InterruptWhenWritten(const char *dir, int argc, char **argv)
{
    // A console of our own: one started from Linux has none that takes a Ctrl-C.  Our
    // standard output and error stay where they were, and are the program's.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    if (!AllocConsole())
        return 125;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE input, feed;
    if (!CreatePipe(&input, &feed, &inherit, 0) || !SetHandleInformation(feed, HANDLE_FLAG_INHERIT, 0))
        return 125;
    std::string line;
    for (int i = 0; i < argc; ++i)
        AppendQuoted(line, argv[i]);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(argv[0], &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "fault_helper: cannot start %s (error %lu)\n", argv[0], GetLastError());
        return 125;
    }
    CloseHandle(input);
    // Only now: a process started while we ignore Ctrl-C would ignore it too.
    if (!SetConsoleCtrlHandler(nullptr, TRUE))
        return 125;
    // More than the converter's buffer holds, so that its temporary file is written to.
    const char mail[] = "From a\r\n\x1b$)C\r\n\x0e\x30\x21\x0f line of mail\r\n";
    for (int i = 0; i < 8192; ++i) {
        DWORD written;
        if (!WriteFile(feed, mail, sizeof mail - 1, &written, nullptr))
            break;
    }
    int result = 3;
    for (int waited = 0; waited < 3000; ++waited) {
        if (WrittenTempFileIn(dir)) {
            if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
                result = 125;
            else if (WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0)
                result = 0;
            break;
        }
        if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0)
            break;  // ended before it was written to
    }
    CloseHandle(feed);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

// The text of the console that process pid runs in, attached to for the while (with pid 0,
// our own); empty when it cannot be read.
std::wstring ConsoleText(DWORD pid)
{
    if (pid != 0) {
        FreeConsole();
        if (!AttachConsole(pid))
            return std::wstring();
    }
    std::wstring text;
    HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (screen != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(screen, &info)) {
        std::vector<wchar_t> row(static_cast<std::size_t>(info.dwSize.X));
        for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
            DWORD n = 0;
            ReadConsoleOutputCharacterW(screen, row.data(), static_cast<DWORD>(row.size()), COORD{0, y}, &n);
            std::wstring line(row.data(), n);
            line.erase(line.find_last_not_of(L' ') + 1);
            text += line + L"\n";
        }
    }
    if (screen != INVALID_HANDLE_VALUE)
        CloseHandle(screen);
    if (pid != 0)
        FreeConsole();
    return text;
}

// Presses Enter in the console of process pid (with pid 0, our own).
void PressEnter(DWORD pid)
{
    if (pid != 0) {
        FreeConsole();
        if (!AttachConsole(pid))
            return;
    }
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    INPUT_RECORD keys[2] = {};
    for (int i = 0; i < 2; ++i) {
        keys[i].EventType = KEY_EVENT;
        keys[i].Event.KeyEvent.bKeyDown = i == 0;
        keys[i].Event.KeyEvent.wRepeatCount = 1;
        keys[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
        keys[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
    }
    DWORD written;
    if (input != INVALID_HANDLE_VALUE) {
        WriteConsoleInputW(input, keys, 2, &written);
        CloseHandle(input);
    }
    if (pid != 0)
        FreeConsole();
}

int RunInConsole(bool own, const char *screenFile, int argc, char **argv)
{
    std::string line;
    for (int i = 0; i < argc; ++i)
        AppendQuoted(line, argv[i]);
    FreeConsole();
    if (!own && !AllocConsole())
        return 125;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(argv[0], &line[0], nullptr, nullptr, FALSE, own ? CREATE_NEW_CONSOLE : 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "fault_helper: cannot start %s (error %lu)\n", argv[0], GetLastError());
        return 125;
    }
    // Looked at through the program's console, which is ours too where it is shared; a
    // console of its own only after a while, as the program asks at its start how many
    // share its console, and our attaching would be one more.
    std::wstring text;
    bool ended = WaitForSingleObject(process.hProcess, own ? 3000 : 0) == WAIT_OBJECT_0;
    for (int waited = 0; waited < 200 && !ended; ++waited) {
        ended = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
        if (ended)
            break;
        text = ConsoleText(own ? process.dwProcessId : 0);
        if (text.find(L"Enter") != std::wstring::npos)
            break;
    }
    if (ended && !own)
        text = ConsoleText(0);
    int result = ended ? 3 : 4;
    if (!ended) {
        PressEnter(own ? process.dwProcessId : 0);
        if (WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0)
            result = 0;
        else
            TerminateProcess(process.hProcess, 9);
    }
    std::string utf8(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr,
                                                                  nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], static_cast<int>(utf8.size()), nullptr, nullptr);
    if (FILE *screen = std::fopen(screenFile, "wb")) {
        std::fputs(utf8.c_str(), screen);
        std::fclose(screen);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

int InterruptWhenChanged(const char *file, int delay, const char *dir, const char *home, int argc, char **argv)
{
    ULONGLONG written = LastWritten(file);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    if (!AllocConsole() || !SetEnvironmentVariableA("TMP", dir) || !SetEnvironmentVariableA("TEMP", dir) ||
        !SetEnvironmentVariableA("LOCALAPPDATA", home))
        return 125;
    std::string line;
    for (int i = 0; i < argc; ++i)
        AppendQuoted(line, argv[i]);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(argv[0], &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "fault_helper: cannot start %s (error %lu)\n", argv[0], GetLastError());
        return 125;
    }
    if (!SetConsoleCtrlHandler(nullptr, TRUE))
        return 125;
    int result = 3;
    ULONGLONG changed = 0;
    while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
        if (LastWritten(file) != written) {
            changed = GetTickCount64();
            if (delay > 0 && WaitForSingleObject(process.hProcess, static_cast<DWORD>(delay)) == WAIT_OBJECT_0)
                break;
            if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
                result = 125;
            else if (WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0)
                result = 0;
            break;
        }
    }
    if (result == 3)
        std::printf("ended %llu ms after\n", changed != 0 ? GetTickCount64() - changed : 0ULL);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 6 && std::strcmp(argv[1], "hold") == 0)
        return Hold(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (argc == 4 && std::strcmp(argv[1], "append") == 0)
        return Append(argv[2], std::atoi(argv[3]));
    if (argc >= 5 && std::strcmp(argv[1], "run-with-temp") == 0)
        return RunWithTemp(argv[2], argv[3], argc - 4, argv + 4);
    if (argc >= 6 && std::strcmp(argv[1], "kill-when-written") == 0)
        return RunWithTemp(argv[3], argv[4], argc - 5, argv + 5, argv[2]);
    if (argc >= 4 && std::strcmp(argv[1], "interrupt-when-written") == 0)
        return InterruptWhenWritten(argv[2], argc - 3, argv + 3);
    if (argc >= 5 && std::strcmp(argv[1], "console") == 0)
        return RunInConsole(std::strcmp(argv[2], "new") == 0, argv[3], argc - 4, argv + 4);
    if (argc >= 8 && std::strcmp(argv[1], "interrupt-when-changed") == 0)
        return InterruptWhenChanged(argv[2], std::atoi(argv[3]), argv[4], argv[5], argc - 6, argv + 6);
    std::fprintf(stderr, "usage: fault_helper hold FILE none|read READY SECONDS\n"
                         "       fault_helper append FILE COUNT\n"
                         "       fault_helper run-with-temp DIR HOME PROGRAM [ARG...]\n"
                         "       fault_helper kill-when-written FILE DIR HOME PROGRAM [ARG...]\n"
                         "       fault_helper interrupt-when-written DIR PROGRAM [ARG...]\n"
                         "       fault_helper console new|shared SCREEN PROGRAM [ARG...]\n"
                         "       fault_helper interrupt-when-changed FILE DELAY DIR HOME PROGRAM [ARG...]\n");
    return 2;
}
