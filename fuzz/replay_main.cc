// SPDX-License-Identifier: MIT
// Replays inputs through a fuzz target without libFuzzer: every file named on the command line, and
// every file inside every folder named there, is passed once to LLVMFuzzerTestOneInput. A target
// reports a fault by aborting, so the program's exit status is the verdict.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool ReplayFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
  // Like libFuzzer, an empty input is passed with a valid pointer.
  static const uint8_t kNothing = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  int replayed = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
      ok = false;
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      ok = ReplayFile(argv[i]) && ok;
      ++replayed;
      continue;
    }
    std::vector<std::string> names;
    if (DIR *dir = opendir(argv[i])) {
      while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
      }
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
      ok = ReplayFile(std::string(argv[i]) + "/" + name) && ok;
      ++replayed;
    }
  }
  printf("replayed %d inputs\n", replayed);
  // A folder that holds nothing would make the replay pass without testing anything.
  return ok && replayed > 0 ? 0 : 1;
}
