// process_data: runs every check and preparation step, in a fixed order,
// through one fresh DataHelper instance per call.
//
// The instance is created from whatever the module global `DataHelper` is at
// call time, and each step is an attribute lookup on it at the moment of the
// call, so subclasses and patched methods take effect. No step is caught: the
// first error ends the call, and what earlier steps did to the caller's tables
// and warning list stays done.
#include "checks/methods.hpp"

namespace qx {
namespace {

// A target or feature designation as a list: a list (or list subclass) as it
// is; a value equal to the unset marker -1 as a new empty list; anything else
// as a new one-element list holding it (never spread).
Ref as_designation_list(PyObject* cols, PyObject* unset) {
  if (PyList_Check(cols)) return Ref::borrow(cols);
  Ref list = new_list();
  if (ne(cols, unset)) append(list.get(), cols);
  return list;
}

Ref process_data(const Frame& f, PyObject* df_arg, PyObject* learning_type, PyObject* target_columns,
                 PyObject* feature_columns, PyObject* timestamp_column, PyObject* anomaly_label_column,
                 PyObject* holdout_size_arg, PyObject* user_holdout_arg, PyObject* tshirt_size, PyObject* warn_msg) {
  Ref df = Ref::borrow(df_arg);
  Ref user_holdout_df = Ref::borrow(user_holdout_arg);
  Ref holdout_size = Ref::borrow(holdout_size_arg);

  Ref helper = call(global(f, G::DataHelper));

  call_method(helper, "validate_input_params", learning_type, target_columns, feature_columns, user_holdout_df,
              tshirt_size);

  Ref unset = from_ssize(-1);
  Ref targets = as_designation_list(target_columns, unset.get());
  Ref features = as_designation_list(feature_columns, unset.get());

  holdout_size = call_method(helper, "validate_input_data", df, learning_type, holdout_size, warn_msg, user_holdout_df);

  Ref target_idx = call_method(helper, "get_cols_idx", df, targets, global(f, G::COLUMN_ROLE_TARGET), learning_type);
  Ref feature_idx;
  {
    Ref get_cols_idx = attr(helper, "get_cols_idx");
    Ref role = global(f, G::COLUMN_ROLE_FEATURE);
    feature_idx =
        call_kw(get_cols_idx.get(), {df.get(), features.get(), role.get(), learning_type}, {{"warn_msg", warn_msg}});
  }

  call_method(helper, "validate_input_data_col_num", learning_type, tshirt_size, target_idx, feature_idx);

  Ref timestamp_idx = unset;
  if (timestamp_column != Py_None && ne(timestamp_column, unset)) {
    timestamp_idx = call_method(helper, "get_cols_idx", df, list_of(timestamp_column),
                                global(f, G::COLUMN_ROLE_TIMESTAMP), learning_type);
  }
  Ref timestamp_name = Ref::borrow(Py_None);
  if (ne(timestamp_idx, unset)) {
    timestamp_name = item(attr(df, "columns"), timestamp_idx);
    call_method(helper, "check_time_col_specified_twice", timestamp_idx, timestamp_name, target_idx,
                global(f, G::COLUMN_ROLE_TARGET));
    call_method(helper, "check_time_col_specified_twice", timestamp_idx, timestamp_name, feature_idx,
                global(f, G::COLUMN_ROLE_FEATURE));
  }

  // The anomaly-label designation is resolved, and its column converted, only
  // for anomaly prediction. For forecasting it is no column role at all: the
  // caller's value comes back unchanged and no column is touched on its
  // account (converting "the column at -1" would rewrite an unrelated column
  // of the caller's table, or fail on it with a misleading message).
  Ref anomaly_idx = Ref::borrow(anomaly_label_column);
  bool anomaly_resolved = false;
  if (anomaly_label_column != Py_None && eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION))) {
    anomaly_idx = call_method(helper, "get_cols_idx", df, list_of(anomaly_label_column),
                              global(f, G::COLUMN_ROLE_ANOMALY_LABEL), learning_type);
    anomaly_resolved = true;
  }

  // Targets of anomaly prediction are inputs like the features: they are
  // converted under that role and must have no missing value.
  const bool anomaly = eq(learning_type, global(f, G::LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION));
  Ref target_role = global(f, anomaly ? G::COLUMN_ROLE_FEATURE : G::COLUMN_ROLE_TARGET);
  call_method(helper, "str2float", df, target_idx, target_role);
  if (anomaly) call_method(helper, "check_missing", df, target_idx);

  Ref feat_only = new_list();
  {
    Ref it = check(PyObject_GetIter(feature_idx.get()));
    while (PyObject* next = PyIter_Next(it.get())) {
      Ref pos = Ref::steal(next);
      if (!contains(target_idx, pos)) append(feat_only.get(), pos.get());
    }
    if (PyErr_Occurred()) throw_error();
  }
  call_method(helper, "str2float", df, feat_only, global(f, G::COLUMN_ROLE_FEATURE));
  if (anomaly_resolved && !anomaly_idx.is_none()) {
    call_method(helper, "str2float", df, list_of(anomaly_idx.get()), global(f, G::COLUMN_ROLE_ANOMALY_LABEL));
  }
  // The holdout rows are appended to the training rows later on, so the
  // holdout table's columns get the same conversion; otherwise numbers given
  // as text in it would end up as text in the prepared table. Its columns
  // have been checked against df's, so the positions apply to it as well.
  if (!user_holdout_df.is_none()) {
    call_method(helper, "str2float", user_holdout_df, target_idx, target_role);
    call_method(helper, "str2float", user_holdout_df, feat_only, global(f, G::COLUMN_ROLE_FEATURE));
  }

  Ref prepared = call_method(helper, "process_data_by_time_col", df, user_holdout_df, timestamp_name, learning_type,
                             holdout_size, warn_msg);
  auto [prepared_df, prepared_holdout, prepared_size] = unpack<3>(prepared.get());
  df = std::move(prepared_df);
  user_holdout_df = std::move(prepared_holdout);
  holdout_size = std::move(prepared_size);

  const Py_ssize_t rows_before = length(df);
  df = call_method(helper, "validate_data_len", df, learning_type, tshirt_size, warn_msg);
  // Cut to its latest rows, the table keeps a holdout of its own size (a
  // user holdout table is the newest rows and stays whole).
  if (user_holdout_df.is_none() && length(df) < rows_before) {
    holdout_size =
        holdout_after_cut(f, holdout_size_arg, holdout_size.get(), from_ssize(length(df)).get(), learning_type);
  }

  return check(PyTuple_Pack(7, df.get(), user_holdout_df.get(), holdout_size.get(), target_idx.get(), feature_idx.get(),
                            timestamp_idx.get(), anomaly_idx.get()));
}

}  // namespace

namespace methods {
using namespace desc;

constexpr MethodDesc process_data = describe<qx::process_data>(
    "process_data", Kind::Static,
    {{"df", "pd.DataFrame", N, REQ},
     {"learning_type", "str", S, REQ},
     {"target_columns", "Union[list, int, str]", N, REQ},
     {"feature_columns", "Union[list, int, str]", N, REQ},
     {"timestamp_column", "Union[int, float, str]", N, REQ},
     {"anomaly_label_column", "Union[int, float, str]", N, REQ},
     {"holdout_size", "Union[float, int]", N, REQ},
     {"user_holdout_df", "pd.DataFrame", N, REQ},
     {"tshirt_size", "str", S, REQ},
     {"warn_msg", "list", L, REQ}},
    nullptr,
    "Check and prepare the data of one model-building run.\n\n"
    ":param df: the input data (the training data when user_holdout_df is given)\n"
    ":param learning_type: forecasting or timeseries anomaly prediction\n"
    ":param target_columns: target column designations (positions or labels), or one designation\n"
    ":param feature_columns: feature column designations (positions or labels), or one designation\n"
    ":param timestamp_column: timestamp column designation; None or -1 when there is none\n"
    ":param anomaly_label_column: anomaly label column designation, or None\n"
    ":param holdout_size: holdout ratio (a float below 1) or number of holdout rows\n"
    ":param user_holdout_df: the user holdout data, or None\n"
    ":param tshirt_size: the t-shirt size that selects the limits\n"
    ":param warn_msg: list to which warning texts are appended\n"
    ":return: (df, user_holdout_df, holdout_size, target_column_indexes, feature_column_indexes,\n"
    "          timestamp_column_idx, anomaly_label_column_idx)",
    "tuple[pd.DataFrame, pd.DataFrame | None, int, list[int], list[int], int, Any]");

}  // namespace methods
}  // namespace qx
