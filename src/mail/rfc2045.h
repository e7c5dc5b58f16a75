// What a mail or part says of its content (RFC 2045, with RFC 2231's parameters): its
// media type, boundary, charset labels and transfer encoding; and the base64 and
// quoted-printable codings, whole or a slice at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mail_text.h"
#include "rfc5322.h"

// What the Content-Type and Content-Transfer-Encoding fields of a mail or part say.
struct CEntityLabels {
    std::string type;      // "text/plain", lower case; "" when absent, text/plain when not type/subtype
    std::string boundary;  // the boundary parameter, unquoted
    std::string encoding;  // "base64", "quoted-printable", ...; lower case; "" when absent
    std::size_t encodingStart = 0, encodingEnd = 0;  // its span in the header
    bool iso2022kr = false;    // the charset parameter (the first, where there are more) names ISO-2022-KR
    std::vector<CEdit> relabel;  // edits that make every charset parameter naming ISO-2022-KR name EUC-KR,
                                 // in every Content-Type field
    long charsets = 0;           // the parameters they rename
    bool typeSeen = false, encodingSeen = false;  // a Content-Type, Content-Transfer-Encoding was read
};

// Reads what one field of a header block says into labels, when it is the block's first
// Content-Type or first Content-Transfer-Encoding; a later Content-Type adds only the edits
// that rename its charsets (relabel, charsets); any other field says nothing.
void ReadLabel(const std::string &text, const CField &field, CEntityLabels &labels);

// Edits that rewrite the RFC 2231 extended values of a Content-Type or Content-Disposition
// field (a file name, "filename*=iso-2022-kr''%1B%24%29C...", in sections or not) that are
// in ISO-2022-KR as the same text in EUC-KR, "euc-kr''...", all in the first section and the
// others emptied.  The charset parameter is left to the labels.  Adds the number of values
// rewritten to *labels.
void RelabelExtendedValues(const std::string &text, const CField &field, std::vector<CEdit> &edits, long *labels);

// Where a header with no Content-Type gets one.
enum ETypeAdded {
    TYPE_NOT_ADDED,      // nowhere: the header is lines of a text that some readers read as one
    TYPE_ADDED,          // in a part of a multipart
    TYPE_ADDED_TO_MAIL   // in a mail, with MIME-Version where it has none
};
// Edits that make the labels of a text part converted to EUC-KR say so: where charset is
// set, every charset parameter of each of its Content-Type fields names EUC-KR, one added where it has
// none, and a Content-Type added where the header has none, as added says; in any case a
// Content-Transfer-Encoding of 7bit becomes 8bit.  header is the whole block, its empty
// line included.  Returns the number of Content-Type fields changed or added.
long LabelAsEucKr(const std::string &header, bool charset, ETypeAdded added, std::vector<CEdit> &edits);

// Decodes base64 text, skipping line ends and other bytes outside the alphabet, and all
// after the padding.  False when the text does not decode to whole bytes.
bool DecodeBase64(std::string_view in, std::string &out);
// The same for base64 text in pieces, cut anywhere: state carries what a piece leaves over.
// Returns true; at the end, the text decoded to whole bytes when state.count < 6.
struct CBase64State {
    unsigned int bits = 0;
    int count = 0;
    bool padded = false;
};
bool DecodeBase64Piece(std::string_view in, std::string &out, CBase64State &state);
// Encodes bytes as base64 in lines of 76 characters, each ending in LF.
std::string EncodeBase64(const std::string &in);
// Decodes quoted-printable text; a hard line end, CRLF or LF, becomes LF, and only an
// encoded "=0D" makes a CR.  An "=" that is neither a soft line break nor followed by two
// hexadecimal digits stays as it is.  Returns true.
bool DecodeQuotedPrintable(std::string_view in, std::string &out);
// True when quoted-printable text ends in a soft line break ("=" and what a line may have
// after it), which joins its last line to no other.
bool EndsInSoftLineBreak(std::string_view in);
// Encodes bytes as quoted-printable in lines of at most 76 characters, each ending in LF;
// an LF in the input is a hard line end, a CR before it is encoded like any other byte.
// No line, after a hard line end or a soft one, starts "From ": its "F" is encoded.
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
// has no line end.  Quoted-printable content that ends in LF ends so encoded too: that line
// end is the content's, not one that parts the body from what follows.
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
