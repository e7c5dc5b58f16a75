// Writing a file anew beside another, and the streams of the command line (platform.h),
// with the Windows calls.
#include <windows.h>

#include <io.h>

#include <string>

#include "platform.h"
#include "wide_path.h"

// Windows has no signal mask: the console's handler runs on a thread of its own, and
// deletes the file marked for removal, under a lock, whenever it comes.
CInterruptsHeld::CInterruptsHeld() : m_old() {}

// Natively it gives the signals back, hence not defaulted where it is declared.
CInterruptsHeld::~CInterruptsHeld() = default;  // NOLINT(performance-trivially-destructible)

EPathKind KindOfPath(const char *path, SFileOwner *owner)
{
    if (owner != nullptr)
        *owner = SFileOwner();
    if (IsDeviceName(path))
        return EPathKind::OTHER;
    std::wstring wide;
    if (!WidePath(path, wide))
        return EPathKind::MISSING;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
        return EPathKind::MISSING;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return EPathKind::DIRECTORY;
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0 ? EPathKind::OTHER : EPathKind::FILE;
}

bool OwnerOfStream(FILE *, SFileOwner &owner)
{
    owner = SFileOwner();
    return true;
}

void TakeOwnerAndMode(FILE *, const SFileOwner &, unsigned) {}

void GiveNewFileMode(FILE *) {}

std::string FollowLinks(const std::string &path, bool &special)
{
    // Mail folders on Windows are not reached through links.
    special = IsDeviceName(path.c_str());
    return path;
}

bool PipeNeedsReopening()
{
    return false;
}

FILE *ReopenPipeToRead(HANDLE, const char *)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

bool PipeHadNoReader()
{
    return false;
}

long long StreamFileSize(FILE *stream)
{
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));  // NOLINT(performance-no-int-to-ptr)
    LARGE_INTEGER size;
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size))
        return -1;
    // A directory opened as a stream is no file with a size either.
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return -1;
    return size.QuadPart;
}
