// Handing data out through Arrow's C data interface: schemas and arrays whose
// memory the receiver owns from then on and frees by calling their release.
#ifndef QUARLEN_ARROW_EXPORT_H_
#define QUARLEN_ARROW_EXPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "quarlen/arrow_c.h"
#include "quarlen/arrow_table.h"

namespace quarlen {

// Storage for an Arrow buffer: 64-byte aligned, as the format recommends.
template <class T>
struct Aligned64 {
  using value_type = T;
  Aligned64() = default;
  template <class U>
  Aligned64(const Aligned64<U>&) {}
  T* allocate(size_t n) {
    void* p = std::aligned_alloc(64, (n * sizeof(T) + 63) / 64 * 64);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) { std::free(p); }
  bool operator==(const Aligned64&) const { return true; }
};
using Buffer = std::vector<uint8_t, Aligned64<uint8_t>>;

// An array before it is handed out. A buffer listed in `absent` is passed as
// null (a validity bitmap when nothing is null).
struct ArrayParts {
  int64_t length = 0;
  int64_t null_count = 0;
  std::vector<Buffer> buffers;
  std::vector<bool> absent;
  std::vector<ArrowArray> children;  // exported already; moved in
};

// Fills *out from `parts`, which it then owns; its release releases the
// children still in place.
void export_array(ArrayParts parts, ArrowArray* out);

}  // namespace quarlen

#endif  // QUARLEN_ARROW_EXPORT_H_
