#include "quarlen/format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "quarlen/hash.h"

namespace quarlen {
namespace {

// The whole member table, names, columns in their order and keyed flags, as
// stored files depend on it.
TEST(FormatTest, MemberTableIsPinned) {
  const std::string& text = members_json();
  EXPECT_EQ(member_table().size(), 19u);
  EXPECT_EQ(sha256_hex(text), "5df6a045c942bc84ede96088fdf646a6272c66b2500e1648f8cc3d5ff28e50de");
}

// Each key column is one of its member's columns, and a display form names
// every key value.
TEST(FormatTest, KeysAreColumnsAndFormsShowThem) {
  for (const MemberSpec& m : member_table()) {
    for (std::string_view column : m.key) {
      EXPECT_NE(std::find(m.columns.begin(), m.columns.end(), column), m.columns.end()) << m.name;
    }
    for (size_t i = 0; i < m.key.size(); ++i) {
      std::string place = std::to_string(i);
      place.insert(place.begin(), '{');
      place.push_back('}');
      EXPECT_NE(m.shown.find(place), std::string_view::npos) << m.name;
    }
  }
}

TEST(FormatTest, ResolvesNamesOrGivesTheFirstBrokenRule) {
  const std::string nul("objects\0x", 9);
  const std::pair<std::string, std::string> cases[] = {
      {"objects", "7 columns"},
      {"control_rows/APP", "1 columns"},
      {"Objects", "Objects: not a member of quarlen/1"},
      {"bogus/APP", "bogus/APP: not a member of quarlen/1"},
      {nul, nul + ": not a member of quarlen/1"},
      {"objects/APP", "objects/APP: objects takes no key"},
      {"control_rows", "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"},
      {"control_rows/", "control_rows/: control_rows needs a key after a slash (control_rows/OWNER)"},
      {"plscope_identifiers/APP/X", "plscope_identifiers/APP/X: plscope_identifiers needs a key "
                                    "after a slash (plscope_identifiers/OWNER)"},
      {"plscope_identifiers/..", "plscope_identifiers/..: plscope_identifiers needs a key after "
                                 "a slash (plscope_identifiers/OWNER)"},
  };
  for (const auto& [name, expected] : cases) {
    auto r = lookup_member(name);
    EXPECT_EQ(r ? std::to_string((*r)->columns.size()) + " columns" : r.error().message(), expected)
        << name;
  }
}

}  // namespace
}  // namespace quarlen
