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
