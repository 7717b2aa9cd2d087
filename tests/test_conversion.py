"""str2float and check_missing."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest

ROLE = "target"


def two_pass(series):
    """The conversion of one column written out in Python, pass by pass."""
    texts = series.map(lambda v: str(v).strip('"'))
    return texts.map(lambda t: float("nan") if t == "" else float(t))


# ---- str2float: successful conversions ----------------------------------------


@pytest.mark.parametrize(
    "column",
    [
        pd.Series(["1.5", '"2"', ""], dtype=object),
        pd.Series([" 3 ", '" 4 "', "-1e3", "inf", "NaN", '""'], dtype=object),
        pd.Series([np.nan, 2.0, "7"], dtype=object),
        pd.Series(["1", "2.5", ""], dtype="string"),
        pd.Series(["", ""], dtype=object),
        pd.Series([], dtype=object),
        pd.Series([], dtype="string"),
    ],
    ids=["quoted-empty", "blanks-names", "nan-floats", "string-dtype", "all-empty", "no-rows", "no-rows-string"],
)
def test_text_columns_become_float64(helper, messages, column):
    df = pd.DataFrame({"t": column, "n": range(len(column))})
    expected = two_pass(column)

    assert helper.str2float(df, [0], ROLE) is df

    if len(column):
        # (under pandas 3 map gives an Arrow-backed "string" column, its
        # storage when pyarrow is installed, Arrow types: still float64 here)
        pd.testing.assert_series_equal(df["t"], expected.astype(np.float64), check_names=False)
    else:  # map keeps the dtype of a column without rows
        pd.testing.assert_series_equal(df["t"], expected, check_names=False)
    assert messages.calls == []


def test_values_of_the_documented_example(helper):
    df = pd.DataFrame({"a": ["1.5", '"2"', ""]})
    helper.str2float(df, [0], ROLE)
    values = df["a"].tolist()
    assert values[:2] == [1.5, 2.0] and math.isnan(values[2])


@pytest.mark.parametrize(
    "column",
    [
        pd.Series([1, 2], dtype="int64"),
        pd.Series([1.0, np.nan]),
        pd.Series(["1", "2"], dtype="category"),
        pd.Series(pd.to_datetime(["2024-01-01", "2024-01-02"])),
        pd.Series([True, False]),
        pd.Series([1, pd.NA], dtype="Int64"),
    ],
    ids=["int", "float", "category", "datetime", "bool", "nullable-int"],
)
def test_non_text_columns_are_left_alone(helper, messages, column):
    df = pd.DataFrame({"c": column})
    before = df.copy()
    helper.str2float(df, [0], ROLE)
    pd.testing.assert_frame_equal(df, before)
    assert messages.calls == []


def test_positions_negative_repeated_and_empty(helper):
    df = pd.DataFrame({"a": ["1"], "b": ["2"]})
    text = df["a"].dtype  # object before pandas 3, its string dtype from it
    assert helper.str2float(df, [], ROLE) is df
    assert df.dtypes.tolist() == [text, text]
    helper.str2float(df, [-1, 1, -1], ROLE)
    assert df.dtypes.tolist() == [text, np.float64]


def test_index_and_column_order_are_kept(helper):
    df = pd.DataFrame({"x": [0, 1], "a": ["1", "2"], "y": [5, 6]}, index=[10, 3])
    helper.str2float(df, [1], ROLE)
    assert df.columns.tolist() == ["x", "a", "y"]
    assert df.index.tolist() == [10, 3]
    assert df["a"].tolist() == [1.0, 2.0]


# ---- str2float: refusals ------------------------------------------------------------


@pytest.mark.parametrize(
    "bad, text",
    [
        ("abc", "abc"),
        ("1,5", "1,5"),
        (None, "None"),
        (True, "True"),
        ("'1'", "'1'"),
        (' "1" ', ' "1" '),
        ('"x"', "x"),
    ],
    ids=["word", "comma", "none", "bool", "single-quotes", "blanks-outside-quotes", "quoted-word"],
)
def test_refusal_names_role_label_and_error(helper, messages, bad, text):
    df = pd.DataFrame({"first": ["1"], 7: pd.Series([bad], dtype=object), "last": ["2"]})
    failing, last = df[7].copy(), df["last"].copy()

    with pytest.raises(Exception) as excinfo:
        helper.str2float(df, [0, 1, 2], ROLE)

    error = f"could not convert string to float: {text!r}"
    assert type(excinfo.value) is Exception
    assert messages.calls == [("QUARNEX0073E", (ROLE, 7, error))]
    assert excinfo.value.args == (messages.text("QUARNEX0073E", ROLE, 7, error),)
    assert isinstance(excinfo.value.__context__, ValueError)
    assert str(excinfo.value.__context__) == error
    assert excinfo.value.__cause__ is None and not excinfo.value.__suppress_context__
    # Earlier positions stay converted, the failing column is as it was,
    # later positions are untouched.
    assert df["first"].tolist() == [1.0]
    pd.testing.assert_series_equal(df[7], failing)
    pd.testing.assert_series_equal(df["last"], last)


def test_a_slice_of_a_table_is_converted_and_the_table_left_alone(helper):
    big = pd.DataFrame({"a": ['"1"', "2", "3"], "b": [1, 2, 3]})
    part = big[big["b"] > 1]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # SettingWithCopyWarning before pandas 3 (copy-on-write from it)
        helper.str2float(part, [0], ROLE)
    assert part["a"].tolist() == [2.0, 3.0] and big["a"].tolist() == ['"1"', "2", "3"]


def test_missing_value_in_a_default_text_column(helper, messages):
    # pandas 3 makes text its string dtype, whose missing value is NaN: that
    # converts to NaN as a NaN in an object column does. Before pandas 3 the
    # column holds None, whose text is refused.
    df = pd.DataFrame({"a": ["1", None]})
    if df["a"].dtype == object:
        messages.raises(
            lambda: helper.str2float(df, [0], ROLE),
            "QUARNEX0073E",
            (ROLE, "a", "could not convert string to float: 'None'"),
        )
        assert df["a"].tolist() == ["1", None]
    else:
        helper.str2float(df, [0], ROLE)
        assert df["a"].dtype == np.float64 and df["a"].tolist()[0] == 1.0 and np.isnan(df["a"][1])


def test_refusal_in_extension_string_column_keeps_its_dtype(helper, messages):
    df = pd.DataFrame({"s": pd.Series(["1", pd.NA], dtype="string")})
    before = df.copy()
    with pytest.raises(Exception):
        helper.str2float(df, [0], ROLE)
    assert messages.calls == [("QUARNEX0073E", (ROLE, "s", "could not convert string to float: '<NA>'"))]
    pd.testing.assert_frame_equal(df, before)


class Interrupting:
    def __str__(self):
        raise KeyboardInterrupt


class OutOfMemory(str):
    def __str__(self):
        raise MemoryError


class Broken:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("value, error", [(Interrupting(), KeyboardInterrupt), (OutOfMemory("1"), MemoryError)])
def test_only_refusals_of_a_value_become_the_catalogue_error(helper, messages, value, error):
    df = pd.DataFrame({"a": pd.Series(["1", value], dtype=object)})
    with pytest.raises(error):
        helper.str2float(df, [0], ROLE)
    assert messages.calls == []
    assert df["a"].dtype == object and df["a"][0] == "1"


@pytest.mark.fast_route_errors
def test_memory_error_of_the_native_route_reaches_the_caller(helper, messages, monkeypatch):
    # The native route asks numpy for its output array first. Not in the strict
    # setting: a MemoryError is never taken for a reason to decline.
    def no_memory(*args, **kwargs):
        raise MemoryError("Unable to allocate")

    df = pd.DataFrame({"a": ["1.5", "2"]})
    monkeypatch.setenv("QUARNEX_DATA_HELPER_NO_FASTPATH", "0")
    monkeypatch.setenv("QUARNEX_DATA_HELPER_FASTPATH_STRICT", "0")
    monkeypatch.setattr(np, "empty", no_memory)
    with pytest.raises(MemoryError):
        helper.str2float(df, [0], ROLE)
    monkeypatch.undo()
    assert messages.calls == [] and df["a"].tolist() == ["1.5", "2"]


def test_any_exception_while_converting_is_refused(helper, messages):
    df = pd.DataFrame({"a": pd.Series([Broken()], dtype=object)})
    with pytest.raises(Exception) as excinfo:
        helper.str2float(df, [0], ROLE)
    assert messages.calls == [("QUARNEX0073E", (ROLE, "a", "no text"))]
    assert isinstance(excinfo.value.__context__, RuntimeError)


@pytest.mark.parametrize("col_idx, error", [([3], IndexError), (["a"], TypeError), (None, TypeError)])
def test_bad_positions_are_python_errors(helper, messages, col_idx, error):
    df = pd.DataFrame({"a": ["x"]})
    with pytest.raises(error):
        helper.str2float(df, col_idx, ROLE)
    assert messages.calls == []


# ---- check_missing ------------------------------------------------------------------


def test_nan_in_a_column_is_refused_with_its_label(helper, messages):
    df = pd.DataFrame({"ok": [1.0, 2.0], ("a", 1): [1.0, np.nan], "b": [np.nan, 1.0]})
    with pytest.raises(Exception) as excinfo:
        helper.check_missing(df, [0, 1, 2])
    assert messages.calls == [("QUARNEX0091E", (("a", 1),))]
    assert excinfo.value.args == (messages.text("QUARNEX0091E", ("a", 1)),)


@pytest.mark.parametrize("nan", [float("nan"), np.float64("nan"), np.float32("nan")], ids=["float", "f64", "f32"])
def test_any_float_nan_counts_nan_values(helper, messages, nan):
    df = pd.DataFrame({"a": [1.0, np.nan]})
    with pytest.raises(Exception):
        helper.check_missing(df, [0], nan)
    assert messages.calls == [("QUARNEX0091E", ("a",))]


@pytest.mark.parametrize(
    "column, missing_value, refused",
    [
        ([1, 2, 3], np.nan, False),
        ([1.0, 2.0], np.nan, False),
        ([1.0, 0.0], 0, True),
        ([1.0, np.nan], 0, False),
        ([False, True], True, True),
        ([False, False], True, False),
        (["a", "b"], "b", True),
    ],
)
def test_missing_value_by_equality(helper, messages, column, missing_value, refused):
    df = pd.DataFrame({"c": column})
    if refused:
        with pytest.raises(Exception):
            helper.check_missing(df, [0], missing_value)
        assert messages.calls == [("QUARNEX0091E", ("c",))]
    else:
        assert helper.check_missing(df, [0], missing_value) is None
        assert messages.calls == []


def test_check_missing_leaves_errors_of_numpy_and_pandas(helper, messages):
    df = pd.DataFrame({"t": ["x", "y"]})
    with pytest.raises(TypeError):
        helper.check_missing(df, [0])
    with pytest.raises(IndexError):
        helper.check_missing(df, [1])
    assert helper.check_missing(df, []) is None
    assert messages.calls == []


@pytest.mark.parametrize(
    "column, refused",
    [
        (pd.Series([1.0, None], dtype="Float64"), True),
        (pd.Series([1, None], dtype="Int64"), True),
        (pd.Series([1.0, 2.0], dtype="Float64"), False),
        (pd.Series(pd.to_datetime(["2024-01-01", None])), True),
    ],
    ids=["Float64-NA", "Int64-NA", "Float64-full", "datetime-NaT"],
)
def test_missing_values_of_other_dtypes_by_default(helper, messages, column, refused):
    df = pd.DataFrame({"c": column})
    if refused:
        with pytest.raises(Exception):
            helper.check_missing(df, [0])
        assert messages.calls == [("QUARNEX0091E", ("c",))]
    else:
        assert helper.check_missing(df, [0]) is None
