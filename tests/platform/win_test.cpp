// The Win32 side of the platform layer, against the system itself (wine or
// Windows). Child processes are this program again, started with --child.
#include <windows.h>
#undef CreateDirectory
#undef DeleteFile
#undef RemoveDirectory
#undef TerminateProcess

#include <gtest/gtest.h>
#include <shellapi.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "common/testutil.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/mutex.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/spawn.h"

using testutil::Exists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

// --child sleep | mutex NAME | echo | exit N | env NAME | args FILE...:
// what the tests need a second process for.
int ChildMain(int argc, wchar_t** argv) {
  std::wstring what = argv[2];
  if (what == L"sleep") Sleep(60000);
  if (what == L"mutex" && argc > 3) {
    plat::NamedMutex m;
    if (m.Create(WString(argv[3], argv[3] + wcslen(argv[3]))) != plat::NamedMutex::kCreated) return 2;
    Sleep(60000);
  }
  if (what == L"echo") {
    fputs("out\n", stdout);
    fflush(stdout);
    fputs("err\n", stderr);
    fflush(stderr);
    fputs("tail", stdout);
  }
  if (what == L"exit" && argc > 3) return _wtoi(argv[3]);
  if (what == L"env" && argc > 3) return _wgetenv(argv[3]) ? 1 : 0;
  if (what == L"args" && argc > 3) {
    std::string lines;
    for (int i = 4; i < argc; ++i) lines += Utf8FromWide(WString(argv[i], argv[i] + wcslen(argv[i]))) + "\n";
    WriteFile(Utf8FromWide(WString(argv[3], argv[3] + wcslen(argv[3]))), lines);
  }
  return 0;
}

const bool g_child = [] {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv && argc > 2 && std::wstring(argv[1]) == L"--child") ExitProcess((UINT)ChildMain(argc, argv));
  return false;
}();

WString Self() { return plat::SelfExePath(); }

WString Quoted(const WString& s) { return u"\"" + s + u"\""; }

// Up to 60 s: a process start under a busy wine can take many seconds.
bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 3000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

TEST(FilesWin, MoveNeverReplacesAndTakesEitherSeparator) {
  TempDir t;
  WriteFile(t.sub("a"), "new");
  WriteFile(t.sub("b"), "old");
  EXPECT_FALSE(plat::MoveNoReplace(t.wsub("a"), t.wsub("b")));
  EXPECT_EQ(ReadFile(t.sub("b")), "old");
  ASSERT_TRUE(plat::CreateDirectory(t.wsub("d")));
  EXPECT_FALSE(plat::MoveNoReplace(t.wsub("a"), t.wsub("d")));
  EXPECT_TRUE(plat::MoveNoReplace(t.wsub("a"), t.wpath() + u"\\d\\中文.bak"));
  EXPECT_FALSE(Exists(t.sub("a")));
  EXPECT_EQ(ReadFile(t.sub("d/中文.bak")), "new");
  EXPECT_FALSE(plat::MoveNoReplace(t.wsub("a"), t.wsub("c")));  // source gone
  EXPECT_TRUE(plat::MoveNoReplace(t.wsub("d"), t.wsub("e")));    // directories move too
  EXPECT_TRUE(plat::IsRegularFile(t.wsub("e/中文.bak")));
}

TEST(FilesWin, CopyKeepsTimeAndReadOnlyAndRefusesReadOnlyTargets) {
  TempDir t;
  WriteFile(t.sub("src"), "content");
  plat::FileTime old{978307200, 123456700};  // 2001-01-01; Windows keeps 100 ns
  ASSERT_TRUE(plat::SetTimes(t.wsub("src"), old, old));
  ASSERT_TRUE(plat::CopyFileKeep(t.wsub("src"), t.wsub("dst"), true));
  EXPECT_EQ(ReadFile(t.sub("dst")), "content");
  plat::FileTime m;
  ASSERT_TRUE(plat::GetModifyTime(t.wsub("dst"), m));
  EXPECT_EQ(m.sec, old.sec);
  EXPECT_EQ(m.nsec, old.nsec);
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("src"), t.wsub("dst"), true));
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("src"), t.wsub("src"), false));
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("missing"), t.wsub("x"), false));
  ASSERT_TRUE(plat::SetAttributes(t.wsub("src"), plat::kAttrReadOnly));
  ASSERT_TRUE(plat::CopyFileKeep(t.wsub("src"), t.wsub("ro"), false));
  EXPECT_TRUE(plat::GetAttributes(t.wsub("ro")) & plat::kAttrReadOnly);
  EXPECT_EQ(plat::GetFileMode(t.wsub("ro")), 0444);
  EXPECT_FALSE(plat::CopyFileKeep(t.wsub("dst"), t.wsub("ro"), false));
  EXPECT_EQ(ReadFile(t.sub("ro")), "content");
}

TEST(FilesWin, DeleteRefusesReadOnlyFilesAndDirectories) {
  TempDir t;
  WriteFile(t.sub("ro"), "x");
  ASSERT_TRUE(plat::SetFileMode(t.wsub("ro"), 0444));
  EXPECT_FALSE(plat::DeleteFile(t.wsub("ro")));
  EXPECT_TRUE(Exists(t.sub("ro")));
  ASSERT_TRUE(plat::SetAttributes(t.wsub("ro"), plat::GetAttributes(t.wsub("ro")) & ~plat::kAttrReadOnly));
  EXPECT_TRUE(plat::DeleteFile(t.wsub("ro")));
  EXPECT_FALSE(plat::DeleteFile(t.wsub("ro")));
  EXPECT_EQ(plat::LastErrno(), ENOENT);
  ASSERT_TRUE(plat::MakeDirs(t.wsub("d")));
  EXPECT_FALSE(plat::DeleteFile(t.wsub("d")));
  WriteFile(t.sub("d/f"), "x");
  EXPECT_FALSE(plat::RemoveDirectory(t.wsub("d")));
  EXPECT_TRUE(plat::DeleteFile(t.wpath() + u"\\d\\f"));
  EXPECT_TRUE(plat::RemoveDirectory(t.wsub("d")));
}

TEST(FilesWin, DirectoryTreesWithBothSeparators) {
  TempDir t;
  EXPECT_TRUE(plat::MakeDirs(t.wsub("a/b") + u"\\中文\\d"));
  EXPECT_TRUE(plat::IsDirectory(t.wsub("a/b/中文/d")));
  EXPECT_TRUE(plat::MakeDirs(t.wsub("a//b/")));
  WriteFile(t.sub("file"), "x");
  EXPECT_FALSE(plat::MakeDirs(t.wsub("file")));
  EXPECT_FALSE(plat::MakeDirs(t.wsub("file/sub")));
  EXPECT_TRUE(plat::CreateDirectory(t.wsub("one")));
  EXPECT_FALSE(plat::CreateDirectory(t.wsub("one")));
  std::set<std::pair<std::string, bool>> seen;
  ASSERT_TRUE(plat::ListDirectory(t.wpath(), [&](const WString& n, bool isDir) {
    seen.insert({Utf8FromWide(n), isDir});
  }));
  std::set<std::pair<std::string, bool>> expected = {{"a", true}, {"file", false}, {"one", true}};
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(plat::ListDirectory(t.wsub("none"), [](const WString&, bool) {}));
  EXPECT_GT(plat::FreeBytes(t.wsub("file")), 0);
}

// Writes keep a position of their own, which reads at an offset (moving
// the system's) leave alone.
TEST(FilesWin, FileWritesKeepTheirPositionAcrossReads) {
  TempDir t;
  const WString path = t.wsub("中文");
  plat::File f;
  EXPECT_FALSE(f.Open(path, plat::File::kRead));
  EXPECT_EQ(plat::LastErrno(), ENOENT);
  ASSERT_TRUE(f.Open(path, plat::File::kCreate) && f.Write("hello world", 11) && f.Flush());
  ASSERT_TRUE(f.Open(path, plat::File::kReadWrite) && f.Seek(6));
  char buf[16];
  EXPECT_EQ(f.ReadAt(0, buf, sizeof buf), 11);
  EXPECT_TRUE(f.Write("WORLD!", 6) && f.Truncate(8));
  EXPECT_EQ(f.Size(), 8);
  ASSERT_TRUE(f.Open(path, plat::File::kAppend) && f.Write("!", 1) && f.Close());
  EXPECT_EQ(ReadFile(t.sub("中文")), "hello WO!");
  EXPECT_FALSE(f.Open(path, plat::File::kCreateNew));
  EXPECT_EQ(plat::LastErrno(), EEXIST);
  ASSERT_TRUE(f.Open(path, plat::File::kCreate));
  EXPECT_EQ(f.Size(), 0);
}

TEST(FilesWin, FlushesAndSizes) {
  TempDir t;
  WriteFile(t.sub("f"), "12345");
  EXPECT_TRUE(plat::FlushFile(t.wsub("f")));
  EXPECT_FALSE(plat::FlushFile(t.wsub("missing")));
  EXPECT_TRUE(plat::FlushFile(t.wpath()));
  // A read-only file is flushed and stays read-only.
  ASSERT_TRUE(plat::SetAttributes(t.wsub("f"), plat::kAttrReadOnly));
  EXPECT_TRUE(plat::FlushFile(t.wsub("f")));
  EXPECT_TRUE(plat::GetAttributes(t.wsub("f")) & plat::kAttrReadOnly);
  EXPECT_TRUE(plat::FlushVolume(t.wsub("f")));
  EXPECT_NE(Self().find(u".exe"), WString::npos);
  EXPECT_TRUE(plat::IsRegularFile(Self()));
}

TEST(MutexWin, OneHolderPerNameUntilTheHolderEnds) {
  const WString name = u"quillup-test~" + WFromInt(GetCurrentProcessId()) + u"~中文";
  plat::NamedMutex a, b;
  EXPECT_EQ(plat::NamedMutex::kCreated, a.Create(name));
  EXPECT_EQ(plat::NamedMutex::kAlreadyExists, b.Create(name));
  EXPECT_FALSE(b.IsHeld());
  a.Close();
  EXPECT_EQ(plat::NamedMutex::kFailed, a.Create(u""));

  const WString other = name + u"-child";
  plat::ProcessId pid = 0;
  ASSERT_TRUE(plat::CreateDetachedProcess(Quoted(Self()) + u" --child mutex " + Quoted(other), &pid));
  ASSERT_TRUE(WaitUntil([&] {
    plat::NamedMutex probe;
    return probe.Create(other) == plat::NamedMutex::kAlreadyExists;
  }));
  EXPECT_TRUE(plat::TerminateProcess(pid));
  EXPECT_TRUE(WaitUntil([&] { return !plat::IsProcessActive(pid); }));
  EXPECT_EQ(plat::NamedMutex::kCreated, b.Create(other));
  EXPECT_FALSE(plat::RuntimeDirectory().empty());
}

TEST(ProcessesWin, SnapshotImagePathTerminateAndLiveness) {
  TempDir t;
  // An unquoted program path with a blank: the system tries "...\my" first.
  ASSERT_TRUE(plat::MakeDirs(t.wsub("my dir")));
  WString prog = t.wsub("my dir/my prog.exe");
  ASSERT_TRUE(plat::CopyFileKeep(Self(), prog, true));
  plat::ProcessId pid = 0;
  WString line = prog + u" --child args " + Quoted(t.wsub("args.txt")) + u" a\\\\\\\"b \"c d\" \"\"";
  for (auto& c : line)
    if (c == u'/') c = u'\\';
  ASSERT_TRUE(plat::CreateDetachedProcess(line, &pid));
  ASSERT_TRUE(WaitUntil([&] { return !plat::IsProcessActive(pid); }));
  EXPECT_EQ(ReadFile(t.sub("args.txt")), "a\\\"b\nc d\n\n");  // a\"b, c d, ""

  ASSERT_TRUE(plat::CreateDetachedProcess(Quoted(prog) + u" --child sleep", &pid));
  EXPECT_TRUE(plat::IsProcessActive(pid));
  std::vector<plat::ProcessEntry> all;
  ASSERT_TRUE(plat::SnapshotProcesses(all));
  bool seen = false, self = false;
  for (const auto& e : all) {
    seen |= e.pid == pid && e.parentPid == plat::CurrentProcessId();
    self |= e.pid == plat::CurrentProcessId();
  }
  EXPECT_TRUE(seen);
  EXPECT_TRUE(self);
  WString image = plat::ProcessImagePath(pid);
  EXPECT_TRUE(WEqualsNoCase(image.substr(image.size() - 11), u"my prog.exe")) << Utf8FromWide(image);
  EXPECT_TRUE(plat::TerminateProcess(pid));
  EXPECT_TRUE(WaitUntil([&] { return !plat::IsProcessActive(pid); }));
  EXPECT_FALSE(plat::TerminateProcess(pid));
  EXPECT_FALSE(plat::CreateDetachedProcess(t.wsub("missing.exe")));
}

TEST(SpawnWin, RunAndWaitGivesTheExitCodeAndDropsVariables) {
  std::string self = Utf8FromWide(Self());
  EXPECT_EQ(plat::RunAndWait(self, {"--child", "exit", "7"}), 7);
  _putenv_s("QUILLUP_DROP_ME", "1");
  EXPECT_EQ(plat::RunAndWait(self, {"--child", "env", "QUILLUP_DROP_ME"}), 1);
  EXPECT_EQ(plat::RunAndWait(self, {"--child", "env", "QUILLUP_DROP_ME"}, {"QUILLUP_DROP_ME"}), 0);
  EXPECT_EQ(plat::RunAndWait(self + ".missing", {}), -1);
}

TEST(SpawnWin, PipedProcessReadsOutputAndErrorUntilTheChildEnds) {
  plat::PipedProcess p;
  ASSERT_TRUE(p.Start(Quoted(Self()) + u" --child echo"));
  std::string all;
  char buf[7];
  long n;
  while ((n = p.Read(buf, sizeof buf)) > 0) all.append(buf, (size_t)n);
  p.Close();
  EXPECT_EQ(all, "out\r\nerr\r\ntail");
  EXPECT_FALSE(p.Start(u"quillup-no-such-program-here arg"));
  EXPECT_FALSE(p.Start(u""));
}

TEST(RegistryWin, ReadsTheValuesTheSystemHolds) {
  const std::wstring path = L"Software\\QuillupTest\\" + std::to_wstring(GetCurrentProcessId());
  HKEY k;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  const wchar_t text[] = L"升级程序", expand[] = L"%TEMP%\\x";
  DWORD dword = 0x12345678;
  BYTE bytes[5] = {1, 2, 3, 4, 5};
  RegSetValueExW(k, L"Name", 0, REG_SZ, (const BYTE*)text, sizeof text);
  RegSetValueExW(k, nullptr, 0, REG_SZ, (const BYTE*)text, sizeof text);
  RegSetValueExW(k, L"Path", 0, REG_EXPAND_SZ, (const BYTE*)expand, sizeof expand);
  RegSetValueExW(k, L"Flag", 0, REG_DWORD, (const BYTE*)&dword, 4);
  RegSetValueExW(k, L"Blob", 0, REG_BINARY, bytes, 5);
  RegCloseKey(k);

  plat::RegKey key;
  ASSERT_TRUE(key.Open(plat::RegRoot::CurrentUser, WString(path.begin(), path.end())));
  WString s;
  uint32_t d = 0;
  EXPECT_TRUE(key.QueryString(u"name", s));
  EXPECT_EQ(s, u"升级程序");
  EXPECT_TRUE(key.QueryString(u"", s));
  EXPECT_EQ(s, u"升级程序");
  EXPECT_TRUE(key.QueryString(u"Path", s));
  EXPECT_EQ(s, u"%TEMP%\\x");  // not expanded
  EXPECT_TRUE(key.QueryDword(u"FLAG", d));
  EXPECT_EQ(d, 0x12345678u);
  EXPECT_FALSE(key.QueryDword(u"Name", d));
  EXPECT_FALSE(key.QueryString(u"Blob", s));
  EXPECT_EQ(key.QuerySize(u"Name"), 10);
  EXPECT_EQ(key.QuerySize(u"Blob"), 5);
  EXPECT_EQ(key.QuerySize(u"none"), -1);
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QuillupTest");
  EXPECT_FALSE(key.Open(plat::RegRoot::CurrentUser, WString(path.begin(), path.end())));
  EXPECT_FALSE(key.IsOpen());
  EXPECT_TRUE(key.Open(plat::RegRoot::LocalMachine, u"Software\\Microsoft\\Windows NT\\CurrentVersion"));
}
