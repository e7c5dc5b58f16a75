// What the job's steps share: the folder and the state directory opened, files copied,
// checked and summed, the job's own files made and deleted, and the conversions a record
// may name.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "convert.h"
#include "job_internal.h"
#include "platform.h"
#include "write_anew.h"

bool SeekBoth(HANDLE from, std::uint64_t fromAt, HANDLE to, std::uint64_t toAt)
{
    return Seek(from, fromAt) && Seek(to, toAt);
}

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

// Each side is woken only once a few buffers are there for it, not for each one: waking a
// thread costs more than what it does with one buffer.
struct CWriteBehind::SState {
    static const int SLOTS = 4;
    static const int BATCH = 2;

    HANDLE file = INVALID_HANDLE_VALUE;
    FILE *stream = nullptr;
    SChecksum *sum = nullptr;
    bool readBack = false;
    HANDLE sendOn = INVALID_HANDLE_VALUE;  // the file whose pieces are sent on to the disk
    std::uint64_t at = 0;     // where the next piece is written, where it is read back
    std::uint64_t sent = 0;   // how far the file is sent on
    char *back = nullptr;     // a piece read back
    char *buffers = nullptr;  // SLOTS buffers of STREAM_BUFFER_SIZE, while the thread runs
    std::size_t lengths[SLOTS] = {};
    int next = 0;    // the buffer the next piece goes into
    int filled = 0;  // buffers put and not yet written, from (next - filled)
    bool started = false;
    bool stop = false;
    bool failed = false;
    DWORD error = 0;  // the first failure's
    std::mutex lock;
    std::condition_variable ready;  // BATCH buffers are filled, or stop is set
    std::condition_variable freed;  // BATCH buffers are free, or a write failed
    std::thread worker;

    bool Write(const char *data, std::size_t n)
    {
        SetLastError(0);
        if (file != INVALID_HANDLE_VALUE && !WriteWhole(file, data, n))
            return false;
        if (stream != nullptr && std::fwrite(data, 1, n, stream) != n) {
            // A short write without a code of its own is a full disk's.
            if (GetLastError() == 0)
                SetLastError(ERROR_DISK_FULL);
            return false;
        }
        if (readBack && !ReadBackPiece(data, n))
            return false;
        at += n;
        SendOn();
        if (sum != nullptr)
            sum->Add(data, n);
        return true;
    }

    bool ReadBackPiece(const char *data, std::size_t n)
    {
        if (back == nullptr)
            back = new (std::nothrow) char[STREAM_BUFFER_SIZE];
        if (back == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        for (std::size_t done = 0; done < n;) {
            DWORD want = static_cast<DWORD>(std::min(n - done, STREAM_BUFFER_SIZE)), got = 0;
            if (!Seek(file, at + done) || !ReadFully(file, back, want, &got))
                return false;
            if (got != want || std::memcmp(back, data + done, want) != 0) {
                SetLastError(ERROR_COPY_NOT_WHOLE);
                return false;
            }
            done += want;
        }
        return true;
    }

    // Whole MiBs of what is written, up to a piece behind the last (which a stream may not
    // have written yet, and whose page is written into again): a page on its way to the disk
    // may keep the next write to it waiting.
    void SendOn()
    {
        const std::uint64_t STEP = std::uint64_t{1} << 20;
        std::uint64_t end = at > STREAM_BUFFER_SIZE ? (at - STREAM_BUFFER_SIZE) / STEP * STEP : 0;
        if (sendOn != INVALID_HANDLE_VALUE && end > sent) {
            StartWriteBack(sendOn, sent, end - sent);
            sent = end;
        }
    }

    // The stream's last bytes, as the last write.
    bool Flush() const
    {
        if (stream == nullptr)
            return true;
        // Not every C library reports a failed write in ferror's place, nor with a code.
        SetLastError(0);
        if (std::fflush(stream) != 0 || std::ferror(stream)) {
            if (GetLastError() == 0)
                SetLastError(ERROR_DISK_FULL);
            return false;
        }
        return true;
    }

    void Fail(DWORD code)
    {
        if (!failed) {
            failed = true;
            error = code;
        }
    }

    void Work()
    {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            ready.wait(hold, [this] { return filled >= BATCH || stop; });
            if (filled == 0)
                break;
            int slot = (next - filled + SLOTS) % SLOTS;
            bool skip = failed;
            hold.unlock();
            bool ok = skip || Write(buffers + slot * STREAM_BUFFER_SIZE, lengths[slot]);
            DWORD code = ok ? 0 : GetLastError();
            hold.lock();
            if (!ok) {
                Fail(code);
                freed.notify_one();
            }
            if (--filled == SLOTS - BATCH)
                freed.notify_one();
        }
        if (!failed && !Flush())
            Fail(GetLastError());
    }

    // The thread and its buffers, with the first piece.  False where they cannot be had;
    // the pieces are then written as they come.
    bool Start()
    {
        started = true;
        buffers = new (std::nothrow) char[SLOTS * STREAM_BUFFER_SIZE];
        if (buffers == nullptr)
            return false;
        try {
            worker = std::thread(&SState::Work, this);
        } catch (const std::system_error &) {
            delete[] buffers;
            buffers = nullptr;
        }
        return buffers != nullptr;
    }
};

CWriteBehind::CWriteBehind(HANDLE file, SChecksum *sum) : m_state(new SState)
{
    m_state->file = file;
    m_state->sum = sum;
}

CWriteBehind::CWriteBehind(FILE *stream, SChecksum *sum) : m_state(new SState)
{
    m_state->stream = stream;
    m_state->sum = sum;
}

CWriteBehind::~CWriteBehind()
{
    DWORD error = GetLastError();
    (void)Finish();
    delete[] m_state->buffers;
    delete[] m_state->back;
    delete m_state;
    SetLastError(error);
}

void CWriteBehind::ReadBack(std::uint64_t at)
{
    m_state->readBack = true;
    m_state->at = at;
}

void CWriteBehind::SendToDisk(HANDLE file, std::uint64_t at)
{
    m_state->sendOn = file;
    m_state->at = at;
    m_state->sent = at;
}

bool CWriteBehind::Put(const char *data, std::size_t n)
{
    SState &s = *m_state;
    if (!s.started)
        (void)s.Start();
    if (!s.worker.joinable()) {
        if (!s.failed && !s.Write(data, n))
            s.Fail(GetLastError());
        if (s.failed)
            SetLastError(s.error);
        return !s.failed;
    }
    std::unique_lock<std::mutex> hold(s.lock);
    while (n > 0) {
        if (s.filled == SState::SLOTS)
            s.freed.wait(hold, [&s] { return s.filled <= SState::SLOTS - SState::BATCH || s.failed; });
        if (s.failed)
            break;
        // The buffer at next is free: the thread takes only those put before it.
        int slot = s.next;
        std::size_t take = std::min(n, STREAM_BUFFER_SIZE);
        hold.unlock();
        std::memcpy(s.buffers + slot * STREAM_BUFFER_SIZE, data, take);
        data += take;
        n -= take;
        hold.lock();
        s.lengths[slot] = take;
        s.next = (slot + 1) % SState::SLOTS;
        if (++s.filled == SState::BATCH)
            s.ready.notify_one();
    }
    if (s.failed)
        SetLastError(s.error);
    return !s.failed;
}

bool CWriteBehind::Finish()
{
    SState &s = *m_state;
    if (s.worker.joinable()) {
        {
            std::lock_guard<std::mutex> hold(s.lock);
            s.stop = true;
        }
        s.ready.notify_one();
        s.worker.join();
    } else if (s.started && !s.stop) {
        s.stop = true;
        if (!s.failed && !s.Flush())
            s.Fail(GetLastError());
    }
    if (s.failed)
        SetLastError(s.error);
    return !s.failed;
}

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

const SConversion PLAIN_CONVERSION = {"plain", ConvertStream};

StreamConverter SConverters::Named(const char *kind) const
{
    if (std::strcmp(kind, use.kind) == 0)
        return use.convert;
    for (std::size_t i = 0; i < otherCount; ++i) {
        if (std::strcmp(kind, others[i].kind) == 0)
            return others[i].convert;
    }
    return std::strcmp(kind, PLAIN_CONVERSION.kind) == 0 ? PLAIN_CONVERSION.convert : nullptr;
}

void CloseIfOpen(HANDLE &handle)
{
    if (handle == INVALID_HANDLE_VALUE)
        return;
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    handle = INVALID_HANDLE_VALUE;
}

void DeleteQuietly(const char *path)
{
    DWORD error = GetLastError();
    DeleteFileA(path);
    SetLastError(error);
}

void DeleteQuietly(const CHeldDirectory &dir, const std::string &name)
{
    DWORD error = GetLastError();
    (void)dir.DeleteEntry(name);
    SetLastError(error);
}

bool OpenFolder(SJob &job, bool lock)
{
    // Held from here to the end: only readers may share it, so that no other program
    // (the mail client fetching mail, a second conversion) writes to it meanwhile.
    // Through its directory, never through a link: a device or a pipe would never end, or
    // never hold what was written to it.
    job.folder = lock ? job.dir.OpenToRewrite(job.name, job.expected)
                      : job.dir.OpenEntry(job.name, false, job.expected);
    if (job.folder == INVALID_HANDLE_VALUE)
        return false;
    // The directory's own path through its links, for the record and for messages.
    char dir[PATH_SIZE];
    std::string path = ResolvePath(job.dir.Path().c_str(), dir) ? JoinPath(dir, job.name) : job.dir.PathOf(job.name);
    CopyText(job.resolved, path.c_str());
    if (!GetFileIdentity(job.folder, &job.id))
        return false;
    // A folder that a walk found: a link, or another file, put at its name since is not it.
    if (job.expected != nullptr && !SameFile(job.id, *job.expected)) {
        SetLastError(ERROR_NOT_THE_WALKED_FILE);
        return false;
    }
    if (!lock)
        return true;
    // And the lock file that mail programs on Unix take, for those that take no other.
    job.lockFile.dir = &job.dir;
    job.lockFile.folder = job.name;
    job.lockFile.result = job.result;
    return TakeFolderLockFile(job.dir, job.name, &job.lockFile.taken);
}

bool OpenStateDirectory(SJob &job, bool make)
{
    if (GetStateDirectory(job.stateDir, sizeof job.stateDir, make))
        return true;
    job.result->stateDirectoryAtFault = true;
    CopyText(job.result->stateDirectory, job.stateDir);
    return false;
}

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

HANDLE CreateJobFile(const char *path)
{
    DeleteQuietly(path);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

namespace {

// The trace's name beside the folder.
std::string TraceOf(const SJob &job)
{
    return job.name + ".quorvel";
}

}  // namespace

bool MarkFolder(const SJob &job, const char *record)
{
    std::string trace = TraceOf(job);
    DeleteQuietly(job.dir, trace);
    return WriteNewEntry(job.dir, trace, std::string(record) + "\n");
}

bool UnmarkFolder(const SJob &job)
{
    return job.dir.DeleteEntry(TraceOf(job)) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

namespace {

// The first line of the trace open in file (the record it names), which it closes.
void ReadTraceLine(HANDLE file, char (&text)[PATH_SIZE])
{
    DWORD n = 0;
    (void)ReadFile(file, text, sizeof text - 1, &n, nullptr);
    CloseHandle(file);
    text[n] = '\0';
    text[std::strcspn(text, "\r\n")] = '\0';
}

}  // namespace

bool UnmarkPath(const char *path, const char *record)
{
    std::string trace = std::string(path) + ".quorvel";
    HANDLE file = CreateFileA(trace.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return true;
    char text[PATH_SIZE] = "";
    ReadTraceLine(file, text);
    if (std::strcmp(text, record) != 0)
        return true;
    return DeleteFileA(trace.c_str()) != 0 && FlushDirectory(DirectoryOf(trace).c_str());
}

bool FindTrace(SJob &job)
{
    std::string trace = TraceOf(job);
    HANDLE file = job.dir.OpenEntry(trace, false, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char text[PATH_SIZE] = "";
    ReadTraceLine(file, text);
    CopyText(job.result->trace, job.dir.PathOf(trace).c_str());
    CopyText(job.result->keptRecord, text);
    return true;
}

void EndJournal(SJob &job, const SJobFiles &files, HANDLE record, bool keepOld)
{
    // The trace first: a record without it is found as before; a trace without its record
    // would keep every later run out.
    if (!UnmarkFolder(job)) {
        job.result->leftBehindError = GetLastError();
        CopyText(job.result->leftBehind, job.dir.PathOf(TraceOf(job)).c_str());
        CloseIfOpen(record);
        return;
    }
    // An undo's old file, of no more use once the folder is put back, goes before the
    // record: an undo stopped after its record went then leaves none behind, and one stopped
    // before finds its record and the folder put back already (OpenRecordedFiles).
    if (!keepOld && DeleteFileA(files.old))
        (void)FlushDirectory(job.stateDir);
    // Through a handle, so that on Windows its name goes at once even while another program
    // (a virus scanner) reads it: a record left in sight would be completed again.
    if (record == INVALID_HANDLE_VALUE)
        record = CreateFileA(files.record, GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool Fail(SJob &job)
{
    DWORD error = GetLastError();
    CloseIfOpen(job.folder);
    SetLastError(error);
    return false;
}

void DeleteSummaryFiles(SJob &job)
{
    // Thunderbird's, and the Mozilla suite's before it; the directory flushed so that they
    // stay gone.  A failure is told, not a failure of the job: the folder is converted.
    bool deleted = false;
    for (const char *kind : {".snm", ".msf"}) {
        std::string summary = job.name + kind;
        if (job.dir.DeleteEntry(summary)) {
            ++job.result->summariesDeleted;
            deleted = true;
        } else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND &&
                   job.result->summaryLeft[0] == '\0') {
            job.result->summaryError = GetLastError();
            CopyText(job.result->summaryLeft, job.dir.PathOf(summary).c_str());
        }
    }
    if (deleted)
        (void)job.dir.Flush();
}
