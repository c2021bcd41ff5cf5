#include "packer_fixture.h"

#include <dirent.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <random>

namespace packtest {

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int RunPack(const std::string& args, std::string* out, std::string* err, const std::string& envPrefix) {
  testutil::TempDir io;
  std::string cmd = envPrefix + " " + Quote(QUILLUP_PACK_PROGRAM) + " " + args + " >" + Quote(io.sub("out")) + " 2>" +
                    Quote(io.sub("err"));
  int rc = testutil::Run(cmd);
  if (out) *out = testutil::ReadFile(io.sub("out"));
  if (err) *err = testutil::ReadFile(io.sub("err"));
  return rc;
}


std::string PackNameFor(const std::string& stamp) { return "p" + testutil::OpenSslMd5Hex(stamp.substr(0, 63)); }

static std::string Attr(const std::string& tag, const std::string& name) {
  std::string key = " " + name + "=\"";
  size_t p = tag.find(key);
  if (p == std::string::npos) return std::string();
  p += key.size();
  return tag.substr(p, tag.find('"', p) - p);
}

ListFile ReadList(const std::string& path) {
  std::string x = testutil::ReadFile(path);
  ListFile l;
  size_t root = x.find("<ServicePacksNum");
  if (root == std::string::npos) return l;
  size_t rootEnd = x.find('>', root);
  std::string rootTag = x.substr(root, rootEnd - root);
  l.buildOption = Attr(rootTag, "build_option");
  l.id = Attr(rootTag, "QUILLUP_ID");
  size_t pos = rootEnd;
  for (;;) {
    size_t lt = x.find('<', pos);
    if (lt == std::string::npos || x.compare(lt, 2, "</") == 0) break;
    size_t gt = x.find('>', lt);
    std::string tag = x.substr(lt, gt - lt);
    ListedPack p;
    p.name = tag.substr(1, tag.find_first_of(" />") - 1);
    p.size = atoll(Attr(tag, "size").c_str());
    p.md5 = Attr(tag, "md5");
    p.force = Attr(tag, "force");
    l.packs.push_back(p);
    pos = gt;
  }
  return l;
}

void WriteVersion(const std::string& root, int id, const std::string& stamp,
                  const std::map<std::string, std::string>& files, const std::string& buildOption) {
  testutil::WriteFile(root + "/config/update.ini", stamp);
  testutil::WriteFile(root + "/config/quillupcfg.ini",
                      "[QUILLUP_CFG]\r\nOUTSIDE_DOWNLOAD_URL=http://127.0.0.1:9/\r\nBIN_FILE=bin/client\r\n"
                      "SPLASH_BMP_FILE=skin.bmp\r\nQUILLUP_DIALOG_WINDOW_NAME=Test\r\nQUILLUP_VERSION=" +
                          buildOption + "\r\nQUILLUP_ID=" + std::to_string(id) + "\r\n");
  // The client's required files: the updater reports them missing without it.
  testutil::WriteFile(root + "/config/neededfilelist.lst", "config\\update.ini\r\n");
  for (const auto& [rel, content] : files) testutil::WriteFile(root + "/" + rel, content);
}

std::map<std::string, std::string> ReadTree(const std::string& root) {
  std::map<std::string, std::string> out;
  namespace fs = std::filesystem;
  if (!fs::exists(root)) return out;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) out[fs::relative(e.path(), root).string()] = testutil::ReadFile(e.path().string());
  return out;
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

std::string Noise(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (char& c : s) c = (char)(g() & 0xFF);
  return s;
}

}  // namespace packtest
