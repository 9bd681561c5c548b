#include "json_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "quarlen/json_text.h"

// Exact outcomes of the streaming check, cut anywhere and in large pieces; the
// fuzz target's seed replay compares it with the parser over many more texts.

namespace quarlen {
namespace {

std::string outcome(const Result<ValueShape>& r) {
  if (!r) return r.error().message();
  return r->is_array ? "array of " + std::to_string(r->size) : "not an array";
}

// What the parser makes of `text`: the shape scan_value gives, or the fault.
std::string model(std::string_view text) {
  auto parsed = parse_json(text);
  if (!parsed) return parsed.error().message();
  JsonScanner scanner;
  ValueShape shape;
  return scanner.scan_value(text, nullptr, &shape) ? outcome(shape) : "refused by the scanner";
}

// The check's outcome for `text` in pieces of `piece` bytes, or when `piece`
// is 0, in three pieces cut at `first` and `second`.
std::string streamed(StreamingJsonCheck& check, std::string_view text, size_t piece,
                     size_t first = 0, size_t second = 0) {
  check.reset();
  bool fed = true;
  if (piece == 0) {
    fed = check.feed(text.substr(0, first)) && check.feed(text.substr(first, second - first));
    fed = check.feed(text.substr(second)) && fed;
  }
  for (size_t at = 0; piece != 0 && at < text.size(); at += piece) {
    fed = check.feed(text.substr(at, piece)) && fed;
  }
  auto result = check.finish();
  return fed || !result ? outcome(result) : "feed refused what finish took";
}

// `head`, then `run` repeated `times` times, then `tail`.
std::string repeated(std::string_view head, std::string_view run, size_t times,
                     std::string_view tail) {
  std::string text(head);
  for (size_t i = 0; i < times; ++i) text += run;
  return text.append(tail);
}

TEST(StreamingJsonCheckTest, AgreesWithTheParserWhereverCut) {
  const std::pair<std::string, std::string> cases[] = {
      {" \n\t\r ", "EOF while parsing a value at line 2 column 4"},
      {repeated("[\"", "\xC3\xA9", 1500, "\"] x"), "trailing characters at line 1 column 1506"},
      {"[\n  1,\n  null,\n]", "trailing comma at line 4 column 1"},
      {"{\"a\":[1,{}],\"b\" 1}", "expected `:` at line 1 column 17"},
      {"[true,false,nulL]", "invalid literal at line 1 column 16"},
      {"\"\\uD83D\\uDE00\xF0\x9F\x98\x80\"", "not an array"},
      {"\"\xC3\xA9\\uD83D\\u0041\"", "lone leading surrogate in hex escape at line 1 column 3"},
      {"\"\xC3\xA9\\uD83D\\", "EOF while parsing a string at line 1 column 10"},
      {"\"\t\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"[1.5, 2E-3, 1.]", "invalid number at line 1 column 15"},
      {"[0e999, -0.0e400, 1e+]", "invalid number at line 1 column 22"},
      {"[1e308, -1e309]", "number out of range at line 1 column 9"},
      {"[0.1e310]", "number out of range at line 1 column 2"},
      // About DBL_MAX plus half its last unit, 1.797693134862315807937...e308, the
      // least magnitude that rounds beyond the range.
      {"[1.7976931348623158e308, 0.00017976931348623158e312]", "array of 2"},
      {"[1.797693134862315808e308]", "number out of range at line 1 column 2"},
      {repeated("179769313486231580793", "0", 900, "e-612"), "not an array"},
      {repeated("0.0000179769313486231580794", "0", 900, "e313"), "number out of range at line 1 column 1"},
      {repeated("1", "0", 1000, "e-692"), "not an array"},
      {repeated("1", "0", 1000, "e-691"), "number out of range at line 1 column 1"},
      {std::string(127, '[') + std::string(127, ']'), "array of 1"},
      {std::string(128, '['), "recursion limit exceeded at line 1 column 128"},
      {std::string(127, '['), "EOF while parsing a list at line 1 column 128"},
  };
  StreamingJsonCheck check;
  for (const auto& [text, expected] : cases) {
    ASSERT_EQ(model(text), expected) << text;
    ASSERT_EQ(streamed(check, text, text.size() + 1), expected) << text;
    ASSERT_EQ(streamed(check, text, 1), expected) << text;
    for (size_t i = 0; i <= text.size(); ++i) {
      for (size_t j = i; j <= std::min(text.size(), i + 16); ++j) {
        ASSERT_EQ(streamed(check, text, 0, i, j), expected) << text << " cut at " << i << ", " << j;
      }
    }
  }
}

// Lines far longer than a piece, in pieces of a fixed size.
TEST(StreamingJsonCheckTest, LongLinesInFixedPieces) {
  const struct {
    std::string text;
    size_t piece;
    std::string expected;
  } cases[] = {
      {std::string(8 << 20, ' '), 64 << 10, "EOF while parsing a value at line 1 column 8388609"},
      {repeated("", "\n ", 1 << 20, "[1,2] x"), 4096, "trailing characters at line 1048577 column 8"},
      {repeated("[\"", "abcdefg\\n\xC3\xA9 \\u00e9\\ud83d\\ude00\xF0\x9F\x98\x80", 1 << 16, "\"]"),
       65537, "array of 1"},
      {repeated("[\"", "\xE4\xB8\xAD", 1 << 16, "\", x]"), 1000, "expected value at line 1 column 65542"},
      {repeated("[", "12345678901234567890,-1.5e-7,null,", 1 << 14, "{}]"), 333, "array of 49153"},
      {repeated("1", "0", 1 << 20, "e-1048268"), 4099, "not an array"},
      {repeated("1", "0", 1 << 20, "e-1048267"), 4099, "number out of range at line 1 column 1"},
  };
  StreamingJsonCheck check;
  for (const auto& c : cases) {
    EXPECT_EQ(model(c.text), c.expected);
    EXPECT_EQ(streamed(check, c.text, c.piece), c.expected);
  }
}

}  // namespace
}  // namespace quarlen
