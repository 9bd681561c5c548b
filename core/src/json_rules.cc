// The rules of JSON that every reader and encoder shares: the number range
// (json_text.h) and the place of a fault in its description (json_fault.h).
#include <cassert>
#include <charconv>
#include <cstdint>
#include <system_error>

#include "quarlen/json_text.h"
#include "json_fault.h"

namespace quarlen {

std::optional<double> number_to_double(std::string_view number, int64_t scale) {
  double d = 0;
  const char* const end = number.data() + number.size();
  const auto r = std::from_chars(number.data(), end, d);
  if (r.ec != std::errc::result_out_of_range) {
    assert(r.ec == std::errc() && r.ptr == end);  // the text is a valid number
    return d;
  }
  // The conversion reports underflow and overflow alike; the scale tells them
  // apart, far from either boundary.
  if (scale >= kOverflowScale) return std::nullopt;
  return number.front() == '-' ? -0.0 : 0.0;
}

std::string describe_fault(std::string_view text, uint64_t line, uint64_t column, bool one_line) {
  std::string description(text);
  if (!one_line) {
    description += " at line ";
    description += std::to_string(line);
    description += " column ";
  } else {
    description += " at column ";
  }
  description += std::to_string(column);
  return description;
}

}  // namespace quarlen
