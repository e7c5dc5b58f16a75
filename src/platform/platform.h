// The operations of our own that the core and the stores need of the system, each with its
// contract, beside the Windows calls they use (win32_calls.h).  src/platform/win32 has them
// with the Windows calls; src/platform/posix stands in for the Windows calls and has them
// over POSIX.  The build picks the directory that provides platform_types.h, so nothing
// that includes this header needs to know which system it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform_types.h"
#include "win32_calls.h"

// Reasons of our own, in the range that Windows leaves to applications (bit 29 set).
const DWORD ERROR_NOT_A_FILE = 0x20000001;  // a directory, device or pipe where a file belongs
// The copy of the folder is not the folder's bytes (short, or changed).
const DWORD ERROR_COPY_NOT_WHOLE = 0x20000002;
// A conversion of the folder was interrupted, and it cannot be completed because its copy is
// missing, its copy is not whole, the folder has changed since, its record cannot be read,
// or it converted in a way this program does not have.
const DWORD ERROR_INTERRUPTED_COPY_MISSING = 0x20000003;
const DWORD ERROR_INTERRUPTED_COPY_NOT_WHOLE = 0x20000004;
const DWORD ERROR_INTERRUPTED_FOLDER_CHANGED = 0x20000005;
const DWORD ERROR_INTERRUPTED_RECORD_UNREADABLE = 0x20000006;
const DWORD ERROR_INTERRUPTED_OTHER_CONVERSION = 0x20000007;
// Another program holds the folder's lock file (FOLDER.lock).
const DWORD ERROR_FOLDER_LOCKED = 0x20000008;
// The file system gives the folder no identity of its own (a volume and index both zero).
const DWORD ERROR_NO_FILE_IDENTITY = 0x20000009;
// The state directory is a link, another user's, or open to others.
const DWORD ERROR_STATE_DIRECTORY_NOT_PRIVATE = 0x2000000A;
// The record of an interrupted conversion comes from another version of this program.
const DWORD ERROR_INTERRUPTED_OTHER_VERSION = 0x2000000B;
// A conversion of the folder was interrupted, and the part of it before where the conversion
// started, which the record vouches for, has changed since: nothing is written after it.
const DWORD ERROR_INTERRUPTED_FRONT_CHANGED = 0x2000000F;
// An interrupted conversion of the folder was completed, but its record cannot be deleted:
// the next run would complete it once more.
const DWORD ERROR_INTERRUPTED_RECORD_STAYS = 0x20000010;
// A conversion of the folder was interrupted (the trace it leaves beside the folder says
// so), and its record is not in this run's state directory: another's, or the folder is a
// copy of the one it was converting.
const DWORD ERROR_INTERRUPTED_RECORD_ELSEWHERE = 0x20000011;
// There is no interrupted conversion of the folder to undo.
const DWORD ERROR_NOTHING_TO_UNDO = 0x2000000D;
// The file at a name is no longer the one found there before (a link, or another file, put
// in its place since).
const DWORD ERROR_NOT_THE_WALKED_FILE = 0x2000000E;

// The text of one of our own reasons above, or null for a code of the system's.
const char *DescribeOwnError(DWORD code);

// Opens a C stream ("rb" or "wb") on a second handle to the same open file: the stream
// reads and writes at the file's position, and closing it leaves file open, with whatever
// its share mode keeps out.  "wb" does not empty the file.  A pipe or device that
// CreateFileA opened without waiting is waited for by the stream, as by any other (the
// file's own handle then waits too).  Returns null on failure.  Ours, not the system's.
FILE *OpenHandleStream(HANDLE file, const char *mode);

// Copies from's position to its end onto to at its position within the system (the kernel),
// where the system can.  Returns false where it cannot, or stopped: the positions are then
// where it stopped, for the caller to copy the rest by hand.  Ours, not the system's.
bool CopyWithinSystem(HANDLE from, HANDLE to);

// Gives the open file to the times of the open file from, through the handles: natively
// its modification and access times; on Windows its creation, last access and last write
// times, as a file replaced in place keeps them.  to must be open for writing, from for
// reading; call it after the last write to to (a later write is a modification), its
// stream flushed.  False with the system's error; to's times may then be its own still.
// Ours, not the system's.
bool KeepFileTime(HANDLE from, HANDLE to);

// Flushes the directory at path (ending in a separator, or not) to the disk, so that the
// names of files created in it and removed from it are there too.  Returns false on
// failure.  On Windows, where NTFS keeps names in its own journal, only a directory that
// is not there fails: a file system or a permission that refuses the flush counts as
// flushed.  Ours, not the system's.
bool FlushDirectory(const char *path);

// True when file is one only this user can have made and can write: natively owned by
// this user, with no other name and no write permission for others.  Always true on
// Windows, where the state directory is the user's own.  Ours, not the system's.
bool IsPrivateFile(HANDLE file);
// True when file is a regular file this user owns (natively; always on Windows), private or
// not: a file of the user's own that IsPrivateFile refuses was opened to others since.
bool IsOwnFile(HANDLE file);

// What names a file itself, whatever path reaches it: its volume and its index on that
// volume (natively the device and the inode; on Windows the 128-bit FILE_ID_INFO where the
// volume gives one, else the volume serial number and the 64-bit file index), and its size
// at the time it was asked.
struct SFileIdentity {
    std::uint64_t volume;
    std::uint64_t indexHigh;
    std::uint64_t indexLow;
    std::uint64_t size;
};
// Fills *id for the open file.  On Windows the volume is the 32-bit serial number either
// way, and on NTFS the two kinds of index agree (the 64-bit one in indexLow).  A file whose
// file system numbers no file (an index of zero, as some network servers give) is known by
// its full path instead, whatever the case of its letters, so that no two such files share
// an identity.  False on failure, and with ERROR_NO_FILE_IDENTITY where it has neither.
// Ours, not the system's.
bool GetFileIdentity(HANDLE file, SFileIdentity *id);
// Whether a and b name the same file (their sizes aside).
bool SameFile(const SFileIdentity &a, const SFileIdentity &b);

// Puts into path (size bytes) the user's own directory for the state the program keeps
// between runs, ending in its separator, creating it where it is missing: natively
// $XDG_STATE_HOME/quorvel, by default ~/.local/state/quorvel; on Windows
// %LOCALAPPDATA%\Quorvel (where the variable is not set, the shell's local application
// data directory; that directory itself is never created), in the program's code page.
// No variable for temporary files moves it.  Natively it must be a directory, not a link,
// owned by this user and closed to others (mode 0700, as made); on Windows a directory and
// not a reparse point (a link, a junction); ERROR_STATE_DIRECTORY_NOT_PRIVATE otherwise.
// False on failure, path then holding the directory's name where it is known, else ""
// (as when the code page cannot spell it).  With make false, a missing directory is not
// made: false with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND, path holding its name.
// Ours, not the system's.
bool GetStateDirectory(char *path, std::size_t size, bool make = true);

// Lists the names (without their directory) of the entries of directory dir (ending in its
// separator or not) that end in suffix, and are longer, calling found for each; false when
// the directory cannot be read.  On Windows the suffix's case does not matter, as in file
// names.  Ours, not the system's.
bool ListDirectory(const char *dir, const char *suffix, void (*found)(const char *name, void *context),
                   void *context);

// Deletes the file at path that handle, opened by this program with DELETE access, holds
// open, and closes the handle.  On Windows it goes through the handle, so that a program
// that opened the file meanwhile (a virus scanner, the indexer) without sharing deletion
// cannot keep it; a sharing violation is tried again a few times, and where the file
// system takes no deletion through a handle, path is deleted.  A program that holds the
// file open sharing deletion keeps its name in the directory until it closes it.  Natively
// it unlinks path.  False when the file stays; the handle is closed either way.  Ours, not
// the system's.
bool DeleteHeldFile(HANDLE handle, const char *path);

// Whether path names a device by a name the system keeps for it, not a file: on Windows a
// last name that is a device's alone (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, in
// any case, with nothing after it but spaces or a colon), or a path under \\.\; never
// natively, where /dev is a directory like any other.  A name with more to it ("aux.mbox")
// is a file's.  Ours, not the system's.
bool IsDeviceName(const char *path);

// Puts into resolved (PATH_SIZE bytes) the path of the file that path names, through any
// symbolic links, where the system has them; elsewhere path itself.  False on failure.
// Ours, not the system's.
bool ResolvePath(const char *path, char *resolved);

// Takes the lock file folder + ".lock" that mail programs on Unix (delivery agents, mail
// readers) create beside a folder while they write to it, as they do: whole from the moment
// it has that name (written under a name of its own beside it, then linked to it; made
// exclusively in one write where the file system has no links), holding our process id and
// this machine's name.  A stale one is taken over: one of a process of this machine that
// has ended, or that ran before the machine last started; one older than ten minutes; one
// empty or unreadable and older than a few seconds.  Only the very file judged stale is
// deleted, not one another program has put in its place meanwhile.  Returns false with
// ERROR_FOLDER_LOCKED when another program holds it (or it is stale and cannot be
// deleted), and with the system's error when it cannot be written; true otherwise, *taken
// saying whether we hold it now (not where the folder's directory takes no new file: a
// folder we may only write to in place).  On Windows, whose mail programs know no such
// file, it takes nothing.  First it deletes what a process of ours on this machine that has
// ended left of its own while it made one (folder + ".lock.HOST.PID.N").  Ours, not the
// system's.
bool TakeFolderLockFile(const char *folder, bool *taken);
// Gives back the lock file taken for folder: deletes it.  False, with the system's error,
// when it stays.
bool ReleaseFolderLockFile(const char *folder);
// Deletes folder + ".lock" if it is one of ours (it names its host, as a mail program's
// does not) and stale by the rules above, and leaves it otherwise: a mail program's stale
// lock is for the next one that takes the lock to clear.
// Returns false, with the system's error, only when a stale one stays; true when there is
// none, when another program holds it, and when it is deleted.  On Windows it does
// nothing.  Ours, not the system's.
bool RemoveStaleFolderLockFile(const char *folder);
// True when folder + ".lock" is there and stale by the rules above: what TakeFolderLockFile
// would take over, or, with oursOnly, what RemoveStaleFolderLockFile would delete.  Changes
// nothing.  On Windows always false.  Ours.
bool IsStaleFolderLockFile(const char *folder, bool oursOnly);

// Puts a one-line text for a GetLastError() code into text; returns false when the system
// has none.  Ours, not the system's: it hides how each system words its messages.
bool DescribeError(DWORD code, char *text, std::size_t size);

// Makes stream, standard input or output, pass every byte as it is: no line end
// translation.  Returns false when the system refuses.  Ours, not the system's.
bool SetBinaryMode(FILE *stream);

// The position of stream, a stream being read, where it reads a file that it can go back in
// (a file on a disk); -1 where it cannot (a pipe, a terminal).  Ours, not the system's.
long long StreamPosition(FILE *stream);
// Moves stream to position, one that StreamPosition gave.  False on failure.  Ours.
bool SetStreamPosition(FILE *stream, long long position);

// Has path deleted should the program be interrupted (natively SIGINT, SIGTERM or SIGHUP;
// on Windows Ctrl-C, Ctrl-Break or its console window closed) before
// RemoveOnInterrupt(nullptr) is called; the program then ends as the signal or the event
// would have ended it.  path must stay valid until then.  On Windows the deletion comes
// from a thread of its own while the program may hold the file open: every open of the
// file must share deletion (FILE_SHARE_DELETE), or it stays.  Nothing deletes it after
// "taskkill /F" or the end of a process.  Ours, not the system's.
void RemoveOnInterrupt(const char *path);

// Makes an interrupt end the program at once, as a kill ends it, from the program's start:
// natively the signals' own action does so already; on Windows Ctrl-C, Ctrl-Break or the
// console window closed would end it through the C library's exit, run on a thread of its
// own while the others stop wherever they are, which writes out each stream's buffer as it
// was left: a piece of a folder's rewrite could then be written twice, or at the wrong
// place, where the record of the job cannot know of it.  A path that RemoveOnInterrupt
// names is still deleted first.  Ours, not the system's.
void EndAtOnceOnInterrupt();

// --- Walking a tree of mail folders ---

// What an entry of a directory is, as the directory tells it: links are not followed.
enum EEntryKind {
    ENTRY_FILE,       // a regular file
    ENTRY_DIRECTORY,
    ENTRY_LINK,       // a symbolic link; on Windows a reparse point that names another file
                      // (a link, a junction), while a cloud file's placeholder is a file
    ENTRY_SPECIAL,    // a device, a pipe, a socket
    ENTRY_UNSPELLED,  // a name that the program's code page cannot spell (Windows only)
};

// One entry of a directory.  name is good only for the length of the call it is given to.
struct SDirectoryEntry {
    const char *name;      // without its directory
    EEntryKind kind;
    std::uint64_t size;    // a regular file's size at the time it was read, else 0
    bool linkToDirectory;  // an ENTRY_LINK that names a directory
    SFileIdentity id;      // natively the entry itself (its size aside); on Windows zero
};

// Calls found for every entry of the directory dir (ending in its separator or not) but "."
// and "..", in the directory's own order.  An entry that is deleted while it is read is left
// out.  False when dir cannot be opened, or cannot be read to its end (GetLastError() says
// why; the entries read before were told).  Ours, not the system's.
bool ReadDirectory(const char *dir, void (*found)(const SDirectoryEntry &entry, void *context), void *context);

// Has each of the n files, open for writing, on the disk, their lengths included.  Natively
// on Linux one syncfs for each file system they are on, so that a batch of new files costs
// one wait for the disk and not one each; elsewhere each is flushed in turn
// (FlushFileBuffers).  False when any flush fails: what was written may then never reach
// the disk.  Ours, not the system's.
bool FlushFiles(const HANDLE *files, std::size_t n);

// Renames replacement over existing, in one step (a reader sees the old file or the new
// one), but only while existing is there: false with ERROR_FILE_NOT_FOUND when it has gone
// (a mail program renamed it meanwhile), and replacement is then as it was.  Natively on
// Linux the two are exchanged in one step and the old file, now at replacement's name, is
// deleted (should that fail, it stays there); elsewhere existing is looked for, then
// replaced.  The directory is not flushed.  False with the system's error otherwise.  Ours,
// not the system's.
bool ReplaceExistingFile(const char *replacement, const char *existing);

