// The fifteen DataHelper methods, each described beside its body (see
// describe() in function.hpp), one group per source file.
#pragma once

#include "runtime/function.hpp"

namespace qx::methods {

// pipeline.cpp
extern const MethodDesc process_data;
// columns.cpp
extern const MethodDesc validate_input_params;
extern const MethodDesc get_cols_idx;
extern const MethodDesc check_time_col_specified_twice;
extern const MethodDesc validate_input_data_col_num;
// conversion.cpp
extern const MethodDesc str2float;
extern const MethodDesc check_missing;
// timestamps.cpp
extern const MethodDesc parse_time_col;
extern const MethodDesc validate_time_interval;
extern const MethodDesc process_data_by_time_col;
// lengths.cpp
extern const MethodDesc validate_input_data;
extern const MethodDesc validate_data_len;
extern const MethodDesc validate_user_holdout_len;
extern const MethodDesc check_user_holdout_metadata;
extern const MethodDesc check_user_holdout_newer;

}  // namespace qx::methods

namespace qx {

// lengths.cpp, shared with the pipeline: whether a holdout size is a ratio of
// the rows (else a row count), and the holdout rows once the length check has
// cut the table to its latest `rows_left` rows (`holdout_rows` were worked out
// on the whole table from the caller's `holdout_size`): a ratio's share of the
// rows left, never more than before; a count must stay below the rows left
// (QUARNEX0101E).
bool is_ratio(const Frame& f, PyObject* holdout_size);
Ref holdout_after_cut(const Frame& f, PyObject* holdout_size, PyObject* holdout_rows, PyObject* rows_left,
                      PyObject* learning_type);

}  // namespace qx
