// The maildir store (store.h): a directory with cur/, new/ and tmp/, one message a file, each
// converted message written anew in tmp/ and given a new name; with the rules of the servers
// that keep maildirs (Dovecot's lock and quota file, Courier's keywords) and of the tools
// that sync them.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <thread>

#include "courier.h"
#include "maildir.h"
#include "store.h"
#include "temporary_names.h"
#include "write_anew.h"

namespace {

// Dovecot's lock of a maildir's list of names, and the age at which Dovecot takes one over.
const char UIDLIST_LOCK[] = "dovecot-uidlist.lock";
const long UIDLIST_LOCK_STALE_SECONDS = 120;

// The keywords that Courier keeps for a maildir's messages: its courierimapkeywords/, each
// message's keywords by the name Courier knows it by (with the number of the update file
// they came from, 0 for :list), and how many were given to a new name.
struct SKeywords {
    PDirectory dir;
    std::map<std::string, std::pair<unsigned long long, std::string>> of;
    long followed = 0;
};

// This run's line in a quota file: the change of bytes it is to say, what earlier lines of
// the run that stay say, the line as it was last written ("" for none), whether it changed
// since; in a check, the event that tells of it.
struct SQuotaLine {
    PDirectory dir;
    std::int64_t change = 0;
    std::int64_t said = 0;
    std::string written;
    bool dirty = false;
    std::size_t event = 0;
};
struct SQuotaLines : CStoreContext::IRunState {
    std::vector<SQuotaLine> lines;
};

// The whole of name in dir, or "" where it cannot be read.
std::string ReadWhole(const CHeldDirectory &dir, const std::string &name)
{
    std::string text;
    HANDLE file = dir.OpenEntry(name, false, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char piece[4096];
    long long n;
    while ((n = ReadSome(file, piece, sizeof piece)) > 0)
        text.append(piece, static_cast<std::size_t>(n));
    CloseHandle(file);
    return text;
}

// This machine's name, as Dovecot writes it into its locks.
std::string HostName()
{
    char host[256];
    DWORD size = sizeof host;
    return GetComputerNameA(host, &size) ? host : "localhost";
}

class CMaildirStore : public IStore {
public:
    const char *Name() const override { return "maildir"; }
    bool Recognises(const SStorePlace &place) const override;
    bool Convert(CStoreContext &context, const SStorePlace &place) const override;
    bool OwnsEntry(const SEntry &entry) const override
    {
        return (entry.kind == ENTRY_DIRECTORY &&
                (entry.name == "cur" || entry.name == "new" || entry.name == "tmp")) ||
               IsServersOwn(entry.name, true);
    }
    void Flushed(CStoreContext &context, const std::vector<SReplaced> &done) const override;

private:
    // Our temporary files in tmp/ left by a run that was stopped.
    void TidyTemporaries(CStoreContext &context, const PDirectory &tmp, const std::vector<PDirectory> &subs) const;
    // quota: where the maildir's maildirsize is, or null.
    void ConvertMessage(CStoreContext &context, const PDirectory &sub, const SEntry &entry, const PDirectory &tmp,
                        const std::string &kind, const PDirectory &quota, SKeywords *keywords) const;
    // Reads the keywords of dir's messages from courierimapkeywords/.
    static void ReadKeywords(const PDirectory &dir, SKeywords &keywords);
    // Gives message newName the keywords that Courier keeps for oldName: an update file for
    // it, made in tmp and moved into courierimapkeywords/, before the rename.
    static void FollowKeywords(CStoreContext &context, SKeywords &keywords, const CHeldDirectory &tmp,
                               const std::string &oldName, const std::string &newName);
    // Deletes the old name of each message whose new name, from a run that was stopped,
    // stands beside it (found by the new name's PairingMark), and drops it from found.
    void DeletePairedOriginals(CStoreContext &context, const std::vector<PDirectory> &subs,
                               std::vector<std::vector<SEntry>> &found, const PDirectory &quota) const;
    // Tells of each message delivered into new/ since the walk read it.
    static void TellDelivered(CStoreContext &context, const PDirectory &sub, const std::vector<SEntry> &found,
                              const std::vector<SEntry> &cur);
    // True when dir's dovecot-uidlist.lock is stale by Dovecot's rule: its process, of this
    // machine, has ended, or it is older than UIDLIST_LOCK_STALE_SECONDS.
    static bool StaleUidlistLock(const CHeldDirectory &dir);
    // Adds change to the run's line in quota's maildirsize, written at once where write.
    void AddQuota(CStoreContext &context, const PDirectory &quota, std::int64_t change, bool write) const;
    // Writes line's quota file anew with the run's line at its end; false, told, when it
    // cannot.
    static bool WriteQuota(CStoreContext &context, SQuotaLine &line);
    // The maildir's quota file, in it or, for a Maildir++ folder, in the maildir above.
    PDirectory QuotaOf(CStoreContext &context, const PDirectory &dir, const std::vector<SEntry> &entries) const;
    // Holds dovecot-uidlist.lock of dir, as Dovecot makes it, for as long as it flushes the
    // batch; false, the batch discarded and told, where Dovecot holds it for ten seconds.
    bool FlushBatchLocked(CStoreContext &context, const PDirectory &dir) const;
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
    // A server's maildir: its renames in batches of their own, each under its lock.
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
    auto own = static_cast<long>(
        std::count_if(entries.begin(), entries.end(), [](const SEntry &e) { return IsServersOwn(e.name, true); }));
    if (own > 0)
        context.Skip(SERVERS_OWN, own);
    SKeywords keywords;
    if (holds("courierimapkeywords") && tmp != nullptr && context.Converting())
        ReadKeywords(dir, keywords);
    if (tmp != nullptr && context.Converting()) {
        DeletePairedOriginals(context, subs, found, quota);
        TidyTemporaries(context, tmp, subs);
    }
    // Dovecot holds its lock: the rest of the messages would wait for it too.
    bool held = false;
    for (int i = 0; i < 2; ++i) {
        for (const SEntry &entry : found[i]) {
            // Names that start with a dot are no messages, to maildir readers.
            if (entry.name[0] == '.')
                continue;
            if (entry.kind != ENTRY_FILE)
                context.WalkEntry(subs[i], entry);
            else if (tmp != nullptr && context.Count(entry.size)) {
                if (!held)
                    ConvertMessage(context, subs[i], entry, tmp, names[i], quota,
                                   keywords.dir != nullptr ? &keywords : nullptr);
                else
                    ++context.Report().mails;
                context.Done(entry.size);
            }
            messages += entry.kind == ENTRY_FILE ? 1 : 0;
            // A server's messages are renamed under its lock, a batch at a time; a check holds
            // no file open, and tells of the lock once, for all of them.
            if (!context.BatchFull())
                continue;
            if (!dovecot)
                context.FlushBatch();
            else if (!context.Checking() && !FlushBatchLocked(context, dir))
                held = true;
        }
    }
    if (dovecot && context.Converting() && !held)
        FlushBatchLocked(context, dir);
    if (keywords.followed > 0)
        context.TellDone(ETreeEvent::NOTICE, keywords.dir->Path(),
                         "gave " + std::to_string(keywords.followed) +
                             " renamed messages their keywords under their new names",
                         "give " + std::to_string(keywords.followed) +
                             " renamed messages their keywords under their new names");
    if (tmp != nullptr && context.Converting() && !context.Checking())
        TellDelivered(context, subs[1], found[1], found[0]);
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
                if (!renamed || MessageUnique(m.first) != unique || context.WouldBeGone((*m.second)->PathOf(m.first)))
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
                                   const PDirectory &tmp, const std::string &kind, const PDirectory &quota,
                                   SKeywords *keywords) const
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
        if (keywords != nullptr)
            FollowKeywords(context, *keywords, *tmp, entry.name, renamed);
        auto change = static_cast<std::int64_t>(sizes.size) - static_cast<std::int64_t>(entry.size);
        context.Replace(*this, {made, tmp, name, sub, renamed, entry.name, change, quota}, sizes.size,
                        "would be converted, " + std::to_string(entry.size) + " bytes to " +
                            std::to_string(sizes.size) + ", and renamed " + JoinPath(kind, renamed) +
                            " (* a new unique name)");
    }
    CloseHandle(held);
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

bool CMaildirStore::FlushBatchLocked(CStoreContext &context, const PDirectory &dir) const
{
    if (context.Checking()) {
        // The run would wait ten seconds for a lock held now, and fail unless it were let go.
        if (dir->Holds(UIDLIST_LOCK) && !StaleUidlistLock(*dir)) {
            // Its messages wait for the lock with the rest: not told as though they would be
            // converted, only counted in the one failure.
            std::size_t waiting = context.DiscardBatch();
            context.Report().failed.push_back(dir->Path());
            context.Event({ETreeEvent::FAILED, dir->PathOf(UIDLIST_LOCK),
                           "would not be converted: the mail server holds this lock (stop it, or run again); " +
                               std::to_string(waiting) + (waiting == 1 ? " message" : " messages") +
                               " to convert wait for it",
                           0, nullptr});
            return false;
        }
        if (!context.BatchEmpty())
            context.Tell(ETreeEvent::WOULD, dir->PathOf("dovecot-uidlist"),
                         std::string("would be locked (") + UIDLIST_LOCK + ") while the messages are renamed");
        context.FlushBatch();
        return true;
    }
    HANDLE lock = INVALID_HANDLE_VALUE;
    // The reason of the last attempt, taken at once: the waits between attempts may change
    // the system's last error (they do on Windows).
    DWORD error = 0;
    for (int i = 0; i < 100; ++i) {
        lock = dir->CreateEntry(UIDLIST_LOCK);
        error = GetLastError();
        if (lock != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS)
            break;
        // As Dovecot does: one whose process has ended, or that is old, is taken over.
        if (StaleUidlistLock(*dir) && dir->DeleteEntry(UIDLIST_LOCK)) {
            context.Tell(ETreeEvent::NOTICE, dir->PathOf(UIDLIST_LOCK),
                         "deleted: a stale lock (of a process that has ended, or two minutes old)");
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (lock == INVALID_HANDLE_VALUE) {
        context.Report().failed.push_back(dir->Path());
        context.Event({ETreeEvent::FAILED, dir->PathOf(UIDLIST_LOCK),
                       error == ERROR_FILE_EXISTS
                           ? "not converted: the mail server holds this lock (stop it, or run again)"
                           : "not converted: cannot take the mail server's lock",
                       error == ERROR_FILE_EXISTS ? 0 : error, nullptr});
        context.DiscardBatch();
        return false;
    }
    // As Dovecot makes it: the owner, group and mode of the list it guards, so that the
    // server, which runs as the mailbox's owner, can watch it; "PID:HOST" in it, so that a
    // run stopped while holding it is known to have ended.
    HANDLE list = dir->OpenEntry("dovecot-uidlist", false, nullptr);
    if (list != INVALID_HANDLE_VALUE) {
        KeepFileMetadata(list, lock);
        CloseHandle(list);
    }
    std::string owner = std::to_string(OwnProcessId()) + ":" + HostName();
    DWORD written = 0;
    (void)WriteFile(lock, owner.data(), static_cast<DWORD>(owner.size()), &written, nullptr);
    CloseHandle(lock);
    context.FlushBatch();
    if (!dir->DeleteEntry(UIDLIST_LOCK))
        context.Tell(ETreeEvent::WARNING, dir->PathOf(UIDLIST_LOCK), "cannot delete the mail server's lock that we took",
                     GetLastError());
    return true;
}

bool CMaildirStore::StaleUidlistLock(const CHeldDirectory &dir)
{
    std::string owner = ReadWhole(dir, UIDLIST_LOCK);
    std::size_t colon = owner.find(':');
    if (colon != std::string::npos && owner.substr(colon + 1) == HostName()) {
        char *end = nullptr;
        unsigned long pid = std::strtoul(owner.c_str(), &end, 10);
        if (end == owner.c_str() + colon && pid != 0 && !IsProcessRunning(pid))
            return true;
    }
    std::error_code error;
    auto changed = std::filesystem::last_write_time(std::filesystem::u8path(dir.PathOf(UIDLIST_LOCK)), error);
    return !error && std::filesystem::file_time_type::clock::now() - changed >
                         std::chrono::seconds(UIDLIST_LOCK_STALE_SECONDS);
}

void CMaildirStore::ReadKeywords(const PDirectory &dir, SKeywords &keywords)
{
    keywords.dir.reset(dir->OpenSub("courierimapkeywords").release());
    if (keywords.dir == nullptr)
        return;
    for (const auto &message : ReadCourierKeywordList(ReadWhole(*keywords.dir, ":list")))
        keywords.of[message.first] = {0, message.second};
    std::vector<SEntry> entries;
    ReadEntries(*keywords.dir, entries);
    for (const SEntry &entry : entries) {
        unsigned long long t;
        std::string message;
        if (entry.kind != ENTRY_FILE || !ReadCourierUpdateName(entry.name, t, message))
            continue;
        auto &known = keywords.of[message];
        if (known.second.empty() || t >= known.first)
            known = {t, ReadWhole(*keywords.dir, entry.name)};
    }
}

void CMaildirStore::FollowKeywords(CStoreContext &context, SKeywords &keywords, const CHeldDirectory &tmp,
                                   const std::string &oldName, const std::string &newName)
{
    auto of = keywords.of.find(MessageUnique(oldName));
    if (of == keywords.of.end() || of->second.second.empty())
        return;
    if (context.Checking()) {
        ++keywords.followed;
        return;
    }
    // Numbered as Courier numbers them, by the time in five minutes; never below the old.
    auto now = static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    std::string update = CourierUpdateName(std::max(now / 300, of->second.first), MessageUnique(newName));
    std::string name = NewTemporaryName("");
    HANDLE made = tmp.CreateEntry(name);
    const std::string &text = of->second.second;
    bool ok = made != INVALID_HANDLE_VALUE && WriteWhole(made, text.data(), text.size());
    if (made != INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // The server's owner, group and mode, which its list has.
        HANDLE list = keywords.dir->OpenEntry(":list", false, nullptr);
        if (list != INVALID_HANDLE_VALUE) {
            KeepFileMetadata(list, made);
            CloseHandle(list);
        }
        SetLastError(error);
        ok = CloseAfter(made, ok);
    }
    if (ok && keywords.dir->MoveHere(tmp, name, update)) {
        ++keywords.followed;
        return;
    }
    DWORD error = GetLastError();
    tmp.DeleteEntry(name);
    context.Tell(ETreeEvent::WARNING, keywords.dir->PathOf(update),
                 "cannot give the renamed message its keywords (Courier's): they are lost", error);
}

void CMaildirStore::DeletePairedOriginals(CStoreContext &context, const std::vector<PDirectory> &subs,
                                          std::vector<std::vector<SEntry>> &found, const PDirectory &quota) const
{
    // Each new name of ours by the mark of the old name it was made for, with its size.
    std::map<std::string, std::pair<std::string, std::uint64_t>> made;
    for (const auto &in : found) {
        for (const SEntry &entry : in) {
            std::string mark;
            if (entry.kind == ENTRY_FILE && PairedWith(entry.name, mark))
                made[mark] = {entry.name, entry.size};
        }
    }
    if (made.empty())
        return;
    for (std::size_t i = 0; i < found.size(); ++i) {
        for (auto entry = found[i].begin(); entry != found[i].end();) {
            auto pair = entry->kind == ENTRY_FILE ? made.find(PairingMark(entry->name)) : made.end();
            if (pair == made.end() || pair->second.first == entry->name) {
                ++entry;
                continue;
            }
            auto change = static_cast<std::int64_t>(pair->second.second) - static_cast<std::int64_t>(entry->size);
            std::string what = "the old name of a message that a run that was stopped had converted (" +
                               pair->second.first + ")";
            if (context.DeleteLeft(*subs[i], entry->name, what, "cannot delete " + what) &&
                (context.Checking() || !subs[i]->Holds(entry->name)))
                AddQuota(context, quota, change, true);
            entry = found[i].erase(entry);
        }
    }
}

void CMaildirStore::TellDelivered(CStoreContext &context, const PDirectory &sub, const std::vector<SEntry> &found,
                                  const std::vector<SEntry> &cur)
{
    std::vector<SEntry> now;
    if (!ReadEntries(*sub, now))
        return;
    long delivered = 0;
    for (const SEntry &entry : now) {
        std::string mark;
        auto named = [&entry](const SEntry &e) { return e.name == entry.name; };
        if (entry.kind != ENTRY_FILE || entry.name[0] == '.' || PairedWith(entry.name, mark) ||
            std::any_of(found.begin(), found.end(), named) || std::any_of(cur.begin(), cur.end(), named))
            continue;
        context.Tell(ETreeEvent::NOTICE, sub->PathOf(entry.name),
                     "delivered during the run, not converted: the next run converts it");
        ++delivered;
    }
    if (delivered > 0)
        context.Skip("delivered during the run (run again for them)", delivered);
}

// Adds each change of size to the run's line in the quota files of the batch's maildirs.
void CMaildirStore::Flushed(CStoreContext &context, const std::vector<SReplaced> &done) const
{
    for (const SReplaced &file : done) {
        if (file.replaced && file.quota != nullptr && file.change != 0)
            AddQuota(context, file.quota, file.change, false);
    }
    auto *state = static_cast<SQuotaLines *>(context.RunState(*this).get());
    if (state == nullptr || context.Checking())
        return;
    for (SQuotaLine &line : state->lines) {
        if (line.dirty)
            (void)WriteQuota(context, line);
    }
}

void CMaildirStore::AddQuota(CStoreContext &context, const PDirectory &quota, std::int64_t change, bool write) const
{
    if (quota == nullptr || change == 0)
        return;
    std::unique_ptr<CStoreContext::IRunState> &slot = context.RunState(*this);
    if (slot == nullptr)
        slot = std::make_unique<SQuotaLines>();
    auto &lines = static_cast<SQuotaLines *>(slot.get())->lines;
    auto at = std::find_if(lines.begin(), lines.end(), [&quota](const SQuotaLine &l) { return l.dir == quota; });
    if (at == lines.end()) {
        lines.push_back({quota, 0, 0, "", false, 0});
        at = lines.end() - 1;
    }
    at->change += change;
    at->dirty = true;
    if (context.Checking()) {
        // One line for the run, told once: its event says the run's change so far.
        std::string what = "would have a line appended: \"" + std::to_string(at->change) +
                           " 0\" (the change of bytes and of messages)";
        std::vector<STreeEvent> &events = context.Report().events;
        if (at->written.empty()) {
            context.Tell(ETreeEvent::WOULD, quota->PathOf("maildirsize"), what);
            at->event = events.size() - 1;
            at->written = "told";
            ++context.Report().quotaLines;
        } else if (at->event < events.size()) {
            events[at->event].what = what;
        }
    } else if (write) {
        (void)WriteQuota(context, *at);
    }
}

// As the maildir quota rules have it: a line of the bytes and messages added, at the end;
// the first line, the quota itself, stays.  One line for the run, said anew after each
// batch, so that a run stopped has counted what it renamed; where the server has added a
// line after it meanwhile, ours stays, and a line after the server's says the rest.
bool CMaildirStore::WriteQuota(CStoreContext &context, SQuotaLine &line)
{
    const CHeldDirectory &dir = *line.dir;
    HANDLE old = dir.OpenEntry("maildirsize", false, nullptr);
    std::string text;
    bool ok = old != INVALID_HANDLE_VALUE;
    char piece[4096];
    long long n = 0;
    while (ok && (n = ReadSome(old, piece, sizeof piece)) > 0)
        text.append(piece, static_cast<std::size_t>(n));
    ok = ok && n == 0;
    if (ok && !line.written.empty()) {
        if (text.size() >= line.written.size() &&
            text.compare(text.size() - line.written.size(), line.written.size(), line.written) == 0) {
            text.resize(text.size() - line.written.size());
        } else {
            line.said += std::strtoll(line.written.c_str(), nullptr, 10);
            line.written.clear();
        }
    }
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    std::string ours = std::to_string(line.change - line.said) + " 0\n";
    text += ours;
    std::string name = "." + NewTemporaryName("maildirsize");
    HANDLE made = ok ? dir.CreateEntry(name) : INVALID_HANDLE_VALUE;
    if (made != INVALID_HANDLE_VALUE) {
        KeepFileMetadata(old, made);
        ok = CloseAfter(made, WriteWhole(made, text.data(), text.size()) && FlushFiles(&made, 1));
        // Windows replaces no file that is open.
        CloseHandle(old);
        old = INVALID_HANDLE_VALUE;
        ok = ok && dir.Replace(dir, name, "maildirsize");
        if (!ok)
            dir.DeleteEntry(name);
    } else {
        ok = false;
    }
    DWORD error = GetLastError();
    if (old != INVALID_HANDLE_VALUE)
        CloseHandle(old);
    if (!ok) {
        context.Tell(ETreeEvent::WARNING, dir.PathOf("maildirsize"),
                     "cannot count the new sizes in the quota file (delete it for the server to count again)", error);
        return false;
    }
    if (line.written.empty())
        ++context.Report().quotaLines;
    line.written = ours;
    line.dirty = false;
    return true;
}

}  // namespace

const IStore &MaildirStore()
{
    static const CMaildirStore store;
    return store;
}
