#include "testing/models.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "json_parser.h"
#include "listed_member.h"
#include "quarlen/format.h"
#include "quarlen/hash.h"
#include "quarlen/utf8.h"

namespace quarlen {
namespace {

// Calls `line(number, text)` for every line of a member's text until it returns
// false; returns whether every call returned true.
template <class F>
bool for_each_line(std::string_view text, F&& line) {
  uint64_t number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    const void* lf = std::memchr(text.data() + pos, '\n', text.size() - pos);
    const size_t end = lf == nullptr ? text.size() : static_cast<size_t>(static_cast<const char*>(lf) - text.data());
    const size_t next = lf == nullptr ? text.size() : end + 1;
    const std::string_view part = text.substr(pos, end - pos);
    if (!line(++number, lf == nullptr ? part : without_cr(part))) return false;
    pos = next;
  }
  return true;
}

// A listed member's whole text, after the entry, UTF-8 and checksum steps.
Result<std::string> member_text(const OpenedArchive& opened, const ListedMember& member) {
  auto entry = member.open_entry(opened);
  if (!entry) return std::move(entry).error();
  auto text = opened.archive().read_entry(*entry);
  if (!text) return member.fault(text.error().message());
  if (!valid_utf8(*text)) return member.fault(kNotUtf8);
  auto matched = member.check_checksum(sha256_hex(*text));
  if (!matched) return std::move(matched).error();
  return text;
}

}  // namespace

Result<Json> parse_json_array(std::string_view text) {
  BuildHandler handler;
  Parser<BuildHandler> parser(text, handler);
  Json root;
  if (!parser.array_document(&root, 0, nullptr)) return Error(parser.description());
  return root;
}

Result<void> check_rows(std::string_view name, const Json::array_t& rows) {
  auto spec = lookup_member(name);
  if (!spec) return std::move(spec).error();
  const size_t columns = (*spec)->columns.size();
  for (size_t i = 0; i < rows.size(); ++i) {
    const Json& row = rows[i];
    if (row.is_array() && row.size() == columns) continue;
    return shape_error(name, ShapeFault{i + 1, row.is_array(), row.is_array() ? row.size() : 0},
                       columns);
  }
  return {};
}

Result<std::vector<Json>> parse_member_lines(std::string_view name, std::string_view text) {
  std::vector<Json> values;
  std::optional<Error> fault;
  const bool ok = for_each_line(text, [&](uint64_t number, std::string_view line) {
    auto value = parse_json(line);
    if (!value) {
      fault = line_error(name, number, value.error().message());
      return false;
    }
    values.push_back(std::move(*value));
    return true;
  });
  if (!ok) return std::move(*fault);
  return values;
}

Result<ScannedLines> scan_member_lines(std::string_view name, std::string_view text,
                                       size_t columns, std::string* compact) {
  if (compact != nullptr) compact->reserve(compact->size() + text.size());
  MemberLineScanner scanner(name, columns, compact);
  scanner.feed(text);
  return scanner.finish();
}

Result<std::vector<Json>> read_member(OpenedArchive& opened, std::string_view name) {
  auto spec = lookup_member(name);
  if (!spec) return std::move(spec).error();
  std::optional<ListedMember> listed = ListedMember::find(opened, name);
  if (!listed) return std::vector<Json>();
  auto text = member_text(opened, *listed);
  if (!text) return std::move(text).error();
  auto rows = parse_member_lines(name, *text);
  if (!rows) return listed->about(std::move(rows).error());
  auto counted = listed->check_count(rows->size());
  if (!counted) return std::move(counted).error();
  // Json::array_t is a std::vector<Json>, so the rows are checked in place.
  auto shaped = check_rows(name, *rows);
  if (!shaped) return listed->about(std::move(shaped).error());
  return rows;
}

}  // namespace quarlen
