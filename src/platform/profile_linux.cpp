#include "platform/profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace plat {
namespace {

enum class Enc { Utf16le, Utf8, Cp936 };

// One line of the file as it is stored: its bytes without the line end,
// the line end bytes (empty for a last line without one) and its text.
struct Line {
  std::string raw;
  std::string eol;
  WString text;
};

struct IniFile {
  Enc enc = Enc::Utf8;
  std::string mark;  // byte-order mark kept in front
  std::vector<Line> lines;
};

enum class Kind { Blank, Comment, Section, Key };

struct Entry {
  Kind kind = Kind::Blank;
  WString name;
  WString value;  // keys only, trimmed, quotes still on
};

// Bytes that do not decode still have to be compared and kept; show each
// byte as one unit so ASCII names on such a line still match.
WString Lossy(const std::string& raw) {
  WString w;
  for (unsigned char c : raw) w.push_back((char16_t)c);
  return w;
}

WString Decode(Enc enc, const std::string& raw) {
  if (raw.empty()) return WString();
  WString w;
  switch (enc) {
    case Enc::Utf16le: return WideFromUtf16le(raw.data(), raw.size());
    case Enc::Utf8: w = WideFromUtf8(raw); break;
    case Enc::Cp936: w = WideFromGbk(raw); break;
  }
  return w.empty() ? Lossy(raw) : w;
}

bool Encode(Enc enc, const WString& text, std::string& out) {
  switch (enc) {
    case Enc::Utf16le: out = Utf16leFromWide(text); return true;
    case Enc::Utf8: out = Utf8FromWide(text); break;
    case Enc::Cp936: out = GbkFromWide(text); break;  // '?' where 936 has no form, as Windows does
  }
  return !out.empty() || text.empty();
}

bool IsValidUtf8(const std::string& s) { return s.empty() || !WideFromUtf8(s).empty(); }

void Parse(const std::string& bytes, IniFile& ini) {
  ini = IniFile();
  size_t pos = 0;
  const TextBom bom = SniffBom(bytes, pos);
  ini.mark = bytes.substr(0, pos);
  if (bom == TextBom::Utf16le)
    ini.enc = Enc::Utf16le;
  else if (bom == TextBom::Utf8)
    ini.enc = Enc::Utf8;
  else
    ini.enc = IsValidUtf8(bytes) ? Enc::Utf8 : Enc::Cp936;

  const size_t unit = ini.enc == Enc::Utf16le ? 2 : 1;
  const size_t end = bytes.size() - (bytes.size() - pos) % unit;  // a stray odd byte of UTF-16 is dropped
  auto at = [&](size_t i) -> unsigned {
    return unit == 1 ? (unsigned char)bytes[i] : ((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8));
  };
  while (pos < end) {
    size_t i = pos;
    while (i < end && at(i) != '\r' && at(i) != '\n') i += unit;
    Line line;
    line.raw = bytes.substr(pos, i - pos);
    size_t next = i;
    if (i < end) {
      next = i + unit;
      if (at(i) == '\r' && next < end && at(next) == '\n') next += unit;
    }
    line.eol = bytes.substr(i, next - i);
    line.text = Decode(ini.enc, line.raw);
    ini.lines.push_back(std::move(line));
    pos = next;
  }
}

Entry Classify(const WString& text) {
  Entry e;
  WString t = WTrim(text);
  if (t.empty()) return e;
  if (t[0] == u';') {
    e.kind = Kind::Comment;
    return e;
  }
  if (t[0] == u'[') {
    size_t close = t.find(u']');
    if (close != WString::npos) {
      e.kind = Kind::Section;
      e.name = WTrim(t.substr(1, close - 1));
      return e;
    }
  }
  e.kind = Kind::Key;
  size_t eq = t.find(u'=');
  if (eq == WString::npos) {
    e.name = t;  // a bare name is a key with an empty value
  } else {
    e.name = WTrim(t.substr(0, eq));
    e.value = WTrim(t.substr(eq + 1));
  }
  return e;
}

// Index of the first section header with that name, or -1.
long FindSection(const IniFile& ini, const WString& section) {
  for (size_t i = 0; i < ini.lines.size(); ++i) {
    Entry e = Classify(ini.lines[i].text);
    if (e.kind == Kind::Section && WEqualsNoCase(e.name, section)) return (long)i;
  }
  return -1;
}

// Walks the lines of the section that starts at header; returns the index
// one past its last line.
size_t SectionEnd(const IniFile& ini, size_t header) {
  size_t i = header + 1;
  while (i < ini.lines.size() && Classify(ini.lines[i].text).kind != Kind::Section) ++i;
  return i;
}

long FindKey(const IniFile& ini, size_t header, const WString& key, Entry* found) {
  size_t end = SectionEnd(ini, header);
  for (size_t i = header + 1; i < end; ++i) {
    Entry e = Classify(ini.lines[i].text);
    if (e.kind == Kind::Key && WEqualsNoCase(e.name, key)) {
      if (found) *found = e;
      return (long)i;
    }
  }
  return -1;
}

bool ReadAll(int fd, std::string& out) {
  out.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out.append(buf, (size_t)n);
  }
}

bool WriteAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    off += (size_t)n;
  }
  return true;
}

std::string DirOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a write must replace: through a symbolic link to its target,
// so the link itself survives.
std::string ResolveTarget(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char buf[PATH_MAX];
  if (!realpath(path.c_str(), buf)) return path;
  return buf;
}

// Opens the file (creating it when missing) and holds an exclusive lock on
// exactly the inode the name points to. A writer that waited while another
// renamed a new file in place finds the old inode and tries again.
int LockCurrent(const std::string& path) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    int r;
    do r = flock(fd, LOCK_EX);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
      close(fd);
      return -1;
    }
    struct stat held, named;
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino)
      return fd;
    close(fd);
  }
  errno = EAGAIN;
  return -1;
}

bool ReplaceFile(const std::string& path, const std::string& data, mode_t mode) {
  std::string dir = DirOf(path);
  std::string base = path.substr(path.find_last_of('/') + 1);
  std::string tmpl = (dir == "/" ? "" : dir) + "/." + base + ".tmpXXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  // Replacing by rename is intended here: the profile file is rewritten as a whole.
  if (ok && rename(name.data(), path.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(name.data());
    return false;
  }
  // The new name is on the disk only with its folder.
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return false;
  ok = fsync(dfd) == 0;
  close(dfd);
  return ok;
}

}  // namespace

bool ReplaceFileContents(const WString& file, const std::string& data) {
  std::string path = NativePathUnchecked(file);
  if (path.empty()) return false;
  struct stat st;
  return ReplaceFile(path, data, stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0644);
}

WString GetProfileString(const WString& section, const WString& key, const WString& def, const WString& file,
                         size_t bufferUnits) {
  if (section.empty() || key.empty() || file.empty() || bufferUnits == 0) return def;
  std::string path = NativePathUnchecked(file);
  if (path.empty()) return def;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return def;
  std::string bytes;
  bool ok = ReadAll(fd, bytes);
  close(fd);
  if (!ok) return def;

  IniFile ini;
  Parse(bytes, ini);
  long header = FindSection(ini, section);
  if (header < 0) return def;
  Entry e;
  if (FindKey(ini, (size_t)header, key, &e) < 0) return def;

  WString v = e.value;
  if (v.size() >= 2 && (v[0] == u'"' || v[0] == u'\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
  if (v.size() > bufferUnits - 1) {
    v.resize(bufferUnits - 1);
    // Never hand out half of a surrogate pair: it would not convert.
    if (!v.empty() && v.back() >= 0xD800 && v.back() <= 0xDBFF) v.pop_back();
  }
  return v;
}

bool WriteProfileString(const WString& section, const WString& key, const WString& value, const WString& file) {
  if (file.empty() || !IsWritableProfileEntry(section, key, value)) return false;

  std::string path = NativePathUnchecked(file);
  if (path.empty()) return false;
  path = ResolveTarget(path);

  int lock = LockCurrent(path);
  if (lock < 0) return false;
  struct stat st;
  std::string bytes;
  bool ok = fstat(lock, &st) == 0 && S_ISREG(st.st_mode) && ReadAll(lock, bytes);
  // A read-only file is refused, as Windows refuses it.
  if (ok && !(st.st_mode & S_IWUSR)) ok = false;
  if (!ok) {
    close(lock);
    return false;
  }

  IniFile ini;
  Parse(bytes, ini);
  // New lines end as the file's lines end; a new file gets CR LF as Windows writes it.
  WString eolText = u"\r\n";
  for (const Line& l : ini.lines)
    if (!l.eol.empty()) {
      eolText = ini.enc == Enc::Utf16le ? WideFromUtf16le(l.eol.data(), l.eol.size()) : W(l.eol.c_str());
      break;
    }

  auto makeLine = [&](const WString& text, Line& line) {
    line.text = text;
    line.eol.clear();
    return Encode(ini.enc, text, line.raw) && Encode(ini.enc, eolText, line.eol);
  };
  // The line before an insertion point must end, or the new line joins it.
  auto terminate = [&](size_t index) {
    if (index < ini.lines.size() && ini.lines[index].eol.empty()) Encode(ini.enc, eolText, ini.lines[index].eol);
  };

  Line line;
  long header = FindSection(ini, section);
  if (header >= 0) {
    Entry e;
    long at = FindKey(ini, (size_t)header, key, &e);
    if (at >= 0) {
      ok = makeLine(e.name + u"=" + value, line);
      line.eol = ini.lines[(size_t)at].eol;
      ini.lines[(size_t)at] = line;
    } else {
      size_t end = SectionEnd(ini, (size_t)header);
      size_t last = (size_t)header;
      for (size_t i = header + 1; i < end; ++i)
        if (Classify(ini.lines[i].text).kind != Kind::Blank) last = i;
      ok = makeLine(key + u"=" + value, line);
      terminate(last);
      ini.lines.insert(ini.lines.begin() + (long)last + 1, line);
    }
  } else {
    if (!ini.lines.empty()) {
      terminate(ini.lines.size() - 1);
      if (Classify(ini.lines.back().text).kind != Kind::Blank) {
        Line blank;
        ok = makeLine(WString(), blank);
        ini.lines.push_back(blank);
      }
    }
    Line head;
    ok = ok && makeLine(u"[" + section + u"]", head) && makeLine(key + u"=" + value, line);
    ini.lines.push_back(head);
    ini.lines.push_back(line);
  }

  if (ok) {
    std::string out = ini.mark;
    for (const Line& l : ini.lines) {
      out += l.raw;
      out += l.eol;
    }
    ok = ReplaceFile(path, out, st.st_mode & 07777);
  }
  close(lock);  // releases the lock only once the new file is in place
  return ok;
}

}  // namespace plat
