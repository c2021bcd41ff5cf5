// The downloads' part in signed pack lists (PACK_PUBLIC_KEYS): the detached
// signature fetched beside each list, and the packs' SHA-256 checked after
// their size and MD5. Run on the worker thread with its one CNet.
#pragma once

#include <atomic>
#include <vector>

#include "net/net.h"
#include "opfile/opfile.h"
#include "base/text.h"

namespace packdl {

// Fetches url + ".sig" to localList + ".sig" the way the list came (through
// resolvedAddress with the Host header when not empty) and lets COpFile::
// CheckSignedList judge the list. A refusal is logged in one line naming
// the URL and the reason. The signature file is deleted afterwards.
bool VerifySignedList(CNet& net, const COpFile& op, const WString& url, const WString& localList,
                      const WString& resolvedAddress, bool forced, std::atomic<bool>& cancel);

// Every downloaded pack (files[i] of packs[i]) has the list's sha256; a
// mismatch is logged under CUpdateDlg::DowndloadZipFiles and deletes the
// file, as an MD5 mismatch does. known[i], when given and not empty, is
// files[i]'s digest taken during its download; others are read again.
bool CheckPackSha256(const WString& baseUrl, const std::vector<ServicePack>& packs,
                     const std::vector<WString>& files, const std::vector<std::string>* known = nullptr);

}  // namespace packdl
