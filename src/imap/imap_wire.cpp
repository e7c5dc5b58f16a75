// The IMAP protocol as a client speaks it (RFC 9051, RFC 3501): responses parsed from what
// the server sends, taken as hostile input; commands with their literals (RFC 7888 for
// LITERAL+ and LITERAL-); logging in by SASL PLAIN (RFC 4616, with RFC 4959's initial
// response), OAUTHBEARER (RFC 7628) or XOAUTH2, or LOGIN; STARTTLS (RFC 2595).
#include "imap_wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <utility>

#include "platform.h"

namespace {

const char CR = '\r';
const char LF = '\n';
const char SP = ' ';
const char NUL = '\0';
const std::size_t READ_PIECE = std::size_t{16} * 1024;
const std::size_t WRITE_PIECE = std::size_t{64} * 1024;
// A quoted string longer than this goes as a literal, as some servers take no longer ones.
const std::size_t LONGEST_QUOTED = 1000;
// LITERAL- makes a literal of up to this many bytes non-synchronizing (RFC 7888).
const std::uint64_t LITERAL_MINUS_LIMIT = 4096;
// The most digits of a literal's length: 20 hold any 64-bit number.
const std::size_t MAX_LENGTH_DIGITS = 19;

char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameAscii(const std::string &a, const char *b)
{
    std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return false;
    return true;
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), UpperAscii);
    return text;
}

// Overwrites bytes before they are let go: the compiler may not drop a volatile store.
void WipeBytes(std::string &bytes)
{
    if (!bytes.empty()) {
        volatile char *at = &bytes[0];
        for (std::size_t i = 0; i < bytes.size(); ++i)
            at[i] = 0;
    }
    bytes.clear();
}

const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Appends base64 of in to out, whose capacity the caller has made large enough, so that no
// copy of a secret is left behind in a buffer let go.
void AppendBase64(const std::string &in, std::string &out)
{
    std::size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8 |
                     static_cast<unsigned char>(in[i + 2]);
        out += BASE64[v >> 18];
        out += BASE64[(v >> 12) & 63];
        out += BASE64[(v >> 6) & 63];
        out += BASE64[v & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += BASE64[v >> 18];
        out += BASE64[(v >> 12) & 63];
        out += i + 1 < in.size() ? BASE64[(v >> 6) & 63] : '=';
        out += '=';
    }
}

std::size_t Base64Size(std::size_t n)
{
    return (n + 2) / 3 * 4;
}

// The printable text of base64 (a server's challenge), "" where it is not base64 of
// printable ASCII.
std::string PrintableBase64(const std::string &in)
{
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        if (c == '=')
            break;
        const char *at = std::strchr(BASE64, c);
        if (c == NUL || at == nullptr)
            return std::string();
        v = (v << 6) | static_cast<unsigned>(at - BASE64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            char byte = static_cast<char>((v >> bits) & 0xff);
            if (byte < SP || byte > '~')
                return std::string();
            out += byte;
        }
    }
    return out;
}

// A string as a quoted string of IMAP where it can be one (7-bit, no CR, LF or NUL, not
// long); false where it must go as a literal.
bool Quotable(const std::string &text)
{
    if (text.size() > LONGEST_QUOTED)
        return false;
    return std::none_of(text.begin(), text.end(), [](char c) {
        return c == CR || c == LF || c == NUL || static_cast<unsigned char>(c) >= 0x80;
    });
}

// The special characters that end an atom (RFC 9051's atom-specials, less "]", which an
// astring may hold, and less the list wildcards, which a LIST answer may hold).
bool EndsAtom(char c)
{
    return c == '(' || c == ')' || c == '{' || c == SP || c == '"' || static_cast<unsigned char>(c) < SP ||
           c == 0x7f;
}

// Values as a message shows them: atoms and numbers as sent, strings quoted, lists in
// parentheses, a literal in a file as its size.
std::string ValuesText(const std::vector<SImapValue> &values)
{
    std::string text;
    for (const SImapValue &value : values) {
        if (!text.empty())
            text += SP;
        if (value.kind == SImapValue::LIST)
            text += "(" + ValuesText(value.items) + ")";
        else if (value.kind == SImapValue::NIL)
            text += "NIL";
        else if (value.kind == SImapValue::STRING)
            text += value.file ? "{" + std::to_string(value.size) + "}" : "\"" + value.text + "\"";
        else
            text += value.text;
    }
    return text;
}

// A status response's code and text, as the server's words in a message.
std::string StatusText(const std::vector<SImapValue> &code, const std::string &text)
{
    return code.empty() ? text : "[" + ValuesText(code) + "] " + text;
}

// What was read from the connection and not yet parsed: in[at...].
struct SReader {
    INetStream *stream = nullptr;
    std::string in;
    std::size_t at = 0;

    bool Fill(std::string &why);
    bool ReadLine(std::string &line, std::size_t budget, std::string &why);
    bool ReadLiteral(std::uint64_t size, SImapValue &value, std::size_t &memory, std::string &why);
};

}  // namespace

bool SImapValue::Is(const char *atom) const
{
    return kind == ATOM && SameAscii(text, atom);
}

std::uint64_t SImapValue::Number() const
{
    if (kind != NUMBER)
        return 0;
    std::uint64_t value = 0;
    for (char c : text) {
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

bool SImapResponse::HasCode(const char *atom) const
{
    return !code.empty() && code[0].Is(atom);
}

bool SImapResult::HasCode(const char *atom) const
{
    return !code.empty() && code[0].Is(atom);
}

const SImapValue *FetchItem(const SImapResponse &response, const char *name)
{
    if (response.items.empty() || response.items[0].kind != SImapValue::LIST)
        return nullptr;
    const std::vector<SImapValue> &pairs = response.items[0].items;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2)
        if (pairs[i].Is(name))
            return &pairs[i + 1];
    return nullptr;
}

SImapSecret::~SImapSecret()
{
    Wipe();
}

void SImapSecret::Wipe()
{
    WipeBytes(secret);
}

struct CImapSession::SState {
    std::unique_ptr<INetStream> stream;
    SImapServer server;
    bool alive = false;
    std::string deadWhy = "the session is not connected";
    bool preauth = false;
    bool throttled = false;  // the server asked for a pause
    std::vector<std::string> capabilities;  // upper-cased
    bool capabilitiesSeen = false;          // set when a response told them
    unsigned nextTag = 1;
    SReader reader;
    std::vector<std::string> open;          // tags of commands sent and not ended
    std::deque<SImapResponse> held;         // responses read while a command waited for "+"
    std::size_t heldMemory = 0;
    std::vector<std::pair<std::string, SImapResult>> ended;  // other commands' ends met meanwhile

    // Ends the session: false, with why kept for every later call.
    bool Die(const std::string &reason, std::string &why);
    bool ReadResponse(SImapResponse &response, std::size_t &memory, std::string &why);
    // The next response: one held, else one read.
    bool Next(SImapResponse &response, std::string &why);
    void Learn(const SImapResponse &response);
    bool Write(std::string &out, std::string &why);
    bool WaitContinuation(const std::string &tag, SImapResponse &continuation, std::string &why);
    bool Literal(const std::string *text, FILE *file, std::uint64_t size, const std::string &tag, std::string &out,
                 std::string &why);
    bool Has(const char *capability) const;
    std::string NewTag();
    void Forget(const std::string &tag);
};

namespace {

// Parses one response from its lines, reading the literals within it.
class CResponseParser {
public:
    CResponseParser(SReader &state, std::size_t &memory, std::string &why)
        : m_state(state), m_memory(memory), m_why(why) {}
    bool Parse(SImapResponse &response);

private:
    bool Fail(const std::string &what);
    bool NextLine();
    bool AtEnd() const { return m_pos >= m_line.size(); }
    char Peek() const { return m_line[m_pos]; }
    void SkipSpaces();
    std::string Token();
    bool Value(SImapValue &value, int depth, bool inCode);
    bool Values(std::vector<SImapValue> &into, char close, int depth, bool inCode, const char *what);
    bool Quoted(SImapValue &value);
    bool LiteralValue(SImapValue &value);
    bool Atom(SImapValue &value, bool inCode);
    bool Status(SImapResponse &response);

    SReader &m_state;
    std::size_t &m_memory;  // bytes of this response in memory, text and literals
    std::string &m_why;
    std::string m_line;
    std::size_t m_pos = 0;
    std::size_t m_lineBudget = MAX_RESPONSE_LINE;
};

bool CResponseParser::Fail(const std::string &what)
{
    m_why = "the server's answer is malformed: " + what;
    return false;
}

bool CResponseParser::NextLine()
{
    if (!m_state.ReadLine(m_line, m_lineBudget, m_why))
        return false;
    m_lineBudget -= m_line.size();
    m_memory += m_line.size();
    m_pos = 0;
    if (m_line.find(NUL) != std::string::npos)
        return Fail("a line holds a NUL byte");
    return true;
}

void CResponseParser::SkipSpaces()
{
    while (!AtEnd() && Peek() == SP)
        ++m_pos;
}

std::string CResponseParser::Token()
{
    std::size_t start = m_pos;
    while (!AtEnd() && Peek() != SP)
        ++m_pos;
    return m_line.substr(start, m_pos - start);
}

bool CResponseParser::Parse(SImapResponse &response)
{
    if (!NextLine())
        return false;
    response.tag = Token();
    if (response.tag.empty())
        return Fail("an empty line, or one that starts with a space");
    if (response.tag == "+") {
        if (!AtEnd())
            ++m_pos;
        response.text = m_line.substr(m_pos);
        return true;
    }
    SkipSpaces();
    std::string word = Token();
    if (response.tag == "*" && !word.empty() && word.find_first_not_of("0123456789") == std::string::npos) {
        // 18 digits fit in a long long, whatever they are.
        if (word.size() > 18)
            return Fail("a message number of " + std::to_string(word.size()) + " digits");
        response.number = std::stoll(word);
        SkipSpaces();
        word = Token();
    }
    if (word.empty())
        return Fail("a response without a name: " + m_line.substr(0, 80));
    response.name = Upper(word);
    if (response.name == "OK" || response.name == "NO" || response.name == "BAD" ||
        (response.tag == "*" && (response.name == "BYE" || response.name == "PREAUTH")))
        return Status(response);
    if (response.tag != "*")
        return Fail("a command ended neither OK, NO nor BAD: " + m_line.substr(0, 80));
    for (;;) {
        SkipSpaces();
        if (AtEnd())
            return true;
        response.items.emplace_back();
        if (!Value(response.items.back(), 0, false))
            return false;
    }
}

// resp-text: an optional "[" code "]", then text to the end of the line.
bool CResponseParser::Status(SImapResponse &response)
{
    SkipSpaces();
    if (!AtEnd() && Peek() == '[') {
        ++m_pos;
        if (!Values(response.code, ']', 0, true, "a response code"))
            return false;
        SkipSpaces();
    }
    response.text = m_line.substr(m_pos);
    return true;
}

// Values into into, up to close and past it; what names them where close never comes.
bool CResponseParser::Values(std::vector<SImapValue> &into, char close, int depth, bool inCode, const char *what)
{
    for (;;) {
        SkipSpaces();
        if (AtEnd())
            return Fail(std::string(what) + " without its \"" + close + "\"");
        if (Peek() == close) {
            ++m_pos;
            return true;
        }
        into.emplace_back();
        if (!Value(into.back(), depth, inCode))
            return false;
    }
}

bool CResponseParser::Value(SImapValue &value, int depth, bool inCode)
{
    char c = Peek();
    if (c == '(') {
        if (depth >= MAX_LIST_DEPTH)
            return Fail("lists nested more than " + std::to_string(MAX_LIST_DEPTH) + " deep");
        ++m_pos;
        value.kind = SImapValue::LIST;
        return Values(value.items, ')', depth + 1, inCode, "a list");
    }
    if (c == '"')
        return Quoted(value);
    if (c == '{' || (c == '~' && m_pos + 1 < m_line.size() && m_line[m_pos + 1] == '{'))
        return LiteralValue(value);
    return Atom(value, inCode);
}

// quoted = DQUOTE *QUOTED-CHAR DQUOTE, with "\" before "\" and DQUOTE.
bool CResponseParser::Quoted(SImapValue &value)
{
    value.kind = SImapValue::STRING;
    for (++m_pos; !AtEnd(); ++m_pos) {
        char c = Peek();
        if (c == '"') {
            ++m_pos;
            return true;
        }
        if (c == '\\') {
            if (++m_pos == m_line.size())
                break;
            c = Peek();
        }
        value.text += c;
    }
    return Fail("a quoted string without its closing quote");
}

// literal = "{" number "}" CRLF *CHAR8; literal8 = "~{" number "}" CRLF *OCTET.  The line
// goes on after the literal's bytes.
bool CResponseParser::LiteralValue(SImapValue &value)
{
    if (Peek() == '~')
        ++m_pos;
    std::size_t close = m_line.find('}', m_pos);
    std::string digits = close == std::string::npos ? std::string() : m_line.substr(m_pos + 1, close - m_pos - 1);
    if (close == std::string::npos || close + 1 != m_line.size() || digits.empty() ||
        digits.size() > MAX_LENGTH_DIGITS || digits.find_first_not_of("0123456789") != std::string::npos)
        return Fail("a literal's length is not a number in braces at the end of a line: " +
                    m_line.substr(m_pos, 40));
    value.kind = SImapValue::STRING;
    value.size = std::stoull(digits);
    if (!m_state.ReadLiteral(value.size, value, m_memory, m_why))
        return false;
    if (!value.file)
        value.size = 0;
    return NextLine();
}

bool CResponseParser::Atom(SImapValue &value, bool inCode)
{
    std::size_t start = m_pos;
    while (!AtEnd()) {
        char c = Peek();
        if (EndsAtom(c) || (inCode && c == ']'))
            break;
        ++m_pos;
        if (c == '[') {
            // A section ("BODY[HEADER.FIELDS (SUBJECT FROM)]") is part of its atom, spaces too.
            std::size_t close = m_line.find(']', m_pos);
            if (close == std::string::npos)
                return Fail("a \"[\" without its \"]\": " + m_line.substr(start, 80));
            m_pos = close + 1;
        }
    }
    if (m_pos == start) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned char>(Peek()));
        return Fail(std::string("an unexpected character ") + text + " in: " + m_line.substr(0, 80));
    }
    value.text = m_line.substr(start, m_pos - start);
    if (value.text.find_first_not_of("0123456789") == std::string::npos && value.text.size() <= MAX_LENGTH_DIGITS + 1)
        value.kind = SImapValue::NUMBER;
    else if (SameAscii(value.text, "NIL")) {
        value.kind = SImapValue::NIL;
        value.text.clear();
    } else
        value.kind = SImapValue::ATOM;
    return true;
}

}  // namespace

bool CImapSession::SState::Die(const std::string &reason, std::string &why)
{
    alive = false;
    deadWhy = reason;
    why = reason;
    stream.reset();
    held.clear();
    heldMemory = 0;
    reader = SReader();
    return false;
}

bool SReader::Fill(std::string &why)
{
    if (at > 0 && at * 2 >= in.size()) {
        in.erase(0, at);
        at = 0;
    }
    std::size_t old = in.size();
    in.resize(old + READ_PIECE);
    std::size_t got = 0;
    std::string failure;
    bool ok = stream->Read(&in[old], READ_PIECE, got, failure);
    in.resize(old + got);
    if (!ok) {
        why = "the connection failed: " + failure;
        return false;
    }
    if (got == 0) {
        why = "the server closed the connection";
        return false;
    }
    return true;
}

// A line of the server's, without its CR LF (a bare LF ends one too), of at most budget
// bytes.
bool SReader::ReadLine(std::string &line, std::size_t budget, std::string &why)
{
    std::size_t scanned = 0;  // bytes after at searched already: Fill may move them
    for (;;) {
        std::size_t end = in.find(LF, at + scanned);
        if (end != std::string::npos) {
            std::size_t size = end - at;
            if (size > 0 && in[end - 1] == CR)
                --size;
            if (size > budget)
                break;
            line.assign(in, at, size);
            at = end + 1;
            return true;
        }
        if (in.size() - at > budget + 1)
            break;
        scanned = in.size() - at;
        if (!Fill(why)) {
            if (in.size() > at)
                why += " within a line";
            return false;
        }
    }
    why = "the server's answer is malformed: a line longer than " + std::to_string(MAX_RESPONSE_LINE) + " bytes";
    return false;
}

bool SReader::ReadLiteral(std::uint64_t size, SImapValue &value, std::size_t &memory, std::string &why)
{
    std::FILE *file = nullptr;
    if (size <= SMALL_LITERAL) {
        memory += size;
        if (memory > MAX_RESPONSE_MEMORY) {
            why = "the server's answer is malformed: more than " + std::to_string(MAX_RESPONSE_MEMORY) +
                  " bytes of literals in one response";
            return false;
        }
        value.text.reserve(static_cast<std::size_t>(size));
    } else {
        file = std::tmpfile();
        if (file == nullptr) {
            why = "cannot make a temporary file for a literal of " + std::to_string(size) +
                  " bytes: " + std::strerror(errno);
            return false;
        }
        value.file.reset(file, std::fclose);
    }
    std::uint64_t left = size;
    while (left > 0) {
        if (at == in.size()) {
            in.clear();
            at = 0;
            if (!Fill(why)) {
                why += " within a literal of " + std::to_string(size) + " bytes, " +
                       std::to_string(size - left) + " of them read";
                return false;
            }
        }
        std::size_t piece = in.size() - at;
        if (piece > left)
            piece = static_cast<std::size_t>(left);
        if (file == nullptr)
            value.text.append(in, at, piece);
        else if (std::fwrite(in.data() + at, 1, piece, file) != piece) {
            why = std::string("cannot write a literal into a temporary file: ") + std::strerror(errno);
            return false;
        }
        at += piece;
        left -= piece;
    }
    if (file != nullptr && (std::fflush(file) != 0 || std::fseek(file, 0, SEEK_SET) != 0)) {
        why = std::string("cannot write a literal into a temporary file: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool CImapSession::SState::ReadResponse(SImapResponse &response, std::size_t &memory, std::string &why)
{
    if (!alive)
        return Die(deadWhy, why);
    response = SImapResponse();
    memory = 0;
    std::string failure;
    CResponseParser parser(reader, memory, failure);
    if (!parser.Parse(response))
        return Die(failure, why);
    Learn(response);
    // Gmail's answer to too much too fast, to any command; a session ended while the server
    // is busy (RFC 5530).
    if (response.HasCode("THROTTLED") || (response.name == "BYE" && response.HasCode("UNAVAILABLE")))
        throttled = true;
    return true;
}

bool CImapSession::SState::Next(SImapResponse &response, std::string &why)
{
    if (!held.empty()) {
        response = std::move(held.front());
        held.pop_front();
        if (held.empty())
            heldMemory = 0;
        return true;
    }
    std::size_t memory = 0;
    return ReadResponse(response, memory, why);
}

void CImapSession::SState::Learn(const SImapResponse &response)
{
    const std::vector<SImapValue> *list = nullptr;
    std::size_t first = 0;
    if (response.tag == "*" && response.name == "CAPABILITY")
        list = &response.items;
    else if (response.HasCode("CAPABILITY")) {
        list = &response.code;
        first = 1;
    }
    if (list == nullptr)
        return;
    capabilities.clear();
    for (std::size_t i = first; i < list->size(); ++i)
        if ((*list)[i].kind == SImapValue::ATOM || (*list)[i].kind == SImapValue::NUMBER)
            capabilities.push_back(Upper((*list)[i].text));
    capabilitiesSeen = true;
}

bool CImapSession::SState::Has(const char *capability) const
{
    return std::any_of(capabilities.begin(), capabilities.end(),
                       [capability](const std::string &offered) { return SameAscii(offered, capability); });
}

std::string CImapSession::SState::NewTag()
{
    char tag[16];
    std::snprintf(tag, sizeof tag, "A%04u", nextTag++);
    return tag;
}

void CImapSession::SState::Forget(const std::string &tag)
{
    for (std::size_t i = 0; i < open.size(); ++i)
        if (open[i] == tag) {
            open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
}

// Writes out, and wipes it: a command may hold a password.
bool CImapSession::SState::Write(std::string &out, std::string &why)
{
    std::string failure;
    bool ok = out.empty() || stream->Write(out.data(), out.size(), failure);
    WipeBytes(out);
    if (!ok)
        return Die("the connection failed: " + failure, why);
    return true;
}

// Reads until the server's continuation for the command tagged tag, holding the other
// responses for Wait.  False with why where the server ended the command instead (the
// session lives on) or the session died.
bool CImapSession::SState::WaitContinuation(const std::string &tag, SImapResponse &continuation, std::string &why)
{
    for (;;) {
        SImapResponse response;
        std::size_t memory = 0;
        if (!ReadResponse(response, memory, why))
            return false;
        if (response.tag == "+") {
            continuation = std::move(response);
            return true;
        }
        if (response.tag == tag) {
            Forget(tag);
            why = "the server refused the command: " + response.name + " " + StatusText(response.code, response.text);
            return false;
        }
        if (response.tag == "*" && response.name == "BYE")
            return Die("the server ended the session: " + StatusText(response.code, response.text), why);
        if (response.tag != "*" && std::find(open.begin(), open.end(), response.tag) == open.end())
            return Die("the server's answer is malformed: it ended a command never sent (tag " +
                           response.tag.substr(0, 20) + ")", why);
        heldMemory += memory + response.text.size() + 64;
        if (heldMemory > MAX_HELD_MEMORY)
            return Die("the server sent more than " + std::to_string(MAX_HELD_MEMORY) +
                           " bytes of answers before its continuation", why);
        held.push_back(std::move(response));
    }
}

// Appends a literal of size bytes, from text or from file, to out, and sends it: at once
// where LITERAL+ (or LITERAL- for a small one) allows, otherwise after the continuation.
bool CImapSession::SState::Literal(const std::string *text, FILE *file, std::uint64_t size, const std::string &tag,
                                   std::string &out, std::string &why)
{
    bool nonSynchronizing =
        Has("LITERAL+") || ((Has("LITERAL-") || Has("IMAP4REV2")) && size <= LITERAL_MINUS_LIMIT);
    out += '{';
    out += std::to_string(size);
    out += nonSynchronizing ? "+}\r\n" : "}\r\n";
    if (!nonSynchronizing) {
        if (!Write(out, why))
            return false;
        SImapResponse continuation;
        if (!WaitContinuation(tag, continuation, why))
            return false;
    }
    if (text != nullptr) {
        out += *text;
        return true;
    }
    std::uint64_t left = size;
    while (left > 0) {
        if (out.size() >= WRITE_PIECE && !Write(out, why))
            return false;
        std::size_t old = out.size();
        std::size_t piece = left < WRITE_PIECE ? static_cast<std::size_t>(left) : WRITE_PIECE;
        out.resize(old + piece);
        std::size_t got = std::fread(&out[old], 1, piece, file);
        out.resize(old + got);
        if (got != piece)
            // The server waits for bytes that will not come: nothing can follow on this
            // connection.
            return Die("the file to send ended " + std::to_string(left - got) + " bytes before its literal did" +
                           (std::ferror(file) ? std::string(": ") + std::strerror(errno) : std::string()),
                       why);
        left -= got;
    }
    return true;
}

CImapSession::CImapSession() = default;
CImapSession::~CImapSession() = default;

bool CImapSession::Attach(std::unique_ptr<INetStream> stream, const SImapServer &server, std::string &why)
{
    m_state.reset(new SState);
    SState &s = *m_state;
    s.stream = std::move(stream);
    s.reader.stream = s.stream.get();
    s.server = server;
    s.alive = true;
    std::string failure;
    if (server.implicitTls && !s.stream->StartTls(server.host, server.caFile, failure))
        return s.Die(failure, why);
    SImapResponse greeting;
    if (!s.Next(greeting, why))
        return false;
    if (greeting.tag == "*" && greeting.name == "BYE")
        return s.Die("the server refused the session: " + StatusText(greeting.code, greeting.text), why);
    if (greeting.tag != "*" || (greeting.name != "OK" && greeting.name != "PREAUTH"))
        return s.Die("the server's greeting is not one of IMAP: " + greeting.tag + " " + greeting.name, why);
    s.preauth = greeting.name == "PREAUTH";
    SImapResult result;
    if (!s.capabilitiesSeen && !Run({SImapArg::Atom("CAPABILITY")}, nullptr, result, why))
        return false;
    if (server.implicitTls)
        return true;
    if (s.preauth) {
        // STARTTLS cannot follow PREAUTH (RFC 9051 6.2.1).
        if (!s.stream->Loopback())
            return s.Die("the server gave a session without TLS (PREAUTH), which is not used", why);
        return true;
    }
    if (!Has("STARTTLS")) {
        if (s.stream->Loopback())
            return true;
        return s.Die("the server offers no STARTTLS: the connection would not be private, so it is not used", why);
    }
    if (!Run({SImapArg::Atom("STARTTLS")}, nullptr, result, why))
        return false;
    if (!result.Ok())
        return s.Die("the server refused STARTTLS: " + StatusText(result.code, result.text), why);
    // Bytes sent before TLS began and read after it would be taken as protected.
    if (s.reader.at != s.reader.in.size() || !s.held.empty())
        return s.Die("the server sent more after its answer to STARTTLS, before TLS began", why);
    if (!s.stream->StartTls(server.host, server.caFile, failure))
        return s.Die(failure, why);
    s.capabilities.clear();
    s.capabilitiesSeen = false;
    return Run({SImapArg::Atom("CAPABILITY")}, nullptr, result, why);
}

bool CImapSession::Connect(const SImapServer &server, std::string &why)
{
    std::unique_ptr<INetStream> stream = ConnectTo(server.host, server.port, server.timeoutSeconds, why);
    if (!stream) {
        m_state.reset();
        return false;
    }
    return Attach(std::move(stream), server, why);
}

bool CImapSession::Has(const char *capability) const
{
    return m_state && m_state->Has(capability);
}

bool CImapSession::PreAuthenticated() const
{
    return m_state && m_state->preauth;
}

bool CImapSession::Throttled() const
{
    return m_state && m_state->throttled;
}

bool CImapSession::Alive() const
{
    return m_state && m_state->alive;
}

bool CImapSession::Send(const std::vector<SImapArg> &args, std::string &tag, std::string &why)
{
    if (!Alive()) {
        why = m_state ? m_state->deadWhy : "the session is not connected";
        return false;
    }
    SState &s = *m_state;
    tag = s.NewTag();
    s.open.push_back(tag);
    std::size_t estimate = std::accumulate(args.begin(), args.end(), tag.size() + 2,
                                           [](std::size_t n, const SImapArg &arg) { return n + 2 * arg.text.size() + 32; });
    std::string out;
    // Large enough from the start for most commands, so that no copy of a password is left
    // in a buffer the string let go while growing.
    out.reserve(estimate < 2 * WRITE_PIECE ? estimate : 2 * WRITE_PIECE);
    out = tag;
    for (const SImapArg &arg : args) {
        out += SP;
        if (arg.kind == SImapArg::ATOM) {
            out += arg.text;
        } else if (arg.kind == SImapArg::STRING && Quotable(arg.text)) {
            out += '"';
            for (char c : arg.text) {
                if (c == '"' || c == '\\')
                    out += '\\';
                out += c;
            }
            out += '"';
        } else if (arg.kind == SImapArg::STRING) {
            if (!s.Literal(&arg.text, nullptr, arg.text.size(), tag, out, why)) {
                WipeBytes(out);
                return false;
            }
        } else if (!SetStreamPosition(arg.file, static_cast<long long>(arg.at))) {
            WipeBytes(out);
            // What the command sent so far cannot be taken back.
            return s.Die(std::string("cannot read the file to send: ") + std::strerror(errno), why);
        } else if (!s.Literal(nullptr, arg.file, arg.size, tag, out, why)) {
            WipeBytes(out);
            return false;
        }
    }
    out += "\r\n";
    return s.Write(out, why);
}

bool CImapSession::Wait(const std::string &tag, const std::function<void(const SImapResponse &)> &untagged,
                        SImapResult &result, std::string &why)
{
    if (!m_state) {
        why = "the session is not connected";
        return false;
    }
    SState &s = *m_state;
    for (std::size_t i = 0; i < s.ended.size(); ++i)
        if (s.ended[i].first == tag) {
            result = std::move(s.ended[i].second);
            s.ended.erase(s.ended.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    if (!s.alive) {
        why = s.deadWhy;
        return false;
    }
    if (std::find(s.open.begin(), s.open.end(), tag) == s.open.end()) {
        why = "no command is waiting under the tag " + tag;
        return false;
    }
    for (;;) {
        SImapResponse response;
        if (!s.Next(response, why))
            return false;
        if (response.tag == "*") {
            if (response.name == "BYE")
                return s.Die("the server ended the session: " + StatusText(response.code, response.text), why);
            if (untagged)
                untagged(response);
            continue;
        }
        if (response.tag == "+")
            return s.Die("the server's answer is malformed: a continuation no command asked for", why);
        SImapResult end;
        end.status = response.name;
        end.code = std::move(response.code);
        end.text = std::move(response.text);
        // Refused for going too fast: no answer to build on, as when the connection drops.
        if (!end.Ok() && end.HasCode("THROTTLED"))
            return s.Die("the server asks for a pause: " + end.status + " " + StatusText(end.code, end.text), why);
        if (response.tag == tag) {
            s.Forget(tag);
            result = std::move(end);
            return true;
        }
        if (std::find(s.open.begin(), s.open.end(), response.tag) == s.open.end())
            return s.Die("the server's answer is malformed: it ended a command never sent (tag " +
                             response.tag.substr(0, 20) + ")", why);
        s.Forget(response.tag);
        s.ended.emplace_back(response.tag, std::move(end));
    }
}

bool CImapSession::Run(const std::vector<SImapArg> &args, const std::function<void(const SImapResponse &)> &untagged,
                       SImapResult &result, std::string &why)
{
    std::string tag;
    return Send(args, tag, why) && Wait(tag, untagged, result, why);
}

bool CImapSession::LogIn(const std::string &user, const SImapSecret &secret, std::string &why)
{
    if (!Alive()) {
        why = m_state ? m_state->deadWhy : "the session is not connected";
        return false;
    }
    SState &s = *m_state;
    if (s.preauth)
        return true;
    if (!s.stream->Secure() && !s.stream->Loopback()) {
        why = "a password or token is never sent over a connection without TLS";
        return false;
    }
    const char *mechanism = nullptr;
    std::string message;  // the SASL initial response, before base64
    if (secret.kind == SImapSecret::BEARER) {
        std::string escaped;  // RFC 5801's saslname: "," and "=" escaped
        for (char c : user)
            escaped += c == ',' ? std::string("=2C") : c == '=' ? std::string("=3D") : std::string(1, c);
        if (s.Has("AUTH=OAUTHBEARER")) {
            mechanism = "OAUTHBEARER";
            message.reserve(escaped.size() + secret.secret.size() + 32);
            message.append("n,a=").append(escaped).append(",\x01" "auth=Bearer ");
        } else if (s.Has("AUTH=XOAUTH2")) {
            mechanism = "XOAUTH2";
            message.reserve(user.size() + secret.secret.size() + 32);
            message.append("user=").append(user).append("\x01" "auth=Bearer ");
        } else {
            why = "the server takes no token (it offers neither AUTH=OAUTHBEARER nor AUTH=XOAUTH2)";
            return false;
        }
        message += secret.secret;
        message += "\x01\x01";
    } else if (s.Has("AUTH=PLAIN")) {
        mechanism = "PLAIN";
        message.reserve(user.size() + secret.secret.size() + 2);
        message += NUL;
        message += user;
        message += NUL;
        message += secret.secret;
    } else if (s.Has("LOGINDISABLED")) {
        why = "the server takes no password (LOGINDISABLED, and no AUTH=PLAIN)";
        return false;
    }

    std::string tag;
    std::string out;
    bool sent;
    if (mechanism == nullptr) {
        // Moved in, not copied from a list, so that the one copy of the password is wiped.
        std::vector<SImapArg> args;
        args.reserve(3);
        args.push_back(SImapArg::Atom("LOGIN"));
        args.push_back(SImapArg::String(user));
        args.push_back(SImapArg::String(secret.secret));
        sent = Send(args, tag, why);
        WipeBytes(args[2].text);
    } else {
        tag = s.NewTag();
        s.open.push_back(tag);
        // Appended to, never assigned, so that the buffer reserved is the one that holds it.
        out.reserve(tag.size() + 32 + Base64Size(message.size()));
        out.append(tag).append(" AUTHENTICATE ").append(mechanism);
        if (s.Has("SASL-IR")) {
            out += SP;
            AppendBase64(message, out);
            out += "\r\n";
            sent = s.Write(out, why);
        } else {
            out += "\r\n";
            SImapResponse continuation;
            sent = s.Write(out, why) && s.WaitContinuation(tag, continuation, why);
            if (sent) {
                out.reserve(Base64Size(message.size()) + 2);
                AppendBase64(message, out);
                out += "\r\n";
                sent = s.Write(out, why);
            }
        }
        WipeBytes(message);
    }
    if (!sent)
        return false;

    // A server that refuses a token first says why in a challenge, and waits for a reply
    // before its NO (RFC 7628 3.2.3).
    std::string challenge;
    SImapResult result;
    s.capabilitiesSeen = false;
    for (;;) {
        SImapResponse response;
        if (!s.Next(response, why))
            return false;
        if (response.tag == "+") {
            if (!challenge.empty() || mechanism == nullptr)
                return s.Die("the server's answer is malformed: a continuation the login did not ask for", why);
            challenge = PrintableBase64(response.text);
            if (challenge.empty())
                challenge = "?";
            // OAUTHBEARER's reply to an error is %x01; XOAUTH2's is empty; PLAIN has none.
            out = std::strcmp(mechanism, "OAUTHBEARER") == 0 ? "AQ==\r\n"
                  : std::strcmp(mechanism, "XOAUTH2") == 0   ? "\r\n"
                                                             : "*\r\n";
            if (!s.Write(out, why))
                return false;
            continue;
        }
        if (response.tag == "*") {
            if (response.name == "BYE")
                return s.Die("the server ended the session: " + StatusText(response.code, response.text), why);
            continue;
        }
        if (response.tag != tag)
            return s.Die("the server's answer is malformed: it ended a command never sent (tag " +
                             response.tag.substr(0, 20) + ")", why);
        s.Forget(tag);
        result.status = response.name;
        result.code = std::move(response.code);
        result.text = response.text;
        break;
    }
    if (!result.Ok()) {
        why = "the server refused the login: " + result.status + " " + StatusText(result.code, result.text);
        if (!challenge.empty() && challenge != "?")
            why += " (" + challenge + ")";
        return false;
    }
    if (s.capabilitiesSeen)
        return true;
    // Logged in all the same where the server will not tell: those it gave before stand.
    return Run({SImapArg::Atom("CAPABILITY")}, nullptr, result, why);
}

void CImapSession::Close()
{
    if (!Alive())
        return;
    SState &s = *m_state;
    std::string tag;
    std::string why;
    if (Send({SImapArg::Atom("LOGOUT")}, tag, why)) {
        SImapResponse response;
        while (s.alive && s.Next(response, why) && response.tag != tag) {
        }
    }
    s.Die("the session was closed", why);
}
