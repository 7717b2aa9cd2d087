// Timestamp texts taken apart once (the lexer), the readers that decide on
// their fields, and the calendar they share: plain bytes in, the fields of a
// time out. Nothing here needs the interpreter, so the lexer and the readers
// have a unit test and a fuzz entry of their own (tests/native/).
#pragma once

#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qx::fast {

using Size = std::ptrdiff_t;

// ---- the calendar ----------------------------------------------------------------

// Divisible by 4, and not by 100 unless by 400 (of multiples of 4, those of
// 25 are those of 100, and of those, the multiples of 16 are those of 400).
constexpr bool is_leap(int y) { return (y & 3) == 0 && (y % 25 != 0 || (y & 15) == 0); }

constexpr int days_in_month(int y, int m) {
  // 31 and 30 alternate, with July and August both 31
  return m == 2 ? (is_leap(y) ? 29 : 28) : 30 + ((m + (m >> 3)) & 1);
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian), for
// years within ten million of year 0. The years are moved forward by whole
// 400-year cycles (146,097 days each) so that all the arithmetic is unsigned
// and the year starts in March (January and February count with the year
// before): no division here but by constants, and no branch.
constexpr int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  constexpr uint64_t cycles = 25000;  // 10,000,000 years
  const uint64_t early = m <= 2;
  const uint64_t year = static_cast<uint64_t>(y + static_cast<int64_t>(400 * cycles)) - early;
  const uint64_t month = static_cast<uint64_t>(m) + 12 * early;  // 3..14
  const uint64_t century = year / 100;
  const uint64_t year_days = 1461 * year / 4 - century + century / 4;
  const uint64_t month_days = (979 * month - 2919) / 32;  // days of March..month-1
  const uint64_t days = year_days + month_days + static_cast<uint64_t>(d - 1);
  return static_cast<int64_t>(days) - static_cast<int64_t>(719468 + 146097 * cycles);
}

// The years a datetime64[ns] column holds well inside its range (1677-09-21
// to 2262-04-11).
constexpr int kFirstNanoYear = 1678, kLastNanoYear = 2261;

// The days from the epoch to 1 January of each of those years and the one
// after, made at compile time, and those of a common year before each month.
constexpr auto kJanuaryFirsts = [] {
  std::array<int32_t, kLastNanoYear - kFirstNanoYear + 2> days{};
  for (int y = kFirstNanoYear; y <= kLastNanoYear + 1; ++y) {
    days[y - kFirstNanoYear] = static_cast<int32_t>(days_from_civil(y, 1, 1));
  }
  return days;
}();
static_assert(kJanuaryFirsts[1970 - kFirstNanoYear] == 0 && kJanuaryFirsts[2000 - kFirstNanoYear] == 10957);
constexpr std::array<int32_t, 13> kDaysBeforeMonth = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// days_from_civil for a date of those years, from the tables.
inline int64_t nano_range_days(int y, int m, int d) {
  const int32_t* january = &kJanuaryFirsts[y - kFirstNanoYear];
  const bool leap = january[1] - january[0] == 366;
  return int64_t{january[0]} + kDaysBeforeMonth[m] + (leap && m > 2) + d - 1;
}

// The digits of a fraction of a second at p[i..n) (at least one), cut to
// microseconds as dateutil cuts them (it does not round); i is left after them.
constexpr bool read_fraction(const char* p, Size n, Size& i, int& micro) {
  const Size start = i;
  int scale = 100000;
  micro = 0;
  for (; i < n && p[i] >= '0' && p[i] <= '9'; ++i) {
    micro += (p[i] - '0') * scale;
    scale /= 10;
  }
  return i > start;
}

// A two-digit year as the general parser places it: in the century of its
// parserinfo, moved by a hundred years to within fifty years of `this_year`.
constexpr int full_year(int yy, int this_year, int century) {
  int year = yy + century;
  if (year >= this_year + 50) {
    year -= 100;
  } else if (year < this_year - 50) {
    year += 100;
  }
  return year;
}

// ---- the lexer -------------------------------------------------------------------

// A run of digits as written: its value and how many digits (one to four).
// (Small types: the fields are cleared for every text, so they are kept to
// one cache line.)
struct Number {
  int16_t value = 0;
  int8_t digits = 0;
};

// The fields of a timestamp text as written, read once by lex(): every reader
// of texts (the a/b/year scan of a column, the per-text and the whole-column
// readers) takes its decisions on these, each with its own strictness.
//
//   [blanks] date [{T|t|blanks} time [blanks] [am|pm|a.m.|p.m.] [blanks] [zone]] [blanks]
//
// The date is one to three parts, each a number of one to four digits or a
// month name, joined by one separator ('/', '-', '.' or one blank; a blank
// followed by H: starts the time instead). The time is H:M[:S[.fraction]]
// with numbers of up to four digits (their widths kept for the readers to
// judge); the zone is the word UTC, GMT or Z (any case) or a sign with a
// number of one to four digits and optionally ':' and one more.
struct Fields {
  struct Part {
    int16_t value = 0;
    int8_t digits = 0;  // 0: a month name, value its month
    bool month() const { return digits == 0; }
  };
  enum Meridian : char { no_meridian, am, pm };
  enum Zone : char { no_zone, letter_z, word_utc, word_gmt, offset };
  // (Ordered by size, so that the whole fits in 64 bytes: the fields are
  // cleared for every text.)
  int32_t lead = 0;            // blanks before the date
  int32_t gap = 0;             // how many characters stand between the date and the time
  int32_t trail = 0;           // blanks after all
  int32_t micro = 0;           // the fraction cut to microseconds
  int32_t offset_seconds = 0;  // the offset as written: H or HH hours, HMM or HHMM hours and minutes, HH:MM
  Part part[3];
  Number hour, minute, second;
  Number zone_hours, zone_minutes;
  int8_t parts = 0;
  char sep = 0;           // between the parts; 0 with one part
  char time_mark = 0;     // what comes before the time: 'T', 't' or ' '/'\t'; 0 without a time
  bool seconds = false;   // seconds written
  bool fraction = false;  // a fraction written
  Meridian meridian = no_meridian;
  Zone zone = no_zone;
  bool zone_blank = false;  // blanks between the time and the zone
  int8_t sign = 0;          // of an offset
  bool zone_colon = false;  // HH:MM written with a colon

  bool time() const { return time_mark != 0; }
  bool numeric_date() const {
    for (int k = 0; k < parts; ++k) {
      if (part[k].month()) return false;
    }
    return true;
  }
};
static_assert(sizeof(Fields) <= 64, "the fields of a text fit in one cache line");

// The fields of p[0..n) (defined below); false when the text does not have
// the shape above (a word other than a month, meridian or zone, a number of
// five digits or more, a separator that changes, anything left over).
inline bool lex(const char* p, Size n, Fields& f);

// lex() in steps, for readers that can decide early. lex_date: the blanks and
// the date from p[i..] into f as constructed (i left after the date); `keep(f)`
// is asked after each part and each separator and stops the lexing with false when it says
// false (a reader that wants only some shapes need not lex the rest).
// lex_after_date: what follows the date, from p[i..n). lex_time: the time and
// what follows it, from p[i..n) where the time starts (for readers that place
// the date themselves).
template <class Keep>
bool lex_date(const char* p, Size n, Size& i, Fields& f, Keep&& keep);
inline bool lex_after_date(const char* p, Size n, Size i, Fields& f);
inline bool lex_time(const char* p, Size n, Size i, Fields& f);

// The month of a name of the parser's table (any case), 0 for other words.
int month_named(const char* p, Size len);

// ---- the lexer's pieces, inline for the readers' loops -------------------------------

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The number of the n digits at p (the place is the caller's to know);
// false when one of them is no digit.
inline bool read_digits(const char* p, int n, int& out) {
  if (n == 4 && std::endian::native == std::endian::little) {
    // the four at once: each byte less '0' is a digit when neither it nor it
    // plus 0x76 reaches 0x80 (a byte below '0' borrows and shows there too);
    // then tens and units paired, and the two pairs
    uint32_t w;
    std::memcpy(&w, p, 4);
    const uint32_t d = w - 0x30303030u;
    if ((d | (d + 0x76767676u)) & 0x80808080u) return false;
    const uint32_t pairs = (d * 10 + (d >> 8)) & 0x00ff00ffu;
    out = static_cast<int>((pairs * 100 + (pairs >> 16)) & 0xffffu);
    return true;
  }
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (!is_digit(p[i])) return false;
    v = v * 10 + (p[i] - '0');
  }
  out = v;
  return true;
}

// text.strip('"'): [b, b + n) narrowed past the quotes at either end.
constexpr void strip_quotes(const char*& b, Size& n) {
  while (n > 0 && *b == '"') ++b, --n;
  while (n > 0 && b[n - 1] == '"') --n;
}

// A run of one to four digits at p[i..]; false for none or more than four.
// (Locals throughout: a store into the fields could alias the text.)
inline bool number_at(const char* p, Size n, Size& i, Number& v) {
  Size j = i;
  if (j >= n || !is_digit(p[j])) return false;
  int value = p[j++] - '0';
  while (j < n && is_digit(p[j])) {
    if (j - i == 4) return false;
    value = value * 10 + (p[j++] - '0');
  }
  v.value = static_cast<int16_t>(value);
  v.digits = static_cast<int8_t>(j - i);
  i = j;
  return true;
}

// How many blanks at p[i..] (i moved past them), at most INT32_MAX counted.
inline int32_t blanks_at(const char* p, Size n, Size& i) {
  const Size start = i;
  while (i < n && is_blank(p[i])) ++i;
  return i - start > INT32_MAX ? INT32_MAX : static_cast<int32_t>(i - start);
}

// One part of a date: a number or a month name.
inline bool part_at(const char* p, Size n, Size& i, Fields::Part& part) {
  if (i < n && is_digit(p[i])) {
    Number v;
    if (!number_at(p, n, i, v)) return false;
    part.value = v.value;
    part.digits = v.digits;
    return true;
  }
  Size j = i;
  while (j < n && is_alpha(p[j])) ++j;
  part.digits = 0;
  part.value = static_cast<int16_t>(month_named(p + i, j - i));
  i = j;
  return part.value != 0;
}

template <class Keep>
bool lex_date(const char* p, Size n, Size& i, Fields& f, Keep&& keep) {
  f.lead = blanks_at(p, n, i);
  if (!part_at(p, n, i, f.part[f.parts++]) || !keep(f)) return false;
  while (f.parts < 3 && i + 1 < n) {
    const char c = p[i];
    if (f.sep ? c != f.sep : (c != '/' && c != '-' && c != '.' && c != ' ')) break;
    if (c == ' ') {
      Size j = i + 1;
      while (j < n && is_digit(p[j])) ++j;
      if (j < n && p[j] == ':') break;  // the time
    }
    f.sep = c;
    if (!keep(f)) return false;
    ++i;
    if (!part_at(p, n, i, f.part[f.parts++]) || !keep(f)) return false;
  }
  return true;
}

// `word` (lower case) at p[i..] in any case; i is moved past it.
inline bool word_at(const char* p, Size n, Size& i, const char* word) {
  Size j = i;
  for (const char* w = word; *w; ++w, ++j) {
    if (j >= n || (p[j] | 0x20) != *w) return false;
  }
  i = j;
  return true;
}

inline bool lex_time(const char* p, Size n, Size i, Fields& f) {
  if (!number_at(p, n, i, f.hour) || i >= n || p[i] != ':') return false;
  if (!number_at(p, n, ++i, f.minute)) return false;
  if (i < n && p[i] == ':') {
    f.seconds = true;
    if (!number_at(p, n, ++i, f.second)) return false;
    if (i < n && p[i] == '.') {
      f.fraction = true;
      if (!read_fraction(p, n, ++i, f.micro)) return false;
    }
  }
  if (i == n) return true;  // the common end: nothing after the time
  // each word tried only where its first letter stands
  Size j = i;
  blanks_at(p, n, j);
  const char m = j < n ? static_cast<char>(p[j] | 0x20) : 0;
  if (m == 'a' && (word_at(p, n, j, "am") || word_at(p, n, j, "a.m."))) {
    f.meridian = Fields::am;
    i = j;
  } else if (m == 'p' && (word_at(p, n, j, "pm") || word_at(p, n, j, "p.m."))) {
    f.meridian = Fields::pm;
    i = j;
  }
  j = i;
  const bool blank = blanks_at(p, n, j) > 0;
  const char z = j < n ? p[j] : 0;
  if (z == '+' || z == '-') {
    f.zone = Fields::offset;
    f.sign = static_cast<int8_t>(z == '+' ? 1 : -1);
    if (!number_at(p, n, ++j, f.zone_hours)) return false;
    const int v = f.zone_hours.value;
    int seconds = f.zone_hours.digits <= 2 ? v * 3600 : (v / 100) * 3600 + (v % 100) * 60;
    if (j < n && p[j] == ':') {
      f.zone_colon = true;
      if (!number_at(p, n, ++j, f.zone_minutes)) return false;
      seconds += f.zone_minutes.value * 60;
    }
    f.offset_seconds = f.sign * seconds;
  } else if ((z | 0x20) == 'u' && word_at(p, n, j, "utc")) {
    f.zone = Fields::word_utc;
  } else if ((z | 0x20) == 'g' && word_at(p, n, j, "gmt")) {
    f.zone = Fields::word_gmt;
  } else if ((z | 0x20) == 'z') {
    f.zone = Fields::letter_z;
    ++j;
  }
  if (f.zone != Fields::no_zone) {
    f.zone_blank = blank;
    i = j;
  }
  f.trail = blanks_at(p, n, i);
  return i == n;
}

inline bool lex_after_date(const char* p, Size n, Size i, Fields& f) {
  if (i == n) return true;
  if (p[i] == 'T' || p[i] == 't') {
    f.time_mark = p[i++];
    f.gap = 1;
  } else {
    const char mark = p[i];
    f.gap = blanks_at(p, n, i);
    if (f.gap == 0) return false;
    if (i == n) {
      f.trail = f.gap;
      f.gap = 0;
      return true;
    }
    f.time_mark = mark;
  }
  return lex_time(p, n, i, f);
}

inline bool lex(const char* p, Size n, Fields& f) {
  f = Fields();
  Size i = 0;
  return lex_date(p, n, i, f, [](const Fields&) { return true; }) && lex_after_date(p, n, i, f);
}

// ---- the readers -------------------------------------------------------------------

// One text as the general parser reads it.
struct Stamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micro = 0;
  enum Zone { naive, zero, offset } zone = naive;
  int offset_seconds = 0;
};

// What a reading depends on beyond the text: the column's day/month order
// (texts of the a/b/YYYY and a/b/YY shapes are read day-first when it is set),
// the parserinfo's year and century (two-digit years) and the default datetime
// (fields a text does not give).
struct ReadRules {
  bool dayfirst = false;
  int this_year = 0, century = 0;
  int default_year = 0, default_month = 1, default_day = 1;
};

// The ISO shapes (YYYY-MM-DD, also with '/' or '.' twice, then {T| }HH:MM[:SS[.F]]
// and a zone); false for anything else.
bool read_iso_stamp(const char* p, Size n, Stamp& t);

// The numeric dates of two-digit day and month and a four-digit year
// (AA/BB/YYYY, with '.' or '-' as well), then nothing or " HH:MM[:SS]", in the
// column's day/month order; false for anything else.
bool read_slashed_stamp(const char* p, Size n, const ReadRules& rules, Stamp& t);

// A year alone or a year and month (YYYY, YYYY-MM, YYYY/MM) with a year from
// 1000, the rest from the rules' defaults; false for anything else. Inline:
// a column of such texts is read by little else.
inline bool read_year_stamp(const char* p, Size n, const ReadRules& rules, Stamp& t) {
  t = Stamp();
  if ((n != 4 && n != 7) || !read_digits(p, 4, t.year) || t.year < 1000) return false;
  t.month = rules.default_month;
  if (n == 7) {
    if ((p[4] != '-' && p[4] != '/') || !read_digits(p + 5, 2, t.month)) return false;
  }
  if (t.month < 1 || t.month > 12) return false;
  t.day = rules.default_day;
  if (t.day > 28 && t.day > days_in_month(t.year, t.month)) t.day = days_in_month(t.year, t.month);
  return t.day >= 1;
}

// A day, a month's three-letter name and a year (DD Mon YYYY), then nothing
// or " HH:MM[:SS]"; false for anything else.
bool read_named_stamp(const char* p, Size n, Stamp& t);

// The texts lex() takes apart that the parser reads on its own terms (numeric
// dates in any order, month names, year-month and year-only texts, with an
// optional time and zone); read_any_stamp tries read_iso_stamp,
// read_slashed_stamp, read_year_stamp and read_named_stamp before this.
bool read_lexed_stamp(const char* p, Size n, const ReadRules& rules, Stamp& t);

// Every shape read natively: the ISO ones, numeric dates in any order and
// separator, month names, year-month and year-only texts, with an optional
// time and zone. False for anything else (dateutil then decides).
bool read_any_stamp(const char* p, Size n, const ReadRules& rules, Stamp& t);

}  // namespace qx::fast
