#include "quarlen/diff_rules.h"

#include <algorithm>
#include <cstdint>

#include "quarlen/compact_text.h"

namespace quarlen {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whether `value` is a string that one of `patterns` matches.
bool any_matches(const std::vector<Glob>& patterns, std::string_view value) {
  if (value.empty() || value.front() != '"') return false;
  std::string scratch;
  CompactReader reader(value);
  const std::string_view text = reader.string(&scratch);
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const Glob& g) { return g.matches(text); });
}

bool column_matches(const std::optional<size_t>& column, const std::vector<Glob>& patterns,
                    const std::vector<std::string_view>& elements) {
  if (patterns.empty()) return true;
  return column && *column < elements.size() && any_matches(patterns, elements[*column]);
}

void append_sized(std::string_view text, std::string* out) {
  const uint64_t size = text.size();
  out->append(reinterpret_cast<const char*>(&size), sizeof size);
  out->append(text);
}

}  // namespace

std::string spaced_text(std::string_view value) {
  if (value.empty() || value.front() != '"') return std::string(value);
  std::string scratch;
  CompactReader reader(value);
  const std::string_view text = reader.string(&scratch);
  std::string out;
  out.reserve(text.size() + 1);
  out.push_back('"');  // told apart from any other value's text
  bool space = false;
  for (char c : text) {
    if (is_space(c)) {
      space = out.size() > 1;
    } else {
      if (space) out.push_back(' ');
      space = false;
      out.push_back(c);
    }
  }
  return out;
}

bool DiffRules::keeps(const std::vector<std::string_view>& elements) const {
  return column_matches(owner_column, owner_patterns, elements) &&
         column_matches(object_column, object_patterns, elements);
}

bool DiffRules::is_ignored(size_t column) const {
  return std::find(ignored.begin(), ignored.end(), column) != ignored.end();
}

bool DiffRules::is_spaced(size_t column) const {
  return std::find(spaced.begin(), spaced.end(), column) != spaced.end();
}

bool DiffRules::differ(size_t column, std::string_view a, std::string_view b) const {
  if (a == b) return false;
  if (is_ignored(column)) return false;
  return !is_spaced(column) || spaced_text(a) != spaced_text(b);
}

void DiffRules::compared_form(const std::vector<std::string_view>& elements,
                              std::string* out) const {
  out->clear();
  for (size_t i = 0; i < elements.size(); ++i) {
    if (is_ignored(i)) {
      out->push_back('-');
    } else if (is_spaced(i)) {
      append_sized(spaced_text(elements[i]), out);
    } else {
      append_sized(elements[i], out);
    }
  }
}

}  // namespace quarlen
