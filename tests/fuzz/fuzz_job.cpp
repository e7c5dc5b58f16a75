// A libFuzzer target: runs the whole Inbox conversion job on arbitrary bytes and checks what
// must hold for any folder, well-formed or not.
//
// For every input:
//  - the job succeeds, leaves no temporary file, and deletes the summary file where it
//    changed the folder, and only there;
//  - the length of the result follows from a count of the input's bytes (see ExpectedLength);
//  - the result is what a plain reading of the decoder's rules gives (see ReferenceDecode);
//  - a folder without a designator comes back byte for byte, line ends aside;
//  - decoding the input cut into other pieces gives the same bytes as the job;
//  - converting the result again changes nothing but line ends, where the result holds no
//    designator.  A removal can join the bytes around it into a new designator (ESC, a
//    designator, "$)C"); a second run removes that one too, as it cannot tell it from one
//    that came with the mail.  Such inputs, and those where a designator stays before a
//    "From " line or before "From " on its line, are counted and reported at the end.
// A failed check prints what failed and aborts, which libFuzzer reports with the input.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert.h"
#include "pieces.h"
#include "platform.h"

namespace {

const char DESIGNATOR[] = "\x1b$)C";
const std::size_t DESIGNATOR_SIZE = 4;
const char LF = '\n';
const char CR = '\r';
const char SO = '\x0e';
const char SI = '\x0f';
const std::string LINE_END = PLATFORM_LINE_END;

std::string g_dir;        // private working directory: Inbox, Inbox.snm, second
std::string g_tempDir;    // the home of the job's state directory, inside g_dir
std::string g_inbox;
std::string g_summary;
std::string g_second;
unsigned long g_joined;   // inputs whose result held a designator, kept or made by a removal

void RemoveWorkingDirectory();

void Fail(const char *what, const std::string &detail = std::string())
{
    std::fprintf(stderr, "fuzz_job: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    RemoveWorkingDirectory();
    std::abort();
}

void Check(bool ok, const char *what)
{
    if (!ok)
        Fail(what);
}

std::string ReadAll(const std::string &path)
{
    std::string bytes;
    FILE *in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        Fail("cannot read", path);
    char block[65536];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0)
        bytes.append(block, n);
    std::fclose(in);
    return bytes;
}

void WriteAll(const std::string &path, const std::uint8_t *data, std::size_t size)
{
    FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(data, 1, size, out) != size || std::fclose(out) != 0)
        Fail("cannot write", path);
}

std::size_t EntriesIn(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        Fail("cannot list", path);
    std::size_t count = 0;
    while (const dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ++count;
    closedir(dir);
    return count;
}

bool HasDesignator(const std::string &bytes)
{
    return bytes.find(DESIGNATOR) != std::string::npos;
}

// The size of the line end at in[at], CR LF or LF; 0 for none.
std::size_t LineEndAt(const std::string &in, std::size_t at)
{
    return in.compare(at, 1, "\n") == 0 ? 1 : in.compare(at, 2, "\r\n") == 0 ? 2 : 0;
}

// Whether the designator at in[at] is a line of its own, *stays whether that line stays
// (before a line that starts "From "), and *endStays whether its line end alone stays
// (before a line that starts "--", a boundary's, which owns the line end before it).
bool DesignatorLine(const std::string &in, std::size_t at, bool *stays, bool *endStays)
{
    std::size_t lineEnd = LineEndAt(in, at + DESIGNATOR_SIZE);
    *stays = in.compare(at + DESIGNATOR_SIZE + lineEnd, 5, "From ") == 0;
    *endStays = in.compare(at + DESIGNATOR_SIZE + lineEnd, 2, "--") == 0;
    return (at == 0 || in[at - 1] == LF) && lineEnd > 0;
}

// Where a line starts at in[at], seen telling whether a designator came before: when the line
// goes on "From ", unshifted, after bytes that all go in decoding (designators, and SO and SI
// once a designator has come), their number, and in *kept what of them stays (the last
// designator, or SI and the SO just before it); otherwise 0.
std::size_t FromAfterLineStart(const std::string &in, std::size_t at, bool seen, std::string *kept)
{
    std::size_t i = at;
    bool shifted = false;
    std::string last;
    for (;;) {
        if (in.compare(i, DESIGNATOR_SIZE, DESIGNATOR) == 0) {
            seen = true;
            last = DESIGNATOR;
            i += DESIGNATOR_SIZE;
        } else if (seen && i < in.size() && (in[i] == SO || in[i] == SI)) {
            shifted = in[i] == SO;
            last = shifted ? std::string(1, SO) : last == std::string(1, SO) ? std::string{SO, SI} : std::string(1, SI);
            ++i;
        } else {
            break;
        }
    }
    if (i == at || shifted || in.compare(i, 5, "From ") != 0)
        return 0;
    *kept = last;
    return i - at;
}

// What the decoder's rules say about the length of its output, from a count of the input:
// every designator goes (4 bytes), and so do SO and SI after the first one; a line end, CR LF
// or a bare LF, becomes the platform's; a line that is one designator and its line end goes
// whole, but stays whole before a "From " line; of what goes from a line's start before
// "From " on it, the last designator or SI (SO SI) stays.  A designator cannot hold CR, LF,
// SO or SI, so each byte counts one way only.
std::size_t ExpectedLength(const std::string &in)
{
    std::size_t designators = 0, shifts = 0, lineEnds = 0, crLineEnds = 0, designatorLines = 0;
    std::size_t first = in.find(DESIGNATOR);
    for (std::size_t at = first; at != std::string::npos; at = in.find(DESIGNATOR, at + DESIGNATOR_SIZE)) {
        bool stays, endStays;
        if (!DesignatorLine(in, at, &stays, &endStays)) {
            ++designators;
        } else if (!stays) {
            ++designators;
            designatorLines += endStays ? 0 : 1;
        }
    }
    for (std::size_t i = 0; i < in.size(); ++i) {
        if ((in[i] == SO || in[i] == SI) && first != std::string::npos && i >= first + DESIGNATOR_SIZE)
            ++shifts;
        if (in[i] == LF) {
            ++lineEnds;
            if (i > 0 && in[i - 1] == CR)
                ++crLineEnds;
        }
    }
    std::size_t kept = 0;
    for (std::size_t at = 0; at < in.size();) {
        std::string bytes;
        if (FromAfterLineStart(in, at, first != std::string::npos && at >= first + DESIGNATOR_SIZE, &bytes) > 0)
            kept += bytes.size();
        std::size_t lf = in.find(LF, at);
        at = lf == std::string::npos ? in.size() : lf + 1;
    }
    std::size_t text = in.size() - DESIGNATOR_SIZE * designators - lineEnds - crLineEnds - shifts + kept;
    return text + LINE_END.size() * (lineEnds - designatorLines);
}

// The text without a designator as the job writes it: each CR LF or bare LF becomes the
// platform's line end, and every other byte stays.
std::string PlainText(const std::string &in)
{
    std::string out;
    out.reserve(in.size() * 2);
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == CR && i + 1 < in.size() && in[i + 1] == LF)
            continue;
        if (in[i] == LF)
            out += LINE_END;
        else
            out += in[i];
    }
    return out;
}

// The decoder's rules written the plain way, over the whole input at once with look-ahead,
// where the decoder works piece by piece and carries its state: the two must agree.
std::string ReferenceDecode(const std::string &in)
{
    std::string out;
    bool seen = false, shifted = false;
    for (std::size_t i = 0; i < in.size();) {
        std::string kept;
        std::size_t gone = i == 0 || in[i - 1] == LF ? FromAfterLineStart(in, i, seen, &kept) : 0;
        if (gone > 0) {
            // SO and SI go only after a designator: one has come, or stands among them.
            out += kept;
            seen = true;
            shifted = false;
            i += gone;
            continue;
        }
        if (in.compare(i, DESIGNATOR_SIZE, DESIGNATOR) == 0) {
            seen = true;
            bool stays, endStays;
            bool line = DesignatorLine(in, i, &stays, &endStays);
            if (line && stays)
                out += DESIGNATOR + LINE_END;
            else if (line && endStays)
                out += LINE_END;
            i += DESIGNATOR_SIZE;
            if (line) {
                i += LineEndAt(in, i);
                shifted = false;
            }
            continue;
        }
        if (in[i] == LF || in.compare(i, 2, "\r\n") == 0) {
            out += LINE_END;
            shifted = false;
            i += in[i] == LF ? 1 : 2;
            continue;
        }
        char b = in[i++];
        if (seen && b == SO)
            shifted = true;
        else if (seen && b == SI)
            shifted = false;
        else if (seen && shifted && b != ' ' && b != '\t')
            out += static_cast<char>(b | '\x80');
        else
            out += b;
    }
    return out;
}

std::string Sizes(std::size_t got, std::size_t expected)
{
    return "got " + std::to_string(got) + " bytes, expected " + std::to_string(expected);
}

void RemoveWorkingDirectory()
{
    std::remove(g_inbox.c_str());
    std::remove(g_summary.c_str());
    std::remove(g_second.c_str());
    rmdir((g_tempDir + "/quorvel").c_str());
    rmdir(g_tempDir.c_str());
    rmdir(g_dir.c_str());
    std::fprintf(stderr, "fuzz_job: %lu inputs gave a result with a designator, kept or made by a removal\n",
                 g_joined);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Every run writes a few files: in memory, the fuzzer runs several times as fast.
    struct stat info;
    const char *base = std::getenv("TMPDIR");
    if (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode))
        base = "/dev/shm";
    else if (base == nullptr || *base == '\0')
        base = "/tmp";
    std::string pattern = std::string(base) + "/quorvel-fuzz.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        Fail("cannot create a working directory", pattern);
    g_dir = pattern;
    g_tempDir = g_dir + "/tmp";
    g_inbox = g_dir + "/Inbox";
    g_summary = g_inbox + ".snm";
    g_second = g_dir + "/second";
    if (mkdir(g_tempDir.c_str(), 0700) != 0)
        Fail("cannot create", g_tempDir);
    // The job's copy goes into its state directory, made under this one.
    setenv("XDG_STATE_HOME", g_tempDir.c_str(), 1);
    std::atexit(RemoveWorkingDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string in(reinterpret_cast<const char *>(data), size);
    WriteAll(g_inbox, data, size);
    WriteAll(g_summary, data, 0);

    // The whole job, as the program runs it.
    SJobResult result;
    if (!ConvertFolderAtPath(g_inbox.c_str(), SConverters(), &result)) {
        // A folder that reads as one a stopped job half wrote (converted text, then shifted
        // text whose designator is gone) is refused whole, and left as it was.
        Check(GetLastError() == ERROR_HALF_WRITTEN_NO_RECORD, "the job failed");
        Check(ReadAll(g_inbox) == in, "a folder refused as half written changed");
        return 0;
    }
    Check(g_fpIn == nullptr && g_fpOut == nullptr, "a stream was left open");
    Check(EntriesIn(g_tempDir + "/quorvel") == 0, "the copy was left behind");
    // The summary of a folder that changed goes; that of one left as it was stays.
    Check(EntriesIn(g_dir) == (result.rewritten ? 2u : 3u),
          result.rewritten ? "the summary file was not deleted" : "the summary of an unchanged folder was deleted");
    const std::string out = ReadAll(g_inbox);

    if (out.size() != ExpectedLength(in))
        Fail("wrong length", Sizes(out.size(), ExpectedLength(in)));
    if (out != ReferenceDecode(in))
        Fail("the result differs from the plain reading of the rules");
    if (!HasDesignator(in) && out != PlainText(in))
        Fail("a folder without a designator changed beyond its line ends");
    bool streamOk;
    std::string pieces = DecodeInPieces(in, Hash(in), 8, streamOk);
    Check(streamOk, "the memory stream");
    if (pieces != out)
        Fail("other pieces gave another result");

    if (HasDesignator(out)) {
        ++g_joined;
        return 0;
    }
    Check(DecodeFileTo(g_inbox.c_str(), g_second.c_str()) == 1, "the second conversion failed");
    const std::string again = ReadAll(g_second);
    std::remove(g_second.c_str());
    // Natively, a CR that ends up before a line end of the result (CR CR LF, or a CR, a
    // removed designator or SO, and LF) makes a CR LF, which the second run turns into LF.
    // With CR LF line ends nothing changes at all.
    if (again != PlainText(out))
        Fail("the second conversion changed more than line ends");
    if (LINE_END == "\r\n" && again != out)
        Fail("the second conversion changed the result");
    return 0;
}
