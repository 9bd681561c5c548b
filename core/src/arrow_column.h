// One column of a member as Arrow data: the type its values take over every
// file of a table, and the builder of its arrays, one record batch at a time.
//
// The type of a column follows from the kinds of values it holds, nulls aside:
// only strings give utf8; only integers within int64 give int64; numbers of
// any kind give float64; only booleans give bool; nothing but nulls gives
// null. Anything else (objects, arrays, integers beyond int64, mixed kinds)
// gives the values' compact JSON texts as utf8, marked arrow.json.
#ifndef QUARLEN_ARROW_COLUMN_H_
#define QUARLEN_ARROW_COLUMN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_export.h"
#include "quarlen/compact_text.h"

namespace quarlen {

enum class ColumnType { kNull, kBool, kInt64, kFloat64, kString, kJson };

// The kinds of values a column was seen to hold.
class ColumnKinds {
 public:
  // Reads the value at the cursor and notes its kind. REQUIRES: !at_end().
  void observe(CompactReader& value);
  ColumnType type() const;

 private:
  unsigned seen_ = 0;
};

// The values of one column of one batch. With `large`, texts take 64-bit
// offsets (large_utf8).
class ColumnBuilder {
 public:
  ColumnBuilder(ColumnType type, bool large);

  // Reads the value at the cursor into the column; false, with the value
  // read past, when it does not have the column's type. REQUIRES: !at_end().
  bool append(CompactReader& value);
  // Appends a text. REQUIRES: the type is kString.
  void append_text(std::string_view text);

  int64_t length() const { return length_; }
  // Hands the values out as an array, which then owns them; the builder
  // starts over.
  void finish(ArrowArray* out);

 private:
  void reset();
  void append_valid(bool valid);
  void append_bytes(std::string_view bytes);
  template <class T>
  void append_fixed(T value);
  template <class T>
  bool append_number(CompactReader& value, bool (*parse)(std::string_view, T*));

  const ColumnType type_;
  const bool large_;
  int64_t length_ = 0;
  int64_t nulls_ = 0;
  Buffer validity_;
  Buffer values_;  // the values, or the offsets of texts
  Buffer data_;    // the bytes of texts
  std::string scratch_;
};

// The Arrow format string of a column's type.
const char* arrow_format(ColumnType type, bool large);

}  // namespace quarlen

#endif  // QUARLEN_ARROW_COLUMN_H_
