// What the stores of mail (src/store/) need of the system beyond the job's file calls:
// directories held open while what they hold is opened through them, the places and the
// lock of a mail program's profiles, and paths in the system's spelling.  Ours, not the
// system's; each system's side is in posix/ or win32/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform.h"

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

    // Calls found for every entry but "." and "..", as ReadDirectory does.
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
    // Creates the new file name, only for its owner to read, never an existing one nor
    // what a link there names, sharing deletion.  INVALID_HANDLE_VALUE on failure.
    HANDLE CreateEntry(const std::string &name) const;
    // True when the directory holds an entry name, of whatever kind.
    bool Holds(const std::string &name) const;
    // Deletes the file name (never what a link names).  False with the system's error.
    bool DeleteEntry(const std::string &name) const;
    // Renames from's entry name over this directory's entry to, in one step where the file
    // system can, but only while to is there (ERROR_FILE_NOT_FOUND otherwise, from as it
    // was): ReplaceExistingFile through held directories.
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

private:
    CHeldDirectory(HANDLE handle, std::string path) : m_handle(handle), m_path(std::move(path)) {}
    HANDLE m_handle;
    std::string m_path;
};

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
