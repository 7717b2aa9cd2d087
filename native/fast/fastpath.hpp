// Fast routes for the per-row work: numeric text conversion, timestamp
// parsing, the time-step statistics, the repeated-timestamp check and work on
// the time column that cannot change the outcome (a missing-value scan of
// plain texts, the sort of a table already in order, the copy of a column
// this module built when it is set).
//
// Each route covers the common inputs only. For anything else it declines:
// it returns std::nullopt with no Python error pending and nothing changed,
// and the caller takes the straightforward route, which then produces the
// exact values, warnings and errors. A handled input gives exactly what the
// straightforward route gives.
//
// "Declined" is a return value, never an exception. A route's core returns
// an Answer (a value, or a decline with its reason); a Python error raised
// inside the core is unexpected and is handled at one boundary (run_core):
// by default it is counted as a decline for the reason "error" and the
// straightforward route runs; in the strict setting it reaches the caller.
// Every hit and every decline is counted, by route and reason, and the
// counts are readable from Python as data_helper._fastpath_stats().
//
// Environment (read when needed, so tests and benchmarks can switch):
//   QUARNEX_DATA_HELPER_NO_FASTPATH=1      every fast route declines ("off")
//   QUARNEX_DATA_HELPER_FASTPATH_STRICT=1  an error inside a route is raised
#pragma once

#include "runtime/pyops.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

namespace qx::fast {

class ArrowTexts;

// The routes, each with the name _fastpath_stats() gives it.
// clang-format off
#define QX_ROUTES(X)                                                                                 \
  X(numeric_text)         /* numeric_column: a whole object column of number texts */                \
  X(iso_column)           /* date_column: a whole object column of timestamp texts */                \
  X(fixed_first)          /* fixed_time_column: a time column of fixed-place texts, read before anything else */ \
  X(iso_converter)        /* general_converter: a converter that builds timestamp texts itself */    \
  X(iso_text)             /* one text that converter builds without dateutil */                      \
  X(interval_statistics)  /* interval_statistics: the time steps of a numeric or datetime column */  \
  X(decimal_text)         /* one plain decimal text read by std::from_chars (inside numeric_text) */ \
  X(repeated_values)      /* repeated_values: repeated present values of the time column */          \
  X(plain_texts)          /* without_missing: a time column of exact str values has no missing value */ \
  X(sorted_table)         /* sorted_copy: a table whose time column already strictly increases */    \
  X(fresh_column)         /* set_fresh_column: a column this module built, set without another copy */ \
  X(series_pass)          /* series_segments: the pass over a long table of many series */          \
  X(series_segment)       /* one series of that pass found plain (inside series_pass) */
// clang-format on

enum class Route : unsigned char {
#define QX_ROUTE_ENUM(name) name,
  QX_ROUTES(QX_ROUTE_ENUM)
#undef QX_ROUTE_ENUM
};
inline constexpr int kRoutes = 0
#define QX_ROUTE_COUNT(name) +1
    QX_ROUTES(QX_ROUTE_COUNT)
#undef QX_ROUTE_COUNT
    ;

enum class Reason : unsigned char {
  off,       // the routes are switched off in the environment
  kind,      // the container or dtype is not one the route covers
  value,     // a value is not one the route covers
  settings,  // a setting the route depends on is not the stock one
  error,     // an unexpected Python error inside the route (not strict)
};
inline constexpr int kReasons = 5;

// What a route's core gives: the value, or the reason it declines.
template <class T>
class Answer {
 public:
  Answer(T value) : value_(std::move(value)) {}  // NOLINT: a hit converts implicitly
  Answer(Reason why) : why_(why) {}              // NOLINT: so does a decline
  bool hit() const noexcept { return value_.has_value(); }
  Reason why() const noexcept { return why_; }
  T take() { return std::move(*value_); }

 private:
  std::optional<T> value_;
  Reason why_ = Reason::error;
};

// False when QUARNEX_DATA_HELPER_NO_FASTPATH is set to anything but "" or "0".
bool enabled();
// True when QUARNEX_DATA_HELPER_FASTPATH_STRICT is set to anything but "" or "0".
bool strict();

void count_hit(Route route) noexcept;
void count_decline(Route route, Reason why) noexcept;

// Counts of a route taken per element inside a loop (a pure C++ core, which
// cannot raise): kept here and added to the route's counters when the loop
// is left, however it is left.
class Tally {
 public:
  explicit Tally(Route route) noexcept : route_(route) {}
  Tally(const Tally&) = delete;
  Tally& operator=(const Tally&) = delete;
  ~Tally();
  void hit() noexcept { ++hits_; }
  void decline(Reason why) noexcept { ++declines_[static_cast<int>(why)]; }

 private:
  Route route_;
  uint64_t hits_ = 0;
  uint64_t declines_[kReasons] = {};
};

// The counts as {route name: {"hit": n, reason name: n, ...}}.
Ref stats();

// A signal handler raised while a loop let pending signals through; never
// taken for a decline, whatever the handler raised.
struct SignalRaised : PyErrorSet {};

// Rows between two checks for pending signals in the loops over rows: at well
// under a microsecond a row, Ctrl-C is honoured within a few milliseconds.
inline constexpr Py_ssize_t kSignalInterval = 1 << 14;

// Lets a pending signal (Ctrl-C) through every kSignalInterval rows.
inline void poll_signals(Py_ssize_t row) {
  if ((row & (kSignalInterval - 1)) == 0 && PyErr_CheckSignals() < 0) throw SignalRaised{};
}

// Runs the core of `route` (a callable returning Answer<T>) and counts the
// outcome. A Python error inside the core is a decline for the reason
// "error" unless it must reach the caller: it is not of the Exception family
// (KeyboardInterrupt, SystemExit, ...), it is a MemoryError, a signal handler
// raised it (SignalRaised), or the strict setting is on. Only then does this
// throw PyErrorSet.
template <class T, class Core>
std::optional<T> run_core(Route route, Core&& core) {
  std::optional<Answer<T>> answer;
  try {
    answer.emplace(core());
  } catch (const SignalRaised&) {
    count_decline(route, Reason::error);
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) || strict()) {
      count_decline(route, Reason::error);
      throw;
    }
    PyErr_Clear();
    count_decline(route, Reason::error);
    return std::nullopt;
  }
  if (!answer->hit()) {
    count_decline(route, answer->why());
    return std::nullopt;
  }
  count_hit(route);
  return answer->take();
}

// run_core for a whole-column route, which first declines when switched off.
template <class T, class Core>
std::optional<T> run(Route route, Core&& core) {
  if (!enabled()) {
    count_decline(route, Reason::off);
    return std::nullopt;
  }
  return run_core<T>(route, std::forward<Core>(core));
}

// ---- the routes -------------------------------------------------------------------

// What column.map(str(v).strip('"')).map(float, "" -> NaN) gives (the new
// float64 Series), for an exact pandas Series of object dtype (or a string
// column, see open_object_values) whose elements are exact str, float or int
// and all convert; a string column in Arrow storage is read from its buffers
// (fast/arrow.hpp).
std::optional<Ref> numeric_column(PyObject* column);

// For an exact pandas Series of object dtype (or a string column) holding
// only exact str values in the shapes read natively (see fast/dates.cpp): the
// Series that column.map(general converter) gives, built without per-value
// objects where the result is a datetime64 column (naive, in the unit pandas
// gives datetime objects: ns before pandas 3, us from it; or one zone
// throughout, ns), and from the datetime objects themselves where it stays
// object (offsets mixed, ns pandas only; naive times beside zoned ones are
// declined). Only when `parse` is dateutil's own parse, its default parser and
// parserinfo are stock in every setting that can change a result (options,
// tables, methods) and `default_` is a plain midnight datetime; `dayfirst`:
// the column's a/b/YYYY dates are read day-first.
// `texts`, when given, holds the column's texts read from its Arrow buffers.
std::optional<Ref> date_column(PyObject* column, PyObject* parse, PyObject* default_, bool dayfirst,
                               const ArrowTexts* texts = nullptr);

// The same column for df[time_col] when every value is a present text read at
// its fixed places in a shape that holds no a/b/year date (ISO, YYYY, YYYY-MM,
// DD Mon YYYY), under the same conditions: such a column has no missing value
// and its day/month order is never asked for. Declines at the first other value.
// `parsers(parse, default_)` gives the two objects date_column is given, once
// the column is found to be of texts (false: declined).
// `increasing`, when given, is set to whether the instants strictly increase
// (a column of one zone).
std::optional<Ref> fixed_time_column(PyObject* df, PyObject* time_col,
                                     const std::function<bool(Ref& parse, Ref& default_)>& parsers,
                                     bool* increasing = nullptr);

// A callable that gives what `fallback` (the straightforward converter) gives:
// it builds the datetime itself for exact str values in the shapes read
// natively (route iso_text, counted per text) and calls `fallback` for every
// other value. Under the same conditions as date_column.
std::optional<Ref> general_converter(PyObject* parse, PyObject* default_, bool dayfirst, PyObject* fallback);

struct IntervalStats {
  Ref mean;
  Ref stdev;
};

// statistics.mean and statistics.stdev of the time steps of `column` (as
// validate_time_interval computes them) for an exact pandas Series of a
// numpy integer, float or datetime64 dtype with at least three rows and
// finite steps.
std::optional<IntervalStats> interval_statistics(const Frame& f, PyObject* column);

// Whether the column df[time_col] holds some present (not missing) value more
// than once, as DataFrame.duplicated(subset=[time_col]) with the missing values
// set aside finds it, for an exact DataFrame with unique column labels whose
// time column is an object column of exact str, None and NaN, a string
// column in Arrow storage, or an int64,
// float64 or datetime64 column (see fast/repeated.cpp).
std::optional<bool> repeated_values(PyObject* df, PyObject* time_col);

// A hit (true) when df[time_col] certainly holds no missing value: an exact
// DataFrame's column of exact str values.
std::optional<bool> without_missing(PyObject* df, PyObject* time_col);

// df[time_col] into `column` when df is exactly a DataFrame whose column
// labels are unique and include time_col, and the column is exactly a Series;
// the reason to decline otherwise.
std::optional<Reason> unique_column(PyObject* df, PyObject* time_col, Ref& column);

// df.sort_values(by=time_col) for an exact DataFrame whose time column (a
// datetime64, int64 or float64 column) strictly increases: the copy the sort
// returns for rows already in order.
std::optional<Ref> sorted_copy(PyObject* df, PyObject* time_col);

// df[key] = column, done (a hit) without the copy of the column's values that
// pandas 2 makes when copy-on-write is off, for a Series `column` that a fast
// route has just built and that nothing else holds: the copy could only
// protect a holder of those values, and there is none. An exact DataFrame
// with unique plain column labels, `key` an exact str or int among them,
// `column` indexed by the table's own index.
std::optional<bool> set_fresh_column(PyObject* df, PyObject* key, const Ref& column);

// df[key] = column for a Series a fast route has just built, held by
// `column` alone.
inline void set_built_column(PyObject* df, PyObject* key, const Ref& column) {
  if (!set_fresh_column(df, key, column).value_or(false)) set_item(df, key, column.get());
}

// Many series of one long table in one pass (see fast/segments.cpp). `times`:
// the table's time column (a Series of texts, object or string) or its
// instants as an int64 array (datetime64 nanoseconds, NaT the least int64);
// `order`: int64 row positions, series after series; `bounds`: int64, where
// each series starts in `order`, then its length; `numbers`: a tuple of the
// float64 arrays of the numeric role columns. Gives (instants int64 per
// position of `order`, plain bool per series, step int64 nanoseconds per
// series); a series that is not plain is counted as declined, and its
// instants after its first fault are left unset.
std::optional<Ref> series_segments(PyObject* times, PyObject* order, PyObject* bounds, PyObject* numbers, int workers);

// ---- shared by the fast routes -------------------------------------------------

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
  T* data() const {
    return static_cast<T*>(buf_.buf);
  }
  bool contiguous() const { return buf_.strides[0] == buf_.itemsize; }
  Py_ssize_t stride() const { return buf_.strides[0]; }

 private:
  Py_buffer buf_{};
  bool held_ = false;
};

// Asks for the object some places on in a column of objects before it is read: the
// objects lie apart from the column's array of pointers, and a pass over millions of
// them otherwise waits on memory at each one (two cache lines: a short str object
// with its characters).
constexpr Py_ssize_t kPrefetchAhead = 16;
inline void prefetch_object(PyObject* v) {
  const char* p = reinterpret_cast<const char*>(v);
  __builtin_prefetch(p);
  __builtin_prefetch(p + 63);
}
inline void prefetch_object(const View& in, Py_ssize_t i) {
  if (i + kPrefetchAhead < in.size()) prefetch_object(in.at<PyObject*>(i + kPrefetchAhead));
}

// numpy.empty(n, dtype=dtype) into `array`, opened for writing in `dst`: its
// data as T, or nullptr when it is not a contiguous buffer of T.
template <class T>
T* new_output(Py_ssize_t n, const char* dtype, Ref& array, View& dst);

// Opens `in` on the values of `column` when it is an exact Series holding a
// non-empty one-dimensional object array, or a pandas string column (then on
// its values as objects); `values` keeps the array alive. The reason to
// decline otherwise.
std::optional<Reason> open_object_values(PyObject* column, Ref& values, View& in);

// One pass of a per-element route: the object values of a column in, a new
// numpy array of T (as `dtype`) of the same length out.
template <class T>
struct ColumnPass {
  Ref values;
  View in;
  Ref out;
  View dst;
  T* y = nullptr;

  // The reason to decline, or nothing when both ends are open.
  std::optional<Reason> open(PyObject* column, const char* dtype) {
    if (auto why = open_object_values(column, values, in)) return why;
    y = new_output<T>(in.size(), dtype, out, dst);
    if (!y) return Reason::kind;
    return std::nullopt;
  }
  Py_ssize_t size() const { return in.size(); }
  PyObject* value(Py_ssize_t i) const { return in.at<PyObject*>(i); }
};

// The Series that column.map(...) returns when the mapped values come out as
// `values`: Series(values, index=column.index, copy=False), finalised from
// `column` (name, attrs, flags) as map finalises it.
Ref mapped_series(PyObject* column, PyObject* values);

// The same for mapped values that stay objects: Series(values, index=...,
// dtype=object, copy=False), finalised the same way; for values whose
// inference would leave them as they are.
Ref object_series(PyObject* column, PyObject* values);

}  // namespace qx::fast
