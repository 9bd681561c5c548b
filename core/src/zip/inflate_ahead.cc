#include "zip/inflate_ahead.h"

#include <system_error>
#include <utility>

namespace quarlen::zip {

InflateAhead::InflateAhead(EntryReader reader, bool threaded) : reader_(std::move(reader)) {
  if (!threaded) return;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // Out of threads or of address space for a stack: inflate on the caller's.
  }
}

InflateAhead::~InflateAhead() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

Result<std::string_view> InflateAhead::next() {
  if (!thread_.joinable()) {
    auto piece = reader_.next();
    done_ = piece && reader_.done();
    return piece;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !ready_.empty() || ended_; });
  if (current_.capacity() > 0 && spare_.size() < kAhead) spare_.push_back(std::move(current_));
  current_.clear();
  if (!ready_.empty()) {
    current_.swap(ready_.front());
    ready_.pop_front();
    changed_.notify_all();
    return std::string_view(current_);
  }
  if (thrown_) std::rethrow_exception(thrown_);
  if (fault_) return *fault_;
  done_ = true;
  return std::string_view();
}

void InflateAhead::run() {
  try {
    for (;;) {
      std::string buffer;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || ready_.size() < kAhead; });
        if (stop_) return;
        if (!spare_.empty()) {
          buffer = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      auto piece = reader_.next();
      if (piece && !reader_.done()) buffer.assign(piece->data(), piece->size());
      std::lock_guard<std::mutex> lock(mutex_);
      if (!piece) {
        fault_ = std::move(piece).error();
        ended_ = true;
      } else if (reader_.done()) {
        ended_ = true;
      } else {
        ready_.push_back(std::move(buffer));
      }
      changed_.notify_all();
      if (ended_) return;
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    thrown_ = std::current_exception();
    ended_ = true;
    changed_.notify_all();
  }
}

}  // namespace quarlen::zip
