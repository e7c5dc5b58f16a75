// The search for where the conversion first changes a folder, so that the job copies and
// rewrites nothing before it.
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "iso2022kr.h"
#include "job_internal.h"
#include "platform.h"

namespace {

// Where the platform's line end is CR LF, a bare LF is written longer; where it is LF, a
// CR LF is written shorter.  Either way the decoder writes every other byte as it reads it
// until the first designator.
constexpr bool CRLF_LINE_END = PLATFORM_LINE_END[0] == '\r';
constexpr unsigned char LINE_END_MARK = CRLF_LINE_END ? LF : CR;

// Whether the LINE_END_MARK at buffer[at] (of n bytes) is a line end the decoder changes.
bool LineEndChanges(const unsigned char *buffer, std::size_t at, std::size_t n)
{
    if (CRLF_LINE_END)
        return at == 0 || buffer[at - 1] != CR;
    return at + 1 < n && buffer[at + 1] == LF;
}

// The first position in [from, to) of buffer that holds byte, or to.
std::size_t FindByte(const unsigned char *buffer, std::size_t from, std::size_t to, unsigned char byte)
{
    const void *found = std::memchr(buffer + from, byte, to - from);
    return found != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char *>(found) - buffer) : to;
}

// The first position in [from, to) of buffer where the conversion may change something: a
// designator, a line end that the platform writes otherwise (LineEndChanges), and where
// mark is set the mark "2022" that every label or encoded word naming ISO-2022-KR holds,
// which the relabelling changes; or to.  The buffer holds n bytes, those of a designator
// or mark that starts before to among them.
std::size_t FirstChange(const unsigned char *buffer, std::size_t from, std::size_t to, std::size_t n, bool mark)
{
    static const char MARK[] = "2022";
    const unsigned char kinds[] = {ESC, LINE_END_MARK, '2'};
    // Each byte looked for once: the next of each kind kept until passed.
    std::size_t next[3];
    for (int k = 0; k < 3; ++k)
        next[k] = k < 2 || mark ? FindByte(buffer, from, to, kinds[k]) : to;
    for (;;) {
        int k = next[0] <= next[1] && next[0] <= next[2] ? 0 : next[1] <= next[2] ? 1 : 2;
        std::size_t i = next[k];
        if (i >= to)
            return to;
        bool change = k == 0   ? n - i >= DESIGNATOR_SIZE && std::memcmp(buffer + i, DESIGNATOR, DESIGNATOR_SIZE) == 0
                      : k == 1 ? LineEndChanges(buffer, i, n)
                               : i + sizeof MARK - 1 <= n && std::memcmp(buffer + i, MARK, sizeof MARK - 1) == 0;
        if (change)
            return i;
        next[k] = FindByte(buffer, i + 1, to, kinds[k]);
    }
}

// Whether buffer[at] (of n bytes) starts an mbox mail: a "From " line after an empty line.
bool StartsMail(const unsigned char *buffer, std::size_t at, std::size_t n)
{
    static const char FROM[] = "From ";
    return at >= 2 && at + sizeof FROM - 1 <= n && buffer[at - 1] == LF &&
           std::memcmp(buffer + at, FROM, sizeof FROM - 1) == 0 &&
           (buffer[at - 2] == LF || (at >= 3 && buffer[at - 2] == CR && buffer[at - 3] == LF));
}

// The last position in [from, to) of buffer (of n bytes) where a mail starts, or to.  From
// the end backwards, sixteen bytes at a time where it can: most of a read holds none.
std::size_t LastMailStart(const unsigned char *buffer, std::size_t from, std::size_t to, std::size_t n)
{
    std::size_t i = to;
#ifdef __SSE2__
    const __m128i lf = _mm_set1_epi8(LF), f = _mm_set1_epi8('F');
    // Blocks of [i - 16, i), each with the byte before it.
    for (; i >= from + 17; i -= 16) {
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buffer + i - 16));
        __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buffer + i - 17));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(b, f), _mm_cmpeq_epi8(before, lf))));
        for (; mask != 0; mask &= ~(1u << (31 - __builtin_clz(mask)))) {
            std::size_t at = i - 16 + static_cast<std::size_t>(31 - __builtin_clz(mask));
            if (StartsMail(buffer, at, n))
                return at;
        }
    }
#endif
    while (i > from) {
        --i;
        if (buffer[i] == 'F' && StartsMail(buffer, i, n))
            return i;
    }
    return to;
}

}  // namespace

bool FindFirstChange(HANDLE folder, std::uint64_t *lineStart, SChecksum *front)
{
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    std::uint64_t at = 0, line = 0;
    // The checksum of the folder up to the bytes that this read looks at first.
    SChecksum before;
    for (;;) {
        DWORD n = 0;
        if (!Seek(folder, at) || !ReadFully(folder, g_inBuffer, STREAM_BUFFER_SIZE, &n))
            return false;
        bool last = n < STREAM_BUFFER_SIZE;
        // The bytes looked at: one before for a CR LF, three after for a designator.
        std::size_t from = at == 0 ? 0 : 1, to = last ? n : n - 3;
        std::size_t change = FirstChange(buffer, from, to, n, false);
        // The line it is on starts after the last LF before it.
        for (std::size_t i = change; i > from; --i) {
            if (buffer[i - 1] == LF) {
                line = at + i;
                break;
            }
        }
        if (change < to || last) {
            *lineStart = change < to ? line : at + n;
            if (*lineStart == at + n)
                return true;
            // The line starts in this read, as lines of less than a read do; or before it.
            if (*lineStart >= at + from) {
                *front = before;
                front->Add(buffer + from, static_cast<std::size_t>(*lineStart - at - from));
                return true;
            }
            *front = SChecksum();
            return ChecksumRange(folder, 0, *lineStart, front);
        }
        before.Add(buffer + from, to - from);
        at += to - 1;
    }
}

bool FindFirstMailChange(HANDLE folder, std::uint64_t size, std::uint64_t *mailStart, SChecksum *front)
{
    static const char FROM[] = "From ";
    const std::size_t FROM_SIZE = sizeof FROM - 1;
    // Each read with the bytes before it, for an empty line before a From line and a CR
    // before an LF, and those after it, for a designator, a mark or a From line across its
    // edge.
    const std::size_t BEFORE = 4, AFTER = 8;
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    // running: the checksum of [0, summed); *front, of [0, mail).
    SChecksum running;
    *front = SChecksum();
    std::uint64_t mail = 0, summed = 0;
    bool mbox = false, found = false;
    // The folder read straight through: buffer[0] is its byte base, and each read goes after
    // the bytes kept from the one before.
    std::uint64_t base = 0;
    std::size_t kept = 0, from = 0;
    if (!Seek(folder, 0))
        return false;
    for (;;) {
        DWORD got = 0;
        if (!ReadFully(folder, g_inBuffer + kept, static_cast<DWORD>(STREAM_BUFFER_SIZE - kept), &got))
            return false;
        std::size_t n = kept + got;
        bool last = n < STREAM_BUFFER_SIZE;
        std::size_t to = last ? n : n - AFTER;
        if (base == 0 && kept == 0)
            mbox = n >= FROM_SIZE && std::memcmp(buffer, FROM, FROM_SIZE) == 0;
        std::size_t change = FirstChange(buffer, from, to, n, true);
        found = change < to;
        // The last mail that starts before the change, or in the read.
        std::size_t start = mbox ? LastMailStart(buffer, from, found ? change + 1 : to, n) : to;
        if (start < to && (!found || start <= change)) {
            running.Add(buffer + (summed - base), static_cast<std::size_t>(base + start - summed));
            summed = mail = base + start;
            *front = running;
        }
        if (found || last)
            break;
        running.Add(buffer + (summed - base), static_cast<std::size_t>(base + to - summed));
        summed = base + to;
        std::size_t keepFrom = to - BEFORE;
        std::memmove(g_inBuffer, g_inBuffer + keepFrom, n - keepFrom);
        kept = n - keepFrom;
        base += keepFrom;
        from = BEFORE;
    }
    if (!found) {
        *mailStart = size;  // nothing to change
    } else if (!mbox) {
        *mailStart = 0;
        *front = SChecksum();
    } else {
        *mailStart = mail;
    }
    return true;
}
