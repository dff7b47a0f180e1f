// SPDX-License-Identifier: MIT
// make-update: builds an update archive from a new release tree (a complete update) or from an
// old and a new release tree (a partial update). Every refusal or failure prints one line per
// problem starting "make-update: " and ends with a non-zero exit status (see kUsage).
#include <malloc.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/paths.h"
#include "base/product_record.h"
#include "base/scoped_file.h"
#include "build.h"
#include "check.h"
#include "common/archive_signing.h"
#include "common/arguments.h"
#include "common/tool_version.h"
#include "helpers.h"
#include "plan.h"
#include "tree.h"

namespace {

using namespace make_update;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;
constexpr int kExitCheckFailed = 4;

const char kUsage[] =
    "NAME\n"
    "    make-update - build an update archive from release trees\n"
    "\n"
    "SYNOPSIS\n"
    "    make-update [OPTIONS] [--from OLD_DIR] NEW_DIR OUTPUT.upk\n"
    "    make-update --verify UPDATE.upk [OPTIONS] [--from OLD_DIR] NEW_DIR\n"
    "    make-update --stamp DIR --product ID --version V\n"
    "    make-update --help\n"
    "\n"
    "DESCRIPTION\n"
    "    Without --from, writes a complete update: a manifest (updatev3.manifest) that starts\n"
    "    with type \"complete\" and adds every file of NEW_DIR. The updater first removes what\n"
    "    the installation's own precomplete file lists, so files of the previous release that\n"
    "    the new one lacks disappear too.\n"
    "\n"
    "    With --from, writes a partial update that turns an installation of OLD_DIR into one\n"
    "    of NEW_DIR: \"add\" for new files, \"patch\" for changed files whose bzip2-compressed\n"
    "    patch is smaller than the bzip2-compressed file (otherwise \"add\"), \"remove\" for\n"
    "    files that went away, \"rmdir\" for folders that went away (children before parents),\n"
    "    nothing for unchanged files. A file whose permission bits changed is added whole,\n"
    "    because a patched file keeps the old file's bits.\n"
    "\n"
    "    Both kinds also ship a generated precomplete file listing every file of NEW_DIR\n"
    "    (\"remove\") and every folder (\"rmdir\", deepest first), so that the next complete\n"
    "    update removes what this release installed. A precomplete file in NEW_DIR is\n"
    "    replaced by the generated one (with a warning when they differ).\n"
    "\n"
    "    With --product and --version, both kinds also install the product record\n"
    "    update-product (docs/product-record.md), naming the product and the version the\n"
    "    installation then holds; the updater refuses an archive of another product or of an\n"
    "    older version for an installation that has one. It is listed in precomplete like\n"
    "    every file of the release, and replaces a file of that name in NEW_DIR (with a\n"
    "    warning when they differ). Give both or neither: with only one, no record is\n"
    "    written (with a warning).\n"
    "\n"
    "    Every member is compressed with bzip2 and stored with the file's permission bits;\n"
    "    patches are stored as patches/PATH.patch. The work runs on one thread per core.\n"
    "\n"
    "    An archive holds at most 500 MiB (524288000 bytes) of compressed members, manifest\n"
    "    and index. When the files of the update could take more than that (their sizes, as\n"
    "    if they did not compress at all), make-update says so before it compresses anything,\n"
    "    and stops with exit status 1 as soon as the members built so far take more than the\n"
    "    limit. Such a release is too large for one update: split it into parts that are\n"
    "    updated apart, ship partial updates (--from) where the complete update is too large,\n"
    "    or leave out data that the application can fetch by itself.\n"
    "\n"
    "OPTIONS\n"
    "    --from OLD_DIR    make a partial update from OLD_DIR to NEW_DIR\n"
    "    --product ID      product identifier for the archive, at most 63 bytes (default \"\");\n"
    "                      with --version, also written into the product record, which\n"
    "                      takes no blank, comma or control character\n"
    "    --version V       version the update brings, at most 31 bytes (default \"\"); the\n"
    "                      same characters as --product\n"
    "    --optional PATH   PATH (a file or folder, relative to the trees) exists only in some\n"
    "                      installations. Files at or below PATH that are added are written\n"
    "                      with add-if \"PATH\" \"FILE\", i.e. only where PATH exists when the\n"
    "                      update starts; changed files that are patched use\n"
    "                      patch-if \"FILE\" \"MEMBER\" \"FILE\", i.e. only where the file itself\n"
    "                      exists. Removals need no condition: the updater skips missing\n"
    "                      paths. Repeatable; the longest matching PATH is the test.\n"
    "    --if-missing PATH files at or below PATH are written with add-if-not \"FILE\" \"FILE\":\n"
    "                      only installations without the file get it (e.g. settings that\n"
    "                      users edit). They are never patched, and precomplete lists them as\n"
    "                      remove-cc so that a complete update keeps them. Takes precedence\n"
    "                      over --optional. Repeatable.\n"
    "    --rmrfdir         remove a vanished folder with one rmrfdir line, which also deletes\n"
    "                      whatever the installation added inside it; by default every file\n"
    "                      the old release had is removed by name and each folder with rmdir\n"
    "                      (a folder still holding other files then stays).\n"
    "    --check           after writing OUTPUT.upk, apply it with the real updater to a scratch\n"
    "                      copy of OLD_DIR (an empty folder for a complete update) and compare\n"
    "                      the result with NEW_DIR: every file's bytes and permission bits, every\n"
    "                      folder (not its mode), nothing else. On a difference OUTPUT.upk is\n"
    "                      removed and the scratch folder is kept.\n"
    "    --verify UPDATE.upk\n"
    "                      run only the check of --check on an existing archive made from the\n"
    "                      same trees and options\n"
    "    --updater PATH    the updater program used by --check and --verify (default: the\n"
    "                      environment variable MAKE_UPDATE_UPDATER, else \"updater\" beside\n"
    "                      make-update). It is run with an empty file mode creation mask and\n"
    "                      without DISPLAY.\n"
    "    --sign SECRET     sign the archive with the secret key file SECRET (made by\n"
    "                      upk keygen); --check and --verify then also check the signature\n"
    "                      with the matching public key, in-process and by the updater\n"
    "                      (which trusts that key in the scratch installation)\n"
    "    --dry-run         build the members but write no archive; print each manifest line\n"
    "                      with the compressed size it adds, and the total\n"
    "    --jobs N          worker threads (default: one per available core)\n"
    "    --memory MIB      memory the workers may hold at once, in MiB (default: half the\n"
    "                      machine's memory, between 512 and 8192); a patch needs about five\n"
    "                      times the old file plus twice the new one\n"
    "    --progress, --no-progress\n"
    "                      draw a progress line on standard error (default: only when standard\n"
    "                      error is a terminal)\n"
    "    --stamp DIR       write only the product record DIR/update-product for --product and\n"
    "                      --version (both needed) and exit: for the tree of a release that\n"
    "                      is installed by other means than an update (the first\n"
    "                      installation), so that its updates are checked from the start\n"
    "    -h, --help        print this text and exit\n"
    "    --version         as the only argument: print the version of make-update and exit\n"
    "    A value may also be joined to its option with '=' (--from=OLD_DIR); \"--\" ends the\n"
    "    options.\n"
    "\n"
    "REFUSALS\n"
    "    make-update writes no archive, prints every problem and exits with 3 when a tree holds\n"
    "    what a manifest cannot express: devices, pipes or sockets; symbolic links whose target\n"
    "    is absolute or climbs above the top of the tree with \"..\" (read from the link's\n"
    "    folder), a folder that became a link or a link that became a folder (partial update),\n"
    "    and a vanished link to a folder (partial update); names with a double quote or a\n"
    "    line break; names containing \"..\"; paths longer than 1012 bytes (the updater\n"
    "    appends \".kiv-backup\" in a 1024-byte buffer); files of 4 GiB or more; set-user-ID,\n"
    "    set-group-ID or sticky bits; empty folders that the update would have to create; a\n"
    "    folder that became a file (partial update); a top-level file named updatev3.manifest;\n"
    "    a file named like another file's patch member.\n"
    "    Folder modes cannot be carried: new folders are created with mode 0755 and existing\n"
    "    ones keep theirs; a warning names each folder where that differs from NEW_DIR.\n"
    "\n"
    "LINKS\n"
    "    Each symbolic link of NEW_DIR that is new, has a new target or replaces a file (every\n"
    "    link, in a complete update) is made with the instruction \"addsymlink\"; a link that\n"
    "    vanished is removed, and the generated precomplete lists every link that does not\n"
    "    lead to a folder. An updater that does not know \"addsymlink\" refuses such an archive\n"
    "    (failed: 5, nothing changed), so it is used only when the trees call for it, and\n"
    "    make-update then prints a note saying so.\n"
    "\n"
    "EXIT STATUS\n"
    "    0 success; 1 failure (full disk, an update that does not fit in an archive, ...);\n"
    "    2 usage error, or an input (a tree, the archive of --verify, the key of --sign) cannot\n"
    "    be read (\"make-update: cannot read PATH: REASON\"); 3 the trees hold something an\n"
    "    update cannot express;\n"
    "    4 the check found that the update does not produce NEW_DIR.\n"
    "\n"
    "EXAMPLES\n"
    "    make-update --product app --version 2.0 app-2.0 complete.upk\n"
    "    make-update --from app-1.0 --product app --version 2.0 --check app-2.0 partial.upk\n"
    "    make-update --from app-1.0 --optional plugins/extra --dry-run app-2.0 x.upk\n"
    "    make-update --stamp app-1.0 --product app --version 1.0\n";

int Usage(const std::string &message) {
  fprintf(stderr, "make-update: %s\nTry 'make-update --help'.\n", message.c_str());
  return kExitUsage;
}

struct Args {
  std::string from, new_dir, output, verify, updater, stamp;
  std::string product, version;
  std::string sign;  // secret key file, or empty
  PlanOptions plan;
  BuildSettings build;
  bool check = false, dry_run = false, help = false, version_request = false;
  int progress = -1;  // -1 automatic
};

bool ParseNumber(const char *text, unsigned long long *out) {
  char *end = nullptr;
  errno = 0;
  *out = strtoull(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && text[0] != '-';
}

// Returns -1 when parsing succeeded, else the exit status.
int ParseArgs(int argc, char **argv, Args *args) {
  const ParsedArguments parsed = ParseArguments(argc, argv, 1,
                                                {{"--check", false},
                                                 {"--dry-run", false},
                                                 {"--rmrfdir", false},
                                                 {"--progress", false},
                                                 {"--no-progress", false},
                                                 {"--from", true},
                                                 {"--product", true},
                                                 {"--version", true},
                                                 {"--optional", true},
                                                 {"--if-missing", true},
                                                 {"--verify", true},
                                                 {"--updater", true},
                                                 {"--jobs", true},
                                                 {"--memory", true},
                                                 {"--sign", true},
                                                 {"--stamp", true}});
  args->version_request = parsed.version;
  args->help = parsed.help;
  if (parsed.error != ArgumentError::kNone) return Usage(parsed.Problem());
  if (args->help || args->version_request) return -1;
  for (const ParsedArguments::Option &option : parsed.options) {
    const std::string &arg = option.name;
    const std::string &v = option.value;
    if (arg == "--check") args->check = true;
    if (arg == "--dry-run") args->dry_run = true;
    if (arg == "--rmrfdir") args->plan.use_rmrfdir = true;
    if (arg == "--progress") args->progress = 1;
    if (arg == "--no-progress") args->progress = 0;
    if (arg == "--stamp") args->stamp = v;
    if (arg == "--sign") args->sign = v;
    if (arg == "--from") args->from = v;
    if (arg == "--product") args->product = v;
    if (arg == "--version") args->version = v;
    if (arg == "--verify") args->verify = v;
    if (arg == "--updater") args->updater = v;
    if (arg == "--optional" || arg == "--if-missing") {
      std::string error;
      const std::string path = NormaliseUserPath(v, &error);
      if (path.empty()) return Usage(arg + ": " + error);
      (arg == "--optional" ? args->plan.optional : args->plan.if_missing).push_back(path);
    }
    if (arg == "--jobs" || arg == "--memory") {
      unsigned long long n = 0;
      if (!ParseNumber(v.c_str(), &n) || n == 0 || n > (1ull << 20)) {
        return Usage(arg + " needs a positive number, not \"" + v + "\"");
      }
      if (arg == "--jobs") args->build.jobs = static_cast<unsigned>(n);
      if (arg == "--memory") args->build.memory_budget = n * 1024 * 1024;
    }
  }
  const std::vector<std::string> &positional = parsed.operands;
  if (!args->stamp.empty()) {
    if (!positional.empty() || !args->from.empty() || !args->verify.empty() || args->check ||
        args->dry_run || !args->sign.empty()) {
      return Usage("--stamp takes only --product and --version");
    }
    if (args->product.empty() || args->version.empty()) {
      return Usage("--stamp needs --product and --version");
    }
  }
  if (!args->product.empty() && !args->version.empty()) {
    const ProductRecord record{args->product, args->version};
    std::string why;
    if (!FitsProductRecord(record, &why)) return Usage("the product record: " + why);
    args->plan.product_record = FormatProductRecord(record);
  }
  if (!args->stamp.empty()) return -1;
  const size_t wanted = args->verify.empty() ? 2 : 1;
  if (positional.size() != wanted) {
    return Usage(args->verify.empty() ? "expected NEW_DIR and OUTPUT.upk"
                                      : "--verify expects NEW_DIR only");
  }
  args->new_dir = positional[0];
  if (wanted == 2) args->output = positional[1];
  if (!args->verify.empty() && (args->check || args->dry_run)) {
    return Usage("--verify cannot be combined with --check or --dry-run");
  }
  if (args->check && args->dry_run) return Usage("--check needs an archive; drop --dry-run");
  if (args->product.size() > 63) return Usage("--product takes at most 63 bytes");
  if (args->version.size() > 31) return Usage("--version takes at most 31 bytes");
  args->plan.partial = !args->from.empty();
  return -1;
}

// The two trees and the plan made from them.
struct Planned {
  Tree new_tree, old_tree;
  Plan plan;
  const Tree *old() const { return plan.partial ? &old_tree : nullptr; }
};

// Scans the trees and decides the plan, printing warnings and refusals. Returns -1 when there is a
// plan, else the exit status.
int ScanAndPlan(const Args &args, const std::string &generated_dir, Planned *planned) {
  std::vector<std::string> problems, warnings;
  const bool scanned_new = ScanTree(args.new_dir, "new tree", &planned->new_tree, &problems);
  const bool scanned_old =
      !args.plan.partial || ScanTree(args.from, "old tree", &planned->old_tree, &problems);
  bool ok = false;
  if (scanned_new && scanned_old) {
    const bool clean = problems.empty();
    ok = MakePlan(args.plan.partial ? &planned->old_tree : nullptr, planned->new_tree, args.plan,
                  generated_dir, &planned->plan, &problems, &warnings) &&
         clean;
  }
  for (const std::string &w : warnings) fprintf(stderr, "make-update: warning: %s\n", w.c_str());
  if (ok) return -1;
  for (const std::string &p : problems) fprintf(stderr, "make-update: %s\n", p.c_str());
  if (!scanned_new || !scanned_old) return kExitFailure;
  fprintf(stderr, "make-update: refused: no update written\n");
  return kExitRefused;
}

// Writes `text` to the file `path`. False (printed) on failure.
bool WriteText(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "wb");
  const bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (!f || fclose(f) != 0 || !ok) {
    fprintf(stderr, "make-update: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// Writes the generated files (the precomplete list, the product record) into `dir`, where the
// build and the check read them. False (printed) on failure.
bool WriteGenerated(const Plan &plan, const std::string &dir) {
  return WriteText(dir + "/" + kPrecompleteName, plan.precomplete) &&
         (plan.product_record.empty() ||
          WriteText(dir + "/" + kProductRecordName, plan.product_record));
}

// --stamp: writes the product record into the release tree `dir`. Returns the exit status.
int Stamp(const Args &args) {
  const std::string path = args.stamp + "/" + kProductRecordName;
  if (!WriteText(path, args.plan.product_record)) return kExitFailure;
  printf("make-update: stamped %s: product %s, version %s\n", path.c_str(), args.product.c_str(),
         args.version.c_str());
  return 0;
}

// The updater that --check and --verify run: --updater, else $MAKE_UPDATE_UPDATER, else the one
// beside this program.
CheckSettings CheckSettingsFor(const Args &args) {
  CheckSettings check;
  check.updater = args.updater;
  if (check.updater.empty() && getenv("MAKE_UPDATE_UPDATER")) {
    check.updater = getenv("MAKE_UPDATE_UPDATER");
  }
  if (check.updater.empty()) check.updater = DefaultUpdaterPath();
  return check;
}

// How many instructions of each kind, and the members' total compressed size.
struct Summary {
  size_t adds = 0, patches = 0, removals = 0;
  uint64_t total = 0;
};

Summary Summarise(const std::vector<Instruction> &instructions) {
  Summary summary;
  auto starts = [](const std::string &text, const char *keyword) {
    return text.compare(0, strlen(keyword), keyword) == 0;
  };
  for (const Instruction &ins : instructions) {
    summary.total += ins.member_size;
    if (starts(ins.text, manifest::kAddSymlink)) {
      continue;  // the links have their own note
    } else if (starts(ins.text, manifest::kPatch)) {
      ++summary.patches;
    } else if (starts(ins.text, manifest::kAdd)) {
      ++summary.adds;
    } else if (!starts(ins.text, manifest::kType)) {
      ++summary.removals;
    }
  }
  return summary;
}

void PrintDryRun(const std::vector<Instruction> &instructions, const Summary &summary) {
  for (const Instruction &ins : instructions) {
    printf("%12llu  %s\n", static_cast<unsigned long long>(ins.member_size), ins.text.c_str());
  }
  printf("%12llu  total of the members (%zu adds, %zu patches, %zu removals)\n",
         static_cast<unsigned long long>(summary.total), summary.adds, summary.patches,
         summary.removals);
}

// Reads the secret key for --sign; the check then trusts its public key. Prints the problem.
bool LoadSigningKey(const std::string &path, upk_signature::SecretKey *key, CheckSettings *check) {
  std::string error;
  if (!upk_signature::ReadSecretKeyFile(path.c_str(), key, &error)) {
    fprintf(stderr, "make-update: --sign: %s\n", error.c_str());
    return false;
  }
  check->trusted_key = upk_signature::FormatPublicKey(key->key + upk_signature::kPublicKeySize);
  return true;
}

// Checks the signature of `archive` with the key that the check trusts. Prints the outcome.
bool CheckSignature(const std::string &archive, const CheckSettings &check) {
  upk_signature::PublicKey key;
  std::string detail;
  if (!upk_signature::ParsePublicKey(check.trusted_key.data(), check.trusted_key.size(), &key,
                                     &detail)) {
    fprintf(stderr, "make-update: CHECK FAILED: %s\n", detail.c_str());
    return false;
  }
  key.origin = "the public half of the --sign key";
  ScopedFile fp(fopen(archive.c_str(), "rb"));
  size_t trusted = 0;
  const bool ok = fp && upk_signature::Verify(fp.get(), {key}, &trusted, &detail) ==
                            upk_signature::Verdict::kTrusted;
  if (!fp) detail = "cannot open " + archive;
  fprintf(ok ? stdout : stderr, "make-update: %s%s\n",
          ok ? "signature check passed: " : "CHECK FAILED: ", detail.c_str());
  return ok;
}

// Signs the written archive with `key` (wiped afterwards); removes the archive when that fails.
bool SignOutput(const std::string &output, upk_signature::SecretKey *key) {
  std::string sign_error;
  const int signed_rv = SignArchive(output.c_str(), *key, &sign_error);
  sodium_memzero(key->key, sizeof(key->key));
  if (signed_rv != 0) {
    unlink(output.c_str());
    fprintf(stderr, "make-update: cannot sign %s (removed): %s\n", output.c_str(),
            sign_error.c_str());
    return false;
  }
  printf("make-update: signed %s with key %s\n", output.c_str(),
         upk_signature::KeyIdHex(key->id).c_str());
  return true;
}

// Writes the archive from the built members and reports it; with --check, applies it and removes
// it again when the check fails; with --sign, signs it first. Returns the exit status.
int WriteAndCheck(const Args &args, const std::vector<Instruction> &instructions,
                  const Summary &summary, const MemberStore &store, const Planned &planned,
                  const std::string &precomplete_source, const CheckSettings &check,
                  upk_signature::SecretKey *secret_key) {
  std::string error;
  if (!WriteArchive(instructions, store, args.output, args.product, args.version, &error)) {
    fprintf(stderr, "make-update: %s\n", error.c_str());
    return kExitFailure;
  }
  if (!args.sign.empty() && !SignOutput(args.output, secret_key)) return kExitFailure;
  struct stat st;
  const unsigned long long size = stat(args.output.c_str(), &st) == 0 ? st.st_size : 0;
  printf("make-update: wrote %s: %s update, %zu adds, %zu patches, %zu removals, %llu bytes\n",
         args.output.c_str(), args.plan.partial ? "partial" : "complete", summary.adds,
         summary.patches, summary.removals, size);
  if (!args.check) return 0;
  if (!args.sign.empty() && !CheckSignature(args.output, check)) {
    unlink(args.output.c_str());
    fprintf(stderr, "make-update: CHECK FAILED, %s removed\n", args.output.c_str());
    return kExitCheckFailed;
  }
  std::string report;
  if (!CheckUpdate(args.output, planned.old(), planned.plan, precomplete_source, check, &report)) {
    unlink(args.output.c_str());
    fprintf(stderr, "make-update: CHECK FAILED, %s removed:\n%s\n", args.output.c_str(),
            report.c_str());
    return kExitCheckFailed;
  }
  printf("make-update: check passed: %s\n", report.c_str());
  return 0;
}

int Run(const Args &args) {
  // Staging beside the output, so that the archive's temporary file and the members share a disk.
  std::string error;
  const std::string staging =
      MakeTempFolder(args.output.empty() || args.dry_run ? "" : ParentDirectory(args.output),
                     ".make-update-", "a staging folder", &error);
  if (staging.empty()) {
    fprintf(stderr, "make-update: %s\n", error.c_str());
    return kExitFailure;
  }
  struct Cleanup {
    std::string path;
    ~Cleanup() { RemoveTree(path); }
  } cleanup{staging};
  const std::string precomplete_source = staging + "/" + kPrecompleteName;
  if (args.product.empty() != args.version.empty()) {
    fprintf(stderr,
            "make-update: warning: no product record written: it needs both --product and "
            "--version\n");
  }

  Planned planned;
  const int refused = ScanAndPlan(args, staging, &planned);
  if (refused >= 0) return refused;
  // The members go to one unnamed scratch file there; a dry run keeps only their sizes.
  MemberStore store;
  if (!args.dry_run && args.verify.empty() && !store.Open(staging, &error)) {
    fprintf(stderr, "make-update: %s\n", error.c_str());
    return kExitFailure;
  }
  if (!WriteGenerated(planned.plan, staging)) return kExitFailure;

  CheckSettings check = CheckSettingsFor(args);
  if ((args.check || !args.verify.empty()) && access(check.updater.c_str(), X_OK) != 0) {
    fprintf(stderr, "make-update: the updater %s cannot be run (use --updater PATH)\n",
            check.updater.c_str());
    return kExitUsage;
  }
  upk_signature::SecretKey secret_key;
  // The secret leaves memory on every way out, not only after signing.
  struct Wipe {
    upk_signature::SecretKey *key;
    ~Wipe() { sodium_memzero(key->key, sizeof(key->key)); }
  } wipe{&secret_key};
  if (!args.sign.empty() && !LoadSigningKey(args.sign, &secret_key, &check)) return kExitFailure;
  if (!args.verify.empty()) {
    if (!args.sign.empty() && !CheckSignature(args.verify, check)) return kExitCheckFailed;
    std::string report;
    const bool ok =
        CheckUpdate(args.verify, planned.old(), planned.plan, precomplete_source, check, &report);
    fprintf(ok ? stdout : stderr, "make-update: %s%s\n",
            ok ? "check passed: " : "CHECK FAILED: ", report.c_str());
    return ok ? 0 : kExitCheckFailed;
  }

  BuildSettings build = args.build;
  build.progress = args.progress == 1 || (args.progress == -1 && isatty(2));
  // Only compression can tell whether files fit in an archive; when the sizes alone cannot rule
  // out that they do not, the build stops as soon as the members are known to take too much.
  if (!args.dry_run) {
    build.archive_limit = kArchiveLimit;
    const uint64_t worst = WorstCaseArchiveSize(planned.plan);
    if (worst > kArchiveLimit) {
      fprintf(stderr,
              "make-update: warning: this update could take up to %llu bytes (its files as if "
              "they did not compress), more than the %llu bytes (500 MiB) an archive holds; the "
              "build stops as soon as the compressed members are known not to fit\n",
              static_cast<unsigned long long>(worst),
              static_cast<unsigned long long>(kArchiveLimit));
    }
  }
  if (!BuildMembers(&planned.plan, &store, build, &error)) {
    fprintf(stderr, "make-update: %s\n", error.c_str());
    return kExitFailure;
  }
  const std::vector<Instruction> instructions = Instructions(planned.plan);
  const Summary summary = Summarise(instructions);
  if (!planned.plan.links.empty()) {
    // Only archives that make links use the instruction: an updater that does not know it refuses
    // the whole manifest.
    printf(
        "make-update: note: %zu symbolic link%s made with \"%s\": the archive needs an updater "
        "that knows \"%s\" (an older one refuses it with 5 and changes nothing)\n",
        planned.plan.links.size(), planned.plan.links.size() == 1 ? " is" : "s are",
        manifest::kAddSymlink, manifest::kAddSymlink);
  }
  if (args.dry_run) {
    PrintDryRun(instructions, summary);
    return 0;
  }
  return WriteAndCheck(args, instructions, summary, store, planned, precomplete_source, check,
                       &secret_key);
}

}  // namespace

int main(int argc, char **argv) {
  // Thousands of compressors and suffix arrays of a few hundred kilobytes each: keep their memory
  // in the heap for reuse instead of mapping fresh pages for every file.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest value the allocator accepts
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  Args args;
  const int parsed = ParseArgs(argc, argv, &args);
  if (parsed >= 0) return parsed;
  if (args.version_request) return PrintToolVersion("make-update");
  if (args.help) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (!args.stamp.empty()) return Stamp(args);
  for (const std::string *input : {&args.new_dir, &args.from, &args.verify, &args.sign}) {
    if (!input->empty() && !InputReadable("make-update", *input)) return kExitUnreadableInput;
  }
  return Run(args);
}
