// Tools of the end-to-end driver: set-up, processes, windows, the probe and the checks.
#include "harness.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

int g_nFailures;

const wchar_t MAIL_KEY_PARENT[] = L"Software\\Netscape\\Netscape Navigator";
const wchar_t MAIL_KEY[] = L"Software\\Netscape\\Netscape Navigator\\Mail";
const wchar_t MAIL_VALUE[] = L"Mail Directory";

const DWORD POLL_MS = 20;

}  // namespace

// ---- Checks --------------------------------------------------------------------------

std::string Utf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size,
                        nullptr, nullptr);
    return result;
}

void Check(bool ok, const std::string &what)
{
    if (!ok)
        ++g_nFailures;
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
}

std::string Quoted(const std::wstring &text)
{
    std::string result = "\"";
    for (char c : Utf8(text)) {
        if (c == '\n')
            result += "\\n";
        else if (c == '\r')
            result += "\\r";
        else
            result += c;
    }
    return result + "\"";
}

void CheckText(const std::wstring &actual, const std::wstring &expected, const std::string &what)
{
    Check(actual == expected, what + ": " + Quoted(actual) +
                                  (actual == expected ? "" : ", expected " + Quoted(expected)));
}

void Note(const std::string &text)
{
    static const ULONGLONG start = GetTickCount64();
    std::printf("== %s (at %.1f s)\n", text.c_str(),
                static_cast<double>(GetTickCount64() - start) / 1000);
    std::fflush(stdout);
}

int FailureCount()
{
    return g_nFailures;
}

// ---- Waiting -------------------------------------------------------------------------

bool WaitUntil(const std::function<bool()> &condition, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount64() >= deadline)
            return condition();
        Sleep(POLL_MS);
    }
}

// ---- The mail set-up -----------------------------------------------------------------

const std::string &SampleInbox()
{
    // One mail with a header in ASCII and a body in ISO-2022-KR, lines ending in CR LF.
    static const std::string inbox = "From - Mon Sep 23 09:00:00 1996\r\n"
                                     "Subject: Hangul\r\n"
                                     "Content-Type: text/plain; charset=ISO-2022-KR\r\n"
                                     "\r\n"
                                     "\x1b$)C\r\n"
                                     "\x0e>H3gGO<<?d\x0f, \x0eGQ1[\x0f \x0e"
                                     "8^@O@T4O4Y\x0f.\r\n";
    return inbox;
}

const std::string &ConvertedInbox()
{
    // The designator line is gone; the Korean text is EUC-KR ("Hello, this is a Hangul mail.").
    static const std::string inbox = "From - Mon Sep 23 09:00:00 1996\r\n"
                                     "Subject: Hangul\r\n"
                                     "Content-Type: text/plain; charset=ISO-2022-KR\r\n"
                                     "\r\n"
                                     "\xbe\xc8\xb3\xe7\xc7\xcf\xbc\xbc\xbf\xe4, \xc7\xd1\xb1\xdb "
                                     "\xb8\xde\xc0\xcf\xc0\xd4\xb4\xcf\xb4\xd9.\r\n";
    return inbox;
}

bool ReadFileBytes(const std::wstring &path, std::string *bytes)
{
    bytes->clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char buffer[4096];
    DWORD n;
    bool ok;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &n, nullptr)) && n > 0)
        bytes->append(buffer, n);
    CloseHandle(file);
    return ok;
}

bool WriteFileBytes(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD n = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
              n == bytes.size();
    return CloseHandle(file) && ok;
}

bool FileExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

MailDirectory::MailDirectory(const wchar_t *tag)
{
    wchar_t temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH)
        return;
    wchar_t name[64];
    std::swprintf(name, 64, L"quorvel-e2e-%ls-%lu-%llu", tag, GetCurrentProcessId(), GetTickCount64());
    std::wstring path = std::wstring(temp) + name;
    if (CreateDirectoryW(path.c_str(), nullptr))
        m_path = path;
}

MailDirectory::~MailDirectory()
{
    if (m_path.empty())
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((m_path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            DeleteFileW(File(found.cFileName).c_str());
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(m_path.c_str());
}

bool MailDirectory::Fill() const
{
    return !m_path.empty() && WriteFileBytes(File(L"Inbox"), SampleInbox()) &&
           WriteFileBytes(File(L"Inbox.snm"), "summary of the Inbox folder\r\n");
}

bool MailDirectory::RemoveInbox() const
{
    return DeleteFileW(File(L"Inbox").c_str()) || !FileExists(File(L"Inbox"));
}

bool RemoveMailKey()
{
    LONG result = RegDeleteTreeW(HKEY_CURRENT_USER, MAIL_KEY);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        return false;
    // Also the parent, so that nothing of the mail client's set-up is left.
    RegDeleteKeyW(HKEY_CURRENT_USER, MAIL_KEY_PARENT);
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, MAIL_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return false;
    }
    return true;
}

bool CreateMailKeyWithoutValue()
{
    if (!RemoveMailKey())
        return false;
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, MAIL_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool SetMailDirectory(const std::wstring &directory)
{
    if (!CreateMailKeyWithoutValue())
        return false;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, MAIL_KEY, 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = static_cast<DWORD>((directory.size() + 1) * sizeof(wchar_t));
    LONG result = RegSetValueExW(key, MAIL_VALUE, 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(directory.c_str()), size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool SetMailDirectoryBytes(const std::string &bytes, bool withNul)
{
    if (!CreateMailKeyWithoutValue())
        return false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, Utf8(MAIL_KEY).c_str(), 0, KEY_WRITE, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD size = static_cast<DWORD>(bytes.size() + (withNul ? 1 : 0));
    LONG result = RegSetValueExA(key, Utf8(MAIL_VALUE).c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(bytes.c_str()), size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// ---- The program under test ----------------------------------------------------------

bool UseUnmanagedWindows()
{
    // Wine waits up to two seconds for a window manager to acknowledge every window it hides;
    // a virtual display has none.  Windows that no window manager manages need no answer.
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    static const wchar_t no[] = L"N";
    LONG result =
        RegSetValueExW(key, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE *>(no), sizeof no);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

Program::~Program()
{
    Kill();
}

bool Program::Start(const std::wstring &exe, const std::wstring &directory)
{
    Kill();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &m_info)) {
        m_info = PROCESS_INFORMATION();
        return false;
    }
    CloseHandle(m_info.hThread);
    m_info.hThread = nullptr;
    return true;
}

bool Program::Running() const
{
    return m_info.hProcess != nullptr && WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT;
}

bool Program::WaitForInputIdle(DWORD timeoutMs) const
{
    return m_info.hProcess != nullptr && ::WaitForInputIdle(m_info.hProcess, timeoutMs) == 0;
}

bool Program::WaitForExit(DWORD timeoutMs, DWORD *exitCode)
{
    if (m_info.hProcess == nullptr ||
        WaitForSingleObject(m_info.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode != nullptr)
        GetExitCodeProcess(m_info.hProcess, exitCode);
    return true;
}

void Program::Kill()
{
    if (m_info.hProcess == nullptr)
        return;
    if (Running()) {
        TerminateProcess(m_info.hProcess, 255);
        WaitForSingleObject(m_info.hProcess, UI_TIMEOUT_MS);
    }
    CloseHandle(m_info.hProcess);
    m_info = PROCESS_INFORMATION();
}

namespace {

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopWindow(HWND window, LPARAM lParam)
{
    auto *search = reinterpret_cast<WindowSearch *>(lParam);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && IsWindowVisible(window))
        search->found.push_back(window);
    return TRUE;
}

}  // namespace

std::vector<HWND> Program::TopWindows() const
{
    WindowSearch search {m_info.dwProcessId, {}};
    if (m_info.hProcess != nullptr)
        EnumWindows(CollectTopWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND Program::WaitForWindow(const std::wstring &caption, DWORD timeoutMs) const
{
    HWND result = nullptr;
    WaitUntil(
        [&] {
            for (HWND window : TopWindows())
                if (WindowText(window) == caption) {
                    result = window;
                    return true;
                }
            return false;
        },
        timeoutMs);
    return result;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[1024];
    text[0] = L'\0';
    if (window != nullptr)
        GetWindowTextW(window, text, 1024);
    return text;
}

std::wstring ClassName(HWND window)
{
    wchar_t name[256];
    name[0] = L'\0';
    if (window != nullptr)
        GetClassNameW(window, name, 256);
    return name;
}

namespace {

struct ChildSearch {
    HWND parent;
    std::wstring className;
    std::vector<std::wstring> texts;
};

BOOL CALLBACK CollectChildText(HWND child, LPARAM lParam)
{
    auto *search = reinterpret_cast<ChildSearch *>(lParam);
    if (GetParent(child) == search->parent &&
        lstrcmpiW(ClassName(child).c_str(), search->className.c_str()) == 0)
        search->texts.push_back(WindowText(child));
    return TRUE;
}

}  // namespace

std::vector<std::wstring> ChildTexts(HWND parent, const std::wstring &className)
{
    ChildSearch search {parent, className, {}};
    EnumChildWindows(parent, CollectChildText, reinterpret_cast<LPARAM>(&search));
    return search.texts;
}

AsyncSend::AsyncSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    : m_window(window), m_message(message), m_wParam(wParam), m_lParam(lParam)
{
    m_thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

AsyncSend::~AsyncSend()
{
    if (m_thread == nullptr)
        return;
    // The window belongs to another process: if it hangs, its end releases the thread.
    WaitForSingleObject(m_thread, START_TIMEOUT_MS);
    CloseHandle(m_thread);
}

DWORD WINAPI AsyncSend::Run(void *self)
{
    auto *send = static_cast<AsyncSend *>(self);
    DWORD_PTR result;
    SendMessageTimeoutW(send->m_window, send->m_message, send->m_wParam, send->m_lParam,
                        SMTO_NORMAL, START_TIMEOUT_MS, &result);
    return 0;
}

bool AsyncSend::Finished(DWORD timeoutMs)
{
    return m_thread != nullptr && WaitForSingleObject(m_thread, timeoutMs) == WAIT_OBJECT_0;
}

// ---- The probe -----------------------------------------------------------------------

Probe::Probe(const std::wstring &dllPath) : m_dllPath(dllPath)
{ }

Probe::~Probe()
{
    if (m_hook != nullptr)
        UnhookWindowsHookEx(m_hook);
    if (m_block != nullptr)
        UnmapViewOfFile(m_block);
    if (m_mapping != nullptr)
        CloseHandle(m_mapping);
    if (m_dll != nullptr)
        FreeLibrary(m_dll);
}

bool Probe::Attach(HWND window)
{
    m_window = window;
    DWORD processId = 0;
    DWORD threadId = GetWindowThreadProcessId(window, &processId);
    if (threadId == 0)
        return false;
    wchar_t name[64];
    std::swprintf(name, 64, PROBE_BLOCK_NAME_FORMAT, processId);
    m_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                   sizeof(ProbeBlock), name);
    if (m_mapping == nullptr)
        return false;
    m_block = static_cast<ProbeBlock *>(
        MapViewOfFile(m_mapping, FILE_MAP_WRITE, 0, 0, sizeof(ProbeBlock)));
    m_dll = LoadLibraryW(m_dllPath.c_str());
    if (m_block == nullptr || m_dll == nullptr)
        return false;
    // Through void *: FARPROC takes no arguments, and -Wextra rightly frowns on a direct cast.
    auto hookProc = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void *>(GetProcAddress(m_dll, "ProbeGetMessage")));
    if (hookProc == nullptr)
        return false;
    m_hook = SetWindowsHookExW(WH_GETMESSAGE, hookProc, m_dll, threadId);
    return m_hook != nullptr;
}

const ProbeBlock *Probe::Ask(ProbeRequest request, DWORD timeoutMs)
{
    if (m_hook == nullptr)
        return nullptr;
    LONG serial = ++m_serial;
    const std::size_t start = offsetof(ProbeBlock, menuFound);
    std::memset(reinterpret_cast<char *>(m_block) + start, 0, sizeof(ProbeBlock) - start);
    if (!PostMessageW(m_window, RegisterWindowMessageW(PROBE_MESSAGE_NAME), request, serial))
        return nullptr;
    if (!WaitUntil([&] { return m_block->answered == serial; }, timeoutMs))
        return nullptr;
    MemoryBarrier();
    return m_block;
}

// ---- Paths ---------------------------------------------------------------------------

std::wstring WindowsPath(const std::wstring &path)
{
    std::wstring result = path;
    if (!path.empty() && path[0] == L'/') {
        // Wine's own drive Z: is the host's root directory.
        result = L"Z:" + result;
        for (wchar_t &c : result)
            if (c == L'/')
                c = L'\\';
    }
    return result;
}
