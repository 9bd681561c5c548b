#include "arrow_stream.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "convert.h"
#include "quarlen/arrow_c.h"
#include "quarlen/arrow_table.h"
#include "unlocked.h"

namespace quarlen::py {
namespace {

constexpr const char* kTableParams[] = {"paths", "snapshots", "name"};
constexpr const char kStreamCapsule[] = "arrow_array_stream";
constexpr const char kSchemaCapsule[] = "arrow_schema";

// The items of a list argument, each through `convert`; false with an
// exception set.
template <class F>
bool list_argument(const char* param, PyObject* list, F&& convert) {
  if (!PyList_Check(list)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a list", param);
    return false;
  }
  const Py_ssize_t n = PyList_Size(list);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (item == nullptr || !convert(item)) return false;
  }
  return true;
}

// The table the arguments ask for; null with an exception set.
std::unique_ptr<ArrowTable> table_argument(const char* full_name, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  if (!bind_fastcall({full_name, kTableParams, 3}, args, nargs, kwnames, bound)) return nullptr;
  TableRequest request;
  const bool converted =
      list_argument("paths", bound[0], [&](PyObject* item) {
        auto path = path_argument("paths", item);
        if (path) request.paths.push_back(std::move(*path));
        return path.has_value();
      }) &&
      list_argument("snapshots", bound[1], [&](PyObject* item) {
        auto text = text_argument("snapshots", item);
        if (text) request.snapshots.emplace_back(*text);
        return text.has_value();
      });
  if (!converted) return nullptr;
  if (!request.snapshots.empty() && request.snapshots.size() != request.paths.size()) {
    PyErr_SetString(PyExc_ValueError, "one snapshot text is needed for every path");
    return nullptr;
  }
  auto name = text_argument("name", bound[2]);
  if (!name) return nullptr;
  request.name = std::string(*name);
  auto made = ArrowTable::make(std::move(request));
  if (!made) {
    raise_error(made.error());
    return nullptr;
  }
  return std::move(*made);
}

// The destructor of a capsule of a T named `name`: it releases what the
// consumer did not take (one that took it cleared its release).
template <class T, const char* name>
void release_capsule(PyObject* capsule) {
  auto* held = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (held == nullptr) {
    PyErr_Clear();
    return;
  }
  if (held->release != nullptr) held->release(held);
  delete held;
}

// A capsule that owns `held`; null with an exception set.
template <class T, const char* name>
PyObject* capsule(std::unique_ptr<T> held) {
  PyObject* made = PyCapsule_New(held.get(), name, release_capsule<T, name>);
  if (made == nullptr) {
    held->release(held.get());
    return nullptr;
  }
  held.release();
  return made;
}

}  // namespace

PyObject* arrow_stream_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    std::unique_ptr<ArrowTable> table = table_argument("_arrow_stream()", args, nargs, kwnames);
    if (table == nullptr) return nullptr;
    // The stream keeps the fault for its consumer.
    bool raised = false;
    (void)interruptible(&raised, [&](Interrupt* i) { return table->prepare(i); });
    if (raised) return nullptr;
    auto stream = std::make_unique<ArrowArrayStream>();
    ArrowTable::export_stream(std::move(table), stream.get());
    return capsule<ArrowArrayStream, kStreamCapsule>(std::move(stream));
  });
}

PyObject* arrow_schema_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    std::unique_ptr<ArrowTable> table = table_argument("_arrow_schema()", args, nargs, kwnames);
    if (table == nullptr) return nullptr;
    auto schema = std::make_unique<ArrowSchema>();
    bool raised = false;
    auto prepared = interruptible(&raised, [&](Interrupt* i) { return table->prepare(i); });
    if (raised) return nullptr;
    if (!prepared) return raise_error(prepared.error());
    auto exported = table->export_schema(schema.get());
    if (!exported) return raise_error(exported.error());
    return capsule<ArrowSchema, kSchemaCapsule>(std::move(schema));
  });
}

}  // namespace quarlen::py
