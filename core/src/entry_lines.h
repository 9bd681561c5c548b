// A member's rows read back from its entry as they stand, for a reader that
// proved them once already: the entry's lines, when they are the rows'
// compact text exactly.
#ifndef QUARLEN_ENTRY_LINES_H_
#define QUARLEN_ENTRY_LINES_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quarlen/error.h"
#include "quarlen/read_ahead.h"
#include "quarlen/reader.h"
#include "zip/zip_reader.h"

namespace quarlen {

// The CRC-32 and length of rows written as lines (each row's compact text and
// a line feed), as a whole and a piece at a time: what the entry of a member
// holds when it holds its rows in compact form.
struct LinesDigest {
  static constexpr uint64_t kPiece = uint64_t{1} << 18;

  uint32_t crc = 0;  // once finished
  uint64_t size = 0;
  std::vector<uint32_t> pieces;  // of every kPiece bytes; the last may be shorter

  // Adds rows' lines, or a part of them.
  void add(std::string_view lines);
  // After the last row.
  void finish();

 private:
  uint32_t piece_crc_ = 0;
};

class EntryLines final : public TextSource {
 public:
  // The entry of `member` in the file at `path` when its directory record
  // claims the text `digest` stands for; null otherwise, or when the file or
  // the member cannot be opened.
  static std::unique_ptr<EntryLines> open(const std::string& path, std::string_view member,
                                          const LinesDigest& digest);

  // The rows' compact text, as TextSource says. Rows are handed out only
  // once every byte up to them matched the digest's pieces, so they are the
  // rows the digest stands for (unless a CRC-32 collides). Any fault but
  // kInterrupted: the text is not what the digest stands for. The entry is
  // inflated ahead, on a thread of its own.
  Result<bool> next(std::string* rows, size_t at_least, Interrupt* interrupt) override;
  size_t size_hint() const override { return static_cast<size_t>(digest_.size); }

 private:
  EntryLines(OpenedArchive archive, zip::EntryReader reader, const LinesDigest& digest);
  // Checks `bytes`, the text after what was checked so far, piece by piece.
  bool check(std::string_view bytes);

  OpenedArchive archive_;  // the file, open while the entry is read
  ReadAhead reader_;
  std::string piece_;  // the last piece read
  const LinesDigest& digest_;
  uint64_t read_ = 0;     // bytes of the entry read
  uint64_t checked_ = 0;  // of them, those that matched whole pieces of the digest
  uint32_t crc_ = 0;      // of the bytes read past checked_
  std::string text_;      // the text read, not handed out yet, from a row's start
  uint64_t text_at_ = 0;  // where text_ starts in the entry
};

}  // namespace quarlen

#endif  // QUARLEN_ENTRY_LINES_H_
