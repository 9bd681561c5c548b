#include "json_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarlen/json_text.h"

namespace quarlen {
namespace {

// The smallest magnitude that no longer rounds to DBL_MAX: DBL_MAX plus half its
// last unit, 2^1024 - 2^970. It rounds to even, which is beyond the range.
constexpr std::string_view kHalfway =
    "17976931348623158079372897140530341507993413271003782693617377898044496829276475094"
    "66490179775872070963302864166928879109465555478519404026306574886715058206819089020"
    "00708383676273854845817711531764475730270069855571366959622842914819860834936475292"
    "719074168444365510704342711559699508093042880177904174497792";

std::string shape_text(const ValueShape& shape) {
  return shape.is_array ? "array of " + std::to_string(shape.size) : "not an array";
}

// What the parser makes of `text`: the shape scan_value gives, or the description
// of the fault.
std::string model(std::string_view text) {
  auto parsed = parse_json(text);
  if (!parsed) return parsed.error().message();
  JsonScanner scanner;
  ValueShape shape;
  if (!scanner.scan_value(text, nullptr, &shape)) return "scan_value refused what parse_json took";
  return shape_text(shape);
}

// What the check makes of `text` handed over in pieces cut at `cuts`.
std::string streamed(StreamingJsonCheck& check, std::string_view text,
                     const std::vector<size_t>& cuts) {
  check.reset();
  size_t from = 0;
  bool fed = true;
  for (size_t cut : cuts) {
    fed = check.feed(text.substr(from, cut - from));
    from = cut;
  }
  fed = check.feed(text.substr(from)) && fed;
  auto result = check.finish();
  if (!fed && result) return "feed refused what finish took";
  return result ? shape_text(*result) : result.error().message();
}

std::vector<size_t> every_byte(size_t size) {
  std::vector<size_t> cuts;
  for (size_t i = 1; i < size; ++i) cuts.push_back(i);
  return cuts;
}

// Random JSON texts, most of them sound, with the numbers, escapes and nesting
// where a cut between two pieces is most likely to go wrong.
class TextMaker {
 public:
  explicit TextMaker(uint64_t seed) : rng_(seed) {}

  uint64_t below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < static_cast<uint64_t>(percent); }

  std::string document() {
    std::string text;
    value(static_cast<int>(below(5)), text);
    if (chance(3)) {
      // Close to the nesting limit, on either side of it.
      const size_t depth = 120 + below(10);
      std::string open, close;
      for (size_t i = 0; i < depth; ++i) {
        const bool object = chance(30);
        open += object ? "{\"k\":" : "[";
        close += object ? '}' : ']';
      }
      std::reverse(close.begin(), close.end());
      text = open + text + close;
    }
    return text;
  }

  // Changes, removes or inserts a byte, or cuts the text short, one to three times.
  std::string mutate(std::string text) {
    static constexpr char kBytes[] = {'[', ']', '{', '}', ',', ':', '"', '\\', '0', '1', '-',
                                      '.', 'e', '+', ' ', '\n', 'u', 'D', 'n', 't', 'x',
                                      '\x1f', '\x7f', '\x80', '\xC3', '\xA9'};
    for (uint64_t n = 1 + below(3); n > 0; --n) {
      const char byte = chance(80) ? kBytes[below(std::size(kBytes))] : static_cast<char>(rng_());
      const uint64_t kind = below(4);
      if (kind == 0 && !text.empty()) text[below(text.size())] = byte;
      if (kind == 1 && !text.empty()) text.erase(below(text.size()), 1);
      if (kind == 2) text.insert(below(text.size() + 1), 1, byte);
      if (kind == 3) text.resize(below(text.size() + 1));
    }
    return text;
  }

  // Up to six ascending offsets into a text of `size` bytes, repeats allowed.
  std::vector<size_t> cuts(size_t size) {
    std::vector<size_t> cuts;
    for (uint64_t n = 1 + below(6); n > 0; --n) cuts.push_back(below(size + 1));
    std::sort(cuts.begin(), cuts.end());
    return cuts;
  }

 private:
  void space(std::string& out) {
    static constexpr const char* kSpace[] = {" ", "\n", "\t", "\r", "   ", " \r\n "};
    if (chance(25)) out += kSpace[below(std::size(kSpace))];
  }

  void digits(uint64_t n, std::string& out) {
    for (; n > 0; --n) out += static_cast<char>('0' + below(10));
  }

  void value(int depth, std::string& out) {
    space(out);
    switch (below(depth <= 0 ? 5 : 7)) {
      case 0: {
        static constexpr const char* kWords[] = {"null", "true", "false"};
        out += kWords[below(3)];
        break;
      }
      case 1:
      case 2: number(out); break;
      case 3:
      case 4: string(out); break;
      case 5:
      case 6: {
        const bool object = below(2) == 0;
        out += object ? '{' : '[';
        const uint64_t n = below(5);
        for (uint64_t i = 0; i < n; ++i) {
          if (i > 0) out += ',';
          if (object) {
            space(out);
            string(out);
            space(out);
            out += ':';
          }
          value(depth - 1, out);
        }
        if (n == 0) space(out);
        if (n > 0 && chance(3)) out += ',';  // refused
        out += object ? '}' : ']';
        break;
      }
    }
    space(out);
  }

  void number(std::string& out) {
    static constexpr const char* kEdge[] = {
        "0", "-0", "0e999", "0.0e400", "-0.000E-5", "1e308", "1e309", "-1e309", "1.8e308",
        "1.7976931348623157e308", "1.7976931348623158e308", "10e307", "0.001e311", "0.001e312",
        "1e-400", "4.9e-324", "1e99999999999", "1e-99999999999", "1e0000000000000000308",
        "18446744073709551616", "-9223372036854775809", "123e-99999999999999999999"};
    if (chance(30)) out += '-';
    switch (below(5)) {
      case 0:
        out += kEdge[below(std::size(kEdge))];
        return;
      case 1:  // a long run of digits
        out += static_cast<char>('1' + below(9));
        digits(below(1200), out);
        break;
      case 2: {  // about DBL_MAX, the point anywhere and the exponent to match
        std::string mantissa(kHalfway.substr(0, 1 + below(kHalfway.size())));
        digits(below(3) == 0 ? below(1000) : below(3), mantissa);
        if (chance(30)) {
          const uint64_t zeros = below(5);
          out.append("0.").append(zeros, '0').append(mantissa);
          out.append("e").append(std::to_string(309 + zeros));
        } else {
          const uint64_t point = 1 + below(std::min<uint64_t>(mantissa.size(), 400));
          out.append(mantissa, 0, point);
          if (point < mantissa.size()) out.append(".").append(mantissa, point);
          out.append(chance(50) ? "e" : "E+").append(std::to_string(308 - (point - 1)));
        }
        return;
      }
      default:
        if (chance(20)) {
          out += '0';
        } else {
          out += static_cast<char>('1' + below(9));
          digits(below(20), out);
        }
        break;
    }
    if (chance(40)) {
      out += '.';
      digits(1 + below(chance(10) ? 400 : 18), out);
    }
    if (chance(40)) {
      out += chance(50) ? 'e' : 'E';
      if (chance(50)) out += chance(50) ? '-' : '+';
      digits(1 + below(chance(10) ? 20 : 3), out);
    }
  }

  void string(std::string& out) {
    static constexpr const char* kSound[] = {
        "a", "0", " ", "/", "\x7f", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\\\"",
        "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0041", "\\u00e9", "\\u4E2D",
        "\\uD83D\\uDE00", "\\udbff\\udfff", "\\uFFFF", "\\u0000"};
    static constexpr const char* kRefused[] = {
        "\\uDC00", "\\uD800", "\\uD800x", "\\uD800\\n", "\\uD800\\u0041", "\\uD800\\uD800",
        "\\x", "\\u12G4", "\x01"};
    out += '"';
    for (uint64_t n = chance(5) ? 300 : below(8); n > 0; --n) {
      out += chance(1) ? kRefused[below(std::size(kRefused))] : kSound[below(std::size(kSound))];
    }
    out += '"';
  }

  std::mt19937_64 rng_;
};

TEST(StreamingJsonCheckTest, AgreesWithParserWhereverCut) {
  TextMaker maker(20240607);
  StreamingJsonCheck check;
  std::set<std::string> faults;
  int accepted = 0;
  for (int i = 0; i < 6000; ++i) {
    std::string text = maker.document();
    if (i % 2 == 1) text = maker.mutate(std::move(text));
    const std::string expected = model(text);
    ASSERT_EQ(streamed(check, text, {}), expected) << text;
    ASSERT_EQ(streamed(check, text, every_byte(text.size())), expected) << text;
    for (int k = 0; k < 3; ++k) {
      ASSERT_EQ(streamed(check, text, maker.cuts(text.size())), expected) << text;
    }
    const size_t at = expected.find(" at line ");
    if (at == std::string::npos) {
      ++accepted;
    } else {
      faults.insert(expected.substr(0, at));
    }
  }
  // Both verdicts, and every fault a single value can have, were tried.
  EXPECT_GT(accepted, 2000);
  EXPECT_EQ(faults.size(), 19u);
}

TEST(StreamingJsonCheckTest, TrickyTexts) {
  const std::string halfway(kHalfway);
  std::string below_halfway(halfway);
  below_halfway.back() = '1';
  std::string accents;
  for (int i = 0; i < 1500; ++i) accents += "\xC3\xA9";
  const auto nested = [](size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  const std::pair<std::string, std::string> cases[] = {
      {"", "EOF while parsing a value at line 1 column 1"},
      {" \n\t\r ", "EOF while parsing a value at line 2 column 4"},
      {"[1,2] x", "trailing characters at line 1 column 7"},
      {"[\"" + accents + "\"] x", "trailing characters at line 1 column 1506"},
      {"\"\xC3\xA9\" \xC3\xA9", "trailing characters at line 1 column 5"},
      {"[\n  1,\n  2,\n]", "trailing comma at line 4 column 1"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"tru", "EOF while parsing a value at line 1 column 4"},
      {"nulL", "invalid literal at line 1 column 4"},
      {"\"\\uD83D\\uDE00\xF0\x9F\x98\x80\"", "not an array"},
      {"\"\xC3\xA9\\uD83D\\u0041\"", "lone leading surrogate in hex escape at line 1 column 3"},
      {"\"\xC3\xA9\\uD83D", "EOF while parsing a string at line 1 column 9"},
      {"\"\xC3\xA9\\uD83D\\", "EOF while parsing a string at line 1 column 10"},
      {"\"\\uDE00\"", "lone trailing surrogate in hex escape at line 1 column 2"},
      {"\"\\u12\"", "invalid escape at line 1 column 6"},
      {"\"\t\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"-", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"1e+", "invalid number at line 1 column 4"},
      {"0e999", "not an array"},
      {"-0.0e400", "not an array"},
      {"[1e308, -1e309]", "number out of range at line 1 column 9"},
      {"1.8e308", "number out of range at line 1 column 1"},
      {below_halfway + ".9999999999", "not an array"},
      {"[" + halfway + "]", "number out of range at line 1 column 2"},
      {"0." + below_halfway + "e309", "not an array"},
      {"0.000" + halfway + "e312", "number out of range at line 1 column 1"},
      {"1" + std::string(1000, '0') + "e-692", "not an array"},
      {"1" + std::string(1000, '0') + "e-691", "number out of range at line 1 column 1"},
      {nested(127), "array of 1"},
      {nested(128), "recursion limit exceeded at line 1 column 128"},
      {std::string(127, '['), "EOF while parsing a list at line 1 column 128"},
  };
  StreamingJsonCheck check;
  for (const auto& [text, expected] : cases) {
    ASSERT_EQ(model(text), expected) << text;
    ASSERT_EQ(streamed(check, text, {}), expected) << text;
    ASSERT_EQ(streamed(check, text, every_byte(text.size())), expected) << text;
    for (size_t i = 0; i <= text.size(); ++i) {
      for (size_t j = i; j <= std::min(text.size(), i + 16); ++j) {
        ASSERT_EQ(streamed(check, text, {i, j}), expected) << text << " cut at " << i << ", " << j;
      }
    }
  }
}

TEST(StreamingJsonCheckTest, LongLinesInFixedPieces) {
  constexpr size_t kSize = 64 << 20;
  constexpr size_t kPiece = 64 << 10;
  constexpr std::string_view kRun = "abcdefg\\n\xC3\xA9 ";
  std::string string_line = "[\"";
  while (string_line.size() + kRun.size() <= kSize - 2) string_line += kRun;
  string_line.resize(kSize - 2, 'a');
  string_line += "\"]";
  const std::pair<std::string, std::string> cases[] = {
      {std::string(kSize, ' '), "EOF while parsing a value at line 1 column 67108865"},
      {string_line, "array of 1"},
  };
  StreamingJsonCheck check;
  for (const auto& [text, expected] : cases) {
    check.reset();
    const auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at < text.size(); at += kPiece) {
      check.feed(std::string_view(text).substr(at, kPiece));
    }
    auto result = check.finish();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result ? shape_text(*result) : result.error().message(), expected);
    std::printf("%s: %.0f MB/s\n", expected.c_str(),
                static_cast<double>(text.size()) / 1e6 / seconds.count());
  }
}

}  // namespace
}  // namespace quarlen
