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
// end counted as CR LF, as Dovecot reads them), then the old name's info (":2,FLAGS"):
// a server that names messages by content sees a new message, and its flags and keywords
// stay.
std::string NewMessageName(const std::string &oldName, const std::string &temporary, std::uint64_t size,
                           std::uint64_t crlfSize);

// The part of a maildir message's name that stays when a mail program changes its flags:
// all before the info (":2,…", or ";2," and "!2," where ':' cannot stand in a name).
std::string MessageUnique(const std::string &name);
