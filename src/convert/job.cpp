// Converts a mail folder file in place, through a temporary copy of it: the job's steps.
#include <algorithm>
#include <ctime>
#include <string>

#include "convert.h"
#include "job_internal.h"
#include "platform.h"
#include "write_anew.h"

namespace {

// The folder read once from the job's start, as the conversion reads it: what is read for
// the first time is written to the copy and taken into the copy's checksum.  The stream's
// offset 0 is the folder's offset start; it goes back only as far as the copy reaches, so
// that the copy is written in order, each byte once.
struct SCopyingRead {
    HANDLE folder = INVALID_HANDLE_VALUE;
    CWriteBehind *copy = nullptr;  // writes to the copy and sums it
    std::uint64_t start = 0;
    std::uint64_t at = 0;      // the stream's position
    std::uint64_t copied = 0;  // what the copy holds, from the stream's 0
    std::uint64_t folderAt = ~std::uint64_t{0};  // where the folder's handle stands, from the
                                                 // stream's 0 (nowhere yet)
    bool copyFailed = false;   // a write to the copy failed, not a read of the folder
};

long long ReadAndCopy(void *context, char *data, std::size_t n)
{
    auto &read = *static_cast<SCopyingRead *>(context);
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, STREAM_BUFFER_SIZE)), got = 0;
    if ((read.folderAt != read.at && !Seek(read.folder, read.start + read.at)) ||
        !ReadFile(read.folder, data, want, &got, nullptr))
        return -1;
    read.folderAt = read.at + got;
    if (read.folderAt > read.copied) {
        // at is never past copied (SeekCopyingRead).
        auto skip = static_cast<std::size_t>(read.copied - read.at);
        DWORD fresh = got - static_cast<DWORD>(skip);
        if (!read.copy->Put(data + skip, fresh)) {
            read.copyFailed = true;
            return -1;
        }
        read.copied += fresh;
    }
    read.at += got;
    return got;
}

bool SeekCopyingRead(void *context, long long *offset, int whence)
{
    auto &read = *static_cast<SCopyingRead *>(context);
    long long to = whence == SEEK_CUR ? static_cast<long long>(read.at) + *offset : *offset;
    if (to < 0 || static_cast<std::uint64_t>(to) > read.copied)
        return false;
    read.at = static_cast<std::uint64_t>(to);
    *offset = to;
    return true;
}

// The conversion's output, written and summed by to (where null, only summed into sum),
// and refused past limit bytes: a conversion that gives more than its record says never
// makes the folder longer than the job may leave it.
struct SSummedWrite {
    CWriteBehind *to = nullptr;
    std::uint64_t limit = ~std::uint64_t{0};
    std::uint64_t total = 0;
    SChecksum sum;
};

long long WriteAndSum(void *context, const char *data, std::size_t n)
{
    auto &write = *static_cast<SSummedWrite *>(context);
    if (n > write.limit - write.total) {
        SetLastError(ERROR_CONVERSION_NOT_REPEATED);
        return -1;
    }
    if (write.to == nullptr)
        write.sum.Add(data, n);
    else if (!write.to->Put(data, n))
        return -1;
    write.total += n;
    return static_cast<long long>(n);
}

// Makes the copy of the folder from start, and takes its checksum (*sum) and the length and
// checksum of the folder's conversion (*converted), from one read of the folder: each piece
// is written to the copy and read back from it on the writing thread while the converter
// reads the next.  Then the copy is put on the disk and its length checked.  Where the
// system has no streams over functions (Windows), the copy is made and checked against the
// folder, and the folder converted apart into the scratch file, which is then read and
// deleted.  On failure, copyFailed tells whether the state directory is to blame.
bool CopyAndMeasure(SJob &job, std::uint64_t start, HANDLE copy, StreamConverter convert, const SJobFiles &files,
                    SChecksum *sum, SChecksum *converted, bool &copyFailed)
{
    SChecksum copied;
    CWriteBehind copying(copy, &copied);
    copying.ReadBack(0);
    copying.SendToDisk(copy, 0);
    SCopyingRead read;
    read.folder = job.folder;
    read.copy = &copying;
    read.start = start;
    SSummedWrite write;
    SStreamCalls in = {&read, ReadAndCopy, nullptr, SeekCopyingRead};
    SStreamCalls out = {&write, nullptr, WriteAndSum, nullptr};
    FILE *inStream = OpenCallStream(&in, "rb");
    if (inStream != nullptr) {
        copyFailed = false;
        if (!ConvertAndClose(inStream, OpenCallStream(&out, "wb"), convert)) {
            // The converter's own failure (memory) is not the state directory's either.
            copyFailed = read.copyFailed;
            return false;
        }
        copyFailed = true;
        if (!copying.Finish())
            return false;
        // A converter that stopped before the folder's end would leave a copy that is not
        // whole; the copy read back must hold what was read.
        char more;
        DWORD extra = 0;
        copyFailed = false;
        if (!Seek(job.folder, start + read.copied) || !ReadFile(job.folder, &more, 1, &extra, nullptr))
            return false;
        copyFailed = true;
        SFileIdentity copyId;
        if (!SetEndOfFile(copy) || !FlushFileBuffers(copy) || !GetFileIdentity(copy, &copyId))
            return false;
        if (extra != 0 || copyId.size != read.copied) {
            SetLastError(ERROR_COPY_NOT_WHOLE);
            return false;
        }
        *sum = copied;
        *converted = write.sum;
        return true;
    }
    if (!CopyContents(job.folder, start, copy, 0, copyFailed) || !FlushFileBuffers(copy) ||
        !CheckCopy(job.folder, start, copy, 0, sum, copyFailed))
        return false;
    HANDLE conversion = CreateJobFile(files.scratch);
    SFileIdentity conversionId;
    bool ok = conversion != INVALID_HANDLE_VALUE && SeekBoth(job.folder, start, conversion, 0);
    if (ok && !ConvertAndClose(OpenHandleStream(job.folder, "rb"), OpenHandleStream(conversion, "wb"), convert)) {
        ok = false;
        copyFailed = GetLastError() != ERROR_NOT_ENOUGH_MEMORY;
    }
    ok = ok && GetFileIdentity(conversion, &conversionId) &&
         ChecksumRange(conversion, 0, conversionId.size, converted);
    CloseIfOpen(conversion);
    DeleteQuietly(files.scratch);
    return ok;
}

// Rewrites folder, from offset at, as the conversion of the copy, and cuts it to its new
// length, checking what it writes against the length and checksum (converted) that the
// record holds: anything else fails with ERROR_CONVERSION_NOT_REPEATED.  Where the new
// length is longer, the folder is made so first, in one step, so that it is only ever as
// long as it was or as it will be: mail appended after a stop then begins at one of those
// lengths (folder_state.h).  False when reading, converting, writing or cutting fails, or
// the check; the folder may then be damaged.
bool Rewrite(HANDLE copy, StreamConverter convert, const SJournal &journal, HANDLE folder, std::uint64_t at)
{
    SFileIdentity id;
    if (!GetFileIdentity(folder, &id) || (id.size < at + journal.converted &&
                                          (!Seek(folder, at + journal.converted) || !SetEndOfFile(folder))))
        return false;
    if (!SeekBoth(copy, 0, folder, at))
        return false;
    // Through a stream of the folder's own, so that its failures are told as any stream's;
    // where the system has streams over functions, written and summed on a thread of its own
    // while the next piece is converted.
    FILE *folderStream = OpenHandleStream(folder, "wb");
    SSummedWrite write;
    CWriteBehind writing(folderStream, &write.sum);
    writing.SendToDisk(folder, at);
    write.to = &writing;
    write.limit = journal.converted;
    SStreamCalls calls = {&write, nullptr, WriteAndSum, nullptr};
    FILE *out = folderStream != nullptr ? OpenCallStream(&calls, "wb") : nullptr;
    bool summed = out != nullptr;
    if (!summed) {
        out = folderStream;
        folderStream = nullptr;
    }
    // Written over from the start and then cut to length, rather than emptied first, which
    // some file systems (ext4) take for a replaced document and force to disk on close.
    bool ok = ConvertAndClose(OpenHandleStream(copy, "rb"), out, convert);
    if (folderStream != nullptr) {
        // Flushed before it is closed (not every C library reports from fclose a flush that
        // failed in it), and done with by the thread, whatever happened.
        DWORD error = GetLastError();
        if (!writing.Finish() && ok) {
            ok = false;
            error = GetLastError();
        }
        SetLastError(0);
        if (std::fclose(folderStream) != 0 && ok) {
            ok = false;
            error = GetLastError() != 0 ? GetLastError() : ERROR_DISK_FULL;
        }
        SetLastError(error);
    }
    if (!ok || !SetEndOfFile(folder))
        return false;
    // The stream has left the position at the end of what it wrote; without a stream over
    // functions, what it wrote is read back.
    if (!summed && (!GetFileIdentity(folder, &id) || !ChecksumRange(folder, at, id.size - at, &write.sum)))
        return false;
    if (write.sum.total != journal.converted || write.sum.Value() != journal.convertedChecksum) {
        SetLastError(ERROR_CONVERSION_NOT_REPEATED);
        return false;
    }
    return true;
}

// Step 4: makes the copy of the folder from offset start and checks it, learns its
// conversion's length and checksum, and puts the record that tells how to complete the job
// on the disk, held open in *record and also given in *journal.  On failure nothing is left
// and the folder is untouched; the result says whether the state directory is to blame.
HANDLE StartJournal(SJob &job, std::uint64_t start, std::uint64_t front, SJobFiles *files, SJournal *journal,
                    HANDLE *record)
{
    StreamConverter convert = job.converters.use.convert;
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
    // Only a failure to read the folder, or the converter's own, is not the state
    // directory's.
    bool copyFailed = true;
    SChecksum sum, converted;
    bool ok = copy != INVALID_HANDLE_VALUE && CopyAndMeasure(job, start, copy, convert, *files, &sum, &converted,
                                                             copyFailed);
    if (ok) {
        // The copy carries the folder's times, for the folder to take back once rewritten.
        (void)KeepFileTime(job.folder, copy);
        copyFailed = true;
        *journal = SJournal{};
        CopyText(journal->folder, job.resolved);
        journal->id = job.id;
        journal->start = start;
        journal->frontChecksum = front;
        journal->length = sum.total;
        journal->checksum = sum.Value();
        journal->converted = converted.total;
        journal->convertedChecksum = converted.Value();
        SChecksum nothing;
        journal->addedChecksum = nothing.Value();
        journal->oldChecksum = nothing.Value();
        CopyText(journal->converter, job.converters.use.kind);
        ok = WriteJournal(files->record, *journal, record) && FlushDirectory(job.stateDir);
        // A folder whose drive takes no trace (full, or a directory that takes no new file)
        // is converted without, as without a lock file: the record is whole all the same.
        if (ok)
            (void)MarkFolder(job, files->record);
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
        if (!UnmarkFolder(job))
            CloseIfOpen(record);
        else if (DeleteHeldFile(record, files.record))
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

bool ConvertFolderInPlace(const CHeldDirectory &dir, const std::string &name, const SConverters &converters,
                          SJobResult *result, const SFileIdentity *expected)
{
    StreamConverter convert = converters.use.convert;
    SJobResult ignored;
    if (result == nullptr)
        result = &ignored;
    *result = SJobResult{};
    // Twice at most: once to complete an interrupted job, once for this one.  A record
    // found again after one was completed (it could not be deleted) fails the run instead.
    for (int pass = 0;; ++pass) {
        SJob job(dir, name, converters, result);
        job.expected = expected;
        if (!OpenFolder(job, true) || !OpenStateDirectory(job))
            return Fail(job);

        EInterrupted interrupted = CompleteAnyInterruptedJob(job);
        if (interrupted == INTERRUPTED_FAILED)
            return Fail(job);
        if (interrupted == INTERRUPTED_COMPLETED && pass > 0) {
            SetLastError(ERROR_INTERRUPTED_RECORD_STAYS);
            return Fail(job);
        }
        if (interrupted == INTERRUPTED_COMPLETED)
            continue;  // and the job goes on as usual, converting what is left to convert

        // Step 3: what comes before the first byte the conversion changes is left as it is:
        // neither copied nor written nor flushed, only read for its checksum.  A folder with
        // nothing to change stays untouched.
        std::uint64_t start = 0;
        SChecksum front;
        if (!(convert == ConvertStream ? FindFirstChange(job.folder, &start, &front)
                                       : FindFirstMailChange(job, convert, &start, &front)))
            return Fail(job);
        // A folder that a stopped job left half written, moved or copied where no record of
        // that job can be found, is not converted again as a whole one.
        if (start < job.id.size && LooksHalfWritten(job.folder, start)) {
            SetLastError(ERROR_HALF_WRITTEN_NO_RECORD);
            return Fail(job);
        }
        if (start == job.id.size) {
            // Its summary still holds, unless an interrupted job changed it (and its
            // completion deleted the summary).
            CloseIfOpen(job.folder);
            result->rewritten = result->completedInterrupted;
            return true;
        }

        // Step 4.
        SJobFiles files;
        SJournal journal;
        HANDLE record = INVALID_HANDLE_VALUE;
        HANDLE copy = StartJournal(job, start, front.Value(), &files, &journal, &record);
        if (copy == INVALID_HANDLE_VALUE)
            return Fail(job);
        result->stateDirectoryAtFault = false;

        // Step 5.
        // The folder keeps its times, as a file a tree's walk rewrites does, where the system
        // lets us give them (natively, to the owner's file only).
        bool written = Rewrite(copy, convert, journal, job.folder, start);
        if (written)
            (void)KeepFileTime(copy, job.folder);
        if (!written || !FlushFileBuffers(job.folder)) {
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
            Refuse(job, files, &journal, error);
            return false;
        }
        // The summaries go before the record, so that a job stopped between the two leaves the
        // record, and the run that completes it deletes them.
        DeleteSummaryFiles(job);
        EndJournal(job, files, record, false);
        result->rewritten = true;
        return true;
    }
}

bool OpenFolderAt(const char *path, SFolderAt *at)
{
    char resolved[PATH_SIZE];
    std::string folder = ResolvePath(path, resolved) ? resolved : path;
    at->name = BaseNameOf(folder);
    at->dir = CHeldDirectory::Open(DirectoryOf(folder));
    return at->dir != nullptr;
}

bool ConvertFolderAtPath(const char *path, const SConverters &converters, SJobResult *result)
{
    SFolderAt at;
    if (!OpenFolderAt(path, &at)) {
        if (result != nullptr)
            *result = SJobResult{};
        return false;
    }
    return ConvertFolderInPlace(*at.dir, at.name, converters, result);
}
