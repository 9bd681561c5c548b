// The class Writer, a thin binding over the core ArchiveWriter.
#ifndef QUARLEN_BINDING_WRITER_TYPE_H_
#define QUARLEN_BINDING_WRITER_TYPE_H_

#include <Python.h>

namespace quarlen::py {

// The Writer type object, created on first call and kept; a borrowed
// reference, or null with an exception set.
PyObject* get_writer_type() noexcept;

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_WRITER_TYPE_H_
