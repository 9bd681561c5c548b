// The faults a JSON text can have, shared by the parser and the streaming check
// so that both describe a refused text in the same words.
#ifndef QUARLEN_JSON_FAULT_H_
#define QUARLEN_JSON_FAULT_H_

#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarlen {

enum class Fault : uint8_t {
  kNone,
  kEofValue,
  kEofList,
  kEofObject,
  kEofString,
  kExpectedValue,
  kExpectedListEnd,
  kExpectedObjectEnd,
  kExpectedColon,
  kKeyMustBeString,
  kTrailingComma,
  kTrailingCharacters,
  kRecursionLimit,
  kNumberOutOfRange,
  kInvalidNumber,
  kInvalidLiteral,
  kInvalidEscape,
  kLoneLeadingSurrogate,
  kLoneTrailingSurrogate,
  kControlCharacter,
  kInvalidType,
};

// The description of a fault, before its " at line {} column {}".
inline std::string_view fault_text(Fault fault) {
  switch (fault) {
    case Fault::kNone: break;
    case Fault::kEofValue: return "EOF while parsing a value";
    case Fault::kEofList: return "EOF while parsing a list";
    case Fault::kEofObject: return "EOF while parsing an object";
    case Fault::kEofString: return "EOF while parsing a string";
    case Fault::kExpectedValue: return "expected value";
    case Fault::kExpectedListEnd: return "expected `,` or `]`";
    case Fault::kExpectedObjectEnd: return "expected `,` or `}`";
    case Fault::kExpectedColon: return "expected `:`";
    case Fault::kKeyMustBeString: return "key must be a string";
    case Fault::kTrailingComma: return "trailing comma";
    case Fault::kTrailingCharacters: return "trailing characters";
    case Fault::kRecursionLimit: return "recursion limit exceeded";
    case Fault::kNumberOutOfRange: return "number out of range";
    case Fault::kInvalidNumber: return "invalid number";
    case Fault::kInvalidLiteral: return "invalid literal";
    case Fault::kInvalidEscape: return "invalid escape";
    case Fault::kLoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case Fault::kLoneTrailingSurrogate: return "lone trailing surrogate in hex escape";
    case Fault::kControlCharacter:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Fault::kInvalidType: break;  // composed with the kind found
  }
  assert(false);  // kNone and kInvalidType have no fixed text
  return "";
}

// The whole description of a fault: its text and where it was found, " at line
// {} column {}", or " at column {}" for a text that is one line by nature.
// Lines count from 1 at line feeds; columns count characters from 1.
std::string describe_fault(std::string_view text, uint64_t line, uint64_t column,
                           bool one_line = false);

}  // namespace quarlen

#endif  // QUARLEN_JSON_FAULT_H_
