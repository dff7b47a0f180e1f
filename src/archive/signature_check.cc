// SPDX-License-Identifier: MIT
// The update's signature check over the installation's trusted keys.
#include "archive/signature_check.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"

int LoadTrustedKeys(const char *install_dir, bool signatures_required,
                    std::vector<upk_signature::PublicKey> *keys) {
  keys->clear();
  const std::string folder = std::string(install_dir) + "/" + protocol::kKeysDirName;
  std::vector<std::string> names;
  // Only nothing at all at that name means "no keys": a link that leads nowhere, a file, a folder
  // that cannot be read are refusals, never a check turned off.
  struct stat st;
  const bool present = lstat(folder.c_str(), &st) == 0 || errno != ENOENT;
  DIR *dir = present ? opendir(folder.c_str()) : nullptr;
  if (present && !dir) {
    LOG("Signature: refused: the key folder %s cannot be read: %s", folder.c_str(),
        strerror(errno));
    return result::kSignatureRefused;
  }
  if (dir) {
    while (const dirent *entry = readdir(dir)) {
      const size_t len = strlen(entry->d_name);
      if (len > 4 && strcmp(entry->d_name + len - 4, ".pub") == 0) names.push_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    upk_signature::PublicKey key;
    std::string error;
    if (!upk_signature::ReadPublicKeyFile((folder + "/" + name).c_str(), &key, &error)) {
      LOG("Signature: refused: malformed key file %s", error.c_str());
      return result::kSignatureRefused;
    }
    keys->push_back(key);
  }
  if (keys->empty()) {
    if (signatures_required) {
      LOG("Signature: refused: signatures are required and no trusted key is in %s",
          folder.c_str());
      return result::kSignatureRefused;
    }
    LOG("Signature: update.upk not checked: no trusted key in %s", folder.c_str());
  }
  return result::kOk;
}

int CheckArchiveSignature(FILE *fp, const std::vector<upk_signature::PublicKey> &keys) {
  size_t trusted = 0;
  std::string detail;
  upk_signature::Verdict verdict = upk_signature::Verify(fp, keys, &trusted, &detail);
  if (verdict == upk_signature::Verdict::kTrusted) {
    LOG("Signature: update.upk %s", detail.c_str());
    return result::kOk;
  }
  LOG("Signature: update.upk refused: %s", detail.c_str());
  return result::kSignatureRefused;
}
