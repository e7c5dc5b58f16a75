// Our stand-in for the Windows call that tells which instructions the processor offers.
#include "platform.h"

BOOL WINAPI IsProcessorFeaturePresent(DWORD feature)
{
    if (feature != PF_XMMI64_INSTRUCTIONS_AVAILABLE)
        return FALSE;
#if defined(__x86_64__) || defined(__i386__)
    // May run before the C library's own start-up has asked the processor.
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2") ? TRUE : FALSE;
#else
    return FALSE;
#endif
}
