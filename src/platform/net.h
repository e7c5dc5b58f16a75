// A connection to a server over TCP, in the clear or through TLS, for the stores that live on
// a server (an IMAP account).  src/platform/posix has it over sockets and OpenSSL; the Windows
// build has no TLS of its own yet, and refuses to connect, saying so.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class INetStream {
public:
    virtual ~INetStream() = default;
    // Reads what the server has sent, at most n bytes, into to, waiting up to the time out
    // given at connecting; got is 0 where the server closed the connection.  False with why
    // where the connection failed or timed out.
    virtual bool Read(char *to, std::size_t n, std::size_t &got, std::string &why) = 0;
    // Writes all n bytes; false with why where the connection failed.
    virtual bool Write(const char *from, std::size_t n, std::string &why) = 0;
    // Starts TLS on the connection (at once for imaps://, after STARTTLS for imap://),
    // checking the server's certificate against the system's authorities and, where caFile
    // is not empty, the authority in caFile too, and its name against host.  False with why
    // (the certificate's subject and dates where it was refused); the connection is then
    // unusable.
    virtual bool StartTls(const std::string &host, const std::string &caFile, std::string &why) = 0;
    // Whether TLS protects the connection.
    virtual bool Secure() const = 0;
    // Whether the server is this machine (a loopback address), where a password may go in
    // the clear.
    virtual bool Loopback() const = 0;
};

// Connects to host's port, each read and write then waiting at most timeoutSeconds.  Null
// with why (the host, and the system's reason) where it cannot.
std::unique_ptr<INetStream> ConnectTo(const std::string &host, unsigned port, int timeoutSeconds, std::string &why);
