// The one JSON parser of the core: one grammar, run with one of three small
// handlers. BuildHandler makes the nlohmann value (parse_json), EmitHandler
// writes the compact form and CheckHandler only validates (JsonScanner).
//
// The grammar decides every acceptance and every fault; a handler only says
// what a token becomes, and cannot refuse one. That is what lets the scanner
// stand in for the model: the modes cannot disagree on what they accept or on
// how they describe a fault. The handler is a template parameter rather than
// an interface so that its calls inline and the empty ones (all of
// CheckHandler's, the slots of Emit and Check) vanish: Emit and Check are the
// hot paths of writing and reading, and they compile to what a parser written
// for each mode alone would be.
//
// A handler H provides:
//   Slot                 where a value goes: Build's Json*, an empty tag else
//   kStrings, kKeys      the StringText that string bodies and keys are kept in
//   kConverts            whether doubles are converted when known in range
//   literal(word, slot), integer(token, negative, magnitude, slot), real(d, slot)
//   string_text(), string_done(slot)           around a string value's body
//   begin_array(slot) -> frame, element(frame, index) -> slot, end_array(frame)
//   begin_object(slot) -> frame, key_text(frame, index) -> std::string*,
//     key_done(frame) -> slot, member_done(frame), end_object(frame)
//   begin_rows(root) -> frame, row(frame) -> slot, row_done()  (array_document)
#ifndef QUARLEN_JSON_PARSER_H_
#define QUARLEN_JSON_PARSER_H_

#include <cassert>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quarlen/json_text.h"
#include "quarlen/utf8.h"
#include "json_bytes.h"
#include "json_fault.h"
#include "json_key_order.h"
#include "json_writer.h"

namespace quarlen {

// What the grammar keeps of a string's body: nothing, its decoded bytes, or its
// compact form with the quotation marks.
enum class StringText { kNone, kDecoded, kCompact };

template <class H>
class Parser {
  using Slot = typename H::Slot;

 public:
  Parser(std::string_view text, H& handler)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), h_(handler) {}

  // Exactly one value with optional whitespace around it. `enclosing` is the
  // number of arrays and objects the value stands in for the depth limit: 1
  // for a line that is one row of a rows() call.
  bool document(Slot root, ValueShape* shape, int enclosing = 0) {
    skip_space();
    const bool is_array = p_ != end_ && *p_ == '[';
    if (!value(enclosing, root)) return false;
    if (shape != nullptr) *shape = ValueShape{is_array, is_array ? last_array_size_ : 0};
    return finish();
  }

  // One array with optional whitespace around it; its elements are rows, which
  // the handler may write apart (Emit: each followed by a line feed instead of
  // the brackets and commas of the array). `scan`, when not null, counts them
  // and finds the first that is not an array of `columns` values.
  bool array_document(Slot root, size_t columns, ArrayScan* scan) {
    skip_space();
    if (p_ == end_) return fail(Fault::kEofValue, p_);
    if (*p_ != '[') return wrong_kind();
    ++p_;
    auto frame = h_.begin_rows(root);
    skip_space();
    if (p_ == end_) return fail(Fault::kEofList, p_);
    if (*p_ != ']') {
      for (;;) {
        const bool is_array = *p_ == '[';
        if (!value(1, h_.row(frame))) return false;
        h_.row_done();
        if (scan != nullptr) {
          ++scan->elements;
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
  // after its first token, which must itself be sound; the handler sees none of it.
  bool wrong_kind() {
    const char* const at = p_;
    const char* kind = nullptr;
    switch (*p_) {
      case '{':
        kind = "map";
        break;
      case '"':
        if (!string_body<StringText::kNone>(nullptr)) return false;
        kind = "string";
        break;
      case 't':
      case 'f':
        if (!match_literal(*p_ == 't' ? std::string_view("true") : std::string_view("false"))) {
          return false;
        }
        kind = "boolean";
        break;
      case 'n':
        if (!match_literal("null")) return false;
        kind = "null";
        break;
      default: {
        if (*p_ != '-' && !is_digit(*p_)) return fail(Fault::kExpectedValue, p_);
        NumberToken t;
        if (!number_token(&t)) return false;
        const bool is_integer = !t.is_float && integer_magnitude(t);
        if (!is_integer && !number_value(t)) return false;
        kind = is_integer ? "integer" : "floating point number";
        break;
      }
    }
    kind_ = kind;
    return fail(Fault::kInvalidType, at);
  }

  // `enclosing`: the arrays and objects around the value.
  bool value(int enclosing, Slot slot) {
    if (p_ == end_) return fail(Fault::kEofValue, p_);
    switch (*p_) {
      case '[': return array(enclosing, slot);
      case '{': return object(enclosing, slot);
      case '"': return string_value(slot);
      case 't': return literal("true", slot);
      case 'f': return literal("false", slot);
      case 'n': return literal("null", slot);
      case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        return number(slot);
      default:
        return fail(Fault::kExpectedValue, p_);
    }
  }

  bool match_literal(std::string_view word) {
    for (size_t i = 1; i < word.size(); ++i) {
      if (p_ + i == end_) return fail(Fault::kEofValue, end_);
      if (p_[i] != word[i]) return fail(Fault::kInvalidLiteral, p_ + i);
    }
    p_ += word.size();
    return true;
  }

  bool literal(std::string_view word, Slot slot) {
    if (!match_literal(word)) return false;
    h_.literal(word, slot);
    return true;
  }

  bool array(int enclosing, Slot slot) {
    if (nests_too_deep(enclosing)) return fail(Fault::kRecursionLimit, p_);
    ++p_;
    auto frame = h_.begin_array(slot);
    skip_space();
    if (p_ == end_) return fail(Fault::kEofList, p_);
    uint64_t size = 0;
    if (*p_ != ']') {
      for (;;) {
        if (!value(enclosing + 1, h_.element(frame, size))) return false;
        ++size;
        if (!next_element()) return false;
        if (*p_ == ']') break;
      }
    }
    ++p_;
    h_.end_array(frame);
    last_array_size_ = size;
    return true;
  }

  bool object(int enclosing, Slot slot) {
    if (nests_too_deep(enclosing)) return fail(Fault::kRecursionLimit, p_);
    ++p_;
    auto frame = h_.begin_object(slot);
    skip_space();
    if (p_ == end_) return fail(Fault::kEofObject, p_);
    if (*p_ != '}') {
      for (size_t index = 0;; ++index) {
        if (*p_ != '"') return fail(Fault::kKeyMustBeString, p_);
        if (!string_body<H::kKeys>(h_.key_text(frame, index))) return false;
        const Slot member = h_.key_done(frame);
        skip_space();
        if (p_ == end_) return fail(Fault::kEofObject, p_);
        if (*p_ != ':') return fail(Fault::kExpectedColon, p_);
        ++p_;
        skip_space();
        if (!value(enclosing + 1, member)) return false;
        h_.member_done(frame);
        skip_space();
        if (p_ == end_) return fail(Fault::kEofObject, p_);
        if (*p_ == '}') break;
        if (*p_ != ',') return fail(Fault::kExpectedObjectEnd, p_);
        ++p_;
        skip_space();
        if (p_ == end_) return fail(Fault::kEofObject, p_);
        if (*p_ == '}') return fail(Fault::kTrailingComma, p_);
      }
    }
    ++p_;
    h_.end_object(frame);
    return true;
  }

  bool string_value(Slot slot) {
    if (!string_body<H::kStrings>(h_.string_text())) return false;
    h_.string_done(slot);
    return true;
  }

  // Scans the string whose opening quote is at p_, leaves p_ past its closing
  // quote and appends the text that `T` asks for to *text.
  template <StringText T>
  bool string_body(std::string* text) {
    ++p_;
    if constexpr (T == StringText::kCompact) text->push_back('"');
    for (;;) {
      const char* q = find_string_special(p_, end_);
      if constexpr (T != StringText::kNone) text->append(p_, static_cast<size_t>(q - p_));
      p_ = q;
      if (p_ == end_) return fail(Fault::kEofString, p_);
      const char c = *p_;
      if (c == '"') {
        ++p_;
        if constexpr (T == StringText::kCompact) text->push_back('"');
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
          if constexpr (T == StringText::kDecoded) append_utf8(cp, *text);
          if constexpr (T == StringText::kCompact) {
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
      if constexpr (T == StringText::kDecoded) text->push_back(simple);
      if constexpr (T == StringText::kCompact) {
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

  // The number at p_: a 64-bit integer when one of its sign holds it, else a
  // double.
  bool number(Slot slot) {
    NumberToken t;
    if (!number_token(&t)) return false;
    if (!t.is_float) {
      if (const std::optional<uint64_t> magnitude = integer_magnitude(t)) {
        h_.integer(std::string_view(t.start, static_cast<size_t>(t.end - t.start)), t.negative,
                   *magnitude, slot);
        return true;
      }
    }
    const std::optional<double> d = number_value(t);
    if (!d) return false;
    if constexpr (H::kConverts) h_.real(*d, slot);
    return true;
  }

  // The token as a double: rounded, or zero when it underflows; a fault when
  // it is out of range. Without kConverts, a number known to be in range
  // comes back as 0 unconverted.
  std::optional<double> number_value(const NumberToken& t) {
    const int64_t scale = decimal_scale(t).value_or(0);
    if (!H::kConverts && scale < kOverflowScale) return 0.0;
    const std::optional<double> d =
        number_to_double(std::string_view(t.start, static_cast<size_t>(t.end - t.start)), scale);
    if (!d) fail(Fault::kNumberOutOfRange, t.start);
    return d;
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

  const char* const begin_;
  const char* p_;
  const char* const end_;
  H& h_;
  uint64_t last_array_size_ = 0;
  Fault fault_ = Fault::kNone;
  const char* fault_at_ = nullptr;
  const char* kind_ = "";
};

// The slot and frame of handlers that keep no value.
struct NoSlot {};

// Validates only.
struct CheckHandler {
  using Slot = NoSlot;
  static constexpr StringText kStrings = StringText::kNone;
  static constexpr StringText kKeys = StringText::kNone;
  static constexpr bool kConverts = false;

  void literal(std::string_view, Slot) {}
  void integer(std::string_view, bool, uint64_t, Slot) {}
  void real(double, Slot) {}
  std::string* string_text() { return nullptr; }
  void string_done(Slot) {}
  NoSlot begin_array(Slot) { return {}; }
  Slot element(NoSlot, uint64_t) { return {}; }
  void end_array(NoSlot) {}
  NoSlot begin_object(Slot) { return {}; }
  std::string* key_text(NoSlot, size_t) { return nullptr; }
  Slot key_done(NoSlot) { return {}; }
  void member_done(NoSlot) {}
  void end_object(NoSlot) {}
  NoSlot begin_rows(Slot) { return {}; }
  Slot row(NoSlot) { return {}; }
  void row_done() {}
};

// Makes the nlohmann value in the slots it is given.
struct BuildHandler {
  using Slot = Json*;
  static constexpr StringText kStrings = StringText::kDecoded;
  static constexpr StringText kKeys = StringText::kDecoded;
  static constexpr bool kConverts = true;

  void literal(std::string_view word, Slot out) {
    if (word[0] == 'n') {
      *out = nullptr;
    } else {
      *out = word[0] == 't';
    }
  }
  void integer(std::string_view, bool negative, uint64_t magnitude, Slot out) {
    if (negative) {
      *out = static_cast<int64_t>(0 - magnitude);  // two's complement; INT64_MIN included
    } else {
      *out = magnitude;
    }
  }
  void real(double d, Slot out) { *out = d; }
  std::string* string_text() {
    string_.clear();
    return &string_;
  }
  void string_done(Slot out) { *out = std::move(string_); }
  Json::array_t* begin_array(Slot out) {
    *out = Json::array();
    return &out->get_ref<Json::array_t&>();
  }
  Slot element(Json::array_t* elements, uint64_t) { return &elements->emplace_back(); }
  void end_array(Json::array_t*) {}
  Json::object_t* begin_object(Slot out) {
    *out = Json::object();
    return &out->get_ref<Json::object_t&>();
  }
  std::string* key_text(Json::object_t*, size_t) {
    key_.clear();
    return &key_;
  }
  // An earlier occurrence of the key is overwritten by this value.
  Slot key_done(Json::object_t* members) { return &(*members)[key_]; }
  void member_done(Json::object_t*) {}
  void end_object(Json::object_t*) {}
  Json::array_t* begin_rows(Slot root) { return begin_array(root); }
  Slot row(Json::array_t* elements) { return element(elements, 0); }
  void row_done() {}

  std::string string_;
  std::string key_;
};

// Writes the compact form to *out: members put in key order (json_key_order.h),
// each row of array_document followed by a line feed.
class EmitHandler {
 public:
  using Slot = NoSlot;
  static constexpr StringText kStrings = StringText::kCompact;
  static constexpr StringText kKeys = StringText::kCompact;
  static constexpr bool kConverts = true;

  // The object being written, and the member whose key was written last.
  struct Object {
    size_t open;   // offset of its '{'
    size_t base;   // its first member in scratch.members
    bool ascending;
    EmittedMember member;
  };

  EmitHandler(std::string* out, EmitScratch* scratch) : out_(*out), scratch_(*scratch) {}

  void literal(std::string_view word, Slot) { out_.append(word); }
  void integer(std::string_view token, bool, uint64_t, Slot) { out_.append(token); }
  void real(double d, Slot) { append_compact_double(d, out_); }
  std::string* string_text() { return &out_; }
  void string_done(Slot) {}
  NoSlot begin_array(Slot) {
    out_.push_back('[');
    return {};
  }
  Slot element(NoSlot, uint64_t index) {
    if (index != 0) out_.push_back(',');
    return {};
  }
  void end_array(NoSlot) { out_.push_back(']'); }
  Object begin_object(Slot) {
    out_.push_back('{');
    return Object{out_.size() - 1, scratch_.members.size(), true, {}};
  }
  std::string* key_text(Object& object, size_t index) {
    if (index != 0) out_.push_back(',');
    object.member.key_begin = out_.size();
    return &out_;
  }
  Slot key_done(Object& object) {
    EmittedMember& m = object.member;
    m.key_size = out_.size() - m.key_begin - 2;
    m.escaped = std::memchr(out_.data() + m.key_begin + 1, '\\', m.key_size) != nullptr;
    if (object.ascending && scratch_.members.size() > object.base) {
      object.ascending =
          key_follows(out_, scratch_.members.back(), m.key_begin, m.key_size, m.escaped, scratch_);
    }
    out_.push_back(':');
    return {};
  }
  void member_done(Object& object) {
    object.member.value_end = out_.size();
    scratch_.members.push_back(object.member);
  }
  void end_object(Object& object) {
    if (!object.ascending) reorder_members(out_, object.open, object.base, scratch_);
    scratch_.members.resize(object.base);
    out_.push_back('}');
  }
  NoSlot begin_rows(Slot) { return {}; }
  Slot row(NoSlot) { return {}; }
  void row_done() { out_.push_back('\n'); }

 private:
  std::string& out_;
  EmitScratch& scratch_;
};

}  // namespace quarlen

#endif  // QUARLEN_JSON_PARSER_H_
