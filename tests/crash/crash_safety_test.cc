// SPDX-License-Identifier: MIT
// Crash safety of the real updater. The kill sweep runs an update under a small ptrace loop that
// counts the system calls of all its threads together and kills the process with SIGKILL on entry
// to the k-th one; then it does what the application does on its next start (it starts the updater
// again with the same arguments while the status still reads "applying" or a journal is left) and
// checks that the installation is exactly the old or exactly the new version, with the status
// saying which, and nothing left behind. CI runs every second k; KILL_SWEEP_FULL=1 runs every k
// (see docs/crash-safety.md). Also: two runs started together, and the order of the flushes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "support/run_updater.h"
#include "support/sample_update.h"
#include "support/test_support.h"
#include "support/traced_run.h"

using namespace testing_support;

namespace {

const std::vector<std::string> kEnv = {"LC_ALL=C", "PATH=/usr/bin:/bin"};

// Runs `argv` traced; kills it on entry to its `kill_at`-th system call (never when 0). Returns the
// number of calls counted; `*killed` says whether the kill happened.
long RunKilledAt(const std::vector<std::string> &argv, long kill_at, bool *killed,
                 const std::vector<std::string> &env = kEnv) {
  *killed = false;
  return RunTraced(argv, env, [&](pid_t pid, long k) {
    if (k != kill_at) return;
    kill(pid, SIGKILL);
    *killed = true;
  });
}

bool IsFailed(const std::string &status) {
  return std::regex_match(status, std::regex("failed: -?[0-9]+\n"));
}

Snapshot Without(Snapshot snap, const std::string &top) {
  for (auto it = snap.begin(); it != snap.end();) {
    it = it->first == top || it->first.rfind(top + "/", 0) == 0 ? snap.erase(it) : std::next(it);
  }
  return snap;
}

// One kind of run: how to lay out its folder, its arguments, and what its end must look like.
struct Mode {
  std::string name;
  std::function<void(const std::string &dir)> prepare;
  std::vector<std::string> extra_args;  // after p, inst, working dir
  std::string working;                  // relative to the run folder
  std::string patch = "p";              // the patch directory, relative to the run folder
  long sample_offset = 1;               // the first k of the CI sample (1 or 2)
  std::vector<std::string> env = kEnv;  // of every run, the killed one and the next
  // The command of every run; by default the updater with p, inst and the working directory.
  std::function<std::vector<std::string>(const std::string &dir)> command;
  // Finishes each copy of the template before its run (what depends on the copy's inodes).
  std::function<void(const std::string &dir)> fix_up = [](const std::string &) {};
  // When set, the sample starts at the first system call at which this path (relative to the run
  // folder) exists in the undisturbed run: what comes before it is the sweep of another mode.
  std::string sweep_from;
  // The next start runs after every kill, not only after one that left an update interrupted.
  bool always_again = false;
  std::string undisturbed = "new";  // the verdict on a run that is not killed
  // "new", "old" or a description of what is wrong.
  std::function<std::string(const std::string &dir)> judge;
};

// Verdict shared by the modes that change the installation: the status names the version found.
std::string JudgeVersion(const Snapshot &old_version, const Snapshot &new_version,
                         const Snapshot &now, const std::string &status,
                         const std::string &success, bool pending_is_old) {
  if (status == success) {
    return now == new_version ? "new" : "status " + success + " but: " +
                                            DiffSnapshots(new_version, now);
  }
  if (IsFailed(status) || (pending_is_old && status == "pending")) {
    return now == old_version ? "old" : "status " + status + " but: " +
                                            DiffSnapshots(old_version, now);
  }
  return "status '" + status + "'";
}

struct SweepResult {
  long calls = 0, points = 0, old_version = 0, new_version = 0;
  std::vector<std::string> broken;
};

void Sweep(const Mode &mode, const TempDir &tmp, SweepResult *out) {
  const std::string tmpl = tmp / "template";
  mode.prepare(tmpl);
  auto args_for = [&mode](const std::string &dir) {
    if (mode.command) return mode.command(dir);
    std::vector<std::string> a = {UPDATER_BIN, dir + "/" + mode.patch, dir + "/inst",
                                  dir + "/" + mode.working};
    a.insert(a.end(), mode.extra_args.begin(), mode.extra_args.end());
    return a;
  };
  auto copy = [&tmpl, &mode](const std::string &dir) {
    if (e2e::Spawn({"/bin/rm", "-rf", dir}, {}) != 0 ||
        e2e::Spawn({"/bin/cp", "-a", tmpl, dir}, {}) != 0)
      return false;
    mode.fix_up(dir);
    return true;
  };
  const std::string probe = tmp / "probe";
  ASSERT_TRUE(copy(probe));
  long from = 0;
  out->calls = RunTraced(args_for(probe), mode.env, [&](pid_t, long k) {
    if (from == 0 && !mode.sweep_from.empty() && Exists(probe + "/" + mode.sweep_from)) from = k;
  });
  ASSERT_GT(out->calls, 100);
  ASSERT_EQ(mode.judge(probe), mode.undisturbed) << "the undisturbed run";
  ASSERT_TRUE(mode.sweep_from.empty() || from > 0) << mode.sweep_from << " never appeared";

  // Every k in the full sweep; in CI every second k, odd or even by mode.
  const char *full = getenv("KILL_SWEEP_FULL");
  const long stride = full && *full == '1' ? 1 : 2;
  std::vector<long> ks;
  for (long k = std::max(from, 1L) + (stride == 1 ? 0 : mode.sample_offset - 1); k <= out->calls;
       k += stride) {
    ks.push_back(k);
  }

  // Two worker processes (the machine has two cores); each reports one line per kill point.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<pid_t> workers;
  for (int slot = 0; slot < 2; ++slot) {
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      FILE *report = fdopen(fds[1], "w");
      const std::string dir = tmp / ("s" + std::to_string(slot));
      for (size_t i = static_cast<size_t>(slot); i < ks.size(); i += 2) {
        std::string verdict;
        bool was_killed = false;
        if (!copy(dir)) {
          verdict = "cannot copy the template";
        } else {
          RunKilledAt(args_for(dir), ks[i], &was_killed, mode.env);
          const std::string patch = dir + "/" + mode.patch;
          std::string status = ReadFile(patch + "/update.status");
          if (mode.always_again || Exists(patch + "/update.journal") || status == "applying" ||
              status.empty()) {
            ProcessOptions quiet;
            quiet.clean_env = true;
            quiet.env = mode.env;
            quiet.stdout_path = quiet.stderr_path = "/dev/null";
            RunProcess(args_for(dir), quiet);
          }
          verdict = Exists(patch + "/update.journal") ? "journal left" : mode.judge(dir);
        }
        for (char &c : verdict) c = c == '\n' ? ';' : c;
        fprintf(report, "%ld %s\n", ks[i], verdict.c_str());
        fflush(report);
      }
      _exit(0);
    }
    workers.push_back(pid);
  }
  close(fds[1]);
  FILE *in = fdopen(fds[0], "r");
  char line[8192];
  while (fgets(line, sizeof(line), in)) {
    std::string text(line);
    std::string verdict = text.substr(text.find(' ') + 1);
    verdict.pop_back();
    ++out->points;
    if (verdict == "new") {
      ++out->new_version;
    } else if (verdict == "old") {
      ++out->old_version;
    } else if (out->broken.size() < 20) {
      out->broken.push_back("k=" + text);
    }
  }
  fclose(in);
  for (pid_t w : workers) waitpid(w, nullptr, 0);
  EXPECT_EQ(out->points, static_cast<long>(ks.size()));
}

void Report(const Mode &mode, const SweepResult &r) {
  printf("kill sweep, %s: %ld system calls, %ld kill points: %ld ended new, %ld ended old, %zu "
         "neither\n",
         mode.name.c_str(), r.calls, r.points, r.new_version, r.old_version, r.broken.size());
  for (const std::string &b : r.broken) ADD_FAILURE() << mode.name << ": " << b;
}

Snapshot VersionSnapshot(const TempDir &tmp, const std::string &name,
                         const std::function<void(const std::string &)> &write) {
  write(tmp / name);
  return TakeSnapshot(tmp / name);
}

// A partial update: every instruction kind, without the precomplete removals.
const std::string kPartialManifest = std::string(kManifest).substr(std::string(kManifest).find('\n') + 1);

TEST(KillSweep, InPlaceAndCompleteUpdates) {
  for (bool complete : {false, true}) {
    TempDir tmp;
    const Snapshot old_version = VersionSnapshot(tmp, "old", WriteInstallation);
    const Snapshot new_version = VersionSnapshot(tmp, "new", [complete](const std::string &d) {
      WriteNewVersion(d);
      if (!complete) {  // the precomplete removals are not made
        WriteFile(d + "/gone.txt", "listed in precomplete\n");
        MakeDirs(d + "/gonedir");
      }
    });
    Mode mode;
    mode.name = complete ? "complete update" : "in-place partial update";
    mode.sample_offset = complete ? 2 : 1;
    mode.working = "inst";
    mode.prepare = [complete](const std::string &dir) {
      MakeDirs(dir + "/p");
      WriteArchive(dir + "/p/update.upk", complete ? kManifest : kPartialManifest.c_str());
      WriteInstallation(dir + "/inst");
    };
    mode.judge = [&](const std::string &dir) {
      return JudgeVersion(old_version, new_version, TakeSnapshot(dir + "/inst"),
                          ReadFile(dir + "/p/update.status"), "succeeded\n", false);
    };
    SweepResult r;
    Sweep(mode, tmp, &r);
    Report(mode, r);
  }
}

// Verdict on a replace request whose patch directory is `patch` (relative to `dir`): the status
// names the version in place ("pending" drops the staged copy: the application then updates in
// place), nothing is left at "inst.bak", and with `keep` the new version has the old one whole at
// "inst.previous", with no journal left in its patch folder.
std::string JudgeReplace(const std::string &dir, const std::string &patch, bool keep,
                         const Snapshot &old_version, const Snapshot &new_version) {
  if (Exists(dir + "/inst.bak")) return "inst.bak left";
  const std::string verdict =
      JudgeVersion(old_version, new_version, Without(TakeSnapshot(dir + "/inst"), "updates"),
                   ReadFile(dir + "/" + patch + "/update.status"), "succeeded\n", true);
  if (verdict != "new" || !keep) return verdict;
  const Snapshot previous = Without(TakeSnapshot(dir + "/inst.previous"), "updates");
  if (!(Without(previous, "updated") == old_version)) {
    return "new, but inst.previous: " + DiffSnapshots(old_version, previous);
  }
  if (Exists(dir + "/inst.previous/updates/0/update.journal")) return "journal in inst.previous";
  return verdict;
}

// The replace request also runs keeping the old installation at "inst.previous", as the update
// client asks: after success it must be exactly the old version there.
TEST(KillSweep, StagedUpdateAndReplaceRequest) {
  for (int run = 0; run < 3; ++run) {
    const bool replace = run > 0, keep = run == 2;
    TempDir tmp;
    const Snapshot old_version = Without(VersionSnapshot(tmp, "old", WriteInstallation), "updates");
    const Snapshot staged =
        Without(VersionSnapshot(tmp, "new", WriteNewVersion), "updates");
    Mode mode;
    mode.name = keep ? "replace request keeping the previous installation"
                : replace ? "replace request"
                          : "staged update";
    mode.sample_offset = replace ? 2 : 1;
    if (keep) mode.env.push_back("KIV_KEEP_PREVIOUS=1");
    mode.working = "inst/updated";
    mode.extra_args = {replace ? "0/replace" : "-1"};
    mode.prepare = [replace](const std::string &dir) {
      MakeDirs(dir + "/p");
      WriteArchive(dir + "/p/update.upk");
      WriteInstallation(dir + "/inst");
      if (replace) {
        WriteNewVersion(dir + "/inst/updated");
        RemoveTree(dir + "/inst/updated/updates/0");
      }
    };
    mode.judge = [&, replace, keep](const std::string &dir) -> std::string {
      if (replace) return JudgeReplace(dir, "p", keep, old_version, staged);
      const std::string status = ReadFile(dir + "/p/update.status");
      Snapshot inst = Without(TakeSnapshot(dir + "/inst"), "updates");
      if (Exists(dir + "/inst.bak")) return "inst.bak left";
      // A staged update never touches the installation; "applied\n" vouches for a whole copy.
      Snapshot copy = Without(TakeSnapshot(dir + "/inst/updated"), "updates");
      if (!(Without(inst, "updated") == old_version)) return "installation changed";
      return JudgeVersion(Snapshot(), staged, copy, status, "applied\n", false);
    };
    SweepResult r;
    Sweep(mode, tmp, &r);
    Report(mode, r);
  }
}

// The update client's patch folder lies inside the installation ("inst/updates/0"), so the exchange
// used to carry the replace request's journal away with the old installation: a run killed before
// the status was written was then recovered without it, ended "pending" with the new version in
// place and removed the old installation, kept or not. As the client runs it: the staged copy has
// a patch folder of its own, which becomes the installation's.
TEST(KillSweep, ReplaceJournalMovedAwayWithTheOldInstallation) {
  for (bool keep : {false, true}) {
    TempDir tmp;
    const Snapshot old_version = Without(VersionSnapshot(tmp, "old", WriteInstallation), "updates");
    const Snapshot staged = Without(VersionSnapshot(tmp, "new", WriteNewVersion), "updates");
    Mode mode;
    mode.name = std::string("replace request from the patch folder inside the installation") +
                (keep ? ", keeping the previous installation" : "");
    mode.patch = "inst/updates/0";
    mode.sweep_from = "inst/updates/0/update.journal";  // the swap's first step
    mode.sample_offset = keep ? 1 : 2;
    if (keep) mode.env.push_back("KIV_KEEP_PREVIOUS=1");
    mode.working = "inst/updated";
    mode.extra_args = {"0/replace"};
    mode.prepare = [](const std::string &dir) {
      WriteInstallation(dir + "/inst");
      WriteArchive(dir + "/inst/updates/0/update.upk");
      WriteNewVersion(dir + "/inst/updated");
      RemoveTree(dir + "/inst/updated/updates/0");
      MakeDirs(dir + "/inst/updated/updates/0");
    };
    mode.judge = [&, keep](const std::string &dir) {
      return JudgeReplace(dir, "inst/updates/0", keep, old_version, staged);
    };
    SweepResult r;
    Sweep(mode, tmp, &r);
    Report(mode, r);
  }
}

// The update client's swap back: version 2.0 was swapped in with 1.0 kept at "inst.previous" and
// has been started 3 times without being confirmed, so `update-client start` exchanges the two.
// Killed at its k-th system call, then started once more, it must end with 1.0 in place, 2.0
// marked bad, no copy left beside it and nothing stale in the patch folder; or, never seen so far,
// with 2.0 still awaiting confirmation and 1.0 kept whole.
TEST(KillSweep, UpdateClientSwapBack) {
  TempDir tmp;
  auto version = [](const std::string &inst, bool v2) {
    v2 ? WriteNewVersion(inst) : WriteInstallation(inst);
    WriteFile(inst + "/update-product",
              std::string("update-product 1\nproduct app\nversion ") + (v2 ? "2.0" : "1.0") + "\n");
  };
  const Snapshot v1 =
      Without(VersionSnapshot(tmp, "v1", [&](auto d) { version(d, false); }), "updates");
  const Snapshot v2 =
      Without(VersionSnapshot(tmp, "v2", [&](auto d) { version(d, true); }), "updates");
  Mode mode;
  mode.name = "update-client start swapping the previous version back";
  mode.always_again = true;
  mode.undisturbed = "old";
  mode.command = [](const std::string &dir) {
    return std::vector<std::string>{UPDATE_CLIENT_BIN, "start", "--install", dir + "/inst"};
  };
  mode.prepare = [&](const std::string &dir) {
    version(dir + "/inst", true);
    version(dir + "/inst.previous", false);
    // What the swap that brought 2.0 left in the old installation's patch folder.
    WriteFile(dir + "/inst.previous/updates/0/update.status", "applied\n");
    WriteFile(dir + "/inst.previous/updates/0/update.upk", "the archive of 2.0\n");
    WriteFile(dir + "/inst.previous/updates/0/client-state.json",
              "{\"format\": 3, \"running\": \"replace\"}\n");
  };
  mode.fix_up = [](const std::string &dir) {
    struct stat st;
    ASSERT_EQ(lstat((dir + "/inst.previous").c_str(), &st), 0);
    nlohmann::json state = {{"format", 3}, {"bad", nlohmann::json::array()},
                            {"confirm", {{"step", "waiting"}, {"new_version", "2.0"},
                                         {"old_version", "1.0"}, {"starts", 3},
                                         {"previous", std::to_string(st.st_dev) + " " +
                                                          std::to_string(st.st_ino)}}}};
    WriteFile(dir + "/inst/updates/0/client-state.json", state.dump());
  };
  mode.judge = [&](const std::string &dir) -> std::string {
    const std::string patch = dir + "/inst/updates/0";
    const auto state =
        nlohmann::json::parse(ReadFile(patch + "/client-state.json"), nullptr, false);
    if (!state.is_object()) return "no state";
    const Snapshot inst = Without(TakeSnapshot(dir + "/inst"), "updates");
    if (inst == v2) {
      const bool waiting = state.contains("confirm") && state["confirm"]["step"] == "waiting";
      const Snapshot kept = Without(TakeSnapshot(dir + "/inst.previous"), "updates");
      return waiting && kept == v1 ? "new" : "2.0 in place, but: " + state.dump();
    }
    if (!(inst == v1)) return "neither version: " + DiffSnapshots(v1, inst);
    if (Exists(dir + "/inst.previous")) return "1.0 in place, inst.previous left";
    if (state.contains("confirm") || state["bad"] != nlohmann::json::array({"2.0"}))
      return "1.0 in place, state " + state.dump();
    if (Exists(patch + "/update.status") || Exists(patch + "/update.upk"))
      return "1.0 in place with the update's status or archive";
    return "old";
  };
  SweepResult r;
  Sweep(mode, tmp, &r);
  Report(mode, r);
  EXPECT_EQ(r.old_version, r.points);
}

// Two runs started together, many times: one applies the update, the other says so on standard
// error and exits 1 without touching the status, the log or the installation.
TEST(CrashSafety, TwoRunsStartedTogetherOneApplies) {
  TempDir tmp;
  std::string manifest = "type \"complete\"\n";
  std::vector<UpkEntry> entries;
  for (int i = 0; i < 400; ++i) {
    std::string name = "d" + std::to_string(i / 100) + "/f" + std::to_string(i);
    manifest += "add \"" + name + "\"\n";
    entries.push_back(UpkEntry{name, "file " + std::to_string(i) + "\n"});
  }
  entries.insert(entries.begin(), UpkEntry{"updatev3.manifest", manifest});
  ASSERT_TRUE(WriteUpk(tmp / "archive.upk", entries));
  for (int attempt = 0; attempt < 10; ++attempt) {
    SCOPED_TRACE(attempt);
    const std::string dir = tmp / ("run" + std::to_string(attempt));
    MakeDirs(dir + "/p");
    ASSERT_EQ(link((tmp / "archive.upk").c_str(), (dir + "/p/update.upk").c_str()), 0);
    WriteFile(dir + "/inst/keep", "kept\n");
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t pids[2];
    for (int i = 0; i < 2; ++i) {
      pids[i] = fork();
      if (pids[i] == 0) {
        close(gate[1]);
        char c;
        (void)!read(gate[0], &c, 1);  // both start when the gate closes
        _exit(e2e::RunUpdater({dir + "/p", dir + "/inst", dir + "/inst"}, {},
                              dir + "/err" + std::to_string(i)));
      }
    }
    close(gate[0]);
    close(gate[1]);
    int codes[2];
    for (int i = 0; i < 2; ++i) {
      int status = 0;
      waitpid(pids[i], &status, 0);
      codes[i] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ASSERT_EQ(codes[0] + codes[1], 1) << codes[0] << " " << codes[1];
    const std::string loser_err = ReadFile(dir + "/err" + std::to_string(codes[0] == 0 ? 1 : 0));
    EXPECT_NE(loser_err.find("another update is running"), std::string::npos) << loser_err;
    EXPECT_EQ(ReadFile(dir + "/p/update.status"), "succeeded\n");
    const std::string log = ReadFile(dir + "/p/update.log");
    EXPECT_EQ(log.rfind("PATCH DIRECTORY ", 0), 0u);
    EXPECT_EQ(log.substr(log.size() - 23), "calling QuitProgressUI\n");
    EXPECT_EQ(TakeSnapshot(dir + "/inst").size(), 400u + 4u + 1u);
  }
}

// The lines of an strace run of the updater on `tmp` with `args` after p, inst and the working dir.
std::vector<std::string> TraceRun(const TempDir &tmp, const std::string &working,
                                  const std::vector<std::string> &args) {
  const std::string trace = tmp / "trace.txt";
  std::vector<std::string> argv = {
      "/usr/bin/strace", "-f", "-qq", "-y", "-s", "64", "-o", trace, "-e",
      "trace=openat,write,fsync,fdatasync,syncfs,rename,renameat2,unlink,unlinkat,rmdir",
      UPDATER_BIN, tmp / "p", tmp / "inst", tmp / working};
  argv.insert(argv.end(), args.begin(), args.end());
  EXPECT_EQ(e2e::Spawn(argv, kEnv), 0);
  std::ifstream in(trace);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The index of the last line that holds every one of `parts`, or -1.
long LastLine(const std::vector<std::string> &lines, const std::vector<std::string> &parts) {
  long found = -1;
  for (size_t i = 0; i < lines.size(); ++i) {
    bool all = true;
    for (const std::string &p : parts) all = all && lines[i].find(p) != std::string::npos;
    if (all) found = static_cast<long>(i);
  }
  return found;
}

// Whether a line after `from` and before `to` flushes the folder `dir` (strace -y names it).
bool FlushedBetween(const std::vector<std::string> &lines, long from, long to,
                    const std::string &dir) {
  for (long i = from + 1; i < to; ++i) {
    if (lines[i].find(" fsync(") != std::string::npos &&
        lines[i].find("<" + dir + ">") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// A power cut loses what is not flushed. Traced, an in-place update flushes every file it wrote
// before it records the commit, before it drops a backup and before the status says "succeeded";
// the removals of its scratch folder, of a staged copy's backups and of a swapped-out
// installation are flushed before the status, too.
TEST(CrashSafety, EveryWrittenFileIsFlushedBeforeBackupsGoAndTheStatusIsWritten) {
  TempDir tmp;
  MakeDirs(tmp / "p");
  WriteArchive(tmp / "p/update.upk");
  WriteInstallation(tmp / "inst");
  const std::vector<std::string> lines = TraceRun(tmp, "inst", {});
  long last_write = -1, first_sync_after = -1, commit = -1, first_drop = -1;
  const std::string inst = tmp / "inst/";
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string &line = lines[i];
    const long index = static_cast<long>(i);
    bool install_write = line.find(" write(") != std::string::npos &&
                         line.find("<" + inst) != std::string::npos;
    if (install_write) {
      last_write = index;
      first_sync_after = -1;
    }
    if (line.find(" syncfs(") != std::string::npos && first_sync_after < 0) first_sync_after = index;
    if (line.find("update.journal") != std::string::npos && line.find("\"commit\\n\"") != std::string::npos) {
      commit = index;
    }
    if (line.find("unlink") != std::string::npos && line.find(".kiv-backup\"") != std::string::npos &&
        first_drop < 0) {
      first_drop = index;
    }
  }
  const long final_status = LastLine(lines, {" rename(", "update.status.tmp"});
  ASSERT_GT(last_write, 0);
  ASSERT_GT(first_drop, 0) << "the update replaces files: it drops backups";
  EXPECT_GT(first_sync_after, last_write) << "no flush after the last write";
  EXPECT_LT(first_sync_after, commit);
  EXPECT_LT(commit, first_drop);
  EXPECT_LT(first_drop, final_status);
  // The scratch folder is removed as an entry of the working directory.
  const long scratch_gone =
      LastLine(lines, {"unlinkat(AT_FDCWD<" + tmp / "inst" + ">, \"updating\", AT_REMOVEDIR"});
  ASSERT_GT(scratch_gone, 0);
  EXPECT_TRUE(FlushedBetween(lines, scratch_gone, final_status, tmp / "inst"))
      << "the scratch folder's removal is not flushed before the status";
}

TEST(CrashSafety, AStagedCopysFinishAndASwapsRemovalAreFlushedBeforeTheStatus) {
  TempDir tmp;
  MakeDirs(tmp / "p");
  WriteArchive(tmp / "p/update.upk");
  WriteInstallation(tmp / "inst");
  std::vector<std::string> lines = TraceRun(tmp, "inst/updated", {"-1"});
  long final_status = LastLine(lines, {" rename(", "update.status.tmp"});
  const long last_drop = LastLine(lines, {"unlink", ".kiv-backup\""});
  ASSERT_GT(last_drop, 0) << "the staged update replaces files: it drops backups";
  EXPECT_LT(last_drop, final_status);
  EXPECT_TRUE(FlushedBetween(lines, last_drop, final_status, tmp / "inst/updated"))
      << "the staged copy's dropped backups are not flushed before \"applied\"";
  ASSERT_EQ(ReadFile(tmp / "p/update.status"), "applied\n");

  lines = TraceRun(tmp, "inst/updated", {"0/replace"});
  final_status = LastLine(lines, {" rename(", "update.status.tmp"});
  const long set_aside_gone = LastLine(lines, {"unlinkat(", "/inst.bak\", AT_REMOVEDIR"});
  ASSERT_GT(set_aside_gone, 0);
  EXPECT_TRUE(FlushedBetween(lines, set_aside_gone, final_status, tmp.path()))
      << "the removal of inst.bak is not flushed before \"succeeded\"";
  EXPECT_EQ(ReadFile(tmp / "p/update.status"), "succeeded\n");
}

}  // namespace

namespace {

// A backup that cannot be put back after a failed update keeps the journal, so that the next run
// puts it back instead of leaving the installation mixed. Here the update replaces "a.txt", then
// fails on "f/x" (f is a file), and the rename that would restore a.txt (the second that names its
// backup) fails once.
TEST(CrashSafety, ABackupThatCannotBePutBackKeepsTheJournalForTheNextRun) {
  TempDir tmp;
  MakeDirs(tmp / "p");
  ASSERT_TRUE(WriteUpk(tmp / "p/update.upk", {{"updatev3.manifest", "add \"a.txt\"\nadd \"f/x\"\n"},
                                               {"a.txt", "new"},
                                               {"f/x", "x"}}));
  WriteFile(tmp / "inst/a.txt", "old");
  WriteFile(tmp / "inst/f", "a file");
  const Snapshot before = TakeSnapshot(tmp / "inst");
  const std::vector<std::string> run = {UPDATER_BIN, tmp / "p", tmp / "inst", tmp / "inst"};
  std::vector<std::string> traced = {"/usr/bin/strace", "-f",       "-qq",
                                     "-o",              "/dev/null", "-Pa.txt.kiv-backup",
                                     "-e",              "trace=renameat", "-e",
                                     "inject=renameat:error=EIO:when=2"};
  traced.insert(traced.end(), run.begin(), run.end());
  EXPECT_EQ(e2e::Spawn(traced, kEnv), 1);
  EXPECT_EQ(ReadFile(tmp / "inst/a.txt.kiv-backup"), "old");
  EXPECT_TRUE(Exists(tmp / "p/update.journal"));
  EXPECT_NE(ReadFile(tmp / "p/update.log").find("journal: kept: 1 backups"), std::string::npos);

  EXPECT_EQ(e2e::Spawn(run, kEnv), 1);  // recovery, then the same update fails again
  EXPECT_EQ(ReadFile(tmp / "p/update.status"), "failed: 7\n");
  EXPECT_EQ(DiffSnapshots(before, TakeSnapshot(tmp / "inst")), "");
  EXPECT_FALSE(Exists(tmp / "p/update.journal"));
}

}  // namespace
