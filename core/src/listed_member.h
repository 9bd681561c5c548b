// A member that a file's manifest lists, with what its record says, and the
// steps that check the member's text against that record. Its faults read
// "<member>: ..." and carry the file and the member.
#ifndef QUARLEN_LISTED_MEMBER_H_
#define QUARLEN_LISTED_MEMBER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quarlen/error.h"
#include "quarlen/reader.h"
#include "zip/zip_reader.h"

namespace quarlen {

// What the decoder says of text that is not UTF-8.
inline constexpr char kNotUtf8[] = "stream did not contain valid UTF-8";

// The record's values are copied out of the manifest: a ListedMember does
// not refer to the archive it was found in.
class ListedMember {
 public:
  // The member `name` of `opened`, or nullopt when the manifest does not list it.
  static std::optional<ListedMember> find(const OpenedArchive& opened, std::string_view name);

  const std::string& name() const { return name_; }
  // The recorded checksum; empty when the record holds none.
  const std::string& sha256() const { return sha256_; }

  // "<member>: <what>".
  Error fault(std::string_view what) const;
  // The file and the member on an error that a step about the member returned.
  Error about(Error error) const;

  // The member's entry in `opened`, the archive it was found in.
  Result<zip::OpenedEntry> open_entry(const OpenedArchive& opened) const;
  // The checksum step, on the digest of the member's whole text.
  Result<void> check_checksum(const std::string& digest) const;
  // The count step: "rows" must be a non-negative integer equal to `counted`.
  Result<void> check_count(uint64_t counted) const;

 private:
  ListedMember() = default;

  std::string path_;
  std::string name_;
  std::string sha256_;
  std::optional<uint64_t> rows_;
  std::string rows_text_;  // "rows" in compact form, for the message
};

}  // namespace quarlen

#endif  // QUARLEN_LISTED_MEMBER_H_
