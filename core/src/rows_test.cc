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

TEST(CheckRowsTest, AcceptsRowsOfTheMembersLengthAndReportsTheFirstBadRow) {
  const struct {
    const char *name, *rows, *expected;
  } cases[] = {
      {"comments", "[]", "ok"},
      {"comments", "[[1,[2,[3]],{},true],[\"a\",1.5,-1,{\"k\":[]}]]", "ok"},
      {"control_rows/APP", "[[1],[null],[[1,2,3]]]", "ok"},
      {"objects", "[[1,2,3,4,5,6,7]]", "ok"},
      {"comments", "[[]]", "comments row 1: 0 values, the format has 4"},
      {"comments", "[[1,2,3,4,5]]", "comments row 1: 5 values, the format has 4"},
      {"comments", "[[1,2],5]", "comments row 1: 2 values, the format has 4"},
      {"comments", "[[1,2,3,4],[1,2,3,4],5]", "comments row 3: not a list of values"},
      {"comments", "[{\"a\":1,\"b\":2,\"c\":3,\"d\":4}]", "comments row 1: not a list of values"},
      {"control_rows/APP", "[[1],[2,3]]", "control_rows/APP row 2: 2 values, the format has 1"},
      // The name is checked before any row.
      {"bogus", "[5]", "bogus: not a member of quarlen/1"},
      {"objects/APP", "[]", "objects/APP: objects takes no key"},
      {"control_rows", "[[1]]",
       "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"},
  };
  for (const auto& c : cases) EXPECT_EQ(check_error(c.name, c.rows), c.expected) << c.rows;
  EXPECT_EQ(shape_message("control_rows/APP", ShapeFault{12345678901, true, 2}, 1),
            "control_rows/APP row 12345678901: 2 values, the format has 1");
}

TEST(MemberLinesTest, SplitsLinesAndReportsTheFirstBadOne) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"  [1]  \n", "[1]"},
      {"[1]\r\n[2]\r\n", "[1],[2]"},
      {"[1]\r", "[1]"},
      {"\t[1]\r\r\n{\"b\":1,\"a\":2}\n\"x\"", "[1],{\"a\":2,\"b\":1},\"x\""},
      {"[1]\n\n[2]", "comments line 2: EOF while parsing a value at line 1 column 1"},
      {"\r\n", "comments line 1: EOF while parsing a value at line 1 column 1"},
      {"  \n[1]", "comments line 1: EOF while parsing a value at line 1 column 3"},
      {"[1]\r\n[2]\r\n[3\r\n", "comments line 3: EOF while parsing a list at line 1 column 3"},
      // A CR that does not stand before a LF stays in the line, as whitespace.
      {"[1]\r[2]\n", "comments line 1: trailing characters at line 1 column 5"},
      {"[1]\n{\"a\":\"\xC3\xA9\" x}\n", "comments line 2: expected `,` or `}` at line 1 column 10"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(lines_of("comments", text), expected) << testing::PrintToString(text);
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

  // Mostly rows of a few lengths, some of them not arrays at all.
  std::string value_text() {
    static const char* const kValues[] = {
        "[]", "[1]", "[1,2]", "[ 1 , 2 , 3 , 4 ]", "[null,null,null,null]",
        "[1,[2,[3]],{},true]", "[\"a\\u00e9\",1.50,-0,{\"b\":1,\"a\":2}]",
        "[18446744073709551616,-9223372036854775809,1e20,\"\\ud83d\\ude00\"]",
        "{}", "{\"z\":[1,2,3,4],\"a\":0,\"z\":1}", "\"row\"", "5", "true", "null", "-1.5e-7",
        "[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]", "[\"\\/\\b\",\"\x7f\",\"\\u001F\",0]"};
    const std::string text = kValues[below(std::size(kValues))];
    return chance(20) ? std::string(" ").append(text).append("\t") : text;
  }

  std::string mutate(std::string text) {
    static constexpr char kBytes[] = {'[', ']', '{', '}', ',', ':', '"', '\\', '0', '-', '.',
                                      'e', ' ', '\n', '\r', 'u', 'x', '\x01', '\xC3'};
    for (uint64_t n = 1 + below(2); n > 0; --n) {
      const char byte = kBytes[below(std::size(kBytes))];
      const uint64_t kind = below(4);
      if (kind == 0 && !text.empty()) text[below(text.size())] = byte;
      if (kind == 1 && !text.empty()) text.erase(below(text.size()), 1);
      if (kind == 2) text.insert(below(text.size() + 1), 1, byte);
      if (kind == 3) text.resize(below(text.size() + 1));
    }
    return text;
  }

  // The shape a scan found against check_rows on the model's rows.
  static void expect_shape(std::string_view name, const ShapeFault& shape, size_t columns,
                           const Json::array_t& rows) {
    auto checked = check_rows(name, rows);
    if (columns == 0 || checked) {
      ASSERT_EQ(shape.row, 0u);
    } else {
      ASSERT_NE(shape.row, 0u);
      ASSERT_EQ(shape_message(name, shape, columns), checked.error().message());
    }
  }

  // encode_rows against parse_json_array followed by check_rows; the text sits
  // in a block of exactly its size, so that the sanitizer build sees an over-read.
  void expect_encode_as_model(std::string_view name, std::string_view text, size_t columns) {
    SCOPED_TRACE(testing::PrintToString(std::string(text)));
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
    expect_shape(name, encoded->shape, columns, rows);
  }

  // scan_member_lines, with and without output, against parse_member_lines.
  void expect_lines_as_model(std::string_view name, std::string_view text, size_t columns) {
    SCOPED_TRACE(testing::PrintToString(std::string(text)));
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
    ASSERT_EQ(compact, std::string("(").append(lines_of(name, text)));
    const Json::array_t rows(model->begin(), model->end());
    for (const ScannedLines* s : {&*scanned, &*counted}) {
      ASSERT_EQ(s->rows, model->size());
      expect_shape(name, s->shape, columns, rows);
    }
  }

  size_t random_columns(std::string_view name) {
    if (!chance(80)) return 0;
    auto spec = lookup_member(name);
    EXPECT_TRUE(spec.ok()) << name;
    return spec ? (*spec)->columns.size() : 0;
  }

  std::mt19937_64 rng_{0x5eed0004};
  int accepted_ = 0;
};

// The random texts below check the rest against the model.
TEST_F(RowScanTest, EncodeRowsExamples) {
  auto e = encode_rows(" [ [1, 2 ,3,4] , [{\"b\":1,\"a\":2},null,-0,1.50] ] ", 4);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->block, "[1,2,3,4]\n[{\"a\":2,\"b\":1},null,-0.0,1.5]\n");
  EXPECT_EQ(e->rows, 2u);
  // Every call numbers its rows from 1, however many rows earlier calls held.
  auto later = encode_rows("[[1,2,3,4],{},[1]]", 4);
  ASSERT_TRUE(later.ok());
  EXPECT_EQ(shape_message("comments", later->shape, 4), "comments row 2: not a list of values");
  EXPECT_EQ(encode_rows("{}", 4).error().message(),
            "invalid type: map, expected a sequence at line 1 column 1");
}

TEST_F(RowScanTest, ScansAgreeWithTheModelOnRandomTexts) {
  const char* const names[] = {"comments", "control_rows/APP", "objects"};
  for (int i = 0; i < 3000; ++i) {
    std::string text = "[";
    for (uint64_t n = below(5), k = 0; k < n; ++k) {
      if (k > 0) text += chance(20) ? " , " : ",";
      text += value_text();
    }
    text += "]";
    if (chance(60)) text = mutate(text);
    const char* name = names[below(std::size(names))];
    expect_encode_as_model(name, text, random_columns(name));
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(accepted_, 1000);
  EXPECT_LT(accepted_, 2900);
  accepted_ = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    for (uint64_t n = below(5), k = 0; k < n; ++k) {
      text += value_text();
      if (k + 1 < n || chance(70)) text += chance(30) ? "\r\n" : "\n";
    }
    if (chance(50)) text = mutate(text);
    const char* name = names[below(std::size(names))];
    expect_lines_as_model(name, text, random_columns(name));
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(accepted_, 1000);
  EXPECT_LT(accepted_, 2900);
}

}  // namespace
}  // namespace quarlen
