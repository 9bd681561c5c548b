// The system's one definition of JSON: nlohmann's value model (objects ordered by
// their keys' bytes, unsigned / signed / floating-point numbers kept apart), a
// strict parser with its own fault descriptions, and the compact and pretty
// writers.
#ifndef QUARLEN_JSON_TEXT_H_
#define QUARLEN_JSON_TEXT_H_

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quarlen/error.h"
#include "quarlen/utf8.h"  // valid_utf8: the parsers expect text that passed it

namespace quarlen {

using Json = nlohmann::json;

// The rules every reader and encoder of JSON in the system applies, defined
// here once.
//
// Nesting: at most kMaxDepth arrays and objects deep, the outermost counting as
// 1. Depth is counted one way everywhere: by the arrays and objects that
// enclose a bracket, so a document's own value has 0 around it and a row inside
// the array of a rows() call has 1.
inline constexpr int kMaxDepth = 127;
inline bool nests_too_deep(int enclosing) { return enclosing >= kMaxDepth; }

// Number range: a number is the double nearest its text, zero of its sign when
// it underflows, and out of range when that rounds past the largest double.
// Only a number whose leading digit has a decimal exponent (its scale) of at
// least kOverflowScale can be out of range; smaller ones need no conversion to
// be known in range. Integers that 64 bits of their sign hold stay integers.
inline constexpr int64_t kOverflowScale = 308;
// The double of `number`, a valid JSON number text whose scale is `scale` (0
// for zero; exponent digits may saturate past 100000000); nothing when it is
// out of range.
std::optional<double> number_to_double(std::string_view number, int64_t scale);

// Parses `text` as exactly one JSON value, whitespace allowed around it. A fault
// is an Error whose message is the description alone: a short text followed by
// " at line {} column {}" (callers add their own subject). Lines are counted from 1
// at line feeds; the column counts characters from 1 and points at the byte where
// the fault was found (the end of the text for a text cut short).
Result<Json> parse_json(std::string_view text);

// The compact form: no whitespace outside strings, keys in byte order, shortest
// round-trip doubles with ".0" on integral values and no "+" in exponents.
void append_compact(const Json& value, std::string& out);
std::string to_compact(const Json& value);

// Pieces of the compact form, for encoders that start from values of their
// own: a string from its UTF-8 bytes, and a finite double.
void append_compact_string(std::string_view utf8, std::string& out);
void append_compact_double(double value, std::string& out);

// The pretty form of manifest.json: two spaces per level, ": " after keys,
// "{}" and "[]" when empty, no line feed after the last bracket.
std::string to_pretty(const Json& value);

// What a scan saw of one value: whether it is an array, and its length if so.
struct ValueShape {
  bool is_array = false;
  uint64_t size = 0;
};

// What JsonScanner::scan_array found out about the elements of its array.
struct ArrayScan {
  uint64_t elements = 0;
  uint64_t mismatch = 0;     // 1-based index of the first element that is not an
                             // array of the expected length; 0 when there is none
  ValueShape mismatch_shape; // that element's shape
};

// The parser without the documents, for the hot paths of rows.h. A scan accepts
// exactly the texts that its model (parse_json, parse_json_array) accepts, fails
// with the model's description, and writes exactly the model's compact form, since
// both run the same parser code. The scanner keeps scratch space from one scan to
// the next, so reuse one for many scans; it is not for two threads at once.
class JsonScanner {
 public:
  JsonScanner();
  ~JsonScanner();
  JsonScanner(const JsonScanner&) = delete;
  JsonScanner& operator=(const JsonScanner&) = delete;

  // As parse_json. On success describes the value in *shape and, when `compact` is
  // not null, appends the value's compact form to it. On failure *compact is left
  // as it was.
  Result<void> scan_value(std::string_view text, std::string* compact, ValueShape* shape);

  // As scan_value for one row standing alone on a line of text: it may nest as
  // deeply as an element of scan_array, and a fault is described with " at
  // column {}" in place of " at line {} column {}".
  Result<void> scan_row_line(std::string_view line, std::string* compact, ValueShape* shape);

  // As parse_json_array. On success fills *scan and, when `block` is not null,
  // appends every element's compact form followed by a line feed to it. `columns`
  // is the length every element should have as an array; with 0 any value passes.
  // On failure *block is left as it was.
  Result<void> scan_array(std::string_view text, size_t columns, std::string* block,
                          ArrayScan* scan);

 private:
  struct Scratch;
  std::unique_ptr<Scratch> scratch_;
};

}  // namespace quarlen

#endif  // QUARLEN_JSON_TEXT_H_
