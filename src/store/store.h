// The face that every store of mail shows the walk: a store recognises its place, converts
// it (or, in a check, looks at it), and tidies what a run that was stopped left there; a
// context carries the options, the report, the batch and what a check takes as done.  The
// walk knows no format, and no store knows the walk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "file_pieces.h"
#include "mail.h"
#include "rewrite.h"
#include "store_files.h"
#include "tree.h"

typedef std::shared_ptr<CHeldDirectory> PDirectory;

// One entry of a directory, kept past the call that told of it.
struct SEntry {
    std::string name;
    EEntryKind kind;
    std::uint64_t size;
    bool linkToDirectory;
    SFileIdentity id;
};

// Reads dir's entries into entries, sorted by name.  False with the system's error where it
// could not read them all.
bool ReadEntries(const CHeldDirectory &dir, std::vector<SEntry> &entries);

// Where a store is: a directory the walk holds and its entries, or a file in it.  A store
// that is no directory on a disk (a server's account) is reached from a place of its own
// that its front end makes; the verbs stay the same.
struct SStorePlace {
    PDirectory dir;                        // the directory held
    const std::vector<SEntry> *entries;    // dir's entries, sorted by name (a directory store's)
    const SEntry *entry;                   // the file in dir, or null for dir itself
    const SFileIdentity *id;               // the file as the walk found it, null where unknown
    std::string_view head;                 // the file's first bytes (PLACE_HEAD_BYTES at most)
};
// How many of a file's first bytes the walk reads for the stores to recognise it by: a
// header field's name and its colon.
const std::size_t PLACE_HEAD_BYTES = MAX_FIELD_NAME + 2;

class CStoreContext;

// A kind of store: maildir, .emlx file, mbox folder, file of one mail, mail program's
// profile.  Stores keep no state of their own: what a run holds is its context's.
class IStore {
public:
    // The kind's name, for messages and tests.
    virtual const char *Name() const = 0;
    // True when place is a store of this kind.  A directory store is asked with a null
    // place.entry, a file store with the file; a file store may read its first bytes.
    virtual bool Recognises(const SStorePlace &place) const = 0;
    // Deals with a file that a run of this store that was stopped left beside the files it
    // replaces (one of our temporary files, which no store recognises), or, in a check,
    // tells what it would do: true where the file is this store's.  A directory store tidies
    // what is left within it as it converts it.
    virtual bool Tidy(CStoreContext &context, const SStorePlace &place) const
    {
        (void)context, (void)place;
        return false;
    }
    // Converts place, or, where the context checks, tells what a conversion would do and
    // counts it.  A directory store returns true where the walk is to go on into the
    // directory's entries that are not its own (OwnsEntry).
    virtual bool Convert(CStoreContext &context, const SStorePlace &place) const = 0;
    // True when a directory store takes entry of its directory as its own, which the walk
    // then passes over.
    virtual bool OwnsEntry(const SEntry &entry) const
    {
        (void)entry;
        return false;
    }
    // Told of each batch flushed, with what became of its files.
    virtual void Flushed(CStoreContext &context, const std::vector<SReplaced> &done) const
    {
        (void)context, (void)done;
    }

protected:
    ~IStore() = default;
};

// The stores, in the order the walk asks them: directory stores first, then file stores.
const std::vector<const IStore *> &DirectoryStores();
const std::vector<const IStore *> &FileStores();
// The store of each kind.
const IStore &MaildirStore();
const IStore &ProfileStore();
const IStore &EmlxStore();
const IStore &MboxStore();
const IStore &OneMailStore();

// What the walk hands a store: where to tell, what to count, and the batch.  A check's
// context writes nothing: what a store asks it to do, it tells and takes as done.
class CStoreContext {
public:
    // Hands a directory's entry back to the walk, which walks it as any other.
    class IWalker {
    public:
        virtual void WalkEntry(const PDirectory &dir, const SEntry &entry) = 0;

    protected:
        ~IWalker() = default;
    };

    CStoreContext(const STreeOptions &options, STreeReport &report) : m_options(options), m_report(report) {}
    CStoreContext(const CStoreContext &) = delete;
    CStoreContext &operator=(const CStoreContext &) = delete;

    // Whether this run converts, or only measures the tree for the progress (and tells
    // nothing).
    void SetConverting(bool converting) { m_convert = converting; }
    bool Converting() const { return m_convert; }
    bool Checking() const { return m_options.check; }
    StreamConverter Converter() const { return m_options.converters.use.convert; }
    const SConverters &Converters() const { return m_options.converters; }
    void SetWalker(IWalker *walker) { m_walker = walker; }
    void WalkEntry(const PDirectory &dir, const SEntry &entry) { m_walker->WalkEntry(dir, entry); }
    // The directories the walk is in, the innermost last.
    std::vector<PDirectory> &Parents() { return m_parents; }

    // The report.
    STreeReport &Report() { return m_report; }
    void Fail(const std::string &path, const std::string &what, DWORD error = 0);
    void Tell(ETreeEvent kind, const std::string &path, const std::string &what, DWORD error = 0);
    // Tells kind of path, or in a check that it would: what is told after "would " there.
    void TellDone(ETreeEvent kind, const std::string &path, const std::string &done, const std::string &would);
    void Event(STreeEvent event) { m_report.events.push_back(std::move(event)); }
    void Skip(const std::string &why, long n = 1);
    // A file the walk found: counted; true when it is to be converted.
    bool Count(std::uint64_t size);
    // The file counted is done.
    void Done(std::uint64_t size);
    std::uint64_t Files() const { return m_files; }
    std::uint64_t Bytes() const { return m_bytes; }

    // Opens name in dir as the walk found it, the file at hand for the progress;
    // INVALID_HANDLE_VALUE, told, where it cannot (or where a check's tidying took it away).
    HANDLE OpenFound(const CHeldDirectory &dir, const std::string &name, const SFileIdentity *id);
    // Deletes dir's name, left by a run that was stopped, telling "deleted: " what; a check
    // tells "would be deleted: " what, and the walk then takes it as gone.  False, failed
    // with failure, where it cannot (a file gone already is no failure).
    bool DeleteLeft(const CHeldDirectory &dir, const std::string &name, const std::string &what,
                    const std::string &failure);
    // Moves from's name, left by a run that was stopped, into to as toName: put in place, told,
    // or in a check what would be.  A move that fails is a warning, as what.
    void PutInPlace(const CHeldDirectory &to, const std::string &toName, const CHeldDirectory &from,
                    const std::string &name, const std::string &what);
    // Takes path as gone for the rest of a check: what the tidying it tells of would delete.
    void WouldGo(const std::string &path) { m_wouldGo.push_back(path); }
    bool WouldBeGone(const std::string &path) const
    {
        return std::find(m_wouldGo.begin(), m_wouldGo.end(), path) != m_wouldGo.end();
    }

    // What a store keeps for the whole run (a maildir's quota lines): made by the store,
    // null until it is.
    class IRunState {
    public:
        virtual ~IRunState() = default;
    };
    std::unique_ptr<IRunState> &RunState(const IStore &store) { return m_states[&store]; }

    // Converts from's bytes from its start into a new file in dir made for forName, its name
    // after a dot where hidden; true with its handle, name and sizes, or false, told, when it
    // fails or nothing changed (counted as unchanged).  A check converts into nowhere,
    // measuring: made is then INVALID_HANDLE_VALUE and name "*".  path names from in
    // messages; found is how the walk found from in dir, for a check's second handle.
    bool ConvertInto(HANDLE from, const CHeldDirectory &fromDir, const std::string &fromName,
                     const SFileIdentity *found, const CHeldDirectory &dir, const std::string &forName, bool hidden,
                     HANDLE &made, std::string &name, SMeasured &sizes);
    // Converts n bytes of name in dir from at (all where n is all), read through held, into
    // nowhere; false, told as failing, when it cannot.
    bool Measure(const CHeldDirectory &dir, const std::string &name, const SFileIdentity *id, HANDLE held,
                 std::uint64_t at, std::uint64_t n, SMeasured &measured);
    // Puts file, of bytes bytes, in the batch, which store's Flushed hears of; a check tells
    // would and takes the file as replaced when the batch would be flushed.
    void Replace(const IStore &store, SNewFile file, std::uint64_t bytes, const std::string &would);
    // Whether the batch holds as many files, or as many bytes, as a batch may.
    bool BatchFull() const;
    // Flushes the batch, when it is full or always.
    void FlushBatchIfFull();
    void FlushBatch();
    // Deletes the batch's new files, replacing nothing (a check forgets them).
    // Drops the batch unwritten; a check's, with what it told of it.  How many files it held.
    std::size_t DiscardBatch();
    bool BatchEmpty() const { return m_batch.Empty() && m_would.empty(); }

private:
    const STreeOptions &m_options;
    STreeReport &m_report;
    bool m_convert = false;
    IWalker *m_walker = nullptr;
    std::uint64_t m_files = 0, m_bytes = 0;
    CRewriteBatch m_batch;
    // The stores whose files are in the batch, told of its flush.
    std::vector<const IStore *> m_batchStores;
    // A check's batch: what it would replace, taken as replaced when it would be flushed.
    std::vector<SReplaced> m_would;
    std::uint64_t m_wouldBytes = 0;
    // A check's: the paths that the tidying of a run that was stopped would delete, which the
    // run would then find gone.
    std::vector<std::string> m_wouldGo;
    std::vector<PDirectory> m_parents;
    std::map<const IStore *, std::unique_ptr<IRunState>> m_states;
};

// Where path, a directory the user named, lies within a profile that a running mail program
// holds, or within ImapMail/: told, and true; false otherwise.
bool WithinRefusedTree(CStoreContext &context, const std::string &path);

// Shared among the stores.
// What a store tells of a file put in its place since the walk found it.
extern const char SWAPPED[];
// True when name ends with lowerSuffix, ignoring ASCII case, and is more than that.
bool EndsWithNoCase(const std::string &name, const char *lowerSuffix);
// True when name is lowerName, ignoring ASCII case.
bool IsNamed(const std::string &name, const char *lowerName);
// True when error says that a file is not there.
bool IsGoneError(DWORD error);
