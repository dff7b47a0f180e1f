// SPDX-License-Identifier: MIT
// Decoding ahead: worker threads decompress the archive members that the update's coming
// extractions will ask for, in the order planned, into memory within a fixed budget; the extraction
// that needs a member then writes the decoded bytes instead of decoding them itself, taking over a
// member still being decoded chunk by chunk as its worker produces them, so that no member is
// decoded twice. A member that is not planned, not yet claimed by a worker, or held back until its
// condition is decided and not wanted, is extracted by its reader as before. A member's decoding
// result (result::kReadError, kDecompressError,
// kEmpty) is kept with its bytes and returned by the extraction that takes it, exactly
// as the reader returns it; nothing is logged.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

class UpkReader;
struct UpkArchive;
struct UpkItem;
struct Bzip2BlockWork;

// The decoding threads an update uses: the value of KIV_EXTRACT_THREADS (1 to 64) when it is set to
// one, else the processors online, at most 8. 1 means the update's own thread alone, as before; a
// larger N adds N worker threads that decode while the update's thread writes.
int ExtractThreadCount();

class DecodeAhead {
 public:
  static constexpr size_t kDefaultBudget = size_t{64} << 20;

  // Members that are not decoded ahead are extracted by `reader`, which must outlive this object.
  explicit DecodeAhead(UpkReader *reader) : reader_(reader) {}
  ~DecodeAhead() { Stop(); }
  DecodeAhead(const DecodeAhead &) = delete;
  DecodeAhead &operator=(const DecodeAhead &) = delete;

  // Appends the member `name` to the plan (order = the order its extractions will come in); a
  // name that `archive` does not hold is left out. Only while stopped. A `conditional` member is
  // held back: no worker starts on it before Decide says it is wanted.
  void Plan(UpkArchive *archive, const char *name, bool conditional = false);
  // Settles a held-back member: wanted, the workers may decode it; not wanted, nothing decodes it
  // (its extraction, if it still comes, goes to the reader). Members not held back are left alone.
  void Decide(const char *name, bool wanted);
  // Starts `workers` threads over the plan, holding at most `budget` bytes of decoded data at
  // once. With no workers, or when no thread can be started, nothing is decoded ahead. Returns the
  // number of threads started. REQUIRES: the archive stays open until Stop.
  int Start(int workers, size_t budget = kDefaultBudget);
  // Ends and joins the workers and frees every decoded byte; the plan is empty afterwards.
  void Stop();

  // As UpkReader::ExtractToFile / ExtractToFileAt / ExtractToStream on the reader, with the same
  // results and the same bytes written; planned members come from memory when decoded ahead. Every
  // planned member before the one taken is dropped: extractions must come in plan order (members
  // may be skipped).
  [[nodiscard]] int ExtractToFile(const char *name, const char *path);
  [[nodiscard]] int ExtractToFileAt(const char *name, int dir, const char *leaf, int open_flags);
  [[nodiscard]] int ExtractToStream(const char *name, FILE *out);

  // How the planned members taken since Start were served: from memory, or by their own
  // extraction (too large, not yet claimed, or no memory).
  int taken_ahead() const { return taken_ahead_; }
  int taken_own() const { return taken_own_; }
  // The members whose workers are done with them (decoded, or given up) since Start.
  int settled();
  // How many times the planned member `name` has been decoded since Start, by a worker or by its
  // extraction (0 when never, or when it is not planned).
  int decodings(const char *name);

 private:
  struct Chunk;
  enum class State { kHeld, kPending, kDecoding, kReady, kOwn, kTaken };
  struct Job {
    UpkItem *item;
    State state;
    bool dropped;  // no extraction will take it: its worker stops and frees it
    bool
        streaming;  // taken while its worker decodes: the extraction writes its chunks as they fill
    int code;       // the decoding's result once ready
    int decodings;  // decodings started, by workers and by the extraction
    size_t held;    // bytes charged to the budget
    Chunk *first;
    Chunk *last;
  };

  static void *WorkerMain(void *self);
  void Worker();
  // Decodes job `j` into memory with the worker's two block buffers; false when it was given up.
  bool Decode(size_t j, char *input, char *output);
  // Decodes one block of a member that another worker is decoding block by block, if one can be
  // taken; false when none. REQUIRES: `lock` holds mutex_ (released while decoding).
  bool HelpWithBlocks(std::unique_lock<std::mutex> &lock);
  // The first pending member (in plan order) of several blocks that may be claimed now (within
  // kMaxAhead of the head, while at most half the budget is used), else next_. REQUIRES: mutex_
  // held.
  size_t ClaimLarge();
  // Opens (`decoding` not null) or closes job `j`'s blocks to the other workers.
  void ShareBlocks(size_t j, Bzip2BlockWork *decoding);
  // A chunk of `size` bytes for job `j` within the budget, waiting while memory may still be
  // freed for it; null when the job is to be given up.
  Chunk *NewChunk(size_t j, size_t size);
  // Frees job `j`'s chunks and takes them off the budget. REQUIRES: mutex_ held.
  void Release(size_t j);
  // Wakes the waiting workers when there is something for them to do. REQUIRES: mutex_ held.
  void WakeWorkers();
  // Returns the index of the planned job of `item` with its chunks handed over (state kTaken, or
  // streaming when its worker is still at it), or -1 when the caller extracts it itself.
  long Take(UpkItem *item);
  // Writes the taken job's bytes to `out` (waiting for the chunks of a streaming job), frees them
  // and returns the decoding's result (result::kWriteError when a write failed, kReaderNoMemory
  // when a streaming job's worker could not get memory for the rest).
  int WriteTaken(long j, FILE *out);

  std::mutex mutex_;
  std::condition_variable workers_wake_;  // budget freed, head moved, or stop
  std::condition_variable job_done_;      // a job became ready or was given up
  std::vector<Job> jobs_;
  // The members decoded block by block that a worker may still claim, in plan order.
  std::vector<size_t> large_;
  std::vector<pthread_t> threads_;
  int workers_ = 0;  // the workers Start asked for
  // Members being decoded block by block whose blocks the other workers may take (job index and
  // its decoding), and the workers inside Decode.
  std::vector<std::pair<size_t, Bzip2BlockWork *>> shared_;
  int decoding_ = 0;
  UpkReader *reader_;
  UpkArchive *archive_ = nullptr;
  size_t budget_ = 0;
  size_t held_ = 0;           // bytes held by every job, the one being written included
  size_t next_ = 0;           // the first job no worker has claimed and no extraction has passed
  size_t head_ = 0;           // the first job no extraction has taken or passed yet
  bool writing_ = false;      // the update's thread holds a taken job's bytes
  int idle_ = 0;              // workers waiting to claim a member
  int waiting_for_room_ = 0;  // workers waiting for room in the budget
  bool stop_ = false;
  int taken_ahead_ = 0;
  int taken_own_ = 0;
  int settled_ = 0;
};
