// Stand-ins for the Windows file calls of platform.h, and our own file calls (a file's
// identity, listing and deleting the job's files, flushing, replacing, lock files), over POSIX.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "descriptor.h"
#include "platform.h"
#include "store_files.h"

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

void StartWriteBack(HANDLE file, std::uint64_t at, std::uint64_t n)
{
#ifdef __linux__
    (void)sync_file_range(Descriptor(file), static_cast<off_t>(at), static_cast<off_t>(n), SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
    (void)at;
    (void)n;
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
// An empty lock file, or one we cannot read, older than this was left by a program that
// ended between making it and writing it; ours are never empty.
const time_t UNFINISHED_LOCK_SECONDS = 5;

std::string LockFileOf(const std::string &folder)
{
    return folder + ".lock";
}

// This machine's name, as a lock file written here gives it; "" where the system has none.
std::string HostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

// Whether a file last written at mtime was written before this machine last started;
// false where the system does not tell.
bool WrittenBeforeBoot(time_t mtime)
{
#ifdef CLOCK_BOOTTIME
    struct timespec now, up;
    return clock_gettime(CLOCK_REALTIME, &now) == 0 && clock_gettime(CLOCK_BOOTTIME, &up) == 0 &&
           mtime < now.tv_sec - up.tv_sec;
#else
    (void)mtime;
    return false;
#endif
}

// Whether the lock file described by st, open on fd (or -1 where it cannot be read), was
// left behind: by a process of this machine that has ended or that ran before the machine
// last started (its pid may name another process now), or long ago.  One naming another
// machine is judged by its age alone, as is one that holds no process id.
bool IsStaleLock(int fd, const struct stat &st, bool oursOnly = false)
{
    if (!S_ISREG(st.st_mode))
        return false;  // nothing a mail program makes
    time_t age = time(nullptr) - st.st_mtime;
    if (age > STALE_LOCK_SECONDS && !oursOnly)
        return true;
    // "PID\n", then, from us, "HOST\n"; others write the first line alone.
    char text[320] = {};
    ssize_t n = fd >= 0 ? pread(fd, text, sizeof text - 1, 0) : -1;
    if (n <= 0)
        return !oursOnly && age > UNFINISHED_LOCK_SECONDS;
    char *end = nullptr;
    long pid = std::strtol(text, &end, 10);
    if (pid <= 0 || end == text || (*end != '\n' && *end != '\0'))
        return false;
    if (oursOnly && (*end != '\n' || end[1] == '\0'))
        return false;  // a mail program's, which is its own to clear
    if (*end == '\n' && end[1] != '\0') {
        const char *host = end + 1;
        std::size_t length = std::strcspn(host, "\n");
        if (std::string(host, length) != HostName())
            return false;
    }
    if (WrittenBeforeBoot(st.st_mtime))
        return true;
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// What became of a lock file in the way.
enum ELockInTheWay {
    LOCK_GONE,        // it was stale and is deleted, or went meanwhile (or was never there)
    LOCK_STALE,       // only judged: it is stale, and stays
    LOCK_HELD,        // it is another program's, or could not be judged
    LOCK_STALE_KEPT,  // it is stale, and could not be deleted (errno says why)
};

// Whether now describes the file that judged described: the same file, not changed.
bool SameLockFile(const struct stat &judged, const struct stat &now)
{
    return judged.st_dev == now.st_dev && judged.st_ino == now.st_ino &&
           judged.st_mtim.tv_sec == now.st_mtim.tv_sec && judged.st_mtim.tv_nsec == now.st_mtim.tv_nsec;
}

// Deletes the lock file path of the directory open on dir if it is stale, and only the very
// file judged: a program that took a stale lock over may have put a new one in its place
// meanwhile.  With oursOnly, only a lock of ours counts as stale (IsStaleLock); with
// judgeOnly, deletes nothing, and tells a stale one as LOCK_STALE.
ELockInTheWay DeleteIfStale(int dir, const std::string &path, bool oursOnly = false, bool judgeOnly = false)
{
    struct stat judged;
    int fd = openat(dir, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return LOCK_GONE;
        // One we may not read (or a link, which is no lock of ours) is judged by its age.
        if (fstatat(dir, path.c_str(), &judged, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? LOCK_GONE : LOCK_HELD;
    } else if (fstat(fd, &judged) != 0) {
        close(fd);
        return LOCK_HELD;
    }
    bool stale = IsStaleLock(fd, judged, oursOnly);
    if (fd >= 0)
        close(fd);
    if (!stale)
        return LOCK_HELD;
    if (judgeOnly)
        return LOCK_STALE;
    // A window stays between this look and the unlink (the system has no unlink of one
    // given file); a program would have to replace the lock within it.
    struct stat now;
    if (fstatat(dir, path.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? LOCK_GONE : LOCK_HELD;
    if (!SameLockFile(judged, now))
        return LOCK_HELD;
    if (unlinkat(dir, path.c_str(), 0) != 0 && errno != ENOENT)
        return LOCK_STALE_KEPT;
    return LOCK_GONE;
}

// What came of making the lock file.
enum ELockMade {
    LOCK_TAKEN,        // it is ours
    LOCK_IN_THE_WAY,   // another file has its name
    LOCK_NO_NEW_FILE,  // its directory takes no new file
    LOCK_NO_LINKS,     // its file system makes no links
    LOCK_FAILED,       // it could not be written (errno says why)
};

// Makes the lock file at path holding text exclusively, with one write: where the file
// system has no links.  A kill between the two leaves it empty, which the next run judges
// stale after a few seconds.
ELockMade CreateLockExclusively(int dir, const std::string &path, const std::string &text)
{
    int fd = openat(dir, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno == EEXIST ? LOCK_IN_THE_WAY : LOCK_NO_NEW_FILE;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int saved = errno;
    if (close(fd) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written) {
        (void)unlinkat(dir, path.c_str(), 0);
        errno = saved;
        return LOCK_FAILED;
    }
    return LOCK_TAKEN;
}

// Makes the lock file at path, whole from the moment it has that name, as liblockfile
// does: a file of a name of our own beside it gets the text first, and is then linked to
// path, which fails when path exists, on NFS too.
ELockMade MakeLockFile(int dir, const std::string &path)
{
    std::string host = HostName();
    std::string text = std::to_string(static_cast<long>(getpid())) + "\n";
    if (!host.empty())
        text += host + "\n";
    std::string base = path, unique;
    if (!host.empty()) {
        base += '.';
        base += host;
    }
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 10; ++attempt) {
        // One left by a process of the same pid (before a restart, or on another machine
        // that names itself alike) is stepped round.
        struct timespec now = {};
        (void)clock_gettime(CLOCK_REALTIME, &now);
        char tail[64];
        std::snprintf(tail, sizeof tail, ".%ld.%lx", static_cast<long>(getpid()),
                      static_cast<unsigned long>(now.tv_nsec) ^ (static_cast<unsigned long>(attempt) << 30));
        unique = base + tail;
        fd = openat(dir, unique.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == ENAMETOOLONG)
            return CreateLockExclusively(dir, path, text);
        if (fd < 0 && errno != EEXIST)
            return LOCK_NO_NEW_FILE;
    }
    if (fd < 0)
        return LOCK_NO_NEW_FILE;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written) {
        (void)unlinkat(dir, unique.c_str(), 0);
        errno = saved;
        return LOCK_FAILED;
    }
    ELockMade made = LOCK_TAKEN;
    if (linkat(dir, unique.c_str(), dir, path.c_str(), 0) != 0) {
        saved = errno;
        // Over NFS a link that was made can still report failure: the file then has two names.
        struct stat st;
        if (fstatat(dir, unique.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_nlink == 2)
            made = LOCK_TAKEN;
        else if (saved == EPERM || saved == EOPNOTSUPP || saved == ENOSYS)
            made = LOCK_NO_LINKS;
        else if (saved == EEXIST)
            made = LOCK_IN_THE_WAY;
        else
            made = LOCK_FAILED;
    }
    (void)unlinkat(dir, unique.c_str(), 0);
    if (made == LOCK_NO_LINKS)
        return CreateLockExclusively(dir, path, text);
    errno = saved;
    return made;
}

// Deletes the files of our own names beside the lock file at path that a process of this
// machine, ended since, left while it made its lock (MakeLockFile): path + ".HOST.PID.N".
// A process that has ended writes no more to it, and nothing else reads it.
void DeleteStaleLockMakings(int dir, const std::string &path)
{
    std::string host = HostName();
    if (host.empty())
        return;
    std::string start = path + "." + host + ".";
    int listed = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = listed >= 0 ? fdopendir(listed) : nullptr;
    if (d == nullptr) {
        if (listed >= 0)
            close(listed);
        return;
    }
    while (const struct dirent *entry = readdir(d)) {
        if (std::strncmp(entry->d_name, start.c_str(), start.size()) != 0)
            continue;
        const char *tail = entry->d_name + start.size();
        char *end = nullptr;
        long pid = std::strtol(tail, &end, 10);
        if (pid <= 0 || end == tail || *end != '.' || pid == static_cast<long>(getpid()))
            continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            (void)unlinkat(dir, entry->d_name, 0);
    }
    closedir(d);
}

}  // namespace

bool TakeFolderLockFile(const CHeldDirectory &folderDir, const std::string &folder, bool *taken)
{
    *taken = false;
    int dir = Descriptor(folderDir.Native());
    std::string path = LockFileOf(folder);
    DeleteStaleLockMakings(dir, path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        switch (MakeLockFile(dir, path)) {
        case LOCK_TAKEN:
            *taken = true;
            return true;
        case LOCK_NO_NEW_FILE:
            return true;  // a folder we may only write to in place: go on without
        case LOCK_FAILED:
            return false;
        default:
            break;
        }
        // A stale one we may not delete is for the user to delete.
        if (DeleteIfStale(dir, path) != LOCK_GONE)
            break;
    }
    errno = static_cast<int>(ERROR_FOLDER_LOCKED);
    return false;
}

bool ReleaseFolderLockFile(const CHeldDirectory &dir, const std::string &folder)
{
    return unlinkat(Descriptor(dir.Native()), LockFileOf(folder).c_str(), 0) == 0 || errno == ENOENT;
}

bool RemoveStaleFolderLockFile(const CHeldDirectory &dir, const std::string &folder)
{
    return DeleteIfStale(Descriptor(dir.Native()), LockFileOf(folder), true) != LOCK_STALE_KEPT;
}

bool IsStaleFolderLockFile(const CHeldDirectory &dir, const std::string &folder, bool oursOnly)
{
    return DeleteIfStale(Descriptor(dir.Native()), LockFileOf(folder), oursOnly, true) == LOCK_STALE;
}

bool KeepFileTime(HANDLE from, HANDLE to)
{
    struct stat st;
    if (fstat(Descriptor(from), &st) != 0)
        return false;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return futimens(Descriptor(to), times) == 0;
}

bool IsDeviceName(const char *)
{
    return false;
}

namespace {

// The C library's side of OpenCallStream: a failure's reason stays where the caller's
// function left it.
ssize_t CallRead(void *cookie, char *data, size_t n)
{
    const SStreamCalls *calls = static_cast<const SStreamCalls *>(cookie);
    return static_cast<ssize_t>(calls->read(calls->context, data, n));
}

ssize_t CallWrite(void *cookie, const char *data, size_t n)
{
    const SStreamCalls *calls = static_cast<const SStreamCalls *>(cookie);
    // 0 would be taken for a write that took nothing, and tried again for ever.
    long long done = calls->write(calls->context, data, n);
    return done < 0 ? -1 : static_cast<ssize_t>(done);
}

int CallSeek(void *cookie, off64_t *offset, int whence)
{
    const SStreamCalls *calls = static_cast<const SStreamCalls *>(cookie);
    long long at = *offset;
    if (calls->seek == nullptr || (whence != SEEK_SET && whence != SEEK_CUR) ||
        !calls->seek(calls->context, &at, whence)) {
        errno = ESPIPE;
        return -1;
    }
    *offset = at;
    return 0;
}

}  // namespace

FILE *OpenCallStream(const SStreamCalls *calls, const char *mode)
{
    cookie_io_functions_t functions = {};
    if (calls->read != nullptr)
        functions.read = CallRead;
    if (calls->write != nullptr)
        functions.write = CallWrite;
    functions.seek = CallSeek;
    return fopencookie(const_cast<SStreamCalls *>(calls), mode, functions);
}

FILE *OpenHandleStream(HANDLE file, const char *mode)
{
    // A duplicate shares the file's position and its locks, which stay when the stream
    // closes it.
    int fd = fcntl(Descriptor(file), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    // A pipe or device was opened without waiting (CreateFileA); a stream waits for it, as
    // C streams expect, rather than failing whenever it has nothing to give or take yet.
    int flags = fcntl(fd, F_GETFL);
    FILE *stream = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, mode) : nullptr;
    if (stream == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

BOOL CreatePipe(PHANDLE read, PHANDLE write, LPSECURITY_ATTRIBUTES, DWORD)
{
    int ends[2];
    if (pipe(ends) != 0)
        return FALSE;
    // Not inherited: no program we start keeps the writing end, and with it the end, open.
    for (int end : ends)
        (void)fcntl(end, F_SETFD, FD_CLOEXEC);
    *read = HandleOf(ends[0]);
    *write = HandleOf(ends[1]);
    return TRUE;
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

bool GetFileIdentity(HANDLE file, SFileIdentity *id)
{
    struct stat st;
    if (fstat(Descriptor(file), &st) != 0)
        return false;
    id->volume = static_cast<std::uint64_t>(st.st_dev);
    id->indexHigh = 0;
    id->indexLow = static_cast<std::uint64_t>(st.st_ino);
    id->size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool IsOwnFile(HANDLE file)
{
    struct stat st;
    return fstat(Descriptor(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

bool SameFile(const SFileIdentity &a, const SFileIdentity &b)
{
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

bool ListDirectory(const char *dir, const char *suffix, void (*found)(const char *name, void *context),
                   void *context)
{
    DIR *d = opendir(dir);
    if (d == nullptr)
        return false;
    std::size_t n = std::strlen(suffix);
    errno = 0;
    while (const dirent *entry = readdir(d)) {
        std::size_t length = std::strlen(entry->d_name);
        if (length > n && std::strcmp(entry->d_name + length - n, suffix) == 0)
            found(entry->d_name, context);
        errno = 0;
    }
    int error = errno;
    closedir(d);
    errno = error;
    return error == 0;
}

bool DeleteHeldFile(HANDLE handle, const char *path)
{
    bool ok = unlink(path) == 0;
    int error = errno;
    close(Descriptor(handle));
    errno = error;
    return ok;
}

bool FlushFiles(const HANDLE *files, std::size_t n)
{
#ifdef __linux__
    // One syncfs per file system: the files of a batch are mostly on one.
    std::vector<dev_t> flushed;
    for (std::size_t i = 0; i < n; ++i) {
        struct stat st;
        if (fstat(Descriptor(files[i]), &st) != 0)
            return false;
        bool done = false;
        for (dev_t device : flushed)
            done = done || device == st.st_dev;
        if (done)
            continue;
        // Since Linux 5.8 syncfs reports a write that failed since the descriptor was opened.
        if (syncfs(Descriptor(files[i])) != 0)
            return false;
        flushed.push_back(st.st_dev);
    }
    return true;
#else
    for (std::size_t i = 0; i < n; ++i) {
        if (fsync(Descriptor(files[i])) != 0)
            return false;
    }
    return true;
#endif
}

bool ReplaceExistingFile(const char *replacement, const char *existing)
{
#if defined(__linux__) && defined(RENAME_EXCHANGE)
    if (renameat2(AT_FDCWD, replacement, AT_FDCWD, existing, RENAME_EXCHANGE) == 0) {
        // The old file now has the new one's name.
        (void)unlink(replacement);
        return true;
    }
    // ENOENT: existing has gone.  Other errors: a file system without exchanges.
    if (errno == ENOENT || (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP))
        return false;
#endif
    struct stat st;
    if (lstat(existing, &st) != 0)
        return false;
    return rename(replacement, existing) == 0;
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size)
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return FALSE;
    DWORD length = static_cast<DWORD>(std::strlen(name));
    if (length + 1 > *size) {
        *size = length + 1;
        errno = ENAMETOOLONG;
        return FALSE;
    }
    std::memcpy(buffer, name, length + 1);
    *size = length;
    return TRUE;
}

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
