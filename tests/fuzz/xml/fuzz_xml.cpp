// libFuzzer target: loads the input as a file (LoadFile through a memory
// file, or LoadBytes) or as UTF-16 text (SetDocumentText), checks the
// index for consistency and walks the whole tree with every getter.
// Inputs whose first byte has the high bit set are a signed list: a
// signature file of any content and the list it claims to sign.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "support/signature.h"
#include "support/xml.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void CheckIndex(const XmlDocument& doc) {
  const WString& text = doc.GetDocumentText();
  uint32_t count = doc.GetRecordCount();
  Check(count >= 1);
  Check(doc.GetRecord(0).nLength == text.size());
  uint64_t children = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const XmlDocument::ElementRecord& r = doc.GetRecord(i);
    if (i > 0) {
      Check((uint64_t)r.nStart + r.nLength <= text.size());
      Check(text[r.nStart] == u'<');
      Check(r.StartTagLength() <= r.nLength);
      Check(r.StartTagLength() + r.EndTagLength() <= r.nLength);
      Check(r.iParent < count);
    }
    if (!r.iFirstChild) continue;
    Check(r.iFirstChild < count);
    uint32_t last = 0;
    for (uint32_t c = r.iFirstChild; c; c = doc.GetRecord(c).iNext) {
      Check(c < count && doc.GetRecord(c).iParent == i);
      Check(++children < count);  // no cycle
      last = c;
    }
    Check(doc.GetRecord(r.iFirstChild).iPrev == last);
  }
}

void Walk(XmlDocument& doc) {
  doc.RewindLevel();
  for (int steps = 0; steps < 200000; ++steps) {
    if (doc.FindElement()) {
      WString name = doc.GetElementName();
      doc.GetAttribute(u"a");
      doc.GetAttribute(u"encoding");
      doc.GetElementText();
      uint32_t at = doc.GetCurrentElement();
      if (steps < 256) {
        // A search by the found name from the start finds an element of it.
        doc.RewindLevel();
        Check(!doc.FindElement(name) || doc.GetElementName() == name);
        doc.RewindLevel();
        while (doc.GetCurrentElement() != at && doc.FindElement()) {
        }
        Check(doc.GetCurrentElement() == at);
      }
      doc.EnterElement();
    } else if (!doc.LeaveElement()) {
      break;
    }
  }
}

// The public half of a key pair whose private half was discarded when it
// was made: nothing can sign for it.
const char kNobodysKey[] = "hY4vjnqBGZaAUceuZg8nL/87MGT/83MdMSIdvRY3lm8=";

// A key made in memory for this process, to check that real signatures
// pass and nothing else does.
struct Signer {
  EVP_PKEY* key = nullptr;
  sig::PublicKey pub;
  Signer() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    Check(ctx && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_keygen(ctx, &key) == 1);
    EVP_PKEY_CTX_free(ctx);
    unsigned char raw[sig::kPublicKeySize];
    size_t len = sizeof raw;
    Check(EVP_PKEY_get_raw_public_key(key, raw, &len) == 1 && len == sizeof raw);
    pub = sig::PublicKeyFromEd25519(raw, len);
    Check(!pub.empty());
  }
  std::string Sign(const uint8_t* data, size_t size) const {
    static const uint8_t kEmpty = 0;
    unsigned char out[sig::kSignatureSize];
    size_t len = sizeof out;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Check(ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
          EVP_DigestSign(ctx, out, &len, size ? data : &kEmpty, size) == 1 && len == sizeof out);
    EVP_MD_CTX_free(ctx);
    return std::string((const char*)out, len);
  }
};

// data: one byte n, then the signature file (n bytes, fewer if the input
// ends), then the list.
void CheckSignature(const uint8_t* data, size_t size) {
  static const Signer signer;
  static const sig::KeyList nobody = sig::ParsePublicKeys(kNobodysKey);
  Check(nobody.keys.size() == 1);
  if (size == 0) return;
  size_t n = data[0];
  ++data;
  --size;
  if (n > size) n = size;
  const std::string sigFile((const char*)data, n);
  const uint8_t* list = data + n;
  const size_t listSize = size - n;

  // No input passes for a key nobody holds, alone or among others.
  Check(sig::VerifyDetached(nobody.keys, list, listSize, sigFile) != sig::Check::kOk);
  // The signature file read as a key list never crashes either.
  sig::ParsePublicKeys(sigFile);

  // The real signature passes, with either key order; the input's passes
  // only when it is that very signature.
  const std::string real = signer.Sign(list, listSize);
  const std::string realFile = sig::EncodeBase64(real.data(), real.size()) + "\n";
  std::vector<sig::PublicKey> both = {nobody.keys[0], signer.pub};
  Check(sig::VerifyDetached(both, list, listSize, realFile) == sig::Check::kOk);
  Check(sig::VerifyDetached({signer.pub}, list, listSize, realFile) == sig::Check::kOk);
  if (sig::VerifyDetached(both, list, listSize, sigFile) == sig::Check::kOk) {
    std::string line = sigFile, raw;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    Check(sig::DecodeBase64Exact(line, sig::kSignatureSize, raw) && raw == real);
  }
  // One changed byte of the list fails the real signature.
  if (listSize > 0) {
    std::string changed((const char*)list, listSize);
    changed[listSize / 2] ^= 1;
    Check(sig::VerifyDetached({signer.pub}, changed.data(), changed.size(), realFile) == sig::Check::kMismatch);
  }
}

bool LoadThroughFile(XmlDocument& doc, const uint8_t* data, size_t size) {
  int fd = memfd_create("fuzz_xml", MFD_CLOEXEC);
  if (fd < 0) return doc.LoadBytes(data, size);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += (size_t)n;
  }
  char path[64];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  bool ok = doc.LoadFile(WidePath(path));
  close(fd);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = data[0];
  ++data;
  --size;
  if (mode & 0x80) {
    CheckSignature(data, size);
    // The list part goes on to the XML checks below.
    const size_t skip = size ? 1 + std::min<size_t>(data[0], size - 1) : 0;
    data += skip;
    size -= skip;
  }
  XmlDocument doc;
  bool ok;
  if (mode % 3 == 0) {
    WString text(size / 2, u'\0');
    memcpy(&text[0], data, text.size() * 2);
    ok = doc.SetDocumentText(text);
  } else if (mode % 3 == 1) {
    ok = doc.LoadBytes(data, size);
  } else {
    ok = LoadThroughFile(doc, data, size);
  }
  Check(ok == doc.IsWellFormed());
  CheckIndex(doc);
  Walk(doc);
  // The object stays usable after any input.
  Check(doc.SetDocumentText(u"<r/>"));
  return 0;
}
