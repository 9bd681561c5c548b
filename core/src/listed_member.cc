#include "listed_member.h"

#include <utility>

#include "quarlen/format.h"
#include "quarlen/json_text.h"

namespace quarlen {

std::optional<ListedMember> ListedMember::find(const OpenedArchive& opened,
                                               std::string_view name) {
  const Json& members = opened.manifest()["members"];
  auto it = members.find(std::string(name));
  if (it == members.end()) return std::nullopt;
  const Json& record = *it;
  ListedMember listed;
  listed.path_ = opened.path();
  listed.name_ = std::string(name);
  const Json* sha = record.is_object() && record.contains("sha256") ? &record["sha256"] : nullptr;
  if (sha != nullptr && sha->is_string()) listed.sha256_ = sha->get<std::string>();
  const Json* rows = record.is_object() && record.contains("rows") ? &record["rows"] : nullptr;
  if (rows != nullptr && rows->is_number_unsigned()) listed.rows_ = rows->get<uint64_t>();
  listed.rows_text_ = rows != nullptr ? to_compact(*rows) : std::string("null");
  return listed;
}

Error ListedMember::fault(std::string_view what) const {
  return Error(name_ + ": " + std::string(what)).with_path(path_).with_member(name_);
}

Error ListedMember::about(Error error) const {
  return std::move(error).with_path(path_).with_member(name_);
}

Result<zip::OpenedEntry> ListedMember::open_entry(const OpenedArchive& opened) const {
  auto entry = opened.archive().open_entry(member_entry(name_));
  if (!entry) return fault("listed in the manifest but missing from the file");
  return entry;
}

// A digest is never empty, so a record without one matches none.
Result<void> ListedMember::check_checksum(const std::string& digest) const {
  if (sha256_ == digest) return {};
  return fault("checksum does not match the manifest (the file was changed or damaged)");
}

Result<void> ListedMember::check_count(uint64_t counted) const {
  if (rows_ == counted) return {};
  return fault(std::to_string(counted) + " rows, the manifest says " + rows_text_);
}

}  // namespace quarlen
