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
#include <functional>
#include <memory>
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
};

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
    enum EOutcome { MAIL_DONE, MAIL_UNCHANGED, MAIL_GONE, MAIL_FAILED, CONNECTION_LOST };

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
    bool Run(std::vector<SImapArg> args, const Handler &untagged, SImapResult &result)
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
    EOutcome Replace(const SMailbox &box, SSelected &selected, std::uint64_t uid);
    EOutcome Complete(const SMailbox &box, SSelected &selected, SImapMail mail, FILE *copy);
    bool FindByBytes(std::uint64_t from, std::uint64_t size, std::uint64_t sum, std::uint64_t not_, std::uint64_t &uid);
    bool RemoveCopy(std::uint64_t uid, std::string &what);
    // Moves the original to Trash; copied where a stopped run copied it there already.
    bool MoveOriginal(SImapMail &mail, bool copied, std::string &what);
    bool TrashStatus(std::uint64_t &validity, std::uint64_t &next);
    std::string FlagsFor(const std::vector<std::string> &flags, const SSelected &selected) const;

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
    if (!m_options.check && !m_journal.Open(m_url.Account(), why))
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
                      std::vector<std::string> flags;
                      for (const SImapValue &flag : r.items[0].items)
                          flags.push_back(flag.text);
                      listed.emplace_back(box, flags);
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
                          for (const SImapValue &flag : r.code[1].items)
                              selected.permanent.push_back(flag.text);
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
                          for (const SImapValue &flag : flags->items)
                              fetched.flags.push_back(flag.text);
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
    for (const std::string &tag : tags) {
        SImapResult result;
        if (!m_session->Wait(tag, seen, result, m_why))
            return Fail(Url(box), m_why);
        if (!result.Ok())
            return Fail(Url(box), "cannot read the mails' structure: " + result.text);
    }
    // Then the text of parts that might hold it unlabelled.
    for (const auto &mail : look) {
        std::string items = "(UID";
        for (const std::string &part : mail.second)
            items += " BODY.PEEK[" + part + "]";
        SImapResult result;
        bool holds = false;
        bool ok = Run({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom(std::to_string(mail.first.uid)),
                       SImapArg::Atom(items + ")")},
                      [&](const SImapResponse &r) {
                          for (std::size_t i = 0; r.name == "FETCH" && r.items.size() == 1 &&
                                                  i + 1 < r.items[0].items.size();
                               i += 2) {
                              if (ContainsFolded(r.items[0].items[i].text, "BODY[") &&
                                  HoldsDesignator(r.items[0].items[i + 1]))
                                  holds = true;
                          }
                      },
                      result);
        if (!ok)
            return Fail(Url(box), m_why);
        if (holds)
            candidates.push_back(mail.first);
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

bool CAccountRun::RemoveCopy(std::uint64_t uid, std::string &what)
{
    SImapResult result;
    std::string set = std::to_string(uid);
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
        what += "; its copy, UID " + set + ", could not be removed: " + result.text;
    return true;
}

bool CAccountRun::TrashStatus(std::uint64_t &validity, std::uint64_t &next)
{
    validity = next = 0;
    SImapResult result;
    return Run({SImapArg::Atom("STATUS"), SImapArg::String(m_trash.name), SImapArg::Atom("(UIDNEXT UIDVALIDITY)")},
               [&](const SImapResponse &r) {
                   if (r.name != "STATUS" || r.items.size() < 2)
                       return;
                   const std::vector<SImapValue> &pairs = r.items[1].items;
                   for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
                       if (pairs[i].Is("UIDNEXT"))
                           next = pairs[i + 1].Number();
                       if (pairs[i].Is("UIDVALIDITY"))
                           validity = pairs[i + 1].Number();
                   }
               },
               result);
}

bool CAccountRun::MoveOriginal(SImapMail &mail, bool copied, std::string &what)
{
    SImapResult result;
    std::string set = std::to_string(mail.uid);
    auto told = [&](const SImapResult &r) {
        if (r.HasCode("COPYUID") && r.code.size() >= 4) {
            mail.trashValidity = r.code[1].Number();
            mail.trashUid = std::strtoull(r.code[3].text.c_str(), nullptr, 10);
        }
    };
    if (m_session->Has("MOVE")) {
        if (!Run({SImapArg::Atom("UID"), SImapArg::Atom("MOVE"), SImapArg::Atom(set), SImapArg::String(m_trash.name)},
                 nullptr, result))
            return false;
        told(result);
    } else {
        if (copied)
            result.status = "OK";
        else if (!Run({SImapArg::Atom("UID"), SImapArg::Atom("COPY"), SImapArg::Atom(set), SImapArg::String(m_trash.name)},
                      nullptr, result))
            return false;
        told(result);
        if (result.Ok() &&
            !Run({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(set), SImapArg::Atom("+FLAGS.SILENT"),
                  SImapArg::Atom("(\\Deleted)")},
                 nullptr, result))
            return false;
        if (result.Ok() && !Run({SImapArg::Atom("UID"), SImapArg::Atom("EXPUNGE"), SImapArg::Atom(set)}, nullptr, result))
            return false;
    }
    if (!result.Ok())
        what = "its converted copy was added, but the original could not be moved to " + m_trash.shown + ": " +
               result.text;
    return true;
}

// Completes mail from its step: copy is the converted bytes where this run made them, null
// where a stopped run did (the copy is then checked by its checksum alone).
CAccountRun::EOutcome CAccountRun::Complete(const SMailbox &box, SSelected &selected, SImapMail mail, FILE *copy)
{
    std::string path = Url(box) + ";UID=" + std::to_string(mail.uid);
    auto drop = [&](const std::string &what) {
        mail.step = EImapStep::DROPPED;
        if (!m_journal.Write(mail))
            return Fail(path, what + "; and the journal cannot be written: " + ErrorText(GetLastError())), MAIL_FAILED;
        Fail(path, what);
        return MAIL_FAILED;
    };
    if (mail.step == EImapStep::APPENDING) {
        std::uint64_t found;
        if (!FindByBytes(mail.uidNext, mail.convertedSize, mail.convertedSum, mail.uid, found))
            return CONNECTION_LOST;
        if (found == 0) {
            // Never appended: the mail is as it was, and the scan takes it again.
            mail.step = EImapStep::DROPPED;
            return m_journal.Write(mail) ? MAIL_UNCHANGED : (Fail(path, "cannot write the journal"), MAIL_FAILED);
        }
        mail.newUid = found;
        mail.step = EImapStep::APPENDED;
        if (!m_journal.Write(mail))
            return Fail(path, "cannot write the journal: " + ErrorText(GetLastError())), MAIL_FAILED;
    }
    if (mail.step == EImapStep::APPENDED) {
        // The copy read back, compared with what was sent.  A server may show a mail
        // appended to the mailbox at hand only after a NOOP (Courier does).
        SFetched back;
        SImapResult result;
        if (!Fetch(mail.newUid, "BODY.PEEK[]", back) ||
            (!back.found && (!Run({SImapArg::Atom("NOOP")}, nullptr, result) || !Fetch(mail.newUid, "BODY.PEEK[]", back))))
            return CONNECTION_LOST;
        if (!back.found) {
            // Not seen yet, perhaps still to come: the next run looks for it by its bytes
            // before anything is sent again.
            mail.step = EImapStep::APPENDING;
            mail.newUid = 0;
            if (!m_journal.Write(mail))
                return Fail(path, "cannot write the journal: " + ErrorText(GetLastError())), MAIL_FAILED;
            return Fail(path, "the server does not show the converted copy it took: the next run looks for it "
                              "again; the original stays"),
                   MAIL_FAILED;
        }
        PFile got = back.found ? FileOf(back.body) : nullptr;
        std::uint64_t size = 0, sum = 0;
        bool whole = got && (copy != nullptr ? SameBytes(copy, got.get())
                                             : Measure(got.get(), size, sum) && size == mail.convertedSize &&
                                                   sum == mail.convertedSum);
        if (!whole) {
            std::string what = "the server keeps other bytes than were appended: the original stays";
            // Only a mail the append made is ours to remove, never one the server had before.
            if (mail.newUid >= mail.uidNext && mail.newUid != mail.uid && !RemoveCopy(mail.newUid, what))
                return CONNECTION_LOST;
            return drop(what);
        }
        // What the append could not carry: flags set meanwhile, Gmail's labels.
        SFetched original;
        if (!Fetch(mail.uid, m_gmail ? "FLAGS X-GM-LABELS" : "FLAGS", original))
            return CONNECTION_LOST;
        if (!original.found) {
            mail.step = EImapStep::DONE;
            Warn(path, "the original was removed by another program meanwhile; its converted copy is UID " +
                           std::to_string(mail.newUid));
            return m_journal.Write(mail) ? MAIL_DONE : MAIL_FAILED;
        }
        if (!Run({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(std::to_string(mail.newUid)),
                  SImapArg::Atom("FLAGS.SILENT"), SImapArg::Atom(FlagsFor(original.flags, selected))},
                 nullptr, result))
            return CONNECTION_LOST;
        if (!result.Ok())
            Warn(path, "the copy's flags could not be set: " + result.text);
        if (original.hasLabels && !original.labels.items.empty()) {
            if (!Run({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(std::to_string(mail.newUid)),
                      SImapArg::Atom("+X-GM-LABELS.SILENT"), SImapArg::Atom(Sent(original.labels))},
                     nullptr, result))
                return CONNECTION_LOST;
            if (!result.Ok()) {
                std::string what = "the copy's labels could not be set (" + result.text + "): the original stays";
                if (!RemoveCopy(mail.newUid, what))
                    return CONNECTION_LOST;
                return drop(what);
            }
        }
        if (!TrashStatus(mail.trashValidity, mail.trashNext))
            return CONNECTION_LOST;
        mail.step = EImapStep::MOVING;
        if (!m_journal.Write(mail))
            return Fail(path, "cannot write the journal: " + ErrorText(GetLastError())), MAIL_FAILED;
    }
    if (mail.step == EImapStep::MOVING) {
        SFetched original;
        if (!Fetch(mail.uid, "FLAGS", original))
            return CONNECTION_LOST;
        std::string what;
        // Without MOVE, a stopped run may have copied the original to Trash already: it is
        // then only taken away here, never copied twice.
        bool copied = false;
        if (original.found && copy == nullptr && !m_session->Has("MOVE")) {
            SSelected trash;
            std::uint64_t at = 0;
            if (!Select(m_trash, true, trash, what) ||
                (trash.validity == mail.trashValidity && !FindByBytes(mail.trashNext, mail.size, mail.sum, 0, at)) ||
                !Select(box, false, selected, what))
                return m_session->Alive() ? (Fail(path, what), MAIL_FAILED) : CONNECTION_LOST;
            copied = at != 0;
            mail.trashUid = at;
        }
        if (original.found && !MoveOriginal(mail, copied, what))
            return CONNECTION_LOST;
        if (!what.empty())
            return Fail(path, what), MAIL_FAILED;
        mail.step = EImapStep::DONE;
        if (!m_journal.Write(mail))
            return Fail(path, "cannot write the journal: " + ErrorText(GetLastError())), MAIL_FAILED;
    }
    return MAIL_DONE;
}

CAccountRun::EOutcome CAccountRun::Replace(const SMailbox &box, SSelected &selected, std::uint64_t uid)
{
    std::string path = Url(box) + ";UID=" + std::to_string(uid);
    SFetched original;
    if (!Fetch(uid, m_gmail ? "FLAGS INTERNALDATE X-GM-LABELS BODY.PEEK[]" : "FLAGS INTERNALDATE BODY.PEEK[]", original))
        return CONNECTION_LOST;
    if (!original.found)
        return MAIL_GONE;  // another program's doing, or a completion's after a reconnection
    PFile from = FileOf(original.body), converted = NewTemporary(), to = NewTemporary();
    if (!from || !converted || !to)
        return Fail(path, "cannot make a temporary file: " + std::string(std::strerror(errno))), MAIL_FAILED;
    if (ConvertGuarded(m_options.converters.use.convert, from.get(), converted.get()) == 0)
        return Fail(path, "cannot convert it: " + ErrorText(GetLastError())), MAIL_FAILED;
    if (!WithWireLineEnds(converted.get(), to.get()))
        return Fail(path, "cannot write a temporary file: " + std::string(std::strerror(errno))), MAIL_FAILED;
    converted.reset();
    SImapMail mail;
    mail.mailbox = box.name;
    mail.validity = selected.validity;
    mail.uid = uid;
    mail.run = m_run;
    if (!Measure(from.get(), mail.size, mail.sum) || !Measure(to.get(), mail.convertedSize, mail.convertedSum))
        return Fail(path, "cannot read the temporary files"), MAIL_FAILED;
    if (mail.size == mail.convertedSize && SameBytes(from.get(), to.get()))
        return MAIL_UNCHANGED;
    if (m_options.check)
        return MAIL_DONE;
    mail.uidNext = selected.uidNext;
    if (!m_journal.Write(mail))
        return Fail(path, "cannot write the journal: " + ErrorText(GetLastError())), MAIL_FAILED;
    SImapResult result;
    std::rewind(to.get());
    if (!Run({SImapArg::Atom("APPEND"), SImapArg::String(box.name), SImapArg::Atom(FlagsFor(original.flags, selected)),
              SImapArg::String(original.date), SImapArg::Literal(to.get(), mail.convertedSize)},
             nullptr, result))
        return CONNECTION_LOST;
    if (!result.Ok()) {
        mail.step = EImapStep::DROPPED;
        m_journal.Write(mail);
        return Fail(path, "the server refused the converted mail: " + result.text + ": the original stays"),
               MAIL_FAILED;
    }
    if (result.HasCode("APPENDUID") && result.code.size() >= 3 && result.code[1].Number() == selected.validity) {
        mail.newUid = std::strtoull(result.code[2].text.c_str(), nullptr, 10);
        mail.step = EImapStep::APPENDED;
        if (!m_journal.Write(mail))
            return Fail(path, "cannot write the journal: " + ErrorText(GetLastError())), MAIL_FAILED;
    }
    selected.uidNext = std::max(selected.uidNext, mail.newUid + 1);
    return Complete(box, selected, mail, to.get());
}

bool CAccountRun::Reconnect(const SMailbox &box, SSelected &selected)
{
    for (int attempt = 0; attempt < RECONNECTS; ++attempt) {
        std::this_thread::sleep_for(std::chrono::seconds(1 << attempt));
        std::string what;
        SSelected again;
        if (!Connect() || !Select(box, m_options.check, again, what))
            continue;
        if (again.validity != selected.validity) {
            Fail(Url(box), "the mailbox was made anew by another program during the run (its UIDVALIDITY changed)");
            return false;
        }
        selected = again;
        for (const SImapMail &mail : m_journal.Unfinished(box.name)) {
            EOutcome done = mail.validity == selected.validity ? Complete(box, selected, mail, nullptr) : MAIL_FAILED;
            if (done == CONNECTION_LOST)
                break;
            m_completed += done == MAIL_DONE;
        }
        if (m_session->Alive())
            return true;
    }
    Fail(Url(box), "the connection to the server was lost: " + m_why);
    return false;
}

bool CAccountRun::ConvertMailbox(const SMailbox &box)
{
    std::string what;
    SSelected selected;
    if (!Select(box, m_options.check, selected, what))
        return Fail(Url(box), what);
    if (!m_options.check) {
        for (const SImapMail &mail : m_journal.Unfinished(box.name)) {
            if (mail.validity != selected.validity)
                return Fail(Url(box), "a run that was stopped left " + std::to_string(m_journal.Unfinished(box.name).size()) +
                                          " mails half replaced here, and the mailbox was made anew since (its "
                                          "UIDVALIDITY changed): nothing was done; see the journal " +
                                          m_journal.Path());
        }
        long completed = 0;
        for (const SImapMail &mail : m_journal.Unfinished(box.name)) {
            EOutcome done = Complete(box, selected, mail, nullptr);
            if (done == CONNECTION_LOST && !Reconnect(box, selected))
                return false;
            completed += done == MAIL_DONE;
        }
        if (completed > 0)
            m_report.events.push_back({ETreeEvent::NOTICE, Url(box),
                                       "completed " + std::to_string(completed) +
                                           (completed == 1 ? " mail" : " mails") + " that a stopped run had begun",
                                       0, nullptr});
    }
    std::vector<SCandidate> candidates;
    long mailsBefore = m_report.mails;
    if (!FindCandidates(box, selected, candidates))
        return false;
    if (m_options.progress != nullptr) {
        std::uint64_t bytes = 0;
        for (const SCandidate &mail : candidates)
            bytes += mail.size;
        m_options.progress->StartTree(candidates.size(), bytes);
        m_options.progress->StartFile(Url(box));
    }
    long converted = 0, failed = 0, gone = 0;
    m_completed = 0;
    for (std::size_t i = 0; i < candidates.size();) {
        EOutcome done = Replace(box, selected, candidates[i].uid);
        if (done == CONNECTION_LOST) {
            if (!Reconnect(box, selected))
                return false;
            continue;
        }
        converted += done == MAIL_DONE;
        failed += done == MAIL_FAILED;
        gone += done == MAIL_GONE;
        if (m_options.progress != nullptr)
            m_options.progress->FileDone(candidates[i].size);
        ++i;
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
        for (const SMailbox &box : listed) {
            if (prefix.empty() || box.name == prefix || box.name.compare(0, prefix.size() + 1, prefix + "/") == 0 ||
                box.name.compare(0, prefix.size() + 1, prefix + ".") == 0)
                boxes.push_back(box);
        }
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
    bool ok = true;
    for (SImapMail mail : mails) {
        SMailbox box{mail.mailbox, mail.mailbox}, trash{mail.trash.empty() ? m_trash.name : mail.trash, ""};
        DecodeMailboxName(box.name, box.shown);
        DecodeMailboxName(trash.name, trash.shown);
        std::string path = Url(box) + ";UID=" + std::to_string(mail.uid), what;
        SSelected selected;
        if (!Select(trash, false, selected, what)) {
            ok = Fail(path, what);
            continue;
        }
        if (selected.validity != mail.trashValidity && mail.trashValidity != 0) {
            ok = Fail(path, "the Trash was made anew since (its UIDVALIDITY changed): the original is not found");
            continue;
        }
        std::uint64_t at = mail.trashUid;
        if (at == 0 && !FindByBytes(mail.trashNext, mail.size, mail.sum, 0, at))
            return Fail(path, m_why);
        SImapResult result;
        if (at != 0) {
            mail.step = EImapStep::UNDOING;
            if (!m_journal.Write(mail))
                return Fail(path, "cannot write the journal: " + ErrorText(GetLastError()));
            std::string set = std::to_string(at);
            bool sent = m_session->Has("MOVE")
                            ? Run({SImapArg::Atom("UID"), SImapArg::Atom("MOVE"), SImapArg::Atom(set),
                                   SImapArg::String(box.name)},
                                  nullptr, result)
                            : Run({SImapArg::Atom("UID"), SImapArg::Atom("COPY"), SImapArg::Atom(set),
                                   SImapArg::String(box.name)},
                                  nullptr, result) &&
                                  (!result.Ok() || (Run({SImapArg::Atom("UID"), SImapArg::Atom("STORE"), SImapArg::Atom(set),
                                                         SImapArg::Atom("+FLAGS.SILENT"), SImapArg::Atom("(\\Deleted)")},
                                                        nullptr, result) &&
                                                    Run({SImapArg::Atom("UID"), SImapArg::Atom("EXPUNGE"), SImapArg::Atom(set)},
                                                        nullptr, result)));
            if (!sent)
                return Fail(path, m_why);
            if (!result.Ok()) {
                ok = Fail(path, "cannot move the original back from " + trash.shown + ": " + result.text);
                continue;
            }
        } else if (mail.step != EImapStep::UNDOING) {
            ok = Fail(path, "the original is no longer in " + trash.shown + ": its converted copy stays");
            continue;
        }
        if (!Select(box, false, selected, what)) {
            ok = Fail(path, what);
            continue;
        }
        if (selected.validity == mail.validity && !RemoveCopy(mail.newUid, what))
            return Fail(path, m_why);
        if (!what.empty())
            Warn(path, what.substr(2));
        mail.step = EImapStep::UNDONE;
        if (!m_journal.Write(mail))
            return Fail(path, "cannot write the journal: " + ErrorText(GetLastError()));
        ++m_report.converted;
    }
    if (!m_journal.Compact())
        Warn(m_journal.Path(), "cannot tidy the journal: " + ErrorText(GetLastError()));
    return ok;
}

}  // namespace

bool NamesIso2022Kr(const SImapValue &structure, const std::string &fields, std::vector<std::string> &look)
{
    look.clear();
    bool named = WalkStructure(structure, "", look);
    return named || ContainsFolded(fields, "iso-2022-kr");
}

bool ConvertImap(const std::string &url, const SImapOptions &options, STreeReport &report)
{
    report.walked = true;
    report.checked = options.check;
    report.ofMails = true;
    SImapUrl parsed;
    std::string why;
    if (!ParseImapUrl(url, parsed, why)) {
        report.failed.push_back(url);
        report.events.push_back({ETreeEvent::FAILED, url, why, 0, nullptr});
        return false;
    }
    if (!options.recursive && parsed.mailbox.empty()) {
        report.failed.push_back(url);
        report.events.push_back({ETreeEvent::FAILED, url, "no mailbox named: add /INBOX, or give -R for every mailbox", 0,
                                 nullptr});
        return false;
    }
    CAccountRun run(parsed, options, report);
    return run.Start() && run.Convert();
}

bool UndoImap(const std::string &url, const SImapOptions &options, STreeReport &report)
{
    report.walked = true;
    report.ofMails = true;
    SImapUrl parsed;
    std::string why;
    if (!ParseImapUrl(url, parsed, why)) {
        report.failed.push_back(url);
        report.events.push_back({ETreeEvent::FAILED, url, why, 0, nullptr});
        return false;
    }
    CAccountRun run(parsed, options, report);
    return run.Start() && run.Undo();
}
