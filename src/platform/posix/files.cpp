// Stand-ins for the Windows file calls of platform.h, over POSIX.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

DWORD GetTempPathA(DWORD size, LPSTR buffer)
{
    const char *dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0')
        dir = "/tmp";
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

// Writes all of data, retrying after short writes and signals.
static bool WriteAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

static bool CopyContents(int from, int to)
{
#ifdef __linux__
    // Let the kernel copy without a round trip through this process, as cp does.
    for (;;) {
        ssize_t n = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (n == 0)
            return true;
        if (n < 0) {
            // Not on these file systems: copy by hand, from where the kernel stopped.
            if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
                break;
            if (errno == EINTR)
                continue;
            return false;
        }
    }
#endif
    char block[65536];
    for (;;) {
        ssize_t n = read(from, block, sizeof block);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!WriteAll(to, block, static_cast<std::size_t>(n)))
            return false;
    }
}

BOOL CopyFileA(LPCSTR existing, LPCSTR newName, BOOL failIfExists)
{
    int from = open(existing, O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return FALSE;
    struct stat info;
    bool readable = fstat(from, &info) == 0;
    if (readable && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        readable = false;
    }
    if (!readable) {
        int saved = errno;
        close(from);
        errno = saved;
        return FALSE;
    }
    // Written over and then cut to length, not emptied first: some file systems (ext4)
    // take a file emptied and written again for a replaced document and force it to disk
    // on close, which costs the job's temporary copy dearly and buys it nothing.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : 0);
    int to = open(newName, flags, info.st_mode & 0777);
    if (to < 0) {
        int saved = errno;
        close(from);
        errno = saved;
        return FALSE;
    }
    bool ok = CopyContents(from, to);
    if (ok) {
        off_t length = lseek(to, 0, SEEK_CUR);
        ok = length >= 0 && ftruncate(to, length) == 0;
    }
    int saved = errno;
    close(from);
    if (close(to) != 0 && ok) {
        saved = errno;
        ok = false;
    }
    errno = saved;
    return ok ? TRUE : FALSE;
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
    std::snprintf(text, size, "%s", std::strerror(static_cast<int>(code)));
    return true;
}
