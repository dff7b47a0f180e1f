// SPDX-License-Identifier: MIT
// make-release's feed writer and its resign command (feed_writer.h).
#include "feed_writer.h"

#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/durable_file.h"
#include "base/result.h"
#include "base/whole_file.h"
#include "common/arguments.h"
#include "common/tool_version.h"

namespace make_release {
namespace {

constexpr uint64_t kDay = 86400;

bool Number(const std::string &text, uint64_t max, uint64_t *out) {
  char *end = nullptr;
  *out = strtoull(text.c_str(), &end, 10);
  return !text.empty() && text[0] != '-' && *end == '\0' && *out <= max;
}

// Signs `*feed` with the key files and writes it to `path`. Filled in here: the serial when it is
// 0, the time of publication when it is 0 (a re-signed feed keeps its own: a phased rollout counts
// from it), and the expiry, `expires_days` from now.
bool SignAndWrite(release_feed::Feed *feed_io, unsigned expires_days, uint64_t last_serial,
                  const std::vector<std::string> &sign_keys, const std::string &path,
                  std::string *error) {
  release_feed::Feed &feed = *feed_io;
  if (sodium_init() < 0) return *error = "libsodium cannot be initialised", false;
  const uint64_t now = uint64_t(time(nullptr));
  if (feed.published == 0) feed.published = now;
  feed.expires = now + expires_days * kDay;
  if (feed.serial == 0) feed.serial = now > last_serial ? now : last_serial + 1;
  const std::string body = release_feed::BodyText(feed);
  std::vector<release_feed::FeedSignature> signatures;
  for (const std::string &file : sign_keys) {
    upk_signature::SecretKey key;
    if (!upk_signature::ReadSecretKeyFile(file.c_str(), &key, error)) return false;
    signatures.push_back(release_feed::Sign(body, key));
    sodium_memzero(key.key, sizeof key.key);
  }
  const std::string text = release_feed::EnvelopeText(body, signatures);
  if (replace_file_durably(path.c_str(), text.data(), text.size(), 0644) != result::kOk) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

const char kResignUsage[] =
    "NAME\n"
    "    make-release resign - sign a published feed again with a new serial and expiry\n"
    "\n"
    "SYNOPSIS\n"
    "    make-release resign --sign SECRET [--sign SECRET]... [--expires DAYS]\n"
    "                        [--rollout P[/DAYS]] [--critical] FEED\n"
    "\n"
    "DESCRIPTION\n"
    "    Reads the feed FEED (releases.json), gives it the next serial (the current time in\n"
    "    seconds, or one more than its serial when that is not larger) and a new expiry, signs\n"
    "    it with every key and replaces FEED. Nothing else changes unless an option below says\n"
    "    so (the time of publication stays, as a phased rollout counts from it) and no archive\n"
    "    is read or rebuilt: run it (by hand or from a scheduled job) before the feed expires,\n"
    "    so that a channel without a new release stays fresh. The old signatures are not\n"
    "    checked; the publisher's keys make the new ones.\n"
    "\n"
    "OPTIONS\n"
    "    --sign SECRET       a secret key file (upk keygen); repeatable, at most 8\n"
    "    --expires DAYS      days until the feed expires (default 30, at most 3650)\n"
    "    --rollout P[/DAYS]  a new phase of the rollout: P percent of installations, reached\n"
    "                        DAYS days after the publication (default 0: at once); 100 offers\n"
    "                        the release to every installation\n"
    "    --critical          mark the release critical: offered at once to every installation\n"
    "\n"
    "EXIT STATUS\n"
    "    0 success; 1 the feed cannot be used or written, or a key cannot be used; 2 usage, or\n"
    "    FEED or a key cannot be read (\"make-release: cannot read PATH: REASON\").\n";

}  // namespace

int ParseFeedOption(const std::string &option, const std::string &value, FeedSettings *s,
                    std::string *error) {
  uint64_t n = 0;
  if (option == "--channel") {
    if (value.empty() || !release_feed::ValidVersion(value)) {
      return *error = "--channel takes 1 to 31 letters, digits, . _ + -", -1;
    }
    s->channel = value;
  } else if (option == "--expires") {
    if (!Number(value, 3650, &n) || n == 0) return *error = "--expires takes 1 to 3650 days", -1;
    s->expires_days = unsigned(n);
  } else if (option == "--serial") {
    if (!Number(value, UINT64_MAX, &n) || n == 0) return *error = "--serial takes a number", -1;
    s->serial = n;
  } else if (option == "--notes") {
    s->notes = value;
  } else if (option == "--notes-url") {
    s->notes_url = value;
  } else if (option == "--minimum-version") {
    if (!release_feed::ValidVersion(value)) return *error = "--minimum-version: not a version", -1;
    s->minimum_version = value;
  } else if (option == "--critical") {
    s->critical = true;
  } else if (option == "--rollout") {
    // PERCENT or PERCENT/DAYS
    const size_t slash = value.find('/');
    uint64_t days = 0;
    if (!Number(value.substr(0, slash), 100, &n) ||
        (slash != std::string::npos && !Number(value.substr(slash + 1), 3650, &days))) {
      return *error = "--rollout takes PERCENT (0 to 100) or PERCENT/DAYS", -1;
    }
    s->rollout.percent = unsigned(n);
    s->rollout.span_seconds = days * kDay;
  } else {
    return 0;
  }
  return 1;
}

bool WriteFeed(const FeedSettings &settings, const std::string &product, const std::string &version,
               const std::vector<Archive> &archives, const std::vector<std::string> &sign_keys,
               const std::string &path, std::string *error) {
  release_feed::Feed feed;
  feed.product = product;
  feed.channel = settings.channel;
  feed.version = version;
  feed.serial = settings.serial;
  feed.critical = settings.critical;
  feed.minimum_version = settings.minimum_version;
  feed.notes = settings.notes;
  feed.notes_url = settings.notes_url;
  feed.rollout = settings.rollout;
  for (const Archive &a : archives) {
    release_feed::ArchiveEntry e{a.kind, a.applies_to, a.file, a.size, a.sha256, {}};
    for (const Signature &s : a.signatures) e.signatures.push_back({s.algorithm, s.key_id});
    feed.archives.push_back(e);
  }
  return SignAndWrite(&feed, settings.expires_days, 0, sign_keys, path, error);
}

int ResignMain(int argc, char **argv) {
  std::vector<std::string> keys;
  FeedSettings changes;  // --expires, --rollout and --critical
  bool new_rollout = false;
  std::string path, error;
  const ParsedArguments parsed = ParseArguments(
      argc, argv, 1,
      {{"--sign", true}, {"--expires", true}, {"--rollout", true}, {"--critical", false}});
  if (parsed.version) return PrintToolVersion("make-release");
  if (parsed.help) return fputs(kResignUsage, stdout), 0;
  if (parsed.error == ArgumentError::kMissingValue) {
    fprintf(stderr, "make-release: %s needs a value\n", parsed.offending.c_str());
    return 2;
  }
  if (parsed.error != ArgumentError::kNone || parsed.operands.size() > 1) {
    fprintf(stderr, "make-release: resign: unexpected argument %s (see resign --help)\n",
            parsed.error != ArgumentError::kNone ? parsed.offending.c_str()
                                                 : parsed.operands[1].c_str());
    return 2;
  }
  for (const ParsedArguments::Option &option : parsed.options) {
    if (option.name == "--sign") {
      keys.push_back(option.value);
    } else if (ParseFeedOption(option.name, option.value, &changes, &error) < 0) {
      fprintf(stderr, "make-release: %s\n", error.c_str());
      return 2;
    }
    new_rollout = new_rollout || option.name == "--rollout";
  }
  const unsigned days = changes.expires_days;
  if (!parsed.operands.empty()) path = parsed.operands[0];
  if (path.empty() || keys.empty() || keys.size() > release_feed::kMaxSignatures) {
    fprintf(stderr, "make-release: resign needs FEED and 1 to 8 --sign keys (see resign --help)\n");
    return 2;
  }
  if (!InputReadable("make-release", path)) return kExitUnreadableInput;
  for (const std::string &key : keys) {
    if (!InputReadable("make-release", key)) return kExitUnreadableInput;
  }
  char *data = nullptr;
  size_t size = 0;
  WholeFileOptions options;
  options.max_size = release_feed::kMaxFeedSize;
  if (ReadWholeFile(path.c_str(), options, &data, &size) != FileRead::kOk) {
    fprintf(stderr, "make-release: cannot read %s\n", path.c_str());
    return 1;
  }
  const std::string text(data, size);
  free(data);
  int schema = 0;
  std::string body;
  std::vector<release_feed::FeedSignature> old;
  release_feed::Feed feed;
  if (!release_feed::SplitEnvelope(text, &schema, &body, &old, &error) ||
      !release_feed::ParseBody(body, schema, &feed, &error)) {
    fprintf(stderr, "make-release: %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  if (schema != release_feed::kSchema) {
    fprintf(stderr, "make-release: %s is of schema %d; build the release again\n", path.c_str(),
            schema);
    return 1;
  }
  const uint64_t last = feed.serial;
  feed.serial = 0;
  if (new_rollout) feed.rollout = changes.rollout;
  feed.critical = feed.critical || changes.critical;
  if (!SignAndWrite(&feed, days, last, keys, path, &error)) {
    fprintf(stderr, "make-release: %s\n", error.c_str());
    return 1;
  }
  printf("make-release: re-signed %s: serial %llu, expires in %u days\n", path.c_str(),
         (unsigned long long)feed.serial, days);
  return 0;
}

}  // namespace make_release
