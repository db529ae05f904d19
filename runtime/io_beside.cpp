// Reading ahead and writing behind on a worker thread. Everything the two
// threads share is under the worker's lock; the storage of a block or a job
// belongs to one thread at a time, handed over under the lock. A worker that
// has to wait says so, and is woken only once there is a good part of its
// work to do: half the blocks free to read into, half the buffers waiting to
// be written (or the other thread waits for it). Each wake costs both
// threads a trip into the system. The writer's giver also holds the console
// records that must not show before the writes handed over ahead of them.
#include "runtime/io_beside.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "runtime/io_status.h"

namespace {

std::unique_ptr<char[]> new_storage(std::size_t size) {
  return std::make_unique_for_overwrite<char[]>(size);
}

/// Tells the worker, under its lock, to stop, and waits until it has: a
/// call it has under way is finished first.
void stop(std::unique_ptr<Worker>& worker, bool& stopping) {
  if (worker == nullptr) return;
  {
    const WorkerLock held(*worker);
    stopping = true;
    worker->wake();
  }
  worker.reset();
}

}  // namespace

// Reading ahead ---------------------------------------------------------------

std::unique_ptr<ReadAhead> ReadAhead::start(Os& os, FileHandle file, std::size_t storage_size,
                                            std::size_t offset, std::size_t size,
                                            std::size_t depth) {
  std::unique_ptr<ReadAhead> ahead(new ReadAhead(os, file, storage_size, offset, size, depth));
  ahead->worker_ = os.start_worker(&ReadAhead::work, ahead.get());
  if (ahead->worker_ == nullptr) return nullptr;
  return ahead;
}

ReadAhead::ReadAhead(Os& os, FileHandle file, std::size_t storage_size, std::size_t offset,
                     std::size_t size, std::size_t depth)
    : os_(os), file_(file), offset_(offset), size_(size), depth_(depth) {
  // Every piece is made here, so that the worker never allocates: a thread
  // that does gets a memory arena of its own.
  for (std::size_t i = 0; i <= depth; ++i) free_.push_back(new_storage(storage_size));
}

ReadAhead::~ReadAhead() { stop(worker_, stopping_); }

void ReadAhead::work(void* self, Worker& worker) {
  static_cast<ReadAhead*>(self)->read_blocks(worker);
}

void ReadAhead::read_blocks(Worker& worker) {
  const WorkerLock held(worker);
  for (;;) {
    if (stopping_) return;
    if (ended_ || ready_.size() >= depth_) {
      reader_waits_ = true;
      worker.wait();
      reader_waits_ = false;
      continue;
    }
    Block block;
    block.storage = std::move(free_.back());
    free_.pop_back();
    worker.unlock();
    block.result = os_.read_file(file_, block.storage.get() + offset_, size_);
    worker.lock();
    ended_ = block.result.error != OsError::none || block.result.count == 0;
    ready_.push_back(std::move(block));
    if (taker_waits_) worker.wake();
  }
}

ReadResult ReadAhead::take(std::unique_ptr<char[]>& storage) {
  const WorkerLock held(*worker_);
  for (;;) {
    if (!ready_.empty()) break;
    // The end or a failure was taken already: it stands for every read after it.
    if (ended_) return last_;
    taker_waits_ = true;
    worker_->wait();
    taker_waits_ = false;
  }
  Block block = std::move(ready_.front());
  ready_.pop_front();
  if (storage != nullptr) free_.push_back(std::move(storage));
  storage = std::move(block.storage);
  last_ = block.result;
  if (reader_waits_ && ready_.size() <= depth_ / 2) worker_->wake();
  return last_;
}

// Writing behind ---------------------------------------------------------------

std::unique_ptr<WriteBehind> WriteBehind::start(Os& os, std::size_t storage_size,
                                                std::size_t depth) {
  std::unique_ptr<WriteBehind> behind(new WriteBehind(os, storage_size, depth));
  behind->worker_ = os.start_worker(&WriteBehind::work, behind.get());
  if (behind->worker_ == nullptr) return nullptr;
  return behind;
}

WriteBehind::WriteBehind(Os& os, std::size_t storage_size, std::size_t depth)
    : os_(os), storage_size_(storage_size), depth_(depth) {}

WriteBehind::~WriteBehind() { stop(worker_, stopping_); }

void WriteBehind::work(void* self, Worker& worker) {
  static_cast<WriteBehind*>(self)->write_jobs(worker);
}

void WriteBehind::write_jobs(Worker& worker) {
  const WorkerLock held(worker);
  for (;;) {
    if (stopping_) return;
    if (queue_.empty()) {
      writer_waits_ = true;
      worker.wait();
      writer_waits_ = false;
      continue;
    }
    // The job stays in the queue while it is written: settle waits for it.
    Job& job = queue_.front();
    if (failed_ == OsError::none) {
      worker.unlock();
      const OsError e = os_.write_file(job.file, job.storage.get(), job.size);
      worker.lock();
      if (e != OsError::none) {
        failed_ = e;
      } else {
        ++written_;
      }
    }
    free_.push_back(std::move(job.storage));
    queue_.pop_front();
    if (giver_waits_) worker.wake();
  }
}

OsError WriteBehind::hand_over(FileHandle file, std::unique_ptr<char[]>& storage,
                               std::size_t size) {
  // Console records whose writes are made go out before more is handed over.
  if (!held_.empty()) print_due();
  const WorkerLock held(*worker_);
  for (;;) {
    if (failed_ != OsError::none) return failed_;
    if (!free_.empty() || made_ < depth_) break;
    wait_for_writer();
  }
  std::unique_ptr<char[]> next;
  if (free_.empty()) {
    next = new_storage(storage_size_);
    ++made_;
  } else {
    next = std::move(free_.back());
    free_.pop_back();
  }
  queue_.push_back(Job{file, std::move(storage), size});
  ++handed_;
  storage = std::move(next);
  if (writer_waits_ && queue_.size() >= depth_ / 2) worker_->wake();
  return OsError::none;
}

OsError WriteBehind::settle() {
  OsError failed = OsError::none;
  {
    const WorkerLock held(*worker_);
    while (!queue_.empty()) wait_for_writer();
    failed = failed_;
  }
  // Those held for a failed write, and after it, would never have shown.
  print_due();
  held_.clear();
  return failed;
}

void WriteBehind::print_after_writes(std::string_view record, LineEnd end) {
  if (held_.empty() && written() == handed_) {
    console_record(record, end);
  } else {
    held_.push_back(HeldRecord{std::string(record), end, handed_});
  }
}

void WriteBehind::print_due() {
  if (fatal_report_under_way()) {
    held_.clear();
    return;
  }
  const std::size_t made = written();
  const auto waiting = std::find_if(held_.begin(), held_.end(), [made](const HeldRecord& record) {
    return record.after > made;
  });
  // Taken out first: a console that refuses a record ends the process
  // there, and the report finds only the records still waiting.
  std::vector<HeldRecord> due(std::make_move_iterator(held_.begin()),
                              std::make_move_iterator(waiting));
  held_.erase(held_.begin(), waiting);
  for (const HeldRecord& record : due) console_record(record.text, record.end);
}

std::size_t WriteBehind::written() {
  const WorkerLock held(*worker_);
  return written_;
}

void WriteBehind::wait_for_writer() {
  // The writer may be waiting for more to do, which is here already.
  if (writer_waits_) worker_->wake();
  giver_waits_ = true;
  worker_->wait();
  giver_waits_ = false;
}
