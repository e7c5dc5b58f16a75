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
#include <string>
#include <string_view>
#include <vector>

// --- Text helpers (mail.cpp) ---

// ASCII-only case fold: mail names are ASCII, and the locale must not change them.
char AsciiLower(char c);
// True when text[0, n) equals the NUL-terminated lowerName, ignoring ASCII case.
bool EqualsNoCase(const char *text, std::size_t n, const char *lowerName);
// True when text[0, n) names ISO-2022-KR (the name or its alias csISO2022KR), any case.
bool NamesIso2022Kr(const char *text, std::size_t n);

// The charset that replaces ISO-2022-KR in every label.
extern const char NEW_CHARSET[];

// A piece of text and where each of its bytes stands in the original.
struct CView {
    std::string text;
    std::vector<std::size_t> at;  // at[i]: offset in the original of text[i]
};

// One replacement in the original: bytes [start, end) become text.
struct CEdit {
    std::size_t start, end;
    std::string text;
};

// Applies edits, sorted by start and not overlapping, to original[from, to).  The text of
// each edit applied moves into the result: each edit is applied once.
std::string ApplyEdits(const std::string &original, std::size_t from, std::size_t to, std::vector<CEdit> &edits);

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
    std::string type;      // "text/plain", lower case; "" when absent
    std::string boundary;  // the boundary parameter, unquoted
    std::string encoding;  // "base64", "quoted-printable", ...; lower case; "" when absent
    bool iso2022kr = false;         // the charset parameter names ISO-2022-KR
    std::size_t charsetStart = 0;   // its span in the original, quotes excluded
    std::size_t charsetEnd = 0;
};

// Reads the labels of the header block text[start, end).
CEntityLabels ReadLabels(const std::string &text, std::size_t start, std::size_t end);

// Decodes base64 text, skipping line ends and other bytes outside the alphabet.  False when
// the text does not decode to whole bytes.
bool DecodeBase64(std::string_view in, std::string &out);
// Encodes bytes as base64 in lines of 76 characters, each ending in LF.
std::string EncodeBase64(const std::string &in);
// Decodes quoted-printable text; a hard line end, CRLF or LF, becomes LF, and only an
// encoded "=0D" makes a CR.  False for an "=" that is neither a soft line break nor
// followed by two hexadecimal digits.
bool DecodeQuotedPrintable(std::string_view in, std::string &out);
// Encodes bytes as quoted-printable in lines of at most 76 characters, each ending in LF;
// an LF in the input is a hard line end, a CR before it is encoded like any other byte.
std::string EncodeQuotedPrintable(const std::string &in);

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

// --- Mails and parts (rfc2046.cpp) ---

// How deep multiparts and forwarded mails may nest; deeper ones pass through unchanged.
const int MAX_NESTING = 64;

// A span of a mail that is decoded as ISO-2022-KR, with its own designator flag: the header
// of a mail or part (fresh), and the body of a text part that follows it (continuing from
// its header).  The rest of a mail (boundary lines, bodies that are not text, bodies in
// base64 or quoted-printable, which are recoded instead) keeps its bytes, line ends aside.
struct CSpan {
    std::size_t start, end;
    bool fresh;  // starts with no designator seen
};

// Collects the edits that relabel the mail or part text[start, end) and everything nested
// in it, and the spans to decode, in order.  Adds the number of labels and encoded words
// changed to *labels.  Only text parts (text/*, or no type) are decoded and relabelled;
// bodies in base64 or quoted-printable are decoded with the converter's own decoder.
void RelabelEntity(const std::string &text, std::size_t start, std::size_t end, int depth,
                   std::vector<CEdit> &edits, std::vector<CSpan> &spans, long *labels);

// Decodes ISO-2022-KR text that stands apart from the folder (a transfer-encoded body, an
// encoded word) into EUC-KR, keeping the text's own line ends (CR LF or LF).
std::string DecodeApart(std::string text);

// --- Folders (mbox.cpp) ---

// Reads a folder one mail at a time.  A mail starts at a line beginning with "From " at
// the start of the folder or after an empty line; text before the first mail comes out
// as a piece of its own, in pieces of whole lines when it is long.
class CFolderReader {
public:
    explicit CFolderReader(FILE *in) : m_in(in) {}
    // Puts the next piece into text; false at the end of the folder or on a read error.
    bool Next(std::string &text);
    // True when the last piece was a mail, false when it was text before the first one.
    bool IsMail() const { return m_isMail; }
    bool Failed() const { return std::ferror(m_in) != 0; }

private:
    bool FillLine();

    FILE *m_in;
    std::string m_line;      // the next line, once read
    bool m_haveLine = false;
    bool m_lastEmpty = true;  // the line before m_line was empty, or there was none
    bool m_isMail = false;
    bool m_eof = false;
    char m_buffer[64 * 1024] = {};
    std::size_t m_pos = 0, m_size = 0;
};

// Counts kept while relabelling a folder.
struct CFolderCounts {
    long mails = 0;
    long labels = 0;
};

// Relabels one mail: edits found by RelabelEntity applied, its spans decoded, each with a
// designator flag of its own, the rest with only its line ends made the platform's, and
// Content-Length fixed when the body changed length.  A designator applies only to the
// mail, or part, it stands in.
std::string RelabelMail(const std::string &mail, long *labels);
// The same, its header and body apart.
void RelabelMailParts(const std::string &mail, long *labels, std::string &header, std::string &body);

// text with each line end, CR LF or a bare LF, made the platform's, and nothing else changed.
std::string WithPlatformLineEnds(std::string text);

// Decodes text as the folder's decoder would at the start of a line, keeping its state.
std::string DecodeInFolder(const std::string &text);

// A StreamConverter (convert.h) that relabels as well as decodes.  counts, when given,
// receives what was seen; out may be null to count only.
int RelabelStream(FILE *in, FILE *out);
int RelabelFolder(FILE *in, FILE *out, CFolderCounts *counts);
