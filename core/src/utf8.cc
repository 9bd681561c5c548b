#include "quarlen/utf8.h"

#include <algorithm>
#include <cstring>

namespace quarlen {

bool valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & 0x8080808080808080ULL) != 0) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    const auto continuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    if (c < 0xC2) return false;  // a stray continuation byte, or an overlong pair
    if (c < 0xE0) {
      if (end - p < 2 || !continuation(p[1])) return false;
      p += 2;
    } else if (c < 0xF0) {
      if (end - p < 3 || !continuation(p[1]) || !continuation(p[2])) return false;
      if (c == 0xE0 && p[1] < 0xA0) return false;   // overlong
      if (c == 0xED && p[1] >= 0xA0) return false;  // a surrogate
      p += 3;
    } else if (c < 0xF5) {
      if (end - p < 4 || !continuation(p[1]) || !continuation(p[2]) || !continuation(p[3])) {
        return false;
      }
      if (c == 0xF0 && p[1] < 0x90) return false;   // overlong
      if (c == 0xF4 && p[1] >= 0x90) return false;  // beyond U+10FFFF
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

void append_utf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)),
                       static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

namespace {

// The sequence that starts at p[i]: the length its lead byte announces (0
// for a byte that cannot lead one), and how many of its bytes are there and
// fit, the lead byte included (0 when it cannot lead).
struct Sequence {
  size_t length = 0;
  size_t fits = 0;
};

Sequence sequence_at(const unsigned char* p, size_t i, size_t size) {
  const unsigned char c = p[i];
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of its second byte
  if (c < 0x80) {
    length = 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong below
    if (c == 0xED) high = 0x9F;  // surrogates above
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong below
    if (c == 0xF4) high = 0x8F;  // beyond U+10FFFF above
  }
  size_t n = length == 0 ? 0 : 1;
  while (n > 0 && n < length && i + n < size) {
    const unsigned char b = p[i + n];
    if (n == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) break;
    ++n;
  }
  return Sequence{length, n};
}

}  // namespace

const char* utf8_fault(std::string_view text, bool more) {
  if (valid_utf8(text)) return nullptr;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  for (;;) {
    const Sequence s = sequence_at(p, i, size);
    if (s.length == 0) return "invalid start byte";
    if (s.fits < s.length) {
      return i + s.fits == size && !more ? "unexpected end of data" : "invalid continuation byte";
    }
    i += s.length;
  }
}

std::string display_path(const std::string& path) {
  // Each maximal part of a broken sequence (a lead byte and the continuation
  // bytes that could still have completed it, or one stray byte) becomes one
  // U+FFFD, as a lossy UTF-8 decode shows it.
  const auto* p = reinterpret_cast<const unsigned char*>(path.data());
  const size_t size = path.size();
  std::string out;
  out.reserve(size);
  size_t i = 0;
  while (i < size) {
    const Sequence s = sequence_at(p, i, size);
    if (s.length != 0 && s.fits == s.length) {
      out.append(path, i, s.length);
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
    }
    i += std::max<size_t>(s.fits, 1);
  }
  return out;
}

}  // namespace quarlen
