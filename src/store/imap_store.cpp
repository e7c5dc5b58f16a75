// Mail on an IMAP account converted where it lies (imap_store.h): IMAP4 (RFC 9051) with
// UIDPLUS (RFC 4315), MOVE (RFC 6851), LIST-EXTENDED and SPECIAL-USE (RFC 5258, 6154), and
// Gmail's labels (X-GM-EXT-1).
//
// This file finds the mailboxes and the mails that need converting, and completes what a
// stopped run left; imap_batch.cpp replaces the mails, imap_undo.cpp puts them back.
#include "imap_store.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <functional>
#include <memory>
#include <numeric>
#include <thread>

#include "imap_run.h"
#include "journal.h"

namespace imap_run {

namespace {

const char DESIGNATOR[] = "\x1b$)C";
const char QP_DESIGNATOR[] = "=1B$)C";
const char HEADER_FIELDS[] = "BODY.PEEK[HEADER.FIELDS (CONTENT-TYPE SUBJECT FROM TO CC)]";
// How often a run reconnects after the connection dropped, waiting 1, 2, 4... seconds.
const int RECONNECTS = 4;
// How many mails one FETCH of their text asks for.
const std::size_t LOOK_RANGE = 500;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ContainsFolded(const std::string &text, const char *needle)
{
    std::size_t n = std::strlen(needle);
    auto at = std::search(text.begin(), text.end(), needle, needle + n,
                          [](char a, char b) { return Lower(a) == Lower(b); });
    return at != text.end();
}

bool EqualFolded(const std::string &a, const char *b)
{
    return a.size() == std::strlen(b) && ContainsFolded(a, b);
}

std::string Quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

bool HoldsDesignator(const SImapValue &text)
{
    if (!text.file)
        return text.text.find(DESIGNATOR) != std::string::npos || ContainsFolded(text.text, QP_DESIGNATOR);
    // Read in pieces that overlap by a designator's length, so none is cut.
    std::string window;
    char buffer[65536];
    std::rewind(text.file.get());
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, text.file.get())) > 0) {
        window.append(buffer, got);
        if (window.find(DESIGNATOR) != std::string::npos || ContainsFolded(window, QP_DESIGNATOR))
            return true;
        window.erase(0, window.size() - std::min<std::size_t>(window.size(), sizeof QP_DESIGNATOR));
    }
    return false;
}

// The parts of structure (a BODYSTRUCTURE) under prefix: whether any names ISO-2022-KR, and
// the text parts that might hold it unlabelled.
bool WalkStructure(const SImapValue &body, const std::string &prefix, std::vector<std::string> &look)
{
    if (body.kind != SImapValue::LIST || body.items.empty())
        return false;
    auto part = [&](std::size_t i) { return prefix.empty() ? std::to_string(i) : prefix + "." + std::to_string(i); };
    if (body.items[0].kind == SImapValue::LIST) {
        bool named = false;
        for (std::size_t i = 0; i < body.items.size() && body.items[i].kind == SImapValue::LIST; ++i)
            named = WalkStructure(body.items[i], part(i + 1), look) || named;
        return named;
    }
    // type, subtype, (parameters), id, description, encoding, size...
    bool named = ContainsFolded(Sent(body), "iso-2022-kr");
    std::string self = prefix.empty() ? "1" : prefix;
    if (body.items.size() >= 3 && EqualFolded(body.items[0].text, "text")) {
        const SImapValue &parameters = body.items[2];
        std::string charset;
        for (std::size_t i = 0; i + 1 < parameters.items.size(); i += 2) {
            if (EqualFolded(parameters.items[i].text, "charset"))
                charset = parameters.items[i + 1].text;
        }
        if (charset.empty() || EqualFolded(charset, "us-ascii"))
            look.push_back(self);
    } else if (body.items.size() >= 9 && EqualFolded(body.items[0].text, "message") &&
               EqualFolded(body.items[1].text, "rfc822")) {
        // The mail within: its parts are numbered under this one.
        std::vector<std::string> inner;
        named = WalkStructure(body.items[8], self, inner) || named;
        look.insert(look.end(), inner.begin(), inner.end());
    }
    return named;
}

}  // namespace

// A new temporary file, deleted when let go; null where none can be made.
PFile NewTemporary()
{
    FILE *file = std::tmpfile();
    return file != nullptr ? PFile(file, std::fclose) : nullptr;
}

// A value's bytes as a file read from its start: a large literal's own file, or a new one.
PFile FileOf(const SImapValue &value)
{
    if (value.file) {
        std::rewind(value.file.get());
        return value.file;
    }
    PFile file = NewTemporary();
    if (!file || std::fwrite(value.text.data(), 1, value.text.size(), file.get()) != value.text.size() ||
        std::fflush(file.get()) != 0)
        return nullptr;
    std::rewind(file.get());
    return file;
}

// A value as a command would send it back: a list's values in parentheses, a string quoted.
std::string Sent(const SImapValue &value)
{
    switch (value.kind) {
    case SImapValue::LIST: {
        std::string out = "(";
        for (const SImapValue &item : value.items)
            out += (out.size() > 1 ? " " : "") + Sent(item);
        return out + ")";
    }
    case SImapValue::STRING:
        return Quoted(value.text);
    case SImapValue::NIL:
        return "NIL";
    default:
        return value.text;
    }
}

// Keeps into code the COPYUID that a MOVE tells in an untagged OK, before its expunges
// (RFC 6851), where COPY tells it in its end.
Handler CopyUidInto(std::vector<SImapValue> &code)
{
    return [&code](const SImapResponse &r) {
        if (r.tag == "*" && r.name == "OK" && r.HasCode("COPYUID"))
            code = r.code;
    };
}

// The texts of a list's values.
std::vector<std::string> Texts(const SImapValue &list)
{
    std::vector<std::string> texts(list.items.size());
    std::transform(list.items.begin(), list.items.end(), texts.begin(), [](const SImapValue &v) { return v.text; });
    return texts;
}

// The UIDs as a set of them for a command.
std::string UidSet(const std::vector<std::uint64_t> &uids)
{
    std::string set;
    for (std::uint64_t uid : uids)
        set += (set.empty() ? "" : ",") + std::to_string(uid);
    return set;
}

// A set of UIDs ("304,319:320") as the UIDs it names, in its order.
std::vector<std::uint64_t> Expanded(const std::string &set)
{
    std::vector<std::uint64_t> uids;
    std::size_t at = 0;
    while (at < set.size()) {
        std::size_t end = set.find(',', at);
        std::string range = set.substr(at, end == std::string::npos ? std::string::npos : end - at);
        std::size_t colon = range.find(':');
        std::uint64_t first = std::strtoull(range.c_str(), nullptr, 10);
        std::uint64_t last = colon == std::string::npos ? first : std::strtoull(range.c_str() + colon + 1, nullptr, 10);
        for (std::uint64_t uid = std::min(first, last); uid <= std::max(first, last) && uids.size() < 100000; ++uid)
            uids.push_back(uid);
        at = end == std::string::npos ? set.size() : end + 1;
    }
    return uids;
}

bool CAccountRun::Connect()
{
    SImapServer server;
    server.host = m_url.host;
    server.port = m_url.port;
    server.implicitTls = m_url.tls;
    server.caFile = m_options.caFile;
    server.timeoutSeconds = m_options.timeoutSeconds;
    m_session->Close();
    m_session.reset(new CImapSession);
    if (!m_session->Connect(server, m_why))
        return false;
    // The secret is asked for once the server is known to be the one named, and only once.
    std::string why;
    if (!m_session->PreAuthenticated() && m_secret.secret.empty() && !GetSecret(m_url, m_options.credentials, m_secret, why)) {
        m_why = "cannot log in: " + why;
        return false;
    }
    if (!m_session->LogIn(m_url.user, m_secret, m_why))
        return false;
    m_gmail = m_session->Has("X-GM-EXT-1");
    return true;
}

bool CAccountRun::Start()
{
    std::string why;
    if (!m_journal.Open(m_url.Account(), why, m_options.check))
        return Fail(AccountUrl(), why);
    if (!Connect())
        return Fail(AccountUrl(), m_why);
    if (!m_options.check && !m_session->Has("MOVE") && !m_session->Has("UIDPLUS"))
        return Fail(AccountUrl(), "the server can move no single mail to Trash (it offers neither MOVE nor "
                                  "UIDPLUS): nothing was changed");
    return true;
}

bool CAccountRun::List(std::vector<SMailbox> &boxes)
{
    std::vector<SImapArg> args{SImapArg::Atom("LIST"), SImapArg::String(""), SImapArg::String("*")};
    if (m_session->Has("LIST-EXTENDED") && m_session->Has("SPECIAL-USE")) {
        args.push_back(SImapArg::Atom("RETURN"));
        args.push_back(SImapArg::Atom("(SPECIAL-USE)"));
    }
    std::vector<std::pair<SMailbox, std::vector<std::string>>> listed;
    SImapResult result;
    bool ok = Run(args,
                  [&](const SImapResponse &r) {
                      if (r.name != "LIST" || r.items.size() < 3 || r.items[0].kind != SImapValue::LIST)
                          return;
                      SMailbox box;
                      box.name = r.items[2].text;
                      if (!DecodeMailboxName(box.name, box.shown))
                          box.shown = box.name;
                      const std::string &delimiter = r.items[1].text;
                      std::size_t last = delimiter.size() == 1 ? box.name.rfind(delimiter[0]) : std::string::npos;
                      box.leaf = last == std::string::npos ? box.name : box.name.substr(last + 1);
                      listed.emplace_back(box, Texts(r.items[0]));
                  },
                  result);
    if (!ok)
        return Fail(AccountUrl(), m_why);
    if (!result.Ok())
        return Fail(AccountUrl(), "cannot list the mailboxes: " + result.text);
    auto has = [](const std::vector<std::string> &flags, const char *flag) {
        return std::any_of(flags.begin(), flags.end(), [&](const std::string &f) { return EqualFolded(f, flag); });
    };
    for (const auto &box : listed) {
        if (has(box.second, "\\Trash"))
            m_trash = box.first;
    }
    // A server without special-use: its Trash by the names servers give it, at the top or
    // under a personal namespace's prefix (Courier's INBOX.Trash).
    for (const char *name : {"Trash", "Deleted Messages", "Deleted Items"}) {
        for (const auto &box : listed) {
            if (m_trash.name.empty() && (EqualFolded(box.first.name, name) || EqualFolded(box.first.leaf, name)))
                m_trash = box.first;
        }
    }
    for (const auto &box : listed) {
        bool all = has(box.second, "\\All");
        if (has(box.second, "\\Noselect") || has(box.second, "\\NonExistent") || box.first.name == m_trash.name ||
            has(box.second, "\\Junk") || (m_gmail && !all))
            continue;
        boxes.push_back(box.first);
    }
    return true;
}

bool CAccountRun::Select(const SMailbox &box, bool readOnly, SSelected &selected, std::string &what)
{
    selected = SSelected();
    SImapResult result;
    bool ok = Run({SImapArg::Atom(readOnly ? "EXAMINE" : "SELECT"), SImapArg::String(box.name)},
                  [&](const SImapResponse &r) {
                      if (r.name == "EXISTS" && r.number >= 0)
                          selected.exists = static_cast<std::uint64_t>(r.number);
                      if (r.code.size() >= 2 && r.HasCode("UIDVALIDITY"))
                          selected.validity = r.code[1].Number();
                      if (r.code.size() >= 2 && r.HasCode("UIDNEXT"))
                          selected.uidNext = r.code[1].Number();
                      if (r.code.size() >= 2 && r.HasCode("PERMANENTFLAGS"))
                          selected.permanent = Texts(r.code[1]);
                  },
                  result);
    if (!ok) {
        what = m_why;
        return false;
    }
    if (!result.Ok()) {
        what = "cannot open the mailbox: " + result.text;
        return false;
    }
    if (selected.validity == 0) {
        what = "the server gives the mailbox no UIDVALIDITY";
        return false;
    }
    return true;
}

bool CAccountRun::Fetch(std::uint64_t uid, const char *items, SFetched &fetched)
{
    fetched = SFetched();
    SImapResult result;
    std::string wanted = std::string("(UID ") + items + ")";
    bool ok = Run({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(std::to_string(uid)),
                   SImapArg::Atom(wanted)},
                  [&](const SImapResponse &r) {
                      const SImapValue *at = FetchItem(r, "UID");
                      if (r.name != "FETCH" || at == nullptr || at->Number() != uid)
                          return;
                      fetched.found = true;
                      fetched.uid = uid;
                      if (const SImapValue *flags = FetchItem(r, "FLAGS"))
                          fetched.flags = Texts(*flags);
                      if (const SImapValue *date = FetchItem(r, "INTERNALDATE"))
                          fetched.date = date->text;
                      if (const SImapValue *size = FetchItem(r, "RFC822.SIZE"))
                          fetched.size = size->Number();
                      if (const SImapValue *body = FetchItem(r, "BODY[]"))
                          fetched.body = *body;
                      if (const SImapValue *labels = FetchItem(r, "X-GM-LABELS")) {
                          fetched.labels = *labels;
                          fetched.hasLabels = true;
                      }
                  },
                  result);
    if (ok && !result.Ok())
        fetched.found = false;
    return ok;
}

std::string CAccountRun::FlagsFor(const std::vector<std::string> &flags, const SSelected &selected) const
{
    bool any = selected.permanent.empty() ||
               std::find(selected.permanent.begin(), selected.permanent.end(), "\\*") != selected.permanent.end();
    std::string out = "(";
    for (const std::string &flag : flags) {
        if (EqualFolded(flag, "\\Recent") || EqualFolded(flag, "\\Deleted"))
            continue;
        bool system = !flag.empty() && flag[0] == '\\';
        bool kept = system || any ||
                    std::any_of(selected.permanent.begin(), selected.permanent.end(),
                                [&](const std::string &p) { return EqualFolded(p, flag.c_str()); });
        if (kept)
            out += (out.size() > 1 ? " " : "") + flag;
    }
    return out + ")";
}

bool CAccountRun::FindCandidates(const SMailbox &box, const SSelected &selected, std::vector<SCandidate> &candidates)
{
    if (selected.exists == 0)
        return true;
    // The mails whose text is to be looked at, by the items that ask for it: a few bytes a
    // mail, for a mailbox of many.
    std::map<std::string, std::vector<SCandidate>> byParts;
    // By structure and header fields, every mail in one command, its answers taken as they
    // come: a round trip for the whole mailbox, and nothing held but the candidates.
    std::vector<std::string> tags;
    std::string tag;
    if (!m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom("1:*"),
                          SImapArg::Atom(std::string("(UID RFC822.SIZE BODYSTRUCTURE ") + HEADER_FIELDS + ")")},
                         tag, m_why))
        return Fail(Url(box), m_why);
    tags.push_back(tag);
    Handler seen = [&](const SImapResponse &r) {
        const SImapValue *uid = FetchItem(r, "UID"), *structure = FetchItem(r, "BODYSTRUCTURE"),
                         *size = FetchItem(r, "RFC822.SIZE");
        if (r.name != "FETCH" || uid == nullptr || structure == nullptr)
            return;
        SCandidate mail{uid->Number(), size != nullptr ? size->Number() : 0};
        std::string fields;
        for (std::size_t i = 0; r.items.size() == 1 && i + 1 < r.items[0].items.size(); i += 2) {
            if (ContainsFolded(r.items[0].items[i].text, "BODY[HEADER")) {
                PFile file = FileOf(r.items[0].items[i + 1]);
                char buffer[8192];
                std::size_t got = file ? std::fread(buffer, 1, sizeof buffer, file.get()) : 0;
                fields.assign(buffer, got);
            }
        }
        ++m_report.mails;
        std::vector<std::string> parts;
        if (NamesIso2022Kr(*structure, fields, parts)) {
            candidates.push_back(mail);
        } else if (!parts.empty()) {
            std::string items = "(UID";
            for (const std::string &part : parts)
                items += " BODY.PEEK[" + part + "]";
            byParts[items + ")"].push_back(mail);
        }
    };
    for (const std::string &each : tags) {
        SImapResult result;
        if (!m_session->Wait(each, seen, result, m_why))
            return Fail(Url(box), m_why);
        if (!result.Ok())
            return Fail(Url(box), "cannot read the mails' structure: " + result.text);
    }
    // Then the text of parts that might hold it unlabelled: the mails that name the same
    // parts asked for together, all the commands sent before any answer is read.
    std::vector<SCandidate> asked;
    tags.clear();
    for (const auto &group : byParts) {
        asked.insert(asked.end(), group.second.begin(), group.second.end());
        for (std::size_t first = 0; first < group.second.size(); first += LOOK_RANGE) {
            std::vector<std::uint64_t> uids;
            for (std::size_t i = first; i < group.second.size() && i < first + LOOK_RANGE; ++i)
                uids.push_back(group.second[i].uid);
            if (!m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(UidSet(uids)),
                                  SImapArg::Atom(group.first)},
                                 tag, m_why))
                return Fail(Url(box), m_why);
            tags.push_back(tag);
        }
    }
    byParts.clear();
    auto byUid = [](const SCandidate &a, const SCandidate &b) { return a.uid < b.uid; };
    std::sort(asked.begin(), asked.end(), byUid);
    std::vector<bool> taken(asked.size());
    Handler text = [&](const SImapResponse &r) {
        const SImapValue *uid = FetchItem(r, "UID");
        auto mail = std::lower_bound(asked.begin(), asked.end(), SCandidate{uid != nullptr ? uid->Number() : 0, 0}, byUid);
        if (r.name != "FETCH" || r.items.size() != 1 || uid == nullptr || mail == asked.end() ||
            mail->uid != uid->Number() || taken[static_cast<std::size_t>(mail - asked.begin())])
            return;
        for (std::size_t i = 0; i + 1 < r.items[0].items.size(); i += 2) {
            if (ContainsFolded(r.items[0].items[i].text, "BODY[") && HoldsDesignator(r.items[0].items[i + 1])) {
                candidates.push_back(*mail);
                taken[static_cast<std::size_t>(mail - asked.begin())] = true;
                return;
            }
        }
    };
    for (const std::string &each : tags) {
        SImapResult result;
        if (!m_session->Wait(each, text, result, m_why))
            return Fail(Url(box), m_why);
    }
    std::sort(candidates.begin(), candidates.end(), byUid);
    return true;
}

bool CAccountRun::Reconnect(const SMailbox &box, SSelected &selected)
{
    for (int attempt = 0; attempt < RECONNECTS; ++attempt) {
        // A server that asked for a pause is given a longer one.
        static const int PAUSES[RECONNECTS] = {1, 2, 4, 8}, THROTTLED_PAUSES[RECONNECTS] = {5, 15, 45, 135};
        std::this_thread::sleep_for(
            std::chrono::seconds(m_session->Throttled() ? THROTTLED_PAUSES[attempt] : PAUSES[attempt]));
        std::string what;
        SSelected again;
        if (!Connect() || !Select(box, m_options.check, again, what))
            continue;
        if (again.validity != selected.validity) {
            Fail(Url(box), "the mailbox was made anew by another program during the run (its UIDVALIDITY changed)");
            return false;
        }
        selected = again;
        if (!m_options.check && !CompleteStopped(box, selected, m_completed))
            continue;
        return true;
    }
    Fail(Url(box), m_session->Throttled() ? m_why + "; run it again later: it goes on where it stopped"
                                          : "the connection to the server was lost: " + m_why);
    return false;
}

bool CAccountRun::AdoptRenamed(const SMailbox &box, const SSelected &selected)
{
    std::map<std::string, std::vector<SImapMail>> byName;
    for (const SImapMail &mail : m_journal.Unfinished())
        if (mail.mailbox != box.name && mail.validity == selected.validity)
            byName[mail.mailbox].push_back(mail);
    for (const auto &each : byName) {
        bool listed = false;
        SImapResult result;
        if (!Run({SImapArg::Atom("LIST"), SImapArg::String(""), SImapArg::String(each.first)},
                 [&](const SImapResponse &r) {
                     listed = listed || (r.name == "LIST" && r.items.size() >= 3 && r.items[2].text == each.first);
                 },
                 result))
            return Fail(Url(box), m_why);
        if (listed || !result.Ok())
            continue;
        // Each under its new name first: a stop between the two lines leaves it under both,
        // and the next run takes it again.
        std::vector<SImapMail> moved;
        for (SImapMail mail : each.second) {
            SImapMail old = mail;
            old.step = EImapStep::DROPPED;
            mail.mailbox = box.name;
            moved.push_back(mail);
            moved.push_back(old);
        }
        if (!m_journal.Write(moved))
            return Fail(Url(box), "cannot write the journal: " + ErrorText(GetLastError()));
    }
    return true;
}

bool CAccountRun::CompleteStopped(const SMailbox &box, SSelected &selected, long &completed)
{
    std::vector<SWork> batch;
    for (const SImapMail &mail : m_journal.Unfinished(box.name)) {
        if (mail.validity != selected.validity)
            continue;
        SWork work;
        work.mail = mail;
        work.path = Url(box) + ";UID=" + std::to_string(mail.uid);
        batch.push_back(std::move(work));
    }
    if (!CompleteBatch(box, selected, batch))
        return false;
    completed += static_cast<long>(
        std::count_if(batch.begin(), batch.end(), [](const SWork &work) { return work.outcome == MAIL_DONE; }));
    return true;
}

bool CAccountRun::ConvertMailbox(const SMailbox &box)
{
    std::string what;
    SSelected selected;
    if (!Select(box, m_options.check, selected, what))
        return Fail(Url(box), what);
    if (!m_options.check) {
        if (!AdoptRenamed(box, selected))
            return false;
        std::vector<SImapMail> unfinished = m_journal.Unfinished(box.name);
        if (std::any_of(unfinished.begin(), unfinished.end(),
                        [&](const SImapMail &mail) { return mail.validity != selected.validity; }))
            return Fail(Url(box), "a run that was stopped left " + std::to_string(unfinished.size()) +
                                      " mails half replaced here, and the mailbox was made anew since (its "
                                      "UIDVALIDITY changed): nothing was done; see the journal " +
                                      m_journal.Path());
        long completed = 0;
        if (!CompleteStopped(box, selected, completed) && !Reconnect(box, selected))
            return false;
        if (completed > 0)
            m_report.events.push_back({ETreeEvent::NOTICE, Url(box),
                                       "completed " + std::to_string(completed) +
                                           (completed == 1 ? " mail" : " mails") + " that a stopped run had begun",
                                       0, nullptr});
    }
    std::vector<SImapMail> stopped = m_journal.Unfinished(box.name);
    if (m_options.check && !stopped.empty())
        m_report.events.push_back({ETreeEvent::WOULD, Url(box),
                                   "a run that was stopped left " + std::to_string(stopped.size()) +
                                       (stopped.size() == 1 ? " mail" : " mails") +
                                       " half replaced: a run would complete them first",
                                   0, nullptr});
    std::vector<SCandidate> candidates;
    long mailsBefore = m_report.mails;
    if (!FindCandidates(box, selected, candidates))
        return false;
    if (m_options.progress != nullptr) {
        std::uint64_t bytes = std::accumulate(candidates.begin(), candidates.end(), std::uint64_t{0},
                                              [](std::uint64_t n, const SCandidate &mail) { return n + mail.size; });
        m_options.progress->StartTree(candidates.size(), bytes);
        m_options.progress->StartFile(Url(box));
    }
    long converted = 0, failed = 0, gone = 0;
    m_completed = 0;
    for (std::size_t i = 0; i < candidates.size();) {
        // A batch: a round trip a step for all its mails.
        std::size_t end = i;
        std::uint64_t bytes = 0;
        while (end < candidates.size() && end - i < BATCH_MAILS && (end == i || bytes + candidates[end].size <= BATCH_BYTES))
            bytes += candidates[end++].size;
        std::vector<SCandidate> mails(candidates.begin() + static_cast<std::ptrdiff_t>(i),
                                      candidates.begin() + static_cast<std::ptrdiff_t>(end));
        std::vector<SWork> batch;
        long batchGone = 0;
        bool ok = FetchBatch(box, selected, mails, batch, batchGone);
        if (ok && !m_options.check) {
            std::vector<SWork *> fresh(batch.size());
            std::transform(batch.begin(), batch.end(), fresh.begin(), [](SWork &work) { return &work; });
            // A batch the journal cannot take is failed, each mail told, and sends nothing.
            ok = Record(fresh) ? CompleteBatch(box, selected, batch) : true;
        }
        if (!ok) {
            // The batch again once reconnected: what the journal completed is gone from the
            // mailbox, and what it had not sent is as it was.
            if (!Reconnect(box, selected))
                return false;
            continue;
        }
        for (const SWork &work : batch) {
            converted += work.outcome == MAIL_DONE || (m_options.check && work.outcome == MAIL_PENDING);
            failed += work.outcome == MAIL_FAILED;
        }
        gone += batchGone;
        if (m_options.progress != nullptr)
            for (const SCandidate &mail : mails)
                m_options.progress->FileDone(mail.size);
        i = end;
    }
    if (m_options.progress != nullptr)
        m_options.progress->FinishTree();
    long mails = m_report.mails - mailsBefore;
    m_report.converted += converted + m_completed;
    m_report.unchanged += std::max(0L, mails - converted - failed - gone);
    if (m_options.check)
        m_report.events.push_back({ETreeEvent::WOULD, Url(box),
                                   std::to_string(mails) + (mails == 1 ? " mail, " : " mails, ") +
                                       std::to_string(converted) + " would be converted",
                                   0, nullptr});
    return failed == 0;
}

bool CAccountRun::Convert()
{
    std::vector<SMailbox> listed, boxes;
    if (!List(listed))
        return false;
    if (m_options.recursive) {
        std::string prefix = EncodeMailboxName(m_url.mailbox);
        std::copy_if(listed.begin(), listed.end(), std::back_inserter(boxes), [&](const SMailbox &box) {
            return prefix.empty() || box.name == prefix || box.name.compare(0, prefix.size() + 1, prefix + "/") == 0 ||
                   box.name.compare(0, prefix.size() + 1, prefix + ".") == 0;
        });
    } else {
        SMailbox box;
        box.name = EncodeMailboxName(m_url.mailbox);
        box.shown = m_url.mailbox;
        if (m_gmail && std::none_of(listed.begin(), listed.end(), [&](const SMailbox &b) { return b.name == box.name; }))
            return Fail(Url(box), "on an account with Gmail's labels, mail is converted in its All Mail, which "
                                  "holds each mail once: name that mailbox, or the account with -R");
        boxes.push_back(box);
    }
    if (!m_options.check && m_trash.name.empty())
        return Fail(AccountUrl(), "the account has no Trash mailbox (none is marked \\Trash) to keep the originals in");
    bool ok = true;
    for (const SMailbox &box : boxes)
        ok = ConvertMailbox(box) && ok;
    if (!m_options.check && !m_journal.Compact())
        Warn(m_journal.Path(), "cannot tidy the journal: " + ErrorText(GetLastError()));
    return ok;
}

}  // namespace imap_run

bool NamesIso2022Kr(const SImapValue &structure, const std::string &fields, std::vector<std::string> &look)
{
    look.clear();
    bool named = imap_run::WalkStructure(structure, "", look);
    return named || imap_run::ContainsFolded(fields, "iso-2022-kr");
}

namespace {

// Fails url in report before anything is sent: false.
bool Refuse(STreeReport &report, const std::string &url, const std::string &why)
{
    report.failed.push_back(url);
    report.events.push_back({ETreeEvent::FAILED, url, why, 0, nullptr});
    return false;
}

}  // namespace

bool ConvertImap(const std::string &url, const SImapOptions &options, STreeReport &report)
{
    report.walked = true;
    report.checked = options.check;
    report.ofMails = true;
    SImapUrl parsed;
    std::string why;
    if (!ParseImapUrl(url, parsed, why))
        return Refuse(report, url, why);
    if (!options.recursive && parsed.mailbox.empty())
        return Refuse(report, url, "no mailbox named: add /INBOX, or give -R for every mailbox");
    imap_run::CAccountRun run(parsed, options, report);
    return run.Start() && run.Convert();
}

bool UndoImap(const std::string &url, const SImapOptions &options, STreeReport &report)
{
    SImapUrl parsed;
    std::string why;
    if (!ParseImapUrl(url, parsed, why))
        return Refuse(report, url, why);
    imap_run::CAccountRun run(parsed, options, report);
    return run.Start() && run.Undo();
}
