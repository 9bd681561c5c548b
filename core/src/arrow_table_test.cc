#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "arrow_column.h"
#include "quarlen/arrow_table.h"
#include "quarlen/reader.h"
#include "quarlen/writer.h"
#include "zip/zip_reader.h"

namespace quarlen {
namespace {

namespace fs = std::filesystem;

TEST(ArrowColumnTest, KindsGiveTheColumnsType) {
  const struct {
    std::string values;
    ColumnType type;
  } cases[] = {
      {"null,null", ColumnType::kNull},
      {"\"a\",null,\"b\\\"\"", ColumnType::kString},
      {"1,-9223372036854775808,null", ColumnType::kInt64},
      {"1,2.5,1e300", ColumnType::kFloat64},
      {"true,null,false", ColumnType::kBool},
      {"1,9223372036854775808", ColumnType::kJson},
      {"\"1\",1", ColumnType::kJson},
      {"true,0", ColumnType::kJson},
      {"{\"a\":[1]},null", ColumnType::kJson},
      {"[],1", ColumnType::kJson},
  };
  for (const auto& c : cases) {
    ColumnKinds kinds;
    CompactReader r(c.values);
    do kinds.observe(r);
    while (r.more());
    EXPECT_EQ(kinds.type(), c.type) << c.values;
  }
}

// Row i of a child array whose format is `format`, as text.
std::string cell(const ArrowArray& a, const char* format, int64_t i) {
  const auto* validity = static_cast<const uint8_t*>(a.buffers == nullptr ? nullptr : a.buffers[0]);
  if (format[0] == 'n' || (validity != nullptr && !(validity[i / 8] >> (i % 8) & 1))) return "~";
  std::ostringstream out;
  switch (format[0]) {
    case 'b': out << ((static_cast<const uint8_t*>(a.buffers[1])[i / 8] >> (i % 8) & 1) ? "T" : "F"); break;
    case 'l': out << static_cast<const int64_t*>(a.buffers[1])[i]; break;
    case 'g': out << static_cast<const double*>(a.buffers[1])[i]; break;
    case 'u': {
      const auto* offsets = static_cast<const int32_t*>(a.buffers[1]);
      out << std::string(static_cast<const char*>(a.buffers[2]) + offsets[i],
                         static_cast<size_t>(offsets[i + 1] - offsets[i]));
      break;
    }
    case 'U': {
      const auto* offsets = static_cast<const int64_t*>(a.buffers[1]);
      out << std::string(static_cast<const char*>(a.buffers[2]) + offsets[i],
                         static_cast<size_t>(offsets[i + 1] - offsets[i]));
    }
  }
  return out.str();
}

TEST(ArrowColumnTest, LargeTextsTakeWideOffsets) {
  for (ColumnType type : {ColumnType::kString, ColumnType::kJson}) {
    ColumnBuilder column(type, true);
    CompactReader r(R"("a\tb",null,"",{"c":1})");
    do {
      const bool fits = type == ColumnType::kJson || r.peek() != '{';
      EXPECT_EQ(column.append(r), fits);
    } while (r.more());
    ArrowArray a;
    column.finish(&a);
    std::string cells;
    for (int64_t i = 0; i < a.length; ++i) cells += cell(a, "U", i) + ";";
    EXPECT_EQ(cells, type == ColumnType::kJson ? "\"a\\tb\";~;\"\";{\"c\":1};" : "a\tb;~;;");
    EXPECT_EQ(a.null_count, 1);
    a.release(&a);
  }
}

class ArrowTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "arrow_table_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::vector<std::pair<std::string, std::string>>& members) {
    const std::string path = (dir_ / name).string();
    auto w = ArchiveWriter::create(path);
    for (const auto& [member, rows] : members) {
      EXPECT_TRUE(w.ok() && (*w)->begin(member).ok() && (*w)->rows(rows).ok() && (*w)->end().ok());
    }
    EXPECT_TRUE((*w)->finish("{}").ok());
    return path;
  }

  // The stream's schema as "name:format[json]" and its rows, cells joined by '|'; or its error.
  static std::vector<std::string> drain(TableRequest request) {
    auto table = ArrowTable::make(std::move(request));
    if (!table) return {table.error().message()};
    return drain(std::move(*table));
  }

  static std::vector<std::string> drain(std::unique_ptr<ArrowTable> table) {
    ArrowArrayStream stream;
    ArrowTable::export_stream(std::move(table), &stream);
    ArrowSchema schema;
    std::vector<std::string> out;
    if (stream.get_schema(&stream, &schema) != 0) {
      out.push_back(stream.get_last_error(&stream));
      stream.release(&stream);
      return out;
    }
    std::string fields;
    for (int64_t f = 0; f < schema.n_children; ++f) {
      const ArrowSchema& child = *schema.children[f];
      if (f != 0) fields += '|';
      fields.append(child.name).append(":").append(child.format);
      // Two pairs; the first: int32 20, "ARROW:extension:name", int32 10, "arrow.json".
      if (child.metadata != nullptr && std::memcmp(child.metadata + 32, "arrow.json", 10) == 0) {
        fields += "[json]";
      }
    }
    out.push_back(fields);
    for (ArrowArray batch; stream.get_next(&stream, &batch) == 0 && batch.release != nullptr;) {
      for (int64_t i = 0; i < batch.length; ++i) {
        std::string row;
        for (int64_t f = 0; f < batch.n_children; ++f) {
          if (f != 0) row += '|';
          row += cell(*batch.children[f], schema.children[f]->format, i);
        }
        out.push_back(row);
      }
      batch.release(&batch);
    }
    schema.release(&schema);
    stream.release(&stream);
    return out;
  }

  fs::path dir_;
};

TEST_F(ArrowTableTest, TypedRowsOfEveryInstanceOfEveryFile) {
  const std::string a = write("a.quarlen", {{"comments", R"([["APP",1,null,true],["HR",2.5,null,null]])"},
                                            {"control_rows/B", "[[null]]"},
                                            {"control_rows/A", R"([[{"a":[1]}]])"}});
  const std::string b = write("b.quarlen", {{"control_rows/C", R"([["x\n"]])"}});
  EXPECT_EQ(drain({{a}, {}, "comments"}),
            (std::vector<std::string>{"owner:u|table_name:g|column_name:n|comments:b", "APP|1|~|T", "HR|2.5|~|~"}));
  EXPECT_EQ(drain({{a, b}, {"a", "b"}, "control_rows"}),
            (std::vector<std::string>{"snapshot:u|key:u|row:u[json]", "a|A|{\"a\":[1]}", "a|B|~", "b|C|\"x\\n\""}));
  EXPECT_EQ(drain({{b}, {}, "control_rows/Z"}), (std::vector<std::string>{"row:n"}));
  EXPECT_EQ(drain({{b}, {}, "nope"}), (std::vector<std::string>{"nope: not a member of quarlen/1"}));
}

TEST_F(ArrowTableTest, MembersLongerThanABatchAreReadAgain) {
  const std::string text(1000, 'x');
  std::string rows = "[";
  for (int i = 0; i < 5000; ++i) rows.append(i == 0 ? "" : ",").append("[\"").append(text).append("\"]");
  rows += "]";
  const auto got = drain({{write("c.quarlen", {{"control_rows/C", rows}})}, {}, "control_rows/C"});
  EXPECT_EQ(got.size(), 5001u);
  EXPECT_EQ(got.back(), text);
}

// The compressed data of a member's entry, and where it starts.
std::pair<uint64_t, std::string> entry_data(const std::string& path, const std::string& member) {
  auto in = zip::InputFile::open(path);
  auto archive = zip::ZipArchive::open(std::move(*in));
  auto opened = archive->open_entry(member + ".jsonl");
  std::string data(static_cast<size_t>(opened->entry->compressed_size), '\0');
  std::ifstream f(path, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(opened->data_offset));
  f.read(data.data(), static_cast<std::streamsize>(data.size()));
  return {opened->data_offset, data};
}

TEST_F(ArrowTableTest, TheSecondReadTakesTheRowsTheFirstProved) {
  const auto rows_text = [](int changed) {
    std::string rows = "[";
    for (int i = 0; i < 6000; ++i) {
      // Rows `changed` and the next trade their numbers.
      const int number = changed < 0 ? i : i == changed ? i + 1 : i == changed + 1 ? i - 1 : i;
      rows.append(i == 0 ? "" : ",").append("[\"").append(1000, static_cast<char>('a' + i % 26));
      rows.append(std::to_string(number)).append("\"]");
    }
    return rows + "]";
  };
  const std::string member = "control_rows/D";
  // Nothing changed after the first pass; a byte of the entry's data; or
  // data that inflates cleanly to other text under the same CRC-32 and sizes,
  // the change in the last rows, whose piece of the digest is a short one.
  for (const int damage : {0, 1, 2}) {
    const std::string path = write("d.quarlen", {{member, rows_text(-1)}});
    auto made = ArrowTable::make({{path}, {}, member});
    ASSERT_TRUE(made.ok() && (*made)->prepare().ok());
    if (damage == 1) {
      std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(fs::file_size(path) / 2));
      f.put('\x5a');
    } else if (damage == 2) {
      const auto [offset, data] = entry_data(path, member);
      std::string other;
      for (int changed = 5998; changed > 5900 && other.size() != data.size(); --changed) {
        other = entry_data(write("e.quarlen", {{member, rows_text(changed)}}), member).second;
      }
      ASSERT_EQ(other.size(), data.size());
      std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(offset));
      f.write(other.data(), static_cast<std::streamsize>(other.size()));
    }
    // As every stream of a table is read: from a copy of its first pass.
    const std::unique_ptr<ArrowTable> again = (*made)->again();
    int64_t row = 0;
    bool same = true;
    ArrowArray batch;
    Result<bool> more = true;
    while ((more = again->next_batch(&batch)).ok() && *more) {
      for (int64_t i = 0; i < batch.length; ++i, ++row) {
        const std::string want = std::string(1000, static_cast<char>('a' + row % 26)) + std::to_string(row);
        same = same && cell(*batch.children[0], "u", i) == want;
      }
      batch.release(&batch);
    }
    EXPECT_TRUE(same) << damage;
    if (damage != 0) {
      auto read = read_text(path, member);
      ASSERT_FALSE(read.ok());
      EXPECT_EQ(more.ok() ? "" : more.error().message(), read.error().message());
    } else {
      EXPECT_TRUE(more.ok());
      EXPECT_EQ(row, 6000);
    }
  }
}

TEST_F(ArrowTableTest, TablesMadeAgainReadNothingTheFirstPassKept) {
  const std::string a = write("a.quarlen", {{"comments", R"([["APP","T","C","x"]])"}});
  auto made = ArrowTable::make({{a}, {}, "comments"});
  ASSERT_TRUE(made.ok() && (*made)->prepare().ok());
  fs::remove(a);
  const std::vector<std::string> rows = {"owner:u|table_name:u|column_name:u|comments:u", "APP|T|C|x"};
  EXPECT_EQ(drain((*made)->again()), rows);
  EXPECT_EQ(drain((*made)->again()), rows);
  // A first pass that failed: every table made from it repeats its fault.
  auto gone = ArrowTable::make({{a}, {}, "comments"});
  ASSERT_TRUE(gone.ok());
  const auto fault = (*gone)->prepare();
  ASSERT_FALSE(fault.ok());
  EXPECT_EQ(drain((*gone)->again()), (std::vector<std::string>{fault.error().message()}));
}

TEST_F(ArrowTableTest, AFaultInAnyFileIsTheStreamsErrorBeforeAnyBatch) {
  const std::string a = write("a.quarlen", {{"comments", R"([["APP","T","C","x"]])"}});
  const std::string bad = write("bad.quarlen", {{"comments", R"([["APP","T","C","some words to damage"]])"}});
  std::fstream f(bad, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(50);
  f.put('\xff');
  f.close();
  auto read = read_text(bad, "comments");
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(drain({{a, bad}, {}, "comments"}), (std::vector<std::string>{read.error().message()}));
}

}  // namespace
}  // namespace quarlen
