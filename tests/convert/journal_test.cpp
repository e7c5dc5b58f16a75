// Tests of the job's record: what is read back, and what is never taken for a whole record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "convert.h"
#include "job_internal.h"
#include "journal.h"
#include "mail.h"
#include "platform.h"
#include "test_files.h"

namespace {

SJournal Sample()
{
    SJournal journal = {};
    std::snprintf(journal.folder, sizeof journal.folder, "%s", "/home/u/mail/Inbox");
    journal.id = {0xFD01, 0x1234, 0x123456, 0};
    journal.start = 4096;
    journal.frontChecksum = 0x0123456789ABCDEFu;
    journal.length = 123456;
    journal.checksum = 0xFEDCBA9876543210u;
    journal.converted = 123460;
    journal.convertedChecksum = 0x3333333333333333u;
    journal.added = 47;
    journal.addedChecksum = 0x1111111111111111u;
    journal.direction = DIRECTION_UNDO;
    journal.oldLength = 99;
    journal.oldChecksum = 0x2222222222222222u;
    std::snprintf(journal.converter, sizeof journal.converter, "%s", "relabel");
    return journal;
}

// text, then the end line that makes it whole.
std::string Sealed(const std::string &text)
{
    SChecksum sum;
    sum.Add(text.data(), text.size());
    char end[32];
    std::snprintf(end, sizeof end, "end %016" PRIX64 "\n", sum.Value());
    return text + end;
}

std::string Version3(const std::string &folder, const std::string &start = "4096")
{
    return "quorvel journal 3\nfolder " + std::to_string(folder.size()) + ":" + folder +
           "\nidentity 000000000000FD01 0000000000001234 0000000000123456\nstart " + start +
           "\nfront 0123456789ABCDEF\nlength 123456\nchecksum FEDCBA9876543210\n"
           "converted 123456 FEDCBA9876543210\nadded 0 0000000000000000\n"
           "direction forward\nold 0 0000000000000000\nconverter plain\n";
}

TEST(Journal, ReadsBackWhatItWrote)
{
    TestDir dir;
    std::string path = dir.File("r.JNL");
    SJournal written = Sample(), read;
    ASSERT_TRUE(WriteJournal(path.c_str(), written));
    ASSERT_EQ(ReadJournal(path.c_str(), &read), JOURNAL_FOUND);
    EXPECT_EQ(read.version, 3);
    EXPECT_STREQ(read.folder, written.folder);
    EXPECT_TRUE(SameFile(read.id, written.id));
    EXPECT_EQ(read.start, written.start);
    EXPECT_EQ(read.frontChecksum, written.frontChecksum);
    EXPECT_EQ(read.length, written.length);
    EXPECT_EQ(read.checksum, written.checksum);
    EXPECT_EQ(read.converted, written.converted);
    EXPECT_EQ(read.convertedChecksum, written.convertedChecksum);
    EXPECT_EQ(read.added, written.added);
    EXPECT_EQ(read.addedChecksum, written.addedChecksum);
    EXPECT_EQ(read.direction, written.direction);
    EXPECT_EQ(read.oldLength, written.oldLength);
    EXPECT_EQ(read.oldChecksum, written.oldChecksum);
    EXPECT_STREQ(read.converter, written.converter);
    // A new record never replaces one that is there; a replacement does, whole.
    EXPECT_FALSE(WriteJournal(path.c_str(), written));
    SJobFiles files;
    ASSERT_TRUE(JobFilesOfRecord(path.c_str(), &files));
    written.direction = DIRECTION_FORWARD;
    ASSERT_TRUE(ReplaceJournal(files, dir.path().c_str(), written));
    ASSERT_EQ(ReadJournal(path.c_str(), &read), JOURNAL_FOUND);
    EXPECT_EQ(read.direction, DIRECTION_FORWARD);
    EXPECT_FALSE(FileExists(files.next));
    // A replacement that cannot be written fails with its own reason, not that of the
    // tidying after it, and leaves the record as it was.
    ASSERT_TRUE(std::filesystem::create_directory(files.next));
    written.direction = DIRECTION_UNDO;
    EXPECT_FALSE(ReplaceJournal(files, dir.path().c_str(), written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    ASSERT_EQ(ReadJournal(path.c_str(), &read), JOURNAL_FOUND);
    EXPECT_EQ(read.direction, DIRECTION_FORWARD);
}

// Every cut of a record is one that was never written whole; anything else that is not
// whole was changed since, and neither is ever followed.
TEST(Journal, TellsACutRecordFromADamagedOne)
{
    const std::string whole = Sealed(Version3("/m/Inbox"));
    struct Case {
        const char *what;
        std::string text;
        EJournalState state;
    } cases[] = {
        {"whole", whole, JOURNAL_FOUND},
        {"a path that holds an end line", Sealed(Version3("/m/x\nend 0123456789ABCDEF\n")), JOURNAL_FOUND},
        {"the end checksum wrong", whole.substr(0, whole.size() - 2) + (whole[whole.size() - 2] == '0' ? "1\n" : "0\n"),
         JOURNAL_UNREADABLE},
        {"bytes after the end line", whole + "x", JOURNAL_UNREADABLE},
        // Read as far as a record can go, it would look cut short.
        {"longer than any record", Sealed(Version3(std::string(PATH_SIZE + 1024, 'p'))), JOURNAL_UNREADABLE},
        // Its length whole, so not cut short: damaged.
        {"a byte of the end checksum not hexadecimal", whole.substr(0, whole.size() - 2) + "G\n", JOURNAL_UNREADABLE},
        {"a line changed", Sealed(Version3("/m/Inbox")).replace(whole.find("length 1"), 8, "length 2"),
         JOURNAL_UNREADABLE},
        {"a number of 21 digits", Sealed(Version3("/m/Inbox", "000000000000000004096")), JOURNAL_UNREADABLE},
        {"a number past 64 bits", Sealed(Version3("/m/Inbox", "18446744073709551616")), JOURNAL_UNREADABLE},
        {"a NUL inside a path", Sealed(Version3(std::string("/m/In\0box", 9))), JOURNAL_UNREADABLE},
        {"another version, checksummed again", Sealed("quorvel journal 4\n" + Version3("/m").substr(18)),
         JOURNAL_OTHER_VERSION},
        // Written by no release: refused like any other.
        {"version 2", Sealed("quorvel journal 2\n" + Version3("/m").substr(18)), JOURNAL_OTHER_VERSION},
        {"not a record", Sealed("something else\n"), JOURNAL_UNREADABLE},
    };
    TestDir dir;
    std::string path = dir.File("r.JNL");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(path, c.text);
        SJournal read;
        EXPECT_EQ(ReadJournal(path.c_str(), &read), c.state);
    }
    // Every digit of the end checksum counts.
    const std::size_t sumAt = whole.size() - 17;
    for (std::size_t i = sumAt; i < sumAt + 16; ++i) {
        std::string changed = whole;
        changed[i] = changed[i] == '0' ? '1' : '0';
        WriteFile(path, changed);
        SJournal read;
        EXPECT_EQ(ReadJournal(path.c_str(), &read), JOURNAL_UNREADABLE) << "digit " << i - sumAt << " changed";
    }
    for (std::size_t n = 0; n < whole.size(); ++n) {
        WriteFile(path, whole.substr(0, n));
        SJournal read;
        EXPECT_EQ(ReadJournal(path.c_str(), &read), JOURNAL_UNFINISHED) << "cut after " << n << " bytes";
    }
}

// A stopped job whose record cannot be followed (of an earlier build or a later one, or
// damaged since), or whose copy is not as the record says: neither the next run nor --undo
// writes a byte or deletes a file, and --check and -o are told it is refused.
TEST(Journal, RefusesAStoppedJobItCannotFollowChangingNothing)
{
    // The copy's length is no multiple of four, so that its last byte is summed alone.
    const std::string rest = "From a\n\x1b$)C\x0e\x30\x21\x0f ab\n", to = "From a\n\xb0\xa1 ab\n";
    const std::string state = to.substr(0, 8) + rest.substr(8);
    auto version = [](const char *v) {
        return [v](std::string text) {
            return Sealed("quorvel journal " + std::string(v) + "\n" + text.substr(18, text.rfind("end ") - 18));
        };
    };
    auto same = [](std::string text) { return text; };
    // The record's checksum of the conversion changed, and the record sealed again: this
    // build's conversion of the copy is not what that job wrote.
    auto otherConversion = [](std::string text) {
        text = text.substr(0, text.rfind("end "));
        std::size_t sum = text.find(' ', text.find("converted ") + 10) + 1;
        text[sum] = text[sum] == '0' ? '1' : '0';
        return Sealed(text);
    };
    struct Case {
        const char *what;
        std::function<std::string(std::string)> record, copy;
        DWORD error;
    } cases[] = {
        {"version 1", version("1"), same, ERROR_INTERRUPTED_OTHER_VERSION},
        {"version 2", version("2"), same, ERROR_INTERRUPTED_OTHER_VERSION},
        {"version 4", version("4"), same, ERROR_INTERRUPTED_OTHER_VERSION},
        {"a record changed since", [](std::string text) { return text.replace(text.find("start 0"), 7, "start 1"); },
         same, ERROR_INTERRUPTED_RECORD_UNREADABLE},
        // Beyond the conversion's reach: the undo would write it back as the original.
        {"the copy's last byte changed", same, [](std::string text) { return text.replace(text.size() - 1, 1, "\r"); },
         ERROR_INTERRUPTED_COPY_NOT_WHOLE},
        {"another conversion", otherConversion, same, ERROR_INTERRUPTED_OTHER_CONVERSION},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        std::string inbox = dir.File("Inbox");
        LeaveStoppedJob(inbox, "", rest, to, "plain", state);
        std::vector<std::string> files = dir.StateFiles();
        for (const std::string &name : files) {
            std::string path = dir.StateDirectory() + "/" + name;
            bool record = name.compare(name.size() - 4, 4, ".JNL") == 0;
            WriteFile(path, (record ? c.record : c.copy)(ReadFile(path)));
        }
        std::vector<std::string> texts;
        for (const std::string &name : files)
            texts.push_back(ReadFile(dir.StateDirectory() + "/" + name));
        SJobResult result;
        EXPECT_FALSE(ConvertAt(inbox, SConverters(), &result));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_FALSE(UndoAt(inbox, SConverters(), &result));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(PendingAt(inbox, SConverters(), &result), PENDING_REFUSED);
        EXPECT_EQ(ReadFile(inbox), state);
        ASSERT_EQ(dir.StateFiles(), files);
        for (std::size_t i = 0; i < files.size(); ++i)
            EXPECT_EQ(ReadFile(dir.StateDirectory() + "/" + files[i]), texts[i]) << files[i];
    }
}

// A checksum that tells bytes apart, not only their number, wherever they fall.
TEST(Journal, ChecksumTellsEveryByte)
{
    std::string a(1000, 'x');
    SChecksum whole;
    whole.Add(a.data(), a.size());
    for (std::size_t at : {0u, 31u, 32u, 500u, 999u}) {
        std::string b = a;
        b[at] ^= 1;
        SChecksum other;
        other.Add(b.data(), b.size());
        EXPECT_NE(other.Value(), whole.Value()) << at;
    }
    SChecksum pieces;
    pieces.Add(a.data(), 7);
    pieces.Add(a.data() + 7, 600);
    pieces.Add(a.data() + 607, 393);
    EXPECT_EQ(pieces.Value(), whole.Value());
}


// Conversions that grow a folder (bare LF to CR LF, as the plain one does on Windows) and
// shrink it (CR LF to LF, as it does elsewhere), the same everywhere.
std::string ToCrLf(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    return out;
}

std::string ToLf(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    }
    return out;
}

template <std::string (*F)(const std::string &)>
int AsStream(FILE *in, FILE *out)
{
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
        text.append(buffer, n);
    std::string converted = F(text);
    return !std::ferror(in) && std::fwrite(converted.data(), 1, converted.size(), out) == converted.size() &&
           std::fflush(out) == 0;
}

// A conversion made again as it is read gives its bytes wherever it is read: on from where
// the last read ended, back before it (made again from the start), and far ahead of it,
// across many of its buffers; and it ends where the conversion does.
TEST(Journal, ConvertedBytesGiveTheConversionReadFromAnywhere)
{
    TestDir dir;
    std::string path = dir.File("copy"), text;
    for (int i = 0; text.size() < 300000; ++i)
        text += "line " + std::to_string(i) + "\n";
    WriteFile(path, text);
    const std::string converted = ToCrLf(text);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    SFileIdentity id;
    ASSERT_TRUE(GetFileIdentity(file, &id));
    CloseHandle(file);
    CConvertedBytes bytes(AsStream<ToCrLf>, path.c_str(), id);
    if (!bytes.Start()) {
        ASSERT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);  // converted into a scratch file instead
        return;
    }
    char buffer[5000];
    for (std::uint64_t at : {0u, 4000u, 100u, 250000u, 250001u, 10u}) {
        DWORD got = 0;
        ASSERT_TRUE(bytes.Read(at, buffer, sizeof buffer, &got)) << at;
        EXPECT_EQ(std::string(buffer, got), converted.substr(at, sizeof buffer)) << at;
    }
    DWORD got = 1;
    ASSERT_TRUE(bytes.Read(converted.size() - 3, buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), converted.substr(converted.size() - 3));
}

// Every state a stopped job can leave, with a mail appended since: the next job completes
// the conversion and --undo gives the original, each with the mail once after it, whether
// the conversion grows the folder or shrinks it.  The mail begins where the job's bytes end,
// as their lengths say: past the original's end, the conversion's next bytes may well be a
// "From " line too.  A folder stopped before the copy's end and then moved to another file
// system (a new file at a new path, the trace left where it was) is found by what it holds.
TEST(Journal, KeepsMailAppendedAfterAStopOnceWhereverTheJobStopped)
{
    const std::string mails = "From a\nSubject: one\n\nbody\n\nFrom b\nSubject: two\n\nbody\n\n";
    struct Case {
        const char *what;
        StreamConverter convert;
        const char *name;
        std::string front, rest;
    } cases[] = {
        {"grows", AsStream<ToCrLf>, "to CR LF", ToCrLf("From f\n\nfront\n\n"), mails + mails},
        {"shrinks", AsStream<ToLf>, "to LF", "From f\n\nfront\n\n", ToCrLf(mails + mails)},
    };
    // As Python's mailbox.mbox.add() writes a mail, and after a blank line.
    const std::string appended[] = {"From new\nSubject: since\n\nnew\n\n", "\nFrom new\nSubject: since\n\nnew\n"};
    for (const Case &c : cases) {
        auto convert = c.convert == AsStream<ToCrLf> ? ToCrLf : ToLf;
        std::string to = convert(c.rest);
        std::size_t f = c.rest.size(), t = to.size(), longer = std::max(f, t);
        auto nuls = [&](std::size_t from) { return std::string(longer - std::min(longer, from), '\0'); };
        // Stopped after w bytes of the conversion, the folder already as long as it is.
        auto stoppedAt = [&](std::size_t w) {
            return to.substr(0, w) + (w < f ? c.rest.substr(w) : "") + nuls(std::max(w, f));
        };
        // The first four leave the copy's last bytes in place.
        std::vector<std::pair<const char *, std::string>> states = {
            {"nothing written", c.rest},
            {"made longer", c.rest + nuls(f)},
            {"stopped in a mail", stoppedAt(std::min(f, t) / 2 + 3)},
            {"stopped at a From line", stoppedAt(to.find("From b"))},
            {"written, not cut", stoppedAt(t)},
            {"written and cut", to},
        };
        if (t > f)
            states.emplace_back("stopped past the original's end", stoppedAt((f + t) / 2 + 1));
        for (std::size_t s = 0; s < states.size() * 2; ++s) {
            const auto &state = states[s % states.size()];
            bool moved = s >= states.size();
            if (moved && s - states.size() >= 4)
                continue;
            for (const std::string &mail : appended) {
                for (bool undo : {false, true}) {
                    SCOPED_TRACE(std::string(c.what) + ", " + state.first + (moved ? ", moved" : "") +
                                 (undo ? ", undone" : ", completed") +
                                 (mail[0] == '\n' ? ", after a blank line" : ""));
                    TestDir dir;
                    std::string inbox = dir.File("Inbox");
                    LeaveStoppedJob(inbox, c.front, c.rest, to, c.name, state.second + mail);
                    std::string trace = inbox + ".quorvel";
                    // Stopped too as it replaced its record: the new one is written anew.
                    for (const std::string &name : dir.StateFiles()) {
                        if (name.find(".JNL") != std::string::npos)
                            WriteFile(dir.StateDirectory() + "/" + name.substr(0, name.size() - 4) + ".JNW", "quorvel");
                    }
                    if (moved) {
                        char stateDir[PATH_SIZE];
                        ASSERT_TRUE(GetStateDirectory(stateDir, sizeof stateDir, false));
                        for (const std::string &name : dir.StateFiles()) {
                            if (name.find(".JNL") != std::string::npos)
                                WriteFile(trace, stateDir + name + "\n");
                        }
                        WriteFile(dir.File("Moved"), ReadFile(inbox));
                        ASSERT_TRUE(DeleteFileA(inbox.c_str()));
                        inbox = dir.File("Moved");
                    }
                    SJobResult result;
                    if (undo) {
                        ASSERT_TRUE(UndoAt(inbox, Converting(c.name, c.convert), &result)) << GetLastError();
                        EXPECT_EQ(ReadFile(inbox), c.front + c.rest + mail);
                    } else {
                        ASSERT_TRUE(ConvertAt(inbox, Converting(c.name, c.convert), &result)) << GetLastError();
                        // The mail kept, then converted by the job that goes on.
                        EXPECT_EQ(ReadFile(inbox), c.front + to + convert(mail));
                        EXPECT_EQ(result.appendedKept, mail.size());
                    }
                    EXPECT_EQ(result.keptOld[0], '\0') << result.keptOld;
                    EXPECT_TRUE(dir.StateFiles().empty());
                    EXPECT_FALSE(FileExists(trace));
                }
            }
        }
    }
}

// A mail deleted from the front since the stop, in place or by a new file renamed over the
// folder: the front no longer matches the record, so neither the next job nor --undo
// writes anything after it; --undo tells where the job's bytes now begin.
TEST(Journal, WritesNothingAfterAFrontThatChangedSinceTheStop)
{
    const SConverters toLf = Converting("to LF", AsStream<ToLf>);
    const std::string first = "From e\nSubject: deleted\n\nfirst\n\n", front = first + "From f\n\nfront\n\n";
    const std::string rest = ToCrLf("From a\nSubject: one\n\nbody\n\nFrom b\n\nbody\n\n"), to = ToLf(rest);
    const std::string state = to.substr(0, 20) + rest.substr(20);
    for (bool renamed : {false, true}) {
        SCOPED_TRACE(renamed ? "renamed over" : "in place");
        TestDir dir;
        std::string inbox = dir.File("Inbox");
        LeaveStoppedJob(inbox, front, rest, to, "to LF", state);
        const std::string now = front.substr(first.size()) + state;
        if (renamed) {
            WriteFile(inbox + ".new", now);
            ASSERT_TRUE(MoveFileExA((inbox + ".new").c_str(), inbox.c_str(), MOVEFILE_REPLACE_EXISTING));
        } else {
            WriteFile(inbox, now);
        }
        SJobResult result;
        EXPECT_FALSE(ConvertAt(inbox, toLf, &result));
        EXPECT_EQ(GetLastError(), ERROR_INTERRUPTED_FRONT_CHANGED);
        EXPECT_EQ(PendingAt(inbox, toLf, &result), PENDING_REFUSED);
        EXPECT_TRUE(result.differsBefore);
        EXPECT_FALSE(UndoAt(inbox, toLf, &result));
        EXPECT_EQ(GetLastError(), ERROR_INTERRUPTED_FRONT_CHANGED);
        EXPECT_TRUE(result.frontFound);
        EXPECT_EQ(result.frontNow, front.size() - first.size());
        EXPECT_EQ(ReadFile(inbox), now);
        EXPECT_EQ(dir.StateFiles().size(), 2u) << "the copy and the record kept";
    }
}

// A folder left half written, then moved or copied where no record of its job is in reach
// (another machine): converted text before ISO-2022-KR text whose designator went with the
// converted part is refused, changing nothing.  Converted mails with an ISO-2022-KR mail
// appended after them, the usual folder, are converted.
TEST(Journal, RefusesAFolderHalfWrittenWithNoRecordInReach)
{
    const std::string mail = "From a\n\n\x1b$)C\n\x0e\x30\x21\x0f abc\n\x0e\x30\x22\x0f def\n\n";
    const std::string converted = "From a\n\n\xb0\xa1 abc\n\xb0\xa2 def\n\n";
    struct Case {
        const char *what;
        std::string folder;
        bool refused;
    } cases[] = {
        {"stopped within a mail", converted.substr(0, 15) + mail.substr(15) + mail, true},
        {"a mail appended to converted ones", converted + mail, false},
    };
    for (const Case &c : cases) {
        for (StreamConverter convert : {ConvertStream, RelabelStream}) {
            SCOPED_TRACE(std::string(c.what) + (convert == ConvertStream ? ", plain" : ", relabelling"));
            TestDir dir;
            std::string inbox = dir.File("Inbox");
            WriteFile(inbox, c.folder);
            bool converts = ConvertAt(inbox, convert == ConvertStream ? SConverters() : Converting("relabel", convert));
            EXPECT_EQ(converts, !c.refused);
            if (c.refused) {
                EXPECT_EQ(GetLastError(), ERROR_HALF_WRITTEN_NO_RECORD);
                EXPECT_EQ(ReadFile(inbox), c.folder);
            } else {
                EXPECT_EQ(ReadFile(inbox).find_first_of("\x1b\x0e"), std::string::npos);
            }
            EXPECT_TRUE(dir.StateFiles().empty());
        }
    }
}

// A job on another folder, converting or finding nothing to change, leaves the files of a
// stopped job alone: they are the only copy of what that folder held.
TEST(Journal, KeepsAStoppedJobApartFromJobsOnOtherFolders)
{
    // A conversion that changes the platform's line ends the other way, so that the job
    // finds something to change.
    const bool crLf = PLATFORM_LINE_END[0] == '\r';
    const StreamConverter convert = crLf ? AsStream<ToCrLf> : AsStream<ToLf>;
    const char *name = crLf ? "to CR LF" : "to LF";
    const SConverters converters = Converting(name, convert);
    const std::string text = "From a\n\none\n\nFrom b\n\ntwo\n\n", front = Lines("From f\n\nfront\n\n");
    const std::string rest = crLf ? text : ToCrLf(text), to = crLf ? ToCrLf(text) : text;
    // Stopped half-way, the folder already as long as the conversion.
    const std::string state = to.substr(0, 10) + rest.substr(10) + std::string(crLf ? to.size() - rest.size() : 0, '\0');
    TestDir dir;
    std::string inbox = dir.File("Inbox"), other = dir.File("Other"), plain = dir.File("Plain");
    LeaveStoppedJob(inbox, front, rest, to, name, state);
    WriteFile(other, rest);
    WriteFile(plain, to);
    // And a job on yet another folder that has only begun to write its record, and one
    // whose record was damaged since.
    char base[PATH_SIZE], damaged[PATH_SIZE];
    ASSERT_TRUE(MakeJobBase({0xFFFF, 0, 0x1234, 0}, 1, true, base, sizeof base));
    WriteFile(dir.StateDirectory() + "/" + base + ".JNL", "quorvel journal 3\nfolder 9:/m/Other");
    WriteFile(dir.StateDirectory() + "/" + base + ".TMP", rest);
    ASSERT_TRUE(MakeJobBase({0xFFFF, 0, 0x5678, 0}, 1, true, damaged, sizeof damaged));
    WriteFile(dir.StateDirectory() + "/" + damaged + ".JNL", Sealed(Version3("/m/Gone")) + "x");
    SJobResult result;
    ASSERT_TRUE(ConvertAt(other, converters, &result)) << GetLastError();
    ASSERT_TRUE(ConvertAt(plain, converters, &result)) << GetLastError();
    ASSERT_TRUE(TidyAt(plain, &result));
    EXPECT_EQ(ReadFile(other), to);
    EXPECT_EQ(dir.StateFiles().size(), 5u) << "the stopped job's copy and record kept, and the others'";
    ASSERT_TRUE(ConvertAt(inbox, converters, &result)) << GetLastError();
    EXPECT_EQ(ReadFile(inbox), front + to);
    EXPECT_EQ(dir.StateFiles().size(), 3u);
}

#ifndef _WIN32
// Another user's record is passed over; one of ours that others could have changed since
// is not followed.
TEST(Journal, FollowsOnlyARecordOfTheUsersOwn)
{
    TestDir dir;
    std::string path = dir.File("r.JNL");
    SJournal read;
    ASSERT_TRUE(WriteJournal(path.c_str(), Sample()));
    ASSERT_EQ(chmod(path.c_str(), 0620), 0);
    EXPECT_EQ(ReadJournal(path.c_str(), &read), JOURNAL_UNREADABLE) << "group-writable";
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    std::string link = dir.File("link.JNL");
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
    EXPECT_EQ(ReadJournal(path.c_str(), &read), JOURNAL_UNREADABLE) << "a second name";
    ASSERT_EQ(unlink(link.c_str()), 0);
    EXPECT_EQ(ReadJournal(path.c_str(), &read), JOURNAL_FOUND);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        EXPECT_EQ(ReadJournal(path.c_str(), &read), JOURNAL_NOT_OURS);
        // Nor is a copy that another user has made theirs since, the same bytes or not.
        const std::string rest = ToCrLf("From a\n\none\n\n"), to = ToLf(rest);
        std::string inbox = dir.File("Inbox");
        LeaveStoppedJob(inbox, "", rest, to, "to LF", to.substr(0, 8) + rest.substr(8));
        std::vector<std::string> files = dir.StateFiles();
        auto copy = std::find_if(files.begin(), files.end(), [](const std::string &n) {
            return n.size() > 4 && n.compare(n.size() - 4, 4, ".TMP") == 0;
        });
        ASSERT_NE(copy, files.end());
        ASSERT_EQ(chown((dir.StateDirectory() + "/" + *copy).c_str(), 65534, 65534), 0);
        SJobResult result;
        EXPECT_FALSE(ConvertAt(inbox, Converting("to LF", AsStream<ToLf>), &result));
        EXPECT_EQ(GetLastError(), ERROR_INTERRUPTED_COPY_NOT_WHOLE);
        EXPECT_EQ(ReadFile(inbox), to.substr(0, 8) + rest.substr(8));
    }
}
#endif

}  // namespace
