// The rules of ISO-2022-KR text, line ends included, applied to the lane masks of one block
// at once; the vectorised text decoders (decode_avx2.cpp, decode_avx512.cpp) share them.
// Internal to the core.  Plain integer code, which the compiler puts inline into each.
#pragma once

#include <cstdint>

#include "platform.h"

// What one block's lanes come to.
struct SBlockLanes {
    unsigned taken;       // the lanes decoded: those before the first stop (0: none)
    std::uint64_t drops;  // the lanes squeezed out: SO, SI, and the CR of each CR LF where
                          // the platform's line end is LF alone
    std::uint64_t high;   // the shifted lanes, which get bit 7 (spaces and TABs aside)
    std::uint64_t state;  // the shift state after the taken lanes, 1 or 0
    bool ended;           // the last taken lane ended a line
};

// lanes: 32 or 64; esc, so, si, lf and cr: the lanes that hold those bytes; nextIsLf: the
// byte after the block is an LF; nextShifts: it is SO, SI or ESC; state: the shift state
// carried in, 1 or 0; lineStart: lane 0 begins a line.
inline SBlockLanes ApplyTextRules(unsigned lanes, std::uint64_t esc, std::uint64_t so, std::uint64_t si,
                                  std::uint64_t lf, std::uint64_t cr, bool nextIsLf, bool nextShifts,
                                  std::uint64_t state, bool lineStart)
{
    // Where the platform's line end is CR LF, a CR LF stays as it is and a bare LF grows.
    constexpr bool crlfLineEnd = PLATFORM_LINE_END[0] == '\r';
    const std::uint64_t last = std::uint64_t{1} << (lanes - 1);
    const std::uint64_t all = last | (last - 1);
    SBlockLanes b{};
    std::uint64_t lineEndCr = cr & ((lf >> 1) | (nextIsLf ? last : 0));
    // Only the bytes before the first ESC are decoded; a CR LF is decoded whole or not at
    // all, so one that the block's last lane starts is left to the next block.
    std::uint64_t stops = esc | (lineEndCr & last);
    b.drops = so | si;
    if (crlfLineEnd)
        stops |= lf & ~(cr << 1);  // so an LF in lane 0 is bare (the caller holds no CR back)
    else
        b.drops |= lineEndCr;
    // A line that starts with SO up to an SI or ESC, or with SI, may go on "From ", which the
    // plain decoder keeps apart from a mail's start: the plain decoder takes it from its
    // start, and so one whose SOs run to the block's end where such a byte follows.  The
    // carry from each line's first SO runs to the lane after its SOs.
    std::uint64_t starts = ((lf << 1) | (lineStart ? 1 : 0)) & all;
    std::uint64_t afterSo = so + (starts & so);
    bool toEnd = nextShifts && (lanes == 64 ? afterSo < so : (afterSo >> lanes) != 0);
    std::uint64_t shiftedOff = ((afterSo & ~so) | starts) & (si | esc) & all;
    if (shiftedOff != 0 || toEnd) {
        // Rare in text: a branch costs little.  The line's start is the last one up to there.
        unsigned at = shiftedOff != 0 ? static_cast<unsigned>(__builtin_ctzll(shiftedOff)) : lanes - 1;
        std::uint64_t before = starts & ((std::uint64_t{2} << at) - 1);
        stops |= std::uint64_t{1} << (63 - __builtin_clzll(before));
    }
    b.taken = stops != 0 ? static_cast<unsigned>(__builtin_ctzll(stops)) : lanes;
    // The carry from each SO, and from the state carried in at lane 0, runs up to the next
    // shift or line end; one out of the last lane is lost, as no lane follows it there.
    std::uint64_t between = ~(so | si | lf) & all;
    std::uint64_t shifted = ((between + (so << 1) + state) ^ between) & between;
    // The CR of a line end stays ASCII.
    b.high = crlfLineEnd ? shifted & ~lineEndCr : shifted;
    if (b.taken > 0) {
        b.state = ((shifted | so) >> (b.taken - 1)) & 1;
        b.ended = ((lf >> (b.taken - 1)) & 1) != 0;
    }
    return b;
}
