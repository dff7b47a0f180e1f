// SPDX-License-Identifier: MIT
// updater-bench: the measured paths of the updater run on their own, for bench/run.
//   updater-bench extract ARCHIVE OUT_DIR   every member through the update's archive reader
//                                           (ExtractToFile), member N written to OUT_DIR/N
//   updater-bench copy SOURCE DESTINATION   the staged update's recursive copy
//   updater-bench pack TREE WORK_DIR ARCHIVE
//                                           a complete update of TREE: every file compressed with
//                                           bzip2 into WORK_DIR, a manifest adding them all, and
//                                           the archive written from there
// Exit status 0 on success; otherwise 1 with one message on standard error.
#include <bzlib.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/upk.h"
#include "archive/upk_reader.h"
#include "fileops/recursive_copy.h"

namespace {

struct ExtractWalk {
  UpkReader *reader;
  const char *out_dir;
  int count;
  int rv;
};

int ExtractOne(UpkArchive *, UpkItem *item, void *user) {
  auto *walk = static_cast<ExtractWalk *>(user);
  char path[1024];
  snprintf(path, sizeof(path), "%s/%d", walk->out_dir, walk->count++);
  walk->rv = walk->reader->ExtractToFile(item->name, path);
  if (walk->rv != 0)
    fprintf(stderr, "updater-bench: extracting %s failed: %d\n", item->name, walk->rv);
  return walk->rv;
}

int Extract(const char *archive, const char *out_dir) {
  UpkReader reader;
  int rv = reader.Open(archive);
  if (rv != 0) {
    fprintf(stderr, "updater-bench: cannot open %s: %d\n", archive, rv);
    return 1;
  }
  ExtractWalk walk{&reader, out_dir, 0, 0};
  upk_for_each_item(reader.archive(), ExtractOne, &walk);
  reader.Close();
  return walk.rv == 0 ? 0 : 1;
}

int Copy(const char *source, const char *destination) {
  char skip_paths[2 * 1024] = {};
  snprintf(skip_paths, 1024, "%s/%s", source, "updated");
  snprintf(skip_paths + 1024, 1024, "%s/%s", source, "updates/0");
  int rv = ensure_copy_recursive(source, destination, skip_paths);
  if (rv != 0) fprintf(stderr, "updater-bench: copy failed: %d\n", rv);
  return rv == 0 ? 0 : 1;
}

// Appends the relative paths of the regular files below `root`/`rel` to `files`, in sorted order
// so that the archive is the same on every run.
bool ListFiles(const std::string &root, const std::string &rel, std::vector<std::string> *files,
               std::vector<std::string> *dirs) {
  std::string dir = rel.empty() ? root : root + "/" + rel;
  DIR *d = opendir(dir.c_str());
  if (!d) return false;
  std::vector<std::string> names;
  while (dirent *entry = readdir(d)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      names.push_back(entry->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string child = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (lstat((root + "/" + child).c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      dirs->push_back(child);
      if (!ListFiles(root, child, files, dirs)) return false;
    } else if (S_ISREG(st.st_mode)) {
      files->push_back(child);
    }
  }
  return true;
}

bool ReadAll(const std::string &path, std::string *data) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buffer[65536];
  size_t got;
  data->clear();
  while ((got = fread(buffer, 1, sizeof(buffer), f)) > 0) data->append(buffer, got);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// Writes `data` bzip2-compressed to `path` with permission bits `mode`, with the smallest block
// size that holds the whole file (as the project's update builder does): the decompressor's memory
// follows the block size, so a small file is not given a 900 kB block.
bool WriteCompressed(const std::string &path, const std::string &data, mode_t mode) {
  std::vector<char> out(data.size() + data.size() / 100 + 600);
  unsigned out_length = static_cast<unsigned>(out.size());
  if (BZ2_bzBuffToBuffCompress(out.data(), &out_length, const_cast<char *>(data.data()),
                               static_cast<unsigned>(data.size()),
                               static_cast<int>(std::min<size_t>(9, data.size() / 100000 + 1)), 0,
                               0) != BZ_OK) {
    return false;
  }
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0755);
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(out.data(), 1, out_length, f) == out_length;
  ok = fclose(f) == 0 && ok;
  return ok && chmod(path.c_str(), mode) == 0;
}

int Pack(const char *tree, const char *work, const char *archive) {
  std::vector<std::string> files, dirs;
  if (!ListFiles(tree, "", &files, &dirs)) {
    fprintf(stderr, "updater-bench: cannot list %s\n", tree);
    return 1;
  }
  std::string manifest = "type \"complete\"\n";
  std::string precomplete;
  std::string data;
  for (const std::string &file : files) {
    struct stat st;
    if (stat((std::string(tree) + "/" + file).c_str(), &st) != 0 ||
        !ReadAll(std::string(tree) + "/" + file, &data) ||
        !WriteCompressed(std::string(work) + "/" + file, data, st.st_mode & 0777)) {
      fprintf(stderr, "updater-bench: cannot compress %s: %s\n", file.c_str(), strerror(errno));
      return 1;
    }
    manifest += "add \"" + file + "\"\n";
    precomplete += "remove \"" + file + "\"\n";
  }
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) precomplete += "rmdir \"" + *it + "/\"\n";
  // The release's own list of what it installed, for the complete update that replaces it.
  precomplete += "remove \"precomplete\"\n";
  manifest += "add \"precomplete\"\n";
  if (!WriteCompressed(std::string(work) + "/precomplete", precomplete, 0644) ||
      !WriteCompressed(std::string(work) + "/updatev3.manifest", manifest, 0644)) {
    fprintf(stderr, "updater-bench: cannot write the manifest: %s\n", strerror(errno));
    return 1;
  }
  files.push_back("precomplete");
  files.push_back("updatev3.manifest");
  std::vector<const char *> names;
  for (const std::string &file : files) names.push_back(file.c_str());
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) return 1;
  std::string absolute = archive[0] == '/' ? archive : std::string(cwd) + "/" + archive;
  if (chdir(work) != 0) return 1;
  char empty[] = "";
  UpkProductInfo info{empty, empty};
  if (upk_create_archive(absolute.c_str(), static_cast<int>(names.size()), names.data(), &info) !=
      0)
    return 1;
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "extract") == 0) return Extract(argv[2], argv[3]);
  if (argc == 4 && strcmp(argv[1], "copy") == 0) return Copy(argv[2], argv[3]);
  if (argc == 5 && strcmp(argv[1], "pack") == 0) return Pack(argv[2], argv[3], argv[4]);
  fprintf(stderr,
          "usage: updater-bench extract ARCHIVE OUT_DIR | copy SOURCE DESTINATION | "
          "pack TREE WORK_DIR ARCHIVE\n");
  return 2;
}
