#include "json_parser.h"

namespace quarlen {

Result<Json> parse_json(std::string_view text) {
  BuildHandler handler;
  Parser<BuildHandler> parser(text, handler);
  Json root;
  if (!parser.document(&root, nullptr)) return Error(parser.description());
  return root;
}

}  // namespace quarlen
