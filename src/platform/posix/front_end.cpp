// The command line's arguments, the terminal and the user's secrets (front_end.h), natively:
// arguments as they come, the terminal through termios.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "front_end.h"

std::vector<std::string> ProgramArguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

bool IsPromptHelp(const char *)
{
    return false;
}

bool IsTerminal(FILE *stream)
{
    return isatty(fileno(stream)) == 1;
}

void StartConsoleOutput() {}

void EndConsoleOutput() {}

bool OwnsConsoleAlone()
{
    // A terminal outlives the programs started in it.
    return false;
}

void WaitForEnter(const char *) {}

bool UserLanguageIsKorean()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *value = std::getenv(name);
        if (value != nullptr && value[0] != '\0')
            return std::strncmp(value, "ko", 2) == 0;
    }
    return false;
}

namespace {

// The terminal whose echo ReadHiddenLine turned off, and its settings before, for a signal's
// handler to put back; the signal caught meanwhile.
int g_hiddenTerminal = -1;
struct termios g_terminalBefore;
volatile sig_atomic_t g_hiddenInterrupt;
const int HIDDEN_INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void PutTerminalBack(int signal)
{
    (void)tcsetattr(g_hiddenTerminal, TCSAFLUSH, &g_terminalBefore);
    g_hiddenInterrupt = signal;
}

void WriteAll(int fd, const char *text, std::size_t n)
{
    while (n > 0) {
        ssize_t written = write(fd, text, n);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        n -= static_cast<std::size_t>(written);
    }
}

}  // namespace

bool ReadHiddenLine(const std::string &prompt, std::string &line, std::string &why)
{
    line.clear();
    line.reserve(MAX_HIDDEN_LINE);
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("no terminal to ask on: /dev/tty: ") + std::strerror(errno);
        return false;
    }
    struct termios before;
    if (tcgetattr(fd, &before) != 0) {
        why = std::string("cannot turn the echo off: ") + std::strerror(errno);
        close(fd);
        return false;
    }
    g_terminalBefore = before;
    g_hiddenTerminal = fd;
    g_hiddenInterrupt = 0;
    // Without SA_RESTART, so that the read below ends with EINTR and the signal goes on.
    struct sigaction ours = {}, theirs[sizeof HIDDEN_INTERRUPTS / sizeof HIDDEN_INTERRUPTS[0]];
    ours.sa_handler = PutTerminalBack;
    sigemptyset(&ours.sa_mask);
    for (std::size_t i = 0; i < sizeof HIDDEN_INTERRUPTS / sizeof HIDDEN_INTERRUPTS[0]; ++i)
        (void)sigaction(HIDDEN_INTERRUPTS[i], &ours, &theirs[i]);
    struct termios hidden = before;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    hidden.c_lflag |= ICANON;
    bool ok = tcsetattr(fd, TCSAFLUSH, &hidden) == 0;
    if (!ok)
        why = std::string("cannot turn the echo off: ") + std::strerror(errno);
    else
        WriteAll(fd, prompt.data(), prompt.size());
    bool ended = false, tooLong = false;
    while (ok && !ended && g_hiddenInterrupt == 0) {
        char c = 0;
        ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            why = std::string("cannot read the terminal: ") + std::strerror(errno);
            ok = false;
        } else if (got == 0 || c == '\n' || c == '\r') {
            ended = true;
        } else if (line.size() < MAX_HIDDEN_LINE) {
            line.push_back(c);
        } else {
            tooLong = true;
        }
        c = 0;
    }
    (void)tcsetattr(fd, TCSAFLUSH, &before);
    WriteAll(fd, "\n", 1);
    for (std::size_t i = 0; i < sizeof HIDDEN_INTERRUPTS / sizeof HIDDEN_INTERRUPTS[0]; ++i)
        (void)sigaction(HIDDEN_INTERRUPTS[i], &theirs[i], nullptr);
    g_hiddenTerminal = -1;
    close(fd);
    int interrupt = g_hiddenInterrupt;
    if (interrupt != 0) {
        WipeMemory(line.data(), line.size());
        line.clear();
        why = "interrupted";
        // The program's own handling of it, now that the terminal is as it was.
        (void)raise(interrupt);
        return false;
    }
    if (ok && tooLong) {
        why = "the line typed is longer than " + std::to_string(MAX_HIDDEN_LINE) + " bytes";
        ok = false;
    }
    return ok;
}

FILE *StartCommand(const std::string &command, std::string &why)
{
    std::fflush(nullptr);
    errno = 0;
    FILE *output = popen(command.c_str(), "r");
    if (output == nullptr)
        why = errno != 0 ? std::strerror(errno) : "cannot start the shell";
    return output;
}

bool EndCommand(FILE *output, std::string &why)
{
    int status = pclose(output);
    if (status == -1) {
        why = std::string("cannot learn how it ended: ") + std::strerror(errno);
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    if (WIFSIGNALED(status))
        why = "ended by signal " + std::to_string(WTERMSIG(status));
    else
        why = "ended with status " + std::to_string(WEXITSTATUS(status));
    return false;
}

FILE *OpenNetrc(std::string &path, std::string &why)
{
    why.clear();
    const char *home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const struct passwd *entry = getpwuid(geteuid());
        home = entry != nullptr ? entry->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0') {
        path = "~/.netrc";
        return nullptr;
    }
    path = std::string(home) + (home[std::strlen(home) - 1] == '/' ? "" : "/") + ".netrc";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            why = std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    FILE *file = nullptr;
    if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode))
        why = "not a file";
    else if (fstat(fd, &st) != 0 || (file = fdopen(fd, "rb")) == nullptr)
        why = std::strerror(errno);
    if (file == nullptr) {
        close(fd);
        return nullptr;
    }
    (void)setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

bool IsOpenToOthers(FILE *file)
{
    struct stat st;
    return fstat(fileno(file), &st) != 0 || (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0;
}

void WipeMemory(void *data, std::size_t size)
{
    explicit_bzero(data, size);
}
