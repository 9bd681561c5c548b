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
constexpr char kEncrypted[] = "unsupported Zip archive: Encrypted entries are not supported";
constexpr char kZip64Mismatch[] = "invalid Zip archive: Zip64 end record does not match the end record";
constexpr char kBadExtra[] = "invalid Zip archive: Invalid extra field";
constexpr char kGapBeforeB[] = "invalid Zip archive: Bytes that no entry holds before b.jsonl";
constexpr char kImpossibleSize[] =
    "invalid Zip archive: Declared size cannot come from the compressed data";
constexpr char kSizeMismatch[] = "invalid Zip archive: Entry data does not match its declared size";
constexpr char kBadChecksum[] = "invalid Zip archive: Invalid checksum";
constexpr char kForeign[] =
    "invalid Zip archive: Local file header does not match the central directory";
constexpr char kSizeLimit[] = "Large file option has not been set";

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

struct Patch {
  uint64_t at;
  uint64_t value;
  int width;
};
struct Damage {
  std::vector<Patch> patches;
  std::string entry;  // "" for the error of opening the archive
  std::string expected;
};

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

  // The bytes of an archive of these entries.
  std::string zipped(const std::vector<std::pair<std::string, std::string>>& entries) {
    write_archive(path("zipped.zip"), entries);
    return slurp(path("zipped.zip"));
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

  static Result<std::string> read(const ZipArchive& archive, std::string_view name) {
    auto opened = archive.open_entry(name);
    if (!opened) return std::move(opened).error();
    return archive.read_entry(*opened);
  }

  static std::string message_of(const Result<std::string>& r) {
    return r.ok() ? "<read " + std::to_string(r->size()) + " bytes>" : r.error().message();
  }

  // The error of opening the bytes as an archive; else "" or, given an entry,
  // the message of reading it.
  std::string outcome(std::string_view bytes, std::string_view entry = "") {
    spit(path("in.zip"), bytes);
    auto archive = open(path("in.zip"));
    if (!archive) return archive.error().message();
    return entry.empty() ? "" : message_of(read(*archive, entry));
  }

  // The message of opening the damaged bytes, or of reading the entry.
  std::string damaged(std::string b, const Damage& d) {
    for (const Patch& p : d.patches) set(b, p.at, p.value, p.width);
    return outcome(b, d.entry);
  }

  std::string dir_;
};

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Writer

// Every header field, local and central, the end records and the deflated
// data, pinned for a small archive: a text entry and an empty one with a
// UTF-8 name; then the same entries with the Zip64 threshold at offset 1, so
// that the second entry's offset goes to a Zip64 field and the directory gets
// the Zip64 end records; then an archive without entries.
TEST_F(ZipTest, WritesThePinnedBytes) {
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"a.jsonl", "[1]\n[2]\n"}, {"\xc3\x89.jsonl", ""}};
  constexpr std::string_view kPlain =
      "504b030414000000080000002100cdeef94d0a0000000800000007000000612e6a736f6e6c8b368ce58a368ae50200"
      "504b03041400000808000000210000000000020000000000000008000000c3892e6a736f6e6c0300"
      "504b0102140314000000080000002100cdeef94d0a00000008000000070000000000000000000000a48100000000"
      "612e6a736f6e6c"
      "504b0102140314000008080000002100000000000200000000000000080000000000000000000000a4812f000000"
      "c3892e6a736f6e6c"
      "504b050600000000020002006b000000570000000000";
  constexpr std::string_view kZip64 =
      "504b030414000000080000002100cdeef94d0a0000000800000007000000612e6a736f6e6c8b368ce58a368ae50200"
      "504b03041400000808000000210000000000020000000000000008000000c3892e6a736f6e6c0300"
      "504b0102140314000000080000002100cdeef94d0a00000008000000070000000000000000000000a48100000000"
      "612e6a736f6e6c"
      "504b010214032d00000808000000210000000000020000000000000008000c000000000000000000a481ffffffff"
      "c3892e6a736f6e6c010008002f00000000000000"
      "504b06062c000000000000002d032d00000000000000000002000000000000000200000000000000770000000000"
      "00005700000000000000"
      "504b060700000000ce0000000000000001000000"
      "504b05060000000002000200ffffffffffffffff0000";
  write_archive(path("a.zip"), entries);
  EXPECT_EQ(hex(slurp(path("a.zip"))), kPlain);
  write_archive(path("z.zip"), entries, ZipWriterLimits{1, kMax32});
  EXPECT_EQ(hex(slurp(path("z.zip"))), kZip64);
  for (const char* name : {"a.zip", "z.zip"}) {
    auto archive = open(path(name));
    ASSERT_TRUE(archive.ok()) << archive.error().message();
    for (const auto& [entry, content] : entries) {
      EXPECT_EQ(message_of(read(*archive, entry)), "<read " + std::to_string(content.size()) + " bytes>");
    }
  }
  ZipWriter w = writer(path("none.zip"));
  ASSERT_TRUE(w.finish().ok());
  EXPECT_EQ(hex(slurp(path("none.zip"))), "504b0506" + std::string(36, '0'));
  auto none = open(path("none.zip"));
  ASSERT_TRUE(none.ok()) << none.error().message();
  EXPECT_TRUE(none->entries().empty());
}


// An entry over a limit is removed and its bytes cut back, whether they were
// still buffered or already flushed; the next entry takes its place.
TEST_F(ZipTest, LimitsRemoveTheEntryThatPassesThem) {
  ZipWriter w = writer(path("a.zip"), ZipWriterLimits{kMax32, 100000});
  ASSERT_TRUE(w.start_entry("first").ok());
  ASSERT_TRUE(w.write(std::string(60000, 'a')).ok());
  ASSERT_TRUE(w.write(std::string(40000, 'b')).ok());  // exactly at the limit
  for (const std::string& over : {std::string(51, 'd'), noise(10001, 2)}) {
    ASSERT_TRUE(w.start_entry("big").ok());
    ASSERT_TRUE(w.write(noise(99950)).ok());
    auto r = w.write(over);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), kSizeLimit);
    EXPECT_FALSE(w.entry_open());
    EXPECT_EQ(w.write("").error().message(), "No file has been started");
  }
  const std::string longest(65535, 'n');
  ASSERT_TRUE(w.start_entry(longest).ok());
  EXPECT_EQ(w.start_entry(longest + "n").error().message(),
            "unsupported Zip archive: Entry name is longer than 65535 bytes");
  EXPECT_FALSE(w.entry_open());
  ASSERT_TRUE(w.start_entry("next").ok());
  ASSERT_TRUE(w.write("hello").ok());
  ASSERT_TRUE(w.finish().ok());

  auto archive = open(path("a.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  const auto& entries = archive->entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].name, longest);
  EXPECT_EQ(entries[1].header_offset, 30 + 5 + entries[0].compressed_size);
  EXPECT_EQ(entries[2].name, "next");
  EXPECT_EQ(message_of(read(*archive, "first")), "<read 100000 bytes>");
  EXPECT_EQ(message_of(read(*archive, "next")), "<read 5 bytes>");
  EXPECT_EQ(slurp(path("a.zip")).size(), entries[2].header_offset + 30 + 4 +
                                            entries[2].compressed_size + 3 * 46 + 5 + 65535 + 4 + 22);

  // Data that deflates to more than the limit fails when the entry completes.
  ZipWriter c = writer(path("c.zip"), ZipWriterLimits{kMax32, 1000});
  ASSERT_TRUE(c.start_entry("a").ok());
  ASSERT_TRUE(c.write(std::string(1000, 'a')).ok());
  ASSERT_TRUE(c.start_entry("noise").ok());
  ASSERT_TRUE(c.write(noise(1000)).ok());
  EXPECT_EQ(c.start_entry("b").error().message(), std::string("i/o error: ") + kSizeLimit);
  EXPECT_FALSE(c.entry_open());
  ASSERT_TRUE(c.start_entry("b").ok());
  ASSERT_TRUE(c.write("b").ok());
  ASSERT_TRUE(c.start_entry("noise2").ok());
  ASSERT_TRUE(c.write(noise(1000)).ok());
  EXPECT_EQ(c.finish().error().message(), std::string("i/o error: ") + kSizeLimit);
  EXPECT_TRUE(c.finished());
  auto cut = open(path("c.zip"));
  ASSERT_TRUE(cut.ok()) << cut.error().message();
  ASSERT_EQ(cut->entries().size(), 2u);
  EXPECT_EQ(message_of(read(*cut, "b")), "<read 1 bytes>");

  // Data that deflates to exactly the limit is kept.
  ZipWriter d = writer(path("d.zip"), ZipWriterLimits{kMax32, 100000});
  ASSERT_TRUE(d.start_entry("noise").ok());
  ASSERT_TRUE(d.write(noise(1000)).ok());
  ASSERT_TRUE(d.finish().ok());
  auto sized = open(path("d.zip"));
  ASSERT_TRUE(sized.ok()) << sized.error().message();
  const uint64_t deflated = sized->entries()[0].compressed_size;
  ASSERT_GT(deflated, 1000u);
  ZipWriter e = writer(path("e.zip"), ZipWriterLimits{kMax32, deflated});
  ASSERT_TRUE(e.start_entry("noise").ok());
  ASSERT_TRUE(e.write(noise(1000)).ok());
  EXPECT_TRUE(e.finish().ok());
}

TEST_F(ZipTest, FailuresCarryTheSystemsDescription) {
  EXPECT_EQ(os_description(ENOSPC), "No space left on device (os error 28)");
  EXPECT_EQ(OutputFile::create(path("a") + std::string(1, '\0')).error().message(),
            "file name contained an unexpected NUL byte");
  ZipWriter w = writer("/dev/full");
  ASSERT_TRUE(w.start_entry("a").ok());
  EXPECT_EQ(w.write(noise(3 * kWriteBufferSize)).error().message(), os_description(ENOSPC));
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
    EXPECT_EQ(get32(b, b.size() - 22 + 8), 0xFFFFFFFFu);  // both counts marked
    const bool zip64 = get32(b, b.size() - 42) == 0x07064b50u;
    EXPECT_EQ(zip64, count == 65536) << count;
    auto archive = open(p);
    ASSERT_TRUE(archive.ok()) << archive.error().message();
    EXPECT_EQ(archive->entries().size(), count);
    EXPECT_EQ(message_of(read(*archive, name)), "<read 4 bytes>");
  }
}

// Reader: damaged archives

// Each case changes a sound archive in a few fields; the archive is refused
// with exactly the expected message, and no claim of the file turns into a
// large allocation.
TEST_F(ZipTest, RefusesEachLieWithItsMessage) {
  const std::string text = lines(40);
  const std::string good = zipped({{"a.jsonl", text}, {"b.jsonl", "b"}});
  const uint64_t end = good.size() - 22;
  const uint64_t dir = get32(good, end + 16);
  const uint64_t cb = dir + 46 + 7;  // the central header of b.jsonl
  const uint64_t lb = get32(good, cb + 42);
  const uint64_t size_a = get32(good, 18);
  const Damage cases[] = {
      // end record
      {{{end + 16, dir + 1, 4}}, "", kDirectoryOutside},
      {{{end + 16, good.size(), 4}}, "", kDirectoryOutside},
      {{{end + 16, 0xFFFFFFFF, 4}}, "", kDirectoryOutside},  // marked, but no Zip64 records
      {{{end + 16, 0, 4}}, "", "invalid Zip archive: Bytes between the central directory and its end record"},
      {{{end + 8, 3, 2}, {end + 10, 3, 2}}, "", kTooManyEntries},
      {{{end + 8, 1, 2}, {end + 10, 1, 2}}, "",
       "invalid Zip archive: Central directory holds bytes after its last entry"},
      {{{dir + 28, 0xFFFF, 2}}, "", "invalid Zip archive: Invalid central directory header"},
      {{{end + 4, 2, 2}}, "", kMultiDisk},
      {{{end + 6, 2, 2}}, "", kMultiDisk},
      {{{end + 8, 3, 2}}, "", kMultiDisk},
      // names and versions that other readers read otherwise or refuse
      {{{dir + 47, 0, 1}}, "", "invalid Zip archive: Entry name holds a NUL byte"},
      {{{cb + 46, 'a', 1}}, "", "invalid Zip archive: Entry a.jsonl is listed twice"},
      {{{cb + 46, 0xC3, 1}}, "", "invalid Zip archive: Entry name \uFFFD.jsonl is not ASCII and not marked UTF-8"},
      {{{cb + 46, 0xC3, 1}, {cb + 8, 0x800, 2}}, "", "invalid Zip archive: Entry name \uFFFD.jsonl is marked UTF-8 but is not"},
      {{{cb + 46, 0xA9C3, 2}, {cb + 8, 0x800, 2}, {cb + 5, 0, 1}}, "",  // made on FAT
       "invalid Zip archive: Entry name \u00E9jsonl is not ASCII, from a system whose names readers convert"},
      {{{cb + 46, 0xA9C3, 2}, {cb + 8, 0x800, 2}}, "", ""},  // "\xC3\xA9jsonl", marked
      {{{dir + 6, 64, 1}}, "", "unsupported Zip archive: Entry needs a later version of the format"},
      {{{cb + 6, 47, 1}}, "b.jsonl", "unsupported Zip archive: Entry needs a later version of the format"},
      {{{cb + 7, 2, 1}}, "b.jsonl", "unsupported Zip archive: Entry needs a later version of the format"},
      {{{cb + 34, 1, 2}}, "", kMultiDisk},  // the disk where the entry starts
      {{{cb + 5, 0, 1}, {cb + 38, 0x08, 4}}, "b.jsonl", "unsupported Zip archive: Volume labels are not supported"},
      // every byte belongs to one entry
      {{{26, 6, 2}}, "a.jsonl", kGapBeforeB},
      {{{cb + 42, 0, 4}}, "b.jsonl", "invalid Zip archive: Entries a.jsonl and b.jsonl overlap"},
      {{{18, size_a - 1, 4}, {dir + 20, size_a - 1, 4}}, "a.jsonl", kGapBeforeB},
      {{{28, 0xFFFF, 2}}, "a.jsonl", "invalid Zip archive: Entry a.jsonl runs into the central directory"},
      {{{dir + 20, size_a + 1000, 4}}, "a.jsonl", "invalid Zip archive: Entry a.jsonl runs into the central directory"},
      {{{6, 8, 2}}, "a.jsonl", "invalid Zip archive: Data descriptor of a.jsonl does not match the central directory"},
      // a local header that is not the entry's own
      {{{30, 'A', 1}}, "a.jsonl", kForeign},
      {{{8, 0, 2}}, "a.jsonl", kForeign},
      {{{14, 0, 4}}, "a.jsonl", kForeign},
      {{{18, 1, 4}}, "a.jsonl", kForeign},
      {{{22, 0, 4}}, "a.jsonl", kForeign},
      {{{lb + 6, 0x800, 2}}, "b.jsonl", kForeign},  // the name decoded otherwise
      {{{0, 0x04034b51, 4}}, "a.jsonl", "invalid Zip archive: Invalid local file header"},
      // sizes and CRC-32 that agree with each other but not with the data
      {{{22, text.size() + 1, 4}, {dir + 24, text.size() + 1, 4}}, "a.jsonl", kSizeMismatch},
      {{{22, text.size() - 1, 4}, {dir + 24, text.size() - 1, 4}}, "a.jsonl", kSizeMismatch},
      {{{14, get32(good, 14) + 1, 4}, {dir + 16, get32(good, 14) + 1, 4}}, "a.jsonl", kBadChecksum},
      {{{30 + 7, static_cast<unsigned char>(good[30 + 7]) & ~1u, 1}}, "a.jsonl",  // not the last block
       "invalid Zip archive: Deflate stream is truncated"},
      {{{22, 0xFFFFFFFE, 4}, {dir + 24, 0xFFFFFFFE, 4}}, "a.jsonl", kImpossibleSize},  // 4 GB from a few
      // what the reader does not do
      {{{6, 1, 2}}, "a.jsonl", kEncrypted},  // the local flag alone is enough
      {{{lb + 6, 1, 2}, {cb + 8, 1, 2}}, "b.jsonl", kEncrypted},
      {{{cb + 8, 0x40, 2}}, "b.jsonl", kEncrypted},  // strong encryption
      {{{lb + 6, 0x20, 2}}, "b.jsonl", "unsupported Zip archive: Patched data is not supported"},
      {{{lb + 8, 12, 2}, {cb + 10, 12, 2}}, "b.jsonl",
       "unsupported Zip archive: Compression method 12 is not supported"},
  };
  largest_allocation = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(damaged(good, cases[i]), cases[i].expected) << "case " << i;
  }
  EXPECT_EQ(outcome("not a zip archive, just text"), kNoEnd);
  EXPECT_LT(largest_allocation.load(), size_t{1} << 20);
}

TEST_F(ZipTest, RefusesZip64RecordsThatLie) {
  write_archive(path("z.zip"), {{"e0", lines(5)}, {"e1", lines(6)}, {"e2", lines(7)}},
                ZipWriterLimits{100, kMax32});
  const std::string good = slurp(path("z.zip"));
  const uint64_t locator = good.size() - 22 - 20;
  const uint64_t record = get64(good, locator + 8);
  const uint64_t extra = good.find(std::string("e2\x01\x00\x08\x00", 6), get64(good, record + 48)) + 6;
  const uint64_t last = get64(good, extra);
  const uint64_t huge = uint64_t{1} << 62;
  const Damage cases[] = {
      {{{locator + 8, record + 1, 8}}, "", kNoZip64End},
      {{{record + 4, 43, 8}}, "", kNoZip64End},
      {{{record + 24, huge, 8}, {record + 32, huge, 8}}, "", kZip64Mismatch},
      {{{good.size() - 22 + 8, 0xFFFF, 2}, {good.size() - 22 + 10, 0xFFFF, 2},
        {record + 24, huge, 8}, {record + 32, huge, 8}}, "", kTooManyEntries},
      {{{record + 4, 45, 8}}, "", kNoZip64End},  // extensible data
      {{{record + 40, ~uint64_t{0}, 8}}, "", kDirectoryOutside},
      {{{record + 48, ~uint64_t{0}, 8}}, "", kDirectoryOutside},
      {{{record + 48, record, 8}}, "", kDirectoryOutside},
      {{{locator + 16, 2, 4}}, "", kMultiDisk},  // number of disks
      {{{locator + 16, 0, 4}}, "", kMultiDisk},
      {{{locator + 4, 1, 4}}, "", kMultiDisk},   // disk of the Zip64 end record
      {{{record + 16, 1, 4}, {good.size() - 22 + 4, 0xFFFF, 2}}, "", kMultiDisk},  // this disk
      {{{record + 24, 2, 8}}, "", kZip64Mismatch},  // entries on this disk
      {{{extra, last + 1, 8}}, "", "invalid Zip archive: Bytes that no entry holds before e2"},
      {{{extra - 2, 9, 2}}, "", kBadExtra},
      {{{extra - 2, 12, 2}}, "", kBadExtra},
  };
  largest_allocation = 0;
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(damaged(good, cases[i]), cases[i].expected) << "case " << i;
  }
  EXPECT_LT(largest_allocation.load(), size_t{1} << 20);
}

TEST_F(ZipTest, TruncatedOrFlippedArchivesFail) {
  write_archive(path("a.zip"), {{"a.jsonl", lines(20)}, {"manifest.json", "{}"}});
  const std::string b = slurp(path("a.zip"));
  for (size_t size = 0; size < b.size(); ++size) {
    EXPECT_EQ(outcome(b.substr(0, size)), kNoEnd) << size;
    // Cut from the front instead, the directory seems to run past the end.
    EXPECT_EQ(outcome(b.substr(size + 1)), size + 1 <= b.size() - 22 ? kDirectoryOutside : kNoEnd);
  }

  const std::string content = lines(200);
  const std::string good = zipped({{"a", content}});
  const uint64_t data_size = get32(good, 18);
  std::set<std::string> seen;
  for (uint64_t i = 0; i < data_size; ++i) {
    std::string f = good;
    f[31 + i] = static_cast<char>(f[31 + i] ^ 0xFF);
    const std::string m = outcome(f, "a");
    // zlib's own descriptions of a broken stream come with the same prefix.
    EXPECT_EQ(m.rfind("invalid Zip archive: ", 0), 0u) << i << ": " << m;
    seen.insert(m);
  }
  EXPECT_TRUE(seen.count(kBadChecksum)) << "some flip only changes the text";
  EXPECT_GT(seen.size(), 2u) << "and others break the stream";
}

// A claim of the file never becomes an allocation: the output grows with
// what is inflated, not with the declared size.
TEST_F(ZipTest, HugeDeclaredSizesAreRefusedWithoutAllocating) {
  std::string z = zipped({{"big", "tiny"}});
  std::string extra;  // a Zip64 extra field of the size when inflated, 1 TB
  put(extra, 0x0001, 2);
  put(extra, 8, 2);
  put(extra, uint64_t{1} << 40, 8);
  const uint64_t central = z.size() - 22 - 49;
  set(z, central + 24, 0xFFFFFFFF, 4);
  set(z, central + 30, extra.size(), 2);
  z.insert(central + 46 + 3, extra);
  std::string local = extra;  // the same in the local header, which holds both sizes
  set(local, 2, 16, 2);
  put(local, get32(z, 18), 8);
  set(z, 22, 0xFFFFFFFF, 4);
  set(z, 28, local.size(), 2);
  z.insert(30 + 3, local);
  set(z, z.size() - 22 + 12, get32(z, z.size() - 22 + 12) + extra.size(), 4);  // directory size
  set(z, z.size() - 22 + 16, get32(z, z.size() - 22 + 16) + local.size(), 4);  // and offset
  spit(path("in.zip"), z);
  auto archive = open(path("in.zip"));
  ASSERT_TRUE(archive.ok()) << archive.error().message();
  EXPECT_EQ(archive->entries()[0].uncompressed_size, uint64_t{1} << 40);
  largest_allocation = 0;
  EXPECT_EQ(message_of(read(*archive, "big")), kImpossibleSize);
  EXPECT_LT(largest_allocation.load(), size_t{1} << 20);

  // A size deflate could reach, but this data does not.
  const std::string text = lines(20000);
  std::string c = zipped({{"t", text}});
  const uint64_t compressed = get32(c, 18);
  const uint64_t claim = compressed * (kMaxDeflateRatio - 1);
  const uint64_t bound = std::max<uint64_t>(16 * compressed, 2 * text.size()) + 4096;
  ASSERT_GT(claim, 8 * bound);
  set(c, 22, claim, 4);
  set(c, c.size() - 22 - 47 + 24, claim, 4);
  largest_allocation = 0;
  EXPECT_EQ(outcome(c, "t"), kSizeMismatch);
  EXPECT_LE(largest_allocation.load(), bound);
}

}  // namespace
}  // namespace quarlen::zip
