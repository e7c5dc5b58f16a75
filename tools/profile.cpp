// Finds the default Thunderbird or Mozilla-suite profile, and whether a mail program holds it.
#include "profile.h"

bool FindDefaultProfile(std::string &dir, std::string &why)
{
    dir.clear();
    why = "profiles are not read yet";
    return false;
}

EProfileLock ProfileLockState(const std::string &dir, std::string &detail)
{
    detail = "the lock of " + dir + " is not tested yet";
    return EProfileLock::UNKNOWN;
}
