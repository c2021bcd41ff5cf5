#include "serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "common.h"

namespace pack {
namespace {

std::mutex g_logLock;

struct Request {
  std::string method, target, version;
  std::string range;
  bool keepAlive = true;
};

bool SendAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= (size_t)n;
  }
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = (char)tolower((unsigned char)c);
  return s;
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return std::string();
  size_t b = s.find_last_not_of(" \t\r");
  return s.substr(a, b - a + 1);
}

// Reads one request head; false on close, time-out or a head over 16 KiB.
bool ReadHead(int fd, std::string& buffer, std::string& head) {
  for (;;) {
    size_t end = buffer.find("\r\n\r\n");
    if (end != std::string::npos) {
      head = buffer.substr(0, end);
      buffer.erase(0, end + 4);
      return true;
    }
    if (buffer.size() > 16384) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, 30000);
    if (r <= 0) return false;
    char tmp[4096];
    ssize_t n = recv(fd, tmp, sizeof tmp, 0);
    if (n <= 0) return false;
    buffer.append(tmp, (size_t)n);
  }
}

bool ParseHead(const std::string& head, Request& req) {
  size_t lineEnd = head.find("\r\n");
  std::string first = head.substr(0, lineEnd);
  size_t s1 = first.find(' '), s2 = first.rfind(' ');
  if (s1 == std::string::npos || s2 == s1) return false;
  req.method = first.substr(0, s1);
  req.target = first.substr(s1 + 1, s2 - s1 - 1);
  req.version = first.substr(s2 + 1);
  if (req.version != "HTTP/1.1" && req.version != "HTTP/1.0") return false;
  req.keepAlive = req.version == "HTTP/1.1";
  size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
  while (pos < head.size()) {
    size_t e = head.find("\r\n", pos);
    if (e == std::string::npos) e = head.size();
    std::string line = head.substr(pos, e - pos);
    pos = e + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = Lower(Trim(line.substr(0, colon)));
    std::string value = Trim(line.substr(colon + 1));
    if (name == "range") req.range = value;
    if (name == "connection") {
      std::string v = Lower(value);
      if (v.find("close") != std::string::npos) req.keepAlive = false;
      if (v.find("keep-alive") != std::string::npos) req.keepAlive = true;
    }
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The file a request names under the root, or "" when it names nothing
// there (no "..", no NUL, no hidden names).
std::string MapTarget(const std::string& root, const std::string& target) {
  std::string path = target.substr(0, target.find_first_of("?#"));
  if (path.empty() || path[0] != '/') return std::string();
  std::string decoded;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%') {
      if (i + 2 >= path.size()) return std::string();
      int h = HexValue(path[i + 1]), l = HexValue(path[i + 2]);
      if (h < 0 || l < 0) return std::string();
      decoded.push_back((char)(h * 16 + l));
      i += 2;
    } else {
      decoded.push_back(path[i]);
    }
  }
  if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos) return std::string();
  std::string clean;
  size_t pos = 0;
  while (pos < decoded.size()) {
    size_t e = decoded.find('/', pos);
    if (e == std::string::npos) e = decoded.size();
    std::string seg = decoded.substr(pos, e - pos);
    pos = e + 1;
    if (seg.empty()) continue;
    if (seg[0] == '.') return std::string();  // "..", "." and hidden files
    clean += "/" + seg;
  }
  return clean.empty() ? std::string() : root + clean;
}

// Symbolic links may point within the root, never out of it.
bool InsideRoot(const std::string& root, const std::string& path) {
  char* realRoot = realpath(root.c_str(), nullptr);
  char* realFile = realpath(path.c_str(), nullptr);
  bool inside = false;
  if (realRoot && realFile) {
    std::string r = realRoot, f = realFile;
    if (r.back() != '/') r += '/';
    inside = f.compare(0, r.size(), r) == 0;
  }
  free(realRoot);
  free(realFile);
  return inside;
}

// "bytes=a-b", "bytes=a-", "bytes=-n" against a file of the given size.
// 1: satisfiable range in [first, last]; 0: no usable range (send all);
// -1: unsatisfiable.
int ParseRange(const std::string& value, long long size, long long& first, long long& last) {
  if (value.compare(0, 6, "bytes=") != 0) return 0;
  std::string range = Trim(value.substr(6));
  if (range.find(',') != std::string::npos) return 0;  // several ranges: answer with the whole file
  size_t dash = range.find('-');
  if (dash == std::string::npos) return 0;
  std::string a = Trim(range.substr(0, dash)), b = Trim(range.substr(dash + 1));
  auto digits = [](const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos && s.size() < 19; };
  if (a.empty()) {
    if (!digits(b)) return 0;
    long long n = std::stoll(b);
    if (n == 0 || size == 0) return -1;
    first = n >= size ? 0 : size - n;
    last = size - 1;
    return 1;
  }
  if (!digits(a) || (!b.empty() && !digits(b))) return 0;
  first = std::stoll(a);
  last = b.empty() ? size - 1 : std::stoll(b);
  if (!b.empty() && last < first) return 0;
  if (first >= size) return -1;
  if (last >= size) last = size - 1;
  return 1;
}

std::string HttpDate(time_t t) {
  char buf[64];
  struct tm tmv;
  gmtime_r(&t, &tmv);
  strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tmv);
  return buf;
}

bool SendSimple(int fd, int code, const char* reason, bool keepAlive, const std::string& extra = std::string()) {
  std::string body = std::to_string(code) + " " + reason + "\n";
  std::string h = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n" + extra + (keepAlive ? "" : "Connection: close\r\n") + "\r\n" + body;
  return SendAll(fd, h.data(), h.size());
}

void LogRequest(const ServeOptions& opt, const Request& req, int code, long long bytes) {
  if (opt.quiet) return;
  std::lock_guard<std::mutex> lock(g_logLock);
  fprintf(stderr, "quillup-pack serve: %s %s -> %d (%lld bytes)\n", req.method.c_str(), req.target.c_str(), code, bytes);
}

const char* ContentType(const std::string& path) {
  auto ends = [&](const char* s) {
    size_t n = strlen(s);
    return path.size() >= n && path.compare(path.size() - n, n, s) == 0;
  };
  if (ends(".xml")) return "text/xml";
  if (ends(".zip")) return "application/zip";
  return "application/octet-stream";
}

// Answers one request; false when the connection must close.
bool Answer(int fd, const ServeOptions& opt, const Request& req) {
  bool head = req.method == "HEAD";
  std::string path = MapTarget(opt.rootDir, req.target);
  int file = path.empty() || !InsideRoot(opt.rootDir, path) ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (file >= 0 && (fstat(file, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(file);
    file = -1;
  }
  if (file < 0) {
    LogRequest(opt, req, 404, 0);
    return SendSimple(fd, 404, "Not Found", req.keepAlive) && req.keepAlive;
  }
  long long size = (long long)st.st_size, first = 0, last = size - 1;
  int range = req.range.empty() ? 0 : ParseRange(req.range, size, first, last);
  if (range < 0) {
    close(file);
    LogRequest(opt, req, 416, 0);
    return SendSimple(fd, 416, "Range Not Satisfiable", req.keepAlive,
                      "Content-Range: bytes */" + std::to_string(size) + "\r\n") && req.keepAlive;
  }
  if (range == 0) first = 0, last = size - 1;
  long long length = size == 0 ? 0 : last - first + 1;
  int code = range == 1 ? 206 : 200;
  std::string h = "HTTP/1.1 " + std::string(code == 206 ? "206 Partial Content" : "200 OK") + "\r\n";
  h += "Content-Type: " + std::string(ContentType(path)) + "\r\n";
  h += "Content-Length: " + std::to_string(length) + "\r\n";
  h += "Accept-Ranges: bytes\r\n";
  h += "Last-Modified: " + HttpDate(st.st_mtime) + "\r\n";
  if (code == 206) h += "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size) + "\r\n";
  if (!req.keepAlive) h += "Connection: close\r\n";
  h += "\r\n";
  bool ok = SendAll(fd, h.data(), h.size());
  long long sent = 0;
  if (ok && !head) {
    char buf[65536];
    long long left = length;
    off_t off = (off_t)first;
    while (ok && left > 0) {
      ssize_t n = pread(file, buf, (size_t)std::min<long long>(left, (long long)sizeof buf), off);
      if (n <= 0) {
        ok = false;  // the file shrank under us: cut the connection
        break;
      }
      ok = SendAll(fd, buf, (size_t)n);
      off += n;
      left -= n;
      sent += n;
    }
  }
  close(file);
  LogRequest(opt, req, code, sent);
  return ok && req.keepAlive;
}

void ServeConnection(int fd, ServeOptions opt) {
  std::string buffer, head;
  while (ReadHead(fd, buffer, head)) {
    Request req;
    if (!ParseHead(head, req)) {
      SendSimple(fd, 400, "Bad Request", false);
      break;
    }
    // Other methods get 405 before their body is looked at; the body is
    // not read, so the connection closes.
    if (req.method != "GET" && req.method != "HEAD") {
      LogRequest(opt, req, 405, 0);
      SendSimple(fd, 405, "Method Not Allowed", false, "Allow: GET, HEAD\r\n");
      break;
    }
    // Request bodies are not expected; a GET with one is refused.
    if (Lower(head).find("\r\ncontent-length:") != std::string::npos ||
        Lower(head).find("\r\ntransfer-encoding:") != std::string::npos) {
      SendSimple(fd, 400, "Bad Request", false);
      break;
    }
    if (!Answer(fd, opt, req)) break;
  }
  close(fd);
}

}  // namespace

int Serve(const ServeOptions& opt) {
  struct stat st;
  if (stat(opt.rootDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw Error(opt.rootDir + " is not a directory");
  if (opt.port < 0 || opt.port > 65535) throw Error("port " + std::to_string(opt.port) + " is out of range");
  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ls < 0) throw Error("cannot create a socket: " + ErrnoText());
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)opt.port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never beyond this machine
  if (bind(ls, (sockaddr*)&addr, sizeof addr) != 0 || listen(ls, 64) != 0) {
    std::string why = ErrnoText();
    close(ls);
    throw Error("cannot listen on 127.0.0.1:" + std::to_string(opt.port) + ": " + why);
  }
  socklen_t len = sizeof addr;
  getsockname(ls, (sockaddr*)&addr, &len);
  int port = ntohs(addr.sin_port);
  if (!opt.portFile.empty()) {
    std::string tmp = opt.portFile + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    bool ok = f && fprintf(f, "%d\n", port) > 0;
    if (f && fclose(f) != 0) ok = false;
    // Renamed into place so that a reader never sees a half-written number.
    if (!ok || rename(tmp.c_str(), opt.portFile.c_str()) != 0) {
      close(ls);
      throw Error("cannot write the port to " + opt.portFile + ": " + ErrnoText());
    }
  }
  printf("http://127.0.0.1:%d\n", port);
  fflush(stdout);
  if (!opt.quiet) fprintf(stderr, "quillup-pack serve: serving %s on 127.0.0.1:%d (Ctrl-C stops)\n", opt.rootDir.c_str(), port);
  while (!Interrupted()) {
    pollfd p{ls, POLLIN, 0};
    int r = poll(&p, 1, 200);
    if (r <= 0) continue;
    int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::thread(ServeConnection, fd, opt).detach();
  }
  close(ls);
  if (!opt.portFile.empty()) unlink(opt.portFile.c_str());
  return 0;
}

}  // namespace pack
