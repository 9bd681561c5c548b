// The row checks shared by writer and reader, and the single-pass scanners that
// the hot paths use in place of building documents. Each scanner accepts and
// refuses exactly what the model parser of json_text.h does, with the same
// fault descriptions, and emits exactly the model's compact form.
#ifndef QUARLEN_ROWS_H_
#define QUARLEN_ROWS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarlen/error.h"
#include "quarlen/json_text.h"

namespace quarlen {

// The fault of a member's line `number` (1-based, the row's number too):
// "{name} line {number}: {description}", with its member and row.
Error line_error(std::string_view name, uint64_t number, std::string_view description);

// The first row that does not fit a member's columns, found by a scanner.
struct ShapeFault {
  uint64_t row = 0;     // 1-based; 0 when every row fits
  bool is_array = false;
  uint64_t values = 0;  // the row's length, when it is an array
};

// Why a row does not fit a member of `columns` values: "not a list of values"
// or "{values} values, the format has {columns}".
std::string shape_text(bool is_array, uint64_t values, size_t columns);

// The message of a row that does not fit its member's columns (`fault` must
// have row != 0): "{name} row {row}: " and its shape_text; and the error that
// carries it with its member and row.
std::string shape_message(std::string_view name, const ShapeFault& fault, size_t columns);
Error shape_error(std::string_view name, const ShapeFault& fault, size_t columns);

// A line of text without its line feed, less the carriage return just before
// that line feed: how every reader of lines in the system ends a line.
inline std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// One rows() call, scanned once.
struct EncodedRows {
  std::string block;  // each element in compact form followed by '\n'
  uint64_t rows = 0;
  ShapeFault shape;   // first element that is not an array of `columns` values
};

// Scans `text` as one JSON array and encodes its elements. With columns == 0
// the shape is not checked. A fault is the parser's description, unprefixed:
// any value but an array fails with "invalid type: {kind}, expected a
// sequence at line {} column {}".
Result<EncodedRows> encode_rows(std::string_view text, size_t columns);

// A member's text, scanned once.
struct ScannedLines {
  uint64_t rows = 0;  // number of lines
  ShapeFault shape;   // first line whose value is not an array of `columns` values
};

// Checks a member's text line by line without building values: LF ends a
// line, a CR just before it is dropped, no empty last line after a final LF;
// each line must be one JSON value, and the first bad one fails with
// line_error and the parser's description. When `compact` is not null,
// appends every line's value in compact form separated by ',' (no brackets
// around them). The text arrives in pieces, split anywhere; only a line that
// runs from one piece into the next is copied. A line longer than kLineWindow is checked as it streams:
// without `compact`, memory stays fixed whatever the text; with it, the line is
// kept for its compact form only while it is still valid JSON, so that a line
// that fails early costs no more than the window.
class MemberLineScanner {
 public:
  static constexpr size_t kLineWindow = size_t{1} << 20;

  // Tests lower `line_window` to reach the streaming check with short lines.
  MemberLineScanner(std::string_view name, size_t columns, std::string* compact,
                    size_t line_window = kLineWindow);
  ~MemberLineScanner();
  MemberLineScanner(const MemberLineScanner&) = delete;
  MemberLineScanner& operator=(const MemberLineScanner&) = delete;

  // Returns false once a line failed; later pieces are then ignored.
  bool feed(std::string_view piece);
  // Sends later rows to `compact`, the first of them without a separator.
  // REQUIRES: the scanner was made with an output.
  void redirect(std::string* compact);
  // After the last piece.
  Result<ScannedLines> finish();

 private:
  struct LongLine;
  bool line(std::string_view text);  // one whole line, its CR dropped
  bool record(const ValueShape& shape);
  bool start_long_line();
  bool feed_long(std::string_view part, bool ends_line);

  std::string name_;
  size_t columns_;
  std::string* compact_;
  bool first_in_output_ = true;
  size_t line_window_;
  JsonScanner scanner_;
  std::string pending_;  // the start of a line that runs on into the next piece
  std::unique_ptr<LongLine> long_;  // the line being checked as it streams
  ScannedLines scanned_;
  std::optional<Error> fault_;  // the first bad line's
};

}  // namespace quarlen

#endif  // QUARLEN_ROWS_H_
