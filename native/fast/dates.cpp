// Timestamp texts in the shapes real files carry, read the way dateutil's
// general parser (its default parser, fuzzy off) reads them:
//
//   a/b/c with one separator ('/', '-' or '.'), numbers of 1, 2 or 4 digits
//   a/b  (year-month, month-year, ...) with '/' or '-'
//   Jan-1-1995, 1-Jan-1995 ('-' or '/'), 1 Jan 2024, Jan 1 2024, January 2024
//   1995 (four digits)
//
// The three-part dates may be followed by ' ' (or 'T' for all-numeric ones)
// and H:MM[:SS[.fraction]], then directly by Z or a numeric offset. Which
// number is the day, the month and the year follows the parser's own rules
// (ymd resolution, two-digit years from its parserinfo's year and century),
// fields a text does not give come from the default. Every other text, every
// impossible date and every value the parser would refuse is left to it.
#include "fast/dates.hpp"

#include <datetime.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace qx::fast {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : d[m - 1];
}

// A run of digits at p[i..]: its value and length (at most 4 accepted).
bool number_at(const char* p, Py_ssize_t n, Py_ssize_t& i, int& value, int& len) {
  const Py_ssize_t start = i;
  value = 0;
  while (i < n && is_digit(p[i])) {
    if (i - start == 4) return false;
    value = value * 10 + (p[i++] - '0');
  }
  len = static_cast<int>(i - start);
  return len == 1 || len == 2 || len == 4;
}

// The month of a name of the parser's table (any case), 0 for other words.
int month_named(const char* p, Py_ssize_t len) {
  static const char* const names[12][3] = {
      {"jan", "january", nullptr}, {"feb", "february", nullptr}, {"mar", "march", nullptr},
      {"apr", "april", nullptr},   {"may", nullptr, nullptr},    {"jun", "june", nullptr},
      {"jul", "july", nullptr},    {"aug", "august", nullptr},   {"sep", "sept", "september"},
      {"oct", "october", nullptr}, {"nov", "november", nullptr}, {"dec", "december", nullptr}};
  if (len > 9) return 0;
  char lower[10];
  for (Py_ssize_t k = 0; k < len; ++k) lower[k] = static_cast<char>(p[k] | 0x20);
  lower[len] = '\0';
  for (int m = 0; m < 12; ++m) {
    for (const char* name : names[m]) {
      if (name && std::strcmp(name, lower) == 0) return m + 1;
    }
  }
  return 0;
}

// The parser's list of day, month and year candidates (its _ymd).
struct Ymd {
  int v[3] = {0, 0, 0};
  int n = 0, ystr = -1, mstr = -1;
  bool century = false;

  // A number as the parser appends it: `as_text` for numbers it appends as
  // their text (more than two digits: a year with its century), otherwise as
  // a number (above 100: a year with its century).
  bool add(int value, int digits, bool as_text) {
    if (n == 3) return false;
    const bool year = as_text ? digits > 2 : value > 100;
    if (year) {
      if (ystr >= 0) return false;  // "Year is already set"
      century = true;
      ystr = n;
    }
    v[n++] = value;
    return true;
  }
  bool add_month(int month) {
    if (n == 3 || mstr >= 0) return false;
    mstr = n;
    v[n++] = month;
    return true;
  }

  // resolve_ymd(yearfirst=False, dayfirst); -1 stands for None.
  bool resolve(bool dayfirst, int& year, int& month, int& day) const {
    year = month = day = -1;
    const int known = (ystr >= 0) + (mstr >= 0);
    if ((n == known && known > 0) || (n == 3 && known == 2)) {
      int y = ystr, m = mstr, d = -1;
      if (n == 3 && known == 2) d = 3 - y - m;
      if (y >= 0) year = v[y];
      if (m >= 0) month = v[m];
      if (d >= 0) day = v[d];
      return true;
    }
    if (n == 1 || (mstr >= 0 && n == 2)) {
      int other = v[0];
      if (mstr >= 0) {
        month = v[mstr];
        other = v[mstr == 0 ? n - 1 : mstr - 1];
      }
      if (other > 31) {
        year = other;
      } else {
        day = other;
      }
      return true;
    }
    if (n == 2) {
      if (v[0] > 31) {
        year = v[0], month = v[1];
      } else if (v[1] > 31) {
        month = v[0], year = v[1];
      } else if (dayfirst && v[1] <= 12) {
        day = v[0], month = v[1];
      } else {
        month = v[0], day = v[1];
      }
      return true;
    }
    if (n != 3) return false;
    if (mstr == 0) {
      if (v[1] > 31) {
        month = v[0], year = v[1], day = v[2];
      } else {
        month = v[0], day = v[1], year = v[2];
      }
    } else if (mstr == 1) {
      if (v[0] > 31) {
        year = v[0], month = v[1], day = v[2];
      } else {
        day = v[0], month = v[1], year = v[2];
      }
    } else if (mstr == 2) {
      if (v[1] > 31) {
        day = v[0], year = v[1], month = v[2];
      } else {
        year = v[0], day = v[1], month = v[2];
      }
    } else if (v[0] > 31 || ystr == 0) {
      if (dayfirst && v[2] <= 12) {
        year = v[0], day = v[1], month = v[2];
      } else {
        year = v[0], month = v[1], day = v[2];
      }
    } else if (v[0] > 12 || (dayfirst && v[1] <= 12)) {
      day = v[0], month = v[1], year = v[2];
    } else {
      month = v[0], day = v[1], year = v[2];
    }
    return true;
  }
};

// The time after a date: H:MM[:SS[.fraction]], then nothing, Z/z or a
// numeric offset (+HH, +HHMM, +HH:MM or with '-').
bool read_time(const char* p, Py_ssize_t n, Py_ssize_t i, Stamp& t) {
  int len;
  if (!number_at(p, n, i, t.hour, len) || len > 2 || t.hour > 23) return false;
  if (i + 3 > n || p[i] != ':' || !is_digit(p[i + 1]) || !is_digit(p[i + 2])) return false;
  t.minute = (p[i + 1] - '0') * 10 + (p[i + 2] - '0');
  i += 3;
  if (t.minute > 59) return false;
  if (i < n && p[i] == ':') {
    if (i + 3 > n || !is_digit(p[i + 1]) || !is_digit(p[i + 2])) return false;
    t.second = (p[i + 1] - '0') * 10 + (p[i + 2] - '0');
    i += 3;
    if (t.second > 59) return false;
    if (i < n && p[i] == '.') {
      const Py_ssize_t start = ++i;
      int scale = 100000;
      while (i < n && is_digit(p[i])) {
        t.micro += (p[i++] - '0') * scale;
        scale /= 10;
      }
      if (i == start) return false;
    }
  }
  if (i < n && is_digit(p[i])) return false;
  return read_zone(p, n, i, t);
}

// One token of a date: a number (with its digit count) or a month name.
struct Token {
  int value = 0, digits = 0;
  bool month = false;
};

bool token_at(const char* p, Py_ssize_t n, Py_ssize_t& i, Token& tok) {
  if (i < n && is_digit(p[i])) {
    tok.month = false;
    return number_at(p, n, i, tok.value, tok.digits);
  }
  const Py_ssize_t start = i;
  while (i < n && is_alpha(p[i])) ++i;
  tok.month = true;
  tok.value = month_named(p + start, i - start);
  return tok.value != 0;
}

}  // namespace

bool read_zone(const char* p, Py_ssize_t n, Py_ssize_t i, Stamp& t) {
  if (i == n) return true;
  if (p[i] == 'Z' || p[i] == 'z') {
    t.zone = Stamp::zero;
    return i + 1 == n;
  }
  if (p[i] != '+' && p[i] != '-') return false;
  const int sign = p[i] == '+' ? 1 : -1;
  const char* q = p + i + 1;
  const Py_ssize_t rest = n - i - 1;
  auto two = [](const char* s, int& out) {
    if (!is_digit(s[0]) || !is_digit(s[1])) return false;
    out = (s[0] - '0') * 10 + (s[1] - '0');
    return true;
  };
  int oh = 0, om = 0;
  if (rest == 2) {
    if (!two(q, oh)) return false;
  } else if (rest == 4) {
    if (!two(q, oh) || !two(q + 2, om)) return false;
  } else if (rest == 5) {
    if (q[2] != ':' || !two(q, oh) || !two(q + 3, om)) return false;
  } else {
    return false;
  }
  if (oh > 23 || om > 59) return false;
  t.offset_seconds = sign * (oh * 3600 + om * 60);
  t.zone = t.offset_seconds == 0 ? Stamp::zero : Stamp::offset;
  return true;
}

bool read_any_stamp(const char* p, Py_ssize_t n, const ReadRules& rules, Stamp& t) {
  if (read_iso_stamp(p, n, t)) return true;
  t = Stamp();
  // Up to three date tokens joined by one separator: '/', '-', '.' or ' '
  // (a blank followed by H: starts the time instead).
  Token tok[3];
  int count = 0;
  char sep = 0;
  Py_ssize_t i = 0;
  if (!token_at(p, n, i, tok[count++])) return false;
  while (count < 3 && i + 1 < n) {
    const char c = p[i];
    if (sep ? c != sep : (c != '/' && c != '-' && c != '.' && c != ' ')) break;
    if (c == ' ') {
      Py_ssize_t j = i + 1;
      while (j < n && is_digit(p[j])) ++j;
      if (j < n && p[j] == ':') break;
    }
    sep = c;
    ++i;
    if (!token_at(p, n, i, tok[count++])) return false;
  }
  int months = 0;
  for (int k = 0; k < count; ++k) months += tok[k].month;
  Ymd ymd;
  bool day_month_shape = false;
  if (count == 1) {
    // a lone year (four digits, appended as a number above 100)
    if (months || tok[0].digits != 4 || tok[0].value < 1000 || i != n) return false;
    ymd.add(tok[0].value, 4, false);
  } else if (sep == ' ') {
    // Numbers between blanks are appended as numbers: only the shapes with
    // one month name, whose reading is plain.
    if (months != 1) return false;
    for (int k = 0; k < count; ++k) {
      if (tok[k].month) {
        ymd.add_month(tok[k].value);
      } else if ((tok[k].digits == 4 && tok[k].value <= 100) || !ymd.add(tok[k].value, tok[k].digits, false)) {
        return false;
      }
    }
  } else {
    // Numbers after a separator are appended as their text.
    if (sep == '.' && (count != 3 || months)) return false;  // "2024.01" is one number
    if (months > 1 || tok[count - 1].month) return false;
    for (int k = 0; k < count; ++k) {
      if (tok[k].month ? !ymd.add_month(tok[k].value) : !ymd.add(tok[k].value, tok[k].digits, true)) return false;
    }
    // a/b/YYYY, and a/b/YY unless a can only be a year: the texts whose
    // day and month follow the column's order
    day_month_shape = count == 3 && !months && tok[0].digits <= 2 && tok[1].digits <= 2 &&
                      (tok[2].digits == 4 || (tok[2].digits == 2 && tok[0].value <= 31));
  }
  // The time: after ' ' (three-part dates and dates with a month name), or
  // after 'T' (all-numeric three-part dates).
  if (i < n) {
    const bool numeric3 = count == 3 && !months;
    if (!(count == 3 || sep == ' ')) return false;
    if (p[i] != ' ' && !(p[i] == 'T' && numeric3)) return false;
    if (!read_time(p, n, i + 1, t)) return false;
  }
  int year, month, day;
  if (!ymd.resolve(rules.dayfirst && day_month_shape, year, month, day)) return false;
  if (year >= 0) {
    if (year < 100 && !ymd.century) {
      year += rules.century;
      if (year >= rules.this_year + 50) {
        year -= 100;
      } else if (year < rules.this_year - 50) {
        year += 100;
      }
    }
  } else {
    year = rules.default_year;
  }
  if (month < 0) month = rules.default_month;
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  if (day < 0) {
    day = rules.default_day;
    if (day > days_in_month(year, month)) day = days_in_month(year, month);
  }
  if (day < 1 || day > days_in_month(year, month)) return false;
  t.year = year;
  t.month = month;
  t.day = day;
  return true;
}

// ---- the whole column ------------------------------------------------------------

namespace {

// The zone of a value as pandas compares zones: naive, zero or the offset.
int64_t zone_key(const Stamp& t) {
  if (t.zone == Stamp::naive) return INT64_MIN;
  return t.zone == Stamp::zero ? 0 : t.offset_seconds;
}

// The nanoseconds since the epoch (UTC) of `t`.
int64_t utc_nanoseconds(const Stamp& t) {
  const int64_t days = days_from_civil(t.year, t.month, t.day);
  const int64_t secs = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second - t.offset_seconds;
  return secs * 1000000000LL + static_cast<int64_t>(t.micro) * 1000;
}

}  // namespace

std::optional<Ref> date_column(PyObject* column, PyObject* parse, PyObject* default_, bool dayfirst) {
  return run<Ref>(Route::iso_column, [&]() -> Answer<Ref> {
    ReadRules rules;
    rules.dayfirst = dayfirst;
    if (!stock_parser(parse, default_, rules)) return Reason::settings;
    const ZeroZone zero = zero_zone();
    // numpy exports no buffer of datetime64: fill int64 and view it as such.
    ColumnPass<int64_t> pass;
    if (auto why = pass.open(column, "int64")) return *why;
    // The unit the straightforward route's column comes out in: nanoseconds up
    // to pandas 2, microseconds from pandas 3, naive or with its one zone.
    Ref unit = naive_datetime_dtype();
    const bool ns = PyUnicode_CompareWithASCIIString(unit.get(), "datetime64[ns]") == 0;
    if (!ns && PyUnicode_CompareWithASCIIString(unit.get(), "datetime64[us]") != 0) return Reason::kind;
    const Py_ssize_t n = pass.size();
    int64_t* y = pass.y;
    bool one_zone = true, in_range = true;
    Stamp first;
    for (Py_ssize_t i = 0; i < n; ++i) {
      poll_signals(i);
      PyObject* v = pass.value(i);
      const char* b;
      Py_ssize_t len;
      Stamp t;
      if (!PyUnicode_CheckExact(v) || !ascii_unquoted(v, b, len) || !read_any_stamp(b, len, rules, t)) {
        return Reason::value;
      }
      if (t.zone == Stamp::zero && zero == ZeroZone::declined) return Reason::settings;
      if (i == 0) first = t;
      one_zone = one_zone && zone_key(t) == zone_key(first);
      // well inside the nanosecond range (1677-09-21 to 2262-04-11), so
      // that pandas infers datetime64[ns] as well; the nanoseconds of a time
      // outside it would not fit in 64 bits (and are never used)
      const bool inside = t.year >= 1678 && t.year <= 2261;
      in_range = in_range && inside;
      if (inside) y[i] = ns ? utc_nanoseconds(t) : utc_nanoseconds(t) / 1000;
    }
    if (one_zone) {
      if (!in_range) return Reason::value;  // pandas decides what such a column becomes
      Ref stamps = call_method(pass.out, "view", unit);
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
    // Zones differ: the column stays one of datetime objects.
    Ref size = from_ssize(n);
    Ref object = text("object");
    Ref objects = call_kw(import_attr("numpy", "empty").get(), {size.get()}, {{"dtype", object.get()}});
    Ref tzoffset = import_attr("dateutil.tz", "tzoffset");
    Ref offsets = new_dict();
    Ref zero_object = zero_zone_object(zero);
    for (Py_ssize_t i = 0; i < n; ++i) {
      poll_signals(i);
      const char* b;
      Py_ssize_t len;
      Stamp t;
      if (!ascii_unquoted(pass.value(i), b, len) || !read_any_stamp(b, len, rules, t)) return Reason::value;
      Ref made = stamp_object(t, zero_object.get(), tzoffset.get(), offsets.get());
      if (!made) return Reason::settings;
      check(PySequence_SetItem(objects.get(), i, made.get()));
    }
    return object_series(column, objects.get());
  });
}

}  // namespace qx::fast
