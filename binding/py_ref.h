// One strong reference to a Python object, released when it goes out of scope.
#ifndef QUARLEN_BINDING_PY_REF_H_
#define QUARLEN_BINDING_PY_REF_H_

#include <Python.h>

#include <utility>

namespace quarlen::py {

class PyRef {  // one strong reference; move-only
 public:
  explicit PyRef(PyObject* o = nullptr) noexcept : o_(o) {}
  PyRef(PyRef&& other) noexcept : o_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const noexcept { return o_; }
  PyObject* release() noexcept { return std::exchange(o_, nullptr); }
  void reset(PyObject* o = nullptr) noexcept { Py_XDECREF(std::exchange(o_, o)); }
  explicit operator bool() const noexcept { return o_ != nullptr; }

 private:
  PyObject* o_;
};

}  // namespace quarlen::py

#endif  // QUARLEN_BINDING_PY_REF_H_
