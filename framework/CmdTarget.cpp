#include "CmdTarget.h"

const CMessageMap* CCmdTarget::GetThisMessageMap() {
    static const CMessageMapEntry entries[] = {{0, 0, 0, nullptr}};
    static const CMessageMap map = {nullptr, entries};
    return &map;
}

const CMessageMapEntry* CCmdTarget::FindMessageEntry(UINT message, UINT code, UINT id) const {
    for (const CMessageMap* map = GetMessageMap(); map;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const CMessageMapEntry* e = map->lpEntries; e->pfn; ++e) {
            if (e->nMessage == message && e->nCode == code && e->nID == id)
                return e;
        }
    }
    return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, UINT nCode, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    const CMessageMapEntry* entry = FindMessageEntry(WM_COMMAND, nCode, nID);
    if (!entry)
        return FALSE;
    *pResult = entry->pfn(this, WM_COMMAND, wParam, lParam);
    return TRUE;
}
