#include <limits>

#include "opfile/opfile.h"
#include "support/log.h"
#include "support/xml.h"

namespace {

const char* const kNeedPackOp = "COpFile::GetNeedPackFiles";
const char16_t* const kRootElement = u"ServicePacksNum";
const char16_t* const kParseNormalFailed = u"解析servicepacksNum.xml文件失败";
const char16_t* const kParseForcedFailed = u"解析force_servicepack.xml文件失败";
const char16_t* const kBuildMismatch = u"QUILLUP_VERSION不匹配";
const char16_t* const kBaseIsLatest = u"基准包已经是最新的";
// A current-pack name that matches no pack: the full pack is chosen.
const char16_t* const kNoCurrentPack = u"?";

// "客户端版本%d已经是最新的"
WString ForcedIsLatest(int32_t server) { return u"客户端版本" + WFromInt(server) + u"已经是最新的"; }
// "客户端版本(%d, %d)已经是最新的"
WString NormalIsLatest(int32_t server, int32_t local) {
  return u"客户端版本(" + WFromInt(server) + u", " + WFromInt(local) + u")已经是最新的";
}

// Sum of the pack sizes as a signed 32-bit value. It saturates instead of
// wrapping: a wrapped (negative) sum would pass increments larger than the
// full pack.
int32_t TotalSize(const std::vector<ServicePack>& packs) {
  int64_t sum = 0;
  for (const ServicePack& p : packs) {
    sum += p.nSize;
    if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  }
  return (int32_t)sum;
}

}  // namespace

bool COpFile::ParseServicePackList(const WString& listPath, ServicePackInfo& info) const {
  XmlDocument doc;
  if (!doc.LoadFile(listPath)) return false;
  doc.RewindLevel();
  if (!doc.FindElement(kRootElement)) return false;
  info.strBuildOption = doc.GetAttribute(u"build_option");
  info.strId = doc.GetAttribute(u"QUILLUP_ID");
  if (!doc.EnterElement()) return false;
  info.vecPacks.clear();
  doc.RewindLevel();
  while (doc.FindElement()) {
    ServicePack pack;
    pack.strName = doc.GetElementName();
    pack.nSize = WToInt(doc.GetAttribute(u"size"));
    if (pack.strName.empty() || pack.nSize < 0) return false;
    pack.strMd5 = doc.GetAttribute(u"md5");
    pack.bForce = WToInt(doc.GetAttribute(u"force")) != 0;
    pack.strSha256 = doc.GetAttribute(u"sha256");
    info.vecPacks.push_back(pack);
  }
  return !info.vecPacks.empty();
}

bool COpFile::IsForcePackListValid(const WString& listPath) const {
  ServicePackInfo info;
  if (!ParseServicePackList(listPath, info)) return false;
  return WToInt(info.strId) > 0 && (info.vecPacks.size() == 1 || info.vecPacks.size() == 2);
}

bool COpFile::GetNeedPackFiles(const WString& listPath, const WString& updateIniPath, std::vector<ServicePack>& packs,
                               int32_t& serverVersion, int32_t& localVersion, bool forced) const {
  packs.clear();
  serverVersion = 0;
  localVersion = WToInt(m_strId);

  ServicePackInfo info;
  if (!ParseServicePackList(listPath, info)) {
    LogWrite(LOG_ERROR, kNeedPackOp, forced ? kParseForcedFailed : kParseNormalFailed);
    return false;
  }
  if (info.strBuildOption != m_strVersion) {
    LogWrite(LOG_ERROR, kNeedPackOp, kBuildMismatch);
    return false;
  }
  serverVersion = WToInt(info.strId);
  const ServicePack& full = info.vecPacks.front();

  if (forced) {
    // A forced list installs its first pack whatever the direction.
    if (serverVersion == localVersion) {
      LogWrite(LOG_INFO, kNeedPackOp, ForcedIsLatest(serverVersion));
      return false;
    }
    packs.push_back(full);
    return true;
  }

  if (serverVersion >= 1 && localVersion >= 1 && localVersion >= serverVersion) {
    LogWrite(LOG_INFO, kNeedPackOp, NormalIsLatest(serverVersion, localVersion));
    return false;
  }

  WString current = GetCurrentPackName(updateIniPath);
  if (localVersion < 1 || current.empty()) current = kNoCurrentPack;

  // Every increment after the one installed; the full pack is never
  // compared, and no match means the full pack.
  if (info.vecPacks.size() == 1) {
    packs.push_back(full);
  } else {
    int index = -1;
    for (size_t i = 1; i < info.vecPacks.size(); ++i) {
      if (info.vecPacks[i].strName == current) index = (int)i;
      else if (index >= 0) packs.push_back(info.vecPacks[i]);
    }
    if (index == -1) packs.assign(1, full);
  }
  if (packs.empty()) {
    LogWrite(LOG_INFO, kNeedPackOp, kBaseIsLatest);
    return false;
  }

  if (TotalSize(packs) >= full.nSize) packs.assign(1, full);
  return true;
}
