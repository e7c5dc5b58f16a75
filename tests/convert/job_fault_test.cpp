// Tests of the job when writing the Inbox fails half-way, with a failing stream put in
// place of the Inbox's own and, where asked, a close that hides the failure.
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
FILE *g_failingStream;
// While set, closing that stream reports success whatever became of its last flush, as
// some C libraries do.
bool g_closeHidesErrors;

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
        g_failingStream = realOpen("/dev/full", mode);
        return g_failingStream;
    }
    return realOpen(path, mode);
}

extern "C" int fclose(FILE *stream)
{
    using Close = int (*)(FILE *);
    static Close realClose = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "fclose"));
    int result = realClose(stream);
    if (stream != nullptr && stream == g_failingStream) {
        g_failingStream = nullptr;
        if (g_closeHidesErrors)
            return 0;
    }
    return result;
}

namespace {

// The folder is written in full only at the last flush, which fails: it must come back.
TEST(Job, PutsTheInboxBackWhenWritingItFails)
{
    for (bool closeHidesErrors : {false, true}) {
        SCOPED_TRACE(closeHidesErrors ? "fclose hides the error" : "fclose reports the error");
        TestDir dir;
        std::string inbox = dir.File("Inbox");
        std::string summary = dir.File("Inbox.snm");
        const std::string mail = "\x1b$)C\n\x0e\x30\x21\x0f\nplain\n";
        WriteFile(inbox, mail);
        WriteFile(summary, "summary");

        g_failWritesTo = inbox.c_str();
        g_closeHidesErrors = closeHidesErrors;
        bool converted = ConvertInbox(inbox.c_str());
        g_failWritesTo = nullptr;
        g_closeHidesErrors = false;

        EXPECT_FALSE(converted);
        EXPECT_EQ(ReadFile(inbox), mail);
        EXPECT_TRUE(FileExists(summary));
        auto copies = dir.Names("qvl");
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(ReadFile(dir.File(copies[0])), mail);
    }
}

}  // namespace
