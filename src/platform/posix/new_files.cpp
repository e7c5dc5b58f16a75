// Writing a file anew beside another, and the streams of the command line (platform.h),
// over POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform.h"

static_assert(sizeof(sigset_t) <= 128, "the signal mask fits CInterruptsHeld");

CInterruptsHeld::CInterruptsHeld() : m_old()
{
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigaddset(&interrupts, SIGHUP);
    m_held = sigprocmask(SIG_BLOCK, &interrupts, reinterpret_cast<sigset_t *>(m_old)) == 0;
}

CInterruptsHeld::~CInterruptsHeld()
{
    if (m_held)
        (void)sigprocmask(SIG_SETMASK, reinterpret_cast<sigset_t *>(m_old), nullptr);  // a held one arrives now
}

namespace {

EPathKind KindOf(const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return EPathKind::FILE;
    if (S_ISDIR(st.st_mode))
        return EPathKind::DIRECTORY;
    if (S_ISFIFO(st.st_mode))
        return EPathKind::PIPE;
    return EPathKind::OTHER;
}

void Fill(const struct stat &st, SFileOwner &owner)
{
    owner.user = st.st_uid;
    owner.group = st.st_gid;
    owner.mode = st.st_mode & 07777;
}

}  // namespace

EPathKind KindOfPath(const char *path, SFileOwner *owner)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return EPathKind::MISSING;
    if (owner != nullptr)
        Fill(st, *owner);
    return KindOf(st);
}

bool OwnerOfStream(FILE *stream, SFileOwner &owner)
{
    struct stat st;
    if (fstat(fileno(stream), &st) != 0)
        return false;
    Fill(st, owner);
    return true;
}

void TakeOwnerAndMode(FILE *to, const SFileOwner &owner, unsigned modeBits)
{
    if (fchown(fileno(to), owner.user, owner.group) != 0)
        (void)fchown(fileno(to), static_cast<uid_t>(-1), owner.group);
    (void)fchmod(fileno(to), owner.mode & modeBits);
}

void GiveNewFileMode(FILE *to)
{
    mode_t mask = umask(0);
    (void)umask(mask);
    (void)fchmod(fileno(to), 0666 & ~mask);
}

std::string FollowLinks(const std::string &path, bool &special)
{
    special = false;
    std::string at = path;
    for (int hop = 0; hop < 40; ++hop) {
        if (at.compare(0, 5, "/dev/") == 0 || at.compare(0, 6, "/proc/") == 0)
            special = true;
        char target[PATH_SIZE];
        ssize_t n = readlink(at.c_str(), target, sizeof target - 1);
        if (n <= 0)
            break;
        target[n] = '\0';
        at = target[0] == '/' ? std::string(target) : DirectoryOf(at) + target;
    }
    return at;
}

bool PipeNeedsReopening()
{
    return true;
}

FILE *ReopenPipeToRead(HANDLE file, const char *path)
{
    FILE *first = OpenHandleStream(file, "rb");
    FILE *stream = first != nullptr ? std::fopen(path, "rb") : nullptr;
    struct stat was, now;
    if (stream != nullptr && (fstat(fileno(first), &was) != 0 || fstat(fileno(stream), &now) != 0 ||
                              was.st_dev != now.st_dev || was.st_ino != now.st_ino)) {
        std::fclose(stream);
        stream = nullptr;
        SetLastError(ERROR_NOT_A_FILE);
    }
    if (first != nullptr) {
        DWORD error = GetLastError();
        std::fclose(first);
        SetLastError(error);
    }
    return stream;
}

bool PipeHadNoReader()
{
    return errno == ENXIO;
}

long long StreamFileSize(FILE *stream)
{
    struct stat st;
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<long long>(st.st_size);
}
