// The method object of DataHelper: a small function type that binds arguments
// the way the interpreter binds them for a `def`, checks the declared str and
// list parameters on entry, binds to instances as a method, and answers
// introspection (__defaults__, __annotations__, __signature__, ...).
#pragma once

#include "namespace.hpp"

#include <vector>

namespace qx {

enum class Check : char { None, Str, List };      // entry check of a parameter
enum class Default : char { Required, NoneValue, NumpyNaN };

struct ParamDesc {
  const char* name;
  const char* annotation;  // Python expression evaluated in the module namespace; nullptr: none
  Check check;
  Default def;
};

struct MethodDesc {
  const char* name;
  const char* doc;                // nullptr: no documentation string
  bool is_static;
  const char* return_annotation;  // nullptr: none
  std::vector<ParamDesc> params;  // for instance methods the first is self
  Body body;
};

// Readies the function type; call once during module initialisation.
int function_type_ready();

// A new method object for `desc`. `globals` is the module namespace the body
// reads its names from; `nan` the default for Default::NumpyNaN parameters.
// Annotations are evaluated now, as a def statement does.
Ref make_function(const MethodDesc& desc, PyObject* globals, PyObject* nan);

}  // namespace qx
