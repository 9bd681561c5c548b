#include "quarlen/diff.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "listed_member.h"
#include "quarlen/diff_rules.h"
#include "quarlen/compact_text.h"
#include "quarlen/format.h"
#include "quarlen/hash.h"
#include "quarlen/json_text.h"
#include "quarlen/read_ahead.h"
#include "quarlen/reader.h"
#include "quarlen/utf8.h"
#include "zip/zip_reader.h"

namespace quarlen {
namespace {

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

// The two files and the member compared, for every step.
struct Compared {
  const std::string& old_path;
  const std::string& new_path;
  std::string_view name;
  Interrupt* interrupt;
};

// A row's digests, and the text of its key: empty where the whole row is the
// key, and then one digest serves both.
struct RowDigests {
  Digest key;
  Digest row;
  std::string_view key_text;  // valid until the next row
};

// How the rows of the member are keyed: by their values at the key columns,
// or whole when there are none; and which rows are kept and how they are
// compared, by the rules.
class RowKeys {
 public:
  RowKeys(std::span<const size_t> columns, const DiffRules& rules)
      : columns_(columns), rules_(rules) {}

  // Whether a row's values must be split to find its key, or for the rules.
  bool split() const { return !columns_.empty() || !rules_.keeps_all() || rules_.reshapes(); }

  // REQUIRES: `elements` holds the row's values when split().
  bool keeps(const std::vector<std::string_view>& elements) const {
    return rules_.keeps_all() || rules_.keeps(elements);
  }

  // REQUIRES: `elements` holds the row's values when split().
  RowDigests digests(std::string_view row, const std::vector<std::string_view>& elements) {
    const Digest whole = compared_digest(row, elements);
    if (columns_.empty()) {
      return RowDigests{rules_.reshapes() ? digests_.of(row) : whole, whole, {}};
    }
    const std::string_view key = key_text(elements, columns_, &scratch_);
    return RowDigests{digests_.of(key), whole, key};
  }

  // The digest of a row as the rules compare it.
  Digest row_digest(std::string_view row) {
    if (!rules_.reshapes()) return digests_.of(row);
    split_row(row, &elements_);
    return compared_digest(row, elements_);
  }

  // The key of a row, split here.
  std::string key_of(std::string_view row) {
    if (columns_.empty()) return std::string(row);
    split_row(row, &elements_);
    return std::string(key_text(elements_, columns_, &scratch_));
  }

 private:
  Digest compared_digest(std::string_view row, const std::vector<std::string_view>& elements) {
    if (!rules_.reshapes()) return digests_.of(row);
    rules_.compared_form(elements, &compared_);
    return digests_.of(compared_);
  }

  std::span<const size_t> columns_;
  const DiffRules& rules_;
  Digests digests_;
  std::string scratch_;
  std::string compared_;
  std::vector<std::string_view> elements_;
};

// Reads the member `name` of `path` and calls visit(row, elements) for its
// rows in order, `elements` split only when `split`. A fault is read_text's
// error. The batches are read ahead while the rows of the last one are visited.
template <class F>
Result<void> for_each_row(const std::string& path, std::string_view name, bool split,
                          Interrupt* interrupt, F&& visit) {
  auto opened = MemberReader::open(path, name);
  if (!opened) return std::move(opened).error();
  ReadAhead batches(std::move(*opened));
  std::string batch;
  std::vector<std::string_view> elements;
  for (;;) {
    auto more = batches.next(&batch, interrupt);
    if (!more) return std::move(more).error();
    if (!*more) return {};
    const std::string_view text = batch;
    for (size_t i = 0; i < text.size(); ++i) {  // ++i steps over the ',' between rows
      const size_t start = i;
      i = row_end(text, i, split ? &elements : nullptr);
      visit(text.substr(start, i - start), elements);
    }
  }
}

// The member's checksum as the manifest records it; empty when it is not listed.
Result<std::string> recorded_checksum(const std::string& path, std::string_view name) {
  auto opened = open_archive(path);
  if (!opened) return std::move(opened).error();
  std::optional<ListedMember> listed = ListedMember::find(*opened, name);
  return listed ? listed->sha256() : std::string();
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

// Takes the lines of the old member at the indexes of `rows` (ascending) as
// its pieces come, with their texts and keys. Each row taken must have the
// digest first read.
class WantedLines {
 public:
  WantedLines(RowKeys& keys, std::vector<Unmatched>& rows) : keys_(keys), rows_(rows) {}

  bool complete() const { return next_ == rows_.size(); }

  // False once a row taken differs from the one first read.
  bool feed(std::string_view rest) {
    while (!rest.empty() && !complete()) {
      const void* lf = std::memchr(rest.data(), '\n', rest.size());
      const size_t end = lf == nullptr ? rest.size()
                                       : static_cast<size_t>(static_cast<const char*>(lf) - rest.data());
      const bool wanted = number_ == rows_[next_].index;
      if (wanted) line_.append(rest.substr(0, end));
      if (lf == nullptr) break;  // the line runs on into the next piece
      rest.remove_prefix(end + 1);
      if (wanted && !take()) return false;
      ++number_;
    }
    return true;
  }

  // After the last piece: whether every row wanted was taken. The last line
  // may end without a line feed.
  bool finish() {
    if (!complete() && number_ == rows_[next_].index && !line_.empty() && !take()) return false;
    return complete();
  }

 private:
  // A row's compact form ignores the carriage return that may end its line.
  bool take() {
    Unmatched& row = rows_[next_];
    compact_.clear();
    if (!scanner_.scan_value(line_, &compact_, &shape_) || keys_.row_digest(compact_) != row.row) {
      return false;
    }
    row.text = compact_;
    row.key = keys_.key_of(row.text);
    line_.clear();
    ++next_;
    return true;
  }

  RowKeys& keys_;
  std::vector<Unmatched>& rows_;
  JsonScanner scanner_;
  ValueShape shape_;
  std::string line_;
  std::string compact_;
  size_t next_ = 0;      // of rows_
  uint64_t number_ = 0;  // of the line being read
};

// Fills in the text and key of each of `rows` from the old member's entry.
// The member passed its checks when it was first read, so this reading only
// inflates and cuts lines, and stops after the last row wanted. False when
// the member no longer holds those rows.
Result<bool> fetch_rows(const Compared& files, RowKeys& keys, std::vector<Unmatched>& rows) {
  auto opened = open_archive(files.old_path);
  if (!opened) return std::move(opened).error();
  std::optional<ListedMember> listed = ListedMember::find(*opened, files.name);
  if (!listed) return false;
  auto entry = opened->archive().open_entry(member_entry(files.name));
  if (!entry) return false;
  zip::EntryReader reader = opened->archive().reader(*entry);
  WantedLines lines(keys, rows);
  while (!lines.complete()) {
    if (stop_requested(files.interrupt)) return Error(kInterrupted);
    auto piece = reader.next();
    if (!piece) return listed->fault(piece.error().message());
    if (reader.done()) break;
    if (!lines.feed(*piece)) return false;
  }
  return lines.finish();
}

// A new row that no old row matched.
struct Unpaired {
  std::string key_text;  // empty when the whole row is the key
  std::string row;

  std::string_view key() const { return key_text.empty() ? std::string_view(row) : key_text; }
  std::string take_key() { return key_text.empty() ? row : std::move(key_text); }
};

// One changed row of either side, for ordering.
struct Side {
  std::string_view key;
  bool added;  // removed rows sort first under their key
  std::string_view row;
  size_t source;  // index into the side's vector
};

std::vector<size_t> differing_columns(std::string_view old_row, std::string_view new_row,
                                      const DiffRules& rules) {
  std::vector<std::string_view> a, b;
  split_row(old_row, &a);
  split_row(new_row, &b);
  std::vector<size_t> columns;
  for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    if (i >= a.size() || i >= b.size() || rules.differ(i, a[i], b[i])) {
      columns.push_back(i);
    }
  }
  return columns;
}

// --- The steps of diff_member ------------------------------------------------

Result<void> check_key_columns(std::string_view name, std::span<const size_t> key_columns) {
  auto spec = lookup_member(name);
  if (!spec) return std::move(spec).error();
  const size_t columns = (*spec)->columns.size();
  for (size_t column : key_columns) {
    if (column >= columns) {
      return Error(std::string(name) + ": no column " + std::to_string(column) + " (" +
                   std::to_string(columns) + " columns)")
          .with_member(std::string(name));
    }
  }
  return {};
}

// Members with the same recorded checksum hold the same text once both pass
// their checks: true when they were found so, after both were read.
Result<bool> same_recorded_text(const Compared& files) {
  auto old_sum = recorded_checksum(files.old_path, files.name);
  if (!old_sum) return std::move(old_sum).error();
  auto new_sum = recorded_checksum(files.new_path, files.name);
  if (!new_sum) return std::move(new_sum).error();
  if (old_sum->empty() || *old_sum != *new_sum) return false;
  for (const std::string* path : {&files.old_path, &files.new_path}) {
    auto checked = for_each_row(*path, files.name, false, files.interrupt,
                                [](std::string_view, const auto&) {});
    if (!checked) return std::move(checked).error();
  }
  return true;
}

// The old rows, as digests only.
Result<OldRows> index_old_rows(const Compared& files, RowKeys& keys) {
  OldRows old_rows;
  uint64_t count = 0;
  auto read = for_each_row(files.old_path, files.name, keys.split(), files.interrupt,
                           [&](std::string_view row, const auto& elements) {
                             const uint64_t index = count++;
                             if (!keys.keeps(elements)) return;
                             const RowDigests d = keys.digests(row, elements);
                             old_rows.add(d.key, d.row, index);
                           });
  if (!read) return std::move(read).error();
  old_rows.seal();
  return old_rows;
}

// The new rows: each one matches an old row equal to it, or is kept.
Result<std::vector<Unpaired>> match_new_rows(const Compared& files, RowKeys& keys,
                                             OldRows& old_rows) {
  std::vector<Unpaired> unpaired;
  auto read = for_each_row(files.new_path, files.name, keys.split(), files.interrupt,
                           [&](std::string_view row, const auto& elements) {
                             if (!keys.keeps(elements)) return;
                             const RowDigests d = keys.digests(row, elements);
                             if (!old_rows.take(d.key, d.row)) {
                               unpaired.push_back(Unpaired{std::string(d.key_text), std::string(row)});
                             }
                           });
  if (!read) return std::move(read).error();
  return unpaired;
}

// The old rows left over, read again for their texts.
Result<std::vector<Unmatched>> fetch_unmatched(const Compared& files, RowKeys& keys,
                                               OldRows old_rows) {
  std::vector<Unmatched> unmatched = old_rows.release_unmatched();
  if (unmatched.empty()) return unmatched;
  auto fetched = fetch_rows(files, keys, unmatched);
  if (!fetched) return std::move(fetched).error();
  if (!*fetched) {
    const std::string member(files.name);
    return Error(display_path(files.old_path) + ": " + member + " changed during the comparison")
        .with_path(files.old_path)
        .with_member(member);
  }
  return unmatched;
}

// Both sides' rows in the order of the changes: by key, removed before added,
// then by row.
std::vector<Side> ordered_sides(const std::vector<Unmatched>& unmatched,
                                const std::vector<Unpaired>& unpaired) {
  std::vector<Side> sides;
  sides.reserve(unmatched.size() + unpaired.size());
  for (size_t i = 0; i < unmatched.size(); ++i) {
    sides.push_back(Side{unmatched[i].key, false, unmatched[i].text, i});
  }
  for (size_t i = 0; i < unpaired.size(); ++i) {
    sides.push_back(Side{unpaired[i].key(), true, unpaired[i].row, i});
  }
  std::sort(sides.begin(), sides.end(), [](const Side& a, const Side& b) {
    return std::tie(a.key, a.added, a.row) < std::tie(b.key, b.added, b.row);
  });
  return sides;
}

RowChange removed(Unmatched& u) {
  RowChange c;
  c.kind = ChangeKind::kRemoved;
  c.key = std::move(u.key);
  c.old_row = std::move(u.text);
  return c;
}

RowChange added(Unpaired& u) {
  RowChange c;
  c.kind = ChangeKind::kAdded;
  c.key = u.take_key();
  c.new_row = std::move(u.row);
  return c;
}

RowChange changed(Unmatched& before, Unpaired& after, const DiffRules& rules) {
  RowChange c;
  c.kind = ChangeKind::kChanged;
  c.columns = differing_columns(before.text, after.row, rules);
  c.key = std::move(before.key);
  c.old_row = std::move(before.text);
  c.new_row = std::move(after.row);
  return c;
}

// A key held by one row in each file whose rows differ gives a change (the
// new row is unpaired because the only old row under its key differs); any
// other row left over is removed or added.
std::vector<RowChange> pair_changes(std::vector<Unmatched> unmatched,
                                    std::vector<Unpaired> unpaired, const DiffRules& rules) {
  const std::vector<Side> sides = ordered_sides(unmatched, unpaired);
  std::vector<RowChange> changes;
  changes.reserve(sides.size());
  for (size_t i = 0; i < sides.size();) {
    size_t end = i + 1;
    while (end < sides.size() && sides[end].key == sides[i].key) ++end;
    if (end - i == 2 && !sides[i].added && sides[i + 1].added &&
        unmatched[sides[i].source].key_rows == 1) {
      changes.push_back(changed(unmatched[sides[i].source], unpaired[sides[i + 1].source], rules));
      i = end;
      continue;
    }
    for (; i < end; ++i) {
      changes.push_back(sides[i].added ? added(unpaired[sides[i].source])
                                       : removed(unmatched[sides[i].source]));
    }
  }
  return changes;
}

}  // namespace

Result<std::vector<RowChange>> diff_member(const std::string& old_path,
                                           const std::string& new_path, std::string_view name,
                                           std::span<const size_t> key_columns,
                                           Interrupt* interrupt, const DiffRules& rules) {
  auto checked = check_key_columns(name, key_columns);
  if (!checked) return std::move(checked).error();
  const Compared files{old_path, new_path, name, interrupt};
  auto same = same_recorded_text(files);
  if (!same) return std::move(same).error();
  if (*same) return std::vector<RowChange>();

  RowKeys keys(key_columns, rules);
  auto old_rows = index_old_rows(files, keys);
  if (!old_rows) return std::move(old_rows).error();
  auto unpaired = match_new_rows(files, keys, *old_rows);
  if (!unpaired) return std::move(unpaired).error();
  auto unmatched = fetch_unmatched(files, keys, std::move(*old_rows));
  if (!unmatched) return std::move(unmatched).error();
  return pair_changes(std::move(*unmatched), std::move(*unpaired), rules);
}

}  // namespace quarlen
