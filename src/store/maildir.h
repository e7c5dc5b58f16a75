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
// end counted as CR LF, as Dovecot reads them), then the old name's info (":2,FLAGS"):
// a server that names messages by content sees a new message, and its flags and keywords
// stay.
std::string NewMessageName(const std::string &oldName, const std::string &temporary, std::uint64_t size,
                           std::uint64_t crlfSize);

// The part of a maildir message's name that stays when a mail program changes its flags:
// all before the info (":2,…", or ";2," and "!2," where ':' cannot stand in a name).
std::string MessageUnique(const std::string &name);
