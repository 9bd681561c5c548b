#include "quarlen/writer.h"

#include <cstdio>
#include <utility>

#include "quarlen/format.h"
#include "quarlen/hash.h"
#include "quarlen/reader.h"
#include "quarlen/rows.h"
#include "zip/file.h"
#include "zip/zip_writer.h"

namespace quarlen {

namespace {

constexpr std::string_view kEntrySuffix = ".jsonl";
constexpr std::string_view kManifestEntry = "manifest.json";
constexpr size_t kMaxEntryName = 65535;  // the 16-bit name length of a ZIP header

}  // namespace

struct ArchiveWriter::OpenMember {
  std::string name;
  size_t columns = 0;
  uint64_t rows = 0;
  uint64_t bytes = 0;
  Sha256 hash;
};

ArchiveWriter::ArchiveWriter(std::unique_ptr<zip::ZipWriter> archive)
    : archive_(std::move(archive)) {}

ArchiveWriter::~ArchiveWriter() {
  // Ignoring any potential errors: callers that care call discard() first.
  (void)discard();
}

Result<std::unique_ptr<ArchiveWriter>> ArchiveWriter::create(const std::string& path) {
  auto file = zip::OutputFile::create(path);
  if (!file) return Error(display_path(path) + ": " + file.error().message());
  auto archive = std::make_unique<zip::ZipWriter>(std::move(*file));
  return std::unique_ptr<ArchiveWriter>(new ArchiveWriter(std::move(archive)));
}

Result<void> ArchiveWriter::begin(std::string_view name) {
  auto spec = lookup_member(name);
  if (!spec) return std::move(spec).error();
  const std::string member(name);
  if (open_) return Error(member + ": end the member being written first");
  if (written_.contains(member)) return Error(member + ": written already");
  if (!archive_) return Error("the file is already finished");
  const std::string entry = member + std::string(kEntrySuffix);
  if (entry.size() > kMaxEntryName) {
    return Error(member + ": the name is too long for the archive (over 65535 bytes)");
  }
  auto started = archive_->start_entry(entry);
  if (!started) return std::move(started).error();
  open_ = std::make_unique<OpenMember>();
  open_->name = member;
  open_->columns = (*spec)->columns.size();
  return {};
}

Result<uint64_t> ArchiveWriter::rows(std::string_view rows_json) {
  const size_t columns = open_ ? open_->columns : 0;
  auto encoded = encode_rows(rows_json, columns);
  if (!encoded) return Error("rows are not JSON: " + encoded.error().message());
  if (!open_) return Error("begin a member first");
  if (encoded->shape.row != 0) return Error(shape_message(open_->name, encoded->shape, columns));
  // An empty batch writes nothing, unless the size limit removed the entry:
  // then every call keeps failing as the ZIP layer says.
  if (encoded->rows == 0 && archive_->entry_open()) return uint64_t{0};
  const std::string& block = encoded->block;
  auto written = archive_->write(block);
  if (!written) return std::move(written).error();
  open_->rows += encoded->rows;
  open_->bytes += block.size();
  open_->hash.update(block);
  return encoded->rows;
}

Result<Json> ArchiveWriter::end() {
  if (!open_) return Error("no member is open");
  std::unique_ptr<OpenMember> member = std::move(open_);
  if (archive_ && !archive_->entry_open()) {
    // The size limit took the member's entry out of the archive; recording it
    // would list a member that the file does not hold.
    return Error(member->name + ": the member passed 4294967295 bytes and was not written");
  }
  Json record = Json::object();
  record["bytes"] = member->bytes;
  record["rows"] = member->rows;
  record["sha256"] = member->hash.finish_hex();
  written_[member->name] = record;
  return record;
}

Result<Json> ArchiveWriter::finish(std::string_view header_json) {
  if (open_) return Error("end the member being written first");
  auto header = parse_json(header_json);
  if (!header) return Error("header: " + header.error().message());
  if (!header->is_object()) return Error("header: a JSON object");
  Json manifest = std::move(*header);
  manifest["format"] = std::string(kFormat);
  Json members = Json::object();
  for (const auto& [name, record] : written_) members[name] = record;
  manifest["members"] = std::move(members);

  if (!archive_) return Error("the file is already finished");
  std::unique_ptr<zip::ZipWriter> archive = std::move(archive_);
  auto done = [&]() -> Result<void> {
    auto started = archive->start_entry(kManifestEntry);
    if (!started) return started;
    auto written = archive->write(to_pretty(manifest));
    if (!written) return written;
    return archive->finish();
  }();
  if (!done) {
    // A failed finish() has closed what it could; otherwise close it here.
    if (archive->finished()) return std::move(done).error();
    auto closed = archive->finish();
    if (!closed) {
      std::fprintf(stderr, "ZipWriter drop failed: %s", closed.error().message().c_str());
      std::fflush(stderr);
    }
    return std::move(done).error();
  }
  return manifest;
}

Result<void> ArchiveWriter::discard() {
  if (!archive_) return {};
  std::unique_ptr<zip::ZipWriter> archive = std::move(archive_);
  open_.reset();
  return archive->finish();
}

}  // namespace quarlen
