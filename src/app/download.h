// The update worker's downloads: the service-pack list with the fallback
// through a public resolver, and the pack archives with reuse, resume, one
// fresh retry and the size and MD5 checks. CUpdateDlg calls them on its
// worker thread with its one CNet; they log under the CUpdateDlg names.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "net/net.h"
#include "opfile/opfile.h"
#include "base/text.h"

namespace packdl {

// Fetches url into localPath (fresh, no progress). When that fails, the
// fallback is allowed, cancel is not set and the URL's host is a name (not
// an IPv4 address), asks 114.114.114.114 for the name (CNet::
// ResolveByPublicDns) and fetches once more from the address with the host
// name in the Host header; on success resolvedAddress holds the address
// (else it is left empty). True when the list was fetched.
bool DowndloadPacksXml(CNet& net, const WString& url, const WString& localPath, WString& resolvedAddress,
                       bool allowDnsFallback, std::atomic<bool>& cancel);

// Shows a status text (the caller logs it).
using StatusHandler = std::function<void(const WString& text)>;

// Fetches every pack of packs from baseUrl + "/" + name (".zip" appended
// when missing) into stagingDir + "/" + name, in order. Status texts go to
// show (may be empty) and to the log; percents to percent (may be empty). A complete local
// archive (size, and MD5 when the list has one) is reused; a partial one
// is resumed, and a failed resumed transfer is retried once from byte 0.
// downloadedFiles gets the local paths in pack order. False at the first
// pack that fails (a file of the wrong size stays for a later resume; one
// with the wrong MD5 is deleted); the reason is in the log. sha256s, when
// given, gets beside each file the SHA-256 taken as it was written, or ""
// for a reused archive or a pack the list gives none.
bool DowndloadZipFiles(CNet& net, const WString& resolvedAddress, const WString& baseUrl, const WString& stagingDir,
                       const std::vector<ServicePack>& packs, std::vector<WString>& downloadedFiles,
                       const StatusHandler& show, const ProgressHandler& percent, std::atomic<bool>& cancel, std::vector<std::string>* sha256s = nullptr);

// The archive's name on the server and on disk: name, with ".zip" appended
// when it does not end in it.
WString PackFileName(const WString& name);

// Deletes path, read-only or not.
void DeleteReadOnlyToo(const WString& path);

}  // namespace packdl
