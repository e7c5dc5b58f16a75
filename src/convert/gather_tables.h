// The shuffle tables the vectorised decoders squeeze out shift bytes with; internal to the core.
#pragma once

#include "iso2022kr.h"

// For every mask of the lanes to keep in 8 lanes: how many they are, and the shuffle indices
// that gather them to the front (0x80 makes a zero byte).
struct SGatherTables {
    unsigned char count[256];
    unsigned char index[256][8];
};

constexpr SGatherTables MakeGatherTables()
{
    SGatherTables tables{};
    for (int mask = 0; mask < 256; ++mask) {
        int n = 0;
        for (int lane = 0; lane < 8; ++lane)
            if (mask & (1 << lane))
                tables.index[mask][n++] = static_cast<unsigned char>(lane);
        tables.count[mask] = static_cast<unsigned char>(n);
        for (; n < 8; ++n)
            tables.index[mask][n] = HIGH_BIT;
    }
    return tables;
}

// Made by the compiler, in each file that uses it: no code of those files runs before the
// processor has been asked.
constexpr SGatherTables GATHER = MakeGatherTables();
