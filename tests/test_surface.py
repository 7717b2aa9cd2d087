"""The module namespace, the class and the behaviour of its method objects."""

import importlib
import inspect
import math
import pickle
import re
import shutil
import subprocess
import sys
import typing
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import quarnex.utils.data_helper as dh
from quarnex.utils import constants as C

CONSTANTS = list(C.__all__)

# The methods as plain Python defs with the same signatures: the interpreter's
# own argument errors are the reference for ours.
REFERENCE = """
class DataHelper:
    @staticmethod
    def process_data(df, learning_type, target_columns, feature_columns, timestamp_column,
                     anomaly_label_column, holdout_size, user_holdout_df, tshirt_size, warn_msg): pass
    def validate_input_data_col_num(self, learning_type, tshirt_size, target_columns=None, feature_columns=None): pass
    def parse_time_col(self, data_df, time_col, data_type): pass
    def validate_time_interval(self, df, time_col, warn_msg, data_type): pass
    def check_user_holdout_newer(self, train_df, holdout_df, time_col): pass
    def validate_data_len(self, df, learning_type, tshirt_size, warn_msg): pass
    def validate_user_holdout_len(self, train_df, holdout_df, learning_type, holdout_size, warn_msg): pass
    def check_user_holdout_metadata(self, train_df, holdout_df): pass
    def check_missing(self, df, col_idx, missing_value=float("nan")): pass
    def validate_input_params(self, learning_type, target_columns, feature_columns, user_holdout_df, tshirt_size): pass
    def validate_input_data(self, df, learning_type, holdout_size, warn_msg, holdout_df=None): pass
    def get_cols_idx(self, df, cols, col_role, learning_type, warn_msg=None): pass
    def check_time_col_specified_twice(self, time_col_idx, time_col_name, other_col_idx, col_role): pass
    def str2float(self, df, col_idx, col_role): pass
    def process_data_by_time_col(self, df, holdout_df, time_col, learning_type, holdout_size, warn_msg): pass
"""
_ns: dict = {}
exec(REFERENCE, _ns)
Reference = _ns["DataHelper"]
METHODS = [name for name in vars(Reference) if not name.startswith("__")]

DOCUMENTED = {
    "process_data",
    "validate_input_data_col_num",
    "parse_time_col",
    "validate_time_interval",
    "check_user_holdout_newer",
    "validate_data_len",
    "validate_user_holdout_len",
    "check_user_holdout_metadata",
    "check_missing",
    "validate_input_params",
    "validate_input_data",
}


def test_namespace_binds_imports_in_order():
    names = [n for n in vars(dh) if not n.startswith("_")]
    assert names == ["Union", "Fraction", "datetime", "pd", "np", "Messages", *CONSTANTS, "DataHelper"]
    assert dh.Union is typing.Union and dh.Fraction is Fraction and dh.pd is pd and dh.np is np
    assert dh.datetime is sys.modules["datetime"]
    assert dh.__name__ == "quarnex.utils.data_helper" and dh.__doc__ is None
    assert all(getattr(dh, n) is getattr(C, n) for n in CONSTANTS)


def test_class_shape():
    cls = dh.DataHelper
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == "quarnex.utils.data_helper" and cls.__qualname__ == "DataHelper"
    assert cls.__doc__ is None
    assert [n for n in vars(cls) if not n.startswith("__")] == METHODS
    assert isinstance(vars(cls)["process_data"], staticmethod)
    with pytest.raises(TypeError):
        cls(1)
    instance = cls()
    instance.note = 1  # a plain instance with a __dict__
    assert pickle.loads(pickle.dumps(instance)).__class__ is cls


@pytest.mark.parametrize("name", METHODS)
def test_method_introspection(name):
    fn = getattr(dh.DataHelper, name)
    ref = getattr(Reference, name)
    assert fn.__name__ == name and fn.__qualname__ == f"DataHelper.{name}"
    assert fn.__module__ == "quarnex.utils.data_helper"
    assert (fn.__doc__ is not None) == (name in DOCUMENTED)
    assert fn.__kwdefaults__ is None
    assert re.fullmatch(rf"<function DataHelper\.{name} at 0x[0-9a-f]+>", repr(fn))
    sig, ref_sig = inspect.signature(fn), inspect.signature(ref)
    assert list(sig.parameters) == list(ref_sig.parameters)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    if name == "check_missing":
        (nan,) = fn.__defaults__
        assert isinstance(nan, float) and math.isnan(nan) and nan is getattr(np, "NaN", np.nan)
    else:
        assert fn.__defaults__ == ref.__defaults__
    assert pickle.loads(pickle.dumps(fn)) is fn


def test_annotations_are_the_declared_types():
    ann = dh.DataHelper.get_cols_idx.__annotations__
    assert ann == {
        "df": pd.DataFrame,
        "cols": list,
        "col_role": str,
        "learning_type": str,
        "warn_msg": list,
        "return": typing.Union[list, int],
    }
    assert dh.DataHelper.process_data.__annotations__["target_columns"] == typing.Union[list, int, str]
    assert dh.DataHelper.parse_time_col.__annotations__["data_type"] is C.DataType
    assert dh.DataHelper.validate_input_data.__annotations__["return"] is int
    assert "missing_value" not in dh.DataHelper.check_missing.__annotations__
    assert "return" not in dh.DataHelper.str2float.__annotations__
    # callers get their own copy
    ann["cols"] = None
    assert dh.DataHelper.get_cols_idx.__annotations__["cols"] is list


def test_binding():
    h = dh.DataHelper()
    bound = h.validate_input_params
    assert bound.__self__ is h and bound.__func__ is dh.DataHelper.validate_input_params
    assert list(inspect.signature(bound).parameters)[0] == "learning_type"
    assert h.process_data is dh.DataHelper.process_data
    assert "df" == list(inspect.signature(h.process_data).parameters)[0]


def _error(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


BAD_CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2, 3), {}),
    (tuple(range(12)), {}),
    ((1,), {"nope": 2}),
    ((1, 2), {"self": 3}),
    ((1, 2, 3), {"df": 4}),
    ((), {"df": 1, "holdout_df": 2, "train_df": 3}),
    ((1, 2), {1: 2}),
    # near misses: from 3.13 the interpreter suggests the closest name
    ((1,), {"learning_tipe": 2}),
    ((1,), {"DF": 2}),
    ((1,), {"warn_msgs": 2, "colz": 3}),
]


@pytest.mark.parametrize("name", METHODS)
@pytest.mark.parametrize("args,kwargs", BAD_CALLS)
def test_argument_errors_match_the_interpreter(name, args, kwargs):
    ours, ref = getattr(dh.DataHelper, name), getattr(Reference, name)
    try:
        ref(*args, **kwargs)
    except TypeError as exc:
        expected = str(exc)
    else:
        return  # a valid call for this signature
    assert _error(lambda: ours(*args, **kwargs)).replace("DataHelper.", "") == expected.replace("DataHelper.", "")


def test_instance_method_called_on_the_class_takes_df_as_self():
    df = pd.DataFrame({"a": ["1"]})
    assert (
        _error(lambda: dh.DataHelper.str2float(df, [0], C.COLUMN_ROLE_TARGET))
        == "DataHelper.str2float() missing 1 required positional argument: 'col_role'"
    )
    assert (
        _error(lambda: dh.DataHelper.process_data(*range(9)))
        == "DataHelper.process_data() missing 1 required positional argument: 'warn_msg'"
    )


class StrSub(str):
    pass


class ListSub(list):
    pass


@pytest.mark.parametrize(
    "call,param,expected,given",
    [
        (lambda h: h.validate_data_len(None, "forecasting", "M", ()), "warn_msg", "list", "tuple"),
        (
            lambda h: h.validate_input_params(np.str_("forecasting"), 1, 1, None, "M"),
            "learning_type",
            "str",
            "numpy.str_",
        ),
        (lambda h: h.validate_input_params(3, None, None, None, None), "learning_type", "str", "int"),
        (lambda h: h.get_cols_idx(None, ListSub(), None, None), "cols", "list", "ListSub"),
        (lambda h: h.get_cols_idx(None, [], StrSub("target"), None), "col_role", "str", "StrSub"),
        (lambda h: h.check_time_col_specified_twice(0, 0, [], "target"), "time_col_name", "str", "int"),
        (lambda h: h.check_missing(None, (0,)), "col_idx", "list", "tuple"),
        (
            lambda h: dh.DataHelper.process_data(None, None, 1, 1, 1, 1, 1, None, b"M", []),
            "tshirt_size",
            "str",
            "bytes",
        ),
        (
            lambda h: h.validate_input_data_col_num("forecasting", "M", feature_columns={}),
            "feature_columns",
            "list",
            "dict",
        ),
    ],
)
def test_entry_checks(call, param, expected, given):
    assert (
        _error(lambda: call(dh.DataHelper()))
        == f"Argument '{param}' has incorrect type (expected {expected}, got {given})"
    )


def test_entry_checks_pass_none_and_skip_undeclared(messages):
    h = dh.DataHelper()
    assert h.check_time_col_specified_twice(None, None, [], None) is None
    # time_col_idx is declared int but never checked
    assert h.check_time_col_specified_twice("x", None, [], None) is None
    assert h.validate_input_data_col_num(None, None, None, None) is None


def test_module_globals_are_looked_up_at_each_call(monkeypatch, messages):
    h = dh.DataHelper()
    assert h.validate_input_data_col_num("forecasting", "S", list(range(20))) is None
    limits = {"forecasting": {"S": {C.COLUMN: {C.MAX: 3}}}}
    monkeypatch.setattr(dh, "INPUT_DATA_LIMITATION", limits)
    with pytest.raises(Exception):
        h.validate_input_data_col_num("forecasting", "S", list(range(20)))
    assert messages.calls == [("QUARNEX0093E", (C.COLUMN_ROLE_TARGET, "3"))]
    monkeypatch.delattr(dh, "INPUT_DATA_LIMITATION")
    with pytest.raises(NameError, match="INPUT_DATA_LIMITATION"):
        h.validate_input_data_col_num("forecasting", "S", [])


def test_per_instance_and_subclass_patching_is_seen(monkeypatch):
    class Sub(dh.DataHelper):
        def get_cols_idx(self, *args, **kwargs):
            return "patched"

    assert Sub().get_cols_idx(None, [], None, None) == "patched"
    h = dh.DataHelper()
    h.get_cols_idx = lambda *a: "instance"
    assert h.get_cols_idx() == "instance"


def test_errors_inside_the_catalogue_propagate(monkeypatch):
    class Broken:
        @staticmethod
        def get_message(*args, **kwargs):
            raise LookupError("catalogue down")

    monkeypatch.setattr(dh, "Messages", Broken)
    with pytest.raises(LookupError, match="catalogue down"):
        dh.DataHelper().validate_input_params("nope", None, None, None, "M")


def test_raised_error_is_a_plain_exception_with_the_catalogue_text():
    with pytest.raises(Exception) as info:
        dh.DataHelper().validate_input_params("forecasting", None, None, None, "M")
    assert type(info.value) is Exception
    (text,) = info.value.args
    assert text.startswith("QUARNEX0092E: ")


def test_deep_recursion_through_patched_methods_is_an_error_not_a_crash():
    class Loop(dh.DataHelper):
        def validate_input_params(self, *args):
            return self.check_user_holdout_metadata(*args[:2])

    h = Loop()
    h.check_user_holdout_metadata = lambda a, b: h.validate_input_params(a, b)
    with pytest.raises(RecursionError):
        h.validate_input_params(1, 2, 3, 4, 5)


# ---- the method object as a def -------------------------------------------------------

DELETE = object()


def _assign(fn, attr, value):
    try:
        if value is DELETE:
            delattr(fn, attr)
        else:
            setattr(fn, attr, value)
    except (TypeError, AttributeError) as exc:
        return type(exc), str(exc)
    return "ok", getattr(fn, attr, "<missing>")


@pytest.mark.parametrize(
    "attr, value",
    [
        ("__doc__", "text"),
        ("__doc__", 3),
        ("__doc__", DELETE),
        ("__defaults__", (1, 2)),
        ("__defaults__", [1]),
        ("__defaults__", None),
        ("__defaults__", DELETE),
        ("__kwdefaults__", {"a": 1}),
        ("__kwdefaults__", 1),
        ("__kwdefaults__", DELETE),
        ("__dict__", {"x": 1}),
        ("__dict__", 1),
        ("__dict__", DELETE),
        ("__name__", "renamed"),
        ("__name__", 1),
        ("__qualname__", None),
        ("__module__", "elsewhere"),
        ("__annotations__", {"x": int}),
        ("__annotations__", 1),
        ("note", [1]),
    ],
)
def test_attributes_assign_as_on_a_def(monkeypatch, attr, value):
    ours = dh.DataHelper.get_cols_idx
    ref = Reference.get_cols_idx
    ref = type(ref)(ref.__code__, ref.__globals__, ref.__name__, ref.__defaults__)  # a copy to change
    for fn in (ours, ref):  # undone after the test
        monkeypatch.setattr(fn, attr, getattr(fn, attr, None), raising=False)
    assert _assign(ours, attr, value) == _assign(ref, attr, value)


@pytest.mark.parametrize("defaults", [(None, [], None), tuple(range(7))])  # the second: more than the parameters
def test_assigned_defaults_are_what_calls_and_signatures_use(monkeypatch, defaults):
    ours = dh.DataHelper.check_time_col_specified_twice
    ref = Reference.check_time_col_specified_twice
    ref = type(ref)(ref.__code__, ref.__globals__, ref.__name__, defaults)
    ref.__qualname__ = Reference.check_time_col_specified_twice.__qualname__  # (3.10 does not take it from the code)
    monkeypatch.setattr(ours, "__defaults__", defaults)

    def defaults_seen(fn):
        return [p.default for p in inspect.signature(fn).parameters.values()]

    assert _error(lambda: ours(*range(6))) == _error(lambda: ref(*range(6)))
    if len(defaults) <= 5:  # (inspect misreads a longer tuple of a def; the call uses its last values)
        assert defaults_seen(ours) == defaults_seen(ref)
        assert ours(dh.DataHelper(), 1) is None
    else:
        assert "'time_col_name'" in _error(lambda: ours(dh.DataHelper(), 1))  # given 4, the 5th value


def test_method_type_is_fixed_and_made_only_by_the_module():
    ftype = type(dh.DataHelper.str2float)
    assert ftype.__module__ == "quarnex.utils.data_helper" and ftype.__name__ == "function"
    with pytest.raises(TypeError, match="cannot create"):
        ftype()
    with pytest.raises(TypeError, match="immutable"):
        ftype.extra = 1


def test_every_import_builds_its_own_namespace_and_class(monkeypatch, messages):
    import quarnex.utils

    monkeypatch.delitem(sys.modules, dh.__name__)
    monkeypatch.setattr(quarnex.utils, "data_helper", dh)  # the import rebinds it; undone after the test
    again = importlib.import_module(dh.__name__)
    assert again is not dh and again.DataHelper is not dh.DataHelper
    assert type(again.DataHelper.str2float) is not type(dh.DataHelper.str2float)
    assert again.DataHelper.str2float.__globals__ is vars(again)
    # each class reads its own module's namespace
    monkeypatch.setattr(again, "INPUT_DATA_LIMITATION", {"forecasting": {"S": {C.COLUMN: {C.MAX: 3}}}})
    assert dh.DataHelper().validate_input_data_col_num("forecasting", "S", list(range(9))) is None
    with pytest.raises(Exception):
        again.DataHelper().validate_input_data_col_num("forecasting", "S", list(range(9)))


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None, reason="ELF and nm only")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", dh.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_data_helper"]
