// Content-Type and Content-Transfer-Encoding fields, base64 and quoted-printable (RFC 2045).
#include <algorithm>

#include "mail.h"

namespace {

const char CR = '\r';
const char LF = '\n';
const char SP = ' ';
const char TAB = '\t';
const char QUOTE = '"';
const char BACKSLASH = '\\';
const std::size_t MAX_LINE = 76;  // characters of an encoded line, its line end not counted

bool IsSpace(char c)
{
    return c == SP || c == TAB;
}

// Skips white space and comments: CFWS = *([FWS] comment) [FWS], comment = "(" ... ")".
std::size_t SkipCfws(const std::string &s, std::size_t i)
{
    int depth = 0;
    for (; i < s.size(); ++i) {
        if (s[i] == '(')
            ++depth;
        else if (s[i] == ')' && depth > 0)
            --depth;
        else if (depth == 0 && !IsSpace(s[i]))
            break;
        else if (depth > 0 && s[i] == BACKSLASH)
            ++i;
    }
    return i;
}

// token = 1*<any CHAR except SPACE, CTLs, or tspecials>
bool IsTokenChar(char c)
{
    static const char TSPECIALS[] = "()<>@,;:\\\"/[]?=";
    unsigned char b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F)
        return false;
    for (const char *t = TSPECIALS; *t != '\0'; ++t) {
        if (*t == c)
            return false;
    }
    return true;
}

std::string Lower(const std::string &s)
{
    std::string lower = s;
    std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLower);
    return lower;
}

// content := type "/" subtype *(";" parameter); parameter := attribute "=" value;
// value := token / quoted-string.
void ReadContentType(const std::string &text, const CField &field, CEntityLabels &labels)
{
    CView v = UnfoldValue(text, field);
    const std::string &s = v.text;
    std::size_t i = SkipCfws(s, 0), typeStart = i;
    while (i < s.size() && (IsTokenChar(s[i]) || s[i] == '/'))
        ++i;
    labels.type = Lower(s.substr(typeStart, i - typeStart));
    for (;;) {
        i = SkipCfws(s, i);
        if (i >= s.size() || s[i] != ';')
            return;
        i = SkipCfws(s, i + 1);
        std::size_t nameStart = i;
        while (i < s.size() && IsTokenChar(s[i]))
            ++i;
        std::string name = Lower(s.substr(nameStart, i - nameStart));
        i = SkipCfws(s, i);
        if (i >= s.size() || s[i] != '=')
            return;
        i = SkipCfws(s, i + 1);
        std::size_t valueStart = i, valueEnd;
        std::string value;
        if (i < s.size() && s[i] == QUOTE) {
            valueStart = ++i;
            for (; i < s.size() && s[i] != QUOTE; ++i) {
                if (s[i] == BACKSLASH && i + 1 < s.size())
                    ++i;
                value += s[i];
            }
            valueEnd = i;
            if (i < s.size())
                ++i;
        } else {
            // Wider than a token: unquoted boundaries with "=" in them are common.
            while (i < s.size() && s[i] != ';' && s[i] != '(' && s[i] != QUOTE && !IsSpace(s[i]))
                ++i;
            valueEnd = i;
            value = s.substr(valueStart, i - valueStart);
        }
        if (name == "boundary") {
            labels.boundary = value;
        } else if (name == "charset" && valueEnd > valueStart &&
                   NamesIso2022Kr(s.data() + valueStart, valueEnd - valueStart)) {
            labels.iso2022kr = true;
            labels.charsetStart = v.at[valueStart];
            labels.charsetEnd = v.at[valueEnd - 1] + 1;
        }
    }
}

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = AsciiLower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

CEntityLabels ReadLabels(const std::string &text, std::size_t start, std::size_t end)
{
    CEntityLabels labels;
    bool typeSeen = false, encodingSeen = false;
    for (const CField &field : ReadFields(text, start, end)) {
        // The first of each counts, as with readers that look a field up by name.
        if (!typeSeen && FieldIs(text, field, "content-type")) {
            typeSeen = true;
            ReadContentType(text, field, labels);
        } else if (!encodingSeen && FieldIs(text, field, "content-transfer-encoding")) {
            encodingSeen = true;
            const std::string &s = UnfoldValue(text, field).text;
            std::size_t i = SkipCfws(s, 0), j = i;
            while (j < s.size() && IsTokenChar(s[j]))
                ++j;
            labels.encoding = Lower(s.substr(i, j - i));
        }
    }
    return labels;
}

bool DecodeBase64Piece(std::string_view in, std::string &out, CBase64State &state)
{
    out.reserve(out.size() + in.size() / 4 * 3 + 1);
    for (char c : in) {
        int value = Base64Value(c);
        if (value < 0) {
            // Line ends and white space are layout; anything else is not base64 at all.
            if (c == '=')
                state.padded = true;
            else if (c != CR && c != LF && !IsSpace(c))
                return false;
            continue;
        }
        if (state.padded)
            return false;
        state.bits = (state.bits << 6) | static_cast<unsigned int>(value);
        state.count += 6;
        if (state.count >= 8) {
            state.count -= 8;
            out += static_cast<char>((state.bits >> state.count) & 0xFF);
        }
    }
    return true;
}

bool DecodeBase64(std::string_view in, std::string &out)
{
    CBase64State state;
    // One character left over holds no whole byte.
    return DecodeBase64Piece(in, out, state) && state.count < 6;
}

std::string EncodeBase64(const std::string &in)
{
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out, line;
    // Four characters for three bytes, and a line end for 76 of them.
    std::size_t characters = (in.size() + 2) / 3 * 4;
    out.reserve(characters + characters / MAX_LINE + 1);
    for (std::size_t i = 0; i < in.size(); i += 3) {
        unsigned int group = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            group |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            group |= static_cast<unsigned char>(in[i + 2]);
        line += ALPHABET[(group >> 18) & 63];
        line += ALPHABET[(group >> 12) & 63];
        line += i + 1 < in.size() ? ALPHABET[(group >> 6) & 63] : '=';
        line += i + 2 < in.size() ? ALPHABET[group & 63] : '=';
        if (line.size() >= MAX_LINE) {
            out += line + LF;
            line.clear();
        }
    }
    if (!line.empty())
        out += line + LF;
    return out;
}

bool DecodeQuotedPrintable(std::string_view in, std::string &out)
{
    out.reserve(out.size() + in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t lf = in.find(LF, i);
        std::size_t lineEnd = lf == std::string_view::npos ? in.size() : lf;
        std::size_t contentEnd = lineEnd;
        if (contentEnd > i && in[contentEnd - 1] == CR)
            --contentEnd;
        std::size_t end = contentEnd;
        // White space at the end of a line was added in transport and is not the text's.
        while (end > i && IsSpace(in[end - 1]))
            --end;
        bool soft = false;
        for (std::size_t j = i; j < end; ++j) {
            if (in[j] != '=') {
                out += in[j];
            } else if (j + 1 == end) {
                soft = true;
            } else if (j + 2 < end && HexValue(in[j + 1]) >= 0 && HexValue(in[j + 2]) >= 0) {
                out += static_cast<char>(HexValue(in[j + 1]) * 16 + HexValue(in[j + 2]));
                j += 2;
            } else {
                return false;
            }
        }
        if (lf == std::string_view::npos)
            break;
        if (!soft)
            out += LF;
        i = lf + 1;
    }
    return true;
}

std::string EncodeQuotedPrintable(const std::string &in)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out, line;
    std::size_t i = 0;
    while (i < in.size()) {
        std::size_t lf = in.find(LF, i);
        std::size_t end = lf == std::string::npos ? in.size() : lf;
        for (std::size_t j = i; j < end; ++j) {
            unsigned char b = static_cast<unsigned char>(in[j]);
            // A line that began "From " would start a new mail in the folder.
            bool fromLine = j == i && in.compare(j, 5, "From ") == 0;
            bool literal = (b >= 0x21 && b <= 0x7E && b != '=' && !fromLine) ||
                           (IsSpace(in[j]) && j + 1 < end);
            std::string piece = literal ? std::string(1, in[j])
                                        : std::string{'=', HEX[b >> 4], HEX[b & 15]};
            // Leave room for the "=" of a soft line break.
            if (line.size() + piece.size() > MAX_LINE - 1) {
                out += line + "=\n";
                line.clear();
            }
            line += piece;
        }
        out += line;
        line.clear();
        if (lf == std::string::npos)
            break;
        out += LF;
        i = lf + 1;
    }
    return out;
}
