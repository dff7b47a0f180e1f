// SPDX-License-Identifier: MIT
// make-release's core (release.h): runs make-update once per archive, several at a time within
// the memory budget, keeps the partial updates that pay off, and writes the feed.
#include "release.h"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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
    signatures->push_back({info.algorithm == upk_signature::kAlgorithmEd25519
                               ? "ed25519"
                               : std::to_string(info.algorithm),
                           info.key_id});
  }
  return true;
}

// Entries of a folder besides "." and ".."; size_t(-1) when it cannot be read.
size_t CountEntries(const std::string &folder) {
  DIR *dir = opendir(folder.c_str());
  if (!dir) return size_t(-1);
  size_t count = 0;
  while (const dirent *entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
  }
  closedir(dir);
  return count;
}

// The public key files that an installation of `tree` trusts: "<tree>/update-keys/*.pub", in
// name order, as the updater reads them.
std::vector<std::string> TrustedKeyFiles(const std::string &tree) {
  std::vector<std::string> files;
  const std::string folder = tree + "/update-keys";
  if (DIR *dir = opendir(folder.c_str())) {
    while (const dirent *entry = readdir(dir)) {
      const size_t len = strlen(entry->d_name);
      if (len > 4 && strcmp(entry->d_name + len - 4, ".pub") == 0) {
        files.push_back(folder + "/" + entry->d_name);
      }
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Checks that installations of each release in `from` accept the signed archive at `path` with
// the keys their own trees ship (none: the updater does not check). False with the version,
// the keys and the verdict in `*error`.
bool AcceptedBy(const std::vector<Previous> &from, const std::string &path, std::string *error) {
  for (const Previous &p : from) {
    const std::vector<std::string> keys = TrustedKeyFiles(p.tree);
    if (keys.empty()) continue;
    std::string report;
    if (VerifyArchiveFile(path.c_str(), keys, &report) != 0) {
      std::string names;
      for (const std::string &k : keys) names += (names.empty() ? "" : ", ") + k;
      *error = path + ": installations of " + p.version +
               " would refuse it (failed: 24): they trust only " + names + "; " + report +
               ". Sign the release with a key that " + p.version + " trusts (--sign, repeatable)";
      return false;
    }
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

bool BuildRelease(const ReleaseSettings &s, std::vector<Archive> *archives,
                  std::vector<std::string> *notes, std::string *error) {
  if (sodium_init() < 0) {
    *error = "libsodium cannot be initialised";
    return false;
  }
  bool created = mkdir(s.output.c_str(), 0755) == 0;
  if (!created && errno != EEXIST) {
    *error = "cannot create " + s.output + ": " + strerror(errno);
    return false;
  }
  if (!created && !s.force) {
    const size_t entries = CountEntries(s.output);
    if (entries != 0) {
      *error = s.output + " is not empty (" +
               (entries == size_t(-1) ? std::string("it cannot be read")
                                      : std::to_string(entries) + " entries") +
               "): use a new folder for each release, or --force to build into it anyway";
      return false;
    }
  }
  std::string staging = s.output + "/.make-release-XXXXXX";
  if (!mkdtemp(staging.data())) {
    *error = "cannot create a staging folder in " + s.output + ": " + strerror(errno);
    if (created) rmdir(s.output.c_str());
    return false;
  }
  // On failure every archive of this run goes again, and the output folder when it is new.
  std::vector<std::string> written;
  auto fail = [&]() {
    for (const std::string &path : written) unlink(path.c_str());
    if (created) rmdir(s.output.c_str());
    return false;
  };
  const auto started = std::chrono::steady_clock::now();
  size_t done = 0;

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
    written.push_back(s.output + "/" + job.archive.file);
    ++done;
    if (s.progress) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      fprintf(stderr, "make-release: %zu of %zu archives (%zu%%): %s %s, %.1f s so far\n", done,
              jobs.size(), done * 100 / jobs.size(), job.archive.file.c_str(),
              WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "built and checked" : "failed",
              seconds);
    }
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
  if (!ok) return fail();

  archives->clear();
  uint64_t complete_size = 0;
  for (Job &job : jobs) {
    const std::string path = s.output + "/" + job.archive.file;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      *error = "cannot read " + path + ": " + strerror(errno);
      return fail();
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
    if (!SignAndList(s.sign_keys, path, &job.archive.signatures, error)) return fail();
    // A partial update meets installations of its own previous release; the complete update
    // those of every previous release.
    std::vector<Previous> from;
    for (const Previous &p : s.previous) {
      if (job.archive.kind == "complete" || p.version == job.archive.applies_to) from.push_back(p);
    }
    if (!AcceptedBy(from, path, error)) return fail();
    if (!release_feed::FileSha256(path, &job.archive.sha256, &job.archive.size, error))
      return fail();
    archives->push_back(job.archive);
  }
  return true;
}

}  // namespace make_release
