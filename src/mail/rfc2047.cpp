// Encoded words in header fields (RFC 2047): those in ISO-2022-KR become EUC-KR.
#include <algorithm>

#include "mail.h"

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

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = AsciiLower(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

// encoded-word = "=?" charset ["*" language] "?" encoding "?" encoded-text "?="
// Reads one starting at s[i]; ok is false when there is none or its text does not decode.
CWord ReadWord(const std::string &s, std::size_t i)
{
    CWord w{i, i, false, 'B', std::string(), false};
    if (s.compare(i, 2, "=?") != 0)
        return w;
    std::size_t charsetStart = i + 2, q1 = s.find('?', charsetStart);
    if (q1 == std::string::npos || q1 + 2 >= s.size() || s[q1 + 2] != '?')
        return w;
    std::size_t textStart = q1 + 3, q2 = s.find("?=", textStart);
    if (q2 == std::string::npos)
        return w;
    for (std::size_t j = charsetStart; j < q2; ++j) {
        if (s[j] == SP || s[j] == TAB)
            return w;
    }
    std::size_t star = s.find('*', charsetStart);
    std::size_t charsetEnd = star < q1 ? star : q1;
    w.iso2022kr = NamesIso2022Kr(s.data() + charsetStart, charsetEnd - charsetStart);
    w.encoding = static_cast<char>(AsciiLower(s[q1 + 1]) == 'q' ? 'Q' : 'B');
    w.end = q2 + 2;
    std::string text = s.substr(textStart, q2 - textStart);
    if (AsciiLower(s[q1 + 1]) == 'b') {
        w.ok = DecodeBase64(text, w.bytes);
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

}  // namespace

std::string EncodeWords(const std::string &text, char encoding, std::size_t column)
{
    const std::size_t overhead = EncodeWord("", encoding).size();
    // The first word goes where the old one stood; if that column leaves almost no room, it
    // runs long rather than leave a line of its own behind.
    std::size_t room = column + MAX_WORD < MAX_LINE ? MAX_WORD : MAX_LINE - column;
    if (room < overhead + 8)
        room = overhead + 8;
    std::string out, bytes;
    for (std::size_t i = 0; i < text.size();) {
        // A two-byte character is never split between words.
        std::size_t n = (static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size()) ? 2 : 1;
        std::string more = bytes + text.substr(i, n);
        if (!bytes.empty() && overhead + EncodedSize(more, encoding) > room) {
            out += EncodeWord(bytes, encoding) + LF + SP;
            bytes.clear();
            room = MAX_LINE - 1;  // after the fold's space
            more = text.substr(i, n);
        }
        bytes = more;
        i += n;
    }
    return out + EncodeWord(bytes, encoding);
}

void RelabelEncodedWords(const std::string &text, const CField &field, std::vector<CEdit> &edits,
                         long *words)
{
    CView v = UnfoldValue(text, field);
    const std::string &s = v.text;
    std::size_t i = 0;
    while ((i = s.find("=?", i)) != std::string::npos) {
        CWord first = ReadWord(s, i);
        if (!first.ok || !first.iso2022kr) {
            i += 2;
            continue;
        }
        // White space between two encoded words is not part of the text, so a run of them
        // is one text, which may have its designator in the first word only.
        std::string bytes = first.bytes;
        std::size_t runEnd = first.end, count = 1, next = first.end;
        for (;;) {
            while (next < s.size() && (s[next] == SP || s[next] == TAB))
                ++next;
            CWord w = ReadWord(s, next);
            if (!w.ok || !w.iso2022kr)
                break;
            bytes += w.bytes;
            runEnd = next = w.end;
            ++count;
        }
        std::size_t start = v.at[first.start];
        std::size_t lineStart = text.rfind(LF, start);
        std::size_t column = lineStart == std::string::npos ? start : start - lineStart - 1;
        edits.push_back({start, v.at[runEnd - 1] + 1, EncodeWords(DecodeApart(bytes), first.encoding, column)});
        *words += static_cast<long>(count);
        i = runEnd;
    }
}
