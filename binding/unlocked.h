// Work on plain C++ data without the interpreter lock.
#ifndef QUARLEN_BINDING_UNLOCKED_H_
#define QUARLEN_BINDING_UNLOCKED_H_

#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "quarlen/interrupt.h"

namespace quarlen::py {

// Takes the interpreter lock back for a thread that released it. Once the
// interpreter has begun to exit, a thread other than the exiting one never
// gets it back: the interpreter would end that thread inside the lock's
// taking, unwinding frames that cannot be unwound. Such a thread waits here
// for the process to end.
void relock(PyThreadState* state) noexcept;

// Has relock() hold the other threads back once the interpreter exits: an
// exit handler that waits until no thread is between deciding to take the
// lock back and having it. Called once, at start-up; false with an exception set.
bool watch_exit(PyObject* module) noexcept;

// Learns which thread runs the interpreter's signal handlers. Called once, at
// start-up, since asking runs Python code, where a signal's handler may raise;
// false with an exception set.
bool find_main_thread() noexcept;

// Whether the calling thread is the one that runs the interpreter's signal
// handlers. REQUIRES: the lock is held.
bool handles_signals() noexcept;

// Releases the interpreter lock for its lifetime, so that other Python threads
// run meanwhile; it is taken back on every way out, an exception included.
// REQUIRES: no Python object is touched while it lives, and every object whose
// memory is used stays referenced by the caller.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { relock(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Takes the lock for a moment to run the signal handlers; false when one
  // raised, its exception (KeyboardInterrupt) then set for the caller to return.
  bool check_signals() noexcept {
    relock(state_);
    const bool ok = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    return ok;
  }

 private:
  PyThreadState* state_;
};

// The core's interrupt for one call made without the lock: on the thread that
// released it, and only where signals are handled, it runs the signal handlers
// every kInterval; a handler's exception stops the call. Other threads working
// for the call see the answer only.
class SignalInterrupt final : public Interrupt {
 public:
  static constexpr std::chrono::milliseconds kInterval{20};

  // REQUIRES: made where `released` was made, with `handles` taken from
  // handles_signals() before the lock was released.
  SignalInterrupt(Unlocked& released, bool handles) noexcept
      : released_(released), handles_(handles) {}

  bool requested() override {
    if (raised_.load()) return true;
    if (!handles_ || std::this_thread::get_id() != owner_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + kInterval;
    if (!released_.check_signals()) raised_.store(true);
    return raised_.load();
  }

  // Whether a signal handler raised: its exception is set.
  bool raised() const { return raised_.load(); }

 private:
  Unlocked& released_;
  const bool handles_;
  const std::thread::id owner_ = std::this_thread::get_id();
  std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + kInterval;
  std::atomic<bool> raised_{false};
};

// Runs `work` without the interpreter lock and returns its result.
template <class F>
auto unlocked(F&& work) {
  Unlocked released;
  return work();
}

// Runs `work(interrupt)` without the interpreter lock, where Ctrl-C can stop
// it, and returns its result. *raised tells whether a signal handler raised:
// its exception is then set and the result is to be dropped.
template <class F>
auto interruptible(bool* raised, F&& work) {
  const bool handles = handles_signals();
  Unlocked released;
  SignalInterrupt interrupt(released, handles);
  auto result = work(static_cast<Interrupt*>(&interrupt));
  *raised = interrupt.raised();
  return result;
}

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_UNLOCKED_H_
