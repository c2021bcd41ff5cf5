// Path, file and version helpers shared by every subsystem.
#pragma once

#include <cstdint>

#include "base/path_text.h"
#include "base/text.h"

// mkdir with parents; an existing directory is success, "" is not.
bool MakeDirectoryTree(const WString& dir);
WString GetSelfPath();
WString GetSelfDir();
// Size in bytes, -1 when the file cannot be opened or is not a regular file.
int64_t GetFileSizeByPath(const WString& path);
void ClearReadOnly(const WString& path);
// The product version compiled in, "%d.%d.%d.%d".
WString GetSelfVersion();
