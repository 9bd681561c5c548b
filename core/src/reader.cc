#include "quarlen/reader.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <optional>
#include <utility>

#include "listed_member.h"
#include "quarlen/format.h"
#include "quarlen/hash.h"
#include "quarlen/read_ahead.h"
#include "quarlen/rows.h"
#include "quarlen/utf8.h"
#include "utf8_check.h"
#include "zip/file.h"
#include "zip/zip_reader.h"

namespace quarlen {

namespace {

constexpr uint64_t kMaxManifestSize = uint64_t{64} << 20;

}  // namespace

// Reads and proves one listed member in one pass over a fixed window: inflate
// and CRC-32, UTF-8, SHA-256 and the line scan run piece by piece. The faults
// are still reported in the order of the steps (the read, then the checksum,
// then the lines, the count and the shape), so a fault that the pass meets
// early is kept until the steps before it have passed. Appends the rows'
// compact text to `compact`, when it is not null, as the lines pass. Holds
// copies of what it needs of the record and the entry; its reader needs the
// archive to stay open.
class MemberPass {
 public:
  // The name, record and entry steps; null for a member the manifest does not
  // list, which reads as no rows.
  static Result<std::unique_ptr<MemberPass>> start(const OpenedArchive& opened,
                                                   std::string_view name, std::string* compact,
                                                   bool inflate_ahead = false) {
    auto spec = lookup_member(name);
    if (!spec) return std::move(spec).error();
    std::optional<ListedMember> listed = ListedMember::find(opened, name);
    if (!listed) return std::unique_ptr<MemberPass>();
    auto entry = listed->open_entry(opened);
    if (!entry) return std::move(entry).error();
    // The entry's claim is trusted only as far as its compressed data could back it.
    const zip::Entry& e = *entry->entry;
    const uint64_t size_hint =
        std::min(e.uncompressed_size, std::max<uint64_t>(16 * e.compressed_size, 1 << 16));
    std::unique_ptr<MemberPass> pass(new MemberPass(std::move(*listed), (*spec)->columns.size(),
                                                    static_cast<size_t>(size_hint),
                                                    opened.archive().reader(*entry), compact));
    if (inflate_ahead && size_hint >= ReadAhead::kThreadedBytes) {
      pass->ahead_ = std::make_unique<ReadAhead>(std::move(*pass->reader_), pass->size_hint_);
      pass->reader_.reset();
    }
    return pass;
  }

  // Takes the next piece (perhaps empty); false once the entry has been read
  // to its end. Waiting for a piece read ahead, gives up with kInterrupted
  // once `interrupt` asks.
  Result<bool> step(Interrupt* interrupt) {
    std::string_view piece;
    if (ahead_ == nullptr) {
      auto read = reader_->next();
      if (!read) return listed_.fault(read.error().message());
      if (reader_->done()) return false;
      piece = *read;
    } else {
      auto more = ahead_->next(&piece_, interrupt);
      if (!more && stop_requested(interrupt)) return Error(kInterrupted);
      if (!more) return listed_.fault(more.error().message());
      if (!*more) return false;
      piece = piece_;
    }
    // Past broken UTF-8 only the read itself can still fail first.
    if (utf8_.feed(piece)) {
      hash_.update(piece);
      lines_.feed(piece);
    }
    return true;
  }

  // Where the rows' compact text goes from now on.
  void redirect(std::string* compact) { lines_.redirect(compact); }

  // About the length of the member's text.
  size_t size_hint() const { return size_hint_; }

  // After the last piece: the number of rows, or the first fault in the
  // order of the steps.
  Result<uint64_t> verdict() {
    if (!utf8_.finish()) return listed_.fault(kNotUtf8);
    auto matched = listed_.check_checksum(hash_.finish_hex());
    if (!matched) return std::move(matched).error();
    auto scanned = lines_.finish();
    if (!scanned) return listed_.about(std::move(scanned).error());
    auto counted = listed_.check_count(scanned->rows);
    if (!counted) return std::move(counted).error();
    if (scanned->shape.row != 0) {
      return listed_.about(shape_error(listed_.name(), scanned->shape, columns_));
    }
    return scanned->rows;
  }

 private:
  MemberPass(ListedMember listed, size_t columns, size_t size_hint, zip::EntryReader reader,
             std::string* compact)
      : listed_(std::move(listed)), columns_(columns), size_hint_(size_hint),
        reader_(std::move(reader)), lines_(listed_.name(), columns, compact) {}

  const ListedMember listed_;
  const size_t columns_;
  const size_t size_hint_;
  std::optional<zip::EntryReader> reader_;  // or, inflating on a thread of its own:
  std::unique_ptr<ReadAhead> ahead_;
  std::string piece_;                       // the last piece read ahead
  Utf8Check utf8_;
  Sha256 hash_;
  MemberLineScanner lines_;
};

namespace {

Result<uint64_t> scan_member(const OpenedArchive& opened, std::string_view name,
                             Interrupt* interrupt) {
  auto pass = MemberPass::start(opened, name, nullptr);
  if (!pass) return std::move(pass).error();
  if (*pass == nullptr) return uint64_t{0};
  for (;;) {
    if (stop_requested(interrupt)) return Error(kInterrupted);
    auto more = (*pass)->step(interrupt);
    if (!more) return std::move(more).error();
    if (!*more) return (*pass)->verdict();
  }
}

}  // namespace

OpenedArchive::OpenedArchive(std::string path, Json manifest,
                             std::unique_ptr<zip::ZipArchive> archive)
    : path_(std::move(path)), manifest_(std::move(manifest)), archive_(std::move(archive)) {}
OpenedArchive::OpenedArchive(OpenedArchive&&) noexcept = default;
OpenedArchive& OpenedArchive::operator=(OpenedArchive&&) noexcept = default;
OpenedArchive::~OpenedArchive() = default;

namespace {

// open_archive's steps; the caller adds the path to every fault.
Result<OpenedArchive> open_checked(const std::string& path) {
  auto file = zip::InputFile::open(path);
  if (!file) return Error(display_path(path) + ": " + file.error().message());
  auto archive = zip::ZipArchive::open(std::move(*file));
  if (!archive) {
    return Error(display_path(path) + ": not a .quarlen file (" + archive.error().message() + ")");
  }
  auto entry = archive->open_entry(kManifestEntry);
  if (!entry) {
    return Error(display_path(path) + ": no manifest (not a .quarlen file, or not finished)");
  }
  // Memory follows what the file claims only this far: a manifest lists one
  // short record per member.
  if (entry->entry->uncompressed_size > kMaxManifestSize) {
    return Error("manifest: larger than " + std::to_string(kMaxManifestSize) + " bytes");
  }
  auto text = archive->read_entry(*entry);
  if (!text) return std::move(text).error();
  if (!valid_utf8(*text)) return Error(kNotUtf8);
  auto manifest = parse_json(*text);
  if (!manifest) return Error("manifest: " + manifest.error().message());

  const Json& m = *manifest;
  const Json* format = m.is_object() && m.contains("format") ? &m["format"] : nullptr;
  if (format == nullptr || !format->is_string()) return Error("manifest: no format");
  const std::string& id = format->get_ref<const std::string&>();
  if (id != kFormat) return Error("format " + id + ": this version reads " + std::string(kFormat));
  if (!m.contains("members") || !m["members"].is_object()) return Error("manifest: no members");
  for (const auto& [name, record] : m["members"].items()) {
    auto spec = lookup_member(name);
    if (!spec) return std::move(spec).error();
  }
  return OpenedArchive(path, std::move(*manifest),
                       std::make_unique<zip::ZipArchive>(std::move(*archive)));
}

}  // namespace

Result<OpenedArchive> open_archive(const std::string& path) {
  auto opened = open_checked(path);
  if (!opened) return std::move(opened).error().with_path(path);
  return opened;
}

std::vector<std::string> listed_members(const OpenedArchive& opened) {
  std::vector<std::string> names;
  const Json& m = opened.manifest();
  if (!m.is_object() || !m.contains("members") || !m["members"].is_object()) return names;
  for (const auto& [name, record] : m["members"].items()) names.push_back(name);
  return names;  // std::map keeps the keys in byte order
}

Json verify_archive(OpenedArchive& opened, Interrupt* interrupt) {
  Json members = Json::object();
  Json problems = Json::array();
  for (const std::string& name : listed_members(opened)) {
    auto rows = scan_member(opened, name, interrupt);
    if (stop_requested(interrupt)) break;
    if (rows) {
      members[name] = *rows;
    } else {
      problems.push_back(rows.error().message());
    }
  }
  Json report = Json::object();
  report["format"] = std::string(kFormat);
  report["ok"] = problems.empty();
  report["members"] = std::move(members);
  report["problems"] = std::move(problems);
  return report;
}

Result<std::string> manifest_text(const std::string& path) {
  auto opened = open_archive(path);
  if (!opened) return std::move(opened).error();
  return to_compact(opened->manifest());
}

Result<std::string> read_text(const std::string& path, std::string_view name,
                              Interrupt* interrupt, bool* listed) {
  auto reader = MemberReader::open(path, name);
  if (!reader) return std::move(reader).error();
  if (listed != nullptr) *listed = (*reader)->listed();
  std::string out = "[";
  out.reserve(1 + (*reader)->size_hint() + 1);
  auto more = (*reader)->next(&out, SIZE_MAX, interrupt);
  if (!more) return std::move(more).error();
  assert(!*more);  // no limit: the whole member
  out += ']';
  return out;
}

// MemberReader

MemberReader::MemberReader(OpenedArchive opened) : opened_(std::move(opened)) {}
MemberReader::~MemberReader() = default;

Result<std::unique_ptr<MemberReader>> MemberReader::open(const std::string& path,
                                                         std::string_view name,
                                                         bool inflate_ahead) {
  auto opened = open_archive(path);
  if (!opened) return std::move(opened).error();
  std::unique_ptr<MemberReader> reader(new MemberReader(std::move(*opened)));
  auto pass = MemberPass::start(reader->opened_, name, &reader->unused_, inflate_ahead);
  if (!pass) return std::move(pass).error();
  reader->pass_ = std::move(*pass);
  reader->listed_ = reader->pass_ != nullptr;
  return reader;
}

size_t MemberReader::size_hint() const { return pass_ == nullptr ? 0 : pass_->size_hint(); }

Result<bool> MemberReader::next(std::string* out, size_t at_least, Interrupt* interrupt) {
  if (pass_ == nullptr) return false;
  pass_->redirect(out);
  const size_t start = out->size();
  while (out->size() - start < at_least) {
    if (stop_requested(interrupt)) {
      pass_.reset();
      return Error(kInterrupted);
    }
    auto more = pass_->step(interrupt);
    if (!more) {
      pass_.reset();
      return std::move(more).error();
    }
    if (!*more) {
      auto verdict = pass_->verdict();
      pass_.reset();
      if (!verdict) return std::move(verdict).error();
      return false;
    }
  }
  return true;
}

Result<std::string> verify_text(const std::string& path, Interrupt* interrupt) {
  auto opened = open_archive(path);
  if (!opened) return std::move(opened).error();
  Json report = verify_archive(*opened, interrupt);
  if (stop_requested(interrupt)) return Error(kInterrupted);
  return to_compact(report);
}

}  // namespace quarlen
