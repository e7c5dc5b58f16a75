// The rule of where a text may hold a label or an encoded word naming ISO-2022-KR, which
// the relabelling renames: the job's search for the first change and the walk's look at a
// file both follow it, byte by byte, knowing nothing of a mail's structure.
#pragma once

#include <cstddef>

#include "iso2022kr.h"

const unsigned char BACKSLASH = '\\';

// Whether text[0, n) is lowerName, ignoring ASCII case, as the relabelling compares names.
bool EqualsLowerName(const unsigned char *text, std::size_t n, const char *lowerName);

// Whether the name at buffer[start, end) (of n bytes) stands where a label or an encoded
// word has it: after "=", a comment, a quote or RFC 2231's "'" (with white space and folds
// between), or the "?" that opens an encoded word; and before white space, a line end, ";",
// "(", a quote, the "?" or "*" after an encoded word's charset, or the "'" after an RFC 2231
// extended value's (a file name's).  A name in text, "write ISO-2022-KR (csISO2022KR) as",
// is neither.  Where the buffer ends first, or starts, it may be.
bool InLabelPlace(const unsigned char *buffer, std::size_t start, std::size_t end, std::size_t n);

// Whether the "2022" at buffer[at] (of n bytes) is part of a name of ISO-2022-KR that
// stands where a label has it.
bool NameAt(const unsigned char *buffer, std::size_t at, std::size_t n);

// The most bytes a name spans written with quoted pairs: a backslash before each character.
const std::size_t ESCAPED_NAME_SIZE = 2 * ISO2022KR_NAME_SIZE;

// Whether the backslash at buffer[at] (of n bytes) may be one of the quoted pairs of a
// quoted charset parameter that names ISO-2022-KR, "ISO-20\22-KR": a name stands around it
// once the backslashes are taken out.
bool EscapedNameAround(const unsigned char *buffer, std::size_t at, std::size_t n);

// Whether the "*" at buffer[at] follows "charset", any case: RFC 2231's forms of the
// parameter, in sections or %-encoded, which may name ISO-2022-KR without its name whole.
bool ExtendedCharsetAt(const unsigned char *buffer, std::size_t at);

// Whether buffer[0, n) may hold a label anywhere, by the rules above.
bool MayHoldLabel(const unsigned char *buffer, std::size_t n);
