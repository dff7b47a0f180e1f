// SPDX-License-Identifier: MIT
// Making a patch that turns one byte string (the old file) into another (the new file). Exact
// matches are found in the sorted suffixes of the old file, extended into approximate matches, and
// written as add/copy/seek triples with their diff and extra bytes. Failure is reported as a
// MakePatchStatus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum class MakePatchStatus {
  kOk,
  kTooLarge,  // a file of 4 GiB or more, or a difference the 32-bit fields cannot describe
  kNoMemory,  // the suffix array could not be allocated or sorted
  kNoIndex,   // Make was called without a successful Index before it
};

// A readable sentence for a status, e.g. for a tool's error message.
const char *MakePatchStatusText(MakePatchStatus status);

// How the scan chooses and extends matches. Every setting makes a valid patch; they differ only in
// how small it compresses.
struct MatchSettings {
  // A new alignment is taken when its exact match beats what the current alignment reproduces of
  // the same bytes by more than `margin` plus `margin_per_seek_byte` for each byte of the jump's
  // size: far jumps cost more in the control block than near ones.
  int margin = 1;
  int margin_per_seek_byte = 4;
  // An alignment is extended over differing bytes while, for each differing byte, at least this
  // many agreeing ones come with it: a differing byte in the diff block costs more than a plain
  // byte in the extra block, the more so in text.
  int mismatch_weight = 1;
};

// Settings for machine code and other binary data: many short matches, since the bytes that differ
// there (moved addresses) repeat and compress well in the diff block.
constexpr MatchSettings kBinarySettings{1, 4, 1};
// Settings for text (source code, scripts, markup): fewer and longer matches, since each match
// costs a control triple that compresses poorly while text left to the extra block compresses
// well, and a differing byte of text is cheaper there than in the diff block.
constexpr MatchSettings kTextSettings{0, 14, 4};

// The settings that suit `data` (the new file): kTextSettings when a sample of it is text (no
// NUL bytes and hardly any other control characters), else kBinarySettings.
MatchSettings ChooseMatchSettings(const uint8_t *data, size_t size);

// Makes patches in two steps so that the new file need not be in memory while the old file's
// suffixes are sorted (the step that needs the most memory): Index(old), then Make(new).
class PatchMaker {
 public:
  PatchMaker() = default;
  ~PatchMaker();
  PatchMaker(const PatchMaker &) = delete;
  PatchMaker &operator=(const PatchMaker &) = delete;

  // Sorts the suffixes of the old file. The index takes about 3 bytes per old byte below 16 MiB,
  // 4 below 2 GiB and 8 above (4 or 8 more while sorting). Returns kOk, kTooLarge for an old file
  // of 4 GiB or more, or kNoMemory; on failure no index is kept.
  // REQUIRES: `old_data` holds `old_size` bytes (null allowed for 0) and stays valid and unchanged
  // until Make has returned.
  [[nodiscard]] MakePatchStatus Index(const uint8_t *old_data, size_t old_size);

  // Makes the complete patch file (header and the three blocks) that turns the indexed old file
  // into `new_data`, in `*patch`. A new file of up to 1 MiB is matched with both kBinarySettings
  // and kTextSettings and the patch that compresses smaller with bzip2 is kept; a larger one uses
  // ChooseMatchSettings, except that text whose text-settings scan finds fewer than one match per
  // 4 KiB (few edits) is matched with kBinarySettings. The index is released before the patch is
  // written, so each Index serves one Make. Returns kOk, kNoIndex, or kTooLarge for a new file of 4
  // GiB or more or a seek beyond 2 GiB; on failure `*patch` is left empty.
  [[nodiscard]] MakePatchStatus Make(const uint8_t *new_data, size_t new_size,
                                     std::vector<uint8_t> *patch);
  // The same with the given settings only.
  [[nodiscard]] MakePatchStatus Make(const uint8_t *new_data, size_t new_size,
                                     const MatchSettings &settings, std::vector<uint8_t> *patch);

  // Makes the next Index store suffix positions in `bytes` bytes (3, 4 or 8) when the old file
  // allows it, instead of the smallest width that fits. The patch is the same; this exists so that
  // every width can be exercised on small inputs.
  void ForceIndexWidth(int bytes) { forced_width_ = bytes; }

 private:
  struct Triple;
  void Release();
  size_t Entry(size_t i) const;
  MakePatchStatus FindTriples(const uint8_t *new_data, int64_t new_size,
                              const MatchSettings &settings, std::vector<Triple> *triples) const;
  MakePatchStatus MakeSmallest(const uint8_t *new_data, size_t new_size,
                               const MatchSettings *candidates, size_t count,
                               std::vector<uint8_t> *patch);
  MakePatchStatus Write(const std::vector<Triple> &triples, const uint8_t *new_data,
                        size_t new_size, std::vector<uint8_t> *patch) const;
  size_t Longest(const uint8_t *text, size_t size, int64_t hint, size_t *position) const;

  const uint8_t *old_ = nullptr;
  size_t old_size_ = 0;
  bool indexed_ = false;
  int forced_width_ = 0;
  int width_ = 0;                      // bytes per suffix position in `suffixes_`
  unsigned char *suffixes_ = nullptr;  // mapped memory, `mapped_` bytes
  size_t mapped_ = 0;
  std::vector<uint64_t> buckets_;  // first suffix of each two-byte prefix, 65537 entries
};

// Index(old) then Make(new) on a fresh PatchMaker.
[[nodiscard]] MakePatchStatus MakePatch(const uint8_t *old_data, size_t old_size,
                                        const uint8_t *new_data, size_t new_size,
                                        std::vector<uint8_t> *patch);
