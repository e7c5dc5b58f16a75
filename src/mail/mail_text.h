// Text helpers that every mail reader here shares (mail_text.cpp): ASCII case folding, white
// space and hexadecimal digits, the charset names, edits of the original bytes, and text
// decoded apart from the folder with its own line ends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.h"

// These three are here whole, for the compiler to put inline into the loops that call
// them for each byte of a header.

// ASCII-only case fold: mail names are ASCII, and the locale must not change them.
inline char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
// True when text[0, n) equals the NUL-terminated lowerName, ignoring ASCII case.
inline bool EqualsNoCase(const char *text, std::size_t n, const char *lowerName)
{
    std::size_t i = 0;
    for (; i < n && lowerName[i] != '\0'; ++i) {
        if (AsciiLower(text[i]) != lowerName[i])
            return false;
    }
    return i == n && lowerName[i] == '\0';
}
// WSP = SP / HTAB: the white space that folds header fields and pads encoded lines.
inline bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}
// The value of a hexadecimal digit of either case, as quoted-printable and RFC 2231's
// %-encoding write them; -1 for any other character.
int HexValue(char c);

// True when text[0, n) names ISO-2022-KR (the name or its alias csISO2022KR), any case.
bool NamesIso2022Kr(const char *text, std::size_t n);
// A line that decodes to a "From " line without being one: the length of what stands before
// its "From " and goes in decoding (designators, and SO and SI where a designator came
// before, in the text or among them, the shift off after them).  0 for a line that is a
// "From " line as it stands; npos for one that decodes to none; line.size() where line ends
// before that shows, and it may.
std::size_t FromLinePrefix(std::string_view line, bool designatorSeen);

// How much of an HTML text a browser looks at for the charset its <meta> tags name.
const std::size_t HTML_PRESCAN = 1024;
// Makes every charset that a <meta> tag of html names, as <meta charset="..."> or in the
// content of <meta http-equiv="Content-Type">, EUC-KR where it names ISO-2022-KR, and adds
// the number renamed to *labels.
void RelabelHtmlMeta(std::string &html, long *labels);

// The charset that replaces ISO-2022-KR in every label.
extern const char NEW_CHARSET[];

// A piece of text and where each of its bytes stands in the original.
struct CView {
    std::string text;
    // Where text[i] stands in the original.
    std::size_t At(std::size_t i) const;
    // Where each run of text that stands together in the original starts: in text, and in
    // the original; in order, the first at 0.
    std::vector<std::pair<std::size_t, std::size_t>> runs;
};

// One replacement in the original: bytes [start, end) become text.
struct CEdit {
    std::size_t start, end;
    std::string text;
};

// Applies edits, sorted by start and not overlapping, to original[from, to).  The text of
// each edit applied moves into the result: each edit is applied once.
std::string ApplyEdits(const std::string &original, std::size_t from, std::size_t to, std::vector<CEdit> &edits);

// The line end that a text decoded apart keeps: its first one, CR LF or LF.
const char *OwnLineEnd(std::string_view text);

// Decodes ISO-2022-KR text that stands apart from the folder (content encoded again, an
// encoded word) into EUC-KR, given in pieces cut anywhere: its lines are not the folder's,
// and where the decoder writes the platform's line end the text keeps its own.  Its label
// says it is ISO-2022-KR: it is read so from its first byte, designator or not, as iconv
// reads it.
class CApartText {
public:
    // ownLineEnd: the text's own line end, OwnLineEnd of it, a string that outlives this.
    explicit CApartText(const char *ownLineEnd);
    // Appends the decoding of the next piece to out; last when the text ends with it.
    void Decode(std::string_view piece, bool last, std::string &out);

private:
    SApartDecoder m_decoder;
    const char *m_ownLineEnd;
    std::vector<char> m_room;  // the decoder's output, before the line ends are the text's own
};

// Decodes the whole of a text that stands apart, as CApartText does.
std::string DecodeApart(const std::string &text);
