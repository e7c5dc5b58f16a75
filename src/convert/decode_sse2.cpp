// Decodes runs of ISO-2022-KR text (RFC 1557) 16 bytes at a time with SSE2.
//
// The method, for each block of 16 bytes read at once:
//  1. Compare against ESC, CR and LF; only the bytes before the first of them are decoded.
//  2. The shift state of every byte is that of the last SO or SI at or before it, or the
//     state carried in.  Each SO and SI gets a tag that grows with its position, odd for SO
//     and even for SI, and every other byte 0.  A running maximum across the block (four
//     shifted maximums) gives every byte the tag of the last shift before it, and the
//     tag's low bit is its shift state; a byte left with 0 takes the state carried in.
//  3. Bit 7 is set where the state is on, except on spaces and TABs.
//  4. SO and SI are squeezed out: every byte moves down by the count of SO and SI before it
//     (a running sum), in four steps of 1, 2, 4 and 8 lanes, each taken by the bytes whose
//     count has that bit.  Bytes that keep their order can never land on one another.
// No step branches on the data, so frequent shifts cost nothing extra.  The 16 bytes are
// stored whole; those beyond the decoded ones are overwritten by what follows, and fall
// within the room the caller gives (a run is never longer decoded than read).
#include <emmintrin.h>

#include "decode_run.h"

namespace {

const int BLOCK = 16;

// The byte values, as in the plain decoder.
const char LF = 0x0A;
const char CR = 0x0D;
const char SO = 0x0E;
const char SI = 0x0F;
const char ESC = 0x1B;
const char SPACE = 0x20;
const char TAB = 0x09;
const char HIGH_BIT = static_cast<char>(0x80);

// Lane by lane m ? a : b, where every lane of m is all ones or all zeros.
inline __m128i Select(__m128i m, __m128i a, __m128i b)
{
    return _mm_or_si128(_mm_and_si128(m, a), _mm_andnot_si128(m, b));
}

// One squeezing step: the bytes whose count has bit `bit` move down `lanes` lanes, and
// take their counts with them.  A lane that a byte leaves and none enters keeps a stale
// copy with count 0, so that it never moves again.
template <int lanes>
inline void Squeeze(__m128i &bytes, __m128i &counts)
{
    const __m128i bit = _mm_set1_epi8(static_cast<char>(lanes));
    __m128i moves = _mm_cmpeq_epi8(_mm_and_si128(counts, bit), bit);
    __m128i enters = _mm_srli_si128(moves, lanes);
    bytes = Select(enters, _mm_srli_si128(bytes, lanes), bytes);
    counts = Select(enters, _mm_srli_si128(counts, lanes), _mm_andnot_si128(moves, counts));
}

// A running maximum across the lanes, from lane 0 up.
inline __m128i RunningMax(__m128i v)
{
    v = _mm_max_epu8(v, _mm_slli_si128(v, 1));
    v = _mm_max_epu8(v, _mm_slli_si128(v, 2));
    v = _mm_max_epu8(v, _mm_slli_si128(v, 4));
    return _mm_max_epu8(v, _mm_slli_si128(v, 8));
}

// A running sum across the lanes, from lane 0 up.
inline __m128i RunningSum(__m128i v)
{
    v = _mm_add_epi8(v, _mm_slli_si128(v, 1));
    v = _mm_add_epi8(v, _mm_slli_si128(v, 2));
    v = _mm_add_epi8(v, _mm_slli_si128(v, 4));
    return _mm_add_epi8(v, _mm_slli_si128(v, 8));
}

// The number of bits set in the low 16 bits of v, without a loop on the data.
inline unsigned CountBits(unsigned v)
{
    v = v - ((v >> 1) & 0x5555);
    v = (v & 0x3333) + ((v >> 2) & 0x3333);
    v = (v + (v >> 4)) & 0x0F0F;
    return (v + (v >> 8)) & 0x1F;
}

}  // namespace

// 32-bit Windows calls back into a program (a window procedure, where Convert runs) with the
// stack aligned to 4 bytes only, while the compiler assumes 16 for its SSE spills: realign.
__attribute__((force_align_arg_pointer))
unsigned char *DecodeRunSse2(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                             unsigned char &shiftMask)
{
    const __m128i esc = _mm_set1_epi8(ESC), cr = _mm_set1_epi8(CR), lf = _mm_set1_epi8(LF);
    const __m128i so = _mm_set1_epi8(SO), si = _mm_set1_epi8(SI);
    const __m128i space = _mm_set1_epi8(SPACE), tab = _mm_set1_epi8(TAB);
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1), high = _mm_set1_epi8(HIGH_BIT);
    // The tag of an SI in lane i is 2 * (i + 1), of an SO one more.
    const __m128i siTags = _mm_setr_epi8(2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32);

    const unsigned char *in = p;
    unsigned state = shiftMask != 0 ? 1 : 0;
    while (end - in >= BLOCK) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
        __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(v, esc),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
        // Lanes before the first stop byte: the low `taken` bits of a mask.
        unsigned stopBits = static_cast<unsigned>(_mm_movemask_epi8(stops));
        unsigned taken = static_cast<unsigned>(__builtin_ctz(stopBits | (1u << BLOCK)));
        if (taken == 0)
            break;
        unsigned takenBits = (1u << taken) - 1;

        __m128i isSo = _mm_cmpeq_epi8(v, so);
        __m128i isSi = _mm_cmpeq_epi8(v, si);
        // Where no shift comes before a byte its tag stays 0 and it takes the state carried
        // in.  That state is not part of the running maximum, so that one block's vector
        // work never waits for the one before.
        __m128i tags = _mm_or_si128(_mm_and_si128(isSo, _mm_or_si128(siTags, one)),
                                    _mm_and_si128(isSi, siTags));
        tags = RunningMax(tags);
        __m128i carried = _mm_and_si128(_mm_cmpeq_epi8(tags, zero),
                                        _mm_set1_epi8(static_cast<char>(-static_cast<int>(state))));
        __m128i shifted = _mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(tags, one), one), carried);

        __m128i ascii = _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab));
        __m128i bytes = _mm_or_si128(v, _mm_and_si128(_mm_andnot_si128(ascii, shifted), high));

        __m128i shifts = _mm_or_si128(isSo, isSi);
        __m128i counts = _mm_andnot_si128(shifts, RunningSum(_mm_and_si128(shifts, one)));
        Squeeze<1>(bytes, counts);
        Squeeze<2>(bytes, counts);
        Squeeze<4>(bytes, counts);
        Squeeze<8>(bytes, counts);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), bytes);

        // The state after the block is that of its last SO or SI, if it has one.
        unsigned soBits = static_cast<unsigned>(_mm_movemask_epi8(isSo));
        unsigned shiftBits = static_cast<unsigned>(_mm_movemask_epi8(shifts)) & takenBits;
        unsigned last = 31 - static_cast<unsigned>(__builtin_clz(shiftBits | 1));
        state = shiftBits != 0 ? (soBits >> last) & 1 : state;
        out += taken - CountBits(shiftBits);
        if (stopBits != 0) {
            in += taken;
            break;
        }
        in += BLOCK;
    }
    shiftMask = state != 0 ? static_cast<unsigned char>(HIGH_BIT) : 0;
    p = in;
    return out;
}
