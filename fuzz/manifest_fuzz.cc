// The manifest loop and every action's Parse over arbitrary manifests, without running any pass.
// The input is the manifest, then optionally a NUL byte and the contents of the "precomplete" file
// that a complete update reads. Parsing runs in a scratch folder holding a small tree for "rmrfdir"
// to walk, and must leave that folder exactly as it was.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "actions/action.h"
#include "actions/manifest.h"
#include "base/globals.h"
#include "base/result.h"
#include "fuzz_support.h"

namespace {

void Put(const char *path, const char *content) {
  FILE *f = fopen(path, "wb");
  FUZZ_CHECK(f && fputs(content, f) >= 0 && fclose(f) == 0);
}

// Names below `dir`, recursively, as "dir/name".
void List(const std::string &dir, std::set<std::string> *out) {
  DIR *d = opendir(dir.c_str());
  if (!d) return;
  while (dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string path = dir + "/" + e->d_name;
    out->insert(path);
    if (e->d_type == DT_DIR) List(path, out);
  }
  closedir(d);
}

std::set<std::string> *tree_before = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_support::InScratchDir here;
  FUZZ_CHECK(mkdir("d", 0755) == 0 && mkdir("d/s", 0755) == 0);
  Put("d/a", "a");
  Put("d/s/x", "x");
  FUZZ_CHECK(symlink("s", "d/l") == 0);
  os_update = false;
  tree_before = new std::set<std::string>;
  List(".", tree_before);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_support::InScratchDir here;
  const char *bytes = reinterpret_cast<const char *>(data);
  const char *nul = static_cast<const char *>(memchr(bytes, '\0', size));
  const size_t manifest_size = nul ? static_cast<size_t>(nul - bytes) : size;
  if (nul) {
    Put("precomplete", std::string(nul + 1, bytes + size).c_str());
  } else {
    unlink("precomplete");
  }

  // The manifest text is owned as the update owns it: malloc'd, NUL-terminated, kept by the texts.
  char *text = static_cast<char *>(malloc(manifest_size + 1));
  FUZZ_CHECK(text != nullptr);
  if (manifest_size > 0) memcpy(text, bytes, manifest_size);
  text[manifest_size] = '\0';
  {
    ManifestTexts texts;
    texts.Keep(text);
    ActionList list;
    int rv = ParseManifest(text, &list, &texts);
    FUZZ_CHECK(rv == result::kOk || rv == result::kParseError || rv == result::kWrongKind ||
               rv == result::kQuoteNoMemory);
    int linked = 0;
    for (UpdateAction *a = list.head(); a; a = a->next) {
      FUZZ_CHECK(a->progress_cost == 1);
      ++linked;
    }
    FUZZ_CHECK(linked == list.count());
    list.Destroy();
    FUZZ_CHECK(list.count() == 0 && list.head() == nullptr);
  }

  unlink("precomplete");
  std::set<std::string> tree_after;
  List(".", &tree_after);
  FUZZ_CHECK(tree_after == *tree_before);
  return 0;
}
