// Work on the table that cannot change the outcome, skipped.
//
// A column of exact str values has no missing value, so the library's scan
// for them can be left out. A time column whose values strictly increase is
// already sorted: the library's sort (an argsort over every row, which cannot
// be interrupted) would find the identity order and return a copy of the
// table; that copy is made directly, block by block. The library's own copy
// would also merge the blocks of one dtype into a new array, twice the size
// of the data again; the sort of an unsorted table leaves them apart, and so
// does this copy.
//
// Under pandas 2 without copy-on-write, df[key] = column copies the column's
// values, in case someone else holds them. For a column a fast route has just
// built nobody does, and the values are set as they are.
#include "fast/fastpath.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace qx::fast {
namespace {

// Whether pandas is of generation 2, whose internals the routes here rely on.
bool pandas_2() { return pandas_major() == 2; }

// Whether DataFrame.<name> is pandas' own function (not replaced by a caller).
bool stock_frame_method(PyObject* frame_type, const char* name) {
  Ref fn = attr(frame_type, name);
  if (!PyFunction_Check(fn.get())) return false;
  Ref qualname = check(PyUnicode_FromFormat("DataFrame.%s", name));
  return eq(attr(fn, "__module__"), text("pandas.core.frame")) && eq(attr(fn, "__qualname__"), qualname);
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

// A C-contiguous copy of `array`, a numpy array of a dtype without object
// references, made in slices with pending signals let through between them;
// an empty Ref when `array` is not such an array.
Ref interruptible_copy(PyObject* array) {
  Ref ndarray = import_attr("numpy", "ndarray");
  if (reinterpret_cast<PyObject*>(Py_TYPE(array)) != ndarray.get()) return {};
  Ref dtype = attr(array, "dtype");
  if (truthy(attr(dtype, "hasobject")) || !truthy(attr(attr(array, "flags"), "c_contiguous"))) return {};
  Ref copy = call_kw(import_attr("numpy", "empty").get(), {attr(array, "shape").get()}, {{"dtype", dtype.get()}});
  // Bytes of both: numpy exports no buffer of datetime64 values, a view of
  // bytes it does.
  Ref bytes = text("u1");
  Ref from = call_method(call_method(array, "reshape", from_ssize(-1)), "view", bytes);
  Ref to = call_method(call_method(copy, "reshape", from_ssize(-1)), "view", bytes);
  View src, dst;
  if (!src.open(from.get()) || !dst.open(to.get(), true) || !src.contiguous() || !dst.contiguous() ||
      src.size() != dst.size()) {
    return {};
  }
  constexpr Py_ssize_t kSlice = Py_ssize_t{1} << 22;  // 4 MiB: a few milliseconds
  const Py_ssize_t n = src.size();
  for (Py_ssize_t at = 0; at < n; at += kSlice) {
    if (PyErr_CheckSignals() < 0) throw SignalRaised{};
    std::memcpy(dst.data<char>() + at, src.data<char>() + at, static_cast<size_t>(std::min(kSlice, n - at)));
  }
  return copy;
}

// df.copy(deep=True) of a pandas 2 table without copy-on-write, but with each
// block copied on its own and left apart: what Block.copy(deep=True) makes of
// each block, the axes as views, the table's attributes carried over.
Ref deep_copy(PyObject* df) {
  Ref mgr = attr(df, "_mgr");
  Ref block_manager = import_attr("pandas.core.internals.managers", "BlockManager");
  if (reinterpret_cast<PyObject*>(Py_TYPE(mgr.get())) != block_manager.get()) {
    return call_kw(attr(df, "copy").get(), {}, {{"deep", Py_True}});
  }
  Ref blocks = new_list();
  Ref it = check(PyObject_GetIter(attr(mgr, "blocks").get()));
  while (PyObject* next = PyIter_Next(it.get())) {
    Ref block = Ref::steal(next);
    Ref values = interruptible_copy(attr(block, "values").get());
    if (!values) {
      append(blocks.get(), call_kw(attr(block, "copy").get(), {}, {{"deep", Py_True}}).get());
      continue;
    }
    Ref placement = attr(block, "_mgr_locs");
    Ref ndim = attr(block, "ndim");
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(block.get()));
    append(
        blocks.get(),
        call_kw(type, {values.get()}, {{"placement", placement.get()}, {"ndim", ndim.get()}, {"refs", Py_None}}).get());
  }
  if (PyErr_Occurred()) throw_error();
  Ref axes = new_list();
  it = check(PyObject_GetIter(attr(mgr, "axes").get()));
  while (PyObject* next = PyIter_Next(it.get())) {
    Ref axis = Ref::steal(next);
    append(axes.get(), call_method(axis, "view").get());
  }
  if (PyErr_Occurred()) throw_error();
  Ref copied = call_method(block_manager, "from_blocks", blocks, axes);
  Ref table = call_kw(attr(df, "_constructor_from_mgr").get(), {copied.get()}, {{"axes", attr(copied, "axes").get()}});
  Ref method = text("copy");
  return call_kw(attr(table, "__finalize__").get(), {df}, {{"method", method.get()}});
}

}  // namespace

std::optional<Reason> unique_column(PyObject* df, PyObject* time_col, Ref& column) {
  Ref frame_type = import_attr("pandas", "DataFrame");
  if (reinterpret_cast<PyObject*>(Py_TYPE(df)) != frame_type.get()) return Reason::kind;
  Ref columns = attr(df, "columns");
  if (!truthy(attr(columns, "is_unique")) || !contains(columns, time_col)) return Reason::kind;
  column = item(df, time_col);
  if (!is_exact_series(column.get())) return Reason::kind;
  return std::nullopt;
}

std::optional<bool> without_missing(PyObject* df, PyObject* time_col) {
  return run<bool>(Route::plain_texts, [&]() -> Answer<bool> {
    Ref column;
    if (auto why = unique_column(df, time_col, column)) return *why;
    // A pandas string column in Arrow storage (NaN its missing value) holds texts or that
    // marker: whether any is missing is its null count, without making a str object of
    // every text to look at.
    Ref dtype = attr(column, "dtype");
    if (is_exact_series(column.get()) && is_instance(dtype.get(), import_attr("pandas", "StringDtype").get()) &&
        !arrow_string_with_na(dtype.get()) && ne(attr(dtype, "storage"), text("python"))) {
      if (truthy(attr(column, "hasnans"))) return Reason::value;
      return true;
    }
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
    // What df.sort_values(by=time_col) does on sorted data is each pandas
    // generation's own: an identity order gives self.copy(deep=not CoW) in
    // pandas 2 and self.copy(deep=False) in pandas 3 (always copy-on-write).
    const long major = pandas_major();
    if (major != 2 && major != 3) return Reason::settings;
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

    if (major == 3 || truthy(call(import_attr("pandas._config", "using_copy_on_write")))) {
      return call_kw(attr(df, "copy").get(), {}, {{"deep", Py_False}});
    }
    return deep_copy(df);
  });
}

std::optional<bool> set_fresh_column(PyObject* df, PyObject* key, const Ref& column) {
  return run<bool>(Route::fresh_column, [&]() -> Answer<bool> {
    if (!pandas_2()) return Reason::settings;
    Ref frame_type = import_attr("pandas", "DataFrame");
    if (reinterpret_cast<PyObject*>(Py_TYPE(df)) != frame_type.get() || !is_exact_series(column.get()) ||
        Py_REFCNT(column.get()) != 1 || (!PyUnicode_CheckExact(key) && !PyLong_CheckExact(key))) {
      return Reason::kind;
    }
    // Copy-on-write sets the values without copying anyway; its warning mode
    // (pandas 2.2) may warn in __setitem__.
    Ref config = import_module("pandas._config");
    if (truthy(call_method(config, "using_copy_on_write"))) return Reason::settings;
    if (PyObject_HasAttrString(config.get(), "warn_copy_on_write") &&
        truthy(call_method(config, "warn_copy_on_write"))) {
      return Reason::settings;
    }
    // __setitem__ warns of chained assignment when it finds the table held by
    // nobody but the call (a reference count of 3 seen from inside: the
    // caller's one, its own, that of getrefcount's argument): that table is
    // left to it.
    if (Py_REFCNT(df) <= 1) return Reason::value;
    for (const char* name : {"__setitem__", "_set_item", "_set_item_mgr"}) {
      if (!stock_frame_method(frame_type.get(), name)) return Reason::settings;
    }
    // What __setitem__ does for a plain label of unique, flat column labels
    // and a Series on the table's own index: _set_item_mgr(key, a copy of
    // column._values).
    Ref columns = attr(df, "columns");
    if (is_instance(columns.get(), import_attr("pandas", "MultiIndex").get()) || !truthy(attr(columns, "is_unique")) ||
        !contains(columns, key)) {
      return Reason::kind;
    }
    Ref index = attr(df, "index");
    if (attr(column, "index").get() != index.get() || length(index) == 0) return Reason::kind;
    Ref values = attr(column, "_values");
    call_method(df, "_set_item_mgr", key, values);
    return true;
  });
}

}  // namespace qx::fast
