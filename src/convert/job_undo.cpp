// Puts a folder back as it was before an interrupted job began.
#include <cstring>

#include "convert.h"
#include "job_internal.h"
#include "platform.h"

bool UndoInterruptedJob(const CHeldDirectory &dir, const std::string &name, const SConverters &converters,
                        SJobResult *result)
{
    *result = SJobResult{};
    SJob job(dir, name, converters, result);
    SJobFiles files;
    SJournal journal;
    if (!OpenFolder(job, true) || !OpenStateDirectory(job))
        return Fail(job);
    // Under the folder's lock, the files of a job stopped before its record, or after it
    // deleted it, can go, as the next conversion would delete them.
    switch (FindRecord(job, true, &files, &journal)) {
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
        bool asLeft = ReadRecordedBytes(job.converters, files, journal, open, &from, &to) &&
                      CheckFolder(job, journal, from, to, &appended, &size);
        job.result = result;
        DWORD error = GetLastError();
        CloseIfOpen(open.scratch);
        DeleteQuietly(files.scratch);
        // A read or write that failed on the way tells nothing of the folder: the undo fails,
        // changing nothing, rather than taking the folder for one changed since.
        if (!asLeft && !checked.differs) {
            Refuse(job, files, &journal, error);
            return Fail(job);
        }
        if (checked.differsBefore) {
            // The copy goes back only after the front the record vouches for: written after
            // another, it would run on from wherever that ends, into or out of a mail.
            result->differs = true;
            result->differsBefore = true;
            result->differsAt = checked.differsAt;
            result->frontFound = checked.frontFound;
            result->frontNow = checked.frontNow;
            Refuse(job, files, &journal, ERROR_INTERRUPTED_FRONT_CHANGED);
            return Fail(job);
        }
        bool ok = !asLeft || appended == size ||
                  KeepAppendedMail(job, files, journal, open, appended, size - appended);
        std::uint64_t start = journal.start;
        SChecksum old;
        CloseIfOpen(open.old);
        open.old = ok ? CreateJobFile(files.old) : INVALID_HANDLE_VALUE;
        ok = ok && open.old != INVALID_HANDLE_VALUE &&
             AppendTo(open.old, files.old, 0, job.folder, start, now.size - start, &old);
        if (!ok && open.old != INVALID_HANDLE_VALUE) {
            // No record names it yet: a part of it is of no use to anyone.
            CloseIfOpen(open.old);
            DeleteQuietly(files.old);
        }
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
    // A folder moved since the stop: the trace left where it was goes before the record.
    if (std::strcmp(journal.folder, job.resolved) != 0)
        (void)UnmarkPath(journal.folder, files.record);
    EndJournal(job, files, INVALID_HANDLE_VALUE, keepOld);
    if (keepOld)
        CopyText(result->keptOld, files.old);
    result->keptFrom = journal.start;
    return true;
}
