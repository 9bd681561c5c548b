// Where an archive's central directory lies, as its end records say, with
// nothing between the directory, the Zip64 end records and the end record,
// and nothing after the end record's comment: every reader that looks for
// the directory the usual ways finds this one.
#ifndef QUARLEN_ZIP_END_RECORDS_H_
#define QUARLEN_ZIP_END_RECORDS_H_

#include <cstdint>

#include "quarlen/error.h"
#include "zip/file.h"

namespace quarlen::zip {

struct DirectoryLocation {
  uint64_t entries = 0;
  uint64_t size = 0;
  uint64_t offset = 0;  // offset + size is where the end records begin
};

// Reads the end record (and the Zip64 end records, where a locator stands
// before it). A file with no end record fails with "invalid Zip archive:
// Could not find central directory end"; an archive over several disks is
// unsupported.
Result<DirectoryLocation> locate_directory(const InputFile& in);

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_END_RECORDS_H_
