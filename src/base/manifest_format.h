// SPDX-License-Identifier: MIT
// Manifest format information shared by the updater's reader (actions/manifest.cc and the path rule
// in base/tokenizer.cc) and the writer in make-update: file names, line and argument syntax, the
// keywords, the rules a path must follow and the rule for a link's target. Nothing is reported.
#pragma once

#include <cstddef>
#include <cstring>

#include "base/paths.h"
#include "base/update_protocol.h"

namespace manifest {

// The manifest inside an update archive, and the list of a release's files that a complete update
// removes first (a member of every update, installed at the top of the installation).
constexpr char kManifestName[] = "updatev3.manifest";
constexpr char kPrecompleteName[] = "precomplete";

// A line ends at CR or LF (blank lines are skipped); a line whose first byte is '#' is a comment.
// The keyword ends at a space or a tab; each argument stands between double quotes, and the bytes
// between two arguments are skipped.
constexpr char kLineEnds[] = "\r\n";
constexpr char kComment = '#';
constexpr char kKeywordEnds[] = " \t";
constexpr char kQuote[] = "\"";

// `type "complete"` or `type "partial"`, honoured only as the first instruction.
constexpr char kType[] = "type";
constexpr char kComplete[] = "complete";
constexpr char kPartial[] = "partial";
constexpr char kRemove[] = "remove";          // "path"
constexpr char kRmdir[] = "rmdir";            // "dir/"
constexpr char kRmrfdir[] = "rmrfdir";        // "dir/": the whole tree
constexpr char kAdd[] = "add";                // "path" (also the archive member's name)
constexpr char kAddIf[] = "add-if";           // "test" "path"
constexpr char kAddIfNot[] = "add-if-not";    // "test" "path"
constexpr char kPatch[] = "patch";            // "member" "path"
constexpr char kPatchIf[] = "patch-if";       // "test" "member" "path"
constexpr char kAddSymlink[] = "addsymlink";  // "path" "target": a symbolic link
constexpr char kRemoveCc[] = "remove-cc";     // precomplete only: a file a complete update keeps

// Path rules. A path is relative (no leading '/'), holds no "..", and a folder's path ends in '/'.
// A path cannot hold a double quote or a byte of kLineEnds, which would end it.
constexpr char kParentStep[] = "..";
constexpr char kFolderEnd = '/';
// The updater forms "<path>.kiv-backup" in one of its path buffers, so this is the longest path it
// can act on.
constexpr size_t kMaxPathLength = kPathSize - sizeof(protocol::kBackupSuffix);
static_assert(kMaxPathLength == 1012, "1012 bytes of path, the suffix and the NUL fill a buffer");

// The rule for the target of a link at `path` (a manifest path): it is relative and, read from
// the link's folder step by step ("." stays, ".." climbs one folder, any other name descends),
// never climbs above the top of the installation. Lexical only; the file system is not asked.
inline bool LinkTargetStaysInside(const char *path, const char *target) {
  if (!target[0] || target[0] == kFolderEnd) return false;
  long depth = 0;  // folders between the top of the installation and the link's folder
  for (const char *c = path; *c; ++c) {
    if (*c == kFolderEnd) ++depth;
  }
  for (const char *step = target; *step;) {
    const char *end = strchr(step, kFolderEnd);
    const size_t length = end ? static_cast<size_t>(end - step) : strlen(step);
    if (length == 2 && strncmp(step, kParentStep, 2) == 0) {
      if (--depth < 0) return false;
    } else if (length != 0 && !(length == 1 && step[0] == '.')) {
      ++depth;
    }
    step += length;
    if (*step) ++step;
  }
  return true;
}

}  // namespace manifest
