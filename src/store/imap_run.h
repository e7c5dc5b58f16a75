// What the files of a run on an IMAP account share and no caller sees (imap_store.h holds the
// entry points): the mails on their way, the run itself, and the helpers that more than one
// of its files takes.  imap_store.cpp finds the mailboxes and the mails to convert, and
// completes a stopped run; imap_batch.cpp replaces a batch of mails, a step at a time;
// imap_undo.cpp puts the last run's originals back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "imap_account.h"
#include "imap_journal.h"
#include "imap_store.h"
#include "imap_wire.h"

namespace imap_run {

typedef std::function<void(const SImapResponse &)> Handler;
typedef std::shared_ptr<FILE> PFile;

// How many mails, and how many of their bytes, a batch holds at most: the temporary files
// hold them, not memory.
const std::size_t BATCH_MAILS = 500;
const std::uint64_t BATCH_BYTES = std::uint64_t{32} * 1024 * 1024;

struct SCandidate {
    std::uint64_t uid, size;
};

struct SMailbox {
    std::string name;     // as the server names it
    std::string shown;    // in UTF-8, for messages
    std::string leaf;     // the name's last level (after the hierarchy's delimiter)
};

struct SSelected {
    std::uint64_t validity = 0, uidNext = 0, exists = 0;
    std::vector<std::string> permanent;  // PERMANENTFLAGS, empty where the server gave none
};

// What a FETCH of one mail gave.
struct SFetched {
    bool found = false;
    std::uint64_t uid = 0, size = 0;
    std::vector<std::string> flags;
    std::string date;
    SImapValue body, labels;
    bool hasLabels = false;
    std::uint64_t modseq = 0;  // CONDSTORE's MODSEQ, 0 where not asked
};

// How a mail's replacement ended.
enum EOutcome {
    MAIL_PENDING,    // under way
    MAIL_DONE,       // replaced by its conversion, the original in Trash
    MAIL_UNCHANGED,  // nothing to change
    MAIL_FAILED,     // told why; the original stays
    MAIL_AGAIN,      // never appended, by a run that was stopped: the mail is as it was
};

// A mail on its way: its journal line, and the converted bytes where this run made them.
struct SWork {
    SImapMail mail;
    PFile copy;                       // the batch's file of converted copies; null for a mail
                                      // that a stopped run left
    std::uint64_t copyAt = 0;         // where in it this one's begins (mail.convertedSize long)
    std::vector<std::string> flags;   // the original's, as fetched; then as put on the copy
    SImapValue labels;                // the labels put on the copy
    std::uint64_t modseq = 0;         // the original's MODSEQ when its flags were read
    std::string date;                 // its INTERNALDATE
    std::string path;                 // in messages
    EOutcome outcome = MAIL_PENDING;
    std::string why;
};

// A new temporary file, deleted when let go; null where none can be made.
PFile NewTemporary();

// A value's bytes as a file read from its start: a large literal's own file, or a new one.
PFile FileOf(const SImapValue &value);

// A value as a command would send it back: a list's values in parentheses, a string quoted.
std::string Sent(const SImapValue &value);

// Keeps into code the COPYUID that a MOVE tells in an untagged OK, before its expunges
// (RFC 6851), where COPY tells it in its end.
Handler CopyUidInto(std::vector<SImapValue> &code);

// The texts of a list's values.
std::vector<std::string> Texts(const SImapValue &list);

// The UIDs as a set of them for a command.
std::string UidSet(const std::vector<std::uint64_t> &uids);

// A set of UIDs ("304,319:320") as the UIDs it names, in its order.
std::vector<std::uint64_t> Expanded(const std::string &set);

// Takes into got the flags, labels and MODSEQ that FETCH answers tell of the mails of byUid.
template <typename TMail>
Handler FlagsInto(const std::map<std::uint64_t, TMail *> &byUid, std::map<TMail *, SFetched> &got)
{
    return [&byUid, &got](const SImapResponse &r) {
        const SImapValue *uid = FetchItem(r, "UID"), *flags = FetchItem(r, "FLAGS"),
                         *labels = FetchItem(r, "X-GM-LABELS"), *modseq = FetchItem(r, "MODSEQ");
        auto work = uid != nullptr ? byUid.find(uid->Number()) : byUid.end();
        if (r.name != "FETCH" || flags == nullptr || work == byUid.end())
            return;
        SFetched &each = got[work->second];
        each.found = true;
        each.flags = Texts(*flags);
        if (labels != nullptr) {
            each.labels = *labels;
            each.hasLabels = true;
        }
        if (modseq != nullptr && !modseq->items.empty())
            each.modseq = modseq->items[0].Number();
    };
}

class CAccountRun {
public:
    CAccountRun(const SImapUrl &url, const SImapOptions &options, STreeReport &report)
        : m_url(url), m_options(options), m_report(report), m_run(static_cast<std::uint64_t>(std::time(nullptr)))
    {
    }
    ~CAccountRun() { m_session->Close(); }

    bool Start();
    bool Convert();
    bool Undo();

private:

    std::string Url(const SMailbox &box) const
    {
        return std::string(m_url.tls ? "imaps://" : "imap://") + m_url.Account() + "/" + box.shown;
    }
    std::string AccountUrl() const { return std::string(m_url.tls ? "imaps://" : "imap://") + m_url.Account(); }
    bool Fail(const std::string &path, const std::string &what)
    {
        m_report.failed.push_back(path);
        m_report.events.push_back({ETreeEvent::FAILED, path, what, 0, nullptr});
        return false;
    }
    void Warn(const std::string &path, const std::string &what)
    {
        m_report.events.push_back({ETreeEvent::WARNING, path, what, 0, nullptr});
    }
    // Runs a command: false where the connection failed (m_why then tells why); result
    // holds the server's answer otherwise.
    bool Run(const std::vector<SImapArg> &args, const Handler &untagged, SImapResult &result)
    {
        return m_session->Run(args, untagged, result, m_why);
    }
    bool Connect();
    bool Reconnect(const SMailbox &box, SSelected &selected);
    bool List(std::vector<SMailbox> &boxes);
    bool Select(const SMailbox &box, bool readOnly, SSelected &selected, std::string &what);
    bool ConvertMailbox(const SMailbox &box);
    bool FindCandidates(const SMailbox &box, const SSelected &selected, std::vector<SCandidate> &candidates);
    bool Fetch(std::uint64_t uid, const char *items, SFetched &fetched);
    // Fetches mails (candidates, in UID order) and converts each: into batch those that
    // change; counted, those gone meanwhile.  False where the connection was lost.
    bool FetchBatch(const SMailbox &box, const SSelected &selected, const std::vector<SCandidate> &mails,
                    std::vector<SWork> &batch, long &gone);
    // Converts body into work's copy, at the end of copies (the batch's file of them): false
    // where nothing changed (work.outcome MAIL_UNCHANGED) or it failed, told (MAIL_FAILED).
    bool Converted(const SImapValue &body, const PFile &copies, SWork &work);
    // Takes each work of batch still pending from its step to its end, a step for all of
    // them at a time: a round trip a step, whatever their number.  Each work's outcome says
    // how it ended; the journal has each step before its command is sent.  False where the
    // connection was lost (m_why): the journal tells where each mail stands.
    bool CompleteBatch(const SMailbox &box, SSelected &selected, std::vector<SWork> &batch);
    // Takes as box's the unfinished mails that a stopped run left under another name with
    // box's UIDVALIDITY, where no mailbox has that name any more: box was renamed.  False
    // where the connection was lost or the journal cannot be written (told).
    bool AdoptRenamed(const SMailbox &box, const SSelected &selected);
    // Completes what a stopped run left of box, counting the mails it completed.
    bool CompleteStopped(const SMailbox &box, SSelected &selected, long &completed);
    // Writes the works' steps to the journal; false, each failed, where it cannot.
    bool Record(const std::vector<SWork *> &works);
    void Drop(SWork &work, const std::string &what);
    // Fails each of works, as what; true.
    bool FailAll(const std::vector<SWork *> &works, const std::string &what);
    bool FindByBytes(std::uint64_t from, std::uint64_t size, std::uint64_t sum, std::uint64_t not_, std::uint64_t &uid);
    // Removes the copies of set (UIDs) that a run appended, adding to what where the server
    // refuses.  False where the connection was lost.
    bool RemoveCopy(const std::string &set, std::string &what);
    // Puts back mails of one mailbox (boxName) whose originals went to trashName, with a
    // round trip a step for them all.  False where the connection was lost or the journal
    // cannot be written (told); ok false where a mail could not be put back (told).
    bool UndoGroup(const std::string &boxName, const std::string &trashName, std::vector<SImapMail> &mails, bool &ok,
                   long &back);
    std::string FlagsFor(const std::vector<std::string> &flags, const SSelected &selected) const;
    // What a FETCH of an original's flags asks for: its labels on Gmail, and its MODSEQ
    // where the server keeps them (CONDSTORE).
    std::string FlagItems() const
    {
        return std::string("(UID FLAGS") + (m_gmail ? " X-GM-LABELS" : "") +
               (m_session->Has("CONDSTORE") ? " MODSEQ" : "") + ")";
    }
    // Puts on the copies of moving what changed on their originals after their flags were
    // last read (late): flags, and Gmail's labels.  False where the connection was lost.
    bool CarryLate(const std::vector<SWork *> &moving, std::map<SWork *, SFetched> &late, const SSelected &selected);

    const SImapUrl &m_url;
    const SImapOptions &m_options;
    STreeReport &m_report;
    std::unique_ptr<CImapSession> m_session{new CImapSession};
    CImapJournal m_journal;
    SImapSecret m_secret;
    SMailbox m_trash;
    bool m_gmail = false;
    std::uint64_t m_run;
    long m_completed = 0;  // mails a reconnection completed, in the mailbox at hand
    std::string m_why;
};

}  // namespace imap_run
