#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>

#include "common/testutil.h"
#include "opfile/opfile.h"
#include "support/log.h"
#include "support/signature.h"

using testutil::TempDir;

namespace {

// "p" + MD5 of the first 63 bytes of a stamp, as an installation's name.
std::string PackNameOf(const std::string& stamp) {
  return "p" + testutil::OpenSslMd5Hex(stamp.substr(0, 63));
}

}  // namespace

namespace {

struct Pack {
  std::string name;
  std::string size;
  std::string md5 = "0123456789abcdef0123456789abcdef";
  std::string force = "0";
};

class ServicePackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CLog::Instance()->SetPath(m_dir.wsub("Log/tarvex.log"));
    m_list = m_dir.wsub("update/servicepacksNum.xml");
    m_updateIni = m_dir.wsub("config/update.ini");
    Configure("ZT_STD", "5");
    InstallStamp("stamp-A");
  }
  void TearDown() override { CLog::Instance()->SetPath(WString()); }

  // The installation's build line and version, through its configuration file.
  void Configure(const std::string& version, const std::string& id, const std::string& extra = "") {
    std::string cfg = m_dir.sub("config/quillupcfg.ini");
    testutil::WriteFile(cfg,
                        "[QUILLUP_CFG]\r\nOUTSIDE_DOWNLOAD_URL=http://127.0.0.1:1/sp/\r\nBIN_FILE=ZoTrade/ZoTrade\r\n"
                        "SPLASH_BMP_FILE=skin.bmp\r\nQUILLUP_DIALOG_WINDOW_NAME=Quillup\r\nQUILLUP_VERSION=" +
                            version + "\r\nQUILLUP_ID=" + id + "\r\n" + extra);
    ASSERT_TRUE(m_op.ReadQuillupCfgIni(WidePath(cfg)));
    ASSERT_EQ(m_op.GetVersion(), WideFromUtf8(version));
    ASSERT_EQ(m_op.GetId(), WideFromUtf8(id));
  }

  void InstallStamp(const std::string& stamp) { testutil::WriteFile(NativePathUnchecked(m_updateIni), stamp); }

  void WriteList(const std::string& build, const std::string& id, const std::vector<Pack>& packs) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<ServicePacksNum build_option=\"" + build +
                      "\" QUILLUP_ID=\"" + id + "\">\r\n";
    for (const Pack& p : packs)
      xml += "  <" + p.name + " size=\"" + p.size + "\" md5=\"" + p.md5 + "\" force=\"" + p.force + "\"/>\r\n";
    xml += "</ServicePacksNum>\r\n";
    testutil::WriteFile(NativePathUnchecked(m_list), xml);
  }

  // [F, pA, pB, pC]: pX is the name an installation stamped "stamp-X" carries.
  void WriteChain(const std::string& id, const std::string& full, const std::string& a, const std::string& b,
                  const std::string& c) {
    WriteList("ZT_STD", id,
              {{"Full_5_0", full}, {PackNameOf("stamp-A"), a}, {PackNameOf("stamp-B"), b}, {PackNameOf("stamp-C"), c}});
  }

  bool Need(bool forced = false) { return m_op.GetNeedPackFiles(m_list, m_updateIni, m_packs, m_server, m_local, forced); }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const ServicePack& p : m_packs) names.push_back(Utf8FromWide(p.strName));
    return names;
  }

  std::string LogText() const { return testutil::ReadFile(m_dir.sub("Log/tarvex.log")); }
  bool Logged(const std::string& level, const std::string& message) const {
    return LogText().find("[" + level + "] [COpFile::GetNeedPackFiles] " + message + "\r\n") != std::string::npos;
  }

  TempDir m_dir;
  COpFile m_op;
  WString m_list, m_updateIni;
  std::vector<ServicePack> m_packs{ServicePack{u"stale", 1, u"", false, u""}};
  int32_t m_server = -7, m_local = -7;
};

}  // namespace

TEST_F(ServicePackTest, ParsesEveryPackInDocumentOrder) {
  std::string xml = "\xEF\xBB\xBF<ServicePacksNum build_option=\"ZT_STD\" QUILLUP_ID=\"12\">"
                    "<Full size=\"1000\" md5=\"AB\" force=\"2\">ignored text</Full><p1 size=\"7\"/><p2 force=\"0\"/>"
                    "</ServicePacksNum>";
  testutil::WriteFile(NativePathUnchecked(m_list), xml);
  ServicePackInfo info;
  info.vecPacks.push_back(ServicePack{u"old", 1, u"", false, u""});
  ASSERT_TRUE(m_op.ParseServicePackList(m_list, info));
  EXPECT_EQ(info.strBuildOption, u"ZT_STD");
  EXPECT_EQ(info.strId, u"12");
  ASSERT_EQ(info.vecPacks.size(), 3u);
  EXPECT_EQ(info.vecPacks[0].strName, u"Full");
  EXPECT_EQ(info.vecPacks[0].nSize, 1000);
  EXPECT_EQ(info.vecPacks[0].strMd5, u"AB");
  EXPECT_TRUE(info.vecPacks[0].bForce);
  EXPECT_EQ(info.vecPacks[1].strName, u"p1");
  EXPECT_EQ(info.vecPacks[1].strMd5, u"");
  EXPECT_FALSE(info.vecPacks[1].bForce);
  EXPECT_EQ(info.vecPacks[2].nSize, 0);  // missing size reads as 0
}

TEST_F(ServicePackTest, UnusableListsFailToParse) {
  ServicePackInfo info;
  EXPECT_FALSE(m_op.ParseServicePackList(m_list, info));  // no file

  testutil::WriteFile(NativePathUnchecked(m_list), "<ServicePacksNum build_option=\"ZT_STD\"><F size=\"1\"/>");
  EXPECT_FALSE(m_op.ParseServicePackList(m_list, info));  // not well formed

  testutil::WriteFile(NativePathUnchecked(m_list), "<Other build_option=\"ZT_STD\"><F size=\"1\"/></Other>");
  EXPECT_FALSE(m_op.ParseServicePackList(m_list, info));  // other root

  WriteList("ZT_STD", "5", {});
  EXPECT_FALSE(m_op.ParseServicePackList(m_list, info));  // no pack

  // A negative size fails the whole list; what came before it stays read.
  WriteList("ZT_STD", "5", {{"F", "100"}, {"p1", "-1"}, {"p2", "3"}});
  EXPECT_FALSE(m_op.ParseServicePackList(m_list, info));
  ASSERT_EQ(info.vecPacks.size(), 1u);
  EXPECT_EQ(info.vecPacks[0].strName, u"F");

  EXPECT_FALSE(Need());
  EXPECT_TRUE(Logged("ERROR", "解析servicepacksNum.xml文件失败"));
  EXPECT_FALSE(Need(true));
  EXPECT_TRUE(Logged("ERROR", "解析force_servicepack.xml文件失败"));
  EXPECT_TRUE(m_packs.empty());
  EXPECT_EQ(m_server, 0);
  EXPECT_EQ(m_local, 5);
}

TEST_F(ServicePackTest, ForcedListValidity) {
  WriteList("OTHER_BUILD", "3", {{"F", "10"}});
  EXPECT_TRUE(m_op.IsForcePackListValid(m_list));  // the build line is not looked at
  WriteList("ZT_STD", "3", {{"F", "10"}, {"p1", "5"}});
  EXPECT_TRUE(m_op.IsForcePackListValid(m_list));
  WriteList("ZT_STD", "3", {{"F", "10"}, {"p1", "5"}, {"p2", "5"}});
  EXPECT_FALSE(m_op.IsForcePackListValid(m_list));
  WriteList("ZT_STD", "0", {{"F", "10"}});
  EXPECT_FALSE(m_op.IsForcePackListValid(m_list));
  WriteList("ZT_STD", "abc", {{"F", "10"}});
  EXPECT_FALSE(m_op.IsForcePackListValid(m_list));
  WriteList("ZT_STD", "3", {{"F", "-10"}});
  EXPECT_FALSE(m_op.IsForcePackListValid(m_list));
}

TEST_F(ServicePackTest, BuildLineMustMatchExactly) {
  WriteChain("9", "100", "1", "1", "1");
  Configure("zt_std", "5");
  EXPECT_FALSE(Need());
  EXPECT_TRUE(Logged("ERROR", "QUILLUP_VERSION不匹配"));
  EXPECT_EQ(m_server, 0);
  EXPECT_EQ(m_local, 5);
  EXPECT_TRUE(m_packs.empty());
}

TEST_F(ServicePackTest, ForcedListTakesOnlyItsFirstPack) {
  WriteList("ZT_STD", "5", {{"Repair", "100", "aa", "1"}, {"p1", "1"}});
  EXPECT_FALSE(Need(true));
  EXPECT_TRUE(Logged("INFO", "客户端版本5已经是最新的"));
  EXPECT_EQ(m_server, 5);
  EXPECT_TRUE(m_packs.empty());

  // Lower or higher than the installation: installed either way.
  for (const char* id : {"3", "8"}) {
    WriteList("ZT_STD", id, {{"Repair", "100", "aa", "1"}, {"p1", "1"}});
    EXPECT_TRUE(Need(true));
    EXPECT_EQ(Names(), std::vector<std::string>{"Repair"});
    EXPECT_TRUE(m_packs[0].bForce);
    EXPECT_EQ(m_packs[0].strMd5, u"aa");
    EXPECT_EQ(m_server, atoi(id));
  }
}

TEST_F(ServicePackTest, NormalListVersionTest) {
  WriteChain("5", "100", "1", "1", "1");
  EXPECT_FALSE(Need());
  EXPECT_TRUE(Logged("INFO", "客户端版本(5, 5)已经是最新的"));
  Configure("ZT_STD", "6");
  EXPECT_FALSE(Need());
  EXPECT_TRUE(Logged("INFO", "客户端版本(5, 6)已经是最新的"));
  EXPECT_EQ(m_server, 5);
  EXPECT_EQ(m_local, 6);

  // A server version of 0 does not stop the walk.
  WriteChain("0", "100", "1", "1", "1");
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), (std::vector<std::string>{PackNameOf("stamp-B"), PackNameOf("stamp-C")}));
  EXPECT_EQ(m_server, 0);
}

TEST_F(ServicePackTest, ChainWalk) {
  WriteChain("9", "100", "10", "20", "30");
  EXPECT_TRUE(Need());  // installed pA
  EXPECT_EQ(Names(), (std::vector<std::string>{PackNameOf("stamp-B"), PackNameOf("stamp-C")}));
  EXPECT_EQ(m_packs[0].nSize, 20);
  EXPECT_EQ(m_server, 9);
  EXPECT_EQ(m_local, 5);

  InstallStamp("stamp-C");  // the last pack: nothing left
  EXPECT_FALSE(Need());
  EXPECT_TRUE(Logged("INFO", "基准包已经是最新的"));
  EXPECT_TRUE(m_packs.empty());

  InstallStamp("stamp-unknown");  // no match: the full pack
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), std::vector<std::string>{"Full_5_0"});

  // The full pack is never compared: matching its name still gives it.
  WriteList("ZT_STD", "9", {{PackNameOf("stamp-A"), "100"}, {PackNameOf("stamp-B"), "1"}});
  InstallStamp("stamp-A");
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), std::vector<std::string>{PackNameOf("stamp-A")});

  // Only the bytes up to the 63rd make the name.
  WriteChain("9", "100", "10", "20", "30");
  InstallStamp(std::string(63, 's') + "tail");
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), std::vector<std::string>{"Full_5_0"});
}

TEST_F(ServicePackTest, DuplicateNamesAndSinglePackLists) {
  std::string a = PackNameOf("stamp-A");
  WriteList("ZT_STD", "9", {{"F", "1000"}, {a, "1"}, {"pX", "2"}, {a, "3"}, {"pY", "4"}});
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), (std::vector<std::string>{"pX", "pY"}));

  WriteList("ZT_STD", "9", {{"OnlyFull", "1000"}});
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), std::vector<std::string>{"OnlyFull"});
}

TEST_F(ServicePackTest, NoVersionOrStampMeansTheFullPack) {
  WriteChain("9", "100", "1", "1", "1");
  Configure("ZT_STD", "0");
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), std::vector<std::string>{"Full_5_0"});
  EXPECT_EQ(m_local, 0);

  Configure("ZT_STD", "5");
  InstallStamp("");
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), std::vector<std::string>{"Full_5_0"});

}

TEST_F(ServicePackTest, SizeRule) {
  WriteChain("9", "100", "10", "50", "49");
  EXPECT_TRUE(Need());
  EXPECT_EQ(m_packs.size(), 2u);  // 99 < 100

  WriteChain("9", "100", "10", "50", "50");
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), std::vector<std::string>{"Full_5_0"});  // 100 >= 100
  EXPECT_EQ(m_packs[0].nSize, 100);

  // Increments of two thousand million bytes each: a wrapped 32-bit sum
  // would be negative and pick them over the smaller full pack.
  WriteChain("9", "2100000000", "1", "2000000000", "2000000000");
  EXPECT_TRUE(Need());
  EXPECT_EQ(Names(), std::vector<std::string>{"Full_5_0"});

  // Sizes beyond 32 bits read as the largest value.
  WriteChain("9", "99999999999", "1", "1", "1");
  EXPECT_TRUE(Need());
  EXPECT_EQ(m_packs.size(), 2u);
  WriteChain("9", "-5", "1", "1", "1");
  EXPECT_FALSE(Need());
  EXPECT_TRUE(Logged("ERROR", "解析servicepacksNum.xml文件失败"));
}

namespace {

// An Ed25519 key made in memory for one test; nothing is written.
class TestKey {
 public:
  TestKey() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_keygen(ctx, &m_key);
    EVP_PKEY_CTX_free(ctx);
  }
  ~TestKey() { EVP_PKEY_free(m_key); }
  std::string Public() const {
    unsigned char raw[32];
    size_t len = sizeof raw;
    EVP_PKEY_get_raw_public_key(m_key, raw, &len);
    return sig::EncodeBase64(raw, len);
  }
  // The same key as a DER SubjectPublicKeyInfo.
  std::string Spki() const {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(m_key, &der);
    std::string out = sig::EncodeBase64(der, n > 0 ? (size_t)n : 0);
    OPENSSL_free(der);
    return out;
  }
  std::string Sign(const std::string& bytes) const {
    unsigned char out[64];
    size_t len = sizeof out;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, m_key);
    EVP_DigestSign(ctx, out, &len, (const unsigned char*)bytes.data(), bytes.size());
    EVP_MD_CTX_free(ctx);
    return std::string((const char*)out, len);
  }

 private:
  EVP_PKEY* m_key = nullptr;
};

std::string SignedList(const std::string& id, const std::string& rootExtra, bool secondHasSha = true) {
  const std::string sha(64, 'a');
  return "<?xml version=\"1.0\"?>\r\n<ServicePacksNum build_option=\"ZT_STD\" QUILLUP_ID=\"" + id + "\"" + rootExtra +
         ">\r\n  <Full size=\"10\" md5=\"00\" sha256=\"" + sha + "\"/>\r\n  <p1 size=\"3\" md5=\"01\"" +
         (secondHasSha ? " sha256=\"" + std::string(64, 'B') + "\"" : "") + "/>\r\n</ServicePacksNum>\r\n";
}

}  // namespace

TEST_F(ServicePackTest, SignedListsPassOnlyWithAGoodSignatureAndTheirRules) {
  TestKey oldKey, newKey, strangerKey;
  const std::string sigPath = NativePathUnchecked(m_list) + ".sig";
  const int64_t now = 1700000000;
  struct Case {
    std::string name, keys, list, sigFile;
    bool forced;
    bool ok;
    std::string reason;
  };
  const std::string list = SignedList("6", "");
  const std::string good = sig::EncodeBase64(oldKey.Sign(list).data(), 64);
  const std::string byNew = sig::EncodeBase64(newKey.Sign(list).data(), 64);
  const std::string olds = oldKey.Public(), news = newKey.Public();
  auto signedBy = [&](const TestKey& k, const std::string& l) { return sig::EncodeBase64(k.Sign(l).data(), 64) + "\n"; };
  const std::string forcedOk = SignedList("6", " expires=\"1700000100\"");
  const std::string forcedDown = SignedList("4", " expires=\"1700000100\"");
  const std::string forcedSame = SignedList("5", " expires=\"1700000100\"");
  const std::string forcedOld = SignedList("2", " expires=\"1699999999\"");
  const std::string forcedNone = SignedList("2", "");
  const std::string replay = SignedList("4", "");
  const std::string same = SignedList("5", "");
  const std::string noSha = SignedList("6", "", false);
  const std::vector<Case> cases = {
      {"signed", olds, list, good + "\n", false, true, ""},
      {"CR LF line end", olds, list, good + "\r\n", false, true, ""},
      {"no line end", olds, list, good, false, true, ""},
      {"rotation: old key still listed", news + ", " + olds, list, good + "\n", false, true, ""},
      {"rotation: new key", olds + "," + news, list, byNew + "\n", false, true, ""},
      {"rotation done: old key gone", news, list, good + "\n", false, false, "bad signature (no key verifies it)"},
      {"stranger's key", olds + "," + news, list, signedBy(strangerKey, list), false, false, "bad signature (no key"},
      {"one byte of the list changed", olds, SignedList("7", ""), good + "\n", false, false, "bad signature (no key"},
      {"no signature file", olds, list, "", false, false, "missing signature"},
      {"empty signature file", olds, list, "\n", false, false, "bad signature (not one base64"},
      {"not base64", olds, list, std::string(86, '*') + "==\n", false, false, "bad signature (not one base64"},
      {"63 bytes", olds, list, sig::EncodeBase64(oldKey.Sign(list).data(), 63) + "\n", false, false,
       "bad signature (not one base64"},
      {"padding dropped", olds, list, good.substr(0, good.size() - 2) + "\n", false, false, "bad signature (not"},
      {"two lines", olds, list, good + "\n" + good + "\n", false, false, "bad signature (not one base64"},
      {"blank inside", olds, list, good.substr(0, 40) + " " + good.substr(40) + "\n", false, false, "bad signature"},
      {"unreadable key", "not-a-key", list, good + "\n", false, false, "unreadable key"},
      {"key of 31 bytes", sig::EncodeBase64("0123456789012345678901234567890", 31), list, good + "\n", false, false,
       "unreadable key"},
      {"a bad key beside a good one", "junk," + olds, list, good + "\n", false, true, ""},
      {"SubjectPublicKeyInfo key", oldKey.Spki(), list, good + "\n", false, true, ""},
      {"SubjectPublicKeyInfo of a stranger", strangerKey.Spki(), list, good + "\n", false, false,
       "bad signature (no key verifies it)"},
      {"base64 of no key at all", sig::EncodeBase64("no SubjectPublicKeyInfo in here", 31) + "," +
           oldKey.Spki().substr(4), list, good + "\n", false, false, "unreadable key"},
      {"pack without sha256", olds, noSha, signedBy(oldKey, noSha), false, false, "pack p1 carries no sha256"},
      {"replayed older list", olds, replay, signedBy(oldKey, replay), false, false,
       "replayed list: QUILLUP_ID 4 is below the installed 5"},
      {"same version", olds, same, signedBy(oldKey, same), false, true, ""},
      {"forced, before expiry", olds, forcedOk, signedBy(oldKey, forcedOk), true, true, ""},
      {"forced, expired", olds, forcedOld, signedBy(oldKey, forcedOld), true, false,
       "forced list expired at 1699999999 (now 1700000000)"},
      {"forced, no expiry", olds, forcedNone, signedBy(oldKey, forcedNone), true, false, "forced list without expires"},
      // Replayed within its lifetime, a forced list of an earlier release
      // would take the installation back.
      {"forced, older version", olds, forcedDown, signedBy(oldKey, forcedDown), true, false,
       "replayed list: QUILLUP_ID 4 is below the installed 5"},
      {"forced, same version", olds, forcedSame, signedBy(oldKey, forcedSame), true, true, ""},
  };
  for (const Case& c : cases) {
    Configure("ZT_STD", "5", "PACK_PUBLIC_KEYS=" + c.keys + "\r\n");
    ASSERT_TRUE(m_op.IsListSigningOn()) << c.name;
    testutil::WriteFile(NativePathUnchecked(m_list), c.list);
    unlink(sigPath.c_str());
    if (c.name != "no signature file") testutil::WriteFile(sigPath, c.sigFile);
    std::string reason;
    EXPECT_EQ(m_op.CheckSignedList(m_list, WidePath(sigPath), c.forced, now, reason), c.ok) << c.name << ": " << reason;
    if (!c.ok) {
      EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << c.name << ": " << reason;
    }
  }

  // No key, or only blanks: nothing is asked of any list.
  Configure("ZT_STD", "5");
  EXPECT_FALSE(m_op.IsListSigningOn());
  Configure("ZT_STD", "5", "PACK_PUBLIC_KEYS=  \r\n");
  EXPECT_FALSE(m_op.IsListSigningOn());
  // The selection hands the sha256 on with each pack.
  testutil::WriteFile(NativePathUnchecked(m_list), list);
  InstallStamp("stamp-none");
  ASSERT_TRUE(Need());
  ASSERT_EQ(m_packs.size(), 1u);
  EXPECT_EQ(m_packs[0].strSha256, WString(64, u'a'));
}
