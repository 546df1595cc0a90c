#pragma once

// POSIX only: how the ripper's Windows-style paths map onto this file system.
//   - backslashes become slashes;
//   - "X:" at the start names the directory bound to drive letter X (BindDriveRoot); a path
//     on an unbound drive maps to nothing;
//   - "\\server\share" UNC paths map to nothing;
//   - a leading single backslash is the root of the file system, anything else is relative to
//     the current directory.
#include <string>

// Binds drive letter `letter` (either case) to `directory`; an empty directory unbinds it.
void BindDriveRoot(char letter, const std::string& directory);

// The POSIX path for a Windows-style one; false when it maps to nothing.
bool ToNativePath(const char* windowsPath, std::string& nativePath);
