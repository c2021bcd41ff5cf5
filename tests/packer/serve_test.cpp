// quillup-pack serve: the demo server speaks enough HTTP/1.1 for the
// updater's downloads (whole files, resumed ranges, HEAD) and stays on
// the loopback address.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "packer_fixture.h"

extern char** environ;

using namespace packtest;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

class Server {
 public:
  explicit Server(const std::string& root) {
    portFile_ = io_.sub("port");
    std::string out = io_.sub("out");
    std::vector<std::string> argv = {QUILLUP_PACK_PROGRAM, "serve", "--quiet", "--port-file", portFile_, root};
    std::vector<char*> a;
    for (auto& s : argv) a.push_back(s.data());
    a.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, a[0], &fa, nullptr, a.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    for (int i = 0; i < 200 && port_ == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
      port_ = atoi(ReadFile(portFile_).c_str());
    }
    firstLine_ = ReadFile(out);
  }
  ~Server() {
    if (pid_ > 0) Stop();
  }
  int port() const { return port_; }
  const std::string& printed() const { return firstLine_; }
  int Stop() {
    if (pid_ <= 0) return -1;  // never signal a group or every process
    kill(pid_, SIGTERM);
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

 private:
  TempDir io_;
  std::string portFile_, firstLine_;
  pid_t pid_ = -1;
  int port_ = 0;
};

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr*)&a, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

struct Response {
  int code = 0;
  std::string head, body;
  std::string Header(const std::string& name) const {
    size_t p = head.find("\r\n" + name + ": ");
    if (p == std::string::npos) return std::string();
    p += name.size() + 4;
    return head.substr(p, head.find("\r\n", p) - p);
  }
};

// Reads one response from the connection; a HEAD answer has no body.
Response ReadResponse(int fd, std::string& buffer, bool head) {
  Response r;
  char tmp[65536];
  while (buffer.find("\r\n\r\n") == std::string::npos) {
    ssize_t n = recv(fd, tmp, sizeof tmp, 0);
    if (n <= 0) return r;
    buffer.append(tmp, (size_t)n);
  }
  size_t end = buffer.find("\r\n\r\n");
  r.head = buffer.substr(0, end + 2);
  buffer.erase(0, end + 4);
  r.code = atoi(r.head.substr(9, 3).c_str());
  size_t len = head ? 0 : (size_t)atoll(r.Header("Content-Length").c_str());
  while (buffer.size() < len) {
    ssize_t n = recv(fd, tmp, sizeof tmp, 0);
    if (n <= 0) break;
    buffer.append(tmp, (size_t)n);
  }
  r.body = buffer.substr(0, len);
  buffer.erase(0, len);
  return r;
}

Response Ask(int port, const std::string& request, bool head = false) {
  int fd = Connect(port);
  if (fd < 0) return Response();
  send(fd, request.data(), request.size(), 0);
  std::string buffer;
  Response r = ReadResponse(fd, buffer, head);
  close(fd);
  return r;
}

std::string Get(const std::string& path, const std::string& extra = std::string()) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

}  // namespace

TEST(PackServe, ServesWholeFilesRangesAndHeads) {
  TempDir root;
  std::string data = Noise(200000, 9);
  WriteFile(root.sub("full_3.zip"), data);
  WriteFile(root.sub("servicepacksNum.xml"), "<ServicePacksNum/>");
  WriteFile(root.sub("empty.bin"), "");
  Server s(root.path());
  ASSERT_GT(s.port(), 0);
  EXPECT_EQ(s.printed(), "http://127.0.0.1:" + std::to_string(s.port()) + "\n");

  Response r = Ask(s.port(), Get("/full_3.zip"));
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(r.body, data);
  EXPECT_EQ(r.Header("Accept-Ranges"), "bytes");

  r = Ask(s.port(), Get("/full_3.zip", "Range: bytes=1000-\r\n"));  // a resumed download
  EXPECT_EQ(r.code, 206);
  EXPECT_EQ(r.body, data.substr(1000));
  EXPECT_EQ(r.Header("Content-Range"), "bytes 1000-199999/200000");

  r = Ask(s.port(), Get("/full_3.zip", "Range: bytes=10-19\r\n"));
  EXPECT_EQ(r.code, 206);
  EXPECT_EQ(r.body, data.substr(10, 10));

  r = Ask(s.port(), Get("/full_3.zip", "Range: bytes=-5\r\n"));
  EXPECT_EQ(r.code, 206);
  EXPECT_EQ(r.body, data.substr(199995));

  r = Ask(s.port(), Get("/full_3.zip", "Range: bytes=200000-\r\n"));  // already complete
  EXPECT_EQ(r.code, 416);
  EXPECT_EQ(r.Header("Content-Range"), "bytes */200000");

  r = Ask(s.port(), "HEAD /full_3.zip HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", true);
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(r.Header("Content-Length"), "200000");
  EXPECT_TRUE(r.body.empty());

  r = Ask(s.port(), Get("/empty.bin"));
  EXPECT_EQ(r.code, 200);
  EXPECT_EQ(r.Header("Content-Length"), "0");

  r = Ask(s.port(), Get("/force_servicepack.xml"));
  EXPECT_EQ(r.code, 404);
  r = Ask(s.port(), "POST /full_3.zip HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(r.code, 405);
  // With a body, as clients send them.
  for (const char* method : {"POST", "PUT", "DELETE"}) {
    r = Ask(s.port(), std::string(method) + " /full_3.zip HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(r.code, 405) << method;
    EXPECT_EQ(r.Header("Allow"), "GET, HEAD") << method;
  }
  EXPECT_EQ(s.Stop(), 0);
}

TEST(PackServe, KeepsConnectionsAliveForSeveralRequests) {
  TempDir root;
  WriteFile(root.sub("a.xml"), "first");
  WriteFile(root.sub("b.zip"), "second");
  Server s(root.path());
  int fd = Connect(s.port());
  ASSERT_GE(fd, 0);
  std::string both = Get("/a.xml") + Get("/b.zip"), buffer;
  send(fd, both.data(), both.size(), 0);
  EXPECT_EQ(ReadResponse(fd, buffer, false).body, "first");
  EXPECT_EQ(ReadResponse(fd, buffer, false).body, "second");
  close(fd);
}

TEST(PackServe, NothingOutsideTheDirectoryIsReachable) {
  TempDir top;
  WriteFile(top.sub("secret.txt"), "secret");
  WriteFile(top.sub("srv/.hidden"), "hidden");
  WriteFile(top.sub("srv/ok.txt"), "ok");
  // Links that stay inside are served; one that leads out is not.
  testutil::Run("ln -s ../secret.txt " + Quote(top.sub("srv/leak.txt")) + " && ln -s ok.txt " + Quote(top.sub("srv/same.txt")) +
                " && ln -s .. " + Quote(top.sub("srv/up")));
  Server s(top.sub("srv"));
  EXPECT_EQ(Ask(s.port(), Get("/same.txt")).body, "ok");
  EXPECT_EQ(Ask(s.port(), Get("/ok.txt")).body, "ok");
  EXPECT_EQ(Ask(s.port(), Get("/%6Fk.txt")).body, "ok");  // percent-encoded name
  for (const char* path : {"/../secret.txt", "/%2e%2e/secret.txt", "/sub/..%2F..%2Fsecret.txt", "/.hidden", "/",
                           "/ok.txt%00", "/..\\secret.txt", "/leak.txt", "/up/secret.txt"}) {
    Response r = Ask(s.port(), Get(path));
    EXPECT_EQ(r.code, 404) << path;
    EXPECT_EQ(r.body.find("secret"), std::string::npos) << path;
  }
  EXPECT_EQ(Ask(s.port(), "GARBAGE\r\n\r\n").code, 400);
}

TEST(PackServe, ListensOnTheLoopbackAddressOnly) {
  TempDir root;
  Server s(root.path());
  ASSERT_GT(s.port(), 0);
  // The listening socket's local address in the kernel's table.
  char hexPort[8];
  snprintf(hexPort, sizeof hexPort, "%04X", s.port());
  std::string table = ReadFile("/proc/net/tcp") + ReadFile("/proc/net/tcp6");
  int listening = 0;
  size_t pos = 0;
  while ((pos = table.find(std::string(":") + hexPort + " ", pos)) != std::string::npos) {
    size_t lineStart = table.rfind('\n', pos) + 1;
    std::string line = table.substr(lineStart, table.find('\n', pos) - lineStart);
    if (line.find(" 0A ") != std::string::npos) {  // LISTEN
      ++listening;
      EXPECT_NE(line.find("0100007F:" + std::string(hexPort)), std::string::npos) << line;
    }
    pos += 6;
  }
  EXPECT_EQ(listening, 1);
}

TEST(PackServe, RefusesAMissingDirectoryAndABusyPort) {
  TempDir root;
  std::string err;
  EXPECT_EQ(RunPack("serve " + Quote(root.sub("nope")), nullptr, &err), 1);
  EXPECT_NE(err.find("is not a directory"), std::string::npos) << err;
  Server s(root.path());
  EXPECT_EQ(RunPack("serve --port " + std::to_string(s.port()) + " " + Quote(root.path()), nullptr, &err), 1);
  EXPECT_NE(err.find("cannot listen on 127.0.0.1:" + std::to_string(s.port())), std::string::npos) << err;
}
