// Small pieces every command of the pack tool shares.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace pack {

// A failure the user can act on; main prints it and exits with status 1.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Progress and warnings go to standard error, results to standard output.
void Note(const std::string& text);
void Warn(const std::string& text);
void SetQuiet(bool quiet);
bool IsQuiet();

std::string ErrnoText();

// "1767225600 (2026-01-01 00:00:00 UTC)": seconds since 1970 and their date.
std::string ExpiryText(long long seconds);

// Directory operations on native (UTF-8) paths.
void MakeDirOrThrow(const std::string& path);
bool RemoveTree(const std::string& path);
std::string MakeTempDirBeside(const std::string& target, const std::string& tag);
bool SameFileContent(const std::string& a, const std::string& b);
void CopyTree(const std::string& from, const std::string& to);
long long FileSizeOf(const std::string& path);
// A whole file; throws Error when it cannot be read.
std::string ReadAll(const std::string& path);
// Names in a directory, sorted (hidden ones too); empty when unreadable.
std::vector<std::string> ListNames(const std::string& dir);

// Runs a program (no shell) and returns its exit status; -1 if it could not start.
int RunProgram(const std::vector<std::string>& argv, std::string* errText = nullptr);

// True once SIGINT or SIGTERM arrived; long loops check it.
bool Interrupted();
void InstallInterruptHandler();
void ThrowIfInterrupted();

}  // namespace pack
