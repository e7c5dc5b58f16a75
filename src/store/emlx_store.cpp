// The .emlx store (store.h): Apple Mail's file of one message, its byte count rewritten and its
// property list kept, written beside it under a name that starts with a dot and renamed over
// it in the batch.
#include "emlx.h"
#include "store.h"
#include "temporary_names.h"

namespace {

class CEmlxStore : public IStore {
public:
    const char *Name() const override { return ".emlx"; }
    bool Recognises(const SStorePlace &place) const override
    {
        return place.entry != nullptr && EndsWithNoCase(place.entry->name, ".emlx");
    }
    bool Tidy(CStoreContext &context, const SStorePlace &place) const override;
    bool Convert(CStoreContext &context, const SStorePlace &place) const override;
};

// As the maildir's tidying: one put in place where the file it was made for is not there and
// the file system renames in two steps, deleted otherwise.
bool CEmlxStore::Tidy(CStoreContext &context, const SStorePlace &place) const
{
    const std::string &name = place.entry->name;
    std::string forName;
    if (name[0] != '.' || !IsOurTemporary(name.substr(1), &forName))
        return false;
    if (!context.Converting() || IsOfRunningProcess(name.substr(1)))
        return true;
    const CHeldDirectory &dir = *place.dir;
    if (!forName.empty() && !dir.RenamesAtomically() && !dir.Holds(forName)) {
        context.PutInPlace(dir, forName, dir, name, "cannot put this file of a run that was stopped in place as ");
        return true;
    }
    if (context.Checking())
        context.Tell(ETreeEvent::WOULD, dir.PathOf(name),
                     "would be deleted: a temporary file left by a run that was stopped");
    else if (dir.DeleteEntry(name))
        context.Tell(ETreeEvent::NOTICE, dir.PathOf(name), "deleted: a temporary file left by a run that was stopped");
    else if (!IsGoneError(GetLastError()))
        context.Tell(ETreeEvent::WARNING, dir.PathOf(name), "cannot delete this file left by a run that was stopped",
                     GetLastError());
    return true;
}

bool CEmlxStore::Convert(CStoreContext &context, const SStorePlace &place) const
{
    const PDirectory &dir = place.dir;
    const std::string &name = place.entry->name;
    const SFileIdentity *id = &place.entry->id;
    std::string path = dir->PathOf(name);
    HANDLE held = context.OpenFound(*dir, name, id);
    if (held == INVALID_HANDLE_VALUE)
        return true;
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
        context.FlushBatchIfFull();
        return true;
    };
    char headBytes[EMLX_HEAD_BYTES];
    long long n = ReadSome(held, headBytes, sizeof headBytes);
    SFileIdentity size;
    if (n < 0 || !GetFileIdentity(held, &size)) {
        context.Fail(path, "cannot read", GetLastError());
        return done();
    }
    std::string_view head(headBytes, static_cast<std::size_t>(n));
    SEmlxLayout layout;
    if (!ReadEmlxLayout(head, layout)) {
        context.Tell(ETreeEvent::WARNING, path, "skipped: no byte count on its first line, as an .emlx file has");
        context.Skip("not an .emlx");
        return done();
    }
    std::uint64_t room = size.size - layout.messageStart;
    if (layout.count > room) {
        context.Tell(ETreeEvent::WARNING, path,
                     "skipped: its byte count, " + std::to_string(layout.count) +
                         ", runs past its end (a message of " + std::to_string(room) + " bytes at most)");
        context.Skip("byte count past the end");
        return done();
    }
    ++context.Report().mails;
    std::uint64_t end = layout.messageStart + layout.count;
    char after[64];
    long long tail = SeekFile(held, end) ? ReadSome(held, after, sizeof after) : -1;
    if (tail >= 0 && !StartsPropertyList(std::string_view(after, static_cast<std::size_t>(tail))))
        context.Tell(ETreeEvent::WARNING, path,
                     "its byte count, " + std::to_string(layout.count) +
                         ", does not end where its property list starts: the message is converted as the count says");
    CWorkSniffer sniffer;
    if (!SniffRange(held, layout.messageStart, layout.count, sniffer)) {
        context.Fail(path, "cannot read", GetLastError());
        return done();
    }
    if (!sniffer.Found()) {
        ++context.Report().unchanged;
        return done();
    }
    std::string would = "would be converted, its message of " + std::to_string(layout.count) + " bytes to ";
    if (context.Checking()) {
        // The message lies within the file: a check converts that much of it into nowhere.
        SMeasured measured;
        if (!context.Measure(*dir, name, id, held, layout.messageStart, layout.count, measured)) {
        } else if (!measured.changed) {
            ++context.Report().unchanged;
        } else {
            context.Replace(*this, {INVALID_HANDLE_VALUE, dir, "", dir, name, "", 0, nullptr},
                            size.size - layout.count + measured.size,
                            would + std::to_string(measured.size) + ", and the count on its first line with it");
        }
        return done();
    }
    // The message alone, converted, then the file anew: its count, the converted message
    // and what followed the message, as it was.  Each beside it, under a name that starts
    // with a dot, which Apple Mail passes over.
    message.name = "." + NewTemporaryName("");
    message.handle = dir->CreateEntry(message.name);
    if (message.handle == INVALID_HANDLE_VALUE ||
        !CopyRange(held, layout.messageStart, layout.count, message.handle)) {
        context.Fail(path, "cannot write " + dir->PathOf(message.name), GetLastError());
        return done();
    }
    HANDLE made;
    SMeasured convertedSize;
    if (!context.ConvertInto(message.handle, *dir, name, id, *dir, "", true, made, converted.name, convertedSize))
        return done();
    converted.handle = made;
    std::string whole = "." + NewTemporaryName(name);
    HANDLE file = dir->CreateEntry(whole);
    bool ok = file != INVALID_HANDLE_VALUE;
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
        context.Fail(path, "cannot write " + dir->PathOf(whole), error);
        return done();
    }
    KeepFileMetadata(held, file);
    SFileIdentity wholeSize;
    context.Replace(*this, {file, dir, whole, dir, name, "", 0, nullptr},
                    GetFileIdentity(file, &wholeSize) ? wholeSize.size : 0, "");
    return done();
}

}  // namespace

const IStore &EmlxStore()
{
    static const CEmlxStore store;
    return store;
}
