// The fifteen DataHelper methods, each described beside its body (see
// describe() in function.hpp), one group per source file.
#pragma once

#include "runtime/function.hpp"

// The fifteen methods in the order the class lists them, each with the file
// that holds it. The module builds the class from this list; the tests take
// the methods from the class.
// clang-format off
#define QX_METHODS(X)                                                                   \
  X(process_data)                 /* pipeline.cpp */                                    \
  X(validate_input_data_col_num)  /* columns.cpp */                                     \
  X(parse_time_col)               /* timestamps.cpp */                                  \
  X(validate_time_interval)       /* timestamps.cpp */                                  \
  X(check_user_holdout_newer)     /* lengths.cpp */                                     \
  X(validate_data_len)            /* lengths.cpp */                                     \
  X(validate_user_holdout_len)    /* lengths.cpp */                                     \
  X(check_user_holdout_metadata)  /* lengths.cpp */                                     \
  X(check_missing)                /* conversion.cpp */                                  \
  X(validate_input_params)        /* columns.cpp */                                     \
  X(validate_input_data)          /* lengths.cpp */                                     \
  X(get_cols_idx)                 /* columns.cpp */                                     \
  X(check_time_col_specified_twice) /* columns.cpp */                                   \
  X(str2float)                    /* conversion.cpp */                                  \
  X(process_data_by_time_col)     /* timestamps.cpp */
// clang-format on

namespace qx::methods {

#define QX_METHOD_DECLARATION(name) extern const MethodDesc name;
QX_METHODS(QX_METHOD_DECLARATION)
#undef QX_METHOD_DECLARATION

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
