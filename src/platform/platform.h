// The operations of our own that the core, the stores and the front ends need of the
// system, each with its contract, beside the Windows calls they use (win32_calls.h); a
// command-line front end's arguments and console are in front_end.h.  src/platform/win32 has them
// with the Windows calls; src/platform/posix stands in for the Windows calls and has them
// over POSIX.  The build picks the directory that provides platform_types.h, so nothing
// that includes this header needs to know which system it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

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
// The folder's copy, converted to be written over the folder, gave other bytes than the
// folder's own conversion, which its record holds (failing memory, or a converter that does
// not give the same bytes each time): the folder is put back from the copy.
const DWORD ERROR_CONVERSION_NOT_REPEATED = 0x20000018;
// The folder looks half written by a conversion that was stopped (converted text before
// ISO-2022-KR text whose designator is gone), and no record of that conversion is found.
const DWORD ERROR_HALF_WRITTEN_NO_RECORD = 0x20000019;
// A path with a pattern's * or ? in it, which no file matched (on Windows, where the
// program expands patterns itself and no file name holds either).
const DWORD ERROR_PATTERN_UNMATCHED = 0x20000020;

// The text of one of our own reasons above, or null for a code of the system's.
const char *DescribeOwnError(DWORD code);

// Opens a C stream ("rb" or "wb") on a second handle to the same open file: the stream
// reads and writes at the file's position, and closing it leaves file open, with whatever
// its share mode keeps out.  "wb" does not empty the file.  A pipe or device that
// CreateFileA opened without waiting is waited for by the stream, as by any other (the
// file's own handle then waits too).  Returns null on failure.  Ours, not the system's.
FILE *OpenHandleStream(HANDLE file, const char *mode);

// A C stream whose bytes come from, or go to, functions of the caller's: read for "rb", write
// for "wb", each called with context.  read puts up to n bytes at data and returns how many
// (0 at the end); write takes all n bytes and returns n; either returns -1 on failure, its
// reason in GetLastError().  seek, which may be null (a stream that cannot go back), moves
// to *offset from the start (SEEK_SET) or from the position (SEEK_CUR), puts the new
// position in *offset, and returns false where it cannot.  calls must stay valid until the
// stream is closed.  Returns null where the system has no such streams (Windows, with
// ERROR_NOT_SUPPORTED) or on failure.  Ours, not the system's.
struct SStreamCalls {
    void *context;
    long long (*read)(void *context, char *data, std::size_t n);
    long long (*write)(void *context, const char *data, std::size_t n);
    bool (*seek)(void *context, long long *offset, int whence);
};
FILE *OpenCallStream(const SStreamCalls *calls, const char *mode);

// Copies from's position to its end onto to at its position within the system (the kernel),
// where the system can.  Returns false where it cannot, or stopped: the positions are then
// where it stopped, for the caller to copy the rest by hand.  Ours, not the system's.
bool CopyWithinSystem(HANDLE from, HANDLE to);

// Sends n bytes of file from offset at on their way to the disk without waiting for them,
// so that a flush that follows has less left to wait for; where the system cannot, nothing
// happens.  Ours, not the system's.
void StartWriteBack(HANDLE file, std::uint64_t at, std::uint64_t n);

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

// The lock file that mail programs on Unix (delivery agents, mail readers) create beside a
// folder while they write to it, FOLDER.lock, is taken as they take it: whole from the
// moment it has that name (written under a name of its own beside it, then linked to it;
// made exclusively in one write where the file system has no links), holding our process id
// and this machine's name.  A stale one is taken over: one of a process of this machine that
// has ended, or that ran before the machine last started; one older than ten minutes; one
// empty or unreadable and older than a few seconds.  Only the very file judged stale is
// deleted, not one another program has put in its place meanwhile.  Taking it fails with
// ERROR_FOLDER_LOCKED when another program holds it (or it is stale and cannot be deleted),
// and with the system's error when it cannot be written; where the folder's directory takes
// no new file, it succeeds without (a folder we may only write to in place).  First it
// deletes what a process of ours on this machine that has ended left of its own while it made
// one (FOLDER.lock.HOST.PID.N).  Removing a stale one deletes only ours (it names its host,
// as a mail program's does not): a mail program's stale lock is for the next one that takes
// the lock to clear.  The calls are in store_files.h, through the folder's held directory.

// Puts a one-line text for a GetLastError() code into text; returns false when the system
// has none.  Ours, not the system's: it hides how each system words its messages.
bool DescribeError(DWORD code, char *text, std::size_t size);
// DescribeError's text for code, or "error N" where the system has none.
std::string ErrorText(DWORD code);

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

// --- Writing a file anew beside another, and the streams of the command line ---

// Holds back Ctrl-C, kill and hang-up while it lives, so that none lands between making a
// file and marking it for removal (RemoveOnInterrupt).  Natively the signals are blocked;
// Windows has no signal mask (its console's handler deletes the file on a thread of its
// own), and there it holds nothing.
class CInterruptsHeld {
public:
    CInterruptsHeld();
    ~CInterruptsHeld();  // NOLINT(performance-trivially-destructible): natively it restores the mask
    CInterruptsHeld(const CInterruptsHeld &) = delete;
    CInterruptsHeld &operator=(const CInterruptsHeld &) = delete;

private:
    alignas(8) unsigned char m_old[128];  // natively the signal mask before
    bool m_held = false;
};

// What a path names, asked without opening it, links followed (stat).
enum class EPathKind {
    MISSING,    // nothing there, or it cannot be asked
    FILE,       // a regular file
    DIRECTORY,
    PIPE,       // a pipe (FIFO)
    OTHER,      // a device, a socket
};
// The owner, group and permission bits of a file, to give another file (natively; Windows
// keeps none of them).
struct SFileOwner {
    std::uint32_t user = 0;
    std::uint32_t group = 0;
    std::uint32_t mode = 0;
};
// What path names, and where owner is given and it is there, its owner.
EPathKind KindOfPath(const char *path, SFileOwner *owner = nullptr);
// The owner of the file that stream reads.  False with the system's error.
bool OwnerOfStream(FILE *stream, SFileOwner &owner);
// Gives the new file that to writes owner's user and group, and its permission bits among
// modeBits, where the system lets us (a user may give a file only to a group of theirs),
// through the descriptor, not a name.  On Windows nothing, not even whether it is
// read-only: a temporary file that is could not be deleted should its rename fail.
void TakeOwnerAndMode(FILE *to, const SFileOwner &owner, unsigned modeBits);
// Gives the new file that to writes the permissions that a file made by a shell's
// redirection gets: read and write for all but what the umask takes away.  Nothing on
// Windows.
void GiveNewFileMode(FILE *to);

// The file that path names, following its symbolic links one by one, as a program that
// opened path would reach it (the last link may name a file still to be made).  special
// tells whether any step was in /dev or /proc (/dev/stdout names whatever our standard
// output is), or on Windows whether path is a device's name (NUL, CON): such a path is
// written as it stands.
std::string FollowLinks(const std::string &path, bool &special);

// True where a pipe that CreateFileA opened without waiting must be opened again as a
// reader opens it (ReopenPipeToRead): natively, where a FIFO that no program writes to yet
// would seem to end at once.  Windows opens a pipe as its reader already.
bool PipeNeedsReopening();
// Opens the pipe at path to read as a reader does, waiting for its writer, and takes it
// only when it is still the pipe that file holds open.  Null with the system's error
// (ERROR_NOT_A_FILE where another file was put at path).
FILE *ReopenPipeToRead(HANDLE file, const char *path);
// True when the last CreateFileA to write failed because the pipe at its path has no
// reader yet (natively ENXIO); never on Windows.
bool PipeHadNoReader();
// The size of the regular file that stream reads, or -1 where it is no file with a size
// (a pipe, a terminal).
long long StreamFileSize(FILE *stream);

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

// Has each of the n files, open for writing, on the disk, their lengths included.  Natively
// on Linux one syncfs for each file system they are on, so that a batch of new files costs
// one wait for the disk and not one each; elsewhere each is flushed in turn
// (FlushFileBuffers).  False when any flush fails: what was written may then never reach
// the disk.  Ours, not the system's.
bool FlushFiles(const HANDLE *files, std::size_t n);

// --- What the stores of mail (src/store/) need beyond the job's file calls ---
// Directories held open while what they hold is opened through them, the places and the
// lock of a mail program's profiles, and paths in the system's spelling.  Each system's
// side is in posix/ or win32/ directories_and_profiles.cpp.

// The system's path separator, and whether c is one (on Windows '/' is one too).
extern const char PATH_SEPARATOR;
bool IsPathSeparator(char c);
// dir and name joined by one separator.
std::string JoinPath(const std::string &dir, const std::string &name);
// The last name of path, separators at its end aside.
std::string BaseNameOf(std::string path);
// The directory of path, its separator at the end: "./" for a name alone.
std::string DirectoryOf(const std::string &path);

// A directory held open, so that the files it holds are opened through it rather than by a
// path that another user could meanwhile lead elsewhere (a directory on the way swapped for
// a link).  Natively a descriptor, with openat and its kin; on Windows a handle that shares
// no deletion, so that the directory cannot be renamed or deleted while it is held, and its
// files opened by their full wide path with no name normalisation.  No call here follows a
// link at the last step.
class CHeldDirectory {
public:
    // Opens the directory path names (links on the way followed: the user named it).
    // Null, with the system's error, where it cannot.
    static std::unique_ptr<CHeldDirectory> Open(const std::string &path);
    ~CHeldDirectory();
    CHeldDirectory(const CHeldDirectory &) = delete;
    CHeldDirectory &operator=(const CHeldDirectory &) = delete;

    // The path it was reached by, for messages and for the job, which opens folders by path.
    const std::string &Path() const { return m_path; }
    // name's path, for messages.
    std::string PathOf(const std::string &name) const { return JoinPath(m_path, name); }
    // name's path as the system takes it with no change: on Windows "\\?\" and the full
    // path, so that an entry named as Windows names a device ("Con") is that entry; elsewhere
    // PathOf.
    std::string ExactPathOf(const std::string &name) const;

    // Calls found for every entry but "." and "..", in the directory's own order; an entry
    // deleted while it is read is left out.  False when the directory cannot be read to its
    // end (GetLastError() says why; the entries read before were told).
    bool Read(void (*found)(const SDirectoryEntry &entry, void *context), void *context) const;
    // Opens the subdirectory name, never through a link.  Null with the system's error, or
    // with ERROR_NOT_THE_WALKED_FILE where name is now a link or not a directory.
    std::unique_ptr<CHeldDirectory> OpenSub(const std::string &name) const;
    // Opens the regular file name for reading (and writing with write), never through a
    // link and never waiting on a pipe or a device; where expected is given, only the very
    // file it names.  INVALID_HANDLE_VALUE with the system's error, or with
    // ERROR_NOT_THE_WALKED_FILE where name is now a link, not a regular file, or another
    // file than expected.  Readers and writers are not kept out.
    HANDLE OpenEntry(const std::string &name, bool write, const SFileIdentity *expected) const;
    // Opens the regular file name to rewrite it in place: for reading and writing, other
    // writers kept out (ERROR_SHARING_VIOLATION where one has it open), readers let in; never
    // through a link, never waiting on a pipe or a device; where expected is given, only the
    // very file it names.  INVALID_HANDLE_VALUE with the system's error, ERROR_NOT_A_FILE
    // where name is a directory, device or pipe, or ERROR_NOT_THE_WALKED_FILE where it is now
    // a link or another file than expected.
    HANDLE OpenToRewrite(const std::string &name, const SFileIdentity *expected) const;
    // Creates the new file name, only for its owner to read, never an existing one nor
    // what a link there names, sharing deletion.  INVALID_HANDLE_VALUE on failure.
    HANDLE CreateEntry(const std::string &name) const;
    // True when the directory holds an entry name, of whatever kind.
    bool Holds(const std::string &name) const;
    // Deletes the file name (never what a link names).  False with the system's error.
    bool DeleteEntry(const std::string &name) const;
    // Renames from's entry name over this directory's entry to, in one step where the file
    // system can, but only while to is there (ERROR_FILE_NOT_FOUND otherwise, from as it
    // was).  Natively on Linux the two are exchanged in one step and the old file, now at
    // from's name, is deleted (should that fail, it stays there).  Not flushed.
    bool Replace(const CHeldDirectory &from, const std::string &name, const std::string &to) const;
    // Renames from's entry name to this directory's new entry to, never over an existing
    // one (ERROR_FILE_EXISTS).
    bool MoveHere(const CHeldDirectory &from, const std::string &name, const std::string &to) const;
    // Gives from's file name a second name, this directory's new entry to (ERROR_FILE_EXISTS
    // where it is taken).  False with the system's error, ERROR_NOT_SUPPORTED where the file
    // system has no links (FAT).
    bool LinkHere(const CHeldDirectory &from, const std::string &name, const std::string &to) const;
    // Has the directory's names on the disk.  False with the system's error.
    bool Flush() const;
    // True when a rename in this directory's file system is one step that a power cut cannot
    // leave half done: false on FAT and exFAT, which write a rename as two.
    bool RenamesAtomically() const;

    // The system's handle of the directory, for the platform's own calls beside these.
    HANDLE Native() const { return m_handle; }

private:
    CHeldDirectory(HANDLE handle, std::string path) : m_handle(handle), m_path(std::move(path)) {}
    HANDLE m_handle;
    std::string m_path;
};

// The lock file that mail programs on Unix take beside a folder while they write to it,
// name + ".lock" in dir, as TakeFolderLockFile of platform.h describes it: made, judged
// stale and deleted only through the held directory, never by a path.  On Windows, whose
// mail programs know no such file, these take and find nothing.
bool TakeFolderLockFile(const CHeldDirectory &dir, const std::string &name, bool *taken);
bool ReleaseFolderLockFile(const CHeldDirectory &dir, const std::string &name);
bool RemoveStaleFolderLockFile(const CHeldDirectory &dir, const std::string &name);
bool IsStaleFolderLockFile(const CHeldDirectory &dir, const std::string &name, bool oursOnly);

// Gives to, a new file written in full, the times of from (KeepFileTime; natively its owner,
// group and permission bits too, where the system lets us: a user may give a file only to
// a group of theirs), through the handles.  Never the read-only attribute on Windows: a
// temporary file that has it could not be deleted should its rename fail.
void KeepFileMetadata(HANDLE from, HANDLE to);

// --- Thunderbird and Mozilla-suite profiles ---

// The directories that may hold profiles.ini, in the order they are tried: Thunderbird's,
// then the suite's (~/.thunderbird, %APPDATA%\Thunderbird, ~/Library/Thunderbird…).  False,
// with why, when the user's directory they lie in is unknown.
bool ProfilePlaces(std::string places[2], std::string &why);
// A path from profiles.ini as the system spells it (forward slashes are Windows' too).
std::string NativePath(const std::string &path);
bool IsAbsolutePath(const std::string &path);
bool IsDirectoryPath(const std::string &path);
// This process's id; and whether the process of this machine with id pid is running
// (true where that cannot be told, as where it is another user's).
unsigned long OwnProcessId();
bool IsProcessRunning(unsigned long pid);

// Puts the whole file at path into text.  False when it is missing (with error 0) or
// cannot be read (with the system's error).
bool ReadWholeFile(const std::string &path, std::string &text, DWORD &error);

enum class EProfileLock {
    FREE,     // no lock, or one whose process has ended
    HELD,     // a live process holds it: close Thunderbird first
    UNKNOWN,  // the lock could not be tested; detail says why
};
// True when dir holds the lock file of a profile (.parentlock, the lock link, or
// parent.lock), in use or not: it is a profile.
bool HoldsProfileLock(const std::string &dir);
// Whether a live process holds the profile in dir: on Linux and macOS the lock on
// .parentlock and the process that the lock link names, on Windows parent.lock opened
// without sharing.  A lock link of another machine's or of an ended process is stale, and
// FREE.  Nothing is locked or changed by asking.  detail names the lock file (and the
// process where it is known), whatever the answer.
EProfileLock ProfileLockState(const std::string &dir, std::string &detail);
