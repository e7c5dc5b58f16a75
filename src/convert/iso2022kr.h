// The byte values of ISO-2022-KR text (RFC 1557) that the core acts on.
#pragma once

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
