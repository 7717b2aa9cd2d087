// Timestamp texts read without dateutil, as Python objects and columns.
//
// fast/readers.hpp reads the texts (no interpreter needed); fast/iso.cpp
// makes datetimes of what they read and holds the guard that decides whether
// dateutil is the stock one; fast/dates.cpp holds the whole-column route.
#pragma once

#include "fast/fastpath.hpp"
#include "fast/readers.hpp"

#include <cstdint>

namespace qx::fast {

// The characters of str(ts).strip('"') for an exact ASCII str, as [b, b + n).
inline bool ascii_unquoted(PyObject* s, const char*& b, Py_ssize_t& n) {
  if (!PyUnicode_IS_ASCII(s)) return false;
  b = static_cast<const char*>(PyUnicode_DATA(s));
  n = PyUnicode_GET_LENGTH(s);
  strip_quotes(b, n);
  return true;
}

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
// `last`, when given, keeps the zone of the latest offset, for a column whose
// neighbours mostly share theirs.
struct LastZone {
  int seconds = 0;
  Ref zone;
};
Ref stamp_object(const Stamp& t, PyObject* zero, PyObject* tzoffset, PyObject* offsets, LastZone* last = nullptr);

}  // namespace qx::fast
