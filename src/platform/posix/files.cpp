// Stand-ins for the Windows file calls of platform.h, over POSIX.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"

DWORD GetTempPathA(DWORD size, LPSTR buffer)
{
    // Not /tmp, which a restart may empty (or which lives in memory): the copy must outlive
    // the machine stopping half-way.
    const char *dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0')
        dir = "/var/tmp";
    std::size_t len = std::strlen(dir);
    bool slash = dir[len - 1] == '/';
    std::size_t need = len + (slash ? 0 : 1);
    if (need + 1 > size)
        return static_cast<DWORD>(need + 1);
    std::memcpy(buffer, dir, len);
    if (!slash)
        buffer[len] = '/';
    buffer[need] = '\0';
    return static_cast<DWORD>(need);
}

// Writes directory + three prefix characters + hex number + ".TMP" into buffer.
static bool FormatTempName(LPCSTR directory, LPCSTR prefix, UINT number, LPSTR buffer)
{
    int n = std::snprintf(buffer, MAX_PATH, "%s%.3s%X.TMP", directory, prefix, number & 0xFFFFu);
    if (n < 0 || n >= MAX_PATH) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

UINT GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR buffer)
{
    if (unique != 0)
        return FormatTempName(directory, prefix, unique, buffer) ? unique : 0;

    // Start somewhere different in every process, then walk the 65535 names in turn.
    UINT start = static_cast<UINT>(getpid() ^ time(nullptr)) & 0xFFFFu;
    for (UINT i = 0; i < 0xFFFFu; ++i) {
        UINT number = (start + i) % 0xFFFFu + 1;
        if (!FormatTempName(directory, prefix, number, buffer))
            return 0;
        // Exclusive, and for the owner only: the file will hold someone's mail.
        int fd = open(buffer, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            return number;
        }
        if (errno != EEXIST)
            return 0;
    }
    errno = EEXIST;
    return 0;
}

namespace {

int Descriptor(HANDLE file)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(file)) - 1;
}

HANDLE HandleOf(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);  // NOLINT(performance-no-int-to-ptr)
}

// Fails the open of fd with code, keeping nothing open.
HANDLE FailOpen(int fd, int code)
{
    close(fd);
    errno = code;
    return INVALID_HANDLE_VALUE;
}

// Keeps other writers out of the regular file open on fd, without waiting, with both kinds
// of lock that mail programs take on a folder: flock, and an fcntl lock on the whole file.
// The fcntl lock belongs to this open file, not to the process (Linux's open file
// description locks), so that closing another descriptor of the file does not drop it.
bool LockOutWriters(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return false;
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
#ifdef F_OFD_SETLK
    return fcntl(fd, F_OFD_SETLK, &range) == 0;
#else
    return fcntl(fd, F_SETLK, &range) == 0;
#endif
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE)
{
    bool reads = (access & GENERIC_READ) != 0;
    bool writes = (access & GENERIC_WRITE) != 0;
    int flags = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    // A new file is never one that exists already, nor what a link found in its place
    // names: in a shared temporary directory another user could have put one there.
    if (disposition == CREATE_NEW)
        flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
    // Not blocking, so that opening a FIFO or a device cannot wait forever.
    int fd = open(name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    struct stat info;
    if (fstat(fd, &info) != 0)
        return FailOpen(fd, errno);
    if (S_ISREG(info.st_mode)) {
        int mode = fcntl(fd, F_GETFL);
        if (mode < 0 || fcntl(fd, F_SETFL, mode & ~O_NONBLOCK) != 0)
            return FailOpen(fd, errno);
        if (writes && (shareMode & FILE_SHARE_WRITE) == 0 && !LockOutWriters(fd)) {
            bool held = errno == EWOULDBLOCK || errno == EAGAIN || errno == EACCES;
            return FailOpen(fd, held ? static_cast<int>(ERROR_SHARING_VIOLATION) : errno);
        }
    }
    return HandleOf(fd);
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    struct stat st;
    if (fstat(Descriptor(file), &st) != 0)
        return FALSE;
    auto device = static_cast<std::uint64_t>(st.st_dev);
    auto inode = static_cast<std::uint64_t>(st.st_ino);
    auto size = static_cast<std::uint64_t>(st.st_size);
    info->dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    info->nFileIndexHigh = static_cast<DWORD>(inode >> 32);
    info->nFileIndexLow = static_cast<DWORD>(inode);
    info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info->nFileSizeLow = static_cast<DWORD>(size);
    return TRUE;
}

DWORD GetFileType(HANDLE file)
{
    struct stat info;
    if (fstat(Descriptor(file), &info) != 0)
        return FILE_TYPE_UNKNOWN;
    if (S_ISREG(info.st_mode))
        return FILE_TYPE_DISK;
    if (S_ISCHR(info.st_mode))
        return FILE_TYPE_CHAR;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))
        return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED)
{
    for (;;) {
        ssize_t n = read(Descriptor(file), buffer, size);
        if (n >= 0) {
            *done = static_cast<DWORD>(n);
            return TRUE;
        }
        if (errno != EINTR)
            return FALSE;
    }
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED)
{
    const char *data = static_cast<const char *>(buffer);
    DWORD left = size;
    while (left > 0) {
        ssize_t n = write(Descriptor(file), data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return FALSE;
        }
        data += n;
        left -= static_cast<DWORD>(n);
    }
    *done = size;
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method)
{
    // With a high part, distance is the low 32 bits of the offset, not a signed number.
    off_t offset = distance;
    if (distanceHigh != nullptr)
        offset = static_cast<off_t>(static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceHigh)) << 32 |
                                    static_cast<std::uint32_t>(distance));
    int whence = method == FILE_BEGIN ? SEEK_SET : method == 1 ? SEEK_CUR : SEEK_END;
    off_t position = lseek(Descriptor(file), offset, whence);
    if (position < 0)
        return INVALID_SET_FILE_POINTER;
    if (distanceHigh != nullptr)
        *distanceHigh = static_cast<LONG>(position >> 32);
    return static_cast<DWORD>(position);
}

BOOL SetEndOfFile(HANDLE file)
{
    off_t position = lseek(Descriptor(file), 0, SEEK_CUR);
    return position >= 0 && ftruncate(Descriptor(file), position) == 0 ? TRUE : FALSE;
}

BOOL FlushFileBuffers(HANDLE file)
{
    return fsync(Descriptor(file)) == 0 ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE handle)
{
    return close(Descriptor(handle)) == 0 ? TRUE : FALSE;
}

bool CopyWithinSystem(HANDLE from, HANDLE to)
{
#ifdef __linux__
    // As cp does.  Each piece is sent on its way to the disk at once, so that the flush that
    // follows has little left to wait for.
    const ssize_t PIECE = 8 << 20;
    for (;;) {
        off_t at = lseek(Descriptor(to), 0, SEEK_CUR);
        ssize_t n = copy_file_range(Descriptor(from), nullptr, Descriptor(to), nullptr, PIECE, 0);
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0 && at >= 0)
            (void)sync_file_range(Descriptor(to), at, n, SYNC_FILE_RANGE_WRITE);
    }
#else
    (void)from;
    (void)to;
    return false;
#endif
}

bool FlushDirectory(const char *path)
{
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

bool IsPrivateFile(HANDLE file)
{
    struct stat st;
    return fstat(Descriptor(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
           st.st_nlink == 1 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool ResolvePath(const char *path, char *resolved)
{
    return realpath(path, resolved) != nullptr;
}

namespace {

// A lock file older than this is stale, whoever made it (procmail waits 17 minutes).
const time_t STALE_LOCK_SECONDS = time_t{10} * 60;

std::string LockFileOf(const char *folder)
{
    return std::string(folder) + ".lock";
}

// Whether the lock file at path was left behind: by a process of this machine that has
// ended, or long ago.
bool IsStaleLock(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;  // gone meanwhile
    char text[32] = {};
    ssize_t n = read(fd, text, sizeof text - 1);
    struct stat st;
    bool old = fstat(fd, &st) == 0 && time(nullptr) - st.st_mtime > STALE_LOCK_SECONDS;
    close(fd);
    char *end = nullptr;
    long pid = n > 0 ? std::strtol(text, &end, 10) : 0;
    bool ended = pid > 0 && end != text && (*end == '\n' || *end == '\0') &&
                 kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    return ended || old;
}

}  // namespace

bool TakeFolderLockFile(const char *folder, bool *taken)
{
    *taken = false;
    std::string path = LockFileOf(folder);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[32];
            int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
            bool written = n > 0 && write(fd, text, static_cast<std::size_t>(n)) == n;
            close(fd);
            (void)written;  // an empty lock file locks all the same
            *taken = true;
            return true;
        }
        if (errno != EEXIST)
            return true;  // a directory that takes no new file: go on without
        if (!IsStaleLock(path))
            break;
        (void)unlink(path.c_str());
    }
    errno = static_cast<int>(ERROR_FOLDER_LOCKED);
    return false;
}

void ReleaseFolderLockFile(const char *folder)
{
    (void)unlink(LockFileOf(folder).c_str());
}

FILE *OpenHandleStream(HANDLE file, const char *mode)
{
    // A duplicate shares the file's position and its locks, which stay when the stream
    // closes it.
    int fd = fcntl(Descriptor(file), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    FILE *stream = fdopen(fd, mode);
    if (stream == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

BOOL DeleteFileA(LPCSTR path)
{
    return unlink(path) == 0 ? TRUE : FALSE;
}

DWORD GetLastError(void)
{
    return static_cast<DWORD>(errno);
}

void SetLastError(DWORD code)
{
    errno = static_cast<int>(code);
}

bool DescribeError(DWORD code, char *text, std::size_t size)
{
    if (code == 0 || size == 0)
        return false;
    if (code == ERROR_SHARING_VIOLATION) {
        std::snprintf(text, size, "in use by another program, which holds a lock on it");
        return true;
    }
    const char *own = DescribeOwnError(code);
    std::snprintf(text, size, "%s", own != nullptr ? own : std::strerror(static_cast<int>(code)));
    return true;
}
