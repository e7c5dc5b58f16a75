// Decodes ISO-2022-KR text (RFC 1557) of a mail folder into EUC-KR.
//
// The designator ESC $ ) C announces KS C 5601; SO shifts into it and SI back to ASCII;
// in shifted text each byte pair 0x21-0x7E becomes the EUC-KR pair with bit 7 set.  The
// decoder knows nothing of mail structure but what starts a mail in an mbox folder: once a
// file has shown the designator, every later line of it is decoded by the same rules, and a
// line that is only the designator is removed whole, except before a line that starts
// "From ", which would then stand where a mail can start (after an empty line, or at the
// folder's start); there it stays.  For the same reason a line whose "From " comes after
// designators, SO and SI that all go keeps the last of them: the designator, or the SI and
// the SO just before it.  In the folder's lines, a line that is only the designator keeps
// its line end before a line that starts "--", as a MIME boundary does: the line end before
// a boundary belongs to the boundary (RFC 2046), and with the line gone the text before it
// would lose its own last line end to the boundary.
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "convert.h"
#include "decode_run.h"
#include "iso2022kr.h"
#include "platform.h"

namespace {

const char LINE_END[] = PLATFORM_LINE_END;
const int LINE_END_SIZE = sizeof LINE_END - 1;
// What starts a mail in an mbox folder, after an empty line.
const unsigned char FROM_LINE[] = {'F', 'r', 'o', 'm', ' '};
const int FROM_LINE_SIZE = sizeof FROM_LINE;
// The most that the decoder holds back from one piece and writes with a later one: a
// designator line, its line end and the "From" of the line after it (more than a kept line
// start and its "From").
const int HELD_SIZE = DESIGNATOR_SIZE + LINE_END_SIZE + FROM_LINE_SIZE - 1;
// SDecoderState::designatorMatched while a designator line is held back: held like a
// designator's start, so that DecodePiece takes no run meanwhile.
const int DESIGNATOR_LINE_HELD = -1;
// What starts a MIME boundary line.
const unsigned char DASH = '-';
// SDecoderState::fromMatched while a designator line is held and the line after it has
// begun with one DASH.
const int DASH_HELD = -1;
// SDecoderState::keptStart: what of a line's start stays before "From ".  KEPT_SO is no
// keeping of its own: it stands for text shifted, where no "From " follows, until SI.
const unsigned char KEPT_NONE = 0;
const unsigned char KEPT_DESIGNATOR = 1;
const unsigned char KEPT_SO = 2;
const unsigned char KEPT_SHIFT_PAIR = 3;  // SO SI
const unsigned char KEPT_SI = 4;

typedef SDecoderState DecoderState;
DecoderState g_state;

// The state at the start of a text.
DecoderState StartState(EApartLines lines)
{
    DecoderState s = DecoderState();
    s.lineStart = true;
    s.lines = static_cast<unsigned char>(lines);
    return s;
}

// Per-byte tables, built once.
struct ByteTables {
    unsigned char stop[256] = {};  // ESC, LF, CR: may start a designator or end a line
    unsigned char keep[256];       // 0 for SO and SI, which set the shift state, else all ones
    unsigned char shiftTo[256];    // the shift mask that SO sets; 0 for SI and other bytes
    unsigned char high[256];       // what shifted text ORs into the byte: spaces and TABs stay ASCII
    unsigned char emit[256];       // 0 for SO and SI, which leave no byte of their own
    ByteTables()
    {
        stop[ESC] = stop[LF] = stop[CR] = 1;
        for (int b = 0; b < 256; ++b) {
            bool shift = b == SO || b == SI;
            keep[b] = shift ? 0 : 0xFF;
            shiftTo[b] = b == SO ? HIGH_BIT : 0;
            high[b] = (b == SPACE || b == TAB) ? 0 : HIGH_BIT;
            emit[b] = shift ? 0 : 1;
        }
    }
};
const ByteTables BYTES;

// Notes the byte (SO, SI or the designator) that goes from the start of a folder's line, as
// the one to keep should "From " follow.
void NoteLineStart(DecoderState &s, unsigned char kept)
{
    if (s.lines == APART_FOLDER_LINES && (s.lineStart || s.keptStart != KEPT_NONE))
        s.keptStart = kept;
}

// Decodes one byte that is neither a line end nor part of a designator.
unsigned char *DecodeText(DecoderState &s, unsigned char b, unsigned char *out)
{
    if (!g_bDesignatorSeen) {
        // Before the designator the text is not ISO-2022-KR: SO and SI are plain bytes.
        *out++ = b;
        s.keptStart = KEPT_NONE;
    } else if (b == SO) {
        NoteLineStart(s, KEPT_SO);
        s.shiftMask = HIGH_BIT;
    } else if (b == SI) {
        NoteLineStart(s, s.keptStart == KEPT_SO ? KEPT_SHIFT_PAIR : KEPT_SI);
        s.shiftMask = 0;
    } else {
        *out++ = b | (s.shiftMask & BYTES.high[b]);
        s.keptStart = KEPT_NONE;
    }
    s.lineStart = false;
    s.designatorLine = false;
    return out;
}

unsigned char *EndLine(DecoderState &s, unsigned char *out)
{
    // A line that was only the designator disappears whole, or, in the folder's lines, is
    // held until the next line shows whether it may.
    if (!s.designatorLine) {
        std::memcpy(out, LINE_END, LINE_END_SIZE);
        out += LINE_END_SIZE;
    } else if (s.lines != APART_NOT_LINES) {
        s.designatorMatched = DESIGNATOR_LINE_HELD;
    }
    s.shiftMask = 0;
    s.lineStart = true;
    s.designatorLine = false;
    s.keptStart = KEPT_NONE;
    return out;
}

// Writes the bytes held back as a possible designator start as the text they turned out to be.
unsigned char *ReleaseDesignatorStart(DecoderState &s, unsigned char *out)
{
    int n = s.designatorMatched;
    s.designatorMatched = 0;
    for (int i = 0; i < n; ++i)
        out = DecodeText(s, DESIGNATOR[i], out);
    return out;
}

// Ends the holding of a designator line.  Before a "From " line (keep) it stays, its line
// end the platform's like every line's: removed, it would leave that line after the line
// before it, which may be empty or none, where a mail starts.  The bytes of "From " matched
// meanwhile are the next line's text.  In a relabelled mail the designator goes from its
// line, which stays empty, and in a folder the next is written ">From ".
unsigned char *ReleaseHeldLine(DecoderState &s, unsigned char *out, bool keep)
{
    int n = s.fromMatched;
    s.designatorMatched = 0;
    s.fromMatched = 0;
    if (keep && s.lines != APART_FOLDER_LINES) {
        std::memcpy(out, LINE_END, LINE_END_SIZE);
        out += LINE_END_SIZE;
        if (s.lines == APART_MAIL_LINES)
            *out++ = '>';
    } else if (keep) {
        std::memcpy(out, DESIGNATOR, DESIGNATOR_SIZE);
        std::memcpy(out + DESIGNATOR_SIZE, LINE_END, LINE_END_SIZE);
        out += DESIGNATOR_SIZE + LINE_END_SIZE;
    }
    for (int i = 0; i < n; ++i)
        out = DecodeText(s, FROM_LINE[i], out);
    return out;
}

// Ends the holding of a designator line whose next line began with one DASH: before a second
// one, a boundary's start, the line's end stays (the designator goes); the DASH is text.
unsigned char *ReleaseBeforeDash(DecoderState &s, unsigned char *out, bool boundary)
{
    s.designatorMatched = 0;
    s.fromMatched = 0;
    if (boundary) {
        std::memcpy(out, LINE_END, LINE_END_SIZE);
        out += LINE_END_SIZE;
    }
    return DecodeText(s, DASH, out);
}

// Ends the holding of a line's start that went in decoding.  Before "From " (keep) the last
// designator, SI or SO SI of it stays: all gone, they would leave a line that starts "From ",
// where a mail may start.  The bytes of "From " matched meanwhile are the line's text.
unsigned char *ReleaseLineStart(DecoderState &s, unsigned char *out, bool keep)
{
    int n = s.fromMatched;
    unsigned char kept = s.keptStart;
    s.fromMatched = 0;
    s.keptStart = KEPT_NONE;
    if (keep && kept == KEPT_DESIGNATOR) {
        std::memcpy(out, DESIGNATOR, DESIGNATOR_SIZE);
        out += DESIGNATOR_SIZE;
    } else if (keep) {
        if (kept == KEPT_SHIFT_PAIR)
            *out++ = SO;
        *out++ = SI;
    }
    for (int i = 0; i < n; ++i)
        out = DecodeText(s, FROM_LINE[i], out);
    return out;
}

// Decodes one byte through the full state machine.
unsigned char *DecodeByte(DecoderState &s, unsigned char b, unsigned char *out)
{
    if (s.pendingCR) {
        s.pendingCR = false;
        if (b == LF)
            return EndLine(s, out);
        // A CR on its own is an ordinary byte (0x8D in shifted text).
        out = DecodeText(s, CR, out);
    }
    if (s.designatorMatched != 0) {
        if (s.designatorMatched == DESIGNATOR_LINE_HELD) {
            if (s.fromMatched == DASH_HELD) {
                bool boundary = b == DASH;
                out = ReleaseBeforeDash(s, out, boundary);
                if (boundary)
                    return DecodeText(s, b, out);
            } else if (b == DASH && s.fromMatched == 0 && s.lines == APART_FOLDER_LINES) {
                s.fromMatched = DASH_HELD;
                return out;
            } else if (b == FROM_LINE[s.fromMatched]) {
                if (++s.fromMatched == FROM_LINE_SIZE)
                    out = ReleaseHeldLine(s, out, true);
                return out;
            } else {
                out = ReleaseHeldLine(s, out, false);
            }
        } else if (b == DESIGNATOR[s.designatorMatched]) {
            if (++s.designatorMatched == DESIGNATOR_SIZE) {
                // Removed wherever it stands, shifted text included; the shift state stays.
                s.designatorMatched = 0;
                g_bDesignatorSeen = 1;
                NoteLineStart(s, KEPT_DESIGNATOR);
                s.designatorLine = s.lineStart;
                s.lineStart = false;
            }
            return out;
        } else {
            out = ReleaseDesignatorStart(s, out);
        }
    } else if (s.keptStart != KEPT_NONE) {
        // The line so far went in decoding: "From " after it unshifted is held until whole.
        if (s.shiftMask == 0 && b == FROM_LINE[s.fromMatched]) {
            if (++s.fromMatched == FROM_LINE_SIZE)
                out = ReleaseLineStart(s, out, true);
            return out;
        }
        if (s.fromMatched > 0 || (b != ESC && b != SO && b != SI))
            out = ReleaseLineStart(s, out, false);
    }
    switch (b) {
    case ESC:
        s.designatorMatched = 1;
        return out;
    case CR:
        s.pendingCR = true;
        return out;
    case LF:
        return EndLine(s, out);
    default:
        return DecodeText(s, b, out);
    }
}

}  // namespace

// Decodes bytes from p up to the next ESC, CR or LF, the bulk of any mail, and returns
// the new end of the output.  Written without branches on the data, as SO and SI come
// every few bytes in Korean text.
unsigned char *DecodeRun(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                         unsigned char &shiftMask)
{
    unsigned char mask = shiftMask;
    for (; p < end; ++p) {
        unsigned char b = *p;
        if (BYTES.stop[b])
            break;
        // Table lookups rather than branches: SO and SI are too frequent and irregular for
        // the branch predictor.
        mask = (mask & BYTES.keep[b]) | BYTES.shiftTo[b];
        *out = b | (mask & BYTES.high[b]);
        out += BYTES.emit[b];
    }
    shiftMask = mask;
    return out;
}

namespace {

// The first text or run decoded makes the choice of both, so that no order of start-up can
// find none made.
void ChooseDecoders()
{
    unsigned features = ProcessorFeatures();
    g_pfnDecodeRun = ChooseRunDecoder(features);
    g_pfnDecodeText = ChooseTextDecoder(features);
}

unsigned char *ChooseAndDecodeRun(const unsigned char *&p, const unsigned char *end,
                                  unsigned char *out, unsigned char &shiftMask)
{
    ChooseDecoders();
    return g_pfnDecodeRun(p, end, out, shiftMask);
}

unsigned char *ChooseAndDecodeText(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                                   unsigned char &shiftMask, bool &lineEnded)
{
    ChooseDecoders();
    return g_pfnDecodeText != nullptr ? g_pfnDecodeText(p, end, out, shiftMask, lineEnded) : out;
}

}  // namespace

// DecodePiece tries the text decoder first, then the run decoder; DecodeRun and the
// byte-wise decoder finish what they leave.
RunDecoder g_pfnDecodeRun = ChooseAndDecodeRun;
TextDecoder g_pfnDecodeText = ChooseAndDecodeText;

namespace {

// The same before the file's first designator, where every such byte stays as it is.
unsigned char *CopyRun(const unsigned char *&p, const unsigned char *end, unsigned char *out)
{
    const unsigned char *start = p;
#ifdef __SSE2__
    // Sixteen bytes at a time to the block that holds a stop: a header or a text with no
    // designator is mostly such runs, a line long each.
    const __m128i esc = _mm_set1_epi8(ESC), lf = _mm_set1_epi8(LF), cr = _mm_set1_epi8(CR);
    while (end - p >= 16) {
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(b, esc), _mm_or_si128(_mm_cmpeq_epi8(b, lf), _mm_cmpeq_epi8(b, cr)));
        if (_mm_movemask_epi8(stops) != 0)
            break;
        p += 16;
    }
#endif
    while (p < end && !BYTES.stop[*p])
        ++p;
    std::memcpy(out, start, static_cast<std::size_t>(p - start));
    return out + (p - start);
}

// Writes out[0, end) to the output stream; failures stay in its error indicator.
void Emit(const unsigned char *out, const unsigned char *end)
{
    if (end > out)
        std::fwrite(out, 1, static_cast<std::size_t>(end - out), g_fpOut);
}

// Decodes [p, end) from state s into o and returns the new end of the output.
unsigned char *DecodePiece(DecoderState &s, const unsigned char *p, const unsigned char *end,
                           unsigned char *o)
{
    while (p < end) {
        if (s.designatorMatched == 0 && !s.pendingCR && s.keptStart == KEPT_NONE) {
            const unsigned char *start = p;
            if (g_bDesignatorSeen) {
                // Not after a designator that began its line: that line's end goes with it.
                if (g_pfnDecodeText != nullptr && !s.designatorLine) {
                    bool lineEnded = s.lineStart;
                    o = g_pfnDecodeText(p, end, o, s.shiftMask, lineEnded);
                    s.lineStart = lineEnded;
                    start = p;
                }
                // Not SO or SI that begin a folder's line: "From " may follow them.
                if (!(s.lineStart && s.lines == APART_FOLDER_LINES && p < end && (*p == SO || *p == SI))) {
                    o = g_pfnDecodeRun(p, end, o, s.shiftMask);
                    o = DecodeRun(p, end, o, s.shiftMask);
                }
            } else {
                o = CopyRun(p, end, o);
            }
            if (p != start) {
                s.lineStart = false;
                s.designatorLine = false;
            }
            if (p == end)
                break;
        }
        o = DecodeByte(s, *p++, o);
    }
    return o;
}

// Writes what s held back at the end of a text as the text it turned out to be.
unsigned char *DecodeEnd(DecoderState &s, unsigned char *o)
{
    // No "From " line, nor boundary, follows a designator line held to the end.
    if (s.designatorMatched == DESIGNATOR_LINE_HELD && s.fromMatched == DASH_HELD)
        o = ReleaseBeforeDash(s, o, false);
    else if (s.designatorMatched == DESIGNATOR_LINE_HELD)
        o = ReleaseHeldLine(s, o, false);
    if (s.keptStart != KEPT_NONE)
        o = ReleaseLineStart(s, o, false);
    if (s.pendingCR) {
        s.pendingCR = false;
        o = DecodeText(s, CR, o);
    }
    return ReleaseDesignatorStart(s, o);
}

}  // namespace

char g_szLine[4096];
int g_cbLine;
FILE *g_fpIn;
FILE *g_fpOut;
int g_bDesignatorSeen;

void ResetDecoder()
{
    g_bDesignatorSeen = 0;
    g_state = StartState(APART_FOLDER_LINES);
}

void ConvertLine()
{
    // Room for every byte of the piece as a line end, and for what the pieces before held back.
    unsigned char out[LINE_END_SIZE * sizeof g_szLine + HELD_SIZE];
    const unsigned char *p = reinterpret_cast<const unsigned char *>(g_szLine);
    // A local copy, which the compiler can keep in registers while the output is written.
    DecoderState s = g_state;
    unsigned char *o = DecodePiece(s, p, p + g_cbLine, out);
    g_state = s;
    Emit(out, o);
}

void ConvertFileEnd()
{
    unsigned char out[DESIGNATOR_SIZE + 1];
    unsigned char *o = DecodeEnd(g_state, out);
    Emit(out, o);
}

SApartDecoder StartApart(int designatorSeen, EApartLines lines)
{
    return SApartDecoder{StartState(lines), designatorSeen};
}

std::size_t ApartRoom(std::size_t n)
{
    return LINE_END_SIZE * n + HELD_SIZE;
}

std::size_t DecodeApartPiece(SApartDecoder &decoder, const char *in, std::size_t n, char *out)
{
    // Its own designator flag and state, and the file's left as they were.
    int designatorSeen = g_bDesignatorSeen;
    g_bDesignatorSeen = decoder.designatorSeen;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
    unsigned char *start = reinterpret_cast<unsigned char *>(out);
    unsigned char *o = DecodePiece(decoder.state, p, p + n, start);
    decoder.designatorSeen = g_bDesignatorSeen;
    g_bDesignatorSeen = designatorSeen;
    return static_cast<std::size_t>(o - start);
}

std::size_t EndApart(SApartDecoder &decoder, char *out)
{
    int designatorSeen = g_bDesignatorSeen;
    g_bDesignatorSeen = decoder.designatorSeen;
    unsigned char *start = reinterpret_cast<unsigned char *>(out);
    unsigned char *o = DecodeEnd(decoder.state, start);
    g_bDesignatorSeen = designatorSeen;
    return static_cast<std::size_t>(o - start);
}

std::size_t ConvertBuffer(const char *in, std::size_t n, char *out)
{
    // From the start of a text nothing is held back, and no byte is written longer than a
    // line end: the room of L * n + 4 bytes is enough.
    SApartDecoder decoder = StartApart(0, APART_FOLDER_LINES);
    std::size_t written = DecodeApartPiece(decoder, in, n, out);
    return written + EndApart(decoder, out + written);
}

unsigned ProcessorFeatures()
{
    unsigned features = 0;
    if (IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE))
        features |= CPU_SSE2;
    if (IsProcessorFeaturePresent(PF_SSSE3_INSTRUCTIONS_AVAILABLE))
        features |= CPU_SSSE3;
    if (IsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE))
        features |= CPU_AVX2;
    // The system knows AVX-512 as a whole; the processor tells the parts of it.
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (IsProcessorFeaturePresent(PF_AVX512F_INSTRUCTIONS_AVAILABLE) && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi2"))
        features |= CPU_AVX512;
#endif
    return features;
}

RunDecoder ChooseRunDecoder(unsigned features)
{
    // The one place that knows the processors: the build adds the vectorised decoders for
    // x86 only.
#if defined(__x86_64__) || defined(__i386__)
    if ((features & CPU_SSE2) && (features & CPU_SSSE3))
        return DecodeRunSsse3;
    if (features & CPU_SSE2)
        return DecodeRunSse2;
#else
    (void)features;
#endif
    return DecodeRun;
}

TextDecoder ChooseTextDecoder(unsigned features)
{
#if defined(__x86_64__) || defined(__i386__)
    if (features & CPU_AVX512)
        return DecodeTextAvx512;
    if (features & CPU_AVX2)
        return DecodeTextAvx2;
#else
    (void)features;
#endif
    return nullptr;
}

bool UseFastDecoder(bool fast)
{
    unsigned features = fast ? ProcessorFeatures() : 0;
    g_pfnDecodeRun = ChooseRunDecoder(features);
    g_pfnDecodeText = ChooseTextDecoder(features);
    return g_pfnDecodeRun != DecodeRun || g_pfnDecodeText != nullptr;
}
