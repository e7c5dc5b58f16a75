// Converts trees of mail: every mail folder, maildir message and Apple Mail .emlx file under a
// directory, and the Mail/ tree of a Thunderbird or Mozilla-suite profile.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class CProgressLine;

// What a walk over a tree does with the mail it finds, and where it tells of it.
struct STreeJob {
    bool keepLabels = false;  // convert the bytes only, as --keep-labels does
    bool quiet = false;       // no notices; warnings, failures and the summary's failures stay
    // Converts the folder file at path in place through the journaled job, telling err why
    // where it fails; true when it is converted.
    std::function<bool(const std::string &path)> convertFolder;
    CProgressLine *progress = nullptr;  // counts the tree's files and bytes; null for none
    FILE *out = stdout;                 // the summary line
    FILE *err = stderr;
};

// Converts every mail file under each of paths (a directory, or one file as the walk would
// find it), after measuring the whole walk for the progress line:
//   - a file whose first line is a "From " line (an mbox folder) or a header field (a file
//     of one mail), through the journaled job, one at a time; the .msf and .snm summaries
//     beside a folder that changes are deleted first, for its mail program to rebuild;
//   - the messages in a maildir's cur/ and new/ (a directory with cur/, new/ and tmp/),
//     each written anew into its tmp/ and renamed over its own name, in batches flushed
//     together; a maildir without tmp/ is skipped, saying so;
//   - an .emlx file's message, its byte count rewritten and its property list kept, written
//     beside it and renamed over it, in the same batches.
// A message or file with nothing to change is not written.  Every other file is skipped and
// counted; no symbolic link is followed, and special files are skipped, saying so.  A
// directory named ImapMail, and one a running mail program holds as its profile, are left
// alone, saying why.  What a run killed half-way left is completed by the next run over
// the same tree: each folder by its job's record, each maildir and .emlx by our temporary
// files, which the next run deletes.  Each failure is told on err, naming its file, and the
// walk goes on.  Ends with one summary line on out (with quiet, only where something
// failed).  Returns true when nothing failed.
bool ConvertTrees(const std::vector<std::string> &paths, const STreeJob &job);

// Converts the Mail/ tree of the profile directory dir, or where dir is empty of the default
// profile (FindDefaultProfile), as ConvertTrees does.  Refuses a profile that a running mail
// program holds.  ImapMail/ is left alone, saying why.  Returns true when nothing failed.
bool ConvertProfile(const std::string &dir, const STreeJob &job);
