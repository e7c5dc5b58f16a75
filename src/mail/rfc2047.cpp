// Encoded words in header fields (RFC 2047): those in ISO-2022-KR become EUC-KR.
#include <algorithm>

#include "rfc2045.h"
#include "rfc2047.h"

namespace {

const char LF = '\n';
const char SP = ' ';
const char TAB = '\t';
const std::size_t MAX_WORD = 75;  // characters of one encoded word
const std::size_t MAX_LINE = 76;  // characters of a line that holds encoded words

// One encoded word read from the unfolded view.
struct CWord {
    std::size_t start, end;  // in the view
    bool iso2022kr;
    char encoding;           // 'B' or 'Q'
    std::string bytes;       // the decoded text
    bool ok;
};

// The first pair of characters first, second in s at or after from, or npos: found by its
// first character, with no call to compare for each, which a field of word starts that
// never end has many of.
std::size_t FindPair(const std::string &s, std::size_t from, char first, char second)
{
    for (std::size_t i = from; (i = s.find(first, i)) != std::string::npos; ++i) {
        if (i + 1 < s.size() && s[i + 1] == second)
            return i;
    }
    return std::string::npos;
}

// Finds what ReadWord looks for in one field's view, each search going on from where the
// last one ended: candidates come in order, so that no byte is looked at again for each of
// them and a field full of word starts that never end takes time in proportion to its size.
class CWordScanner {
public:
    explicit CWordScanner(const std::string &s) : m_s(s) {}
    // The first position at or after from that holds c, or the end of the view.
    std::size_t NextChar(char c, std::size_t from) { return Next(m_char[c == '?' ? 0 : 1], from, c); }
    // The first "?=" at or after from, or the end of the view.
    std::size_t NextEnd(std::size_t from)
    {
        if (m_end.found != NOT_YET && m_end.from <= from && m_end.found >= from)
            return m_end.found;
        std::size_t at = FindPair(m_s, from, '?', '=');
        m_end = {from, at == std::string::npos ? m_s.size() : at};
        return m_end.found;
    }
    // The first space or TAB at or after from, or the end of the view.
    std::size_t NextSpace(std::size_t from)
    {
        return std::min(Next(m_space[0], from, SP), Next(m_space[1], from, TAB));
    }

private:
    static const std::size_t NOT_YET = static_cast<std::size_t>(-1);
    struct SFound {
        std::size_t from = 0, found = NOT_YET;  // the last search: from where, and what it found
    };
    std::size_t Next(SFound &last, std::size_t from, char c)
    {
        if (last.found == NOT_YET || last.from > from || last.found < from) {
            std::size_t at = m_s.find(c, from);
            last = {from, at == std::string::npos ? m_s.size() : at};
        }
        return last.found;
    }
    const std::string &m_s;
    SFound m_char[2];  // '?', '*'
    SFound m_space[2];
    SFound m_end;
};

// The longest encoded word read, in characters: RFC 2047 allows 75, and mailers that write
// longer ones stay well below this.
const std::size_t LONGEST_WORD = 1000;

// encoded-word = "=?" charset ["*" language] "?" encoding "?" encoded-text "?="
// Reads one starting at s[i]; ok is false when there is none or its text does not decode.
CWord ReadWord(const std::string &s, std::size_t i, CWordScanner &scan)
{
    CWord w{i, i, false, 'B', std::string(), false};
    if (i + 1 >= s.size() || s[i] != '=' || s[i + 1] != '?')
        return w;
    std::size_t charsetStart = i + 2, q1 = scan.NextChar('?', charsetStart);
    if (q1 + 2 >= s.size() || s[q1 + 2] != '?')
        return w;
    std::size_t textStart = q1 + 3, q2 = scan.NextEnd(textStart);
    // No white space within a word; none longer than the longest kept.
    if (q2 >= s.size() || q2 + 2 - i > LONGEST_WORD || scan.NextSpace(charsetStart) < q2)
        return w;
    std::size_t star = scan.NextChar('*', charsetStart);
    std::size_t charsetEnd = star < q1 ? star : q1;
    w.iso2022kr = NamesIso2022Kr(s.data() + charsetStart, charsetEnd - charsetStart);
    w.encoding = static_cast<char>(AsciiLower(s[q1 + 1]) == 'q' ? 'Q' : 'B');
    w.end = q2 + 2;
    std::string text = s.substr(textStart, q2 - textStart);
    if (AsciiLower(s[q1 + 1]) == 'b') {
        // A word is short and whole: one with a character outside the alphabet is broken.
        static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
        w.ok = text.find_first_not_of(ALPHABET) == std::string::npos && DecodeBase64(text, w.bytes);
    } else if (AsciiLower(s[q1 + 1]) == 'q') {
        w.ok = true;
        for (std::size_t j = 0; j < text.size(); ++j) {
            if (text[j] == '_') {
                w.bytes += SP;
            } else if (text[j] != '=') {
                w.bytes += text[j];
            } else if (j + 2 < text.size() && HexValue(text[j + 1]) >= 0 && HexValue(text[j + 2]) >= 0) {
                w.bytes += static_cast<char>(HexValue(text[j + 1]) * 16 + HexValue(text[j + 2]));
                j += 2;
            } else {
                w.ok = false;
            }
        }
    }
    return w;
}

// True when text, put at column, stays within the line limit with tail characters after
// it on its last line.
bool Fits(const std::string &text, std::size_t column, std::size_t tail)
{
    std::size_t lineStart = 0;
    for (std::size_t lf; (lf = text.find(LF, lineStart)) != std::string::npos; lineStart = lf + 1) {
        if ((lineStart == 0 ? column : 0) + lf - lineStart > MAX_LINE)
            return false;
    }
    return (lineStart == 0 ? column : 0) + text.size() - lineStart + tail <= MAX_LINE;
}

// Characters that a 'Q' word may carry as they are anywhere in a header (RFC 2047, 5 (3)).
bool IsQLiteral(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
}

std::size_t EncodedSize(const std::string &bytes, char encoding)
{
    if (encoding == 'B')
        return (bytes.size() + 2) / 3 * 4;
    // Three characters a byte, but one for those carried as they are.
    auto literal = std::count_if(bytes.begin(), bytes.end(), [](char c) { return IsQLiteral(c) || c == SP; });
    return 3 * bytes.size() - 2 * static_cast<std::size_t>(literal);
}

std::string EncodeWord(const std::string &bytes, char encoding)
{
    std::string word = std::string("=?") + NEW_CHARSET + "?" + encoding + "?";
    if (encoding == 'B') {
        std::string lines = EncodeBase64(bytes);
        for (char c : lines) {
            if (c != LF)
                word += c;
        }
    } else {
        static const char HEX[] = "0123456789ABCDEF";
        for (char c : bytes) {
            unsigned char b = static_cast<unsigned char>(c);
            if (c == SP)
                word += '_';
            else if (IsQLiteral(c))
                word += c;
            else
                word += std::string{'=', HEX[b >> 4], HEX[b & 15]};
        }
    }
    return word + "?=";
}

// The size of the character at text[i]: an EUC-KR character two bytes, ASCII one.
std::size_t CharacterSize(const std::string &text, std::size_t i)
{
    return static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size() ? 2 : 1;
}

// Where a word of these bytes may end and another go on: after a whole character, and in a
// 'B' word, where more words follow, after a multiple of three bytes, so that it ends in
// no base64 padding.  Readers that join the text of neighbouring words before decoding it
// (GMime) stop at padding inside.  True for at, a character's end.
bool WordMayEnd(std::size_t at, char encoding)
{
    return encoding != 'B' || at % 3 == 0;
}

// The last place in bytes, after one character at least, where a word may end (WordMayEnd);
// 0 where there is none.
std::size_t LastWordEnd(const std::string &bytes, char encoding)
{
    std::size_t last = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        i += CharacterSize(bytes, i);
        if (WordMayEnd(i, encoding))
            last = i;
    }
    return last;
}

}  // namespace

std::string EncodeWords(const std::string &text, char encoding, std::size_t column, std::size_t tail)
{
    const std::size_t overhead = EncodeWord("", encoding).size();
    // The first word goes where the old one stood; if that column leaves almost no room, it
    // runs long rather than leave a line of its own behind.
    std::size_t room = column + MAX_WORD < MAX_LINE ? MAX_WORD : MAX_LINE - column;
    if (room < overhead + 8)
        room = overhead + 8;
    std::string out, bytes;
    std::size_t lineStart = column;  // where the current line's word starts
    for (std::size_t i = 0; i < text.size();) {
        // A two-byte character is never split between words.
        std::size_t n = CharacterSize(text, i);
        std::string more = bytes + text.substr(i, n);
        // Where no word may end yet the word runs long, rather than end in padding.
        std::size_t end = LastWordEnd(bytes, encoding);
        if (end > 0 && overhead + EncodedSize(more, encoding) > room) {
            out += EncodeWord(bytes.substr(0, end), encoding) + LF + SP;
            room = MAX_LINE - 1;  // after the fold's space
            lineStart = 1;
            more = bytes.substr(end) + text.substr(i, n);
        }
        bytes = more;
        i += n;
    }
    // What follows the last word on its line must fit too: the end of the text moves to a
    // word on a line of its own, as much of it as fits there with what follows.
    if (lineStart + overhead + EncodedSize(bytes, encoding) + tail > MAX_LINE) {
        std::size_t split = bytes.size();
        for (std::size_t i = 0; i < bytes.size();) {
            if (WordMayEnd(i, encoding) && 1 + overhead + EncodedSize(bytes.substr(i), encoding) + tail <= MAX_LINE) {
                split = i;
                break;
            }
            i += CharacterSize(bytes, i);
        }
        if (split > 0 && split < bytes.size()) {
            out += EncodeWord(bytes.substr(0, split), encoding) + LF + SP;
            bytes.erase(0, split);
        }
    }
    return out + EncodeWord(bytes, encoding);
}

void RelabelEncodedWords(const std::string &text, const CField &field, std::vector<CEdit> &edits,
                         long *words)
{
    // Unfolding takes out only line ends, each before white space: a field with no "=?" in
    // its bytes has none unfolded either.
    std::string_view raw(text.data() + field.nameEnd, field.end - field.nameEnd);
    if (raw.find("=?") == std::string_view::npos)
        return;
    CView v = UnfoldValue(text, field);
    const std::string &s = v.text;
    CWordScanner scan(s);
    // The start of the line of the last edit, found by going on from there.
    std::size_t lineStart = field.start;
    std::size_t scanned = lineStart;
    std::size_t i = 0;
    while ((i = FindPair(s, i, '=', '?')) != std::string::npos) {
        CWord first = ReadWord(s, i, scan);
        if (!first.ok || !first.iso2022kr) {
            i += 2;
            continue;
        }
        // White space between two encoded words is not part of the text, so a run of them
        // is one text, which may have its designator in the first word only.
        std::string bytes = first.bytes;
        std::size_t runEnd = first.end, count = 1, next = first.end;
        for (;;) {
            while (next < s.size() && IsSpace(s[next]))
                ++next;
            CWord w = ReadWord(s, next, scan);
            if (!w.ok || !w.iso2022kr)
                break;
            bytes += w.bytes;
            runEnd = next = w.end;
            ++count;
        }
        std::size_t start = v.At(first.start);
        for (; scanned < start; ++scanned) {
            if (text[scanned] == LF)
                lineStart = scanned + 1;
        }
        std::size_t column = start - lineStart, end = v.At(runEnd - 1) + 1;
        std::string euc = DecodeApart(bytes);
        // What follows the words on their line, as far as it matters.
        std::size_t rest = 0;
        while (end + rest < field.end && text[end + rest] != LF && text[end + rest] != '\r' && rest <= MAX_LINE)
            ++rest;
        // The words where they stood; where that passes the limit on the first line or the
        // last, the field folds at the white space before them (RFC 5322: a line end goes
        // before white space), and where that is not enough either, at the white space after
        // them.
        bool spaceBefore = column > 1 && IsSpace(text[start - 1]);
        bool spaceAfter = rest > 0 && IsSpace(text[end]);
        std::string encoded = EncodeWords(euc, first.encoding, column, rest);
        if (spaceBefore && !Fits(encoded, column, rest)) {
            std::string before = LF + std::string(1, text[start - 1]) + EncodeWords(euc, first.encoding, 1, rest);
            std::string after = EncodeWords(euc, first.encoding, column, 0) + LF;
            std::string both = LF + std::string(1, text[start - 1]) + EncodeWords(euc, first.encoding, 1, 0) + LF;
            if (Fits(before, 0, rest) || !spaceAfter || rest > MAX_LINE) {
                encoded = before;
                --start;
            } else if (Fits(after, column, 0)) {
                encoded = after;
            } else {
                encoded = both;
                --start;
            }
        }
        edits.push_back({start, end, encoded});
        *words += static_cast<long>(count);
        i = runEnd;
    }
}
