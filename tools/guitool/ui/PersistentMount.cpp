#include "PersistentMount.h"

#include "ControlPanelRules.h"
#include "Framework.h"

namespace {

// The registry takes a REG_SZ text with its terminating NUL.
LONG SetText(IRegistry& registry, HKEY key, LPCWSTR name, const WString& text) {
    return registry.RegSetValueExW(key, name, 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

} // namespace

void RecordPersistentMount(WCHAR letter, LPCWSTR imagePath, IRegistry& registry) {
    const PersistentMountRecord record =
        MakePersistentMountRecord(letter, imagePath != nullptr ? imagePath : L"");
    AfxMessageBox(record.driveText.c_str(), MB_OK);
    AfxMessageBox(record.imageText.c_str(), MB_OK);

    HKEY key = nullptr;
    if (registry.RegCreateKeyExW(HKEY_LOCAL_MACHINE, record.keyPath.c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                 nullptr) != ERROR_SUCCESS)
        return;
    AfxMessageBox(L"KELMOR Opened!", MB_OK);
    if (SetText(registry, key, L"DRIVE", record.driveText) != ERROR_SUCCESS)
        AfxMessageBox(L"Could not set DRIVE Value", MB_OK);
    if (SetText(registry, key, L"IMAGE", record.imageText) != ERROR_SUCCESS)
        AfxMessageBox(L"Could not set IMAGE Value", MB_OK);
    registry.RegCloseKey(key);
}
