// The readers of timestamp texts: plain bytes in, the fields of the time out,
// without the interpreter (see readers.hpp).
//
// Timestamp texts in the shapes real files carry, read the way dateutil's
// general parser (its default parser, fuzzy off) reads them:
//
//   YYYY-MM-DD[{T| }HH:MM[:SS[.F...]]] (read_iso_stamp, the common case first)
//   a/b/c with one separator ('/', '-' or '.'), numbers of 1, 2 or 4 digits
//   a/b  (year-month, month-year, ...) with '/' or '-'
//   Jan-1-1995, 1-Jan-1995 ('-' or '/'), 1 Jan 2024, Jan 1 2024, January 2024
//   1995 (four digits)
//
// The three-part dates may be followed by ' ' (or 'T' for all-numeric ones)
// and H:MM[:SS[.fraction]], then directly by Z or a numeric offset. Which
// number is the day, the month and the year follows the parser's own rules
// (ymd resolution, two-digit years from its parserinfo's year and century),
// fields a text does not give come from the default. Fractions are cut to
// microseconds (dateutil truncates, it does not round). Every other text,
// every impossible date and every value the parser would refuse is left to it.
#include "fast/readers.hpp"

#include <cstdint>
#include <cstring>

namespace qx::fast {
namespace {

bool digits(const char* p, int n, int& v) {
  v = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + (p[i] - '0');
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A run of digits at p[i..]: its value and length (at most 4 accepted).
bool number_at(const char* p, Size n, Size& i, int& value, int& len) {
  const Size start = i;
  value = 0;
  while (i < n && is_digit(p[i])) {
    if (i - start == 4) return false;
    value = value * 10 + (p[i++] - '0');
  }
  len = static_cast<int>(i - start);
  return len == 1 || len == 2 || len == 4;
}

// The month of a name of the parser's table (any case), 0 for other words.
int month_named(const char* p, Size len) {
  static const char* const names[12][3] = {
      {"jan", "january", nullptr}, {"feb", "february", nullptr}, {"mar", "march", nullptr},
      {"apr", "april", nullptr},   {"may", nullptr, nullptr},    {"jun", "june", nullptr},
      {"jul", "july", nullptr},    {"aug", "august", nullptr},   {"sep", "sept", "september"},
      {"oct", "october", nullptr}, {"nov", "november", nullptr}, {"dec", "december", nullptr}};
  if (len > 9) return 0;
  char lower[10];
  for (Size k = 0; k < len; ++k) lower[k] = static_cast<char>(p[k] | 0x20);
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
bool read_time(const char* p, Size n, Size i, Stamp& t) {
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
    if (i < n && p[i] == '.' && !read_fraction(p, n, ++i, t.micro)) return false;
  }
  if (i < n && is_digit(p[i])) return false;
  return read_zone(p, n, i, t);
}

// One token of a date: a number (with its digit count) or a month name.
struct Token {
  int value = 0, digits = 0;
  bool month = false;
};

bool token_at(const char* p, Size n, Size& i, Token& tok) {
  if (i < n && is_digit(p[i])) {
    tok.month = false;
    return number_at(p, n, i, tok.value, tok.digits);
  }
  const Size start = i;
  while (i < n && is_alpha(p[i])) ++i;
  tok.month = true;
  tok.value = month_named(p + start, i - start);
  return tok.value != 0;
}

}  // namespace

bool read_zone(const char* p, Size n, Size i, Stamp& t) {
  if (i == n) return true;
  if (p[i] == 'Z' || p[i] == 'z') {
    t.zone = Stamp::zero;
    return i + 1 == n;
  }
  if (p[i] != '+' && p[i] != '-') return false;
  const int sign = p[i] == '+' ? 1 : -1;
  const char* q = p + i + 1;
  const Size rest = n - i - 1;
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

bool read_any_stamp(const char* p, Size n, const ReadRules& rules, Stamp& t) {
  if (read_iso_stamp(p, n, t)) return true;
  t = Stamp();
  // Up to three date tokens joined by one separator: '/', '-', '.' or ' '
  // (a blank followed by H: starts the time instead).
  Token tok[3];
  int count = 0;
  char sep = 0;
  Size i = 0;
  if (!token_at(p, n, i, tok[count++])) return false;
  while (count < 3 && i + 1 < n) {
    const char c = p[i];
    if (sep ? c != sep : (c != '/' && c != '-' && c != '.' && c != ' ')) break;
    if (c == ' ') {
      Size j = i + 1;
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

bool read_iso_stamp(const char* p, Size n, Stamp& t) {
  if (n < 10 || p[4] != '-' || p[7] != '-') return false;
  if (!digits(p, 4, t.year) || !digits(p + 5, 2, t.month) || !digits(p + 8, 2, t.day)) return false;
  if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month)) return false;
  if (n == 10) return true;
  if ((p[10] != 'T' && p[10] != ' ') || n < 16 || p[13] != ':') return false;
  if (!digits(p + 11, 2, t.hour) || !digits(p + 14, 2, t.minute) || t.hour > 23 || t.minute > 59) return false;
  Size i = 16;
  if (i < n && p[i] == ':') {
    if (i + 3 > n || !digits(p + i + 1, 2, t.second) || t.second > 59) return false;
    i += 3;
    if (i < n && p[i] == '.' && !read_fraction(p, n, ++i, t.micro)) return false;
  }
  return read_zone(p, n, i, t);
}

}  // namespace qx::fast
