// The conversion of a job's copy, made again as it is read (job_internal.h).
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "job_internal.h"

struct CConvertedBytes::SState {
    static const int SLOTS = 4;

    StreamConverter convert;
    std::string path;
    SFileIdentity id;
    // SLOTS buffers of the conversion, then the two streams' own.
    char *buffers = nullptr;
    std::size_t lengths[SLOTS] = {};
    int next = 0;            // the buffer the thread fills next
    int filled = 0;          // buffers filled and not yet read, from (next - filled)
    std::size_t taken = 0;   // of the oldest of them, the bytes read
    std::uint64_t at = 0;    // the offset of the first byte not read
    bool ended = false;      // the thread has stopped
    bool cancel = false;     // the reader wants it to stop
    bool failed = false;
    DWORD error = 0;
    std::mutex lock;
    std::condition_variable changed;
    std::thread worker;

    char *Slot(int slot) const { return buffers + static_cast<std::size_t>(slot) * STREAM_BUFFER_SIZE; }

    // The converter's output, into the buffers as they come free.
    static long long Take(void *context, const char *data, std::size_t n)
    {
        auto &s = *static_cast<SState *>(context);
        std::size_t given = n;
        std::unique_lock<std::mutex> hold(s.lock);
        while (n > 0) {
            s.changed.wait(hold, [&s] { return s.filled < SLOTS || s.cancel; });
            if (s.cancel) {
                SetLastError(ERROR_NOT_SUPPORTED);
                return -1;
            }
            int slot = s.next;
            std::size_t take = std::min(n, STREAM_BUFFER_SIZE);
            hold.unlock();
            std::memcpy(s.Slot(slot), data, take);
            hold.lock();
            s.lengths[slot] = take;
            s.next = (slot + 1) % SLOTS;
            ++s.filled;
            s.changed.notify_all();
            data += take;
            n -= take;
        }
        return static_cast<long long>(given);
    }

    void Convert()
    {
        bool ok = false;
        HANDLE copy = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        SFileIdentity now;
        if (copy != INVALID_HANDLE_VALUE && GetFileIdentity(copy, &now)) {
            if (SameFile(now, id)) {
                SStreamCalls calls = {this, nullptr, Take, nullptr};
                FILE *in = OpenHandleStream(copy, "rb");
                FILE *out = in != nullptr ? OpenCallStream(&calls, "wb") : nullptr;
                if (in != nullptr && out != nullptr) {
                    (void)std::setvbuf(in, Slot(SLOTS), _IOFBF, STREAM_BUFFER_SIZE);
                    (void)std::setvbuf(out, Slot(SLOTS + 1), _IOFBF, STREAM_BUFFER_SIZE);
                    ok = ConvertGuarded(convert, in, out) != 0;
                }
                DWORD code = GetLastError();
                if (in != nullptr)
                    std::fclose(in);
                if (out != nullptr && std::fclose(out) != 0 && ok) {
                    ok = false;
                    code = GetLastError();
                }
                SetLastError(code);
            } else {
                SetLastError(ERROR_INTERRUPTED_COPY_NOT_WHOLE);
            }
        }
        DWORD code = GetLastError();
        CloseIfOpen(copy);
        std::lock_guard<std::mutex> hold(lock);
        ended = true;
        if (!ok && !cancel) {
            failed = true;
            error = code != 0 ? code : ERROR_INTERRUPTED_OTHER_CONVERSION;
        }
        changed.notify_all();
    }

    void Stop()
    {
        if (worker.joinable()) {
            {
                std::lock_guard<std::mutex> hold(lock);
                cancel = true;
            }
            changed.notify_all();
            worker.join();
        }
    }
};

CConvertedBytes::CConvertedBytes(StreamConverter convert, const char *path, const SFileIdentity &id)
    : m_state(new SState)
{
    m_state->convert = convert;
    m_state->path = path;
    m_state->id = id;
}

CConvertedBytes::~CConvertedBytes()
{
    DWORD error = GetLastError();
    m_state->Stop();
    delete[] m_state->buffers;
    delete m_state;
    SetLastError(error);
}

bool CConvertedBytes::Start()
{
    SState &s = *m_state;
    s.Stop();
    // Only where streams over functions can be had at all.
    SStreamCalls none = {nullptr, nullptr, nullptr, nullptr};
    FILE *probe = OpenCallStream(&none, "wb");
    if (probe == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    std::fclose(probe);
    if (s.buffers == nullptr)
        s.buffers = new (std::nothrow) char[(SState::SLOTS + 2) * STREAM_BUFFER_SIZE];
    if (s.buffers == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    s.next = s.filled = 0;
    s.taken = 0;
    s.at = 0;
    s.ended = s.cancel = s.failed = false;
    s.error = 0;
    try {
        s.worker = std::thread(&SState::Convert, &s);
    } catch (const std::system_error &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

bool CConvertedBytes::Read(std::uint64_t offset, char *buffer, DWORD size, DWORD *done)
{
    SState &s = *m_state;
    *done = 0;
    if ((!s.worker.joinable() || offset < s.at) && !Start())
        return false;
    std::unique_lock<std::mutex> hold(s.lock);
    while (*done < size) {
        s.changed.wait(hold, [&s] { return s.filled > 0 || s.ended; });
        if (s.filled == 0) {
            if (!s.failed)
                break;  // the conversion's end
            SetLastError(s.error);
            return false;
        }
        // The oldest buffer is the reader's until it is given back.
        int slot = (s.next - s.filled + SState::SLOTS) % SState::SLOTS;
        std::size_t left = s.lengths[slot] - s.taken;
        const char *data = s.Slot(slot) + s.taken;
        std::size_t n;
        if (s.at < offset) {
            n = static_cast<std::size_t>(std::min<std::uint64_t>(left, offset - s.at));
        } else {
            n = std::min<std::size_t>(left, size - *done);
            hold.unlock();
            std::memcpy(buffer + *done, data, n);
            hold.lock();
            *done += static_cast<DWORD>(n);
        }
        s.taken += n;
        s.at += n;
        if (s.taken == s.lengths[slot]) {
            s.taken = 0;
            --s.filled;
            s.changed.notify_all();
        }
    }
    return true;
}

bool ReadConverted(CConvertedBytes &bytes, std::uint64_t offset, char *buffer, DWORD size, DWORD *done)
{
    return bytes.Read(offset, buffer, size, done);
}
