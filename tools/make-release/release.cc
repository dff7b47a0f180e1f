// make-release's core (release.h): runs make-update once per archive, several at a time within
// the memory budget, keeps the partial updates that pay off, and writes the feed.
#include "release.h"

#include <fcntl.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>

#include "base/whole_file.h"
#include "client/release_feed.h"
#include "common/archive_signing.h"

extern char **environ;

namespace make_release {
namespace {

struct Job {
  Archive archive;
  std::string from_tree;  // empty for the complete update
  std::string log;        // make-update's output
  pid_t pid = -1;
  int status = -1;
};

// The text of a file, or "" when it cannot be read.
std::string ReadText(const std::string &path) {
  char *data = nullptr;
  size_t size = 0;
  if (ReadWholeFile(path.c_str(), WholeFileOptions(), &data, &size) != FileRead::kOk) return "";
  std::string text(data, size);
  free(data);
  return text;
}

// Starts make-update for one archive with its output to job->log; false when it cannot start.
bool Start(const ReleaseSettings &s, unsigned threads, uint64_t memory_mib, Job *job,
           std::string *error) {
  std::vector<std::string> args = {s.make_update, "--no-progress", "--check"};
  if (!s.updater.empty()) args.insert(args.end(), {"--updater", s.updater});
  args.insert(args.end(), {"--product", s.product, "--version", s.version, "--jobs",
                           std::to_string(threads), "--memory", std::to_string(memory_mib)});
  args.insert(args.end(), s.make_update_options.begin(), s.make_update_options.end());
  if (!s.sign_keys.empty()) args.insert(args.end(), {"--sign", s.sign_keys.front()});
  if (!job->from_tree.empty()) args.insert(args.end(), {"--from", job->from_tree});
  args.insert(args.end(), {s.new_tree, s.output + "/" + job->archive.file});
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, job->log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int rc = posix_spawn(&job->pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    *error = "cannot run " + s.make_update + ": " + strerror(rc);
    return false;
  }
  return true;
}

// Adds the signatures of the keys after the first (make-update made that one) to the archive at
// `path` and lists every signature it then holds.
bool SignAndList(const std::vector<std::string> &keys, const std::string &path,
                 std::vector<Signature> *signatures, std::string *error) {
  for (size_t i = 1; i < keys.size(); ++i) {
    std::string why;
    if (SignArchiveFile(path.c_str(), keys[i].c_str(), &why) != 0) {
      *error = "cannot sign " + path + " with " + keys[i] + ": " + why;
      return false;
    }
  }
  std::vector<SignatureInfo> found;
  std::string why;
  if (ListSignatures(path.c_str(), &found, &why) != 0) {
    *error = "cannot list the signatures of " + path + ": " + why;
    return false;
  }
  signatures->clear();
  for (const SignatureInfo &info : found) {
    signatures->push_back(
        {info.algorithm == upk_signature::kAlgorithmEd25519 ? "ed25519"
                                                            : std::to_string(info.algorithm),
         info.key_id});
  }
  return true;
}

uint64_t DefaultMemoryMib() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  const uint64_t half = pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) / 2 >> 20 : 0;
  return std::min<uint64_t>(std::max<uint64_t>(half, 512), 8192);
}

}  // namespace

bool ValidVersion(const std::string &version) { return release_feed::ValidVersion(version); }

std::string CompleteName(const std::string &product, const std::string &version) {
  return (product.empty() ? "update" : product) + "-" + version + "-complete.upk";
}

std::string PartialName(const std::string &product, const std::string &from,
                        const std::string &version) {
  return (product.empty() ? "update" : product) + "-" + from + "-to-" + version + "-partial.upk";
}

bool FileSha256(const std::string &path, std::string *hex, uint64_t *size, std::string *error) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  std::vector<unsigned char> buffer(1 << 20);
  size_t n;
  *size = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), f)) > 0) {
    crypto_hash_sha256_update(&state, buffer.data(), n);
    *size += n;
  }
  const bool read_error = ferror(f);
  fclose(f);
  if (read_error) {
    *error = "cannot read " + path;
    return false;
  }
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  char text[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(text, sizeof text, digest, sizeof digest);
  *hex = text;
  return true;
}

bool BuildRelease(const ReleaseSettings &s, std::vector<Archive> *archives,
                  std::vector<std::string> *notes, std::string *error) {
  if (sodium_init() < 0) {
    *error = "libsodium cannot be initialised";
    return false;
  }
  if (mkdir(s.output.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + s.output + ": " + strerror(errno);
    return false;
  }
  std::string staging = s.output + "/.make-release-XXXXXX";
  if (!mkdtemp(staging.data())) {
    *error = "cannot create a staging folder in " + s.output + ": " + strerror(errno);
    return false;
  }

  std::vector<Job> jobs(1 + s.previous.size());
  jobs[0].archive.kind = "complete";
  jobs[0].archive.file = CompleteName(s.product, s.version);
  for (size_t i = 0; i < s.previous.size(); ++i) {
    Job &job = jobs[i + 1];
    job.archive.kind = "partial";
    job.archive.applies_to = s.previous[i].version;
    job.archive.file = PartialName(s.product, s.previous[i].version, s.version);
    job.from_tree = s.previous[i].tree;
  }
  for (Job &job : jobs) job.log = staging + "/" + job.archive.file + ".log";

  // Each run gets an equal share of the budget and of the cores; a patch of a large file needs
  // a few hundred MiB, so no run gets less than 512 MiB unless the budget itself is smaller.
  const unsigned cores = std::max(1l, sysconf(_SC_NPROCESSORS_ONLN));
  const uint64_t budget = s.memory_mib ? s.memory_mib : DefaultMemoryMib();
  size_t at_once = std::min<size_t>(jobs.size(), s.jobs ? s.jobs : cores);
  at_once = std::max<size_t>(1, std::min<size_t>(at_once, budget / 512));
  const unsigned threads = std::max<unsigned>(1, cores / at_once);
  const uint64_t share = std::max<uint64_t>(1, budget / at_once);

  bool ok = true;
  size_t next = 0, running = 0;
  std::map<pid_t, Job *> by_pid;
  while (next < jobs.size() || running > 0) {
    if (ok && next < jobs.size() && running < at_once) {
      Job &job = jobs[next++];
      if (Start(s, threads, share, &job, error)) {
        by_pid[job.pid] = &job;
        ++running;
      } else {
        ok = false;
      }
      continue;
    }
    if (running == 0) break;  // a start failed: nothing more is started
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      *error = std::string("waitpid: ") + strerror(errno);
      ok = false;
      break;
    }
    auto found = by_pid.find(pid);
    if (found == by_pid.end()) continue;
    --running;
    Job &job = *found->second;
    job.status = status;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      if (ok) {
        *error = job.archive.file + ": make-update failed (" +
                 (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                    : std::string("killed")) +
                 "):\n" + ReadText(job.log);
      }
      ok = false;
    }
  }
  for (const Job &job : jobs) unlink(job.log.c_str());
  rmdir(staging.c_str());
  if (!ok) return false;

  archives->clear();
  uint64_t complete_size = 0;
  for (Job &job : jobs) {
    const std::string path = s.output + "/" + job.archive.file;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      *error = "cannot read " + path + ": " + strerror(errno);
      return false;
    }
    if (job.archive.kind == "complete") {
      complete_size = st.st_size;
    } else if (double(st.st_size) >= kPartialLimit * double(complete_size)) {
      unlink(path.c_str());
      notes->push_back("left out " + job.archive.file + ": " + std::to_string(st.st_size) +
                       " bytes, not clearly below the complete update's " +
                       std::to_string(complete_size));
      continue;
    }
    // Signed before the digest is taken: a signature changes the archive's bytes.
    if (!SignAndList(s.sign_keys, path, &job.archive.signatures, error)) return false;
    if (!FileSha256(path, &job.archive.sha256, &job.archive.size, error)) return false;
    archives->push_back(job.archive);
  }
  return true;
}

bool ReplaceFile(const std::string &path, const std::string &text, std::string *error) {
  const std::string temp = path + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
  ok = fd >= 0 && fsync(fd) == 0 && ok;
  if (fd >= 0 && close(fd) != 0) ok = false;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = "cannot write " + path + ": " + strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

}  // namespace make_release
