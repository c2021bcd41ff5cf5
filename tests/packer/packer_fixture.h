// Version trees, tool runs and list parsing shared by the pack tool tests.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/testutil.h"

namespace packtest {

// Runs quillup-pack with the arguments (each quoted); returns the exit
// status and fills the two output streams.
int RunPack(const std::string& args, std::string* out = nullptr, std::string* err = nullptr,
            const std::string& envPrefix = std::string());

// What the updater names the pack that leads to a stamp.
std::string PackNameFor(const std::string& stamp);

struct ListedPack {
  std::string name;
  long long size = 0;
  std::string md5;
  std::string force;
};
struct ListFile {
  std::string buildOption, id;
  std::vector<ListedPack> packs;
};
// Reads the list format with plain string searches, independently of the
// updater's XML reader.
ListFile ReadList(const std::string& path);

// Writes a minimal version tree: stamp, configuration, required-file list
// and the given files.
void WriteVersion(const std::string& root, int id, const std::string& stamp,
                  const std::map<std::string, std::string>& files, const std::string& buildOption = "line-a");

// relative path -> content of every file below root.
std::map<std::string, std::string> ReadTree(const std::string& root);

// Entries of a directory, hidden ones included.
std::vector<std::string> ListNames(const std::string& dir);

std::string Quote(const std::string& s);

// Deterministic pseudo-random bytes.
std::string Noise(size_t n, unsigned seed);

}  // namespace packtest
