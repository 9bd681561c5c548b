// The conventions every entry point of the module follows: binding arguments
// to parameters, converting paths and texts, converting results, and turning
// core errors and internal faults into Python exceptions.
#ifndef QUARLEN_BINDING_CONVERT_H_
#define QUARLEN_BINDING_CONVERT_H_

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "quarlen/error.h"

namespace quarlen::py {

// A fault inside the module that is not the caller's doing. The guard turns it
// into PanicException; the report names `where`, the place it arose.
class InternalFault : public std::exception {
 public:
  InternalFault(const char* where, std::string message)
      : where_(where), message_(std::move(message)) {}
  const char* where() const noexcept { return where_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  const char* where_;
  std::string message_;
};

// Raised in place of a pending Python error that is itself an internal fault
// (a NULL while building a result): the error is printed, then PanicException
// "Python API call failed" is raised.
PyObject* raise_api_failure(const char* where) noexcept;

// Raises PanicException with `message` (a generic text when null), after
// reporting the fault with the thread's name and `where` on standard error.
PyObject* raise_panic(const char* where, const char* message) noexcept;

// Creates PanicException on first use; null (with an exception set) on failure.
PyObject* panic_exception_type() noexcept;

// Runs `body` so that no C++ exception unwinds into the interpreter.
template <class F>
PyObject* guarded(const char* where, F&& body) noexcept {
  try {
    return body();
  } catch (const InternalFault& e) {
    return raise_panic(e.where(), e.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(where, e.what());
  } catch (...) {
    return raise_panic(where, nullptr);
  }
}

#define QUARLEN_WHERE_STR2(x) #x
#define QUARLEN_WHERE_STR(x) QUARLEN_WHERE_STR2(x)
#define QUARLEN_WHERE __FILE__ ":" QUARLEN_WHERE_STR(__LINE__)

// A function's parameters, for binding. `full_name` is "read()" or
// "Writer.begin()"; at most five parameters, the last `optional` of which may
// be left out (bound as null).
struct Signature {
  const char* full_name;
  const char* const* params;
  int count;
  int optional = 0;
};

// The parameters of the functions that read one member.
inline constexpr const char* kReadParams[] = {"path", "name"};

// Binds fast-call arguments; on success `out[i]` holds a borrowed reference
// for every parameter. Returns false with TypeError set otherwise.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

// Binds a positional tuple and a keyword dictionary (may be null).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// The path conversion: the path protocol, a str only, the file-system encoding.
// On failure an exception is set (TypeError wrapped as "argument '{}': {}").
std::optional<std::string> path_argument(const char* param, PyObject* obj);

// The text conversion: a str or subclass, as UTF-8. The view borrows from `obj`.
std::optional<std::string_view> text_argument(const char* param, PyObject* obj);

// A METH_FASTCALL | METH_KEYWORDS function, and the same as a method table
// stores it.
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fast(FastFunction f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// Raises ValueError carrying the core's message verbatim, with the attributes
// `path` (str), `member` (str) and `row` (int) of its subject, each None where
// the error has none; returns null.
PyObject* raise_error(const Error& error) noexcept;

// Sets those three attributes on `exception`; false with an exception set.
bool set_subject(PyObject* exception, const std::optional<std::string>& path,
                 const std::optional<std::string>& member, uint64_t row) noexcept;

// Gives the pending ValueError or TypeError, raised for one row, the
// attributes `member` and `row` (and `path` None).
void add_row_subject(std::string_view member, uint64_t row) noexcept;

// A new str from UTF-8; a failure is an internal fault.
PyObject* str_result(std::string_view utf8, const char* where) noexcept;

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_CONVERT_H_
