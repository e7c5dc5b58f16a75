// Mail folders in the mbox format: mails one after another, each opened by a "From " line.
// Relabelling runs here, mail by mail, with the folder's own decoder.
#include <algorithm>
#include <cstring>

#include "convert.h"
#include "mail.h"
#include "platform.h"

namespace {

const char CR = '\r';
const char LF = '\n';
const char DESIGNATOR[] = "\x1b$)C";
// A line that holds only the designator: the decoder removes it whole.
const char DESIGNATOR_LINE[] = "\x1b$)C\n";
// Text before the first mail is decoded in pieces of about this size.
const std::size_t PIECE_SIZE = std::size_t{1} << 20;

bool IsEmptyLine(const std::string &line)
{
    return line == "\n" || line == "\r\n";
}

// mbox: a mail begins with a line that starts "From ", at the start of the folder or after
// an empty line.
bool StartsMail(const std::string &line)
{
    return line.compare(0, 5, "From ") == 0;
}

std::string DecodeOnItsOwn(const std::string &text)
{
    std::string out(std::strlen(PLATFORM_LINE_END) * text.size() + 4, '\0');
    out.resize(ConvertBuffer(text.data(), text.size(), &out[0]));
    out.shrink_to_fit();
    return out;
}

// Puts change into the first Content-Length field of the decoded header block, when its
// value is a plain number.
void FixContentLength(std::string &header, long change)
{
    std::size_t start = header.find(LF);
    start = start == std::string::npos ? header.size() : start + 1;
    for (const CField &field : ReadFields(header, start, header.size())) {
        if (!FieldIs(header, field, "content-length"))
            continue;
        CView v = UnfoldValue(header, field);
        std::size_t i = v.text.find_first_not_of(" \t"), j = v.text.find_last_not_of(" \t");
        if (i == std::string::npos || j - i > 15 || v.text.find_first_not_of("0123456789", i) <= j)
            return;
        long length = std::stol(v.text.substr(i, j + 1 - i)) + change;
        if (length >= 0)
            header.replace(v.at[i], v.at[j] + 1 - v.at[i], std::to_string(length));
        return;
    }
}

}  // namespace

std::string DecodeApart(std::string text)
{
    std::string out = DecodeOnItsOwn(text);
    // The decoder writes the platform's line end; the text keeps its own.
    std::size_t lf = text.find(LF);
    const char *own = (lf != std::string::npos && lf > 0 && text[lf - 1] == CR) ? "\r\n" : "\n";
    std::string().swap(text);
    if (std::strcmp(own, PLATFORM_LINE_END) == 0)
        return out;
    const std::size_t n = std::strlen(PLATFORM_LINE_END), ownSize = std::strlen(own);
    std::string result;
    result.reserve(out.size() + out.size() / 16);
    for (std::size_t i = 0; i < out.size();) {
        if (out.compare(i, n, PLATFORM_LINE_END) == 0) {
            result.append(own, ownSize);
            i += n;
        } else {
            result += out[i++];
        }
    }
    return result;
}

std::string DecodeInFolder(const std::string &text)
{
    // ConvertBuffer decodes as at the start of a file; a designator line in front, which it
    // removes whole, hands it the folder's designator flag.
    std::string out = DecodeOnItsOwn(g_bDesignatorSeen ? DESIGNATOR_LINE + text : text);
    if (text.find(DESIGNATOR) != std::string::npos)
        g_bDesignatorSeen = 1;
    return out;
}

std::string WithPlatformLineEnds(std::string text)
{
    if (std::strcmp(PLATFORM_LINE_END, "\n") == 0 && text.find("\r\n") == std::string::npos)
        return text;
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == CR && i + 1 < text.size() && text[i + 1] == LF)
            continue;  // its LF follows
        if (text[i] == LF)
            out += PLATFORM_LINE_END;
        else
            out += text[i];
    }
    return out;
}

// Puts piece at the end of to, taking it whole when to is still empty.
void Append(std::string &to, std::string piece)
{
    if (to.empty())
        to = std::move(piece);
    else
        to += piece;
}

void RelabelMailParts(const std::string &mail, long *labels, std::string &header, std::string &body)
{
    std::size_t start = mail.find(LF);
    start = start == std::string::npos ? mail.size() : start + 1;  // past the "From " line
    std::vector<CEdit> edits;
    std::vector<CSpan> spans;
    RelabelEntity(mail, start, mail.size(), 0, edits, spans, labels);
    std::sort(edits.begin(), edits.end(), [](const CEdit &a, const CEdit &b) { return a.start < b.start; });

    // The mail's own header, then its body, each with what lies before its spans.
    std::size_t bodyStart = HeaderBlockEnd(mail, start, mail.size());
    header.clear();
    body.clear();
    std::size_t pos = 0;
    int flag = 0;  // the designator flag, carried from a header into its text body
    for (const CSpan &span : spans) {
        std::string &to = span.start < bodyStart ? header : body;
        if (pos < span.start)
            Append(to, WithPlatformLineEnds(ApplyEdits(mail, pos, span.start, edits)));
        g_bDesignatorSeen = span.fresh ? 0 : flag;
        Append(to, DecodeInFolder(ApplyEdits(mail, span.start, span.end, edits)));
        flag = g_bDesignatorSeen;
        pos = span.end;
    }
    Append(body, WithPlatformLineEnds(ApplyEdits(mail, pos, mail.size(), edits)));
    long change = static_cast<long>(body.size()) - static_cast<long>(mail.size() - bodyStart);
    if (change != 0)
        FixContentLength(header, change);
}

std::string RelabelMail(const std::string &mail, long *labels)
{
    std::string header, body;
    RelabelMailParts(mail, labels, header, body);
    return header + body;
}

bool CFolderReader::FillLine()
{
    m_line.clear();
    for (;;) {
        if (m_pos == m_size) {
            m_pos = 0;
            m_size = m_eof ? 0 : std::fread(m_buffer, 1, sizeof m_buffer, m_in);
            if (m_size == 0) {
                m_eof = true;
                return !m_line.empty();
            }
        }
        const char *p = m_buffer + m_pos;
        const void *lf = std::memchr(p, LF, m_size - m_pos);
        std::size_t n = lf != nullptr ? static_cast<const char *>(lf) - p + 1 : m_size - m_pos;
        m_line.append(p, n);
        m_pos += n;
        if (lf != nullptr)
            return true;
    }
}

bool CFolderReader::Next(std::string &text)
{
    text.clear();
    if (!m_haveLine && !(m_haveLine = FillLine()))
        return false;
    m_isMail = m_lastEmpty && StartsMail(m_line);
    for (;;) {
        text += m_line;
        m_lastEmpty = IsEmptyLine(m_line);
        m_haveLine = FillLine();
        if (!m_haveLine || (m_lastEmpty && StartsMail(m_line)) || (!m_isMail && text.size() >= PIECE_SIZE))
            return true;
    }
}

int RelabelFolder(FILE *in, FILE *out, CFolderCounts *counts)
{
    ResetDecoder();
    // As in ConvertStream: a short write without a code of its own must not inherit one.
    SetLastError(0);
    CFolderReader reader(in);
    CFolderCounts seen;
    std::string piece, result;
    bool ok = true;
    while (ok && reader.Next(piece)) {
        // Written as header and body, not joined: a mail may be large.
        std::string header;
        if (reader.IsMail()) {
            ++seen.mails;
            RelabelMailParts(piece, &seen.labels, header, result);
        } else {
            result = DecodeInFolder(piece);
        }
        std::string().swap(piece);
        if (out != nullptr && (std::fwrite(header.data(), 1, header.size(), out) != header.size() ||
                               std::fwrite(result.data(), 1, result.size(), out) != result.size()))
            ok = false;
    }
    if (reader.Failed() || (out != nullptr && (std::ferror(out) || std::fflush(out) != 0)))
        ok = false;
    if (counts != nullptr)
        *counts = seen;
    return ok ? 1 : 0;
}

int RelabelStream(FILE *in, FILE *out)
{
    return RelabelFolder(in, out, nullptr);
}
