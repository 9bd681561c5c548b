// Shell-style patterns as Python's fnmatch.fnmatchcase reads them: "*" any
// run of characters, "?" one character, "[seq]" one character of seq (with
// ranges "a-z"), "[!seq]" one character not in seq; anything else, and a "["
// without its "]", stands for itself. Case counts; characters are code points.
#ifndef QUARLEN_GLOB_H_
#define QUARLEN_GLOB_H_

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace quarlen {

class Glob {
 public:
  // REQUIRES: `pattern` is well-formed UTF-8.
  explicit Glob(std::string_view pattern);

  // Whether the whole of `text` (well-formed UTF-8) matches.
  bool matches(std::string_view text) const;

 private:
  enum class Kind : uint8_t { kLiteral, kAny, kStar, kSet };
  struct Token {
    Kind kind;
    bool negated = false;
    uint32_t cp = 0;            // kLiteral
    size_t first = 0, end = 0;  // kSet: its ranges in ranges_
  };

  bool one(const Token& t, uint32_t cp) const;

  std::vector<Token> tokens_;
  std::vector<std::pair<uint32_t, uint32_t>> ranges_;  // inclusive
};

// The code points of well-formed UTF-8.
std::vector<uint32_t> code_points(std::string_view text);

}  // namespace quarlen

#endif  // QUARLEN_GLOB_H_
