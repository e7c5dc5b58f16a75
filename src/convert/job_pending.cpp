// Tells what the next job on a folder would find of an interrupted one, changing nothing.
#include "convert.h"
#include "job_internal.h"
#include "platform.h"

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
