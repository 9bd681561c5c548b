// Whole-text models of the core's streaming reads, for the tests and the fuzz
// target: each builds every value with the model parser, and the scanners and
// the member pass must accept, refuse and report exactly as they do.
#ifndef QUARLEN_TESTING_MODELS_H_
#define QUARLEN_TESTING_MODELS_H_

#include <string>
#include <string_view>
#include <vector>

#include "quarlen/error.h"
#include "quarlen/json_text.h"
#include "quarlen/reader.h"
#include "quarlen/rows.h"

namespace quarlen {

// As parse_json, and the value must be an array; any other value fails with
// "invalid type: {kind}, expected a sequence at line {} column {}".
Result<Json> parse_json_array(std::string_view text);

// Every element of `rows` must be an array with one value per column of the
// member that `name` designates. Messages: lookup_member's, "{} row {}: not a
// list of values", "{} row {}: {} values, the format has {}".
Result<void> check_rows(std::string_view name, const Json::array_t& rows);

// Splits a member's text into lines (LF ends a line, a CR just before it is
// dropped, no empty last line after a final LF) and parses each as one JSON
// value. A fault: "{} line {}: {}" with the parser's description.
Result<std::vector<Json>> parse_member_lines(std::string_view name, std::string_view text);

// MemberLineScanner over a whole text: checks `text` line by line exactly as
// parse_member_lines does, with the same message on the first bad line. When
// `compact` is not null, appends every line's value in compact form separated
// by ',' (no brackets around them), as to_compact of parse_member_lines's
// result would.
Result<ScannedLines> scan_member_lines(std::string_view name, std::string_view text,
                                       size_t columns, std::string* compact);

// One member's rows, read whole and proven against its checksum, row count
// and the format: the model of read_text.
Result<std::vector<Json>> read_member(OpenedArchive& opened, std::string_view name);

}  // namespace quarlen

#endif  // QUARLEN_TESTING_MODELS_H_
