#include "quarlen/format.h"

#include <gtest/gtest.h>

#include <string>

namespace quarlen {
namespace {

std::string lookup_error(std::string_view name) {
  auto r = lookup_member(name);
  return r ? std::string("ok") : r.error().message();
}

size_t lookup_columns(std::string_view name) {
  auto r = lookup_member(name);
  EXPECT_TRUE(r.ok()) << name;
  return r ? (*r)->columns.size() : 0;
}

TEST(FormatTest, TableHasNineteenMembersWithThreeKeyed) {
  auto table = member_table();
  ASSERT_EQ(table.size(), 19u);
  std::string keyed;
  for (const MemberSpec& m : table) {
    EXPECT_FALSE(m.columns.empty()) << m.name;
    if (m.keyed) keyed += std::string(m.name) + " ";
  }
  EXPECT_EQ(keyed, "plscope_identifiers plscope_statements control_rows ");
}

TEST(FormatTest, ResolvesNamesAndKeys) {
  EXPECT_EQ(lookup_columns("objects"), 7u);
  EXPECT_EQ(lookup_columns("control_rows/APP"), 1u);
  for (const char* name : {"plscope_identifiers/.", "plscope_identifiers/a.b",
                           "plscope_identifiers/My Schema", "plscope_identifiers/\xC3\xA9",
                           "plscope_identifiers/back\\slash"}) {
    EXPECT_EQ(lookup_columns(name), 10u) << name;
  }
}

TEST(FormatTest, RefusesWithTheMessageOfTheFirstBrokenRule) {
  const std::pair<const char*, const char*> cases[] = {
      {"Objects", "Objects: not a member of quarlen/1"},
      {" objects", " objects: not a member of quarlen/1"},
      {"objects ", "objects : not a member of quarlen/1"},
      {"", ": not a member of quarlen/1"},
      {"/APP", "/APP: not a member of quarlen/1"},
      {"bogus/APP", "bogus/APP: not a member of quarlen/1"},
      {"objects/APP", "objects/APP: objects takes no key"},
      {"objects/", "objects/: objects takes no key"},
      {"control_rows",
       "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"},
      {"control_rows/",
       "control_rows/: control_rows needs a key after a slash (control_rows/OWNER)"},
      {"plscope_identifiers/APP/X",
       "plscope_identifiers/APP/X: plscope_identifiers needs a key after a slash "
       "(plscope_identifiers/OWNER)"},
      {"plscope_identifiers/..",
       "plscope_identifiers/..: plscope_identifiers needs a key after a slash "
       "(plscope_identifiers/OWNER)"},
      {"plscope_identifiers/A..B",
       "plscope_identifiers/A..B: plscope_identifiers needs a key after a slash "
       "(plscope_identifiers/OWNER)"},
  };
  for (const auto& [name, message] : cases) {
    EXPECT_EQ(lookup_error(name), message) << name;
  }
}

TEST(FormatTest, NameWithNulByteIsNotAMember) {
  const std::string name("objects\0x", 9);
  EXPECT_EQ(lookup_error(name), name + ": not a member of quarlen/1");
}

TEST(FormatTest, MembersTextIsCompactAndComplete) {
  const std::string& text = members_json();
  EXPECT_EQ(text.size(), 2018u);
  EXPECT_EQ(text.find(' '), std::string::npos);
  EXPECT_EQ(text.rfind("[[\"objects\",[\"object_id\",\"owner\",\"object_name\",\"object_type\","
                       "\"status\",\"temporary\",\"last_ddl_time\"],false],",
                       0),
            0u);
  EXPECT_NE(text.find(",[\"control_rows\",[\"row\"],true],"), std::string::npos);
}

}  // namespace
}  // namespace quarlen
