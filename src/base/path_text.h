// Path helpers that work on the text alone: nothing is looked up on disk.
#pragma once

#include "base/text.h"

// Every "\" turned into "/", cut before the last "/"; "" if there is none.
WString GetParentDir(const WString& path);
// The path with "\" as "/", repeated separators merged and "." and ".."
// folded by the text alone: links are not followed, so a linked folder of
// the installation counts as part of it.
WString FoldPath(const WString& path);
// True when path, folded, names something strictly below root, folded.
bool IsPathBelow(const WString& path, const WString& root);
