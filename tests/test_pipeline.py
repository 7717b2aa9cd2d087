"""DataHelper.process_data: the order of the steps, the values passed between
them, and whole runs on real tables."""

import math
import re

import numpy as np
import pandas as pd
import pytest

FC = "forecasting"
AP = "timeseries_anomaly_prediction"


# ---------------------------------------------------------------------------
# Orchestration, with every step replaced by a recording stand-in
# ---------------------------------------------------------------------------

PREPARED = pd.DataFrame({"prepared": [1.0]})
PREPARED_HOLDOUT = pd.DataFrame({"prepared holdout": [1.0]})
KEPT = pd.DataFrame({"kept": [1.0]})


@pytest.fixture
def steps(dh, monkeypatch):
    """Installs a DataHelper subclass whose steps record their calls.

    ``steps.log`` lists (name, args, kwargs) per call; ``steps.returns`` gives
    what a step returns (get_cols_idx by role); ``steps.raises`` makes a step
    raise the given exception.
    """

    class Steps:
        log = []
        instances = []
        returns = {
            "validate_input_data": 7,
            "target": [0, 1],
            "feature": [1, 2],
            "timestamp": 3,
            "anomaly label": 4,
            "process_data_by_time_col": (PREPARED, PREPARED_HOLDOUT, 5),
            "validate_data_len": KEPT,
        }
        raises = {}

    def step(name):
        def method(self, *args, **kwargs):
            Steps.log.append((name, args, kwargs))
            if name in Steps.raises:
                raise Steps.raises[name]
            if name == "get_cols_idx":
                return Steps.returns[args[2]]
            return Steps.returns.get(name)

        return method

    names = [
        "validate_input_params",
        "validate_input_data",
        "get_cols_idx",
        "validate_input_data_col_num",
        "check_time_col_specified_twice",
        "str2float",
        "check_missing",
        "process_data_by_time_col",
        "validate_data_len",
    ]

    class Recording(dh.DataHelper):
        def __init__(self):
            Steps.instances.append(self)

    for name in names:
        setattr(Recording, name, step(name))
    monkeypatch.setattr(dh, "DataHelper", Recording)
    Steps.cls = Recording
    return Steps


@pytest.fixture
def table():
    return pd.DataFrame({"a": ["1"], "b": [2.0], "c": ["3"], "time": ["2024-01-01"], "label": ["0"]})


def run(
    dh,
    df,
    learning_type=FC,
    target=...,
    feature=None,
    timestamp="time",
    label=None,
    holdout=0.2,
    holdout_df=None,
    size="M",
    warn_msg=None,
):
    target = ["a", "b"] if target is ... else target
    warn_msg = [] if warn_msg is None else warn_msg
    # DataHelper is looked up afresh: tests may have patched it.
    return dh.DataHelper.process_data(
        df, learning_type, target, feature, timestamp, label, holdout, holdout_df, size, warn_msg
    )


def names(log):
    return [name for name, _, _ in log]


def test_forecasting_call_order_and_arguments(dh, steps, table):
    warn_msg = []
    result = run(dh, table, target=["a", "b"], feature="c", warn_msg=warn_msg)
    helper = steps.instances[0]
    assert len(steps.instances) == 1 and isinstance(helper, steps.cls)
    assert steps.log == [
        ("validate_input_params", (FC, ["a", "b"], "c", None, "M"), {}),
        ("validate_input_data", (table, FC, 0.2, warn_msg, None), {}),
        ("get_cols_idx", (table, ["a", "b"], "target", FC), {}),
        ("get_cols_idx", (table, ["c"], "feature", FC), {"warn_msg": warn_msg}),
        ("validate_input_data_col_num", (FC, "M", [0, 1], [1, 2]), {}),
        ("get_cols_idx", (table, ["time"], "timestamp", FC), {}),
        ("check_time_col_specified_twice", (3, "time", [0, 1], "target"), {}),
        ("check_time_col_specified_twice", (3, "time", [1, 2], "feature"), {}),
        ("str2float", (table, [0, 1], "target"), {}),
        ("str2float", (table, [2], "feature"), {}),
        ("process_data_by_time_col", (table, None, "time", FC, 7, warn_msg), {}),
        ("validate_data_len", (PREPARED, FC, "M", warn_msg), {}),
    ]
    # The caller's own objects are passed on, not copies.
    assert steps.log[1][1][0] is table and steps.log[1][1][3] is warn_msg
    assert steps.log[3][2]["warn_msg"] is warn_msg
    assert result == (KEPT, PREPARED_HOLDOUT, 5, [0, 1], [1, 2], 3, None)
    assert type(result) is tuple and result[0] is KEPT


def test_anomaly_prediction_call_order(dh, steps, table):
    steps.returns["target"] = [1]
    result = run(dh, table, learning_type=AP, target=1, feature=[1, 2], label="label")
    assert names(steps.log) == [
        "validate_input_params",
        "validate_input_data",
        "get_cols_idx",
        "get_cols_idx",
        "validate_input_data_col_num",
        "get_cols_idx",
        "check_time_col_specified_twice",
        "check_time_col_specified_twice",
        "get_cols_idx",
        "str2float",
        "check_missing",
        "str2float",
        "str2float",
        "process_data_by_time_col",
        "validate_data_len",
    ]
    log = steps.log
    assert log[8] == ("get_cols_idx", (table, ["label"], "anomaly label", AP), {})
    # Targets are converted with the feature role, then checked for missing values.
    assert log[9] == ("str2float", (table, [1], "feature"), {})
    assert log[10] == ("check_missing", (table, [1]), {})
    # A position that is both target and feature is converted once ...
    assert log[11] == ("str2float", (table, [2], "feature"), {})
    assert log[12] == ("str2float", (table, [4], "anomaly label"), {})
    # ... but stays in both returned lists.
    assert result[3:] == ([1], [1, 2], 3, 4)


def test_holdout_table_columns_are_converted_like_the_training_columns(dh, steps, table):
    holdout = table.copy()
    run(dh, table, feature=["c"], holdout_df=holdout)
    conversions = [(args[0] is holdout, args[1:]) for name, args, _ in steps.log if name == "str2float"]
    assert conversions == [
        (False, ([0, 1], "target")),
        (False, ([2], "feature")),
        (True, ([0, 1], "target")),
        (True, ([2], "feature")),
    ]
    assert names(steps.log)[-2:] == ["process_data_by_time_col", "validate_data_len"]


@pytest.mark.parametrize(
    "given, reaches",
    [
        (3, [3]),
        ("a", ["a"]),
        (2.5, [2.5]),
        (-1, []),
        (-1.0, []),
        (np.int64(-1), []),
        (None, [None]),
        ((0, 1), [(0, 1)]),  # never spread
        (float("nan"), "nan"),  # NaN is not equal to -1
        ([-1], [-1]),  # inside a list, -1 is an ordinary designation
    ],
)
@pytest.mark.parametrize("role", ["target", "feature"])
def test_designation_normalisation(dh, steps, table, given, reaches, role):
    kw = {"target": ["a"], "feature": None, role: given}
    if role == "target" and given is None:
        kw["learning_type"], kw["feature"] = AP, ["c"]
    run(dh, table, **kw)
    calls = [args for name, args, _ in steps.log if name == "get_cols_idx" and args[2] == role]
    got = calls[0][1]
    assert type(got) is list
    if reaches == "nan":
        assert len(got) == 1 and math.isnan(got[0])
    else:
        assert got == reaches
    # validate_input_params saw the caller's value, before normalisation.
    assert steps.log[0][1][1 if role == "target" else 2] is given


def test_lists_are_passed_on_as_they_are(dh, steps, table):
    class Cols(list):
        pass

    targets, features = ["a"], Cols(["c"])
    run(dh, table, target=targets, feature=features)
    cols_args = [args[1] for name, args, _ in steps.log if name == "get_cols_idx"]
    assert cols_args[0] is targets and cols_args[1] is features


def test_value_equal_to_the_unset_marker_is_unset(dh, steps, table):
    class MinusOne:
        def __eq__(self, other):
            return other == -1

        def __ne__(self, other):
            return other != -1

        __hash__ = None

    run(dh, table, target=["a"], feature=MinusOne(), timestamp=MinusOne())
    assert [args[1] for name, args, _ in steps.log if name == "get_cols_idx"] == [["a"], []]


@pytest.mark.parametrize("timestamp", [None, -1, -1.0])
def test_no_timestamp_column(dh, steps, table, timestamp):
    result = run(dh, table, timestamp=timestamp)
    assert "check_time_col_specified_twice" not in names(steps.log)
    assert [args[2] for name, args, _ in steps.log if name == "get_cols_idx"] == ["target", "feature"]
    by_time = [args for name, args, _ in steps.log if name == "process_data_by_time_col"][0]
    assert by_time[2] is None
    assert result[5] == -1


def test_timestamp_label_is_read_from_the_resolved_position(dh, steps, table):
    steps.returns["timestamp"] = 1
    run(dh, table, timestamp=1.0)
    checks = [args for name, args, _ in steps.log if name == "check_time_col_specified_twice"]
    assert [c[:2] for c in checks] == [(1, "b"), (1, "b")]


def test_timestamp_resolving_to_unset_marker_skips_the_cross_checks(dh, steps, table):
    steps.returns["timestamp"] = -1
    run(dh, table)
    assert "check_time_col_specified_twice" not in names(steps.log)
    assert [args for name, args, _ in steps.log if name == "process_data_by_time_col"][0][2] is None


@pytest.mark.parametrize("label", [None, -1, "label", 2.0])
def test_forecasting_leaves_the_anomaly_label_alone(dh, steps, table, label):
    result = run(dh, table, label=label)
    assert [args[2] for name, args, _ in steps.log if name == "get_cols_idx"] == ["target", "feature", "timestamp"]
    assert [args[2] for name, args, _ in steps.log if name == "str2float"] == ["target", "feature"]
    assert result[6] is label


def test_anomaly_prediction_without_label(dh, steps, table):
    result = run(dh, table, learning_type=AP, feature=["c"], label=None)
    assert "anomaly label" not in [args[2] for name, args, _ in steps.log if name in ("get_cols_idx", "str2float")]
    assert result[6] is None


@pytest.mark.parametrize(
    "value",
    [(1, 2), [1, 2, 3, 4], iter([1]), 42, None],
    ids=["two", "four", "one-from-iterator", "int", "None"],
)
def test_unpacking_of_the_time_ordered_result(dh, steps, table, value):
    steps.returns["process_data_by_time_col"] = value
    expected = value if not hasattr(value, "__next__") else iter([1])
    try:
        a, b, c = expected
    except (ValueError, TypeError) as exc:
        want = exc
    with pytest.raises(type(want), match=re.escape(str(want)) + "$"):
        run(dh, table)
    assert "validate_data_len" not in names(steps.log)


def test_any_iterable_of_three_is_unpacked(dh, steps, table):
    steps.returns["process_data_by_time_col"] = (x for x in (PREPARED, None, 9))
    result = run(dh, table)
    assert steps.log[-1][1][0] is PREPARED
    assert result[1:3] == (None, 9)


def test_helper_is_looked_up_at_every_call(dh, steps, table, monkeypatch):
    run(dh, table)
    run(dh, table)
    assert len(steps.instances) == 2 and steps.instances[0] is not steps.instances[1]

    class Other(steps.cls):
        def validate_data_len(self, *args):
            return "other"

    monkeypatch.setattr(dh, "DataHelper", Other)
    assert steps.cls.process_data(table, FC, ["a"], None, None, None, 0.2, None, "M", [])[0] == "other"


def test_constants_are_looked_up_at_every_call(dh, steps, table, monkeypatch):
    monkeypatch.setattr(dh, "COLUMN_ROLE_TARGET", "goal")
    steps.returns["goal"] = [0]
    run(dh, table)
    assert steps.log[2][1][2] == "goal"
    assert ("str2float", (table, [0], "goal"), {}) in steps.log


@pytest.mark.parametrize(
    "failing",
    [
        "validate_input_params",
        "validate_input_data",
        "get_cols_idx",
        "str2float",
        "process_data_by_time_col",
        "validate_data_len",
    ],
)
def test_first_error_ends_the_call_unchanged(dh, steps, table, failing):
    error = KeyError("boom")
    steps.raises[failing] = error
    with pytest.raises(KeyError) as excinfo:
        run(dh, table)
    assert excinfo.value is error
    assert names(steps.log)[-1] == failing
    assert names(steps.log).count(failing) == 1


# ---------------------------------------------------------------------------
# Whole runs through the real steps
# ---------------------------------------------------------------------------


def refusal(call, *args):
    """The catalogue refusal raised by call(*args); anything else propagates."""
    try:
        call(*args)
    except Exception as exc:
        if type(exc) is not Exception:
            raise
        return exc
    pytest.fail("not refused")


def hourly(n, start="2024-01-01", **columns):
    times = pd.date_range(start, periods=n, freq="h")
    data = {"time": times.strftime("%Y-%m-%d %H:%M:%S")}
    data.update({k: v(np.arange(n)) if callable(v) else v for k, v in columns.items()})
    return pd.DataFrame(data)


def quoted(values):
    return [f'"{v}"' for v in values]


def test_typical_forecasting_call(dh, C):
    df = hourly(200, sales=lambda i: quoted(i * 1.5), visits=lambda i: i.astype(float))
    df = df.sample(frac=1.0, random_state=3)  # not in time order
    warn_msg = []
    result = run(dh, df, target=["sales", "visits"], warn_msg=warn_msg)
    table, holdout, rows, targets, features, ts_idx, label_idx = result
    assert (holdout, rows, targets, features, ts_idx, label_idx) == (None, 40, [1, 2], [], 0, None)
    assert warn_msg == []
    assert table["time"].is_monotonic_increasing and len(table) == 200
    assert pd.api.types.is_datetime64_any_dtype(table["time"])
    assert table["sales"].tolist() == sorted(table["sales"].tolist())
    assert table["sales"].iloc[-1] == 199 * 1.5
    # The caller's table was converted in place but not sorted.
    assert df["sales"].dtype == np.float64
    assert not df["time"].is_monotonic_increasing


@pytest.fixture
def small_rows(dh, C, monkeypatch):
    """Caps forecasting and anomaly prediction at `rows` rows for the medium size."""

    def cap(rows):
        limits = {lt: dict(entry) for lt, entry in C.INPUT_DATA_LIMITATION.items()}
        for entry in limits.values():
            entry[C.TSHIRT_SIZE_MEDIUM] = {C.ROW: {C.MAX: rows}, C.COLUMN: {C.MAX: 50}}
        monkeypatch.setattr(dh, "INPUT_DATA_LIMITATION", limits)

    return cap


def test_holdout_table_is_joined_after_the_training_rows(dh, C, messages):
    train = hourly(150, y=lambda i: quoted(i))
    holdout = hourly(60, start="2024-01-07 06:00", y=lambda i: quoted(150 + i)).iloc[::-1]
    warn_msg = []
    table, out_holdout, rows, *_ = run(dh, train, target="y", holdout_df=holdout, warn_msg=warn_msg)
    # 60 holdout rows are within a third of 210.
    assert rows == 60 and len(out_holdout) == 60 and warn_msg == []
    assert list(table.index) == list(range(210))
    assert table["y"].tolist() == [float(i) for i in range(210)]
    assert out_holdout["y"].tolist() == [float(150 + i) for i in range(60)]


def test_long_holdout_is_cut_to_its_earliest_rows(dh, C, messages):
    train = hourly(100, y=lambda i: i.astype(float))
    holdout = hourly(80, start="2024-01-05 04:00", y=lambda i: (100 + i).astype(float))
    warn_msg = []
    table, out_holdout, rows, *_ = run(dh, train, target=["y"], holdout_df=holdout, warn_msg=warn_msg)
    assert messages.ids == ["QUARNEX0006W"]
    assert rows == 60 and out_holdout["y"].tolist() == [float(100 + i) for i in range(60)]
    assert len(table) == 160 and table["y"].iloc[-1] == 159.0


def test_length_cut_keeps_the_holdout_rows_last(dh, C, messages, small_rows):
    small_rows(120)
    train = hourly(150, y=lambda i: i.astype(float))
    holdout = hourly(50, start="2024-01-07 06:00", y=lambda i: (150 + i).astype(float))
    warn_msg = []
    table, out_holdout, rows, *_ = run(dh, train, target=["y"], holdout_df=holdout, warn_msg=warn_msg)
    assert messages.ids == ["QUARNEX0005W"]
    assert len(table) == 120 and table["y"].tolist() == [float(i) for i in range(80, 200)]
    # The holdout size names the holdout rows, which are the last rows of the table.
    assert rows == 50 and table.tail(rows)["y"].tolist() == out_holdout["y"].tolist()


def test_anomaly_prediction_converts_and_checks_targets(dh, C, messages):
    df = hourly(100, level=lambda i: quoted(i % 7), load=lambda i: quoted(i * 2), flag=lambda i: quoted(i % 2))
    warn_msg = []
    result = run(
        dh,
        df,
        learning_type=AP,
        target=["load"],
        feature=["level", "load"],
        label="flag",
        holdout=0.1,
        warn_msg=warn_msg,
    )
    table, holdout, rows, targets, features, ts_idx, label_idx = result
    assert (holdout, rows, targets, features, ts_idx, label_idx) == (None, 10, [2], [1, 2], 0, 3)
    assert messages.calls == []
    assert all(df[c].dtype == np.float64 for c in ["level", "load", "flag"])

    df = hourly(100, level=lambda i: i.astype(float), load=lambda i: quoted(i))
    df.loc[5, "load"] = '""'
    exc = refusal(
        dh.DataHelper.process_data,
        df,
        C.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION,
        "load",
        "level",
        "time",
        None,
        0.1,
        None,
        C.TSHIRT_SIZE_MEDIUM,
        [],
    )
    assert str(exc) == messages.text("QUARNEX0091E", "load")
    assert df["load"].dtype == np.float64  # converted before the refusal


def test_warnings_keep_the_order_of_the_steps(dh, C, messages, small_rows):
    small_rows(100)
    times = pd.date_range("2024-01-01", periods=120, freq="h").to_series()
    times.iloc[60:] += pd.Timedelta(hours=30)  # one long gap
    df = pd.DataFrame(
        {"time": times.dt.strftime("%Y-%m-%d %H:%M").to_numpy(), "x": np.arange(120.0), "y": np.arange(120.0) % 5}
    )
    warn_msg = ["kept"]
    run(dh, df, learning_type=AP, target=["x"], feature=["y", "nope"], holdout=0.9, warn_msg=warn_msg)
    assert messages.ids == ["QUARNEX0013W", "QUARNEX0016W", "QUARNEX0004W", "QUARNEX0005W"]
    assert warn_msg == ["kept"] + [messages.text(i, *a) for i, a in messages.calls]


def test_state_after_an_error_part_way(dh, C, messages):
    df = hourly(150, y=lambda i: quoted(i), x=lambda i: quoted(i))
    df.loc[3, "x"] = "n/a"
    text = df["time"].dtype
    warn_msg = []
    refusal(
        dh.DataHelper.process_data,
        df,
        C.LEARNING_TYPE_TIMESERIES_FORECASTING,
        ["y"],
        ["x", "gone"],
        "time",
        None,
        0.2,
        None,
        C.TSHIRT_SIZE_MEDIUM,
        warn_msg,
    )
    assert messages.ids == ["QUARNEX0016W", "QUARNEX0073E"]
    assert warn_msg == [messages.text("QUARNEX0016W", "gone")]
    assert df["y"].dtype == np.float64  # the target conversion stays done
    assert df["x"].iloc[0] == '"0"' and df["x"].iloc[3] == "n/a"  # the refused column keeps its values
    assert df["time"].dtype == text  # the time step never ran


def test_timestamp_also_a_target_is_refused(dh, C, messages):
    df = hourly(150, y=lambda i: i.astype(float))
    refusal(
        dh.DataHelper.process_data,
        df,
        C.LEARNING_TYPE_TIMESERIES_FORECASTING,
        ["y", 0],
        None,
        0,
        None,
        0.2,
        None,
        C.TSHIRT_SIZE_MEDIUM,
        [],
    )
    assert messages.calls == [("QUARNEX0074E", ("time", "target"))]


def test_forecasting_label_marker_changes_no_column(dh, C):
    df = hourly(150, y=lambda i: i.astype(float), note=lambda i: quoted(i))
    note = df["note"].copy()
    result = run(dh, df, target=["y"], label=-1)
    assert result[6] == -1
    pd.testing.assert_series_equal(df["note"], note)


@pytest.mark.parametrize("holdout,rows", [(0.3, 3000), (0.05, 500), (2000, 2000), (12000, None), (10000, None)])
def test_the_holdout_fits_a_table_cut_to_its_latest_rows(dh, messages, holdout, rows):
    from quarnex.utils import constants as C

    limit = C.INPUT_DATA_LIMITATION[FC][C.ROW][C.HOLDOUT_MAX_RATIO]
    kept = C.INPUT_DATA_LIMITATION[FC][C.TSHIRT_SIZE_SMALL][C.ROW][C.MAX]
    times = pd.date_range("2020-01-01", periods=4 * kept, freq="h").strftime("%Y-%m-%d %H:%M")
    df = pd.DataFrame({"time": times, "y": np.arange(4.0 * kept)})
    call = lambda: run(dh, df, target="y", holdout=holdout, size=C.TSHIRT_SIZE_SMALL)
    if rows is None:
        messages.raises(call, "QUARNEX0101E", (holdout, int(kept * float(limit)), limit))
        return
    out = call()
    assert (len(out[0]), out[2]) == (kept, rows)  # the table cut to 10,000 rows
