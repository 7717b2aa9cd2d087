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
#include <initializer_list>
#include <iterator>
#include <string>

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

bool datetime_ready() {
  if (!PyDateTimeAPI) PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw_error();
  return true;
}

// ---- the guard: dateutil exactly as shipped ------------------------------------------
//
// The shapes above mean what is said there only with dateutil's own parse,
// its default parser and a parserinfo whose options and tables are the stock
// ones, and with a default of midnight without a zone. Every check below reads
// objects and compares plain values: it runs no user code and raises nothing
// but memory errors; anything unexpected declines.

// An exact str, int, bool or None, or an exact list, tuple or dict of such:
// comparing two plain values runs no user code.
bool plain(PyObject* o, int depth = 0) {
  if (o == Py_None || o == Py_True || o == Py_False || PyLong_CheckExact(o) || PyUnicode_CheckExact(o)) return true;
  if (depth > 3) return false;
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!plain(PySequence_Fast_GET_ITEM(o, i), depth + 1)) return false;
    }
    return true;
  }
  if (PyDict_CheckExact(o)) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(o, &pos, &k, &v)) {
      if (!plain(k, depth + 1) || !plain(v, depth + 1)) return false;
    }
    return true;
  }
  return false;
}

// a == b for two plain values.
bool plain_equal(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1; }

using Rows = std::initializer_list<std::initializer_list<const char*>>;

// The stock tables of parserinfo: flat lists of names (JUMP, UTCZONE,
// PERTAIN) or lists of tuples of synonyms.
struct Table {
  const char* name;
  bool tuples;
  Rows rows;
};
const Table kTables[] = {
    {"JUMP",
     false,
     {{" "},
      {"."},
      {","},
      {";"},
      {"-"},
      {"/"},
      {"'"},
      {"at"},
      {"on"},
      {"and"},
      {"ad"},
      {"m"},
      {"t"},
      {"of"},
      {"st"},
      {"nd"},
      {"rd"},
      {"th"}}},
    {"WEEKDAYS",
     true,
     {{"Mon", "Monday"},
      {"Tue", "Tuesday"},
      {"Wed", "Wednesday"},
      {"Thu", "Thursday"},
      {"Fri", "Friday"},
      {"Sat", "Saturday"},
      {"Sun", "Sunday"}}},
    {"MONTHS",
     true,
     {{"Jan", "January"},
      {"Feb", "February"},
      {"Mar", "March"},
      {"Apr", "April"},
      {"May", "May"},
      {"Jun", "June"},
      {"Jul", "July"},
      {"Aug", "August"},
      {"Sep", "Sept", "September"},
      {"Oct", "October"},
      {"Nov", "November"},
      {"Dec", "December"}}},
    {"HMS", true, {{"h", "hour", "hours"}, {"m", "minute", "minutes"}, {"s", "second", "seconds"}}},
    {"AMPM", true, {{"am", "a"}, {"pm", "p"}}},
    {"UTCZONE", false, {{"UTC"}, {"GMT"}, {"Z"}, {"z"}}},
    {"PERTAIN", false, {{"of"}}},
};
// The instance attribute that parserinfo.__init__ makes of each table.
const char* const kConverted[] = {"_jump", "_weekdays", "_months", "_hms", "_ampm", "_utczone", "_pertain"};

// The table as the class body writes it.
Ref table_as_written(const Table& t) {
  Ref list = new_list();
  for (const auto& row : t.rows) {
    Ref entry;
    if (t.tuples) {
      entry = check(PyTuple_New(static_cast<Py_ssize_t>(row.size())));
      Py_ssize_t i = 0;
      for (const char* name : row) PyTuple_SET_ITEM(entry.get(), i++, text(name).release());
    } else {
      entry = text(*row.begin());
    }
    append(list.get(), entry.get());
  }
  return list;
}

// The table as parserinfo._convert turns it into a dict: lower-cased name ->
// row number.
Ref table_as_converted(const Table& t) {
  Ref dict = new_dict();
  Py_ssize_t i = 0;
  for (const auto& row : t.rows) {
    Ref number = from_ssize(i++);
    for (const char* name : row) {
      Ref lower = call_method(text(name), "lower");
      check(PyDict_SetItem(dict.get(), lower.get(), number.get()));
    }
  }
  return dict;
}

// The defaults of the methods of parser and parserinfo that have any.
bool stock_defaults(PyObject* fn, const char* qualname) {
  PyObject* defaults = PyFunction_GET_DEFAULTS(fn);
  if (PyFunction_GET_KW_DEFAULTS(fn)) return false;
  struct Known {
    const char* qualname;
    std::initializer_list<PyObject*> values;
  };
  const Known known[] = {
      {"parser.__init__", {Py_None}},
      {"parser.parse", {Py_None, Py_False, Py_None}},
      {"parser._parse", {Py_None, Py_None, Py_False, Py_False}},
      {"parserinfo.__init__", {Py_False, Py_False}},
      {"parserinfo.convertyear", {Py_False}},
  };
  for (const Known& k : known) {
    if (std::strcmp(k.qualname, qualname) != 0) continue;
    if (!defaults || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != Py_ssize_t(k.values.size())) {
      return false;
    }
    Py_ssize_t i = 0;
    for (PyObject* v : k.values) {
      if (PyTuple_GET_ITEM(defaults, i++) != v) return false;
    }
    return true;
  }
  return defaults == nullptr;
}

// Every method of the class is dateutil's own (not replaced, defaults as
// shipped) and, for parserinfo, the tables are the stock ones.
bool stock_class(PyObject* cls, const char* cls_name, PyObject* module_name) {
  if (!PyType_Check(cls)) return false;
  PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
    const char* name = PyUnicode_AsUTF8(key);
    if (!name) throw_error();
    if (name[0] == '_' && name[1] == '_' && !PyFunction_Check(value)) continue;  // __doc__, __dict__, ...
    if (PyType_Check(value)) continue;                                           // parser._result
    bool table = false;
    for (const Table& t : kTables) table = table || std::strcmp(t.name, name) == 0;
    if (table || std::strcmp(name, "TZOFFSET") == 0) continue;  // compared below
    if (!PyFunction_Check(value)) return false;
    PyObject* fn_module = PyFunction_GET_MODULE(value);
    if (!fn_module || !PyUnicode_CheckExact(fn_module) || !plain_equal(fn_module, module_name)) return false;
    const std::string qualname = std::string(cls_name) + "." + name;
    PyObject* fn_qualname = reinterpret_cast<PyFunctionObject*>(value)->func_qualname;
    if (!PyUnicode_CheckExact(fn_qualname) || PyUnicode_CompareWithASCIIString(fn_qualname, qualname.c_str()) != 0) {
      return false;
    }
    if (!stock_defaults(value, qualname.c_str())) return false;
  }
  if (std::strcmp(cls_name, "parserinfo") != 0) return true;
  for (const Table& t : kTables) {
    PyObject* have = PyDict_GetItemString(dict, t.name);
    if (!have || !plain(have) || !plain_equal(have, table_as_written(t).get())) return false;
  }
  PyObject* tzoffset = PyDict_GetItemString(dict, "TZOFFSET");
  return tzoffset && PyDict_CheckExact(tzoffset) && PyDict_GET_SIZE(tzoffset) == 0;
}

// The instance's own attributes (`o` is of a plain class), or an empty Ref
// when they are not an exact dict.
Ref instance_dict(PyObject* o) {
  Ref d = check(PyObject_GenericGetDict(o, nullptr));
  return PyDict_CheckExact(d.get()) ? d : Ref();
}

// parserinfo() as shipped: dayfirst and yearfirst False, the converted stock
// tables, and the year and century of some run (read only for two-digit years,
// which the shapes above never have).
bool stock_info(PyObject* info) {
  Ref d = instance_dict(info);
  if (!d || PyDict_GET_SIZE(d.get()) != 11 || !plain(d.get())) return false;
  if (PyDict_GetItemString(d.get(), "dayfirst") != Py_False) return false;
  if (PyDict_GetItemString(d.get(), "yearfirst") != Py_False) return false;
  for (const char* name : {"_year", "_century"}) {
    PyObject* v = PyDict_GetItemString(d.get(), name);
    if (!v || !PyLong_CheckExact(v)) return false;
  }
  for (size_t i = 0; i < std::size(kTables); ++i) {
    PyObject* have = PyDict_GetItemString(d.get(), kConverted[i]);
    if (!have || !plain_equal(have, table_as_converted(kTables[i]).get())) return false;
  }
  return true;
}

// datetime(year, month, day) exactly: midnight, no zone, fold 0.
bool stock_default(PyObject* d) {
  return d && PyDateTime_CheckExact(d) && PyDateTime_DATE_GET_HOUR(d) == 0 && PyDateTime_DATE_GET_MINUTE(d) == 0 &&
         PyDateTime_DATE_GET_SECOND(d) == 0 && PyDateTime_DATE_GET_MICROSECOND(d) == 0 &&
         PyDateTime_DATE_GET_FOLD(d) == 0 && PyDateTime_DATE_GET_TZINFO(d) == Py_None;
}

// True when `parse` is dateutil's own module-level parse, its default parser
// and that parser's parserinfo are stock, and `default_` is a plain midnight.
bool stock_parser(PyObject* parse, PyObject* default_) {
  datetime_ready();
  if (!stock_default(default_)) return false;
  Ref mod = import_module("dateutil.parser._parser");
  PyObject* ns = PyModule_GetDict(mod.get());
  if (!ns) throw_error();
  PyObject* own = PyDict_GetItemString(ns, "parse");
  if (!own || own != parse || !PyFunction_Check(parse) || PyFunction_GET_KW_DEFAULTS(parse)) return false;
  PyObject* defaults = PyFunction_GET_DEFAULTS(parse);
  if (!defaults || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 1 ||
      PyTuple_GET_ITEM(defaults, 0) != Py_None) {
    return false;
  }
  PyObject* parser_cls = PyDict_GetItemString(ns, "parser");
  PyObject* info_cls = PyDict_GetItemString(ns, "parserinfo");
  PyObject* dflt = PyDict_GetItemString(ns, "DEFAULTPARSER");
  PyObject* module_name = PyDict_GetItemString(ns, "__name__");
  if (!parser_cls || !info_cls || !dflt || !module_name || !PyUnicode_CheckExact(module_name)) return false;
  if (!stock_class(parser_cls, "parser", module_name) || !stock_class(info_cls, "parserinfo", module_name))
    return false;
  if (reinterpret_cast<PyObject*>(Py_TYPE(dflt)) != parser_cls) return false;
  Ref parser_attrs = instance_dict(dflt);
  if (!parser_attrs || PyDict_GET_SIZE(parser_attrs.get()) != 1) return false;
  PyObject* info = PyDict_GetItemString(parser_attrs.get(), "info");
  return info && reinterpret_cast<PyObject*>(Py_TYPE(info)) == info_cls && stock_info(info);
}

// dateutil names a zero offset "UTC" and, when the local zone is called
// that, returns tzlocal() for it: then zero offsets are left to dateutil.
bool local_zone_named_utc() {
  Ref names = import_attr("time", "tzname");
  Ref utc = text("UTC");
  return contains(names, utc);
}

// ---- the converter callable ---------------------------------------------------------

// State of one converter, a tuple: the straightforward converter (for every
// text outside the shapes), dateutil.tz.UTC (None when zero offsets go to
// dateutil), dateutil.tz.tzoffset, and a dict offset seconds -> tzoffset
// instance.
enum Slot { kFallback, kUtc, kTzoffset, kOffsets, kSlots };

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

// The datetime for a text in the shapes, or the reason it is left to dateutil.
Answer<Ref> build(PyObject* state, PyObject* text_obj) {
  const char* b;
  Py_ssize_t n;
  Stamp t;
  if (!PyUnicode_CheckExact(text_obj) || !ascii_unquoted(text_obj, b, n) || !read_stamp(b, n, t)) {
    return Reason::value;
  }
  PyObject* zone = Py_None;
  Ref owned;
  if (t.zone == Stamp::zero) {
    zone = slot(state, kUtc);
    if (zone == Py_None) return Reason::settings;
  } else if (t.zone == Stamp::offset) {
    owned = tz_for(state, t.offset_seconds);
    zone = owned.get();
  }
  return check(PyDateTimeAPI->DateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.micro,
                                                       zone, PyDateTimeAPI->DateTimeType));
}

// An exact str is its own text, so str() is called only by the fallback.
PyObject* convert(PyObject* self, PyObject* ts) noexcept {
  return boundary(
      [&] {
        if (PyErr_CheckSignals() < 0) throw_error();  // the library's loop never does
        if (PyUnicode_CheckExact(ts)) {
          if (auto made = run_core<Ref>(Route::iso_text, [&] { return build(self, ts); })) return *made;
        } else {
          count_decline(Route::iso_text, Reason::value);
        }
        return call(slot(self, kFallback), ts);
      },
      "a timestamp converter");
}

PyMethodDef convert_def = {"general_converter", convert, METH_O,
                           "Parses one timestamp with dateutil's general parser (no fuzzy matching)."};

// The dtype pandas gives a column of naive datetime objects, as its text:
// "datetime64[ns]" up to pandas 2, "datetime64[us]" from pandas 3.
Ref naive_datetime_dtype() {
  datetime_ready();
  Ref moment =
      check(PyDateTimeAPI->DateTime_FromDateAndTime(2000, 1, 1, 0, 0, 0, 0, Py_None, PyDateTimeAPI->DateTimeType));
  Ref values = check(PyTuple_Pack(1, moment.get()));
  Ref array = call_kw(import_attr("numpy", "array").get(), {values.get()},
                      {{"dtype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)}});
  Ref series = call(import_attr("pandas", "Series"), array);
  return str(attr(series, "dtype"));
}

}  // namespace

std::optional<Ref> general_converter(PyObject* parse, PyObject* default_, PyObject* fallback) {
  return run<Ref>(Route::iso_converter, [&]() -> Answer<Ref> {
    if (!stock_parser(parse, default_)) return Reason::settings;
    Ref tzoffset = import_attr("dateutil.tz", "tzoffset");
    Ref utc = local_zone_named_utc() ? Ref::borrow(Py_None) : import_attr("dateutil.tz", "UTC");
    Ref offsets = new_dict();
    Ref state = check(PyTuple_Pack(kSlots, fallback, utc.get(), tzoffset.get(), offsets.get()));
    return check(PyCFunction_New(&convert_def, state.get()));
  });
}

std::optional<Ref> iso_datetime_column(PyObject* column, PyObject* parse, PyObject* default_) {
  return run<Ref>(Route::iso_column, [&]() -> Answer<Ref> {
    if (!stock_parser(parse, default_)) return Reason::settings;
    // numpy exports no buffer of datetime64: fill int64 and view it as such.
    ColumnPass<int64_t> pass;
    if (auto why = pass.open(column, "int64")) return *why;
    // The unit the straightforward route's column comes out in.
    Ref unit = naive_datetime_dtype();
    int64_t per_second, per_micro;
    if (PyUnicode_CompareWithASCIIString(unit.get(), "datetime64[ns]") == 0) {
      per_second = 1000000000;
      per_micro = 1000;
    } else if (PyUnicode_CompareWithASCIIString(unit.get(), "datetime64[us]") == 0) {
      per_second = 1000000;
      per_micro = 1;
    } else {
      return Reason::kind;
    }
    const Py_ssize_t n = pass.size();
    int64_t* y = pass.y;
    for (Py_ssize_t i = 0; i < n; ++i) {
      poll_signals(i);
      PyObject* v = pass.value(i);
      const char* b;
      Py_ssize_t len;
      Stamp t;
      if (!PyUnicode_CheckExact(v) || !ascii_unquoted(v, b, len) || !read_stamp(b, len, t)) return Reason::value;
      // Naive values only, well inside the nanosecond range (1677-09-21 to
      // 2262-04-11) so that the inferred column has that unit as well.
      if (t.zone != Stamp::naive || t.year < 1678 || t.year > 2261) return Reason::value;
      const int64_t days = days_from_civil(t.year, t.month, t.day);
      const int64_t secs = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
      y[i] = secs * per_second + static_cast<int64_t>(t.micro) * per_micro;
    }
    Ref stamps = call_method(pass.out, "view", unit);
    return mapped_series(column, stamps.get());
  });
}

}  // namespace qx::fast
