// Where a text may hold a label or an encoded word naming ISO-2022-KR (label_rules.h).
#include "label_rules.h"

#include <cstring>
#include <initializer_list>

#include "iso2022kr.h"

bool EqualsLowerName(const unsigned char *text, std::size_t n, const char *lowerName)
{
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = text[i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != static_cast<unsigned char>(lowerName[i]))
            return false;
    }
    return true;
}

bool InLabelPlace(const unsigned char *buffer, std::size_t start, std::size_t end, std::size_t n)
{
    static const char SKIPPED[] = " \t\r\n\"", BEFORE[] = "=?)'", AFTER[] = " \t\r\n;(\"?*'";
    std::size_t i = start;
    while (i > 0 && std::memchr(SKIPPED, buffer[i - 1], sizeof SKIPPED - 1) != nullptr)
        --i;
    bool placed = i == 0 || std::memchr(BEFORE, buffer[i - 1], sizeof BEFORE - 1) != nullptr;
    return placed && (end >= n || std::memchr(AFTER, buffer[end], sizeof AFTER - 1) != nullptr);
}

bool NameAt(const unsigned char *buffer, std::size_t at, std::size_t n)
{
    static const char MARK[] = "2022";
    // Where the mark stands in each name.
    const std::size_t IN_NAME = 4, IN_ALIAS = 5;
    if (at + sizeof MARK - 1 > n || std::memcmp(buffer + at, MARK, sizeof MARK - 1) != 0)
        return false;
    for (std::size_t in : {IN_NAME, IN_ALIAS}) {
        if (at < in || at - in + ISO2022KR_NAME_SIZE > n)
            continue;
        std::size_t start = at - in, end = start + ISO2022KR_NAME_SIZE;
        if (EqualsLowerName(buffer + start, ISO2022KR_NAME_SIZE, in == IN_NAME ? ISO2022KR_NAME : ISO2022KR_ALIAS) &&
            InLabelPlace(buffer, start, end, n))
            return true;
    }
    return false;
}

bool EscapedNameAround(const unsigned char *buffer, std::size_t at, std::size_t n)
{
    std::size_t from = at >= ESCAPED_NAME_SIZE - 1 ? at - (ESCAPED_NAME_SIZE - 1) : 0;
    std::size_t to = at + ESCAPED_NAME_SIZE < n ? at + ESCAPED_NAME_SIZE : n;
    unsigned char text[2 * ESCAPED_NAME_SIZE];
    std::size_t length = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (buffer[i] != BACKSLASH)
            text[length++] = buffer[i];
    }
    for (std::size_t i = 0; i + ISO2022KR_NAME_SIZE <= length; ++i) {
        if (EqualsLowerName(text + i, ISO2022KR_NAME_SIZE, ISO2022KR_NAME) ||
            EqualsLowerName(text + i, ISO2022KR_NAME_SIZE, ISO2022KR_ALIAS))
            return true;
    }
    return false;
}

bool ExtendedCharsetAt(const unsigned char *buffer, std::size_t at)
{
    static const char NAME[] = "charset";
    const std::size_t size = sizeof NAME - 1;
    return at >= size && EqualsLowerName(buffer + at - size, size, NAME);
}

bool MayHoldLabel(const unsigned char *buffer, std::size_t n)
{
    for (std::size_t at = 0; at < n; ++at) {
        bool may = false;
        switch (buffer[at]) {
        case '2':
            may = NameAt(buffer, at, n);
            break;
        case '*':
            may = ExtendedCharsetAt(buffer, at);
            break;
        case BACKSLASH:
            may = EscapedNameAround(buffer, at, n);
            break;
        default:
            break;
        }
        if (may)
            return true;
    }
    return false;
}
