// The names of maildir messages (maildir.h).
#include "maildir.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "temporary_names.h"

namespace {

// What marks our temporary files (temporary_names.h), before which a new name carries the
// old name's PairingMark.
const char MARK[] = "_quorvel";

}  // namespace

const char SERVERS_OWN[] = "the server's own files, left alone";

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
    // The info: ":2," or the experimental ":1,", or their stand-ins ';' and '!'.
    for (std::size_t at = name.find_first_of(":;!"); at != std::string::npos; at = name.find_first_of(":;!", at + 1)) {
        if (at + 2 < name.size() && (name[at + 1] == '1' || name[at + 1] == '2') && name[at + 2] == ',')
            return name.substr(0, at);
    }
    return name;
}

std::string PairingMark(const std::string &oldName)
{
    // FNV-1a, 64 bits: names are few and chosen by their makers to differ, so that this
    // only tells apart what is already unique.
    std::uint64_t hash = 14695981039346656037ULL;
    for (char c : MessageUnique(oldName)) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char mark[20];
    std::snprintf(mark, sizeof mark, "O%016llx", static_cast<unsigned long long>(hash));
    return mark;
}

bool PairedWith(const std::string &name, std::string &mark)
{
    if (!IsOurTemporary(name))
        return false;
    std::size_t end = name.find(MARK);
    if (end < 17 || name[end - 17] != 'O')
        return false;
    mark = name.substr(end - 17, 17);
    return true;
}

std::string NewMessageName(const std::string &oldName, const std::string &temporary, std::uint64_t size,
                           std::uint64_t crlfSize)
{
    std::string unique = MessageUnique(oldName);
    std::string name = temporary.substr(0, temporary.find(','));
    // The old name's mark, before ours: the pair is known from the new name alone.
    std::size_t mark = name.find(MARK);
    if (mark != std::string::npos)
        name.insert(mark, PairingMark(oldName));
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

bool IsServersOwn(const std::string &name, bool inMaildir)
{
    for (const char *start : {"dovecot", "courierimap", ".mbsyncstate"}) {
        if (name.compare(0, std::strlen(start), start) == 0)
            return true;
    }
    return inMaildir && (name == "maildirsize" || name == "subscriptions");
}
