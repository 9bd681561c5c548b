#include "json_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "quarlen/json_text.h"
#include "quarlen/rows.h"
#include "testing/models.h"

// Exact outcomes of the streaming check on lines of megabytes fed in large
// pieces; the fuzz target's seed replay compares it with the parser, cut into
// small pieces, over many more texts.

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
  auto scanned = scanner.scan_value(text, nullptr, &shape);
  return scanned ? outcome(shape) : "refused by the scanner: " + scanned.error().message();
}

// The check's outcome for `text` in pieces of `piece` bytes.
std::string streamed(StreamingJsonCheck& check, std::string_view text, size_t piece) {
  check.reset();
  bool fed = true;
  for (size_t at = 0; at < text.size(); at += piece) {
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

// Lines far longer than a piece, in pieces of a fixed size.
TEST(StreamingJsonCheckTest, LongLinesInFixedPieces) {
  const struct {
    std::string text;
    size_t piece;
    std::string expected;
  } cases[] = {
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

// With an output, a line past the window is checked as it streams and kept
// for its compact form: the same rows, text and message as a whole scan.
TEST(MemberLineScannerTest, LongLinesWithOutputAgreeWithTheWholeScan) {
  const std::string texts[] = {
      "[1,2]\n[\"abcdefghijklmnopqrstuvwxyz\", {\"b\":1, \"a\":2}]\r\n[3]\n",
      "[1]\nxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n[2]\n",
      "[1]\n[\"abcdefghijklmnopqrstuvwxyz\", 1.5e999999, 3]\n",
      "[\"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz\"]\r",
      "[\"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz\"]\r\r\n",
      "[\"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz\"",
  };
  auto outcome = [](const Result<ScannedLines>& r, const std::string& compact) {
    return r ? std::to_string(r->rows) + " rows: " + compact : r.error().message();
  };
  for (const std::string& text : texts) {
    std::string whole;
    const std::string expected = outcome(scan_member_lines("comments", text, 0, &whole), whole);
    for (size_t piece : {1, 5, 64}) {
      std::string compact;
      MemberLineScanner scanner("comments", 0, &compact, 16);
      for (size_t at = 0; at < text.size(); at += piece) scanner.feed(std::string_view(text).substr(at, piece));
      EXPECT_EQ(outcome(scanner.finish(), compact), expected) << text << " in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace quarlen
