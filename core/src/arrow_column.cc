#include "arrow_column.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quarlen {
namespace {

enum Seen : unsigned {
  kSeenString = 1,
  kSeenBool = 2,
  kSeenInteger = 4,  // within int64
  kSeenNumber = 8,   // any other number that is not an integer beyond int64
  kSeenOther = 16,   // objects, arrays, integers beyond int64
};

bool parse_int64(std::string_view text, int64_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
}

// The double nearest to a JSON number, infinite beyond the range of doubles.
bool parse_double(std::string_view text, double* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  if (ec == std::errc::result_out_of_range) {
    const std::string copy(text);
    *value = std::strtod(copy.c_str(), nullptr);
    return true;
  }
  return ec == std::errc() && ptr == end;
}

bool starts_number(char c) { return c == '-' || (c >= '0' && c <= '9'); }

void set_bit(Buffer& bits, int64_t index, bool value) {
  const auto byte = static_cast<size_t>(index / 8);
  if (byte == bits.size()) bits.push_back(0);
  if (value) bits[byte] = static_cast<uint8_t>(bits[byte] | (1u << (index % 8)));
}

}  // namespace

void ColumnKinds::observe(CompactReader& value) {
  switch (value.peek()) {
    case 'n':
      value.token();
      return;
    case 't':
    case 'f':
      value.token();
      seen_ |= kSeenBool;
      return;
    case '"':
      value.value();
      seen_ |= kSeenString;
      return;
    case '[':
    case '{':
      value.value();
      seen_ |= kSeenOther;
      return;
    default: {
      const std::string_view number = value.token();
      int64_t unused;
      if (!CompactReader::is_integer(number)) {
        seen_ |= kSeenNumber;
      } else {
        seen_ |= parse_int64(number, &unused) ? kSeenInteger : kSeenOther;
      }
    }
  }
}

ColumnType ColumnKinds::type() const {
  if (seen_ & kSeenOther) return ColumnType::kJson;
  const bool numbers = seen_ & (kSeenInteger | kSeenNumber);
  const int kinds = ((seen_ & kSeenString) != 0) + ((seen_ & kSeenBool) != 0) + numbers;
  if (kinds == 0) return ColumnType::kNull;
  if (kinds > 1) return ColumnType::kJson;
  if (seen_ & kSeenString) return ColumnType::kString;
  if (seen_ & kSeenBool) return ColumnType::kBool;
  return (seen_ & kSeenNumber) ? ColumnType::kFloat64 : ColumnType::kInt64;
}

const char* arrow_format(ColumnType type, bool large) {
  switch (type) {
    case ColumnType::kNull: return "n";
    case ColumnType::kBool: return "b";
    case ColumnType::kInt64: return "l";
    case ColumnType::kFloat64: return "g";
    case ColumnType::kString:
    case ColumnType::kJson: return large ? "U" : "u";
  }
  return "n";
}

ColumnBuilder::ColumnBuilder(ColumnType type, bool large) : type_(type), large_(large) {
  reset();
}

void ColumnBuilder::reset() {
  length_ = 0;
  nulls_ = 0;
  validity_.clear();
  values_.clear();
  data_.clear();
  if (type_ == ColumnType::kString || type_ == ColumnType::kJson) {
    if (large_) append_fixed<int64_t>(0);
    else append_fixed<int32_t>(0);
  }
}

template <class T>
void ColumnBuilder::append_fixed(T value) {
  const size_t at = values_.size();
  values_.resize(at + sizeof value);
  std::memcpy(values_.data() + at, &value, sizeof value);
}

void ColumnBuilder::append_valid(bool valid) {
  // The bitmap is written from the first null on: till then every value is valid.
  if (!valid && nulls_ == 0) {
    validity_.assign(static_cast<size_t>(length_ / 8), 0xFF);
    for (int64_t i = length_ / 8 * 8; i < length_; ++i) set_bit(validity_, i, true);
  }
  if (nulls_ != 0 || !valid) set_bit(validity_, length_, valid);
  if (!valid) ++nulls_;
  ++length_;
}

void ColumnBuilder::append_bytes(std::string_view bytes) {
  data_.insert(data_.end(), bytes.begin(), bytes.end());
  // Offsets stay within int32 for utf8: the table takes large_utf8 for any
  // column whose batch could pass it.
  if (large_) append_fixed<int64_t>(static_cast<int64_t>(data_.size()));
  else append_fixed<int32_t>(static_cast<int32_t>(data_.size()));
  append_valid(true);
}

void ColumnBuilder::append_text(std::string_view text) { append_bytes(text); }

template <class T>
bool ColumnBuilder::append_number(CompactReader& value, bool (*parse)(std::string_view, T*)) {
  T number;
  if (!starts_number(value.peek())) {
    value.value();
    return false;
  }
  if (!parse(value.token(), &number)) return false;
  append_fixed(number);
  append_valid(true);
  return true;
}

bool ColumnBuilder::append(CompactReader& value) {
  const char first = value.peek();
  if (first == 'n') {
    value.token();
    switch (type_) {
      case ColumnType::kNull: ++nulls_; ++length_; return true;
      case ColumnType::kBool: set_bit(values_, length_, false); break;
      case ColumnType::kInt64: append_fixed<int64_t>(0); break;
      case ColumnType::kFloat64: append_fixed<double>(0); break;
      case ColumnType::kString:
      case ColumnType::kJson:
        if (large_) append_fixed<int64_t>(static_cast<int64_t>(data_.size()));
        else append_fixed<int32_t>(static_cast<int32_t>(data_.size()));
        break;
    }
    append_valid(false);
    return true;
  }
  switch (type_) {
    case ColumnType::kNull:
      value.value();
      return false;
    case ColumnType::kBool:
      if (first != 't' && first != 'f') {
        value.value();
        return false;
      }
      value.token();
      set_bit(values_, length_, first == 't');
      append_valid(true);
      return true;
    case ColumnType::kInt64: return append_number<int64_t>(value, parse_int64);
    case ColumnType::kFloat64: return append_number<double>(value, parse_double);
    case ColumnType::kString:
      if (first != '"') {
        value.value();
        return false;
      }
      append_bytes(value.string(&scratch_));
      return true;
    case ColumnType::kJson:
      append_bytes(value.value());
      return true;
  }
  return false;
}

void ColumnBuilder::finish(ArrowArray* out) {
  ArrayParts parts;
  parts.length = length_;
  parts.null_count = nulls_;
  if (type_ != ColumnType::kNull) {
    // A bitmap as long as the values, even where the last bits are nulls;
    // none when nothing is null.
    if (nulls_ != 0) validity_.resize(static_cast<size_t>((length_ + 7) / 8));
    parts.buffers.push_back(std::move(validity_));
    parts.absent.push_back(nulls_ == 0);
    if (type_ == ColumnType::kBool) values_.resize(static_cast<size_t>((length_ + 7) / 8));
    parts.buffers.push_back(std::move(values_));
    if (type_ == ColumnType::kString || type_ == ColumnType::kJson) {
      parts.buffers.push_back(std::move(data_));
    }
  }
  export_array(std::move(parts), out);
  validity_ = Buffer();
  values_ = Buffer();
  data_ = Buffer();
  reset();
}

}  // namespace quarlen
