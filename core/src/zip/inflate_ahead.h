// Inflating an entry a few pieces ahead of the one who checks them.
#ifndef QUARLEN_ZIP_INFLATE_AHEAD_H_
#define QUARLEN_ZIP_INFLATE_AHEAD_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quarlen/error.h"
#include "zip/zip_reader.h"

namespace quarlen::zip {

// An EntryReader run on a thread of its own, at most kAhead pieces ahead, so
// that reading and inflating overlap with the caller's checks of the piece
// before. Gives what the reader gives, in the same order: its pieces (the
// empty ones too, so that every call still returns soon), its failure, and
// the empty piece with done() true at the end. Where no thread can be had,
// the reader runs on the caller's thread.
class InflateAhead {
 public:
  static constexpr size_t kAhead = 4;

  // Without `threaded`, the reader runs on the caller's thread.
  InflateAhead(EntryReader reader, bool threaded);
  // Stops the thread after its current piece and waits for it.
  ~InflateAhead();
  InflateAhead(const InflateAhead&) = delete;
  InflateAhead& operator=(const InflateAhead&) = delete;

  // As EntryReader::next; the piece stays valid until the next call.
  Result<std::string_view> next();
  bool done() const noexcept { return done_; }

 private:
  void run();

  EntryReader reader_;
  bool done_ = false;
  std::string current_;  // the piece handed out last

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> ready_;
  std::vector<std::string> spare_;  // handed-out pieces, their memory kept
  bool ended_ = false;              // the thread met the end or a failure
  bool stop_ = false;
  std::optional<Error> fault_;
  std::exception_ptr thrown_;
  std::thread thread_;  // last: it starts once everything it uses exists
};

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_INFLATE_AHEAD_H_
