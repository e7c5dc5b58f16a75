// A libFuzzer target: an IMAP session over a fake connection that gives arbitrary bytes as
// the server's, in pieces whose size the input's first byte chooses.
//
// For every input:
//  - the session either connects, logs in and ends its commands, or fails with a reason;
//  - once it has failed for the connection or the server's answers, it is dead, and every
//    later call fails with the same reason;
//  - every value handed out is whole: a literal in a file holds exactly its size in bytes,
//    lists are no deeper than MAX_LIST_DEPTH, and no response holds more in memory than the
//    limits allow;
//  - nothing is written after the session died.
// A failed check prints what failed and aborts, which libFuzzer reports with the input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "imap_wire.h"

namespace {

void Check(bool ok, const char *what, const std::string &detail = std::string())
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_imap: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
        std::abort();
    }
}

class CFuzzStream : public INetStream {
public:
    CFuzzStream(const std::uint8_t *data, std::size_t size, std::size_t piece, bool &dead)
        : m_data(data), m_size(size), m_piece(piece), m_dead(dead) {}
    bool Read(char *to, std::size_t n, std::size_t &got, std::string &) override
    {
        got = std::min(std::min(n, m_piece), m_size - m_at);
        std::memcpy(to, m_data + m_at, got);
        m_at += got;
        return true;
    }
    bool Write(const char *, std::size_t, std::string &) override
    {
        Check(!m_dead, "a write after the session died");
        return true;
    }
    bool StartTls(const std::string &, const std::string &, std::string &) override { return true; }
    bool Secure() const override { return true; }
    bool Loopback() const override { return false; }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
    std::size_t m_piece;
    bool &m_dead;
};

// Bytes of the values in memory; checks each literal in a file and the depth.
std::size_t CheckValues(const std::vector<SImapValue> &values, int depth)
{
    Check(depth <= MAX_LIST_DEPTH + 1, "lists nested too deep");
    std::size_t memory = 0;
    for (const SImapValue &value : values) {
        memory += value.text.size();
        if (value.file) {
            Check(value.kind == SImapValue::STRING && value.text.empty() && value.size > SMALL_LITERAL,
                  "a literal in a file that is not a large string");
            Check(std::fseek(value.file.get(), 0, SEEK_END) == 0, "a literal's file cannot be measured");
            Check(static_cast<std::uint64_t>(std::ftell(value.file.get())) == value.size,
                  "a literal's file does not hold its size");
        }
        memory += CheckValues(value.items, depth + 1);
    }
    return memory;
}

void CheckResponse(const SImapResponse &response)
{
    std::size_t memory = CheckValues(response.items, 1) + CheckValues(response.code, 1) + response.text.size();
    Check(memory <= MAX_RESPONSE_LINE + MAX_RESPONSE_MEMORY, "a response larger than the limits");
    Check(response.tag == "*", "a tagged response handed out as untagged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    std::size_t piece = data[0] & 0x80 ? SIZE_MAX : 1 + (data[0] & 0x0f);
    bool dead = false;
    CImapSession session;
    SImapServer server;
    server.host = "imap.example.org";
    std::string why;
    bool alive = session.Attach(std::unique_ptr<INetStream>(new CFuzzStream(data + 1, size - 1, piece, dead)),
                                server, why);
    std::string lastWhy;
    // After each step: a failure has a reason; a dead session keeps its reason.
    auto after = [&](bool ok) {
        Check(ok || !why.empty(), "a failure without a reason");
        if (!session.Alive()) {
            if (!dead)
                lastWhy = why;
            dead = true;
        }
        if (dead && !ok)
            Check(why == lastWhy, "a dead session's reason changed", lastWhy + " / " + why);
        why.clear();
    };
    after(alive);

    SImapSecret secret;
    secret.kind = data[0] & 0x40 ? SImapSecret::BEARER : SImapSecret::PASSWORD;
    secret.secret = "Kq7-zW9!pL";
    bool ok = session.LogIn("user", secret, why);
    // A reason may quote the server, which may say anything, but never the secret itself.
    std::string input(reinterpret_cast<const char *>(data), size);
    Check(why.find(secret.secret) == std::string::npos || input.find(secret.secret) != std::string::npos,
          "the secret in a reason", why);
    after(ok);

    FILE *file = std::tmpfile();
    Check(file != nullptr, "no temporary file");
    std::fputs("From: a\r\n\r\nbody\r\n", file);
    std::rewind(file);
    std::string tags[3];
    ok = session.Send({SImapArg::Atom("NOOP")}, tags[0], why);
    after(ok);
    ok = session.Send({SImapArg::Atom("APPEND"), SImapArg::String("INBOX"), SImapArg::Literal(file, 17)}, tags[1],
                      why);
    after(ok);
    ok = session.Send({SImapArg::Atom("UID"), SImapArg::Atom("FETCH"), SImapArg::Atom("1:*"),
                       SImapArg::Atom("(UID BODY.PEEK[])")},
                      tags[2], why);
    after(ok);
    std::fclose(file);
    for (const std::string &tag : tags) {
        if (tag.empty())
            continue;
        SImapResult result;
        ok = session.Wait(tag, CheckResponse, result, why);
        if (ok)
            Check(result.status == "OK" || result.status == "NO" || result.status == "BAD",
                  "a command ended neither OK, NO nor BAD", result.status);
        after(ok);
    }
    session.Close();
    Check(!session.Alive(), "a session alive after Close");
    return 0;
}
