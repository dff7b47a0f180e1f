// SPDX-License-Identifier: MIT
#include "archive/archive_check.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "archive/signature_check.h"
#include "archive/upk.h"
#include "archive/upk_reader.h"
#include "base/paths.h"
#include "base/product_record.h"
#include "base/result.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "base/whole_file.h"

namespace {

// Archives up to this size are copied into memory, larger ones into an unlinked file.
constexpr unsigned long long kMemoryCopyLimit = 64ull << 20;

// Reads the installation's product record. 0 with `*present` false when nothing lies at its name
// (looked at without following a link); 21 (logged) when something does that is not a record, a
// link included.
int LoadProductRecord(const char *install_dir, bool *present, ProductRecord *record) {
  const std::string path = std::string(install_dir) + "/" + protocol::kProductRecordName;
  struct stat st;
  const bool seen = lstat(path.c_str(), &st) == 0;
  *present = seen || errno != ENOENT;
  if (!*present) {
    LOG("Product: update.upk not checked: no product record at %s", path.c_str());
    return result::kOk;
  }
  // A link at the name is refused, never followed: the record says what this installation is.
  if (seen && S_ISLNK(st.st_mode)) {
    LOG("Product: refused: the product record %s is a link, which is not followed", path.c_str());
    return result::kNoProductInfo;
  }
  WholeFileOptions options;
  options.regular_only = true;
  options.max_size = 4096;
  options.no_follow = true;
  char *data = nullptr;
  size_t size = 0;
  if (ReadWholeFile(path.c_str(), options, &data, &size) != FileRead::kOk) {
    LOG("Product: refused: the product record %s cannot be read", path.c_str());
    return result::kNoProductInfo;
  }
  std::string why;
  const bool ok = ParseProductRecord(std::string(data, size), record, &why);
  free(data);
  if (!ok) {
    LOG("Product: refused: the product record %s is not one: %s", path.c_str(), why.c_str());
    return result::kNoProductInfo;
  }
  return result::kOk;
}

// The product check of the open archive against the record, with one line naming both sides.
int CheckProduct(const ProductRecord &record, UpkReader *reader) {
  UpkProductInfo info = {nullptr, nullptr};
  if (upk_get_product_info(reader->archive(), &info) != 0) {
    LOG("Product: update.upk refused: it carries no readable product information (installed: "
        "%s %s)",
        record.product.c_str(), record.version.c_str());
    return result::kNoProductInfo;
  }
  int rv = reader->VerifyProductInfo(record.product.c_str(), record.version.c_str());
  if (rv == result::kWrongProduct) {
    LOG("Product: update.upk refused: it is for product \"%s\", this installation is \"%s\"",
        info.product_id, record.product.c_str());
  } else if (rv == result::kApplicationNewer) {
    LOG("Product: update.upk refused: it brings version %s of %s, older than the installed "
        "version %s",
        info.product_version, info.product_id, record.version.c_str());
  } else if (rv == result::kOk) {
    LOG("Product: update.upk brings %s %s (installed: %s %s)", info.product_id,
        info.product_version, record.product.c_str(), record.version.c_str());
  }
  upk_free_product_info(&info);
  return rv;
}

}  // namespace

FILE *PrivateCopy(int fd, const char *spill_dir, unsigned long long memory_limit) {
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  int copy = static_cast<unsigned long long>(st.st_size) <= memory_limit
                 ? memfd_create("update.upk", MFD_CLOEXEC)
                 : open(spill_dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (copy < 0) return nullptr;
  std::vector<char> buffer(1 << 20);
  off_t at = 0;
  bool ok = true;
  while (ok) {
    ssize_t got = pread(fd, buffer.data(), buffer.size(), at);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    at += got;
    for (ssize_t done = 0; ok && done < got;) {
      ssize_t put = write(copy, buffer.data() + done, static_cast<size_t>(got - done));
      ok = put > 0;
      if (ok) done += put;
    }
  }
  FILE *fp = ok && lseek(copy, 0, SEEK_SET) == 0 ? fdopen(copy, "rb") : nullptr;
  if (!fp) {
    int saved = errno;
    close(copy);
    errno = saved;
  }
  return fp;
}

int OpenCheckedArchive(const char *install_dir, const char *archive_path, bool signatures_required,
                       UpkReader *reader) {
  std::vector<upk_signature::PublicKey> keys;
  int rv = LoadTrustedKeys(install_dir, signatures_required, &keys);
  if (rv != result::kOk) return rv;
  bool has_record = false;
  ProductRecord record;
  rv = LoadProductRecord(install_dir, &has_record, &record);
  if (rv != result::kOk) return rv;

  if (keys.empty()) {
    rv = reader->Open(archive_path);
  } else {
    // The signature check and every later read see one private copy of the archive.
    int fd = open(archive_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      LOG("Signature: update.upk cannot be opened: %s", archive_path);
      return result::kReadError;
    }
    FILE *fp =
        PrivateCopy(fd, ParentDirectory(std::string(archive_path)).c_str(), kMemoryCopyLimit);
    close(fd);
    if (!fp) {
      LOG("Signature: update.upk cannot be copied for checking: %s: %s", archive_path,
          strerror(errno));
      return result::kReadError;
    }
    rv = CheckArchiveSignature(fp, keys);
    if (rv != result::kOk) {
      fclose(fp);
      return rv;
    }
    rv = reader->OpenStream(fp);
  }
  if (rv == result::kOk && has_record) rv = CheckProduct(record, reader);
  if (rv != result::kOk) reader->Close();
  return rv;
}
