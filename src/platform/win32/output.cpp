// Standard streams in binary mode on Windows, where they translate line ends by default.
#include <fcntl.h>
#include <io.h>

#include "platform.h"

bool SetBinaryMode(FILE *stream)
{
    return _setmode(_fileno(stream), _O_BINARY) != -1;
}

void RemoveOnInterrupt(const char *)
{
    // A console program ended by Ctrl-C or from the task list has no time of its own to
    // delete anything on Windows: nothing to do.
}
