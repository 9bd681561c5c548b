// Rows given as JSON lines, one row a line, for writing a member from a file.
#ifndef QUARLEN_JSON_LINES_H_
#define QUARLEN_JSON_LINES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quarlen/json_text.h"

namespace quarlen {

// Encodes JSON lines as ArchiveWriter::rows encodes the elements of its array:
// each line that is not blank (LF ends a line, a CR before it is dropped) is
// one row, checked as UTF-8, parsed by the core's parser, checked against the
// member's columns and appended to block() in the compact form followed by
// '\n'. Not for two threads at once.
class JsonLineEncoder {
 public:
  // Rows at which feed() pauses, so that the caller can report progress.
  static constexpr uint64_t kPauseRows = 10000;

  // The first bad line: its number (1-based, blank lines counted), the row it
  // would have been, and why, the reason alone: "not UTF-8 ({fault})", "not
  // JSON ({description} at column {})" or shape_text's text.
  struct Fault {
    uint64_t line = 0;
    uint64_t row = 0;
    std::string reason;
  };

  explicit JsonLineEncoder(size_t columns) : columns_(columns) {}

  // Takes the lines that `*piece` completes from its front, removing what it
  // took; the start of a line that the piece does not end is kept for the
  // next. Stops early, with the rest left in *piece, after a row that makes
  // rows() a multiple of kPauseRows. False once a line was bad.
  bool feed(std::string_view* piece);
  // After the last piece: takes the last line when no LF ended it.
  bool finish();

  // The rows encoded since the last take, and how many they are.
  std::string& block() { return block_; }
  uint64_t block_rows() const { return block_rows_; }
  void clear_block() {
    block_.clear();
    block_rows_ = 0;
  }

  uint64_t rows() const { return rows_; }
  uint64_t bytes() const { return bytes_; }  // taken so far, line feeds included
  const Fault& fault() const { return fault_; }

 private:
  bool line(std::string_view text, bool ended);
  bool refuse(std::string reason);

  const size_t columns_;
  JsonScanner scanner_;
  std::string pending_;  // the start of a line that runs on into the next piece
  std::string block_;
  uint64_t block_rows_ = 0;
  uint64_t rows_ = 0;
  uint64_t lines_ = 0;
  uint64_t bytes_ = 0;
  Fault fault_;
};

}  // namespace quarlen

#endif  // QUARLEN_JSON_LINES_H_
