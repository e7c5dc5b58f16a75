// Names an IMAP account and its mailboxes: imap:// and imaps:// URLs (RFC 5092, over the
// generic syntax of RFC 3986) and mailbox names in modified UTF-7 (RFC 3501 5.1.3); and
// finds the user's password or token, as mail programs do (a command, ~/.netrc, a prompt).
#include "imap_account.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "front_end.h"

namespace {

const unsigned IMAPS_PORT = 993;
const unsigned IMAP_PORT = 143;
const char PERCENT = '%';
const char SHIFT = '&';      // modified UTF-7: starts modified BASE64, "&-" is '&' itself
const char UNSHIFT = '-';    // ends modified BASE64
const char MODIFIED_BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
// The longest first line taken from a command: an OAuth 2.0 access token runs to a few KiB.
const std::size_t MAX_COMMAND_LINE = std::size_t{64} * 1024;
// The largest .netrc read: one larger is not one.
const long MAX_NETRC = 1024L * 1024;

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether text holds prefix at at, its letters in either case.
bool HasFolded(const std::string &text, std::size_t at, const char *prefix)
{
    std::size_t n = std::strlen(prefix);
    if (at > text.size() || text.size() - at < n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (LowerAscii(text[at + i]) != LowerAscii(prefix[i]))
            return false;
    }
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = LowerAscii(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}


// Reads the character of UTF-8 text at at into code, moving at past it.  False where it is
// not one (RFC 3629: the shortest form, no surrogate, nothing past U+10FFFF).
bool NextCodePoint(const std::string &text, std::size_t &at, char32_t &code)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                       : lead >= 0xF0 && lead <= 0xF4   ? 4
                                                                        : 0;
    if (length == 0 || text.size() - at < length)
        return false;
    code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return false;
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    static const char32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < SHORTEST[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return false;
    at += length;
    return true;
}

bool IsUtf8(const std::string &text)
{
    char32_t code = 0;
    for (std::size_t at = 0; at < text.size();) {
        if (!NextCodePoint(text, at, code))
            return false;
    }
    return true;
}

void AppendUtf8(char32_t code, std::string &text)
{
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | code >> 6);
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | code >> 12);
        text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | code >> 18);
        text += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        text += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// A control character (C0 or DEL), which no user or mailbox name sent in a command may hold.
bool HasControl(const std::string &text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// reg-name as host names are written: letters, digits, '-', '.', '_'.
bool IsHostName(const std::string &host)
{
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
               c == '_';
    });
}

// An IPv6 address as IP-literal holds it (hex groups, colons, a dotted IPv4 tail); the
// connection's resolver is its full check.
bool IsIpv6(const std::string &host)
{
    std::size_t colons = 0;
    for (char c : host) {
        if (c == ':')
            ++colons;
        else if (HexValue(c) < 0 && c != '.')
            return false;
    }
    return colons >= 2;
}

// port = *DIGIT, here 1 to 65535.
bool ParsePort(const std::string &text, unsigned &port)
{
    if (text.empty() || text.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

// Wipes all the bytes the string's buffer holds, not only those in use, and empties it.
void WipeString(std::string &text)
{
    text.resize(text.capacity());
    if (!text.empty())
        WipeMemory(&text[0], text.size());
    text.clear();
}

// One entry of a .netrc: "machine NAME" or "default", with its login and password.
struct SNetrcEntry {
    bool any = false;  // default: any machine
    bool machineMatches = false;
    bool hasLogin = false;
    bool loginMatches = false;
    bool hasPassword = false;
    std::string password;  // reserved whole, so that it is never moved
};

// Reads the .netrc's tokens (white space apart, or "quoted" with \ escaping), one at a time.
class CNetrcTokens {
public:
    CNetrcTokens(const std::string &text, std::string &token) : m_text(text), m_token(token) {}
    // The next token into token; false at the end.
    bool Next()
    {
        m_token.clear();
        while (m_at < m_text.size() && IsBlank(m_text[m_at]))
            ++m_at;
        if (m_at == m_text.size())
            return false;
        if (m_text[m_at] != '"') {
            while (m_at < m_text.size() && !IsBlank(m_text[m_at]))
                m_token += m_text[m_at++];
            return true;
        }
        for (++m_at; m_at < m_text.size() && m_text[m_at] != '"'; ++m_at) {
            char c = m_text[m_at];
            if (c == '\\' && m_at + 1 < m_text.size()) {
                c = m_text[++m_at];
                c = c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
            }
            m_token += c;
        }
        if (m_at < m_text.size())
            ++m_at;  // the closing quote
        return true;
    }
    // Passes the rest of the line and the lines after it up to an empty one: a macdef's body.
    void SkipMacro()
    {
        std::size_t end = m_text.find('\n', m_at);
        while (end != std::string::npos) {
            std::size_t next = end + 1;
            if (next == m_text.size() || m_text[next] == '\n' || m_text.compare(next, 2, "\r\n") == 0)
                break;
            end = m_text.find('\n', next);
        }
        m_at = end == std::string::npos ? m_text.size() : end + 1;
    }

private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

    const std::string &m_text;
    std::string &m_token;
    std::size_t m_at = 0;
};

// Finds in text, a .netrc, the password for host and user: the first "machine host" entry
// whose login is user or that has none, else the "default" entry if its login is user or it
// has none.  Each entry ends where the next "machine" or "default" starts.  password must
// have text's size reserved (so that it is never moved); false where no entry gives one.
bool FindNetrcPassword(const std::string &text, const std::string &host, const std::string &user,
                       std::string &password)
{
    std::string token, lowered;
    token.reserve(text.size());
    SNetrcEntry entry, fallback;
    entry.password.reserve(text.size());
    fallback.password.reserve(text.size());
    bool inEntry = false, found = false;
    auto settle = [&]() {
        bool usable = inEntry && entry.hasPassword && (!entry.hasLogin || entry.loginMatches);
        if (usable && entry.machineMatches) {
            password = entry.password;
            found = true;
        } else if (usable && entry.any && !fallback.hasPassword) {
            fallback.hasPassword = true;
            fallback.password = entry.password;
        }
        entry.any = entry.machineMatches = entry.hasLogin = entry.loginMatches = entry.hasPassword = false;
        entry.password.clear();
    };
    CNetrcTokens tokens(text, token);
    while (!found && tokens.Next()) {
        if (token == "machine" || token == "default") {
            settle();
            inEntry = true;
            entry.any = token == "default";
            if (!entry.any && tokens.Next()) {
                lowered.clear();
                for (char c : token)
                    lowered += LowerAscii(c);
                entry.machineMatches = lowered == host;
            }
        } else if (token == "login" && tokens.Next()) {
            entry.hasLogin = true;
            entry.loginMatches = token == user;
        } else if (token == "password" && tokens.Next()) {
            entry.hasPassword = true;
            entry.password = token;
        } else if (token == "account") {
            (void)tokens.Next();
        } else if (token == "macdef") {
            (void)tokens.Next();
            tokens.SkipMacro();
        }
    }
    if (!found)
        settle();
    if (!found && fallback.hasPassword) {
        password = fallback.password;
        found = true;
    }
    WipeString(token);
    WipeString(entry.password);
    WipeString(fallback.password);
    return found;
}

// Runs command (given by option) for its first line of output, without its LF or CR LF,
// into line; the rest of the output is read and dropped.  False with why (its status, never
// what it wrote).  Every buffer that held its output is wiped; line is the caller's to wipe.
bool FirstLineOf(const char *option, const std::string &command, std::string &line, std::string &why)
{
    line.clear();
    line.reserve(MAX_COMMAND_LINE + 1);
    std::string reason;
    FILE *output = StartCommand(command, reason);
    if (output == nullptr) {
        why = std::string(option) + " cannot be started: " + reason;
        return false;
    }
    (void)setvbuf(output, nullptr, _IONBF, 0);
    char chunk[4096];
    bool any = false, ended = false, tooLong = false;
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, output)) > 0) {
        any = true;
        if (!ended) {
            const char *lf = static_cast<const char *>(std::memchr(chunk, '\n', n));
            std::size_t take = lf != nullptr ? static_cast<std::size_t>(lf - chunk) : n;
            if (line.size() + take > MAX_COMMAND_LINE)
                tooLong = true;
            else
                line.append(chunk, take);
            ended = lf != nullptr || tooLong;
        }
        WipeMemory(chunk, n);
    }
    bool readFailed = std::ferror(output) != 0;
    bool success = EndCommand(output, reason);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (!success)
        why = std::string(option) + " failed: it " + reason;
    else if (readFailed)
        why = std::string(option) + ": its output cannot be read";
    else if (!any)
        why = std::string(option) + " wrote nothing";
    else if (tooLong)
        why = std::string(option) + ": its first line is longer than " + std::to_string(MAX_COMMAND_LINE) + " bytes";
    else if (line.empty())
        why = std::string(option) + ": its first line is empty";
    else
        return true;
    WipeString(line);
    return false;
}

// Reads the .netrc's entry for url's host and user into password.  False with found false
// where there is no .netrc, or no entry in it gives a password; false with found true and
// why where it cannot be read, or others may read or write it.
bool NetrcPassword(const SImapUrl &url, std::string &password, bool &found, std::string &path, std::string &why)
{
    found = false;
    std::string reason;
    FILE *file = OpenNetrc(path, reason);
    if (file == nullptr) {
        found = !reason.empty();
        if (found)
            why = path + ": " + reason;
        return false;
    }
    std::string text;
    long size = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    bool readable = size >= 0 && size <= MAX_NETRC && std::fseek(file, 0, SEEK_SET) == 0;
    if (readable) {
        text.assign(static_cast<std::size_t>(size), '\0');
        std::size_t got = text.empty() ? 0 : std::fread(&text[0], 1, text.size(), file);
        readable = got == text.size() || std::ferror(file) == 0;
        text.resize(got);
    }
    bool open = IsOpenToOthers(file);
    std::fclose(file);
    if (!readable) {
        found = true;
        why = path + ": cannot be read" + (size > MAX_NETRC ? " (larger than 1 MiB)" : "");
        WipeString(text);
        return false;
    }
    password.reserve(text.size());
    found = FindNetrcPassword(text, url.host, url.user, password);
    WipeString(text);
    if (found && open) {
        WipeString(password);
        why = path + " may be read or written by others: its password is not taken (chmod 600 " + path + ")";
        return false;
    }
    return found;
}

}  // namespace

bool PercentDecode(const std::string &text, std::string &decoded)
{
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != PERCENT) {
            decoded += text[i];
            continue;
        }
        int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0)
            return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

std::string SImapUrl::Account() const
{
    std::string account = user + '@' + (host.find(':') != std::string::npos ? '[' + host + ']' : host);
    if (port != (tls ? IMAPS_PORT : IMAP_PORT))
        account += ':' + std::to_string(port);
    return account;
}

bool IsImapUrl(const std::string &text)
{
    return HasFolded(text, 0, "imap://") || HasFolded(text, 0, "imaps://");
}

// imapurl = ("imap://" / "imaps://") iserver ["/" [enc-mailbox]]
// iserver = [iuserinfo "@"] host [":" port]; iuserinfo = enc-user [iauth] / [enc-user] iauth
// iauth = ";AUTH=" ("*" / enc-auth-type).  The user is required here, and taken as given
// whatever iauth says: the secret's kind chooses the mechanism.
bool ParseImapUrl(const std::string &text, SImapUrl &url, std::string &why)
{
    SImapUrl parsed;
    std::size_t at = 0;
    if (HasFolded(text, 0, "imaps://")) {
        at = std::strlen("imaps://");
    } else if (HasFolded(text, 0, "imap://")) {
        parsed.tls = false;
        parsed.port = IMAP_PORT;
        at = std::strlen("imap://");
    } else {
        why = "not an IMAP URL (imaps://USER@HOST/MAILBOX)";
        return false;
    }
    std::size_t slash = text.find('/', at);
    std::string authority = text.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    if (authority.find_first_of("?#") != std::string::npos) {
        why = "a query or fragment in an IMAP URL is not supported: name the mailbox alone";
        return false;
    }
    std::size_t atSign = authority.rfind('@');
    if (atSign == std::string::npos) {
        why = "no user: write imaps://USER@HOST";
        return false;
    }
    std::string userinfo = authority.substr(0, atSign), hostport = authority.substr(atSign + 1);
    // A password never stays in a URL: others see it in the process list and the history.
    if (userinfo.find(':') != std::string::npos) {
        why = "a password in the URL is not taken: give it by --password-command or ~/.netrc";
        return false;
    }
    std::size_t semicolon = userinfo.find(';');
    if (semicolon != std::string::npos &&
        (!HasFolded(userinfo, semicolon, ";AUTH=") || userinfo.size() == semicolon + std::strlen(";AUTH=") ||
         userinfo.find(';', semicolon + 1) != std::string::npos)) {
        why = "after the user, only ;AUTH=MECHANISM is taken";
        return false;
    }
    if (!PercentDecode(userinfo.substr(0, semicolon), parsed.user)) {
        why = "the user's percent-encoding is broken (%XX)";
        return false;
    }
    if (parsed.user.empty()) {
        why = "no user: write imaps://USER@HOST";
        return false;
    }
    if (!IsUtf8(parsed.user) || HasControl(parsed.user)) {
        why = "the user is not UTF-8 text once percent-decoded";
        return false;
    }
    std::string portText;
    bool hasPort = false;
    if (!hostport.empty() && hostport[0] == '[') {
        std::size_t close = hostport.find(']');
        if (close == std::string::npos) {
            why = "an IPv6 address without its closing ']'";
            return false;
        }
        parsed.host = hostport.substr(1, close - 1);
        if (!IsIpv6(parsed.host)) {
            why = "not an IPv6 address: [" + parsed.host + "]";
            return false;
        }
        hasPort = close + 1 < hostport.size();
        if (hasPort && hostport[close + 1] != ':') {
            why = "only :PORT may follow an IPv6 address's ']'";
            return false;
        }
        if (hasPort)
            portText = hostport.substr(close + 2);
    } else {
        std::size_t colon = hostport.find(':');
        parsed.host = hostport.substr(0, colon);
        hasPort = colon != std::string::npos;
        if (hasPort)
            portText = hostport.substr(colon + 1);
        if (parsed.host.empty()) {
            why = "no host: write imaps://USER@HOST";
            return false;
        }
        if (!IsHostName(parsed.host)) {
            why = "not a host name: " + parsed.host;
            return false;
        }
    }
    std::transform(parsed.host.begin(), parsed.host.end(), parsed.host.begin(), LowerAscii);
    if (hasPort && !ParsePort(portText, parsed.port)) {
        why = "the port must be a number from 1 to 65535";
        return false;
    }
    if (slash != std::string::npos) {
        std::string path = text.substr(slash + 1);
        // RFC 5092's ";UIDVALIDITY=", ";UID=", ";SECTION=" and "?search" name less than a mailbox.
        if (path.find_first_of("?;#") != std::string::npos) {
            why = "a UID, UIDVALIDITY, section or search in an IMAP URL is not supported: name the mailbox alone";
            return false;
        }
        if (!path.empty() && path.back() == '/')
            path.pop_back();
        if (!PercentDecode(path, parsed.mailbox)) {
            why = "the mailbox's percent-encoding is broken (%XX)";
            return false;
        }
        if (!IsUtf8(parsed.mailbox) || HasControl(parsed.mailbox)) {
            why = "the mailbox is not UTF-8 text once percent-decoded";
            return false;
        }
    }
    url = parsed;
    return true;
}

// Modified UTF-7: the printable characters of US-ASCII (0x20 to 0x7E) stand for
// themselves, '&' as "&-"; every run of others is "&", its UTF-16 in BASE64 with ',' for
// '/' and no padding, then "-".
std::string EncodeMailboxName(const std::string &utf8)
{
    std::string name;
    std::vector<std::uint16_t> run;
    auto endRun = [&]() {
        if (run.empty())
            return;
        name += SHIFT;
        std::uint32_t bits = 0;
        int count = 0;
        for (std::uint16_t unit : run) {
            bits = bits << 16 | unit;
            for (count += 16; count >= 6; count -= 6)
                name += MODIFIED_BASE64[bits >> (count - 6) & 0x3F];
            bits &= (1u << count) - 1;
        }
        if (count > 0)
            name += MODIFIED_BASE64[bits << (6 - count) & 0x3F];
        name += UNSHIFT;
        run.clear();
    };
    char32_t code = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        if (!NextCodePoint(utf8, at, code))
            return std::string();
        if (code >= 0x20 && code <= 0x7E) {
            endRun();
            name += static_cast<char>(code);
            if (code == static_cast<char32_t>(SHIFT))
                name += UNSHIFT;
        } else if (code >= 0x10000) {
            run.push_back(static_cast<std::uint16_t>(0xD800 + ((code - 0x10000) >> 10)));
            run.push_back(static_cast<std::uint16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            run.push_back(static_cast<std::uint16_t>(code));
        }
    }
    endRun();
    return name;
}

bool DecodeMailboxName(const std::string &name, std::string &utf8)
{
    utf8.clear();
    std::string text;
    for (std::size_t at = 0; at < name.size();) {
        char c = name[at++];
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            return false;
        if (c != SHIFT) {
            text += c;
            continue;
        }
        if (at < name.size() && name[at] == UNSHIFT) {
            text += SHIFT;
            ++at;
            continue;
        }
        std::vector<std::uint16_t> run;
        std::uint32_t bits = 0;
        int count = 0;
        for (; at < name.size() && name[at] != UNSHIFT; ++at) {
            const char *digit = std::strchr(MODIFIED_BASE64, name[at]);
            if (name[at] == '\0' || digit == nullptr)
                return false;
            bits = bits << 6 | static_cast<std::uint32_t>(digit - MODIFIED_BASE64);
            count += 6;
            if (count >= 16) {
                count -= 16;
                run.push_back(static_cast<std::uint16_t>(bits >> count));
                bits &= (1u << count) - 1;
            }
        }
        // Unterminated; or a byte short of a UTF-16 unit, or bits left over that are not
        // zero padding.
        if (at == name.size() || count >= 6 || bits != 0)
            return false;
        ++at;
        for (std::size_t i = 0; i < run.size(); ++i) {
            char32_t code = run[i];
            if (code >= 0xD800 && code <= 0xDBFF && i + 1 < run.size() && run[i + 1] >= 0xDC00 &&
                run[i + 1] <= 0xDFFF)
                code = 0x10000 + ((code - 0xD800) << 10) + (run[++i] - 0xDC00);
            else if (code >= 0xD800 && code <= 0xDFFF)
                return false;
            AppendUtf8(code, text);
        }
    }
    // One way only to write each name: a printable character shifted, or two runs where
    // one would do, is another name's spelling.
    if (EncodeMailboxName(text) != name)
        return false;
    utf8 = text;
    return true;
}

bool GetSecret(const SImapUrl &url, const SCredentialSources &sources, SImapSecret &secret, std::string &why)
{
    std::string line;
    if (!sources.oauth2Command.empty() || !sources.passwordCommand.empty()) {
        bool bearer = !sources.oauth2Command.empty();
        if (!FirstLineOf(bearer ? "--oauth2-command" : "--password-command",
                         bearer ? sources.oauth2Command : sources.passwordCommand, line, why))
            return false;
        secret.kind = bearer ? SImapSecret::BEARER : SImapSecret::PASSWORD;
        secret.secret.swap(line);
        WipeString(line);
        return true;
    }
    bool found = false;
    std::string netrc;
    if (NetrcPassword(url, line, found, netrc, why)) {
        secret.kind = SImapSecret::PASSWORD;
        secret.secret.swap(line);
        WipeString(line);
        return true;
    }
    if (found)
        return false;
    if (sources.prompt && IsTerminal(stdin)) {
        if (!ReadHiddenLine("Password for " + url.Account() + ": ", line, why)) {
            WipeString(line);
            why = "no password: " + why;
            return false;
        }
        if (line.empty()) {
            why = "no password typed";
            return false;
        }
        secret.kind = SImapSecret::PASSWORD;
        secret.secret.swap(line);
        WipeString(line);
        return true;
    }
    why = "no password for " + url.Account() + ": give --password-command CMD or --oauth2-command CMD, put \"machine " +
          url.host + " login " + url.user + " password ...\" in " + netrc +
          (sources.prompt ? ", or run it from a terminal to be asked" : "");
    return false;
}
