#include "base/path_text.h"

#include <vector>

WString GetParentDir(const WString& path) {
  WString p = path;
  for (auto& c : p)
    if (c == u'\\') c = u'/';
  size_t pos = p.find_last_of(u'/');
  return pos == WString::npos ? WString() : p.substr(0, pos);
}

WString FoldPath(const WString& path) {
  const bool absolute = !path.empty() && (path[0] == u'/' || path[0] == u'\\');
  std::vector<WString> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(u"/\\", start);
    if (end == WString::npos) end = path.size();
    WString part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty() && parts.back() != u"..") parts.pop_back();
      else if (!absolute) parts.push_back(part);  // above the root of the tree: stays "/"
      continue;
    }
    parts.push_back(part);
  }
  WString out = absolute ? u"/" : u"";
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? u"/" : u"") + parts[i];
  return out.empty() ? u"." : out;
}

bool IsPathBelow(const WString& path, const WString& root) {
  if (path.empty() || root.empty()) return false;
  const WString p = FoldPath(path), r = FoldPath(root);
  if (r == u"/") return p.size() > 1 && p[0] == u'/';
  return p.size() > r.size() + 1 && p.compare(0, r.size(), r) == 0 && p[r.size()] == u'/';
}

WString NativeSeparators(WString path) {
  for (auto& c : path)
    if (c == u'/' || c == u'\\') c = kPathSep;
  return path;
}

bool IsAbsolutePath(const WString& path) {
#ifdef _WIN32
  if (path.size() >= 3 && path[1] == u':' && (path[2] == u'\\' || path[2] == u'/')) return true;
  return path.size() >= 2 && (path[0] == u'\\' || path[0] == u'/') && path[1] == path[0];
#else
  return !path.empty() && path[0] == u'/';
#endif
}
