// Files written anew: each under a temporary name, then all of a batch flushed to the disk
// together, each renamed over the file it replaces, and each directory that changed
// flushed once.  Stopped at any point, every file is whole, old or new, and what is left
// under a temporary name is ours, for the next run to deal with (maildir.h names them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "store_files.h"

// A new file written in full, its handle still open, waiting to replace target; or, where
// replaced is given, to be given the new name target beside replaced, which then goes (a
// maildir message that a server knows by its name and size).
struct SNewFile {
    HANDLE held;
    std::shared_ptr<CHeldDirectory> tempDir;
    std::string temp;
    std::shared_ptr<CHeldDirectory> targetDir;
    std::string target;
    std::string replaced;
    std::int64_t change;  // how many bytes longer the new file is than the old
    std::shared_ptr<CHeldDirectory> quota;  // where a maildir's maildirsize is, or null
};

// What became of one file of a batch: replaced, or why not.
struct SReplaced {
    std::string target;  // its path
    bool replaced;
    bool gone;           // not replaced: target was renamed or deleted since it was read
    std::string what;    // not replaced: what could not be done, naming the temporary file
    DWORD error;         // not replaced: the system's reason, 0 for none
    std::int64_t change;  // replaced: its SNewFile's
    std::shared_ptr<CHeldDirectory> quota;  // its SNewFile's
    bool renamed;         // given a new name beside the old one (SNewFile's replaced given)
};

class CRewriteBatch {
public:
    // So many files, or so many bytes, make a batch full.
    static const std::size_t FILES = 256;
    static const std::uint64_t BYTES = std::uint64_t{64} << 20;

    CRewriteBatch() = default;
    CRewriteBatch(const CRewriteBatch &) = delete;
    CRewriteBatch &operator=(const CRewriteBatch &) = delete;
    // A batch not flushed deletes its temporary files.
    ~CRewriteBatch();

    // Takes file, of bytes bytes.
    void Add(SNewFile file, std::uint64_t bytes);
    bool Full() const { return m_files.size() >= FILES || m_bytes >= BYTES; }
    bool Empty() const { return m_files.empty(); }
    // Deletes the new files, replacing nothing.
    void Discard();
    // Flushes the new files, renames each over its target, then flushes each directory
    // that changed; a directory that cannot be flushed is told in flushFailed (its path and why).
    // Returns what became of each file, in the order they came.
    std::vector<SReplaced> Flush(std::vector<std::pair<std::string, DWORD>> &flushFailed);

private:
    std::vector<SNewFile> m_files;
    std::uint64_t m_bytes = 0;
};
