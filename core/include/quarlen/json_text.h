// The system's one definition of JSON: nlohmann's value model (objects ordered by
// their keys' bytes, unsigned / signed / floating-point numbers kept apart), a
// strict parser with its own fault descriptions, and the compact and pretty
// writers.
#ifndef QUARLEN_JSON_TEXT_H_
#define QUARLEN_JSON_TEXT_H_

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "quarlen/error.h"

namespace quarlen {

using Json = nlohmann::json;

// Deepest nesting of arrays and objects a parse accepts; the outermost counts as 1.
inline constexpr int kMaxDepth = 127;

// Parses `text` as exactly one JSON value, whitespace allowed around it. A fault
// is an Error whose message is the description alone: a short text followed by
// " at line {} column {}" (callers add their own subject).
Result<Json> parse_json(std::string_view text);

// As parse_json, and the value must be an array; any other value fails with
// "invalid type: {kind}, expected a sequence at line {} column {}".
Result<Json> parse_json_array(std::string_view text);

// The compact form: no whitespace outside strings, keys in byte order, shortest
// round-trip doubles with ".0" on integral values and no "+" in exponents.
void append_compact(const Json& value, std::string& out);
std::string to_compact(const Json& value);

// The pretty form of manifest.json: two spaces per level, ": " after keys,
// "{}" and "[]" when empty, no line feed after the last bracket.
std::string to_pretty(const Json& value);

}  // namespace quarlen

#endif  // QUARLEN_JSON_TEXT_H_
