#include "zip/zip_reader.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <utility>

#include "quarlen/utf8.h"
#include "zip/deflate.h"
#include "zip/end_records.h"
#include "zip/layout.h"
#include "zip/names.h"
#include "zip/zip_error.h"
#include "zip/zip_format.h"

namespace quarlen::zip {
namespace {

constexpr char kBadCentralHeader[] = "Invalid central directory header";
constexpr char kDirectoryTail[] = "Central directory holds bytes after its last entry";
constexpr char kBadExtra[] = "Invalid extra field";
constexpr char kUnicodePath[] = "Unicode path extra fields are not supported";
constexpr char kNewerVersion[] = "Entry needs a later version of the format";
constexpr char kEncrypted[] = "Encrypted entries are not supported";
constexpr char kPatched[] = "Patched data is not supported";
constexpr char kVolumeLabel[] = "Volume labels are not supported";
constexpr char kTrailingData[] = "Deflate stream ends before the entry's data";
constexpr char kImpossibleSize[] = "Declared size cannot come from the compressed data";
constexpr char kSizeMismatch[] = "Entry data does not match its declared size";
constexpr char kTruncated[] = "Deflate stream is truncated";
constexpr char kBadChecksum[] = "Invalid checksum";
constexpr char kNotFound[] = "Entry not found";
constexpr char kForeignLocalHeader[] = "Local file header does not match the central directory";

// Compressed data is read in pieces of this size; each piece of output is
// small enough that its CRC-32 runs over bytes still in cache.
constexpr size_t kReadChunk = size_t{1} << 18;

// Replaces the marked 32-bit values of a central directory header by those
// of its Zip64 extra field, which holds them in this order; a field that
// does not hold every marked value is refused, as other readers refuse it.
Result<void> apply_zip64_extra(std::string_view data, Entry& e) {
  if (data.size() != 0 && data.size() != 8 && data.size() != 16 && data.size() < 24) {
    return invalid(kBadExtra);
  }
  for (uint64_t* field : {&e.uncompressed_size, &e.compressed_size, &e.header_offset}) {
    if (*field != kMax32) continue;
    if (data.size() < 8) return invalid(kBadExtra);
    *field = le64(data.data());
    data.remove_prefix(8);
  }
  return {};
}

// Checks the extra fields of a header, applying its Zip64 field. Other
// readers refuse a block that runs past the extra data. Some read a name
// from a Unicode path field in place of the stored one, and others misjudge
// the layout of archives that hold one: such fields are refused.
Result<void> read_extra(std::string_view extra, Entry& e, Entry* local_zip64 = nullptr) {
  bool zip64_seen = false;
  while (extra.size() >= kExtraHeaderSize) {
    const uint16_t id = le16(extra.data());
    const uint16_t size = le16(extra.data() + 2);
    extra.remove_prefix(kExtraHeaderSize);
    if (size > extra.size()) return invalid(kBadExtra);
    const std::string_view data = extra.substr(0, size);
    if (id == kZip64ExtraId) {
      if (zip64_seen) return invalid(kBadExtra);
      zip64_seen = true;
      if (local_zip64 == nullptr) {
        if (auto r = apply_zip64_extra(data, e); !r) return r;
      } else {
        // A local header's field holds both sizes, marked or not.
        if (data.size() != 16) return invalid(kBadExtra);
        local_zip64->uncompressed_size = le64(data.data());
        local_zip64->compressed_size = le64(data.data() + 8);
        if (e.uncompressed_size == kMax32) e.uncompressed_size = local_zip64->uncompressed_size;
        if (e.compressed_size == kMax32) e.compressed_size = local_zip64->compressed_size;
      }
    } else if (id == kUnicodePathExtraId) {
      return unsupported(kUnicodePath);
    }
    extra.remove_prefix(size);
  }
  return {};
}

}  // namespace

Result<ZipArchive> ZipArchive::open(InputFile file) {
  ZipArchive archive(std::move(file));
  auto where = locate_directory(archive.file_);
  if (!where) return std::move(where).error();
  if (auto r = archive.read_directory(where->offset, where->size, where->entries); !r) {
    return std::move(r).error();
  }
  if (auto r = check_layout(archive.file_, archive.entries_, where->offset); !r) {
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
    if (le32(h) != kCentralHeaderSignature) return invalid(kBadCentralHeader);
    const size_t name_size = le16(h + 28);
    const size_t extra_size = le16(h + 30);
    const size_t comment_size = le16(h + 32);
    const size_t record_size = kCentralHeaderSize + name_size + extra_size + comment_size;
    if (record_size > rest.size()) return invalid(kBadCentralHeader);
    if (le16(h + 34) != 0) return unsupported(kMultiDisk);  // disk where the entry starts
    Entry e;
    e.made_by = le16(h + 4);
    e.version_needed = le16(h + 6);
    if ((e.version_needed & 0xFF) > kMaxVersionNeeded) return unsupported(kNewerVersion);
    e.name = rest.substr(kCentralHeaderSize, name_size);
    e.flags = le16(h + 8);
    e.method = le16(h + 10);
    e.crc32 = le32(h + 16);
    e.compressed_size = le32(h + 20);
    e.uncompressed_size = le32(h + 24);
    e.header_offset = le32(h + 42);
    e.external_attributes = le32(h + 38);
    const std::string_view extra = rest.substr(kCentralHeaderSize + name_size, extra_size);
    if (auto r = check_name(e.name, e.flags, e.made_by); !r) return r;
    if (auto r = read_extra(extra, e); !r) return r;
    entries_.push_back(e);
    if (!index_.emplace(e.name, entries_.size() - 1).second) {
      return invalid("Entry " + shown_name(e.name) + " is listed twice");
    }
    rest.remove_prefix(record_size);
  }
  if (!rest.empty()) return invalid(kDirectoryTail);
  return {};
}

const Entry* ZipArchive::find(std::string_view name) const {
  const auto it = index_.find(name);
  return it == index_.end() ? nullptr : &entries_[it->second];
}

Result<OpenedEntry> ZipArchive::open_entry(const Entry& entry) const {
  if (entry.flags & (kFlagEncrypted | kFlagStrongEncryption)) return unsupported(kEncrypted);
  if (entry.flags & kFlagPatched) return unsupported(kPatched);
  // Its high byte, where readers find a system's own storage format.
  if (entry.version_needed > kMaxVersionRead) return unsupported(kNewerVersion);
  const int system = entry.made_by >> 8;
  if ((system == kSystemFat || system == kSystemAtari || system == kSystemHpfs ||
       system == kSystemNtfs) &&
      (entry.external_attributes & kDosVolumeLabel)) {
    return unsupported(kVolumeLabel);
  }
  if (entry.method != kMethodStored && entry.method != kMethodDeflate) {
    return unsupported("Compression method " + std::to_string(entry.method) +
                       " is not supported");
  }
  // open() checked that the local header is there and the data fits.
  const uint64_t names_size = entry.data_offset - entry.header_offset;
  std::string header(static_cast<size_t>(names_size), '\0');  // at most 128 KiB
  if (auto r = file_.read_at(entry.header_offset, header.data(), header.size()); !r) {
    return io_error(std::move(r).error());
  }
  const uint16_t flags = le16(header.data() + kLocalFlagsOffset);
  if (flags & (kFlagEncrypted | kFlagStrongEncryption)) return unsupported(kEncrypted);
  if (flags & kFlagPatched) return unsupported(kPatched);

  // The local header must be the entry's own: another entry's header, reached
  // through a forged offset, would have this reader see other bytes than
  // every other reader does. Readers decode its name by its own flags.
  const std::string_view local_name =
      std::string_view(header).substr(kLocalHeaderSize, le16(header.data() + kLocalNameLengthOffset));
  if (local_name != entry.name || le16(header.data() + 8) != entry.method ||
      ((flags ^ entry.flags) & kFlagUtf8) != 0) {
    return invalid(kForeignLocalHeader);
  }
  Entry local = entry;
  local.crc32 = le32(header.data() + kLocalCrcOffset);
  local.compressed_size = le32(header.data() + kLocalCrcOffset + 4);
  local.uncompressed_size = le32(header.data() + kLocalCrcOffset + 8);
  local.header_offset = 0;  // a local header has no offset of its own
  const std::string_view local_extra = std::string_view(header).substr(kLocalHeaderSize + local_name.size());
  Entry zip64 = entry;  // the sizes of a local Zip64 field, where there is one
  if (!read_extra(local_extra, local, &zip64)) return invalid(kForeignLocalHeader);
  // Some readers take that field by the marks of another header, marked here
  // or not: it must hold the entry's sizes (or zeros, before a descriptor).
  const bool zeros = zip64.uncompressed_size == 0 && zip64.compressed_size == 0;
  if ((zip64.uncompressed_size != entry.uncompressed_size ||
       zip64.compressed_size != entry.compressed_size) &&
      !(zeros && (flags & kFlagDataDescriptor))) {
    return invalid(kForeignLocalHeader);
  }
  // With a data descriptor, the sizes and CRC-32 are the directory's alone.
  if (!(flags & kFlagDataDescriptor) &&
      (local.crc32 != entry.crc32 || local.compressed_size != entry.compressed_size ||
       local.uncompressed_size != entry.uncompressed_size)) {
    return invalid(kForeignLocalHeader);
  }
  return OpenedEntry{&entry, entry.data_offset};
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
  bool checksum = true;  // whether crc is kept and checked
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
    if (checksum && crc != entry.crc32) return invalid(kBadChecksum);
    return std::string_view();
  }

  void add(const char* bytes, size_t n) {
    if (checksum) crc = crc32_of(crc, bytes, n);
  }

  Result<std::string_view> next_stored() {
    if (in_left == 0) return end();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(in_left, kPieceSize));
    if (auto r = file.read_at(in_offset, out.get(), n); !r) return io_error(std::move(r).error());
    in_offset += n;
    in_left -= n;
    produced += n;
    add(out.get(), n);
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
    bool read_once = false;
    for (;;) {
      if (s.avail_in == 0 && in_left > 0) {
        if (read_once) {  // one read a call: what it gave, perhaps nothing
          const size_t made = room - s.avail_out;
          produced += made;
          add(out.get(), made);
          return std::string_view(out.get(), made);
        }
        read_once = true;
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
        add(out.get(), made);
        if (ret == Z_STREAM_END) {
          // Every byte of the entry's data belongs to the stream.
          if (s.avail_in != 0 || in_left != 0) return invalid(kTrailingData);
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

bool EntryReader::done() const noexcept { return state_->done; }

void EntryReader::leave_checksum() noexcept { state_->checksum = false; }

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
    if (entry.done()) return out;
    out.append(*piece);
  }
}

}  // namespace quarlen::zip
