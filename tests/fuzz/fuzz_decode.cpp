// A libFuzzer target: the vectorised decoders against the plain one, in memory, on arbitrary
// bytes.  For every input and every vectorised decoder the processor runs:
//  - the run decoders alone, from both shift states and two starting points: the fast one
//    followed by the plain one gives the same bytes, position and state as the plain one;
//  - ConvertBuffer with each decoder, on the input as it is, after a designator and after a
//    designator and SO (so that every input is also decoded, and also starts shifted);
//  - the fast decoder through ConvertLine, the input cut into pieces of sizes drawn from
//    the input, against the plain ConvertBuffer of the whole;
//  - the fast decoder on the input as a text apart, in small pieces, each given only the
//    room that ApartRoom says it needs, against the same.
// Nothing may land past the room each caller gives: every output buffer ends in a canary.
// A failed check prints what failed and aborts, which libFuzzer reports with the input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "convert.h"
#include "decode_run.h"
#include "pieces.h"
#include "platform.h"

namespace {

const std::string DESIGNATOR = "\x1b$)C";
const std::string SO = "\x0e";
const unsigned char HIGH_BIT = 0x80;
const std::size_t CANARY_SIZE = 64;
const unsigned char CANARY = 0xA5;

void Fail(const char *what, const std::string &detail = std::string())
{
    std::fprintf(stderr, "fuzz_decode: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

// An output buffer of room bytes followed by a canary.  One at a time, its memory kept
// from one input to the next: the allocator under the sanitizers is slow.
class Output {
public:
    explicit Output(std::size_t room) { g_bytes.assign(room + CANARY_SIZE, CANARY); }
    unsigned char *data() { return g_bytes.data(); }
    void CheckCanary(const char *who) const
    {
        for (std::size_t i = g_bytes.size() - CANARY_SIZE; i < g_bytes.size(); ++i)
            if (g_bytes[i] != CANARY)
                Fail("written past the room it was given", who);
    }

private:
    static std::vector<unsigned char> g_bytes;
};
std::vector<unsigned char> Output::g_bytes;

struct Run {
    std::string out;
    std::size_t read;
    unsigned char shiftMask;
};

// Decodes the run at in[0, n) with first (if any), then DecodeRun.
Run DecodeOneRun(RunDecoder first, const unsigned char *in, std::size_t n, unsigned char shiftMask)
{
    Output out(n);
    const unsigned char *p = in;
    unsigned char *o = out.data();
    if (first != nullptr)
        o = first(p, in + n, o, shiftMask);
    o = DecodeRun(p, in + n, o, shiftMask);
    out.CheckCanary("a run decoder");
    if (p < in || p > in + n || o < out.data() || static_cast<std::size_t>(o - out.data()) > n)
        Fail("a run decoder went out of its bounds");
    return Run{std::string(out.data(), o), static_cast<std::size_t>(p - in), shiftMask};
}

void CompareRuns(RunDecoder fast, const unsigned char *in, std::size_t n)
{
    for (unsigned char shiftMask : {static_cast<unsigned char>(0), HIGH_BIT}) {
        Run plain = DecodeOneRun(nullptr, in, n, shiftMask);
        Run both = DecodeOneRun(fast, in, n, shiftMask);
        if (both.out != plain.out || both.read != plain.read || both.shiftMask != plain.shiftMask)
            Fail("the run decoders differ", "shift mask " + std::to_string(shiftMask));
    }
}

std::string Buffer(const std::string &in)
{
    // The least room its contract allows: the platform's line end for every byte, and 4.
    const std::size_t room = std::strlen(PLATFORM_LINE_END) * in.size() + 4;
    Output out(room);
    std::size_t n = ConvertBuffer(in.data(), in.size(), reinterpret_cast<char *>(out.data()));
    out.CheckCanary("ConvertBuffer");
    if (n > room)
        Fail("ConvertBuffer claims more than its room");
    return std::string(out.data(), out.data() + n);
}

// Decodes in as a text apart, in pieces of 1 to 8 bytes drawn from seed, where what the
// decoder holds back weighs the most, each into the room that ApartRoom gives it.
std::string ApartInPieces(const std::string &in, std::uint32_t seed)
{
    SApartDecoder decoder = StartApart(0, APART_FOLDER_LINES);
    std::string whole;
    for (std::size_t at = 0;;) {
        seed = seed * 1664525u + 1013904223u;
        std::size_t n = std::min<std::size_t>(1 + (seed >> 16) % 8, in.size() - at);
        Output out(ApartRoom(n));
        char *o = reinterpret_cast<char *>(out.data());
        std::size_t written = DecodeApartPiece(decoder, in.data() + at, n, o);
        at += n;
        if (at == in.size())
            written += EndApart(decoder, o + written);
        out.CheckCanary("DecodeApartPiece");
        whole.append(o, written);
        if (at == in.size())
            return whole;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string in(reinterpret_cast<const char *>(data), size);
    const std::uint32_t hash = Hash(in);
    const std::string prefixes[] = {std::string(), DESIGNATOR, DESIGNATOR + SO};
    std::string plain[3];
    g_pfnDecodeRun = DecodeRun;
    g_pfnDecodeText = nullptr;
    for (int i = 0; i < 3; ++i)
        plain[i] = Buffer(prefixes[i] + in);

    static const unsigned features = ProcessorFeatures();
    for (unsigned wanted : {CPU_SSE2, CPU_SSE2 | CPU_SSSE3, CPU_SSE2 | CPU_SSSE3 | CPU_AVX2,
                            CPU_SSE2 | CPU_SSSE3 | CPU_AVX2 | CPU_AVX512}) {
        RunDecoder fast = ChooseRunDecoder(wanted);
        TextDecoder text = ChooseTextDecoder(wanted);
        if ((features & wanted) != wanted || fast == DecodeRun)
            continue;
        CompareRuns(fast, data, size);
        std::size_t start = hash % 16;
        if (start < size)
            CompareRuns(fast, data + start, size - start);

        g_pfnDecodeRun = fast;
        g_pfnDecodeText = text;
        for (int i = 0; i < 3; ++i)
            if (Buffer(prefixes[i] + in) != plain[i])
                Fail("ConvertBuffer differs between the decoders", "prefix " + std::to_string(i));
        // ConvertBuffer writes out what was held back at the end, as ConvertFileEnd does.
        bool streamOk;
        std::string pieces = DecodeInPieces(in, hash, 40, streamOk);
        if (!streamOk)
            Fail("the memory stream");
        if (pieces != plain[0])
            Fail("a fast decoder in pieces differs from the plain one on the whole");
        if (ApartInPieces(in, hash) != plain[0])
            Fail("a fast decoder apart, in pieces, differs from the plain one on the whole");
        g_pfnDecodeRun = DecodeRun;
        g_pfnDecodeText = nullptr;
    }
    return 0;
}
