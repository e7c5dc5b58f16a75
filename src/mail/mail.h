// Mail structure, as far as relabelling needs it: where mails, header fields and parts
// begin and end, and the labels in them that name ISO-2022-KR.
//
// It reads headers and boundaries; it is not a MIME library.  Everything works on the
// original bytes: a parser finds the spans to replace, and every other byte is copied as
// it stands.  What it cannot read (a broken encoded word, an unknown transfer encoding, a
// missing boundary) passes through unchanged.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "convert.h"
#include "mail_text.h"

// --- Header fields (rfc5322.cpp) ---

// One header field: its name and the span of the whole field, continuation lines and the
// final line end included.
struct CField {
    std::size_t start, nameEnd, end;
};

// Offset just past the empty line that ends the header block starting at start, or end
// when the block runs to end without one.
std::size_t HeaderBlockEnd(const std::string &text, std::size_t start, std::size_t end);
// The fields of the header block text[start, end).  Lines that are neither a field nor a
// continuation are skipped.
std::vector<CField> ReadFields(const std::string &text, std::size_t start, std::size_t end);
// True when the field is named lowerName, ignoring ASCII case.
bool FieldIs(const std::string &text, const CField &field, const char *lowerName);
// The field's value after the colon, unfolded: line ends before a space or TAB removed.
CView UnfoldValue(const std::string &text, const CField &field);

// --- Media types and transfer encodings (rfc2045.cpp) ---

// What the Content-Type and Content-Transfer-Encoding fields of a mail or part say.
struct CEntityLabels {
    std::string type;      // "text/plain", lower case; "" when absent, text/plain when not type/subtype
    std::string boundary;  // the boundary parameter, unquoted
    std::string encoding;  // "base64", "quoted-printable", ...; lower case; "" when absent
    bool iso2022kr = false;    // the charset parameter (the first, where there are more) names ISO-2022-KR
    std::vector<CEdit> relabel;  // edits that make every charset parameter naming ISO-2022-KR name EUC-KR
    long charsets = 0;           // the parameters they rename
};

// Reads the labels of the header block text[start, end).
CEntityLabels ReadLabels(const std::string &text, std::size_t start, std::size_t end);

// Decodes base64 text, skipping line ends and other bytes outside the alphabet.  False when
// the text does not decode to whole bytes.
bool DecodeBase64(std::string_view in, std::string &out);
// The same for base64 text in pieces, cut anywhere: state carries what a piece leaves over.
// A piece that is not base64 returns false; at the end, the text decoded to whole bytes when
// state.count < 6.
struct CBase64State {
    unsigned int bits = 0;
    int count = 0;
    bool padded = false;
};
bool DecodeBase64Piece(std::string_view in, std::string &out, CBase64State &state);
// Encodes bytes as base64 in lines of 76 characters, each ending in LF.
std::string EncodeBase64(const std::string &in);
// Decodes quoted-printable text; a hard line end, CRLF or LF, becomes LF, and only an
// encoded "=0D" makes a CR.  False for an "=" that is neither a soft line break nor
// followed by two hexadecimal digits.
bool DecodeQuotedPrintable(std::string_view in, std::string &out);
// True when quoted-printable text ends in a soft line break ("=" and what a line may have
// after it), which joins its last line to no other.
bool EndsInSoftLineBreak(std::string_view in);
// Encodes bytes as quoted-printable in lines of at most 76 characters, each ending in LF;
// an LF in the input is a hard line end, a CR before it is encoded like any other byte.
std::string EncodeQuotedPrintable(const std::string &in);

// How much of a body is decoded or encoded at a time: memory stays the same whatever the
// size of the body.
const std::size_t BODY_SLICE = std::size_t{57} * 1024;
// The bytes of one line of base64, 76 characters.
const std::size_t BASE64_LINE_BYTES = 57;

// Decodes a body in base64 or quoted-printable a slice of BODY_SLICE at a time, handing
// each slice's bytes to take.  False when the text is not what it says (take may have had
// some slices by then).
bool DecodeTransferSlices(std::string_view text, bool base64, const std::function<void(std::string_view)> &take);

// Encodes content given in pieces, cut anywhere, just as EncodeBase64 or
// EncodeQuotedPrintable would encode the whole: each piece returns what it completes,
// whole groups of 57 bytes or whole lines, the lines ending in LF but for the last, which
// has no line end.
class CTransferEncoder {
public:
    explicit CTransferEncoder(bool base64) : m_base64(base64) {}
    // Takes the next piece of content, last when the content ends with it, and returns the
    // encoded text that follows what the calls before returned.
    std::string Add(std::string_view content, bool last);

private:
    std::string Encode(std::size_t n);

    bool m_base64;
    std::string m_pending;       // content not encoded yet
    bool m_lineEndHeld = false;  // the LF after the text returned so far, not given out yet
};

// --- Encoded words (rfc2047.cpp) ---

// Edits that rewrite every run of ISO-2022-KR encoded words in one field as EUC-KR encoded
// words of the same text, folded within the line limits.  Adds the number of words
// rewritten to *words.
void RelabelEncodedWords(const std::string &text, const CField &field, std::vector<CEdit> &edits,
                         long *words);

// Encodes EUC-KR text as encoded words with encoding 'B' or 'Q', the first starting at
// column, folding before a word that would pass the line limit; tail characters follow the
// last word on its line, and fit there too where a fold can make them.
std::string EncodeWords(const std::string &text, char encoding, std::size_t column, std::size_t tail = 0);

// --- Output (mbox.cpp) ---

// Where relabelled text goes: a stream (write errors left in its error indicator), a string,
// or nowhere.  Every byte put is counted, wherever it goes.
struct CMailSink {
    FILE *file = nullptr;
    std::string *text = nullptr;
    unsigned long long count = 0;

    void Put(std::string_view bytes);
    // Puts bytes with each line end, CR LF or a bare LF, made the platform's.
    void PutWithPlatformLineEnds(std::string_view bytes);
    // Puts the next bytes of a text decoded apart (convert.h), room holding the decoding.
    void PutDecoded(SApartDecoder &decoder, std::string_view bytes, std::vector<char> &room);
    // Puts what decoder held back at its text's end.
    void PutDecodedEnd(SApartDecoder &decoder);
};

// --- Mails and parts (rfc2046.cpp) ---

// How deep multiparts and forwarded mails may nest; deeper ones pass through unchanged.
const int MAX_NESTING = 64;
// The most of a header block that is read as one: a longer one is no header a mail program
// wrote, and is decoded as text, nothing in it relabelled.
const std::size_t MAX_HEADER = std::size_t{4} << 20;

// Relabels one mail or part, and everything nested in it, as it is read: a run at a time,
// each line in one run or more (the first holding its first 64 KiB at least, where the line
// is that long).  Headers, with their encoded words and labels, are held until their empty
// line; a body is passed on as it comes, except one in base64 or quoted-printable that is
// recoded, which is held until its end.  The header of a mail or part is decoded as
// ISO-2022-KR on its own, and the body of a text part (text/*, or no type) goes on from its
// header's designator flag; the rest (boundary lines, bodies that are not text) keeps its
// bytes, its line ends made the platform's.  Adds the number of labels and encoded words
// changed to *labels.
class CEntityRelabeller {
public:
    CEntityRelabeller(CMailSink &sink, long *labels);
    ~CEntityRelabeller();
    CEntityRelabeller(const CEntityRelabeller &) = delete;
    CEntityRelabeller &operator=(const CEntityRelabeller &) = delete;

    // Takes the header of the outermost entity once decoded, in place of the sink, to put
    // into it itself: a mail's Content-Length follows its body.
    void TakeTopHeader(std::function<void(std::string &)> take) { m_takeTopHeader = std::move(take); }
    // Reads a "From " line that follows no empty line as mbox readers that start a mail at
    // every one do: the lines after it, up to the end of the part it stands in or the next
    // such line, are relabelled as a mail of their own.  For the lines of a folder, not
    // those of a file of one mail.  Only text and the lines around parts take one; a body
    // kept or recoded goes on.
    void OpenMailsAtFromLines() { m_opensMails = true; }
    // Reads what comes as text with no header of its own: the text before a folder's first mail.
    void ReadAsText();
    // Takes the next run; lineStart when it begins a line.
    void Run(std::string_view run, bool lineStart);
    // Ends the entity: what is still held is put out.
    void End();
    // Bytes read so far, and those before the body of the outermost entity (all of them
    // until its header has ended).
    unsigned long long Read() const { return m_read; }
    unsigned long long BodyStart() const { return m_bodyStart; }

private:
    struct CFrame;
    bool StartLine(std::string_view line);
    std::size_t FindBoundary(std::string_view line, int *kind) const;
    void Push(int depth);
    void Content(std::string_view bytes);
    void LineEnd(const char *lineEnd);
    void FinishHeader();
    int PutHeader(const CFrame &frame, const std::string &header, std::vector<CEdit> &edits);
    void OpenMailAfterFromLine();
    int Recode(CFrame &frame);
    void CloseTop();
    void CloseAbove(std::size_t at);

    CMailSink &m_sink;
    long *m_labels;
    std::vector<CFrame> m_frames;  // the entities open, the outermost first
    const char *m_lineEnd = "";    // the last line's end, until the next line tells whose it is
    bool m_boundaryLine = false;   // the current line is a boundary line
    bool m_opensMails = false;     // "From " lines open mails
    bool m_fromLine = false;       // the current line is a "From " line that may open one
    std::vector<char> m_decoded;   // room for decoding
    unsigned long long m_read = 0, m_bodyStart = 0;
    std::function<void(std::string &)> m_takeTopHeader;
};

// --- Folders (mbox.cpp) ---

// The longest field name looked for on a file's first line.
const std::size_t MAX_FIELD_NAME = 76;
// True when text starts with a header field's name and its colon (RFC 5322).
bool StartsWithField(std::string_view text);

// Reads a folder one piece at a time: a mail, or the text before the first one.  A mail
// starts at a line beginning with "From " at the start of the folder or after an empty
// line.  Each piece comes in runs of at most 64 KiB, a long line in several: memory stays
// the same whatever the size of a mail or a line.
class CFolderReader {
public:
    explicit CFolderReader(FILE *in);
    explicit CFolderReader(std::string_view text);
    // Goes to the next piece; false at the end of the folder or on a read error.
    bool NextPiece();
    // True when the piece is a mail, false when it is text before the first one.  A folder
    // that starts with a header field rather than a "From " line is a file of one mail, one
    // piece to its end.
    bool IsMail() const { return m_isMail; }
    // True when the mail opens with a "From " line (not so in a file of one mail).
    bool HasFromLine() const { return m_hasFromLine; }
    // At the piece's end: the size of the empty line that parts it from the mail after it,
    // the piece's last line; 0 when the folder ends after the piece.
    std::size_t Separator() const { return m_separator; }
    // Puts the next run of the piece into run, lineStart saying whether it begins a line;
    // false at the piece's end.  A run is good until the next call.
    bool NextRun(std::string_view &run, bool &lineStart);
    // True when the reader can go back to the start of its piece: the folder is in memory,
    // or a file it can seek in.
    bool CanRewind() const { return m_origin >= 0; }
    // Goes back to the start of the piece, to read it again.  False on failure (the reader
    // has then failed).
    bool Rewind();
    bool Failed() const { return m_failed || (m_in != nullptr && std::ferror(m_in) != 0); }
    // Has seen called with every byte of the folder as it is read, in order, once.
    void Observe(std::function<void(std::string_view)> seen) { m_seen = std::move(seen); }

private:
    bool Fill();

    FILE *m_in = nullptr;
    std::string_view m_text;  // the folder, when it is in memory
    long long m_origin = -1;  // where the folder starts in its file (0 in memory); -1 if no going back
    std::vector<char> m_buffer;
    std::size_t m_pos = 0, m_size = 0;
    unsigned long long m_bufferAt = 0;  // offset of m_buffer[0] in the folder
    unsigned long long m_pieceAt = 0;   // offset of the piece's start
    unsigned long long m_seenTo = 0;    // bytes handed to m_seen
    bool m_eof = false, m_failed = false;
    bool m_lineStart = true;   // the next run begins a line
    bool m_lastEmpty = true;   // the line before was empty, or there was none
    std::size_t m_lastSize = 0;   // the size of the line before, where it ended
    std::size_t m_separator = 0;  // the piece ended at a "From " line after an empty line of this size
    bool m_pieceStart = true;  // nothing of the piece has been read yet
    bool m_inPiece = false;
    bool m_isMail = false;
    bool m_hasFromLine = false;
    std::function<void(std::string_view)> m_seen;
};

// Counts kept while relabelling a folder.
struct CFolderCounts {
    long mails = 0;
    long labels = 0;
};

// Relabels the pieces of a folder from reader into sink: each mail with a CEntityRelabeller
// after its "From " line, its Content-Length fixed when its body changed length, the text
// before the first mail only decoded.  A designator applies only to the mail, or part, it
// stands in.  A mail with a Content-Length is read twice where the reader can go back, and
// held whole where it cannot.  Returns 1 on success, 0 when reading fails or the reader
// cannot go back; write errors are the sink's stream's.
int RelabelPieces(CFolderReader &reader, CMailSink &sink, CFolderCounts *counts);

// Relabels a folder held in a string.
std::string RelabelMail(const std::string &mail, long *labels);

// A StreamConverter (convert.h) that relabels as well as decodes.  counts, when given,
// receives what was seen; out may be null to count only.
int RelabelStream(FILE *in, FILE *out);
int RelabelFolder(FILE *in, FILE *out, CFolderCounts *counts);
