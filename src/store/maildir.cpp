// Maildirs and our temporary files (maildir.h).
#include "maildir.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform.h"
#include "store_files.h"

namespace {

// What marks our temporary files among others, at the end of their unique part.
const char MARK[] = "_quorvel";
// The longest name that file systems take.
const std::size_t NAME_MAX_BYTES = 255;

// This machine's name as maildir writes it: "/", ":" and "," in octal, for they cannot stand
// in the name (the comma is ours: it parts the host from the name a file is for).
const std::string &Host()
{
    static std::string host;
    if (host.empty()) {
        char name[256];
        DWORD size = sizeof name;
        std::string plain = GetComputerNameA(name, &size) ? name : "localhost";
        for (char c : plain)
            host += c == '/' ? "\\057" : c == ':' ? "\\072" : c == ',' ? "\\054" : std::string(1, c);
    }
    return host;
}

}  // namespace

std::string NewTemporaryName(const std::string &forName)
{
    static std::mt19937 random{std::random_device{}()};
    static unsigned long next = 0;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    long long micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    char unique[96];
    // The process id, as maildir's "P", tells a later run whether the run that made it is
    // still at work.
    std::snprintf(unique, sizeof unique, "%lld.M%06lldP%luR%08lxQ%lu%s.", micros / 1000000, micros % 1000000,
                  OwnProcessId(), static_cast<unsigned long>(random()), ++next, MARK);
    std::string name = unique + Host();
    // A leading dot is added to some: room for it.
    if (!forName.empty() && name.size() + 1 + forName.size() + 1 <= NAME_MAX_BYTES)
        name += "," + forName;
    return name;
}

bool IsOurTemporary(const std::string &name, std::string *forName)
{
    std::size_t first = name.find('.');
    std::size_t second = first == std::string::npos ? std::string::npos : name.find('.', first + 1);
    std::size_t n = std::strlen(MARK);
    if (second == std::string::npos || second - first <= n || name.compare(second - n, n, MARK) != 0)
        return false;
    if (forName != nullptr) {
        std::size_t comma = name.find(',', second + 1);
        *forName = comma == std::string::npos ? "" : name.substr(comma + 1);
    }
    return true;
}

bool IsOfRunningProcess(const std::string &name)
{
    if (!IsOurTemporary(name))
        return false;
    std::size_t first = name.find('.');
    std::size_t second = name.find('.', first + 1);
    std::size_t p = name.find('P', first);
    std::size_t host = second + 1, end = name.find(',', host);
    if (p == std::string::npos || p > second ||
        name.compare(host, end == std::string::npos ? std::string::npos : end - host, Host()) != 0)
        return false;  // another machine's, which cannot be asked, or an earlier build's: stopped
    char *stop = nullptr;
    unsigned long pid = std::strtoul(name.c_str() + p + 1, &stop, 10);
    return stop != name.c_str() + p + 1 && *stop == 'R' && IsProcessRunning(pid);
}

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
