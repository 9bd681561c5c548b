#include "quarlen/arrow_table.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "arrow_column.h"
#include "arrow_export.h"
#include "entry_lines.h"
#include "quarlen/compact_text.h"
#include "quarlen/format.h"
#include "quarlen/read_ahead.h"
#include "quarlen/reader.h"
#include "quarlen/utf8.h"

namespace quarlen {
namespace {

// One member of one file, as the table reads it.
struct Source {
  std::string path;
  std::string member;
  std::string snapshot;
  std::string key;
  // The rows as the first pass read them, kept for the batches when all the
  // members so kept come to no more than kKeptBytes; shared by every table
  // made again.
  std::shared_ptr<const std::string> kept;
  // The rows as lines, as the first pass read them: what lets the second read
  // take the entry's text as it stands.
  LinesDigest lines;
};

// Walks every row of *rows (compact rows separated by ','), noting the kinds
// of their values unless `kinds` is null. With `lines`, then adds the rows to
// it as lines: the ',' between rows become line feeds, which the walk no
// longer needs. A member that breaks its shape fails its checks, so what is
// read of it then does not matter; the reader stays within the text.
void walk_rows(std::string* rows, std::vector<ColumnKinds>* kinds, LinesDigest* lines) {
  CompactReader r(*rows);
  if (r.at_end()) return;
  for (;;) {
    if (kinds == nullptr || r.peek() != '[') {
      r.value();
    } else if (r.open()) {
      for (size_t i = 0; !r.at_end(); ++i) {
        if (i < kinds->size()) (*kinds)[i].observe(r);
        else r.value();
        if (!r.more()) break;
      }
    }
    const size_t end = static_cast<size_t>(r.position() - rows->data());
    if (!r.more()) break;
    if (lines != nullptr) (*rows)[end] = '\n';  // the reader is past it
  }
  if (lines == nullptr) return;
  rows->push_back('\n');
  lines->add(*rows);
}

// Whether texts of up to `longest` bytes, one a row, could pass int32
// offsets in a batch.
bool needs_large(size_t longest) {
  return longest >= static_cast<size_t>(INT32_MAX) / static_cast<size_t>(kBatchRows);
}

}  // namespace

struct ArrowTable::State {
  // The first pass, which again() copies.
  TableRequest request;
  const MemberSpec* spec = nullptr;
  bool bare = false;  // a keyed member by its bare name: every instance

  bool prepared = false;
  std::optional<Error> fault;  // the first, which every later call repeats
  std::vector<Source> sources;
  std::vector<FieldSpec> fields;
  std::vector<ColumnType> types;
  bool large = false;

  // The second read.
  size_t next_source = 0;
  const Source* current = nullptr;
  std::unique_ptr<ReadAhead> reader;  // null once the member ended
  bool from_lines = false;            // `reader` reads the entry's lines as they stand
  std::string text;                   // rows read, not yet in a batch from `pos` on
  std::shared_ptr<const std::string> kept_rows;  // the source's, read in place of `text`
  size_t pos = 0;
  std::string piece;

  Result<void> scan(Interrupt* interrupt);
  Result<void> list_sources();
  Result<bool> fill();
  // The rows that the batches are built from, from `pos` on.
  std::string_view rows() const {
    return kept_rows != nullptr ? std::string_view(*kept_rows) : std::string_view(text);
  }
  Result<void> build(ArrowArray* out);
  Error changed() const;
  Error differs() const;
  Error fail(Error error) {
    if (!fault) fault = std::move(error);
    return *fault;
  }
};

Result<void> ArrowTable::State::list_sources() {
  const std::string prefix = request.name + "/";
  for (size_t i = 0; i < request.paths.size(); ++i) {
    const std::string& path = request.paths[i];
    const std::string snapshot = request.snapshots.empty() ? std::string() : request.snapshots[i];
    if (!bare) {
      sources.push_back({path, request.name, snapshot, std::string(), nullptr, {}});
      continue;
    }
    auto opened = open_archive(path);
    if (!opened) return std::move(opened).error();
    for (const std::string& member : listed_members(*opened)) {
      if (member.starts_with(prefix)) {
        sources.push_back({path, member, snapshot, member.substr(prefix.size()), nullptr, {}});
      }
    }
  }
  return {};
}

Result<void> ArrowTable::State::scan(Interrupt* interrupt) {
  auto listed = list_sources();
  if (!listed) return listed;
  std::vector<ColumnKinds> kinds(spec->columns.size());
  size_t largest = 0;
  size_t kept = 0;
  std::string rows;
  for (Source& source : sources) {
    // Inflating, checking and looking at the rows take a thread each.
    auto opened = MemberReader::open(source.path, source.member, true);
    if (!opened) return std::move(opened).error();
    std::string whole;
    ReadAhead reader(std::move(*opened));
    size_t bytes = 0;
    bool digested = false;
    for (bool more = true; more;) {
      rows.clear();
      auto next = reader.next(&rows, interrupt);
      if (!next) return std::move(next).error();
      more = *next;
      bytes += rows.size() + 1;
      const bool keep = kept + bytes <= kKeptBytes;
      // Rows read again need their digest, which the kept ones go without.
      if (!keep && !digested) {
        walk_rows(&whole, nullptr, &source.lines);
        whole = std::string();
        digested = true;
      }
      if (keep && !rows.empty()) {
        walk_rows(&rows, &kinds, nullptr);
        if (!whole.empty()) whole += ',';
        whole += rows;
      } else {
        walk_rows(&rows, &kinds, &source.lines);
      }
    }
    source.lines.finish();
    largest = std::max(largest, bytes);
    if (kept + bytes <= kKeptBytes) {
      kept += bytes;
      source.kept = std::make_shared<const std::string>(std::move(whole));
    }
  }
  // A batch's texts in one column are at most the batch's rows' text, which
  // is at most its member's.
  large = largest >= static_cast<size_t>(INT32_MAX);
  size_t longest_snapshot = 0;
  size_t longest_key = 0;
  for (const Source& source : sources) {
    longest_snapshot = std::max(longest_snapshot, source.snapshot.size());
    longest_key = std::max(longest_key, source.key.size());
  }
  if (!request.snapshots.empty()) {
    const bool big = needs_large(longest_snapshot);
    fields.push_back({"snapshot", arrow_format(ColumnType::kString, big), false});
    types.push_back(ColumnType::kString);
  }
  if (bare) {
    const bool big = needs_large(longest_key);
    fields.push_back({"key", arrow_format(ColumnType::kString, big), false});
    types.push_back(ColumnType::kString);
  }
  for (size_t i = 0; i < kinds.size(); ++i) {
    const ColumnType type = kinds[i].type();
    fields.push_back({std::string(spec->columns[i]), arrow_format(type, large),
                      type == ColumnType::kJson});
    types.push_back(type);
  }
  return {};
}

Error ArrowTable::State::changed() const {
  return Error(display_path(current->path) + ": " + current->member +
               " changed while it was read")
      .with_path(current->path)
      .with_member(current->member);
}

// When the entry's text turned out not to be what the first pass read: the
// member's own fault, as read_text gives it, or the change.
Error ArrowTable::State::differs() const {
  auto opened = MemberReader::open(current->path, current->member);
  if (!opened) return std::move(opened).error();
  std::string rows;
  for (;;) {
    rows.clear();
    auto more = (*opened)->next(&rows, ReadAhead::kBatchBytes);
    if (!more) return std::move(more).error();
    if (!*more) return changed();
  }
}

// Reads on until a batch's worth of rows waits in `text`, or what is left of
// the member; false at the end of the table.
Result<bool> ArrowTable::State::fill() {
  for (;;) {
    if (reader != nullptr && text.size() - pos < kBatchBytes) {
      text.erase(0, pos);
      pos = 0;
      piece.clear();  // the end leaves it as it is
      auto next = reader->next(&piece, nullptr);
      if (!next) {
        if (from_lines) return differs();
        return std::move(next).error();
      }
      if (!*next) reader.reset();  // closes the file now
      if (!piece.empty()) {
        if (!text.empty()) text += ',';
        text += piece;
      }
      continue;
    }
    if (pos < rows().size()) return true;
    if (next_source == sources.size()) return false;
    const Source& source = sources[next_source++];
    current = &source;
    text.clear();
    pos = 0;
    kept_rows = source.kept;
    if (kept_rows != nullptr) continue;
    // The entry's lines when they are the rows the first pass proved: no
    // check need run again on them but their CRC-32, which runs with the
    // cutting into rows on a thread of its own while the batch before is built.
    auto lines = EntryLines::open(current->path, current->member, current->lines);
    from_lines = lines != nullptr;
    if (from_lines) {
      reader = std::make_unique<ReadAhead>(std::move(lines));
      continue;
    }
    auto opened = MemberReader::open(current->path, current->member);
    if (!opened) return std::move(opened).error();
    reader = std::make_unique<ReadAhead>(std::move(*opened));
  }
}

Result<void> ArrowTable::State::build(ArrowArray* out) {
  std::vector<ColumnBuilder> columns;
  columns.reserve(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    const bool big = fields[i].format == "U";
    columns.emplace_back(types[i], big);
  }
  const size_t first = fields.size() - spec->columns.size();
  const size_t n = spec->columns.size();
  const std::string_view all = rows();
  CompactReader r(all.substr(pos));
  const size_t start = pos;
  int64_t length = 0;
  for (bool more_rows = true; more_rows && length < kBatchRows && pos - start < kBatchBytes;) {
    if (r.at_end() || r.peek() != '[' || !r.open()) return changed();
    size_t c = 0;
    if (!request.snapshots.empty()) columns[c++].append_text(current->snapshot);
    if (bare) columns[c++].append_text(current->key);
    for (size_t i = 0; i < n; ++i) {
      if (r.at_end() || !columns[first + i].append(r)) return changed();
      if (r.more() != (i + 1 < n)) return changed();
    }
    ++length;
    more_rows = r.more();
    pos = more_rows ? static_cast<size_t>(r.position() - all.data()) : all.size();
  }
  ArrayParts batch;
  batch.length = length;
  batch.buffers.emplace_back();
  batch.absent.push_back(true);  // no row is null
  batch.children.resize(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) columns[i].finish(&batch.children[i]);
  export_array(std::move(batch), out);
  return {};
}

ArrowTable::ArrowTable(std::unique_ptr<State> state) : state_(std::move(state)) {}
ArrowTable::~ArrowTable() = default;

Result<std::unique_ptr<ArrowTable>> ArrowTable::make(TableRequest request) {
  auto state = std::make_unique<State>();
  auto found = lookup_member(request.name);
  if (found) {
    state->spec = *found;
  } else {
    for (const MemberSpec& m : member_table()) {
      if (m.keyed && m.name == request.name) state->spec = &m;
    }
    if (state->spec == nullptr) return std::move(found).error();
    state->bare = true;
  }
  state->request = std::move(request);
  return std::unique_ptr<ArrowTable>(new ArrowTable(std::move(state)));
}

Result<void> ArrowTable::prepare(Interrupt* interrupt) {
  State& s = *state_;
  if (!s.prepared) {
    auto scanned = s.scan(interrupt);
    if (!scanned && stop_requested(interrupt)) {
      s.sources.clear();  // the pass starts over when asked again
      return std::move(scanned).error();
    }
    s.prepared = true;
    if (!scanned) s.fail(std::move(scanned).error());
  }
  if (s.fault) return *s.fault;
  return {};
}

std::unique_ptr<ArrowTable> ArrowTable::again() const {
  const State& s = *state_;
  assert(s.next_source == 0 && s.reader == nullptr);  // nothing read yet
  auto copy = std::make_unique<State>();
  copy->request = s.request;
  copy->spec = s.spec;
  copy->bare = s.bare;
  copy->prepared = s.prepared;
  copy->fault = s.fault;
  copy->sources = s.sources;
  copy->fields = s.fields;
  copy->types = s.types;
  copy->large = s.large;
  return std::unique_ptr<ArrowTable>(new ArrowTable(std::move(copy)));
}

Result<void> ArrowTable::export_schema(ArrowSchema* out) {
  auto prepared = prepare();
  if (!prepared) return prepared;
  export_batch_schema(state_->fields, out);
  return {};
}

Result<std::vector<FieldSpec>> ArrowTable::fields() {
  auto prepared = prepare();
  if (!prepared) return std::move(prepared).error();
  return state_->fields;
}

Result<bool> ArrowTable::next_batch(ArrowArray* out) {
  auto prepared = prepare();
  if (!prepared) return std::move(prepared).error();
  State& s = *state_;
  auto filled = s.fill();
  if (!filled) return s.fail(std::move(filled).error());
  if (!*filled) return false;
  auto built = s.build(out);
  if (!built) {
    s.reader.reset();
    return s.fail(std::move(built).error());
  }
  return true;
}

namespace {

struct StreamData {
  std::unique_ptr<ArrowTable> table;
  std::string last_error;
};

StreamData& stream_data(ArrowArrayStream* stream) {
  return *static_cast<StreamData*>(stream->private_data);
}

// Runs `call`, turning its fault into the stream's error.
template <class F>
int stream_call(ArrowArrayStream* stream, F&& call) {
  StreamData& data = stream_data(stream);
  try {
    auto done = call(*data.table);
    if (done) return 0;
    data.last_error = done.error().message();
    return EIO;
  } catch (const std::bad_alloc&) {
    data.last_error = "out of memory";
    return ENOMEM;
  }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  return stream_call(stream, [&](ArrowTable& table) { return table.export_schema(out); });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  return stream_call(stream, [&](ArrowTable& table) -> Result<void> {
    auto more = table.next_batch(out);
    if (!more) return std::move(more).error();
    if (!*more) out->release = nullptr;  // the end of the stream
    return {};
  });
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  const std::string& error = stream_data(stream).last_error;
  return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamData*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void ArrowTable::export_stream(std::unique_ptr<ArrowTable> table, ArrowArrayStream* out) {
  auto data = std::make_unique<StreamData>();
  data->table = std::move(table);
  *out = ArrowArrayStream{};
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
  out->private_data = data.release();
}

}  // namespace quarlen
