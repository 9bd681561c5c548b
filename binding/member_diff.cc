#include "member_diff.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "collector.h"
#include "convert.h"
#include "objects.h"
#include "py_ref.h"
#include "quarlen/diff.h"
#include "unlocked.h"

namespace quarlen::py {
namespace {

constexpr const char* kParams[] = {"old", "new", "name", "key_columns"};

// The tuple of column indexes; false with an exception set.
bool column_indexes(PyObject* obj, std::vector<size_t>* out) {
  if (!PyTuple_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "argument 'key_columns': expected a tuple of column indexes");
    return false;
  }
  const Py_ssize_t size = PyTuple_Size(obj);
  for (Py_ssize_t i = 0; i < size; ++i) {
    const Py_ssize_t column = PyLong_AsSsize_t(PyTuple_GetItem(obj, i));
    if (column == -1 && PyErr_Occurred()) return false;
    if (column < 0) {
      PyErr_SetString(PyExc_ValueError, "argument 'key_columns': a column index is negative");
      return false;
    }
    out->push_back(static_cast<size_t>(column));
  }
  return true;
}

const char* kind_name(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::kAdded:
      return "added";
    case ChangeKind::kRemoved:
      return "removed";
    case ChangeKind::kChanged:
      break;
  }
  return "changed";
}

// Turns compact texts into Python values: objects, or the texts as str.
class Values {
 public:
  explicit Values(bool as_objects) : decoder_(as_objects ? new RowDecoder : nullptr) {}

  // A new reference, or null with an exception set. An empty text is no row: None.
  PyObject* get(const std::string& text) {
    if (text.empty()) {
      Py_INCREF(Py_None);
      return Py_None;
    }
    if (decoder_ != nullptr) return decoder_->decode(text);
    return str_result(text, QUARLEN_WHERE);
  }

 private:
  std::unique_ptr<RowDecoder> decoder_;
};

// One change as a tuple; each text is dropped once converted, so that the
// texts and their values are not all held twice at once.
PyObject* change_tuple(RowChange& c, Values& values) {
  PyRef tuple(PyTuple_New(5));
  if (!tuple) return nullptr;
  // PyTuple_SetItem steals the item, on failure too.
  auto set = [&](Py_ssize_t i, PyObject* item) {
    return item != nullptr && PyTuple_SetItem(tuple.get(), i, item) == 0;
  };
  if (!set(0, PyUnicode_InternFromString(kind_name(c.kind)))) return nullptr;
  if (!set(1, values.get(c.key))) return nullptr;
  std::string().swap(c.key);
  if (!set(2, values.get(c.old_row))) return nullptr;
  std::string().swap(c.old_row);
  if (!set(3, values.get(c.new_row))) return nullptr;
  std::string().swap(c.new_row);
  PyRef columns(PyTuple_New(static_cast<Py_ssize_t>(c.columns.size())));
  if (!columns) return nullptr;
  for (size_t i = 0; i < c.columns.size(); ++i) {
    PyObject* index = PyLong_FromSize_t(c.columns[i]);
    if (index == nullptr || PyTuple_SetItem(columns.get(), static_cast<Py_ssize_t>(i), index) < 0) {
      return nullptr;
    }
  }
  if (!set(4, columns.release())) return nullptr;
  return tuple.release();
}

PyObject* diff_member_as(bool as_objects, const char* full_name, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[4];
  if (!bind_fastcall({full_name, kParams, 4}, args, nargs, kwnames, bound)) return nullptr;
  auto old_path = path_argument("old", bound[0]);
  if (!old_path) return nullptr;
  auto new_path = path_argument("new", bound[1]);
  if (!new_path) return nullptr;
  auto name = text_argument("name", bound[2]);
  if (!name) return nullptr;
  std::vector<size_t> key_columns;
  if (!column_indexes(bound[3], &key_columns)) return nullptr;
  bool raised = false;
  auto changes = interruptible(&raised, [&](Interrupt* i) {
    return diff_member(*old_path, *new_path, *name, key_columns, i);
  });
  if (raised) return nullptr;
  if (!changes) return raise_error(changes.error());
  // The values hold no cycles, so the collector could only rescan them while
  // they are built: it waits until they are complete.
  CollectorPaused paused;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(changes->size())));
  if (!list) return nullptr;
  Values values(as_objects);
  for (size_t i = 0; i < changes->size(); ++i) {
    PyObject* change = change_tuple((*changes)[i], values);
    if (change == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), change) < 0) {
      return nullptr;
    }
  }
  return list.release();
}

}  // namespace

PyObject* diff_member_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    return diff_member_as(true, "_diff_member()", args, nargs, kwnames);
  });
}

PyObject* diff_member_json_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    return diff_member_as(false, "_diff_member_json()", args, nargs, kwnames);
  });
}

}  // namespace quarlen::py
