// SPDX-License-Identifier: MIT
// make-release's feed: the signed releases.json of a release, and the re-signing of a published
// feed with a new serial and expiry (nothing rebuilt). Functions return false with one sentence in
// `*error`; the feed file is replaced durably or left as it was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/release_feed.h"
#include "release.h"

namespace make_release {

struct FeedSettings {
  std::string channel = release_feed::kDefaultChannel;
  unsigned expires_days = release_feed::kDefaultExpiryDays;
  uint64_t serial = 0;  // 0: the time of publication in seconds (or one more than the last)
  std::string notes, notes_url, minimum_version;
  bool critical = false;
  release_feed::Rollout rollout;
};

// Parses "--channel", "--expires", "--serial", "--notes", "--notes-url", "--minimum-version",
// "--critical" and "--rollout" with its value `value` (ignored for --critical) into `settings`.
// Returns 1 when taken, 0 when `option` is not one of them, -1 (with `*error`) for a bad value.
int ParseFeedOption(const std::string &option, const std::string &value, FeedSettings *settings,
                    std::string *error);

// Writes `path` (releases.json): the body of the release, signed by every secret key file in
// `sign_keys` (none: an unsigned feed, which installations with keys refuse).
bool WriteFeed(const FeedSettings &settings, const std::string &product, const std::string &version,
               const std::vector<Archive> &archives, const std::vector<std::string> &sign_keys,
               const std::string &path, std::string *error);

// make-release resign: its own command line (argv[0] is "resign"); returns the exit status.
int ResignMain(int argc, char **argv);

}  // namespace make_release
