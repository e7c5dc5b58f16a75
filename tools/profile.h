// Thunderbird and Mozilla-suite profiles: where the default one is, and whether a running
// mail program holds it.
#pragma once

#include <string>

// Finds the default profile: profiles.ini in the platform's places (~/.thunderbird,
// %APPDATA%\Thunderbird, ~/Library/Thunderbird, and the suite's own after them), its
// [Install…] Default= first (of several, the first whose directory is there), then the
// [Profile…] section marked Default=1, then the only one.  On success dir is the profile's
// directory, in UTF-8 with the system's separators.  On failure why says what was looked
// for and where, or which profile profiles.ini names that does not exist.
bool FindDefaultProfile(std::string &dir, std::string &why);

enum class EProfileLock {
    FREE,    // no lock, or one whose process has ended
    HELD,    // a live process holds it: close Thunderbird first
    UNKNOWN, // the lock could not be tested; detail says why
};

// Whether a live process holds the profile in dir: on Linux and macOS the lock on
// .parentlock and the process that the lock link names, on Windows parent.lock opened
// without sharing.  A lock link of another machine's or of an ended process is stale, and
// FREE.  Nothing is locked or changed by asking.  detail names the lock file (and the
// process where it is known), whatever the answer.
EProfileLock ProfileLockState(const std::string &dir, std::string &detail);
