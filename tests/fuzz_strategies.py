"""Hypothesis strategies for hostile and unusual arguments of DataHelper methods.

Values come in three flavours, mixed freely for every parameter:

* plausible values for the parameter (real constants, tables whose labels match
  the designations), so that calls get past the first checks and reach deep;
* odd but honest values (numpy scalars, subclasses, NaN, huge ints, every
  pandas dtype, duplicate or non-text labels, MultiIndex columns);
* hostile objects whose dunder methods raise or lie.

Everything is built fresh per example, so methods that change a table in place
cannot leak state into the next example.
"""

import datetime as _dt
import decimal
import enum
import fractions
import importlib.util
import itertools
import os
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.configuration import set_hypothesis_home_dir

import quarnex.utils.constants as C

# ---- how many examples, and where hypothesis keeps its files -----------------------

# Even without an example database hypothesis caches data (character tables,
# constants found in the sources) under ./.hypothesis; keep a checkout clean
# unless the caller chose a place.
if not os.environ.get("HYPOTHESIS_STORAGE_DIRECTORY"):
    set_hypothesis_home_dir(Path(tempfile.gettempdir()) / f"quarnex-hypothesis-{os.getuid()}")

#: Examples per method. The ordinary run keeps a small fixed sample; set
#: QUARNEX_FUZZ_EXAMPLES=5000 (for instance) for a long, randomised run.
FUZZ_EXAMPLES_ENV = os.environ.get("QUARNEX_FUZZ_EXAMPLES")


def fuzz_settings(default_examples=50):
    """Settings for a fuzz test: derandomised and without a database in the
    ordinary run (reproducible, writes nothing), randomised when opted in."""
    opted_in = bool(FUZZ_EXAMPLES_ENV)
    return settings(
        max_examples=int(FUZZ_EXAMPLES_ENV) if opted_in else default_examples,
        derandomize=not opted_in,
        database=None,
        deadline=None,
        print_blob=True,
        suppress_health_check=list(HealthCheck),
    )


# ---- odd but honest values ------------------------------------------------------


class StrSub(str):
    pass


class ListSub(list):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class Colour(enum.Enum):
    RED = "red"


def recursive_list():
    a = []
    a.append(a)
    return a


def recursive_pair():
    a, b = [], []
    a.append(b)
    b.append(a)
    return a


HUGE_INTS = [2**63, -(2**63) - 1, 2**64, 10**400, -(10**400)]
SPECIAL_FLOATS = [float("nan"), float("inf"), float("-inf"), -0.0, 1e308, 5e-324, 0.999999999, 1.0]

LEARNING_TYPES = [C.LEARNING_TYPE_TIMESERIES_FORECASTING, C.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION]
SIZES = [C.TSHIRT_SIZE_SMALL, C.TSHIRT_SIZE_MEDIUM, C.TSHIRT_SIZE_LARGE, C.TSHIRT_SIZE_EXTRA_LARGE]
ROLES = [
    C.COLUMN_ROLE_TARGET,
    C.COLUMN_ROLE_FEATURE,
    C.COLUMN_ROLE_SUPPORTING_FEATURE,
    C.COLUMN_ROLE_TIMESTAMP,
    C.COLUMN_ROLE_ANOMALY_LABEL,
]
#: Column labels that tables use and designations name.
LABELS = ["time", "a", "b", "y", "", "x y", 0, 1, 2, -1, 1.5, None, True]

numpy_scalars = st.one_of(
    st.integers(-(2**31), 2**31).map(np.int64),
    st.integers(0, 255).map(np.uint8),
    st.floats(allow_nan=True, allow_infinity=True).map(np.float64),
    st.floats(width=32).map(np.float32),
    st.sampled_from(
        [
            np.bool_(True),
            np.bool_(False),
            np.str_("a"),
            np.str_("time"),
            np.bytes_(b"a"),
            np.datetime64("2024-01-01"),
            np.datetime64("NaT", "ns"),
            np.timedelta64(1, "h"),
            np.complex128(1 + 2j),
            np.float64("nan"),
            np.int8(-1),
            np.uint64(2**64 - 1),
        ]
    ),
)

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-5, 200),
    st.integers(),
    st.sampled_from(HUGE_INTS),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(SPECIAL_FLOATS),
    st.text(max_size=8),
    st.sampled_from(LABELS[:6]),
    st.binary(max_size=4),
    st.complex_numbers(max_magnitude=1e3),
    st.fractions(max_denominator=10),
    st.decimals(allow_nan=True, allow_infinity=True, places=3),
    numpy_scalars,
    st.sampled_from(
        [
            pd.NaT,
            pd.NA,
            pd.Timestamp("2024-01-01"),
            pd.Timestamp("2024-01-01", tz="UTC"),
            pd.Timedelta(0),
            pd.Timedelta("1h"),
            _dt.datetime(2024, 1, 1),
            _dt.date(2024, 1, 1),
            decimal.Decimal("nan"),
            Ellipsis,
            NotImplemented,
            object(),
            int,
            str,
            list,
            Colour.RED,
        ]
    ),
    st.sampled_from(list(C.DataType)),
    st.text(max_size=4).map(StrSub),
    st.integers(-3, 3).map(IntSub),
    st.floats().map(FloatSub),
)


# ---- hostile objects -------------------------------------------------------------


class Boom(Exception):
    """Raised by hostile objects."""


class BadBool:
    """A comparison result whose truth cannot be decided."""

    def __bool__(self):
        raise Boom("__bool__")

    def __repr__(self):
        return "BadBool()"


class Hostile:
    """An object whose dunder methods raise or lie, as chosen by ``mode``.

    Modes: ``raise`` (every protocol raises), ``lie`` (answers of the wrong
    kind: comparisons return undecidable objects, length is huge, ...),
    ``flip`` (equality alternates between True and False, hash changes).
    """

    _counter = itertools.count()

    def __init__(self, mode):
        self.mode = mode
        self.n = next(self._counter)

    def _do(self, name, lie):
        if self.mode == "raise":
            raise Boom(name)
        return lie()

    def __eq__(self, other):
        if self.mode == "flip":
            self.n += 1
            return self.n % 2 == 0
        return self._do("__eq__", BadBool)

    def __ne__(self, other):
        return self._do("__ne__", BadBool)

    def __lt__(self, other):
        return self._do("__lt__", BadBool)

    def __le__(self, other):
        return self._do("__le__", lambda: NotImplemented)

    def __gt__(self, other):
        return self._do("__gt__", BadBool)

    def __ge__(self, other):
        return self._do("__ge__", lambda: True)

    def __hash__(self):
        if self.mode == "flip":
            self.n += 1
            return self.n
        return self._do("__hash__", lambda: 0)

    def __str__(self):
        return self._do("__str__", lambda: "Hostile")

    def __repr__(self):
        return "Hostile(%r)" % self.mode

    def __format__(self, format_spec):
        return self._do("__format__", lambda: "Hostile")

    def __len__(self):
        # A modest lie: loops over range(len(x)) must end (HugeLen below
        # tests the index limit).
        return self._do("__len__", lambda: 7)

    def __float__(self):
        return self._do("__float__", lambda: float("nan"))

    def __int__(self):
        return self._do("__int__", lambda: 2**70)

    def __index__(self):
        return self._do("__index__", lambda: 2**70)

    def __bool__(self):
        return self._do("__bool__", lambda: self.n % 2 == 0)

    def __iter__(self):
        return self._do("__iter__", lambda: iter([self, 1, "a"]))

    def __contains__(self, item):
        return self._do("__contains__", BadBool)

    def __getitem__(self, key):
        return self._do("__getitem__", lambda: Hostile(self.mode))

    def __setitem__(self, key, value):
        self._do("__setitem__", lambda: None)

    def __call__(self, *args, **kwargs):
        return self._do("__call__", lambda: Hostile(self.mode))

    def __getattr__(self, name):
        # Only reached for attributes the class lacks (columns, shape, iat,
        # append, ...): a fake table or list that answers with more hostiles.
        if name.startswith("_"):
            raise AttributeError(name)
        return self._do("." + name, lambda: Hostile(self.mode))

    def __add__(self, other):
        return self._do("__add__", lambda: self)

    __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = __add__

    def __round__(self, ndigits=None):
        return self._do("__round__", lambda: self)


class BadRepr:
    """repr() and str() raise (met when a message formats a list holding it)."""

    def __repr__(self):
        raise Boom("__repr__")

    __str__ = __repr__


class HugeLen:
    """Claims a length near the largest index; nothing else."""

    def __len__(self):
        return 2**62


class LyingList(list):
    """A list subclass whose length and equality lie (refused on entry where a
    list is declared; elsewhere it is iterated and compared)."""

    def __len__(self):
        return 10**6

    def __eq__(self, other):
        raise Boom("LyingList.__eq__")

    __hash__ = None


class RaisingIter:
    """Iterable that yields a few items, then raises."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        yield from self.items
        raise Boom("iteration")


class GrowingList(list):
    pass


hostiles = st.one_of(
    st.sampled_from(["raise", "lie", "flip"]).map(Hostile),
    st.just(BadBool()),
    st.builds(BadRepr),
    st.builds(HugeLen),
    st.lists(st.builds(BadRepr), min_size=1, max_size=2),
    st.builds(recursive_list),
    st.builds(recursive_pair),
    st.lists(st.integers(0, 3), max_size=3).map(LyingList),
    st.lists(st.integers(0, 3), max_size=3).map(RaisingIter),
)

# Any value at all, nested a little.
_anything = st.recursive(
    st.one_of(scalars, hostiles),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.lists(inner, max_size=3).map(ListSub),
        st.dictionaries(st.sampled_from(["a", "b", 0, 1]), inner, max_size=3),
        st.frozensets(st.integers(0, 3), max_size=3),
    ),
    max_leaves=6,
)


def _named(strategy, name):
    """The strategy under a short name (long reprs slow hypothesis down)."""

    @st.composite
    def wrapper(draw):
        return draw(strategy)

    wrapper.__name__ = wrapper.__qualname__ = name
    return wrapper()


anything = _named(_anything, "anything")


# ---- tables ---------------------------------------------------------------------

ROW_COUNTS = [0, 1, 2, 3, 5, 12, 40, 120]


def _time_strings(n, draw):
    start = draw(st.sampled_from(["2024-01-01", "1999-12-31 23:00", "2024-03-31 01:30:00+02:00"]))
    freq = draw(st.sampled_from(["h", "D", "min", "s", "MS"]))
    values = pd.date_range(start, periods=n, freq=freq)
    kind = draw(st.sampled_from(["iso", "us", "dayfirst", "epoch", "mixed", "garbage", "dup", "shuffled", "dt", "tz"]))
    if kind == "dt":
        return values
    if kind == "tz":
        zone = draw(st.sampled_from(["UTC", "Europe/Berlin", "America/New_York", "Asia/Kolkata"]))
        return (
            values.tz_localize(zone, ambiguous="NaT", nonexistent="NaT")
            if values.tz is None
            else values.tz_convert(zone)
        )
    texts = [str(v) for v in values]
    if kind == "us":
        texts = [v.strftime("%m/%d/%Y %H:%M") for v in values]
    elif kind == "dayfirst":
        texts = [v.strftime(draw(st.sampled_from(["%d/%m/%Y %H:%M", "%d.%m.%Y", "%d-%m-%Y"]))) for v in values]
    elif kind == "epoch":
        return [int(v.timestamp()) for v in values]
    elif kind == "mixed" and n:
        texts[draw(st.integers(0, n - 1))] = draw(st.sampled_from(["", "nan", "01/02/03", "2024-13-45", "T"]))
    elif kind == "garbage" and n:
        texts[draw(st.integers(0, n - 1))] = draw(st.text(max_size=6))
    elif kind == "dup" and n > 1:
        texts[-1] = texts[0]
    elif kind == "shuffled" and n > 1:
        texts = draw(st.permutations(texts))
    return texts


# ---- timestamp texts ---------------------------------------------------------------


def _two(lo, hi):
    return st.integers(lo, hi).map(lambda v: f"{v:02d}")


_MONTH_NAMES = [
    "Jan",
    "January",
    "feb",
    "MAR",
    "Apr",
    "May",
    "June",
    "Jul",
    "aug",
    "Sep",
    "Sept",
    "September",
    "Oct",
    "Nov",
    "December",
    "Foo",
    "Mon",
    "M",
]
_DAYS = st.one_of(_two(0, 32), st.integers(1, 9).map(str))
#: Years by the digits a text gives: four (around the nanosecond range's ends
#: too), two (read by the parser's century rule), or others.
DATE_YEARS = st.one_of(
    st.integers(1900, 2100).map(str),
    st.integers(1670, 1680).map(str),
    st.integers(2255, 2265).map(str),
    st.integers(0, 9999).map(lambda y: f"{y:04d}"),
    st.integers(0, 99).map(lambda y: f"{y:02d}"),
    st.sampled_from(["100", "0100", "12345", "5"]),
)

#: Dates in the shapes real files carry: numbers in any order and separator,
#: month names, year-month and year-only texts (valid and not).
DATE_TEXTS = st.one_of(
    st.builds(lambda a, b, y, sep: f"{a}{sep}{b}{sep}{y}", _DAYS, _DAYS, DATE_YEARS, st.sampled_from("/.-")),
    st.builds(lambda y, m, d, sep: f"{y}{sep}{m}{sep}{d}", DATE_YEARS, _DAYS, _DAYS, st.sampled_from("/.-")),
    st.builds(
        lambda m, d, y, sep: f"{m}{sep}{d}{sep}{y}",
        st.sampled_from(_MONTH_NAMES),
        _DAYS,
        DATE_YEARS,
        st.sampled_from(["-", "/", " ", "."]),
    ),
    st.builds(
        lambda d, m, y, sep: f"{d}{sep}{m}{sep}{y}",
        _DAYS,
        st.sampled_from(_MONTH_NAMES),
        DATE_YEARS,
        st.sampled_from(["-", "/", " ", "-"]),
    ),
    st.builds(
        lambda m, y, sep: f"{m}{sep}{y}",
        st.sampled_from(_MONTH_NAMES + ["01", "1", "13"]),
        DATE_YEARS,
        st.sampled_from([" ", "-", "/", "."]),
    ),
    st.builds(
        lambda y, m, sep: f"{y}{sep}{m}",
        DATE_YEARS,
        st.sampled_from(_MONTH_NAMES + ["01", "1", "13", "00"]),
        st.sampled_from([" ", "-", "/", "."]),
    ),
    DATE_YEARS,
    st.sampled_from(
        [
            "29/02/2024",
            "02/29/2023",
            "12/13/2024",
            "13/12/2024",
            "31.12.2261",
            "01.01.1677",
            "11/04/2262",
            "21/09/1677",
            "Feb 29 2023",
            "1 Jan",
            "Jan 5",
            "2024 Jan",
        ]
    ),
)


# ---- real-looking timestamp columns ------------------------------------------------


def _texts(start, periods, freq, shape):
    stamps = pd.date_range(start, periods=periods, freq=freq)
    return stamps.strftime(shape).tolist(), stamps


def _with_gaps(values, stamps):
    """Every third timestamp missing, in each of the forms a table may hold."""
    gaps = [None, np.nan, pd.NaT, pd.NA]
    kept = [v if i % 3 else gaps[(i // 3) % 4] for i, v in enumerate(values)]
    return kept, stamps[[i for i in range(len(values)) if i % 3]]


#: name -> (timestamp values as a file or a caller holds them, the times they
#: stand for as a DatetimeIndex: naive for texts, UTC for zoned values).
REAL_TIME_COLUMNS = {
    "yearly": _texts("1949", 12, "YS", "%Y"),
    "monthly": _texts("1949-01", 24, "MS", "%Y-%m"),
    "quarterly words": _texts("2015-01", 8, "QS", "%b %Y"),
    "day-first daily with hours": _texts("2012-01-10 06:00", 40, "13h", "%d/%m/%Y %H:%M"),
    "day-first dotted": _texts("2019-12-25", 30, "D", "%d.%m.%Y"),
    "day-first dashed with seconds": _texts("2020-02-27 23:00:00", 30, "7h", "%d-%m-%Y %H:%M:%S"),
    "US daily": _texts("2012-01-08", 30, "D", "%m/%d/%Y"),
    "US hourly with am/pm": _texts("2021-03-12 20:00", 30, "h", "%m/%d/%Y %I:%M %p"),
    "ISO hourly": _texts("2024-03-30 22:00", 30, "h", "%Y-%m-%d %H:%M:%S"),
    "ISO with gaps": _with_gaps(*_texts("2024-01-01", 30, "D", "%Y-%m-%d")),
    "day-first with gaps": _with_gaps(*_texts("2011-12-28", 30, "D", "%d/%m/%Y")),
    "US hourly": _texts("2024-01-30 20:00", 30, "h", "%m/%d/%Y %H:%M"),
    "year-first slashed hourly": _texts("2024-01-30 20:00", 30, "h", "%Y/%m/%d %H:%M"),
    "day-first dotted hourly": _texts("2024-01-30 20:00", 30, "h", "%d.%m.%Y %H:%M"),
    "month abbreviations first": _texts("1995-01-01", 30, "D", "%b-%d-%Y"),
    "day, month name, year": _texts("2024-02-20", 30, "D", "%d %b %Y"),
    "full month names": _texts("2015-01", 14, "MS", "%B %Y"),
    "two-digit years": _texts("2012-01-08", 30, "D", "%m/%d/%y"),
    "day-first two-digit years": _texts("2023-01-13", 30, "D", "%d/%m/%y"),
    "US monthly": _texts("2024-01-01", 12, "MS", "%m/%d/%Y"),
    # every date could be either way round: only the day-first reading is evenly spaced
    "day-first monthly": _texts("2022-01-01", 24, "MS", "%d.%m.%Y"),
    "day-first hourly week": _texts("2024-03-01", 168, "h", "%d.%m.%Y %H:%M"),
    "day-first monthly, two-digit years": _texts("2022-01-01", 24, "MS", "%d/%m/%y"),
}
#: The columns above read day-first because only that reading is evenly spaced.
DAY_FIRST_BY_SPACING = {"day-first monthly", "day-first hourly week", "day-first monthly, two-digit years"}
for _zone in ["UTC", "Europe/Berlin", "America/New_York", "Asia/Kolkata", "Australia/Lord_Howe"]:
    _stamps = pd.date_range("2024-03-30 20:00", periods=30, freq="h", tz=_zone)
    REAL_TIME_COLUMNS[f"zoned {_zone}"] = (_stamps, _stamps.tz_convert("UTC"))


def _column(n, draw):
    kind = draw(
        st.sampled_from(
            [
                "int",
                "float",
                "float_nan",
                "numtext",
                "text",
                "object",
                "string",
                "category",
                "datetime",
                "datetime_tz",
                "timedelta",
                "bool",
                "Int64",
                "boolean",
                "Float64",
                "period",
                "interval",
                "sparse",
                "complex",
                "time",
                "none",
                "hostile",
                "uint8",
            ]
        )
    )
    rng = np.arange(n)
    if kind == "int":
        return rng.astype("int64")
    if kind == "uint8":
        return (rng % 256).astype("uint8")
    if kind == "float":
        return rng * 0.5
    if kind == "float_nan":
        v = rng.astype(float)
        if n:
            v[draw(st.integers(0, n - 1))] = draw(st.sampled_from([np.nan, np.inf, -np.inf]))
        return v
    if kind == "numtext":
        v = [str(x * 1.5) for x in range(n)]
        if n and draw(st.booleans()):
            v[draw(st.integers(0, n - 1))] = draw(st.sampled_from(["", "nan", "1,5", "x", " 2 ", "1e400", None]))
        return v
    if kind == "text":
        return [draw(st.text(max_size=3)) for _ in range(min(n, 5))] + ["t"] * max(0, n - 5)
    if kind == "object":
        cells = st.one_of(scalars, st.lists(st.integers(), max_size=2))
        return pd.array([draw(cells) for _ in range(min(n, 5))] + [0] * max(0, n - 5), dtype=object)
    if kind == "string":
        return pd.array([str(x) for x in range(n)], dtype="string")
    if kind == "category":
        return pd.Categorical([str(x % 3) for x in range(n)])
    if kind == "datetime":
        return pd.date_range("2024-01-01", periods=n, freq="h")
    if kind == "datetime_tz":
        return pd.date_range("2024-01-01", periods=n, freq="h", tz="Europe/Berlin")
    if kind == "timedelta":
        return pd.to_timedelta(rng, unit="s")
    if kind == "bool":
        return rng % 2 == 0
    if kind == "Int64":
        return pd.array([None if x == 1 else x for x in range(n)], dtype="Int64")
    if kind == "boolean":
        return pd.array([None if x == 0 else bool(x % 2) for x in range(n)], dtype="boolean")
    if kind == "Float64":
        return pd.array([x / 2 for x in range(n)], dtype="Float64")
    if kind == "period":
        return pd.period_range("2024-01", periods=n, freq="M")
    if kind == "interval":
        return pd.interval_range(0, n + 1)[:n] if n else pd.IntervalIndex([])
    if kind == "sparse":
        return pd.arrays.SparseArray(rng % 2, fill_value=0)
    if kind == "complex":
        return rng * (1 + 1j)
    if kind == "time":
        return _time_strings(n, draw)
    if kind == "hostile":
        return pd.array([Hostile("lie") for _ in range(n)], dtype=object)
    return [None] * n


@st.composite
def dataframes(draw):
    """A small table of any shape, dtype and labelling; labels often come from
    LABELS so that designations find them."""
    n = draw(st.sampled_from(ROW_COUNTS))
    ncols = draw(st.integers(0, 4))
    label_kind = draw(st.sampled_from(["pool", "pool", "pool", "dup", "multi", "any"]))
    if label_kind == "multi" and ncols:
        labels = pd.MultiIndex.from_tuples([(draw(st.sampled_from(["a", "b", "time"])), i) for i in range(ncols)])
    elif label_kind == "any":
        labels = [draw(st.one_of(scalars, st.tuples(st.integers(0, 2), st.text(max_size=2)))) for _ in range(ncols)]
    else:
        labels = [draw(st.sampled_from(LABELS)) for _ in range(ncols)]
        if label_kind == "pool" and ncols:
            labels[0] = "time"
        if label_kind == "dup" and ncols > 1:
            labels[-1] = labels[0]
    data = [_column(n, draw) for _ in range(ncols)]
    try:
        df = pd.DataFrame(dict(enumerate(data)), index=range(n) if not ncols else None)
        df.columns = labels
    except Exception:
        df = pd.DataFrame(np.zeros((n, ncols)))
        df.columns = [str(i) for i in range(ncols)]
    index_kind = draw(st.sampled_from(["range", "range", "shifted", "dup", "text", "dt"]))
    if index_kind == "shifted":
        df.index = df.index + 7
    elif index_kind == "dup" and n > 1:
        df.index = [0] * n
    elif index_kind == "text":
        df.index = [f"r{i}" for i in range(n)]
    elif index_kind == "dt":
        df.index = pd.date_range("2020-01-01", periods=n, freq="D")
    return df


def _time_table(draw, n=None):
    """A realistic table: a timestamp column and a few numeric or numeric-text columns."""
    n = draw(st.sampled_from([12, 40, 120])) if n is None else n
    df = pd.DataFrame({"time": _time_strings(n, draw)})
    for label in draw(st.lists(st.sampled_from(["a", "b", "y"]), min_size=1, max_size=3, unique=True)):
        try:
            df[label] = _column(n, draw) if draw(st.booleans()) else np.arange(n, dtype=float)
        except Exception:  # pandas refuses some of our odd columns
            df[label] = np.arange(n, dtype=float)
    return df


#: The kinds of text column: object, pandas' string dtype (missing value NA),
#: the default for text (object before pandas 3, its "str" dtype from it)
#: and, with pyarrow, the Arrow-backed string dtypes.
TEXT_DTYPES = [object, "string", pd.Series(["a"]).dtype]
if importlib.util.find_spec("pyarrow"):
    TEXT_DTYPES.append("string[pyarrow]")
    try:
        TEXT_DTYPES.append(pd.StringDtype("pyarrow", na_value=np.nan))
    except TypeError:  # pandas before 2.3
        pass


def text_series(values, dtype, cut=0, index=None):
    """pd.Series(values, dtype=dtype, index=index), joined from two pieces at
    `cut` when it falls inside: a string column in Arrow storage then holds
    its texts in two chunks, which the readers of its buffers must follow."""
    if not 0 < cut < len(values):
        return pd.Series(values, dtype=dtype, index=index)
    joined = pd.concat([pd.Series(values[:cut], dtype=dtype), pd.Series(values[cut:], dtype=dtype)], ignore_index=True)
    if index is not None:
        joined.index = index
    return joined


@st.composite
def timestamp_columns(draw):
    """A timestamp column as files and callers hand it over: texts (often
    sorted, often repeating), numbers or datetimes, with missing values of
    every kind and now and then a value of another type."""
    kind = draw(st.sampled_from(["text", "text", "text", "int", "float", "datetime", "datetime_tz"]))
    if kind == "text":
        pool = st.one_of(
            st.sampled_from(
                [
                    "2024-01-01",
                    "2024-01-02",
                    "2024-01-01 00:00",
                    "",
                    "01/02/2024",
                    "2024-01-01\u00e9",
                    "\u65e5\u4ed8",
                    "\U0001f600",
                    "a" * 20,
                ]
            ),
            st.text(max_size=3),
        )
        odd = st.sampled_from(
            [
                None,
                None,
                np.nan,
                pd.NA,
                pd.NaT,
                1,
                1.0,
                -0.0,
                0.0,
                b"x",
                StrSub("2024-01-01"),
                np.float64("nan"),
                _dt.datetime(2024, 1, 1),
            ]
        )
        values = draw(st.lists(st.one_of(pool, pool, pool, odd), max_size=12))
        if draw(st.booleans()):
            values = sorted(set(v for v in values if type(v) is str), reverse=draw(st.booleans())) + values[:2]
        if all(type(v) is str or v is None for v in values) and draw(st.booleans()):
            return text_series(values, draw(st.sampled_from(TEXT_DTYPES)), draw(st.integers(0, len(values))))
        return pd.Series(values, dtype=object)
    numbers = draw(st.lists(st.integers(-3, 3), max_size=12))
    if kind == "int":
        return pd.Series(numbers, dtype="int64")
    holes = draw(st.lists(st.integers(0, 11), max_size=3))
    values = [np.nan if i in holes else v / 2 for i, v in enumerate(numbers)]
    if kind == "float":
        values = [-0.0 if v == 0 and draw(st.booleans()) else v for v in values]
        if draw(st.booleans()):  # zeros of both signs: one value, so a repeat
            at = draw(st.integers(0, len(values)))
            values[at:at] = [0.0, -0.0]
        return pd.Series(values, dtype="float64")
    stamps = pd.Series(pd.to_datetime([None if v != v else 1_700_000_000 + int(v * 2) for v in values], unit="s"))
    return stamps.dt.tz_localize("Europe/Paris") if kind == "datetime_tz" else stamps


@st.composite
def realistic_tables(draw):
    return _time_table(draw)


tables = _named(st.one_of(dataframes(), realistic_tables(), st.none(), anything), "tables")


# ---- parameters -----------------------------------------------------------------

designation = _named(
    st.one_of(
        st.sampled_from(LABELS),
        st.integers(-3, 6),
        st.floats(-2, 6),
        numpy_scalars,
        st.sampled_from([-1, "time", "a", "b", "y"]),
        anything,
    ),
    "designation",
)
designations = _named(st.one_of(st.lists(designation, max_size=4), designation), "designations")


sane_designation = st.one_of(
    st.sampled_from(["time", "a", "b", "y", "zz", 0, 1, 2, 3, 1.0, -1]), st.integers(-2, 5).map(np.int64)
)
sane_designations = _named(st.one_of(st.lists(sane_designation, max_size=3), sane_designation), "sane_designations")


def well_formed(name, declared=None):
    """Values of the right kind for a parameter (`declared` is its declared
    type): calls that get past the entry checks and reach the steps deep
    inside."""
    if name in ("df", "train_df", "data_df"):
        return realistic_tables()
    if name in ("holdout_df", "user_holdout_df"):
        return st.one_of(st.none(), st.none(), st.none(), realistic_tables())
    if name == "learning_type":
        return st.sampled_from(LEARNING_TYPES)
    if name == "tshirt_size":
        return st.sampled_from(SIZES)
    if name == "holdout_size":
        return st.one_of(
            st.floats(0.01, 0.99),
            st.sampled_from([0.1, 0.2, 0.5, 1, 2, 5, 10, 1.0, 3.5]),
            st.sampled_from([fractions.Fraction(1, 5), np.float64(0.2), np.int64(5), True]),
        )
    if declared is list:
        return st.one_of(st.lists(sane_designation, max_size=3), st.lists(sane_designation, max_size=3), st.none())
    if name in ("target_columns", "feature_columns"):
        return st.one_of(sane_designations, st.sampled_from([["a"], ["a", "b"], "y", 1, -1]))
    if name == "timestamp_column":
        return st.sampled_from(["time", "time", "time", 0, -1, None, "a"])
    if name in ("anomaly_label_column", "time_col_idx"):
        return st.one_of(sane_designation, st.none())
    if name == "time_col":
        return st.sampled_from(["time", "time", "time", "a", "zz"])
    if name == "warn_msg":
        return st.builds(list)
    if name in ("col_role", "time_col_name", "data_type"):
        return _plausible(name)
    return st.one_of(st.just(np.nan), scalars)


def _plausible(name):
    """Values that make sense for a parameter, by its name."""
    if name in ("df", "train_df", "holdout_df", "data_df", "user_holdout_df"):
        return tables
    if name == "learning_type":
        return st.one_of(st.sampled_from(LEARNING_TYPES), st.sampled_from(LEARNING_TYPES), st.text(max_size=3))
    if name == "tshirt_size":
        return st.one_of(st.sampled_from(SIZES), st.sampled_from(SIZES), st.text(max_size=2))
    if name == "col_role":
        return st.sampled_from(ROLES)
    if name in ("target_columns", "feature_columns", "cols", "col_idx", "other_col_idx"):
        return designations
    if name in ("timestamp_column", "anomaly_label_column", "time_col_idx"):
        return st.one_of(designation, st.just(-1), st.none())
    if name in ("time_col", "time_col_name"):
        return st.sampled_from(["time", "a", "y", "missing", ""])
    if name == "holdout_size":
        return st.one_of(
            st.floats(-1, 2),
            st.integers(-5, 200),
            st.sampled_from(SPECIAL_FLOATS + HUGE_INTS),
            st.fractions(),
            numpy_scalars,
            st.sampled_from([0.2, 0.5, 1, 5, 10, 0.33]),
        )
    if name == "warn_msg":
        return st.one_of(st.just(None), st.builds(list), st.builds(ListSub), st.builds(tuple))
    if name == "data_type":
        return st.sampled_from(list(C.DataType))
    return anything


def parameter(name):
    """Any value for the parameter: mostly plausible, often arbitrary."""
    return _named(st.one_of(_plausible(name), _plausible(name), anything), f"parameter_{name}")


# ---- tampering with the module namespace ------------------------------------------


class HostileMessages:
    """A catalogue whose get_message raises, lies or returns non-text."""

    def __init__(self, mode):
        self.mode = mode

    def get_message(self, *args, **kwargs):
        if self.mode == "raise":
            raise Boom("get_message")
        if self.mode == "none":
            return None
        return Hostile("raise")


NAMESPACE_NAMES = [
    "Messages",
    "INPUT_DATA_LIMITATION",
    "LEARNING_TYPE_TIMESERIES_FORECASTING",
    "LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION",
    "TSHIRT_SIZE_SMALL",
    "TSHIRT_SIZE_MEDIUM",
    "COLUMN_ROLE_TARGET",
    "COLUMN_ROLE_FEATURE",
    "COLUMN_ROLE_TIMESTAMP",
    "MIN",
    "MAX",
    "ROW",
    "COLUMN",
    "THRESHOLD",
    "HOLDOUT_MAX_RATIO",
    "HOLDOUT_MIN",
    "HOLDOUT_MAX",
    "DataType",
    "Fraction",
    "np",
    "pd",
    "datetime",
    "DataHelper",
]

namespace_values = st.one_of(
    st.builds(HostileMessages, st.sampled_from(["raise", "none", "hostile"])),
    anything,
    st.just(None),
    st.dictionaries(st.sampled_from(LEARNING_TYPES + SIZES + ["row", "column", "max", "min"]), anything, max_size=3),
)

#: Zero or more (name, value) pairs to patch into the module namespace, or a
#: name to delete (value NAMESPACE_DELETE).
NAMESPACE_DELETE = object()
namespace_patches = _named(
    st.lists(
        st.tuples(st.sampled_from(NAMESPACE_NAMES), st.one_of(namespace_values, st.just(NAMESPACE_DELETE))),
        max_size=2,
    ),
    "namespace_patches",
)


# ---- long tables of many series -----------------------------------------------------

#: What a series of a long table may be like: mostly plain (one step throughout, in order), else one
#: fault or another form that the check of each series on its own must still see.
SERIES_KINDS = ["plain"] * 6 + ["unsorted", "repeat", "gap", "nan", "us", "zoned", "quoted", "short", "date only"]


@st.composite
def long_tables(draw):
    """(table, options) of a long table with an id column whose series share lengths and steps
    (so the grouped route has groups to take), each series plain or of another kind."""
    n_series = draw(st.integers(2, 7))
    length = st.sampled_from([3, 9, 10, 12, 100, 101])
    step = st.sampled_from(["h", "min", "D", "7D", "30D", "1500ms"])
    shared = (draw(length), draw(step))
    parts = []
    for k in range(n_series):
        n, freq = shared if draw(st.booleans()) else (draw(length), draw(step))
        stamps = pd.date_range(draw(st.sampled_from(["2024-01-30 22:00", "1999-12-31"])), periods=n, freq=freq)
        texts = [str(s) for s in stamps]
        sales = np.arange(n) * 1.5
        kind = draw(st.sampled_from(SERIES_KINDS))
        if kind == "unsorted":
            texts = texts[1:] + texts[:1]
        elif kind == "repeat":
            texts[-1] = texts[-2]
        elif kind == "gap":
            texts = [str(s) for s in stamps + pd.to_timedelta(np.arange(n) ** 2, unit="s")]
        elif kind == "nan":
            sales[draw(st.integers(0, n - 1))] = np.nan
        elif kind == "us":
            texts = stamps.strftime("%m/%d/%Y %H:%M").tolist()
        elif kind == "zoned":
            texts = [t + "+01:00" for t in texts]
        elif kind == "quoted":
            texts = [f'"{t}"' for t in texts]
        elif kind == "short":
            texts, sales = texts[:2], sales[:2]
        elif kind == "date only":
            texts = stamps.strftime("%Y-%m-%d").tolist()
        parts.append(pd.DataFrame({"id": k, "time": texts, "sales": sales}))
    df = pd.concat(parts, ignore_index=True)
    if draw(st.booleans()):  # the series interleaved, as in many files, each in its own order
        keys = pd.Series(np.random.default_rng(draw(st.integers(0, 9))).random(len(df)))
        df = df.iloc[np.argsort(keys.groupby(df["id"]).transform(np.sort).to_numpy(), kind="stable")]
        df = df.reset_index(drop=True)
    how = draw(st.sampled_from(["texts", "texts", "datetimes", "ints"]))
    if how == "datetimes":
        texts = df["time"].str.strip('"')
        if not texts.str.contains("+", regex=False).any():  # naive throughout
            df["time"] = pd.to_datetime(texts, format="ISO8601", errors="coerce")
    elif how == "ints":
        df["sales"] = df["sales"].fillna(-1).astype("int64")
    else:
        df["time"] = text_series(df["time"].tolist(), draw(st.sampled_from(TEXT_DTYPES)), draw(st.integers(0, len(df))))
    options = {
        "target": "sales",
        "timestamp": "time",
        "holdout": draw(st.sampled_from([2, 0.2, 40])),
        "size": draw(st.sampled_from(["S", "M"])),
        "strict": draw(st.booleans()),
    }
    return df, options
