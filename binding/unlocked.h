// Work on plain C++ data without the interpreter lock.
#ifndef QUARLEN_BINDING_UNLOCKED_H_
#define QUARLEN_BINDING_UNLOCKED_H_

#include <Python.h>

namespace quarlen::py {

// Releases the interpreter lock for its lifetime, so that other Python threads
// run meanwhile; it is taken back on every way out, an exception included.
// REQUIRES: no Python object is touched while it lives, and every object whose
// memory is used stays referenced by the caller.
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` without the interpreter lock and returns its result.
template <class F>
auto unlocked(F&& work) {
  Unlocked released;
  return work();
}

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_UNLOCKED_H_
