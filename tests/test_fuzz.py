"""Fuzzing of every DataHelper method: whatever the caller passes, a call
returns or raises a Python exception, and the interpreter survives.

Each example runs in this process, so a crash takes pytest down with it: the
test run finishing is the check. Besides that, no call may end in SystemError,
the interpreter's sign that a C function misbehaved (returned NULL without an
error, or a result with an error still set).

The ordinary run tries a small derandomised sample per method. For a long,
randomised run:

    QUARNEX_FUZZ_EXAMPLES=5000 python -m pytest tests/test_fuzz.py
"""

import inspect

import fuzz_strategies as fs
import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quarnex.utils.data_helper as _dh

# Every method of the class, in the order the class lists them (process_data first).
METHODS = [name for name in vars(_dh.DataHelper) if not name.startswith("_")]
UNKNOWN = "no_such_parameter"


def parameters(dh, name):
    """Parameter names of a method, self excluded."""
    names = list(inspect.signature(getattr(dh.DataHelper, name)).parameters)
    return [p for p in names if p != "self"]


REAL = {}


def real_class(dh):
    """The module's own DataHelper, even while the namespace is patched."""
    return REAL.setdefault("DataHelper", dh.DataHelper)


def weird_helper_class(dh, draw):
    """A DataHelper subclass whose methods (the ones other methods call through
    self) raise or return values of the wrong kind."""
    body = {}
    for name in draw(st.lists(st.sampled_from(METHODS[1:]), max_size=4, unique=True)):
        outcome = draw(
            st.one_of(
                st.just(fs.Boom),
                fs.anything,
                st.tuples(fs.tables, fs.anything),
                st.tuples(fs.tables, fs.tables, fs.anything),
                st.tuples(fs.anything, fs.anything, fs.anything, fs.anything),
            ),
            label=f"override {name}",
        )
        if outcome is fs.Boom:

            def method(self, *args, **kwargs):
                raise fs.Boom("overridden method")
        else:

            def method(self, *args, _outcome=outcome, **kwargs):
                return _outcome

        body[name] = method
    return type("WeirdHelper", (real_class(dh),), body)


def callable_and_self(dh, name, draw):
    """The object to call and the leading arguments (self, when passed explicitly)."""
    if name == "process_data":
        how = draw(st.sampled_from(["class", "instance"]))
        return (getattr(dh.DataHelper, name) if how == "class" else getattr(dh.DataHelper(), name)), []
    how = draw(st.sampled_from(["bound", "bound", "weird", "explicit"]))
    if how == "bound":
        return getattr(dh.DataHelper(), name), []
    if how == "weird":
        return getattr(weird_helper_class(dh, draw)(), name), []
    # DataHelper.method(self, ...) with anything at all as self.
    return getattr(dh.DataHelper, name), [draw(st.one_of(st.builds(dh.DataHelper), fs.anything), label="self")]


def arguments(names, values, draw):
    """Positional and keyword arguments, sometimes a wrong combination."""
    k = draw(st.integers(0, len(names)), label="positional count")
    args = [values[n] for n in names[:k]]
    kwnames = draw(st.permutations(names[k:]))
    kwargs = {n: values[n] for n in kwnames}
    fault = draw(st.sampled_from(["none"] * 6 + ["drop", "extra", "unknown", "twice"]), label="fault")
    if fault == "drop" and names:
        victim = draw(st.sampled_from(names))
        if victim in kwargs:
            del kwargs[victim]
        elif args:
            args.pop()
    elif fault == "extra":
        args = args + [values[n] for n in names[k:]] + draw(st.lists(fs.anything, min_size=1, max_size=2))
        kwargs = {}
    elif fault == "unknown":
        kwargs[UNKNOWN] = 1
    elif fault == "twice" and k:
        kwargs[names[draw(st.integers(0, k - 1))]] = None
    return args, kwargs


def namespace_patches(dh, draw):
    """Patches for the module namespace: (name, value) pairs."""
    patches = []
    for key, value in draw(fs.namespace_patches, label="namespace patches"):
        if key == "DataHelper" and value is not fs.NAMESPACE_DELETE and draw(st.booleans()):
            value = weird_helper_class(dh, draw)
        patches.append((key, value))
    return patches


def apply(dh, patches, saved):
    """Patches the namespace; `saved` gets a snapshot of it, in order."""
    ns = vars(dh)
    saved.extend(ns.items())
    for key, value in patches:
        if value is fs.NAMESPACE_DELETE:
            ns.pop(key, None)
        else:
            ns[key] = value


def restore(dh, saved):
    """Puts the namespace back as it was, the order of its names included."""
    if saved:
        ns = vars(dh)
        ns.clear()
        ns.update(saved)


def survive(call):
    """Runs the call; only a SystemError (a misbehaving C function) fails it."""
    try:
        call()
    except SystemError:
        raise
    except Exception:
        pass


@pytest.mark.parametrize("name", METHODS)
@fs.fuzz_settings()
@given(data=st.data())
def test_any_call_returns_or_raises(dh, name, data):
    draw = data.draw
    real_class(dh)
    names = parameters(dh, name)
    # Half the examples are well-formed calls that reach deep; the others
    # take anything for any parameter, in any argument shape.
    if draw(st.booleans(), label="well formed"):
        declared = getattr(dh.DataHelper, name).__annotations__
        values = {n: draw(fs.well_formed(n, declared.get(n)), label=n) for n in names}
        fn, lead = getattr(dh.DataHelper(), name), []
        args, kwargs = [values[n] for n in names], {}
    else:
        values = {n: draw(fs.parameter(n), label=n) for n in names}
        fn, lead = callable_and_self(dh, name, draw)
        args, kwargs = arguments(names, values, draw)
    patches = namespace_patches(dh, draw) if draw(st.integers(0, 4)) == 0 else []
    saved = []
    try:
        apply(dh, patches, saved)
        survive(lambda: fn(*lead, *args, **kwargs))
    finally:
        restore(dh, saved)


@fs.fuzz_settings(default_examples=40)
@given(data=st.data())
def test_method_object_survives_introspection_and_binding(dh, data):
    """The method object itself: descriptor protocol with odd owners, the
    introspection attributes, repr, pickling by reference, odd keyword keys."""
    import copy
    import pickle

    name = data.draw(st.sampled_from(METHODS))
    raw = vars(dh.DataHelper)[name]
    fn = raw.__func__ if isinstance(raw, staticmethod) else raw
    obj = data.draw(st.one_of(st.none(), fs.anything, st.builds(dh.DataHelper)))
    owner = data.draw(st.one_of(st.none(), st.just(dh.DataHelper), st.just(int), fs.anything))
    action = data.draw(st.sampled_from(["get", "attrs", "sig", "pickle", "copy", "kwkeys", "vectorcall"]))

    def go():
        if action == "get":
            bound = fn.__get__(obj, owner)
            bound(*data.draw(st.lists(fs.anything, max_size=3)))
        elif action == "attrs":
            for attr in (
                "__name__",
                "__qualname__",
                "__module__",
                "__doc__",
                "__defaults__",
                "__kwdefaults__",
                "__annotations__",
                "__globals__",
                "__dict__",
                "__wrapped__",
            ):
                getattr(fn, attr, None)
            repr(fn)
            hash(fn)
            fn == fn  # noqa: B015
        elif action == "sig":
            inspect.signature(fn)
            inspect.signature(getattr(dh.DataHelper(), name))
        elif action == "pickle":
            assert pickle.loads(pickle.dumps(fn)) is fn
        elif action == "copy":
            copy.copy(fn)
            copy.deepcopy(fn)
        elif action == "kwkeys":
            # keywords that are str subclasses, or look like parameters
            key = data.draw(
                st.one_of(st.sampled_from(parameters(dh, name) + ["self", ""]).map(fs.StrSub), st.text(max_size=4))
            )
            fn(**{key: data.draw(fs.anything)})
        else:
            args = data.draw(st.lists(fs.anything, max_size=18))
            fn(*args)

    survive(go)


# ---- inputs that once broke the C++ side ----------------------------------------


class HugeLen:
    """A table stand-in whose length is close to the largest index."""

    def __len__(self):
        return 2**62

    def head(self, n):
        return ("head", n)


def test_lengths_near_the_index_limit_add_as_python_ints(helper, C):
    # len(train) + len(holdout) exceeds the C index type: it must be summed
    # as Python ints (it used to overflow, undefined behaviour in C++).
    table = HugeLen()
    out = helper.validate_user_holdout_len(table, table, C.LEARNING_TYPE_TIMESERIES_FORECASTING, 5, [])
    assert out == (table, 5)
    warnings = []
    out = helper.validate_user_holdout_len(table, table, C.LEARNING_TYPE_TIMESERIES_FORECASTING, 2**63, warnings)
    assert out == (("head", int(2**63 / 3)), int(2**63 / 3)) and len(warnings) == 1


def test_static_method_stored_on_another_class_binds_like_a_def(dh):
    # The method object is a method descriptor: `obj.attr(...)` and
    # `m = obj.attr; m(...)` must agree, so it binds as a def function does.
    class Other:
        pd_ = dh.DataHelper.process_data

    obj = Other()
    assert obj.pd_.__self__ is obj
    for call in (lambda: obj.pd_(*range(10)), lambda: (lambda m: m(*range(10)))(obj.pd_)):
        with pytest.raises(TypeError, match="takes 10 positional arguments but 11 were given"):
            call()
    assert dh.DataHelper.process_data.__get__(None, Other) is dh.DataHelper.process_data


# ---- the per-row fast routes: text and time columns of any content ---------------

NUMERIC_TEXT = st.one_of(
    st.text(max_size=12),
    st.from_regex(
        r"[ \t\n\"]*[+-]?(\d{0,25}(\.\d{0,25})?([eE][+-]?\d{0,6})?|inf|nan|infinity|NaN|1_000)[ \t\"]*", fullmatch=True
    ),
    st.floats().map(repr),
    st.integers().map(str),
    st.sampled_from(["", '""', "\x00", "1\x00", "١٢٣", "１２", "0x10", "1e-400", "-0", ".", "e5", "+-1"]),
)
TIME_TEXT = st.one_of(
    st.text(max_size=30),
    st.from_regex(
        r"[+-]?\d{1,6}-?\d{0,3}-?\d{0,3}([T ]\d{0,3}(:?\d{0,3}(:?\d{0,3}([.,]\d{0,15})?)?)?)?"
        r"(Z|[+-]\d{0,2}(:?\d{0,2})?)?",
        fullmatch=True,
    ),
    st.datetimes(timezones=st.one_of(st.none(), st.timezones())).map(lambda d: d.isoformat()),
    st.datetimes().map(str),
    st.sampled_from(
        [
            "",
            "NaT",
            "nan",
            "2024-02-30",
            "2024-01-01T24:00",
            "9999-12-31T23:59:59.999999999",
            "0001-01-01",
            "2024-01-01T00:00:00+25:00",
            "2024-W01-1",
            "2024-001",
            '"2024-01-01"',
        ]
    ),
)


def text_column(draw, cells):
    values = draw(st.lists(cells, max_size=25))
    kind = draw(st.sampled_from(["object", "string", "with_none"]))
    if kind == "with_none" and values:
        values[draw(st.integers(0, len(values) - 1))] = draw(st.sampled_from([None, float("nan"), pd.NA]))
    return pd.Series(values, dtype="string" if kind == "string" else object)


def time_steps_column(draw):
    kind = draw(st.sampled_from(["int", "float", "datetime", "datetime_tz", "timedelta", "object"]))
    n = draw(st.integers(0, 25))
    if kind == "int":
        return pd.Series(draw(st.lists(st.integers(-(2**63), 2**63 - 1), min_size=n, max_size=n)), dtype="int64")
    if kind == "float":
        return pd.Series(draw(st.lists(st.floats(), min_size=n, max_size=n)), dtype="float64")
    if kind == "object":
        return pd.Series(draw(st.lists(fs.scalars, min_size=n, max_size=n)), dtype=object)
    ints = draw(st.lists(st.one_of(st.integers(-(2**63) + 1, 2**63 - 1), st.just(-(2**63))), min_size=n, max_size=n))
    values = np.array(ints, dtype="int64")
    if kind == "timedelta":
        return pd.Series(values.view("timedelta64[ns]"))
    s = pd.Series(values.view("datetime64[ns]"))
    return s.dt.tz_localize("UTC") if kind == "datetime_tz" else s


@pytest.mark.parametrize("method", ["str2float", "parse_time_col", "validate_time_interval", "process_data"])
@fs.fuzz_settings()
@given(data=st.data())
def test_text_and_time_columns_of_any_content(helper, C, method, data):
    draw = data.draw
    if method == "str2float":
        df = pd.DataFrame({"v": text_column(draw, NUMERIC_TEXT)})
        call = lambda: helper.str2float(df, [0], C.COLUMN_ROLE_TARGET)  # noqa: E731
    elif method == "parse_time_col":
        df = pd.DataFrame({"time": text_column(draw, TIME_TEXT)})
        call = lambda: helper.parse_time_col(df, "time", C.DataType.TRAINING)  # noqa: E731
    elif method == "validate_time_interval":
        df = pd.DataFrame({"time": time_steps_column(draw)})
        call = lambda: helper.validate_time_interval(df, "time", [], C.DataType.INPUT)  # noqa: E731
    else:
        times = text_column(draw, TIME_TEXT)
        df = pd.DataFrame({"time": times, "v": text_column(draw, NUMERIC_TEXT).reindex(times.index)})
        call = lambda: dh_process(helper, C, df)  # noqa: E731
    survive(call)


def dh_process(helper, C, df):
    return helper.process_data(
        df, C.LEARNING_TYPE_TIMESERIES_FORECASTING, ["v"], None, "time", None, 0.2, None, C.TSHIRT_SIZE_MEDIUM, []
    )
