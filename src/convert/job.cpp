// Converts a mail folder file in place, through a temporary copy of it.
#include <string>

#include "convert.h"
#include "platform.h"

namespace {

// Buffers for the two streams, big enough for many pieces per system call.  They serve
// one job at a time, like the streams themselves.
const std::size_t STREAM_BUFFER_SIZE = std::size_t{64} * 1024;
char g_inBuffer[STREAM_BUFFER_SIZE];
char g_outBuffer[STREAM_BUFFER_SIZE];

}  // namespace

int ConvertStream(FILE *in, FILE *out)
{
    ResetDecoder();
    g_fpIn = in;
    g_fpOut = out;
    // A successful open may leave a code behind (a file replaced); a write that fails
    // without a code of its own (a short write) must not be blamed on it.
    SetLastError(0);

    std::size_t n;
    while (!std::ferror(g_fpOut) && (n = std::fread(g_szLine, 1, sizeof g_szLine - 1, g_fpIn)) > 0) {
        g_szLine[n] = '\0';
        g_cbLine = static_cast<int>(n);
        ConvertLine();
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

int ConvertFile(const char *source, const char *target)
{
    // Binary streams: every byte, 0x1A and NUL included, is the mail's, and the decoder
    // handles the line ends itself.
    FILE *in = std::fopen(source, "rb");
    if (in == nullptr)
        return 0;
    FILE *out = std::fopen(target, "wb");
    if (out == nullptr) {
        DWORD error = GetLastError();
        std::fclose(in);
        SetLastError(error);
        return 0;
    }
    // Should a stream refuse our buffer, it keeps its own and is only slower.
    (void)std::setvbuf(in, g_inBuffer, _IOFBF, STREAM_BUFFER_SIZE);
    (void)std::setvbuf(out, g_outBuffer, _IOFBF, STREAM_BUFFER_SIZE);

    bool ok = ConvertStream(in, out) != 0;
    DWORD error = GetLastError();
    std::fclose(in);
    if (std::fclose(out) != 0 && ok) {
        ok = false;
        error = GetLastError();
    }
    SetLastError(error);
    return ok ? 1 : 0;
}

bool ConvertInbox(const char *inboxPath, StreamConverter convert)
{
    (void)convert;  // the rewrite through held handles comes next
    char tempDir[500];
    DWORD length = GetTempPathA(499, tempDir);
    if (length == 0 || length > 499)
        return false;
    char tempFile[MAX_PATH];
    if (GetTempFileNameA(tempDir, "qvl", 0, tempFile) == 0)
        return false;
    if (!CopyFileA(inboxPath, tempFile, FALSE))
        return false;
    if (!ConvertFile(tempFile, inboxPath)) {
        // The folder may be half written: put the original back.  The copy stays either
        // way, so that nothing is lost even if this fails too.
        DWORD error = GetLastError();
        CopyFileA(tempFile, inboxPath, FALSE);
        SetLastError(error);
        return false;
    }
    DeleteFileA(tempFile);
    DeleteFileA((std::string(inboxPath) + ".snm").c_str());
    return true;
}
