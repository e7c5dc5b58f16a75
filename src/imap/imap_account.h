// What names an IMAP account and its mailboxes (the imap:// and imaps:// URLs of RFC 5092, and
// mailbox names in modified UTF-7, RFC 3501 5.1.3), and where the user's password or token
// comes from.
#pragma once

#include <string>

#include "imap_wire.h"

// An account, or one mailbox of it, as a URL names it.
struct SImapUrl {
    bool tls = true;      // imaps://; imap:// goes through STARTTLS
    std::string user;     // percent-decoded
    std::string host;     // lower-cased; an IPv6 address without its brackets
    unsigned port = 993;  // 993 for imaps://, 143 for imap://, where none is given
    std::string mailbox;  // percent-decoded UTF-8; "" where the URL names the account
    // "USER@HOST" with ":PORT" where it is not the scheme's default, an IPv6 address in its
    // brackets: the account in messages and in the journal's names (never a password).  user
    // may hold '@', '/' or any UTF-8: a file name made of it needs its own escaping.
    std::string Account() const;
};

// True when text starts as an IMAP URL does ("imap://" or "imaps://", any case).
bool IsImapUrl(const std::string &text);
// Reads text as imap[s]://USER[;AUTH=...]@HOST[:PORT][/MAILBOX] (";AUTH=" is accepted and
// not kept: the secret's kind chooses the mechanism; one trailing '/' is dropped, so that
// "imaps://USER@HOST/" names the account).  False with why where it is not one (no user, no
// host, a bad port, a password in the URL, percent-encoding that is not UTF-8, a control
// character in the user or mailbox, RFC 5092's UIDVALIDITY, UID, section or search).  why
// never holds the URL's text: a password in it stays out of the message.
bool ParseImapUrl(const std::string &text, SImapUrl &url, std::string &why);

// text with each %XX (RFC 3986's pct-encoded) as its byte into decoded.  False where a '%' is
// not followed by two hex digits.
bool PercentDecode(const std::string &text, std::string &decoded);

// A mailbox name in UTF-8 as modified UTF-7, and back.  EncodeMailboxName gives "" where
// utf8 is not UTF-8.  DecodeMailboxName is false, utf8 left empty, where name is not modified
// UTF-7 as it must be written (an 8-bit byte, bad or unterminated BASE64, a UTF-16 unit cut
// short or a surrogate alone, padding bits not zero, a printable character shifted, two runs
// where one would do): each name has one spelling, so names compare as their bytes.
std::string EncodeMailboxName(const std::string &utf8);
bool DecodeMailboxName(const std::string &name, std::string &utf8);

// Where the secret comes from, in this order: oauth2Command's first line as a bearer token;
// passwordCommand's first line; the user's ~/.netrc (%USERPROFILE%\_netrc on Windows): its
// first "machine HOST" entry whose login is USER or that has none, else its "default" entry
// (refused, with the file's name and "chmod 600", where that entry is found in a file others
// may read or write); a prompt on the terminal without echo where prompt is true and standard
// input is one.  A command given that fails is a failure, not a reason to look further.
struct SCredentialSources {
    std::string oauth2Command;
    std::string passwordCommand;
    bool prompt = true;
};
// Fills secret for url's user and host (kind and secret only).  False with why where there is
// none: the command's status (its standard error goes to the program's own), "wrote nothing"
// or an empty first line; the .netrc's mode; the ways to give one.  Never prints the secret
// nor puts it in why; every buffer of ours that held it is wiped.
bool GetSecret(const SImapUrl &url, const SCredentialSources &sources, SImapSecret &secret, std::string &why);
