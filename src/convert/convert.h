// The conversion core: ISO-2022-KR (RFC 1557) mail folder text to EUC-KR, in place.
//
// Plain procedural code over C streams.  The state below is module-wide and serves one
// conversion at a time; ConvertFile resets it before each file.
#pragma once

#include <cstdio>

#include "platform_types.h"

// One piece of the folder as read from the file: g_cbLine data bytes, followed by a NUL.
// Any byte value may occur in the data, NUL included, so g_cbLine, not the NUL, ends it.
extern char g_szLine[4096];
extern int g_cbLine;

// The job's two streams; open only inside ConvertFile (or a test standing in for it).
extern FILE *g_fpIn;
extern FILE *g_fpOut;

// 1 once the designator ESC $ ) C has been met in the current file.  Reset per file.
extern int g_bDesignatorSeen;

// Puts the decoder into its start-of-file state: no designator seen, shift state off,
// nothing held back.  Call before the first piece of every file.
void ResetDecoder();

// Decodes the piece in g_szLine and writes the result to g_fpOut.  The decoder keeps its
// state from one piece to the next (shift state, a designator or CR LF split between two
// pieces), so where a piece ends does not change the output.  A line end in the input,
// CR LF or a bare LF, is written as the platform's own line end.  Write errors are left in
// g_fpOut's error indicator for the caller to check.
void ConvertLine();

// Writes what the decoder held back at the end of the file: a trailing CR, or the start of
// a designator that the file did not finish.  Call once after the last piece.
void ConvertFileEnd();

// Decodes the whole text in[0, n) as a file of its own would be decoded (from the start-of-
// file state, what it holds back at its end written out) into out, which has room for
// L * n + 4 bytes, L the size of the platform's line end (PLATFORM_LINE_END, so n + 4 where
// it is LF alone), and returns the number of bytes written; the rest of that room may have
// been written over too.  For texts that are decoded apart from the folder's stream, such as
// a mail part in base64; the state of a file being converted meanwhile is left as it was.
std::size_t ConvertBuffer(const char *in, std::size_t n, char *out);

// What the decoder remembers between bytes, beyond the designator flag.  All of it is reset
// per file by ResetDecoder; shiftMask, lineStart and designatorLine also at every line end.
struct SDecoderState {
    unsigned char shiftMask;  // HIGH_BIT between SO and SI, else 0.  Off at each line start.
    bool lineStart;           // nothing of the current line has been decoded yet
    bool designatorLine;      // the current line so far is one designator: its line end goes too
    int designatorMatched;    // leading bytes of a designator seen so far, 0 to 3
    bool pendingCR;           // the last byte was CR; the next tells whether it ends the line
};

// A text decoded apart from the folder's stream, as ConvertBuffer decodes one, but given in
// pieces (a mail part read line by line): where the pieces end does not change the output.
struct SApartDecoder {
    SDecoderState state;
    int designatorSeen;  // this text's own designator flag
};

// An SApartDecoder at the start of a text, its designator flag given (a mail part's body
// goes on with its header's).
SApartDecoder StartApart(int designatorSeen);
// Decodes the next piece in[0, n) into out, which has room for L * n + 4 bytes (as for
// ConvertBuffer), and returns the number of bytes written.  The folder's state is left as
// it was.
std::size_t DecodeApartPiece(SApartDecoder &decoder, const char *in, std::size_t n, char *out);
// Writes what the decoder held back at the text's end into out (room for 4 bytes) and
// returns the number of bytes written.
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

// What rewrites a folder: ConvertStream, or a caller's own that decodes the same way and
// may do more, with the same contract.
typedef int (*StreamConverter)(FILE *in, FILE *out);

// Runs convert(in, out), a failure to allocate memory (which a converter that holds a mail
// in memory may meet) returned as a failure like any other: 0, ERROR_NOT_ENOUGH_MEMORY.
int ConvertGuarded(StreamConverter convert, FILE *in, FILE *out);

// Rewrites target as the decoded form of source.  Returns 1 on success; 0 when either file
// cannot be opened (target is then unchanged), or when reading source or writing, flushing
// or closing target fails (target is then incomplete).  Both streams are closed on return.
int ConvertFile(const char *source, const char *target);

// Converts the mail folder file at inboxPath in place, through a copy of it in the
// temporary directory, then deletes the copy and the summary file (SummaryFileOf).  The
// copy, qvlVVVVVVVV-IIIIIIIIIIIIIIII.TMP, and the job's record beside it (.JNL) are named
// after the folder's volume and file index, so that the next job on the folder finds them.
// The steps, and what is on the disk should the machine stop after each:
//   1. Open the folder, once for the whole job, sharing it with readers only: no other
//      program writes to it until the job ends, and a folder that another program is
//      writing to fails the job here (ERROR_SHARING_VIOLATION).  Anything but a regular
//      file fails it too (ERROR_NOT_A_FILE).  Nothing has changed.
//   2. If a record of an interrupted job on this folder is there, complete that job from its
//      copy (the folder then holds what it would have written), close the folder, delete the
//      record, then the copy, and start again at 1.  A record whose copy is missing or not
//      whole, or a folder that has changed since, fails the job (ERROR_INTERRUPTED_...),
//      keeping both and changing nothing.  A copy without a record is deleted.
//   3. Copy the folder through the held handle, flush the copy, check it against the folder,
//      then write the record (the copy's length and checksum) and flush it and the
//      directory.  A failure deletes both.  The folder is as it was.
//   4. Write the converted folder over the folder, cut it to its new length and flush it.
//      Should the machine stop now, the next job completes the rewrite.  A failure puts the
//      original back from the copy (the record then goes, the copy stays until the next
//      job), or where it cannot, keeps both for the next job.
//   5. Close the folder, delete the record, flush the directory, then delete the copy and the
//      summary file.  The folder is converted.
// convert does the rewrite of step 4 (ConvertStream unless a caller brings its own); name it
// with NameStreamConverter so that an interrupted job can be completed with it.
// Returns true when the folder has been rewritten (failures of the deletions are ignored).
// Returns false when a step failed: the summary file then stays, and GetLastError() tells
// why the job failed.
bool ConvertInbox(const char *inboxPath, StreamConverter convert = ConvertStream);

// Puts into summary (MAX_PATH bytes) the path of the folder's summary file: beside the
// folder, named after it with ".snm" added, through a link to it.  False when it does
// not fit.
bool SummaryFileOf(const char *inboxPath, char *summary);

// Gives convert a name for the job's record, so that a job interrupted while converting with
// it is completed with it too, by the next program to call ConvertInbox on the folder that
// has given it the same name.  ConvertStream is "plain".  Returns false when there is no
// room for another (a few fit).
bool NameStreamConverter(const char *name, StreamConverter convert);

// After ConvertInbox succeeded: true when it first completed an interrupted job.
bool CompletedInterruptedJob();

// After ConvertInbox succeeded: the path of its copy if it could not be deleted (the folder
// is converted, and the copy is of no more use), *why then saying why; otherwise "".
const char *CopyLeftBehind(DWORD *why = nullptr);

// After ConvertInbox failed: the temporary directory if the failure was its own (it cannot
// be found, written to, or holds no copy of the folder for want of space), "" if even its
// name could not be had; null when the temporary directory is not to blame.
const char *TemporaryDirectoryAtFault();

// After ConvertInbox failed: the path of its copy if the folder may be damaged and the copy
// is to hold the only whole original (the folder could not be put back, or an interrupted
// job could not be completed); otherwise "".  KeptRecordOfInterruptedJob() is then the path
// of the record that stays with it.
const char *KeptCopyOfDamagedFolder();
const char *KeptRecordOfInterruptedJob();
