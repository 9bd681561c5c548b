// A member's rows over one or more files handed out through Arrow's PyCapsule
// interface, for the package's tables.
#ifndef QUARLEN_BINDING_ARROW_STREAM_H_
#define QUARLEN_BINDING_ARROW_STREAM_H_

#include <Python.h>

namespace quarlen::py {

// _arrow_table(paths, snapshots, name): a capsule "quarlen.arrow_table" of
// the table of `name` in the files `paths` (a list), with a snapshot column
// of the texts `snapshots` when that list is not empty. Its first pass runs
// now, without the interpreter lock; the table keeps its fault. A name
// outside the format raises ValueError.
PyObject* arrow_table_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept;

// _arrow_fields(table): the fields of the table's batches, [(name, format,
// holds JSON)]; the first pass's fault raises ValueError.
PyObject* arrow_fields_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

// _arrow_stream(table): a capsule "arrow_array_stream" over the table, read
// again from its first pass (ArrowTable::again); that pass's fault is the
// stream's error.
PyObject* arrow_stream_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

// _arrow_schema(fields): a capsule "arrow_schema" of a record batch with the
// fields that _arrow_fields gave, read from nothing.
PyObject* arrow_schema_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_ARROW_STREAM_H_
