// The job's journal: the record's names, its text, and the checksum it keeps of the copy.
//
// A record is a few lines of text, each a keyword and its value; a path is given with its
// length first, so that any byte may be in it.  The last line holds the checksum of all
// before it: a record cut short or torn (the machine stopped while writing it) is told
// from a whole one, and since the record is on the disk before the folder is first
// written, such a record shows that the folder was never written.
//
//   quorvel journal 1
//   folder 17:/home/u/mail/Inbox
//   identity 0000FD01 0000000000123456
//   start 0
//   copy 40:/var/tmp/qvl0000FD01-0000000000123456.TMP
//   length 123456
//   checksum 0123456789ABCDEF
//   converter plain
//   end 0123456789ABCDEF
#include "journal.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <numeric>

namespace {

const std::uint64_t PRIME1 = 0x9E3779B185EBCA87u;
const std::uint64_t PRIME2 = 0xC2B2AE3D27D4EB4Fu;
const std::uint64_t PRIME3 = 0x165667B19E3779F9u;
const std::uint64_t PRIME4 = 0x85EBCA77C2B2AE63u;
const std::uint64_t PRIME5 = 0x27D4EB2F165667C5u;

std::uint64_t Rotate(std::uint64_t x, int bits)
{
    return (x << bits) | (x >> (64 - bits));
}

std::uint64_t Round(std::uint64_t lane, std::uint64_t input)
{
    return Rotate(lane + input * PRIME2, 31) * PRIME1;
}

std::uint64_t Merge(std::uint64_t value, std::uint64_t lane)
{
    return (value ^ Round(0, lane)) * PRIME1 + PRIME4;
}

// Little-endian, whatever the processor: one load where it is so, as on every processor
// this program is built for.
constexpr bool LITTLE_ENDIAN_PROCESSOR = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

std::uint64_t Load64(const unsigned char *p)
{
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return LITTLE_ENDIAN_PROCESSOR ? x : __builtin_bswap64(x);
}

std::uint32_t Load32(const unsigned char *p)
{
    std::uint32_t x;
    std::memcpy(&x, p, sizeof x);
    return LITTLE_ENDIAN_PROCESSOR ? x : __builtin_bswap32(x);
}

void TakeStripe(std::uint64_t lanes[4], const unsigned char *p)
{
    lanes[0] = Round(lanes[0], Load64(p));
    lanes[1] = Round(lanes[1], Load64(p + 8));
    lanes[2] = Round(lanes[2], Load64(p + 16));
    lanes[3] = Round(lanes[3], Load64(p + 24));
}

}  // namespace

SChecksum::SChecksum()
    : lanes{PRIME1 + PRIME2, PRIME2, 0, 0 - PRIME1}, stripe{}, held(0), total(0)
{
}

void SChecksum::Add(const void *data, std::size_t n)
{
    const auto *p = static_cast<const unsigned char *>(data);
    total += n;
    if (held > 0) {
        std::size_t take = n < sizeof stripe - held ? n : sizeof stripe - held;
        std::memcpy(stripe + held, p, take);
        held += take;
        p += take;
        n -= take;
        if (held < sizeof stripe)
            return;
        TakeStripe(lanes, stripe);
        held = 0;
    }
    for (; n >= sizeof stripe; p += sizeof stripe, n -= sizeof stripe)
        TakeStripe(lanes, p);
    std::memcpy(stripe, p, n);
    held = n;
}

std::uint64_t SChecksum::Value() const
{
    std::uint64_t value;
    if (total >= sizeof stripe) {
        value = Rotate(lanes[0], 1) + Rotate(lanes[1], 7) + Rotate(lanes[2], 12) + Rotate(lanes[3], 18);
        value = std::accumulate(std::begin(lanes), std::end(lanes), value, Merge);
    } else {
        value = lanes[2] + PRIME5;
    }
    value += total;
    const unsigned char *p = stripe;
    std::size_t n = held;
    for (; n >= 8; p += 8, n -= 8)
        value = Rotate(value ^ Round(0, Load64(p)), 27) * PRIME1 + PRIME4;
    if (n >= 4) {
        value = Rotate(value ^ (Load32(p) * PRIME1), 23) * PRIME2 + PRIME3;
        p += 4;
        n -= 4;
    }
    for (; n > 0; ++p, --n)
        value = Rotate(value ^ (*p * PRIME5), 11) * PRIME1;
    value ^= value >> 33;
    value *= PRIME2;
    value ^= value >> 29;
    value *= PRIME3;
    value ^= value >> 32;
    return value;
}

bool GetFolderIdentity(HANDLE file, SFolderIdentity *id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    id->volume = info.dwVolumeSerialNumber;
    id->index = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    id->size = static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    return true;
}

bool MakeJobFileNames(const char *tempDir, const SFolderIdentity &id, SJobFiles *files)
{
    const struct {
        char *name;
        const char *extension;
    } names[] = {{files->copy, "TMP"}, {files->record, "JNL"}, {files->scratch, "CHK"}};
    for (const auto &n : names) {
        int length = std::snprintf(n.name, MAX_PATH, "%sqvl%08" PRIX32 "-%016" PRIX64 ".%s", tempDir,
                                   static_cast<std::uint32_t>(id.volume), id.index, n.extension);
        if (length < 0 || length >= MAX_PATH) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
    }
    return true;
}

namespace {

const char MAGIC[] = "quorvel journal 1\n";
// Far more than a record with two paths of MAX_PATH bytes takes.
const std::size_t RECORD_SIZE = 4 * MAX_PATH + 512;

// Appends "keyword LENGTH:PATH\n".
bool PutPath(char *text, std::size_t &used, const char *keyword, const char *path)
{
    int n = std::snprintf(text + used, RECORD_SIZE - used, "%s %zu:%s\n", keyword, std::strlen(path), path);
    if (n < 0 || static_cast<std::size_t>(n) >= RECORD_SIZE - used)
        return false;
    used += static_cast<std::size_t>(n);
    return true;
}

std::uint64_t ChecksumOf(const char *text, std::size_t n)
{
    SChecksum sum;
    sum.Add(text, n);
    return sum.Value();
}

// A cursor over a record's text; every step fails once one has.
struct SReader {
    const char *at;
    const char *end;
    bool ok;

    bool Keyword(const char *keyword)
    {
        std::size_t n = std::strlen(keyword);
        ok = ok && static_cast<std::size_t>(end - at) > n && std::memcmp(at, keyword, n) == 0 && at[n] == ' ';
        if (ok)
            at += n + 1;
        return ok;
    }
    // A number in base 10 or 16, then the byte stop.
    std::uint64_t Number(int base, char stop)
    {
        const char *start = at;
        std::uint64_t value = 0;
        for (; ok && at < end && *at != stop; ++at) {
            int digit = *at >= '0' && *at <= '9' ? *at - '0'
                        : *at >= 'A' && *at <= 'F' && base == 16 ? *at - 'A' + 10 : -1;
            ok = digit >= 0 && value <= (UINT64_MAX - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base);
            value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        }
        ok = ok && at > start && at < end;
        if (ok)
            ++at;
        return value;
    }
    void Path(const char *keyword, char *path)
    {
        if (!Keyword(keyword))
            return;
        std::uint64_t n = Number(10, ':');
        ok = ok && n < MAX_PATH && static_cast<std::uint64_t>(end - at) > n && at[n] == '\n' &&
             std::memchr(at, '\0', n) == nullptr;
        if (!ok)
            return;
        std::memcpy(path, at, n);
        path[n] = '\0';
        at += n + 1;
    }
    void Word(const char *keyword, char *word, std::size_t size)
    {
        if (!Keyword(keyword))
            return;
        const char *line = static_cast<const char *>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        ok = line != nullptr && static_cast<std::size_t>(line - at) < size;
        if (!ok)
            return;
        std::memcpy(word, at, static_cast<std::size_t>(line - at));
        word[line - at] = '\0';
        at = line + 1;
    }
};

}  // namespace

bool WriteJournal(const char *path, const SJournal &journal)
{
    char text[RECORD_SIZE];
    std::size_t used = static_cast<std::size_t>(std::snprintf(text, sizeof text, "%s", MAGIC));
    bool ok = PutPath(text, used, "folder", journal.folder);
    if (ok) {
        int n = std::snprintf(text + used, RECORD_SIZE - used,
                              "identity %08" PRIX32 " %016" PRIX64 "\n", static_cast<std::uint32_t>(journal.volume),
                              journal.index);
        ok = n > 0 && static_cast<std::size_t>(n) < RECORD_SIZE - used;
        used += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (ok) {
        int n = std::snprintf(text + used, RECORD_SIZE - used, "start %" PRIu64 "\n", journal.start);
        ok = n > 0 && static_cast<std::size_t>(n) < RECORD_SIZE - used;
        used += ok ? static_cast<std::size_t>(n) : 0;
    }
    ok = ok && PutPath(text, used, "copy", journal.copy);
    if (ok) {
        int n = std::snprintf(text + used, RECORD_SIZE - used,
                              "length %" PRIu64 "\nchecksum %016" PRIX64 "\nconverter %s\n", journal.length,
                              journal.checksum, journal.converter);
        ok = n > 0 && static_cast<std::size_t>(n) < RECORD_SIZE - used;
        used += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (ok) {
        int n = std::snprintf(text + used, RECORD_SIZE - used, "end %016" PRIX64 "\n", ChecksumOf(text, used));
        ok = n > 0 && static_cast<std::size_t>(n) < RECORD_SIZE - used;
        used += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (!ok) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    HANDLE record = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (record == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    ok = WriteFile(record, text, static_cast<DWORD>(used), &written, nullptr) && FlushFileBuffers(record);
    DWORD error = GetLastError();
    if (!CloseHandle(record) && ok) {
        ok = false;
        error = GetLastError();
    }
    SetLastError(error);
    return ok;
}

EJournalState ReadJournal(const char *path, SJournal *journal)
{
    HANDLE record = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (record == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? JOURNAL_NONE : JOURNAL_UNREADABLE;
    }
    // Only a record this user made is followed: in a shared temporary directory anyone
    // could leave one naming a copy of their own.
    if (GetFileType(record) != FILE_TYPE_DISK || !IsPrivateFile(record)) {
        CloseHandle(record);
        return JOURNAL_UNREADABLE;
    }
    char text[RECORD_SIZE];
    std::size_t used = 0;
    DWORD n = 1;
    bool ok = true;
    while (ok && n > 0 && used < sizeof text) {
        ok = ReadFile(record, text + used, static_cast<DWORD>(sizeof text - used), &n, nullptr) != 0;
        used += ok ? n : 0;
    }
    CloseHandle(record);
    if (!ok)
        return JOURNAL_UNREADABLE;

    // Whole when it ends in the checksum of all before it.
    const char *endLine = nullptr;
    for (std::size_t i = used; i >= 5 && endLine == nullptr; --i) {
        if (std::memcmp(text + i - 5, "\nend ", 5) == 0)
            endLine = text + i - 4;
    }
    if (endLine == nullptr)
        return JOURNAL_UNFINISHED;
    SReader check = {endLine + 4, text + used, true};
    std::uint64_t sum = check.Number(16, '\n');
    if (!check.ok || check.at != text + used || sum != ChecksumOf(text, static_cast<std::size_t>(endLine - text)))
        return JOURNAL_UNFINISHED;

    SReader r = {text, endLine, true};
    std::size_t magic = std::strlen(MAGIC);
    r.ok = used > magic && std::memcmp(text, MAGIC, magic) == 0;
    r.at += magic;
    r.Path("folder", journal->folder);
    if (r.Keyword("identity")) {
        journal->volume = static_cast<DWORD>(r.Number(16, ' '));
        journal->index = r.Number(16, '\n');
    }
    if (r.Keyword("start"))
        journal->start = r.Number(10, '\n');
    r.Path("copy", journal->copy);
    if (r.Keyword("length"))
        journal->length = r.Number(10, '\n');
    if (r.Keyword("checksum"))
        journal->checksum = r.Number(16, '\n');
    r.Word("converter", journal->converter, sizeof journal->converter);
    return r.ok && r.at == endLine ? JOURNAL_FOUND : JOURNAL_UNREADABLE;
}
