// SPDX-License-Identifier: MIT
#include "fuzz_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace fuzz_support {

void Fail(const char *file, int line, const char *what) {
  fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  abort();
}

MemFile::MemFile(const uint8_t *data, size_t size) {
  fd_ = memfd_create("fuzz-input", 0);
  FUZZ_CHECK(fd_ >= 0);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd_, data + done, size - done);
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  FUZZ_CHECK(lseek(fd_, 0, SEEK_SET) == 0);
  snprintf(path_, sizeof(path_), "/proc/self/fd/%d", fd_);
}

MemFile::~MemFile() {
  if (fd_ >= 0) close(fd_);
}

namespace {

ssize_t SinkWrite(void *cookie, const char *buf, size_t size) {
  CappedSink *sink = static_cast<CappedSink *>(cookie);
  // Like a disk that fills up: what fits is taken, the rest refused. A cookie writer reports an
  // error by a short count, never by a negative one.
  size_t room = sink->cap - sink->data.size();
  if (size > room) {
    sink->refused = true;
    size = room;
  }
  sink->data.append(buf, size);
  return static_cast<ssize_t>(size);
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

std::string *scratch = nullptr;

void RemoveScratch() {
  if (scratch) nftw(scratch->c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

CappedSink::CappedSink(size_t cap_bytes) : cap(cap_bytes) {
  cookie_io_functions_t io = {};
  io.write = SinkWrite;
  stream = fopencookie(this, "wb", io);
  FUZZ_CHECK(stream != nullptr);
  setvbuf(stream, nullptr, _IONBF, 0);
}

CappedSink::~CappedSink() { fclose(stream); }

const std::string &ScratchDir() {
  if (!scratch) {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/updater-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(tmpl.data()) != nullptr);
    scratch = new std::string(tmpl);
    atexit(RemoveScratch);
  }
  return *scratch;
}

InScratchDir::InScratchDir() : previous_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  FUZZ_CHECK(previous_ >= 0);
  FUZZ_CHECK(chdir(ScratchDir().c_str()) == 0);
}

InScratchDir::~InScratchDir() {
  FUZZ_CHECK(fchdir(previous_) == 0);
  close(previous_);
}

}  // namespace fuzz_support
