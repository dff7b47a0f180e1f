// SPDX-License-Identifier: MIT
#include "tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/scoped_file.h"
#include "base/whole_file.h"
#include "helpers.h"

namespace make_update {

namespace {

std::string Join(const std::string &a, const std::string &b) {
  if (a.empty()) return b;
  return a + "/" + b;
}

bool Walk(const std::string &root, const std::string &rel, const std::string &label, Tree *tree,
          std::vector<std::string> *problems) {
  const std::string dir_path = rel.empty() ? root : root + "/" + rel;
  DIR *dir = opendir(dir_path.c_str());
  if (!dir) {
    problems->push_back(label + ": cannot read folder " + dir_path + ": " + strerror(errno));
    return false;
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent *d = readdir(dir)) {
    if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) names.push_back(d->d_name);
  }
  const int read_errno = errno;
  closedir(dir);
  if (read_errno != 0) {
    problems->push_back(label + ": cannot read folder " + dir_path + ": " + strerror(read_errno));
    return false;
  }
  bool ok = true;
  for (const std::string &name : names) {
    const std::string path = Join(rel, name);
    const std::string full = root + "/" + path;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) {
      problems->push_back(label + ": cannot query " + full + ": " + strerror(errno));
      ok = false;
      continue;
    }
    const std::string name_problem = PathProblem(path);
    if (!name_problem.empty()) problems->push_back(label + ": " + name_problem);
    TreeEntry entry;
    entry.mode = st.st_mode & 07777;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(full.c_str(), target, sizeof target);
      if (n < 0 || static_cast<size_t>(n) >= sizeof target) {
        problems->push_back(label + ": cannot read the link " + full);
        ok = false;
        continue;
      }
      entry.kind = 'l';
      entry.target.assign(target, static_cast<size_t>(n));
      struct stat followed;
      entry.to_folder = stat(full.c_str(), &followed) == 0 && S_ISDIR(followed.st_mode);
      tree->entries[path] = entry;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      entry.kind = 'd';
      tree->entries[path] = entry;
      if (!Walk(root, path, label, tree, problems)) ok = false;
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      problems->push_back(label + ": " + path +
                          " is neither a regular file nor a folder (device, pipe or socket)");
      continue;
    }
    entry.size = static_cast<uint64_t>(st.st_size);
    if (entry.size > kMaxFileSize) {
      problems->push_back(label + ": " + path + " holds 4 GiB or more (" +
                          std::to_string(entry.size) + " bytes); update members are limited to " +
                          "32-bit sizes");
    }
    if (entry.mode & 07000) {
      problems->push_back(label + ": " + path + " has mode " + Octal(entry.mode) +
                          ": set-user-ID, set-group-ID and sticky bits cannot be carried (an " +
                          "update stores the bits 0777 only)");
    }
    tree->entries[path] = entry;
  }
  return ok;
}

}  // namespace

std::string PathProblem(const std::string &path) {
  if (path.empty()) return "an empty path cannot be named";
  if (path.find(manifest::kQuote) != std::string::npos)
    return "name with a double quote cannot be written in a manifest: " + path;
  if (path.find_first_of(manifest::kLineEnds) != std::string::npos)
    return "name with a line break cannot be written in a manifest: " + path;
  if (path.find(manifest::kParentStep) != std::string::npos)
    return "name containing \"..\" is refused by the updater: " + path;
  if (path[0] == '/') return "path must be relative: " + path;
  if (path.size() > kMaxPathLength)
    return "path of " + std::to_string(path.size()) + " bytes is too long (at most " +
           std::to_string(kMaxPathLength) +
           " bytes fit the updater's buffers): " + path.substr(0, 60) + "...";
  return "";
}

bool ScanTree(const std::string &root, const std::string &label, Tree *tree,
              std::vector<std::string> *problems) {
  tree->root = root;
  tree->entries.clear();
  struct stat st;
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    problems->push_back(label + ": " + root + " is not a folder");
    return false;
  }
  return Walk(root, "", label, tree, problems);
}

bool ReadWholeFile(const std::string &path, std::string *data, std::string *error) {
  data->clear();
  char *bytes = nullptr;
  size_t size = 0;
  const FileRead read = ::ReadWholeFile(path.c_str(), WholeFileOptions(), &bytes, &size);
  if (read == FileRead::kOk) {
    data->assign(bytes, size);
    free(bytes);
    return true;
  }
  if (read == FileRead::kCannotOpen) {
    *error = "cannot open " + path + ": " + strerror(errno);
  } else {
    *error = "cannot read " + path;
  }
  return false;
}

bool SameContents(const std::string &a, const std::string &b, bool *same, std::string *error) {
  *same = false;
  ScopedFile fa(fopen(a.c_str(), "rb"));
  if (!fa) {
    *error = "cannot open " + a + ": " + strerror(errno);
    return false;
  }
  ScopedFile fb(fopen(b.c_str(), "rb"));
  if (!fb) {
    *error = "cannot open " + b + ": " + strerror(errno);
    return false;
  }
  static constexpr size_t kChunk = 1 << 16;
  std::unique_ptr<char[]> ba(new char[kChunk]), bb(new char[kChunk]);
  for (;;) {
    const size_t na = fread(ba.get(), 1, kChunk, fa.get());
    const size_t nb = fread(bb.get(), 1, kChunk, fb.get());
    if (ferror(fa.get()) || ferror(fb.get())) {
      *error = "cannot read " + a + " or " + b;
      return false;
    }
    if (na != nb || memcmp(ba.get(), bb.get(), na) != 0) return true;
    if (na == 0) break;
  }
  *same = true;
  return true;
}

bool RemoveTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
  chmod(path.c_str(), 0700);  // a folder without write permission could not be emptied
  bool ok = true;
  if (DIR *dir = opendir(path.c_str())) {
    std::vector<std::string> names;
    while (dirent *d = readdir(dir)) {
      if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) names.push_back(d->d_name);
    }
    closedir(dir);
    for (const std::string &name : names) ok = RemoveTree(path + "/" + name) && ok;
  }
  return rmdir(path.c_str()) == 0 && ok;
}

}  // namespace make_update
