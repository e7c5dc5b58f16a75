// The byte values of ISO-2022-KR text (RFC 1557) that the core acts on.
#pragma once

#include <cstddef>

const unsigned char LF = 0x0A;
const unsigned char CR = 0x0D;
const unsigned char SO = 0x0E;   // shifts into KS C 5601
const unsigned char SI = 0x0F;   // shifts back to ASCII
const unsigned char ESC = 0x1B;
const unsigned char SPACE = 0x20;
const unsigned char TAB = 0x09;
const unsigned char HIGH_BIT = 0x80;

// Announces KS C 5601 for the rest of the file.
const unsigned char DESIGNATOR[] = {ESC, '$', ')', 'C'};
const int DESIGNATOR_SIZE = sizeof DESIGNATOR;

// The names that label text as ISO-2022-KR, in lower case: any case names it.  Both are as
// long, and both hold "2022".
const char ISO2022KR_NAME[] = "iso-2022-kr";
const char ISO2022KR_ALIAS[] = "csiso2022kr";
const std::size_t ISO2022KR_NAME_SIZE = sizeof ISO2022KR_NAME - 1;
static_assert(sizeof ISO2022KR_ALIAS == sizeof ISO2022KR_NAME, "the names are as long");
