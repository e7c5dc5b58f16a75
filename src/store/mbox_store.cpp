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

// The one call of the job: converts the folder name in dir, as the walk found it (found,
// where known).  What the job tells is in result; false where it failed, with the system's
// error.
bool RunFolderJob(const CHeldDirectory &dir, const std::string &name, StreamConverter convert,
                  const SFileIdentity *found, SJobResult &result)
{
    return ConvertFolderInPlace(dir.PathOf(name).c_str(), convert, &result, found);
}

// A check's: what the run would tidy away of a job on the folder at path that was stopped at
// its end (TidyStoppedJob), or, where it converts it, take over.
void TellStoppedJob(CStoreContext &context, const std::string &path, bool converts)
{
    bool staleLock, jobFiles;
    FindStoppedJob(path.c_str(), converts, &staleLock, &jobFiles);
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
    if (!sniffer.Found() && FindPendingJob(path.c_str(), &pending) == PENDING_NONE) {
        // Unless a conversion of it was interrupted, there is nothing to do but remove what
        // a job stopped at its end left: its lock file, its files in the state directory.
        ++report.unchanged;
        auto tidied = std::make_shared<SJobResult>();
        if (!TidyStoppedJob(path.c_str(), tidied.get()) || tidied->strayOld[0] != '\0')
            context.Event({ETreeEvent::FOLDER_TIDIED, path, "", 0, tidied});
        return true;
    }
    auto result = std::make_shared<SJobResult>();
    bool hadSummary = dir->Holds(name + ".snm");
    bool converted = RunFolderJob(*dir, name, context.Converter(), identifiedPlace.id, *result);
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
    // The job deletes the summary FILE.snm, where it can (cppcheck takes the second look for
    // the first, as though the job had not run between them).
    // cppcheck-suppress [incorrectLogicOperator, oppositeExpression]
    if (hadSummary && !dir->Holds(name + ".snm"))
        ++report.summariesDeleted;
    // Its mail program rebuilds the summary of a folder that changed: Thunderbird's beside
    // it, and the cache of Dovecot's index where Dovecot keeps it by default.
    if (dir->DeleteEntry(name + ".msf"))
        ++report.summariesDeleted;
    else if (!IsGoneError(GetLastError()))
        context.Tell(ETreeEvent::WARNING, path + ".msf", "cannot delete the summary file", GetLastError());
    std::unique_ptr<CHeldDirectory> imap = dir->OpenSub(".imap"), index;
    if (imap != nullptr && (index = imap->OpenSub(DovecotIndexName(name))) != nullptr) {
        if (index->DeleteEntry(DOVECOT_CACHE))
            ++report.cachesDeleted;
        else if (!IsGoneError(GetLastError()))
            context.Tell(ETreeEvent::WARNING, index->PathOf(DOVECOT_CACHE),
                         "cannot delete the mail server's cache of it", GetLastError());
    }
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
    EPendingJob state = FindPendingJob(path.c_str(), pending.get());
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
        TellStoppedJob(context, path, false);
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
        TellStoppedJob(context, path, true);
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

bool DeleteFolderSummaries(const std::string &path)
{
    std::string summary = path + ".msf";
    bool ok = DeleteFileA(summary.c_str()) || IsGoneError(GetLastError());
    DWORD error = GetLastError();
    std::string cache =
        JoinPath(JoinPath(JoinPath(DirectoryOf(path), ".imap"), DovecotIndexName(BaseNameOf(path))), DOVECOT_CACHE);
    if (!DeleteFileA(cache.c_str()) && !IsGoneError(GetLastError()))
        return false;
    SetLastError(error);
    return ok;
}
