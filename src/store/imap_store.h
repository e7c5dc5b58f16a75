// Mail on an IMAP account converted where it lies: each mail that needs converting is
// replaced by its conversion, appended to the same mailbox with its flags, keywords, labels
// and date, read back and compared, and only then is the original moved to the account's
// Trash.  A journal in the state directory lets the next run complete a run that was killed
// or cut off, and lets --undo put the last run's originals back.
#pragma once

#include <string>
#include <vector>

#include "imap_account.h"
#include "imap_wire.h"
#include "tree.h"

struct SImapOptions {
    SConverters converters;               // what converts a mail, as a file of one mail
    bool check = false;                   // change nothing: count what would be converted
    bool recursive = false;               // every mailbox of the account (under the URL's)
    std::string caFile;                   // one more authority to trust
    SCredentialSources credentials;
    ITreeProgress *progress = nullptr;    // null for none
    int timeoutSeconds = 120;
};

// Converts the mailbox url names, or with options.recursive every mailbox of its account
// under it (on a server with Gmail's extensions, its All Mail alone, which holds every
// mail once), telling report what it did as a walk over trees does, report.path then
// being the mailbox's URL.  Returns true when nothing failed.
bool ConvertImap(const std::string &url, const SImapOptions &options, STreeReport &report);

// Puts back the originals of the last run that converted mail on url's account (moved back
// from Trash), and removes their converted copies.  Returns true when nothing failed.
bool UndoImap(const std::string &url, const SImapOptions &options, STreeReport &report);

// Whether a mail whose structure (BODYSTRUCTURE) and header fields (Content-Type, Subject,
// From, To, Cc) are these may hold ISO-2022-KR: true where either names the charset; and
// into look, the parts ("1", "2.1") of text with no charset or US-ASCII, whose bytes may
// hold it unlabelled.
bool NamesIso2022Kr(const SImapValue &structure, const std::string &fields, std::vector<std::string> &look);
