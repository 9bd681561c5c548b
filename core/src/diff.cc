#include "quarlen/diff.h"

#include <algorithm>
#include <chrono>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <tuple>
#include <utility>

#include "quarlen/compact_text.h"
#include "quarlen/format.h"
#include "quarlen/hash.h"
#include "quarlen/json_text.h"
#include "quarlen/reader.h"
#include "quarlen/utf8.h"
#include "zip/zip_reader.h"

namespace quarlen {
namespace {

// Compact text taken from the reader per call: enough to make the calls'
// own cost vanish, little enough to stay in the caches.
constexpr size_t kBatchBytes = size_t{1} << 18;

// How often the thread that waits for the next batch asks the interrupt.
constexpr std::chrono::milliseconds kInterruptPoll{20};

bool stop_requested(Interrupt* interrupt) {
  return interrupt != nullptr && interrupt->requested();
}

// Rows are told apart by the first 128 bits of the SHA-256 of their text: two
// different texts share them by chance far less often than memory fails.
using Digest = std::array<unsigned char, 16>;

class Digests {
 public:
  Digest of(std::string_view text) {
    const std::array<unsigned char, 32> full = sha256_.digest(text);
    Digest digest;
    std::memcpy(digest.data(), full.data(), digest.size());
    return digest;
  }

 private:
  Sha256Digester sha256_;
};

uint64_t load64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// --- Walking compact JSON ----------------------------------------------------
// The reader hands out rows in the compact form, which CompactReader walks.

// The end of the row that starts at t[i]; when `elements` is not null, the
// texts of its values go there (none for a row that is not an array).
size_t row_end(std::string_view t, size_t i, std::vector<std::string_view>* elements) {
  CompactReader row(t.substr(i));
  if (elements != nullptr) elements->clear();
  if (elements == nullptr || row.peek() != '[') {
    row.value();
  } else {
    if (row.open()) {
      do {
        elements->push_back(row.value());
      } while (row.more());
    }
  }
  return static_cast<size_t>(row.position() - t.data());
}

void split_row(std::string_view row, std::vector<std::string_view>* elements) {
  elements->clear();
  if (!row.empty()) row_end(row, 0, elements);
}

// The array of the values at `columns`. A row too short for them fails the
// member's checks at its end; until then a missing value counts as null.
std::string_view key_text(const std::vector<std::string_view>& elements,
                          std::span<const size_t> columns, std::string* out) {
  out->assign(1, '[');
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out->push_back(',');
    out->append(columns[i] < elements.size() ? elements[columns[i]] : std::string_view("null"));
  }
  out->push_back(']');
  return *out;
}

// Reads the member `name` of `path` and calls visit(row, elements) for its
// rows in order, `elements` split only when `split`. A fault is read_text's
// error. The reader inflates and checks the next batch on a thread of its own
// while the rows of the last one are visited.
template <class F>
Result<void> for_each_row(const std::string& path, std::string_view name, bool split,
                          Interrupt* interrupt, F&& visit) {
  auto opened = MemberReader::open(path, name);
  if (!opened) return std::move(opened).error();
  MemberReader& reader = **opened;
  std::string batch;
  std::string ahead;
  std::vector<std::string_view> elements;
  auto more = reader.next(&batch, kBatchBytes, interrupt);
  for (;;) {
    if (!more) return std::move(more).error();
    std::future<Result<bool>> next;
    if (*more) {
      ahead.clear();
      // Where no thread can be had, the batch is read when it is wanted.
      next = std::async(std::launch::async | std::launch::deferred,
                        [&] { return reader.next(&ahead, kBatchBytes, interrupt); });
    }
    const std::string_view text = batch;
    for (size_t i = 0; i < text.size(); ++i) {  // ++i steps over the ',' between rows
      const size_t start = i;
      i = row_end(text, i, split ? &elements : nullptr);
      visit(text.substr(start, i - start), elements);
    }
    if (!*more) return {};
    // The interrupt is asked on this thread too, while it waits as well: it
    // may be the only one that can answer. Once it asked, the reader gives up
    // within a piece.
    bool stop = stop_requested(interrupt);
    while (!stop && next.wait_for(kInterruptPoll) == std::future_status::timeout) {
      stop = stop_requested(interrupt);
    }
    more = next.get();
    if (stop) return Error(kInterrupted);
    batch.swap(ahead);
  }
}

// Reads a member to its end for its checks alone.
Result<void> check_member(const std::string& path, std::string_view name, Interrupt* interrupt) {
  return for_each_row(path, name, false, interrupt, [](std::string_view, const auto&) {});
}

// The member's checksum as the manifest records it; empty when it is not listed.
Result<std::string> recorded_checksum(const std::string& path, std::string_view name) {
  auto opened = open_archive(path);
  if (!opened) return std::move(opened).error();
  const Json& members = opened->manifest()["members"];
  auto it = members.find(std::string(name));
  if (it == members.end() || !it->is_object() || !it->contains("sha256")) return std::string();
  const Json& sha = (*it)["sha256"];
  return sha.is_string() ? sha.get<std::string>() : std::string();
}

// An old row that no new row matched, once its text has been read again.
struct Unmatched {
  uint64_t index = 0;
  Digest row{};
  uint64_t key_rows = 0;  // rows of the old member with this row's key
  std::string text;
  std::string key;
};

// The old member's rows as digests, and which of them the new member matched.
class OldRows {
 public:
  void add(const Digest& key, const Digest& row, uint64_t index) {
    rows_.push_back(Row{key, row, index});
  }

  // Sorts the rows by key, row and index and indexes each run of equal rows.
  // REQUIRES: every row was added.
  void seal() {
    std::sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) {
      const int c = std::memcmp(a.digests(), b.digests(), 2 * sizeof(Digest));
      return c != 0 ? c < 0 : a.index < b.index;
    });
    for (size_t i = 0; i < rows_.size(); ++i) {
      if (i == 0 || !rows_[i].same(rows_[i - 1])) runs_.push_back(Run{i, 0, 0});
      ++runs_.back().size;
    }
    size_t slots = 1;
    while (slots < 2 * runs_.size()) slots *= 2;  // at most half full: probes end
    slots_.assign(slots, 0);
    for (size_t r = 0; r < runs_.size(); ++r) {
      const Row& first = rows_[runs_[r].start];
      size_t s = hash(first.key, first.row) & (slots - 1);
      while (slots_[s] != 0) s = (s + 1) & (slots - 1);
      slots_[s] = r + 1;
    }
  }

  // Marks one old row equal to (key, row) as matched; false when none is left.
  bool take(const Digest& key, const Digest& row) {
    const size_t mask = slots_.size() - 1;
    for (size_t s = hash(key, row) & mask; slots_[s] != 0; s = (s + 1) & mask) {
      Run& run = runs_[slots_[s] - 1];
      const Row& first = rows_[run.start];
      if (first.key != key || first.row != row) continue;
      if (run.taken == run.size) return false;
      ++run.taken;
      return true;
    }
    return false;
  }

  // The rows left unmatched, in the order of the member, with the number of
  // rows under their key; releases everything else.
  std::vector<Unmatched> release_unmatched() {
    std::vector<Unmatched> out;
    for (size_t r = 0; r < runs_.size();) {
      size_t end = r;
      uint64_t key_rows = 0;
      for (; end < runs_.size() && rows_[runs_[end].start].key == rows_[runs_[r].start].key;
           ++end) {
        key_rows += runs_[end].size;
      }
      for (; r < end; ++r) {
        for (size_t i = runs_[r].start + runs_[r].taken; i < runs_[r].start + runs_[r].size;
             ++i) {
          Unmatched u;
          u.index = rows_[i].index;
          u.row = rows_[i].row;
          u.key_rows = key_rows;
          out.push_back(std::move(u));
        }
      }
    }
    std::vector<Row>().swap(rows_);
    std::vector<Run>().swap(runs_);
    std::vector<size_t>().swap(slots_);
    std::sort(out.begin(), out.end(),
              [](const Unmatched& a, const Unmatched& b) { return a.index < b.index; });
    return out;
  }

 private:
  struct Row {
    Digest key;
    Digest row;
    uint64_t index;
    const unsigned char* digests() const { return key.data(); }  // key, then row
    bool same(const Row& o) const { return key == o.key && row == o.row; }
  };
  static_assert(offsetof(Row, row) == sizeof(Digest), "the digests lie side by side");
  struct Run {
    size_t start;  // the first of the run's rows
    size_t size;
    size_t taken;  // how many of them new rows matched
  };

  static size_t hash(const Digest& key, const Digest& row) {
    // The digests are uniform already; different halves keep a whole-row key
    // (key == row) from cancelling out.
    return static_cast<size_t>(load64(key.data()) ^ load64(row.data() + 8));
  }

  std::vector<Row> rows_;
  std::vector<Run> runs_;
  std::vector<size_t> slots_;  // run + 1, or 0 for a free slot
};

// Fills in the text and key of each of `rows` (ascending indexes) from the
// member's entry. The member passed its checks when it was first read, so
// this reading only inflates and cuts lines, and stops after the last row
// wanted; each row it takes must have the digest first read. False when the
// member no longer holds those rows.
Result<bool> fetch_rows(const std::string& path, std::string_view name,
                        std::span<const size_t> key_columns, Digests& digests,
                        std::vector<Unmatched>& rows, Interrupt* interrupt) {
  auto opened = open_archive(path);
  if (!opened) return std::move(opened).error();
  const std::string member(name);
  auto entry = opened->archive().open_entry(member_entry(member));
  if (!entry) return false;
  zip::EntryReader reader = opened->archive().reader(*entry);
  JsonScanner scanner;
  ValueShape shape;
  std::string line;
  std::string compact;
  std::vector<std::string_view> elements;
  size_t next = 0;
  // A row's compact form ignores the carriage return that may end its line.
  auto take = [&]() {
    Unmatched& row = rows[next];
    compact.clear();
    if (!scanner.scan_value(line, &compact, &shape) || digests.of(compact) != row.row) {
      return false;
    }
    row.text = compact;
    if (key_columns.empty()) {
      row.key = compact;
    } else {
      split_row(row.text, &elements);
      key_text(elements, key_columns, &row.key);
    }
    line.clear();
    ++next;
    return true;
  };
  uint64_t number = 0;  // of the line being read
  while (next < rows.size()) {
    if (stop_requested(interrupt)) return Error(kInterrupted);
    auto piece = reader.next();
    if (!piece) return Error(member + ": " + piece.error().message());
    if (reader.done()) break;
    std::string_view rest = *piece;
    while (!rest.empty() && next < rows.size()) {
      const void* lf = std::memchr(rest.data(), '\n', rest.size());
      const size_t end = lf == nullptr ? rest.size()
                                       : static_cast<size_t>(static_cast<const char*>(lf) - rest.data());
      const bool wanted = number == rows[next].index;
      if (wanted) line.append(rest.substr(0, end));
      if (lf == nullptr) break;  // the line runs on into the next piece
      rest.remove_prefix(end + 1);
      if (wanted && !take()) return false;
      ++number;
    }
  }
  // The last line may end without a line feed.
  if (next < rows.size() && number == rows[next].index && !line.empty() && !take()) return false;
  return next == rows.size();
}

// A new row that no old row matched.
struct Unpaired {
  std::string key;  // empty when the whole row is the key
  std::string row;
};

// One changed row of either side, for ordering.
struct Side {
  std::string_view key;
  bool added;  // removed rows sort first under their key
  std::string_view row;
  size_t source;  // index into the side's vector
};

std::vector<size_t> differing_columns(std::string_view old_row, std::string_view new_row) {
  std::vector<std::string_view> a, b;
  split_row(old_row, &a);
  split_row(new_row, &b);
  std::vector<size_t> columns;
  for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    if (i >= a.size() || i >= b.size() || a[i] != b[i]) columns.push_back(i);
  }
  return columns;
}

}  // namespace

Result<std::vector<RowChange>> diff_member(const std::string& old_path,
                                           const std::string& new_path, std::string_view name,
                                           std::span<const size_t> key_columns,
                                           Interrupt* interrupt) {
  auto spec = lookup_member(name);
  if (!spec) return std::move(spec).error();
  for (size_t column : key_columns) {
    if (column >= (*spec)->columns.size()) {
      return Error(std::string(name) + ": no column " + std::to_string(column) + " (" +
                   std::to_string((*spec)->columns.size()) + " columns)");
    }
  }
  const bool whole_row = key_columns.empty();

  // Members with the same recorded checksum hold the same text once both pass
  // their checks.
  auto old_sum = recorded_checksum(old_path, name);
  if (!old_sum) return std::move(old_sum).error();
  auto new_sum = recorded_checksum(new_path, name);
  if (!new_sum) return std::move(new_sum).error();
  if (!old_sum->empty() && *old_sum == *new_sum) {
    auto checked = check_member(old_path, name, interrupt);
    if (!checked) return std::move(checked).error();
    checked = check_member(new_path, name, interrupt);
    if (!checked) return std::move(checked).error();
    return std::vector<RowChange>();
  }

  // First the old rows, as digests only.
  Digests digests;
  OldRows old_rows;
  std::string scratch;
  uint64_t count = 0;
  auto read = for_each_row(old_path, name, !whole_row, interrupt, [&](std::string_view row, const auto& elements) {
    const Digest row_digest = digests.of(row);
    old_rows.add(whole_row ? row_digest : digests.of(key_text(elements, key_columns, &scratch)),
                 row_digest, count++);
  });
  if (!read) return std::move(read).error();
  old_rows.seal();

  // Then the new rows: each one matches an old row equal to it, or is kept.
  std::vector<Unpaired> unpaired;
  read = for_each_row(new_path, name, !whole_row, interrupt, [&](std::string_view row, const auto& elements) {
    const Digest row_digest = digests.of(row);
    const std::string_view key = whole_row ? row : key_text(elements, key_columns, &scratch);
    if (!old_rows.take(whole_row ? row_digest : digests.of(key), row_digest)) {
      unpaired.push_back(Unpaired{whole_row ? std::string() : std::string(key), std::string(row)});
    }
  });
  if (!read) return std::move(read).error();

  // The old rows left over are read again for their texts.
  std::vector<Unmatched> unmatched = old_rows.release_unmatched();
  if (!unmatched.empty()) {
    auto fetched = fetch_rows(old_path, name, key_columns, digests, unmatched, interrupt);
    if (!fetched) return std::move(fetched).error();
    if (!*fetched) {
      return Error(display_path(old_path) + ": " + std::string(name) +
                   " changed during the comparison");
    }
  }

  std::vector<Side> sides;
  sides.reserve(unmatched.size() + unpaired.size());
  for (size_t i = 0; i < unmatched.size(); ++i) {
    sides.push_back(Side{unmatched[i].key, false, unmatched[i].text, i});
  }
  for (size_t i = 0; i < unpaired.size(); ++i) {
    const Unpaired& u = unpaired[i];
    sides.push_back(Side{whole_row ? std::string_view(u.row) : std::string_view(u.key), true, u.row, i});
  }
  std::sort(sides.begin(), sides.end(), [](const Side& a, const Side& b) {
    return std::tie(a.key, a.added, a.row) < std::tie(b.key, b.added, b.row);
  });

  std::vector<RowChange> changes;
  changes.reserve(sides.size());
  for (size_t i = 0; i < sides.size();) {
    size_t end = i + 1;
    while (end < sides.size() && sides[end].key == sides[i].key) ++end;
    // A key held by one row in each file whose rows differ: a change. The
    // new row is unmatched because the only old row under its key differs.
    if (end - i == 2 && !sides[i].added && sides[i + 1].added &&
        unmatched[sides[i].source].key_rows == 1) {
      Unmatched& before = unmatched[sides[i].source];
      Unpaired& after = unpaired[sides[i + 1].source];
      RowChange c;
      c.kind = ChangeKind::kChanged;
      c.columns = differing_columns(before.text, after.row);
      c.key = std::move(before.key);
      c.old_row = std::move(before.text);
      c.new_row = std::move(after.row);
      changes.push_back(std::move(c));
      i = end;
      continue;
    }
    for (; i < end; ++i) {
      RowChange c;
      if (sides[i].added) {
        Unpaired& u = unpaired[sides[i].source];
        c.kind = ChangeKind::kAdded;
        c.key = whole_row ? u.row : std::move(u.key);
        c.new_row = std::move(u.row);
      } else {
        Unmatched& u = unmatched[sides[i].source];
        c.kind = ChangeKind::kRemoved;
        c.key = std::move(u.key);
        c.old_row = std::move(u.text);
      }
      changes.push_back(std::move(c));
    }
  }
  return changes;
}

}  // namespace quarlen
