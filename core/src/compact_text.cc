#include "quarlen/compact_text.h"

#include <cstring>

#include "json_bytes.h"

namespace quarlen {

const char* CompactReader::string_end(const char* open) const {
  const char* p = open + 1;
  for (;;) {
    const void* q = std::memchr(p, '"', static_cast<size_t>(end_ - p));
    if (q == nullptr) return end_;
    const char* const quote = static_cast<const char*>(q);
    const char* escapes = quote;  // an odd run of backslashes escapes the quote
    while (escapes > open + 1 && escapes[-1] == '\\') --escapes;
    if ((quote - escapes) % 2 == 0) return quote + 1;
    p = quote + 1;
  }
}

std::string_view CompactReader::string(std::string* scratch) {
  const char* const body = ++p_;
  p_ = find_string_special(p_, end_);  // no control byte stands in the compact form
  if (p_ != end_ && *p_ == '"') return std::string_view(body, static_cast<size_t>(p_++ - body));
  p_ = string_end(body - 1);
  const char* const close = p_ > body ? p_ - 1 : body;
  decode_string(std::string_view(body, static_cast<size_t>(close - body)), scratch);
  return *scratch;
}

std::string_view CompactReader::value() {
  const char* const start = p_;
  size_t depth = 0;
  while (p_ != end_) {
    const char c = *p_;
    if (c == '"') {
      p_ = string_end(p_);
      if (depth == 0) break;
    } else if (c == '[' || c == '{') {
      ++depth;
      ++p_;
    } else if (c == ']' || c == '}') {
      if (depth == 0) break;
      ++p_;
      if (--depth == 0) break;
    } else if (c == ',' && depth == 0) {
      break;
    } else {
      ++p_;
    }
  }
  return std::string_view(start, static_cast<size_t>(p_ - start));
}

void CompactReader::decode_string(std::string_view body, std::string* out) {
  out->clear();
  const char* p = body.data();
  const char* const end = p + body.size();
  while (p != end) {
    const void* found = std::memchr(p, '\\', static_cast<size_t>(end - p));
    const char* const escape = found != nullptr ? static_cast<const char*>(found) : end;
    out->append(p, static_cast<size_t>(escape - p));
    if (escape == end || escape + 1 == end) break;  // past the end: not the compact form
    p = escape + 2;
    switch (escape[1]) {
      case 'b': out->push_back('\b'); break;
      case 't': out->push_back('\t'); break;
      case 'n': out->push_back('\n'); break;
      case 'f': out->push_back('\f'); break;
      case 'r': out->push_back('\r'); break;
      case 'u':  // \u00XX
        if (end - p < 4) return;  // not the compact form
        out->push_back(static_cast<char>(hex_value(p[2]) * 16 + hex_value(p[3])));
        p += 4;
        break;
      default: out->push_back(escape[1]); break;  // \" and \\ stand for themselves
    }
  }
}

}  // namespace quarlen
