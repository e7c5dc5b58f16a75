// What an interrupted rewrite can have left in a folder, told byte for byte.
//
// The rewrite first makes the folder as long as the bytes it writes (to) where they are
// longer than those it replaces (from), then writes them over the folder from its start and
// cuts the folder to their length.  So the folder, stopped anywhere, is as long as from or
// as long as to, never between, and each byte of it is to's, from's, or a NUL of the
// lengthening not yet written over; a mail program may then have appended mail, which
// begins at one of those two lengths.  Anything else means the folder was changed in place,
// or is another file.  The rewrites of earlier builds wrote without lengthening first, so
// that the folder could stop anywhere past from's end: where their mail appended begins is
// guessed from its From line.
#include "folder_state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

char g_inBuffer[STREAM_BUFFER_SIZE];
char g_outBuffer[STREAM_BUFFER_SIZE];

bool Seek(HANDLE file, std::uint64_t offset)
{
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(0);
    DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
    return low != INVALID_SET_FILE_POINTER || GetLastError() == 0;
}

bool ReadFully(HANDLE file, char *buffer, DWORD size, DWORD *done)
{
    *done = 0;
    while (*done < size) {
        DWORD n = 0;
        if (!ReadFile(file, buffer + *done, size - *done, &n, nullptr))
            return false;
        if (n == 0)
            break;
        *done += n;
    }
    return true;
}

void SBytes::Add(HANDLE file, std::uint64_t at, std::uint64_t length)
{
    if (length > 0)
        runs[count++] = {file, at, length, nullptr};
}

void SBytes::Add(CConvertedBytes *converted, std::uint64_t length)
{
    if (length > 0)
        runs[count++] = {INVALID_HANDLE_VALUE, 0, length, converted};
}

std::uint64_t SBytes::Length() const
{
    std::uint64_t n = 0;
    for (int i = 0; i < count; ++i)
        n += runs[i].length;
    return n;
}

namespace {

// Reads bytes, or a file from an offset to a length, in order from any place in them.
class CByteReader {
public:
    explicit CByteReader(const SBytes &bytes) : m_bytes(bytes) {}

    // Reads up to size bytes at offset into buffer; *done is fewer only at the end.
    bool Read(std::uint64_t offset, char *buffer, DWORD size, DWORD *done)
    {
        *done = 0;
        std::uint64_t base = 0;
        for (int i = 0; i < m_bytes.count && *done < size; ++i) {
            const SBytes::SRun &run = m_bytes.runs[i];
            std::uint64_t at = offset + *done;
            if (at >= base + run.length) {
                base += run.length;
                continue;
            }
            std::uint64_t left = base + run.length - at;
            DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(left, size - *done));
            DWORD got = 0;
            bool read = run.converted != nullptr
                            ? ReadConverted(*run.converted, at - base, buffer + *done, want, &got)
                            : Seek(run.file, run.at + (at - base)) && ReadFully(run.file, buffer + *done, want, &got);
            if (!read)
                return false;
            *done += got;
            if (got < want)
                return true;  // the file ended before its run did
            base += run.length;
        }
        return true;
    }

private:
    const SBytes &m_bytes;
};

}  // namespace

bool ReadBytes(const SBytes &bytes, std::uint64_t offset, char *buffer, DWORD size, DWORD *done)
{
    return CByteReader(bytes).Read(offset, buffer, size, done);
}

namespace {

const char FROM_LINE[] = "From ";
const std::uint64_t FROM_SIZE = sizeof FROM_LINE - 1;

}  // namespace

bool WriteBytesOver(HANDLE file, std::uint64_t at, const SBytes &bytes)
{
    CByteReader reader(bytes);
    std::uint64_t length = bytes.Length();
    // Longer first, in one step, so that the folder is never of a length between the two
    // (see above): where mail appended after a stop begins is then known.
    SFileIdentity id;
    if (!GetFileIdentity(file, &id) || (id.size < at + length && (!Seek(file, at + length) || !SetEndOfFile(file))))
        return false;
    if (!Seek(file, at))
        return false;
    for (std::uint64_t done = 0; done < length;) {
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(length - done, STREAM_BUFFER_SIZE));
        DWORD got = 0, written = 0;
        if (!reader.Read(done, g_inBuffer, want, &got))
            return false;
        if (got < want) {
            SetLastError(ERROR_COPY_NOT_WHOLE);
            return false;
        }
        // The reader moved the positions of the files it read, which the folder is not.
        if (!Seek(file, at + done) || !WriteFile(file, g_inBuffer, got, &written, nullptr))
            return false;
        done += got;
    }
    return Seek(file, at + length) && SetEndOfFile(file) && FlushFileBuffers(file);
}

namespace {

// Whether each of the first n bytes of now is to's, from's, or, from zeroFrom on, a NUL;
// *bad is the first that is none (n where all are).  was or written may be null, where
// the bytes cannot be theirs.  False when reading fails.
bool EachByteAsLeft(CByteReader &now, CByteReader *was, CByteReader *written, std::uint64_t zeroFrom,
                    std::uint64_t n, std::uint64_t *bad)
{
    static char s_wasBuffer[STREAM_BUFFER_SIZE];
    for (std::uint64_t at = 0; at < n;) {
        DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(n - at, STREAM_BUFFER_SIZE));
        DWORD gotNow = 0, gotTo = 0, gotFrom = 0;
        if (!now.Read(at, g_inBuffer, want, &gotNow) ||
            (written != nullptr && !written->Read(at, g_outBuffer, want, &gotTo)) ||
            (was != nullptr && !was->Read(at, s_wasBuffer, want, &gotFrom)))
            return false;
        // Most pieces are one's or the other's whole: byte by byte only where neither is.
        if (gotNow == want && ((gotTo == want && std::memcmp(g_inBuffer, g_outBuffer, want) == 0) ||
                               (gotFrom == want && std::memcmp(g_inBuffer, s_wasBuffer, want) == 0))) {
            at += want;
            continue;
        }
        for (DWORD i = 0; i < want; ++i) {
            char c = g_inBuffer[i];
            bool ok = i < gotNow && ((i < gotTo && c == g_outBuffer[i]) || (i < gotFrom && c == s_wasBuffer[i]) ||
                                     (c == '\0' && at + i >= zeroFrom));
            if (!ok) {
                *bad = at + i;
                return true;
            }
        }
        at += want;
    }
    *bad = n;
    return true;
}

}  // namespace

bool ReadFolderState(HANDLE folder, std::uint64_t start, std::uint64_t size, const SBytes &from, const SBytes &to,
                     std::uint64_t zeroFrom, SFolderState *state)
{
    *state = {false, 0, 0};
    if (size < start)
        return true;
    SBytes rest;
    rest.Add(folder, start, size - start);
    CByteReader now(rest), was(from), written(to);
    std::uint64_t n = size - start, fromLength = from.Length(), toLength = to.Length();
    // The longer first: cut to the shorter, what follows it would be the job's own bytes
    // taken for mail appended.  Of the shorter length the folder is only before the first
    // write (from whole, where the conversion is longer) or after the cut (to whole).
    std::uint64_t longer = std::max(fromLength, toLength), shorter = std::min(fromLength, toLength);
    std::uint64_t furthest = 0, bad = 0;
    if (longer <= n) {
        if (!EachByteAsLeft(now, &was, &written, zeroFrom, longer, &bad))
            return false;
        if (bad == longer) {
            state->asLeft = true;
            state->appendedAt = longer;
            return true;
        }
        furthest = bad;
    }
    if (shorter < longer && shorter <= n) {
        CByteReader *onlyWas = fromLength < toLength ? &was : nullptr;
        CByteReader *onlyWritten = fromLength < toLength ? nullptr : &written;
        if (!EachByteAsLeft(now, onlyWas, onlyWritten, UINT64_MAX, shorter, &bad))
            return false;
        if (bad == shorter) {
            state->asLeft = true;
            state->appendedAt = shorter;
            return true;
        }
        furthest = std::max(furthest, bad);
    }
    // Shorter than either: where it ends, unless a byte before differs.
    if (n < shorter && !EachByteAsLeft(now, &was, &written, zeroFrom, n, &furthest))
        return false;
    state->differsAt = furthest;
    return true;
}

namespace {

// Copies the field line at text (up to its line end) into out.
void TakeLine(const char *text, const char *end, char *out, std::size_t size)
{
    const char *stop = text;
    while (stop < end && *stop != '\n' && *stop != '\r')
        ++stop;
    std::size_t n = std::min(static_cast<std::size_t>(stop - text), size - 1);
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// How far back the start of a mail is looked for.
const std::uint64_t MAIL_LOOK_BACK = std::uint64_t{16} << 20;

}  // namespace

bool FindMailLines(HANDLE folder, std::uint64_t offset, SMailLines *lines)
{
    *lines = {};
    // Back from offset, a piece at a time, to the last From line that starts before it.
    std::uint64_t mail = offset + 1, low = offset > MAIL_LOOK_BACK ? offset - MAIL_LOOK_BACK : 0;
    for (std::uint64_t end = offset + 1; end > low && mail > offset;) {
        std::uint64_t begin = end - std::min<std::uint64_t>(end - low, STREAM_BUFFER_SIZE - FROM_SIZE - 1);
        // With the byte before, to tell a line's start.
        std::uint64_t base = begin > 0 ? begin - 1 : 0;
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(end - base + FROM_SIZE);
        if (!Seek(folder, base) || !ReadFully(folder, g_inBuffer, want, &got))
            return false;
        for (std::uint64_t p = end; p > begin && mail > offset; --p) {
            std::size_t i = static_cast<std::size_t>(p - 1 - base);
            if (i + FROM_SIZE <= got && std::memcmp(g_inBuffer + i, FROM_LINE, FROM_SIZE) == 0 &&
                (p - 1 == 0 || g_inBuffer[i - 1] == '\n'))
                mail = p - 1;
        }
        end = begin;
    }
    if (mail > offset)
        return true;
    // Its header, as far as a piece holds it.
    DWORD got = 0;
    if (!Seek(folder, mail) || !ReadFully(folder, g_inBuffer, STREAM_BUFFER_SIZE, &got))
        return false;
    const char *text = g_inBuffer, *end = g_inBuffer + got;
    TakeLine(text, end, lines->from, sizeof lines->from);
    for (const char *line = text; line < end;) {
        const char *next = static_cast<const char *>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        next = next != nullptr ? next + 1 : end;
        if (line != text && (*line == '\n' || (*line == '\r' && line + 1 < end && line[1] == '\n')))
            break;  // the header's end
        if (static_cast<std::size_t>(end - line) > 5 && std::strncmp(line, "Date:", 5) == 0 && lines->date[0] == '\0')
            TakeLine(line, end, lines->date, sizeof lines->date);
        if (static_cast<std::size_t>(end - line) > 8 && std::strncmp(line, "Subject:", 8) == 0 &&
            lines->subject[0] == '\0')
            TakeLine(line, end, lines->subject, sizeof lines->subject);
        line = next;
    }
    return true;
}
