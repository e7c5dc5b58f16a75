// Mail folders in the mbox format, mails one after another, each opened by a "From " line,
// and files of one mail.  Relabelling runs here, mail by mail.
#include <algorithm>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <new>

#include "check.h"
#include "convert.h"
#include "mbox.h"
#include "platform.h"
#include "rfc5322.h"

namespace {

const char CR = '\r';
const char LF = '\n';
const char SO = '\x0e';
const char SI = '\x0f';
const char ESC = '\x1b';
// How much of the folder is read at once, and the most of a line that one run holds.  The
// buffer holds two reads: what is left of the one before, and a whole one, which a stream
// with a buffer no larger than that reads into it straight from the file, not copying.
const std::size_t READ_SIZE = std::size_t{64} * 1024;
const std::size_t BUFFER_SIZE = 2 * READ_SIZE;

// The first bytes of the lines that CFolderReader::NextLines stops before: those of
// boundary lines ("--") and of "From " lines, and where toEmptyLine those of empty lines.
bool IsLinesStop(char c, bool toEmptyLine)
{
    return c == '-' || c == 'F' || (toEmptyLine && (c == CR || c == LF));
}

// The same for the line at p, the buffer ending at end: those lines, and lines that decode
// to a "From " line (FromLinePrefix), which the relabelling quotes.  Only a line that starts
// with ESC, SO or SI is looked at further.
bool StopsLines(const char *p, const char *end, bool toEmptyLine)
{
    char b = *p;
    if (IsLinesStop(b, toEmptyLine))
        return true;
    if (b != ESC && b != SO && b != SI)
        return false;
    // Most lines of Korean text start with SO and a character: the byte after tells first.
    char next = end - p > 1 ? p[1] : SI;
    bool may = b == ESC ? next == '$' : next == SI || next == SO || next == ESC || (b == SI && next == 'F');
    return may && FromLinePrefix(std::string_view(p, static_cast<std::size_t>(end - p)), true) != std::string_view::npos;
}

// The start of the first line in (p, end) that begins with a stop, or null.
const char *FindLinesStop(const char *p, const char *end, bool toEmptyLine)
{
#ifdef __SSE2__
    // The line ends sixteen bytes at a time; only the byte after each is looked at.
    const __m128i lf = _mm_set1_epi8(LF);
    for (; end - p > 16; p += 16) {
        __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, lf))); mask != 0;
             mask &= mask - 1) {
            const char *at = p + __builtin_ctz(mask);
            if (StopsLines(at + 1, end, toEmptyLine))
                return at + 1;
        }
    }
#endif
    for (; end - p > 1; ++p) {
        if (*p == LF && StopsLines(p + 1, end, toEmptyLine))
            return p + 1;
    }
    return nullptr;
}

// The last byte c in p[0, n), or null: memrchr, which not every C library has.
const void *MemoryReverseFind(const char *p, char c, std::size_t n)
{
    while (n > 0) {
        if (p[--n] == c)
            return p + n;
    }
    return nullptr;
}

// The span of the value of the header's first Content-Length field, and the number it
// gives; false when there is none or its value is not a plain number.
bool FindContentLength(const std::string &header, std::size_t *at, std::size_t *size, long long *value)
{
    CField field{};
    for (std::size_t pos = 0; NextField(header, pos, header.size(), field);) {
        if (!FieldIs(header, field, "content-length"))
            continue;
        CView v = UnfoldValue(header, field);
        std::size_t i = v.text.find_first_not_of(" \t"), j = v.text.find_last_not_of(" \t");
        if (i == std::string::npos || j - i > 15 || v.text.find_first_not_of("0123456789", i) <= j)
            return false;
        *value = std::stoll(v.text.substr(i, j + 1 - i));
        *at = v.At(i);
        *size = v.At(j) + 1 - v.At(i);
        return true;
    }
    return false;
}

bool HasContentLength(const std::string &header)
{
    // Most headers have none: a line that starts with the field's name is looked for first.
    static const char NAME[] = "content-length:";
    const std::size_t nameSize = sizeof NAME - 1;
    bool found = false;
    for (std::size_t at = 0; !found && at + nameSize <= header.size();) {
        found = AsciiLower(header[at]) == NAME[0] && EqualsNoCase(header.data() + at, nameSize, NAME);
        std::size_t lf = header.find(LF, at);
        at = lf == std::string::npos ? header.size() : lf + 1;
    }
    if (!found)
        return false;
    std::size_t at = 0, size = 0;
    long long value = 0;
    return FindContentLength(header, &at, &size, &value);
}

// What the relabelling made of a body: how much longer it came out (shorter: negative), and
// its length.
struct SBodyMade {
    long long change = 0, length = 0;
};

// Sets the header's Content-Length to the body's new length where the body changed length:
// one that was wrong comes out right.  A body that kept its length keeps its mail as it was.
void FixContentLength(std::string &header, const SBodyMade &body)
{
    std::size_t at = 0, size = 0;
    long long value = 0;
    if (body.change != 0 && FindContentLength(header, &at, &size, &value))
        header.replace(at, size, std::to_string(body.length));
}

// Passes the mail's "From " line, putting it into out where out is given, its line end the
// platform's.
void PassFromLine(CFolderReader &reader, CMailSink *out)
{
    std::string_view run;
    bool lineStart = false;
    // A long line comes in several runs, the last ending in LF.
    while (reader.NextRun(run, lineStart)) {
        bool ended = !run.empty() && run.back() == LF;
        if (out != nullptr && ended) {
            out->Put(run.substr(0, run.size() - (run.size() > 1 && run[run.size() - 2] == CR ? 2 : 1)));
            out->Put(PLATFORM_LINE_END);
        } else if (out != nullptr) {
            out->Put(run);
        }
        if (ended)
            return;
    }
}

// Relabels the rest of the reader's piece, many lines at a time where the relabeller takes them.
void RelabelRest(CFolderReader &reader, CEntityRelabeller &relabeller)
{
    std::string_view run;
    bool lineStart = false;
    for (;;) {
        bool headerLines = false;
        reader.SetReadAsIso2022Kr(relabeller.ReadsAsIso2022Kr());
        if (relabeller.TakesLines(&headerLines) && reader.NextLines(run, headerLines))
            relabeller.Lines(run);
        else if (reader.NextRun(run, lineStart))
            relabeller.Run(run, lineStart);
        else
            break;
    }
    reader.SetReadAsIso2022Kr(false);
    relabeller.End();
}

// What one reading of a mail, after its "From " line, found.
struct SReading {
    bool lengthSetAside = false;  // the header has a Content-Length and was set aside, not put
    std::string header;           // that header, decoded
    SBodyMade body;               // what the body came out as then
    long labels = 0;              // labels and encoded words changed
    bool tooDeep = false;         // something nested deeper than MAX_NESTING
    bool headerTooLong = false;   // a header longer than MAX_HEADER
};

// Relabels the rest of the mail from reader into out.  A header with a Content-Length (when
// out is written to) is put with it fixed to what body says where body is given; where it
// is not, the header is set aside in the result and the body goes to *held (held null:
// nowhere), counted so that what it came out as is known.
SReading ReadMail(CFolderReader &reader, CMailSink &out, const SBodyMade *body, std::string *held)
{
    SReading reading;
    CMailSink sink = out;  // turned to held once the header is set aside
    unsigned long long bodyOut = 0;
    CEntityRelabeller relabeller(sink, &reading.labels);
    if (reader.HasFromLine())
        relabeller.OpenMailsAtFromLines();
    relabeller.TakeTopHeader([&](std::string &header) {
        if ((sink.file == nullptr && sink.text == nullptr) || !HasContentLength(header)) {
            sink.Put(header);
        } else if (body != nullptr) {
            FixContentLength(header, *body);
            sink.Put(header);
        } else {
            reading.lengthSetAside = true;
            reading.header = std::move(header);
            sink.file = nullptr;
            sink.text = held;
            bodyOut = sink.count;
        }
    });
    RelabelRest(reader, relabeller);
    reading.tooDeep = relabeller.TooDeep();
    reading.headerTooLong = relabeller.HeaderTooLong();
    if (!reading.lengthSetAside) {
        out.count = sink.count;
        return reading;
    }
    out.count = bodyOut;
    unsigned long long bodyIn = relabeller.Read() - relabeller.BodyStart(), bodyMade = sink.count - bodyOut;
    // The empty line before the next mail is no byte of the body: it comes out as the
    // platform's line end, whatever it was.
    std::size_t separator = reader.Separator();
    if (separator > 0 && bodyIn >= separator) {
        bodyIn -= separator;
        bodyMade -= std::strlen(PLATFORM_LINE_END);
    }
    reading.body.change = static_cast<long long>(bodyMade) - static_cast<long long>(bodyIn);
    reading.body.length = static_cast<long long>(bodyMade);
    return reading;
}

// Relabels the mail the reader is at into out, adding to counts the labels it changed, and
// one where something in it nests too deep or a header is too long:
//  1. its "From " line, as it is (a file of one mail has none);
//  2. the rest, relabelled; a header with a Content-Length is set aside until the body's
//     change in length is known, the body counted where the reader can go back and held
//     where it cannot;
//  3. then, where the reader can go back, the rest read once more, its header put with its
//     Content-Length fixed; where it cannot, the header fixed, and the body held.
// False when the reader fails to go back.
bool RelabelOneMail(CFolderReader &reader, CMailSink &out, CFolderCounts *counts)
{
    if (reader.HasFromLine())
        PassFromLine(reader, &out);
    const bool again = reader.CanRewind();
    std::string held;
    SReading reading = ReadMail(reader, out, nullptr, again ? nullptr : &held);
    if (reading.lengthSetAside && again) {
        const SBodyMade body = reading.body;
        if (!reader.Rewind())
            return false;
        if (reader.HasFromLine())
            PassFromLine(reader, nullptr);
        reading = ReadMail(reader, out, &body, nullptr);
    } else if (reading.lengthSetAside) {
        FixContentLength(reading.header, reading.body);
        out.Put(reading.header);
        out.Put(held);
    }
    counts->labels += reading.labels;
    counts->tooDeep += reading.tooDeep ? 1 : 0;
    counts->headerTooLong += reading.headerTooLong ? 1 : 0;
    return true;
}

}  // namespace

CFolderReader::CFolderReader(FILE *in) : m_in(in), m_origin(StreamPosition(in)), m_buffer(BUFFER_SIZE)
{
}

CFolderReader::CFolderReader(std::string_view text) : m_text(text), m_origin(0), m_buffer(BUFFER_SIZE)
{
}

// Moves what is left to the buffer's start and reads more after it; false when nothing
// more came.
bool CFolderReader::Fill()
{
    SeeTaken();
    if (m_eof)
        return false;
    std::memmove(m_buffer.data(), m_buffer.data() + m_pos, m_size - m_pos);
    m_bufferAt += m_pos;
    m_size -= m_pos;
    m_pos = 0;
    std::size_t n = 0;
    if (m_in != nullptr) {
        n = std::fread(m_buffer.data() + m_size, 1, std::min(READ_SIZE, m_buffer.size() - m_size), m_in);
    } else {
        std::size_t at = static_cast<std::size_t>(m_bufferAt) + m_size;
        n = std::min({READ_SIZE, m_buffer.size() - m_size, m_text.size() - at});
        std::memcpy(m_buffer.data() + m_size, m_text.data() + at, n);
    }
    if (n == 0) {
        m_eof = true;
        return false;
    }
    m_size += n;
    return true;
}

// Hands the bytes taken since the observer last saw any to it, before the next take: the
// taker has dealt with them by then, and said how it reads what comes next.  They are still
// in the buffer, which only Fill moves.
void CFolderReader::SeeTaken()
{
    unsigned long long end = m_bufferAt + m_pos;
    if (m_seen && end > m_seenTo) {
        std::size_t fresh = static_cast<std::size_t>(end - m_seenTo);
        m_seen(std::string_view(m_buffer.data() + m_pos - fresh, fresh));
        m_seenTo = end;
    }
}

bool CFolderReader::NextPiece()
{
    SeeTaken();
    // What is left of the piece before is skipped.
    std::string_view run;
    bool lineStart = false;
    while (m_inPiece && NextRun(run, lineStart)) {
    }
    while (m_size - m_pos < 5 && Fill()) {
    }
    if (m_pos == m_size)
        return false;
    m_inPiece = m_pieceStart = m_lineStart = true;
    m_separator = 0;
    m_pieceAt = m_bufferAt + m_pos;
    std::string_view ahead(m_buffer.data() + m_pos, m_size - m_pos);
    m_hasFromLine = m_lastEmpty && ahead.compare(0, 5, "From ") == 0;
    // A file that starts with a header field is one mail, as a saved message or a maildir
    // file is: no "From " line opens it.
    if (!m_hasFromLine && m_pieceAt == 0) {
        while (m_size - m_pos < MAX_FIELD_NAME + 1 && Fill()) {
        }
        ahead = std::string_view(m_buffer.data() + m_pos, m_size - m_pos);
    }
    m_isMail = m_hasFromLine || (m_pieceAt == 0 && StartsWithField(ahead));
    return true;
}

bool CFolderReader::NextRun(std::string_view &run, bool &lineStart)
{
    SeeTaken();
    if (!m_inPiece)
        return false;
    const char *lf = nullptr;
    // A run holds a whole line, or as much of it as one read.
    std::size_t ahead = std::min(m_size - m_pos, READ_SIZE);
    while ((lf = static_cast<const char *>(std::memchr(m_buffer.data() + m_pos, LF, ahead))) == nullptr &&
           ahead < READ_SIZE && Fill()) {
        ahead = std::min(m_size - m_pos, READ_SIZE);
    }
    std::size_t n = lf != nullptr ? static_cast<std::size_t>(lf - (m_buffer.data() + m_pos)) + 1 : ahead;
    // A CR at the end of a line cut here may be the first half of a line end: it goes with the LF.
    if (lf == nullptr && (!m_eof || n < m_size - m_pos) && n > 1 && m_buffer[m_pos + n - 1] == CR)
        --n;
    if (n == 0) {
        m_inPiece = false;
        return false;
    }
    run = std::string_view(m_buffer.data() + m_pos, n);
    if (m_lineStart) {
        // mbox: a mail begins with a line that starts "From ", at the start of the folder
        // or after an empty line.  A file of one mail has no such lines: there it is text.
        if (!m_pieceStart && m_lastEmpty && (m_hasFromLine || !m_isMail) && run.compare(0, 5, "From ") == 0) {
            m_separator = m_lastSize;
            m_inPiece = false;
            return false;
        }
    }
    lineStart = m_lineStart;
    m_pieceStart = false;
    m_pos += n;
    if (lf != nullptr) {
        m_lastEmpty = lineStart && (run == "\n" || run == "\r\n");
        m_lastSize = run.size();
    }
    m_lineStart = lf != nullptr;
    return true;
}

bool CFolderReader::NextLines(std::string_view &run, bool toEmptyLine)
{
    SeeTaken();
    if (!m_inPiece || !m_lineStart || m_pieceStart || m_pos == m_size ||
        StopsLines(m_buffer.data() + m_pos, m_buffer.data() + m_size, toEmptyLine))
        return false;
    // No more than one read at a time, as NextRun gives: the decoding's room stays small.
    const char *start = m_buffer.data() + m_pos, *end = m_buffer.data() + std::min(m_size, m_pos + READ_SIZE);
    // The lines up to the first that starts with a stop, or to the last whole line.
    const char *stop = FindLinesStop(start, end, toEmptyLine);
    const char *lastLf = static_cast<const char *>(
        MemoryReverseFind(start, LF, static_cast<std::size_t>((stop != nullptr ? stop : end) - start)));
    if (lastLf == nullptr)
        return false;
    run = std::string_view(start, static_cast<std::size_t>(lastLf + 1 - start));
    m_pos += run.size();
    // Only the size of an empty last line matters (Separator): its own line end's.
    std::size_t n = run.size();
    bool crLf = n >= 2 && run[n - 2] == CR;
    std::size_t lineEnd = crLf ? 2 : 1;
    m_lastEmpty = n == lineEnd || run[n - lineEnd - 1] == LF;
    m_lastSize = m_lastEmpty ? lineEnd : n;
    return true;
}

bool CFolderReader::Rewind()
{
    SeeTaken();
    if (m_origin < 0 || (m_in != nullptr && !SetStreamPosition(m_in, m_origin + static_cast<long long>(m_pieceAt)))) {
        m_failed = true;
        m_inPiece = false;
        return false;
    }
    m_bufferAt = m_pieceAt;
    m_pos = m_size = 0;
    m_eof = false;
    m_inPiece = m_pieceStart = m_lineStart = true;
    m_lastEmpty = true;
    return true;
}

int RelabelPieces(CFolderReader &reader, CMailSink &sink, CFolderCounts *counts)
{
    CFolderCounts seen;
    bool ok = true;
    while (ok && reader.NextPiece()) {
        if (reader.IsMail()) {
            ++seen.mails;
            ok = RelabelOneMail(reader, sink, &seen);
            continue;
        }
        // Text before the first mail: decoded as the start of the folder, where a "From "
        // line opens a mail to some readers as in the text of a mail.
        CEntityRelabeller relabeller(sink, &seen.labels);
        relabeller.ReadAsText();
        relabeller.OpenMailsAtFromLines();
        RelabelRest(reader, relabeller);
    }
    if (counts != nullptr)
        *counts = seen;
    return ok && !reader.Failed() ? 1 : 0;
}

std::string RelabelMail(const std::string &mail, long *labels)
{
    CFolderReader reader{std::string_view(mail)};
    std::string out;
    CMailSink sink;
    sink.text = &out;
    CFolderCounts counts;
    (void)RelabelPieces(reader, sink, &counts);
    *labels += counts.labels;
    return out;
}

int RelabelFolder(FILE *in, FILE *out, CFolderCounts *counts, std::function<void(std::string_view)> seen)
{
    ResetDecoder();
    // As in ConvertStream: a short write without a code of its own must not inherit one.
    SetLastError(0);
    CFolderReader reader(in);
    if (seen)
        reader.Observe(std::move(seen));
    CMailSink sink;
    sink.file = out;
    int ok = RelabelPieces(reader, sink, counts);
    if (out != nullptr && (std::ferror(out) || std::fflush(out) != 0))
        ok = 0;
    return ok;
}

int RelabelStream(FILE *in, FILE *out)
{
    return RelabelFolder(in, out, nullptr);
}

const char RELABEL_KIND[] = "relabel";
const SConversion RELABELLING = {RELABEL_KIND, RelabelStream};

bool LookAtFolder(FILE *in, SFolderLook &look, bool relabelled, const std::function<void(std::string_view)> &seen)
{
    // How much of the folder is looked at for a NUL byte.
    const std::uint64_t BINARY_LOOK = std::uint64_t{64} * 1024;
    look = SFolderLook{};
    CShiftScanner scanner;
    CFolderReader reader(in);
    std::uint64_t read = 0;
    bool lastCR = false;  // the bytes before ended in CR
    reader.Observe([&](std::string_view bytes) {
        if (read < BINARY_LOOK && look.nulAt == UINT64_MAX) {
            std::size_t nul = bytes.substr(0, BINARY_LOOK - read).find('\0');
            if (nul != std::string_view::npos)
                look.nulAt = read + nul;
        }
        scanner.Scan(bytes.data(), bytes.size(), relabelled && reader.ReadAsIso2022Kr());
        for (std::size_t at = bytes.find(LF); at != std::string_view::npos;
             at = bytes.find(LF, at + 1)) {
            bool afterCR = at > 0 ? bytes[at - 1] == CR : lastCR;
            ++(afterCR ? look.crlf : look.bareLF);
        }
        if (!bytes.empty())
            lastCR = bytes.back() == CR;
        read += bytes.size();
        if (seen)
            seen(bytes);
    });
    ResetDecoder();
    bool ok;
    try {
        CMailSink nowhere;
        ok = RelabelPieces(reader, nowhere, &look.counts) != 0;
    } catch (const std::bad_alloc &) {
        ok = false;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    scanner.Finish();
    look.passages = scanner.m_nPassages;
    look.malformed = scanner.m_nMalformed;
    look.malformedLines = scanner.m_firstLines;
    return ok && !reader.Failed();
}
