// SImapSecret's own members, for the account's tests where the protocol's code is not linked.
#include "imap_wire.h"

#include "front_end.h"

SImapSecret::~SImapSecret()
{
    Wipe();
}

void SImapSecret::Wipe()
{
    secret.resize(secret.capacity());
    if (!secret.empty())
        WipeMemory(&secret[0], secret.size());
    secret.clear();
}
