// Profile-string (INI) files with the Windows semantics the callers rely on.
#pragma once

#include <cstddef>
#include <string>

#include "base/text.h"

namespace plat {

// Reads [section] key from file; missing file/section/key gives def.
// Names compare without ASCII case; values are trimmed, one pair of
// enclosing quotes is removed and the result is cut to bufferUnits - 1
// units (the 1,024-unit buffer of the callers gives 1,023).
// The file is read as UTF-16LE after FF FE, else UTF-8 (a mark is
// skipped), else code page 936 when it is not valid UTF-8.
WString GetProfileString(const WString& section, const WString& key, const WString& def, const WString& file,
                         size_t bufferUnits = 1024);

// Replaces the key's line in place or appends it (and its section), keeps
// every other line byte for byte and the file's encoding, and replaces the
// file atomically (temporary file beside it, fsync, rename). A missing file
// is created as UTF-8. Writers in any process are serialised, so
// concurrent writes of different keys all survive. False when the file
// cannot be written (missing directory, read-only file) or when a name or
// the value holds a line break (it would forge other lines).
bool WriteProfileString(const WString& section, const WString& key, const WString& value, const WString& file);

// Replaces the whole file as the profile writer does (temporary file
// beside it, fsync, rename, fsync of the folder); an existing file keeps
// its permission bits, a new one gets 0644.
bool ReplaceFileContents(const WString& file, const std::string& data);

// False for what would not read back as written: an empty or blank name,
// a line break anywhere, "=" in the key or a key starting "[" or ";", "]"
// in the section.
bool IsWritableProfileEntry(const WString& section, const WString& key, const WString& value);

}  // namespace plat
