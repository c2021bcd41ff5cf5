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

// Directory operations on native (UTF-8) paths.
void MakeDirOrThrow(const std::string& path);
bool RemoveTree(const std::string& path);
std::string MakeTempDirBeside(const std::string& target, const std::string& tag);
bool SameFileContent(const std::string& a, const std::string& b);
void CopyTree(const std::string& from, const std::string& to);
long long FileSizeOf(const std::string& path);

// Runs a program (no shell) and returns its exit status; -1 if it could not start.
int RunProgram(const std::vector<std::string>& argv, std::string* errText = nullptr);

// True once SIGINT or SIGTERM arrived; long loops check it.
bool Interrupted();
void InstallInterruptHandler();
void ThrowIfInterrupted();

}  // namespace pack
