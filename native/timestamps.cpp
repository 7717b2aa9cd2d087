#include "methods.hpp"

namespace qx {

Ref parse_time_col(Frame&) { not_implemented("parse_time_col"); }

Ref validate_time_interval(Frame&) { not_implemented("validate_time_interval"); }

Ref process_data_by_time_col(Frame&) { not_implemented("process_data_by_time_col"); }

}  // namespace qx
