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
    // "USER@HOST" with ":PORT" where it is not the default: the account in messages and in
    // the journal's names (never a password).
    std::string Account() const;
};

// True when text starts as an IMAP URL does ("imap://" or "imaps://", any case).
bool IsImapUrl(const std::string &text);
// Reads text as imap[s]://USER[;AUTH=...]@HOST[:PORT][/MAILBOX].  False with why where it is
// not one (no user, no host, a bad port, a password in the URL, percent-encoding that is
// not UTF-8).
bool ParseImapUrl(const std::string &text, SImapUrl &url, std::string &why);

// A mailbox name in UTF-8 as modified UTF-7, and back: false where name is not modified
// UTF-7 (then utf8 is left empty).
std::string EncodeMailboxName(const std::string &utf8);
bool DecodeMailboxName(const std::string &name, std::string &utf8);

// Where the secret comes from, in this order: oauth2Command's first line as a bearer token;
// passwordCommand's first line; the user's ~/.netrc (its "machine HOST login USER password
// PW" entry, refused where others may read the file); a prompt on the terminal without echo
// where standard input is one.
struct SCredentialSources {
    std::string oauth2Command;
    std::string passwordCommand;
    bool prompt = true;
};
// Fills secret for url's user and host.  False with why (the command's status and its first
// line of errors, the .netrc's mode) where there is none; never prints the secret.
bool GetSecret(const SImapUrl &url, const SCredentialSources &sources, SImapSecret &secret, std::string &why);
