// SPDX-License-Identifier: MIT
// Block-level work on one bzip2 stream, with libbz2 doing all the coding: finding the blocks of a
// stream, decoding them on several threads (each handed to libbz2 as a stream of its own), and
// compressing one input block by block on several threads into the very stream libbz2 writes at
// once. Failures are result codes (decoding) or false (compression); nothing is logged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/bzip2_stream.h"

// Appends bits to a byte string, most significant first; a byte is appended once its 8 bits are
// there. Used to shift a block's bits to where a stream needs them.
class Bzip2BitWriter {
 public:
  explicit Bzip2BitWriter(std::string *out) : out_(out) {}
  // Appends the low `count` (1 to 32) bits of `value`.
  void Put(uint64_t value, int count);
  // Appends the bits from bit offset `from` up to `to` of the `size` bytes at `data` (bit 0 is the
  // most significant bit of the first byte). REQUIRES: from <= to <= size * 8.
  void Copy(const char *data, size_t size, uint64_t from, uint64_t to);
  // Pads the last byte with zero bits.
  void Finish();

 private:
  std::string *out_;
  uint64_t acc_ = 0;  // the `held_` bits not yet appended are its lowest
  int held_ = 0;
};

// Where the blocks of the first stream in `data` seem to start, as bit offsets: every place of the
// 48-bit block magic from the header's end up to the first end-of-stream magic (`*end`, the bit
// offset of that magic, or UINT64_MAX when none is found). A match may be false (the magic inside
// the coded data); decoding catches those. Empty when `data` does not start with a stream header.
std::vector<uint64_t> FindBzip2Blocks(const char *data, size_t size, uint64_t *end);

// The blocks of a stream that DecodeBzip2Blocks is decoding or CompressBzip2Blocks compressing.
struct Bzip2BlockWork;

// Lets threads the caller already has decode or compress blocks of a stream, instead of threads
// started for it.
struct Bzip2BlockSharing {
  // Called with the work once its blocks are known (when decoding, again each time a block is
  // written: the window has moved on), and with null once no block is to be taken any more.
  // Between the first call and the null one, any thread may take a block with TakeBzip2Block,
  // serialised with the null call (under the caller's own lock, say), and do it with
  // DoTakenBzip2Block.
  void (*share)(void *context, Bzip2BlockWork *work);
  void *context;
};

// Takes a block of `work` that no thread has taken and that is within its window, or returns -1
// when there is none. REQUIRES: `work` is shared (see Bzip2BlockSharing).
long TakeBzip2Block(Bzip2BlockWork *work);
// Decodes or compresses the block taken; `work` stays valid until this returns.
void DoTakenBzip2Block(Bzip2BlockWork *work, long block);

// Decodes the first bzip2 stream of the `size` bytes at `data` into `sink` on up to `threads`
// threads (the caller's one of them), block by block and in order, holding at most about two
// decoded blocks a thread. Without `sharing`, up to `threads` - 1 threads are started for it; with
// it, none: the caller's thread and those that take blocks through `sharing` decode them. Gives the
// sink the same bytes, and returns the same result, as DecodeBzip2Stream over the same bytes:
// with one block, one thread, or at any doubt (a block that libbz2 refuses alone, a false magic,
// a combined CRC that does not match), the stream is decoded in order by DecodeBzip2Stream, and
// the bytes already given are not given again. Returns only when no taken block is being decoded.
[[nodiscard]] int DecodeBzip2Blocks(const char *data, size_t size, int threads,
                                    const Bzip2Sink &sink,
                                    const Bzip2BlockSharing *sharing = nullptr);
// Compresses the `size` bytes at `data` at block size `level` (1 to 9) into `*out` on up to
// `threads` threads (with `sharing`, the caller's and those that take blocks through it): the input
// is cut where libbz2's run-length stage fills a block, each piece is compressed alone, and the
// blocks are spliced into one stream with its combined CRC. The result is byte for byte what one
// compressor (BZ2_bzCompressInit(level, 0, 0), all the input, BZ_FINISH) writes; when a piece does
// not come out as the single block expected, the whole input is compressed at once instead. False
// when libbz2 fails.
[[nodiscard]] bool CompressBzip2Blocks(const char *data, size_t size, int level, int threads,
                                       std::string *out,
                                       const Bzip2BlockSharing *sharing = nullptr);
