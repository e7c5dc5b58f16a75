// Our stand-in for the Windows call that tells which instructions the processor offers.
#include "platform.h"

BOOL WINAPI IsProcessorFeaturePresent(DWORD feature)
{
#if defined(__x86_64__) || defined(__i386__)
    // May run before the C library's own start-up has asked the processor.
    __builtin_cpu_init();
    if (feature == PF_XMMI64_INSTRUCTIONS_AVAILABLE)
        return __builtin_cpu_supports("sse2") ? TRUE : FALSE;
    if (feature == PF_SSSE3_INSTRUCTIONS_AVAILABLE)
        return __builtin_cpu_supports("ssse3") ? TRUE : FALSE;
    // Which asks the system too whether it keeps the wide registers.
    if (feature == PF_AVX2_INSTRUCTIONS_AVAILABLE)
        return __builtin_cpu_supports("avx2") ? TRUE : FALSE;
    if (feature == PF_AVX512F_INSTRUCTIONS_AVAILABLE)
        return __builtin_cpu_supports("avx512f") ? TRUE : FALSE;
#else
    (void)feature;
#endif
    return FALSE;
}
