#include "quarlen/json_text.h"

#include <memory>

#include "json_key_order.h"
#include "json_parser.h"

namespace quarlen {

struct JsonScanner::Scratch {
  EmitScratch emit;
};

JsonScanner::JsonScanner() : scratch_(std::make_unique<Scratch>()) {}
JsonScanner::~JsonScanner() = default;

Result<void> JsonScanner::scan_value(std::string_view text, std::string* compact,
                                     ValueShape* shape) {
  if (compact == nullptr) {
    Parser<ParseMode::kCheck> parser(text, nullptr, nullptr);
    if (!parser.document(nullptr, shape)) return Error(parser.description());
    return {};
  }
  const size_t mark = compact->size();
  scratch_->emit.members.clear();
  Parser<ParseMode::kEmit> parser(text, compact, &scratch_->emit);
  if (parser.document(nullptr, shape)) return {};
  compact->resize(mark);
  return Error(parser.description());
}

Result<void> JsonScanner::scan_row_line(std::string_view line, std::string* compact,
                                        ValueShape* shape) {
  const size_t mark = compact->size();
  scratch_->emit.members.clear();
  Parser<ParseMode::kEmit> parser(line, compact, &scratch_->emit);
  if (parser.document(nullptr, shape, 1)) return {};
  compact->resize(mark);
  return Error(parser.description(true));
}

Result<void> JsonScanner::scan_array(std::string_view text, size_t columns, std::string* block,
                                     ArrayScan* scan) {
  *scan = ArrayScan();
  if (block == nullptr) {
    Parser<ParseMode::kCheck> parser(text, nullptr, nullptr);
    if (!parser.array_document(nullptr, columns, scan)) return Error(parser.description());
    return {};
  }
  const size_t mark = block->size();
  scratch_->emit.members.clear();
  Parser<ParseMode::kEmit> parser(text, block, &scratch_->emit);
  if (parser.array_document(nullptr, columns, scan)) return {};
  block->resize(mark);
  return Error(parser.description());
}

}  // namespace quarlen
