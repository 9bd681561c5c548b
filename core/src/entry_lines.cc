#include "entry_lines.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "listed_member.h"
#include "zip/deflate.h"

namespace quarlen {

void LinesDigest::add(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes.size(), kPiece - size % kPiece));
    piece_crc_ = zip::crc32_of(piece_crc_, bytes.data(), n);
    size += n;
    bytes.remove_prefix(n);
    if (size % kPiece == 0) {
      pieces.push_back(piece_crc_);
      piece_crc_ = 0;
    }
  }
}

void LinesDigest::finish() {
  if (size % kPiece != 0) pieces.push_back(piece_crc_);
  crc = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const uint64_t piece_size = std::min(kPiece, size - i * kPiece);
    crc = zip::crc32_joined(crc, pieces[i], piece_size);
  }
}

EntryLines::EntryLines(OpenedArchive archive, zip::EntryReader reader, const LinesDigest& digest)
    : archive_(std::move(archive)),
      reader_(std::move(reader), static_cast<size_t>(digest.size)),
      digest_(digest) {}

std::unique_ptr<EntryLines> EntryLines::open(const std::string& path, std::string_view member,
                                             const LinesDigest& digest) {
  auto opened = open_archive(path);
  if (!opened) return nullptr;
  std::optional<ListedMember> listed = ListedMember::find(*opened, member);
  if (!listed) return nullptr;
  auto entry = listed->open_entry(*opened);
  if (!entry) return nullptr;
  if (entry->entry->crc32 != digest.crc || entry->entry->uncompressed_size != digest.size) {
    return nullptr;
  }
  zip::EntryReader reader = opened->archive().reader(*entry);
  // Every byte is checked against the digest's pieces, whose CRC-32 is the entry's.
  reader.leave_checksum();
  return std::unique_ptr<EntryLines>(new EntryLines(std::move(*opened), std::move(reader), digest));
}

bool EntryLines::check(std::string_view bytes) {
  while (!bytes.empty()) {
    const uint64_t piece = read_ / LinesDigest::kPiece;
    if (piece >= digest_.pieces.size()) return false;  // longer than the digest's text
    const uint64_t piece_end = std::min((piece + 1) * LinesDigest::kPiece, digest_.size);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes.size(), piece_end - read_));
    crc_ = zip::crc32_of(crc_, bytes.data(), n);
    read_ += n;
    bytes.remove_prefix(n);
    if (read_ == piece_end) {
      if (crc_ != digest_.pieces[piece]) return false;
      crc_ = 0;
      checked_ = read_;
    }
  }
  return true;
}

Result<bool> EntryLines::next(std::string* rows, size_t at_least, Interrupt* interrupt) {
  const size_t start = rows->size();
  for (;;) {
    auto more = reader_.next(&piece_, interrupt);
    if (!more) return std::move(more).error();
    if (!*more) {
      if (!text_.empty() || checked_ != digest_.size) return Error("not the rows' lines");
      return false;
    }
    if (!check(piece_)) return Error("not the rows' lines");
    text_.append(piece_);
    // The rows within what was checked, up to the last line feed.
    const size_t checked = static_cast<size_t>(checked_ - text_at_);
    const size_t last = checked == 0 ? std::string::npos : text_.rfind('\n', checked - 1);
    if (last == std::string::npos) continue;
    if (rows->size() > start) rows->push_back(',');
    const size_t from = rows->size();
    rows->append(text_, 0, last);
    text_.erase(0, last + 1);
    text_at_ += last + 1;
    // A line feed stands in compact text only between rows.
    char* const end = rows->data() + rows->size();
    for (char* p = rows->data() + from;; ++p) {
      p = static_cast<char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      if (p == nullptr) break;
      *p = ',';
    }
    if (rows->size() - start >= at_least) return true;
  }
}

}  // namespace quarlen
