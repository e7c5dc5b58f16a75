// The command-line converter's progress line: how far a long job on one file has come.
//
// One line on a terminal, redrawn in place and erased at the end, as pv and curl draw
// theirs, so that nothing of it stays in the scrollback or reaches a file or a pipe.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "front_end.h"

// Draws the progress of one job at a time on a terminal: the file, the share of its bytes
// read (where its size is known), the speed and the time left, once the job has run for a
// second, at most four times a second.  Feed it from the converter's reads (Advance); it
// never reads or moves a stream itself.
class CProgressLine {
public:
    // Draws on to, which the caller has found to be a terminal; null draws nothing.
    explicit CProgressLine(FILE *to) : m_to(to) {}
    ~CProgressLine() { Finish(); }
    CProgressLine(const CProgressLine &) = delete;
    CProgressLine &operator=(const CProgressLine &) = delete;

    // A job on the file called name starts: its first second is not shown.
    void Start(const std::string &name);
    // The converter has read bytesRead bytes of in since it began reading in (a job may
    // read more than one stream: an interrupted job's, then its own).  The size is the
    // rest of in's file from where reading began; a pipe's is not known.
    void Advance(FILE *in, std::uint64_t bytesRead);
    // The job ended: the line, if drawn, is erased.
    void Finish();

    // A job over a tree of files starts: files files, of bytes bytes in all, as the walk
    // measured them.  Until FinishTree, one line tells of them all: Start only names the
    // file at hand, Finish leaves the line, and FileDone counts the file as done, its size
    // as measured, whatever was read of it.
    void StartTree(std::uint64_t files, std::uint64_t bytes);
    void FileDone(std::uint64_t size);
    void FinishTree();

private:
    typedef std::chrono::steady_clock Clock;
    void Draw(Clock::time_point now);

    FILE *m_to;
    std::string m_name;
    bool m_running = false;
    Clock::time_point m_started, m_lastDrawn;
    FILE *m_in = nullptr;              // the stream being read, and since when
    Clock::time_point m_inSince;
    std::uint64_t m_read = 0;          // bytes of m_in read so far
    std::uint64_t m_total = 0;         // bytes of m_in to read, 0 where not known
    std::uint64_t m_lookedAt = 0;      // m_read when the clock was last looked at
    std::size_t m_drawn = 0;           // width of the line on the terminal, 0 when none is
    bool m_tree = false;               // between StartTree and FinishTree
    std::uint64_t m_treeFiles = 0, m_treeBytes = 0;  // the tree's, as measured
    std::uint64_t m_filesDone = 0, m_bytesDone = 0;  // of the files done
};

// A ProgressHook (convert.h) that advances the CProgressLine that context points to.
void AdvanceProgress(FILE *in, std::uint64_t bytesRead, void *context);
