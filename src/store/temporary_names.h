// The names of our temporary files, which the stores write beside the files they replace
// and a later run recognises as ours.
#pragma once

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
