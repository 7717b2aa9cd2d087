"""The fast routes against the straightforward route.

Every test runs the same public method twice on equal fresh inputs: once as
it is, once with QUARNEX_DATA_HELPER_NO_FASTPATH=1, and requires the same
outcome: result, values bit for bit, dtypes, index, the state left in the
caller's objects, warnings, and the exception type and text.
"""

import datetime
import statistics
import sys
import time
import warnings

import numpy as np
import pandas as pd
import pytest
from dateutil import tz
from dateutil.parser import _parser
from fuzz_strategies import DATE_TEXTS, REAL_TIME_COLUMNS, TEXT_DTYPES, text_series, timestamp_columns
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from quarnex.utils import constants as C

NOFAST = "QUARNEX_DATA_HELPER_NO_FASTPATH"
DT = C.DataType
FC = C.LEARNING_TYPE_TIMESERIES_FORECASTING

#: The time-step route repeats the arithmetic of the statistics module from
#: CPython 3.11 on; on 3.10's module it declines ("settings").
STEPS_ROUTE = hasattr(statistics, "_float_sqrt_of_frac")


def claimed(text_dtype):
    """True for the text columns the fast routes take: all but Arrow-backed
    string columns with NA as missing value, whose map gives Arrow types."""
    dtype = pd.Series([], dtype=text_dtype).dtype
    return (
        not isinstance(dtype, pd.StringDtype)
        or dtype.storage == "python"
        or getattr(dtype, "na_value", pd.NA) is not pd.NA
    )


SETTINGS = settings(
    max_examples=120,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


# ---- running both routes ---------------------------------------------------------


def outcome(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = call(), None
        except Exception as ex:  # noqa: BLE001 - the error is what is compared
            ctx = ex.__context__
            result, error = None, (type(ex), str(ex), type(ctx), str(ctx))
    return result, error, [(w.category, str(w.message)) for w in caught]


def both_routes(monkeypatch, make_inputs, call):
    """[(inputs, outcome)] for the fast route, then the straightforward one."""
    runs = []
    for switch in ("0", "1"):
        monkeypatch.setenv(NOFAST, switch)
        inputs = make_inputs()
        runs.append((inputs, outcome(lambda: call(*inputs))))
    monkeypatch.delenv(NOFAST)
    return runs


def same_value(a, b):
    if a is pd.NA or a is None or a is pd.NaT:
        assert b is a
    elif isinstance(a, float) and isinstance(b, float):
        assert np.float64(a).view(np.int64) == np.float64(b).view(np.int64)
    elif isinstance(a, datetime.datetime):
        # (an out-of-range offset makes comparisons and utcoffset() raise)
        assert type(a) is type(b) and repr(a) == repr(b)
        assert a.replace(tzinfo=None) == b.replace(tzinfo=None) and type(a.tzinfo) is type(b.tzinfo)
    else:
        assert type(a) is type(b)
        assert a == b or (a != a and b != b)


def same_frame(a, b):
    pd.testing.assert_frame_equal(
        a, b, check_exact=True, check_index_type=True, check_column_type=True, check_flags=True, check_freq=True
    )
    for i in range(a.shape[1]):
        x, y = a.iloc[:, i], b.iloc[:, i]
        assert x.dtype == y.dtype and str(x.dtype) == str(y.dtype)
        if getattr(x.dtype, "tz", None) is not None:
            assert type(x.dtype.tz) is type(y.dtype.tz)
        if x.dtype.kind == "f":
            assert x.to_numpy().tobytes() == y.to_numpy().tobytes()
        elif x.dtype == object:
            for u, v in zip(x.to_list(), y.to_list()):
                same_value(u, v)


def same_thing(a, b):
    if isinstance(a, pd.DataFrame):
        same_frame(a, b)
    elif isinstance(a, (list, tuple)):
        assert type(a) is type(b) and len(a) == len(b)
        for u, v in zip(a, b):
            same_thing(u, v)
    else:
        same_value(a, b)


def assert_same(runs):
    (fast_inputs, (fast_result, fast_error, fast_warns)), (slow_inputs, (slow_result, slow_error, slow_warns)) = runs
    assert fast_error == slow_error
    assert fast_warns == slow_warns
    same_thing(fast_inputs, slow_inputs)
    if fast_result is not None or slow_result is not None:
        same_thing(fast_result, slow_result)


# ---- numeric conversion --------------------------------------------------------------

BLANKS = [" ", "\t", "\n", "\x0b", "\x0c", "\r", "\x1c", "\xa0", "\u2003", ""]
NUMBER_TEXTS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True).map(repr),
    st.integers(-(10**30), 10**30).map(str),
    st.decimals(allow_nan=False, allow_infinity=False).map(str),
    # plain decimals of every length, and the hard cases of correct rounding
    st.from_regex(r"[0-9]{0,40}\.?[0-9]{0,40}([eE][+-]?[0-9]{1,3})?", fullmatch=True),
    st.sampled_from(
        [
            "9007199254740993",
            "2.2250738585072011e-308",
            "2.4703282292062328e-324",
            "1.7976931348623157e308",
            "1.7976931348623158e308",
            "0.1e-999",
            "1e-320",
            "7e22",
            "8.988465674311579e307",
            "0" * 70 + ".5",
            # around the exact short reading: 2^53, 19 digits, 22 and 23 decimals, signs
            "9007199254740992",
            "-900719925474099.2",
            "90071992547409.925",
            "1234567890123456789",
            "0." + "0" * 21 + "7",
            "-0." + "0" * 22 + "7",
            "-0.0",
            "+.5",
            "-7.",
            "+-1",
            "-",
            "- 1",
            "1" + "0" * 400,
            "." + "3" * 70,
        ]
    ),
    st.sampled_from(
        [
            "1_000.5",
            "1__0",
            "_1",
            "1_",
            "1e1_0",
            "0x10",
            "1,5",
            "abc",
            "",
            "nan",
            "-NaN",
            "iNf",
            "-Infinity",
            "+inf",
            "infinit",
            "1e400",
            "-1e-400",
            "4.9e-324",
            "1.7976931348623159e308",
            ".5",
            "5.",
            "+.5e-3",
            "١٢٣",
            "1.5\x00",
            "None",
            "True",
            "--1",
            "1e",
            "0.1" * 40,
        ]
    ),
)
QUOTED_TEXTS = st.builds(
    lambda left, blank1, body, blank2, right: left + blank1 + body + blank2 + right,
    st.sampled_from(["", '"', '""', "'", ' "']),
    st.sampled_from(BLANKS),
    NUMBER_TEXTS,
    st.sampled_from(BLANKS),
    st.sampled_from(["", '"', '"""', "'", '" ']),
)
NUMERIC_VALUES = st.one_of(
    QUOTED_TEXTS,
    QUOTED_TEXTS,
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(2**70), 2**70),
    st.sampled_from([10**400, -0.0, None, True, np.float64(2.5), np.nan, pd.NA, b"1"]),
)


def numeric_frame(values):
    index = pd.Index([f"r{i}" for i in range(len(values))])
    df = pd.DataFrame(
        {"a": pd.Series(values, dtype=object, index=index), "b": np.arange(len(values), dtype=float)}, index=index
    )
    df["c"] = pd.Series(list(values), dtype=object, index=df.index)
    return df


@SETTINGS
@given(
    first=st.lists(NUMERIC_VALUES, min_size=0, max_size=8),
    second=st.lists(st.one_of(QUOTED_TEXTS, QUOTED_TEXTS, st.none()), max_size=8),
    text_dtype=st.sampled_from(TEXT_DTYPES),
    cut=st.integers(0, 8),
)
def test_str2float_matches(helper, messages, monkeypatch, first, second, text_dtype, cut):
    second = (second + ["1"] * len(first))[: len(first)]

    def make():
        df = numeric_frame(first)
        df["c"] = text_series(second, text_dtype, cut, index=df.index)
        return (df, [0, 1, 2, 0], C.COLUMN_ROLE_TARGET)

    assert_same(both_routes(monkeypatch, make, helper.str2float))


@pytest.mark.parametrize(
    "values",
    [
        ['"1.5"', '"2"', "", " 3 ", '"1_000"', "1e5", '""'],
        [1.5, float("nan"), 2, -0.0, float("inf"), "7"],
        [2**53 + 1, 10**22, -(2**63), 123456789012345678901234567890],
        ["\u0661\u0662", "\u20031.5\u2003", '"nan"', "-inf"],
    ],
)
def test_str2float_common_columns_match(helper, messages, monkeypatch, values):
    runs = both_routes(monkeypatch, lambda: (numeric_frame(values), [0, 2], "target"), helper.str2float)
    assert_same(runs)
    assert runs[0][0][0]["a"].dtype == np.float64


@pytest.mark.parametrize("bad", ["abc", None, True, "1,5", " ", '" 1"x', 10**400, b"1", pd.NA])
def test_str2float_refusals_match(helper, messages, monkeypatch, bad):
    values = ['"1"', "2.5", bad, "4"]
    runs = both_routes(monkeypatch, lambda: (numeric_frame(values), [1, 0, 2], "feature"), helper.str2float)
    assert_same(runs)


def test_str2float_on_frame_subclass_and_repeated_labels(helper, messages, monkeypatch):
    class Frame(pd.DataFrame):
        @property
        def _constructor(self):
            return Frame

    def make():
        df = Frame({"a": ['"1"', "2"], "b": ["3", '"4"']})
        df2 = pd.DataFrame([['"1"', "2"], ["3", "4"]], columns=["x", "x"])
        return (df, df2)

    assert_same(
        both_routes(
            monkeypatch, make, lambda df, df2: (helper.str2float(df, [0, 1], "t"), helper.str2float(df2, [0], "t"))
        )
    )


# ---- timestamp parsing -----------------------------------------------------------------


def two(lo, hi):
    return st.integers(lo, hi).map(lambda v: f"{v:02d}")


ZONES = st.sampled_from(
    [
        "",
        "",
        "",
        "Z",
        "z",
        "+01:00",
        "-05:30",
        "+0100",
        "+01",
        "+00:00",
        "-00:00",
        "+0000",
        "+23:59",
        "+24:00",
        "+01:60",
        " +01:00",
        "UTC",
        " Z",
        "+1",
        "+01:0",
        "-12",
    ]
)
FRACTIONS = st.one_of(
    st.just(""), st.text("0123456789", min_size=0, max_size=12).map(lambda s: "." + s), st.sampled_from([",5", ".5.5"])
)
TIMES = st.one_of(
    st.just(""),
    st.builds(lambda sep, h, m: f"{sep}{h}:{m}", st.sampled_from(["T", " ", "t", "_", "  "]), two(0, 25), two(0, 61)),
    st.builds(
        lambda sep, h, m, s, frac, zone: f"{sep}{h}:{m}:{s}{frac}{zone}",
        st.sampled_from(["T", "T", " ", "t"]),
        two(0, 24),
        two(0, 60),
        two(0, 61),
        FRACTIONS,
        ZONES,
    ),
    st.builds(lambda h, zone: f"T{h}{zone}", two(0, 23), ZONES),
    st.builds(
        lambda h, m, s, zone: f" {h}:{m}{s}{zone}",
        st.sampled_from(["0", "9", "09", "13", "23", "24", "123"]),
        two(0, 60),
        st.sampled_from(["", ":00", ":59.5", ":60", ":5"]),
        ZONES,
    ),
)
YEARS = st.one_of(st.integers(1900, 2100), st.integers(0, 9999), st.integers(1670, 1680), st.integers(2255, 2265))
ISO_DATES = st.builds(
    lambda y, m, d, sep: f"{y:04d}{sep}{m}{sep}{d}",
    YEARS,
    two(0, 13),
    two(0, 32),
    st.sampled_from(["-", "-", "-", "/", ""]),
)
# a/b/YYYY in either order (the column's order decides), and dates without a day or a month
DAY_MONTH_DATES = st.builds(
    lambda a, b, y, sep: f"{a}{sep}{b}{sep}{y:04d}",
    st.one_of(two(0, 32), st.integers(1, 9)),
    two(0, 32),
    YEARS,
    st.sampled_from(["/", ".", "-", "/"]),
)
PARTIAL_DATES = st.one_of(YEARS.map(lambda y: f"{y:04d}"), st.builds(lambda y, m: f"{y:04d}-{m}", YEARS, two(0, 13)))
DATES = st.one_of(ISO_DATES, ISO_DATES, DAY_MONTH_DATES, PARTIAL_DATES, DATE_TEXTS, DATE_TEXTS)
STAMPS = st.builds(
    lambda q1, date, t, q2: q1 + date + t + q2,
    st.sampled_from(["", "", '"', '""', ' "']),
    DATES,
    TIMES,
    st.sampled_from(["", "", '"', '" ']),
)


def regular_stamps(n, start, step, shape):
    base = datetime.datetime.fromisoformat(start)
    stamps = []
    for i in range(n):
        try:
            stamps.append((base + i * datetime.timedelta(seconds=step)).strftime(shape))
        except OverflowError:
            stamps.append("9999-12-31 23:59:59.999999")
    return stamps


@pytest.fixture(params=[("UTC", "UTC"), ("CET", "CEST")], ids=["local-UTC", "local-CET"])
def local_zone_names(request, monkeypatch):
    """dateutil reads time.tzname when it meets a zone named UTC."""
    monkeypatch.setattr(time, "tzname", request.param)
    return request.param


@SETTINGS
@given(
    stamps=st.lists(STAMPS, min_size=1, max_size=6),
    regular=st.booleans(),
    text_dtype=st.sampled_from(TEXT_DTYPES),
    cut=st.integers(0, 6),
)
def test_parse_time_col_matches(helper, messages, monkeypatch, local_zone_names, stamps, regular, text_dtype, cut):
    if regular:  # columns that are entirely in one shape are the common case
        stamps = [stamps[0]] * 2 + regular_stamps(4, "2024-03-30 22:00", 5400.25, "%Y-%m-%dT%H:%M:%S.%f")

    def make():
        df = pd.DataFrame({"t": text_series(stamps, text_dtype, cut), "v": range(len(stamps))})
        return (df, "t", DT.TRAINING)

    assert_same(both_routes(monkeypatch, make, helper.parse_time_col))


#: Shapes of whole columns that real files carry (the ISO ones, then the others).
COLUMN_SHAPES = [
    "%Y-%m-%d",
    "%Y-%m-%d %H:%M",
    "%Y-%m-%dT%H:%M:%S",
    "%Y-%m-%d %H:%M:%S.%f",
    "%Y-%m-%dT%H:%M:%SZ",
    "%Y-%m-%dT%H:%M:%S+05:30",
    "%Y-%m-%dT%H:%M:%S.%f-0800",
    '"%Y-%m-%dT%H:%M:%S"',
    "%m/%d/%Y %H:%M",
    "%Y/%m/%d %H:%M",
    "%d.%m.%Y %H:%M",
    "%d-%m-%Y %H:%M:%S.%f+01:00",
    "%m/%d/%Y %H:%MZ",
    "%b-%d-%Y",
    "%d %b %Y %H:%M:%S",
    "%B %Y",
    "%Y",
    "%Y-%m",
    "%m/%d/%y",
]


@pytest.mark.parametrize("shape", COLUMN_SHAPES)
@pytest.mark.parametrize("start", ["2024-02-28", "1678-01-01", "2261-12-31 20:00", "1066-10-14", "9999-12-30"])
def test_parse_time_col_regular_shapes_match(helper, messages, monkeypatch, local_zone_names, shape, start):
    stamps = regular_stamps(5, start, 3600.5, shape)

    def make():
        df = pd.DataFrame({"t": stamps, "v": range(5)}, index=[9, 7, 5, 3, 1])
        return (df, "t", DT.INPUT)

    runs = both_routes(monkeypatch, make, helper.parse_time_col)
    assert_same(runs)


@SETTINGS
@given(
    shape=st.sampled_from(COLUMN_SHAPES),
    start=st.datetimes(datetime.datetime(1677, 9, 1), datetime.datetime(2262, 5, 1)),
    step=st.sampled_from([3600, 86400, 29 * 86400, 366 * 86400, 0.25]),
    summer_time=st.booleans(),
    odd=st.one_of(st.none(), STAMPS),
    at=st.integers(0, 5),
)
def test_one_shape_columns_match(
    helper, messages, monkeypatch, run_date, local_zone_names, shape, start, step, summer_time, odd, at
):
    """Columns of one shape (offsets changing with summer time, or one odd value among them)."""
    stamps = regular_stamps(6, start.isoformat(), step, shape)
    if summer_time:
        stamps = [
            s.replace("+01:00", "+02:00").replace("+05:30", "+06:30") if i % 2 else s for i, s in enumerate(stamps)
        ]
    if odd is not None:
        stamps[at] = odd

    def make():
        return (pd.DataFrame({"t": pd.Series(stamps, dtype=object), "v": range(6)}), "t", DT.TRAINING)

    assert_same(both_routes(monkeypatch, make, helper.parse_time_col))


@pytest.mark.parametrize("text_dtype", TEXT_DTYPES, ids=str)
def test_text_columns_of_every_kind_take_the_fast_routes(helper, messages, routes, fast_on, text_dtype):
    df = pd.DataFrame(
        {
            "a": pd.Series(['"1.5"', " 2", "1e3"], dtype=text_dtype),
            "t": pd.Series(["2024-01-01", "2024-01-02 10:00", "2024-01-03T00:00:00.5"], dtype=text_dtype),
        }
    )
    helper.str2float(df, [0], "target")
    helper.parse_time_col(df, "t", DT.INPUT)
    assert df["a"].tolist() == [1.5, 2.0, 1000.0] and df["a"].dtype == np.float64
    assert df["t"].tolist() == [
        pd.Timestamp("2024-01-01"),
        pd.Timestamp("2024-01-02 10:00"),
        pd.Timestamp("2024-01-03 00:00:00.5"),
    ]
    counts = routes()
    taken = {"hit": 1} if claimed(text_dtype) else {"kind": 1}
    for route in ("numeric_text", "fixed_first"):
        assert {k: n for k, n in counts[route].items() if n} == taken


def test_offsets_share_dateutils_zone_objects(helper, messages):
    df = pd.DataFrame({"t": ["2024-01-01T00:00:00+01:00", "2024-01-01T01:00:00+01:00"]})
    helper.parse_time_col(df, "t", DT.INPUT)
    assert df["t"].dtype.tz is tz.tzoffset(None, 3600)


@pytest.mark.parametrize("name", sorted(REAL_TIME_COLUMNS) + ["mixed orders"])
def test_real_looking_columns_match(helper, messages, monkeypatch, run_date, name):
    values, _ = REAL_TIME_COLUMNS.get(name, (["13/01/2012", "02/01/2012", "01/13/2012"], None))

    def make():
        column = pd.Series(values, dtype=object if isinstance(values, list) else None)
        return (pd.DataFrame({"t": column, "v": np.arange(len(values)) * 1.5}), None, "t", FC, 0.2, [])

    assert_same(both_routes(monkeypatch, make, helper.process_data_by_time_col))


def _shift_naive(monkeypatch):
    build = _parser.parser._build_naive
    monkeypatch.setattr(
        _parser.parser,
        "_build_naive",
        lambda self, res, default: build(self, res, default) + datetime.timedelta(hours=1),
    )


class _Info(_parser.parserinfo):
    UTCZONE = ["UTC"]


#: Settings of dateutil's parser that change what it makes of ISO texts.
PARSER_SETTINGS = {
    "dayfirst": lambda mp: mp.setattr(_parser.DEFAULTPARSER.info, "dayfirst", True),
    "yearfirst": lambda mp: mp.setattr(_parser.DEFAULTPARSER.info, "yearfirst", True),
    "replaced default parser": lambda mp: mp.setattr(
        _parser, "DEFAULTPARSER", _parser.parser(_parser.parserinfo(dayfirst=True))
    ),
    "parserinfo subclass": lambda mp: mp.setattr(_parser, "DEFAULTPARSER", _parser.parser(_Info())),
    "instance table": lambda mp: mp.delitem(_parser.DEFAULTPARSER.info._utczone, "z"),
    "class table and a fresh default parser": lambda mp: (
        mp.setattr(_parser.parserinfo, "JUMP", [" ", "t"]),
        mp.setattr(_parser, "DEFAULTPARSER", _parser.parser()),
    ),
    "replaced method": _shift_naive,
    "defaults of parse": lambda mp: mp.setattr(_parser.parse, "__defaults__", (_parser.parserinfo(dayfirst=True),)),
    "parser attribute": lambda mp: mp.setattr(_parser.DEFAULTPARSER, "parse", _parser.parser().parse, raising=False),
}


@pytest.mark.parametrize("setting", sorted(PARSER_SETTINGS))
@pytest.mark.parametrize(
    "stamps",
    [
        ["2024-01-02", "2024-01-03 10:00", "2024-01-04T10:00:00.25"],
        ["2024-01-02 00:00Z", "2024-01-03T10:00:00Z", "2024-01-04T10:00:00+01:00", "Jan 5 2024 10:00 UTC"],
    ],
)
def test_parser_settings_are_honoured(helper, messages, monkeypatch, setting, stamps):
    PARSER_SETTINGS[setting](monkeypatch)

    def make():
        return (pd.DataFrame({"t": stamps}), "t", DT.INPUT)

    runs = both_routes(monkeypatch, make, helper.parse_time_col)
    assert_same(runs)
    if setting in ("dayfirst", "replaced default parser", "defaults of parse"):
        assert runs[0][0][0]["t"].iloc[0].month == 2  # 2024-01-02 read as 1 February


#: Columns of each shape the fast routes read without dateutil.
FAST_SHAPES = {
    "ISO": ["2024-01-02", "2024-01-03T10:00:00", "2024-01-04 10:00:00.25"],
    "US": ["01/31/2024 13:00", "12/13/2024 23:59:59.5"],
    "year-first slashed": ["2024/01/31 13:00", "2024/1/5"],
    "day-first dotted": ["31.01.2024 13:00", "01.02.2024 13:00"],
    "Z": ["2024-01-31T13:00:00Z", "01/31/2024 14:00Z"],
    "one offset": ["2024-01-31T13:00:00+01:00", "2024-01-31 14:00:00.25+01:00"],
    "mixed offsets": ["2024-03-31T01:00:00+01:00", "2024-03-31T03:00:00+02:00", "2024-03-31 04:00-05"],
    "month names": ["Jan-1-1995", "1 Jan 2024", "January 2024", "29-Feb-2024 10:00", "Sept 3 2024"],
    "year only": ["1959", "1960"],
    "year-month": ["1949-01", "1949/02", "03/1949"],
    "two-digit years": ["01/31/24", "12/13/69", "99/01/02"],
}


def utc_host(monkeypatch, local_zone_names):
    """A host whose zone is UTC when its zone names say so."""
    if local_zone_names == ("UTC", "UTC"):
        monkeypatch.setattr(time, "timezone", 0)
        monkeypatch.setattr(time, "altzone", 0)


@pytest.mark.parametrize("shape", sorted(FAST_SHAPES))
def test_stock_parser_takes_the_fast_route(helper, messages, monkeypatch, run_date, local_zone_names, shape):
    """With dateutil as shipped, these texts never reach its parser's Python code."""
    utc_host(monkeypatch, local_zone_names)
    stamps = FAST_SHAPES[shape]
    for switch, calls_expected in (("0", False), ("1", True)):
        monkeypatch.setenv(NOFAST, switch)
        calls = []
        sys.setprofile(
            lambda frame, event, arg: (
                calls.append(frame.f_code.co_filename)
                if event == "call" and frame.f_code.co_filename == _parser.__file__
                else None
            )
        )
        try:
            for column in (stamps[:1] * 3, stamps):
                df = pd.DataFrame({"t": column})
                helper.parse_time_col(df, "t", DT.INPUT)
        finally:
            sys.setprofile(None)
        assert bool(calls) == calls_expected


def test_text_parsed_by_neither_parser_matches(helper, messages, monkeypatch):
    def make():
        return (pd.DataFrame({"t": ["2024-01-01", "2024-01-02T10:00:00Z", "not a date"]}), "t", DT.HOLDOUT)

    runs = both_routes(monkeypatch, make, helper.parse_time_col)
    assert_same(runs)
    assert messages.ids[-2:] == ["QUARNEX0076E", "QUARNEX0076E"]


# ---- repeated timestamps -------------------------------------------------------------------


class Parsed(Exception):
    """Raised in place of parsing: the repeated-timestamp check has passed."""


@SETTINGS
@given(column=timestamp_columns(), relabel=st.sampled_from(["", "", "twice", "absent"]))
def test_repeated_timestamp_check_matches(dh, messages, monkeypatch, column, relabel):
    class Helper(dh.DataHelper):
        def parse_time_col(self, *args):
            raise Parsed

    def make():
        df = pd.DataFrame({"t": column.copy(), "v": range(len(column))})
        if relabel == "twice":
            df.columns = ["t", "t"]
        return (df, None, "x" if relabel == "absent" else "t", FC, 0.2, [])

    runs = both_routes(monkeypatch, make, Helper().process_data_by_time_col)
    assert_same(runs)
    if not relabel:
        present = column[column.notna()]
        error = runs[0][1][1]
        assert (error[0] is Exception) == bool(present.duplicated().any()), error
        assert error[0] in (Exception, Parsed)


@SETTINGS
@given(
    column=timestamp_columns(),
    holdout=timestamp_columns(),
    ascending=st.booleans(),
    index=st.sampled_from(["range", "t", "labels"]),
)
def test_time_ordering_matches(dh, messages, monkeypatch, column, holdout, ascending, index):
    # Columns as parsing leaves them (parsing itself is compared above),
    # often already in order, with and without ties and missing values.
    class Helper(dh.DataHelper):
        def parse_time_col(self, *args):
            pass

    def in_order(values):
        try:
            return values.sort_values(ignore_index=True) if ascending else values
        except TypeError:  # values of kinds that do not compare
            return values

    column, holdout = in_order(column), in_order(holdout)

    def make():
        df = pd.DataFrame({"t": column.copy(), "v": np.arange(len(column)) * 1.5})
        if index == "t":
            df.index.name = "t"
        elif index == "labels":
            df.index = [f"r{i}" for i in range(len(column))]
        hold = pd.DataFrame({"t": holdout.copy(), "v": np.arange(len(holdout)) * 1.0}) if len(holdout) > 1 else None
        return (df, hold, "t", FC, 1, [])

    assert_same(both_routes(monkeypatch, make, Helper().process_data_by_time_col))


# ---- interval statistics ----------------------------------------------------------------

STEP_SETS = st.lists(st.sampled_from([1, 1, 1, 2, 3, 60, 3600, 0, -1, 86400 * 365]), min_size=0, max_size=9)


def column_from_steps(kind, start, steps, scale):
    points = np.cumsum([0] + [s * scale for s in steps])
    if kind == "int64":
        return pd.Series((start + points).astype(np.int64))
    if kind == "int32":
        return pd.Series((start % 1000 + points).astype(np.int32))
    if kind == "float64":
        return pd.Series(start / 7.0 + points.astype(float) / 3.0)
    if kind == "float32":
        return pd.Series((start / 7.0 + points).astype(np.float32))
    base = pd.Timestamp("2021-06-01") + pd.Timedelta(int(start), "ns")
    stamps = pd.Series(base + pd.to_timedelta(points, unit="ns"))
    if kind == "utc":
        return stamps.dt.tz_localize("UTC")
    if kind == "paris":
        return stamps.dt.tz_localize("Europe/Paris", ambiguous="NaT", nonexistent="NaT")
    if kind == "seconds":
        return stamps.astype("datetime64[s]")
    return stamps


@SETTINGS
@given(
    kind=st.sampled_from(["int64", "int32", "float64", "float32", "naive", "utc", "paris", "seconds"]),
    start=st.integers(0, 10**12),
    steps=STEP_SETS,
    scale=st.sampled_from([1, 7, 1000, 10**9, 3_600_000_000_123, 10**15]),
    jitter=st.lists(st.integers(-3, 3), max_size=9),
    nan_at=st.one_of(st.none(), st.integers(0, 9)),
)
def test_validate_time_interval_matches(helper, messages, monkeypatch, kind, start, steps, scale, jitter, nan_at):
    steps = [s + (jitter[i] if i < len(jitter) else 0) for i, s in enumerate(steps)]
    assume(sum(abs(s) for s in steps) * scale < 10**17)  # stays within the datetime64[ns] range

    def make():
        column = column_from_steps(kind, start, steps, scale)
        if nan_at is not None and nan_at < len(column):
            column = column.copy()
            column[nan_at] = np.nan if kind.startswith("float") else column[nan_at]
        return (pd.DataFrame({"t": column}), "t", [], DT.INPUT)

    assert_same(both_routes(monkeypatch, make, helper.validate_time_interval))


@pytest.mark.parametrize(
    "steps, warned",
    [
        ([80, 100, 120], False),  # relative deviation exactly 20.0
        ([80, 100, 121], True),
        ([10, 10, 15], True),
        ([10, 10, 12], False),
        ([1, 1, 1, 3], True),
        ([5, -5], None),
        ([0, 0, 0], None),  # mean 0: the catalogue error
        ([7], None),
        ([], None),  # too few steps: the statistics error
    ],
)
@pytest.mark.parametrize(
    "kind, scale",
    [
        ("int64", 1),
        ("float64", 1),
        ("naive", 10**9),
        ("utc", 3_600_000_000_000),
        ("naive", 1),
        ("seconds", 10**9),
        ("float32", 1),
    ],
)
def test_interval_edges_match(helper, messages, monkeypatch, steps, warned, kind, scale):
    runs = both_routes(
        monkeypatch,
        lambda: (pd.DataFrame({"t": column_from_steps(kind, 10**9, steps, scale)}), "t", [], DT.HOLDOUT),
        helper.validate_time_interval,
    )
    assert_same(runs)
    (_, _, warn_msg, _), (_, error, _) = runs[0]
    exact = kind in ("int64", "seconds") or (kind in ("naive", "utc") and scale >= 10**6)
    if warned is not None and exact:
        assert error is None and bool(warn_msg) == warned


def test_long_irregular_series_matches(helper, messages, monkeypatch):
    rng = np.random.default_rng(7)
    steps = rng.choice([3600, 3600, 3600, 7200, 1800], size=3000) * 10**9 + rng.integers(-999, 999, size=3000)
    floats = np.cumsum(rng.standard_normal(3000) + 5)

    def make():
        column = pd.Series(pd.Timestamp("2020-01-01") + pd.to_timedelta(np.cumsum(steps), unit="ns"))
        return (pd.DataFrame({"t": column, "f": floats}),)

    def call(df):
        warn_msg = []
        helper.validate_time_interval(df, "t", warn_msg, DT.INPUT)
        helper.validate_time_interval(df, "f", warn_msg, DT.INPUT)
        return warn_msg

    assert_same(both_routes(monkeypatch, make, call))


# ---- the whole pipeline -------------------------------------------------------------------


def forecasting_table(n, seed):
    rng = np.random.default_rng(seed)
    stamps = pd.date_range("2023-01-01", periods=n, freq="15min").strftime("%Y-%m-%d %H:%M:%S")
    order = rng.permutation(n)
    return pd.DataFrame(
        {
            "time": pd.Series(np.asarray(stamps, dtype=object)[order], dtype=object),
            "load": pd.Series([f'"{v:.3f}"' for v in rng.normal(100, 10, n)], dtype=object),
            "temp": pd.Series([f'"{v}"' for v in rng.integers(-10, 30, n)], dtype=object),
        }
    )


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("in_order", [False, True])
def test_process_data_matches(dh, messages, monkeypatch, seed, in_order):
    def make():
        df = forecasting_table(400, seed)
        return (
            df.sort_values("time") if in_order else df,
            FC,
            ["load", "temp"],
            None,
            "time",
            None,
            0.2,
            None,
            C.TSHIRT_SIZE_MEDIUM,
            [],
        )

    runs = both_routes(monkeypatch, make, dh.DataHelper.process_data)
    assert_same(runs)
    result = runs[0][1][0]
    assert result[0]["time"].dtype.kind == "M" and result[0]["load"].dtype == np.float64


# ---- each covered shape takes its fast route ---------------------------------------------
# The sameness tests above pass whether or not a fast route runs at all; these
# fail when a route stops taking the inputs it is there for.


@pytest.fixture
def fast_on(monkeypatch):
    monkeypatch.setenv(NOFAST, "0")


def declines(counts):
    return {reason: n for reason, n in counts.items() if reason != "hit" and n}


@pytest.mark.parametrize(
    "values, decimals",
    [
        # quoted, padded, empty, signed, underscores; the plain decimals read by from_chars
        (['"1.5"', " 2 ", "", '"-3e2"', "1_000", "-inf", "1e-320", "0.5E+3", ".5", "7."], 6),
        ([1.5, float("nan"), 2, 10**20, "4"], 1),  # floats and ints taken by value
        (["\u0661\u0662", "\u20031.5\u2003", "nan"], 0),  # non-ASCII digits and blanks
    ],
)
def test_number_columns_take_the_fast_route(helper, routes, fast_on, values, decimals):
    df = numeric_frame(values)
    helper.str2float(df, [0], C.COLUMN_ROLE_TARGET)
    counts = routes()
    assert counts["numeric_text"]["hit"] == 1 and not declines(counts["numeric_text"])
    assert counts["decimal_text"]["hit"] == decimals
    assert set(declines(counts["decimal_text"])) <= {"value"}


@pytest.mark.parametrize("shape", sorted(FAST_SHAPES))
def test_text_columns_take_the_column_route(helper, routes, fast_on, monkeypatch, local_zone_names, shape):
    utc_host(monkeypatch, local_zone_names)
    df = pd.DataFrame({"t": FAST_SHAPES[shape]})
    helper.parse_time_col(df, "t", DT.INPUT)
    counts = routes()
    # fixed-place texts only are read before anything else; the other shapes after the day/month scan
    assert counts["fixed_first"]["hit"] + counts["iso_column"]["hit"] == 1 and not declines(counts["iso_column"])
    assert counts["iso_converter"]["hit"] == counts["iso_text"]["hit"] == 0


MONTH_ABBREVIATIONS = ["", "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


@pytest.mark.parametrize("shape", ["day", "month", "year", "day month-name year"])
def test_every_date_the_column_route_converts_is_numpys_own(helper, routes, fast_on, shape):
    """Every day (month, year) of the years the column route converts itself, leap days and the
    range's ends included, read as numpy reads its ISO text."""
    days = np.arange("1678-01-01", "2262-01-01", dtype="datetime64[D]").astype(str).tolist()
    iso = {"day": days, "month": sorted({d[:7] for d in days}), "year": sorted({d[:4] for d in days})}
    iso["day month-name year"] = days
    texts = iso[shape]
    if shape == "day month-name year":
        texts = [f"{d[8:]} {MONTH_ABBREVIATIONS[int(d[5:7])]} {d[:4]}" for d in days]
    df = pd.DataFrame({"t": pd.Series(texts, dtype=object)})
    helper.parse_time_col(df, "t", DT.INPUT)
    assert routes()["fixed_first"]["hit"] == 1
    expected = np.array(iso[shape], dtype="datetime64[D]").astype("datetime64[ns]")
    assert (df["t"].to_numpy(dtype="datetime64[ns]") == expected).all()


@pytest.mark.parametrize(
    "stamps",
    [
        ["1066-10-14T10:00", "1066-10-14T11:00", "1066-10-14 12:00:00.5", "10/14/1066"],  # beyond datetime64[ns]
        ["2024-01-01", "2024-01-02", "2024-01-02 10:00", "10:00"],  # one text the readers leave to dateutil
    ],
)
def test_other_texts_are_built_by_the_converter(helper, routes, fast_on, stamps):
    df = pd.DataFrame({"t": stamps})
    helper.parse_time_col(df, "t", DT.INPUT)
    counts = routes()
    assert declines(counts["iso_column"]) == {"value": 1}
    assert counts["iso_converter"]["hit"] == 1
    assert counts["iso_text"]["hit"] == sum(s != "10:00" for s in stamps)


@pytest.mark.parametrize("kind", ["int64", "int32", "float64", "float32", "naive", "utc", "paris", "seconds"])
def test_time_steps_take_the_fast_route(helper, routes, fast_on, kind):
    df = pd.DataFrame({"t": column_from_steps(kind, 10**9, [1, 1, 2, 1], 10**9)})
    helper.validate_time_interval(df, "t", [], DT.INPUT)
    counts = routes()["interval_statistics"]
    if STEPS_ROUTE:
        assert counts["hit"] == 1 and not declines(counts)
    else:
        assert counts["hit"] == 0 and declines(counts) == {"settings": 1}


def time_column(kind, order):
    values = {"sorted": [3, 5, 8, 13], "falling": [13, 8, 5, 3], "mixed": [5, 13, 3, 8], "repeated": [5, 13, 3, 5]}
    steps = values[order]
    if kind == "text":
        return pd.Series([None] + [f"2024-01-{v:02d}" for v in steps], dtype=object)
    if kind == "int64":
        return pd.Series(steps, dtype="int64")
    if kind == "float64":
        return pd.Series([np.nan, *steps, np.nan], dtype="float64")
    stamps = pd.to_datetime([v * 86400 for v in steps], unit="s")
    return pd.Series(stamps).dt.tz_localize("Europe/Paris" if kind == "zoned" else None)


@pytest.mark.parametrize("kind", ["text", "int64", "float64", "naive", "zoned"])
@pytest.mark.parametrize("order", ["sorted", "falling", "mixed", "repeated"])
def test_time_columns_take_the_repeated_value_check(dh, messages, routes, fast_on, kind, order):
    class Helper(dh.DataHelper):
        def parse_time_col(self, *args):
            raise Parsed

    df = pd.DataFrame({"t": time_column(kind, order), "v": 1.0})
    with pytest.raises(Exception if order == "repeated" else Parsed):
        Helper().process_data_by_time_col(df, None, "t", FC, 0.2, [])
    counts = routes()["repeated_values"]
    assert counts["hit"] == 1 and not declines(counts)


@pytest.mark.parametrize("override", [None, "subclass", "instance"])
@pytest.mark.parametrize(
    "texts, ahead",
    [(["2024-01-01", "2024-01-02", "2024-01-02T12:00"], True), (["2024-01-02", "2024-01-01", "2024-01-03"], False)],
)
def test_sorted_iso_columns_are_parsed_before_the_repeated_text_check(
    dh, messages, routes, fast_on, override, texts, ahead
):
    """Only this module's own parse_time_col is run ahead; a caller's is called as before."""
    calls = []

    class Helper(dh.DataHelper):
        if override == "subclass":

            def parse_time_col(self, *args):
                calls.append(args[1])
                return super().parse_time_col(*args)

    helper = Helper()
    if override == "instance":
        helper.parse_time_col = lambda *args: calls.append(args[1]) or dh.DataHelper.parse_time_col(helper, *args)
    table = helper.process_data_by_time_col(pd.DataFrame({"t": texts, "v": 1.0}), None, "t", FC, 0.2, [])[0]
    assert table["t"].tolist() == sorted(pd.Timestamp(t) for t in texts)
    assert calls == ([] if override is None else ["t"])
    taken = ahead and override is None
    assert routes()["repeated_values"]["hit"] == (0 if taken else 1)


@pytest.mark.parametrize("kind", ["int64", "float64", "naive", "zoned"])
def test_tables_in_time_order_are_not_sorted_again(dh, messages, routes, fast_on, kind):
    class Helper(dh.DataHelper):
        def parse_time_col(self, *args):
            pass

    column = time_column(kind, "sorted").dropna()
    df = pd.DataFrame({"t": column, "v": 1.0})
    df["w"] = 2.0  # a second float block, and an object one
    df["s"] = "x"
    later = column + (100 if kind in ("int64", "float64") else pd.Timedelta(days=100))
    hold = pd.DataFrame({"t": later, "v": 2.0, "w": 3.0, "s": "y"})
    Helper().process_data_by_time_col(df, hold, "t", FC, 1, [])
    Helper().process_data_by_time_col(df.iloc[::-1], None, "t", FC, 0.2, [])
    before = df.copy()
    table = Helper().process_data_by_time_col(df, None, "t", FC, 0.2, [])[0]
    counts = routes()["sorted_table"]
    assert counts["hit"] == 3 and declines(counts) == {"value": 1}
    # The copy is the caller's own: writing into it leaves the table alone.
    pd.testing.assert_frame_equal(table, before)
    table.iloc[0] = table.iloc[-1]
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("held", [True, False])
def test_built_columns_are_set_without_another_copy(helper, routes, fast_on, held):
    def table():
        return pd.DataFrame({"x": pd.Series(['"1.5"', "2"], dtype=object), "t": ["2024-01-01", "2024-01-02"]})

    if held:
        df = table()
        helper.str2float(df, [0], C.COLUMN_ROLE_TARGET)
        helper.parse_time_col(df, "t", DT.INPUT)
        assert df["x"].tolist() == [1.5, 2.0] and df["t"].dt.day.tolist() == [1, 2]
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", FutureWarning)  # pandas' chained-assignment notice
            helper.str2float(table(), [0], C.COLUMN_ROLE_TARGET)
    counts = routes()["fresh_column"]
    if not pd.__version__.startswith("2."):
        assert counts["hit"] == 0 and declines(counts) == {"settings": 2 if held else 1}
    elif held:
        assert counts["hit"] == 2 and not declines(counts)
    else:  # a table held by the call alone is left to pandas, which may warn of it
        assert counts["hit"] == 0 and declines(counts) == {"value": 1}


@pytest.mark.parametrize(
    "values, fixed_first, plain_texts, last",
    [
        (["2024-01-01", "2024-01-02"], {"hit": 1}, {}, "2024-01-02"),  # ISO only: one pass, nothing else asked
        (["1959", "1960-02", "03 Mar 1960 10:00"], {"hit": 1}, {}, "1960-03-03 10:00"),
        (["2024-01-01", None], {"value": 1}, {"value": 1}, "2024-01-01"),
        (["01/02/2024", "01/03/2024"], {"value": 1}, {"hit": 1}, "2024-01-03"),
        # a late text settles the order of the a/b/year dates: the scan still runs
        (["2024-01-02", "13/02/2024", "01/02/2024"], {"value": 1}, {"hit": 1}, "2024-02-01"),
    ],
)
def test_text_time_columns_skip_the_missing_value_scan(
    helper, messages, routes, fast_on, values, fixed_first, plain_texts, last
):
    df = pd.DataFrame({"t": pd.Series(values, dtype=object)})
    helper.parse_time_col(df, "t", DT.INPUT)
    counts = routes()
    assert {k: n for k, n in counts["fixed_first"].items() if n} == fixed_first
    assert {k: n for k, n in counts["plain_texts"].items() if n} == plain_texts
    assert df["t"].iloc[-1] == pd.Timestamp(last)


def test_declines_are_counted_by_reason(helper, messages, routes, monkeypatch):
    frames = [
        numeric_frame(["1"]),
        numeric_frame(["1", "x"]),
        pd.DataFrame([["1", "2"]], columns=["a", "a"]),  # a repeated label: a table, not a column
        pd.DataFrame({"t": ["2024-01-01T00:00Z", "2024-01-01T01:00Z"]}),
    ]
    monkeypatch.setenv(NOFAST, "1")
    helper.str2float(frames[0], [0], C.COLUMN_ROLE_TARGET)
    monkeypatch.setenv(NOFAST, "0")
    with pytest.raises(Exception):
        helper.str2float(frames[1], [0], C.COLUMN_ROLE_TARGET)
    helper.str2float(frames[2], [0], C.COLUMN_ROLE_TARGET)
    monkeypatch.setattr(time, "tzname", ("UTC", "BST"))  # dateutil's zero offsets depend on the date
    helper.parse_time_col(frames[3], "t", DT.INPUT)
    counts = routes()
    assert declines(counts["numeric_text"]) == {"off": 1, "value": 1, "kind": 1}
    assert declines(counts["iso_column"]) == {"settings": 1}
    assert declines(counts["iso_text"]) == {"settings": 2}


@pytest.mark.fast_route_errors
@pytest.mark.skipif(not STEPS_ROUTE, reason="the time-step route declines before it runs on this interpreter")
@pytest.mark.parametrize("strict", ["1", "0"])
def test_an_error_inside_a_fast_route_is_raised_when_strict(dh, helper, routes, fast_on, monkeypatch, strict):
    # The route reads datetime.timedelta through the live namespace; the
    # straightforward route never needs it for a datetime64 column.
    monkeypatch.setattr(dh, "datetime", object())
    monkeypatch.setenv("QUARNEX_DATA_HELPER_FASTPATH_STRICT", strict)
    df = pd.DataFrame({"t": column_from_steps("naive", 0, [1, 1, 1], 10**9)})
    if strict == "1":
        with pytest.raises(AttributeError):
            helper.validate_time_interval(df, "t", [], DT.INPUT)
    else:
        assert helper.validate_time_interval(df, "t", [], DT.INPUT) is None
    assert declines(routes()["interval_statistics"]) == {"error": 1}


@pytest.mark.fast_route_errors
@pytest.mark.parametrize(
    "method, values, dtype", [("parse_time_col", "2024-01-01", "int64"), ("str2float", "1.5", "float64")]
)
def test_memory_errors_in_a_fast_route_reach_the_caller_at_once(dh, monkeypatch, fast_on, method, values, dtype):
    n = 4099  # a size that only the column of a fast route is made with
    empty = np.empty

    def short_of_memory(size, *args, dtype_=None, **kwargs):
        if size == n and kwargs.get("dtype") == dtype:
            raise MemoryError
        return empty(size, *args, **kwargs)

    monkeypatch.setattr(np, "empty", short_of_memory)
    df = pd.DataFrame({"t": [values] * n})
    before = df.copy()
    call = (
        (lambda: dh.DataHelper().parse_time_col(df, "t", DT.INPUT))
        if method == "parse_time_col"
        else (lambda: dh.DataHelper().str2float(df, [0], C.COLUMN_ROLE_TARGET))
    )
    with pytest.raises(MemoryError):
        call()
    pd.testing.assert_frame_equal(df, before)
