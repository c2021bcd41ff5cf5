// One signed release as a release engineer makes it: keygen, versions that
// carry the public key, a signed build, verify, nginx in the block that
// nginx-conf prints, and the real updater updating an installation through
// it; then what build and verify refuse along the way.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/netservers.h"
#include "packer_fixture.h"

using namespace packtest;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

TEST(PackRelease, SignedReleaseFromKeygenToAnUpdateThroughNginx) {
  netsrv::IsolateNetwork();
  TempDir d;
  std::string out, err;
  ASSERT_EQ(testutil::Run("QUILLUP_PACK=" + Quote(QUILLUP_PACK_PROGRAM) + " bash " + Quote(QUILLUP_DEMO_ENV_SCRIPT) +
                          " --updater " + Quote(QUILLUP_UPDATER_PROGRAM) + " " + Quote(d.sub("demo")) + " >/dev/null"),
            0);
  const std::string keys = d.sub("keys"), other = d.sub("other"), site = d.sub("site");
  const std::string pem = keys + "/signing-key.pem";
  ASSERT_EQ(RunPack("keygen -o " + Quote(keys), &out, &err), 0) << err;
  const std::string pub = out.substr(0, out.find('\n'));
  ASSERT_EQ(RunPack("keygen -o " + Quote(other), nullptr, &err), 0) << err;
  std::string versions;
  for (int i = 1; i <= 3; ++i) {
    const std::string v = d.sub("demo/versions/v" + std::to_string(i));
    WriteFile(v + "/config/quillupcfg.ini", ReadFile(v + "/config/quillupcfg.ini") + "PACK_PUBLIC_KEYS=" + pub + "\n");
    versions += " " + Quote(v);
  }
  const std::string v2 = d.sub("demo/versions/v2"), v3 = d.sub("demo/versions/v3");

  // Lists the installations would refuse are not built.
  EXPECT_EQ(RunPack("build -o " + Quote(site) + versions, nullptr, &err), 1);
  EXPECT_NE(err.find("sets PACK_PUBLIC_KEYS: installations of version 3 refuse unsigned lists"), std::string::npos) << err;
  EXPECT_EQ(RunPack("build -o " + Quote(site) + " --sign-key " + Quote(other + "/signing-key.pem") + versions, nullptr, &err), 1);
  EXPECT_NE(err.find("is not among PACK_PUBLIC_KEYS of " + v3 + "/config/quillupcfg.ini"), std::string::npos) << err;
  EXPECT_EQ(RunPack("build -o " + Quote(v3 + "/site") + " --sign-key " + Quote(pem) + versions, nullptr, &err), 1);
  EXPECT_NE(err.find("lies inside the version tree " + v3), std::string::npos) << err;
  ASSERT_EQ(chmod(pem.c_str(), 0644), 0);
  EXPECT_EQ(RunPack("build -o " + Quote(site) + " --sign-key " + Quote(pem) + versions, nullptr, &err), 1);
  EXPECT_NE(err.find("chmod 600 " + pem), std::string::npos) << err;
  ASSERT_EQ(chmod(pem.c_str(), 0600), 0);
  EXPECT_FALSE(testutil::Exists(site));

  ASSERT_EQ(RunPack("build -q -o " + Quote(site) + " --sign-key " + Quote(pem) + versions, nullptr, &err), 0) << err;
  // verify checks the signatures with the versions' own keys...
  ASSERT_EQ(RunPack("verify -q " + Quote(site) + versions, &out, &err), 0) << out << err;
  EXPECT_NE(out.find("servicepacksNum.xml.sig (keys of version 3): ok, 4 packs, sha256 match\n"), std::string::npos) << out;
  // ...or with the keys given, never printing a private one.
  EXPECT_EQ(RunPack("verify -q --public-key " + Quote(other + "/signing-key.pub") + " " + Quote(site) + versions, &out, &err), 1);
  EXPECT_NE(out.find("servicepacksNum.xml.sig: FAILED: bad signature"), std::string::npos) << out;
  EXPECT_EQ(RunPack("verify -q --public-key " + Quote(pem) + " " + Quote(site) + versions, &out, &err), 1);
  EXPECT_NE(err.find(pem + " holds a private key"), std::string::npos) << err;
  EXPECT_EQ((out + err).find("PRIVATE"), std::string::npos) << out << err;

  // nginx serves the set; the real updater takes version 1 to version 3.
  netsrv::Nginx nginx(d.sub("nginx"), [&](int port) {
    EXPECT_EQ(RunPack("nginx-conf --listen 127.0.0.1 --port " + std::to_string(port) + " " + Quote(site), &out, &err), 0);
    return out;
  });
  const std::string install = d.sub("install");
  ASSERT_EQ(testutil::Run("cp -a " + Quote(d.sub("demo/versions/v1")) + " " + Quote(install) + " && cp " +
                          Quote(QUILLUP_UPDATER_PROGRAM) + " " + Quote(install + "/Quillup")),
            0);
  WriteFile(install + "/InternalDownloadURL.ini", "[DownloadURL]\r\nDefaultDownloadURL=" + nginx.HttpUrl("") + "\r\n");
  testutil::Run("mkdir -p " + Quote(d.sub("run")) + " " + Quote(d.sub("reg")) + " && chmod 700 " + Quote(d.sub("run")));
  const int rc = testutil::Run("cd " + Quote(d.path()) + " && QUILLUP_HEADLESS=1 DISPLAY= WAYLAND_DISPLAY= XDG_RUNTIME_DIR=" +
                               Quote(d.sub("run")) + " QUILLUP_REGISTRY_DIR=" + Quote(d.sub("reg")) +
                               " XDG_CONFIG_HOME=" + Quote(d.sub("reg")) +
                               " QUILLUP_CONFIG_SERVICE_HOST=127.0.0.1:1 http_proxy= HTTP_PROXY= timeout 120 " +
                               Quote(install + "/Quillup") + " 2>" + Quote(d.sub("updater.err")));
  const std::string log = ReadFile(install + "/Log/tarvex.log");
  ASSERT_EQ(rc, 0) << ReadFile(d.sub("updater.err")) << log;
  EXPECT_NE(log.find("升级完成。"), std::string::npos) << log;
  for (const auto& [rel, content] : ReadTree(v3)) EXPECT_EQ(ReadFile(install + "/" + rel), content) << rel;
  bool sigFetched = false;
  for (const std::string& line : nginx.AccessLines()) sigFetched = sigFetched || line.find("GET /servicepacksNum.xml.sig 200") == 0;
  EXPECT_TRUE(sigFetched);

  // A published pack keeps its bytes: a time changed in an old tree is
  // named, the served set stays; --force publishes it, and the site's own
  // files stay in every case.
  WriteFile(site + "/notes/README.txt", "the site's own\n");
  const auto served = ReadTree(site);
  ASSERT_EQ(testutil::Run("touch -d '2021-02-03 04:05:06' " + Quote(v2 + "/bin/zoclient")), 0);
  const std::string p2 = PackNameFor(ReadFile(v2 + "/config/update.ini")) + ".zip";
  EXPECT_EQ(RunPack("build -q --replace -o " + Quote(site) + " --sign-key " + Quote(pem) + versions, nullptr, &err), 1);
  EXPECT_NE(err.find(site + "/" + p2 + " (bin/zoclient"), std::string::npos) << err;
  EXPECT_NE(err.find(": time changed from "), std::string::npos) << err;
  EXPECT_NE(err.find(" to 2021-02-03 04:05:06 (local time))"), std::string::npos) << err;
  EXPECT_TRUE(ReadTree(site) == served);
  ASSERT_EQ(RunPack("build -q --replace --force -o " + Quote(site) + " --sign-key " + Quote(pem) + versions, nullptr, &err), 0)
      << err;
  EXPECT_NE(err.find("--force: published packs get other bytes"), std::string::npos) << err;
  EXPECT_NE(ReadFile(site + "/" + p2), served.at(p2));
  EXPECT_EQ(ReadFile(site + "/notes/README.txt"), "the site's own\n");
  ASSERT_EQ(RunPack("verify -q " + Quote(site) + versions, &out, &err), 0) << out << err;
  // Signed by a key the versions do not carry: verify fails as they would.
  ASSERT_EQ(testutil::Run("cp -a " + Quote(site) + " " + Quote(d.sub("resigned"))), 0);
  ASSERT_EQ(RunPack("sign " + Quote(other + "/signing-key.pem") + " " + Quote(d.sub("resigned")), nullptr, &err), 0) << err;
  EXPECT_EQ(RunPack("verify -q " + Quote(d.sub("resigned")) + versions, &out, &err), 1);
  EXPECT_NE(out.find("servicepacksNum.xml.sig (keys of version 3): FAILED: bad signature"), std::string::npos) << out;
}
