// Mail folders in the mbox format: mails one after another, each opened by a "From " line.
// Relabelling runs here, mail by mail, with the folder's own decoder.
#include <algorithm>
#include <cstring>

#include "convert.h"
#include "mbox.h"
#include "platform.h"
#include "rfc5322.h"

namespace {

const char CR = '\r';
const char LF = '\n';
// How much of the folder is read at once, and the most of a line that one run holds.
const std::size_t BUFFER_SIZE = std::size_t{64} * 1024;

// The span of the value of the header's first Content-Length field, and the number it
// gives; false when there is none or its value is not a plain number.
bool FindContentLength(const std::string &header, std::size_t *at, std::size_t *size, long long *value)
{
    for (const CField &field : ReadFields(header, 0, header.size())) {
        if (!FieldIs(header, field, "content-length"))
            continue;
        CView v = UnfoldValue(header, field);
        std::size_t i = v.text.find_first_not_of(" \t"), j = v.text.find_last_not_of(" \t");
        if (i == std::string::npos || j - i > 15 || v.text.find_first_not_of("0123456789", i) <= j)
            return false;
        *value = std::stoll(v.text.substr(i, j + 1 - i));
        *at = v.at[i];
        *size = v.at[j] + 1 - v.at[i];
        return true;
    }
    return false;
}

// Puts a run of a line that is only passed on (the "From " line), its line end the platform's.
void PutAsItIs(CMailSink &sink, std::string_view run)
{
    if (!run.empty() && run.back() == LF) {
        run.remove_suffix(run.size() > 1 && run[run.size() - 2] == CR ? 2 : 1);
        sink.Put(run);
        sink.Put(PLATFORM_LINE_END);
    } else {
        sink.Put(run);
    }
}

// Relabels the mail the reader is at into out, adding to *labels what it changed.  A mail
// whose Content-Length is to follow its body has its header held until the body's length
// is known: the body is read once only to count it where the reader can go back, and held
// where it cannot.  False when the reader fails to go back.
bool RelabelOneMail(CFolderReader &reader, CMailSink &out, long *labels)
{
    bool lengthKnown = false;
    long long change = 0;
    std::string header, held;
    for (;;) {
        CMailSink sink = out;
        long found = 0;
        bool counting = false, holding = false;
        unsigned long long bodyOut = 0;
        CEntityRelabeller relabeller(sink, &found);
        if (reader.HasFromLine())
            relabeller.OpenMailsAtFromLines();
        relabeller.TakeTopHeader([&](std::string &decoded) {
            std::size_t at = 0, size = 0;
            long long value = 0;
            bool writes = sink.file != nullptr || sink.text != nullptr;
            if (!writes || !FindContentLength(decoded, &at, &size, &value)) {
                sink.Put(decoded);
            } else if (lengthKnown) {
                if (value + change >= 0)
                    decoded.replace(at, size, std::to_string(value + change));
                sink.Put(decoded);
            } else {
                header = std::move(decoded);
                counting = reader.CanRewind();
                holding = !counting;
                sink.file = nullptr;
                sink.text = holding ? &held : nullptr;
                bodyOut = sink.count;
            }
        });
        std::string_view run;
        bool lineStart = false, fromLine = reader.HasFromLine();
        while (reader.NextRun(run, lineStart)) {
            if (fromLine) {
                // Put out already when the mail is read again.
                if (!lengthKnown)
                    PutAsItIs(sink, run);
                fromLine = run.empty() || run.back() != LF;
            } else {
                relabeller.Run(run, lineStart);
            }
        }
        relabeller.End();
        if (counting || holding) {
            unsigned long long bodyIn = relabeller.Read() - relabeller.BodyStart(), bodyMade = sink.count - bodyOut;
            // The empty line before the next mail is no byte of the body: it comes out as
            // the platform's line end, whatever it was.
            std::size_t separator = reader.Separator();
            if (separator > 0 && bodyIn >= separator) {
                bodyIn -= separator;
                bodyMade -= std::strlen(PLATFORM_LINE_END);
            }
            change = static_cast<long long>(bodyMade) - static_cast<long long>(bodyIn);
            lengthKnown = true;
        }
        if (counting) {
            // The "From " line is out already; the second reading puts the rest.
            out.count = bodyOut;
            if (!reader.Rewind())
                return false;
            continue;
        }
        out.count = sink.count;
        if (holding) {
            std::size_t at = 0, size = 0;
            long long value = 0;
            if (FindContentLength(header, &at, &size, &value) && value + change >= 0)
                header.replace(at, size, std::to_string(value + change));
            out.Put(header);
            out.Put(held);
        }
        *labels += found;
        return true;
    }
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
    if (m_eof)
        return false;
    std::memmove(m_buffer.data(), m_buffer.data() + m_pos, m_size - m_pos);
    m_bufferAt += m_pos;
    m_size -= m_pos;
    m_pos = 0;
    std::size_t n = 0;
    if (m_in != nullptr) {
        n = std::fread(m_buffer.data() + m_size, 1, m_buffer.size() - m_size, m_in);
    } else {
        std::size_t at = static_cast<std::size_t>(m_bufferAt) + m_size;
        n = std::min(m_buffer.size() - m_size, m_text.size() - at);
        std::memcpy(m_buffer.data() + m_size, m_text.data() + at, n);
    }
    if (n == 0) {
        m_eof = true;
        return false;
    }
    unsigned long long end = m_bufferAt + m_size + n;
    if (m_seen && end > m_seenTo) {
        std::size_t fresh = static_cast<std::size_t>(end - m_seenTo);
        m_seen(std::string_view(m_buffer.data() + m_size + n - fresh, fresh));
        m_seenTo = end;
    }
    m_size += n;
    return true;
}

bool CFolderReader::NextPiece()
{
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
    if (!m_inPiece)
        return false;
    const char *lf = nullptr;
    // A run holds a whole line, or as much of it as the buffer can.
    while ((lf = static_cast<const char *>(std::memchr(m_buffer.data() + m_pos, LF, m_size - m_pos))) == nullptr &&
           m_size - m_pos < m_buffer.size() && Fill()) {
    }
    std::size_t n = lf != nullptr ? static_cast<std::size_t>(lf - (m_buffer.data() + m_pos)) + 1 : m_size - m_pos;
    // A CR at the end may be the first half of a line end: it goes with the LF.
    if (lf == nullptr && !m_eof && n > 1 && m_buffer[m_pos + n - 1] == CR)
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

bool CFolderReader::Rewind()
{
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
            ok = RelabelOneMail(reader, sink, &seen.labels);
            continue;
        }
        // Text before the first mail: decoded as the start of the folder, where a "From "
        // line opens a mail to some readers as in the text of a mail.
        CEntityRelabeller relabeller(sink, &seen.labels);
        relabeller.ReadAsText();
        relabeller.OpenMailsAtFromLines();
        std::string_view run;
        bool lineStart = false;
        while (reader.NextRun(run, lineStart))
            relabeller.Run(run, lineStart);
        relabeller.End();
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

int RelabelFolder(FILE *in, FILE *out, CFolderCounts *counts)
{
    ResetDecoder();
    // As in ConvertStream: a short write without a code of its own must not inherit one.
    SetLastError(0);
    CFolderReader reader(in);
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
