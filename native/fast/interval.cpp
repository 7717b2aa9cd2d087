// The mean and sample standard deviation of the time steps, straight from
// the column's values.
//
// statistics.mean and statistics.stdev work on exact fractions: the mean is
// the exact mean rounded once (an int when all steps are ints and it is
// whole), the standard deviation the correctly rounded square root of the
// exact sum of squared deviations over n - 1. Both depend only on the
// multiset of steps, so the steps are counted by distinct value in one C++
// pass and the exact sums are formed over (value, count) pairs with Python
// ints. Steps of datetime columns are turned into seconds by the real
// Timedelta.total_seconds() of one actual pair per distinct step, so units
// and rounding stay those of the straightforward route.
#include "fast/fastpath.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace qx::fast {
namespace {

// Distinct keys with their count and the position of their first occurrence.
class Tally {
 public:
  struct Entry {
    uint64_t key;
    Py_ssize_t count;
    Py_ssize_t first;
  };
  void add(uint64_t key, Py_ssize_t pos) {
    if (!entries_.empty() && key == entries_[last_].key) {
      ++entries_[last_].count;
      return;
    }
    auto [it, fresh] = index_.try_emplace(key, entries_.size());
    if (fresh) entries_.push_back({key, 0, pos});
    last_ = it->second;
    ++entries_[last_].count;
  }
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<uint64_t, size_t> index_;
  size_t last_ = 0;
};

uint64_t bits_of(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}
double double_of(uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

// A plain function of the statistics module, not a stand-in.
bool is_stock(PyObject* statistics, const char* name) {
  PyObject* fn = PyObject_GetAttrString(statistics, name);
  if (!fn) {
    // Not there (an interpreter whose statistics module differs): not stock.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    return false;
  }
  Ref owned = Ref::steal(fn);
  if (!PyFunction_Check(fn)) return false;
  Ref module = attr(fn, "__module__");
  Ref qualname = attr(fn, "__qualname__");
  return eq(module, text("statistics")) && eq(qualname, text(name));
}

Ref lshift(const Ref& a, long k) { return check(PyNumber_Lshift(a.get(), from_ssize(k).get())); }

// One step value as an exact integer N with value = N * 2**scale.
struct Steps {
  bool floats = false;        // T is float (else int)
  std::vector<int64_t> ints;  // int steps (floats == false)
  std::vector<double> reals;  // float steps (floats == true)
  std::vector<Py_ssize_t> counts;
  Py_ssize_t n = 0;  // number of steps
};

// mean and stdev of the steps, by the statistics module's own arithmetic.
void exact_moments(PyObject* statistics, const Steps& st, Ref& mean, Ref& stdev) {
  const size_t k = st.counts.size();
  // value_i = N_i * 2**scale with integer N_i (scale = 0 for ints).
  long scale = 0;
  std::vector<int64_t> mant(k);
  std::vector<long> exps(k, 0);
  if (st.floats) {
    bool any = false;
    for (size_t i = 0; i < k; ++i) {
      const double v = st.reals[i];
      if (v == 0.0) {
        mant[i] = 0;
        continue;
      }
      int e;
      const double fr = std::frexp(v, &e);
      mant[i] = static_cast<int64_t>(std::ldexp(fr, 53));
      exps[i] = e - 53;
      if (!any || exps[i] < scale) scale = exps[i];
      any = true;
    }
  } else {
    for (size_t i = 0; i < k; ++i) mant[i] = st.ints[i];
  }
  Ref S = from_ssize(0), Q = from_ssize(0);
  for (size_t i = 0; i < k; ++i) {
    if (mant[i] == 0) continue;
    Ref N = check(PyLong_FromLongLong(mant[i]));
    if (exps[i] != scale) N = lshift(N, exps[i] - scale);
    Ref c = from_ssize(st.counts[i]);
    Ref cN = mul(c, N);
    S = add(S, cN);
    Q = add(Q, mul(cN, N));
  }
  Ref n = from_ssize(st.n);
  // mean: the exact S * 2**scale / n, converted as statistics._convert does.
  if (!st.floats) {
    Ref rem = check(PyNumber_Remainder(S.get(), n.get()));
    mean = truthy(rem) ? div(S, n) : check(PyNumber_FloorDivide(S.get(), n.get()));
  } else if (scale >= 0) {
    mean = div(lshift(S, scale), n);
  } else {
    mean = div(S, lshift(n, -scale));
  }
  // stdev: sqrt of (n*Q - S*S) * 2**(2*scale) / (n * (n - 1)), reduced.
  Ref num = sub(mul(n, Q), mul(S, S));
  Ref den = mul(n, from_ssize(st.n - 1));
  if (scale >= 0) {
    num = lshift(num, 2 * scale);
  } else {
    den = lshift(den, -2 * scale);
  }
  Ref fraction = call(import_attr("fractions", "Fraction"), num, den);
  Ref sqrt_of_frac = attr(statistics, "_float_sqrt_of_frac");
  stdev = call(sqrt_of_frac, attr(fraction, "numerator"), attr(fraction, "denominator"));
}

bool integer_format(const char* fmt, Py_ssize_t size) {
  if (std::strlen(fmt) != 1) return false;
  switch (fmt[0]) {
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'B':
    case 'H':
    case 'I':
      return size <= 8;
    case 'L':
    case 'Q':
      return false;  // may exceed int64: left to the straightforward route
    default:
      return false;
  }
}

int64_t read_int(const View& v, Py_ssize_t i) {
  const char c = v.format()[0];
  switch (c) {
    case 'b':
      return v.at<int8_t>(i);
    case 'h':
      return v.at<int16_t>(i);
    case 'i':
      return v.at<int32_t>(i);
    case 'B':
      return v.at<uint8_t>(i);
    case 'H':
      return v.at<uint16_t>(i);
    case 'I':
      return v.at<uint32_t>(i);
    default:
      return v.itemsize() == 8 ? v.at<int64_t>(i) : v.at<int32_t>(i);
  }
}

// The steps of an int column (T int) or float column (T float), or the
// reason to decline.
std::optional<Reason> numeric_steps(PyObject* column, bool floats, Steps& st) {
  Ref values = attr(column, "values");
  View v;
  if (!v.open(values.get())) return Reason::kind;
  const Py_ssize_t n = v.size();
  if (n < 3) return Reason::kind;
  Tally tally;
  st.floats = floats;
  if (floats) {
    const char* fmt = v.format();
    const bool dbl = std::strcmp(fmt, "d") == 0, flt = std::strcmp(fmt, "f") == 0;
    if (!dbl && !flt) return Reason::kind;
    auto get = [&](Py_ssize_t i) { return dbl ? v.at<double>(i) : static_cast<double>(v.at<float>(i)); };
    double prev = get(0);
    for (Py_ssize_t i = 1; i < n; ++i) {
      poll_signals(i);
      const double cur = get(i);
      const double d = cur - prev;
      if (!std::isfinite(d)) return Reason::value;
      tally.add(bits_of(d), i);
      prev = cur;
    }
    for (const auto& e : tally.entries()) {
      st.reals.push_back(double_of(e.key));
      st.counts.push_back(e.count);
    }
  } else {
    if (!integer_format(v.format(), v.itemsize())) return Reason::kind;
    int64_t prev = read_int(v, 0);
    for (Py_ssize_t i = 1; i < n; ++i) {
      poll_signals(i);
      const int64_t cur = read_int(v, i);
      int64_t d;
      if (__builtin_sub_overflow(cur, prev, &d)) return Reason::value;
      tally.add(static_cast<uint64_t>(d), i);
      prev = cur;
    }
    for (const auto& e : tally.entries()) {
      st.ints.push_back(static_cast<int64_t>(e.key));
      st.counts.push_back(e.count);
    }
  }
  st.n = n - 1;
  return std::nullopt;
}

// The steps of a datetime64 column, in seconds as total_seconds() gives
// them, or the reason to decline.
std::optional<Reason> datetime_steps(const Frame& f, PyObject* column, Steps& st) {
  Ref array = attr(column, "array");
  Ref i8 = call_method(array, "view", text("i8"));
  View v;
  if (!v.open(i8.get()) || v.itemsize() != 8 ||
      (std::strcmp(v.format(), "l") != 0 && std::strcmp(v.format(), "q") != 0)) {
    return Reason::kind;
  }
  const Py_ssize_t n = v.size();
  if (n < 3) return Reason::kind;
  constexpr int64_t kNaT = INT64_MIN;
  Tally tally;
  int64_t prev = v.at<int64_t>(0);
  if (prev == kNaT) return Reason::value;
  for (Py_ssize_t i = 1; i < n; ++i) {
    poll_signals(i);
    const int64_t cur = v.at<int64_t>(i);
    if (cur == kNaT) return Reason::value;
    int64_t d;
    if (__builtin_sub_overflow(cur, prev, &d) || d == kNaT) return Reason::value;
    tally.add(static_cast<uint64_t>(d), i);
    prev = cur;
  }
  Ref pandas_timedelta = import_attr("pandas._libs.tslibs.timedeltas", "Timedelta");
  Ref std_timedelta = attr(global(f, G::datetime), "timedelta");
  st.floats = true;
  for (const auto& e : tally.entries()) {
    // One actual pair with this step, subtracted and measured as the
    // straightforward route does it.
    Ref diff = sub(item(array.get(), e.first), item(array.get(), e.first - 1));
    if (!is_instance(diff.get(), pandas_timedelta.get()) && !is_instance(diff.get(), std_timedelta.get())) {
      return Reason::value;
    }
    Ref secs = call_method(diff, "total_seconds");
    if (!PyFloat_CheckExact(secs.get()) || !std::isfinite(PyFloat_AS_DOUBLE(secs.get()))) return Reason::value;
    st.reals.push_back(PyFloat_AS_DOUBLE(secs.get()));
    st.counts.push_back(e.count);
  }
  st.n = n - 1;
  return std::nullopt;
}

}  // namespace

std::optional<IntervalStats> interval_statistics(const Frame& f, PyObject* column) {
  return run<IntervalStats>(Route::interval_statistics, [&]() -> Answer<IntervalStats> {
    if (!is_exact_series(column)) return Reason::kind;
    Ref statistics = import_module("statistics");
    if (!is_stock(statistics.get(), "mean") || !is_stock(statistics.get(), "stdev") ||
        !is_stock(statistics.get(), "_float_sqrt_of_frac")) {
      return Reason::settings;
    }
    Ref dtype = attr(column, "dtype");
    Ref kind = attr(dtype, "kind");
    Ref numpy_dtype = import_attr("numpy", "dtype");
    const bool plain = is_instance(dtype.get(), numpy_dtype.get());
    Steps st;
    std::optional<Reason> declined = Reason::kind;
    if (eq(kind, text("M"))) {
      Ref tz_dtype = import_attr("pandas", "DatetimeTZDtype");
      if (plain || is_instance(dtype.get(), tz_dtype.get())) declined = datetime_steps(f, column, st);
    } else if (plain && (eq(kind, text("i")) || eq(kind, text("u")))) {
      declined = numeric_steps(column, false, st);
    } else if (plain && eq(kind, text("f"))) {
      declined = numeric_steps(column, true, st);
    }
    if (declined) return *declined;
    if (st.n < 2) return Reason::kind;
    IntervalStats out;
    exact_moments(statistics.get(), st, out.mean, out.stdev);
    return out;
  });
}

}  // namespace qx::fast
