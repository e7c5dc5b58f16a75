// Header fields (RFC 5322, section 2.2): where each field of a header block begins and
// ends, its name, its value unfolded, and whether a text starts with one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mail_text.h"

// The longest field name looked for on a file's first line.
const std::size_t MAX_FIELD_NAME = 76;
// True when text starts with a header field's name and its colon: field-name ":".
bool StartsWithField(std::string_view text);

// One header field: its name and the span of the whole field, continuation lines and the
// final line end included.
struct CField {
    std::size_t start, nameEnd, end;
};

// The fields of the header block text[start, end).  Lines that are neither a field nor a
// continuation are skipped.
std::vector<CField> ReadFields(const std::string &text, std::size_t start, std::size_t end);
// True when the field is named lowerName, ignoring ASCII case.
bool FieldIs(const std::string &text, const CField &field, const char *lowerName);
// The field's value after the colon, unfolded: line ends before a space or TAB removed.
CView UnfoldValue(const std::string &text, const CField &field);
