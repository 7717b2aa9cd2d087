// Input data, data length, holdout length, and the holdout table's metadata
// and recency.
#include "checks/methods.hpp"

#include <initializer_list>

namespace qx {

namespace {

// round(x, digits), with `round` found as the module would find it.
Ref round_to(const Frame& f, PyObject* x, Py_ssize_t digits) {
  Ref round = global(f, G::round);
  Ref d = from_ssize(digits);
  return call(round, x, d);
}

// True for a number that is real but not integral whatever numpy makes of
// it: a Fraction or a Decimal is a ratio when below 1, as a float is.
bool is_non_integral_real(PyObject* v) {
  if (is_instance(v, import_attr("numbers", "Integral").get())) return false;
  if (is_instance(v, import_attr("numbers", "Real").get())) return true;
  return is_instance(v, import_attr("decimal", "Decimal").get());
}

}  // namespace

// A floating size below 1 is a ratio of the rows; so is any other real
// number below 1 that is not an integer (a Fraction, a Decimal), which
// numpy files under the object kind. Everything else is a row count.
bool is_ratio(const Frame& f, PyObject* holdout_size) {
  Ref kind = attr(attr(call_method(global(f, G::np), "asarray", holdout_size), "dtype"), "kind");
  bool ratio_kind = eq(kind, text("f"));
  if (!ratio_kind && eq(kind, text("O"))) ratio_kind = is_non_integral_real(holdout_size);
  return ratio_kind && lt(holdout_size, from_ssize(1));
}

Ref holdout_after_cut(const Frame& f, PyObject* holdout_size, PyObject* holdout_rows, PyObject* rows_left,
                      PyObject* learning_type) {
  Ref limits = global(f, G::INPUT_DATA_LIMITATION);
  if (!contains(limits, learning_type)) return Ref::borrow(holdout_rows);
  if (is_ratio(f, holdout_size)) {
    Ref share = to_int(mul(rows_left, holdout_size));
    return lt(share, holdout_rows) ? share : Ref::borrow(holdout_rows);
  }
  if (lt(holdout_rows, rows_left)) return Ref::borrow(holdout_rows);
  Ref ratio_threshold =
      lookup(limits.get(), {learning_type, global(f, G::ROW).get(), global(f, G::HOLDOUT_MAX_RATIO).get()});
  Ref len_threshold = to_int(mul(rows_left, to_float(ratio_threshold)));
  raise_message(f, "QUARNEX0101E", {holdout_size, len_threshold.get(), ratio_threshold.get()});
}

namespace {

Ref validate_input_data(const Frame& f, PyObject* self, PyObject* df, PyObject* learning_type,
                        PyObject* holdout_size_arg, PyObject* warn_msg, PyObject* holdout_df) {
  Ref holdout_size = Ref::borrow(holdout_size_arg);

  if (df == Py_None) raise_message(f, "QUARNEX0069E");
  Ref n_samples = from_ssize(length(df));
  Ref zero = from_ssize(0);
  Ref one = from_ssize(1);

  if (holdout_df == Py_None) {
    Ref limits = global(f, G::INPUT_DATA_LIMITATION);
    if (contains(limits, learning_type)) {
      Ref row = global(f, G::ROW);
      Ref ratio_threshold = lookup(limits.get(), {learning_type, row.get(), global(f, G::HOLDOUT_MAX_RATIO).get()});
      Ref len_threshold = to_int(mul(n_samples, to_float(ratio_threshold)));
      Ref holdout_max_num, holdout_min_num;
      if (eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION))) {
        holdout_max_num = lookup(limits.get(), {learning_type, row.get(), global(f, G::HOLDOUT_MAX).get()});
        Ref anomaly = global(f, G::LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION);
        holdout_min_num = lookup(limits.get(), {anomaly.get(), row.get(), global(f, G::HOLDOUT_MIN).get()});
      }

      if (le(holdout_size, zero)) {
        raise_message(f, "QUARNEX0095E", {holdout_size.get()});
      } else if (eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION))) {
        // With no rows at all a ratio has nothing to be a share of (and the
        // ratios below would divide by zero): report the missing data.
        if (lt(holdout_size, one) && eq(n_samples, zero)) raise_message(f, "QUARNEX0069E");
        if (lt(holdout_size, one) && lt(to_int(mul(holdout_size, n_samples)), holdout_min_num)) {
          Ref min_ratio = round_to(f, div(to_float(holdout_min_num), n_samples).get(), 3);
          raise_message(f, "QUARNEX0098E", {holdout_size.get(), min_ratio.get()});
        } else if (gt(holdout_size, one) && lt(holdout_size, holdout_min_num)) {
          raise_message(f, "QUARNEX0097E", {holdout_size.get(), holdout_min_num.get()});
        }
        // min(len_threshold, holdout_max_num): the first when they are equal.
        Ref threshold = lt(holdout_max_num, len_threshold) ? holdout_max_num : len_threshold;
        if (lt(holdout_size, one) && gt(holdout_size, div(to_float(threshold), n_samples))) {
          Ref actual_ratio = round_to(f, div(to_float(threshold), n_samples).get(), 3);
          warn(f, warn_msg, "QUARNEX0013W", {holdout_size.get(), actual_ratio.get(), actual_ratio.get()});
          holdout_size = threshold;
        }
        if (gt(holdout_size, threshold)) {
          warn(f, warn_msg, "QUARNEX0012W", {holdout_size.get(), threshold.get(), threshold.get()});
          holdout_size = threshold;
        }
      } else if (eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_FORECASTING))) {
        if (gt(holdout_size, len_threshold)) {
          raise_message(f, "QUARNEX0101E", {holdout_size.get(), len_threshold.get(), ratio_threshold.get()});
        } else if (lt(holdout_size, one) && gt(holdout_size, ratio_threshold)) {
          raise_message(f, "QUARNEX0102E", {holdout_size.get(), ratio_threshold.get()});
        }
      }
    }
  } else {
    call_method(self, "check_user_holdout_metadata", df, holdout_df);
    holdout_size = from_ssize(length(holdout_df));
    if (eq(holdout_size, zero)) raise_message(f, "QUARNEX0070E", {holdout_size.get(), n_samples.get()});
  }

  if (is_ratio(f, holdout_size.get())) return to_int(mul(n_samples, holdout_size));
  return to_int(holdout_size);
}

Ref validate_data_len(const Frame& f, PyObject* /*self*/, PyObject* df_arg, PyObject* learning_type,
                      PyObject* tshirt_size, PyObject* warn_msg) {
  Ref df = Ref::borrow(df_arg);

  Ref df_len = from_ssize(length(df));
  Ref limits = global(f, G::INPUT_DATA_LIMITATION);
  if (!contains(limits, learning_type)) return df;

  Ref row_min = lookup(limits.get(), {learning_type, global(f, G::ROW).get(), global(f, G::MIN).get()});
  if (eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_FORECASTING)) && lt(df_len, row_min)) {
    raise_message(f, "QUARNEX0084E", {str(row_min).get()});
  } else if (eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION)) && lt(df_len, row_min)) {
    raise_message(f, "QUARNEX0096E", {str(row_min).get()});
  }
  if (eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_FORECASTING)) &&
      le(df_len, lookup(limits.get(), {learning_type, global(f, G::ROW).get(), global(f, G::THRESHOLD).get()}))) {
    warn(f, warn_msg, "QUARNEX0007W");
  }
  if (!contains(item(limits, learning_type), tshirt_size)) return df;

  Ref row_max = lookup(limits.get(), {learning_type, tshirt_size, global(f, G::ROW).get(), global(f, G::MAX).get()});
  if (gt(df_len, row_max)) {
    df = call_method(df, "tail", row_max);
    warn(f, warn_msg, "QUARNEX0005W", {str(row_max).get()});
  }
  return df;
}

Ref validate_user_holdout_len(const Frame& f, PyObject* /*self*/, PyObject* train_df, PyObject* holdout_df_arg,
                              PyObject* learning_type, PyObject* holdout_size_arg, PyObject* warn_msg) {
  Ref holdout_df = Ref::borrow(holdout_df_arg);
  Ref holdout_size = Ref::borrow(holdout_size_arg);

  // "one third" for exactly Fraction(1, 3), the value's own text otherwise.
  auto frac2words = [&f](PyObject* ratio) {
    Ref third = call(global(f, G::Fraction), from_ssize(1), from_ssize(3));
    return eq(ratio, third) ? text("one third") : str(ratio);
  };

  Ref limits = global(f, G::INPUT_DATA_LIMITATION);
  if (contains(limits, learning_type)) {
    Ref ratio_threshold =
        lookup(limits.get(), {learning_type, global(f, G::ROW).get(), global(f, G::HOLDOUT_MAX_RATIO).get()});
    // Summed as Python ints: two lengths near PY_SSIZE_T_MAX must not overflow.
    Ref rows = add(from_ssize(length(train_df)), from_ssize(length(holdout_df)));
    Ref len_threshold = mul(rows, to_float(ratio_threshold));
    Ref one = from_ssize(1);
    const bool too_large =
        (gt(one, holdout_size) && gt(holdout_size, ratio_threshold)) || gt(holdout_size, len_threshold);
    if (too_large) {
      if (lt(holdout_size, one)) {
        holdout_size = ratio_threshold;
        holdout_df = call_method(holdout_df, "head", to_int(len_threshold));
      } else {
        holdout_size = to_int(len_threshold);
        holdout_df = call_method(holdout_df, "head", holdout_size);
      }
      warn(f, warn_msg, "QUARNEX0006W", [&] { return std::array{frac2words(ratio_threshold.get())}; });
    }
  }
  return check(PyTuple_Pack(2, holdout_df.get(), holdout_size.get()));
}

Ref check_user_holdout_metadata(const Frame& f, PyObject* /*self*/, PyObject* train_df, PyObject* holdout_df) {
  Ref one = from_ssize(1);
  Ref train_count = item(attr(train_df, "shape"), one);
  Ref holdout_count = item(attr(holdout_df, "shape"), one);
  if (ne(train_count, holdout_count)) {
    raise_message(f, "QUARNEX0081E", {holdout_count.get(), train_count.get()});
  }
  Ref train_labels = call_method(attr(train_df, "columns"), "tolist");
  Ref holdout_labels = call_method(attr(holdout_df, "columns"), "to_list");
  if (ne(train_labels, holdout_labels)) {
    raise_message(f, "QUARNEX0082E", {holdout_labels.get(), train_labels.get()});
  }
  return Ref::borrow(Py_None);
}

Ref check_user_holdout_newer(const Frame& f, PyObject* /*self*/, PyObject* train_df, PyObject* holdout_df,
                             PyObject* time_col) {
  Ref last = item(attr(item(train_df, time_col), "iat"), from_ssize(-1));
  Ref first = item(attr(item(holdout_df, time_col), "iat"), from_ssize(0));
  if (gt(last, first)) raise_message(f, "QUARNEX0087E");
  return Ref::borrow(Py_None);
}

}  // namespace

namespace methods {
using namespace desc;

constexpr MethodDesc validate_input_data =
    describe<qx::validate_input_data>("validate_input_data", Kind::Instance,
                                      {self,
                                       {"df", "pd.DataFrame", N, REQ},
                                       {"learning_type", "str", S, REQ},
                                       {"holdout_size", "Union[float, int]", N, REQ},
                                       {"warn_msg", "list", L, REQ},
                                       {"holdout_df", "pd.DataFrame", N, NONE}},
                                      "int",
                                      "Check the data and the holdout size; return the holdout size in rows.\n\n"
                                      ":param df: the input data (the training data when holdout_df is given)\n"
                                      ":param learning_type: the learning type\n"
                                      ":param holdout_size: holdout ratio (a float below 1) or number of holdout rows\n"
                                      ":param warn_msg: list to which warning texts are appended\n"
                                      ":param holdout_df: the user holdout data, or None\n"
                                      ":return: the number of holdout rows",
                                      "int");

constexpr MethodDesc validate_data_len =
    describe<qx::validate_data_len>("validate_data_len", Kind::Instance,
                                    {self,
                                     {"df", "pd.DataFrame", N, REQ},
                                     {"learning_type", "str", S, REQ},
                                     {"tshirt_size", "str", S, REQ},
                                     {"warn_msg", "list", L, REQ}},
                                    nullptr,
                                    "Check the row count against the limits; cut to the latest rows when too long.\n\n"
                                    ":param df: the data\n"
                                    ":param learning_type: the learning type\n"
                                    ":param tshirt_size: the t-shirt size\n"
                                    ":param warn_msg: list to which warning texts are appended\n"
                                    ":return: the data to use",
                                    "pd.DataFrame");

constexpr MethodDesc validate_user_holdout_len =
    describe<qx::validate_user_holdout_len>("validate_user_holdout_len", Kind::Instance,
                                            {self,
                                             {"train_df", "pd.DataFrame", N, REQ},
                                             {"holdout_df", "pd.DataFrame", N, REQ},
                                             {"learning_type", "str", S, REQ},
                                             {"holdout_size", "Union[int, float]", N, REQ},
                                             {"warn_msg", "list", L, REQ}},
                                            nullptr,
                                            "Cut the user holdout data to the permitted share of all rows.\n\n"
                                            ":param train_df: the training data\n"
                                            ":param holdout_df: the user holdout data, sorted by time\n"
                                            ":param learning_type: the learning type\n"
                                            ":param holdout_size: holdout ratio or number of holdout rows\n"
                                            ":param warn_msg: list to which warning texts are appended\n"
                                            ":return: (holdout_df, holdout_size)",
                                            "tuple[pd.DataFrame, Union[int, float, Fraction]]");

constexpr MethodDesc check_user_holdout_metadata = describe<qx::check_user_holdout_metadata>(
    "check_user_holdout_metadata", Kind::Instance,
    {self, {"train_df", "pd.DataFrame", N, REQ}, {"holdout_df", "pd.DataFrame", N, REQ}}, nullptr,
    "Refuse a holdout table whose columns differ from the training table's.\n\n"
    ":param train_df: the training data\n"
    ":param holdout_df: the user holdout data",
    "None");

constexpr MethodDesc check_user_holdout_newer = describe<qx::check_user_holdout_newer>(
    "check_user_holdout_newer", Kind::Instance,
    {self, {"train_df", "pd.DataFrame", N, REQ}, {"holdout_df", "pd.DataFrame", N, REQ}, {"time_col", "str", S, REQ}},
    nullptr,
    "Refuse holdout data that start before the training data end.\n\n"
    ":param train_df: the training data, sorted by time\n"
    ":param holdout_df: the user holdout data, sorted by time\n"
    ":param time_col: name of the timestamp column",
    "None");

}  // namespace methods
}  // namespace qx
