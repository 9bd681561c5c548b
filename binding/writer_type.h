// The class Writer, a thin binding over the core ArchiveWriter.
#ifndef QUARLEN_BINDING_WRITER_TYPE_H_
#define QUARLEN_BINDING_WRITER_TYPE_H_

#include <Python.h>

namespace quarlen::py {

// The Writer type object, created on first call and kept; a borrowed
// reference, or null with an exception set.
PyObject* get_writer_type() noexcept;

// _write_rows(writer, name, rows, first): encodes every row of the iterable
// `rows` for the open member `name` (numbered from `first` in messages) and
// appends them to the writer in blocks; returns how many it wrote. The checks
// of every Writer method apply to `writer`.
PyObject* write_rows_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;

// _discard(writer): abandons an unfinished writer. Its file is closed without
// a manifest (and left for the caller to delete); returns the text of a
// failure to close it, or None. Later calls find the file finished.
PyObject* discard_function(PyObject* module, PyObject* writer) noexcept;

// _write_json_lines(writer, fd, progress): with a member open, reads the file
// descriptor `fd` to its end and writes each line that is not blank as one
// row (JsonLineEncoder), without the interpreter lock while it reads and
// encodes; Ctrl-C stops it. Calls `progress(rows, bytes)`, unless it is None,
// every JsonLineEncoder::kPauseRows rows. Returns (rows, bytes read). A bad
// line raises ValueError with its reason and the attributes `line` and `row`;
// a read failure raises OSError.
PyObject* write_json_lines_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept;

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_WRITER_TYPE_H_
