#include "quarlen/rows.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarlen/format.h"
#include "quarlen/json_text.h"

namespace quarlen {
namespace {

// check_rows on the elements of a JSON array text; "ok" or the message.
std::string check_error(std::string_view name, std::string_view rows_text) {
  auto rows = parse_json_array(rows_text);
  EXPECT_TRUE(rows.ok()) << rows_text;
  if (!rows) return "unparsed";
  auto r = check_rows(name, rows->get_ref<const Json::array_t&>());
  return r ? std::string("ok") : r.error().message();
}

// The compact forms of parse_member_lines's values joined by ',', or the message.
std::string lines_of(std::string_view name, std::string_view text) {
  auto r = parse_member_lines(name, text);
  if (!r) return r.error().message();
  std::string out;
  for (const Json& v : *r) {
    if (!out.empty()) out += ',';
    append_compact(v, out);
  }
  return out;
}

size_t columns_of(std::string_view name) {
  auto spec = lookup_member(name);
  EXPECT_TRUE(spec.ok()) << name;
  return spec ? (*spec)->columns.size() : 0;
}

TEST(CheckRowsTest, AcceptsRowsOfTheMembersLength) {
  EXPECT_EQ(check_error("comments", "[]"), "ok");
  EXPECT_EQ(check_error("comments", "[[null,null,null,null]]"), "ok");
  EXPECT_EQ(check_error("comments", "[[1,[2,[3]],{},true],[\"a\",1.5,-1,{\"k\":[]}]]"), "ok");
  EXPECT_EQ(check_error("control_rows/APP", "[[1],[null],[[1,2,3]]]"), "ok");
  EXPECT_EQ(check_error("objects", "[[1,2,3,4,5,6,7]]"), "ok");
}

TEST(CheckRowsTest, ReportsTheFirstBadRow) {
  const std::pair<std::string, std::string> cases[] = {
      {"[[1,2]]", "comments row 1: 2 values, the format has 4"},
      {"[[]]", "comments row 1: 0 values, the format has 4"},
      {"[[1,2,3,4,5]]", "comments row 1: 5 values, the format has 4"},
      {"[[1,2,3,4],{}]", "comments row 2: not a list of values"},
      {"[[1,2,3,4],\"row\"]", "comments row 2: not a list of values"},
      {"[[1,2,3,4],[1,2,3,4],5]", "comments row 3: not a list of values"},
      {"[true]", "comments row 1: not a list of values"},
      {"[null]", "comments row 1: not a list of values"},
      {"[{\"a\":1,\"b\":2,\"c\":3,\"d\":4}]", "comments row 1: not a list of values"},
      {"[[1,2],5]", "comments row 1: 2 values, the format has 4"},
  };
  for (const auto& [rows, message] : cases) EXPECT_EQ(check_error("comments", rows), message) << rows;
  EXPECT_EQ(check_error("control_rows/APP", "[[1],[2,3]]"),
            "control_rows/APP row 2: 2 values, the format has 1");
}

TEST(CheckRowsTest, RefusesABadNameBeforeLookingAtRows) {
  EXPECT_EQ(check_error("bogus", "[]"), "bogus: not a member of quarlen/1");
  EXPECT_EQ(check_error("bogus", "[5]"), "bogus: not a member of quarlen/1");
  EXPECT_EQ(check_error("objects/APP", "[]"), "objects/APP: objects takes no key");
  EXPECT_EQ(check_error("control_rows", "[[1]]"),
            "control_rows: control_rows needs a key after a slash (control_rows/OWNER)");
}

TEST(CheckRowsTest, ShapeMessageMatchesCheckRows) {
  EXPECT_EQ(shape_message("comments", ShapeFault{2, false, 0}, 4),
            "comments row 2: not a list of values");
  EXPECT_EQ(shape_message("control_rows/APP", ShapeFault{12345678901, true, 2}, 1),
            "control_rows/APP row 12345678901: 2 values, the format has 1");
  EXPECT_EQ(shape_message("comments", ShapeFault{1, true, 0}, 4),
            "comments row 1: 0 values, the format has 4");
}

TEST(MemberLinesTest, SplitsLines) {
  EXPECT_EQ(lines_of("comments", ""), "");
  auto none = parse_member_lines("comments", "");
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(lines_of("comments", "[1]"), "[1]");
  EXPECT_EQ(lines_of("comments", "[1]\n"), "[1]");
  EXPECT_EQ(lines_of("comments", "  [1]  \n"), "[1]");
  EXPECT_EQ(lines_of("comments", "[1]\r\n[2]\r\n"), "[1],[2]");
  EXPECT_EQ(lines_of("comments", "[1]\r"), "[1]");
  EXPECT_EQ(lines_of("comments", "[1]\n[2]"), "[1],[2]");
  EXPECT_EQ(lines_of("comments", "\t[1]\r\r\n{\"b\":1,\"a\":2}\n\"x\""), "[1],{\"a\":2,\"b\":1},\"x\"");
  auto values = parse_member_lines("comments", "[1]\n2\n");
  ASSERT_TRUE(values.ok());
  ASSERT_EQ(values->size(), 2u);
  EXPECT_TRUE((*values)[1].is_number_unsigned());
}

TEST(MemberLinesTest, ReportsTheFirstBadLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"[1]\n\n[2]", "comments line 2: EOF while parsing a value at line 1 column 1"},
      {"\n", "comments line 1: EOF while parsing a value at line 1 column 1"},
      {"\r\n", "comments line 1: EOF while parsing a value at line 1 column 1"},
      {"  \n[1]", "comments line 1: EOF while parsing a value at line 1 column 3"},
      {"[1] [2]", "comments line 1: trailing characters at line 1 column 5"},
      {"[1]\n[1,\n]", "comments line 2: EOF while parsing a value at line 1 column 4"},
      {"[1]\r\n[2]\r\n[3\r\n", "comments line 3: EOF while parsing a list at line 1 column 3"},
      // A CR that does not stand before a LF stays in the line, as whitespace.
      {"[1]\r[2]\n", "comments line 1: trailing characters at line 1 column 5"},
      {"[1]\n{\"a\":\"\xC3\xA9\" x}\n", "comments line 2: expected `,` or `}` at line 1 column 10"},
      {"[1]\n[2]\n[3]\nnul", "comments line 4: EOF while parsing a value at line 1 column 4"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(lines_of("comments", text), message) << testing::PrintToString(text);
  }
  EXPECT_EQ(lines_of("control_rows/APP", "x"),
            "control_rows/APP line 1: expected value at line 1 column 1");
}

// ---------------------------------------------------------------------------
// The scanning paths against check_rows, parse_json_array and parse_member_lines

class RowScanTest : public testing::Test {
 protected:
  uint64_t below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < static_cast<uint64_t>(percent); }

  // A value as a caller might spell it: mostly rows of a few lengths, some of
  // them not arrays at all.
  std::string value_text() {
    static const char* const kValues[] = {
        "[]", "[1]", "[1,2]", "[ 1 , 2 , 3 , 4 ]", "[null,null,null,null]",
        "[1,[2,[3]],{},true]", "[\"a\\u00e9\",1.50,-0,{\"b\":1,\"a\":2}]",
        "[18446744073709551616,-9223372036854775809,1e20,\"\\ud83d\\ude00\"]",
        "{}", "{\"z\":[1,2,3,4],\"a\":0,\"z\":1}", "\"row\"", "5", "true", "null", "-1.5e-7",
        "[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]", "[\"\\/\\b\",\"\x7f\",\"\\u001F\",0]"};
    std::string text = kValues[below(std::size(kValues))];
    if (chance(20)) {
      std::string padded = " ";
      padded += text;
      padded += '\t';
      text = std::move(padded);
    }
    return text;
  }

  std::string mutate(std::string text) {
    static constexpr char kBytes[] = {'[', ']', '{', '}', ',', ':', '"', '\\', '0', '-', '.',
                                      'e', ' ', '\n', '\r', 'u', 'x', '\x01', '\xC3'};
    for (uint64_t n = 1 + below(2); n > 0; --n) {
      const char byte = kBytes[below(std::size(kBytes))];
      switch (below(4)) {
        case 0:
          if (!text.empty()) text[below(text.size())] = byte;
          break;
        case 1:
          if (!text.empty()) text.erase(below(text.size()), 1);
          break;
        case 2:
          text.insert(text.begin() + static_cast<std::ptrdiff_t>(below(text.size() + 1)), byte);
          break;
        default:
          text.resize(below(text.size() + 1));
          break;
      }
    }
    return text;
  }

  // encode_rows against parse_json_array followed by check_rows.
  void expect_encode_as_model(std::string_view name, std::string_view text, bool check_shape) {
    SCOPED_TRACE(testing::PrintToString(std::string(text)));
    const size_t columns = check_shape ? columns_of(name) : 0;
    const std::vector<char> exact(text.begin(), text.end());
    auto encoded = encode_rows(std::string_view(exact.data(), exact.size()), columns);
    auto model = parse_json_array(text);
    ASSERT_EQ(encoded.ok(), model.ok());
    if (!model) {
      ASSERT_EQ(encoded.error().message(), model.error().message());
      return;
    }
    ++accepted_;
    const auto& rows = model->get_ref<const Json::array_t&>();
    std::string block;
    for (const Json& row : rows) {
      append_compact(row, block);
      block += '\n';
    }
    ASSERT_EQ(encoded->block, block);
    ASSERT_EQ(encoded->rows, rows.size());
    auto checked = check_rows(name, rows);
    if (!check_shape) {
      ASSERT_EQ(encoded->shape.row, 0u);
    } else if (checked) {
      ASSERT_EQ(encoded->shape.row, 0u);
    } else {
      ASSERT_NE(encoded->shape.row, 0u);
      ASSERT_EQ(shape_message(name, encoded->shape, columns), checked.error().message());
    }
  }

  // scan_member_lines against parse_member_lines followed by check_rows.
  void expect_lines_as_model(std::string_view name, std::string_view text, bool check_shape) {
    SCOPED_TRACE(testing::PrintToString(std::string(text)));
    const size_t columns = check_shape ? columns_of(name) : 0;
    const std::vector<char> exact(text.begin(), text.end());
    const std::string_view t(exact.data(), exact.size());
    std::string compact = "(";
    auto scanned = scan_member_lines(name, t, columns, &compact);
    auto counted = scan_member_lines(name, t, columns, nullptr);
    auto model = parse_member_lines(name, text);
    ASSERT_EQ(scanned.ok(), model.ok());
    ASSERT_EQ(counted.ok(), model.ok());
    if (!model) {
      ASSERT_EQ(scanned.error().message(), model.error().message());
      ASSERT_EQ(counted.error().message(), model.error().message());
      return;
    }
    ++accepted_;
    std::string expected = "(";
    for (size_t i = 0; i < model->size(); ++i) {
      if (i > 0) expected += ',';
      append_compact((*model)[i], expected);
    }
    ASSERT_EQ(compact, expected);
    Json::array_t rows(model->begin(), model->end());
    auto checked = check_rows(name, rows);
    for (const ScannedLines* s : {&*scanned, &*counted}) {
      ASSERT_EQ(s->rows, model->size());
      if (!check_shape || checked) {
        ASSERT_EQ(s->shape.row, 0u);
      } else {
        ASSERT_NE(s->shape.row, 0u);
        ASSERT_EQ(shape_message(name, s->shape, columns), checked.error().message());
      }
    }
  }

  std::mt19937_64 rng_{0x5eed0004};
  int accepted_ = 0;
};

TEST_F(RowScanTest, EncodeRowsExamples) {
  auto e = encode_rows(" [ [1, 2 ,3,4] , [{\"b\":1,\"a\":2},null,-0,1.50] ] ", 4);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->block, "[1,2,3,4]\n[{\"a\":2,\"b\":1},null,-0.0,1.5]\n");
  EXPECT_EQ(e->rows, 2u);
  EXPECT_EQ(e->shape.row, 0u);

  auto empty = encode_rows("[]", 4);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->block, "");
  EXPECT_EQ(empty->rows, 0u);

  auto bad = encode_rows("[[1,2,3,4],{},[1]]", 4);
  ASSERT_TRUE(bad.ok());
  EXPECT_EQ(bad->rows, 3u);
  EXPECT_EQ(shape_message("comments", bad->shape, 4), "comments row 2: not a list of values");
  auto short_row = encode_rows("[[1,2],5]", 4);
  ASSERT_TRUE(short_row.ok());
  EXPECT_EQ(shape_message("comments", short_row->shape, 4),
            "comments row 1: 2 values, the format has 4");
  // Every call numbers its rows from 1, however many rows earlier calls held.
  auto earlier = encode_rows("[[1,2,3,4],[1,2,3,4],[1,2,3,4]]", 4);
  ASSERT_TRUE(earlier.ok());
  EXPECT_EQ(earlier->shape.row, 0u);
  auto later = encode_rows("[[1]]", 4);
  ASSERT_TRUE(later.ok());
  EXPECT_EQ(shape_message("comments", later->shape, 4),
            "comments row 1: 1 values, the format has 4");
  auto unchecked = encode_rows("[[1,2],5]", 0);
  ASSERT_TRUE(unchecked.ok());
  EXPECT_EQ(unchecked->shape.row, 0u);

  const std::pair<std::string, std::string> faults[] = {
      {"{}", "invalid type: map, expected a sequence at line 1 column 1"},
      {"", "EOF while parsing a value at line 1 column 1"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1] x", "trailing characters at line 1 column 5"},
      {"[1,", "EOF while parsing a value at line 1 column 4"},
      {"[1e309]", "number out of range at line 1 column 2"},
  };
  for (const auto& [text, message] : faults) {
    auto r = encode_rows(text, 4);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error().message(), message);
  }
}

TEST_F(RowScanTest, ScanMemberLinesExamples) {
  std::string compact;
  auto s = scan_member_lines("comments", "[1,2,3,4]\r\n[{\"b\":1,\"a\":2},2,3,4]\n[1]\r", 4,
                             &compact);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->rows, 3u);
  EXPECT_EQ(compact, "[1,2,3,4],[{\"a\":2,\"b\":1},2,3,4],[1]");
  EXPECT_EQ(shape_message("comments", s->shape, 4), "comments row 3: 1 values, the format has 4");
  auto empty = scan_member_lines("comments", "", 4, nullptr);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->rows, 0u);
  auto bad = scan_member_lines("comments", "[1]\n\n[2]", 4, nullptr);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "comments line 2: EOF while parsing a value at line 1 column 1");
}

TEST_F(RowScanTest, EncodeRowsAgreesWithTheModel) {
  const char* const names[] = {"comments", "control_rows/APP", "objects"};
  for (int i = 0; i < 3000; ++i) {
    std::string text = "[";
    for (uint64_t n = below(5), k = 0; k < n; ++k) {
      if (k > 0) text += chance(20) ? " , " : ",";
      text += value_text();
    }
    text += "]";
    if (chance(60)) text = mutate(text);
    expect_encode_as_model(names[below(std::size(names))], text, chance(80));
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(accepted_, 1000);
  EXPECT_LT(accepted_, 2900);
}

TEST_F(RowScanTest, ScanMemberLinesAgreesWithTheModel) {
  const char* const names[] = {"comments", "control_rows/APP", "objects"};
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    for (uint64_t n = below(5), k = 0; k < n; ++k) {
      text += value_text();
      if (k + 1 < n || chance(70)) text += chance(30) ? "\r\n" : "\n";
    }
    if (chance(50)) text = mutate(text);
    expect_lines_as_model(names[below(std::size(names))], text, chance(80));
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(accepted_, 1000);
  EXPECT_LT(accepted_, 2900);
}

}  // namespace
}  // namespace quarlen
