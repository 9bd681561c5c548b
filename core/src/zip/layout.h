// The byte ranges of an archive's entries: each entry is its local header,
// its data and, where its flags announce one, a data descriptor; the entries
// stand one after another from the start of the file up to the central
// directory. An archive laid out otherwise holds bytes that no entry owns,
// or entries that share bytes, and other readers may see other data in it.
#ifndef QUARLEN_ZIP_LAYOUT_H_
#define QUARLEN_ZIP_LAYOUT_H_

#include <cstdint>
#include <span>

#include "quarlen/error.h"
#include "zip/entry.h"
#include "zip/file.h"

namespace quarlen::zip {

// Checks the layout and sets each entry's data_offset. Failures name an
// entry: "Entries a and b overlap", "Entry a runs into the central
// directory", "Bytes that no entry holds before a" (or "after a"), "Data
// descriptor of a does not match the central directory", or the local
// header's own fault.
Result<void> check_layout(const InputFile& in, std::span<Entry> entries,
                          uint64_t directory_offset);

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_LAYOUT_H_
