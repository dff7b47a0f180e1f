// SPDX-License-Identifier: MIT
// make-release: turns a new release tree and the trees of earlier releases into what a web server
// needs: the complete update, a partial update from each earlier version and the feed
// releases.json. Every failure prints lines starting "make-release: " and a non-zero exit status.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/arguments.h"
#include "common/beside_self.h"
#include "common/tool_version.h"
#include "feed_writer.h"
#include "release.h"

namespace {

using namespace make_release;

const char kUsage[] =
    "NAME\n"
    "    make-release - build the update archives and the feed of a release\n"
    "\n"
    "SYNOPSIS\n"
    "    make-release [OPTIONS] --product ID --version V [--previous V=DIR]... NEW_DIR OUT_DIR\n"
    "    make-release resign --sign SECRET... [--expires DAYS] FEED\n"
    "    make-release --help | --version\n"
    "\n"
    "DESCRIPTION\n"
    "    Writes into OUT_DIR (created if missing) the complete update of NEW_DIR, a partial\n"
    "    update from each --previous release tree, and releases.json, the feed that tells an\n"
    "    installation which file to download (docs/release-feed.md). Each archive is built by\n"
    "    make-update and checked by it with the real updater (make-update --check); several run\n"
    "    at once, sharing the memory budget and the cores. A partial update of 90% or more of the\n"
    "    complete update's size is left out: installations of that version take the complete one.\n"
    "    releases.json is written last, by rename, and not at all when a build or a check fails;\n"
    "    then the archives of the run are removed again, and OUT_DIR when the run created it.\n"
    "    An OUT_DIR that is not empty is refused unless --force: use a new one for each release.\n"
    "\n"
    "    An archive holds at most 500 MiB (524288000 bytes, compressed). A release whose\n"
    "    complete update would be larger fails; split the application's data into parts that\n"
    "    are updated apart, or leave out data that the application can fetch by itself.\n"
    "\n"
    "    While it runs, make-release prints a line on standard error as each archive is done\n"
    "    (its name, the share of the archives done and the time so far), when standard error is\n"
    "    a terminal and --quiet is not given.\n"
    "\n"
    "    Files: PRODUCT-V-complete.upk and PRODUCT-OLD-to-V-partial.upk (\"update\" when the\n"
    "    product is empty).\n"
    "\n"
    "OPTIONS\n"
    "    --product ID        product identifier (at most 63 bytes); with it, every archive\n"
    "                        also installs the product record update-product of the new\n"
    "                        version (make-update --help), and installations that have one\n"
    "                        refuse another product's archives and older versions; stamp the\n"
    "                        tree of a first installation with make-update --stamp\n"
    "    --version V         the new release's version: 1 to 31 letters, digits, . _ + -\n"
    "    --previous V=DIR    an earlier release: its version and its tree (repeatable)\n"
    "    --optional PATH, --if-missing PATH, --rmrfdir\n"
    "                        passed on to make-update (see make-update --help)\n"
    "    --sign SECRET       sign every archive with the secret key file SECRET (upk keygen;\n"
    "                        repeatable, at most 8: while a key is being rotated, sign with the\n"
    "                        old and the new one); make-update's check runs the updater\n"
    "                        trusting the first key, and the feed lists each signature;\n"
    "                        the same keys sign the feed (schema 2, docs/release-feed.md);\n"
    "                        without --sign the feed is unsigned and installations that\n"
    "                        trust keys refuse it\n"
    "    --channel NAME      the feed's channel (default stable)\n"
    "    --expires DAYS      the feed's signature expires after DAYS (default 30); renew it\n"
    "                        with make-release resign (see make-release resign --help)\n"
    "    --serial N          the feed's serial (default: the time of publication in seconds);\n"
    "                        clients refuse a serial below the last one they accepted\n"
    "    --notes TEXT, --notes-url URL\n"
    "                        release notes shown by the client (update-client check): their\n"
    "                        text, or a link to them\n"
    "    --minimum-version V installations older than V take the complete update, not a\n"
    "                        partial one\n"
    "    --critical          offered at once to every installation, whatever the rollout\n"
    "    --rollout P[/DAYS]  a phased rollout: offer the release to P percent (0 to 100) of\n"
    "                        the installations, growing from 0 to P over DAYS days after\n"
    "                        publication (default 100: every installation at once); each\n"
    "                        installation's random bucket decides when its turn comes, a\n"
    "                        manual check in the client skips the wait; widen it later with\n"
    "                        make-release resign --rollout\n"
    "    --make-update PATH  the make-update program (default: beside make-release)\n"
    "    --updater PATH      the updater make-update checks with (default: make-update's)\n"
    "    --jobs N            archives built at once (default: one per core)\n"
    "    --memory MIB        memory all builds may hold together (default: half the machine's\n"
    "                        memory, between 512 and 8192 MiB); each build gets an equal share\n"
    "    --force             build into an OUT_DIR that is not empty (files of the same\n"
    "                        names are replaced; nothing else there is touched)\n"
    "    --quiet             no progress lines\n"
    "    -h, --help          print this text and exit\n"
    "    --version           as the only argument: print the version of make-release\n"
    "    A value may also be joined to its option with '=' (--product=ID); \"--\" ends the\n"
    "    options.\n"
    "\n"
    "EXIT STATUS\n"
    "    0 success; 1 a build or check failed, or a file cannot be written; 2 usage error, or an\n"
    "    input (a tree, a key of --sign) cannot be read (\"make-release: cannot read PATH:\n"
    "    REASON\").\n"
    "\n"
    "EXAMPLE\n"
    "    make-release --product app --version 3.0 --previous 1.0=app-1.0 \\\n"
    "        --previous 2.0=app-2.0 app-3.0 site/app\n";

int Usage(const std::string &message) {
  fprintf(stderr, "make-release: %s\nTry 'make-release --help'.\n", message.c_str());
  return 2;
}

bool ParseNumber(const std::string &text, unsigned long long *out) {
  char *end = nullptr;
  *out = strtoull(text.c_str(), &end, 10);
  return !text.empty() && text[0] != '-' && *end == '\0' && *out > 0 && *out <= (1ull << 20);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "resign") == 0) return ResignMain(argc - 1, argv + 1);
  const ParsedArguments parsed = ParseArguments(
      argc, argv, 1, {{"--force", false},    {"--quiet", false},          {"--rmrfdir", false},
                      {"--critical", false}, {"--product", true},         {"--version", true},
                      {"--previous", true},  {"--optional", true},        {"--if-missing", true},
                      {"--sign", true},      {"--make-update", true},     {"--updater", true},
                      {"--jobs", true},      {"--memory", true},          {"--channel", true},
                      {"--expires", true},   {"--serial", true},          {"--notes", true},
                      {"--notes-url", true}, {"--minimum-version", true}, {"--rollout", true}});
  if (parsed.version) return PrintToolVersion("make-release");
  if (parsed.help) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (parsed.error != ArgumentError::kNone) return Usage(parsed.Problem());
  ReleaseSettings s;
  bool quiet = false;
  FeedSettings feed;
  for (const ParsedArguments::Option &option : parsed.options) {
    const std::string &arg = option.name;
    const std::string &v = option.value;
    std::string why;
    const int taken = ParseFeedOption(arg, v, &feed, &why);
    if (taken < 0) return Usage(why);
    if (taken > 0) continue;
    unsigned long long n = 0;
    if (arg == "--force" || arg == "--quiet") {
      (arg == "--force" ? s.force : quiet) = true;
    } else if (arg == "--rmrfdir") {
      s.make_update_options.push_back(arg);
    } else if (arg == "--product") {
      s.product = v;
    } else if (arg == "--version") {
      s.version = v;
    } else if (arg == "--previous") {
      const size_t eq = v.find('=');
      if (eq == std::string::npos || eq + 1 == v.size()) {
        return Usage("--previous takes VERSION=DIR, not \"" + v + "\"");
      }
      s.previous.push_back({v.substr(0, eq), v.substr(eq + 1)});
    } else if (arg == "--optional" || arg == "--if-missing") {
      s.make_update_options.insert(s.make_update_options.end(), {arg, v});
    } else if (arg == "--sign") {
      if (s.sign_keys.size() == 8) return Usage("--sign: at most 8 keys");
      s.sign_keys.push_back(v);
    } else if (arg == "--make-update") {
      s.make_update = v;
    } else if (arg == "--updater") {
      s.updater = v;
    } else if (arg == "--jobs" || arg == "--memory") {
      if (!ParseNumber(v, &n)) return Usage(arg + " needs a positive number, not \"" + v + "\"");
      if (arg == "--jobs") {
        s.jobs = unsigned(n);
      } else {
        s.memory_mib = n;
      }
    }
  }
  const std::vector<std::string> &positional = parsed.operands;
  if (positional.size() != 2) return Usage("expected NEW_DIR and OUT_DIR");
  s.progress = !quiet && isatty(2);
  s.new_tree = positional[0];
  s.output = positional[1];
  if (!ValidVersion(s.version)) return Usage("--version needs 1 to 31 of: letters digits . _ + -");
  if (s.product.size() > 63) return Usage("--product takes at most 63 bytes");
  for (size_t i = 0; i < s.previous.size(); ++i) {
    const std::string &v = s.previous[i].version;
    if (!ValidVersion(v)) return Usage("--previous: \"" + v + "\" is not a usable version");
    if (v == s.version) return Usage("--previous " + v + " is the new version itself");
    for (size_t j = 0; j < i; ++j) {
      if (s.previous[j].version == v) return Usage("--previous " + v + " is given twice");
    }
  }
  std::vector<std::string> inputs = {s.new_tree};
  for (const Previous &p : s.previous) inputs.push_back(p.tree);
  inputs.insert(inputs.end(), s.sign_keys.begin(), s.sign_keys.end());
  for (const std::string &input : inputs) {
    if (!InputReadable("make-release", input)) return kExitUnreadableInput;
  }
  if (s.make_update.empty()) s.make_update = BesideSelf("make-update");
  if (s.make_update.empty()) s.make_update = "make-update";
  if (access(s.make_update.c_str(), X_OK) != 0) {
    return Usage("cannot run " + s.make_update + " (use --make-update PATH)");
  }

  std::vector<Archive> archives;
  std::vector<std::string> notes;
  std::string error;
  if (!BuildRelease(s, &archives, &notes, &error)) {
    fprintf(stderr, "make-release: %s\n", error.c_str());
    return 1;
  }
  for (const std::string &note : notes) printf("make-release: %s\n", note.c_str());
  if (!WriteFeed(feed, s.product, s.version, archives, s.sign_keys, s.output + "/releases.json",
                 &error)) {
    fprintf(stderr, "make-release: %s\n", error.c_str());
    return 1;
  }
  for (const Archive &a : archives) {
    printf("make-release: %s  %s%s  %llu bytes  sha256 %s\n", a.file.c_str(), a.kind.c_str(),
           a.kind == "partial" ? (" from " + a.applies_to).c_str() : "",
           static_cast<unsigned long long>(a.size), a.sha256.c_str());
  }
  printf("make-release: wrote %s/releases.json (%zu archives)\n", s.output.c_str(),
         archives.size());
  return 0;
}
