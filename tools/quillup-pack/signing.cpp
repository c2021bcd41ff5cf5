// quillup-pack keygen and sign, the signing part of build, and the
// signature checks of verify.
#include "signing.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <vector>

#include "bridge.h"
#include "common.h"
#include "opfile/opfile.h"
#include "packset.h"
#include "support/sha256.h"
#include "support/signature.h"
#include "base/text.h"
#include "support/xml.h"

namespace pack {

const char* const kSignatureSuffix = ".sig";
const char* const kKeyFileName = "signing-key.pem";
const char* const kPublicFileName = "signing-key.pub";

namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>;

// Beside the target, then renamed over it: a server never shows half a file.
void WriteFileAtomic(const std::string& path, const std::string& data, mode_t mode) {
  std::string tmp = path + ".tmp-XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) throw Error("cannot write beside " + path + ": " + ErrnoText());
  bool ok = fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) ok = false;
    else done += (size_t)n;
  }
  ok = ok && fsync(fd) == 0;
  std::string why = ErrnoText();
  close(fd);
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    if (ok) why = ErrnoText();
    unlink(tmp.c_str());
    throw Error("cannot write " + path + ": " + why);
  }
}

std::string ZipName(const std::string& pack) {
  if (pack.size() >= 4 && pack.compare(pack.size() - 4, 4, ".zip") == 0) return pack;
  return pack + ".zip";
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
  return true;
}

}  // namespace

// The root attribute expires of a list, "" when absent.
std::string ExpiresOfList(const std::string& bytes) {
  XmlDocument doc;
  if (!doc.LoadBytes(bytes.data(), bytes.size())) return std::string();
  doc.RewindLevel();
  if (!doc.FindElement(u"ServicePacksNum")) return std::string();
  return Utf8FromWide(doc.GetAttribute(u"expires"));
}

struct SigningKey::Impl {
  PkeyPtr key{nullptr, EVP_PKEY_free};
};

namespace {

// OpenSSL asks here instead of on the terminal: the passphrase file's line,
// or nothing at all.
int PassphraseCallback(char* buf, int size, int, void* u) {
  if (!u) return -1;
  const std::string& p = *static_cast<const std::string*>(u);
  if ((int)p.size() > size) return -1;
  memcpy(buf, p.data(), p.size());
  return (int)p.size();
}

std::string ReadPassphrase(const std::string& path) {
  std::string text = ReadAll(path);
  return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

SigningKey::SigningKey(const std::string& pemPath, const std::string& passphraseFile) : m_impl(new Impl) {
  struct stat st;
  if (stat(pemPath.c_str(), &st) != 0) throw Error("cannot read the signing key " + pemPath + ": " + ErrnoText());
  // As ssh does: a private key others can read is no longer private.
  if (st.st_mode & 077) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", (unsigned)(st.st_mode & 07777));
    throw Error("the signing key " + pemPath + " is readable by group or others (mode " + mode +
                "); make it private with: chmod 600 " + pemPath);
  }
  const std::string pem = ReadAll(pemPath);
  const bool encrypted = pem.find("ENCRYPTED") != std::string::npos;
  if (encrypted && passphraseFile.empty())
    throw Error("the signing key " + pemPath + " is encrypted; give its passphrase with --passphrase-file FILE "
                "(nothing is asked on the terminal)");
  std::string passphrase = passphraseFile.empty() ? std::string() : ReadPassphrase(passphraseFile);
  std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(pem.data(), (int)pem.size()), BIO_free);
  m_impl->key.reset(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, PassphraseCallback,
                                                  passphraseFile.empty() ? nullptr : &passphrase)
                        : nullptr);
  OPENSSL_cleanse(passphrase.data(), passphrase.size());
  if (!m_impl->key && encrypted)
    throw Error("cannot decrypt the signing key " + pemPath + " with the passphrase in " + passphraseFile);
  if (!m_impl->key) throw Error(pemPath + " holds no private key in PEM form");
  if (EVP_PKEY_id(m_impl->key.get()) != EVP_PKEY_ED25519) throw Error(pemPath + " is not an Ed25519 key");
}

SigningKey::~SigningKey() = default;

std::string SigningKey::Sign(const std::string& bytes) const {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char sig[sig::kSignatureSize];
  size_t len = sizeof sig;
  static const unsigned char kEmpty = 0;
  const unsigned char* msg = bytes.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(bytes.data());
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, m_impl->key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig, &len, msg, bytes.size()) != 1 || len != sizeof sig)
    throw Error("signing failed");
  return sig::EncodeBase64(sig, len);
}

std::string SigningKey::PublicBase64() const {
  unsigned char raw[sig::kPublicKeySize];
  size_t len = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(m_impl->key.get(), raw, &len) != 1 || len != sizeof raw)
    throw Error("cannot read the public half of the key");
  return sig::EncodeBase64(raw, len);
}

namespace {

// The directories of dir that do not exist yet, outermost first.
std::vector<std::string> MissingDirs(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::vector<std::string> missing;
  std::error_code ec;
  for (std::filesystem::path p = dir; !p.empty() && !std::filesystem::exists(p, ec); p = p.parent_path()) {
    missing.insert(missing.begin(), p.string());
    if (p == p.parent_path()) break;
  }
  return missing;
}

[[noreturn]] void ThrowErrno(const std::string& what, int err) { throw Error(what + ": " + strerror(err)); }

}  // namespace

void KeyGen(const std::string& dir) {
  const std::string priv = dir + "/" + kKeyFileName, pub = dir + "/" + kPublicFileName;
  std::error_code ec;
  if (std::filesystem::exists(pub, ec)) throw Error(pub + " exists; keygen never replaces a key");
  std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr),
                                                             EVP_PKEY_CTX_free);
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1)
    throw Error("cannot generate an Ed25519 key");
  PkeyPtr key(raw, EVP_PKEY_free);
  unsigned char pubRaw[sig::kPublicKeySize];
  size_t len = sizeof pubRaw;
  if (EVP_PKEY_get_raw_public_key(key.get(), pubRaw, &len) != 1 || len != sizeof pubRaw)
    throw Error("cannot read the public half of the key");
  const std::string line = sig::EncodeBase64(pubRaw, len);

  // A failure (a full disk) takes back what this run created.
  const std::vector<std::string> newDirs = MissingDirs(dir);
  size_t made = 0;
  bool privMade = false;
  try {
    for (; made < newDirs.size(); ++made)
      // Only its owner may look into a directory of private keys.
      if (mkdir(newDirs[made].c_str(), made + 1 == newDirs.size() ? 0700 : 0777) != 0)
        ThrowErrno("cannot create " + newDirs[made], errno);
    // Created 0600 in one step, never readable by others even for a moment.
    int fd = open(priv.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) ThrowErrno("cannot create " + priv + (errno == EEXIST ? " (keygen never replaces a key)" : ""), errno);
    privMade = true;
    FILE* f = fdopen(fd, "wb");
    if (!f) {
      int err = errno;
      close(fd);
      ThrowErrno("cannot write " + priv, err);
    }
    errno = 0;
    bool ok = PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 && fflush(f) == 0 &&
              fsync(fd) == 0;
    int err = errno;
    ok = fclose(f) == 0 && ok;
    if (!ok) ThrowErrno("cannot write " + priv, err ? err : errno ? errno : EIO);
    WriteFileAtomic(pub, line + "\n", 0644);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || fsync(dfd) != 0) {
      int ferr = errno;
      if (dfd >= 0) close(dfd);
      ThrowErrno("cannot flush " + dir, ferr);
    }
    close(dfd);
  } catch (...) {
    if (privMade) unlink(priv.c_str());
    while (made > 0) rmdir(newDirs[--made].c_str());
    throw;
  }
  printf("%s\n", line.c_str());
  Note("private key " + priv + " (keep it off the servers), public key " + pub +
       " (for PACK_PUBLIC_KEYS in config/quillupcfg.ini)");
}

void WriteSignatureOf(const SigningKey& key, const std::string& listPath) {
  WriteFileAtomic(listPath + kSignatureSuffix, key.Sign(ReadAll(listPath)) + "\n", 0644);
}

void SignServerDir(const std::string& keyPath, const std::string& passphraseFile, const std::string& serverDir,
                   int expiresDays) {
  SigningKey key(keyPath, passphraseFile);
  std::error_code ec;
  if (!std::filesystem::exists(serverDir + "/" + kListFile, ec))
    throw Error(serverDir + " holds no " + kListFile);
  for (const char* list : {kListFile, kForceListFile}) {
    const std::string path = serverDir + "/" + list;
    if (!std::filesystem::exists(path, ec)) continue;
    const bool forced = std::string(list) == kForceListFile;
    COpFile op;
    ServicePackInfo info;
    if (!op.ParseServicePackList(WidePath(path), info)) throw Error("the updater cannot parse " + path);
    std::vector<ListEntry> entries;
    for (const ServicePack& p : info.vecPacks) {
      ListEntry e;
      e.name = Utf8FromWide(p.strName);
      e.size = p.nSize;
      e.md5 = Utf8FromWide(p.strMd5);
      e.force = p.bForce;
      const std::string zip = serverDir + "/" + ZipName(e.name);
      long long size = FileSizeOf(zip);
      if (size < 0) throw Error(list + std::string(" names ") + e.name + ", but " + zip + " does not exist");
      if (size != e.size)
        throw Error(zip + " is " + std::to_string(size) + " bytes, " + list + " says " + std::to_string(e.size));
      if (!e.md5.empty() && !EqualsNoCase(FileMd5Hex(zip), e.md5))
        throw Error(zip + " does not have the MD5 " + list + " gives");
      e.sha256 = FileSha256Hex(WidePath(zip));
      if (e.sha256.empty()) throw Error("cannot read " + zip);
      entries.push_back(e);
    }
    long long expires = forced ? (long long)time(nullptr) + 86400LL * expiresDays : 0;
    WriteFileAtomic(path, ListXml(Utf8FromWide(info.strBuildOption), WToInt(info.strId), entries, expires), 0644);
    WriteSignatureOf(key, path);
    printf("%s: signed, %zu packs%s\n", path.c_str(), entries.size(),
           forced ? (", expires " + ExpiryText(expires)).c_str() : "");
  }
}

std::string PublicKeysFrom(const std::string& arg) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(arg, ec)) return arg;
  const std::string text = ReadAll(arg);
  // Never echoed: a private key handed over by mistake stays unprinted.
  if (text.find("PRIVATE KEY") != std::string::npos)
    throw Error(arg + " holds a private key; --public-key takes public keys (the .pub file keygen writes)");
  return text;
}

int VerifySignatures(const std::string& serverDir, const std::string& keysText, const std::string& source,
                     const std::string& label) {
  sig::KeyList keys = sig::ParsePublicKeys(keysText);
  if (!keys.unreadable.empty())
    Warn(std::to_string(keys.unreadable.size()) + " entr" + (keys.unreadable.size() == 1 ? "y" : "ies") + " of " +
         source + " not an Ed25519 public key");
  if (keys.keys.empty()) throw Error("no readable public key in " + source);
  std::error_code ec;
  int failures = 0;
  for (const char* list : {kListFile, kForceListFile}) {
    const std::string path = serverDir + "/" + list;
    if (!std::filesystem::exists(path, ec)) continue;
    const std::string bytes = ReadAll(path);
    std::string why;
    std::error_code sigEc;
    if (!std::filesystem::exists(path + kSignatureSuffix, sigEc)) {
      why = "missing signature";
    } else {
      sig::Check c = sig::VerifyDetached(keys.keys, bytes.data(), bytes.size(), ReadAll(path + kSignatureSuffix));
      if (c != sig::Check::kOk) why = sig::CheckText(c);
    }
    COpFile op;
    ServicePackInfo info;
    if (why.empty() && !op.ParseServicePackList(WidePath(path), info)) why = "the updater cannot parse it";
    for (size_t i = 0; why.empty() && i < info.vecPacks.size(); ++i) {
      const ServicePack& p = info.vecPacks[i];
      const std::string name = Utf8FromWide(p.strName);
      const std::string want = Utf8FromWide(p.strSha256);
      if (want.empty()) why = "pack " + name + " carries no sha256";
      else if (!EqualsNoCase(FileSha256Hex(WidePath(serverDir + "/" + ZipName(name))), want))
        why = ZipName(name) + " does not have the SHA-256 the list gives";
    }
    std::string expiry;
    if (why.empty() && std::string(list) == kForceListFile) {
      std::string expires = ExpiresOfList(bytes);
      if (expires.empty() || expires.size() > 18 || expires.find_first_not_of("0123456789") != std::string::npos)
        why = "forced list without expires";
      else if (std::stoll(expires) < (long long)time(nullptr))
        why = "forced list expired at " + ExpiryText(std::stoll(expires));
      else
        expiry = ", expires " + ExpiryText(std::stoll(expires));
    }
    printf("%s%s%s: %s%s\n", list, kSignatureSuffix, label.c_str(), why.empty() ? "ok" : "FAILED: ",
           why.empty() ? (", " + std::to_string(info.vecPacks.size()) + " packs, sha256 match" + expiry).c_str()
                       : why.c_str());
    if (!why.empty()) ++failures;
  }
  return failures;
}

}  // namespace pack
