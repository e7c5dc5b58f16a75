// Message map lookup.
#include "msgmap.h"

const AFX_MSGMAP *CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP *CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

const AFX_MSGMAP_ENTRY *CCmdTarget::FindMessageEntry(UINT nMessage, UINT nID) const
{
    for (const AFX_MSGMAP *pMap = GetMessageMap(); pMap != nullptr;
         pMap = pMap->pfnGetBaseMap != nullptr ? pMap->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY *pEntry = pMap->lpEntries; pEntry->pfnCall != nullptr;
             ++pEntry) {
            if (pEntry->nMessage == nMessage && (nMessage != WM_COMMAND || pEntry->nID == nID))
                return pEntry;
        }
    }
    return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID)
{
    const AFX_MSGMAP_ENTRY *pEntry = FindMessageEntry(WM_COMMAND, nID);
    if (pEntry == nullptr)
        return FALSE;
    pEntry->pfnCall(this, 0, 0);
    return TRUE;
}
