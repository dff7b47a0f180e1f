// SPDX-License-Identifier: MIT
#include "archive/bzip2_blocks.h"

#include <bzlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "archive/upk_reader.h"
#include "base/result.h"

namespace {

constexpr uint64_t kBlockMagic = 0x314159265359ull;
constexpr uint64_t kEndMagic = 0x177245385090ull;
constexpr uint64_t kMask48 = (uint64_t{1} << 48) - 1;
// A block that decodes to more than this is taken as a doubt (run-length data decodes up to about
// fifty times its block size): the stream is then decoded in order.
constexpr size_t kMaxBlockOutput = size_t{64} << 20;

// `count` (1 to 57) bits at bit offset `bit`, most significant first; zeros past the end.
uint64_t Bits(const char *data, size_t size, uint64_t bit, int count) {
  uint64_t word = 0;
  const size_t byte = static_cast<size_t>(bit / 8);
  if (byte + 8 <= size) {
    unsigned char b[8];
    memcpy(b, data + byte, 8);
    for (unsigned char c : b) word = (word << 8) | c;  // one load and a byte swap
  } else {
    for (size_t i = 0; i < 8; ++i) {
      word = (word << 8) | (byte + i < size ? static_cast<unsigned char>(data[byte + i]) : 0u);
    }
  }
  return (word << (bit % 8)) >> (64 - count);
}

}  // namespace

void Bzip2BitWriter::Put(uint64_t value, int count) {
  acc_ = (acc_ << count) | (value & ((uint64_t{1} << count) - 1));
  held_ += count;
  while (held_ >= 8) {
    held_ -= 8;
    out_->push_back(static_cast<char>((acc_ >> held_) & 0xff));
  }
}

void Bzip2BitWriter::Copy(const char *data, size_t size, uint64_t from, uint64_t to) {
  if (from >= to) return;
  // Up to the source's next byte boundary, then whole source bytes, then the last few bits.
  const int lead = static_cast<int>(std::min<uint64_t>(to - from, (8 - from % 8) % 8));
  if (lead > 0) Put(Bits(data, size, from, lead), lead);
  from += static_cast<uint64_t>(lead);
  if (from == to) return;
  const size_t first = static_cast<size_t>(from / 8), last = static_cast<size_t>(to / 8);
  if (last > first) {
    const unsigned char *in = reinterpret_cast<const unsigned char *>(data);
    const size_t at = out_->size();
    out_->resize(at + (last - first));
    unsigned char *o = reinterpret_cast<unsigned char *>(&(*out_)[at]);
    // Each byte written is the `held_` bits still held followed by the top of the next source
    // byte; what is held afterwards is the low `held_` bits of the last source byte.
    o[0] = static_cast<unsigned char>((((acc_ & 0xff) << 8) | in[first]) >> held_);
    for (size_t i = first + 1; i < last; ++i) {
      o[i - first] = static_cast<unsigned char>(((unsigned{in[i - 1]} << 8) | in[i]) >> held_);
    }
    acc_ = in[last - 1];
  }
  if (to % 8 != 0)
    Put(Bits(data, size, uint64_t{last} * 8, static_cast<int>(to % 8)), static_cast<int>(to % 8));
}

void Bzip2BitWriter::Finish() {
  if (held_ > 0) Put(0, 8 - held_);
}

namespace {

// The stream libbz2 is handed for one block: header, the block's bits, a trailer whose combined
// CRC is the block's own.
std::string LoneBlock(const char *data, size_t size, uint64_t from, uint64_t to) {
  std::string stream(data, 4);
  stream.reserve(static_cast<size_t>((to - from) / 8 + 16));
  Bzip2BitWriter w(&stream);
  w.Copy(data, size, from, to);
  w.Put(kEndMagic >> 16, 32);
  w.Put(kEndMagic & 0xffff, 16);
  w.Put(Bits(data, size, from + 48, 32), 32);
  w.Finish();
  return stream;
}

// Decodes one lone-block stream into the first `*used` bytes of `*out` (a buffer that grows as
// needed and is never made smaller); false when libbz2 does not take it whole.
bool DecodeLone(const std::string &stream, std::string *out, size_t *used) {
  bz_stream bz;
  memset(&bz, 0, sizeof bz);
  *used = 0;
  if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) return false;
  bz.next_in = const_cast<char *>(stream.data());
  bz.avail_in = static_cast<unsigned>(stream.size());
  if (out->size() < (size_t{1} << 20)) out->resize(size_t{1} << 20);
  size_t produced = 0;
  int rc = BZ_OK;
  while (rc == BZ_OK) {
    if (produced == out->size()) {
      if (out->size() >= kMaxBlockOutput) break;
      out->resize(out->size() * 2);
    }
    bz.next_out = &(*out)[produced];
    bz.avail_out = static_cast<unsigned>(out->size() - produced);
    const unsigned before = bz.avail_out;
    rc = BZ2_bzDecompress(&bz);
    produced += before - bz.avail_out;
    if (rc == BZ_OK && before == bz.avail_out && bz.avail_in == 0) break;  // cut short
  }
  BZ2_bzDecompressEnd(&bz);
  *used = produced;
  return rc == BZ_STREAM_END;
}

// The plain decoding of the whole stream, giving the sink only what comes after the first `skip`
// bytes (those it already has).
int DecodeInOrder(const char *data, size_t size, size_t skip, const Bzip2Sink &sink) {
  struct Memory {
    const char *data;
    size_t left;
  } memory{data, size};
  Bzip2Source source;
  source.read = [](void *context, char *buffer, int32_t want) -> int {
    Memory *m = static_cast<Memory *>(context);
    const size_t n = std::min(m->left, static_cast<size_t>(want));
    memcpy(buffer, m->data, n);
    m->data += n;
    m->left -= n;
    return static_cast<int>(n);
  };
  source.context = &memory;
  source.length = static_cast<int32_t>(size);
  struct Skipping {
    const Bzip2Sink *sink;
    size_t skip;
  } skipping{&sink, skip};
  Bzip2Sink skipping_sink;
  skipping_sink.write = [](void *context, const char *bytes, size_t n) {
    Skipping *s = static_cast<Skipping *>(context);
    const size_t dropped = std::min(s->skip, n);
    s->skip -= dropped;
    return dropped == n || s->sink->write(s->sink->context, bytes + dropped, n - dropped);
  };
  skipping_sink.context = &skipping;
  std::string input(kReaderBufferSize, '\0'), output(kReaderBufferSize, '\0');
  return DecodeBzip2Stream(source, &input[0], static_cast<int32_t>(input.size()), &output[0],
                           output.size(), skipping_sink);
}

uint32_t Rotate(uint32_t crc) { return (crc << 1) | (crc >> 31); }

}  // namespace

std::vector<uint64_t> FindBzip2Blocks(const char *data, size_t size, uint64_t *end) {
  *end = UINT64_MAX;
  std::vector<uint64_t> starts;
  if (size < 4 || memcmp(data, "BZh", 3) != 0 || data[3] < '1' || data[3] > '9') return starts;
  // At every bit alignment each magic has one whole byte at the second byte position: a cheap
  // filter before the full comparison.
  bool second[256] = {};
  for (int s = 0; s < 8; ++s) {
    second[(kBlockMagic >> (32 + s)) & 0xff] = true;
    second[(kEndMagic >> (32 + s)) & 0xff] = true;
  }
  const uint64_t bits = uint64_t{size} * 8;
  for (size_t i = 3; i + 1 < size; ++i) {
    if (!second[static_cast<unsigned char>(data[i + 1])]) continue;
    const uint64_t word = Bits(data, size, uint64_t{i} * 8, 56);
    for (int s = 0; s < 8; ++s) {
      const uint64_t at = uint64_t{i} * 8 + s;
      if (at < 32 || at + 48 > bits) continue;
      const uint64_t v = (word >> (8 - s)) & kMask48;
      if (v == kBlockMagic) {
        starts.push_back(at);
      } else if (v == kEndMagic) {
        *end = at;
        return starts;
      }
    }
  }
  return starts;
}

// The blocks of one stream in work: the next one to take and, when decoding, the next one to write;
// the window keeps the takers at most `window` blocks past the writer.
struct Bzip2BlockWork {
  virtual ~Bzip2BlockWork() = default;
  // Decodes or compresses block `j` without the lock, and keeps its result under the lock.
  virtual void Do(size_t j) = 0;

  // The next block to do, or -1 when none is within the window. REQUIRES: mutex held.
  long Take() {
    if (failed || next >= count || next >= written + window) return -1;
    return static_cast<long>(next++);
  }
  // Waits until no block taken through TakeBzip2Block is still being done.
  void WaitForOutside() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return outside == 0; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  size_t count = 0;
  size_t window = SIZE_MAX;
  size_t next = 0, written = 0;
  int outside = 0;  // blocks taken through TakeBzip2Block and not yet done
  bool failed = false;
};

namespace {

// One stream being decoded block by block, the pieces decoded so far.
struct BlockDecoding : Bzip2BlockWork {
  struct Piece {
    bool done = false;
    bool ok = false;
    std::string bytes;  // an output buffer, its first `used` bytes decoded
    size_t used = 0;
  };
  const char *data = nullptr;
  size_t size = 0;
  std::vector<uint64_t> starts;  // of every block, then of the end-of-stream magic
  std::vector<Piece> pieces;
  std::vector<std::string> spare;  // output buffers already written, for the next blocks
  size_t given = 0;

  // Decodes block `j` into a spare buffer when there is one.
  void Do(size_t j) override {
    std::string out;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!spare.empty()) {
        out.swap(spare.back());
        spare.pop_back();
      }
    }
    size_t used = 0;
    const bool ok = DecodeLone(LoneBlock(data, size, starts[j], starts[j + 1]), &out, &used);
    std::lock_guard<std::mutex> lock(mutex);
    Piece &p = pieces[j];
    p.ok = ok;
    p.bytes.swap(out);
    p.used = used;
    p.done = true;
    if (!ok) failed = true;
    changed.notify_all();
  }
};

}  // namespace

long TakeBzip2Block(Bzip2BlockWork *work) {
  std::lock_guard<std::mutex> lock(work->mutex);
  const long j = work->Take();
  if (j >= 0) ++work->outside;
  return j;
}

void DoTakenBzip2Block(Bzip2BlockWork *work, long block) {
  work->Do(static_cast<size_t>(block));
  std::lock_guard<std::mutex> lock(work->mutex);
  --work->outside;
  work->changed.notify_all();
}

int DecodeBzip2Blocks(const char *data, size_t size, int threads, const Bzip2Sink &sink,
                      const Bzip2BlockSharing *sharing) {
  uint64_t end = UINT64_MAX;
  std::vector<uint64_t> starts =
      threads > 1 ? FindBzip2Blocks(data, size, &end) : std::vector<uint64_t>();
  if (starts.size() < 2 || starts[0] != 32 || end == UINT64_MAX || end + 80 > uint64_t{size} * 8) {
    return DecodeInOrder(data, size, 0, sink);
  }
  starts.push_back(end);
  BlockDecoding d;
  d.data = data;
  d.size = size;
  d.starts.swap(starts);
  d.count = d.starts.size() - 1;
  d.window = static_cast<size_t>(threads) * 2;
  d.pieces.resize(d.count);
  // Tells the sharer that blocks may be taken (again).
  auto offer = [&] {
    if (sharing) sharing->share(sharing->context, &d);
  };

  // Takes and decodes blocks while they are within the window; the caller's thread also writes.
  auto work = [&](bool writer) {
    std::unique_lock<std::mutex> lock(d.mutex);
    while (!d.failed && d.written < d.count) {
      if (writer && d.pieces[d.written].done) {
        BlockDecoding::Piece &p = d.pieces[d.written];
        if (!p.ok) {
          d.failed = true;
          break;
        }
        std::string bytes;
        bytes.swap(p.bytes);
        const size_t used = p.used;
        lock.unlock();
        const bool taken = used == 0 || sink.write(sink.context, bytes.data(), used);
        lock.lock();
        if (!taken) {
          d.failed = true;
          d.changed.notify_all();
          return false;
        }
        d.spare.push_back(std::move(bytes));
        ++d.written;
        d.given += used;
        d.changed.notify_all();
        lock.unlock();
        offer();  // the window moved on
        lock.lock();
        continue;
      }
      const long j = d.Take();
      if (j >= 0) {
        lock.unlock();
        d.Do(static_cast<size_t>(j));
        lock.lock();
        continue;
      }
      if (!writer && d.next >= d.count) break;
      d.changed.wait(lock);
    }
    d.changed.notify_all();
    return true;
  };
  std::vector<std::thread> helpers;
  for (int i = 1; !sharing && i < threads && static_cast<size_t>(i) < d.count; ++i) {
    helpers.emplace_back([&] { (void)work(false); });
  }
  offer();
  const bool sink_ok = work(true);
  // No block is taken from here on; those taken are decoded before `d` goes.
  if (sharing) sharing->share(sharing->context, nullptr);
  for (std::thread &t : helpers) t.join();
  d.WaitForOutside();
  if (!sink_ok) return result::kWriteError;

  // Every block passed libbz2's own check; the combined CRC must be theirs.
  uint32_t combined = 0;
  for (size_t j = 0; j < d.count; ++j) {
    combined = Rotate(combined) ^ static_cast<uint32_t>(Bits(data, size, d.starts[j] + 48, 32));
  }
  if (!d.failed && combined == Bits(data, size, end + 48, 32)) return result::kOk;
  // A doubt: the stream in order, past what the sink already has.
  return DecodeInOrder(data, size, d.given, sink);
}

namespace {

// Where one compressor at `level` starts a new block: it checks before taking each input byte
// whether the block holds its most (run-length symbols: a run of 1 to 3 bytes costs that many, 4 to
// 255 costs 5), and the run still open then goes on into the next block.
std::vector<size_t> BlockCuts(const unsigned char *data, size_t size, int level) {
  const uint64_t most = static_cast<uint64_t>(level) * 100000 - 19;
  std::vector<size_t> cuts{0};
  uint64_t held = 0;
  int ch = 256, run = 0;
  for (size_t i = 0; i < size; ++i) {
    if (held >= most) {
      cuts.push_back(i - static_cast<size_t>(run));
      held = 0;
    }
    if (data[i] != ch || run == 255) {
      if (ch != 256) held += run < 4 ? static_cast<uint64_t>(run) : 5;
      ch = data[i];
      run = 1;
    } else {
      ++run;
    }
  }
  cuts.push_back(size);
  return cuts;
}

bool CompressAtOnce(const char *data, size_t size, int level, std::string *out) {
  unsigned room = static_cast<unsigned>(size + size / 100 + 1024);
  out->resize(room);
  const int rc = BZ2_bzBuffToBuffCompress(&(*out)[0], &room, const_cast<char *>(data),
                                          static_cast<unsigned>(size), level, 0, 0);
  out->resize(rc == BZ_OK ? room : 0);
  return rc == BZ_OK;
}

// The end of the single block of a one-block stream (where its trailer starts), or 0 when the
// stream is not one block followed by a trailer and zero padding.
uint64_t LoneBlockEnd(const std::string &s) {
  const uint64_t bits = uint64_t{s.size()} * 8;
  if (bits < 32 + 80 + 80) return 0;
  const uint64_t crc = Bits(s.data(), s.size(), 80, 32);
  uint64_t found = 0;
  for (int pad = 0; pad < 8; ++pad) {
    const uint64_t at = bits - 80 - pad;
    if (Bits(s.data(), s.size(), at, 48) == kEndMagic &&
        Bits(s.data(), s.size(), at + 48, 32) == crc &&
        (pad == 0 || Bits(s.data(), s.size(), bits - pad, pad) == 0)) {
      if (found) return 0;
      found = at;
    }
  }
  return found;
}

}  // namespace

namespace {

// One input being compressed block by block, the pieces compressed so far.
struct BlockCompression : Bzip2BlockWork {
  const char *data = nullptr;
  std::vector<size_t> cuts;
  int level = 9;
  std::vector<std::string> pieces;
  std::vector<char> ok;
  size_t done = 0;

  void Do(size_t j) override {
    std::string piece;
    const bool compressed = CompressAtOnce(data + cuts[j], cuts[j + 1] - cuts[j], level, &piece);
    std::lock_guard<std::mutex> lock(mutex);
    pieces[j].swap(piece);
    ok[j] = compressed;
    ++done;
    changed.notify_all();
  }
};

}  // namespace

bool CompressBzip2Blocks(const char *data, size_t size, int level, int threads, std::string *out,
                         const Bzip2BlockSharing *sharing) {
  BlockCompression c;
  c.cuts = threads > 1 ? BlockCuts(reinterpret_cast<const unsigned char *>(data), size, level)
                       : std::vector<size_t>{0, size};
  c.count = c.cuts.size() - 1;
  if (c.count < 2 || size > (size_t{1} << 30)) return CompressAtOnce(data, size, level, out);
  c.data = data;
  c.level = level;
  c.pieces.resize(c.count);
  c.ok.assign(c.count, 0);
  auto work = [&c] {
    std::unique_lock<std::mutex> lock(c.mutex);
    for (long j; (j = c.Take()) >= 0;) {
      lock.unlock();
      c.Do(static_cast<size_t>(j));
      lock.lock();
    }
  };
  std::vector<std::thread> helpers;
  for (int i = 1; !sharing && i < threads && static_cast<size_t>(i) < c.count; ++i) {
    helpers.emplace_back(work);
  }
  if (sharing) sharing->share(sharing->context, &c);
  work();
  // The pieces others took are done before the splice; none is taken from here on.
  {
    std::unique_lock<std::mutex> lock(c.mutex);
    c.changed.wait(lock, [&] { return c.done == c.count; });
  }
  if (sharing) sharing->share(sharing->context, nullptr);
  for (std::thread &t : helpers) t.join();
  c.WaitForOutside();
  std::vector<std::string> &pieces = c.pieces;
  const std::vector<char> &ok = c.ok;
  const size_t count = c.count;

  out->assign("BZh");
  out->push_back(static_cast<char>('0' + level));
  Bzip2BitWriter w(out);
  uint32_t combined = 0;
  for (size_t j = 0; j < count; ++j) {
    const uint64_t end = ok[j] ? LoneBlockEnd(pieces[j]) : 0;
    if (end == 0) return CompressAtOnce(data, size, level, out);
    const std::string &p = pieces[j];
    combined = Rotate(combined) ^ static_cast<uint32_t>(Bits(p.data(), p.size(), 80, 32));
    w.Copy(p.data(), p.size(), 32, end);
    std::string().swap(pieces[j]);
  }
  w.Put(kEndMagic >> 16, 32);
  w.Put(kEndMagic & 0xffff, 16);
  w.Put(combined, 32);
  w.Finish();
  return true;
}
