#include "zip/zip_writer.h"

#include <algorithm>
#include <cassert>
#include <new>
#include <utility>

#include "zip/deflate.h"
#include "zip/zip_error.h"

namespace quarlen::zip {
namespace {

constexpr char kSizeLimit[] = "Large file option has not been set";
constexpr char kNoEntry[] = "No file has been started";
constexpr char kNameTooLong[] = "Entry name is longer than 65535 bytes";

// deflate() counts in uInt; larger writes go in slices of this size.
constexpr size_t kMaxSlice = size_t{1} << 30;

// Fixed-size records are assembled field by field into a stack buffer.
class FieldWriter {
 public:
  explicit FieldWriter(char* out) : out_(out) {}
  void u16(uint16_t v) {
    for (int i = 0; i < 2; ++i) *out_++ = static_cast<char>(v >> (8 * i));
  }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) *out_++ = static_cast<char>(v >> (8 * i));
  }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) *out_++ = static_cast<char>(v >> (8 * i));
  }
  char* end() const { return out_; }

 private:
  char* out_;
};

uint16_t name_flags(std::string_view name) {
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return ascii ? 0 : kFlagUtf8;
}

}  // namespace

ZipWriter::ZipWriter(OutputFile file, ZipWriterLimits limits)
    : file_(std::move(file)), limits_(limits) {
  assert(file_.is_open());
  // Sizes and offsets are kept in 32-bit fields up to these limits.
  assert(limits_.entry_size <= kMax32);
  assert(limits_.zip64_offset <= kMax32);
}

ZipWriter::ZipWriter(ZipWriter&&) noexcept = default;

ZipWriter::~ZipWriter() {
  // A moved-from writer has no file.
  if (!finished_ && file_.is_open()) (void)finish();
}

Error ZipWriter::failed_io(const Error& os) {
  failed_ = true;
  return io_error(os);
}

Result<void> ZipWriter::note(Result<void> r) {
  if (!r) failed_ = true;
  return r;
}

void ZipWriter::remove_entry() {
  assert(entry_open_);
  entry_open_ = false;
  name_.clear();
  // Should the cut fail, the file still continues from here and close()
  // cuts it again.
  (void)file_.truncate(header_offset_);
}

Result<void> ZipWriter::start_entry(std::string_view name) {
  assert(!finished_);
  if (entry_open_) {
    if (auto r = complete_entry(); !r) return r;
  }
  if (name.size() > kMaxNameSize) return unsupported(kNameTooLong);

  const uint64_t header_offset = file_.position();
  char fixed[kLocalHeaderSize];
  FieldWriter w(fixed);
  w.u32(kLocalHeaderSignature);               // signature
  w.u16(kVersionNeeded);                      // version needed to extract
  w.u16(name_flags(name));                    // general-purpose flags
  w.u16(kMethodDeflate);                      // compression method
  w.u16(kDosTime);                            // last modification time
  w.u16(kDosDate);                            // last modification date
  w.u32(0);                                   // crc-32, written on completion
  w.u32(0);                                   // compressed size, likewise
  w.u32(0);                                   // uncompressed size, likewise
  w.u16(static_cast<uint16_t>(name.size()));  // name length
  w.u16(0);                                   // extra field length
  assert(w.end() == fixed + sizeof fixed);

  Result<void> written = file_.write(std::string_view(fixed, sizeof fixed));
  if (written) written = file_.write(name);
  if (!written) {
    (void)file_.truncate(header_offset);
    return failed_io(std::move(written).error());
  }

  if (deflater_ == nullptr) {
    deflater_ = std::make_unique<Deflater>();
  } else {
    const int ret = deflateReset(&deflater_->stream);
    assert(ret == Z_OK);  // the stream was initialised
    (void)ret;
  }
  entry_open_ = true;
  name_.assign(name);
  header_offset_ = header_offset;
  data_offset_ = file_.position();
  uncompressed_size_ = 0;
  crc32_ = 0;
  return {};
}

Result<void> ZipWriter::write(std::string_view bytes) {
  assert(!finished_);
  if (!entry_open_) return Error(kNoEntry);
  if (bytes.size() > limits_.entry_size - uncompressed_size_) {
    remove_entry();
    return Error(kSizeLimit);
  }

  z_stream& s = deflater_->stream;
  Result<void> result;
  size_t consumed = 0;
  while (consumed < bytes.size() && result) {
    const size_t slice = std::min(bytes.size() - consumed, kMaxSlice);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + consumed));
    s.avail_in = static_cast<uInt>(slice);
    // Deflate straight into the file's buffer; a full buffer means deflate
    // may hold more output, so it is flushed and deflate runs again.
    do {
      if (file_.spare() == 0) {
        result = note(file_.flush());
        if (!result) break;
      }
      const size_t spare = file_.spare();
      s.next_out = reinterpret_cast<Bytef*>(file_.tail());
      s.avail_out = static_cast<uInt>(spare);
      const int ret = deflate(&s, Z_NO_FLUSH);
      assert(ret != Z_STREAM_ERROR);  // state not clobbered
      (void)ret;
      file_.commit(spare - s.avail_out);
    } while (s.avail_out == 0);
    consumed += slice - s.avail_in;
  }
  s.next_in = nullptr;
  s.avail_in = 0;
  // Only what deflate took counts, so the entry stays whole after a failure.
  crc32_ = crc32_of(crc32_, bytes.data(), consumed);
  uncompressed_size_ += consumed;
  return result;
}

Result<void> ZipWriter::complete_entry() {
  assert(entry_open_);
  z_stream& s = deflater_->stream;
  int ret;
  do {
    if (file_.spare() == 0) {
      if (auto r = file_.flush(); !r) {
        remove_entry();
        return failed_io(std::move(r).error());
      }
    }
    const size_t spare = file_.spare();
    s.next_out = reinterpret_cast<Bytef*>(file_.tail());
    s.avail_out = static_cast<uInt>(spare);
    ret = deflate(&s, Z_FINISH);
    assert(ret == Z_OK || ret == Z_STREAM_END);  // there was room for output
    file_.commit(spare - s.avail_out);
  } while (ret != Z_STREAM_END);

  const uint64_t compressed_size = file_.position() - data_offset_;
  if (compressed_size > limits_.entry_size) {
    remove_entry();
    return io_error(kSizeLimit);
  }

  char fields[12];
  FieldWriter w(fields);
  w.u32(crc32_);                                         // crc-32
  w.u32(static_cast<uint32_t>(compressed_size));         // compressed size
  w.u32(static_cast<uint32_t>(uncompressed_size_));      // uncompressed size
  if (auto r = file_.write_at(header_offset_ + kLocalCrcOffset,
                              std::string_view(fields, sizeof fields));
      !r) {
    remove_entry();
    return failed_io(std::move(r).error());
  }
  records_.push_back(Record{std::move(name_), crc32_, static_cast<uint32_t>(compressed_size),
                           static_cast<uint32_t>(uncompressed_size_), header_offset_});
  name_.clear();
  entry_open_ = false;
  return {};
}

Result<void> ZipWriter::write_central_header(const Record& r) {
  // An offset past the 32-bit range moves to a Zip64 field. That field
  // must also carry any size whose 32-bit field holds the 0xFFFFFFFF
  // marker, or a reader would take the offset for that size.
  const bool zip64 = r.header_offset >= limits_.zip64_offset;
  uint16_t extra_size = 0;
  if (zip64) {
    extra_size = static_cast<uint16_t>(kExtraHeaderSize + 8 +
                                       (r.uncompressed_size == kMax32 ? 8 : 0) +
                                       (r.compressed_size == kMax32 ? 8 : 0));
  }
  char fixed[kCentralHeaderSize];
  FieldWriter w(fixed);
  w.u32(kCentralHeaderSignature);                            // signature
  w.u16(kVersionMadeBy);                                     // version made by
  w.u16(zip64 ? kVersionNeededZip64 : kVersionNeeded);       // version needed
  w.u16(name_flags(r.name));                                 // general-purpose flags
  w.u16(kMethodDeflate);                                     // compression method
  w.u16(kDosTime);                                           // last modification time
  w.u16(kDosDate);                                           // last modification date
  w.u32(r.crc32);                                            // crc-32
  w.u32(r.compressed_size);                                  // compressed size
  w.u32(r.uncompressed_size);                                // uncompressed size
  w.u16(static_cast<uint16_t>(r.name.size()));               // name length
  w.u16(extra_size);                                         // extra field length
  w.u16(0);                                                  // comment length
  w.u16(0);                                                  // disk start
  w.u16(kInternalAttributes);                                // internal attributes
  w.u32(kExternalAttributes);                                // external attributes
  w.u32(zip64 ? kMax32 : static_cast<uint32_t>(r.header_offset));  // local header offset
  assert(w.end() == fixed + sizeof fixed);
  if (auto e = note(file_.write(std::string_view(fixed, sizeof fixed))); !e) return e;
  if (auto e = note(file_.write(r.name)); !e) return e;
  if (!zip64) return {};
  char extra[kExtraHeaderSize + 24];
  FieldWriter x(extra);
  x.u16(kZip64ExtraId);                                        // header id
  x.u16(static_cast<uint16_t>(extra_size - kExtraHeaderSize));  // data length
  if (r.uncompressed_size == kMax32) x.u64(r.uncompressed_size);  // uncompressed size
  if (r.compressed_size == kMax32) x.u64(r.compressed_size);      // compressed size
  x.u64(r.header_offset);                                      // local header offset
  assert(x.end() == extra + extra_size);
  return note(file_.write(std::string_view(extra, extra_size)));
}

Result<void> ZipWriter::write_zip64_end_records(uint64_t entries, uint64_t directory_size,
                                                uint64_t directory_offset) {
  const uint64_t zip64_end_offset = file_.position();
  char record[kZip64EndSize + kZip64LocatorSize];
  FieldWriter w(record);
  w.u32(kZip64EndSignature);                      // signature
  w.u64(kZip64EndSize - kZip64EndSizeFieldBias);  // size of the rest of the record
  w.u16(kVersionMadeByZip64);                     // version made by
  w.u16(kVersionNeededZip64);                     // version needed to extract
  w.u32(0);                                       // this disk
  w.u32(0);                                       // disk where the directory starts
  w.u64(entries);                                 // entries on this disk
  w.u64(entries);                                 // entries in all
  w.u64(directory_size);                          // central directory size
  w.u64(directory_offset);                        // central directory offset
  w.u32(kZip64LocatorSignature);                  // locator signature
  w.u32(0);                                       // disk holding the Zip64 end record
  w.u64(zip64_end_offset);                        // Zip64 end record offset
  w.u32(1);                                       // number of disks
  assert(w.end() == record + sizeof record);
  return note(file_.write(std::string_view(record, sizeof record)));
}

Result<void> ZipWriter::write_end_record(uint64_t entries, uint64_t directory_size,
                                         uint64_t directory_offset) {
  const auto fit16 = [](uint64_t v) { return static_cast<uint16_t>(std::min<uint64_t>(v, kMax16)); };
  const auto fit32 = [this](uint64_t v) {
    return v >= limits_.zip64_offset ? kMax32 : static_cast<uint32_t>(v);
  };
  char end[kEndSize];
  FieldWriter w(end);
  w.u32(kEndSignature);            // signature
  w.u16(0);                        // this disk
  w.u16(0);                        // disk where the directory starts
  w.u16(fit16(entries));           // entries on this disk
  w.u16(fit16(entries));           // entries in all
  w.u32(fit32(directory_size));    // central directory size
  w.u32(fit32(directory_offset));  // central directory offset
  w.u16(0);                        // comment length
  assert(w.end() == end + sizeof end);
  return note(file_.write(std::string_view(end, sizeof end)));
}

Result<void> ZipWriter::write_central_directory() {
  const uint64_t directory_offset = file_.position();
  for (const Record& r : records_) {
    if (auto e = write_central_header(r); !e) return e;
  }
  const uint64_t directory_size = file_.position() - directory_offset;
  const uint64_t entries = records_.size();
  const bool zip64 = entries > kMax16 || directory_offset >= limits_.zip64_offset ||
                     directory_size >= limits_.zip64_offset;
  if (zip64) {
    if (auto e = write_zip64_end_records(entries, directory_size, directory_offset); !e) return e;
  }
  return write_end_record(entries, directory_size, directory_offset);
}

Result<void> ZipWriter::finish() {
  assert(!finished_);
  finished_ = true;
  Result<void> result;
  if (entry_open_) {
    if (failed_) {
      remove_entry();
    } else {
      result = complete_entry();
    }
  }
  if (auto r = write_central_directory(); !r && result) {
    result = failed_io(std::move(r).error());
  }
  if (auto r = note(file_.close()); !r && result) result = std::move(r);
  deflater_.reset();
  return result;
}

}  // namespace quarlen::zip
