// Entry names that every ZIP reader reads alike. Readers decode an unmarked
// name in code page 437 or take its bytes as they are; some convert the
// names of archives made on FAT, HPFS and some NTFS systems to another code
// page, marked UTF-8 or not; and some cut a name at a NUL byte. A name read
// alike is therefore free of NUL, and ASCII, or UTF-8 marked as such (flag
// bit 11) from a system whose names are not converted. Names that are read
// alike are also told apart alike: a repeated name is a repeated byte string.
#ifndef QUARLEN_ZIP_NAMES_H_
#define QUARLEN_ZIP_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "quarlen/error.h"

namespace quarlen::zip {

// Refuses a name that readers would read otherwise; `made_by` is the central
// header's "version made by" (the system in its high byte).
Result<void> check_name(std::string_view name, uint16_t flags, uint16_t made_by);

// The name as messages show it: bytes that are not UTF-8 become U+FFFD
// and control characters '?'.
std::string shown_name(std::string_view name);

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_NAMES_H_
