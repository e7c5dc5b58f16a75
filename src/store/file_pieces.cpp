// Reads, copies, compares and measures files in pieces, through their handles (file_pieces.h).
#include "file_pieces.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

// How much is read at a time.
const std::size_t PIECE = std::size_t{64} * 1024;

// Reads a pipe to its end, measuring what comes through it and comparing it with n bytes
// (all where n is all) of original from at.  Run on a thread of its own while the
// converter writes the pipe; it reads on after a difference, so that the writer never
// meets a pipe that nobody reads.
void MeasurePipe(HANDLE pipe, HANDLE original, std::uint64_t at, std::uint64_t n, SMeasured &measured, bool &ok,
                 DWORD &error)
{
    std::string got(PIECE, '\0'), had(PIECE, '\0');
    bool compared = SeekFile(original, at);
    measured.changed = !compared;
    char before = '\0';
    for (;;) {
        DWORD k = 0;
        bool read = ReadFile(pipe, &got[0], static_cast<DWORD>(PIECE), &k, nullptr) != 0;
        // Windows tells a pipe's end as a failure of its own.
        if (!read && GetLastError() != ERROR_BROKEN_PIPE) {
            ok = false;
            error = GetLastError();
        }
        if (!read || k == 0)
            break;
        for (DWORD i = 0; i < k; ++i) {
            measured.crlfSize += got[i] == '\n' && before != '\r' ? 2 : 1;
            before = got[i];
        }
        measured.size += k;
        // The original's next k bytes, or as many as there are.
        std::size_t same = 0;
        while (!measured.changed && same < k) {
            long long m = ReadSome(original, &had[same], static_cast<std::size_t>(std::min<std::uint64_t>(k - same, n)));
            if (m <= 0 || std::memcmp(had.data() + same, got.data() + same, static_cast<std::size_t>(m)) != 0)
                measured.changed = true;
            else
                same += static_cast<std::size_t>(m);
            n -= m > 0 ? static_cast<std::uint64_t>(m) : 0;
        }
    }
    char more;
    if (!measured.changed && n > 0 && ReadSome(original, &more, 1) != 0)
        measured.changed = true;
}

}  // namespace


long long ReadSome(HANDLE file, char *buffer, std::size_t n)
{
    DWORD done = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(n), &done, nullptr))
        return -1;
    return done;
}

bool SeekFile(HANDLE file, std::uint64_t at)
{
    LONG high = static_cast<LONG>(at >> 32);
    SetLastError(0);
    return SetFilePointer(file, static_cast<LONG>(at & 0xFFFFFFFFu), &high, FILE_BEGIN) !=
               INVALID_SET_FILE_POINTER ||
           GetLastError() == 0;
}

bool SniffRange(HANDLE file, std::uint64_t at, std::uint64_t n, CWorkSniffer &sniffer)
{
    if (!SeekFile(file, at))
        return false;
    std::string buffer(PIECE, '\0');
    while (n > 0 && !sniffer.Found()) {
        long long got = ReadSome(file, &buffer[0], static_cast<std::size_t>(std::min<std::uint64_t>(n, PIECE)));
        if (got < 0)
            return false;
        if (got == 0)
            break;
        sniffer.Scan(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
        n -= static_cast<std::uint64_t>(got);
    }
    return true;
}

bool CopyRange(HANDLE from, std::uint64_t fromAt, std::uint64_t n, HANDLE to)
{
    if (!SeekFile(from, fromAt))
        return false;
    std::string buffer(PIECE, '\0');
    while (n > 0) {
        long long got = ReadSome(from, &buffer[0], static_cast<std::size_t>(std::min<std::uint64_t>(n, PIECE)));
        if (got < 0)
            return false;
        if (got == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(to, buffer.data(), static_cast<DWORD>(got), &written, nullptr))
            return false;
        n -= static_cast<std::uint64_t>(got);
    }
    return true;
}

bool SameBytes(HANDLE a, HANDLE b)
{
    if (!SeekFile(a, 0) || !SeekFile(b, 0))
        return false;
    std::string x(PIECE, '\0'), y(PIECE, '\0');
    for (;;) {
        long long n = ReadSome(a, &x[0], PIECE), m = ReadSome(b, &y[0], PIECE);
        if (n < 0 || m < 0 || n != m)
            return false;
        if (n == 0)
            return true;
        if (std::memcmp(x.data(), y.data(), static_cast<std::size_t>(n)) != 0)
            return false;
    }
}

bool Sizes(HANDLE file, std::uint64_t &size, std::uint64_t &crlfSize)
{
    if (!SeekFile(file, 0))
        return false;
    std::string buffer(PIECE, '\0');
    size = crlfSize = 0;
    char before = '\0';
    for (long long n; (n = ReadSome(file, &buffer[0], PIECE)) != 0;) {
        if (n < 0)
            return false;
        for (long long i = 0; i < n; ++i) {
            crlfSize += buffer[i] == '\n' && before != '\r' ? 2 : 1;
            before = buffer[i];
        }
        size += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool MeasureConversion(StreamConverter convert, HANDLE from, HANDLE original, std::uint64_t at, std::uint64_t n,
                       SMeasured &measured)
{
    measured = SMeasured{};
    HANDLE outRead, outWrite;
    if (!CreatePipe(&outRead, &outWrite, nullptr, static_cast<DWORD>(PIECE)))
        return false;
    FILE *out = OpenHandleStream(outWrite, "wb");
    DWORD error = GetLastError();
    CloseHandle(outWrite);
    if (out == nullptr) {
        CloseHandle(outRead);
        SetLastError(error);
        return false;
    }
    bool measuredOk = true, fed = true, ok = false;
    DWORD measureError = 0;
    std::thread drain(MeasurePipe, outRead, original, at, n, std::ref(measured), std::ref(measuredOk),
                      std::ref(measureError));
    FILE *in = nullptr;
    std::thread feed;
    if (at == 0 && n == ~std::uint64_t{0}) {
        in = SeekFile(from, 0) ? OpenHandleStream(from, "rb") : nullptr;
    } else {
        HANDLE inRead, inWrite;
        if (CreatePipe(&inRead, &inWrite, nullptr, static_cast<DWORD>(PIECE))) {
            in = OpenHandleStream(inRead, "rb");
            CloseHandle(inRead);
            if (in != nullptr)
                feed = std::thread([&fed, from, at, n, inWrite]() {
                    fed = CopyRange(from, at, n, inWrite);
                    CloseHandle(inWrite);
                });
            else
                CloseHandle(inWrite);
        }
    }
    error = GetLastError();
    if (in != nullptr) {
        ok = ConvertGuarded(convert, in, out) != 0;
        error = GetLastError();
        // What the converter left unread, so that the feeder is never left writing to a
        // pipe that nobody reads.
        char rest[4096];
        while (std::fread(rest, 1, sizeof rest, in) > 0) {
        }
        std::fclose(in);
    }
    if (std::fclose(out) != 0 && ok) {
        ok = false;
        error = GetLastError();
    }
    if (feed.joinable())
        feed.join();
    drain.join();
    CloseHandle(outRead);
    if (ok && !measuredOk) {
        ok = false;
        error = measureError;
    }
    ok = ok && fed;
    SetLastError(error);
    return ok;
}
