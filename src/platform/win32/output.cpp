// Standard streams in binary mode on Windows, where they translate line ends by default.
#include <fcntl.h>
#include <io.h>

#include "platform.h"

bool SetBinaryMode(FILE *stream)
{
    return _setmode(_fileno(stream), _O_BINARY) != -1;
}

long long StreamPosition(FILE *stream)
{
    // Only a file on a disk has positions to go back to; the C library's seek on a pipe
    // does not fail everywhere.
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));  // NOLINT(performance-no-int-to-ptr)
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK)
        return -1;
    return _ftelli64(stream);
}

bool SetStreamPosition(FILE *stream, long long position)
{
    return _fseeki64(stream, position, SEEK_SET) == 0;
}

void RemoveOnInterrupt(const char *)
{
    // A console program ended by Ctrl-C or from the task list has no time of its own to
    // delete anything on Windows: nothing to do.
}
