// CNet::Download under Windows (Schannel) against nginx and the fault
// server that scripts/build-windows starts on 127.0.0.1 before the run; a
// Windows test starts no server itself. The pack and its digests (md5sum,
// sha256sum) come from the Linux side through the environment:
//   QUILLUP_TEST_NGINX, QUILLUP_TEST_NGINX_HTTPS, QUILLUP_TEST_FAULT  base URLs
//   QUILLUP_TEST_PACK, QUILLUP_TEST_PACK_MD5, QUILLUP_TEST_PACK_SHA256
//   QUILLUP_CA_BUNDLE  the test CA nginx's certificate is signed by
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/testutil.h"
#include "net/net.h"
#include "support/log.h"
#include "support/md5.h"
#include "support/sha256.h"

namespace {

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// Both digests of the bytes as they reach the file, resumed part first.
struct DigestSink : CDownloadSink {
  CMd5 md5;
  CSha256 sha;
  void Reset() override {
    md5.Reset();
    sha.Reset();
  }
  void Update(const void* data, size_t len) override {
    md5.Update(data, len);
    sha.Update(data, len);
  }
};

class WinDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pack = Env("QUILLUP_TEST_PACK");
    if (pack.empty() || Env("QUILLUP_TEST_NGINX").empty() || Env("QUILLUP_TEST_FAULT").empty())
      GTEST_SKIP() << "needs the servers scripts/build-windows --test starts";
    CLog::Instance()->SetPath(tmp.wsub("tarvex.log"));
  }
  void TearDown() override { CLog::Instance()->SetPath(WString()); }

  // A cut part-way through the fault server, then the rest from base with
  // a resume; the file and both digests must be the pack's.
  void CutAndResume(const std::string& base) {
    const std::string local = tmp.sub(pack);
    const WString cut = WideFromUtf8(Env("QUILLUP_TEST_FAULT") + "/f/" + pack + "?mode=reset&after=300000");
    bool resume = false;
    EXPECT_FALSE(net.Download(cut, u"", WideFromUtf8(local), nullptr, &resume, nullptr));
    const size_t part = testutil::ReadFile(local).size();
    EXPECT_GT(part, 0u);
    EXPECT_LT(part, 1000000u);

    resume = true;
    DigestSink sink;
    std::vector<int> percents;
    ASSERT_TRUE(net.Download(WideFromUtf8(base + "/" + pack), u"", WideFromUtf8(local),
                             [&](int p) { percents.push_back(p); }, &resume, nullptr, &sink))
        << testutil::ReadFile(tmp.sub("tarvex.log"));
    EXPECT_TRUE(resume);  // continued, not started again
    ASSERT_FALSE(percents.empty());
    EXPECT_GE(percents.front(), (int)(part * 100 / 1000000) - 1);
    EXPECT_EQ(100, percents.back());
    EXPECT_EQ(Env("QUILLUP_TEST_PACK_MD5"), sink.md5.FinalHex());
    EXPECT_EQ(Env("QUILLUP_TEST_PACK_SHA256"), sink.sha.FinalHex());
    EXPECT_TRUE(WEqualsNoCase(WideFromUtf8(Env("QUILLUP_TEST_PACK_MD5")), FileMd5(WideFromUtf8(local))));
    EXPECT_EQ(Env("QUILLUP_TEST_PACK_SHA256"), FileSha256Hex(WideFromUtf8(local)));
  }

  testutil::TempDir tmp;
  std::string pack;
  CNet net;
};

}  // namespace

TEST_F(WinDownloadTest, PackCutPartWayResumesFromNginxWithBothDigests) {
  CutAndResume(Env("QUILLUP_TEST_NGINX"));
}

TEST_F(WinDownloadTest, PackResumesOverHttpsTrustingTheTestCa) {
  if (Env("QUILLUP_TEST_NGINX_HTTPS").empty() || Env("QUILLUP_CA_BUNDLE").empty())
    GTEST_SKIP() << "needs nginx's HTTPS port and the test CA";
  CutAndResume(Env("QUILLUP_TEST_NGINX_HTTPS"));
}
