#include "zip/names.h"

#include <algorithm>

#include "quarlen/utf8.h"
#include "zip/zip_error.h"
#include "zip/zip_format.h"

namespace quarlen::zip {
namespace {

constexpr char kNulInName[] = "Entry name holds a NUL byte";

// Systems whose names some readers convert from their code page: FAT and
// HPFS, and NTFS as written by version 5.0.
bool converted(uint16_t made_by) {
  const int system = made_by >> 8;
  return system == kSystemFat || system == kSystemHpfs ||
         (system == kSystemNtfs && (made_by & 0xFF) == kConvertedNtfsVersion);
}

}  // namespace

Result<void> check_name(std::string_view name, uint16_t flags, uint16_t made_by) {
  if (name.find('\0') != std::string_view::npos) return invalid(kNulInName);
  if (std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; })) return {};
  const std::string about = "Entry name " + shown_name(name);
  if (!(flags & kFlagUtf8)) return invalid(about + " is not ASCII and not marked UTF-8");
  if (!valid_utf8(name)) return invalid(about + " is marked UTF-8 but is not");
  if (converted(made_by)) return invalid(about + " is not ASCII, from a system whose names readers convert");
  return {};
}

std::string shown_name(std::string_view name) {
  std::string out = display_path(std::string(name));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

}  // namespace quarlen::zip
