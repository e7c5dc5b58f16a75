// Header blocks and header fields of a mail (RFC 5322, section 2.2).
#include <algorithm>

#include "rfc5322.h"

namespace {

const char CR = '\r';
const char LF = '\n';
const char SP = ' ';
const char DEL = 0x7F;

// ftext = %d33-57 / %d59-126: printable ASCII but the colon, the characters of a field name.
bool IsFieldNameChar(char c)
{
    return c > SP && c < DEL && c != ':';
}

// Offset just past the line that starts at pos (its LF included), or end.
std::size_t NextLine(const std::string &text, std::size_t pos, std::size_t end)
{
    std::size_t lf = text.find(LF, pos);
    return (lf == std::string::npos || lf >= end) ? end : lf + 1;
}

// An empty line is a line end alone: CRLF, or the bare LF of Unix folders.
bool IsEmptyLine(const std::string &text, std::size_t pos, std::size_t end)
{
    return (pos < end && text[pos] == LF) || (pos + 1 < end && text[pos] == CR && text[pos + 1] == LF);
}

}  // namespace

bool StartsWithField(std::string_view text)
{
    std::size_t n = 0;
    while (n < text.size() && n < MAX_FIELD_NAME && IsFieldNameChar(text[n]))
        ++n;
    return n > 0 && n < text.size() && text[n] == ':';
}

// field = field-name ":" unstructured CRLF, folded onto lines that begin with WSP;
// field-name = 1*ftext.
bool NextField(const std::string &text, std::size_t &pos, std::size_t end, CField &field)
{
    while (pos < end && !IsEmptyLine(text, pos, end)) {
        std::size_t colon = pos;
        while (colon < end && IsFieldNameChar(text[colon]))
            ++colon;
        bool isField = colon > pos && colon < end && text[colon] == ':';
        // WSP = SP / HTAB: a line that begins with one continues the field before it.
        std::size_t next = NextLine(text, pos, end);
        while (next < end && IsSpace(text[next]))
            next = NextLine(text, next, end);
        field = {pos, colon, next};
        pos = next;
        if (isField)
            return true;
    }
    return false;
}

bool FieldIs(const std::string &text, const CField &field, const char *lowerName)
{
    // Most fields are not the one looked for, and say so by their first letter.
    if (field.nameEnd == field.start || AsciiLower(text[field.start]) != lowerName[0])
        return false;
    return EqualsNoCase(text.data() + field.start, field.nameEnd - field.start, lowerName);
}

CView UnfoldValue(const std::string &text, const CField &field)
{
    CView view;
    std::size_t size = field.end - std::min(field.end, field.nameEnd + 1);
    view.text.reserve(size);
    std::size_t i = field.nameEnd + 1;
    while (i < field.end) {
        // Inside a field every line end is a fold or the field's own end.
        std::size_t lf = text.find(LF, i);
        std::size_t stop = lf == std::string::npos || lf >= field.end ? field.end : lf;
        std::size_t keep = stop > i && stop < field.end && text[stop - 1] == CR ? stop - 1 : stop;
        if (keep > i)
            view.runs.emplace_back(view.text.size(), i);
        view.text.append(text, i, keep - i);
        i = stop + 1;
    }
    return view;
}
