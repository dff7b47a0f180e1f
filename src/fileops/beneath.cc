// SPDX-License-Identifier: MIT
#include "fileops/beneath.h"

#include <errno.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <deque>
#include <vector>

#include "base/update_log.h"

namespace {

// As many links as the system itself follows in one resolution.
constexpr int kMaxLinks = 40;

// Puts the components of `path` in front of `pending`, in order.
void Prepend(const std::string &path, std::deque<std::string> *pending) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    parts.push_back(path.substr(start, slash - start));
  }
  parts.push_back(path.substr(start));
  pending->insert(pending->begin(), parts.begin(), parts.end());
}

// The part of the absolute `target` below `root` (a resolved path), in `*rest`; false when the
// target does not lie at or below the root.
bool BelowRoot(const std::string &root, const std::string &target, std::string *rest) {
  if (root == "/") {
    *rest = target.substr(1);
    return true;
  }
  if (target.compare(0, root.size(), root) != 0) return false;
  if (target.size() > root.size() && target[root.size()] != '/') return false;
  *rest = target.substr(root.size());
  return true;
}

// The resolved path of the root: `given`, or the current directory's when the root is it.
bool RootPath(int root_fd, const char *given, std::string *out) {
  if (given && given[0]) {
    *out = given;
    return true;
  }
  if (root_fd != AT_FDCWD) return false;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof(cwd))) return false;
  *out = cwd;
  return true;
}

// The text of the link `name` in `dir` ("" with `dir` the link itself); false with errno set.
bool ReadLink(int dir, const char *name, std::string *target) {
  char text[PATH_MAX];
  ssize_t n = readlinkat(dir, name, text, sizeof(text));
  if (n < 0) return false;
  if (static_cast<size_t>(n) >= sizeof(text)) {
    errno = ENAMETOOLONG;
    return false;
  }
  target->assign(text, static_cast<size_t>(n));
  return true;
}

void CloseAll(std::vector<int> *fds) {
  for (int fd : *fds) close(fd);
  fds->clear();
}

}  // namespace

int WalkFolderBeneath(int root_fd, const char *root_real, const char *folder) {
  std::vector<int> stack;  // the folders from the root down to the current one
  int start = openat(root_fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (start < 0) return -1;
  stack.push_back(start);
  std::deque<std::string> pending;
  std::string root;
  bool have_root = false;
  int links = 0;
  int error = 0;
  // Continues the walk at `target`: from the current folder when relative, from the root when it
  // is absolute and lies below it; anything else leads outside.
  auto enter = [&](const std::string &target) {
    if (target[0] != '/') {
      Prepend(target, &pending);
      return true;
    }
    if (!have_root) have_root = RootPath(root_fd, root_real, &root);
    std::string rest;
    if (!have_root || !BelowRoot(root, target, &rest)) return false;
    while (stack.size() > 1) {
      close(stack.back());
      stack.pop_back();
    }
    Prepend(rest, &pending);
    return true;
  };
  if (folder[0] && !enter(folder)) error = kLeadsOutside;
  while (error == 0 && !pending.empty()) {
    const std::string name = pending.front();
    pending.pop_front();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (stack.size() == 1) {
        error = kLeadsOutside;  // never above the root
      } else {
        close(stack.back());
        stack.pop_back();
      }
      continue;
    }
    int fd = openat(stack.back(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      error = errno;
      if (fd >= 0) close(fd);
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      stack.push_back(fd);
      continue;
    }
    std::string target;
    if (!S_ISLNK(st.st_mode)) {
      error = ENOTDIR;
    } else if (++links > kMaxLinks) {
      error = ELOOP;
    } else if (!ReadLink(fd, "", &target)) {
      error = errno;
    } else if (target.empty()) {
      error = ENOENT;
    } else if (!enter(target)) {
      error = kLeadsOutside;
    }
    close(fd);
  }
  if (error != 0) {
    CloseAll(&stack);
    errno = error;
    return -1;
  }
  const int result = stack.back();
  stack.pop_back();
  CloseAll(&stack);
  return result;
}

int OpenFolderBeneath(int root_fd, const char *root_real, const char *folder) {
  struct open_how how = {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const char *name = folder[0] ? folder : ".";
  // EAGAIN: a rename elsewhere raced a ".." on the way; the kernel asks for another try.
  for (int attempt = 0; attempt < 3; ++attempt) {
    long fd = syscall(SYS_openat2, root_fd, name, &how, sizeof(how));
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EAGAIN) break;
  }
  if (errno == ENOSYS || errno == EPERM || errno == EXDEV || errno == EAGAIN) {
    return WalkFolderBeneath(root_fd, root_real, folder);
  }
  return -1;
}

void AtPath::Reset() {
  if (dir_ != AT_FDCWD) close(dir_);
  dir_ = AT_FDCWD;
  leaf_.clear();
  leaf_flags_ = 0;
}

bool AtPath::Resolve(const char *path, unsigned flags) {
  Reset();
  if (path[0] == '/') {
    leaf_ = path;
    return true;
  }
  auto fail = [&]() {
    const int error = errno;
    if (error == kLeadsOutside && !(flags & kQuiet)) {
      LOG("Link: %s leads outside the directory being updated", path);
    }
    Reset();
    errno = error;
    return false;
  };
  std::string current = path;
  for (int links = 0;; ++links) {
    const size_t slash = current.rfind('/');
    if (slash != std::string::npos) {
      dir_ = OpenFolderBeneath(AT_FDCWD, nullptr, current.substr(0, slash).c_str());
      if (dir_ < 0) {
        dir_ = AT_FDCWD;
        return fail();
      }
    }
    leaf_ = slash == std::string::npos ? current : current.substr(slash + 1);
    if (leaf_.empty() || leaf_ == "..") {
      // No entry of a folder: the folder itself, resolved whole.
      if (dir_ != AT_FDCWD) close(dir_);
      dir_ = OpenFolderBeneath(AT_FDCWD, nullptr, current.c_str());
      if (dir_ < 0) {
        dir_ = AT_FDCWD;
        return fail();
      }
      leaf_ = ".";
      return true;
    }
    if (!(flags & kFollowLeaf)) return true;
    struct stat st;
    if (fstatat(dir_, leaf_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
      leaf_flags_ = O_NOFOLLOW;
      return true;
    }
    std::string target;
    if (links == kMaxLinks) {
      errno = ELOOP;
      return fail();
    }
    if (!ReadLink(dir_, leaf_.c_str(), &target)) return fail();
    std::string folder = slash == std::string::npos ? "" : current.substr(0, slash + 1);
    if (target.empty()) {
      errno = ENOENT;
      return fail();
    }
    if (target[0] == '/') {
      std::string root, rest;
      if (!RootPath(AT_FDCWD, nullptr, &root) || !BelowRoot(root, target, &rest)) {
        errno = kLeadsOutside;
        return fail();
      }
      folder.clear();
      target = rest.empty() ? std::string(".") : rest.substr(rest[0] == '/' ? 1 : 0);
      if (target.empty()) target = ".";
    }
    current = folder + target;
    if (dir_ != AT_FDCWD) close(dir_);
    dir_ = AT_FDCWD;
  }
}
