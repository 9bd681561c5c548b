#include "quarlen/rows.h"

#include <cassert>
#include <cstring>
#include <utility>

#include "quarlen/format.h"

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
    size_t end = lf == nullptr ? text.size() : static_cast<size_t>(static_cast<const char*>(lf) - text.data());
    const size_t next = lf == nullptr ? text.size() : end + 1;
    if (lf != nullptr && end > pos && text[end - 1] == '\r') --end;
    if (!line(++number, text.substr(pos, end - pos))) return false;
    pos = next;
  }
  return true;
}

std::string line_message(std::string_view name, uint64_t number, std::string_view description) {
  std::string message(name);
  message += " line ";
  message += std::to_string(number);
  message += ": ";
  message += description;
  return message;
}

}  // namespace

std::string shape_message(std::string_view name, const ShapeFault& fault, size_t columns) {
  assert(fault.row != 0);  // only a row that failed has a message
  std::string message(name);
  message += " row ";
  message += std::to_string(fault.row);
  if (!fault.is_array) {
    message += ": not a list of values";
    return message;
  }
  message += ": ";
  message += std::to_string(fault.values);
  message += " values, the format has ";
  message += std::to_string(columns);
  return message;
}

Result<void> check_rows(std::string_view name, const Json::array_t& rows) {
  auto spec = lookup_member(name);
  if (!spec) return std::move(spec).error();
  const size_t columns = (*spec)->columns.size();
  for (size_t i = 0; i < rows.size(); ++i) {
    const Json& row = rows[i];
    if (row.is_array() && row.size() == columns) continue;
    const ShapeFault fault{i + 1, row.is_array(), row.is_array() ? row.size() : 0};
    return Error(shape_message(name, fault, columns));
  }
  return {};
}

Result<std::vector<Json>> parse_member_lines(std::string_view name, std::string_view text) {
  std::vector<Json> values;
  std::string message;
  const bool ok = for_each_line(text, [&](uint64_t number, std::string_view line) {
    auto value = parse_json(line);
    if (!value) {
      message = line_message(name, number, value.error().message());
      return false;
    }
    values.push_back(std::move(*value));
    return true;
  });
  if (!ok) return Error(std::move(message));
  return values;
}

Result<EncodedRows> encode_rows(std::string_view text, size_t columns) {
  EncodedRows encoded;
  // The compact form is rarely longer than the text it comes from.
  encoded.block.reserve(text.size());
  JsonScanner scanner;
  ArrayScan scan;
  if (!scanner.scan_array(text, columns, &encoded.block, &scan)) {
    auto model = parse_json_array(text);
    assert(!model);  // the scanner refuses exactly what the model refuses
    if (!model) return std::move(model).error();
    // Unreachable unless the two disagree; the model's answer is the one that counts.
    encoded.block.clear();
    scan = ArrayScan();
    for (const Json& row : model->get_ref<const Json::array_t&>()) {
      append_compact(row, encoded.block);
      encoded.block += '\n';
      ++scan.elements;
      if (columns != 0 && scan.mismatch == 0 && !(row.is_array() && row.size() == columns)) {
        scan.mismatch = scan.elements;
        scan.mismatch_shape = ValueShape{row.is_array(), row.is_array() ? row.size() : 0};
      }
    }
  }
  encoded.rows = scan.elements;
  if (scan.mismatch != 0) {
    encoded.shape = ShapeFault{scan.mismatch, scan.mismatch_shape.is_array,
                               scan.mismatch_shape.size};
  }
  return encoded;
}

Result<ScannedLines> scan_member_lines(std::string_view name, std::string_view text,
                                       size_t columns, std::string* compact) {
  ScannedLines scanned;
  if (compact != nullptr) compact->reserve(compact->size() + text.size());
  JsonScanner scanner;
  std::string message;
  const bool ok = for_each_line(text, [&](uint64_t number, std::string_view line) {
    if (compact != nullptr && number > 1) compact->push_back(',');
    ValueShape shape;
    if (!scanner.scan_value(line, compact, &shape)) {
      auto model = parse_json(line);
      assert(!model);  // the scanner refuses exactly what the model refuses
      if (model) {
        // Unreachable unless the two disagree; go on with the model's value.
        if (compact != nullptr) append_compact(*model, *compact);
        shape = ValueShape{model->is_array(), model->is_array() ? model->size() : 0};
      } else {
        message = line_message(name, number, model.error().message());
        return false;
      }
    }
    scanned.rows = number;
    if (columns != 0 && scanned.shape.row == 0 && !(shape.is_array && shape.size == columns)) {
      scanned.shape = ShapeFault{number, shape.is_array, shape.size};
    }
    return true;
  });
  if (!ok) return Error(std::move(message));
  return scanned;
}

}  // namespace quarlen
