// SPDX-License-Identifier: MIT
// Fault sweep: runs real updates of the real binary under strace and fails, one run at a time, the
// k-th call of each file-system system call that the run makes on the update's own files, for every
// k the run reaches: once only at k, and once from k on, with EIO, ENOSPC and EACCES. After each
// run the outcome must be one the updater promises: a failure leaves the installation exactly as it
// was and says "failed: N" (or "pending" for a replace request that fell back); a success leaves
// exactly the new version. The few places where a failure is deliberately ignored are listed below
// with what is still promised for them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/run_updater.h"
#include "support/sample_update.h"
#include "support/test_patch.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

using testing_support::DiffSnapshots;
using testing_support::Entry;
using testing_support::Exists;
using testing_support::MakeDirs;
using testing_support::MakePatch;
using testing_support::ReadFile;
using testing_support::Snapshot;
using testing_support::TakeSnapshot;
using testing_support::TempDir;
using testing_support::UpkEntry;
using testing_support::WriteFile;

using testing_support::kManifest;
using testing_support::WriteArchive;
using testing_support::WriteInstallation;
using testing_support::WriteNewVersion;

namespace {

// The file-system calls swept, where the run makes them.
const char *const kFsCalls[] = {
    "openat2",  "openat",     "open",     "creat",     "read",      "pread64",    "write",
    "pwrite64", "rename",     "renameat", "renameat2", "unlink",    "unlinkat",   "mkdir",
    "mkdirat",  "rmdir",      "chmod",    "fchmod",    "fchmodat",  "stat",       "lstat",
    "fstat",    "newfstatat", "statx",    "access",    "faccessat", "faccessat2", "getdents64",
    "readlink", "readlinkat", "symlink",  "symlinkat", "lseek",     "fallocate",  "ftruncate",
    "truncate", "chdir",      "fchdir",   "fsync",     "fdatasync", "utimensat"};

const char *const kErrors[] = {"EIO", "ENOSPC", "EACCES"};

struct Fault {
  std::string call;
  int k;
  bool from_on;  // every call from the k-th on fails, not only the k-th
  const char *error;
  std::string Describe() const {
    return call + " #" + std::to_string(k) + (from_on ? "+" : "") + " " + error;
  }
};

// The outcome of one run, as the checks of a scenario judge it.
struct Verdict {
  enum Kind { kHeld, kListed, kBroken } kind = kHeld;
  std::string detail;  // for kListed: the listed reason; for kBroken: what went wrong
};

Verdict Held() { return {Verdict::kHeld, ""}; }
Verdict Listed(const std::string &reason) { return {Verdict::kListed, reason}; }
Verdict Broken(const std::string &what) { return {Verdict::kBroken, what}; }

// Fault points where the design deliberately ignores a failure, with what it still promises.
const char kBackupNotDropped[] =
    "a backup that cannot be dropped after success stays beside the new file "
    "(the new version is in place and the backup holds the old file)";
const char kDirNotRemoved[] =
    "a directory that cannot be removed after success stays (only entries that the update "
    "removes remain in it; the new version is in place)";
const char kScratchNotRemoved[] =
    "the scratch folder \"updating\" that cannot be removed stays (the installation is as "
    "the outcome says)";
const char kStatusNotWritten[] =
    "the status file cannot be written: it keeps its earlier text, or is left empty when the "
    "write itself fails (the installation is unchanged after a failure, the new version after a "
    "success)";
const char kListingNotRead[] =
    "a directory of an \"rmrfdir\" whose listing cannot be read is walked as if empty (the "
    "directory walk does not report a failed listing), so it stays with what it held, like any "
    "directory that cannot be removed (the rest of the new version is in place, nothing held "
    "in it is changed)";
const char kPrecompleteNotRead[] =
    "an unreadable \"precomplete\" file: the update goes on without its removals, as designed "
    "(the files it lists stay unchanged, the rest of the new version is in place)";
const char kRollbackNeedsCall[] =
    "the call keeps failing from k on, and putting the backups back needs that very call: "
    "nothing is lost (every old file is at its place or at its \".kiv-backup\" name)";
const char kStagedCopyNotRemoved[] =
    "the staged copy that a failed replace request removes cannot be fully removed (the "
    "installation is unchanged)";
const char kTmpDirNotRemoved[] =
    "the moved-aside old installation cannot be fully removed after a successful replace "
    "(the new version is in place)";

bool StartsWith(const std::string &s, const std::string &prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Entries of `snap` below `prefix` ("dir/") are dropped; with `keep_rest` false the others are.
Snapshot Without(const Snapshot &snap, const std::vector<std::string> &prefixes) {
  Snapshot out;
  for (const auto &[path, entry] : snap) {
    bool drop = false;
    for (const std::string &p : prefixes) {
      if (path == p || StartsWith(path, p + "/")) drop = true;
    }
    if (!drop) out[path] = entry;
  }
  return out;
}

// Every file and link of `before` is still there with its contents, at its place or at its backup
// name, and every directory of `before` still exists.
bool NothingLost(const Snapshot &before, const Snapshot &actual, std::string *why) {
  for (const auto &[path, entry] : before) {
    auto at = actual.find(path);
    if (at != actual.end() && at->second == entry) continue;
    if (entry.kind == 'd' && at != actual.end() && at->second.kind == 'd') continue;
    auto backup = actual.find(path + ".kiv-backup");
    if (backup != actual.end() && backup->second.kind == entry.kind &&
        backup->second.data == entry.data) {
      continue;
    }
    *why = "lost: " + path;
    return false;
  }
  return true;
}

// After a success: `actual` equals `expected`, except for entries the listed ignored failures may
// leave. Returns the listed reason, "" for an exact match, or sets `broken`.
std::string CompareNewVersion(const Snapshot &expected, const Snapshot &before,
                              const Snapshot &actual, const Fault &fault, const std::string &log,
                              std::string *broken) {
  std::set<std::string> reasons;
  for (const auto &[path, entry] : expected) {
    auto at = actual.find(path);
    if (at == actual.end() || !(at->second == entry)) {
      *broken = "new version wrong: " + DiffSnapshots(expected, actual);
      return "";
    }
  }
  for (const auto &[path, entry] : actual) {
    if (expected.count(path)) continue;
    if (path == "updating" || StartsWith(path, "updating/")) {
      reasons.insert(kScratchNotRemoved);
      continue;
    }
    const std::string suffix = ".kiv-backup";
    if (path.size() > suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      auto old = before.find(path.substr(0, path.size() - suffix.size()));
      if (old != before.end() && old->second.data == entry.data) {
        reasons.insert(kBackupNotDropped);
        continue;
      }
    }
    if (entry.kind == 'd' && before.count(path)) {
      reasons.insert(kDirNotRemoved);
      continue;
    }
    auto old = before.find(path);
    const bool unchanged = old != before.end() && old->second == entry;
    if (unchanged && fault.call == "getdents64") {
      reasons.insert(kListingNotRead);
      continue;
    }
    if (unchanged && (path == "gone.txt" || path == "gonedir") &&
        log.find("AddPreCompleteActions: error getting contents of precomplete manifest\n") !=
            std::string::npos) {
      reasons.insert(kPrecompleteNotRead);
      continue;
    }
    // A file the update removes may stay only inside a directory that could not be removed... but
    // then its backup would be there; anything else is wrong.
    *broken = "unexpected after success: " + path + "\n" + DiffSnapshots(expected, actual);
    return "";
  }
  std::string joined;
  for (const std::string &r : reasons) joined += (joined.empty() ? "" : "; ") + r;
  return joined;
}

// After a failure: `actual` equals `before`, except for directories that a failed update may
// leave (created for a new file, and empty) and the listed ignored failures.
std::string CompareOldVersion(const Snapshot &before, const Snapshot &actual, std::string *broken) {
  std::set<std::string> reasons;
  for (const auto &[path, entry] : before) {
    auto at = actual.find(path);
    if (at == actual.end() || !(at->second == entry)) {
      *broken = "installation changed: " + DiffSnapshots(before, actual);
      return "";
    }
  }
  for (const auto &[path, entry] : actual) {
    if (before.count(path)) continue;
    if (path == "updating" || StartsWith(path, "updating/")) {
      reasons.insert(kScratchNotRemoved);
      continue;
    }
    if (entry.kind == 'd') {
      bool empty = true;
      for (const auto &[other, e] : actual) {
        if (StartsWith(other, path + "/") && e.kind != 'd') empty = false;
      }
      if (empty) continue;  // made for a new file; a failed update may leave it
    }
    *broken = "left behind: " + path + "\n" + DiffSnapshots(before, actual);
    return "";
  }
  std::string joined;
  for (const std::string &r : reasons) joined += (joined.empty() ? "" : "; ") + r;
  return joined;
}

bool IsFailedStatus(const std::string &status) {
  return std::regex_match(status, std::regex("failed: -?[0-9]+\n"));
}

// ---- Running under strace ----

int RunQuiet(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
  return e2e::Spawn(argv, env, "/dev/null");
}

int CopyTree(const std::string &from, const std::string &to) {
  if (RunQuiet({"/bin/rm", "-rf", to}, {}) != 0) return -1;
  return RunQuiet({"/bin/cp", "-a", from, to}, {});
}

std::string Join(const std::vector<std::string> &parts, const char *sep) {
  std::string out;
  for (const std::string &p : parts) out += (out.empty() ? "" : sep) + p;
  return out;
}

// One kind of update run: how to prepare its folder and how to judge its outcome.
struct Scenario {
  std::string name;
  // Writes the patch folder `dir`/p and the installation `dir`/inst.
  std::function<void(const std::string &dir)> prepare;
  // The updater's arguments for a run in `dir`.
  std::function<std::vector<std::string>(const std::string &dir)> args;
  // Judges a finished run in `dir`.
  std::function<Verdict(const std::string &dir, int exit_code, const Fault &fault)> judge;
};

class Sweep {
 public:
  Sweep(const Scenario &scenario, const std::string &root) : s_(scenario), root_(root) {}

  // Prepares the template, traces an undisturbed run and derives the fault points. False (with a
  // test failure added) when the undisturbed run does not succeed.
  bool Plan() {
    template_ = root_ + "/template";
    MakeDirs(template_);
    s_.prepare(template_);
    if (testing::Test::HasFatalFailure()) return false;

    // Which of the update's own paths the run names: every path string and every descriptor's
    // path inside the run folder, and every relative path string (relative to the folder the
    // updater works in). Calls on other files (the loader's, the toolkit's) are never failed.
    const std::string base = root_ + "/b";
    if (CopyTree(template_, base) != 0) return Fail("cannot copy the template");
    const std::string trace = root_ + "/trace.txt";
    std::vector<std::string> argv = {"/usr/bin/strace",
                                     "-f",
                                     "-qq",
                                     "-y",
                                     "-s",
                                     "4096",
                                     "-o",
                                     trace,
                                     "-e",
                                     "trace=" + Join(Calls(), ",")};
    for (const std::string &a : s_.args(base)) argv.push_back(a);
    int rc = RunQuiet(argv, Env());
    Verdict first = s_.judge(base, rc, Fault{"", 0, false, ""});
    if (rc != 0 || first.kind != Verdict::kHeld) {
      return Fail("the undisturbed run did not succeed (exit " + std::to_string(rc) +
                  "): " + first.detail);
    }
    std::ifstream in(trace);
    std::string line;
    const std::regex quoted("\"((?:[^\"\\\\]|\\\\.)*)\"");
    const std::regex fd_path("<(/[^>]*)>");
    while (std::getline(in, line)) {
      size_t paren = line.find('(');
      std::string call = paren == std::string::npos ? "" : line.substr(line.find(' ') + 1);
      call = call.substr(0, call.find('('));
      bool data_call = call == "read" || call == "write" || call == "pread64" ||
                       call == "pwrite64" || call == "readlink" || call == "readlinkat";
      for (std::sregex_iterator it(line.begin(), line.end(), fd_path), end; it != end; ++it) {
        std::string p = (*it)[1];
        if (StartsWith(p, base)) paths_.insert(p.substr(base.size()));
      }
      if (data_call) continue;
      for (std::sregex_iterator it(line.begin(), line.end(), quoted), end; it != end; ++it) {
        std::string p = (*it)[1];
        if (StartsWith(p, base)) {
          paths_.insert(p.substr(base.size()));
        } else if (!p.empty() && p[0] != '/') {
          relative_.insert(p);
        }
      }
    }

    // Count, per call and thread, the calls that name those paths.
    const std::string counted = root_ + "/counted.txt";
    if (CopyTree(template_, base) != 0) return Fail("cannot copy the template");
    argv = {"/usr/bin/strace", "-f", "-qq", "-o", counted};
    for (const std::string &p : PathArgs(base)) argv.push_back(p);
    argv.push_back("-e");
    argv.push_back("trace=" + Join(Calls(), ","));
    for (const std::string &a : s_.args(base)) argv.push_back(a);
    rc = RunQuiet(argv, Env());
    if (rc != 0) return Fail("the counting run did not succeed");
    std::map<std::string, std::map<std::string, int>> per_thread;
    std::ifstream cin(counted);
    const std::regex call_line("^([0-9]+) +([a-z0-9_]+)\\(");
    while (std::getline(cin, line)) {
      std::smatch m;
      if (std::regex_search(line, m, call_line)) ++per_thread[m[2]][m[1]];
    }
    for (const auto &[call, threads] : per_thread) {
      int most = 0;
      for (const auto &[tid, n] : threads) most = std::max(most, n);
      for (int k = 1; k <= most; ++k) {
        for (bool from_on : {false, true}) {
          for (const char *error : kErrors) faults_.push_back(Fault{call, k, from_on, error});
        }
      }
      points_ += most;
    }
    return true;
  }

  // Runs every fault, two at a time, and records the verdicts.
  void Run() {
    std::atomic<size_t> next{0};
    auto worker = [&](int slot) {
      const std::string dir = root_ + "/s" + std::to_string(slot);
      for (size_t i = next++; i < faults_.size(); i = next++) {
        const Fault &f = faults_[i];
        Verdict v;
        if (CopyTree(template_, dir) != 0) {
          v = Broken("cannot copy the template");
        } else {
          std::vector<std::string> argv = {"/usr/bin/strace", "-f",           "-qq", "-o",
                                           "/dev/null",       "--seccomp-bpf"};
          for (const std::string &p : PathArgs(dir)) argv.push_back(p);
          argv.push_back("-e");
          argv.push_back("trace=" + f.call);
          argv.push_back("-e");
          argv.push_back("inject=" + f.call + ":error=" + f.error + ":when=" + std::to_string(f.k) +
                         (f.from_on ? "+" : ""));
          for (const std::string &a : s_.args(dir)) argv.push_back(a);
          int rc = RunQuiet(argv, Env());
          v = rc < 0 || rc > 1 ? Broken("exit status " + std::to_string(rc)) : s_.judge(dir, rc, f);
        }
        std::lock_guard<std::mutex> lock(mu_);
        Record(f, v);
      }
    };
    std::thread a(worker, 0);
    std::thread b(worker, 1);
    a.join();
    b.join();
  }

  void Report() const {
    printf(
        "%s: %zu fault points (%zu runs): %zu held as the design promises, %zu at listed "
        "ignored failures, %zu broken\n",
        s_.name.c_str(), points_, faults_.size(), held_, listed_, broken_.size());
    for (const auto &[reason, count] : listed_reasons_) {
      printf("  listed (%zu runs): %s\n", count, reason.c_str());
    }
    for (const std::string &b : broken_) ADD_FAILURE() << s_.name << ": " << b;
  }

  size_t runs() const { return faults_.size(); }
  size_t points() const { return points_; }

 private:
  bool Fail(const std::string &why) {
    ADD_FAILURE() << s_.name << ": " << why;
    return false;
  }

  static std::vector<std::string> Calls() {
    return std::vector<std::string>(std::begin(kFsCalls), std::end(kFsCalls));
  }

  static std::vector<std::string> Env() { return {"LC_ALL=C"}; }

  std::vector<std::string> PathArgs(const std::string &dir) const {
    std::vector<std::string> out;
    for (const std::string &p : paths_) out.push_back("-P" + dir + p);
    for (const std::string &p : relative_) out.push_back("-P" + p);
    return out;
  }

  void Record(const Fault &f, const Verdict &v) {
    if (v.kind == Verdict::kHeld) {
      ++held_;
    } else if (v.kind == Verdict::kListed) {
      ++listed_;
      ++listed_reasons_[v.detail];
    } else {
      ++broken_count_;
      if (broken_.size() < 40) broken_.push_back(f.Describe() + ": " + v.detail);
    }
  }

  Scenario s_;
  std::string root_;
  std::string template_;
  std::set<std::string> paths_;     // below the run folder, without it
  std::set<std::string> relative_;  // relative path strings
  std::vector<Fault> faults_;
  size_t points_ = 0;
  std::mutex mu_;
  size_t held_ = 0;
  size_t listed_ = 0;
  std::map<std::string, size_t> listed_reasons_;
  std::vector<std::string> broken_;  // the first 40
  size_t broken_count_ = 0;
};

// Shared judgement of an in-place or staged update applied to `applied` (the folder the update
// changes), with `untouched` the installation outside it that must never change.
Verdict JudgeUpdate(const Snapshot &before, const Snapshot &expected, const Snapshot &actual,
                    const std::string &status, const std::string &success_status,
                    const std::string &log, int rc, const Fault &f) {
  std::string broken;
  if (rc == 0) {
    std::string reason = CompareNewVersion(expected, before, actual, f, log, &broken);
    if (!broken.empty()) return Broken(broken);
    if (status != success_status) {
      if (status != "applying" && status != "")
        return Broken("success with status '" + status + "'");
      reason += (reason.empty() ? "" : "; ") + std::string(kStatusNotWritten);
    }
    return reason.empty() ? Held() : Listed(reason);
  }
  std::string reason = CompareOldVersion(before, actual, &broken);
  if (!broken.empty()) {
    std::string why;
    if (f.from_on && NothingLost(before, actual, &why)) return Listed(kRollbackNeedsCall);
    return Broken(broken + (why.empty() ? "" : why + "\n") + "status: " + status);
  }
  if (!IsFailedStatus(status)) {
    if (status != "applying" && status != "") return Broken("failure with status '" + status + "'");
    reason += (reason.empty() ? "" : "; ") + std::string(kStatusNotWritten);
  }
  return reason.empty() ? Held() : Listed(reason);
}

Snapshot NewVersionSnapshot(const std::string &root) {
  const std::string dir = root + "/expected";
  WriteNewVersion(dir);
  return TakeSnapshot(dir);
}

Snapshot OldVersionSnapshot(const std::string &root) {
  const std::string dir = root + "/before";
  WriteInstallation(dir);
  return TakeSnapshot(dir);
}

void RunSweep(const Scenario &scenario, const TempDir &tmp) {
  ASSERT_EQ(access("/usr/bin/strace", X_OK), 0) << "strace is needed (scripts/setup.sh)";
  Sweep sweep(scenario, tmp.path());
  ASSERT_TRUE(sweep.Plan());
  sweep.Run();
  sweep.Report();
}

TEST(FaultSweep, InPlaceUpdate) {
  TempDir tmp;
  const Snapshot before = OldVersionSnapshot(tmp.path());
  const Snapshot expected = NewVersionSnapshot(tmp.path());
  Scenario s;
  s.name = "in-place update";
  s.prepare = [](const std::string &dir) {
    MakeDirs(dir + "/p");
    WriteArchive(dir + "/p/update.upk");
    WriteInstallation(dir + "/inst");
  };
  s.args = [](const std::string &dir) {
    return std::vector<std::string>{UPDATER_BIN, dir + "/p", dir + "/inst", dir + "/inst"};
  };
  s.judge = [&](const std::string &dir, int rc, const Fault &f) {
    return JudgeUpdate(before, expected, TakeSnapshot(dir + "/inst"),
                       ReadFile(dir + "/p/update.status"), "succeeded\n",
                       ReadFile(dir + "/p/update.log"), rc, f);
  };
  RunSweep(s, tmp);
}

TEST(FaultSweep, StagedUpdate) {
  TempDir tmp;
  const Snapshot before = OldVersionSnapshot(tmp.path());
  // The staged copy leaves "updates/0" out.
  const Snapshot expected = Without(NewVersionSnapshot(tmp.path()), {"updates/0"});
  const Snapshot before_copy = Without(before, {"updates/0"});
  Scenario s;
  s.name = "staged update";
  s.prepare = [](const std::string &dir) {
    MakeDirs(dir + "/p");
    WriteArchive(dir + "/p/update.upk");
    WriteInstallation(dir + "/inst");
  };
  s.args = [](const std::string &dir) {
    return std::vector<std::string>{UPDATER_BIN, dir + "/p", dir + "/inst", dir + "/inst/updated",
                                    "-1"};
  };
  s.judge = [&](const std::string &dir, int rc, const Fault &f) -> Verdict {
    // The installation itself is never touched by a staged update.
    Snapshot inst = Without(TakeSnapshot(dir + "/inst"), {"updated"});
    if (!(inst == before)) return Broken("installation changed: " + DiffSnapshots(before, inst));
    const std::string status = ReadFile(dir + "/p/update.status");
    if (rc != 0) {
      // Whatever a failed staged update leaves in its copy is replaced by the next one.
      if (IsFailedStatus(status)) return Held();
      if (status == "applying" || status == "") return Listed(kStatusNotWritten);
      return Broken("failure with status '" + status + "'");
    }
    return JudgeUpdate(before_copy, expected, TakeSnapshot(dir + "/inst/updated"), status,
                       "applied\n", ReadFile(dir + "/p/update.log"), rc, f);
  };
  RunSweep(s, tmp);
}

TEST(FaultSweep, ReplaceRequest) {
  TempDir tmp;
  const Snapshot before = OldVersionSnapshot(tmp.path());
  // The staged copy (the new version without "updates/0") becomes the installation; the request's
  // log lies in its "updates" folder and is not compared.
  const Snapshot expected = Without(NewVersionSnapshot(tmp.path()), {"updates"});
  Scenario s;
  s.name = "replace request";
  s.prepare = [](const std::string &dir) {
    MakeDirs(dir + "/p");
    WriteInstallation(dir + "/inst");
    WriteNewVersion(dir + "/inst/updated");
    testing_support::RemoveTree(dir + "/inst/updated/updates/0");
  };
  s.args = [](const std::string &dir) {
    return std::vector<std::string>{UPDATER_BIN, dir + "/p", dir + "/inst", dir + "/inst/updated",
                                    "0/replace"};
  };
  s.judge = [&](const std::string &dir, int rc, const Fault &f) -> Verdict {
    const std::string status = ReadFile(dir + "/p/update.status");
    const std::string inst = dir + "/inst";
    Snapshot now = Without(TakeSnapshot(inst), {"updates"});
    std::set<std::string> reasons;
    if (rc == 0) {
      if (!(now == expected)) return Broken("new version wrong: " + DiffSnapshots(expected, now));
      if (Exists(inst + ".bak")) reasons.insert(kTmpDirNotRemoved);
      if (status != "succeeded\n") {
        if (status != "applying" && status != "")
          return Broken("success with status '" + status + "'");
        reasons.insert(kStatusNotWritten);
      }
    } else {
      Snapshot old_part = Without(now, {"updated"});
      Snapshot before_part = Without(Without(before, {"updates"}), {"updated"});
      if (!(old_part == before_part)) {
        // The moved-aside installation must still be whole when it could not be moved back.
        std::string why;
        Snapshot aside = Without(TakeSnapshot(inst + ".bak"), {"updates", "updated"});
        if (f.from_on && !Exists(inst) && aside == before_part) return Listed(kRollbackNeedsCall);
        return Broken("installation changed: " + DiffSnapshots(before_part, old_part) +
                      "status: " + status);
      }
      if (Exists(inst + ".bak")) return Broken("the moved-aside installation was left behind");
      if (Exists(inst + "/updated")) reasons.insert(kStagedCopyNotRemoved);
      if (status != "pending" && !IsFailedStatus(status)) {
        if (status != "applying" && status != "")
          return Broken("failure with status '" + status + "'");
        reasons.insert(kStatusNotWritten);
      }
    }
    std::string joined;
    for (const std::string &r : reasons) joined += (joined.empty() ? "" : "; ") + r;
    return joined.empty() ? Held() : Listed(joined);
  };
  RunSweep(s, tmp);
}

}  // namespace

namespace {

// An existence check that fails (here with EIO, on the file a "remove" names) used to be taken for
// a missing file: the removal was skipped and the update reported success with the old file still
// in place; the conditional instructions went the wrong way likewise. Now the update fails and
// leaves the installation as it was. The check asks the folder it resolved for the last component.
TEST(FaultSweep, ExistenceCheckThatFailsIsNotTakenForMissing) {
  TempDir tmp;
  const Snapshot before = OldVersionSnapshot(tmp.path());
  for (const std::string path : {"old/file", "keep.txt"}) {  // a removal; the test file of "add-if"
    const std::string dir = tmp / path;
    MakeDirs(dir + "/p");
    WriteArchive(dir + "/p/update.upk");
    WriteInstallation(dir + "/inst");
    const std::string leaf = path.substr(path.rfind('/') + 1);
    int rc = RunQuiet({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-P" + leaf, "-e",
                       "trace=faccessat2", "-e", "inject=faccessat2:error=EIO:when=1", UPDATER_BIN,
                       dir + "/p", dir + "/inst", dir + "/inst"},
                      {});
    EXPECT_EQ(rc, 1) << path;
    EXPECT_EQ(ReadFile(dir + "/p/update.status"), "failed: 6\n") << path;
    EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(dir + "/inst")), "") << path;
    EXPECT_NE(ReadFile(dir + "/p/update.log")
                  .find(std::string("check_exists: unable to check path: ") + path + ", err: 5\n"),
              std::string::npos)
        << path;
  }
}

}  // namespace
