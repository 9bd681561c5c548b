// UTF-8 checking of a text that arrives in pieces.
#ifndef QUARLEN_UTF8_CHECK_H_
#define QUARLEN_UTF8_CHECK_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace quarlen {

// Answers what valid_utf8 would answer for the concatenation of the pieces,
// which may split a character anywhere.
class Utf8Check {
 public:
  // Returns false once the text is known to be broken.
  bool feed(std::string_view piece);
  // After the last piece: whether the whole text was well-formed.
  bool finish() const { return ok_ && carry_.empty(); }

 private:
  std::string carry_;  // a character the last piece cut short (at most 3 bytes)
  bool ok_ = true;
};

}  // namespace quarlen

#endif  // QUARLEN_UTF8_CHECK_H_
