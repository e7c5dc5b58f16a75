// Reads, copies, compares and measures files in pieces, through their handles: a store never
// holds a whole message in memory.
#pragma once

#include <cstdint>
#include <string>

#include "convert.h"
#include "store_files.h"
#include "work_sniffer.h"

// What a conversion of some bytes would give, written nowhere.
struct SMeasured {
    std::uint64_t size = 0;      // its size
    std::uint64_t crlfSize = 0;  // its size with every line end counted as CR LF
    bool changed = false;        // whether it differs from the bytes converted
};

// Reads up to n bytes of file at its position into buffer; the number read, or -1 on failure.
long long ReadSome(HANDLE file, char *buffer, std::size_t n);
// Moves file's position to at.  False on failure.
bool SeekFile(HANDLE file, std::uint64_t at);
// Sniffs n bytes of file from at (to its end where n is all), in pieces.  False on a read
// failure.
bool SniffRange(HANDLE file, std::uint64_t at, std::uint64_t n, CWorkSniffer &sniffer);
// Copies n bytes of from at fromAt to to's position (to from's end where n is all).  False
// on failure.
bool CopyRange(HANDLE from, std::uint64_t fromAt, std::uint64_t n, HANDLE to);
// True when a and b, both read from their starts, hold the same bytes.  False too on a read
// failure, which the caller meets again when it goes on.
bool SameBytes(HANDLE a, HANDLE b);
// The size of file, and its size with every line end counted as CR LF, as IMAP servers
// count a message's.  False on a read failure.
bool Sizes(HANDLE file, std::uint64_t &size, std::uint64_t &crlfSize);
// Converts n bytes of from, from at (to its end where n is all), with convert, into a pipe
// that is read on another thread, measuring what comes through it and comparing it with
// the same bytes read through original, a second handle on the file with a position of its
// own.  Where they are not the whole file, a third thread feeds them to the converter
// through a pipe of their own.  Nothing is written to a disk.  False on failure, with the
// system's error.
bool MeasureConversion(StreamConverter convert, HANDLE from, HANDLE original, std::uint64_t at, std::uint64_t n,
                       SMeasured &measured);
