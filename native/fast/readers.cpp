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
//
// Every reader decides on the fields the lexer (readers.hpp) gives; only the
// commonest ISO texts are read at their fixed places first, and the fuzz
// driver holds that shortcut to the lexer's reading.
#include "fast/readers.hpp"

#include <cstdint>
#include <cstring>

namespace qx::fast {
namespace {

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

// The time and zone as the general parser reads them without help: H:MM
// with two-digit minutes, :SS with two digits and a fraction, then directly
// nothing, Z or z, or an offset +HH, +HHMM or +HH:MM (or '-') of less than a
// day. No meridian, no zone word, nothing after.
bool plain_time(const Fields& f, Stamp& t) {
  if (f.trail) return false;
  if (!f.time()) return true;
  if (f.hour.digits > 2 || f.hour.value > 23 || f.minute.digits != 2 || f.minute.value > 59) return false;
  if (f.seconds && (f.second.digits != 2 || f.second.value > 59)) return false;
  if (f.meridian != Fields::no_meridian || f.zone_blank) return false;
  t.hour = f.hour.value;
  t.minute = f.minute.value;
  t.second = f.second.value;
  t.micro = f.micro;
  switch (f.zone) {
    case Fields::no_zone:
      return true;
    case Fields::letter_z:
      t.zone = Stamp::zero;
      return true;
    case Fields::offset: {
      const bool written = f.zone_colon ? f.zone_hours.digits == 2 && f.zone_minutes.digits == 2
                                        : f.zone_hours.digits == 2 || f.zone_hours.digits == 4;
      const int hours = f.zone_hours.digits == 4 ? f.zone_hours.value / 100 : f.zone_hours.value;
      const int minutes = f.zone_hours.digits == 4 ? f.zone_hours.value % 100 : f.zone_minutes.value;
      if (!written || hours > 23 || minutes > 59) return false;
      t.offset_seconds = f.offset_seconds;
      t.zone = t.offset_seconds == 0 ? Stamp::zero : Stamp::offset;
      return true;
    }
    default:
      return false;  // a zone word: the parser decides
  }
}

}  // namespace

// The month of a name of the parser's table (any case), 0 for other words.
int month_named(const char* p, Size len) {
  static const char* const names[12][3] = {
      {"jan", "january", nullptr}, {"feb", "february", nullptr}, {"mar", "march", nullptr},
      {"apr", "april", nullptr},   {"may", nullptr, nullptr},    {"jun", "june", nullptr},
      {"jul", "july", nullptr},    {"aug", "august", nullptr},   {"sep", "sept", "september"},
      {"oct", "october", nullptr}, {"nov", "november", nullptr}, {"dec", "december", nullptr}};
  if (len == 3) {
    // the common case, as one number: the three letters in lower case
    auto key = [](const char* w) {
      return static_cast<uint32_t>(static_cast<unsigned char>(w[0] | 0x20)) |
             static_cast<uint32_t>(static_cast<unsigned char>(w[1] | 0x20)) << 8 |
             static_cast<uint32_t>(static_cast<unsigned char>(w[2] | 0x20)) << 16;
    };
    const uint32_t k = key(p);
    for (int m = 0; m < 12; ++m) {
      if (k == key(names[m][0])) return m + 1;
    }
    return 0;
  }
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

bool read_any_stamp(const char* p, Size n, const ReadRules& rules, Stamp& t) {
  return read_iso_stamp(p, n, t) || read_slashed_stamp(p, n, rules, t) || read_year_stamp(p, n, rules, t) ||
         read_named_stamp(p, n, t) || read_lexed_stamp(p, n, rules, t);
}

bool read_lexed_stamp(const char* p, Size n, const ReadRules& rules, Stamp& t) {
  t = Stamp();
  Fields f;
  if (!lex(p, n, f) || f.lead) return false;
  int months = 0;
  for (int k = 0; k < f.parts; ++k) months += f.part[k].month();
  for (int k = 0; k < f.parts; ++k) {
    if (f.part[k].digits == 3) return false;
  }
  Ymd ymd;
  bool day_month_shape = false;
  if (f.parts == 1) {
    // a lone year (four digits, appended as a number above 100)
    const Fields::Part& year = f.part[0];
    if (months || year.digits != 4 || year.value < 1000 || f.time() || f.trail) return false;
    ymd.add(year.value, 4, false);
  } else if (f.sep == ' ') {
    // Numbers between blanks are appended as numbers: only the shapes with
    // one month name, whose reading is plain.
    if (months != 1) return false;
    for (int k = 0; k < f.parts; ++k) {
      const Fields::Part& part = f.part[k];
      if (part.month()) {
        ymd.add_month(part.value);
      } else if ((part.digits == 4 && part.value <= 100) || !ymd.add(part.value, part.digits, false)) {
        return false;
      }
    }
  } else {
    // Numbers after a separator are appended as their text.
    if (f.sep == '.' && (f.parts != 3 || months)) return false;  // "2024.01" is one number
    if (months > 1 || f.part[f.parts - 1].month()) return false;
    for (int k = 0; k < f.parts; ++k) {
      const Fields::Part& part = f.part[k];
      if (part.month() ? !ymd.add_month(part.value) : !ymd.add(part.value, part.digits, true)) return false;
    }
    // a/b/YYYY, and a/b/YY unless a can only be a year: the texts whose
    // day and month follow the column's order
    day_month_shape = f.parts == 3 && !months && f.part[0].digits <= 2 && f.part[1].digits <= 2 &&
                      (f.part[2].digits == 4 || (f.part[2].digits == 2 && f.part[0].value <= 31));
  }
  // The time: after one blank (three-part dates and dates with a month name),
  // or after 'T' (all-numeric three-part dates).
  if (f.time()) {
    if (!(f.parts == 3 || f.sep == ' ')) return false;
    if (!((f.time_mark == ' ' && f.gap == 1) || (f.time_mark == 'T' && f.parts == 3 && !months))) return false;
  }
  if (!plain_time(f, t)) return false;
  int year, month, day;
  if (!ymd.resolve(rules.dayfirst && day_month_shape, year, month, day)) return false;
  if (year >= 0) {
    if (year < 100 && !ymd.century) year = full_year(year, rules.this_year, rules.century);
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
  // The common shapes at their fixed places, without the lexer's search; the
  // fuzz driver holds them to read_lexed_stamp (same texts read, same times).
  t = Stamp();
  if (n < 10 || (p[4] != '-' && p[4] != '/' && p[4] != '.') || p[7] != p[4]) return false;
  if (!read_digits(p, 4, t.year) || !read_digits(p + 5, 2, t.month) || !read_digits(p + 8, 2, t.day)) return false;
  if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month)) return false;
  if (n == 10) return true;
  if ((p[10] != 'T' && p[10] != ' ') || n < 16 || p[13] != ':') return false;
  // HH:MM or HH:MM:SS, then nothing, Z or ±HH:MM
  const bool zero = n == 20 && (p[19] | 0x20) == 'z';
  const bool offset = n == 25 && (p[19] == '+' || p[19] == '-') && p[22] == ':';
  if (n == 16 || (p[16] == ':' && (n == 19 || zero || offset))) {
    if (!read_digits(p + 11, 2, t.hour) || !read_digits(p + 14, 2, t.minute) || t.hour > 23 || t.minute > 59)
      return false;
    if (n == 16) return true;
    if (!read_digits(p + 17, 2, t.second) || t.second > 59) return false;
    if (zero) t.zone = Stamp::zero;
    if (offset) {
      int oh, om;
      if (!read_digits(p + 20, 2, oh) || !read_digits(p + 23, 2, om) || oh > 23 || om > 59) return false;
      t.offset_seconds = (p[19] == '+' ? 1 : -1) * (oh * 3600 + om * 60);
      t.zone = t.offset_seconds == 0 ? Stamp::zero : Stamp::offset;
    }
    return true;
  }
  Fields f;
  f.time_mark = p[10];
  f.gap = 1;
  return lex_time(p, n, 11, f) && plain_time(f, t);
}

bool read_slashed_stamp(const char* p, Size n, const ReadRules& rules, Stamp& t) {
  // AA/BB/YYYY (or '.' or '-', the same twice), then nothing or " HH:MM[:SS]",
  // at their fixed places; the fuzz driver holds them to read_lexed_stamp.
  t = Stamp();
  if (n < 10) return false;
  const char sep = p[2];
  if ((sep != '/' && sep != '.' && sep != '-') || p[5] != sep) return false;
  int a, b;
  if (!read_digits(p, 2, a) || !read_digits(p + 3, 2, b) || !read_digits(p + 6, 4, t.year)) return false;
  if (n != 10) {
    if (p[10] != ' ' || (n != 16 && n != 19) || p[13] != ':') return false;
    if (!read_digits(p + 11, 2, t.hour) || !read_digits(p + 14, 2, t.minute) || t.hour > 23 || t.minute > 59)
      return false;
    if (n == 19 && (p[16] != ':' || !read_digits(p + 17, 2, t.second) || t.second > 59)) return false;
  }
  // The parser's reading of two numbers before a year: the first is the day
  // when it can only be one, or when the column is day-first and the second
  // can be a month.
  const bool day_first = a > 12 || (rules.dayfirst && b <= 12);
  t.day = day_first ? a : b;
  t.month = day_first ? b : a;
  return t.year >= 1 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= days_in_month(t.year, t.month);
}

bool read_named_stamp(const char* p, Size n, Stamp& t) {
  // DD Mon YYYY, then nothing or " HH:MM[:SS]", at their fixed places: the day,
  // the month's three-letter name and the year, in that order whatever the
  // column's order (a name leaves no doubt which number is the month).
  t = Stamp();
  if ((n != 11 && n != 17 && n != 20) || p[2] != ' ' || p[6] != ' ') return false;
  t.month = month_named(p + 3, 3);
  if (!t.month || !read_digits(p, 2, t.day) || !read_digits(p + 7, 4, t.year) || t.year <= 100) return false;
  if (n != 11) {
    if (p[11] != ' ' || p[14] != ':') return false;
    if (!read_digits(p + 12, 2, t.hour) || !read_digits(p + 15, 2, t.minute) || t.hour > 23 || t.minute > 59)
      return false;
    if (n == 20 && (p[17] != ':' || !read_digits(p + 18, 2, t.second) || t.second > 59)) return false;
  }
  return t.day >= 1 && t.day <= days_in_month(t.year, t.month);
}

}  // namespace qx::fast
