// Tools of the end-to-end driver: the mail set-up, the program under test as a process,
// its windows seen from outside, the probe inside it, and the checks.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "probe.h"

// ---- Checks --------------------------------------------------------------------------

// Prints one line per check ("ok" or "FAIL") and remembers whether any failed.
void Check(bool ok, const std::string &what);
void CheckText(const std::wstring &actual, const std::wstring &expected, const std::string &what);
// Prints a line that is not a check (the name of a case).
void Note(const std::string &text);
int FailureCount();

std::string Utf8(const std::wstring &text);
// The text in double quotes, line ends shown as \n and \r, for a line of the report.
std::string Quoted(const std::wstring &text);

// ---- Waiting -------------------------------------------------------------------------

// Polls condition until it holds or timeoutMs has passed; returns its last value.
bool WaitUntil(const std::function<bool()> &condition, DWORD timeoutMs);

const DWORD START_TIMEOUT_MS = 30000;  // a cold Wine may take long to show a first window
const DWORD UI_TIMEOUT_MS = 10000;     // a window reacting to one command

// ---- The mail set-up -----------------------------------------------------------------

// A mail directory of its own in the temporary directory, removed with the object.
class MailDirectory {
public:
    // Named with tag, by default in Hangul: the program must reach it whatever the system's
    // code page is.
    explicit MailDirectory(const wchar_t *tag = L"\uba54\uc77c");
    ~MailDirectory();
    const std::wstring &Path() const { return m_path; }
    std::wstring File(const wchar_t *name) const { return m_path + L"\\" + name; }
    // The Inbox in ISO-2022-KR and an Inbox.snm beside it.
    bool Fill() const;
    bool RemoveInbox() const;

private:
    std::wstring m_path;
};

// The Inbox written by Fill, and what it becomes once converted (EUC-KR, CR LF).
const std::string &SampleInbox();
const std::string &ConvertedInbox();
bool ReadFileBytes(const std::wstring &path, std::string *bytes);
bool WriteFileBytes(const std::wstring &path, const std::string &bytes);
bool FileExists(const std::wstring &path);

// The mail client's key in HKEY_CURRENT_USER and its "Mail Directory" value.
bool RemoveMailKey();
bool CreateMailKeyWithoutValue();
bool SetMailDirectory(const std::wstring &directory);
// The value as raw ANSI bytes of the given length, stored with or without a NUL after them.
bool SetMailDirectoryBytes(const std::string &bytes, bool withNul);

// ---- The program under test ----------------------------------------------------------

// Makes the programs started after it show their windows without a window manager's help,
// as a virtual display has none.  Only Wine reads the setting.
bool UseUnmanagedWindows();

// One run of Quorvel.exe.  Whatever is still running when the object goes is ended.
class Program {
public:
    Program() = default;
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    bool Start(const std::wstring &exe, const std::wstring &directory);
    DWORD ProcessId() const { return m_info.dwProcessId; }
    // Waits for the process to end; false on timeout.  exitCode gets its exit code.
    bool WaitForExit(DWORD timeoutMs, DWORD *exitCode = nullptr);
    bool Running() const;
    // Waits until the program waits for input with nothing left to handle; false on timeout.
    bool WaitForInputIdle(DWORD timeoutMs) const;
    void Kill();

    // The visible top-level windows of the process.
    std::vector<HWND> TopWindows() const;
    // Waits for a visible top-level window of the process with this caption.
    HWND WaitForWindow(const std::wstring &caption, DWORD timeoutMs) const;

private:
    PROCESS_INFORMATION m_info = {};
};

std::wstring WindowText(HWND window);
std::wstring ClassName(HWND window);
// The texts of the child windows of a class ("Static", "Button"), in z-order.
std::vector<std::wstring> ChildTexts(HWND parent, const std::wstring &className);

// A message sent from a worker thread, so that the caller can go on while a handler that
// opens a modal window waits for it.
class AsyncSend {
public:
    AsyncSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    ~AsyncSend();
    // Waits until the handler has returned; false on timeout.
    bool Finished(DWORD timeoutMs);

private:
    static DWORD WINAPI Run(void *self);
    HWND m_window;
    UINT m_message;
    WPARAM m_wParam;
    LPARAM m_lParam;
    HANDLE m_thread;
};

// ---- The probe -----------------------------------------------------------------------

// The probe DLL hooked into the thread of a window of the program.
class Probe {
public:
    explicit Probe(const std::wstring &dllPath);
    ~Probe();
    // Hooks the window's thread; false when the DLL or the hook is not there.
    bool Attach(HWND window);
    // Runs one request on the window's thread; null on timeout.
    const ProbeBlock *Ask(ProbeRequest request, DWORD timeoutMs);

private:
    std::wstring m_dllPath;
    HMODULE m_dll = nullptr;
    HHOOK m_hook = nullptr;
    HANDLE m_mapping = nullptr;
    ProbeBlock *m_block = nullptr;
    HWND m_window = nullptr;
    LONG m_serial = 0;
};

// A path given in the form of the host system (/work/...) as Wine sees it (Z:\work\...).
std::wstring WindowsPath(const std::wstring &path);
