// quillup-pack verify: the updater's own selection and staging replayed on
// copies of every version; the packs it picks follow the selection rules
// and a damaged pack is caught.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <sstream>

#include "packer_fixture.h"

using namespace packtest;
using testutil::Flip;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {


struct Chain {
  TempDir dir;
  std::vector<std::string> roots, stamps;
  std::string server;
  void Add(const std::map<std::string, std::string>& files) {
    int id = (int)roots.size() + 1;
    roots.push_back(dir.sub("v" + std::to_string(id)));
    stamps.push_back("stamp of version " + std::to_string(id));
    WriteVersion(roots.back(), id, stamps.back(), files);
  }
  std::string Versions() const {
    std::string a;
    for (const std::string& r : roots) a += " " + Quote(r);
    return a;
  }
  void Build(const std::string& extra = std::string()) {
    server = dir.sub("server");
    std::string err;
    ASSERT_EQ(RunPack("build -q --replace -o " + Quote(server) + " " + extra + Versions(), nullptr, &err), 0) << err;
  }
  int Verify(std::string& out) const {
    std::string err;
    int rc = RunPack("verify " + Quote(server) + Versions(), &out, &err);
    if (!err.empty()) out += "\nstderr: " + err;
    return rc;
  }
};

// Four versions with added, removed, changed and unchanged files.
void FourVersions(Chain& c) {
  std::string big = Noise(300000, 1), same = Noise(60000, 3);
  std::map<std::string, std::string> v = {{"bin/client", "#!/bin/sh\necho 1\n"}, {"data/big.bin", big},
                                          {"docs/readme.txt", "first\n"},        {"keep/same.bin", same},
                                          {"old/legacy.txt", "legacy\n"},        {"lib/core.dll", Noise(40000, 2)}};
  c.Add(v);
  v["bin/client"] = "#!/bin/sh\necho 2\n";
  v["data/big.bin"] = big = Flip(big, {3, 100000});
  v["plugins/new.dat"] = Noise(20000, 4);
  v["\xe4\xb8\x93\xe4\xb8\x9a/\xe6\x8a\xa5\xe8\xa1\xa8.dat"] = Noise(3000, 6);  // 专业/报表.dat
  v["\xe9\x99\x86.txt"] = "lu\n";  // 陆.txt: its 936 bytes also read as UTF-8
  v.erase("old/legacy.txt");
  c.Add(v);
  v["bin/client"] = "#!/bin/sh\necho 3\n";
  v["data/big.bin"] = big = Flip(big, {250000});
  v["docs/readme.txt"] = "third, longer than the first\n";
  v["lib/core.dll"] = Noise(40000, 5);
  c.Add(v);
  testutil::Run("mkdir " + Quote(c.roots.back() + "/cache"));  // empty, and kept in 4
  v["bin/client"] = "#!/bin/sh\necho 4\n";
  v["data/big.bin"] = Flip(big, {7});
  v.erase("plugins/new.dat");
  v["docs/more.txt"] = "added in 4\n";
  c.Add(v);
  testutil::Run("mkdir " + Quote(c.roots.back() + "/cache"));
}

// The selection rules: every pack after the one carrying the current
// stamp, or the full pack when that is not smaller in sum.
std::vector<std::string> Predict(const ListFile& list, int fromIndex) {
  std::vector<std::string> chosen;
  long long sum = 0;
  for (size_t i = fromIndex + 2; i < list.packs.size(); ++i) {
    chosen.push_back(list.packs[i].name);
    sum += list.packs[i].size;
  }
  if (chosen.empty()) return chosen;
  if (sum >= list.packs[0].size) return {list.packs[0].name};
  return chosen;
}

std::string Joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += (s.empty() ? "" : ", ") + x;
  return s;
}

std::string LineOf(const std::string& out, const std::string& start) {
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, start.size(), start) == 0) return line;
  return std::string();
}

}  // namespace

TEST(PackVerify, EveryOlderVersionReachesTheNewestWithThePredictedPacks) {
  Chain c;
  FourVersions(c);
  c.Build();
  std::string out;
  ASSERT_EQ(c.Verify(out), 0) << out;
  ListFile list = ReadList(c.server + "/servicepacksNum.xml");
  ASSERT_EQ(list.packs.size(), 5u);
  EXPECT_NE(LineOf(out, "servicepacksNum.xml: ok"), "") << out;
  for (int v = 0; v < 3; ++v) {
    std::string line = LineOf(out, "version " + std::to_string(v + 1) + " (" + PackNameFor(c.stamps[v]) + "): ");
    EXPECT_NE(line.find(": ok, packs " + Joined(Predict(list, v)) + ", equals version 4"), std::string::npos)
        << line << "\n" << out;
  }
  // The updater never deletes: version 1 keeps its legacy file (dropped in
  // 2) and the plug-in that 2 brought and 4 dropped; version 3 keeps that
  // plug-in only.
  EXPECT_NE(LineOf(out, "version 1 (").find("keeps 2 file(s) removed upstream"), std::string::npos) << out;
  EXPECT_NE(LineOf(out, "version 3 (").find("keeps 1 file(s) removed upstream"), std::string::npos) << out;
  EXPECT_NE(LineOf(out, "version 4 (").find("ok, up to date"), std::string::npos) << out;
  EXPECT_NE(LineOf(out, "version unknown").find("ok, packs full_4, equals version 4"), std::string::npos) << out;
}

TEST(PackVerify, IncrementsLargerThanTheFullPackGiveWayToIt) {
  Chain c;
  c.Add({{"data/a.bin", Noise(100000, 1)}});
  c.Add({{"data/a.bin", Noise(100000, 2)}});  // a new file each time: no delta helps
  c.Add({{"data/a.bin", "tiny"}});
  c.Build();
  std::string out;
  ASSERT_EQ(c.Verify(out), 0) << out;
  ListFile list = ReadList(c.server + "/servicepacksNum.xml");
  ASSERT_EQ(Predict(list, 0), std::vector<std::string>{"full_3"});  // the case this test is about
  EXPECT_NE(LineOf(out, "version 1 (").find("ok, packs full_3, equals version 3"), std::string::npos) << out;
  EXPECT_NE(LineOf(out, "version 2 (").find("ok, packs " + Joined(Predict(list, 1)) + ","), std::string::npos) << out;
}

TEST(PackVerify, ForcedListRepairsEveryVersionWithTheFullPack) {
  Chain c;
  FourVersions(c);
  c.Build("--force-repair");
  std::string out;
  ASSERT_EQ(c.Verify(out), 0) << out;
  EXPECT_NE(LineOf(out, "force_servicepack.xml: ok, 1 packs"), "") << out;
  for (int v = 1; v <= 3; ++v)
    EXPECT_NE(LineOf(out, "forced, version " + std::to_string(v) + " (").find("ok, packs full_4, equals version 4"),
              std::string::npos)
        << out;
  EXPECT_NE(LineOf(out, "forced, version 4 (").find("ok, up to date"), std::string::npos) << out;
}

TEST(PackVerify, ATamperedPackFails) {
  Chain c;
  FourVersions(c);
  c.Build();
  ListFile list = ReadList(c.server + "/servicepacksNum.xml");
  // One byte changed, size kept: the download's MD5 check refuses it.
  std::string p3 = c.server + "/" + list.packs[3].name + ".zip";
  std::string original = ReadFile(p3);
  WriteFile(p3, Flip(original, {original.size() / 2}));
  std::string out;
  EXPECT_EQ(c.Verify(out), 1) << out;
  EXPECT_NE(LineOf(out, "servicepacksNum.xml: FAILED").find("MD5"), std::string::npos) << out;
  EXPECT_NE(LineOf(out, "version 1 (").find("FAILED"), std::string::npos) << out;
  EXPECT_NE(LineOf(out, "version 3 (").find("ok"), std::string::npos) << out;  // does not need that pack

  // A consistent list for wrong content: the staged result betrays it.
  WriteFile(p3, original);
  std::string p4 = c.server + "/" + list.packs[4].name + ".zip";
  TempDir x;
  WriteFile(x.sub("bin/client"), "#!/bin/sh\necho forged\n");
  ASSERT_EQ(testutil::Run("cd " + Quote(x.path()) + " && rm -f " + Quote(p4) + " && zip -qr " + Quote(p4) + " bin"), 0);
  std::string forged = ReadFile(p4);
  std::string xml = ReadFile(c.server + "/servicepacksNum.xml");
  size_t at = xml.find("<" + list.packs[4].name);
  size_t end = xml.find("/>", at);
  xml.replace(at, end - at, "<" + list.packs[4].name + " size=\"" + std::to_string(forged.size()) + "\" md5=\"" +
                                testutil::OpenSslMd5Hex(forged) + "\" force=\"0\"");
  WriteFile(c.server + "/servicepacksNum.xml", xml);
  EXPECT_EQ(c.Verify(out), 1) << out;
  EXPECT_NE(LineOf(out, "servicepacksNum.xml: ok"), "") << out;
  std::string line = LineOf(out, "version 3 (");
  EXPECT_NE(line.find("FAILED"), std::string::npos) << out;
  EXPECT_NE(line.find("bin/client differs"), std::string::npos) << out;
}

TEST(PackVerify, ADeltaForAnotherBaseFailsInStaging) {
  Chain c;
  FourVersions(c);
  c.Build();
  // Version 3 as installed is not what the packs were made from.
  WriteFile(c.roots[2] + "/data/big.bin", Noise(300000, 99));
  std::string out;
  EXPECT_EQ(c.Verify(out), 1) << out;
  std::string line = LineOf(out, "version 3 (");
  EXPECT_NE(line.find("FAILED"), std::string::npos) << out;
  // The updater's own log line of the failed merge is shown.
  EXPECT_NE(out.find("COpFile::UpdateToReadyDir"), std::string::npos) << out;
}

TEST(PackVerify, SignedListsAgreeWithOpenSSLAndFailWhenTouched) {
  Chain c;
  c.Add({{"bin/client", "#!/bin/sh\necho 1\n"}, {"data/a.bin", Noise(50000, 1)}});
  c.Add({{"bin/client", "#!/bin/sh\necho 2\n"}, {"data/a.bin", Noise(50000, 2)}});
  const std::string keys = c.dir.sub("keys"), other = c.dir.sub("other");
  std::string out, err;
  ASSERT_EQ(RunPack("keygen -o " + Quote(keys), &out, &err), 0) << err;
  ASSERT_EQ(RunPack("keygen -o " + Quote(other), nullptr, &err), 0) << err;
  const std::string pem = keys + "/signing-key.pem";
  struct stat st {};
  ASSERT_EQ(stat(pem.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The public line is the raw key openssl finds in the private one.
  const std::string pub = ReadFile(keys + "/signing-key.pub");
  EXPECT_EQ(out, pub);
  ASSERT_EQ(testutil::Run("openssl pkey -in " + Quote(pem) + " -pubout -outform DER 2>/dev/null | tail -c 32 | base64 >" +
                          Quote(c.dir.sub("pub.openssl"))),
            0);
  EXPECT_EQ(ReadFile(c.dir.sub("pub.openssl")), pub);
  EXPECT_NE(RunPack("keygen -o " + Quote(keys), nullptr, &err), 0);  // never replaces a key
  EXPECT_EQ(ReadFile(keys + "/signing-key.pub"), pub);
  // A write that fails (a file size limit stands in for a full disk) is
  // named, and nothing of the new key or its directories is left.
  // Only the program is limited, not what records its messages.
  ASSERT_EQ(testutil::Run("sh -c " + Quote("(trap '' XFSZ; ulimit -f 0; " + Quote(QUILLUP_PACK_PROGRAM) + " keygen -o " +
                                           Quote(c.dir.sub("full/keys")) + "; echo rc=$?) 2>&1 | cat >" +
                                           Quote(c.dir.sub("full.err")))),
            0);
  EXPECT_NE(ReadFile(c.dir.sub("full.err")).find("signing-key.pem: File too large\nrc=1\n"), std::string::npos)
      << ReadFile(c.dir.sub("full.err"));
  EXPECT_FALSE(testutil::Exists(c.dir.sub("full")));

  // Key material is never printed, a key others can read is refused, an
  // encrypted one needs its passphrase from a file and is never asked for.
  EXPECT_EQ(RunPack("verify --public-key " + Quote(pem) + " " + Quote(c.dir.path()) + c.Versions(), &out, &err), 1);
  EXPECT_NE(err.find(pem + " holds a private key"), std::string::npos) << err;
  const std::string pemText = ReadFile(pem);
  const std::string secret = pemText.substr(pemText.find('\n') + 1, 20);
  EXPECT_EQ((out + err).find(secret), std::string::npos) << out << err;
  ASSERT_EQ(chmod(pem.c_str(), 0640), 0);
  EXPECT_EQ(RunPack("sign " + Quote(pem) + " " + Quote(c.dir.path()), nullptr, &err), 1);
  EXPECT_NE(err.find("is readable by group or others (mode 0640); make it private with: chmod 600 " + pem),
            std::string::npos)
      << err;
  ASSERT_EQ(chmod(pem.c_str(), 0600), 0);
  const std::string locked = c.dir.sub("locked.pem"), pass = c.dir.sub("pass");
  ASSERT_EQ(testutil::Run("openssl pkey -in " + Quote(pem) + " -aes256 -passout pass:sesame -out " + Quote(locked) +
                          " && chmod 600 " + Quote(locked)),
            0);
  WriteFile(pass, "sesame\n");
  EXPECT_EQ(RunPack("sign " + Quote(locked) + " " + Quote(c.dir.path()) + " </dev/null", nullptr, &err, "setsid -w"), 1);
  EXPECT_NE(err.find("is encrypted; give its passphrase with --passphrase-file FILE"), std::string::npos) << err;
  WriteFile(c.dir.sub("wrong"), "open\n");
  EXPECT_EQ(RunPack("sign --passphrase-file " + Quote(c.dir.sub("wrong")) + " " + Quote(locked) + " " +
                        Quote(c.dir.path()) + " </dev/null",
                    nullptr, &err, "setsid -w"),
            1);
  EXPECT_NE(err.find("cannot decrypt the signing key"), std::string::npos) << err;

  c.Build("--force-repair --sign-key " + Quote(locked) + " --passphrase-file " + Quote(pass));
  const std::string list = c.server + "/servicepacksNum.xml", forced = c.server + "/force_servicepack.xml";
  // Every pack carries the SHA-256 openssl computes.
  for (const ListedPack& p : ReadList(list).packs) {
    ASSERT_EQ(testutil::Run("openssl dgst -sha256 -r " + Quote(c.server + "/" + p.name + ".zip") + " >" +
                            Quote(c.dir.sub("dgst"))),
              0);
    EXPECT_NE(ReadFile(list).find(" sha256=\"" + ReadFile(c.dir.sub("dgst")).substr(0, 64) + "\""), std::string::npos)
        << p.name;
  }
  const std::string fx = ReadFile(forced);
  size_t at = fx.find(" expires=\"");
  ASSERT_NE(at, std::string::npos) << fx;
  long long expires = atoll(fx.c_str() + at + 10);
  EXPECT_NEAR((double)expires, (double)time(nullptr) + 7 * 86400, 120.0);
  // list shows the expiry as a UTC date beside its seconds.
  ASSERT_EQ(testutil::Run("date -u -d @" + std::to_string(expires) + " '+%Y-%m-%d %H:%M:%S UTC' >" +
                          Quote(c.dir.sub("date"))),
            0);
  ASSERT_EQ(RunPack("list " + Quote(c.server), &out, &err), 0) << err;
  std::string date = ReadFile(c.dir.sub("date"));
  date.pop_back();
  EXPECT_NE(out.find("force_servicepack.xml: version QUILLUP_ID=2, build_option \"line-a\", 1 packs, signed "
                     "(force_servicepack.xml.sig), expires " +
                     std::to_string(expires) + " (" + date + ")\n"),
            std::string::npos)
      << out;
  // openssl accepts the signatures.
  auto opensslVerifies = [&](const std::string& file, const std::string& pubPem) {
    return testutil::Run("base64 -d " + Quote(file + ".sig") + " >" + Quote(c.dir.sub("sig.bin")) +
                         " && openssl pkeyutl -verify -pubin -inkey " + Quote(pubPem) + " -rawin -in " + Quote(file) +
                         " -sigfile " + Quote(c.dir.sub("sig.bin")) + " >/dev/null 2>&1") == 0;
  };
  ASSERT_EQ(testutil::Run("openssl pkey -in " + Quote(pem) + " -pubout -out " + Quote(c.dir.sub("pub.pem"))), 0);
  EXPECT_TRUE(opensslVerifies(list, c.dir.sub("pub.pem")));
  EXPECT_TRUE(opensslVerifies(forced, c.dir.sub("pub.pem")));

  auto verify = [&](const std::string& keyArg) {
    out.clear();
    return RunPack("verify --public-key " + Quote(keyArg) + " " + Quote(c.server) + c.Versions(), &out, &err);
  };
  EXPECT_EQ(verify(keys + "/signing-key.pub"), 0) << out << err;
  EXPECT_NE(LineOf(out, "servicepacksNum.xml.sig: ok, 3 packs, sha256 match"), "") << out;
  EXPECT_NE(LineOf(out, "force_servicepack.xml.sig: ok, 1 packs"), "") << out;
  EXPECT_EQ(verify(ReadFile(other + "/signing-key.pub")), 1) << out;
  EXPECT_NE(LineOf(out, "servicepacksNum.xml.sig: FAILED: bad signature"), "") << out;
  // Rotation: the other key beside the signing one.
  std::string both = ReadFile(other + "/signing-key.pub");
  both.pop_back();
  EXPECT_EQ(verify(both + "," + pub), 0) << out;

  // A signature openssl makes is as good as the tool's own.
  ASSERT_EQ(testutil::Run("openssl pkeyutl -sign -inkey " + Quote(pem) + " -rawin -in " + Quote(list) + " -out " +
                          Quote(c.dir.sub("o.bin")) + " && base64 -w0 " + Quote(c.dir.sub("o.bin")) + " >" +
                          Quote(list + ".sig")),
            0);
  EXPECT_EQ(verify(pub), 0) << out;

  // One byte of the list changed; then a missing signature.
  const std::string original = ReadFile(list);
  std::string changed = original;
  changed[changed.find("QUILLUP_ID=\"2\"") + 12] = '3';
  WriteFile(list, changed);
  EXPECT_EQ(verify(pub), 1) << out;
  EXPECT_NE(LineOf(out, "servicepacksNum.xml.sig: FAILED: bad signature (no key verifies it)"), "") << out;
  WriteFile(list, original);
  ASSERT_EQ(unlink((list + ".sig").c_str()), 0);
  EXPECT_EQ(verify(pub), 1) << out;
  EXPECT_NE(LineOf(out, "servicepacksNum.xml.sig: FAILED: missing signature"), "") << out;

  // sign re-signs the directory with the other key; a pack that does not
  // match its list is not signed.
  ASSERT_EQ(RunPack("sign " + Quote(other + "/signing-key.pem") + " " + Quote(c.server), &out, &err), 0) << err;
  EXPECT_EQ(verify(other + "/signing-key.pub"), 0) << out;
  EXPECT_EQ(verify(pub), 1) << out;
  const std::string zip = c.server + "/" + ReadList(list).packs[2].name + ".zip";
  WriteFile(zip, ReadFile(zip) + "x");
  EXPECT_EQ(RunPack("sign " + Quote(pem) + " " + Quote(c.server), &out, &err), 1);
  EXPECT_NE(err.find(" bytes, servicepacksNum.xml says "), std::string::npos) << err;
}
