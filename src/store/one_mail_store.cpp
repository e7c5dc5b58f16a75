// The store of a file of one mail (a .eml, a message saved on its own): converted by the
// folder job as a folder of one, its first line a header field where a folder's is "From ".
#include "mail.h"
#include "mbox_store.h"

namespace {

class COneMailStore : public CMboxStore {
public:
    const char *Name() const override { return "file of one mail"; }
    bool Recognises(const SStorePlace &place) const override { return StartsWithField(place.head); }
};

}  // namespace

const IStore &OneMailStore()
{
    static const COneMailStore store;
    return store;
}
