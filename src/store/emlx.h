// Apple Mail's .emlx files: the message's length in bytes, in decimal, perhaps padded, on a
// line of its own; the message; then its properties, an XML property list.  Only the
// layout: reading and writing are the tree's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct SEmlxLayout {
    std::uint64_t count;        // the message's length, as the first line says
    std::size_t digits;         // how many digits say it
    std::size_t width;          // the line's length up to its line end (digits and padding)
    std::size_t messageStart;   // where the message starts: after the first line's LF
};

// The longest first line read: 18 digits and their padding.
const std::size_t EMLX_HEAD_BYTES = 64;

// Reads the first line of an .emlx file from head (its first bytes, EMLX_HEAD_BYTES or as
// many as it has).  False where it is no count line: no digits, or other than spaces,
// TABs and a CR after them.
bool ReadEmlxLayout(std::string_view head, SEmlxLayout &layout);
// The first line anew for a message of count bytes: its digits padded as wide as the line
// was, with the padding it had (a digit of the old count where it was wider becomes a
// space), and its line end as it was.
std::string EmlxCountLine(std::string_view head, const SEmlxLayout &layout, std::uint64_t count);
// True when text, what follows the message, starts (after white space) as a property list
// does, or is empty.
bool StartsPropertyList(std::string_view text);
