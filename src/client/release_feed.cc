// SPDX-License-Identifier: MIT
// The release feed's layout and signature (release_feed.h).
#include "client/release_feed.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

namespace release_feed {
namespace {

using Json = nlohmann::ordered_json;

bool IsHex(const std::string &text, size_t size) {
  return text.size() == size && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string Base64(const std::string &bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char *>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();  // the terminating zero
  return out;
}

bool FromBase64(const std::string &text, std::string *bytes) {
  bytes->assign(text.size(), '\0');
  size_t length = 0;
  if (sodium_base642bin(reinterpret_cast<unsigned char *>(bytes->data()), bytes->size(),
                        text.c_str(), text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  bytes->resize(length);
  return true;
}

std::string Message(const std::string &body) { return kSignedContext + body; }

// Typed look-ups that never throw: false when the key is missing (and not optional) or of
// another type.
bool GetString(const Json &j, const char *key, bool required, std::string *out) {
  const auto it = j.find(key);
  if (it == j.end()) return !required;
  if (!it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

bool GetNumber(const Json &j, const char *key, bool required, uint64_t *out) {
  const auto it = j.find(key);
  if (it == j.end()) return !required;
  if (!it->is_number_unsigned()) return false;
  *out = it->get<uint64_t>();
  return true;
}

bool Refuse(std::string *error, const std::string &why) {
  *error = why;
  return false;
}

}  // namespace

bool ValidVersion(const std::string &version) {
  if (version.empty() || version.size() > 31 || version[0] == '.') return false;
  return std::all_of(version.begin(), version.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
           c == '_' || c == '+' || c == '-';
  });
}

int CompareVersions(const std::string &a, const std::string &b) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool number = digit(a[i]);
    if (number != digit(b[j])) return number ? 1 : -1;  // a number sorts after a word
    size_t ei = i, ej = j;
    while (ei < a.size() && digit(a[ei]) == number) ++ei;
    while (ej < b.size() && digit(b[ej]) == number) ++ej;
    std::string ra = a.substr(i, ei - i), rb = b.substr(j, ej - j);
    if (number) {
      ra.erase(0, std::min(ra.find_first_not_of('0'), ra.size()));
      rb.erase(0, std::min(rb.find_first_not_of('0'), rb.size()));
      if (ra.size() != rb.size()) return ra.size() < rb.size() ? -1 : 1;
    }
    if (const int c = ra.compare(rb)) return c < 0 ? -1 : 1;
    i = ei, j = ej;
  }
  return i < a.size() ? 1 : j < b.size() ? -1 : 0;
}

std::string BodyText(const Feed &feed) {
  Json j;
  j["product"] = feed.product;
  j["channel"] = feed.channel;
  j["version"] = feed.version;
  j["serial"] = feed.serial;
  j["published"] = feed.published;
  j["expires"] = feed.expires;
  j["critical"] = feed.critical;
  if (!feed.minimum_version.empty()) j["minimum_version"] = feed.minimum_version;
  if (!feed.notes.empty()) j["notes"] = feed.notes;
  if (!feed.notes_url.empty()) j["notes_url"] = feed.notes_url;
  j["rollout"] = {{"percent", feed.rollout.percent}, {"span_seconds", feed.rollout.span_seconds}};
  j["archives"] = Json::array();
  for (const ArchiveEntry &a : feed.archives) {
    Json entry;
    entry["kind"] = a.kind;
    if (a.kind == "partial") entry["applies_to"] = a.applies_to;
    entry["file"] = a.file;
    entry["size"] = a.size;
    entry["sha256"] = a.sha256;
    entry["signatures"] = Json::array();
    for (const ArchiveSignature &s : a.signatures) {
      entry["signatures"].push_back({{"algorithm", s.algorithm}, {"key_id", s.key_id}});
    }
    j["archives"].push_back(entry);
  }
  return j.dump(2) + "\n";
}

bool ParseBody(const std::string &text, int schema, Feed *feed, std::string *error) {
  const Json j = Json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return Refuse(error, "the feed is not a JSON object");
  *feed = Feed();
  feed->schema = schema;
  const bool v2 = schema == kSchema;
  if (!v2) feed->channel.clear();
  uint64_t percent = 100;
  if (!GetString(j, "product", true, &feed->product) ||
      !GetString(j, "version", true, &feed->version) ||
      !GetString(j, "channel", v2, &feed->channel) || !GetNumber(j, "serial", v2, &feed->serial) ||
      !GetNumber(j, "published", v2, &feed->published) ||
      !GetNumber(j, "expires", v2, &feed->expires) ||
      !GetString(j, "minimum_version", false, &feed->minimum_version) ||
      !GetString(j, "notes", false, &feed->notes) ||
      !GetString(j, "notes_url", false, &feed->notes_url)) {
    return Refuse(error, "the feed lacks a key or has one of the wrong type");
  }
  if (const auto it = j.find("critical"); it != j.end()) {
    if (!it->is_boolean()) return Refuse(error, "the feed's \"critical\" is not true or false");
    feed->critical = it->get<bool>();
  }
  if (const auto it = j.find("rollout"); it != j.end()) {
    if (!it->is_object() || !GetNumber(*it, "percent", true, &percent) || percent > 100 ||
        !GetNumber(*it, "span_seconds", true, &feed->rollout.span_seconds)) {
      return Refuse(error, "the feed's \"rollout\" is malformed");
    }
    feed->rollout.percent = unsigned(percent);
  }
  if (!ValidVersion(feed->version) ||
      (!feed->minimum_version.empty() && !ValidVersion(feed->minimum_version))) {
    return Refuse(error, "the feed names a version that is not one");
  }
  const auto archives = j.find("archives");
  if (archives == j.end() || !archives->is_array() || archives->empty()) {
    return Refuse(error, "the feed lists no archives");
  }
  for (const Json &a : *archives) {
    ArchiveEntry e;
    if (!a.is_object() || !GetString(a, "kind", true, &e.kind) ||
        !GetString(a, "file", true, &e.file) || !GetNumber(a, "size", true, &e.size) ||
        !GetString(a, "sha256", true, &e.sha256) ||
        !GetString(a, "applies_to", e.kind == "partial", &e.applies_to)) {
      return Refuse(error, "an archive entry of the feed is malformed");
    }
    if ((e.kind != "complete" && e.kind != "partial") ||
        (e.kind == "partial" && !ValidVersion(e.applies_to))) {
      return Refuse(error, "an archive entry of the feed has an unknown kind or base version");
    }
    if (e.file.empty() || e.file[0] == '.' || e.file.find('/') != std::string::npos ||
        !IsHex(e.sha256, 64)) {
      return Refuse(error, "the feed's entry for \"" + e.file + "\" is malformed");
    }
    if (e.size == 0 || e.size > kMaxArchiveSize) {
      return Refuse(error, "the feed announces " + e.file + " with " + std::to_string(e.size) +
                               " bytes, outside 1 to " + std::to_string(kMaxArchiveSize));
    }
    if (const auto sigs = a.find("signatures"); sigs != a.end() && sigs->is_array()) {
      for (const Json &s : *sigs) {
        ArchiveSignature sig;
        if (s.is_object() && GetString(s, "algorithm", true, &sig.algorithm) &&
            GetString(s, "key_id", true, &sig.key_id)) {
          e.signatures.push_back(sig);
        }
      }
    }
    feed->archives.push_back(e);
  }
  if (feed->archives.front().kind != "complete") {
    return Refuse(error, "the feed's first archive is not the complete update");
  }
  return true;
}

FeedSignature Sign(const std::string &body, const upk_signature::SecretKey &key) {
  const std::string message = Message(body);
  FeedSignature out;
  out.key_id = upk_signature::KeyIdHex(key.id);
  out.signature.assign(crypto_sign_BYTES, '\0');
  crypto_sign_detached(reinterpret_cast<unsigned char *>(out.signature.data()), nullptr,
                       reinterpret_cast<const unsigned char *>(message.data()), message.size(),
                       key.key);
  return out;
}

std::string EnvelopeText(const std::string &body, const std::vector<FeedSignature> &signatures) {
  Json j;
  j["schema"] = kSchema;
  j["feed"] = body;
  j["signatures"] = Json::array();
  for (const FeedSignature &s : signatures) {
    j["signatures"].push_back(
        {{"algorithm", "ed25519"}, {"key_id", s.key_id}, {"signature", Base64(s.signature)}});
  }
  return j.dump(2) + "\n";
}

bool SplitEnvelope(const std::string &text, int *schema, std::string *body,
                   std::vector<FeedSignature> *signatures, std::string *error) {
  signatures->clear();
  if (text.size() > kMaxFeedSize) return Refuse(error, "the feed is larger than 1 MiB");
  const Json j = Json::parse(text, nullptr, false);
  uint64_t number = 0;
  if (j.is_discarded() || !j.is_object() || !GetNumber(j, "schema", true, &number)) {
    return Refuse(error, "this is not a release feed");
  }
  if (number == uint64_t(kUnsignedSchema)) {
    *schema = kUnsignedSchema;
    *body = text;
    return true;
  }
  if (number != uint64_t(kSchema)) {
    return Refuse(error, "the feed's schema " + std::to_string(number) +
                             " is not one this client reads (1, 2)");
  }
  *schema = kSchema;
  const auto sigs = j.find("signatures");
  if (!GetString(j, "feed", true, body) || sigs == j.end() || !sigs->is_array() ||
      sigs->size() > kMaxSignatures) {
    return Refuse(error, "the feed's envelope is malformed");
  }
  for (const Json &s : *sigs) {
    FeedSignature sig;
    std::string algorithm, encoded;
    if (!s.is_object() || !GetString(s, "algorithm", true, &algorithm) ||
        !GetString(s, "key_id", true, &sig.key_id) || !GetString(s, "signature", true, &encoded)) {
      return Refuse(error, "a signature of the feed is malformed");
    }
    if (algorithm != "ed25519") continue;  // another algorithm: not one this reader checks
    if (!FromBase64(encoded, &sig.signature) || sig.signature.size() != crypto_sign_BYTES) {
      return Refuse(error, "a signature of the feed is malformed");
    }
    signatures->push_back(sig);
  }
  return true;
}

Trust Verify(const std::string &body, const std::vector<FeedSignature> &signatures,
             const std::vector<upk_signature::PublicKey> &keys, std::string *detail) {
  if (signatures.empty()) {
    *detail = "the feed is not signed";
    return Trust::kUnsigned;
  }
  const std::string message = Message(body);
  bool trusted_key_seen = false;
  for (const FeedSignature &s : signatures) {
    for (const upk_signature::PublicKey &key : keys) {
      if (s.key_id != upk_signature::KeyIdHex(key.id)) continue;
      trusted_key_seen = true;
      if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(s.signature.data()),
                                      reinterpret_cast<const unsigned char *>(message.data()),
                                      message.size(), key.key) == 0) {
        *detail = "signed by key " + s.key_id;
        return Trust::kTrusted;
      }
    }
  }
  *detail = trusted_key_seen ? "the feed's signature does not match it"
                             : "the feed is signed only by keys this installation does not trust";
  return trusted_key_seen ? Trust::kBad : Trust::kOtherKeys;
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
  const int saved = errno;
  fclose(f);
  if (read_error) {
    *error = "cannot read " + path + ": " + strerror(saved);
    return false;
  }
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, digest);
  char text[2 * crypto_hash_sha256_BYTES + 1];
  sodium_bin2hex(text, sizeof text, digest, sizeof digest);
  *hex = text;
  return true;
}

}  // namespace release_feed
