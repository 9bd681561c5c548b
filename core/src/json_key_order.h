// The member order of objects in the compact form. The parser writes an
// object's members as they come and records where each one lies; an object
// whose keys did not arrive in ascending order is rewritten once it closes.
#ifndef QUARLEN_JSON_KEY_ORDER_H_
#define QUARLEN_JSON_KEY_ORDER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quarlen {

// The output offsets of one member of an object being written in compact form,
// kept so that members can be put in key order once the object is complete.
struct EmittedMember {
  size_t key_begin;  // the key's opening quotation mark
  size_t value_end;  // one past the member's value
  size_t key_size;   // bytes between the key's quotation marks
  bool escaped;      // those bytes hold an escape, so they are not the key itself
};

// Space kept from one object to the next, so that ordering allocates only
// while it meets larger objects than before.
struct EmitScratch {
  std::vector<EmittedMember> members;  // a stack: each open object owns a tail
  std::string object_text;             // an unordered object, copied for reordering
  std::string decoded;                 // decoded keys of escaped members
  std::string left, right;             // two decoded keys under comparison
  std::vector<size_t> decoded_starts;  // where each member's key begins in `decoded`
  struct SortKey {
    std::string_view key;
    size_t member;
  };
  std::vector<SortKey> order;
};

// Whether the key written at `key_begin` of `out` (its opening quotation mark;
// `key_size` bytes between the marks) follows `prev` in strictly ascending byte
// order of the decoded keys.
bool key_follows(const std::string& out, const EmittedMember& prev, size_t key_begin,
                 size_t key_size, bool escaped, EmitScratch& scratch);

// Rewrites the members of the object opened at `open` of `out` in ascending key
// order, keeping only the last member of each key. The object's members are
// scratch.members[base..]; its closing brace is not written yet.
void reorder_members(std::string& out, size_t open, size_t base, EmitScratch& scratch);

}  // namespace quarlen

#endif  // QUARLEN_JSON_KEY_ORDER_H_
