// Tests of the job when writing the Inbox fails half-way, with a failing stream put in
// place of the Inbox's own.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "convert.h"
#include "test_files.h"

namespace {

// While set, opening this path for writing truncates it, as the real open would, and
// hands back a stream on which every write fails for lack of space.
const char *g_failWritesTo;

}  // namespace

extern "C" FILE *fopen(const char *path, const char *mode)
{
    using Open = FILE *(*)(const char *, const char *);
    static Open realOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "fopen"));
    if (g_failWritesTo != nullptr && mode[0] == 'w' && std::strcmp(path, g_failWritesTo) == 0) {
        FILE *truncated = realOpen(path, mode);
        if (truncated == nullptr)
            return nullptr;
        std::fclose(truncated);
        return realOpen("/dev/full", mode);
    }
    return realOpen(path, mode);
}

namespace {

TEST(Job, PutsTheInboxBackWhenWritingItFails)
{
    TestDir dir;
    std::string inbox = dir.File("Inbox");
    std::string summary = dir.File("Inbox.snm");
    const std::string mail = "\x1b$)C\n\x0e\x30\x21\x0f\nplain\n";
    WriteFile(inbox, mail);
    WriteFile(summary, "summary");

    g_failWritesTo = inbox.c_str();
    bool converted = ConvertInbox(inbox.c_str());
    g_failWritesTo = nullptr;

    EXPECT_FALSE(converted);
    EXPECT_EQ(ReadFile(inbox), mail);
    EXPECT_TRUE(FileExists(summary));
    auto copies = dir.Names("qvl");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(ReadFile(dir.File(copies[0])), mail);
}

}  // namespace
