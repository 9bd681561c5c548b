// A check of one JSON value whose text arrives in pieces, for lines too long to
// hold in memory whole.
#ifndef QUARLEN_JSON_STREAM_H_
#define QUARLEN_JSON_STREAM_H_

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json_fault.h"
#include "quarlen/error.h"
#include "quarlen/json_text.h"

namespace quarlen {

// Checks one JSON value handed over in pieces, accepting and refusing exactly
// what parse_json accepts and refuses for the concatenated text, with the same
// fault description; memory stays fixed whatever the length of the value.
// Pieces may be cut anywhere, inside a character or an escape too. Not for two
// threads at once.
class StreamingJsonCheck {
 public:
  StreamingJsonCheck();
  StreamingJsonCheck(const StreamingJsonCheck&) = delete;
  StreamingJsonCheck& operator=(const StreamingJsonCheck&) = delete;

  // Takes the next piece; returns false once a fault was found (later pieces are
  // then ignored).
  bool feed(std::string_view piece);

  // After the last piece: the value's shape, as JsonScanner::scan_value gives it,
  // or the fault with parse_json's description, e.g. "EOF while parsing a list at
  // line 1 column 5". REQUIRES: reset() before the next value is fed.
  Result<ValueShape> finish();

  // Ready for the next value.
  void reset();

 private:
  // What the text may continue with. The states before kString sit between
  // tokens, where whitespace is skipped first.
  enum class State : uint8_t {
    kDocument,       // the value itself
    kAfterDocument,  // nothing but whitespace
    kArrayFirst,     // after "[": an element or "]"
    kArrayNext,      // after an element: "," or "]"
    kArrayValue,     // after ",": an element
    kObjectFirst,    // after "{": a key or "}"
    kObjectKey,      // after ",": a key
    kObjectColon,    // after a key: ":"
    kObjectValue,    // after ":": the member's value
    kObjectNext,     // after a member: "," or "}"
    kString,         // inside a string; key_ tells whether it is a member's key
    kEscape,         // after a backslash
    kHex,            // among the four digits of a \u escape
    kPairBackslash,  // after a leading surrogate: its partner's backslash
    kPairU,          // then its "u"
    kLiteral,        // inside true, false or null
    kNumberSign,     // a number's first digit, after a minus sign or not
    kNumberZero,     // after a leading zero
    kNumberInteger,  // among the integer digits
    kNumberPoint,    // after the decimal point
    kNumberFraction, // among the fraction digits
    kNumberMark,     // after "e" or "E"
    kNumberExponentSign,
    kNumberExponent,
    kFailed,
  };

  // Significant digits of a number kept for deciding overflow. A boundary between
  // the values that round to two neighbouring doubles has at most 767 of them, so
  // past the kept ones only whether some digit is not zero can matter.
  static constexpr size_t kKeptDigits = 800;

  const char* step(const char* p, const char* end);
  const char* skip_space(const char* p, const char* end);
  const char* structural(const char* p);
  const char* begin_value(const char* p);
  const char* close(const char* p);
  void value_done();
  const char* string_run(const char* p, const char* end);
  const char* escape(const char* p);
  const char* hex_digit(const char* p);
  const char* literal(const char* p, const char* end);
  const char* number_run(const char* p, const char* end);
  const char* number_end(const char* p);
  void keep_digit(char c);
  bool number_fits() const;
  bool end_of_text();

  uint64_t column_at(const char* at);
  const char* fail(Fault fault, const char* at);
  const char* fail_at_column(Fault fault, uint64_t column);
  std::string description() const;

  State state_;
  Fault fault_;
  uint64_t fault_line_;
  uint64_t fault_column_;

  // Where the text stands: its line, and the characters of that line before
  // mark_, a byte of the current piece up to which they have been counted.
  uint64_t line_;
  uint64_t column_;
  const char* mark_;

  int depth_;                        // arrays and objects open
  std::bitset<kMaxDepth> objects_;   // which of them are objects, outermost first
  bool is_array_;
  uint64_t elements_;                // of the outermost array

  bool key_;
  const char* literal_;              // the rest of the literal's word
  uint64_t escape_column_;           // of the backslash that opened a \u escape
  uint32_t code_;                    // the escape's digits so far
  uint8_t hex_digits_;
  bool low_;                         // the second escape of a surrogate pair

  // The number being read, reduced to what decides whether a double holds it.
  uint64_t number_column_;
  bool negative_;
  bool zero_integer_;                // the integer part is "0"
  bool fraction_nonzero_;
  bool exponent_negative_;
  uint64_t integer_digits_;
  uint64_t fraction_zeros_;          // before the first other digit, after "0."
  int64_t exponent_;                 // as the parser saturates it
  int64_t exact_exponent_;           // saturated far later, for the value itself
  bool tail_nonzero_;                // a digit past the kept ones is not zero
  size_t kept_;
  char digits_[kKeptDigits];
};

}  // namespace quarlen

#endif  // QUARLEN_JSON_STREAM_H_
