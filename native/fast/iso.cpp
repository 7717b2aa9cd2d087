// What the readers' fields become as Python objects, the way dateutil's
// general parser (fuzzy off, its default parser) makes them:
//
//   no zone      -> a naive datetime
//   zero offset  -> tz.UTC, or tzlocal() when both local zone names are
//                   "UTC" (other local names with UTC go to dateutil)
//   other offset -> tz.tzoffset(None, seconds)
//
// Here also: the guard that decides whether dateutil is the stock one, and
// the converter callable, which reads a text with the readers (readers.hpp)
// and leaves every other text to dateutil itself.
#include "fast/dates.hpp"

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>

namespace qx::fast {

namespace {

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
// tables, and the year and century of some run (two-digit years), copied to
// `rules`.
bool stock_info(PyObject* info, ReadRules& rules) {
  Ref d = instance_dict(info);
  if (!d || PyDict_GET_SIZE(d.get()) != 11 || !plain(d.get())) return false;
  if (PyDict_GetItemString(d.get(), "dayfirst") != Py_False) return false;
  if (PyDict_GetItemString(d.get(), "yearfirst") != Py_False) return false;
  for (const char* name : {"_year", "_century"}) {
    PyObject* v = PyDict_GetItemString(d.get(), name);
    if (!v || !PyLong_CheckExact(v)) return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(v, &overflow);
    if (overflow || value < 0 || value > 9999) return false;
    (name[1] == 'y' ? rules.this_year : rules.century) = static_cast<int>(value);
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

}  // namespace

// True when `parse` is dateutil's own module-level parse, its default parser
// and that parser's parserinfo are stock, and `default_` is a plain midnight.

bool stock_parser(PyObject* parse, PyObject* default_, ReadRules& rules) {
  datetime_ready();
  if (!stock_default(default_)) return false;
  rules.default_year = PyDateTime_GET_YEAR(default_);
  rules.default_month = PyDateTime_GET_MONTH(default_);
  rules.default_day = PyDateTime_GET_DAY(default_);
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
  return info && reinterpret_cast<PyObject*>(Py_TYPE(info)) == info_cls && stock_info(info, rules);
}

// dateutil names a zero offset "UTC" and, when time.tzname holds that name,
// gives tzlocal() for it, switched to tz.UTC when tzlocal() names the time
// otherwise: tzlocal() for sure only when both names are "UTC" (and then
// tzlocal() offsets nothing: it reads time.timezone and time.altzone).
ZeroZone zero_zone() {
  Ref names = import_attr("time", "tzname");
  Ref utc = text("UTC");
  if (!contains(names, utc)) return ZeroZone::utc;
  if (!PyTuple_CheckExact(names.get()) || PyTuple_GET_SIZE(names.get()) != 2) return ZeroZone::declined;
  for (Py_ssize_t i = 0; i < 2; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names.get(), i);
    if (!PyUnicode_CheckExact(name) || PyUnicode_CompareWithASCIIString(name, "UTC") != 0) return ZeroZone::declined;
  }
  for (const char* offset : {"timezone", "altzone"}) {
    Ref seconds = import_attr("time", offset);
    if (!PyLong_CheckExact(seconds.get()) || PyLong_AsLong(seconds.get()) != 0) return ZeroZone::declined;
  }
  return ZeroZone::local;
}

Ref zone_for(PyObject* tzoffset, PyObject* offsets, int seconds) {
  Ref key = from_ssize(seconds);
  PyObject* hit = PyDict_GetItemWithError(offsets, key.get());
  if (hit) return Ref::borrow(hit);
  if (PyErr_Occurred()) throw_error();
  Ref zone = call(tzoffset, Py_None, key);
  check(PyDict_SetItem(offsets, key.get(), zone.get()));
  return zone;
}

Ref zero_zone_object(ZeroZone kind) {
  if (kind == ZeroZone::declined) return Ref::borrow(Py_None);
  if (kind == ZeroZone::utc) return import_attr("dateutil.tz", "UTC");
  return import_attr("dateutil.tz", "tzlocal");
}

Ref stamp_object(const Stamp& t, PyObject* zero, PyObject* tzoffset, PyObject* offsets, LastZone* last) {
  PyObject* zone = Py_None;
  Ref owned;
  if (t.zone == Stamp::zero) {
    if (zero == Py_None) return Ref();
    // tz.UTC is one object; tzlocal() is made afresh for every value, as
    // dateutil makes it.
    if (PyType_Check(zero)) {
      owned = call(zero);
      zone = owned.get();
    } else {
      zone = zero;
    }
  } else if (t.zone == Stamp::offset) {
    if (last && last->zone && last->seconds == t.offset_seconds) {
      zone = last->zone.get();
    } else {
      owned = zone_for(tzoffset, offsets, t.offset_seconds);
      zone = owned.get();
      if (last) *last = {t.offset_seconds, owned};
    }
  }
  return check(PyDateTimeAPI->DateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.micro,
                                                       zone, PyDateTimeAPI->DateTimeType));
}

namespace {

// ---- the converter callable ---------------------------------------------------------

// State of one converter, a tuple: the straightforward converter (for every
// text outside the shapes), the zone of zero offsets (dateutil.tz.UTC, the
// class tzlocal, or None when they go to dateutil), dateutil.tz.tzoffset, a
// dict offset seconds -> tzoffset instance, and a capsule of the ReadRules.
enum Slot { kFallback, kZero, kTzoffset, kOffsets, kRules, kSlots };

PyObject* slot(PyObject* state, Slot i) { return PyTuple_GET_ITEM(state, i); }

const char* const kRulesCapsule = "quarnex.timestamp_rules";

void free_rules(PyObject* capsule) { delete static_cast<ReadRules*>(PyCapsule_GetPointer(capsule, kRulesCapsule)); }

// The datetime for a text in the shapes, or the reason it is left to dateutil.
Answer<Ref> build(PyObject* state, PyObject* text_obj) {
  const char* b;
  Py_ssize_t n;
  Stamp t;
  const auto* rules = static_cast<const ReadRules*>(PyCapsule_GetPointer(slot(state, kRules), kRulesCapsule));
  if (!rules) throw_error();
  if (!PyUnicode_CheckExact(text_obj) || !ascii_unquoted(text_obj, b, n) || !read_any_stamp(b, n, *rules, t)) {
    return Reason::value;
  }
  Ref made = stamp_object(t, slot(state, kZero), slot(state, kTzoffset), slot(state, kOffsets));
  if (!made) return Reason::settings;
  return made;
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

}  // namespace

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

std::optional<Ref> general_converter(PyObject* parse, PyObject* default_, bool dayfirst, PyObject* fallback) {
  return run<Ref>(Route::iso_converter, [&]() -> Answer<Ref> {
    ReadRules rules;
    rules.dayfirst = dayfirst;
    if (!stock_parser(parse, default_, rules)) return Reason::settings;
    Ref tzoffset = import_attr("dateutil.tz", "tzoffset");
    Ref zero = zero_zone_object(zero_zone());
    Ref offsets = new_dict();
    auto* copy = new ReadRules(rules);
    Ref capsule = Ref::steal(PyCapsule_New(copy, kRulesCapsule, free_rules));
    if (!capsule) {
      delete copy;
      throw_error();
    }
    Ref state = check(PyTuple_Pack(kSlots, fallback, zero.get(), tzoffset.get(), offsets.get(), capsule.get()));
    return check(PyCFunction_New(&convert_def, state.get()));
  });
}

}  // namespace qx::fast
