// Our temporary files' names (temporary_names.h).
#include "temporary_names.h"

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
