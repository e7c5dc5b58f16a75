// Mails and the parts nested in them (RFC 2046): multipart bodies between boundary lines,
// and message/rfc822 bodies that hold a whole mail.
#include "mail.h"

namespace {

const char CR = '\r';
const char LF = '\n';

std::size_t NextLine(const std::string &text, std::size_t pos, std::size_t end)
{
    std::size_t lf = text.find(LF, pos);
    return (lf == std::string::npos || lf >= end) ? end : lf + 1;
}

// A boundary line, dash-boundary = "--" boundary, counts only when a line end or "-"
// follows it: boundaries of nested parts often begin with their parent's.  Returns 0 for
// no boundary line, 1 for a delimiter, 2 for the close delimiter ("--" boundary "--").
int BoundaryLine(const std::string &text, std::size_t pos, std::size_t end, const std::string &boundary)
{
    std::size_t after = pos + 2 + boundary.size();
    if (after > end || text.compare(pos, 2, "--") != 0 || text.compare(pos + 2, boundary.size(), boundary) != 0)
        return 0;
    if (after == end || text[after] == CR || text[after] == LF)
        return 1;
    return text[after] == '-' ? 2 : 0;
}

// The span of body a base64 or quoted-printable text is read from: the line ends at its
// end stay as they are, since they may separate it from what follows rather than be its own.
std::size_t TextEnd(const std::string &text, std::size_t start, std::size_t end)
{
    while (end > start && (text[end - 1] == LF || text[end - 1] == CR))
        --end;
    return end;
}

// Decodes a body in base64 or quoted-printable, converts it and encodes it again the same
// way.  False when the body cannot be read; it then stays as it is.
bool RecodeBody(const std::string &text, std::size_t start, std::size_t end, bool base64,
                std::vector<CEdit> &edits)
{
    // Held once decoded and once encoded at most, besides the mail.
    end = TextEnd(text, start, end);
    std::string_view body(text.data() + start, end - start);
    std::string content;
    if (!(base64 ? DecodeBase64(body, content) : DecodeQuotedPrintable(body, content)))
        return false;
    // Without a designator, nothing in it is ISO-2022-KR: its bytes stay.
    if (content.find("\x1b$)C") == std::string::npos)
        return true;
    std::string converted = DecodeApart(std::move(content));
    std::string recoded = base64 ? EncodeBase64(converted) : EncodeQuotedPrintable(converted);
    std::string().swap(converted);
    if (!recoded.empty() && recoded.back() == LF)
        recoded.pop_back();
    edits.push_back({start, end, std::move(recoded)});
    return true;
}

// multipart-body = [preamble CRLF] dash-boundary CRLF body-part
//                  *(CRLF dash-boundary CRLF body-part) CRLF dash-boundary "--" [CRLF epilogue]
// The CRLF before each boundary line belongs to the boundary, not to the part.
void RelabelParts(const std::string &text, std::size_t start, std::size_t end, const std::string &boundary,
                  int depth, std::vector<CEdit> &edits, std::vector<CSpan> &spans, long *labels)
{
    std::size_t partStart = std::string::npos;
    for (std::size_t pos = start; pos < end; pos = NextLine(text, pos, end)) {
        int kind = BoundaryLine(text, pos, end, boundary);
        if (kind == 0)
            continue;
        if (partStart != std::string::npos) {
            std::size_t partEnd = pos;
            if (partEnd > partStart && text[partEnd - 1] == LF)
                --partEnd;
            if (partEnd > partStart && text[partEnd - 1] == CR)
                --partEnd;
            RelabelEntity(text, partStart, partEnd, depth + 1, edits, spans, labels);
        }
        if (kind == 2)
            return;
        partStart = NextLine(text, pos, end);
    }
    // No close delimiter: the last part runs to the end.
    if (partStart != std::string::npos && partStart < end)
        RelabelEntity(text, partStart, end, depth + 1, edits, spans, labels);
}

}  // namespace

// entity = header-block body; the body's meaning comes from the header's labels.
void RelabelEntity(const std::string &text, std::size_t start, std::size_t end, int depth,
                   std::vector<CEdit> &edits, std::vector<CSpan> &spans, long *labels)
{
    if (depth > MAX_NESTING)
        return;
    std::size_t bodyStart = HeaderBlockEnd(text, start, end);
    for (const CField &field : ReadFields(text, start, bodyStart))
        RelabelEncodedWords(text, field, edits, labels);
    spans.push_back({start, bodyStart, true});

    CEntityLabels l = ReadLabels(text, start, bodyStart);
    // Only text is converted: a part of another type keeps its bytes, and so its label,
    // whatever the label says.
    bool isText = l.type.empty() || l.type.compare(0, 5, "text/") == 0;
    // The decoder converts bodies that are text as they stand.
    bool plain = l.encoding.empty() || l.encoding == "7bit" || l.encoding == "8bit";
    bool relabel = false;
    if (l.type.compare(0, 10, "multipart/") == 0 && !l.boundary.empty()) {
        RelabelParts(text, bodyStart, end, l.boundary, depth, edits, spans, labels);
    } else if (l.type == "message/rfc822" && plain) {
        RelabelEntity(text, bodyStart, end, depth + 1, edits, spans, labels);
    } else if (isText && plain) {
        spans.push_back({bodyStart, end, false});
        relabel = l.iso2022kr;
    } else if (isText && l.iso2022kr && (l.encoding == "base64" || l.encoding == "quoted-printable")) {
        relabel = RecodeBody(text, bodyStart, end, l.encoding == "base64", edits);
    }
    if (relabel) {
        edits.push_back({l.charsetStart, l.charsetEnd, NEW_CHARSET});
        ++*labels;
    }
}
