#include "function.hpp"

#include <structmember.h>

#include <exception>
#include <new>
#include <span>

namespace qx {
namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const MethodDesc* desc;
  PyObject* globals;      // module namespace
  PyObject* name;         // str
  PyObject* qualname;     // str
  PyObject* module;       // str
  PyObject* doc;          // str or None
  PyObject* defaults;     // tuple, or NULL when no parameter has a default
  PyObject* annotations;  // dict
  PyObject* signature;    // inspect.Signature, built on first request
  PyObject* weakrefs;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};  // slots filled in function_type_ready()
#pragma GCC diagnostic pop

inline FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ---- argument errors, worded as the interpreter words them for a def ------------

Py_ssize_t default_count(const FunctionObject* fn) {
  return fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
}

[[noreturn]] void too_many_positional(FunctionObject* fn, Py_ssize_t given) {
  const Py_ssize_t argc = static_cast<Py_ssize_t>(fn->desc->nparams);
  const Py_ssize_t defcount = default_count(fn);
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
  PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", fn->qualname,
               sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
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
    joined = check(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                        PyList_GET_ITEM(names.get(), 1)));
  } else {
    Ref last = Ref::borrow(PyList_GET_ITEM(names.get(), missing - 1));
    check(PyList_SetSlice(names.get(), missing - 1, missing, nullptr));
    Ref sep = text(", ");
    Ref head = check(PyUnicode_Join(sep.get(), names.get()));
    joined = check(PyUnicode_FromFormat("%U, and %U", head.get(), last.get()));
  }
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", fn->qualname,
               missing, missing == 1 ? "" : "s", joined.get());
  throw_error();
}

// Fills slots[0..n) from the call; throws with a TypeError set on a bad call.
void bind(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
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
    if (j == n) {
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname, key);
      throw_error();
    }
    if (slots[j]) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, key);
      throw_error();
    }
    slots[j] = args[nargs + k];
  }

  if (nargs > n) too_many_positional(fn, nargs);

  const Py_ssize_t defcount = default_count(fn);
  const Py_ssize_t required = n - defcount;
  for (Py_ssize_t i = 0; i < required; ++i) {
    if (!slots[i]) missing_arguments(fn, slots, required);
  }
  for (Py_ssize_t i = required; i < n; ++i) {
    if (!slots[i]) slots[i] = PyTuple_GET_ITEM(fn->defaults, i - required);
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
        Ref keep = Ref::borrow(self);  // the defaults we lend to the body live in here
        PyObject* slots[kMaxParams] = {};
        bind(fn, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
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
  Py_VISIT(fn->globals);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->signature);
  return 0;
}

int fn_clear(PyObject* self) {
  FunctionObject* fn = as_fn(self);
  Py_CLEAR(fn->globals);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->doc);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->signature);
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_fn(self)->weakrefs) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  PyObject_GC_Del(self);
}

PyObject* fn_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

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
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_fn(self)->module); }
PyObject* get_doc(PyObject* self, void*) { return get_or_none(as_fn(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) { return get_or_none(as_fn(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_fn(self)->globals); }

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
  const Py_ssize_t required = n - default_count(fn);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref pname = text(descs[i].name);
    PyObject* annotation = PyDict_GetItemWithError(fn->annotations, pname.get());
    if (!annotation && PyErr_Occurred()) throw_error();
    PyObject* def = i >= required ? PyTuple_GET_ITEM(fn->defaults, i - required) : empty.get();
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
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Evaluates an annotation text in the module namespace, as a def does.
Ref eval_annotation(const char* expr, PyObject* globals) {
  return check(PyRun_String(expr, Py_eval_input, globals, globals));
}

}  // namespace

int function_type_ready() {
  FunctionType.tp_name = "quarnex.utils.data_helper.function";
  FunctionType.tp_basicsize = sizeof(FunctionObject);
  FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                          Py_TPFLAGS_METHOD_DESCRIPTOR;
  FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  FunctionType.tp_call = PyVectorcall_Call;
  FunctionType.tp_dealloc = fn_dealloc;
  FunctionType.tp_traverse = fn_traverse;
  FunctionType.tp_clear = fn_clear;
  FunctionType.tp_repr = fn_repr;
  FunctionType.tp_descr_get = fn_descr_get;
  FunctionType.tp_getset = fn_getset;
  FunctionType.tp_methods = fn_methods;
  FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  return PyType_Ready(&FunctionType);
}

Ref make_function(const MethodDesc& desc, PyObject* globals, PyObject* nan) {
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
  Ref module = text("quarnex.utils.data_helper");
  Ref doc = desc.doc ? text(desc.doc) : Ref::borrow(Py_None);
  Ref defaults_tuple;
  if (PyList_GET_SIZE(defaults.get()) > 0) defaults_tuple = check(PyList_AsTuple(defaults.get()));

  FunctionObject* fn = PyObject_GC_New(FunctionObject, &FunctionType);
  if (!fn) throw_error();
  fn->vectorcall = fn_vectorcall;
  fn->desc = &desc;
  fn->globals = Py_NewRef(globals);
  fn->name = name.release();
  fn->qualname = qualname.release();
  fn->module = module.release();
  fn->doc = doc.release();
  fn->defaults = defaults_tuple.release();
  fn->annotations = annotations.release();
  fn->signature = nullptr;
  fn->weakrefs = nullptr;
  PyObject_GC_Track(fn);
  return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace qx
