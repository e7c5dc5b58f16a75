// Thunderbird and Mozilla-suite profiles: where the default one is, which profile a folder
// belongs to, and whether a running mail program holds a profile (ProfileLockState, in
// store_files.h).
#pragma once

#include <string>

#include "store_files.h"

// Finds the default profile: profiles.ini in the platform's places (~/.thunderbird,
// %APPDATA%\Thunderbird, ~/Library/Thunderbird, and the suite's own after them), its
// [Install…] Default= first (of several, the first whose directory is there), then the
// [Profile…] section marked Default=1, then the only one.  On success dir is the profile's
// directory, in UTF-8 with the system's separators.  On failure why says what was looked
// for and where, or which profile profiles.ini names that does not exist.
bool FindDefaultProfile(std::string &dir, std::string &why);

// The profile that the file at path lies in: the nearest directory above it (through the
// links of path) that holds a profile's lock file; "" where there is none.
std::string ProfileHolding(const std::string &path);
