#include "actions/manifest.h"

#include <fts.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "actions/file_actions.h"
#include "actions/patch_actions.h"
#include "base/tokenizer.h"
#include "base/globals.h"
#include "base/result.h"
#include "base/update_log.h"
#include "fileops/file_ops.h"

namespace {

constexpr size_t kPathSize = 1024;
// The largest single read request, so that no request exceeds what one read may return.
constexpr size_t kMaxRequest = 0x7FFFFFFF;
// FTS_NOCHDIR | FTS_NOSTAT | FTS_PHYSICAL | FTS_XDEV: full paths, no status of plain entries,
// links reported rather than followed, and the walk stays on one file system.
constexpr int kWalkOptions = 0x5C;
static_assert(kWalkOptions == (FTS_NOCHDIR | FTS_NOSTAT | FTS_PHYSICAL | FTS_XDEV), "walk options");

template <class T>
std::unique_ptr<UpdateAction> Create() {
  return std::make_unique<T>();
}

struct Instruction {
  const char *keyword;
  std::unique_ptr<UpdateAction> (*create)();
};

// The manifest's instructions besides "type" and "rmrfdir", which the loop handles itself.
const Instruction kInstructions[] = {
    {"remove", Create<RemoveFileAction>},
    {"rmdir", Create<RemoveDirAction>},
    {"add", Create<AddAction>},
    {"add-if", Create<AddIfAction>},
    {"add-if-not", Create<AddIfNotAction>},
    {"patch", Create<PatchAction>},
    {"patch-if", Create<PatchIfAction>},
};

// Quotes `path`, parses it into a new T and appends it. Returns 0, 14 or the Parse result.
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
  int n = snprintf(out, sizeof(out), format, path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(out)) {
    LOG("add_dir_entries: path too long: %s", path);
    return false;
  }
  return true;
}

// The removals of one walk; the caller closes the walk.
int WalkEntries(FTS *walk, ActionList *list, ManifestTexts *texts) {
  char entry_path[kPathSize];
  while (FTSENT *entry = fts_read(walk)) {
    int rv = result::kOk;
    switch (entry->fts_info) {
      case FTS_SL:
      case FTS_SLNONE:
      case FTS_DEFAULT:
        LOG("add_dir_entries: found a non-standard file: %s", entry->fts_path);
        [[fallthrough]];
      case FTS_F:
      case FTS_NSOK:
        if (!FormEntryPath(entry_path, "%s", entry->fts_accpath)) return result::kWrongKind;
        rv = AppendQuoted<RemoveFileAction>(entry_path, list, texts);
        break;
      case FTS_DP:
        if (!FormEntryPath(entry_path, "%s/", entry->fts_accpath)) return result::kWrongKind;
        rv = AppendQuoted<RemoveDirAction>(entry_path, list, texts);
        break;
      case FTS_DNR:
      case FTS_NS:
        if (entry->fts_errno == ENOENT) break;
        LOG("add_dir_entries: fts_read() error: %s, err: %d", entry->fts_path, entry->fts_errno);
        return result::kWrongKind;
      case FTS_ERR:
        LOG("add_dir_entries: fts_read() error: %s, err: %d", entry->fts_path, entry->fts_errno);
        return result::kWrongKind;
      case FTS_DC:
        LOG("add_dir_entries: fts_read() returned FT_DC: %s", entry->fts_path);
        return result::kWrongKind;
      default:  // FTS_D, FTS_DOT, FTS_INIT, FTS_W: nothing to remove at this point
        break;
    }
    if (rv != result::kOk) return rv;
  }
  return result::kOk;
}

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

char *GetManifestContents(const char *path) {
  ScopedFile file(fopen(path, "rb"));
  if (!file) {
    LOG("GetManifestContents: error opening manifest file: %s", path);
    return nullptr;
  }
  struct stat st;
  if (fstat(fileno(file.get()), &st) != 0 || st.st_size < 0) {
    LOG("GetManifestContents: error stating manifest file: %s", path);
    return nullptr;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  char *text = static_cast<char *>(malloc(size + 1));
  if (!text) return nullptr;
  for (size_t done = 0; done < size;) {
    size_t request = size - done < kMaxRequest ? size - done : kMaxRequest;
    if (fread(text + done, 1, request, file.get()) != request) {
      LOG("GetManifestContents: error reading manifest file: %s", path);
      free(text);
      return nullptr;
    }
    done += request;
  }
  text[size] = '\0';
  return text;
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

  char *roots[] = {root, nullptr};
  FTS *walk = fts_open(roots, kWalkOptions, nullptr);
  if (!walk) return result::kWrongKind;
  int rv = WalkEntries(walk, list, texts);
  fts_close(walk);
  return rv;
}

int AddPreCompleteActions(ActionList *list, ManifestTexts *texts) {
  if (os_update) return result::kOk;
  char *text = texts->Keep(GetManifestContents("precomplete"));
  if (!text) {
    LOG("AddPreCompleteActions: error getting contents of precomplete manifest");
    return result::kOk;
  }

  char *cursor = text;
  while (char *line = next_token("\r\n", &cursor)) {
    if (line[0] == '#') continue;
    char *keyword = next_token(" \t", &line);
    if (!keyword) {
      LOG("AddPreCompleteActions: token not found in manifest");
      return result::kParseError;
    }
    std::unique_ptr<UpdateAction> action;
    if (strcmp(keyword, "remove") == 0) {
      action = std::make_unique<RemoveFileAction>();
    } else if (strcmp(keyword, "rmdir") == 0) {
      action = std::make_unique<RemoveDirAction>();
    } else if (strcmp(keyword, "remove-cc") == 0) {
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

int ParseManifest(char *text, ActionList *list, ManifestTexts *texts) {
  bool first_instruction = true;
  char *cursor = text;
  while (char *line = next_token("\r\n", &cursor)) {
    if (line[0] == '#') continue;
    char *keyword = next_token(" \t", &line);
    if (!keyword) {
      LOG("DoUpdate: token not found in manifest");
      return result::kParseError;
    }

    if (first_instruction && strcmp(keyword, "type") == 0) {
      // A type without a value is a line that cannot be understood.
      char *type = next_token("\"", &line);
      if (!type) return result::kParseError;
      LOG("UPDATE TYPE %s", type);
      if (strcmp(type, "complete") == 0) {
        int rv = AddPreCompleteActions(list, texts);
        if (rv != result::kOk) return rv;
      }
    } else if (strcmp(keyword, "rmrfdir") == 0) {
      char *directory = next_token("\"", &line);
      if (!directory || directory[strlen(directory) - 1] != '/') return result::kParseError;
      // Not checked as a path here: every path that the walk produces is, by its action.
      int rv = add_dir_entries(directory, list, texts);
      if (rv != result::kOk) return rv;
    } else {
      std::unique_ptr<UpdateAction> action = CreateAction(keyword);
      if (!action) {
        LOG("DoUpdate: unknown token: %s", keyword);
        return result::kParseError;
      }
      int rv = action->Parse(line);
      if (rv != result::kOk) return rv;
      list->Append(std::move(action));
    }
    first_instruction = false;
  }
  return result::kOk;
}
