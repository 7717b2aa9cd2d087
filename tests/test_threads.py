"""Calls from several threads at once, each on its own tables and warning
list, give exactly what the same calls give one after the other: results,
changes made to the tables in place, warnings and errors."""

import math
import random
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import quarnex.utils.constants as C

# pandas warns about some steps; warnings.catch_warnings is not thread-safe,
# so the filter is set for the whole module instead.
pytestmark = pytest.mark.filterwarnings("ignore")

FC = C.LEARNING_TYPE_TIMESERIES_FORECASTING
AP = C.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION


def table(n=40, start="2024-01-01", text=False, seed=0):
    rng = np.random.default_rng(seed)
    times = pd.date_range(start, periods=n, freq="h").astype(str)
    values = rng.normal(size=n).round(3)
    return pd.DataFrame(
        {
            "time": times,
            "a": [str(v) for v in values] if text else values,
            "b": np.arange(n) * 2.0,
        }
    )


# (id, method, make): make(seed) returns fresh arguments; the seed varies the
# data so that threads do not all compute the same thing.
CASES = [
    (
        "forecast",
        "process_data",
        lambda s: (table(40 + s, text=True, seed=s), FC, ["a"], ["b"], "time", None, 0.2, None, "M", []),
    ),
    ("anomaly", "process_data", lambda s: (table(60, seed=s), AP, None, ["a", "b"], "time", None, 0.2, None, "M", [])),
    (
        "holdout",
        "process_data",
        lambda s: (table(40, seed=s), FC, "a", -1, "time", None, 5, table(8, "2025-01-01", seed=s + 1), "M", []),
    ),
    ("bad_target", "process_data", lambda s: (table(40, seed=s), FC, ["zz"], None, "time", None, 0.2, None, "M", [])),
    ("str2float", "str2float", lambda s: (table(20, text=True, seed=s), [1, 2], C.COLUMN_ROLE_TARGET)),
    (
        "str2float_refused",
        "str2float",
        lambda s: (table(20, seed=s).assign(a=["x%d" % s] * 20), [1], C.COLUMN_ROLE_TARGET),
    ),
    ("parse_time_col", "parse_time_col", lambda s: (table(30 + s, seed=s), "time", C.DataType.TRAINING)),
    ("get_cols_idx", "get_cols_idx", lambda s: (table(5), ["a", s % 3, "zz"], C.COLUMN_ROLE_FEATURE, AP, [])),
    ("input_data", "validate_input_data", lambda s: (table(40 + s), AP, 0.9, [])),
    (
        "check_missing",
        "check_missing",
        lambda s: (table(10).assign(b=[np.nan if i == s % 10 else 1.0 for i in range(10)]), [1, 2]),
    ),
    ("data_len", "validate_data_len", lambda s: (table(10_000 + 10 * s), FC, "S", [])),
]


def snap(obj):
    """A comparable picture of a value (tables by labels, dtypes, index and
    cells; NaN equal to itself)."""
    if isinstance(obj, pd.DataFrame):
        return (
            "DataFrame",
            snap(list(obj.columns)),
            [str(d) for d in obj.dtypes],
            snap(obj.index.tolist()),
            [snap(obj.iloc[:, i].tolist()) for i in range(obj.shape[1])],
        )
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [snap(v) for v in obj])
    if isinstance(obj, float) and math.isnan(obj):
        return "nan"
    return (type(obj).__name__, repr(obj))


def outcome(helper, method, args):
    try:
        result = ("returned", snap(getattr(helper, method)(*args)))
    except Exception as ex:  # noqa: BLE001 - the error is part of the outcome
        result = ("raised", type(ex).__name__, str(ex))
    return result, snap(list(args))  # the arguments after the call: in-place changes, warnings


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def test_concurrent_calls_match_sequential_calls(helper, fast_switching):
    jobs = [(spec_id, method, make, seed) for spec_id, method, make in CASES for seed in range(3)]
    expected = {(spec_id, seed): outcome(helper, method, make(seed)) for spec_id, method, make, seed in jobs}
    work = jobs * 4
    random.Random(7).shuffle(work)

    def run(job):
        spec_id, method, make, seed = job
        return (spec_id, seed), outcome(helper, method, make(seed))

    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(run, work))
    assert len(results) == len(work)
    for key, got in results:
        assert got == expected[key], key
    # the run covered successes and failures alike
    kinds = {got[0][0] for _, got in results}
    assert kinds == {"returned", "raised"}


def test_concurrent_calls_through_one_shared_instance_and_fresh_ones(dh, fast_switching):
    """Nothing is kept on the instance: a shared one and a fresh one per call agree."""
    shared = dh.DataHelper()
    jobs = [(method, make, seed) for _, method, make in CASES[:4] for seed in range(2)] * 3

    def run(job):
        method, make, seed = job
        return outcome(shared, method, make(seed)), outcome(dh.DataHelper(), method, make(seed))

    with ThreadPoolExecutor(max_workers=3) as pool:
        for a, b in pool.map(run, jobs):
            assert a == b
