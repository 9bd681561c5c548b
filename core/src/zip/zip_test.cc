#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zip/file.h"
#include "zip/zip_format.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

// Every allocation of the process goes through here, so that a test can
// check that a file's claims did not turn into allocations.
namespace {
std::atomic<size_t> largest_allocation{0};
}  // namespace

void* operator new(size_t size) {
  size_t seen = largest_allocation.load(std::memory_order_relaxed);
  while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Out of line, or the compiler sees free() meet operator new and warns.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace quarlen::zip {
namespace {

constexpr char kNoEnd[] = "invalid Zip archive: Could not find central directory end";
constexpr char kNoZip64End[] = "invalid Zip archive: Could not find Zip64 central directory end";
constexpr char kMultiDisk[] =
    "unsupported Zip archive: Archives spanning several disks are not supported";
constexpr char kDirectoryOutside[] = "invalid Zip archive: Central directory runs past its end record";
constexpr char kTooManyEntries[] =
    "invalid Zip archive: Central directory is too small for its entry count";
constexpr char kBadCentralHeader[] = "invalid Zip archive: Invalid central directory header";
constexpr char kBadLocalHeader[] = "invalid Zip archive: Invalid local file header";
constexpr char kEncrypted[] = "unsupported Zip archive: Encrypted entries are not supported";
constexpr char kOutOfPlace[] = "invalid Zip archive: Entry data runs into the central directory";
constexpr char kImpossibleSize[] =
    "invalid Zip archive: Declared size cannot come from the compressed data";
constexpr char kSizeMismatch[] = "invalid Zip archive: Entry data does not match its declared size";
constexpr char kTruncated[] = "invalid Zip archive: Deflate stream is truncated";
constexpr char kBadChecksum[] = "invalid Zip archive: Invalid checksum";
constexpr char kForeign[] =
    "invalid Zip archive: Local file header does not match the central directory";
constexpr char kSizeLimit[] = "Large file option has not been set";
constexpr char kNoEntry[] = "No file has been started";

// Little-endian fields, read and written independently of the ZIP layer.
uint16_t get16(const std::string& s, uint64_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s.at(at)) |
                               static_cast<unsigned char>(s.at(at + 1)) << 8);
}
uint32_t get32(const std::string& s, uint64_t at) {
  return get16(s, at) | static_cast<uint32_t>(get16(s, at + 2)) << 16;
}
uint64_t get64(const std::string& s, uint64_t at) {
  return get32(s, at) | static_cast<uint64_t>(get32(s, at + 4)) << 32;
}
void put(std::string& s, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) s += static_cast<char>(v >> (8 * i));
}
void set(std::string& s, uint64_t at, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) s.at(at + i) = static_cast<char>(v >> (8 * i));
}

uint32_t crc_of(std::string_view data) {
  return static_cast<uint32_t>(
      crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}

std::string raw_deflate(std::string_view data) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&s, data.size()), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// The inflated data, or "<inflate failed>" unless the stream ends exactly.
std::string raw_inflate(std::string_view data) {
  z_stream s{};
  EXPECT_EQ(inflateInit2(&s, -15), Z_OK);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  std::string out;
  int ret;
  do {
    char chunk[4096];
    s.next_out = reinterpret_cast<Bytef*>(chunk);
    s.avail_out = sizeof chunk;
    ret = inflate(&s, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - s.avail_out);
  } while (ret == Z_OK);
  const bool whole = ret == Z_STREAM_END && s.avail_in == 0;
  inflateEnd(&s);
  return whole ? out : "<inflate failed>";
}

// Bytes that deflate cannot shrink.
std::string noise(size_t size, uint32_t seed = 1) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

// Text as the writer's callers produce it: compressible lines.
std::string lines(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += "[\"APP\",\"T" + std::to_string(i) + "\",\"C" + std::to_string(i * 7 % 13) + "\"]\n";
  }
  return out;
}

// One central directory header as the test reads it.
struct Central {
  uint64_t at;  // of the header itself
  uint16_t made_by, needed, flags, method, time, date;
  uint32_t crc, compressed_size, uncompressed_size;
  uint16_t name_size, extra_size, comment_size, disk, internal;
  uint32_t external, offset;
  std::string name, extra;
};

Central parse_central(const std::string& b, uint64_t at) {
  EXPECT_EQ(get32(b, at), 0x02014b50u) << at;
  Central c;
  c.at = at;
  c.made_by = get16(b, at + 4);
  c.needed = get16(b, at + 6);
  c.flags = get16(b, at + 8);
  c.method = get16(b, at + 10);
  c.time = get16(b, at + 12);
  c.date = get16(b, at + 14);
  c.crc = get32(b, at + 16);
  c.compressed_size = get32(b, at + 20);
  c.uncompressed_size = get32(b, at + 24);
  c.name_size = get16(b, at + 28);
  c.extra_size = get16(b, at + 30);
  c.comment_size = get16(b, at + 32);
  c.disk = get16(b, at + 34);
  c.internal = get16(b, at + 36);
  c.external = get32(b, at + 38);
  c.offset = get32(b, at + 42);
  c.name = b.substr(at + 46, c.name_size);
  c.extra = b.substr(at + 46 + c.name_size, c.extra_size);
  return c;
}

uint64_t central_size(const Central& c) {
  return 46 + c.name_size + c.extra_size + c.comment_size;
}

// The ordinary end record of an archive without comment: its last 22 bytes.
struct End {
  uint64_t at;
  uint16_t disk, directory_disk, disk_entries, entries;
  uint32_t directory_size, directory_offset;
  uint16_t comment_size;
};

End parse_end(const std::string& b) {
  End e;
  e.at = b.size() - 22;
  EXPECT_EQ(get32(b, e.at), 0x06054b50u);
  e.disk = get16(b, e.at + 4);
  e.directory_disk = get16(b, e.at + 6);
  e.disk_entries = get16(b, e.at + 8);
  e.entries = get16(b, e.at + 10);
  e.directory_size = get32(b, e.at + 12);
  e.directory_offset = get32(b, e.at + 16);
  e.comment_size = get16(b, e.at + 20);
  return e;
}

// An entry built by hand, as other writers lay them out.
struct Crafted {
  std::string name;
  std::string content;  // uncompressed
  uint16_t method = 8;
  uint16_t flags = 0;
  bool descriptor = false;  // zeros in the local header, a data descriptor after the data
};

// A whole archive of crafted entries, with an optional archive comment.
std::string craft(const std::vector<Crafted>& entries, std::string_view comment = "") {
  std::string out, directory;
  for (const Crafted& e : entries) {
    const std::string data = e.method == 8 ? raw_deflate(e.content) : e.content;
    const uint32_t crc = crc_of(e.content);
    const uint64_t offset = out.size();
    const uint16_t flags = e.flags | (e.descriptor ? 8 : 0);
    const uint64_t local[] = {20, flags, e.method, 0, 0x21, e.descriptor ? 0 : crc,
                              e.descriptor ? 0 : data.size(), e.descriptor ? 0 : e.content.size(),
                              e.name.size(), 0};
    const uint64_t central[] = {0x0314, 20, flags, e.method, 0, 0x21, crc, data.size(),
                                e.content.size(), e.name.size(), 0, 0, 0, 0, 0x81A40000, offset};
    const int local_widths[] = {2, 2, 2, 2, 2, 4, 4, 4, 2, 2};
    const int central_widths[] = {2, 2, 2, 2, 2, 2, 4, 4, 4, 2, 2, 2, 2, 2, 4, 4};
    put(out, 0x04034b50, 4);
    for (size_t i = 0; i < std::size(local); ++i) put(out, local[i], local_widths[i]);
    out += e.name + data;
    if (e.descriptor) {
      for (uint64_t v : {uint64_t{0x08074b50}, uint64_t{crc}, uint64_t{data.size()},
                         uint64_t{e.content.size()}}) {
        put(out, v, 4);
      }
    }
    put(directory, 0x02014b50, 4);
    for (size_t i = 0; i < std::size(central); ++i) put(directory, central[i], central_widths[i]);
    directory += e.name;
  }
  const uint64_t directory_offset = out.size();
  out += directory;
  const uint64_t end[] = {0x06054b50, 0, 0, entries.size(), entries.size(), directory.size(),
                          directory_offset, comment.size()};
  const int end_widths[] = {4, 2, 2, 2, 2, 4, 4, 2};
  for (size_t i = 0; i < std::size(end); ++i) put(out, end[i], end_widths[i]);
  out += comment;
  return out;
}

class ZipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "zip_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  ZipWriter writer(const std::string& p, ZipWriterLimits limits = {}) {
    auto file = OutputFile::create(p);
    EXPECT_TRUE(file.ok());
    return ZipWriter(std::move(*file), limits);
  }

  // Writes the entries with one write call each and finishes.
  void write_archive(const std::string& p,
                     const std::vector<std::pair<std::string, std::string>>& entries,
                     ZipWriterLimits limits = {}) {
    ZipWriter w = writer(p, limits);
    for (const auto& [name, content] : entries) {
      ASSERT_TRUE(w.start_entry(name).ok()) << name;
      ASSERT_TRUE(w.write(content).ok()) << name;
    }
    auto r = w.finish();
    ASSERT_TRUE(r.ok()) << r.error().message();
  }

  static std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void spit(const std::string& p, std::string_view bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  static Result<ZipArchive> open(const std::string& p) {
    auto file = InputFile::open(p);
    if (!file) return std::move(file).error();
    return ZipArchive::open(std::move(*file));
  }

  // Opens the bytes as an archive and reads one entry.
  Result<std::string> read_bytes(std::string_view bytes, std::string_view name) {
    spit(path("in.zip"), bytes);
    auto archive = open(path("in.zip"));
    if (!archive) return std::move(archive).error();
    return read(*archive, name);
  }

  static Result<std::string> read(const ZipArchive& archive, std::string_view name) {
    auto opened = archive.open_entry(name);
    if (!opened) return std::move(opened).error();
    return archive.read_entry(*opened);
  }

  static std::string message_of(const Result<std::string>& r) {
    return r.ok() ? "<read " + std::to_string(r->size()) + " bytes>" : r.error().message();
  }

  // The error of opening the bytes as an archive, or "" when it opens.
  std::string open_error(std::string_view bytes) {
    spit(path("in.zip"), bytes);
    auto archive = open(path("in.zip"));
    return archive.ok() ? "" : archive.error().message();
  }

  std::string dir_;
};

// Writer: header fields

TEST_F(ZipTest, EveryHeaderFieldAsWritten) {
  const std::string first = lines(300);
  const std::string second = "caf\xc3\xa9\n";
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"objects.jsonl", first}, {"units/\xc3\x89T\xc3\x89.jsonl", second}, {"manifest.json", "{}"}};
  write_archive(path("a.zip"), entries);
  const std::string b = slurp(path("a.zip"));

  const End end = parse_end(b);
  EXPECT_EQ(end.disk, 0);
  EXPECT_EQ(end.directory_disk, 0);
  EXPECT_EQ(end.disk_entries, 3);
  EXPECT_EQ(end.entries, 3);
  EXPECT_EQ(end.comment_size, 0);
  EXPECT_EQ(uint64_t{end.directory_offset} + end.directory_size, end.at);
  // No Zip64 records in a small archive.
  EXPECT_NE(get32(b, end.at - 20), 0x07064b50u);

  uint64_t local_at = 0;  // entries follow each other without gaps or descriptors
  uint64_t central_at = end.directory_offset;
  for (const auto& [name, content] : entries) {
    const Central c = parse_central(b, central_at);
    const uint16_t utf8 = name == "units/\xc3\x89T\xc3\x89.jsonl" ? 0x0800 : 0;
    // Each field as (central offset, local offset or 0, width, value); the
    // local header repeats the central one, with the CRC-32 and sizes written back.
    const struct {
      int central, local, width;
      uint64_t value;
    } fields[] = {{0, 0, 4, 0x02014b50}, {-1, 0, 4, 0x04034b50}, {4, -1, 2, 0x0314},
                  {6, 4, 2, 20},        {8, 6, 2, utf8},        {10, 8, 2, 8},
                  {12, 10, 2, 0},       {14, 12, 2, 0x21},      {16, 14, 4, crc_of(content)},
                  {20, 18, 4, c.compressed_size}, {24, 22, 4, content.size()},
                  {28, 26, 2, name.size()}, {30, 28, 2, 0}, {32, -1, 2, 0}, {34, -1, 2, 0},
                  {36, -1, 2, 0}, {38, -1, 4, 0x81A40000}, {42, -1, 4, local_at}};
    for (const auto& f : fields) {
      const auto field = [&](uint64_t at) { return f.width == 2 ? get16(b, at) : get32(b, at); };
      if (f.central >= 0) {
        EXPECT_EQ(field(c.at + f.central), f.value) << name << " " << f.central;
      }
      if (f.local >= 0 && f.central != 0) {
        EXPECT_EQ(field(local_at + f.local), f.value) << name << " local " << f.local;
      }
    }
    EXPECT_EQ(c.name, name);
    EXPECT_EQ(b.substr(local_at + 30, name.size()), name);
    const uint64_t data_at = local_at + 30 + name.size();
    EXPECT_EQ(raw_inflate(std::string_view(b).substr(data_at, c.compressed_size)), content);

    local_at = data_at + c.compressed_size;
    central_at += central_size(c);
  }
  EXPECT_EQ(local_at, end.directory_offset);
  EXPECT_EQ(central_at, end.at);
}

TEST_F(ZipTest, EmptyEntriesAndEmptyArchive) {
  write_archive(path("a.zip"), {{"empty.jsonl", ""}, {"also.jsonl", ""}});
  const std::string b = slurp(path("a.zip"));
  const Central c = parse_central(b, parse_end(b).directory_offset);
  EXPECT_EQ(c.crc, 0u);
  EXPECT_EQ(c.uncompressed_size, 0u);
  EXPECT_EQ(raw_inflate(b.substr(30 + 11, c.compressed_size)), "");
  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  ASSERT_EQ(archive->entries().size(), 2u);
  EXPECT_EQ(message_of(read(*archive, "empty.jsonl")), "<read 0 bytes>");
  EXPECT_EQ(message_of(read(*archive, "also.jsonl")), "<read 0 bytes>");

  // A writer finished without entries leaves the end record alone.
  ZipWriter w = writer(path("none.zip"));
  ASSERT_TRUE(w.finish().ok());
  const std::string none = slurp(path("none.zip"));
  std::string expected;
  put(expected, 0x06054b50, 4);
  expected += std::string(18, '\0');
  EXPECT_EQ(none, expected);
  auto empty = open(path("none.zip"));
  ASSERT_TRUE(empty.ok()) << empty.error().message();
  EXPECT_TRUE(empty->entries().empty());
}

TEST_F(ZipTest, EntriesFarLargerThanTheWriteBuffer) {
  // Pieces around the buffer's size, text and incompressible bytes, so that
  // headers are patched both after they reached the file and while they
  // are still buffered.
  std::string big;
  ZipWriter w = writer(path("a.zip"));
  ASSERT_TRUE(w.start_entry("big").ok());
  for (size_t piece : {size_t{1}, kWriteBufferSize - 1, kWriteBufferSize, kWriteBufferSize + 1,
                       size_t{100000}, size_t{3}}) {
    const std::string text = lines(piece / 10 + 1).substr(0, piece);
    const std::string bytes = noise(piece, static_cast<uint32_t>(piece));
    ASSERT_TRUE(w.write(text).ok());
    ASSERT_TRUE(w.write(bytes).ok());
    big += text + bytes;
  }
  ASSERT_TRUE(w.start_entry("small").ok());
  ASSERT_TRUE(w.write("tiny").ok());
  ASSERT_TRUE(w.start_entry("noise").ok());
  const std::string n = noise(3 * kWriteBufferSize + 17, 9);
  ASSERT_TRUE(w.write(n).ok());
  ASSERT_TRUE(w.finish().ok());

  const std::string b = slurp(path("a.zip"));
  uint64_t at = parse_end(b).directory_offset;
  for (const std::string& expected : {big, std::string("tiny"), n}) {
    const Central c = parse_central(b, at);
    EXPECT_EQ(get32(b, c.offset + 14), crc_of(expected)) << c.name;
    EXPECT_EQ(get32(b, c.offset + 18), c.compressed_size) << c.name;
    EXPECT_EQ(get32(b, c.offset + 22), expected.size()) << c.name;
    EXPECT_EQ(raw_inflate(std::string_view(b).substr(c.offset + 30 + c.name_size,
                                                     c.compressed_size)),
              expected)
        << c.name;
    at += central_size(c);
  }
  EXPECT_GT(parse_central(b, parse_end(b).directory_offset).compressed_size, kWriteBufferSize);

  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  auto read_big = read(*archive, "big");
  ASSERT_TRUE(read_big.ok()) << read_big.error().message();
  EXPECT_TRUE(*read_big == big);
  EXPECT_EQ(message_of(read(*archive, "small")), "<read 4 bytes>");
  auto read_noise = read(*archive, "noise");
  ASSERT_TRUE(read_noise.ok()) << read_noise.error().message();
  EXPECT_TRUE(*read_noise == n);
}

TEST_F(ZipTest, OutputFilePatchesFlushedAndBufferedBytesAndCutsBack) {
  auto file = OutputFile::create(path("f"));
  ASSERT_TRUE(file.ok());
  std::string model = noise(5000, 1);
  ASSERT_TRUE(file->write(model).ok());
  ASSERT_TRUE(file->write(noise(5000, 2)).ok());  // flushes the first 5,000
  model += noise(5000, 2);
  const auto patch = [&](uint64_t at, std::string_view bytes) {
    ASSERT_TRUE(file->write_at(at, bytes).ok());
    model.replace(at, bytes.size(), bytes);
  };
  patch(10, "flushed");
  patch(9990, "buffered");
  patch(4990, "across the flushed end");
  EXPECT_EQ(file->position(), 10000u);

  // Cutting into the buffer, then into the file, then writing on.
  ASSERT_TRUE(file->truncate(7000).ok());
  model.resize(7000);
  ASSERT_TRUE(file->truncate(3000).ok());
  model.resize(3000);
  EXPECT_EQ(file->position(), 3000u);
  ASSERT_TRUE(file->write(noise(20000, 3)).ok());  // straight to the file
  model += noise(20000, 3);
  patch(2990, "over the cut");
  patch(22995, "tail");
  ASSERT_TRUE(file->close().ok());
  EXPECT_TRUE(slurp(path("f")) == model);
}

// Writer: limits

TEST_F(ZipTest, EntrySizeLimitRemovesTheEntry) {
  ZipWriterLimits limits;
  limits.entry_size = 100;
  ZipWriter w = writer(path("a.zip"), limits);
  ASSERT_TRUE(w.start_entry("first").ok());
  ASSERT_TRUE(w.write(std::string(60, 'a')).ok());
  ASSERT_TRUE(w.write(std::string(40, 'b')).ok());  // exactly at the limit

  ASSERT_TRUE(w.start_entry("big").ok());
  ASSERT_TRUE(w.write(std::string(50, 'c')).ok());
  auto over = w.write(std::string(51, 'd'));
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().message(), kSizeLimit);
  EXPECT_FALSE(w.entry_open());
  EXPECT_EQ(w.entry_count(), 1u);
  auto later = w.write("x");
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error().message(), kNoEntry);
  EXPECT_EQ(w.write("").error().message(), kNoEntry);

  ASSERT_TRUE(w.start_entry("next").ok());
  ASSERT_TRUE(w.write("hello").ok());
  ASSERT_TRUE(w.finish().ok());

  const std::string b = slurp(path("a.zip"));
  const End end = parse_end(b);
  ASSERT_EQ(end.entries, 2);
  const Central first = parse_central(b, end.directory_offset);
  const Central next = parse_central(b, end.directory_offset + central_size(first));
  EXPECT_EQ(first.name, "first");
  EXPECT_EQ(next.name, "next");
  // "next" stands where "big" began, right after the first entry's data.
  EXPECT_EQ(next.offset, 30 + 5 + first.compressed_size);
  EXPECT_EQ(b.substr(next.offset + 30, 4), "next");
  EXPECT_EQ(next.offset + 30 + 4 + next.compressed_size, end.directory_offset);

  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  EXPECT_EQ(message_of(read(*archive, "first")), "<read 100 bytes>");
  EXPECT_EQ(message_of(read(*archive, "next")), "<read 5 bytes>");
  EXPECT_EQ(archive->find("big"), nullptr);
}

TEST_F(ZipTest, EntrySizeLimitCutsBackFlushedData) {
  ZipWriterLimits limits;
  limits.entry_size = 100000;
  ZipWriter w = writer(path("a.zip"), limits);
  ASSERT_TRUE(w.start_entry("keep").ok());
  ASSERT_TRUE(w.write("kept").ok());
  ASSERT_TRUE(w.start_entry("big").ok());
  ASSERT_TRUE(w.write(noise(90000)).ok());  // mostly in the file already
  auto over = w.write(noise(10001, 2));
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().message(), kSizeLimit);
  // Finishing leaves the removed entry out; no entry takes its place.
  ASSERT_TRUE(w.finish().ok());

  const std::string b = slurp(path("a.zip"));
  const End end = parse_end(b);
  ASSERT_EQ(end.entries, 1);
  const Central keep = parse_central(b, end.directory_offset);
  EXPECT_EQ(end.directory_offset, 30 + 4 + keep.compressed_size);
  EXPECT_EQ(b.size(), end.directory_offset + 46 + 4 + 22);
  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  EXPECT_EQ(message_of(read(*archive, "keep")), "<read 4 bytes>");
}

TEST_F(ZipTest, CompressedSizeLimitFailsOnCompletion) {
  ZipWriterLimits limits;
  limits.entry_size = 1000;
  ZipWriter w = writer(path("a.zip"), limits);
  ASSERT_TRUE(w.start_entry("a").ok());
  ASSERT_TRUE(w.write(std::string(1000, 'a')).ok());
  ASSERT_TRUE(w.start_entry("noise").ok());
  ASSERT_TRUE(w.write(noise(1000)).ok());  // deflates to more than 1,000 bytes
  auto started = w.start_entry("b");
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error().message(), std::string("i/o error: ") + kSizeLimit);
  EXPECT_FALSE(w.entry_open());
  EXPECT_EQ(w.write("x").error().message(), kNoEntry);

  ASSERT_TRUE(w.start_entry("b").ok());
  ASSERT_TRUE(w.write("b").ok());
  ASSERT_TRUE(w.start_entry("noise2").ok());
  ASSERT_TRUE(w.write(noise(1000)).ok());
  auto finished = w.finish();
  ASSERT_FALSE(finished.ok());
  EXPECT_EQ(finished.error().message(), std::string("i/o error: ") + kSizeLimit);
  EXPECT_TRUE(w.finished());

  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  ASSERT_EQ(archive->entries().size(), 2u);
  EXPECT_EQ(archive->entries()[0].name, "a");
  EXPECT_EQ(archive->entries()[1].name, "b");
  EXPECT_EQ(message_of(read(*archive, "b")), "<read 1 bytes>");
  const std::string b = slurp(path("a.zip"));
  EXPECT_EQ(parse_end(b).directory_offset, archive->entries()[1].header_offset + 30 + 1 +
                                               archive->entries()[1].compressed_size);
}

TEST_F(ZipTest, EntryNameLength) {
  ZipWriter w = writer(path("a.zip"));
  const std::string longest(65535, 'n');
  ASSERT_TRUE(w.start_entry(longest).ok());
  ASSERT_TRUE(w.write("x").ok());
  auto r = w.start_entry(longest + "n");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "unsupported Zip archive: Entry name is longer than 65535 bytes");
  EXPECT_FALSE(w.entry_open());
  ASSERT_TRUE(w.finish().ok());
  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  EXPECT_EQ(message_of(read(*archive, longest)), "<read 1 bytes>");
}

TEST_F(ZipTest, WriterDiscardedUnfinishedLeavesAReadableArchive) {
  {
    ZipWriter w = writer(path("a.zip"));
    ASSERT_TRUE(w.start_entry("a").ok());
    ASSERT_TRUE(w.write("half").ok());
    ZipWriter moved = std::move(w);
  }
  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  EXPECT_EQ(message_of(read(*archive, "a")), "<read 4 bytes>");
}

TEST_F(ZipTest, WriteFailuresCarryTheSystemsDescription) {
  const std::string no_space = os_description(ENOSPC);
  EXPECT_EQ(no_space, "No space left on device (os error 28)");
  {
    ZipWriter w = writer("/dev/full");
    ASSERT_TRUE(w.start_entry("a").ok());
    auto r = w.write(noise(3 * kWriteBufferSize));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), no_space);
    // The entry may hold part of the failed write: it is cut off, and the
    // last flush fails again.
    auto f = w.finish();
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().message(), no_space);
  }
  {
    // Everything fits the buffer; only the last flush fails.
    ZipWriter w = writer("/dev/full");
    ASSERT_TRUE(w.start_entry("a").ok());
    ASSERT_TRUE(w.write("x").ok());
    auto f = w.finish();
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().message(), no_space);
  }
  auto missing = InputFile::open(path("missing"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
  auto nul = OutputFile::create(path("a") + std::string(1, '\0'));
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().message(), "file name contained an unexpected NUL byte");
}

// Writer: Zip64

// Entries e0..e5 of compressible text, the names of which are the same
// length so that offsets depend only on the data.
std::vector<std::pair<std::string, std::string>> six_entries() {
  std::vector<std::pair<std::string, std::string>> out;
  for (int i = 0; i < 6; ++i) out.emplace_back(std::string(1, 'e') += std::to_string(i), lines(5 + i));
  return out;
}

TEST_F(ZipTest, Zip64OffsetFieldAndEndRecords) {
  const auto entries = six_entries();
  write_archive(path("plain.zip"), entries);
  const std::string plain = slurp(path("plain.zip"));
  // The threshold is the third entry's own offset: "at or past" includes it.
  const uint64_t third = parse_central(plain, parse_end(plain).directory_offset + 2 * 48).offset;
  ASSERT_GT(third, 0u);

  ZipWriterLimits limits;
  limits.zip64_offset = third;
  write_archive(path("a.zip"), entries, limits);
  const std::string b = slurp(path("a.zip"));

  // Ordinary end record, then the locator before it, then the Zip64 end
  // record before that.
  const End end = parse_end(b);
  EXPECT_EQ(end.disk, 0);
  EXPECT_EQ(end.directory_disk, 0);
  EXPECT_EQ(end.disk_entries, 6);
  EXPECT_EQ(end.entries, 6);
  EXPECT_EQ(end.directory_offset, 0xFFFFFFFFu);
  EXPECT_EQ(end.comment_size, 0);
  const uint64_t locator = end.at - 20;
  EXPECT_EQ(get32(b, locator), 0x07064b50u);
  EXPECT_EQ(get32(b, locator + 4), 0u);
  const uint64_t record = get64(b, locator + 8);
  EXPECT_EQ(get32(b, locator + 16), 1u);
  EXPECT_EQ(record, locator - 56);
  EXPECT_EQ(get32(b, record), 0x06064b50u);
  EXPECT_EQ(get64(b, record + 4), 44u);
  EXPECT_EQ(get16(b, record + 12), 0x032D);
  EXPECT_EQ(get16(b, record + 14), 45);
  EXPECT_EQ(get32(b, record + 16), 0u);
  EXPECT_EQ(get32(b, record + 20), 0u);
  EXPECT_EQ(get64(b, record + 24), 6u);
  EXPECT_EQ(get64(b, record + 32), 6u);
  const uint64_t directory_size = get64(b, record + 40);
  const uint64_t directory_offset = get64(b, record + 48);
  EXPECT_EQ(directory_offset + directory_size, record);
  EXPECT_EQ(end.directory_size,
            directory_size >= third ? 0xFFFFFFFFu : static_cast<uint32_t>(directory_size));

  // The data is laid out as without Zip64; only the central headers of the
  // entries from the third on carry their offsets in a Zip64 field.
  EXPECT_EQ(b.substr(0, directory_offset), plain.substr(0, directory_offset));
  uint64_t at = directory_offset;
  uint64_t local_at = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Central c = parse_central(b, at);
    EXPECT_EQ(c.name, entries[i].first);
    if (i < 2) {
      EXPECT_LT(local_at, third);
      EXPECT_EQ(c.offset, local_at);
      EXPECT_EQ(c.extra_size, 0);
      EXPECT_EQ(c.needed, 20);
    } else {
      EXPECT_EQ(c.offset, 0xFFFFFFFFu) << i;
      ASSERT_EQ(c.extra_size, 12) << i;
      EXPECT_EQ(get16(c.extra, 0), 0x0001);
      EXPECT_EQ(get16(c.extra, 2), 8);
      EXPECT_EQ(get64(c.extra, 4), local_at);
      EXPECT_EQ(c.needed, 45);
    }
    EXPECT_EQ(c.made_by, 0x0314);
    EXPECT_EQ(c.external, 0x81A40000u);
    EXPECT_EQ(get16(b, local_at + 28), 0) << "no extra field in the local header";
    local_at += 30 + c.name_size + c.compressed_size;
    at += central_size(c);
  }
  EXPECT_EQ(at, record);

  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  ASSERT_EQ(archive->entries().size(), entries.size());
  for (const auto& [name, content] : entries) {
    auto r = read(*archive, name);
    ASSERT_TRUE(r.ok()) << name << ": " << r.error().message();
    EXPECT_EQ(*r, content);
  }
}

TEST_F(ZipTest, Zip64EndRecordsForALargeDirectoryAlone) {
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"x", ""}, {"y", ""}, {"z", ""}};
  write_archive(path("plain.zip"), entries);
  const End plain = parse_end(slurp(path("plain.zip")));
  ASSERT_GT(plain.directory_size, plain.directory_offset);

  // Every offset stays below the threshold, the directory's size reaches it.
  ZipWriterLimits limits;
  limits.zip64_offset = plain.directory_offset + 1;
  write_archive(path("a.zip"), entries, limits);
  const std::string b = slurp(path("a.zip"));
  const End end = parse_end(b);
  EXPECT_EQ(end.directory_offset, plain.directory_offset);
  EXPECT_EQ(end.directory_size, 0xFFFFFFFFu);
  EXPECT_EQ(get32(b, end.at - 20), 0x07064b50u);
  const uint64_t record = get64(b, end.at - 20 + 8);
  EXPECT_EQ(get64(b, record + 40), plain.directory_size);
  EXPECT_EQ(get64(b, record + 48), plain.directory_offset);
  EXPECT_EQ(parse_central(b, plain.directory_offset).extra_size, 0);

  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  EXPECT_EQ(archive->entries().size(), 3u);
  EXPECT_EQ(message_of(read(*archive, "z")), "<read 0 bytes>");
}

TEST_F(ZipTest, Zip64EndRecordsFrom65536Entries) {
  for (const uint64_t count : {uint64_t{65535}, uint64_t{65536}}) {
    const std::string p = path(std::to_string(count) + ".zip");
    ZipWriter w = writer(p);
    char name[8];
    for (uint64_t i = 0; i < count; ++i) {
      std::snprintf(name, sizeof name, "%05u", static_cast<unsigned>(i));
      ASSERT_TRUE(w.start_entry(name).ok());
    }
    ASSERT_TRUE(w.write("last").ok());
    ASSERT_TRUE(w.finish().ok());

    const std::string b = slurp(p);
    const End end = parse_end(b);
    EXPECT_EQ(end.entries, 0xFFFF);
    EXPECT_EQ(end.disk_entries, 0xFFFF);
    const bool zip64 = get32(b, end.at - 20) == 0x07064b50u;
    EXPECT_EQ(zip64, count == 65536) << count;
    if (zip64) {
      const uint64_t record = get64(b, end.at - 20 + 8);
      EXPECT_EQ(get64(b, record + 24), count);
      EXPECT_EQ(get64(b, record + 32), count);
      EXPECT_EQ(get64(b, record + 48), end.directory_offset);
      EXPECT_EQ(get64(b, record + 40), end.directory_size);
    }

    auto archive = open(p);
    ASSERT_TRUE(archive.ok()) << archive.error().message();
    EXPECT_EQ(archive->entries().size(), count);
    EXPECT_EQ(message_of(read(*archive, "00000")), "<read 0 bytes>");
    EXPECT_EQ(message_of(read(*archive, name)), "<read 4 bytes>");
  }
}

// Reader: archives as other writers make them

TEST_F(ZipTest, ReadsBehindAnArchiveComment) {
  const std::string body = craft({{"a", "alpha"}, {"b", "beta", 0}});
  for (size_t size : {size_t{1}, size_t{65535}}) {
    std::string b = body;
    std::string comment = noise(size, static_cast<uint32_t>(size));
    set(b, b.size() - 2, static_cast<uint16_t>(size), 2);
    auto r = read_bytes(b + comment, "b");
    EXPECT_EQ(message_of(r), "<read 4 bytes>") << size;
    // A comment shorter or longer than its length field hides the record.
    EXPECT_EQ(open_error(b + comment.substr(1)), kNoEnd) << size;
    EXPECT_EQ(open_error(b + comment + "x"), kNoEnd) << size;
  }
  // The signature of an end record inside the comment does not mislead.
  std::string b = body;
  std::string comment = "PK\x05\x06 and more";
  set(b, b.size() - 2, static_cast<uint16_t>(comment.size()), 2);
  EXPECT_EQ(message_of(read_bytes(b + comment, "a")), "<read 5 bytes>");
}

TEST_F(ZipTest, ReadsStoredAndDataDescriptorEntries) {
  Crafted stored{"stored", "plain text", 0};
  Crafted described{"described", lines(50)};
  described.descriptor = true;
  Crafted stored_described{"stored described", "stored too", 0};
  stored_described.descriptor = true;
  Crafted empty{"empty", "", 0};
  const std::string b = craft({stored, described, stored_described, empty});
  spit(path("a.zip"), b);
  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  for (const Crafted* e : {&stored, &described, &stored_described, &empty}) {
    auto r = read(*archive, e->name);
    ASSERT_TRUE(r.ok()) << e->name << ": " << r.error().message();
    EXPECT_EQ(*r, e->content);
  }
  EXPECT_EQ(archive->entries()[1].flags, 8);
  auto absent = archive->open_entry("Stored");
  ASSERT_FALSE(absent.ok());
  EXPECT_EQ(absent.error().message(), "Entry not found");
}

TEST_F(ZipTest, RefusesEncryptedEntriesAndUnknownMethods) {
  Crafted encrypted{"encrypted", "secret", 0, 1};
  EXPECT_EQ(message_of(read_bytes(craft({encrypted}), "encrypted")), kEncrypted);

  // The flag in the local header alone is enough.
  std::string b = craft({{"a", "text"}});
  set(b, 6, 1, 2);
  EXPECT_EQ(message_of(read_bytes(b, "a")), kEncrypted);

  Crafted bzip2{"bzip2", "data", 12};
  EXPECT_EQ(message_of(read_bytes(craft({bzip2}), "bzip2")),
            "unsupported Zip archive: Compression method 12 is not supported");
}

TEST_F(ZipTest, RefusesArchivesOverSeveralDisks) {
  const std::string good = craft({{"a", "text"}});
  const uint64_t end = good.size() - 22;
  for (uint64_t field : {4, 6, 8}) {
    std::string b = good;
    set(b, end + field, 2, 2);
    EXPECT_EQ(open_error(b), kMultiDisk) << field;
  }

  write_archive(path("z.zip"), six_entries(), ZipWriterLimits{100, 0xFFFFFFFF});
  const std::string zip64 = slurp(path("z.zip"));
  const uint64_t locator = zip64.size() - 22 - 20;
  const uint64_t record = get64(zip64, locator + 8);
  std::string b = zip64;
  set(b, locator + 16, 2, 4);  // number of disks
  EXPECT_EQ(open_error(b), kMultiDisk);
  b = zip64;
  set(b, locator + 4, 1, 4);  // disk of the Zip64 end record
  EXPECT_EQ(open_error(b), kMultiDisk);
  b = zip64;
  set(b, record + 16, 1, 4);  // this disk
  EXPECT_EQ(open_error(b), kMultiDisk);
  b = zip64;
  set(b, record + 24, 5, 8);  // entries on this disk
  EXPECT_EQ(open_error(b), kMultiDisk);
}

TEST_F(ZipTest, ReadsZip64SizesAndOffsetsOfOtherWriters) {
  // All three 32-bit values marked, the Zip64 field holding them in the
  // order uncompressed size, compressed size, header offset.
  const std::string content = lines(30);
  std::string b = craft({{"first", "x"}, {"zip64", content}});
  const uint64_t central = b.size() - 22 - 51;
  ASSERT_EQ(get32(b, central), 0x02014b50u);
  const uint32_t compressed = get32(b, central + 20);
  const uint32_t offset = get32(b, central + 42);
  std::string extra;
  put(extra, 0x0001, 2);
  put(extra, 24, 2);
  put(extra, content.size(), 8);
  put(extra, compressed, 8);
  put(extra, offset, 8);
  set(b, central + 20, 0xFFFFFFFF, 4);
  set(b, central + 24, 0xFFFFFFFF, 4);
  set(b, central + 42, 0xFFFFFFFF, 4);
  set(b, central + 30, static_cast<uint16_t>(extra.size() + 8), 2);
  // An unknown block first, which the walk skips.
  b.insert(central + 51, std::string("\x99\x99\x04\x00" "abcd", 8) + extra);
  set(b, b.size() - 22 + 12, get32(b, b.size() - 22 + 12) + 8 + 28, 4);
  spit(path("in.zip"), b);
  auto archive = open(path("in.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  const Entry& e = archive->entries()[1];
  EXPECT_EQ(e.uncompressed_size, content.size());
  EXPECT_EQ(e.compressed_size, compressed);
  EXPECT_EQ(e.header_offset, offset);
  auto r = read(*archive, "zip64");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(*r, content);
}

TEST_F(ZipTest, DuplicateNamesFirstWins) {
  const std::string b = craft({{"same", "first"}, {"other", "x"}, {"same", "second", 0}});
  spit(path("a.zip"), b);
  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  EXPECT_EQ(archive->entries().size(), 3u);
  EXPECT_EQ(archive->find("same"), &archive->entries()[0]);
  auto r = read(*archive, "same");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(*r, "first");
}

// Reader: damaged archives

TEST_F(ZipTest, EveryTruncationFails) {
  write_archive(path("a.zip"), {{"a.jsonl", lines(20)}, {"manifest.json", "{}"}});
  const std::string b = slurp(path("a.zip"));
  for (size_t size = 0; size < b.size(); ++size) {
    EXPECT_EQ(open_error(b.substr(0, size)), kNoEnd) << size;
  }
  // Cut from the front instead, the directory seems to run past the end.
  for (size_t cut = 1; cut < b.size(); ++cut) {
    EXPECT_EQ(open_error(b.substr(cut)), cut <= b.size() - 22 ? kDirectoryOutside : kNoEnd)
        << cut;
  }
}

TEST_F(ZipTest, RefusesEndRecordsThatLie) {
  write_archive(path("a.zip"), {{"a.jsonl", lines(20)}, {"manifest.json", "{}"}});
  const std::string good = slurp(path("a.zip"));
  const End end = parse_end(good);
  const auto with = [&](uint64_t at, uint32_t value, int width) {
    std::string b = good;
    if (width == 2) set(b, end.at + at, static_cast<uint16_t>(value), 2);
    else set(b, end.at + at, value, 4);
    return b;
  };
  largest_allocation = 0;
  EXPECT_EQ(open_error(with(16, end.directory_offset + 1, 4)), kDirectoryOutside);
  EXPECT_EQ(open_error(with(12, end.directory_size + 1, 4)), kDirectoryOutside);
  EXPECT_EQ(open_error(with(16, static_cast<uint32_t>(good.size()), 4)), kDirectoryOutside);
  EXPECT_EQ(open_error(with(16, 0xFFFFFFFE, 4)), kDirectoryOutside);
  EXPECT_EQ(open_error(with(12, 0xFFFFFFFE, 4)), kDirectoryOutside);
  // Marked fields without Zip64 records are taken as they stand.
  EXPECT_EQ(open_error(with(16, 0xFFFFFFFF, 4)), kDirectoryOutside);
  EXPECT_EQ(open_error(with(16, 0, 4)), kBadCentralHeader);
  EXPECT_EQ(open_error(with(12, end.directory_size - 1, 4)), kBadCentralHeader);
  // Counts: too many for the directory's size, or more than it holds.
  std::string b = with(8, 0xFFFE, 2);
  set(b, end.at + 10, 0xFFFE, 2);
  EXPECT_EQ(open_error(b), kTooManyEntries);
  b = with(8, 0xFFFF, 2);
  set(b, end.at + 10, 0xFFFF, 2);
  EXPECT_EQ(open_error(b), kTooManyEntries);
  EXPECT_LT(largest_allocation.load(), size_t{1} << 20);
  b = with(8, 3, 2);
  set(b, end.at + 10, 3, 2);
  EXPECT_EQ(open_error(b), kTooManyEntries);
  // Fewer entries than stored: the rest is not listed.
  b = with(8, 1, 2);
  set(b, end.at + 10, 1, 2);
  EXPECT_EQ(open_error(b), "");
  EXPECT_EQ(message_of(read_bytes(b, "manifest.json")), "Entry not found");
  EXPECT_EQ(message_of(read_bytes(b, "a.jsonl")), "<read " + std::to_string(lines(20).size()) + " bytes>");
  // A central header whose name runs past the directory.
  b = good;
  set(b, end.directory_offset + 28, 0xFFFF, 2);
  EXPECT_EQ(open_error(b), kBadCentralHeader);
  EXPECT_EQ(open_error("not a zip archive, just text"), kNoEnd);
}

TEST_F(ZipTest, RefusesZip64RecordsThatLie) {
  write_archive(path("z.zip"), six_entries(), ZipWriterLimits{100, 0xFFFFFFFF});
  const std::string good = slurp(path("z.zip"));
  ASSERT_EQ(open_error(good), "");
  const uint64_t locator = good.size() - 22 - 20;
  const uint64_t record = get64(good, locator + 8);

  const auto with64 = [&](uint64_t at, uint64_t value) {
    std::string b = good;
    set(b, at, value, 8);
    return b;
  };
  largest_allocation = 0;
  EXPECT_EQ(open_error(with64(locator + 8, record + 1)), kNoZip64End);
  EXPECT_EQ(open_error(with64(locator + 8, locator)), kNoZip64End);
  EXPECT_EQ(open_error(with64(locator + 8, uint64_t{1} << 62)), kNoZip64End);
  EXPECT_EQ(open_error(with64(record + 4, 1000)), kNoZip64End);
  EXPECT_EQ(open_error(with64(record + 4, 43)), kNoZip64End);
  std::string b = with64(record + 24, uint64_t{1} << 62);
  set(b, record + 32, uint64_t{1} << 62, 8);
  EXPECT_EQ(open_error(b), kTooManyEntries);
  EXPECT_EQ(open_error(with64(record + 40, uint64_t{1} << 62)), kDirectoryOutside);
  EXPECT_EQ(open_error(with64(record + 40, ~uint64_t{0})), kDirectoryOutside);
  EXPECT_EQ(open_error(with64(record + 48, ~uint64_t{0})), kDirectoryOutside);
  EXPECT_EQ(open_error(with64(record + 48, record)), kDirectoryOutside);
  EXPECT_LT(largest_allocation.load(), size_t{1} << 20);

  // A Zip64 extra field pointing anywhere but at a local header.
  spit(path("in.zip"), good);
  auto archive = open(path("in.zip"));
  ASSERT_TRUE(archive.ok());
  const Entry& last = archive->entries().back();
  const uint64_t extra_at =
      good.find(std::string("e5\x01\x00\x08\x00", 6), get64(good, record + 48)) + 6;
  ASSERT_EQ(get64(good, extra_at), last.header_offset);
  EXPECT_EQ(message_of(read_bytes(with64(extra_at, uint64_t{1} << 40), "e5")), kOutOfPlace);
  EXPECT_EQ(message_of(read_bytes(with64(extra_at, last.header_offset + 1), "e5")),
            kBadLocalHeader);
  // A damaged extra block leaves the marker, which is past the directory.
  b = good;
  set(b, extra_at - 2, 9, 2);
  EXPECT_EQ(message_of(read_bytes(b, "e5")), kOutOfPlace);
}

TEST_F(ZipTest, LocalHeaderDisagreeingWithTheCentralDirectory) {
  const std::string content = lines(40);
  const std::string good = craft({{"a.jsonl", content}, {"b.jsonl", "b"}});
  const uint64_t directory = good.size() - 22 - 2 * 46 - 14;
  ASSERT_EQ(get32(good, directory), 0x02014b50u);
  const uint64_t second = directory + 46 + 7;
  ASSERT_EQ(get32(good, second), 0x02014b50u);

  // The local header must be the entry's own.
  const struct {
    uint64_t at;
    uint64_t value;
    int width;
  } foreign[] = {
      {30, 'A', 1},                          // a name of the same length but other bytes
      {26, 6, 2},                            // a shorter name
      {8, 0, 2},                             // another method
      {14, 0, 4},                            // another CRC-32
      {18, 1, 4},                            // another compressed size
      {22, 0, 4},                            // another uncompressed size
      {second + 42, 0, 4},                   // b's offset aliasing a's local header
  };
  for (const auto& f : foreign) {
    std::string b = good;
    set(b, f.at, f.value, f.width);
    const std::string entry = f.at == second + 42 ? "b.jsonl" : "a.jsonl";
    EXPECT_EQ(message_of(read_bytes(b, entry)), kForeign) << f.at;
  }
  // With the data-descriptor flag, sizes and CRC-32 come from the central
  // directory alone; name and method must still agree.
  std::string b = good;
  set(b, 6, 8, 2);
  set(b, 14, 0, 4);
  set(b, 18, 0, 4);
  set(b, 22, 0, 4);
  EXPECT_EQ(message_of(read_bytes(b, "a.jsonl")),
            "<read " + std::to_string(content.size()) + " bytes>");
  set(b, 8, 0, 2);
  EXPECT_EQ(message_of(read_bytes(b, "a.jsonl")), kForeign);

  b = good;
  set(b, 0, 0x04034b51, 4);
  EXPECT_EQ(message_of(read_bytes(b, "a.jsonl")), kBadLocalHeader);
  // An extra field pushing the data into the central directory.
  b = good;
  set(b, 28, 0xFFFF, 2);
  EXPECT_EQ(message_of(read_bytes(b, "a.jsonl")), kOutOfPlace);

  // Central header offset and sizes pointing elsewhere.
  b = good;
  set(b, second + 42, static_cast<uint32_t>(directory), 4);
  EXPECT_EQ(message_of(read_bytes(b, "b.jsonl")), kOutOfPlace);
  set(b, second + 42, static_cast<uint32_t>(directory - 29), 4);
  EXPECT_EQ(message_of(read_bytes(b, "b.jsonl")), kOutOfPlace);
  set(b, second + 42, 1, 4);
  EXPECT_EQ(message_of(read_bytes(b, "b.jsonl")), kBadLocalHeader);
  b = good;
  set(b, directory + 20, get32(good, directory + 20) + 1000, 4);
  EXPECT_EQ(message_of(read_bytes(b, "a.jsonl")), kOutOfPlace);

  // Where local and central values agree but are wrong, the data tells.
  auto both = [&](uint64_t local, int64_t delta) {
    std::string c = good;
    set(c, local, get32(good, local) + delta, 4);
    set(c, directory + local + 2, get32(good, directory + local + 2) + delta, 4);
    return message_of(read_bytes(c, "a.jsonl"));
  };
  EXPECT_EQ(both(22, 1), kSizeMismatch);
  EXPECT_EQ(both(22, -1), kSizeMismatch);
  EXPECT_EQ(both(14, 1), kBadChecksum);
  EXPECT_EQ(both(18, -1), kTruncated);  // the compressed size cut short of the stream's end
  // A stored entry whose sizes disagree.
  const std::string stored = craft({{"s", "stored", 0}});
  b = stored;
  set(b, 22, 5, 4);
  set(b, stored.size() - 22 - 47 + 24, 5, 4);
  EXPECT_EQ(message_of(read_bytes(b, "s")), kSizeMismatch);
}

TEST_F(ZipTest, FlippedBytesInCompressedDataFail) {
  const std::string content = lines(200);
  const std::string good = craft({{"a", content}, {"s", content, 0}});
  const uint64_t data_size = get32(good, 18);
  ASSERT_GT(data_size, 100u);
  std::set<std::string> seen;
  for (uint64_t i = 0; i < data_size; ++i) {
    std::string b = good;
    b[31 + i] = static_cast<char>(b[31 + i] ^ 0xFF);
    const std::string m = message_of(read_bytes(b, "a"));
    // zlib's own descriptions of a broken stream come with the same prefix.
    EXPECT_EQ(m.rfind("invalid Zip archive: ", 0), 0u) << i << ": " << m;
    seen.insert(m);
  }
  EXPECT_TRUE(seen.count(kBadChecksum)) << "some flip only changes the text";
  EXPECT_GT(seen.size(), 2u) << "and others break the stream";

  // Stored data has only its CRC-32.
  const uint64_t stored_at = 31 + data_size + 30 + 1;
  std::string b = good;
  b[stored_at + 100] ^= 0x20;
  EXPECT_EQ(message_of(read_bytes(b, "s")), kBadChecksum);
}

TEST_F(ZipTest, HugeDeclaredSizesAreRefusedWithoutAllocating) {
  const std::string good = craft({{"a", "hello, world"}, {"s", "stored", 0}});
  const uint64_t directory = good.size() - 22 - 2 * 46 - 2;
  const uint64_t second = directory + 47;
  ASSERT_EQ(get32(good, second), 0x02014b50u);

  largest_allocation = 0;
  std::string b = good;
  set(b, 6, 8, 2);  // a data descriptor: the central directory's sizes count
  set(b, directory + 24, 0xFFFFFFFE, 4);  // 4 GB of text from 14 bytes
  EXPECT_EQ(message_of(read_bytes(b, "a")), kImpossibleSize);
  b = good;
  set(b, second + 20, 0xFFFFFFFE, 4);  // a stored entry of 4 GB in a tiny file
  set(b, second + 24, 0xFFFFFFFE, 4);
  EXPECT_EQ(message_of(read_bytes(b, "s")), kOutOfPlace);
  set(b, second + 20, 0xFFFFFFFF, 4);  // marked, but without a Zip64 field
  set(b, second + 24, 0xFFFFFFFF, 4);
  EXPECT_EQ(message_of(read_bytes(b, "s")), kOutOfPlace);
  EXPECT_LT(largest_allocation.load(), size_t{1} << 20);

  // Sizes from a Zip64 extra field: 1 TB uncompressed.
  Crafted big{"big", "tiny"};
  std::string z = craft({big});
  const uint64_t central = z.size() - 22 - 49;
  std::string extra;
  put(extra, 0x0001, 2);
  put(extra, 8, 2);
  put(extra, uint64_t{1} << 40, 8);
  set(z, 6, 8, 2);
  set(z, central + 24, 0xFFFFFFFF, 4);
  set(z, central + 30, static_cast<uint16_t>(extra.size()), 2);
  z.insert(central + 49, extra);
  set(z, z.size() - 22 + 12, 49 + static_cast<uint32_t>(extra.size()), 4);
  spit(path("in.zip"), z);
  auto archive = open(path("in.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  EXPECT_EQ(archive->entries()[0].uncompressed_size, uint64_t{1} << 40);
  largest_allocation = 0;
  EXPECT_EQ(message_of(read(*archive, "big")), kImpossibleSize);
  EXPECT_LT(largest_allocation.load(), size_t{1} << 20);

  // A declared size that deflate could reach but this data does not: the
  // output grows with what is inflated, not with the claim.
  const std::string text = lines(20000);
  std::string c = craft({{"t", text}});
  const uint64_t compressed = get32(c, 18);
  const uint64_t claim = compressed * (kMaxDeflateRatio - 1);
  const uint64_t bound = std::max<uint64_t>(16 * compressed, 2 * text.size()) + 4096;
  ASSERT_GT(claim, 8 * bound);
  set(c, 6, 8, 2);
  set(c, c.size() - 22 - 47 + 24, static_cast<uint32_t>(claim), 4);
  largest_allocation = 0;
  EXPECT_EQ(message_of(read_bytes(c, "t")), kSizeMismatch);
  EXPECT_LE(largest_allocation.load(), bound);
}

// Other tools read what the writer writes.

bool has_command(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

TEST_F(ZipTest, OtherToolsReadTheArchives) {
  if (!has_command("python3") || !has_command("unzip")) GTEST_SKIP() << "python3 or unzip missing";
  write_archive(path("a.zip"), {{"objects.jsonl", lines(2000)},
                                {"units/\xc3\x89T\xc3\x89.jsonl", "x\n"},
                                {"empty.jsonl", ""},
                                {"noise", noise(40000)},
                                {"manifest.json", "{}"}});
  write_archive(path("z.zip"), six_entries(), ZipWriterLimits{100, 0xFFFFFFFF});
  for (const char* name : {"a.zip", "z.zip"}) {
    const std::string p = path(name);
    EXPECT_EQ(std::system(("python3 -c 'import sys, zipfile; "
                           "sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)' " +
                           p)
                              .c_str()),
              0)
        << name;
    EXPECT_EQ(std::system(("unzip -tqq " + p + " >/dev/null").c_str()), 0) << name;
  }
}

}  // namespace
}  // namespace quarlen::zip
