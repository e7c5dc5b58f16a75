// Tells what the next job on a folder would find of an interrupted one, changing nothing.
#include <string>

#include "convert.h"
#include "job_internal.h"
#include "platform.h"

namespace {

// Where the state directory cannot be read, a trace beside the folder still tells of a job
// that the next run refuses; without one, nobody can tell.  The state directory's reason
// stays.
EPendingJob UnknownUnlessTraced(SJob &job)
{
    DWORD error = GetLastError();
    bool traced = FindTrace(job);
    SetLastError(error);
    return traced ? PENDING_REFUSED : PENDING_UNKNOWN;
}

}  // namespace

EPendingJob FindPendingJob(const CHeldDirectory &dir, const std::string &name, const SConverters &converters,
                           SJobResult *result)
{
    *result = SJobResult{};
    SJob job(dir, name, converters, result);
    SJobFiles files;
    SJournal journal;
    // What cannot be opened as a file has no job of ours.
    if (!OpenFolder(job, false))
        return PENDING_NONE;
    if (!OpenStateDirectory(job, false)) {
        // None made yet holds no record: only a trace beside the folder tells of a job.
        DWORD error = GetLastError();
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || job.stateDir[0] == '\0')
            return UnknownUnlessTraced(job);
        *result = SJobResult{};
        if (!FindTrace(job))
            return PENDING_NONE;
        SetLastError(ERROR_INTERRUPTED_RECORD_ELSEWHERE);
        return PENDING_REFUSED;
    }
    switch (FindRecord(job, false, &files, &journal)) {
    case RECORD_NONE:
        return PENDING_NONE;
    case RECORD_REFUSED:
        return result->stateDirectoryAtFault ? UnknownUnlessTraced(job) : PENDING_REFUSED;
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

void FindStoppedJob(const CHeldDirectory &dir, const std::string &name, bool converts, bool *staleLock,
                    bool *jobFiles)
{
    *staleLock = *jobFiles = false;
    SJobResult result = {};
    SConverters none;
    SJob job(dir, name, none, &result);
    if (!OpenFolder(job, false))
        return;
    // A job takes any stale lock over; a tidy deletes only ours.
    *staleLock = IsStaleFolderLockFile(dir, name, !converts);
    *jobFiles = OpenStateDirectory(job, false) && HoldsFilesOfJob(job);
}

bool TidyStoppedJob(const CHeldDirectory &dir, const std::string &name, SJobResult *result)
{
    *result = SJobResult{};
    SConverters none;
    SJob job(dir, name, none, result);
    // What cannot be opened as a file has no job of ours.
    if (!OpenFolder(job, false))
        return true;
    if (!RemoveStaleFolderLockFile(dir, name)) {
        result->lockFileError = GetLastError();
        CopyText(result->lockFileLeft, dir.PathOf(name + ".lock").c_str());
        return false;
    }
    // Only where there is something to tidy is the lock taken, which costs a few writes.
    if (!OpenStateDirectory(job) || !HoldsFilesOfJob(job))
        return true;
    CloseIfOpen(job.folder);
    SJobFiles files;
    SJournal journal;
    // A record found now is a job's that began since: its own next run sees to it.
    if (OpenFolder(job, true))
        (void)FindRecord(job, true, &files, &journal);
    return true;
}
