// Settings every libcurl transfer of the updater shares.
#pragma once

#include <curl/curl.h>
// On Windows <curl/curl.h> brings <windows.h>, whose A/W macro would rename
// the platform layer's function of this name.
#undef GetProfileString

#include <string>

namespace netcommon {

// Trust: QUILLUP_CA_BUNDLE, when set, names the CA file (tests use their own
// CA); otherwise nothing is set and libcurl's default verification applies.
// Peer and host name verification stay on either way.
void ApplyTrust(CURL* curl);

// A redirect loop would otherwise be followed until the transfer's time-out
// (this libcurl follows without limit by default).
constexpr long kMaxRedirects = 10;
void LimitRedirects(CURL* curl);

// Writes nothing: keeps libcurl's default writer (standard output) away
// from answers that are only looked at through their headers.
size_t DiscardWriter(char* ptr, size_t size, size_t nmemb, void* userdata);

// proxyType < 0: no proxy at all, not even one the environment names;
// otherwise that libcurl proxy type with the (possibly empty) credentials:
// with credentials Basic, Digest or NTLM, without any scheme the proxy
// offers (Negotiate with the user's own ticket).
void ApplyProxy(CURL* curl, long proxyType, const std::string& proxy, const std::string& userPwd);

}  // namespace netcommon
