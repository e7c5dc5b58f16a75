// Converts a mail folder file in place, through a temporary copy of it.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "convert.h"
#include "iso2022kr.h"
#include "journal.h"
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

namespace {

// Converts in to out with the job's stream buffers, then closes both, whatever happens;
// out null is an output that could not be opened.  Returns true on success; otherwise
// GetLastError() tells why, the first failure winning.
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

// Where the original of a folder that may be damaged is kept, and the record of the job
// that was writing it; empty otherwise.
char g_szKeptCopy[MAX_PATH];
char g_szKeptRecord[MAX_PATH];
// The temporary directory, and whether the last failure was its own.
char g_szTempDir[TEMP_DIR_SIZE];
bool g_bTempDirAtFault;
// Whether the last job first completed one that had been interrupted.
bool g_bCompletedInterrupted;
// The copy of a converted folder that could not be deleted, and why; empty otherwise.
char g_szLeftCopy[MAX_PATH];
DWORD g_dwLeftCopyError;

// The conversions a record may name, so that an interrupted one is completed the same way.
struct SNamedConverter {
    const char *name;
    StreamConverter convert;
};
SNamedConverter g_converters[4] = {{"plain", ConvertStream}};

const char *NameOf(StreamConverter convert)
{
    const SNamedConverter *end = std::cend(g_converters);
    const SNamedConverter *c =
        std::find_if(std::cbegin(g_converters), end, [&](const SNamedConverter &n) { return n.convert == convert; });
    return c != end ? c->name : "unnamed";
}

StreamConverter ConverterNamed(const char *name)
{
    const SNamedConverter *end = std::cend(g_converters);
    const SNamedConverter *c = std::find_if(std::cbegin(g_converters), end, [&](const SNamedConverter &n) {
        return n.name != nullptr && std::strcmp(n.name, name) == 0;
    });
    return c != end ? c->convert : nullptr;
}

// Puts the file's position at offset.
bool Seek(HANDLE file, std::uint64_t offset)
{
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(0);
    DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    return low != INVALID_SET_FILE_POINTER || GetLastError() == 0;
}

// Puts both files at the given offsets.
bool SeekBoth(HANDLE from, std::uint64_t fromAt, HANDLE to, std::uint64_t toAt)
{
    return Seek(from, fromAt) && Seek(to, toAt);
}

// Reads size bytes into buffer, fewer only at the end of the file; *done says how many.
bool ReadFully(HANDLE file, char *buffer, DWORD size, DWORD *done)
{
    *done = 0;
    while (*done < size) {
        DWORD n = 0;
        if (!ReadFile(file, buffer + *done, size - *done, &n, nullptr))
            return false;
        if (n == 0)
            break;
        *done += n;
    }
    return true;
}

// Copies from, from offset fromAt to its end, over to from offset toAt, and cuts to there.
// On failure, toFailed tells whether to (rather than from) failed.
bool CopyContents(HANDLE from, std::uint64_t fromAt, HANDLE to, std::uint64_t toAt, bool &toFailed)
{
    toFailed = false;
    if (!SeekBoth(from, fromAt, to, toAt))
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

// Reads both files again from the given offsets and checks that to holds exactly what from
// holds: a system's copy may stop short and say it is done.  *sum takes in the bytes.  On
// failure, toFailed tells whether to (rather than from) failed, or differs
// (ERROR_COPY_NOT_WHOLE).
bool CheckCopy(HANDLE from, std::uint64_t fromAt, HANDLE to, std::uint64_t toAt, SChecksum *sum, bool &toFailed)
{
    toFailed = false;
    if (!SeekBoth(from, fromAt, to, toAt))
        return false;
    for (;;) {
        DWORD n = 0, m = 0;
        if (!ReadFully(from, g_inBuffer, STREAM_BUFFER_SIZE, &n))
            return false;
        toFailed = true;
        if (!ReadFully(to, g_outBuffer, STREAM_BUFFER_SIZE, &m))
            return false;
        if (n != m || std::memcmp(g_inBuffer, g_outBuffer, n) != 0) {
            SetLastError(ERROR_COPY_NOT_WHOLE);
            return false;
        }
        toFailed = false;
        if (n == 0)
            return true;
        sum->Add(g_inBuffer, n);
    }
}

// The checksum of all of file, from its start.
bool ChecksumFile(HANDLE file, SChecksum *sum)
{
    if (!Seek(file, 0))
        return false;
    for (;;) {
        DWORD n = 0;
        if (!ReadFully(file, g_inBuffer, STREAM_BUFFER_SIZE, &n))
            return false;
        if (n == 0)
            return true;
        sum->Add(g_inBuffer, n);
    }
}

// Whether the next n bytes of a and b are the same.
bool SameBytes(HANDLE a, HANDLE b, std::uint64_t n, bool &same)
{
    same = true;
    while (n > 0 && same) {
        DWORD want = n < STREAM_BUFFER_SIZE ? static_cast<DWORD>(n) : static_cast<DWORD>(STREAM_BUFFER_SIZE);
        DWORD gotA = 0, gotB = 0;
        if (!ReadFully(a, g_inBuffer, want, &gotA) || !ReadFully(b, g_outBuffer, want, &gotB))
            return false;
        same = gotA == want && gotB == want && std::memcmp(g_inBuffer, g_outBuffer, want) == 0;
        n -= want;
    }
    return true;
}

// Rewrites folder, from offset at, as copy converted by convert, and cuts it to its new
// length.  False when reading, writing or cutting fails; the folder may then be damaged.
bool Rewrite(HANDLE copy, HANDLE folder, std::uint64_t at, StreamConverter convert)
{
    if (!SeekBoth(copy, 0, folder, at))
        return false;
    // Written over from the start and then cut to length, rather than emptied first, which
    // some file systems (ext4) take for a replaced document and force to disk on close.
    if (!ConvertAndClose(OpenHandleStream(copy, "rb"), OpenHandleStream(folder, "wb"), convert))
        return false;
    // The stream has left the position at the end of what it wrote.
    return SetEndOfFile(folder) != 0;
}

// Fails the job with reason, keeping the copy and the record of an interrupted job for the
// user: neither is ours to delete while the folder may need them.
bool KeepForTheUser(const SJobFiles &files, DWORD reason)
{
    std::snprintf(g_szKeptCopy, sizeof g_szKeptCopy, "%s", files.copy);
    std::snprintf(g_szKeptRecord, sizeof g_szKeptRecord, "%s", files.record);
    SetLastError(reason);
    return false;
}

// Whether folder, size bytes long, is as an interrupted job may have left it: the original
// (length bytes from offset start, held by copy) written over from start by the conversion,
// in part, or whole and then cut to the conversion's length.  Anything else means that
// another program has written to it since (a mail client, appending).  Where the lengths
// alone do not tell, the conversion is made once more into the scratch file to compare
// with.  False with the reason when it is not, or when that fails.
bool IsAsTheJobLeftIt(HANDLE folder, HANDLE copy, std::uint64_t size, std::uint64_t start, std::uint64_t length,
                      const char *scratchName, StreamConverter convert)
{
    if (size == start + length)
        return true;
    HANDLE scratch = CreateFileA(scratchName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (scratch == INVALID_HANDLE_VALUE)
        return false;
    SFolderIdentity converted;
    bool ok = SeekBoth(copy, 0, scratch, 0) &&
              ConvertAndClose(OpenHandleStream(copy, "rb"), OpenHandleStream(scratch, "wb"), convert) &&
              GetFolderIdentity(scratch, &converted);
    // Past the original's end, the folder can hold only what the conversion wrote there.
    std::uint64_t end = start + length, convertedEnd = start + converted.size;
    bool same = ok && size == convertedEnd;
    if (ok && !same && size > end && size < convertedEnd)
        ok = SeekBoth(folder, end, scratch, length) && SameBytes(folder, scratch, size - end, same);
    DWORD error = GetLastError();
    CloseHandle(scratch);
    DeleteFileA(scratchName);
    SetLastError(ok ? ERROR_INTERRUPTED_FOLDER_CHANGED : error);
    return ok && same;
}

enum EFinish { NOTHING_TO_FINISH, FINISHED, CANNOT_FINISH };

// Completes the rewrite of folder that an interrupted job began, as its record tells, from
// its copy: the folder then holds what that job would have written, on the disk.  A record
// that was never written whole, or none, means the folder was never written: a copy left
// is deleted.  What cannot be checked is not guessed at: CANNOT_FINISH keeps the record and
// the copy, changes nothing, and GetLastError() tells why.
EFinish FinishInterruptedJob(HANDLE folder, const SFolderIdentity &id, const SJobFiles &files)
{
    SJournal journal;
    EJournalState state = ReadJournal(files.record, &journal);
    if (state == JOURNAL_NONE || state == JOURNAL_UNFINISHED) {
        if (state == JOURNAL_UNFINISHED)
            DeleteFileA(files.record);
        DeleteFileA(files.copy);
        return NOTHING_TO_FINISH;
    }
    // Left by a check of the folder that was interrupted in its turn: only a whole record
    // leads to one.
    DeleteFileA(files.scratch);
    if (state == JOURNAL_UNREADABLE || journal.volume != id.volume || journal.index != id.index ||
        std::strcmp(journal.copy, files.copy) != 0) {
        KeepForTheUser(files, ERROR_INTERRUPTED_RECORD_UNREADABLE);
        return CANNOT_FINISH;
    }
    StreamConverter convert = ConverterNamed(journal.converter);
    if (convert == nullptr) {
        KeepForTheUser(files, ERROR_INTERRUPTED_OTHER_CONVERSION);
        return CANNOT_FINISH;
    }
    HANDLE copy = CreateFileA(files.copy, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        KeepForTheUser(files, missing ? ERROR_INTERRUPTED_COPY_MISSING : error);
        return CANNOT_FINISH;
    }
    SChecksum sum;
    SFolderIdentity now;
    bool ok = GetFileType(copy) == FILE_TYPE_DISK && IsPrivateFile(copy);
    if (!ok)
        SetLastError(ERROR_INTERRUPTED_COPY_NOT_WHOLE);
    ok = ok && ChecksumFile(copy, &sum) && GetFolderIdentity(folder, &now);
    if (ok && (sum.total != journal.length || sum.Value() != journal.checksum)) {
        ok = false;
        SetLastError(ERROR_INTERRUPTED_COPY_NOT_WHOLE);
    }
    ok = ok && IsAsTheJobLeftIt(folder, copy, now.size, journal.start, journal.length, files.scratch, convert);
    ok = ok && Rewrite(copy, folder, journal.start, convert) && FlushFileBuffers(folder);
    DWORD error = GetLastError();
    CloseHandle(copy);
    if (!ok) {
        KeepForTheUser(files, error);
        return CANNOT_FINISH;
    }
    return FINISHED;
}

// Ends the journal of a job whose folder is converted, flushed and closed: the record goes,
// and once that is on the disk, the copy.  A record that cannot be deleted keeps its copy,
// for a record without its copy would stop the next job.
bool EndJournal(const SJobFiles &files)
{
    if (!DeleteFileA(files.record))
        return false;
    (void)FlushDirectory(g_szTempDir);
    if (!DeleteFileA(files.copy)) {
        g_dwLeftCopyError = GetLastError();
        std::snprintf(g_szLeftCopy, sizeof g_szLeftCopy, "%s", files.copy);
    }
    return true;
}

// Makes the copy of folder from offset start in files.copy, checks it, and puts the record
// that tells how to complete the job on the disk.  On failure nothing is left and the folder is untouched;
// g_bTempDirAtFault says whose the failure was.
HANDLE StartJournal(HANDLE folder, std::uint64_t start, const char *inboxPath, const SFolderIdentity &id,
                    const SJobFiles &files, StreamConverter convert)
{
    HANDLE copy = CreateFileA(files.copy, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    // Only a failure to read the folder is not the temporary directory's.
    bool copyFailed = true;
    SChecksum sum;
    // A copy made leaves copyFailed set, so that a failed flush is the copy's.
    bool ok = copy != INVALID_HANDLE_VALUE && CopyContents(folder, start, copy, 0, copyFailed) &&
              FlushFileBuffers(copy) && CheckCopy(folder, start, copy, 0, &sum, copyFailed);
    if (ok) {
        copyFailed = true;
        SJournal journal = {};
        std::snprintf(journal.folder, sizeof journal.folder, "%s", inboxPath);
        journal.volume = id.volume;
        journal.index = id.index;
        journal.start = start;
        std::snprintf(journal.copy, sizeof journal.copy, "%s", files.copy);
        journal.length = sum.total;
        journal.checksum = sum.Value();
        std::snprintf(journal.converter, sizeof journal.converter, "%s", NameOf(convert));
        ok = WriteJournal(files.record, journal) && FlushDirectory(g_szTempDir);
    }
    if (!ok) {
        DWORD error = GetLastError();
        g_bTempDirAtFault = copyFailed;
        if (copy != INVALID_HANDLE_VALUE)
            CloseHandle(copy);
        DeleteFileA(files.record);
        DeleteFileA(files.copy);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return copy;
}

// The folder's lock file, held for as long as this lives.
struct SFolderLockFile {
    const char *folder;
    bool taken = false;

    explicit SFolderLockFile(const char *path) : folder(path) {}
    SFolderLockFile(const SFolderLockFile &) = delete;
    SFolderLockFile &operator=(const SFolderLockFile &) = delete;
    ~SFolderLockFile()
    {
        if (taken) {
            DWORD error = GetLastError();
            ReleaseFolderLockFile(folder);
            SetLastError(error);
        }
    }
};

// The folder's summary file goes, for the mail client to make again; a failure is ignored.
void DeleteSummaryFile(const char *inboxPath)
{
    char summary[MAX_PATH];
    if (SummaryFileOf(inboxPath, summary))
        DeleteFileA(summary);
}

// Where the platform's line end is CR LF, a bare LF is written longer; where it is LF, a
// CR LF is written shorter.  Either way the decoder writes every other byte as it reads it
// until the first designator.
constexpr bool CRLF_LINE_END = PLATFORM_LINE_END[0] == '\r';
constexpr unsigned char LINE_END_MARK = CRLF_LINE_END ? LF : CR;

// Whether the LINE_END_MARK at buffer[at] (of n bytes) is a line end the decoder changes.
bool LineEndChanges(const unsigned char *buffer, std::size_t at, std::size_t n)
{
    if (CRLF_LINE_END)
        return at == 0 || buffer[at - 1] != CR;
    return at + 1 < n && buffer[at + 1] == LF;
}

// The first position in [from, to) of buffer that holds byte, or to.
std::size_t FindByte(const unsigned char *buffer, std::size_t from, std::size_t to, unsigned char byte)
{
    const void *found = std::memchr(buffer + from, byte, to - from);
    return found != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char *>(found) - buffer) : to;
}

// The start of the line where ConvertStream first changes a byte of folder: the line of the
// first designator, or of the first line end that the platform writes otherwise (a CR LF
// where its line end is LF, a bare LF where it is CR LF); the folder's length when it
// changes nothing.  Up to there the decoder only copies, and it stands at a line's start
// as at the file's, so that the conversion may start there.  False when reading fails.
bool FindFirstChange(HANDLE folder, std::uint64_t *lineStart)
{
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    std::uint64_t at = 0, line = 0;
    for (;;) {
        DWORD n = 0;
        if (!Seek(folder, at) || !ReadFully(folder, g_inBuffer, STREAM_BUFFER_SIZE, &n))
            return false;
        bool last = n < STREAM_BUFFER_SIZE;
        // The bytes looked at: one before for a CR LF, three after for a designator.
        std::size_t from = at == 0 ? 0 : 1, to = last ? n : n - 3;
        std::size_t change = to;
        // Each byte looked for once: the next of each kind is kept until passed.
        std::size_t esc = FindByte(buffer, from, to, ESC), end = FindByte(buffer, from, to, LINE_END_MARK);
        for (std::size_t i = from; i < to;) {
            if (esc < i)
                esc = FindByte(buffer, i, to, ESC);
            if (end < i)
                end = FindByte(buffer, i, to, LINE_END_MARK);
            if (esc < end && esc < to && n - esc >= DESIGNATOR_SIZE &&
                std::memcmp(buffer + esc, DESIGNATOR, DESIGNATOR_SIZE) == 0) {
                change = esc;
                break;
            }
            if (end < esc && end < to && LineEndChanges(buffer, end, n)) {
                change = end;
                break;
            }
            std::size_t next = esc < end ? esc : end;
            if (next >= to)
                break;
            i = next + 1;
        }
        // The line it is on starts after the last LF before it.
        for (std::size_t i = change; i > from; --i) {
            if (buffer[i - 1] == LF) {
                line = at + i;
                break;
            }
        }
        if (change < to || last) {
            *lineStart = change < to ? line : at + n;
            return true;
        }
        at += to - 1;
    }
}

// Fails the job with the reason left by the last call, closing folder.
bool FailAndClose(HANDLE folder)
{
    DWORD error = GetLastError();
    CloseHandle(folder);
    SetLastError(error);
    return false;
}

}  // namespace

bool NameStreamConverter(const char *name, StreamConverter convert)
{
    SNamedConverter *end = std::end(g_converters);
    SNamedConverter *c = std::find_if(std::begin(g_converters), end, [&](const SNamedConverter &n) {
        return n.convert == convert || n.convert == nullptr;
    });
    if (c == end)
        return false;
    *c = {name, convert};
    return true;
}

const char *KeptCopyOfDamagedFolder()
{
    return g_szKeptCopy;
}

const char *KeptRecordOfInterruptedJob()
{
    return g_szKeptRecord;
}

const char *TemporaryDirectoryAtFault()
{
    return g_bTempDirAtFault ? g_szTempDir : nullptr;
}

bool CompletedInterruptedJob()
{
    return g_bCompletedInterrupted;
}

const char *CopyLeftBehind(DWORD *why)
{
    if (why != nullptr)
        *why = g_dwLeftCopyError;
    return g_szLeftCopy;
}

bool SummaryFileOf(const char *inboxPath, char *summary)
{
    // Beside the folder itself, when the path is a link to it.
    char folder[MAX_PATH];
    const char *path = ResolvePath(inboxPath, folder) ? folder : inboxPath;
    int n = std::snprintf(summary, MAX_PATH, "%s.snm", path);
    return n >= 0 && n < MAX_PATH;
}

bool ConvertInbox(const char *inboxPath, StreamConverter convert)
{
    g_szKeptCopy[0] = '\0';
    g_szKeptRecord[0] = '\0';
    g_bTempDirAtFault = false;
    g_bCompletedInterrupted = false;
    g_szLeftCopy[0] = '\0';
    // Twice at most: once to complete an interrupted job, once for this one.
    for (;;) {
        // Held from here to the end: only readers may share it, so that no other program
        // (the mail client fetching mail, a second conversion) writes to it meanwhile.
        HANDLE folder = CreateFileA(inboxPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (folder == INVALID_HANDLE_VALUE)
            return false;
        // A device or a pipe would never end, or never hold what was written to it.
        if (GetFileType(folder) != FILE_TYPE_DISK) {
            SetLastError(ERROR_NOT_A_FILE);
            return FailAndClose(folder);
        }
        // And the lock file that mail programs on Unix take, for those that take no other.
        char resolved[MAX_PATH];
        SFolderLockFile lockFile(ResolvePath(inboxPath, resolved) ? resolved : inboxPath);
        if (!TakeFolderLockFile(lockFile.folder, &lockFile.taken))
            return FailAndClose(folder);
        SFolderIdentity id;
        if (!GetFolderIdentity(folder, &id))
            return FailAndClose(folder);

        // The copy and the record are named in the temporary directory after the folder.
        g_bTempDirAtFault = true;
        g_szTempDir[0] = '\0';
        SJobFiles files;
        DWORD length = GetTempPathA(TEMP_DIR_SIZE - 1, g_szTempDir);
        if (length == 0 || length > TEMP_DIR_SIZE - 1) {
            g_szTempDir[0] = '\0';
            if (length > TEMP_DIR_SIZE - 1)
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return FailAndClose(folder);
        }
        if (!MakeJobFileNames(g_szTempDir, id, &files))
            return FailAndClose(folder);
        g_bTempDirAtFault = false;

        EFinish finish = FinishInterruptedJob(folder, id, files);
        if (finish == CANNOT_FINISH)
            return FailAndClose(folder);
        if (finish == FINISHED) {
            if (!CloseHandle(folder))
                return KeepForTheUser(files, GetLastError());
            // A record that stayed would have the folder converted again and again.
            if (!EndJournal(files))
                return KeepForTheUser(files, GetLastError());
            g_bCompletedInterrupted = true;
            continue;  // and the job goes on as usual, finding nothing more to change
        }

        // What comes before the first byte the conversion changes is left as it is: neither
        // copied nor written nor flushed.  A folder with nothing to change stays untouched.
        std::uint64_t start = 0;
        if (convert == ConvertStream && !FindFirstChange(folder, &start))
            return FailAndClose(folder);
        if (start == id.size) {
            CloseHandle(folder);
            DeleteSummaryFile(inboxPath);
            return true;
        }

        g_bTempDirAtFault = true;
        HANDLE copy = StartJournal(folder, start, inboxPath, id, files, convert);
        if (copy == INVALID_HANDLE_VALUE)
            return FailAndClose(folder);
        g_bTempDirAtFault = false;

        bool rewritten = Rewrite(copy, folder, start, convert) && FlushFileBuffers(folder);
        if (!rewritten) {
            // The folder may be half written: put the original back, and check that it is.
            // Then the record has nothing more to tell; the copy stays for the user, until
            // the next job on the folder.  If the folder cannot be put back, both stay, and
            // the next job completes the rewrite from them.
            DWORD error = GetLastError();
            bool folderFailed;
            SChecksum sum;
            if (CopyContents(copy, 0, folder, start, folderFailed) && FlushFileBuffers(folder) &&
                CheckCopy(copy, 0, folder, start, &sum, folderFailed)) {
                if (DeleteFileA(files.record))
                    (void)FlushDirectory(g_szTempDir);
            } else {
                KeepForTheUser(files, error);
            }
            CloseHandle(copy);
            CloseHandle(folder);
            SetLastError(error);
            return false;
        }
        CloseHandle(copy);
        if (!CloseHandle(folder)) {
            // Already on the disk, but a close that fails may mean it is not (a network
            // drive): the record stays, and the next job completes the rewrite.
            return KeepForTheUser(files, GetLastError());
        }
        (void)EndJournal(files);
        DeleteSummaryFile(inboxPath);
        return true;
    }
}
