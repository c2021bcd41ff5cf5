// scripts/demo-env: the demo versions, their server directory and the
// installation of version 1 that the README's main command updates.
#include <gtest/gtest.h>
#include <unistd.h>

#include "packer_fixture.h"

using namespace packtest;
using testutil::ReadFile;
using testutil::TempDir;

namespace {

int RunDemoEnv(const std::string& args, std::string* err = nullptr) {
  TempDir io;
  int rc = testutil::Run(std::string("QUILLUP_PACK=") + Quote(QUILLUP_PACK_PROGRAM) + " bash " +
                         Quote(QUILLUP_DEMO_ENV_SCRIPT) + " " + args + " >" + Quote(io.sub("out")) + " 2>" +
                         Quote(io.sub("err")));
  if (err) *err = ReadFile(io.sub("err"));
  return rc;
}

}  // namespace

TEST(DemoEnv, CreatesThreeVersionsTheirServerAndAnInstallationOfVersionOne) {
  TempDir d;
  std::string demo = d.sub("demo"), err;
  testutil::WriteFile(d.sub("updater"), "#!/bin/sh\n");
  testutil::Run("chmod 755 " + Quote(d.sub("updater")));
  ASSERT_EQ(RunDemoEnv("--port 45678 --updater " + Quote(d.sub("updater")) + " " + Quote(demo), &err), 0) << err;
  std::string env = ReadFile(demo + "/demo.env");
  EXPECT_NE(env.find("QUILLUP_DEMO_PORT=45678"), std::string::npos) << env;
  EXPECT_NE(env.find("QUILLUP_DEMO_URL='http://127.0.0.1:45678'"), std::string::npos) << env;

  for (int v = 1; v <= 3; ++v) {
    std::string root = demo + "/versions/v" + std::to_string(v);
    std::string cfg = ReadFile(root + "/config/quillupcfg.ini");
    EXPECT_NE(cfg.find("OUTSIDE_DOWNLOAD_URL=http://127.0.0.1:45678\n"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("QUILLUP_ID=" + std::to_string(v) + "\n"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("BIN_FILE=bin/zoclient\n"), std::string::npos);
    EXPECT_EQ(access((root + "/bin/zoclient").c_str(), X_OK), 0);
    std::string bmp = ReadFile(root + "/skin.bmp");
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    auto le32 = [&bmp](size_t at) {
      uint32_t v = 0;
      for (int k = 3; k >= 0; --k) v = v << 8 | (unsigned char)bmp[at + k];
      return (int32_t)v;
    };
    EXPECT_EQ(le32(18), 510);  // width and height, little-endian
    EXPECT_EQ(le32(22), 316);
  }
  ListFile list = ReadList(demo + "/server/servicepacksNum.xml");
  EXPECT_EQ(list.id, "3");
  ASSERT_EQ(list.packs.size(), 4u);
  EXPECT_EQ(list.packs[0].name, "full_3");
  EXPECT_EQ(list.packs[1].name, PackNameFor(ReadFile(demo + "/versions/v1/config/update.ini")));
  EXPECT_EQ(list.packs[3].name, PackNameFor(ReadFile(demo + "/versions/v3/config/update.ini")));
  // The increments are worth taking: together smaller than the full pack.
  EXPECT_LT(list.packs[2].size + list.packs[3].size, list.packs[0].size);

  // Version 1 and the updater beside it, nothing else.
  auto expected = ReadTree(demo + "/versions/v1");
  expected["Quillup"] = "#!/bin/sh\n";
  EXPECT_TRUE(ReadTree(demo + "/install") == expected);
  ASSERT_EQ(testutil::Run(Quote(demo + "/install/bin/zoclient")), 0);
  EXPECT_EQ(ReadFile(demo + "/install/client.log"), "zoclient version 1 started\n");
}

TEST(DemoEnv, PrintsUsageAndRefusesToOverwrite) {
  TempDir d;
  std::string err;
  EXPECT_EQ(testutil::Run("bash " + Quote(QUILLUP_DEMO_ENV_SCRIPT) + " --help | grep -q 'usage: scripts/demo-env'"), 0);
  testutil::WriteFile(d.sub("busy/file"), "x");
  EXPECT_EQ(RunDemoEnv(Quote(d.sub("busy")), &err), 1);
  EXPECT_NE(err.find("is not empty"), std::string::npos) << err;
  EXPECT_EQ(RunDemoEnv("", &err), 2);
}
