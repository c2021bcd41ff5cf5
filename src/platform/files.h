// File-system stand-ins: attributes, moves that never replace, copies,
// flushing and directory walks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/text.h"

namespace plat {

// Windows attribute bits as the callers test them.
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrHidden = 0x2;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kAttrInvalid = 0xFFFFFFFFu;

// Read-only = owner-write bit clear; hidden = name starts with ".".
uint32_t GetAttributes(const WString& path);
// Only the read-only bit can be changed; others are derived from the file.
bool SetAttributes(const WString& path, uint32_t attrs);

bool PathExists(const WString& path);
bool IsDirectory(const WString& path);
bool IsRegularFile(const WString& path);

// Never replaces an existing destination (renameat2 NOREPLACE, link+unlink,
// or copy+fsync+delete across file systems).
bool MoveNoReplace(const WString& from, const WString& to);
// Keeps mode and modification time. failIfExists as CopyFileW's third arg.
bool CopyFileKeep(const WString& from, const WString& to, bool failIfExists);
bool DeleteFile(const WString& path);
bool RemoveDirectory(const WString& path);  // empty directories only
bool CreateDirectory(const WString& path);  // one level; false if it exists
// mkdir -p with 0755; an existing directory is success.
bool MakeDirs(const WString& path);

bool FlushFile(const WString& path);    // fsync
bool FlushVolume(const WString& path);  // syncfs on the file system of path
// Whether syncfs on the file system of path reaches its disk: FUSE does not
// pass it on to the file system behind it.
bool VolumeFlushReaches(const WString& path);
// Starts writing the file's dirty pages to disk and returns without waiting
// (sync_file_range), so that a later flush finds less to do.
void StartWriteBack(const WString& path);
// The same for bytes [offset, offset + length) of a file open for writing
// (a C runtime descriptor), while more of it is still to come.
void StartWriteBack(int fd, int64_t offset, int64_t length);
// Bytes an unprivileged writer may still use on the file system of path;
// -1 when it cannot be learnt.
int64_t FreeBytes(const WString& path);

// Seconds and nanoseconds since 1970 (UTC).
struct FileTime {
  int64_t sec = 0;
  int64_t nsec = 0;
};
bool GetModifyTime(const WString& path, FileTime& t);
bool SetTimes(const WString& path, const FileTime& access, const FileTime& modify);

int64_t FileSize(const WString& path);  // -1 when missing or not a regular file

// Entries of a directory (no "." or ".."): name and whether it is a
// directory (symbolic links are reported as files, not followed).
bool ListDirectory(const WString& dir, const std::function<void(const WString& name, bool isDir)>& fn);

// Full path of the running executable, as the process was started: taken
// once, like a module file name, so that a later move of the file (a pack
// replacing the updater) changes nothing. FixSelfExePath at the start of
// main takes it from argv[0] (made absolute against the start directory or
// found on PATH) when that names the running executable; otherwise, and
// when never called, /proc/self/exe at the first use.
void FixSelfExePath(const char* argv0);
WString SelfExePath();

int LastErrno();

// Permission bits (07777) of a file, following links; -1 when unreadable.
// Unpacked and rebuilt files keep executable bits through these.
int GetFileMode(const WString& path);
bool SetFileMode(const WString& path, int mode);

}  // namespace plat
