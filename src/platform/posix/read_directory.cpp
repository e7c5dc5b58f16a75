// Reading a directory's entries (platform.h), over POSIX.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "descriptor.h"
#include "platform.h"

bool ReadDirectoryOf(int owned, void (*found)(const SDirectoryEntry &entry, void *context), void *context)
{
    DIR *d = fdopendir(owned);
    if (d == nullptr) {
        int error = errno;
        close(owned);
        errno = error;
        return false;
    }
    int fd = dirfd(d);
    errno = 0;
    while (const dirent *entry = readdir(d)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            errno = 0;
            continue;
        }
        struct stat st;
        // Gone since the directory was read: not there to be told of.
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            SDirectoryEntry e = {name, ENTRY_SPECIAL, 0, false, {}};
            e.id.volume = static_cast<std::uint64_t>(st.st_dev);
            e.id.indexLow = static_cast<std::uint64_t>(st.st_ino);
            if (S_ISREG(st.st_mode)) {
                e.kind = ENTRY_FILE;
                e.size = static_cast<std::uint64_t>(st.st_size);
            } else if (S_ISDIR(st.st_mode)) {
                e.kind = ENTRY_DIRECTORY;
            } else if (S_ISLNK(st.st_mode)) {
                e.kind = ENTRY_LINK;
                struct stat target;
                e.linkToDirectory = fstatat(fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
            }
            found(e, context);
        }
        errno = 0;
    }
    int error = errno;
    closedir(d);
    errno = error;
    return error == 0;
}
