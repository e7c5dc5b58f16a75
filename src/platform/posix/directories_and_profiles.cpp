// What the stores of mail need of the system (platform.h), over POSIX.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <cstdlib>
#include <cstring>
#include <string>

#include "descriptor.h"
#include "platform.h"

const char PATH_SEPARATOR = '/';

bool IsPathSeparator(char c)
{
    return c == '/';
}

std::string JoinPath(const std::string &dir, const std::string &name)
{
    if (!dir.empty() && dir.back() == '/')
        return dir + name;
    return dir + '/' + name;
}

std::string BaseNameOf(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    std::size_t sep = path.rfind('/');
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::string DirectoryOf(const std::string &path)
{
    std::size_t sep = path.rfind('/');
    return sep == std::string::npos ? std::string("./") : path.substr(0, sep + 1);
}

namespace {

// A link at the last step fails an O_NOFOLLOW open with ELOOP (or, with O_DIRECTORY on
// some systems, ENOTDIR): to the walk, a file that is no longer the one it found.
int Swapped(int error)
{
    return error == ELOOP || error == ENOTDIR || error == EMLINK ? static_cast<int>(ERROR_NOT_THE_WALKED_FILE)
                                                                  : error;
}

}  // namespace

std::unique_ptr<CHeldDirectory> CHeldDirectory::Open(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<CHeldDirectory>(new CHeldDirectory(HandleOf(fd), path));
}

CHeldDirectory::~CHeldDirectory()
{
    close(Descriptor(m_handle));
}

bool CHeldDirectory::Read(void (*found)(const SDirectoryEntry &entry, void *context), void *context) const
{
    // A descriptor of its own: reading moves the position of the one it reads.
    int fd = openat(Descriptor(m_handle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 && ReadDirectoryOf(fd, found, context);
}

std::unique_ptr<CHeldDirectory> CHeldDirectory::OpenSub(const std::string &name) const
{
    int fd = openat(Descriptor(m_handle), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        errno = Swapped(errno);
        return nullptr;
    }
    return std::unique_ptr<CHeldDirectory>(new CHeldDirectory(HandleOf(fd), PathOf(name)));
}

HANDLE CHeldDirectory::OpenEntry(const std::string &name, bool write, const SFileIdentity *expected) const
{
    int fd = openat(Descriptor(m_handle), name.c_str(),
                    (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        errno = Swapped(errno);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        return FailOpen(fd, errno);
    if (!S_ISREG(st.st_mode) ||
        (expected != nullptr && (static_cast<std::uint64_t>(st.st_dev) != expected->volume ||
                                 static_cast<std::uint64_t>(st.st_ino) != expected->indexLow)))
        return FailOpen(fd, static_cast<int>(ERROR_NOT_THE_WALKED_FILE));
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return FailOpen(fd, errno);
    return HandleOf(fd);
}

HANDLE CHeldDirectory::OpenToRewrite(const std::string &name, const SFileIdentity *expected) const
{
    int fd = openat(Descriptor(m_handle), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // A directory named alone is no file; a link at the name is not the folder.
        int error = errno == EISDIR && expected == nullptr ? static_cast<int>(ERROR_NOT_A_FILE) : Swapped(errno);
        errno = error;
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        return FailOpen(fd, errno);
    if (expected != nullptr && (static_cast<std::uint64_t>(st.st_dev) != expected->volume ||
                                static_cast<std::uint64_t>(st.st_ino) != expected->indexLow))
        return FailOpen(fd, static_cast<int>(ERROR_NOT_THE_WALKED_FILE));
    if (!S_ISREG(st.st_mode))
        return FailOpen(fd, static_cast<int>(ERROR_NOT_A_FILE));
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return FailOpen(fd, errno);
    if (!LockOutWriters(fd)) {
        bool held = errno == EWOULDBLOCK || errno == EAGAIN || errno == EACCES;
        return FailOpen(fd, held ? static_cast<int>(ERROR_SHARING_VIOLATION) : errno);
    }
    return HandleOf(fd);
}

HANDLE CHeldDirectory::CreateEntry(const std::string &name) const
{
    int fd = openat(Descriptor(m_handle), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    return fd < 0 ? INVALID_HANDLE_VALUE : HandleOf(fd);
}

bool CHeldDirectory::Holds(const std::string &name) const
{
    struct stat st;
    return fstatat(Descriptor(m_handle), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool CHeldDirectory::DeleteEntry(const std::string &name) const
{
    return unlinkat(Descriptor(m_handle), name.c_str(), 0) == 0;
}

bool CHeldDirectory::Replace(const CHeldDirectory &from, const std::string &name, const std::string &to) const
{
    int fromFd = Descriptor(from.m_handle), toFd = Descriptor(m_handle);
#if defined(__linux__) && defined(RENAME_EXCHANGE)
    if (renameat2(fromFd, name.c_str(), toFd, to.c_str(), RENAME_EXCHANGE) == 0) {
        // The old file now has the new one's name.
        (void)unlinkat(fromFd, name.c_str(), 0);
        return true;
    }
    // ENOENT: to has gone.  Other errors: a file system without exchanges.
    if (errno == ENOENT || (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP))
        return false;
#endif
    struct stat st;
    if (fstatat(toFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return renameat(fromFd, name.c_str(), toFd, to.c_str()) == 0;
}

bool CHeldDirectory::MoveHere(const CHeldDirectory &from, const std::string &name, const std::string &to) const
{
    int fromFd = Descriptor(from.m_handle), toFd = Descriptor(m_handle);
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (renameat2(fromFd, name.c_str(), toFd, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
#endif
    // Where the file system cannot refuse to replace: a link to the new name fails when it
    // is taken, and FAT, which has no links, is checked first.
    if (linkat(fromFd, name.c_str(), toFd, to.c_str(), 0) == 0) {
        // Should the old name stay, it is a temporary file of ours whose message is there:
        // the next run deletes it.
        (void)unlinkat(fromFd, name.c_str(), 0);
        return true;
    }
    if (errno == EEXIST)
        return false;
    struct stat st;
    if (fstatat(toFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return renameat(fromFd, name.c_str(), toFd, to.c_str()) == 0;
}

bool CHeldDirectory::LinkHere(const CHeldDirectory &from, const std::string &name, const std::string &to) const
{
    if (linkat(Descriptor(from.m_handle), name.c_str(), Descriptor(m_handle), to.c_str(), 0) == 0)
        return true;
    if (errno == EPERM || errno == ENOTSUP || errno == ENOSYS)
        errno = ENOTSUP;
    return false;
}

std::string CHeldDirectory::ExactPathOf(const std::string &name) const
{
    return PathOf(name);
}

bool CHeldDirectory::Flush() const
{
    if (fsync(Descriptor(m_handle)) == 0)
        return true;
    // Some file systems take no flush of a directory; their names are then as flushed as
    // they will be.
    return errno == EINVAL || errno == EROFS;
}

bool CHeldDirectory::RenamesAtomically() const
{
#if defined(__linux__)
    struct statfs fs;
    if (fstatfs(Descriptor(m_handle), &fs) != 0)
        return true;
    const long MSDOS = 0x4d44, EXFAT = 0x2011BAB0;
    return fs.f_type != MSDOS && fs.f_type != EXFAT;
#else
    return true;
#endif
}

void KeepFileMetadata(HANDLE from, HANDLE to)
{
    struct stat st;
    int fd = Descriptor(to);
    if (fstat(Descriptor(from), &st) != 0)
        return;
    if (fchown(fd, st.st_uid, st.st_gid) != 0)
        (void)fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    (void)fchmod(fd, st.st_mode & 07777);
    (void)KeepFileTime(from, to);
}

// --- Linux and macOS: the home directory, .parentlock and the lock link ---

namespace {

// $HOME, or where it is not set the system's record of the user.  Empty when neither knows.
std::string HomeDirectory()
{
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    const passwd *user = getpwuid(geteuid());
    return user != nullptr && user->pw_dir != nullptr && user->pw_dir[0] == '/' ? user->pw_dir : "";
}

}  // namespace

bool ProfilePlaces(std::string places[2], std::string &why)
{
    std::string home = HomeDirectory();
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    if (home.empty()) {
        why = "no home directory to look for profiles.ini in ($HOME is not set)";
        return false;
    }
#ifdef __APPLE__
    places[0] = home + "/Library/Thunderbird";
    places[1] = home + "/Library/Application Support/SeaMonkey";
#else
    places[0] = home + "/.thunderbird";
    places[1] = home + "/.mozilla/seamonkey";
#endif
    return true;
}

std::string NativePath(const std::string &path)
{
    return path;
}

bool IsAbsolutePath(const std::string &path)
{
    return !path.empty() && path[0] == '/';
}

bool IsDirectoryPath(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

unsigned long OwnProcessId()
{
    return static_cast<unsigned long>(getpid());
}

bool IsProcessRunning(unsigned long pid)
{
    return pid == 0 || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

bool ReadWholeFile(const std::string &path, std::string &text, DWORD &error)
{
    error = 0;
    text.clear();
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ENOENT ? 0 : static_cast<DWORD>(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = static_cast<DWORD>(fstat(fd, &st) != 0 ? errno : EINVAL);
        close(fd);
        return false;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    if (n < 0)
        error = static_cast<DWORD>(errno);
    close(fd);
    return n == 0;
}

namespace {

// Whether address (dotted IPv4, as the lock link holds it) is this machine's: the address
// its name resolves to, which is what Thunderbird writes, or the loopback address it
// writes when the name does not resolve.
bool IsThisHost(const std::string &address)
{
    if (address == "127.0.0.1")
        return true;
    char name[256];
    if (gethostname(name, sizeof name) != 0)
        return false;
    name[sizeof name - 1] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0)
        return false;
    bool same = false;
    for (const addrinfo *at = found; at != nullptr && !same; at = at->ai_next) {
        char text[INET_ADDRSTRLEN];
        const sockaddr_in *inet = reinterpret_cast<const sockaddr_in *>(at->ai_addr);
        same = inet_ntop(AF_INET, &inet->sin_addr, text, sizeof text) != nullptr && address == text;
    }
    freeaddrinfo(found);
    return same;
}

// What the lock on .parentlock says: HELD with the process that holds it, FREE where
// there is none or no file, UNKNOWN where it cannot be asked.
EProfileLock ParentLockState(const std::string &lock, std::string &detail)
{
    // Asked with F_GETLK only: taking the lock, even for a moment, could make Thunderbird
    // starting meanwhile refuse the profile.  Asking needs no write access.
    int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return EProfileLock::FREE;
        detail = "cannot open " + lock + ": " + ErrorText(static_cast<DWORD>(errno));
        return EProfileLock::UNKNOWN;
    }
    struct flock question{};
    question.l_type = F_WRLCK;
    question.l_whence = SEEK_SET;  // from 0, l_len 0: the whole file
    int asked = fcntl(fd, F_GETLK, &question);
    int error = errno;
    // Closing lets go of locks this process holds on the file: it holds none.
    close(fd);
    if (asked != 0) {
        detail = "cannot test the lock on " + lock + ": " + ErrorText(static_cast<DWORD>(error));
        return EProfileLock::UNKNOWN;
    }
    if (question.l_type == F_UNLCK)
        return EProfileLock::FREE;
    detail = lock + " is locked by process " + std::to_string(question.l_pid);
    return EProfileLock::HELD;
}

// What the lock link says: its target is ADDRESS ":" ["+"] PID, the "+" when Thunderbird
// holds the lock on .parentlock too.  HELD only when it names a live process of this
// machine; a link of another machine's, of an ended process, or not of that form is stale.
EProfileLock LinkLockState(const std::string &link, std::string &detail)
{
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) {
        // No link, or a file there that is not one: Thunderbird made neither.
        if (errno == ENOENT || errno == EINVAL)
            return EProfileLock::FREE;
        detail = "cannot read " + link + ": " + ErrorText(static_cast<DWORD>(errno));
        return EProfileLock::UNKNOWN;
    }
    std::string text(target, static_cast<std::size_t>(n));
    std::size_t colon = text.rfind(':');
    std::string address = text.substr(0, colon == std::string::npos ? 0 : colon);
    std::string pidText = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (!pidText.empty() && pidText[0] == '+')
        pidText.erase(0, 1);
    char *end = nullptr;
    long pid = pidText.empty() || pidText[0] < '0' || pidText[0] > '9' ? 0 : std::strtol(pidText.c_str(), &end, 10);
    if (pid <= 0 || *end != '\0' || address.empty()) {
        detail = link + " names no process (" + text + "): stale";
        return EProfileLock::FREE;
    }
    std::string process = "process " + std::to_string(pid);
    if (!IsThisHost(address)) {
        detail = link + " names " + process + " of another machine (" + address + "): stale";
        return EProfileLock::FREE;
    }
    // EPERM: alive, but another user's.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) {
        detail = link + " names " + process + ", which is running";
        return EProfileLock::HELD;
    }
    detail = link + " names " + process + ", which has ended: stale";
    return EProfileLock::FREE;
}

}  // namespace

bool HoldsProfileLock(const std::string &dir)
{
    struct stat st;
    return lstat(JoinPath(dir, ".parentlock").c_str(), &st) == 0 || lstat(JoinPath(dir, "lock").c_str(), &st) == 0 ||
           lstat(JoinPath(dir, "parent.lock").c_str(), &st) == 0;
}

EProfileLock ProfileLockState(const std::string &dir, std::string &detail)
{
    detail.clear();
    struct stat st;
    int error = stat(dir.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (error != 0) {
        detail = "cannot test the lock of " + dir + ": " + ErrorText(static_cast<DWORD>(error));
        return EProfileLock::UNKNOWN;
    }
    std::string parentLock = JoinPath(dir, ".parentlock");
    EProfileLock state = ParentLockState(parentLock, detail);
    if (state != EProfileLock::FREE)
        return state;
    std::string linkDetail;
    state = LinkLockState(JoinPath(dir, "lock"), linkDetail);
    detail = !linkDetail.empty() ? linkDetail : parentLock + " is not locked";
    return state;
}

