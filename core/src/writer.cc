#include "quarlen/writer.h"

#include <utility>

#include "quarlen/format.h"
#include "quarlen/hash.h"
#include "quarlen/rows.h"
#include "quarlen/utf8.h"
#include "zip/file.h"
#include "zip/zip_writer.h"

namespace quarlen {

struct ArchiveWriter::OpenMember {
  std::string name;
  size_t columns = 0;
  uint64_t rows = 0;
  uint64_t bytes = 0;
  Sha256 hash;
};

ArchiveWriter::ArchiveWriter(std::string path, std::unique_ptr<zip::ZipWriter> archive)
    : path_(std::move(path)), archive_(std::move(archive)) {}

ArchiveWriter::~ArchiveWriter() {
  // Ignoring any potential errors: callers that care call discard() first.
  (void)discard();
}

Result<std::unique_ptr<ArchiveWriter>> ArchiveWriter::create(const std::string& path) {
  return create(path, zip::system_file_calls());
}

Result<std::unique_ptr<ArchiveWriter>> ArchiveWriter::create(const std::string& path,
                                                             const zip::FileCalls& calls) {
  auto file = zip::OutputFile::create(path, calls);
  if (!file) return Error(display_path(path) + ": " + file.error().message()).with_path(path);
  auto archive = std::make_unique<zip::ZipWriter>(std::move(*file));
  return std::unique_ptr<ArchiveWriter>(new ArchiveWriter(path, std::move(archive)));
}

Error ArchiveWriter::fail(Error error) {
  if (!failure_) failure_ = error.message();
  return error;
}

Error ArchiveWriter::failed_error() const {
  return Error(display_path(path_) + ": the file cannot be completed: an earlier write failed (" +
               *failure_ + ")")
      .with_path(path_);
}

Result<void> ArchiveWriter::begin(std::string_view name) {
  if (failure_) return failed_error();
  auto spec = lookup_member(name);
  if (!spec) return std::move(spec).error();
  const std::string member(name);
  if (open_) return Error(member + ": end the member being written first").with_member(member);
  if (written_.contains(member)) return Error(member + ": written already").with_member(member);
  if (!archive_) return Error("the file is already finished");
  const std::string entry = member_entry(member);
  if (entry.size() > kMaxEntryName) {
    return Error(member + ": the name is too long for the archive (over " +
                 std::to_string(kMaxEntryName) + " bytes)")
        .with_member(member);
  }
  // Starting an entry completes the one before it: a failure may have lost a
  // member that is already recorded, so the file cannot be finished.
  auto started = archive_->start_entry(entry);
  if (!started) return fail(std::move(started).error());
  open_ = std::make_unique<OpenMember>();
  open_->name = member;
  open_->columns = (*spec)->columns.size();
  return {};
}

Result<uint64_t> ArchiveWriter::rows(std::string_view rows_json) {
  if (failure_) return failed_error();
  const size_t columns = open_ ? open_->columns : 0;
  auto encoded = encode_rows(rows_json, columns);
  if (!encoded) return Error("rows are not JSON: " + encoded.error().message());
  if (!open_) return Error("begin a member first");
  if (encoded->shape.row != 0) return shape_error(open_->name, encoded->shape, columns);
  return append_rows(encoded->block, encoded->rows);
}

Result<uint64_t> ArchiveWriter::append_rows(std::string_view block, uint64_t rows) {
  if (failure_) return failed_error();
  if (!open_) return Error("begin a member first");
  // An empty batch writes nothing, unless the size limit removed the entry:
  // then every call keeps failing as the ZIP layer says.
  if (rows == 0 && archive_->entry_open()) return uint64_t{0};
  auto written = archive_->write(block);
  if (!written) {
    // The size limit removes the entry cleanly; any other failure may have
    // left part of the block in it.
    if (archive_->failed()) return fail(std::move(written).error());
    return std::move(written).error();
  }
  open_->rows += rows;
  open_->bytes += block.size();
  open_->hash.update(block);
  return rows;
}

size_t ArchiveWriter::columns() const { return open_ ? open_->columns : 0; }

Result<Json> ArchiveWriter::end() {
  if (failure_) return failed_error();
  if (!open_) return Error("no member is open");
  std::unique_ptr<OpenMember> member = std::move(open_);
  if (archive_ && !archive_->entry_open()) {
    // The size limit took the member's entry out of the archive; recording it
    // would list a member that the file does not hold.
    return Error(member->name + ": the member passed 4294967295 bytes and was not written")
        .with_member(member->name);
  }
  Json record = Json::object();
  record["bytes"] = member->bytes;
  record["rows"] = member->rows;
  record["sha256"] = member->hash.finish_hex();
  written_[member->name] = record;
  return record;
}

Result<Json> ArchiveWriter::finish(std::string_view header_json) {
  if (failure_) return failed_error();
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
  const std::string text = to_pretty(manifest);  // may throw: before anything changes
  std::unique_ptr<zip::ZipWriter> archive = std::move(archive_);
  auto done = [&]() -> Result<void> {
    auto started = archive->start_entry(kManifestEntry);
    if (!started) return started;
    auto written = archive->write(text);
    if (!written) return written;
    return archive->finish();
  }();
  if (!done) {
    fail(done.error());
    // A failed finish() has closed what it could; otherwise close it here,
    // leaving out the manifest entry that could not be written whole.
    if (archive->finished()) return std::move(done).error();
    auto closed = archive->finish();
    if (!closed) close_failure_ = std::move(closed).error();
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
