// Pausing the cyclic collector while large acyclic results are built.
#ifndef QUARLEN_BINDING_COLLECTOR_H_
#define QUARLEN_BINDING_COLLECTOR_H_

#include <Python.h>

namespace quarlen::py {

// Rows built from JSON hold no cycles, so while they are built the collector
// could only rescan them again and again: it waits until the last such build
// of the process ends. Made and destroyed with the interpreter lock held.
class CollectorPaused {
 public:
  CollectorPaused() noexcept {
    if (pauses_++ == 0) resume_ = PyGC_Disable() != 0;
  }
  ~CollectorPaused() {
    if (--pauses_ == 0 && resume_) PyGC_Enable();
  }
  CollectorPaused(const CollectorPaused&) = delete;
  CollectorPaused& operator=(const CollectorPaused&) = delete;

 private:
  static inline int pauses_ = 0;        // builds under way; guarded by the lock
  static inline bool resume_ = false;   // whether the first of them turned it off
};

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_COLLECTOR_H_
