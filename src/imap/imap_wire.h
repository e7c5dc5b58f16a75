// The IMAP protocol as a client speaks it (RFC 9051, and RFC 3501 that it revises): a session
// over a connection, commands with their literals, and the server's responses parsed into
// values.  A literal larger than SMALL_LITERAL is streamed into a temporary file, never held
// whole, so memory stays bounded whatever a message's size.  Commands may be pipelined: Send
// any number, then Wait for each tag in turn.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net.h"

// A literal up to this many bytes is kept in memory; a larger one goes to a temporary file.
const std::size_t SMALL_LITERAL = std::size_t{64} * 1024;
// The longest line (outside literals) taken from a server, and the most nesting of lists:
// past either, the response is malformed and the session ends.
const std::size_t MAX_RESPONSE_LINE = std::size_t{1024} * 1024;
const int MAX_LIST_DEPTH = 32;
// The most bytes of small literals one response may hold in memory, and the most held in
// responses read while a command waits for the server's continuation: past either the
// session ends, so that a hostile server cannot make memory grow without bound.
const std::size_t MAX_RESPONSE_MEMORY = std::size_t{4} * 1024 * 1024;
const std::size_t MAX_HELD_MEMORY = std::size_t{16} * 1024 * 1024;

// One value of a response.
struct SImapValue {
    enum EKind { ATOM, NUMBER, STRING, NIL, LIST };
    EKind kind = NIL;
    // ATOM: the atom as sent (a flag "\Seen", "BODY[HEADER.FIELDS (SUBJECT)]" with its
    // section); NUMBER: the digits; STRING: a quoted string's or a small literal's bytes.
    std::string text;
    std::vector<SImapValue> items;  // LIST's values
    // A STRING from a literal larger than SMALL_LITERAL: its bytes are in file (a temporary
    // file, deleted when the last holder lets it go), read from its start, size bytes;
    // text is then empty.
    std::shared_ptr<FILE> file;
    std::uint64_t size = 0;

    bool Is(const char *atom) const;  // an ATOM equal to atom, case folded as ASCII
    std::uint64_t Number() const;     // a NUMBER's value, 0 for anything else
};

// A response from the server, as one line with the literals within it.
struct SImapResponse {
    std::string tag;        // "*" for untagged data, "+" for a continuation, else a command's tag
    long long number = -1;  // "* 12 EXISTS", "* 3 FETCH (...)": the number; -1 where none
    std::string name;       // upper-cased: OK, NO, BAD, BYE, PREAUTH, CAPABILITY, LIST, FETCH,
                            // EXISTS, EXPUNGE, SEARCH, ESEARCH, FLAGS, VANISHED...; "" for "+"
    std::vector<SImapValue> code;   // a status response's code: [APPENDUID 38505 3955] gives
                                    // ATOM APPENDUID, NUMBER 38505, NUMBER 3955; empty where none
    std::vector<SImapValue> items;  // what follows name (FETCH: one LIST of pairs)
    std::string text;               // a status response's or continuation's text

    bool HasCode(const char *atom) const;  // code's first value is atom
};

// The value that follows name in a FETCH response's list of pairs ("UID", "FLAGS",
// "BODY[]", "BODY[HEADER.FIELDS (SUBJECT)]"...), name case folded; null where none.
const SImapValue *FetchItem(const SImapResponse &response, const char *name);

// How a command ended.
struct SImapResult {
    std::string status;            // OK, NO or BAD
    std::vector<SImapValue> code;  // its response code, as SImapResponse::code
    std::string text;
    bool Ok() const { return status == "OK"; }
    bool HasCode(const char *atom) const;
};

// One word of a command.  ATOM is sent as it stands ("UID", "1:*", "(\Seen $Label1)");
// STRING is sent quoted where it may be and as a literal otherwise; FILE is sent as a literal
// of size bytes read from file from offset at (several literals of a command may be pieces
// of one file).
struct SImapArg {
    enum EKind { ATOM, STRING, FILE_LITERAL };
    EKind kind;
    std::string text;
    FILE *file = nullptr;
    std::uint64_t size = 0, at = 0;

    static SImapArg Atom(std::string text) { return {ATOM, std::move(text)}; }
    static SImapArg String(std::string text) { return {STRING, std::move(text)}; }
    static SImapArg Literal(FILE *file, std::uint64_t size, std::uint64_t at = 0)
    {
        return {FILE_LITERAL, std::string(), file, size, at};
    }
};

// Where the server is, and how to reach it.
struct SImapServer {
    std::string host;
    unsigned port = 993;
    bool implicitTls = true;  // imaps://; otherwise STARTTLS is required (refused where the
                              // server does not offer it, unless it is a loopback address)
    std::string caFile;       // one more authority to trust (--cacert), "" for none
    int timeoutSeconds = 120;
};

// What proves the user: a password, or an OAuth 2.0 bearer token.  Wiped when let go.
struct SImapSecret {
    enum EKind { PASSWORD, BEARER };
    EKind kind = PASSWORD;
    std::string secret;
    SImapSecret() = default;
    SImapSecret(const SImapSecret &) = delete;
    SImapSecret &operator=(const SImapSecret &) = delete;
    ~SImapSecret();
    void Wipe();
};

class CImapSession {
public:
    CImapSession();
    CImapSession(const CImapSession &) = delete;
    CImapSession &operator=(const CImapSession &) = delete;
    ~CImapSession();

    // Connects, starts TLS (at once, or by STARTTLS), reads the greeting and the
    // capabilities.  False with why.
    bool Connect(const SImapServer &server, std::string &why);
    // As Connect, over a connection made already (server says how to go on over it: TLS at
    // once, or STARTTLS); the session owns stream from then on.
    bool Attach(std::unique_ptr<INetStream> stream, const SImapServer &server, std::string &why);
    // Logs in as user: a password by AUTHENTICATE PLAIN (or LOGIN where PLAIN is not
    // offered), a bearer token by AUTHENTICATE OAUTHBEARER or XOAUTH2, whichever is offered.
    // Refuses to send anything secret over a connection TLS does not protect, unless the
    // server is a loopback address.  Reads the capabilities again after.  False with why
    // (the server's own words where it refused): never retried.
    bool LogIn(const std::string &user, const SImapSecret &secret, std::string &why);
    // Whether the greeting was PREAUTH: the session is logged in already.
    bool PreAuthenticated() const;
    // Whether the server offered capability ("UIDPLUS", "MOVE", "CONDSTORE", "LITERAL+",
    // "UTF8=ACCEPT", "X-GM-EXT-1", "SPECIAL-USE"...), case folded.
    bool Has(const char *capability) const;

    // Sends a command of args under a new tag, given back; literals are sent as LITERAL+
    // (or LITERAL-, for those up to 4096 bytes) where the server offers it, otherwise after
    // its continuation (the responses read meanwhile are kept for Wait).  False with why
    // where the connection failed, or the server refused a literal.
    bool Send(const std::vector<SImapArg> &args, std::string &tag, std::string &why);
    // Reads responses until the command tagged tag ends, handing each untagged one to
    // untagged (which may be empty) in the order they came, and the end to result.  False
    // with why where the connection failed or closed, the server said BYE, or a response was
    // malformed: the session is then unusable (Alive is false).
    bool Wait(const std::string &tag, const std::function<void(const SImapResponse &)> &untagged,
              SImapResult &result, std::string &why);
    // Send, then Wait.
    bool Run(const std::vector<SImapArg> &args, const std::function<void(const SImapResponse &)> &untagged,
             SImapResult &result, std::string &why);
    // Whether the connection can still be used.
    bool Alive() const;
    // Whether the server asked for a pause: a response coded [THROTTLED] (a command refused
    // so ends the session), or a BYE [UNAVAILABLE].
    bool Throttled() const;
    // Says LOGOUT and closes, where the connection is alive.
    void Close();

private:
    struct SState;
    std::unique_ptr<SState> m_state;
};
