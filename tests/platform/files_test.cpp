#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <set>

#include "common/testutil.h"
#include "platform/file.h"
#include "platform/files.h"

using testutil::Exists;
using testutil::Mode;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {


struct timespec MTime(const std::string& p) {
  struct stat st;
  EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
  return st.st_mtim;
}

void SetOldTime(const std::string& p) {
  plat::FileTime t{978307200, 123456789};  // 2001-01-01, with nanoseconds
  ASSERT_TRUE(plat::SetTimes(WidePath(p), t, t));
}

}  // namespace

TEST(Files, MoveNeverReplacesAnExistingTarget) {
  TempDir t;
  WriteFile(t.sub("a"), "new");
  WriteFile(t.sub("b"), "old");
  EXPECT_FALSE(plat::MoveNoReplace(t.wsub("a"), t.wsub("b")));
  EXPECT_EQ(ReadFile(t.sub("a")), "new");
  EXPECT_EQ(ReadFile(t.sub("b")), "old");
  // Not even an empty directory or a dangling link is replaced.
  ASSERT_EQ(mkdir(t.sub("d").c_str(), 0755), 0);
  EXPECT_FALSE(plat::MoveNoReplace(t.wsub("a"), t.wsub("d")));
  ASSERT_EQ(symlink("nowhere", t.sub("dangling").c_str()), 0);
  EXPECT_FALSE(plat::MoveNoReplace(t.wsub("a"), t.wsub("dangling")));
  EXPECT_EQ(ReadFile(t.sub("a")), "new");

  EXPECT_TRUE(plat::MoveNoReplace(t.wsub("a"), t.wsub("d/中文.bak")));
  EXPECT_FALSE(Exists(t.sub("a")));
  EXPECT_EQ(ReadFile(t.sub("d/中文.bak")), "new");
  EXPECT_FALSE(plat::MoveNoReplace(t.wsub("a"), t.wsub("c")));  // source gone
  EXPECT_TRUE(plat::MoveNoReplace(t.wsub("d"), t.wsub("e")));    // directories move too
  EXPECT_TRUE(Exists(t.sub("e/中文.bak")));
}

TEST(Files, MoveAcrossFileSystemsCopiesAndKeepsMetadata) {
  TempDir t;
  struct statfs a, b;
  if (statfs("/dev/shm", &a) != 0 || statfs(t.path().c_str(), &b) != 0 || a.f_type == b.f_type)
    GTEST_SKIP() << "no second file system at hand";
  std::string other = "/dev/shm/quillup-files-" + std::to_string(getpid());
  WriteFile(t.sub("src"), "payload");
  chmod(t.sub("src").c_str(), 0750);
  SetOldTime(t.sub("src"));
  WriteFile(other, "there");
  EXPECT_FALSE(plat::MoveNoReplace(t.wsub("src"), WidePath(other)));
  EXPECT_EQ(ReadFile(other), "there");
  unlink(other.c_str());
  EXPECT_TRUE(plat::MoveNoReplace(t.wsub("src"), WidePath(other)));
  EXPECT_FALSE(Exists(t.sub("src")));
  EXPECT_EQ(ReadFile(other), "payload");
  EXPECT_EQ(Mode(other), 0750);
  EXPECT_EQ(MTime(other).tv_sec, 978307200);
  unlink(other.c_str());
}

TEST(Files, CopyKeepsModeAndModificationTime) {
  TempDir t;
  WriteFile(t.sub("src"), "content");
  chmod(t.sub("src").c_str(), 0751);
  SetOldTime(t.sub("src"));
  ASSERT_TRUE(plat::CopyFileKeep(t.wsub("src"), t.wsub("dst"), true));
  EXPECT_EQ(ReadFile(t.sub("dst")), "content");
  EXPECT_EQ(Mode(t.sub("dst")), 0751);
  EXPECT_EQ(MTime(t.sub("dst")).tv_sec, 978307200);
  EXPECT_EQ(MTime(t.sub("dst")).tv_nsec, 123456789);

  WriteFile(t.sub("src"), "second");
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("src"), t.wsub("dst"), true));
  EXPECT_EQ(ReadFile(t.sub("dst")), "content");
  WriteFile(t.sub("dst"), "a much longer old content");
  ASSERT_TRUE(plat::CopyFileKeep(t.wsub("src"), t.wsub("dst"), false));
  EXPECT_EQ(ReadFile(t.sub("dst")), "second");

  // A read-only source gives a read-only copy, which a later copy may not overwrite.
  chmod(t.sub("src").c_str(), 0444);
  ASSERT_TRUE(plat::CopyFileKeep(t.wsub("src"), t.wsub("ro"), false));
  EXPECT_EQ(Mode(t.sub("ro")), 0444);
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("dst"), t.wsub("ro"), false));
  EXPECT_EQ(ReadFile(t.sub("ro")), "second");
}

TEST(Files, CopyRefusesItselfDirectoriesAndMissingSources) {
  TempDir t;
  WriteFile(t.sub("f"), "precious");
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("f"), t.wsub("f"), false));
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("f"), t.wsub("./f"), false));
  EXPECT_EQ(ReadFile(t.sub("f")), "precious");
  ASSERT_EQ(link(t.sub("f").c_str(), t.sub("hard").c_str()), 0);
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("f"), t.wsub("hard"), false));
  EXPECT_EQ(ReadFile(t.sub("f")), "precious");
  EXPECT_FALSE(plat::CopyFileKeep(t.wpath(), t.wsub("dircopy"), false));
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("missing"), t.wsub("x"), false));
  EXPECT_FALSE(Exists(t.sub("x")));
}

TEST(Files, AttributesMapToModeBitsAndNames) {
  TempDir t;
  WriteFile(t.sub("f"), "x");
  WriteFile(t.sub(".hidden"), "x");
  chmod(t.sub("f").c_str(), 0664);
  EXPECT_EQ(plat::GetAttributes(t.wsub("f")), plat::kAttrArchive);
  EXPECT_EQ(plat::GetAttributes(t.wsub(".hidden")) & plat::kAttrHidden, plat::kAttrHidden);
  EXPECT_EQ(plat::GetAttributes(t.wpath()) & plat::kAttrDirectory, plat::kAttrDirectory);
  EXPECT_EQ(plat::GetAttributes(t.wsub("missing")), plat::kAttrInvalid);

  ASSERT_TRUE(plat::SetAttributes(t.wsub("f"), plat::kAttrReadOnly));
  EXPECT_EQ(Mode(t.sub("f")), 0444);
  EXPECT_TRUE(plat::GetAttributes(t.wsub("f")) & plat::kAttrReadOnly);
  // Clearing read-only gives the owner write back and keeps the rest.
  chmod(t.sub("f").c_str(), 0455);
  ASSERT_TRUE(plat::SetAttributes(t.wsub("f"), plat::GetAttributes(t.wsub("f")) & ~plat::kAttrReadOnly));
  EXPECT_EQ(Mode(t.sub("f")), 0655);
  EXPECT_FALSE(plat::GetAttributes(t.wsub("f")) & plat::kAttrReadOnly);
}

TEST(Files, DeleteRefusesReadOnlyFilesAndDirectories) {
  TempDir t;
  WriteFile(t.sub("ro"), "x");
  chmod(t.sub("ro").c_str(), 0444);
  EXPECT_FALSE(plat::DeleteFile(t.wsub("ro")));
  EXPECT_TRUE(Exists(t.sub("ro")));
  ASSERT_TRUE(plat::SetAttributes(t.wsub("ro"), plat::GetAttributes(t.wsub("ro")) & ~plat::kAttrReadOnly));
  EXPECT_TRUE(plat::DeleteFile(t.wsub("ro")));
  EXPECT_FALSE(Exists(t.sub("ro")));
  EXPECT_FALSE(plat::DeleteFile(t.wsub("ro")));
  ASSERT_EQ(mkdir(t.sub("d").c_str(), 0755), 0);
  EXPECT_FALSE(plat::DeleteFile(t.wsub("d")));
  WriteFile(t.sub("d/f"), "x");
  EXPECT_FALSE(plat::RemoveDirectory(t.wsub("d")));
  EXPECT_TRUE(plat::DeleteFile(t.wsub("d/f")));
  EXPECT_TRUE(plat::RemoveDirectory(t.wsub("d")));
}

TEST(Files, DirectoryTrees) {
  TempDir t;
  EXPECT_TRUE(plat::MakeDirs(t.wsub("a/b/中文/d")));
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(Mode(t.sub("a/b")), (int)(0755u & ~mask));
  EXPECT_TRUE(plat::MakeDirs(t.wsub("a/b/中文/d")));
  EXPECT_TRUE(plat::MakeDirs(t.wsub("a//b/")));
  WriteFile(t.sub("file"), "x");
  EXPECT_FALSE(plat::MakeDirs(t.wsub("file")));
  EXPECT_FALSE(plat::MakeDirs(t.wsub("file/sub")));
  EXPECT_FALSE(plat::MakeDirs(t.wsub("file/sub/deeper")));
  EXPECT_TRUE(plat::MakeDirs(t.wsub("x/y//z/")));
  EXPECT_TRUE(plat::IsDirectory(t.wsub("x/y/z")));
  EXPECT_TRUE(plat::CreateDirectory(t.wsub("one")));
  EXPECT_FALSE(plat::CreateDirectory(t.wsub("one")));

  std::set<std::pair<std::string, bool>> seen;
  ASSERT_TRUE(plat::ListDirectory(t.wpath(), [&](const WString& n, bool isDir) {
    seen.insert({Utf8FromWide(n), isDir});
  }));
  std::set<std::pair<std::string, bool>> expected = {{"a", true}, {"file", false}, {"one", true}, {"x", true}};
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(plat::ListDirectory(t.wsub("none"), [](const WString&, bool) {}));
}

TEST(Files, FileReadsAndWritesAtOffsets) {
  TempDir t;
  plat::File f;
  EXPECT_FALSE(f.Open(t.wsub("missing"), plat::File::kRead));
  EXPECT_EQ(plat::LastErrno(), ENOENT);
  ASSERT_TRUE(f.Open(t.wsub("中文"), plat::File::kCreate));
  EXPECT_TRUE(f.Write("hello world", 11));
  EXPECT_TRUE(f.Flush());
  EXPECT_EQ(f.Size(), 11);
  EXPECT_TRUE(f.Close());
  EXPECT_EQ(ReadFile(t.sub("中文")), "hello world");

  ASSERT_TRUE(f.Open(t.wsub("中文"), plat::File::kReadWrite));
  char buf[16] = {};
  EXPECT_EQ(f.ReadAt(6, buf, sizeof buf), 5);  // fewer only at the end
  EXPECT_EQ(std::string(buf, 5), "world");
  // A read at an offset leaves the write position where it was put.
  ASSERT_TRUE(f.Seek(6));
  EXPECT_EQ(f.ReadAt(0, buf, 5), 5);
  EXPECT_TRUE(f.Write("WORLD!", 6));
  EXPECT_TRUE(f.Truncate(8));
  EXPECT_EQ(f.Size(), 8);
  plat::File moved = std::move(f);
  EXPECT_FALSE(f.IsOpen());
  EXPECT_TRUE(moved.Close());
  EXPECT_EQ(ReadFile(t.sub("中文")), "hello WO");

  ASSERT_TRUE(f.Open(t.wsub("中文"), plat::File::kAppend));
  EXPECT_TRUE(f.Write("!", 1));
  EXPECT_EQ(f.Size(), 9);
  EXPECT_FALSE(f.Open(t.wsub("中文"), plat::File::kCreateNew));
  EXPECT_EQ(plat::LastErrno(), EEXIST);
  ASSERT_TRUE(f.Open(t.wsub("中文"), plat::File::kCreate));
  EXPECT_EQ(f.Size(), 0);

  // Buffered writes go out with one that does not fit, or with the flush,
  // which fails when they cannot.
  f.BufferWrites(8);
  EXPECT_TRUE(f.Write("ab", 2));
  EXPECT_EQ(ReadFile(t.sub("中文")), "");
  EXPECT_TRUE(f.Write("0123456789", 10));
  EXPECT_EQ(ReadFile(t.sub("中文")), "ab0123456789");
  ASSERT_TRUE(f.Open(u"/dev/full", plat::File::kCreate));
  EXPECT_TRUE(f.Write("x", 1));
  EXPECT_FALSE(f.Flush());
  EXPECT_EQ(plat::LastErrno(), ENOSPC);

  // Neither a directory nor a pipe has a size, and opening a pipe that no
  // one writes to does not wait.
  ASSERT_TRUE(f.Open(t.wpath(), plat::File::kRead));
  EXPECT_EQ(f.Size(), -1);
  EXPECT_EQ(f.ReadAt(0, buf, 1), -1);
  ASSERT_EQ(mkfifo(t.sub("fifo").c_str(), 0600), 0);
  ASSERT_TRUE(f.Open(t.wsub("fifo"), plat::File::kRead));
  EXPECT_EQ(f.Size(), -1);
}

TEST(Files, FlushTimesAndSizes) {
  TempDir t;
  WriteFile(t.sub("f"), "12345");
  EXPECT_TRUE(plat::FlushFile(t.wsub("f")));
  EXPECT_FALSE(plat::FlushFile(t.wsub("missing")));
  EXPECT_TRUE(plat::FlushVolume(t.wpath()));
  SetOldTime(t.sub("f"));
  plat::FileTime m;
  ASSERT_TRUE(plat::GetModifyTime(t.wsub("f"), m));
  EXPECT_EQ(m.sec, 978307200);
  EXPECT_EQ(m.nsec, 123456789);
}
