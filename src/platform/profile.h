// Profile-string (INI) files with the Windows semantics the callers rely on.
#pragma once

#include "support/text.h"

namespace plat {

// Reads [section] key from file; missing file/section/key gives def.
// Names compare without ASCII case; values are trimmed, one pair of
// enclosing quotes is removed and the result is cut to 1,023 units.
WString GetProfileString(const WString& section, const WString& key, const WString& def, const WString& file);

// Replaces the key's line in place or appends it (and its section), keeps
// every other line and the file's encoding, and replaces the file
// atomically. A missing file is created as UTF-8.
bool WriteProfileString(const WString& section, const WString& key, const WString& value, const WString& file);

}  // namespace plat
