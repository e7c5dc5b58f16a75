// The words for what a walk over trees of mail did, and the progress line told of it.
#pragma once

#include <cstdio>

#include "progress.h"
#include "tree.h"

// Tells a tree's progress to a progress line.
class CTreeProgress : public ITreeProgress {
public:
    explicit CTreeProgress(CProgressLine &line) : m_line(line) {}
    void StartTree(std::uint64_t files, std::uint64_t bytes) override { m_line.StartTree(files, bytes); }
    void StartFile(const std::string &path) override { m_line.Start(path); }
    void FileDone(std::uint64_t size) override { m_line.FileDone(size); }
    void FinishTree() override { m_line.FinishTree(); }

private:
    CProgressLine &m_line;
};

// Tells err each thing the walk had to tell, in order (with quiet, only warnings and
// failures), and out what a check found that a conversion would do, as --check tells of a
// FILE (keepLabels as it tells it for --keep-labels); then out one summary line (with quiet,
// only where something failed).
void TellTreeReport(const STreeReport &report, bool quiet, FILE *out, FILE *err, bool keepLabels = false);
