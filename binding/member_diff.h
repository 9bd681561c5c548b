// The comparison of one member of two snapshots, for the package's diff.
#ifndef QUARLEN_BINDING_MEMBER_DIFF_H_
#define QUARLEN_BINDING_MEMBER_DIFF_H_

#include <Python.h>

namespace quarlen::py {

// _diff_member(old, new, name, key_columns): the changes of one member as a
// list of (change, key, old_row, new_row, columns) tuples: "added", "removed"
// or "changed", the key values and rows as Python objects (None for a row a
// side lacks) and the indexes of the columns that differ. `key_columns` is a
// tuple of column indexes; an empty one makes the whole row the key. The
// interpreter lock is released while the files are read.
PyObject* diff_member_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;

// _diff_member_json(old, new, name, key_columns): the same with the key and
// rows as compact JSON texts, as read() gives rows.
PyObject* diff_member_json_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept;

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_MEMBER_DIFF_H_
