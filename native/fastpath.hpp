// Fast routes for the per-row work: numeric text conversion, ISO timestamp
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

#include <optional>

namespace qx::fast {

// False when QUARNEX_DATA_HELPER_NO_FASTPATH is set to anything but "" or "0".
bool enabled();

// The float64 ndarray that column.map(str(v).strip('"')).map(float, "" -> NaN)
// would hold, for an exact pandas Series of object dtype whose elements are
// exact str, float or int and all convert; an empty Ref otherwise.
Ref numeric_column(PyObject* column);

// For an exact pandas Series of object dtype holding only exact str values
// in the naive ISO shapes (date, or date and time; see fast_iso.cpp) within
// the datetime64[ns] range: the datetime64[ns] ndarray of the column that
// column.map(lambda ts: parse(str(ts).strip('"'), fuzzy=False)) gives.
// Only when `parse` is dateutil's own parse with its default parser.
// An empty Ref otherwise.
Ref iso_datetime_column(PyObject* column, PyObject* parse);

// A callable equal to lambda ts: parse(str(ts).strip('"'), fuzzy=False) that
// builds the datetime itself for the ISO shapes and calls `parse` for every
// other text. An empty Ref when `parse` is not dateutil's own parse.
Ref general_converter(PyObject* parse);

// statistics.mean and statistics.stdev of the time steps of `column` (as
// validate_time_interval computes them) for an exact pandas Series of a
// numpy integer, float or datetime64 dtype with at least three rows and
// finite steps. False (nothing computed) otherwise.
bool interval_statistics(const Frame& f, PyObject* column, Ref& mean, Ref& stdev);

// Whether the column df[time_col] holds some present (not missing) value more
// than once, as DataFrame.duplicated(subset=[time_col]) with the missing values
// set aside finds it; no value when the column is not one the check covers
// (see fast_repeated.cpp).
std::optional<bool> repeated_values(PyObject* df, PyObject* time_col);

// True when df[time_col] certainly holds no missing value (an exact
// DataFrame's column of exact str values); false when that is not known.
bool without_missing(PyObject* df, PyObject* time_col);

// df.sort_values(by=time_col) for an exact DataFrame whose time column (a
// datetime64, int64 or float64 column) strictly increases: the copy the sort
// returns for rows already in order. An empty Ref otherwise.
Ref sorted_copy(PyObject* df, PyObject* time_col);

// ---- shared by the fast routes -------------------------------------------------

// A signal handler raised while a loop let pending signals through; never
// taken for "not handled", whatever the handler raised.
struct SignalRaised : PyErrorSet {};

// Rows between two checks for pending signals in the loops over rows: at well
// under a microsecond a row, Ctrl-C is honoured within a few milliseconds.
inline constexpr Py_ssize_t kSignalInterval = 1 << 14;

// Lets a pending signal (Ctrl-C) through every kSignalInterval rows.
inline void poll_signals(Py_ssize_t row) {
  if ((row & (kSignalInterval - 1)) == 0 && PyErr_CheckSignals() < 0) throw SignalRaised{};
}

// Runs `body`; when it fails with an error of the Exception family the error
// is cleared and the result is "not handled" (empty). Other errors
// (KeyboardInterrupt, SystemExit, ...), MemoryError and whatever a signal
// handler raised keep propagating.
template <class Body>
Ref or_fallback(Body&& body) {
  try {
    return body();
  } catch (const SignalRaised&) {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
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

}  // namespace qx::fast
