#include "json_parser.h"

namespace quarlen {

Result<Json> parse_json(std::string_view text) {
  Parser<ParseMode::kBuild> parser(text, nullptr, nullptr);
  Json root;
  if (!parser.document(&root, nullptr)) return Error(parser.description());
  return root;
}

}  // namespace quarlen
