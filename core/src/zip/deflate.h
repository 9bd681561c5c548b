// The zlib pieces that ZIP entries share: raw deflate streams (no zlib header
// or trailer) for writing and reading them, and the CRC-32 of their data.
#ifndef QUARLEN_ZIP_DEFLATE_H_
#define QUARLEN_ZIP_DEFLATE_H_

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace quarlen::zip {

// A deflate stream at the level entries are written with. Running out of
// memory while making one throws std::bad_alloc.
struct Deflater {
  z_stream stream{};

  Deflater();
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
};

// An inflate stream for one entry's data. Running out of memory while making
// one throws std::bad_alloc.
struct Inflater {
  z_stream stream{};

  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
};

// `crc` continued over `size` bytes at `data`; 0 starts a new one.
inline uint32_t crc32_of(uint32_t crc, const char* data, size_t size) {
  return static_cast<uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(data), size));
}

// The CRC-32 of two texts one after the other, from theirs and the second's size.
inline uint32_t crc32_joined(uint32_t first, uint32_t second, uint64_t second_size) {
  return static_cast<uint32_t>(crc32_combine(first, second, static_cast<z_off_t>(second_size)));
}

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_DEFLATE_H_
