// What the command-line converter's parts share: its name in messages, the words for a
// failure and for what a folder's job did, and counts in words.
#pragma once

#include <cstdio>
#include <string>

#include "convert.h"
#include "mbox.h"
#include "platform.h"

// The program's name, which starts each of its messages.
extern const char PROGRAM[];

// The system's words for the last failure (GetLastError); "" where it has none.
std::string LastReason();
// "1 mail", "2 mails": n and the word for it.
std::string Quantity(long n, const char *one, const char *many);

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
