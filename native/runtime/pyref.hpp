// Owned references and error propagation for the C API.
//
// Every C API call that can fail goes through check(): on failure the Python
// error stays set and a PyErrorSet is thrown; the function-object boundary
// (function.cpp) catches it and returns NULL to the interpreter. Ref owns one
// reference, so an early exit by exception never leaks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qx {

// A Python exception is set; unwinds to the boundary of the method call.
struct PyErrorSet {};

[[noreturn]] inline void throw_error() { throw PyErrorSet{}; }

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~Ref() { Py_XDECREF(p_); }
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Takes over a new reference (may be NULL).
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Adds a reference to a borrowed object (may be NULL).
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is_none() const noexcept { return p_ == Py_None; }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// A new reference from the C API, or throw if it failed.
inline Ref check(PyObject* o) {
  if (!o) throw_error();
  return Ref::steal(o);
}
// A status code from the C API (negative means an error is set).
inline int check(int rc) {
  if (rc < 0) throw_error();
  return rc;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
  if (n < 0 && PyErr_Occurred()) throw_error();
  return n;
}

// Uniform access to a raw pointer for helpers that take either kind.
inline PyObject* raw(PyObject* o) noexcept { return o; }
inline PyObject* raw(const Ref& r) noexcept { return r.get(); }

// Saves the pending Python error (if any) and restores it on destruction,
// so cleanup code that calls into Python cannot clobber it.
class ErrorGuard {
 public:
  ErrorGuard() noexcept { PyErr_Fetch(&t_, &v_, &tb_); }
  ~ErrorGuard() { PyErr_Restore(t_, v_, tb_); }
  ErrorGuard(const ErrorGuard&) = delete;
  ErrorGuard& operator=(const ErrorGuard&) = delete;

 private:
  PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
};

}  // namespace qx
