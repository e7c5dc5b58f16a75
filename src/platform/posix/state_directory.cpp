// The user's state directory, where the job keeps what it needs between runs (platform.h),
// over POSIX.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "descriptor.h"
#include "platform.h"

namespace {

// The user's home directory: $HOME, or where the system says it is.
const char *HomeDirectory()
{
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    const passwd *user = getpwuid(geteuid());
    return user != nullptr && user->pw_dir != nullptr && user->pw_dir[0] == '/' ? user->pw_dir : nullptr;
}

// Makes each missing directory of path (an absolute path, without its last separator), each
// one it makes open to this user alone (0700), as a user's state directories are.
bool MakeDirectories(const std::string &path)
{
    for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (at == std::string::npos)
            return true;
    }
}

}  // namespace

bool GetStateDirectory(char *path, std::size_t size, bool make)
{
    if (size == 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    path[0] = '\0';
    // A relative $XDG_STATE_HOME names no place of its own, and is ignored.
    const char *state = std::getenv("XDG_STATE_HOME");
    std::string dir;
    if (state != nullptr && state[0] == '/') {
        dir = state;
    } else {
        const char *home = HomeDirectory();
        if (home == nullptr) {
            errno = ENOENT;
            return false;
        }
        dir = std::string(home) + "/.local/state";
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    dir += "/quorvel";
    if (dir.size() + 2 > size) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::snprintf(path, size, "%s/", dir.c_str());
    if (make && !MakeDirectories(dir))
        return false;
    // Ours alone: not a link to somewhere else, not another user's, closed to others.
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        errno = static_cast<int>(ERROR_STATE_DIRECTORY_NOT_PRIVATE);
        return false;
    }
    return true;
}
