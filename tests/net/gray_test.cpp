// Gray-release query against the fault server over HTTPS.
#include <rapidjson/document.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "net/gray.h"
#include "nettest.h"

namespace {

class GrayTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    char buf[4096];
    ASSERT_TRUE(getcwd(buf, sizeof buf));
    oldCwd = buf;
    testutil::Run("mkdir -p '" + tmp.sub("cwd/config") + "' '" + tmp.sub("reg") + "'");
    ASSERT_EQ(chdir(tmp.sub("cwd").c_str()), 0);
    setenv("QUILLUP_REGISTRY_DIR", tmp.sub("reg").c_str(), 1);
    setenv("QUILLUP_CONFIG_SERVICE_HOST", ("127.0.0.1:" + std::to_string(fault->httpsPort())).c_str(), 1);
  }
  void TearDown() override {
    if (chdir(oldCwd.c_str()) != 0) ADD_FAILURE() << "cannot return to " << oldCwd;
    setenv("QUILLUP_CONFIG_SERVICE_HOST", "127.0.0.1:9", 1);
    NetTest::TearDown();
  }
  void RegistryId(const std::string& id) {
    testutil::WriteFile(tmp.sub("reg/HKLM.reg"),
                        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\yq]\n@=\"" + id + "\"\n");
  }
  void IniId(const std::string& id) { testutil::WriteFile(tmp.sub("cwd/config/install.ini"), "[Install]\nkey=" + id + "\n"); }

  struct Result {
    bool gray = false;
    std::string url;
  };
  Result Query() {
    Result r;
    WString url;
    DownloadGrayUserInfo(r.gray, url);
    r.url = Utf8FromWide(url);
    return r;
  }
  // The one query the service received: body and headers.
  bool LastQuery(std::string& body, rapidjson::Document& headers) {
    auto reqs = fault->Requests();
    if (reqs.size() != 1) return false;
    rapidjson::Document d;
    d.Parse(reqs[0].c_str());
    body = d["body"].GetString();
    EXPECT_EQ(std::string(d["method"].GetString()), "POST");
    EXPECT_EQ(std::string(d["path"].GetString()), "/commonConfig/api/updateconfig/pcUpdateDetection");
    EXPECT_TRUE(d["tls"].GetBool());
    headers.CopyFrom(d["headers"], headers.GetAllocator());
    return true;
  }

  std::string oldCwd;
};

const char* kGray = R"({"status":1,"msg":"ok","data":{"expire":1,"entity":{"downloadUrl":"http://127.0.0.1:1/gray"}}})";

}  // namespace

TEST_F(GrayTest, RegistryIdIsSentUpperCasedWithTheHeaders) {
  RegistryId("abc-def");  // any length counts when it comes from the registry
  IniId("ffffffffffffffffffffffffffffffff");
  fault->SetGrayAnswer(200, kGray);
  Result r = Query();
  EXPECT_TRUE(r.gray);
  EXPECT_EQ(r.url, "http://127.0.0.1:1/gray");
  std::string body;
  rapidjson::Document h;
  ASSERT_TRUE(LastQuery(body, h));
  EXPECT_EQ(body, "deviceId=ABC-DEF");
  EXPECT_EQ(std::string(h["platForm"].GetString()), "pc");
  EXPECT_EQ(std::string(h["appVersion"].GetString()), "2.9.0");
  EXPECT_EQ(std::string(h["content-type"].GetString()), "application/x-www-form-urlencoded");
  EXPECT_NE(LogLine("[INFO] [DownloadGrayUserInfo] InstallID:abc-def\r"), "");
  EXPECT_NE(LogLine("[INFO] [DownloadGrayUserInfo] 下载灰度地址:http://127.0.0.1:1/gray\r"), "");
}

TEST_F(GrayTest, InstallIniIdOfWrongLengthIsStillSent) {
  IniId("0123456789abcdef0123456789abcde");  // 31 characters
  WString id;
  EXPECT_FALSE(GetInstallId(id));
  EXPECT_EQ(id, u"0123456789abcdef0123456789abcde");
  IniId("0123456789abcdef0123456789abcdef");
  EXPECT_TRUE(GetInstallId(id));

  IniId("0123456789abcdef0123456789abcde");
  fault->SetGrayAnswer(200, kGray);
  EXPECT_TRUE(Query().gray);
  std::string body;
  rapidjson::Document h;
  ASSERT_TRUE(LastQuery(body, h));
  EXPECT_EQ(body, "deviceId=0123456789ABCDEF0123456789ABCDE");
}

TEST_F(GrayTest, NoIdSendsNothing) {
  fault->SetGrayAnswer(200, kGray);
  Result r = Query();
  EXPECT_FALSE(r.gray);
  EXPECT_TRUE(fault->Requests().empty());
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[INFO] [DownloadGrayUserInfo] InstallID:\r"), std::string::npos);
}

TEST_F(GrayTest, RulesOfTheAnswer) {
  RegistryId("0123456789ABCDEF0123456789ABCDEF");
  struct Case {
    int http;
    std::string body;
    bool gray;
    std::string url;
    std::string log;     // expected extra line, "" = none
    std::string answer = "";  // the answer's own line after it, "" = none
  };
  const Case cases[] = {
      {200, kGray, true, "http://127.0.0.1:1/gray", "[INFO] [DownloadGrayUserInfo] 下载灰度地址:http://127.0.0.1:1/gray"},
      {200, R"({"status":1,"data":{"expire":1}})", true, "", ""},
      {200, R"({"status":1,"data":{"expire":7,"entity":{"downloadUrl":5}}})", true, "",
       "[INFO] [DownloadGrayUserInfo] 下载灰度地址:\r"},
      {200, R"({"status":1,"data":{"expire":1,"entity":[]}})", true, "", ""},
      {200, R"({"status":"1","msg":"坏","data":{"expire":1}})", false, "", "[ERROR] [DownloadGrayUserInfo] status:坏"},
      {200, R"({"status":2,"msg":"关闭"})", false, "", "[ERROR] [DownloadGrayUserInfo] status:关闭"},
      {200, R"({"msg":"x"})", false, "", "[ERROR] [DownloadGrayUserInfo] status:x"},
      {200, R"({"status":1,"data":{"expire":1}} x)", false, "", "[ERROR] [DownloadGrayUserInfo] 解析JSON失败:\r",
       R"(] 应答:{"status":1,"data":{"expire":1}} x)"},
      {200, "not json", false, "", "[ERROR] [DownloadGrayUserInfo] 解析JSON失败:\r", "[INFO] [DownloadGrayUserInfo] 应答:not json\r"},
      // Nesting deeper than any stack could recurse.
      {200, std::string(2000000, '['), false, "", "[ERROR] [DownloadGrayUserInfo] 解析JSON失败:\r", "] 应答:[[["},
      {200, R"({"status":1,"data":{"expire":0,"entity":{"downloadUrl":"u"}}})", false, "", ""},
      {200, R"({"status":1,"data":{"expire":true}})", false, "", ""},
      {200, R"({"status":1,"data":{"expire":"1"}})", false, "", ""},
      {200, R"({"status":1,"data":[1]})", false, "", ""},
      {200, R"({"status":1})", false, "", ""},
      {500, kGray, false, "", ""},
      {404, kGray, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 80) + " / " + std::to_string(c.http));
    testutil::WriteFile(tmp.sub("Log/tarvex.log"), "");
    fault->SetGrayAnswer(c.http, c.body);
    Result r = Query();
    EXPECT_EQ(r.gray, c.gray);
    EXPECT_EQ(r.url, c.url);
    auto lines = LogLines();
    ASSERT_EQ(lines.size(), c.log.empty() ? 1u : c.answer.empty() ? 2u : 3u);
    if (!c.log.empty()) {
      EXPECT_NE(lines[1].find(c.log), std::string::npos) << lines[1];
    }
    if (!c.answer.empty()) {
      EXPECT_NE(lines[2].find(c.answer), std::string::npos) << lines[2];
    }
  }
}

TEST_F(GrayTest, ProxiesOfTheEnvironmentAreNotUsed) {
  RegistryId("0123456789ABCDEF0123456789ABCDEF");
  fault->SetGrayAnswer(200, kGray);
  testutil::Run("mkdir -p '" + tmp.sub("proxy") + "'");
  netsrv::AuthProxy proxy(tmp.sub("proxy"), "none");
  std::string address = "http://127.0.0.1:" + std::to_string(proxy.port());
  for (const char* v : {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"}) setenv(v, address.c_str(), 1);
  bool gray = Query().gray;
  for (const char* v : {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"}) unsetenv(v);
  EXPECT_TRUE(gray);
  EXPECT_TRUE(proxy.Requests().empty());
  EXPECT_EQ(fault->Requests().size(), 1u);
}

TEST_F(GrayTest, UntrustedCertificateIsRefused) {
  RegistryId("0123456789ABCDEF0123456789ABCDEF");
  fault->SetGrayAnswer(200, kGray);
  testutil::Run("mkdir -p '" + tmp.sub("other") + "'");
  netsrv::TestCa other(tmp.sub("other"));
  setenv("QUILLUP_CA_BUNDLE", other.caFile.c_str(), 1);
  EXPECT_FALSE(Query().gray);
  EXPECT_TRUE(fault->Requests().empty());  // the query never got through
  setenv("QUILLUP_CA_BUNDLE", ca->caFile.c_str(), 1);
  EXPECT_TRUE(Query().gray);
}

TEST_F(GrayTest, SlowServiceEndsAfterFiveSeconds) {
  RegistryId("0123456789ABCDEF0123456789ABCDEF");
  fault->SetGrayAnswer(200, kGray, 8);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Query().gray);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(took, 4.5);
  EXPECT_LT(took, 7.0);
}

TEST(GrayHost, ConstantUnlessOverridden) {
  const char* saved = getenv("QUILLUP_CONFIG_SERVICE_HOST");
  std::string keep = saved ? saved : "";
  unsetenv("QUILLUP_CONFIG_SERVICE_HOST");
  EXPECT_EQ(GetConfigServiceHost(), kConfigServiceHost);
  setenv("QUILLUP_CONFIG_SERVICE_HOST", "127.0.0.1:8443", 1);
  EXPECT_EQ(GetConfigServiceHost(), u"127.0.0.1:8443");
  setenv("QUILLUP_CONFIG_SERVICE_HOST", keep.c_str(), 1);
}
