// The updater's command line and the name every instance of one
// installation shares.
#pragma once

#include <cstdint>

#include "base/text.h"

namespace quillup {

// The argument text of the process: the arguments after the program path,
// joined by single blanks, as a Windows program receives them in one piece.
WString CommandLineFromArgs(int argc, const char* const* argv);

// Plain, case-sensitive substring search anywhere in the text.
bool HasSwitch(const WString& cmdLine, const WString& sw);

// The handle after "/msgwnd:": decimal digits up to the first non-digit,
// saturating at the largest 64-bit value. False when the switch is absent;
// a switch without digits gives true with 0.
bool ParseMsgWnd(const WString& cmdLine, uint64_t& handle);

// "/replace:" is looked for first, then "/replace2:". target is the rest
// of the text after the switch, double quotes trimmed from both ends;
// autoFlag is true for "/replace:". False when neither is present.
bool ParseReplace(const WString& cmdLine, WString& target, bool& autoFlag);

// Separators and colons become full stops, ASCII letters lower case, blanks
// trimmed, "~update~" appended: D:\Trade\App gives d..trade.app~update~.
WString InstanceNameFromRoot(const WString& rootDir);

}  // namespace quillup
