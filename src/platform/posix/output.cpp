// Stand-ins over POSIX for the calls that write a converted folder to a file of its own.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform.h"

BOOL MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags)
{
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && access(newName, F_OK) == 0) {
        errno = EEXIST;
        return FALSE;
    }
    if (std::rename(existing, newName) != 0)
        return FALSE;
    if (flags & MOVEFILE_WRITE_THROUGH) {
        // The new name is on the disk once the directory that holds it is.
        std::string name = newName;
        std::size_t slash = name.rfind('/');
        std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
        (void)FlushDirectory(dir.c_str());  // the rename has happened; some file systems cannot sync a directory
    }
    return TRUE;
}

bool SetBinaryMode(FILE *)
{
    return true;  // POSIX streams never translate line ends
}

long long StreamPosition(FILE *stream)
{
    struct stat st;
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<long long>(ftello(stream));
}

bool SetStreamPosition(FILE *stream, long long position)
{
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

namespace {

const char *volatile g_removeOnInterrupt;
const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveAndEnd(int signal)
{
    const char *path = g_removeOnInterrupt;
    if (path != nullptr)
        (void)unlink(path);
    // Ended as the signal ends a program, so that whoever started us learns of it.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    (void)sigaction(signal, &action, nullptr);
    (void)raise(signal);
}

}  // namespace

void RemoveOnInterrupt(const char *path)
{
    g_removeOnInterrupt = path;
    static bool installed;
    if (path == nullptr || installed)
        return;
    installed = true;
    for (int signal : INTERRUPTS) {
        struct sigaction action = {};
        // A signal its starter told us to ignore (nohup) stays ignored.
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            continue;
        action = {};
        action.sa_handler = RemoveAndEnd;
        sigemptyset(&action.sa_mask);
        (void)sigaction(signal, &action, nullptr);
    }
}

void EndAtOnceOnInterrupt()
{
    // A signal's own action ends the program without the C library's exit.
}
