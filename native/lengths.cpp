// Input data, data length, holdout length, and the holdout table's metadata
// and recency.
#include "methods.hpp"

namespace qx {

Ref validate_input_data(Frame&) { not_implemented("validate_input_data"); }

Ref validate_data_len(Frame&) { not_implemented("validate_data_len"); }

Ref validate_user_holdout_len(Frame&) { not_implemented("validate_user_holdout_len"); }

Ref check_user_holdout_metadata(Frame& f) {
  PyObject* train_df = f[1];
  PyObject* holdout_df = f[2];
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

Ref check_user_holdout_newer(Frame& f) {
  PyObject* train_df = f[1];
  PyObject* holdout_df = f[2];
  PyObject* time_col = f[3];
  Ref last = item(attr(item(train_df, time_col), "iat"), from_ssize(-1));
  Ref first = item(attr(item(holdout_df, time_col), "iat"), from_ssize(0));
  if (gt(last, first)) raise_message(f, "QUARNEX0087E");
  return Ref::borrow(Py_None);
}

}  // namespace qx
