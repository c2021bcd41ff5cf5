// Staging against packs made by Python's zipfile and deltas made by the
// xdelta3 program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "common/allocwatch.h"
#include "common/testutil.h"
#include "opfile/opfile.h"
#include "platform/files.h"
#include "support/log.h"
#include "support/path.h"

namespace fs = std::filesystem;
using testutil::Exists;
using testutil::Python;
using testutil::ReadFile;
using testutil::WriteFile;

namespace {


std::string Bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = (char)('a' + rng() % 26);
  return s;
}

// v with a few edits: what a new build of a file looks like to a delta.
std::string Edited(std::string v, unsigned seed) {
  std::mt19937 rng(seed);
  for (int i = 0; i < 20; ++i) v.replace(rng() % (v.size() - 100), 10, "EDIT" + std::to_string(i));
  v.insert(v.size() / 3, "inserted block " + std::to_string(seed));
  return v;
}

std::set<std::string> Tree(const std::string& root) {
  std::set<std::string> out;
  for (auto& e : fs::recursive_directory_iterator(root))
    out.insert(e.path().string().substr(root.size() + 1) + (e.is_directory() ? "/" : ""));
  return out;
}

}  // namespace

class StagingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_LINUX_TOOLS("Python's zipfile and the xdelta3 encoder");
    CLog::Instance()->SetPath(t.wsub("log/tarvex.log"));
    install = t.sub("inst");
    unzip = install + "/update/unzip";
    ready = install + "/update/ready";
    ASSERT_TRUE(testutil::MakeDirs(install + "/update"));
  }
  void TearDown() override {
    CLog::Instance()->SetPath(WString());
  }

  // Records every percent.
  void RecordProgress() {
    op.m_progress = [this](int percent) { percents.push_back(percent); };
  }

  // A pack of (entry name, content) pairs; a name ending in "/" is a directory.
  std::string Pack(const std::string& name, const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string py = "import zipfile\nz = zipfile.ZipFile('" + t.sub(name) + "', 'w', zipfile.ZIP_DEFLATED)\n";
    int k = 0;
    for (const auto& e : entries) {
      std::string blob = t.sub("blobs/" + name + "." + std::to_string(k++));
      WriteFile(blob, e.second);
      if (!e.first.empty() && e.first.back() == '/')
        py += "z.writestr('" + e.first + "', b'')\n";
      else if (e.first.find("//") != std::string::npos || e.first.find("/./") != std::string::npos)
        // write() would fold the name; a ZipInfo keeps it as given.
        py += "z.writestr(zipfile.ZipInfo('" + e.first + "'), open('" + blob + "', 'rb').read(), zipfile.ZIP_DEFLATED)\n";
      else
        py += "z.write('" + blob + "', '" + e.first + "')\n";
    }
    py += "z.close()\n";
    WriteFile(t.sub("pack.py"), py);
    EXPECT_EQ(testutil::Run(Python() + " '" + t.sub("pack.py") + "'"), 0);
    return t.sub(name);
  }

  std::string Delta(const std::string& from, const std::string& to, const std::string& options = "") {
    static int n = 0;
    std::string a = t.sub("delta/a" + std::to_string(n)), b = t.sub("delta/b" + std::to_string(n));
    std::string d = t.sub("delta/d" + std::to_string(n++));
    WriteFile(a, from);
    WriteFile(b, to);
    EXPECT_EQ(testutil::Run(std::string(XDELTA3_PROGRAM) + " -e -f " + options + " -s '" + a + "' '" + b + "' '" + d + "'"),
              0);
    std::string delta = ReadFile(d);
    EXPECT_LT(delta.size(), to.size() / 2);  // a real delta, not a copy
    return delta;
  }

  bool Stage(const std::vector<std::string>& packs) {
    std::vector<WString> w;
    for (const auto& p : packs) w.push_back(WidePath(p));
    return op.UpdateToReadyDir(w, WidePath(install), WidePath(unzip), WidePath(ready));
  }

  bool Logged(const std::string& op, const std::string& text) {
    return ReadFile(t.sub("log/tarvex.log")).find("[ERROR] [" + op + "] " + text + "\r\n") != std::string::npos;
  }

  testutil::TempDir t;
  std::string install, unzip, ready;
  COpFile op;
  std::vector<int> percents;
};

TEST_F(StagingTest, DeltasChainAcrossTwoArchivesOnTopOfTheInstalledFile) {
  const std::string v1 = Bytes(200000, 1), v2 = Edited(v1, 2), v3 = Edited(v2, 3);
  WriteFile(install + "/bin/a.bin", v1);
  chmod((install + "/bin/a.bin").c_str(), 0755);
  std::string p1 = Pack("p1.zip", {{"bin/a.bin.delta", Delta(v1, v2)}, {"bin/new.txt", "new file"}, {"empty/", ""}});
  std::string p2 = Pack("p2.zip", {{"bin/a.bin.delta", Delta(v2, v3)}});
  ASSERT_TRUE(Stage({p1, p2}));
  EXPECT_EQ(ReadFile(ready + "/bin/a.bin"), v3);
  EXPECT_EQ(ReadFile(ready + "/bin/new.txt"), "new file");
  EXPECT_EQ(Tree(ready), (std::set<std::string>{"bin/", "bin/a.bin", "bin/new.txt", "empty/"}));
  // The executable bit survives the rebuild; the installation is untouched.
  struct stat st;
  ASSERT_EQ(stat((ready + "/bin/a.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(ReadFile(install + "/bin/a.bin"), v1);
  EXPECT_EQ(Tree(install + "/bin"), (std::set<std::string>{"a.bin"}));
}

TEST_F(StagingTest, ParallelMergesKeepTheOrderOfTheArchives) {
  // Every file is rebuilt in both archives, the second delta on top of the
  // first one's output; the merges of one archive run side by side.
  std::vector<std::pair<std::string, std::string>> first, second;
  std::vector<std::string> v3s;
  for (unsigned i = 0; i < 12; ++i) {
    const std::string rel = "d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin";
    const std::string v1 = Bytes(60000 + i * 1000, 20 + i), v2 = Edited(v1, 40 + i), v3 = Edited(v2, 60 + i);
    WriteFile(install + "/" + rel, v1);
    first.push_back({rel + ".delta", Delta(v1, v2)});
    second.push_back({rel + ".delta", Delta(v2, v3)});
    v3s.push_back(v3);
  }
  ASSERT_TRUE(Stage({Pack("p1.zip", first), Pack("p2.zip", second)}));
  for (unsigned i = 0; i < 12; ++i) {
    const std::string rel = "d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".bin";
    EXPECT_EQ(ReadFile(ready + "/" + rel), v3s[i]) << rel;
    EXPECT_FALSE(Exists(ready + "/" + rel + ".mergedata")) << rel;
  }
}

TEST_F(StagingTest, EntriesNamingOneFileTwiceKeepTheLaterOne) {
  // "d/big", "d//big" and "d/./big" are one file; staged in the
  // archive's order, the last entry is what stays.
  std::vector<std::pair<std::string, std::string>> entries;
  std::vector<std::string> last;
  for (unsigned i = 0; i < 32; ++i) {
    const std::string dir = "d" + std::to_string(i);
    entries.push_back({dir + "/big", Bytes(65536, 100 + i)});
    entries.push_back({dir + (i % 2 ? "//big" : "/./big"), Bytes(65536, 200 + i)});
    last.push_back(entries.back().second);
  }
  // Of two deltas for one file only the later applies, to the installed file.
  const std::string v1 = Bytes(100000, 300), v2 = Edited(v1, 301), v3 = Edited(v1, 302);
  WriteFile(install + "/e/f.bin", v1);
  entries.push_back({"e/f.bin.delta", Delta(v1, v2)});
  entries.push_back({"e//f.bin.delta", Delta(v1, v3)});
  ASSERT_TRUE(Stage({Pack("p1.zip", entries)}));
  for (unsigned i = 0; i < 32; ++i) EXPECT_EQ(ReadFile(ready + "/d" + std::to_string(i) + "/big"), last[i]) << i;
  EXPECT_EQ(ReadFile(ready + "/e/f.bin"), v3);
}

TEST_F(StagingTest, MemoryRunningOutInAMergeFailsTheStaging) {
  // Every merge (in the updater's own decoder: no secondary compression)
  // needs more than 256 KiB at once, on whichever thread it runs: none may
  // end the process.
  std::vector<std::pair<std::string, std::string>> deltas;
  for (unsigned i = 0; i < 6; ++i) {
    const std::string rel = "f" + std::to_string(i) + ".bin", v1 = Bytes(400000, 70 + i);
    WriteFile(install + "/" + rel, v1);
    deltas.push_back({rel + ".delta", Delta(v1, Edited(v1, 80 + i), "-S none")});
  }
  const std::string pack = Pack("p1.zip", deltas);
  testutil::AllocWatch::FailFrom(256 << 10);
  const bool staged = Stage({pack});
  testutil::AllocWatch::FailFrom(SIZE_MAX);
  EXPECT_FALSE(staged);
  EXPECT_TRUE(Logged("COpFile::UpdateToReadyDir", "内存不足！"));
  EXPECT_TRUE(Stage({pack}));  // with memory back
}

TEST_F(StagingTest, DeltaAppliesToThePlainFileOfAnEarlierArchive) {
  const std::string installed = Bytes(100000, 7), v2 = Bytes(100000, 8), v3 = Edited(v2, 9);
  WriteFile(install + "/c.txt", installed);
  std::string p1 = Pack("p1.zip", {{"c.txt", v2}});
  std::string p2 = Pack("p2.zip", {{"c.txt.delta", Delta(v2, v3)}});
  ASSERT_TRUE(Stage({p1, p2}));
  EXPECT_EQ(ReadFile(ready + "/c.txt"), v3);
  EXPECT_FALSE(Exists(ready + "/c.txt.mergedata"));
}

TEST_F(StagingTest, UpperCaseSuffixIsAPlainFile) {
  WriteFile(install + "/d", "installed d");
  std::string p = Pack("p.zip", {{"d.DELTA", "not a delta at all"}, {"sub/e.Delta", "nor this"}});
  ASSERT_TRUE(Stage({p}));
  EXPECT_EQ(ReadFile(ready + "/d.DELTA"), "not a delta at all");
  EXPECT_EQ(ReadFile(ready + "/sub/e.Delta"), "nor this");
  EXPECT_FALSE(Exists(ready + "/d"));
}

TEST_F(StagingTest, DeltaWithoutSourceOrWithGarbageStopsWithTheMergeMessage) {
  const std::string v1 = Bytes(50000, 4);
  std::string p = Pack("p.zip", {{"m.bin.delta", Delta(v1, Edited(v1, 5))}});
  EXPECT_FALSE(Stage({p}));
  EXPECT_TRUE(Logged("COpFile::UpdateToReadyDir", "合并补丁包出错:" + p + "/m.bin.delta+" + ready + "/m.bin->" +
                                                       ready + "/m.bin.mergedata"));
  EXPECT_FALSE(Exists(ready + "/m.bin"));

  WriteFile(install + "/g.bin", v1);
  std::string bad = Pack("bad.zip", {{"g.bin.delta", "this is no VCDIFF"}});
  EXPECT_FALSE(Stage({bad}));
  EXPECT_TRUE(Logged("COpFile::UpdateToReadyDir", "合并补丁包出错:" + bad + "/g.bin.delta+" + ready + "/g.bin->" +
                                                       ready + "/g.bin.mergedata"));
  // The partial output never takes the file's place (the delta's source is
  // read where it is installed).
  EXPECT_FALSE(Exists(ready + "/g.bin"));
  EXPECT_EQ(ReadFile(install + "/g.bin"), v1);
}

TEST_F(StagingTest, EmptyArchiveStagesNothingAndStagingGoesOn) {
  std::string empty = Pack("empty.zip", {});
  std::string p = Pack("p.zip", {{"x/y.txt", "y"}});
  ASSERT_TRUE(Stage({empty, p, empty}));
  EXPECT_EQ(Tree(ready), (std::set<std::string>{"x/", "x/y.txt"}));
  ASSERT_TRUE(Stage({empty}));
  EXPECT_TRUE(fs::is_directory(ready));
  EXPECT_TRUE(Tree(ready).empty());
}

TEST_F(StagingTest, ProgressOfOneArchive) {
  RecordProgress();
  std::string p = Pack("p.zip", {{"1", "a"}, {"2", "b"}, {"3", "c"}, {"4", "d"}});
  ASSERT_TRUE(Stage({p}));
  // Each entry staged moves the bar by its share, then 100.
  EXPECT_EQ(percents, (std::vector<int>{0, 0, 25, 50, 75, 100}));
}

TEST_F(StagingTest, ProgressSharedBetweenThreeArchives) {
  RecordProgress();
  std::string a = Pack("a.zip", {{"a", "a"}}), b = Pack("b.zip", {{"b", "b"}}), c = Pack("c.zip", {{"c", "c"}});
  ASSERT_TRUE(Stage({a, b, c}));
  EXPECT_EQ(percents, (std::vector<int>{0, 0, 33, 66, 100}));
}

TEST_F(StagingTest, ReadyAndUnzipTreesStartEmpty) {
  WriteFile(ready + "/stale/old.txt", "left from an earlier run");
  chmod((ready + "/stale/old.txt").c_str(), 0444);
  WriteFile(unzip + "/leftover.txt", "x");
  std::string p = Pack("p.zip", {{"fresh.txt", "fresh"}});
  ASSERT_TRUE(Stage({p}));
  EXPECT_EQ(Tree(ready), (std::set<std::string>{"fresh.txt"}));
  // A read-only file staged by an earlier archive is replaced by a later one.
  WriteFile(t.sub("ro.py"), "import zipfile\nz = zipfile.ZipFile('" + t.sub("q.zip") + "', 'w')\n"
            "i = zipfile.ZipInfo('fresh.txt', (2020,1,1,0,0,0)); i.create_system = 3\n"
            "i.external_attr = 0o100444 << 16\nz.writestr(i, b'fresher')\nz.close()\n");
  ASSERT_EQ(testutil::Run(Python() + " '" + t.sub("ro.py") + "'"), 0);
  std::string r = Pack("r.zip", {{"fresh.txt", "freshest"}});
  ASSERT_TRUE(Stage({t.sub("q.zip")}));
  struct stat st;
  ASSERT_EQ(stat((ready + "/fresh.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  ASSERT_TRUE(Stage({t.sub("q.zip"), r}));
  EXPECT_EQ(ReadFile(ready + "/fresh.txt"), "freshest");
}

// On a small file system of its own: the trees of an interrupted staging
// are deleted first, plain files move instead of being copied, and
// disabling the client writes a copy of the updater. An update that fits
// with a few MiB to spare is let through and really stages; one that
// misses by a few MiB is refused, and would indeed have run out of room.
TEST_F(StagingTest, RoomCheckOnASmallFileSystem) {
  const std::string mnt = t.sub("small");
  const int64_t self = GetFileSizeByPath(plat::SelfExePath());
  const int64_t mib = 1 << 20, pack = 24 * mib, leftover = 8 * mib;
  ASSERT_GT(self, 0);
  testutil::Run("mkdir -p '" + mnt + "'");
  const std::string size = std::to_string((64 * mib + self) / 1024) + "k";
  if (testutil::Run("mount -t tmpfs -o size=" + size + " quillup-room '" + mnt + "' 2>/dev/null") != 0)
    GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  struct Unmount {
    std::string dir;
    ~Unmount() { testutil::Run("umount '" + dir + "'"); }
  } unmount{mnt};

  std::vector<std::pair<std::string, std::string>> entries;
  for (int k = 0; k < 12; ++k) entries.push_back({"bin/f" + std::to_string(k) + ".dll", Bytes(pack / 12, k)});
  const std::string zip = Pack("room.zip", entries);
  install = mnt + "/inst";
  unzip = install + "/update/unzip";
  ready = install + "/update/ready";
  for (int spareMiB : {3, -3}) {
    SCOPED_TRACE("spare MiB " + std::to_string(spareMiB));
    testutil::Run("rm -rf '" + mnt + "'/*");
    // An interrupted run's trees, then ballast that leaves the room wanted.
    WriteFile(ready + "/old/a", std::string((size_t)leftover, 'r'));
    WriteFile(unzip + "/old/b", std::string((size_t)leftover, 'u'));
    const int64_t free = plat::FreeBytes(WidePath(install));
    const int64_t wanted = pack + self + spareMiB * mib - 2 * leftover;
    ASSERT_GT(free, wanted);
    ASSERT_EQ(0, testutil::Run("fallocate -l " + std::to_string(free - wanted) + " '" + mnt + "/ballast'"));
    const bool room = op.HasRoomToStage({WidePath(zip)}, WidePath(install), WidePath(unzip), WidePath(ready));
    EXPECT_EQ(spareMiB > 0, room);
    EXPECT_EQ(spareMiB < 0, ReadFile(t.sub("log/tarvex.log")).find("[ERROR] [COpFile::HasRoomToStage] 磁盘空间不足(需要,可用):") !=
                                std::string::npos);
    // What staging and disabling the client then really do.
    const bool fits = Stage({zip}) && op.CopyFileFlushed(plat::SelfExePath(), WidePath(install + "/ZoClient.update"),
                                                         false, true);
    EXPECT_EQ(room, fits);
    if (fits) {
      EXPECT_EQ(entries[5].second, ReadFile(ready + "/bin/f5.dll"));
    }
  }
}

TEST_F(StagingTest, EachFailureLogsItsMessage) {
  EXPECT_FALSE(Stage({}));
  EXPECT_FALSE(op.UpdateToReadyDir({u"x.zip"}, WidePath(install), u"", WidePath(ready)));
  EXPECT_FALSE(Exists(t.sub("log/tarvex.log")) && !ReadFile(t.sub("log/tarvex.log")).empty());

  std::string missing = t.sub("missing.zip");
  EXPECT_FALSE(Stage({missing}));
  EXPECT_TRUE(Logged("COpFile::UpdateToReadyDir", "解压zip文件失败:" + missing + "->" + ready));

  WriteFile(t.sub("corrupt.zip"), "PK\x03\x04 not really");
  EXPECT_FALSE(Stage({t.sub("corrupt.zip")}));
  EXPECT_TRUE(Logged("COpFile::UpdateToReadyDir", "解压zip文件失败:" + t.sub("corrupt.zip") + "->" + ready));

  // A later archive's directory where an earlier one staged a file.
  std::string file = Pack("file.zip", {{"z", "file"}});
  std::string dir = Pack("dir.zip", {{"z/w", "inside"}});
  EXPECT_FALSE(Stage({file, dir}));
  EXPECT_TRUE(Logged("COpFile::UpdateToReadyDir", "创建目录失败:" + ready + "/z"));

  // And a file where a directory was staged.
  EXPECT_FALSE(Stage({dir, file}));
  EXPECT_TRUE(Logged("COpFile::UpdateToReadyDir", "解压zip文件失败:" + file + "->" + ready));

  fs::remove_all(ready);
  WriteFile(ready, "a file where the ready tree belongs");
  EXPECT_FALSE(Stage({file}));
  EXPECT_TRUE(Logged("COpFile::UpdateToReadyDir", "删除目录失败:" + ready));
}

TEST_F(StagingTest, PackWithEntriesMissingFromItsDirectoryStagesNothing) {
  // The end record states two entries of three, as a count cut to 16 bits
  // does: the pack fails before any of its files is written.
  std::string p = Pack("p.zip", {{"a.txt", "a"}, {"b/c.txt", "c"}, {"client.exe", "client"}});
  std::string s = ReadFile(p);
  size_t end = s.rfind(std::string("PK\5\6", 4));
  s.replace(end + 8, 4, std::string("\2\0\2\0", 4));
  WriteFile(p, s);
  EXPECT_FALSE(Stage({p}));
  EXPECT_TRUE(Logged("COpFile::UpdateToReadyDir", "解压zip文件失败:" + p + "->" + ready));
  EXPECT_TRUE(!Exists(unzip) || Tree(unzip).empty());
  EXPECT_TRUE(!Exists(ready) || Tree(ready).empty());
}

TEST_F(StagingTest, MergeDeltaRunsTheDecoder) {
  const std::string v1 = Bytes(80000, 11), v2 = Edited(v1, 12);
  WriteFile(t.sub("src"), v1);
  WriteFile(t.sub("d"), Delta(v1, v2));
  // Options from the environment must not reach the decoder (-J: no output).
  setenv("XDELTA", "-J", 1);
  EXPECT_TRUE(op.MergeDelta(t.wsub("d"), t.wsub("src"), t.wsub("out")));
  unsetenv("XDELTA");
  EXPECT_EQ(ReadFile(t.sub("out")), v2);
  EXPECT_EQ(ReadFile(t.sub("src")), v1);

  EXPECT_FALSE(op.MergeDelta(t.wsub("d"), t.wsub("nosrc"), t.wsub("out2")));
  EXPECT_FALSE(Exists(t.sub("out2")));
  EXPECT_FALSE(op.MergeDelta(t.wsub("nodelta"), t.wsub("src"), t.wsub("out3")));
  EXPECT_FALSE(op.MergeDelta(u"", t.wsub("src"), t.wsub("out4")));
  EXPECT_FALSE(op.MergeDelta(t.wsub("d"), t.wsub("src"), u""));
  // The delta was made for another source: the decoder refuses it.
  WriteFile(t.sub("other"), Bytes(80000, 13));
  EXPECT_FALSE(op.MergeDelta(t.wsub("d"), t.wsub("other"), t.wsub("out5")));
  // A path that code page 936 cannot hold cannot be opened.
  EXPECT_FALSE(op.MergeDelta(t.wsub("d"), t.wsub("src"), t.wsub("\xF0\x9F\x98\x80")));
}

TEST_F(StagingTest, ListingOrder) {
  WriteFile(t.sub("r/a/b/f1"), "1");
  WriteFile(t.sub("r/a/f2"), "2");
  WriteFile(t.sub("r/.hidden"), "h");
  WriteFile(t.sub("r/c/f3"), "3");
  ASSERT_TRUE(testutil::MakeDirs(t.sub("r/a/empty")));
  std::vector<WString> files, dirs;
  op.ListFiles(t.wsub("r"), files);
  std::set<WString> fileSet(files.begin(), files.end());
  EXPECT_EQ(fileSet, (std::set<WString>{t.wsub("r/a/b/f1"), t.wsub("r/a/f2"), t.wsub("r/.hidden"), t.wsub("r/c/f3")}));
  EXPECT_EQ(files.size(), 4u);
  op.ListDirectories(t.wsub("r"), dirs);
  ASSERT_EQ(dirs.size(), 5u);
  EXPECT_EQ(dirs.back(), t.wsub("r"));
  auto at = [&](const char* d) { return std::find(dirs.begin(), dirs.end(), t.wsub(d)) - dirs.begin(); };
  EXPECT_LT(at("r/a/b"), at("r/a"));
  EXPECT_LT(at("r/a/empty"), at("r/a"));
  EXPECT_LT(at("r/c"), 4);
  EXPECT_LT(at("r/a"), 4);
  // Appends to what the list already holds.
  op.ListFiles(t.wsub("r/c"), files);
  EXPECT_EQ(files.size(), 5u);
}

TEST_F(StagingTest, DeleteAndCreateDirectories) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a right a Windows user lacks";
#else
  WriteFile(t.sub("d/x/y/ro.txt"), "r");
  chmod(t.sub("d/x/y/ro.txt").c_str(), 0444);
  WriteFile(t.sub("d/.h"), "h");
  // A link to a directory elsewhere is removed, not walked into.
  WriteFile(t.sub("elsewhere/keep.txt"), "keep");
  ASSERT_EQ(symlink(t.sub("elsewhere").c_str(), t.sub("d/x/link").c_str()), 0);
  EXPECT_TRUE(op.DeleteDirectory(t.wsub("d")));
  EXPECT_FALSE(Exists(t.sub("d")));
  EXPECT_EQ(ReadFile(t.sub("elsewhere/keep.txt")), "keep");
  EXPECT_TRUE(op.DeleteDirectory(t.wsub("never/was")));

  EXPECT_TRUE(op.CreateMulDirectory(t.wsub("n/e/s/t")));
  EXPECT_TRUE(fs::is_directory(t.sub("n/e/s/t")));
  EXPECT_TRUE(op.CreateMulDirectory(t.wsub("n/e")));
  EXPECT_FALSE(op.CreateMulDirectory(u""));
  WriteFile(t.sub("afile"), "");
  EXPECT_FALSE(op.CreateMulDirectory(t.wsub("afile/sub")));
  // No drive roots exist here: a bare drive name is refused.
  EXPECT_FALSE(op.CreateMulDirectory(u"D:"));
  EXPECT_TRUE(Logged("COpFile::CreateMulDirectory", "创建磁盘目录失败:D:"));

  EXPECT_TRUE(op.FlushVolume());
#endif
}
