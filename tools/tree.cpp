// Converts trees of mail: mbox folders, files of one mail, maildirs and Apple Mail's .emlx
// files under a directory, and a Thunderbird profile's Mail/ tree.
#include "tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <numeric>
#include <random>
#include <string_view>

#include "common.h"
#include "convert.h"
#include "iso2022kr.h"
#include "mail.h"
#include "platform.h"
#include "profile.h"
#include "progress.h"

namespace {

#ifdef _WIN32
const char SEPARATOR = '\\';
const char SEPARATORS[] = "\\/";
#else
const char SEPARATOR = '/';
const char SEPARATORS[] = "/";
#endif
// What marks our temporary files among others, after the unique part of their names.
const char MARK[] = "_quorvel";
// A batch of rewritten messages flushed together: so many files, or so many bytes.
const std::size_t BATCH_FILES = 256;
const std::uint64_t BATCH_BYTES = std::uint64_t{64} << 20;
// Why ImapMail/ is left alone, in words.
const char IMAP_REASON[] =
    "left alone: offline copies of server mail, a cache that the mail program throws away or keeps out of step "
    "with the server";

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

std::string Join(const std::string &dir, const std::string &name)
{
    if (!dir.empty() && std::strchr(SEPARATORS, dir.back()) != nullptr)
        return dir + name;
    return dir + SEPARATOR + name;
}

// The last name of path, separators at its end aside.
std::string BaseName(std::string path)
{
    while (path.size() > 1 && std::strchr(SEPARATORS, path.back()) != nullptr)
        path.pop_back();
    std::size_t sep = path.find_last_of(SEPARATORS);
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

// True when text may hold something to convert: ISO-2022-KR's ESC or SO, or a label naming
// it.  False means that the conversion leaves every byte as it is, its line ends aside,
// which a file that needs nothing else keeps too.  Fed in pieces of any size.
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
        // The names are "iso-2022-kr" and "csiso2022kr": both hold "2022", which has no
        // case.  A name cut by the piece's start is looked for where the two pieces meet.
        std::size_t head = std::min(bytes.size(), TAIL);
        m_found = Names(m_tail + std::string(bytes.substr(0, head))) || Names(bytes);
        std::string joined = m_tail + std::string(bytes.substr(bytes.size() - head));
        m_tail = joined.substr(joined.size() - std::min(joined.size(), TAIL));
    }
    bool Found() const { return m_found; }

private:
    static bool Names(std::string_view text)
    {
        for (std::size_t at = text.find("2022"); at != std::string_view::npos; at = text.find("2022", at + 1)) {
            if ((at >= 4 && at + 7 <= text.size() && NamesIso2022Kr(text.data() + at - 4, 11)) ||
                (at >= 5 && at + 6 <= text.size() && NamesIso2022Kr(text.data() + at - 5, 11)))
                return true;
        }
        return false;
    }

    static const std::size_t TAIL = 10;  // a name's length less one
    std::string m_tail;                  // the last bytes of the piece before
    bool m_found = false;
};

bool MayNeedWork(std::string_view text)
{
    CWorkSniffer sniffer;
    sniffer.Scan(text);
    return sniffer.Found();
}

// text converted as a file of its own would be, into converted: relabelled, or with
// keepLabels the bytes only.  False for want of memory.
bool ConvertText(const std::string &text, bool keepLabels, std::string &converted)
{
    try {
        ResetDecoder();
        if (keepLabels) {
            std::size_t room = std::strlen(PLATFORM_LINE_END) * text.size() + 4;
            converted.resize(room);
            converted.resize(ConvertBuffer(text.data(), text.size(), &converted[0]));
        } else {
            long labels = 0;
            converted = RelabelMail(text, &labels);
        }
        return true;
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

// A new name for a temporary file of ours, in maildir's pattern time.unique.host, our mark
// ending its unique part: a reader of the maildir takes it for a delivery under way.
std::string NewTemporaryName()
{
    static std::mt19937 random{std::random_device{}()};
    static unsigned long next = 0;
    static std::string host;
    if (host.empty()) {
        char name[256];
        DWORD size = sizeof name;
        host = GetComputerNameA(name, &size) ? name : "localhost";
        // As maildir writes them: "/" and ":" in octal, for they cannot stand in the name.
        std::string safe;
        for (char c : host)
            safe += c == '/' ? "\\057" : c == ':' ? "\\072" : std::string(1, c);
        host = safe;
    }
    auto now = std::chrono::system_clock::now().time_since_epoch();
    long long micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    char unique[96];
    std::snprintf(unique, sizeof unique, "%lld.M%06lldR%08lxQ%lu%s.", micros / 1000000, micros % 1000000,
                  static_cast<unsigned long>(random()), ++next, MARK);
    return unique + host;
}

// True when name is one of ours (NewTemporaryName): its second part ends with our mark.
bool IsOurTemporary(const std::string &name)
{
    std::size_t first = name.find('.');
    std::size_t second = first == std::string::npos ? std::string::npos : name.find('.', first + 1);
    std::size_t n = std::strlen(MARK);
    return second != std::string::npos && second - first > n && name.compare(second - n, n, MARK) == 0;
}

// Gives the new file that to writes the owner, group, permissions and modification time of
// the file at original, where the system lets us: maildir readers take a message's time for
// when it came.  Natively through the descriptor.
void KeepOwnerModeAndTime(FILE *to, const std::string &temp, const std::string &original)
{
    struct stat st;
    if (stat(original.c_str(), &st) != 0)
        return;
    TakeOwnerAndMode(to, temp, st, 07777);
    std::error_code ignored;
    auto when = std::filesystem::last_write_time(std::filesystem::u8path(original), ignored);
    if (!ignored)
        std::filesystem::last_write_time(std::filesystem::u8path(temp), when, ignored);
}

// One entry of a directory, kept past the call that told of it.
struct SEntry {
    std::string name;
    EEntryKind kind;
    std::uint64_t size;
    bool linkToDirectory;
};

void KeepEntry(const SDirectoryEntry &entry, void *context)
{
    static_cast<std::vector<SEntry> *>(context)->push_back(
        {entry.name, entry.kind, entry.size, entry.linkToDirectory});
}

// What the walk found to do, in the order it is done.
enum EItemKind {
    ITEM_FILE,      // a folder, a file of one mail, or neither: its first line tells
    ITEM_MESSAGE,   // a message in a maildir's cur/ or new/
    ITEM_EMLX,      // an Apple Mail message
    ITEM_LEFTOVER,  // a temporary file of ours left by a run that was stopped
};

struct SItem {
    std::string path;
    EItemKind kind;
    std::uint64_t size;
    std::string tmp;  // an ITEM_MESSAGE's maildir's tmp/
};

// A new file written in full, waiting to be flushed and renamed over the one it replaces.
struct SPendingWrite {
    std::string temp, target;
    HANDLE held;
};

class CTreeWalk {
public:
    explicit CTreeWalk(const STreeJob &job) : m_job(job) {}

    // Adds what is to be done under path to the walk, changing nothing.  top: path is one
    // the user named, whose links are followed.
    void Measure(const std::string &path, bool top);
    // Does it all, then tells the summary.  True when nothing failed.
    bool Convert();

    void Failure(const std::string &path, const std::string &what, const std::string &reason = "")
    {
        Tell(path, what, reason);
        m_failed.push_back(path);
    }
    void Notice(const std::string &path, const std::string &what)
    {
        if (!m_job.quiet)
            Tell(path, what, "");
    }

private:
    void Tell(const std::string &path, const std::string &what, const std::string &reason)
    {
        if (reason.empty())
            std::fprintf(m_job.err, "%s: %s: %s\n", PROGRAM, path.c_str(), what.c_str());
        else
            std::fprintf(m_job.err, "%s: %s: %s: %s\n", PROGRAM, path.c_str(), what.c_str(), reason.c_str());
    }
    void Skip(const std::string &why, long n = 1)
    {
        auto reason = std::find_if(m_skipped.begin(), m_skipped.end(),
                                   [&why](const std::pair<std::string, long> &r) { return r.first == why; });
        if (reason != m_skipped.end())
            reason->second += n;
        else
            m_skipped.emplace_back(why, n);
    }
    void Add(const std::string &path, EItemKind kind, std::uint64_t size, const std::string &tmp = "")
    {
        m_items.push_back({path, kind, size, tmp});
    }
    bool HeldAsProfile(const std::string &dir, const std::vector<SEntry> &entries);
    void MeasureMaildir(const std::string &dir, const std::vector<SEntry> &entries);
    void MeasureEntry(const std::string &dir, const SEntry &entry);

    void ConvertFile(const SItem &item);
    // Reads the item whole; false, having told why, when it cannot.
    bool ReadItem(const SItem &item, std::string &bytes);
    // Counts the mail and converts it; false when there is nothing to write (nothing
    // changed, or it failed, told).
    bool ConvertMail(const SItem &item, const std::string &mail, std::string &converted);
    void ConvertMessage(const SItem &item);
    void ConvertEmlx(const SItem &item);
    // Writes bytes anew to a temporary file at temp, to replace target once flushed.
    void WriteAnew(const std::string &temp, const std::string &target, const std::string &bytes);
    void FlushBatch();
    void Summarise();

    const STreeJob &m_job;
    std::vector<SItem> m_items;
    std::vector<SPendingWrite> m_batch;
    std::uint64_t m_batchBytes = 0;
    long m_converted = 0, m_changed = 0, m_mails = 0;  // files read whole, and of them rewritten
    std::vector<std::pair<std::string, long>> m_skipped;  // why, and how many
    std::vector<std::string> m_failed;
};

// True when dir is a profile that a running mail program holds, which is then told.
bool CTreeWalk::HeldAsProfile(const std::string &dir, const std::vector<SEntry> &entries)
{
    bool locked = false;
    for (const SEntry &entry : entries)
        locked = locked || IsNamed(entry.name, ".parentlock") || IsNamed(entry.name, "parent.lock") ||
                 (entry.kind == ENTRY_LINK && entry.name == "lock");
    if (!locked)
        return false;
    std::string detail;
    switch (ProfileLockState(dir, detail)) {
    case EProfileLock::FREE:
        return false;
    case EProfileLock::HELD:
        Failure(dir, "not converted: a running mail program holds this profile (" + detail +
                         "); close Thunderbird first");
        return true;
    case EProfileLock::UNKNOWN:
        break;
    }
    std::fprintf(m_job.err, "%s: %s: warning: cannot tell whether a mail program holds this profile: %s\n", PROGRAM,
                 dir.c_str(), detail.c_str());
    return false;
}

void CTreeWalk::Measure(const std::string &path, bool top)
{
    struct stat st;
    if (top && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        if (S_ISREG(st.st_mode))
            Add(path, EndsWithNoCase(path, ".emlx") ? ITEM_EMLX : ITEM_FILE, static_cast<std::uint64_t>(st.st_size));
        else
            Failure(path, "not converted: a special file (a device, a pipe or a socket)");
        return;
    }
    if (IsNamed(BaseName(path), "imapmail")) {
        Notice(path, IMAP_REASON);
        return;
    }
    std::vector<SEntry> entries;
    if (!ReadDirectory(path.c_str(), KeepEntry, &entries)) {
        Failure(path, top && entries.empty() ? "cannot convert" : "cannot read the directory", LastReason());
        if (entries.empty())
            return;
    }
    std::sort(entries.begin(), entries.end(), [](const SEntry &a, const SEntry &b) { return a.name < b.name; });
    if (HeldAsProfile(path, entries))
        return;
    bool cur = false, fresh = false;
    for (const SEntry &entry : entries) {
        cur = cur || (entry.kind == ENTRY_DIRECTORY && entry.name == "cur");
        fresh = fresh || (entry.kind == ENTRY_DIRECTORY && entry.name == "new");
    }
    bool maildir = cur && fresh;
    if (maildir)
        MeasureMaildir(path, entries);
    for (const SEntry &entry : entries) {
        if (maildir && entry.kind == ENTRY_DIRECTORY &&
            (entry.name == "cur" || entry.name == "new" || entry.name == "tmp"))
            continue;
        MeasureEntry(path, entry);
    }
}

void CTreeWalk::MeasureMaildir(const std::string &dir, const std::vector<SEntry> &entries)
{
    bool tmp = false;
    for (const SEntry &entry : entries)
        tmp = tmp || (entry.kind == ENTRY_DIRECTORY && entry.name == "tmp");
    std::string tmpDir = Join(dir, "tmp");
    if (tmp) {
        std::vector<SEntry> temporaries;
        if (!ReadDirectory(tmpDir.c_str(), KeepEntry, &temporaries))
            Failure(tmpDir, "cannot read the directory", LastReason());
        for (const SEntry &entry : temporaries) {
            if (entry.kind == ENTRY_FILE && IsOurTemporary(entry.name))
                Add(Join(tmpDir, entry.name), ITEM_LEFTOVER, 0);
        }
    }
    long messages = 0;
    for (const char *sub : {"cur", "new"}) {
        std::string subDir = Join(dir, sub);
        std::vector<SEntry> found;
        if (!ReadDirectory(subDir.c_str(), KeepEntry, &found))
            Failure(subDir, "cannot read the directory", LastReason());
        std::sort(found.begin(), found.end(), [](const SEntry &a, const SEntry &b) { return a.name < b.name; });
        for (const SEntry &entry : found) {
            // Names that start with a dot are no messages, to maildir readers.
            if (entry.name[0] == '.')
                continue;
            if (entry.kind != ENTRY_FILE)
                MeasureEntry(subDir, entry);
            else if (tmp)
                Add(Join(subDir, entry.name), ITEM_MESSAGE, entry.size, tmpDir);
            messages += entry.kind == ENTRY_FILE ? 1 : 0;
        }
    }
    if (!tmp && messages > 0) {
        // Rewritten in place, a message could be read half-written: tmp/ is the maildir way.
        std::fprintf(m_job.err,
                     "%s: %s: warning: a maildir without tmp/: its %ld messages are left as they are; make %s and "
                     "run again\n",
                     PROGRAM, dir.c_str(), messages, tmpDir.c_str());
        Skip("in a maildir without tmp/", messages);
    }
}

void CTreeWalk::MeasureEntry(const std::string &dir, const SEntry &entry)
{
    std::string path = Join(dir, entry.name);
    switch (entry.kind) {
    case ENTRY_DIRECTORY:
        Measure(path, false);
        return;
    case ENTRY_LINK:
        Notice(path, entry.linkToDirectory ? "not followed: a symbolic link to a directory"
                                           : "not followed: a symbolic link");
        Skip("symbolic link");
        return;
    case ENTRY_SPECIAL:
        Notice(path, "skipped: a special file (a device, a pipe or a socket)");
        Skip("special file");
        return;
    case ENTRY_UNSPELLED:
        std::fprintf(m_job.err, "%s: %s: warning: skipped: its name cannot be spelled in this program's code page\n",
                     PROGRAM, path.c_str());
        Skip("name not spelled");
        return;
    case ENTRY_FILE:
        break;
    }
    // The summaries go with their folders; our own files of a run that was stopped go.
    if (EndsWithNoCase(entry.name, ".msf") || EndsWithNoCase(entry.name, ".snm"))
        return;
    if (entry.name[0] == '.' && IsOurTemporary(entry.name.substr(1)))
        Add(path, ITEM_LEFTOVER, 0);
    else
        Add(path, EndsWithNoCase(entry.name, ".emlx") ? ITEM_EMLX : ITEM_FILE, entry.size);
}

bool CTreeWalk::Convert()
{
    std::uint64_t files = 0, bytes = 0;
    long leftovers = 0;
    for (const SItem &item : m_items) {
        if (item.kind != ITEM_LEFTOVER) {
            ++files;
            bytes += item.size;
        } else if (DeleteFileA(item.path.c_str())) {
            ++leftovers;
        } else if (!IsGone(GetLastError())) {
            std::fprintf(m_job.err, "%s: %s: warning: cannot delete this file left by a run that was stopped: %s\n",
                         PROGRAM, item.path.c_str(), LastReason().c_str());
        }
    }
    if (leftovers > 0 && !m_job.quiet)
        std::fprintf(m_job.err, "%s: deleted %ld temporary files left by a run that was stopped\n", PROGRAM,
                     leftovers);
    if (m_job.progress != nullptr)
        m_job.progress->StartTree(files, bytes);
    for (const SItem &item : m_items) {
        if (item.kind == ITEM_LEFTOVER)
            continue;
        if (m_job.progress != nullptr)
            m_job.progress->Start(item.path);
        if (item.kind == ITEM_FILE)
            ConvertFile(item);
        else if (item.kind == ITEM_MESSAGE)
            ConvertMessage(item);
        else
            ConvertEmlx(item);
        if (m_batch.size() >= BATCH_FILES || m_batchBytes >= BATCH_BYTES)
            FlushBatch();
        if (m_job.progress != nullptr)
            m_job.progress->FileDone(item.size);
    }
    FlushBatch();
    if (m_job.progress != nullptr)
        m_job.progress->FinishTree();
    Summarise();
    return m_failed.empty();
}

void CTreeWalk::ConvertFile(const SItem &item)
{
    const char *path = item.path.c_str();
    FILE *in = std::fopen(path, "rb");
    if (in == nullptr) {
        if (IsGone(GetLastError()))
            Skip("gone since the walk");
        else
            Failure(item.path, "cannot read", LastReason());
        return;
    }
    // What its first line is: a "From " line, a header field, or neither.
    char head[MAX_FIELD_NAME + 2];
    std::size_t n = std::fread(head, 1, sizeof head, in);
    std::string_view start(head, n);
    bool mail = start.compare(0, 5, "From ") == 0 || StartsWithField(start);
    if (!mail || std::ferror(in)) {
        bool failed = std::ferror(in) != 0;
        std::string reason = LastReason();
        std::fclose(in);
        if (failed)
            Failure(item.path, "cannot read", reason);
        else
            Skip(n == 0 ? "empty" : "not mail");
        return;
    }
    // Its mails counted, and whether there is anything to change, as a mail reader reads it.
    std::rewind(in);
    CWorkSniffer sniffer;
    CFolderReader reader(in);
    reader.Observe([&sniffer](std::string_view bytes) { sniffer.Scan(bytes); });
    long mails = 0;
    while (reader.NextPiece()) {
        mails += reader.IsMail() ? 1 : 0;
        std::string_view run;
        bool lineStart;
        while (reader.NextLines(run, false) || reader.NextRun(run, lineStart)) {
        }
    }
    bool failed = reader.Failed();
    std::string reason = LastReason();
    std::fclose(in);
    if (failed) {
        Failure(item.path, "cannot read", reason);
        return;
    }
    if (!sniffer.Found()) {
        // Unless a conversion of it was interrupted, there is nothing to do.
        SJobResult result;
        if (FindPendingJob(path, &result) == PENDING_NONE) {
            ++m_converted;
            m_mails += mails;
            return;
        }
    }
    // Its mail program rebuilds the summary of a folder that changes.
    std::string summary = item.path + ".msf";
    if (!DeleteFileA(summary.c_str()) && !IsGone(GetLastError()))
        std::fprintf(m_job.err, "%s: %s: warning: cannot delete the summary file: %s\n", PROGRAM, summary.c_str(),
                     LastReason().c_str());
    if (!m_job.convertFolder(item.path)) {
        m_failed.push_back(item.path);
        return;
    }
    ++m_converted;
    ++m_changed;
    m_mails += mails;
}

bool CTreeWalk::ReadItem(const SItem &item, std::string &bytes)
{
    if (ReadWhole(item.path, bytes))
        return true;
    if (IsGone(GetLastError()))
        Skip("gone since the walk");
    else
        Failure(item.path, "cannot read", LastReason());
    return false;
}

bool CTreeWalk::ConvertMail(const SItem &item, const std::string &mail, std::string &converted)
{
    ++m_mails;
    if (!MayNeedWork(mail)) {
        ++m_converted;
        return false;
    }
    if (!ConvertText(mail, m_job.keepLabels, converted)) {
        Failure(item.path, "cannot convert", LastReason());
        return false;
    }
    if (converted == mail) {
        ++m_converted;
        return false;
    }
    return true;
}

void CTreeWalk::ConvertMessage(const SItem &item)
{
    std::string bytes, converted;
    if (ReadItem(item, bytes) && ConvertMail(item, bytes, converted))
        WriteAnew(Join(item.tmp, NewTemporaryName()), item.path, converted);
}

void CTreeWalk::ConvertEmlx(const SItem &item)
{
    std::string bytes, converted;
    if (!ReadItem(item, bytes))
        return;
    // The message's length in bytes, in decimal, perhaps padded with spaces, on a line of
    // its own; the message; then its properties, an XML property list.
    std::size_t digits = 0;
    while (digits < bytes.size() && digits < 18 && bytes[digits] >= '0' && bytes[digits] <= '9')
        ++digits;
    std::size_t lineEnd = bytes.find(static_cast<char>(LF));
    bool counted = digits > 0 && lineEnd != std::string::npos &&
                   bytes.find_first_not_of(" \t\r", digits) == lineEnd;
    if (!counted) {
        std::fprintf(m_job.err, "%s: %s: warning: skipped: no byte count on its first line, as an .emlx file has\n",
                     PROGRAM, item.path.c_str());
        Skip("not an .emlx");
        return;
    }
    std::uint64_t count = std::stoull(bytes.substr(0, digits));
    std::size_t start = lineEnd + 1;
    if (count > bytes.size() - start) {
        std::fprintf(m_job.err,
                     "%s: %s: warning: skipped: its byte count, %llu, runs past its end (a message of %llu bytes at "
                     "most)\n",
                     PROGRAM, item.path.c_str(), static_cast<unsigned long long>(count),
                     static_cast<unsigned long long>(bytes.size() - start));
        Skip("byte count past the end");
        return;
    }
    std::size_t end = start + static_cast<std::size_t>(count);
    std::size_t plist = bytes.find_first_not_of(" \t\r\n", end);
    if (plist != std::string::npos && bytes.compare(plist, 2, "<?") != 0 && bytes.compare(plist, 2, "<!") != 0 &&
        bytes.compare(plist, 6, "<plist") != 0)
        std::fprintf(m_job.err,
                     "%s: %s: warning: its byte count, %llu, does not end where its property list starts: the "
                     "message is converted as the count says\n",
                     PROGRAM, item.path.c_str(), static_cast<unsigned long long>(count));
    if (!ConvertMail(item, bytes.substr(start, end - start), converted))
        return;
    // The count padded as wide as it was, and its line end as it was.
    std::string line = std::to_string(converted.size());
    std::size_t width = bytes.find_first_of("\r\n", digits);
    if (line.size() < width)
        line.resize(width, ' ');
    line += bytes.substr(width, lineEnd + 1 - width);
    // Beside it, under a name that starts with a dot, which Apple Mail passes over.
    WriteAnew(Join(DirectoryOf(item.path), "." + NewTemporaryName()), item.path,
              line + converted + bytes.substr(end));
}

void CTreeWalk::WriteAnew(const std::string &temp, const std::string &target, const std::string &bytes)
{
    // Sharing deletion, as our other temporary files do.
    HANDLE held = CreateFileA(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        Failure(target, "cannot create a temporary file " + temp, LastReason());
        return;
    }
    FILE *to = OpenHandleStream(held, "wb");
    bool ok = to != nullptr;
    if (ok) {
        ok = std::fwrite(bytes.data(), 1, bytes.size(), to) == bytes.size() && std::fflush(to) == 0;
        KeepOwnerModeAndTime(to, temp, target);
    }
    std::string reason = LastReason();
    if (to != nullptr && std::fclose(to) != 0 && ok) {
        ok = false;
        reason = LastReason();
    }
    if (!ok) {
        CloseHandle(held);
        DeleteFileA(temp.c_str());
        Failure(target, "cannot write " + temp, reason);
        return;
    }
    m_batch.push_back({temp, target, held});
    m_batchBytes += bytes.size();
}

// The batch's new files all reach the disk together, then each is renamed over the file it
// replaces, then each directory that changed is flushed once.  Stopped at any point, each
// message is whole, old or new, and what is left in tmp/ is ours, for the next run to delete.
void CTreeWalk::FlushBatch()
{
    if (m_batch.empty())
        return;
    std::vector<HANDLE> handles(m_batch.size());
    std::transform(m_batch.begin(), m_batch.end(), handles.begin(), [](const SPendingWrite &w) { return w.held; });
    bool flushed = FlushFiles(handles.data(), handles.size());
    std::string reason = LastReason();
    std::vector<std::string> dirs;
    for (const SPendingWrite &write : m_batch) {
        bool closed = CloseHandle(write.held) != 0;
        if (!flushed || !closed) {
            DeleteFileA(write.temp.c_str());
            Failure(write.target, "cannot write " + write.temp, flushed ? LastReason() : reason);
            continue;
        }
        if (!ReplaceExistingFile(write.temp.c_str(), write.target.c_str())) {
            DWORD error = GetLastError();
            std::string why = LastReason();
            DeleteFileA(write.temp.c_str());
            if (IsGone(error))
                Failure(write.target, "not converted: renamed or deleted since it was read (by a mail program?); run "
                                      "again to convert it under its new name");
            else
                Failure(write.target, "cannot replace it with " + write.temp, why);
            continue;
        }
        ++m_converted;
        ++m_changed;
        std::string dir = DirectoryOf(write.target);
        if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end())
            dirs.push_back(dir);
    }
    for (const std::string &dir : dirs) {
        if (!FlushDirectory(dir.c_str()))
            std::fprintf(m_job.err, "%s: %s: warning: cannot flush the directory: %s\n", PROGRAM, dir.c_str(),
                         LastReason().c_str());
    }
    m_batch.clear();
    m_batchBytes = 0;
}

void CTreeWalk::Summarise()
{
    if (m_job.quiet && m_failed.empty())
        return;
    std::string line = Count(m_changed, "file converted", "files converted") + ", " +
                       std::to_string(m_converted - m_changed) + " with nothing to change, " +
                       Count(m_mails, "mail", "mails") + " in all";
    long skipped = std::accumulate(m_skipped.begin(), m_skipped.end(), 0L,
                                   [](long sum, const std::pair<std::string, long> &r) { return sum + r.second; });
    line += "; " + std::to_string(skipped) + " skipped";
    for (std::size_t i = 0; i < m_skipped.size(); ++i)
        line += (i == 0 ? " (" : ", ") + std::to_string(m_skipped[i].second) + " " + m_skipped[i].first;
    if (!m_skipped.empty())
        line += ")";
    line += "; " + std::to_string(m_failed.size()) + " failed";
    for (std::size_t i = 0; i < m_failed.size() && i < 10; ++i)
        line += (i == 0 ? ": " : ", ") + m_failed[i];
    if (m_failed.size() > 10)
        line += ", and " + std::to_string(m_failed.size() - 10) + " more";
    std::fprintf(m_job.out, "%s: %s\n", PROGRAM, line.c_str());
    std::fflush(m_job.out);
}

// Where path, a directory the user named, lies within a profile that a running mail program
// holds, or within ImapMail/, told; false otherwise.
bool WithinRefusedTree(CTreeWalk &walk, const std::string &path)
{
    char resolved[PATH_SIZE];
    if (!ResolvePath(path.c_str(), resolved))
        return false;
    std::string at = resolved;
    while (true) {
        std::size_t sep = at.find_last_of(SEPARATORS);
        if (sep == std::string::npos || sep == 0 || (sep == 2 && at[1] == ':'))
            return false;
        at.resize(sep);
        if (IsNamed(BaseName(at), "imapmail")) {
            walk.Notice(path, std::string("within ") + at + ": " + IMAP_REASON);
            return true;
        }
        // Where there is no lock, the answer costs a look or two at the disk.
        std::string detail;
        if (ProfileLockState(at, detail) == EProfileLock::HELD) {
            std::string what = "not converted: a running mail program holds the profile ";
            what += at;
            what += " (" + detail + "); close Thunderbird first";
            walk.Failure(path, what);
            return true;
        }
    }
}

}  // namespace

bool ConvertTrees(const std::vector<std::string> &paths, const STreeJob &job)
{
    CTreeWalk walk(job);
    for (std::string path : paths) {
        // "DIR/" is DIR (on Windows stat takes no separator at the end), but "/" stays.
        while (path.size() > 1 && std::strchr(SEPARATORS, path.back()) != nullptr &&
               !(path.size() == 3 && path[1] == ':'))
            path.pop_back();
        if (!WithinRefusedTree(walk, path))
            walk.Measure(path, true);
    }
    return walk.Convert();
}

bool ConvertProfile(const std::string &dir, const STreeJob &job)
{
    std::string profile = dir, why;
    if (profile.empty() && !FindDefaultProfile(profile, why)) {
        std::fprintf(job.err, "%s: cannot find the default profile: %s\n", PROGRAM, why.c_str());
        return false;
    }
    struct stat st;
    bool found = stat(profile.c_str(), &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
        std::string reason = found ? "not a directory" : LastReason();
        std::fprintf(job.err, "%s: %s: cannot convert the profile: %s\n", PROGRAM, profile.c_str(), reason.c_str());
        return false;
    }
    std::string detail;
    switch (ProfileLockState(profile, detail)) {
    case EProfileLock::FREE:
        break;
    case EProfileLock::HELD:
        std::fprintf(job.err, "%s: %s: a running mail program holds this profile (%s): close Thunderbird first\n",
                     PROGRAM, profile.c_str(), detail.c_str());
        return false;
    case EProfileLock::UNKNOWN:
        std::fprintf(job.err, "%s: %s: warning: cannot tell whether a mail program holds this profile: %s\n", PROGRAM,
                     profile.c_str(), detail.c_str());
        break;
    }
    std::string imap = Join(profile, "ImapMail");
    if (stat(imap.c_str(), &st) == 0 && !job.quiet)
        std::fprintf(job.err, "%s: %s: %s\n", PROGRAM, imap.c_str(), IMAP_REASON);
    std::string mail = Join(profile, "Mail");
    if (stat(mail.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(job.err, "%s: %s: no Mail directory: a profile with no local folders\n", PROGRAM,
                     profile.c_str());
        return false;
    }
    return ConvertTrees({mail}, job);
}
