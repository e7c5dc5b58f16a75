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

// Reads the next field of the header block text[pos, end) into field and moves pos past it;
// false at the block's end (its empty line, or end).  Lines that are neither a field nor a
// continuation are skipped.
bool NextField(const std::string &text, std::size_t &pos, std::size_t end, CField &field);
// True when the field is named lowerName, ignoring ASCII case.
bool FieldIs(const std::string &text, const CField &field, const char *lowerName);
// The field's value after the colon, unfolded: line ends before a space or TAB removed.
CView UnfoldValue(const std::string &text, const CField &field);
