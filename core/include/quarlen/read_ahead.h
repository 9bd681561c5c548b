// Reading a member's rows a batch or two ahead of the one who takes them.
#ifndef QUARLEN_READ_AHEAD_H_
#define QUARLEN_READ_AHEAD_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quarlen/error.h"
#include "quarlen/interrupt.h"
#include "quarlen/reader.h"

namespace quarlen {

namespace zip {
class EntryReader;
}

// Where a ReadAhead takes its text from: the next text appended to *out
// until at least `at_least` bytes were added or the text ends; true while
// more may follow, false once it ended and every check passed. Gives up with
// kInterrupted once `interrupt` asks.
class TextSource {
 public:
  virtual ~TextSource() = default;
  virtual Result<bool> next(std::string* out, size_t at_least, Interrupt* interrupt) = 0;
  // About the length of the text, where it is known.
  virtual size_t size_hint() const { return SIZE_MAX; }
};

// Reads batches of text (a member's compact rows, or an entry's text) on a
// thread of its own, at most kAhead batches ahead of the consumer, so that
// inflating, hashing and checking overlap with the consumer's work on the
// batch before. For a short text, or where no thread can be had, each batch
// is read when it is wanted, on the consumer's thread. The reading thread
// asks no one but this object whether to stop.
class ReadAhead final : private Interrupt {
 public:
  // Compact text per batch: enough to make the cost of a turn vanish, little
  // enough to stay in the caches and to keep a batch of objects small.
  static constexpr size_t kBatchBytes = size_t{1} << 16;
  static constexpr size_t kAhead = 4;
  // How often a consumer that waits asks its interrupt.
  static constexpr std::chrono::milliseconds kPoll{20};

  // Below this much, text is read on the consumer's thread, which costs less
  // than starting one.
  static constexpr size_t kThreadedBytes = size_t{256} << 10;

  explicit ReadAhead(std::unique_ptr<MemberReader> reader);
  explicit ReadAhead(std::unique_ptr<TextSource> source);
  // An entry's text as `reader` inflates it, about `size_hint` bytes long.
  ReadAhead(zip::EntryReader reader, size_t size_hint);
  // Stops the thread within a piece of its current batch and waits for it.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next batch (rows separated by ',') into *batch: true while more may
  // follow, false once the member ended and every check passed, or the
  // member's fault: read_text's error. The memory of the batch that *batch
  // held before is kept for a batch to come. It asks `interrupt` on every
  // call and every kPoll while it waits, and gives up with kInterrupted once
  // it asks; the rows read meanwhile wait for the next call.
  Result<bool> next(std::string* batch, Interrupt* interrupt);

 private:
  bool requested() override { return stop_.load(); }
  void run();
  Result<bool> next_here(std::string* batch, Interrupt* interrupt);

  std::unique_ptr<TextSource> reader_;  // null once the member ended
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> ready_;
  std::vector<std::string> spare_;  // emptied batches, their memory kept for the next ones
  bool done_ = false;
  std::atomic<bool> stop_{false};
  std::optional<Error> fault_;
  std::exception_ptr thrown_;
  std::thread thread_;  // last: it starts once everything it uses exists
};

}  // namespace quarlen

#endif  // QUARLEN_READ_AHEAD_H_
