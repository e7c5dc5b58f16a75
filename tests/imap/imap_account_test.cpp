// An IMAP account's names (URLs, modified UTF-7 mailbox names) and the ways its password is
// found: commands, the .netrc.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "imap_account.h"
#include "test_files.h"

namespace {

// Each URL with what it names, or the words its refusal must hold.
TEST(ImapUrl, NamesTheAccountAndMailboxOrSaysWhyNot)
{
    struct SCase {
        const char *text;
        bool ok;
        bool tls;
        const char *user, *host;
        unsigned port;
        const char *mailbox, *account;  // account: the why's words where refused
    } cases[] = {
        {"imaps://kim%40naver.com@IMAP.Naver.com/%EB%B3%B4%EB%82%B8%ED%8E%B8%EC%A7%80%ED%95%A8", true, true,
         "kim@naver.com", "imap.naver.com", 993, "\xeb\xb3\xb4\xeb\x82\xb8\xed\x8e\xb8\xec\xa7\x80\xed\x95\xa8",
         "kim@naver.com@imap.naver.com"},
        {"IMAP://u;AUTH=*@[::1]:1143/", true, false, "u", "::1", 1143, "", "u@[::1]:1143"},
        {"imap://u@h:143/Archive/2003/", true, false, "u", "h", 143, "Archive/2003", "u@h"},
        {"ImapS://u@h:143", true, true, "u", "h", 143, "", "u@h:143"},
        {"imaps://u:hunter2@h/INBOX", false, true, "", "", 0, "", "--password-command"},
        {"imaps://h/INBOX", false, true, "", "", 0, "", "no user"},
        {"imaps://;AUTH=*@h", false, true, "", "", 0, "", "no user"},
        {"imaps://u;UID=3@h", false, true, "", "", 0, "", ";AUTH="},
        {"imaps://u@", false, true, "", "", 0, "", "no host"},
        {"imaps://u@h:0/", false, true, "", "", 0, "", "port"},
        {"imaps://u@h:65536/", false, true, "", "", 0, "", "port"},
        {"imaps://u@h:/", false, true, "", "", 0, "", "port"},
        {"imaps://u@[::1/INBOX", false, true, "", "", 0, "", "']'"},
        {"imaps://u@[::1]x/INBOX", false, true, "", "", 0, "", "']'"},
        {"imaps://u@h%2Fx", false, true, "", "", 0, "", "host name"},
        {"imaps://u@h/INBOX;UIDVALIDITY=385759045/;UID=20", false, true, "", "", 0, "", "not supported"},
        {"imaps://u@h/INBOX?SUBJECT%20x", false, true, "", "", 0, "", "not supported"},
        {"imaps://u@h/%E", false, true, "", "", 0, "", "percent-encoding"},
        {"imaps://u@h/%ED%A0%80", false, true, "", "", 0, "", "UTF-8"},
        {"imaps://u@h/%C0%80", false, true, "", "", 0, "", "UTF-8"},
        {"imaps://u%0D%0Ax@h/", false, true, "", "", 0, "", "UTF-8"},
        {"imapx://u@h/", false, true, "", "", 0, "", "not an IMAP URL"},
    };
    for (const SCase &c : cases) {
        SCOPED_TRACE(c.text);
        SImapUrl url;
        std::string why;
        ASSERT_EQ(ParseImapUrl(c.text, url, why), c.ok) << why;
        EXPECT_EQ(IsImapUrl(c.text), std::string(c.text).find("imapx") != 0);
        if (!c.ok) {
            EXPECT_NE(why.find(c.account), std::string::npos) << why;
            EXPECT_EQ(why.find("hunter2"), std::string::npos) << why;
            continue;
        }
        EXPECT_EQ(url.tls, c.tls);
        EXPECT_EQ(url.user, c.user);
        EXPECT_EQ(url.host, c.host);
        EXPECT_EQ(url.port, c.port);
        EXPECT_EQ(url.mailbox, c.mailbox);
        EXPECT_EQ(url.Account(), c.account);
    }
}

// Expected spellings computed by Python: UTF-16BE in base64, '/' as ',', no padding.
TEST(MailboxName, ModifiedUtf7BothWaysAndMalformedRefused)
{
    const char *const pairs[][2] = {
        {"\xeb\xb3\xb4\xeb\x82\xb8\xed\x8e\xb8\xec\xa7\x80\xed\x95\xa8", "&vPSwuNO4ycDVaA-"},
        {"~peter/mail/\xe5\x8f\xb0\xe5\x8c\x97/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
        {"&", "&-"},
        {"a&b&-c", "a&-b&--c"},
        {"Sent & \xeb\xb3\xb4\xeb\x82\xb8 \xed\x8e\xb8\xec\xa7\x80", "Sent &- &vPSwuA- &07jJwA-"},
        {"\xf0\x9f\x98\x80", "&2D3eAA-"},
        {"\xc3\xa9\xc3\xa9\xc3\xa9", "&AOkA6QDp-"},
        {"\xc4\x80/\t", "&AQA-/&AAk-"},
        {"INBOX", "INBOX"},
    };
    for (const auto &pair : pairs) {
        SCOPED_TRACE(pair[1]);
        EXPECT_EQ(EncodeMailboxName(pair[0]), pair[1]);
        std::string utf8;
        EXPECT_TRUE(DecodeMailboxName(pair[1], utf8));
        EXPECT_EQ(utf8, pair[0]);
    }
    EXPECT_EQ(EncodeMailboxName("\xed\xa0\x80"), "");  // not UTF-8
    const char *const refused[] = {
        "&",           // unterminated
        "&AOk",        // unterminated
        "&AOl-",       // padding bits not zero
        "&AO-",        // a byte short of a UTF-16 unit
        "&AOkA-",      // an odd byte
        "&AGE-",       // 'a', which stands for itself
        "&AOk-&AOk-",  // two runs where one would do
        "&2D0-",       // a surrogate alone
        "&AOk/-",      // base64's '/', not ','
        "&AOk=-",      // padding
        "\xeb\xb3\xb4",  // 8-bit
        "a\tb",
    };
    for (const char *name : refused) {
        SCOPED_TRACE(name);
        std::string utf8 = "left";
        EXPECT_FALSE(DecodeMailboxName(name, utf8));
        EXPECT_EQ(utf8, "");
    }
}

void SetVariable(const char *name, const std::string &value)
{
#ifdef _WIN32
    SetEnvironmentVariableA(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

// A home of the test's own, with netrc as the user's .netrc (mode 0600 unless said).
class CHome {
public:
    explicit CHome(const std::string &netrc, int mode = 0600)
    {
#ifdef _WIN32
        const char *variable = "USERPROFILE", *name = "_netrc";
        (void)mode;
#else
        const char *variable = "HOME", *name = ".netrc";
#endif
        const char *old = std::getenv(variable);
        m_variable = variable;
        m_old = old != nullptr ? old : "";
        SetVariable(variable, m_dir.path());
        if (!netrc.empty())
            WriteFile(m_dir.File(name), netrc);
#ifndef _WIN32
        chmod(m_dir.File(name).c_str(), static_cast<mode_t>(mode));
#endif
    }
    ~CHome() { SetVariable(m_variable, m_old); }
    CHome(const CHome &) = delete;
    CHome &operator=(const CHome &) = delete;

private:
    TestDir m_dir;
    const char *m_variable;
    std::string m_old;
};

SImapUrl Url(const std::string &user, const std::string &host)
{
    SImapUrl url;
    url.user = user;
    url.host = host;
    return url;
}

// The entry for the URL's host and user, and what the file's other entries must not give.
TEST(Credentials, NetrcEntryForHostAndUser)
{
    struct SCase {
        const char *netrc, *user, *host;
        const char *password;  // "" where none is found
    } cases[] = {
        {"machine IMAP.naver.com login kim password pw1\n", "kim", "imap.naver.com", "pw1"},
        {"machine h login other password x\nmachine h2 login kim password y\ndefault login kim password dflt\n",
         "kim", "h", "dflt"},
        {"default password d\nmachine h login u password m\n", "u", "h", "m"},
        {"machine h password any", "whoever", "h", "any"},
        {"default login other password d\n", "u", "h", ""},
        {"machine h login u account acct password pw\n", "u", "h", "pw"},
        {"macdef init\nmachine h login u password wrong\n\nmachine h login u password right\n", "u", "h", "right"},
        {"machine h login \"k i m\" password \"p w\\\"x\"\n", "k i m", "h", "p w\"x"},
        {"machine h login u\nmachine other login u password p\n", "u", "h", ""},
    };
    for (const SCase &c : cases) {
        SCOPED_TRACE(c.netrc);
        CHome home(c.netrc);
        SCredentialSources sources;
        sources.prompt = false;
        SImapSecret secret;
        std::string why;
        EXPECT_EQ(GetSecret(Url(c.user, c.host), sources, secret, why), c.password[0] != '\0') << why;
        EXPECT_EQ(secret.secret, c.password);
        if (c.password[0] == '\0') {
            EXPECT_NE(why.find("--password-command"), std::string::npos) << why;
        }
    }
#ifndef _WIN32
    CHome open("machine h login u password secret1\n", 0640);
    SImapSecret secret;
    std::string why;
    SCredentialSources sources;
    EXPECT_FALSE(GetSecret(Url("u", "h"), sources, secret, why));
    EXPECT_NE(why.find("/.netrc"), std::string::npos) << why;
    EXPECT_NE(why.find("chmod 600"), std::string::npos) << why;
    EXPECT_EQ(why.find("secret1"), std::string::npos) << why;
    EXPECT_EQ(secret.secret, "");
#endif
}

#ifdef _WIN32
const char EMPTY_LINE[] = "echo.";
#else
const char EMPTY_LINE[] = "echo";
#endif

// A command's first line, before the .netrc; a failing command says how, not what it wrote.
TEST(Credentials, CommandsFirstLine)
{
    CHome home("machine h login u password fromnetrc\n");
    struct SCase {
        const char *oauth2, *password;  // the commands, as both shells take them
        const char *secret;             // what it gives; else the why's words
        bool ok;
    } cases[] = {
        {"echo tok1&& echo second", "echo pw", "tok1", true},
        {"", "echo pw1&& echo second", "pw1", true},
        {"", "printf 'pw2\\r\\nrest'", "pw2", true},
        {"", "echo leaked&& exit 3", "status 3", false},
        {"exit 0", "", "wrote nothing", false},
        {"", EMPTY_LINE, "empty", false},
    };
    for (const SCase &c : cases) {
#ifdef _WIN32
        if (std::string(c.password).find("printf") == 0)
            continue;
#endif
        SCOPED_TRACE(std::string(c.oauth2) + " | " + c.password);
        SCredentialSources sources;
        sources.oauth2Command = c.oauth2;
        sources.passwordCommand = c.password;
        sources.prompt = false;
        SImapSecret secret;
        std::string why;
        ASSERT_EQ(GetSecret(Url("u", "h"), sources, secret, why), c.ok) << why;
        if (c.ok) {
            EXPECT_EQ(secret.secret, c.secret);
            EXPECT_EQ(secret.kind, c.oauth2[0] != '\0' ? SImapSecret::BEARER : SImapSecret::PASSWORD);
        } else {
            EXPECT_NE(why.find(c.secret), std::string::npos) << why;
            EXPECT_EQ(why.find("leaked"), std::string::npos) << why;
            EXPECT_EQ(why.find("fromnetrc"), std::string::npos) << why;
        }
    }
}

}  // namespace
