// The job's journal: a small record in the temporary directory, on the disk for as long as
// the folder may be half written, from which the next job on the folder completes the
// rewrite.  Its name, like the copy's, is made from the folder's identity (its volume and
// file index), so that the folder alone finds both again, whatever path it is given by.
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

// What identifies a folder: the file itself, whatever path names it.
struct SFolderIdentity {
    DWORD volume;
    std::uint64_t index;
    std::uint64_t size;  // at the time it was asked
};

// Fills *id for the open file; false on failure.
bool GetFolderIdentity(HANDLE file, SFolderIdentity *id);

// The names of the job's files for a folder, in the temporary directory tempDir (ending in
// its separator): the copy of the folder, the record, and a scratch file for checking a
// folder against what the interrupted job was writing.  False when a name does not fit.
struct SJobFiles {
    char copy[MAX_PATH];
    char record[MAX_PATH];
    char scratch[MAX_PATH];
};
bool MakeJobFileNames(const char *tempDir, const SFolderIdentity &id, SJobFiles *files);

// What a record holds.
struct SJournal {
    char folder[MAX_PATH];       // the path the interrupted job was given, for the user
    DWORD volume;
    std::uint64_t index;
    std::uint64_t start;         // where in the folder the rewrite starts, and the copy
    char copy[MAX_PATH];
    std::uint64_t length;        // of the copy, which is the folder from start as it was
    std::uint64_t checksum;      // of the copy
    char converter[32];          // the name of the conversion (see NameStreamConverter)
};

// Writes the record at path, a new file, and flushes it to the disk.  False on failure, when
// part of it may have been written.
bool WriteJournal(const char *path, const SJournal &journal);

// Reads the record at path.
enum EJournalState {
    JOURNAL_NONE,        // there is none
    JOURNAL_UNFINISHED,  // there is one, but it was never written to its end: the job was
                         // stopped before it, so before its first write to the folder
    JOURNAL_FOUND,       // *journal holds it
    JOURNAL_UNREADABLE,  // there is one that cannot be read, or that is not this user's own
};
EJournalState ReadJournal(const char *path, SJournal *journal);
