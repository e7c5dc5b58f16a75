// The conversion core: ISO-2022-KR (RFC 1557) mail folder text to EUC-KR, in place.
//
// Plain procedural code over C streams.  The state below is module-wide and serves one
// conversion at a time; ResetDecoder starts each file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <string>

#include "platform.h"
#include "store_files.h"

// One piece of the folder as read from the file: g_cbLine data bytes, followed by a NUL.
// Any byte value may occur in the data, NUL included, so g_cbLine, not the NUL, ends it.
extern char g_szLine[4096];
extern int g_cbLine;

// The decoder's two streams; open only inside ConvertStream (or a test standing in for it).
extern FILE *g_fpIn;
extern FILE *g_fpOut;

// 1 once the designator ESC $ ) C has been met in the current file.  Reset per file.
extern int g_bDesignatorSeen;

// Puts the decoder into its start-of-file state: no designator seen, shift state off,
// nothing held back.  Call before the first piece of every file.
void ResetDecoder();

// Decodes the piece in g_szLine and writes the result to g_fpOut.  The decoder keeps its
// state from one piece to the next (shift state, a designator or CR LF split between two
// pieces, a designator line held until the next line's first bytes), so where a piece ends
// does not change the output.  A line end in the input, CR LF or a bare LF, is written as
// the platform's own line end.  Write errors are left in
// g_fpOut's error indicator for the caller to check.
void ConvertLine();

// Writes what the decoder held back at the end of the file: a trailing CR, the start of a
// designator that the file did not finish, or the start of a line after a designator line.
// Call once after the last piece.
void ConvertFileEnd();

// Decodes the whole text in[0, n) as a file of its own would be decoded (from the start-of-
// file state, what it holds back at its end written out) into out, which has room for
// L * n + 4 bytes, L the size of the platform's line end (PLATFORM_LINE_END, so n + 4 where
// it is LF alone), and returns the number of bytes written; the rest of that room may have
// been written over too.  For texts that are decoded apart from the folder's stream, such as
// a mail part in base64; the state of a file being converted meanwhile is left as it was.
std::size_t ConvertBuffer(const char *in, std::size_t n, char *out);

// Whether the lines of a text decoded apart are the folder's, where a "From " line can start
// a mail: there a line that is only the designator stays before one, and so does the last
// designator, or SI (with the SO just before it), of those that begin a line before "From ".
enum EApartLines {
    APART_FOLDER_LINES,  // a header, a body as it stands, the text before the first mail
    APART_MAIL_LINES,    // the same in a mail relabelled, where the designator would stand
                         // under an EUC-KR label: before a "From " line, a line that is only
                         // the designator keeps only its line end, and the "From " line is
                         // written ">From ", as mbox writers quote one
    APART_ONE_MAIL_LINES,  // the same in a file of one mail, relabelled: the line keeps only
                           // its line end, and the "From " line stays as it is
    APART_NOT_LINES      // content encoded again (base64, quoted-printable), an encoded word
};

// What the decoder remembers between bytes, beyond the designator flag.  All of it is reset
// per file by ResetDecoder; shiftMask, lineStart and designatorLine also at every line end.
struct SDecoderState {
    unsigned char shiftMask;  // HIGH_BIT between SO and SI, else 0.  Off at each line start.
    bool lineStart;           // nothing of the current line has been decoded yet
    bool designatorLine;      // the current line so far is one designator: its line end goes too
    int designatorMatched;    // leading bytes of a designator seen so far, 0 to 3; -1 while
                              // a line that was only the designator is held back, until the
                              // next line shows whether it starts "From "
    bool pendingCR;           // the last byte was CR; the next tells whether it ends the line
    int fromMatched;          // while a designator line, or a line start kept, is held:
                              // leading bytes of "From " seen since, 0 to 4
    unsigned char keptStart;  // in the folder's lines, while the line so far is only bytes
                              // that go in decoding (designators, SO and SI): what of them
                              // stays should "From " follow unshifted (a KEPT_... of
                              // decode.cpp), else 0.  0 again at each line end
    unsigned char lines;      // the text's EApartLines: what becomes of a line that is only
                              // the designator before a "From " line; set per text
};

// A text decoded apart from the folder's stream, as ConvertBuffer decodes one, but given in
// pieces (a mail part read line by line): where the pieces end does not change the output.
struct SApartDecoder {
    SDecoderState state;
    int designatorSeen;  // this text's own designator flag
};

// An SApartDecoder at the start of a text, its designator flag given (a mail part's body
// goes on with its header's), and whether its lines are the folder's.
SApartDecoder StartApart(int designatorSeen, EApartLines lines);
// The room that decoding the next n bytes of a text needs: the platform's line end for every
// byte, and what the decoder held back from the pieces before (a designator line, its line
// end and the "From" after it, at most).
std::size_t ApartRoom(std::size_t n);
// Decodes the next piece in[0, n) into out, which has room for ApartRoom(n) bytes, and
// returns the number of bytes written.  The folder's state is left as it was.
std::size_t DecodeApartPiece(SApartDecoder &decoder, const char *in, std::size_t n, char *out);
// Writes what the decoder held back at the text's end into out (room for 4 bytes, or what
// the last piece left of its ApartRoom) and returns the number of bytes written.
std::size_t EndApart(SApartDecoder &decoder, char *out);

// Chooses how ConvertLine and ConvertBuffer decode the text between escapes and line ends:
// fast, with a vectorised decoder where the processor has one (the default), or plain, with
// the table-driven one that the rules are written in.  Both give the same bytes for every
// input.  Returns true when a vectorised decoder is now in use.  For tests and benchmarks,
// which compare the two; call it between files, not during one.
bool UseFastDecoder(bool fast);

// Decodes all of in and writes it to out, from the current positions, then flushes out.
// Returns 1 on success; 0 when reading in or writing or flushing out fails.  Neither stream
// is closed.  Uses g_fpIn and g_fpOut for the length of the call.
int ConvertStream(FILE *in, FILE *out);

// Has hook(in, bytesRead, context) called by ConvertStream after each read of its input,
// bytesRead the bytes that call has read of in so far, so that a front end can show how far
// a long conversion has come.  The hook must leave both streams alone.  Null, the default,
// calls nothing.  One hook for the whole program, kept until it is set again.
typedef void (*ProgressHook)(FILE *in, std::uint64_t bytesRead, void *context);
void SetProgressHook(ProgressHook hook, void *context);

// What rewrites a folder: ConvertStream, or a caller's own that decodes the same way and
// may do more, with the same contract.
typedef int (*StreamConverter)(FILE *in, FILE *out);

// Runs convert(in, out), a failure to allocate memory (which a converter that holds a mail
// in memory may meet) returned as a failure like any other: 0, ERROR_NOT_ENOUGH_MEMORY.
int ConvertGuarded(StreamConverter convert, FILE *in, FILE *out);

// A conversion a job runs, and its kind: the name its record gives it, so that a job
// stopped in it is completed the same way by any of our programs that knows the kind.
struct SConversion {
    const char *kind;  // at most 31 bytes
    StreamConverter convert;
};
// ConvertStream, the decoding of the whole folder as one text: kind "plain".
extern const SConversion PLAIN_CONVERSION;

// What a job converts with (use), and the other conversions it knows by their kinds, to
// complete a job stopped in one of them: plain is always known.  A record whose kind is
// none of these is refused, changing nothing.  The caller owns the list.
struct SConverters {
    SConversion use = PLAIN_CONVERSION;
    const SConversion *others = nullptr;
    std::size_t otherCount = 0;

    // The converter of kind: use's, one of the others', or plain; null where none is.
    StreamConverter Named(const char *kind) const;
};

// Decodes the file source into the new file target, as the job would decode it in place.
// Returns 1 on success; 0 when either file cannot be opened (target is then unchanged), or
// when reading source or writing, flushing or closing target fails (target is then
// incomplete).  Both streams are closed on return.
int DecodeFileTo(const char *source, const char *target);

// What a job tells its caller besides whether it succeeded.
struct SJobResult {
    // Success: an interrupted job was completed first (its rewrite, or its undo), and how
    // many bytes of mail appended to the folder since were kept (and converted).
    bool completedInterrupted;
    std::uint64_t appendedKept;
    // Success: a file of the job that could not be deleted (the folder is converted, and
    // it is of no more use), and why; otherwise "".
    char leftBehind[PATH_SIZE];
    DWORD leftBehindError;
    // Failure: the state directory, where the failure was its own (it cannot be made, is not
    // private, cannot be written to, or holds no copy for want of space); stateDirectory is
    // then its name, or "" where even that could not be had.
    bool stateDirectoryAtFault;
    char stateDirectory[sizeof leftBehind];
    // Failure: the folder may be damaged, or an interrupted job could not be completed; the
    // copy holds the folder's original bytes from byte keptFrom on (those before it are the
    // folder's own), with the record that goes with it.  quorvel-convert --undo puts it back.
    char keptCopy[sizeof leftBehind];
    char keptRecord[sizeof leftBehind];
    std::uint64_t keptFrom;
    // Failure with ERROR_INTERRUPTED_FOLDER_CHANGED: where the folder is neither what the
    // interrupted job wrote nor what it was replacing, and the mail that holds that byte
    // (its From line, Date: and Subject:, "" where not found).
    bool differs;
    bool differsBefore;  // somewhere before differsAt, in what the job never wrote
    // Where differsBefore: whether the job's bytes were found further on or back (a mail
    // deleted or added before them), and the byte where they now begin.
    bool frontFound;
    std::uint64_t frontNow;
    std::uint64_t differsAt;
    char mailFrom[160];
    char mailDate[160];
    char mailSubject[160];
    // An undo: where the folder's bytes from keptFrom on, as they stood before it, are kept
    // (they held what no undo can tell apart: an edit, or another file); otherwise "".
    char keptOld[sizeof leftBehind];
    // Either way: the folder's lock file (its path), which could not be deleted at the end,
    // and why; otherwise "".  Mail programs that take it keep out of the folder while it stays.
    char lockFileLeft[sizeof leftBehind];
    DWORD lockFileError;
    // Either way: the old file of an undo that was stopped after it had put the folder back
    // (its record gone), which it had no time to tell: what the folder held from the job's
    // start before that undo.  Kept for the user; otherwise "".
    char strayOld[sizeof leftBehind];
    // Failure with ERROR_INTERRUPTED_RECORD_ELSEWHERE: the trace beside the folder that says a
    // job on it was interrupted (its record's path then in keptRecord).
    char trace[sizeof leftBehind];
    // Success: the folder's bytes changed (converted, or an interrupted job completed), so
    // that the summaries mail programs keep of it no longer hold.
    bool rewritten;
    // Where rewritten: the summary files beside the folder that were deleted (FILE.snm,
    // FILE.msf), and the first that stays though it could not be deleted, and why.
    int summariesDeleted;
    char summaryLeft[sizeof leftBehind];
    DWORD summaryError;
};

// Converts the mail folder file name of the held directory dir in place, through a copy of
// what changes in it, then deletes the copy and the summary files beside it (FILE.snm,
// FILE.msf).  Everything the job makes or deletes beside the folder (its lock file, its
// trace, the summaries) is reached through dir, and the folder is opened there never
// through a link: a directory on the way swapped for a link meanwhile leads nowhere else.  The copy and the job's
// record beside it live in the user's state directory (GetStateDirectory), named after the
// folder's identity and a number of their own; the record names the folder's path too, so
// that the next job on the folder finds it by either.  The steps, and what is on the disk
// should the machine stop after each:
//   1. Open the folder, once for the whole job, sharing it with readers only: no other
//      program writes to it until the job ends, and a folder that another program is
//      writing to fails the job here (ERROR_SHARING_VIOLATION).  Anything but a regular
//      file fails it too (ERROR_NOT_A_FILE).  Take its lock file.  Nothing has changed.
//   2. Find the state directory and, in it, a record of an interrupted job on this folder.
//      Complete that job from its copy, once the folder is checked byte for byte to be
//      what that job can have left (its untouched front, the conversion's first bytes, the
//      copy's rest), with any mail appended since kept after it; or, for an undo that was
//      interrupted, the undo.  Then close the folder, delete the record and the job's
//      other files, and start again at 1.  A record that is unreadable, not this user's,
//      of another version, or whose copy is missing or not whole, or a folder that is not
//      as the job left it, fails the job (ERROR_INTERRUPTED_...), keeping all and changing
//      nothing.  Files of an earlier job on the folder without a whole record are deleted.
//   3. Find where the conversion first changes the folder: the line of its first change for
//      the plain conversion; for another, the first mail it changes, where a mail that may
//      come out the same is converted apart into a scratch file in the state directory and
//      compared.  A folder with nothing to change is left untouched: go to 6.
//   4. Copy the folder from there through the held handle, flush the copy, check it against
//      the folder, convert it into a scratch file, then write the record (the copy's length
//      and checksum, the conversion's, the front's checksum) and flush it and the directory.
//      A failure deletes all three.  The folder is as it was.
//   5. Make the folder as long as the conversion where that is longer, in one step, write
//      the conversion over it from there, cut it to its new length and flush it: stopped
//      anywhere, it is as long as it was or as it will be, so that mail appended since
//      begins at one of the two.  Should the machine stop now, the next job completes the
//      rewrite.  A failure puts the original back from the copy (the record then goes, the
//      copy stays until the next job), or where it cannot, keeps both for the next job.
//   6. Close the folder, delete the record, flush the directory, then delete the copy and
//      the summary file, and flush the folder's directory.  The folder is converted.
// converters.use does the rewrite of step 5, and its kind goes in the record; an interrupted
// job is completed with the converter of its record's kind (converters.Named).
// Returns true when the folder is converted (failures of the deletions are ignored, and
// told in *result).  Returns false when a step failed: the summary file then stays,
// GetLastError() tells why, and *result what the caller is to tell the user.  result may
// be null.
// Where expected is given, the folder must be the very file it names (a walk found it so),
// or the job fails with ERROR_NOT_THE_WALKED_FILE, changing nothing.
bool ConvertFolderInPlace(const CHeldDirectory &dir, const std::string &name, const SConverters &converters,
                          SJobResult *result, const SFileIdentity *expected = nullptr);

// The folder a path names, as the job reaches it: its directory held open, and its name
// there.  Links on the way and at its end are followed first (the user named it), so that
// the job's files go beside the folder itself.  False with the system's error.
struct SFolderAt {
    std::unique_ptr<CHeldDirectory> dir;
    std::string name;
};
bool OpenFolderAt(const char *path, SFolderAt *at);

// ConvertFolderInPlace on the folder a path names (OpenFolderAt): for a folder named alone.
bool ConvertFolderAtPath(const char *path, const SConverters &converters, SJobResult *result = nullptr);

// Puts the folder name of dir back as it was before an interrupted job began: its front
// kept, the copy written back from its offset, its length as it was, and mail appended since
// kept at its end; then deletes the record and the copy.  An undo that is interrupted in its
// turn is completed by the next job on the folder.  Bytes of the folder that are neither
// the job's nor appended mail (an edit in place, another file at the path) are kept in
// result->keptOld.  Where the front no longer matches the record's checksum, nothing is
// written: it fails with ERROR_INTERRUPTED_FRONT_CHANGED, keeping the copy and the record,
// result->frontNow saying where the job's bytes now begin where they were found.  False with ERROR_NOTHING_TO_UNDO when no job on the folder was
// interrupted, or with the reason it cannot.
// converters are the kinds it knows, to tell what the interrupted job was writing.
bool UndoInterruptedJob(const CHeldDirectory &dir, const std::string &name, const SConverters &converters,
                        SJobResult *result);

// For a folder that a look (FindPendingJob) found no job to complete on, and that has nothing
// to change: removes what a job of ours on it that was stopped at its end left, as the next
// job on it would.  A stale lock file beside it goes (RemoveStaleFolderLockFile); files of
// that job in the state directory go, under the folder's lock, where the folder can be
// locked (a folder in use is left for its own next job); an old file of an undo is kept
// and told in result->strayOld.  Returns false when a stale lock file stays
// (result->lockFileLeft says which, and why); true otherwise, with nothing left or nothing
// to be done.
bool TidyStoppedJob(const CHeldDirectory &dir, const std::string &name, SJobResult *result);

// What TidyStoppedJob would remove on the folder name of dir, or, where converts, a job on it
// would take over, changing nothing: *staleLock, a stale lock file beside it (any that is
// stale for a job, only ours for a tidy); *jobFiles, files of a job on it in the state
// directory.
void FindStoppedJob(const CHeldDirectory &dir, const std::string &name, bool converts, bool *staleLock,
                    bool *jobFiles);

// What a job on the folder name of dir would find of an interrupted one, changing nothing;
// converters are the kinds it would complete one with.
enum EPendingJob {
    PENDING_NONE,      // none was interrupted
    PENDING_COMPLETE,  // one was, and the next job completes it; result->appendedKept
                       // bytes of mail appended since are kept
    PENDING_REFUSED,   // one was, and the next job refuses it: GetLastError() and *result
                       // tell why
    PENDING_UNKNOWN,   // it cannot be told: GetLastError() says why
};
EPendingJob FindPendingJob(const CHeldDirectory &dir, const std::string &name, const SConverters &converters,
                           SJobResult *result);
