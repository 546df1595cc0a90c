#include "ControlPanelRules.h"

namespace {

WString Text(const char* ascii) {
    WString text;
    for (; *ascii != 0; ++ascii)
        text.push_back(static_cast<WCHAR>(*ascii));
    return text;
}

} // namespace

ServiceButtons ServiceButtonsFor(bool serviceHeld, DWORD state) {
    ServiceButtons buttons{};
    buttons.install = !serviceHeld;
    buttons.remove = serviceHeld;
    buttons.start = serviceHeld && state == kServiceStopped;
    buttons.stop = serviceHeld && state == kServiceRunning;
    return buttons;
}

WString MappedImageText(bool answered, const IMAGE_INFO& info, const WString& prefix,
                        const WString& none) {
    if (!answered)
        return prefix;
    const WString path(info.ImagePath, info.ImagePath + ImagePathUnits(info));
    if (info.Mounted != 0)
        return path;
    if (info.ImagePathLength == 0)
        return prefix + none;
    return prefix + path;
}

WCHAR UpperDriveLetter(WCHAR letter) {
    if (letter >= 'a' && letter <= 'z')
        return static_cast<WCHAR>(letter - 'a' + 'A');
    return letter;
}

PersistentMountRecord MakePersistentMountRecord(WCHAR letter, const WString& imagePath) {
    const WCHAR upper = UpperDriveLetter(letter);
    PersistentMountRecord record;
    record.keyPath = Text("System\\CurrentControlSet\\Services\\kelmor\\Parameters\\Device");
    record.keyPath.push_back(upper);
    record.driveText.push_back(upper);
    record.driveText.push_back(':');
    record.imageText = Text("\\??\\") + imagePath;
    return record;
}
