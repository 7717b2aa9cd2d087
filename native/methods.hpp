// The bodies of the fifteen DataHelper methods, one group per source file.
// Each receives its bound arguments in parameter order (self first for the
// instance methods) and returns a new reference or throws PyErrorSet.
#pragma once

#include "namespace.hpp"

namespace qx {

// pipeline.cpp
Ref process_data(Frame& f);
// columns.cpp
Ref validate_input_params(Frame& f);
Ref get_cols_idx(Frame& f);
Ref check_time_col_specified_twice(Frame& f);
Ref validate_input_data_col_num(Frame& f);
// conversion.cpp
Ref str2float(Frame& f);
Ref check_missing(Frame& f);
// timestamps.cpp
Ref parse_time_col(Frame& f);
Ref validate_time_interval(Frame& f);
Ref process_data_by_time_col(Frame& f);
// repeated.cpp: whether df[time_col] repeats a present value (the check of
// process_data_by_time_col; missing values are never repeated values)
bool repeated_timestamps(PyObject* df, PyObject* time_col);
// lengths.cpp
Ref validate_input_data(Frame& f);
Ref validate_data_len(Frame& f);
Ref validate_user_holdout_len(Frame& f);
Ref check_user_holdout_metadata(Frame& f);
Ref check_user_holdout_newer(Frame& f);

}  // namespace qx
