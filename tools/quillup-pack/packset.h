// The packs and lists of one server directory.
#pragma once

#include <string>
#include <vector>

namespace pack {

extern const char* const kListFile;       // servicepacksNum.xml
extern const char* const kForceListFile;  // force_servicepack.xml

struct BuildOptions {
  std::string serverDir;
  std::vector<std::string> versionDirs;  // oldest first
  std::string fullName;                  // "" = "full_" + newest QUILLUP_ID
  bool forceRepair = false;              // also write force_servicepack.xml
  bool replace = false;                  // replace the set of an existing server directory
  bool force = false;                    // with replace: published packs may change bytes
  bool dryRun = false;                   // check and tell, write nothing
  std::string signKey;                   // Ed25519 PEM: sha256 on every pack, lists signed
  std::string passphraseFile;            // first line: the passphrase of an encrypted key
  int expiresDays = -1;                  // signed forced list valid this long (-1: the default)
};

// Builds every pack and list into a fresh directory and moves it into
// place; on failure nothing is left in or beside serverDir. Throws Error.
void BuildServerDir(const BuildOptions& opt);

// quillup list: what a server directory holds. Returns the exit status.
int ListServerDir(const std::string& serverDir);

// The list document for the given packs (in chain order).
struct ListEntry {
  std::string name;
  long long size = 0;
  std::string md5;
  bool force = false;
  std::string sha256;  // written when not empty (signed lists)
};
// expires (UTC seconds), when not 0, goes on the root element.
std::string ListXml(const std::string& buildOption, int id, const std::vector<ListEntry>& packs,
                    long long expires = 0);

// A name the list can carry as an element name and that the updater
// treats as a full pack (it does not begin with a lower-case "p").
bool IsValidFullPackName(const std::string& name);

}  // namespace pack
