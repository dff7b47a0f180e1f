// SPDX-License-Identifier: MIT
// Decoding ahead. Workers claim the members of several blocks first, then the others nearly in plan
// order (the largest of the next few first, so that the long decodings do not come last), and
// decompress each with the same loop, read sizes and output blocks as UpkReader::ExtractItem,
// keeping the output blocks it would have written (and dropping the block of a failing call, which
// it would not have written) in a chain of chunks. The stored bytes are read with pread on the
// archive's descriptor, so the workers and the reader never share a file position.
//
// Budget: workers claim members at most kMaxAhead past the next one to be taken, and only while
// the budget is not used up; a chunk is charged before it is allocated. A worker over budget waits
// for room. The next job to be taken (the head) may go kHeadReserve beyond the budget, which the
// others never touch, and its extraction takes it over while it is still being decoded, writing
// and freeing every chunk but the one being filled: so the head's worker waits only while the head
// holds a full chunk that the update's thread can write and free, and no member is given up half
// decoded to be decoded again by its extraction.
#include "archive/decode_ahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/bzip2_blocks.h"
#include "archive/bzip2_stream.h"
#include "archive/upk.h"
#include "archive/upk_reader.h"
#include "base/result.h"

namespace {

// The reader's read and output block sizes, so that the decompressor is driven exactly as there.
constexpr size_t kBlockSize = kReaderBufferSize;
// Output of more than one block is kept in chunks of this size; a member that ends within its
// first block gets a chunk of exactly its size.
constexpr size_t kChunkSize = size_t{1} << 20;
// Workers stay at most this many members ahead of the extractions: with thousands of small files
// the update's thread is the slower side, and members decoded further ahead only take memory.
constexpr size_t kMaxAhead = 1024;
// A worker claims the largest pending member (by stored size) among this many from the first one.
constexpr size_t kClaimWindow = 16;
// Members stored in fewer bytes than this are decoded in one piece; those of this size or more are
// decoded block by block, and claimed first, in plan order, wherever they are in the plan.
constexpr uint32_t kBlockwiseFrom = 256 << 10;
// What the head job may hold beyond the budget: three chunks, so that when its worker waits for
// room the head holds a full chunk before the one being filled.
constexpr size_t kHeadReserve = 3 * (kChunkSize + 64);
constexpr int kMaxThreads = 64;
constexpr int kDefaultMaxThreads = 8;

}  // namespace

struct DecodeAhead::Chunk {
  Chunk *next;
  size_t size;
  size_t capacity;
  char *data() { return reinterpret_cast<char *>(this + 1); }
};

int ExtractThreadCount() {
  const char *value = getenv("KIV_EXTRACT_THREADS");
  if (value && *value) {
    char *end = nullptr;
    long n = strtol(value, &end, 10);
    if (*end == '\0' && n >= 1 && n <= kMaxThreads) return static_cast<int>(n);
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online < 1) return 1;
  return online > kDefaultMaxThreads ? kDefaultMaxThreads : static_cast<int>(online);
}

void DecodeAhead::Plan(UpkArchive *archive, const char *name, bool conditional) {
  if (!threads_.empty() || !archive) return;
  UpkItem *item = upk_lookup(archive, name);
  if (!item) return;
  archive_ = archive;
  jobs_.push_back(Job{item, conditional ? State::kHeld : State::kPending, false, false, result::kOk,
                      0, 0, nullptr, nullptr});
}

void DecodeAhead::Decide(const char *name, bool wanted) {
  UpkItem *item = archive_ ? upk_lookup(archive_, name) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t j = head_; item && j < jobs_.size(); ++j) {
    if (jobs_[j].item != item || jobs_[j].state != State::kHeld) continue;
    jobs_[j].state = wanted ? State::kPending : State::kOwn;
    if (wanted && j < next_) next_ = j;
    if (wanted) workers_wake_.notify_all();
    return;
  }
}

int DecodeAhead::decodings(const char *name) {
  UpkItem *item = archive_ ? upk_lookup(archive_, name) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const Job &job : jobs_) {
    if (item && job.item == item) count += job.decodings;
  }
  return count;
}

int DecodeAhead::Start(int workers, size_t budget) {
  if (!threads_.empty() || jobs_.empty()) return static_cast<int>(threads_.size());
  budget_ = budget;
  workers_ = workers;
  decoding_ = 0;
  held_ = next_ = head_ = 0;
  writing_ = stop_ = false;
  taken_ahead_ = taken_own_ = settled_ = 0;
  large_.clear();
  for (size_t j = 0; j < jobs_.size(); ++j) {
    if (jobs_[j].item->length >= kBlockwiseFrom) large_.push_back(j);
  }
  for (int i = 0; i < workers; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, WorkerMain, this) != 0) break;
    threads_.push_back(thread);
  }
  return static_cast<int>(threads_.size());
}

void DecodeAhead::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  workers_wake_.notify_all();
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  threads_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t j = 0; j < jobs_.size(); ++j) Release(j);
  std::vector<Job>().swap(jobs_);
  archive_ = nullptr;
  held_ = 0;
  writing_ = false;
}

int DecodeAhead::settled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return settled_;
}

void DecodeAhead::WakeWorkers() {
  // A worker waiting for room in the middle of a member may have to give it up now. Idle ones are
  // woken once a good share of the room is back, so that they claim members in batches rather than
  // one each time the update's thread takes one.
  if (waiting_for_room_ > 0 ||
      (idle_ > 0 && held_ + budget_ / 4 <= budget_ && next_ <= head_ + kMaxAhead / 2)) {
    workers_wake_.notify_all();
  }
}

void DecodeAhead::Release(size_t j) {
  Job &job = jobs_[j];
  for (Chunk *chunk = job.first; chunk;) {
    Chunk *following = chunk->next;
    free(chunk);
    chunk = following;
  }
  job.first = job.last = nullptr;
  held_ -= job.held;
  job.held = 0;
}

void *DecodeAhead::WorkerMain(void *self) {
  static_cast<DecodeAhead *>(self)->Worker();
  return nullptr;
}

void DecodeAhead::Worker() {
  char *input = static_cast<char *>(malloc(kBlockSize));
  char *output = static_cast<char *>(malloc(kBlockSize));
  std::unique_lock<std::mutex> lock(mutex_);
  // Without its buffers a worker decodes nothing; the members are decoded by the others or by
  // their own extractions.
  while (input && output && !stop_) {
    // The blocks of a member being decoded come before any new member.
    if (HelpWithBlocks(lock)) continue;
    while (next_ < jobs_.size() && jobs_[next_].state != State::kPending) ++next_;
    if (next_ >= jobs_.size() && decoding_ == 0) break;
    if (next_ >= jobs_.size() || held_ >= budget_ || next_ >= head_ + kMaxAhead) {
      // Nothing to claim: wait for room, for the extractions, or for blocks to help with.
      ++idle_;
      workers_wake_.wait(lock);
      --idle_;
      continue;
    }
    // The first member of several blocks comes first, wherever it is in the plan, while half the
    // budget is free: its blocks keep every worker busy while the update's thread, getting to the
    // small members before the workers, decodes those itself, and it is not left to its action to
    // decode alone on the update's thread. Else the largest pending member among the next few: the
    // long decodings start first and the short ones fill in around them, on the workers or on the
    // update's thread if it gets there first.
    size_t j = ClaimLarge();
    const size_t window_end = j == next_ ? next_ + kClaimWindow : 0;
    for (size_t k = next_ + 1; k < jobs_.size() && k < window_end; ++k) {
      if (jobs_[k].state == State::kPending && jobs_[k].item->length > jobs_[j].item->length) j = k;
    }
    jobs_[j].state = State::kDecoding;
    ++jobs_[j].decodings;
    ++decoding_;
    lock.unlock();
    bool done = Decode(j, input, output);
    lock.lock();
    --decoding_;
    // The workers left without a member to claim end once no member is being decoded.
    if (decoding_ == 0 && next_ >= jobs_.size()) workers_wake_.notify_all();
    ++settled_;
    Job &job = jobs_[j];
    if (job.streaming) {
      // The extraction writes what is there; a worker that could not finish leaves it a failure.
      if (!done) job.code = result::kReaderNoMemory;
      job.state = State::kReady;
    } else if (!done || job.dropped) {
      Release(j);
      job.state = State::kOwn;
      WakeWorkers();
    } else {
      job.state = State::kReady;
    }
    job_done_.notify_all();
  }
  lock.unlock();
  free(input);
  free(output);
}

size_t DecodeAhead::ClaimLarge() {
  // Those no worker will claim any more leave the list; held-back ones stay until decided.
  size_t kept = 0;
  size_t found = next_;
  for (size_t j : large_) {
    const State state = jobs_[j].state;
    if (state != State::kPending && state != State::kHeld) continue;
    large_[kept++] = j;
    if (found == next_ && state == State::kPending && j < head_ + kMaxAhead &&
        held_ < budget_ / 2) {
      found = j;
    }
  }
  large_.resize(kept);
  return found;
}

void DecodeAhead::ShareBlocks(size_t j, Bzip2BlockWork *decoding) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Kept in plan order: the member nearest the extractions is helped first.
  auto at = shared_.begin();
  while (at != shared_.end() && at->first < j) ++at;
  const bool there = at != shared_.end() && at->first == j;
  if (!decoding) {
    if (there) shared_.erase(at);
    return;
  }
  if (!there) shared_.emplace(at, j, decoding);
  if (idle_ > 0) workers_wake_.notify_all();
}

bool DecodeAhead::HelpWithBlocks(std::unique_lock<std::mutex> &lock) {
  for (const auto &entry : shared_) {
    // Taken under mutex_, so that its worker cannot close it before the block is counted.
    const long block = TakeBzip2Block(entry.second);
    if (block < 0) continue;
    Bzip2BlockWork *decoding = entry.second;
    lock.unlock();
    DoTakenBzip2Block(decoding, block);
    lock.lock();
    return true;
  }
  return false;
}

DecodeAhead::Chunk *DecodeAhead::NewChunk(size_t j, size_t size) {
  const size_t cost = sizeof(Chunk) + size;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (stop_ || jobs_[j].dropped) return nullptr;
    if (held_ + cost <= budget_ + (j == head_ ? kHeadReserve : 0)) break;
    ++waiting_for_room_;
    job_done_.notify_all();  // a streaming extraction may write a full chunk now
    workers_wake_.wait(lock);
    --waiting_for_room_;
  }
  Chunk *chunk = static_cast<Chunk *>(malloc(cost));
  if (!chunk) return nullptr;
  held_ += cost;
  jobs_[j].held += cost;
  chunk->next = nullptr;
  chunk->size = 0;
  chunk->capacity = size;
  // Linked under the lock: a streaming extraction takes chunks off the front meanwhile.
  Job &job = jobs_[j];
  if (job.last) {
    job.last->next = chunk;
  } else {
    job.first = chunk;
  }
  job.last = chunk;
  job_done_.notify_all();
  return chunk;
}

namespace {

// The stored bytes of `item` read whole with pread into `*data`; false when they cannot be.
bool ReadStored(FILE *fp, const UpkItem *item, std::string *data) {
  // The reader takes the stored length as a signed 32-bit count.
  if (static_cast<int32_t>(item->length) <= 0) return false;
  data->resize(item->length);
  for (size_t done = 0; done < data->size();) {
    const ssize_t got = pread(fileno(fp), &(*data)[done], data->size() - done,
                              static_cast<off_t>(item->offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

bool DecodeAhead::Decode(size_t j, char *input, char *output) {
  // The job's item and chunks are this worker's alone while it decodes; the vector is not resized.
  UpkItem *item = jobs_[j].item;
  struct Reading {
    int fd;
    off_t offset;  // of the member's next stored byte
    int64_t left;  // stored bytes not yet read
  } reading{fileno(archive_->fp), static_cast<off_t>(item->offset),
            static_cast<int32_t>(item->length)};
  Bzip2Source source;
  source.read = [](void *context, char *buffer, int32_t size) -> int {
    Reading *r = static_cast<Reading *>(context);
    size_t want = static_cast<size_t>(size);
    if (static_cast<int64_t>(want) > r->left) want = static_cast<size_t>(r->left);
    ssize_t got;
    do {
      got = pread(r->fd, buffer, want, r->offset);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
      r->offset += got;
      r->left -= got;
    }
    return static_cast<int>(got);
  };
  source.context = &reading;
  // The reader takes the stored length as a signed 32-bit count; so do the workers, so that a
  // damaged index gives the same verdict whatever the number of threads.
  source.length = static_cast<int32_t>(item->length);

  // The decoded bytes go into the job's chunks; a chunk that cannot be had refuses them, and the
  // member is then left to its own action.
  struct Filling {
    DecodeAhead *self;
    size_t j;
    Chunk *chunk;
    bool refused;
  } filling{this, j, nullptr, false};
  Bzip2Sink sink;
  sink.write = [](void *context, const char *data, size_t size) {
    Filling *f = static_cast<Filling *>(context);
    for (size_t done = 0; done < size;) {
      if (!f->chunk || f->chunk->size == f->chunk->capacity) {
        // Less than a whole output block as the first bytes is, almost always, a small member's
        // whole content: its chunk is made to measure.
        const bool whole = !f->chunk && size < kBlockSize;
        f->chunk = f->self->NewChunk(f->j, whole ? size : kChunkSize);
        if (!f->chunk) {
          f->refused = true;
          return false;
        }
      }
      size_t n = f->chunk->capacity - f->chunk->size;
      if (n > size - done) n = size - done;
      memcpy(f->chunk->data() + f->chunk->size, data + done, n);
      f->chunk->size += n;
      done += n;
    }
    return true;
  };
  sink.context = &filling;

  // A member of several blocks is read whole and its blocks decoded by this worker and the others
  // that have time for them, however large: its extraction takes its chunks over as they fill.
  std::string stored;
  int rv;
  if (item->length >= kBlockwiseFrom && ReadStored(archive_->fp, item, &stored)) {
    struct Sharing {
      DecodeAhead *self;
      size_t j;
    } sharing_context{this, j};
    Bzip2BlockSharing sharing;
    sharing.share = [](void *context, Bzip2BlockWork *decoding) {
      Sharing *s = static_cast<Sharing *>(context);
      s->self->ShareBlocks(s->j, decoding);
    };
    sharing.context = &sharing_context;
    rv = DecodeBzip2Blocks(stored.data(), stored.size(), workers_, sink, &sharing);
  } else {
    rv = DecodeBzip2Stream(source, input, static_cast<int32_t>(kBlockSize), output, kBlockSize,
                           sink);
  }
  if (filling.refused) return false;
  Chunk *chunk = filling.chunk;
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_[j].code = rv;
  // The last chunk gives back what it does not use (a streaming extraction never takes the last
  // chunk before the job is ready).
  Job &job = jobs_[j];
  if (chunk && chunk->size < chunk->capacity) {
    Chunk **link = &job.first;
    while (*link != chunk) link = &(*link)->next;
    if (Chunk *smaller = static_cast<Chunk *>(realloc(chunk, sizeof(Chunk) + chunk->size))) {
      size_t saved = smaller->capacity - smaller->size;
      smaller->capacity = smaller->size;
      *link = smaller;
      job.last = smaller;
      held_ -= saved;
      job.held -= saved;
      WakeWorkers();
    }
  }
  return true;
}

long DecodeAhead::Take(UpkItem *item) {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t j = head_;
  while (j < jobs_.size() && jobs_[j].item != item) ++j;
  if (j >= jobs_.size()) return -1;
  // The members passed over will not be asked for: their bytes go.
  for (size_t k = head_; k < j; ++k) {
    Job &passed = jobs_[k];
    if (passed.state == State::kDecoding) {
      passed.dropped = true;
    } else {
      Release(k);
      passed.state = State::kOwn;
    }
  }
  head_ = j;
  Job &job = jobs_[j];
  const bool own = job.state != State::kDecoding && job.state != State::kReady;
  if (own) {
    // Not started (or held back): its extraction decodes it, and no worker will.
    job.state = State::kOwn;
    ++job.decodings;
    ++taken_own_;
    head_ = j + 1;
  }
  WakeWorkers();
  if (own) return -1;
  job.streaming = job.state == State::kDecoding;
  if (!job.streaming) job.state = State::kTaken;
  writing_ = true;
  ++taken_ahead_;
  return static_cast<long>(j);
}

int DecodeAhead::WriteTaken(long j, FILE *out) {
  Job &job = jobs_[static_cast<size_t>(j)];
  bool written = true;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    // A chunk is written once its worker has gone on to the next one, or is done with the job.
    Chunk *chunk = job.first;
    const bool ready = job.state != State::kDecoding;
    if (!chunk || (chunk == job.last && !ready)) {
      if (ready) break;
      job_done_.wait(lock);
      continue;
    }
    job.first = chunk->next;
    if (!job.first) job.last = nullptr;
    lock.unlock();
    if (written && out && chunk->size != 0) {
      written = fwrite(chunk->data(), 1, chunk->size, out) == chunk->size;
    }
    const size_t cost = sizeof(Chunk) + chunk->capacity;
    free(chunk);
    lock.lock();
    held_ -= cost;
    job.held -= cost;
    WakeWorkers();
  }
  int rv = written ? job.code : result::kWriteError;
  Release(static_cast<size_t>(j));
  job.state = State::kTaken;
  job.streaming = false;
  head_ = static_cast<size_t>(j) + 1;
  writing_ = false;
  WakeWorkers();
  return rv;
}

int DecodeAhead::ExtractToFile(const char *name, const char *path) {
  return ExtractToFileAt(name, AT_FDCWD, path, 0);
}

int DecodeAhead::ExtractToFileAt(const char *name, int dir, const char *leaf, int open_flags) {
  UpkItem *item = threads_.empty() ? nullptr : upk_lookup(archive_, name);
  long j = item ? Take(item) : -1;
  if (j < 0) return reader_->ExtractToFileAt(name, dir, leaf, open_flags);
  int fd = openat(dir, leaf, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC | open_flags,
                  static_cast<mode_t>(item->flags & kMemberModeMask));
  FILE *out = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (!out && fd >= 0) close(fd);
  int rv = WriteTaken(j, out);
  if (!out) return result::kWriteError;
  if (fclose(out) != 0 && rv == result::kOk) rv = result::kWriteError;
  return rv;
}

int DecodeAhead::ExtractToStream(const char *name, FILE *out) {
  UpkItem *item = threads_.empty() ? nullptr : upk_lookup(archive_, name);
  long j = item ? Take(item) : -1;
  if (j < 0) return reader_->ExtractToStream(name, out);
  return WriteTaken(j, out);
}
