// SPDX-License-Identifier: MIT
// The manifest parser and every action's Parse over arbitrary manifests, without running any pass
// and without touching the disk: the input is the manifest, then optionally a NUL byte and the
// contents of a "precomplete" file, which is parsed where a first `type "complete"` asks for it.
#include <cstdlib>
#include <cstring>
#include <string>

#include "actions/action.h"
#include "actions/manifest.h"
#include "base/result.h"
#include "fuzz_support.h"

namespace {

bool IsParseResult(int rv) { return rv == result::kOk || rv == result::kParseError; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *bytes = reinterpret_cast<const char *>(data);
  const char *nul = static_cast<const char *>(memchr(bytes, '\0', size));
  const size_t manifest_size = nul ? static_cast<size_t>(nul - bytes) : size;
  // Both texts are cut in place and must outlive the actions, as in an update.
  std::string text(bytes, manifest_size);
  std::string precomplete = nul ? std::string(nul + 1, bytes + size) : std::string();

  UpdateContext context;
  ActionList list(&context);
  ManifestParser parser(&text[0]);
  int rv = result::kOk;
  for (;;) {
    ManifestEntry entry;
    rv = parser.Next(&entry);
    FUZZ_CHECK(IsParseResult(rv));
    if (rv != result::kOk) {
      FUZZ_CHECK(entry.kind == ManifestEntry::Kind::kEnd && !entry.action);
      break;
    }
    if (entry.kind == ManifestEntry::Kind::kEnd) break;
    if (entry.kind == ManifestEntry::Kind::kAction) {
      FUZZ_CHECK(entry.action && entry.action->progress_cost == 1 && !entry.action->next);
      list.Append(std::move(entry.action));
    } else if (entry.kind == ManifestEntry::Kind::kRmrfdir) {
      FUZZ_CHECK(entry.directory && entry.directory[strlen(entry.directory) - 1] == '/');
    } else {  // kPrecomplete: the removals of a complete update, parsed from the text after the NUL
      rv = ParsePrecomplete(&precomplete[0], &list);
      FUZZ_CHECK(IsParseResult(rv));
      if (rv != result::kOk) break;
    }
  }
  int linked = 0;
  for (UpdateAction *a = list.head(); a; a = a->next) {
    FUZZ_CHECK(a->progress_cost == 1);
    ++linked;
  }
  FUZZ_CHECK(linked == list.count());
  list.Destroy();
  FUZZ_CHECK(list.count() == 0 && list.head() == nullptr);
  return 0;
}
