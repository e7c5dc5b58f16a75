// The job's journal: a small record in the user's state directory, on the disk for as long
// as the folder may be half written, from which the next job on the folder completes the
// rewrite, or puts the folder back.  The record and the files that go with it share a name
// made of the folder's identity and a number of their own, so that nobody else can take
// their names; the next job finds the record by the folder's identity, or by the path the
// record gives when the identity has changed (a disk that came back as another device).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// A 64-bit checksum over bytes given in pieces of any size: XXH64's rounds over stripes of
// 32 bytes, which run at several bytes a cycle.
struct SChecksum {
    std::uint64_t lanes[4];
    unsigned char stripe[32];
    std::size_t held;        // bytes of a stripe not yet taken in
    std::uint64_t total;     // bytes given so far

    SChecksum();
    void Add(const void *data, std::size_t n);
    std::uint64_t Value() const;
};

// The files of one job, in the state directory: the record, the copy of the folder from the
// record's start, a scratch file for the conversion of the copy, the mail appended to the
// folder since the job was interrupted, the record's next version before it replaces it,
// and the folder's bytes as they stood when an undo began.  All share one base name.
struct SJobFiles {
    char record[PATH_SIZE];
    char copy[PATH_SIZE];
    char scratch[PATH_SIZE];
    char added[PATH_SIZE];
    char next[PATH_SIZE];
    char old[PATH_SIZE];
};

// The base of a job's names for a folder: "qvl", its identity in hexadecimal, "-" and the
// number.  The prefix alone (number 0 and withNumber false) names every job of the folder.
bool MakeJobBase(const SFileIdentity &id, unsigned number, bool withNumber, char *base, std::size_t size);
// The job's files in dir (ending in its separator) for the base name.  False when a name
// does not fit.
bool MakeJobFiles(const char *dir, const char *base, SJobFiles *files);
// The job's files for the record at record (a path ending in ".JNL").
bool JobFilesOfRecord(const char *record, SJobFiles *files);

// Which way a job rewrites the folder from the record's start.
enum EDirection {
    DIRECTION_FORWARD,    // the copy (and the mail appended) to its conversion
    DIRECTION_UNDO,       // the folder as it stood (kept in the old file) back to the copy
    DIRECTION_UNDO_KEEP,  // the same, the old file then kept for the user: it holds bytes
                          // that are neither the job's nor mail appended
};

// What a record holds.
struct SJournal {
    int version;                  // of the format it was read in
    char folder[PATH_SIZE];       // the folder's path, through its links, when the job began
    SFileIdentity id;             // the folder's (its size aside)
    std::uint64_t start;          // where in the folder the rewrite starts, and the copy
    std::uint64_t frontChecksum;  // of the folder's bytes before start
    std::uint64_t length;         // of the copy, which is the folder from start as it was
    std::uint64_t checksum;       // of the copy
    std::uint64_t converted;      // of the copy's conversion, which the job writes (0 where
    std::uint64_t convertedChecksum;  // a record of an earlier build never said)
    std::uint64_t added;          // bytes of mail appended since, kept in the added file
    std::uint64_t addedChecksum;
    EDirection direction;
    std::uint64_t oldLength;      // for an undo: the folder from start as it stood
    std::uint64_t oldChecksum;
    char converter[32];           // the kind of the conversion (SConversion)
};

// Writes the record at path, a new file, and flushes it to the disk.  False on failure, when
// part of it may have been written.  With held, the record stays open in *held, with the
// access to delete it (DeleteHeldFile).
bool WriteJournal(const char *path, const SJournal &journal, HANDLE *held = nullptr);
// Replaces the record at files.record with journal, whole or not at all: written to
// files.next, flushed, renamed over the record and the directory dir flushed.
bool ReplaceJournal(const SJobFiles &files, const char *dir, const SJournal &journal);

// Reads the record at path.
enum EJournalState {
    JOURNAL_NONE,           // there is none
    JOURNAL_UNFINISHED,     // there is one, but it was never written to its end: the job was
                            // stopped before it, so before its first write to the folder
    JOURNAL_FOUND,          // *journal holds it
    JOURNAL_UNREADABLE,     // there is one that cannot be read, or that others may have changed
    JOURNAL_NOT_OURS,       // there is one that another user made (or not a file)
    JOURNAL_OTHER_VERSION,  // a whole record of a version this program cannot read
};
EJournalState ReadJournal(const char *path, SJournal *journal);
