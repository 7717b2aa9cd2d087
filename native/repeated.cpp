// The repeated-timestamp check of process_data_by_time_col.
#include "fastpath.hpp"
#include "methods.hpp"

namespace qx {

bool repeated_timestamps(PyObject* df, PyObject* time_col) {
  if (std::optional<bool> found = fast::repeated_values(df, time_col)) return *found;

  Ref subset = new_list();
  append(subset.get(), time_col);
  Ref duplicated = call_kw(attr(df, "duplicated").get(), {}, {{"subset", subset.get()}});
  if (!contains(call_method(duplicated, "to_list"), Py_True)) return false;
  // A missing timestamp is no repeated timestamp: parsing removes those rows.
  // A present value never equals a missing one, so the rows that repeat a
  // present value are the repeated rows that are not missing.
  Ref axis = from_ssize(1);
  Ref missing = call_kw(attr(call_method(item(df, subset.get()), "isna"), "any").get(), {}, {{"axis", axis.get()}});
  Ref present = check(PyNumber_Invert(missing.get()));
  Ref repeated = check(PyNumber_And(duplicated.get(), present.get()));
  return contains(call_method(repeated, "to_list"), Py_True);
}

}  // namespace qx
