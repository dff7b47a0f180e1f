// SPDX-License-Identifier: MIT
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

#include "archive/bzip2_blocks.h"
#include "archive/upk.h"
#include "kbdiff/make_patch.h"

namespace make_update {

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
// What one bzip2 compressor at block size 9 and its buffers hold.
constexpr uint64_t kCompressorMemory = 16 * kMiB;

// One bzip2 stream of `size` bytes at `data`, appended to `*out`. The block size is the smallest
// that holds the whole input in one block (allowing for the run-length stage's growth), at most
// 900 kB: the stream compresses the same, and small files need far less memory to set up.
// With `*beyond` given, compression stops as soon as the stream is known to take more than `limit`
// bytes, and `*beyond` tells whether it did (`*out` is then unfinished). Without a limit, an
// input of several blocks is compressed block by block on `threads` threads (the same stream).
// The blocks are shared through `sharing` with the other workers when it is given.
bool Bzip2(const char *data, size_t size, std::string *out, uint64_t limit = 0,
           bool *beyond = nullptr, unsigned threads = 1,
           const Bzip2BlockSharing *sharing = nullptr) {
  if (beyond) *beyond = false;
  const int block = static_cast<int>(std::min<uint64_t>(9, size / 4 * 5 / 99000 + 1));
  if (!beyond && threads > 1 && block == 9 && size > 2 * 900000) {
    return CompressBzip2Blocks(data, size, block, static_cast<int>(threads), out, sharing);
  }
  bz_stream stream;
  memset(&stream, 0, sizeof stream);
  if (BZ2_bzCompressInit(&stream, block, 0, 0) != BZ_OK) return false;
  out->resize(size + size / 100 + 1024);
  size_t produced = 0;
  int rc = BZ_RUN_OK;
  while (rc != BZ_STREAM_END) {
    const unsigned piece = static_cast<unsigned>(std::min<size_t>(size, 1u << 30));
    stream.next_in = const_cast<char *>(data);
    stream.avail_in = piece;
    if (produced + (1 << 16) > out->size()) out->resize(out->size() * 2);
    stream.next_out = &(*out)[produced];
    // With a limit, output comes in small steps so that the check follows it closely.
    const size_t step = beyond ? 1 << 16 : 1u << 30;
    stream.avail_out = static_cast<unsigned>(std::min<size_t>(out->size() - produced, step));
    const unsigned before_out = stream.avail_out;
    rc = BZ2_bzCompress(&stream, piece == size ? BZ_FINISH : BZ_RUN);
    if (rc != BZ_RUN_OK && rc != BZ_FINISH_OK && rc != BZ_STREAM_END) break;
    produced += before_out - stream.avail_out;
    if (beyond && produced > limit) {
      *beyond = true;
      BZ2_bzCompressEnd(&stream);
      out->resize(produced);
      return true;
    }
    const size_t consumed = piece - stream.avail_in;
    data += consumed;
    size -= consumed;
  }
  BZ2_bzCompressEnd(&stream);
  out->resize(produced);
  return rc == BZ_STREAM_END;
}

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

// What a job holds at its peak: the old and new files and their compressed forms, the suffix
// array of the old one (4 or 8 bytes a byte), the patch, and the compressor.
uint64_t JobMemory(const Carry &carry, uint64_t old_size, uint64_t new_size) {
  if (!carry.may_patch) return new_size * 2 + kCompressorMemory;
  const uint64_t index = old_size >= (1ull << 31) ? 8 : 4;
  return old_size * (1 + index) + new_size * 4 + kCompressorMemory;
}

bool BuildOne(Carry *carry, MemberStore *store, unsigned threads, const Bzip2BlockSharing *sharing,
              std::string *error) {
  std::string new_data, old_data;
  if (!ReadWholeFile(carry->source, &new_data, error)) return false;
  if (!carry->old_source.empty() && (carry->same_mode || carry->may_patch)) {
    if (!ReadWholeFile(carry->old_source, &old_data, error)) return false;
    if (carry->same_mode && old_data == new_data) {
      carry->unchanged = true;
      return true;
    }
  }
  // The patch first: when its compressed size is known, compressing the whole file can stop as
  // soon as it is sure to take more.
  std::string compressed;
  if (carry->may_patch) {
    std::vector<uint8_t> patch;
    const MakePatchStatus status =
        MakePatch(reinterpret_cast<const uint8_t *>(old_data.data()), old_data.size(),
                  reinterpret_cast<const uint8_t *>(new_data.data()), new_data.size(), &patch);
    if (status != MakePatchStatus::kOk) {
      *error = "cannot make a patch for " + carry->path + ": " + MakePatchStatusText(status);
      return false;
    }
    std::string().swap(old_data);
    if (!Bzip2(reinterpret_cast<const char *>(patch.data()), patch.size(), &compressed)) {
      *error = "bzip2 compression failed for the patch of " + carry->path;
      return false;
    }
    carry->patch_size = compressed.size();
  }
  std::string whole;
  bool beyond = false;
  if (!Bzip2(new_data.data(), new_data.size(), &whole, carry->patch_size,
             carry->may_patch ? &beyond : nullptr, threads, sharing)) {
    *error = "bzip2 compression failed for " + carry->source;
    return false;
  }
  carry->add_size = whole.size();  // when `beyond`, only a lower bound
  if (beyond) {
    carry->patched = true;
    return store->Put(carry->PatchMember(), compressed, 0644, error);
  }
  return store->Put(carry->path, whole, carry->mode, error);
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

// "524288000 bytes (500 MiB)" for the limit.
std::string LimitText(uint64_t limit) {
  return std::to_string(limit) + " bytes (" + Mebibytes(limit) + ")";
}

}  // namespace

const char kArchiveLimitAdvice[] =
    "split the release into parts that are updated apart, ship partial updates (--from) where "
    "the complete update is too large, or leave out data that the application can fetch by "
    "itself";

uint64_t WorstCaseArchiveSize(const Plan &plan) {
  // A manifest line is a keyword of at most 16 bytes and at most three quoted paths, each with a
  // separator: the path, the condition's test path and the member (a patch's name is the longest).
  uint64_t manifest = 64;  // the type line
  uint64_t total = upk_format::kFirstDataOffset + 4;
  for (const Carry &carry : plan.carries) {
    const uint64_t size = FileSize(carry.source);
    const uint64_t member = carry.PatchMember().size();
    manifest += 16 + carry.path.size() + carry.test.size() + member + 9;
    total += size + size / 100 + 600 + upk_format::kEntryFieldsSize + member + 1;
  }
  for (const std::vector<std::string> *paths :
       {&plan.remove_files, &plan.remove_dirs, &plan.rmrf_dirs}) {
    for (const std::string &path : *paths) manifest += 16 + path.size() + 3;
  }
  total += manifest + manifest / 100 + 600;
  return total + upk_format::kEntryFieldsSize + strlen(kManifestName) + 1;
}

MemberStore::~MemberStore() {
  if (fd_ >= 0) close(fd_);
}

bool MemberStore::Open(const std::string &folder, std::string *error) {
  fd_ = open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
  if (fd_ < 0) {  // a file system without unnamed files: a named one, unlinked at once
    std::string name = folder + "/.make-update-members-XXXXXX";
    fd_ = mkostemp(name.data(), O_CLOEXEC);
    if (fd_ >= 0) unlink(name.c_str());
  }
  if (fd_ < 0) *error = "cannot create a scratch file in " + folder + ": " + strerror(errno);
  return fd_ >= 0;
}

bool MemberStore::Put(const std::string &name, const std::string &bytes, mode_t mode,
                      std::string *error) {
  uint64_t at;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    at = end_;
    end_ += bytes.size();
    members_[name] = {at, static_cast<uint32_t>(bytes.size()), mode};
  }
  if (fd_ < 0) return true;
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n =
        pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot write the member " + name +
               " to the scratch file: " + (n < 0 ? strerror(errno) : "nothing written");
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

const MemberStore::Member *MemberStore::Find(const std::string &name) const {
  auto it = members_.find(name);
  return it == members_.end() ? nullptr : &it->second;
}

bool BuildMembers(Plan *plan, MemberStore *store, const BuildSettings &settings,
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
  // The blocks of one large file may be spread over this many workers.
  const unsigned block_threads = std::max(1u, threads);
  threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(jobs.size())));
  MemoryBudget budget(settings.memory_budget ? settings.memory_budget : AutomaticBudget());
  std::atomic<size_t> done{0};
  std::atomic<uint64_t> done_bytes{0}, stored{0};
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::string first_error;

  // The files compressed block by block whose blocks the other workers may take: a worker takes
  // such a block before a new file, and waits for them rather than end while files are built.
  struct Sharing {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bzip2BlockWork *> open;
    size_t next = 0;   // the next job to start
    int building = 0;  // workers inside a job
  } sharing;
  // A worker's own work while it compresses block by block (the null call closes that one).
  struct Closing {
    Sharing *sharing;
    Bzip2BlockWork *work = nullptr;
  };

  auto worker = [&] {
    std::unique_lock<std::mutex> lock(sharing.mutex);
    for (;;) {
      bool helped = false;
      for (Bzip2BlockWork *work : sharing.open) {
        const long block = TakeBzip2Block(work);
        if (block < 0) continue;
        lock.unlock();
        DoTakenBzip2Block(work, block);
        lock.lock();
        helped = true;
        break;
      }
      if (helped) continue;
      if (failed) return;
      if (sharing.next >= jobs.size()) {
        if (sharing.building == 0) return;
        sharing.changed.wait(lock);
        continue;
      }
      const size_t index = sharing.next++;
      ++sharing.building;
      lock.unlock();
      Job &job = jobs[index];
      budget.Acquire(job.memory);
      std::string job_error;
      // This worker's own work, opened to the others while it compresses block by block.
      Closing closing{&sharing};
      Bzip2BlockSharing own;
      own.context = &closing;
      own.share = [](void *context, Bzip2BlockWork *work) {
        Closing *c = static_cast<Closing *>(context);
        std::lock_guard<std::mutex> guard(c->sharing->mutex);
        auto &open = c->sharing->open;
        if (work) {
          c->work = work;
          open.push_back(work);
          c->sharing->changed.notify_all();
        } else {
          open.erase(std::remove(open.begin(), open.end(), c->work), open.end());
        }
      };
      const bool ok = BuildOne(job.carry, store, block_threads, &own, &job_error);
      budget.Release(job.memory);
      const Carry &built = *job.carry;
      const uint64_t member = built.unchanged ? 0
                              : built.patched ? built.patch_size
                                              : built.add_size;
      const uint64_t so_far = stored += member;
      const bool over = ok && settings.archive_limit != 0 && so_far > settings.archive_limit;
      if (over) {
        job_error = "the update does not fit in one archive: the members built so far take " +
                    std::to_string(so_far) + " bytes, more than the " +
                    LimitText(settings.archive_limit) + " an archive holds; " + kArchiveLimitAdvice;
      }
      if (!ok || over) {
        std::lock_guard<std::mutex> error_lock(error_mutex);
        if (!failed.exchange(true)) first_error = job_error;
      } else {
        done_bytes += job.bytes;
        ++done;
      }
      lock.lock();
      --sharing.building;
      sharing.changed.notify_all();
      if (!ok || over) return;
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

bool WriteArchive(const std::vector<Instruction> &instructions, const MemberStore &store,
                  const std::string &output, const std::string &product, const std::string &version,
                  std::string *error) {
  const std::string manifest = ManifestText(instructions);
  std::string compressed_manifest;
  if (!Bzip2(manifest.data(), manifest.size(), &compressed_manifest)) {
    *error = std::string("bzip2 compression failed for ") + kManifestName;
    return false;
  }
  std::vector<UpkItemSource> items;
  items.push_back({kManifestName, 0644, compressed_manifest.data(), -1, 0,
                   static_cast<uint32_t>(compressed_manifest.size())});
  uint64_t size = upk_format::kFirstDataOffset + 4;
  for (const Instruction &ins : instructions) {
    if (ins.member.empty()) continue;
    const MemberStore::Member *m = store.Find(ins.member);
    if (!m) {
      *error = "the member " + ins.member + " was not built";
      return false;
    }
    items.push_back({ins.member.c_str(), static_cast<uint32_t>(m->mode), nullptr, store.fd(),
                     m->offset, m->length});
  }
  for (const UpkItemSource &item : items) {
    size += item.length + upk_format::kEntryFieldsSize + strlen(item.name) + 1;
  }
  if (size > kArchiveLimit) {
    *error = "the update does not fit in one archive: it would take " + std::to_string(size) +
             " bytes, more than the " + LimitText(kArchiveLimit) + " an archive holds; " +
             kArchiveLimitAdvice;
    return false;
  }

  const std::string temporary = output + ".partial";
  std::string product_copy = product, version_copy = version;
  UpkProductInfo info{product_copy.data(), version_copy.data()};
  errno = 0;
  if (upk_create_archive_from(temporary.c_str(), static_cast<int>(items.size()), items.data(),
                              &info) != 0) {
    *error = "cannot write the archive " + temporary +
             (errno != 0 ? std::string(": ") + strerror(errno) : std::string());
    return false;
  }
  if (rename(temporary.c_str(), output.c_str()) != 0) {
    *error = "cannot rename " + temporary + " to " + output + ": " + strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace make_update
