#include "quarlen/json_text.h"

#include <memory>

#include "json_key_order.h"
#include "json_parser.h"

namespace quarlen {

struct JsonScanner::Scratch {
  EmitScratch emit;
};

namespace {

// Runs `parse` on `text` with the compact form going to *out; on failure *out
// is left as it was and the fault described, with " at column {}" alone when
// `one_line`.
template <class F>
Result<void> emit(std::string_view text, std::string* out, EmitScratch& scratch, bool one_line,
                  F&& parse) {
  const size_t mark = out->size();
  scratch.members.clear();
  EmitHandler handler(out, &scratch);
  Parser<EmitHandler> parser(text, handler);
  if (parse(parser)) return {};
  out->resize(mark);
  return Error(parser.description(one_line));
}

}  // namespace

JsonScanner::JsonScanner() : scratch_(std::make_unique<Scratch>()) {}
JsonScanner::~JsonScanner() = default;

Result<void> JsonScanner::scan_value(std::string_view text, std::string* compact,
                                     ValueShape* shape) {
  if (compact == nullptr) {
    CheckHandler check;
    Parser<CheckHandler> parser(text, check);
    if (!parser.document({}, shape)) return Error(parser.description());
    return {};
  }
  return emit(text, compact, scratch_->emit, false,
              [&](Parser<EmitHandler>& parser) { return parser.document({}, shape); });
}

Result<void> JsonScanner::scan_row_line(std::string_view line, std::string* compact,
                                        ValueShape* shape) {
  return emit(line, compact, scratch_->emit, true,
              [&](Parser<EmitHandler>& parser) { return parser.document({}, shape, 1); });
}

Result<void> JsonScanner::scan_array(std::string_view text, size_t columns, std::string* block,
                                     ArrayScan* scan) {
  *scan = ArrayScan();
  if (block == nullptr) {
    CheckHandler check;
    Parser<CheckHandler> parser(text, check);
    if (!parser.array_document({}, columns, scan)) return Error(parser.description());
    return {};
  }
  return emit(text, block, scratch_->emit, false, [&](Parser<EmitHandler>& parser) {
    return parser.array_document({}, columns, scan);
  });
}

}  // namespace quarlen
