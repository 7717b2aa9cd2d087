// Timestamp texts read without dateutil: what the readers share.
//
// fast/iso.cpp holds the ISO reader and the guard that decides whether
// dateutil is the stock one; fast/dates.cpp holds the readers of the other
// common shapes and the whole-column route.
#pragma once

#include "fast/fastpath.hpp"

#include <cstdint>

namespace qx::fast {

// One text as the general parser reads it.
struct Stamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micro = 0;
  enum Zone { naive, zero, offset } zone = naive;
  int offset_seconds = 0;
};

// What a reading depends on beyond the text: the column's day/month order
// (texts of the a/b/YYYY shape are read day-first when it is set), the
// parserinfo's year and century (two-digit years) and the default datetime
// (fields a text does not give).
struct ReadRules {
  bool dayfirst = false;
  int this_year = 0, century = 0;
  int default_year = 0, default_month = 1, default_day = 1;
};

// The ISO shapes of fast/iso.cpp; false for anything else.
bool read_iso_stamp(const char* p, Py_ssize_t n, Stamp& t);

// What may end a time at p[i..n): nothing, Z or z (zero offset), or a numeric
// offset +HH, +HHMM, +HH:MM (or '-') of less than a day.
bool read_zone(const char* p, Py_ssize_t n, Py_ssize_t i, Stamp& t);

// Every shape read natively: the ISO ones, numeric dates in any order and
// separator, month names, year-month and year-only texts, with an optional
// time and zone. False for anything else (dateutil then decides).
bool read_any_stamp(const char* p, Py_ssize_t n, const ReadRules& rules, Stamp& t);

// The characters of str(ts).strip('"') for an exact ASCII str, as [b, b + n).
bool ascii_unquoted(PyObject* s, const char*& b, Py_ssize_t& n);

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d);

// The dtype pandas gives a column of naive datetime objects, as its text:
// "datetime64[ns]" up to pandas 2, "datetime64[us]" from pandas 3.
Ref naive_datetime_dtype();

// True when `parse` is dateutil's own parse with its stock default parser and
// `default_` a plain midnight (see fast/iso.cpp); fills `rules` from them.
bool stock_parser(PyObject* parse, PyObject* default_, ReadRules& rules);

// How zero offsets come out: tz.UTC, tzlocal() (the local zone is called UTC
// in both its names) or not at all (it is called UTC in one: dateutil decides).
enum class ZeroZone { utc, local, declined };
ZeroZone zero_zone();

// The object zero offsets get: tz.UTC, the class tzlocal (called for each
// value) or None (declined).
Ref zero_zone_object(ZeroZone kind);

// tz.tzoffset(None, seconds), kept in `offsets` (a dict): dateutil's own
// factory returns one instance per offset while it is in use, so keeping it
// changes nothing.
Ref zone_for(PyObject* tzoffset, PyObject* offsets, int seconds);

// The datetime dateutil gives for `t` (zones from zero_zone_object and
// zone_for), or an empty Ref when zero offsets are declined.
Ref stamp_object(const Stamp& t, PyObject* zero, PyObject* tzoffset, PyObject* offsets);

}  // namespace qx::fast
