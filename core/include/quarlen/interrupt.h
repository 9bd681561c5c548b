// Giving up a long call at its caller's request.
#ifndef QUARLEN_INTERRUPT_H_
#define QUARLEN_INTERRUPT_H_

namespace quarlen {

// Asked between the pieces of a long pass (each a few hundred kilobytes of
// work) by every thread that works for one call, so it must be safe to call
// from several threads at once. Once it answered true it answers true from
// then on, and the call gives up with kInterrupted.
class Interrupt {
 public:
  virtual bool requested() = 0;

 protected:
  ~Interrupt() = default;
};

// Whether `interrupt`, when there is one, asks to stop.
inline bool stop_requested(Interrupt* interrupt) {
  return interrupt != nullptr && interrupt->requested();
}

// The fault of a call that gave up at its Interrupt's request.
inline constexpr char kInterrupted[] = "interrupted";

}  // namespace quarlen

#endif  // QUARLEN_INTERRUPT_H_
