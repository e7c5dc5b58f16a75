// The names of maildir messages (cur/, new/ and tmp/, one message a file): what a
// temporary file in tmp/ is for, the name a converted message takes, and the part of a name
// that its flags leave alone.
#pragma once

#include <cstdint>
#include <string>

// What a maildir message's temporary file in tmp/ is made for: its directory ("cur" or
// "new") and its name, as one name for NewTemporaryName; and back.
std::string MessageReference(const std::string &sub, const std::string &name);
bool ReadMessageReference(const std::string &reference, std::string &sub, std::string &name);

// The name a changed message takes: the unique part of our temporary file's name (the
// temporary file's own name up to the name it was made for), then the fields of the old
// name's unique part after its first comma (",U=" of mbsync and the like) with the sizes
// written anew where it had them (",S=" the file's size, ",W=" its size with every line
// end counted as CR LF, as Dovecot reads them), then the old name's info (":2,FLAGS",
// ":1,…" or none, as it was): a server that names messages by content sees a new message,
// and its flags and keywords stay.  Our mark in the unique part is preceded by the old
// name's PairingMark, so that a run stopped between the new name and the deletion of the
// old leaves a pair that the next run finds by the names alone, whatever became of tmp/.
std::string NewMessageName(const std::string &oldName, const std::string &temporary, std::uint64_t size,
                           std::uint64_t crlfSize);

// The part of a maildir message's name that stays when a mail program changes its flags:
// all before the info (":2,…" or the experimental ":1,…", or with ';' or '!' for ':' where
// ':' cannot stand in a name); the whole name where it has none.
std::string MessageUnique(const std::string &name);
// What NewMessageName writes of oldName into the new name: 'O' and 16 hex digits of a hash
// of its unique part.
std::string PairingMark(const std::string &oldName);
// True when name is one NewMessageName made; mark receives the PairingMark it carries.
bool PairedWith(const std::string &name, std::string &mark);

// True when name, in a directory of a maildir where inMaildir, is one of a mail server's or
// a sync tool's own files or directories, which they replace as they work: Dovecot's
// (dovecot*), Courier's (courierimap*), mbsync's (.mbsyncstate*), and in a maildir the quota
// file and the list of subscriptions.
bool IsServersOwn(const std::string &name, bool inMaildir);
// Why those are passed over, in the summary's words.
extern const char SERVERS_OWN[];
