// SPDX-License-Identifier: MIT
#include "kbdiff/make_patch.h"

#include <bzlib.h>
#include <divsufsort.h>
#include <divsufsort64.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <limits>

#include "patch/crc32.h"
#include "patch/patch_format.h"

using namespace patch_format;

// One instruction of the patch, kept until the index is released and the blocks are written.
struct PatchMaker::Triple {
  uint32_t add;
  uint32_t copy;
  int64_t seek;
};

namespace {

constexpr size_t kBuckets = 65536;
// A new file up to this size is patched with each of the settings and the patch that compresses
// smallest is kept; a larger one gets the settings that suit its kind.
constexpr size_t kTrialLimit = size_t{1} << 20;
// A larger text file with fewer matches than one per this many bytes has changed in few places.
constexpr size_t kBytesPerEdit = 4096;
// Among suffixes that match equally long, up to this many on each side of the one found are
// compared, and the one nearest the current alignment is taken: it keeps seeks short and follows
// the old file's order where blocks of the new file repeat.
constexpr size_t kTieCandidates = 64;

// Length of the common prefix of a[0, a_size) and b[0, b_size), eight bytes at a time.
inline size_t MatchLength(const uint8_t *a, size_t a_size, const uint8_t *b, size_t b_size) {
  const size_t limit = a_size < b_size ? a_size : b_size;
  size_t i = 0;
  while (i + 8 <= limit) {
    uint64_t x, y;
    memcpy(&x, a + i, 8);
    memcpy(&y, b + i, 8);
    if (x != y) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      return i + static_cast<size_t>(__builtin_ctzll(x ^ y) >> 3);
#else
      return i + static_cast<size_t>(__builtin_clzll(x ^ y) >> 3);
#endif
    }
    i += 8;
  }
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

// The size of `data` compressed as an update archive stores it: one bzip2 stream, block size 9.
size_t CompressedSize(const std::vector<uint8_t> &data) {
  std::vector<char> out(data.size() + data.size() / 100 + 1024);
  unsigned int size = static_cast<unsigned int>(out.size());
  if (data.size() > std::numeric_limits<unsigned int>::max() / 2 ||
      BZ2_bzBuffToBuffCompress(out.data(), &size,
                               const_cast<char *>(reinterpret_cast<const char *>(data.data())),
                               static_cast<unsigned int>(data.size()), 9, 0, 0) != BZ_OK)
    return data.size();
  return size;
}

// Whether a sample of `data` is text: no NUL bytes and hardly any other control characters.
bool LooksLikeText(const uint8_t *data, size_t size) {
  // Up to 16 evenly spread pieces of 4 KiB.
  constexpr size_t kPieces = 16, kPiece = 4096;
  size_t sampled = 0, control = 0;
  for (size_t p = 0; p < kPieces; ++p) {
    const size_t start = size <= kPieces * kPiece ? p * kPiece : size / kPieces * p;
    if (start >= size) break;
    const size_t end = start + kPiece < size ? start + kPiece : size;
    for (size_t i = start; i < end; ++i) {
      const uint8_t c = data[i];
      if (c == 0) return false;
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') ++control;
    }
    sampled += end - start;
  }
  // One control character in a thousand still passes for text (escape sequences, form feeds).
  return sampled > 0 && control * 1000 <= sampled;
}

int64_t Abs(int64_t v) { return v < 0 ? -v : v; }

int SizeInBytes(int64_t v) {
  int bytes = 0;
  for (uint64_t u = static_cast<uint64_t>(Abs(v)); u != 0; u >>= 8) ++bytes;
  return bytes;
}

}  // namespace

PatchMaker::~PatchMaker() { Release(); }

void PatchMaker::Release() {
  if (suffixes_) munmap(suffixes_, mapped_);
  suffixes_ = nullptr;
  mapped_ = 0;
  buckets_.clear();
  buckets_.shrink_to_fit();
  indexed_ = false;
}

inline size_t PatchMaker::Entry(size_t i) const {
  const unsigned char *p = suffixes_ + i * static_cast<size_t>(width_);
  if (width_ == 3) return size_t{p[0]} | (size_t{p[1]} << 8) | (size_t{p[2]} << 16);
  if (width_ == 4) {
    int32_t v;
    memcpy(&v, p, 4);
    return static_cast<size_t>(v);
  }
  int64_t v;
  memcpy(&v, p, 8);
  return static_cast<size_t>(v);
}

MakePatchStatus PatchMaker::Index(const uint8_t *old_data, size_t old_size) {
  Release();
  old_ = old_data;
  old_size_ = old_size;
  if (old_size > std::numeric_limits<uint32_t>::max()) return MakePatchStatus::kTooLarge;
  if (old_size == 0) {
    indexed_ = true;
    return MakePatchStatus::kOk;
  }
  const bool fits32 = old_size <= static_cast<size_t>(std::numeric_limits<saidx_t>::max());
  const bool fits24 = old_size < (size_t{1} << 24);
  int width = fits24 ? 3 : fits32 ? 4 : 8;
  if (forced_width_ == 8 || (forced_width_ == 4 && fits32)) width = forced_width_;
  const size_t sort_width = width == 8 ? 8 : 4;

  // Mapped rather than allocated, so that the part the packed positions no longer need can be
  // given back to the system at once.
  mapped_ = old_size * sort_width;
  void *memory = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    mapped_ = 0;
    return MakePatchStatus::kNoMemory;
  }
  suffixes_ = static_cast<unsigned char *>(memory);
  int sorted = sort_width == 8 ? divsufsort64(old_data, reinterpret_cast<saidx64_t *>(suffixes_),
                                              static_cast<saidx64_t>(old_size))
                               : divsufsort(old_data, reinterpret_cast<saidx_t *>(suffixes_),
                                            static_cast<saidx_t>(old_size));
  if (sorted != 0) {
    Release();
    return MakePatchStatus::kNoMemory;
  }
  width_ = static_cast<int>(sort_width);
  if (width == 3) {
    // Entry i moves from byte 4i to byte 3i; it is read before anything at or after 3i is written,
    // and 3i + 2 lies before entry i + 1, so no unread entry is overwritten.
    for (size_t i = 0; i < old_size; ++i) {
      const size_t v = Entry(i);
      unsigned char *to = suffixes_ + 3 * i;
      to[0] = static_cast<unsigned char>(v);
      to[1] = static_cast<unsigned char>(v >> 8);
      to[2] = static_cast<unsigned char>(v >> 16);
    }
    width_ = 3;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t keep = (3 * old_size + page - 1) / page * page;
    if (keep < mapped_) {
      munmap(suffixes_ + keep, mapped_ - keep);
      mapped_ = keep;
    }
  }

  // Sorted suffixes have non-decreasing two-byte keys; the one-byte suffix at the end sorts first
  // among those with its byte, exactly where the key (byte, 0) puts it.
  buckets_.assign(kBuckets + 1, old_size);
  size_t key = 0;
  for (size_t i = 0; i < old_size; ++i) {
    const size_t start = Entry(i);
    const size_t k =
        (size_t{old_data[start]} << 8) | (start + 1 < old_size ? old_data[start + 1] : 0);
    while (key <= k) buckets_[key++] = i;
  }
  indexed_ = true;
  return MakePatchStatus::kOk;
}

// The length of the longest common prefix of text[0, size) with any suffix of the old file, and in
// *position where such a suffix starts; of equally long ones, the one nearest `hint`.
size_t PatchMaker::Longest(const uint8_t *text, size_t size, int64_t hint, size_t *position) const {
  *position = 0;
  if (old_size_ == 0 || size == 0) return 0;
  auto lcp = [&](size_t start, size_t known) {
    return known +
           MatchLength(old_ + start + known, old_size_ - start - known, text + known, size - known);
  };
  size_t lo = 0, hi = old_size_ - 1;
  if (size >= 2) {
    const size_t k = (size_t{text[0]} << 8) | text[1];
    if (buckets_[k] < buckets_[k + 1]) {  // every match of two bytes or more lies in this bucket
      lo = buckets_[k];
      hi = buckets_[k + 1] - 1;
    }
  }
  size_t lo_len = lcp(Entry(lo), 0);
  size_t hi_len = lcp(Entry(hi), 0);
  // Every suffix between lo and hi shares min(lo_len, hi_len) bytes with the text, so each probe
  // compares only from there.
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    const size_t start = Entry(mid);
    const size_t len = lcp(start, lo_len < hi_len ? lo_len : hi_len);
    const size_t suffix_size = old_size_ - start;
    bool suffix_less;
    if (len == suffix_size || len == size)
      suffix_less = suffix_size < size;  // a proper prefix sorts first
    else
      suffix_less = old_[start + len] < text[len];
    if (suffix_less) {
      lo = mid;
      lo_len = len;
    } else {
      hi = mid;
      hi_len = len;
    }
  }
  const size_t best = lo_len >= hi_len ? lo : hi;
  const size_t best_len = lo_len >= hi_len ? lo_len : hi_len;
  *position = Entry(best);
  if (best_len == 0) return 0;
  // Equally long matches are neighbours of the one found.
  int64_t nearest = Abs(static_cast<int64_t>(*position) - hint);
  auto consider = [&](size_t start) {
    if (lcp(start, 0) != best_len) return false;
    const int64_t distance = Abs(static_cast<int64_t>(start) - hint);
    if (distance < nearest) {
      nearest = distance;
      *position = start;
    }
    return true;
  };
  for (size_t j = best, n = 0; j > 0 && n < kTieCandidates && consider(Entry(j - 1)); --j, ++n) {
  }
  for (size_t j = best + 1, n = 0; j < old_size_ && n < kTieCandidates && consider(Entry(j));
       ++j, ++n) {
  }
  return best_len;
}

// Scanning the new file, the current alignment (old offset minus new offset) is kept while it
// reproduces the text about as well as the best exact match found in the old file. When a match
// beats it by the margin, the bytes since the last switch are split into the forward extension of
// the last alignment (kept while more bytes agree than differ), bytes copied verbatim, and the
// backward extension of the new alignment.
MakePatchStatus PatchMaker::FindTriples(const uint8_t *new_data, int64_t new_size,
                                        const MatchSettings &settings,
                                        std::vector<Triple> *triples) const {
  const uint8_t *old_data = old_;
  const int64_t old_size = static_cast<int64_t>(old_size_);
  int64_t scan = 0, len = 0, pos = 0;
  int64_t last_scan = 0, last_pos = 0, last_offset = 0;
  const int64_t weight = settings.mismatch_weight, weight1 = weight + 1;
  while (scan < new_size) {
    int64_t old_score = 0;  // bytes of [scan, counted) that the current alignment reproduces
    int64_t counted = scan += len;
    for (; scan < new_size; ++scan) {
      size_t found = 0;
      len = static_cast<int64_t>(Longest(new_data + scan, static_cast<size_t>(new_size - scan),
                                         scan + last_offset, &found));
      pos = static_cast<int64_t>(found);
      for (; counted < scan + len; ++counted) {
        const int64_t at = counted + last_offset;
        if (at < old_size && old_data[at] == new_data[counted]) ++old_score;
      }
      if (len == old_score && len != 0) break;  // the current alignment explains the match
      const int64_t jump = pos - (scan + last_offset);
      if (len > old_score + settings.margin + settings.margin_per_seek_byte * SizeInBytes(jump))
        break;
      const int64_t at = scan + last_offset;
      if (at < old_size && old_data[at] == new_data[scan]) --old_score;
    }
    if (len == old_score && scan != new_size) continue;

    // Forward extension of the last alignment.
    int64_t length_forward = 0;
    {
      int64_t same = 0, best = 0;
      for (int64_t i = 0; last_scan + i < scan && last_pos + i < old_size;) {
        if (old_data[last_pos + i] == new_data[last_scan + i]) ++same;
        ++i;
        if (same * weight1 - i * weight > best * weight1 - length_forward * weight) {
          best = same;
          length_forward = i;
        }
      }
    }
    // Backward extension of the new one.
    int64_t length_back = 0;
    if (scan < new_size) {
      int64_t same = 0, best = 0;
      for (int64_t i = 1; scan >= last_scan + i && pos >= i; ++i) {
        if (old_data[pos - i] == new_data[scan - i]) ++same;
        if (same * weight1 - i * weight > best * weight1 - length_back * weight) {
          best = same;
          length_back = i;
        }
      }
    }
    // Where the two extensions overlap, cut where the most agreeing bytes are kept.
    if (last_scan + length_forward > scan - length_back) {
      const int64_t overlap = (last_scan + length_forward) - (scan - length_back);
      int64_t score = 0, best = 0, cut = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (new_data[last_scan + length_forward - overlap + i] ==
            old_data[last_pos + length_forward - overlap + i])
          ++score;
        if (new_data[scan - length_back + i] == old_data[pos - length_back + i]) --score;
        if (score > best) {
          best = score;
          cut = i + 1;
        }
      }
      length_forward += cut - overlap;
      length_back -= cut;
    }

    Triple t;
    t.add = static_cast<uint32_t>(length_forward);
    t.copy = static_cast<uint32_t>((scan - length_back) - (last_scan + length_forward));
    t.seek = (pos - length_back) - (last_pos + length_forward);
    if (t.seek < std::numeric_limits<int32_t>::min() ||
        t.seek > std::numeric_limits<int32_t>::max())
      return MakePatchStatus::kTooLarge;
    triples->push_back(t);

    last_scan = scan - length_back;
    last_pos = pos - length_back;
    last_offset = pos - scan;
  }
  return MakePatchStatus::kOk;
}

MakePatchStatus PatchMaker::Make(const uint8_t *new_data, size_t new_size,
                                 std::vector<uint8_t> *patch) {
  if (new_size <= kTrialLimit) {
    const MatchSettings both[] = {kBinarySettings, kTextSettings};
    return MakeSmallest(new_data, new_size, both, 2, patch);
  }
  if (!LooksLikeText(new_data, new_size))
    return MakeSmallest(new_data, new_size, &kBinarySettings, 1, patch);

  // Text: the text settings pay off where it changed in many places; where it changed in few, the
  // binary settings describe the few edits more tightly, and the scan that tells is a quick one.
  patch->clear();
  if (!indexed_) return MakePatchStatus::kNoIndex;
  if (new_size > std::numeric_limits<uint32_t>::max()) {
    Release();
    return MakePatchStatus::kTooLarge;
  }
  std::vector<Triple> triples;
  MakePatchStatus status =
      FindTriples(new_data, static_cast<int64_t>(new_size), kTextSettings, &triples);
  if (status == MakePatchStatus::kOk && triples.size() < new_size / kBytesPerEdit) {
    triples.clear();
    status = FindTriples(new_data, static_cast<int64_t>(new_size), kBinarySettings, &triples);
  }
  Release();
  if (status != MakePatchStatus::kOk) return status;
  return Write(triples, new_data, new_size, patch);
}

MakePatchStatus PatchMaker::Make(const uint8_t *new_data, size_t new_size,
                                 const MatchSettings &settings, std::vector<uint8_t> *patch) {
  return MakeSmallest(new_data, new_size, &settings, 1, patch);
}

MakePatchStatus PatchMaker::MakeSmallest(const uint8_t *new_data, size_t new_size,
                                         const MatchSettings *candidates, size_t count,
                                         std::vector<uint8_t> *patch) {
  patch->clear();
  if (!indexed_) return MakePatchStatus::kNoIndex;
  if (new_size > std::numeric_limits<uint32_t>::max()) {
    Release();
    return MakePatchStatus::kTooLarge;
  }
  std::vector<std::vector<Triple>> found(count);
  MakePatchStatus status = MakePatchStatus::kOk;
  for (size_t i = 0; i < count && status == MakePatchStatus::kOk; ++i)
    status = FindTriples(new_data, static_cast<int64_t>(new_size), candidates[i], &found[i]);
  Release();  // the patch is written without the index in memory
  if (status != MakePatchStatus::kOk) return status;
  if (count == 1) return Write(found[0], new_data, new_size, patch);

  size_t smallest = std::numeric_limits<size_t>::max();
  std::vector<uint8_t> candidate;
  for (size_t i = 0; i < count; ++i) {
    status = Write(found[i], new_data, new_size, &candidate);
    if (status != MakePatchStatus::kOk) {
      patch->clear();
      return status;
    }
    const size_t size = CompressedSize(candidate);
    if (size < smallest) {
      smallest = size;
      patch->swap(candidate);
    }
  }
  return MakePatchStatus::kOk;
}

MakePatchStatus PatchMaker::Write(const std::vector<Triple> &triples, const uint8_t *new_data,
                                  size_t new_size, std::vector<uint8_t> *patch) const {
  uint64_t diff_length = 0;
  for (const Triple &t : triples) diff_length += t.add;
  const uint64_t control_length = uint64_t{kTripleSize} * triples.size();
  const uint64_t extra_length = new_size - diff_length;
  if (control_length > std::numeric_limits<uint32_t>::max()) return MakePatchStatus::kTooLarge;

  patch->resize(kHeaderSize + control_length + diff_length + extra_length);
  uint8_t *header = patch->data();
  memcpy(header, kMagic, kMagicSize);
  StoreBE32(header + kSourceLengthOffset, static_cast<uint32_t>(old_size_));
  StoreBE32(header + kSourceCrcOffset, Crc32Bzip2(old_, old_size_));
  StoreBE32(header + kDestLengthOffset, static_cast<uint32_t>(new_size));
  StoreBE32(header + kControlLengthOffset, static_cast<uint32_t>(control_length));
  StoreBE32(header + kDiffLengthOffset, static_cast<uint32_t>(diff_length));
  StoreBE32(header + kExtraLengthOffset, static_cast<uint32_t>(extra_length));

  uint8_t *control = header + kHeaderSize;
  uint8_t *diff = control + control_length;
  uint8_t *extra = diff + diff_length;
  size_t old_pos = 0, new_pos = 0;
  for (const Triple &t : triples) {
    StoreBE32(control + kAddOffset, t.add);
    StoreBE32(control + kCopyOffset, t.copy);
    StoreBE32(control + kSeekOffset, static_cast<uint32_t>(static_cast<int32_t>(t.seek)));
    control += kTripleSize;
    for (uint32_t i = 0; i < t.add; ++i)
      diff[i] = static_cast<uint8_t>(new_data[new_pos + i] - old_[old_pos + i]);
    diff += t.add;
    memcpy(extra, new_data + new_pos + t.add, t.copy);
    extra += t.copy;
    new_pos += uint64_t{t.add} + t.copy;
    old_pos = static_cast<size_t>(static_cast<int64_t>(old_pos + t.add) + t.seek);
  }
  return MakePatchStatus::kOk;
}

MatchSettings ChooseMatchSettings(const uint8_t *data, size_t size) {
  return LooksLikeText(data, size) ? kTextSettings : kBinarySettings;
}

const char *MakePatchStatusText(MakePatchStatus status) {
  switch (status) {
    case MakePatchStatus::kOk:
      return "success";
    case MakePatchStatus::kTooLarge:
      return "the files are too large for the patch format (4 GiB or more, or a seek beyond 2 GiB)";
    case MakePatchStatus::kNoMemory:
      return "not enough memory to index the old file";
    case MakePatchStatus::kNoIndex:
      return "no old file has been indexed";
  }
  return "unknown status";
}

MakePatchStatus MakePatch(const uint8_t *old_data, size_t old_size, const uint8_t *new_data,
                          size_t new_size, std::vector<uint8_t> *patch) {
  PatchMaker maker;
  MakePatchStatus status = maker.Index(old_data, old_size);
  if (status != MakePatchStatus::kOk) {
    patch->clear();
    return status;
  }
  return maker.Make(new_data, new_size, patch);
}
