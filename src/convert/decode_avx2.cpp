// Decodes ISO-2022-KR text (RFC 1557) 32 bytes at a time with AVX2, line ends included, so
// that Korean mail of short lines goes on at full speed past every line end.
//
// The method, for each block of 32 bytes (and the byte after it, which tells a CR LF):
//  1. Bit masks of the lanes that hold ESC, SO, SI, CR and LF.  Only the bytes before the
//     first ESC are decoded, and, where the platform's line end is CR LF, before the first
//     bare LF, which would be written longer; the plain decoder takes over there.  A CR LF
//     is decoded whole or not at all.
//  2. The shift state of every byte is that of the last SO, SI or line end before it, or the
//     state carried in: as in the SSE decoders, one addition over the masks carries a one
//     from each SO (and from the state carried in, at lane 0) up to the next SO, SI or LF.
//  3. Bit 7 is set where the state is on, except on spaces, TABs and a CR that ends a line.
//  4. SO and SI are squeezed out, and so is the CR of each CR LF where the platform's line
//     end is LF alone: one shuffle per 16 bytes gathers the bytes to keep, its indices
//     looked up by a quarter block's mask, as the SSSE3 decoder does.
// No step branches on the data.  The 32 bytes are stored in four pieces; those beyond the
// decoded ones are overwritten by what follows, and fall within the room the caller gives
// (the text is never longer decoded than read).
#include <immintrin.h>

#include <cstdint>

#include "decode_run.h"
#include "gather_tables.h"
#include "iso2022kr.h"
#include "text_rules.h"

namespace {

const int BLOCK = 32;
const int PREFETCH_DISTANCE = 4096;

__attribute__((target("avx2"))) inline std::uint32_t Lanes(__m256i v, unsigned char byte)
{
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(byte)))));
}

// A vector with all ones in the lanes whose bits are set in bits.
__attribute__((target("avx2"))) inline __m256i LaneVector(std::uint32_t bits)
{
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                            2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201u));
    __m256i v = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), spread);
    return _mm256_cmpeq_epi8(_mm256_and_si256(v, bit), bit);
}

// The shuffle indices for the quarter whose lanes to keep are the low 8 bits of mask.
__attribute__((target("avx2"))) inline __m128i Quarter(std::uint32_t mask)
{
    return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(GATHER.index[mask & 0xFF]));
}

// The shuffle indices that gather the lanes of keep to the front of each 8-lane quarter.
__attribute__((target("avx2"))) inline __m256i GatherIndices(std::uint32_t keep)
{
    const __m128i upperHalf = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 8, 8, 8, 8, 8, 8, 8, 8);
    __m128i low = _mm_add_epi8(_mm_unpacklo_epi64(Quarter(keep), Quarter(keep >> 8)), upperHalf);
    __m128i high = _mm_add_epi8(_mm_unpacklo_epi64(Quarter(keep >> 16), Quarter(keep >> 24)), upperHalf);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

}  // namespace

// 32-bit Windows calls back into a program with the stack aligned to 4 bytes only: the
// entry point realigns it for the compiler's spills.
__attribute__((force_align_arg_pointer, target("avx2,popcnt")))
unsigned char *DecodeTextAvx2(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                              unsigned char &shiftMask, bool &lineEnded)
{
    const unsigned char *in = p;
    std::uint64_t state = shiftMask != 0 ? 1 : 0;
    bool ended = lineEnded;
    // A block and the byte after it.
    while (end - in > BLOCK) {
        // The processor's own prefetching falls behind a loop this short.
        _mm_prefetch(reinterpret_cast<const char *>(in) + PREFETCH_DISTANCE, _MM_HINT_T0);
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in));
        SBlockLanes b = ApplyTextRules(BLOCK, Lanes(v, ESC), Lanes(v, SO), Lanes(v, SI), Lanes(v, LF), Lanes(v, CR),
                                       in[BLOCK] == LF, in[BLOCK] == SO || in[BLOCK] == SI || in[BLOCK] == ESC,
                                       state, ended);
        if (b.taken == 0)
            break;
        // Spaces and TABs stay ASCII in shifted text.
        __m256i plain = _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(SPACE)),
                                        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(TAB)));
        __m256i high = _mm256_andnot_si256(plain, LaneVector(static_cast<std::uint32_t>(b.high)));
        high = _mm256_and_si256(high, _mm256_set1_epi8(static_cast<char>(HIGH_BIT)));
        std::uint32_t keep = ~static_cast<std::uint32_t>(b.drops);
        __m256i bytes = _mm256_shuffle_epi8(_mm256_or_si256(v, high), GatherIndices(keep));

        unsigned c0 = static_cast<unsigned>(__builtin_popcount(keep & 0xFF));
        unsigned c1 = static_cast<unsigned>(__builtin_popcount(keep & 0xFF00));
        unsigned c2 = static_cast<unsigned>(__builtin_popcount(keep & 0xFF0000));
        __m128i low = _mm256_castsi256_si128(bytes), upper = _mm256_extracti128_si256(bytes, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), low);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + c0), _mm_unpackhi_epi64(low, low));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + c0 + c1), upper);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + c0 + c1 + c2), _mm_unpackhi_epi64(upper, upper));

        std::uint64_t takenLanes = (std::uint64_t{1} << b.taken) - 1;
        out += __builtin_popcountll(keep & takenLanes);
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
