// An IMAP run's batch of mails replaced, a step for all of them at a time (imap_run.h).
//
// A mail is replaced in steps, each written to the journal before its command is sent:
//   APPENDING  the conversion is appended with the original's flags and date; where the
//              answer is lost, the next run finds the copy by its bytes among the UIDs at or
//              past the UIDNEXT seen before, and appends nothing again where it is there;
//   APPENDED   the copy's UID is known: it is read back and compared byte for byte, then
//              given what the append could not carry (flags changed meanwhile, labels);
//   MOVING     the original goes to Trash by UID MOVE (or UID COPY, \Deleted and UID
//              EXPUNGE of that UID alone: never a plain EXPUNGE, which would take mail the
//              user marked), its flags read again in the same round trip and what changed
//              put on the copy;
//   DONE       the original is in Trash, kept there for --undo.
// A mail whose copy cannot be made whole is left as it was, any copy of it removed, and told.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "imap_run.h"
#include "journal.h"

namespace imap_run {

namespace {

// Size and checksum of file's bytes, from offset at to its end.
bool Measure(FILE *file, std::uint64_t at, std::uint64_t &size, std::uint64_t &sum)
{
    SChecksum checksum;
    char buffer[65536];
    if (!SetStreamPosition(file, static_cast<long long>(at)))
        return false;
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        checksum.Add(buffer, got);
    size = checksum.total;
    sum = checksum.Value();
    return std::ferror(file) == 0;
}

// Whether the size bytes of a from offset at are b's, all of them.
bool SameBytes(FILE *a, std::uint64_t at, std::uint64_t size, FILE *b)
{
    char x[65536], y[65536];
    if (!SetStreamPosition(a, static_cast<long long>(at)))
        return false;
    std::rewind(b);
    for (std::uint64_t left = size; left > 0;) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof x));
        if (std::fread(x, 1, want, a) != want || std::fread(y, 1, want, b) != want || std::memcmp(x, y, want) != 0)
            return false;
        left -= want;
    }
    // And b no longer.
    return std::fread(y, 1, 1, b) == 0 && std::ferror(b) == 0;
}

// Copies in to out with every line ended by CR LF, as IMAP sends mail: the converter ends
// lines as this system does.  A CR that ends no line stays as it is.
bool WithWireLineEnds(FILE *in, FILE *out)
{
    char buffer[65536];
    std::string made;
    bool afterCr = false;
    std::rewind(in);
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        made.clear();
        for (std::size_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n' && !afterCr)
                made += '\r';
            made += buffer[i];
            afterCr = buffer[i] == '\r';
        }
        if (std::fwrite(made.data(), 1, made.size(), out) != made.size())
            return false;
    }
    return std::ferror(in) == 0 && std::fflush(out) == 0;
}

std::vector<std::string> Sorted(std::vector<std::string> texts)
{
    std::sort(texts.begin(), texts.end());
    return texts;
}

// labels less those of without (as their texts).
SImapValue Without(const SImapValue &labels, const std::vector<std::string> &without)
{
    SImapValue left;
    left.kind = SImapValue::LIST;
    for (const SImapValue &label : labels.items)
        if (std::find(without.begin(), without.end(), label.text) == without.end())
            left.items.push_back(label);
    return left;
}

}  // namespace

bool CAccountRun::FindByBytes(std::uint64_t from, std::uint64_t size, std::uint64_t sum, std::uint64_t not_,
                              std::uint64_t &uid)
{
    uid = 0;
    std::vector<std::uint64_t> sized;
    SImapResult result;
    // A NOOP first, for a server that tells of a new mail only then.
    if (!Run({SImapArg::Atom("NOOP")}, nullptr, result) ||
        !Run({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(std::to_string(std::max<std::uint64_t>(from, 1)) + ":*"),
              SImapArg::Atom("(UID RFC822.SIZE)")},
             [&](const SImapResponse &r) {
                 const SImapValue *at = FetchItem(r, "UID"), *length = FetchItem(r, "RFC822.SIZE");
                 // n:* names the last mail even where n is past it.
                 if (r.name == "FETCH" && at != nullptr && length != nullptr && at->Number() >= from &&
                     at->Number() != not_ && length->Number() == size)
                     sized.push_back(at->Number());
             },
             result))
        return false;
    for (std::uint64_t each : sized) {
        SFetched fetched;
        if (!Fetch(each, "BODY.PEEK[]", fetched))
            return false;
        PFile file = fetched.found ? FileOf(fetched.body) : nullptr;
        std::uint64_t gotSize, gotSum;
        if (file && Measure(file.get(), 0, gotSize, gotSum) && gotSize == size && gotSum == sum) {
            uid = each;
            return true;
        }
    }
    return true;
}

bool CAccountRun::RemoveCopy(const std::string &set, std::string &what)
{
    SImapResult result;
    if (m_session->Has("UIDPLUS")) {
        if (!Run({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(set), SImapArg::Atom("+FLAGS.SILENT"),
                  SImapArg::Atom("(\\Deleted)")},
                 nullptr, result))
            return false;
        if (result.Ok() && !Run({SImapArg::Atom("UID"), SImapArg::Atom("EXPUNGE"), SImapArg::Atom(set)}, nullptr, result))
            return false;
    } else if (!Run({SImapArg::Atom("UID"), SImapArg::Atom("MOVE"), SImapArg::Atom(set), SImapArg::String(m_trash.name)},
                    nullptr, result)) {
        return false;
    }
    if (!result.Ok())
        what += "; its copy (UID " + set + ") could not be removed: " + result.text;
    return true;
}

bool CAccountRun::Record(const std::vector<SWork *> &works)
{
    std::vector<SImapMail> mails(works.size());
    std::transform(works.begin(), works.end(), mails.begin(), [](const SWork *work) { return work->mail; });
    if (m_journal.Write(mails))
        return true;
    std::string why = "cannot write the journal " + m_journal.Path() + ": " + ErrorText(GetLastError());
    for (SWork *work : works) {
        if (work->outcome != MAIL_FAILED)
            Fail(work->path, why);
        work->outcome = MAIL_FAILED;
    }
    return false;
}

bool CAccountRun::FailAll(const std::vector<SWork *> &works, const std::string &what)
{
    for (SWork *work : works) {
        work->outcome = MAIL_FAILED;
        Fail(work->path, what);
    }
    return true;
}

void CAccountRun::Drop(SWork &work, const std::string &what)
{
    work.mail.step = EImapStep::DROPPED;
    work.outcome = MAIL_FAILED;
    Fail(work.path, what);
}

bool CAccountRun::CompleteBatch(const SMailbox &box, SSelected &selected, std::vector<SWork> &batch)
{
    auto at = [&](EImapStep step) {
        std::vector<SWork *> found;
        for (SWork &work : batch) {
            if (work.outcome == MAIL_PENDING && work.mail.step == step)
                found.push_back(&work);
        }
        return found;
    };
    SImapResult result;
    // Appended: the conversions this run made, sent all at once; a stopped run's looked for.
    std::vector<SWork *> appending = at(EImapStep::APPENDING);
    if (!appending.empty()) {
        std::vector<SWork *> fresh, search;
        std::partition_copy(appending.begin(), appending.end(), std::back_inserter(fresh), std::back_inserter(search),
                            [](const SWork *work) { return work->copy != nullptr; });
        // Where the server takes many mails in one APPEND (MULTIAPPEND), in one transaction:
        // all of them or none.  Where it refuses them, each is sent on its own, to tell which.
        if (fresh.size() > 1 && m_session->Has("MULTIAPPEND")) {
            std::vector<SImapArg> args{SImapArg::Atom("APPEND"), SImapArg::String(box.name)};
            for (SWork *work : fresh) {
                args.push_back(SImapArg::Atom(FlagsFor(work->flags, selected)));
                args.push_back(SImapArg::String(work->date));
                args.push_back(SImapArg::Literal(work->copy.get(), work->mail.convertedSize, work->copyAt));
            }
            if (!Run(args, nullptr, result))
                return false;
            if (result.Ok()) {
                std::vector<std::uint64_t> made;
                if (result.HasCode("APPENDUID") && result.code.size() >= 3 &&
                    result.code[1].Number() == selected.validity)
                    made = Expanded(result.code[2].text);
                for (std::size_t i = 0; i < fresh.size(); ++i) {
                    if (made.size() == fresh.size()) {
                        fresh[i]->mail.newUid = made[i];
                        fresh[i]->mail.step = EImapStep::APPENDED;
                    } else {
                        search.push_back(fresh[i]);
                    }
                }
                fresh.clear();
            }
        }
        std::vector<std::pair<SWork *, std::string>> sent;
        for (SWork *work : fresh) {
            std::string tag;
            if (!m_session->Send({SImapArg::Atom("APPEND"), SImapArg::String(box.name),
                                  SImapArg::Atom(FlagsFor(work->flags, selected)), SImapArg::String(work->date),
                                  SImapArg::Literal(work->copy.get(), work->mail.convertedSize, work->copyAt)},
                                 tag, m_why))
                return false;
            sent.emplace_back(work, tag);
        }
        for (const auto &each : sent) {
            SWork &work = *each.first;
            if (!m_session->Wait(each.second, nullptr, result, m_why))
                return false;
            if (!result.Ok()) {
                Drop(work, "the server refused the converted mail: " + result.text + ": the original stays");
            } else if (result.HasCode("APPENDUID") && result.code.size() >= 3 &&
                       result.code[1].Number() == selected.validity) {
                work.mail.newUid = std::strtoull(result.code[2].text.c_str(), nullptr, 10);
                work.mail.step = EImapStep::APPENDED;
            } else {
                search.push_back(&work);
            }
        }
        for (SWork *work : search) {
            std::uint64_t found;
            if (!FindByBytes(work->mail.uidNext, work->mail.convertedSize, work->mail.convertedSum, work->mail.uid,
                             found))
                return false;
            if (found != 0) {
                work->mail.newUid = found;
                work->mail.step = EImapStep::APPENDED;
            } else if (work->copy) {
                // Taken, yet not found: the next run looks for it again before sending it.
                work->outcome = MAIL_FAILED;
                Fail(work->path, "the server took the converted copy but does not show it: the original stays, "
                                 "and the next run looks for the copy again");
            } else {
                // Never appended: the mail is as it was, for the scan to take again.
                work->mail.step = EImapStep::DROPPED;
                work->outcome = MAIL_AGAIN;
            }
        }
        for (SWork *work : appending)
            selected.uidNext = std::max(selected.uidNext, work->mail.newUid + 1);
        Record(appending);
    }

    // Each copy read back and compared with what was sent; a server may show a mail appended
    // to the mailbox at hand only after a NOOP (Courier does).
    std::vector<SWork *> appended = at(EImapStep::APPENDED);
    if (!appended.empty()) {
        std::map<std::uint64_t, SWork *> byCopy, byOriginal;
        std::map<SWork *, int> compared;  // 1 the same bytes, -1 others
        for (SWork *work : appended) {
            byCopy[work->mail.newUid] = work;
            byOriginal[work->mail.uid] = work;
        }
        Handler back = [&](const SImapResponse &r) {
            const SImapValue *uid = FetchItem(r, "UID"), *body = FetchItem(r, "BODY[]");
            auto work = uid != nullptr ? byCopy.find(uid->Number()) : byCopy.end();
            if (r.name != "FETCH" || body == nullptr || work == byCopy.end())
                return;
            PFile got = FileOf(*body);
            std::uint64_t size = 0, sum = 0;
            const SImapMail &mail = work->second->mail;
            bool same = got && (work->second->copy ? SameBytes(work->second->copy.get(), work->second->copyAt,
                                                               mail.convertedSize, got.get())
                                                   : Measure(got.get(), 0, size, sum) && size == mail.convertedSize &&
                                                         sum == mail.convertedSum);
            compared[work->second] = same ? 1 : -1;
        };
        // What the append could not carry, asked for in the same round trip: flags set
        // meanwhile, Gmail's labels; and where Trash's UIDs start.
        std::map<SWork *, SFetched> now;
        Handler flagged = FlagsInto(byOriginal, now);
        std::uint64_t trashValidity = 0, trashNext = 0;
        Handler status = [&](const SImapResponse &r) {
            if (r.name != "STATUS" || r.items.size() < 2)
                return;
            const std::vector<SImapValue> &pairs = r.items[1].items;
            for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
                if (pairs[i].Is("UIDNEXT"))
                    trashNext = pairs[i + 1].Number();
                if (pairs[i].Is("UIDVALIDITY"))
                    trashValidity = pairs[i + 1].Number();
            }
        };
        // A server may answer pipelined commands in any order: each answer goes where its
        // content says, whichever command's end is awaited.
        Handler all = [&](const SImapResponse &r) {
            back(r);
            flagged(r);
            status(r);
        };
        std::vector<std::uint64_t> copies, originals;
        for (SWork *work : appended) {
            copies.push_back(work->mail.newUid);
            originals.push_back(work->mail.uid);
        }
        std::string tags[3];
        if (!m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(UidSet(copies)),
                              SImapArg::Atom("(UID BODY.PEEK[])")},
                             tags[0], m_why) ||
            !m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(UidSet(originals)),
                              SImapArg::Atom(FlagItems())},
                             tags[1], m_why) ||
            !m_session->Send({SImapArg::Atom("STATUS"), SImapArg::String(m_trash.name),
                              SImapArg::Atom("(UIDNEXT UIDVALIDITY)")},
                             tags[2], m_why) ||
            !m_session->Wait(tags[0], all, result, m_why) || !m_session->Wait(tags[1], all, result, m_why) ||
            !m_session->Wait(tags[2], all, result, m_why))
            return false;
        if (compared.size() < appended.size() &&
            (!Run({SImapArg::Atom("NOOP")}, nullptr, result) ||
             !Run({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(UidSet(copies)),
                   SImapArg::Atom("(UID BODY.PEEK[])")},
                  back, result)))
            return false;
        for (SWork *work : appended) {
            SImapMail &mail = work->mail;
            if (compared[work] == 0) {
                mail.step = EImapStep::APPENDING;
                mail.newUid = 0;
                work->outcome = MAIL_FAILED;
                Fail(work->path, "the server does not show the converted copy it took: the original stays, and the "
                                 "next run looks for the copy again");
            } else if (compared[work] < 0) {
                std::string what = "the server keeps other bytes than were appended: the original stays";
                // Only a mail the append made is ours to remove, never one the server had before.
                if (mail.newUid >= mail.uidNext && mail.newUid != mail.uid && !RemoveCopy(std::to_string(mail.newUid), what))
                    return false;
                Drop(*work, what);
            }
        }
        // An original not seen is asked for once more, on its own, before it is taken as gone.
        std::vector<std::uint64_t> unseen;
        for (SWork *work : appended) {
            if (work->outcome == MAIL_PENDING && !now[work].found)
                unseen.push_back(work->mail.uid);
        }
        if (!unseen.empty() && !Run({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(UidSet(unseen)),
                                     SImapArg::Atom(FlagItems())},
                                    flagged, result))
            return false;
        std::vector<std::pair<SWork *, std::string>> stores;
        for (SWork *work : appended) {
            if (work->outcome != MAIL_PENDING)
                continue;
            const SFetched &got = now[work];
            std::string copy = std::to_string(work->mail.newUid), tag;
            if (!got.found) {
                work->mail.step = EImapStep::DONE;
                Warn(work->path, "the original was removed by another program meanwhile; its converted copy is UID " +
                                     copy);
                continue;
            }
            // The flags again only where they changed since the append carried them.
            if (!work->copy || FlagsFor(Sorted(work->flags), selected) != FlagsFor(Sorted(got.flags), selected)) {
                if (!m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(copy),
                                      SImapArg::Atom("FLAGS.SILENT"), SImapArg::Atom(FlagsFor(got.flags, selected))},
                                     tag, m_why))
                    return false;
                stores.emplace_back(work, tag);
            }
            if (got.hasLabels && !got.labels.items.empty()) {
                if (!m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(copy),
                                      SImapArg::Atom("+X-GM-LABELS"), SImapArg::Atom(Sent(got.labels))},
                                     tag, m_why))
                    return false;
                stores.emplace_back(work, "L" + tag);
            }
            work->flags = got.flags;
            work->labels = got.labels;
            work->modseq = got.modseq;
        }
        std::vector<SWork *> unlabelled;
        for (auto &each : stores) {
            bool labels = each.second[0] == 'L';
            if (!m_session->Wait(labels ? each.second.substr(1) : each.second, nullptr, result, m_why))
                return false;
            if (!result.Ok() && labels && each.first->outcome == MAIL_PENDING) {
                unlabelled.push_back(each.first);
                each.first->outcome = MAIL_FAILED;
                each.first->why = result.text;
            } else if (!result.Ok() && !labels) {
                Warn(each.first->path, "the copy's flags could not be set: " + result.text);
            }
        }
        for (SWork *work : unlabelled) {
            std::string what = "the copy's labels could not be set (" + work->why + "): the original stays";
            if (!RemoveCopy(std::to_string(work->mail.newUid), what))
                return false;
            Drop(*work, what);
        }
        for (SWork *work : appended) {
            if (work->outcome == MAIL_PENDING && work->mail.step == EImapStep::APPENDED) {
                work->mail.trashValidity = trashValidity;
                work->mail.trashNext = trashNext;
                work->mail.step = EImapStep::MOVING;
            }
        }
        Record(appended);
    }

    // The originals moved to Trash, by one command for them all.
    std::vector<SWork *> moving = at(EImapStep::MOVING);
    if (!moving.empty()) {
        std::map<std::uint64_t, SWork *> byOriginal;
        std::vector<std::uint64_t> originals, present, toCopy;
        for (SWork *work : moving) {
            byOriginal[work->mail.uid] = work;
            originals.push_back(work->mail.uid);
        }
        // This run's originals were seen a step ago; a stopped run's may have gone since.
        bool stopped = std::any_of(moving.begin(), moving.end(), [](const SWork *w) { return !w->copy; });
        if (!stopped)
            present = originals;
        else if (!Run({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(UidSet(originals)),
                       SImapArg::Atom("(UID)")},
                      [&](const SImapResponse &r) {
                          const SImapValue *uid = FetchItem(r, "UID");
                          if (r.name == "FETCH" && uid != nullptr && byOriginal.count(uid->Number()) != 0)
                              present.push_back(uid->Number());
                      },
                      result))
            return false;
        std::sort(present.begin(), present.end());
        present.erase(std::unique(present.begin(), present.end()), present.end());
        toCopy = present;
        // Without MOVE, a stopped run may have copied an original to Trash already: it is
        // then only taken away, never copied twice.
        if (!m_session->Has("MOVE") && stopped) {
            std::string what;
            SSelected trash;
            if (!Select(m_trash, true, trash, what))
                return m_session->Alive() && FailAll(moving, what);
            for (SWork *work : moving) {
                std::uint64_t found = 0;
                bool mine = std::binary_search(present.begin(), present.end(), work->mail.uid);
                if (mine && !work->copy && trash.validity == work->mail.trashValidity &&
                    !FindByBytes(work->mail.trashNext, work->mail.size, work->mail.sum, 0, found))
                    return false;
                if (found != 0) {
                    work->mail.trashUid = found;
                    toCopy.erase(std::remove(toCopy.begin(), toCopy.end(), work->mail.uid), toCopy.end());
                }
            }
            SSelected again;
            if (!Select(box, false, again, what))
                return m_session->Alive() && FailAll(moving, what);
        }
        result.status = "OK";
        result.code.clear();
        std::string set = UidSet(present);
        std::vector<SImapValue> moved;
        // The originals' flags read once more in the same breath as they go, so that a flag
        // another program set since they were last read is carried to the copy, not lost in
        // Trash.  Where the server keeps MODSEQs, only the mails changed since are told.
        std::map<SWork *, SFetched> late;
        Handler lateFlags = FlagsInto(byOriginal, late);
        Handler moves = [&](const SImapResponse &r) {
            lateFlags(r);
            CopyUidInto(moved)(r);
        };
        std::string lateTag, noopTag;
        // A NOOP first: some servers (Courier) see another session's changes only after one.
        if (!present.empty() && !m_session->Send({SImapArg::Atom("NOOP")}, noopTag, m_why))
            return false;
        if (!present.empty()) {
            std::vector<SImapArg> fetch = {SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(set),
                                           SImapArg::Atom(FlagItems())};
            std::uint64_t since = ~std::uint64_t{0};
            for (const SWork *work : moving)
                since = std::min(since, work->copy ? work->modseq : 0);
            if (since != 0 && m_session->Has("CONDSTORE"))
                fetch.push_back(SImapArg::Atom("(CHANGEDSINCE " + std::to_string(since) + ")"));
            if (!m_session->Send(fetch, lateTag, m_why))
                return false;
        }
        if (!present.empty() && m_session->Has("MOVE")) {
            if (!Run({SImapArg::Atom("UID"), SImapArg::Atom("MOVE"), SImapArg::Atom(set), SImapArg::String(m_trash.name)},
                     moves, result))
                return false;
            if (result.Ok() && !moved.empty())
                result.code = moved;
        } else if (!present.empty()) {
            if (!toCopy.empty() &&
                !Run({SImapArg::Atom("UID"), SImapArg::Atom("COPY"), SImapArg::Atom(UidSet(toCopy)),
                      SImapArg::String(m_trash.name)},
                     lateFlags, result))
                return false;
            SImapResult copied = result;
            if (result.Ok() &&
                !Run({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(set), SImapArg::Atom("+FLAGS.SILENT"),
                      SImapArg::Atom("(\\Deleted)")},
                     nullptr, result))
                return false;
            if (result.Ok() && !Run({SImapArg::Atom("UID"), SImapArg::Atom("EXPUNGE"), SImapArg::Atom(set)}, nullptr, result))
                return false;
            if (result.Ok())
                result.code = copied.code;
        }
        if (result.Ok() && result.HasCode("COPYUID") && result.code.size() >= 4) {
            std::vector<std::uint64_t> from = Expanded(result.code[2].text), to = Expanded(result.code[3].text);
            for (std::size_t i = 0; i < from.size() && i < to.size(); ++i) {
                if (byOriginal.count(from[i]) != 0) {
                    byOriginal[from[i]]->mail.trashUid = to[i];
                    byOriginal[from[i]]->mail.trashValidity = result.code[1].Number();
                }
            }
        }
        SImapResult fetched;
        if (!lateTag.empty() &&
            (!m_session->Wait(noopTag, lateFlags, fetched, m_why) || !m_session->Wait(lateTag, lateFlags, fetched, m_why)))
            return false;
        if (result.Ok() && fetched.Ok() && !CarryLate(moving, late, selected))
            return false;
        for (SWork *work : moving) {
            if (result.Ok())
                work->mail.step = EImapStep::DONE;
            else
                work->outcome = MAIL_FAILED, Fail(work->path, "its converted copy was added, but the original could "
                                                              "not be moved to " + m_trash.shown + ": " + result.text);
        }
        Record(moving);
    }
    for (SWork &work : batch) {
        if (work.outcome == MAIL_PENDING && work.mail.step == EImapStep::DONE)
            work.outcome = MAIL_DONE;
    }
    return true;
}

bool CAccountRun::CarryLate(const std::vector<SWork *> &moving, std::map<SWork *, SFetched> &late,
                            const SSelected &selected)
{
    std::vector<std::pair<SWork *, std::string>> stores;
    auto store = [&](SWork *work, const char *item, const std::string &value) {
        std::string tag;
        if (!m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("STORE"),
                              SImapArg::Atom(std::to_string(work->mail.newUid)), SImapArg::Atom(item),
                              SImapArg::Atom(value)},
                             tag, m_why))
            return false;
        stores.emplace_back(work, tag);
        return true;
    };
    for (SWork *work : moving) {
        const SFetched &got = late[work];
        if (!got.found)
            continue;
        // A stopped run's copy is not known here: it is given them all again.
        if ((!work->copy || FlagsFor(Sorted(work->flags), selected) != FlagsFor(Sorted(got.flags), selected)) &&
            !store(work, "FLAGS.SILENT", FlagsFor(got.flags, selected)))
            return false;
        if (!got.hasLabels)
            continue;
        SImapValue added = Without(got.labels, Texts(work->labels)), gone = Without(work->labels, Texts(got.labels));
        if ((!added.items.empty() && !store(work, "+X-GM-LABELS", Sent(added))) ||
            (!gone.items.empty() && !store(work, "-X-GM-LABELS", Sent(gone))))
            return false;
    }
    for (auto &each : stores) {
        SImapResult result;
        if (!m_session->Wait(each.second, nullptr, result, m_why))
            return false;
        if (!result.Ok())
            Warn(each.first->path, "a flag or label set on the original meanwhile could not be put on its copy: " +
                                       result.text);
    }
    return true;
}

bool CAccountRun::FetchBatch(const SMailbox &box, const SSelected &selected, const std::vector<SCandidate> &mails,
                             std::vector<SWork> &batch, long &gone)
{
    std::vector<std::uint64_t> uids(mails.size());
    std::transform(mails.begin(), mails.end(), uids.begin(), [](const SCandidate &mail) { return mail.uid; });
    std::vector<std::uint64_t> seen;
    SImapResult result;
    PFile copies = NewTemporary();
    bool ok = Run({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(UidSet(uids)),
                   SImapArg::Atom(m_gmail ? "(UID FLAGS INTERNALDATE X-GM-LABELS BODY.PEEK[])"
                                          : "(UID FLAGS INTERNALDATE BODY.PEEK[])")},
                  [&](const SImapResponse &r) {
                      const SImapValue *uid = FetchItem(r, "UID"), *body = FetchItem(r, "BODY[]");
                      if (r.name != "FETCH" || uid == nullptr || body == nullptr ||
                          !std::binary_search(uids.begin(), uids.end(), uid->Number()) ||
                          std::find(seen.begin(), seen.end(), uid->Number()) != seen.end())
                          return;
                      seen.push_back(uid->Number());
                      SWork work;
                      work.mail.mailbox = box.name;
                      work.mail.validity = selected.validity;
                      work.mail.uid = uid->Number();
                      work.mail.run = m_run;
                      work.mail.uidNext = selected.uidNext;
                      work.mail.trash = m_trash.name;
                      work.path = Url(box) + ";UID=" + std::to_string(work.mail.uid);
                      if (const SImapValue *flags = FetchItem(r, "FLAGS"))
                          work.flags = Texts(*flags);
                      if (const SImapValue *date = FetchItem(r, "INTERNALDATE"))
                          work.date = date->text;
                      if (Converted(*body, copies, work))
                          batch.push_back(std::move(work));
                  },
                  result);
    if (!ok)
        return false;
    if (!result.Ok()) {
        for (const SCandidate &mail : mails)
            Fail(Url(box) + ";UID=" + std::to_string(mail.uid), "cannot fetch the mail: " + result.text);
        return true;
    }
    gone += static_cast<long>(uids.size() - seen.size());
    return true;
}

bool CAccountRun::Converted(const SImapValue &body, const PFile &copies, SWork &work)
{
    PFile from = FileOf(body), converted = NewTemporary();
    work.outcome = MAIL_FAILED;
    if (!from || !converted || !copies)
        return Fail(work.path, "cannot make a temporary file: " + std::string(std::strerror(errno)));
    if (ConvertGuarded(m_options.converters.use.convert, from.get(), converted.get()) == 0)
        return Fail(work.path, "cannot convert it: " + ErrorText(GetLastError()));
    // After the batch's other copies: one file for them all, not one open file a mail.
    long long at = std::fseek(copies.get(), 0, SEEK_END) == 0 ? StreamPosition(copies.get()) : -1;
    if (at < 0 || !WithWireLineEnds(converted.get(), copies.get()) || std::fflush(copies.get()) != 0)
        return Fail(work.path, "cannot write a temporary file: " + std::string(std::strerror(errno)));
    SImapMail &mail = work.mail;
    work.copyAt = static_cast<std::uint64_t>(at);
    if (!Measure(from.get(), 0, mail.size, mail.sum) ||
        !Measure(copies.get(), work.copyAt, mail.convertedSize, mail.convertedSum))
        return Fail(work.path, "cannot read the temporary files");
    if (mail.size == mail.convertedSize && SameBytes(copies.get(), work.copyAt, mail.convertedSize, from.get())) {
        work.outcome = MAIL_UNCHANGED;
        return false;
    }
    work.copy = copies;
    work.outcome = MAIL_PENDING;
    return true;
}

}  // namespace imap_run
