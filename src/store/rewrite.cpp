// Files written anew in batches (rewrite.h).
#include "rewrite.h"

#include <algorithm>

CRewriteBatch::~CRewriteBatch()
{
    Discard();
}

void CRewriteBatch::Discard()
{
    for (const SNewFile &file : m_files) {
        CloseHandle(file.held);
        file.tempDir->DeleteEntry(file.temp);
    }
    m_files.clear();
    m_bytes = 0;
}

void CRewriteBatch::Add(SNewFile file, std::uint64_t bytes)
{
    m_files.push_back(std::move(file));
    m_bytes += bytes;
}

namespace {

// Gives file its new name beside the old one, then deletes the old: a second name first,
// where the file system has links, so that the temporary file stays to tell the next run of
// the pair should this run stop between the two.
void Rename(const SNewFile &file, SReplaced &result)
{
    const CHeldDirectory &dir = *file.targetDir;
    bool linked = false;
    if (!dir.Holds(file.replaced)) {
        result.gone = true;
    } else if ((linked = dir.LinkHere(*file.tempDir, file.temp, file.target)) ||
               (GetLastError() == ERROR_NOT_SUPPORTED && dir.MoveHere(*file.tempDir, file.temp, file.target))) {
        if (dir.DeleteEntry(file.replaced)) {
            result.replaced = true;
        } else {
            // Renamed or deleted meanwhile by a mail program, or kept: the message stays once.
            result.error = GetLastError();
            result.gone = result.error == ERROR_FILE_NOT_FOUND;
            result.what = "cannot delete its old name";
            dir.DeleteEntry(file.target);
        }
    } else {
        result.error = GetLastError();
        result.what = "cannot give it its new name " + dir.PathOf(file.target);
    }
    if (linked || !result.replaced)
        file.tempDir->DeleteEntry(file.temp);
}

}  // namespace

std::vector<SReplaced> CRewriteBatch::Flush(std::vector<std::pair<std::string, DWORD>> &flushFailed)
{
    std::vector<SReplaced> done;
    if (m_files.empty())
        return done;
    std::vector<HANDLE> handles(m_files.size());
    std::transform(m_files.begin(), m_files.end(), handles.begin(), [](const SNewFile &f) { return f.held; });
    bool flushed = FlushFiles(handles.data(), handles.size());
    DWORD flushError = flushed ? 0 : GetLastError();
    std::vector<const CHeldDirectory *> changed;
    for (const SNewFile &file : m_files) {
        SReplaced result = {file.targetDir->PathOf(file.replaced.empty() ? file.target : file.replaced),
                            false, false, "", 0, file.change, file.quota, !file.replaced.empty()};
        bool closed = CloseHandle(file.held) != 0;
        if (!flushed || !closed) {
            result.error = flushed ? GetLastError() : flushError;
            file.tempDir->DeleteEntry(file.temp);
            result.what = "cannot write " + file.tempDir->PathOf(file.temp);
        } else if (!file.replaced.empty()) {
            Rename(file, result);
        } else if (!file.targetDir->Replace(*file.tempDir, file.temp, file.target)) {
            result.error = GetLastError();
            result.gone = result.error == ERROR_FILE_NOT_FOUND || result.error == ERROR_PATH_NOT_FOUND;
            result.what = "cannot replace it with " + file.tempDir->PathOf(file.temp);
            file.tempDir->DeleteEntry(file.temp);
        } else {
            result.replaced = true;
        }
        if (result.replaced && std::find(changed.begin(), changed.end(), file.targetDir.get()) == changed.end())
            changed.push_back(file.targetDir.get());
        done.push_back(std::move(result));
    }
    for (const CHeldDirectory *dir : changed) {
        if (!dir->Flush())
            flushFailed.emplace_back(dir->Path(), GetLastError());
    }
    m_files.clear();
    m_bytes = 0;
    return done;
}
