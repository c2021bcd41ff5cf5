// quillup-pack list: what a server directory holds, read as the updater
// reads it.
#include <cstdio>
#include <filesystem>
#include <set>

#include "bridge.h"
#include "common.h"
#include "opfile/opfile.h"
#include "packset.h"
#include "progress.h"
#include "signing.h"
#include "base/text.h"

namespace pack {

int ListServerDir(const std::string& serverDir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_directory(serverDir, ec)) throw Error(serverDir + " is not a directory");
  int problems = 0;
  std::set<std::string> shown;
  printf("%s\n", serverDir.c_str());
  for (const char* list : {kListFile, kForceListFile}) {
    const std::string path = serverDir + "/" + list, sigName = std::string(list) + kSignatureSuffix;
    if (!fs::exists(path, ec)) {
      if (std::string(list) == kListFile) {
        printf("%s: missing\n", list);
        ++problems;
      }
      continue;
    }
    shown.insert(list);
    COpFile op;
    ServicePackInfo info;
    if (!op.ParseServicePackList(WidePath(path), info)) {
      printf("%s: the updater cannot parse it\n", list);
      ++problems;
      continue;
    }
    const bool signedList = fs::exists(serverDir + "/" + sigName, ec);
    if (signedList) shown.insert(sigName);
    std::string expires = ExpiresOfList(ReadAll(path)), expiry;
    if (!expires.empty() && expires.size() < 19 && expires.find_first_not_of("0123456789") == std::string::npos)
      expiry = std::string(std::stoll(expires) < (long long)time(nullptr) ? ", expired " : ", expires ") +
               ExpiryText(std::stoll(expires));
    printf("%s: version QUILLUP_ID=%s, build_option \"%s\", %zu packs, %s%s\n", list,
           Utf8FromWide(info.strId).c_str(), Utf8FromWide(info.strBuildOption).c_str(), info.vecPacks.size(),
           signedList ? ("signed (" + sigName + ")").c_str() : "unsigned", expiry.c_str());
    bool baseSeen = false;
    for (const ServicePack& p : info.vecPacks) {
      std::string name = Utf8FromWide(p.strName);
      std::string zip = name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0 ? name : name + ".zip";
      shown.insert(zip);
      const bool increment = !name.empty() && name[0] == 'p';  // as the updater tells them apart
      const char* role = !increment ? "full" : baseSeen ? "increment" : "base";
      baseSeen = baseSeen || increment;
      long long onDisk = FileSizeOf(serverDir + "/" + zip);
      std::string state = onDisk < 0 ? "MISSING" : onDisk != p.nSize ? "is " + std::to_string(onDisk) + " bytes" : "present";
      if (onDisk != p.nSize) ++problems;
      printf("  %-38s %-9s %12d bytes (%s)  %s%s\n", zip.c_str(), role, p.nSize, ByteCount(p.nSize).c_str(),
             state.c_str(), p.strSha256.empty() ? "" : ", sha256");
    }
  }
  std::string others;
  for (const std::string& name : ListNames(serverDir))
    if (!shown.count(name)) others += (others.empty() ? "" : ", ") + name;
  if (!others.empty()) printf("other files: %s\n", others.c_str());
  return problems ? 1 : 0;
}

}  // namespace pack
