// The words that start the ZIP layer's failures, shared by reader and writer.
#ifndef QUARLEN_ZIP_ZIP_ERROR_H_
#define QUARLEN_ZIP_ZIP_ERROR_H_

#include <string>
#include <string_view>

#include "quarlen/error.h"

namespace quarlen::zip {

// Shared by the end records and the directory.
inline constexpr char kMultiDisk[] = "Archives spanning several disks are not supported";

// The archive breaks the format.
inline Error invalid(std::string_view reason) {
  return Error("invalid Zip archive: " + std::string(reason));
}

// The archive uses a part of the format this layer does not handle.
inline Error unsupported(std::string_view reason) {
  return Error("unsupported Zip archive: " + std::string(reason));
}

// The operating system refused a read or a write; `os` is its description.
inline Error io_error(std::string_view os) { return Error("i/o error: " + std::string(os)); }
inline Error io_error(const Error& os) { return io_error(os.message()); }

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_ZIP_ERROR_H_
