#include "arrow_export.h"

#include <cstring>
#include <memory>
#include <utility>

namespace quarlen {
namespace {

// What an exported array points to.
struct ArrayData {
  std::vector<Buffer> buffers;
  std::vector<const void*> pointers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
};

// The release of an exported array or schema, whose private data is a Data.
template <class Node, class Data>
void release_node(Node* node) {
  auto* data = static_cast<Data*>(node->private_data);
  // A child the receiver moved out has its release cleared and is its own.
  for (Node& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  node->release = nullptr;
}

// What an exported schema points to: its own strings and its children, each
// of which owns its own in turn, so that one moved out stays whole.
struct SchemaData {
  std::string format;
  std::string name;
  std::string metadata;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

// Fills *out from `data`, which it then owns.
void export_schema(std::unique_ptr<SchemaData> data, int64_t flags, ArrowSchema* out) {
  for (ArrowSchema& child : data->children) data->child_pointers.push_back(&child);
  *out = ArrowSchema{};
  out->format = data->format.c_str();
  out->name = data->name.c_str();
  out->metadata = data->metadata.empty() ? nullptr : data->metadata.data();
  out->flags = flags;
  out->n_children = static_cast<int64_t>(data->children.size());
  out->children = data->child_pointers.empty() ? nullptr : data->child_pointers.data();
  out->dictionary = nullptr;
  out->release = release_node<ArrowSchema, SchemaData>;
  out->private_data = data.release();
}

void put_int32(std::string* out, int32_t value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out->append(bytes, sizeof value);
}

// The metadata of the arrow.json extension type, in the interface's encoding:
// the number of pairs, then each key and value after its length, all lengths
// native int32.
std::string json_metadata() {
  std::string out;
  put_int32(&out, 2);
  for (const char* s : {"ARROW:extension:name", "arrow.json", "ARROW:extension:metadata", ""}) {
    put_int32(&out, static_cast<int32_t>(std::strlen(s)));
    out += s;
  }
  return out;
}

}  // namespace

void export_array(ArrayParts parts, ArrowArray* out) {
  auto data = std::make_unique<ArrayData>();
  data->buffers = std::move(parts.buffers);
  for (size_t i = 0; i < data->buffers.size(); ++i) {
    Buffer& b = data->buffers[i];
    if (b.capacity() == 0) b.reserve(1);  // never a null pointer for an empty buffer
    const bool absent = i < parts.absent.size() && parts.absent[i];
    data->pointers.push_back(absent ? nullptr : b.data());
  }
  data->children = std::move(parts.children);
  for (ArrowArray& child : data->children) data->child_pointers.push_back(&child);
  *out = ArrowArray{};
  out->length = parts.length;
  out->null_count = parts.null_count;
  out->offset = 0;
  out->n_buffers = static_cast<int64_t>(data->pointers.size());
  out->n_children = static_cast<int64_t>(data->children.size());
  out->buffers = data->pointers.empty() ? nullptr : data->pointers.data();
  out->children = data->child_pointers.empty() ? nullptr : data->child_pointers.data();
  out->dictionary = nullptr;
  out->release = release_node<ArrowArray, ArrayData>;
  out->private_data = data.release();
}

void export_batch_schema(const std::vector<FieldSpec>& fields, ArrowSchema* out) {
  auto root = std::make_unique<SchemaData>();
  root->format = "+s";
  root->children.resize(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    auto field = std::make_unique<SchemaData>();
    field->format = fields[i].format;
    field->name = fields[i].name;
    if (fields[i].json) field->metadata = json_metadata();
    export_schema(std::move(field), ARROW_FLAG_NULLABLE, &root->children[i]);
  }
  export_schema(std::move(root), 0, out);
}

}  // namespace quarlen
