// The maildir store (store.h): a directory with cur/, new/ and tmp/, one message a file, each
// converted message written anew in tmp/ and given a new name; with the rules of the servers
// that keep maildirs (Dovecot's lock and quota file) and of the tools that sync them.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <thread>

#include "maildir.h"
#include "store.h"
#include "temporary_names.h"

namespace {

class CMaildirStore : public IStore {
public:
    const char *Name() const override { return "maildir"; }
    bool Recognises(const SStorePlace &place) const override;
    bool Convert(CStoreContext &context, const SStorePlace &place) const override;
    bool OwnsEntry(const SEntry &entry) const override
    {
        return entry.kind == ENTRY_DIRECTORY && (entry.name == "cur" || entry.name == "new" || entry.name == "tmp");
    }
    void Flushed(CStoreContext &context, const std::vector<SReplaced> &done) const override;

private:
    // Our temporary files in tmp/ left by a run that was stopped.
    void TidyTemporaries(CStoreContext &context, const PDirectory &tmp, const std::vector<PDirectory> &subs) const;
    // quota: where the maildir's maildirsize is, or null.
    void ConvertMessage(CStoreContext &context, const PDirectory &sub, const SEntry &entry, const PDirectory &tmp,
                        const std::string &kind, const PDirectory &quota) const;
    // The maildir's quota file, in it or, for a Maildir++ folder, in the maildir above.
    PDirectory QuotaOf(CStoreContext &context, const PDirectory &dir, const std::vector<SEntry> &entries) const;
    // Holds dovecot-uidlist.lock of dir, as Dovecot makes it, for as long as it flushes the
    // batch; the batch is discarded, told, where Dovecot holds it for ten seconds.
    void FlushBatchLocked(CStoreContext &context, const PDirectory &dir) const;
};

bool HoldsDirectory(const std::vector<SEntry> &entries, const char *name)
{
    return std::any_of(entries.begin(), entries.end(),
                       [name](const SEntry &e) { return e.kind == ENTRY_DIRECTORY && e.name == name; });
}

bool CMaildirStore::Recognises(const SStorePlace &place) const
{
    return place.entry == nullptr && HoldsDirectory(*place.entries, "cur") && HoldsDirectory(*place.entries, "new");
}

bool CMaildirStore::Convert(CStoreContext &context, const SStorePlace &place) const
{
    const PDirectory &dir = place.dir;
    const std::vector<SEntry> &entries = *place.entries;
    PDirectory tmp;
    if (HoldsDirectory(entries, "tmp")) {
        tmp.reset(dir->OpenSub("tmp").release());
        if (tmp == nullptr) {
            context.Fail(dir->PathOf("tmp"),
                         GetLastError() == ERROR_NOT_THE_WALKED_FILE ? SWAPPED : "cannot open the directory",
                         GetLastError() == ERROR_NOT_THE_WALKED_FILE ? 0 : GetLastError());
            return true;
        }
    }
    long messages = 0;
    std::vector<PDirectory> subs;
    std::vector<std::vector<SEntry>> found(2);
    const char *names[] = {"cur", "new"};
    for (int i = 0; i < 2; ++i) {
        PDirectory sub(dir->OpenSub(names[i]).release());
        if (sub == nullptr) {
            context.Fail(dir->PathOf(names[i]),
                         GetLastError() == ERROR_NOT_THE_WALKED_FILE ? SWAPPED : "cannot open the directory",
                         GetLastError() == ERROR_NOT_THE_WALKED_FILE ? 0 : GetLastError());
            return true;
        }
        if (!ReadEntries(*sub, found[i]))
            context.Fail(sub->Path(), "cannot read the directory", GetLastError());
        subs.push_back(sub);
    }
    auto holds = [&entries](const char *name) {
        return std::any_of(entries.begin(), entries.end(), [name](const SEntry &e) { return e.name == name; });
    };
    // A server's maildir: its renames all at once, under its lock.
    bool dovecot = holds("dovecot-uidlist");
    if (dovecot && context.Converting())
        context.FlushBatch();
    PDirectory quota = QuotaOf(context, dir, entries);
    bool synced = holds(".mbsyncstate") || holds(".uidvalidity") ||
                  std::any_of(found.begin(), found.end(), [](const std::vector<SEntry> &in) {
                      return std::any_of(in.begin(), in.end(), [](const SEntry &e) {
                          return e.name.find(",U=") != std::string::npos;
                      });
                  });
    if (synced)
        context.Tell(ETreeEvent::WARNING, dir->Path(),
                     "kept in step with a server by a sync tool (mbsync, offlineimap): converting it converts no mail "
                     "on the server; convert it there, or through the mail program");
    if (tmp != nullptr && context.Converting())
        TidyTemporaries(context, tmp, subs);
    for (int i = 0; i < 2; ++i) {
        for (const SEntry &entry : found[i]) {
            // Names that start with a dot are no messages, to maildir readers.
            if (entry.name[0] == '.')
                continue;
            if (entry.kind != ENTRY_FILE)
                context.WalkEntry(subs[i], entry);
            else if (tmp != nullptr && context.Count(entry.size)) {
                ConvertMessage(context, subs[i], entry, tmp, names[i], quota);
                context.Done(entry.size);
            }
            messages += entry.kind == ENTRY_FILE ? 1 : 0;
        }
    }
    if (dovecot && context.Converting())
        FlushBatchLocked(context, dir);
    if (tmp == nullptr && messages > 0) {
        // Rewritten in place, a message could be read half-written: tmp/ is the maildir way.
        context.Tell(ETreeEvent::WARNING, dir->Path(),
                     "a maildir without tmp/: its " + std::to_string(messages) +
                         " messages are left as they are; make " + dir->PathOf("tmp") + " and run again");
        context.Skip("in a maildir without tmp/", messages);
    }
    return true;
}

// One whose new name is in cur/ or new/ was stopped between giving the converted message that
// name and deleting its old one: the old one goes.  Otherwise it is deleted where its
// message is there (under its name, or renamed by a mail program since), and moved into the
// message's place where it is not and the file system renames in two steps, for a power cut
// may have left the message only there.
void CMaildirStore::TidyTemporaries(CStoreContext &context, const PDirectory &tmp,
                                    const std::vector<PDirectory> &subs) const
{
    std::vector<SEntry> entries;
    if (!ReadEntries(*tmp, entries))
        context.Fail(tmp->Path(), "cannot read the directory", GetLastError());
    bool atomic = tmp->RenamesAtomically();
    // The messages, and the directory each is in.
    std::vector<std::pair<std::string, const PDirectory *>> messages;
    for (const PDirectory &d : subs) {
        std::vector<SEntry> found;
        ReadEntries(*d, found);
        std::transform(found.begin(), found.end(), std::back_inserter(messages),
                       [&d](const SEntry &m) { return std::make_pair(m.name, &d); });
    }
    long deleted = 0;
    for (const SEntry &entry : entries) {
        std::string forName, sub, name;
        // One of a run still at work here is that run's to finish.
        if (entry.kind != ENTRY_FILE || !IsOurTemporary(entry.name, &forName) || IsOfRunningProcess(entry.name))
            continue;
        if (ReadMessageReference(forName, sub, name)) {
            const PDirectory &to = subs[sub == "cur" ? 0 : 1];
            std::string unique = MessageUnique(name), base = entry.name.substr(0, entry.name.find(','));
            auto named = [](const std::string &message, const std::string &start) {
                return message.compare(0, start.size(), start) == 0 &&
                       (message.size() == start.size() || std::strchr(",:;!", message[start.size()]) != nullptr);
            };
            bool renamed = std::any_of(messages.begin(), messages.end(),
                                       [&](const auto &m) { return named(m.first, base); });
            for (const auto &m : messages) {
                if (!renamed || MessageUnique(m.first) != unique)
                    continue;
                context.DeleteLeft(**m.second, m.first,
                                   "the old name of a message that a run that was stopped had converted",
                                   "cannot delete the old name of a message that a run that was stopped had "
                                   "converted");
            }
            bool there = renamed || std::any_of(messages.begin(), messages.end(), [&](const auto &m) {
                             return MessageUnique(m.first) == unique;
                         });
            if (!there && !atomic) {
                context.PutInPlace(*to, name, *tmp, entry.name,
                                   "cannot put this message of a run that was stopped in place as ");
                continue;
            }
        }
        if (context.Checking() || tmp->DeleteEntry(entry.name))
            ++deleted;
        else if (!IsGoneError(GetLastError()))
            context.Tell(ETreeEvent::WARNING, tmp->PathOf(entry.name),
                         "cannot delete this file left by a run that was stopped", GetLastError());
    }
    if (deleted > 0)
        context.TellDone(ETreeEvent::NOTICE, tmp->Path(),
                         "deleted " + std::to_string(deleted) + " temporary files left by a run that was stopped",
                         "delete " + std::to_string(deleted) + " temporary files left by a run that was stopped");
}

void CMaildirStore::ConvertMessage(CStoreContext &context, const PDirectory &sub, const SEntry &entry,
                                   const PDirectory &tmp, const std::string &kind, const PDirectory &quota) const
{
    std::string path = sub->PathOf(entry.name);
    ++context.Report().mails;
    HANDLE held = context.OpenFound(*sub, entry.name, &entry.id);
    if (held == INVALID_HANDLE_VALUE)
        return;
    CWorkSniffer sniffer;
    HANDLE made;
    std::string name;
    SMeasured sizes;
    if (!SniffRange(held, 0, ~std::uint64_t{0}, sniffer)) {
        context.Fail(path, "cannot read", GetLastError());
    } else if (!sniffer.Found()) {
        ++context.Report().unchanged;
    } else if (context.ConvertInto(held, *sub, entry.name, &entry.id, *tmp, MessageReference(kind, entry.name), false,
                                   made, name, sizes)) {
        // A new name, for a server that knows a message by its name and size.
        std::string renamed = NewMessageName(entry.name, name, sizes.size, sizes.crlfSize);
        auto change = static_cast<std::int64_t>(sizes.size) - static_cast<std::int64_t>(entry.size);
        context.Replace(*this, {made, tmp, name, sub, renamed, entry.name, change, quota}, sizes.size,
                        "would be converted, " + std::to_string(entry.size) + " bytes to " +
                            std::to_string(sizes.size) + ", and renamed " + JoinPath(kind, renamed) +
                            " (* a new unique name)");
    }
    CloseHandle(held);
    context.FlushBatchIfFull();
}

PDirectory CMaildirStore::QuotaOf(CStoreContext &context, const PDirectory &dir,
                                  const std::vector<SEntry> &entries) const
{
    if (std::any_of(entries.begin(), entries.end(), [](const SEntry &e) { return e.name == "maildirsize"; }))
        return dir;
    const std::vector<PDirectory> &parents = context.Parents();
    if (BaseNameOf(dir->Path())[0] != '.' || parents.size() < 2)
        return nullptr;
    const PDirectory &above = parents[parents.size() - 2];
    return above->Holds("maildirsize") ? above : nullptr;
}

void CMaildirStore::FlushBatchLocked(CStoreContext &context, const PDirectory &dir) const
{
    const char LOCK[] = "dovecot-uidlist.lock";
    if (context.Checking()) {
        // The run would wait ten seconds for a lock held now, and fail unless it were let go.
        if (dir->Holds(LOCK)) {
            context.Report().failed.push_back(dir->Path());
            context.Event({ETreeEvent::FAILED, dir->PathOf(LOCK),
                           "would not be converted: the mail server holds this lock (stop it, or run again)", 0,
                           nullptr});
            context.DiscardBatch();
            return;
        }
        if (!context.BatchEmpty())
            context.Tell(ETreeEvent::WOULD, dir->PathOf("dovecot-uidlist"),
                         std::string("would be locked (") + LOCK + ") while the messages are renamed");
        context.FlushBatch();
        return;
    }
    HANDLE lock = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 100 && (lock = dir->CreateEntry(LOCK)) == INVALID_HANDLE_VALUE &&
                    GetLastError() == ERROR_FILE_EXISTS;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (lock == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        context.Report().failed.push_back(dir->Path());
        context.Event({ETreeEvent::FAILED, dir->PathOf(LOCK),
                       error == ERROR_FILE_EXISTS
                           ? "not converted: the mail server holds this lock (stop it, or run again)"
                           : "not converted: cannot take the mail server's lock",
                       error == ERROR_FILE_EXISTS ? 0 : error, nullptr});
        context.DiscardBatch();
        return;
    }
    CloseHandle(lock);
    context.FlushBatch();
    if (!dir->DeleteEntry(LOCK))
        context.Tell(ETreeEvent::WARNING, dir->PathOf(LOCK), "cannot delete the mail server's lock that we took",
                     GetLastError());
}

// Appends a line for each change of size to the quota files of the batch's maildirs.
void CMaildirStore::Flushed(CStoreContext &context, const std::vector<SReplaced> &done) const
{
    std::vector<std::pair<PDirectory, std::int64_t>> changes;
    for (const SReplaced &file : done) {
        if (!file.replaced || file.quota == nullptr || file.change == 0)
            continue;
        auto at = std::find_if(changes.begin(), changes.end(), [&file](const auto &c) { return c.first == file.quota; });
        if (at == changes.end())
            changes.emplace_back(file.quota, file.change);
        else
            at->second += file.change;
    }
    // As the maildir quota rules have it: a line of the bytes and messages added, at the
    // end; the first line, the quota itself, stays.
    for (const auto &change : changes) {
        std::string line = std::to_string(change.second) + " 0\n";
        if (context.Checking()) {
            context.Tell(ETreeEvent::WOULD, change.first->PathOf("maildirsize"),
                         "would have a line appended: \"" + line.substr(0, line.size() - 1) +
                             "\" (the change of bytes and of messages)");
            ++context.Report().quotaLines;
            continue;
        }
        HANDLE file = change.first->OpenEntry("maildirsize", true, nullptr);
        SFileIdentity end;
        DWORD written = 0;
        bool ok = file != INVALID_HANDLE_VALUE && GetFileIdentity(file, &end) && SeekFile(file, end.size) &&
                  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        if (ok)
            ++context.Report().quotaLines;
        else
            context.Tell(ETreeEvent::WARNING, change.first->PathOf("maildirsize"),
                         "cannot count the new sizes in the quota file (delete it for the server to count again)",
                         GetLastError());
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
}

}  // namespace

const IStore &MaildirStore()
{
    static const CMaildirStore store;
    return store;
}
