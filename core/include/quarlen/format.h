// The fixed catalogue of the file format: its identifier, the members a file may
// hold with their ordered columns, the rule that resolves a member name, and the
// names of the archive entries that hold the members and the manifest.
#ifndef QUARLEN_FORMAT_H_
#define QUARLEN_FORMAT_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "quarlen/error.h"

namespace quarlen {

inline constexpr std::string_view kFormat = "quarlen/1";
inline constexpr std::string_view kVersion = "0.1.5";

// A member: its ordered columns; whether its name takes a key ("control_rows/APP");
// the columns that identify a row within it, in the order its diff key lists
// them (none: the whole row is the key); and how people read that key, with
// "{i}" standing for the key's i-th value (empty: the key's JSON text is shown).
struct MemberSpec {
  std::string_view name;
  std::span<const std::string_view> columns;
  bool keyed;
  std::span<const std::string_view> key;
  std::string_view shown;
};

// The nineteen members, in their published order.
std::span<const MemberSpec> member_table();

// Resolves a member name ("objects", "control_rows/APP") to its spec. The
// returned pointer refers to the static table.
Result<const MemberSpec*> lookup_member(std::string_view name);

// The member table as compact JSON: [[name, [columns], keyed], ...].
const std::string& members_json();

// The whole member table as compact JSON, in the published order:
// [{"name","columns","keyed","key","shown"}, ...], "shown" null where empty.
const std::string& schema_json();

// The entry that holds the manifest.
inline constexpr std::string_view kManifestEntry = "manifest.json";

// The entry that holds a member's rows: "objects" is in "objects.jsonl".
std::string member_entry(std::string_view member);

// The longest entry name a file may hold, in bytes.
inline constexpr size_t kMaxEntryName = 65535;

}  // namespace quarlen

#endif  // QUARLEN_FORMAT_H_
