"""Timestamp parsing, the check of the time steps and time-ordered processing."""

import datetime
import statistics
import sys
import types
import warnings

import dateutil.parser
import numpy as np
import pandas as pd
import pytest
from fuzz_strategies import DAY_FIRST_BY_SPACING, REAL_TIME_COLUMNS

from quarnex.utils import constants as C

DT = C.DataType
#: The dtype of a text column parsed by dateutil: pandas gives datetime
#: objects nanoseconds before pandas 3 and microseconds from it.
PARSED = pd.Series(["2020-01-01"], dtype=object).map(dateutil.parser.parse).dtype
FC = C.LEARNING_TYPE_TIMESERIES_FORECASTING


@pytest.fixture
def parser_calls(monkeypatch):
    """Puts a recording stand-in for dateutil.parser in sys.modules; the
    method must import it when it runs. Returns the list of calls."""

    class Calls(list):
        pass

    calls = Calls()
    fake = types.ModuleType("dateutil.parser")
    real_parse, real_isoparse = dateutil.parser.parse, dateutil.parser.isoparse

    def parse(timestr, **kwargs):
        calls.append(("parse", timestr, kwargs))
        return real_parse(timestr, **kwargs)

    def isoparse(*args, **kwargs):
        calls.append(("isoparse",) + args + (kwargs,))
        return real_isoparse(*args, **kwargs)

    fake.parse, fake.isoparse = parse, isoparse
    monkeypatch.setitem(sys.modules, "dateutil.parser", fake)
    calls.module = fake
    return calls


# ---- parse_time_col: missing timestamps ------------------------------------------


@pytest.mark.parametrize(
    "index",
    [
        None,
        [10, 3, 7, 1, 5],
        [5, 5, 7, 5, 7],  # labels repeat across kept and dropped rows
        [np.nan, 1.0, np.nan, 2.0, 3.0],
        pd.MultiIndex.from_tuples([(1, "a"), (1, "a"), (2, "b"), (1, "a"), (2, "b")], names=["k", "l"]),
    ],
)
def test_rows_without_timestamp_are_removed_by_position(helper, messages, index):
    df = pd.DataFrame({"t": [1.0, np.nan, 3.0, np.nan, 5.0], "v": pd.Series(["a", "b", None, "d", "e"], dtype=object)})
    df.index = df.index if index is None else index
    expected_index = df.index.delete([1, 3])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no deprecation of pandas' in-place keyword reaches the caller
        assert helper.parse_time_col(df, "t", DT.INPUT) is None
    assert df["t"].tolist() == [1.0, 3.0, 5.0] and df["t"].dtype == np.float64
    assert df["v"].tolist() == ["a", None, "e"]
    assert df.index.equals(expected_index) and df.index.names == expected_index.names
    assert messages.calls == []


def test_nothing_missing_leaves_the_index_object_alone(helper):
    df = pd.DataFrame({"t": [3, 1, 2]}, index=[7, 7, 8])
    index = df.index
    helper.parse_time_col(df, "t", DT.INPUT)
    assert df.index is index and df["t"].tolist() == [3, 1, 2]


# ---- parse_time_col: text -------------------------------------------------------


@pytest.mark.parametrize(
    "raw,expected",
    [
        ('"2020-01-02"', "2020-01-02"),
        ('"""2020-01-02 03:04""', "2020-01-02 03:04"),
        ('" 2020-01-02"', "2020-01-02"),  # the blank goes to the parser, which accepts it
    ],
)
@pytest.mark.parametrize("dtype", [object, "string"])
def test_quotes_are_stripped(helper, raw, expected, dtype):
    df = pd.DataFrame({"t": [raw]}, dtype=dtype)
    helper.parse_time_col(df, "t", DT.INPUT)
    assert df["t"].tolist() == [pd.Timestamp(expected)]


def test_general_parser_converts_without_fuzzy_matching(helper, messages, parser_calls, run_date):
    del parser_calls.module.isoparse  # importing it would now fail
    df = pd.DataFrame({"t": ["Jan 2 2020", "2020-01-01T10:00:00.5"]}, index=[4, 2])
    helper.parse_time_col(df, "t", DT.INPUT)
    default = {"default": datetime.datetime(run_date.year, 1, 1)}
    assert parser_calls == [
        ("parse", "Jan 2 2020", {"fuzzy": False, **default}),
        ("parse", "2020-01-01T10:00:00.5", {"fuzzy": False, **default}),
    ]
    assert df["t"].tolist() == [datetime.datetime(2020, 1, 2), datetime.datetime(2020, 1, 1, 10, 0, 0, 500000)]
    assert df.index.tolist() == [4, 2] and messages.calls == []


def test_iso_parser_takes_over_when_the_general_one_refuses(helper, parser_calls):
    df = pd.DataFrame({"t": ['"2020-W01"', "2020-W02-3"]})
    helper.parse_time_col(df, "t", DT.INPUT)
    assert df["t"].tolist() == [pd.Timestamp("2019-12-30"), pd.Timestamp("2020-01-08")]
    assert ("isoparse", "2020-W01", {}) in parser_calls


def test_values_each_read_by_one_parser_only_are_refused(helper, messages, parser_calls, run_date):
    # texts that no one parser reads whole cannot be a time axis: refused with the first the
    # general parser does not read, the table left as it was
    df = pd.DataFrame({"t": ["2020-W01", "Jan 1 2020", "13/01/2020", "02/01/2020"]})
    messages.raises(lambda: helper.parse_time_col(df, "t", DT.INPUT), "QUARNEX0076E", ("t", "2020-W01"))
    assert df["t"].tolist() == ["2020-W01", "Jan 1 2020", "13/01/2020", "02/01/2020"]
    # the diagnosis parses without fuzzy, with the same default and day order as the whole column
    default = datetime.datetime(run_date.year, 1, 1)
    assert ("parse", "Jan 1 2020", {"default": default}) in parser_calls
    assert ("parse", "02/01/2020", {"default": default, "dayfirst": True}) in parser_calls


# ---- parse_time_col: what a text does not say -------------------------------------


def _read_day_first(values, stamps):
    """The arguments of the day-first note: the first value whose two readings differ."""
    i = next(i for i, v in enumerate(values) if v[:2] != v[3:5])
    return ("t", values[i], stamps[i].strftime("%Y-%m-%d"))


@pytest.mark.parametrize("name", sorted(REAL_TIME_COLUMNS))
def test_real_looking_columns_mean_the_same_whatever_the_run_date(helper, messages, run_date, name):
    values, stamps = REAL_TIME_COLUMNS[name]
    df = pd.DataFrame(
        {"t": pd.Series(values, dtype=object if isinstance(values, list) else None), "v": range(len(values))}
    )
    if name in DAY_FIRST_BY_SPACING:
        # called on its own, the parse has no warning list: the note is a Python warning
        with pytest.warns(UserWarning, match="QUARNEX0017W"):
            helper.parse_time_col(df, "t", DT.INPUT)
        assert messages.calls == [("QUARNEX0017W", _read_day_first(values, stamps))]
    else:
        helper.parse_time_col(df, "t", DT.INPUT)
        assert messages.calls == []
    expected = stamps.tz_localize("UTC") if stamps.tz is None and not isinstance(values, list) else stamps
    assert df["t"].tolist() == expected.tolist() and df["t"].dtype == expected.dtype


@pytest.mark.parametrize("name", sorted(DAY_FIRST_BY_SPACING))
def test_day_first_by_spacing_is_noted_in_the_warning_list(helper, messages, name):
    values, stamps = REAL_TIME_COLUMNS[name]
    warn_msg = []
    out, _, _ = helper.process_data_by_time_col(pd.DataFrame({"t": values}), None, "t", FC, 0.2, warn_msg)
    assert out["t"].tolist() == stamps.tz_localize(None).tolist()
    assert warn_msg == [messages.text("QUARNEX0017W", *_read_day_first(values, stamps))]


@pytest.mark.parametrize(
    "values",
    [
        # uneven either way, or even either way: the parser's own month-first reading
        ["01/02/2024", "03/04/2024", "05/06/2024", "07/08/2024"],
        ["01/01/2024", "02/02/2024", "03/03/2024"],
        # too few to tell
        ["01.02.2024", "01.03.2024"],
    ],
)
def test_ambiguous_columns_otherwise_stay_month_first(helper, messages, values):
    df = pd.DataFrame({"t": values})
    helper.parse_time_col(df, "t", DT.INPUT)
    month_first = [datetime.datetime.strptime(v.replace(".", "/"), "%m/%d/%Y") for v in values]
    assert df["t"].tolist() == [pd.Timestamp(t) for t in month_first]
    assert messages.calls == []


@pytest.mark.parametrize(
    "values,code,args",
    [
        (
            ["2010-11-07 00:30 EDT", "2010-11-07 01:00 EDT", "2010-11-07 01:00 EST"],
            "QUARNEX0080E",
            ("t", "2010-11-07 00:30 EDT", "EDT"),
        ),
        (["2024-06-01 10:00 UTC", "2024-06-01 12:00 CEST"], "QUARNEX0080E", ("t", "2024-06-01 12:00 CEST", "CEST")),
        (
            ["2024-01-05", "2024-01-06 00:00+00:00", "2024-01-07"],
            "QUARNEX0079E",
            ("t", "2024-01-06 00:00+00:00", "2024-01-05"),
        ),
        (
            ["2024-01-05T00:00Z", "2024-01-06T00:00Z", "2024-01-07T00:00"],
            "QUARNEX0079E",
            ("t", "2024-01-05T00:00Z", "2024-01-07T00:00"),
        ),
    ],
)
def test_times_of_unknown_or_mixed_zones_are_refused(helper, messages, values, code, args):
    df = pd.DataFrame({"t": values, "v": range(len(values))})
    before = df.copy()
    messages.raises(lambda: helper.parse_time_col(df, "t", DT.INPUT), code, args)
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize(
    "text,expected",
    [
        ("1959", "1959-01-01"),
        ("1949-02", "1949-02-01"),
        ("Feb 1949", "1949-02-01"),
        ("2024-02", "2024-02-01"),
        ("1949-01-31", "1949-01-31"),
    ],
)
def test_missing_fields_come_from_the_first_of_january(helper, run_date, text, expected):
    df = pd.DataFrame({"t": [text]})
    helper.parse_time_col(df, "t", DT.INPUT)
    assert df["t"].tolist() == [pd.Timestamp(expected)]


@pytest.mark.parametrize("text,month,day,hour", [("10:30", 1, 1, 10), ("Mar 3", 3, 3, 0), ("Monday", 1, None, 0)])
def test_texts_without_a_year_keep_the_year_of_the_run(helper, run_date, text, month, day, hour):
    df = pd.DataFrame({"t": [text]})
    helper.parse_time_col(df, "t", DT.INPUT)
    (got,) = df["t"].tolist()
    assert (got.year, got.month, got.hour) == (run_date.year, month, hour)
    if day is None:  # the first Monday of the year
        assert got.day_of_week == 0 and got.day <= 7
    else:
        assert got.day == day


# ---- parse_time_col: one day/month order per column --------------------------------


@pytest.mark.parametrize(
    "values,expected",
    [
        # a day above 12 anywhere makes the whole column day-first, ambiguous values included
        (["13/01/2012", "02/01/2012", "14/01/2012"], ["2012-01-13", "2012-01-02", "2012-01-14"]),
        (
            ['"02.01.2012 23:30"', " 13.01.2012T01:00:00.5 ", "05-01-2012 1:00 pm", "06/01/12 10:00 a.m."],
            ["2012-01-02 23:30", "2012-01-13 01:00:00.5", "2012-01-05 13:00", "2012-01-06 10:00"],
        ),
        # other shapes keep the parser's own reading, whatever the order of the column;
        # two-digit years follow it
        (
            ["13/01/2012", "2012-01-02", "02/01/12", "2 Jan 2012", "02/01/2012 x"],
            ["2012-01-13", "2012-01-02", "2012-01-02", "2012-01-02", None],
        ),
        # no value that must be day-first: month-first, as the parser reads it
        (["01/02/2012", "12/11/2012"], ["2012-01-02", "2012-12-11"]),
        (["01/13/2012", "02/01/2012"], ["2012-01-13", "2012-02-01"]),
        (["13/13/2012", "02/01/2012"], None),
    ],
)
@pytest.mark.parametrize("dtype", [object, "string"])
def test_day_first_columns_are_read_day_first_throughout(helper, messages, values, expected, dtype):
    df = pd.DataFrame({"t": values}, dtype=dtype)
    if expected is None or None in expected:
        culprit = values[0] if expected is None else values[-1]
        messages.raises(lambda: helper.parse_time_col(df, "t", DT.INPUT), "QUARNEX0076E", ("t", culprit))
        assert df["t"].tolist() == values
        return
    helper.parse_time_col(df, "t", DT.INPUT)
    assert df["t"].tolist() == [pd.Timestamp(e) for e in expected]


@pytest.mark.parametrize(
    "values,day_first,month_first",
    [
        (["13/01/2012", "02/01/2012", "01/13/2012", "25/01/2012", "01/30/2012"], "13/01/2012", "01/13/2012"),
        (['"01-31-2012 10:00"', None, '"31-01-2012"'], '"31-01-2012"', '"01-31-2012 10:00"'),
        (["2012-01-02", "12.31.2012", "31.12.2012", "x" * 10_000_000], "31.12.2012", "12.31.2012"),
    ],
)
@pytest.mark.parametrize("dtype", [object, "string"])
def test_mixed_day_and_month_orders_are_refused(helper, messages, values, day_first, month_first, dtype):
    df = pd.DataFrame({"t": values, "v": range(len(values))}, dtype=dtype)
    kept = df["t"].dropna().tolist()
    messages.raises(lambda: helper.parse_time_col(df, "t", DT.TRAINING), "QUARNEX0078E", ("t", day_first, month_first))
    assert df["t"].tolist() == kept


def test_the_order_refusal_has_a_catalogue_text(dh):
    from quarnex.utils.messages.messages import Messages

    text = Messages.get_message("when", "13/01/2012", "01/13/2012", message_id="QUARNEX0078E")
    assert text.startswith("QUARNEX0078E: ") and "when" in text
    assert "13/01/2012" in text and "01/13/2012" in text and "day-first" in text and "month-first" in text


@pytest.mark.parametrize(
    "bad",
    [
        '"x"',
        "99999999999999999999",  # the general parser overflows
        "9" * 5000,  # longer than int() takes
        "2020-13-45",
        "x" * 100_000,
    ],
)
def test_unreadable_text_names_the_first_culprit_as_stored(helper, messages, bad):
    df = pd.DataFrame({"t": ["2020-01-01", None, bad, "also bad"], "v": [1, 2, 3, 4]})
    messages.raises(lambda: helper.parse_time_col(df, "t", DT.INPUT), "QUARNEX0076E", ("t", bad))
    assert df["t"].tolist() == ["2020-01-01", bad, "also bad"]  # unconverted, the missing row stays removed
    assert df.index.tolist() == [0, 2, 3]


def test_only_exception_family_errors_are_caught(helper, parser_calls):
    def parse(timestr, **kwargs):
        raise KeyboardInterrupt

    parser_calls.module.parse = parse
    df = pd.DataFrame({"t": ["2020-01-01"]})
    with pytest.raises(KeyboardInterrupt):
        helper.parse_time_col(df, "t", DT.INPUT)
    assert df["t"].tolist() == ["2020-01-01"]


def test_a_parser_that_cannot_be_imported_is_reported_as_such(helper, messages, monkeypatch):
    monkeypatch.setitem(sys.modules, "dateutil.parser", None)
    df = pd.DataFrame({"t": ["2020-01-01"]})
    with pytest.raises(ImportError):
        helper.parse_time_col(df, "t", DT.INPUT)
    assert messages.calls == [] and df["t"].tolist() == ["2020-01-01"]


# ---- parse_time_col: other kinds of column ----------------------------------------


@pytest.mark.parametrize(
    "values",
    [
        [3, 1, 2],
        [True, False, True],
        pd.array([1, None, 3], dtype="Int64"),
        [1.5, 2.5, 0.5],
    ],
)
def test_numeric_columns_stay_as_they_are(helper, values):
    df = pd.DataFrame({"t": values})
    expected = df["t"].dropna()
    helper.parse_time_col(df, "t", DT.INPUT)
    pd.testing.assert_series_equal(df["t"], expected)


def test_naive_datetimes_are_declared_utc(helper):
    df = pd.DataFrame({"t": pd.to_datetime(["2020-01-01 10:00", None, "2020-01-02 00:00"])})
    unit, _ = np.datetime_data(df["t"].dtype)  # ns before pandas 3, us from it
    helper.parse_time_col(df, "t", DT.INPUT)
    assert str(df["t"].dtype) == f"datetime64[{unit}, UTC]"
    assert df["t"].tolist() == [pd.Timestamp("2020-01-01 10:00", tz="UTC"), pd.Timestamp("2020-01-02", tz="UTC")]


@pytest.mark.parametrize(
    "zone",
    [
        "Europe/Berlin",
        "America/New_York",
        "Asia/Kathmandu",
        "UTC",
        datetime.timezone(datetime.timedelta(hours=-3)),
        "dateutil/Europe/Paris",
    ],
)
def test_aware_datetimes_are_converted_to_utc(helper, messages, zone):
    stamps = pd.date_range("2020-03-28", periods=72, freq="h", tz=zone)
    df = pd.DataFrame({"t": stamps})
    df.loc[5, "t"] = pd.NaT
    unit = df["t"].dtype.unit  # ns before pandas 3, us from it
    helper.parse_time_col(df, "t", DT.INPUT)
    assert str(df["t"].dtype) == f"datetime64[{unit}, UTC]"
    assert df["t"].tolist() == stamps.delete(5).tz_convert("UTC").tolist() and messages.calls == []


@pytest.mark.parametrize(
    "values",
    [
        [datetime.date(2020, 1, 2), None, datetime.date(2020, 1, 1)],
        [datetime.datetime(2020, 1, 2, 5), None, datetime.datetime(2020, 1, 1)],
    ],
)
def test_date_and_datetime_objects_are_converted_not_localised(helper, values):
    df = pd.DataFrame({"t": values}, dtype=object)
    expected = pd.to_datetime(df["t"].dropna()).dtype  # pandas' own choice of unit
    helper.parse_time_col(df, "t", DT.INPUT)
    assert df["t"].dtype == expected
    assert df["t"].tolist() == [pd.Timestamp(values[0]), pd.Timestamp(values[2])]


@pytest.mark.parametrize(
    "values,detail",
    [
        (pd.to_timedelta([1, None, 2], unit="s"), "{dtype}(timedelta64)"),  # unit: pandas' choice
        (pd.period_range("2020", periods=2, freq="D"), "period[D](period)"),
        (pd.Categorical([1, 2]), "category(categorical)"),
        ([b"2020-01-01", b"2020-01-02"], "object(bytes)"),
        (["2020-01-01", 5], "object(mixed-integer)"),
        ([[1], [2]], "object(mixed)"),
        (pd.arrays.IntervalArray.from_breaks([0, 1, 2]), "interval[int64, right](interval)"),
    ],
)
@pytest.mark.parametrize("data_type", [DT.INPUT, DT.HOLDOUT])
def test_unsupported_column_kinds(helper, messages, values, detail, data_type):
    df = pd.DataFrame({"t": values})
    before = df["t"].dropna().tolist()
    text = f": {detail.format(dtype=df['t'].dtype)} in the {data_type.value} data"
    messages.raises(lambda: helper.parse_time_col(df, "t", data_type), "QUARNEX0077E", (text,))
    assert df["t"].tolist() == before


# ---- validate_time_interval -------------------------------------------------------


def hours(*steps):
    start = pd.Timestamp("2021-03-01")
    return [start + pd.Timedelta(hours=h) for h in np.cumsum((0,) + steps)]


@pytest.mark.parametrize(
    "values,warned",
    [
        (hours(1, 1, 1, 3), True),  # 66.7
        ([10, 20, 30, 45], True),  # 24.7
        ([10, 20, 30, 42], False),  # 10.8
        ([0, 4, 9, 15], False),  # steps 4, 5, 6: exactly 20.0
        ([0, 3999, 8999, 15000], True),  # 20.02
        (hours(4, 5, 6), False),
        (
            [
                datetime.datetime(2020, 1, 1),
                datetime.datetime(2020, 1, 1, 0, 0, 1),
                datetime.datetime(2020, 1, 1, 0, 0, 3),
            ],
            True,
        ),
        ([datetime.date(2020, 1, 1), datetime.date(2020, 1, 2), datetime.date(2020, 1, 3)], False),
        ([0.0, 0.5, 1.0, 1.5], False),
        ([45, 30, 20, 10], False),  # descending: negative mean, never warned
        ([30, 20, 10, 0], False),
    ],
)
@pytest.mark.parametrize("data_type", [DT.INPUT, DT.HOLDOUT])
def test_time_step_spread(helper, messages, values, warned, data_type):
    df = pd.DataFrame({"t": values})
    before = df.copy()
    warn_msg = ["earlier"]
    assert helper.validate_time_interval(df, "t", warn_msg, data_type) is None
    phrase = f" in the {data_type.value} data"
    if warned:
        assert messages.calls == [("QUARNEX0004W", (phrase,))]
        assert warn_msg == ["earlier", messages.text("QUARNEX0004W", phrase)]
    else:
        assert messages.calls == [] and warn_msg == ["earlier"]
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("values", [[5, 5, 5], [0, 1, 0], hours(0, 0)])
@pytest.mark.parametrize("data_type", [DT.INPUT, DT.HOLDOUT])
def test_zero_mean_step(helper, messages, values, data_type):
    warn_msg = []
    messages.raises(
        lambda: helper.validate_time_interval(pd.DataFrame({"t": values}), "t", warn_msg, data_type),
        "QUARNEX0071E",
        ("t", f" in the {data_type.value} data"),
    )
    assert warn_msg == []


@pytest.mark.parametrize("values", [[], [1], [5, 5], [1, 2]])
def test_too_few_rows_is_the_statistics_error(helper, messages, values):
    # two rows fail at the standard deviation, before the zero test
    with pytest.raises(statistics.StatisticsError):
        helper.validate_time_interval(pd.DataFrame({"t": values}, dtype=float), "t", [], DT.INPUT)
    assert messages.calls == []


def test_none_warn_msg_fails_only_when_a_warning_is_due(helper, messages):
    assert helper.validate_time_interval(pd.DataFrame({"t": [1, 2, 3]}), "t", None, DT.INPUT) is None
    with pytest.raises(AttributeError, match="append"):
        helper.validate_time_interval(pd.DataFrame({"t": [1, 2, 9]}), "t", None, DT.INPUT)
    assert messages.calls == []


# ---- process_data_by_time_col -----------------------------------------------------


class Recorder:
    """Wraps a DataHelper subclass so every call made through self is logged
    (with copies of the tables as they were at the call)."""

    def __init__(self, dh, holdout_len=None):
        log = self.log = []

        def logged(name, replacement=None):
            def method(self, *args, **kwargs):
                assert not kwargs, f"{name} called with keywords"
                log.append((name, [a.copy() if isinstance(a, pd.DataFrame) else a for a in args]))
                impl = replacement or getattr(dh.DataHelper, name)
                return impl(self, *args)

            return method

        names = ["parse_time_col", "validate_time_interval", "check_user_holdout_newer"]
        body = {n: logged(n) for n in names}
        body["validate_user_holdout_len"] = logged("validate_user_holdout_len", holdout_len or self.keep)
        self.helper = type("Logged", (dh.DataHelper,), body)()

    @staticmethod
    def keep(self, train_df, holdout_df, learning_type, holdout_size, warn_msg):
        return holdout_df, holdout_size

    @property
    def names(self):
        return [name for name, _ in self.log]


def test_no_timestamp_and_no_holdout_is_a_pass_through(dh, messages):
    rec = Recorder(dh)
    df = pd.DataFrame({"t": ["b", "a", "a"]})
    result = rec.helper.process_data_by_time_col(df, None, None, FC, 0.2, [])
    assert type(result) is tuple and len(result) == 3
    assert result[0] is df and result[1] is None and result[2] == 0.2
    assert rec.log == [] and messages.calls == []


def test_no_timestamp_with_holdout_checks_length_and_joins_in_given_order(dh, messages):
    def cut(self, train_df, holdout_df, learning_type, holdout_size, warn_msg):
        return holdout_df.head(1), 1

    rec = Recorder(dh, cut)
    df = pd.DataFrame({"t": ["b", "a"], "v": [1, 2]}, index=[8, 9])
    holdout = pd.DataFrame({"t": ["d", "c"], "v": [3, 4]}, index=[8, 9])
    warn_msg = []
    joined, holdout_out, size = rec.helper.process_data_by_time_col(df, holdout, None, FC, 2, warn_msg)
    assert rec.names == ["validate_user_holdout_len"]
    assert rec.log[0][1][2:] == [FC, 2, warn_msg]
    assert joined["v"].tolist() == [1, 2, 3] and joined.index.tolist() == [0, 1, 2]
    assert holdout_out["v"].tolist() == [3] and size == 1


@pytest.mark.parametrize(
    "values",
    [
        ["2020-01-01", "2020-01-02", "2020-01-01"],
        [None, "2020-01-01", None, np.nan, "2020-01-01"],  # a present repeat among missing ones
        [np.nan, 1.0, np.nan, 1.0],
        [1.0, 2.0, 1.0],
    ],
)
def test_repeated_timestamps_are_refused_before_parsing(dh, messages, values):
    rec = Recorder(dh)
    df = pd.DataFrame({"t": values})
    before = df.copy()
    messages.raises(lambda: rec.helper.process_data_by_time_col(df, None, "t", FC, 0.2, []), "QUARNEX0075E", ())
    assert rec.log == []
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize(
    "values,dtype",
    [
        ([None, "2020-01-01", None, "2020-01-02", np.nan, pd.NaT, pd.NA, "2020-01-03"], object),
        ([None, "2020-01-01", None, "2020-01-02", None, "2020-01-03"], "string"),
        ([np.nan, 1.0, np.nan, 2.0, 3.0], float),
        ([None, 1, None, 2, 3], "Int64"),
        ([pd.NaT, pd.Timestamp("2020-01-01"), pd.NaT, pd.Timestamp("2020-01-02"), pd.Timestamp("2020-01-03")], None),
    ],
)
def test_missing_timestamps_are_not_repeats(dh, messages, values, dtype):
    df = pd.DataFrame({"t": pd.Series(values, dtype=dtype), "v": range(len(values))})
    out, _, _ = dh.DataHelper().process_data_by_time_col(df, None, "t", FC, 0.2, [])
    assert len(out) == 3 and out["t"].notna().all() and messages.calls == []


def test_prepared_tables_can_be_prepared_again(dh, messages):
    hours = pd.date_range("2024-03-30 20:00", periods=150, freq="h", tz="Europe/Berlin")
    df = pd.DataFrame({"time": hours.strftime("%d/%m/%Y %H:%M")[::-1], "load": [f'"{i}.5"' for i in range(150)]})
    runs = []
    for _ in range(4):
        df = dh.DataHelper.process_data(df, FC, ["load"], None, "time", None, 0.2, None, C.TSHIRT_SIZE_MEDIUM, [])[0]
        runs.append(df.copy())
    assert runs[0]["time"].dtype == PARSED
    # the second run declares the naive times UTC; from then on nothing changes
    assert runs[1]["time"].tolist() == runs[0]["time"].dt.tz_localize("UTC").tolist()
    for later in runs[2:]:
        pd.testing.assert_frame_equal(later, runs[1])
    zoned = runs[1].assign(time=runs[1]["time"].dt.tz_convert("Asia/Kolkata"))
    again = dh.DataHelper.process_data(zoned, FC, ["load"], None, "time", None, 0.2, None, C.TSHIRT_SIZE_MEDIUM, [])
    pd.testing.assert_frame_equal(again[0], runs[1])


@pytest.mark.parametrize("holdout_t", [[5, 4, 4, 6], [3, 4, 5]])
def test_repeats_in_the_holdout_table_or_across_both_are_refused(dh, messages, holdout_t):
    rec = Recorder(dh)
    df = pd.DataFrame({"t": [1, 2, 3]})
    holdout = pd.DataFrame({"t": holdout_t})
    messages.raises(lambda: rec.helper.process_data_by_time_col(df, holdout, "t", FC, 3, []), "QUARNEX0075E", ())
    assert "validate_user_holdout_len" not in rec.names


def test_without_holdout_sorts_keeping_labels_and_parses_the_callers_table(dh, messages):
    rec = Recorder(dh)
    df = pd.DataFrame({"t": ["2020-01-03", "2020-01-01", None, "2020-01-02"], "v": [0, 1, 2, 3]})
    warn_msg = []
    out, holdout, size = rec.helper.process_data_by_time_col(df, None, "t", FC, 0.2, warn_msg)
    assert rec.names == ["parse_time_col", "validate_time_interval"]
    assert rec.log[0][1][1:] == ["t", DT.INPUT]
    assert rec.log[1][1][1:] == ["t", warn_msg, DT.INPUT]
    assert rec.log[1][1][0].index.tolist() == [1, 3, 0]  # checked after sorting
    assert out.index.tolist() == [1, 3, 0] and out["v"].tolist() == [1, 3, 0]
    assert holdout is None and size == 0.2
    # the caller's table is parsed in place but keeps its order
    assert df.index.tolist() == [0, 1, 3]
    assert df["t"].tolist() == [pd.Timestamp("2020-01-03"), pd.Timestamp("2020-01-01"), pd.Timestamp("2020-01-02")]
    assert out is not df and messages.calls == []


@pytest.mark.parametrize(
    "stamps",
    [
        ["2020-01-01", "2020-01-01 00:00", "2020-01-01 00:00:00"],
        ["2020-01-02T00:00Z", "2020-01-01T23:00:00-01:00", "2020-01-03T00:00Z"],
        ["2020-01-01T00:00:00+01:00", "2020-01-03T00:00:00+01:00", "2019-12-31T23:00:00Z"],
    ],
)
def test_one_instant_in_two_spellings_is_a_repeat(dh, messages, stamps):
    rec = Recorder(dh)
    df = pd.DataFrame({"t": stamps})
    messages.raises(lambda: rec.helper.process_data_by_time_col(df, None, "t", FC, 0.2, []), "QUARNEX0075E", ())
    assert "validate_time_interval" not in rec.names


def test_with_holdout_every_step_in_order(dh, messages):
    def cut(self, train_df, holdout_df, learning_type, holdout_size, warn_msg):
        return holdout_df.head(2), 2

    rec = Recorder(dh, cut)
    df = pd.DataFrame({"t": [30, 10, 20, 0], "v": list("dbca")}, index=[5, 5, 6, 7])
    holdout = pd.DataFrame({"t": [60, 40, 50], "v": list("gef")}, index=[1, 2, 3])
    warn_msg = ["kept"]
    out, holdout_out, size = rec.helper.process_data_by_time_col(df, holdout, "t", FC, 3, warn_msg)
    assert rec.names == [
        "parse_time_col",
        "parse_time_col",
        "validate_time_interval",
        "check_user_holdout_newer",
        "validate_time_interval",
        "validate_user_holdout_len",
    ]
    args = [a for _, a in rec.log]
    assert args[0][1:] == ["t", DT.TRAINING] and args[1][1:] == ["t", DT.HOLDOUT]
    assert args[2][1:] == ["t", warn_msg, DT.INPUT] and args[4][1:] == ["t", warn_msg, DT.HOLDOUT]
    assert args[3][0]["t"].tolist() == [0, 10, 20, 30] and args[3][1]["t"].tolist() == [40, 50, 60]
    assert args[5][0]["t"].tolist() == [0, 10, 20, 30] and args[5][1]["t"].tolist() == [40, 50, 60]
    assert args[5][2:] == [FC, 3, warn_msg]
    assert out["v"].tolist() == list("abcdef") and out.index.tolist() == list(range(6))
    assert holdout_out["t"].tolist() == [40, 50] and size == 2
    assert df["t"].tolist() == [30, 10, 20, 0] and holdout["t"].tolist() == [60, 40, 50]
    assert warn_msg == ["kept"]


def test_holdout_len_patched_on_the_instance_is_used(helper, messages):
    seen = []
    helper.validate_user_holdout_len = lambda *args: (seen.append(args), (args[1].head(0), 0))[1]
    df = pd.DataFrame({"t": pd.to_datetime(["2020-01-02", "2020-01-01", "2020-01-03"])})
    holdout = pd.DataFrame({"t": pd.to_datetime(["2020-01-04", "2020-01-05", "2020-01-06"])})
    out, holdout_out, size = helper.process_data_by_time_col(df, holdout, "t", FC, 3, [])
    assert len(seen) == 1 and size == 0 and len(holdout_out) == 0
    assert out["t"].tolist() == [pd.Timestamp(f"2020-01-0{d}", tz="UTC") for d in (1, 2, 3)]
    assert out.index.tolist() == [0, 1, 2]


@pytest.mark.parametrize("holdout_t,passes", [([25, 35, 45], False), ([31, 40, 50], True)])
def test_holdout_recency(dh, messages, holdout_t, passes):
    rec = Recorder(dh)
    df = pd.DataFrame({"t": [10, 20, 0, 30]})
    holdout = pd.DataFrame({"t": holdout_t[::-1]})
    call = lambda: rec.helper.process_data_by_time_col(df, holdout, "t", FC, 3, [])
    if passes:
        call()
        assert rec.names[-1] == "validate_user_holdout_len"
    else:
        messages.raises(call, "QUARNEX0087E", ())
        assert rec.names[-1] == "check_user_holdout_newer"


def test_warnings_and_parsing_stay_done_after_a_later_error(dh, messages):
    rec = Recorder(dh)
    df = pd.DataFrame({"t": ["2020-01-05", None, "2020-01-01", "2020-01-02"]})
    holdout = pd.DataFrame({"t": ["2020-01-06", "2020-01-06 00:00", "2020-01-06"]})
    warn_msg = []
    messages.raises(lambda: rec.helper.process_data_by_time_col(df, holdout, "t", FC, 3, warn_msg), "QUARNEX0075E", ())
    assert warn_msg == [messages.text("QUARNEX0004W", " in the input data")]
    assert df.index.tolist() == [0, 2, 3] and df["t"].dtype == PARSED
    assert holdout["t"].dtype == PARSED
    assert "validate_user_holdout_len" not in rec.names


def test_a_bad_holdout_value_after_the_training_table_was_parsed(dh, messages):
    rec = Recorder(dh)
    df = pd.DataFrame({"t": ["2020-01-01", None, "2020-01-02"]})
    holdout = pd.DataFrame({"t": ["2020-01-06", "x"]})
    messages.raises(
        lambda: rec.helper.process_data_by_time_col(df, holdout, "t", FC, 2, []), "QUARNEX0076E", ("t", "x")
    )
    assert len(df) == 2 and df["t"].dtype == PARSED and holdout["t"].tolist() == ["2020-01-06", "x"]


@pytest.mark.parametrize(
    "result,error,text",
    [
        ((1,), ValueError, "not enough values to unpack (expected 2, got 1)"),
        ([1, 2, 3], ValueError, "too many values to unpack (expected 2)"),
        (None, TypeError, "cannot unpack non-iterable NoneType object"),
    ],
)
def test_holdout_len_result_must_have_two_items(dh, messages, result, error, text):
    rec = Recorder(dh, lambda *args: result)
    df = pd.DataFrame({"t": [1, 2, 3]})
    holdout = pd.DataFrame({"t": [4, 5, 6]})
    with pytest.raises(error) as info:
        rec.helper.process_data_by_time_col(df, holdout, "t", FC, 3, [])
    assert str(info.value) == text


@pytest.mark.parametrize("values", [[], ["2020-01-01"], ["2020-01-01", "2020-01-02"], [None, "2020-01-01"]])
def test_short_tables_end_in_the_statistics_error(helper, messages, values):
    df = pd.DataFrame({"t": values}, dtype=object)
    with pytest.raises(statistics.StatisticsError):
        helper.process_data_by_time_col(df, None, "t", FC, 0.2, [])
    assert df["t"].notna().all()


def test_holdout_is_cut_to_its_earliest_rows_after_sorting(helper, messages):
    df = pd.DataFrame({"t": [f"2020-01-0{d}" for d in (6, 5, 4, 3, 2, 1)], "v": range(6)})
    holdout = pd.DataFrame({"t": [f"2020-01-{d}" for d in (12, 8, 10, 7, 11, 9)], "v": range(6, 12)})
    warn_msg = []
    out, holdout_out, size = helper.process_data_by_time_col(df, holdout, "t", FC, 6, warn_msg)
    # the share is a third of 12 rows: 4 holdout rows, the earliest ones
    assert size == 4 and holdout_out["t"].dt.day.tolist() == [7, 8, 9, 10]
    assert out["t"].dt.day.tolist() == [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]
    assert out["v"].tolist() == [5, 4, 3, 2, 1, 0, 9, 7, 11, 8] and out.index.tolist() == list(range(10))
    assert messages.calls == [("QUARNEX0006W", ("one third",))]
    assert len(holdout) == 6


def test_unknown_timestamp_column_is_the_libraries_key_error(helper):
    with pytest.raises(KeyError):
        helper.process_data_by_time_col(pd.DataFrame({"t": [1]}), None, "x", FC, 0.2, [])
    with pytest.raises(KeyError):
        helper.parse_time_col(pd.DataFrame({"t": [1]}), None, DT.INPUT)


def test_datetimes_of_several_offsets_become_utc_so_a_prepared_table_prepares_again(dh, messages):
    stamps = ["2024-03-31T00:00:00+01:00", "2024-03-31T03:00:00+02:00", "2024-03-31T03:00:00+01:00"]
    df = pd.DataFrame({"t": stamps + ["2024-03-31T05:00:00+02:00"], "y": [1.0, 2.0, 3.0, 4.0]})
    first = dh.DataHelper().process_data_by_time_col(df, None, "t", FC, 0.2, [])[0]
    again = dh.DataHelper().process_data_by_time_col(first.copy(), None, "t", FC, 0.2, [])[0]
    expected = pd.to_datetime(first["t"], utc=True)
    assert again["t"].tolist() == expected.tolist() and str(again["t"].dt.tz) == "UTC"
