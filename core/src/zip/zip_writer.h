// Streams a ZIP archive into an OutputFile: entries are deflated as they are
// written, and each local header gets its CRC-32 and sizes once the entry is
// complete. Every entry carries the same fixed header values (zip_format.h):
// deflate at level 6, 1980-01-01 00:00:00, Unix mode 0o100644, no data
// descriptor, the UTF-8 flag exactly when the name has a byte outside ASCII.
#ifndef QUARLEN_ZIP_ZIP_WRITER_H_
#define QUARLEN_ZIP_ZIP_WRITER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quarlen/error.h"
#include "zip/file.h"
#include "zip/zip_format.h"

namespace quarlen::zip {

struct Deflater;

// Limits of the format, lowered only by tests so that the paths beyond them
// run without writing gigabytes.
struct ZipWriterLimits {
  // An entry whose local header starts at or past this offset has its offset
  // in a Zip64 field; a central directory starting or reaching this far
  // gets the Zip64 end records.
  uint64_t zip64_offset = kMax32;
  // The most bytes of data, uncompressed and compressed, of one entry.
  uint64_t entry_size = kMax32;
};

// Failures come back as texts: "i/o error: {}" around the operating system's
// description, or "invalid Zip archive: {}" / "unsupported Zip archive: {}"
// with a reason, from start_entry() and finish(); write() returns the
// description alone, or one of the two size-limit texts.
//
// Move-only. Not thread-safe.
class ZipWriter {
 public:
  // Nothing is written until the first entry starts.
  explicit ZipWriter(OutputFile file, ZipWriterLimits limits = {});
  ZipWriter(ZipWriter&&) noexcept;
  // Runs finish() unless it ran, ignoring its failure. A caller that wants
  // to report that failure calls finish() itself.
  ~ZipWriter();

  // Completes the open entry, if any, then writes the local header of a new
  // one named by the given bytes. If completing the open entry fails, that
  // entry is removed and no entry is started. If writing the new header
  // fails, the file is cut back to where it began and no entry is open.
  // REQUIRES: !finished().
  Result<void> start_entry(std::string_view name);

  // Deflates bytes into the open entry. Without an open entry this fails
  // with "No file has been started". Data that would take the entry past
  // the size limit fails with "Large file option has not been set" and
  // removes the entry: the file is cut back to its local header, it never
  // reaches the central directory, and writes fail as without an entry
  // until the next start_entry(). On an operating-system failure the entry
  // stays open and holds whatever part of bytes was deflated.
  // REQUIRES: !finished().
  Result<void> write(std::string_view bytes);

  // Completes the open entry, writes the central directory and the end
  // records, flushes and closes the file. On failure the archive is still
  // closed as far as it can be: an entry that cannot be completed is left
  // out, and the file is closed. Once an operating-system call has failed,
  // the open entry may hold part of a write: it is cut off, not completed,
  // so that no entry of the directory holds data nobody meant to store.
  // Failures of the last flush and of closing
  // come back as the operating system's description alone. Afterwards the
  // writer is finished, whatever the result.
  // REQUIRES: !finished().
  Result<void> finish();

  bool finished() const noexcept { return finished_; }

  // Whether an operating-system call failed: the file may then hold part of
  // a write, an entry without its sizes, or part of the central directory.
  bool failed() const noexcept { return failed_; }

  // Whether an entry takes writes: false before the first start_entry(),
  // after a failed one, and after the size limit removed the entry.
  bool entry_open() const noexcept { return entry_open_; }

  // The number of entries completed so far or in the central directory.
  size_t entry_count() const noexcept { return records_.size(); }

 private:
  struct Record {  // one central directory header
    std::string name;
    uint32_t crc32;
    uint32_t compressed_size;
    uint32_t uncompressed_size;
    uint64_t header_offset;
  };

  Result<void> complete_entry();
  Result<void> write_central_directory();
  // The parts of the central directory, each written at the file's position.
  Result<void> write_central_header(const Record& r);
  Result<void> write_zip64_end_records(uint64_t entries, uint64_t directory_size,
                                       uint64_t directory_offset);
  Result<void> write_end_record(uint64_t entries, uint64_t directory_size,
                                uint64_t directory_offset);
  void remove_entry();
  // Marks the writer failed() and returns the i/o error of `os`.
  Error failed_io(const Error& os);
  // Marks the writer failed() and passes `r` on.
  Result<void> note(Result<void> r);

  OutputFile file_;
  ZipWriterLimits limits_;
  std::unique_ptr<Deflater> deflater_;  // made with the first entry
  std::vector<Record> records_;
  bool entry_open_ = false;
  bool finished_ = false;
  bool failed_ = false;
  // The open entry.
  std::string name_;
  uint64_t header_offset_ = 0;
  uint64_t data_offset_ = 0;
  uint64_t uncompressed_size_ = 0;
  uint32_t crc32_ = 0;
};

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_ZIP_WRITER_H_
