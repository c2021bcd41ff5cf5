// Helpers shared by the Windows sources of this layer. No <windows.h> here:
// its A/W macros would rename the layer's own functions.
#pragma once

#include <string>

#include "base/text.h"

namespace plat {

// A path for the wide Windows calls: "/" turned into "\".
std::wstring WinPath(const WString& path);
WString FromWin(const std::wstring& s);
// Remembers the calling thread's last Windows error as an errno value for
// LastErrno; returns false.
bool FailWin();

}  // namespace plat
