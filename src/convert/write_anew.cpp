// Files written anew (write_anew.h).
#include "write_anew.h"

#include <chrono>
#include <cstdio>

bool WriteWhole(HANDLE file, const void *text, std::size_t n)
{
    DWORD written = 0;
    if (!WriteFile(file, text, static_cast<DWORD>(n), &written, nullptr))
        return false;
    if (written != n) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

bool CloseAfter(HANDLE file, bool ok)
{
    DWORD error = GetLastError();
    if (!CloseHandle(file) && ok)
        return false;
    SetLastError(error);
    return ok;
}

namespace {

// Writes n bytes to file whole and flushes them.
bool WriteAndFlush(HANDLE file, const void *text, std::size_t n)
{
    return WriteWhole(file, text, n) && FlushFileBuffers(file) != 0;
}

}  // namespace

bool WriteNewFile(const char *path, const void *text, std::size_t n, HANDLE *held)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = WriteAndFlush(file, text, n);
    if (ok && held != nullptr) {
        *held = file;
        return true;
    }
    return CloseAfter(file, ok);
}

bool WriteNewEntry(const CHeldDirectory &dir, const std::string &name, const std::string &text)
{
    HANDLE file = dir.CreateEntry(name);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = CloseAfter(file, WriteAndFlush(file, text.data(), text.size())) && dir.Flush();
    if (!ok) {
        DWORD error = GetLastError();
        (void)dir.DeleteEntry(name);
        SetLastError(error);
    }
    return ok;
}

bool WriteAnew(const char *temp, const char *target, const char *dir, const void *text, std::size_t n)
{
    DeleteFileA(temp);  // left by a replacement that was interrupted
    if (!WriteNewFile(temp, text, n) || !MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        DeleteFileA(temp);
        SetLastError(error);
        return false;
    }
    return FlushDirectory(dir);
}

bool PutInPlace(const char *temp, const char *target, const char *dir)
{
    return MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) && FlushDirectory(dir);
}

HANDLE CreateTemporaryIn(const std::string &dir, std::string &name)
{
    static unsigned next =
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() / 1000);
    // cppcheck-suppress unusedVariable
    CInterruptsHeld interrupts;  // until the file is marked for removal
    for (unsigned tries = 0; tries <= 0xFFFF; ++tries) {
        char file[16];
        std::snprintf(file, sizeof file, "qvl%04X.TMP", next++ & 0xFFFF);
        name = dir + file;
        // Sharing deletion, so that an interrupt on Windows can delete it while it is open.
        HANDLE made = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (made != INVALID_HANDLE_VALUE) {
            // Stopped with Ctrl-C or kill, it leaves no half-written file behind.
            RemoveOnInterrupt(name.c_str());
            return made;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}
