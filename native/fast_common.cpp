// Helpers shared by the fast routes.
#include "fastpath.hpp"

#include <cstdlib>
#include <cstring>

namespace qx::fast {

bool enabled() {
  const char* v = std::getenv("QUARNEX_DATA_HELPER_NO_FASTPATH");
  return v == nullptr || v[0] == '\0' || std::strcmp(v, "0") == 0;
}

bool is_exact_series(PyObject* o) {
  Ref series = import_attr("pandas", "Series");
  return reinterpret_cast<PyObject*>(Py_TYPE(o)) == series.get();
}

bool View::open(PyObject* o, bool writable) {
  int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(o, &buf_, flags) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();
    return false;
  }
  held_ = true;
  return buf_.ndim == 1 && buf_.shape && buf_.strides;
}

bool open_object_values(PyObject* column, Ref& values, View& in) {
  if (!is_exact_series(column)) return false;
  values = attr(column, "values");
  return in.open(values.get()) && std::strcmp(in.format(), "O") == 0 &&
         in.itemsize() == static_cast<Py_ssize_t>(sizeof(PyObject*)) && in.size() > 0;
}

Ref new_array(Py_ssize_t n, const char* dtype) {
  Ref empty = import_attr("numpy", "empty");
  Ref size = from_ssize(n);
  Ref type = text(dtype);
  return call_kw(empty.get(), {size.get()}, {{"dtype", type.get()}});
}

namespace {

Ref finalized(PyObject* column, Ref made) {
  Ref finalize = attr(made, "__finalize__");
  Ref method = text("map");
  return call_kw(finalize.get(), {column}, {{"method", method.get()}});
}

}  // namespace

Ref mapped_series(PyObject* column, PyObject* values) {
  Ref series = import_attr("pandas", "Series");
  Ref index = attr(column, "index");
  return finalized(column, call_kw(series.get(), {values}, {{"index", index.get()}, {"copy", Py_False}}));
}

Ref object_series(PyObject* column, PyObject* values) {
  Ref series = import_attr("pandas", "Series");
  Ref index = attr(column, "index");
  Ref object = text("object");
  return finalized(column, call_kw(series.get(), {values},
                                   {{"index", index.get()}, {"dtype", object.get()}, {"copy", Py_False}}));
}

}  // namespace qx::fast
