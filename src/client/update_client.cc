// The update client's library (update_client.h): feed, download, staged update and swap. State
// lives in the patch folder: the updater's files (base/update_protocol.h) and the client's own
// state file kStateName, replaced durably (docs/update-client.md).
#include "client/update_client.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "archive/signature_check.h"
#include "base/durable_file.h"
#include "base/result.h"
#include "base/update_protocol.h"
#include "base/whole_file.h"
#include "client/release_feed.h"

namespace {

// The client's state in the patch folder: the highest serial accepted, with its product and
// channel (JSON, docs/update-client.md).
constexpr char kStateName[] = "client-state.json";
constexpr char kPartSuffix[] = ".part";
// Every request: below kLowSpeedBytes a second for kLowSpeedSeconds ends it; and a total limit.
constexpr long kLowSpeedBytes = 1, kLowSpeedSeconds = 30;
constexpr long kFeedSeconds = 60, kArchiveSeconds = 6 * 3600;

struct State {
  std::string product, channel;
  uint64_t serial = 0;
};

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
  std::string error, state_word;
  release_feed::Feed release;  // the feed accepted by the last check
  const release_feed::ArchiveEntry *chosen = nullptr;
  State state;

  uc_result Fail(uc_result code, const std::string &why) {
    error = why;
    return code;
  }
  void Say(const std::string &line) {
    if (message) message(message_user, line.c_str());
  }
  std::string Path(const char *name) const { return patch_dir + "/" + name; }
  std::string Status() const { return ReadText(Path(protocol::kStatusName), 4096); }

  void LoadState() {
    state = State();
    const nlohmann::json j = nlohmann::json::parse(ReadText(Path(kStateName)), nullptr, false);
    if (!j.is_object()) return;
    if (const auto it = j.find("product"); it != j.end() && it->is_string()) {
      state.product = it->get<std::string>();
    }
    if (const auto it = j.find("channel"); it != j.end() && it->is_string()) {
      state.channel = it->get<std::string>();
    }
    if (const auto it = j.find("serial"); it != j.end() && it->is_number_unsigned()) {
      state.serial = it->get<uint64_t>();
    }
  }
  bool SaveState() {
    nlohmann::ordered_json j;
    j["product"] = state.product;
    j["channel"] = state.channel;
    j["serial"] = state.serial;
    const std::string text = j.dump(2) + "\n";
    return MakeDirs(patch_dir) && replace_file_durably(Path(kStateName).c_str(), text.data(),
                                                       text.size(), 0644) == result::kOk;
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

int Run(const std::string &program, const std::vector<std::string> &args, bool quiet) {
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
    execv(program.c_str(), argv.data());
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
// with "updater --version" before anything relies on it.
uc_result UseUpdaterCopy(uc_client *c) {
  const std::string copy = c->Path("updater");
  if (c->updater != copy) {
    if (!CopyFile(c->updater, copy, 0755)) {
      return c->Fail(UC_FAILED, "cannot copy " + c->updater + " to " + copy);
    }
    for (const char *suffix : {".ini", ".png"}) {
      struct stat st;
      if (stat((c->updater + suffix).c_str(), &st) == 0) {
        (void)CopyFile(c->updater + suffix, copy + suffix, 0644);  // optional
      }
    }
    c->updater = copy;
  }
  // A copy that cannot start (a library missing: the loader exits 127) or dies on a signal does
  // not run. Updaters that predate "--version" answer it with their usage and status 1.
  const int rc = Run(copy, {"--version"}, true);
  if (rc == 127 || rc < 0) {
    return c->Fail(UC_FAILED, "the updater " + copy + " does not run (\"--version\" exited " +
                                  std::to_string(rc) + "); is a library missing?");
  }
  return UC_OK;
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
  // A download of another archive (an older feed) is dropped; this one's part is resumed.
  const std::string part_name = a.sha256 + kPartSuffix, part = c->Path(part_name.c_str());
  if (DIR *dir = opendir(c->patch_dir.c_str())) {
    while (dirent *e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, kPartSuffix) == 0 &&
          name != part_name) {
        unlink(c->Path(name.c_str()).c_str());
      }
    }
    closedir(dir);
  }
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
  *archive = c->Path(protocol::kArchiveName);
  if (rename(part.c_str(), archive->c_str()) != 0) {
    return c->Fail(UC_FAILED, "cannot place " + *archive + ": " + strerror(errno));
  }
  return UC_OK;
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
  c->LoadState();
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
      c->state = State{f.product, f.channel, f.serial};
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
  // The partial update for this version if there is one (and the version is not below the
  // minimum), else the complete update.
  c->chosen = &f.archives.front();
  const bool below_minimum = !f.minimum_version.empty() &&
                             release_feed::CompareVersions(c->installed, f.minimum_version) < 0;
  for (const release_feed::ArchiveEntry &a : f.archives) {
    if (!below_minimum && a.kind == "partial" && a.applies_to == c->installed) c->chosen = &a;
  }
  *available = 1;
  return UC_OK;
}

uc_result uc_fetch(uc_client *c, int in_place) {
  const std::string status = c->Status();
  if (status == protocol::kStatusApplying || status == protocol::kStatusApplied ||
      status == protocol::kStatusPending) {
    c->Say(std::string("an update is already ") +
           (status == protocol::kStatusApplying ? "being staged" : "waiting") +
           "; run 'update-client start'");
    return UC_OK;
  }
  int available = 0;
  if (const uc_result rc = uc_check(c, &available); rc != UC_OK || !available) return rc;
  const release_feed::ArchiveEntry &a = *c->chosen;
  c->Say(c->installed + " -> " + c->release.version + " with " + a.file + " (" + a.kind + ", " +
         std::to_string(a.size) + " bytes)");
  std::string archive;
  if (const uc_result rc = Download(c, a, &archive); rc != UC_OK) return rc;
  const std::string status_path = c->Path(protocol::kStatusName);
  if (in_place) {
    // "pending" is what the updater itself leaves when an update is still to be applied in
    // place; the next start treats both alike.
    const size_t n = strlen(protocol::kStatusPending);
    if (replace_file_durably(status_path.c_str(), protocol::kStatusPending, n, 0644) !=
        result::kOk) {
      return c->Fail(UC_FAILED, "cannot write " + status_path);
    }
    c->Say("verified; the next start applies version " + c->release.version + " in place");
    return UC_OK;
  }
  unlink(status_path.c_str());
  if (const uc_result rc = UseUpdaterCopy(c); rc != UC_OK) return rc;
  if (!StartStaged(c)) return c->Fail(UC_FAILED, "cannot start " + c->updater);
  c->Say("verified; staging version " + c->release.version + " in the background");
  return UC_OK;
}

uc_result uc_start(uc_client *c) {
  c->error.clear();
  const std::string status_path = c->Path(protocol::kStatusName);
  const std::string archive = c->Path(protocol::kArchiveName);
  const std::string status = c->Status();
  bool in_place = status == protocol::kStatusPending;
  if (in_place || status == protocol::kStatusApplied) {
    if (const uc_result rc = UseUpdaterCopy(c); rc != UC_OK) return rc;
  }
  if (status == protocol::kStatusApplied) {
    // The staged copy takes the installation's place; the updater writes its status back into
    // the patch folder of the new installation, and the client's state goes with it.
    c->LoadState();
    const State kept = c->state;
    const std::string staged = c->install + "/" + protocol::kStagedDirName;
    (void)Run(c->updater, {c->patch_dir, c->install, staged, "0/replace"}, false);
    const std::string after = c->Status();
    if (after == protocol::kStatusSucceeded) {
      c->state = kept;
      if (kept.serial && !c->SaveState()) return c->Fail(UC_FAILED, "cannot write the state");
      c->Say("the staged update is in place");
      return UC_OK;
    }
    if (after != protocol::kStatusPending) {
      return c->Fail(UC_FAILED, "the replace request ended with " + after);
    }
    in_place = true;  // the staged copy is gone; the archive is still here
  }
  if (in_place) {
    c->Say(status == protocol::kStatusPending ? "updating in place"
                                              : "replacing was not possible; updating in place");
    const int rc = Run(c->updater, {c->patch_dir, c->install, c->install}, false);
    const std::string after = c->Status();
    if (rc != 0 || after != protocol::kStatusSucceeded) {
      return c->Fail(UC_FAILED, "the in-place update ended with " + after);
    }
    unlink(archive.c_str());
    c->Say("updated in place");
    return UC_OK;
  }
  int code = 0;
  if (protocol::ParseFailedStatus(status, &code)) {
    // The staged update failed and the installation is unchanged: drop the archive so that the
    // next fetch starts over.
    unlink(archive.c_str());
    unlink(status_path.c_str());
    return c->Fail(UC_FAILED, "the staged update failed (" + status.substr(0, status.size() - 1) +
                                  "); see " + c->Path(protocol::kLogName));
  }
  return UC_OK;  // nothing staged, or still being staged
}

const char *uc_state(uc_client *c) {
  const std::string status = c->Status();
  int code = 0;
  c->state_word = status == protocol::kStatusApplying          ? "staging"
                  : status == protocol::kStatusApplied         ? "staged"
                  : status == protocol::kStatusPending         ? "pending"
                  : protocol::ParseFailedStatus(status, &code) ? "failed"
                                                               : "idle";
  return c->state_word.c_str();
}

}  // extern "C"
