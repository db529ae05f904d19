// Reading ahead of a unit and writing behind it on a worker thread, so that
// the disk and the record loop work at the same time. Both make the very
// calls, in the same order and of the same sizes, that the unit would make
// itself one after the other; only the moment differs. A read's outcome is
// given to the unit when it gets to that read; a write's outcome once the
// unit settles, and after a failed write none that follows it is made.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/console.h"
#include "runtime/os.h"

/// What the reader and the writer share: the worker thread and its one lock,
/// the waits on either side of it, the stop, and the pieces of storage that
/// go back and forth. The worker takes a step of its work whenever it has
/// one, and says so when it waits for more.
class WorkBeside {
 protected:
  /// Makes `pieces` pieces of storage of `piece_size` bytes here, so that the
  /// worker never allocates: a thread that does gets a memory arena of its own.
  WorkBeside(Os& os, std::size_t depth, std::size_t pieces, std::size_t piece_size);
  /// Starts the worker; false where the system gives none.
  bool start_worker();
  /// Tells the worker, under its lock, to stop, and waits until it has: a
  /// call it has under way is finished first. Every destructor calls it
  /// before anything the worker uses goes.
  void stop();
  /// Under the lock: gives it up until the other thread wakes this one,
  /// with `waits` telling the other thread so meanwhile.
  static void wait(Worker& worker, bool& waits);
  /// Under the lock: a free piece of storage (there must be one).
  std::unique_ptr<char[]> take_free();
  /// Under the worker's lock: whether the worker has nothing to do now, and
  /// one step of its work (the worker's lock held, given up around a call).
  virtual bool idle() const = 0;
  virtual void step(Worker& worker) = 0;

  Os& os_;
  const std::size_t depth_;
  // Under the worker's lock.
  std::vector<std::unique_ptr<char[]>> free_;
  bool worker_waits_ = false;
  bool caller_waits_ = false;
  std::unique_ptr<Worker> worker_;  // started once the rest is there

 private:
  void run(Worker& worker);
  bool stopping_ = false;
};

/// Reads a file block after block, up to `depth` blocks ahead of the taker.
/// Each block is one read_file call into `size` bytes at `offset` of a piece
/// of storage of `storage_size` bytes; after the file's end or a failed
/// read nothing more is read.
class ReadAhead final : WorkBeside {
 public:
  /// nullptr where the system gives no worker: the caller reads itself.
  static std::unique_ptr<ReadAhead> start(Os& os, FileHandle file, std::size_t storage_size,
                                          std::size_t offset, std::size_t size, std::size_t depth);
  /// Stops reading and waits for the worker.
  ~ReadAhead();

  /// Waits for the next block and swaps its storage with `storage`, whose
  /// old piece goes back to be read into again. Gives that read's outcome;
  /// after the end or a failure, the same outcome again.
  ReadResult take(std::unique_ptr<char[]>& storage);

 private:
  struct Block {
    std::unique_ptr<char[]> storage;
    ReadResult result;
  };
  ReadAhead(Os& os, FileHandle file, std::size_t storage_size, std::size_t offset, std::size_t size,
            std::size_t depth);
  bool idle() const override;
  void step(Worker& worker) override;

  const FileHandle file_;
  const std::size_t offset_;
  const std::size_t size_;
  // Under the worker's lock. The ready blocks and the one being read come
  // from `free_`, which holds one more piece than `depth`.
  std::deque<Block> ready_;
  ReadResult last_;     // the outcome of the last block taken
  bool ended_ = false;  // the end or a failure is read: no more reads
};

/// Writes buffers to files in the order they are handed over, with at most
/// `depth` of them waiting.
class WriteBehind final : WorkBeside {
 public:
  /// nullptr where the system gives no worker: the caller writes itself.
  static std::unique_ptr<WriteBehind> start(Os& os, std::size_t storage_size, std::size_t depth);
  /// Waits for the write under way; those not begun are dropped (a caller
  /// that wants them made settles first).
  ~WriteBehind();

  /// Hands the first `size` bytes of `storage` over, to be written to
  /// `file` after everything handed over before; `storage` receives a free
  /// piece to fill next. Where an earlier write has failed, nothing is
  /// handed over and that failure is given.
  OsError hand_over(FileHandle file, std::unique_ptr<char[]>& storage, std::size_t size);
  /// Waits until every write handed over is made; gives the first failure.
  OsError settle();

  /// Prints `record` as console_record does once every buffer handed over so
  /// far is written: at once where they are, else at a later hand-over or
  /// settle. Never where one of those writes fails, nor after a fatal
  /// report has begun: the console shows nothing that the writes one after
  /// the other would not have let it show. The order of the records stays.
  void print_after_writes(std::string_view record, LineEnd end);

 private:
  struct HeldRecord {
    std::string text;
    LineEnd end = LineEnd::ends;
    std::size_t after = 0;  // the buffers handed over before it
  };
  /// Prints the held records whose writes are made, up to the first that
  /// waits for more.
  void print_due();
  /// How many of the buffers handed over, from the first on, are written
  /// without a failure.
  std::size_t written();

  struct Job {
    FileHandle file = k_no_file;
    std::unique_ptr<char[]> storage;
    std::size_t size = 0;
  };
  WriteBehind(Os& os, std::size_t storage_size, std::size_t depth);
  bool idle() const override;
  void step(Worker& worker) override;
  /// Under the lock: waits until the writer has done some of its work.
  void wait_for_writer();

  // Under the worker's lock.
  std::deque<Job> queue_;         // the front one is being written
  std::size_t handed_ = 0;        // the giver's own count
  std::vector<HeldRecord> held_;  // the giver's own
  std::size_t written_ = 0;       // jobs written, up to the first failure
  OsError failed_ = OsError::none;
};
