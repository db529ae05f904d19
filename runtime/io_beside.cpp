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

// The worker's part, shared --------------------------------------------------

WorkBeside::WorkBeside(Os& os, std::size_t depth, std::size_t pieces, std::size_t piece_size)
    : os_(os), depth_(depth) {
  for (std::size_t i = 0; i < pieces; ++i) {
    free_.push_back(std::make_unique_for_overwrite<char[]>(piece_size));
  }
}

bool WorkBeside::start_worker() {
  worker_ = os_.start_worker(
      [](void* self, Worker& worker) { static_cast<WorkBeside*>(self)->run(worker); }, this);
  return worker_ != nullptr;
}

void WorkBeside::stop() {
  if (worker_ == nullptr) return;
  {
    const WorkerLock held(*worker_);
    stopping_ = true;
    worker_->wake();
  }
  worker_.reset();
}

void WorkBeside::wait(Worker& worker, bool& waits) {
  waits = true;
  worker.wait();
  waits = false;
}

std::unique_ptr<char[]> WorkBeside::take_free() {
  std::unique_ptr<char[]> piece = std::move(free_.back());
  free_.pop_back();
  return piece;
}

void WorkBeside::run(Worker& worker) {
  const WorkerLock held(worker);
  while (!stopping_) {
    if (idle()) {
      wait(worker, worker_waits_);
      continue;
    }
    step(worker);
    if (caller_waits_) worker.wake();
  }
}

// Reading ahead ---------------------------------------------------------------

std::unique_ptr<ReadAhead> ReadAhead::start(Os& os, FileHandle file, std::size_t storage_size,
                                            std::size_t offset, std::size_t size,
                                            std::size_t depth) {
  std::unique_ptr<ReadAhead> ahead(new ReadAhead(os, file, storage_size, offset, size, depth));
  if (!ahead->start_worker()) return nullptr;
  return ahead;
}

ReadAhead::ReadAhead(Os& os, FileHandle file, std::size_t storage_size, std::size_t offset,
                     std::size_t size, std::size_t depth)
    : WorkBeside(os, depth, depth + 1, storage_size), file_(file), offset_(offset), size_(size) {}

ReadAhead::~ReadAhead() { stop(); }

bool ReadAhead::idle() const { return ended_ || ready_.size() >= depth_; }

void ReadAhead::step(Worker& worker) {
  Block block;
  block.storage = take_free();
  worker.unlock();
  block.result = os_.read_file(file_, block.storage.get() + offset_, size_);
  worker.lock();
  ended_ = block.result.error != OsError::none || block.result.count == 0;
  ready_.push_back(std::move(block));
}

ReadResult ReadAhead::take(std::unique_ptr<char[]>& storage) {
  const WorkerLock held(*worker_);
  while (ready_.empty()) {
    // The end or a failure was taken already: it stands for every read after it.
    if (ended_) return last_;
    wait(*worker_, caller_waits_);
  }
  Block block = std::move(ready_.front());
  ready_.pop_front();
  if (storage != nullptr) free_.push_back(std::move(storage));
  storage = std::move(block.storage);
  last_ = block.result;
  if (worker_waits_ && ready_.size() <= depth_ / 2) worker_->wake();
  return last_;
}

// Writing behind ---------------------------------------------------------------

std::unique_ptr<WriteBehind> WriteBehind::start(Os& os, std::size_t storage_size,
                                                std::size_t depth) {
  std::unique_ptr<WriteBehind> behind(new WriteBehind(os, storage_size, depth));
  if (!behind->start_worker()) return nullptr;
  return behind;
}

WriteBehind::WriteBehind(Os& os, std::size_t storage_size, std::size_t depth)
    : WorkBeside(os, depth, depth, storage_size) {}

WriteBehind::~WriteBehind() { stop(); }

bool WriteBehind::idle() const { return queue_.empty(); }

void WriteBehind::step(Worker& worker) {
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
}

OsError WriteBehind::hand_over(FileHandle file, std::unique_ptr<char[]>& storage,
                               std::size_t size) {
  // Console records whose writes are made go out before more is handed over.
  if (!held_.empty()) print_due();
  const WorkerLock held(*worker_);
  while (failed_ == OsError::none && free_.empty()) wait_for_writer();
  if (failed_ != OsError::none) return failed_;
  queue_.push_back(Job{file, std::move(storage), size});
  ++handed_;
  storage = take_free();
  if (worker_waits_ && queue_.size() >= depth_ / 2) worker_->wake();
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
  if (worker_waits_) worker_->wake();
  wait(*worker_, caller_waits_);
}
