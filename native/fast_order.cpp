// Work on the timestamp column that cannot change the outcome, skipped.
//
// A column of exact str values has no missing value, so the library's scan
// for them can be left out. A time column whose values strictly increase is
// already sorted: the library's sort (an argsort over every row, which cannot
// be interrupted) would find the identity order and return a copy of the
// table; that copy is made directly.
#include "fastpath.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace qx::fast {
namespace {

// df[time_col] into `column` when df is exactly a DataFrame whose column
// labels are unique and include time_col, and the column is exactly a Series;
// the reason to decline otherwise.
std::optional<Reason> unique_column(PyObject* df, PyObject* time_col, Ref& column) {
  Ref frame_type = import_attr("pandas", "DataFrame");
  if (reinterpret_cast<PyObject*>(Py_TYPE(df)) != frame_type.get()) return Reason::kind;
  Ref columns = attr(df, "columns");
  if (!truthy(attr(columns, "is_unique")) || !contains(columns, time_col)) return Reason::kind;
  column = item(df, time_col);
  if (!is_exact_series(column.get())) return Reason::kind;
  return std::nullopt;
}

// True when the present values strictly increase: v[i] < v[i + 1] for all i,
// none of them NaT or NaN.
template <class T>
bool strictly_increasing(const View& v, bool nat_missing) {
  const Py_ssize_t n = v.size();
  T prev = v.at<T>(0);
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(prev)) return false;
  } else {
    if (nat_missing && prev == INT64_MIN) return false;
  }
  for (Py_ssize_t i = 1; i < n; ++i) {
    poll_signals(i);
    const T cur = v.at<T>(i);
    if (!(prev < cur)) return false;  // NaN fails here as well
    prev = cur;
  }
  return true;
}

}  // namespace

std::optional<bool> without_missing(PyObject* df, PyObject* time_col) {
  return run<bool>(Route::plain_texts, [&]() -> Answer<bool> {
    Ref column;
    if (auto why = unique_column(df, time_col, column)) return *why;
    Ref values;
    View in;
    if (auto why = open_object_values(column.get(), values, in)) return *why;
    for (Py_ssize_t i = 0; i < in.size(); ++i) {
      poll_signals(i);
      if (!PyUnicode_CheckExact(in.at<PyObject*>(i))) return Reason::value;
    }
    return true;
  });
}

std::optional<Ref> sorted_copy(PyObject* df, PyObject* time_col) {
  return run<Ref>(Route::sorted_table, [&]() -> Answer<Ref> {
    // What df.sort_values(by=time_col) does on sorted data is this pandas
    // generation's own: an identity order gives self.copy(deep=not CoW).
    Ref version = attr(import_module("pandas"), "__version__");
    if (!PyUnicode_Check(version.get()) || PyUnicode_GET_LENGTH(version.get()) < 2 ||
        PyUnicode_READ_CHAR(version.get(), 0) != '2' || PyUnicode_READ_CHAR(version.get(), 1) != '.') {
      return Reason::settings;
    }
    Ref column;
    if (auto why = unique_column(df, time_col, column)) return *why;
    // A label that also names an index level makes the sort refuse it.
    if (contains(attr(attr(df, "index"), "names"), time_col)) return Reason::kind;
    Ref bound = attr(df, "sort_values");
    Ref stock = import_attr("pandas", "DataFrame");
    if (!PyMethod_Check(bound.get()) || PyMethod_GET_SELF(bound.get()) != df ||
        PyMethod_GET_FUNCTION(bound.get()) != attr(stock, "sort_values").get()) {
      return Reason::settings;
    }

    Ref dtype = attr(column, "dtype");
    Ref kind = attr(dtype, "kind");
    const bool plain = is_instance(dtype.get(), import_attr("numpy", "dtype").get());
    Ref values;
    bool datetime = false, real = false;
    if (eq(kind, text("M"))) {
      if (!plain && !is_instance(dtype.get(), import_attr("pandas", "DatetimeTZDtype").get())) return Reason::kind;
      values = call_method(attr(column, "array"), "view", text("i8"));
      datetime = true;
    } else if (plain && (eq(kind, text("i")) || eq(kind, text("f")))) {
      values = attr(column, "values");
      real = eq(kind, text("f"));
    } else {
      return Reason::kind;
    }
    View v;
    if (!v.open(values.get()) || v.itemsize() != 8 || std::strlen(v.format()) != 1) return Reason::kind;
    if (v.size() < 2) return Reason::value;
    const char fmt = v.format()[0];
    if (real ? fmt != 'd' : fmt != 'l' && fmt != 'q') return Reason::kind;
    const bool increasing = real ? strictly_increasing<double>(v, false) : strictly_increasing<int64_t>(v, datetime);
    if (!increasing) return Reason::value;

    Ref cow = call(import_attr("pandas._config", "using_copy_on_write"));
    return call_kw(attr(df, "copy").get(), {}, {{"deep", truthy(cow) ? Py_False : Py_True}});
  });
}

}  // namespace qx::fast
