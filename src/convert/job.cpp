// Converts a mail folder file in place, through a temporary copy of it: the job's steps.
#include <ctime>
#include <string>

#include "convert.h"
#include "job_internal.h"
#include "platform.h"

namespace {

// Copies in to out, byte for byte, with ConvertStream's contract: what Rewrite writes is a
// conversion made before, whose length the record already holds.
int CopyStreamBytes(FILE *in, FILE *out)
{
    SetLastError(0);
    std::size_t n;
    while (!std::ferror(out) && (n = std::fread(g_szLine, 1, sizeof g_szLine, in)) > 0)
        (void)std::fwrite(g_szLine, 1, n, out);
    return !std::ferror(in) && !std::ferror(out) && std::fflush(out) == 0 ? 1 : 0;
}

// Rewrites folder, from offset at, as the conversion (its length converted), and cuts it to
// its new length.  Where that is longer, the folder is made so first, in one step, so that
// it is only ever as long as it was or as it will be: mail appended after a stop then
// begins at one of those lengths (folder_state.h).  False when reading, writing or cutting
// fails; the folder may then be damaged.
bool Rewrite(HANDLE conversion, std::uint64_t converted, HANDLE folder, std::uint64_t at)
{
    SFileIdentity id;
    if (!GetFileIdentity(folder, &id) ||
        (id.size < at + converted && (!Seek(folder, at + converted) || !SetEndOfFile(folder))))
        return false;
    if (!SeekBoth(conversion, 0, folder, at))
        return false;
    // Written over from the start and then cut to length, rather than emptied first, which
    // some file systems (ext4) take for a replaced document and force to disk on close.
    if (!ConvertAndClose(OpenHandleStream(conversion, "rb"), OpenHandleStream(folder, "wb"), CopyStreamBytes))
        return false;
    // The stream has left the position at the end of what it wrote.
    return SetEndOfFile(folder) != 0;
}

// Step 4: makes the copy of the folder from offset start, checks it, converts it into the
// scratch file (*conversion, open), and puts the record that tells how to complete the job
// on the disk, held open in *record.  On failure nothing is left and the folder is
// untouched; the result says whether the state directory is to blame.
HANDLE StartJournal(SJob &job, std::uint64_t start, std::uint64_t front, StreamConverter convert, SJobFiles *files,
                    HANDLE *conversion, HANDLE *record)
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
    // The copy carries the folder's times, for the folder to take back once rewritten.
    if (ok)
        (void)KeepFileTime(job.folder, copy);
    // The conversion, of the folder that the copy was checked against; a failure of the
    // converter's own (memory) is not the state directory's.
    SChecksum converted;
    SFileIdentity conversionId;
    if (ok) {
        *conversion = CreateJobFile(files->scratch);
        ok = *conversion != INVALID_HANDLE_VALUE && SeekBoth(job.folder, start, *conversion, 0);
        if (ok && !ConvertAndClose(OpenHandleStream(job.folder, "rb"), OpenHandleStream(*conversion, "wb"), convert)) {
            ok = false;
            copyFailed = GetLastError() != ERROR_NOT_ENOUGH_MEMORY;
        }
        ok = ok && GetFileIdentity(*conversion, &conversionId) &&
             ChecksumRange(*conversion, 0, conversionId.size, &converted);
    }
    if (ok) {
        copyFailed = true;
        SJournal journal = {};
        CopyText(journal.folder, job.resolved);
        journal.id = job.id;
        journal.start = start;
        journal.frontChecksum = front;
        journal.length = sum.total;
        journal.checksum = sum.Value();
        journal.converted = converted.total;
        journal.convertedChecksum = converted.Value();
        SChecksum nothing;
        journal.addedChecksum = nothing.Value();
        journal.oldChecksum = nothing.Value();
        CopyText(journal.converter, NameOf(convert));
        ok = WriteJournal(files->record, journal, record) && FlushDirectory(job.stateDir);
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
            CloseIfOpen(*conversion);
            DeleteQuietly(files->record);
            DeleteQuietly(files->copy);
            DeleteQuietly(files->scratch);
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

bool ConvertFolderInPlace(const char *folderPath, StreamConverter convert, SJobResult *result,
                          const SFileIdentity *expected)
{
    SJobResult ignored;
    if (result == nullptr)
        result = &ignored;
    *result = SJobResult{};
    // Twice at most: once to complete an interrupted job, once for this one.  A record
    // found again after one was completed (it could not be deleted) fails the run instead.
    for (int pass = 0;; ++pass) {
        SJob job(folderPath, result);
        job.expected = expected;
        if (!OpenFolder(job, true) || !OpenStateDirectory(job))
            return Fail(job);
        // The summary's name must fit, or the client would be left a summary of the folder
        // as it was.
        char summary[PATH_SIZE];
        if (!SummaryFileOf(folderPath, summary, sizeof summary))
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
        if (start == job.id.size) {
            // Its summary still holds, unless an interrupted job changed it.
            CloseIfOpen(job.folder);
            result->rewritten = result->completedInterrupted;
            if (result->rewritten)
                DeleteSummaryFile(folderPath);
            return true;
        }

        // Step 4.
        SJobFiles files;
        HANDLE record = INVALID_HANDLE_VALUE, conversion = INVALID_HANDLE_VALUE;
        HANDLE copy = StartJournal(job, start, front.Value(), convert, &files, &conversion, &record);
        if (copy == INVALID_HANDLE_VALUE)
            return Fail(job);
        result->stateDirectoryAtFault = false;

        // Step 5.
        SFileIdentity converted;
        // The folder keeps its times, as a file a tree's walk rewrites does, where the
        // system lets us give them (natively, to the owner's file only).
        bool written = GetFileIdentity(conversion, &converted) && Rewrite(conversion, converted.size, job.folder, start);
        if (written)
            (void)KeepFileTime(copy, job.folder);
        written = written && FlushFileBuffers(job.folder);
        CloseIfOpen(conversion);
        DeleteQuietly(files.scratch);
        if (!written) {
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
        DeleteSummaryFile(folderPath);
        return true;
    }
}
