// SPDX-License-Identifier: MIT
// Block-parallel bzip2 over real streams from libbz2 and from the bzip2 program: the blocks decode
// to the bytes and result of the plain loop on any thread count, damaged or not, and the spliced
// compression is byte for byte libbz2's own.
#include "archive/bzip2_blocks.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "base/result.h"
#include "support/test_support.h"

using testing_support::ExecutableLike;

namespace {

std::string AtOnce(const std::string &data) {
  unsigned room = static_cast<unsigned>(data.size() + data.size() / 100 + 1024);
  std::string out(room, '\0');
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(&out[0], &room, const_cast<char *>(data.data()),
                                     static_cast<unsigned>(data.size()), 9, 0, 0),
            BZ_OK);
  out.resize(room);
  return out;
}

std::pair<int, std::string> Decode(const std::string &stream, int threads) {
  std::string out;
  Bzip2Sink sink;
  sink.write = [](void *context, const char *data, size_t size) {
    static_cast<std::string *>(context)->append(data, size);
    return true;
  };
  sink.context = &out;
  return {DecodeBzip2Blocks(stream.data(), stream.size(), threads, sink), out};
}

TEST(Bzip2BlocksTest, BitCopyMatchesBitByBitAtEveryOffset) {
  const std::string data = ExecutableLike(300);
  auto bit = [&](uint64_t at) {
    return (static_cast<unsigned char>(data[at / 8]) >> (7 - at % 8)) & 1;
  };
  for (int held = 0; held < 8; ++held) {
    for (uint64_t from = 0; from < 24; ++from) {
      for (uint64_t length : {0, 1, 5, 7, 8, 9, 17, 63, 64, 65, 2000}) {
        std::string fast, slow;
        Bzip2BitWriter f(&fast), s(&slow);
        if (held > 0) {
          f.Put(0x5a, held);
          s.Put(0x5a, held);
        }
        f.Copy(data.data(), data.size(), from, from + length);
        for (uint64_t at = from; at < from + length; ++at) s.Put(bit(at), 1);
        f.Finish();
        s.Finish();
        ASSERT_EQ(fast, slow) << "held " << held << " from " << from << " length " << length;
      }
    }
  }
}

TEST(Bzip2BlocksTest, SplicedCompressionIsLibbz2sOwnStream) {
  // Long runs across the block cuts as well as ordinary data.
  std::string runs = ExecutableLike(2000000) + std::string(1000000, 'a') + ExecutableLike(900000);
  for (const std::string &data : {ExecutableLike(3000000), runs}) {
    std::string spliced;
    ASSERT_TRUE(CompressBzip2Blocks(data.data(), data.size(), 9, 3, &spliced));
    EXPECT_EQ(spliced, AtOnce(data));
  }
}

// The blocks taken by a thread of the caller's through the sharing: the same stream.
TEST(Bzip2BlocksTest, SharedCompressionIsLibbz2sOwnStream) {
  struct Shared {
    std::mutex mutex;
    Bzip2BlockWork *work = nullptr;
    bool over = false;
  } shared;
  Bzip2BlockSharing sharing;
  sharing.context = &shared;
  sharing.share = [](void *context, Bzip2BlockWork *work) {
    Shared *s = static_cast<Shared *>(context);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->work = work;
  };
  std::thread helper([&] {
    std::unique_lock<std::mutex> lock(shared.mutex);
    while (!shared.over) {
      const long block = shared.work ? TakeBzip2Block(shared.work) : -1;
      Bzip2BlockWork *work = shared.work;
      lock.unlock();
      if (block >= 0) DoTakenBzip2Block(work, block);
      if (block < 0) std::this_thread::yield();
      lock.lock();
    }
  });
  const std::string data = ExecutableLike(3000000);
  std::string spliced;
  const bool ok = CompressBzip2Blocks(data.data(), data.size(), 9, 2, &spliced, &sharing);
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.over = true;
  }
  helper.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(spliced, AtOnce(data));
}

TEST(Bzip2BlocksTest, BlocksDecodeAsThePlainLoopWhateverTheDamage) {
  testing_support::TempDir dir;
  const std::string data = ExecutableLike(3000000);
  testing_support::WriteFile(dir / "in", data);
  // A stream of the bzip2 program, as another writer would give it.
  ASSERT_EQ(system(("bzip2 -9k " + (dir / "in")).c_str()), 0);
  const std::string stream = testing_support::ReadFile(dir / "in.bz2");
  uint64_t end = 0;
  const size_t blocks = FindBzip2Blocks(stream.data(), stream.size(), &end).size();
  EXPECT_GE(blocks, 3u);
  EXPECT_EQ(Decode(stream, 1), std::make_pair(int{result::kOk}, data));
  EXPECT_EQ(Decode(stream, 3), std::make_pair(int{result::kOk}, data));
  EXPECT_EQ(Decode(stream + "trailing bytes", 2), std::make_pair(int{result::kOk}, data));

  std::string corrupt = stream;
  corrupt[corrupt.size() / 2] ^= 0x10;  // inside the third block
  // The block magic written into the coded bits at an odd bit offset: a false block start.
  std::string false_magic = stream;
  const char shifted[] = {0x06, 0x28, 0x2b, 0x24, static_cast<char>(0xca), 0x6b, 0x20};
  false_magic.replace(stream.size() / 3, sizeof shifted, shifted, sizeof shifted);
  EXPECT_EQ(FindBzip2Blocks(false_magic.data(), false_magic.size(), &end).size(), blocks + 1);
  std::string cut = stream.substr(0, stream.size() - 30);
  for (const std::string &bad : {corrupt, false_magic, cut}) {
    const auto plain = Decode(bad, 1);
    EXPECT_EQ(plain.first, result::kDecompressError);
    EXPECT_EQ(Decode(bad, 2), plain);
    EXPECT_EQ(Decode(bad, 4), plain);
  }
}

}  // namespace
