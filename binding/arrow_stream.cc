#include "arrow_stream.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "convert.h"
#include "py_ref.h"
#include "quarlen/arrow_c.h"
#include "quarlen/arrow_table.h"
#include "unlocked.h"

namespace quarlen::py {
namespace {

constexpr const char* kTableParams[] = {"paths", "snapshots", "name"};
constexpr const char* kMadeParams[] = {"table"};
constexpr const char* kSchemaParams[] = {"fields"};
constexpr const char kTableCapsule[] = "quarlen.arrow_table";
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

void release_table(PyObject* capsule) {
  auto* table = static_cast<ArrowTable*>(PyCapsule_GetPointer(capsule, kTableCapsule));
  if (table == nullptr) PyErr_Clear();
  delete table;
}

// The table of the capsule that _arrow_table made; null with an exception set.
ArrowTable* made_table(const char* full_name, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind_fastcall({full_name, kMadeParams, 1}, args, nargs, kwnames, bound)) return nullptr;
  return static_cast<ArrowTable*>(PyCapsule_GetPointer(bound[0], kTableCapsule));
}

}  // namespace

PyObject* arrow_table_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    std::unique_ptr<ArrowTable> table = table_argument("_arrow_table()", args, nargs, kwnames);
    if (table == nullptr) return nullptr;
    // The table keeps the fault for the fields and the streams.
    bool raised = false;
    (void)interruptible(&raised, [&](Interrupt* i) { return table->prepare(i); });
    if (raised) return nullptr;
    PyObject* made = PyCapsule_New(table.get(), kTableCapsule, release_table);
    if (made != nullptr) table.release();
    return made;
  });
}

PyObject* arrow_fields_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    ArrowTable* table = made_table("_arrow_fields()", args, nargs, kwnames);
    if (table == nullptr) return nullptr;
    auto fields = table->fields();
    if (!fields) return raise_error(fields.error());
    PyRef list(PyList_New(static_cast<Py_ssize_t>(fields->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < fields->size(); ++i) {
      const FieldSpec& f = (*fields)[i];
      PyObject* name = PyUnicode_FromStringAndSize(f.name.data(), static_cast<Py_ssize_t>(f.name.size()));
      PyObject* format = name ? PyUnicode_FromString(f.format.c_str()) : nullptr;
      PyObject* item = format ? Py_BuildValue("(NNO)", name, format, f.json ? Py_True : Py_False) : nullptr;
      if (item == nullptr) {
        if (format == nullptr) Py_XDECREF(name);
        return nullptr;
      }
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
    }
    return list.release();
  });
}

PyObject* arrow_stream_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    ArrowTable* table = made_table("_arrow_stream()", args, nargs, kwnames);
    if (table == nullptr) return nullptr;
    auto stream = std::make_unique<ArrowArrayStream>();
    ArrowTable::export_stream(table->again(), stream.get());
    return capsule<ArrowArrayStream, kStreamCapsule>(std::move(stream));
  });
}

PyObject* arrow_schema_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall({"_arrow_schema()", kSchemaParams, 1}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::vector<FieldSpec> fields;
    const bool converted = list_argument("fields", bound[0], [&](PyObject* item) {
      const char* name = nullptr;
      const char* format = nullptr;
      int json = 0;
      if (!PyArg_ParseTuple(item, "ssp", &name, &format, &json)) return false;
      fields.push_back({name, format, json != 0});
      return true;
    });
    if (!converted) return nullptr;
    auto schema = std::make_unique<ArrowSchema>();
    export_batch_schema(fields, schema.get());
    return capsule<ArrowSchema, kSchemaCapsule>(std::move(schema));
  });
}

}  // namespace quarlen::py
