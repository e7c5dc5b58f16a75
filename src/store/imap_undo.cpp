// --undo on an IMAP account: the last run's originals back from Trash, with the flags and
// labels their copies have now, and the copies removed (imap_run.h).
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "imap_run.h"

namespace imap_run {

bool CAccountRun::Undo()
{
    std::vector<SImapMail> mails = m_journal.LastRun();
    if (mails.empty())
        return Fail(AccountUrl(), "nothing to undo: no run converted mail on this account");
    std::vector<SMailbox> listed;
    if (!List(listed))
        return false;
    // By mailbox and Trash, a batch at a time: a few round trips for each.
    std::map<std::pair<std::string, std::string>, std::vector<SImapMail>> groups;
    for (const SImapMail &mail : mails)
        groups[{mail.mailbox, mail.trash.empty() ? m_trash.name : mail.trash}].push_back(mail);
    bool ok = true;
    long back = 0;
    for (const auto &group : groups) {
        for (std::size_t i = 0; i < group.second.size(); i += BATCH_MAILS) {
            auto from = group.second.begin() + static_cast<std::ptrdiff_t>(i);
            std::vector<SImapMail> part(from, from + static_cast<std::ptrdiff_t>(std::min(BATCH_MAILS, group.second.size() - i)));
            if (!UndoGroup(group.first.first, group.first.second, part, ok, back))
                return false;
        }
    }
    m_report.events.push_back({ETreeEvent::NOTICE, AccountUrl(),
                               std::to_string(back) + (back == 1 ? " mail" : " mails") +
                                   " put back from Trash as they were before the last run, their converted copies "
                                   "removed",
                               0, nullptr});
    if (!m_journal.Compact())
        Warn(m_journal.Path(), "cannot tidy the journal: " + ErrorText(GetLastError()));
    return ok;
}

bool CAccountRun::UndoGroup(const std::string &boxName, const std::string &trashName, std::vector<SImapMail> &mails,
                            bool &ok, long &back)
{
    SMailbox box{boxName, boxName, ""}, trash{trashName, "", ""};
    DecodeMailboxName(box.name, box.shown);
    DecodeMailboxName(trash.name, trash.shown);
    auto path = [&](const SImapMail &mail) { return Url(box) + ";UID=" + std::to_string(mail.uid); };
    auto failAll = [&](const std::vector<SImapMail *> &which, const std::string &what) {
        for (const SImapMail *mail : which)
            ok = Fail(path(*mail), what);
        return true;
    };
    auto write = [&](const std::vector<SImapMail *> &which) {
        std::vector<SImapMail> steps(which.size());
        std::transform(which.begin(), which.end(), steps.begin(), [](const SImapMail *mail) { return *mail; });
        return steps.empty() || m_journal.Write(steps) ||
               Fail(path(steps.front()), "cannot write the journal: " + ErrorText(GetLastError()));
    };
    std::vector<SImapMail *> all(mails.size());
    std::transform(mails.begin(), mails.end(), all.begin(), [](SImapMail &mail) { return &mail; });
    // What each copy has now (flags read or set since, labels) goes back with its original.
    std::string what;
    SSelected selected;
    SImapResult result;
    if (!Select(box, false, selected, what))
        return failAll(all, what);
    std::map<std::uint64_t, SImapMail *> byCopy;
    std::vector<std::uint64_t> copyUids;
    for (SImapMail *mail : all) {
        if (mail->validity == selected.validity) {
            byCopy[mail->newUid] = mail;
            copyUids.push_back(mail->newUid);
        }
    }
    std::map<SImapMail *, SFetched> copies;
    if (!copyUids.empty() && !Run({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(UidSet(copyUids)),
                                   SImapArg::Atom(FlagItems())},
                                  FlagsInto(byCopy, copies), result))
        return Fail(Url(box), m_why);
    // The originals, back from Trash by one command.
    if (!Select(trash, false, selected, what))
        return failAll(all, what);
    std::vector<SImapMail *> moving, done;
    std::map<std::uint64_t, SImapMail *> byTrash;
    for (SImapMail *mail : all) {
        if (selected.validity != mail->trashValidity && mail->trashValidity != 0) {
            ok = Fail(path(*mail), "the Trash was made anew since (its UIDVALIDITY changed): the original is not found");
            continue;
        }
        std::uint64_t at = mail->trashUid;
        if (at == 0 && !FindByBytes(mail->trashNext, mail->size, mail->sum, 0, at))
            return Fail(path(*mail), m_why);
        if (at != 0) {
            mail->trashUid = at;
            mail->step = EImapStep::UNDOING;
            byTrash[at] = mail;
            moving.push_back(mail);
        } else if (mail->step == EImapStep::UNDOING) {
            done.push_back(mail);  // a stopped undo moved it back already
        } else {
            ok = Fail(path(*mail), "the original is no longer in " + trash.shown + ": its converted copy stays");
        }
    }
    if (!write(moving))
        return false;
    std::map<SImapMail *, std::uint64_t> backUids;
    if (!moving.empty()) {
        std::vector<std::uint64_t> at(byTrash.size());
        std::transform(byTrash.begin(), byTrash.end(), at.begin(), [](const auto &each) { return each.first; });
        std::string set = UidSet(at);
        bool moves = m_session->Has("MOVE");
        std::vector<SImapValue> moved;
        if (!Run({SImapArg::Atom("UID"), SImapArg::Atom(moves ? "MOVE" : "COPY"), SImapArg::Atom(set),
                  SImapArg::String(box.name)},
                 CopyUidInto(moved), result))
            return Fail(Url(box), m_why);
        if (result.Ok() && !moved.empty())
            result.code = moved;
        if (result.Ok() && result.HasCode("COPYUID") && result.code.size() >= 4) {
            std::vector<std::uint64_t> from = Expanded(result.code[2].text), to = Expanded(result.code[3].text);
            for (std::size_t i = 0; i < from.size() && i < to.size(); ++i)
                if (byTrash.count(from[i]) != 0)
                    backUids[byTrash[from[i]]] = to[i];
        }
        SImapResult taken;
        if (result.Ok() && !moves &&
            (!Run({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(set), SImapArg::Atom("+FLAGS.SILENT"),
                   SImapArg::Atom("(\\Deleted)")},
                  nullptr, taken) ||
             !Run({SImapArg::Atom("UID"), SImapArg::Atom("EXPUNGE"), SImapArg::Atom(set)}, nullptr, taken)))
            return Fail(Url(box), m_why);
        if (!result.Ok())
            failAll(moving, "cannot move the original back from " + trash.shown + ": " + result.text);
        else
            done.insert(done.end(), moving.begin(), moving.end());
    }
    if (done.empty())
        return true;
    // Their flags and labels back, pipelined, then the copies gone.
    if (!Select(box, false, selected, what))
        return failAll(done, what);
    std::vector<std::string> tags;
    std::vector<std::uint64_t> gone;
    for (SImapMail *mail : done) {
        const SFetched &copy = copies[mail];
        if (selected.validity != mail->validity || !copy.found)
            continue;
        gone.push_back(mail->newUid);
        std::string original = std::to_string(backUids[mail]), tag;
        if (backUids[mail] == 0)
            continue;
        if (!m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(original),
                              SImapArg::Atom("FLAGS.SILENT"), SImapArg::Atom(FlagsFor(copy.flags, selected))},
                             tag, m_why))
            return Fail(Url(box), m_why);
        tags.push_back(tag);
        if (copy.hasLabels && !copy.labels.items.empty()) {
            if (!m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(original),
                                  SImapArg::Atom("+X-GM-LABELS"), SImapArg::Atom(Sent(copy.labels))},
                                 tag, m_why))
                return Fail(Url(box), m_why);
            tags.push_back(tag);
        }
    }
    for (const std::string &tag : tags)
        if (!m_session->Wait(tag, nullptr, result, m_why))
            return Fail(Url(box), m_why);
    if (!gone.empty() && !RemoveCopy(UidSet(gone), what))
        return Fail(Url(box), m_why);
    if (!what.empty())
        Warn(Url(box), what.substr(2));
    for (SImapMail *mail : done)
        mail->step = EImapStep::UNDONE;
    if (!write(done))
        return false;
    back += static_cast<long>(done.size());
    return true;
}

}  // namespace imap_run
