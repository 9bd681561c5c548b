#include "zip/layout.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "zip/names.h"
#include "zip/zip_error.h"
#include "zip/zip_format.h"

namespace quarlen::zip {
namespace {

constexpr char kBadLocalHeader[] = "Invalid local file header";

std::string intruding(const Entry& e) {
  return "Entry " + shown_name(e.name) + " runs into the central directory";
}

// The length of the data descriptor that follows the entry's data at
// `bytes`: the first of the four spellings whose crc-32 and sizes are the
// directory's, preferring the one that ends at `wanted`; 0 for none.
uint64_t descriptor_size(const Entry& e, std::string_view bytes, uint64_t wanted) {
  uint64_t first = 0;
  for (const bool signed_ : {true, false}) {
    for (const bool wide : {true, false}) {
      const uint64_t size = (signed_ ? 4 : 0) + 4 + (wide ? 16 : 8);
      if (bytes.size() < size) continue;
      const char* p = bytes.data();
      if (signed_) {
        if (le32(p) != kDescriptorSignature) continue;
        p += 4;
      }
      const uint64_t compressed = wide ? le64(p + 4) : le32(p + 4);
      const uint64_t uncompressed = wide ? le64(p + 12) : le32(p + 8);
      if (le32(p) != e.crc32 || compressed != e.compressed_size ||
          uncompressed != e.uncompressed_size) {
        continue;
      }
      if (size == wanted) return size;
      if (first == 0) first = size;
    }
  }
  return first;
}

// Where the entry ends: its local header, its data and its descriptor.
// Sets the entry's data_offset. `next` is where the next entry, or the
// central directory, begins.
Result<uint64_t> entry_end(const InputFile& in, Entry& e, uint64_t next,
                           uint64_t directory_offset) {
  if (directory_offset - e.header_offset < kLocalHeaderSize) return invalid(intruding(e));
  char header[kLocalHeaderSize];
  if (auto r = in.read_at(e.header_offset, header, sizeof header); !r) {
    return io_error(std::move(r).error());
  }
  if (le32(header) != kLocalHeaderSignature) return invalid(kBadLocalHeader);
  e.data_offset = e.header_offset + kLocalHeaderSize + le16(header + kLocalNameLengthOffset) +
                  le16(header + kLocalNameLengthOffset + 2);
  if (e.data_offset > directory_offset ||
      e.compressed_size > directory_offset - e.data_offset) {
    return invalid(intruding(e));
  }
  const uint64_t data_end = e.data_offset + e.compressed_size;
  if (!(le16(header + kLocalFlagsOffset) & kFlagDataDescriptor)) return data_end;
  char tail[kMaxDescriptorSize];
  const size_t n = static_cast<size_t>(std::min(kMaxDescriptorSize, directory_offset - data_end));
  if (auto r = in.read_at(data_end, tail, n); !r) return io_error(std::move(r).error());
  const uint64_t size = descriptor_size(e, std::string_view(tail, n), next - std::min(next, data_end));
  if (size == 0) {
    return invalid("Data descriptor of " + shown_name(e.name) +
                   " does not match the central directory");
  }
  return data_end + size;
}

}  // namespace

Result<void> check_layout(const InputFile& in, std::span<Entry> entries,
                          uint64_t directory_offset) {
  std::vector<Entry*> order;
  order.reserve(entries.size());
  for (Entry& e : entries) order.push_back(&e);
  // By offset, and entries at one offset in directory order (the span's).
  std::sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) {
    return a->header_offset != b->header_offset ? a->header_offset < b->header_offset : a < b;
  });
  uint64_t position = 0;  // where the next entry must begin
  const Entry* previous = nullptr;
  for (size_t i = 0; i < order.size(); ++i) {
    Entry& e = *order[i];
    if (e.header_offset < position) {
      return invalid("Entries " + shown_name(previous->name) + " and " + shown_name(e.name) +
                     " overlap");
    }
    if (e.header_offset > position) {
      return invalid("Bytes that no entry holds before " + shown_name(e.name));
    }
    const uint64_t next = i + 1 < order.size() ? order[i + 1]->header_offset : directory_offset;
    auto end = entry_end(in, e, next, directory_offset);
    if (!end) return std::move(end).error();
    position = *end;
    previous = &e;
  }
  if (position < directory_offset) {
    return invalid(previous == nullptr
                       ? std::string("Bytes that no entry holds before the central directory")
                       : "Bytes that no entry holds after " + shown_name(previous->name));
  }
  return {};
}

}  // namespace quarlen::zip
