// Text helpers shared by the mail readers: ASCII case folding, charset names, edits.
#include <algorithm>
#include <cstring>

#include "mail.h"

const char NEW_CHARSET[] = "EUC-KR";

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(const char *text, std::size_t n, const char *lowerName)
{
    if (std::strlen(lowerName) != n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (AsciiLower(text[i]) != lowerName[i])
            return false;
    }
    return true;
}

bool NamesIso2022Kr(const char *text, std::size_t n)
{
    return EqualsNoCase(text, n, "iso-2022-kr") || EqualsNoCase(text, n, "csiso2022kr");
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
