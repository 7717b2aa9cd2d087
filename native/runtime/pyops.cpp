#include "runtime/pyops.hpp"

namespace qx {
namespace {
constexpr std::size_t kMaxCatalogueArgs = 8;
}  // namespace

namespace {

const char* const kGlobalTexts[] = {
#define QX_GLOBAL_TEXT(name) #name,
    QX_GLOBAL_NAMES(QX_GLOBAL_TEXT)
#undef QX_GLOBAL_TEXT
};
constexpr std::size_t kGlobals = sizeof kGlobalTexts / sizeof kGlobalTexts[0];

// Interned strings: immutable and shared by every module object. Kept for the
// life of the process.
PyObject* global_keys[kGlobals] = {};

}  // namespace

void intern_globals() {
  for (std::size_t i = 0; i < kGlobals; ++i) {
    if (!global_keys[i]) global_keys[i] = check(PyUnicode_InternFromString(kGlobalTexts[i])).release();
  }
}

Ref global(const Frame& f, G name) {
  const auto i = static_cast<std::size_t>(name);
  PyObject* key = global_keys[i];
  if (!key) {
    PyErr_SetString(PyExc_SystemError, "global names used before the module was initialised");
    throw_error();
  }
  PyObject* v = PyDict_GetItemWithError(f.globals, key);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_error();
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  if (builtins) {
    v = PyDict_GetItemWithError(builtins, key);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error();
  }
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", kGlobalTexts[i]);
  throw_error();
}

Ref attr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

Ref attr(PyObject* o, const Ref& name) { return check(PyObject_GetAttr(o, name.get())); }

Ref item(PyObject* o, PyObject* key) { return check(PyObject_GetItem(o, key)); }

Ref item(PyObject* o, Py_ssize_t index) {
  Ref key = from_ssize(index);
  return item(o, key.get());
}

void set_item(PyObject* o, PyObject* key, PyObject* value) { check(PyObject_SetItem(o, key, value)); }

Ref lookup(PyObject* root, std::initializer_list<PyObject*> keys) {
  Ref v = Ref::borrow(root);
  for (PyObject* k : keys) v = item(v, k);
  return v;
}

bool is_instance(PyObject* o, PyObject* cls) { return check(PyObject_IsInstance(o, cls)) != 0; }

Ref import_module(const char* module) { return check(PyImport_ImportModule(module)); }

Ref import_attr(const char* module, const char* name) {
  Ref mod = import_module(module);
  return attr(mod, name);
}

Ref call_vector(PyObject* f, PyObject* const* args, size_t n, PyObject* kwnames) {
  return check(PyObject_Vectorcall(f, args, n, kwnames));
}

Ref call_kw(PyObject* f, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<const char*, PyObject*>> kw) {
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  Py_ssize_t i = 0;
  for (PyObject* a : args) {
    Py_INCREF(a);
    PyTuple_SET_ITEM(tuple.get(), i++, a);
  }
  Ref kwargs = new_dict();
  for (const auto& [k, v] : kw) check(PyDict_SetItemString(kwargs.get(), k, v));
  return check(PyObject_Call(f, tuple.get(), kwargs.get()));
}

Ref str(PyObject* o) { return check(PyObject_Str(o)); }
Ref text(const char* s) { return check(PyUnicode_FromString(s)); }
Ref to_int(PyObject* o) { return check(PyNumber_Long(o)); }
Ref to_float(PyObject* o) { return check(PyNumber_Float(o)); }
Ref from_ssize(Py_ssize_t v) { return check(PyLong_FromSsize_t(v)); }
Ref from_double(double v) { return check(PyFloat_FromDouble(v)); }
Py_ssize_t length(PyObject* o) { return check_size(PyObject_Length(o)); }
bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }
Ref new_list() { return check(PyList_New(0)); }
void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }
Ref new_dict() { return check(PyDict_New()); }

Ref strip_quotes(PyObject* text) {
  Ref quote = check(PyUnicode_FromOrdinal('"'));
  return call_method(text, "strip", quote);
}

Ref unquoted_text(PyObject* v) { return strip_quotes(str(v).get()); }

Ref concat(std::initializer_list<PyObject*> texts) {
  Ref out = check(PyUnicode_New(0, 0));
  for (PyObject* t : texts) out = check(PyUnicode_Concat(out.get(), t));
  return out;
}

void unpack_into(PyObject* value, Ref* out, int n) {
  if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == n) {
    for (int i = 0; i < n; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(value, i));
    return;
  }
  PyObject* it_raw = PyObject_GetIter(value);
  if (!it_raw) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    }
    throw_error();
  }
  Ref it = Ref::steal(it_raw);
  for (int i = 0; i < n; ++i) {
    PyObject* next = PyIter_Next(it.get());
    if (!next) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", n, i);
      }
      throw_error();
    }
    out[i] = Ref::steal(next);
  }
  if (Ref extra = Ref::steal(PyIter_Next(it.get()))) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", n);
    throw_error();
  }
  if (PyErr_Occurred()) throw_error();
}

bool compare(PyObject* a, PyObject* b, int op) {
  Ref r = check(PyObject_RichCompare(a, b, op));
  return truthy(r);
}

bool contains(PyObject* container, PyObject* item) { return check(PySequence_Contains(container, item)) != 0; }

Ref catalogue_getter(const Frame& f) { return attr(global(f, G::Messages), "get_message"); }

Ref message(const Frame& f, const char* id, std::initializer_list<PyObject*> args) {
  Ref get = catalogue_getter(f);
  Ref mid = text(id);
  return call_kw(get.get(), args, {{"message_id", mid.get()}});
}

Ref ask_catalogue(PyObject* get_message, const char* id, const Ref* args, std::size_t n) {
  PyObject* argv[kMaxCatalogueArgs + 2] = {nullptr};
  if (n > kMaxCatalogueArgs) {
    PyErr_SetString(PyExc_SystemError, "too many values for one catalogue message");
    throw_error();
  }
  for (std::size_t i = 0; i < n; ++i) argv[i + 1] = args[i].get();
  Ref mid = text(id);
  argv[n + 1] = mid.get();
  Ref kwnames = check(Py_BuildValue("(s)", "message_id"));
  return call_vector(get_message, argv + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get());
}

void raise_message(const Frame& f, const char* id, std::initializer_list<PyObject*> args) {
  Ref msg = message(f, id, args);
  Ref exc = check(PyObject_CallOneArg(PyExc_Exception, msg.get()));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  throw_error();
}

void warn(const Frame& f, PyObject* warn_msg, const char* id, std::initializer_list<PyObject*> args) {
  Ref app = attr(warn_msg, "append");
  Ref msg = message(f, id, args);
  call(app, msg);
}

void translate_exception(const char* what) noexcept {
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "%s failed without an error", what);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error in %s: %s", what, e.what());
  } catch (...) {
    PyErr_Format(PyExc_SystemError, "internal error in %s", what);
  }
}

Ref take_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  if (!v) {  // cannot happen for a normalised exception; be safe anyway
    PyErr_SetString(PyExc_SystemError, "exception vanished while being handled");
    throw_error();
  }
  return Ref::steal(v);
}

#if PY_VERSION_HEX >= 0x030B0000
HandlingScope::HandlingScope(PyObject* ex) noexcept : saved_(PyErr_GetHandledException()) {
  PyErr_SetHandledException(ex);
}

HandlingScope::~HandlingScope() {
  PyErr_SetHandledException(saved_);
  Py_XDECREF(saved_);
}
#else
HandlingScope::HandlingScope(PyObject* ex) noexcept {
  PyErr_GetExcInfo(&saved_type_, &saved_, &saved_tb_);
  // PyErr_SetExcInfo takes over the three references.
  PyObject* type = ex ? reinterpret_cast<PyObject*>(Py_TYPE(ex)) : nullptr;
  Py_XINCREF(type);
  Py_XINCREF(ex);
  PyErr_SetExcInfo(type, ex, ex ? PyException_GetTraceback(ex) : nullptr);
}

HandlingScope::~HandlingScope() { PyErr_SetExcInfo(saved_type_, saved_, saved_tb_); }
#endif

bool arrow_string_with_na(PyObject* dtype) {
  Ref string_dtype = import_attr("pandas", "StringDtype");
  if (!is_instance(dtype, string_dtype.get())) return false;
  if (eq(attr(dtype, "storage"), text("python"))) return false;
  PyObject* na = PyObject_GetAttrString(dtype, "na_value");
  if (!na) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return false;  // pandas before 2.3: NA is its only missing value, and map gives numpy types
  }
  Ref na_value = Ref::steal(na);
  return na_value.get() == import_attr("pandas", "NA").get();
}

namespace {

// True for a pandas string column with rows, in Arrow storage with NA as
// missing value, under pandas 3 or later. (A table, the columns of a repeated
// label, has no one dtype: false.)
bool arrow_typed_map(PyObject* column) {
  PyObject* d = PyObject_GetAttrString(column, "dtype");
  if (!d) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return false;
  }
  Ref dtype = Ref::steal(d);
  if (!arrow_string_with_na(dtype.get())) return false;
  if (length(column) == 0) return false;  // nothing to type: map keeps the dtype
  return pandas_major() >= 3;
}

}  // namespace

long pandas_major() {
  Ref version = import_attr("pandas", "__version__");
  if (!PyUnicode_Check(version.get())) return 0;
  Ref parts = call_method(version, "split", text("."));
  Ref major = item(parts.get(), Py_ssize_t{0});
  Ref digits = call_method(major, "isdigit");
  if (!truthy(digits)) return 0;
  return check(PyLong_AsLong(to_int(major).get()));
}

Ref map_column(PyObject* column, PyObject* fn) {
  if (arrow_typed_map(column)) {
    Ref objects = call_method(column, "astype", reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    return call_method(objects, "map", fn);
  }
  return call_method(column, "map", fn);
}

Ref numpy_nan(PyObject* np) {
  PyObject* v = PyObject_GetAttrString(np, "NaN");
  if (v) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
  PyErr_Clear();
  return attr(np, "nan");
}

}  // namespace qx
