#pragma once

// Makes Wine see a drive letter of the virtual CD-ROM driver as a CD-ROM drive.
//
// Wine types a letter that a kernel driver links (\??\X:) as DRIVE_NO_ROOT_DIR, so a program
// that lists CD-ROM drives with GetDriveTypeA would not offer it. Wine's mount manager takes
// an extension request that defines a letter's type: defined after the driver has linked its
// drive, with neither a mount point nor a Unix device, GetDriveTypeA answers DRIVE_CDROM while
// \\.\X: still opens the driver's device (measured under Wine 8). This belongs to the test rig
// only; on Windows the letter is a CD-ROM drive by itself.

#include <windows.h>

#include <string>

// True when this process runs under Wine.
bool RunningOnWine();

// Defines `letter` as a CD-ROM drive in Wine's mount manager unless the mount manager knows
// the letter already (defining such a letter would replace the driver's link with the mount
// manager's own). False with the reason in `error`. Does nothing on Windows.
bool DefineWineCdromLetter(wchar_t letter, std::string& error);
// Takes the definition back (after the driver's drive is gone).
bool UndefineWineCdromLetter(wchar_t letter, std::string& error);
