// Timestamp parsing, the check of the time steps, and the time-ordered
// preparation of training and holdout data.
//
// Per-row work has two seams that a faster route can replace without the
// callers noticing: parse_text_column (one whole-column parse of text
// timestamps) and interval_statistics (the time steps and their mean and
// standard deviation).
#include "fastpath.hpp"
#include "methods.hpp"


namespace qx {
namespace {

bool is_instance(PyObject* o, PyObject* cls) { return check(PyObject_IsInstance(o, cls)) != 0; }

Ref none() { return Ref::borrow(Py_None); }

Ref one_item_list(PyObject* o) {
  Ref list = new_list();
  append(list.get(), o);
  return list;
}

Ref concat(const Ref& a, const Ref& b) { return check(PyUnicode_Concat(a.get(), b.get())); }

// pd.api.types, looked up through the live `pd`.
Ref pandas_types(const Frame& f) { return attr(attr(global(f, "pd"), "api"), "types"); }

// " in the <data_type.value> data": names the table in the message texts.
Ref data_type_phrase(PyObject* data_type) {
  Ref value = str(attr(data_type, "value"));
  return check(PyUnicode_FromFormat(" in the %U data", value.get()));
}

// Raises `ex` again as it stands: same object, its context and traceback kept.
[[noreturn]] void reraise(const Ref& ex) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(ex.get()));
  Py_INCREF(type);
  PyErr_Restore(type, Ref(ex).release(), PyException_GetTraceback(ex.get()));
  throw_error();
}

// Runs `body` the way `try: body() except Exception as ex:` does: returns an
// empty Ref when it succeeds and the caught exception when it raised one of
// the Exception family. Anything else (KeyboardInterrupt, SystemExit, ...)
// keeps propagating.
template <class Body>
Ref attempt(Body&& body) {
  try {
    body();
    return Ref();
  } catch (const PyErrorSet&) {
    Ref ex = take_exception();
    if (!ex) throw;
    return ex;
  }
}

// ---- timestamp parsing ----------------------------------------------------------

// The two dateutil parsers imported by one parse_time_col call; the converters
// and the diagnosis use exactly these objects. Empty until imported.
struct Parsers {
  Ref parse;
  Ref isoparse;
};

enum class Converter { general, iso };

// str(ts).strip('"')
Ref stripped_text(PyObject* ts) {
  Ref s = str(ts);
  Ref quote = check(PyUnicode_FromOrdinal('"'));
  return call_method(s, "strip", quote);
}

// self is (parse, ("fuzzy",)): parse(str(ts).strip('"'), fuzzy=False)
PyObject* general_convert(PyObject* self, PyObject* ts) noexcept {
  return callback_boundary([&] {
    if (PyErr_CheckSignals() < 0) throw_error();  // the library's loop never does
    Ref s = stripped_text(ts);
    PyObject* argv[] = {nullptr, s.get(), Py_False};
    return call_vector(PyTuple_GET_ITEM(self, 0), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                       PyTuple_GET_ITEM(self, 1));
  }, "a timestamp converter");
}

// self is isoparse: isoparse(str(ts).strip('"'))
PyObject* iso_convert(PyObject* self, PyObject* ts) noexcept {
  return callback_boundary([&] {
    if (PyErr_CheckSignals() < 0) throw_error();  // the library's loop never does
    Ref s = stripped_text(ts);
    return call(self, s);
  }, "a timestamp converter");
}

PyMethodDef general_def = {"general_converter", general_convert, METH_O,
                           "Parses one timestamp with dateutil's general parser (no fuzzy matching)."};
PyMethodDef iso_def = {"iso_converter", iso_convert, METH_O, "Parses one timestamp as ISO 8601 with dateutil."};

Ref make_converter(const Parsers& p, Converter kind) {
  if (kind == Converter::iso) return check(PyCFunction_New(&iso_def, p.isoparse.get()));
  Ref fuzzy = text("fuzzy");
  Ref kwnames = check(PyTuple_Pack(1, fuzzy.get()));
  Ref self = check(PyTuple_Pack(2, p.parse.get(), kwnames.get()));
  return check(PyCFunction_New(&general_def, self.get()));
}

// column.map(converter): the whole text column parsed by one of the two
// parsers; raises whatever the first refused value raised.
Ref parse_text_column(PyObject* column, const Parsers& p, Converter kind) {
  if (kind == Converter::general) {
    if (Ref values = fast::iso_datetime_column(column, p.parse.get())) return fast::mapped_series(column, values.get());
    if (Ref converter = fast::general_converter(p.parse.get())) return call_method(column, "map", converter);
  }
  Ref converter = make_converter(p, kind);
  return call_method(column, "map", converter);
}

// Removes, in place, exactly the rows whose timestamp is missing. The other
// rows keep their index labels.
void drop_missing_timestamps(const Frame& f, PyObject* data_df, PyObject* time_col) {
  if (fast::without_missing(data_df, time_col)) return;
  Ref cols = one_item_list(time_col);
  Ref any_missing = call_method(call_method(call_method(item(data_df, cols.get()), "isna"), "any"), "any");
  if (!truthy(any_missing)) return;

  Ref axis = from_ssize(1);
  Ref per_row = call_kw(attr(call_method(item(data_df, cols.get()), "isna"), "any").get(), {}, {{"axis", axis.get()}});
  Ref is_missing_values = call_method(per_row, "to_list");
  Ref indices = new_list();
  const Py_ssize_t n = length(is_missing_values);
  for (Py_ssize_t i = 0; i < n; ++i) {
    fast::poll_signals(i);
    if (truthy(item(is_missing_values.get(), i))) append(indices.get(), from_ssize(i).get());
  }

  Ref drop = attr(data_df, "drop");
  Ref index = attr(data_df, "index");
  if (truthy(attr(index, "is_unique"))) {
    // Unique labels name exactly the rows at these positions.
    Ref labels = item(index, indices);
    call_kw(drop.get(), {labels.get()}, {{"inplace", Py_True}});
    return;
  }
  // Repeated labels would take other rows with them: drop by position under a
  // temporary 0..n-1 index, then give the remaining rows their own labels back.
  Ref kept_labels = call_method(index, "delete", indices);
  Ref positions = call(attr(global(f, "pd"), "RangeIndex"), from_ssize(length(index)));
  check(PyObject_SetAttrString(data_df, "index", positions.get()));
  try {
    call_kw(drop.get(), {indices.get()}, {{"inplace", Py_True}});
  } catch (const PyErrorSet&) {
    ErrorGuard keep;
    if (PyObject_SetAttrString(data_df, "index", index.get()) < 0) PyErr_Clear();
    throw;
  }
  check(PyObject_SetAttrString(data_df, "index", kept_labels.get()));
}

// A text column: the general parser, then the ISO parser, then a value-by-value
// diagnosis that names the first value neither accepts.
void parse_text_timestamps(const Frame& f, PyObject* data_df, PyObject* time_col) {
  Parsers p;
  Ref first = attempt([&] {
    p.parse = import_attr("dateutil.parser", "parse");
    Ref parsed = parse_text_column(item(data_df, time_col).get(), p, Converter::general);
    set_item(data_df, time_col, parsed.get());
  });
  if (!first) return;
  HandlingScope handling_first(first.get());

  Ref second = attempt([&] {
    p.isoparse = import_attr("dateutil.parser", "isoparse");
    Ref parsed = parse_text_column(item(data_df, time_col).get(), p, Converter::iso);
    set_item(data_df, time_col, parsed.get());
  });
  if (!second) return;
  // A parser that could not be imported is a broken installation, not a bad
  // value: its import error reaches the caller instead of a diagnosis.
  if (!p.isoparse) reraise(second);
  if (!p.parse) reraise(first);
  HandlingScope handling_second(second.get());

  Ref column = item(data_df, time_col);
  Ref it = check(PyObject_GetIter(column.get()));
  while (PyObject* next = PyIter_Next(it.get())) {
    Ref ts = Ref::steal(next);
    Ref general_error = attempt([&] { call(p.parse, stripped_text(ts.get())); });
    if (!general_error) continue;
    HandlingScope handling_general(general_error.get());
    Ref iso_error = attempt([&] { call(p.isoparse, stripped_text(ts.get())); });
    if (!iso_error) continue;
    HandlingScope handling_iso(iso_error.get());
    raise_message(f, "QUARNEX0076E", {time_col, ts.get()});
  }
  if (PyErr_Occurred()) throw_error();
}

// ---- time steps -------------------------------------------------------------------

struct IntervalStats {
  Ref mean;
  Ref stdev;
};

// The differences of consecutive values of `column` (time differences in
// seconds, other differences in the column's own unit) and their mean and
// sample standard deviation, by the statistics module's rules and errors.
IntervalStats interval_statistics(const Frame& f, PyObject* column) {
  IntervalStats fast_st;
  if (fast::interval_statistics(f, column, fast_st.mean, fast_st.stdev)) return fast_st;
  Ref timestamps = call_method(column, "to_list");
  Ref pandas_timedelta = import_attr("pandas._libs.tslibs.timedeltas", "Timedelta");
  Ref timedeltas = new_list();
  const Py_ssize_t n = length(timestamps);
  for (Py_ssize_t i = 1; i < n; ++i) {
    fast::poll_signals(i);
    Ref diff = sub(item(timestamps.get(), i), item(timestamps.get(), i - 1));
    if (is_instance(diff.get(), pandas_timedelta.get()) ||
        is_instance(diff.get(), attr(global(f, "datetime"), "timedelta").get())) {
      append(timedeltas.get(), call_method(diff, "total_seconds").get());
    } else {
      append(timedeltas.get(), diff.get());
    }
  }
  Ref statistics = import_module("statistics");
  IntervalStats st;
  st.mean = call_method(statistics, "mean", timedeltas);
  st.stdev = call_method(statistics, "stdev", timedeltas);
  return st;
}

// (a, b) = value, with the interpreter's errors for anything else.
std::pair<Ref, Ref> unpack2(PyObject* value) {
  Ref it = Ref::steal(PyObject_GetIter(value));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    }
    throw_error();
  }
  Ref got[2];
  for (int i = 0; i < 2; ++i) {
    got[i] = Ref::steal(PyIter_Next(it.get()));
    if (!got[i]) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      }
      throw_error();
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw_error();
  }
  if (PyErr_Occurred()) throw_error();
  return {std::move(got[0]), std::move(got[1])};
}

Ref data_type_member(const Frame& f, const char* name) { return attr(global(f, "DataType"), name); }

// pd.concat([df, holdout_df], ignore_index=True, sort=False)
Ref join_rows(const Frame& f, const Ref& df, const Ref& holdout_df) {
  Ref concat_fn = attr(global(f, "pd"), "concat");
  Ref tables = check(PyList_New(0));
  append(tables.get(), df.get());
  append(tables.get(), holdout_df.get());
  return call_kw(concat_fn.get(), {tables.get()}, {{"ignore_index", Py_True}, {"sort", Py_False}});
}

}  // namespace

Ref parse_time_col(Frame& f) {
  PyObject* data_df = f[1];
  PyObject* time_col = f[2];
  PyObject* data_type = f[3];

  drop_missing_timestamps(f, data_df, time_col);

  Ref column = item(data_df, time_col);
  if (truthy(call_method(pandas_types(f), "is_numeric_dtype", column))) return none();
  if (truthy(call_method(pandas_types(f), "is_string_dtype", column))) {
    parse_text_timestamps(f, data_df, time_col);
    return none();
  }
  if (truthy(call_method(pandas_types(f), "is_datetime64_any_dtype", column))) {
    Ref utc = text("UTC");
    Ref localized = call_method(attr(column, "dt"), "tz_localize", utc);
    set_item(data_df, time_col, localized.get());
    return none();
  }
  Ref inferred = call_method(pandas_types(f), "infer_dtype", column);
  if (eq(inferred, text("datetime")) || eq(inferred, text("date"))) {
    Ref converted = call_method(global(f, "pd"), "to_datetime", column);
    set_item(data_df, time_col, converted.get());
    return none();
  }

  Ref infered_type = call_method(pandas_types(f), "infer_dtype", column);
  Ref actual_type = attr(column, "dtype");
  Ref detail = text(": ");
  detail = concat(detail, str(actual_type));
  detail = concat(detail, text("("));
  detail = concat(detail, str(infered_type));
  detail = concat(detail, text(") in the "));
  detail = concat(detail, str(attr(data_type, "value")));
  detail = concat(detail, text(" data"));
  raise_message(f, "QUARNEX0077E", {detail.get()});
}

Ref validate_time_interval(Frame& f) {
  PyObject* df = f[1];
  PyObject* time_col = f[2];
  PyObject* warn_msg = f[3];
  PyObject* data_type = f[4];

  IntervalStats st = interval_statistics(f, item(df, time_col).get());
  if (eq(st.mean, from_ssize(0))) {
    raise_message(f, "QUARNEX0071E", {time_col, data_type_phrase(data_type).get()});
  }
  Ref relative_dev = div(mul(from_double(100.0), st.stdev), st.mean);
  if (gt(relative_dev, from_double(20.0))) {
    Ref app = attr(warn_msg, "append");
    Ref msg = message(f, "QUARNEX0004W", {data_type_phrase(data_type).get()});
    call(app, msg);
  }
  return none();
}

Ref process_data_by_time_col(Frame& f) {
  PyObject* self = f[0];
  Ref df = Ref::borrow(f[1]);
  Ref holdout_df = Ref::borrow(f[2]);
  PyObject* time_col = f[3];
  PyObject* learning_type = f[4];
  Ref holdout_size = Ref::borrow(f[5]);
  PyObject* warn_msg = f[6];

  auto holdout_len = [&] {
    Ref method = attr(self, "validate_user_holdout_len");
    Ref result = call(method, df, holdout_df, learning_type, holdout_size, warn_msg);
    auto [table, size] = unpack2(result.get());
    holdout_df = std::move(table);
    holdout_size = std::move(size);
  };

  if (time_col != Py_None) {
    if (repeated_timestamps(df.get(), time_col)) raise_message(f, "QUARNEX0075E");

    if (!holdout_df.is_none()) {
      Ref parse = attr(self, "parse_time_col");
      call(parse, df, time_col, data_type_member(f, "TRAINING"));
      parse = attr(self, "parse_time_col");
      call(parse, holdout_df, time_col, data_type_member(f, "HOLDOUT"));
    } else {
      Ref parse = attr(self, "parse_time_col");
      call(parse, df, time_col, data_type_member(f, "INPUT"));
    }

    Ref in_order = fast::sorted_copy(df.get(), time_col);
    df = in_order ? in_order : call_kw(attr(df, "sort_values").get(), {}, {{"by", time_col}});
    Ref interval = attr(self, "validate_time_interval");
    call(interval, df, time_col, warn_msg, data_type_member(f, "INPUT"));

    if (!holdout_df.is_none()) {
      in_order = fast::sorted_copy(holdout_df.get(), time_col);
      holdout_df = in_order ? in_order : call_kw(attr(holdout_df, "sort_values").get(), {}, {{"by", time_col}});
      Ref newer = attr(self, "check_user_holdout_newer");
      call(newer, df, holdout_df, time_col);
      interval = attr(self, "validate_time_interval");
      call(interval, holdout_df, time_col, warn_msg, data_type_member(f, "HOLDOUT"));
      holdout_len();
      df = join_rows(f, df, holdout_df);
    }
  } else if (!holdout_df.is_none()) {
    holdout_len();
    df = join_rows(f, df, holdout_df);
  }
  return check(PyTuple_Pack(3, df.get(), holdout_df.get(), holdout_size.get()));
}

}  // namespace qx
