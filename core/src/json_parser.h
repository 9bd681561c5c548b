// The one JSON parser of the core. It runs in three modes: Build makes the
// nlohmann value (parse_json), Emit writes the compact form and Check only
// validates (JsonScanner). The modes share every branch that decides acceptance
// and every fault, which is what lets the scanner stand in for the model.
#ifndef QUARLEN_JSON_PARSER_H_
#define QUARLEN_JSON_PARSER_H_

#include <cassert>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "quarlen/json_text.h"
#include "quarlen/utf8.h"
#include "json_bytes.h"
#include "json_fault.h"
#include "json_key_order.h"
#include "json_writer.h"

namespace quarlen {

enum class ParseMode { kBuild, kEmit, kCheck };

template <ParseMode M>
class Parser {
 public:
  Parser(std::string_view text, std::string* out, EmitScratch* scratch)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()),
        out_(out), scratch_(scratch) {
    assert((M == ParseMode::kEmit) == (out != nullptr && scratch != nullptr));
  }

  // Exactly one value with optional whitespace around it.
  // `enclosing` is the number of arrays and objects the value stands in for
  // the depth limit: 1 for a line that is one row of a rows() call.
  bool document(Json* root, ValueShape* shape, int enclosing = 0) {
    skip_space();
    const bool is_array = p_ != end_ && *p_ == '[';
    if (!value(enclosing, root)) return false;
    if (shape != nullptr) *shape = ValueShape{is_array, is_array ? last_array_size_ : 0};
    return finish();
  }

  // One array with optional whitespace around it. In Emit mode every element goes
  // out followed by a line feed instead of the brackets and commas of the array.
  bool array_document(Json* root, size_t columns, ArrayScan* scan) {
    skip_space();
    if (p_ == end_) return fail(Fault::kEofValue, p_);
    if (*p_ != '[') return wrong_kind();
    ++p_;
    Json::array_t* elements = nullptr;
    if constexpr (M == ParseMode::kBuild) {
      *root = Json::array();
      elements = &root->get_ref<Json::array_t&>();
    }
    skip_space();
    if (p_ == end_) return fail(Fault::kEofList, p_);
    if (*p_ != ']') {
      for (;;) {
        Json* slot = nullptr;
        if constexpr (M == ParseMode::kBuild) slot = &elements->emplace_back();
        const bool is_array = p_ != end_ && *p_ == '[';
        if (!value(1, slot)) return false;
        if constexpr (M != ParseMode::kBuild) {
          ++scan->elements;
          if constexpr (M == ParseMode::kEmit) out_->push_back('\n');
          if (columns != 0 && scan->mismatch == 0 && !(is_array && last_array_size_ == columns)) {
            scan->mismatch = scan->elements;
            scan->mismatch_shape = ValueShape{is_array, is_array ? last_array_size_ : 0};
          }
        }
        if (!next_element()) return false;
        if (*p_ == ']') break;
      }
    }
    ++p_;
    return finish();
  }

  // The description of the fault; " at column {}" in place of " at line {}
  // column {}" when `one_line`.
  std::string description(bool one_line = false) const {
    assert(fault_ != Fault::kNone);  // only a failed parse has a description
    size_t line = 1;
    const char* line_start = begin_;
    for (const char* q = begin_; q < fault_at_; ++q) {
      if (*q == '\n') {
        ++line;
        line_start = q + 1;
      }
    }
    size_t column = 1;
    for (const char* q = line_start; q < fault_at_; ++q) {
      if ((static_cast<unsigned char>(*q) & 0xC0) != 0x80) ++column;
    }
    if (fault_ == Fault::kInvalidType) {
      return describe_fault(std::string("invalid type: ") + kind_ + ", expected a sequence", line,
                            column, one_line);
    }
    return describe_fault(fault_text(fault_), line, column, one_line);
  }

 private:
  bool fail(Fault fault, const char* at) {
    fault_ = fault;
    fault_at_ = at;
    return false;
  }

  void skip_space() {
    while (p_ != end_ && is_space(*p_)) ++p_;
  }

  bool finish() {
    skip_space();
    if (p_ != end_) return fail(Fault::kTrailingCharacters, p_);
    return true;
  }

  // After an element: on success p_ is at the ']' that closes the array or at the
  // first byte of the next element, never at the end of the text, since callers
  // read *p_ next.
  bool next_element() {
    skip_space();
    if (p_ == end_) return fail(Fault::kEofList, p_);
    if (*p_ == ']') return true;
    if (*p_ != ',') return fail(Fault::kExpectedListEnd, p_);
    ++p_;
    skip_space();
    if (p_ == end_) return fail(Fault::kEofValue, p_);
    if (*p_ == ']') return fail(Fault::kTrailingComma, p_);
    return true;
  }

  // A value that is not an array where an array must stand. The kind is named
  // after its first token, which must itself be sound.
  bool wrong_kind() {
    const char* const at = p_;
    Json scrap;
    const char* kind = nullptr;
    switch (*p_) {
      case '{':
        kind = "map";
        break;
      case '"':
        if (!string_body<Text::kNone>(nullptr)) return false;
        kind = "string";
        break;
      case 't':
      case 'f':
        if (!literal(*p_ == 't' ? std::string_view("true") : std::string_view("false"), &scrap)) {
          return false;
        }
        kind = "boolean";
        break;
      case 'n':
        if (!literal("null", &scrap)) return false;
        kind = "null";
        break;
      default:
        if (*p_ != '-' && !is_digit(*p_)) return fail(Fault::kExpectedValue, p_);
        bool is_float = false;
        if (!number(&scrap, &is_float)) return false;
        kind = is_float ? "floating point number" : "integer";
        break;
    }
    kind_ = kind;
    return fail(Fault::kInvalidType, at);
  }

  // `enclosing`: the arrays and objects around the value.
  bool value(int enclosing, Json* out) {
    if (p_ == end_) return fail(Fault::kEofValue, p_);
    switch (*p_) {
      case '[': return array(enclosing, out);
      case '{': return object(enclosing, out);
      case '"': return string_value(out);
      case 't': return literal("true", out);
      case 'f': return literal("false", out);
      case 'n': return literal("null", out);
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        return number(out);
      default:
        return fail(Fault::kExpectedValue, p_);
    }
  }

  bool literal(std::string_view word, Json* out) {
    for (size_t i = 1; i < word.size(); ++i) {
      if (p_ + i == end_) return fail(Fault::kEofValue, end_);
      if (p_[i] != word[i]) return fail(Fault::kInvalidLiteral, p_ + i);
    }
    p_ += word.size();
    if constexpr (M == ParseMode::kBuild) {
      if (word[0] == 'n') {
        *out = nullptr;
      } else {
        *out = word[0] == 't';
      }
    } else if constexpr (M == ParseMode::kEmit) {
      out_->append(word);
    }
    return true;
  }

  bool array(int enclosing, Json* out) {
    if (nests_too_deep(enclosing)) return fail(Fault::kRecursionLimit, p_);
    ++p_;
    Json::array_t* elements = nullptr;
    if constexpr (M == ParseMode::kBuild) {
      *out = Json::array();
      elements = &out->get_ref<Json::array_t&>();
    } else if constexpr (M == ParseMode::kEmit) {
      out_->push_back('[');
    }
    skip_space();
    if (p_ == end_) return fail(Fault::kEofList, p_);
    uint64_t size = 0;
    if (*p_ != ']') {
      for (;;) {
        Json* slot = nullptr;
        if constexpr (M == ParseMode::kBuild) slot = &elements->emplace_back();
        if (!value(enclosing + 1, slot)) return false;
        ++size;
        if (!next_element()) return false;
        if (*p_ == ']') break;
        if constexpr (M == ParseMode::kEmit) out_->push_back(',');
      }
    }
    ++p_;
    if constexpr (M == ParseMode::kEmit) out_->push_back(']');
    last_array_size_ = size;
    return true;
  }

  bool object(int enclosing, Json* out) {
    if (nests_too_deep(enclosing)) return fail(Fault::kRecursionLimit, p_);
    ++p_;
    Json::object_t* members = nullptr;
    size_t open = 0;
    size_t base = 0;
    bool ascending = true;
    if constexpr (M == ParseMode::kBuild) {
      *out = Json::object();
      members = &out->get_ref<Json::object_t&>();
    } else if constexpr (M == ParseMode::kEmit) {
      open = out_->size();
      base = scratch_->members.size();
      out_->push_back('{');
    }
    skip_space();
    if (p_ == end_) return fail(Fault::kEofObject, p_);
    if (*p_ != '}') {
      for (;;) {
        if (*p_ != '"') return fail(Fault::kKeyMustBeString, p_);
        Json* slot = nullptr;
        size_t key_begin = 0;
        size_t key_size = 0;
        bool escaped = false;
        if constexpr (M == ParseMode::kBuild) {
          key_.clear();
          if (!string_body<Text::kDecoded>(&key_)) return false;
          // An earlier occurrence of the key is overwritten by this value.
          slot = &(*members)[key_];
        } else if constexpr (M == ParseMode::kEmit) {
          key_begin = out_->size();
          if (!emit_string(&escaped)) return false;
          key_size = out_->size() - key_begin - 2;
          if (ascending && scratch_->members.size() > base) {
            ascending = key_follows(*out_, scratch_->members.back(), key_begin, key_size, escaped,
                                    *scratch_);
          }
        } else {
          if (!string_body<Text::kNone>(nullptr)) return false;
        }
        skip_space();
        if (p_ == end_) return fail(Fault::kEofObject, p_);
        if (*p_ != ':') return fail(Fault::kExpectedColon, p_);
        ++p_;
        if constexpr (M == ParseMode::kEmit) out_->push_back(':');
        skip_space();
        if (!value(enclosing + 1, slot)) return false;
        if constexpr (M == ParseMode::kEmit) {
          scratch_->members.push_back(EmittedMember{key_begin, out_->size(), key_size, escaped});
        }
        skip_space();
        if (p_ == end_) return fail(Fault::kEofObject, p_);
        if (*p_ == '}') break;
        if (*p_ != ',') return fail(Fault::kExpectedObjectEnd, p_);
        ++p_;
        skip_space();
        if (p_ == end_) return fail(Fault::kEofObject, p_);
        if (*p_ == '}') return fail(Fault::kTrailingComma, p_);
        if constexpr (M == ParseMode::kEmit) out_->push_back(',');
      }
    }
    ++p_;
    if constexpr (M == ParseMode::kEmit) {
      if (!ascending) reorder_members(*out_, open, base, *scratch_);
      scratch_->members.resize(base);
      out_->push_back('}');
    }
    return true;
  }

  bool string_value(Json* out) {
    if constexpr (M == ParseMode::kBuild) {
      std::string s;
      if (!string_body<Text::kDecoded>(&s)) return false;
      *out = std::move(s);
      return true;
    } else if constexpr (M == ParseMode::kEmit) {
      return emit_string(nullptr);
    } else {
      return string_body<Text::kNone>(nullptr);
    }
  }

  // Writes the string at p_ in compact form. *escaped, when asked for, tells
  // whether that form holds an escape.
  bool emit_string(bool* escaped) {
    const size_t open = out_->size();
    if (!string_body<Text::kCompact>(out_)) return false;
    if (escaped != nullptr) {
      *escaped = std::memchr(out_->data() + open + 1, '\\', out_->size() - open - 2) != nullptr;
    }
    return true;
  }

  // What string_body makes of a string: nothing, its decoded bytes, or its compact
  // form with the quotation marks.
  enum class Text { kNone, kDecoded, kCompact };

  // Scans the string whose opening quote is at p_, leaves p_ past its closing
  // quote and appends the text that `T` asks for to *text.
  template <Text T>
  bool string_body(std::string* text) {
    ++p_;
    if constexpr (T == Text::kCompact) text->push_back('"');
    for (;;) {
      const char* q = find_string_special(p_, end_);
      if constexpr (T != Text::kNone) text->append(p_, static_cast<size_t>(q - p_));
      p_ = q;
      if (p_ == end_) return fail(Fault::kEofString, p_);
      const char c = *p_;
      if (c == '"') {
        ++p_;
        if constexpr (T == Text::kCompact) text->push_back('"');
        return true;
      }
      if (c != '\\') return fail(Fault::kControlCharacter, p_);
      if (end_ - p_ < 2) return fail(Fault::kEofString, end_);
      char simple = 0;
      switch (p_[1]) {
        case '"': simple = '"'; break;
        case '\\': simple = '\\'; break;
        case '/': simple = '/'; break;
        case 'b': simple = '\b'; break;
        case 'f': simple = '\f'; break;
        case 'n': simple = '\n'; break;
        case 'r': simple = '\r'; break;
        case 't': simple = '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          if (!unicode_escape(&cp)) return false;
          if constexpr (T == Text::kDecoded) append_utf8(cp, *text);
          if constexpr (T == Text::kCompact) {
            if (cp < 0x80 && is_string_special(static_cast<char>(cp))) {
              append_escaped_byte(static_cast<unsigned char>(cp), *text);
            } else {
              append_utf8(cp, *text);
            }
          }
          continue;
        }
        default:
          return fail(Fault::kInvalidEscape, p_ + 1);
      }
      if constexpr (T == Text::kDecoded) text->push_back(simple);
      if constexpr (T == Text::kCompact) {
        // The compact form spells every one of these escapes as the input does,
        // except the solidus, which it leaves bare.
        if (simple == '/') {
          text->push_back('/');
        } else {
          text->append(p_, 2);
        }
      }
      p_ += 2;
    }
  }

  // Four hex digits after "\u" at p_; leaves p_ past them.
  bool hex4(uint32_t* v) {
    p_ += 2;
    uint32_t r = 0;
    for (int i = 0; i < 4; ++i) {
      if (p_ == end_) return fail(Fault::kEofString, p_);
      const int h = hex_value(*p_);
      if (h < 0) return fail(Fault::kInvalidEscape, p_);
      r = r * 16 + static_cast<uint32_t>(h);
      ++p_;
    }
    *v = r;
    return true;
  }

  // A \u escape at p_, with the second half of a surrogate pair when the first
  // asks for one.
  bool unicode_escape(uint32_t* cp) {
    const char* const start = p_;
    uint32_t high = 0;
    if (!hex4(&high)) return false;
    if (high >= 0xDC00 && high <= 0xDFFF) return fail(Fault::kLoneTrailingSurrogate, start);
    if (high < 0xD800 || high > 0xDBFF) {
      *cp = high;
      return true;
    }
    if (p_ == end_) return fail(Fault::kEofString, p_);
    if (*p_ != '\\') return fail(Fault::kLoneLeadingSurrogate, start);
    if (end_ - p_ < 2) return fail(Fault::kEofString, end_);
    if (p_[1] != 'u') return fail(Fault::kLoneLeadingSurrogate, start);
    uint32_t low = 0;
    if (!hex4(&low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail(Fault::kLoneLeadingSurrogate, start);
    *cp = 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
    return true;
  }

  // The parts of a number token, as number_token finds them.
  struct NumberToken {
    const char* start = nullptr;   // the sign, or the first digit
    const char* digits = nullptr;  // the first digit of the integer part
    const char* end = nullptr;     // one past the token
    size_t int_digits = 0;
    bool negative = false;
    bool is_float = false;         // has a fraction or an exponent
    size_t fraction_zeros = 0;     // zeros right after the point, before any other digit
    bool fraction_nonzero = false;
    int64_t exponent = 0;          // saturates far beyond any double's range
  };

  // The number at p_. *is_float, when asked for, tells whether its value is a
  // double rather than a 64-bit integer.
  bool number(Json* out, bool* is_float = nullptr) {
    NumberToken t;
    if (!number_token(&t)) return false;
    if (!t.is_float) {
      if (const std::optional<uint64_t> magnitude = integer_magnitude(t)) {
        if (is_float != nullptr) *is_float = false;
        if constexpr (M == ParseMode::kBuild) {
          if (t.negative) {
            *out = static_cast<int64_t>(0 - *magnitude);  // two's complement; INT64_MIN included
          } else {
            *out = *magnitude;
          }
        }
        if constexpr (M == ParseMode::kEmit) out_->append(t.start, t.end);
        return true;
      }
    }
    if (is_float != nullptr) *is_float = true;
    return double_number(t, out);
  }

  // Scans the token at p_ into *t and leaves p_ past it.
  bool number_token(NumberToken* t) {
    t->start = p_;
    t->negative = *p_ == '-';
    if (t->negative) ++p_;
    t->digits = p_;
    while (p_ != end_ && is_digit(*p_)) ++p_;
    t->int_digits = static_cast<size_t>(p_ - t->digits);
    if (t->int_digits == 0) return fail(Fault::kInvalidNumber, p_);
    if (*t->digits == '0' && t->int_digits > 1) return fail(Fault::kInvalidNumber, t->digits + 1);
    if (!fraction_part(t) || !exponent_part(t)) return false;
    t->end = p_;
    return true;
  }

  // An optional "." and its digits.
  bool fraction_part(NumberToken* t) {
    if (p_ == end_ || *p_ != '.') return true;
    ++p_;
    const char* const fraction = p_;
    while (p_ != end_ && is_digit(*p_)) {
      if (!t->fraction_nonzero) {
        if (*p_ == '0') {
          ++t->fraction_zeros;
        } else {
          t->fraction_nonzero = true;
        }
      }
      ++p_;
    }
    if (p_ == fraction) return fail(Fault::kInvalidNumber, p_);
    t->is_float = true;
    return true;
  }

  // An optional exponent: "e" or "E", a sign, digits.
  bool exponent_part(NumberToken* t) {
    if (p_ == end_ || (*p_ != 'e' && *p_ != 'E')) return true;
    ++p_;
    bool negative = false;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
      negative = *p_ == '-';
      ++p_;
    }
    const char* const digits = p_;
    int64_t exponent = 0;
    while (p_ != end_ && is_digit(*p_)) {
      // Saturates far beyond any double's range; the text decides the value.
      if (exponent < 100000000) exponent = exponent * 10 + (*p_ - '0');
      ++p_;
    }
    if (p_ == digits) return fail(Fault::kInvalidNumber, p_);
    t->exponent = negative ? -exponent : exponent;
    t->is_float = true;
    return true;
  }

  // The magnitude of an integer token when a 64-bit integer of its sign holds
  // it: up to UINT64_MAX without a sign, 1 to |INT64_MIN| with one ("-0" is the
  // double -0.0).
  static std::optional<uint64_t> integer_magnitude(const NumberToken& t) {
    if (t.int_digits > 20) return std::nullopt;
    uint64_t magnitude = 0;
    for (const char* d = t.digits; d != t.end; ++d) {
      if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
          __builtin_add_overflow(magnitude, static_cast<uint64_t>(*d - '0'), &magnitude)) {
        return std::nullopt;
      }
    }
    if (!t.negative) return magnitude;
    constexpr uint64_t kMostNegative = uint64_t{1} << 63;  // |INT64_MIN|
    if (magnitude != 0 && magnitude <= kMostNegative) return magnitude;
    return std::nullopt;
  }

  // The decimal exponent of the token's leading nonzero digit; none for zero.
  // Below kOverflowScale the number is in range without converting it.
  static std::optional<int64_t> decimal_scale(const NumberToken& t) {
    if (*t.digits != '0') return static_cast<int64_t>(t.int_digits) - 1 + t.exponent;
    if (t.fraction_nonzero) return -static_cast<int64_t>(t.fraction_zeros) - 1 + t.exponent;
    return std::nullopt;
  }

  // The token as a double: rounded, or zero when it underflows; a fault when
  // it overflows.
  bool double_number(const NumberToken& t, Json* out) {
    const int64_t scale = decimal_scale(t).value_or(0);
    if constexpr (M == ParseMode::kCheck) {
      if (scale < kOverflowScale) return true;  // in range, rounded or underflowed
    }
    const std::optional<double> d =
        number_to_double(std::string_view(t.start, static_cast<size_t>(t.end - t.start)), scale);
    if (!d) return fail(Fault::kNumberOutOfRange, t.start);
    if constexpr (M == ParseMode::kBuild) *out = *d;
    if constexpr (M == ParseMode::kEmit) append_compact_double(*d, *out_);
    return true;
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  std::string* const out_;
  EmitScratch* const scratch_;
  std::string key_;
  uint64_t last_array_size_ = 0;
  Fault fault_ = Fault::kNone;
  const char* fault_at_ = nullptr;
  const char* kind_ = "";
};

}  // namespace quarlen

#endif  // QUARLEN_JSON_PARSER_H_
