// One entry of an archive as its central directory header describes it.
#ifndef QUARLEN_ZIP_ENTRY_H_
#define QUARLEN_ZIP_ENTRY_H_

#include <cstdint>
#include <string_view>

namespace quarlen::zip {

// One central directory header, with the Zip64 values already in place.
struct Entry {
  std::string_view name;  // the stored bytes; valid while the archive lives
  uint16_t made_by;  // the system in the high byte
  uint16_t version_needed;  // the version of the format in the low byte
  uint16_t flags;
  uint16_t method;
  uint32_t crc32;
  uint64_t compressed_size;
  uint64_t uncompressed_size;
  uint64_t header_offset;  // of the local header
  uint32_t external_attributes;
  uint64_t data_offset = 0;  // first byte after the local header, once its layout is known
};

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_ENTRY_H_
