// The profile store (store.h): a mail program's profile, whose Mail/ tree the walk converts
// but which a running mail program holds as its own; and ImapMail/, its cache of server
// mail, which is left alone.
#include <algorithm>

#include "profile.h"
#include "store.h"

namespace {

// Why ImapMail/ is left alone, in words.
const char IMAP_REASON[] =
    "left alone: offline copies of server mail, a cache that the mail program throws away or keeps out of step "
    "with the server";

// The names of the lock files that a running mail program holds in its profile.
bool IsProfileLock(const SEntry &entry)
{
    return IsNamed(entry.name, ".parentlock") || IsNamed(entry.name, "parent.lock") ||
           (entry.kind == ENTRY_LINK && entry.name == "lock");
}

// Whether a running mail program may hold the profile in dir, which `which` words ("this
// profile", "the profile DIR"): false, with the refusal in why, where it holds it; true where it
// is free, and true with a warning where the lock cannot be read.
bool ProfileFree(const std::string &dir, const std::string &which, std::string &why, std::string &warning)
{
    std::string detail;
    switch (ProfileLockState(dir, detail)) {
    case EProfileLock::FREE:
        return true;
    case EProfileLock::HELD:
        why = "a running mail program holds " + which + " (" + detail + "); close Thunderbird first";
        return false;
    case EProfileLock::UNKNOWN:
        break;
    }
    warning = "cannot tell whether a mail program holds " + which + ": " + detail;
    return true;
}

class CProfileStore : public IStore {
public:
    const char *Name() const override { return "profile"; }
    // A directory called ImapMail, or one that holds a profile's lock file.
    bool Recognises(const SStorePlace &place) const override
    {
        return place.entry == nullptr && (IsNamed(BaseNameOf(place.dir->Path()), "imapmail") ||
                                          std::any_of(place.entries->begin(), place.entries->end(), IsProfileLock));
    }
    // Walked on, unless it is ImapMail/ or a running mail program holds it, which is told.
    bool Convert(CStoreContext &context, const SStorePlace &place) const override;
};

bool CProfileStore::Convert(CStoreContext &context, const SStorePlace &place) const
{
    const CHeldDirectory &dir = *place.dir;
    if (IsNamed(BaseNameOf(dir.Path()), "imapmail")) {
        context.Tell(ETreeEvent::NOTICE, dir.Path(), IMAP_REASON);
        return false;
    }
    std::string why, warning;
    if (!ProfileFree(dir.Path(), "this profile", why, warning)) {
        context.Fail(dir.Path(), "not converted: " + why);
        return false;
    }
    if (!warning.empty())
        context.Tell(ETreeEvent::WARNING, dir.Path(), warning);
    return true;
}

}  // namespace

const IStore &ProfileStore()
{
    static const CProfileStore store;
    return store;
}

bool WithinRefusedTree(CStoreContext &context, const std::string &path)
{
    char resolved[PATH_SIZE];
    if (!ResolvePath(path.c_str(), resolved))
        return false;
    std::string at = resolved;
    for (;;) {
        std::size_t sep = at.find_last_of(PATH_SEPARATOR == '/' ? "/" : "\\/");
        if (sep == std::string::npos || sep == 0 || (sep == 2 && at[1] == ':'))
            return false;
        at.resize(sep);
        if (IsNamed(BaseNameOf(at), "imapmail")) {
            context.Tell(ETreeEvent::NOTICE, path, std::string("within ") + at + ": " + IMAP_REASON);
            return true;
        }
        // Where there is no lock, the answer costs a look or two at the disk.
        std::string why, warning;
        if (!ProfileFree(at, "the profile " + at, why, warning)) {
            context.Fail(path, "not converted: " + why);
            return true;
        }
    }
}

bool ConvertProfile(const std::string &dir, const STreeOptions &options, STreeReport &report)
{
    auto fail = [&report](const std::string &path, const std::string &what, DWORD error) {
        report.events.push_back({ETreeEvent::FAILED, path, what, error, nullptr});
        report.failed.push_back(path);
        return false;
    };
    std::string profile = dir, why;
    if (profile.empty() && !FindDefaultProfile(profile, why))
        return fail("", "cannot find the default profile: " + why, 0);
    if (!IsDirectoryPath(profile))
        return fail(profile, "cannot convert the profile: not a directory, or not there", 0);
    std::string warning;
    if (!ProfileFree(profile, "this profile", why, warning))
        return fail(profile, why, 0);
    if (!warning.empty())
        report.events.push_back({ETreeEvent::WARNING, profile, warning, 0, nullptr});
    std::string imap = JoinPath(profile, "ImapMail");
    if (IsDirectoryPath(imap))
        report.events.push_back({ETreeEvent::NOTICE, imap, IMAP_REASON, 0, nullptr});
    std::string mail = JoinPath(profile, "Mail");
    if (!IsDirectoryPath(mail))
        return fail(profile, "no Mail directory: a profile with no local folders", 0);
    return ConvertTrees({mail}, options, report);
}

bool MayConvertFolder(const std::string &path, std::string &why, std::string &warning)
{
    std::string profile = ProfileHolding(path);
    return profile.empty() || ProfileFree(profile, "the profile " + profile, why, warning);
}
