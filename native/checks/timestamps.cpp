// Timestamp parsing, the check of the time steps, and the time-ordered
// preparation of training and holdout data.
//
// Per-row work has two seams that a faster route can replace without the
// callers noticing: the whole-column parse of text timestamps in
// parse_text_timestamps (a column built directly, else parse_text_column's
// converters) and interval_statistics (the time steps and their mean and
// standard deviation).
#include "checks/methods.hpp"
#include "fast/arrow.hpp"
#include "fast/dates.hpp"
#include "fast/fastpath.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace qx {
namespace {

Ref none() { return Ref::borrow(Py_None); }

// pd.api.types, looked up through the live `pd`.
Ref pandas_types(const Frame& f) { return attr(attr(global(f, G::pd), "api"), "types"); }

// " in the <data_type.value> data": names the table in the message texts.
Ref data_type_phrase(PyObject* data_type) {
  Ref value = str(attr(data_type, "value"));
  return check(PyUnicode_FromFormat(" in the %U data", value.get()));
}

// Raises `ex` again as it stands: same object, its context and traceback kept.
[[noreturn]] void reraise(const Ref& ex) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(ex.get()));
  Py_INCREF(type);
  PyErr_Restore(type, Ref(ex).release(), PyException_GetTraceback(ex.get()));
  throw_error();
}

// Runs `body` the way `try: body() except Exception as ex:` does: returns an
// empty Ref when it succeeds and the caught exception when it raised one of
// the Exception family. Anything else (KeyboardInterrupt, SystemExit, ...)
// keeps propagating, and so does a MemoryError: running out of memory is no
// value a parser refused, and trying the next parser would only take long to
// run out again.
template <class Body>
Ref attempt(Body&& body) {
  try {
    body();
    return Ref();
  } catch (const PyErrorSet&) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
    Ref ex = take_exception();
    if (!ex) throw;
    return ex;
  }
}

// ---- timestamp parsing ----------------------------------------------------------

// The two dateutil parsers imported by one parse_time_col call; the converters
// and the diagnosis use exactly these objects. Empty until imported. The
// general parser always gets `default_` (fields a text does not give come
// from 1 January, 00:00:00 of the current year, never from today) and, when
// the column is day-first, dayfirst=True for the texts of the a/b/YYYY shape.
struct Parsers {
  Ref parse;
  Ref isoparse;
  Ref default_;
  bool dayfirst = false;
};

enum class Converter { general, iso };

// ---- one day/month order per column --------------------------------------------

// A text of the a/b/year shape: its two leading numbers, its year as written
// (two or four digits) and where in the day its time falls, in seconds from
// midnight UTC (the time's zone applied; midnight when it has no time).
struct DayMonthText {
  int a = 0, b = 0, year = 0, year_digits = 0;
  double seconds = 0;
};

// True when the text [p, p + n), stripped of its quotes, has the shape
// a/b/YYYY or a/b/YY (separator '/', '.' or '-', the same twice; a and b of
// one or two digits, a at most 31 before a two-digit year, which the parser
// would otherwise take for the year), optionally followed by a time:
// H:MM[:SS[.fraction]] (hours, minutes and seconds of one or two digits),
// then optionally am/pm and a zone (Z, UTC, GMT or a numeric offset). None
// of the time's tokens is a day, a month or a year, so the order of the date
// does not touch them. Blanks around the whole are allowed. `matters(a, b)`
// says whether the caller wants a text with these leading numbers at all
// (false: the text counts as of another shape, and its time is not read).
template <class Matters>
bool day_month_bytes(const char* p, Py_ssize_t n, DayMonthText& d, Matters&& matters) {
  fast::strip_quotes(p, n);
  // A look at the first number and what follows it spares the lexer most
  // texts of other shapes (ISO dates, month names, times).
  Py_ssize_t k = 0;
  while (k < n && fast::is_blank(p[k])) ++k;
  if (k + 2 >= n || !fast::is_digit(p[k])) return false;
  const bool two = fast::is_digit(p[k + 1]);
  const char after = two ? p[k + 2] : p[k + 1];
  if (after != '/' && after != '.' && after != '-') return false;
  // The two leading numbers as the lexer reads them in a text of this shape
  // (in any other, the answer is false whatever they are): a caller with no
  // use for them is answered before the text is lexed.
  const Py_ssize_t j = k + (two ? 3 : 2);
  if (j < n && fast::is_digit(p[j])) {
    const int lead = two ? (p[k] - '0') * 10 + (p[k + 1] - '0') : p[k] - '0';
    const bool two_more = j + 1 < n && fast::is_digit(p[j + 1]);
    const int next = two_more ? (p[j] - '0') * 10 + (p[j + 1] - '0') : p[j] - '0';
    if (!matters(lead, next)) return false;
  }
  fast::Fields f;
  // then the date, each part as it comes
  fast::Size i = 0;
  auto wanted = [](const fast::Fields& g) {
    const fast::Fields::Part& last = g.part[g.parts - 1];
    return !last.month() && (g.parts == 3 || last.digits <= 2) && g.sep != ' ';
  };
  if (!fast::lex_date(p, n, i, f, wanted) || f.parts != 3) return false;
  const fast::Fields::Part &a = f.part[0], &b = f.part[1], &year = f.part[2];
  if (a.digits > 2 || b.digits > 2 || (year.digits != 4 && (year.digits != 2 || a.value > 31))) return false;
  if (!matters(a.value, b.value)) return false;  // the caller has no use for it: the rest unread
  if (!fast::lex_after_date(p, n, i, f)) return false;
  d.a = a.value;
  d.b = b.value;
  d.year = year.value;
  d.year_digits = year.digits;
  d.seconds = 0;
  if (!f.time()) return true;
  int hour = f.hour.value;
  if (f.hour.digits > 2 || f.minute.digits > 2 || f.minute.value > 59) return false;
  if (f.seconds && (f.second.digits > 2 || f.second.value > 59)) return false;
  if (f.zone == fast::Fields::offset && f.zone_colon && f.zone_minutes.digits > 2) return false;
  if (f.meridian == fast::Fields::am && hour == 12) hour = 0;
  if (f.meridian == fast::Fields::pm && hour < 12) hour += 12;
  const double fraction = f.fraction ? f.micro / 1e6 : 0;
  d.seconds = hour * 3600.0 + f.minute.value * 60.0 + f.second.value + fraction - f.offset_seconds;
  return true;
}

// The same for a value whose text is `s` (a str of one byte a character).
template <class Matters>
bool day_month_shape(PyObject* s, DayMonthText& d, Matters&& matters) {
  if (!PyUnicode_Check(s) || PyUnicode_KIND(s) != PyUnicode_1BYTE_KIND) return false;
  const char* p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s));
  return day_month_bytes(p, PyUnicode_GET_LENGTH(s), d, std::forward<Matters>(matters));
}

// Whether the general parser reads a text day-first: only when the column is
// day-first and the text has the a/b/year shape.
bool reads_day_first(bool column_dayfirst, PyObject* s) {
  DayMonthText d;
  return column_dayfirst && day_month_shape(s, d, [](int, int) { return true; });
}

// Whether sorted instants are evenly spaced by the measure of the time-step
// check: a positive mean step and a sample standard deviation of the steps
// of at most 20 percent of it.
bool evenly_spaced(std::vector<double>& at) {
  std::sort(at.begin(), at.end());
  const size_t steps = at.size() - 1;
  double mean = 0;
  for (size_t i = 1; i < at.size(); ++i) mean += at[i] - at[i - 1];
  mean /= static_cast<double>(steps);
  if (!(mean > 0)) return false;
  double squares = 0;
  for (size_t i = 1; i < at.size(); ++i) squares += (at[i] - at[i - 1] - mean) * (at[i] - at[i - 1] - mean);
  return 100.0 * std::sqrt(squares / static_cast<double>(steps - 1)) <= 20.0 * mean;
}

// The order of a column's a/b/year dates, learnt from its values. A first
// number above 12 (with a second of at most 12) can only be a day, a second
// number above 12 (with a first of at most 12) only a day as well, so the
// value is month-first. While every value seen could be either, both
// readings of each are kept, for the evenness rule of decide().
class DayMonthOrder {
 public:
  explicit DayMonthOrder(int this_year) : this_year_(this_year) {}
  void reset() { *this = DayMonthOrder(this_year_); }

  Ref day_first, month_first;
  bool settled() const { return day_first && month_first; }

  // `ts` is the value as stored, `s` its text.
  void see(PyObject* ts, PyObject* s) {
    if (!PyUnicode_Check(s) || PyUnicode_KIND(s) != PyUnicode_1BYTE_KIND) return;
    const char* p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s));
    see_text(p, PyUnicode_GET_LENGTH(s), [ts] { return Ref::borrow(ts); });
  }

  // The text [p, p + n) of a value; `value()` gives the value as stored, and
  // is asked for only when the value is kept as an example.
  template <class Value>
  void see_text(const char* p, Py_ssize_t n, Value&& value) {
    // Once one order is known, only a value that can only be read the other
    // way changes anything: the time of the others is not read.
    auto matters = [this](int a, int b) {
      if (month_first) return a > 12 && b <= 12 && !day_first;
      if (day_first) return b > 12 && a <= 12;
      return true;
    };
    DayMonthText d;
    if (!day_month_bytes(p, n, d, matters)) return;
    if (d.a > 12 && d.b <= 12 && !day_first) day_first = value();
    if (d.b > 12 && d.a <= 12 && !month_first) month_first = value();
    if (day_first || month_first) {
      std::vector<double>().swap(as_month_first_);
      std::vector<double>().swap(as_day_first_);
      return;
    }
    if (d.a < 1 || d.b < 1) return;  // no date either way: the parser refuses it
    const int year = full_year(d);
    as_month_first_.push_back(instant(year, d.a, d.b, d.seconds));
    as_day_first_.push_back(instant(year, d.b, d.a, d.seconds));
    if (!example_ && d.a != d.b) {
      example_ = value();
      example_date_ = {year, d.b, d.a};
    }
  }

  // When no value settles the order and there are at least three: true when
  // only the day-first reading of the values gives evenly spaced times.
  bool only_day_first_is_even() {
    if (day_first || month_first || as_month_first_.size() < 3 || !example_) return false;
    return !evenly_spaced(as_month_first_) && evenly_spaced(as_day_first_);
  }

  // A value read day-first by the evenness rule, as stored, and the date it
  // was read as (YYYY-MM-DD).
  const Ref& example() const { return example_; }
  Ref example_date() const {
    return check(PyUnicode_FromFormat("%04d-%02d-%02d", example_date_[0], example_date_[1], example_date_[2]));
  }

 private:
  // Two-digit years as the parser places them: within fifty years of now.
  int full_year(const DayMonthText& d) const {
    return d.year_digits == 4 ? d.year : fast::full_year(d.year, this_year_, this_year_ / 100 * 100);
  }
  // Seconds since the epoch; a day past the end of its month runs on into
  // the next, which keeps both readings comparable without refusing either.
  static double instant(int year, int month, int day, double seconds) {
    return static_cast<double>(fast::days_from_civil(year, month, day)) * 86400.0 + seconds;
  }

  int this_year_;
  std::vector<double> as_month_first_, as_day_first_;
  Ref example_;
  std::array<int, 3> example_date_{};
};

// The scan over an exact Series of object dtype whose values are all exact
// str, read in place: no list or tuple of millions of references, and no
// Python code runs between two reads (only a signal handler, after which the
// next value is read afresh). False, with `order` reset, at the first value
// of another type: the caller then scans a copy of its own.
bool scan_plain_texts(PyObject* column, DayMonthOrder& order) {
  if (!fast::is_exact_series(column)) return false;
  Ref dtype = attr(column, "dtype");
  Ref object = text("O");
  if (!is_instance(dtype.get(), import_attr("numpy", "dtype").get()) || ne(attr(dtype, "kind"), object)) return false;
  Ref values = attr(column, "values");
  fast::View in;
  if (!in.open(values.get()) || std::strcmp(in.format(), "O") != 0 ||
      in.itemsize() != static_cast<Py_ssize_t>(sizeof(PyObject*))) {
    return false;
  }
  for (Py_ssize_t i = 0; i < in.size() && !order.settled(); ++i) {
    fast::poll_signals(i);
    PyObject* ts = in.at<PyObject*>(i);
    if (!PyUnicode_CheckExact(ts)) {
      order.reset();
      return false;
    }
    order.see(ts, ts);
  }
  return true;
}

// The scan over a string column's Arrow buffers, on each text's UTF-8 bytes:
// the lexer takes ASCII texts only (the fuzz driver holds it to it), so a text
// of other characters is of no shape here, as its str is of none.
void scan_buffer_texts(const fast::ArrowTexts& texts, DayMonthOrder& order) {
  for (Py_ssize_t i = 0; i < texts.size() && !order.settled(); ++i) {
    fast::poll_signals(i);
    const char* p;
    Py_ssize_t n;
    if (texts.bytes(i, p, n)) order.see_text(p, n, [&] { return texts.value(i); });
  }
}

// The warning list of the process_data_by_time_col call running on this
// thread, if any: parse_time_col has no list of its own, so what a parse has
// to say goes to the list of the call that asked for it.
thread_local PyObject* t_warn_list = nullptr;

class WarnListScope {
 public:
  explicit WarnListScope(PyObject* warn_msg) noexcept : outer_(t_warn_list) { t_warn_list = warn_msg; }
  ~WarnListScope() { t_warn_list = outer_; }
  WarnListScope(const WarnListScope&) = delete;
  WarnListScope& operator=(const WarnListScope&) = delete;

 private:
  PyObject* outer_;
};

// A warning of the catalogue from inside a parse: into the caller's list,
// or, for a parse called on its own, as a Python UserWarning of the same text.
void note(const Frame& f, const char* id, std::initializer_list<PyObject*> args) {
  if (t_warn_list) {
    warn(f, t_warn_list, id, args);
    return;
  }
  Ref said = message(f, id, args);
  Ref category = Ref::borrow(PyExc_UserWarning);
  call(import_attr("warnings", "warn"), said, category);
}

// The order of the column's a/b/year dates. Values of both kinds (see
// DayMonthOrder): QUARNEX0078E with the first of each, as stored. Some of the
// first kind only: day-first. None of either: month-first (the parser's own
// reading), unless only the day-first reading makes a series of evenly spaced
// times; the column is then read day-first, with QUARNEX0017W.
// `texts`, when given, holds the column's texts read from its Arrow buffers.
bool column_is_day_first(const Frame& f, PyObject* column, PyObject* time_col, int this_year,
                         const fast::ArrowTexts* texts) {
  DayMonthOrder order(this_year);
  if (texts) {
    scan_buffer_texts(*texts, order);
  } else if (!scan_plain_texts(column, order)) {
    // A tuple of our own: nothing a value's __str__ does can change it under us.
    Ref values = check(PySequence_Tuple(call_method(column, "to_list").get()));
    const Py_ssize_t n = PyTuple_GET_SIZE(values.get());
    for (Py_ssize_t i = 0; i < n && !order.settled(); ++i) {
      fast::poll_signals(i);
      PyObject* ts = PyTuple_GET_ITEM(values.get(), i);
      if (PyUnicode_CheckExact(ts)) {
        order.see(ts, ts);
        continue;
      }
      Ref s = Ref::steal(PyObject_Str(ts));
      if (!s) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
        PyErr_Clear();  // the parsers meet the same error and report it their way
        continue;
      }
      order.see(ts, s.get());
    }
  }
  if (order.settled()) raise_message(f, "QUARNEX0078E", {time_col, order.day_first.get(), order.month_first.get()});
  if (order.day_first) return true;
  if (!order.only_day_first_is_even()) return false;
  note(f, "QUARNEX0017W", {time_col, order.example().get(), order.example_date().get()});
  return true;
}

// The year of a datetime, as an int.
int year_of(const Ref& moment) {
  const long year = PyLong_AsLong(attr(moment, "year").get());
  if (year == -1 && PyErr_Occurred()) throw_error();
  return static_cast<int>(std::clamp(year, 1L, 9999L));
}

// datetime.datetime(datetime.date.today().year, 1, 1), through the module's
// live `datetime`: the year of the run is the only thing a parse takes from
// the clock (tests put another `datetime` there to run on other dates).
Ref january_first(const Frame& f) {
  Ref dt = global(f, G::datetime);
  Ref today = call_method(attr(dt, "date"), "today");
  Ref year = attr(today, "year");
  Ref one = from_ssize(1);
  return call(attr(dt, "datetime"), year, one, one);
}

// ("fuzzy", "default") or ("fuzzy", "default", "dayfirst"), without "fuzzy"
// for the diagnosis: the keyword names of a general parse.
Ref general_kwnames(bool fuzzy_off, bool dayfirst) {
  Ref names = new_list();
  if (fuzzy_off) append(names.get(), text("fuzzy").get());
  append(names.get(), text("default").get());
  if (dayfirst) append(names.get(), text("dayfirst").get());
  return check(PyList_AsTuple(names.get()));
}

// parse(s, [fuzzy=False,] default=default[, dayfirst=True]), the keywords
// named by `kwnames` (from general_kwnames).
Ref call_general(PyObject* parse, PyObject* s, PyObject* default_, PyObject* kwnames) {
  PyObject* argv[5] = {nullptr, s};
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw && k < 3; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    argv[2 + k] = PyUnicode_CompareWithASCIIString(name, "fuzzy") == 0     ? Py_False
                  : PyUnicode_CompareWithASCIIString(name, "default") == 0 ? default_
                                                                           : Py_True;
  }
  return call_vector(parse, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

// self is (parse, default, dayfirst, kwnames, kwnames with dayfirst):
// parse(str(ts).strip('"'), fuzzy=False, default=default[, dayfirst=True])
PyObject* general_convert(PyObject* self, PyObject* ts) noexcept {
  return boundary(
      [&] {
        if (PyErr_CheckSignals() < 0) throw_error();  // the library's loop never does
        Ref s = unquoted_text(ts);
        const bool dayfirst = reads_day_first(PyTuple_GET_ITEM(self, 2) == Py_True, s.get());
        return call_general(PyTuple_GET_ITEM(self, 0), s.get(), PyTuple_GET_ITEM(self, 1),
                            PyTuple_GET_ITEM(self, dayfirst ? 4 : 3));
      },
      "a timestamp converter");
}

// self is isoparse: isoparse(str(ts).strip('"'))
PyObject* iso_convert(PyObject* self, PyObject* ts) noexcept {
  return boundary(
      [&] {
        if (PyErr_CheckSignals() < 0) throw_error();  // the library's loop never does
        Ref s = unquoted_text(ts);
        return call(self, s);
      },
      "a timestamp converter");
}

PyMethodDef general_def = {"general_converter", general_convert, METH_O,
                           "Parses one timestamp with dateutil's general parser (no fuzzy matching)."};
PyMethodDef iso_def = {"iso_converter", iso_convert, METH_O, "Parses one timestamp as ISO 8601 with dateutil."};

Ref make_converter(const Parsers& p, Converter kind) {
  if (kind == Converter::iso) return check(PyCFunction_New(&iso_def, p.isoparse.get()));
  Ref plain = general_kwnames(true, false);
  Ref with_dayfirst = general_kwnames(true, true);
  Ref self = check(PyTuple_Pack(5, p.parse.get(), p.default_.get(), p.dayfirst ? Py_True : Py_False, plain.get(),
                                with_dayfirst.get()));
  return check(PyCFunction_New(&general_def, self.get()));
}

// column.map(converter): the whole text column parsed by one of the two
// parsers; raises whatever the first refused value raised.
Ref parse_text_column(PyObject* column, const Parsers& p, Converter kind) {
  Ref converter = make_converter(p, kind);
  if (kind == Converter::general) {
    if (auto fast_converter = fast::general_converter(p.parse.get(), p.default_.get(), p.dayfirst, converter.get())) {
      return map_column(column, fast_converter->get());
    }
  }
  return map_column(column, converter.get());
}

// drop(labels, inplace=True) of `data_df`, its bound `drop` given. Where
// pandas deprecates the inplace keyword (its default is then a marker, not
// False), the same is done as drop itself does it: the data of the table
// without those rows replace the caller's table's data.
void drop_in_place(PyObject* data_df, PyObject* drop, PyObject* labels) {
  PyObject* kwdefaults = PyObject_GetAttrString(drop, "__kwdefaults__");
  if (!kwdefaults) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
  }
  Ref defaults = Ref::steal(kwdefaults);
  PyObject* inplace =
      defaults && PyDict_Check(defaults.get()) ? PyDict_GetItemString(defaults.get(), "inplace") : Py_False;
  if (!inplace || inplace == Py_False) {
    call_kw(drop, {labels}, {{"inplace", Py_True}});
    return;
  }
  Ref rest = call(drop, labels);
  call_method(data_df, "_update_inplace", rest);
}

// Removes, in place, exactly the rows whose timestamp is missing. The other
// rows keep their index labels. True when the column was found to hold texts
// only (the fast route's answer; false says nothing).
bool drop_missing_timestamps(const Frame& f, PyObject* data_df, PyObject* time_col) {
  if (fast::without_missing(data_df, time_col).value_or(false)) return true;
  Ref cols = list_of(time_col);
  Ref any_missing = call_method(call_method(call_method(item(data_df, cols.get()), "isna"), "any"), "any");
  if (!truthy(any_missing)) return false;

  Ref axis = from_ssize(1);
  Ref per_row = call_kw(attr(call_method(item(data_df, cols.get()), "isna"), "any").get(), {}, {{"axis", axis.get()}});
  Ref is_missing_values = call_method(per_row, "to_list");
  Ref indices = new_list();
  const Py_ssize_t n = length(is_missing_values);
  for (Py_ssize_t i = 0; i < n; ++i) {
    fast::poll_signals(i);
    if (truthy(item(is_missing_values.get(), i))) append(indices.get(), from_ssize(i).get());
  }

  Ref drop = attr(data_df, "drop");
  Ref index = attr(data_df, "index");
  if (truthy(attr(index, "is_unique"))) {
    // Unique labels name exactly the rows at these positions.
    Ref labels = item(index, indices);
    drop_in_place(data_df, drop.get(), labels.get());
    return false;
  }
  // Repeated labels would take other rows with them: drop by position under a
  // temporary 0..n-1 index, then give the remaining rows their own labels back.
  Ref kept_labels = call_method(index, "delete", indices);
  Ref positions = call(attr(global(f, G::pd), "RangeIndex"), from_ssize(length(index)));
  check(PyObject_SetAttrString(data_df, "index", positions.get()));
  try {
    drop_in_place(data_df, drop.get(), indices.get());
  } catch (const PyErrorSet&) {
    ErrorGuard keep;
    if (PyObject_SetAttrString(data_df, "index", index.get()) < 0) PyErr_Clear();
    throw;
  }
  check(PyObject_SetAttrString(data_df, "index", kept_labels.get()));
  return false;
}

// The general parser's warning about a zone word it cannot resolve (it
// drops the zone and reads another instant), or an empty Ref when the parser
// in use has none (it is then not the one the warning is for).
Ref unknown_zone_category() {
  PyObject* found = nullptr;
  Ref module = Ref::steal(PyImport_ImportModule("dateutil.parser"));
  if (module) found = PyObject_GetAttrString(module.get(), "UnknownTimezoneWarning");
  if (!found) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();  // a parser that cannot be imported is reported where it is called
  }
  return Ref::steal(found);
}

// While alive, that warning is raised as an error instead, so that the value
// is refused; no other warning filter of the caller changes.
class ZoneWordsRefused {
 public:
  explicit ZoneWordsRefused(const Ref& category) {
    if (!category) return;
    Ref manager = call(import_attr("warnings", "catch_warnings"));
    call_method(manager, "__enter__");
    manager_ = std::move(manager);
    Ref error = text("error");
    call_kw(import_attr("warnings", "simplefilter").get(), {error.get()}, {{"category", category.get()}});
  }
  ~ZoneWordsRefused() {
    if (!manager_) return;
    ErrorGuard keep;
    Ref done = Ref::steal(PyObject_CallMethod(manager_.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!done) PyErr_WriteUnraisable(manager_.get());
  }
  ZoneWordsRefused(const ZoneWordsRefused&) = delete;
  ZoneWordsRefused& operator=(const ZoneWordsRefused&) = delete;

 private:
  Ref manager_;
};

// The zone word of such a warning raised as an error (its text names it after
// "tzname "), or an empty Ref for any other error.
Ref unknown_zone_word(const Ref& category, PyObject* ex) {
  if (!category || !is_instance(ex, category.get())) return Ref();
  Ref said = str(ex);
  Ref parts = call_method(said, "split");
  if (length(parts) >= 2 && eq(item(parts.get(), Py_ssize_t{0}), text("tzname"))) {
    return item(parts.get(), Py_ssize_t{1});
  }
  return said;
}

// `values` as a list only this code holds (to_list makes a new one; anything else is
// copied): nothing a value's own code does while it is read can change it.
Ref own_list(Ref values) {
  if (PyList_CheckExact(values.get()) && Py_REFCNT(values.get()) == 1) return values;
  return check(PySequence_List(values.get()));
}

// A parsed column that holds times with a zone beside times without one
// cannot be ordered: QUARNEX0079E with the first value of each, as stored in
// `original`. Only a column of objects can hold both.
void refuse_mixed_zones(const Frame& f, PyObject* time_col, PyObject* original, PyObject* parsed) {
  if (!eq(attr(attr(parsed, "dtype"), "kind"), text("O"))) return;
  Ref values = own_list(call_method(parsed, "to_list"));
  Ref datetime_type = attr(global(f, G::datetime), "datetime");
  Ref tzinfo = text("tzinfo");
  Py_ssize_t zoned = -1, naive = -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()) && (zoned < 0 || naive < 0); ++i) {
    fast::poll_signals(i);
    PyObject* v = PyList_GET_ITEM(values.get(), i);
    if (!is_instance(v, datetime_type.get())) continue;
    Py_ssize_t& first = attr(v, tzinfo).is_none() ? naive : zoned;
    if (first < 0) first = i;
  }
  if (zoned < 0 || naive < 0) return;
  Ref as_stored = call_method(original, "to_list");
  raise_message(f, "QUARNEX0079E", {time_col, item(as_stored.get(), zoned).get(), item(as_stored.get(), naive).get()});
}

// column.astype(object) for a pandas string column whose map hands out its texts as str
// objects (Python storage, or Arrow storage with NaN as its missing value); the column itself
// otherwise.
Ref texts_as_objects(Ref column) {
  Ref dtype = attr(column, "dtype");
  if (!is_instance(dtype.get(), import_attr("pandas", "StringDtype").get())) return column;
  if (arrow_string_with_na(dtype.get())) return column;
  return call_method(column, "astype", reinterpret_cast<PyObject*>(&PyBaseObject_Type));
}

// A text column: the general parser, then the ISO parser, then a value-by-value
// diagnosis that names the first value neither accepts.
void parse_text_timestamps(const Frame& f, PyObject* data_df, PyObject* time_col) {
  Parsers p;
  p.default_ = january_first(f);
  const int this_year = year_of(p.default_);
  // A pandas string column in Arrow storage is read from its buffers where a reader can;
  // otherwise it hands every reader below the same str objects (map does too): made once,
  // not by each reader again.
  Ref original = item(data_df, time_col);
  fast::ArrowTexts texts;
  const bool buffers = fast::enabled() && texts.open(original.get());
  if (!buffers) original = texts_as_objects(std::move(original));
  p.dayfirst = column_is_day_first(f, original.get(), time_col, this_year, buffers ? &texts : nullptr);
  Ref zone_warning = unknown_zone_category();
  ZoneWordsRefused zone_words(zone_warning);
  Ref parsed;
  bool built = false;
  Ref first = attempt([&] {
    p.parse = import_attr("dateutil.parser", "parse");
    if (auto made = fast::date_column(original.get(), p.parse.get(), p.default_.get(), p.dayfirst,
                                      buffers ? &texts : nullptr)) {
      parsed = std::move(*made);
      built = true;
      return;
    }
    if (buffers) original = texts_as_objects(std::move(original));
    parsed = parse_text_column(original.get(), p, Converter::general);
  });
  if (!first) {
    if (!built) refuse_mixed_zones(f, time_col, original.get(), parsed.get());  // the route builds no such column
    original = Ref();  // a column held here would make pandas copy (or warn) when it is replaced
    if (built) {
      fast::set_built_column(data_df, time_col, parsed);
    } else {
      set_item(data_df, time_col, parsed.get());
    }
    return;
  }
  HandlingScope handling_first(first.get());

  Ref second = attempt([&] {
    p.isoparse = import_attr("dateutil.parser", "isoparse");
    parsed = parse_text_column(original.get(), p, Converter::iso);
  });
  if (!second) {
    refuse_mixed_zones(f, time_col, original.get(), parsed.get());
    original = Ref();
    set_item(data_df, time_col, parsed.get());
    return;
  }
  // A parser that could not be imported is a broken installation, not a bad
  // value: its import error reaches the caller instead of a diagnosis.
  if (!p.isoparse) reraise(second);
  if (!p.parse) reraise(first);
  HandlingScope handling_second(second.get());

  Ref trial_plain = general_kwnames(false, false);
  Ref trial_dayfirst = general_kwnames(false, true);
  Ref it = check(PyObject_GetIter(original.get()));
  Ref first_unread;  // the first value the general parser does not read (the ISO one does)
  while (PyObject* next = PyIter_Next(it.get())) {
    Ref ts = Ref::steal(next);
    Ref general_error = attempt([&] {
      Ref s = unquoted_text(ts.get());
      const bool dayfirst = reads_day_first(p.dayfirst, s.get());
      call_general(p.parse.get(), s.get(), p.default_.get(), (dayfirst ? trial_dayfirst : trial_plain).get());
    });
    if (!general_error) continue;
    if (!first_unread) first_unread = ts;
    HandlingScope handling_general(general_error.get());
    Ref iso_error = attempt([&] { call(p.isoparse, unquoted_text(ts.get())); });
    if (!iso_error) continue;
    HandlingScope handling_iso(iso_error.get());
    if (Ref zone = unknown_zone_word(zone_warning, general_error.get()))
      raise_message(f, "QUARNEX0080E", {time_col, ts.get(), zone.get()});
    raise_message(f, "QUARNEX0076E", {time_col, ts.get()});
  }
  if (PyErr_Occurred()) throw_error();
  // Every value is read by one parser or the other, but neither reads them all: a column of
  // texts is no time axis (it could not be ordered), so it is refused with the first value
  // the general parser cannot read.
  if (first_unread) raise_message(f, "QUARNEX0076E", {time_col, first_unread.get()});
}

// ---- time steps -------------------------------------------------------------------

using fast::IntervalStats;

// The differences of consecutive values of `column` (time differences in
// seconds, other differences in the column's own unit) and their mean and
// sample standard deviation, by the statistics module's rules and errors.
IntervalStats interval_statistics(const Frame& f, PyObject* column) {
  if (auto fast_st = fast::interval_statistics(f, column)) return std::move(*fast_st);
  Ref timestamps = call_method(column, "to_list");
  Ref pandas_timedelta = import_attr("pandas._libs.tslibs.timedeltas", "Timedelta");
  Ref timedeltas = new_list();
  const Py_ssize_t n = length(timestamps);
  for (Py_ssize_t i = 1; i < n; ++i) {
    fast::poll_signals(i);
    Ref diff = sub(item(timestamps.get(), i), item(timestamps.get(), i - 1));
    if (is_instance(diff.get(), pandas_timedelta.get()) ||
        is_instance(diff.get(), attr(global(f, G::datetime), "timedelta").get())) {
      append(timedeltas.get(), call_method(diff, "total_seconds").get());
    } else {
      append(timedeltas.get(), diff.get());
    }
  }
  Ref statistics = import_module("statistics");
  IntervalStats st;
  st.mean = call_method(statistics, "mean", timedeltas);
  st.stdev = call_method(statistics, "stdev", timedeltas);
  return st;
}

Ref data_type_member(const Frame& f, const char* name) { return attr(global(f, G::DataType), name); }

// Whether df[time_col] repeats a present timestamp. Missing ones (None, NaN,
// NaT, NA) count as equal to each other in df.duplicated, but they are no
// repeated time: parse_time_col removes those rows.
bool repeated_timestamps(PyObject* df, PyObject* time_col) {
  if (std::optional<bool> found = fast::repeated_values(df, time_col)) return *found;

  Ref subset = list_of(time_col);
  Ref duplicated = call_kw(attr(df, "duplicated").get(), {}, {{"subset", subset.get()}});
  if (!contains(call_method(duplicated, "to_list"), Py_True)) return false;
  // A present value never equals a missing one, so the rows that repeat a
  // present value are the repeated rows that are not missing.
  Ref axis = from_ssize(1);
  Ref missing = call_kw(attr(call_method(item(df, subset.get()), "isna"), "any").get(), {}, {{"axis", axis.get()}});
  Ref present = check(PyNumber_Invert(missing.get()));
  Ref repeated = check(PyNumber_And(duplicated.get(), present.get()));
  return contains(call_method(repeated, "to_list"), Py_True);
}

// Whether a table in time order holds one instant twice: texts that differ
// (2024-01-05 and 2024-01-05 00:00) can still be one time once parsed, and
// equal times are neighbours once sorted.
Ref slice(Py_ssize_t start, Py_ssize_t stop) {
  Ref lo = from_ssize(start), hi = from_ssize(stop);
  return check(PySlice_New(lo.get(), hi.get(), nullptr));
}

bool repeats_in_order(PyObject* df, PyObject* time_col) {
  Ref values = attr(item(df, time_col), "array");
  const Py_ssize_t n = length(values);
  if (n < 2) return false;
  Ref earlier = item(values, slice(0, n - 1));
  Ref later = item(values, slice(1, n));
  Ref same = check(PyObject_RichCompare(later.get(), earlier.get(), Py_EQ));
  return truthy(call_method(same, "any"));
}

Ref last_time(PyObject* df, PyObject* time_col) { return item(attr(item(df, time_col), "iat"), from_ssize(-1)); }
Ref first_time(PyObject* df, PyObject* time_col) { return item(attr(item(df, time_col), "iat"), from_ssize(0)); }

// pd.concat([df, holdout_df], ignore_index=True, sort=False)
Ref join_rows(const Frame& f, const Ref& df, const Ref& holdout_df) {
  Ref concat_fn = attr(global(f, G::pd), "concat");
  Ref tables = list_of(df, holdout_df);
  return call_kw(concat_fn.get(), {tables.get()}, {{"ignore_index", Py_True}, {"sort", Py_False}});
}

// Whether every value of an object column is a datetime with a zone and the zones are not all
// one object (pandas converts a column of one zone by itself).
bool all_zoned(PyObject* column) {
  Ref values = own_list(call_method(column, "to_list"));
  Ref datetime_type = import_attr("datetime", "datetime");
  Ref tzinfo = text("tzinfo");
  Ref first_zone;
  bool several = false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
    fast::poll_signals(i);
    PyObject* v = PyList_GET_ITEM(values.get(), i);
    if (!is_instance(v, datetime_type.get())) return false;
    Ref zone = attr(v, tzinfo);
    if (zone.is_none()) return false;
    if (!first_zone) {
      first_zone = std::move(zone);
    } else if (zone.get() != first_zone.get()) {
      several = true;
    }
  }
  return several;
}

// The column parse_time_col makes of a time column of texts read at their fixed places (ISO,
// YYYY, YYYY-MM, DD Mon YYYY), none missing, made in one pass: its steps would drop no row, take
// the column for text, find no a/b/year date for the day/month scan to order and read every
// text so. Nothing for any other column. `increasing`, when given, is set to whether the
// instants strictly increase.
std::optional<Ref> fixed_texts_column(const Frame& f, PyObject* data_df, PyObject* time_col,
                                      bool* increasing = nullptr) {
  if (!fast::enabled() || pandas_types(f).get() != import_module("pandas.api.types").get()) return std::nullopt;
  return fast::fixed_time_column(
      data_df, time_col,
      [&](Ref& parse, Ref& default_) {
        default_ = january_first(f);
        // a parser that cannot be imported is reported by the steps below
        return !attempt([&] { parse = import_attr("dateutil.parser", "parse"); });
      },
      increasing);
}

Ref parse_time_col(const Frame& f, PyObject* /*self*/, PyObject* data_df, PyObject* time_col, PyObject* data_type) {
  if (auto made = fixed_texts_column(f, data_df, time_col)) {
    fast::set_built_column(data_df, time_col, *made);  // (the route builds no column of naive and zoned times)
    return none();
  }
  const bool texts_only = drop_missing_timestamps(f, data_df, time_col);

  Ref column = item(data_df, time_col);
  Ref types = pandas_types(f);
  // A column of texts only is no number and is text to pandas' own questions, which would
  // otherwise look at every value again.
  const bool stock = texts_only && types.get() == import_module("pandas.api.types").get();
  if (!stock && truthy(call_method(types, "is_numeric_dtype", column))) return none();
  if (stock || truthy(call_method(types, "is_string_dtype", column))) {
    parse_text_timestamps(f, data_df, time_col);
    return none();
  }
  if (truthy(call_method(pandas_types(f), "is_datetime64_any_dtype", column))) {
    // Naive times are declared UTC; times that carry a zone are converted to
    // it (the same instants), so a prepared table can be prepared again.
    Ref utc = text("UTC");
    Ref dt = attr(column, "dt");
    const bool naive = attr(dt, "tz").is_none();
    Ref in_utc = call_method(dt, naive ? "tz_localize" : "tz_convert", utc);
    set_item(data_df, time_col, in_utc.get());
    return none();
  }
  Ref inferred = call_method(pandas_types(f), "infer_dtype", column);
  if (eq(inferred, text("datetime")) || eq(inferred, text("date"))) {
    // Datetimes that all carry a zone, not all the same (several offsets, as texts with
    // offsets are parsed into), become their instants in UTC, as a zoned column does.
    Ref to_datetime = attr(global(f, G::pd), "to_datetime");
    Ref converted = all_zoned(column.get()) ? call_kw(to_datetime.get(), {column.get()}, {{"utc", Py_True}})
                                            : call(to_datetime, column);
    set_item(data_df, time_col, converted.get());
    return none();
  }

  Ref actual_type = str(attr(column, "dtype"));
  Ref detail = concat({text(": ").get(), actual_type.get(), text("(").get(), str(inferred).get(), text(")").get(),
                       data_type_phrase(data_type).get()});
  raise_message(f, "QUARNEX0077E", {detail.get()});
}

Ref validate_time_interval(const Frame& f, PyObject* /*self*/, PyObject* df, PyObject* time_col, PyObject* warn_msg,
                           PyObject* data_type) {
  IntervalStats st = interval_statistics(f, item(df, time_col).get());
  if (eq(st.mean, from_ssize(0))) {
    raise_message(f, "QUARNEX0071E", {time_col, data_type_phrase(data_type).get()});
  }
  Ref relative_dev = div(mul(from_double(100.0), st.stdev), st.mean);
  if (gt(relative_dev, from_double(20.0))) {
    warn(f, warn_msg, "QUARNEX0004W", [&] { return std::array{data_type_phrase(data_type)}; });
  }
  return none();
}

// When self.parse_time_col is this module's own, the column it would make of a time column
// of fixed-place texts (see fixed_texts_column), made before the check for repeated texts:
// where its instants strictly increase (`increasing`) no text repeats, and the check is left
// out. Nothing otherwise; the table is left untouched either way.
std::optional<Ref> parsed_ahead(const Frame& f, PyObject* self, PyObject* df, PyObject* time_col, bool& increasing) {
  if (!fast::enabled()) return std::nullopt;
  PyObject* found = PyObject_GetAttrString(self, "parse_time_col");
  if (!found) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    PyErr_Clear();  // raised again where the method is called
    return std::nullopt;
  }
  Ref bound = Ref::steal(found);
  if (!is_bound_body(bound.get(), self, methods::parse_time_col)) return std::nullopt;
  return fixed_texts_column(f, df, time_col, &increasing);
}

Ref process_data_by_time_col(const Frame& f, PyObject* self, PyObject* df_arg, PyObject* holdout_df_arg,
                             PyObject* time_col, PyObject* learning_type, PyObject* holdout_size_arg,
                             PyObject* warn_msg) {
  Ref df = Ref::borrow(df_arg);
  Ref holdout_df = Ref::borrow(holdout_df_arg);
  Ref holdout_size = Ref::borrow(holdout_size_arg);

  auto holdout_len = [&] {
    Ref method = attr(self, "validate_user_holdout_len");
    Ref result = call(method, df, holdout_df, learning_type, holdout_size, warn_msg);
    auto [table, size] = unpack<2>(result.get());
    holdout_df = std::move(table);
    holdout_size = std::move(size);
  };

  if (time_col != Py_None) {
    bool increasing = false;
    std::optional<Ref> ahead;
    if (holdout_df.is_none()) ahead = parsed_ahead(f, self, df.get(), time_col, increasing);
    if (!(ahead && increasing) && repeated_timestamps(df.get(), time_col)) raise_message(f, "QUARNEX0075E");
    WarnListScope notes(warn_msg);

    if (!holdout_df.is_none()) {
      Ref parse = attr(self, "parse_time_col");
      call(parse, df, time_col, data_type_member(f, "TRAINING"));
      parse = attr(self, "parse_time_col");
      call(parse, holdout_df, time_col, data_type_member(f, "HOLDOUT"));
    } else if (ahead) {
      fast::set_built_column(df.get(), time_col, *ahead);
      ahead.reset();
    } else {
      Ref parse = attr(self, "parse_time_col");
      call(parse, df, time_col, data_type_member(f, "INPUT"));
    }

    auto in_order = fast::sorted_copy(df.get(), time_col);
    df = in_order ? std::move(*in_order) : call_kw(attr(df, "sort_values").get(), {}, {{"by", time_col}});
    if (repeats_in_order(df.get(), time_col)) raise_message(f, "QUARNEX0075E");
    Ref interval = attr(self, "validate_time_interval");
    call(interval, df, time_col, warn_msg, data_type_member(f, "INPUT"));

    if (!holdout_df.is_none()) {
      in_order = fast::sorted_copy(holdout_df.get(), time_col);
      holdout_df =
          in_order ? std::move(*in_order) : call_kw(attr(holdout_df, "sort_values").get(), {}, {{"by", time_col}});
      if (repeats_in_order(holdout_df.get(), time_col)) raise_message(f, "QUARNEX0075E");
      Ref newer = attr(self, "check_user_holdout_newer");
      call(newer, df, holdout_df, time_col);
      if (eq(last_time(df.get(), time_col), first_time(holdout_df.get(), time_col))) raise_message(f, "QUARNEX0075E");
      interval = attr(self, "validate_time_interval");
      call(interval, holdout_df, time_col, warn_msg, data_type_member(f, "HOLDOUT"));
      holdout_len();
      df = join_rows(f, df, holdout_df);
    }
  } else if (!holdout_df.is_none()) {
    holdout_len();
    df = join_rows(f, df, holdout_df);
  }
  return check(PyTuple_Pack(3, df.get(), holdout_df.get(), holdout_size.get()));
}

}  // namespace

namespace methods {
using namespace desc;

constexpr MethodDesc parse_time_col = describe<qx::parse_time_col>(
    "parse_time_col", Kind::Instance,
    {self, {"data_df", "pd.DataFrame", N, REQ}, {"time_col", "str", S, REQ}, {"data_type", "DataType", N, REQ}},
    nullptr,
    "Drop rows without a timestamp and convert the timestamp column in place.\n\n"
    ":param data_df: the table to change in place\n"
    ":param time_col: name of the timestamp column\n"
    ":param data_type: which table this is (training, holdout or input)",
    "None");

constexpr MethodDesc validate_time_interval = describe<qx::validate_time_interval>(
    "validate_time_interval", Kind::Instance,
    {self,
     {"df", "pd.DataFrame", N, REQ},
     {"time_col", "str", S, REQ},
     {"warn_msg", "list", L, REQ},
     {"data_type", "DataType", N, REQ}},
    nullptr,
    "Check that the time steps are evenly spaced; warn when they vary by more than 20 percent.\n\n"
    ":param df: the table, sorted by time\n"
    ":param time_col: name of the timestamp column\n"
    ":param warn_msg: list to which warning texts are appended\n"
    ":param data_type: which table this is (training, holdout or input)",
    "None");

constexpr MethodDesc process_data_by_time_col = describe<qx::process_data_by_time_col>(
    "process_data_by_time_col", Kind::Instance,
    {self,
     {"df", "pd.DataFrame", N, REQ},
     {"holdout_df", "pd.DataFrame", N, REQ},
     {"time_col", "str", S, REQ},
     {"learning_type", "str", S, REQ},
     {"holdout_size", "Union[int, float]", N, REQ},
     {"warn_msg", "list", L, REQ}},
    "pd.DataFrame", nullptr, "tuple[pd.DataFrame, pd.DataFrame | None, Union[int, float, Fraction]]");

}  // namespace methods
}  // namespace qx
