// The POSIX stand-in's type names with the line end Windows writes, so that the fuzzer
// drives the decoder's CR LF output on this system.
#pragma once

#include "../../../src/platform/posix/platform_types.h"

#undef PLATFORM_LINE_END
#define PLATFORM_LINE_END "\r\n"
