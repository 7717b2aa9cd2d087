// ISO-shaped timestamp texts without dateutil.
//
// The shapes read here, with what dateutil's general parser (fuzzy off, its
// default parser) returns for them:
//
//   YYYY-MM-DD                                   naive midnight
//   YYYY-MM-DD{T| }HH:MM[:SS[.F...]]             naive
//   ... followed directly by Z or +HH, +HHMM, +HH:MM (or -)
//       zero offset  -> tz.UTC (unless the local zone's names include UTC,
//                       where dateutil picks tzlocal(): those go to dateutil)
//       other offset -> tz.tzoffset(None, seconds)
//
// Fractions are cut to microseconds (dateutil truncates, it does not round).
// Every other text, and every value out of range, goes to dateutil itself.
#include "fastpath.hpp"

#include <datetime.h>

#include <cstdint>
#include <cstring>

namespace qx::fast {
namespace {

struct Stamp {
  int year, month, day, hour = 0, minute = 0, second = 0, micro = 0;
  enum Zone { naive, zero, offset } zone = naive;
  int offset_seconds = 0;
};

bool digits(const char* p, int n, int& v) {
  v = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + (p[i] - '0');
  }
  return true;
}

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : d[m - 1];
}

// Reads one text of n ASCII characters; false for anything outside the shapes.
bool read_stamp(const char* p, Py_ssize_t n, Stamp& t) {
  if (n < 10 || p[4] != '-' || p[7] != '-') return false;
  if (!digits(p, 4, t.year) || !digits(p + 5, 2, t.month) || !digits(p + 8, 2, t.day)) return false;
  if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month)) return false;
  if (n == 10) return true;
  if ((p[10] != 'T' && p[10] != ' ') || n < 16 || p[13] != ':') return false;
  if (!digits(p + 11, 2, t.hour) || !digits(p + 14, 2, t.minute) || t.hour > 23 || t.minute > 59) return false;
  Py_ssize_t i = 16;
  if (i < n && p[i] == ':') {
    if (i + 3 > n || !digits(p + i + 1, 2, t.second) || t.second > 59) return false;
    i += 3;
    if (i < n && p[i] == '.') {
      ++i;
      const Py_ssize_t start = i;
      int scale = 100000;
      while (i < n && p[i] >= '0' && p[i] <= '9') {
        t.micro += (p[i] - '0') * scale;
        scale /= 10;
        ++i;
      }
      if (i == start) return false;
    }
  }
  if (i == n) return true;
  if (p[i] == 'Z') {
    if (i + 1 != n) return false;
    t.zone = Stamp::zero;
    return true;
  }
  if (p[i] != '+' && p[i] != '-') return false;
  const int sign = p[i] == '+' ? 1 : -1;
  int oh = 0, om = 0;
  const Py_ssize_t rest = n - i - 1;
  const char* q = p + i + 1;
  if (rest == 2) {
    if (!digits(q, 2, oh)) return false;
  } else if (rest == 4) {
    if (!digits(q, 2, oh) || !digits(q + 2, 2, om)) return false;
  } else if (rest == 5) {
    if (q[2] != ':' || !digits(q, 2, oh) || !digits(q + 3, 2, om)) return false;
  } else {
    return false;
  }
  if (oh > 23 || om > 59) return false;
  t.offset_seconds = sign * (oh * 3600 + om * 60);
  t.zone = t.offset_seconds == 0 ? Stamp::zero : Stamp::offset;
  return true;
}

// The characters of str(ts).strip('"') for an exact ASCII str, as [b, e).
bool ascii_unquoted(PyObject* s, const char*& b, Py_ssize_t& n) {
  if (!PyUnicode_IS_ASCII(s)) return false;
  const char* d = static_cast<const char*>(PyUnicode_DATA(s));
  Py_ssize_t lo = 0, hi = PyUnicode_GET_LENGTH(s);
  while (lo < hi && d[lo] == '"') ++lo;
  while (hi > lo && d[hi - 1] == '"') --hi;
  b = d + lo;
  n = hi - lo;
  return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// True when `parse` is dateutil's own module-level parse and its default
// parser is the stock one, so that the shapes above mean what is said there.
bool is_dateutil_parse(PyObject* parse) {
  Ref mod = import_module("dateutil.parser._parser");
  Ref own = attr(mod, "parse");
  if (own.get() != parse) return false;
  Ref parser_cls = attr(mod, "parser");
  Ref info_cls = attr(mod, "parserinfo");
  Ref dflt = attr(mod, "DEFAULTPARSER");
  if (reinterpret_cast<PyObject*>(Py_TYPE(dflt.get())) != parser_cls.get()) return false;
  Ref info = attr(dflt, "info");
  return reinterpret_cast<PyObject*>(Py_TYPE(info.get())) == info_cls.get();
}

// dateutil names a zero offset "UTC" and, when the local zone is called
// that, returns tzlocal() for it: then zero offsets are left to dateutil.
bool local_zone_named_utc() {
  Ref names = import_attr("time", "tzname");
  Ref utc = text("UTC");
  return contains(names, utc);
}

// ---- the converter callable ---------------------------------------------------------

// State of one converter, a tuple: the parse function, the keyword names for
// fuzzy=False, dateutil.tz.UTC (None when zero offsets go to dateutil),
// dateutil.tz.tzoffset, and a dict offset seconds -> tzoffset instance.
enum Slot { kParse, kKwnames, kUtc, kTzoffset, kOffsets, kSlots };

PyObject* slot(PyObject* state, Slot i) { return PyTuple_GET_ITEM(state, i); }

// tz.tzoffset(None, seconds); dateutil's own factory returns one instance per
// offset while it is in use, so keeping it here changes nothing.
Ref tz_for(PyObject* state, int seconds) {
  Ref key = from_ssize(seconds);
  PyObject* hit = PyDict_GetItemWithError(slot(state, kOffsets), key.get());
  if (hit) return Ref::borrow(hit);
  if (PyErr_Occurred()) throw_error();
  Ref zone = call(slot(state, kTzoffset), Py_None, key);
  check(PyDict_SetItem(slot(state, kOffsets), key.get(), zone.get()));
  return zone;
}

// The datetime for a text in the shapes, or an empty Ref when it is not one.
Ref build(PyObject* state, PyObject* text_obj) {
  const char* b;
  Py_ssize_t n;
  Stamp t;
  if (!ascii_unquoted(text_obj, b, n) || !read_stamp(b, n, t)) return Ref();
  PyObject* zone = Py_None;
  Ref owned;
  if (t.zone == Stamp::zero) {
    zone = slot(state, kUtc);
    if (zone == Py_None) return Ref();
  } else if (t.zone == Stamp::offset) {
    owned = tz_for(state, t.offset_seconds);
    zone = owned.get();
  }
  return check(PyDateTimeAPI->DateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute, t.second,
                                                       t.micro, zone, PyDateTimeAPI->DateTimeType));
}

PyObject* convert(PyObject* self, PyObject* ts) noexcept {
  return callback_boundary([&] {
    if (PyErr_CheckSignals() < 0) throw_error();  // the library's loop never does
    Ref text_obj = str(ts);
    if (PyUnicode_CheckExact(text_obj.get())) {
      if (Ref made = build(self, text_obj.get())) return made;
    }
    Ref quote = check(PyUnicode_FromOrdinal('"'));
    Ref stripped = call_method(text_obj, "strip", quote);
    PyObject* argv[] = {nullptr, stripped.get(), Py_False};
    return call_vector(slot(self, kParse), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, slot(self, kKwnames));
  }, "a timestamp converter");
}

PyMethodDef convert_def = {"general_converter", convert, METH_O,
                           "Parses one timestamp with dateutil's general parser (no fuzzy matching)."};

bool datetime_ready() {
  if (!PyDateTimeAPI) PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw_error();
  return true;
}

}  // namespace

Ref general_converter(PyObject* parse) {
  if (!enabled()) return Ref();
  return or_fallback([&]() -> Ref {
    datetime_ready();
    if (!is_dateutil_parse(parse)) return Ref();
    Ref fuzzy = text("fuzzy");
    Ref kwnames = check(PyTuple_Pack(1, fuzzy.get()));
    Ref tzoffset = import_attr("dateutil.tz", "tzoffset");
    Ref utc = local_zone_named_utc() ? Ref::borrow(Py_None) : import_attr("dateutil.tz", "UTC");
    Ref offsets = new_dict();
    Ref state = check(PyTuple_Pack(kSlots, parse, kwnames.get(), utc.get(), tzoffset.get(), offsets.get()));
    return check(PyCFunction_New(&convert_def, state.get()));
  });
}

Ref iso_datetime_column(PyObject* column, PyObject* parse) {
  if (!enabled()) return Ref();
  return or_fallback([&]() -> Ref {
    if (!is_dateutil_parse(parse)) return Ref();
    Ref values;
    View in;
    if (!open_object_values(column, values, in)) return Ref();
    const Py_ssize_t n = in.size();
    // numpy exports no buffer of datetime64: fill int64 and view it as such.
    Ref out = new_array(n, "int64");
    View dst;
    if (!dst.open(out.get(), true) || !dst.contiguous() || dst.itemsize() != 8) return Ref();
    int64_t* y = dst.data<int64_t>();
    for (Py_ssize_t i = 0; i < n; ++i) {
      poll_signals(i);
      PyObject* v = in.at<PyObject*>(i);
      const char* b;
      Py_ssize_t len;
      Stamp t;
      if (!PyUnicode_CheckExact(v) || !ascii_unquoted(v, b, len) || !read_stamp(b, len, t)) return Ref();
      // Naive values only, well inside the nanosecond range (1677-09-21 to
      // 2262-04-11) so that the inferred column is datetime64[ns] as well.
      if (t.zone != Stamp::naive || t.year < 1678 || t.year > 2261) return Ref();
      const int64_t days = days_from_civil(t.year, t.month, t.day);
      const int64_t secs = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
      y[i] = secs * 1000000000LL + static_cast<int64_t>(t.micro) * 1000;
    }
    Ref unit = text("datetime64[ns]");
    return call_method(out, "view", unit);
  });
}

}  // namespace qx::fast
