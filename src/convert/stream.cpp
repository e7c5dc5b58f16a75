// The conversion as streams: ConvertStream and the hook that follows its reads, a converter
// guarded against running out of memory, and a file converted into another.
#include <cstdint>
#include <cstdio>
#include <new>

#include "convert.h"
#include "folder_state.h"
#include "job_internal.h"
#include "platform.h"

namespace {

// Who is told of ConvertStream's reads (SetProgressHook); none until a front end asks.
ProgressHook g_pfnProgress;
void *g_pProgressContext;

}  // namespace

void SetProgressHook(ProgressHook hook, void *context)
{
    g_pfnProgress = hook;
    g_pProgressContext = context;
}

int ConvertStream(FILE *in, FILE *out)
{
    ResetDecoder();
    g_fpIn = in;
    g_fpOut = out;
    // A successful open may leave a code behind (a file replaced); a write that fails
    // without a code of its own (a short write) must not be blamed on it.
    SetLastError(0);

    std::size_t n;
    std::uint64_t read = 0;
    while (!std::ferror(g_fpOut) && (n = std::fread(g_szLine, 1, sizeof g_szLine - 1, g_fpIn)) > 0) {
        g_szLine[n] = '\0';
        g_cbLine = static_cast<int>(n);
        ConvertLine();
        read += n;
        if (g_pfnProgress != nullptr)
            g_pfnProgress(in, read, g_pProgressContext);
    }
    ConvertFileEnd();

    bool ok = !std::ferror(g_fpIn) && !std::ferror(g_fpOut);
    // The last of the output goes out here, and a full disk often shows only now.  Flush
    // before closing: not every C library reports from fclose a flush that failed in it.
    if (ok && std::fflush(g_fpOut) != 0)
        ok = false;
    g_fpIn = nullptr;
    g_fpOut = nullptr;
    return ok ? 1 : 0;
}

int ConvertGuarded(StreamConverter convert, FILE *in, FILE *out)
{
    try {
        return convert(in, out);
    } catch (const std::bad_alloc &) {
        // A converter that holds a mail in memory may find none left: a failure like any
        // other, so that the folder is put back and the user told.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

bool ConvertAndClose(FILE *in, FILE *out, StreamConverter convert)
{
    if (in == nullptr || out == nullptr) {
        DWORD error = GetLastError();
        if (in != nullptr)
            std::fclose(in);
        if (out != nullptr)
            std::fclose(out);
        SetLastError(error);
        return false;
    }
    // Should a stream refuse our buffer, it keeps its own and is only slower.
    (void)std::setvbuf(in, g_inBuffer, _IOFBF, STREAM_BUFFER_SIZE);
    (void)std::setvbuf(out, g_outBuffer, _IOFBF, STREAM_BUFFER_SIZE);
    bool ok = ConvertGuarded(convert, in, out) != 0;
    DWORD error = GetLastError();
    std::fclose(in);
    if (std::fclose(out) != 0 && ok) {
        ok = false;
        error = GetLastError();
    }
    SetLastError(error);
    return ok;
}

int DecodeFileTo(const char *source, const char *target)
{
    // Binary streams: every byte, 0x1A and NUL included, is the mail's, and the decoder
    // handles the line ends itself.
    FILE *in = std::fopen(source, "rb");
    if (in == nullptr)
        return 0;
    return ConvertAndClose(in, std::fopen(target, "wb"), ConvertStream) ? 1 : 0;
}
