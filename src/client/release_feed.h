// SPDX-License-Identifier: MIT
// The release feed, releases.json (docs/release-feed.md): its layout, its signature and its rules
// of choice, shared by the writer (make-release) and the update client, so that both read and write
// the same bytes. Functions report failure as false (or a Trust verdict) with one sentence in
// `*error`; nothing here prints, logs or touches the network.
//
// Schema 2 is an envelope around the signed text: {"schema": 2, "feed": TEXT, "signatures": [...]}.
// TEXT is itself a JSON object (the body below); each signature is an Ed25519 signature, made with
// an archive-signing key (upk keygen), over kSignedContext followed by exactly the bytes of TEXT,
// and a reader parses those same bytes only after a trusted signature matched them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/upk_signature.h"

namespace release_feed {

constexpr char kFileName[] = "releases.json";
constexpr int kSchema = 2;          // the signed layout
constexpr int kUnsignedSchema = 1;  // the older, unsigned layout: read only without trusted keys
// Prefixed to the feed text in the signed message, so that no archive signature (or anything else
// signed with the same key) can pass as a feed signature.
constexpr char kSignedContext[] = "UPK release feed 2\n";
// A feed is a few KiB; a reader stops reading at this size.
constexpr uint64_t kMaxFeedSize = 1 << 20;
// No archive announced by a feed may be larger than this (a reader refuses the feed).
constexpr uint64_t kMaxArchiveSize = uint64_t(8) << 30;
// make-release --expires: the default lifetime of a signature, in days.
constexpr unsigned kDefaultExpiryDays = 30;
constexpr unsigned kMaxSignatures = 8;
constexpr char kDefaultChannel[] = "stable";

struct ArchiveSignature {  // what an archive carries, listed for the publisher's records
  std::string algorithm, key_id;
};

struct ArchiveEntry {
  std::string kind;        // "complete" or "partial"
  std::string applies_to;  // the installed version a partial update was built from
  std::string file;        // relative to the feed's address, no "/"
  uint64_t size = 0;       // at most kMaxArchiveSize
  std::string sha256;      // 64 lower-case hex digits
  std::vector<ArchiveSignature> signatures;
};

// A phased rollout: the share of installations offered the release grows from 0 at `published`
// to `percent` after `span_seconds` (at once when that is 0). 100 offers it to every installation.
struct Rollout {
  unsigned percent = 100;
  uint64_t span_seconds = 0;
};

struct Feed {
  int schema = kSchema;
  std::string product, channel = kDefaultChannel, version;
  uint64_t serial = 0;           // grows with every publication of the channel
  uint64_t published = 0;        // Unix seconds
  uint64_t expires = 0;          // Unix seconds; a reader refuses the feed from then on
  bool critical = false;         // offered at once, whatever the rollout
  std::string minimum_version;   // installations older than this take the complete update
  std::string notes, notes_url;  // release notes: text, or a link
  Rollout rollout;
  std::vector<ArchiveEntry> archives;  // the complete update first
};

struct FeedSignature {
  std::string key_id;     // 16 hex digits, as upk info shows it
  std::string signature;  // 64 bytes
};

// 1 to 31 of letters, digits, ".", "_", "+", "-", not starting with ".".
bool ValidVersion(const std::string &version);
// Orders versions run by run: runs of digits as numbers, other runs byte-wise, a version that is
// a prefix of the other first ("1.10" > "1.9" > "1"). Returns <0, 0 or >0.
int CompareVersions(const std::string &a, const std::string &b);

// The body's text (JSON, one line per key, ending in a line feed). `feed` must be valid.
std::string BodyText(const Feed &feed);
// Parses and checks a body: every key of the right type, versions valid, sizes within
// kMaxArchiveSize, file names without "/", SHA-256 in hex, the complete update present. With
// `schema` kUnsignedSchema the older keys only are required (serial, times and channel absent).
[[nodiscard]] bool ParseBody(const std::string &text, int schema, Feed *feed, std::string *error);

// Signs `body` with `key`.
FeedSignature Sign(const std::string &body, const upk_signature::SecretKey &key);
// The envelope (schema 2) around `body` and its signatures.
std::string EnvelopeText(const std::string &body, const std::vector<FeedSignature> &signatures);
// Splits a file into its schema, the body's bytes and the signatures. A schema-1 file is its own
// body, with no signatures. False for anything that is not a feed, or of another schema.
[[nodiscard]] bool SplitEnvelope(const std::string &text, int *schema, std::string *body,
                                 std::vector<FeedSignature> *signatures, std::string *error);

enum class Trust {
  kTrusted,    // a trusted key's signature matches the body
  kUnsigned,   // no signature at all
  kOtherKeys,  // signatures only of keys that are not trusted
  kBad,        // a trusted key's signature is there, and does not match
};
// Checks `body` against `keys`; `*detail` names the key that signed, or says why not.
Trust Verify(const std::string &body, const std::vector<FeedSignature> &signatures,
             const std::vector<upk_signature::PublicKey> &keys, std::string *detail);

// The archive's "sha256" as the feed lists it: the SHA-256 of the file at `path`, in 64 lower-case
// hex digits, with the file's size in bytes. False with a sentence in `*error` when the file cannot
// be opened or read to its end (`*hex` and `*size` are then unspecified). Needs sodium_init().
[[nodiscard]] bool FileSha256(const std::string &path, std::string *hex, uint64_t *size,
                              std::string *error);

}  // namespace release_feed
