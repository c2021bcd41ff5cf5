// File names of the programs the updater deals with. Windows names carry
// ".exe"; Linux builds' do not. Keep every such name here.
#pragma once

#include "base/text.h"

namespace names {
#ifdef _WIN32
inline const WString kExeSuffix = u".exe";
#else
inline const WString kExeSuffix = u"";
#endif
inline const WString kUpdater = u"Quillup";             // Quillup.exe
#ifdef _WIN32
inline const WString kTradeModule = u"ZoTrade\\ZoTrade";
inline const WString kTradeUpdate = u"ZoTrade\\TradeUpdate";
#else
inline const WString kTradeModule = u"ZoTrade/ZoTrade";  // ZoTrade\ZoTrade.exe
inline const WString kTradeUpdate = u"ZoTrade/TradeUpdate";
#endif
inline const WString kBrowserChild = u"ZoWeb";
inline const WString kWriteProbe = u"tarvex_sys";
inline const WString kResolver = u"nslookup";
}  // namespace names
