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

namespace {

// Converts in to out with the job's stream buffers, then closes both, whatever happens;
// out null is an output that could not be opened.  Returns true on success; otherwise
// GetLastError() tells why, the first failure winning.
bool ConvertAndClose(FILE *in, FILE *out, StreamConverter convert)
{
    if (out == nullptr) {
        DWORD error = GetLastError();
        std::fclose(in);
        SetLastError(error);
        return false;
    }
    // Should a stream refuse our buffer, it keeps its own and is only slower.
    (void)std::setvbuf(in, g_inBuffer, _IOFBF, STREAM_BUFFER_SIZE);
    (void)std::setvbuf(out, g_outBuffer, _IOFBF, STREAM_BUFFER_SIZE);
    bool ok = convert(in, out) != 0;
    DWORD error = GetLastError();
    std::fclose(in);
    if (std::fclose(out) != 0 && ok) {
        ok = false;
        error = GetLastError();
    }
    SetLastError(error);
    return ok;
}

}  // namespace

int ConvertFile(const char *source, const char *target)
{
    // Binary streams: every byte, 0x1A and NUL included, is the mail's, and the decoder
    // handles the line ends itself.
    FILE *in = std::fopen(source, "rb");
    if (in == nullptr)
        return 0;
    return ConvertAndClose(in, std::fopen(target, "wb"), ConvertStream) ? 1 : 0;
}

namespace {

// The temporary directory's buffer: 500 bytes, or a system path where that is longer.
const DWORD TEMP_DIR_SIZE = MAX_PATH > 500 ? MAX_PATH : 500;

// Where the original of a folder that may be damaged is kept; empty otherwise.
char g_szKeptCopy[MAX_PATH];
// The temporary directory, and whether the last failure was its own.
char g_szTempDir[TEMP_DIR_SIZE];
bool g_bTempDirAtFault;

// Puts both files at their start.
bool Rewind(HANDLE from, HANDLE to)
{
    return SetFilePointer(from, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           SetFilePointer(to, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
}

// Copies all of from, from its start, over to, from its start, and cuts to to that length.
// On failure, toFailed tells whether to (rather than from) failed.
bool CopyContents(HANDLE from, HANDLE to, bool &toFailed)
{
    toFailed = false;
    if (!Rewind(from, to))
        return false;
    // By hand where the system cannot copy it itself, from wherever it stopped; this also
    // tells which side failed.  The streams' buffers are free while no stream is open.
    if (!CopyWithinSystem(from, to)) {
        for (;;) {
            DWORD n = 0, written = 0;
            if (!ReadFile(from, g_inBuffer, STREAM_BUFFER_SIZE, &n, nullptr))
                return false;
            if (n == 0)
                break;
            if (!WriteFile(to, g_inBuffer, n, &written, nullptr)) {
                toFailed = true;
                return false;
            }
        }
    }
    toFailed = true;
    return SetEndOfFile(to) != 0;
}

// Rewrites folder, from its start, as copy converted by convert, and cuts it to its new
// length.  False when reading, writing or cutting fails; the folder may then be damaged.
bool Rewrite(HANDLE copy, HANDLE folder, StreamConverter convert)
{
    if (!Rewind(copy, folder))
        return false;
    FILE *in = OpenHandleStream(copy, "rb");
    if (in == nullptr)
        return false;
    // Written over from the start and then cut to length, rather than emptied first, which
    // some file systems (ext4) take for a replaced document and force to disk on close.
    if (!ConvertAndClose(in, OpenHandleStream(folder, "wb"), convert))
        return false;
    // The stream has left the position at the end of what it wrote.
    return SetEndOfFile(folder) != 0;
}

}  // namespace

const char *KeptCopyOfDamagedFolder()
{
    return g_szKeptCopy;
}

const char *TemporaryDirectoryAtFault()
{
    return g_bTempDirAtFault ? g_szTempDir : nullptr;
}

bool ConvertInbox(const char *inboxPath, StreamConverter convert)
{
    g_szKeptCopy[0] = '\0';
    g_bTempDirAtFault = false;
    // Held from here to the end: only readers may share it, so that no other program (the
    // mail client fetching mail, a second conversion) writes to it meanwhile.
    HANDLE folder = CreateFileA(inboxPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    // A device or a pipe would never end, or never hold what was written to it.
    if (GetFileType(folder) != FILE_TYPE_DISK) {
        CloseHandle(folder);
        SetLastError(ERROR_NOT_A_FILE);
        return false;
    }

    // Failures from here to the flush of the copy are the temporary directory's, unless
    // reading the folder fails.
    g_bTempDirAtFault = true;
    g_szTempDir[0] = '\0';
    char tempFile[MAX_PATH];
    DWORD length = GetTempPathA(TEMP_DIR_SIZE - 1, g_szTempDir);
    if (length == 0 || length > TEMP_DIR_SIZE - 1 || GetTempFileNameA(g_szTempDir, "qvl", 0, tempFile) == 0) {
        DWORD error = length > TEMP_DIR_SIZE - 1 ? ERROR_FILENAME_EXCED_RANGE : GetLastError();
        if (length == 0 || length > TEMP_DIR_SIZE - 1)
            g_szTempDir[0] = '\0';
        CloseHandle(folder);
        SetLastError(error);
        return false;
    }
    HANDLE copy = CreateFileA(tempFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    // The copy must be on the disk before the folder is first written.
    bool copyFailed = false;
    bool copied = copy != INVALID_HANDLE_VALUE && CopyContents(folder, copy, copyFailed);
    if (!copied || !FlushFileBuffers(copy)) {
        // The folder is untouched: a copy, whole or partial, holds nothing it lacks.
        DWORD error = GetLastError();
        // Only a failure to read the folder is not the temporary directory's.
        g_bTempDirAtFault = copy == INVALID_HANDLE_VALUE || copied || copyFailed;
        if (copy != INVALID_HANDLE_VALUE)
            CloseHandle(copy);
        DeleteFileA(tempFile);
        CloseHandle(folder);
        SetLastError(error);
        return false;
    }
    g_bTempDirAtFault = false;

    bool rewritten = Rewrite(copy, folder, convert) && FlushFileBuffers(folder);
    if (!rewritten) {
        // The folder may be half written: put the original back.  The copy stays either
        // way; if the folder cannot be put back, it is the only whole original.
        DWORD error = GetLastError();
        bool folderFailed;
        if (!CopyContents(copy, folder, folderFailed) || !FlushFileBuffers(folder))
            std::snprintf(g_szKeptCopy, sizeof g_szKeptCopy, "%s", tempFile);
        CloseHandle(copy);
        CloseHandle(folder);
        SetLastError(error);
        return false;
    }
    CloseHandle(copy);
    if (!CloseHandle(folder)) {
        // Already on the disk, but a close that fails may mean it is not (a network drive).
        std::snprintf(g_szKeptCopy, sizeof g_szKeptCopy, "%s", tempFile);
        return false;
    }
    DeleteFileA(tempFile);
    DeleteFileA((std::string(inboxPath) + ".snm").c_str());
    return true;
}
