// The worker's list and pack downloads (app/download.cpp) against nginx,
// the fault server and the nslookup stand-in.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/download.h"
#include "net/nettest.h"
#include "platform/files.h"
#include "support/md5.h"
#include "support/path.h"
#include "support/sha256.h"

using netsrv::PatternBytes;
using testutil::Exists;
using testutil::ReadFile;
using testutil::WriteFile;

namespace {

WString Wide(const std::string& s) { return WideFromUtf8(s); }

ServicePack Pack(const std::string& name, const std::string& data, bool withMd5 = true) {
  ServicePack p;
  p.strName = Wide(name);
  p.nSize = (int32_t)data.size();
  if (withMd5) p.strMd5 = Wide(Md5Hex(data.data(), (uint32_t)data.size()));
  if (withMd5) p.strSha256 = Wide(Sha256Hex(data.data(), data.size()));
  return p;
}

class PackDownloadTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    staging = tmp.sub("update");
    testutil::Run("mkdir -p '" + staging + "'");
    setenv("QUILLUP_TEST_NSLOOKUP_LOG", tmp.sub("nslookup.txt").c_str(), 1);
    setenv("QUILLUP_TEST_NSLOOKUP_OUTPUT", tmp.sub("nslookup_answer.txt").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUILLUP_TEST_NSLOOKUP_LOG");
    unsetenv("QUILLUP_TEST_NSLOOKUP_OUTPUT");
    NetTest::TearDown();
  }
  void DnsAnswers(const std::string& address) {
    WriteFile(tmp.sub("nslookup_answer.txt"), "Server:\t\t114.114.114.114\nAddress:\t114.114.114.114#53\n\n"
                                              "Non-authoritative answer:\nName:\tlocalhost\nAddress: " +
                                                  address + "\n");
  }
  std::string DnsCalls() { return ReadFile(tmp.sub("nslookup.txt")); }

  bool Packs(const std::string& base, const std::vector<ServicePack>& packs, const std::string& resolved = "") {
    return packdl::DowndloadZipFiles(net, Wide(resolved), Wide(base), Wide(staging), packs, files,
                                     [this](const WString& s) { statuses.push_back(Utf8FromWide(s)); },
                                     [this](int p) { percents.push_back(p); }, cancel, &sha256s);
  }
  bool List(const std::string& url, bool allowDns = true) {
    return packdl::DowndloadPacksXml(net, Wide(url), Wide(staging + "/servicepacksNum.xml"), resolved, allowDns,
                                     cancel);
  }
  std::string Local(const std::string& name) const { return staging + "/" + name; }

  CNet net;
  std::atomic<bool> cancel{false};
  std::string staging;
  std::vector<std::string> statuses;
  std::vector<int> percents;
  std::vector<WString> files;
  std::vector<std::string> sha256s;
  WString resolved = u"stale";
};

}  // namespace

// ---- the pack list ----

TEST_F(PackDownloadTest, ListFetchedDirectly) {
  Serve("servicepacksNum.xml", "<list/>");
  EXPECT_TRUE(List(nginx->HttpUrl("/servicepacksNum.xml")));
  EXPECT_EQ(resolved, u"");
  EXPECT_EQ(ReadFile(Local("servicepacksNum.xml")), "<list/>");
  EXPECT_FALSE(Exists(tmp.sub("nslookup.txt")));
}

TEST_F(PackDownloadTest, ListFromAnAddressNeverAsksTheResolver) {
  DnsAnswers("127.0.0.1");
  EXPECT_FALSE(List(nginx->HttpUrl("/servicepacksNum.xml")));  // 404
  EXPECT_FALSE(List(nginx->HttpUrl("/servicepacksNum.xml"), false));
  EXPECT_FALSE(Exists(tmp.sub("nslookup.txt")));
  EXPECT_EQ(LogLine("通过114"), "");
}

TEST_F(PackDownloadTest, NoFallbackWhenNotAllowedOrCancelled) {
  DnsAnswers("127.0.0.1");
  std::string url = fault->HttpUrl("/f/servicepacksNum.xml?mode=flaky&fail=1");
  url.replace(url.find("127.0.0.1"), 9, "localhost");
  Serve("servicepacksNum.xml", "<list/>");
  EXPECT_FALSE(List(url, false));
  cancel = true;
  EXPECT_FALSE(List(url));
  EXPECT_FALSE(Exists(tmp.sub("nslookup.txt")));
}

TEST_F(PackDownloadTest, ListThroughThePublicResolverKeepsPortAndHost) {
  Serve("servicepacksNum.xml", "<list/>");
  DnsAnswers("127.0.0.1");
  const std::string authority = "localhost:" + std::to_string(fault->httpPort());
  // The first request is refused (503), the one through the address answers.
  EXPECT_TRUE(List("http://" + authority + "/f/servicepacksNum.xml?mode=flaky&fail=1"));
  EXPECT_EQ(resolved, u"127.0.0.1");
  EXPECT_EQ(ReadFile(Local("servicepacksNum.xml")), "<list/>");
  EXPECT_EQ(DnsCalls(), "-timeout=1 -retry=1 localhost 114.114.114.114\n");
  EXPECT_NE(LogLine("[INFO] [CUpdateDlg::DowndloadPacksXml] 通过114查询域名..."), "");
  EXPECT_NE(LogLine("[INFO] [CUpdateDlg::DowndloadPacksXml] 通过114查到IP:127.0.0.1\r"), "");
  auto reqs = fault->Requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_NE(reqs[1].find("\"Host\": \"" + authority + "\""), std::string::npos) << reqs[1];
}

TEST_F(PackDownloadTest, ResolverWithoutAnswer) {
  std::string url = "http://localhost:" + std::to_string(netsrv::FreePort()) + "/servicepacksNum.xml";
  EXPECT_FALSE(List(url));  // nothing listens; the stand-in answers NXDOMAIN
  EXPECT_NE(LogLine("[WARN] [CUpdateDlg::DowndloadPacksXml] 通过114查询域名失败！"), "");
  EXPECT_EQ(resolved, u"");
}

TEST_F(PackDownloadTest, HttpsListOnlyGainsTheHostHeader) {
  DnsAnswers("127.0.0.1");
  const std::string authority = "localhost:" + std::to_string(nginx->httpsPort());
  EXPECT_FALSE(List("https://" + authority + "/missing.xml"));
  auto lines = nginx->AccessLines(2);
  ASSERT_EQ(lines.size(), 2u);
  for (auto& l : lines) {
    EXPECT_EQ(l.rfind("GET /missing.xml 404 ", 0), 0u) << l;
    EXPECT_NE(l.find("\"" + authority + "\""), std::string::npos) << l;
  }
  EXPECT_EQ(resolved, u"");
}

// ---- the packs ----

TEST_F(PackDownloadTest, StatusTexts) {
  std::string a = PatternBytes(100), b = PatternBytes(200);
  for (auto n : {"pack1.zip", "Full.zip", "Pack2.zip", "x.zip", "y.zip"}) Serve(n, a);
  Serve("y.zip", b);
  struct Case {
    std::vector<ServicePack> packs;
    std::vector<std::string> texts;
  } cases[] = {
      {{Pack("pack1.zip", a)}, {"下载升级文件[1]..."}},
      {{Pack("Full.zip", a)}, {"下载全量更新，请稍候..."}},
      {{Pack("Pack2.zip", a)}, {"下载全量更新，请稍候..."}},
      {{Pack("x.zip", a), Pack("y.zip", b)}, {"下载升级文件[1]...", "下载升级文件[2]..."}},
  };
  for (auto& c : cases) {
    statuses.clear();
    ASSERT_TRUE(Packs(nginx->HttpUrl(""), c.packs));
    EXPECT_EQ(statuses, c.texts);
    EXPECT_EQ(files.size(), c.packs.size());
  }
  EXPECT_NE(LogLine("[INFO] [CUpdateDlg::DowndloadZipFiles] 下载全量更新，请稍候..."), "");
}

TEST_F(PackDownloadTest, ZipSuffixIsAddedByExactComparison) {
  std::string a = PatternBytes(300);
  Serve("p1.zip", a);
  Serve("P2.ZIP.zip", a);
  ASSERT_TRUE(Packs(nginx->HttpUrl(""), {Pack("p1", a), Pack("P2.ZIP", a)}));
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(Utf8FromWide(files[0]), Local("p1.zip"));
  EXPECT_EQ(Utf8FromWide(files[1]), Local("P2.ZIP.zip"));
  EXPECT_EQ(ReadFile(Local("P2.ZIP.zip")), a);
}

TEST_F(PackDownloadTest, CompleteArchivesAreReused) {
  std::string a = PatternBytes(500), b = PatternBytes(600);
  Serve("p1.zip", a);
  Serve("p2.zip", b);
  WriteFile(Local("p1.zip"), std::string(500, 'Z'));  // right size, no MD5 in the list
  WriteFile(Local("p2.zip"), b);                       // right size and MD5
  ASSERT_TRUE(Packs(nginx->HttpUrl(""), {Pack("p1.zip", a, false), Pack("p2.zip", b)}));
  EXPECT_EQ(ReadFile(Local("p1.zip")), std::string(500, 'Z'));
  EXPECT_EQ(files.size(), 2u);
  EXPECT_TRUE(nginx->AccessLines().empty());
  EXPECT_EQ(sha256s, std::vector<std::string>(2));  // nothing was written: the check reads the file
  EXPECT_NE(LogLine("[INFO] [CUpdateDlg::DowndloadZipFiles] 本地已存在:" + nginx->HttpUrl("/p1.zip")), "");
}

TEST_F(PackDownloadTest, SizesAreNotCutTo32Bits) {
  // 4 GiB + 1,000 bytes, sparse: its low 32 bits are the pack's size.
  std::string a = PatternBytes(1000);
  Serve("p1.zip", a);
  testutil::Run("truncate -s 4294968296 '" + Local("p1.zip") + "'");
  ASSERT_TRUE(Packs(nginx->HttpUrl(""), {Pack("p1.zip", a, false)}));
  EXPECT_EQ(LogLine("本地已存在"), "");
  ASSERT_EQ(GetFileSizeByPath(Wide(Local("p1.zip"))), 1000);
  EXPECT_EQ(ReadFile(Local("p1.zip")), a);
}

TEST_F(PackDownloadTest, ArchiveOfRightSizeButWrongMd5IsFetchedAgain) {
  std::string a = PatternBytes(500);
  Serve("p1.zip", a);
  WriteFile(Local("p1.zip"), std::string(500, 'Z'));
  ServicePack p = Pack("p1.zip", a);
  for (auto& c : p.strMd5) c = (char16_t)toupper(c);  // compared without regard to case
  ASSERT_TRUE(Packs(nginx->HttpUrl(""), {p}));
  EXPECT_EQ(ReadFile(Local("p1.zip")), a);
  EXPECT_NE(LogLine("[WARN] [CUpdateDlg::DowndloadZipFiles] 本地文件md5校验失败:"), "");
  auto lines = nginx->AccessLines(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("GET /p1.zip 200", 0), 0u) << lines[0];
}

TEST_F(PackDownloadTest, PartialArchiveResumes) {
  std::string a = PatternBytes(1000);
  Serve("p1.zip", a);
  WriteFile(Local("p1.zip"), a.substr(0, 400));
  ASSERT_TRUE(Packs(nginx->HttpUrl(""), {Pack("p1.zip", a)}));
  EXPECT_EQ(ReadFile(Local("p1.zip")), a);
  ASSERT_FALSE(percents.empty());
  EXPECT_GE(percents.front(), 40);
  EXPECT_EQ(percents.back(), 100);
  // Taken over the part on disk, then the rest.
  EXPECT_EQ(sha256s, std::vector<std::string>{Sha256Hex(a.data(), a.size())});
  EXPECT_EQ(LogLine("重试下载"), "");
  auto lines = nginx->AccessLines(2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("GET /p1.zip 206", 0), 0u) << lines[1];
}

TEST_F(PackDownloadTest, ResumedArchiveOfWrongSizeIsFetchedOnceAfresh) {
  std::string a = PatternBytes(1000);
  Serve("p1.zip", a);
  WriteFile(Local("p1.zip"), a.substr(0, 400));
  // The ranged answer carries only half of the rest.
  ASSERT_TRUE(Packs(fault->HttpUrl("/m/shortrange"), {Pack("p1.zip", a)}));
  EXPECT_EQ(ReadFile(Local("p1.zip")), a);
  EXPECT_NE(LogLine("[INFO] [CUpdateDlg::DowndloadZipFiles] 重试下载:" + fault->HttpUrl("/m/shortrange/p1.zip")), "");
  EXPECT_EQ(sha256s, std::vector<std::string>{Sha256Hex(a.data(), a.size())});
  auto reqs = fault->Requests();
  ASSERT_EQ(reqs.size(), 3u);  // probe, ranged GET, fresh GET
  EXPECT_NE(reqs[1].find("\"Range\": \"bytes=400-\""), std::string::npos);
  EXPECT_EQ(reqs[2].find("Range"), std::string::npos);
}

TEST_F(PackDownloadTest, FailedResumeIsRetriedFreshAndFailedFreshIsNot) {
  std::string a = PatternBytes(1000);
  Serve("p1.zip", a);
  Serve("p2.zip", a);
  // Longer than the server's file: the ranged request fails (416).
  WriteFile(Local("p1.zip"), std::string(1200, 'Z'));
  ASSERT_TRUE(Packs(nginx->HttpUrl(""), {Pack("p1.zip", a, false), Pack("p2.zip", a)}));
  EXPECT_NE(LogLine("重试下载:" + nginx->HttpUrl("/p1.zip")), "");
  EXPECT_EQ(ReadFile(Local("p1.zip")), a);

  // No partial file: a fresh start from the first pack on; no retry for
  // the failing pack, and the one after it is never tried.
  testutil::WriteFile(tmp.sub("Log/tarvex.log"), "");
  ASSERT_FALSE(Packs(nginx->HttpUrl(""), {Pack("p3.zip", a), Pack("p2.zip", a)}));
  EXPECT_EQ(LogLine("重试下载"), "");
  EXPECT_NE(LogLine("[ERROR] [CUpdateDlg::DowndloadZipFiles] 下载失败:" + nginx->HttpUrl("/p3.zip")), "");
  EXPECT_EQ(LogLine("p2.zip"), "");
  EXPECT_TRUE(files.empty());
}

TEST_F(PackDownloadTest, SizeAndMd5Rules) {
  std::string a = PatternBytes(1000);
  Serve("p1.zip", a);
  // The list says 900 bytes: the transfer stops one byte later, and the
  // file stays for a later resume.
  ServicePack shorter = Pack("p1.zip", a);
  shorter.nSize = 900;
  ASSERT_FALSE(Packs(nginx->HttpUrl(""), {shorter}));
  EXPECT_NE(LogLine("[ERROR] [CUpdateDlg::DowndloadZipFiles] 文件大小非法:" + nginx->HttpUrl("/p1.zip")), "");
  EXPECT_NE(LogLine("[ERROR] [CNet::Download] 下载数据超出文件大小:" + Local("p1.zip")), "");
  EXPECT_EQ(ReadFile(Local("p1.zip")), a.substr(0, 901));

  // A wrong MD5: the file goes.
  plat::DeleteFile(Wide(Local("p1.zip")));
  ServicePack wrong = Pack("p1.zip", a);
  wrong.strMd5 = u"0123456789abcdef0123456789abcdef";
  ASSERT_FALSE(Packs(nginx->HttpUrl(""), {wrong}));
  EXPECT_NE(LogLine("[ERROR] [CUpdateDlg::DowndloadZipFiles] 校验文件md5失败:" + nginx->HttpUrl("/p1.zip")), "");
  EXPECT_FALSE(Exists(Local("p1.zip")));
}

TEST_F(PackDownloadTest, CancelDuringTransfer) {
  // A partial file, so that a retry would be due were it not for the cancel.
  std::string a = PatternBytes(2000);
  Serve("p1.zip", a);
  WriteFile(Local("p1.zip"), a.substr(0, 100));
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    cancel = true;
  });
  bool ok = Packs(fault->HttpUrl("/m/trickle"), {Pack("p1.zip", a)});
  stopper.join();
  EXPECT_FALSE(ok);
  EXPECT_NE(LogLine("[WARN] [CUpdateDlg::DowndloadZipFiles] 取消下载:" + fault->HttpUrl("/m/trickle/p1.zip")), "");
  EXPECT_NE(LogLine("[WARN] [CNet::Download] curl_easy_perform返回码:42"), "");
  EXPECT_EQ(LogLine("重试下载"), "");
  EXPECT_EQ(LogLine("[ERROR]"), "");
}

TEST_F(PackDownloadTest, PacksThroughTheResolvedAddress) {
  std::string a = PatternBytes(800);
  Serve("p1.zip", a);
  const std::string authority = "localhost:" + std::to_string(nginx->httpPort());
  ASSERT_TRUE(Packs("http://" + authority, {Pack("p1.zip", a)}, "127.0.0.1"));
  EXPECT_EQ(ReadFile(Local("p1.zip")), a);
  EXPECT_NE(LogLine("[INFO] [CUpdateDlg::DowndloadZipFiles] 下载文件:" + nginx->HttpUrl("/p1.zip") + "\r"), "");
  auto lines = nginx->AccessLines(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"" + authority + "\""), std::string::npos) << lines[0];
}
