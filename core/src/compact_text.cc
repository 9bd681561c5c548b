#include "quarlen/compact_text.h"

#include <cstring>

#include "json_bytes.h"

namespace quarlen {
namespace {

// Appends what the escape at `escape` (a backslash) stands for to *out; past
// it, or null where the text ends inside it, which the compact form never does.
const char* decode_escape(const char* escape, const char* end, std::string* out) {
  if (end - escape < 2) return nullptr;
  switch (escape[1]) {
    case 'b': out->push_back('\b'); break;
    case 't': out->push_back('\t'); break;
    case 'n': out->push_back('\n'); break;
    case 'f': out->push_back('\f'); break;
    case 'r': out->push_back('\r'); break;
    case 'u':  // \u00XX
      if (end - escape < 6) return nullptr;
      out->push_back(static_cast<char>(hex_value(escape[4]) * 16 + hex_value(escape[5])));
      return escape + 6;
    default: out->push_back(escape[1]); break;  // \" and \\ stand for themselves
  }
  return escape + 2;
}

}  // namespace

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
  // The compact form has no controls in strings: the first special byte is
  // the closing quotation mark or a backslash.
  const char* p = find_string_special(p_, end_);
  if (p != end_ && *p == '"') {
    p_ = p + 1;
    return std::string_view(body, static_cast<size_t>(p - body));
  }
  // Decoded in the same pass that finds the string's end.
  scratch->clear();
  const char* run = body;
  for (;;) {
    scratch->append(run, static_cast<size_t>(p - run));
    if (p == end_ || *p == '"') break;
    if (*p == '\\') {
      run = decode_escape(p, end_, scratch);
      if (run == nullptr) {
        p = end_;
        break;
      }
    } else {
      scratch->push_back(*p);  // a control: not the compact form
      run = p + 1;
    }
    p = find_string_special(run, end_);
  }
  p_ = p == end_ ? end_ : p + 1;
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
  out->reserve(body.size());
  const char* p = body.data();
  const char* const end = p + body.size();
  while (p != end) {
    const void* found = std::memchr(p, '\\', static_cast<size_t>(end - p));
    const char* const escape = found != nullptr ? static_cast<const char*>(found) : end;
    out->append(p, static_cast<size_t>(escape - p));
    if (escape == end) return;
    p = decode_escape(escape, end, out);
    if (p == nullptr) return;
  }
}

}  // namespace quarlen
