#include "zip/end_records.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "zip/zip_error.h"
#include "zip/zip_format.h"

namespace quarlen::zip {
namespace {

constexpr char kNoEnd[] = "Could not find central directory end";
constexpr char kSecondEnd[] = "Another end record follows the end record";
constexpr char kBytesAfterEnd[] = "Bytes after the end record's comment";
constexpr char kNoZip64End[] = "Could not find Zip64 central directory end";
constexpr char kZip64Mismatch[] = "Zip64 end record does not match the end record";
constexpr char kDirectoryOutside[] = "Central directory runs past its end record";
constexpr char kDirectoryShort[] = "Bytes between the central directory and its end record";
constexpr char kTooManyEntries[] = "Central directory is too small for its entry count";

// The end record's fields, widened; a field holding its marker defers to
// the Zip64 end record.
struct EndFields {
  uint64_t end_offset = 0;  // of the end record
  uint64_t disk = 0;
  uint64_t directory_disk = 0;
  uint64_t disk_entries = 0;
  uint64_t entries = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  uint64_t limit = 0;  // where the central directory must end
};

// Finds the end record. It is the last thing in the file, followed only by
// its comment, so the search runs backwards from the last place it fits and
// takes the first record whose comment reaches exactly to the end. Readers
// that take the last signature in the file instead would find another record
// in a comment (or in the record's own fields): such a file is refused.
Result<EndFields> read_end_record(const InputFile& in) {
  const uint64_t file_size = in.size();
  const size_t most = static_cast<size_t>(std::min(file_size, kEndSearchSize));
  if (most < kEndSize) return invalid(kNoEnd);
  // Without a comment, the record is the file's last 22 bytes, where the
  // search below finds it first: most files need no more read than these.
  std::string tail;
  for (const size_t size : {kEndSize, most}) {
    tail.resize(size);
    if (auto r = in.read_at(file_size - size, tail.data(), size); !r) {
      return io_error(std::move(r).error());
    }
    if (le32(tail.data()) == kEndSignature && le16(tail.data() + 20) == 0) break;
  }
  const size_t tail_size = tail.size();
  const uint64_t tail_offset = file_size - tail_size;
  size_t pos = tail_size - kEndSize + 1;
  bool found = false;
  bool short_comment = false;  // a record whose comment ends before the file
  while (pos-- > 0) {
    const char* p = tail.data() + pos;
    if (le32(p) != kEndSignature) continue;
    const size_t end = pos + kEndSize + le16(p + 20);
    if (end == tail_size) {
      found = true;
      break;
    }
    short_comment = short_comment || end < tail_size;
  }
  if (!found) return invalid(short_comment ? kBytesAfterEnd : kNoEnd);
  // Without a comment, the record is the file's last 22 bytes, which every
  // reader tries first.
  const std::string_view signature("PK\x05\x06", 4);
  if (pos + kEndSize < tail_size &&
      std::string_view(tail).substr(pos + 1).find(signature) != std::string_view::npos) {
    return invalid(kSecondEnd);
  }
  const char* end = tail.data() + pos;
  EndFields where;
  where.end_offset = tail_offset + pos;
  where.disk = le16(end + 4);
  where.directory_disk = le16(end + 6);
  where.disk_entries = le16(end + 8);
  where.entries = le16(end + 10);
  where.size = le32(end + 12);
  where.offset = le32(end + 16);
  where.limit = where.end_offset;
  return where;
}

// A Zip64 locator right before the end record is followed whatever the end
// record's fields hold, as other readers follow it. The Zip64 end record
// must stand right before the locator, without extensible data, and agree
// with every field of the end record that is not a marker.
Result<void> read_zip64_end_record(const InputFile& in, EndFields& where) {
  if (where.end_offset < kZip64LocatorSize) return {};
  const uint64_t locator_offset = where.end_offset - kZip64LocatorSize;
  char locator[kZip64LocatorSize];
  if (auto r = in.read_at(locator_offset, locator, sizeof locator); !r) {
    return io_error(std::move(r).error());
  }
  if (le32(locator) != kZip64LocatorSignature) return {};
  const uint32_t zip64_disk = le32(locator + 4);
  const uint64_t zip64_offset = le64(locator + 8);
  const uint32_t disks = le32(locator + 16);
  if (zip64_disk != 0 || disks != 1) return unsupported(kMultiDisk);  // 0 disks fools some
  if (locator_offset < kZip64EndSize || zip64_offset != locator_offset - kZip64EndSize) {
    return invalid(kNoZip64End);
  }
  char record[kZip64EndSize];
  if (auto r = in.read_at(zip64_offset, record, sizeof record); !r) {
    return io_error(std::move(r).error());
  }
  if (le32(record) != kZip64EndSignature ||
      le64(record + 4) != kZip64EndSize - kZip64EndSizeFieldBias) {
    return invalid(kNoZip64End);
  }
  const std::pair<uint64_t*, uint64_t> fields[] = {
      {&where.disk, le32(record + 16)},         {&where.directory_disk, le32(record + 20)},
      {&where.disk_entries, le64(record + 24)}, {&where.entries, le64(record + 32)},
      {&where.size, le64(record + 40)},         {&where.offset, le64(record + 48)},
  };
  for (const auto& [field, zip64] : fields) {
    const bool wide = field == &where.size || field == &where.offset;
    if (*field != (wide ? kMax32 : kMax16) && *field != zip64) return invalid(kZip64Mismatch);
    *field = zip64;
  }
  where.limit = zip64_offset;
  return {};
}

}  // namespace

Result<DirectoryLocation> locate_directory(const InputFile& in) {
  auto where = read_end_record(in);
  if (!where) return std::move(where).error();
  if (auto r = read_zip64_end_record(in, *where); !r) return std::move(r).error();
  const EndFields& w = *where;
  if (w.disk != 0 || w.directory_disk != 0 || w.disk_entries != w.entries) {
    return unsupported(kMultiDisk);
  }
  if (w.offset > w.limit || w.size > w.limit - w.offset) return invalid(kDirectoryOutside);
  if (w.offset + w.size != w.limit) return invalid(kDirectoryShort);
  if (w.entries > w.size / kCentralHeaderSize) return invalid(kTooManyEntries);
  return DirectoryLocation{w.entries, w.size, w.offset};
}

}  // namespace quarlen::zip
