#include "quarlen/rows.h"

#include <cassert>
#include <cstring>
#include <optional>
#include <utility>

#include "quarlen/format.h"
#include "json_stream.h"

namespace quarlen {

// A line is a row: its number is the row's.
Error line_error(std::string_view name, uint64_t number, std::string_view description) {
  std::string message(name);
  message += " line ";
  message += std::to_string(number);
  message += ": ";
  message += description;
  return Error(std::move(message)).with_member(std::string(name)).with_row(number);
}

std::string shape_text(bool is_array, uint64_t values, size_t columns) {
  if (!is_array) return "not a list of values";
  return std::to_string(values) + " values, the format has " + std::to_string(columns);
}

std::string shape_message(std::string_view name, const ShapeFault& fault, size_t columns) {
  assert(fault.row != 0);  // only a row that failed has a message
  std::string message(name);
  message += " row ";
  message += std::to_string(fault.row);
  message += ": ";
  message += shape_text(fault.is_array, fault.values, columns);
  return message;
}

Error shape_error(std::string_view name, const ShapeFault& fault, size_t columns) {
  return Error(shape_message(name, fault, columns)).with_member(std::string(name)).with_row(fault.row);
}

Result<EncodedRows> encode_rows(std::string_view text, size_t columns) {
  EncodedRows encoded;
  // The compact form is rarely longer than the text it comes from.
  encoded.block.reserve(text.size());
  JsonScanner scanner;
  ArrayScan scan;
  auto scanned = scanner.scan_array(text, columns, &encoded.block, &scan);
  if (!scanned) return std::move(scanned).error();
  encoded.rows = scan.elements;
  if (scan.mismatch != 0) {
    encoded.shape = ShapeFault{scan.mismatch, scan.mismatch_shape.is_array,
                               scan.mismatch_shape.size};
  }
  return encoded;
}

// A line checked as it streams. A carriage return at the end of a part is
// held back until the next part shows whether a line feed follows it. A kept
// line is also gathered in pending_, for the compact form its end will need.
struct MemberLineScanner::LongLine {
  StreamingJsonCheck check;
  bool held_cr = false;
  bool kept = false;
};

MemberLineScanner::MemberLineScanner(std::string_view name, size_t columns, std::string* compact,
                                     size_t line_window)
    : name_(name), columns_(columns), compact_(compact), line_window_(line_window) {}

MemberLineScanner::~MemberLineScanner() = default;

void MemberLineScanner::redirect(std::string* compact) {
  assert(compact_ != nullptr && compact != nullptr);  // the long-line check needs no output
  compact_ = compact;
  first_in_output_ = true;
}

bool MemberLineScanner::record(const ValueShape& shape) {
  ++scanned_.rows;
  if (columns_ != 0 && scanned_.shape.row == 0 && !(shape.is_array && shape.size == columns_)) {
    scanned_.shape = ShapeFault{scanned_.rows, shape.is_array, shape.size};
  }
  return true;
}

bool MemberLineScanner::line(std::string_view text) {
  const uint64_t number = scanned_.rows + 1;
  if (compact_ != nullptr && !first_in_output_) compact_->push_back(',');
  first_in_output_ = false;
  ValueShape shape;
  auto scanned = scanner_.scan_value(text, compact_, &shape);
  if (!scanned) {
    fault_ = line_error(name_, number, scanned.error().message());
    return false;
  }
  return record(shape);
}

bool MemberLineScanner::start_long_line() {
  if (long_ == nullptr) long_ = std::make_unique<LongLine>();
  long_->check.reset();
  long_->held_cr = false;
  long_->kept = compact_ != nullptr;
  if (long_->kept) return feed_long(pending_, false);
  const std::string start = std::move(pending_);
  pending_.clear();
  return feed_long(start, false);
}

bool MemberLineScanner::feed_long(std::string_view part, bool ends_line) {
  LongLine& l = *long_;
  bool ok = true;
  if (l.held_cr && !(ends_line && part.empty())) ok = l.check.feed("\r");
  l.held_cr = false;
  const size_t size = part.size();
  part = without_cr(part);
  if (!ends_line && part.size() != size) l.held_cr = true;
  ok = ok && l.check.feed(part);
  // A fault is final: the rest of the line cannot change its message, so
  // none of it needs to be kept or checked.
  if (ok && !ends_line) return true;
  auto shape = l.check.finish();
  long_.reset();
  if (!shape) {
    fault_ = line_error(name_, scanned_.rows + 1, shape.error().message());
    std::string().swap(pending_);
    return false;
  }
  return record(*shape);
}

bool MemberLineScanner::feed(std::string_view piece) {
  if (fault_) return false;
  while (!piece.empty()) {
    const void* lf = std::memchr(piece.data(), '\n', piece.size());
    const size_t end = lf == nullptr ? piece.size()
                                     : static_cast<size_t>(static_cast<const char*>(lf) - piece.data());
    const std::string_view part = piece.substr(0, end);
    piece.remove_prefix(lf == nullptr ? end : end + 1);
    if (long_ != nullptr && !long_->kept) {
      if (!feed_long(part, lf != nullptr)) return false;
      continue;
    }
    if (long_ != nullptr) {
      // A kept line ends as any other: its whole text gives the compact form.
      if (!feed_long(part, false)) return false;
      if (lf != nullptr) long_.reset();
    }
    if (lf == nullptr) {
      const bool starts_long = long_ == nullptr && pending_.size() + part.size() > line_window_;
      pending_.append(part);
      if (starts_long && !start_long_line()) return false;
      continue;
    }
    std::string_view text = part;
    if (!pending_.empty()) {
      pending_.append(part);
      text = pending_;
    }
    const bool ok = line(without_cr(text));
    pending_.clear();
    if (!ok) return false;
  }
  return true;
}

Result<ScannedLines> MemberLineScanner::finish() {
  // A last line without a line feed keeps a carriage return at its end.
  if (!fault_ && long_ != nullptr && long_->kept) long_.reset();
  if (!fault_ && long_ != nullptr) {
    if (long_->held_cr) long_->check.feed("\r");
    long_->held_cr = false;
    feed_long("", true);
  } else if (!fault_ && !pending_.empty()) {
    line(pending_);
    pending_.clear();
  }
  if (fault_) return *fault_;
  return scanned_;
}

}  // namespace quarlen
