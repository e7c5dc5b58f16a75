// A look at a file's ISO-2022-KR before converting it: how much there is, and what the
// decoder would have to guess at.
#pragma once

#include <cstddef>
#include <vector>

// Scans a file's bytes in order, in pieces of any size.  State is kept across pieces and
// belongs to one file; use a new scanner for each file.
class CShiftScanner {
public:
    // Scans the next bytes of the file.  readAsIso2022Kr: the conversion reads them as
    // ISO-2022-KR whatever came before (a text labelled so, which the relabelling decodes from
    // its first byte), so that SO and SI in them shift before any designator too.
    void Scan(const char *data, std::size_t size, bool readAsIso2022Kr = false);
    // Ends the file: a shifted run still open at its end is counted.
    void Finish();

    // Shifted runs with text in them: SO up to SI or the end of the line.
    long m_nPassages = 0;
    // Malformed sequences: SO or SI before any designator (where the bytes are not read as
    // ISO-2022-KR anyway), a shifted run of an odd number
    // of bytes, a byte outside 0x21-0x7E in shifted text (space and TAB aside, which the
    // decoder keeps as they are).
    long m_nMalformed = 0;
    // Line numbers, from 1, of the first few lines with a malformed sequence.
    std::vector<long> m_firstLines;

private:
    void EndRun();
    void Malformed();

    long m_line = 1;
    bool m_designatorSeen = false;
    int m_designatorMatched = 0;  // leading bytes of a designator seen so far
    bool m_shifted = false;
    bool m_pendingCR = false;     // a CR in shifted text: a line end if LF follows
    long m_runBytes = 0;          // bytes of the current shifted run, spaces and TABs aside
};
