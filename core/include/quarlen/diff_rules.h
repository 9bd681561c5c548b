// What a comparison looks at: which rows it keeps (by owner and object name),
// which columns take no part in it, and which texts it compares up to their
// whitespace.
#ifndef QUARLEN_DIFF_RULES_H_
#define QUARLEN_DIFF_RULES_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarlen/glob.h"

namespace quarlen {

struct DiffRules {
  // With patterns, a row is kept when its value at the column is a string
  // that one of them matches; a member without the column keeps no row.
  // Without patterns, every row is kept.
  std::optional<size_t> owner_column;
  std::vector<Glob> owner_patterns;
  std::optional<size_t> object_column;
  std::vector<Glob> object_patterns;
  // Columns that take no part in deciding whether a row changed.
  std::vector<size_t> ignored;
  // Columns whose strings compare equal when they differ only in whitespace
  // (spaced_text).
  std::vector<size_t> spaced;

  // Whether the rules keep a row whose values are `elements` (compact texts).
  bool keeps(const std::vector<std::string_view>& elements) const;

  // Whether every row is kept.
  bool keeps_all() const { return owner_patterns.empty() && object_patterns.empty(); }

  // Whether rows are compared otherwise than by their whole texts.
  bool reshapes() const { return !ignored.empty() || !spaced.empty(); }

  // Whether the values at `column` differ, as the rules compare them.
  bool differ(size_t column, std::string_view a, std::string_view b) const;

  // The row as the rules compare it, for digesting: each value's length and
  // text, the ignored ones left out and the spaced ones reduced.
  void compared_form(const std::vector<std::string_view>& elements, std::string* out) const;

 private:
  bool is_ignored(size_t column) const;
  bool is_spaced(size_t column) const;
};

// The string a compact value holds with every maximal run of whitespace
// (space, tab, line feed, vertical tab, form feed, carriage return) made one
// space and the runs at either end dropped; any other value as it is.
std::string spaced_text(std::string_view value);

}  // namespace quarlen

#endif  // QUARLEN_DIFF_RULES_H_
