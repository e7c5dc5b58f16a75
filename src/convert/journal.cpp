// The job's journal: the record's names, its text, and the checksum it keeps of the copy.
//
// A record is a few lines of text, each a keyword and its value; a path is given with its
// length first, so that any byte may be in it.  The last line holds the checksum of all
// before it: a record cut short (the machine stopped while writing it) is told from a whole
// one, and since the record is on the disk before the folder is first written, such a
// record shows that the folder was never written.  A record whose last line is whole but
// whose checksum is wrong, or that goes on after it, has been damaged since: it is not
// followed, and not deleted either.
//
//   quorvel journal 3
//   folder 17:/home/u/mail/Inbox
//   identity 000000000000FD01 0000000000000000 0000000000123456
//   start 0
//   front 0123456789ABCDEF
//   length 123456
//   checksum 0123456789ABCDEF
//   converted 123460 0123456789ABCDEF
//   added 0 0123456789ABCDEF
//   direction forward
//   old 0 0123456789ABCDEF
//   converter plain
//   end 0123456789ABCDEF
//
// A record of any other version is refused, and the folder it names left as it is.
#include "journal.h"
#include "write_anew.h"

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

bool MakeJobBase(const SFileIdentity &id, unsigned number, bool withNumber, char *base, std::size_t size)
{
    int n = withNumber ? std::snprintf(base, size, "qvl%016" PRIX64 "-%016" PRIX64 "%016" PRIX64 "-%08X", id.volume,
                                       id.indexHigh, id.indexLow, number)
                       : std::snprintf(base, size, "qvl%016" PRIX64 "-%016" PRIX64 "%016" PRIX64 "-", id.volume,
                                       id.indexHigh, id.indexLow);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

bool MakeJobFiles(const char *dir, const char *base, SJobFiles *files)
{
    const struct {
        char *name;
        const char *extension;
    } names[] = {{files->record, "JNL"}, {files->copy, "TMP"}, {files->scratch, "CHK"},
                 {files->added, "ADD"},  {files->next, "JNW"}, {files->old, "OLD"}};
    for (const auto &n : names) {
        int length = std::snprintf(n.name, PATH_SIZE, "%s%s.%s", dir, base, n.extension);
        if (length < 0 || static_cast<std::size_t>(length) >= PATH_SIZE) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
    }
    return true;
}

bool JobFilesOfRecord(const char *record, SJobFiles *files)
{
    std::size_t n = std::strlen(record);
    if (n < 4 || n >= PATH_SIZE || std::strcmp(record + n - 4, ".JNL") != 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    char base[PATH_SIZE];
    std::memcpy(base, record, n - 4);
    base[n - 4] = '\0';
    return MakeJobFiles("", base, files);
}

namespace {

const char MAGIC[] = "quorvel journal ";
const int VERSION = 3;
// Far more than a record with one path takes.
const std::size_t RECORD_SIZE = PATH_SIZE + 1024;
// The most decimal digits a 64-bit number has.
const int MAX_DECIMAL_DIGITS = 20;

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
    // A decimal number of at most 20 digits that fits in 64 bits, then the byte stop.
    std::uint64_t Decimal(char stop)
    {
        const char *start = at;
        std::uint64_t value = 0;
        for (; ok && at < end && *at != stop; ++at) {
            auto digit = static_cast<std::uint64_t>(*at - '0');
            ok = *at >= '0' && *at <= '9' && at - start < MAX_DECIMAL_DIGITS && value <= (UINT64_MAX - digit) / 10;
            value = value * 10 + digit;
        }
        return Stop(start, stop) ? value : 0;
    }
    // Exactly digits hexadecimal digits, then the byte stop.
    std::uint64_t Hex(int digits, char stop)
    {
        const char *start = at;
        std::uint64_t value = 0;
        for (; ok && at < end && *at != stop; ++at) {
            int digit = *at >= '0' && *at <= '9' ? *at - '0' : *at >= 'A' && *at <= 'F' ? *at - 'A' + 10 : -1;
            ok = digit >= 0 && at - start < digits;
            value = value << 4 | static_cast<std::uint64_t>(digit & 0xF);
        }
        ok = ok && at - start == digits;
        return Stop(start, stop) ? value : 0;
    }
    bool Stop(const char *start, char stop)
    {
        ok = ok && at > start && at < end && *at == stop;
        if (ok)
            ++at;
        return ok;
    }
    void Path(const char *keyword, char *path, std::size_t size)
    {
        if (!Keyword(keyword))
            return;
        std::uint64_t n = Decimal(':');
        ok = ok && n < size && static_cast<std::uint64_t>(end - at) > n && at[n] == '\n' &&
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
        ok = line != nullptr && line > at && static_cast<std::size_t>(line - at) < size &&
             std::memchr(at, '\0', static_cast<std::size_t>(line - at)) == nullptr;
        if (!ok)
            return;
        std::memcpy(word, at, static_cast<std::size_t>(line - at));
        word[line - at] = '\0';
        at = line + 1;
    }
};

// Puts the text of journal, as the current version writes it, into text (RECORD_SIZE
// bytes); its length, or 0 when it does not fit.
std::size_t FormatJournal(const SJournal &journal, char *text)
{
    const char *direction = journal.direction == DIRECTION_UNDO        ? "undo"
                            : journal.direction == DIRECTION_UNDO_KEEP ? "undo-keep"
                                                                       : "forward";
    int n = std::snprintf(text, RECORD_SIZE,
                          "%s%d\nfolder %zu:%s\nidentity %016" PRIX64 " %016" PRIX64 " %016" PRIX64
                          "\nstart %" PRIu64 "\nfront %016" PRIX64 "\nlength %" PRIu64 "\nchecksum %016" PRIX64
                          "\nconverted %" PRIu64 " %016" PRIX64 "\nadded %" PRIu64 " %016" PRIX64 "\ndirection %s\nold %" PRIu64 " %016" PRIX64
                          "\nconverter %s\n",
                          MAGIC, VERSION, std::strlen(journal.folder), journal.folder, journal.id.volume,
                          journal.id.indexHigh, journal.id.indexLow, journal.start, journal.frontChecksum,
                          journal.length, journal.checksum, journal.converted, journal.convertedChecksum, journal.added, journal.addedChecksum, direction,
                          journal.oldLength, journal.oldChecksum, journal.converter);
    std::size_t used = n > 0 && static_cast<std::size_t>(n) < RECORD_SIZE ? static_cast<std::size_t>(n) : 0;
    if (used > 0) {
        n = std::snprintf(text + used, RECORD_SIZE - used, "end %016" PRIX64 "\n", ChecksumOf(text, used));
        used = n > 0 && static_cast<std::size_t>(n) < RECORD_SIZE - used ? used + static_cast<std::size_t>(n) : 0;
    }
    if (used == 0)
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return used;
}

// The fields of a record, after its first line.
void ReadFields(SReader &r, SJournal *journal)
{
    r.Path("folder", journal->folder, sizeof journal->folder);
    if (r.Keyword("identity")) {
        journal->id.volume = r.Hex(16, ' ');
        journal->id.indexHigh = r.Hex(16, ' ');
        journal->id.indexLow = r.Hex(16, '\n');
    }
    if (r.Keyword("start"))
        journal->start = r.Decimal('\n');
    if (r.Keyword("front"))
        journal->frontChecksum = r.Hex(16, '\n');
    if (r.Keyword("length"))
        journal->length = r.Decimal('\n');
    if (r.Keyword("checksum"))
        journal->checksum = r.Hex(16, '\n');
    if (r.Keyword("converted")) {
        journal->converted = r.Decimal(' ');
        journal->convertedChecksum = r.Hex(16, '\n');
    }
    if (r.Keyword("added")) {
        journal->added = r.Decimal(' ');
        journal->addedChecksum = r.Hex(16, '\n');
    }
    char direction[16] = "";
    r.Word("direction", direction, sizeof direction);
    if (r.ok && std::strcmp(direction, "undo") == 0)
        journal->direction = DIRECTION_UNDO;
    else if (r.ok && std::strcmp(direction, "undo-keep") == 0)
        journal->direction = DIRECTION_UNDO_KEEP;
    else
        r.ok = r.ok && std::strcmp(direction, "forward") == 0;
    if (r.Keyword("old")) {
        journal->oldLength = r.Decimal(' ');
        journal->oldChecksum = r.Hex(16, '\n');
    }
    r.Word("converter", journal->converter, sizeof journal->converter);
}

}  // namespace

bool WriteJournal(const char *path, const SJournal &journal, HANDLE *held)
{
    char text[RECORD_SIZE];
    std::size_t n = FormatJournal(journal, text);
    return n > 0 && WriteNewFile(path, text, n, held);
}

bool ReplaceJournal(const SJobFiles &files, const char *dir, const SJournal &journal)
{
    char text[RECORD_SIZE];
    std::size_t n = FormatJournal(journal, text);
    if (n == 0)
        return false;
    return WriteAnew(files.next, files.record, dir, text, n);
}

EJournalState ReadJournal(const char *path, SJournal *journal)
{
    HANDLE record = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (record == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? JOURNAL_NONE : JOURNAL_UNREADABLE;
    }
    // Only a record this user made is followed: anyone else's could name a folder of theirs.
    // One of the user's own that others may write to, or that has another name, is not
    // followed either, but not passed over.
    if (GetFileType(record) != FILE_TYPE_DISK || !IsOwnFile(record)) {
        CloseHandle(record);
        return JOURNAL_NOT_OURS;
    }
    if (!IsPrivateFile(record)) {
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
    if (!ok || used == sizeof text)
        return JOURNAL_UNREADABLE;

    // Whole when its last line is the checksum of all before it.  Without a whole last line
    // it was cut short while being written.
    const char *endLine = nullptr;
    for (std::size_t i = used; i >= 5 && endLine == nullptr; --i) {
        if (std::memcmp(text + i - 5, "\nend ", 5) == 0)
            endLine = text + i - 4;
    }
    if (endLine == nullptr)
        return JOURNAL_UNFINISHED;
    SReader check = {endLine + 4, text + used, true};
    std::uint64_t sum = check.Hex(16, '\n');
    if (!check.ok)
        return check.at == text + used ? JOURNAL_UNFINISHED : JOURNAL_UNREADABLE;
    if (check.at != text + used || sum != ChecksumOf(text, static_cast<std::size_t>(endLine - text)))
        return JOURNAL_UNREADABLE;

    *journal = SJournal{};
    SReader r = {text, endLine, true};
    std::size_t magic = std::strlen(MAGIC);
    r.ok = std::memcmp(text, MAGIC, magic) == 0;
    r.at += r.ok ? magic : 0;
    journal->version = static_cast<int>(r.Decimal('\n'));
    if (!r.ok)
        return JOURNAL_UNREADABLE;
    if (journal->version != VERSION)
        return JOURNAL_OTHER_VERSION;
    ReadFields(r, journal);
    return r.ok && r.at == endLine ? JOURNAL_FOUND : JOURNAL_UNREADABLE;
}
