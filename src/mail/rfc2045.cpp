// Content-Type and Content-Transfer-Encoding fields, base64 and quoted-printable (RFC 2045).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "rfc2045.h"
#include "rfc5322.h"

namespace {

const char CR = '\r';
const char LF = '\n';
const char QUOTE = '"';
const char BACKSLASH = '\\';
const std::size_t MAX_LINE = 76;  // characters of an encoded line, its line end not counted

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
    unsigned char b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F)
        return false;
    switch (c) {
    case '(': case ')': case '<': case '>': case '@': case ',': case ';': case ':': case '\\':
    case '"': case '/': case '[': case ']': case '?': case '=':
        return false;
    default:
        return true;
    }
}

std::string Lower(const std::string &s)
{
    std::string lower = s;
    std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLower);
    return lower;
}

// One parameter of a Content-Type field as it is written.
struct CParameter {
    std::string name;            // lower case, RFC 2231's section and "*" taken off
    int section = -1;            // RFC 2231's section number ("name*1"), -1 for none
    bool extended = false;       // RFC 2231's "name*=": charset'language'%-encoded octets
    std::size_t start = 0, end = 0;  // the value's span in the view, quotes excluded
    std::string value;           // the value, its quotes and quoted pairs undone
};

// A parameter as readers take it, RFC 2231's sections joined, and the spans that say it.
struct CParameterValue {
    std::string value;
    std::vector<const CParameter *> sections;  // in order; one for a plain parameter
};

// parameter-name: attribute, or RFC 2231's attribute "*" section ["*"] or attribute "*".
void SplitSection(CParameter &p)
{
    if (!p.name.empty() && p.name.back() == '*') {
        p.extended = true;
        p.name.pop_back();
    }
    std::size_t star = p.name.rfind('*');
    if (star == std::string::npos || star + 1 == p.name.size() || star + 4 < p.name.size() ||
        p.name.find_first_not_of("0123456789", star + 1) != std::string::npos) {
        if (p.extended && star != std::string::npos) {
            // "name*x*" is none of RFC 2231's forms: a plain parameter of that name.
            p.extended = false;
            p.name += '*';
        }
        return;
    }
    p.section = std::atoi(p.name.c_str() + star + 1);
    p.name.erase(star);
}

// ext-octet = "%" 2(DIGIT / "A"-"F"): the octets of an extended value.
std::string PercentDecoded(const std::string &s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The parameters named name as readers take them: each plain one, in order, then RFC 2231's
// sections of that name joined in the order of their numbers (extended-value := charset "'"
// language "'" octets, the first two taken off).
std::vector<CParameterValue> ValuesOf(const std::vector<CParameter> &params, const char *name)
{
    std::vector<CParameterValue> values;
    std::vector<const CParameter *> sections;
    for (const CParameter &p : params) {
        if (p.name != name)
            continue;
        if (p.section < 0 && !p.extended)
            values.push_back({p.value, {&p}});
        else
            sections.push_back(&p);
    }
    if (sections.empty())
        return values;
    std::stable_sort(sections.begin(), sections.end(),
                     [](const CParameter *a, const CParameter *b) { return a->section < b->section; });
    CParameterValue joined{std::string(), sections};
    bool extended = false;
    for (const CParameter *p : sections) {
        joined.value += p->extended ? PercentDecoded(p->value) : p->value;
        extended = extended || p->extended;
    }
    std::size_t tick = joined.value.find('\'');
    std::size_t second = tick == std::string::npos ? tick : joined.value.find('\'', tick + 1);
    if (extended && second != std::string::npos)
        joined.value.erase(0, second + 1);
    values.push_back(std::move(joined));
    return values;
}

// Edits that make the parameter named value name NEW_CHARSET: its first section holds the
// name (after charset'language' in an extended one) and the others come to hold nothing.
void Rename(const CView &v, const CParameterValue &value, std::vector<CEdit> &edits)
{
    for (std::size_t i = 0; i < value.sections.size(); ++i) {
        const CParameter &p = *value.sections[i];
        std::size_t from = p.start;
        if (i == 0 && p.extended) {
            std::size_t tick = p.value.find('\'');
            std::size_t second = tick == std::string::npos ? tick : p.value.find('\'', tick + 1);
            if (second != std::string::npos)
                from = p.start + second + 1;
        }
        // An empty value stands just after the "=" or the quote before it.
        std::size_t start = from < p.end ? v.At(from) : v.At(from - 1) + 1;
        std::size_t end = from < p.end ? v.At(p.end - 1) + 1 : start;
        // A token cannot be empty: an emptied section that was one becomes "".
        bool quoted = p.start > 0 && v.text[p.start - 1] == QUOTE;
        edits.push_back({start, end, i == 0 ? NEW_CHARSET : (quoted || p.extended ? "" : "\"\"")});
    }
}

// The type of a Content-Type's unfolded value s, lower case, and its parameters, which
// follow from *i on.
std::string ReadType(const std::string &s, std::size_t *i)
{
    std::size_t typeStart = *i = SkipCfws(s, 0);
    while (*i < s.size() && (IsTokenChar(s[*i]) || s[*i] == '/'))
        ++*i;
    std::string type = Lower(s.substr(typeStart, *i - typeStart));
    // A type that is not type "/" subtype is text/plain to readers.
    if (std::count(type.begin(), type.end(), '/') != 1)
        type = "text/plain";
    return type;
}

// content := type "/" subtype *(";" parameter); parameter := attribute "=" value;
// value := token / quoted-string.  Reads the parameters of s from i on.
std::vector<CParameter> ReadParameters(const std::string &s, std::size_t i)
{
    std::vector<CParameter> params;
    for (;;) {
        i = SkipCfws(s, i);
        if (i >= s.size() || s[i] != ';')
            break;
        i = SkipCfws(s, i + 1);
        std::size_t nameStart = i;
        while (i < s.size() && IsTokenChar(s[i]))
            ++i;
        CParameter p;
        p.name = Lower(s.substr(nameStart, i - nameStart));
        i = SkipCfws(s, i);
        if (i >= s.size() || s[i] != '=')
            break;
        i = SkipCfws(s, i + 1);
        p.start = i;
        if (i < s.size() && s[i] == QUOTE) {
            p.start = ++i;
            for (; i < s.size() && s[i] != QUOTE; ++i) {
                // quoted-pair = "\" CHAR
                if (s[i] == BACKSLASH && i + 1 < s.size())
                    ++i;
                p.value += s[i];
            }
            p.end = i;
            if (i < s.size())
                ++i;
        } else {
            // Wider than a token: unquoted boundaries with "=" in them are common.
            while (i < s.size() && s[i] != ';' && s[i] != '(' && s[i] != QUOTE && !IsSpace(s[i]))
                ++i;
            p.end = i;
            p.value = s.substr(p.start, i - p.start);
        }
        SplitSection(p);
        params.push_back(std::move(p));
    }
    return params;
}

void ReadContentType(const std::string &text, const CField &field, CEntityLabels &labels)
{
    CView v = UnfoldValue(text, field);
    std::size_t i = 0;
    labels.type = ReadType(v.text, &i);
    std::vector<CParameter> params = ReadParameters(v.text, i);
    // The first of each counts, as with readers that look a parameter up by name.
    // Only a multipart has a boundary that counts.
    if (labels.type.compare(0, 10, "multipart/") == 0) {
        std::vector<CParameterValue> boundaries = ValuesOf(params, "boundary");
        // White space after it is taken off, as readers take it off: a boundary line has
        // transport padding after the boundary, never in it.
        if (!boundaries.empty())
            labels.boundary = boundaries.front().value.substr(0, boundaries.front().value.find_last_not_of(" \t") + 1);
    }
    std::vector<CParameterValue> charsets = ValuesOf(params, "charset");
    for (std::size_t n = 0; n < charsets.size(); ++n) {
        const std::string &name = charsets[n].value;
        if (!NamesIso2022Kr(name.data(), name.size()))
            continue;
        labels.iso2022kr = labels.iso2022kr || n == 0;
        Rename(v, charsets[n], labels.relabel);
        ++labels.charsets;
    }
}

// What one Content-Type field said (ReadContentType), its edits counted from the field's
// start.
struct STypeRead {
    std::vector<CEdit> relabel;
    std::string field;  // the whole field as it stands, its name and line ends included
    std::string type, boundary;
    long charsets = 0;
    bool iso2022kr = false;
};

// The longest field remembered, and how many are.
const std::size_t REMEMBERED_FIELD = 1024;
const unsigned REMEMBERED = 4;

// ReadContentType, for a field read before taking again what it said: the mails of a folder
// mostly repeat a few Content-Type fields to the byte, and reading one is most of the cost
// of a mail's header.
void ReadContentTypeAgain(const std::string &text, const CField &field, CEntityLabels &labels)
{
    static thread_local STypeRead s_read[REMEMBERED];
    static thread_local unsigned s_next = 0;
    std::string_view bytes(text.data() + field.start, field.end - field.start);
    for (const STypeRead &read : s_read) {
        if (read.field.empty() || read.field != bytes)
            continue;
        labels.type = read.type;
        labels.boundary = read.boundary;
        labels.iso2022kr = read.iso2022kr;
        labels.charsets += read.charsets;
        for (const CEdit &edit : read.relabel)
            labels.relabel.push_back({field.start + edit.start, field.start + edit.end, edit.text});
        return;
    }
    std::size_t edits = labels.relabel.size();
    long charsets = labels.charsets;
    ReadContentType(text, field, labels);
    if (bytes.size() > REMEMBERED_FIELD)
        return;
    STypeRead &read = s_read[s_next++ % REMEMBERED];
    read.field.assign(bytes);
    read.type = labels.type;
    read.boundary = labels.boundary;
    read.iso2022kr = labels.iso2022kr;
    read.charsets = labels.charsets - charsets;
    read.relabel.clear();
    for (std::size_t i = edits; i < labels.relabel.size(); ++i) {
        const CEdit &edit = labels.relabel[i];
        read.relabel.push_back({edit.start - field.start, edit.end - field.start, edit.text});
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

}  // namespace

void ReadLabel(const std::string &text, const CField &field, CEntityLabels &labels)
{
    // The first of each counts, as with readers that look a field up by name; others (mutt)
    // take the last Content-Type, so the charsets of every one are renamed with the first's.
    if (FieldIs(text, field, "content-type")) {
        if (!labels.typeSeen) {
            labels.typeSeen = true;
            ReadContentTypeAgain(text, field, labels);
            return;
        }
        CEntityLabels later;
        ReadContentTypeAgain(text, field, later);
        labels.relabel.insert(labels.relabel.end(), later.relabel.begin(), later.relabel.end());
        labels.charsets += later.charsets;
    } else if (!labels.encodingSeen && FieldIs(text, field, "content-transfer-encoding")) {
        labels.encodingSeen = true;
        CView v = UnfoldValue(text, field);
        const std::string &s = v.text;
        std::size_t i = SkipCfws(s, 0), j = i;
        while (j < s.size() && IsTokenChar(s[j]))
            ++j;
        labels.encoding = Lower(s.substr(i, j - i));
        if (j > i) {
            labels.encodingStart = v.At(i);
            labels.encodingEnd = v.At(j - 1) + 1;
        }
    }
}

bool DecodeBase64Piece(std::string_view in, std::string &out, CBase64State &state)
{
    out.reserve(out.size() + in.size() / 4 * 3 + 1);
    for (char c : in) {
        int value = Base64Value(c);
        // RFC 2045, 6.8: characters outside the alphabet are ignored, line ends among them;
        // and as readers do, so is everything after the padding.
        if (value < 0 || state.padded) {
            state.padded = state.padded || c == '=';
            continue;
        }
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
                // RFC 2045, 6.7, note 2: an "=" that starts nothing is kept, as readers keep it.
                out += '=';
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

bool EndsInSoftLineBreak(std::string_view in)
{
    std::size_t end = in.size();
    while (end > 0 && (in[end - 1] == CR || in[end - 1] == LF || IsSpace(in[end - 1])))
        --end;
    return end > 0 && in[end - 1] == '=';
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
            bool literal = (b >= 0x21 && b <= 0x7E && b != '=') || (IsSpace(in[j]) && j + 1 < end);
            // Leave room for the "=" of a soft line break.
            if (line.size() + (literal ? 1 : 3) > MAX_LINE - 1) {
                out += line + "=\n";
                line.clear();
            }
            // A line that began "From ", after a hard line end or a soft one, would start a
            // new mail in the folder.
            if (literal && line.empty() && in.compare(j, 5, "From ") == 0)
                literal = false;
            if (literal)
                line += in[j];
            else
                line.append({'=', HEX[b >> 4], HEX[b & 15]});
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

bool DecodeTransferSlices(std::string_view text, bool base64, const std::function<void(std::string_view)> &take)
{
    CBase64State state;
    std::string bytes;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(text.size(), at + BODY_SLICE);
        // Quoted-printable in whole lines, which its soft line breaks and "=XX" never cross.
        if (!base64 && end < text.size()) {
            std::size_t lf = text.find(LF, end);
            end = lf == std::string_view::npos ? text.size() : lf + 1;
        }
        bytes.clear();
        std::string_view slice = text.substr(at, end - at);
        if (!(base64 ? DecodeBase64Piece(slice, bytes, state) : DecodeQuotedPrintable(slice, bytes)))
            return false;
        take(std::string_view(bytes));
        at = end;
    }
    return !base64 || state.count < 6;
}

std::string CTransferEncoder::Add(std::string_view content, bool last)
{
    std::size_t before = m_pending.size();
    m_pending.append(content);
    if (last) {
        std::string out = Encode(m_pending.size());
        // In quoted-printable a line end held at the content's end is the content's own (an
        // encoded line end or one before a soft line break, as the body was cut): it goes out.
        if (!m_base64 && m_lineEndHeld) {
            out += LF;
            m_lineEndHeld = false;
        }
        return out;
    }
    // Whole groups of three bytes, 57 to a line, in base64; whole lines in quoted-printable,
    // of which only the bytes just added can end one.
    if (m_base64)
        return Encode(m_pending.size() / BASE64_LINE_BYTES * BASE64_LINE_BYTES);
    std::size_t lf = std::string_view(m_pending).substr(before).rfind(LF);
    return lf == std::string_view::npos ? std::string() : Encode(before + lf + 1);
}

std::string CTransferEncoder::Encode(std::size_t n)
{
    std::string encoded = m_base64 ? EncodeBase64(m_pending.substr(0, n)) : EncodeQuotedPrintable(m_pending.substr(0, n));
    m_pending.erase(0, n);
    if (encoded.empty())
        return encoded;
    // The line end after the last line so far goes out only once another line follows it.
    std::string out = m_lineEndHeld ? std::string(1, LF) : std::string();
    m_lineEndHeld = encoded.back() == LF;
    if (m_lineEndHeld)
        encoded.pop_back();
    return out + encoded;
}

long LabelAsEucKr(const std::string &header, bool charset, ETypeAdded added, std::vector<CEdit> &edits)
{
    long labels = 0;
    const char *lineEnd = OwnLineEnd(header);
    bool typeSeen = false, encodingSeen = false, versionSeen = false;
    CField field{};
    for (std::size_t pos = 0; NextField(header, pos, header.size(), field);) {
        // Every Content-Type: readers differ on which of several they take.
        if (FieldIs(header, field, "content-type")) {
            typeSeen = true;
            if (!charset)
                continue;
            ++labels;
            CView v = UnfoldValue(header, field);
            std::size_t i = 0;
            (void)ReadType(v.text, &i);
            std::vector<CParameter> params = ReadParameters(v.text, i);
            std::vector<CParameterValue> charsets = ValuesOf(params, "charset");
            for (const CParameterValue &value : charsets)
                Rename(v, value, edits);
            std::size_t end = v.text.find_last_not_of(" \t");
            if (charsets.empty() && end != std::string::npos)
                edits.push_back({v.At(end) + 1, v.At(end) + 1, std::string("; charset=") + NEW_CHARSET});
        } else if (!encodingSeen && FieldIs(header, field, "content-transfer-encoding")) {
            encodingSeen = true;
            CView v = UnfoldValue(header, field);
            std::size_t i = SkipCfws(v.text, 0), j = i;
            while (j < v.text.size() && IsTokenChar(v.text[j]))
                ++j;
            // RFC 2045, 2.7: 7bit data has no byte over 127, as EUC-KR text has.
            if (EqualsNoCase(v.text.data() + i, j - i, "7bit"))
                edits.push_back({v.At(i), v.At(j - 1) + 1, "8bit"});
        } else if (FieldIs(header, field, "mime-version")) {
            versionSeen = true;
        }
    }
    if (!charset || typeSeen || added == TYPE_NOT_ADDED)
        return labels;
    // The new fields go last, before the empty line that ends the block.
    std::size_t at = header.size();
    if (at > 0 && header[at - 1] == LF)
        at -= at > 1 && header[at - 2] == CR ? 2 : 1;
    std::string fields = std::string("Content-Type: text/plain; charset=") + NEW_CHARSET + lineEnd;
    if (added == TYPE_ADDED_TO_MAIL && !versionSeen)
        fields += std::string("MIME-Version: 1.0") + lineEnd;
    edits.push_back({at, at, fields});
    return labels + 1;
}

void RelabelExtendedValues(const std::string &text, const CField &field, std::vector<CEdit> &edits, long *labels)
{
    // Most fields have no "*": only those with one are read.
    if (std::memchr(text.data() + field.nameEnd, '*', field.end - field.nameEnd) == nullptr ||
        !(FieldIs(text, field, "content-type") || FieldIs(text, field, "content-disposition")))
        return;
    CView v = UnfoldValue(text, field);
    std::size_t i = 0;
    (void)ReadType(v.text, &i);
    std::vector<CParameter> params = ReadParameters(v.text, i);
    std::vector<std::string> done;
    for (const CParameter &p : params) {
        // The charset is a label, renamed as one; the boundary stays as it is.
        if (!p.extended || p.name == "charset" || p.name == "boundary" ||
            std::find(done.begin(), done.end(), p.name) != done.end())
            continue;
        done.push_back(p.name);
        std::vector<CParameterValue> values = ValuesOf(params, p.name.c_str());
        const CParameterValue &value = values.back();  // the sections, joined
        const CParameter &first = *value.sections.front();
        std::size_t tick = first.value.find('\'');
        std::size_t second = tick == std::string::npos ? tick : first.value.find('\'', tick + 1);
        if (!first.extended || second == std::string::npos || !NamesIso2022Kr(first.value.data(), tick))
            continue;
        // extended-initial-value := [charset] "'" [language] "'" extended-other-values
        std::string converted = std::string(NEW_CHARSET) + first.value.substr(tick, second + 1 - tick);
        static const char HEX[] = "0123456789ABCDEF", KEPT[] = "!#$&+-.^_`|~";
        for (char c : DecodeApart(value.value)) {
            unsigned char b = static_cast<unsigned char>(c);
            if ((c >= '0' && c <= '9') || (AsciiLower(c) >= 'a' && AsciiLower(c) <= 'z') ||
                (b != 0 && std::strchr(KEPT, c) != nullptr))
                converted += c;
            else
                converted.append({'%', HEX[b >> 4], HEX[b & 15]});
        }
        // The first section holds it all; the others come to hold nothing.
        for (std::size_t n = 0; n < value.sections.size(); ++n) {
            const CParameter &section = *value.sections[n];
            std::size_t start = section.start < section.end ? v.At(section.start) : v.At(section.start - 1) + 1;
            std::size_t end = section.start < section.end ? v.At(section.end - 1) + 1 : start;
            bool quoted = section.start > 0 && v.text[section.start - 1] == QUOTE;
            edits.push_back({start, end, n == 0 ? converted : (quoted || section.extended ? "" : "\"\"")});
        }
        ++*labels;
    }
}
