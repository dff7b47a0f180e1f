// SPDX-License-Identifier: MIT
#include "actions/manifest.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "actions/file_actions.h"
#include "actions/patch_actions.h"
#include "base/manifest_format.h"
#include "base/paths.h"
#include "base/result.h"
#include "base/tokenizer.h"
#include "base/update_log.h"
#include "base/whole_file.h"
#include "fileops/beneath.h"

namespace {

template <class T>
std::unique_ptr<UpdateAction> Create() {
  return std::make_unique<T>();
}

// A conditional form of T: runs when the test file exists, or (`kWhenPresent` false) when not.
template <class T, bool kWhenPresent>
std::unique_ptr<UpdateAction> CreateIf() {
  return std::make_unique<ConditionalAction>(std::make_unique<T>(), kWhenPresent);
}

struct Instruction {
  const char *keyword;
  std::unique_ptr<UpdateAction> (*create)();
};

// The manifest's instructions besides "type" and "rmrfdir", which the parser handles itself.
const Instruction kInstructions[] = {
    {manifest::kRemove, Create<RemoveFileAction>},
    {manifest::kRmdir, Create<RemoveDirAction>},
    {manifest::kAdd, Create<AddAction>},
    {manifest::kAddIf, CreateIf<AddAction, true>},
    {manifest::kAddIfNot, CreateIf<AddAction, false>},
    {manifest::kPatch, Create<PatchAction>},
    {manifest::kPatchIf, CreateIf<PatchAction, true>},
    {manifest::kAddSymlink, Create<AddSymlinkAction>},
};

// Quotes `path`, parses it into a new T and appends it. Returns result::kOk, kQuoteNoMemory or
// the Parse result.
template <class T>
int AppendQuoted(const char *path, ActionList *list, ManifestTexts *texts) {
  char *quoted = texts->Keep(quote_path(path));
  if (!quoted) return result::kQuoteNoMemory;
  auto action = std::make_unique<T>();
  int rv = action->Parse(quoted);
  if (rv != result::kOk) return rv;
  list->Append(std::move(action));
  return result::kOk;
}

// Formats an entry's path into `out`; false (logged) when it does not fit, since a cut path could
// name another file, which the removal would then take away.
bool FormEntryPath(char (&out)[kPathSize], const char *format, const char *path) {
  if (!FormPath(out, format, path)) {
    LOG("add_dir_entries: path too long: %s", path);
    return false;
  }
  return true;
}

// The walk of an "rmrfdir" tree. Every folder is listed whole before anything below it is visited,
// and each entry is reached from the descriptor of its folder, never by its name: links are
// reported as entries (never followed), and the walk does not descend into a folder of another
// file system (it is removed as a folder, if empty). A listing that ends early (the system failed
// to read it) is taken as it came.
class TreeWalk {
 public:
  TreeWalk(ActionList *list, ManifestTexts *texts) : list_(list), texts_(texts) {}

  // Appends the removals of the entry `leaf` of `dir`, named `path`, with the status `st` (lstat).
  int Entry(int dir, const char *leaf, const char *path, const struct stat &st, bool top) {
    if (S_ISDIR(st.st_mode)) {
      if (top) device_ = st.st_dev;
      if (st.st_dev == device_) {
        int rv = Folder(dir, leaf, path);
        if (rv == kSkip) return result::kOk;
        if (rv != result::kOk) return rv;
      }
      return Append<RemoveDirAction>("%s/", path);
    }
    if (!S_ISREG(st.st_mode)) LOG("add_dir_entries: found a non-standard file: %s", path);
    return Append<RemoveFileAction>("%s", path);
  }

 private:
  static constexpr int kSkip = -1;  // the folder has gone: nothing to remove

  template <class T>
  int Append(const char *format, const char *path) {
    char entry_path[kPathSize];
    if (!FormEntryPath(entry_path, format, path)) return result::kWrongKind;
    return AppendQuoted<T>(entry_path, list_, texts_);
  }

  // The removals of everything below the folder `leaf` of `dir`; kSkip when it has gone.
  int Folder(int dir, const char *leaf, const char *path) {
    int fd = openat(dir, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *listing = fd < 0 ? nullptr : fdopendir(fd);
    if (!listing) {
      const int error = errno;
      if (fd >= 0) close(fd);
      if (error == ENOENT) return kSkip;
      LOG("add_dir_entries: fts_read() error: %s, err: %d", path, error);
      return result::kWrongKind;
    }
    std::vector<std::pair<std::string, unsigned char>> names;
    while (const dirent *entry = readdir(listing)) {
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
      names.emplace_back(entry->d_name, entry->d_type);
    }
    int rv = result::kOk;
    for (const auto &[name, type] : names) {
      char child[kPathSize];
      if (!FormEntryPath(child, "%s", (std::string(path) + "/" + name).c_str())) {
        rv = result::kWrongKind;
        break;
      }
      if (type != DT_DIR && type != DT_UNKNOWN) {
        // Known not to be a folder: removed as a file, without a look at its status.
        rv = AppendQuoted<RemoveFileAction>(child, list_, texts_);
      } else {
        struct stat st;
        if (fstatat(dirfd(listing), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
          if (errno == ENOENT) continue;
          LOG("add_dir_entries: fts_read() error: %s, err: %d", child, errno);
          rv = result::kWrongKind;
        } else {
          rv = Entry(dirfd(listing), name.c_str(), child, st, false);
        }
      }
      if (rv != result::kOk) break;
    }
    closedir(listing);
    return rv;
  }

  ActionList *list_;
  ManifestTexts *texts_;
  dev_t device_ = 0;
};

// Creates the action for `keyword`, or null when the manifest knows no such instruction.
std::unique_ptr<UpdateAction> CreateAction(const char *keyword) {
  for (const Instruction &instruction : kInstructions) {
    if (strcmp(keyword, instruction.keyword) == 0) return instruction.create();
  }
  return nullptr;
}

}  // namespace

ManifestTexts::~ManifestTexts() {
  for (char *text : texts_) free(text);
}

char *ManifestTexts::Keep(char *text) {
  if (text) texts_.push_back(text);
  return text;
}

char *GetManifestContents(const char *path, const char *shown) {
  if (!shown) shown = path;
  char *text = nullptr;
  size_t size = 0;
  WholeFileOptions options;
  options.no_follow = true;
  AtPath at;
  FileRead read = at.Resolve(path) ? ReadWholeFileAt(at.dir(), at.leaf(), options, &text, &size)
                                   : FileRead::kCannotOpen;
  switch (read) {
    case FileRead::kOk:
      return text;
    case FileRead::kCannotOpen:
      if (errno == ELOOP) LOG("Link: %s is a link, which is not followed", shown);
      LOG("GetManifestContents: error opening manifest file: %s", shown);
      break;
    case FileRead::kCannotQuery:
      LOG("GetManifestContents: error stating manifest file: %s", shown);
      break;
    case FileRead::kNoMemory:
      break;
    default:
      LOG("GetManifestContents: error reading manifest file: %s", shown);
      break;
  }
  return nullptr;
}

char *quote_path(const char *path) {
  size_t length = strlen(path);
  char *quoted = static_cast<char *>(malloc(length + 3));
  if (!quoted) return nullptr;
  quoted[0] = '"';
  memcpy(quoted + 1, path, length);
  quoted[length + 1] = '"';
  quoted[length + 2] = '\0';
  return quoted;
}

int add_dir_entries(const char *directory, ActionList *list, ManifestTexts *texts) {
  // A cut directory could be another, existing one, whose tree would then be removed.
  char root[kPathSize];
  if (!FormEntryPath(root, "%s", directory)) return result::kWrongKind;
  size_t length = strlen(root);
  if (length > 0) root[length - 1] = '\0';  // the trailing '/'

  AtPath at;
  struct stat st;
  if (!at.Resolve(root) || fstatat(at.dir(), at.leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return result::kOk;  // a missing directory adds nothing
    if (errno != kLeadsOutside) LOG("add_dir_entries: fts_read() error: %s, err: %d", root, errno);
    return result::kWrongKind;
  }
  return TreeWalk(list, texts).Entry(at.dir(), at.leaf(), root, st, true);
}

int ManifestParser::Next(ManifestEntry *entry) {
  *entry = ManifestEntry();
  while (char *line = next_token(manifest::kLineEnds, &cursor_)) {
    if (line[0] == manifest::kComment) continue;
    char *keyword = next_token(manifest::kKeywordEnds, &line);
    if (!keyword) {
      LOG("DoUpdate: token not found in manifest");
      return result::kParseError;
    }
    const bool first = first_instruction_;
    first_instruction_ = false;

    if (first && strcmp(keyword, manifest::kType) == 0) {
      // A type without a value is a line that cannot be understood.
      char *type = next_token(manifest::kQuote, &line);
      if (!type) return result::kParseError;
      LOG("UPDATE TYPE %s", type);
      if (strcmp(type, manifest::kComplete) != 0) continue;
      entry->kind = ManifestEntry::Kind::kPrecomplete;
      return result::kOk;
    }
    if (strcmp(keyword, manifest::kRmrfdir) == 0) {
      char *directory = next_token(manifest::kQuote, &line);
      if (!directory || directory[strlen(directory) - 1] != manifest::kFolderEnd) {
        return result::kParseError;
      }
      // Not checked as a path here: every path that the walk produces is, by its action.
      entry->kind = ManifestEntry::Kind::kRmrfdir;
      entry->directory = directory;
      return result::kOk;
    }
    std::unique_ptr<UpdateAction> action = CreateAction(keyword);
    if (!action) {
      LOG("DoUpdate: unknown token: %s", keyword);
      return result::kParseError;
    }
    int rv = action->Parse(line);
    if (rv != result::kOk) return rv;
    entry->kind = ManifestEntry::Kind::kAction;
    entry->action = std::move(action);
    return result::kOk;
  }
  return result::kOk;
}

int ParsePrecomplete(char *text, ActionList *list) {
  char *cursor = text;
  while (char *line = next_token(manifest::kLineEnds, &cursor)) {
    if (line[0] == manifest::kComment) continue;
    char *keyword = next_token(manifest::kKeywordEnds, &line);
    if (!keyword) {
      LOG("AddPreCompleteActions: token not found in manifest");
      return result::kParseError;
    }
    std::unique_ptr<UpdateAction> action;
    if (strcmp(keyword, manifest::kRemove) == 0) {
      action = std::make_unique<RemoveFileAction>();
    } else if (strcmp(keyword, manifest::kRmdir) == 0) {
      action = std::make_unique<RemoveDirAction>();
    } else if (strcmp(keyword, manifest::kRemoveCc) == 0) {
      continue;
    } else {
      LOG("AddPreCompleteActions: unknown token: %s", keyword);
      return result::kParseError;
    }
    int rv = action->Parse(line);
    if (rv != result::kOk) return rv;
    list->Append(std::move(action));
  }
  return result::kOk;
}

int AddPreCompleteActions(ActionList *list, ManifestTexts *texts) {
  if (list->context()->os_update) return result::kOk;
  char *text = texts->Keep(GetManifestContents(manifest::kPrecompleteName));
  if (!text) {
    LOG("AddPreCompleteActions: error getting contents of precomplete manifest");
    return result::kOk;
  }
  return ParsePrecomplete(text, list);
}

int ParseManifest(char *text, ActionList *list, ManifestTexts *texts) {
  ManifestParser parser(text);
  for (;;) {
    ManifestEntry entry;
    int rv = parser.Next(&entry);
    if (rv != result::kOk) return rv;
    switch (entry.kind) {
      case ManifestEntry::Kind::kEnd:
        return result::kOk;
      case ManifestEntry::Kind::kAction:
        list->Append(std::move(entry.action));
        break;
      case ManifestEntry::Kind::kPrecomplete:
        rv = AddPreCompleteActions(list, texts);
        break;
      case ManifestEntry::Kind::kRmrfdir:
        rv = add_dir_entries(entry.directory, list, texts);
        break;
    }
    if (rv != result::kOk) return rv;
  }
}
