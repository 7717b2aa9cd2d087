#include "methods.hpp"

namespace qx {

Ref process_data(Frame&) { not_implemented("process_data"); }

}  // namespace qx
