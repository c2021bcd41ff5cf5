// The run's steps, versions and durations as config/upgradedetail.json.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <ctime>

#include "opfile/opfile.h"
#include "platform/profile.h"

namespace {

constexpr int32_t kReportCode = 4999;

// Low 32 bits, as a signed value (no overflow in the arithmetic itself).
int32_t Low32(int64_t v) { return (int32_t)(uint32_t)(uint64_t)v; }

}  // namespace

void COpFile::AddProcessRecord(int32_t code, bool success, int32_t spend) {
  for (auto it = m_vecProcess.begin(); it != m_vecProcess.end(); ++it) {
    if (it->nCode == code) {
      m_vecProcess.erase(it);
      break;
    }
  }
  ProcessRecord r;
  r.nCode = code;
  r.bSuccess = success;
  r.nTime = Low32((int64_t)time(nullptr));
  r.nSpend = spend;
  m_vecProcess.push_back(r);
}

void COpFile::SetUpgradeInfo(const std::string& afterVersion, const std::string& beforeVersion, bool needUpgrade,
                             int32_t spend) {
  m_strAfterVersion = afterVersion;
  m_strBeforeVersion = beforeVersion;
  m_bNeedUpgrade = needUpgrade;
  m_nSpendTime = spend;
}

bool COpFile::WriteUpgradeDetail(const WString& installDir) {
  if (m_vecProcess.empty()) return true;
  AddProcessRecord(kReportCode, true, 0);
  uint32_t sum = 0;
  for (const ProcessRecord& r : m_vecProcess) sum += (uint32_t)r.nSpend;
  m_nSpendTime = (int32_t)sum;

  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  bool ok = w.StartObject();
  ok = ok && w.Key("detail_info") && w.StartObject() && w.Key("process_list") && w.StartArray();
  for (const ProcessRecord& r : m_vecProcess) {
    ok = ok && w.StartObject();
    ok = ok && w.Key("process_code") && w.Int(r.nCode);
    ok = ok && w.Key("process_memo") && w.String(r.strMemo.data(), (rapidjson::SizeType)r.strMemo.size());
    ok = ok && w.Key("process_success") && w.Bool(r.bSuccess);
    ok = ok && w.Key("process_time") && w.Int(r.nTime);
    ok = ok && w.Key("spend_time") && w.Int(r.nSpend);
    ok = ok && w.EndObject();
  }
  ok = ok && w.EndArray() && w.EndObject();
  ok = ok && w.Key("upgrade_info") && w.StartObject() && w.Key("process_list") && w.StartObject();
  ok = ok && w.Key("after_upgrade_version") &&
       w.String(m_strAfterVersion.data(), (rapidjson::SizeType)m_strAfterVersion.size());
  ok = ok && w.Key("before_upgrade_version") &&
       w.String(m_strBeforeVersion.data(), (rapidjson::SizeType)m_strBeforeVersion.size());
  ok = ok && w.Key("need_upgrade") && w.Bool(m_bNeedUpgrade);
  ok = ok && w.Key("spend_time") && w.Int(m_nSpendTime);
  ok = ok && w.EndObject() && w.EndObject() && w.EndObject();
  if (!ok) return false;
  // Written beside, flushed and renamed over the old report, as the INI
  // files are: a cut leaves the old report or the new one, never an empty
  // one.
  return plat::ReplaceFileContents(installDir + NativeSeparators(u"/config/upgradedetail.json"),
                                   std::string(buffer.GetString(), buffer.GetSize()));
}
