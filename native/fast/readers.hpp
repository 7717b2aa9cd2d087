// The readers of timestamp texts and the calendar they share: plain bytes in,
// the fields of a time out. Nothing here needs the interpreter, so the readers
// have a unit test and a fuzz entry of their own (tests/native/).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::fast {

using Size = std::ptrdiff_t;

// ---- the calendar ----------------------------------------------------------------

constexpr bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int days_in_month(int y, int m) {
  constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
constexpr int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
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

// The ISO shapes (YYYY-MM-DD, then {T| }HH:MM[:SS[.F]] and a zone); false for
// anything else.
bool read_iso_stamp(const char* p, Size n, Stamp& t);

// What may end a time at p[i..n): nothing, Z or z (zero offset), or a numeric
// offset +HH, +HHMM, +HH:MM (or '-') of less than a day.
bool read_zone(const char* p, Size n, Size i, Stamp& t);

// Every shape read natively: the ISO ones, numeric dates in any order and
// separator, month names, year-month and year-only texts, with an optional
// time and zone. False for anything else (dateutil then decides).
bool read_any_stamp(const char* p, Size n, const ReadRules& rules, Stamp& t);

}  // namespace qx::fast
