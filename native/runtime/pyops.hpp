// Python operations for the method bodies: live global lookup, calls,
// comparisons, unpacking, and raising or warning through the message
// catalogue. Every operation the bodies share lives here, once.
//
// All helpers follow the interpreter's semantics (rich comparison, the number
// protocol, attribute lookup at call time) and throw PyErrorSet on failure.
#pragma once

#include "runtime/pyref.hpp"

#include <array>
#include <concepts>
#include <cstddef>
#include <exception>
#include <initializer_list>
#include <new>
#include <utility>

namespace qx {

// What a method body receives: the module namespace (looked up live at every
// use) and the bound arguments, borrowed, in parameter order. For instance
// methods args[0] is self.
struct Frame {
  PyObject* globals;
  PyObject* const* args;
  Py_ssize_t nargs;
};

using Body = Ref (*)(const Frame&);

// ---- names, attributes, items -------------------------------------------------

// The global names the bodies read. Their keys are interned once, when the
// module is initialised (intern_globals); their values are looked up in the
// live namespace at every use. QX_CONSTANT_NAMES are the names the module
// imports from the constants module, in their order of import.
// clang-format off
#define QX_CONSTANT_NAMES(X)                                                                                    \
  X(DataType) X(COLUMN_ROLE_TARGET) X(COLUMN_ROLE_FEATURE) X(COLUMN_ROLE_SUPPORTING_FEATURE)                    \
  X(COLUMN_ROLE_TIMESTAMP) X(COLUMN_ROLE_ANOMALY_LABEL) X(MIN) X(MAX) X(COLUMN) X(ROW) X(THRESHOLD)             \
  X(HOLDOUT_MAX_RATIO) X(HOLDOUT_MIN) X(HOLDOUT_MAX) X(INPUT_DATA_LIMITATION)                                   \
  X(LEARNING_TYPE_TIMESERIES_FORECASTING) X(LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION)                        \
  X(TSHIRT_SIZE_SMALL) X(TSHIRT_SIZE_MEDIUM) X(TSHIRT_SIZE_LARGE) X(TSHIRT_SIZE_EXTRA_LARGE)
#define QX_GLOBAL_NAMES(X) \
  X(Fraction) X(datetime) X(pd) X(np) X(Messages) X(DataHelper) X(round) QX_CONSTANT_NAMES(X)
// clang-format on

enum class G : unsigned char {
#define QX_GLOBAL_ENUM(name) name,
  QX_GLOBAL_NAMES(QX_GLOBAL_ENUM)
#undef QX_GLOBAL_ENUM
};

// Interns the keys of the global names; call during module initialisation.
void intern_globals();

// A module global as the interpreter finds it: the module namespace first,
// then the builtins; NameError when neither has it.
Ref global(const Frame& f, G name);
Ref attr(PyObject* o, const char* name);
inline Ref attr(const Ref& o, const char* name) { return attr(o.get(), name); }
// The same with the name as a str object: no new str per lookup, for loops over rows.
Ref attr(PyObject* o, const Ref& name);
Ref item(PyObject* o, PyObject* key);
inline Ref item(const Ref& o, const Ref& key) { return item(o.get(), key.get()); }
inline Ref item(const Ref& o, PyObject* key) { return item(o.get(), key); }
Ref item(PyObject* o, Py_ssize_t index);
void set_item(PyObject* o, PyObject* key, PyObject* value);
// root[k0][k1]...: each step is a subscription, in order.
Ref lookup(PyObject* root, std::initializer_list<PyObject*> keys);
// isinstance(o, cls)
bool is_instance(PyObject* o, PyObject* cls);
// A module's attribute after importing it (import dateutil.parser, then .parse).
Ref import_attr(const char* module, const char* name);
Ref import_module(const char* module);

// ---- calls -----------------------------------------------------------------------

Ref call_vector(PyObject* f, PyObject* const* args, size_t n, PyObject* kwnames = nullptr);

template <class... A>
Ref call(PyObject* f, const A&... a) {
  PyObject* argv[sizeof...(A) + 1] = {nullptr, raw(a)...};
  return call_vector(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET);
}
template <class... A>
Ref call(const Ref& f, const A&... a) {
  return call(f.get(), a...);
}

// obj.name(*args): the attribute is looked up on the object at call time.
template <class... A>
Ref call_method(PyObject* o, const char* name, const A&... a) {
  Ref m = attr(o, name);
  return call(m.get(), a...);
}
template <class... A>
Ref call_method(const Ref& o, const char* name, const A&... a) {
  return call_method(o.get(), name, a...);
}

// f(*args, **kw) with keyword names given as C strings.
Ref call_kw(PyObject* f, std::initializer_list<PyObject*> args,
            std::initializer_list<std::pair<const char*, PyObject*>> kw);

// ---- values ----------------------------------------------------------------------

Ref str(PyObject* o);  // str(o)
inline Ref str(const Ref& o) { return str(o.get()); }
Ref text(const char* s);  // a new str from UTF-8
Ref to_int(PyObject* o);  // int(o)
inline Ref to_int(const Ref& o) { return to_int(o.get()); }
Ref to_float(PyObject* o);  // float(o)
inline Ref to_float(const Ref& o) { return to_float(o.get()); }
Ref from_ssize(Py_ssize_t v);
Ref from_double(double v);
Py_ssize_t length(PyObject* o);  // len(o)
inline Py_ssize_t length(const Ref& o) { return length(o.get()); }
bool truthy(PyObject* o);  // bool(o)
inline bool truthy(const Ref& o) { return truthy(o.get()); }
Ref new_list();
void append(PyObject* list, PyObject* item);  // list.append on an exact list we own
Ref new_dict();
// [a, b, ...]: a new list of the given items.
template <class... A>
Ref list_of(const A&... a) {
  Ref list = new_list();
  (append(list.get(), raw(a)), ...);
  return list;
}
// text.strip('"'), and str(v).strip('"'): the text of a value without
// surrounding double quotes.
Ref strip_quotes(PyObject* text);
Ref unquoted_text(PyObject* v);
// a + b + ...: texts joined.
Ref concat(std::initializer_list<PyObject*> texts);

// `a, b, ... = value`, exactly N values, with the interpreter's errors for
// anything else (not iterable, too few, too many).
void unpack_into(PyObject* value, Ref* out, int n);
template <int N>
std::array<Ref, N> unpack(PyObject* value) {
  std::array<Ref, N> out;
  unpack_into(value, out.data(), N);
  return out;
}

// ---- operators -------------------------------------------------------------------

// a OP b, then the truth of the result, exactly as `if a OP b:` does it
// (no identity shortcut).
bool compare(PyObject* a, PyObject* b, int op);
template <class A, class B>
bool eq(const A& a, const B& b) {
  return compare(raw(a), raw(b), Py_EQ);
}
template <class A, class B>
bool ne(const A& a, const B& b) {
  return compare(raw(a), raw(b), Py_NE);
}
template <class A, class B>
bool lt(const A& a, const B& b) {
  return compare(raw(a), raw(b), Py_LT);
}
template <class A, class B>
bool le(const A& a, const B& b) {
  return compare(raw(a), raw(b), Py_LE);
}
template <class A, class B>
bool gt(const A& a, const B& b) {
  return compare(raw(a), raw(b), Py_GT);
}
template <class A, class B>
bool ge(const A& a, const B& b) {
  return compare(raw(a), raw(b), Py_GE);
}
// `item in container` (identity, then equality, as the container defines it).
bool contains(PyObject* container, PyObject* item);
template <class A, class B>
bool contains(const A& c, const B& i) {
  return contains(raw(c), raw(i));
}

template <class A, class B>
Ref add(const A& a, const B& b) {
  return check(PyNumber_Add(raw(a), raw(b)));
}
template <class A, class B>
Ref sub(const A& a, const B& b) {
  return check(PyNumber_Subtract(raw(a), raw(b)));
}
template <class A, class B>
Ref mul(const A& a, const B& b) {
  return check(PyNumber_Multiply(raw(a), raw(b)));
}
template <class A, class B>
Ref div(const A& a, const B& b) {
  return check(PyNumber_TrueDivide(raw(a), raw(b)));
}

// ---- the message catalogue ------------------------------------------------------

// Messages.get_message(*args, message_id=id), with Messages looked up live.
Ref message(const Frame& f, const char* id, std::initializer_list<PyObject*> args);

// raise Exception(Messages.get_message(*args, message_id=id))
[[noreturn]] void raise_message(const Frame& f, const char* id, std::initializer_list<PyObject*> args = {});

// warn_msg.append(Messages.get_message(*args, message_id=id)); `append` is
// looked up before the catalogue is asked, as the interpreter evaluates it.
void warn(const Frame& f, PyObject* warn_msg, const char* id, std::initializer_list<PyObject*> args = {});

// The same with arguments that take work to make: make_args() (returning a
// std::array of Ref) runs after warn_msg.append and Messages.get_message are
// looked up, in the order the interpreter evaluates the expression.
Ref catalogue_getter(const Frame& f);  // Messages.get_message, looked up live
Ref ask_catalogue(PyObject* get_message, const char* id, const Ref* args, std::size_t n);
template <class MakeArgs>
  requires std::invocable<MakeArgs&>
void warn(const Frame& f, PyObject* warn_msg, const char* id, MakeArgs&& make_args) {
  Ref app = attr(warn_msg, "append");
  Ref get = catalogue_getter(f);
  auto args = make_args();
  Ref msg = ask_catalogue(get.get(), id, args.data(), args.size());
  check(PyObject_CallOneArg(app.get(), msg.get()));
}

// ---- handling errors like `except Exception as ex:` -------------------------------

// If the pending error is an instance of Exception, takes it (normalised, with
// its traceback attached) and clears it; otherwise leaves it pending and
// returns an empty Ref, so the caller re-throws.
Ref take_exception();

// While alive, `ex` is the exception being handled, so errors raised inside
// get it as their __context__ (as in the body of an except clause).
class HandlingScope {
 public:
  explicit HandlingScope(PyObject* ex) noexcept;
  ~HandlingScope();
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;

 private:
  PyObject* saved_;
#if PY_VERSION_HEX < 0x030B0000
  // Before 3.11 the handled exception is a (type, value, traceback) triple.
  PyObject* saved_type_;
  PyObject* saved_tb_;
#endif
};

// ---- pandas and NumPy across their versions ---------------------------------------

// numpy's NaN: `np.NaN` where it exists (NumPy 1), else `np.nan` (the same
// value; NumPy 2 dropped the capitalised alias).
Ref numpy_nan(PyObject* np);

// column.map(fn). From pandas 3, map on an Arrow-backed string column with
// NA as missing value types its results as Arrow types (double[pyarrow],
// timestamp[us][pyarrow], dropping the offsets of mixed timestamps); such a
// column is mapped as objects instead, so that its results are inferred as
// under pandas 2 and as for every other text column.
Ref map_column(PyObject* column, PyObject* fn);

// The major version of the pandas imported now (0 when its version text has none).
long pandas_major();

// True when `dtype` is a pandas string dtype in Arrow storage whose missing
// value is NA (the dtype whose map gives Arrow-typed results from pandas 3).
bool arrow_string_with_na(PyObject* dtype);

// ---- the boundary to the interpreter --------------------------------------------

// Every C entry point (the method call, module initialisation, the getters,
// the callbacks handed to pandas) runs its work through boundary(), so no C++
// exception crosses into the interpreter and every failure is reported the
// same way: a Python error raised inside stays set, std::bad_alloc becomes
// MemoryError, any other exception a SystemError naming `what`.

// Sets the Python error for the exception being handled; call in catch (...).
void translate_exception(const char* what) noexcept;

// `fn` returns a Ref: its new reference, or NULL with an error set.
template <class F>
PyObject* boundary(F&& fn, const char* what) noexcept {
  try {
    if (Ref result = fn()) return result.release();
    if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "%s returned no result", what);
  } catch (...) {
    translate_exception(what);
  }
  return nullptr;
}

// `fn` returns nothing: 0, or -1 with an error set.
template <class F>
int boundary_status(F&& fn, const char* what) noexcept {
  try {
    fn();
    return 0;
  } catch (...) {
    translate_exception(what);
  }
  return -1;
}

}  // namespace qx
