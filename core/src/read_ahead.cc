#include "quarlen/read_ahead.h"

#include <system_error>
#include <utility>

#include "zip/zip_reader.h"

namespace quarlen {
namespace {

struct MemberSource final : TextSource {
  explicit MemberSource(std::unique_ptr<MemberReader> reader) : reader(std::move(reader)) {}
  Result<bool> next(std::string* out, size_t at_least, Interrupt* interrupt) override {
    return reader->next(out, at_least, interrupt);
  }
  size_t size_hint() const override { return reader->size_hint(); }
  std::unique_ptr<MemberReader> reader;
};

struct EntrySource final : TextSource {
  EntrySource(zip::EntryReader reader, size_t size_hint)
      : reader(std::move(reader)), hint(size_hint) {}
  Result<bool> next(std::string* out, size_t at_least, Interrupt* interrupt) override {
    const size_t start = out->size();
    for (;;) {
      // Asked at every piece, which may be empty: a stream of empty blocks
      // cannot hold off a stop.
      if (stop_requested(interrupt)) return Error(kInterrupted);
      auto piece = reader.next();
      if (!piece) return std::move(piece).error();
      if (reader.done()) return false;
      out->append(*piece);
      // An empty piece ends the batch, so that a thread reading ahead comes
      // back to ask whether to stop and to wake its consumer, who asks too.
      if (piece->empty() || out->size() - start >= at_least) return true;
    }
  }
  size_t size_hint() const override { return hint; }
  zip::EntryReader reader;
  size_t hint;
};

}  // namespace

ReadAhead::ReadAhead(std::unique_ptr<MemberReader> reader)
    : ReadAhead(std::make_unique<MemberSource>(std::move(reader))) {}

ReadAhead::ReadAhead(zip::EntryReader reader, size_t size_hint)
    : ReadAhead(std::make_unique<EntrySource>(std::move(reader), size_hint)) {}

ReadAhead::ReadAhead(std::unique_ptr<TextSource> source) : reader_(std::move(source)) {
  if (reader_->size_hint() < kThreadedBytes) return;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // Out of threads or of address space for a stack: read without one.
  }
}

ReadAhead::~ReadAhead() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
  }
  changed_.notify_all();
  thread_.join();
}

Result<bool> ReadAhead::next_here(std::string* batch, Interrupt* interrupt) {
  if (fault_) return *fault_;  // every later call repeats it, as with a thread
  if (reader_ == nullptr) return false;
  batch->clear();
  auto more = reader_->next(batch, kBatchBytes, interrupt);
  if (!more) fault_ = more.error();
  if (!more || !*more) reader_.reset();
  if (more && !*more && !batch->empty()) return true;  // the end comes with the next call
  return more;
}

Result<bool> ReadAhead::next(std::string* batch, Interrupt* interrupt) {
  if (!thread_.joinable()) return next_here(batch, interrupt);
  // Asked for every batch, not only while waiting: a consumer slower than the
  // thread never waits.
  if (stop_requested(interrupt)) return Error(kInterrupted);
  std::unique_lock<std::mutex> lock(mutex_);
  while (ready_.empty() && !done_) {
    // Against the system clock: a steady one would need pthread_cond_clockwait,
    // which glibc has only from 2.30 on, and the module runs on 2.17.
    const auto until = std::chrono::system_clock::now() + kPoll;
    changed_.wait_until(lock, until);
    if (!ready_.empty() || done_) break;
    // Asked at every turn of the thread that brought nothing, too: a consumer
    // that is itself a ReadAhead's thread then stops as soon as it is asked.
    // The interrupt may need locks of its own (the interpreter's): not this one.
    lock.unlock();
    if (stop_requested(interrupt)) return Error(kInterrupted);
    lock.lock();
  }
  if (!ready_.empty()) {
    batch->swap(ready_.front());
    if (ready_.front().capacity() > 0 && spare_.size() < kAhead) {
      ready_.front().clear();
      spare_.push_back(std::move(ready_.front()));
    }
    ready_.pop_front();
    changed_.notify_all();
    return true;
  }
  if (thrown_) std::rethrow_exception(thrown_);
  if (fault_) return *fault_;
  return false;
}

void ReadAhead::run() {
  try {
    // The first batch is whatever the first piece of text gives: the consumer
    // waits for it with nothing else to do.
    for (size_t at_least = 1;; at_least = kBatchBytes) {
      std::string batch;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || ready_.size() < kAhead; });
        if (stop_) return;
        if (!spare_.empty()) {
          batch = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      // A batch ends within the piece that takes it past kBatchBytes.
      batch.reserve(2 * kBatchBytes);
      auto more = reader_->next(&batch, at_least, this);
      std::lock_guard<std::mutex> lock(mutex_);
      if (!more) {
        fault_ = std::move(more).error();
      } else if (!batch.empty()) {
        ready_.push_back(std::move(batch));
      }
      if (!more || !*more) {
        done_ = true;
        reader_.reset();  // the file closes as soon as the member ends
      }
      changed_.notify_all();
      if (done_) return;
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    thrown_ = std::current_exception();
    done_ = true;
    changed_.notify_all();
  }
}

}  // namespace quarlen
