// Converts a mail folder file in place, through a temporary copy of it.
#include <algorithm>
#include <cinttypes>
#include <ctime>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "convert.h"
#include "folder_state.h"
#include "iso2022kr.h"
#include "journal.h"
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

// Puts both files at the given offsets.
bool SeekBoth(HANDLE from, std::uint64_t fromAt, HANDLE to, std::uint64_t toAt)
{
    return Seek(from, fromAt) && Seek(to, toAt);
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

bool ChecksumRange(HANDLE file, std::uint64_t at, std::uint64_t n, SChecksum *sum);

// The first position in [from, to) of buffer where the conversion may change something: a
// designator, a line end that the platform writes otherwise (LineEndChanges), and where
// mark is set the mark "2022" that every label or encoded word naming ISO-2022-KR holds,
// which the relabelling changes; or to.  The buffer holds n bytes, those of a designator
// or mark that starts before to among them.
std::size_t FirstChange(const unsigned char *buffer, std::size_t from, std::size_t to, std::size_t n, bool mark)
{
    static const char MARK[] = "2022";
    const unsigned char kinds[] = {ESC, LINE_END_MARK, '2'};
    // Each byte looked for once: the next of each kind kept until passed.
    std::size_t next[3];
    for (int k = 0; k < 3; ++k)
        next[k] = k < 2 || mark ? FindByte(buffer, from, to, kinds[k]) : to;
    for (;;) {
        int k = next[0] <= next[1] && next[0] <= next[2] ? 0 : next[1] <= next[2] ? 1 : 2;
        std::size_t i = next[k];
        if (i >= to)
            return to;
        bool change = k == 0   ? n - i >= DESIGNATOR_SIZE && std::memcmp(buffer + i, DESIGNATOR, DESIGNATOR_SIZE) == 0
                      : k == 1 ? LineEndChanges(buffer, i, n)
                               : i + sizeof MARK - 1 <= n && std::memcmp(buffer + i, MARK, sizeof MARK - 1) == 0;
        if (change)
            return i;
        next[k] = FindByte(buffer, i + 1, to, kinds[k]);
    }
}

// The start of the line where ConvertStream first changes a byte of folder: the line of the
// first designator, or of the first line end that the platform writes otherwise (a CR LF
// where its line end is LF, a bare LF where it is CR LF); the folder's length when it
// changes nothing.  Up to there the decoder only copies, and it stands at a line's start
// as at the file's, so that the conversion may start there.  *front gets the checksum of
// what comes before it, taken as the folder is read.  False when reading fails.
bool FindFirstChange(HANDLE folder, std::uint64_t *lineStart, SChecksum *front)
{
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    std::uint64_t at = 0, line = 0;
    // The checksum of the folder up to the bytes that this read looks at first.
    SChecksum before;
    for (;;) {
        DWORD n = 0;
        if (!Seek(folder, at) || !ReadFully(folder, g_inBuffer, STREAM_BUFFER_SIZE, &n))
            return false;
        bool last = n < STREAM_BUFFER_SIZE;
        // The bytes looked at: one before for a CR LF, three after for a designator.
        std::size_t from = at == 0 ? 0 : 1, to = last ? n : n - 3;
        std::size_t change = FirstChange(buffer, from, to, n, false);
        // The line it is on starts after the last LF before it.
        for (std::size_t i = change; i > from; --i) {
            if (buffer[i - 1] == LF) {
                line = at + i;
                break;
            }
        }
        if (change < to || last) {
            *lineStart = change < to ? line : at + n;
            if (*lineStart == at + n)
                return true;
            // The line starts in this read, as lines of less than a read do; or before it.
            if (*lineStart >= at + from) {
                *front = before;
                front->Add(buffer + from, static_cast<std::size_t>(*lineStart - at - from));
                return true;
            }
            *front = SChecksum();
            return ChecksumRange(folder, 0, *lineStart, front);
        }
        before.Add(buffer + from, to - from);
        at += to - 1;
    }
}

// Whether buffer[at] (of n bytes) starts an mbox mail: a "From " line after an empty line.
bool StartsMail(const unsigned char *buffer, std::size_t at, std::size_t n)
{
    static const char FROM[] = "From ";
    return at >= 2 && at + sizeof FROM - 1 <= n && buffer[at - 1] == LF &&
           std::memcmp(buffer + at, FROM, sizeof FROM - 1) == 0 &&
           (buffer[at - 2] == LF || (at >= 3 && buffer[at - 2] == CR && buffer[at - 3] == LF));
}

// The last position in [from, to) of buffer (of n bytes) where a mail starts, or to.  From
// the end backwards, sixteen bytes at a time where it can: most of a read holds none.
std::size_t LastMailStart(const unsigned char *buffer, std::size_t from, std::size_t to, std::size_t n)
{
    std::size_t i = to;
#ifdef __SSE2__
    const __m128i lf = _mm_set1_epi8(LF), f = _mm_set1_epi8('F');
    // Blocks of [i - 16, i), each with the byte before it.
    for (; i >= from + 17; i -= 16) {
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buffer + i - 16));
        __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buffer + i - 17));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(b, f), _mm_cmpeq_epi8(before, lf))));
        for (; mask != 0; mask &= ~(1u << (31 - __builtin_clz(mask)))) {
            std::size_t at = i - 16 + static_cast<std::size_t>(31 - __builtin_clz(mask));
            if (StartsMail(buffer, at, n))
                return at;
        }
    }
#endif
    while (i > from) {
        --i;
        if (buffer[i] == 'F' && StartsMail(buffer, i, n))
            return i;
    }
    return to;
}

// Where a conversion that reads mail structure (one mail's labels follow its own bytes)
// may start, and the checksum of what comes before: at the mail that holds the first byte
// it can change.  That is what the plain conversion changes (FindFirstChange), and any
// label or encoded word that may name ISO-2022-KR, which all hold "2022"; a mail starts at
// a "From " line at the folder's start or after an empty line, so that what comes before
// it is whole mails, which the conversion does not change.  A folder that does not start
// with a mail starts at 0 if anything in it may change; the folder's length when nothing
// does.  The folder is read once, each read looked at for a change first and then from its
// end back for the last mail that starts in it.  False when reading fails.
bool FindFirstMailChange(HANDLE folder, std::uint64_t size, std::uint64_t *mailStart, SChecksum *front)
{
    static const char FROM[] = "From ";
    const std::size_t FROM_SIZE = sizeof FROM - 1;
    // Each read with the bytes before it, for an empty line before a From line and a CR
    // before an LF, and those after it, for a designator, a mark or a From line across its
    // edge.
    const std::size_t BEFORE = 4, AFTER = 8;
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    // running: the checksum of [0, summed); *front, of [0, mail).
    SChecksum running;
    *front = SChecksum();
    std::uint64_t mail = 0, summed = 0;
    bool mbox = false, found = false;
    // The folder read straight through: buffer[0] is its byte base, and each read goes after
    // the bytes kept from the one before.
    std::uint64_t base = 0;
    std::size_t kept = 0, from = 0;
    if (!Seek(folder, 0))
        return false;
    for (;;) {
        DWORD got = 0;
        if (!ReadFully(folder, g_inBuffer + kept, static_cast<DWORD>(STREAM_BUFFER_SIZE - kept), &got))
            return false;
        std::size_t n = kept + got;
        bool last = n < STREAM_BUFFER_SIZE;
        std::size_t to = last ? n : n - AFTER;
        if (base == 0 && kept == 0)
            mbox = n >= FROM_SIZE && std::memcmp(buffer, FROM, FROM_SIZE) == 0;
        std::size_t change = FirstChange(buffer, from, to, n, true);
        found = change < to;
        // The last mail that starts before the change, or in the read.
        std::size_t start = mbox ? LastMailStart(buffer, from, found ? change + 1 : to, n) : to;
        if (start < to && (!found || start <= change)) {
            running.Add(buffer + (summed - base), static_cast<std::size_t>(base + start - summed));
            summed = mail = base + start;
            *front = running;
        }
        if (found || last)
            break;
        running.Add(buffer + (summed - base), static_cast<std::size_t>(base + to - summed));
        summed = base + to;
        std::size_t keepFrom = to - BEFORE;
        std::memmove(g_inBuffer, g_inBuffer + keepFrom, n - keepFrom);
        kept = n - keepFrom;
        base += keepFrom;
        from = BEFORE;
    }
    if (!found) {
        *mailStart = size;  // nothing to change
    } else if (!mbox) {
        *mailStart = 0;
        *front = SChecksum();
    } else {
        *mailStart = mail;
    }
    return true;
}

// The checksum of n bytes of file from offset at; a file that ends before is not whole.
bool ChecksumRange(HANDLE file, std::uint64_t at, std::uint64_t n, SChecksum *sum)
{
    if (!Seek(file, at))
        return false;
    while (sum->total < n) {
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(n - sum->total, STREAM_BUFFER_SIZE));
        DWORD got = 0;
        if (!ReadFully(file, g_inBuffer, want, &got))
            return false;
        if (got < want) {
            SetLastError(ERROR_INTERRUPTED_COPY_NOT_WHOLE);
            return false;
        }
        sum->Add(g_inBuffer, got);
    }
    return true;
}

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

template <std::size_t N>
void CopyText(char (&to)[N], const char *text)
{
    std::snprintf(to, N, "%s", text);
}

// Closes handle if it is open, keeping the last error.
void CloseIfOpen(HANDLE &handle)
{
    if (handle == INVALID_HANDLE_VALUE)
        return;
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    handle = INVALID_HANDLE_VALUE;
}

// Deletes path, keeping the last error; a file that is not there is no failure.
void DeleteQuietly(const char *path)
{
    DWORD error = GetLastError();
    DeleteFileA(path);
    SetLastError(error);
}

// The folder's lock file, held for as long as this lives.
struct SFolderLockFile {
    char folder[PATH_SIZE] = "";
    bool taken = false;

    SFolderLockFile() = default;
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

// One job on one folder: what its steps share.
struct SJob {
    const char *path;
    SJobResult *result;
    HANDLE folder = INVALID_HANDLE_VALUE;
    SFileIdentity id = {};
    char resolved[PATH_SIZE] = "";  // the folder's path through its links
    char stateDir[PATH_SIZE] = "";
    SFolderLockFile lockFile;

    const SFileIdentity *expected = nullptr;  // the very file the folder must be, where given

    SJob(const char *inboxPath, SJobResult *jobResult) : path(inboxPath), result(jobResult) {}
    SJob(const SJob &) = delete;
    SJob &operator=(const SJob &) = delete;
    ~SJob() { CloseIfOpen(folder); }
};

// Step 1: opens the folder, held against other writers where lock is true, takes its lock
// file, and learns its identity.
bool OpenFolder(SJob &job, bool lock)
{
    // Held from here to the end: only readers may share it, so that no other program
    // (the mail client fetching mail, a second conversion) writes to it meanwhile.
    job.folder = CreateFileA(job.path, lock ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                             lock ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (job.folder == INVALID_HANDLE_VALUE)
        return false;
    // A device or a pipe would never end, or never hold what was written to it.
    if (GetFileType(job.folder) != FILE_TYPE_DISK) {
        SetLastError(ERROR_NOT_A_FILE);
        return false;
    }
    if (!ResolvePath(job.path, job.resolved))
        CopyText(job.resolved, job.path);
    // And the lock file that mail programs on Unix take, for those that take no other.
    if (lock)
        CopyText(job.lockFile.folder, job.resolved);
    if (!GetFileIdentity(job.folder, &job.id))
        return false;
    // A folder that a walk found: a link, or another file, put at its name since is not it.
    if (job.expected != nullptr && !SameFile(job.id, *job.expected)) {
        SetLastError(ERROR_NOT_THE_WALKED_FILE);
        return false;
    }
    return !lock || TakeFolderLockFile(job.lockFile.folder, &job.lockFile.taken);
}

// Step 2's first half: the state directory, made where it is missing.
bool OpenStateDirectory(SJob &job)
{
    if (GetStateDirectory(job.stateDir, sizeof job.stateDir))
        return true;
    job.result->stateDirectoryAtFault = true;
    CopyText(job.result->stateDirectory, job.stateDir);
    return false;
}

// Whether path names the open folder, compared as files.
bool NamesFolder(const SJob &job, const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    SFileIdentity id;
    bool same = GetFileIdentity(file, &id) && SameFile(id, job.id);
    CloseHandle(file);
    return same;
}

// The names of one kind of file in the state directory.
void CollectName(const char *name, void *context)
{
    static_cast<std::vector<std::string> *>(context)->emplace_back(name);
}

enum ERecord { RECORD_NONE, RECORD_FOUND, RECORD_REFUSED };

// Fails the job for an interrupted one that is not to be guessed at, keeping its files for
// the user.
ERecord Refuse(SJob &job, const SJobFiles &files, const SJournal *journal, DWORD reason)
{
    CopyText(job.result->keptCopy, files.copy);
    CopyText(job.result->keptRecord, files.record);
    job.result->keptFrom = journal != nullptr ? journal->start : 0;
    SetLastError(reason);
    return RECORD_REFUSED;
}

// Where records of the earlier builds were: the temporary directory, named after the
// folder's 32-bit volume and its index.
ERecord FindEarlierRecord(SJob &job, SJobFiles *files)
{
    char temp[PATH_SIZE];
    DWORD n = GetTempPathA(sizeof temp, temp);
    if (n == 0 || n >= sizeof temp)
        return RECORD_NONE;
    auto volume = static_cast<std::uint32_t>(job.id.volume ^ (job.id.volume >> 32));
    char base[64];
    std::snprintf(base, sizeof base, "qvl%08" PRIX32 "-%016" PRIX64, volume, job.id.indexLow);
    SJournal journal;
    if (!MakeJobFiles(temp, base, files) || ReadJournal(files->record, &journal) != JOURNAL_FOUND ||
        !NamesFolder(job, journal.folder))
        return RECORD_NONE;
    return Refuse(job, *files, &journal, ERROR_INTERRUPTED_OTHER_VERSION);
}

// Step 2's second half: the record of an interrupted job on the folder, found by the
// folder's identity or by the path it gives.  Records that are not this user's are passed
// over, as are those of other folders.  With tidy, the files of an earlier job on the
// folder that never wrote a whole record are deleted.
ERecord FindRecord(SJob &job, bool tidy, SJobFiles *files, SJournal *journal)
{
    char prefix[PATH_SIZE];
    if (!MakeJobBase(job.id, 0, false, prefix, sizeof prefix))
        return Refuse(job, {}, nullptr, GetLastError());
    std::size_t prefixLength = std::strlen(prefix);
    std::vector<std::string> names;
    if (!ListDirectory(job.stateDir, ".JNL", CollectName, &names)) {
        job.result->stateDirectoryAtFault = true;
        CopyText(job.result->stateDirectory, job.stateDir);
        return RECORD_REFUSED;
    }
    for (const std::string &name : names) {
        bool ours = name.compare(0, prefixLength, prefix) == 0;
        std::string path = job.stateDir + name;
        if (!JobFilesOfRecord(path.c_str(), files))
            continue;
        switch (ReadJournal(files->record, journal)) {
        case JOURNAL_FOUND:
            if ((journal->version > 1 && SameFile(journal->id, job.id)) || NamesFolder(job, journal->folder))
                return journal->version > 1 || journal->start == 0
                           ? RECORD_FOUND
                           : Refuse(job, *files, journal, ERROR_INTERRUPTED_OTHER_VERSION);
            break;
        case JOURNAL_UNFINISHED:
            // Never written whole, so the folder was never written: a job stopped early.
            if (ours && tidy) {
                DeleteQuietly(files->record);
                DeleteQuietly(files->copy);
            }
            break;
        case JOURNAL_UNREADABLE:
            if (ours)
                return Refuse(job, *files, nullptr, ERROR_INTERRUPTED_RECORD_UNREADABLE);
            break;
        case JOURNAL_OTHER_VERSION:
            if (ours)
                return Refuse(job, *files, nullptr, ERROR_INTERRUPTED_OTHER_VERSION);
            break;
        case JOURNAL_NONE:
        case JOURNAL_NOT_OURS:
            break;  // gone meanwhile, or another user's: nothing of ours
        }
    }
    if (FindEarlierRecord(job, files) == RECORD_REFUSED)
        return RECORD_REFUSED;
    if (tidy) {
        // What a job stopped before its record leaves: its copy, a scratch file, mail kept
        // for a record that never took it.  Never an old file, which is the user's.
        for (const char *kind : {".TMP", ".CHK", ".ADD", ".JNW"}) {
            std::vector<std::string> left;
            if (!ListDirectory(job.stateDir, kind, CollectName, &left))
                continue;
            for (const std::string &name : left) {
                if (name.compare(0, prefixLength, prefix) == 0)
                    DeleteQuietly((job.stateDir + name).c_str());
            }
        }
    }
    return RECORD_NONE;
}

// Opens a file of the job that must be there, whole and this user's own: n bytes whose
// checksum is sum.  missing is the reason when it is not there.
HANDLE OpenJobFile(const char *path, std::uint64_t n, std::uint64_t sum, DWORD missing)
{
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        SetLastError(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? missing : error);
        return INVALID_HANDLE_VALUE;
    }
    SChecksum checksum;
    bool ok = GetFileType(file) == FILE_TYPE_DISK && IsPrivateFile(file);
    if (!ok)
        SetLastError(ERROR_INTERRUPTED_COPY_NOT_WHOLE);
    ok = ok && ChecksumRange(file, 0, n, &checksum);
    if (ok && checksum.Value() != sum) {
        ok = false;
        SetLastError(ERROR_INTERRUPTED_COPY_NOT_WHOLE);
    }
    if (!ok)
        CloseIfOpen(file);
    return file;
}

// Creates path anew for the job, deleting what an earlier stopped job left there.
HANDLE CreateJobFile(const char *path)
{
    DeleteQuietly(path);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The files an interrupted job's completion reads and writes.
struct SOpenJobFiles {
    HANDLE copy = INVALID_HANDLE_VALUE;
    HANDLE added = INVALID_HANDLE_VALUE;
    HANDLE old = INVALID_HANDLE_VALUE;
    HANDLE scratch = INVALID_HANDLE_VALUE;

    SOpenJobFiles() = default;
    SOpenJobFiles(const SOpenJobFiles &) = delete;
    SOpenJobFiles &operator=(const SOpenJobFiles &) = delete;
    ~SOpenJobFiles()
    {
        CloseIfOpen(copy);
        CloseIfOpen(added);
        CloseIfOpen(old);
        CloseIfOpen(scratch);
    }
};

// Opens the files the record names and checks them: the copy, the mail kept, the old file
// of an undo.
bool OpenRecordedFiles(const SJobFiles &files, const SJournal &journal, SOpenJobFiles &open)
{
    open.copy = OpenJobFile(files.copy, journal.length, journal.checksum, ERROR_INTERRUPTED_COPY_MISSING);
    if (open.copy == INVALID_HANDLE_VALUE)
        return false;
    if (journal.added > 0) {
        open.added = OpenJobFile(files.added, journal.added, journal.addedChecksum, ERROR_INTERRUPTED_COPY_MISSING);
        if (open.added == INVALID_HANDLE_VALUE)
            return false;
    }
    if (journal.direction != DIRECTION_FORWARD) {
        open.old = OpenJobFile(files.old, journal.oldLength, journal.oldChecksum, ERROR_INTERRUPTED_COPY_MISSING);
        if (open.old == INVALID_HANDLE_VALUE)
            return false;
    }
    return true;
}

// The bytes an interrupted job was replacing (from) and writing (to), its scratch file then
// holding the conversion of the copy where it was converting.
bool ReadRecordedBytes(const SJobFiles &files, const SJournal &journal, SOpenJobFiles &open, SBytes *from,
                       SBytes *to)
{
    *from = SBytes();
    *to = SBytes();
    if (journal.direction != DIRECTION_FORWARD) {
        from->Add(open.old, 0, journal.oldLength);
        to->Add(open.copy, 0, journal.length);
        to->Add(open.added, 0, journal.added);
        return true;
    }
    StreamConverter convert = ConverterNamed(journal.converter);
    if (convert == nullptr) {
        SetLastError(ERROR_INTERRUPTED_OTHER_CONVERSION);
        return false;
    }
    if (open.scratch == INVALID_HANDLE_VALUE) {
        open.scratch = CreateJobFile(files.scratch);
        SFileIdentity converted;
        if (open.scratch == INVALID_HANDLE_VALUE || !SeekBoth(open.copy, 0, open.scratch, 0) ||
            !ConvertAndClose(OpenHandleStream(open.copy, "rb"), OpenHandleStream(open.scratch, "wb"), convert) ||
            !GetFileIdentity(open.scratch, &converted))
            return false;
        to->Add(open.scratch, 0, converted.size);
    } else {
        SFileIdentity converted;
        if (!GetFileIdentity(open.scratch, &converted))
            return false;
        to->Add(open.scratch, 0, converted.size);
    }
    from->Add(open.copy, 0, journal.length);
    from->Add(open.added, 0, journal.added);
    to->Add(open.added, 0, journal.added);
    return true;
}

// Appends n bytes of folder from offset at to file, which holds length bytes of the job's
// already, and adds them to *sum (which holds those).
bool AppendTo(HANDLE &file, const char *path, std::uint64_t length, HANDLE folder, std::uint64_t at,
              std::uint64_t n, SChecksum *sum)
{
    if (file == INVALID_HANDLE_VALUE) {
        file = CreateJobFile(path);
        if (file == INVALID_HANDLE_VALUE)
            return false;
    }
    if (!ChecksumRange(file, 0, length, sum) || !Seek(file, length))
        return false;
    for (std::uint64_t done = 0; done < n;) {
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(n - done, STREAM_BUFFER_SIZE));
        DWORD got = 0, written = 0;
        if (!Seek(folder, at + done) || !ReadFully(folder, g_inBuffer, want, &got) || got < want ||
            !Seek(file, length + done) || !WriteFile(file, g_inBuffer, got, &written, nullptr))
            return false;
        sum->Add(g_inBuffer, got);
        done += got;
    }
    return SetEndOfFile(file) && FlushFileBuffers(file);
}

// Keeps the mail appended to the folder since the job was interrupted (n bytes of it from
// offset at): in the job's added file, and for an undo in its old file too, then in the
// record, so that no rewrite can lose it.
bool KeepAppendedMail(const SJob &job, const SJobFiles &files, SJournal &journal, SOpenJobFiles &open,
                      std::uint64_t at, std::uint64_t n)
{
    SChecksum added;
    if (!AppendTo(open.added, files.added, journal.added, job.folder, at, n, &added))
        return false;
    journal.added += n;
    journal.addedChecksum = added.Value();
    if (journal.direction != DIRECTION_FORWARD) {
        SChecksum old;
        if (!AppendTo(open.old, files.old, journal.oldLength, job.folder, at, n, &old))
            return false;
        journal.oldLength += n;
        journal.oldChecksum = old.Value();
    }
    return FlushDirectory(job.stateDir) && ReplaceJournal(files, job.stateDir, journal);
}

// Tells the user where the folder is not what the job can have left.
void TellWhereItDiffers(const SJob &job, std::uint64_t offset)
{
    SMailLines lines;
    job.result->differs = true;
    job.result->differsAt = offset;
    if (FindMailLines(job.folder, offset, &lines)) {
        CopyText(job.result->mailFrom, lines.from);
        CopyText(job.result->mailDate, lines.date);
        CopyText(job.result->mailSubject, lines.subject);
    }
}

// Checks the folder against the interrupted job's record, byte for byte: its front as it
// was, then what the job can have left, then mail appended since.  *appended is then where
// that mail begins in the folder.  False with the reason when it is not, or reading fails.
bool CheckFolder(const SJob &job, const SJournal &journal, const SBytes &from, const SBytes &to,
                 std::uint64_t *appended, std::uint64_t *size)
{
    SFileIdentity now;
    if (!GetFileIdentity(job.folder, &now))
        return false;
    *size = now.size;
    SChecksum front;
    SFolderState state = {false, 0, 0};
    if (now.size >= journal.start) {
        // An undo keeps the front as it is, whatever it holds.
        bool undo = journal.direction != DIRECTION_FORWARD;
        if (!undo && !ChecksumRange(job.folder, 0, journal.start, &front))
            return false;
        if (!undo && journal.version > 1 && front.Value() != journal.frontChecksum) {
            // Somewhere in what the job never wrote: the checksum does not say where.
            job.result->differs = true;
            job.result->differsBefore = true;
            job.result->differsAt = journal.start;
            SetLastError(ERROR_INTERRUPTED_FOLDER_CHANGED);
            return false;
        }
        if (!ReadFolderState(job.folder, journal.start, now.size, from, to, &state))
            return false;
    }
    if (!state.asLeft) {
        TellWhereItDiffers(job, journal.start + state.differsAt);
        SetLastError(ERROR_INTERRUPTED_FOLDER_CHANGED);
        return false;
    }
    *appended = journal.start + state.appendedAt;
    return true;
}

enum EComplete { COMPLETE_CHECK_ONLY, COMPLETE_WRITE };

// Completes the interrupted job of the record, whose files are checked first: the folder
// then holds what that job would have written (or, for an undo, what it puts back), with
// the mail appended since after it, on the disk.  With COMPLETE_CHECK_ONLY it only tells
// whether it can.  False with the reason when it cannot; nothing has been written then.
bool CompleteInterruptedJob(SJob &job, const SJobFiles &files, SJournal &journal, EComplete mode)
{
    SOpenJobFiles open;
    SBytes from, to;
    std::uint64_t appended = 0, size = 0;
    bool ok = OpenRecordedFiles(files, journal, open) && ReadRecordedBytes(files, journal, open, &from, &to) &&
              CheckFolder(job, journal, from, to, &appended, &size);
    if (ok)
        job.result->appendedKept = size - appended;
    if (ok && mode == COMPLETE_WRITE) {
        if (appended < size) {
            ok = KeepAppendedMail(job, files, journal, open, appended, size - appended) &&
                 ReadRecordedBytes(files, journal, open, &from, &to);
        }
        ok = ok && WriteBytesOver(job.folder, journal.start, to);
    }
    DWORD error = GetLastError();
    CloseIfOpen(open.scratch);
    DeleteQuietly(files.scratch);
    SetLastError(error);
    return ok;
}

// Deletes a job's record, then, once that is on the disk, its other files.  A record that
// stays is told, as is a copy: either is of no more use, and a record left would have the
// next job check the folder once more.  The old file of an undo stays where keepOld.
void EndJournal(SJob &job, const SJobFiles &files, HANDLE record, bool keepOld)
{
    bool deleted = record != INVALID_HANDLE_VALUE ? DeleteHeldFile(record, files.record)
                                                  : DeleteFileA(files.record) != 0;
    if (!deleted) {
        job.result->leftBehindError = GetLastError();
        CopyText(job.result->leftBehind, files.record);
        return;
    }
    (void)FlushDirectory(job.stateDir);
    if (!DeleteFileA(files.copy) && job.result->leftBehind[0] == '\0') {
        job.result->leftBehindError = GetLastError();
        CopyText(job.result->leftBehind, files.copy);
    }
    DeleteQuietly(files.added);
    DeleteQuietly(files.next);
    DeleteQuietly(files.scratch);
    if (!keepOld)
        DeleteQuietly(files.old);
}

// Step 4: makes the copy of the folder from offset start, checks it, and puts the record
// that tells how to complete the job on the disk, held open in *record.  On failure nothing
// is left and the folder is untouched; the result says whether the state directory is to
// blame.
HANDLE StartJournal(SJob &job, std::uint64_t start, std::uint64_t front, StreamConverter convert, SJobFiles *files,
                    HANDLE *record)
{
    // A number of its own: no file of anyone else's can take its names.
    static unsigned s_jobs;
    unsigned number = static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(std::clock()) << 12 ^
                      ++s_jobs << 24;
    HANDLE copy = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && copy == INVALID_HANDLE_VALUE; ++attempt, ++number) {
        char base[PATH_SIZE];
        if (!MakeJobBase(job.id, number, true, base, sizeof base) || !MakeJobFiles(job.stateDir, base, files))
            break;
        copy = CreateFileA(files->copy, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (copy == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    // Only a failure to read the folder is not the state directory's.
    bool copyFailed = true;
    SChecksum sum;
    // A copy made leaves copyFailed set, so that a failed flush is the copy's.
    bool ok = copy != INVALID_HANDLE_VALUE && CopyContents(job.folder, start, copy, 0, copyFailed) &&
              FlushFileBuffers(copy) && CheckCopy(job.folder, start, copy, 0, &sum, copyFailed);
    if (ok) {
        copyFailed = true;
        SJournal journal = {};
        CopyText(journal.folder, job.resolved);
        journal.id = job.id;
        journal.start = start;
        journal.frontChecksum = front;
        journal.length = sum.total;
        journal.checksum = sum.Value();
        SChecksum nothing;
        journal.addedChecksum = nothing.Value();
        journal.oldChecksum = nothing.Value();
        CopyText(journal.converter, NameOf(convert));
        ok = WriteJournal(files->record, journal, record) && FlushDirectory(job.stateDir);
    }
    if (!ok) {
        DWORD error = GetLastError();
        job.result->stateDirectoryAtFault = copyFailed;
        CopyText(job.result->stateDirectory, job.stateDir);
        // Only what this job made is deleted: a name it could not take is another's.
        if (copy != INVALID_HANDLE_VALUE) {
            CloseIfOpen(copy);
            CloseIfOpen(*record);
            DeleteQuietly(files->record);
            DeleteQuietly(files->copy);
        }
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return copy;
}

// The folder's summary file goes, for the mail client to make again, and the folder's
// directory is flushed so that it stays gone; a failure is ignored.
void DeleteSummaryFile(const char *inboxPath)
{
    char summary[PATH_SIZE];
    if (!SummaryFileOf(inboxPath, summary, sizeof summary) || !DeleteFileA(summary))
        return;
    std::string dir = summary;
#ifdef _WIN32
    std::size_t sep = dir.find_last_of("\\/:");
#else
    std::size_t sep = dir.rfind('/');
#endif
    (void)FlushDirectory(sep == std::string::npos ? "." : dir.substr(0, sep + 1).c_str());
}

// Step 2, whole: completes an interrupted job on the folder, if there is one.  True when
// there was none, or it is completed and the folder closed; false when the job must fail.
enum EInterrupted { INTERRUPTED_NONE, INTERRUPTED_COMPLETED, INTERRUPTED_FAILED };
EInterrupted CompleteAnyInterruptedJob(SJob &job)
{
    SJobFiles files;
    SJournal journal;
    switch (FindRecord(job, true, &files, &journal)) {
    case RECORD_NONE:
        return INTERRUPTED_NONE;
    case RECORD_REFUSED:
        return INTERRUPTED_FAILED;
    case RECORD_FOUND:
        break;
    }
    if (!CompleteInterruptedJob(job, files, journal, COMPLETE_WRITE)) {
        Refuse(job, files, &journal, GetLastError());
        return INTERRUPTED_FAILED;
    }
    if (!CloseHandle(job.folder)) {
        job.folder = INVALID_HANDLE_VALUE;
        Refuse(job, files, &journal, GetLastError());
        return INTERRUPTED_FAILED;
    }
    job.folder = INVALID_HANDLE_VALUE;
    // A record that stayed would have the folder checked again and again; a lock file the
    // interrupted job left at the folder's path goes too.
    EndJournal(job, files, INVALID_HANDLE_VALUE, journal.direction == DIRECTION_UNDO_KEEP);
    if (journal.direction == DIRECTION_UNDO_KEEP)
        CopyText(job.result->keptOld, files.old);
    (void)RemoveStaleFolderLockFile(journal.folder);
    job.result->completedInterrupted = true;
    return INTERRUPTED_COMPLETED;
}

// Fails the job with the reason left by the last call.
bool Fail(SJob &job)
{
    DWORD error = GetLastError();
    CloseIfOpen(job.folder);
    SetLastError(error);
    return false;
}

// Step 5's failure: the folder may be half written, so the original is put back and
// checked.  Then the record has nothing more to tell; the copy stays for the user, until
// the next job on the folder.  If the folder cannot be put back, both stay, and the next job
// completes the rewrite from them.
void PutBack(SJob &job, HANDLE copy, std::uint64_t start, const SJobFiles &files, HANDLE &record)
{
    DWORD error = GetLastError();
    bool folderFailed;
    SChecksum sum;
    if (CopyContents(copy, 0, job.folder, start, folderFailed) && FlushFileBuffers(job.folder) &&
        CheckCopy(copy, 0, job.folder, start, &sum, folderFailed)) {
        if (DeleteHeldFile(record, files.record))
            (void)FlushDirectory(job.stateDir);
    } else {
        CloseIfOpen(record);
        SJournal journal = {};
        journal.start = start;
        Refuse(job, files, &journal, error);
    }
    record = INVALID_HANDLE_VALUE;
    SetLastError(error);
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

bool SummaryFileOf(const char *inboxPath, char *summary, std::size_t size)
{
    // Beside the folder itself, when the path is a link to it.
    char folder[PATH_SIZE];
    const char *path = ResolvePath(inboxPath, folder) ? folder : inboxPath;
    int n = std::snprintf(summary, size, "%s.snm", path);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

bool ConvertInbox(const char *inboxPath, StreamConverter convert, SJobResult *result)
{
    return ConvertFolderInPlace(inboxPath, convert, result);
}

bool ConvertFolderInPlace(const char *inboxPath, StreamConverter convert, SJobResult *result,
                          const SFileIdentity *expected)
{
    SJobResult ignored;
    if (result == nullptr)
        result = &ignored;
    *result = SJobResult{};
    // Twice at most: once to complete an interrupted job, once for this one.
    for (;;) {
        SJob job(inboxPath, result);
        job.expected = expected;
        if (!OpenFolder(job, true) || !OpenStateDirectory(job))
            return Fail(job);
        // The summary's name must fit, or the client would be left a summary of the folder
        // as it was.
        char summary[PATH_SIZE];
        if (!SummaryFileOf(inboxPath, summary, sizeof summary))
            return Fail(job);

        EInterrupted interrupted = CompleteAnyInterruptedJob(job);
        if (interrupted == INTERRUPTED_FAILED)
            return Fail(job);
        if (interrupted == INTERRUPTED_COMPLETED)
            continue;  // and the job goes on as usual, converting what is left to convert

        // Step 3: what comes before the first byte the conversion changes is left as it is:
        // neither copied nor written nor flushed, only read for its checksum.  A folder with
        // nothing to change stays untouched.
        std::uint64_t start = 0;
        SChecksum front;
        if (!(convert == ConvertStream ? FindFirstChange(job.folder, &start, &front)
                                       : FindFirstMailChange(job.folder, job.id.size, &start, &front)))
            return Fail(job);
        if (start == job.id.size) {
            // Its summary still holds, unless an interrupted job changed it.
            CloseIfOpen(job.folder);
            result->rewritten = result->completedInterrupted;
            if (result->rewritten)
                DeleteSummaryFile(inboxPath);
            return true;
        }

        // Step 4.
        SJobFiles files;
        HANDLE record = INVALID_HANDLE_VALUE;
        HANDLE copy = StartJournal(job, start, front.Value(), convert, &files, &record);
        if (copy == INVALID_HANDLE_VALUE)
            return Fail(job);
        result->stateDirectoryAtFault = false;

        // Step 5.
        if (!Rewrite(copy, job.folder, start, convert) || !FlushFileBuffers(job.folder)) {
            PutBack(job, copy, start, files, record);
            CloseIfOpen(copy);
            return Fail(job);
        }
        CloseIfOpen(copy);
        // Step 6.  Already on the disk, but a close that fails may mean it is not (a network
        // drive): the record stays, and the next job completes the rewrite.
        HANDLE folder = job.folder;
        job.folder = INVALID_HANDLE_VALUE;
        if (!CloseHandle(folder)) {
            DWORD error = GetLastError();
            CloseIfOpen(record);
            SJournal journal = {};
            journal.start = start;
            Refuse(job, files, &journal, error);
            return false;
        }
        EndJournal(job, files, record, false);
        result->rewritten = true;
        DeleteSummaryFile(inboxPath);
        return true;
    }
}

bool UndoInterruptedJob(const char *inboxPath, SJobResult *result)
{
    *result = SJobResult{};
    SJob job(inboxPath, result);
    SJobFiles files;
    SJournal journal;
    if (!OpenFolder(job, true) || !OpenStateDirectory(job))
        return Fail(job);
    switch (FindRecord(job, false, &files, &journal)) {
    case RECORD_NONE:
        SetLastError(ERROR_NOTHING_TO_UNDO);
        return Fail(job);
    case RECORD_REFUSED:
        return Fail(job);
    case RECORD_FOUND:
        break;
    }
    if (journal.direction == DIRECTION_FORWARD) {
        // What the folder holds from the job's start is kept as it stands, in the old file;
        // the mail appended since is told apart where the folder is as the job left it.
        SOpenJobFiles open;
        SBytes from, to;
        SFileIdentity now;
        std::uint64_t appended = 0, size = 0;
        if (!OpenRecordedFiles(files, journal, open) || !GetFileIdentity(job.folder, &now)) {
            Refuse(job, files, &journal, GetLastError());
            return Fail(job);
        }
        // Cut shorter than the job's start, it has no place to put the copy back at.
        if (now.size < journal.start) {
            TellWhereItDiffers(job, now.size);
            Refuse(job, files, &journal, ERROR_INTERRUPTED_FOLDER_CHANGED);
            return Fail(job);
        }
        // Where it differs is no failure of the undo: told to a result of its own.
        SJobResult checked{};
        job.result = &checked;
        bool asLeft = ReadRecordedBytes(files, journal, open, &from, &to) &&
                      CheckFolder(job, journal, from, to, &appended, &size);
        job.result = result;
        CloseIfOpen(open.scratch);
        DeleteQuietly(files.scratch);
        bool ok = !asLeft || appended == size ||
                  KeepAppendedMail(job, files, journal, open, appended, size - appended);
        std::uint64_t start = journal.start;
        SChecksum old;
        CloseIfOpen(open.old);
        open.old = ok ? CreateJobFile(files.old) : INVALID_HANDLE_VALUE;
        ok = ok && open.old != INVALID_HANDLE_VALUE &&
             AppendTo(open.old, files.old, 0, job.folder, start, now.size - start, &old);
        if (ok) {
            journal.direction = asLeft ? DIRECTION_UNDO : DIRECTION_UNDO_KEEP;
            journal.oldLength = now.size - start;
            journal.oldChecksum = old.Value();
            ok = FlushDirectory(job.stateDir) && ReplaceJournal(files, job.stateDir, journal);
        }
        if (!ok) {
            Refuse(job, files, &journal, GetLastError());
            return Fail(job);
        }
    }
    // The undo itself, as the next job would complete it had this one been stopped.
    if (!CompleteInterruptedJob(job, files, journal, COMPLETE_WRITE)) {
        Refuse(job, files, &journal, GetLastError());
        return Fail(job);
    }
    HANDLE folder = job.folder;
    job.folder = INVALID_HANDLE_VALUE;
    if (!CloseHandle(folder)) {
        Refuse(job, files, &journal, GetLastError());
        return false;
    }
    bool keepOld = journal.direction == DIRECTION_UNDO_KEEP;
    EndJournal(job, files, INVALID_HANDLE_VALUE, keepOld);
    if (keepOld)
        CopyText(result->keptOld, files.old);
    result->keptFrom = journal.start;
    return true;
}

EPendingJob FindPendingJob(const char *path, SJobResult *result)
{
    *result = SJobResult{};
    SJob job(path, result);
    SJobFiles files;
    SJournal journal;
    // What cannot be opened as a file has no job of ours.
    if (!OpenFolder(job, false))
        return PENDING_NONE;
    if (!OpenStateDirectory(job))
        return PENDING_UNKNOWN;
    switch (FindRecord(job, false, &files, &journal)) {
    case RECORD_NONE:
        return PENDING_NONE;
    case RECORD_REFUSED:
        return result->stateDirectoryAtFault ? PENDING_UNKNOWN : PENDING_REFUSED;
    case RECORD_FOUND:
        break;
    }
    if (!CompleteInterruptedJob(job, files, journal, COMPLETE_CHECK_ONLY)) {
        Refuse(job, files, &journal, GetLastError());
        return PENDING_REFUSED;
    }
    CopyText(result->keptCopy, files.copy);
    CopyText(result->keptRecord, files.record);
    result->keptFrom = journal.start;
    return PENDING_COMPLETE;
}
