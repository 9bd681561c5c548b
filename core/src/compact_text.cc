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
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i == body.size()) break;  // not the compact form
    switch (body[i]) {
      case 'b': out->push_back('\b'); break;
      case 't': out->push_back('\t'); break;
      case 'n': out->push_back('\n'); break;
      case 'f': out->push_back('\f'); break;
      case 'r': out->push_back('\r'); break;
      case 'u':  // \u00XX
        if (i + 4 >= body.size()) return;  // not the compact form
        out->push_back(static_cast<char>(hex_value(body[i + 3]) * 16 + hex_value(body[i + 4])));
        i += 4;
        break;
      default: out->push_back(body[i]); break;  // \" and \\ stand for themselves
    }
  }
}

}  // namespace quarlen
