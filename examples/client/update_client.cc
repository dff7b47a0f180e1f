// update-client: the application's side of an update, as a publisher can copy it. It reads a
// release feed (releases.json) over HTTP, downloads the archive meant for the installed version,
// has the updater apply it to a staged copy in the background, and on the application's next
// start swaps the copy in. Each failure prints one line starting "update-client: " and gives a
// non-zero exit status; the installation is never touched by a failed step.
//
//   update-client fetch --feed URL --install DIR --current VERSION [--updater PATH] [--in-place]
//   update-client start --install DIR [--updater PATH]
//
// Files, all in the patch folder DIR/updates/0 (which the staged copy leaves out): SHA256.part
// (a download in progress, resumed by the next fetch), update.upk (the verified archive), the
// copy of the updater that is run (with its .ini and .png) and the updater's update.status and
// update.log.
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

constexpr int kFeedSchema = 1;  // the releases.json layout this client understands

// Exit statuses.
constexpr int kOk = 0;       // done, or nothing to do
constexpr int kFailed = 1;   // network, file or updater failure; try again later
constexpr int kUsage = 2;    // wrong command line
constexpr int kRefused = 3;  // the feed or the download is not what it claims to be

int Fail(int code, const std::string &message) {
  fprintf(stderr, "update-client: %s\n", message.c_str());
  return code;
}

struct Options {
  std::string command, feed, install, current, updater, patch_dir;
  bool in_place = false;  // fetch: leave the archive for an in-place update at the next start
};

std::string ReadFile(const std::string &path) {
  std::string text;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  fclose(f);
  return text;
}

bool MakeDirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      const std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

// ---- HTTP ----------------------------------------------------------------------------------

size_t AppendToString(char *data, size_t size, size_t count, void *out) {
  static_cast<std::string *>(out)->append(data, size * count);
  return size * count;
}

// GET of a small text (the feed); false with a message when it fails or is not a 200.
bool FetchText(const std::string &url, std::string *text, std::string *error) {
  CURL *curl = curl_easy_init();
  if (!curl) return *error = "curl cannot start", false;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(1) << 20);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendToString);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, text);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK) *error = "cannot read the feed " + url + ": " + curl_easy_strerror(rc);
  return rc == CURLE_OK;
}

// The archive's address: its file name resolved against the feed's address.
std::string ResolveUrl(const std::string &base, const std::string &relative) {
  std::string result;
  CURLU *url = curl_url();
  char *text = nullptr;
  if (url && curl_url_set(url, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
      curl_url_set(url, CURLUPART_URL, relative.c_str(), 0) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK) {
    result = text;
  }
  curl_free(text);
  curl_url_cleanup(url);
  return result;
}

struct Download {
  FILE *file = nullptr;
  uint64_t have = 0, expected = 0;  // bytes on disk, bytes the feed announces
  std::string name;
  bool too_long = false;
  int last_shown = -1;
};

size_t WriteToPart(char *data, size_t size, size_t count, void *opaque) {
  Download *d = static_cast<Download *>(opaque);
  const size_t n = size * count;
  if (d->have + n > d->expected) {  // more than announced: stop instead of filling the disk
    d->too_long = true;
    return 0;
  }
  if (fwrite(data, 1, n, d->file) != n) return 0;
  d->have += n;
  return n;
}

// Progress on standard error: one updating line on a terminal, every tenth otherwise.
int ShowProgress(void *opaque, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Download *d = static_cast<Download *>(opaque);
  const int percent = d->expected ? int(d->have * 100 / d->expected) : 100;
  const bool tty = isatty(2);
  if (percent != d->last_shown && (tty || percent % 10 == 0)) {
    fprintf(stderr, "%supdate-client: downloading %s: %3d%% (%llu of %llu bytes)%s",
            tty ? "\r" : "", d->name.c_str(), percent, (unsigned long long)d->have,
            (unsigned long long)d->expected, tty ? "" : "\n");
    d->last_shown = percent;
  }
  return 0;
}

// Downloads `url` into `part`, continuing a cut download with a range request. The part file is
// kept when the transfer breaks off, so that the next attempt resumes.
bool DownloadTo(const std::string &url, const std::string &part, const std::string &name,
                uint64_t expected, std::string *error) {
  struct stat st;
  Download d;
  d.name = name;
  d.expected = expected;
  d.have = stat(part.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
  if (d.have > expected) {
    unlink(part.c_str());
    d.have = 0;
  }
  if (d.have == expected) return true;
  if (d.have > 0) {
    fprintf(stderr, "update-client: resuming %s at byte %llu\n", name.c_str(),
            (unsigned long long)d.have);
  }
  d.file = fopen(part.c_str(), "ab");
  if (!d.file) return *error = "cannot write " + part + ": " + strerror(errno), false;
  CURL *curl = curl_easy_init();
  if (!curl) {
    fclose(d.file);
    return *error = "curl cannot start", false;
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  // A stalled server: give up after 60 s below 1 byte/s; the next attempt resumes.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, curl_off_t(d.have));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteToPart);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &d);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, ShowProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &d);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  const bool closed = fclose(d.file) == 0;
  if (isatty(2) && d.last_shown >= 0) fputc('\n', stderr);
  if (d.too_long) {
    unlink(part.c_str());
    return *error = name + " is longer than the feed says; download removed", false;
  }
  if (rc == CURLE_RANGE_ERROR) {  // the server cannot resume: start again next time
    unlink(part.c_str());
    return *error = "the server cannot resume " + name + "; it starts over next time", false;
  }
  if (rc != CURLE_OK || !closed) {
    return *error = "download of " + url + " broke off at byte " + std::to_string(d.have) + " (" +
                    (rc != CURLE_OK ? curl_easy_strerror(rc) : "write error") +
                    "); the next attempt resumes",
           false;
  }
  return true;
}

bool FileSha256(const std::string &path, std::string *hex) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  std::vector<unsigned char> buffer(1 << 16);
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), f)) > 0) {
    crypto_hash_sha256_update(&state, buffer.data(), n);
  }
  const bool ok = !ferror(f);
  fclose(f);
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  char text[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(text, sizeof text, digest, sizeof digest);
  *hex = text;
  return ok;
}

// ---- the updater ---------------------------------------------------------------------------

// Runs the updater with `args` and waits for it; returns its exit status (-1 if it cannot run).
int RunUpdater(const std::string &updater, const std::vector<std::string> &args) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::vector<char *> argv = {const_cast<char *>(updater.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(updater.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Copies `from` to `to` through a temporary file (`to` may be a program that is running).
bool CopyFile(const std::string &from, const std::string &to, mode_t mode) {
  const std::string data = ReadFile(from), temp = to + ".new";
  if (data.empty()) return false;
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) return false;
  const bool written = write(fd, data.data(), data.size()) == ssize_t(data.size());
  if (close(fd) != 0 || !written || rename(temp.c_str(), to.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

// The updater runs from a copy in the patch folder, with its strings file and icon: an update
// that replaces or removes the updater or those files (a complete update first removes every
// file of the old release) must not pull them away while its progress window starts.
bool UseUpdaterCopy(Options *o) {
  const std::string copy = o->patch_dir + "/updater";
  if (!CopyFile(o->updater, copy, 0755)) {
    fprintf(stderr, "update-client: cannot copy %s to %s\n", o->updater.c_str(), copy.c_str());
    return false;
  }
  for (const char *suffix : {".ini", ".png"}) {
    struct stat st;
    if (stat((o->updater + suffix).c_str(), &st) == 0) {
      CopyFile(o->updater + suffix, copy + suffix, 0644);  // optional: the window goes without
    }
  }
  o->updater = copy;
  return true;
}

// Starts the staged update in the background, detached from this process: the updater copies
// the installation to DIR/updated and applies the archive there while the application runs.
bool StartStagedUpdate(const Options &o) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setsid();
    if (fork() != 0) _exit(0);  // the updater becomes a child of init, not a zombie of ours
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0), dup2(null, 1), dup2(null, 2);
    }
    const std::string staged = o.install + "/updated";
    execl(o.updater.c_str(), o.updater.c_str(), o.patch_dir.c_str(), o.install.c_str(),
          staged.c_str(), "-1", static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- commands ------------------------------------------------------------------------------

int Fetch(Options o) {
  const std::string status = ReadFile(o.patch_dir + "/update.status");
  if (status == "applying" || status == "applied\n" || status == "pending") {
    printf("update-client: an update is already %s; run 'update-client start'\n",
           status == "applying" ? "being staged" : "waiting");
    return kOk;
  }
  std::string text, error;
  if (!FetchText(o.feed, &text, &error)) return Fail(kFailed, error);
  const nlohmann::json feed = nlohmann::json::parse(text, nullptr, false);
  if (feed.is_discarded() || !feed.is_object() || !feed.contains("schema") ||
      !feed["schema"].is_number_integer() || !feed.contains("version") ||
      !feed["version"].is_string() || !feed.contains("archives") || !feed["archives"].is_array()) {
    return Fail(kRefused, "the feed " + o.feed + " is not a release feed");
  }
  if (feed["schema"].get<int>() != kFeedSchema) {
    return Fail(kRefused, "the feed's schema " + std::to_string(feed["schema"].get<int>()) +
                              " is not the one this client reads (" + std::to_string(kFeedSchema) +
                              ")");
  }
  const std::string version = feed["version"];
  if (version == o.current) {
    printf("update-client: version %s is up to date\n", version.c_str());
    return kOk;
  }
  // The partial update for this version if there is one, else the complete update.
  const nlohmann::json *chosen = nullptr;
  for (const nlohmann::json &a : feed["archives"]) {
    if (!a.is_object() || !a.contains("kind") || !a["kind"].is_string()) continue;
    if (a["kind"] == "partial" && a.contains("applies_to") && a["applies_to"] == o.current) {
      chosen = &a;
      break;
    }
    if (a["kind"] == "complete" && !chosen) chosen = &a;
  }
  if (!chosen || !chosen->contains("file") || !(*chosen)["file"].is_string() ||
      !chosen->contains("size") || !(*chosen)["size"].is_number_unsigned() ||
      !chosen->contains("sha256") || !(*chosen)["sha256"].is_string()) {
    return Fail(kRefused, "the feed lists no usable archive for version " + o.current);
  }
  const std::string file = (*chosen)["file"], sha256 = (*chosen)["sha256"];
  const uint64_t size = (*chosen)["size"];
  if (file.empty() || file.find('/') != std::string::npos || file[0] == '.' ||
      sha256.size() != 64 || sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return Fail(kRefused, "the feed's entry for " + file + " is malformed");
  }
  printf("update-client: %s -> %s with %s (%s, %llu bytes)\n", o.current.c_str(), version.c_str(),
         file.c_str(), (*chosen)["kind"].get<std::string>().c_str(), (unsigned long long)size);

  if (!MakeDirs(o.patch_dir)) return Fail(kFailed, "cannot create " + o.patch_dir);
  // A download of another archive (an older feed) is dropped; this one's part is resumed.
  const std::string part_name = sha256 + ".part", part = o.patch_dir + "/" + part_name;
  if (DIR *dir = opendir(o.patch_dir.c_str())) {
    while (dirent *e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0 && name != part_name) {
        unlink((o.patch_dir + "/" + name).c_str());
      }
    }
    closedir(dir);
  }
  const std::string url = ResolveUrl(o.feed, file);
  if (url.empty()) return Fail(kRefused, "cannot form the address of " + file);
  if (!DownloadTo(url, part, file, size, &error)) return Fail(kFailed, error);

  std::string actual;
  if (!FileSha256(part, &actual)) return Fail(kFailed, "cannot read " + part);
  if (actual != sha256) {
    unlink(part.c_str());
    return Fail(kRefused, file + " does not have the SHA-256 the feed gives; download removed");
  }
  const std::string archive = o.patch_dir + "/update.upk";
  if (rename(part.c_str(), archive.c_str()) != 0) {
    return Fail(kFailed, "cannot place " + archive + ": " + strerror(errno));
  }
  const std::string status_path = o.patch_dir + "/update.status";
  if (o.in_place) {
    // "pending" is what the updater itself leaves when an update is still to be applied in
    // place; the next start treats both alike.
    FILE *f = fopen(status_path.c_str(), "wb");
    const bool written = f && fwrite("pending", 1, 7, f) == 7;
    if (!f || fclose(f) != 0 || !written) return Fail(kFailed, "cannot write " + status_path);
    printf("update-client: verified; the next start applies version %s in place\n",
           version.c_str());
    return kOk;
  }
  unlink(status_path.c_str());
  if (!UseUpdaterCopy(&o) || !StartStagedUpdate(o)) {
    return Fail(kFailed, "cannot start " + o.updater);
  }
  printf("update-client: verified; staging version %s in the background\n", version.c_str());
  return kOk;
}

int Start(Options o) {
  const std::string status_path = o.patch_dir + "/update.status";
  const std::string archive = o.patch_dir + "/update.upk";
  const std::string status = ReadFile(status_path);
  bool in_place = status == "pending";
  if ((in_place || status == "applied\n") && !UseUpdaterCopy(&o)) return kFailed;
  if (status == "applied\n") {
    // The staged copy takes the installation's place; the updater writes its status back into
    // DIR/updates/0 of the new installation.
    const std::string staged = o.install + "/updated";
    RunUpdater(o.updater, {o.patch_dir, o.install, staged, "0/replace"});
    const std::string after = ReadFile(status_path);
    if (after == "succeeded\n") {
      printf("update-client: the staged update is in place\n");
      return kOk;
    }
    if (after != "pending") return Fail(kFailed, "the replace request ended with " + after);
    in_place = true;  // the staged copy is gone; the archive is still here
  }
  if (in_place) {
    // Apply the archive to the installation itself, with the progress window: chosen by
    // fetch --in-place, or the fallback of a replace request that could not be carried out.
    printf("update-client: %s\n", status == "pending"
                                      ? "updating in place"
                                      : "replacing was not possible; updating in place");
    const int rc = RunUpdater(o.updater, {o.patch_dir, o.install, o.install});
    const std::string after = ReadFile(status_path);
    if (rc != 0 || after != "succeeded\n") {
      return Fail(kFailed, "the in-place update ended with " + after);
    }
    unlink(archive.c_str());
    printf("update-client: updated in place\n");
    return kOk;
  }
  if (status.compare(0, 7, "failed:") == 0) {
    // The staged update failed and the installation is unchanged: drop the archive so that the
    // next fetch starts over.
    unlink(archive.c_str());
    unlink(status_path.c_str());
    return Fail(kFailed, "the staged update failed (" + status.substr(0, status.size() - 1) +
                             "); see " + o.patch_dir + "/update.log");
  }
  return kOk;  // nothing staged, or still being staged ("applying")
}

const char kHelp[] =
    "Usage: update-client fetch --feed URL --install DIR --current VERSION [--updater PATH]\n"
    "                           [--in-place]\n"
    "       update-client start --install DIR [--updater PATH]\n"
    "fetch: download the archive for VERSION named by the feed (resuming a cut download),\n"
    "       check its size and SHA-256 and start a staged update in the background (with\n"
    "       --in-place: leave it for an in-place update, with progress window, at the next "
    "start).\n"
    "start: on the application's start, swap a staged update in (or apply it in place when\n"
    "       that is not possible). The updater defaults to DIR/updater.\n"
    "Exit status: 0 done or nothing to do, 1 failure (retry later), 2 usage, 3 refused.\n";

}  // namespace

int main(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return fputs(kHelp, stdout), kOk;
    if (arg == "--in-place") {
      o.in_place = true;
      continue;
    }
    if (arg == "--feed" || arg == "--install" || arg == "--current" || arg == "--updater") {
      if (i + 1 >= argc) return Fail(kUsage, arg + " needs a value");
      std::string &slot = arg == "--feed"      ? o.feed
                          : arg == "--install" ? o.install
                          : arg == "--current" ? o.current
                                               : o.updater;
      slot = argv[++i];
    } else if (o.command.empty() && (arg == "fetch" || arg == "start")) {
      o.command = arg;
    } else {
      return Fail(kUsage, "unexpected argument " + arg + " (see --help)");
    }
  }
  if (o.command.empty() || o.install.empty()) return Fail(kUsage, "see --help");
  if (o.command == "fetch" && (o.feed.empty() || o.current.empty())) {
    return Fail(kUsage, "fetch needs --feed and --current");
  }
  while (o.install.size() > 1 && o.install.back() == '/') o.install.pop_back();
  if (o.updater.empty()) o.updater = o.install + "/updater";
  o.patch_dir = o.install + "/updates/0";
  if (sodium_init() < 0 || curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    return Fail(kFailed, "cannot initialise libsodium or libcurl");
  }
  const int rc = o.command == "fetch" ? Fetch(o) : Start(o);
  curl_global_cleanup();
  return rc;
}
