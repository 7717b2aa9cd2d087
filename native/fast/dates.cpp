// The whole-column route for text timestamps: every text read by the readers
// (readers.hpp) and the datetime64 column built directly, in the unit and with
// the zone the straightforward route gives it.
#include "fast/dates.hpp"

#include "fast/arrow.hpp"

#include <datetime.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace qx::fast {

// ---- the whole column ------------------------------------------------------------

namespace {

// The zone of a value as pandas compares zones: naive, zero or the offset.
int64_t zone_key(const Stamp& t) {
  if (t.zone == Stamp::naive) return INT64_MIN;
  return t.zone == Stamp::zero ? 0 : t.offset_seconds;
}

// The seconds since the epoch (UTC) of `t`, a time of the years of the
// nanosecond range, the only ones build_dates converts itself (so that pandas
// infers datetime64[ns] from such a column as well).
inline int64_t utc_seconds(const Stamp& t) {
  const int64_t days = nano_range_days(t.year, t.month, t.day);
  return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second - t.offset_seconds;
}

}  // namespace

namespace {

// The texts of an object column: its exact ASCII str values.
struct ObjectTexts {
  explicit ObjectTexts(const View& in) : base(in.data<char>()), step(in.stride()), n(in.size()) {}
  // the values' place, step and count, copied for the loop to hold in registers
  const char* base;
  Py_ssize_t step, n;
  PyObject* at(Py_ssize_t i) const {
    PyObject* v;
    std::memcpy(&v, base + i * step, sizeof v);
    return v;
  }
  void prefetch(Py_ssize_t i) const {
    if (i + kPrefetchAhead < n) prefetch_object(at(i + kPrefetchAhead));
  }
  bool text(Py_ssize_t i, const char*& b, Py_ssize_t& n) const {
    PyObject* v = at(i);
    return PyUnicode_CheckExact(v) && ascii_unquoted(v, b, n);
  }
};

// The texts of a string column in Arrow storage: its present texts.
struct BufferTexts {
  const ArrowTexts& in;
  void prefetch(Py_ssize_t) const {}
  bool text(Py_ssize_t i, const char*& b, Py_ssize_t& n) const { return unquoted_bytes(in, i, b, n); }
};

// The column of the n texts of `column` (every one read, else a decline).
// `fixed_only`: only the shapes read at fixed places that hold no a/b/year date
// (ISO, year, year-month, day month-name year) are read: read_any_stamp reads
// them so too, the readers it tries before them taking none of them;
// `increasing`, when given, is set to whether the instants strictly increase
// (a column of one zone).
template <class Texts>
Answer<Ref> build_dates(PyObject* column, const Texts texts, Py_ssize_t n, const ReadRules& rules,
                        bool fixed_only = false, bool* increasing = nullptr) {
  const ZeroZone zero = zero_zone();
  // The unit the straightforward route's column comes out in: nanoseconds up
  // to pandas 2, microseconds from pandas 3, naive or with its one zone.
  Ref unit = naive_datetime_dtype();
  const bool ns = PyUnicode_CompareWithASCIIString(unit.get(), "datetime64[ns]") == 0;
  if (!ns && PyUnicode_CompareWithASCIIString(unit.get(), "datetime64[us]") != 0) return Reason::kind;
  // numpy exports no buffer of datetime64: fill int64 and view it as such.
  Ref out;
  View dst;
  int64_t* y = new_output<int64_t>(n, "int64", out, dst);
  if (!y) return Reason::kind;
  // Text i read into t; false for a text no reader takes.
  auto read = [&](Py_ssize_t i, Stamp& t) {
    const char* b;
    Py_ssize_t len;
    if (!texts.text(i, b, len)) return false;
    if (!fixed_only) return read_any_stamp(b, len, rules, t);
    // by length: the year texts are the short ones
    if (len < 10) return read_year_stamp(b, len, rules, t);
    return read_iso_stamp(b, len, t) || read_named_stamp(b, len, t);
  };
  bool one_zone = true, in_range = true, rising = true;
  Stamp first, t;  // (each reader sets every field of t)
  for (Py_ssize_t i = 0; i < n; ++i) {
    poll_signals(i);
    texts.prefetch(i);
    if (!read(i, t)) return Reason::value;
    if (t.zone == Stamp::zero && zero == ZeroZone::declined) return Reason::settings;
    if (i == 0) first = t;
    // zones differ: the column is made of datetime objects below, which read
    // the rest (and check it) as they go
    if (zone_key(t) != zone_key(first)) {
      one_zone = false;
      break;
    }
    // the nanoseconds of a time outside those years would not fit in 64 bits
    // (and are never used)
    const bool inside = t.year >= kFirstNanoYear && t.year <= kLastNanoYear;
    in_range = in_range && inside;
    if (inside) {
      const int64_t secs = utc_seconds(t);
      y[i] = ns ? secs * 1000000000LL + t.micro * 1000LL : secs * 1000000LL + t.micro;
    }
    rising = rising && inside && (i == 0 || y[i] > y[i - 1]);
  }
  if (increasing) *increasing = one_zone && rising;
  if (one_zone) {
    if (!in_range) return Reason::value;  // pandas decides what such a column becomes
    Ref stamps = call_method(out, "view", unit);
    if (first.zone == Stamp::naive) return mapped_series(column, stamps.get());
    // one zone throughout: the instants in UTC, shown in that zone
    Ref zone;
    if (first.zone == Stamp::offset) {
      zone = zone_for(import_attr("dateutil.tz", "tzoffset").get(), new_dict().get(), first.offset_seconds);
    } else {
      zone = zero_zone_object(zero);
      if (PyType_Check(zone.get())) zone = call(zone);
    }
    Ref utc = text("UTC");
    Ref naive = call(import_attr("pandas", "array"), stamps);
    Ref aware = call_method(call_method(naive, "tz_localize", utc), "tz_convert", zone);
    return mapped_series(column, aware.get());
  }
  // Zones differ: the column stays one of datetime objects. Times with a zone
  // beside times without one are left to the straightforward route, which
  // refuses them with the values it names.
  Ref size = from_ssize(n);
  Ref object = text("object");
  Ref objects = call_kw(import_attr("numpy", "empty").get(), {size.get()}, {{"dtype", object.get()}});
  View cells;  // numpy.empty has set every one to None
  if (!cells.open(objects.get(), true) || std::strcmp(cells.format(), "O") != 0 || !cells.contiguous()) {
    return Reason::kind;
  }
  PyObject** cell = cells.data<PyObject*>();
  Ref tzoffset = import_attr("dateutil.tz", "tzoffset");
  Ref offsets = new_dict();
  Ref zero_object = zero_zone_object(zero);
  LastZone last;
  bool naive = false, zoned = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    poll_signals(i);
    texts.prefetch(i);
    Stamp t;
    if (!read(i, t)) return Reason::value;
    (t.zone == Stamp::naive ? naive : zoned) = true;
    if (naive && zoned) return Reason::value;
    Ref made = stamp_object(t, zero_object.get(), tzoffset.get(), offsets.get(), &last);
    if (!made) return Reason::settings;
    Ref none = Ref::steal(cell[i]);
    cell[i] = made.release();
  }
  return object_series(column, objects.get());
}

}  // namespace

std::optional<Ref> date_column(PyObject* column, PyObject* parse, PyObject* default_, bool dayfirst,
                               const ArrowTexts* texts) {
  return run<Ref>(Route::iso_column, [&]() -> Answer<Ref> {
    ReadRules rules;
    rules.dayfirst = dayfirst;
    if (!stock_parser(parse, default_, rules)) return Reason::settings;
    if (texts) {
      if (texts->any_missing()) return Reason::value;
      return build_dates(column, BufferTexts{*texts}, texts->size(), rules);
    }
    Ref values;
    View in;
    if (auto why = open_object_values(column, values, in)) return *why;
    return build_dates(column, ObjectTexts{in}, in.size(), rules);
  });
}

std::optional<Ref> fixed_time_column(PyObject* df, PyObject* time_col,
                                     const std::function<bool(Ref& parse, Ref& default_)>& parsers, bool* increasing) {
  return run<Ref>(Route::fixed_first, [&]() -> Answer<Ref> {
    Ref column;
    if (auto why = unique_column(df, time_col, column)) return *why;
    ArrowTexts texts;
    const bool buffers = texts.open(column.get());
    Ref values;
    View in;
    if (!buffers) {
      if (auto why = open_object_values(column.get(), values, in)) return *why;
    }
    ReadRules rules;
    Ref parse, default_;
    if (!parsers(parse, default_) || !stock_parser(parse.get(), default_.get(), rules)) return Reason::settings;
    if (buffers) {
      if (texts.any_missing()) return Reason::value;
      return build_dates(column.get(), BufferTexts{texts}, texts.size(), rules, true, increasing);
    }
    return build_dates(column.get(), ObjectTexts{in}, in.size(), rules, true, increasing);
  });
}

}  // namespace qx::fast
