// SPDX-License-Identifier: MIT
// Helpers shared by the fuzz targets: a check that aborts with a message (so that both libFuzzer
// and the replay program report the input), in-memory files with a path, a write-only stream that
// refuses bytes beyond a cap, and a private scratch folder that is removed at exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Aborts with the failed condition when `cond` is false.
#define FUZZ_CHECK(cond)                                        \
  do {                                                          \
    if (!(cond)) fuzz_support::Fail(__FILE__, __LINE__, #cond); \
  } while (0)

namespace fuzz_support {

[[noreturn]] void Fail(const char *file, int line, const char *what);

// A file that lives in memory (memfd) and has a path ("/proc/self/fd/N") for readers that open by
// name. Its descriptor is closed when the object goes.
class MemFile {
 public:
  MemFile(const uint8_t *data, size_t size);
  ~MemFile();
  MemFile(const MemFile &) = delete;
  MemFile &operator=(const MemFile &) = delete;
  const char *path() const { return path_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  char path_[64] = {};
};

// A write-only stream that keeps what is written to it (up to `cap` bytes) and fails every write
// that would go beyond `cap`, so that an input that expands without bound ends in a write error
// instead of exhausting memory or time.
struct CappedSink {
  explicit CappedSink(size_t cap);
  ~CappedSink();
  CappedSink(const CappedSink &) = delete;
  CappedSink &operator=(const CappedSink &) = delete;

  FILE *stream = nullptr;  // unbuffered, so every write reaches `data` at once
  std::string data;
  size_t cap;
  bool refused = false;  // a write went beyond the cap
};

// A folder of our own below TMPDIR (or /tmp), created on first use and removed with everything in
// it when the process exits.
const std::string &ScratchDir();

// Makes ScratchDir() the current directory for the object's lifetime and then returns to the
// directory it came from (libFuzzer reads its corpus and writes its findings by relative paths).
class InScratchDir {
 public:
  InScratchDir();
  ~InScratchDir();
  InScratchDir(const InScratchDir &) = delete;
  InScratchDir &operator=(const InScratchDir &) = delete;

 private:
  int previous_ = -1;
};

}  // namespace fuzz_support
