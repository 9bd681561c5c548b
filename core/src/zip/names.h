// Entry names as ZIP readers read them. A name marked UTF-8 (flag bit 11)
// is read as UTF-8; an unmarked name as UTF-8 by some readers and in code
// page 437 by others; and some readers cut a name at a NUL byte.
#ifndef QUARLEN_ZIP_NAMES_H_
#define QUARLEN_ZIP_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "quarlen/error.h"

namespace quarlen::zip {

// Refuses a name that readers would read as another: one holding a NUL
// byte, or marked UTF-8 without being UTF-8.
Result<void> check_name(std::string_view name, uint16_t flags);

// The name as a reader that decodes unmarked names in code page 437 sees
// it, in UTF-8; empty when that is the stored name itself (ASCII, or
// marked UTF-8).
std::string code_page_name(std::string_view name, uint16_t flags);

// The name as messages show it: bytes that are not UTF-8 become U+FFFD
// and control characters '?'.
std::string shown_name(std::string_view name);

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_NAMES_H_
