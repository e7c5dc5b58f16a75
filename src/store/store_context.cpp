// What the walk hands a store (store.h): the report, the counts, the batch, and a check's
// account of what it takes as done.
#include "store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "mail.h"
#include "temporary_names.h"

const char SWAPPED[] = "not converted: a link or another file was put in its place since the walk found it";

bool EndsWithNoCase(const std::string &name, const char *lowerSuffix)
{
    std::size_t n = std::strlen(lowerSuffix);
    return name.size() > n && EqualsNoCase(name.data() + name.size() - n, n, lowerSuffix);
}

bool IsNamed(const std::string &name, const char *lowerName)
{
    return EqualsNoCase(name.data(), name.size(), lowerName);
}

bool IsGoneError(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

namespace {

void KeepEntry(const SDirectoryEntry &entry, void *context)
{
    static_cast<std::vector<SEntry> *>(context)->push_back(
        {entry.name, entry.kind, entry.size, entry.linkToDirectory, entry.id});
}

}  // namespace

bool ReadEntries(const CHeldDirectory &dir, std::vector<SEntry> &entries)
{
    bool ok = dir.Read(KeepEntry, &entries);
    DWORD error = GetLastError();
    std::sort(entries.begin(), entries.end(), [](const SEntry &a, const SEntry &b) { return a.name < b.name; });
    SetLastError(error);
    return ok;
}

void CStoreContext::Fail(const std::string &path, const std::string &what, DWORD error)
{
    Tell(ETreeEvent::FAILED, path, what, error);
    // The measuring walk meets the same failures first: the converting one counts them.
    if (m_convert)
        m_report.failed.push_back(path);
}

void CStoreContext::Tell(ETreeEvent kind, const std::string &path, const std::string &what, DWORD error)
{
    if (m_convert)
        m_report.events.push_back({kind, path, what, error, nullptr});
}

void CStoreContext::TellDone(ETreeEvent kind, const std::string &path, const std::string &done,
                             const std::string &would)
{
    if (Checking())
        Tell(ETreeEvent::WOULD, path, "would " + would);
    else
        Tell(kind, path, done);
}

void CStoreContext::Skip(const std::string &why, long n)
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

bool CStoreContext::Count(std::uint64_t size)
{
    ++m_files;
    m_bytes += size;
    return m_convert;
}

void CStoreContext::Done(std::uint64_t size)
{
    if (m_options.progress != nullptr)
        m_options.progress->FileDone(size);
}

HANDLE CStoreContext::OpenFound(const CHeldDirectory &dir, const std::string &name, const SFileIdentity *id)
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
    else if (IsGoneError(error))
        Skip("gone since the walk");
    else
        Fail(dir.PathOf(name), "cannot read", error);
    return INVALID_HANDLE_VALUE;
}

bool CStoreContext::DeleteLeft(const CHeldDirectory &dir, const std::string &name, const std::string &what,
                               const std::string &failure)
{
    if (Checking()) {
        Tell(ETreeEvent::WOULD, dir.PathOf(name), "would be deleted: " + what);
        WouldGo(dir.PathOf(name));
        return true;
    }
    if (dir.DeleteEntry(name)) {
        Tell(ETreeEvent::NOTICE, dir.PathOf(name), "deleted: " + what);
        return true;
    }
    if (!IsGoneError(GetLastError()))
        Fail(dir.PathOf(name), failure, GetLastError());
    return false;
}

void CStoreContext::PutInPlace(const CHeldDirectory &to, const std::string &toName, const CHeldDirectory &from,
                               const std::string &name, const std::string &what)
{
    std::string where = (&to == &from ? name : from.PathOf(name)) + ", where a run that was stopped left it";
    if (Checking())
        Tell(ETreeEvent::WOULD, to.PathOf(toName), "would be put in place from " + where);
    else if (to.MoveHere(from, name, toName))
        Tell(ETreeEvent::NOTICE, to.PathOf(toName), "put in place from " + where);
    else
        Tell(ETreeEvent::WARNING, from.PathOf(name), what + to.PathOf(toName), GetLastError());
}

bool CStoreContext::Measure(const CHeldDirectory &dir, const std::string &name, const SFileIdentity *id, HANDLE held,
                            std::uint64_t at, std::uint64_t n, SMeasured &measured)
{
    HANDLE original = dir.OpenEntry(name, false, id);
    bool ok = original != INVALID_HANDLE_VALUE && MeasureConversion(Converter(), held, original, at, n, measured);
    DWORD error = GetLastError();
    if (original != INVALID_HANDLE_VALUE)
        CloseHandle(original);
    if (!ok)
        Fail(dir.PathOf(name), "cannot convert", error);
    return ok;
}

bool CStoreContext::ConvertInto(HANDLE from, const CHeldDirectory &fromDir, const std::string &fromName,
                                const SFileIdentity *found, const CHeldDirectory &dir, const std::string &forName,
                                bool hidden, HANDLE &made, std::string &name, SMeasured &sizes)
{
    std::string path = fromDir.PathOf(fromName);
    made = INVALID_HANDLE_VALUE;
    sizes = SMeasured{};
    if (Checking()) {
        // A new name is made only when it is written: a star stands for it.
        name = "*";
        if (!Measure(fromDir, fromName, found, from, 0, ~std::uint64_t{0}, sizes))
            return false;
        if (!sizes.changed)
            ++m_report.unchanged;
        return sizes.changed;
    }
    name = (hidden ? "." : "") + NewTemporaryName(forName);
    made = dir.CreateEntry(name);
    if (made == INVALID_HANDLE_VALUE) {
        Fail(path, "cannot create a temporary file " + dir.PathOf(name), GetLastError());
        return false;
    }
    FILE *in = SeekFile(from, 0) ? OpenHandleStream(from, "rb") : nullptr;
    FILE *out = in != nullptr ? OpenHandleStream(made, "wb") : nullptr;
    bool ok = out != nullptr && ConvertGuarded(Converter(), in, out) != 0;
    DWORD error = GetLastError();
    if (out != nullptr && std::fclose(out) != 0 && ok) {
        ok = false;
        error = GetLastError();
    }
    if (in != nullptr)
        std::fclose(in);
    bool same = ok && SameBytes(from, made);
    bool measured = ok && !same && Sizes(made, sizes.size, sizes.crlfSize);
    if (!measured) {
        if (ok && !same)
            error = GetLastError();
        CloseHandle(made);
        made = INVALID_HANDLE_VALUE;
        dir.DeleteEntry(name);
        if (same)
            ++m_report.unchanged;
        else if (ok)
            Fail(path, "cannot read " + dir.PathOf(name), error);
        else
            Fail(path, "cannot convert", error);
        return false;
    }
    sizes.changed = true;
    KeepFileMetadata(from, made);
    return true;
}

void CStoreContext::Replace(const IStore &store, SNewFile file, std::uint64_t bytes, const std::string &would)
{
    if (std::find(m_batchStores.begin(), m_batchStores.end(), &store) == m_batchStores.end())
        m_batchStores.push_back(&store);
    if (Checking()) {
        Tell(ETreeEvent::WOULD, file.targetDir->PathOf(file.replaced.empty() ? file.target : file.replaced), would);
        m_would.push_back({file.targetDir->PathOf(file.replaced.empty() ? file.target : file.replaced), true, false,
                           "", 0, file.change, file.quota, !file.replaced.empty()});
        m_wouldBytes += bytes;
    } else {
        m_batch.Add(std::move(file), bytes);
    }
}

bool CStoreContext::BatchFull() const
{
    return m_batch.Full() || m_would.size() >= CRewriteBatch::FILES || m_wouldBytes >= CRewriteBatch::BYTES;
}

void CStoreContext::FlushBatchIfFull()
{
    if (BatchFull())
        FlushBatch();
}

std::size_t CStoreContext::DiscardBatch()
{
    // What a check would have replaced is no longer told as though it would be.
    std::size_t n = m_would.size();
    auto waiting = [this](const STreeEvent &e) {
        return e.kind == ETreeEvent::WOULD &&
               std::any_of(m_would.begin(), m_would.end(), [&e](const SReplaced &r) { return r.target == e.path; });
    };
    m_report.events.erase(std::remove_if(m_report.events.begin(), m_report.events.end(), waiting),
                          m_report.events.end());
    m_batch.Discard();
    m_would.clear();
    m_wouldBytes = 0;
    return n;
}

void CStoreContext::FlushBatch()
{
    std::vector<std::pair<std::string, DWORD>> unflushed;
    // A check replaces nothing: what it would replace is taken as replaced.
    std::vector<SReplaced> done = Checking() ? std::move(m_would) : m_batch.Flush(unflushed);
    m_would.clear();
    m_wouldBytes = 0;
    std::vector<const IStore *> stores;
    stores.swap(m_batchStores);
    for (const IStore *store : stores)
        store->Flushed(*this, done);
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
