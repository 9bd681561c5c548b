#include "json_writer.h"

#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "quarlen/json_text.h"
#include "json_bytes.h"

namespace quarlen {

void append_escaped_byte(unsigned char c, std::string& out) {
  constexpr char kHexDigits[] = "0123456789abcdef";
  switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\b': out += "\\b"; break;
    case '\t': out += "\\t"; break;
    case '\n': out += "\\n"; break;
    case '\f': out += "\\f"; break;
    case '\r': out += "\\r"; break;
    default: {
      const char u[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0x0F]};
      out.append(u, sizeof u);
    }
  }
}

namespace {

void append_string(std::string_view s, std::string& out) {
  out += '"';
  const char* p = s.data();
  const char* const end = p + s.size();
  for (;;) {
    const char* q = find_string_special(p, end);
    out.append(p, q);
    if (q == end) break;
    append_escaped_byte(static_cast<unsigned char>(*q), out);
    p = q + 1;
  }
  out += '"';
}

template <class Int>
void append_integer(Int v, std::string& out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Shortest round-trip digits; fixed notation from 1e-4 up to 1e16 as the usual
// repr does, with ".0" on integral values so that the text still reads as a
// floating-point number, and exponents without "+" or leading zeros.
void append_double(double v, std::string& out) {
  if (!std::isfinite(v)) {
    // Parsed values are always finite; a value built by hand may not be.
    out += "null";
    return;
  }
  char buf[64];
  const double magnitude = std::fabs(v);
  if (magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    assert(r.ec == std::errc());  // at most 24 characters in this range
    out.append(buf, r.ptr);
    if (std::memchr(buf, '.', static_cast<size_t>(r.ptr - buf)) == nullptr) out += ".0";
    return;
  }
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  assert(r.ec == std::errc());  // a shortest scientific double fits in 24 characters
  const char* e = static_cast<const char*>(std::memchr(buf, 'e', static_cast<size_t>(r.ptr - buf)));
  assert(e != nullptr);  // scientific notation always has an exponent
  out.append(buf, static_cast<size_t>(e + 1 - buf));
  const char* q = e + 1;
  if (*q == '-') out += '-';
  ++q;  // past the exponent's sign
  while (q + 1 < r.ptr && *q == '0') ++q;
  out.append(q, static_cast<size_t>(r.ptr - q));
}

void append_value(const Json& v, std::string& out) {
  switch (v.type()) {
    case Json::value_t::null:
      out += "null";
      break;
    case Json::value_t::boolean:
      out += v.get<bool>() ? "true" : "false";
      break;
    case Json::value_t::number_integer:
      append_integer(v.get<Json::number_integer_t>(), out);
      break;
    case Json::value_t::number_unsigned:
      append_integer(v.get<Json::number_unsigned_t>(), out);
      break;
    case Json::value_t::number_float:
      append_double(v.get<Json::number_float_t>(), out);
      break;
    case Json::value_t::string:
      append_string(v.get_ref<const Json::string_t&>(), out);
      break;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& e : v.get_ref<const Json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        append_value(e, out);
      }
      out += ']';
      break;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, e] : v.get_ref<const Json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        append_string(key, out);
        out += ':';
        append_value(e, out);
      }
      out += '}';
      break;
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      // Neither kind comes out of the parser; writing null keeps the text JSON.
      out += "null";
      break;
  }
}

void append_pretty(const Json& v, size_t level, std::string& out) {
  const bool object = v.is_object();
  if ((!object && !v.is_array()) || v.empty()) {
    append_value(v, out);
    return;
  }
  out += object ? '{' : '[';
  bool first = true;
  const auto open_member = [&] {
    out += first ? "\n" : ",\n";
    first = false;
    out.append(2 * (level + 1), ' ');
  };
  if (object) {
    for (const auto& [key, e] : v.get_ref<const Json::object_t&>()) {
      open_member();
      append_string(key, out);
      out += ": ";
      append_pretty(e, level + 1, out);
    }
  } else {
    for (const Json& e : v.get_ref<const Json::array_t&>()) {
      open_member();
      append_pretty(e, level + 1, out);
    }
  }
  out += '\n';
  out.append(2 * level, ' ');
  out += object ? '}' : ']';
}

}  // namespace

void append_compact(const Json& value, std::string& out) { append_value(value, out); }
void append_compact_string(std::string_view utf8, std::string& out) { append_string(utf8, out); }
void append_compact_double(double value, std::string& out) {
  assert(std::isfinite(value));  // JSON has no form for the others
  append_double(value, out);
}

std::string to_compact(const Json& value) {
  std::string out;
  append_value(value, out);
  return out;
}

std::string to_pretty(const Json& value) {
  std::string out;
  append_pretty(value, 0, out);
  return out;
}

}  // namespace quarlen
