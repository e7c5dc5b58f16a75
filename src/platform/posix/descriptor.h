// How the POSIX stand-ins make a HANDLE of a file descriptor and back: the descriptor plus
// one, so that descriptor 0 is no null handle.  Internal to src/platform/posix.
#pragma once

#include <cerrno>
#include <cstdint>

#include <unistd.h>

#include "platform.h"

inline int Descriptor(HANDLE file)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(file)) - 1;
}

inline HANDLE HandleOf(int fd)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);  // NOLINT(performance-no-int-to-ptr)
}

// Fails an open with code: closes fd, sets errno, and gives INVALID_HANDLE_VALUE.
inline HANDLE FailOpen(int fd, int code)
{
    close(fd);
    errno = code;
    return INVALID_HANDLE_VALUE;
}

// Calls found for every entry of the directory open on owned, as ReadDirectory does, and
// closes owned.
bool ReadDirectoryOf(int owned, void (*found)(const SDirectoryEntry &entry, void *context), void *context);

// Keeps other writers out of the regular file open on fd, without waiting: flock and an
// fcntl lock on the whole file, the two kinds mail programs take.  False with errno.
bool LockOutWriters(int fd);
