// What the command-line converter's parts share: its name in messages, the words for a
// failure, counts in words, and the files it reads whole and writes anew.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "platform.h"

// The program's name, which starts each of its messages.
extern const char PROGRAM[];

// The system's words for the last failure (GetLastError); "" where it has none.
std::string LastReason();
// True when error says that a file, or a directory on its path, is not there.
bool IsGone(DWORD error);
// "1 mail", "2 mails": n and the word for it.
std::string Count(long n, const char *one, const char *many);
// The directory of path, its separator at the end: "./" for a name alone.
std::string DirectoryOf(const std::string &path);

// Reads the whole of the file at path into bytes.  False with the system's error, or for
// want of memory.
bool ReadWhole(const std::string &path, std::string &bytes);
// Gives the new file that to writes (at name) the owner and group that st tells of, and
// the permission bits of st among modeBits, where the system lets us (a user may give a
// file only to a group of theirs).  Natively through the descriptor, not the name: in a
// directory that others can write to, another file could have been put at the name
// meanwhile.  Windows keeps only whether it is read-only.
void TakeOwnerAndMode(FILE *to, const std::string &name, const struct stat &st, unsigned modeBits);
