#include "quarlen/rows.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "quarlen/json_text.h"

// Exact results and messages of the row checks and scanners; the reader's fuzz
// target, replayed by CTest over its seeds, compares the scanners with the
// model over many more texts.

namespace quarlen {
namespace {

// check_rows on the elements of a JSON array text; "ok" or the message.
std::string check_error(std::string_view name, std::string_view rows_text) {
  auto rows = parse_json_array(rows_text);
  if (!rows) return "unparsed: " + rows.error().message();
  auto r = check_rows(name, rows->get_ref<const Json::array_t&>());
  return r ? std::string("ok") : r.error().message();
}

TEST(CheckRowsTest, AcceptsRowsOfTheMembersLengthAndReportsTheFirstBadRow) {
  const struct {
    const char *name, *rows, *expected;
  } cases[] = {
      {"comments", "[]", "ok"},
      {"comments", "[[1,[2,[3]],{},true],[\"a\",1.5,-1,{\"k\":[]}]]", "ok"},
      {"control_rows/APP", "[[1],[null],[[1,2,3]]]", "ok"},
      {"comments", "[[1,2],5]", "comments row 1: 2 values, the format has 4"},
      {"comments", "[[1,2,3,4],[1,2,3,4],5]", "comments row 3: not a list of values"},
      {"control_rows/APP", "[[1],[2,3]]", "control_rows/APP row 2: 2 values, the format has 1"},
      // The name is checked before any row.
      {"bogus", "[5]", "bogus: not a member of quarlen/1"},
      {"objects/APP", "[]", "objects/APP: objects takes no key"},
      {"control_rows", "[[1]]", "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"},
  };
  for (const auto& c : cases) EXPECT_EQ(check_error(c.name, c.rows), c.expected) << c.rows;
  EXPECT_EQ(shape_message("control_rows/APP", ShapeFault{12345678901, true, 2}, 1),
            "control_rows/APP row 12345678901: 2 values, the format has 1");
}

// A member's lines three ways: parsed, scanned whole with output, and scanned
// in pieces of 3 bytes with an 8-byte window, which sends most of them through
// the streaming check (and counts them, without output).
TEST(MemberLinesTest, SplitsLinesAndReportsTheFirstBadOne) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"  [1]  \n", "[1]"},
      {"[1]\r\n[2, 3, 4, 5, 6]\r\n", "[1],[2,3,4,5,6]"},
      {"[1, 2, 3, 4, 5]\r", "[1,2,3,4,5]"},
      {"\t[1]\r\r\n{\"b\" : 1, \"a\" : 2}\n\"x\"", "[1],{\"a\":2,\"b\":1},\"x\""},
      {"[1]\n\n[2]", "comments line 2: EOF while parsing a value at line 1 column 1"},
      {"\r\n", "comments line 1: EOF while parsing a value at line 1 column 1"},
      {"  \n[1]", "comments line 1: EOF while parsing a value at line 1 column 3"},
      {"[1]\r\n[2]\r\n[3, 4, 5, 6\r\n", "comments line 3: EOF while parsing a list at line 1 column 12"},
      // A CR that does not stand before a LF stays in the line, as whitespace.
      {"[1, 2, 3]\r[2]\n", "comments line 1: trailing characters at line 1 column 11"},
      {"[1]\n{\"a\":\"\xC3\xA9\" x}\n", "comments line 2: expected `,` or `}` at line 1 column 10"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    auto parsed = parse_member_lines("comments", text);
    std::string joined;
    for (const Json& v : parsed ? *parsed : std::vector<Json>()) {
      joined.append(joined.empty() ? "" : ",").append(to_compact(v));
    }
    EXPECT_EQ(parsed ? joined : parsed.error().message(), expected);
    std::string compact;
    auto scanned = scan_member_lines("comments", text, 0, &compact);
    EXPECT_EQ(scanned ? compact : scanned.error().message(), expected);
    MemberLineScanner scanner("comments", 0, nullptr, 8);
    for (size_t at = 0; at < text.size(); at += 3) scanner.feed(std::string_view(text).substr(at, 3));
    auto streamed = scanner.finish();
    EXPECT_EQ(streamed ? std::to_string(streamed->rows) : streamed.error().message(),
              parsed ? std::to_string(parsed->size()) : expected);
  }
}

TEST(MemberLinesTest, FindsTheFirstRowOfTheWrongShape) {
  for (size_t window : {size_t{8}, MemberLineScanner::kLineWindow}) {
    MemberLineScanner scanner("control_rows/APP", 1, nullptr, window);
    scanner.feed("[1]\n[2, 3, 4, 5, 6]\n{}\n");
    auto scanned = scanner.finish();
    ASSERT_TRUE(scanned.ok());
    EXPECT_EQ(scanned->rows, 3u);
    EXPECT_EQ(shape_message("control_rows/APP", scanned->shape, 1),
              "control_rows/APP row 2: 5 values, the format has 1");
  }
}

TEST(EncodeRowsTest, EncodesEachRowAndNumbersTheFirstBadOne) {
  auto e = encode_rows(" [ [1, 2 ,3,4] , [{\"b\":1,\"a\":2},null,-0,1.50] ] ", 4);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->block, "[1,2,3,4]\n[{\"a\":2,\"b\":1},null,-0.0,1.5]\n");
  EXPECT_EQ(e->rows, 2u);
  EXPECT_EQ(e->shape.row, 0u);
  // Every call numbers its rows from 1, however many rows earlier calls held.
  auto later = encode_rows("[[1,2,3,4],{},[1]]", 4);
  EXPECT_EQ(shape_message("comments", later->shape, 4), "comments row 2: not a list of values");
  EXPECT_EQ(encode_rows("[[1],[2,3]]", 0)->shape.row, 0u);
  EXPECT_EQ(encode_rows("{}", 4).error().message(),
            "invalid type: map, expected a sequence at line 1 column 1");
}

}  // namespace
}  // namespace quarlen
