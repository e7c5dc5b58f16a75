// The mbox folder store (mbox_store.h): a file of mails, each starting with a "From " line,
// converted in place by the journaled job.
#include "mbox_store.h"

#include <cstdio>

namespace {

const char DOVECOT_CACHE[] = "dovecot.index.cache";

// The directory under .imap/ beside an mbox folder where Dovecot keeps its index: named after
// the folder, but INBOX for the inbox, whatever case its file has.
std::string DovecotIndexName(const std::string &folder)
{
    return EqualsNoCase(folder.data(), folder.size(), "inbox") ? "INBOX" : folder;
}

// The one call of the job: converts the folder name in the held directory dir, opened there
// as the walk found it (found, where known), its lock file, trace and summaries reached
// through dir too.  What the job tells is in result; false where it failed, with the
// system's error.
bool RunFolderJob(const CHeldDirectory &dir, const std::string &name, const SConverters &converters,
                  const SFileIdentity *found, SJobResult &result)
{
    return ConvertFolderInPlace(dir, name, converters, &result, found);
}

// A check's: what the run would tidy away of a job on the folder name of dir that was stopped
// at its end (TidyStoppedJob), or, where it converts it, take over.
void TellStoppedJob(CStoreContext &context, const CHeldDirectory &dir, const std::string &name, bool converts)
{
    std::string path = dir.PathOf(name);
    bool staleLock, jobFiles;
    FindStoppedJob(dir, name, converts, &staleLock, &jobFiles);
    if (staleLock) {
        context.Tell(ETreeEvent::WOULD, path + ".lock",
                     "would be deleted: a stale lock file (of a program that has ended, or old)");
        context.WouldGo(path + ".lock");
    }
    if (jobFiles)
        context.Tell(ETreeEvent::WOULD, path,
                     "the files that a conversion of it stopped at its end left in the state directory would be "
                     "deleted");
}

}  // namespace

bool CMboxStore::Recognises(const SStorePlace &place) const
{
    return place.head.compare(0, 5, "From ") == 0;
}

bool CMboxStore::Convert(CStoreContext &context, const SStorePlace &place) const
{
    const PDirectory &dir = place.dir;
    const std::string &name = place.entry->name;
    std::string path = dir->PathOf(name);
    HANDLE held = context.OpenFound(*dir, name, place.id);
    if (held == INVALID_HANDLE_VALUE)
        return true;
    FILE *in = OpenHandleStream(held, "rb");
    DWORD error = GetLastError();
    SFileIdentity found = {};
    bool identified = GetFileIdentity(held, &found);
    CloseHandle(held);
    if (in == nullptr) {
        context.Fail(path, "cannot read", error);
        return true;
    }
    // Its mails counted, and whether there is anything to change, as a mail reader reads it;
    // for a check, with what --check tells of it, whose reader counts them alike.
    CWorkSniffer sniffer;
    auto look = std::make_shared<SFolderLook>();
    long mails = 0;
    bool failed;
    if (context.Checking()) {
        failed = !LookAtFolder(in, *look, context.Converter() != ConvertStream,
                               [&sniffer](std::string_view bytes) { sniffer.Scan(bytes); });
        mails = look->counts.mails;
    } else {
        CFolderReader reader(in);
        reader.Observe([&sniffer](std::string_view bytes) { sniffer.Scan(bytes); });
        while (reader.NextPiece()) {
            mails += reader.IsMail() ? 1 : 0;
            std::string_view run;
            bool lineStart;
            while (reader.NextLines(run, false) || reader.NextRun(run, lineStart)) {
            }
        }
        failed = reader.Failed();
    }
    error = GetLastError();
    std::fclose(in);
    if (failed) {
        context.Fail(path, "cannot read", error);
        return true;
    }
    STreeReport &report = context.Report();
    report.mails += mails;
    SStorePlace identifiedPlace = place;
    identifiedPlace.id = identified ? &found : nullptr;
    if (context.Checking()) {
        Look(context, identifiedPlace, sniffer.Found(), look);
        return true;
    }
    SJobResult pending;
    if (!sniffer.Found() && FindPendingJob(*dir, name, context.Converters(), &pending) == PENDING_NONE) {
        // Unless a conversion of it was interrupted, there is nothing to do but remove what
        // a job stopped at its end left: its lock file, its files in the state directory.
        ++report.unchanged;
        auto tidied = std::make_shared<SJobResult>();
        if (!TidyStoppedJob(*dir, name, tidied.get()) || tidied->strayOld[0] != '\0')
            context.Event({ETreeEvent::FOLDER_TIDIED, path, "", 0, tidied});
        return true;
    }
    auto result = std::make_shared<SJobResult>();
    bool converted = RunFolderJob(*dir, name, context.Converters(), identifiedPlace.id, *result);
    error = GetLastError();
    if (!converted) {
        report.failed.push_back(path);
        context.Event({ETreeEvent::FOLDER_FAILED, path, "", error, result});
        return true;
    }
    if (result->leftBehind[0] != '\0' || result->completedInterrupted || result->keptOld[0] != '\0' ||
        result->lockFileLeft[0] != '\0' || result->strayOld[0] != '\0')
        context.Event({ETreeEvent::FOLDER_DONE, path, "", 0, result});
    if (!result->rewritten) {
        ++report.unchanged;
        return true;
    }
    ++report.converted;
    // The job deleted the summaries beside it; its mail server rebuilds its cache too.
    report.summariesDeleted += result->summariesDeleted;
    if (result->summaryLeft[0] != '\0')
        context.Tell(ETreeEvent::WARNING, result->summaryLeft, "cannot delete the summary file",
                     result->summaryError);
    DWORD cacheError = 0;
    if (DeleteServerCache(*dir, name, &cacheError))
        ++report.cachesDeleted;
    else if (cacheError != 0)
        context.Tell(ETreeEvent::WARNING, dir->PathOf(".imap"), "cannot delete the mail server's cache of " + path,
                     cacheError);
    return true;
}

// mayChange where its bytes hold what a conversion changes, look what --check tells of it.
void CMboxStore::Look(CStoreContext &context, const SStorePlace &place, bool mayChange,
                      const std::shared_ptr<const SFolderLook> &look) const
{
    const PDirectory &dir = place.dir;
    const std::string &name = place.entry->name;
    STreeReport &report = context.Report();
    std::string path = dir->PathOf(name);
    auto pending = std::make_shared<SJobResult>();
    EPendingJob state = FindPendingJob(*dir, name, context.Converters(), pending.get());
    DWORD error = GetLastError();
    if (state == PENDING_UNKNOWN) {
        // The run goes on as though there were none, and its job meets the same trouble.
        context.Tell(ETreeEvent::WARNING, path, "cannot tell whether a conversion of it was interrupted", error);
        state = PENDING_NONE;
    }
    if (state != PENDING_NONE) {
        STreeEvent event{ETreeEvent::WOULD, path, "", error, pending};
        event.pending = state;
        context.Event(event);
        if (state == PENDING_REFUSED) {
            report.failed.push_back(path);
            return;
        }
    } else if (!mayChange) {
        ++report.unchanged;
        TellStoppedJob(context, *dir, name, false);
        return;
    } else {
        HANDLE held = dir->OpenEntry(name, false, place.id);
        SMeasured measured;
        if (held == INVALID_HANDLE_VALUE) {
            context.Fail(path, "cannot read", GetLastError());
            return;
        }
        bool measuredOk = context.Measure(*dir, name, place.id, held, 0, ~std::uint64_t{0}, measured);
        CloseHandle(held);
        if (!measuredOk)
            return;
        if (!measured.changed) {
            ++report.unchanged;
            return;
        }
        STreeEvent event{ETreeEvent::WOULD, path, "would be converted", 0, nullptr};
        event.look = look;
        context.Event(event);
        TellStoppedJob(context, *dir, name, true);
    }
    ++report.converted;
    for (const char *summary : {".msf", ".snm"}) {
        if (dir->Holds(name + summary)) {
            context.Tell(ETreeEvent::WOULD, path + summary, "would be deleted: the summary of a folder that changes");
            ++report.summariesDeleted;
        }
    }
    std::unique_ptr<CHeldDirectory> imap = dir->OpenSub(".imap"), index;
    if (imap != nullptr && (index = imap->OpenSub(DovecotIndexName(name))) != nullptr && index->Holds(DOVECOT_CACHE)) {
        context.Tell(ETreeEvent::WOULD, index->PathOf(DOVECOT_CACHE),
                     "would be deleted: the mail server's cache of " + path);
        ++report.cachesDeleted;
    }
}

namespace {

class CFolderStore final : public CMboxStore {};

}  // namespace

const IStore &MboxStore()
{
    static const CFolderStore store;
    return store;
}

bool DeleteServerCache(const CHeldDirectory &dir, const std::string &name, DWORD *error)
{
    *error = 0;
    std::unique_ptr<CHeldDirectory> imap = dir.OpenSub(".imap"), index;
    if (imap == nullptr || (index = imap->OpenSub(DovecotIndexName(name))) == nullptr)
        return false;
    if (index->DeleteEntry(DOVECOT_CACHE))
        return true;
    if (!IsGoneError(GetLastError()))
        *error = GetLastError();
    return false;
}
