// Decodes ISO-2022-KR text (RFC 1557) 64 bytes at a time with AVX-512 (BW and VBMI2), line
// ends included.
//
// The method is the AVX2 decoder's (decode_avx2.cpp), on blocks of 64 bytes, with the
// processor's mask registers in place of the bit masks it gathers there:
//  1. Compares give the masks of ESC, SO, SI, CR, LF, spaces and TABs directly; the bytes
//     before the first ESC (or, for CR LF line ends, before the first bare LF) are decoded,
//     and a CR LF is decoded whole or not at all.
//  2. The shift state of all 64 lanes comes from one 64-bit addition over the masks, a
//     carry from each SO up to the next SO, SI or LF.
//  3. Bit 7 is set under the mask of shifted lanes, except on spaces, TABs and a line
//     end's CR.
//  4. One compress instruction (VBMI2) squeezes out SO, SI and, where the platform's line
//     end is LF alone, the CR of each CR LF; the 64 bytes are stored whole, those beyond
//     the decoded ones to be overwritten by what follows, within the room the caller gives.
#include <immintrin.h>

#include <cstdint>

#include "decode_run.h"
#include "iso2022kr.h"
#include "text_rules.h"

namespace {

const int BLOCK = 64;
const int PREFETCH_DISTANCE = 4096;

// The lanes of v that hold byte.
__attribute__((target("avx512f,avx512bw"))) inline std::uint64_t Lanes(__m512i v, unsigned char byte)
{
    return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(byte)));
}

}  // namespace

// 32-bit Windows calls back into a program with the stack aligned to 4 bytes only: the
// entry point realigns it for the compiler's spills.
__attribute__((force_align_arg_pointer, target("avx512f,avx512bw,avx512vbmi2,bmi,popcnt")))
unsigned char *DecodeTextAvx512(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                                unsigned char &shiftMask, bool &lineEnded)
{
    const __m512i highBit = _mm512_set1_epi8(static_cast<char>(HIGH_BIT));
    const unsigned char *in = p;
    std::uint64_t state = shiftMask != 0 ? 1 : 0;
    bool ended = lineEnded;
    // A block and the byte after it.
    while (end - in > BLOCK) {
        // The processor's own prefetching falls behind a loop this short.
        _mm_prefetch(reinterpret_cast<const char *>(in) + PREFETCH_DISTANCE, _MM_HINT_T0);
        __m512i v = _mm512_loadu_si512(in);
        SBlockLanes b = ApplyTextRules(BLOCK, Lanes(v, ESC), Lanes(v, SO), Lanes(v, SI), Lanes(v, LF), Lanes(v, CR),
                                       in[BLOCK] == LF, in[BLOCK] == SO || in[BLOCK] == SI || in[BLOCK] == ESC,
                                       state, ended);
        if (b.taken == 0)
            break;
        // Spaces and TABs stay ASCII in shifted text.
        std::uint64_t high = b.high & ~(Lanes(v, SPACE) | Lanes(v, TAB));
        __m512i bytes = _mm512_mask_blend_epi8(high, v, _mm512_or_si512(v, highBit));
        std::uint64_t takenLanes = b.taken == BLOCK ? ~std::uint64_t{0} : (std::uint64_t{1} << b.taken) - 1;
        std::uint64_t keep = ~b.drops & takenLanes;
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, bytes));
        out += __builtin_popcountll(keep);
        state = b.state;
        ended = b.ended;
        if (b.taken < BLOCK) {
            in += b.taken;
            break;
        }
        in += BLOCK;
    }
    shiftMask = state != 0 ? HIGH_BIT : 0;
    lineEnded = ended;
    p = in;
    return out;
}
