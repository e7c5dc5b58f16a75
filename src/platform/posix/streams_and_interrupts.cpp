// Standard streams and their positions, and a file removed when the program is
// interrupted (platform.h), over POSIX.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform.h"

bool SetBinaryMode(FILE *)
{
    return true;  // POSIX streams never translate line ends
}

long long StreamPosition(FILE *stream)
{
    // A stream over the program's own functions (OpenCallStream) has no descriptor, and
    // goes back where its functions can.
    int fd = fileno(stream);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)))
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
