#include "quarlen/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarlen {
namespace {

// ---------------------------------------------------------------------------
// Helpers

// A parsed value's compact form, or the description of the refused text.
std::string outcome(const Result<Json>& r) { return r ? to_compact(*r) : r.error().message(); }
std::string compact_of(std::string_view text) { return outcome(parse_json(text)); }
std::string array_of(std::string_view text) { return outcome(parse_json_array(text)); }

uint64_t bits_of(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

// Equality by the library's own writer, which keeps 3 apart from 3.0 and 0.0
// from -0.0 (unlike Json's operator==) and writes doubles that read back exactly.
bool same_value(const Json& a, const Json& b) { return a.dump() == b.dump(); }

void append_code_point(uint32_t cp, std::string& out) {
  static constexpr unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
  const int extra = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  out += static_cast<char>(kLead[extra] | (cp >> (6 * extra)));
  for (int i = extra - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
}

std::string nested_arrays(int depth) {
  return std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']');
}

std::string nested_objects(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"k\":";
  text += "0";
  text += std::string(static_cast<size_t>(depth), '}');
  return text;
}

// ---------------------------------------------------------------------------
// Random values and texts

class RandomJson {
 public:
  explicit RandomJson(uint64_t seed) : rng_(seed) {}

  uint64_t below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < static_cast<uint64_t>(percent); }
  std::mt19937_64& rng() { return rng_; }

  uint32_t code_point() {
    switch (below(8)) {
      case 0: return static_cast<uint32_t>(below(0x20));  // controls
      case 1: {
        static constexpr uint32_t kSpecial[] = {'"', '\\', '/', 0x7F, 0x80, 0x7FF, 0x800,
                                                0xFFFF, 0x10000, 0x10FFFF, 0xD7FF, 0xE000};
        return kSpecial[below(std::size(kSpecial))];
      }
      case 2: return static_cast<uint32_t>(0x80 + below(0x780));
      case 3: {
        uint32_t cp;
        do cp = static_cast<uint32_t>(0x800 + below(0xF800)); while (cp >= 0xD800 && cp <= 0xDFFF);
        return cp;
      }
      case 4: return static_cast<uint32_t>(0x10000 + below(0x100000));
      default: return static_cast<uint32_t>(0x20 + below(0x5F));  // printable ASCII
    }
  }

  std::u32string code_points() {
    std::u32string s;
    for (uint64_t n = below(4) == 0 ? 0 : below(12); n > 0; --n) s += code_point();
    return s;
  }
  std::string string() {
    std::string s;
    for (char32_t cp : code_points()) append_code_point(cp, s);
    return s;
  }

  double finite_double() {
    static const double kSpecial[] = {
        0.0, -0.0, 1.0, -1.0, 2.0, 0.1, 1.5, 1e16, 1e-4, 9.999999999999998e15, 1e-5,
        std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(),
        std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min(),
        -std::numeric_limits<double>::denorm_min(), 18446744073709551616.0,
        -9223372036854775808.0, 4503599627370496.5, 123456789012345678.0};
    switch (below(4)) {
      case 0: return kSpecial[below(std::size(kSpecial))];
      case 1: {  // a subnormal
        const uint64_t b = (below(2) << 63) | (rng_() & ((uint64_t{1} << 52) - 1));
        double d;
        std::memcpy(&d, &b, sizeof d);
        return d;
      }
      case 2: return static_cast<double>(static_cast<int64_t>(rng_() >> below(64))) / 100;
      default: {
        for (;;) {
          const uint64_t b = rng_();
          double d;
          std::memcpy(&d, &b, sizeof d);
          if (std::isfinite(d)) return d;
        }
      }
    }
  }

  Json value(int depth) {
    const uint64_t kinds = depth <= 1 ? 7 : 9;
    switch (below(kinds)) {
      case 0: return nullptr;
      case 1: return chance(50);
      case 2: {
        static constexpr uint64_t kEdge[] = {0, 1, 9223372036854775807u, 9223372036854775808u,
                                             18446744073709551615u};
        return chance(30) ? kEdge[below(std::size(kEdge))] : rng_() >> below(64);
      }
      case 3: {
        if (chance(30)) return std::numeric_limits<int64_t>::min();
        return -static_cast<int64_t>(1 + (rng_() >> (1 + below(63))));
      }
      case 4: return finite_double();
      case 5:
      case 6: return string();
      case 7: {
        Json a = Json::array();
        for (uint64_t n = below(5); n > 0; --n) a.push_back(value(depth - 1));
        return a;
      }
      default: {
        Json o = Json::object();
        for (uint64_t n = below(5); n > 0; --n) o[string()] = value(depth - 1);
        return o;
      }
    }
  }

  // ---- Texts: random spellings of random values, the way callers write them.

  std::string space() {
    if (!chance(25)) return "";
    static constexpr const char* kSpace[] = {" ", "\n", "\t", "\r", "  ", " \r\n "};
    return kSpace[below(std::size(kSpace))];
  }

  // A number literal, often at a boundary of a number kind.
  std::string number_text() {
    static constexpr const char* kEdge[] = {
        "0", "-0", "18446744073709551615", "18446744073709551616", "-9223372036854775808",
        "-9223372036854775809", "9223372036854775807", "9223372036854775808",
        "99999999999999999999", "100000000000000000000", "1.7976931348623157e308",
        "1.7976931348623158e308", "1.7976931348623159e308", "1e308", "1e309", "-1e309",
        "4.9e-324", "2e-324", "3e-324", "1e-400", "-1e-400", "0e999999999999",
        "0.000000000000000000001e330", "1E+2", "1.50", "2.0", "-0.0", "1e20", "1.5e-7",
        "123456789012345678901234567890", "0.1e-99999999999999999"};
    if (chance(40)) return kEdge[below(std::size(kEdge))];
    std::string s;
    if (chance(30)) s += '-';
    if (chance(20)) {
      s += '0';
    } else {
      s += static_cast<char>('1' + below(9));
      for (uint64_t n = below(20); n > 0; --n) s += static_cast<char>('0' + below(10));
    }
    if (chance(40)) {
      s += '.';
      for (uint64_t n = 1 + below(18); n > 0; --n) s += static_cast<char>('0' + below(10));
    }
    if (chance(30)) {
      s += chance(50) ? 'e' : 'E';
      if (chance(50)) s += chance(50) ? '-' : '+';
      for (uint64_t n = 1 + below(3); n > 0; --n) s += static_cast<char>('0' + below(10));
    }
    return s;
  }

  // One code point of a string body, spelled raw or as one of its escapes.
  void spell(uint32_t cp, std::string& out) {
    const bool must_escape = cp < 0x20 || cp == '"' || cp == '\\';
    if (!must_escape && chance(70)) {
      append_code_point(cp, out);
      return;
    }
    static constexpr std::pair<uint32_t, const char*> kShort[] = {
        {'"', "\\\""}, {'\\', "\\\\"}, {'/', "\\/"}, {'\b', "\\b"},
        {'\f', "\\f"}, {'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}};
    for (const auto& [c, escape] : kShort) {
      if (c == cp && chance(50)) {
        out += escape;
        return;
      }
    }
    const auto hex4 = [&](uint32_t unit) {
      const char* digits = chance(50) ? "0123456789abcdef" : "0123456789ABCDEF";
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += digits[(unit >> shift) & 0xF];
    };
    if (cp < 0x10000) {
      hex4(cp);
    } else {
      hex4(0xD800 + ((cp - 0x10000) >> 10));
      hex4(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
  }

  std::string string_text(const std::u32string& code_points) {
    std::string out = "\"";
    for (char32_t cp : code_points) spell(cp, out);
    return out + '"';
  }

  // Object keys from a small pool, so that objects repeat keys and need sorting;
  // some differ only in bytes above 0x7F or below 0x20.
  std::u32string key() {
    static const char32_t* const kKeys[] = {U"a", U"b", U"B", U"aa", U"", U"\x01", U"a\x1f",
                                            U"\"", U"\\", U"/", U"z", U"\u00e9", U"\u4e2d",
                                            U"\U0001F600", U"\x7F", U"a b"};
    return kKeys[below(std::size(kKeys))];
  }

  void value_text(int depth, std::string& out) {
    out += space();
    const uint64_t kinds = depth <= 1 ? 5 : 7;
    switch (below(kinds)) {
      case 0: {
        static constexpr const char* kWords[] = {"null", "true", "false"};
        out += kWords[below(3)];
        break;
      }
      case 1:
      case 2: out += number_text(); break;
      case 3:
      case 4: out += string_text(code_points()); break;
      case 5: {
        out += '[';
        const uint64_t n = below(5);
        for (uint64_t i = 0; i < n; ++i) {
          if (i > 0) out += ',';
          value_text(depth - 1, out);
        }
        if (n == 0) out += space();
        out += ']';
        break;
      }
      default: {
        out += '{';
        const uint64_t n = below(6);
        for (uint64_t i = 0; i < n; ++i) {
          if (i > 0) out += ',';
          out += space();
          out += string_text(key());
          out += space();
          out += ':';
          value_text(depth - 1, out);
        }
        if (n == 0) out += space();
        out += '}';
        break;
      }
    }
    out += space();
  }

  // Breaks `text` in one to three places.
  std::string mutate(std::string text) {
    static constexpr char kBytes[] = {'[', ']', '{', '}', ',', ':', '"', '\\', '0', '1', '-',
                                      '.', 'e', '+', ' ', '\n', '\r', 'u', 'D', 'n', 't', 'x',
                                      '\x1f', '\x7f', '\xC3', '\xA9'};
    for (uint64_t n = 1 + below(3); n > 0; --n) {
      const auto byte = [&] {
        return chance(80) ? kBytes[below(std::size(kBytes))] : static_cast<char>(rng_());
      };
      const uint64_t kind = below(4);
      if (kind == 0 && !text.empty()) text[below(text.size())] = byte();
      if (kind == 1 && !text.empty()) text.erase(below(text.size()), 1);
      if (kind == 2) text.insert(below(text.size() + 1), 1, byte());
      if (kind == 3) text.resize(below(text.size() + 1));
    }
    return text;
  }

 private:
  std::mt19937_64 rng_;
};

// ---------------------------------------------------------------------------
// Parsing, and the compact form of what was parsed

TEST(JsonParseTest, WritesParsedTextsCompactly) {
  const std::pair<std::string, std::string> cases[] = {
      {" \t\r\n{ \"x\" : [ true , false , null ] }\n", "{\"x\":[true,false,null]}"},
      {"[ ]", "[]"},
      {"{ }", "{}"},
      {"\"\"", "\"\""},
      // Keys sorted by their bytes: uppercase first, a prefix before its
      // extensions, bytes above 0x7F last; of repeated keys the last one wins,
      // however it was spelled.
      {"{\"\xC3\xA9\":1,\"b\":2,\"ab\":3,\"a\":4,\"B\":5,\"\":6}",
       "{\"\":6,\"B\":5,\"a\":4,\"ab\":3,\"b\":2,\"\xC3\xA9\":1}"},
      {"{\"a\":1,\"\\u0061\":2}", "{\"a\":2}"},
      {"{\"\\u0001\":1,\"\\u0000\":2,\" \":3}", "{\"\\u0000\":2,\"\\u0001\":1,\" \":3}"},
      {"{\"a\":{\"d\":1,\"c\":2},\"a\":[3]}", "{\"a\":[3]}"},
      // Escapes decoded, and written again only where needed.
      {"\"\\u001F\"", "\"\\u001f\""},
      {"\"\\b\\t\\n\\f\\r\\\"\\\\\\/\"", "\"\\b\\t\\n\\f\\r\\\"\\\\/\""},
      {"\"\\u0008\\u0009\\u000a\\u000C\\u000d\"", "\"\\b\\t\\n\\f\\r\""},
      {"\"\\u0022\\u005c\\u002F\\u007f\"", "\"\\\"\\\\/\x7f\""},
      {"\"\\u00e9\\u4E2D\"", "\"\xC3\xA9\xE4\xB8\xAD\""},
      {"\"\\ud83d\\uDE00\"", "\"\xF0\x9F\x98\x80\""},
      {"\"\\uDBFF\\uDFFF\"", "\"\xF4\x8F\xBF\xBF\""},
      {"\"\\u0000\"", "\"\\u0000\""},
      {"\"\\uFFFF\"", "\"\xEF\xBF\xBF\""},
      // Numbers: the three kinds, and doubles in their shortest form.
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"18446744073709551616", "1.8446744073709552e19"},
      {"-9223372036854775809", "-9.223372036854776e18"},
      {"-0", "-0.0"},
      {"1.50", "1.5"},
      {"2", "2"},
      {"2e0", "2.0"},
      {"1E+2", "100.0"},
      {"1e20", "1e20"},
      {"0.00000015", "1.5e-7"},
      {"-1.5e300", "-1.5e300"},
      {"1e-400", "0.0"},
  };
  for (const auto& [text, compact] : cases) EXPECT_EQ(compact_of(text), compact) << text;
  EXPECT_EQ(parse_json("\"a\\u0000b\"")->get<std::string>(), std::string("a\0b", 3));
}

TEST(JsonParseTest, DescribesFaultsWithLineAndColumn) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "EOF while parsing a value at line 1 column 1"},
      {"\n\n", "EOF while parsing a value at line 3 column 1"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1] x", "trailing characters at line 1 column 5"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1, 2:3}", "key must be a string at line 1 column 9"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"[", "EOF while parsing a list at line 1 column 2"},
      {"[1", "EOF while parsing a list at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 4"},
      {"{", "EOF while parsing an object at line 1 column 2"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 5"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 6"},
      {"{\"a\":1,", "EOF while parsing an object at line 1 column 8"},
      {"tru", "EOF while parsing a value at line 1 column 4"},
      {"fals e", "invalid literal at line 1 column 5"},
      {"x", "expected value at line 1 column 1"},
      {"[1,,2]", "expected value at line 1 column 4"},
      {"\"\xC3\xA9\" x", "trailing characters at line 1 column 5"},  // é is one column
      {"[\n  1,\n  \xE4\xB8\xAD]", "expected value at line 3 column 3"},
      // Numbers.
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"-", "invalid number at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "invalid number at line 1 column 3"},
      {"[1E-]", "invalid number at line 1 column 5"},
      {".5", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {"-1e309", "number out of range at line 1 column 1"},
      {"[0, 1.7976931348623159e308]", "number out of range at line 1 column 5"},
      {std::string(1, '1').append(309, '0'), "number out of range at line 1 column 1"},
      {"0.1e310", "number out of range at line 1 column 1"},
      {"1.5.2", "trailing characters at line 1 column 4"},
      // Strings.
      {"\"abc", "EOF while parsing a string at line 1 column 5"},
      {"\"ab\\", "EOF while parsing a string at line 1 column 5"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 6"},
      {"\"ab\\uDFFF\"", "lone trailing surrogate in hex escape at line 1 column 4"},
      {"\"\\uD800\"", "lone leading surrogate in hex escape at line 1 column 2"},
      {"\"\\uD800\\n\"", "lone leading surrogate in hex escape at line 1 column 2"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 2"},
      {"\"\\uD800\\uE000\"", "lone leading surrogate in hex escape at line 1 column 2"},
      {"\"\\uD800", "EOF while parsing a string at line 1 column 8"},
      {"\"\\uD800\\uDC", "EOF while parsing a string at line 1 column 12"},
      {"\"\\uD800\\uDCxx\"", "invalid escape at line 1 column 12"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12g4\"", "invalid escape at line 1 column 6"},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string("\"\0\"", 3),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(compact_of(text), message) << text;
}

TEST(JsonParseTest, NestsUpTo127Levels) {
  EXPECT_EQ(compact_of(nested_arrays(127)), nested_arrays(127));
  EXPECT_EQ(compact_of(nested_objects(127)), nested_objects(127));
  EXPECT_EQ(compact_of(nested_arrays(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(compact_of(nested_objects(128)), "recursion limit exceeded at line 1 column 636");
  EXPECT_EQ(array_of(nested_arrays(128)), "recursion limit exceeded at line 1 column 128");
  // Mixed kinds count alike; the limit is on depth, not on the number of containers.
  std::string mixed, closing;
  for (int i = 0; i < 127; ++i) mixed += i % 2 == 0 ? "[" : "{\"k\":";
  for (int i = 126; i >= 0; --i) closing += i % 2 == 0 ? "]" : "}";
  EXPECT_TRUE(parse_json(mixed + closing).ok());
  EXPECT_EQ(compact_of(mixed + "[]" + closing).substr(0, 24), "recursion limit exceeded");
  std::string wide = "[";
  for (int i = 0; i < 300; ++i) wide.append(i > 0 ? "," : "").append(nested_arrays(126));
  EXPECT_TRUE(parse_json_array(wide.append("]")).ok());
}

TEST(JsonParseTest, KeepsTheThreeNumberKindsApart) {
  const std::pair<std::string, Json::value_t> kinds[] = {
      {"18446744073709551615", Json::value_t::number_unsigned},
      {"18446744073709551616", Json::value_t::number_float},
      {"-9223372036854775808", Json::value_t::number_integer},
      {"-9223372036854775809", Json::value_t::number_float},
      {"0", Json::value_t::number_unsigned},
      {"-0", Json::value_t::number_float},
      {"3e0", Json::value_t::number_float},
  };
  for (const auto& [text, kind] : kinds) EXPECT_EQ(parse_json(text)->type(), kind) << text;
  EXPECT_EQ(parse_json("-9223372036854775808")->get<int64_t>(),
            std::numeric_limits<int64_t>::min());
  EXPECT_EQ(parse_json("-9223372036854775809")->get<double>(), -9223372036854775808.0);
  EXPECT_EQ(bits_of(parse_json("-0")->get<double>()), bits_of(-0.0));
  EXPECT_EQ(bits_of(parse_json("-1e-400")->get<double>()), bits_of(-0.0));
  EXPECT_EQ(parse_json("4.9e-324")->get<double>(), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(parse_json("1.7976931348623157e308")->get<double>(),
            std::numeric_limits<double>::max());
  EXPECT_EQ(parse_json("0e99999999999999999999")->get<double>(), 0.0);
  EXPECT_EQ(parse_json("2.2250738585072011e-308")->get<double>(), 2.2250738585072011e-308);
}

TEST(JsonParseTest, ArrayParseNamesTheKindFound) {
  const std::pair<std::string, std::string> cases[] = {
      {"  {\"a\":[]}", "invalid type: map, expected a sequence at line 1 column 3"},
      {"\"s\"", "invalid type: string, expected a sequence at line 1 column 1"},
      {"false", "invalid type: boolean, expected a sequence at line 1 column 1"},
      {"null", "invalid type: null, expected a sequence at line 1 column 1"},
      {"\n-7", "invalid type: integer, expected a sequence at line 2 column 1"},
      {"7", "invalid type: integer, expected a sequence at line 1 column 1"},
      {"1.5", "invalid type: floating point number, expected a sequence at line 1 column 1"},
      {"18446744073709551616",
       "invalid type: floating point number, expected a sequence at line 1 column 1"},
      // A first token that is itself broken is described as such.
      {"1e999", "number out of range at line 1 column 1"},
      {"x", "expected value at line 1 column 1"},
      {" \n", "EOF while parsing a value at line 2 column 1"},
      {"[1] 2", "trailing characters at line 1 column 5"},
      {" [1, {\"b\":0,\"a\":1}, []] ", "[1,{\"a\":1,\"b\":0},[]]"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(array_of(text), message) << text;
}

// The end of a view is the end of the text, whatever bytes the buffer holds after it.
TEST(JsonParseTest, StopsAtTheEndOfTheView) {
  const struct {
    std::string_view buffer;
    size_t size;
    const char* message;
  } cases[] = {
      {"[1,]]", 3, "EOF while parsing a value at line 1 column 4"},
      {"[[1],]", 5, "EOF while parsing a value at line 1 column 6"},
      {"{\"a\":1,}", 7, "EOF while parsing an object at line 1 column 8"},
      {"\"\\u0041\"", 5, "EOF while parsing a string at line 1 column 6"},
      {"truefalse", 3, "EOF while parsing a value at line 1 column 4"},
  };
  for (const auto& c : cases) EXPECT_EQ(compact_of(c.buffer.substr(0, c.size)), c.message);
  const std::string_view cut = std::string_view("[1,]]").substr(0, 3);
  EXPECT_EQ(array_of(cut), "EOF while parsing a value at line 1 column 4");
  JsonScanner scanner;
  std::string out = "keep";
  ValueShape shape;
  ArrayScan scan;
  EXPECT_FALSE(scanner.scan_value(cut, &out, &shape));
  EXPECT_FALSE(scanner.scan_value(cut, nullptr, &shape));
  EXPECT_FALSE(scanner.scan_array(cut, 0, &out, &scan));
  EXPECT_FALSE(scanner.scan_array(cut, 0, nullptr, &scan));
  EXPECT_EQ(out, "keep");
}

// ---------------------------------------------------------------------------
// Writing strings and numbers

TEST(JsonWriteTest, EscapesOnlyWhereNeeded) {
  EXPECT_EQ(to_compact(Json(std::string("\0\x01\x0b\x0e\x1f", 5))),
            "\"\\u0000\\u0001\\u000b\\u000e\\u001f\"");
  EXPECT_EQ(to_compact(Json("\b\t\n\f\r\"\\")), "\"\\b\\t\\n\\f\\r\\\"\\\\\"");
  EXPECT_EQ(to_compact(Json("a/b\x7f\xC3\xA9\xF0\x9F\x98\x80")), "\"a/b\x7f\xC3\xA9\xF0\x9F\x98\x80\"");
  // Long enough to go through the wide search for special bytes more than once.
  std::string long_text(70, 'x');
  long_text[17] = '"';
  long_text[40] = '\x10';
  long_text[69] = '\\';
  std::string expected = "\"";
  expected.append(17, 'x').append("\\\"").append(22, 'x').append("\\u0010");
  expected.append(28, 'x').append("\\\\\"");
  EXPECT_EQ(to_compact(Json(long_text)), expected);
}

TEST(JsonWriteTest, ChecksUtf8) {
  EXPECT_TRUE(valid_utf8("plain ascii, long enough for the word-wide path"));
  EXPECT_TRUE(valid_utf8("\x7f\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"));
  EXPECT_TRUE(valid_utf8("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
  EXPECT_TRUE(valid_utf8(std::string("a\0b", 3)));
  const char* const bad[] = {
      "\x80",              // a stray continuation byte
      "abcdefgh\xBF",      // the same after the word-wide path
      "\xC1\xBF",          // overlong U+007F
      "\xE0\x9F\xBF",      // overlong U+07FF
      "\xF0\x8F\xBF\xBF",  // overlong U+FFFF
      "\xED\xA0\x80",      // U+D800
      "\xF4\x90\x80\x80",  // U+110000
      "\xF5\x80\x80\x80",  // no such lead byte
      "\xC3",              // truncated pair
      "\xE4\xB8",          // truncated triple
      "\xF0\x9F\x98",      // truncated quadruple
      "\xC3\x41",          // continuation missing
      "\xE4\x41\x80",
      "\xF0\x9F\x41\x80",
  };
  for (const char* b : bad) EXPECT_FALSE(valid_utf8(b)) << testing::PrintToString(b);
}

TEST(JsonWriteTest, DoublesSwitchFormsAtTheirBounds) {
  const std::pair<double, std::string> cases[] = {
      {1e16, "1e16"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e-4, "0.0001"},
      {9.9e-5, "9.9e-5"},
      {std::numeric_limits<double>::lowest(), "-1.7976931348623157e308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
  };
  for (const auto& [d, text] : cases) EXPECT_EQ(to_compact(Json(d)), text);
  EXPECT_EQ(to_compact(Json(int64_t{-1})), "-1");
}

// Shortest: with one significant digit fewer, no decimal text reads back as the same double.
bool shortest(double d, const std::string& text) {
  const size_t e = text.find('e');
  std::string mantissa = text.substr(0, e);
  std::string digits;
  for (char c : mantissa) {
    if (c >= '0' && c <= '9') digits += c;
  }
  digits.erase(0, digits.find_first_not_of('0'));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  if (digits.size() <= 1) return true;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", static_cast<int>(digits.size()) - 2, d);
  return std::strtod(buf, nullptr) != d;
}

TEST(JsonNumberTest, DoublesRoundTripInTheirShortestForm) {
  RandomJson random(0x5eed0001);
  for (int i = 0; i < 20000; ++i) {
    const double d = random.finite_double();
    const std::string text = to_compact(Json(d));
    auto back = parse_json(text);
    ASSERT_TRUE(back.ok()) << text;
    ASSERT_TRUE(back->is_number_float()) << text;
    ASSERT_EQ(bits_of(back->get<double>()), bits_of(d)) << text;
    ASSERT_TRUE(shortest(d, text)) << text;
    ASSERT_EQ(text.find('+'), std::string::npos) << text;
    ASSERT_NE(text.find_first_of(".e"), std::string::npos) << text;
    const size_t e = text.find('e');
    if (e != std::string::npos) {
      const size_t exponent = text[e + 1] == '-' ? e + 2 : e + 1;
      ASSERT_NE(text[exponent], '0') << text;
    }
  }
}

// ---------------------------------------------------------------------------
// The pretty form

TEST(JsonPrettyTest, WritesTheManifestLayout) {
  auto v = parse_json("{\"members\":{},\"format\":\"quarlen/1\",\"z\":[1,{\"y\":null}]}");
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(to_pretty(*v),
            "{\n"
            "  \"format\": \"quarlen/1\",\n"
            "  \"members\": {},\n"
            "  \"z\": [\n"
            "    1,\n"
            "    {\n"
            "      \"y\": null\n"
            "    }\n"
            "  ]\n"
            "}");
  EXPECT_EQ(to_pretty(Json("a\nb")), "\"a\\nb\"");
  EXPECT_EQ(to_pretty(*parse_json("[[],[[]],{\"a\":[]}]")),
            "[\n  [],\n  [\n    []\n  ],\n  {\n    \"a\": []\n  }\n]");
}

// ---------------------------------------------------------------------------
// Properties over random values

bool has_space_outside_strings(const std::string& text) {
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (in_string && text[i] == '\\') ++i;
    else if (text[i] == '"') in_string = !in_string;
    else if (!in_string && std::strchr(" \n\r\t", text[i]) != nullptr) return true;
  }
  return false;
}

TEST(JsonPropertyTest, BothFormsParseBackToTheSameValue) {
  RandomJson random(0x5eed0002);
  for (int i = 0; i < 3000; ++i) {
    const Json v = random.value(5);
    const std::string compact = to_compact(v);
    const std::string pretty = to_pretty(v);
    auto from_compact = parse_json(compact);
    ASSERT_TRUE(from_compact.ok()) << compact << ": " << from_compact.error().message();
    ASSERT_TRUE(same_value(*from_compact, v)) << compact;
    auto from_pretty = parse_json(pretty);
    ASSERT_TRUE(from_pretty.ok()) << pretty << ": " << from_pretty.error().message();
    ASSERT_TRUE(same_value(*from_pretty, v)) << pretty;
    ASSERT_FALSE(has_space_outside_strings(compact)) << compact;
    ASSERT_TRUE(valid_utf8(compact)) << compact;
    // The same value always gives the same text, however it was reached.
    ASSERT_EQ(to_compact(*from_pretty), compact);
    ASSERT_EQ(to_pretty(*from_compact), pretty);
    std::string appended = "x";
    append_compact(v, appended);
    ASSERT_EQ(appended, std::string("x").append(compact));
  }
}

// ---------------------------------------------------------------------------
// The scanner against its model

class JsonScannerTest : public testing::Test {
 protected:
  // Runs every scan on `text` and compares it with the model; `columns` is the
  // row length that scan_array is told to look for.
  void expect_same_as_model(std::string_view text, size_t columns) {
    // In a heap block of exactly its size, so that the sanitizer build reports
    // a read past the end of the view.
    const std::vector<char> exact(text.begin(), text.end());
    const std::string_view t(exact.data(), exact.size());
    SCOPED_TRACE(testing::PrintToString(std::string(text)));

    auto model = parse_json(t);
    std::string compact = "<";
    ValueShape shape{true, 99};
    const bool emitted = scanner_.scan_value(t, &compact, &shape).ok();
    ValueShape checked_shape{true, 99};
    const bool checked = scanner_.scan_value(t, nullptr, &checked_shape).ok();
    ASSERT_EQ(emitted, model.ok()) << (model ? "" : model.error().message());
    ASSERT_EQ(checked, model.ok());
    if (model) {
      ++accepted_;
      ASSERT_EQ(compact.substr(1), to_compact(*model));
      for (const ValueShape& s : {shape, checked_shape}) {
        ASSERT_EQ(s.is_array, model->is_array());
        ASSERT_EQ(s.size, model->is_array() ? model->size() : 0);
      }
    } else {
      ASSERT_EQ(compact, "<");
    }

    auto array_model = parse_json_array(t);
    std::string block = ">";
    ArrayScan scan;
    const bool scanned = scanner_.scan_array(t, columns, &block, &scan).ok();
    ArrayScan checked_scan;
    const bool array_checked = scanner_.scan_array(t, columns, nullptr, &checked_scan).ok();
    ASSERT_EQ(scanned, array_model.ok()) << (array_model ? "" : array_model.error().message());
    ASSERT_EQ(array_checked, array_model.ok());
    if (!array_model) {
      ASSERT_EQ(block, ">");
      return;
    }
    std::string expected_block = ">";
    ArrayScan expected;
    for (const Json& e : array_model->get_ref<const Json::array_t&>()) {
      append_compact(e, expected_block);
      expected_block += '\n';
      ++expected.elements;
      if (columns != 0 && expected.mismatch == 0 && !(e.is_array() && e.size() == columns)) {
        expected.mismatch = expected.elements;
        expected.mismatch_shape = ValueShape{e.is_array(), e.is_array() ? e.size() : 0};
      }
    }
    ASSERT_EQ(block, expected_block);
    for (const ArrayScan* s : {&scan, &checked_scan}) {
      ASSERT_EQ(s->elements, expected.elements);
      ASSERT_EQ(s->mismatch, expected.mismatch);
      ASSERT_EQ(s->mismatch_shape.is_array, expected.mismatch_shape.is_array);
      ASSERT_EQ(s->mismatch_shape.size, expected.mismatch_shape.size);
    }
  }

  // Seeds for the mutations: the texts where acceptance turns on a single byte.
  static std::vector<std::string> edge_texts() {
    std::vector<std::string> texts = {
        "[1, 2 ,3]", "{\"b\":1,\"a\":2}", "{\"a\":1,\"a\":2}", "[1,]", "[1] x", "",
        "{\"\\u0061\":1,\"a\":[2,{\"c\":0,\"b\":1}],\"\\u0000\":null,\"\\n\":true}",
        "[\"\\ud83d\\ude00\",\"\\u00e9\",\"\\/\",\"\\u001f\",\"\x7f\"]",
        "[18446744073709551615,18446744073709551616,-9223372036854775808,"
        "-9223372036854775809,-0,1.50,2.0,1e20,1.5e-7,1e308,4.9e-324,1e-400]",
        "[[1,2,3,4],[null,null,null,null],[1,[2,[3]],{},true]]",
        "[[1],[2,3],{}]",
        "{\"z\":{\"y\":{\"x\":1,\"w\":2},\"v\":3},\"u\":4,\"z\":5}",
    };
    for (int depth : {126, 127, 128}) {
      texts.push_back(nested_arrays(depth));
      texts.push_back(nested_objects(depth));
      texts.push_back(std::string("[").append(nested_arrays(depth - 1)).append(",[]]"));
    }
    return texts;
  }

  JsonScanner scanner_;
  int accepted_ = 0;
};

TEST_F(JsonScannerTest, AgreesWithTheModelOnTheExamples) {
  for (const std::string& text : edge_texts()) {
    for (size_t columns : {0, 1, 4}) expect_same_as_model(text, columns);
  }
  // Every short fault text at least once.
  const char* const faults[] = {
      "[1 2]", "{\"a\" 1}", "{\"a\":1 \"b\":2}", "{1:2}", "{\"a\":1,}", "tru", "trux",
      "x", "01", "1.", "1e", "-", "1e309", "\"\\x\"", "\"\\uD800\"", "\"\\uDC00\"",
      "\"a\x01\"", "\"abc", "{", "[", "{}", "\"s\"", "true", "null", "1.5", "7"};
  for (const char* text : faults) expect_same_as_model(text, 0);
  EXPECT_GT(accepted_, 0);
}

TEST_F(JsonScannerTest, AgreesWithTheModelOnRandomTexts) {
  RandomJson random(0x5eed0003);
  std::vector<std::string> seeds = edge_texts();
  for (int i = 0; i < 2500; ++i) {
    std::string text;
    if (random.chance(50)) {
      text += '[';
      for (uint64_t n = random.below(5), k = 0; k < n; ++k) {
        if (k > 0) text += ',';
        random.value_text(4, text);
      }
      text += ']';
    } else {
      random.value_text(5, text);
    }
    const size_t columns = random.below(4);
    expect_same_as_model(text, columns);
    if (HasFatalFailure()) return;
    // A value written in either form, with the model's spelling and key order.
    auto model = parse_json(text);
    if (model) {
      expect_same_as_model(to_pretty(*model), columns);
      if (HasFatalFailure()) return;
    }
    if (random.chance(10)) seeds.push_back(text);
  }
  const int accepted_valid = accepted_;
  EXPECT_GT(accepted_valid, 1500);
  for (int i = 0; i < 6000; ++i) {
    const std::string& seed = seeds[random.below(seeds.size())];
    expect_same_as_model(random.mutate(seed), random.below(4));
    if (HasFatalFailure()) return;
  }
  // Mutations must leave both outcomes common, or they test little.
  EXPECT_GT(accepted_ - accepted_valid, 300);
  EXPECT_LT(accepted_ - accepted_valid, 5700);
}

// Large enough that reordering cannot lean on a small sort that happens to keep
// equal keys in input order.
TEST_F(JsonScannerTest, KeepsTheLastOfManyRepeatedKeys) {
  std::string text = "{";
  for (int i = 0; i < 200; ++i) {
    if (i > 0) text += ',';
    text += "\"k" + std::to_string((i * 3) % 7) + "\":" + std::to_string(i);
  }
  text += "}";
  // Key k last appears at the largest i below 200 with 3i = k (mod 7).
  std::string expected = "{";
  for (int k = 0; k < 7; ++k) {
    int last = 199;
    while ((last * 3) % 7 != k) --last;
    expected.append(k > 0 ? ",\"k" : "\"k").append(std::to_string(k) + "\":" + std::to_string(last));
  }
  expected += "}";
  EXPECT_EQ(compact_of(text), expected);
  expect_same_as_model(text, 0);
}

TEST_F(JsonScannerTest, ReusesScratchAcrossScans) {
  std::string out;
  ValueShape shape;
  ASSERT_TRUE(scanner_.scan_value("{\"b\":{\"d\":1,\"c\":2},\"a\":0}", &out, &shape));
  EXPECT_FALSE(scanner_.scan_value("{\"b\":{\"d\":1,\"c\":", &out, &shape));
  ASSERT_TRUE(scanner_.scan_value("{\"y\":1,\"x\":2}", &out, &shape));
  EXPECT_EQ(out, "{\"a\":0,\"b\":{\"c\":2,\"d\":1}}{\"x\":2,\"y\":1}");
  EXPECT_FALSE(shape.is_array);
  ASSERT_TRUE(scanner_.scan_value(" [1,[2,3,4]] ", nullptr, &shape));
  EXPECT_TRUE(shape.is_array);
  EXPECT_EQ(shape.size, 2u);
  std::string block;
  ArrayScan scan;
  ASSERT_TRUE(scanner_.scan_array("[[1,2],{\"b\":1,\"a\":2},[3]]", 2, &block, &scan));
  EXPECT_EQ(block, "[1,2]\n{\"a\":2,\"b\":1}\n[3]\n");
  EXPECT_EQ(scan.elements, 3u);
  EXPECT_EQ(scan.mismatch, 2u);
  EXPECT_FALSE(scan.mismatch_shape.is_array);
  ASSERT_TRUE(scanner_.scan_array("[]", 2, &block, &scan));
  EXPECT_EQ(scan.elements, 0u);
  EXPECT_EQ(scan.mismatch, 0u);
}

}  // namespace
}  // namespace quarlen
