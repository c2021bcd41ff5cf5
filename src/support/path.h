// Path, file and version helpers shared by every subsystem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "base/path_text.h"
#include "base/text.h"

// mkdir with parents; an existing directory is success, "" is not.
bool MakeDirectoryTree(const WString& dir);
WString GetSelfPath();
WString GetSelfDir();
// Size in bytes, -1 when the file cannot be opened or is not a regular file.
// Like every reader below, it refuses a path that code page 936 cannot hold.
int64_t GetFileSizeByPath(const WString& path);
// The file from its start to its end, in pieces of at most pieceSize bytes;
// fn returns false to stop. True when every piece was read and taken.
bool ReadFileInPieces(const WString& path, size_t pieceSize, const std::function<bool(const char*, size_t)>& fn);
// The file as fgets with a buffer of bufferSize bytes reads it: each line
// with its "\n", a longer one in several pieces, each handed to fn as a C
// string; fn returns false to stop. False only when it cannot be opened.
bool ReadFileLines(const WString& path, size_t bufferSize, const std::function<bool(const char*)>& fn);
void ClearReadOnly(const WString& path);
// The product version compiled in, "%d.%d.%d.%d".
WString GetSelfVersion();
