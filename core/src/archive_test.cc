#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "quarlen/diff.h"
#include "quarlen/hash.h"
#include "quarlen/json_text.h"
#include "quarlen/read_ahead.h"
#include "quarlen/reader.h"
#include "quarlen/writer.h"
#include "testing/models.h"
#include "zip/file.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

namespace quarlen {
namespace {

namespace fs = std::filesystem;

// A result as text: its value, "ok" for none, or its message.
template <class T>
std::string outcome(const Result<T>& r) {
  if (!r) return r.error().message();
  if constexpr (std::is_void_v<T>) return "ok";
  else if constexpr (std::is_same_v<T, uint64_t>) return std::to_string(*r);
  else if constexpr (std::is_same_v<T, Json>) return to_compact(*r);
  else return *r;
}

// The parser's own description of why `text` is not one JSON value (or array).
std::string fault(std::string_view text) { return parse_json(text).error().message(); }
std::string array_fault(std::string_view text) { return parse_json_array(text).error().message(); }

// The record the writer owes a member whose text is `text`.
std::string record_of(const std::string& text) {
  Json r = Json::object();
  r["bytes"] = text.size();
  r["rows"] = static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
  r["sha256"] = sha256_hex(text);
  return to_compact(r);
}

size_t open_descriptors() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptors_ = open_descriptors();
    std::string pattern = ::testing::TempDir() + "archive_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  // Every path, good or failed, must have closed the files it opened.
  void TearDown() override {
    EXPECT_EQ(open_descriptors(), descriptors_);
    fs::remove_all(dir_);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // An archive holding exactly these entries, bytes as given.
  std::string write_zip(const std::string& name,
                        const std::vector<std::pair<std::string, std::string>>& entries) {
    auto file = zip::OutputFile::create(path(name));
    EXPECT_TRUE(file.ok());
    zip::ZipWriter zip(std::move(*file));
    for (const auto& [entry, data] : entries) {
      EXPECT_EQ(outcome(zip.start_entry(entry)), "ok");
      EXPECT_EQ(outcome(zip.write(data)), "ok");
    }
    EXPECT_EQ(outcome(zip.finish()), "ok");
    return path(name);
  }

  fs::path dir_;
  size_t descriptors_ = 0;
};

// Runs `op` on the writer and gives its result or message as text.
std::string run(ArchiveWriter& w, const std::string& op, const std::string& arg) {
  if (op == "begin") return outcome(w.begin(arg));
  if (op == "rows") return outcome(w.rows(arg));
  if (op == "end") return outcome(w.end());
  return outcome(w.finish(arg));
}

TEST_F(ArchiveTest, WriterStatesAndMessages) {
  const std::string too_long = "control_rows/" + std::string(65530 - 13, 'k');  // entry 65536
  const std::string longest = "control_rows/" + std::string(65529 - 13, 'k');   // entry 65535
  const std::string objects = "[1,2,3,4,5,6,7]\n[{\"a\":2,\"b\":1},2,3,4,5,6,7]\n";
  const std::string manifest = "{\"alpha\":[],\"format\":\"quarlen/1\",\"members\":{\"comments\":" +
                               record_of("") + ",\"" + longest + "\":" + record_of("[1]\n") +
                               ",\"objects\":" + record_of(objects) + "},\"zeta\":1}";
  const std::string dots = "control_rows/" + std::string(70000, '.');  // bad key, too long
  const struct {
    std::string op, arg, expected;
  } steps[] = {
      // Idle.
      {"rows", "[[1]]", "begin a member first"},
      {"rows", "x", "rows are not JSON: " + array_fault("x")},
      {"end", "", "no member is open"},
      {"finish", "{", "header: " + fault("{")},
      {"begin", dots, dots + ": control_rows needs a key after a slash (control_rows/OWNER)"},
      {"begin", "objects", "ok"},
      // Writing.
      {"begin", "objects", "objects: end the member being written first"},
      {"begin", "bogus", "bogus: not a member of quarlen/1"},
      {"finish", "{}", "end the member being written first"},
      {"rows", "[[1]]", "objects row 1: 1 values, the format has 7"},
      {"rows", "[[1,2,3,4,5,6,7]] x", "rows are not JSON: " + array_fault("[[1,2,3,4,5,6,7]] x")},
      {"rows", " [ ] ", "0"},
      {"rows", "[[1,2,3,4,5,6,7]]", "1"},
      {"rows", "[[1,2,3,4,5,6,7],[1]]", "objects row 2: 1 values, the format has 7"},
      {"rows", "[ [{\"b\":1, \"a\":2}, 2,3,4,5,6,7] ]", "1"},
      {"end", "", record_of(objects)},
      // Idle again.
      {"begin", "objects", "objects: written already"},
      {"begin", too_long, too_long + ": the name is too long for the archive (over 65535 bytes)"},
      {"begin", longest, "ok"},
      {"rows", "[[1]]", "1"},
      {"end", "", record_of("[1]\n")},
      {"begin", "comments", "ok"},
      {"end", "", record_of("")},
      {"finish", "{\"zeta\":1,\"format\":2,\"members\":3,\"alpha\":[]}", manifest},
      // Finished.
      {"begin", "objects", "objects: written already"},
      {"begin", too_long, "the file is already finished"},
      {"finish", "[]", "header: a JSON object"},
      {"finish", "{}", "the file is already finished"},
  };
  auto writer = ArchiveWriter::create(path("a.quarlen"));
  ASSERT_TRUE(writer.ok());
  for (const auto& s : steps) {
    EXPECT_EQ(run(**writer, s.op, s.arg), s.expected) << s.op << " " << s.arg.substr(0, 40);
  }

  // The refused names left no trace: the entries are those begun successfully.
  auto in = zip::InputFile::open(path("a.quarlen"));
  auto archive = zip::ZipArchive::open(std::move(*in));
  ASSERT_TRUE(archive.ok());
  std::vector<std::string> names;
  for (const zip::Entry& e : archive->entries()) names.emplace_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"objects.jsonl", longest + ".jsonl",
                                             "comments.jsonl", "manifest.json"}));
  EXPECT_EQ(outcome(read_text(path("a.quarlen"), longest)), "[[1]]");
}

// A member record whose "rows" is `rows` and whose "sha256" is the text's digest.
std::string rec(int rows) { return "{\"rows\":" + std::to_string(rows) + ",\"sha256\":\"$SHA\"}"; }
std::string line(int number, std::string_view text) {
  return "comments line " + std::to_string(number) + ": " + fault(text);
}

// read_member (the model), read_text and verify_text must agree on every text.
TEST_F(ArchiveTest, ReadPathsAgreeOnCraftedMembers) {
  const std::string sum = "comments: checksum does not match the manifest (the file was changed or damaged)";
  const std::string utf8 = "comments: stream did not contain valid UTF-8";
  const struct {
    std::string text, record, expected;  // in record, $SHA and $UPPER stand for the digest
    std::string name = "comments";
  } cases[] = {
      {"", rec(0), "[]"},
      {"[1,2,3,4]\n", R"({"bytes":99,"rows":1,"sha256":"$SHA"})", "[[1,2,3,4]]"},
      {"[1,2,3,4]", rec(1), "[[1,2,3,4]]"},
      {"[1,2,3,4]\r", rec(1), "[[1,2,3,4]]"},
      {"\t [ {\"b\":1,\"a\":2,\"a\":3} , 1.50 , -0 , 18446744073709551615 ] \r\n", rec(1),
       "[[{\"a\":3,\"b\":1},1.5,-0.0,18446744073709551615]]"},
      {"[\"\\u00e9\\n\\/\\u001F\",\"\xC3\xA9\",null,2.0]\n", rec(1),
       "[[\"\xC3\xA9\\n/\\u001f\",\"\xC3\xA9\",null,2.0]]"},
      {"[1,2,3,4]\n\r\n", rec(2), line(2, "")},
      {"[1,2,3,4]\r[1,2,3,4]\n", rec(1), line(1, "[1,2,3,4]\r[1,2,3,4]")},
      // UTF-8 is checked before the checksum.
      {"[\"\xED\xA0\x80\",2,3,4]\n", R"({"rows":1,"sha256":"0"})", utf8},
      {"[1,2,3,4]\n", R"({"rows":1})", sum},
      {"[1,2,3,4]\n", R"({"rows":1,"sha256":"$UPPER"})", sum},
      {"[1,2,3,4]\n", R"([1,"$SHA"])", sum},
      {"[1,2,3,4]\n", R"({"sha256":"$SHA"})", "comments: 1 rows, the manifest says null"},
      {"", rec(-1), "comments: 0 rows, the manifest says -1"},
      {"[1,2,3,4]\nx\n", rec(5), line(2, "x")},
      {"[1]\n", rec(2), "comments: 1 rows, the manifest says 2"},
      {"[1]\nx\n", rec(2), line(2, "x")},
      {"[1]\n[[\"x\"]]\n", rec(2), "[[1],[[\"x\"]]]", "control_rows/A B"},
      {"[1]\n[1,2]\n", rec(2), "control_rows/A B row 2: 2 values, the format has 1",
       "control_rows/A B"},
  };
  for (const auto& c : cases) {
    std::string record = c.record, upper = sha256_hex(c.text);
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (auto at = record.find("$SHA"); at != std::string::npos) record.replace(at, 4, sha256_hex(c.text));
    if (auto at = record.find("$UPPER"); at != std::string::npos) record.replace(at, 6, upper);
    Json manifest = {{"format", "quarlen/1"}, {"members", {{c.name, Json::parse(record)}}}};
    const std::string file =
        write_zip("m.quarlen", {{c.name + ".jsonl", c.text}, {"manifest.json", to_pretty(manifest)}});

    auto opened = open_archive(file);
    ASSERT_TRUE(opened.ok()) << outcome(manifest_text(file));
    auto rows = read_member(*opened, c.name);
    const std::string model = rows ? to_compact(Json(std::move(*rows))) : rows.error().message();
    EXPECT_EQ(model, c.expected) << c.text;
    EXPECT_EQ(outcome(read_text(file, c.name)), c.expected) << c.text;
    Json report = {{"format", "quarlen/1"}, {"members", Json::object()}, {"ok", true},
                   {"problems", Json::array()}};
    if (c.expected[0] == '[') {
      report["members"][c.name] = Json::parse(c.expected).size();
    } else {
      report["ok"] = false;
      report["problems"].push_back(c.expected);
    }
    EXPECT_EQ(outcome(verify_text(file)), to_compact(report)) << c.text;
  }
}

// Stops a call at its `after`-th question.
class StopAfter final : public Interrupt {
 public:
  explicit StopAfter(int after) : left_(after) {}
  bool requested() override { return left_ <= 0 || --left_ == 0; }

 private:
  std::atomic<int> left_;
};

// Every long read gives up once its interrupt asks, whatever it was doing.
TEST_F(ArchiveTest, LongReadsGiveUpWhenInterrupted) {
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "[\"APP\",\"T" + std::to_string(i) + "\",\"C\",null]\n";
  Json manifest = {{"format", "quarlen/1"},
                   {"members", {{"comments", {{"rows", 200000}, {"sha256", sha256_hex(text)}}}}}};
  const std::string file = write_zip("i.quarlen", {{"comments.jsonl", text}, {"manifest.json", to_pretty(manifest)}});
  const size_t key[] = {1};
  for (int after : {1, 2, 5}) {
    StopAfter a(after), b(after), c(after), d(after);
    EXPECT_EQ(outcome(verify_text(file, &a)), kInterrupted);
    EXPECT_EQ(outcome(read_text(file, "comments", &b)), kInterrupted);
    auto diffed = diff_member(file, file, "comments", key, &c);
    EXPECT_EQ(diffed ? "compared" : diffed.error().message(), kInterrupted);
    for (const bool ahead : {false, true}) {
      auto reader = MemberReader::open(file, "comments", ahead);
      ASSERT_TRUE(reader.ok());
      std::string rows;
      StopAfter e(after);
      auto more = (*reader)->next(&rows, SIZE_MAX, ahead ? &e : &d);
      EXPECT_EQ(more ? "read" : more.error().message(), kInterrupted);
    }
  }
}

// A fault is final, read ahead on a thread or on the consumer's: every later
// call repeats it, never reads as the end of the text.
TEST_F(ArchiveTest, ReadAheadRepeatsAFault) {
  struct Failing final : TextSource {
    explicit Failing(size_t hint) : hint(hint) {}
    Result<bool> next(std::string* out, size_t, Interrupt*) override {
      if (calls++ > 0) return Error("after its fault");
      out->append("[1]");
      return Error("damaged");
    }
    size_t size_hint() const override { return hint; }
    size_t hint;
    int calls = 0;
  };
  for (const size_t hint : {size_t{0}, SIZE_MAX}) {
    ReadAhead ahead(std::make_unique<Failing>(hint));
    std::string batch;
    for (int i = 0; i < 3; ++i) {
      auto more = ahead.next(&batch, nullptr);
      EXPECT_EQ(more ? "more" : more.error().message(), "damaged") << hint << " " << i;
    }
  }
}

// Inflated on a thread of its own, a member reads as read_text reads it: the
// same rows, or the same fault, whichever step finds it.
TEST_F(ArchiveTest, InflatingAheadReadsAlike) {
  std::string text;
  uint32_t x = 1;
  for (int i = 0; i < 20000; ++i) {
    text += "[\"";
    for (int j = 0; j < 24; ++j, x = x * 1103515245u + 12345u) text += static_cast<char>('a' + (x >> 16) % 26);
    text += "\",\"T\",\"C\",null]\n";
  }
  std::string bad_line = text;
  bad_line[bad_line.size() / 2] = '{';
  for (const auto& [body, sha, damage] :
       {std::tuple{text, sha256_hex(text), false}, {text, std::string(64, '0'), false},
        {bad_line, sha256_hex(bad_line), false}, {text, sha256_hex(text), true}}) {
    Json manifest = {{"format", "quarlen/1"}, {"members", {{"comments", {{"rows", 20000}, {"sha256", sha}}}}}};
    const std::string file = write_zip("a.quarlen", {{"comments.jsonl", body}, {"manifest.json", to_pretty(manifest)}});
    if (damage) {
      std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(std::filesystem::file_size(file) / 2));
      f.put('\x5a');
    }
    auto reader = MemberReader::open(file, "comments", true);
    ASSERT_TRUE(reader.ok());
    ASSERT_GE((*reader)->size_hint(), ReadAhead::kThreadedBytes);
    std::string rows, batch;
    Result<bool> more = true;
    while (more.ok() && *more) {
      batch.clear();
      more = (*reader)->next(&batch, 1 << 16);
      if (!rows.empty() && !batch.empty()) rows += ',';
      rows += batch;
    }
    EXPECT_EQ(more.ok() ? "[" + rows + "]" : more.error().message(), outcome(read_text(file, "comments")));
  }
}

TEST_F(ArchiveTest, ListedMembersInByteOrder) {
  const std::vector<std::string> sorted = {"comments", "control_rows/A", "control_rows/B",
                                           "control_rows/b", "control_rows/\xC3\xA9", "objects"};
  const std::string manifest =
      "{\"members\":{\"objects\":{},\"control_rows/b\":{},\"control_rows/\xC3\xA9\":{},"
      "\"control_rows/B\":{},\"comments\":{},\"control_rows/A\":{}},\"format\":\"quarlen/1\"}";
  const std::string file = write_zip("l.quarlen", {{"manifest.json", manifest}});
  auto opened = open_archive(file);
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(listed_members(*opened), sorted);
  Json problems = Json::array();
  for (const std::string& name : sorted) {
    problems.push_back(name + ": listed in the manifest but missing from the file");
  }
  EXPECT_EQ(outcome(verify_text(file)),
            "{\"format\":\"quarlen/1\",\"members\":{},\"ok\":false,\"problems\":" +
                to_compact(problems) + "}");
}

TEST_F(ArchiveTest, WholeFileFailures) {
  {
    auto unfinished = ArchiveWriter::create(path("u.quarlen"));  // closed by its destructor
    ASSERT_TRUE(unfinished.ok());
    EXPECT_EQ(outcome((*unfinished)->begin("comments")), "ok");
  }
  EXPECT_EQ(outcome(verify_text(path("u.quarlen"))),
            path("u.quarlen") + ": no manifest (not a .quarlen file, or not finished)");
  EXPECT_EQ(ArchiveWriter::create(path("absent/w")).error().message(),
            path("absent/w") + ": No such file or directory (os error 2)");
  // Opening a named pipe without a reader fails at once.
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(ArchiveWriter::create(path("fifo")).error().message(),
            path("fifo") + ": No such device or address (os error 6)");
}

TEST(DisplayPathTest, EachBrokenSequenceBecomesOneReplacement) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\x80\x80", r + r},  {"\xC0\xAF", r + r},  {"\xF5\xC2", r + r},  {"\xF0\x9F\x98", r},
      {"\xED\xA0\x80", r + r + r},  {"\xF4\x90\x80\x80", r + r + r + r},
      {"\xF0\x9F\x98x", r + "x"},  {"\xE2\x82\xE2\x82\xAC", r + "\xE2\x82\xAC"},
  };
  for (const auto& [raw, shown] : cases) EXPECT_EQ(display_path(raw), shown) << raw;
}

// The file layer with one call made to fail: the Nth of its kind. A failing
// write first puts half of its bytes on disk, as a full disk or a size limit
// can, so that a partial block is really there.
enum class CallKind { kAppend, kWriteBack, kTruncate, kClose, kCount };

struct FaultPlan {
  CallKind kind = CallKind::kCount;  // kCount: fail nothing
  int n = 0;
  bool and_truncates = false;  // every truncate after the fault fails too
  int calls[static_cast<int>(CallKind::kCount)] = {};
  uint64_t end = 0;  // the file's length so far, to tell appends from write-backs
  bool struck = false;

  bool strike(CallKind k) {
    const bool hit = ++calls[static_cast<int>(k)] == n && k == kind;
    struck = struck || hit;
    return hit || (k == CallKind::kTruncate && and_truncates && struck);
  }
};
FaultPlan g_plan;

ssize_t faulty_pwrite(int fd, const void* data, size_t size, off_t offset) {
  const uint64_t at = static_cast<uint64_t>(offset);
  if (g_plan.strike(at < g_plan.end ? CallKind::kWriteBack : CallKind::kAppend)) {
    const ssize_t half = ::pwrite(fd, data, size / 2, offset);
    if (half > 0) g_plan.end = std::max(g_plan.end, at + static_cast<uint64_t>(half));
    errno = ENOSPC;
    return -1;
  }
  const ssize_t n = ::pwrite(fd, data, size, offset);
  if (n > 0) g_plan.end = std::max(g_plan.end, at + static_cast<uint64_t>(n));
  return n;
}
int faulty_ftruncate(int fd, off_t length) {
  if (g_plan.strike(CallKind::kTruncate)) {
    errno = EIO;
    return -1;
  }
  g_plan.end = static_cast<uint64_t>(length);
  return ::ftruncate(fd, length);
}
int faulty_close(int fd) {
  const int rc = ::close(fd);
  if (g_plan.strike(CallKind::kClose)) {
    errno = EIO;
    return -1;
  }
  return rc;
}
const zip::FileCalls kFaultyCalls = {faulty_pwrite, faulty_ftruncate, faulty_close};

// Printable text that needs no JSON escape and that deflate cannot shrink much.
std::string noise(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(size, ' ');
  for (char& c : out) c = static_cast<char>('0' + random() % 75);
  for (char& c : out) if (c == '\\') c = '!';
  return out;
}

TEST_F(ArchiveTest, EveryFailedCallLeavesAFileNoReaderTakesForFinished) {
  // Several members, some larger than the write buffer, some not, so that
  // failures fall inside data, write-backs, the manifest and the directory.
  std::vector<std::pair<std::string, std::string>> ops;
  unsigned seed = 1;
  auto rows = [&](int count, size_t width) {
    if (count == 0) return std::string("[]");
    std::string batch = "[";
    for (int i = 0; i < count; ++i) {
      batch += (i ? ",[\"" : "[\"") + noise(width, seed++) + "\",\"T\",\"C\",null]";
    }
    return batch + "]";
  };
  for (const auto& [name, count, width] : {std::tuple{"comments", 6, 3000},
                                           std::tuple{"control_rows/APP", 0, 0},
                                           std::tuple{"scheduler", 1, 50},
                                           std::tuple{"units", 3, 5000}}) {
    ops.emplace_back("begin", name);
    ops.emplace_back("rows", rows(count, width));
    ops.emplace_back("rows", rows(count, width));
    ops.emplace_back("end", "");
  }
  ops.emplace_back("finish", "{\"source\":\"db1\"}");

  // Runs every op, with the fault of `g_plan`; returns the index of the first
  // that failed, or -1.
  const std::string file = path("f.quarlen");
  auto attempt = [&]() {
    g_plan.end = 0;
    g_plan.struck = false;
    std::fill(std::begin(g_plan.calls), std::end(g_plan.calls), 0);
    auto w = ArchiveWriter::create(file, kFaultyCalls);
    EXPECT_TRUE(w.ok());
    int failed = -1;
    std::string first;
    for (size_t i = 0; i < ops.size(); ++i) {
      const std::string got = run(**w, ops[i].first, ops[i].second);
      const bool ok = ops[i].first == "rows" || ops[i].first == "end" ||
                              ops[i].first == "finish"
                          ? got.rfind("{", 0) == 0 || std::isdigit(got[0])
                          : got == "ok";
      if (failed < 0 && !ok) {
        failed = static_cast<int>(i);
        first = got;
      } else if (failed >= 0) {
        EXPECT_EQ(got, file + ": the file cannot be completed: an earlier write failed (" +
                           first + ")");
      }
    }
    return failed;
  };

  g_plan.kind = CallKind::kCount;
  ASSERT_EQ(attempt(), -1);
  const std::string report = outcome(verify_text(file));
  EXPECT_EQ(report,
            "{\"format\":\"quarlen/1\",\"members\":{\"comments\":12,\"control_rows/APP\":0,"
            "\"scheduler\":2,\"units\":6},\"ok\":true,\"problems\":[]}");
  FaultPlan clean = g_plan;
  ASSERT_GE(clean.calls[static_cast<int>(CallKind::kAppend)], 6);
  ASSERT_GE(clean.calls[static_cast<int>(CallKind::kWriteBack)], 1);
  ASSERT_EQ(clean.calls[static_cast<int>(CallKind::kClose)], 1);

  for (int k = 0; k < static_cast<int>(CallKind::kCount); ++k) {
    for (int n = 1; n <= 2 * clean.calls[k]; ++n) {
      // The second round fails every cut-back after the fault as well.
      g_plan.kind = static_cast<CallKind>(k);
      g_plan.n = (n - 1) % clean.calls[k] + 1;
      g_plan.and_truncates = n > clean.calls[k];
      const int failed = attempt();
      SCOPED_TRACE("call kind " + std::to_string(k) + " number " + std::to_string(g_plan.n) +
                   (g_plan.and_truncates ? " and every truncate" : ""));
      ASSERT_NE(failed, -1) << "the failure went unreported";
      if (g_plan.kind == CallKind::kClose) {
        // Every byte reached the file before the descriptor was closed.
        EXPECT_EQ(outcome(verify_text(file)), report);
        continue;
      }
      const std::string refused = outcome(manifest_text(file));
      EXPECT_TRUE(refused == file + ": no manifest (not a .quarlen file, or not finished)" ||
                  refused.rfind(file + ": not a .quarlen file (", 0) == 0)
          << refused;
    }
  }
}

}  // namespace
}  // namespace quarlen
