#include "convert.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "py_ref.h"

namespace quarlen::py {
namespace {

constexpr char kGenericPanic[] = "an internal fault without a message";
constexpr char kApiFailure[] = "Python API call failed";

PyObject* g_panic_type = nullptr;

// The current thread's name from the threading module, or "<unnamed>". Leaves
// the interpreter's error state as it found it.
std::string thread_name() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  std::string name = "<unnamed>";
  PyRef threading(PyImport_ImportModule("threading"));
  PyRef current(threading ? PyObject_CallMethod(threading.get(), "current_thread", nullptr)
                          : nullptr);
  PyRef text(current ? PyObject_GetAttrString(current.get(), "name") : nullptr);
  if (text && PyUnicode_Check(text.get())) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
      name.assign(utf8, static_cast<size_t>(size));
    }
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return name;
}

// The message of the normalized exception `value` as UTF-8, for rewrapping.
std::string exception_text(PyObject* value) {
  PyRef text(PyObject_Str(value));
  if (!text) {
    PyErr_Clear();
    return std::string();
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(utf8, static_cast<size_t>(size));
}

// Replaces a pending TypeError (exactly that class) by TypeError
// "argument '{param}': {message}", keeping the first error's cause. Any other
// pending error is left as it is.
void wrap_argument_error(const char* param) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type(type), old_value(value), old_traceback(traceback);
  const std::string message = "argument '" + std::string(param) + "': " +
                              exception_text(old_value.get());
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyRef error(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!error) return;
  if (PyObject* cause = PyException_GetCause(old_value.get())) {
    PyException_SetCause(error.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, error.get());
}

std::string type_qualname(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

// Keyword names and type names may hold NUL characters: the message keeps
// its full length rather than ending at the first one.
void set_type_error(const std::string& message) {
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

// "'{}' object cannot be converted to 'PyString'" for an object that is not a
// str. Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
// a literal plus a temporary string.
void set_not_a_string_error(const std::string& type_name) {
  std::string message = "'";
  message += type_name;
  message += "' object cannot be converted to 'PyString'";
  set_type_error(message);
}

// Formats the missing-arguments TypeError: 'a', 'a' and 'b', 'a', 'b', and 'c'.
void raise_missing(const Signature& sig, PyObject** out) {
  std::string names;
  const int required = sig.count - sig.optional;
  int missing = 0;
  for (int i = 0; i < required; ++i) {
    if (out[i] == nullptr) ++missing;
  }
  int seen = 0;
  for (int i = 0; i < required; ++i) {
    if (out[i] != nullptr) continue;
    if (seen > 0) {
      if (missing == 2) {
        names += " and ";
      } else if (seen == missing - 1) {
        names += ", and ";
      } else {
        names += ", ";
      }
    }
    names += '\'';
    names += sig.params[i];
    names += '\'';
    ++seen;
  }
  set_type_error(std::string(sig.full_name) + " missing " + std::to_string(missing) +
                 " required positional " + (missing == 1 ? "argument" : "arguments") + ": " +
                 names);
}

bool too_many(const Signature& sig, Py_ssize_t given) {
  if (given <= sig.count) return false;
  set_type_error(std::string(sig.full_name) + " takes " + std::to_string(sig.count) +
                 " positional arguments but " + std::to_string(given) + " " +
                 (given == 1 ? "was" : "were") + " given");
  return true;
}

// Places one keyword argument; false with TypeError set when it does not fit.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
  std::string name;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (utf8 != nullptr) {
    name.assign(utf8, static_cast<size_t>(size));
  } else {
    PyErr_Clear();
    PyRef repr(PyObject_Str(key));
    PyRef bytes(repr ? PyUnicode_AsEncodedString(repr.get(), "utf-8", "backslashreplace")
                     : nullptr);
    if (bytes) name = PyBytes_AsString(bytes.get());
    PyErr_Clear();
  }
  for (int i = 0; i < sig.count; ++i) {
    if (name == sig.params[i]) {
      if (out[i] != nullptr) {
        set_type_error(std::string(sig.full_name) + " got multiple values for argument '" +
                       name + "'");
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  set_type_error(std::string(sig.full_name) + " got an unexpected keyword argument '" + name +
                 "'");
  return false;
}

bool all_filled(const Signature& sig, PyObject** out) {
  for (int i = 0; i < sig.count - sig.optional; ++i) {
    if (out[i] == nullptr) {
      raise_missing(sig, out);
      return false;
    }
  }
  return true;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (g_panic_type != nullptr) return g_panic_type;
  PyObject* created = PyErr_NewExceptionWithDoc(
      "quarlen._native.PanicException",
      "Raised when the native code of quarlen._native hits an internal fault.\n\n"
      "Like SystemExit, it derives from BaseException rather than Exception, so that it "
      "usually propagates all the way up and makes the interpreter exit.",
      PyExc_BaseException, nullptr);
  if (created == nullptr) return nullptr;
  if (g_panic_type == nullptr) {
    g_panic_type = created;  // kept for the life of the process
  } else {
    Py_DECREF(created);
  }
  return g_panic_type;
}

PyObject* raise_panic(const char* where, const char* message) noexcept {
  try {
    const char* text = message != nullptr ? message : kGenericPanic;
    const std::string name = thread_name();
    std::fprintf(stderr, "thread '%s' panicked at %s:\n%s\n", name.c_str(), where, text);
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
      // Creating the class failed: that failure is what the caller sees.
      return nullptr;
    }
    PyRef value(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::char_traits<char>::length(text)),
                                     "replace"));
    if (!value) return nullptr;
    PyErr_SetObject(type, value.get());
  } catch (...) {
    PyErr_SetString(PyExc_MemoryError, "out of memory while reporting an internal fault");
  }
  return nullptr;
}

PyObject* raise_api_failure(const char* where) noexcept {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  return raise_panic(where, kApiFailure);
}

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (too_many(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!place_keyword(sig, PyTuple_GetItem(kwnames, i), args[nargs + i], out)) return false;
    }
  }
  return all_filled(sig, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (too_many(sig, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return all_filled(sig, out);
}

std::optional<std::string> path_argument(const char* param, PyObject* obj) {
  PyRef path(PyOS_FSPath(obj));
  if (!path) {
    wrap_argument_error(param);
    return std::nullopt;
  }
  if (!(PyType_GetFlags(Py_TYPE(path.get())) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
    // The path protocol gives str or bytes; a bytes subclass is still bytes here.
    set_not_a_string_error("bytes");
    wrap_argument_error(param);
    return std::nullopt;
  }
  // A str the file-system encoding cannot encode fails with the interpreter's
  // UnicodeEncodeError, unchanged, as a text argument without UTF-8 does.
  PyRef encoded(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return std::nullopt;
  const char* data = PyBytes_AsString(encoded.get());
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<size_t>(PyBytes_Size(encoded.get())));
}

std::optional<std::string_view> text_argument(const char* param, PyObject* obj) {
  if (!(PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS)) {
    set_not_a_string_error(type_qualname(obj));
    wrap_argument_error(param);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return std::nullopt;  // UnicodeEncodeError, raised unchanged
  return std::string_view(utf8, static_cast<size_t>(size));
}

namespace {

// None, or a new str; a path in the file-system encoding, as os.fspath gave it.
PyObject* optional_text(const std::optional<std::string>& text, bool is_path) {
  if (!text) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  const auto size = static_cast<Py_ssize_t>(text->size());
  return is_path ? PyUnicode_DecodeFSDefaultAndSize(text->data(), size)
                 : PyUnicode_FromStringAndSize(text->data(), size);
}

bool set_subject(PyObject* exception, const char* field, PyObject* value) {
  PyRef owned(value);
  return owned && PyObject_SetAttrString(exception, field, owned.get()) == 0;
}

}  // namespace

bool set_subject(PyObject* exception, const std::optional<std::string>& path,
                 const std::optional<std::string>& member, uint64_t row) noexcept {
  return set_subject(exception, "path", optional_text(path, true)) &&
         set_subject(exception, "member", optional_text(member, false)) &&
         set_subject(exception, "row", row == 0 ? (Py_INCREF(Py_None), Py_None)
                                                : PyLong_FromUnsignedLongLong(row));
}

PyObject* raise_error(const Error& error) noexcept {
  const std::string& m = error.message();
  PyRef text(PyUnicode_FromStringAndSize(m.data(), static_cast<Py_ssize_t>(m.size())));
  if (!text) return raise_api_failure(QUARLEN_WHERE);
  PyRef exception(PyObject_CallFunctionObjArgs(PyExc_ValueError, text.get(), nullptr));
  if (!exception) return raise_api_failure(QUARLEN_WHERE);
  if (!set_subject(exception.get(), error.path(), error.member(), error.row())) {
    return raise_api_failure(QUARLEN_WHERE);
  }
  PyErr_SetObject(PyExc_ValueError, exception.get());
  return nullptr;
}

void add_row_subject(std::string_view member, uint64_t row) noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  // The row's own faults are ValueError and TypeError; others (MemoryError)
  // are not about the row.
  if (PyErr_GivenExceptionMatches(type, PyExc_ValueError) ||
      PyErr_GivenExceptionMatches(type, PyExc_TypeError)) {
    PyErr_NormalizeException(&type, &value, &traceback);
    // An exception that takes no attributes keeps its message alone.
    if (value != nullptr && !set_subject(value, std::nullopt, std::string(member), row)) {
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, traceback);
}

PyObject* str_result(std::string_view utf8, const char* where) noexcept {
  PyObject* s = PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
  // A result too large for memory is the caller's to handle, not a fault.
  if (s == nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) return raise_api_failure(where);
  return s;
}

}  // namespace quarlen::py
