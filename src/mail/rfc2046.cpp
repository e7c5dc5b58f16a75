// Mails and the parts nested in them (RFC 2046): multipart bodies between boundary lines,
// and message/rfc822 bodies that hold a whole mail, read a line at a time.
#include <algorithm>
#include <cstring>

#include "convert.h"
#include "mail.h"
#include "platform.h"

namespace {

const char CR = '\r';
const char LF = '\n';
const char DESIGNATOR[] = "\x1b$)C";
const std::size_t LINE_END_SIZE = sizeof PLATFORM_LINE_END - 1;

// A boundary line, dash-boundary = "--" boundary, counts only when a line end or "-"
// follows it: boundaries of nested parts often begin with their parent's.  Returns 0 for
// no boundary line, 1 for a delimiter, 2 for the close delimiter ("--" boundary "--").
int BoundaryLine(std::string_view line, const std::string &boundary)
{
    std::size_t after = 2 + boundary.size();
    if (after > line.size() || line.compare(2, boundary.size(), boundary) != 0)
        return 0;
    if (after == line.size() || line[after] == CR || line[after] == LF)
        return 1;
    return line[after] == '-' ? 2 : 0;
}

// Decodes a body in base64 or quoted-printable, converts it and encodes it again the same
// way into recoded, emptying body.  Returns 0 when the body cannot be read, 1 when it holds
// nothing that is ISO-2022-KR (its bytes then stay), 2 when it was recoded.
int RecodeBody(std::string &body, bool base64, std::string &recoded)
{
    std::string content;
    if (!(base64 ? DecodeBase64(body, content) : DecodeQuotedPrintable(body, content)))
        return 0;
    if (content.find(DESIGNATOR) == std::string::npos)
        return 1;
    // Held once encoded and once decoded at most.
    std::string().swap(body);
    std::string converted = DecodeApart(std::move(content));
    recoded = base64 ? EncodeBase64(converted) : EncodeQuotedPrintable(converted);
    std::string().swap(converted);
    if (!recoded.empty() && recoded.back() == LF)
        recoded.pop_back();
    return 2;
}

}  // namespace

enum class EFrame {
    HEADER,     // its header block, being read
    MULTIPART,  // parts between boundary lines
    MESSAGE,    // a mail forwarded whole: the entity above it
    TEXT,       // a text body, decoded
    RECODE,     // a text body in base64 or quoted-printable, held to be recoded
    OPAQUE      // any other body: its bytes stay
};

struct CEntityRelabeller::CFrame {
    EFrame kind = EFrame::HEADER;
    int depth = 0;
    std::string header;        // HEADER, RECODE: the header block as read
    std::size_t lineSize = 0;  // HEADER: bytes of its current line so far
    std::vector<CEdit> edits;  // RECODE: the header's edits, its label's still to come
    CEntityLabels labels;      // RECODE
    std::string body;          // RECODE: the body as read
    std::string boundary;      // MULTIPART
    bool closed = false;       // MULTIPART: past its close delimiter, in its epilogue
    bool opening = false;      // MULTIPART: after a delimiter line; a part starts with the next line
    SApartDecoder decoder{};   // TEXT
};

CEntityRelabeller::CEntityRelabeller(CMailSink &sink, long *labels) : m_sink(sink), m_labels(labels)
{
    Push(0);
}

CEntityRelabeller::~CEntityRelabeller() = default;

void CEntityRelabeller::Push(int depth)
{
    CFrame frame;
    frame.kind = depth > MAX_NESTING ? EFrame::OPAQUE : EFrame::HEADER;
    frame.depth = depth;
    m_frames.push_back(std::move(frame));
}

void CEntityRelabeller::Run(std::string_view run, bool lineStart)
{
    if (lineStart)
        m_boundaryLine = StartLine(run);
    m_read += run.size();
    const char *lineEnd = "";
    if (!run.empty() && run.back() == LF) {
        lineEnd = run.size() > 1 && run[run.size() - 2] == CR ? "\r\n" : "\n";
        run.remove_suffix(std::strlen(lineEnd));
    }
    if (m_boundaryLine)
        m_sink.Put(run);
    else
        Content(run);
    m_lineEnd = lineEnd;
}

void CEntityRelabeller::End()
{
    if (*m_lineEnd != '\0')
        LineEnd(m_lineEnd);
    m_lineEnd = "";
    while (!m_frames.empty())
        CloseTop();
}

// The multipart that takes line as one of its boundary lines: the outermost, whose lines
// its parts lie between.  Returns its index, or npos.
std::size_t CEntityRelabeller::FindBoundary(std::string_view line, int *kind) const
{
    if (line.size() < 2 || line[0] != '-' || line[1] != '-')
        return std::string::npos;
    for (std::size_t i = 0; i < m_frames.size(); ++i) {
        const CFrame &frame = m_frames[i];
        if (frame.kind == EFrame::MULTIPART && !frame.closed && (*kind = BoundaryLine(line, frame.boundary)) != 0)
            return i;
    }
    return std::string::npos;
}

// multipart-body = [preamble CRLF] dash-boundary CRLF body-part
//                  *(CRLF dash-boundary CRLF body-part) CRLF dash-boundary "--" [CRLF epilogue]
// The CRLF before each boundary line belongs to the boundary, not to the part: the last
// line's end is known to be the part's only once the next line is not a boundary line.
bool CEntityRelabeller::StartLine(std::string_view line)
{
    int kind = 0;
    std::size_t at = FindBoundary(line, &kind);
    if (at != std::string::npos) {
        // What the part still holds goes out before it.
        CloseAbove(at);
        if (*m_lineEnd != '\0')
            m_sink.Put(PLATFORM_LINE_END);
    } else {
        if (*m_lineEnd != '\0')
            LineEnd(m_lineEnd);
        CFrame &top = m_frames.back();
        if (top.kind == EFrame::MULTIPART && top.opening) {
            top.opening = false;
            Push(top.depth + 1);
        }
        // The line end may have ended a header, and begun a multipart that this line opens.
        at = FindBoundary(line, &kind);
    }
    m_lineEnd = "";
    if (at == std::string::npos)
        return false;
    CloseAbove(at);
    m_frames[at].opening = kind == 1;
    m_frames[at].closed = kind == 2;
    return true;
}

void CEntityRelabeller::Content(std::string_view bytes)
{
    CFrame &frame = m_frames.back();
    switch (frame.kind) {
    case EFrame::HEADER:
        frame.header.append(bytes);
        frame.lineSize += bytes.size();
        if (frame.header.size() > MAX_HEADER) {
            // Too long for a header: decoded as the text it is, nothing in it relabelled.
            frame.kind = EFrame::TEXT;
            frame.decoder = StartApart(0);
            Decode(frame, frame.header);
            std::string().swap(frame.header);
        }
        break;
    case EFrame::TEXT:
        Decode(frame, bytes);
        break;
    case EFrame::RECODE:
        frame.body.append(bytes);
        break;
    default:
        m_sink.Put(bytes);
    }
}

void CEntityRelabeller::LineEnd(const char *lineEnd)
{
    CFrame &frame = m_frames.back();
    switch (frame.kind) {
    case EFrame::HEADER: {
        frame.header += lineEnd;
        bool empty = frame.lineSize == 0;
        frame.lineSize = 0;
        // header-block = *field CRLF: the block ends with its first empty line.
        if (empty)
            FinishHeader();
        break;
    }
    case EFrame::TEXT:
        Decode(frame, lineEnd);
        break;
    case EFrame::RECODE:
        frame.body += lineEnd;
        break;
    default:
        m_sink.Put(PLATFORM_LINE_END);
    }
}

void CEntityRelabeller::Decode(CFrame &frame, std::string_view bytes)
{
    m_decoded.resize(LINE_END_SIZE * bytes.size() + 4);
    m_sink.Put(std::string_view(m_decoded.data(), DecodeApartPiece(frame.decoder, bytes.data(), bytes.size(),
                                                                   m_decoded.data())));
}

// entity = header-block body; the body's meaning comes from the header's labels.
void CEntityRelabeller::FinishHeader()
{
    std::size_t at = m_frames.size() - 1;
    CFrame &frame = m_frames[at];
    if (frame.depth == 0)
        m_bodyStart = m_read;
    std::string header = std::move(frame.header);
    std::vector<CEdit> edits;
    for (const CField &field : ReadFields(header, 0, header.size()))
        RelabelEncodedWords(header, field, edits, m_labels);
    CEntityLabels l = ReadLabels(header, 0, header.size());
    // Only text is converted: a part of another type keeps its bytes, and so its label,
    // whatever the label says.
    bool isText = l.type.empty() || l.type.compare(0, 5, "text/") == 0;
    // The decoder converts bodies that are text as they stand.
    bool plain = l.encoding.empty() || l.encoding == "7bit" || l.encoding == "8bit";
    if (isText && l.iso2022kr && (l.encoding == "base64" || l.encoding == "quoted-printable")) {
        // Put out with its body, once that shows whether the label changes.
        frame.kind = EFrame::RECODE;
        frame.header = std::move(header);
        frame.edits = std::move(edits);
        frame.labels = l;
        return;
    }
    if (isText && plain && l.iso2022kr) {
        edits.push_back({l.charsetStart, l.charsetEnd, NEW_CHARSET});
        ++*m_labels;
    }
    int designatorSeen = PutHeader(frame.depth, header, edits);
    if (l.type.compare(0, 10, "multipart/") == 0 && !l.boundary.empty()) {
        frame.kind = EFrame::MULTIPART;
        frame.boundary = l.boundary;
    } else if (l.type == "message/rfc822" && plain) {
        frame.kind = EFrame::MESSAGE;
        Push(frame.depth + 1);
    } else if (isText && plain) {
        frame.kind = EFrame::TEXT;
        frame.decoder = StartApart(designatorSeen);
    } else {
        frame.kind = EFrame::OPAQUE;
    }
}

// Puts out a header with its edits, decoded on its own; returns its designator flag.
int CEntityRelabeller::PutHeader(int depth, const std::string &header, std::vector<CEdit> &edits)
{
    std::sort(edits.begin(), edits.end(), [](const CEdit &a, const CEdit &b) { return a.start < b.start; });
    std::string text = ApplyEdits(header, 0, header.size(), edits);
    SApartDecoder decoder = StartApart(0);
    std::string decoded(LINE_END_SIZE * text.size() + 4, '\0');
    std::size_t n = DecodeApartPiece(decoder, text.data(), text.size(), &decoded[0]);
    decoded.resize(n + EndApart(decoder, &decoded[n]));
    if (depth == 0 && m_takeTopHeader)
        m_takeTopHeader(decoded);
    else
        m_sink.Put(decoded);
    return decoder.designatorSeen;
}

void CEntityRelabeller::Recode(CFrame &frame)
{
    // The line ends at the body's end stay as they are: they may separate it from what
    // follows rather than be its own.
    std::string &body = frame.body;
    std::size_t end = body.size();
    while (end > 0 && (body[end - 1] == LF || body[end - 1] == CR))
        --end;
    std::string tail = body.substr(end);
    body.resize(end);
    std::string recoded;
    int result = RecodeBody(body, frame.labels.encoding == "base64", recoded);
    if (result != 0) {
        frame.edits.push_back({frame.labels.charsetStart, frame.labels.charsetEnd, NEW_CHARSET});
        ++*m_labels;
    }
    (void)PutHeader(frame.depth, frame.header, frame.edits);
    m_sink.PutWithPlatformLineEnds(result == 2 ? recoded : body);
    m_sink.PutWithPlatformLineEnds(tail);
}

void CEntityRelabeller::CloseTop()
{
    std::size_t at = m_frames.size() - 1;
    // An entity that ends in its header has an empty body.
    if (m_frames[at].kind == EFrame::HEADER) {
        FinishHeader();
        CloseAbove(at);
    }
    CFrame &frame = m_frames[at];
    if (frame.kind == EFrame::TEXT) {
        char held[8];
        m_sink.Put(std::string_view(held, EndApart(frame.decoder, held)));
    } else if (frame.kind == EFrame::RECODE) {
        Recode(frame);
    }
    m_frames.pop_back();
}

void CEntityRelabeller::CloseAbove(std::size_t at)
{
    while (m_frames.size() > at + 1)
        CloseTop();
}
