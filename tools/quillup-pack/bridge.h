// What the pack tool takes from the updater itself, so that the names,
// digests and configuration values it writes are the ones the updater
// computes when it reads them back.
#pragma once

#include <string>

namespace pack {

// COpFile::GetCurrentPackName: "p" + MD5 of the first 63 bytes of the
// stamp file; "" when it cannot be read or is empty.
std::string PackNameOfStamp(const std::string& updateIniPath);

// Lower-case hex MD5 of a whole file (FileMd5); "" when it cannot be read.
std::string FileMd5Hex(const std::string& path);

// [QUILLUP_CFG] key of an installation's config/quillupcfg.ini, read with
// the updater's profile reader.
std::string ReadCfgValue(const std::string& cfgPath, const char* key);

// COpFile::ReadQuillupCfgIni accepts the file: the updater would start.
bool UpdaterAcceptsCfg(const std::string& cfgPath);

}  // namespace pack
