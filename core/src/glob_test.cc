#include "quarlen/glob.h"

#include <gtest/gtest.h>

namespace quarlen {
namespace {

// Each row as Python's fnmatch.fnmatchcase(text, pattern) answers it.
TEST(GlobTest, MatchesAsFnmatchcase) {
  struct Case {
    const char* pattern;
    const char* text;
    bool matches;
  };
  const Case cases[] = {
      {"APP", "APP", true},          {"APP*", "APPS", true},        {"A?P", "APP", true},
      {"A?P", "AP", false},          {"*", "", true},               {"*X*", "ABXC", true},
      {"a*b*c", "axxbyyc", true},    {"a*b*c", "axxbyy", false},    {"[A-C]*", "BILLING", true},
      {"[!A-C]*", "BILLING", false}, {"[!A-C]*", "XYZ", true},      {"[]]", "]", true},
      {"[!]]", "a", true},           {"[a-]", "-", true},           {"[z-a]", "z", false},
      {"[!z-a]", "q", true},         {"[", "[", true},              {"[abc", "[abc", true},
      {"*.txt", "a/b.txt", true},    {"[\xc3\xa9]", "\xc3\xa9", true}, {"?", "\xc3\xa9", true},
      {"??", "\xc3\xa9", false},     {"[a-cx-z]", "y", true},       {"[\\]", "\\", true},
      {"app", "APP", false},         {"A[*]B", "A*B", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Glob(c.pattern).matches(c.text), c.matches) << c.pattern << " " << c.text;
  }
}

}  // namespace
}  // namespace quarlen
