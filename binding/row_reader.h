// Rows as Python objects, read whole (_load) or a batch at a time (_open_rows,
// whose RowReader the package's iter_rows drives).
#ifndef QUARLEN_BINDING_ROW_READER_H_
#define QUARLEN_BINDING_ROW_READER_H_

#include <Python.h>

namespace quarlen::py {

// _load(path, name): a member's rows as a list of lists, after every check of read().
PyObject* load_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

// _open_rows(path, name): a RowReader over the member; its next_batch() gives a
// list of the next rows, or None once the member ended and every check passed.
PyObject* open_rows_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept;

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_ROW_READER_H_
