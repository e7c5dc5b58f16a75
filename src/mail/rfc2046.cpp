// Mails and the parts nested in them (RFC 2046): multipart bodies between boundary lines,
// and bodies that hold a whole mail (message/rfc822, message/news, message/global), read a
// line at a time.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "convert.h"
#include "platform.h"
#include "rfc2045.h"
#include "rfc2046.h"
#include "rfc2047.h"
#include "rfc5322.h"

namespace {

const char CR = '\r';
const char LF = '\n';
const char DESIGNATOR[] = "\x1b$)C";
const std::size_t DESIGNATOR_SIZE = sizeof DESIGNATOR - 1;
const std::size_t HEADER_ROOM = 1024;
// The most of a text part not labelled ISO-2022-KR that is held to see whether the decoding
// changes it: one read of the folder.
const std::size_t HELD_TEXT = std::size_t{64} * 1024;

// delimiter = CRLF dash-boundary transport-padding CRLF, dash-boundary = "--" boundary;
// close-delimiter = CRLF dash-boundary "--" transport-padding; transport-padding = *LWSP-char.
// Anything else after the boundary makes the line none: boundaries of nested parts often
// begin with their parent's ("b" and "b-1").  Returns 0 for no boundary line, 1 for a
// delimiter, 2 for the close delimiter.
int BoundaryLine(std::string_view line, const std::string &boundary)
{
    std::size_t at = 2 + boundary.size();
    if (at > line.size() || line.compare(2, boundary.size(), boundary) != 0)
        return 0;
    int kind = 1;
    if (line.compare(at, 2, "--") == 0) {
        kind = 2;
        at += 2;
    }
    while (at < line.size() && IsSpace(line[at]))
        ++at;
    return at == line.size() || line[at] == CR || line[at] == LF ? kind : 0;
}

// A body held whole while it is read.  It grows with realloc, which large blocks resize in
// place where the system can (glibc remaps them): growing by copying would hold the body
// twice, and the body may be most of the memory the program uses.
class CBody {
public:
    std::string_view Text() const { return std::string_view(m_data.get(), m_size); }
    char *Data() { return m_data.get(); }
    void Append(std::string_view bytes)
    {
        if (bytes.empty())
            return;
        if (m_capacity - m_size < bytes.size()) {
            std::size_t capacity = std::max(m_size + bytes.size(), 2 * m_capacity + 4096);
            void *grown = std::realloc(m_data.get(), capacity);
            if (grown == nullptr)
                throw std::bad_alloc();
            (void)m_data.release();
            m_data.reset(static_cast<char *>(grown));
            m_capacity = capacity;
        }
        std::memcpy(m_data.get() + m_size, bytes.data(), bytes.size());
        m_size += bytes.size();
    }
    // Cuts the body to size bytes, no more than it holds.
    void Cut(std::size_t size) { m_size = std::min(size, m_size); }

private:
    struct CFree {
        void operator()(char *p) const { std::free(p); }
    };
    std::unique_ptr<char, CFree> m_data;
    std::size_t m_size = 0, m_capacity = 0;
};

// Decodes a body in base64 or quoted-printable in place: it takes no more room decoded.
// Returns 0 when the body cannot be read, 1 when it holds nothing in ISO-2022-KR, no
// designator and no SO or SI (the body is then as it was), 2 when it holds the decoded bytes;
// where always, 2 for every body that can be read.
int DecodeInPlace(CBody &body, bool base64, bool always)
{
    std::string_view text = body.Text();
    // A first reading, keeping nothing, says whether there is anything to recode.
    std::string seen;
    bool found = false;
    bool readable = DecodeTransferSlices(text, base64, [&](std::string_view bytes) {
        seen.append(bytes.substr(0, std::min<std::size_t>(bytes.size(), DESIGNATOR_SIZE)));
        found = found || seen.find(DESIGNATOR) != std::string::npos || bytes.find(DESIGNATOR) != std::string_view::npos ||
                bytes.find_first_of("\x0e\x0f") != std::string_view::npos;
        // The last bytes read, however few each slice gives: soft line breaks can leave a
        // slice a byte of the designator, or none.
        const std::size_t keep = DESIGNATOR_SIZE - 1;
        seen = bytes.size() >= keep ? std::string(bytes.substr(bytes.size() - keep))
                                    : seen.substr(seen.size() - std::min(seen.size(), keep));
    });
    if (!readable)
        return 0;
    if (!found && !always)
        return 1;
    // Each slice decodes into fewer bytes than it was read from.
    std::size_t written = 0;
    (void)DecodeTransferSlices(text, base64, [&](std::string_view bytes) {
        std::memmove(body.Data() + written, bytes.data(), bytes.size());
        written += bytes.size();
    });
    body.Cut(written);
    return 2;
}

// Converts decoded content and puts it out encoded again the same way, a slice at a time:
// as the whole would be encoded, with the platform's line ends, the content's own within,
// and no line end after the last line.  head, when given, is the content's start, to be put
// in place of as much of content.
void PutRecoded(CMailSink &sink, std::string_view content, bool base64, const std::string *head = nullptr)
{
    // Encoded again, its lines are not the folder's: quoted-printable writes "From " as "=46rom ".
    CApartText text(OwnLineEnd(content));
    CTransferEncoder encoder(base64);
    std::string decoded;
    std::size_t from = 0;
    if (head != nullptr && !head->empty()) {
        from = std::min(content.size(), HTML_PRESCAN);
        text.Decode(*head, from == content.size(), decoded);
        sink.PutWithPlatformLineEnds(encoder.Add(decoded, from == content.size()));
        if (from == content.size())
            return;
    }
    for (std::size_t at = from;; at += BODY_SLICE) {
        std::size_t n = std::min(BODY_SLICE, content.size() - at);
        bool last = at + n == content.size();
        decoded.clear();
        text.Decode(content.substr(at, n), last, decoded);
        sink.PutWithPlatformLineEnds(encoder.Add(decoded, last));
        if (last)
            return;
    }
}

}  // namespace

void CMailSink::Put(std::string_view bytes)
{
    count += bytes.size();
    if (file != nullptr && !bytes.empty())
        // cppcheck takes the strings that ReadMail's header hook captures to outlive it.
        // cppcheck-suppress invalidLifetime
        std::fwrite(bytes.data(), 1, bytes.size(), file);
    else if (text != nullptr)
        text->append(bytes);
}

void CMailSink::PutDecoded(SApartDecoder &decoder, std::string_view bytes, std::vector<char> &room)
{
    room.resize(ApartRoom(bytes.size()));
    Put(std::string_view(room.data(), DecodeApartPiece(decoder, bytes.data(), bytes.size(), room.data())));
}

void CMailSink::PutDecodedEnd(SApartDecoder &decoder)
{
    char held[8];
    Put(std::string_view(held, EndApart(decoder, held)));
}

void CMailSink::PutWithPlatformLineEnds(std::string_view bytes)
{
    while (!bytes.empty()) {
        std::size_t lf = bytes.find(LF);
        if (lf == std::string_view::npos) {
            Put(bytes);
            return;
        }
        Put(bytes.substr(0, lf > 0 && bytes[lf - 1] == CR ? lf - 1 : lf));
        Put(PLATFORM_LINE_END);
        bytes.remove_prefix(lf + 1);
    }
}

enum class EFrame {
    HEADER,     // its header block, being read
    MULTIPART,  // parts between boundary lines
    MESSAGE,    // a mail forwarded whole: the entity above it
    DECODED,    // a text body, decoded
    PENDING,    // a text body not labelled ISO-2022-KR, held with its header until it shows
                // whether the decoding changes it
    RECODED,    // a text body in base64 or quoted-printable, held to be recoded
    KEPT        // any other body: its bytes stay
};

struct CEntityRelabeller::CFrame {
    EFrame kind = EFrame::HEADER;
    int depth = 0;
    std::string header;        // HEADER, RECODED: the header block as read
    std::size_t lineSize = 0;  // HEADER: bytes of its current line so far
    std::vector<CEdit> edits;  // RECODED, PENDING: the header's edits, its label's still to come
    CEntityLabels labels;      // RECODED, PENDING
    CBody body;                // RECODED, PENDING: the body as read
    std::size_t looked = 0;    // PENDING: the bytes of the body looked at for a change
    bool heldSeen = false;     // PENDING: the designator flag its header leaves
    std::string boundary;      // MULTIPART
    bool closed = false;       // MULTIPART: past its close delimiter, in its epilogue
    bool opening = false;      // MULTIPART: after a delimiter line; a part starts with the next line
    bool digest = false;       // MULTIPART: a digest, whose parts are mails unless they say otherwise
    bool inDigest = false;     // HEADER: a part of a digest
    bool afterFromLine = false;  // a mail that a "From " line opened, in the text it stands in
    int designatorSeen = 0;    // HEADER: the designator flag its header goes on from
    SApartDecoder decoder{};   // DECODED
    bool labelled = false;     // DECODED: labelled ISO-2022-KR, and so decoded from its first byte
    bool html = false;         // DECODED, RECODED, PENDING: a text/html part
    bool holdingHead = false;  // DECODED: its first HTML_PRESCAN bytes are held in head, for
    std::string head;          // its <meta> charsets to be renamed
};

namespace {

// Room for decoding that outlives each mail's relabeller: a folder of many small mails
// does not allocate it again for every one.  It is used only within one call that puts.
std::vector<char> &DecodingRoom()
{
    static thread_local std::vector<char> room;
    return room;
}

}  // namespace

CEntityRelabeller::CEntityRelabeller(CMailSink &sink, long *labels)
    : m_sink(sink), m_labels(labels), m_decoded(DecodingRoom())
{
    Push(0);
}

CEntityRelabeller::~CEntityRelabeller() = default;

void CEntityRelabeller::ReadAsText()
{
    m_frames.back().kind = EFrame::DECODED;
    m_frames.back().decoder = StartApart(0, APART_FOLDER_LINES);
}

void CEntityRelabeller::Push(int depth)
{
    CFrame &frame = m_frames.emplace_back();
    frame.kind = depth > MAX_NESTING ? EFrame::KEPT : EFrame::HEADER;
    m_tooDeep = m_tooDeep || depth > MAX_NESTING;
    frame.depth = depth;
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
    if (m_boundaryLine) {
        m_sink.Put(run);
    } else {
        CFrame &top = m_frames.back();
        if (top.kind == EFrame::HEADER)
            top.lineSize += run.size();
        // A line that decodes to a "From " line is quoted, as mbox writers quote one: where
        // a mail program reads it decoded, it would start a mail.
        if (lineStart && m_opensMails && top.kind == EFrame::PENDING) {
            std::size_t prefix = FromLinePrefix(run, top.heldSeen);
            if (prefix > 0 && prefix < run.size())
                Settle(true);
        }
        std::size_t before = lineStart && m_opensMails && top.kind == EFrame::DECODED
                                 ? FromLinePrefix(run, top.decoder.designatorSeen != 0)
                                 : std::string_view::npos;
        if (before > 0 && before < run.size()) {
            Content(run.substr(0, before));
            Content(">");
            run.remove_prefix(before);
        }
        Content(run);
    }
    m_lineEnd = lineEnd;
}

bool CEntityRelabeller::TakesLines(bool *headerLines) const
{
    const CFrame &top = m_frames.back();
    // After a "From " line the next line may open a mail (StartLine); after an empty line
    // in a header, the header has ended.
    *headerLines = top.kind == EFrame::HEADER;
    if (m_fromLine || (*headerLines && top.lineSize == 0 && *m_lineEnd != '\0'))
        return false;
    return *headerLines || top.kind == EFrame::DECODED || top.kind == EFrame::RECODED || top.kind == EFrame::KEPT ||
           top.kind == EFrame::PENDING;
}

bool CEntityRelabeller::ReadsAsIso2022Kr() const
{
    const CFrame &top = m_frames.back();
    return top.kind == EFrame::DECODED && top.labelled;
}

void CEntityRelabeller::Lines(std::string_view lines)
{
    if (*m_lineEnd != '\0')
        LineEnd(m_lineEnd);
    m_boundaryLine = false;
    m_read += lines.size();
    // The last line's end waits, as Run leaves it: the next line may be a boundary line,
    // which takes it.
    m_lineEnd = lines.size() > 1 && lines[lines.size() - 2] == CR ? "\r\n" : "\n";
    lines.remove_suffix(std::strlen(m_lineEnd));
    CFrame &frame = m_frames.back();
    if (frame.kind == EFrame::HEADER) {
        std::size_t lf = lines.rfind(LF);
        frame.lineSize = lf == std::string_view::npos ? frame.lineSize + lines.size() : lines.size() - lf - 1;
    }
    // A body that keeps its bytes keeps them but for its line ends, as LineEnd puts them.
    if (frame.kind == EFrame::KEPT)
        m_sink.PutWithPlatformLineEnds(lines);
    else
        Content(lines);
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
            bool digest = top.digest;
            Push(top.depth + 1);
            m_frames.back().inDigest = digest;
        } else if (m_fromLine) {
            OpenMailAfterFromLine();
        }
        // The line end may have ended a header, and begun a multipart that this line opens.
        at = FindBoundary(line, &kind);
        if (at != std::string::npos)
            CloseAbove(at);
    }
    m_lineEnd = "";
    m_fromLine = false;
    if (at == std::string::npos) {
        // After a line of only the designator, a text of a relabelled mail writes ">From ":
        // no mail starts there.
        CFrame &top = m_frames.back();
        // The decoder's state is its own only once it has what is held.
        if (top.kind == EFrame::DECODED && top.holdingHead && line.compare(0, 5, "From ") == 0)
            PutHead(top);
        bool quoted = top.kind == EFrame::DECODED && top.decoder.state.lines == APART_MAIL_LINES &&
                      top.decoder.state.designatorMatched < 0;
        if (m_opensMails && !quoted && line.compare(0, 5, "From ") == 0) {
            m_fromLine = true;
            // A body held to be recoded must not take the line in: a mail that a line like
            // it opened ends before it, and base64, which has no such line, ends there and
            // what follows is read as text.
            if (m_frames.back().kind == EFrame::RECODED) {
                std::size_t i = 0;
                while (i < m_frames.size() && !m_frames[i].afterFromLine)
                    ++i;
                if (i < m_frames.size()) {
                    CloseAbove(i - 1);
                } else if (top.labels.encoding == "base64") {
                    top.decoder = StartApart(Recode(top), APART_MAIL_LINES);
                    top.kind = EFrame::DECODED;
                }
            }
        }
        return false;
    }
    m_frames[at].opening = kind == 1;
    m_frames[at].closed = kind == 2;
    return true;
}

// mbox readers that start a mail at every "From " line find one in the lines after this one;
// those that want an empty line before it read on in the text it stands in.  Both find their
// labels naming what the bytes are when the lines are relabelled as a mail, nested where they
// stand: a boundary of the part around closes it.  Its header goes on from the designator of
// the text before it, which the other readers read it in.  The mail that the last such line
// opened ends here; the line itself went to it, so that a designator line before it stays.
void CEntityRelabeller::OpenMailAfterFromLine()
{
    for (std::size_t i = 0; i < m_frames.size(); ++i) {
        if (m_frames[i].afterFromLine) {
            CloseAbove(i - 1);
            break;
        }
    }
    if (m_frames.back().kind == EFrame::PENDING)
        Settle(false);
    const CFrame &top = m_frames.back();
    if (top.kind != EFrame::DECODED && top.kind != EFrame::MULTIPART)
        return;
    int designatorSeen = top.kind == EFrame::DECODED ? top.decoder.designatorSeen : 0;
    Push(top.depth + 1);
    m_frames.back().afterFromLine = true;
    m_frames.back().designatorSeen = designatorSeen;
}

void CEntityRelabeller::Content(std::string_view bytes)
{
    CFrame &frame = m_frames.back();
    switch (frame.kind) {
    case EFrame::HEADER:
        // Room for a header of a few lines at once rather than growing with every one.
        if (frame.header.empty())
            frame.header.reserve(HEADER_ROOM);
        frame.header.append(bytes);
        if (frame.header.size() > MAX_HEADER) {
            // Too long for a header: what its labels say is not known, and the entity keeps
            // its bytes, body and all, rather than have them changed under labels that
            // would then be wrong.
            frame.kind = EFrame::KEPT;
            m_headerTooLong = true;
            m_sink.PutWithPlatformLineEnds(frame.header);
            std::string().swap(frame.header);
        }
        break;
    case EFrame::DECODED:
        if (frame.holdingHead)
            HoldHead(frame, bytes);
        else
            m_sink.PutDecoded(frame.decoder, bytes, m_decoded);
        break;
    case EFrame::PENDING:
        frame.body.Append(bytes);
        Look(frame);
        break;
    case EFrame::RECODED:
        frame.body.Append(bytes);
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
    case EFrame::DECODED:
        if (frame.holdingHead)
            HoldHead(frame, lineEnd);
        else
            m_sink.PutDecoded(frame.decoder, lineEnd, m_decoded);
        break;
    case EFrame::PENDING:
        frame.body.Append(lineEnd);
        Look(frame);
        break;
    case EFrame::RECODED:
        frame.body.Append(lineEnd);
        break;
    default:
        m_sink.Put(PLATFORM_LINE_END);
    }
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
    CEntityLabels l;
    CField field{};
    for (std::size_t pos = 0; NextField(header, pos, header.size(), field);) {
        RelabelEncodedWords(header, field, edits, m_labels);
        RelabelExtendedValues(header, field, edits, m_labels);
        ReadLabel(header, field, l);
    }
    // RFC 2046, 5.1.5: in a digest the default type is message/rfc822, not text/plain.
    if (l.type.empty() && frame.inDigest)
        l.type = "message/rfc822";
    // Only text is converted: a part of another type keeps its bytes, and so its label,
    // whatever the label says.
    bool isText = l.type.empty() || l.type.compare(0, 5, "text/") == 0;
    frame.html = l.type == "text/html";
    // The decoder converts bodies that are text as they stand: binary is no encoding either
    // (RFC 2045, 6.2), and a forwarded mail may have it (RFC 2046, 5.2.1).
    bool plain = l.encoding.empty() || l.encoding == "7bit" || l.encoding == "8bit" || l.encoding == "binary";
    if (isText && l.iso2022kr && (l.encoding == "base64" || l.encoding == "quoted-printable")) {
        // Put out with its body, once that shows whether the label changes.
        frame.kind = EFrame::RECODED;
        frame.header = std::move(header);
        frame.edits = std::move(edits);
        frame.labels = l;
        return;
    }
    if (isText && plain && !l.iso2022kr) {
        // Put out with the start of its body, once that shows whether the decoding changes it.
        frame.kind = EFrame::PENDING;
        frame.heldSeen = frame.designatorSeen != 0 || header.find(DESIGNATOR) != std::string::npos;
        frame.header = std::move(header);
        frame.edits = std::move(edits);
        frame.labels = l;
        return;
    }
    if (isText && plain) {
        edits.insert(edits.end(), l.relabel.begin(), l.relabel.end());
        *m_labels += l.charsets;
        // RFC 2045, 2.7: 7bit data has no byte over 127, as EUC-KR text has.
        if (l.encoding == "7bit")
            edits.push_back({l.encodingStart, l.encodingEnd, "8bit"});
    }
    (void)PutHeader(frame, header, edits);
    // Forwarded whole: a mail, an article, a mail with UTF-8 fields (RFC 6532).  Not
    // message/partial, a piece of a mail that has its designator in another piece.
    bool message = l.type == "message/rfc822" || l.type == "message/news" || l.type == "message/global";
    if (l.type.compare(0, 10, "multipart/") == 0 && !l.boundary.empty()) {
        frame.kind = EFrame::MULTIPART;
        frame.boundary = l.boundary;
        frame.digest = l.type == "multipart/digest";
    } else if (message && plain) {
        frame.kind = EFrame::MESSAGE;
        Push(frame.depth + 1);
    } else if (isText && plain) {
        // Text that says it is ISO-2022-KR is read so from its first byte, as iconv reads it,
        // whether or not a designator comes first.
        frame.kind = EFrame::DECODED;
        frame.decoder = StartApart(1, BodyLines());
        frame.labelled = true;
        frame.holdingHead = l.type == "text/html";
    } else {
        frame.kind = EFrame::KEPT;
    }
}

// Under its new label a designator line shows as text: before a "From " line it goes, its
// line end kept, and in a folder that line is quoted.
EApartLines CEntityRelabeller::BodyLines() const
{
    return m_opensMails ? APART_MAIL_LINES : APART_ONE_MAIL_LINES;
}

// Looks at what a PENDING frame's body holds since it was last looked at, the designator's
// bytes before that too, and settles it once a change shows or it holds HELD_TEXT.
void CEntityRelabeller::Look(CFrame &frame)
{
    std::string_view body = frame.body.Text();
    std::string_view fresh = body.substr(frame.looked >= DESIGNATOR_SIZE ? frame.looked - (DESIGNATOR_SIZE - 1) : 0);
    frame.looked = body.size();
    bool changes = fresh.find(DESIGNATOR) != std::string_view::npos ||
                   (frame.heldSeen && fresh.find_first_of("\x0e\x0f") != std::string_view::npos);
    if (changes || body.size() >= HELD_TEXT)
        Settle(changes);
}

// Ends the holding of the PENDING frame on top: its header put, its labels made to say
// EUC-KR where the decoding changes its text (whatever they said, the type added where
// it had none), and what it held decoded as the DECODED frame it becomes.
void CEntityRelabeller::Settle(bool changes)
{
    std::size_t at = m_frames.size() - 1;
    CFrame &frame = m_frames[at];
    if (changes) {
        // A part of a multipart is no mail, which MIME-Version would be needed in; a mail
        // after a "From " line is lines of a text to some readers, which a field added would
        // change.
        ETypeAdded added = frame.afterFromLine ? TYPE_NOT_ADDED
                           : at > 0 && m_frames[at - 1].kind == EFrame::MULTIPART ? TYPE_ADDED
                                                                                  : TYPE_ADDED_TO_MAIL;
        *m_labels += LabelAsEucKr(frame.header, true, added, frame.edits);
    } else {
        frame.edits.insert(frame.edits.end(), frame.labels.relabel.begin(), frame.labels.relabel.end());
        *m_labels += frame.labels.charsets;
    }
    int designatorSeen = PutHeader(frame, frame.header, frame.edits);
    std::string().swap(frame.header);
    frame.kind = EFrame::DECODED;
    frame.decoder = StartApart(designatorSeen, BodyLines());
    frame.holdingHead = changes && frame.html;
    std::string_view body = frame.body.Text();
    if (frame.holdingHead) {
        std::size_t n = std::min(body.size(), HTML_PRESCAN);
        HoldHead(frame, body.substr(0, n));
        body.remove_prefix(n);
    }
    if (!body.empty())
        m_sink.PutDecoded(frame.decoder, body, m_decoded);
    frame.body = CBody();
}

// Holds the next bytes of a converted HTML text's first HTML_PRESCAN, its <meta> charsets
// renamed and the whole put once they are all there.
void CEntityRelabeller::HoldHead(CFrame &frame, std::string_view bytes)
{
    std::size_t n = std::min(bytes.size(), HTML_PRESCAN - std::min(HTML_PRESCAN, frame.head.size()));
    frame.head.append(bytes.substr(0, n));
    if (frame.head.size() >= HTML_PRESCAN)
        PutHead(frame);
    if (n < bytes.size())
        m_sink.PutDecoded(frame.decoder, bytes.substr(n), m_decoded);
}

// Puts what a DECODED frame holds of its HTML, its <meta> charsets renamed.
void CEntityRelabeller::PutHead(CFrame &frame)
{
    frame.holdingHead = false;
    RelabelHtmlMeta(frame.head, m_labels);
    m_sink.PutDecoded(frame.decoder, frame.head, m_decoded);
    std::string().swap(frame.head);
}

// Puts out the header of frame with its edits, decoded on its own; returns its designator flag.
int CEntityRelabeller::PutHeader(const CFrame &frame, const std::string &header, std::vector<CEdit> &edits)
{
    std::sort(edits.begin(), edits.end(), [](const CEdit &a, const CEdit &b) { return a.start < b.start; });
    std::string text = ApplyEdits(header, 0, header.size(), edits);
    SApartDecoder decoder = StartApart(frame.designatorSeen, APART_FOLDER_LINES);
    std::string decoded(ApartRoom(text.size()), '\0');
    std::size_t n = DecodeApartPiece(decoder, text.data(), text.size(), &decoded[0]);
    decoded.resize(n + EndApart(decoder, &decoded[n]));
    if (frame.depth == 0 && m_takeTopHeader)
        m_takeTopHeader(decoded);
    else
        m_sink.Put(decoded);
    return decoder.designatorSeen;
}

// Decodes a body in base64 or quoted-printable, converts it and puts it out encoded again
// the same way, with its header.  A body that cannot be read stays as it is, and so does
// its label; one that holds nothing in ISO-2022-KR stays too, and its label changes.
// Returns the header's designator flag.
int CEntityRelabeller::Recode(CFrame &frame)
{
    // The line ends at the body's end stay as they are: they may separate it from what
    // follows rather than be its own.
    CBody &body = frame.body;
    std::string_view text = body.Text();
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == LF || text[end - 1] == CR))
        --end;
    std::string tail(text.substr(end));
    body.Cut(end);
    bool base64 = frame.labels.encoding == "base64";
    bool soft = !base64 && EndsInSoftLineBreak(body.Text());
    // An HTML text is encoded again for its <meta> tags, whatever else it holds.
    int result = DecodeInPlace(body, base64, frame.html);
    if (result != 0) {
        frame.edits.insert(frame.edits.end(), frame.labels.relabel.begin(), frame.labels.relabel.end());
        *m_labels += frame.labels.charsets;
    }
    int designatorSeen = PutHeader(frame, frame.header, frame.edits);
    text = body.Text();
    if (result == 2) {
        // A browser takes an HTML text's charset from its <meta> tags.
        std::string head;
        if (frame.html) {
            head.assign(text.substr(0, std::min(text.size(), HTML_PRESCAN)));
            RelabelHtmlMeta(head, m_labels);
        }
        PutRecoded(m_sink, text, base64, frame.html ? &head : nullptr);
        // Encoded again, the text ends as it did: on a soft line break, joined to no line end.
        if (soft)
            m_sink.Put("=");
    } else {
        m_sink.PutWithPlatformLineEnds(text);
    }
    m_sink.PutWithPlatformLineEnds(tail);
    return designatorSeen;
}

void CEntityRelabeller::CloseTop()
{
    std::size_t at = m_frames.size() - 1;
    // An entity that ends in its header has an empty body.
    if (m_frames[at].kind == EFrame::HEADER) {
        FinishHeader();
        CloseAbove(at);
    }
    if (m_frames[at].kind == EFrame::PENDING)
        Settle(false);
    CFrame &frame = m_frames[at];
    if (frame.kind == EFrame::DECODED && frame.holdingHead)
        PutHead(frame);
    if (frame.kind == EFrame::DECODED) {
        m_sink.PutDecodedEnd(frame.decoder);
    } else if (frame.kind == EFrame::RECODED) {
        Recode(frame);
    }
    m_frames.pop_back();
}

void CEntityRelabeller::CloseAbove(std::size_t at)
{
    while (m_frames.size() > at + 1)
        CloseTop();
}
