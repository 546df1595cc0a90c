#pragma once

#include "FileSystem.h"
#include "Path.h"

// True when `path` names an existing directory.
bool DirectoryExists(const CPath& path, IFileSystem& fs = SystemFileSystem());

// Creates every missing directory of `path`, from its root outwards. False when a prefix
// neither exists as a directory nor can be created (directories made so far stay). Lets a
// CPathException(PATH_ERR_BAD_ROOT) from CPath::Append pass through.
bool CreateDirectoryTree(const CPath& path, IFileSystem& fs = SystemFileSystem());
