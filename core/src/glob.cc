#include "quarlen/glob.h"

#include <algorithm>

namespace quarlen {

std::vector<uint32_t> code_points(std::string_view text) {
  std::vector<uint32_t> out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    out.push_back(cp);
    i += n;
  }
  return out;
}

namespace {

using Chunk = std::vector<uint32_t>;

// The body of a set, split where a '-' joins two chunks into a range, with
// the ranges that run backwards dropped along with their ends: chunks
// "a", "c" stand for the set a-c; "ab", "cd" for a, b-c, d.
std::vector<Chunk> set_chunks(const std::vector<uint32_t>& p, size_t start, size_t close) {
  std::vector<Chunk> chunks;
  size_t i = start;
  size_t k = p[start] == '!' ? start + 2 : start + 1;
  for (;;) {
    while (k < close && p[k] != '-') ++k;
    if (k >= close) break;
    chunks.emplace_back(p.begin() + i, p.begin() + k);
    i = k + 1;
    k += 3;
  }
  if (i < close) {
    chunks.emplace_back(p.begin() + i, p.begin() + close);
  } else {
    chunks.back().push_back('-');
  }
  for (size_t c = chunks.size() - 1; c > 0; --c) {
    Chunk& before = chunks[c - 1];
    const Chunk& after = chunks[c];
    if (!before.empty() && !after.empty() && before.back() > after.front()) {
      before.pop_back();
      before.insert(before.end(), after.begin() + 1, after.end());
      chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(c));
    }
  }
  return chunks;
}

}  // namespace

Glob::Glob(std::string_view pattern) {
  const std::vector<uint32_t> p = code_points(pattern);
  const size_t n = p.size();
  for (size_t i = 0; i < n;) {
    const uint32_t c = p[i++];
    if (c == '*') {
      if (tokens_.empty() || tokens_.back().kind != Kind::kStar) tokens_.push_back({Kind::kStar});
      continue;
    }
    if (c == '?') {
      tokens_.push_back({Kind::kAny});
      continue;
    }
    size_t j = i;
    if (c == '[') {
      if (j < n && p[j] == '!') ++j;
      if (j < n && p[j] == ']') ++j;
      while (j < n && p[j] != ']') ++j;
    }
    if (c != '[' || j >= n) {
      Token literal{Kind::kLiteral};
      literal.cp = c;
      tokens_.push_back(literal);
      continue;
    }
    // A set: p[i, j) between the brackets.
    Token set{Kind::kSet};
    set.first = ranges_.size();
    std::vector<Chunk> chunks;
    if (j > i) chunks = set_chunks(p, i, j);
    bool leading = true;
    for (size_t c = 0; c < chunks.size(); ++c) {
      const Chunk& chunk = chunks[c];
      for (size_t k = 0; k < chunk.size(); ++k) {
        if (leading && chunk[k] == '!') {
          set.negated = true;
          leading = false;
          continue;
        }
        leading = false;
        const bool ends_range = c > 0 && k == 0;
        const bool starts_range = c + 1 < chunks.size() && k + 1 == chunk.size();
        if (ends_range) continue;  // taken with the range's start
        uint32_t high = chunk[k];
        if (starts_range) high = chunks[c + 1].empty() ? '-' : chunks[c + 1].front();
        ranges_.emplace_back(chunk[k], high);
      }
    }
    set.end = ranges_.size();
    i = j + 1;
    tokens_.push_back(set);
  }
}

bool Glob::one(const Token& t, uint32_t cp) const {
  switch (t.kind) {
    case Kind::kLiteral:
      return t.cp == cp;
    case Kind::kAny:
      return true;
    case Kind::kSet: {
      bool in = false;
      for (size_t r = t.first; r < t.end && !in; ++r) {
        in = ranges_[r].first <= cp && cp <= ranges_[r].second;
      }
      return in != t.negated;
    }
    case Kind::kStar:
      break;
  }
  return false;
}

// Each token but "*" takes exactly one character, so the last "*" seen is the
// only one to back up to.
bool Glob::matches(std::string_view text) const {
  const std::vector<uint32_t> s = code_points(text);
  size_t t = 0, i = 0;
  size_t star = tokens_.size(), resume = 0;
  while (i < s.size()) {
    if (t < tokens_.size() && tokens_[t].kind == Kind::kStar) {
      star = t++;
      resume = i;
    } else if (t < tokens_.size() && one(tokens_[t], s[i])) {
      ++t;
      ++i;
    } else if (star < tokens_.size()) {
      t = star + 1;
      i = ++resume;
    } else {
      return false;
    }
  }
  while (t < tokens_.size() && tokens_[t].kind == Kind::kStar) ++t;
  return t == tokens_.size();
}

}  // namespace quarlen
