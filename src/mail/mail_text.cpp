// Text helpers shared by the mail readers (mail_text.h): ASCII case folding, white space,
// hexadecimal digits, charset names, edits, text decoded apart.
#include <algorithm>
#include <cstring>

#include "mail_text.h"
#include "platform.h"

namespace {

const char CR = '\r';
const char LF = '\n';
const char SO = '\x0e';
const char SI = '\x0f';
const char ESC = '\x1b';
const char DESIGNATOR[] = "\x1b$)C";

}  // namespace

const char NEW_CHARSET[] = "EUC-KR";

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = AsciiLower(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

bool NamesIso2022Kr(const char *text, std::size_t n)
{
    return EqualsNoCase(text, n, "iso-2022-kr") || EqualsNoCase(text, n, "csiso2022kr");
}

std::size_t FromLinePrefix(std::string_view line, bool designatorSeen)
{
    static const char FROM[] = "From ";
    const std::string_view designator(DESIGNATOR);
    const std::string_view from(FROM, sizeof FROM - 1);
    bool shifted = false;
    std::size_t i = 0;
    for (; i < line.size(); ++i) {
        char b = line[i];
        if (b == ESC) {
            std::string_view rest = line.substr(i, designator.size());
            if (rest != designator)
                return designator.compare(0, rest.size(), rest) == 0 ? line.size() : std::string_view::npos;
            designatorSeen = true;
            i += designator.size() - 1;
        } else if ((b == SO || b == SI) && designatorSeen) {
            shifted = b == SO;
        } else {
            break;
        }
    }
    std::string_view rest = line.substr(i, from.size());
    if (shifted || from.compare(0, rest.size(), rest) != 0)
        return std::string_view::npos;
    return rest.size() < from.size() ? line.size() : i;
}

void RelabelHtmlMeta(std::string &html, long *labels)
{
    static const char META[] = "<meta", CHARSET[] = "charset";
    const std::size_t metaSize = sizeof META - 1, charsetSize = sizeof CHARSET - 1;
    for (std::size_t at = 0; at + metaSize <= html.size(); ++at) {
        if (html[at] != '<' || !EqualsNoCase(html.data() + at, metaSize, META))
            continue;
        std::size_t end = std::min(html.find('>', at), html.size());
        // Each "charset" in the tag, the attribute's or that in the content's value, then
        // "=" and the name, quoted or not.
        for (std::size_t i = at + metaSize; i + charsetSize <= end; ++i) {
            if (!EqualsNoCase(html.data() + i, charsetSize, CHARSET))
                continue;
            std::size_t j = i + charsetSize;
            while (j < end && (IsSpace(html[j]) || html[j] == CR || html[j] == LF))
                ++j;
            if (j >= end || html[j] != '=')
                continue;
            ++j;
            while (j < end && (IsSpace(html[j]) || html[j] == '"' || html[j] == '\''))
                ++j;
            std::size_t k = j;
            while (k < end && ((html[k] >= '0' && html[k] <= '9') || (AsciiLower(html[k]) >= 'a' && AsciiLower(html[k]) <= 'z') ||
                               html[k] == '-' || html[k] == '_' || html[k] == ':' || html[k] == '.'))
                ++k;
            if (k > j && NamesIso2022Kr(html.data() + j, k - j)) {
                html.replace(j, k - j, NEW_CHARSET);
                end = end - (k - j) + std::strlen(NEW_CHARSET);
                ++*labels;
            }
            i = j;
        }
        at = end;
    }
}

std::size_t CView::At(std::size_t i) const
{
    // The last run that starts at i or before.
    auto run = std::upper_bound(runs.begin(), runs.end(), i,
                                [](std::size_t at, const std::pair<std::size_t, std::size_t> &r) { return at < r.first; });
    if (run == runs.begin())
        return i;  // an empty text: nothing stands anywhere
    --run;
    return run->second + (i - run->first);
}

std::string ApplyEdits(const std::string &original, std::size_t from, std::size_t to, std::vector<CEdit> &edits)
{
    std::string result;
    std::size_t pos = from;
    // Sorted: the first edit in the span is found at once, however many come before it.
    auto first = std::lower_bound(edits.begin(), edits.end(), from,
                                  [](const CEdit &edit, std::size_t at) { return edit.start < at; });
    for (auto edit = first; edit != edits.end() && edit->start < to; ++edit) {
        if (edit->start < pos || edit->end > to)
            continue;
        // A body recoded whole is taken as it is, not copied.
        if (result.empty() && edit->start == from)
            result = std::move(edit->text);
        else
            result.append(original, pos, edit->start - pos).append(edit->text);
        edit->text = std::string();
        pos = edit->end;
    }
    result.append(original, pos, to - pos);
    return result;
}

const char *OwnLineEnd(std::string_view text)
{
    std::size_t lf = text.find(LF);
    return (lf != std::string_view::npos && lf > 0 && text[lf - 1] == CR) ? "\r\n" : "\n";
}

CApartText::CApartText(const char *ownLineEnd)
    : m_decoder(StartApart(1, APART_NOT_LINES)), m_ownLineEnd(ownLineEnd)
{
}

void CApartText::Decode(std::string_view piece, bool last, std::string &out)
{
    m_room.resize(ApartRoom(piece.size()));
    std::size_t n = DecodeApartPiece(m_decoder, piece.data(), piece.size(), m_room.data());
    if (last)
        n += EndApart(m_decoder, m_room.data() + n);
    std::string_view decoded(m_room.data(), n);
    if (std::strcmp(m_ownLineEnd, PLATFORM_LINE_END) == 0) {
        out.append(decoded);
        return;
    }
    // The decoder writes the platform's line end, whole within a piece; the text keeps its own.
    const std::size_t size = std::strlen(PLATFORM_LINE_END), ownSize = std::strlen(m_ownLineEnd);
    out.reserve(out.size() + decoded.size() + decoded.size() / 16);
    for (std::size_t i = 0; i < decoded.size();) {
        if (decoded.compare(i, size, PLATFORM_LINE_END) == 0) {
            out.append(m_ownLineEnd, ownSize);
            i += size;
        } else {
            out += decoded[i++];
        }
    }
}

std::string DecodeApart(const std::string &text)
{
    std::string out;
    CApartText(OwnLineEnd(text)).Decode(text, true, out);
    return out;
}
