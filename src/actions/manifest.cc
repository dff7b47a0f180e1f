// SPDX-License-Identifier: MIT
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
#include "base/manifest_format.h"
#include "base/paths.h"
#include "base/result.h"
#include "base/tokenizer.h"
#include "base/update_log.h"
#include "base/whole_file.h"

namespace {

// FTS_NOCHDIR | FTS_NOSTAT | FTS_PHYSICAL | FTS_XDEV: full paths, no status of plain entries,
// links reported rather than followed, and the walk stays on one file system.
constexpr int kWalkOptions = 0x5C;
static_assert(kWalkOptions == (FTS_NOCHDIR | FTS_NOSTAT | FTS_PHYSICAL | FTS_XDEV), "walk options");

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
  char *text = nullptr;
  size_t size = 0;
  switch (ReadWholeFile(path, WholeFileOptions(), &text, &size)) {
    case FileRead::kOk:
      return text;
    case FileRead::kCannotOpen:
      LOG("GetManifestContents: error opening manifest file: %s", path);
      break;
    case FileRead::kCannotQuery:
      LOG("GetManifestContents: error stating manifest file: %s", path);
      break;
    case FileRead::kNoMemory:
      break;
    default:
      LOG("GetManifestContents: error reading manifest file: %s", path);
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

  char *roots[] = {root, nullptr};
  FTS *walk = fts_open(roots, kWalkOptions, nullptr);
  if (!walk) return result::kWrongKind;
  int rv = WalkEntries(walk, list, texts);
  fts_close(walk);
  return rv;
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
