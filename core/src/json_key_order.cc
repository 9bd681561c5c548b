#include "json_key_order.h"

#include <algorithm>
#include <cassert>

#include "quarlen/compact_text.h"

namespace quarlen {
bool key_follows(const std::string& out, const EmittedMember& prev, size_t key_begin,
                 size_t key_size, bool escaped, EmitScratch& scratch) {
  const char* data = out.data();
  const std::string_view a(data + prev.key_begin + 1, prev.key_size);
  const std::string_view b(data + key_begin + 1, key_size);
  if (!prev.escaped && !escaped) return a < b;
  CompactReader::decode_string(a, &scratch.left);
  CompactReader::decode_string(b, &scratch.right);
  return scratch.left < scratch.right;
}

void reorder_members(std::string& out, size_t open, size_t base, EmitScratch& s) {
  s.object_text.assign(out, open, std::string::npos);
  s.decoded.clear();
  const size_t end = s.members.size();
  // Decode first, then take views: the decoded text must stop growing before
  // anything points into it.
  std::vector<size_t>& starts = s.decoded_starts;
  starts.clear();
  std::string& key = s.left;  // the scratch of key_follows, free while members are reordered
  for (size_t i = base; i < end; ++i) {
    const EmittedMember& m = s.members[i];
    starts.push_back(s.decoded.size());
    if (m.escaped) {
      CompactReader::decode_string(std::string_view(out).substr(m.key_begin + 1, m.key_size), &key);
      s.decoded += key;
    }
  }
  starts.push_back(s.decoded.size());
  s.order.clear();
  for (size_t i = base; i < end; ++i) {
    const EmittedMember& m = s.members[i];
    const size_t k = i - base;
    const std::string_view view =
        m.escaped ? std::string_view(s.decoded).substr(starts[k], starts[k + 1] - starts[k])
                  : std::string_view(s.object_text).substr(m.key_begin + 1 - open, m.key_size);
    s.order.push_back(EmitScratch::SortKey{view, i});
  }
  std::stable_sort(s.order.begin(), s.order.end(),
                   [](const EmitScratch::SortKey& x, const EmitScratch::SortKey& y) {
                     return x.key < y.key;
                   });
  out.resize(open + 1);
  bool first = true;
  for (size_t j = 0; j < s.order.size(); ++j) {
    // Equal keys keep their input order, so the last of a run is the one that wins.
    if (j + 1 < s.order.size() && s.order[j + 1].key == s.order[j].key) continue;
    const EmittedMember& m = s.members[s.order[j].member];
    if (!first) out.push_back(',');
    first = false;
    out.append(s.object_text, m.key_begin - open, m.value_end - m.key_begin);
  }
}

}  // namespace quarlen
