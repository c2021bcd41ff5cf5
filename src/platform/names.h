// File names of the programs the updater deals with. Windows names carry
// ".exe"; this build's do not. Keep every such name here.
#pragma once

#include "base/text.h"

namespace names {
inline const WString kExeSuffix = u"";
inline const WString kUpdater = u"Quillup";             // Quillup.exe
inline const WString kTradeModule = u"ZoTrade/ZoTrade";  // ZoTrade\ZoTrade.exe
inline const WString kTradeUpdate = u"ZoTrade/TradeUpdate";
inline const WString kBrowserChild = u"ZoWeb";
inline const WString kWriteProbe = u"tarvex_sys";
inline const WString kResolver = u"nslookup";
}  // namespace names
