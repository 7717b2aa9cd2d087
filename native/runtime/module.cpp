// Module initialisation: the imports bound in the namespace in their fixed
// order, then the class DataHelper made the way a class statement makes it.
#include "checks/methods.hpp"
#include "fast/fastpath.hpp"
#include "runtime/function.hpp"

namespace qx {
namespace {

// The fifteen methods, in their order of definition in the class.
const MethodDesc* const kMethods[] = {
#define QX_METHOD_ENTRY(name) &methods::name,
    QX_METHODS(QX_METHOD_ENTRY)
#undef QX_METHOD_ENTRY
};

const char* const kConstantNames[] = {
#define QX_CONSTANT_TEXT(name) #name,
    QX_CONSTANT_NAMES(QX_CONSTANT_TEXT)
#undef QX_CONSTANT_TEXT
};

// `from module import name [as bound]`, into the namespace.
void from_import(PyObject* ns, const char* module, const char* name) {
  Ref fromlist = check(Py_BuildValue("(s)", name));
  Ref mod = check(PyImport_ImportModuleLevel(module, ns, nullptr, fromlist.get(), 0));
  PyObject* value = PyObject_GetAttrString(mod.get(), name);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw_error();
  }
  Ref v = Ref::steal(value);
  check(PyDict_SetItemString(ns, name, v.get()));
}

// `import module as bound`, into the namespace.
void import_as(PyObject* ns, const char* module, const char* bound) {
  Ref mod = import_module(module);
  check(PyDict_SetItemString(ns, bound, mod.get()));
}

void make_class(PyObject* module, PyObject* ns) {
  Ref function_type = make_function_type(module);
  Ref np = item(ns, text("np").get());
  Ref nan = numpy_nan(np.get());
  Ref body = new_dict();
  Ref modname = text("quarnex.utils.data_helper");
  check(PyDict_SetItemString(body.get(), "__module__", modname.get()));
  Ref qualname = text("DataHelper");
  check(PyDict_SetItemString(body.get(), "__qualname__", qualname.get()));
  for (const MethodDesc* desc : kMethods) {
    Ref fn = make_function(function_type.get(), *desc, ns, nan.get());
    if (desc->kind == Kind::Static) fn = check(PyStaticMethod_New(fn.get()));
    check(PyDict_SetItemString(body.get(), desc->name, fn.get()));
  }
  Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), qualname, bases, body);
  check(PyDict_SetItemString(ns, "DataHelper", cls.get()));
}

void initialise(PyObject* module) {
  PyObject* ns = PyModule_GetDict(module);  // borrowed
  if (!ns) throw_error();
  from_import(ns, "typing", "Union");
  from_import(ns, "fractions", "Fraction");
  import_as(ns, "datetime", "datetime");
  import_as(ns, "pandas", "pd");
  import_as(ns, "numpy", "np");
  from_import(ns, "quarnex.utils.messages.messages", "Messages");
  Ref fromlist = check(PyList_New(0));
  for (const char* name : kConstantNames) append(fromlist.get(), text(name).get());
  Ref fromtuple = check(PyList_AsTuple(fromlist.get()));
  Ref constants = check(PyImport_ImportModuleLevel("quarnex.utils.constants", ns, nullptr, fromtuple.get(), 0));
  for (const char* name : kConstantNames) {
    PyObject* value = PyObject_GetAttrString(constants.get(), name);
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'quarnex.utils.constants'", name);
      throw_error();
    }
    Ref v = Ref::steal(value);
    check(PyDict_SetItemString(ns, name, v.get()));
  }
  make_class(module, ns);
}

PyObject* fastpath_stats(PyObject*, PyObject*) noexcept {
  return boundary([] { return fast::stats(); }, "_fastpath_stats");
}

PyObject* series_segments(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return boundary(
      [&]() -> Ref {
        if (nargs != 4 && nargs != 5) {
          PyErr_SetString(PyExc_TypeError,
                          "_series_segments(times, order, bounds, numbers, workers=1) takes 4 or 5 arguments");
          throw_error();
        }
        int workers = 1;
        if (nargs == 5) {
          const long given = PyLong_AsLong(args[4]);
          if (given == -1 && PyErr_Occurred()) throw_error();
          workers = given >= 2 ? 2 : 1;
        }
        std::optional<Ref> done = fast::series_segments(args[0], args[1], args[2], args[3], workers);
        return done ? std::move(*done) : Ref::borrow(Py_None);
      },
      "_series_segments");
}

// A text of the description, or None.
Ref text_or_none(const char* s) { return s ? text(s) : Ref::borrow(Py_None); }

// The descriptions of the methods, as the type stub is written from them
// (tools/genstub.py): [(name, "static" | "instance", [(parameter, annotation,
// "required" | "none" | "nan"), ...], result annotation, stub result)].
PyObject* method_table(PyObject*, PyObject*) noexcept {
  return boundary(
      [] {
        Ref table = new_list();
        for (const MethodDesc* desc : kMethods) {
          Ref params = new_list();
          for (std::size_t i = 0; i < desc->nparams; ++i) {
            const ParamDesc& p = desc->params[i];
            const char* def = p.def == Default::Required ? "required" : p.def == Default::NoneValue ? "none" : "nan";
            Ref name = text(p.name), annotation = text_or_none(p.annotation), default_kind = text(def);
            Ref one = check(PyTuple_Pack(3, name.get(), annotation.get(), default_kind.get()));
            append(params.get(), one.get());
          }
          Ref name = text(desc->name);
          Ref kind = text(desc->kind == Kind::Static ? "static" : "instance");
          Ref result = text_or_none(desc->return_annotation), stub = text_or_none(desc->stub_result);
          Ref row = check(PyTuple_Pack(5, name.get(), kind.get(), params.get(), result.get(), stub.get()));
          append(table.get(), row.get());
        }
        return table;
      },
      "_method_table");
}

PyMethodDef module_methods[] = {
    {"_fastpath_stats", fastpath_stats, METH_NOARGS,
     "_fastpath_stats()\n--\n\nCounts of the fast routes since start-up: {route: {'hit': n, reason: n, ...}}, "
     "where a reason says why the route declined (off, kind, value, settings, error)."},
    {"_series_segments", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(series_segments)), METH_FASTCALL,
     "_series_segments(times, order, bounds, numbers, workers=1)\n--\n\nThe instants of a long table's series in one "
     "pass, with which series are plain and their steps; None when the pass declines the table (see quarnex.check). "
     "With workers 2 or more, a large table's later half is read by a second thread."},
    {"_method_table", method_table, METH_NOARGS,
     "_method_table()\n--\n\nThe descriptions of the DataHelper methods, from which the type stub is written."},
    {nullptr, nullptr, 0, nullptr},
};

// Every import runs this on a new module object: its own namespace, its own
// method type and class (multi-phase initialisation).
int exec_module(PyObject* module) noexcept {
  return boundary_status(
      [&] {
        intern_globals();
        initialise(module);
      },
      "the initialisation of quarnex.utils.data_helper");
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The interned global names and the fast-route counters are shared by
    // the whole process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "data_helper", nullptr, 0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace qx

PyMODINIT_FUNC PyInit_data_helper() { return PyModuleDef_Init(&qx::module_def); }
