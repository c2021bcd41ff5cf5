#include <gtest/gtest.h>

#include "common/testutil.h"
#include "opfile/opfile.h"
#include "support/log.h"
#include "support/md5.h"

using testutil::Exists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

const char* kFullCfg =
    "[QUILLUP_CFG]\r\n"
    "OUTSIDE_DOWNLOAD_URL=http://127.0.0.1:8080/packs/\r\n"
    "OUTSIDE_DOWNLOAD_URL_BETA=http://127.0.0.1:8080/beta/\r\n"
    "BIN_FILE=ZoTrade/ZoTrade\r\n"
    "SPLASH_BMP_FILE=skin/splash.bmp\r\n"
    "QUILLUP_DIALOG_WINDOW_NAME=升级程序\r\n"
    "QUILLUP_VERSION=build-2024\r\n"
    "STATUS_BAR_TEXT_COLOR=0xFF\r\n"
    "QUILLUP_ID=120\r\n";

// An installation directory with a log of its own.
class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CLog::Release();
    CLog::Instance()->SetPath(root.wsub("Log/tarvex.log"));
  }
  void TearDown() override { CLog::Release(); }

  void Install(const std::string& cfg, const std::string& stamp = "stamp of pack 7") {
#ifdef _WIN32
    // What every Windows reads whatever its ANSI code page: UTF-16LE with
    // its mark.
    WriteFile(root.sub("config/quillupcfg.ini"), "\xFF\xFE" + Utf16leFromWide(WideFromUtf8(cfg)));
#else
    WriteFile(root.sub("config/quillupcfg.ini"), cfg);
#endif
    WriteFile(root.sub("config/update.ini"), stamp);
  }
  static std::string Drop(std::string cfg, const std::string& key) {
    size_t at = cfg.find("\r\n" + key + "=");
    if (at != std::string::npos) cfg.erase(at + 2, cfg.find("\r\n", at + 2) - at);
    return cfg;
  }
  // The full configuration without one key, with extra lines appended.
  std::string Cfg(const std::string& drop, const std::string& add = "") { return Drop(kFullCfg, drop) + add; }
  std::string Ex() { return ReadFile(root.sub("config/quillupcfg_ex.ini")); }
  std::string Log() { return ReadFile(root.sub("Log/tarvex.log")); }
  WString R() { return root.wpath(); }

  TempDir root;
  COpFile op;
};

}  // namespace

TEST_F(ConfigTest, CompleteConfigurationLoads) {
  Install(kFullCfg);
  WriteFile(root.sub("InternalDownloadURL.ini"),
            "[DownloadURL]\nDefaultDownloadURL=http://127.0.0.1:9/inner/\nDelayTipTime=30s\nReCheckTime=600\n");
  ASSERT_TRUE(op.Init(R()));
  EXPECT_EQ(op.GetDownloadBaseUrl(), u"http://127.0.0.1:9/inner/");
  EXPECT_EQ(op.GetBetaDownloadUrl(), u"http://127.0.0.1:8080/beta/");
  EXPECT_EQ(op.GetBinFile(), u"ZoTrade/ZoTrade");
  EXPECT_EQ(op.GetSplashBmpFile(), u"skin/splash.bmp");
  EXPECT_EQ(op.GetDialogWindowName(), u"升级程序");
  EXPECT_EQ(op.GetVersion(), u"build-2024");
  EXPECT_EQ(op.GetId(), u"120");
  EXPECT_EQ(op.GetDelayTipTime(), 30);
  EXPECT_EQ(op.GetReCheckTime(), 600);
  EXPECT_EQ(op.GetStatusBarTextColor(), 0xFFu);
  // Nothing was missing, so the flag file is not touched.
  EXPECT_FALSE(Exists(root.sub("config/quillupcfg_ex.ini")));
  EXPECT_EQ(op.GetUpdateFlag(R()), 0);
  EXPECT_FALSE(op.IsVersionInfoMissing(R()));
  EXPECT_EQ(Log(), "");
}

TEST_F(ConfigTest, EmptyRootFails) {
  EXPECT_FALSE(op.Init(u""));
}

TEST_F(ConfigTest, EachRequiredKeyMissingFailsNamingTheFile) {
  for (const char* key : {"OUTSIDE_DOWNLOAD_URL", "BIN_FILE", "SPLASH_BMP_FILE", "QUILLUP_DIALOG_WINDOW_NAME",
                          "QUILLUP_VERSION"}) {
    SCOPED_TRACE(key);
    Install(Cfg(key));
    WriteFile(root.sub("Log/tarvex.log"), "");
    COpFile fresh;
    EXPECT_FALSE(fresh.Init(R()));
    std::string log = Log();
    std::string expected = " [ERROR] [COpFile::ReadQuillupCfgIni] \xE7\xBC\xBA\xE5\xB0\x91\xE9\x85\x8D\xE7\xBD\xAE\xE9\xA1\xB9:" +
                           root.sub("config/quillupcfg.ini") + "\r\n";
    ASSERT_EQ(log.size(), 23 + expected.size()) << log;
    EXPECT_EQ(log.substr(23), expected);
  }
  // An empty value counts as missing too, and the fields read so far stay.
  Install(Cfg("BIN_FILE", "BIN_FILE=  \r\n"));
  COpFile fresh;
  EXPECT_FALSE(fresh.Init(R()));
  EXPECT_EQ(fresh.GetVersion(), u"build-2024");
  EXPECT_EQ(fresh.GetDownloadBaseUrl(), u"http://127.0.0.1:8080/packs/");
}

TEST_F(ConfigTest, OptionalKeysMayBeMissing) {
  Install(Drop(Cfg("STATUS_BAR_TEXT_COLOR"), "OUTSIDE_DOWNLOAD_URL_BETA"));
  ASSERT_TRUE(op.Init(R()));
  EXPECT_EQ(op.GetBetaDownloadUrl(), u"");
  EXPECT_EQ(op.GetStatusBarTextColor(), 0xD2D2D2u);
  EXPECT_EQ(op.GetDownloadBaseUrl(), u"http://127.0.0.1:8080/packs/");
  EXPECT_EQ(op.GetDelayTipTime(), 180);
  EXPECT_EQ(op.GetReCheckTime(), 1200);
}

TEST_F(ConfigTest, MissingConfigDirectoryFailsWithoutCreatingAnything) {
  EXPECT_FALSE(op.Init(R()));
  EXPECT_FALSE(Exists(root.sub("config")));
  EXPECT_NE(Log().find("[COpFile::ReadQuillupCfgIni]"), std::string::npos);
}

TEST_F(ConfigTest, VersionIdIsReadAsLeadingDigits) {
  struct Case {
    const char* id;
    bool missing;
  } cases[] = {{"12abc", false}, {"1", false}, {"-3", true}, {"abc", true}, {"0", true}, {"", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    Install(Cfg("QUILLUP_ID", std::string("QUILLUP_ID=") + c.id + "\r\n"));
    testutil::RemoveAll(root.sub("config/quillupcfg_ex.ini"));
    EXPECT_EQ(op.IsVersionInfoMissing(R()), c.missing);
    COpFile fresh;
    ASSERT_TRUE(fresh.Init(R()));
    EXPECT_EQ(fresh.GetUpdateFlag(R()), c.missing ? 2 : 0);
    EXPECT_EQ(fresh.GetId(), c.missing ? u"0" : WideFromUtf8(c.id));
  }
}

TEST_F(ConfigTest, EmptyOrMissingStampMeansVersionInfoMissing) {
  Install(kFullCfg, "");
  EXPECT_TRUE(op.IsVersionInfoMissing(R()));
  WriteFile(root.sub("config/quillupcfg_ex.ini"), "[QUILLUP_CFG]\r\nUPLOAD_TARVEX_LOG=1\r\n");
  ASSERT_TRUE(op.Init(R()));
  EXPECT_EQ(Ex(), "[QUILLUP_CFG]\r\nUPLOAD_TARVEX_LOG=1\r\nQUILLUP_FLAG=2\r\n");
  EXPECT_EQ(op.GetId(), u"0");

  testutil::RemoveAll(root.sub("config/update.ini"));
  testutil::RemoveAll(root.sub("config/quillupcfg_ex.ini"));
  EXPECT_TRUE(op.IsVersionInfoMissing(R()));
  COpFile fresh;
  ASSERT_TRUE(fresh.Init(R()));
  EXPECT_EQ(fresh.GetUpdateFlag(R()), 2);
}

TEST_F(ConfigTest, FlagThreeIsNeverRewrittenAndAsksAsVersionZero) {
  Install(kFullCfg, "");
  const std::string ex = "[QUILLUP_CFG]\nQUILLUP_FLAG = 3\n";
  WriteFile(root.sub("config/quillupcfg_ex.ini"), ex);
  ASSERT_TRUE(op.Init(R()));
  EXPECT_EQ(Ex(), ex);
  EXPECT_EQ(op.GetId(), u"0");
  // With complete version information too: the id in memory is "0", the file keeps 120.
  Install(kFullCfg);
  COpFile fresh;
  ASSERT_TRUE(fresh.Init(R()));
  EXPECT_EQ(fresh.GetId(), u"0");
  EXPECT_EQ(Ex(), ex);
  EXPECT_NE(testutil::ReadText(root.sub("config/quillupcfg.ini")).find("QUILLUP_ID=120"), std::string::npos);
}

TEST_F(ConfigTest, FlagTwoAtStartAlsoAsksAsVersionZero) {
  Install(kFullCfg);
  WriteFile(root.sub("config/quillupcfg_ex.ini"), "[QUILLUP_CFG]\r\nQUILLUP_FLAG=2\r\n");
  ASSERT_TRUE(op.Init(R()));
  EXPECT_EQ(op.GetId(), u"0");
  WriteFile(root.sub("config/quillupcfg_ex.ini"), "[QUILLUP_CFG]\r\nQUILLUP_FLAG=1\r\n");
  COpFile fresh;
  ASSERT_TRUE(fresh.Init(R()));
  EXPECT_EQ(fresh.GetId(), u"120");
}

TEST_F(ConfigTest, CurrentPackNameDigestsTheFirst63Bytes) {
  const WString stamp = root.wsub("config/update.ini");
  std::string hundred(100, 'a');
  for (int i = 0; i < 100; ++i) hundred[i] = (char)('A' + i % 26);
  WriteFile(root.sub("config/update.ini"), hundred);
  WString name = op.GetCurrentPackName(stamp);
  EXPECT_EQ(name, u"p" + W(Md5Hex(hundred.data(), 63).c_str()));
  EXPECT_EQ(name.size(), 33u);
  std::string other = hundred.substr(0, 63) + std::string(37, 'z');
  WriteFile(root.sub("config/update.ini"), other);
  EXPECT_EQ(op.GetCurrentPackName(stamp), name);
  // Exactly 63 bytes give the same, and so does a 64th byte.
  WriteFile(root.sub("config/update.ini"), hundred.substr(0, 63));
  EXPECT_EQ(op.GetCurrentPackName(stamp), name);
  WriteFile(root.sub("config/update.ini"), hundred.substr(0, 63) + "\n");
  EXPECT_EQ(op.GetCurrentPackName(stamp), name);
  WriteFile(root.sub("config/update.ini"), hundred.substr(0, 62));
  EXPECT_NE(op.GetCurrentPackName(stamp), name);

  // Short stamps are digested over exactly what they hold, no terminator.
  WriteFile(root.sub("config/update.ini"), "p7\r\n");
  EXPECT_EQ(op.GetCurrentPackName(stamp), u"p" + W(Md5Hex("p7\r\n", 4).c_str()));
  WriteFile(root.sub("config/update.ini"), std::string("a\0b", 3));
  EXPECT_EQ(op.GetCurrentPackName(stamp), u"p" + W(Md5Hex("a\0b", 3).c_str()));

  WriteFile(root.sub("config/update.ini"), "");
  EXPECT_EQ(op.GetCurrentPackName(stamp), u"");
  EXPECT_EQ(op.GetCurrentPackName(root.wsub("config/none.ini")), u"");
  EXPECT_EQ(op.GetCurrentPackName(root.wpath()), u"");  // a directory reads nothing
}

TEST_F(ConfigTest, TimesFallBackWhenNotPositive) {
  Install(kFullCfg);
  struct Case {
    const char* delay;
    int32_t delayExpected;
    const char* recheck;
    int32_t recheckExpected;
  } cases[] = {{"0", 180, "0", 1200}, {"-5", 180, "abc", 1200}, {"45", 45, "  90 ", 90}, {"7x", 7, "1e3", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delay);
    WriteFile(root.sub("InternalDownloadURL.ini"),
              std::string("[DownloadURL]\r\nDelayTipTime=") + c.delay + "\r\nReCheckTime=" + c.recheck + "\r\n");
    COpFile fresh;
    ASSERT_TRUE(fresh.Init(R()));
    EXPECT_EQ(fresh.GetDelayTipTime(), c.delayExpected);
    EXPECT_EQ(fresh.GetReCheckTime(), c.recheckExpected);
    EXPECT_EQ(fresh.GetDownloadBaseUrl(), u"http://127.0.0.1:8080/packs/");  // no DefaultDownloadURL
  }
}

TEST_F(ConfigTest, StatusBarColourIsHexadecimal) {
  struct Case {
    const char* text;
    uint32_t colour;
  } cases[] = {{"0xFF", 0xFF}, {"00FF00", 0xFF00}, {"d2d2d2zz", 0xD2D2D2}, {"zz", 0}, {"0x", 0}, {"\"\"", 0xD2D2D2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Install(Cfg("STATUS_BAR_TEXT_COLOR", std::string("STATUS_BAR_TEXT_COLOR=") + c.text + "\r\n"));
    COpFile fresh;
    ASSERT_TRUE(fresh.Init(R()));
    EXPECT_EQ(fresh.GetStatusBarTextColor(), c.colour);
  }
}

TEST_F(ConfigTest, UpdateAndUploadFlags) {
  Install(kFullCfg);
  EXPECT_EQ(op.GetUpdateFlag(R()), 0);
  WriteFile(root.sub("config/quillupcfg_ex.ini"), "; kept\r\n[QUILLUP_CFG]\r\nQUILLUP_FLAG=abc\r\nOTHER=x\r\n");
  EXPECT_EQ(op.GetUpdateFlag(R()), 0);
  op.SetUpdateFlag(R(), 1);
  EXPECT_EQ(op.GetUpdateFlag(R()), 1);
  op.SetUpdateFlag(R(), -1);
  EXPECT_EQ(op.GetUpdateFlag(R()), -1);
  op.SetUpdateFlag(R(), 3);
  op.SetUploadLogFlag(R());
  EXPECT_EQ(Ex(), "; kept\r\n[QUILLUP_CFG]\r\nQUILLUP_FLAG=3\r\nOTHER=x\r\nUPLOAD_TARVEX_LOG=1\r\n");

  // Without a config directory nothing is written and nothing breaks.
  TempDir bare;
  op.SetUpdateFlag(bare.wpath(), 1);
  op.SetUploadLogFlag(bare.wpath());
  EXPECT_FALSE(Exists(bare.sub("config")));
  EXPECT_EQ(op.GetUpdateFlag(bare.wpath()), 0);
}

TEST_F(ConfigTest, CreateEmptyFileNeverTruncates) {
  testutil::MakeDirs(root.sub("config"));
  op.CreateEmptyFile(root.wsub("config/update.ini"));
  ASSERT_TRUE(Exists(root.sub("config/update.ini")));
  EXPECT_EQ(ReadFile(root.sub("config/update.ini")), "");
  WriteFile(root.sub("config/update.ini"), "stamp");
  op.CreateEmptyFile(root.wsub("config/update.ini"));
  EXPECT_EQ(ReadFile(root.sub("config/update.ini")), "stamp");
  op.CreateEmptyFile(root.wsub("missing/update.ini"));
  EXPECT_FALSE(Exists(root.sub("missing")));
}

TEST_F(ConfigTest, SplashPathJoinsRootAndConfiguredFile) {
  Install(Cfg("SPLASH_BMP_FILE", "SPLASH_BMP_FILE=\\skin\\a.bmp\r\n"));
  ASSERT_TRUE(op.Init(R()));
  EXPECT_EQ(op.GetSplashBmpPath(u"/opt/zo/"), u"/opt/zo" + WString(1, kPathSep) + u"skin\\a.bmp");
  Install(kFullCfg);
  COpFile fresh;
  ASSERT_TRUE(fresh.Init(R()));
  EXPECT_EQ(fresh.GetSplashBmpPath(u"/opt/zo"), u"/opt/zo" + WString(1, kPathSep) + u"skin/splash.bmp");
}
