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

Ref none() { return Ref::borrow(Py_None); }

// pd.api.types, looked up through the live `pd`.
Ref pandas_types(const Frame& f) { return attr(attr(global(f, G::pd), "api"), "types"); }

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

// self is (parse, ("fuzzy",)): parse(str(ts).strip('"'), fuzzy=False)
PyObject* general_convert(PyObject* self, PyObject* ts) noexcept {
  return boundary([&] {
    Ref s = unquoted_text(ts);
    PyObject* argv[] = {nullptr, s.get(), Py_False};
    return call_vector(PyTuple_GET_ITEM(self, 0), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                       PyTuple_GET_ITEM(self, 1));
  }, "a timestamp converter");
}

// self is isoparse: isoparse(str(ts).strip('"'))
PyObject* iso_convert(PyObject* self, PyObject* ts) noexcept {
  return boundary([&] {
    Ref s = unquoted_text(ts);
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
    if (auto parsed = fast::iso_datetime_column(column, p.parse.get())) return std::move(*parsed);
    if (auto converter = fast::general_converter(p.parse.get())) return call_method(column, "map", *converter);
  }
  Ref converter = make_converter(p, kind);
  return call_method(column, "map", converter);
}

// Removes, in place, exactly the rows whose timestamp is missing. The other
// rows keep their index labels.
void drop_missing_timestamps(const Frame& f, PyObject* data_df, PyObject* time_col) {
  Ref cols = list_of(time_col);
  Ref any_missing = call_method(call_method(call_method(item(data_df, cols.get()), "isna"), "any"), "any");
  if (!truthy(any_missing)) return;

  Ref axis = from_ssize(1);
  Ref per_row = call_kw(attr(call_method(item(data_df, cols.get()), "isna"), "any").get(), {}, {{"axis", axis.get()}});
  Ref is_missing_values = call_method(per_row, "to_list");
  Ref indices = new_list();
  const Py_ssize_t n = length(is_missing_values);
  for (Py_ssize_t i = 0; i < n; ++i) {
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
  Ref positions = call(attr(global(f, G::pd), "RangeIndex"), from_ssize(length(index)));
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
    Ref general_error = attempt([&] { call(p.parse, unquoted_text(ts.get())); });
    if (!general_error) continue;
    HandlingScope handling_general(general_error.get());
    Ref iso_error = attempt([&] { call(p.isoparse, unquoted_text(ts.get())); });
    if (!iso_error) continue;
    HandlingScope handling_iso(iso_error.get());
    raise_message(f, "QUARNEX0076E", {time_col, ts.get()});
  }
  if (PyErr_Occurred()) throw_error();
}

// ---- time steps -------------------------------------------------------------------

using fast::IntervalStats;

// The differences of consecutive values of `column` (time differences in
// seconds, other differences in the column's own unit) and their mean and
// sample standard deviation, by the statistics module's rules and errors.
IntervalStats interval_statistics(const Frame& f, PyObject* column) {
  if (auto fast_st = fast::interval_statistics(f, column)) return std::move(*fast_st);
  Ref timestamps = call_method(column, "to_list");
  Ref pandas_timedelta = import_attr("pandas._libs.tslibs.timedeltas", "Timedelta");
  Ref timedeltas = new_list();
  const Py_ssize_t n = length(timestamps);
  for (Py_ssize_t i = 1; i < n; ++i) {
    Ref diff = sub(item(timestamps.get(), i), item(timestamps.get(), i - 1));
    if (is_instance(diff.get(), pandas_timedelta.get()) ||
        is_instance(diff.get(), attr(global(f, G::datetime), "timedelta").get())) {
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

Ref data_type_member(const Frame& f, const char* name) { return attr(global(f, G::DataType), name); }

// pd.concat([df, holdout_df], ignore_index=True, sort=False)
Ref join_rows(const Frame& f, const Ref& df, const Ref& holdout_df) {
  Ref concat_fn = attr(global(f, G::pd), "concat");
  Ref tables = list_of(df, holdout_df);
  return call_kw(concat_fn.get(), {tables.get()}, {{"ignore_index", Py_True}, {"sort", Py_False}});
}

Ref parse_time_col(const Frame& f, PyObject* /*self*/, PyObject* data_df, PyObject* time_col, PyObject* data_type) {

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
    Ref converted = call_method(global(f, G::pd), "to_datetime", column);
    set_item(data_df, time_col, converted.get());
    return none();
  }

  Ref actual_type = str(attr(column, "dtype"));
  Ref detail = concat({text(": ").get(), actual_type.get(), text("(").get(), str(inferred).get(), text(")").get(),
                       data_type_phrase(data_type).get()});
  raise_message(f, "QUARNEX0077E", {detail.get()});
}

Ref validate_time_interval(const Frame& f, PyObject* /*self*/, PyObject* df, PyObject* time_col, PyObject* warn_msg,
                           PyObject* data_type) {

  IntervalStats st = interval_statistics(f, item(df, time_col).get());
  if (eq(st.mean, from_ssize(0))) {
    raise_message(f, "QUARNEX0071E", {time_col, data_type_phrase(data_type).get()});
  }
  Ref relative_dev = div(mul(from_double(100.0), st.stdev), st.mean);
  if (gt(relative_dev, from_double(20.0))) {
    warn(f, warn_msg, "QUARNEX0004W", [&] { return std::array{data_type_phrase(data_type)}; });
  }
  return none();
}

Ref process_data_by_time_col(const Frame& f, PyObject* self, PyObject* df_arg, PyObject* holdout_df_arg,
                             PyObject* time_col, PyObject* learning_type, PyObject* holdout_size_arg,
                             PyObject* warn_msg) {
  Ref df = Ref::borrow(df_arg);
  Ref holdout_df = Ref::borrow(holdout_df_arg);
  Ref holdout_size = Ref::borrow(holdout_size_arg);

  auto holdout_len = [&] {
    Ref method = attr(self, "validate_user_holdout_len");
    Ref result = call(method, df, holdout_df, learning_type, holdout_size, warn_msg);
    auto [table, size] = unpack<2>(result.get());
    holdout_df = std::move(table);
    holdout_size = std::move(size);
  };

  if (time_col != Py_None) {
    Ref subset = list_of(time_col);
    Ref duplicated = call_kw(attr(df, "duplicated").get(), {}, {{"subset", subset.get()}});
    if (contains(call_method(duplicated, "to_list"), Py_True)) raise_message(f, "QUARNEX0075E");

    if (!holdout_df.is_none()) {
      Ref parse = attr(self, "parse_time_col");
      call(parse, df, time_col, data_type_member(f, "TRAINING"));
      parse = attr(self, "parse_time_col");
      call(parse, holdout_df, time_col, data_type_member(f, "HOLDOUT"));
    } else {
      Ref parse = attr(self, "parse_time_col");
      call(parse, df, time_col, data_type_member(f, "INPUT"));
    }

    df = call_kw(attr(df, "sort_values").get(), {}, {{"by", time_col}});
    Ref interval = attr(self, "validate_time_interval");
    call(interval, df, time_col, warn_msg, data_type_member(f, "INPUT"));

    if (!holdout_df.is_none()) {
      holdout_df = call_kw(attr(holdout_df, "sort_values").get(), {}, {{"by", time_col}});
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

}  // namespace

namespace methods {
using namespace desc;

constexpr MethodDesc parse_time_col = describe<qx::parse_time_col>(
    "parse_time_col", Kind::Instance,
    {self, {"data_df", "pd.DataFrame", N, REQ}, {"time_col", "str", S, REQ}, {"data_type", "DataType", N, REQ}},
    nullptr,
    "Drop rows without a timestamp and convert the timestamp column in place.\n\n"
    ":param data_df: the table to change in place\n"
    ":param time_col: name of the timestamp column\n"
    ":param data_type: which table this is (training, holdout or input)");

constexpr MethodDesc validate_time_interval = describe<qx::validate_time_interval>(
    "validate_time_interval", Kind::Instance,
    {self,
     {"df", "pd.DataFrame", N, REQ},
     {"time_col", "str", S, REQ},
     {"warn_msg", "list", L, REQ},
     {"data_type", "DataType", N, REQ}},
    nullptr,
    "Check that the time steps are evenly spaced; warn when they vary by more than 20 percent.\n\n"
    ":param df: the table, sorted by time\n"
    ":param time_col: name of the timestamp column\n"
    ":param warn_msg: list to which warning texts are appended\n"
    ":param data_type: which table this is (training, holdout or input)");

constexpr MethodDesc process_data_by_time_col = describe<qx::process_data_by_time_col>(
    "process_data_by_time_col", Kind::Instance,
    {self,
     {"df", "pd.DataFrame", N, REQ},
     {"holdout_df", "pd.DataFrame", N, REQ},
     {"time_col", "str", S, REQ},
     {"learning_type", "str", S, REQ},
     {"holdout_size", "Union[int, float]", N, REQ},
     {"warn_msg", "list", L, REQ}},
    "pd.DataFrame", nullptr);

}  // namespace methods
}  // namespace qx
