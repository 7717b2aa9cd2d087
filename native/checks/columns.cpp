// Parameter checks, column resolution and the column cross-checks.
#include "checks/methods.hpp"

namespace qx {
namespace {

// Resolves one designation to a position, or returns an empty Ref when it
// does not resolve. `ignored` is set for designations that are not looked at.
Ref resolve(const Frame& f, PyObject* df, PyObject* df_columns, PyObject* col, bool& ignored) {
  ignored = false;
  auto in_range = [&](PyObject* pos) {
    Ref zero = from_ssize(0);
    if (!le(zero, pos)) return false;
    Ref columns = attr(df, "columns");
    Ref n = from_ssize(length(columns));
    return lt(pos, n);
  };
  if (PyLong_Check(col)) return in_range(col) ? Ref::borrow(col) : Ref();
  if (PyUnicode_Check(col)) {
    if (!contains(df_columns, col)) return Ref();
    return call_method(df_columns, "index", col);
  }
  if (PyFloat_Check(col)) {
    Ref pos = to_int(col);
    return in_range(pos.get()) ? pos : Ref();
  }
  // numpy scalars are positions too: integers as they are, floating values
  // truncated like a float. The result is a plain int.
  Ref np = global(f, G::np);
  Ref integer = attr(np, "integer");
  Ref floating = attr(np, "floating");
  if (is_instance(col, integer.get()) || is_instance(col, floating.get())) {
    Ref pos = to_int(col);
    return in_range(pos.get()) ? pos : Ref();
  }
  ignored = true;
  return Ref();
}

[[noreturn]] void designation_error(const Frame& f, const char* id, PyObject* col_role, PyObject* cols) {
  Ref texts = new_list();
  Ref it = check(PyObject_GetIter(cols));
  while (PyObject* next = PyIter_Next(it.get())) {
    Ref c = Ref::steal(next);
    append(texts.get(), str(c).get());
  }
  if (PyErr_Occurred()) throw_error();
  raise_message(f, id, {col_role, texts.get()});
}

Ref validate_input_params(const Frame& f, PyObject* /*self*/, PyObject* learning_type, PyObject* target_columns,
                          PyObject* feature_columns, PyObject* user_holdout_df, PyObject* tshirt_size) {
  Ref forecasting = global(f, G::LEARNING_TYPE_TIMESERIES_FORECASTING);
  Ref anomaly = global(f, G::LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION);

  if (ne(learning_type, forecasting) && ne(learning_type, anomaly)) {
    Ref a = str(forecasting);
    Ref b = str(anomaly);
    Ref sep = text("  or ");
    Ref head = check(PyUnicode_Concat(a.get(), sep.get()));
    Ref supported = check(PyUnicode_Concat(head.get(), b.get()));
    raise_message(f, "QUARNEX0068E", {supported.get(), learning_type});
  }
  if (eq(learning_type, forecasting) && target_columns == Py_None) {
    Ref role = global(f, G::COLUMN_ROLE_TARGET);
    raise_message(f, "QUARNEX0092E", {role.get(), role.get()});
  }
  if (eq(learning_type, anomaly) && feature_columns == Py_None) {
    Ref role = global(f, G::COLUMN_ROLE_FEATURE);
    raise_message(f, "QUARNEX0092E", {role.get(), role.get()});
  }
  if (eq(learning_type, anomaly) && user_holdout_df != Py_None) raise_message(f, "QUARNEX0094E");

  Ref sizes = check(PyTuple_New(4));
  const G names[] = {G::TSHIRT_SIZE_SMALL, G::TSHIRT_SIZE_MEDIUM, G::TSHIRT_SIZE_LARGE, G::TSHIRT_SIZE_EXTRA_LARGE};
  for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(sizes.get(), i, global(f, names[i]).release());
  if (!contains(sizes, tshirt_size)) {
    Ref sep = text(", ");
    Ref joined = check(PyUnicode_Join(sep.get(), sizes.get()));
    Ref listed = check(PyUnicode_FromFormat("[%U]", joined.get()));
    raise_message(f, "QUARNEX0103E", {tshirt_size, listed.get()});
  }
  return Ref::borrow(Py_None);
}

Ref get_cols_idx(const Frame& f, PyObject* /*self*/, PyObject* df, PyObject* cols, PyObject* col_role,
                 PyObject* learning_type, PyObject* warn_msg) {
  Ref df_columns = call_method(attr(df, "columns"), "to_list");
  Ref col_idx = new_list();
  Ref it = check(PyObject_GetIter(cols));
  while (PyObject* next = PyIter_Next(it.get())) {
    Ref col = Ref::steal(next);
    bool ignored = false;
    Ref pos = resolve(f, df, df_columns.get(), col.get(), ignored);
    if (pos) {
      append(col_idx.get(), pos.get());
    } else if (!ignored && warn_msg != Py_None) {
      warn(f, warn_msg, "QUARNEX0016W", {str(col).get()});
    }
  }
  if (PyErr_Occurred()) throw_error();

  const bool empty = PyList_GET_SIZE(col_idx.get()) == 0;
  Ref forecasting = global(f, G::LEARNING_TYPE_TIMESERIES_FORECASTING);
  Ref anomaly = global(f, G::LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION);
  if (eq(col_role, global(f, G::COLUMN_ROLE_TARGET))) {
    if (eq(learning_type, forecasting) && empty) designation_error(f, "QUARNEX0072E", col_role, cols);
    if (eq(learning_type, anomaly)) check(PyList_Sort(col_idx.get()));
    return col_idx;
  }
  if (eq(col_role, global(f, G::COLUMN_ROLE_FEATURE))) {
    if (eq(learning_type, anomaly)) {
      if (empty) designation_error(f, "QUARNEX0072E", col_role, cols);
      check(PyList_Sort(col_idx.get()));
    }
    return col_idx;
  }
  if (eq(col_role, global(f, G::COLUMN_ROLE_TIMESTAMP)) || eq(col_role, global(f, G::COLUMN_ROLE_ANOMALY_LABEL))) {
    if (empty) designation_error(f, "QUARNEX00104E", col_role, cols);
    return Ref::borrow(PyList_GET_ITEM(col_idx.get(), 0));
  }
  return col_idx;
}

Ref check_time_col_specified_twice(const Frame& f, PyObject* /*self*/, PyObject* time_col_idx, PyObject* time_col_name,
                                   PyObject* other_col_idx, PyObject* col_role) {
  if (contains(other_col_idx, time_col_idx)) {
    raise_message(f, "QUARNEX0074E", {str(time_col_name).get(), col_role});
  }
  return Ref::borrow(Py_None);
}

Ref validate_input_data_col_num(const Frame& f, PyObject* /*self*/, PyObject* learning_type, PyObject* tshirt_size,
                                PyObject* target_columns, PyObject* feature_columns) {
  Ref col_role = new_list();
  Ref col_num = from_ssize(0);
  if (eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_FORECASTING)) && target_columns != Py_None) {
    append(col_role.get(), global(f, G::COLUMN_ROLE_TARGET).get());
    col_num = from_ssize(length(target_columns));
    if (feature_columns != Py_None) {
      Ref n = from_ssize(length(feature_columns));
      if (gt(n, col_num)) {
        append(col_role.get(), global(f, G::COLUMN_ROLE_SUPPORTING_FEATURE).get());
        col_num = n;
      }
    }
  } else if (eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION)) &&
             feature_columns != Py_None) {
    append(col_role.get(), global(f, G::COLUMN_ROLE_FEATURE).get());
    col_num = from_ssize(length(feature_columns));
  }

  Ref limits = global(f, G::INPUT_DATA_LIMITATION);
  if (!contains(limits, learning_type)) return Ref::borrow(Py_None);
  Ref by_type = item(limits.get(), learning_type);
  if (!contains(by_type, tshirt_size)) return Ref::borrow(Py_None);
  Ref col_max = lookup(limits.get(), {learning_type, tshirt_size, global(f, G::COLUMN).get(), global(f, G::MAX).get()});

  if (gt(col_num, col_max)) {
    Ref role_str;
    const Py_ssize_t roles = PyList_GET_SIZE(col_role.get());
    if (roles == 1) {
      role_str = Ref::borrow(PyList_GET_ITEM(col_role.get(), 0));
    } else if (roles >= 2) {
      Ref first = str(PyList_GET_ITEM(col_role.get(), 0));
      Ref second = str(PyList_GET_ITEM(col_role.get(), 1));
      role_str = check(PyUnicode_FromFormat("%U and %U", first.get(), second.get()));
    } else {
      // Nothing was counted, so a negative limit is all that can get here.
      role_str = Ref::borrow(Py_None);
    }
    raise_message(f, "QUARNEX0093E", {role_str.get(), str(col_max).get()});
  }
  return Ref::borrow(Py_None);
}

}  // namespace

namespace methods {
using namespace desc;

constexpr MethodDesc validate_input_params = describe<qx::validate_input_params>(
    "validate_input_params", Kind::Instance,
    {self,
     {"learning_type", "str", S, REQ},
     {"target_columns", "Union[list, int, str]", N, REQ},
     {"feature_columns", "Union[list, int, str]", N, REQ},
     {"user_holdout_df", "pd.DataFrame", N, REQ},
     {"tshirt_size", "str", S, REQ}},
    nullptr,
    "Check the learning type, the t-shirt size and the column designations it requires.\n\n"
    ":param learning_type: the learning type\n"
    ":param target_columns: target column designations\n"
    ":param feature_columns: feature column designations\n"
    ":param user_holdout_df: the user holdout data, or None\n"
    ":param tshirt_size: the t-shirt size",
    "None");

constexpr MethodDesc get_cols_idx = describe<qx::get_cols_idx>("get_cols_idx", Kind::Instance,
                                                               {self,
                                                                {"df", "pd.DataFrame", N, REQ},
                                                                {"cols", "list", L, REQ},
                                                                {"col_role", "str", S, REQ},
                                                                {"learning_type", "str", S, REQ},
                                                                {"warn_msg", "list", L, NONE}},
                                                               "Union[list, int]", nullptr, "list[int] | int");

constexpr MethodDesc check_time_col_specified_twice =
    describe<qx::check_time_col_specified_twice>("check_time_col_specified_twice", Kind::Instance,
                                                 {self,
                                                  {"time_col_idx", "int", N, REQ},
                                                  {"time_col_name", "str", S, REQ},
                                                  {"other_col_idx", "list", L, REQ},
                                                  {"col_role", "str", S, REQ}},
                                                 nullptr, nullptr, "None");

constexpr MethodDesc validate_input_data_col_num =
    describe<qx::validate_input_data_col_num>("validate_input_data_col_num", Kind::Instance,
                                              {self,
                                               {"learning_type", "str", S, REQ},
                                               {"tshirt_size", "str", S, REQ},
                                               {"target_columns", "list", L, NONE},
                                               {"feature_columns", "list", L, NONE}},
                                              nullptr,
                                              "Refuse more target or feature columns than the t-shirt size allows.\n\n"
                                              ":param learning_type: the learning type\n"
                                              ":param tshirt_size: the t-shirt size\n"
                                              ":param target_columns: target column positions\n"
                                              ":param feature_columns: feature column positions",
                                              "None");

}  // namespace methods
}  // namespace qx
