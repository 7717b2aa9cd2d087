// Repeated values of the timestamp column, found without the library's
// hash table.
//
// The library's check (DataFrame.duplicated on one column, then the missing
// values set aside) compares the raw values with their own equality. Here the
// same is done for the columns where that equality is plain: object columns
// holding exact str values (equal when their characters are equal), string
// columns in Arrow storage (equal when their bytes are equal), and int64,
// float64 and datetime64 columns (equal when their values are equal; -0.0
// equals 0.0). Missing values (None and NaN in an object column, NaN, NaT) are
// never repeated values. Every other column is left to the library.
//
// One pass compares neighbours: when the present values are strictly
// increasing or strictly decreasing in some total order (sorted files, the
// common case), no value can repeat and nothing else is done. Otherwise the
// values go into an open-addressing table of row numbers, 8 bytes a slot.
#include "fast/arrow.hpp"
#include "fast/fastpath.hpp"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

namespace qx::fast {
namespace {

uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// A seeded hash of a byte string: the seed changes from call to call, so no
// file can be made to collide on purpose.
uint64_t bytes_hash(const unsigned char* p, size_t n, uint64_t seed) {
  uint64_t h = seed ^ (n * 0x9E3779B97F4A7C15ULL);
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = std::rotl(h ^ (w * 0x87c37b91114253d5ULL), 31) * 0x4cf5ad432745937fULL;
    p += 8;
    n -= 8;
  }
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  return mix(h ^ w ^ (static_cast<uint64_t>(n) << 59));
}

// The values of an object column of exact str (present) and None or NaN
// floats (missing).
struct TextValues {
  const View& in;
  uint64_t seed;

  static bool is_missing(PyObject* v) {
    return v == Py_None || (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v)));
  }
  void prefetch(Py_ssize_t i) const { prefetch_object(in, i); }
  // -1 not covered, 0 missing, 1 present.
  int classify(Py_ssize_t i) const {
    PyObject* v = in.at<PyObject*>(i);
    if (PyUnicode_CheckExact(v)) return 1;
    return is_missing(v) ? 0 : -1;
  }
  // Exact str values are canonical: equal texts have the same kind and length.
  static size_t bytes(PyObject* s) { return static_cast<size_t>(PyUnicode_GET_LENGTH(s)) * PyUnicode_KIND(s); }
  int order(Py_ssize_t i, Py_ssize_t j) const {
    PyObject* a = in.at<PyObject*>(i);
    PyObject* b = in.at<PyObject*>(j);
    const int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
    if (ka != kb) return ka < kb ? -1 : 1;
    const size_t na = bytes(a), nb = bytes(b);
    const int c = std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), na < nb ? na : nb);
    if (c != 0) return c;
    return na == nb ? 0 : (na < nb ? -1 : 1);
  }
  uint64_t hash(Py_ssize_t i) const {
    PyObject* s = in.at<PyObject*>(i);
    return bytes_hash(static_cast<const unsigned char*>(PyUnicode_DATA(s)), bytes(s),
                      seed + static_cast<uint64_t>(PyUnicode_KIND(s)));
  }
  bool equal(Py_ssize_t i, Py_ssize_t j) const { return order(i, j) == 0; }
};

// The texts of a string column in Arrow storage, as their UTF-8 bytes (equal
// texts have equal bytes); missing rows are missing values.
struct BufferValues {
  const ArrowTexts& in;
  uint64_t seed;

  void prefetch(Py_ssize_t) const {}
  int classify(Py_ssize_t i) const {
    const char* p;
    Py_ssize_t n;
    return in.bytes(i, p, n) ? 1 : 0;
  }
  int order(Py_ssize_t i, Py_ssize_t j) const {
    // only present rows are compared or hashed
    const char *a = "", *b = "";
    Py_ssize_t na = 0, nb = 0;
    in.bytes(i, a, na);
    in.bytes(j, b, nb);
    const int c = std::memcmp(a, b, static_cast<size_t>(na < nb ? na : nb));
    if (c != 0) return c;
    return na == nb ? 0 : (na < nb ? -1 : 1);
  }
  uint64_t hash(Py_ssize_t i) const {
    const char* p = "";
    Py_ssize_t n = 0;
    in.bytes(i, p, n);
    return bytes_hash(reinterpret_cast<const unsigned char*>(p), static_cast<size_t>(n), seed);
  }
  bool equal(Py_ssize_t i, Py_ssize_t j) const { return order(i, j) == 0; }
};

// The values of an int64 or datetime64 column (as int64; NaT is missing for
// datetimes) or of a float64 column (NaN missing, -0.0 taken as 0.0).
struct NumberValues {
  const View& in;
  enum Kind { integer, datetime, real } kind;
  uint64_t seed;

  void prefetch(Py_ssize_t) const {}
  int classify(Py_ssize_t i) const {
    if (kind == real) return std::isnan(in.at<double>(i)) ? 0 : 1;
    if (kind == datetime) return in.at<int64_t>(i) == INT64_MIN ? 0 : 1;
    return 1;
  }
  int order(Py_ssize_t i, Py_ssize_t j) const {
    if (kind == real) {
      const double a = in.at<double>(i), b = in.at<double>(j);
      return a < b ? -1 : (a > b ? 1 : 0);
    }
    const int64_t a = in.at<int64_t>(i), b = in.at<int64_t>(j);
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  uint64_t key(Py_ssize_t i) const {
    if (kind == real) {
      double d = in.at<double>(i);
      if (d == 0.0) d = 0.0;
      uint64_t u;
      std::memcpy(&u, &d, sizeof u);
      return u;
    }
    return static_cast<uint64_t>(in.at<int64_t>(i));
  }
  uint64_t hash(Py_ssize_t i) const { return mix(key(i) ^ seed); }
  bool equal(Py_ssize_t i, Py_ssize_t j) const { return key(i) == key(j); }
};

// Whether any present value occurs twice, or the reason to decline (a value
// the accessor does not cover, a column too long for the table's slots).
template <class Values>
Answer<bool> scan(const Values& v, Py_ssize_t n) {
  // Neighbours first: strictly monotonic present values are all distinct.
  Py_ssize_t prev = -1, present = 0;
  bool rising = true, falling = true;
  for (Py_ssize_t i = 0; i < n; ++i) {
    poll_signals(i);
    v.prefetch(i);
    const int c = v.classify(i);
    if (c < 0) return Reason::value;
    if (c == 0) continue;
    ++present;
    if (prev >= 0 && (rising || falling)) {
      const int o = v.order(prev, i);
      rising = rising && o < 0;
      falling = falling && o > 0;
    }
    prev = i;
  }
  if (rising || falling) return false;
  if (n >= static_cast<Py_ssize_t>(UINT32_MAX)) return Reason::kind;

  // Slots hold the row number + 1 (0: empty) and 32 bits of the hash.
  const uint64_t capacity = std::bit_ceil(static_cast<uint64_t>(present) + static_cast<uint64_t>(present) / 2 + 2);
  const uint64_t mask = capacity - 1;
  std::unique_ptr<uint64_t, void (*)(void*)> table(static_cast<uint64_t*>(PyMem_RawCalloc(capacity, sizeof(uint64_t))),
                                                   PyMem_RawFree);
  if (!table) {
    PyErr_NoMemory();
    throw_error();
  }
  uint64_t* slots = table.get();
  for (Py_ssize_t i = 0; i < n; ++i) {
    poll_signals(i);
    if (v.classify(i) == 0) continue;
    const uint64_t h = v.hash(i);
    const uint64_t tag = h >> 32;
    for (uint64_t s = h & mask;; s = (s + 1) & mask) {
      const uint64_t slot = slots[s];
      if (slot == 0) {
        slots[s] = (tag << 32) | static_cast<uint64_t>(i + 1);
        break;
      }
      if ((slot >> 32) == tag && v.equal(static_cast<Py_ssize_t>(slot & 0xffffffffULL) - 1, i)) {
        return true;
      }
    }
  }
  return false;
}

uint64_t fresh_seed() {
  static uint64_t counter = 0;
  const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return mix(now ^ (++counter * 0x9E3779B97F4A7C15ULL) ^ reinterpret_cast<uintptr_t>(&counter));
}

}  // namespace

std::optional<bool> repeated_values(PyObject* df, PyObject* time_col) {
  return run<bool>(Route::repeated_values, [&]() -> Answer<bool> {
    Ref frame_type = import_attr("pandas", "DataFrame");
    if (reinterpret_cast<PyObject*>(Py_TYPE(df)) != frame_type.get() || !PyUnicode_CheckExact(time_col)) {
      return Reason::kind;
    }
    Ref columns = attr(df, "columns");
    if (!truthy(attr(columns, "is_unique")) || !contains(columns, time_col)) return Reason::kind;
    Ref column = item(df, time_col);
    if (ArrowTexts texts; texts.open(column.get())) return scan(BufferValues{texts, fresh_seed()}, texts.size());
    Ref values;
    View in;
    if (!open_object_values(column.get(), values, in)) return scan(TextValues{in, fresh_seed()}, in.size());
    if (!is_exact_series(column.get())) return Reason::kind;
    Ref dtype = attr(column, "dtype");
    const bool plain = is_instance(dtype.get(), import_attr("numpy", "dtype").get());
    Ref kind = attr(dtype, "kind");
    NumberValues::Kind which;
    if (eq(kind, text("M"))) {
      which = NumberValues::datetime;
      values = call_method(attr(column, "array"), "view", text("i8"));
    } else if (plain && eq(kind, text("i"))) {
      which = NumberValues::integer;
      values = attr(column, "values");
    } else if (plain && eq(kind, text("f"))) {
      which = NumberValues::real;
      values = attr(column, "values");
    } else {
      return Reason::kind;
    }
    View numbers;
    if (!numbers.open(values.get()) || numbers.itemsize() != 8 || std::strlen(numbers.format()) != 1) {
      return Reason::kind;
    }
    if (numbers.size() == 0) return Reason::value;
    const char fmt = numbers.format()[0];
    if (which == NumberValues::real ? fmt != 'd' : fmt != 'l' && fmt != 'q') return Reason::kind;
    return scan(NumberValues{numbers, which, fresh_seed()}, numbers.size());
  });
}

}  // namespace qx::fast
