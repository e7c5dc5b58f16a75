// Connections to a server over TCP sockets, with TLS by OpenSSL (RFC 8446, RFC 5246; the
// server's name checked as RFC 6125 says, an address literal as an address).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "net.h"

namespace {

std::string SystemReason(int error)
{
    return std::strerror(error);
}

// The oldest error OpenSSL queued, and the queue emptied; fallback where there is none.
std::string OpenSslReason(const char *fallback)
{
    unsigned long error = ERR_get_error();
    ERR_clear_error();
    if (error == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    return text;
}

// An X509 name as RFC 2253 writes it ("CN=imap.example.org,O=Example").
std::string NameText(const X509_NAME *name)
{
    BIO *out = BIO_new(BIO_s_mem());
    if (out == nullptr)
        return "?";
    X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253);
    char *data = nullptr;
    long size = BIO_get_mem_data(out, &data);
    std::string text(data != nullptr && size > 0 ? std::string(data, static_cast<std::size_t>(size)) : "");
    BIO_free(out);
    return text;
}

std::string TimeText(const ASN1_TIME *when)
{
    struct tm parts {};
    if (when == nullptr || ASN1_TIME_to_tm(when, &parts) != 1)
        return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

bool IsAddressLiteral(const std::string &host)
{
    unsigned char address[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

class CSocketStream : public INetStream {
public:
    CSocketStream(int fd, bool loopback, int timeoutSeconds)
        : m_fd(fd), m_loopback(loopback), m_timeoutSeconds(timeoutSeconds) {}
    ~CSocketStream() override;
    CSocketStream(const CSocketStream &) = delete;
    CSocketStream &operator=(const CSocketStream &) = delete;

    bool Read(char *to, std::size_t n, std::size_t &got, std::string &why) override;
    bool Write(const char *from, std::size_t n, std::string &why) override;
    bool StartTls(const std::string &host, const std::string &caFile, std::string &why) override;
    bool Secure() const override { return m_ssl != nullptr; }
    bool Loopback() const override { return m_loopback; }

private:
    // The socket beneath TLS, as OpenSSL's BIO: send() with MSG_NOSIGNAL, so that a server
    // gone away is an error, never SIGPIPE, which would end the program.
    static BIO_METHOD *SocketMethod();
    static int BioWrite(BIO *bio, const char *from, int n);
    static int BioRead(BIO *bio, char *to, int n);
    static long BioControl(BIO *bio, int command, long number, void *pointer);
    static int VerifyCallback(int preverified, X509_STORE_CTX *store);

    // The system's reason for the last failed send or recv, a time out said as such.
    std::string IoReason(int error) const;
    // Why the server's certificate was refused, as VerifyCallback described it; "" where it
    // was not.
    std::string Refusal(SSL *ssl) const;
    // Why a TLS call failed, from its result.
    std::string TlsReason(int result, const char *what);

    int m_fd;
    bool m_loopback;
    int m_timeoutSeconds;
    SSL_CTX *m_ctx = nullptr;
    SSL *m_ssl = nullptr;    // set once the handshake succeeded
    int m_ioError = 0;       // errno of the BIO's last failed call, 0 for an end of stream
    std::string m_refused;   // the first certificate refused, described
};

CSocketStream::~CSocketStream()
{
    if (m_ssl != nullptr)
        SSL_free(m_ssl);
    if (m_ctx != nullptr)
        SSL_CTX_free(m_ctx);
    close(m_fd);
}

std::string CSocketStream::IoReason(int error) const
{
    if (error == EAGAIN || error == EWOULDBLOCK)
        return "no answer within " + std::to_string(m_timeoutSeconds) + " seconds";
    return SystemReason(error);
}

bool CSocketStream::Read(char *to, std::size_t n, std::size_t &got, std::string &why)
{
    got = 0;
    if (m_ssl != nullptr) {
        int wanted = n > 1 << 30 ? 1 << 30 : static_cast<int>(n);
        // SSL_get_error reads the queue: it must hold nothing from before.
        ERR_clear_error();
        m_ioError = 0;
        int result = SSL_read(m_ssl, to, wanted);
        if (result > 0) {
            got = static_cast<std::size_t>(result);
            return true;
        }
        int kind = SSL_get_error(m_ssl, result);
        // m_ioError is set by the BIO's callbacks within SSL_read.
        // cppcheck-suppress knownConditionTrueFalse
        if (kind == SSL_ERROR_ZERO_RETURN || (kind == SSL_ERROR_SYSCALL && m_ioError == 0 && ERR_peek_error() == 0))
            return true;
        why = TlsReason(result, "reading");
        return false;
    }
    for (;;) {
        ssize_t result = recv(m_fd, to, n, 0);
        if (result >= 0) {
            got = static_cast<std::size_t>(result);
            return true;
        }
        if (errno != EINTR) {
            why = IoReason(errno);
            return false;
        }
    }
}

bool CSocketStream::Write(const char *from, std::size_t n, std::string &why)
{
    while (n > 0) {
        if (m_ssl != nullptr) {
            int piece = n > 1 << 30 ? 1 << 30 : static_cast<int>(n);
            ERR_clear_error();
            m_ioError = 0;
            int result = SSL_write(m_ssl, from, piece);
            if (result <= 0) {
                why = TlsReason(result, "writing");
                return false;
            }
            from += result;
            n -= static_cast<std::size_t>(result);
            continue;
        }
        ssize_t result = send(m_fd, from, n, MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            why = IoReason(errno);
            return false;
        }
        from += result;
        n -= static_cast<std::size_t>(result);
    }
    return true;
}

std::string CSocketStream::TlsReason(int result, const char *what)
{
    int kind = m_ssl != nullptr ? SSL_get_error(m_ssl, result) : SSL_ERROR_SSL;
    if (kind == SSL_ERROR_SYSCALL && m_ioError != 0) {
        ERR_clear_error();
        return IoReason(m_ioError);
    }
    if (kind == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
        return std::string("the server closed the connection while ") + what;
    return std::string("TLS failed while ") + what + ": " + OpenSslReason("no reason given");
}

BIO_METHOD *CSocketStream::SocketMethod()
{
    static BIO_METHOD *method = [] {
        BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket without SIGPIPE");
        if (made != nullptr) {
            BIO_meth_set_write(made, BioWrite);
            BIO_meth_set_read(made, BioRead);
            BIO_meth_set_ctrl(made, BioControl);
        }
        return made;
    }();
    return method;
}

int CSocketStream::BioWrite(BIO *bio, const char *from, int n)
{
    auto *self = static_cast<CSocketStream *>(BIO_get_data(bio));
    for (;;) {
        ssize_t result = send(self->m_fd, from, static_cast<std::size_t>(n), MSG_NOSIGNAL);
        if (result >= 0)
            return static_cast<int>(result);
        if (errno != EINTR) {
            self->m_ioError = errno;
            return -1;
        }
    }
}

int CSocketStream::BioRead(BIO *bio, char *to, int n)
{
    auto *self = static_cast<CSocketStream *>(BIO_get_data(bio));
    for (;;) {
        ssize_t result = recv(self->m_fd, to, static_cast<std::size_t>(n), 0);
        if (result >= 0)
            return static_cast<int>(result);
        if (errno != EINTR) {
            self->m_ioError = errno;
            return -1;
        }
    }
}

long CSocketStream::BioControl(BIO *, int command, long, void *)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

// Keeps a description of the first certificate refused, for the error; the refusal stands.
int CSocketStream::VerifyCallback(int preverified, X509_STORE_CTX *store)
{
    if (preverified == 1)
        return 1;
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *self = ssl != nullptr ? static_cast<CSocketStream *>(SSL_get_app_data(ssl)) : nullptr;
    if (self != nullptr && self->m_refused.empty()) {
        int error = X509_STORE_CTX_get_error(store);
        X509 *certificate = X509_STORE_CTX_get_current_cert(store);
        self->m_refused = X509_verify_cert_error_string(error);
        if (certificate != nullptr)
            self->m_refused += " (subject " + NameText(X509_get_subject_name(certificate)) + ", issuer " +
                               NameText(X509_get_issuer_name(certificate)) + ", valid from " +
                               TimeText(X509_get0_notBefore(certificate)) + " to " +
                               TimeText(X509_get0_notAfter(certificate)) + ")";
    }
    return 0;
}

std::string CSocketStream::Refusal(SSL *ssl) const
{
    if (!m_refused.empty())
        return m_refused;
    long result = SSL_get_verify_result(ssl);
    return result == X509_V_OK ? std::string() : X509_verify_cert_error_string(result);
}

bool CSocketStream::StartTls(const std::string &host, const std::string &caFile, std::string &why)
{
    ERR_clear_error();
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        why = "cannot start TLS: " + OpenSslReason("out of memory");
        return false;
    }
    m_ctx = ctx;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // Many servers close without TLS's own end; a literal cut short is found by its length.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
    // The system's authorities from their hashed directory, each read only where a chain
    // needs it, rather than the whole bundle parsed into memory (some megabytes); the
    // bundle where the directory is missing, or a variable names a file.
    const char *dirVariable = std::getenv(X509_get_default_cert_dir_env());
    std::string dir = dirVariable != nullptr ? dirVariable : X509_get_default_cert_dir();
    struct stat st;
    bool lazily = std::getenv(X509_get_default_cert_file_env()) == nullptr && stat(dir.c_str(), &st) == 0 &&
                  S_ISDIR(st.st_mode);
    if (lazily ? SSL_CTX_load_verify_dir(ctx, dir.c_str()) != 1 : SSL_CTX_set_default_verify_paths(ctx) != 1) {
        why = "cannot read the system's certificate authorities: " + OpenSslReason("no reason given");
        return false;
    }
    if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        why = "cannot read the certificate authority in " + caFile + ": " + OpenSslReason("no reason given");
        return false;
    }
    SSL *ssl = SSL_new(ctx);
    BIO *bio = SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (ssl == nullptr || bio == nullptr) {
        if (ssl != nullptr)
            SSL_free(ssl);
        if (bio != nullptr)
            BIO_free(bio);
        why = "cannot start TLS: " + OpenSslReason("out of memory");
        return false;
    }
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_app_data(ssl, this);
    bool named = true;
    if (IsAddressLiteral(host)) {
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    } else {
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set1_host(ssl, host.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
    }
    if (!named) {
        SSL_free(ssl);
        why = "cannot check a certificate for the name " + host + ": " + OpenSslReason("not a host name");
        return false;
    }
    m_ioError = 0;
    m_refused.clear();
    int result = SSL_connect(ssl);
    if (result != 1) {
        std::string refused = Refusal(ssl);
        if (!refused.empty()) {
            why = "the certificate of " + host + " was refused: " + refused;
            ERR_clear_error();
        } else {
            m_ssl = ssl;
            why = "TLS with " + host + " failed: " + TlsReason(result, "starting");
            m_ssl = nullptr;
        }
        SSL_free(ssl);
        return false;
    }
    m_ssl = ssl;
    return true;
}

// Whether address is this machine: 127.0.0.0/8, ::1, or ::ffff:127.x.y.z.
bool IsLoopback(const struct sockaddr *address)
{
    if (address->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const struct sockaddr_in *>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const struct sockaddr_in6 *>(address);
        if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

// Connects fd to address within timeoutSeconds; 0, or the errno why not.
int ConnectWithin(int fd, const struct sockaddr *address, socklen_t size, int timeoutSeconds)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return errno;
    if (connect(fd, address, size) != 0) {
        if (errno != EINPROGRESS)
            return errno;
        struct pollfd wait = {fd, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&wait, 1, timeoutSeconds * 1000);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0)
            return errno;
        if (ready == 0)
            return ETIMEDOUT;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return errno;
        if (error != 0)
            return error;
    }
    if (fcntl(fd, F_SETFL, flags) < 0)
        return errno;
    struct timeval limit = {timeoutSeconds, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
        return errno;
    return 0;
}

}  // namespace

std::unique_ptr<INetStream> ConnectTo(const std::string &host, unsigned port, int timeoutSeconds, std::string &why)
{
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    struct addrinfo *found = nullptr;
    std::string service = std::to_string(port);
    int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (status != 0) {
        why = "cannot find the server " + host + ": " +
              (status == EAI_SYSTEM ? SystemReason(errno) : std::string(gai_strerror(status)));
        return nullptr;
    }
    int lastError = ECONNREFUSED;
    // Every address in turn, as a host with IPv6 and IPv4 may listen on only one of them.
    for (struct addrinfo *at = found; at != nullptr; at = at->ai_next) {
        int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int error = ConnectWithin(fd, at->ai_addr, at->ai_addrlen, timeoutSeconds);
        if (error == 0) {
            bool loopback = IsLoopback(at->ai_addr);
            freeaddrinfo(found);
            return std::unique_ptr<INetStream>(new CSocketStream(fd, loopback, timeoutSeconds));
        }
        lastError = error;
        close(fd);
    }
    freeaddrinfo(found);
    why = "cannot connect to " + host + " port " + service + ": " +
          (lastError == ETIMEDOUT ? "no answer within " + std::to_string(timeoutSeconds) + " seconds"
                                  : SystemReason(lastError));
    return nullptr;
}
