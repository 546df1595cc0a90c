#pragma once

// The persistent-mount record: after a successful mount with "Persistent mount" ticked, the
// drive and the image are written under the driver's service key, where the driver finds them
// when it starts. Nothing in the control panel reads or removes the record.

#include "Registry.h"

// Writes HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\kelmor\Parameters\Device<L> with
// the REG_SZ values DRIVE ("<L>:") and IMAGE ("\??\" and `imagePath`), L being `letter`
// upper-cased. Shows the drive text, the image text and, once the key is open,
// "KELMOR Opened!"; a value that cannot be written is reported, the other still written.
void RecordPersistentMount(WCHAR letter, LPCWSTR imagePath, IRegistry& registry = SystemRegistry());
