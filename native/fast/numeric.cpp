// Numeric text conversion in one pass over an object column.
//
// The straightforward route maps every value v to str(v).strip('"') and then
// to float(text) (an empty text giving NaN). Here the same is done without
// the intermediate texts: exact str values are parsed the way float() parses
// them (same whitespace, same underscore rule, same correctly rounded
// conversion), floats and ints are taken by value (str of a float reads back
// exactly; an int is rounded once, as float of its decimal text is). Any
// value that is of another type or does not convert makes the whole column
// "not handled", and the straightforward route reports the exact error.
#include "fast/arrow.hpp"
#include "fast/fastpath.hpp"
#include "fast/readers.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace qx::fast {
namespace {

// After float() failed: false (error cleared) when it refused the text (a
// ValueError); throws for anything else (MemoryError, KeyboardInterrupt, ...).
bool refused() {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
  PyErr_Clear();
  return false;
}

// float() of the text `whole` itself, or false when float() refuses it.
bool float_of_str(const Ref& whole, double& out) {
  PyObject* v = PyFloat_FromString(whole.get());
  if (!v) return refused();
  Ref value = Ref::steal(v);
  out = PyFloat_AS_DOUBLE(value.get());
  return true;
}

// True for the plain decimal shapes: digits with at most one point (at least
// one digit in all), then optionally an exponent: e or E, an optional sign and
// digits. No sign in front, no underscore, no name (inf, nan).
bool plain_decimal(const char* b, const char* e) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const char* p = b;
  while (p < e && digit(*p)) ++p;
  bool any = p > b;
  if (p < e && *p == '.') {
    const char* f = ++p;
    while (p < e && digit(*p)) ++p;
    any = any || p > f;
  }
  if (!any) return false;
  if (p < e && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < e && (*p == '+' || *p == '-')) ++p;
    const char* x = p;
    while (p < e && digit(*p)) ++p;
    if (p == x) return false;
  }
  return p == e;
}

// An optional sign, then digits with at most one point and no exponent
// ("512.345", "-0.5", "7."): at most 19 digits, which read as one integer m
// are at most 2^53. m and 10^k (k <= 19) are then exact doubles, and the one
// division m / 10^k is correctly rounded, so it is the nearest double to the
// text, which is what float() gives (a sign only negates it, exactly, -0.0
// included). False for any other text.
[[gnu::always_inline]] inline bool short_decimal(const char* b, const char* e, double& out) {
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                       1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
  constexpr uint64_t kExact = uint64_t{1} << 53;
  const bool negative = b < e && *b == '-';
  if (b < e && (*b == '-' || *b == '+')) ++b;
  // One loop over the digits and at most one point: m is read as one integer
  // of at most 19 digits (no overflow), so at most 20 characters.
  const Py_ssize_t n = e - b;
  if (n <= 0 || n > 20) return false;
  uint64_t m = 0;
  Py_ssize_t point = -1;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const unsigned d = static_cast<unsigned char>(b[i]) - unsigned{'0'};
    if (d < 10) {
      m = m * 10 + d;
    } else if (b[i] == '.' && point < 0) {
      point = i;
    } else {
      return false;
    }
  }
  const Py_ssize_t after = point < 0 ? 0 : n - 1 - point;
  if (n - (point >= 0) == 0 || (point < 0 && n > 19) || m > kExact) return false;
  const double x = after > 0 ? static_cast<double>(m) / kPowers[after] : static_cast<double>(m);
  out = negative ? -x : x;
  return true;
}

// A plain decimal: short ones (signed ones too) by short_decimal, the others
// read by std::from_chars (correctly rounded, as float() is). Other shapes,
// and values out of range (overflow, underflow, subnormals on some
// libraries), are declined: the interpreter's own conversion reads them.
Answer<double> decimal(const char* b, const char* e) {
  if (double x; short_decimal(b, e, x)) return x;
  if (!plain_decimal(b, e)) return Reason::value;
  double x;
  const auto [end, ec] = std::from_chars(b, e, x, std::chars_format::general);
  if (ec != std::errc() || end != e) return Reason::value;
  return x;
}

// float() of the characters [b, e) of an ASCII text that has already lost its
// quotes, or false when float() would refuse it. Plain decimals are read by
// std::from_chars (correctly rounded, as float() is); texts with underscores
// or of unusual length go through float() itself (`whole()` gives the
// quote-stripped text as a str, asked for only then); the rest through the
// interpreter's own string-to-double.
// The plain decimals are counted in `decimals` (route decimal_text).
template <class Whole>
bool ascii_to_double(const char* b, const char* e, Whole&& whole, double& out, Tally& decimals) {
  while (b < e && Py_ISSPACE(*b)) ++b;
  while (b < e - 1 && Py_ISSPACE(e[-1])) --e;
  const Py_ssize_t len = e - b;
  if (len <= 0) return false;  // only blanks: float() refuses it
  Answer<double> plain = decimal(b, e);
  if (plain.hit()) {
    decimals.hit();
    out = plain.take();
    return true;
  }
  decimals.decline(plain.why());
  char buf[64];
  if (len < static_cast<Py_ssize_t>(sizeof buf) && !std::memchr(b, '_', static_cast<size_t>(len))) {
    std::memcpy(buf, b, static_cast<size_t>(len));
    buf[len] = '\0';
    char* end = nullptr;
    double x = PyOS_string_to_double(buf, &end, nullptr);
    if (PyErr_Occurred()) return refused();
    if (end != buf + len) return false;
    out = x;
    return true;
  }
  return float_of_str(whole(), out);
}

// float() of the text [p, p + n) (quotes stripped, not empty) when it is no
// short decimal.
bool other_text_to_double(const char* p, Py_ssize_t n, double& out, Tally& decimals) {
  if (all_ascii(p, n)) {
    return ascii_to_double(p, p + n, [&] { return check(PyUnicode_FromStringAndSize(p, n)); }, out, decimals);
  }
  return float_of_str(check(PyUnicode_DecodeUTF8(p, n, "strict")), out);
}

// text.strip('"') then float(), for a text given as its UTF-8 bytes [p, p + n).
// Inlined into the column loops: the common text, a short decimal without
// blanks, is read at once (it is ASCII and its own trimmed text, so the steps
// of other_text_to_double would read it so).
[[gnu::always_inline]] inline bool bytes_to_double(const char* p, Py_ssize_t n, double nan_empty, double& out,
                                                   Tally& decimals) {
  strip_quotes(p, n);
  if (n == 0) {
    out = nan_empty;
    return true;
  }
  if (short_decimal(p, p + n, out)) {
    decimals.hit();
    return true;
  }
  return other_text_to_double(p, n, out, decimals);
}

// str(s).strip('"') then float() for an exact str of other than ASCII
// characters (non-ASCII digits or blanks): float() itself decides.
bool wide_text_to_double(PyObject* s, double nan_empty, double& out) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t b = 0, e = n;
  while (b < e && PyUnicode_READ(kind, data, b) == '"') ++b;
  while (e > b && PyUnicode_READ(kind, data, e - 1) == '"') --e;
  if (b == e) {
    out = nan_empty;
    return true;
  }
  return float_of_str(check(PyUnicode_Substring(s, b, e)), out);
}

// str(s).strip('"') then float(), for an exact str.
[[gnu::always_inline]] inline bool text_to_double(PyObject* s, double nan_empty, double& out, Tally& decimals) {
  if (!PyUnicode_IS_ASCII(s)) return wide_text_to_double(s, nan_empty, out);
  return bytes_to_double(static_cast<const char*>(PyUnicode_DATA(s)), PyUnicode_GET_LENGTH(s), nan_empty, out,
                         decimals);
}

}  // namespace

std::optional<Ref> numeric_column(PyObject* column) {
  return run<Ref>(Route::numeric_text, [&]() -> Answer<Ref> {
    // The NaN of an empty text (as the straightforward route makes it) and
    // float("nan") (what str() of a NaN float reads back as).
    const double nan_empty = std::nan("");
    const double nan_text = PyOS_string_to_double("nan", nullptr, nullptr);
    if (PyErr_Occurred()) throw_error();
    Tally decimals(Route::decimal_text);

    // A string column in Arrow storage: its texts read from the buffers (a
    // missing one is the NaN float that map hands out for it).
    if (ArrowTexts texts; texts.open(column)) {
      Ref out;
      View dst;
      double* y = new_output<double>(texts.size(), "float64", out, dst);
      if (!y) return Reason::kind;
      for (Py_ssize_t i = 0; i < texts.size(); ++i) {
        poll_signals(i);
        const char* p;
        Py_ssize_t len;
        if (!texts.bytes(i, p, len)) {
          y[i] = nan_text;
        } else if (!bytes_to_double(p, len, nan_empty, y[i], decimals)) {
          return Reason::value;
        }
      }
      return mapped_series(column, out.get());
    }

    ColumnPass<double> pass;
    if (auto why = pass.open(column, "float64")) return *why;
    const Py_ssize_t n = pass.size();
    double* y = pass.y;

    for (Py_ssize_t i = 0; i < n; ++i) {
      poll_signals(i);
      prefetch_object(pass.in, i);
      PyObject* v = pass.value(i);
      if (PyUnicode_CheckExact(v)) {
        if (!text_to_double(v, nan_empty, y[i], decimals)) return Reason::value;
      } else if (PyFloat_CheckExact(v)) {
        const double x = PyFloat_AS_DOUBLE(v);
        y[i] = std::isnan(x) ? nan_text : x;
      } else if (PyLong_CheckExact(v)) {
        const double x = PyLong_AsDouble(v);
        if (x == -1.0 && PyErr_Occurred()) {
          // Too large for a float: the straightforward route reports it.
          if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
          PyErr_Clear();
          return Reason::value;
        }
        y[i] = x;
      } else {
        return Reason::value;
      }
    }
    return mapped_series(column, pass.out.get());
  });
}

}  // namespace qx::fast
