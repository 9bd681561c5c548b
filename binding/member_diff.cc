#include "member_diff.h"

#include <memory>
#include <optional>
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

constexpr const char* kParams[] = {"old", "new", "name", "key_columns", "rules"};

// The tuple of column indexes; false with an exception set.
bool column_indexes(PyObject* obj, std::vector<size_t>* out, const char* param = "key_columns") {
  if (!PyTuple_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    (std::string("argument '") + param + "': expected a tuple of column indexes")
                        .c_str());
    return false;
  }
  const Py_ssize_t size = PyTuple_Size(obj);
  for (Py_ssize_t i = 0; i < size; ++i) {
    const Py_ssize_t column = PyLong_AsSsize_t(PyTuple_GetItem(obj, i));
    if (column == -1 && PyErr_Occurred()) return false;
    if (column < 0) {
      PyErr_SetString(PyExc_ValueError,
                      (std::string("argument '") + param + "': a column index is negative").c_str());
      return false;
    }
    out->push_back(static_cast<size_t>(column));
  }
  return true;
}

// A column index, or None for none; false with an exception set.
bool optional_column(PyObject* obj, std::optional<size_t>* out) {
  if (obj == Py_None) return true;
  std::vector<size_t> one;
  PyRef tuple(PyTuple_Pack(1, obj));
  if (!tuple || !column_indexes(tuple.get(), &one, "rules")) return false;
  *out = one[0];
  return true;
}

// A tuple of patterns as globs; false with an exception set.
bool patterns(PyObject* obj, std::vector<Glob>* out) {
  if (!PyTuple_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "argument 'rules': expected a tuple of patterns");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_Size(obj); ++i) {
    auto text = text_argument("rules", PyTuple_GetItem(obj, i));
    if (!text) return false;
    out->emplace_back(*text);
  }
  return true;
}

// The rules: None, or (owner column, owner patterns, object column, object
// patterns, ignored columns, spaced columns), a column None where the member
// has none. False with an exception set.
bool diff_rules(PyObject* obj, DiffRules* rules) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyTuple_Check(obj) || PyTuple_Size(obj) != 6) {
    PyErr_SetString(PyExc_TypeError, "argument 'rules': expected a tuple of 6 items");
    return false;
  }
  auto item = [&](Py_ssize_t i) { return PyTuple_GetItem(obj, i); };
  return optional_column(item(0), &rules->owner_column) &&
         patterns(item(1), &rules->owner_patterns) &&
         optional_column(item(2), &rules->object_column) &&
         patterns(item(3), &rules->object_patterns) &&
         column_indexes(item(4), &rules->ignored, "rules") &&
         column_indexes(item(5), &rules->spaced, "rules");
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
  PyObject* bound[5];
  if (!bind_fastcall({full_name, kParams, 5, 1}, args, nargs, kwnames, bound)) return nullptr;
  auto old_path = path_argument("old", bound[0]);
  if (!old_path) return nullptr;
  auto new_path = path_argument("new", bound[1]);
  if (!new_path) return nullptr;
  auto name = text_argument("name", bound[2]);
  if (!name) return nullptr;
  std::vector<size_t> key_columns;
  if (!column_indexes(bound[3], &key_columns)) return nullptr;
  DiffRules rules;
  if (!diff_rules(bound[4], &rules)) return nullptr;
  bool raised = false;
  auto changes = interruptible(&raised, [&](Interrupt* i) {
    return diff_member(*old_path, *new_path, *name, key_columns, i, rules);
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
