// What the pack tool takes from the updater itself, so that the names,
// digests and configuration values it writes are the ones the updater
// computes when it reads them back.
#pragma once

#include <string>
#include <vector>

namespace pack {

// COpFile::GetCurrentPackName: "p" + MD5 of the first 63 bytes of the
// stamp file; "" when it cannot be read or is empty.
std::string PackNameOfStamp(const std::string& updateIniPath);

// Lower-case hex MD5 of a whole file (FileMd5); "" when it cannot be read.
std::string FileMd5Hex(const std::string& path);

// [QUILLUP_CFG] key of an installation's config/quillupcfg.ini, read with
// the updater's profile reader.
std::string ReadCfgValue(const std::string& cfgPath, const char* key);

// The files config/neededfilelist.lst names, as the updater's integrity
// check reads them ("/" separated, relative); false when unreadable.
bool RequiredFilesOf(const std::string& listPath, std::vector<std::string>& files);

// The pack names a list gives, as the updater parses it; false when it
// cannot parse the list.
bool PackNamesOfList(const std::string& listPath, std::vector<std::string>& names);

// COpFile::ReadQuillupCfgIni accepts the file: the updater would start.
bool UpdaterAcceptsCfg(const std::string& cfgPath);

}  // namespace pack
