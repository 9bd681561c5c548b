#include "quarlen/diff.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "quarlen/hash.h"
#include "quarlen/reader.h"
#include "quarlen/writer.h"
#include "zip/file.h"
#include "zip/zip_writer.h"

namespace quarlen {
namespace {

namespace fs = std::filesystem;

using Members = std::map<std::string, std::string>;  // name -> rows as one JSON array

class DiffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "diff_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A snapshot written by the writer.
  std::string write(const std::string& name, const Members& members) {
    const std::string path = (dir_ / name).string();
    auto w = ArchiveWriter::create(path);
    EXPECT_TRUE(w.ok());
    for (const auto& [member, rows] : members) {
      EXPECT_TRUE((*w)->begin(member).ok());
      EXPECT_TRUE((*w)->rows(rows).ok());
      EXPECT_TRUE((*w)->end().ok());
    }
    EXPECT_TRUE((*w)->finish("{}").ok());
    return path;
  }

  // A snapshot whose one member, comments, holds `text` under a record of `recorded`.
  std::string write_damaged(const std::string& name, const std::string& text,
                            const std::string& recorded) {
    const std::string path = (dir_ / name).string();
    auto file = zip::OutputFile::create(path);
    EXPECT_TRUE(file.ok());
    zip::ZipWriter zip(std::move(*file));
    EXPECT_TRUE(zip.start_entry("comments.jsonl").ok());
    EXPECT_TRUE(zip.write(text).ok());
    EXPECT_TRUE(zip.start_entry("manifest.json").ok());
    EXPECT_TRUE(zip.write("{\"format\":\"quarlen/1\",\"members\":{\"comments\":{\"rows\":1,"
                          "\"sha256\":\"" + sha256_hex(recorded) + "\"}}}").ok());
    EXPECT_TRUE(zip.finish().ok());
    return path;
  }

  fs::path dir_;
};

// The changes as text: "~ key old -> new [columns]", "- key row", "+ key row";
// or the message.
std::vector<std::string> changes(const std::string& old_path, const std::string& new_path,
                                 const std::string& name, std::vector<size_t> key,
                                 const DiffRules& rules = DiffRules()) {
  auto result = diff_member(old_path, new_path, name, key, nullptr, rules);
  if (!result) return {result.error().message()};
  std::vector<std::string> out;
  for (const RowChange& c : *result) {
    std::string columns;
    for (size_t i : c.columns) {
      if (!columns.empty()) columns += ',';
      columns += std::to_string(i);
    }
    // An added or removed row has no other side and no columns: any would show.
    if (c.kind == ChangeKind::kAdded) {
      out.push_back("+ " + c.key + " " + c.new_row + c.old_row + columns);
    } else if (c.kind == ChangeKind::kRemoved) {
      out.push_back("- " + c.key + " " + c.old_row + c.new_row + columns);
    } else {
      out.push_back("~ " + c.key + " " + c.old_row + " -> " + c.new_row + " [" + columns + "]");
    }
  }
  return out;
}

using Lines = std::vector<std::string>;

TEST_F(DiffTest, ChangesComeInKeyOrderWithTheColumnsThatDiffer) {
  const std::string a = write("a", {{"comments", R"([["A","T","C3","z"],["A","T","C2","y"],
      ["A","T","C1","x"],["B","T","C1",1]])"}});
  const std::string b = write("b", {{"comments", R"([["A","T","C4","w"],["A","T","C1","x"],
      ["A","T","C2","Y"],["B","T","C1",1.0]])"}});
  EXPECT_EQ(changes(a, b, "comments", {0, 1, 2}),
            (Lines{R"(~ ["A","T","C2"] ["A","T","C2","y"] -> ["A","T","C2","Y"] [3])",
                   R"(- ["A","T","C3"] ["A","T","C3","z"])",
                   R"(+ ["A","T","C4"] ["A","T","C4","w"])",
                   R"(~ ["B","T","C1"] ["B","T","C1",1] -> ["B","T","C1",1.0] [3])"}));
  // Keys in the order given; the same rows in another order are no change.
  EXPECT_EQ(changes(a, b, "comments", {3, 0}).size(), 6u);
  const std::string shuffled = write("c", {{"comments", R"([["B","T","C1",1],["A","T","C1","x"],
      ["A","T","C3","z"],["A","T","C2","y"]])"}});
  EXPECT_EQ(changes(a, shuffled, "comments", {0, 1, 2}), Lines{});
}

// Quotes, backslashes and brackets inside strings are not structure.
// Rows that repeat are counted: what one side holds more often is added or
// removed as often, whatever the order.
TEST_F(DiffTest, RepeatedRowsAreCounted) {
  const std::string a = write("a", {{"comments", R"([["A","T","C","x"],["A","T","C","x"],
      ["B","T","C","y"],["A","T","C","x"],["B","T","C","y"]])"}});
  const std::string b = write("b", {{"comments", R"([["B","T","C","y"],["A","T","C","x"],
      ["B","T","C","y"],["B","T","C","y"]])"}});
  EXPECT_EQ(changes(a, b, "comments", {}),
            (Lines{R"(- ["A","T","C","x"] ["A","T","C","x"])", R"(- ["A","T","C","x"] ["A","T","C","x"])",
                   R"(+ ["B","T","C","y"] ["B","T","C","y"])"}));
}

TEST_F(DiffTest, KeysAreCutAtTheirOwnCommas) {
  const std::string a = write("a", {{"comments", R"([["x\"],[","\\",0,0],["k","]",1,1]])"}});
  const std::string b = write("b", {{"comments", R"([["x\"],[","\\",0,1],["k","]",1,1]])"}});
  EXPECT_EQ(changes(a, b, "comments", {0, 1}),
            Lines{R"(~ ["x\"],[","\\"] ["x\"],[","\\",0,0] -> ["x\"],[","\\",0,1] [3])"});
}

// Rows whose owner or object no pattern matches are left out on both sides;
// an ignored column and whitespace in a spaced one make no change.
TEST_F(DiffTest, RulesChooseRowsAndColumns) {
  const std::string a = write("a", {{"units", R"([["A","P","X","a\r\n b"],["A","Q","X","1"],
      ["B","P","X","2"],["\u00c9","P","X","3"]])"}});
  const std::string b = write("b", {{"units", R"([["A","P","Y"," a\tb "],["A","Q","X","1 1"],
      ["B","P","X","2 2"],["\u00c9","P","X","4"]])"}});
  DiffRules rules;
  rules.owner_column = 0;
  rules.owner_patterns = {Glob("A"), Glob("[!B]")};  // one code point, not B
  rules.object_column = 1;
  rules.object_patterns = {Glob("[!Q]*")};
  EXPECT_EQ(changes(a, b, "units", {0, 1}, rules),
            (Lines{R"(~ ["A","P"] ["A","P","X","a\r\n b"] -> ["A","P","Y"," a\tb "] [2,3])",
                   "~ [\"\xc3\x89\",\"P\"] [\"\xc3\x89\",\"P\",\"X\",\"3\"] -> "
                   "[\"\xc3\x89\",\"P\",\"X\",\"4\"] [3]"}));
  rules.ignored = {2};
  rules.spaced = {3};
  rules.owner_patterns = {Glob("A*")};
  EXPECT_EQ(changes(a, b, "units", {0, 1}, rules), Lines{});
  rules.object_column.reset();
  EXPECT_EQ(changes(a, b, "units", {0, 1}, rules), Lines{});
  rules.object_patterns.clear();
  EXPECT_EQ(changes(a, b, "units", {0, 1}, rules),
            Lines{R"(~ ["A","Q"] ["A","Q","X","1"] -> ["A","Q","X","1 1"] [3])"});
}

// Every row of a member that only the old file holds is removed.
TEST_F(DiffTest, MemberInTheOldFileOnly) {
  const std::string a = write("a", {{"control_rows/HR", "[[1],[0]]"}});
  EXPECT_EQ(changes(a, write("b", {}), "control_rows/HR", {}), (Lines{"- [0] [0]", "- [1] [1]"}));
}

TEST_F(DiffTest, FaultsAreReadsOwn) {
  const std::string good = write("good", {{"comments", R"([["A","T","C","x"]])"}});
  const std::string line = "[\"A\",\"T\",\"C\",\"x\"]\n";
  const std::string damaged = write_damaged("damaged", line, "other");
  const std::string message = read_text(damaged, "comments").error().message();
  EXPECT_EQ(message, "comments: checksum does not match the manifest (the file was changed or damaged)");
  // Equal records are no shortcut past the checks.
  EXPECT_EQ(changes(damaged, damaged, "comments", {0}), Lines{message});
  const std::string short_row = write_damaged("short", "[\"A\"]\n", "[\"A\"]\n");
  EXPECT_EQ(changes(good, short_row, "comments", {0, 1, 2}),
            Lines{"comments row 1: 1 values, the format has 4"});

  EXPECT_EQ(changes(good, good, "comments", {4}), Lines{"comments: no column 4 (4 columns)"});
  EXPECT_EQ(changes(good, good, "bogus", {}), Lines{"bogus: not a member of quarlen/1"});
  const std::string missing = (dir_ / "missing").string();
  EXPECT_EQ(changes(good, missing, "comments", {}),
            Lines{missing + ": No such file or directory (os error 2)"});
}

}  // namespace
}  // namespace quarlen
