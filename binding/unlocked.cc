#include "unlocked.h"

#include <pthread.h>
#include <pythread.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "py_ref.h"

namespace quarlen::py {
namespace {

// The exit handler's view of the threads taking the lock back. Made once and
// never destroyed: threads may still wait on them while the process ends.
struct ExitWatch {
  std::mutex mutex;
  std::condition_variable settled;
  bool exiting = false;
  unsigned long exiting_thread = 0;  // the thread that runs the exit
  int relocking = 0;                 // threads past the check, before the lock
};

ExitWatch* g_watch = new ExitWatch;

ExitWatch& exit_watch() { return *g_watch; }

unsigned long g_main_thread = 0;

// A child of fork() has only the forking thread: the counts and the mutex
// of the threads it had are the parent's. It starts afresh (the old watch may
// be locked for good, so it is left as it is), and the forking thread is its
// main thread, the one the interpreter runs signal handlers in.
void after_fork_in_child() {
  g_watch = new ExitWatch;
  g_main_thread = PyThread_get_thread_ident();
}

// A thread that must not take the lock back waits here for the process to
// end; it holds nothing that the exit needs.
[[noreturn]] void wait_for_the_end() {
  for (;;) pause();
}

// Runs in the interpreter's exit, before it ends the threads that would take
// the lock: from here on, relock() keeps every other thread out, and the
// threads already on their way in get the lock first.
PyObject* on_exit(PyObject*, PyObject*) {
  ExitWatch& watch = exit_watch();
  const unsigned long self = PyThread_get_thread_ident();
  Py_BEGIN_ALLOW_THREADS
  std::unique_lock<std::mutex> lock(watch.mutex);
  watch.exiting = true;
  watch.exiting_thread = self;
  watch.settled.wait(lock, [&] { return watch.relocking == 0; });
  Py_END_ALLOW_THREADS
  Py_INCREF(Py_None);
  return Py_None;
}

PyMethodDef g_on_exit = {"_on_exit", on_exit, METH_NOARGS, "_on_exit()\n--\n\n"};

}  // namespace

void relock(PyThreadState* state) noexcept {
  ExitWatch& watch = exit_watch();
  bool held_back;
  {
    std::lock_guard<std::mutex> lock(watch.mutex);
    held_back = watch.exiting && PyThread_get_thread_ident() != watch.exiting_thread;
    if (!held_back) ++watch.relocking;
  }
  if (held_back) wait_for_the_end();
  PyEval_RestoreThread(state);
  {
    std::lock_guard<std::mutex> lock(watch.mutex);
    --watch.relocking;
  }
  watch.settled.notify_all();
}

bool watch_exit(PyObject* module) noexcept {
  static const bool forks_watched = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
  if (!forks_watched) {
    PyErr_SetString(PyExc_RuntimeError, "cannot watch fork()");
    return false;
  }
  PyRef handler(PyCMethod_New(&g_on_exit, module, nullptr, nullptr));
  if (!handler) return false;
  PyRef atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef done(PyObject_CallMethod(atexit.get(), "register", "O", handler.get()));
  return static_cast<bool>(done);
}

bool find_main_thread() noexcept {
  PyRef threading(PyImport_ImportModule("threading"));
  if (!threading) return false;
  PyRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return false;
  PyRef ident(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return false;
  const unsigned long found = PyLong_AsUnsignedLong(ident.get());
  if (found == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  g_main_thread = found;
  return true;
}

bool handles_signals() noexcept {
  return g_main_thread != 0 && PyThread_get_thread_ident() == g_main_thread;
}

}  // namespace quarlen::py
