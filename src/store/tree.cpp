// Converts trees of mail (tree.h): mbox folders, files of one mail, maildirs and Apple Mail's
// .emlx files under a directory, and a Thunderbird profile's Mail/ tree.
#include "tree.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <functional>
#include <thread>

#include "emlx.h"
#include "iso2022kr.h"
#include "mail.h"
#include "maildir.h"
#include "profile.h"
#include "rewrite.h"
#include "store_files.h"

namespace {

// Why ImapMail/ is left alone, in words.
const char IMAP_REASON[] =
    "left alone: offline copies of server mail, a cache that the mail program throws away or keeps out of step "
    "with the server";
const char DOVECOT_CACHE[] = "dovecot.index.cache";

// The directory under .imap/ beside an mbox folder where Dovecot keeps its index: named after
// the folder, but INBOX for the inbox, whatever case its file has.
std::string DovecotIndexName(const std::string &folder)
{
    return EqualsNoCase(folder.data(), folder.size(), "inbox") ? "INBOX" : folder;
}
const char SWAPPED[] = "not converted: a link or another file was put in its place since the walk found it";
// How much is read at a time.
const std::size_t PIECE = std::size_t{64} * 1024;

// True when name ends with lowerSuffix, ignoring ASCII case, and is more than that.
bool EndsWithNoCase(const std::string &name, const char *lowerSuffix)
{
    std::size_t n = std::strlen(lowerSuffix);
    return name.size() > n && EqualsNoCase(name.data() + name.size() - n, n, lowerSuffix);
}

// True when name is lowerName, ignoring ASCII case.
bool IsNamed(const std::string &name, const char *lowerName)
{
    return EqualsNoCase(name.data(), name.size(), lowerName);
}

bool IsGone(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// True when text may hold something to convert: ISO-2022-KR's ESC or SO, or what may be a
// label naming it, as the job looks for one: a name of it, an RFC 2231 charset parameter
// (sections or %-encoded), a quoted pair among a name's characters.  False means that the
// conversion leaves every byte as it is, its line ends aside, which a file that needs
// nothing else keeps too.  Fed in pieces of any size.
class CWorkSniffer {
public:
    void Scan(std::string_view bytes)
    {
        if (m_found)
            return;
        if (bytes.find(static_cast<char>(ESC)) != std::string_view::npos ||
            bytes.find(static_cast<char>(SO)) != std::string_view::npos) {
            m_found = true;
            return;
        }
        // What is looked for may be cut by the piece's start: it is looked for where the two
        // pieces meet too.
        std::size_t head = std::min(bytes.size(), TAIL);
        m_found = MayLabel(m_tail + std::string(bytes.substr(0, head))) || MayLabel(bytes);
        std::string joined = m_tail + std::string(bytes.substr(bytes.size() - head));
        m_tail = joined.substr(joined.size() - std::min(joined.size(), TAIL));
    }
    bool Found() const { return m_found; }

private:
    static bool HasName(std::string_view text)
    {
        // Both names hold "2022", which has no case.
        for (std::size_t at = text.find("2022"); at != std::string_view::npos; at = text.find("2022", at + 1)) {
            if ((at >= 4 && at + 7 <= text.size() && NamesIso2022Kr(text.data() + at - 4, 11)) ||
                (at >= 5 && at + 6 <= text.size() && NamesIso2022Kr(text.data() + at - 5, 11)))
                return true;
        }
        return false;
    }
    static bool MayLabel(std::string_view text)
    {
        if (HasName(text))
            return true;
        for (std::size_t at = text.find('*'); at != std::string_view::npos; at = text.find('*', at + 1)) {
            if (at >= 7 && EqualsNoCase(text.data() + at - 7, 7, "charset"))
                return true;
        }
        for (std::size_t at = text.find('\\'); at != std::string_view::npos; at = text.find('\\', at + 1)) {
            std::size_t from = at >= 2 * NAME ? at - 2 * NAME : 0;
            std::string plain;
            for (char c : text.substr(from, 4 * NAME))
                if (c != '\\')
                    plain += c;
            if (HasName(plain))
                return true;
        }
        return false;
    }

    static const std::size_t NAME = 11;          // a name's length
    static const std::size_t TAIL = 2 * NAME;    // a name written with quoted pairs, less one
    std::string m_tail;                          // the last bytes of the piece before
    bool m_found = false;
};

// Reads up to n bytes of file at its position into buffer; the number read, or -1 on failure.
long long ReadSome(HANDLE file, char *buffer, std::size_t n)
{
    DWORD done = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(n), &done, nullptr))
        return -1;
    return done;
}

bool Seek(HANDLE file, std::uint64_t at)
{
    LONG high = static_cast<LONG>(at >> 32);
    SetLastError(0);
    return SetFilePointer(file, static_cast<LONG>(at & 0xFFFFFFFFu), &high, FILE_BEGIN) !=
               INVALID_SET_FILE_POINTER ||
           GetLastError() == 0;
}

// Sniffs n bytes of file from at (to its end where n is all), in pieces.  False on a read
// failure.
bool SniffRange(HANDLE file, std::uint64_t at, std::uint64_t n, CWorkSniffer &sniffer)
{
    if (!Seek(file, at))
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

// Copies n bytes of from at fromAt to to's position (to from's end where n is all).  False
// on failure.
bool CopyRange(HANDLE from, std::uint64_t fromAt, std::uint64_t n, HANDLE to)
{
    if (!Seek(from, fromAt))
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

// True when a and b, both read from their starts, hold the same bytes.  False too on a read
// failure, which the caller meets again when it goes on.
bool SameBytes(HANDLE a, HANDLE b)
{
    if (!Seek(a, 0) || !Seek(b, 0))
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

// The size of file, and its size with every line end counted as CR LF, as IMAP servers
// count a message's.  False on a read failure.
bool Sizes(HANDLE file, std::uint64_t &size, std::uint64_t &crlfSize)
{
    if (!Seek(file, 0))
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

// What a conversion of some bytes would give, written nowhere.
struct SMeasured {
    std::uint64_t size = 0;      // its size
    std::uint64_t crlfSize = 0;  // its size with every line end counted as CR LF
    bool changed = false;        // whether it differs from the bytes converted
};

// Reads a pipe to its end, measuring what comes through it and comparing it with n bytes
// (all where n is all) of original from at.  Run on a thread of its own while the
// converter writes the pipe; it reads on after a difference, so that the writer never
// meets a pipe that nobody reads.
void MeasurePipe(HANDLE pipe, HANDLE original, std::uint64_t at, std::uint64_t n, SMeasured &measured, bool &ok,
                 DWORD &error)
{
    std::string got(PIECE, '\0'), had(PIECE, '\0');
    bool compared = Seek(original, at);
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

// Converts n bytes of from, from at (to its end where n is all), with convert, into a pipe
// that MeasurePipe reads, comparing it with the same bytes read through original, a second
// handle on the file with a position of its own.  Where they are not the whole file, another
// thread feeds them to the converter through a pipe of their own.  Nothing is written to a
// disk.  False on failure, with the system's error.
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
        in = Seek(from, 0) ? OpenHandleStream(from, "rb") : nullptr;
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

// One entry of a directory, kept past the call that told of it.
struct SEntry {
    std::string name;
    EEntryKind kind;
    std::uint64_t size;
    bool linkToDirectory;
    SFileIdentity id;
};

void KeepEntry(const SDirectoryEntry &entry, void *context)
{
    static_cast<std::vector<SEntry> *>(context)->push_back(
        {entry.name, entry.kind, entry.size, entry.linkToDirectory, entry.id});
}

typedef std::shared_ptr<CHeldDirectory> PDirectory;

// For the tests of a walk raced by another user: where QUORVEL_TEST_WALK_PAUSE names a file
// that is there, once the first directory's entries are read, renames it to NAME.paused and
// waits (ten seconds at most) until that is gone.
void PauseForTest()
{
    static bool paused = false;
    const char *hold = std::getenv("QUORVEL_TEST_WALK_PAUSE");
    if (hold == nullptr || paused)
        return;
    paused = true;
    std::string told = std::string(hold) + ".paused";
    if (std::rename(hold, told.c_str()) != 0)
        return;
    for (int i = 0; i < 1000; ++i) {
        std::string text;
        DWORD error = 0;
        if (!ReadWholeFile(told, text, error) && error == 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class CTreeWalk {
public:
    CTreeWalk(const STreeOptions &options, STreeReport &report) : m_options(options), m_report(report) {}

    // Walks path, one the user named, whose links are followed: measuring only, or
    // converting.
    void Walk(const std::string &path, bool convert);
    // Ends the walk: the last batch flushed.
    void Finish() { FlushBatch(); }
    std::uint64_t Files() const { return m_files; }
    std::uint64_t Bytes() const { return m_bytes; }

    // A failure of the measuring walk is counted when the converting walk meets it.
    void Fail(const std::string &path, const std::string &what, DWORD error = 0)
    {
        Tell(ETreeEvent::FAILED, path, what, error);
        if (m_convert)
            m_report.failed.push_back(path);
    }
    void Tell(ETreeEvent kind, const std::string &path, const std::string &what, DWORD error = 0)
    {
        if (m_convert)
            m_report.events.push_back({kind, path, what, error, nullptr});
    }

private:
    void Skip(const std::string &why, long n = 1);
    // A file the walk found: counted; true when it is to be converted.
    bool Count(std::uint64_t size);
    // The file counted is done.
    void Done(std::uint64_t size)
    {
        if (m_options.progress != nullptr)
            m_options.progress->FileDone(size);
    }
    void WalkDirectory(const PDirectory &dir);
    void WalkDirectoryHeld(const PDirectory &dir);
    bool HeldAsProfile(const CHeldDirectory &dir, const std::vector<SEntry> &entries);
    void WalkMaildir(const PDirectory &dir, const std::vector<SEntry> &entries);
    void WalkEntry(const PDirectory &dir, const SEntry &entry);
    void TidyMaildir(const PDirectory &tmp, const std::vector<PDirectory> &subs);
    void TidyBeside(const PDirectory &dir, const std::string &name);
    // Opens name in dir as the walk found it, the file at hand for the progress;
    // INVALID_HANDLE_VALUE, told, where it cannot.
    HANDLE OpenFound(const CHeldDirectory &dir, const std::string &name, const SFileIdentity *id);

    void ConvertFile(const PDirectory &dir, const std::string &name, const SFileIdentity *id);
    // A check's ConvertFile, once the folder is read: mayChange where its bytes hold what a
    // conversion changes, look what --check tells of it.
    void CheckFile(const PDirectory &dir, const std::string &name, const SFileIdentity *id, bool mayChange,
                   const std::shared_ptr<const SFolderLook> &look);
    // A check's: what the run would tidy away of a job on the folder at path that was
    // stopped at its end (TidyStoppedJob), or, where it converts it, take over.
    void TellStoppedJob(const std::string &path, bool converts);
    // Converts n bytes of name in dir from at (all where n is all), read through held, into
    // nowhere; false, told as failing, when it cannot.
    bool Measure(const CHeldDirectory &dir, const std::string &name, const SFileIdentity *id, HANDLE held,
                 std::uint64_t at, std::uint64_t n, SMeasured &measured);
    // A check's: a file that the conversion would replace, of size bytes once converted.
    void WouldReplace(const std::string &path, std::int64_t change, const PDirectory &quota, bool renamed,
                      std::uint64_t size);
    bool BatchFull() const
    {
        return m_batch.Full() || m_would.size() >= CRewriteBatch::FILES || m_wouldBytes >= CRewriteBatch::BYTES;
    }
    // quota: where the maildir's maildirsize is, or null.
    void ConvertMessage(const PDirectory &sub, const SEntry &entry, const PDirectory &tmp, const std::string &kind,
                        const PDirectory &quota);
    // The maildir's quota file, in it or, for a Maildir++ folder, in the maildir above.
    PDirectory QuotaOf(const PDirectory &dir, const std::vector<SEntry> &entries);
    // Holds dovecot-uidlist.lock of dir, as Dovecot makes it, for as long as it flushes the
    // batch; the batch is discarded, told, where Dovecot holds it for ten seconds.
    void FlushBatchLocked(const PDirectory &dir);
    // Appends a line for each change of size to the quota files of the batch's maildirs.
    void CountQuota(const std::vector<SReplaced> &done);
    void ConvertEmlx(const PDirectory &dir, const std::string &name, const SFileIdentity *id);
    // Converts from's bytes from its start into a new file in dir made for forName, its
    // name after a dot where hidden; true with its handle and name, or false, told, when it
    // fails or nothing changed.
    bool ConvertInto(HANDLE from, const CHeldDirectory &dir, const std::string &forName, bool hidden,
                     const std::string &path, HANDLE &made, std::string &name);
    void FlushBatch();

    const STreeOptions &m_options;
    STreeReport &m_report;
    bool m_convert = false;
    std::uint64_t m_files = 0, m_bytes = 0;
    CRewriteBatch m_batch;
    // A check's batch: what it would replace, taken as replaced when it would be flushed.
    std::vector<SReplaced> m_would;
    std::uint64_t m_wouldBytes = 0;
    // A check's: the paths that the tidying of a run that was stopped would delete, which the
    // run would then find gone.
    std::vector<std::string> m_wouldGo;
    std::vector<PDirectory> m_parents;  // the directories the walk is in, the innermost last
};

void CTreeWalk::Skip(const std::string &why, long n)
{
    if (!m_convert)
        return;
    auto &skipped = m_report.skipped;
    auto reason = std::find_if(skipped.begin(), skipped.end(),
                               [&why](const std::pair<std::string, long> &r) { return r.first == why; });
    if (reason != skipped.end())
        reason->second += n;
    else
        skipped.emplace_back(why, n);
}

bool CTreeWalk::Count(std::uint64_t size)
{
    ++m_files;
    m_bytes += size;
    return m_convert;
}

// True when dir is a profile that a running mail program holds, which is then told.
bool CTreeWalk::HeldAsProfile(const CHeldDirectory &dir, const std::vector<SEntry> &entries)
{
    bool locked = std::any_of(entries.begin(), entries.end(), [](const SEntry &entry) {
        return IsNamed(entry.name, ".parentlock") || IsNamed(entry.name, "parent.lock") ||
               (entry.kind == ENTRY_LINK && entry.name == "lock");
    });
    if (!locked)
        return false;
    std::string detail;
    switch (ProfileLockState(dir.Path(), detail)) {
    case EProfileLock::FREE:
        return false;
    case EProfileLock::HELD:
        Fail(dir.Path(),
             "not converted: a running mail program holds this profile (" + detail + "); close Thunderbird first");
        return true;
    case EProfileLock::UNKNOWN:
        break;
    }
    Tell(ETreeEvent::WARNING, dir.Path(), "cannot tell whether a mail program holds this profile: " + detail);
    return false;
}

void CTreeWalk::Walk(const std::string &path, bool convert)
{
    m_convert = convert;
    // What the user named may be a file: its directory is held, and the file opened by its
    // name there.
    if (IsDirectoryPath(path)) {
        PDirectory dir(CHeldDirectory::Open(path));
        if (dir != nullptr)
            WalkDirectory(dir);
        else
            Fail(path, "cannot convert", GetLastError());
        return;
    }
    char resolved[PATH_SIZE];
    std::string file = ResolvePath(path.c_str(), resolved) ? resolved : path;
    PDirectory parent(CHeldDirectory::Open(DirectoryOf(file)));
    std::string name = BaseNameOf(file);
    if (parent == nullptr) {
        Fail(path, "cannot convert", GetLastError());
        return;
    }
    HANDLE held = parent->OpenEntry(name, false, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        Fail(path, GetLastError() == ERROR_NOT_THE_WALKED_FILE
                       ? "not converted: a special file (a device, a pipe or a socket)"
                       : "cannot convert",
             GetLastError() == ERROR_NOT_THE_WALKED_FILE ? 0 : GetLastError());
        return;
    }
    SFileIdentity id;
    bool known = GetFileIdentity(held, &id);
    CloseHandle(held);
    if (!Count(known ? id.size : 0))
        return;
    if (EndsWithNoCase(name, ".emlx"))
        ConvertEmlx(parent, name, known ? &id : nullptr);
    else
        ConvertFile(parent, name, known ? &id : nullptr);
    Done(known ? id.size : 0);
}

void CTreeWalk::WalkDirectory(const PDirectory &dir)
{
    m_parents.push_back(dir);
    WalkDirectoryHeld(dir);
    m_parents.pop_back();
}

void CTreeWalk::WalkDirectoryHeld(const PDirectory &dir)
{
    if (IsNamed(BaseNameOf(dir->Path()), "imapmail")) {
        Tell(ETreeEvent::NOTICE, dir->Path(), IMAP_REASON);
        return;
    }
    std::vector<SEntry> entries;
    if (!dir->Read(KeepEntry, &entries)) {
        Fail(dir->Path(), "cannot read the directory", GetLastError());
        if (entries.empty())
            return;
    }
    if (m_convert)
        PauseForTest();
    std::sort(entries.begin(), entries.end(), [](const SEntry &a, const SEntry &b) { return a.name < b.name; });
    if (HeldAsProfile(*dir, entries))
        return;
    auto has = [&entries](const char *name) {
        return std::any_of(entries.begin(), entries.end(),
                           [name](const SEntry &e) { return e.kind == ENTRY_DIRECTORY && e.name == name; });
    };
    bool maildir = has("cur") && has("new");
    if (maildir)
        WalkMaildir(dir, entries);
    for (const SEntry &entry : entries) {
        if (maildir && entry.kind == ENTRY_DIRECTORY &&
            (entry.name == "cur" || entry.name == "new" || entry.name == "tmp"))
            continue;
        WalkEntry(dir, entry);
    }
}

void CTreeWalk::WalkMaildir(const PDirectory &dir, const std::vector<SEntry> &entries)
{
    bool hasTmp = std::any_of(entries.begin(), entries.end(),
                              [](const SEntry &e) { return e.kind == ENTRY_DIRECTORY && e.name == "tmp"; });
    PDirectory tmp;
    if (hasTmp) {
        tmp.reset(dir->OpenSub("tmp").release());
        if (tmp == nullptr) {
            Fail(dir->PathOf("tmp"), GetLastError() == ERROR_NOT_THE_WALKED_FILE ? SWAPPED : "cannot open the directory",
                 GetLastError() == ERROR_NOT_THE_WALKED_FILE ? 0 : GetLastError());
            return;
        }
    }
    long messages = 0;
    std::vector<PDirectory> subs;
    std::vector<std::vector<SEntry>> found(2);
    const char *names[] = {"cur", "new"};
    for (int i = 0; i < 2; ++i) {
        PDirectory sub(dir->OpenSub(names[i]).release());
        if (sub == nullptr) {
            Fail(dir->PathOf(names[i]), GetLastError() == ERROR_NOT_THE_WALKED_FILE ? SWAPPED : "cannot open the directory",
                 GetLastError() == ERROR_NOT_THE_WALKED_FILE ? 0 : GetLastError());
            return;
        }
        if (!sub->Read(KeepEntry, &found[i]))
            Fail(sub->Path(), "cannot read the directory", GetLastError());
        std::sort(found[i].begin(), found[i].end(), [](const SEntry &a, const SEntry &b) { return a.name < b.name; });
        subs.push_back(sub);
    }
    auto holds = [&entries](const char *name) {
        return std::any_of(entries.begin(), entries.end(), [name](const SEntry &e) { return e.name == name; });
    };
    // A server's maildir: its renames all at once, under its lock.
    bool dovecot = holds("dovecot-uidlist");
    if (dovecot && m_convert)
        FlushBatch();
    PDirectory quota = QuotaOf(dir, entries);
    bool synced = holds(".mbsyncstate") || holds(".uidvalidity") ||
                  std::any_of(found.begin(), found.end(), [](const std::vector<SEntry> &in) {
                      return std::any_of(in.begin(), in.end(), [](const SEntry &e) {
                          return e.name.find(",U=") != std::string::npos;
                      });
                  });
    if (synced)
        Tell(ETreeEvent::WARNING, dir->Path(),
             "kept in step with a server by a sync tool (mbsync, offlineimap): converting it converts no mail on "
             "the server; convert it there, or through the mail program");
    if (tmp != nullptr && m_convert)
        TidyMaildir(tmp, subs);
    for (int i = 0; i < 2; ++i) {
        for (const SEntry &entry : found[i]) {
            // Names that start with a dot are no messages, to maildir readers.
            if (entry.name[0] == '.')
                continue;
            if (entry.kind != ENTRY_FILE)
                WalkEntry(subs[i], entry);
            else if (tmp != nullptr && Count(entry.size)) {
                ConvertMessage(subs[i], entry, tmp, names[i], quota);
                Done(entry.size);
            }
            messages += entry.kind == ENTRY_FILE ? 1 : 0;
        }
    }
    if (dovecot && m_convert)
        FlushBatchLocked(dir);
    if (tmp == nullptr && messages > 0) {
        // Rewritten in place, a message could be read half-written: tmp/ is the maildir way.
        Tell(ETreeEvent::WARNING, dir->Path(),
             "a maildir without tmp/: its " + std::to_string(messages) + " messages are left as they are; make " +
                 dir->PathOf("tmp") + " and run again");
        Skip("in a maildir without tmp/", messages);
    }
}

// Our temporary files in tmp/ left by a run that was stopped.  One whose new name is in cur/
// or new/ was stopped between giving the converted message that name and deleting its old
// one: the old one goes.  Otherwise it is deleted where its message is there (under its
// name, or renamed by a mail program since), and moved into the message's place where it
// is not and the file system renames in two steps, for a power cut may have left the
// message only there.
void CTreeWalk::TidyMaildir(const PDirectory &tmp, const std::vector<PDirectory> &subs)
{
    std::vector<SEntry> entries;
    if (!tmp->Read(KeepEntry, &entries))
        Fail(tmp->Path(), "cannot read the directory", GetLastError());
    bool atomic = tmp->RenamesAtomically();
    // The messages, and the directory each is in.
    std::vector<std::pair<std::string, const PDirectory *>> messages;
    for (const PDirectory &d : subs) {
        std::vector<SEntry> found;
        d->Read(KeepEntry, &found);
        std::transform(found.begin(), found.end(), std::back_inserter(messages),
                       [&d](const SEntry &m) { return std::make_pair(m.name, &d); });
    }
    long deleted = 0;
    for (const SEntry &entry : entries) {
        std::string forName, sub, name;
        // One of a run still at work here is that run's to finish.
        if (entry.kind != ENTRY_FILE || !IsOurTemporary(entry.name, &forName) || IsOfRunningProcess(entry.name))
            continue;
        if (ReadMessageReference(forName, sub, name)) {
            const PDirectory &to = subs[sub == "cur" ? 0 : 1];
            std::string unique = MessageUnique(name), base = entry.name.substr(0, entry.name.find(','));
            auto named = [](const std::string &message, const std::string &start) {
                return message.compare(0, start.size(), start) == 0 &&
                       (message.size() == start.size() || std::strchr(",:;!", message[start.size()]) != nullptr);
            };
            bool renamed = std::any_of(messages.begin(), messages.end(),
                                       [&](const auto &m) { return named(m.first, base); });
            for (const auto &m : messages) {
                if (!renamed || MessageUnique(m.first) != unique)
                    continue;
                if (m_options.check) {
                    Tell(ETreeEvent::WOULD, (*m.second)->PathOf(m.first),
                         "would be deleted: the old name of a message that a run that was stopped had converted");
                    m_wouldGo.push_back((*m.second)->PathOf(m.first));
                } else if ((*m.second)->DeleteEntry(m.first))
                    Tell(ETreeEvent::NOTICE, (*m.second)->PathOf(m.first),
                         "deleted: the old name of a message that a run that was stopped had converted");
                else if (!IsGone(GetLastError()))
                    Fail((*m.second)->PathOf(m.first),
                         "cannot delete the old name of a message that a run that was stopped had converted",
                         GetLastError());
            }
            bool there = renamed || std::any_of(messages.begin(), messages.end(), [&](const auto &m) {
                             return MessageUnique(m.first) == unique;
                         });
            if (!there && !atomic) {
                if (m_options.check)
                    Tell(ETreeEvent::WOULD, to->PathOf(name),
                         "would be put in place from " + tmp->PathOf(entry.name) + ", where a run that was stopped left it");
                else if (to->MoveHere(*tmp, entry.name, name))
                    Tell(ETreeEvent::NOTICE, to->PathOf(name),
                         "put in place from " + tmp->PathOf(entry.name) + ", where a run that was stopped left it");
                else
                    Tell(ETreeEvent::WARNING, tmp->PathOf(entry.name),
                         "cannot put this message of a run that was stopped in place as " + to->PathOf(name),
                         GetLastError());
                continue;
            }
        }
        if (m_options.check || tmp->DeleteEntry(entry.name))
            ++deleted;
        else if (!IsGone(GetLastError()))
            Tell(ETreeEvent::WARNING, tmp->PathOf(entry.name),
                 "cannot delete this file left by a run that was stopped", GetLastError());
    }
    if (deleted > 0)
        Tell(m_options.check ? ETreeEvent::WOULD : ETreeEvent::NOTICE, tmp->Path(),
             (m_options.check ? "would delete " : "deleted ") + std::to_string(deleted) +
                 " temporary files left by a run that was stopped");
}

// One of our temporary files beside .emlx files, left by a run that was stopped: as in
// TidyMaildir.
void CTreeWalk::TidyBeside(const PDirectory &dir, const std::string &name)
{
    std::string forName;
    (void)IsOurTemporary(name.substr(1), &forName);
    if (m_options.check) {
        bool moved = !forName.empty() && !dir->RenamesAtomically() && !dir->Holds(forName);
        Tell(ETreeEvent::WOULD, dir->PathOf(moved ? forName : name),
             moved ? "would be put in place from " + name + ", where a run that was stopped left it"
                   : "would be deleted: a temporary file left by a run that was stopped");
        return;
    }
    if (!forName.empty() && !dir->RenamesAtomically() && !dir->Holds(forName)) {
        if (dir->MoveHere(*dir, name, forName))
            Tell(ETreeEvent::NOTICE, dir->PathOf(forName),
                 "put in place from " + name + ", where a run that was stopped left it");
        else
            Tell(ETreeEvent::WARNING, dir->PathOf(name),
                 "cannot put this file of a run that was stopped in place as " + forName, GetLastError());
        return;
    }
    if (dir->DeleteEntry(name))
        Tell(ETreeEvent::NOTICE, dir->PathOf(name), "deleted: a temporary file left by a run that was stopped");
    else if (!IsGone(GetLastError()))
        Tell(ETreeEvent::WARNING, dir->PathOf(name), "cannot delete this file left by a run that was stopped",
             GetLastError());
}

void CTreeWalk::WalkEntry(const PDirectory &dir, const SEntry &entry)
{
    std::string path = dir->PathOf(entry.name);
    switch (entry.kind) {
    case ENTRY_DIRECTORY: {
        PDirectory sub(dir->OpenSub(entry.name).release());
        if (sub != nullptr)
            WalkDirectory(sub);
        else if (GetLastError() == ERROR_NOT_THE_WALKED_FILE)
            Fail(path, SWAPPED);
        else
            Fail(path, "cannot open the directory", GetLastError());
        return;
    }
    case ENTRY_LINK:
        Tell(ETreeEvent::NOTICE, path,
             entry.linkToDirectory ? "not followed: a symbolic link to a directory" : "not followed: a symbolic link");
        Skip("symbolic link");
        return;
    case ENTRY_SPECIAL:
        Tell(ETreeEvent::NOTICE, path, "skipped: a special file (a device, a pipe or a socket)");
        Skip("special file");
        return;
    case ENTRY_UNSPELLED:
        Tell(ETreeEvent::WARNING, path, "skipped: its name cannot be spelled in this program's code page");
        Skip("name not spelled");
        return;
    case ENTRY_FILE:
        break;
    }
    // The summaries go with their folders; our own files of a run that was stopped go.
    if (EndsWithNoCase(entry.name, ".msf") || EndsWithNoCase(entry.name, ".snm"))
        return;
    if (entry.name[0] == '.' && IsOurTemporary(entry.name.substr(1))) {
        if (m_convert && !IsOfRunningProcess(entry.name.substr(1)))
            TidyBeside(dir, entry.name);
        return;
    }
    if (!Count(entry.size))
        return;
    if (EndsWithNoCase(entry.name, ".emlx"))
        ConvertEmlx(dir, entry.name, &entry.id);
    else
        ConvertFile(dir, entry.name, &entry.id);
    Done(entry.size);
}

HANDLE CTreeWalk::OpenFound(const CHeldDirectory &dir, const std::string &name, const SFileIdentity *id)
{
    if (m_options.progress != nullptr)
        m_options.progress->StartFile(dir.PathOf(name));
    // What the tidying that a check tells of would have deleted is gone for the run.
    if (std::find(m_wouldGo.begin(), m_wouldGo.end(), dir.PathOf(name)) != m_wouldGo.end()) {
        Skip("gone since the walk");
        return INVALID_HANDLE_VALUE;
    }
    HANDLE held = dir.OpenEntry(name, false, id);
    if (held != INVALID_HANDLE_VALUE)
        return held;
    DWORD error = GetLastError();
    if (error == ERROR_NOT_THE_WALKED_FILE)
        Fail(dir.PathOf(name), SWAPPED);
    else if (IsGone(error))
        Skip("gone since the walk");
    else
        Fail(dir.PathOf(name), "cannot read", error);
    return INVALID_HANDLE_VALUE;
}

void CTreeWalk::ConvertFile(const PDirectory &dir, const std::string &name, const SFileIdentity *id)
{
    std::string path = dir->PathOf(name);
    HANDLE held = OpenFound(*dir, name, id);
    if (held == INVALID_HANDLE_VALUE)
        return;
    FILE *in = OpenHandleStream(held, "rb");
    DWORD error = GetLastError();
    SFileIdentity found = {};
    bool identified = GetFileIdentity(held, &found);
    CloseHandle(held);
    if (in == nullptr) {
        Fail(path, "cannot read", error);
        return;
    }
    // What its first line is: a "From " line, a header field, or neither.
    char head[MAX_FIELD_NAME + 2];
    std::size_t n = std::fread(head, 1, sizeof head, in);
    std::string_view start(head, n);
    bool mail = start.compare(0, 5, "From ") == 0 || StartsWithField(start);
    if (!mail || std::ferror(in)) {
        bool failed = std::ferror(in) != 0;
        error = GetLastError();
        std::fclose(in);
        if (failed)
            Fail(path, "cannot read", error);
        else
            Skip(n == 0 ? "empty" : "not mail");
        return;
    }
    // Its mails counted, and whether there is anything to change, as a mail reader reads it;
    // for a check, with what --check tells of it, whose reader counts them alike.
    std::rewind(in);
    CWorkSniffer sniffer;
    auto look = std::make_shared<SFolderLook>();
    long mails = 0;
    bool failed;
    if (m_options.check) {
        failed = !LookAtFolder(in, *look, m_options.convert != ConvertStream, [&sniffer](std::string_view bytes) { sniffer.Scan(bytes); });
        mails = look->counts.mails;
    } else {
        CFolderReader reader(in);
        reader.Observe([&sniffer](std::string_view bytes) { sniffer.Scan(bytes); });
        while (reader.NextPiece()) {
            mails += reader.IsMail() ? 1 : 0;
            std::string_view run;
            bool lineStart;
            while (reader.NextLines(run, false) || reader.NextRun(run, lineStart)) {
            }
        }
        failed = reader.Failed();
    }
    error = GetLastError();
    std::fclose(in);
    if (failed) {
        Fail(path, "cannot read", error);
        return;
    }
    m_report.mails += mails;
    if (m_options.check) {
        CheckFile(dir, name, identified ? &found : nullptr, sniffer.Found(), look);
        return;
    }
    // A folder named as Windows names a device ("Con") is the job's by its exact path.
    const std::string jobPath = IsDeviceName(path.c_str()) ? dir->ExactPathOf(name) : path;
    SJobResult pending;
    if (!sniffer.Found() && FindPendingJob(jobPath.c_str(), &pending) == PENDING_NONE) {
        // Unless a conversion of it was interrupted, there is nothing to do but remove what
        // a job stopped at its end left: its lock file, its files in the state directory.
        ++m_report.unchanged;
        auto tidied = std::make_shared<SJobResult>();
        if (!TidyStoppedJob(jobPath.c_str(), tidied.get()) || tidied->strayOld[0] != '\0')
            m_report.events.push_back({ETreeEvent::FOLDER_DONE, path, "", 0, tidied});
        return;
    }
    auto result = std::make_shared<SJobResult>();
    bool hadSummary = dir->Holds(name + ".snm");
    bool converted = ConvertFolderInPlace(jobPath.c_str(), m_options.convert, result.get(), identified ? &found : nullptr);
    error = GetLastError();
    if (!converted) {
        m_report.failed.push_back(path);
        m_report.events.push_back({ETreeEvent::FOLDER_FAILED, path, "", error, result});
        return;
    }
    if (result->leftBehind[0] != '\0' || result->completedInterrupted || result->keptOld[0] != '\0' ||
        result->lockFileLeft[0] != '\0' || result->strayOld[0] != '\0')
        m_report.events.push_back({ETreeEvent::FOLDER_DONE, path, "", 0, result});
    if (!result->rewritten) {
        ++m_report.unchanged;
        return;
    }
    ++m_report.converted;
    // The job deletes the summary FILE.snm, where it can (cppcheck takes the second look for
    // the first, as though the job had not run between them).
    // cppcheck-suppress [incorrectLogicOperator, oppositeExpression]
    if (hadSummary && !dir->Holds(name + ".snm"))
        ++m_report.summariesDeleted;
    // Its mail program rebuilds the summary of a folder that changed: Thunderbird's beside
    // it, and the cache of Dovecot's index where Dovecot keeps it by default.
    if (dir->DeleteEntry(name + ".msf"))
        ++m_report.summariesDeleted;
    else if (!IsGone(GetLastError()))
        Tell(ETreeEvent::WARNING, path + ".msf", "cannot delete the summary file", GetLastError());
    std::unique_ptr<CHeldDirectory> imap = dir->OpenSub(".imap"), index;
    if (imap != nullptr && (index = imap->OpenSub(DovecotIndexName(name))) != nullptr) {
        if (index->DeleteEntry(DOVECOT_CACHE))
            ++m_report.cachesDeleted;
        else if (!IsGone(GetLastError()))
            Tell(ETreeEvent::WARNING, index->PathOf(DOVECOT_CACHE), "cannot delete the mail server's cache of it",
                 GetLastError());
    }
}

void CTreeWalk::CheckFile(const PDirectory &dir, const std::string &name, const SFileIdentity *id, bool mayChange,
                          const std::shared_ptr<const SFolderLook> &look)
{
    std::string path = dir->PathOf(name);
    auto pending = std::make_shared<SJobResult>();
    EPendingJob state = FindPendingJob(path.c_str(), pending.get());
    DWORD error = GetLastError();
    if (state == PENDING_UNKNOWN) {
        // The run goes on as though there were none, and its job meets the same trouble.
        Tell(ETreeEvent::WARNING, path, "cannot tell whether a conversion of it was interrupted", error);
        state = PENDING_NONE;
    }
    if (state != PENDING_NONE) {
        STreeEvent event{ETreeEvent::WOULD, path, "", error, pending};
        event.pending = state;
        m_report.events.push_back(event);
        if (state == PENDING_REFUSED) {
            m_report.failed.push_back(path);
            return;
        }
    } else if (!mayChange) {
        ++m_report.unchanged;
        TellStoppedJob(path, false);
        return;
    } else {
        HANDLE held = dir->OpenEntry(name, false, id);
        SMeasured measured;
        if (held == INVALID_HANDLE_VALUE) {
            Fail(path, "cannot read", GetLastError());
            return;
        }
        bool measuredOk = Measure(*dir, name, id, held, 0, ~std::uint64_t{0}, measured);
        CloseHandle(held);
        if (!measuredOk)
            return;
        if (!measured.changed) {
            ++m_report.unchanged;
            return;
        }
        STreeEvent event{ETreeEvent::WOULD, path, "would be converted", 0, nullptr};
        event.look = look;
        m_report.events.push_back(event);
        TellStoppedJob(path, true);
    }
    ++m_report.converted;
    for (const char *summary : {".msf", ".snm"}) {
        if (dir->Holds(name + summary)) {
            Tell(ETreeEvent::WOULD, path + summary, "would be deleted: the summary of a folder that changes");
            ++m_report.summariesDeleted;
        }
    }
    std::unique_ptr<CHeldDirectory> imap = dir->OpenSub(".imap"), index;
    if (imap != nullptr && (index = imap->OpenSub(DovecotIndexName(name))) != nullptr && index->Holds(DOVECOT_CACHE)) {
        Tell(ETreeEvent::WOULD, index->PathOf(DOVECOT_CACHE), "would be deleted: the mail server's cache of " + path);
        ++m_report.cachesDeleted;
    }
}

void CTreeWalk::TellStoppedJob(const std::string &path, bool converts)
{
    bool staleLock, jobFiles;
    FindStoppedJob(path.c_str(), converts, &staleLock, &jobFiles);
    if (staleLock) {
        Tell(ETreeEvent::WOULD, path + ".lock",
             "would be deleted: a stale lock file (of a program that has ended, or old)");
        m_wouldGo.push_back(path + ".lock");
    }
    if (jobFiles)
        Tell(ETreeEvent::WOULD, path,
             "the files that a conversion of it stopped at its end left in the state directory would be deleted");
}

bool CTreeWalk::Measure(const CHeldDirectory &dir, const std::string &name, const SFileIdentity *id, HANDLE held,
                        std::uint64_t at, std::uint64_t n, SMeasured &measured)
{
    HANDLE original = dir.OpenEntry(name, false, id);
    bool ok = original != INVALID_HANDLE_VALUE && MeasureConversion(m_options.convert, held, original, at, n, measured);
    DWORD error = GetLastError();
    if (original != INVALID_HANDLE_VALUE)
        CloseHandle(original);
    if (!ok)
        Fail(dir.PathOf(name), "cannot convert", error);
    return ok;
}

void CTreeWalk::WouldReplace(const std::string &path, std::int64_t change, const PDirectory &quota, bool renamed,
                             std::uint64_t size)
{
    m_would.push_back({path, true, false, "", 0, change, quota, renamed});
    m_wouldBytes += size;
}

bool CTreeWalk::ConvertInto(HANDLE from, const CHeldDirectory &dir, const std::string &forName, bool hidden,
                            const std::string &path, HANDLE &made, std::string &name)
{
    name = (hidden ? "." : "") + NewTemporaryName(forName);
    made = dir.CreateEntry(name);
    if (made == INVALID_HANDLE_VALUE) {
        Fail(path, "cannot create a temporary file " + dir.PathOf(name), GetLastError());
        return false;
    }
    FILE *in = Seek(from, 0) ? OpenHandleStream(from, "rb") : nullptr;
    FILE *out = in != nullptr ? OpenHandleStream(made, "wb") : nullptr;
    bool ok = out != nullptr && ConvertGuarded(m_options.convert, in, out) != 0;
    DWORD error = GetLastError();
    if (out != nullptr && std::fclose(out) != 0 && ok) {
        ok = false;
        error = GetLastError();
    }
    if (in != nullptr)
        std::fclose(in);
    bool same = ok && SameBytes(from, made);
    if (!ok || same) {
        CloseHandle(made);
        dir.DeleteEntry(name);
        if (same)
            ++m_report.unchanged;
        else
            Fail(path, "cannot convert", error);
        return false;
    }
    KeepFileMetadata(from, made);
    return true;
}

void CTreeWalk::ConvertMessage(const PDirectory &sub, const SEntry &entry, const PDirectory &tmp,
                               const std::string &kind, const PDirectory &quota)
{
    std::string path = sub->PathOf(entry.name);
    ++m_report.mails;
    HANDLE held = OpenFound(*sub, entry.name, &entry.id);
    if (held == INVALID_HANDLE_VALUE)
        return;
    CWorkSniffer sniffer;
    SMeasured measured;
    if (!SniffRange(held, 0, ~std::uint64_t{0}, sniffer)) {
        Fail(path, "cannot read", GetLastError());
    } else if (!sniffer.Found()) {
        ++m_report.unchanged;
    } else if (m_options.check) {
        if (!Measure(*sub, entry.name, &entry.id, held, 0, ~std::uint64_t{0}, measured)) {
        } else if (!measured.changed) {
            ++m_report.unchanged;
        } else {
            // Its new unique part is made only when it is written: a star stands for it.
            Tell(ETreeEvent::WOULD, path,
                 "would be converted, " + std::to_string(entry.size) + " bytes to " + std::to_string(measured.size) +
                     ", and renamed " + JoinPath(kind, NewMessageName(entry.name, "*", measured.size, measured.crlfSize)) +
                     " (* a new unique name)");
            WouldReplace(path, static_cast<std::int64_t>(measured.size) - static_cast<std::int64_t>(entry.size), quota,
                         true, measured.size);
        }
    } else {
        HANDLE made;
        std::string name;
        std::uint64_t size = 0, crlfSize = 0;
        if (ConvertInto(held, *tmp, MessageReference(kind, entry.name), false, path, made, name)) {
            if (!Sizes(made, size, crlfSize)) {
                Fail(path, "cannot read " + tmp->PathOf(name), GetLastError());
                CloseHandle(made);
                tmp->DeleteEntry(name);
            } else {
                // A new name, for a server that knows a message by its name and size.
                std::string renamed = NewMessageName(entry.name, name, size, crlfSize);
                auto change = static_cast<std::int64_t>(size) - static_cast<std::int64_t>(entry.size);
                m_batch.Add({made, tmp, name, sub, renamed, entry.name, change, quota}, size);
            }
        }
    }
    CloseHandle(held);
    if (BatchFull())
        FlushBatch();
}

void CTreeWalk::ConvertEmlx(const PDirectory &dir, const std::string &name, const SFileIdentity *id)
{
    std::string path = dir->PathOf(name);
    HANDLE held = OpenFound(*dir, name, id);
    if (held == INVALID_HANDLE_VALUE)
        return;
    // A handle for each temporary file made, closed and deleted at the end but the last.
    struct STemporary {
        HANDLE handle = INVALID_HANDLE_VALUE;
        std::string name;
    } message, converted;
    auto done = [&]() {
        CloseHandle(held);
        for (STemporary *t : {&message, &converted}) {
            if (t->handle != INVALID_HANDLE_VALUE) {
                CloseHandle(t->handle);
                dir->DeleteEntry(t->name);
            }
        }
    };
    char headBytes[EMLX_HEAD_BYTES];
    long long n = ReadSome(held, headBytes, sizeof headBytes);
    SFileIdentity size;
    if (n < 0 || !GetFileIdentity(held, &size)) {
        Fail(path, "cannot read", GetLastError());
        done();
        return;
    }
    std::string_view head(headBytes, static_cast<std::size_t>(n));
    SEmlxLayout layout;
    if (!ReadEmlxLayout(head, layout)) {
        Tell(ETreeEvent::WARNING, path, "skipped: no byte count on its first line, as an .emlx file has");
        Skip("not an .emlx");
        done();
        return;
    }
    std::uint64_t room = size.size - layout.messageStart;
    if (layout.count > room) {
        Tell(ETreeEvent::WARNING, path,
             "skipped: its byte count, " + std::to_string(layout.count) + ", runs past its end (a message of " +
                 std::to_string(room) + " bytes at most)");
        Skip("byte count past the end");
        done();
        return;
    }
    ++m_report.mails;
    std::uint64_t end = layout.messageStart + layout.count;
    char after[64];
    long long tail = Seek(held, end) ? ReadSome(held, after, sizeof after) : -1;
    if (tail >= 0 && !StartsPropertyList(std::string_view(after, static_cast<std::size_t>(tail))))
        Tell(ETreeEvent::WARNING, path,
             "its byte count, " + std::to_string(layout.count) +
                 ", does not end where its property list starts: the message is converted as the count says");
    CWorkSniffer sniffer;
    if (!SniffRange(held, layout.messageStart, layout.count, sniffer)) {
        Fail(path, "cannot read", GetLastError());
        done();
        return;
    }
    if (!sniffer.Found()) {
        ++m_report.unchanged;
        done();
        return;
    }
    if (m_options.check) {
        SMeasured measured;
        if (!Measure(*dir, name, id, held, layout.messageStart, layout.count, measured)) {
        } else if (!measured.changed) {
            ++m_report.unchanged;
        } else {
            Tell(ETreeEvent::WOULD, path,
                 "would be converted, its message of " + std::to_string(layout.count) + " bytes to " +
                     std::to_string(measured.size) + ", and the count on its first line with it");
            WouldReplace(path, 0, nullptr, false, size.size - layout.count + measured.size);
        }
        done();
        if (BatchFull())
            FlushBatch();
        return;
    }
    // The message alone, converted, then the file anew: its count, the converted message
    // and what followed the message, as it was.  Each beside it, under a name that starts
    // with a dot, which Apple Mail passes over.
    message.name = "." + NewTemporaryName("");
    message.handle = dir->CreateEntry(message.name);
    if (message.handle == INVALID_HANDLE_VALUE ||
        !CopyRange(held, layout.messageStart, layout.count, message.handle)) {
        Fail(path, "cannot write " + dir->PathOf(message.name), GetLastError());
        done();
        return;
    }
    std::string convertedName;
    HANDLE made;
    if (!ConvertInto(message.handle, *dir, "", true, path, made, convertedName)) {
        done();
        return;
    }
    converted = {made, convertedName};
    SFileIdentity convertedSize;
    std::string whole = "." + NewTemporaryName(name);
    HANDLE file = dir->CreateEntry(whole);
    bool ok = file != INVALID_HANDLE_VALUE && GetFileIdentity(made, &convertedSize);
    if (ok) {
        std::string line = EmlxCountLine(head, layout, convertedSize.size);
        DWORD written = 0;
        ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
             CopyRange(made, 0, ~std::uint64_t{0}, file) && CopyRange(held, end, ~std::uint64_t{0}, file);
    }
    DWORD error = GetLastError();
    if (!ok) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            dir->DeleteEntry(whole);
        }
        Fail(path, "cannot write " + dir->PathOf(whole), error);
        done();
        return;
    }
    KeepFileMetadata(held, file);
    SFileIdentity wholeSize;
    m_batch.Add({file, dir, whole, dir, name, "", 0, nullptr}, GetFileIdentity(file, &wholeSize) ? wholeSize.size : 0);
    done();
    if (BatchFull())
        FlushBatch();
}

PDirectory CTreeWalk::QuotaOf(const PDirectory &dir, const std::vector<SEntry> &entries)
{
    if (std::any_of(entries.begin(), entries.end(), [](const SEntry &e) { return e.name == "maildirsize"; }))
        return dir;
    if (BaseNameOf(dir->Path())[0] != '.' || m_parents.size() < 2)
        return nullptr;
    const PDirectory &above = m_parents[m_parents.size() - 2];
    return above->Holds("maildirsize") ? above : nullptr;
}

void CTreeWalk::FlushBatchLocked(const PDirectory &dir)
{
    const char LOCK[] = "dovecot-uidlist.lock";
    if (m_options.check) {
        // The run would wait ten seconds for a lock held now, and fail unless it were let go.
        if (dir->Holds(LOCK)) {
            m_report.failed.push_back(dir->Path());
            m_report.events.push_back({ETreeEvent::FAILED, dir->PathOf(LOCK),
                                       "would not be converted: the mail server holds this lock (stop it, or run "
                                       "again)",
                                       0, nullptr});
            m_would.clear();
            m_wouldBytes = 0;
            return;
        }
        if (!m_would.empty())
            Tell(ETreeEvent::WOULD, dir->PathOf("dovecot-uidlist"),
                 std::string("would be locked (") + LOCK + ") while the messages are renamed");
        FlushBatch();
        return;
    }
    HANDLE lock = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 100 && (lock = dir->CreateEntry(LOCK)) == INVALID_HANDLE_VALUE &&
                    GetLastError() == ERROR_FILE_EXISTS;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (lock == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        m_report.failed.push_back(dir->Path());
        m_report.events.push_back({ETreeEvent::FAILED, dir->PathOf(LOCK),
                                   error == ERROR_FILE_EXISTS
                                       ? "not converted: the mail server holds this lock (stop it, or run again)"
                                       : "not converted: cannot take the mail server's lock",
                                   error == ERROR_FILE_EXISTS ? 0 : error, nullptr});
        m_batch.Discard();
        return;
    }
    CloseHandle(lock);
    FlushBatch();
    if (!dir->DeleteEntry(LOCK))
        Tell(ETreeEvent::WARNING, dir->PathOf(LOCK), "cannot delete the mail server's lock that we took",
             GetLastError());
}

void CTreeWalk::CountQuota(const std::vector<SReplaced> &done)
{
    std::vector<std::pair<PDirectory, std::int64_t>> changes;
    for (const SReplaced &file : done) {
        if (!file.replaced || file.quota == nullptr || file.change == 0)
            continue;
        auto at = std::find_if(changes.begin(), changes.end(), [&file](const auto &c) { return c.first == file.quota; });
        if (at == changes.end())
            changes.emplace_back(file.quota, file.change);
        else
            at->second += file.change;
    }
    // As the maildir quota rules have it: a line of the bytes and messages added, at the
    // end; the first line, the quota itself, stays.
    for (const auto &change : changes) {
        std::string line = std::to_string(change.second) + " 0\n";
        if (m_options.check) {
            Tell(ETreeEvent::WOULD, change.first->PathOf("maildirsize"),
                 "would have a line appended: \"" + line.substr(0, line.size() - 1) + "\" (the change of bytes and of "
                 "messages)");
            ++m_report.quotaLines;
            continue;
        }
        HANDLE file = change.first->OpenEntry("maildirsize", true, nullptr);
        SFileIdentity end;
        DWORD written = 0;
        bool ok = file != INVALID_HANDLE_VALUE && GetFileIdentity(file, &end) && Seek(file, end.size) &&
                  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        if (ok)
            ++m_report.quotaLines;
        else
            Tell(ETreeEvent::WARNING, change.first->PathOf("maildirsize"),
                 "cannot count the new sizes in the quota file (delete it for the server to count again)",
                 GetLastError());
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
}

void CTreeWalk::FlushBatch()
{
    std::vector<std::pair<std::string, DWORD>> unflushed;
    // A check replaces nothing: what it would replace is taken as replaced.
    std::vector<SReplaced> done = m_options.check ? std::move(m_would) : m_batch.Flush(unflushed);
    m_would.clear();
    m_wouldBytes = 0;
    CountQuota(done);
    for (const SReplaced &file : done) {
        if (file.replaced) {
            ++m_report.converted;
            m_report.renamed += file.renamed ? 1 : 0;
        } else if (file.gone) {
            Fail(file.target, "not converted: renamed or deleted since it was read (by a mail program?); run again "
                              "to convert it under its new name");
        } else {
            Fail(file.target, file.what, file.error);
        }
    }
    for (const auto &dir : unflushed)
        Tell(ETreeEvent::WARNING, dir.first, "cannot flush the directory", dir.second);
}

// Where path, a directory the user named, lies within a profile that a running mail program
// holds, or within ImapMail/, told; false otherwise.
bool WithinRefusedTree(CTreeWalk &walk, const std::string &path)
{
    char resolved[PATH_SIZE];
    if (!ResolvePath(path.c_str(), resolved))
        return false;
    std::string at = resolved;
    for (;;) {
        std::size_t sep = at.find_last_of(PATH_SEPARATOR == '/' ? "/" : "\\/");
        if (sep == std::string::npos || sep == 0 || (sep == 2 && at[1] == ':'))
            return false;
        at.resize(sep);
        if (IsNamed(BaseNameOf(at), "imapmail")) {
            walk.Tell(ETreeEvent::NOTICE, path, std::string("within ") + at + ": " + IMAP_REASON);
            return true;
        }
        // Where there is no lock, the answer costs a look or two at the disk.
        std::string detail;
        if (ProfileLockState(at, detail) == EProfileLock::HELD) {
            std::string what = "not converted: a running mail program holds the profile ";
            what += at;
            what += " (";
            what += detail;
            what += "); close Thunderbird first";
            walk.Fail(path, what);
            return true;
        }
    }
}

}  // namespace

bool ConvertTrees(const std::vector<std::string> &paths, const STreeOptions &options, STreeReport &report)
{
    std::vector<std::string> tops;
    for (std::string path : paths) {
        // "DIR/" is DIR, but "/" and "C:\" stay.
        while (path.size() > 1 && IsPathSeparator(path.back()) && !(path.size() == 3 && path[1] == ':'))
            path.pop_back();
        tops.push_back(path);
    }
    report.walked = true;
    report.checked = options.check;
    CTreeWalk measure(options, report);
    for (const std::string &path : tops)
        measure.Walk(path, false);
    if (options.progress != nullptr)
        options.progress->StartTree(measure.Files(), measure.Bytes());
    CTreeWalk walk(options, report);
    for (const std::string &path : tops) {
        if (!WithinRefusedTree(walk, path))
            walk.Walk(path, true);
    }
    walk.Finish();
    if (options.progress != nullptr)
        options.progress->FinishTree();
    return report.failed.empty();
}

bool ConvertProfile(const std::string &dir, const STreeOptions &options, STreeReport &report)
{
    auto fail = [&report](const std::string &path, const std::string &what, DWORD error) {
        report.events.push_back({ETreeEvent::FAILED, path, what, error, nullptr});
        report.failed.push_back(path);
        return false;
    };
    std::string profile = dir, why;
    if (profile.empty() && !FindDefaultProfile(profile, why))
        return fail("", "cannot find the default profile: " + why, 0);
    if (!IsDirectoryPath(profile))
        return fail(profile, "cannot convert the profile: not a directory, or not there", 0);
    std::string detail;
    switch (ProfileLockState(profile, detail)) {
    case EProfileLock::FREE:
        break;
    case EProfileLock::HELD:
        return fail(profile, "a running mail program holds this profile (" + detail + "): close Thunderbird first", 0);
    case EProfileLock::UNKNOWN:
        report.events.push_back({ETreeEvent::WARNING, profile,
                                 "cannot tell whether a mail program holds this profile: " + detail, 0, nullptr});
        break;
    }
    std::string imap = JoinPath(profile, "ImapMail");
    if (IsDirectoryPath(imap))
        report.events.push_back({ETreeEvent::NOTICE, imap, IMAP_REASON, 0, nullptr});
    std::string mail = JoinPath(profile, "Mail");
    if (!IsDirectoryPath(mail))
        return fail(profile, "no Mail directory: a profile with no local folders", 0);
    return ConvertTrees({mail}, options, report);
}

bool MayConvertFolder(const std::string &path, std::string &why, std::string &warning)
{
    std::string profile = ProfileHolding(path), detail;
    if (profile.empty())
        return true;
    switch (ProfileLockState(profile, detail)) {
    case EProfileLock::FREE:
        return true;
    case EProfileLock::HELD:
        why = "a running mail program holds the profile " + profile + " that it lies in (" + detail +
              "); close Thunderbird first";
        return false;
    case EProfileLock::UNKNOWN:
        break;
    }
    warning = "cannot tell whether a mail program holds the profile " + profile + ": " + detail;
    return true;
}

bool DeleteFolderSummaries(const std::string &path)
{
    std::string summary = path + ".msf";
    bool ok = DeleteFileA(summary.c_str()) || IsGone(GetLastError());
    DWORD error = GetLastError();
    std::string cache =
        JoinPath(JoinPath(JoinPath(DirectoryOf(path), ".imap"), DovecotIndexName(BaseNameOf(path))), DOVECOT_CACHE);
    if (!DeleteFileA(cache.c_str()) && !IsGone(GetLastError()))
        return false;
    SetLastError(error);
    return ok;
}
