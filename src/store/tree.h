// Converts trees of mail: every mail folder, maildir message and Apple Mail .emlx file under
// a directory, and the Mail/ tree of a Thunderbird or Mozilla-suite profile.  It tells what
// it did in a report, for a front end to word.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "mbox.h"

// Told how far a walk has come, for a front end to show.
class ITreeProgress {
public:
    // The tree holds files files of bytes bytes in all, as a first walk measured them.
    virtual void StartTree(std::uint64_t files, std::uint64_t bytes) = 0;
    // The file at path is the one at hand.
    virtual void StartFile(const std::string &path) = 0;
    // The file at hand is done: it measured size bytes.
    virtual void FileDone(std::uint64_t size) = 0;
    virtual void FinishTree() = 0;

protected:
    ~ITreeProgress() = default;
};

struct STreeOptions {
    // What rewrites a folder, a message or an .emlx file's message (converters.use), and the
    // kinds a job stopped in another conversion is completed with (convert.h).
    SConverters converters;
    ITreeProgress *progress = nullptr;  // null for none
    // Changes nothing: the walk goes as a conversion would, with the same skips and
    // refusals, but writes, renames, deletes and locks nothing (not even a run's leftovers),
    // and tells what the conversion would do instead (ETreeEvent::WOULD), its counts those
    // that the conversion would give.  What would change is found by converting into a
    // pipe, never into a file.
    bool check = false;
};

// One thing a walk has to tell, in the order it happened.
enum class ETreeEvent {
    FAILED,         // path was not converted: what, and the system's reason where it gave one
    WARNING,        // path: something went wrong that failed nothing
    NOTICE,         // path: what was done or left alone, for a user who wants to know
    FOLDER_FAILED,  // the folder's job failed: error and job tell why
    FOLDER_DONE,    // the folder's job converted it, and job has something to tell
    FOLDER_TIDIED,  // the folder needed no conversion; what a job stopped at its end left of
                    // it was tidied away, and job tells what, or why it could not be
    WOULD,          // a check's: what a conversion would do to path; with look where it would
                    // convert a folder, with job and pending where it found an interrupted job
};

struct STreeEvent {
    ETreeEvent kind;
    std::string path;
    std::string what;
    DWORD error;                             // the system's reason, 0 for none
    std::shared_ptr<const SJobResult> job;   // the FOLDER_ events' job result (a tidy's)
    std::shared_ptr<const SFolderLook> look = nullptr;
    EPendingJob pending = PENDING_NONE;
};

struct STreeReport {
    long converted = 0;   // files rewritten
    long unchanged = 0;   // files read, with nothing to change
    long mails = 0;       // in the files read
    long renamed = 0;     // of the files converted, maildir messages given a new name
    long quotaLines = 0;  // lines appended to maildirsize files
    long summariesDeleted = 0;  // .msf and .snm files of folders converted
    long cachesDeleted = 0;     // Dovecot's dovecot.index.cache files of folders converted
    std::vector<std::pair<std::string, long>> skipped;  // why, and how many
    std::vector<std::string> failed;                    // the paths that failed
    std::vector<STreeEvent> events;
    bool walked = false;  // a walk was made, which a summary tells of
    bool checked = false;  // it was a check: the counts are what a conversion would do
    bool ofMails = false;  // the files counted are mails on a server
};

// Converts every mail file under each of paths (a directory, or one file as the walk would
// find it), after a first walk that measures them for the progress:
//   - a file whose first line is a "From " line (an mbox folder) or a header field (a file
//     of one mail), through the journaled job, one at a time; the .msf summary beside a
//     folder that the job converted is deleted after it, for its mail program to rebuild;
//   - the messages in a maildir's cur/ and new/ (a directory with cur/, new/ and tmp/),
//     each written anew into its tmp/ and given a new name there (NewMessageName), its old
//     one then deleted, in batches flushed together; a maildir without tmp/ is skipped,
//     saying so;
//   - an .emlx file's message, its byte count rewritten and its property list kept, written
//     beside it and renamed over it, in the same batches.
// Messages and .emlx files are read and written in pieces, never whole.  A message or file
// with nothing to change is not written.  Every other file is skipped and counted.  The
// walk holds each directory open and opens what it found through it: no symbolic link is
// followed, one put in the place of a file or a directory since it was listed included,
// and special files are skipped, saying so.  A directory named ImapMail, and one that a
// running mail program holds as its profile, are left alone, saying why.  What a run killed
// half-way left is completed by the next run over the same tree: each folder by its job's
// record, each maildir and .emlx by our temporary files, deleted where the file they were
// for is there and moved into its place where it is not and the file system renames in two
// steps (FAT).  Each failure is reported, naming its file, and the walk goes on.  Returns
// true when nothing failed.  With options.check, changes nothing, and returns true when a
// conversion would fail nowhere.
bool ConvertTrees(const std::vector<std::string> &paths, const STreeOptions &options, STreeReport &report);

// True when the file at path, named on its own, is one that its store converts as the walk
// does (an .emlx file), not a folder for the journaled job.
bool IsStoreFile(const std::string &path);

// Converts the Mail/ tree of the profile directory dir, or where dir is empty of the default
// profile (FindDefaultProfile), as ConvertTrees does.  Refuses a profile that a running mail
// program holds.  ImapMail/ is left alone, saying why.  Returns true when nothing failed.
bool ConvertProfile(const std::string &dir, const STreeOptions &options, STreeReport &report);

// Whether the folder file at path, named on its own, may be converted in place: not while a
// running mail program holds the profile it lies in (its summary would no longer say where
// each mail is, and the program would write flags into other mails).  False with why; a
// lock that cannot be tested is told in warning, and does not refuse.
bool MayConvertFolder(const std::string &path, std::string &why, std::string &warning);
// Deletes the cache that Dovecot keeps of the folder name of dir, once the folder has
// changed (.imap/NAME/dovecot.index.cache, where Dovecot keeps it by default), through the
// held directory.  True where it was deleted; false where there is none, or it stays, with
// the system's error then in *error (0 where none was there).
bool DeleteServerCache(const CHeldDirectory &dir, const std::string &name, DWORD *error);
