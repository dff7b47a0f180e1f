// SPDX-License-Identifier: MIT
#include "support/upk_builder.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "archive/upk.h"
#include "support/test_support.h"

namespace testing_support {

std::string Bzip2(const std::string &data) {
  unsigned int capacity = static_cast<unsigned int>(data.size() + data.size() / 100 + 600);
  std::string out(capacity, '\0');
  int rv = BZ2_bzBuffToBuffCompress(out.data(), &capacity, const_cast<char *>(data.data()),
                                    static_cast<unsigned int>(data.size()), 9, 0, 0);
  if (rv != BZ_OK) {
    ADD_FAILURE() << "BZ2_bzBuffToBuffCompress returned " << rv;
    return std::string();
  }
  out.resize(capacity);
  return out;
}

bool WriteUpk(const std::string &archive_path, const std::vector<UpkEntry> &entries,
              const std::string &product_id, const std::string &product_version) {
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof(cwd))) {
    ADD_FAILURE() << "getcwd failed";
    return false;
  }
  std::string target =
      archive_path[0] == '/' ? archive_path : std::string(cwd) + "/" + archive_path;

  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/upk-builder-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    ADD_FAILURE() << "mkdtemp failed";
    return false;
  }
  const std::string staging = tmpl;

  std::vector<const char *> names;
  for (const UpkEntry &entry : entries) {
    std::string file = staging + "/" + entry.name;
    WriteFile(file, entry.raw ? entry.content : Bzip2(entry.content), entry.mode);
    if (Mode(file) != entry.mode) {
      ADD_FAILURE() << "could not stage member " << entry.name;
      RemoveTree(staging);
      return false;
    }
    names.push_back(entry.name.c_str());
  }

  // Item names are the paths given to the writer, so it runs inside the staging folder.
  std::string id = product_id;
  std::string version = product_version;
  UpkProductInfo info = {id.data(), version.data()};
  int rv = -1;
  if (chdir(staging.c_str()) == 0) {
    rv = upk_create_archive(target.c_str(), static_cast<int>(names.size()), names.data(), &info);
    if (chdir(cwd) != 0) ADD_FAILURE() << "could not return to " << cwd;
  }
  RemoveTree(staging);
  if (rv != 0) ADD_FAILURE() << "upk_create_archive failed for " << target;
  return rv == 0;
}

}  // namespace testing_support
