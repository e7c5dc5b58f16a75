// The search for where the conversion first changes a folder, so that the job copies and
// rewrites nothing before it.
#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "from_line.h"
#include "iso2022kr.h"
#include "job_internal.h"
#include "label_rules.h"
#include "platform.h"
#include "write_anew.h"

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

// The bytes that the job's search stops at, and what each is checked for.
enum EKind { KIND_ESC, KIND_LINE_END, KIND_NAME, KIND_EXTENDED, KIND_ESCAPED, KINDS };

// The first position in [from, to) of buffer where the conversion may change something:
// a designator, a line end that the platform writes otherwise (LineEndChanges), and where
// labels is set what may be a label or encoded word naming ISO-2022-KR, which the
// relabelling renames (the name in either spelling, any case, where a label has it; an
// RFC 2231 charset parameter; a quoted pair among a name's characters); or to.  *sure tells whether the
// conversion changes it for certain: a line end always, a designator unless labels is set
// (the relabelling keeps the bytes of a part that is not text), a name never (it may stand
// in text).  The buffer holds n bytes, those of a designator or name that starts before to
// among them, and ESCAPED_NAME_SIZE before from.
std::size_t FirstChange(const unsigned char *buffer, std::size_t from, std::size_t to, std::size_t n, bool labels,
                        bool *sure)
{
    const unsigned char bytes[KINDS] = {ESC, LINE_END_MARK, '2', '*', BACKSLASH};
    const int kinds = labels ? KINDS : KIND_NAME;
    // Each byte looked for once: the next of each kind kept until passed.
    std::size_t next[KINDS] = {};
    for (int k = 0; k < kinds; ++k)
        next[k] = FindByte(buffer, from, to, bytes[k]);
    for (;;) {
        int k = 0;
        for (int other = 1; other < kinds; ++other) {
            if (next[other] < next[k])
                k = other;
        }
        std::size_t i = next[k];
        if (i >= to)
            return to;
        bool change = false;
        switch (k) {
        case KIND_ESC:
            change = n - i >= DESIGNATOR_SIZE && std::memcmp(buffer + i, DESIGNATOR, DESIGNATOR_SIZE) == 0;
            break;
        case KIND_LINE_END:
            change = LineEndChanges(buffer, i, n);
            break;
        case KIND_NAME:
            change = NameAt(buffer, i, n);
            break;
        case KIND_EXTENDED:
            change = ExtendedCharsetAt(buffer, i);
            break;
        default:
            change = EscapedNameAround(buffer, i, n);
            break;
        }
        if (change) {
            *sure = k == KIND_LINE_END || (k == KIND_ESC && !labels);
            return i;
        }
        next[k] = FindByte(buffer, i + 1, to, bytes[k]);
    }
}

// Whether buffer[at] (of n bytes) starts an mbox mail: a dated "From " line after an empty
// line, as the relabelling reads a folder (a line cut by the buffer's end is taken for none).
bool StartsMail(const unsigned char *buffer, std::size_t at, std::size_t n)
{
    static const char FROM[] = "From ";
    if (!(at >= 2 && at + sizeof FROM - 1 <= n && buffer[at - 1] == LF &&
          std::memcmp(buffer + at, FROM, sizeof FROM - 1) == 0 &&
          (buffer[at - 2] == LF || (at >= 3 && buffer[at - 2] == CR && buffer[at - 3] == LF))))
        return false;
    const void *lf = std::memchr(buffer + at, LF, n - at);
    std::size_t end = lf != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char *>(lf) - buffer) : n;
    return IsDatedFromLine(std::string_view(reinterpret_cast<const char *>(buffer + at), end - at));
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

namespace {

// The first SO in [from, to) of folder that shifts a character in (two bytes of KS C 5601's
// rows and columns after it), and before any designator; to where there is none, or a
// designator comes first.  False when reading fails.
bool FirstShift(HANDLE folder, std::uint64_t from, std::uint64_t to, std::uint64_t *shiftAt)
{
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    const std::size_t OVERLAP = DESIGNATOR_SIZE;
    *shiftAt = to;
    for (std::uint64_t at = from; at < to;) {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(to - at + OVERLAP, STREAM_BUFFER_SIZE));
        if (!Seek(folder, at) || !ReadFully(folder, g_inBuffer, want, &n))
            return false;
        const unsigned char *designator = std::search(buffer, buffer + n, DESIGNATOR, DESIGNATOR + DESIGNATOR_SIZE);
        for (std::size_t so = FindByte(buffer, 0, n, SO); so + 2 < n && buffer + so < designator;
             so = FindByte(buffer, so + 1, n, SO)) {
            if (buffer[so + 1] >= 0x21 && buffer[so + 1] <= 0x7E && buffer[so + 2] >= 0x21 && buffer[so + 2] <= 0x7E) {
                *shiftAt = std::min(to, at + so);
                return true;
            }
        }
        if (designator < buffer + n || n < want || n <= OVERLAP)
            return true;
        at += n - OVERLAP;
    }
    return true;
}

}  // namespace

bool LooksHalfWritten(HANDLE folder, std::uint64_t start)
{
    // A stopped rewrite leaves the copy's rest from where it stopped, a mail or so before
    // where the conversion starts again (the next designator), or just after it (the next
    // line end that the conversion changes).
    const std::uint64_t LOOKED_AT = 4 * STREAM_BUFFER_SIZE;
    std::uint64_t from = start > LOOKED_AT ? start - LOOKED_AT : 0, shiftAt = 0;
    if (!FirstShift(folder, from, start, &shiftAt))
        return false;
    if (shiftAt == start && (!FirstShift(folder, start, start + LOOKED_AT, &shiftAt) || shiftAt == start + LOOKED_AT))
        return false;
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    DWORD n = 0;
    for (std::uint64_t at = 0; at < shiftAt; at += n) {
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(shiftAt - at, STREAM_BUFFER_SIZE));
        if (!Seek(folder, at) || !ReadFully(folder, g_inBuffer, want, &n) || n == 0)
            return false;
        if (std::any_of(buffer, buffer + n, [](unsigned char b) { return b >= 0x80; }))
            return true;
    }
    return false;
}

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
        bool sure = false;
        std::size_t change = FirstChange(buffer, from, to, n, false, &sure);
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

namespace {

// The start of the first mail after offset at in folder: a "From " line after an empty
// line; the folder's end when none follows.  False when reading fails.
bool NextMailStart(HANDLE folder, std::uint64_t at, std::uint64_t *next)
{
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    // Each read with the empty line before a From line, and "From " after its "F".
    const std::size_t BEFORE = 3, AFTER = 4;
    for (std::uint64_t pos = at + 1;;) {
        std::uint64_t readAt = pos >= BEFORE ? pos - BEFORE : 0;
        DWORD n = 0;
        if (!Seek(folder, readAt) || !ReadFully(folder, g_inBuffer, STREAM_BUFFER_SIZE, &n))
            return false;
        bool last = n < STREAM_BUFFER_SIZE;
        std::size_t to = last ? n : n - AFTER;
        for (std::size_t i = FindByte(buffer, static_cast<std::size_t>(pos - readAt), to, 'F'); i < to;
             i = FindByte(buffer, i + 1, to, 'F')) {
            if (StartsMail(buffer, i, n)) {
                *next = readAt + i;
                return true;
            }
        }
        if (last) {
            *next = readAt + n;
            return true;
        }
        pos = readAt + to;
    }
}

// Copies folder's bytes [from, to) to the start of file, and adds those from summed on to
// *sum.  False when reading or writing fails; *fileFailed then says whether file failed.
bool CopyRange(HANDLE folder, std::uint64_t from, std::uint64_t to, HANDLE file, std::uint64_t summed,
               SChecksum *sum, bool *fileFailed)
{
    *fileFailed = false;
    if (!Seek(folder, from))
        return false;
    for (std::uint64_t at = from; at < to;) {
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(to - at, STREAM_BUFFER_SIZE));
        DWORD got = 0;
        if (!ReadFully(folder, g_inBuffer, want, &got))
            return false;
        if (got < want) {
            SetLastError(ERROR_COPY_NOT_WHOLE);
            return false;
        }
        if (!WriteWhole(file, g_inBuffer, got)) {
            *fileFailed = true;
            return false;
        }
        if (at + got > summed) {
            std::size_t skip = at < summed ? static_cast<std::size_t>(summed - at) : 0;
            sum->Add(g_inBuffer + skip, got - skip);
        }
        at += got;
    }
    return true;
}

// Whether file holds exactly the n bytes of folder from offset at.  False in *same too when
// reading fails.
bool HoldsRange(HANDLE file, HANDLE folder, std::uint64_t at, std::uint64_t n, bool *same)
{
    *same = false;
    SFileIdentity id;
    if (!GetFileIdentity(file, &id))
        return false;
    if (id.size != n)
        return true;
    if (!SeekBoth(file, 0, folder, at))
        return false;
    for (std::uint64_t done = 0; done < n;) {
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(n - done, STREAM_BUFFER_SIZE));
        DWORD a = 0, b = 0;
        if (!ReadFully(file, g_inBuffer, want, &a) || !ReadFully(folder, g_outBuffer, want, &b))
            return false;
        if (a != want || b != want || std::memcmp(g_inBuffer, g_outBuffer, want) != 0)
            return true;
        done += want;
    }
    *same = true;
    return true;
}

// Whether convert changes the mail of folder that starts at mail and holds the byte at
// (or, where the folder does not start with a mail, the folder whole), converted apart as
// the job converts from a mail's start: into a scratch file of the job, from a copy of the
// mail there or from the folder itself when the mail is its last, and compared.  *end gets
// where the mail ends; *sum takes in its bytes from summed (at mail or after it) to there.
// The scratch files are deleted.  False when reading, writing or converting fails, with the
// state directory blamed where its files failed.
bool ConvertsToOther(SJob &job, StreamConverter convert, std::uint64_t mail, std::uint64_t at, bool mbox,
                     std::uint64_t summed, SChecksum *sum, std::uint64_t *end, bool *changes)
{
    *changes = true;
    *end = job.id.size;
    if (mbox && !NextMailStart(job.folder, at, end))
        return false;
    SJobFiles files;
    char base[PATH_SIZE];
    bool stateFailed = true;
    bool ok = MakeJobBase(job.id, 0, true, base, sizeof base) && MakeJobFiles(job.stateDir, base, &files);
    HANDLE copy = INVALID_HANDLE_VALUE, converted = INVALID_HANDLE_VALUE;
    // Only a mail that some other follows needs a copy of its own to end where it ends.
    bool whole = *end >= job.id.size;
    if (ok && !whole) {
        copy = CreateJobFile(files.copy);
        ok = copy != INVALID_HANDLE_VALUE && CopyRange(job.folder, mail, *end, copy, summed, sum, &stateFailed);
    }
    if (ok) {
        stateFailed = true;
        converted = CreateJobFile(files.scratch);
        ok = converted != INVALID_HANDLE_VALUE;
    }
    if (ok) {
        stateFailed = false;
        HANDLE in = whole ? job.folder : copy;
        ok = Seek(in, whole ? mail : 0) &&
             ConvertAndClose(OpenHandleStream(in, "rb"), OpenHandleStream(converted, "wb"), convert);
    }
    bool same = false;
    ok = ok && HoldsRange(converted, job.folder, mail, *end - mail, &same);
    *changes = !same;
    DWORD error = GetLastError();
    if (!ok && stateFailed) {
        job.result->stateDirectoryAtFault = true;
        CopyText(job.result->stateDirectory, job.stateDir);
    }
    CloseIfOpen(copy);
    CloseIfOpen(converted);
    DeleteQuietly(files.copy);
    DeleteQuietly(files.scratch);
    SetLastError(error);
    return ok;
}

// Whether a "From " line starts at offset at of folder (size bytes), or the folder ends
// there.  False in *ok too when reading fails.
bool FromLineOrEndAt(HANDLE folder, std::uint64_t size, std::uint64_t at, bool *ok)
{
    static const char FROM[] = "From ";
    char ahead[sizeof FROM - 1];
    DWORD n = 0;
    *ok = at >= size || (Seek(folder, at) && ReadFully(folder, ahead, sizeof ahead, &n));
    return *ok && (at == size || (n == sizeof ahead && std::memcmp(ahead, FROM, sizeof ahead) == 0));
}

// Where the mail of folder (size bytes) that holds the "From " line at at starts, as the
// relabelling reads the folder: at, or, where that line lies in the body of the mail before
// it and that mail's Content-Length delimits its body past it (an mboxcl2 folder quotes no
// such line), that mail's start, and so on back.  False when reading fails.
bool MailAround(HANDLE folder, std::uint64_t size, std::uint64_t at, std::uint64_t *start)
{
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    *start = at;
    while (*start > 0) {
        // The mail before: the last one that starts before this one, a read at a time back.
        std::uint64_t before = 0, to = *start;
        bool found = false;
        while (!found && to > 0) {
            std::uint64_t from = to > STREAM_BUFFER_SIZE ? to - STREAM_BUFFER_SIZE : 0;
            DWORD n = 0;
            if (!Seek(folder, from) || !ReadFully(folder, g_inBuffer, static_cast<DWORD>(to - from), &n))
                return false;
            std::size_t i = LastMailStart(buffer, 0, n, n);
            found = i < n;
            before = found ? from + i : 0;
            // A line cut by the read's start may be a From line: the next read takes it whole.
            to = from == 0 ? 0 : from + std::min<std::uint64_t>(n, 256);
            if (to >= *start)
                to = from;
        }
        // Its header, up to the empty line that ends it, for its Content-Length.
        DWORD n = 0;
        if (!Seek(folder, before) || !ReadFully(folder, g_inBuffer, STREAM_BUFFER_SIZE, &n))
            return false;
        if (n < 5 || std::memcmp(buffer, "From ", 5) != 0)
            return true;
        std::string_view header(reinterpret_cast<const char *>(buffer), n);
        long long length = -1;
        std::size_t line = header.find(LF);
        for (line = line == std::string_view::npos ? n : line + 1; line < n;) {
            std::size_t end = header.find(LF, line);
            end = end == std::string_view::npos ? n : end + 1;
            std::string_view text = header.substr(line, end - line);
            line = end;
            if (text == "\n" || text == "\r\n")
                break;
            if (length < 0)
                length = ContentLengthLine(text);
        }
        bool ok = true;
        std::uint64_t next = before + line + static_cast<std::uint64_t>(length) + 1;
        if (length < 0 || next <= *start || !FromLineOrEndAt(folder, size, next, &ok))
            return ok;
        *start = before;
    }
    return true;
}

// Puts the checksum of folder's bytes [0, to) into *sum.  False when reading fails.
bool SumFront(HANDLE folder, std::uint64_t to, SChecksum *sum)
{
    *sum = SChecksum();
    for (std::uint64_t at = 0; at < to;) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(to - at, STREAM_BUFFER_SIZE));
        if (!Seek(folder, at) || !ReadFully(folder, g_inBuffer, want, &got) || got != want)
            return false;
        sum->Add(g_inBuffer, got);
        at += got;
    }
    return true;
}

}  // namespace

bool FindFirstMailChange(SJob &job, StreamConverter convert, std::uint64_t *mailStart, SChecksum *front)
{
    static const char FROM[] = "From ";
    const std::size_t FROM_SIZE = sizeof FROM - 1;
    // Each read with the bytes before it, for an empty line before a From line, a CR before
    // an LF and a name around a mark, and those after it, for a designator, a name or a From
    // line across its edge.
    const std::size_t BEFORE = ESCAPED_NAME_SIZE, AFTER = ESCAPED_NAME_SIZE;
    const unsigned char *buffer = reinterpret_cast<const unsigned char *>(g_inBuffer);
    HANDLE folder = job.folder;
    const std::uint64_t size = job.id.size;
    // running: the checksum of [0, summed); *front, of [0, mail).
    SChecksum running;
    *front = SChecksum();
    std::uint64_t mail = 0, summed = 0;
    bool mbox = false;
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
        bool sure = false;
        std::size_t change = FirstChange(buffer, from, to, n, true, &sure);
        bool found = change < to;
        // The last mail that starts before the change, or in the read.
        std::size_t start = mbox ? LastMailStart(buffer, from, found ? change + 1 : to, n) : to;
        if (start < to && (!found || start <= change)) {
            running.Add(buffer + (summed - base), static_cast<std::size_t>(base + start - summed));
            summed = mail = base + start;
            *front = running;
        }
        if (found) {
            // A folder that does not start with a mail is read as one piece.
            if (!mbox)
                *front = SChecksum();
            bool changes = true;
            std::uint64_t end = size;
            if (!sure && !ConvertsToOther(job, convert, mail, base + change, mbox, summed, &running, &end, &changes))
                return false;
            if (changes && mbox) {
                // A From line in a body that a Content-Length delimits starts no mail: the
                // mail around it is converted whole, and the bytes before it summed again.
                std::uint64_t around = mail;
                if (!MailAround(folder, size, mail, &around))
                    return false;
                if (around < mail && !SumFront(folder, around, front))
                    return false;
                mail = around;
            }
            if (changes || end >= size) {
                *mailStart = changes ? mail : size;
                return true;
            }
            // What looked like a change is none: the search goes on at the next mail, the
            // bytes up to it summed meanwhile.
            summed = mail = end;
            *front = running;
            if (!Seek(folder, end))
                return false;
            base = end;
            kept = from = 0;
            continue;
        }
        if (last) {
            *mailStart = size;  // nothing to change
            return true;
        }
        running.Add(buffer + (summed - base), static_cast<std::size_t>(base + to - summed));
        summed = base + to;
        std::size_t keepFrom = to - BEFORE;
        std::memmove(g_inBuffer, g_inBuffer + keepFrom, n - keepFrom);
        kept = n - keepFrom;
        base += keepFrom;
        from = BEFORE;
    }
}
