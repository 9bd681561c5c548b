#include "quarlen/json_lines.h"

#include <cstring>
#include <utility>

#include "quarlen/rows.h"
#include "quarlen/utf8.h"
#include "json_bytes.h"

namespace quarlen {

bool JsonLineEncoder::refuse(std::string reason) {
  fault_ = Fault{lines_, rows_ + 1, std::move(reason)};
  return false;
}

// One line without its LF; `ended`: an LF ended it.
bool JsonLineEncoder::line(std::string_view text, bool ended) {
  ++lines_;
  if (const char* fault = utf8_fault(text, ended)) {
    return refuse(std::string("not UTF-8 (") + fault + ")");
  }
  if (ended) text = without_cr(text);
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  if (i == text.size()) return true;  // blank
  const size_t mark = block_.size();
  ValueShape shape;
  auto scanned = scanner_.scan_row_line(text, &block_, &shape);
  if (!scanned) return refuse("not JSON (" + scanned.error().message() + ")");
  if (!(shape.is_array && shape.size == columns_)) {
    block_.resize(mark);
    return refuse(shape_text(shape.is_array, shape.size, columns_));
  }
  block_.push_back('\n');
  ++block_rows_;
  ++rows_;
  return true;
}

bool JsonLineEncoder::feed(std::string_view* piece) {
  if (!fault_.reason.empty()) return false;
  while (!piece->empty()) {
    const void* lf = std::memchr(piece->data(), '\n', piece->size());
    if (lf == nullptr) {
      pending_.append(*piece);
      bytes_ += piece->size();
      piece->remove_prefix(piece->size());
      return true;
    }
    const size_t end = static_cast<size_t>(static_cast<const char*>(lf) - piece->data());
    std::string_view text = piece->substr(0, end);
    if (!pending_.empty()) {
      pending_.append(text);
      text = pending_;
    }
    const uint64_t before = rows_;
    const bool ok = line(text, true);
    pending_.clear();
    bytes_ += end + 1;
    piece->remove_prefix(end + 1);
    if (!ok) return false;
    if (rows_ != before && rows_ % kPauseRows == 0) return true;
  }
  return true;
}

bool JsonLineEncoder::finish() {
  if (!fault_.reason.empty()) return false;
  if (pending_.empty()) return true;
  const bool ok = line(pending_, false);
  pending_.clear();
  return ok;
}

}  // namespace quarlen
