// The byte classes of JSON text that the parser and the streaming check share.
#ifndef QUARLEN_JSON_BYTES_H_
#define QUARLEN_JSON_BYTES_H_

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarlen {

inline bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  const char lower = static_cast<char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

// A byte that ends a plain run inside a string, in the input as in the compact
// form: the quotation mark, the backslash and the controls below U+0020.
inline bool is_string_special(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b == '"' || b == '\\' || b < 0x20;
}

// The first string special byte in [p, end), or end. String bodies are most of
// the bytes of real rows, so this loop is where scanning spends its time.
inline const char* find_string_special(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
        _mm_cmpeq_epi8(_mm_min_epu8(x, control_max), x));  // x <= 0x1F, unsigned
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#else
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    const uint64_t q = w ^ (kOnes * '"');
    const uint64_t b = w ^ (kOnes * '\\');
    // A zero byte in q or b, or a byte below 0x20 in w, sets that byte's high bit.
    const uint64_t hit = ((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w);
    if ((hit & kHighs) != 0) break;
    p += 8;
  }
#endif
  while (p < end && !is_string_special(*p)) ++p;
  return p;
}

}  // namespace quarlen

#endif  // QUARLEN_JSON_BYTES_H_
