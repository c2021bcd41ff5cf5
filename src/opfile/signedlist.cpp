// COpFile: the checks a downloaded list passes when PACK_PUBLIC_KEYS asks
// for signed lists. Only the signature decides; where the bytes came from
// (a public resolver's address, a redirect) does not matter.
#include <string>

#include "opfile/opfile.h"
#include "support/path.h"
#include "support/signature.h"
#include "support/xml.h"

namespace {

const char16_t* const kRootElement = u"ServicePacksNum";

// The whole file, when it exists and holds at most limit bytes.
bool ReadWhole(const WString& path, size_t limit, std::string& out) {
  out.clear();
  return ReadFileInPieces(path, 1 << 16, [&](const char* p, size_t n) {
    if (out.size() + n > limit) return false;
    out.append(p, n);
    return true;
  });
}

bool IsSha256Hex(const WString& s) {
  if (s.size() != 64) return false;
  for (char16_t c : s)
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) return false;
  return true;
}

// Decimal digits only: an expiry must say exactly when.
bool ParseSeconds(const WString& s, int64_t& out) {
  if (s.empty() || s.size() > 18) return false;
  out = 0;
  for (char16_t c : s) {
    if (c < u'0' || c > u'9') return false;
    out = out * 10 + (c - u'0');
  }
  return true;
}

}  // namespace

bool COpFile::IsListSigningOn() const { return !WTrim(m_strPackPublicKeys).empty(); }

bool COpFile::CheckSignedList(const WString& listPath, const WString& sigPath, bool forced, int64_t now,
                              std::string& reason) const {
  sig::KeyList keys = sig::ParsePublicKeys(Utf8FromWide(m_strPackPublicKeys));
  if (keys.keys.empty()) {
    reason = "unreadable key (PACK_PUBLIC_KEYS holds no Ed25519 public key)";
    return false;
  }
  std::string list, sigFile;
  if (!ReadWhole(listPath, XmlDocument::kMaxFileBytes, list)) {
    reason = "list unreadable";
    return false;
  }
  if (!ReadWhole(sigPath, sig::kMaxSignatureFile + 1, sigFile)) {
    reason = "missing signature";
    return false;
  }
  sig::Check check = sig::VerifyDetached(keys.keys, list.data(), list.size(), sigFile);
  if (check != sig::Check::kOk) {
    reason = sig::CheckText(check);
    return false;
  }

  // What the signature covers, from the very bytes it was checked over.
  XmlDocument doc;
  if (!doc.LoadBytes(list.data(), list.size())) {
    reason = "signed list is not well formed";
    return false;
  }
  doc.RewindLevel();
  if (!doc.FindElement(kRootElement)) {
    reason = "signed list has no ServicePacksNum";
    return false;
  }
  const WString id = doc.GetAttribute(u"QUILLUP_ID");
  const WString expires = doc.GetAttribute(u"expires");
  if (!doc.EnterElement()) {
    reason = "signed list names no pack";
    return false;
  }
  doc.RewindLevel();
  while (doc.FindElement()) {
    if (!IsSha256Hex(doc.GetAttribute(u"sha256"))) {
      reason = "pack " + Utf8FromWide(doc.GetElementName()) + " carries no sha256";
      return false;
    }
  }

  if (forced) {
    // A forced list repairs whatever it finds, so it must not live for ever.
    int64_t until = 0;
    if (!ParseSeconds(expires, until)) {
      reason = "forced list without expires";
      return false;
    }
    if (now > until) {
      reason = "forced list expired at " + std::to_string(until) + " (now " + std::to_string(now) + ")";
      return false;
    }
  }
  if (WToInt(id) < WToInt(m_strInstalledId)) {
    // An old list, signed once, must not take the client back, forced or
    // not: a withdrawn release is replaced by a higher version.
    reason = "replayed list: QUILLUP_ID " + Utf8FromWide(id) + " is below the installed " +
             Utf8FromWide(m_strInstalledId);
    return false;
  }
  return true;
}
