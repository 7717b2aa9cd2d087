#include "runtime/function.hpp"

#include <structmember.h>

#include <algorithm>
#include <exception>
#include <new>
#include <span>

namespace qx {
namespace {

// The attributes a def function lets callers assign (__name__, __qualname__,
// __doc__, __defaults__, __kwdefaults__, __annotations__, __dict__, and any
// other through __dict__) are assignable here too, with the same rules; the
// binder reads the current __defaults__. __module__ is the type's, until a
// caller assigns one of the object's own (it is then kept in __dict__).
struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  const MethodDesc* desc;
  PyObject* globals;      // module namespace
  PyObject* name;         // str
  PyObject* qualname;     // str
  PyObject* doc;          // any object, or NULL (None)
  PyObject* defaults;     // tuple, or NULL (None)
  PyObject* kwdefaults;   // dict, or NULL (None)
  PyObject* annotations;  // dict
  PyObject* signature;    // inspect.Signature, built on first request; NULL after a change
  PyObject* dict;         // __dict__, made on first use
  PyObject* weakrefs;
};

inline FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ---- argument errors, worded as the interpreter words them for a def ------------

Py_ssize_t default_count(PyObject* defaults) { return defaults ? PyTuple_GET_SIZE(defaults) : 0; }

// The default of parameter i of n, or NULL when it has none: the defaults
// belong to the last parameters (a tuple longer than the parameters gives
// its last values, as for a def).
PyObject* default_of(PyObject* defaults, Py_ssize_t i, Py_ssize_t n) {
  const Py_ssize_t k = i - (n - default_count(defaults));
  return k >= 0 ? PyTuple_GET_ITEM(defaults, k) : nullptr;
}

[[noreturn]] void too_many_positional(FunctionObject* fn, PyObject* defaults, Py_ssize_t given) {
  const Py_ssize_t argc = static_cast<Py_ssize_t>(fn->desc->nparams);
  const Py_ssize_t defcount = default_count(defaults);
  Ref sig;
  bool plural;
  if (defcount) {
    plural = true;
    sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argc - defcount, argc));
  } else {
    plural = argc != 1;
    sig = Ref::steal(PyUnicode_FromFormat("%zd", argc));
  }
  if (!sig) throw_error();
  PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", fn->qualname, sig.get(),
               plural ? "s" : "", given, given == 1 ? "was" : "were");
  throw_error();
}

[[noreturn]] void missing_arguments(FunctionObject* fn, PyObject* const* slots, Py_ssize_t end) {
  Ref names = check(PyList_New(0));
  for (Py_ssize_t i = 0; i < end; ++i) {
    if (slots[i]) continue;
    Ref n = check(PyUnicode_FromFormat("'%s'", fn->desc->params[i].name));
    append(names.get(), n.get());
  }
  const Py_ssize_t missing = PyList_GET_SIZE(names.get());
  Ref joined;
  if (missing == 1) {
    joined = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
  } else if (missing == 2) {
    joined = check(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1)));
  } else {
    Ref last = Ref::borrow(PyList_GET_ITEM(names.get(), missing - 1));
    check(PyList_SetSlice(names.get(), missing - 1, missing, nullptr));
    Ref sep = text(", ");
    Ref head = check(PyUnicode_Join(sep.get(), names.get()));
    joined = check(PyUnicode_FromFormat("%U, and %U", head.get(), last.get()));
  }
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", fn->qualname, missing,
               missing == 1 ? "" : "s", joined.get());
  throw_error();
}

// The interpreter's closest parameter name to a mistyped keyword, or an empty
// Ref. From 3.13 a def's error names it ("Did you mean ...?"), computed by
// the interpreter's own suggestion routine, which it exposes as _suggestions.
Ref keyword_suggestion([[maybe_unused]] FunctionObject* fn, [[maybe_unused]] PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
  try {
    Ref names = new_list();
    for (const ParamDesc& p : std::span(fn->desc->params.data(), fn->desc->nparams)) {
      append(names.get(), text(p.name).get());
    }
    Ref suggest = import_attr("_suggestions", "_generate_suggestions");
    Ref found = call(suggest, names, key);
    if (PyUnicode_Check(found.get())) return found;
  } catch (const PyErrorSet&) {
    PyErr_Clear();  // no suggestion, as the interpreter does when this fails
  }
#endif
  return Ref();
}

[[noreturn]] void unexpected_keyword(FunctionObject* fn, PyObject* key) {
  if (Ref suggestion = keyword_suggestion(fn, key)) {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", fn->qualname, key,
                 suggestion.get());
  } else {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname, key);
  }
  throw_error();
}

// Fills slots[0..n) from the call and `defaults` (a tuple or NULL); throws
// with a TypeError set on a bad call.
void bind(FunctionObject* fn, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) {
  const ParamDesc* params = fn->desc->params.data();
  const Py_ssize_t n = static_cast<Py_ssize_t>(fn->desc->nparams);
  for (Py_ssize_t i = 0; i < n && i < nargs; ++i) slots[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
      throw_error();
    }
    Py_ssize_t j = 0;
    for (; j < n; ++j) {
      if (PyUnicode_CompareWithASCIIString(key, params[j].name) == 0) break;
    }
    if (PyErr_Occurred()) throw_error();
    if (j == n) unexpected_keyword(fn, key);
    if (slots[j]) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, key);
      throw_error();
    }
    slots[j] = args[nargs + k];
  }

  if (nargs > n) too_many_positional(fn, defaults, nargs);

  const Py_ssize_t required = std::max<Py_ssize_t>(0, n - default_count(defaults));
  for (Py_ssize_t i = 0; i < required; ++i) {
    if (!slots[i]) missing_arguments(fn, slots, required);
  }
  for (Py_ssize_t i = required; i < n; ++i) {
    if (!slots[i]) slots[i] = default_of(defaults, i, n);
  }
}

// The declared str and list parameters: exactly that type, or None.
void entry_checks(FunctionObject* fn, PyObject* const* slots) {
  const ParamDesc* params = fn->desc->params.data();
  for (size_t i = 0; i < fn->desc->nparams; ++i) {
    PyObject* v = slots[i];
    const char* expected = nullptr;
    if (params[i].check == Check::Str && v != Py_None && Py_TYPE(v) != &PyUnicode_Type) expected = "str";
    if (params[i].check == Check::List && v != Py_None && Py_TYPE(v) != &PyList_Type) expected = "list";
    if (expected) {
      PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   params[i].name, expected, Py_TYPE(v)->tp_name);
      throw_error();
    }
  }
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  FunctionObject* fn = as_fn(self);
  return boundary(
      [&] {
        // The defaults lent to the body stay alive while it runs, even when
        // it assigns __defaults__.
        Ref defaults = Ref::borrow(fn->defaults);
        PyObject* slots[kMaxParams] = {};
        bind(fn, defaults.get(), args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        entry_checks(fn, slots);
        if (Py_EnterRecursiveCall(" while calling a DataHelper method")) throw_error();
        struct Leave {
          ~Leave() { Py_LeaveRecursiveCall(); }
        } leave;
        const Frame frame{fn->globals, slots, static_cast<Py_ssize_t>(fn->desc->nparams)};
        return fn->desc->body(frame);
      },
      PyUnicode_AsUTF8(fn->qualname));
}

// ---- type slots -----------------------------------------------------------------------

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* fn = as_fn(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->globals);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->kwdefaults);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->signature);
  Py_VISIT(fn->dict);
  return 0;
}

int fn_clear(PyObject* self) {
  FunctionObject* fn = as_fn(self);
  Py_CLEAR(fn->globals);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->kwdefaults);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->signature);
  Py_CLEAR(fn->dict);
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_fn(self)->weakrefs) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyObject* fn_repr(PyObject* self) { return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self); }

// Binds like a def function, static methods included: their staticness comes
// from the staticmethod wrapper in the class dict. Binding here for every
// method keeps `obj.attr(...)` (which the interpreter may call unbound with obj
// prepended, as the type is a method descriptor) and `m = obj.attr; m(...)`
// the same when the object is stored on another class.
PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* get_or_none(PyObject* v) { return Py_NewRef(v ? v : Py_None); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
PyObject* get_doc(PyObject* self, void*) { return get_or_none(as_fn(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return get_or_none(as_fn(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) { return get_or_none(as_fn(self)->kwdefaults); }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_fn(self)->globals); }

// ---- assignment, with a def function's rules ----------------------------------------

// Any object; deleting makes it None.
int set_any(PyObject*& field, PyObject* value) {
  Py_XSETREF(field, Py_XNewRef(value));
  return 0;
}

// An object of the given type, or None / deletion for none at all.
int set_optional(PyObject*& field, PyObject* value, bool (*ok)(PyObject*), const char* message) {
  if (value == Py_None) value = nullptr;
  if (value && !ok(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  return set_any(field, value);
}

// A str, never deleted.
int set_text(PyObject*& field, PyObject* value, const char* message) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  return set_any(field, value);
}

bool is_tuple(PyObject* o) { return PyTuple_Check(o); }
bool is_dict(PyObject* o) { return PyDict_Check(o); }

int set_name(PyObject* self, PyObject* value, void*) {
  return set_text(as_fn(self)->name, value, "__name__ must be set to a string object");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_text(as_fn(self)->qualname, value, "__qualname__ must be set to a string object");
}
int set_doc(PyObject* self, PyObject* value, void*) { return set_any(as_fn(self)->doc, value); }
int set_defaults(PyObject* self, PyObject* value, void*) {
  FunctionObject* fn = as_fn(self);
  if (set_optional(fn->defaults, value, is_tuple, "__defaults__ must be set to a tuple object") < 0) return -1;
  Py_CLEAR(fn->signature);  // it shows the defaults
  return 0;
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  return set_optional(as_fn(self)->kwdefaults, value, is_dict, "__kwdefaults__ must be set to a dict object");
}
// A dict, or None / deletion for an empty one.
int set_annotations(PyObject* self, PyObject* value, void*) {
  FunctionObject* fn = as_fn(self);
  if (value && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  PyObject* annotations = value && value != Py_None ? Py_NewRef(value) : PyDict_New();
  if (!annotations) return -1;
  Py_SETREF(fn->annotations, annotations);
  Py_CLEAR(fn->signature);  // it shows the annotations
  return 0;
}

// A signature of the caller's own, or (deleted) the one made from the method.
int set_signature(PyObject* self, PyObject* value, void*) { return set_any(as_fn(self)->signature, value); }

// A fresh dict each time, as callers may change what they get.
PyObject* get_annotations(PyObject* self, void*) { return PyDict_Copy(as_fn(self)->annotations); }

Ref build_signature(FunctionObject* fn) {
  Ref inspect = import_module("inspect");
  Ref param_cls = attr(inspect, "Parameter");
  Ref sig_cls = attr(inspect, "Signature");
  Ref kind = attr(param_cls, "POSITIONAL_OR_KEYWORD");
  Ref empty = attr(param_cls, "empty");
  Ref params = new_list();
  const ParamDesc* descs = fn->desc->params.data();
  const Py_ssize_t n = static_cast<Py_ssize_t>(fn->desc->nparams);
  Ref defaults = Ref::borrow(fn->defaults);  // held: the calls below run Python code
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref pname = text(descs[i].name);
    PyObject* annotation = PyDict_GetItemWithError(fn->annotations, pname.get());
    if (!annotation && PyErr_Occurred()) throw_error();
    PyObject* def = default_of(defaults.get(), i, n);
    if (!def) def = empty.get();
    Ref p = call_kw(param_cls.get(), {pname.get(), kind.get()},
                    {{"default", def}, {"annotation", annotation ? annotation : empty.get()}});
    append(params.get(), p.get());
  }
  PyObject* ret = PyDict_GetItemString(fn->annotations, "return");
  return call_kw(sig_cls.get(), {params.get()}, {{"return_annotation", ret ? ret : empty.get()}});
}

PyObject* get_signature(PyObject* self, void*) {
  FunctionObject* fn = as_fn(self);
  return boundary(
      [&] {
        if (!fn->signature) {
          Ref sig = build_signature(fn);
          // Building runs Python code, so another thread may have stored one
          // meanwhile: keep the first, drop ours.
          if (!fn->signature) fn->signature = sig.release();
        }
        return Ref::borrow(fn->signature);
      },
      "__signature__");
}

PyObject* fn_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {Py_tp_methods, fn_methods},
    {0, nullptr},
};

// Evaluates an annotation text in the module namespace, as a def does.
Ref eval_annotation(const char* expr, PyObject* globals) {
  return check(PyRun_String(expr, Py_eval_input, globals, globals));
}

}  // namespace

bool is_bound_body(PyObject* bound, PyObject* self, const MethodDesc& desc) {
  if (!PyMethod_Check(bound) || PyMethod_GET_SELF(bound) != self) return false;
  PyObject* fn = PyMethod_GET_FUNCTION(bound);
  // the method object type is the one whose binding is fn_descr_get
  if (PyType_GetSlot(Py_TYPE(fn), Py_tp_descr_get) != reinterpret_cast<void*>(fn_descr_get)) return false;
  return reinterpret_cast<FunctionObject*>(fn)->desc == &desc;
}

Ref make_function_type(PyObject* module) {
  // Made from a PyType_Spec: a heap type of its module, not instantiable from
  // Python and with fixed attributes, like the interpreter's function type.
  PyType_Spec type_spec = {
      "quarnex.utils.data_helper.function",
      static_cast<int>(sizeof(FunctionObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
          Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
      fn_slots,
  };
  return check(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
}

Ref make_function(PyObject* type, const MethodDesc& desc, PyObject* globals, PyObject* nan) {
  // Defaults: the trailing parameters that have one (describe() has checked
  // that they are trailing), in order.
  Ref defaults = new_list();
  for (const ParamDesc& p : std::span(desc.params.data(), desc.nparams)) {
    if (p.def != Default::Required) append(defaults.get(), p.def == Default::NumpyNaN ? nan : Py_None);
  }
  Ref annotations = new_dict();
  for (const ParamDesc& p : std::span(desc.params.data(), desc.nparams)) {
    if (!p.annotation) continue;
    Ref value = eval_annotation(p.annotation, globals);
    check(PyDict_SetItemString(annotations.get(), p.name, value.get()));
  }
  if (desc.return_annotation) {
    Ref value = eval_annotation(desc.return_annotation, globals);
    check(PyDict_SetItemString(annotations.get(), "return", value.get()));
  }
  Ref name = text(desc.name);
  Ref qualname = check(PyUnicode_FromFormat("DataHelper.%s", desc.name));
  Ref doc = desc.doc ? text(desc.doc) : Ref::borrow(Py_None);
  Ref defaults_tuple;
  if (PyList_GET_SIZE(defaults.get()) > 0) defaults_tuple = check(PyList_AsTuple(defaults.get()));

  FunctionObject* fn = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(type));
  if (!fn) throw_error();
  fn->vectorcall = fn_vectorcall;
  fn->desc = &desc;
  fn->globals = Py_NewRef(globals);
  fn->name = name.release();
  fn->qualname = qualname.release();
  fn->doc = doc.release();
  fn->defaults = defaults_tuple.release();
  fn->kwdefaults = nullptr;
  fn->annotations = annotations.release();
  fn->signature = nullptr;
  fn->dict = nullptr;
  fn->weakrefs = nullptr;
  PyObject_GC_Track(fn);
  return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace qx
