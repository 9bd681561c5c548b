#include "utf8_check.h"

#include <algorithm>

#include "quarlen/utf8.h"

namespace quarlen {
namespace {

// The length of the sequence a lead byte announces; 1 for anything that
// cannot lead a longer one, which the full check then judges.
size_t sequence_length(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// How many bytes at the end of `s` begin a sequence that runs past it.
size_t cut_short(std::string_view s) {
  for (size_t k = 1; k <= std::min<size_t>(3, s.size()); ++k) {
    const auto c = static_cast<unsigned char>(s[s.size() - k]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    return sequence_length(c) > k ? k : 0;
  }
  return 0;
}

}  // namespace

bool Utf8Check::feed(std::string_view piece) {
  if (!ok_) return false;
  if (!carry_.empty()) {
    const size_t want = sequence_length(static_cast<unsigned char>(carry_[0])) - carry_.size();
    const size_t take = std::min(want, piece.size());
    carry_.append(piece.substr(0, take));
    piece.remove_prefix(take);
    if (take < want) return true;
    ok_ = valid_utf8(carry_);
    carry_.clear();
    if (!ok_) return false;
  }
  const size_t cut = cut_short(piece);
  ok_ = valid_utf8(piece.substr(0, piece.size() - cut));
  if (ok_) carry_.assign(piece.substr(piece.size() - cut));
  return ok_;
}

}  // namespace quarlen
