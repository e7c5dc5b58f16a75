// The IMAP protocol layer over a fake connection fed a server's bytes in pieces of every
// size: responses and what they parse to, malformed answers that end the session, commands
// and their literals on the wire, logging in; and TLS against a real local server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#endif

#include "imap_wire.h"

namespace {

using namespace std::string_literals;

const std::size_t WHOLE = SIZE_MAX;
const std::size_t PIECES[] = {1, 7, WHOLE};

// What a fake connection was given to write, with how much of the server's bytes had been
// read at each write.
struct SWire {
    std::string written;
    std::vector<std::pair<std::size_t, std::string>> writes;
};

class CFakeStream : public INetStream {
public:
    CFakeStream(std::string input, std::size_t piece, SWire &wire, bool loopback = false, bool tls = true)
        : m_input(std::move(input)), m_piece(piece), m_wire(wire), m_loopback(loopback), m_tls(tls) {}
    // Gives nothing past "<TLS>" in the input before StartTls.
    bool Read(char *to, std::size_t n, std::size_t &got, std::string &) override
    {
        std::size_t tls = m_input.find("<TLS>", m_at);
        std::size_t end = tls == std::string::npos ? m_input.size() : tls;
        if (m_at == tls && m_secure) {
            m_input.erase(tls, 5);
            end = m_input.size();
        }
        got = std::min({n, m_piece, end - m_at});
        std::memcpy(to, m_input.data() + m_at, got);
        m_at += got;
        return true;
    }
    bool Write(const char *from, std::size_t n, std::string &) override
    {
        m_wire.written.append(from, n);
        m_wire.writes.emplace_back(m_at, std::string(from, n));
        return true;
    }
    bool StartTls(const std::string &, const std::string &, std::string &) override
    {
        m_wire.written += "<TLS>";
        m_secure = m_tls;
        return true;
    }
    bool Secure() const override { return m_secure; }
    bool Loopback() const override { return m_loopback; }

private:
    std::string m_input;
    std::size_t m_at = 0;
    std::size_t m_piece;
    SWire &m_wire;
    bool m_loopback;
    bool m_tls;
    bool m_secure = false;
};

const char GREETING[] = "* OK [CAPABILITY IMAP4rev1 LITERAL+ AUTH=PLAIN SASL-IR] ready\r\n";

std::uint32_t Fnv(const std::string &bytes)
{
    std::uint32_t h = 2166136261u;
    for (unsigned char c : bytes)
        h = (h ^ c) * 16777619u;
    return h;
}

std::string ReadFile(FILE *file)
{
    std::string bytes;
    char block[4096];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0)
        bytes.append(block, n);
    return bytes;
}

// A value as the table writes it: strings quoted with C escapes for what is not printable
// ASCII, a literal in a file as <file SIZE HASH>, numbers as #N.
std::string Dump(const std::vector<SImapValue> &values)
{
    std::string out;
    for (const SImapValue &v : values) {
        if (!out.empty())
            out += ' ';
        switch (v.kind) {
        case SImapValue::ATOM: out += v.text; break;
        case SImapValue::NUMBER: out += "#" + v.text; break;
        case SImapValue::NIL: out += "NIL"; break;
        case SImapValue::LIST: out += "(" + Dump(v.items) + ")"; break;
        case SImapValue::STRING:
            if (v.file) {
                std::string bytes = ReadFile(v.file.get());
                out += "<file " + std::to_string(v.size) + " " + std::to_string(bytes.size()) + " " +
                       std::to_string(Fnv(bytes)) + ">";
                break;
            }
            out += '"';
            for (unsigned char c : v.text) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += c >= 0x20 && c < 0x7f && c != '"' && c != '\\' ? std::string(1, static_cast<char>(c)) : hex;
            }
            out += '"';
        }
    }
    return out;
}

std::string Dump(const SImapResponse &r)
{
    std::string out = r.tag + (r.number >= 0 ? " " + std::to_string(r.number) : "") + " " + r.name;
    if (!r.code.empty())
        out += " [" + Dump(r.code) + "]";
    if (!r.items.empty())
        out += " " + Dump(r.items);
    if (!r.text.empty())
        out += " :" + r.text;
    return out + "\n";
}

// Opens a session over a fake connection fed GREETING and then answers.
bool Open(CImapSession &session, const std::string &answers, std::size_t piece, SWire &wire, std::string &why,
          const char *greeting = GREETING)
{
    SImapServer server;
    server.host = "imap.example.org";
    return session.Attach(std::unique_ptr<INetStream>(new CFakeStream(greeting + answers, piece, wire)), server,
                          why);
}

std::string BigLiteral()
{
    std::string bytes;
    for (std::size_t i = 0; bytes.size() < SMALL_LITERAL + 5000; ++i)
        bytes += "line " + std::to_string(i) + " {3}\r\n) \"\x1b$)C\x0e\xa1\r\n";
    return bytes;
}

// Untagged responses to a NOOP, and its end, as they parse.
TEST(ImapWire, ResponsesParse)
{
    const std::string big = BigLiteral();
    const std::string deep32 = std::string(32, '(') + std::string(32, ')');
    struct {
        std::string answers, parsed;
    } rows[] = {
        {"* 12 FETCH (UID 7 FLAGS (\\Seen $Label1 \\*) INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" RFC822.SIZE 4286 "
         "BODYSTRUCTURE ((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"ISO-2022-KR\") NIL NIL \"7BIT\" 1152 23)(\"TEXT\" "
         "\"PLAIN\" (\"NAME\" \"a \\\"b\\\\\") \"<id@x>\" NIL \"BASE64\" 4554 73) \"MIXED\"))\r\nA0001 OK done\r\n",
         "* 12 FETCH (UID #7 FLAGS (\\Seen $Label1 \\*) INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" RFC822.SIZE #4286 "
         "BODYSTRUCTURE ((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"ISO-2022-KR\") NIL NIL \"7BIT\" #1152 #23) (\"TEXT\" "
         "\"PLAIN\" (\"NAME\" \"a \\x22b\\x5c\") \"<id@x>\" NIL \"BASE64\" #4554 #73) \"MIXED\"))\n"
         "A0001 OK :done\n"},
        // Literals: the line goes on after one; literal8 may hold NUL.
        {"* 3 FETCH (UID 9 BODY[HEADER.FIELDS (SUBJECT FROM)]<0> {21}\r\nSubject: x\r\nFrom: y\r\n BINARY[1] "
         "~{3}\r\na\0b)\r\nA0001 OK [READ-WRITE] x\r\n"s,
         "* 3 FETCH (UID #9 BODY[HEADER.FIELDS (SUBJECT FROM)]<0> \"Subject: x\\x0d\\x0aFrom: y\\x0d\\x0a\" "
         "BINARY[1] \"a\\x00b\")\nA0001 OK [READ-WRITE] :x\n"},
        {"* 1 FETCH (BODY[] {" + std::to_string(big.size()) + "}\r\n" + big + " UID 4)\r\nA0001 OK x\r\n",
         "* 1 FETCH (BODY[] <file " + std::to_string(big.size()) + " " + std::to_string(big.size()) + " " +
             std::to_string(Fnv(big)) + "> UID #4)\nA0001 OK :x\n"},
        {"* OK [COPYUID 38505 304,319:320 3956:3958] Moved\r\n* 2 EXPUNGE\r\n"
         "A0001 OK [APPENDUID 38505 3955] APPEND completed\r\n",
         "* OK [COPYUID #38505 304,319:320 3956:3958] :Moved\n* 2 EXPUNGE\n"
         "A0001 OK [APPENDUID #38505 #3955] :APPEND completed\n"},
        {"* LIST (\\HasNoChildren \\Sent) \"/\" \"&vPSwuA-\"\r\n* LIST (\\Noselect) \"\\\\\" [Gmail]/All]\r\n"
         "* LIST () NIL {5}\r\nIN\"BX\r\n* OK [PERMANENTFLAGS (\\Deleted \\*)] Limited\r\nA0001 OK\r\n",
         "* LIST (\\HasNoChildren \\Sent) \"/\" \"&vPSwuA-\"\n* LIST (\\Noselect) \"\\x5c\" [Gmail]/All]\n"
         "* LIST () NIL \"IN\\x22BX\"\n* OK [PERMANENTFLAGS (\\Deleted \\*)] :Limited\nA0001 OK\n"},
        {"* ESEARCH (TAG \"A0001\") UID MIN 2 COUNT 3 ALL 2,10:11\r\n* 5 EXISTS\r\n* X " + deep32 +
             "\r\nA0001 OK\r\n",
         "* ESEARCH (TAG \"A0001\") UID MIN #2 COUNT #3 ALL 2,10:11\n* 5 EXISTS\n* X " + deep32 + "\nA0001 OK\n"},
    };
    for (const auto &row : rows)
        for (std::size_t piece : PIECES) {
            SCOPED_TRACE(row.answers.substr(0, 60) + " in pieces of " + std::to_string(piece));
            CImapSession session;
            SWire wire;
            std::string why;
            ASSERT_TRUE(Open(session, row.answers, piece, wire, why)) << why;
            std::string parsed;
            SImapResult result;
            ASSERT_TRUE(session.Run({SImapArg::Atom("NOOP")}, [&](const SImapResponse &r) { parsed += Dump(r); },
                                    result, why))
                << why;
            SImapResponse end;
            end.tag = "A0001";
            end.name = result.status;
            end.code = result.code;
            end.text = result.text;
            EXPECT_EQ(parsed + Dump(end), row.parsed);
            EXPECT_TRUE(session.Alive());
        }
}

// Hostile or broken answers: each ends the session, saying why, and every later call fails.
TEST(ImapWire, MalformedAnswersEndTheSession)
{
    struct {
        std::string answers, why;
    } rows[] = {
        {"* 1 FETCH (BODY[] {100}\r\nshort", "closed the connection within a literal of 100 bytes, 5 of them read"},
        {"* 1 FETCH (BODY[] {99999}\r\n" + std::string(70000, 'x'), "within a literal of 99999 bytes, 70000"},
        {"* OK " + std::string(MAX_RESPONSE_LINE, 'a') + "\r\n", "longer than 1048576"},
        {"* 1 FETCH (BODY[] {3}\r\nabc" + std::string(MAX_RESPONSE_LINE, 'a') + ")\r\n", "longer than"},
        {"* X " + std::string(33, '(') + std::string(33, ')') + "\r\n", "nested more than 32"},
        {"B0007 OK done\r\n", "ended a command never sent (tag B0007)"},
        {"* BYE [UNAVAILABLE] going away\r\n", "the server ended the session: [UNAVAILABLE] going away"},
        {"+ more\r\n", "a continuation no command asked for"},
        {"* OK partial", "closed the connection within a line"},
        {"* 1 FETCH (BODY[] {5} x)\r\n", "literal's length"},
        {"* 9999999999999999999 EXISTS\r\n", "a message number of 19 digits"},
        {"* 1 FETCH (BODY[] {123456789012345678901}\r\n", "literal's length"},
        {"* LIST () \"/ INBOX\r\n", "closing quote"},
        {"* LIST (\\Seen\r\n", "without its \")\""},
        {"A0001 FETCH (UID 1)\r\n", "neither OK, NO nor BAD"},
        {std::string("* OK a\0b\r\n", 10), "NUL"},
    };
    for (const auto &row : rows)
        for (std::size_t piece : {std::size_t(7), WHOLE}) {
            SCOPED_TRACE(row.answers.substr(0, 60) + " in pieces of " + std::to_string(piece));
            CImapSession session;
            SWire wire;
            std::string why;
            ASSERT_TRUE(Open(session, row.answers, piece, wire, why)) << why;
            SImapResult result;
            EXPECT_FALSE(session.Run({SImapArg::Atom("NOOP")}, nullptr, result, why));
            EXPECT_NE(why.find(row.why), std::string::npos) << why;
            EXPECT_FALSE(session.Alive());
            std::string tag, later;
            EXPECT_FALSE(session.Send({SImapArg::Atom("NOOP")}, tag, later));
            EXPECT_EQ(later, why);
        }
}

// Commands on the wire: quoting, literals with and without LITERAL+, a refused literal, and
// two commands in flight ended in the other order.
TEST(ImapWire, CommandsOnTheWire)
{
    const char *plain = "* OK [CAPABILITY IMAP4rev1] ready\r\n";
    struct {
        const char *greeting;
        std::string answers, wire;
        std::size_t answeredBeforeBody;  // server bytes read before the literal's body was sent
        const char *why;                 // Send's failure, "" for none
    } rows[] = {
        {GREETING, "A0001 OK [APPENDUID 1 5] done\r\n",
         "A0001 APPEND \"INBOX\" (\\Seen) \"a\\\"b\\\\c\" {8+}\r\n\xeb\xb3\xb4\r\nx\0y {4+}\r\nHi\r\n\r\n"s,
         std::strlen(GREETING), ""},
        {plain, "+ Ready\r\n* 3 EXISTS\r\n+ go\r\nA0001 OK done\r\n",
         "A0001 APPEND \"INBOX\" (\\Seen) \"a\\\"b\\\\c\" {8}\r\n\xeb\xb3\xb4\r\nx\0y {4}\r\nHi\r\n\r\n"s,
         std::strlen(plain) + 9 + 12 + 6, ""},
        {plain, "A0001 NO [TOOBIG] no room\r\n", "A0001 APPEND \"INBOX\" (\\Seen) \"a\\\"b\\\\c\" {8}\r\n", 0,
         "refused the command: NO [TOOBIG] no room"},
    };
    for (const auto &row : rows)
        for (std::size_t piece : PIECES) {
            SCOPED_TRACE(row.answers + " in pieces of " + std::to_string(piece));
            CImapSession session;
            SWire wire;
            std::string why;
            ASSERT_TRUE(Open(session, row.answers, piece, wire, why, row.greeting)) << why;
            FILE *file = std::tmpfile();
            ASSERT_NE(file, nullptr);
            // The literal is a piece of the file, as a batch's copies are.
            std::fputs("..Hi\r\nnot sent", file);
            std::string tag;
            bool sent = session.Send({SImapArg::Atom("APPEND"), SImapArg::String("INBOX"), SImapArg::Atom("(\\Seen)"),
                                      SImapArg::String("a\"b\\c"), SImapArg::String(std::string("\xeb\xb3\xb4\r\nx\0y", 8)),
                                      SImapArg::Literal(file, 4, 2)},
                                     tag, why);
            std::fclose(file);
            EXPECT_EQ(wire.written, "<TLS>" + row.wire);
            if (*row.why != '\0') {
                EXPECT_FALSE(sent);
                EXPECT_NE(why.find(row.why), std::string::npos) << why;
                EXPECT_TRUE(session.Alive());
                continue;
            }
            ASSERT_TRUE(sent) << why;
            // The literal's body goes at once with LITERAL+, else only after each "+".
            if (piece == 1) {
                EXPECT_EQ(wire.writes.back().first, row.answeredBeforeBody);
            }
            int exists = 0;
            SImapResult result;
            ASSERT_TRUE(session.Wait(tag, [&](const SImapResponse &r) { exists += r.name == "EXISTS"; }, result, why));
            EXPECT_TRUE(result.Ok());
            EXPECT_EQ(exists, row.answers.find("EXISTS") != std::string::npos ? 1 : 0);
        }

    // Pipelined: the second command ends first, and is kept for its own Wait.
    CImapSession session;
    SWire wire;
    std::string why, first, second;
    ASSERT_TRUE(Open(session, "* 1 EXISTS\r\nA0002 NO nope\r\n* 2 EXISTS\r\nA0001 OK yes\r\n", WHOLE, wire, why));
    ASSERT_TRUE(session.Send({SImapArg::Atom("NOOP")}, first, why));
    ASSERT_TRUE(session.Send({SImapArg::Atom("CHECK")}, second, why));
    SImapResult result;
    int seen = 0;
    ASSERT_TRUE(session.Wait(first, [&](const SImapResponse &) { ++seen; }, result, why));
    EXPECT_EQ(result.text, "yes");
    EXPECT_EQ(seen, 2);
    ASSERT_TRUE(session.Wait(second, nullptr, result, why));
    EXPECT_EQ(result.status + result.text, "NOnope");
}

// Connecting and logging in: the way each secret goes, what is refused, and nothing secret
// over a connection that TLS does not protect.
TEST(ImapWire, ConnectAndLogIn)
{
    struct {
        const char *greeting;
        bool implicitTls, loopback, tls;
        SImapSecret::EKind kind;
        std::string answers, wire;
        const char *why;  // "" where all goes well
    } rows[] = {
        // PLAIN with an initial response; the capabilities from the OK's code.
        {GREETING, true, false, true, SImapSecret::PASSWORD, "A0001 OK [CAPABILITY IMAP4rev1 MOVE] in\r\n",
         "<TLS>A0001 AUTHENTICATE PLAIN AHUsc2VyAHBhJCQ=\r\n", ""},
        // Without SASL-IR, after the continuation; the capabilities asked for after.
        {"* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\r\n", true, false, true, SImapSecret::PASSWORD,
         "+ \r\nA0001 OK in\r\n* CAPABILITY IMAP4rev1 MOVE\r\nA0002 OK\r\n",
         "<TLS>A0001 AUTHENTICATE PLAIN\r\nAHUsc2VyAHBhJCQ=\r\nA0002 CAPABILITY\r\n", ""},
        {"* OK [CAPABILITY IMAP4rev1 MOVE] hi\r\n", true, false, true, SImapSecret::PASSWORD,
         "A0001 NO [AUTHENTICATIONFAILED] wrong\r\n", "<TLS>A0001 LOGIN \"u,ser\" \"pa$$\"\r\n",
         "refused the login: NO [AUTHENTICATIONFAILED] wrong"},
        {"* OK [CAPABILITY IMAP4rev1 LOGINDISABLED] hi\r\n", true, false, true, SImapSecret::PASSWORD, "", "<TLS>",
         "LOGINDISABLED"},
        // A refused token: the challenge answered, the server's reason told.
        {"* OK [CAPABILITY IMAP4rev1 AUTH=OAUTHBEARER AUTH=XOAUTH2 SASL-IR] hi\r\n", true, false, true,
         SImapSecret::BEARER, "+ eyJzdGF0dXMiOiI0MDEifQ==\r\nA0001 NO [AUTHENTICATIONFAILED] no\r\n",
         "<TLS>A0001 AUTHENTICATE OAUTHBEARER bixhPXU9MkNzZXIsAWF1dGg9QmVhcmVyIHBhJCQBAQ==\r\nAQ==\r\n",
         "NO [AUTHENTICATIONFAILED] no ({\"status\":\"401\"})"},
        {"* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2 SASL-IR MOVE] hi\r\n", true, false, true, SImapSecret::BEARER,
         "A0001 OK [CAPABILITY IMAP4rev1 MOVE] in\r\n",
         "<TLS>A0001 AUTHENTICATE XOAUTH2 dXNlcj11LHNlcgFhdXRoPUJlYXJlciBwYSQkAQE=\r\n", ""},
        // imap://: STARTTLS, then the capabilities again.
        {"* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] hi\r\n", false, false, true, SImapSecret::PASSWORD,
         "A0001 OK go\r\n<TLS>* CAPABILITY IMAP4rev1 MOVE AUTH=PLAIN SASL-IR\r\nA0002 OK\r\nA0003 OK [CAPABILITY IMAP4rev1 MOVE] in\r\n",
         "A0001 STARTTLS\r\n<TLS>A0002 CAPABILITY\r\nA0003 AUTHENTICATE PLAIN AHUsc2VyAHBhJCQ=\r\n", ""},
        // Bytes sent before TLS and read after it would pass for protected ones.
        {"* OK [CAPABILITY IMAP4rev1 STARTTLS] hi\r\n", false, false, true, SImapSecret::PASSWORD,
         "A0001 OK go\r\n* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n<TLS>", "A0001 STARTTLS\r\n",
         "more after its answer to STARTTLS"},
        {"* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\r\n", false, false, true, SImapSecret::PASSWORD, "", "",
         "offers no STARTTLS"},
        {"* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN SASL-IR] hi\r\n", false, true, true, SImapSecret::PASSWORD,
         "A0001 OK in\r\n* CAPABILITY IMAP4rev1\r\nA0002 OK\r\n",
         "A0001 AUTHENTICATE PLAIN AHUsc2VyAHBhJCQ=\r\nA0002 CAPABILITY\r\n", ""},
        // A TLS that protects nothing: the password stays home all the same.
        {GREETING, true, false, false, SImapSecret::PASSWORD, "", "<TLS>", "without TLS"},
        {"* PREAUTH [CAPABILITY IMAP4rev1] hi\r\n", true, false, true, SImapSecret::PASSWORD, "", "<TLS>", ""},
        {"* PREAUTH [CAPABILITY IMAP4rev1] hi\r\n", false, false, true, SImapSecret::PASSWORD, "", "", "PREAUTH"},
        {"* BYE [UNAVAILABLE] busy\r\n", true, false, true, SImapSecret::PASSWORD, "", "<TLS>",
         "refused the session: [UNAVAILABLE] busy"},
    };
    for (const auto &row : rows)
        for (std::size_t piece : {std::size_t(1), WHOLE}) {
            SCOPED_TRACE(std::string(row.greeting) + row.answers + " in pieces of " + std::to_string(piece));
            // Only bytes read together with STARTTLS's answer can be told from later ones.
            if (piece == 1 && std::strstr(row.why, "after its answer") != nullptr)
                continue;
            CImapSession session;
            SWire wire;
            std::string why;
            SImapServer server;
            server.host = "imap.example.org";
            server.implicitTls = row.implicitTls;
            bool ok = session.Attach(std::unique_ptr<INetStream>(new CFakeStream(
                                         row.greeting + row.answers, piece, wire, row.loopback, row.tls)),
                                     server, why);
            SImapSecret secret;
            secret.kind = row.kind;
            secret.secret = "pa$$";
            ok = ok && session.LogIn("u,ser", secret, why);
            EXPECT_EQ(wire.written, row.wire);
            EXPECT_EQ(ok, *row.why == '\0') << why;
            EXPECT_NE(why.find(row.why), std::string::npos) << why;
            EXPECT_EQ(why.find("pa$$"), std::string::npos);
            if (ok && row.answers.find("MOVE") != std::string::npos) {
                EXPECT_TRUE(session.Has("move"));
            }
        }
}

#ifndef _WIN32
// Certificates from an authority made here, served over TLS by a local server: trusted with
// the authority given, refused (naming the certificate) for another name, for dates past,
// and without the authority.
TEST(ImapWire, TlsCertificatesChecked)
{
    if (std::system("openssl version >/dev/null 2>&1 && python3 -c 1 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "SKIP: no openssl or python3 to make and serve certificates";
    char dirTemplate[] = "/tmp/quorvel-tls-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::string make = "cd " + dir + " && exec >log 2>&1 && openssl req -x509" + ec +
                       " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Quorvel Test Authority'";
    // name, the names it holds, its days of life (negative: expired).
    const char *certificates[][3] = {{"good", "DNS:localhost,IP:127.0.0.1", "2"},
                                     {"other", "DNS:other.example", "2"},
                                     {"expired", "DNS:localhost", "-1"}};
    std::vector<std::string> args = {"python3", TLS_SERVER_SCRIPT};
    for (auto &c : certificates) {
        std::string name = c[0];
        make += " && printf 'subjectAltName=%s\\n' " + std::string(c[1]) + " >" + name + ".ext && openssl req" + ec +
                " -keyout " + name + ".key -out " + name + ".csr -subj /CN=" + (name == "other" ? "other.example" : "localhost") +
                " && openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -days " + c[2] +
                " -extfile " + name + ".ext -out " + name + ".pem";
        args.push_back(dir + "/" + name + ".pem");
        args.push_back(dir + "/" + name + ".key");
    }
    ASSERT_EQ(std::system(make.c_str()), 0) << "see " << dir << "/log";
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(ends[1]);
    FILE *server = fdopen(ends[0], "r");
    ASSERT_NE(server, nullptr);
    unsigned good = 0, other = 0, expired = 0;
    ASSERT_EQ(std::fscanf(server, "%u %u %u", &good, &other, &expired), 3);

    struct {
        const char *host;
        unsigned port;
        bool withAuthority;
        std::vector<const char *> why;  // empty where Connect succeeds
    } rows[] = {
        {"localhost", good, true, {}},
        {"127.0.0.1", good, true, {}},
        {"localhost", good, false, {"refused: unable to get local issuer certificate", "subject CN=localhost"}},
        {"localhost", other, true, {"refused: hostname mismatch (subject CN=other.example, issuer CN=Quorvel Test Authority"}},
        {"127.0.0.1", other, true, {"refused: IP address mismatch"}},
        {"localhost", expired, true, {"refused: certificate has expired", "valid from 20", " UTC to 20"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.host) + " port " + std::to_string(row.port));
        SImapServer where;
        where.host = row.host;
        where.port = row.port;
        where.caFile = row.withAuthority ? dir + "/ca.pem" : "";
        where.timeoutSeconds = 20;
        CImapSession session;
        std::string why;
        bool ok = session.Connect(where, why);
        EXPECT_EQ(ok, row.why.empty()) << why;
        for (const char *part : row.why)
            EXPECT_NE(why.find(part), std::string::npos) << why;
        if (ok) {
            SImapResult result;
            EXPECT_TRUE(session.Run({SImapArg::Atom("NOOP")}, nullptr, result, why) && result.Ok()) << why;
            session.Close();
        }
    }
    // Nothing listens there any more: refused, and said so.
    SImapServer gone;
    gone.host = "127.0.0.1";
    gone.port = 1;
    CImapSession session;
    std::string why;
    EXPECT_FALSE(session.Connect(gone, why));
    EXPECT_NE(why.find("cannot connect to 127.0.0.1 port 1: Connection refused"), std::string::npos) << why;

    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::fclose(server);
    std::filesystem::remove_all(dir);
}
#endif

}  // namespace
