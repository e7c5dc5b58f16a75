// What both fuzz targets need to cut an input into pieces of the line buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert.h"

// A hash of bytes (FNV-1a), to draw piece sizes from the input itself.
inline std::uint32_t Hash(const std::string &bytes)
{
    std::uint32_t h = 2166136261u;
    for (unsigned char c : bytes)
        h = (h ^ c) * 16777619u;
    return h;
}

// Decodes in through ConvertLine, from the start-of-file state, in pieces whose sizes come
// from seed: mostly small ones of up to small bytes, now and then the largest the line
// buffer takes, or any size up to it.  Sets ok to false when the memory stream fails.
inline std::string DecodeInPieces(const std::string &in, std::uint32_t seed, std::size_t small, bool &ok)
{
    char *buffer = nullptr;
    std::size_t size = 0;
    g_fpOut = open_memstream(&buffer, &size);
    ok = g_fpOut != nullptr;
    if (!ok)
        return std::string();
    ResetDecoder();
    for (std::size_t at = 0; at < in.size();) {
        seed = seed * 1664525u + 1013904223u;
        std::size_t largest = sizeof g_szLine - 1;
        std::size_t piece = (seed >> 28) < 10 ? 1 + (seed >> 16) % small
                            : (seed >> 28) < 13 ? largest : 1 + (seed >> 8) % largest;
        piece = std::min(piece, in.size() - at);
        std::memcpy(g_szLine, in.data() + at, piece);
        g_szLine[piece] = '\0';
        g_cbLine = static_cast<int>(piece);
        ConvertLine();
        at += piece;
    }
    ConvertFileEnd();
    ok = std::fclose(g_fpOut) == 0;
    g_fpOut = nullptr;
    std::string out(buffer, size);
    std::free(buffer);
    return out;
}
