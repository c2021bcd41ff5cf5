// quillup-pack build on bad input: a clear message, exit status 1, and
// nothing written where the server directory was to be.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "packer_fixture.h"

using namespace packtest;
using testutil::TempDir;
using testutil::ReadFile;
using testutil::WriteFile;

namespace {

struct Case {
  using Spoil = std::function<void(const std::string& v1, const std::string& v2)>;
  Case(const char* w, Spoil s, const char* m, std::string extra = std::string())
      : what(w), spoil(std::move(s)), message(m), extraArgs(std::move(extra)) {}
  const char* what;
  Spoil spoil;
  const char* message;
  std::string extraArgs;
};

void ExpectCleanFailure(const Case& c) {
  SCOPED_TRACE(c.what);
  TempDir d;
  std::string v1 = d.sub("v1"), v2 = d.sub("v2"), server = d.sub("server");
  WriteVersion(v1, 1, "stamp one", {{"a.txt", "a1"}, {"b.bin", Noise(5000, 1)}});
  WriteVersion(v2, 2, "stamp two", {{"a.txt", "a2"}, {"b.bin", Noise(5000, 2)}});
  c.spoil(v1, v2);
  size_t before = ListNames(d.path()).size();
  std::string err;
  EXPECT_EQ(RunPack("build -o " + Quote(server) + " " + c.extraArgs + " " + Quote(v1) + " " + Quote(v2), nullptr, &err), 1);
  EXPECT_NE(err.find(c.message), std::string::npos) << err;
  EXPECT_NE(err.find("error:"), std::string::npos) << err;
  EXPECT_FALSE(testutil::Exists(server));
  std::vector<std::string> left = ListNames(d.path());
  EXPECT_EQ(left.size(), before) << "left beside the server directory: " << testing::PrintToString(left);
}

}  // namespace

TEST(PackBuildErrors, BadVersionTreesFailBeforeAnythingIsWritten) {
  std::vector<Case> cases = {
      {"missing stamp", [](auto&, auto& v2) { unlink((v2 + "/config/update.ini").c_str()); },
       "has no config/update.ini stamp"},
      {"empty stamp", [](auto&, auto& v2) { WriteFile(v2 + "/config/update.ini", ""); }, "is empty"},
      {"same stamp up to byte 63",
       [](auto& v1, auto& v2) {
         WriteFile(v1 + "/config/update.ini", std::string(63, 's') + "one");
         WriteFile(v2 + "/config/update.ini", std::string(63, 's') + "two");
       },
       "carry the same stamp"},
      {"falling QUILLUP_ID", [](auto&, auto& v2) { WriteVersion(v2, 1, "stamp two", {}); }, "rising QUILLUP_ID"},
      {"no QUILLUP_ID", [](auto&, auto& v2) { WriteVersion(v2, 0, "stamp two", {}); }, "not a positive number"},
      {"other build line", [](auto&, auto& v2) { WriteVersion(v2, 2, "stamp two", {}, "line-b"); }, "QUILLUP_VERSION"},
      {"missing required key",
       [](auto&, auto& v2) { WriteFile(v2 + "/config/quillupcfg.ini", "[QUILLUP_CFG]\nQUILLUP_ID=2\nQUILLUP_VERSION=line-a\n"); },
       "lacks OUTSIDE_DOWNLOAD_URL"},
      {"file named like a delta", [](auto&, auto& v2) { WriteFile(v2 + "/x.delta", "d"); }, "\".delta\""},
      {"symbolic link", [](auto&, auto& v2) { testutil::Run("ln -s a.txt " + Quote(v2 + "/link")); }, "symbolic link"},
      {"file becomes directory", [](auto&, auto& v2) { testutil::Run("rm " + Quote(v2 + "/a.txt") + " && mkdir " + Quote(v2 + "/a.txt")); },
       "is a file in"},
      {"name outside code page 936", [](auto&, auto& v2) { WriteFile(v2 + "/\xf0\x9f\x98\x80.txt", "e"); }, "code page 936"},
      {"names differing in case only", [](auto&, auto& v2) { WriteFile(v2 + "/A.TXT", "A"); }, "differ only in letter case"},
      {"stray update directory", [](auto&, auto& v2) { WriteFile(v2 + "/update/x", "x"); }, "contains update/"},
      {"version tree missing", [](auto&, auto& v2) { testutil::Run("rm -rf " + Quote(v2)); }, "is not a directory"},
      {"full pack name of an increment", [](auto&, auto&) {}, "cannot name the full pack", "--full-name pfull"},
      // What the client's integrity check reads: skipped lines, then a file the tree lacks.
      {"required file missing",
       [](auto&, auto& v2) {
         WriteFile(v2 + "/config/neededfilelist.lst",
                   "ZoTrade\\x.dll\r\n data\\q.bin \r\nquotes.DAT\r\n  a.txt \r\nbin\\client.exe\r\n");
       },
       "/v2/config/neededfilelist.lst names bin/client.exe, which "},
      {"no required-file list", [](auto&, auto& v2) { unlink((v2 + "/config/neededfilelist.lst").c_str()); },
       "/v2 has no readable config/neededfilelist.lst"},
      {"keys but no signing key",
       [](auto&, auto& v2) {
         WriteFile(v2 + "/config/quillupcfg.ini", ReadFile(v2 + "/config/quillupcfg.ini") +
                                                      "PACK_PUBLIC_KEYS=11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=\r\n");
       },
       "installations of version 2 refuse unsigned lists"},
      // Names and sizes a Windows installation or a pack cannot hold.
      {"device name", [](auto&, auto& v2) { WriteFile(v2 + "/docs/con.txt", "c"); }, "/v2/docs/con.txt: the name holds the device name CON"},
      {"device directory", [](auto&, auto& v2) { WriteFile(v2 + "/Lpt9/a", "c"); }, "/v2/Lpt9: the name holds the device name LPT9"},
      {"reserved character", [](auto&, auto& v2) { WriteFile(v2 + "/a:b.txt", "c"); }, "/v2/a:b.txt: the name holds the character :"},
      {"control character", [](auto&, auto& v2) { WriteFile(v2 + "/a\tb", "c"); }, "the name holds a control character"},
      {"trailing dot", [](auto&, auto& v2) { WriteFile(v2 + "/ends./x", "c"); }, "/v2/ends.: the name holds a trailing dot"},
      {"path too long", [](auto&, auto& v2) { WriteFile(v2 + "/" + std::string(100, 'a') + "/" + std::string(60, 'b'), "c"); },
       "the relative path is 161 UTF-16 units (161 bytes in code page 936); at most 160 and 253"},
      {"path too long in code page 936",
       [](auto&, auto& v2) {
         std::string lu;
         for (int i = 0; i < 67; ++i) lu += "\xe9\x99\x86";  // 陆: 2 bytes in code page 936
         WriteFile(v2 + "/" + lu.substr(0, 180) + "/" + lu, "c");
       },
       "is 128 UTF-16 units (255 bytes in code page 936)"},
      {"file of 2 GiB", [](auto&, auto& v2) { testutil::Run("truncate -s 2G " + Quote(v2 + "/huge.bin")); },
       "/v2/huge.bin is 2147483648 bytes; a pack holds less than 2 GiB"},
  };
  for (const Case& c : cases) ExpectCleanFailure(c);
}

TEST(PackBuildErrors, UnreadableFileIsNamed) {
  // Root reads everything; drop to an unprivileged user for this one.
  std::string prefix;
  if (geteuid() == 0) {
    if (testutil::Run("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is needed to drop root";
    prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups";
  }
  TempDir d;
  testutil::Run("chmod 777 " + Quote(d.path()));
  std::string v1 = d.sub("v1"), v2 = d.sub("v2"), server = d.sub("server");
  WriteVersion(v1, 1, "stamp one", {{"a.txt", "a1"}});
  WriteVersion(v2, 2, "stamp two", {{"a.txt", "a2"}, {"secret.bin", "s"}});
  testutil::Run("chmod -R a+rX " + Quote(v1) + " " + Quote(v2) + " && chmod 000 " + Quote(v2 + "/secret.bin"));
  std::string err;
  EXPECT_EQ(RunPack("build -o " + Quote(server) + " " + Quote(v1) + " " + Quote(v2), nullptr, &err, prefix), 1);
  EXPECT_NE(err.find("cannot read " + v2 + "/secret.bin"), std::string::npos) << err;
  EXPECT_FALSE(testutil::Exists(server));
  EXPECT_EQ(ListNames(d.path()).size(), 2u);
}

TEST(PackBuildErrors, FailureHalfWayLeavesThePublishedSetAlone) {
  TempDir d;
  std::string v1 = d.sub("v1"), v2 = d.sub("v2"), server = d.sub("server");
  WriteVersion(v1, 1, "stamp one", {{"big.bin", Noise(50000, 1)}});
  WriteVersion(v2, 2, "stamp two", {{"big.bin", Noise(50000, 2)}});
  std::string args = "build -o " + Quote(server) + " " + Quote(v1) + " " + Quote(v2);
  std::string err;
  // The delta maker fails after the full and base packs were written.
  EXPECT_EQ(RunPack(args, nullptr, &err, "QUILLUP_PACK_XDELTA3=/bin/false"), 1);
  EXPECT_NE(err.find("xdelta3 failed"), std::string::npos) << err;
  EXPECT_FALSE(testutil::Exists(server));
  EXPECT_EQ(ListNames(d.path()).size(), 2u);

  ASSERT_EQ(RunPack("build -o " + Quote(server) + " " + Quote(v1), nullptr, &err), 0) << err;
  std::string before = testutil::ReadFile(server + "/servicepacksNum.xml");
  EXPECT_EQ(RunPack(args + " --replace", nullptr, &err, "QUILLUP_PACK_XDELTA3=/bin/false"), 1);
  EXPECT_EQ(testutil::ReadFile(server + "/servicepacksNum.xml"), before);
  EXPECT_EQ(ListNames(server).size(), 3u);  // list, full pack, base pack of the old set
  EXPECT_EQ(ListNames(d.path()).size(), 3u);
}

TEST(PackBuildErrors, WrongUsageExitsWithTwo) {
  std::string err;
  EXPECT_EQ(RunPack("", nullptr, &err), 2);
  EXPECT_NE(err.find("usage:"), std::string::npos);
  EXPECT_EQ(RunPack("build somedir", nullptr, &err), 2);
  EXPECT_NE(err.find("-o SERVER_DIR"), std::string::npos) << err;
  EXPECT_EQ(RunPack("build -o", nullptr, &err), 2);
  EXPECT_EQ(RunPack("frobnicate", nullptr, &err), 2);
  EXPECT_NE(err.find("unknown command"), std::string::npos);
  EXPECT_EQ(RunPack("build --sign-key k --force-repair --expires-days 0 -o s v", nullptr, &err), 2);
  EXPECT_NE(err.find("--expires-days needs a whole number of days from 1 to 3650"), std::string::npos) << err;
  EXPECT_EQ(RunPack("build -o a v --output=b", nullptr, &err), 2);
  EXPECT_NE(err.find("--output is given more than once"), std::string::npos) << err;
  EXPECT_EQ(RunPack("verify --bogus s v", nullptr, &err), 2);
  EXPECT_NE(err.find("unknown option --bogus"), std::string::npos) << err;
  for (const char* v : {"--version", "build --version", "serve --version"}) {
    std::string out;
    EXPECT_EQ(RunPack(v, &out, &err), 0) << v;
    EXPECT_EQ(out, "quillup-pack " QUILLUP_PACK_VERSION "\n") << v;
  }
  EXPECT_EQ(RunPack("serve --port x dir", nullptr, &err), 2);
  EXPECT_EQ(RunPack("nginx-conf --port x .", nullptr, &err), 2);
  EXPECT_EQ(RunPack("nginx-conf --server-name", nullptr, &err), 2);
  EXPECT_NE(err.find("usage: quillup-pack nginx-conf"), std::string::npos) << err;
  // nginx would expand "$" in the root: refused rather than misread.
  TempDir d;
  testutil::Run("mkdir " + Quote(d.sub("a$b")));
  EXPECT_EQ(RunPack("nginx-conf " + Quote(d.sub("a$b")), nullptr, &err), 1);
  EXPECT_NE(err.find("nginx would read differently"), std::string::npos) << err;
}
