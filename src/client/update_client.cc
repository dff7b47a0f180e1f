// SPDX-License-Identifier: MIT
// The update client's library (update_client.h): feed, download, staged update and swap. State
// lives in the patch folder: the updater's files (base/update_protocol.h) and the client's own
// state file kStateName, replaced durably (docs/update-client.md).
#include "client/update_client.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>
#include <vector>

#include "archive/signature_check.h"
#include "base/durable_file.h"
#include "base/product_record.h"
#include "base/result.h"
#include "base/update_protocol.h"
#include "base/whole_file.h"
#include "client/release_feed.h"

namespace {

// The client's state in the patch folder (JSON, docs/update-client.md): the highest serial
// accepted, with its product and channel; the archive placed last and the updater run started on
// it; the archives that failed here; the back-off after failed attempts; the snapshot of the
// installation taken when the staged copy was made; the installation's rollout bucket; the
// confirmation of the version swapped in last, and the versions swapped back. Its "format" tells
// an older client to keep off.
constexpr char kStateName[] = "client-state.json";
// 1: the same file without "format" and the fields after serial; 2: without "confirm" and "bad".
constexpr int kStateFormat = 3;
// The file whose flock is the applications' shared hold on the installation (uc_hold).
constexpr char kHoldName[] = "update-client.lock";
constexpr char kPartSuffix[] = ".part";
// Every request: below kLowSpeedBytes a second for kLowSpeedSeconds ends it; and a total limit.
constexpr long kLowSpeedBytes = 1, kLowSpeedSeconds = 30;
constexpr long kFeedSeconds = 60, kArchiveSeconds = 6 * 3600;
// Back-off after the n-th failed attempt in a row: kFirstBackoff << (n - 1), at most kMaxBackoff.
constexpr uint64_t kFirstBackoff = 3600, kMaxBackoff = 86400;
// A staged run that dies is started again this many times before its archive counts as failed.
constexpr unsigned kMaxDeadRuns = 3;
// The failed archives remembered (the oldest is forgotten first).
constexpr size_t kMaxFailedArchives = 32;
// A phased rollout offers a release to the installations whose bucket, drawn once from
// [0, kBuckets), lies below the share reached (in percent) times kBuckets / 100.
constexpr uint32_t kBuckets = 10000;
// The updater's run on the archive in the patch folder, recorded before it starts and cleared
// when its outcome has been handled: what a run interrupted by a kill is started again as.
constexpr char kRunInPlace[] = "in-place", kRunStaged[] = "staged", kRunReplace[] = "replace";
// The steps of a confirmation: the new version runs unconfirmed; it was confirmed and the kept
// installation is being removed; it is being swapped back (the intent is in both installations).
constexpr char kWaiting[] = "waiting", kConfirmed[] = "confirmed",
               kSwappingBack[] = "swapping-back";
constexpr unsigned kDefaultConfirmStarts = 3, kMaxConfirmStarts = 1000;

// A version swapped in (or updated in place) after a swap that kept the old installation at
// "<install>.previous", until it is confirmed or swapped back. `step` is "" when none awaits.
struct Confirmation {
  std::string step;         // kWaiting, kConfirmed, kSwappingBack or ""
  std::string new_version;  // the version installed, from the product records ("" if unknown)
  std::string old_version;  // the version kept at "<install>.previous"
  std::string previous;     // "<dev> <ino>" of "<install>.previous" when it was kept
  unsigned starts = 0;      // the starts of the new version so far, the swapping one included
};

struct State {
  std::string product, channel;
  uint64_t serial = 0;
  std::string archive, archive_kind;  // SHA-256 and kind of the archive placed last
  std::string running;                // kRun..., or "" when no updater run is outstanding
  std::string snapshot;               // the installation's snapshot when the copy was staged
  unsigned dead_runs = 0;             // staged runs of this archive that died
  std::vector<std::string> failed;    // SHA-256 of the archives that failed here
  unsigned failures = 0;              // failed attempts in a row
  uint64_t retry_after = 0;           // no download before this time (seconds since 1970)
  bool has_bucket = false;            // the bucket is drawn at the first phased rollout met
  uint32_t bucket = 0;                // in [0, kBuckets)
  Confirmation confirm;
  std::vector<std::string> bad;  // versions swapped back here: never offered again
};

// The codes with which an update fails because the installation is not the one the partial
// update was built from: a file to patch with another CRC or size, a path of the wrong kind, a
// file to patch that is missing. The complete update of the same release follows them.
bool IsMismatch(int code) {
  return code == result::kCrcMismatch || code == result::kWrongKind || code == result::kReadError;
}

std::string ReadText(const std::string &path, uint64_t max = release_feed::kMaxFeedSize) {
  char *data = nullptr;
  size_t size = 0;
  WholeFileOptions options;
  options.max_size = max;
  if (ReadWholeFile(path.c_str(), options, &data, &size) != FileRead::kOk) return "";
  std::string text(data, size);
  free(data);
  return text;
}

// A time for messages: "2026-12-08 16:07 UTC", or with the seconds "2026-12-08 16:07:51 UTC".
std::string UtcTime(uint64_t seconds, bool with_seconds) {
  char text[32];
  const time_t t = time_t(seconds);
  struct tm parts;
  strftime(text, sizeof text, with_seconds ? "%Y-%m-%d %H:%M:%S UTC" : "%Y-%m-%d %H:%M UTC",
           gmtime_r(&t, &parts));
  return text;
}

bool MakeDirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (mkdir(path.substr(0, i).c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace

struct uc_client {
  std::string install, patch_dir, feed_url, installed, updater, product, channel;
  uc_progress_fn progress = nullptr;
  void *progress_user = nullptr;
  uc_message_fn message = nullptr;
  void *message_user = nullptr;
  bool manual = false;  // uc_set_manual: the user asked, the rollout's phase is skipped
  std::string error, state_word;
  release_feed::Feed release;  // the feed accepted by the last check
  const release_feed::ArchiveEntry *chosen = nullptr;
  State state;
  int hold = -1;                                    // the shared hold of uc_hold
  unsigned confirm_starts = kDefaultConfirmStarts;  // 0: no old installation is kept

  uc_result Fail(uc_result code, const std::string &why) {
    error = why;
    return code;
  }
  void Say(const std::string &line) {
    if (message) message(message_user, line.c_str());
  }
  std::string Path(const char *name) const { return patch_dir + "/" + name; }
  std::string Status() const { return ReadText(Path(protocol::kStatusName), 4096); }

  // Reads the state file (none, or one that is not JSON, is an empty state). False, with the
  // error set, when a newer client wrote it.
  bool LoadState() {
    state = State();
    const nlohmann::json j = nlohmann::json::parse(ReadText(Path(kStateName)), nullptr, false);
    if (!j.is_object()) return true;
    const auto text = [&](const char *key, std::string *to) {
      if (const auto it = j.find(key); it != j.end() && it->is_string())
        *to = it->get<std::string>();
    };
    const auto number = [&](const char *key, auto *to) {
      if (const auto it = j.find(key); it != j.end() && it->is_number_unsigned()) {
        *to = it->get<std::remove_pointer_t<decltype(to)>>();
      }
    };
    unsigned format = 1;
    number("format", &format);
    if (format > kStateFormat) {
      error = Path(kStateName) + " has format " + std::to_string(format) +
              "; this client reads formats 1 to " + std::to_string(kStateFormat) +
              " (a newer client wrote it)";
      return false;
    }
    text("product", &state.product);
    text("channel", &state.channel);
    number("serial", &state.serial);
    text("archive", &state.archive);
    text("archive_kind", &state.archive_kind);
    text("running", &state.running);
    text("snapshot", &state.snapshot);
    number("dead_runs", &state.dead_runs);
    number("failures", &state.failures);
    number("retry_after", &state.retry_after);
    // A bucket that is not a number below kBuckets is none: a new one is drawn when needed.
    uint64_t bucket = kBuckets;
    number("bucket", &bucket);
    state.has_bucket = bucket < kBuckets;
    state.bucket = state.has_bucket ? uint32_t(bucket) : 0;
    for (const auto &[key, list] : {std::pair{"failed", &state.failed}, {"bad", &state.bad}}) {
      if (const auto it = j.find(key); it != j.end() && it->is_array()) {
        for (const auto &item : *it) {
          if (item.is_string()) list->push_back(item.get<std::string>());
        }
      }
    }
    if (const auto it = j.find("confirm"); it != j.end() && it->is_object()) {
      Confirmation &to = state.confirm;
      for (const auto &[key, field] : {std::pair{"step", &to.step},
                                       {"new_version", &to.new_version},
                                       {"old_version", &to.old_version},
                                       {"previous", &to.previous}}) {
        if (const auto f = it->find(key); f != it->end() && f->is_string())
          *field = f->get<std::string>();
      }
      if (const auto n = it->find("starts"); n != it->end() && n->is_number_unsigned())
        to.starts = n->get<unsigned>();
      if (to.step != kWaiting && to.step != kConfirmed && to.step != kSwappingBack) to = {};
    }
    return true;
  }
  // Writes the state into `dir` (the patch folder by default). False when it cannot.
  bool SaveState(const std::string &dir = "") {
    nlohmann::ordered_json j;
    j["format"] = kStateFormat;
    j["product"] = state.product;
    j["channel"] = state.channel;
    j["serial"] = state.serial;
    j["archive"] = state.archive;
    j["archive_kind"] = state.archive_kind;
    j["running"] = state.running;
    j["snapshot"] = state.snapshot;
    j["dead_runs"] = state.dead_runs;
    j["failed"] = state.failed;
    j["failures"] = state.failures;
    j["retry_after"] = state.retry_after;
    if (state.has_bucket) j["bucket"] = state.bucket;
    if (!state.confirm.step.empty()) {
      const Confirmation &k = state.confirm;
      j["confirm"] = {{"step", k.step},
                      {"new_version", k.new_version},
                      {"old_version", k.old_version},
                      {"previous", k.previous},
                      {"starts", k.starts}};
    }
    j["bad"] = state.bad;
    const std::string text = j.dump(2) + "\n", folder = dir.empty() ? patch_dir : dir;
    return MakeDirs(folder) && replace_file_durably((folder + "/" + kStateName).c_str(),
                                                    text.data(), text.size(), 0644) == result::kOk;
  }
  bool Failed(const std::string &sha256) const {
    return std::find(state.failed.begin(), state.failed.end(), sha256) != state.failed.end();
  }
  // Whether `version` was swapped back here.
  bool Bad(const std::string &version) const {
    return std::find(state.bad.begin(), state.bad.end(), version) != state.bad.end();
  }
};

namespace {

// ---- HTTP ----------------------------------------------------------------------------------

struct Sink {
  std::string *text = nullptr;  // the feed, or
  FILE *file = nullptr;         // the archive's part file
  uint64_t have = 0, limit = 0;
  bool too_long = false;
  uc_client *client = nullptr;
  std::string name;
  time_t started = 0;
  uint64_t started_at = 0;
};

size_t Write(char *data, size_t size, size_t count, void *opaque) {
  Sink *s = static_cast<Sink *>(opaque);
  const size_t n = size * count;
  if (s->have + n > s->limit) {  // more than announced or allowed: stop while it streams
    s->too_long = true;
    return 0;
  }
  if (s->text) {
    s->text->append(data, n);
  } else if (fwrite(data, 1, n, s->file) != n) {
    return 0;
  }
  s->have += n;
  return n;
}

int Progress(void *opaque, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Sink *s = static_cast<Sink *>(opaque);
  if (s->client->progress && s->file) {
    const double seconds = std::max<double>(1, double(time(nullptr) - s->started));
    s->client->progress(s->client->progress_user, s->name.c_str(), s->have, s->limit,
                        double(s->have - s->started_at) / seconds);
  }
  return 0;
}

CURLcode Get(const std::string &url, Sink *sink, uint64_t resume_from, long total_seconds) {
  CURL *curl = curl_easy_init();
  if (!curl) return CURLE_FAILED_INIT;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, total_seconds);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(sink->limit));
  if (resume_from) curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, curl_off_t(resume_from));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Write);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, sink);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return rc;
}

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

// ---- the updater ---------------------------------------------------------------------------

// Runs `program` with `args` and waits for it; `env` entries ("NAME=value") are added to the
// environment. Returns its exit status, or -1.
int Run(const std::string &program, const std::vector<std::string> &args, bool quiet,
        const std::vector<std::string> &env = {}) {
  std::vector<char *> envp;
  for (char **e = environ; *e; ++e) envp.push_back(*e);
  for (const std::string &entry : env) envp.push_back(const_cast<char *>(entry.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (quiet) {
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0) dup2(null, 1), dup2(null, 2);
    }
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CopyFile(const std::string &from, const std::string &to, mode_t mode) {
  const std::string data = ReadText(from, uint64_t(1) << 30), temp = to + ".new";
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
// that replaces or removes the updater must not pull it away while it runs. The copy is checked
// with "updater --version" (which prints the version and exits 0) before anything relies on it.
uc_result UseUpdaterCopy(uc_client *c) {
  const std::string copy = c->Path("updater");
  if (c->updater != copy) {
    if (!MakeDirs(c->patch_dir) || !CopyFile(c->updater, copy, 0755)) {
      return c->Fail(UC_FAILED, "cannot copy the updater " + c->updater + " to " + copy);
    }
    for (const char *suffix : {".ini", ".png"}) {
      struct stat st;
      if (stat((c->updater + suffix).c_str(), &st) == 0) {
        (void)CopyFile(c->updater + suffix, copy + suffix, 0644);  // optional
      }
    }
    c->updater = copy;
  }
  const int rc = Run(copy, {"--version"}, true);
  if (rc == 0) return UC_OK;
  // The loader exits 127 when a library is missing, and so does our child when exec fails.
  const std::string why = rc == 127 ? "it cannot be started: a library is missing, or it is not "
                                      "a program for this machine"
                          : rc < 0  ? "it was killed by a signal"
                                    : "it exited " + std::to_string(rc);
  return c->Fail(UC_FAILED, "the updater " + copy + " does not run (\"--version\": " + why +
                                "); nothing is downloaded until it does");
}

// The installation's snapshot: a SHA-256 over the type, size, mode, inode, modification and change
// times of every entry below it, the staged copy and the patch folder left out as the staged
// update leaves them out. Any file written, added, removed or renamed since changes it. "" when
// the installation cannot be walked.
std::string *snapshot_lines;  // nftw's callback has no user pointer; one walk at a time
size_t snapshot_root;
int SnapshotEntry(const char *path, const struct stat *st, int, struct FTW *) {
  const std::string rel = path + std::min(strlen(path), snapshot_root);
  if (rel.empty()) return 0;
  if (rel == std::string("/") + protocol::kStagedDirName ||
      rel == std::string("/") + protocol::kPatchDirName)
    return FTW_SKIP_SUBTREE;
  char line[160];
  snprintf(line, sizeof line, " %o %lld %llu %lld.%09ld %lld.%09ld\n", unsigned(st->st_mode),
           (long long)st->st_size, (unsigned long long)st->st_ino, (long long)st->st_mtim.tv_sec,
           st->st_mtim.tv_nsec, (long long)st->st_ctim.tv_sec, st->st_ctim.tv_nsec);
  snapshot_lines->append(rel + '\0' + line);
  return 0;
}
std::string Snapshot(const std::string &install) {
  std::string lines;
  snapshot_lines = &lines;
  snapshot_root = install.size();
  if (nftw(install.c_str(), SnapshotEntry, 32, FTW_PHYS | FTW_ACTIONRETVAL) != 0) return "";
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(lines.data()), lines.size());
  char text[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(text, sizeof text, digest, sizeof digest);
  return text;
}

// Removes the unfinished downloads ("*.part") in the folder `dir`, all but the one named `keep`.
void RemoveDownloads(const std::string &dir, const std::string &keep) {
  const size_t suffix = strlen(kPartSuffix);
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > suffix && name.compare(name.size() - suffix, suffix, kPartSuffix) == 0 &&
          name != keep) {
        unlink((dir + "/" + name).c_str());
      }
    }
    closedir(d);
  }
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}
bool RemoveTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return nftw(path.c_str(), RemoveEntry, 32, FTW_DEPTH | FTW_PHYS) == 0;
}

// Whether an updater holds the patch folder's run lock now (it takes it before it writes
// "applying" and keeps it until it ends).
bool UpdaterAtWork(const uc_client *c) {
  const int fd = open(c->patch_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool StartStaged(const uc_client *c) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setsid();
    if (fork() != 0) _exit(0);  // the updater becomes a child of init, not a zombie of ours
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) dup2(null, 0), dup2(null, 1), dup2(null, 2);
    const std::string staged = c->install + "/" + protocol::kStagedDirName;
    execl(c->updater.c_str(), c->updater.c_str(), c->patch_dir.c_str(), c->install.c_str(),
          staged.c_str(), "-1", static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

uc_result Download(uc_client *c, const release_feed::ArchiveEntry &a, std::string *archive) {
  if (!MakeDirs(c->patch_dir)) return c->Fail(UC_FAILED, "cannot create " + c->patch_dir);
  // An archive verified before (its update could not start) is not downloaded again.
  *archive = c->Path(protocol::kArchiveName);
  std::string placed, placed_error;
  uint64_t placed_size = 0;
  if (Exists(*archive) &&
      release_feed::FileSha256(*archive, &placed, &placed_size, &placed_error) &&
      placed == a.sha256) {
    return UC_OK;
  }
  // A download of another archive (an older feed) is dropped; this one's part is resumed.
  const std::string part_name = a.sha256 + kPartSuffix, part = c->Path(part_name.c_str());
  RemoveDownloads(c->patch_dir, part_name);
  const std::string url = ResolveUrl(c->feed_url, a.file);
  if (url.empty()) return c->Fail(UC_REFUSED, "cannot form the address of " + a.file);
  struct stat st;
  Sink s;
  s.client = c;
  s.name = a.file;
  s.limit = a.size;
  s.have = stat(part.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
  if (s.have > a.size) unlink(part.c_str()), s.have = 0;
  if (s.have < a.size) {
    if (s.have > 0) c->Say("resuming " + a.file + " at byte " + std::to_string(s.have));
    s.file = fopen(part.c_str(), "ab");
    if (!s.file) return c->Fail(UC_FAILED, "cannot write " + part + ": " + strerror(errno));
    s.started = time(nullptr);
    s.started_at = s.have;
    const CURLcode rc = Get(url, &s, s.have, kArchiveSeconds);
    const bool closed = fclose(s.file) == 0;
    if (s.too_long || rc == CURLE_FILESIZE_EXCEEDED) {
      unlink(part.c_str());
      return c->Fail(UC_REFUSED, a.file + " is longer than the feed says; download removed");
    }
    if (rc == CURLE_RANGE_ERROR) {
      unlink(part.c_str());
      return c->Fail(UC_FAILED,
                     "the server cannot resume " + a.file + "; it starts over next time");
    }
    if (rc != CURLE_OK || !closed) {
      return c->Fail(UC_FAILED, "download of " + url + " broke off at byte " +
                                    std::to_string(s.have) + " (" +
                                    (rc != CURLE_OK ? curl_easy_strerror(rc) : "write error") +
                                    "); the next attempt resumes");
    }
    if (c->progress) c->progress(c->progress_user, a.file.c_str(), s.have, a.size, 0);
  }
  std::string actual, unused_error;
  uint64_t hashed = 0;
  if (!release_feed::FileSha256(part, &actual, &hashed, &unused_error)) {
    return c->Fail(UC_FAILED, "cannot read " + part);
  }
  if (actual != a.sha256) {
    unlink(part.c_str());
    return c->Fail(UC_REFUSED,
                   a.file + " does not have the SHA-256 the feed gives; download removed");
  }
  if (rename(part.c_str(), archive->c_str()) != 0) {
    return c->Fail(UC_FAILED, "cannot place " + *archive + ": " + strerror(errno));
  }
  return UC_OK;
}

// Records the archive placed last and starts the staged update of it in the background, with the
// installation's snapshot taken before the copy is made.
uc_result Stage(uc_client *c) {
  c->state.snapshot = Snapshot(c->install);
  c->state.running = kRunStaged;
  if (!c->SaveState()) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
  if (!StartStaged(c)) return c->Fail(UC_FAILED, "cannot start " + c->updater);
  return UC_OK;
}

// A successful update: the failures in a row and the run's records are over.
uc_result Succeeded(uc_client *c, const std::string &line) {
  State &s = c->state;
  s.failures = 0, s.retry_after = 0, s.dead_runs = 0;
  s.running.clear(), s.snapshot.clear(), s.archive.clear(), s.archive_kind.clear();
  if (!c->SaveState()) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
  c->Say(line);
  return UC_OK;
}

// An update of the archive placed last that ended with "failed: code" (or whose staged runs kept
// dying): the archive is dropped and remembered as failed. When a partial update did not match
// the installation the next fetch takes the complete update at once; otherwise the next attempt
// backs off.
uc_result Failure(uc_client *c, int code, const std::string &what) {
  unlink(c->Path(protocol::kArchiveName).c_str());
  unlink(c->Path(protocol::kStatusName).c_str());
  State &s = c->state;
  if (!s.archive.empty() && !c->Failed(s.archive)) s.failed.push_back(s.archive);
  if (s.failed.size() > kMaxFailedArchives) s.failed.erase(s.failed.begin());
  std::string line = what + " failed (" + protocol::FailedStatus(code);
  line.pop_back();
  line += "); see " + c->Path(protocol::kLogName);
  if (IsMismatch(code) && s.archive_kind == "partial") {
    line +=
        "; the installation does not match the partial update: the complete update of the "
        "same release is taken instead";
  } else {
    s.failures++;
    s.retry_after = uint64_t(time(nullptr)) +
                    std::min(kFirstBackoff << std::min(s.failures - 1, 5u), kMaxBackoff);
    line += "; attempt " + std::to_string(s.failures) + " in a row, the next one in " +
            std::to_string((s.retry_after - uint64_t(time(nullptr)) + 1800) / 3600) + " h";
  }
  s.running.clear(), s.snapshot.clear(), s.archive.clear(), s.archive_kind.clear();
  s.dead_runs = 0;
  if (!c->SaveState()) line += " (and " + c->Path(kStateName) + " cannot be written)";
  return c->Fail(UC_FAILED, line);
}

void RenewConfirmation(uc_client *c, bool kept);

uc_result InPlace(uc_client *c) {
  c->state.running = kRunInPlace;
  if (!c->SaveState()) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
  const int rc = Run(c->updater, {c->patch_dir, c->install, c->install}, false);
  const std::string after = c->Status();
  if (rc == 0 && after == protocol::kStatusSucceeded) {
    unlink(c->Path(protocol::kArchiveName).c_str());
    RenewConfirmation(c, false);
    return Succeeded(c, "updated in place");
  }
  int code = 0;
  if (protocol::ParseFailedStatus(after, &code)) return Failure(c, code, "the in-place update");
  return c->Fail(UC_FAILED, "the in-place update ended with " + after);
}

// The exclusive hold for a swap of the installation: the descriptor, or -1 when another instance
// of the application holds the installation (uc_hold).
int LockSwap(uc_client *c) {
  const int fd =
      c->hold >= 0 ? c->hold : open(c->Path(kHoldName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  if (fd == c->hold) {
    (void)flock(fd, LOCK_SH);
  } else if (fd >= 0) {
    close(fd);
  }
  return -1;
}
// Ends LockSwap's hold (none when `fd` is -1). After a swap the file the handle holds lies in the
// other installation: it holds the one in place again.
void UnlockSwap(uc_client *c, int fd) {
  if (fd < 0) return;
  if (fd != c->hold) {
    close(fd);
    return;
  }
  close(c->hold);
  c->hold = -1;
  (void)uc_hold(c);
}

// ---- confirmation --------------------------------------------------------------------------

std::string PreviousDir(const uc_client *c) { return c->install + protocol::kPreviousSuffix; }

// "<dev> <ino>" of `path` (not followed), "" when nothing is there.
std::string Identity(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "";
  return std::to_string(uintmax_t(st.st_dev)) + " " + std::to_string(uintmax_t(st.st_ino));
}

// The version in the product record of the installation `dir`, "" when it has none.
std::string VersionOf(const std::string &dir) {
  ProductRecord record;
  std::string why;
  const std::string text = ReadText(dir + "/" + protocol::kProductRecordName, 4096);
  return ParseProductRecord(text, &record, &why) ? record.version : "";
}

// Drops what an update left in the patch folder `dir` of a kept installation (its status, archive,
// journal and downloads), so that the installation, once back in place, starts clean.
void ClearPatchFolder(const std::string &dir) {
  for (const char *name : {protocol::kStatusName, protocol::kStatusTempName, protocol::kArchiveName,
                           protocol::kJournalName}) {
    unlink((dir + "/" + name).c_str());
  }
  RemoveDownloads(dir, "");
}

// Whether a swap is to keep the old installation: confirmation is on and no version awaits it (a
// swap during a confirmation keeps the installation kept first, the last one known to work).
bool KeepWanted(const uc_client *c) {
  return c->confirm_starts > 0 && c->state.confirm.step.empty();
}

// After an update: a swap that kept the old installation starts a confirmation; an update while a
// version awaits confirmation renews it for the version now installed.
void RenewConfirmation(uc_client *c, bool kept) {
  Confirmation &k = c->state.confirm;
  if (kept) {
    const std::string previous = PreviousDir(c);
    k = Confirmation();
    k.step = kWaiting;
    k.old_version = VersionOf(previous);
    k.previous = Identity(previous);
    ClearPatchFolder(previous + "/" + protocol::kPatchDirName);
  }
  if (k.step != kWaiting) return;
  k.new_version = VersionOf(c->install);
  k.starts = 1;  // the start that put it in place is its first
}

std::string Named(const std::string &version, const char *unknown) {
  return version.empty() ? unknown : "version " + version;
}

// A swap that succeeded: the run's records are over, and with the old installation kept the new
// version awaits confirmation.
uc_result Swapped(uc_client *c) {
  const bool kept = KeepWanted(c) && !Identity(PreviousDir(c)).empty();
  RenewConfirmation(c, kept);
  const uc_result rc = Succeeded(c, "the staged update is in place");
  const Confirmation &k = c->state.confirm;
  if (rc == UC_OK && kept) {
    c->Say(Named(k.new_version, "the new version") + " awaits confirmation ('update-client " +
           "confirm'); until then " + Named(k.old_version, "the previous version") +
           " is kept at " + PreviousDir(c) + ", and after " + std::to_string(c->confirm_starts) +
           " starts without it, it is swapped back");
  }
  return rc;
}

// The confirmed version: the kept installation is removed, then the record. Returns UC_OK or
// UC_FAILED (the next start tries again).
uc_result FinishConfirmation(uc_client *c) {
  const std::string previous = PreviousDir(c);
  if (Identity(previous) == c->state.confirm.previous && !RemoveTree(previous)) {
    return c->Fail(UC_FAILED, "cannot remove the previous installation " + previous +
                                  "; the next start tries again");
  }
  (void)flush_parent_folder(c->install.c_str());
  c->state.confirm = Confirmation();
  if (!c->SaveState()) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
  return UC_OK;
}

// Swaps the kept installation back in for a version that was not confirmed, in one exchange of the
// two folders. The intent (step kSwappingBack, the version marked bad) is written into both
// installations first; after a kill the next start tells by the identity of the folder in place
// whether the exchange happened, then exchanges, or removes the bad copy and ends the record.
uc_result SwapBack(uc_client *c) {
  Confirmation &k = c->state.confirm;
  const std::string previous = PreviousDir(c),
                    kept_patch = previous + "/" + protocol::kPatchDirName;
  const std::string bad = Named(k.new_version, "the new version"),
                    back = Named(k.old_version, "the previous version");
  if (Identity(c->install) != k.previous) {  // not exchanged yet
    if (k.previous.empty() || Identity(previous) != k.previous) {
      k = Confirmation();
      (void)c->SaveState();
      return c->Fail(UC_FAILED,
                     bad + " was not confirmed, but cannot be swapped back: " + previous +
                         " is missing or is not the installation kept; " + bad + " stays");
    }
    if (UpdaterAtWork(c)) {
      return c->Fail(UC_FAILED, "an update of the installation is at work; " + back +
                                    " is swapped back in at a later start");
    }
    const int fd = LockSwap(c);
    if (fd < 0) {
      return c->Fail(UC_FAILED, "another instance of the application holds the installation; " +
                                    back + " is swapped back in at a later start");
    }
    if (k.step != kSwappingBack) {
      k.step = kSwappingBack;
      if (!k.new_version.empty() && !c->Bad(k.new_version)) c->state.bad.push_back(k.new_version);
    }
    // The installation that comes back has no update of its own under way: an update of the
    // version that goes would be lost with it.
    State &s = c->state;
    s.running.clear(), s.snapshot.clear(), s.archive.clear(), s.archive_kind.clear();
    s.dead_runs = 0;
    c->Say(bad + " was started " + std::to_string(k.starts) +
           " times without being confirmed: swapping " + back + " back in");
    ClearPatchFolder(kept_patch);
    bool saved = c->SaveState() && c->SaveState(kept_patch);
    const int exchanged =
        saved ? renameat2(AT_FDCWD, c->install.c_str(), AT_FDCWD, previous.c_str(), RENAME_EXCHANGE)
              : -1;
    const int error = errno;
    UnlockSwap(c, fd);
    if (!saved) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
    if (exchanged != 0 && (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP)) {
      c->state.bad.erase(std::remove(c->state.bad.begin(), c->state.bad.end(), k.new_version),
                         c->state.bad.end());
      k = Confirmation();
      (void)c->SaveState();
      return c->Fail(UC_FAILED, "the file system cannot exchange " + c->install + " and " +
                                    previous + " in one step: " + back +
                                    " is not swapped back and " + bad + " stays (" + previous +
                                    " is left as it is)");
    }
    if (exchanged != 0) {
      return c->Fail(UC_FAILED, "cannot swap " + back + " back in: " + strerror(error) +
                                    "; the next start tries again");
    }
    (void)flush_parent_folder(c->install.c_str());
  }
  // The kept installation is in place, with the record written into it before: the bad copy
  // goes, then the record.
  if (!RemoveTree(previous)) {
    return c->Fail(UC_FAILED, "cannot remove the swapped-back copy " + previous +
                                  "; the next start tries again");
  }
  (void)flush_parent_folder(c->install.c_str());
  k = Confirmation();
  if (!c->SaveState()) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
  c->Say(back + " is in place again; " + bad +
         " is marked bad: it is not offered again (a newer release is)");
  return UC_OK;
}

// At a start while a version awaits confirmation: finishes a confirmation or a swap back that a
// kill interrupted, swaps back after the set number of starts, or counts this start. Sets
// `*swapped` when the start is over (the old version was swapped back, or could not be).
uc_result ConfirmationAtStart(uc_client *c, bool *swapped) {
  Confirmation &k = c->state.confirm;
  if (k.step == kConfirmed) return FinishConfirmation(c);
  if (k.step == kSwappingBack || (c->confirm_starts > 0 && k.starts >= c->confirm_starts)) {
    *swapped = true;
    return SwapBack(c);
  }
  k.starts++;
  if (!c->SaveState()) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
  std::string line = Named(k.new_version, "the new version") + " is not confirmed yet: start " +
                     std::to_string(k.starts);
  if (c->confirm_starts > 0) {
    line += " of " + std::to_string(c->confirm_starts) + "; then " +
            Named(k.old_version, "the previous version") + " is swapped back";
  }
  c->Say(line);
  return UC_OK;
}

// The swap: the staged copy takes the installation's place, unless another instance of the
// application holds the installation (uc_hold). The recovery of an interrupted swap does not wait
// for the hold: the installation may be set aside. While confirmation is on (and no version awaits
// it) the updater keeps the old installation at "<install>.previous".
uc_result Replace(uc_client *c, bool recovering = false) {
  const int fd = recovering ? c->hold : LockSwap(c);
  if (!recovering && fd < 0) {
    return c->Fail(UC_FAILED,
                   "another instance of the application holds the installation; the staged "
                   "update is swapped in at a later start");
  }
  // The client's state goes with the copy that becomes the installation; the updater writes its
  // status into the patch folder there.
  c->state.running = kRunReplace;
  const std::string staged = c->install + "/" + protocol::kStagedDirName;
  bool saved = c->SaveState();
  if (saved && Exists(staged)) saved = c->SaveState(staged + "/" + protocol::kPatchDirName);
  std::vector<std::string> env;
  if (KeepWanted(c)) env.push_back(std::string(protocol::kKeepPreviousEnv) + "=1");
  if (saved) (void)Run(c->updater, {c->patch_dir, c->install, staged, "0/replace"}, false, env);
  UnlockSwap(c, fd);
  if (!saved) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
  const std::string after = c->Status();
  if (after == protocol::kStatusSucceeded) return Swapped(c);
  if (after == protocol::kStatusPending) {
    c->Say("replacing was not possible; updating in place");
    return InPlace(c);  // the staged copy is gone; the archive is still here
  }
  c->state.running.clear();
  (void)c->SaveState();
  return c->Fail(UC_FAILED, "the replace request ended with " + after);
}

// Whether an updater run was interrupted (killed, or the machine stopped): the status still says
// "applying", a journal or a set-aside installation is left, or a run was started and wrote
// nothing; and no updater is at work.
bool NeedsRecovery(const uc_client *c, const std::string &status) {
  const bool left = status == protocol::kStatusApplying ||
                    Exists(c->Path(protocol::kJournalName)) ||
                    Exists(c->install + protocol::kSetAsideSuffix) ||
                    (!c->state.running.empty() && status.empty());
  return left && !UpdaterAtWork(c);
}

// The interrupted run: the one recorded, a replace request when the installation is set aside,
// else a staged update when its copy is there.
std::string InterruptedRun(const uc_client *c) {
  if (Exists(c->install + protocol::kSetAsideSuffix)) return kRunReplace;
  if (!c->state.running.empty()) return c->state.running;
  return Exists(c->install + "/" + protocol::kStagedDirName) ? kRunStaged : kRunInPlace;
}

// Runs the updater once more as the interrupted run: it first puts the installation back (or
// finishes the swap), then updates. A staged run is started again in the background, up to
// kMaxDeadRuns times.
uc_result Recover(uc_client *c) {
  const std::string run = InterruptedRun(c);
  if (const uc_result rc = UseUpdaterCopy(c); rc != UC_OK) return rc;
  c->Say("recovery: the interrupted " + run + " update runs once more");
  if (run == kRunStaged) {
    if (++c->state.dead_runs > kMaxDeadRuns) {
      return Failure(
          c, result::kSystemFailure,
          "the staged update (its run died " + std::to_string(kMaxDeadRuns + 1) + " times)");
    }
    const unsigned dead = c->state.dead_runs;
    if (const uc_result rc = Stage(c); rc != UC_OK) return rc;
    c->Say("recovery: staging again in the background (attempt " + std::to_string(dead + 1) + ")");
    return UC_OK;
  }
  return run == kRunReplace ? Replace(c, true) : InPlace(c);
}

// The phased rollout: at `now` the release is offered to percent × min(1, (now − published) /
// span) percent of the installations (all of percent at once when span is 0), those whose
// bucket lies below that share times kBuckets / 100. A critical release and a manual check are
// offered at once. The bucket is drawn (and written) the first time it is needed. False when
// this installation's turn has not come (it is said when it comes), or, with `*error` set, when
// the drawn bucket cannot be written.
bool OfferedNow(uc_client *c, const release_feed::Feed &f, std::string *error) {
  error->clear();
  const release_feed::Rollout &r = f.rollout;
  const uint64_t now = uint64_t(time(nullptr));
  const double elapsed = now > f.published ? double(now - f.published) : 0;
  const double share =
      r.span_seconds == 0 ? r.percent : r.percent * std::min(1.0, elapsed / double(r.span_seconds));
  if (share >= 100 || f.critical || c->manual) return true;
  if (!c->state.has_bucket) {
    c->state.bucket = randombytes_uniform(kBuckets);
    c->state.has_bucket = true;
    if (!c->SaveState()) return *error = "cannot write " + c->Path(kStateName), false;
  }
  const uint32_t bucket = c->state.bucket;
  if (bucket < share * (kBuckets / 100)) return true;
  std::string line = "version " + f.version +
                     " is being rolled out: " + std::to_string(unsigned(share)) +
                     " % of installations now; this one ";
  if (bucket < r.percent * (kBuckets / 100)) {  // its turn comes within the span
    const double after = double(bucket) * double(r.span_seconds) / (r.percent * (kBuckets / 100));
    line += "from about " + UtcTime(f.published + uint64_t(after) + 1, false);
  } else {
    line += "is not among them";
  }
  c->Say(line);
  return false;
}

}  // namespace

extern "C" {

uc_client *uc_open(const char *install_dir) {
  if (!install_dir || !*install_dir || sodium_init() < 0 ||
      curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    return nullptr;
  }
  uc_client *c = new uc_client;
  c->install = install_dir;
  while (c->install.size() > 1 && c->install.back() == '/') c->install.pop_back();
  c->patch_dir = c->install + "/" + protocol::kPatchDirName;
  c->updater = c->install + "/updater";
  return c;
}

void uc_close(uc_client *client) {
  if (!client) return;
  if (client->hold >= 0) close(client->hold);
  delete client;
  curl_global_cleanup();
}

uc_result uc_set_feed(uc_client *c, const char *url) { return c->feed_url = url, UC_OK; }
uc_result uc_set_installed_version(uc_client *c, const char *version) {
  return c->installed = version, UC_OK;
}
uc_result uc_set_updater(uc_client *c, const char *path) { return c->updater = path, UC_OK; }
uc_result uc_set_product(uc_client *c, const char *product) { return c->product = product, UC_OK; }
uc_result uc_set_channel(uc_client *c, const char *channel) {
  if (!release_feed::ValidVersion(channel)) return c->Fail(UC_USAGE, "not a channel name");
  return c->channel = channel, UC_OK;
}
void uc_set_progress(uc_client *c, uc_progress_fn fn, void *user) {
  c->progress = fn, c->progress_user = user;
}
void uc_set_messages(uc_client *c, uc_message_fn fn, void *user) {
  c->message = fn, c->message_user = user;
}
void uc_set_manual(uc_client *c, int manual) { c->manual = manual != 0; }
const char *uc_release_version(const uc_client *c) { return c->release.version.c_str(); }
const char *uc_release_notes(const uc_client *c) {
  return c->release.notes.empty() ? c->release.notes_url.c_str() : c->release.notes.c_str();
}
const char *uc_error(const uc_client *c) { return c->error.c_str(); }

uc_result uc_check(uc_client *c, int *available) {
  *available = 0;
  c->error.clear();
  c->chosen = nullptr;
  if (c->feed_url.empty() || c->installed.empty()) {
    return c->Fail(UC_USAGE, "checking needs the feed's address and the installed version");
  }
  std::string text;
  Sink s;
  s.client = c;
  s.text = &text;
  s.limit = release_feed::kMaxFeedSize;
  const CURLcode rc = Get(c->feed_url, &s, 0, kFeedSeconds);
  if (s.too_long || rc == CURLE_FILESIZE_EXCEEDED) {
    return c->Fail(UC_REFUSED, "the feed " + c->feed_url + " is larger than 1 MiB");
  }
  if (rc != CURLE_OK) {
    return c->Fail(UC_FAILED,
                   "cannot read the feed " + c->feed_url + ": " + curl_easy_strerror(rc));
  }
  // The signature first: nothing of the body is read before it holds.
  int schema = 0;
  std::string body, why;
  std::vector<release_feed::FeedSignature> signatures;
  if (!release_feed::SplitEnvelope(text, &schema, &body, &signatures, &why)) {
    return c->Fail(UC_REFUSED, "the feed " + c->feed_url + " is refused: " + why);
  }
  std::vector<upk_signature::PublicKey> keys;
  if (LoadTrustedKeys(c->install.c_str(), /*signatures_required=*/false, &keys) != result::kOk) {
    return c->Fail(UC_FAILED, "the installation's keys (" + c->install + "/" +
                                  protocol::kKeysDirName + ") cannot be read");
  }
  if (!keys.empty()) {
    if (schema != release_feed::kSchema) {
      return c->Fail(UC_REFUSED,
                     "the feed is unsigned (schema 1) and this installation trusts keys");
    }
    if (release_feed::Verify(body, signatures, keys, &why) != release_feed::Trust::kTrusted) {
      return c->Fail(UC_REFUSED, "the feed is refused: " + why);
    }
    c->Say("Signature: feed " + why);
  }
  release_feed::Feed &f = c->release;
  if (!release_feed::ParseBody(body, schema, &f, &why)) {
    return c->Fail(UC_REFUSED, "the feed is refused: " + why);
  }
  if (!c->LoadState()) return UC_FAILED;
  const std::string product = !c->product.empty() ? c->product : c->state.product;
  const std::string channel = !c->channel.empty()         ? c->channel
                              : !c->state.channel.empty() ? c->state.channel
                                                          : release_feed::kDefaultChannel;
  if (!product.empty() && f.product != product) {
    return c->Fail(UC_REFUSED,
                   "the feed is for product \"" + f.product + "\", not \"" + product + "\"");
  }
  if (schema == release_feed::kSchema) {
    if (f.channel != channel) {
      return c->Fail(UC_REFUSED,
                     "the feed is for channel \"" + f.channel + "\", not \"" + channel + "\"");
    }
    if (uint64_t(time(nullptr)) >= f.expires) {
      return c->Fail(UC_REFUSED,
                     "the feed expired (its publisher must re-sign it); a frozen mirror?");
    }
    if (f.serial < c->state.serial) {
      return c->Fail(UC_REFUSED, "the feed's serial " + std::to_string(f.serial) +
                                     " is lower than the one accepted before (" +
                                     std::to_string(c->state.serial) + "): an older feed replayed");
    }
    if (release_feed::CompareVersions(f.version, c->installed) < 0) {  // before it is recorded
      return c->Fail(UC_REFUSED, "the feed offers version " + f.version +
                                     ", older than the installed " + c->installed);
    }
    if (f.serial != c->state.serial || c->state.product != f.product ||
        c->state.channel != f.channel) {
      c->state.product = f.product, c->state.channel = f.channel, c->state.serial = f.serial;
      if (!c->SaveState()) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
    }
  }
  if (f.version == c->installed) {
    c->Say("version " + f.version + " is up to date");
    return UC_OK;
  }
  if (release_feed::CompareVersions(f.version, c->installed) < 0) {
    return c->Fail(UC_REFUSED, "the feed offers version " + f.version +
                                   ", older than the installed " + c->installed);
  }
  if (!OfferedNow(c, f, &why)) {
    if (!why.empty()) return c->Fail(UC_FAILED, why);
    return UC_OK;
  }
  // The partial update for this version if there is one (and the version is not below the
  // minimum), else the complete update; an archive that failed here before is not tried again.
  const bool below_minimum = !f.minimum_version.empty() &&
                             release_feed::CompareVersions(c->installed, f.minimum_version) < 0;
  for (const release_feed::ArchiveEntry &a : f.archives) {
    if (c->Failed(a.sha256) || c->Bad(f.version)) continue;
    if (a.kind == "complete" && !c->chosen) c->chosen = &a;
    if (!below_minimum && a.kind == "partial" && a.applies_to == c->installed) {
      c->chosen = &a;
      break;
    }
  }
  if (!c->chosen) {
    c->Say("version " + f.version + ": each of its archives failed here before; they are not " +
           "tried again (a newer release will be)");
    return UC_OK;
  }
  *available = 1;
  return UC_OK;
}

uc_result uc_fetch(uc_client *c, int in_place) {
  c->error.clear();
  if (!c->LoadState()) return UC_FAILED;
  const std::string status = c->Status();
  if (NeedsRecovery(c, status)) {
    if (InterruptedRun(c) == kRunStaged) return Recover(c);
    c->Say("an interrupted update waits; run 'update-client start'");
    return UC_OK;
  }
  if (status == protocol::kStatusApplying || status == protocol::kStatusApplied ||
      status == protocol::kStatusPending) {
    c->Say(std::string("an update is already ") +
           (status == protocol::kStatusApplying ? "being staged" : "waiting") +
           "; run 'update-client start'");
    return UC_OK;
  }
  // A staged update that failed since: remembered first, so that its archive is not chosen again.
  int code = 0;
  if (protocol::ParseFailedStatus(status, &code)) {
    (void)Failure(c, code, "the staged update");
    c->Say(c->error);
    c->error.clear();
  }
  if (uint64_t(time(nullptr)) < c->state.retry_after) {
    c->Say("backing off after " + std::to_string(c->state.failures) +
           " failed attempts: the next one is after " + UtcTime(c->state.retry_after, true));
    return UC_OK;
  }
  int available = 0;
  if (const uc_result rc = uc_check(c, &available); rc != UC_OK || !available) return rc;
  const release_feed::ArchiveEntry a = *c->chosen;
  // The updater must run before the archive is worth downloading.
  if (const uc_result rc = UseUpdaterCopy(c); rc != UC_OK) return rc;
  c->Say(c->installed + " -> " + c->release.version + " with " + a.file + " (" + a.kind + ", " +
         std::to_string(a.size) + " bytes)");
  std::string archive;
  if (const uc_result rc = Download(c, a, &archive); rc != UC_OK) return rc;
  c->state.archive = a.sha256, c->state.archive_kind = a.kind, c->state.dead_runs = 0;
  const std::string status_path = c->Path(protocol::kStatusName);
  if (in_place) {
    // "pending" is what the updater itself leaves when an update is still to be applied in
    // place; the next start treats both alike.
    const size_t n = strlen(protocol::kStatusPending);
    if (!c->SaveState() || replace_file_durably(status_path.c_str(), protocol::kStatusPending, n,
                                                0644) != result::kOk) {
      return c->Fail(UC_FAILED, "cannot write " + status_path);
    }
    c->Say("verified; the next start applies version " + c->release.version + " in place");
    return UC_OK;
  }
  unlink(status_path.c_str());
  if (const uc_result rc = Stage(c); rc != UC_OK) return rc;
  c->Say("verified; staging version " + c->release.version + " in the background");
  return UC_OK;
}

uc_result uc_start(uc_client *c) {
  c->error.clear();
  if (!c->LoadState()) return UC_FAILED;
  if (!c->state.confirm.step.empty()) {
    bool swapped = false;
    if (const uc_result rc = ConfirmationAtStart(c, &swapped); rc != UC_OK || swapped) return rc;
  }
  const std::string status = c->Status();
  if (NeedsRecovery(c, status)) return Recover(c);
  // A swap that ended while its start was killed: its outcome is handled now.
  if (c->state.running == kRunReplace && status == protocol::kStatusSucceeded) return Swapped(c);
  if (status == protocol::kStatusApplied) {
    if (const uc_result rc = UseUpdaterCopy(c); rc != UC_OK) return rc;
    if (c->state.snapshot.empty() || Snapshot(c->install) != c->state.snapshot) {
      // The copy lacks what was written into the installation since it was made: applying the
      // archive to the installation itself loses nothing.
      c->Say("the installation changed after the staged copy was made; updating in place");
      if (!RemoveTree(c->install + "/" + protocol::kStagedDirName)) {
        return c->Fail(UC_FAILED, "cannot remove the staged copy " + c->install + "/" +
                                      protocol::kStagedDirName);
      }
      return InPlace(c);
    }
    return Replace(c);
  }
  if (status == protocol::kStatusPending) {
    if (const uc_result rc = UseUpdaterCopy(c); rc != UC_OK) return rc;
    c->Say("updating in place");
    return InPlace(c);
  }
  int code = 0;
  if (protocol::ParseFailedStatus(status, &code)) return Failure(c, code, "the staged update");
  return UC_OK;  // nothing staged, or still being staged
}

uc_result uc_set_confirm_starts(uc_client *c, unsigned starts) {
  if (starts > kMaxConfirmStarts) return c->Fail(UC_USAGE, "at most 1000 starts to confirm in");
  return c->confirm_starts = starts, UC_OK;
}

uc_result uc_confirm(uc_client *c) {
  c->error.clear();
  if (!c->LoadState()) return UC_FAILED;
  Confirmation &k = c->state.confirm;
  if (k.step.empty()) {
    c->Say("no version awaits confirmation");
    return UC_OK;
  }
  const std::string version = Named(k.new_version, "the new version");
  if (k.step == kSwappingBack) {
    return c->Fail(UC_FAILED, version + " is being swapped back; 'update-client start' ends that");
  }
  k.step = kConfirmed;
  if (!c->SaveState()) return c->Fail(UC_FAILED, "cannot write " + c->Path(kStateName));
  if (const uc_result rc = FinishConfirmation(c); rc != UC_OK) return rc;
  c->Say(version + " is confirmed; the previous installation " + PreviousDir(c) + " is removed");
  return UC_OK;
}

uc_result uc_hold(uc_client *c) {
  if (c->hold >= 0) return UC_OK;
  if (!MakeDirs(c->patch_dir)) return c->Fail(UC_FAILED, "cannot create " + c->patch_dir);
  const std::string path = c->Path(kHoldName);
  c->hold = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  int rc = -1;
  if (c->hold >= 0) {
    while ((rc = flock(c->hold, LOCK_SH)) != 0 && errno == EINTR) {
    }
  }
  if (rc != 0) {
    const std::string why = strerror(errno);
    if (c->hold >= 0) close(c->hold);
    c->hold = -1;
    return c->Fail(UC_FAILED, "cannot hold " + path + ": " + why);
  }
  return UC_OK;
}

const char *uc_state(uc_client *c) {
  const std::string status = c->Status();
  int code = 0;
  c->state_word = status == protocol::kStatusApplying          ? "staging"
                  : status == protocol::kStatusApplied         ? "staged"
                  : status == protocol::kStatusPending         ? "pending"
                  : protocol::ParseFailedStatus(status, &code) ? "failed"
                                                               : "idle";
  if (c->state_word == "idle" && c->LoadState() && !c->state.confirm.step.empty())
    c->state_word = "unconfirmed";
  return c->state_word.c_str();
}

}  // extern "C"
