// What the command-line converter's parts share (common.h).
#include "common.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <new>

const char PROGRAM[] = "quorvel-convert";

std::string LastReason()
{
    char reason[256];
    return DescribeError(GetLastError(), reason, sizeof reason) ? reason : "";
}

bool IsGone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::string Count(long n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string DirectoryOf(const std::string &path)
{
#ifdef _WIN32
    std::size_t sep = path.find_last_of("/\\:");
#else
    std::size_t sep = path.rfind('/');
#endif
    return sep == std::string::npos ? std::string("./") : path.substr(0, sep + 1);
}

bool ReadWhole(const std::string &path, std::string &bytes)
{
    FILE *in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        return false;
    bytes.clear();
    try {
        char buffer[64 * 1024];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
            bytes.append(buffer, n);
    } catch (const std::bad_alloc &) {
        std::fclose(in);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    bool ok = !std::ferror(in);
    DWORD error = GetLastError();
    std::fclose(in);
    SetLastError(error);
    return ok;
}

void TakeOwnerAndMode(FILE *to, const std::string &name, const struct stat &st, unsigned modeBits)
{
#ifdef _WIN32
    (void)to;
    (void)modeBits;
    (void)chmod(name.c_str(), st.st_mode & 0777);
#else
    (void)name;
    if (fchown(fileno(to), st.st_uid, st.st_gid) != 0)
        (void)fchown(fileno(to), static_cast<uid_t>(-1), st.st_gid);
    (void)fchmod(fileno(to), st.st_mode & modeBits);
#endif
}
