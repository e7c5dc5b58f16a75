// Decodes runs of ISO-2022-KR text (RFC 1557) 16 bytes at a time, with SSE2 or SSSE3.
//
// The method, for each block of 16 bytes read at once:
//  1. Compare against ESC, CR and LF; only the bytes before the first of them are decoded.
//  2. The shift state of every byte is that of the last SO or SI at or before it, or the
//     state carried in.  From a bit mask of the SO and SI lanes, one addition works it out
//     for all 16 lanes at once, as a carry that runs from each SO to the next shift.
//  3. Bit 7 is set where the state is on, except on spaces and TABs.
//  4. SO and SI are squeezed out.  With SSSE3, one shuffle per block gathers the bytes to
//     keep, its indices looked up by half a block's mask.  With SSE2 alone, every byte moves
//     down by the count of SO and SI before it (a running sum), in four steps of 1, 2, 4
//     and 8 lanes, each taken by the bytes whose count has that bit; bytes that keep their
//     order can never land on one another.
// No step branches on the data, so frequent shifts cost nothing extra.  The 16 bytes are
// stored whole; those beyond the decoded ones are overwritten by what follows, and fall
// within the room the caller gives (a run is never longer decoded than read).
#include <emmintrin.h>
#include <tmmintrin.h>

#include "decode_run.h"
#include "gather_tables.h"
#include "iso2022kr.h"

namespace {

const int BLOCK = 16;


// A running sum across the lanes, from lane 0 up.
inline __m128i RunningSum(__m128i v)
{
    v = _mm_add_epi8(v, _mm_slli_si128(v, 1));
    v = _mm_add_epi8(v, _mm_slli_si128(v, 2));
    v = _mm_add_epi8(v, _mm_slli_si128(v, 4));
    return _mm_add_epi8(v, _mm_slli_si128(v, 8));
}

// Lane by lane m ? a : b, where every lane of m is all ones or all zeros.
inline __m128i Select(__m128i m, __m128i a, __m128i b)
{
    return _mm_or_si128(_mm_and_si128(m, a), _mm_andnot_si128(m, b));
}

// What steps 1 to 3 make of one block.
struct Block {
    __m128i bytes;      // decoded, SO and SI still in their lanes
    __m128i drops;      // all ones in the lanes of SO and SI
    unsigned stopBits;  // a bit for each lane that holds ESC, CR or LF
    unsigned dropBits;  // a bit for each lane that holds SO or SI
    unsigned taken;     // the lanes before the first stop byte, which are decoded
    unsigned state;     // the shift state after them, 1 or 0
};

// A vector with all ones in the lanes whose bits are set in the low 16 bits of bits.
inline __m128i Lanes(unsigned bits)
{
    const __m128i bit = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    __m128i v = _mm_cvtsi32_si128(static_cast<int>(bits));
    v = _mm_unpacklo_epi8(v, v);
    v = _mm_shuffle_epi32(_mm_unpacklo_epi16(v, v), 0x50);
    return _mm_cmpeq_epi8(_mm_and_si128(v, bit), bit);
}

inline Block DecodeBlock(__m128i v, unsigned state)
{
    Block b;
    __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(ESC)),
                                 _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(CR)),
                                              _mm_cmpeq_epi8(v, _mm_set1_epi8(LF))));
    b.stopBits = static_cast<unsigned>(_mm_movemask_epi8(stops));
    b.taken = static_cast<unsigned>(__builtin_ctz(b.stopBits | (1u << BLOCK)));

    __m128i isSo = _mm_cmpeq_epi8(v, _mm_set1_epi8(SO));
    b.drops = _mm_or_si128(isSo, _mm_cmpeq_epi8(v, _mm_set1_epi8(SI)));
    b.dropBits = static_cast<unsigned>(_mm_movemask_epi8(b.drops));
    unsigned soBits = static_cast<unsigned>(_mm_movemask_epi8(isSo));
    // In the lanes between shifts, an addition carries a one from each SO (and from the
    // state carried in, at lane 0) up to the next SO or SI, and a lane that the carry went
    // through is shifted.
    unsigned between = ~b.dropBits & 0xFFFF;
    unsigned shiftedBits = ((between + (soBits << 1) + state) ^ between) & between;
    // The state of the last taken lane: lane taken - 1, which is below lane 0 when none
    // is taken (the result is then not used).
    b.state = (((shiftedBits | soBits) << 1) >> b.taken) & 1;

    __m128i ascii = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(SPACE)),
                                 _mm_cmpeq_epi8(v, _mm_set1_epi8(TAB)));
    __m128i high = _mm_set1_epi8(static_cast<char>(HIGH_BIT));
    b.bytes = _mm_or_si128(v, _mm_and_si128(_mm_andnot_si128(ascii, Lanes(shiftedBits)), high));
    return b;
}

// One squeezing step of SSE2: the bytes whose count has bit `lanes` move down `lanes`
// lanes, and take their counts with them.  A lane that a byte leaves and none enters keeps
// a stale copy with count 0, so that it never moves again.
template <int lanes>
inline void Squeeze(__m128i &bytes, __m128i &counts)
{
    const __m128i bit = _mm_set1_epi8(static_cast<char>(lanes));
    __m128i moves = _mm_cmpeq_epi8(_mm_and_si128(counts, bit), bit);
    __m128i enters = _mm_srli_si128(moves, lanes);
    bytes = Select(enters, _mm_srli_si128(bytes, lanes), bytes);
    counts = Select(enters, _mm_srli_si128(counts, lanes), _mm_andnot_si128(moves, counts));
}

// The number of bytes the taken lanes of b decode to.
inline unsigned Kept(const Block &b)
{
    unsigned kept = ~b.dropBits & ((1u << b.taken) - 1);
    return GATHER.count[kept & 0xFF] + GATHER.count[kept >> 8];
}

}  // namespace

// 32-bit Windows calls back into a program (a window procedure, where Convert runs) with the
// stack aligned to 4 bytes only, while the compiler assumes 16 for its SSE spills: both
// entry points realign it.
__attribute__((force_align_arg_pointer))
unsigned char *DecodeRunSse2(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                             unsigned char &shiftMask)
{
    const __m128i one = _mm_set1_epi8(1);
    const unsigned char *in = p;
    unsigned state = shiftMask != 0 ? 1 : 0;
    while (end - in >= BLOCK) {
        Block b = DecodeBlock(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)), state);
        if (b.taken == 0)
            break;
        __m128i bytes = b.bytes;
        __m128i counts = _mm_andnot_si128(b.drops, RunningSum(_mm_and_si128(b.drops, one)));
        Squeeze<1>(bytes, counts);
        Squeeze<2>(bytes, counts);
        Squeeze<4>(bytes, counts);
        Squeeze<8>(bytes, counts);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), bytes);
        out += Kept(b);
        state = b.state;
        // Not in += taken: the next load then need not wait for this block's compares.
        if (b.stopBits != 0) {
            in += b.taken;
            break;
        }
        in += BLOCK;
    }
    shiftMask = state != 0 ? HIGH_BIT : 0;
    p = in;
    return out;
}

__attribute__((force_align_arg_pointer, target("ssse3")))
unsigned char *DecodeRunSsse3(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                              unsigned char &shiftMask)
{
    const __m128i upperHalf = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 8, 8, 8, 8, 8, 8, 8, 8);
    const unsigned char *in = p;
    unsigned state = shiftMask != 0 ? 1 : 0;
    while (end - in >= BLOCK) {
        Block b = DecodeBlock(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)), state);
        if (b.taken == 0)
            break;
        unsigned keep = ~b.dropBits;
        __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(GATHER.index[keep & 0xFF]));
        __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(GATHER.index[(keep >> 8) & 0xFF]));
        __m128i bytes = _mm_shuffle_epi8(b.bytes, _mm_add_epi8(_mm_unpacklo_epi64(low, high), upperHalf));
        // Each half gathered to its own front: the upper one goes on where the lower ends.
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), bytes);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + GATHER.count[keep & 0xFF]),
                         _mm_unpackhi_epi64(bytes, bytes));
        out += Kept(b);
        state = b.state;
        if (b.stopBits != 0) {
            in += b.taken;
            break;
        }
        in += BLOCK;
    }
    shiftMask = state != 0 ? HIGH_BIT : 0;
    p = in;
    return out;
}
