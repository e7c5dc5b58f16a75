// Records of interrupted jobs: found, checked against the folder byte for byte, and
// completed, with the mail appended since kept.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "job_internal.h"
#include "platform.h"
#include "store_files.h"

namespace {

// The names of one kind of file in the state directory.
void CollectName(const char *name, void *context)
{
    static_cast<std::vector<std::string> *>(context)->emplace_back(name);
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

// Whether the file at path is the one of identity id.
bool FileAt(const char *path, const SFileIdentity &id)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    SFileIdentity now;
    bool same = GetFileIdentity(file, &now) && SameFile(now, id);
    CloseHandle(file);
    return same;
}

// Whether the folder may hold what the stopped job of the record, whose own folder is no
// longer where it was, left in its folder: the folder moved to another file system or
// copied alone since.  Its front is the record's, and the copy's last bytes stand where the
// copy puts them, which a rewrite stopped short of them leaves as they were.
bool MayHoldFolderOf(const SJob &job, const SJobFiles &files, const SJournal &journal)
{
    const std::uint64_t TAIL = 16;
    if (journal.version < 3 || journal.direction != DIRECTION_FORWARD || journal.length < TAIL ||
        job.id.size < journal.start + journal.length || FileAt(journal.folder, journal.id))
        return false;
    SChecksum front;
    if (!ChecksumRange(job.folder, 0, journal.start, &front) || front.Value() != journal.frontChecksum)
        return false;
    HANDLE copy = CreateFileA(files.copy, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (copy == INVALID_HANDLE_VALUE)
        return false;
    char ours[TAIL], theirs[TAIL];
    DWORD n = 0, m = 0;
    bool same = Seek(copy, journal.length - TAIL) && ReadFully(copy, ours, TAIL, &n) && n == TAIL &&
                Seek(job.folder, journal.start + journal.length - TAIL) && ReadFully(job.folder, theirs, TAIL, &m) &&
                m == TAIL && std::memcmp(ours, theirs, TAIL) == 0;
    CloseHandle(copy);
    return same;
}

}  // namespace

ERecord Refuse(SJob &job, const SJobFiles &files, const SJournal *journal, DWORD reason)
{
    CopyText(job.result->keptCopy, files.copy);
    CopyText(job.result->keptRecord, files.record);
    job.result->keptFrom = journal != nullptr ? journal->start : 0;
    SetLastError(reason);
    return RECORD_REFUSED;
}

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
            if (SameFile(journal->id, job.id) || NamesFolder(job, journal->folder))
                return RECORD_FOUND;
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
    // None by where the folder lies: one by what it holds, of a folder moved or copied since.
    for (const std::string &name : names) {
        std::string path = job.stateDir + name;
        if (JobFilesOfRecord(path.c_str(), files) && ReadJournal(files->record, journal) == JOURNAL_FOUND &&
            MayHoldFolderOf(job, *files, *journal)) {
            // Whether it does, byte for byte: a folder that does not is another's, and is
            // told nothing of this record.
            SJobResult *result = job.result;
            SJobResult checked{};
            job.result = &checked;
            bool held = CompleteInterruptedJob(job, *files, *journal, COMPLETE_CHECK_ONLY);
            job.result = result;
            if (held)
                return RECORD_FOUND;
        }
    }
    // No record here, and yet one was written for a job on this folder that never ended.
    if (FindTrace(job)) {
        SetLastError(ERROR_INTERRUPTED_RECORD_ELSEWHERE);
        return RECORD_REFUSED;
    }
    if (tidy) {
        // What a job stopped before its record, or after it deleted it, leaves: its copy, a
        // scratch file, mail kept for a record that never took it.  Never an old file, which
        // is the user's; but one beside a copy is of an undo stopped at its end, which had
        // no time to tell it, and is told now.
        for (const char *kind : {".TMP", ".CHK", ".ADD", ".JNW"}) {
            std::vector<std::string> left;
            if (!ListDirectory(job.stateDir, kind, CollectName, &left))
                continue;
            for (const std::string &name : left) {
                if (name.compare(0, prefixLength, prefix) != 0)
                    continue;
                std::string path = job.stateDir + name;
                SJobFiles stopped;
                if (std::strcmp(kind, ".TMP") == 0 && job.result->strayCopy[0] == '\0')
                    CopyText(job.result->strayCopy, path.c_str());
                if (std::strcmp(kind, ".TMP") == 0 &&
                    JobFilesOfRecord((path.substr(0, path.size() - 4) + ".JNL").c_str(), &stopped)) {
                    HANDLE old = CreateFileA(stopped.old, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr);
                    if (old != INVALID_HANDLE_VALUE) {
                        CloseHandle(old);
                        CopyText(job.result->strayOld, stopped.old);
                    }
                }
                DeleteQuietly(path.c_str());
            }
        }
    }
    return RECORD_NONE;
}

bool HoldsFilesOfJob(const SJob &job)
{
    char prefix[PATH_SIZE];
    if (!MakeJobBase(job.id, 0, false, prefix, sizeof prefix))
        return false;
    std::size_t prefixLength = std::strlen(prefix);
    for (const char *kind : {".JNL", ".TMP", ".CHK", ".ADD", ".JNW"}) {
        std::vector<std::string> names;
        if (ListDirectory(job.stateDir, kind, CollectName, &names) &&
            std::any_of(names.begin(), names.end(),
                        [&](const std::string &name) { return name.compare(0, prefixLength, prefix) == 0; }))
            return true;
    }
    return false;
}

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
        // An undo deletes its old file just before its record, once the folder is put back
        // (EndJournal): without it, the folder must be as the undo leaves it.
        if (open.old == INVALID_HANDLE_VALUE &&
            !(journal.direction == DIRECTION_UNDO && GetLastError() == ERROR_INTERRUPTED_COPY_MISSING))
            return false;
    }
    return true;
}

bool ReadRecordedBytes(const SConverters &converters, const SJobFiles &files, const SJournal &journal, SOpenJobFiles &open, SBytes *from,
                       SBytes *to)
{
    *from = SBytes();
    *to = SBytes();
    if (journal.direction != DIRECTION_FORWARD) {
        if (open.old != INVALID_HANDLE_VALUE) {
            from->Add(open.old, 0, journal.oldLength);
        } else {
            from->Add(open.copy, 0, journal.length);
            from->Add(open.added, 0, journal.added);
        }
        to->Add(open.copy, 0, journal.length);
        to->Add(open.added, 0, journal.added);
        return true;
    }
    StreamConverter convert = converters.Named(journal.converter);
    if (convert == nullptr) {
        SetLastError(ERROR_INTERRUPTED_OTHER_CONVERSION);
        return false;
    }
    if (open.converted == nullptr && open.scratch == INVALID_HANDLE_VALUE) {
        // Made again as it is read where the system can, so that none of it is written;
        // otherwise into the scratch file.
        SFileIdentity copyId;
        if (!GetFileIdentity(open.copy, &copyId))
            return false;
        auto converted = std::make_unique<CConvertedBytes>(convert, files.copy, copyId);
        SChecksum sum;
        if (converted->Start()) {
            for (;;) {
                DWORD got = 0;
                if (!converted->Read(sum.total, g_inBuffer, STREAM_BUFFER_SIZE, &got))
                    return false;
                if (got == 0)
                    break;
                sum.Add(g_inBuffer, got);
                // No more than the record says: another build's conversion is not read on.
                if (sum.total > journal.converted)
                    break;
            }
        } else {
            if (GetLastError() != ERROR_NOT_SUPPORTED)
                return false;
            converted.reset();
            open.scratch = CreateJobFile(files.scratch);
            SFileIdentity scratchId;
            if (open.scratch == INVALID_HANDLE_VALUE || !SeekBoth(open.copy, 0, open.scratch, 0) ||
                !ConvertAndClose(OpenHandleStream(open.copy, "rb"), OpenHandleStream(open.scratch, "wb"), convert) ||
                !GetFileIdentity(open.scratch, &scratchId) || !ChecksumRange(open.scratch, 0, scratchId.size, &sum))
                return false;
        }
        // What the job wrote, as its record says: a conversion that now gives other bytes
        // (another build's) would have the folder's bytes judged against the wrong ones.
        if (sum.total != journal.converted || sum.Value() != journal.convertedChecksum) {
            SetLastError(ERROR_INTERRUPTED_OTHER_CONVERSION);
            return false;
        }
        open.converted = std::move(converted);
    }
    if (open.converted != nullptr)
        to->Add(open.converted.get(), journal.converted);
    else
        to->Add(open.scratch, 0, journal.converted);
    from->Add(open.copy, 0, journal.length);
    from->Add(open.added, 0, journal.added);
    to->Add(open.added, 0, journal.added);
    return true;
}

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

bool KeepAppendedMail(const SJob &job, const SJobFiles &files, SJournal &journal, SOpenJobFiles &open,
                      std::uint64_t at, std::uint64_t n)
{
    SChecksum added;
    if (!AppendTo(open.added, files.added, journal.added, job.folder, at, n, &added))
        return false;
    journal.added += n;
    journal.addedChecksum = added.Value();
    if (journal.direction != DIRECTION_FORWARD && open.old != INVALID_HANDLE_VALUE) {
        SChecksum old;
        if (!AppendTo(open.old, files.old, journal.oldLength, job.folder, at, n, &old))
            return false;
        journal.oldLength += n;
        journal.oldChecksum = old.Value();
    }
    return FlushDirectory(job.stateDir) && ReplaceJournal(files, job.stateDir, journal);
}

namespace {

// Where the interrupted job's bytes now begin in a folder whose front has changed: the first
// place, at one of the first bytes the job wrote or replaced, from which the folder is as
// the job can have left it.  False where there is none, or reading fails.
bool FindShiftedStart(const SJob &job, const SJournal &journal, const SBytes &from, const SBytes &to,
                      std::uint64_t zeroFrom, std::uint64_t size, std::uint64_t *found)
{
    const std::size_t PROBE = 16;
    const std::size_t MOST_CHECKED = 32;
    std::string probes[2];
    for (int i = 0; i < 2; ++i) {
        const SBytes &bytes = i == 0 ? to : from;
        if (bytes.count == 0)
            continue;
        char head[PROBE];
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(PROBE, bytes.runs[0].length));
        if (!ReadBytes(bytes, 0, head, want, &got))
            return false;
        probes[i].assign(head, got);
    }
    // The places that begin as the job's bytes do, the nearest to the recorded start first:
    // a mail deleted or added before moves them by its length.
    std::vector<char> piece(STREAM_BUFFER_SIZE + PROBE);
    std::vector<std::uint64_t> places;
    for (std::uint64_t at = 0; at < size;) {
        DWORD got = 0;
        if (!Seek(job.folder, at) || !ReadFully(job.folder, piece.data(), static_cast<DWORD>(piece.size()), &got))
            return false;
        // The last PROBE bytes of a piece are looked at with the next, unless it is the last.
        std::uint64_t next = at + (got == piece.size() ? got - PROBE : got);
        for (std::uint64_t p = at; p < next; ++p) {
            const char *here = piece.data() + (p - at);
            std::size_t left = got - static_cast<std::size_t>(p - at);
            for (const std::string &probe : probes) {
                if (!probe.empty() && probe.size() <= left && std::memcmp(here, probe.data(), probe.size()) == 0) {
                    places.push_back(p);
                    break;
                }
            }
        }
        if (got < piece.size())
            break;
        at = next;
    }
    auto distance = [&](std::uint64_t p) { return p > journal.start ? p - journal.start : journal.start - p; };
    std::stable_sort(places.begin(), places.end(),
                     [&](std::uint64_t a, std::uint64_t b) { return distance(a) < distance(b); });
    for (std::size_t i = 0; i < places.size() && i < MOST_CHECKED; ++i) {
        SFolderState state;
        if (!ReadFolderState(job.folder, places[i], size, from, to, zeroFrom, &state))
            return false;
        if (state.asLeft) {
            *found = places[i];
            return true;
        }
    }
    return false;
}

}  // namespace

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
        // NULs of the folder made longer may stand where the job's bytes come after what it
        // replaced: past the copy's end, or past the old file's as the undo began.
        std::uint64_t zeroFrom = from.Length() - std::min(from.Length(), journal.added);
        if (!undo && front.Value() != journal.frontChecksum) {
            // Somewhere in what the job never wrote: the checksum does not say where.  Where
            // a mail was deleted or added there, the job's bytes have moved with the rest.
            job.result->differs = true;
            job.result->differsBefore = true;
            job.result->differsAt = journal.start;
            job.result->frontFound = FindShiftedStart(job, journal, from, to, zeroFrom, now.size, &job.result->frontNow);
            SetLastError(ERROR_INTERRUPTED_FRONT_CHANGED);
            return false;
        }
        if (!ReadFolderState(job.folder, journal.start, now.size, from, to, zeroFrom, &state))
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

bool CompleteInterruptedJob(SJob &job, const SJobFiles &files, SJournal &journal, EComplete mode)
{
    SOpenJobFiles open;
    SBytes from, to;
    std::uint64_t appended = 0, size = 0;
    bool ok = OpenRecordedFiles(files, journal, open) && ReadRecordedBytes(job.converters, files, journal, open, &from, &to) &&
              CheckFolder(job, journal, from, to, &appended, &size);
    // An undo's old file is missing, and the folder is not put back: it is missing indeed.
    if (!ok && journal.direction == DIRECTION_UNDO && open.copy != INVALID_HANDLE_VALUE &&
        open.old == INVALID_HANDLE_VALUE && job.result->differs)
        SetLastError(ERROR_INTERRUPTED_COPY_MISSING);
    if (ok)
        job.result->appendedKept = size - appended;
    if (ok && mode == COMPLETE_WRITE) {
        if (appended < size) {
            ok = KeepAppendedMail(job, files, journal, open, appended, size - appended) &&
                 ReadRecordedBytes(job.converters, files, journal, open, &from, &to);
        }
        ok = ok && WriteBytesOver(job.folder, journal.start, to);
    }
    DWORD error = GetLastError();
    CloseIfOpen(open.scratch);
    DeleteQuietly(files.scratch);
    SetLastError(error);
    return ok;
}

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
    // A folder moved since the stop: the trace left where it was goes before the record.
    if (std::strcmp(journal.folder, job.resolved) != 0)
        (void)UnmarkPath(journal.folder, files.record);
    // The folder changed: its summaries go before the record (see ConvertFolder).
    DeleteSummaryFiles(job);
    // A record that stayed would have the folder checked and written again and again: the
    // run ends here, naming it.  A lock file the interrupted job left at the folder's path
    // goes too.
    EndJournal(job, files, INVALID_HANDLE_VALUE, journal.direction == DIRECTION_UNDO_KEEP);
    if (std::strcmp(job.result->leftBehind, files.record) == 0) {
        job.result->completedInterrupted = true;
        job.result->rewritten = true;
        SetLastError(ERROR_INTERRUPTED_RECORD_STAYS);
        return INTERRUPTED_FAILED;
    }
    if (journal.direction == DIRECTION_UNDO_KEEP)
        CopyText(job.result->keptOld, files.old);
    // Where the folder was elsewhere then (moved since), a stale lock file of ours there.
    if (std::strcmp(journal.folder, job.resolved) != 0) {
        std::unique_ptr<CHeldDirectory> then = CHeldDirectory::Open(DirectoryOf(journal.folder));
        if (then != nullptr)
            (void)RemoveStaleFolderLockFile(*then, BaseNameOf(journal.folder));
    }
    job.result->completedInterrupted = true;
    return INTERRUPTED_COMPLETED;
}
