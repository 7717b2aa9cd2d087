#include "namespace.hpp"

namespace qx {

Ref global(const Frame& f, const char* name) {
  Ref key = text(name);
  PyObject* v = PyDict_GetItemWithError(f.globals, key.get());
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_error();
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  if (builtins) {
    v = PyDict_GetItemWithError(builtins, key.get());
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error();
  }
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  throw_error();
}

Ref attr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

Ref item(PyObject* o, PyObject* key) { return check(PyObject_GetItem(o, key)); }

Ref item(PyObject* o, Py_ssize_t index) {
  Ref key = from_ssize(index);
  return item(o, key.get());
}

void set_item(PyObject* o, PyObject* key, PyObject* value) { check(PyObject_SetItem(o, key, value)); }

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

bool compare(PyObject* a, PyObject* b, int op) {
  Ref r = check(PyObject_RichCompare(a, b, op));
  return truthy(r);
}

bool contains(PyObject* container, PyObject* item) { return check(PySequence_Contains(container, item)) != 0; }

Ref message(const Frame& f, const char* id, std::initializer_list<PyObject*> args) {
  Ref messages = global(f, "Messages");
  Ref get = attr(messages, "get_message");
  Ref mid = text(id);
  return call_kw(get.get(), args, {{"message_id", mid.get()}});
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

HandlingScope::HandlingScope(PyObject* ex) noexcept : saved_(PyErr_GetHandledException()) {
  PyErr_SetHandledException(ex);
}

HandlingScope::~HandlingScope() {
  PyErr_SetHandledException(saved_);
  Py_XDECREF(saved_);
}


}  // namespace qx
