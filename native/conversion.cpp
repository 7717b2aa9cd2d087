#include "methods.hpp"

namespace qx {

Ref str2float(Frame&) { not_implemented("str2float"); }

Ref check_missing(Frame&) { not_implemented("check_missing"); }

}  // namespace qx
