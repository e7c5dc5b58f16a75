// Walks trees of mail (tree.h): holds each directory, hands each entry to the store that
// recognises it (store.h), and walks on into what no store takes as its own.
#include "tree.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "maildir.h"
#include "store.h"

namespace {

#ifdef QUORVEL_TEST_HOOKS
// For the tests of a walk raced by another user: where QUORVEL_TEST_WALK_PAUSE names a file
// that is there, once the first directory's entries are read, renames it to NAME.paused and
// waits (ten seconds at most) until that is gone.  Built only with QUORVEL_TEST_HOOKS.
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
#else
void PauseForTest()
{
}
#endif

const std::vector<const IStore *> &DirectoryStoresInOrder()
{
    // A profile first: one that a running mail program holds is not walked at all.
    static const std::vector<const IStore *> stores{&ProfileStore(), &MaildirStore()};
    return stores;
}

class CTreeWalk : private CStoreContext::IWalker {
public:
    CTreeWalk(const STreeOptions &options, STreeReport &report) : m_context(options, report)
    {
        m_context.SetWalker(this);
    }

    // Walks path, one the user named, whose links are followed: measuring only, or
    // converting.
    void Walk(const std::string &path, bool convert);
    // Ends the walk: the last batch flushed.
    void Finish() { m_context.FlushBatch(); }
    CStoreContext &Context() { return m_context; }

private:
    void WalkEntry(const PDirectory &dir, const SEntry &entry) override;
    void WalkDirectory(const PDirectory &dir);
    // A file the walk found, as found (id null where it is not known): counted, and handed
    // to the store that recognises it.
    void WalkFile(const PDirectory &dir, const SEntry &entry, const SFileIdentity *id);

    CStoreContext m_context;
};

void CTreeWalk::Walk(const std::string &path, bool convert)
{
    m_context.SetConverting(convert);
    // What the user named may be a file: its directory is held, and the file opened by its
    // name there.
    if (IsDirectoryPath(path)) {
        PDirectory dir(CHeldDirectory::Open(path));
        if (dir != nullptr)
            WalkDirectory(dir);
        else
            m_context.Fail(path, "cannot convert", GetLastError());
        return;
    }
    char resolved[PATH_SIZE];
    std::string file = ResolvePath(path.c_str(), resolved) ? resolved : path;
    PDirectory parent(CHeldDirectory::Open(DirectoryOf(file)));
    std::string name = BaseNameOf(file);
    if (parent == nullptr) {
        m_context.Fail(path, "cannot convert", GetLastError());
        return;
    }
    HANDLE held = parent->OpenEntry(name, false, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        m_context.Fail(path,
                       GetLastError() == ERROR_NOT_THE_WALKED_FILE
                           ? "not converted: a special file (a device, a pipe or a socket)"
                           : "cannot convert",
                       GetLastError() == ERROR_NOT_THE_WALKED_FILE ? 0 : GetLastError());
        return;
    }
    SEntry entry{name, ENTRY_FILE, 0, false, {}};
    bool known = GetFileIdentity(held, &entry.id);
    CloseHandle(held);
    entry.size = known ? entry.id.size : 0;
    WalkFile(parent, entry, known ? &entry.id : nullptr);
}

void CTreeWalk::WalkDirectory(const PDirectory &dir)
{
    std::vector<PDirectory> &parents = m_context.Parents();
    parents.push_back(dir);
    std::vector<SEntry> entries;
    // ImapMail/ is not read: its store knows it by its name.
    bool read = IsNamed(BaseNameOf(dir->Path()), "imapmail") || ReadEntries(*dir, entries);
    if (!read)
        m_context.Fail(dir->Path(), "cannot read the directory", GetLastError());
    if (read || !entries.empty()) {
        if (m_context.Converting())
            PauseForTest();
        SStorePlace place{dir, &entries, nullptr, nullptr, {}};
        std::vector<const IStore *> owners;
        bool walkOn = true;
        for (const IStore *store : DirectoryStoresInOrder()) {
            if (walkOn && store->Recognises(place)) {
                owners.push_back(store);
                walkOn = store->Convert(m_context, place);
            }
        }
        for (const SEntry &entry : walkOn ? entries : std::vector<SEntry>{}) {
            if (std::none_of(owners.begin(), owners.end(), [&entry](const IStore *s) { return s->OwnsEntry(entry); }))
                WalkEntry(dir, entry);
        }
    }
    parents.pop_back();
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
            m_context.Fail(path, SWAPPED);
        else
            m_context.Fail(path, "cannot open the directory", GetLastError());
        return;
    }
    case ENTRY_LINK:
        m_context.Tell(ETreeEvent::NOTICE, path,
                       entry.linkToDirectory ? "not followed: a symbolic link to a directory"
                                             : "not followed: a symbolic link");
        m_context.Skip("symbolic link");
        return;
    case ENTRY_SPECIAL:
        m_context.Tell(ETreeEvent::NOTICE, path, "skipped: a special file (a device, a pipe or a socket)");
        m_context.Skip("special file");
        return;
    case ENTRY_UNSPELLED:
        m_context.Tell(ETreeEvent::WARNING, path, "skipped: its name cannot be spelled in this program's code page");
        m_context.Skip("name not spelled");
        return;
    case ENTRY_FILE:
        break;
    }
    // The summaries go with their folders.
    if (EndsWithNoCase(entry.name, ".msf") || EndsWithNoCase(entry.name, ".snm"))
        return;
    // A server's own files (its index beside an mbox folder) are no mail, and it replaces
    // them as it works.
    if (IsServersOwn(entry.name, false)) {
        m_context.Skip(SERVERS_OWN);
        return;
    }
    // Our own files of a run that was stopped go, as the store that made them says.
    SStorePlace place{dir, nullptr, &entry, &entry.id, {}};
    const std::vector<const IStore *> &stores = FileStores();
    if (std::none_of(stores.begin(), stores.end(), [&](const IStore *s) { return s->Tidy(m_context, place); }))
        WalkFile(dir, entry, &entry.id);
}

void CTreeWalk::WalkFile(const PDirectory &dir, const SEntry &entry, const SFileIdentity *id)
{
    if (!m_context.Count(entry.size))
        return;
    // Its first bytes, for the stores to know it by.
    HANDLE held = m_context.OpenFound(*dir, entry.name, id);
    if (held == INVALID_HANDLE_VALUE) {
        m_context.Done(entry.size);
        return;
    }
    char headBytes[PLACE_HEAD_BYTES];
    long long n = ReadSome(held, headBytes, sizeof headBytes);
    DWORD error = GetLastError();
    CloseHandle(held);
    SStorePlace place{dir, nullptr, &entry, id, std::string_view(headBytes, n > 0 ? static_cast<std::size_t>(n) : 0)};
    const std::vector<const IStore *> &stores = FileStores();
    auto store = std::find_if(stores.begin(), stores.end(), [&place](const IStore *s) { return s->Recognises(place); });
    if (store != stores.end())
        (*store)->Convert(m_context, place);
    else if (n < 0)
        m_context.Fail(dir->PathOf(entry.name), "cannot read", error);
    else
        m_context.Skip(n == 0 ? "empty" : "not mail");
    m_context.Done(entry.size);
}

}  // namespace

const std::vector<const IStore *> &DirectoryStores()
{
    return DirectoryStoresInOrder();
}

const std::vector<const IStore *> &FileStores()
{
    // By name first, then by the first line.
    static const std::vector<const IStore *> stores{&EmlxStore(), &MboxStore(), &OneMailStore()};
    return stores;
}

bool IsStoreFile(const std::string &path)
{
    std::string name = BaseNameOf(path);
    SEntry entry{name, ENTRY_FILE, 0, false, {}};
    return EmlxStore().Recognises({nullptr, nullptr, &entry, nullptr, {}});
}

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
        options.progress->StartTree(measure.Context().Files(), measure.Context().Bytes());
    CTreeWalk walk(options, report);
    // Converting from here, so that a refusal is told with its reason.
    walk.Context().SetConverting(true);
    for (const std::string &path : tops) {
        if (!WithinRefusedTree(walk.Context(), path))
            walk.Walk(path, true);
    }
    walk.Finish();
    if (options.progress != nullptr)
        options.progress->FinishTree();
    return report.failed.empty();
}

