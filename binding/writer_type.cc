#include "writer_type.h"

#include <poll.h>
#include <pythread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "convert.h"
#include "objects.h"
#include "py_ref.h"
#include "unlocked.h"
#include "quarlen/json_lines.h"
#include "quarlen/writer.h"

namespace quarlen::py {
namespace {

constexpr char kTypeName[] = "_native::Writer";

struct WriterObject {
  PyObject_HEAD
  ArchiveWriter* writer;       // owned; deleted on the owner thread only
  std::atomic<int> borrow;     // 0 free, -1 while a method runs
  unsigned long owner_thread;  // PyThread_get_thread_ident() of the creator
};

PyObject* g_writer_type = nullptr;

constexpr const char* kPathParams[] = {"path"};
constexpr const char* kNameParams[] = {"name"};
constexpr const char* kRowsParams[] = {"rows_json"};
constexpr const char* kHeaderParams[] = {"header_json"};

// Holds the borrow flag of one method call; clears it on every way out.
class Borrow {
 public:
  explicit Borrow(WriterObject* self) : self_(self) {}
  ~Borrow() {
    if (held_) self_->borrow.store(0);
  }
  bool acquire() {
    int expected = 0;
    held_ = self_->borrow.compare_exchange_strong(expected, -1);
    return held_;
  }

 private:
  WriterObject* self_;
  bool held_ = false;
};

// The receiver checks of every method, in order: a Writer, the owner thread,
// the borrow flag. Returns false with an exception set.
bool take_receiver(PyObject* self, Borrow& borrow) {
  if (!PyType_IsSubtype(Py_TYPE(self), reinterpret_cast<PyTypeObject*>(g_writer_type))) {
    PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"));
    Py_ssize_t size = 0;
    const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    const std::string type_name = utf8 != nullptr ? std::string(utf8, size) : "?";
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    ("'" + type_name + "' object cannot be converted to 'Writer'").c_str());
    return false;
  }
  auto* w = reinterpret_cast<WriterObject*>(self);
  const unsigned long current = PyThread_get_thread_ident();
  if (current != w->owner_thread) {
    throw InternalFault(QUARLEN_WHERE,
                        std::string(kTypeName) +
                            " is unsendable, but sent to another thread (called from thread " +
                            std::to_string(current) + ", owned by thread " +
                            std::to_string(w->owner_thread) + ")");
  }
  if (!borrow.acquire()) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
  }
  return true;
}

ArchiveWriter& core(PyObject* self) { return *reinterpret_cast<WriterObject*>(self)->writer; }

// A file that could not be closed after the writer gave up on it: the caller
// has no result to take the failure, so it goes to standard error.
void report_close_failure(const Error& error) {
  std::fprintf(stderr, "ZipWriter drop failed: %s", error.message().c_str());
  std::fflush(stderr);
}

// Closes an unfinished archive of a discarded writer.
void discard_writer(ArchiveWriter* writer) {
  auto closed = writer->discard();
  if (!closed) report_close_failure(closed.error());
  delete writer;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_tuple({"Writer.__new__()", kPathParams, 1}, args, kwargs, bound)) return nullptr;
    auto path = path_argument("path", bound[0]);
    if (!path) return nullptr;
    auto created = unlocked([&] { return ArchiveWriter::create(*path); });
    if (!created) return raise_error(created.error());
    std::unique_ptr<ArchiveWriter> writer = std::move(*created);

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      PyObject *etype, *evalue, *etraceback;
      PyErr_Fetch(&etype, &evalue, &etraceback);
      discard_writer(writer.release());
      PyErr_Restore(etype, evalue, etraceback);
      return nullptr;
    }
    auto* w = reinterpret_cast<WriterObject*>(self);
    w->writer = writer.release();
    new (&w->borrow) std::atomic<int>(0);
    w->owner_thread = PyThread_get_thread_ident();
    return self;
  });
}

void writer_dealloc(PyObject* self) {
  PyObject *etype, *evalue, *etraceback;
  PyErr_Fetch(&etype, &evalue, &etraceback);
  auto* w = reinterpret_cast<WriterObject*>(self);
  PyObject* fault = guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    if (PyThread_get_thread_ident() != w->owner_thread) {
      // The writer belongs to its thread: it stays open, and is not released.
      PyErr_SetString(PyExc_RuntimeError,
                      (std::string(kTypeName) +
                       " is unsendable, but is being dropped on another thread")
                          .c_str());
      PyErr_WriteUnraisable(nullptr);
    } else if (w->writer != nullptr) {
      discard_writer(std::exchange(w->writer, nullptr));
    }
    Py_INCREF(Py_None);
    return Py_None;
  });
  if (fault == nullptr) {
    PyErr_WriteUnraisable(nullptr);
  } else {
    Py_DECREF(fault);
  }
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
  PyErr_Restore(etype, evalue, etraceback);
}

PyObject* writer_begin(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall({"Writer.begin()", kNameParams, 1}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    Borrow borrow(reinterpret_cast<WriterObject*>(self));
    if (!take_receiver(self, borrow)) return nullptr;
    auto name = text_argument("name", bound[0]);
    if (!name) return nullptr;
    auto done = unlocked([&] { return core(self).begin(*name); });
    if (!done) return raise_error(done.error());
    Py_INCREF(Py_None);
    return Py_None;
  });
}

PyObject* writer_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall({"Writer.rows()", kRowsParams, 1}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    Borrow borrow(reinterpret_cast<WriterObject*>(self));
    if (!take_receiver(self, borrow)) return nullptr;
    auto text = text_argument("rows_json", bound[0]);
    if (!text) return nullptr;
    auto count = unlocked([&] { return core(self).rows(*text); });
    if (!count) return raise_error(count.error());
    PyObject* result = PyLong_FromUnsignedLongLong(*count);
    if (result == nullptr) return raise_api_failure(QUARLEN_WHERE);
    return result;
  });
}

PyObject* writer_end(PyObject* self, PyObject*) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    Borrow borrow(reinterpret_cast<WriterObject*>(self));
    if (!take_receiver(self, borrow)) return nullptr;
    auto record = unlocked([&] { return core(self).end(); });
    if (!record) return raise_error(record.error());
    return str_result(to_compact(*record), QUARLEN_WHERE);
  });
}

PyObject* writer_finish(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_fastcall({"Writer.finish()", kHeaderParams, 1}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    Borrow borrow(reinterpret_cast<WriterObject*>(self));
    if (!take_receiver(self, borrow)) return nullptr;
    auto text = text_argument("header_json", bound[0]);
    if (!text) return nullptr;
    auto manifest = unlocked([&] { return core(self).finish(*text); });
    if (!manifest) {
      if (auto closing = core(self).take_close_failure()) report_close_failure(*closing);
      return raise_error(manifest.error());
    }
    return str_result(to_compact(*manifest), QUARLEN_WHERE);
  });
}

// Encoded rows go to the file in blocks of about this size: each block's
// deflate runs without the interpreter lock.
constexpr size_t kBlockBytes = size_t{1} << 20;

constexpr const char* kWriteRowsParams[] = {"writer", "name", "rows", "first"};

PyMethodDef g_methods[] = {
    {"begin", fast(writer_begin), METH_FASTCALL | METH_KEYWORDS, "begin($self, name)\n--\n\n"},
    {"rows", fast(writer_rows), METH_FASTCALL | METH_KEYWORDS, "rows($self, rows_json)\n--\n\n"},
    {"end", writer_end, METH_NOARGS, "end($self)\n--\n\n"},
    {"finish", fast(writer_finish), METH_FASTCALL | METH_KEYWORDS,
     "finish($self, header_json)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The docstring: the class name, the constructor's signature, "--" and the text.
const std::string& writer_doc() {
  static const std::string doc =
      std::string("Writer") + "(path)" + "\n--\n\n" +
      "Writes a .quarlen file: `begin(name)`, `rows(json)` as often as needed, `end()`, then "
      "`finish(header_json)`.";
  return doc;
}

}  // namespace

PyObject* write_rows_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[4];
    if (!bind_fastcall({"_write_rows()", kWriteRowsParams, 4}, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    PyObject* self = bound[0];
    if (get_writer_type() == nullptr) return nullptr;
    Borrow borrow(reinterpret_cast<WriterObject*>(self));
    if (!take_receiver(self, borrow)) return nullptr;
    auto name = text_argument("name", bound[1]);
    if (!name) return nullptr;
    const unsigned long long first = PyLong_AsUnsignedLongLong(bound[3]);
    if (first == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    PyRef rows(PyObject_GetIter(bound[2]));
    if (!rows) return nullptr;

    ArchiveWriter& writer = core(self);
    const size_t columns = writer.columns();
    std::string block;
    uint64_t in_block = 0;
    uint64_t written = 0;
    auto flush = [&]() -> bool {
      auto appended = unlocked([&] { return writer.append_rows(block, in_block); });
      if (!appended) {
        raise_error(appended.error());
        return false;
      }
      written += in_block;
      block.clear();
      in_block = 0;
      return true;
    };
    while (PyRef row{PyIter_Next(rows.get())}) {
      const uint64_t number = first + written + in_block;
      if (!encode_row(row.get(), columns, *name, number, block)) {
        add_row_subject(*name, number);
        return nullptr;
      }
      ++in_block;
      if (block.size() >= kBlockBytes && (!flush() || PyErr_CheckSignals() < 0)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    if (in_block > 0 && !flush()) return nullptr;
    PyObject* result = PyLong_FromUnsignedLongLong(written);
    if (result == nullptr) return raise_api_failure(QUARLEN_WHERE);
    return result;
  });
}

PyObject* discard_function(PyObject*, PyObject* self) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    if (get_writer_type() == nullptr) return nullptr;
    Borrow borrow(reinterpret_cast<WriterObject*>(self));
    if (!take_receiver(self, borrow)) return nullptr;
    auto closed = unlocked([&] { return core(self).discard(); });
    if (!closed) return str_result(closed.error().message(), QUARLEN_WHERE);
    Py_INCREF(Py_None);
    return Py_None;
  });
}

namespace {

constexpr const char* kWriteJsonLinesParams[] = {"writer", "fd", "progress"};

// Input is read in pieces of this size.
constexpr size_t kReadBytes = size_t{1} << 20;

// Why a round of reading without the interpreter lock ended.
enum class Stop { kProgress, kEnd, kBadLine, kWriteFailed, kReadFailed, kInterrupted };

// Waits until `fd` has input, its end or an error (which read() then tells),
// running the signal handlers every SignalInterrupt::kInterval meanwhile: a
// signal that came just before the wait began is handled, not left waiting
// for input that a pipe may never send. False when a handler raised.
bool wait_for_input(int fd, Unlocked& released) {
  for (;;) {
    pollfd polled{fd, POLLIN, 0};
    const int n = ::poll(&polled, 1, static_cast<int>(SignalInterrupt::kInterval.count()));
    if (n > 0 || (n < 0 && errno != EINTR)) return true;
    if (!released.check_signals()) return false;
  }
}

// The bad line as ValueError: its reason, and the attributes line and row.
PyObject* raise_bad_line(const JsonLineEncoder::Fault& fault) {
  PyRef message(PyUnicode_FromStringAndSize(fault.reason.data(),
                                            static_cast<Py_ssize_t>(fault.reason.size())));
  if (!message) return nullptr;
  PyRef error(PyObject_CallFunctionObjArgs(PyExc_ValueError, message.get(), nullptr));
  if (!error) return nullptr;
  PyRef line(PyLong_FromUnsignedLongLong(fault.line));
  PyRef row(PyLong_FromUnsignedLongLong(fault.row));
  if (!line || !row || PyObject_SetAttrString(error.get(), "line", line.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "row", row.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(PyExc_ValueError, error.get());
  return nullptr;
}

}  // namespace

PyObject* write_json_lines_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_fastcall({"_write_json_lines()", kWriteJsonLinesParams, 3}, args, nargs, kwnames,
                       bound)) {
      return nullptr;
    }
    PyObject* self = bound[0];
    if (get_writer_type() == nullptr) return nullptr;
    Borrow borrow(reinterpret_cast<WriterObject*>(self));
    if (!take_receiver(self, borrow)) return nullptr;
    const long fd_value = PyLong_AsLong(bound[1]);
    if (fd_value == -1 && PyErr_Occurred()) return nullptr;
    if (fd_value < 0 || fd_value > INT_MAX) {
      PyErr_SetString(PyExc_ValueError, "fd must be a file descriptor");
      return nullptr;
    }
    const int fd = static_cast<int>(fd_value);
    PyObject* progress = bound[2] == Py_None ? nullptr : bound[2];
    ArchiveWriter& writer = core(self);
    if (writer.columns() == 0) {
      // No member is open: the writer's own refusal, and nothing is read.
      auto refused = writer.append_rows({}, 0);
      if (!refused) return raise_error(refused.error());
    }

    JsonLineEncoder encoder(writer.columns());
    std::string buffer(kReadBytes, '\0');
    std::string_view rest;
    bool at_end = false;
    uint64_t read_bytes = 0;
    uint64_t next_progress = JsonLineEncoder::kPauseRows;
    for (;;) {
      int read_errno = 0;
      std::optional<Error> write_error;
      const bool handles = handles_signals();
      Stop stop;
      {
        Unlocked released;
        SignalInterrupt interrupt(released, handles);
        auto flush = [&]() -> bool {
          auto appended = writer.append_rows(encoder.block(), encoder.block_rows());
          if (!appended) write_error = std::move(appended).error();
          encoder.clear_block();
          return !write_error;
        };
        stop = [&] {
          for (;;) {
            if (!encoder.feed(&rest)) return Stop::kBadLine;
            if (encoder.block().size() >= kBlockBytes && !flush()) return Stop::kWriteFailed;
            if (encoder.rows() == next_progress) return Stop::kProgress;
            if (at_end) {
              if (!encoder.finish()) return Stop::kBadLine;
              return flush() ? Stop::kEnd : Stop::kWriteFailed;
            }
            if (interrupt.requested()) return Stop::kInterrupted;
            if (handles && !wait_for_input(fd, released)) return Stop::kInterrupted;
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0) {
              if (errno != EINTR) {
                read_errno = errno;
                return Stop::kReadFailed;
              }
              // A signal woke the read: its handler runs now, not after the
              // next piece, which a pipe may never send.
              if (handles && !released.check_signals()) return Stop::kInterrupted;
              continue;
            }
            at_end = n == 0;
            read_bytes += static_cast<uint64_t>(n);
            rest = std::string_view(buffer.data(), static_cast<size_t>(n));
          }
        }();
      }
      switch (stop) {
        case Stop::kProgress: {
          next_progress += JsonLineEncoder::kPauseRows;
          if (progress == nullptr) continue;
          PyRef called(PyObject_CallFunction(progress, "KK",
                                             static_cast<unsigned long long>(encoder.rows()),
                                             static_cast<unsigned long long>(encoder.bytes())));
          if (!called) return nullptr;
          continue;
        }
        case Stop::kEnd:
          return Py_BuildValue("(KK)", static_cast<unsigned long long>(encoder.rows()),
                               static_cast<unsigned long long>(read_bytes));
        case Stop::kBadLine:
          return raise_bad_line(encoder.fault());
        case Stop::kWriteFailed:
          return raise_error(*write_error);
        case Stop::kReadFailed:
          errno = read_errno;
          return PyErr_SetFromErrno(PyExc_OSError);
        case Stop::kInterrupted:
          return nullptr;  // the signal handler's exception is set
      }
    }
  });
}

PyObject* get_writer_type() noexcept {
  if (g_writer_type != nullptr) return g_writer_type;
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(writer_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
      {Py_tp_methods, g_methods},
      {Py_tp_doc, const_cast<char*>(writer_doc().c_str())},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "builtins.Writer",
      static_cast<int>(sizeof(WriterObject)),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  PyObject* created = PyType_FromSpec(&spec);
  if (created == nullptr) return nullptr;
  if (g_writer_type == nullptr) {
    g_writer_type = created;  // kept for the life of the process
  } else {
    Py_DECREF(created);
  }
  return g_writer_type;
}

}  // namespace quarlen::py
