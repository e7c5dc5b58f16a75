// Thunderbird and Mozilla-suite profiles: profiles.ini and the choice of the default
// profile, and which profile a folder belongs to.  Where profiles.ini is and how a profile's
// lock is tested differ by system, and are the platform layer's (store_files.h).
#include "profile.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "store_files.h"

namespace {

// The system's words for an error code, or the code itself where it has none.
std::string Reason(DWORD code)
{
    char text[256];
    return DescribeError(code, text, sizeof text) ? text : "error " + std::to_string(code);
}

// --- profiles.ini ---

// One [section] of profiles.ini, its keys and values in the order they came.
struct SIniSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;

    // The value of key, or "" where the section has none.
    std::string Value(const char *key) const
    {
        auto entry = std::find_if(keys.begin(), keys.end(), [key](const auto &e) { return e.first == key; });
        return entry != keys.end() ? entry->second : "";
    }
};

const char UTF8_BOM[] = "\xEF\xBB\xBF";

std::string Trim(const std::string &text)
{
    const char *space = " \t\r";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// ini     = *(section / key / comment / empty line), lines ending in LF or CR LF
// section = "[" name "]";  key = name "=" value;  comment = (";" / "#") text
// A key before the first section belongs to none and is skipped, as Mozilla's reader does.
std::vector<SIniSection> ParseIni(std::string text)
{
    if (text.compare(0, 3, UTF8_BOM) == 0)
        text.erase(0, 3);
    std::vector<SIniSection> sections;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = Trim(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            std::size_t close = line.find(']');
            if (close != std::string::npos)
                sections.push_back({line.substr(1, close - 1), {}});
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals != std::string::npos && !sections.empty())
            sections.back().keys.emplace_back(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
    }
    return sections;
}

bool StartsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// A profile as profiles.ini names it: its Name= (or its path where it has none) and its
// directory.
struct SProfile {
    std::string name;
    std::string dir;
};

// The directory of a [Profile…] section, relative to iniDir when it says IsRelative=1.
std::string ProfileDirectory(const std::string &iniDir, const std::string &path, bool relative)
{
    return relative ? JoinPath(iniDir, NativePath(path)) : NativePath(path);
}

// The [Profile…] section whose Path= is path, or null.  [Install…] sections name their
// default by it.
const SIniSection *ProfileWithPath(const std::vector<SIniSection> &sections, const std::string &path)
{
    auto section = std::find_if(sections.begin(), sections.end(), [&path](const SIniSection &s) {
        return StartsWith(s.name, "Profile") && s.Value("Path") == path;
    });
    return section != sections.end() ? &*section : nullptr;
}

// Picks the default profile of profiles.ini (read from iniDir): an [Install…] section's
// Default= first, the first whose directory is there when there are several (one per
// installation of the program), as newer versions keep it; then the [Profile…] with
// Default=1; then the only [Profile…].  False, with why, when none is named or the one
// named is not there.
bool ChooseProfile(const std::vector<SIniSection> &sections, const std::string &iniDir, SProfile &chosen,
                   std::string &why)
{
    std::string ini = JoinPath(iniDir, "profiles.ini");
    std::vector<SProfile> candidates;
    for (const SIniSection &section : sections) {
        std::string path = section.Value("Default");
        if (!StartsWith(section.name, "Install") || path.empty())
            continue;
        const SIniSection *profile = ProfileWithPath(sections, path);
        bool relative = profile != nullptr ? profile->Value("IsRelative") == "1" : !IsAbsolutePath(path);
        std::string name = profile != nullptr ? profile->Value("Name") : "";
        candidates.push_back({name.empty() ? path : name, ProfileDirectory(iniDir, path, relative)});
    }
    if (candidates.empty()) {
        const SIniSection *only = nullptr, *marked = nullptr;
        int count = 0;
        for (const SIniSection &section : sections) {
            if (!StartsWith(section.name, "Profile") || section.Value("Path").empty())
                continue;
            ++count;
            only = &section;
            if (marked == nullptr && section.Value("Default") == "1")
                marked = &section;
        }
        const SIniSection *profile = marked != nullptr ? marked : count == 1 ? only : nullptr;
        if (profile == nullptr) {
            why = count == 0 ? ini + " names no profile"
                             : ini + " names " + std::to_string(count) + " profiles and none as the default";
            return false;
        }
        std::string path = profile->Value("Path"), name = profile->Value("Name");
        candidates.push_back({name.empty() ? path : name,
                              ProfileDirectory(iniDir, path, profile->Value("IsRelative") == "1")});
    }
    auto there = std::find_if(candidates.begin(), candidates.end(),
                              [](const SProfile &candidate) { return IsDirectoryPath(candidate.dir); });
    if (there != candidates.end()) {
        chosen = *there;
        return true;
    }
    why = ini + " names profile " + candidates[0].name + " at " + candidates[0].dir + ", which does not exist";
    return false;
}

}  // namespace

bool FindDefaultProfile(std::string &dir, std::string &why)
{
    dir.clear();
    why.clear();
    std::string places[2];
    if (!ProfilePlaces(places, why))
        return false;
    for (const std::string &place : places) {
        std::string ini = JoinPath(place, "profiles.ini"), text;
        DWORD error = 0;
        if (!ReadWholeFile(ini, text, error)) {
            if (error == 0)
                continue;
            why = "cannot read " + ini + ": " + Reason(error);
            return false;
        }
        SProfile profile;
        if (!ChooseProfile(ParseIni(text), place, profile, why))
            return false;
        dir = profile.dir;
        return true;
    }
    why = "no profiles.ini found: looked in ";
    for (std::size_t i = 0; i < 2; ++i)
        why += (i > 0 ? ", " : "") + places[i];
    return false;
}


std::string ProfileHolding(const std::string &path)
{
    char resolved[PATH_SIZE];
    std::string at = ResolvePath(path.c_str(), resolved) ? resolved : path;
    for (;;) {
        std::size_t sep = at.find_last_of(PATH_SEPARATOR == '/' ? "/" : "\\/");
        if (sep == std::string::npos || sep == 0 || (sep == 2 && at[1] == ':'))
            return "";
        at.resize(sep);
        // The lock alone, as -R and --profile judge a profile: a running program holds it
        // whatever else the directory has yet.
        if (HoldsProfileLock(at))
            return at;
    }
}
