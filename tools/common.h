// What the command-line converter's parts share: its name in messages, the words for a
// failure and for what a folder's job did, counts in words, and the files it writes anew.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "convert.h"
#include "mbox.h"
#include "platform.h"
#include "store_files.h"

// The program's name, which starts each of its messages.
extern const char PROGRAM[];

// The system's words for the last failure (GetLastError); "" where it has none.
std::string LastReason();
// "1 mail", "2 mails": n and the word for it.
std::string Quantity(long n, const char *one, const char *many);
// Gives the new file that to writes (at name) the owner and group that st tells of, and
// the permission bits of st among modeBits, where the system lets us (a user may give a
// file only to a group of theirs).  Natively through the descriptor, not the name: in a
// directory that others can write to, another file could have been put at the name
// meanwhile.  Windows keeps nothing of it.
void TakeOwnerAndMode(FILE *to, const std::string &name, const struct stat &st, unsigned modeBits);

// The reason a job on the folder at path failed (GetLastError() and result), naming the
// state directory where it, not the folder, is to blame, and the lock file that another
// program holds.
std::string JobReason(const SJobResult &result, const char *path);
// What the user is told of an interrupted job that is not to be guessed at: where the
// folder differs, and where its original is kept and how to put it back.
void TellWhatIsKept(FILE *err, const char *path, const SJobResult &result);
// Warns err of the folder's lock file that the job could not delete, if any.
void TellLockFileLeft(FILE *err, const char *path, const SJobResult &result);
// Tells err of an undo's old file that a stopped undo left without telling it, if any.
void TellStrayOld(FILE *err, const char *path, const SJobResult &result);
// Tells err that the job on the folder at path failed, and why (GetLastError() and result).
void TellJobFailed(FILE *err, const char *path, const SJobResult &result);
// Tells err what a job that converted the folder at path has to say: files it could not
// delete, an interrupted job it completed (not where quiet), what it kept.
void TellJobDone(FILE *err, const char *path, const SJobResult &result, bool quiet);

// What --check tells of a folder it looked at (LookAtFolder), after its name: its mails,
// ISO-2022-KR passages, malformed sequences, labels to change (with keepLabels, a warning
// for those that would be left), line ends that would change, and warnings.
std::string FolderLookWords(const SFolderLook &look, bool keepLabels);
// What the next job on the folder at path would do with an interrupted one that a look
// found (FindPendingJob's answer, neither PENDING_NONE nor PENDING_UNKNOWN, with
// GetLastError() as it left it), in words.
std::string PendingJobWords(const char *path, EPendingJob pending, const SJobResult &result);
