// Encoded words in header fields (RFC 2047): those in ISO-2022-KR rewritten as EUC-KR
// words of the same text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mail_text.h"
#include "rfc5322.h"

// Edits that rewrite every run of ISO-2022-KR encoded words in one field as EUC-KR encoded
// words of the same text, folded within the line limits.  Adds the number of words
// rewritten to *words.
void RelabelEncodedWords(const std::string &text, const CField &field, std::vector<CEdit> &edits,
                         long *words);

// Encodes EUC-KR text as encoded words with encoding 'B' or 'Q', the first starting at
// column, folding before a word that would pass the line limit; tail characters follow the
// last word on its line, and fit there too where a fold can make them.  Words end after
// whole characters, and every 'B' word but the last holds a multiple of three bytes, so
// that no padding stands between words.
std::string EncodeWords(const std::string &text, char encoding, std::size_t column, std::size_t tail = 0);
