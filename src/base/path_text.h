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

// The separator the system writes paths with: "\" on Windows, "/" here.
#ifdef _WIN32
constexpr char16_t kPathSep = u'\\';
#else
constexpr char16_t kPathSep = u'/';
#endif
// path with every "/" and "\" as kPathSep: the suffixes the code spells
// with "/", and the separators of a record or list, as the system writes
// them.
WString NativeSeparators(WString path);
// From a root: "/..." here; "X:\...", "X:/..." or "\\server\..." on Windows.
bool IsAbsolutePath(const WString& path);
