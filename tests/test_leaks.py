"""Repeated calls leak nothing: after a warm-up round, many more calls (that
succeed, that raise a catalogue error, that fail inside pandas or inside the
catalogue itself, or that are refused on entry) leave the reference counts of
their arguments and the interpreter's count of allocated blocks where they
were.

QUARNEX_LEAK_CALLS sets the calls per case (default 300; a method has several
cases); calls that take long get fewer, down to 150, so that one round takes
about QUARNEX_LEAK_ROUND_SECONDS (default 0.05). Under PYTHONMALLOC=malloc (the sanitizer run) the interpreter counts no
blocks, and only the reference counts are checked.
"""

import gc
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd
import pytest

import quarnex.utils.constants as C

CALLS = int(os.environ.get("QUARNEX_LEAK_CALLS", "300"))
WARMUP = 60
MIN_CALLS = 150
ROUND_SECONDS = float(os.environ.get("QUARNEX_LEAK_ROUND_SECONDS", "0.05"))
#: Blocks that may come and go in a round without a leak (free lists, caches
#: of pandas and numpy that take a few thousand calls to settle): a quarter
#: block per call plus a constant. A leak of one block per call exceeds it.
BLOCK_TOLERANCE = 0.25
BLOCK_SLACK = 64

FC = C.LEARNING_TYPE_TIMESERIES_FORECASTING
AP = C.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION
TARGET, FEATURE, TIMESTAMP = C.COLUMN_ROLE_TARGET, C.COLUMN_ROLE_FEATURE, C.COLUMN_ROLE_TIMESTAMP


class Boom(Exception):
    pass


class BadStr:
    def __str__(self):
        raise Boom("no text")


def table(n=40, text=False, start="2024-01-01"):
    times = pd.date_range(start, periods=n, freq="h")
    return pd.DataFrame(
        {
            "time": times.astype(str),
            "a": [f"{i}.5" for i in range(n)] if text else np.arange(n, dtype=float),
            "b": np.arange(n) * 2.0,
        }
    )


def parsed(n=40, start="2024-01-01", hours=None):
    """A table with a datetime column (built without parsing, which keeps
    caches of its own), hourly or at the given hour offsets."""
    hours = np.arange(n) if hours is None else np.asarray(hours)
    times = np.datetime64(start, "ns") + hours * np.timedelta64(1, "h")
    return pd.DataFrame({"time": times, "a": np.arange(len(hours), dtype=float), "b": hours * 2.0})


# Each case: (method, id, make) where make() returns (args, fresh): the
# arguments to pass, and whether they are rebuilt for every call, because the
# method changes the table in place or takes views of it (pandas remembers
# the views of a table in a list that it cleans only now and then).
def cases():
    t40, t40b = table(), table()
    p40, p_late = parsed(), parsed(start="2025-01-01")
    return [
        ("validate_input_params", "ok", lambda: ((FC, ["a"], None, None, "M"), False)),
        ("validate_input_params", "bad_type", lambda: (("nope", ["a"], None, None, "M"), False)),
        ("validate_input_params", "bad_size", lambda: ((FC, ["a"], None, None, "XXL"), False)),
        ("validate_input_params", "anomaly_holdout", lambda: ((AP, None, ["a"], t40, "M"), False)),
        ("get_cols_idx", "ok_warn", lambda: ((t40, ["a", 2, 1.0, "zz"], FEATURE, AP, []), False)),
        ("get_cols_idx", "none_found", lambda: ((t40, ["zz", 99], TARGET, FC, []), False)),
        ("get_cols_idx", "timestamp", lambda: ((t40, ["time"], TIMESTAMP, FC), False)),
        ("check_time_col_specified_twice", "ok", lambda: ((0, "time", [1, 2], TARGET), False)),
        ("check_time_col_specified_twice", "twice", lambda: ((1, "time", [1, 2], TARGET), False)),
        ("validate_input_data_col_num", "ok", lambda: ((FC, "S", [1], [1, 2]), False)),
        ("validate_input_data_col_num", "too_many", lambda: ((FC, "S", list(range(30)), None), False)),
        ("check_user_holdout_metadata", "ok", lambda: ((t40, t40b), False)),
        ("check_user_holdout_metadata", "count", lambda: ((t40, t40[["a"]]), False)),
        ("check_user_holdout_metadata", "labels", lambda: ((t40, t40.rename(columns={"a": "z"})), False)),
        ("check_user_holdout_newer", "ok", lambda: ((parsed(12), parsed(12, "2025-01-01"), "time"), True)),
        ("check_user_holdout_newer", "older", lambda: ((parsed(12, "2025-01-01"), parsed(12), "time"), True)),
        ("check_user_holdout_newer", "pandas_keyerror", lambda: ((p40, p_late, "zz"), False)),
        ("str2float", "convert", lambda: ((table(12, text=True), [1, 2], TARGET), True)),
        ("str2float", "refused", lambda: ((table(12).assign(a=["x"] * 12), [1], TARGET), True)),
        ("str2float", "str_raises", lambda: ((table(3).assign(a=[BadStr()] * 3), [1], TARGET), True)),
        ("str2float", "bad_position", lambda: ((t40, [9], TARGET), False)),
        ("check_missing", "ok", lambda: ((t40, [1, 2]), False)),
        ("check_missing", "nan", lambda: ((t40.assign(b=np.nan), [2]), False)),
        ("check_missing", "nullable", lambda: ((t40.assign(b=pd.array([None] * 40, dtype="Float64")), [2]), False)),
        ("check_missing", "value", lambda: ((t40, [1], 3.0), False)),
        ("validate_input_data", "ratio", lambda: ((t40, FC, 0.2, []), False)),
        ("validate_input_data", "too_large", lambda: ((t40, FC, 0.9, []), False)),
        ("validate_input_data", "anomaly_warn", lambda: ((t40, AP, 0.9, []), False)),
        ("validate_input_data", "holdout_df", lambda: ((t40, FC, 0.2, [], t40b), False)),
        ("validate_input_data", "holdout_mismatch", lambda: ((t40, FC, 0.2, [], t40[["a"]]), False)),
        ("validate_data_len", "ok_warn", lambda: ((t40, FC, "M", []), False)),
        ("validate_data_len", "too_short", lambda: ((t40.head(3), FC, "M", []), False)),
        ("validate_data_len", "cut", lambda: ((pd.DataFrame({"a": np.arange(10_050.0)}), FC, "S", []), True)),
        ("validate_user_holdout_len", "ok", lambda: ((t40, table(5), FC, 5, []), True)),
        ("validate_user_holdout_len", "cut", lambda: ((t40, table(40), FC, 30, []), True)),
        ("parse_time_col", "ok", lambda: ((table(12), "time", C.DataType.TRAINING), True)),
        (
            "parse_time_col",
            "unreadable",
            lambda: ((table(3).assign(time=["x", "y", "z"]), "time", C.DataType.TRAINING), True),
        ),
        ("validate_time_interval", "ok", lambda: ((parsed(12), "time", [], C.DataType.TRAINING), True)),
        (
            "validate_time_interval",
            "uneven",
            lambda: ((parsed(hours=[0, 1, 5, 6, 30]), "time", [], C.DataType.TRAINING), True),
        ),
        (
            "process_data_by_time_col",
            "ok",
            lambda: ((table(40), table(10, start="2025-01-01"), "time", FC, 10, []), True),
        ),
        (
            "process_data_by_time_col",
            "repeated",
            lambda: ((table(4).assign(time="2024-01-01"), None, "time", FC, 0.2, []), True),
        ),
        (
            "process_data",
            "forecast",
            lambda: ((table(40, text=True), FC, ["a"], ["b"], "time", None, 0.2, None, "M", []), True),
        ),
        (
            "process_data",
            "anomaly",
            lambda: ((table(40), AP, None, ["a", "b"], "time", None, 0.2, None, "M", []), True),
        ),
        ("process_data", "bad_target", lambda: ((table(40), FC, ["zz"], None, "time", None, 0.2, None, "M", []), True)),
        (
            "process_data",
            "with_holdout",
            lambda: ((table(40), FC, "a", -1, "time", None, 5, table(10, start="2025-01-01"), "M", []), True),
        ),
    ]


CASES = cases()
RAISING_CASES = [
    c
    for c in CASES
    if c[1]
    not in ("ok", "ok_warn", "convert", "ratio", "timestamp", "holdout_df", "forecast", "anomaly", "with_holdout")
]


def runner(helper, method, make):
    """A zero-argument function that makes one call, swallowing its Exception,
    and the objects whose reference counts must not move."""
    args, fresh = make()
    fn = getattr(helper, method)
    # None, bools and small ints are shared by the whole interpreter.
    watched = [a for a in args if a is not None and not isinstance(a, bool) and not (type(a) is int and -5 <= a <= 256)]
    watched += [fn.__func__ if hasattr(fn, "__func__") else fn, type(helper).__dict__[method]]

    def one_call():
        call_args = make()[0] if fresh else args
        for a in call_args:
            if type(a) is list:
                a.clear()  # warn_msg: appended texts are not leaks
        try:
            fn(*call_args)
        except Exception:
            pass

    return one_call, watched


@pytest.fixture(autouse=True, scope="module")
def quick_collections():
    """Moves what exists already out of the collector's sight, so that the
    many gc.collect() calls below only walk what the calls create."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def measure(one_call, watched, calls):
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(calls):
        one_call()
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]  # (zip would hold a reference itself)
    return [a - r for a, r in zip(after, refs)], sys.getallocatedblocks() - blocks


def assert_no_leak(one_call, watched, calls=CALLS):
    # Warnings that pandas emits would pile up in pytest's record.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        check_rounds(one_call, watched, calls)


def check_rounds(one_call, watched, calls):
    # pandas keeps bounded caches (weak references to views of a table,
    # cleared only now and then), so a round may grow a little; a real leak
    # grows on every call of every round. Up to four rounds: one clean
    # round passes.
    start = time.perf_counter()
    for _ in range(WARMUP):
        one_call()
    # Slow calls (those building tables) get fewer repetitions, at least
    # MIN_CALLS: enough for a per-call leak to stand out.
    per_call = (time.perf_counter() - start) / WARMUP
    calls = max(MIN_CALLS, min(calls, int(ROUND_SECONDS / max(per_call, 1e-9))))
    allowed = calls * BLOCK_TOLERANCE + BLOCK_SLACK
    # One reference more over a whole round is a cache entry, not a leak
    # (seen on CPython 3.10 with pandas 2.3 for a column label).
    for _ in range(4):
        ref_moves, blocks = measure(one_call, watched, calls)
        if all(abs(m) <= 1 for m in ref_moves) and blocks <= allowed:
            return
    assert all(abs(m) <= 1 for m in ref_moves), f"reference counts moved by {ref_moves} over {calls} calls"
    assert blocks <= allowed, f"{blocks} blocks more after {calls} calls"


@pytest.mark.parametrize("method, case, make", CASES, ids=[f"{m}-{c}" for m, c, _ in CASES])
def test_repeated_calls_leak_nothing(helper, method, case, make):
    one_call, watched = runner(helper, method, make)
    assert_no_leak(one_call, watched)


class RaisingMessages:
    """A catalogue that fails for every text asked of it."""

    @staticmethod
    def get_message(*args, message_id):
        raise Boom(message_id)


@pytest.mark.parametrize("method, case, make", RAISING_CASES, ids=[f"{m}-{c}" for m, c, _ in RAISING_CASES])
def test_catalogue_failure_leaks_nothing(dh, helper, monkeypatch, method, case, make):
    monkeypatch.setattr(dh, "Messages", RaisingMessages)
    one_call, watched = runner(helper, method, make)
    assert_no_leak(one_call, watched + [RaisingMessages], calls=CALLS // 2)


@pytest.mark.parametrize("method", sorted({m for m, _, _ in CASES}))
def test_refused_calls_leak_nothing(helper, method):
    """Argument errors (missing, too many, unknown keyword) and entry checks."""
    fn = getattr(helper, method)
    odd = (1, 2)

    def one_call():
        for call in (
            lambda: fn(),
            lambda: fn(*range(12)),
            lambda: fn(odd, zz=odd),
            lambda: fn(odd, odd, odd, odd, odd, odd, odd, odd, odd, odd)[:0],
        ):
            try:
                call()
            except Exception:
                pass

    assert_no_leak(one_call, [odd], calls=CALLS // 4)


def test_introspection_leaks_nothing(dh):
    import inspect

    fns = [getattr(dh.DataHelper, m) for m in sorted({m for m, _, _ in CASES})]

    def one_call():
        for fn in fns:
            fn.__defaults__, fn.__annotations__, fn.__signature__, fn.__doc__, repr(fn)
            inspect.signature(fn)
            fn.__get__(fns, list)

    assert_no_leak(one_call, fns, calls=CALLS // 4)
