// Standard streams in binary mode on Windows, where they translate line ends by default.
#include <fcntl.h>
#include <io.h>

#include "platform.h"

bool SetBinaryMode(FILE *stream)
{
    return _setmode(_fileno(stream), _O_BINARY) != -1;
}
