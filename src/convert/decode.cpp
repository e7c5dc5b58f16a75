// Decodes ISO-2022-KR text (RFC 1557) of a mail folder into EUC-KR.
//
// The designator ESC $ ) C announces KS C 5601; SO shifts into it and SI back to ASCII;
// in shifted text each byte pair 0x21-0x7E becomes the EUC-KR pair with bit 7 set.  The
// decoder knows nothing of mail structure: once a file has shown the designator, every
// later line of it is decoded by the same rules.
#include <cstring>

#include "convert.h"
#include "platform.h"

namespace {

const unsigned char LF = 0x0A;
const unsigned char CR = 0x0D;
const unsigned char SO = 0x0E;
const unsigned char SI = 0x0F;
const unsigned char ESC = 0x1B;
const unsigned char SPACE = 0x20;
const unsigned char TAB = 0x09;
const unsigned char HIGH_BIT = 0x80;

const unsigned char DESIGNATOR[] = {ESC, '$', ')', 'C'};
const int DESIGNATOR_SIZE = sizeof DESIGNATOR;

const char LINE_END[] = PLATFORM_LINE_END;
const int LINE_END_SIZE = sizeof LINE_END - 1;

// Decoder state beyond g_bDesignatorSeen.  All of it is reset per file by ResetDecoder;
// the first two also at every line end.
int g_bShifted;            // SO met, SI not yet: bytes get bit 7.  Off at each line start.
int g_bLineStart;          // nothing of the current line has been decoded yet
int g_bDesignatorLine;     // the current line so far is one designator: its line end goes too
int g_nDesignatorMatched;  // leading bytes of a designator seen so far, 0 to 3
int g_bPendingCR;          // the last byte was CR; the next tells whether it ends the line

// Bytes that leave the fast path: they change the state or may end a line.
struct SpecialBytes {
    bool is[256] = {};
    SpecialBytes() { is[ESC] = is[SO] = is[SI] = is[LF] = is[CR] = true; }
};
const SpecialBytes SPECIAL;

// What an ordinary byte becomes in shifted text: spaces and TABs stay ASCII.
struct ShiftedBytes {
    unsigned char to[256];
    ShiftedBytes()
    {
        for (int b = 0; b < 256; ++b)
            to[b] = static_cast<unsigned char>(b | HIGH_BIT);
        to[SPACE] = SPACE;
        to[TAB] = TAB;
    }
};
const ShiftedBytes SHIFTED;

// Decodes one byte that is neither a line end nor part of a designator.
unsigned char *DecodeText(unsigned char b, unsigned char *out)
{
    g_bLineStart = 0;
    g_bDesignatorLine = 0;
    if (!g_bDesignatorSeen) {
        // Before the designator the text is not ISO-2022-KR: SO and SI are plain bytes.
        *out++ = b;
    } else if (b == SO) {
        g_bShifted = 1;
    } else if (b == SI) {
        g_bShifted = 0;
    } else {
        *out++ = g_bShifted ? SHIFTED.to[b] : b;
    }
    return out;
}

unsigned char *EndLine(unsigned char *out)
{
    // A line that was only the designator disappears whole.
    if (!g_bDesignatorLine) {
        std::memcpy(out, LINE_END, LINE_END_SIZE);
        out += LINE_END_SIZE;
    }
    g_bShifted = 0;
    g_bLineStart = 1;
    g_bDesignatorLine = 0;
    return out;
}

// Writes the bytes held back as a possible designator start as the text they turned out to be.
unsigned char *ReleaseDesignatorStart(unsigned char *out)
{
    int n = g_nDesignatorMatched;
    g_nDesignatorMatched = 0;
    for (int i = 0; i < n; ++i)
        out = DecodeText(DESIGNATOR[i], out);
    return out;
}

// Decodes one byte through the full state machine.
unsigned char *DecodeByte(unsigned char b, unsigned char *out)
{
    if (g_bPendingCR) {
        g_bPendingCR = 0;
        if (b == LF)
            return EndLine(out);
        // A CR on its own is an ordinary byte (0x8D in shifted text).
        out = DecodeText(CR, out);
    }
    if (g_nDesignatorMatched > 0) {
        if (b == DESIGNATOR[g_nDesignatorMatched]) {
            if (++g_nDesignatorMatched == DESIGNATOR_SIZE) {
                // Removed wherever it stands, shifted text included; the shift state stays.
                g_nDesignatorMatched = 0;
                g_bDesignatorSeen = 1;
                g_bDesignatorLine = g_bLineStart;
                g_bLineStart = 0;
            }
            return out;
        }
        out = ReleaseDesignatorStart(out);
    }
    switch (b) {
    case ESC:
        g_nDesignatorMatched = 1;
        return out;
    case CR:
        g_bPendingCR = 1;
        return out;
    case LF:
        return EndLine(out);
    default:
        return DecodeText(b, out);
    }
}

// Writes out[0, end) to the output stream; failures stay in its error indicator.
void Emit(const unsigned char *out, const unsigned char *end)
{
    if (end > out)
        std::fwrite(out, 1, static_cast<std::size_t>(end - out), g_fpOut);
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
    g_bShifted = 0;
    g_bLineStart = 1;
    g_bDesignatorLine = 0;
    g_nDesignatorMatched = 0;
    g_bPendingCR = 0;
}

void ConvertLine()
{
    // Room for every byte of the piece as a line end, and for what the last piece held back.
    unsigned char out[LINE_END_SIZE * sizeof g_szLine + DESIGNATOR_SIZE + 1];
    unsigned char *o = out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(g_szLine);
    const unsigned char *end = p + g_cbLine;

    while (p < end) {
        if (g_nDesignatorMatched == 0 && !g_bPendingCR && !SPECIAL.is[*p]) {
            // The bulk of any mail: a run of bytes that changes no state.
            if (g_bShifted) {
                do
                    *o++ = SHIFTED.to[*p++];
                while (p < end && !SPECIAL.is[*p]);
            } else {
                const unsigned char *run = p;
                do
                    ++p;
                while (p < end && !SPECIAL.is[*p]);
                std::memcpy(o, run, static_cast<std::size_t>(p - run));
                o += p - run;
            }
            g_bLineStart = 0;
            g_bDesignatorLine = 0;
            continue;
        }
        o = DecodeByte(*p++, o);
    }
    Emit(out, o);
}

void ConvertFileEnd()
{
    unsigned char out[DESIGNATOR_SIZE + 1];
    unsigned char *o = out;
    if (g_bPendingCR) {
        g_bPendingCR = 0;
        o = DecodeText(CR, o);
    }
    o = ReleaseDesignatorStart(o);
    Emit(out, o);
}
