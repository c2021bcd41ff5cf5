// COpFile: the configuration files and the small accessors on them.

#include <cstdio>

#include "opfile/opfile.h"
#include "platform/file.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "support/log.h"
#include "support/md5.h"

namespace {

WString ReadCfg(const WString& file, const char16_t* key) {
  return plat::GetProfileString(COpFile::kCfgSection, key, u"", file);
}

}  // namespace

bool COpFile::Init(const WString& rootDir, ProgressHandler progress) {
  if (rootDir.empty()) return false;
  m_progress = std::move(progress);

  const WString cfgIni = rootDir + kQuillupCfgIni;
  WString id = ReadCfg(cfgIni, u"QUILLUP_ID");
  WString packName = GetCurrentPackName(rootDir + kUpdateIni);
  if (WToInt(id) <= 0 || packName.empty()) {
    // Version information is missing: only a full update can repair it.
    // A flag of 3 stays: it tells that the last swap did not finish.
    if (GetUpdateFlag(rootDir) != 3) SetUpdateFlag(rootDir, 2);
  }

  const WString internalIni = rootDir + kInternalDownloadUrlIni;
  m_strDefaultDownloadUrl = plat::GetProfileString(u"DownloadURL", u"DefaultDownloadURL", u"", internalIni);
  m_strDelayTipTime = plat::GetProfileString(u"DownloadURL", u"DelayTipTime", u"", internalIni);
  m_strReCheckTime = plat::GetProfileString(u"DownloadURL", u"ReCheckTime", u"", internalIni);

  if (!ReadQuillupCfgIni(cfgIni)) return false;

  // Ask the server as version 0, which makes it offer the full pack.
  int flag = GetUpdateFlag(rootDir);
  if (flag == 2 || flag == 3) m_strId = u"0";
  return true;
}

bool COpFile::ReadQuillupCfgIni(const WString& cfgPath) {
  m_strOutsideDownloadUrl = ReadCfg(cfgPath, u"OUTSIDE_DOWNLOAD_URL");
  m_strOutsideDownloadUrlBeta = ReadCfg(cfgPath, u"OUTSIDE_DOWNLOAD_URL_BETA");
  m_strBinFile = ReadCfg(cfgPath, u"BIN_FILE");
  m_strSplashBmpFile = ReadCfg(cfgPath, u"SPLASH_BMP_FILE");
  m_strDialogWindowName = ReadCfg(cfgPath, u"QUILLUP_DIALOG_WINDOW_NAME");
  m_strVersion = ReadCfg(cfgPath, u"QUILLUP_VERSION");
  m_strStatusBarTextColor = ReadCfg(cfgPath, u"STATUS_BAR_TEXT_COLOR");
  m_strId = ReadCfg(cfgPath, u"QUILLUP_ID");
  m_strInstalledId = m_strId;
  m_strPackPublicKeys = ReadCfg(cfgPath, u"PACK_PUBLIC_KEYS");

  if (m_strOutsideDownloadUrl.empty() || m_strBinFile.empty() || m_strSplashBmpFile.empty() ||
      m_strDialogWindowName.empty() || m_strVersion.empty()) {
    LogWrite(LOG_ERROR, "COpFile::ReadQuillupCfgIni", u"缺少配置项:" + cfgPath);
    return false;
  }
  return true;
}

WString COpFile::GetDownloadBaseUrl() const {
  return m_strDefaultDownloadUrl.empty() ? m_strOutsideDownloadUrl : m_strDefaultDownloadUrl;
}

WString COpFile::GetBetaDownloadUrl() const { return m_strOutsideDownloadUrlBeta; }

WString COpFile::GetDialogWindowName() const { return m_strDialogWindowName; }

int32_t COpFile::GetDelayTipTime() const {
  int v = WToInt(m_strDelayTipTime);
  return v <= 0 ? 180 : v;
}

int32_t COpFile::GetReCheckTime() const {
  int v = WToInt(m_strReCheckTime);
  return v <= 0 ? 1200 : v;
}

uint32_t COpFile::GetStatusBarTextColor() const {
  if (m_strStatusBarTextColor.empty()) return 0xD2D2D2;
  return (uint32_t)WToUlongHex(m_strStatusBarTextColor);
}

int32_t COpFile::GetUpdateFlag(const WString& rootDir) const {
  return WToInt(plat::GetProfileString(kCfgSection, u"QUILLUP_FLAG", u"", rootDir + kQuillupCfgExIni));
}

void COpFile::SetUpdateFlag(const WString& rootDir, int32_t value) {
  const WString file = rootDir + kQuillupCfgExIni;
  plat::WriteProfileString(kCfgSection, u"QUILLUP_FLAG", WFromInt(value), file);
  // The flag decides what the next start repairs: it must be on disk
  // before the step it announces begins. A failure here is not fatal.
  plat::FlushFile(file);
}

void COpFile::SetUploadLogFlag(const WString& rootDir) {
  plat::WriteProfileString(kCfgSection, u"UPLOAD_TARVEX_LOG", u"1", rootDir + kQuillupCfgExIni);
}

bool COpFile::IsVersionInfoMissing(const WString& rootDir) const {
  if (WToInt(ReadCfg(rootDir + kQuillupCfgIni, u"QUILLUP_ID")) <= 0) return true;
  return GetCurrentPackName(rootDir + kUpdateIni).empty();
}

WString COpFile::GetCurrentPackName(const WString& updateIniPath) const {
  plat::File f;
  if (!IsGbkRepresentable(updateIniPath) || !f.Open(updateIniPath, plat::File::kRead)) return WString();
  // Only the first 63 bytes of the stamp take part in its name.
  unsigned char buf[63];
  const int64_t n = f.ReadAt(0, buf, sizeof buf);
  if (n <= 0) return WString();
  return u"p" + W(Md5Hex(buf, (uint32_t)n).c_str());
}

void COpFile::CreateEmptyFile(const WString& path) {
  if (!IsGbkRepresentable(path)) return;
  // Created anew: a file that appears meanwhile is never truncated.
  plat::File f;
  f.Open(path, plat::File::kCreateNew);
}

WString COpFile::GetSplashBmpPath(const WString& rootDir) const {
  // Separators between the two go; the root's leading "/" stays.
  WString root = rootDir;
  while (!root.empty() && (root.back() == u'/' || root.back() == u'\\')) root.pop_back();
  size_t start = 0;
  while (start < m_strSplashBmpFile.size() && (m_strSplashBmpFile[start] == u'/' || m_strSplashBmpFile[start] == u'\\'))
    ++start;
  return root + kPathSep + m_strSplashBmpFile.substr(start);
}

// COpFile::LoadSplashBitmap belongs with the UI's bitmap type and is
// defined there.
