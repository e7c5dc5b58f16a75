// Mail on an IMAP account converted where it lies (imap_store.h): IMAP4 (RFC 9051) with
// UIDPLUS (RFC 4315), MOVE (RFC 6851), LIST-EXTENDED and SPECIAL-USE (RFC 5258, 6154), and
// Gmail's labels (X-GM-EXT-1).
//
// A mail is replaced in steps, each written to the journal before its command is sent:
//   APPENDING  the conversion is appended with the original's flags and date; where the
//              answer is lost, the next run finds the copy by its bytes among the UIDs at or
//              past the UIDNEXT seen before, and appends nothing again where it is there;
//   APPENDED   the copy's UID is known: it is read back and compared byte for byte, then
//              given what the append could not carry (flags changed meanwhile, labels);
//   MOVING     the original goes to Trash by UID MOVE (or UID COPY, \Deleted and UID
//              EXPUNGE of that UID alone: never a plain EXPUNGE, which would take mail the
//              user marked);
//   DONE       the original is in Trash, kept there for --undo.
// A mail whose copy cannot be made whole is left as it was, any copy of it removed, and told.
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

#include "imap_journal.h"
#include "journal.h"

namespace {

typedef std::function<void(const SImapResponse &)> Handler;
typedef std::shared_ptr<FILE> PFile;

const char DESIGNATOR[] = "\x1b$)C";
const char QP_DESIGNATOR[] = "=1B$)C";
const char HEADER_FIELDS[] = "BODY.PEEK[HEADER.FIELDS (CONTENT-TYPE SUBJECT FROM TO CC)]";
// How often a run reconnects after the connection dropped, waiting 1, 2, 4... seconds.
const int RECONNECTS = 4;

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

// Size and checksum of file's bytes, from its start.
bool Measure(FILE *file, std::uint64_t &size, std::uint64_t &sum)
{
    SChecksum checksum;
    char buffer[65536];
    std::rewind(file);
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        checksum.Add(buffer, got);
    size = checksum.total;
    sum = checksum.Value();
    std::rewind(file);
    return std::ferror(file) == 0;
}

bool SameBytes(FILE *a, FILE *b)
{
    char x[65536], y[65536];
    std::rewind(a);
    std::rewind(b);
    for (;;) {
        std::size_t n = std::fread(x, 1, sizeof x, a), m = std::fread(y, 1, sizeof y, b);
        if (n != m || std::memcmp(x, y, n) != 0)
            return false;
        if (n == 0)
            return std::ferror(a) == 0 && std::ferror(b) == 0;
    }
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
    PFile copy;                       // null for a mail that a stopped run left
    std::vector<std::string> flags;   // the original's, as fetched; then as put on the copy
    SImapValue labels;                // the labels put on the copy
    std::uint64_t modseq = 0;         // the original's MODSEQ when its flags were read
    std::string date;                 // its INTERNALDATE
    std::string path;                 // in messages
    EOutcome outcome = MAIL_PENDING;
    std::string why;
};

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

// How many mails one FETCH of their text asks for.
const std::size_t LOOK_RANGE = 500;

// How many mails, and how many of their bytes, a batch holds at most: the temporary files
// hold them, not memory.
const std::size_t BATCH_MAILS = 200;
const std::uint64_t BATCH_BYTES = std::uint64_t{32} * 1024 * 1024;

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
    // Converts body into work's copy: false where nothing changed (work.outcome
    // MAIL_UNCHANGED) or it failed, told (MAIL_FAILED).
    bool Converted(const SImapValue &body, SWork &work);
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
    std::vector<std::pair<SCandidate, std::vector<std::string>>> look;
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
        if (NamesIso2022Kr(*structure, fields, parts))
            candidates.push_back(mail);
        else if (!parts.empty())
            look.emplace_back(mail, parts);
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
    std::map<std::string, std::vector<SCandidate>> byParts;
    for (const auto &mail : look) {
        std::string items = "(UID";
        for (const std::string &part : mail.second)
            items += " BODY.PEEK[" + part + "]";
        byParts[items + ")"].push_back(mail.first);
    }
    std::map<std::uint64_t, SCandidate> asked;
    tags.clear();
    for (const auto &group : byParts) {
        for (std::size_t first = 0; first < group.second.size(); first += LOOK_RANGE) {
            std::vector<std::uint64_t> uids;
            for (std::size_t i = first; i < group.second.size() && i < first + LOOK_RANGE; ++i) {
                uids.push_back(group.second[i].uid);
                asked[group.second[i].uid] = group.second[i];
            }
            if (!m_session->Send({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(UidSet(uids)),
                                  SImapArg::Atom(group.first)},
                                 tag, m_why))
                return Fail(Url(box), m_why);
            tags.push_back(tag);
        }
    }
    Handler text = [&](const SImapResponse &r) {
        const SImapValue *uid = FetchItem(r, "UID");
        auto mail = uid != nullptr ? asked.find(uid->Number()) : asked.end();
        if (r.name != "FETCH" || r.items.size() != 1 || mail == asked.end())
            return;
        for (std::size_t i = 0; i + 1 < r.items[0].items.size(); i += 2) {
            if (ContainsFolded(r.items[0].items[i].text, "BODY[") && HoldsDesignator(r.items[0].items[i + 1])) {
                candidates.push_back(mail->second);
                asked.erase(mail);
                return;
            }
        }
    };
    for (const std::string &each : tags) {
        SImapResult result;
        if (!m_session->Wait(each, text, result, m_why))
            return Fail(Url(box), m_why);
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const SCandidate &a, const SCandidate &b) { return a.uid < b.uid; });
    return true;
}

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
        if (file && Measure(file.get(), gotSize, gotSum) && gotSize == size && gotSum == sum) {
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
                std::rewind(work->copy.get());
                args.push_back(SImapArg::Atom(FlagsFor(work->flags, selected)));
                args.push_back(SImapArg::String(work->date));
                args.push_back(SImapArg::Literal(work->copy.get(), work->mail.convertedSize));
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
            std::rewind(work->copy.get());
            std::string tag;
            if (!m_session->Send({SImapArg::Atom("APPEND"), SImapArg::String(box.name),
                                  SImapArg::Atom(FlagsFor(work->flags, selected)), SImapArg::String(work->date),
                                  SImapArg::Literal(work->copy.get(), work->mail.convertedSize)},
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
            bool same = got && (work->second->copy ? SameBytes(work->second->copy.get(), got.get())
                                                   : Measure(got.get(), size, sum) && size == mail.convertedSize &&
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
                      if (Converted(*body, work))
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

bool CAccountRun::Converted(const SImapValue &body, SWork &work)
{
    PFile from = FileOf(body), converted = NewTemporary(), to = NewTemporary();
    work.outcome = MAIL_FAILED;
    if (!from || !converted || !to)
        return Fail(work.path, "cannot make a temporary file: " + std::string(std::strerror(errno)));
    if (ConvertGuarded(m_options.converters.use.convert, from.get(), converted.get()) == 0)
        return Fail(work.path, "cannot convert it: " + ErrorText(GetLastError()));
    if (!WithWireLineEnds(converted.get(), to.get()))
        return Fail(work.path, "cannot write a temporary file: " + std::string(std::strerror(errno)));
    SImapMail &mail = work.mail;
    if (!Measure(from.get(), mail.size, mail.sum) || !Measure(to.get(), mail.convertedSize, mail.convertedSum))
        return Fail(work.path, "cannot read the temporary files");
    if (mail.size == mail.convertedSize && SameBytes(from.get(), to.get())) {
        work.outcome = MAIL_UNCHANGED;
        return false;
    }
    work.copy = to;
    work.outcome = MAIL_PENDING;
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
        std::vector<SImapMail> steps;
        for (const SImapMail *mail : which)
            steps.push_back(*mail);
        return steps.empty() || m_journal.Write(steps) ||
               Fail(path(steps.front()), "cannot write the journal: " + ErrorText(GetLastError()));
    };
    std::vector<SImapMail *> all;
    for (SImapMail &mail : mails)
        all.push_back(&mail);
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
                                   SImapArg::Atom(m_gmail ? "(UID FLAGS X-GM-LABELS)" : "(UID FLAGS)")},
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
        std::vector<std::uint64_t> at;
        for (const auto &each : byTrash)
            at.push_back(each.first);
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

}  // namespace

bool NamesIso2022Kr(const SImapValue &structure, const std::string &fields, std::vector<std::string> &look)
{
    look.clear();
    bool named = WalkStructure(structure, "", look);
    return named || ContainsFolded(fields, "iso-2022-kr");
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
    CAccountRun run(parsed, options, report);
    return run.Start() && run.Convert();
}

bool UndoImap(const std::string &url, const SImapOptions &options, STreeReport &report)
{
    SImapUrl parsed;
    std::string why;
    if (!ParseImapUrl(url, parsed, why))
        return Refuse(report, url, why);
    CAccountRun run(parsed, options, report);
    return run.Start() && run.Undo();
}
