#include "quarlen/json_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarlen/compact_text.h"
#include "quarlen/utf8.h"
#include "testing/models.h"

// Exact expectations for the parser, the scanner and the writers. That the
// scanner and the streaming check agree with the parser over many more texts
// is checked by the reader's fuzz target, which CTest replays over its seeds.

namespace quarlen {
namespace {

// A parsed value's compact form, or the description of the refused text.
std::string outcome(const Result<Json>& r) { return r ? to_compact(*r) : r.error().message(); }

// parse_json's (or parse_json_array's) outcome, and the scanner's: its compact
// form or its description of the fault. The text sits in a heap block of exactly its size, so that the sanitizer
// build reports a read past the end of the view.
std::string compact_of(std::string_view text, bool array = false) {
  const std::vector<char> exact(text.begin(), text.end());
  const std::string_view view(exact.data(), exact.size());
  return outcome(array ? parse_json_array(view) : parse_json(view));
}
std::string scanned(std::string_view text) {
  const std::vector<char> exact(text.begin(), text.end());
  std::string out;
  ValueShape shape;
  auto r = JsonScanner().scan_value(std::string_view(exact.data(), exact.size()), &out, &shape);
  return r ? out : r.error().message();
}

std::string nested(int depth, std::string_view open, std::string_view inner, std::string_view close) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += inner;
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(JsonParseTest, ParsesOrDescribesTheFault) {
  const std::pair<std::string, std::string> cases[] = {
      {" \t\r\n{ \"x\" : [ true , false , null, { } ] }\n", "{\"x\":[true,false,null,{}]}"},
      // Keys in byte order; of repeated keys the last one wins, however spelled.
      {"{\"a\":{\"d\":1,\"c\":2},\"\\u0061\":[3]}", "{\"a\":[3]}"},
      {"{\"\\u0062\":1,\"a\":{\"\\u0064\":2,\"c\":3}}", "{\"a\":{\"c\":3,\"d\":2},\"b\":1}"},
      {"{\"\\u0001\":1,\"\\u0000\":2,\" \":3}", "{\"\\u0000\":2,\"\\u0001\":1,\" \":3}"},
      // Escapes decoded, and written again only where needed.
      {"\"\\b\\t\\n\\f\\r\\\"\\\\\\/\\u001F\"", "\"\\b\\t\\n\\f\\r\\\"\\\\/\\u001f\""},
      {"\"\\u0008\\u0009\\u000a\\u000C\\u000d\\u0000\"", "\"\\b\\t\\n\\f\\r\\u0000\""},
      {"\"\\u0022\\u005c\\u002F\\u007f\\u00e9\\u07FF\\u0800\\u4E2D\\uFFFF\"",
       "\"\\\"\\\\/\x7f\xC3\xA9\xDF\xBF\xE0\xA0\x80\xE4\xB8\xAD\xEF\xBF\xBF\""},
      {"\"\\ud83d\\uDE00\\uDBFF\\uDFFF\"", "\"\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\""},
      // The three kinds of number, and doubles in their shortest form.
      {"[18446744073709551615,-9223372036854775808,18446744073709551616,-9223372036854775809]",
       "[18446744073709551615,-9223372036854775808,1.8446744073709552e19,-9.223372036854776e18]"},
      {"[0,-0,10,1.50,2e0,1E+2,1e20,0.00000015,-1.5e300,1e-400,123456789e-9]",
       "[0,-0.0,10,1.5,2.0,100.0,1e20,1.5e-7,-1.5e300,0.0,0.123456789]"},
      {"[0e99999999999999999999,1e0000000000000000308,-1e-400]", "[0.0,1e308,-0.0]"},
      {std::string("0.").append(800, '0').append("1e308"), "0.0"},
      // Faults, at the line and the column (in characters) where they were found.
      {"[\n  1,\n  \xE4\xB8\xAD]", "expected value at line 3 column 3"},
      {"{\"a\":1, 2:3}", "key must be a string at line 1 column 9"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"[1", "EOF while parsing a list at line 1 column 3"},
      {"01", "invalid number at line 1 column 2"},
      {"-", "invalid number at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"[1E-]", "invalid number at line 1 column 5"},
      {".5", "expected value at line 1 column 1"},
      {std::string(1, '1').append(309, '0'), "number out of range at line 1 column 1"},
      {"0.1e310", "number out of range at line 1 column 1"},
      {"\"ab\\uDFFF\"", "lone trailing surrogate in hex escape at line 1 column 4"},
      {"\"\\uD800\"", "lone leading surrogate in hex escape at line 1 column 2"},
      {"\"\\uD800\\uDC", "EOF while parsing a string at line 1 column 12"},
      {"\"\\uD800\\uDCxx\"", "invalid escape at line 1 column 12"},
      {std::string("\"a\0\"", 4),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      // Nesting: 127 levels at most, of either kind.
      {nested(127, "[", "", "]"), nested(127, "[", "", "]")},
      {nested(127, "{\"k\":", "0", "}"), nested(127, "{\"k\":", "0", "}")},
      {nested(128, "{\"k\":", "0", "}"), "recursion limit exceeded at line 1 column 636"},
      {nested(64, "[{\"k\":", "0", "}]"), "recursion limit exceeded at line 1 column 380"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(compact_of(text), expected) << text;
    EXPECT_EQ(scanned(text), expected) << text;
  }
  EXPECT_EQ(parse_json("\"a\\u0000b\"")->get<std::string>(), std::string("a\0b", 3));
}

TEST(JsonParseTest, ArrayParseNamesTheKindFound) {
  const std::pair<std::string, std::string> cases[] = {
      {"  {\"a\":[]}", "invalid type: map, expected a sequence at line 1 column 3"},
      {"\"s\"", "invalid type: string, expected a sequence at line 1 column 1"},
      {"\n-7", "invalid type: integer, expected a sequence at line 2 column 1"},
      {"1.5", "invalid type: floating point number, expected a sequence at line 1 column 1"},
      // A first token that is itself broken is described as such.
      {"1e999", "number out of range at line 1 column 1"},
      {" \n", "EOF while parsing a value at line 2 column 1"},
      {" [1, {\"b\":0,\"a\":1}, []] ", "[1,{\"a\":1,\"b\":0},[]]"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(compact_of(text, true), expected) << text;
}

// The end of a view is the end of the text, whatever bytes the buffer holds after it.
TEST(JsonParseTest, StopsAtTheEndOfTheView) {
  const std::pair<std::string_view, const char*> cases[] = {
      {std::string_view("[1,]]").substr(0, 3), "EOF while parsing a value at line 1 column 4"},
      {std::string_view("{\"a\":1,}").substr(0, 7), "EOF while parsing an object at line 1 column 8"},
      {std::string_view("\"\\u0041\"").substr(0, 5), "EOF while parsing a string at line 1 column 6"},
      {std::string_view("truefalse").substr(0, 3), "EOF while parsing a value at line 1 column 4"},
  };
  JsonScanner scanner;
  ValueShape shape;
  for (const auto& [cut, message] : cases) {
    EXPECT_EQ(outcome(parse_json(cut)), message);
    auto r = scanner.scan_value(cut, nullptr, &shape);
    EXPECT_EQ(r ? "taken" : r.error().message(), message);
  }
}

TEST(JsonWriteTest, EscapesOnlyWhereNeeded) {
  // Long enough to go through the wide search for special bytes more than once.
  const std::string x17(17, 'x'), long_text = x17 + '"' + x17 + x17 + '\x10' + x17 + '\\';
  const std::pair<std::string, std::string> cases[] = {
      {std::string("\0\x01\x0b\x0e\x1f", 5), "\"\\u0000\\u0001\\u000b\\u000e\\u001f\""},
      {"\b\t\n\f\r\"\\", "\"\\b\\t\\n\\f\\r\\\"\\\\\""},
      {"a/b\x7f\xC3\xA9\xF0\x9F\x98\x80", "\"a/b\x7f\xC3\xA9\xF0\x9F\x98\x80\""},
      {long_text, '"' + x17 + "\\\"" + x17 + x17 + "\\u0010" + x17 + "\\\\\""},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(to_compact(Json(text)), expected);
    std::string appended = "x";
    append_compact_string(text, appended);
    EXPECT_EQ(appended.substr(1), expected);
  }
}

// The shortest text that reads back as the same double (test_objects checks
// that every double reads back), plain or with an exponent by magnitude, and
// always with a point or an exponent.
TEST(JsonWriteTest, WritesDoublesShortest) {
  const std::pair<double, std::string> cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {0.1, "0.1"}, {0.1 + 0.2, "0.30000000000000004"},
      {1.0 / 3, "0.3333333333333333"}, {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"}, {1e16, "1e16"},
      {123456789012345678.0, "1.2345678901234568e17"}, {2251799813685248.5, "2251799813685248.5"},
      {1e-4, "0.0001"}, {9.9e-5, "9.9e-5"}, {1.5e300, "1.5e300"},
      {std::numeric_limits<double>::lowest(), "-1.7976931348623157e308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {2.2250738585072009e-308, "2.225073858507201e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {-3 * std::numeric_limits<double>::denorm_min(), "-1.5e-323"},
  };
  for (const auto& [d, text] : cases) {
    EXPECT_EQ(to_compact(Json(d)), text);
    std::string appended = "x";
    append_compact_double(d, appended);
    EXPECT_EQ(appended.substr(1), text);
  }
}

TEST(JsonScannerTest, ReusesScratchAcrossScans) {
  JsonScanner scanner;
  std::string out;
  ValueShape shape;
  ASSERT_TRUE(scanner.scan_value("{\"b\":{\"d\":1,\"c\":2},\"a\":0}", &out, &shape).ok());
  EXPECT_FALSE(scanner.scan_value("{\"b\":{\"d\":1,\"c\":", &out, &shape).ok());
  ASSERT_TRUE(scanner.scan_value("{\"\\u0079\":1,\"x\":[2,3]}", &out, &shape).ok());
  EXPECT_EQ(out, "{\"a\":0,\"b\":{\"c\":2,\"d\":1}}{\"x\":[2,3],\"y\":1}");
  EXPECT_FALSE(shape.is_array);
  std::string block = "keep";
  ArrayScan scan;
  EXPECT_FALSE(scanner.scan_array("[[1,2],{\"b\":1,\"a\":2},[3],]", 2, &block, &scan).ok());
  ASSERT_TRUE(scanner.scan_array("[[1,2],{\"b\":1,\"a\":2},[3]]", 2, &block, &scan).ok());
  EXPECT_EQ(block, "keep[1,2]\n{\"a\":2,\"b\":1}\n[3]\n");
  EXPECT_EQ(scan.elements, 3u);
  EXPECT_EQ(scan.mismatch, 2u);
  EXPECT_FALSE(scan.mismatch_shape.is_array);
}

// The walker reads each value of a compact text whole, string keys included,
// and decodes the escapes the compact form holds.
TEST(CompactReaderTest, ReadsEachValueWhole) {
  CompactReader r(R"({"k\"]":[1,{"a":"}"}],"n":-1.5e3},"s\\",true)");
  ASSERT_TRUE(r.open());
  EXPECT_EQ(r.value(), R"("k\"]")");
  r.colon();
  EXPECT_EQ(r.value(), R"([1,{"a":"}"}])");
  ASSERT_TRUE(r.more());
  std::string scratch;
  EXPECT_EQ(r.string(&scratch), "n");
  r.colon();
  EXPECT_EQ(r.token(), "-1.5e3");
  EXPECT_FALSE(CompactReader::is_integer("-1.5e3"));
  EXPECT_FALSE(r.more());
  ASSERT_TRUE(r.more());
  EXPECT_EQ(r.string(&scratch), "s\\");
  ASSERT_TRUE(r.more());
  EXPECT_EQ(r.value(), "true");
  EXPECT_TRUE(r.at_end());
  CompactReader::decode_string(R"(a\"\b\f\n\r\t\u001fz)", &scratch);
  EXPECT_EQ(scratch, "a\"\b\f\n\r\t\x1fz");
}

// Where decoding fails, the decoders' names for the fault, at the edges of
// each lead byte's range of second bytes: a stray byte after a character
// that is well-formed shows that the character was read as one.
TEST(Utf8Test, NamesTheFaultAtEachEdge) {
  const std::pair<std::string_view, const char*> cases[] = {
      {"\xE0\xA0\x80\xFF", "invalid start byte"},      {"\xE0\x9F\xBF", "invalid continuation byte"},
      {"\xED\x9F\xBF\xFF", "invalid start byte"},      {"\xED\xA0\x80", "invalid continuation byte"},
      {"\xF0\x90\x80\x80\xFF", "invalid start byte"},  {"\xF0\x8F\xBF\xBF", "invalid continuation byte"},
      {"\xF4\x8F\xBF\xBF\xFF", "invalid start byte"},  {"\xF4\x90\x80\x80", "invalid continuation byte"},
      {"\xC2\x80\xFF", "invalid start byte"},          {"\xC1\xBF", "invalid start byte"},
      {"\xEF\xBF", "unexpected end of data"},          {"\xED\x9F\xBF", nullptr},
  };
  for (const auto& [text, fault] : cases) {
    EXPECT_STREQ(utf8_fault(text, false), fault) << testing::PrintToString(std::string(text));
  }
  EXPECT_STREQ(utf8_fault("\xEF\xBF", true), "invalid continuation byte");
}

}  // namespace
}  // namespace quarlen
