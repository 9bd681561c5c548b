#include "zip/zip_reader.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <utility>

#include "zip/deflate.h"
#include "zip/zip_error.h"
#include "zip/zip_format.h"

namespace quarlen::zip {
namespace {

constexpr char kNoEnd[] = "Could not find central directory end";
constexpr char kNoZip64End[] = "Could not find Zip64 central directory end";
constexpr char kMultiDisk[] = "Archives spanning several disks are not supported";
constexpr char kDirectoryOutside[] = "Central directory runs past its end record";
constexpr char kTooManyEntries[] = "Central directory is too small for its entry count";
constexpr char kBadCentralHeader[] = "Invalid central directory header";
constexpr char kBadLocalHeader[] = "Invalid local file header";
constexpr char kEncrypted[] = "Encrypted entries are not supported";
constexpr char kOutOfPlace[] = "Entry data runs into the central directory";
constexpr char kImpossibleSize[] = "Declared size cannot come from the compressed data";
constexpr char kSizeMismatch[] = "Entry data does not match its declared size";
constexpr char kTruncated[] = "Deflate stream is truncated";
constexpr char kBadChecksum[] = "Invalid checksum";
constexpr char kNotFound[] = "Entry not found";
constexpr char kForeignLocalHeader[] = "Local file header does not match the central directory";

// Compressed data is read in pieces of this size; each piece of output is
// small enough that its CRC-32 runs over bytes still in cache.
constexpr size_t kReadChunk = size_t{1} << 18;

uint16_t u16(const char* p) {
  return static_cast<uint16_t>(static_cast<unsigned char>(p[0]) |
                               static_cast<unsigned char>(p[1]) << 8);
}
uint32_t u32(const char* p) {
  return static_cast<uint32_t>(u16(p)) | static_cast<uint32_t>(u16(p + 2)) << 16;
}
uint64_t u64(const char* p) {
  return static_cast<uint64_t>(u32(p)) | static_cast<uint64_t>(u32(p + 4)) << 32;
}

// Replaces the marked 32-bit values of a central directory header by those
// of its Zip64 extra field, which holds them in this order. A marked value
// the field does not hold stays as it is: its size really is 0xFFFFFFFF.
void apply_zip64_extra(std::string_view extra, Entry& e) {
  while (extra.size() >= kExtraHeaderSize) {
    const uint16_t id = u16(extra.data());
    const uint16_t size = u16(extra.data() + 2);
    extra.remove_prefix(kExtraHeaderSize);
    if (size > extra.size()) return;  // a damaged block ends the walk
    if (id == kZip64ExtraId) {
      std::string_view data = extra.substr(0, size);
      for (uint64_t* field : {&e.uncompressed_size, &e.compressed_size, &e.header_offset}) {
        if (*field != kMax32) continue;
        if (data.size() < 8) return;
        *field = u64(data.data());
        data.remove_prefix(8);
      }
      return;
    }
    extra.remove_prefix(size);
  }
}

// Where the central directory lies, as the end records give it.
struct DirectoryLocation {
  uint64_t end_offset = 0;      // of the end record
  uint64_t disk = 0;
  uint64_t directory_disk = 0;
  uint64_t disk_entries = 0;
  uint64_t entries = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  uint64_t limit = 0;           // the directory ends before this
};

// Finds the end record. It is the last thing in the file, followed only by
// its comment, so the search runs backwards from the last place it fits and
// takes the first record whose comment reaches exactly to the end.
Result<DirectoryLocation> read_end_record(const InputFile& in) {
  const uint64_t file_size = in.size();
  const size_t tail_size = static_cast<size_t>(std::min(file_size, kEndSearchSize));
  if (tail_size < kEndSize) return invalid(kNoEnd);
  const uint64_t tail_offset = file_size - tail_size;
  std::string tail(tail_size, '\0');
  if (auto r = in.read_at(tail_offset, tail.data(), tail_size); !r) {
    return io_error(std::move(r).error());
  }
  size_t pos = tail_size - kEndSize + 1;
  bool found = false;
  while (pos-- > 0) {
    const char* p = tail.data() + pos;
    if (u32(p) == kEndSignature && pos + kEndSize + u16(p + 20) == tail_size) {
      found = true;
      break;
    }
  }
  if (!found) return invalid(kNoEnd);
  const char* end = tail.data() + pos;
  DirectoryLocation where;
  where.end_offset = tail_offset + pos;
  where.disk = u16(end + 4);
  where.directory_disk = u16(end + 6);
  where.disk_entries = u16(end + 8);
  where.entries = u16(end + 10);
  where.size = u32(end + 12);
  where.offset = u32(end + 16);
  where.limit = where.end_offset;
  return where;
}

// A marked field sends the reader to the Zip64 records, when the locator
// stands right before the end record; without it the values are literal.
Result<void> read_zip64_end_record(const InputFile& in, DirectoryLocation& where) {
  const bool marked = where.disk == kMax16 || where.directory_disk == kMax16 ||
                      where.disk_entries == kMax16 || where.entries == kMax16 ||
                      where.size == kMax32 || where.offset == kMax32;
  if (!marked || where.end_offset < kZip64LocatorSize) return {};
  const uint64_t locator_offset = where.end_offset - kZip64LocatorSize;
  char locator[kZip64LocatorSize];
  if (auto r = in.read_at(locator_offset, locator, sizeof locator); !r) {
    return io_error(std::move(r).error());
  }
  if (u32(locator) != kZip64LocatorSignature) return {};
  const uint32_t zip64_disk = u32(locator + 4);
  const uint64_t zip64_offset = u64(locator + 8);
  const uint32_t disks = u32(locator + 16);
  if (zip64_disk != 0 || disks > 1) return unsupported(kMultiDisk);
  if (zip64_offset > locator_offset || locator_offset - zip64_offset < kZip64EndSize) {
    return invalid(kNoZip64End);
  }
  char record[kZip64EndSize];
  if (auto r = in.read_at(zip64_offset, record, sizeof record); !r) {
    return io_error(std::move(r).error());
  }
  const uint64_t record_size = u64(record + 4);
  if (u32(record) != kZip64EndSignature ||
      record_size < kZip64EndSize - kZip64EndSizeFieldBias ||
      record_size > locator_offset - zip64_offset - kZip64EndSizeFieldBias) {
    return invalid(kNoZip64End);
  }
  where.disk = u32(record + 16);
  where.directory_disk = u32(record + 20);
  where.disk_entries = u64(record + 24);
  where.entries = u64(record + 32);
  where.size = u64(record + 40);
  where.offset = u64(record + 48);
  where.limit = zip64_offset;
  return {};
}

// The directory must lie on one disk, inside the file before its end records,
// and have room for its entries.
Result<void> check_location(const DirectoryLocation& where) {
  if (where.disk != 0 || where.directory_disk != 0 || where.disk_entries != where.entries) {
    return unsupported(kMultiDisk);
  }
  if (where.offset > where.limit || where.size > where.limit - where.offset) {
    return invalid(kDirectoryOutside);
  }
  if (where.entries > where.size / kCentralHeaderSize) return invalid(kTooManyEntries);
  return {};
}

}  // namespace

Result<ZipArchive> ZipArchive::open(InputFile file) {
  ZipArchive archive(std::move(file));
  auto where = read_end_record(archive.file_);
  if (!where) return std::move(where).error();
  if (auto r = read_zip64_end_record(archive.file_, *where); !r) return std::move(r).error();
  if (auto r = check_location(*where); !r) return std::move(r).error();
  if (auto r = archive.read_directory(where->offset, where->size, where->entries); !r) {
    return std::move(r).error();
  }
  return archive;
}

Result<void> ZipArchive::read_directory(uint64_t offset, uint64_t size, uint64_t count) {
  // The caller checked that the directory lies within the file, so this
  // allocation is bounded by the file's length.
  const size_t length = static_cast<size_t>(size);
  directory_ = std::unique_ptr<char[]>(new char[length]);
  if (auto r = file_.read_at(offset, directory_.get(), length); !r) {
    return io_error(std::move(r).error());
  }
  directory_offset_ = offset;
  entries_.reserve(static_cast<size_t>(count));
  index_.reserve(static_cast<size_t>(count));

  std::string_view rest(directory_.get(), length);
  for (uint64_t i = 0; i < count; ++i) {
    if (rest.size() < kCentralHeaderSize) return invalid(kBadCentralHeader);
    const char* h = rest.data();
    if (u32(h) != kCentralHeaderSignature) return invalid(kBadCentralHeader);
    const size_t name_size = u16(h + 28);
    const size_t extra_size = u16(h + 30);
    const size_t comment_size = u16(h + 32);
    const size_t record_size = kCentralHeaderSize + name_size + extra_size + comment_size;
    if (record_size > rest.size()) return invalid(kBadCentralHeader);

    Entry e;
    e.name = rest.substr(kCentralHeaderSize, name_size);
    e.flags = u16(h + 8);
    e.method = u16(h + 10);
    e.crc32 = u32(h + 16);
    e.compressed_size = u32(h + 20);
    e.uncompressed_size = u32(h + 24);
    e.header_offset = u32(h + 42);
    apply_zip64_extra(rest.substr(kCentralHeaderSize + name_size, extra_size), e);
    entries_.push_back(e);
    index_.emplace(e.name, entries_.size() - 1);  // keeps the first of a repeated name
    rest.remove_prefix(record_size);
  }
  return {};
}

const Entry* ZipArchive::find(std::string_view name) const {
  const auto it = index_.find(name);
  return it == index_.end() ? nullptr : &entries_[it->second];
}

Result<OpenedEntry> ZipArchive::open_entry(const Entry& entry) const {
  if (entry.flags & kFlagEncrypted) return unsupported(kEncrypted);
  if (entry.method != kMethodStored && entry.method != kMethodDeflate) {
    return unsupported("Compression method " + std::to_string(entry.method) +
                       " is not supported");
  }
  if (entry.header_offset > directory_offset_ ||
      directory_offset_ - entry.header_offset < kLocalHeaderSize) {
    return invalid(kOutOfPlace);
  }
  char header[kLocalHeaderSize];
  if (auto r = file_.read_at(entry.header_offset, header, sizeof header); !r) {
    return io_error(std::move(r).error());
  }
  if (u32(header) != kLocalHeaderSignature) return invalid(kBadLocalHeader);
  const uint16_t flags = u16(header + 6);
  if (flags & kFlagEncrypted) return unsupported(kEncrypted);
  const size_t name_size = u16(header + kLocalNameLengthOffset);
  const size_t extra_size = u16(header + kLocalNameLengthOffset + 2);
  const uint64_t data_offset = entry.header_offset + kLocalHeaderSize + name_size + extra_size;
  if (data_offset > directory_offset_ ||
      entry.compressed_size > directory_offset_ - data_offset) {
    return invalid(kOutOfPlace);
  }

  // The local header must be the entry's own: another entry's header, reached
  // through a forged offset, would have this reader see other bytes than
  // every other reader does.
  if (name_size != entry.name.size() || u16(header + 8) != entry.method) {
    return invalid(kForeignLocalHeader);
  }
  std::string names(name_size + extra_size, '\0');  // both at most 64 KiB
  if (auto r = file_.read_at(entry.header_offset + kLocalHeaderSize, names.data(), names.size());
      !r) {
    return io_error(std::move(r).error());
  }
  if (std::string_view(names).substr(0, name_size) != entry.name) {
    return invalid(kForeignLocalHeader);
  }
  if (!(flags & kFlagDataDescriptor)) {
    Entry local = entry;
    local.crc32 = u32(header + kLocalCrcOffset);
    local.compressed_size = u32(header + kLocalCrcOffset + 4);
    local.uncompressed_size = u32(header + kLocalCrcOffset + 8);
    local.header_offset = 0;  // a local header has no offset of its own
    apply_zip64_extra(std::string_view(names).substr(name_size), local);
    if (local.crc32 != entry.crc32 || local.compressed_size != entry.compressed_size ||
        local.uncompressed_size != entry.uncompressed_size) {
      return invalid(kForeignLocalHeader);
    }
  }
  return OpenedEntry{&entry, data_offset};
}

Result<OpenedEntry> ZipArchive::open_entry(std::string_view name) const {
  const Entry* entry = find(name);
  if (entry == nullptr) return Error(kNotFound);
  return open_entry(*entry);
}

// EntryReader

struct EntryReader::State {
  const InputFile& file;
  const Entry& entry;
  uint64_t in_offset;
  uint64_t in_left;  // compressed bytes not read yet
  uint64_t produced = 0;
  uint32_t crc = 0;
  bool done = false;
  std::unique_ptr<char[]> in;
  std::unique_ptr<char[]> out;
  std::unique_ptr<Inflater> inflater;  // deflate entries only

  State(const InputFile& f, const OpenedEntry& opened)
      : file(f), entry(*opened.entry), in_offset(opened.data_offset),
        in_left(opened.entry->compressed_size) {}

  // Marks the end: the size and CRC-32 must be those declared.
  Result<std::string_view> end() {
    done = true;
    if (produced != entry.uncompressed_size) return invalid(kSizeMismatch);
    if (crc != entry.crc32) return invalid(kBadChecksum);
    return std::string_view();
  }

  Result<std::string_view> next_stored() {
    if (in_left == 0) return end();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(in_left, kPieceSize));
    if (auto r = file.read_at(in_offset, out.get(), n); !r) return io_error(std::move(r).error());
    in_offset += n;
    in_left -= n;
    produced += n;
    crc = crc32_of(crc, out.get(), n);
    return std::string_view(out.get(), n);
  }

  Result<std::string_view> next_deflated() {
    z_stream& s = inflater->stream;
    const uint64_t declared = entry.uncompressed_size;
    // Room for a full piece, but no more than the declared size, plus one
    // byte that catches a stream running past it.
    const size_t room = static_cast<size_t>(
        std::min<uint64_t>(kPieceSize, declared - std::min(declared, produced) + 1));
    s.next_out = reinterpret_cast<Bytef*>(out.get());
    s.avail_out = static_cast<uInt>(room);
    for (;;) {
      if (s.avail_in == 0 && in_left > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(in_left, kReadChunk));
        if (auto r = file.read_at(in_offset, in.get(), n); !r) {
          return io_error(std::move(r).error());
        }
        s.next_in = reinterpret_cast<Bytef*>(in.get());
        s.avail_in = static_cast<uInt>(n);
        in_offset += n;
        in_left -= n;
      }
      const int ret = inflate(&s, Z_NO_FLUSH);
      const size_t made = room - s.avail_out;
      if (produced + made > declared) return invalid(kSizeMismatch);
      if (ret == Z_DATA_ERROR || ret == Z_NEED_DICT) {
        return invalid(s.msg != nullptr ? s.msg : "invalid deflate data");
      }
      if (ret == Z_MEM_ERROR) throw std::bad_alloc();
      if (ret == Z_BUF_ERROR && s.avail_out != 0) {
        // No progress with room to write: the input ran out.
        assert(s.avail_in == 0 && in_left == 0);
        return invalid(kTruncated);
      }
      if (ret == Z_STREAM_END || s.avail_out == 0) {
        produced += made;
        crc = crc32_of(crc, out.get(), made);
        if (ret == Z_STREAM_END) {
          inflater.reset();
          if (made == 0) return end();
        }
        return std::string_view(out.get(), made);
      }
      assert(ret == Z_OK);
    }
  }
};

EntryReader::EntryReader(const InputFile& file, const OpenedEntry& opened)
    : state_(std::make_unique<State>(file, opened)) {
  State& st = *state_;
  st.out.reset(new char[kPieceSize]);
  if (st.entry.method == kMethodDeflate) {
    st.in.reset(new char[static_cast<size_t>(
        std::max<uint64_t>(std::min<uint64_t>(st.entry.compressed_size, kReadChunk), 1))]);
    st.inflater = std::make_unique<Inflater>();
  }
}

EntryReader::EntryReader(EntryReader&&) noexcept = default;
EntryReader& EntryReader::operator=(EntryReader&&) noexcept = default;
EntryReader::~EntryReader() = default;

Result<std::string_view> EntryReader::next() {
  State& st = *state_;
  if (st.done) return std::string_view();
  const Entry& e = st.entry;
  if (e.method == kMethodStored) {
    if (st.produced == 0 && e.uncompressed_size != e.compressed_size) {
      st.done = true;
      return invalid(kSizeMismatch);
    }
    auto piece = st.next_stored();
    if (!piece) st.done = true;
    return piece;
  }
  assert(e.method == kMethodDeflate);  // open_entry() lets no other through
  if (st.produced == 0 && e.uncompressed_size / kMaxDeflateRatio > e.compressed_size) {
    st.done = true;
    return invalid(kImpossibleSize);
  }
  if (st.inflater == nullptr) return st.end();
  auto piece = st.next_deflated();
  if (!piece) st.done = true;
  return piece;
}

EntryReader ZipArchive::reader(const OpenedEntry& opened) const {
  // open_entry() placed the compressed data inside the file.
  assert(opened.data_offset + opened.entry->compressed_size <= directory_offset_);
  return EntryReader(file_, opened);
}

Result<std::string> ZipArchive::read_entry(const OpenedEntry& opened) const {
  EntryReader entry = reader(opened);
  std::string out;
  for (;;) {
    auto piece = entry.next();
    if (!piece) return std::move(piece).error();
    if (piece->empty()) return out;
    out.append(*piece);
  }
}

}  // namespace quarlen::zip
