// A reader of the compact form: the text the core writes for a value it has
// checked (json_text.h). That text has no whitespace outside strings; numbers
// are JSON numbers without "+" in the exponent; literals are true, false and
// null; strings hold no byte below 0x20 and no escape but \" \\ \b \f \n \r \t
// and \u00XX (XX below 20), so a string ends at the first quotation mark that
// no backslash escapes. Values are read in place, in one pass, without
// checks.
//
// The reader trusts its text: given anything else it still stays within it and
// ends, but what it reads is then unspecified.
#ifndef QUARLEN_COMPACT_TEXT_H_
#define QUARLEN_COMPACT_TEXT_H_

#include <string>
#include <string_view>

namespace quarlen {

class CompactReader {
 public:
  explicit CompactReader(std::string_view text)
      : p_(text.data()), end_(text.data() + text.size()) {}

  bool at_end() const { return p_ == end_; }
  const char* position() const { return p_; }

  // The first byte of the value at the cursor: '[', '{', '"', 't', 'f', 'n',
  // or a number's '-' or digit. REQUIRES: !at_end().
  char peek() const { return *p_; }

  // Steps into the array or object at the cursor; false, and past it, when it
  // is empty.
  bool open() {
    ++p_;
    if (p_ == end_ || (*p_ != ']' && *p_ != '}')) return true;
    ++p_;
    return false;
  }

  // After an element or a member's value: true past the ',' before the next
  // one, false past the closing bracket. Between the rows of a block of rows
  // (compact values separated by ','), false at the end of the text.
  bool more() {
    if (p_ == end_) return false;
    return *p_++ == ',';
  }

  // Past the ':' after a member's key.
  void colon() {
    if (p_ != end_) ++p_;
  }

  // The string at the cursor, decoded; it is a view of the text itself unless
  // the string holds an escape, when it is decoded into *scratch.
  std::string_view string(std::string* scratch);

  // The text of the number or literal at the cursor.
  std::string_view token() {
    const char* const start = p_;
    while (p_ != end_ && *p_ != ',' && *p_ != ']' && *p_ != '}') ++p_;
    return std::string_view(start, static_cast<size_t>(p_ - start));
  }

  // The whole text of the value at the cursor, whatever it is.
  std::string_view value();

  // Whether a number's text is an integer rather than a double.
  static bool is_integer(std::string_view number) {
    return number.find_first_of(".eE") == std::string_view::npos;
  }

  // Decodes the body of a string in the compact form (between its quotation
  // marks) into *out.
  static void decode_string(std::string_view body, std::string* out);

 private:
  // One past the closing quotation mark of the string that opens at `open`.
  const char* string_end(const char* open) const;

  const char* p_;
  const char* const end_;
};

}  // namespace quarlen

#endif  // QUARLEN_COMPACT_TEXT_H_
