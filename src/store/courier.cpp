// Courier-IMAP's keyword files of a maildir, read and written as text (courier.h).
#include "courier.h"

#include <cstdlib>
#include <sstream>
#include <vector>

std::map<std::string, std::string> ReadCourierKeywordList(const std::string &list)
{
    std::map<std::string, std::string> found;
    std::istringstream in(list);
    std::vector<std::string> keywords;
    std::string line;
    while (std::getline(in, line) && !line.empty())
        keywords.push_back(line);
    while (std::getline(in, line)) {
        // The name may hold colons of its own: the numbers follow the last.
        std::size_t colon = line.rfind(':');
        if (colon == std::string::npos || colon == 0)
            continue;
        std::istringstream numbers(line.substr(colon + 1));
        std::string text;
        unsigned long n;
        while (numbers >> n) {
            if (n < keywords.size())
                text += keywords[n] + "\n";
        }
        if (!text.empty())
            found[line.substr(0, colon)] = text;
    }
    return found;
}

bool ReadCourierUpdateName(const std::string &name, unsigned long long &t, std::string &message)
{
    if (name.size() < 4 || name[0] != '.')
        return false;
    char *end = nullptr;
    t = std::strtoull(name.c_str() + 1, &end, 10);
    if (end == name.c_str() + 1 || *end != '.' || end[1] == '\0')
        return false;
    message = end + 1;
    return true;
}

std::string CourierUpdateName(unsigned long long t, const std::string &message)
{
    return "." + std::to_string(t) + "." + message;
}
