// UTF-8 in the core: the well-formedness check that every text passes before
// it is parsed, encoding one code point, and paths shown in messages.
#ifndef QUARLEN_UTF8_H_
#define QUARLEN_UTF8_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace quarlen {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing
// beyond U+10FFFF. The parsers expect text that passed this check; given other bytes
// they still stay within the text and end, but strings keep the bytes as they are.
bool valid_utf8(std::string_view text);

// Where `text` is not well-formed UTF-8, named as decoders commonly name it:
// "invalid start byte", "invalid continuation byte" or, for a character that
// the end of the text cuts short, "unexpected end of data"; null for a
// well-formed text. `more`: other bytes follow the text, so that a character
// cut short by its end is one whose continuation is invalid.
const char* utf8_fault(std::string_view text, bool more);

// Appends the UTF-8 form of `cp`, which must be a scalar value (not a surrogate,
// at most U+10FFFF).
void append_utf8(uint32_t cp, std::string& out);

// A path as shown in messages: bytes that are not UTF-8 become U+FFFD.
std::string display_path(const std::string& path);

}  // namespace quarlen

#endif  // QUARLEN_UTF8_H_
