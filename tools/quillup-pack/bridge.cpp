#include "bridge.h"

#include "opfile/opfile.h"
#include "platform/profile.h"
#include "support/md5.h"
#include "base/text.h"

namespace pack {

std::string PackNameOfStamp(const std::string& updateIniPath) {
  COpFile op;
  return Utf8FromWide(op.GetCurrentPackName(WidePath(updateIniPath)));
}

std::string FileMd5Hex(const std::string& path) { return Utf8FromWide(FileMd5(WidePath(path))); }

std::string ReadCfgValue(const std::string& cfgPath, const char* key) {
  return Utf8FromWide(plat::GetProfileString(COpFile::kCfgSection, W(key), u"", WidePath(cfgPath)));
}

bool RequiredFilesOf(const std::string& listPath, std::vector<std::string>& files) {
  std::vector<WString> wide;
  if (!COpFile::ReadRequiredFiles(WidePath(listPath), wide)) return false;
  for (const WString& w : wide) files.push_back(Utf8FromWide(w));
  return true;
}

bool PackNamesOfList(const std::string& listPath, std::vector<std::string>& names) {
  COpFile op;
  ServicePackInfo info;
  if (!op.ParseServicePackList(WidePath(listPath), info)) return false;
  for (const ServicePack& p : info.vecPacks) names.push_back(Utf8FromWide(p.strName));
  return true;
}

bool UpdaterAcceptsCfg(const std::string& cfgPath) {
  COpFile op;
  return op.ReadQuillupCfgIni(WidePath(cfgPath));
}

}  // namespace pack
