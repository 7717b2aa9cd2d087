// Unit tests of the timestamp readers and the calendar, without the interpreter.
#include <cstdio>
#include <cstring>
#include <string>

#include "fast/readers.hpp"
#include "rules.hpp"

using namespace qx::fast;

namespace {

int failures = 0;

void expect(bool ok, const char* what, const std::string& text) {
  if (!ok) {
    ++failures;
    std::fprintf(stderr, "FAILED: %s [%s]\n", what, text.c_str());
  }
}

ReadRules rules(bool dayfirst = false) { return rules_of_2026(dayfirst); }

// Reads `text` with read_any_stamp and compares the fields; zone: 'n' naive, 'z' zero, 'o' offset.
void reads(const std::string& text, int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int us = 0, char zone = 'n',
           int offset = 0, bool dayfirst = false) {
  Stamp t;
  const bool ok = read_any_stamp(text.data(), static_cast<Size>(text.size()), rules(dayfirst), t);
  expect(ok, "read", text);
  if (!ok) return;
  expect(t.year == y && t.month == mo && t.day == d, "date", text);
  expect(t.hour == h && t.minute == mi && t.second == s && t.micro == us, "time", text);
  const char got = t.zone == Stamp::naive ? 'n' : t.zone == Stamp::zero ? 'z' : 'o';
  expect(got == zone && t.offset_seconds == offset, "zone", text);
}

void refuses(const std::string& text) {
  Stamp t;
  expect(!read_any_stamp(text.data(), static_cast<Size>(text.size()), rules(), t), "refused", text);
}

}  // namespace

int main() {
  // the calendar
  expect(is_leap(2024) && !is_leap(1900) && is_leap(2000) && !is_leap(2023), "is_leap", "");
  expect(days_in_month(2024, 2) == 29 && days_in_month(2023, 2) == 28 && days_in_month(2024, 12) == 31, "days", "");
  expect(days_from_civil(1970, 1, 1) == 0 && days_from_civil(2000, 3, 1) == 11017, "days_from_civil", "");
  expect(days_from_civil(1969, 12, 31) == -1 && days_from_civil(1600, 1, 1) == -135140, "before 1970", "");
  {
    // every first of a month from 4801 BC to AD 12000 is the one before it plus that month's days
    int64_t first = days_from_civil(-4800, 1, 1);
    bool steady = true;
    for (int y = -4800; y <= 12000 && steady; ++y) {
      for (int m = 1; m <= 12 && steady; ++m) {
        steady = days_from_civil(y, m, 1) == first &&
                 days_from_civil(y, m, days_in_month(y, m)) == first + days_in_month(y, m) - 1;
        first += days_in_month(y, m);
      }
    }
    expect(steady, "days_from_civil, month by month", "");
  }
  {
    const char f[] = "1234567x";
    Size i = 0;
    int micro = 0;
    expect(read_fraction(f, 8, i, micro) && micro == 123456 && i == 7, "fraction cut, not rounded", f);
    i = 0;
    expect(!read_fraction("x", 1, i, micro), "a fraction needs a digit", "x");
  }
  // the lexer: every field of a text, as written
  {
    const std::string s = " 1/02/2024  9:05:07.25 pm +05:30 ";
    Fields f;
    expect(lex(s.data(), static_cast<Size>(s.size()), f), "lexed", s);
    expect(f.lead == 1 && f.parts == 3 && f.sep == '/' && f.numeric_date(), "date parts", s);
    expect(f.part[0].value == 1 && f.part[0].digits == 1 && f.part[1].digits == 2 && f.part[2].value == 2024, "numbers",
           s);
    expect(f.time_mark == ' ' && f.gap == 2 && f.hour.value == 9 && f.hour.digits == 1, "time", s);
    expect(f.minute.value == 5 && f.seconds && f.second.value == 7 && f.fraction && f.micro == 250000, "clock", s);
    expect(f.meridian == Fields::pm && f.zone == Fields::offset && f.zone_blank, "meridian and zone", s);
    expect(f.zone_colon && f.offset_seconds == 5 * 3600 + 30 * 60 && f.trail == 1, "offset", s);
    const std::string m = "3 Sept 2024T10:00Z";
    expect(lex(m.data(), static_cast<Size>(m.size()), f) && f.sep == ' ' && f.part[1].month(), "month word", m);
    expect(f.part[1].value == 9 && f.time_mark == 'T' && f.zone == Fields::letter_z && !f.zone_blank, "T and Z", m);
    for (const std::string bad : {"12345-01-01", "2024-01/01", "1 Monday 2024", "2024-01-01 10:00 EDT", "10:00"}) {
      expect(!lex(bad.data(), static_cast<Size>(bad.size()), f), "not lexed", bad);
    }
    expect(full_year(30, 2026, 2000) == 2030 && full_year(80, 2026, 2000) == 1980, "two-digit years", "");
  }
  // ISO texts
  reads("2024-01-31", 2024, 1, 31);
  reads("2024-01-31T13:05:07.25", 2024, 1, 31, 13, 5, 7, 250000);
  reads("2024-01-31 13:05Z", 2024, 1, 31, 13, 5, 0, 0, 'z');
  reads("2024-01-31T13:00:00+01:00", 2024, 1, 31, 13, 0, 0, 0, 'o', 3600);
  reads("2024-01-31T13:00:00-0530", 2024, 1, 31, 13, 0, 0, 0, 'o', -19800);
  refuses("2023-02-29");
  refuses("2024-13-01");
  refuses("2024-01-31T24:00");
  refuses("2024-01-31T13:00+24:00");
  // numeric dates, month first unless the column is day first
  reads("01/02/2024", 2024, 1, 2);
  reads("01/02/2024", 2024, 2, 1, 0, 0, 0, 0, 'n', 0, true);
  reads("13/01/2024", 2024, 1, 13);
  reads("31.01.2024 13:00", 2024, 1, 31, 13);
  reads("01/02/23", 2023, 2, 1, 0, 0, 0, 0, 'n', 0, true);  // two-digit years follow the column's order
  reads("99/01/02", 1999, 1, 2);                            // ... unless the first number can only be a year
  reads("2024/1/5", 2024, 1, 5);
  // month names, year-month, year
  reads("Jan-1-1995", 1995, 1, 1);
  reads("1 Jan 2024", 2024, 1, 1);
  reads("31 jAN 2024 13:00:05", 2024, 1, 31, 13, 0, 5);
  reads("2024.01.31T13:00Z", 2024, 1, 31, 13, 0, 0, 0, 'z');
  reads("12-31-2024 23:59:59", 2024, 12, 31, 23, 59, 59, 0, 'n', 0, true);  // day-first, but 31 is no month
  reads("Sept 3 2024", 2024, 9, 3);
  reads("January 2024", 2024, 1, 1);
  reads("1949-02", 1949, 2, 1);
  reads("1959", 1959, 1, 1);
  refuses("");
  refuses("Monday");
  refuses("2024-01-31 13:00 EDT");
  refuses("31/31/2024");
  refuses("2024-01-31 1:00 pm");  // meridians, zone words and blanks before a zone: the parser decides
  refuses("01/02/2024 10:00 UTC");
  refuses("01/02/2024 10:00 +01:00");
  refuses("01/02/2024  10:00");
  if (failures) {
    std::fprintf(stderr, "%d failed\n", failures);
    return 1;
  }
  std::puts("readers: all passed");
  return 0;
}
