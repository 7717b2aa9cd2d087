// Helpers shared by the fast routes, and their counters.
#include "fast/fastpath.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qx::fast {
namespace {

const char* const kRouteNames[kRoutes] = {
#define QX_ROUTE_NAME(name) #name,
    QX_ROUTES(QX_ROUTE_NAME)
#undef QX_ROUTE_NAME
};
const char* const kReasonNames[kReasons] = {"off", "kind", "value", "settings", "error"};

// Process-wide: the routes are the same code for every module object.
std::atomic<uint64_t> hits[kRoutes];
std::atomic<uint64_t> declines[kRoutes][kReasons];

bool env_flag(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

}  // namespace

bool enabled() { return !env_flag("QUARNEX_DATA_HELPER_NO_FASTPATH"); }
bool strict() { return env_flag("QUARNEX_DATA_HELPER_FASTPATH_STRICT"); }

// The routes run with the GIL held (the module does not declare itself free
// of it), so a plain load and store count exactly, without the cost of an
// atomic read-modify-write on every text of a column.
void bump(std::atomic<uint64_t>& counter) noexcept {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void count_hit(Route route) noexcept { bump(hits[static_cast<int>(route)]); }

void count_decline(Route route, Reason why) noexcept { bump(declines[static_cast<int>(route)][static_cast<int>(why)]); }

Tally::~Tally() {
  std::atomic<uint64_t>& h = hits[static_cast<int>(route_)];
  h.store(h.load(std::memory_order_relaxed) + hits_, std::memory_order_relaxed);
  for (int w = 0; w < kReasons; ++w) {
    std::atomic<uint64_t>& d = declines[static_cast<int>(route_)][w];
    d.store(d.load(std::memory_order_relaxed) + declines_[w], std::memory_order_relaxed);
  }
}

Ref stats() {
  Ref all = new_dict();
  for (int r = 0; r < kRoutes; ++r) {
    Ref one = new_dict();
    Ref n = check(PyLong_FromUnsignedLongLong(hits[r].load(std::memory_order_relaxed)));
    check(PyDict_SetItemString(one.get(), "hit", n.get()));
    for (int w = 0; w < kReasons; ++w) {
      n = check(PyLong_FromUnsignedLongLong(declines[r][w].load(std::memory_order_relaxed)));
      check(PyDict_SetItemString(one.get(), kReasonNames[w], n.get()));
    }
    check(PyDict_SetItemString(all.get(), kRouteNames[r], one.get()));
  }
  return all;
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

std::optional<Reason> open_object_values(PyObject* column, Ref& values, View& in) {
  if (!is_exact_series(column)) return Reason::kind;
  // A pandas string column (the default text column from pandas 3, in
  // Python or Arrow storage) hands map its texts and its missing-value marker
  // as objects: the same objects, as an object array. With Arrow storage and
  // NA as missing value, map gives Arrow-typed results: not handled here.
  // Any other dtype is declined before its values are asked for: pandas 3.1
  // warns when .values drops a zone or makes objects of periods or intervals.
  Ref string_dtype = import_attr("pandas", "StringDtype");
  Ref dtype = attr(column, "dtype");
  if (is_instance(dtype.get(), string_dtype.get())) {
    if (arrow_string_with_na(dtype.get())) return Reason::kind;
    Ref to_numpy = attr(column, "to_numpy");
    values = call_kw(to_numpy.get(), {}, {{"dtype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)}});
  } else {
    Ref object = text("O");
    if (!is_instance(dtype.get(), import_attr("numpy", "dtype").get()) || ne(attr(dtype, "kind"), object)) {
      return Reason::kind;
    }
    values = attr(column, "values");
  }
  if (!in.open(values.get()) || std::strcmp(in.format(), "O") != 0 ||
      in.itemsize() != static_cast<Py_ssize_t>(sizeof(PyObject*)) || in.size() == 0) {
    return Reason::kind;
  }
  return std::nullopt;
}

template <class T>
T* new_output(Py_ssize_t n, const char* dtype, Ref& array, View& dst) {
  Ref empty = import_attr("numpy", "empty");
  Ref size = from_ssize(n);
  Ref type = text(dtype);
  array = call_kw(empty.get(), {size.get()}, {{"dtype", type.get()}});
  if (!dst.open(array.get(), true) || !dst.contiguous() || dst.itemsize() != sizeof(T)) return nullptr;
  return dst.data<T>();
}
template double* new_output<double>(Py_ssize_t, const char*, Ref&, View&);
template int64_t* new_output<int64_t>(Py_ssize_t, const char*, Ref&, View&);
template uint8_t* new_output<uint8_t>(Py_ssize_t, const char*, Ref&, View&);

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
  return finalized(
      column, call_kw(series.get(), {values}, {{"index", index.get()}, {"dtype", object.get()}, {"copy", Py_False}}));
}

}  // namespace qx::fast
