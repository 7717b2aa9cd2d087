// Numeric conversion of text columns, and the missing-value check.
#include "checks/methods.hpp"
#include "fast/fastpath.hpp"

#include <cmath>

namespace qx {
namespace {

// First pass over one value: its text form, without leading and trailing
// double quotes (str(value).strip('"')).
PyObject* unquote_value(PyObject*, PyObject* value) {
  return boundary(
      [&] {
        if (PyErr_CheckSignals() < 0) throw_error();  // the library's loop never does
        return unquoted_text(value);
      },
      "the numeric conversion");
}

// Second pass over one text: an empty text is NaN, anything else goes
// through float().
PyObject* text_to_float(PyObject*, PyObject* value) {
  return boundary(
      [&] {
        if (PyErr_CheckSignals() < 0) throw_error();
        if (PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) == 0) return from_double(std::nan(""));
        return to_float(value);
      },
      "the numeric conversion");
}

PyMethodDef kStripQuotes = {"strip_quotes", unquote_value, METH_O, nullptr};
PyMethodDef kTextToFloat = {"text_to_float", text_to_float, METH_O, nullptr};

// The float64 form of one column (a Series; a DataFrame when the label is
// repeated), or throws with the conversion error pending. Nothing is
// assigned here, so a refused column is left exactly as it was. Both passes
// run one after the other, so values, dtype and error text are those of
// converting the quote-stripped texts.
Ref convert_column(PyObject* column) {
  Ref first = check(PyCFunction_New(&kStripQuotes, nullptr));
  Ref second = check(PyCFunction_New(&kTextToFloat, nullptr));
  Ref texts = map_column(column, first.get());
  return map_column(texts.get(), second.get());
}

// True for a floating-point NaN of any float type (the interpreter's float
// and its subclasses, numpy floating scalars).
bool is_float_nan(const Frame& f, PyObject* v) {
  if (PyFloat_Check(v)) return std::isnan(PyFloat_AS_DOUBLE(v));
  Ref floating = attr(global(f, G::np), "floating");
  if (!is_instance(v, floating.get())) return false;
  return ne(v, v);
}

// o.name, or an empty Ref when o has no such attribute.
Ref optional_attr(PyObject* o, const char* name) {
  PyObject* v = PyObject_GetAttrString(o, name);
  if (v) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
  PyErr_Clear();
  return Ref();
}

Ref sum_axis0(PyObject* mask) {
  Ref sum = attr(mask, "sum");
  Ref zero = from_ssize(0);
  return call_kw(sum.get(), {}, {{"axis", zero.get()}});
}

Ref str2float(const Frame& f, PyObject* /*self*/, PyObject* df, PyObject* col_idx, PyObject* col_role) {
  Ref it = check(PyObject_GetIter(col_idx));
  while (PyObject* next = PyIter_Next(it.get())) {
    Ref i = Ref::steal(next);
    Ref dtype = item(attr(attr(df, "dtypes"), "iloc"), i);
    Ref types = attr(attr(global(f, G::pd), "api"), "types");
    if (!truthy(call_method(types, "is_string_dtype", dtype))) continue;

    // An invalid position has already failed on the dtype lookup; the label
    // is taken before the guarded conversion so a refusal can always name it.
    Ref col_name = item(attr(df, "columns"), i);
    try {
      Ref column = item(df, col_name.get());
      if (auto fast_converted = fast::numeric_column(column.get())) {
        Ref converted = std::move(*fast_converted);
        fast::set_built_column(df, col_name.get(), converted);
      } else {
        set_item(df, col_name.get(), convert_column(column.get()).get());
      }
    } catch (const PyErrorSet&) {
      // Running out of memory is no refused value: the caller gets the MemoryError.
      if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
      Ref ex = take_exception();
      if (!ex) throw;  // not an Exception (KeyboardInterrupt, SystemExit, ...)
      HandlingScope handling(ex.get());
      raise_message(f, "QUARNEX0073E", {col_role, col_name.get(), str(ex).get()});
    }
  }
  if (PyErr_Occurred()) throw_error();
  return Ref::borrow(df);
}

Ref check_missing(const Frame& f, PyObject* /*self*/, PyObject* df, PyObject* col_idx, PyObject* missing_value) {
  Ref it = check(PyObject_GetIter(col_idx));
  while (PyObject* next = PyIter_Next(it.get())) {
    Ref i = Ref::steal(next);
    Ref col_name = item(attr(df, "columns"), i);
    Ref col_val = item(df, col_name.get());
    Ref np = global(f, G::np);
    Ref np_nan = numpy_nan(np.get());
    Ref missing_num;
    // Every floating-point NaN counts NaN values: under equality NaN would
    // match nothing and the check would pass a column full of NaN.
    if (missing_value == np_nan.get() || is_float_nan(f, missing_value)) {
      Ref isnan = attr(np, "isnan");
      Ref mask = call(isnan, col_val);
      missing_num = sum_axis0(mask.get());
      // On a nullable column (Float64, Int64, ...) a missing value is NA,
      // which np.isnan passes on as NA and the sum skips: count those too.
      if (!gt(missing_num, from_ssize(0))) {
        if (Ref isna = optional_attr(mask.get(), "isna")) {
          Ref na = sum_axis0(call(isna).get());
          if (gt(na, from_ssize(0))) missing_num = na;
        }
      }
    } else {
      Ref equal = check(PyObject_RichCompare(col_val.get(), missing_value, Py_EQ));
      missing_num = sum_axis0(equal.get());
    }
    if (gt(missing_num, from_ssize(0))) raise_message(f, "QUARNEX0091E", {col_name.get()});
  }
  if (PyErr_Occurred()) throw_error();
  return Ref::borrow(Py_None);
}

}  // namespace

namespace methods {
using namespace desc;

constexpr MethodDesc str2float = describe<qx::str2float>(
    "str2float", Kind::Instance,
    {self, {"df", "pd.DataFrame", N, REQ}, {"col_idx", "list", L, REQ}, {"col_role", "str", S, REQ}}, nullptr, nullptr,
    "pd.DataFrame");

constexpr MethodDesc check_missing = describe<qx::check_missing>(
    "check_missing", Kind::Instance,
    {self, {"df", "pd.DataFrame", N, REQ}, {"col_idx", "list", L, REQ}, {"missing_value", nullptr, N, NAN_DEFAULT}},
    nullptr,
    "Refuse columns that hold a missing value.\n\n"
    ":param df: the data\n"
    ":param col_idx: positions of the columns to check\n"
    ":param missing_value: the value counted as missing (NaN by default)",
    "None");

}  // namespace methods
}  // namespace qx
