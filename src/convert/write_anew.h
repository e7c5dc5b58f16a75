// Files written anew: made under a name that no file has, beside the file they replace,
// written and flushed, then renamed over it, and its directory flushed, so that a stop at
// any point leaves the old file or the new one whole, and at most a temporary file of ours.
// (The stores' batches, rewrite.h, do the same for many files at once.)
#pragma once

#include <cstddef>
#include <string>

#include "platform.h"

// Writes the n bytes of text to file whole: a write that stops short without a reason of its
// own is a full disk's.  False with the system's error.
bool WriteWhole(HANDLE file, const void *text, std::size_t n);

// Closes file after what went before it, ok or not, and returns whether all went well: a
// close that fails is the reason only where nothing failed before.
bool CloseAfter(HANDLE file, bool ok);

// Writes n bytes of text to a new file at path (never an existing file, nor one that a link
// names) and flushes them; with held, keeps it open there.  False with the system's error.
bool WriteNewFile(const char *path, const void *text, std::size_t n, HANDLE *held = nullptr);

// The same in dir's entry name, then dir flushed, so that the new entry stays; a file that
// cannot be written whole is deleted.
bool WriteNewEntry(const CHeldDirectory &dir, const std::string &name, const std::string &text);

// Writes text anew at target: under temp (a file that an interrupted replacement left there
// is deleted first), renamed over target, then dir flushed.  Where it fails before the
// rename, temp is deleted, keeping the system's error.
bool WriteAnew(const char *temp, const char *target, const char *dir, const void *text, std::size_t n);

// Renames temp, written and flushed, over target (or into place), then flushes dir.
bool PutInPlace(const char *temp, const char *target, const char *dir);

// Creates a new, empty file in dir (ending in its separator) for writing, named "qvl", four
// hexadecimal digits and ".TMP", that only its owner may read: never an existing file, nor
// a file that a link there names.  Puts its name into name and has it removed should the
// program be interrupted, until RemoveOnInterrupt(nullptr); name must stay as it is until
// then.  Returns its handle, or INVALID_HANDLE_VALUE with the system's error.
HANDLE CreateTemporaryIn(const std::string &dir, std::string &name);
