// Many series in one long table: one pass over the time column and the
// numeric role columns, series after series, that tells which series are
// plain (their check cannot find anything that depends on their values
// beyond their length, time step and first and last instants).
//
// A series is plain when it has at least three rows, every timestamp is a
// naive instant (a datetime64 value, or an ASCII text in the ISO shape
// YYYY-MM-DD[{T| }HH:MM[:SS[.F]]] with '-' in the date, read as the general
// parser reads it, from a digit to a digit with nothing around), the
// instants strictly increase by one step throughout, shorter than 27 days
// (where calendar months begin), and no numeric role column holds NaN in its
// rows. Every other series is declined to the per-series check.
#include "fast/arrow.hpp"
#include "fast/fastpath.hpp"
#include "fast/readers.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>

namespace qx::fast {
namespace {

constexpr int64_t kNat = std::numeric_limits<int64_t>::min();
constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kCalendarStep = 27 * 86400 * kSecond;

// The instant of a text in the plain ISO shape, in nanoseconds; kNat otherwise.
// `ascii`: the text is known to be ASCII.
int64_t plain_instant(const char* p, Py_ssize_t n, bool ascii) {
  if (n < 10 || !is_digit(p[0]) || !is_digit(p[n - 1]) || p[4] != '-' || p[7] != '-' || !(ascii || all_ascii(p, n))) {
    return kNat;
  }
  Stamp t;
  if (!read_iso_stamp(p, n, t) || t.zone != Stamp::naive || t.year < 1900 || t.year > 2200) return kNat;
  const int64_t days = nano_range_days(t.year, t.month, t.day);
  const int64_t seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return seconds * kSecond + int64_t{t.micro} * 1000;
}

// The instant of row i of the time column, as read from its values.
struct ObjectInstants {
  const View& in;
  void prefetch(Py_ssize_t i) const { prefetch_object(in.at<PyObject*>(i)); }
  int64_t operator()(Py_ssize_t i) const {
    PyObject* v = in.at<PyObject*>(i);
    if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_ASCII(v)) return kNat;
    return plain_instant(static_cast<const char*>(PyUnicode_DATA(v)), PyUnicode_GET_LENGTH(v), true);
  }
};
struct ArrowInstants {
  const ArrowTexts& in;
  void prefetch(Py_ssize_t) const {}
  int64_t operator()(Py_ssize_t i) const {
    const char* p;
    Py_ssize_t n;
    return in.bytes(i, p, n) ? plain_instant(p, n, false) : kNat;
  }
};
struct GivenInstants {
  const View& in;
  void prefetch(Py_ssize_t) const {}
  int64_t operator()(Py_ssize_t i) const { return in.at<int64_t>(i); }
};

struct Columns {
  View order, bounds;
  std::deque<View> numbers;  // (views cannot move) float64 role columns, one value per row of the table
  Ref instants, plain, steps;
  View out_instants, out_plain, out_steps;
};

// The series [first, last) of the table. `polls`: pending signals are let
// through (the thread that holds the interpreter only); a walk that does not
// poll calls nothing of the interpreter's and may run beside another.
template <class Instants>
void walk(const Instants& instant_of, const Columns& c, Py_ssize_t first, Py_ssize_t last, Tally& tally, bool polls) {
  const auto* order = c.order.data<int64_t>();
  const auto* bounds = c.bounds.data<int64_t>();
  auto* instants = c.out_instants.data<int64_t>();
  auto* plain = c.out_plain.data<uint8_t>();
  auto* steps = c.out_steps.data<int64_t>();
  Py_ssize_t seen = 0;
  for (Py_ssize_t s = first; s < last; ++s) {
    const int64_t begin = bounds[s], end = bounds[s + 1];
    bool ok = end - begin >= 3;
    int64_t step = 0;
    // A declined series is left at its first fault: its instants are not used.
    for (int64_t k = begin; ok && k < end; ++k) {
      if (polls) poll_signals(seen++);
      // the objects of rows some places on, whose values lie apart from the column
      if (k + kPrefetchAhead < c.order.size()) instant_of.prefetch(order[k + kPrefetchAhead]);
      const int64_t row = order[k];
      const int64_t t = instant_of(row);
      instants[k] = t;
      ok = t != kNat;
      for (const View& v : c.numbers) ok = ok && !std::isnan(v.at<double>(row));
      if (!ok || k == begin) continue;
      const int64_t previous = instants[k - 1];
      if (k == begin + 1) step = t - previous;
      ok = t > previous && t - previous == step && step < kCalendarStep;
    }
    plain[s] = ok;
    steps[s] = ok ? step : 0;
    if (ok) {
      tally.hit();
    } else {
      tally.decline(Reason::value);
    }
  }
}

// Rows from which a pass with two workers takes a second thread for the later
// half of the series (a thread costs some tens of microseconds).
constexpr Py_ssize_t kRowsForTwo = 1 << 17;

// Every series of the table, in one thread or two: the later half of the rows
// (whole series) in a thread of its own, which touches only the buffers opened
// here and its own part of the results, while this one, which holds the
// interpreter, does the first half.
template <class Instants>
void walk_all(const Instants& instant_of, const Columns& c, int workers) {
  const auto* bounds = c.bounds.data<int64_t>();
  const Py_ssize_t segments = c.bounds.size() - 1;
  Tally tally(Route::series_segment), second(Route::series_segment);
  Py_ssize_t middle = segments;
  if (workers >= 2 && c.order.size() >= kRowsForTwo) {
    middle = 0;
    while (middle < segments && bounds[middle] < c.order.size() / 2) ++middle;
  }
  if (middle == 0 || middle == segments) {
    walk(instant_of, c, 0, segments, tally, true);
    return;
  }
  std::optional<std::jthread> helper;
  try {
    helper.emplace([&] { walk(instant_of, c, middle, segments, second, false); });
  } catch (const std::system_error&) {  // no thread to be had: this one does it all
    walk(instant_of, c, 0, segments, tally, true);
    return;
  }
  walk(instant_of, c, 0, middle, tally, true);  // (a signal raised here waits for the helper to end)
}

bool valid_positions(const Columns& c, Py_ssize_t rows) {
  const auto* order = c.order.data<int64_t>();
  const auto* bounds = c.bounds.data<int64_t>();
  const Py_ssize_t segments = c.bounds.size() - 1;
  if (segments < 0 || bounds[0] != 0 || bounds[segments] != c.order.size()) return false;
  for (Py_ssize_t s = 0; s < segments; ++s) {
    if (bounds[s + 1] < bounds[s]) return false;
  }
  for (Py_ssize_t k = 0; k < c.order.size(); ++k) {
    if (order[k] < 0 || order[k] >= rows) return false;
  }
  return true;
}

// A contiguous one-dimensional buffer of int64.
bool open_int64(View& v, PyObject* o) {
  if (!v.open(o) || !v.contiguous() || v.itemsize() != 8) return false;
  const char* f = v.format();
  return std::strcmp(f, "q") == 0 || std::strcmp(f, "l") == 0;
}

}  // namespace

std::optional<Ref> series_segments(PyObject* times, PyObject* order, PyObject* bounds, PyObject* numbers, int workers) {
  return run<Ref>(Route::series_pass, [&]() -> Answer<Ref> {
    Columns c;
    if (!open_int64(c.order, order) || !open_int64(c.bounds, bounds) || c.bounds.size() < 1) return Reason::kind;
    if (!PyTuple_Check(numbers)) return Reason::kind;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(numbers); ++j) {
      View& v = c.numbers.emplace_back();
      if (!v.open(PyTuple_GET_ITEM(numbers, j)) || v.itemsize() != 8 || std::strcmp(v.format(), "d") != 0) {
        return Reason::kind;
      }
    }
    // The time column: int64 instants already read, a string column in Arrow
    // storage, or object values.
    View given;
    ArrowTexts texts;
    Ref values;
    View objects;
    Py_ssize_t rows;
    enum { kGiven, kArrow, kObject } kind;
    if (open_int64(given, times)) {
      kind = kGiven;
      rows = given.size();
    } else if (texts.open(times, true)) {
      kind = kArrow;
      rows = texts.size();
    } else if (!open_object_values(times, values, objects)) {
      kind = kObject;
      rows = objects.size();
    } else {
      return Reason::kind;
    }
    for (const View& v : c.numbers) {
      if (v.size() != rows) return Reason::kind;
    }
    if (!valid_positions(c, rows)) return Reason::value;
    const Py_ssize_t n = c.order.size(), segments = c.bounds.size() - 1;
    if (!new_output<int64_t>(n, "int64", c.instants, c.out_instants) ||
        !new_output<uint8_t>(segments, "bool", c.plain, c.out_plain) ||
        !new_output<int64_t>(segments, "int64", c.steps, c.out_steps)) {
      return Reason::kind;
    }
    switch (kind) {
      case kGiven:
        walk_all(GivenInstants{given}, c, workers);
        break;
      case kArrow:
        walk_all(ArrowInstants{texts}, c, workers);
        break;
      case kObject:
        walk_all(ObjectInstants{objects}, c, workers);
        break;
    }
    Ref result = check(PyTuple_Pack(3, c.instants.get(), c.plain.get(), c.steps.get()));
    return result;
  });
}

}  // namespace qx::fast
