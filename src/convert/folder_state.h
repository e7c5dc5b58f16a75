// What an interrupted rewrite can have left in a folder, told byte for byte, and the file
// reading the job shares for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// Buffers for the job's two streams, big enough for many pieces per system call; while no
// stream is open, the job's own copying and comparing use them.  One job at a time.
const std::size_t STREAM_BUFFER_SIZE = std::size_t{64} * 1024;
extern char g_inBuffer[STREAM_BUFFER_SIZE];
extern char g_outBuffer[STREAM_BUFFER_SIZE];

// Puts the file's position at offset.
bool Seek(HANDLE file, std::uint64_t offset);
// Reads size bytes into buffer, fewer only at the end of the file; *done says how many.
bool ReadFully(HANDLE file, char *buffer, DWORD size, DWORD *done);

// A conversion made again as it is read (job_internal.h), and its reading: up to size bytes
// at offset, *done fewer only at its end.
class CConvertedBytes;
bool ReadConverted(CConvertedBytes &bytes, std::uint64_t offset, char *buffer, DWORD size, DWORD *done);

// Bytes made of runs of files, one after the other: the copy, then the mail appended since.
// A run of a conversion made again as it is read has no file.
struct SBytes {
    struct SRun {
        HANDLE file;
        std::uint64_t at;
        std::uint64_t length;
        CConvertedBytes *converted;
    };
    SRun runs[3];
    int count = 0;

    void Add(HANDLE file, std::uint64_t at, std::uint64_t length);
    void Add(CConvertedBytes *converted, std::uint64_t length);
    std::uint64_t Length() const;
};

// Reads up to size bytes of bytes at offset into buffer; *done is fewer only at their end.
bool ReadBytes(const SBytes &bytes, std::uint64_t offset, char *buffer, DWORD size, DWORD *done);

// Writes bytes over file from offset at, cuts the file there and flushes it; where they end
// past the file's end, the file is first made that long, in one step.
bool WriteBytesOver(HANDLE file, std::uint64_t at, const SBytes &bytes);

// What a folder holds from the rewrite's start, against the bytes the rewrite replaced
// (from) and the bytes it wrote (to), both whole.
struct SFolderState {
    bool asLeft;               // as the rewrite can have left it: to's first bytes, then from's
                               // rest (or to whole, cut to its length), then mail appended
    std::uint64_t appendedAt;  // where, from the start, the mail appended since begins (the
                               // folder's length when none was)
    std::uint64_t differsAt;   // otherwise, where, from the start, it is neither
};
// Reads folder from start to its length size and tells what it holds, for a rewrite by
// WriteBytesOver: from's length or to's, each byte to's, from's or, from zeroFrom on (where
// the folder was first made longer), a NUL; the mail appended begins at that length.  A
// folder cut shorter than any rewrite leaves it is not as left.  False when reading fails.
bool ReadFolderState(HANDLE folder, std::uint64_t start, std::uint64_t size, const SBytes &from, const SBytes &to,
                     std::uint64_t zeroFrom, SFolderState *state);
// The mail of the folder that holds the byte at offset: its From line and its Date: and
// Subject: fields, each "" where there is none (or the mail starts too far back to look).
struct SMailLines {
    char from[160];
    char date[160];
    char subject[160];
};
bool FindMailLines(HANDLE folder, std::uint64_t offset, SMailLines *lines);
