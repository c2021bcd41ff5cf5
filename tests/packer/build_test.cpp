// quillup-pack build: what the packs and the list hold, checked with
// Info-ZIP unzip and the xdelta3 program rather than with the tool's code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "packer_fixture.h"

using namespace packtest;
using testutil::Flip;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {


// Four versions with every kind of change between neighbours.
struct FourVersions {
  TempDir dir;
  std::vector<std::string> roots, stamps;
  FourVersions() {
    std::string big = Noise(300000, 1), core = Noise(100000, 2), same = Noise(50000, 3);
    std::map<std::string, std::string> v1 = {
        {"bin/client", "#!/bin/sh\necho client 1\n"}, {"data/big.bin", big},           {"lib/core.dll", core},
        {"docs/readme.txt", "Readme, first edition.\n"}, {"old/legacy.txt", "legacy\n"}, {"keep/same.bin", same},
        {"\xe9\x99\x86.txt", "lu\n"}};  // 陆.txt: its 936 bytes also read as UTF-8
    auto v2 = v1;
    v2["bin/client"] = "#!/bin/sh\necho client 2\n";
    v2["data/big.bin"] = big = Flip(big, {10, 150000, 299990});
    v2["docs/readme.txt"] = "Readme, second edition, with more words.\n";
    v2["plugins/new.dat"] = Noise(20000, 4);
    v2["\xe4\xb8\x93\xe4\xb8\x9a/\xe6\x8a\xa5\xe8\xa1\xa8.dat"] = Noise(3000, 6);  // 专业/报表.dat
    v2.erase("old/legacy.txt");
    auto v3 = v2;
    v3["bin/client"] = "#!/bin/sh\necho client 3\n";
    v3["data/big.bin"] = big = Flip(big, {77, 200000});
    v3["lib/core.dll"] = Noise(100000, 5);  // rewritten: a delta cannot beat it
    v3["old/legacy.txt"] = "legacy is back\n";
    auto v4 = v3;
    v4["bin/client"] = "#!/bin/sh\necho client 4\n";
    v4["data/big.bin"] = Flip(big, {5});
    v4["docs/readme.txt"] = "Readme, fourth edition.\n";
    v4["docs/\xe8\xaf\xb4\xe6\x98\x8e.txt"] = "\xe8\xaf\xb4\xe6\x98\x8e\n";  // a Chinese name
    v4.erase("plugins/new.dat");
    std::vector<std::map<std::string, std::string>> files = {v1, v2, v3, v4};
    for (int i = 0; i < 4; ++i) {
      roots.push_back(dir.sub("v" + std::to_string(i + 1)));
      // Long stamps: only the first 63 bytes name the pack.
      stamps.push_back("release " + std::to_string(i + 1) + " of the test client, built on a quiet day " +
                       std::string(40, 'x'));
      WriteVersion(roots.back(), i + 1, stamps.back(), files[i]);
    }
    testutil::Run("mkdir -p " + Quote(roots[2] + "/cache"));  // an empty directory, new in version 3
    testutil::Run("chmod 755 " + Quote(roots[0] + "/bin/client"));
  }
  std::string Args(const std::string& server) const {
    std::string a = "build -o " + Quote(server);
    for (const std::string& r : roots) a += " " + Quote(r);
    return a;
  }
};

// unzip writes names in the locale's code set, "#Uxxxx" for what a C
// locale cannot hold; the trees hold Chinese names.
const std::string kUnzip = "LC_ALL=C.UTF-8 unzip ";

std::set<std::string> ZipNames(const std::string& zip) {
  TempDir t;
  testutil::Run(kUnzip + "-Z1 " + Quote(zip) + " >" + Quote(t.sub("names")) + " 2>/dev/null");
  std::set<std::string> names;
  std::string all = ReadFile(t.sub("names")), line;
  for (char c : all) {
    if (c == '\n') {
      if (!line.empty()) names.insert(line);
      line.clear();
    } else {
      line += c;
    }
  }
  return names;
}

}  // namespace

TEST(PackBuild, ListNamesEveryPackInChainOrderWithSizeAndDigest) {
  FourVersions v;
  std::string server = v.dir.sub("server"), out, err;
  std::string args = "build --output=" + Quote(server) + " --";  // getopt's forms
  for (const std::string& r : v.roots) args += " " + Quote(r);
  ASSERT_EQ(RunPack(args, &out, &err), 0) << err;
  ListFile list = ReadList(server + "/servicepacksNum.xml");
  EXPECT_EQ(list.buildOption, "line-a");
  EXPECT_EQ(list.id, "4");
  ASSERT_EQ(list.packs.size(), 5u);
  EXPECT_EQ(list.packs[0].name, "full_4");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(list.packs[i + 1].name, PackNameFor(v.stamps[i])) << i;
  for (const ListedPack& p : list.packs) {
    std::string zip = ReadFile(server + "/" + p.name + ".zip");
    EXPECT_EQ(p.size, (long long)zip.size()) << p.name;
    EXPECT_EQ(p.md5, testutil::OpenSslMd5Hex(zip)) << p.name;
    EXPECT_EQ(p.force, "0");
    EXPECT_EQ(testutil::Run(kUnzip + "-tqq " + Quote(server + "/" + p.name + ".zip")), 0) << p.name;
  }
  // Only the packs and the list, no work files.
  EXPECT_EQ(ListNames(server).size(), 6u);
  EXPECT_FALSE(testutil::Exists(server + "/force_servicepack.xml"));
  // Nothing left beside the server directory either.
  EXPECT_EQ(ListNames(v.dir.path()).size(), 5u);
}

TEST(PackBuild, FullAndBasePacksHoldWholeTrees) {
  FourVersions v;
  std::string server = v.dir.sub("server"), err;
  ASSERT_EQ(RunPack(v.Args(server), nullptr, &err), 0) << err;
  ListFile list = ReadList(server + "/servicepacksNum.xml");
  TempDir x;
  ASSERT_EQ(testutil::Run(kUnzip + "-qq " + Quote(server + "/full_4.zip") + " -d " + Quote(x.sub("full"))), 0);
  EXPECT_EQ(ReadTree(x.sub("full")), ReadTree(v.roots[3]));
  ASSERT_EQ(testutil::Run(kUnzip + "-qq " + Quote(server + "/" + list.packs[1].name + ".zip") + " -d " + Quote(x.sub("base"))), 0);
  EXPECT_EQ(ReadTree(x.sub("base")), ReadTree(v.roots[0]));
  // Names are stored in code page 936 without the UTF-8 flag, each non-ASCII
  // one with a Unicode Path field that names it in UTF-8 (checked by zipfile,
  // which reads unflagged names as code page 437).
  WriteFile(x.sub("names.py"),
            "import zipfile, struct, zlib, sys\n"
            "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
            "  assert not i.flag_bits & 0x800, i.filename\n"
            "  raw, e, name = i.filename.encode('cp437'), i.extra, None\n"
            "  while e:\n"
            "    tag, n = struct.unpack('<HH', e[:4])\n"
            "    if tag == 0x7075:\n"
            "      assert e[4] == 1 and struct.unpack('<I', e[5:9])[0] == zlib.crc32(raw)\n"
            "      name = e[9:4 + n].decode()\n"
            "    e = e[4 + n:]\n"
            "  assert (name is None) == (raw.decode('gbk') == raw.decode('ascii', 'replace')), i.filename\n"
            "  assert name is None or name.encode('gbk') == raw, name\n"
            "  if name: print(name)\n");
  ASSERT_EQ(testutil::Run("/usr/bin/python3 " + Quote(x.sub("names.py")) + " " + Quote(server + "/full_4.zip") + " >" +
                          Quote(x.sub("names"))), 0);
  EXPECT_EQ(ReadFile(x.sub("names")),
            "docs/\xe8\xaf\xb4\xe6\x98\x8e.txt\n\xe4\xb8\x93\xe4\xb8\x9a/\n"
            "\xe4\xb8\x93\xe4\xb8\x9a/\xe6\x8a\xa5\xe8\xa1\xa8.dat\n\xe9\x99\x86.txt\n");
  // The client keeps its execute bit through the archive.
  ASSERT_EQ(testutil::Run(kUnzip + "-qq " + Quote(server + "/" + list.packs[1].name + ".zip") + " bin/client -d " + Quote(x.sub("mode"))), 0);
  EXPECT_EQ(access(x.sub("mode/bin/client").c_str(), X_OK), 0);
}

TEST(PackBuild, IncrementsCarryNewFilesPlainAndChangedFilesAsDeltasThatReplay) {
  FourVersions v;
  std::string server = v.dir.sub("server"), err;
  ASSERT_EQ(RunPack(v.Args(server), nullptr, &err), 0) << err;
  ListFile list = ReadList(server + "/servicepacksNum.xml");
  // Expected items of each step: (name in the archive) for steps 1->2, 2->3, 3->4.
  std::vector<std::set<std::string>> expected = {
      {"bin/client", "data/big.bin.delta", "docs/readme.txt", "plugins/new.dat", "config/update.ini",
       "config/quillupcfg.ini", "plugins/", "\xe4\xb8\x93\xe4\xb8\x9a/",
       "\xe4\xb8\x93\xe4\xb8\x9a/\xe6\x8a\xa5\xe8\xa1\xa8.dat"},
      {"bin/client", "data/big.bin.delta", "lib/core.dll", "old/legacy.txt", "config/update.ini",
       "config/quillupcfg.ini", "cache/", "old/"},
      {"bin/client", "data/big.bin.delta", "docs/readme.txt", "docs/\xe8\xaf\xb4\xe6\x98\x8e.txt", "config/update.ini",
       "config/quillupcfg.ini"},
  };
  for (int step = 0; step < 3; ++step) {
    SCOPED_TRACE("step " + std::to_string(step + 1) + " -> " + std::to_string(step + 2));
    std::string zip = server + "/" + list.packs[step + 2].name + ".zip";
    std::set<std::string> names = ZipNames(zip);
    // Small text and config changes may go either way; the rest is fixed.
    for (const char* either : {"bin/client", "docs/readme.txt", "config/update.ini", "config/quillupcfg.ini"}) {
      if (names.erase(std::string(either) + ".delta")) names.insert(either);
    }
    EXPECT_EQ(names, expected[step]);
    // Replay the step with unzip and the xdelta3 program on the older tree.
    TempDir x;
    ASSERT_EQ(testutil::Run(kUnzip + "-qq " + Quote(zip) + " -d " + Quote(x.sub("u"))), 0);
    auto items = ReadTree(x.sub("u"));
    auto next = ReadTree(v.roots[step + 1]);
    for (const auto& [rel, content] : items) {
      std::string target = rel;
      std::string rebuilt = content;
      if (rel.size() > 6 && rel.compare(rel.size() - 6, 6, ".delta") == 0) {
        target = rel.substr(0, rel.size() - 6);
        ASSERT_EQ(testutil::Run(std::string(XDELTA3_PROGRAM) + " -d -f -s " + Quote(v.roots[step] + "/" + target) + " " +
                      Quote(x.sub("u/" + rel)) + " " + Quote(x.sub("out"))),
                  0)
            << rel;
        rebuilt = ReadFile(x.sub("out"));
        EXPECT_LT(content.size(), next[target].size()) << "a delta is used only when it is smaller: " << rel;
      }
      EXPECT_EQ(rebuilt, next[target]) << target;
    }
  }
}

TEST(PackBuild, ForceRepairListNamesTheFullPackOnly) {
  FourVersions v;
  std::string server = v.dir.sub("server"), err;
  ASSERT_EQ(RunPack(v.Args(server) + " --force-repair --full-name Repair4", nullptr, &err), 0) << err;
  ListFile forced = ReadList(server + "/force_servicepack.xml");
  ListFile normal = ReadList(server + "/servicepacksNum.xml");
  EXPECT_EQ(forced.id, "4");
  EXPECT_EQ(forced.buildOption, "line-a");
  ASSERT_EQ(forced.packs.size(), 1u);
  EXPECT_EQ(forced.packs[0].name, "Repair4");
  EXPECT_EQ(forced.packs[0].force, "1");
  EXPECT_EQ(forced.packs[0].md5, normal.packs[0].md5);
  EXPECT_EQ(normal.packs[0].name, "Repair4");
}

TEST(PackBuild, ReplaceChangesOnlyWhatABuildWrote) {
  FourVersions v;
  std::string server = v.dir.sub("server"), out, err;
  WriteFile(server + "/unrelated.txt", "mine");
  EXPECT_EQ(RunPack(v.Args(server), nullptr, &err), 1);
  EXPECT_NE(err.find("--replace"), std::string::npos) << err;
  EXPECT_EQ(RunPack(v.Args(server) + " --replace", nullptr, &err), 1);
  EXPECT_NE(err.find("not a pack server directory"), std::string::npos) << err;
  EXPECT_EQ(ReadFile(server + "/unrelated.txt"), "mine");

  // A set of versions 1 and 2, served beside the site's own files.
  testutil::Run("rm -rf " + Quote(server));
  ASSERT_EQ(RunPack("build -o " + Quote(server) + " " + Quote(v.roots[0]) + " " + Quote(v.roots[1]), nullptr, &err), 0)
      << err;
  WriteFile(server + "/unrelated.txt", "mine");
  WriteFile(server + "/extra/robots.txt", "site");
  const auto before = ReadTree(server);
  ASSERT_EQ(RunPack(v.Args(server) + " --replace --dry-run", &out, &err), 0) << err;
  EXPECT_EQ(ReadTree(server), before);
  EXPECT_EQ(ListNames(v.dir.path()).size(), 5u);
  for (const char* shown : {"  full_4.zip ", "full, version 4: ", "would be removed (earlier set)",
                            "unrelated.txt                          stays", "(published: must keep its bytes)"})
    EXPECT_NE(out.find(shown), std::string::npos) << shown << "\n" << out;
  EXPECT_NE(out.find("full_2.zip                             would be removed"), std::string::npos) << out;

  ASSERT_EQ(RunPack(v.Args(server) + " --replace", nullptr, &err), 0) << err;
  EXPECT_EQ(ReadList(server + "/servicepacksNum.xml").packs.size(), 5u);
  EXPECT_FALSE(testutil::Exists(server + "/full_2.zip"));  // nothing of the old set survives
  EXPECT_EQ(ReadFile(server + "/unrelated.txt"), "mine");   // but the site's files do
  EXPECT_EQ(ReadFile(server + "/extra/robots.txt"), "site");
  EXPECT_EQ(ListNames(server).size(), 8u);
  EXPECT_EQ(ListNames(v.dir.path()).size(), 5u);

  // list shows what the directory holds.
  ASSERT_EQ(RunPack("list " + Quote(server), &out, &err), 0) << err;
  const ListFile list = ReadList(server + "/servicepacksNum.xml");
  EXPECT_NE(out.find("servicepacksNum.xml: version QUILLUP_ID=4, build_option \"line-a\", 5 packs, unsigned\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("  " + list.packs[1].name + ".zip"), std::string::npos) << out;
  EXPECT_NE(out.find("base      " + std::string(12 - std::to_string(list.packs[1].size).size(), ' ') +
                     std::to_string(list.packs[1].size) + " bytes"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("other files: extra, unrelated.txt\n"), std::string::npos) << out;
  unlink((server + "/full_4.zip").c_str());
  EXPECT_EQ(RunPack("list " + Quote(server), &out, &err), 1);
  EXPECT_NE(out.find("MISSING"), std::string::npos) << out;
}

TEST(PackBuild, ShowsProgressOnATerminalPlainLinesOtherwiseAndTheTimeTaken) {
  TempDir d;
  std::map<std::string, std::string> files;
  for (int i = 0; i < 1000; ++i) files["data/d" + std::to_string(i / 100) + "/f" + std::to_string(i)] = Noise(64, i);
  WriteVersion(d.sub("v1"), 1, "stamp one", files);
  files["data/d0/f0"] = "changed\n";
  WriteVersion(d.sub("v2"), 2, "stamp two", files);
  const std::string versions = " " + Quote(d.sub("v1")) + " " + Quote(d.sub("v2"));
  const std::string total = std::to_string(files.size() + 3);  // and the three configuration files

  // Not a terminal: a line per step, nothing redrawn.
  std::string out, err;
  ASSERT_EQ(RunPack("build -o " + Quote(d.sub("plain")) + versions, &out, &err), 0) << err;
  EXPECT_NE(out.find("\nbuilt in "), std::string::npos) << out;
  EXPECT_NE(err.find("quillup-pack: full pack full_2 (version 2): " + total + " files, "), std::string::npos) << err;
  EXPECT_NE(err.find("(version 1 -> 2): 2 files, 1 deltas, " + std::to_string(files.size()) + " unchanged"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find('\r'), std::string::npos) << err;
  EXPECT_LT(std::count(err.begin(), err.end(), '\n'), 12) << err;
  ASSERT_EQ(RunPack("verify " + Quote(d.sub("plain")) + versions, &out, &err), 0) << out << err;
  EXPECT_NE(out.find("\nevery check passed ("), std::string::npos) << out;
  EXPECT_EQ(err.find('\r'), std::string::npos) << err;

  // A terminal (util-linux script gives the program one): every phase is
  // drawn in place on one line with files done of the total.
  ASSERT_EQ(testutil::Run("script -qfec " +
                          Quote(std::string(QUILLUP_PACK_PROGRAM) + " build -o " + d.sub("tty") + versions) +
                          " /dev/null >" + Quote(d.sub("tty.out")) + " 2>&1"),
            0);
  std::string tty = ReadFile(d.sub("tty.out"));
  EXPECT_NE(tty.find("\rquillup-pack: comparing and packing 0/" + total + " files, "), std::string::npos) << tty;
  EXPECT_NE(tty.find("\rquillup-pack: compressing 0/" + total + " files, "), std::string::npos) << tty;
  EXPECT_NE(tty.find("\033[K"), std::string::npos) << tty;
  EXPECT_NE(tty.find("built in "), std::string::npos) << tty;

  // One large file: its bytes move the line before the file is done
  // (base-16 noise deflates slowly).
  std::string big = Noise(24 << 20, 7);
  for (char& c : big) c = "0123456789abcdef"[(unsigned char)c & 15];
  WriteVersion(d.sub("big"), 1, "stamp big", {{"big.bin", big}});
  ASSERT_EQ(testutil::Run("script -qfec " +
                          Quote(std::string(QUILLUP_PACK_PROGRAM) + " build -o " + d.sub("bigout") + " " + d.sub("big")) +
                          " /dev/null >" + Quote(d.sub("big.out")) + " 2>&1"),
            0);
  tty = ReadFile(d.sub("big.out"));
  bool inside = false;
  const std::string line = "\rquillup-pack: compressing 0/4 files, ";
  for (size_t at = tty.find(line); at != std::string::npos && !inside; at = tty.find(line, at + 1))
    inside = tty.compare(at + line.size(), 4, "0 B/") != 0;
  EXPECT_TRUE(inside) << tty;
}

TEST(PackBuild, ASignalEndsTheBuildWithItsWorkDirectory) {
  TempDir d;
  std::map<std::string, std::string> files;
  for (int i = 0; i < 300; ++i) files["f" + std::to_string(i)] = Noise(40000, i);
  WriteVersion(d.sub("v1"), 1, "stamp one", files);
  for (auto& f : files) f.second[100] ^= 1;
  WriteVersion(d.sub("v2"), 2, "stamp two", files);
  for (const char* sig : {"INT", "TERM", "HUP", "PIPE"}) {
    SCOPED_TRACE(sig);
    // The signal comes once the work directory beside the server is there.
    const std::string script =
        Quote(QUILLUP_PACK_PROGRAM) + " build -o " + Quote(d.sub("server")) + " " + Quote(d.sub("v1")) + " " +
        Quote(d.sub("v2")) + " >/dev/null 2>&1 & pid=$!; n=0; until ls -a " + Quote(d.path()) +
        " | grep -q '^\\.server\\.' || [ $n -gt 2000 ]; do sleep 0.005; n=$((n+1)); done; kill -" + sig +
        " $pid; wait $pid";
    EXPECT_NE(testutil::Run("sh -c " + Quote(script)), 0);
    EXPECT_EQ(ListNames(d.path()), (std::vector<std::string>{"v1", "v2"}));
  }
}
