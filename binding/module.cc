// The module quarlen._native: start-up and the module-level functions.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "arrow_stream.h"
#include "convert.h"
#include "member_diff.h"
#include "py_ref.h"
#include "unlocked.h"
#include "quarlen/compact_text.h"
#include "quarlen/format.h"
#include "quarlen/hash.h"
#include "quarlen/reader.h"
#include "row_reader.h"
#include "writer_type.h"

namespace quarlen::py {
namespace {

constexpr const char* kPathParams[] = {"path"};
constexpr const char* kUnitHashParams[] = {"owner", "object_type", "object_name", "text"};

PyObject* fn_manifest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall({"manifest()", kPathParams, 1}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    auto path = path_argument("path", bound[0]);
    if (!path) return nullptr;
    auto text = unlocked([&] { return manifest_text(*path); });
    if (!text) return raise_error(text.error());
    return str_result(*text, QUARLEN_WHERE);
  });
}

// read() and _read_listed(): the member's text; with `unlisted_none`, None
// for a member the manifest does not list (read() gives it as "[]").
PyObject* read_member(const char* fname, bool unlisted_none, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_fastcall({fname, kReadParams, 2}, args, nargs, kwnames, bound)) return nullptr;
    auto path = path_argument("path", bound[0]);
    if (!path) return nullptr;
    auto name = text_argument("name", bound[1]);
    if (!name) return nullptr;
    bool raised = false;
    bool listed = true;
    auto text = interruptible(&raised, [&](Interrupt* i) { return read_text(*path, *name, i, &listed); });
    if (raised) return nullptr;
    if (!text) return raise_error(text.error());
    if (unlisted_none && !listed) {
      Py_INCREF(Py_None);
      return Py_None;
    }
    return str_result(*text, QUARLEN_WHERE);
  });
}

PyObject* fn_read(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return read_member("read()", false, args, nargs, kwnames);
}

PyObject* fn_verify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall({"verify()", kPathParams, 1}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    auto path = path_argument("path", bound[0]);
    if (!path) return nullptr;
    bool raised = false;
    auto text = interruptible(&raised, [&](Interrupt* i) { return verify_text(*path, i); });
    if (raised) return nullptr;
    if (!text) return raise_error(text.error());
    return str_result(*text, QUARLEN_WHERE);
  });
}

PyObject* fn_members(PyObject*, PyObject*) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    return str_result(members_json(), QUARLEN_WHERE);
  });
}

PyObject* fn_unit_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[4];
    if (!bind_fastcall({"unit_hash()", kUnitHashParams, 4}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::string_view texts[4];
    for (int i = 0; i < 4; ++i) {
      auto text = text_argument(kUnitHashParams[i], bound[i]);
      if (!text) return nullptr;
      texts[i] = *text;
    }
    return str_result(unit_hash(texts[0], texts[1], texts[2], texts[3]), QUARLEN_WHERE);
  });
}

// Private, for the command line: raises the writer's message when `name` is not
// a member of the format, so that a bad name is refused before any file exists.
PyObject* fn_check_member(PyObject*, PyObject* arg) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    auto name = text_argument("name", arg);
    if (!name) return nullptr;
    auto spec = lookup_member(*name);
    if (!spec) return raise_error(spec.error());
    Py_INCREF(Py_None);
    return Py_None;
  });
}

// Private, for the package's schema: the member table with keys and display forms.
PyObject* fn_schema(PyObject*, PyObject*) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    return str_result(schema_json(), QUARLEN_WHERE);
  });
}

// Private, for the command line's read: read()'s text, or None when the
// manifest does not list the member, told in the same read.
PyObject* fn_read_listed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return read_member("_read_listed()", true, args, nargs, kwnames);
}

// Private, for the command line's read: the rows of the compact array text
// that read() returns, each followed by a line feed.
PyObject* fn_array_lines(PyObject*, PyObject* arg) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    auto text = text_argument("text", arg);
    if (!text) return nullptr;
    std::string lines;
    unlocked([&] {
      lines.reserve(text->size());
      CompactReader array(*text);
      if (array.at_end() || !array.open()) return 0;
      do {
        lines += array.value();
        lines += '\n';
      } while (array.more());
      return 0;
    });
    return str_result(lines, QUARLEN_WHERE);
  });
}

PyObject* fn_version(PyObject*, PyObject*) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    return str_result(kVersion, QUARLEN_WHERE);
  });
}

// Function definitions must outlive the function objects, so they are static.
PyMethodDef g_functions[] = {
    {"manifest", fast(fn_manifest), METH_FASTCALL | METH_KEYWORDS,
     "manifest(path)\n--\n\nThe manifest of a .quarlen file (JSON), after checking its format."},
    {"read", fast(fn_read), METH_FASTCALL | METH_KEYWORDS,
     "read(path, name)\n--\n\nOne member's rows (JSON), checked against the manifest and the "
     "format."},
    {"verify", fast(fn_verify), METH_FASTCALL | METH_KEYWORDS,
     "verify(path)\n--\n\nReads every member: `{ok, format, members, problems}` (JSON)."},
    {"members", fn_members, METH_NOARGS,
     "members()\n--\n\nThe format's members and their columns (JSON): `[[name, [columns], "
     "keyed]]`."},
    {"unit_hash", fast(fn_unit_hash), METH_FASTCALL | METH_KEYWORDS,
     "unit_hash(owner, object_type, object_name, text)\n--\n\n"},
    {"version", fn_version, METH_NOARGS, "version()\n--\n\n"},
};

// Not listed in __all__.
// Private helpers of the quarlen package: set on the module, not in __all__.
PyMethodDef g_private_functions[] = {
    {"_check_member", fn_check_member, METH_O, "_check_member(name)\n--\n\n"},
    {"_load", fast(load_function), METH_FASTCALL | METH_KEYWORDS, "_load(path, name)\n--\n\n"},
    {"_open_rows", fast(open_rows_function), METH_FASTCALL | METH_KEYWORDS,
     "_open_rows(path, name)\n--\n\n"},
    {"_write_rows", fast(write_rows_function), METH_FASTCALL | METH_KEYWORDS,
     "_write_rows(writer, name, rows, first)\n--\n\n"},
    {"_write_json_lines", fast(write_json_lines_function), METH_FASTCALL | METH_KEYWORDS,
     "_write_json_lines(writer, fd, progress)\n--\n\n"},
    {"_array_lines", fn_array_lines, METH_O, "_array_lines(text)\n--\n\n"},
    {"_diff_member", fast(diff_member_function), METH_FASTCALL | METH_KEYWORDS,
     "_diff_member(old, new, name, key_columns, rules=None)\n--\n\n"},
    {"_diff_member_json", fast(diff_member_json_function), METH_FASTCALL | METH_KEYWORDS,
     "_diff_member_json(old, new, name, key_columns, rules=None)\n--\n\n"},
    {"_schema", fn_schema, METH_NOARGS, "_schema()\n--\n\n"},
    {"_read_listed", fast(fn_read_listed), METH_FASTCALL | METH_KEYWORDS,
     "_read_listed(path, name)\n--\n\n"},
    {"_discard", discard_function, METH_O, "_discard(writer)\n--\n\n"},
    {"_arrow_table", fast(arrow_table_function), METH_FASTCALL | METH_KEYWORDS,
     "_arrow_table(paths, snapshots, name)\n--\n\n"},
    {"_arrow_fields", fast(arrow_fields_function), METH_FASTCALL | METH_KEYWORDS,
     "_arrow_fields(table)\n--\n\n"},
    {"_arrow_stream", fast(arrow_stream_function), METH_FASTCALL | METH_KEYWORDS,
     "_arrow_stream(table)\n--\n\n"},
    {"_arrow_schema", fast(arrow_schema_function), METH_FASTCALL | METH_KEYWORDS,
     "_arrow_schema(fields)\n--\n\n"},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    "",         // m_doc
    0,          // m_size: no per-module state
    nullptr,    // m_methods: the initialiser adds every function itself
    nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
int64_t g_interpreter_id = -1;

// Appends `name` to the module's __all__ (created when missing) and sets the
// attribute. Steals `value`. Returns false with an exception set.
bool add_name(PyObject* module, const char* name, PyObject* value) {
  PyRef owned(value);
  if (!owned) return false;
  PyRef all_name(PyUnicode_FromString("__all__"));
  PyRef key(PyUnicode_FromString(name));
  if (!all_name || !key) return false;
  PyRef all(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return false;
  }
  if (PyList_Append(all.get(), key.get()) < 0) {
    raise_api_failure(QUARLEN_WHERE);
    return false;
  }
  return PyObject_SetAttr(module, key.get(), owned.get()) == 0;
}

bool initialise(PyObject* module) {
  if (!watch_exit(module) || !find_main_thread()) return false;
  PyObject* writer_type = get_writer_type();
  if (writer_type == nullptr) return false;
  Py_INCREF(writer_type);
  if (!add_name(module, "Writer", writer_type)) return false;

  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : g_functions) {
    if (!add_name(module, def.ml_name, PyCMethod_New(&def, module, module_name.get(), nullptr))) {
      return false;
    }
  }
  for (PyMethodDef& def : g_private_functions) {
    PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function || PyObject_SetAttrString(module, def.ml_name, function.get()) < 0) {
      return false;
    }
  }
  return add_name(module, "FORMAT",
                  PyUnicode_FromStringAndSize(kFormat.data(),
                                              static_cast<Py_ssize_t>(kFormat.size())));
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return nullptr;
  if (g_interpreter_id == -1) {
    g_interpreter_id = id;
  } else if (g_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "quarlen._native does not support sub-interpreters: it can be imported "
                    "only in the interpreter that imported it first");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyRef module(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
  if (!module || !initialise(module.get())) return nullptr;
  g_module = module.get();
  Py_INCREF(g_module);  // kept for the rest of the process
  return module.release();
}

}  // namespace
}  // namespace quarlen::py

PyMODINIT_FUNC PyInit__native(void) {
  return quarlen::py::guarded(QUARLEN_WHERE, [] { return quarlen::py::init_module(); });
}
