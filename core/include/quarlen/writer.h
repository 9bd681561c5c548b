// ArchiveWriter writes one .quarlen file: create, then per member begin, rows
// as often as needed and end, then finish with the caller's header.
#ifndef QUARLEN_WRITER_H_
#define QUARLEN_WRITER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quarlen/error.h"
#include "quarlen/json_text.h"

namespace quarlen {

namespace zip {
class ZipWriter;
struct FileCalls;
}

// A failure of the file itself (the operating system refused a write, or an
// entry could not be completed) may leave part of the data on disk. The writer
// has then failed for good: every later call fails with "{path}: the file
// cannot be completed: an earlier write failed ({first failure})", and the
// file is closed without a manifest, so that no reader takes it for a
// finished snapshot. A refused call (bad arguments, wrong order, the size
// limit of one member) changes nothing and leaves the writer usable.
class ArchiveWriter {
 public:
  // Creates or truncates the file at `path` (raw bytes, as the OS takes them).
  static Result<std::unique_ptr<ArchiveWriter>> create(const std::string& path);
  // As above, writing through `calls`, which must outlive the writer.
  static Result<std::unique_ptr<ArchiveWriter>> create(const std::string& path,
                                                       const zip::FileCalls& calls);

  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;
  // Closes an unfinished archive quietly; call discard() first to learn of failure.
  ~ArchiveWriter();

  Result<void> begin(std::string_view name);
  // Appends the rows of one JSON array; returns how many this call held.
  Result<uint64_t> rows(std::string_view rows_json);
  // Appends rows that the caller encoded itself: `rows` rows, each in the
  // compact form (what to_compact gives for its value) followed by '\n', each
  // an array of the open member's number of values. The same checks of state
  // and failure as rows(), and the same result.
  Result<uint64_t> append_rows(std::string_view block, uint64_t rows);
  // The number of values each row of the open member holds; 0 when none is open.
  size_t columns() const;
  // Closes the open member and returns its record {"bytes","rows","sha256"}.
  Result<Json> end();
  // Writes manifest.json and closes the archive; returns the manifest. When
  // the manifest cannot be written, the archive is closed without it and the
  // write's failure returned; should closing fail as well, the next
  // take_close_failure() hands that failure out, once.
  Result<Json> finish(std::string_view header_json);
  std::optional<Error> take_close_failure() { return std::exchange(close_failure_, std::nullopt); }

  // Closes an unfinished archive (no manifest): the open entry is completed and
  // the central directory written. Does nothing once finish has taken the
  // archive. The writer is finished afterwards whatever the outcome.
  Result<void> discard();

 private:
  struct OpenMember;
  ArchiveWriter(std::string path, std::unique_ptr<zip::ZipWriter> archive);

  // Records `error` as the writer's failure, when it is the first, and
  // passes it on.
  Error fail(Error error);
  Error failed_error() const;

  std::string path_;  // as the caller gave it
  std::optional<std::string> failure_;  // the first failure of the file
  std::optional<Error> close_failure_;
  std::unique_ptr<zip::ZipWriter> archive_;
  std::unique_ptr<OpenMember> open_;
  std::map<std::string, Json> written_;
};

}  // namespace quarlen

#endif  // QUARLEN_WRITER_H_
