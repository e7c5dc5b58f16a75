// The names of maildir messages (maildir.h).
#include "maildir.h"

std::string MessageReference(const std::string &sub, const std::string &name)
{
    return sub + "," + name;
}

bool ReadMessageReference(const std::string &reference, std::string &sub, std::string &name)
{
    std::size_t comma = reference.find(',');
    if (comma == std::string::npos || comma + 1 == reference.size())
        return false;
    sub = reference.substr(0, comma);
    name = reference.substr(comma + 1);
    return (sub == "cur" || sub == "new") && name[0] != '.';
}

std::string MessageUnique(const std::string &name)
{
    for (const char *info : {":2,", ";2,", "!2,"}) {
        std::size_t at = name.find(info);
        if (at != std::string::npos)
            return name.substr(0, at);
    }
    return name;
}

std::string NewMessageName(const std::string &oldName, const std::string &temporary, std::uint64_t size,
                           std::uint64_t crlfSize)
{
    std::string unique = MessageUnique(oldName);
    std::string name = temporary.substr(0, temporary.find(','));
    // The old name's fields: "time.unique.host,S=1234,W=1260".
    for (std::size_t at = unique.find(','); at != std::string::npos;) {
        std::size_t next = unique.find(',', at + 1);
        std::string field = unique.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        if (field.compare(0, 2, "S=") == 0)
            field = "S=" + std::to_string(size);
        else if (field.compare(0, 2, "W=") == 0)
            field = "W=" + std::to_string(crlfSize);
        name += "," + field;
        at = next;
    }
    return name + oldName.substr(unique.size());
}
