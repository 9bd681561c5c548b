#include "row_reader.h"

#include <atomic>
#include <memory>
#include <new>
#include <pthread.h>
#include <string>
#include <utility>

#include "collector.h"
#include "convert.h"
#include "objects.h"
#include "py_ref.h"
#include "quarlen/read_ahead.h"
#include "quarlen/reader.h"
#include "unlocked.h"

namespace quarlen::py {
namespace {

// Counts the forks of the process: a child has none of the threads of its
// parent, so a reader opened before the fork has no thread behind it there.
std::atomic<unsigned> g_forks{0};

unsigned forks_so_far() {
  static const int registered = pthread_atfork(nullptr, nullptr, [] { ++g_forks; });
  (void)registered;  // only fails for lack of memory: forks then go uncounted
  return g_forks.load();
}

// The next batch into *batch, waiting without the interpreter lock, where
// Ctrl-C can stop it: *raised then tells that a signal handler's exception is
// set. The reading thread never takes the interpreter lock.
Result<bool> next_unlocked(ReadAhead& rows, std::string* batch, bool* raised) {
  return interruptible(raised, [&](Interrupt* i) { return rows.next(batch, i); });
}

struct RowReaderObject {
  PyObject_HEAD
  ReadAhead* rows;            // owned; null once the member ended, failed or was closed
  unsigned forks;             // forks_so_far() when the rows were opened
  RowDecoder* decoder;        // owned
  std::atomic<bool> busy;     // a batch is being read
  bool ended;                 // the member ended and every check passed
};

// Ends the reader's rows. In a child forked since they were opened, their
// thread, lock and condition exist only as copies: they are left alone.
bool orphaned(const RowReaderObject* r) { return r->forks != g_forks.load(); }

void drop_rows(RowReaderObject* r) {
  ReadAhead* rows = std::exchange(r->rows, nullptr);
  if (rows != nullptr && !orphaned(r)) delete rows;
}

PyObject* g_row_reader_type = nullptr;

// Reads the next batch into `list`; false with an exception set on failure.
// Sets *more to whether rows may follow.
bool read_batch(ReadAhead& rows, RowDecoder& decoder, std::string& batch, PyObject* list,
                bool* more) {
  bool raised = false;
  auto next = next_unlocked(rows, &batch, &raised);
  if (raised) return false;
  if (!next) {
    raise_error(next.error());
    return false;
  }
  *more = *next;
  return !*more || decoder.append_rows(batch, list);
}

// Binds (path, name) and opens the member; null with an exception set.
std::unique_ptr<MemberReader> bind_and_open(const char* full_name, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  if (!bind_fastcall({full_name, kReadParams, 2}, args, nargs, kwnames, bound)) return nullptr;
  auto path = path_argument("path", bound[0]);
  if (!path) return nullptr;
  auto name = text_argument("name", bound[1]);
  if (!name) return nullptr;
  auto opened = unlocked([&] { return MemberReader::open(*path, *name); });
  if (!opened) {
    raise_error(opened.error());
    return nullptr;
  }
  return std::move(*opened);
}

void row_reader_dealloc(PyObject* self) {
  auto* r = reinterpret_cast<RowReaderObject*>(self);
  drop_rows(r);
  delete r->decoder;
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// Holds the busy flag of one call; a call that finds it taken (another
// thread is inside a call of the same reader) fails with RuntimeError.
class Busy {
 public:
  explicit Busy(RowReaderObject* r) : r_(r), held_(!r->busy.exchange(true)) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~Busy() {
    if (held_) r_->busy.store(false);
  }
  bool held() const { return held_; }

 private:
  RowReaderObject* r_;
  bool held_;
};

PyObject* row_reader_next_batch(PyObject* self, PyObject*) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    auto* r = reinterpret_cast<RowReaderObject*>(self);
    Busy busy(r);
    if (!busy.held()) return nullptr;
    if (r->rows == nullptr) {
      if (r->ended) {
        Py_INCREF(Py_None);
        return Py_None;
      }
      PyErr_SetString(PyExc_ValueError, "the reader is closed");
      return nullptr;
    }
    if (orphaned(r)) {
      drop_rows(r);
      PyErr_SetString(PyExc_RuntimeError, "the reader was opened before the process forked");
      return nullptr;
    }
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    std::string batch;
    bool more = false;
    const bool ok = read_batch(*r->rows, *r->decoder, batch, list.get(), &more);
    if (!ok || !more) drop_rows(r);
    if (!ok) return nullptr;
    if (!more) {
      r->ended = true;
      Py_INCREF(Py_None);
      return Py_None;
    }
    return list.release();
  });
}

PyObject* row_reader_close(PyObject* self, PyObject*) {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    auto* r = reinterpret_cast<RowReaderObject*>(self);
    Busy busy(r);
    if (!busy.held()) return nullptr;
    drop_rows(r);
    Py_INCREF(Py_None);
    return Py_None;
  });
}

PyMethodDef g_methods[] = {
    {"next_batch", row_reader_next_batch, METH_NOARGS,
     "next_batch($self)\n--\n\nThe next rows as a list, or None once the member ended and "
     "every check passed."},
    {"close", row_reader_close, METH_NOARGS, "close($self)\n--\n\nCloses the file now."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* row_reader_type() noexcept {
  if (g_row_reader_type != nullptr) return g_row_reader_type;
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(row_reader_dealloc)},
      {Py_tp_methods, g_methods},
      {0, nullptr},
  };
  PyType_Spec spec = {"quarlen._native.RowReader", static_cast<int>(sizeof(RowReaderObject)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  g_row_reader_type = PyType_FromSpec(&spec);  // kept for the life of the process
  return g_row_reader_type;
}

}  // namespace

PyObject* load_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    std::unique_ptr<MemberReader> reader = bind_and_open("_load()", args, nargs, kwnames);
    if (reader == nullptr) return nullptr;
    CollectorPaused paused;
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    ReadAhead rows(std::move(reader));
    RowDecoder decoder;
    std::string batch;
    for (bool more = true; more;) {
      if (!read_batch(rows, decoder, batch, list.get(), &more)) return nullptr;
      // Ctrl-C need not wait for the whole member.
      if (PyErr_CheckSignals() < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* open_rows_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return guarded(QUARLEN_WHERE, [&]() -> PyObject* {
    PyObject* type = row_reader_type();
    if (type == nullptr) return nullptr;
    std::unique_ptr<MemberReader> reader = bind_and_open("_open_rows()", args, nargs, kwnames);
    if (reader == nullptr) return nullptr;
    const unsigned forks = forks_so_far();
    auto rows = std::make_unique<ReadAhead>(std::move(reader));
    auto decoder = std::make_unique<RowDecoder>();
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    PyObject* self = (alloc != nullptr ? alloc : PyType_GenericAlloc)(tp, 0);
    if (self == nullptr) return nullptr;
    auto* r = reinterpret_cast<RowReaderObject*>(self);
    r->rows = rows.release();
    r->forks = forks;
    r->decoder = decoder.release();
    r->ended = false;
    new (&r->busy) std::atomic<bool>(false);
    return self;
  });
}

}  // namespace quarlen::py
