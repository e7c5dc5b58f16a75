// The lines that part the mails of an mbox folder, as the mail programs that read one take
// them: the core's search for a mail's start and the folder reader share them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// True when line (its line end or not) is a "From " line that mail programs that want a
// date on it take to start a mail (mutt and the programs built on its reader):
//     "From " [return-path] weekday month day time [zone [zone]] year
// the return path any word (quoted strings may hold spaces), left out where a weekday comes
// first; the weekday may come twice; day and year numbers; time HH:MM or HH:MM:SS.  A
// "From " line without such a date is text to those programs, though a reader that starts
// a mail at every "From " line (Python's mailbox) starts one there too.
inline bool IsDatedFromLine(std::string_view line)
{
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    std::size_t at = 0;
    auto more = [&] { return at < line.size(); };
    // The word at at done: past it and the white space after it.
    auto nextWord = [&] {
        while (more() && !isSpace(line[at]))
            ++at;
        while (more() && isSpace(line[at]))
            ++at;
    };
    auto isNamed = [&](const char *names) {
        if (line.size() - at < 4 || !isSpace(line[at + 3]))
            return false;
        for (const char *n = names; *n != '\0'; n += 3) {
            if (lower(line[at]) == n[0] && lower(line[at + 1]) == n[1] && lower(line[at + 2]) == n[2])
                return true;
        }
        return false;
    };
    const char DAYS[] = "sunmontuewedthufrisat";
    const char MONTHS[] = "janfebmaraprmayjunjulaugsepoctnovdec";
    // A number at at, its digits at least one; how many it has.
    auto digits = [&] {
        std::size_t n = 0;
        while (at + n < line.size() && line[at + n] >= '0' && line[at + n] <= '9')
            ++n;
        return n;
    };
    if (line.compare(0, 5, "From ") != 0)
        return false;
    at = 4;
    while (more() && isSpace(line[at]))
        ++at;
    if (!more())
        return false;
    if (!isNamed(DAYS)) {
        bool quoted = false;
        for (; more() && (quoted || !isSpace(line[at])); ++at) {
            if (line[at] == '\\') {
                if (++at == line.size())
                    return false;
            } else if (line[at] == '"') {
                quoted = !quoted;
            }
        }
        if (quoted || !more())
            return false;
        // Archives that write the address "me at example.org".
        if (line.compare(at, 4, " at ") == 0) {
            std::size_t space = line.find(' ', at + 4);
            if (space == std::string_view::npos)
                return false;
            at = space;
        }
        ++at;
        while (more() && isSpace(line[at]))
            ++at;
        if (!more() || !isNamed(DAYS))
            return false;
    }
    nextWord();
    if (isNamed(DAYS))
        nextWord();
    if (!isNamed(MONTHS))
        return false;
    nextWord();
    if (digits() == 0)
        return false;
    nextWord();
    std::size_t hour = digits();
    if (hour == 0 || at + hour >= line.size() || line[at + hour] != ':')
        return false;
    at += hour + 1;
    if (digits() == 0)
        return false;
    nextWord();
    if (more() && ((lower(line[at]) >= 'a' && lower(line[at]) <= 'z') || line[at] == '+' || line[at] == '-')) {
        nextWord();
        if (more() && lower(line[at]) >= 'a' && lower(line[at]) <= 'z')
            nextWord();
    }
    return digits() > 0;
}

// The number that a header line "Content-Length:" 1*DIGIT gives, white space around it (not
// folded, as the mbox writers that delimit mails by it write it), any case; -1 for any other
// line.  mutt takes it to delimit the body where a "From " line follows the body and the
// line end after it, or the folder ends there.
inline long long ContentLengthLine(std::string_view line)
{
    static const char NAME[] = "content-length:";
    const std::size_t nameSize = sizeof NAME - 1;
    if (line.size() <= nameSize)
        return -1;
    for (std::size_t i = 0; i < nameSize; ++i) {
        char c = line[i] >= 'A' && line[i] <= 'Z' ? static_cast<char>(line[i] - 'A' + 'a') : line[i];
        if (c != NAME[i])
            return -1;
    }
    std::size_t i = line.find_first_not_of(" \t", nameSize), j = line.find_last_not_of(" \t\r\n");
    if (i == std::string_view::npos || j < i || j - i > 15 ||
        line.substr(i, j + 1 - i).find_first_not_of("0123456789") != std::string_view::npos)
        return -1;
    return std::stoll(std::string(line.substr(i, j + 1 - i)));
}
