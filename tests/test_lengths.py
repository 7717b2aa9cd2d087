"""validate_input_data, validate_data_len and validate_user_holdout_len."""

import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

FC = "forecasting"
AP = "timeseries_anomaly_prediction"


@pytest.fixture
def limits(dh, C, monkeypatch):
    """Small, known limits installed in the module's namespace."""
    table = {
        C.LEARNING_TYPE_TIMESERIES_FORECASTING: {
            C.ROW: {C.MIN: 10, C.THRESHOLD: 100, C.HOLDOUT_MAX_RATIO: 0.2},
            C.TSHIRT_SIZE_SMALL: {C.ROW: {C.MAX: 200}},
        },
        C.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION: {
            C.ROW: {C.MIN: 10, C.HOLDOUT_MAX_RATIO: 0.5, C.HOLDOUT_MIN: 5, C.HOLDOUT_MAX: 300},
            C.TSHIRT_SIZE_SMALL: {C.ROW: {C.MAX: 200}},
        },
        "other": {C.ROW: {C.MIN: 1, C.HOLDOUT_MAX_RATIO: 0.2}},
    }
    monkeypatch.setattr(dh, "INPUT_DATA_LIMITATION", table)
    return table


def rows(n, start=0):
    return pd.DataFrame({"v": np.arange(start, start + n, dtype=float)}, index=np.arange(n)[::-1] + 100)


# ---- validate_input_data: without a holdout table ----------------------------------


@pytest.mark.parametrize(
    "learning_type, n, size, result, calls",
    [
        (FC, 1000, 0.1, 100, []),
        (FC, 1000, 200, 200, []),
        (FC, 1000, 1, 1, []),
        (FC, 1000, 1.0, 1, []),
        (FC, 1000, 50.0, 50, []),
        (FC, 1000, True, 1, []),
        (FC, 1000, np.int64(7), 7, []),
        (FC, 1000, np.float32(0.1), 100, []),
        (FC, 1000, Fraction(1, 10), 100, []),
        (FC, 1000, Decimal("0.1"), 100, []),
        (AP, 1000, 0.2, 200, []),
        (AP, 1000, 1, 1, []),
        (AP, 1000, 0.4, 300, [("QUARNEX0013W", (0.4, 0.3, 0.3))]),
        (AP, 1000, 400, 300, [("QUARNEX0012W", (400, 300, 300))]),
        (AP, 100, 80, 50, [("QUARNEX0012W", (80, 50, 50))]),
        ("other", 1000, 0.5, 500, []),
        ("unknown", 1000, -5, -5, []),
        ("unknown", 1000, 0.25, 250, []),
        ("unknown", 999, Fraction(1, 3), 333, []),
    ],
)
def test_holdout_size_becomes_rows(helper, messages, limits, learning_type, n, size, result, calls):
    warn_msg = []
    got = helper.validate_input_data(rows(n), learning_type, size, warn_msg)
    assert type(got) is int and got == result
    assert messages.calls == calls
    assert warn_msg == [messages.text(i, *a) for i, a in calls]


@pytest.mark.parametrize(
    "learning_type, n, size, call",
    [
        (FC, 1000, 0, ("QUARNEX0095E", (0,))),
        (FC, 1000, -0.5, ("QUARNEX0095E", (-0.5,))),
        (FC, 1000, -math.inf, ("QUARNEX0095E", (-math.inf,))),
        ("other", 1000, 0, ("QUARNEX0095E", (0,))),
        (FC, 1000, 201, ("QUARNEX0101E", (201, 200, 0.2))),
        (FC, 1000, math.inf, ("QUARNEX0101E", (math.inf, 200, 0.2))),
        (FC, 3, 0.1, ("QUARNEX0101E", (0.1, 0, 0.2))),
        (FC, 1000, 0.3, ("QUARNEX0102E", (0.3, 0.2))),
        (AP, 1000, 0.004, ("QUARNEX0098E", (0.004, 0.005))),
        (AP, 1000, 3, ("QUARNEX0097E", (3, 5))),
        (AP, 0, 0.5, ("QUARNEX0069E", ())),
    ],
)
def test_holdout_size_refused(helper, messages, limits, learning_type, n, size, call):
    warn_msg = []
    with pytest.raises(Exception) as excinfo:
        helper.validate_input_data(rows(n), learning_type, size, warn_msg)
    assert messages.calls == [call]
    assert excinfo.value.args == (messages.text(*call[:1], *call[1]),)
    assert warn_msg == []


def test_limits_come_from_the_constants_module(helper, messages):
    # Forecasting's ratio limit is the constant Fraction(1, 3).
    assert helper.validate_input_data(rows(900), FC, 0.25, []) == 225
    with pytest.raises(Exception):
        helper.validate_input_data(rows(900), FC, 0.4, [])
    assert messages.calls == [("QUARNEX0102E", (0.4, Fraction(1, 3)))]


@pytest.mark.parametrize("learning_type", [FC, "unknown"])
def test_nan_holdout_size_is_a_python_error(helper, messages, limits, learning_type):
    with pytest.raises(ValueError):
        helper.validate_input_data(rows(100), learning_type, math.nan, [])
    assert messages.calls == []


# ---- validate_input_data: with a holdout table --------------------------------------


class Recording:
    """A DataHelper subclass that records the metadata check."""

    def __init__(self, dh):
        class Sub(dh.DataHelper):
            seen = []

            def check_user_holdout_metadata(self, train_df, holdout_df):
                self.seen.append((train_df, holdout_df))
                return super().check_user_holdout_metadata(train_df, holdout_df)

        self.helper = Sub()


def test_holdout_table_gives_its_length(dh, messages, limits):
    helper = Recording(dh).helper
    train, holdout = rows(50), rows(7)
    assert helper.validate_input_data(train, FC, -3, [], holdout) == 7
    assert len(helper.seen) == 1 and helper.seen[0][0] is train and helper.seen[0][1] is holdout
    assert messages.calls == []


def test_empty_holdout_table_is_refused(helper, messages, limits):
    with pytest.raises(Exception):
        helper.validate_input_data(rows(50), FC, 0.1, [], rows(0))
    assert messages.calls == [("QUARNEX0070E", (0, 50))]


def test_holdout_table_with_other_columns_is_refused(helper, messages, limits):
    with pytest.raises(Exception):
        helper.validate_input_data(rows(50), FC, 0.1, [], pd.DataFrame({"v": [1.0], "w": [2.0]}))
    assert messages.calls == [("QUARNEX0081E", (2, 1))]


def test_missing_training_data_comes_first(helper, messages, limits):
    with pytest.raises(Exception):
        helper.validate_input_data(None, FC, 0.1, [], pd.DataFrame({"other": []}))
    assert messages.calls == [("QUARNEX0069E", ())]


# ---- validate_data_len ----------------------------------------------------------------


@pytest.mark.parametrize(
    "learning_type, n, calls",
    [
        (FC, 9, [("QUARNEX0084E", ("10",))]),
        (AP, 9, [("QUARNEX0096E", ("10",))]),
    ],
)
def test_too_few_rows(helper, messages, limits, learning_type, n, calls):
    warn_msg = []
    with pytest.raises(Exception):
        helper.validate_data_len(rows(n), learning_type, "S", warn_msg)
    assert messages.calls == calls and warn_msg == []


@pytest.mark.parametrize(
    "learning_type, size, n, ids",
    [
        (FC, "S", 10, ["QUARNEX0007W"]),
        (FC, "S", 100, ["QUARNEX0007W"]),
        (FC, "S", 101, []),
        (AP, "S", 10, []),
        (FC, "S", 200, []),
        (FC, "XL", 500, []),
        (FC, None, 50, ["QUARNEX0007W"]),
        ("unknown", "S", 1, []),
    ],
)
def test_data_kept_whole(helper, messages, limits, learning_type, size, n, ids):
    df = rows(n)
    warn_msg = []
    assert helper.validate_data_len(df, learning_type, size, warn_msg) is df
    assert messages.ids == ids and len(warn_msg) == len(ids)


def test_long_data_cut_to_latest_rows(helper, messages, limits):
    df = rows(201)
    warn_msg = []
    got = helper.validate_data_len(df, AP, "S", warn_msg)
    pd.testing.assert_frame_equal(got, df.iloc[1:])
    assert len(df) == 201
    assert messages.calls == [("QUARNEX0005W", ("200",))]
    assert warn_msg == [messages.text("QUARNEX0005W", "200")]


def test_soft_threshold_warning_comes_before_the_cut(helper, messages, limits, C):
    limits[FC][C.ROW][C.THRESHOLD] = 500
    got = helper.validate_data_len(rows(300), FC, "S", [])
    assert len(got) == 200
    assert messages.ids == ["QUARNEX0007W", "QUARNEX0005W"]


# ---- validate_user_holdout_len ------------------------------------------------------


def test_holdout_count_cut_to_first_rows(helper, messages, limits):
    train, holdout = rows(700), rows(300, start=700)
    warn_msg = []
    got_df, got_size = helper.validate_user_holdout_len(train, holdout, FC, 300, warn_msg)
    assert type(got_size) is int and got_size == 200
    pd.testing.assert_frame_equal(got_df, holdout.iloc[:200])
    assert len(holdout) == 300
    assert messages.calls == [("QUARNEX0006W", ("0.2",))]
    assert warn_msg == [messages.text("QUARNEX0006W", "0.2")]


@pytest.mark.parametrize("n_train, n_holdout, size", [(850, 150, 150), (800, 200, 200), (800, 200, 0.2), (1, 1, 0.1)])
def test_holdout_within_share_is_returned_as_is(helper, messages, limits, n_train, n_holdout, size):
    holdout = rows(n_holdout)
    got = helper.validate_user_holdout_len(rows(n_train), holdout, FC, size, [])
    assert type(got) is tuple and got[0] is holdout and got[1] is size
    assert messages.calls == []


def test_holdout_ratio_above_the_limit_becomes_the_limit(helper, messages, limits, C):
    ratio = Fraction(1, 5)
    limits[FC][C.ROW][C.HOLDOUT_MAX_RATIO] = ratio
    holdout = rows(300)
    got_df, got_size = helper.validate_user_holdout_len(rows(700), holdout, FC, 0.5, [])
    assert got_size is ratio
    assert len(got_df) == 200
    assert messages.calls == [("QUARNEX0006W", ("1/5",))]


@pytest.mark.parametrize("ratio, words", [(Fraction(1, 3), "one third"), (1 / 3, str(1 / 3)), (0.25, "0.25")])
def test_warning_names_the_ratio(helper, messages, limits, C, ratio, words):
    limits[FC][C.ROW][C.HOLDOUT_MAX_RATIO] = ratio
    helper.validate_user_holdout_len(rows(100), rows(100), FC, 100, [])
    assert messages.calls == [("QUARNEX0006W", (words,))]


def test_tiny_holdout_cut_to_no_rows(helper, messages, limits):
    got_df, got_size = helper.validate_user_holdout_len(rows(2), rows(1), FC, 1, [])
    assert got_size == 0 and len(got_df) == 0
    assert messages.ids == ["QUARNEX0006W"]


@pytest.mark.parametrize("size", [math.nan, 10**6])
def test_unknown_learning_type_applies_no_cap(helper, messages, limits, size):
    holdout = rows(500)
    got = helper.validate_user_holdout_len(rows(1), holdout, "unknown", size, [])
    assert got[0] is holdout and got[1] is size
    assert messages.calls == []
