// Comparing one member of two snapshots row by row: rows are matched by the
// values of their key columns and compared whole.
#ifndef QUARLEN_DIFF_H_
#define QUARLEN_DIFF_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarlen/diff_rules.h"
#include "quarlen/error.h"
#include "quarlen/interrupt.h"

namespace quarlen {

enum class ChangeKind { kAdded, kRemoved, kChanged };

// One row that differs between the two files. Texts are in the compact form
// that read_text gives rows in.
struct RowChange {
  ChangeKind kind = ChangeKind::kAdded;
  std::string key;              // the array of the row's key values
  std::string old_row;          // empty for kAdded
  std::string new_row;          // empty for kRemoved
  std::vector<size_t> columns;  // kChanged: the columns whose values differ, ascending
};

// Compares the member `name` of the files at `old_path` and `new_path`. A
// row's key is the array of its values at `key_columns`, in that order; with
// none, the whole row is its key. A key found once in each file whose rows
// differ gives one kChanged. Where a key occurs more than once in a file, the
// rows under it are compared as multisets of whole rows: each row found on
// one side only gives a kRemoved or a kAdded. A member that a file does not
// list has no rows there.
//
// Both members are read with every check of read_text before anything is
// compared; a fault is read_text's error, the old file's first. The changes
// come in ascending byte order of their key texts; under one key, removed rows
// before added ones, each in ascending byte order of the row's text.
//
// Memory: a digest and an index for each row of the old member, and the texts
// of the rows that changed. The old member is read a second time for the
// texts of its changed rows; if it no longer holds the rows first read, the
// comparison fails with "{old_path}: {name} changed during the comparison".
// Reading gives up with kInterrupted once `interrupt` asks.
//
// `rules` narrow the comparison: rows they do not keep, on either side, are
// left out as they are read (only the rows kept are held), and rows are
// compared, and their differing columns found, as the rules compare them.
// Rows whose whole texts differ may then be the same. No rule may take a key
// column out of the comparison.
Result<std::vector<RowChange>> diff_member(const std::string& old_path,
                                           const std::string& new_path, std::string_view name,
                                           std::span<const size_t> key_columns,
                                           Interrupt* interrupt = nullptr,
                                           const DiffRules& rules = DiffRules());

}  // namespace quarlen

#endif  // QUARLEN_DIFF_H_
