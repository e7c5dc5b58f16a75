// Connections to a server: the Windows build has no TLS of its own yet, and says so.
#include "net.h"

std::unique_ptr<INetStream> ConnectTo(const std::string &, unsigned, int, std::string &why)
{
    why = "IMAP accounts need TLS, which this Windows build does not have yet";
    return nullptr;
}
