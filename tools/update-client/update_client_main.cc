// SPDX-License-Identifier: MIT
// update-client: the command line of the update client library (client/update_client.h). Each
// failure prints one line starting "update-client: " on standard error and gives a non-zero exit
// status; messages go to standard output, progress to standard error, flushed line by line.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "client/update_client.h"
#include "common/arguments.h"
#include "common/tool_version.h"

namespace {

const char kHelp[] =
    "NAME\n"
    "    update-client - check, download, stage and swap in updates of an installation\n"
    "\n"
    "SYNOPSIS\n"
    "    update-client fetch --feed URL --install DIR --current VERSION [OPTIONS] [--in-place]\n"
    "                        [--manual]\n"
    "    update-client check --feed URL --install DIR --current VERSION [OPTIONS] [--manual]\n"
    "    update-client start --install DIR [--updater PATH] [--confirm-starts N]\n"
    "    update-client confirm --install DIR\n"
    "    update-client state --install DIR\n"
    "    update-client --help | --version\n"
    "\n"
    "DESCRIPTION\n"
    "    check reads the signed release feed (docs/release-feed.md), verifies its signature with\n"
    "    DIR/update-keys and its product, channel, expiry, serial and version, and says whether\n"
    "    a newer release is offered (with its notes). fetch does the same, downloads the archive\n"
    "    meant for VERSION (resuming a cut download), checks its size and SHA-256 against the\n"
    "    signed feed and starts a staged update in the background (with --in-place: leaves it\n"
    "    for an in-place update, with progress window, at the next start). start, on the\n"
    "    application's start, swaps a staged update in, or applies it in place when that is not\n"
    "    possible or when the installation changed after the staged copy was made; it does not\n"
    "    swap while another instance of the application holds the installation (the library's\n"
    "    uc_hold). state prints idle, staging, staged, pending, failed or unconfirmed.\n"
    "\n"
    "    Confirmed updates: a swap keeps the previous installation at DIR.previous (one more\n"
    "    copy of the installation on disk) until the new version is confirmed. confirm, run\n"
    "    once the application's own health check passed, marks the new version good and\n"
    "    removes DIR.previous. Each start counts the new version's starts (the swapping one is\n"
    "    the first); once it has been started N times (--confirm-starts, default 3) without\n"
    "    confirmation, start swaps the previous installation back in one exchange, marks the\n"
    "    version bad (it is not offered again; a newer release is) and removes the new copy.\n"
    "\n"
    "    Nothing gets stuck: start (and fetch, for a staged update) runs an update that was\n"
    "    interrupted once more, which first puts the installation back; a partial update that\n"
    "    does not match the installation (failed: 4, 6 or 42) is followed by the complete one;\n"
    "    an archive that failed is not tried again; after other failures fetch waits 1, 2, 4,\n"
    "    8, 16, then 24 hours. The updater is checked to run (--version) before any download.\n"
    "    State: DIR/updates/0/client-state.json (docs/update-client.md).\n"
    "\n"
    "    A release in a phased rollout reaches a growing share of installations: this one's\n"
    "    turn comes when the share passes its bucket, a number drawn once and kept in the state\n"
    "    file; until then check and fetch say from when (\"version V is being rolled out: ...\")\n"
    "    and exit 0. A critical release, and a check with --manual, is offered at once.\n"
    "\n"
    "OPTIONS\n"
    "    --updater PATH     the updater (default DIR/updater); it runs from a copy in\n"
    "                       DIR/updates/0, checked to start before it is relied on\n"
    "    --product ID       refuse feeds of another product (default: the one accepted before)\n"
    "    --channel NAME     the channel followed (default: the one accepted before, or stable)\n"
    "    --manual           with check or fetch: the user asked for this check (a menu item,\n"
    "                       a button), so a release still being rolled out is offered now;\n"
    "                       checks on a timer or at the application's start leave it out\n"
    "    --confirm-starts N the starts a new version gets to be confirmed in (0 to 1000,\n"
    "                       default 3); 0 keeps no previous installation and swaps none back\n"
    "    --progress=MODE    human (default: one updating line on a terminal, every tenth\n"
    "                       percent otherwise) or json (one JSON object per line)\n"
    "    -h, --help         print this text and exit; --version as the only argument: print\n"
    "                       the version of update-client\n"
    "    A value may be joined to its option with '=' or follow it (--feed URL, --feed=URL).\n"
    "\n"
    "EXIT STATUS\n"
    "    0 done or nothing to do; 1 failure (retry later); 2 usage, or the installation DIR\n"
    "    cannot be read (\"update-client: cannot read DIR: REASON\"); 3 refused (the feed or\n"
    "    the download is not what it claims, or not for this installation).\n";

bool json_progress = false;
int last_percent = -1;

void Message(void *, const char *line) {
  if (json_progress) {
    std::string text;
    for (const char *p = line; *p; ++p) {
      if (*p == '"' || *p == '\\') text += '\\';
      if (static_cast<unsigned char>(*p) >= 0x20) text += *p;
    }
    printf("{\"event\":\"message\",\"text\":\"%s\"}\n", text.c_str());
  } else {
    printf("update-client: %s\n", line);
  }
}

void Progress(void *, const char *file, uint64_t done, uint64_t total, double rate) {
  const int percent = total ? int(done * 100 / total) : 100;
  if (json_progress) {
    if (percent == last_percent) return;
    last_percent = percent;
    printf("{\"event\":\"progress\",\"file\":\"%s\",\"done\":%llu,\"total\":%llu,\"rate\":%.0f}\n",
           file, (unsigned long long)done, (unsigned long long)total, rate);
    return;
  }
  const bool tty = isatty(2);
  if (percent == last_percent || (!tty && percent % 10 != 0)) return;
  last_percent = percent;
  const double left = rate > 0 ? double(total - done) / rate : 0;
  fprintf(stderr,
          "%supdate-client: downloading %s: %3d%% (%llu of %llu bytes, %.1f MB/s, %d:%02d left)%s",
          tty ? "\r" : "", file, percent, (unsigned long long)done, (unsigned long long)total,
          rate / 1e6, int(left) / 60, int(left) % 60, tty ? "" : "\n");
  if (tty && percent == 100) fputc('\n', stderr);
}

int Fail(int code, const std::string &message) {
  fprintf(stderr, "update-client: %s\n", message.c_str());
  return code;
}

}  // namespace

int main(int argc, char **argv) {
  const ParsedArguments parsed = ParseArguments(argc, argv, 1,
                                                {{"--in-place", false},
                                                 {"--manual", false},
                                                 {"--progress", true},
                                                 {"--feed", true},
                                                 {"--install", true},
                                                 {"--current", true},
                                                 {"--updater", true},
                                                 {"--product", true},
                                                 {"--channel", true},
                                                 {"--confirm-starts", true}});
  if (parsed.version) return PrintToolVersion("update-client");
  if (parsed.help) return fputs(kHelp, stdout), 0;
  setvbuf(stdout, nullptr, _IOLBF, 0);  // each line reaches a pipe when it is written
  if (parsed.error == ArgumentError::kMissingValue) {
    return Fail(2, parsed.offending + " needs a value");
  }
  if (parsed.error != ArgumentError::kNone) {
    return Fail(2, "unexpected argument " + parsed.offending + " (see --help)");
  }
  std::string command, feed, install, current, updater, product, channel, confirm_starts;
  bool in_place = false, manual = false;
  for (const ParsedArguments::Option &option : parsed.options) {
    const std::string &arg = option.name;
    if (arg == "--in-place" || arg == "--manual") {
      (arg == "--manual" ? manual : in_place) = true;
    } else if (arg == "--progress") {
      if (option.value != "json" && option.value != "human") {
        return Fail(2, "unexpected argument --progress=" + option.value + " (see --help)");
      }
      json_progress = option.value == "json";
    } else {
      std::string &slot = arg == "--feed"      ? feed
                          : arg == "--install" ? install
                          : arg == "--current" ? current
                          : arg == "--updater" ? updater
                          : arg == "--product" ? product
                          : arg == "--channel" ? channel
                                               : confirm_starts;
      slot = option.value;
    }
  }
  for (const std::string &arg : parsed.operands) {
    if (!command.empty() || (arg != "fetch" && arg != "start" && arg != "check" && arg != "state" &&
                             arg != "confirm")) {
      return Fail(2, "unexpected argument " + arg + " (see --help)");
    }
    command = arg;
  }
  if (command.empty() || install.empty()) return Fail(2, "see --help");
  if ((command == "fetch" || command == "check") && (feed.empty() || current.empty())) {
    return Fail(2, command + " needs --feed and --current");
  }
  if (manual && command != "fetch" && command != "check") {
    return Fail(2, "--manual goes with check or fetch");
  }
  unsigned starts = 3;
  if (!confirm_starts.empty()) {
    char *end = nullptr;
    const unsigned long n = strtoul(confirm_starts.c_str(), &end, 10);
    if (!isdigit(static_cast<unsigned char>(confirm_starts[0])) || *end || n > 1000) {
      return Fail(2, "--confirm-starts: not a number from 0 to 1000: " + confirm_starts);
    }
    starts = unsigned(n);
  }
  if (!InputReadable("update-client", install)) return kExitUnreadableInput;
  uc_client *c = uc_open(install.c_str());
  if (!c) return Fail(1, "cannot initialise libsodium or libcurl");
  uc_set_messages(c, Message, nullptr);
  uc_set_progress(c, Progress, nullptr);
  if (!updater.empty()) uc_set_updater(c, updater.c_str());
  (void)uc_set_confirm_starts(c, starts);
  if (!product.empty()) uc_set_product(c, product.c_str());
  if (!channel.empty() && uc_set_channel(c, channel.c_str()) != UC_OK) {
    uc_close(c);
    return Fail(2, "--channel: not a channel name");
  }
  if (!feed.empty()) uc_set_feed(c, feed.c_str());
  if (!current.empty()) uc_set_installed_version(c, current.c_str());
  uc_set_manual(c, manual);
  uc_result rc = UC_OK;
  if (command == "fetch") {
    rc = uc_fetch(c, in_place);
  } else if (command == "check") {
    int available = 0;
    rc = uc_check(c, &available);
    if (rc == UC_OK && available) {
      Message(nullptr, (std::string("version ") + uc_release_version(c) + " is available").c_str());
      // The notes, a line of output for each of their lines.
      const std::string notes = uc_release_notes(c);
      for (size_t at = 0; at < notes.size();) {
        const size_t end = std::min(notes.find('\n', at), notes.size());
        Message(nullptr, ("notes: " + notes.substr(at, end - at)).c_str());
        at = end + 1;
      }
    }
  } else if (command == "start") {
    rc = uc_start(c);
  } else if (command == "confirm") {
    rc = uc_confirm(c);
  } else {
    printf("%s\n", uc_state(c));
  }
  if (rc != UC_OK) Fail(rc, uc_error(c));
  uc_close(c);
  return rc;
}
