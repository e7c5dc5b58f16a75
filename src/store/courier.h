// The keywords that Courier-IMAP keeps for a maildir's messages in courierimapkeywords/,
// read and written as plain text: no file is opened here.
//
// courierimapkeywords/:list holds the keywords, one a line, then an empty line, then a line
// for each message that has any: its name without the info (the part before ":2,"), a
// colon, and the numbers of its keywords in the list, from 0, parted by spaces.  A file
// .T.NAME beside it holds the keywords of message NAME, one a line, set since :list was
// written; of two for one message, the greater T is the later.  A message given a new name
// loses its keywords unless one of these names it by the new one.
#pragma once

#include <map>
#include <string>

// Each message's keywords in :list's text, by the name it is known by there; each list of
// keywords as an update file holds them ("k1\nk2\n").  Lines it cannot read are passed over.
std::map<std::string, std::string> ReadCourierKeywordList(const std::string &list);

// True when name is an update file's, .T.NAME; T and the message's name are returned.
bool ReadCourierUpdateName(const std::string &name, unsigned long long &t, std::string &message);
// The name of the update file with number t for the message known as message.
std::string CourierUpdateName(unsigned long long t, const std::string &message);
