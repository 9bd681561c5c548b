// libFuzzer target for the reading side: the input is a whole .quarlen file.
// Every reading operation runs on it, and the ones that answer the same
// question two ways (the model parser and the single-pass scanner, read and
// verify) must agree; a disagreement or a leaked descriptor is a crash.
//
// Checksums stop almost every mutation at the first entry it touches, so
// two more views of each input reach further: the input with the CRC-32 of
// its stored entries made right (mutated manifests then get parsed), and the
// input taken as a member's text and as a rows() argument (the JSON layer).
// Members also go through the Arrow table, whose batches must hold the rows
// read_member reads, and through the diff, against the input itself and a
// small sound file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <zlib.h>

#include "quarlen/arrow_table.h"
#include "quarlen/diff.h"
#include "quarlen/json_lines.h"
#include "quarlen/json_text.h"
#include "quarlen/reader.h"
#include "quarlen/rows.h"
#include "quarlen/writer.h"
#include "testing/models.h"
#include "utf8_check.h"

namespace {

// Names read whether or not the manifest lists them: unlisted members, a
// keyed one, and names the format refuses.
constexpr std::string_view kFixedNames[] = {"objects", "control_rows/K", "units",
                                            "control_rows", "objects/K", "nonsense"};

// Each listed member is also read through read_text, which opens the file
// anew; a cap keeps inputs that list thousands of members fast.
constexpr size_t kMaxTextReads = 16;
// Tables and diffs start threads and read each member several times more.
constexpr size_t kMaxTableReads = 4;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "reader_fuzz: %s\n", what.c_str());
  std::abort();
}

// The member that rows are written as.
constexpr std::string_view kWritten = "control_rows/APP";

// Writes a sound file whose one member holds `rows` rows, each a compact line.
void write_rows(const char* path, std::string_view block, uint64_t rows) {
  auto w = quarlen::ArchiveWriter::create(path);
  if (!w || !(*w)->begin(kWritten).ok() || !(*w)->append_rows(block, rows).ok() ||
      !(*w)->end().ok() || !(*w)->finish("{}").ok()) {
    fail(std::string("cannot write ") + path);
  }
}

// One file per process, so that parallel fuzzers do not share it. It is
// removed on a normal exit; after a crash it stays behind in TMPDIR. The text
// lives in a plain array because the exit handler runs after static strings
// are destroyed.
char path_text[4096];
char sound_text[4096 + 8];  // a sound file the diff compares the input with

const char* input_path() {
  if (path_text[0] == '\0') {
    const char* dir = std::getenv("TMPDIR");
    const int n = std::snprintf(path_text, sizeof path_text, "%s/quarlen-fuzz-%d.quarlen",
                                dir != nullptr && *dir != '\0' ? dir : "/tmp",
                                static_cast<int>(::getpid()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof path_text) fail("TMPDIR is too long");
    std::snprintf(sound_text, sizeof sound_text, "%s-sound", path_text);
    std::atexit([] { ::unlink(path_text); ::unlink(sound_text); });
    write_rows(sound_text, "[{\"k\":1}]\n[[2.5]]\n[true]\n", 3);
  }
  return path_text;
}

void write_input(const uint8_t* data, size_t size) {
  std::ofstream out(input_path(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out.flush()) fail(std::string("cannot write ") + input_path());
}

// The lowest free descriptor stays put from input to input unless the reader
// keeps one open. The fuzzer's own threads may hold one for a moment, so only
// a climb past kDescriptorSlack counts; a leak per input gets there at once.
constexpr int kDescriptorSlack = 16;

int lowest_free_descriptor() {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot open /dev/null");
  ::close(fd);
  return fd;
}

// read_member (model parser) and read_text (scanner) must give the same rows
// or the same message.
void read_both_ways(quarlen::OpenedArchive& opened, const std::string& path, std::string_view name,
                    bool with_text) {
  auto rows = quarlen::read_member(opened, name);
  if (!with_text) return;
  auto text = quarlen::read_text(path, name);
  if (rows && text) {
    const std::string expected = quarlen::to_compact(quarlen::Json(*rows));
    if (expected != *text) fail("read_text differs from read_member for " + std::string(name));
  } else if (!rows && !text) {
    if (rows.error().message() != text.error().message()) {
      fail("messages differ for " + std::string(name) + ": [" + rows.error().message() +
           "] and [" + text.error().message() + "]");
    }
  } else {
    fail("read_text and read_member disagree on " + std::string(name));
  }
}

// What reading a member gave: its row count, or its fault.
using Outcome = quarlen::Result<size_t>;

template <class T>
void agree(const quarlen::Result<T>& got, const Outcome& read, const std::string& what) {
  if (got.ok() != read.ok() || (!got && got.error().message() != read.error().message())) {
    fail(what + " disagrees with read_member: [" + (got ? "ok" : got.error().message()) + "]");
  }
}

// A table's schema and batches through the C stream interface, each released
// as that interface asks: the rows they held, or the stream's fault.
Outcome drain(std::unique_ptr<quarlen::ArrowTable> table) {
  ArrowArrayStream stream;
  quarlen::ArrowTable::export_stream(std::move(table), &stream);
  size_t rows = 0;
  ArrowSchema schema{};
  int status = stream.get_schema(&stream, &schema);
  if (status == 0) {
    const int64_t fields = schema.n_children;
    schema.release(&schema);
    ArrowArray batch{};
    while ((status = stream.get_next(&stream, &batch)) == 0 && batch.release != nullptr) {
      for (int64_t i = 0; i < fields; ++i) {
        if (batch.n_children != fields || batch.children[i]->length != batch.length) {
          fail("a batch differs from its schema");
        }
      }
      rows += static_cast<size_t>(batch.length);
      batch.release(&batch);
    }
  }
  Outcome out = rows;
  if (status != 0) out = quarlen::Error(stream.get_last_error(&stream));
  stream.release(&stream);
  return out;
}

// The table over `name` in `copies` of the file, and the one made again from
// its first pass, hold the rows read_member reads, or fail as it does.
void check_table(const std::string& path, std::string_view name, Outcome read, size_t copies = 1) {
  if (read) read = *read * copies;
  const std::vector<std::string> paths(copies, path);
  auto table = quarlen::ArrowTable::make({paths, paths, std::string(name)});  // paths as snapshots
  if (!table) return;
  (void)(*table)->prepare();
  auto again = (*table)->again();
  const std::string what = "the table of " + std::string(name);
  for (auto* t : {&*table, &again}) {
    const Outcome rows = drain(std::move(*t));
    if (rows && read && *rows != *read) fail(what + " counts differently");
    agree(rows, read, what);
  }
}

// The input compared with itself has no change; compared with a sound file,
// either way, it fails only as read_member does.
void check_diff(const std::string& path, const std::string& name, const Outcome& read) {
  const size_t first[] = {0};
  auto same = quarlen::diff_member(path, path, name, first);
  agree(same, read, "the diff of " + name);
  if (same && !same->empty()) fail("the input differs from itself in " + name);
  agree(quarlen::diff_member(path, sound_text, name, {}), read, "the diff from " + name);
  agree(quarlen::diff_member(sound_text, path, name, {}), read, "the diff to " + name);
}

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Sets the CRC-32 of every stored entry, in its central and local header, to
// that of its data; returns whether anything changed. Reads only the plain
// 32-bit layout and skips whatever does not fit in the input.
bool repair_stored_crcs(std::vector<uint8_t>& zip) {
  const size_t n = zip.size();
  if (n < 22) return false;
  size_t end = n - 22 + 1;
  while (end-- > 0 && le32(&zip[end]) != 0x06054b50) {
  }
  if (end == static_cast<size_t>(-1)) return false;
  const uint64_t count = le16(&zip[end + 10]);
  uint64_t pos = le32(&zip[end + 16]);
  bool changed = false;
  for (uint64_t i = 0; i < count && pos + 46 <= end; ++i) {
    uint8_t* h = &zip[pos];
    if (le32(h) != 0x02014b50) break;
    const uint64_t local = le32(h + 42);
    const uint64_t size = le32(h + 20);
    if (le16(h + 10) == 0 && local + 30 <= n && le32(&zip[local]) == 0x04034b50) {
      const uint64_t data = local + 30 + le16(&zip[local + 26]) + le16(&zip[local + 28]);
      if (data <= n && size <= n - data) {
        const uint32_t crc = static_cast<uint32_t>(
            crc32_z(0, zip.data() + data, static_cast<size_t>(size)));
        if (le32(h + 16) != crc || le32(&zip[local + 14]) != crc) changed = true;
        put32(h + 16, crc);
        put32(&zip[local + 14], crc);
      }
    }
    pos += 46 + uint64_t{le16(h + 28)} + le16(h + 30) + le16(h + 32);
  }
  return changed;
}

// The input as a member's text: the model parser and the scanner must agree
// on every line, and as one rows() argument, the array scanner with the model.
// Feeds `text` to `sink` in pieces of sizes that vary with the text.
template <class Sink>
void in_pieces(std::string_view text, Sink&& sink) {
  for (size_t i = 0; !text.empty(); ++i) {
    const size_t n = std::min(text.size(), 1 + (i * 7 + text.size()) % 13);
    sink(text.substr(0, n));
    text.remove_prefix(n);
  }
}

// Lines and UTF-8 checked piece by piece must give what the whole text gives,
// also where a short window sends lines to the streaming check.
void check_pieces(std::string_view text, const quarlen::Result<quarlen::ScannedLines>& whole,
                  std::string_view name) {
  quarlen::MemberLineScanner scanner(name, 1, nullptr, 8);
  in_pieces(text, [&](std::string_view piece) { scanner.feed(piece); });
  auto pieces = scanner.finish();
  if (pieces.ok() != whole.ok()) fail("lines in pieces disagree with the whole text");
  if (!pieces.ok() && pieces.error().message() != whole.error().message()) {
    fail("line messages in pieces differ: [" + pieces.error().message() + "] and [" +
         whole.error().message() + "]");
  }
  if (pieces.ok() && (pieces->rows != whole->rows || pieces->shape.row != whole->shape.row ||
                      pieces->shape.values != whole->shape.values)) {
    fail("lines in pieces count differently");
  }
}

// The changes, each as one text, in an order of their own; `back` swaps
// the sides, as comparing the files the other way round does.
std::vector<std::string> change_texts(const std::vector<quarlen::RowChange>& changes, bool back) {
  std::vector<std::string> out;
  for (const quarlen::RowChange& c : changes) {
    std::string text = (back ? "RAC" : "ARC")[static_cast<int>(c.kind)] + c.key + '|' +
                       (back ? c.new_row : c.old_row) + '|' + (back ? c.old_row : c.new_row);
    for (size_t column : c.columns) text += ',' + std::to_string(column);
    out.push_back(std::move(text));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Rows written as a member of a sound file: the table holds them all, and the
// diff with another sound file finds the same changes either way round.
void check_written(std::string_view block, uint64_t rows) {
  write_rows(input_path(), block, rows);
  check_table(input_path(), kWritten, Outcome(static_cast<size_t>(rows)));
  const size_t first[] = {0};
  auto there = quarlen::diff_member(input_path(), sound_text, kWritten, first);
  auto back = quarlen::diff_member(sound_text, input_path(), kWritten, first);
  if (!there || !back) fail("sound files do not diff");
  if (change_texts(*there, false) != change_texts(*back, true)) fail("the diff is not symmetric");
}

// Taken as JSON lines in pieces, the text must be stored as rows() stores the
// array of its lines that are not blank.
void check_json_lines(std::string_view text) {
  quarlen::JsonLineEncoder encoder(1);
  bool ok = true;
  in_pieces(text, [&](std::string_view piece) {
    while (ok && !piece.empty()) ok = encoder.feed(&piece);
  });
  if (!ok || !encoder.finish()) return;
  std::string array = "[";
  size_t lines = 0;
  for (size_t pos = 0; pos < text.size();) {
    const size_t lf = std::min(text.find('\n', pos), text.size());
    const std::string_view line = text.substr(pos, lf - pos);
    pos = lf + 1;
    if (line.find_first_not_of(" \t\r\n") == std::string_view::npos) continue;
    if (lines++ > 0) array += ',';
    array += line;
  }
  array += ']';
  auto encoded = quarlen::encode_rows(array, 1);
  if (!encoded || encoded->shape.row != 0 || encoded->block != encoder.block() ||
      encoded->rows != encoder.rows()) {
    fail("JSON lines are not stored as rows() stores them");
  }
  check_written(encoder.block(), encoder.rows());
}

void check_json(std::string_view text) {
  check_json_lines(text);
  quarlen::Utf8Check utf8;
  in_pieces(text, [&](std::string_view piece) { utf8.feed(piece); });
  if (utf8.finish() != quarlen::valid_utf8(text)) fail("UTF-8 in pieces disagrees");
  if (!quarlen::valid_utf8(text)) return;
  constexpr std::string_view kName = "control_rows/K";
  auto values = quarlen::parse_member_lines(kName, text);
  std::string compact;
  auto scanned = quarlen::scan_member_lines(kName, text, 1, &compact);
  check_pieces(text, scanned, kName);
  if (values && scanned) {
    const std::string expected = quarlen::to_compact(quarlen::Json(*values));
    if ("[" + compact + "]" != expected) fail("scanned lines differ from parsed lines");
    if (scanned->rows != values->size()) fail("scanned line count differs");
    auto shaped = quarlen::check_rows(kName, *values);
    const std::string scanned_shape =
        scanned->shape.row == 0 ? "" : quarlen::shape_message(kName, scanned->shape, 1);
    if ((shaped ? std::string() : shaped.error().message()) != scanned_shape) {
      fail("scanned shape differs from check_rows");
    }
  } else if (!values && !scanned) {
    if (values.error().message() != scanned.error().message()) {
      fail("line messages differ: [" + values.error().message() + "] and [" +
           scanned.error().message() + "]");
    }
  } else {
    fail("scan_member_lines and parse_member_lines disagree");
  }

  auto array = quarlen::parse_json_array(text);
  auto encoded = quarlen::encode_rows(text, 1);
  if (array && encoded) {
    std::string block;
    for (const quarlen::Json& row : array->get_ref<const quarlen::Json::array_t&>()) {
      quarlen::append_compact(row, block);
      block += '\n';
    }
    if (block != encoded->block || encoded->rows != array->size()) {
      fail("encode_rows differs from parse_json_array");
    }
  } else if (!array && !encoded) {
    if (array.error().message() != encoded.error().message()) {
      fail("array messages differ: [" + array.error().message() + "] and [" +
           encoded.error().message() + "]");
    }
  } else {
    fail("encode_rows and parse_json_array disagree");
  }
}

void run(const std::string& path) {
  auto opened = quarlen::open_archive(path);
  auto manifest = quarlen::manifest_text(path);
  auto report_text = quarlen::verify_text(path);
  if (!opened) {
    const std::string& message = opened.error().message();
    if (manifest || manifest.error().message() != message) fail("manifest_text disagrees");
    if (report_text || report_text.error().message() != message) fail("verify_text disagrees");
    return;
  }
  if (!manifest || *manifest != quarlen::to_compact(opened->manifest())) {
    fail("manifest_text differs from the opened manifest");
  }

  const std::vector<std::string> names = quarlen::listed_members(*opened);
  const quarlen::Json report = quarlen::verify_archive(*opened);
  if (!report_text || *report_text != quarlen::to_compact(report)) {
    fail("verify_text differs from verify_archive");
  }

  // The report must say what read_member says, member by member.
  const auto& counted = report["members"];
  const auto& problems = report["problems"].get_ref<const quarlen::Json::array_t&>();
  size_t problem = 0;
  Outcome instances = size_t{0};  // the rows of every control_rows instance, or the first fault
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    auto rows = quarlen::read_member(*opened, name);
    if (rows) {
      if (!counted.contains(name) || counted[name] != quarlen::Json(rows->size())) {
        fail("report count differs for " + name);
      }
    } else {
      if (problem >= problems.size() || problems[problem] != rows.error().message()) {
        fail("report problem differs for " + name);
      }
      ++problem;
    }
    read_both_ways(*opened, path, name, i < kMaxTextReads);
    const Outcome read = rows ? Outcome(rows->size()) : Outcome(rows.error());
    if (i < kMaxTableReads) {
      check_table(path, name, read);
      check_diff(path, name, read);
    }
    if (name.starts_with("control_rows/") && instances) {
      instances = read ? Outcome(*instances + *read) : read;
    }
  }
  if (problem != problems.size()) fail("report has extra problems");
  if (report["ok"] != quarlen::Json(problems.empty())) fail("report ok is wrong");

  for (std::string_view name : kFixedNames) read_both_ways(*opened, path, name, true);
  check_table(path, "control_rows", instances, 2);  // a keyed member by its bare name
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int baseline = lowest_free_descriptor();
  write_input(data, size);
  run(input_path());
  std::vector<uint8_t> repaired(data, data + size);
  if (repair_stored_crcs(repaired)) {
    write_input(repaired.data(), repaired.size());
    run(input_path());
  }
  check_json(std::string_view(reinterpret_cast<const char*>(data), size));
  if (lowest_free_descriptor() > baseline + kDescriptorSlack) fail("file descriptors leaked");
  return 0;
}
