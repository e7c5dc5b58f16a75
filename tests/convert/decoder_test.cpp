// Tests of the ISO-2022-KR decoder, one table of {input, expected output} per behaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "convert.h"
#include "decode_run.h"
#include "test_files.h"

namespace {

using namespace std::string_literals;

const std::string DESIGNATOR = "\x1b$)C";
const std::string DESIGNATOR_LINE = DESIGNATOR + "\n";

struct Case {
    std::string input;
    std::string expected;  // "\n" stands for the platform's line end
};

// A way of decoding: the run decoder, and the text decoder tried before it.
struct Decoders {
    RunDecoder run;
    TextDecoder text;
    bool operator==(const Decoders &o) const { return run == o.run && text == o.text; }
};

// The ways this processor runs, the plain one first.
std::vector<Decoders> AllDecoders()
{
    std::vector<Decoders> all{{DecodeRun, nullptr}};
    for (unsigned wanted : {CPU_SSE2, CPU_SSE2 | CPU_SSSE3, CPU_SSE2 | CPU_SSSE3 | CPU_AVX2,
                            CPU_SSE2 | CPU_SSSE3 | CPU_AVX2 | CPU_AVX512}) {
        unsigned features = ProcessorFeatures() & wanted;
        Decoders d{ChooseRunDecoder(features), ChooseTextDecoder(features)};
        if (std::find(all.begin(), all.end(), d) == all.end())
            all.push_back(d);
    }
    return all;
}

// Decodes a whole file given as the pieces the job would read, and returns what it wrote.
std::string DecodePiecesWith(std::initializer_list<std::string> pieces)
{
    TestDir dir;
    std::string path = dir.File("out");
    g_fpOut = std::fopen(path.c_str(), "wb");
    EXPECT_NE(g_fpOut, nullptr);
    ResetDecoder();
    for (const std::string &piece : pieces) {
        EXPECT_LT(piece.size(), sizeof g_szLine);
        piece.copy(g_szLine, piece.size());
        g_szLine[piece.size()] = '\0';
        g_cbLine = static_cast<int>(piece.size());
        ConvertLine();
    }
    ConvertFileEnd();
    std::fclose(g_fpOut);
    g_fpOut = nullptr;
    return ReadFile(path);
}

// The same with every decoder, which must all agree; returns what the plain one wrote.
std::string DecodePieces(std::initializer_list<std::string> pieces)
{
    Decoders chosen{g_pfnDecodeRun, g_pfnDecodeText};
    std::string plain;
    for (const Decoders &decoders : AllDecoders()) {
        g_pfnDecodeRun = decoders.run;
        g_pfnDecodeText = decoders.text;
        std::string out = DecodePiecesWith(pieces);
        if (decoders.run == DecodeRun)
            plain = out;
        else
            EXPECT_EQ(out, plain) << "a vectorised decoder differs from the plain one";
    }
    g_pfnDecodeRun = chosen.run;
    g_pfnDecodeText = chosen.text;
    return plain;
}

std::string Decode(const std::string &input)
{
    return DecodePieces({input});
}

void ExpectAll(const Case *cases, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(testing::Message() << "case " << i);
        EXPECT_EQ(Decode(cases[i].input), Lines(cases[i].expected));
    }
}

template <std::size_t N>
void ExpectAll(const Case (&cases)[N])
{
    ExpectAll(cases, N);
}

TEST(Decoder, RemovesDesignatorsAndTheLinesThatHoldNothingElse)
{
    const Case cases[] = {
        {DESIGNATOR_LINE, ""},
        {DESIGNATOR + "\r\n", ""},
        {"x" + DESIGNATOR_LINE, "x\n"},
        {DESIGNATOR + "ab\n", "ab\n"},
        {DESIGNATOR + DESIGNATOR_LINE, "\n"},  // the second one does not start the line
        {DESIGNATOR, ""},                      // last line, no line end
        {"\n" + DESIGNATOR_LINE + "\n", "\n\n"},
        // Inside shifted text it goes too, and the text stays shifted.
        {DESIGNATOR_LINE + "\x0e" + DESIGNATOR + "\x30\x21\n", "\xb0\xa1\n"},
        // Before any designator SO is a plain byte; the designator then starts decoding.
        {"\x0e" + DESIGNATOR + "\x30\x21\n", "\x0e\x30\x21\n"},
        {"\x0e" + DESIGNATOR + "\x0e\x30\x21\n", "\x0e\xb0\xa1\n"},
        // Unfinished designators are text.
        {"\x1b$)\n", "\x1b$)\n"},
        {"\x1b$", "\x1b$"},
        {"\x1b\x1b$)C\x0e\x30\n", "\x1b\xb0\n"},
        // Before a "From " line it stays: removed, it could leave that line where a mail starts.
        {"a\n\n" + DESIGNATOR_LINE + "From b\n", "a\n\n" + DESIGNATOR_LINE + "From b\n"},
        {DESIGNATOR + "\r\nFrom b\r\n", DESIGNATOR_LINE + "From b\n"},
        {DESIGNATOR_LINE + DESIGNATOR_LINE + "From b\n", DESIGNATOR_LINE + "From b\n"},
        {DESIGNATOR_LINE + "Frog\n", "Frog\n"},
        {DESIGNATOR_LINE + "From", "From"},
        // So does the last designator, or SI and the SO just before it, of those that begin a
        // line before "From " on it, and only there.
        {"a\n\n" + DESIGNATOR + "From b\n" + DESIGNATOR + "Frog " + DESIGNATOR + "\n" + DESIGNATOR + "From",
         "a\n\n" + DESIGNATOR + "From b\nFrog \nFrom"},
        {DESIGNATOR_LINE + "\x0e\x0f" "From a\r\n\x0f" + DESIGNATOR + "\x0e\x0e\x0f" "From b\n\x0f" + DESIGNATOR +
             "From c\n" + DESIGNATOR + "\x0e" + DESIGNATOR + "\x0f" "From d\n\x0e\x0f" "Frog\n\x0e\x0f\x0e" "From\n",
         "\x0e\x0f" "From a\n\x0e\x0f" "From b\n" + DESIGNATOR + "From c\n\x0f" "From d\nFrog\n\xc6\xf2\xef\xed\n"},
        {DESIGNATOR_LINE + DESIGNATOR_LINE + "\x0f" "From b\n", "\x0f" "From b\n"},
        // Before a line that starts "--", as a MIME boundary does, its line end stays: the
        // boundary takes the line end before it, which would otherwise be the text's last.
        {"a\n" + DESIGNATOR_LINE + "--b\n", "a\n\n--b\n"},
        {"a\r\n" + DESIGNATOR + "\r\n--b--\r\n" + DESIGNATOR_LINE + "-x\n" + DESIGNATOR_LINE + "-",
         "a\n\n--b--\n-x\n-"},
    };
    ExpectAll(cases);
}

TEST(Decoder, SetsTheFlagOnlyAtADesignator)
{
    Decode("abc\x0e\x30\x21\x0f\n");
    EXPECT_EQ(g_bDesignatorSeen, 0);
    Decode("\x1b$)\n");
    EXPECT_EQ(g_bDesignatorSeen, 0);
    Decode(DESIGNATOR_LINE);
    EXPECT_EQ(g_bDesignatorSeen, 1);
}

TEST(Decoder, ShiftsBetweenSoAndSiAfterTheDesignator)
{
    const Case cases[] = {
        {DESIGNATOR_LINE + "\x41\x0e\x30\x21\x20\x09\x0f\x42\n", "\x41\xb0\xa1\x20\x09\x42\n"},
        // Every line starts unshifted.
        {DESIGNATOR_LINE + "\x0e\x30\x21\n\x30\x21\n", "\xb0\xa1\n\x30\x21\n"},
        {DESIGNATOR_LINE + "\x0e\x30\x21\r\n\x30\x21\n", "\xb0\xa1\n\x30\x21\n"},
        // A lone CR and an ESC that starts no designator get bit 7 like any byte.
        {DESIGNATOR_LINE + "\x0e\rx\x1bx\n", "\x8d\xf8\x9b\xf8\n"},
        // A space after a lone CR or ESC is still a space.
        {DESIGNATOR_LINE + "\x0e\r \x1b\t\x1b$ \n", "\x8d \x9b\t\x9b\xa4 \n"},
        {DESIGNATOR_LINE + "\x0e\x1b$)\x30\n", "\x9b\xa4\xa9\xb0\n"},
        {DESIGNATOR_LINE + "\x0e\x7f\x80\xfe\x0e\x0e\x0f\x0f\n", "\xff\x80\xfe\n"},
        {DESIGNATOR_LINE + "\x80\xa1\xfe\n", "\x80\xa1\xfe\n"},
        // No closing byte for a line that ends shifted.
        {DESIGNATOR_LINE + "\x0e\x30\x21", "\xb0\xa1"},
        // The designator also applies to later mails of the same file.
        {DESIGNATOR_LINE + "\n\nFrom x\n\x0e\x30\x21\x0f\n", "\n\nFrom x\n\xb0\xa1\n"},
    };
    ExpectAll(cases);
}

TEST(Decoder, PassesTextBeforeTheDesignatorThrough)
{
    const Case cases[] = {
        {"abc\n", "abc\n"},
        {"\x0e\x30\x21\x0f\n", "\x0e\x30\x21\x0f\n"},
        {"Content-Type: text/plain; charset=ISO-2022-KR\n",
         "Content-Type: text/plain; charset=ISO-2022-KR\n"},
        {"\xb0\xa1\x80\xfe\n", "\xb0\xa1\x80\xfe\n"},
    };
    ExpectAll(cases);
}

TEST(Decoder, LosesNoByteOfAnyValue)
{
    const Case cases[] = {
        {"a\0b\x1a" "c\xff" "d\n"s, "a\0b\x1a" "c\xff" "d\n"s},
        {"\0\n\x1a\n\xff\n"s, "\0\n\x1a\n\xff\n"s},
        {DESIGNATOR_LINE + "\x0e\0\x1a\xff\x30\n"s + "\0\n"s, "\x80\x9a\xff\xb0\n\0\n"s},
        {DESIGNATOR_LINE + "\0\x1a\xff\n"s, "\0\x1a\xff\n"s},
    };
    ExpectAll(cases);
}

TEST(Decoder, WritesEachLineEndAsThePlatformDoes)
{
    const Case cases[] = {
        {"\n", "\n"},
        {"a\r\nb\n", "a\nb\n"},
        {"a\rb\n", "a\rb\n"},
        {"a\r\r\n", "a\r\n"},
        {"abc", "abc"},
        {"abc\r", "abc\r"},
        {"\r\n\r\n\n", "\n\n\n"},
        {DESIGNATOR_LINE + "\x0e\r", "\x8d"},
    };
    ExpectAll(cases);
}

TEST(Decoder, DecodesALongLineWhole)
{
    // SO, 5000 bytes 0x21 and LF, in the two pieces the job reads it in.
    std::string first = "\x0e" + std::string(4094, '\x21');
    std::string second = std::string(906, '\x21') + "\n";
    EXPECT_EQ(DecodePieces({DESIGNATOR_LINE, first, second}), Lines(std::string(5000, '\xa1') + "\n"));
}

TEST(Decoder, TakesThePieceThatWritesTheMost)
{
    // Three bytes held back from the piece before, then a full piece of line ends.
    std::string first = std::string(4092, 'x') + "\x1b$)";
    std::string second(sizeof g_szLine - 1, '\n');
    EXPECT_EQ(DecodePieces({first, second}), Lines(first + second));
    // A designator line and the "From" after it held back, then the rest of the line.
    first = DESIGNATOR_LINE + "From";
    second[0] = ' ';
    EXPECT_EQ(DecodePieces({first, second}), Lines(first + second));
}

// Each processor gets the fastest decoder it runs; one without SSE2 the plain one.
TEST(Decoder, ChoosesTheFastestDecoderTheProcessorRuns)
{
    EXPECT_EQ(ChooseRunDecoder(0), DecodeRun);
    EXPECT_EQ(ChooseRunDecoder(CPU_SSSE3), DecodeRun);
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_EQ(ChooseRunDecoder(CPU_SSE2), DecodeRunSse2);
    EXPECT_EQ(ChooseRunDecoder(CPU_SSE2 | CPU_SSSE3), DecodeRunSsse3);
#endif
#if defined(__x86_64__)
    EXPECT_TRUE(ProcessorFeatures() & CPU_SSE2);
#endif
    EXPECT_EQ(ChooseTextDecoder(CPU_SSE2 | CPU_SSSE3), nullptr);
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_EQ(ChooseTextDecoder(CPU_SSE2 | CPU_SSSE3 | CPU_AVX2), DecodeTextAvx2);
    EXPECT_EQ(ChooseTextDecoder(CPU_SSE2 | CPU_SSSE3 | CPU_AVX2 | CPU_AVX512), DecodeTextAvx512);
#endif
    // The first text decoded makes the choice, of both.
    char out[20];
    EXPECT_EQ(ConvertBuffer("\x1b$)C\x0e" "ab", 7, out), 2u);
    RunDecoder chosen = g_pfnDecodeRun;
    EXPECT_EQ(chosen, ChooseRunDecoder(ProcessorFeatures()));
    EXPECT_EQ(g_pfnDecodeText, ChooseTextDecoder(ProcessorFeatures()));
    EXPECT_FALSE(UseFastDecoder(false));
    EXPECT_EQ(g_pfnDecodeRun, DecodeRun);
    EXPECT_EQ(g_pfnDecodeText, nullptr);
    EXPECT_EQ(UseFastDecoder(true), chosen != DecodeRun);
    EXPECT_EQ(g_pfnDecodeRun, chosen);
}

// A line long enough for the vectorised decoders, its shifts at every position of a block.
TEST(Decoder, ShiftsAnywhereInABlock)
{
    for (std::size_t at = 0; at < 65; ++at) {
        SCOPED_TRACE(testing::Message() << "shift at " << at);
        std::string text(at, 'a');
        std::string expected(at, 'a');
        for (int i = 0; i < 3; ++i) {
            text += "\x0e\x30\x21 \x0f" + std::string(at % 5, 'b');
            expected += "\xb0\xa1 " + std::string(at % 5, 'b');
        }
        EXPECT_EQ(Decode(DESIGNATOR_LINE + text + text + "\r\n"), Lines(expected + expected + "\n"));
    }
}

// A line that starts with SO SI, SI or SOs running past a block, then "From ", at every
// position of a block: the vectorised decoders hand it to the plain one.
TEST(Decoder, KeepsWhatBeginsALineBeforeFromAnywhereInABlock)
{
    for (std::size_t at = 0; at < 65; ++at) {
        SCOPED_TRACE(testing::Message() << "line at " << at);
        std::string text = std::string(at, 'a') + "\n";
        std::string expected = text;
        for (int i = 0; i < 3; ++i) {
            text += "\x0e\x30\x21\x0f\n\x0e\x0f" "From a\n\x0f" "From b\r\n" + std::string(at % 40, '\x0e') +
                    "\x0f" "From c\n\x0e\x0e" + DESIGNATOR + "\x0f" "From e\n" + std::string(at % 7, 'd') + "\n";
            expected += "\xb0\xa1\n\x0e\x0f" "From a\n\x0f" "From b\n" + std::string(at % 40 ? "\x0e" : "") +
                        "\x0f" "From c\n\x0f" "From e\n" + std::string(at % 7, 'd') + "\n";
        }
        EXPECT_EQ(Decode(DESIGNATOR_LINE + text), Lines(expected));
    }
}

// Where the job happens to cut the file must never change the output.
TEST(Decoder, GivesTheSameOutputWhereverThePiecesBreak)
{
    const std::string inputs[] = {
        DESIGNATOR_LINE + "ab\x0e\x30\x21 \x0f" "c\r\n\x0e\x1b$)C\x30\x21\r\rx\n",
        "x\r\n" + DESIGNATOR + "\r\n" + DESIGNATOR + "\x1b$)\x0e\x1b\x30\n",
        DESIGNATOR + DESIGNATOR + "\r",
        "\x1b$)" + DESIGNATOR_LINE + "\x0e\x1b$",
        "x\r\n" + DESIGNATOR + "\r\nFrom \n" + DESIGNATOR_LINE + "Fro",
        DESIGNATOR_LINE + "\x0e\x0e\x0f" "From a\r\n" + DESIGNATOR + "From b\n\x0f" "Fro",
        "a\r\n" + DESIGNATOR + "\r\n--b\n" + DESIGNATOR_LINE + "-",
    };
    for (const std::string &input : inputs) {
        std::string whole = Decode(input);
        for (std::size_t cut = 1; cut < input.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << "cut at " << cut);
            EXPECT_EQ(DecodePieces({input.substr(0, cut), input.substr(cut)}), whole);
        }
        for (std::size_t cut = 1; cut + 1 < input.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << "single byte at " << cut);
            EXPECT_EQ(DecodePieces({input.substr(0, cut), input.substr(cut, 1), input.substr(cut + 1)}),
                      whole);
        }
    }
}

}  // namespace
