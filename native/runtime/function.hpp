// The method object of DataHelper: a small function type that binds arguments
// the way the interpreter binds them for a `def`, checks the declared str and
// list parameters on entry, binds to instances as a method, and answers
// introspection (__defaults__, __annotations__, __signature__, ...).
//
// A method is described once, beside its body, by describe<body>(...): its
// name, parameters (name, annotation, entry check, default), return
// annotation and documentation. The body takes its arguments as named
// parameters, one PyObject* per described parameter in the same order; the
// description is checked when it is compiled.
#pragma once

#include "runtime/pyops.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace qx {

enum class Check : char { None, Str, List };  // entry check of a parameter
enum class Default : char { Required, NoneValue, NumpyNaN };
enum class Kind : char { Instance, Static };

inline constexpr std::size_t kMaxParams = 16;

struct ParamDesc {
  const char* name;
  const char* annotation;  // Python expression evaluated in the module namespace; nullptr: none
  Check check;
  Default def;
};

struct MethodDesc {
  const char* name;
  Kind kind;
  std::array<ParamDesc, kMaxParams> params;  // the first nparams; for instance methods the first is self
  std::size_t nparams;
  const char* return_annotation;  // nullptr: none
  const char* doc;                // nullptr: no documentation string
  Body body;
  const char* stub_result;  // the result type the type stub declares (the method object itself has none)
};

// Short names for the parameter tables.
namespace desc {
inline constexpr Check S = Check::Str;
inline constexpr Check L = Check::List;
inline constexpr Check N = Check::None;
inline constexpr Default REQ = Default::Required;
inline constexpr Default NONE = Default::NoneValue;
inline constexpr Default NAN_DEFAULT = Default::NumpyNaN;
inline constexpr ParamDesc self{"self", nullptr, N, REQ};
}  // namespace desc

namespace detail {

template <class... P>
constexpr std::size_t arity(Ref (*)(const Frame&, P...)) {
  static_assert((std::is_same_v<P, PyObject*> && ...), "a method body takes its arguments as PyObject*");
  return sizeof...(P);
}

template <auto Fn, std::size_t... I>
Ref call_body(const Frame& f, std::index_sequence<I...>) {
  return Fn(f, f.args[I]...);
}

// The Body for Fn: hands it the bound arguments as its named parameters.
template <auto Fn>
Ref adapt(const Frame& f) {
  return call_body<Fn>(f, std::make_index_sequence<arity(Fn)>{});
}

constexpr bool same(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

}  // namespace detail

// The description of the method whose body is Fn. Evaluated when compiled:
// a description that does not fit its body fails the build.
template <auto Fn, std::size_t NP>
consteval MethodDesc describe(const char* name, Kind kind, const ParamDesc (&params)[NP], const char* return_annotation,
                              const char* doc, const char* stub_result) {
  if (NP > kMaxParams) throw "a method has more parameters than the method object can bind";
  if (detail::arity(Fn) != NP) throw "the body's parameters are not the described parameters";
  if (kind == Kind::Instance && !detail::same(params[0].name, "self")) throw "an instance method starts with self";
  bool defaulted = false;
  for (std::size_t i = 0; i < NP; ++i) {
    if (params[i].def != Default::Required) {
      defaulted = true;
    } else if (defaulted) {
      throw "a parameter without a default follows one with a default";
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (detail::same(params[i].name, params[j].name)) throw "two parameters have the same name";
    }
  }
  MethodDesc made{name, kind, {}, NP, return_annotation, doc, &detail::adapt<Fn>, stub_result};
  for (std::size_t i = 0; i < NP; ++i) made.params[i] = params[i];
  return made;
}

// A new method object type, belonging to `module`.
Ref make_function_type(PyObject* module);

// A new method object of `type` for `desc`. `globals` is the module namespace
// the body reads its names from; `nan` the default for Default::NumpyNaN
// parameters. Annotations are evaluated now, as a def statement does.
Ref make_function(PyObject* type, const MethodDesc& desc, PyObject* globals, PyObject* nan);

// Whether `bound` is a method object of `desc` bound to `self`: calling it runs
// that body, not something a caller put in its place.
bool is_bound_body(PyObject* bound, PyObject* self, const MethodDesc& desc);

}  // namespace qx
