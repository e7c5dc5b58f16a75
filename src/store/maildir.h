// Maildirs (cur/, new/ and tmp/, one message a file) and the temporary files that the
// stores here write beside the files they replace.
#pragma once

#include <cstdint>
#include <string>

// A new name for a temporary file of ours, made for the file called forName ("" for none):
// in maildir's pattern time.unique.host, our mark ending its unique part, so that a reader
// of a maildir takes it for a delivery under way; then, where it fits within a name's 255
// bytes, a comma and forName.  Unique within this process, and across processes by the
// time, the process and a random number.
std::string NewTemporaryName(const std::string &forName);
// True when name is one that NewTemporaryName makes; forName, when given, receives the
// name it was made for ("" where it names none).
bool IsOurTemporary(const std::string &name, std::string *forName = nullptr);
// True when name is one that NewTemporaryName makes, made by a process of this machine
// that is still running: a run at work there, whose files are not to be tidied away.
bool IsOfRunningProcess(const std::string &name);

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
