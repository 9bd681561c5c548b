// Reads ZIP archives: the central directory once into an index, then single
// entries by exact name, whole, with their CRC-32 checked. Nothing in the file
// is trusted: every offset, size and count is checked against the file before
// it is used, and no allocation exceeds what the file's length can back.
//
// Failures come back as "invalid Zip archive: {reason}", "unsupported Zip
// archive: {reason}" or "i/o error: {operating system's description}".
#ifndef QUARLEN_ZIP_ZIP_READER_H_
#define QUARLEN_ZIP_ZIP_READER_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quarlen/error.h"
#include "zip/entry.h"
#include "zip/file.h"

namespace quarlen::zip {

// An entry whose local header passed its checks, ready for reading.
struct OpenedEntry {
  const Entry* entry;
  uint64_t data_offset;  // first byte after the local header
};

class ZipArchive;

// Reads one entry's data in pieces of at most kPieceSize bytes, inflating as
// it goes, and checks the uncompressed size and CRC-32 of the central directory
// at the end: memory stays fixed whatever the entry's size. Move-only.
class EntryReader {
 public:
  // Small enough that a piece stays in the caches through the checks that
  // follow inflating it, and that the first rows of an entry come soon.
  static constexpr size_t kPieceSize = size_t{1} << 16;

  EntryReader(EntryReader&&) noexcept;
  EntryReader& operator=(EntryReader&&) noexcept;
  ~EntryReader();

  // The next piece, inflated from at most one read of compressed data, so
  // that every call returns soon: it may be empty where that data held no
  // text (empty deflate blocks). Once the whole entry was read and checked,
  // an empty piece with done() true. A failure ends the entry. The piece
  // stays valid until the next call.
  Result<std::string_view> next();
  bool done() const noexcept;

  // Leaves the CRC-32 to the caller, who checks every byte against a digest
  // of its own that agrees with the entry's CRC-32: the size is still checked.
  void leave_checksum() noexcept;

 private:
  friend class ZipArchive;
  struct State;
  EntryReader(const InputFile& file, const OpenedEntry& opened);

  std::unique_ptr<State> state_;
};

// An archive opened for reading. Move-only; holds the file until destroyed.
class ZipArchive {
 public:
  // Finds the end records (behind a comment, and the Zip64 ones where they
  // are used), reads the central directory and checks that every byte of the
  // file belongs to one entry, the directory or the end records (layout.h).
  // Names must read alike in every reader: no NUL byte, none twice, UTF-8
  // marked as such. A file with no end record fails with "invalid Zip
  // archive: Could not find central directory end"; an archive over several
  // disks is unsupported.
  static Result<ZipArchive> open(InputFile file);

  ZipArchive(ZipArchive&&) noexcept = default;

  // Entries in central directory order.
  std::span<const Entry> entries() const noexcept { return entries_; }

  // The entry with exactly this name, or nullptr.
  const Entry* find(std::string_view name) const;

  // Checks the local header of an entry of this archive: no encryption or
  // patched data, method stored or deflate, and that it belongs to the entry:
  // the same name and method and, unless a data descriptor follows the data,
  // the same CRC-32 and sizes. Reading then takes sizes and CRC-32 from the
  // central directory, so entries written with a data descriptor read too.
  Result<OpenedEntry> open_entry(const Entry& entry) const;

  // find() and open_entry() in one: an absent name fails with
  // "Entry not found", which a caller may treat like any other failure to
  // open the entry.
  Result<OpenedEntry> open_entry(std::string_view name) const;

  // A reader of the entry's data. REQUIRES: the archive outlives it.
  EntryReader reader(const OpenedEntry& opened) const;

  // The entry's whole data, inflated or copied, checked against the
  // uncompressed size and CRC-32 of the central directory.
  Result<std::string> read_entry(const OpenedEntry& opened) const;

 private:
  explicit ZipArchive(InputFile file) : file_(std::move(file)) {}
  Result<void> read_directory(uint64_t offset, uint64_t size, uint64_t count);

  InputFile file_;
  uint64_t directory_offset_ = 0;  // entry data ends at or before this
  std::unique_ptr<char[]> directory_;  // the central directory, owning the names
  std::vector<Entry> entries_;
  std::unordered_map<std::string_view, size_t> index_;  // name -> entries_ position
};

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_ZIP_READER_H_
