// What the files of the job share and no caller sees: the job's state, its files and
// streams, and the steps that more than one entry point takes (convert.h holds the entry
// points themselves).  One job at a time, like the streams' buffers (folder_state.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "convert.h"
#include "folder_state.h"
#include "journal.h"
#include "platform.h"
#include "store_files.h"

// The streams (stream.cpp).

// Converts in to out with the job's stream buffers, then closes both, whatever happens;
// out null is an output that could not be opened.  Returns true on success; otherwise
// GetLastError() tells why, the first failure winning.
bool ConvertAndClose(FILE *in, FILE *out, StreamConverter convert);

// Files and the job's own (job_files.cpp).

// Puts both files at the given offsets.
bool SeekBoth(HANDLE from, std::uint64_t fromAt, HANDLE to, std::uint64_t toAt);

// Copies from, from offset fromAt to its end, over to from offset toAt, and cuts to there.
// On failure, toFailed tells whether to (rather than from) failed.
bool CopyContents(HANDLE from, std::uint64_t fromAt, HANDLE to, std::uint64_t toAt, bool &toFailed);

// Reads both files again from the given offsets and checks that to holds exactly what from
// holds: a system's copy may stop short and say it is done.  *sum takes in the bytes.  On
// failure, toFailed tells whether to (rather than from) failed, or differs
// (ERROR_COPY_NOT_WHOLE).
bool CheckCopy(HANDLE from, std::uint64_t fromAt, HANDLE to, std::uint64_t toAt, SChecksum *sum, bool &toFailed);

// Writes pieces to a file or a stream and sums them on a thread of its own, while the caller
// reads and converts the next: a pass over the folder then costs what the slower of the two
// halves costs, not both.  Each piece is copied into one of a few buffers of the job's
// streams' size, and Put waits only while all of them are taken.  Where no thread can be
// started, the pieces are written and summed as they come.  Nothing else may use the file,
// the stream or the sum until Finish, which flushes the stream.
class CWriteBehind {
public:
    CWriteBehind(HANDLE file, SChecksum *sum);
    CWriteBehind(FILE *stream, SChecksum *sum);
    CWriteBehind(const CWriteBehind &) = delete;
    CWriteBehind &operator=(const CWriteBehind &) = delete;
    ~CWriteBehind();

    // Has each piece read back from the file once it is written, the first at offset at, and
    // fail with ERROR_COPY_NOT_WHOLE where it differs: a system's copy may stop short and
    // say it is done.
    void ReadBack(std::uint64_t at);
    // Has what is written sent on its way to the disk as the writing goes on, file being the
    // one written and at the offset of the first piece in it: the flush that follows then
    // finds little left to write.
    void SendToDisk(HANDLE file, std::uint64_t at);
    // False once a write has failed, with its reason; nothing more is written then.
    bool Put(const char *data, std::size_t n);
    // Waits until all that was put is written, the stream flushed (where anything was put),
    // and all summed; false with the first failure's reason.
    bool Finish();

private:
    struct SState;
    SState *m_state;
};

// The conversion of a job's copy, made again as it is read, so that none of it is kept on
// the disk: a thread of its own converts the copy into a few buffers ahead of the reader.
// It is read in order from any offset (ReadConverted); reading before where the conversion
// stands starts it again from the copy's start.  The copy is opened anew by its path, so
// that the thread's reading does not move the position of the job's own handle, and must
// be the file of identity id.  The converters' state is the program's own: nothing else
// may convert while one lives.  Where the system has no streams over functions, Start fails
// with ERROR_NOT_SUPPORTED, and the caller converts into a scratch file instead.
class CConvertedBytes {
public:
    CConvertedBytes(StreamConverter convert, const char *path, const SFileIdentity &id);
    CConvertedBytes(const CConvertedBytes &) = delete;
    CConvertedBytes &operator=(const CConvertedBytes &) = delete;
    ~CConvertedBytes();

    // Starts the conversion from the copy's start, stopping one under way.
    bool Start();
    bool Read(std::uint64_t offset, char *buffer, DWORD size, DWORD *done);

private:
    struct SState;
    SState *m_state;
};

// The checksum of n bytes of file from offset at; a file that ends before is not whole.
bool ChecksumRange(HANDLE file, std::uint64_t at, std::uint64_t n, SChecksum *sum);

// Copies text into to, cut to fit.
template <std::size_t N>
void CopyText(char (&to)[N], const char *text)
{
    std::snprintf(to, N, "%s", text);
}

// Closes handle if it is open, keeping the last error.
void CloseIfOpen(HANDLE &handle);

// Deletes path, keeping the last error; a file that is not there is no failure.
void DeleteQuietly(const char *path);
// Deletes dir's entry name, keeping the last error.
void DeleteQuietly(const CHeldDirectory &dir, const std::string &name);

// The folder's lock file, held for as long as this lives.  One that cannot be deleted then
// is told in *result.
struct SFolderLockFile {
    const CHeldDirectory *dir = nullptr;
    std::string folder;  // the folder's name in dir
    bool taken = false;
    SJobResult *result = nullptr;

    SFolderLockFile() = default;
    SFolderLockFile(const SFolderLockFile &) = delete;
    SFolderLockFile &operator=(const SFolderLockFile &) = delete;
    ~SFolderLockFile()
    {
        if (taken) {
            DWORD error = GetLastError();
            if (!ReleaseFolderLockFile(*dir, folder) && result != nullptr) {
                result->lockFileError = GetLastError();
                CopyText(result->lockFileLeft, dir->PathOf(folder + ".lock").c_str());
            }
            SetLastError(error);
        }
    }
};

// One job on one folder: what its steps share.
struct SJob {
    const CHeldDirectory &dir;  // the folder's directory, through which all beside it is reached
    std::string name;           // the folder's name in it
    const SConverters &converters;
    SJobResult *result;
    HANDLE folder = INVALID_HANDLE_VALUE;
    SFileIdentity id = {};
    char resolved[PATH_SIZE] = "";  // the folder's path, its directory's links followed
    char stateDir[PATH_SIZE] = "";
    SFolderLockFile lockFile;

    const SFileIdentity *expected = nullptr;  // the very file the folder must be, where given

    SJob(const CHeldDirectory &folderDir, std::string folderName, const SConverters &jobConverters,
         SJobResult *jobResult)
        : dir(folderDir), name(std::move(folderName)), converters(jobConverters), result(jobResult)
    {
    }
    SJob(const SJob &) = delete;
    SJob &operator=(const SJob &) = delete;
    ~SJob() { CloseIfOpen(folder); }
};

// Step 1: opens the folder, held against other writers where lock is true, takes its lock
// file, and learns its identity.
bool OpenFolder(SJob &job, bool lock);

// Step 2's first half: the state directory, made where it is missing (with make).
bool OpenStateDirectory(SJob &job, bool make = true);

// Whether path names the open folder, compared as files.
bool NamesFolder(const SJob &job, const char *path);

// Creates path anew for the job, deleting what an earlier stopped job left there.
HANDLE CreateJobFile(const char *path);

// The folder's summary files, which its mail program makes again once they are gone: the
// rewritten folder's are deleted through its directory, and told in the job's result.
void DeleteSummaryFiles(SJob &job);

// The trace of a job beside its folder: the folder's path with ".quorvel" added, holding the
// path of the job's record and a line end.  It is there from when the record is on the disk
// until the folder is whole again, so that a run that cannot find the record (another
// state directory, a copy of the folder's directory) still sees that the folder was left
// half-written.  MarkFolder puts it on the disk; false when it cannot be made, written or
// flushed (none is left then).
// UnmarkFolder deletes it; false when it stays.
bool MarkFolder(const SJob &job, const char *record);
bool UnmarkFolder(const SJob &job);
// Deletes the trace beside the folder at path where it names record, as a folder moved
// away leaves it; false when one that names it stays.
bool UnmarkPath(const char *path, const char *record);
// Whether the folder has a trace beside it; if so, its path and the record's it names are
// put into the job's result (trace, keptRecord).
bool FindTrace(SJob &job);

// Deletes a job's record, then, once that is on the disk, its other files.  A record that
// stays is told, as is a copy: either is of no more use, and a record left would have the
// next job check the folder once more.  The old file of an undo stays where keepOld.
void EndJournal(SJob &job, const SJobFiles &files, HANDLE record, bool keepOld);

// Fails the job with the reason left by the last call.
bool Fail(SJob &job);

// The search for the first change (job_search.cpp).

// The start of the line where ConvertStream first changes a byte of folder: the line of the
// first designator, or of the first line end that the platform writes otherwise (a CR LF
// where its line end is LF, a bare LF where it is CR LF); the folder's length when it
// changes nothing.  Up to there the decoder only copies, and it stands at a line's start
// as at the file's, so that the conversion may start there.  *front gets the checksum of
// what comes before it, taken as the folder is read.  False when reading fails.
bool FindFirstChange(HANDLE folder, std::uint64_t *lineStart, SChecksum *front);

// Where a conversion that reads mail structure (one mail's labels follow its own bytes)
// may start on the job's folder, and the checksum of what comes before: at the first mail
// that convert changes.  The search stops at what the plain conversion changes (as
// FindFirstChange does) and at what may be a label or encoded word naming ISO-2022-KR; a
// mail starts at a "From " line at the folder's start or after an empty line, so that what
// comes before it is whole mails, which the conversion does not change.  Where the mail
// that holds such a byte may come out the same (a name in its text, a part that is not
// text), it is converted apart into a scratch file of the job and compared: if it comes out
// the same, the search goes on at the next mail.  A folder that does not start with a mail
// is one piece: it starts at 0 when it changes.  The start is the folder's length when
// nothing changes.  The folder is read once, each read looked at for a change first and
// then from its end back for the last mail that starts in it.  False when reading, or a
// conversion apart, fails (the result then says whether the state directory is to blame).
bool FindFirstMailChange(SJob &job, StreamConverter convert, std::uint64_t *mailStart, SChecksum *front);

// Whether the folder, whose conversion starts at start, looks half written by a conversion
// that was stopped, seen from its bytes alone: ISO-2022-KR text whose designator is gone
// (an SO shifting a character in, soon after start and before any designator there),
// after text already converted (a byte of 8 bits before it).  The front is read only where
// such an SO is found.  False also when reading fails.
bool LooksHalfWritten(HANDLE folder, std::uint64_t start);

// Records of interrupted jobs, and their completion (job_recover.cpp).

enum ERecord { RECORD_NONE, RECORD_FOUND, RECORD_REFUSED };

// Fails the job for an interrupted one that is not to be guessed at, keeping its files for
// the user.
ERecord Refuse(SJob &job, const SJobFiles &files, const SJournal *journal, DWORD reason);

// Step 2's second half: the record of an interrupted job on the folder, found by the
// folder's identity or by the path it gives.  Records that are not this user's are passed
// over, as are those of other folders.  With tidy, the files of an earlier job on the
// folder that never wrote a whole record are deleted.
ERecord FindRecord(SJob &job, bool tidy, SJobFiles *files, SJournal *journal);

// Whether the state directory holds a file of a job on the folder, a record or another
// (not an old file, which is the user's).
bool HoldsFilesOfJob(const SJob &job);

// The files an interrupted job's completion reads and writes, and the conversion of its
// copy: made again as it is read, or, where the system cannot, in the scratch file.
struct SOpenJobFiles {
    HANDLE copy = INVALID_HANDLE_VALUE;
    HANDLE added = INVALID_HANDLE_VALUE;
    HANDLE old = INVALID_HANDLE_VALUE;
    HANDLE scratch = INVALID_HANDLE_VALUE;
    std::unique_ptr<CConvertedBytes> converted;

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
bool OpenRecordedFiles(const SJobFiles &files, const SJournal &journal, SOpenJobFiles &open);

// The bytes an interrupted job was replacing (from) and writing (to), the conversion of the
// copy checked first against the record where it was converting.
bool ReadRecordedBytes(const SConverters &converters, const SJobFiles &files, const SJournal &journal, SOpenJobFiles &open, SBytes *from,
                       SBytes *to);

// Appends n bytes of folder from offset at to file, which holds length bytes of the job's
// already, and adds them to *sum (which holds those).
bool AppendTo(HANDLE &file, const char *path, std::uint64_t length, HANDLE folder, std::uint64_t at,
              std::uint64_t n, SChecksum *sum);

// Keeps the mail appended to the folder since the job was interrupted (n bytes of it from
// offset at): in the job's added file, and for an undo in its old file too, then in the
// record, so that no rewrite can lose it.
bool KeepAppendedMail(const SJob &job, const SJobFiles &files, SJournal &journal, SOpenJobFiles &open,
                      std::uint64_t at, std::uint64_t n);

// Tells the user where the folder is not what the job can have left.
void TellWhereItDiffers(const SJob &job, std::uint64_t offset);

// Checks the folder against the interrupted job's record, byte for byte: its front as it
// was, then what the job can have left, then mail appended since.  *appended is then where
// that mail begins in the folder.  False with the reason when it is not, or reading fails.
bool CheckFolder(const SJob &job, const SJournal &journal, const SBytes &from, const SBytes &to,
                 std::uint64_t *appended, std::uint64_t *size);

enum EComplete { COMPLETE_CHECK_ONLY, COMPLETE_WRITE };

// Completes the interrupted job of the record, whose files are checked first: the folder
// then holds what that job would have written (or, for an undo, what it puts back), with
// the mail appended since after it, on the disk.  With COMPLETE_CHECK_ONLY it only tells
// whether it can.  False with the reason when it cannot; nothing has been written then.
bool CompleteInterruptedJob(SJob &job, const SJobFiles &files, SJournal &journal, EComplete mode);

// Step 2, whole: completes an interrupted job on the folder, if there is one.  True when
// there was none, or it is completed and the folder closed; false when the job must fail.
enum EInterrupted { INTERRUPTED_NONE, INTERRUPTED_COMPLETED, INTERRUPTED_FAILED };
EInterrupted CompleteAnyInterruptedJob(SJob &job);
