// Reading a .quarlen file: opening it and checking its manifest, reading one
// member against its record and the format, and the report over every member.
#ifndef QUARLEN_READER_H_
#define QUARLEN_READER_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quarlen/error.h"
#include "quarlen/interrupt.h"
#include "quarlen/json_text.h"

namespace quarlen {

namespace zip {
class ZipArchive;
}

// A file whose manifest passed the checks, open for the length of one call.
// A plain value: what reads from its archive may outlive a move.
class OpenedArchive {
 public:
  OpenedArchive(std::string path, Json manifest, std::unique_ptr<zip::ZipArchive> archive);
  OpenedArchive(OpenedArchive&&) noexcept;
  OpenedArchive& operator=(OpenedArchive&&) noexcept;
  ~OpenedArchive();

  // As open_archive was given it.
  const std::string& path() const { return path_; }
  const Json& manifest() const { return manifest_; }
  const zip::ZipArchive& archive() const { return *archive_; }

 private:
  std::string path_;
  Json manifest_;
  std::unique_ptr<zip::ZipArchive> archive_;  // on the heap: its readers point into it
};

// Opens `path` (raw bytes) and checks its manifest. Every fault carries the path.
Result<OpenedArchive> open_archive(const std::string& path);

// The manifest's member names in byte order.
std::vector<std::string> listed_members(const OpenedArchive& opened);

// The report {"format","members","ok","problems"} over every listed member.
// With an interrupt that asks to stop, the report is left incomplete.
Json verify_archive(OpenedArchive& opened, Interrupt* interrupt = nullptr);

class MemberPass;

// One member's rows, read piece by piece for callers that take them as they
// come, with every check and message of read_text. The file stays open until
// the reader is destroyed or the member ends.
class MemberReader {
 public:
  // Opens the file and the member: read_text's checks and messages up to the
  // member's entry. A member the manifest does not list has no rows. With
  // `inflate_ahead`, the entry is inflated on a thread of its own: for a
  // caller whose own work on the rows leaves a core free.
  static Result<std::unique_ptr<MemberReader>> open(const std::string& path,
                                                    std::string_view name,
                                                    bool inflate_ahead = false);
  ~MemberReader();

  // Appends the compact form of the next rows to *out, separated by ',' (none
  // before the first), until at least `at_least` bytes were added or the
  // member ends. True while more
  // may follow; false once the member ended and every check passed. Rows handed
  // out are proven only when that false comes: a fault anywhere fails the call
  // that reaches the end, with read_text's message, after the rest of the
  // member was read (an earlier step's fault, such as the checksum, wins).
  // Gives up with kInterrupted, and ends the member, once `interrupt` asks.
  Result<bool> next(std::string* out, size_t at_least, Interrupt* interrupt = nullptr);

  // About the length of the member's text, as far as the file backs it.
  size_t size_hint() const;
  // Whether the manifest lists the member; one it does not list has no rows.
  bool listed() const { return listed_; }

 private:
  explicit MemberReader(OpenedArchive opened);

  OpenedArchive opened_;
  std::unique_ptr<MemberPass> pass_;  // null once the member ended
  bool listed_ = false;
  std::string unused_;                // output until next() names one
};

// The texts the module returns: the checked manifest, one member's rows as one
// array, and the report, each in compact form. Reading members gives up with
// kInterrupted once `interrupt` asks.
Result<std::string> manifest_text(const std::string& path);
// With `listed`, read_text tells whether the manifest lists the member, which
// an empty member's "[]" does not.
Result<std::string> read_text(const std::string& path, std::string_view name,
                              Interrupt* interrupt = nullptr, bool* listed = nullptr);
Result<std::string> verify_text(const std::string& path, Interrupt* interrupt = nullptr);

}  // namespace quarlen

#endif  // QUARLEN_READER_H_
