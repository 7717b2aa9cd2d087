"""Parameter checks, column resolution, the column cross-checks and the
holdout table's metadata and recency."""

import numpy as np
import pandas as pd
import pytest

from quarnex.utils import constants as C

FC = C.LEARNING_TYPE_TIMESERIES_FORECASTING
AP = C.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION
TARGET, FEATURE = C.COLUMN_ROLE_TARGET, C.COLUMN_ROLE_FEATURE
TIMESTAMP, LABEL = C.COLUMN_ROLE_TIMESTAMP, C.COLUMN_ROLE_ANOMALY_LABEL
SIZES = "[S, M, L, XL]"


# ---- parameters ------------------------------------------------------------------


@pytest.mark.parametrize(
    "args,message_id,margs",
    [
        ((None, [0], [0], None, "M"), "QUARNEX0068E", ("forecasting  or timeseries_anomaly_prediction", None)),
        (
            ("Forecasting", [0], None, None, "M"),
            "QUARNEX0068E",
            ("forecasting  or timeseries_anomaly_prediction", "Forecasting"),
        ),
        (
            (" forecasting", [0], None, None, "bad"),
            "QUARNEX0068E",
            ("forecasting  or timeseries_anomaly_prediction", " forecasting"),
        ),
        ((FC, None, [0], None, "M"), "QUARNEX0092E", (TARGET, TARGET)),
        ((AP, [0], None, pd.DataFrame(), "M"), "QUARNEX0092E", (FEATURE, FEATURE)),
        ((AP, None, [0], pd.DataFrame(), "M"), "QUARNEX0094E", ()),
        ((FC, [0], None, None, None), "QUARNEX0103E", (None, SIZES)),
        ((FC, [0], None, None, "m"), "QUARNEX0103E", ("m", SIZES)),
    ],
)
def test_validate_input_params_refusals(helper, messages, args, message_id, margs):
    messages.raises(lambda: helper.validate_input_params(*args), message_id, margs)
    assert len(messages.calls) == 1


@pytest.mark.parametrize(
    "args",
    [
        (FC, [], None, pd.DataFrame(), "XL"),
        (FC, 0, "", None, "S"),
        (AP, None, [], None, "L"),
    ],
)
def test_validate_input_params_passes(helper, messages, args):
    assert helper.validate_input_params(*args) is None
    assert messages.calls == []


def test_size_list_text_follows_the_constants(helper, messages, dh, monkeypatch):
    monkeypatch.setattr(dh, "TSHIRT_SIZE_MEDIUM", "medium")
    messages.raises(
        lambda: helper.validate_input_params(FC, [0], None, None, "M"), "QUARNEX0103E", ("M", "[S, medium, L, XL]")
    )


# ---- column resolution ----------------------------------------------------------


@pytest.fixture
def df():
    return pd.DataFrame([[1, 2, 3, 4]], columns=["a", "b", "c", "b"])


@pytest.mark.parametrize(
    "cols,expected",
    [
        ([0, 3], [0, 3]),
        ([3, 1, 3], [3, 1, 3]),  # order and duplicates kept
        (["b", "c", "a"], [1, 2, 0]),  # a repeated label resolves to its first position
        ([2.9, -0.5], [2, 0]),  # floats truncate toward zero
        ([np.float64(1.7)], [1]),
        ([np.int64(2), np.int8(0), np.uint16(3)], [2, 0, 3]),  # numpy integers are positions
        ([np.float32(2.0), np.float16(1.5)], [2, 1]),  # numpy floating values truncate
        ([None, b"a", ["a"], ("a",), np.str_("c"), np.bool_(True)], [2]),  # only the str subclass resolves
    ],
)
def test_positions_resolve(helper, df, messages, cols, expected):
    out = helper.get_cols_idx(df, cols, FEATURE, FC, warn_msg=[])
    assert out == expected
    assert all(type(p) is int for p in out)
    assert messages.calls == []


def test_bool_is_a_position_kept_as_is(helper, df):
    out = helper.get_cols_idx(df, [True, False], "other role", FC)
    assert out == [1, 0] and out[0] is True


@pytest.mark.parametrize(
    "col,text", [(-1, "-1"), (4, "4"), ("z", "z"), ("0", "0"), (4.0, "4.0"), (np.int64(-1), "-1"), (np.int64(7), "7")]
)
def test_unresolved_designations_warn(helper, df, messages, col, text):
    warn = []
    assert helper.get_cols_idx(df, [col, "a"], FEATURE, FC, warn) == [0]
    assert messages.calls == [("QUARNEX0016W", (text,))]
    assert warn == [messages.text("QUARNEX0016W", text)]


def test_int_labels_are_not_names(helper, messages):
    df = pd.DataFrame([[1, 2]])
    assert helper.get_cols_idx(df, [1, "0"], TARGET, FC, []) == [1]
    assert messages.ids == ["QUARNEX0016W"]


def test_no_warning_without_warn_msg(helper, df, messages):
    assert helper.get_cols_idx(df, [9, "z", 0], TARGET, FC) == [0]
    assert messages.calls == []


@pytest.mark.parametrize(
    "role,lt,cols,expected",
    [
        (TARGET, AP, [3, 1, 3], [1, 3, 3]),
        (TARGET, AP, [9], []),
        (FEATURE, AP, [3, 1, 3], [1, 3, 3]),
        (FEATURE, FC, [3, 1, 3], [3, 1, 3]),
        (FEATURE, FC, [], []),
        (TARGET, FC, [3, 1], [3, 1]),
        (TIMESTAMP, FC, ["zz", "c", 0], 2),
        (LABEL, AP, [3, 0], 3),
        (None, AP, [3, 1], [3, 1]),
    ],
)
def test_post_processing_by_role(helper, df, role, lt, cols, expected, messages):
    assert helper.get_cols_idx(df, cols, role, lt) == expected


@pytest.mark.parametrize(
    "role,lt,cols,message_id",
    [
        (TARGET, FC, [np.str_("zz"), None, 7], "QUARNEX0072E"),
        (FEATURE, AP, [], "QUARNEX0072E"),
        (TIMESTAMP, FC, [], "QUARNEX00104E"),
        (LABEL, AP, [-1], "QUARNEX00104E"),
    ],
)
def test_empty_results_are_refused(helper, df, messages, role, lt, cols, message_id):
    warn = []
    messages.raises(lambda: helper.get_cols_idx(df, cols, role, lt, warn), message_id, (role, [str(c) for c in cols]))
    assert len(warn) == sum(1 for c in cols if c is not None)  # warned before the refusal


@pytest.mark.parametrize(
    "col,error", [(float("nan"), ValueError), (float("inf"), OverflowError), (np.float32("inf"), OverflowError)]
)
def test_float_without_integer_value_fails_in_int(helper, df, col, error):
    with pytest.raises(error):
        helper.get_cols_idx(df, [col], TARGET, FC)


def test_cols_none_fails_when_iterated(helper, df):
    with pytest.raises(TypeError, match="not iterable"):
        helper.get_cols_idx(df, None, TARGET, FC)


def test_designations_are_not_changed(helper, df):
    cols = ["c", 3, "a"]
    helper.get_cols_idx(df, cols, FEATURE, AP)
    assert cols == ["c", 3, "a"]


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def test_a_failing_str_propagates(helper, df, messages):
    with pytest.raises(RuntimeError, match="no text"):
        helper.get_cols_idx(df, [Unprintable()], TARGET, FC)


# ---- cross-checks -----------------------------------------------------------------


def test_timestamp_also_a_target(helper, messages):
    messages.raises(
        lambda: helper.check_time_col_specified_twice(2, None, [0, 2.0], TARGET), "QUARNEX0074E", ("None", TARGET)
    )
    assert helper.check_time_col_specified_twice(2, "t", [], FEATURE) is None


def lim(col_max):
    return {FC: {"S": {C.COLUMN: {C.MAX: col_max}}}, AP: {"S": {C.COLUMN: {C.MAX: col_max}}}}


@pytest.mark.parametrize(
    "lt,targets,features,expected",
    [
        (FC, 3, 5, ("target and supporting feature", "4")),
        (FC, 5, 5, (TARGET, "4")),
        (FC, 5, None, (TARGET, "4")),
        (AP, 10, 5, (FEATURE, "4")),
    ],
)
def test_too_many_columns(helper, messages, monkeypatch, dh, lt, targets, features, expected):
    monkeypatch.setattr(dh, "INPUT_DATA_LIMITATION", lim(4))
    t = None if targets is None else list(range(targets))
    f = None if features is None else list(range(features))
    messages.raises(lambda: helper.validate_input_data_col_num(lt, "S", t, f), "QUARNEX0093E", expected)


@pytest.mark.parametrize(
    "lt,size,targets,features",
    [
        (FC, "S", 3, 3),
        (FC, "S", 4, 2),
        (FC, "S", None, 9),
        (AP, "S", 10, 2),
        (AP, "S", 3, None),
        (FC, "M", 9, 9),
        ("other", "S", 9, 9),
    ],
)
def test_column_counts_within_limits(helper, messages, monkeypatch, dh, lt, size, targets, features):
    monkeypatch.setattr(dh, "INPUT_DATA_LIMITATION", lim(4))
    t = None if targets is None else list(range(targets))
    f = None if features is None else list(range(features))
    assert helper.validate_input_data_col_num(lt, size, t, f) is None
    assert messages.calls == []


# ---- holdout metadata and recency -------------------------------------------------


@pytest.mark.parametrize(
    "train,holdout,message_id,args",
    [
        (pd.DataFrame(columns=["a", "b"]), pd.DataFrame(columns=["a", "b", "c"]), "QUARNEX0081E", (3, 2)),
        (pd.DataFrame(columns=["a", "b"]), pd.DataFrame(columns=["b", "a"]), "QUARNEX0082E", (["b", "a"], ["a", "b"])),
        (pd.DataFrame(columns=[0, 1]), pd.DataFrame(columns=["0", "1"]), "QUARNEX0082E", (["0", "1"], [0, 1])),
    ],
)
def test_holdout_metadata_refusals(helper, messages, train, holdout, message_id, args):
    messages.raises(lambda: helper.check_user_holdout_metadata(train, holdout), message_id, args)


def test_holdout_metadata_ignores_dtypes(helper, messages):
    train = pd.DataFrame({"a": [1.0], "b": ["x"]})
    holdout = pd.DataFrame({"a": ["1"], "b": [2]})
    assert helper.check_user_holdout_metadata(train, holdout) is None


@pytest.mark.parametrize(
    "train_times,holdout_times,refused",
    [
        ([1, 5], [5, 6], False),
        ([1, 5], [4, 9], True),
        ([9, 5], [6, 0], False),  # only the last training and first holdout row are compared
    ],
)
def test_holdout_recency(helper, messages, train_times, holdout_times, refused):
    train = pd.DataFrame({"t": train_times}, index=[7, 3])
    holdout = pd.DataFrame({"t": holdout_times}, index=[1, 0])
    if refused:
        messages.raises(lambda: helper.check_user_holdout_newer(train, holdout, "t"), "QUARNEX0087E", ())
    else:
        assert helper.check_user_holdout_newer(train, holdout, "t") is None


def test_holdout_recency_on_empty_tables_is_an_index_error(helper):
    with pytest.raises(IndexError):
        helper.check_user_holdout_newer(pd.DataFrame({"t": []}), pd.DataFrame({"t": [1]}), "t")
