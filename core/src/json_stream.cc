#include "json_stream.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstring>
#include <system_error>

#include "json_bytes.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The check takes each decision of parse_json's parser on the same byte, or on
// the end of the text, and in the same order, so that both find the same first
// fault. A fault is reported at the byte that shows it, at the end of the text,
// or where the number or \u escape that holds it began: neither holds a line
// feed, so that place is on the current line, at a column noted when it began.

namespace quarlen {
namespace {

// The first byte in [p, end) that is not a space, or end. Runs of spaces are
// what a hostile line is most cheaply made of.
const char* skip_spaces(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  while (end - p >= 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, space)));
    if (mask != 0xFFFF) return p + __builtin_ctz(~mask);
    p += 16;
  }
#else
  constexpr uint64_t kSpaces = 0x2020202020202020ULL;
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (w != kSpaces) break;
    p += 8;
  }
#endif
  while (p < end && *p == ' ') ++p;
  return p;
}

// The characters in [p, end): the bytes that are not UTF-8 continuation bytes
// (0b10xxxxxx), which is what a column counts whether or not the text is UTF-8.
uint64_t count_characters(const char* p, const char* end) {
  constexpr uint64_t kLowBits = 0x0101010101010101ULL;
  const auto size = static_cast<uint64_t>(end - p);
  uint64_t continuations = 0;
  while (end - p >= 8) {
    // One counter per byte lane, summed before any lane can pass 255.
    const char* const stop = p + 8 * std::min<ptrdiff_t>(255, (end - p) / 8);
    uint64_t lanes = 0;
    for (; p != stop; p += 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      lanes += ((w & ~(w << 1)) >> 7) & kLowBits;  // bit 7 set and bit 6 clear
    }
    lanes = (lanes & 0x00FF00FF00FF00FFULL) + ((lanes >> 8) & 0x00FF00FF00FF00FFULL);
    continuations += (lanes * 0x0001000100010001ULL) >> 48;
  }
  for (; p != end; ++p) continuations += (static_cast<unsigned char>(*p) & 0xC0) == 0x80;
  return size - continuations;
}

// The parser stops adding exponent digits at this bound; the check keeps adding
// them to a second exponent up to kExactExponentBound, to know the value itself.
constexpr int64_t kExponentBound = 100000000;
constexpr int64_t kExactExponentBound = 1000000000000000;
// Decimal exponents beyond this put any number far outside a double's range.
constexpr int64_t kScaleClamp = 100000;

}  // namespace

StreamingJsonCheck::StreamingJsonCheck() { reset(); }

void StreamingJsonCheck::reset() {
  state_ = State::kDocument;
  fault_ = Fault::kNone;
  fault_line_ = 0;
  fault_column_ = 0;
  line_ = 1;
  column_ = 0;
  mark_ = nullptr;
  depth_ = 0;
  objects_.reset();
  is_array_ = false;
  elements_ = 0;
  key_ = false;
  literal_ = "";
  escape_column_ = 0;
  code_ = 0;
  hex_digits_ = 0;
  low_ = false;
  number_column_ = 0;
  negative_ = false;
  zero_integer_ = false;
  fraction_nonzero_ = false;
  exponent_negative_ = false;
  integer_digits_ = 0;
  fraction_zeros_ = 0;
  exponent_ = 0;
  exact_exponent_ = 0;
  tail_nonzero_ = false;
  kept_ = 0;
}

bool StreamingJsonCheck::feed(std::string_view piece) {
  if (state_ == State::kFailed) return false;
  const char* p = piece.data();
  const char* const end = p + piece.size();
  mark_ = p;
  while (p != end) {
    p = step(p, end);
    if (p == nullptr) return false;
  }
  column_ += count_characters(mark_, end);
  mark_ = nullptr;  // the piece belongs to the caller again
  return true;
}

Result<ValueShape> StreamingJsonCheck::finish() {
  if (!end_of_text()) return Error(description());
  return ValueShape{is_array_, is_array_ ? elements_ : 0};
}

// Takes the end of the text in the current state, as the parser does when it
// meets the end there.
bool StreamingJsonCheck::end_of_text() {
  for (;;) {
    Fault fault = Fault::kNone;
    switch (state_) {
      case State::kFailed:
        return false;
      case State::kAfterDocument:
        return true;
      case State::kDocument:
      case State::kArrayValue:
      case State::kObjectValue:
      case State::kLiteral:
        fault = Fault::kEofValue;
        break;
      case State::kArrayFirst:
      case State::kArrayNext:
        fault = Fault::kEofList;
        break;
      case State::kObjectFirst:
      case State::kObjectKey:
      case State::kObjectColon:
      case State::kObjectNext:
        fault = Fault::kEofObject;
        break;
      case State::kString:
      case State::kEscape:
      case State::kHex:
      case State::kPairBackslash:
      case State::kPairU:
        fault = Fault::kEofString;
        break;
      case State::kNumberSign:
      case State::kNumberPoint:
      case State::kNumberMark:
      case State::kNumberExponentSign:
        fault = Fault::kInvalidNumber;
        break;
      case State::kNumberZero:
      case State::kNumberInteger:
      case State::kNumberFraction:
      case State::kNumberExponent:
        // A complete number: it must fit, and then what follows it sees the end.
        if (!number_fits()) {
          fail_at_column(Fault::kNumberOutOfRange, number_column_);
          return false;
        }
        value_done();
        continue;
    }
    fail_at_column(fault, column_ + 1);
    return false;
  }
}

const char* StreamingJsonCheck::step(const char* p, const char* end) {
  switch (state_) {
    case State::kString:
      return string_run(p, end);
    case State::kEscape:
      return escape(p);
    case State::kHex:
      return hex_digit(p);
    case State::kPairBackslash:
      if (*p != '\\') return fail_at_column(Fault::kLoneLeadingSurrogate, escape_column_);
      state_ = State::kPairU;
      return p + 1;
    case State::kPairU:
      if (*p != 'u') return fail_at_column(Fault::kLoneLeadingSurrogate, escape_column_);
      low_ = true;
      code_ = 0;
      hex_digits_ = 0;
      state_ = State::kHex;
      return p + 1;
    case State::kLiteral:
      return literal(p, end);
    case State::kNumberSign:
    case State::kNumberZero:
    case State::kNumberInteger:
    case State::kNumberPoint:
    case State::kNumberFraction:
    case State::kNumberMark:
    case State::kNumberExponentSign:
    case State::kNumberExponent:
      return number_run(p, end);
    case State::kFailed:
      assert(false);  // feed stops at the first fault
      return nullptr;
    default:
      p = skip_space(p, end);
      return p == end ? p : structural(p);
  }
}

const char* StreamingJsonCheck::skip_space(const char* p, const char* end) {
  for (;;) {
    p = skip_spaces(p, end);
    for (; p != end && *p != ' '; ++p) {
      if (*p == '\n') {
        // The characters before a line feed no longer count for any column.
        ++line_;
        column_ = 0;
        mark_ = p + 1;
      } else if (*p != '\t' && *p != '\r') {
        return p;
      }
    }
    if (p == end) return p;
  }
}

// The first byte after whitespace, between tokens.
const char* StreamingJsonCheck::structural(const char* p) {
  const char c = *p;
  switch (state_) {
    case State::kDocument:
      is_array_ = c == '[';
      return begin_value(p);
    case State::kAfterDocument:
      return fail(Fault::kTrailingCharacters, p);
    case State::kArrayFirst:
      return c == ']' ? close(p) : begin_value(p);
    case State::kArrayNext:
      if (c == ']') return close(p);
      if (c != ',') return fail(Fault::kExpectedListEnd, p);
      state_ = State::kArrayValue;
      return p + 1;
    case State::kArrayValue:
      if (c == ']') return fail(Fault::kTrailingComma, p);
      return begin_value(p);
    case State::kObjectFirst:
    case State::kObjectKey:
      if (c == '}') {
        return state_ == State::kObjectFirst ? close(p) : fail(Fault::kTrailingComma, p);
      }
      if (c != '"') return fail(Fault::kKeyMustBeString, p);
      key_ = true;
      state_ = State::kString;
      return p + 1;
    case State::kObjectColon:
      if (c != ':') return fail(Fault::kExpectedColon, p);
      state_ = State::kObjectValue;
      return p + 1;
    case State::kObjectValue:
      return begin_value(p);
    case State::kObjectNext:
      if (c == '}') return close(p);
      if (c != ',') return fail(Fault::kExpectedObjectEnd, p);
      state_ = State::kObjectKey;
      return p + 1;
    default:
      assert(false);  // only the states between tokens skip whitespace
      return nullptr;
  }
}

const char* StreamingJsonCheck::begin_value(const char* p) {
  switch (*p) {
    case '[':
    case '{':
      if (nests_too_deep(depth_)) return fail(Fault::kRecursionLimit, p);
      objects_[static_cast<size_t>(depth_)] = *p == '{';
      ++depth_;
      state_ = *p == '{' ? State::kObjectFirst : State::kArrayFirst;
      return p + 1;
    case '"':
      key_ = false;
      state_ = State::kString;
      return p + 1;
    case 't':
      literal_ = "rue";
      state_ = State::kLiteral;
      return p + 1;
    case 'f':
      literal_ = "alse";
      state_ = State::kLiteral;
      return p + 1;
    case 'n':
      literal_ = "ull";
      state_ = State::kLiteral;
      return p + 1;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      number_column_ = column_at(p);
      negative_ = *p == '-';
      zero_integer_ = false;
      fraction_nonzero_ = false;
      exponent_negative_ = false;
      integer_digits_ = 0;
      fraction_zeros_ = 0;
      exponent_ = 0;
      exact_exponent_ = 0;
      tail_nonzero_ = false;
      kept_ = 0;
      state_ = State::kNumberSign;
      return negative_ ? p + 1 : p;  // a first digit is taken as if after a sign
    default:
      return fail(Fault::kExpectedValue, p);
  }
}

const char* StreamingJsonCheck::close(const char* p) {
  --depth_;
  value_done();
  return p + 1;
}

void StreamingJsonCheck::value_done() {
  if (depth_ == 0) {
    state_ = State::kAfterDocument;
  } else if (objects_[static_cast<size_t>(depth_ - 1)]) {
    state_ = State::kObjectNext;
  } else {
    if (depth_ == 1) ++elements_;
    state_ = State::kArrayNext;
  }
}

const char* StreamingJsonCheck::string_run(const char* p, const char* end) {
  p = find_string_special(p, end);
  if (p == end) return p;
  switch (*p) {
    case '"':
      if (key_) {
        state_ = State::kObjectColon;
      } else {
        value_done();
      }
      return p + 1;
    case '\\':
      state_ = State::kEscape;
      return p + 1;
    default:
      return fail(Fault::kControlCharacter, p);
  }
}

const char* StreamingJsonCheck::escape(const char* p) {
  switch (*p) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      state_ = State::kString;
      return p + 1;
    case 'u':
      escape_column_ = column_at(p) - 1;  // the backslash, perhaps in an earlier piece
      low_ = false;
      code_ = 0;
      hex_digits_ = 0;
      state_ = State::kHex;
      return p + 1;
    default:
      return fail(Fault::kInvalidEscape, p);
  }
}

const char* StreamingJsonCheck::hex_digit(const char* p) {
  const int h = hex_value(*p);
  if (h < 0) return fail(Fault::kInvalidEscape, p);
  code_ = code_ * 16 + static_cast<uint32_t>(h);
  if (++hex_digits_ < 4) return p + 1;
  const bool leading = code_ >= 0xD800 && code_ <= 0xDBFF;
  const bool trailing = code_ >= 0xDC00 && code_ <= 0xDFFF;
  if (low_) {
    if (!trailing) return fail_at_column(Fault::kLoneLeadingSurrogate, escape_column_);
    state_ = State::kString;
  } else {
    if (trailing) return fail_at_column(Fault::kLoneTrailingSurrogate, escape_column_);
    state_ = leading ? State::kPairBackslash : State::kString;
  }
  return p + 1;
}

const char* StreamingJsonCheck::literal(const char* p, const char* end) {
  for (; p != end; ++p) {
    if (*p != *literal_) return fail(Fault::kInvalidLiteral, p);
    if (*++literal_ == '\0') {
      value_done();
      return p + 1;
    }
  }
  return p;
}

const char* StreamingJsonCheck::number_run(const char* p, const char* end) {
  for (; p != end; ++p) {
    const char c = *p;
    switch (state_) {
      case State::kNumberSign:
        if (!is_digit(c)) return fail(Fault::kInvalidNumber, p);
        integer_digits_ = 1;
        if (c == '0') {
          zero_integer_ = true;
          state_ = State::kNumberZero;
        } else {
          keep_digit(c);
          state_ = State::kNumberInteger;
        }
        break;
      case State::kNumberZero:
      case State::kNumberInteger:
        if (is_digit(c)) {
          // A leading zero is refused at the digit after it.
          if (state_ == State::kNumberZero) return fail(Fault::kInvalidNumber, p);
          ++integer_digits_;
          keep_digit(c);
        } else if (c == '.') {
          state_ = State::kNumberPoint;
        } else if (c == 'e' || c == 'E') {
          state_ = State::kNumberMark;
        } else {
          return number_end(p);
        }
        break;
      case State::kNumberPoint:
      case State::kNumberFraction:
        if (is_digit(c)) {
          state_ = State::kNumberFraction;
          if (zero_integer_ && !fraction_nonzero_) {
            if (c == '0') {
              ++fraction_zeros_;
              break;
            }
            fraction_nonzero_ = true;
          }
          keep_digit(c);
        } else if (state_ == State::kNumberPoint) {
          return fail(Fault::kInvalidNumber, p);
        } else if (c == 'e' || c == 'E') {
          state_ = State::kNumberMark;
        } else {
          return number_end(p);
        }
        break;
      case State::kNumberMark:
        if (c == '+' || c == '-') {
          exponent_negative_ = c == '-';
          state_ = State::kNumberExponentSign;
          break;
        }
        [[fallthrough]];
      case State::kNumberExponentSign:
      case State::kNumberExponent:
        if (is_digit(c)) {
          const int d = c - '0';
          if (exponent_ < kExponentBound) exponent_ = exponent_ * 10 + d;
          if (exact_exponent_ < kExactExponentBound) exact_exponent_ = exact_exponent_ * 10 + d;
          state_ = State::kNumberExponent;
        } else if (state_ != State::kNumberExponent) {
          return fail(Fault::kInvalidNumber, p);
        } else {
          return number_end(p);
        }
        break;
      default:
        assert(false);  // step sends only the number states here
        return nullptr;
    }
  }
  return p;
}

// The number ended before p, which is left for the state after the number.
const char* StreamingJsonCheck::number_end(const char* p) {
  if (!number_fits()) return fail_at_column(Fault::kNumberOutOfRange, number_column_);
  value_done();
  return p;
}

void StreamingJsonCheck::keep_digit(char c) {
  if (kept_ < kKeptDigits) {
    digits_[kept_++] = c;
  } else if (c != '0') {
    tail_nonzero_ = true;
  }
}

// The parser refuses a number only when the decimal exponent of its leading
// digit, its scale, is at least kOverflowScale and number_to_double finds it
// out of range. The
// scale is computed as the parser computes it; the conversion is run on a short
// text of the same value: the kept digits, a 1 standing for a non-zero tail, and
// the exact scale. A conversion that rounds correctly gives both texts the same
// result; the library's stops taking exponent digits at some point, which only a
// number of hundreds of millions of digits could make show.
bool StreamingJsonCheck::number_fits() const {
  if (zero_integer_ && !fraction_nonzero_) return true;  // zero, whatever the exponent
  const int64_t base = zero_integer_ ? -static_cast<int64_t>(fraction_zeros_) - 1
                                     : static_cast<int64_t>(integer_digits_) - 1;
  const int64_t scale = base + (exponent_negative_ ? -exponent_ : exponent_);
  if (scale < kOverflowScale) return true;
  const int64_t exact = std::clamp<int64_t>(
      base + (exponent_negative_ ? -exact_exponent_ : exact_exponent_), -kScaleClamp, kScaleClamp);
  assert(kept_ > 0);  // a number that is not zero has a significant digit
  char text[kKeptDigits + 32];
  char* t = text;
  if (negative_) *t++ = '-';
  *t++ = digits_[0];
  if (kept_ > 1 || tail_nonzero_) {
    *t++ = '.';
    std::memcpy(t, digits_ + 1, kept_ - 1);
    t += kept_ - 1;
    if (tail_nonzero_) *t++ = '1';
  }
  *t++ = 'e';
  t = std::to_chars(t, text + sizeof text, exact).ptr;
  return number_to_double(std::string_view(text, static_cast<size_t>(t - text)), scale).has_value();
}

// The column of the byte at `at` in the current piece, counting the characters
// before it that were not counted yet.
uint64_t StreamingJsonCheck::column_at(const char* at) {
  column_ += count_characters(mark_, at);
  mark_ = at;
  return column_ + 1;
}

const char* StreamingJsonCheck::fail(Fault fault, const char* at) {
  return fail_at_column(fault, column_at(at));
}

// Numbers and escapes hold no line feed, so a fault found within or right after
// one lies on the current line.
const char* StreamingJsonCheck::fail_at_column(Fault fault, uint64_t column) {
  fault_ = fault;
  fault_line_ = line_;
  fault_column_ = column;
  state_ = State::kFailed;
  return nullptr;
}

std::string StreamingJsonCheck::description() const {
  assert(fault_ != Fault::kNone);  // only a refused text has a description
  return describe_fault(fault_text(fault_), fault_line_, fault_column_);
}

}  // namespace quarlen
