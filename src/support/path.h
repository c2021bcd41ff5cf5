// Path, file and version helpers shared by every subsystem.
#pragma once

#include <cstdint>

#include "support/text.h"

// mkdir with parents; an existing directory is success, "" is not.
bool MakeDirectoryTree(const WString& dir);
WString GetSelfPath();
WString GetSelfDir();
// Every "\" turned into "/", cut before the last "/"; "" if there is none.
WString GetParentDir(const WString& path);
// The path with "\" as "/", repeated separators merged and "." and ".."
// folded by the text alone: links are not followed, so a linked folder of
// the installation counts as part of it.
WString FoldPath(const WString& path);
// True when path, folded, names something strictly below root, folded.
bool IsPathBelow(const WString& path, const WString& root);
// Size in bytes, -1 when the file cannot be opened or is not a regular file.
int64_t GetFileSizeByPath(const WString& path);
void ClearReadOnly(const WString& path);
// The product version compiled in, "%d.%d.%d.%d".
WString GetSelfVersion();
