// The store of a file of mail that the journaled job converts in place: an mbox folder, and
// the file of one mail that is converted as a folder of one.
#pragma once

#include "store.h"

class CMboxStore : public IStore {
public:
    const char *Name() const override { return "mbox folder"; }
    // A file whose first line is a "From " line.
    bool Recognises(const SStorePlace &place) const override;
    // Through the journaled job, its summaries (Thunderbird's FILE.msf and FILE.snm,
    // Dovecot's cache of it) deleted after it, for their programs to rebuild; in a check, a
    // conversion into nowhere, and what the job would complete or tidy.
    bool Convert(CStoreContext &context, const SStorePlace &place) const override;

protected:
    ~CMboxStore() = default;

private:
    void Look(CStoreContext &context, const SStorePlace &place, bool mayChange,
              const std::shared_ptr<const SFolderLook> &look) const;
};
