#include "build.h"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "archive/upk.h"
#include "kbdiff/make_patch.h"

namespace make_update {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
// What one bzip2 compressor at block size 9 and its buffers hold.
constexpr uint64_t kCompressorMemory = 16 * kMiB;

// One bzip2 stream written to a file; Feed() takes the input in pieces.
class Bzip2Writer {
 public:
  Bzip2Writer() { memset(&stream_, 0, sizeof stream_); }
  ~Bzip2Writer() {
    if (started_) BZ2_bzCompressEnd(&stream_);
    if (out_) fclose(out_);
  }

  bool Open(const std::string &dest, mode_t mode, std::string *error) {
    if (!MakeParents(dest)) {
      *error = "cannot create the folders above " + dest + ": " + strerror(errno);
      return false;
    }
    unlink(dest.c_str());
    const int fd = open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || !(out_ = fdopen(fd, "wb"))) {
      *error = "cannot create " + dest + ": " + strerror(errno);
      if (fd >= 0) close(fd);
      return false;
    }
    dest_ = dest;
    mode_ = mode;
    if (BZ2_bzCompressInit(&stream_, 9, 0, 0) != BZ_OK) {
      *error = "cannot start the bzip2 compressor";
      return false;
    }
    started_ = true;
    return true;
  }

  bool Feed(const char *data, size_t size, std::string *error) {
    while (size > 0) {
      const unsigned piece = static_cast<unsigned>(std::min<size_t>(size, 1u << 30));
      stream_.next_in = const_cast<char *>(data);
      stream_.avail_in = piece;
      while (stream_.avail_in > 0) {
        if (!Step(BZ_RUN, BZ_RUN_OK, error)) return false;
      }
      data += piece;
      size -= piece;
    }
    return true;
  }

  bool Finish(uint64_t *compressed_size, std::string *error) {
    for (;;) {
      stream_.next_in = nullptr;
      stream_.avail_in = 0;
      stream_.next_out = buffer_;
      stream_.avail_out = sizeof buffer_;
      const int rc = BZ2_bzCompress(&stream_, BZ_FINISH);
      if (rc != BZ_FINISH_OK && rc != BZ_STREAM_END) {
        *error = "bzip2 compression failed for " + dest_;
        return false;
      }
      if (!Write(error)) return false;
      if (rc == BZ_STREAM_END) break;
    }
    *compressed_size =
        (static_cast<uint64_t>(stream_.total_out_hi32) << 32) | stream_.total_out_lo32;
    const int fd = fileno(out_);
    const bool ok = fchmod(fd, mode_) == 0 && fflush(out_) == 0;
    const bool closed = fclose(out_) == 0;
    out_ = nullptr;
    if (!ok || !closed) {
      *error = "cannot write " + dest_ + ": " + strerror(errno);
      return false;
    }
    return true;
  }

 private:
  bool Step(int action, int expected, std::string *error) {
    stream_.next_out = buffer_;
    stream_.avail_out = sizeof buffer_;
    if (BZ2_bzCompress(&stream_, action) != expected) {
      *error = "bzip2 compression failed for " + dest_;
      return false;
    }
    return Write(error);
  }

  bool Write(std::string *error) {
    const size_t n = sizeof buffer_ - stream_.avail_out;
    if (n > 0 && fwrite(buffer_, 1, n, out_) != n) {
      *error = "cannot write " + dest_ + ": " + strerror(errno);
      return false;
    }
    return true;
  }

  bz_stream stream_;
  bool started_ = false;
  FILE *out_ = nullptr;
  std::string dest_;
  mode_t mode_ = 0644;
  char buffer_[1 << 16];
};

// Hands out the memory budget to the workers: a job waits until its share fits, except that a job
// larger than the whole budget runs when nothing else holds any.
class MemoryBudget {
 public:
  explicit MemoryBudget(uint64_t limit) : limit_(limit) {}
  void Acquire(uint64_t amount) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return used_ == 0 || used_ + amount <= limit_; });
    used_ += amount;
  }
  void Release(uint64_t amount) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      used_ -= amount;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t limit_;
  uint64_t used_ = 0;
};

uint64_t FileSize(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// What a job holds at its peak: the old and new files, the suffix array of the old one (4 or 8
// bytes a byte), the patch and the compressor.
uint64_t JobMemory(const Carry &carry, uint64_t old_size, uint64_t new_size) {
  if (!carry.may_patch) return kCompressorMemory;
  const uint64_t index = old_size >= (1ull << 31) ? 8 : 4;
  return old_size * (1 + index) + new_size * 2 + kCompressorMemory;
}

bool BuildOne(Carry *carry, const std::string &members_dir, std::string *error) {
  if (!carry->old_source.empty() && carry->same_mode &&
      FileSize(carry->old_source) == FileSize(carry->source)) {
    bool same = false;
    if (!SameContents(carry->old_source, carry->source, &same, error)) return false;
    if (same) {
      carry->unchanged = true;
      return true;
    }
  }
  const std::string add_file = members_dir + "/" + carry->path;
  if (!CompressFile(carry->source, add_file, carry->mode, &carry->add_size, error)) return false;
  if (!carry->may_patch) return true;

  std::string old_data, new_data;
  if (!ReadWholeFile(carry->old_source, &old_data, error) ||
      !ReadWholeFile(carry->source, &new_data, error)) {
    return false;
  }
  std::vector<uint8_t> patch;
  const MakePatchStatus status =
      MakePatch(reinterpret_cast<const uint8_t *>(old_data.data()), old_data.size(),
                reinterpret_cast<const uint8_t *>(new_data.data()), new_data.size(), &patch);
  if (status != MakePatchStatus::kOk) {
    *error = "cannot make a patch for " + carry->path + ": " + MakePatchStatusText(status);
    return false;
  }
  std::string().swap(old_data);
  std::string().swap(new_data);
  const std::string patch_file = members_dir + "/" + carry->PatchMember();
  if (!CompressBytes(patch.data(), patch.size(), patch_file, 0644, &carry->patch_size, error)) {
    return false;
  }
  carry->patched = carry->patch_size < carry->add_size;
  unlink((carry->patched ? add_file : patch_file).c_str());
  return true;
}

uint64_t AutomaticBudget() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  uint64_t total = pages > 0 && page_size > 0 ? static_cast<uint64_t>(pages) * page_size : 0;
  // Half the machine's memory, at least 512 MiB and at most 8 GiB.
  return std::min<uint64_t>(std::max<uint64_t>(total / 2, 512 * kMiB), 8192 * kMiB);
}

std::string Mebibytes(uint64_t bytes) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / kMiB);
  return buf;
}

}  // namespace

bool MakeParents(const std::string &path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool CompressBytes(const void *data, size_t size, const std::string &dest, mode_t mode,
                   uint64_t *compressed_size, std::string *error) {
  auto writer = std::make_unique<Bzip2Writer>();
  return writer->Open(dest, mode, error) &&
         writer->Feed(static_cast<const char *>(data), size, error) &&
         writer->Finish(compressed_size, error);
}

bool CompressFile(const std::string &source, const std::string &dest, mode_t mode,
                  uint64_t *compressed_size, std::string *error) {
  std::unique_ptr<FILE, int (*)(FILE *)> in(fopen(source.c_str(), "rb"), fclose);
  if (!in) {
    *error = "cannot open " + source + ": " + strerror(errno);
    return false;
  }
  auto writer = std::make_unique<Bzip2Writer>();
  if (!writer->Open(dest, mode, error)) return false;
  std::unique_ptr<char[]> buffer(new char[1 << 20]);
  size_t n;
  while ((n = fread(buffer.get(), 1, 1 << 20, in.get())) > 0) {
    if (!writer->Feed(buffer.get(), n, error)) return false;
  }
  if (ferror(in.get())) {
    *error = "cannot read " + source;
    return false;
  }
  return writer->Finish(compressed_size, error);
}

bool BuildMembers(Plan *plan, const std::string &members_dir, const BuildSettings &settings,
                  std::string *error) {
  struct Job {
    Carry *carry;
    uint64_t memory;
    uint64_t bytes;
  };
  std::vector<Job> jobs;
  uint64_t total_bytes = 0;
  for (Carry &carry : plan->carries) {
    const uint64_t new_size = FileSize(carry.source);
    const uint64_t old_size = carry.old_source.empty() ? 0 : FileSize(carry.old_source);
    jobs.push_back({&carry, JobMemory(carry, old_size, new_size), new_size});
    total_bytes += new_size;
  }
  // Largest work first, so that one big file does not run alone at the end.
  std::stable_sort(jobs.begin(), jobs.end(), [](const Job &a, const Job &b) {
    return a.memory + a.bytes > b.memory + b.bytes;
  });

  unsigned threads = settings.jobs ? settings.jobs : std::thread::hardware_concurrency();
  threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(jobs.size())));
  MemoryBudget budget(settings.memory_budget ? settings.memory_budget : AutomaticBudget());
  std::atomic<size_t> next{0}, done{0};
  std::atomic<uint64_t> done_bytes{0};
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::string first_error;

  auto worker = [&] {
    for (;;) {
      const size_t index = next++;
      if (index >= jobs.size() || failed) return;
      Job &job = jobs[index];
      budget.Acquire(job.memory);
      std::string job_error;
      const bool ok = BuildOne(job.carry, members_dir, &job_error);
      budget.Release(job.memory);
      if (!ok) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!failed.exchange(true)) first_error = job_error;
        return;
      }
      done_bytes += job.bytes;
      ++done;
    }
  };
  std::vector<std::thread> pool;
  for (unsigned i = 0; i < threads; ++i) pool.emplace_back(worker);

  if (settings.progress) {
    std::mutex m;
    std::unique_lock<std::mutex> lock(m);
    std::condition_variable idle;
    while (done < jobs.size() && !failed) {
      fprintf(stderr, "\rmake-update: %zu/%zu files, %s of %s ", done.load(), jobs.size(),
              Mebibytes(done_bytes).c_str(), Mebibytes(total_bytes).c_str());
      idle.wait_for(lock, std::chrono::milliseconds(200));
    }
  }
  for (std::thread &t : pool) t.join();
  if (settings.progress) {
    fprintf(stderr, "\rmake-update: %zu/%zu files, %s of %s\n", done.load(), jobs.size(),
            Mebibytes(done_bytes).c_str(), Mebibytes(total_bytes).c_str());
  }
  if (failed) *error = first_error;
  return !failed;
}

std::string ManifestText(const std::vector<Instruction> &instructions) {
  std::string text;
  for (const Instruction &ins : instructions) text += ins.text + "\n";
  return text;
}

bool WriteArchive(const std::vector<Instruction> &instructions, const std::string &members_dir,
                  const std::string &output, const std::string &product, const std::string &version,
                  std::string *error) {
  const std::string manifest = ManifestText(instructions);
  uint64_t manifest_size = 0;
  if (!CompressBytes(manifest.data(), manifest.size(), members_dir + "/" + kManifestName, 0644,
                     &manifest_size, error)) {
    return false;
  }
  std::vector<const char *> names{kManifestName};
  for (const Instruction &ins : instructions) {
    if (!ins.member.empty()) names.push_back(ins.member.c_str());
  }

  // The writer names each member by the path it is given, so it runs inside the staging folder.
  std::string absolute = output;
  if (absolute.empty() || absolute[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
      *error = std::string("cannot find the current folder: ") + strerror(errno);
      return false;
    }
    absolute = std::string(cwd) + "/" + output;
  }
  const std::string temporary = absolute + ".partial";
  const int here = open(".", O_RDONLY | O_DIRECTORY);
  if (here < 0 || chdir(members_dir.c_str()) != 0) {
    *error = "cannot enter " + members_dir + ": " + strerror(errno);
    if (here >= 0) close(here);
    return false;
  }
  std::string product_copy = product, version_copy = version;
  UpkProductInfo info{product_copy.data(), version_copy.data()};
  const int rc =
      upk_create_archive(temporary.c_str(), static_cast<int>(names.size()), names.data(), &info);
  const bool back = fchdir(here) == 0;
  close(here);
  if (rc != 0) {
    *error =
        "the archive could not be written (it would exceed 500 MiB, the most an archive "
        "holds, or " +
        output + " cannot be created; see the message above)";
    return false;
  }
  if (!back) {
    *error = std::string("cannot return to the current folder: ") + strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), absolute.c_str()) != 0) {
    *error = "cannot rename " + temporary + " to " + output + ": " + strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace make_update
