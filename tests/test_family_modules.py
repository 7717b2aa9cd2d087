import itertools
from fractions import Fraction

import numpy as np
import pytest

import quarnex.utils.constants as C
from quarnex.utils.messages.messages import Messages

NAMES = """DataType COLUMN_ROLE_TARGET COLUMN_ROLE_FEATURE COLUMN_ROLE_SUPPORTING_FEATURE
COLUMN_ROLE_TIMESTAMP COLUMN_ROLE_ANOMALY_LABEL MIN MAX COLUMN ROW THRESHOLD HOLDOUT_MAX_RATIO
HOLDOUT_MIN HOLDOUT_MAX INPUT_DATA_LIMITATION LEARNING_TYPE_TIMESERIES_FORECASTING
LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION TSHIRT_SIZE_SMALL TSHIRT_SIZE_MEDIUM
TSHIRT_SIZE_LARGE TSHIRT_SIZE_EXTRA_LARGE""".split()
FC, AP = C.LEARNING_TYPE_TIMESERIES_FORECASTING, C.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION
SIZES = {"S": (10_000, 20), "M": (100_000, 50), "L": (1_000_000, 200), "XL": (10_000_000, 1000)}
COUNTS = dict(  # identifier -> number of values
    QUARNEX0068E=2,
    QUARNEX0092E=2,
    QUARNEX0094E=0,
    QUARNEX0103E=2,
    QUARNEX0072E=2,
    QUARNEX00104E=2,
    QUARNEX0016W=1,
    QUARNEX0074E=2,
    QUARNEX0093E=2,
    QUARNEX0073E=3,
    QUARNEX0091E=1,
    QUARNEX0076E=2,
    QUARNEX0077E=1,
    QUARNEX0071E=2,
    QUARNEX0004W=1,
    QUARNEX0075E=0,
    QUARNEX0069E=0,
    QUARNEX0070E=2,
    QUARNEX0095E=1,
    QUARNEX0097E=2,
    QUARNEX0098E=2,
    QUARNEX0101E=3,
    QUARNEX0102E=2,
    QUARNEX0012W=3,
    QUARNEX0013W=3,
    QUARNEX0084E=1,
    QUARNEX0096E=1,
    QUARNEX0005W=1,
    QUARNEX0007W=0,
    QUARNEX0006W=1,
    QUARNEX0081E=2,
    QUARNEX0082E=2,
    QUARNEX0087E=0,
)


class BadStr:
    def __str__(self):
        raise ValueError("no str")

    def __repr__(self):
        return "BadStr()"


class Unprintable(BadStr):
    def __repr__(self):
        raise ValueError("no repr")


def test_constants_surface():
    assert C.__all__ == NAMES and all(hasattr(C, n) for n in NAMES)
    roles = [
        C.COLUMN_ROLE_TARGET,
        C.COLUMN_ROLE_FEATURE,
        C.COLUMN_ROLE_SUPPORTING_FEATURE,
        C.COLUMN_ROLE_TIMESTAMP,
        C.COLUMN_ROLE_ANOMALY_LABEL,
    ]
    keys = [C.MIN, C.MAX, C.COLUMN, C.ROW, C.THRESHOLD, C.HOLDOUT_MAX_RATIO, C.HOLDOUT_MIN, C.HOLDOUT_MAX]
    assert all(type(r) is str for r in roles) and len(set(roles)) == 5
    assert len(set(keys) | set(SIZES) | {FC, AP}) == len(keys) + len(SIZES) + 2
    assert (FC, AP) == ("forecasting", "timeseries_anomaly_prediction")
    assert [C.TSHIRT_SIZE_SMALL, C.TSHIRT_SIZE_MEDIUM, C.TSHIRT_SIZE_LARGE, C.TSHIRT_SIZE_EXTRA_LARGE] == list(SIZES)
    assert {m.name: m.value for m in C.DataType} == {"TRAINING": "training", "HOLDOUT": "holdout", "INPUT": "input"}


@pytest.mark.parametrize("lt, size", list(itertools.product([FC, AP], SIZES)))
def test_size_limits(lt, size):
    entry = C.INPUT_DATA_LIMITATION[lt]
    assert (entry[size][C.ROW][C.MAX], entry[size][C.COLUMN][C.MAX]) == SIZES[size]
    assert entry[C.ROW][C.MIN] == 10 and "XXL" not in entry


@pytest.mark.parametrize(
    "lt, row",
    [
        (FC, {"MIN": 10, "THRESHOLD": 100, "HOLDOUT_MAX_RATIO": Fraction(1, 3)}),
        (AP, {"MIN": 10, "HOLDOUT_MAX_RATIO": 0.5, "HOLDOUT_MIN": 5, "HOLDOUT_MAX": 10000}),
    ],
)
def test_row_limits(lt, row):
    limits = C.INPUT_DATA_LIMITATION[lt][C.ROW]
    assert limits == {getattr(C, k): v for k, v in row.items()}
    assert type(limits[C.HOLDOUT_MAX_RATIO]) is type(row["HOLDOUT_MAX_RATIO"])  # Fraction stays exact


VALUES = [None, [1, "a"], Fraction(1, 3), np.int64(7), np.float64("nan"), BadStr(), Unprintable()]
SHOWN = ["None", "[1, 'a']", "1/3", "7", "nan", "BadStr()", "<unprintable Unprintable>"]


@pytest.mark.parametrize("mid, n", COUNTS.items())
@pytest.mark.parametrize("shift", range(len(VALUES)))
def test_every_message_renders_each_value(mid, n, shift):
    picks = [(VALUES[(shift + i) % 7], SHOWN[(shift + i) % 7]) for i in range(n)]
    text = Messages.get_message(*[v for v, _ in picks], message_id=mid)
    assert text.startswith(f"{mid}: ") and len(text) > len(mid) + 10
    assert all(shown in text for _, shown in picks)


@pytest.mark.parametrize("mid, n", COUNTS.items())
def test_every_value_has_a_place(mid, n):
    marks = [f"<<{i}>>" for i in range(n)]
    text = Messages.get_message(*marks, message_id=mid)
    assert [text.count(m) for m in marks] == [1] * n


@pytest.mark.parametrize(
    "mid, args",
    [  # phrases that bring their own leading blank or colon
        ("QUARNEX0077E", (": object(mixed) in the training data",)),
        ("QUARNEX0071E", ("ts", " in the input data")),
        ("QUARNEX0004W", (" in the holdout data",)),
    ],
)
def test_phrases_join_without_stray_blanks(mid, args):
    text = Messages.get_message(*args, message_id=mid)
    assert all(a in text for a in args) and "  " not in text and " :" not in text and " ." not in text


@pytest.mark.parametrize(
    "call, error, named",
    [
        (lambda: Messages.get_message(message_id="QUARNEX9999E"), KeyError, "QUARNEX9999E"),
        (lambda: Messages.get_message(1, message_id="QUARNEX0104E"), KeyError, "QUARNEX0104E"),
        (lambda: Messages.get_message(1, message_id="QUARNEX0069E"), TypeError, "QUARNEX0069E"),
        (lambda: Messages.get_message(1, 2, message_id="QUARNEX0073E"), TypeError, "QUARNEX0073E"),
        (lambda: Messages.get_message("QUARNEX0069E"), TypeError, "message_id"),
    ],
)
def test_bad_calls_are_refused(call, error, named):
    with pytest.raises(error, match=named):
        call()
