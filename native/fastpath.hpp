// Fast routes for the per-row work: numeric text conversion, timestamp
// parsing and the time-step statistics.
//
// Each route covers the common inputs only. For anything else it answers
// "not handled" (an empty Ref, or false) with no Python error pending and
// nothing changed, and the caller takes the straightforward route, which
// then produces the exact values, warnings and errors. A handled input gives
// exactly what the straightforward route gives.
//
// Setting QUARNEX_DATA_HELPER_NO_FASTPATH=1 in the environment turns every
// fast route off (read at each call), so tests and benchmarks can compare.
#pragma once

#include "namespace.hpp"

namespace qx::fast {

// False when QUARNEX_DATA_HELPER_NO_FASTPATH is set to anything but "" or "0".
bool enabled();

// The float64 ndarray that column.map(str(v).strip('"')).map(float, "" -> NaN)
// would hold, for an exact pandas Series of object dtype whose elements are
// exact str, float or int and all convert; an empty Ref otherwise.
Ref numeric_column(PyObject* column);

// For an exact pandas Series of object dtype holding only exact str values
// in the shapes read natively (see fast_dates.cpp): the Series that
// column.map(general converter) gives, built without per-value objects where
// the result is a datetime64[ns] column (naive, or one zone throughout), with
// the datetime objects themselves where it stays object (zones mixed). Only
// when `parse` is dateutil's own parse, its default parser and parserinfo are
// stock in every setting that can change a result (options, tables, methods)
// and `default_` is a plain midnight datetime; `dayfirst`: the column's
// a/b/YYYY dates are read day-first. An empty Ref otherwise.
Ref date_column(PyObject* column, PyObject* parse, PyObject* default_, bool dayfirst);

// A callable that gives what `fallback` (the straightforward converter) gives:
// it builds the datetime itself for exact str values in the shapes read
// natively and calls `fallback` for every other value. Under the same
// conditions as date_column; an empty Ref otherwise.
Ref general_converter(PyObject* parse, PyObject* default_, bool dayfirst, PyObject* fallback);

// statistics.mean and statistics.stdev of the time steps of `column` (as
// validate_time_interval computes them) for an exact pandas Series of a
// numpy integer, float or datetime64 dtype with at least three rows and
// finite steps. False (nothing computed) otherwise.
bool interval_statistics(const Frame& f, PyObject* column, Ref& mean, Ref& stdev);

// ---- shared by the fast routes -------------------------------------------------

// Runs `body`; when it fails with an error of the Exception family the error
// is cleared and the result is "not handled" (empty). Other errors
// (KeyboardInterrupt, SystemExit, ...) keep propagating.
template <class Body>
Ref or_fallback(Body&& body) {
  try {
    return body();
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return Ref();
  }
}

// True when `o` is exactly pandas.Series (no subclass).
bool is_exact_series(PyObject* o);

// A read-only view of a one-dimensional buffer (a numpy array).
class View {
 public:
  View() = default;
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View() {
    if (held_) PyBuffer_Release(&buf_);
  }
  // False (error cleared) when `o` exports no suitable buffer.
  bool open(PyObject* o, bool writable = false);
  Py_ssize_t size() const { return buf_.shape[0]; }
  const char* format() const { return buf_.format ? buf_.format : "B"; }
  Py_ssize_t itemsize() const { return buf_.itemsize; }
  template <class T>
  T at(Py_ssize_t i) const {
    T v;
    __builtin_memcpy(&v, static_cast<const char*>(buf_.buf) + i * buf_.strides[0], sizeof(T));
    return v;
  }
  template <class T>
  T* data() const { return static_cast<T*>(buf_.buf); }
  bool contiguous() const { return buf_.strides[0] == buf_.itemsize; }

 private:
  Py_buffer buf_{};
  bool held_ = false;
};

// numpy.empty(n, dtype=dtype)
Ref new_array(Py_ssize_t n, const char* dtype);

// Opens `in` on the values of `column` when it is an exact Series holding a
// non-empty one-dimensional object array (`values` keeps the array alive);
// false otherwise.
bool open_object_values(PyObject* column, Ref& values, View& in);

// The Series that column.map(...) returns when the mapped values come out as
// `values`: Series(values, index=column.index, copy=False), finalised from
// `column` (name, attrs, flags) as map finalises it.
Ref mapped_series(PyObject* column, PyObject* values);

// The same for mapped values that stay objects: Series(values, index=...,
// dtype=object, copy=False), finalised the same way; for values whose
// inference would leave them as they are.
Ref object_series(PyObject* column, PyObject* values);

}  // namespace qx::fast
