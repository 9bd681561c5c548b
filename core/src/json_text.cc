#include "quarlen/json_text.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

#include "json_bytes.h"
#include "json_fault.h"

namespace quarlen {
namespace {

// ---------------------------------------------------------------------------
// Writing

constexpr char kHexDigits[] = "0123456789abcdef";

void append_escaped_byte(unsigned char c, std::string& out) {
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

// Decodes a string body in the compact form, which uses only the escapes that
// append_escaped_byte writes.
void decode_compact_string(std::string_view body, std::string& out) {
  out.clear();
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    assert(i + 1 < body.size());  // the compact form never ends in a lone backslash
    switch (body[++i]) {
      case 'b': out += '\b'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'f': out += '\f'; break;
      case 'r': out += '\r'; break;
      case 'u':
        assert(i + 4 < body.size());  // \u00XX
        out += static_cast<char>(hex_value(body[i + 3]) * 16 + hex_value(body[i + 4]));
        i += 4;
        break;
      default: out += body[i]; break;  // \" and \\ stand for themselves
    }
  }
}

// ---------------------------------------------------------------------------
// Parsing

// The output offsets of one member of an object being written in compact form,
// kept so that members can be put in key order once the object is complete.
struct EmittedMember {
  size_t key_begin;  // the key's opening quotation mark
  size_t value_end;  // one past the member's value
  size_t key_size;   // bytes between the key's quotation marks
  bool escaped;      // those bytes hold an escape, so they are not the key itself
};

struct EmitScratch {
  std::vector<EmittedMember> members;  // a stack: each open object owns a tail
  std::string object_text;             // an unordered object, copied for reordering
  std::string decoded;                 // decoded keys of escaped members
  std::string left, right;             // two decoded keys under comparison
  std::vector<size_t> decoded_starts;  // where each member's key begins in `decoded`
  struct SortKey {
    std::string_view key;
    size_t member;
  };
  std::vector<SortKey> order;
};

// Build makes the nlohmann value; Emit writes the compact form; Check only
// validates. All three share every branch that decides acceptance and every
// fault, which is what lets the scanners stand in for the model.
enum class Mode { kBuild, kEmit, kCheck };

template <Mode M>
class Parser {
 public:
  Parser(std::string_view text, std::string* out, EmitScratch* scratch)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()),
        out_(out), scratch_(scratch) {
    assert((M == Mode::kEmit) == (out != nullptr && scratch != nullptr));
  }

  // Exactly one value with optional whitespace around it.
  bool document(Json* root, ValueShape* shape) {
    skip_space();
    const bool is_array = p_ != end_ && *p_ == '[';
    if (!value(1, root)) return false;
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
    if constexpr (M == Mode::kBuild) {
      *root = Json::array();
      elements = &root->get_ref<Json::array_t&>();
    }
    skip_space();
    if (p_ == end_) return fail(Fault::kEofList, p_);
    if (*p_ != ']') {
      for (;;) {
        Json* slot = nullptr;
        if constexpr (M == Mode::kBuild) slot = &elements->emplace_back();
        const bool is_array = p_ != end_ && *p_ == '[';
        if (!value(2, slot)) return false;
        if constexpr (M != Mode::kBuild) {
          ++scan->elements;
          if constexpr (M == Mode::kEmit) out_->push_back('\n');
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

  std::string description() const {
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
    std::string text;
    if (fault_ == Fault::kInvalidType) {
      text = "invalid type: ";
      text += kind_;
      text += ", expected a sequence";
    } else {
      text = fault_text(fault_);
    }
    text += " at line ";
    text += std::to_string(line);
    text += " column ";
    text += std::to_string(column);
    return text;
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
        if (!number(&scrap)) return false;
        kind = last_number_float_ ? "floating point number" : "integer";
        break;
    }
    kind_ = kind;
    return fail(Fault::kInvalidType, at);
  }

  bool value(int depth, Json* out) {
    if (p_ == end_) return fail(Fault::kEofValue, p_);
    switch (*p_) {
      case '[': return array(depth, out);
      case '{': return object(depth, out);
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
    if constexpr (M == Mode::kBuild) {
      if (word[0] == 'n') {
        *out = nullptr;
      } else {
        *out = word[0] == 't';
      }
    } else if constexpr (M == Mode::kEmit) {
      out_->append(word);
    }
    return true;
  }

  bool array(int depth, Json* out) {
    if (depth > kMaxDepth) return fail(Fault::kRecursionLimit, p_);
    ++p_;
    Json::array_t* elements = nullptr;
    if constexpr (M == Mode::kBuild) {
      *out = Json::array();
      elements = &out->get_ref<Json::array_t&>();
    } else if constexpr (M == Mode::kEmit) {
      out_->push_back('[');
    }
    skip_space();
    if (p_ == end_) return fail(Fault::kEofList, p_);
    uint64_t size = 0;
    if (*p_ != ']') {
      for (;;) {
        Json* slot = nullptr;
        if constexpr (M == Mode::kBuild) slot = &elements->emplace_back();
        if (!value(depth + 1, slot)) return false;
        ++size;
        if (!next_element()) return false;
        if (*p_ == ']') break;
        if constexpr (M == Mode::kEmit) out_->push_back(',');
      }
    }
    ++p_;
    if constexpr (M == Mode::kEmit) out_->push_back(']');
    last_array_size_ = size;
    return true;
  }

  bool object(int depth, Json* out) {
    if (depth > kMaxDepth) return fail(Fault::kRecursionLimit, p_);
    ++p_;
    Json::object_t* members = nullptr;
    size_t open = 0;
    size_t base = 0;
    bool ascending = true;
    if constexpr (M == Mode::kBuild) {
      *out = Json::object();
      members = &out->get_ref<Json::object_t&>();
    } else if constexpr (M == Mode::kEmit) {
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
        if constexpr (M == Mode::kBuild) {
          key_.clear();
          if (!string_body<Text::kDecoded>(&key_)) return false;
          // An earlier occurrence of the key is overwritten by this value.
          slot = &(*members)[key_];
        } else if constexpr (M == Mode::kEmit) {
          key_begin = out_->size();
          if (!emit_string(&escaped)) return false;
          key_size = out_->size() - key_begin - 2;
          if (ascending && scratch_->members.size() > base) {
            ascending = key_follows(scratch_->members.back(), key_begin, key_size, escaped);
          }
        } else {
          if (!string_body<Text::kNone>(nullptr)) return false;
        }
        skip_space();
        if (p_ == end_) return fail(Fault::kEofObject, p_);
        if (*p_ != ':') return fail(Fault::kExpectedColon, p_);
        ++p_;
        if constexpr (M == Mode::kEmit) out_->push_back(':');
        skip_space();
        if (!value(depth + 1, slot)) return false;
        if constexpr (M == Mode::kEmit) {
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
        if constexpr (M == Mode::kEmit) out_->push_back(',');
      }
    }
    ++p_;
    if constexpr (M == Mode::kEmit) {
      if (!ascending) reorder(open, base);
      scratch_->members.resize(base);
      out_->push_back('}');
    }
    return true;
  }

  // Whether the key just written follows `prev` in strictly ascending byte order
  // of the decoded keys.
  bool key_follows(const EmittedMember& prev, size_t key_begin, size_t key_size, bool escaped) {
    const char* data = out_->data();
    const std::string_view a(data + prev.key_begin + 1, prev.key_size);
    const std::string_view b(data + key_begin + 1, key_size);
    if (!prev.escaped && !escaped) return a < b;
    decode_compact_string(a, scratch_->left);
    decode_compact_string(b, scratch_->right);
    return scratch_->left < scratch_->right;
  }

  // Rewrites the members of the object opened at `open` in ascending key order,
  // keeping only the last member of each key.
  void reorder(size_t open, size_t base) {
    EmitScratch& s = *scratch_;
    s.object_text.assign(*out_, open, std::string::npos);
    s.decoded.clear();
    const size_t end = s.members.size();
    // Decode first, then take views: the decoded text must stop growing before
    // anything points into it.
    std::vector<size_t>& starts = s.decoded_starts;
    starts.clear();
    std::string key;
    for (size_t i = base; i < end; ++i) {
      const EmittedMember& m = s.members[i];
      starts.push_back(s.decoded.size());
      if (m.escaped) {
        decode_compact_string(std::string_view(*out_).substr(m.key_begin + 1, m.key_size), key);
        s.decoded += key;
      }
    }
    starts.push_back(s.decoded.size());
    s.order.clear();
    for (size_t i = base; i < end; ++i) {
      const EmittedMember& m = s.members[i];
      const size_t k = i - base;
      const std::string_view view =
          m.escaped ? std::string_view(s.decoded).substr(starts[k], starts[k + 1] - starts[k])
                    : std::string_view(s.object_text).substr(m.key_begin + 1 - open, m.key_size);
      s.order.push_back(EmitScratch::SortKey{view, i});
    }
    std::stable_sort(s.order.begin(), s.order.end(),
                     [](const EmitScratch::SortKey& x, const EmitScratch::SortKey& y) {
                       return x.key < y.key;
                     });
    out_->resize(open + 1);
    bool first = true;
    for (size_t j = 0; j < s.order.size(); ++j) {
      // Equal keys keep their input order, so the last of a run is the one that wins.
      if (j + 1 < s.order.size() && s.order[j + 1].key == s.order[j].key) continue;
      const EmittedMember& m = s.members[s.order[j].member];
      if (!first) out_->push_back(',');
      first = false;
      out_->append(s.object_text, m.key_begin - open, m.value_end - m.key_begin);
    }
  }

  bool string_value(Json* out) {
    if constexpr (M == Mode::kBuild) {
      std::string s;
      if (!string_body<Text::kDecoded>(&s)) return false;
      *out = std::move(s);
      return true;
    } else if constexpr (M == Mode::kEmit) {
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

  bool number(Json* out) {
    const char* const start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    const char* const digits = p_;
    while (p_ != end_ && is_digit(*p_)) ++p_;
    const size_t int_digits = static_cast<size_t>(p_ - digits);
    if (int_digits == 0) return fail(Fault::kInvalidNumber, p_);
    if (*digits == '0' && int_digits > 1) return fail(Fault::kInvalidNumber, digits + 1);
    bool is_float = false;
    size_t fraction_zeros = 0;  // zeros right after the point, while the integer part is 0
    bool fraction_nonzero = false;
    if (p_ != end_ && *p_ == '.') {
      ++p_;
      const char* const fraction = p_;
      while (p_ != end_ && is_digit(*p_)) {
        if (!fraction_nonzero) {
          if (*p_ == '0') {
            ++fraction_zeros;
          } else {
            fraction_nonzero = true;
          }
        }
        ++p_;
      }
      if (p_ == fraction) return fail(Fault::kInvalidNumber, p_);
      is_float = true;
    }
    int64_t exponent = 0;
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      bool exponent_negative = false;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
        exponent_negative = *p_ == '-';
        ++p_;
      }
      const char* const exponent_digits = p_;
      while (p_ != end_ && is_digit(*p_)) {
        // Saturates far beyond any double's range; the text decides the value.
        if (exponent < 100000000) exponent = exponent * 10 + (*p_ - '0');
        ++p_;
      }
      if (p_ == exponent_digits) return fail(Fault::kInvalidNumber, p_);
      if (exponent_negative) exponent = -exponent;
      is_float = true;
    }
    last_number_float_ = true;
    if (!is_float && int_digits <= 20) {
      uint64_t magnitude = 0;
      bool fits = true;
      for (const char* d = digits; d != p_; ++d) {
        fits = fits && !__builtin_mul_overflow(magnitude, 10u, &magnitude) &&
               !__builtin_add_overflow(magnitude, static_cast<uint64_t>(*d - '0'), &magnitude);
      }
      constexpr uint64_t kMostNegative = uint64_t{1} << 63;  // |INT64_MIN|
      if (fits && !negative) {
        last_number_float_ = false;
        if constexpr (M == Mode::kBuild) *out = magnitude;
        if constexpr (M == Mode::kEmit) out_->append(start, p_);
        return true;
      }
      if (fits && magnitude != 0 && magnitude <= kMostNegative) {
        last_number_float_ = false;
        if constexpr (M == Mode::kBuild) {
          *out = static_cast<int64_t>(0 - magnitude);  // two's complement; INT64_MIN included
        }
        if constexpr (M == Mode::kEmit) out_->append(start, p_);
        return true;
      }
    }
    // The decimal exponent of the leading digit decides overflow and underflow
    // where the conversion reports only "out of range".
    int64_t scale = 0;
    bool zero = false;
    if (*digits != '0') {
      scale = static_cast<int64_t>(int_digits) - 1 + exponent;
    } else if (fraction_nonzero) {
      scale = -static_cast<int64_t>(fraction_zeros) - 1 + exponent;
    } else {
      zero = true;
    }
    if constexpr (M == Mode::kCheck) {
      if (zero || scale < 308) return true;  // a double holds it, rounded or underflowed
    }
    double d = 0;
    const auto r = std::from_chars(start, p_, d);
    if (r.ec == std::errc::result_out_of_range) {
      if (!zero && scale >= 308) return fail(Fault::kNumberOutOfRange, start);
      d = negative ? -0.0 : 0.0;
    } else {
      assert(r.ec == std::errc() && r.ptr == p_);  // the token is a valid literal
    }
    if constexpr (M == Mode::kBuild) *out = d;
    if constexpr (M == Mode::kEmit) append_double(d, *out_);
    return true;
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  std::string* const out_;
  EmitScratch* const scratch_;
  std::string key_;
  uint64_t last_array_size_ = 0;
  bool last_number_float_ = false;
  Fault fault_ = Fault::kNone;
  const char* fault_at_ = nullptr;
  const char* kind_ = "";
};

}  // namespace

Result<Json> parse_json(std::string_view text) {
  Parser<Mode::kBuild> parser(text, nullptr, nullptr);
  Json root;
  if (!parser.document(&root, nullptr)) return Error(parser.description());
  return root;
}

Result<Json> parse_json_array(std::string_view text) {
  Parser<Mode::kBuild> parser(text, nullptr, nullptr);
  Json root;
  if (!parser.array_document(&root, 0, nullptr)) return Error(parser.description());
  return root;
}

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

struct JsonScanner::Scratch {
  EmitScratch emit;
};

JsonScanner::JsonScanner() : scratch_(std::make_unique<Scratch>()) {}
JsonScanner::~JsonScanner() = default;

Result<void> JsonScanner::scan_value(std::string_view text, std::string* compact,
                                     ValueShape* shape) {
  if (compact == nullptr) {
    Parser<Mode::kCheck> parser(text, nullptr, nullptr);
    if (!parser.document(nullptr, shape)) return Error(parser.description());
    return {};
  }
  const size_t mark = compact->size();
  scratch_->emit.members.clear();
  Parser<Mode::kEmit> parser(text, compact, &scratch_->emit);
  if (parser.document(nullptr, shape)) return {};
  compact->resize(mark);
  return Error(parser.description());
}

Result<void> JsonScanner::scan_array(std::string_view text, size_t columns, std::string* block,
                                     ArrayScan* scan) {
  *scan = ArrayScan();
  if (block == nullptr) {
    Parser<Mode::kCheck> parser(text, nullptr, nullptr);
    if (!parser.array_document(nullptr, columns, scan)) return Error(parser.description());
    return {};
  }
  const size_t mark = block->size();
  scratch_->emit.members.clear();
  Parser<Mode::kEmit> parser(text, block, &scratch_->emit);
  if (parser.array_document(nullptr, columns, scan)) return {};
  block->resize(mark);
  return Error(parser.description());
}

}  // namespace quarlen
