// Measures the decoder alone, fed from memory: no file system, no stream.
//
//     decode_speed FOLDER [RUNS]
//
// Reads FOLDER into memory, then decodes it RUNS times (default 5) with each decoder this
// processor runs, through ConvertBuffer in pieces of 1 MiB, and prints one line per
// decoder: its name and the median time of a whole pass in seconds, the fastest last; then
// "memcpy" and the median time of copying the same bytes in the same pieces.
// Fails first when a decoder disagrees with the plain one on the bytes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "convert.h"
#include "decode_run.h"

namespace {

const std::size_t PIECE = std::size_t{1} << 20;

bool ReadAll(const char *path, std::vector<char> &bytes)
{
    FILE *in = std::fopen(path, "rb");
    if (in == nullptr)
        return false;
    char block[1 << 16];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0)
        bytes.insert(bytes.end(), block, block + n);
    bool ok = !std::ferror(in);
    std::fclose(in);
    return ok;
}

// Decodes all of folder once with the decoder in use; returns the seconds it took.
double Pass(const std::vector<char> &folder, std::vector<char> &out)
{
    auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < folder.size(); at += PIECE)
        ConvertBuffer(folder.data() + at, std::min(PIECE, folder.size() - at), out.data());
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return took.count();
}

// Copies all of folder once with memcpy, in the same pieces into the same room; returns
// the seconds it took: what the memory allows.
double CopyPass(const std::vector<char> &folder, std::vector<char> &out)
{
    auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < folder.size(); at += PIECE)
        std::memcpy(out.data(), folder.data() + at, std::min(PIECE, folder.size() - at));
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    // Read back, so that the copies cannot be left out.
    volatile char sink = out[folder.size() % PIECE];
    (void)sink;
    return took.count();
}

// Whether the decoder in use gives the same bytes as the plain one for every piece of folder.
bool Agrees(const std::vector<char> &folder, std::vector<char> &out, std::vector<char> &other)
{
    RunDecoder tried = g_pfnDecodeRun;
    TextDecoder triedText = g_pfnDecodeText;
    for (std::size_t at = 0; at < folder.size(); at += PIECE) {
        std::size_t n = std::min(PIECE, folder.size() - at);
        g_pfnDecodeRun = DecodeRun;
        g_pfnDecodeText = nullptr;
        std::size_t plain = ConvertBuffer(folder.data() + at, n, out.data());
        g_pfnDecodeRun = tried;
        g_pfnDecodeText = triedText;
        std::size_t fast = ConvertBuffer(folder.data() + at, n, other.data());
        if (plain != fast || !std::equal(out.begin(), out.begin() + static_cast<long>(plain), other.begin()))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: decode_speed FOLDER [RUNS]\n");
        return 2;
    }
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::vector<char> folder;
    if (!ReadAll(argv[1], folder) || runs < 1) {
        std::fprintf(stderr, "decode_speed: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<char> out(2 * PIECE + 4), other(out.size());
    const struct {
        const char *name;
        unsigned features;
    } decoders[] = {{"plain", 0},
                    {"sse2", CPU_SSE2},
                    {"ssse3", CPU_SSE2 | CPU_SSSE3},
                    {"avx2", CPU_SSE2 | CPU_SSSE3 | CPU_AVX2},
                    {"avx512", CPU_SSE2 | CPU_SSSE3 | CPU_AVX2 | CPU_AVX512}};
    unsigned features = ProcessorFeatures();
    for (const auto &decoder : decoders) {
        if ((decoder.features & features) != decoder.features)
            continue;
        g_pfnDecodeRun = ChooseRunDecoder(decoder.features);
        g_pfnDecodeText = ChooseTextDecoder(decoder.features);
        if (!Agrees(folder, out, other)) {
            std::fprintf(stderr, "decode_speed: %s disagrees with plain\n", decoder.name);
            return 1;
        }
        std::vector<double> times;
        for (int i = 0; i < runs; ++i)
            times.push_back(Pass(folder, out));
        std::sort(times.begin(), times.end());
        std::printf("%s %.6f\n", decoder.name, times[times.size() / 2]);
    }
    std::vector<double> copies;
    for (int i = 0; i < runs; ++i)
        copies.push_back(CopyPass(folder, out));
    std::sort(copies.begin(), copies.end());
    std::printf("memcpy %.6f\n", copies[copies.size() / 2]);
    return 0;
}
