// A member's rows over one or more files handed out through Arrow's PyCapsule
// interface, for the package's tables.
#ifndef QUARLEN_BINDING_ARROW_STREAM_H_
#define QUARLEN_BINDING_ARROW_STREAM_H_

#include <Python.h>

namespace quarlen::py {

// _arrow_stream(paths, snapshots, name): a capsule "arrow_array_stream" over
// the table of `name` in the files `paths` (a list), with a snapshot column
// of the texts `snapshots` when that list is not empty. The first pass runs
// now, without the interpreter lock; its fault is the stream's error. A name
// outside the format raises ValueError.
PyObject* arrow_stream_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

// _arrow_fields(paths, snapshots, name): the fields of that table's batches,
// [(name, format, holds JSON)], and a capsule "arrow_array_stream" over the
// table, after the first pass, which runs now without the interpreter lock;
// its fault raises ValueError.
PyObject* arrow_fields_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

// _arrow_schema(fields): a capsule "arrow_schema" of a record batch with the
// fields that _arrow_fields gave, read from nothing.
PyObject* arrow_schema_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_ARROW_STREAM_H_
