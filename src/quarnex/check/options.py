"""The options of quarnex-check: the command line, the values it takes, and the one
settings type that the command, ``check_table`` and the series route all build once
and pass on.

Column designations (``--target``, ``--feature``, ``--timestamp``, ``--anomaly-label``,
``--series-id``) are column labels, or zero-based column positions:

* ``3`` or ``#3``: the column at position 3 (a value made only of digits is always a
  position);
* ``=3``: the column labelled ``3`` (a leading ``=`` always means a label, so ``==x``
  is the label ``=x``);
* anything else: the column with that label.

``designation`` reads such a text; ``resolve`` finds the column a designation names
in a table by the rule of the checks (an int is a position, anything else a label).
"""

from __future__ import annotations

import argparse
import math
import warnings
from dataclasses import dataclass, field
from typing import Any

PROG = "quarnex-check"
EXIT_ACCEPTED, EXIT_REFUSED, EXIT_USAGE, EXIT_UNEXPECTED = 0, 1, 2, 3

# Options that --example fills in unless they are given.
EXAMPLE_FILE = ("example_data", "hourly.csv")
EXAMPLE_OPTIONS = {"target": ["load"], "feature": ["temperature"], "timestamp": "time"}

#: --date-format words for numbers: the unit and origin of pandas.to_datetime.
NUMBER_FORMATS = {"unix": ("s", "unix"), "unix_ms": ("ms", "unix"), "excel": ("D", "1899-12-30")}


class UsageError(Exception):
    """A bad option or an unreadable file: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, no usage block
        raise UsageError(f"{message} (see {PROG} --help)")


def parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog=PROG,
        description="Check data files the way a quarnex model builder does, and report the result: "
        "what is wrong, on which rows, and how to fix it.",
        epilog="Column designations: a label, or a zero-based position written as digits (3) or #3; "
        "=LABEL forces a label (=3 is the column labelled 3). Rows in the report are data rows counted "
        "from 1 below the header. Exit status: 0 accepted, 1 refused by a check (or, with --strict, "
        "accepted with warnings or with notes that change the data), 2 usage or file error, 3 unexpected "
        "error; with several files, the worst of them.",
    )
    p.add_argument(
        "files",
        nargs="*",
        metavar="FILE",
        help="CSV file (also .gz, .bz2, .zip, .xz, .zst compressed), Parquet (.parquet, .pq) with "
        "pyarrow, Excel (.xlsx) with openpyxl; - reads CSV from standard input",
    )
    p.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    p.add_argument(
        "--example",
        action="store_true",
        help="check the example data shipped with the package (hourly.csv: target load, "
        "feature temperature, timestamp time, unless given)",
    )
    p.add_argument(
        "--learning-type",
        default="forecasting",
        help="forecasting (default) or anomaly (timeseries_anomaly_prediction)",
    )
    p.add_argument("--target", action="append", metavar="COL", help="target column; repeat for several")
    p.add_argument("--feature", action="append", metavar="COL", help="feature column; repeat for several")
    p.add_argument("--timestamp", metavar="COL", help="timestamp column")
    p.add_argument("--anomaly-label", metavar="COL", help="anomaly label column (anomaly prediction only)")
    p.add_argument(
        "--holdout",
        default="0.2",
        metavar="SIZE",
        help="holdout ratio (a number below 1 with a decimal point, e.g. 0.2) or number of rows "
        "(e.g. 30); default 0.2; ignored with --holdout-file",
    )
    p.add_argument("--holdout-file", metavar="FILE", help="user holdout data, same columns as FILE")
    p.add_argument("--size", default="M", metavar="SIZE", help="t-shirt size S, M, L or XL (default M)")
    p.add_argument(
        "--text",
        action="store_true",
        help="read every value as the text written in the file (empty cells stay empty texts); "
        "the checks then convert the numeric columns themselves",
    )
    p.add_argument(
        "--date-format",
        metavar="FMT",
        type=_date_format,
        help="read the timestamp column with this strftime format before the checks (e.g. %%Y%%m%%d, "
        "%%d.%%m.%%Y %%H:%%M); 'quarter' reads quarters such as 1974Q1 or Q1 1974 as their first day; "
        "'unix' and 'unix_ms' read seconds or milliseconds since 1970, 'excel' a spreadsheet's serial days",
    )
    p.add_argument(
        "--dayfirst",
        action="store_true",
        help="read ambiguous dates of the timestamp column day first (01/02/2024 is 1 February)",
    )
    p.add_argument("--encoding", metavar="ENC", help="text encoding of CSV files (default UTF-8)")
    p.add_argument(
        "--sep",
        metavar="SEP",
        type=_separator,
        help="field separator of CSV files: , ; | or tab (written \\t or tab); default: found from the file",
    )
    p.add_argument("--decimal", metavar="MARK", type=_mark, help="decimal mark of numbers in CSV files (default .)")
    p.add_argument("--thousands", metavar="MARK", type=_mark, help="thousands separator of numbers in CSV files")
    p.add_argument(
        "--na-values",
        metavar="TEXT",
        action="append",
        help="a text that marks a missing value in CSV files (repeat for several), besides the empty cell",
    )
    p.add_argument(
        "--max-rows",
        type=_count,
        default=MAX_ROWS,
        metavar="N",
        help=f"refuse a file of more than N data rows (default {MAX_ROWS:,}; five times the largest t-shirt size)",
    )
    p.add_argument(
        "--max-bytes",
        type=_byte_count,
        default=MAX_BYTES,
        metavar="SIZE",
        help="refuse standard input or a compressed file that holds more than SIZE bytes of text once "
        "decompressed (e.g. 500M, 20G; default 16G)",
    )
    p.add_argument(
        "--strict",
        action="store_true",
        help="exit status 1 also when the data are accepted with warnings, or with notes on changes "
        "to the data (empty values, rows left out)",
    )
    p.add_argument("--json", action="store_true", help="print the report as JSON (an array with several files)")
    p.add_argument("--output", metavar="FILE", help="write the prepared table as CSV when the data are accepted")
    p.add_argument(
        "--plot",
        metavar="FILE",
        help="draw the target over time and the time steps into FILE (.png or .svg; needs matplotlib)",
    )
    p.add_argument("--html", metavar="FILE", help="write the report (and the picture) as one self-contained page")
    p.add_argument(
        "--series-id",
        nargs="+",
        metavar="COL",
        help="the file holds many series told apart by these columns: check each series on its own",
    )
    p.add_argument(
        "--jobs",
        type=_jobs,
        metavar="N",
        help="with --series-id: check the series in N worker processes (default: one per core)",
    )
    return p


SEPARATORS = (",", ";", "\t", "|")


def _separator(value: str) -> str:
    value = "\t" if value in ("\\t", "tab", "TAB") else value
    if value not in SEPARATORS:
        raise argparse.ArgumentTypeError(f"bad separator {value!r}: give one of , ; | tab")
    return value


def _mark(value: str) -> str:
    if len(value) != 1 or value.isalnum() or value.isspace() and value != " ":
        raise argparse.ArgumentTypeError(f"bad mark {value!r}: give one character such as , or .")
    return value


def _date_format(value: str) -> str:
    """A --date-format the date reader accepts: 'quarter' or a strftime format."""
    import pandas as pd

    if value.lower() == "quarter" or value.lower() in NUMBER_FORMATS:
        return value
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            pd.to_datetime(pd.Series(["2000-01-01"]), format=value, errors="coerce")
    except (ValueError, TypeError) as exc:
        raise argparse.ArgumentTypeError(f"bad date format {value!r}: {exc}") from None
    return value


MAX_ROWS = 50_000_000
MAX_BYTES = 16 << 30


def _count(value: str) -> int:
    if not (value.isascii() and value.isdigit()) or int(value) < 1:
        raise argparse.ArgumentTypeError(f"bad count {value!r}: give a whole number, 1 or more")
    return int(value)


def _byte_count(value: str) -> int:
    text = value.strip().upper().removesuffix("B")
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}.get(text[-1:], 1)
    digits = text[:-1] if scale > 1 else text
    if not (digits.isascii() and digits.isdigit()) or int(digits) < 1:
        raise argparse.ArgumentTypeError(f"bad size {value!r}: give a number of bytes such as 500M or 20G")
    return int(digits) * scale


def _jobs(value: str) -> int:
    if not (value.isascii() and value.isdigit()) or int(value) < 1:
        raise UsageError(f"bad --jobs {value!r}: give a number of processes, 1 or more")
    return int(value)


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quarnex-data-helper")
    except metadata.PackageNotFoundError:
        return "(not installed)"


# ---- values -----------------------------------------------------------------------


def designation(value: str) -> int | str:
    """A column designation from the command line: a position (int) or a label."""
    if value.startswith("="):
        return value[1:]
    digits = value[1:] if value.startswith("#") else value
    if digits.isascii() and digits.isdigit():
        return int(digits)
    if value.startswith("#"):
        raise UsageError(f"bad column position {value!r}: # must be followed by digits")
    return value


def holdout_size(value: str) -> int | float:
    """A holdout size: digits are a number of rows, anything else a float."""
    text = value.strip()
    if text.isascii() and text.isdigit():
        return int(text)
    try:
        size = float(text)
    except ValueError:
        raise UsageError(f"bad holdout size {value!r}: give a ratio such as 0.2 or a number of rows") from None
    if not math.isfinite(size):
        raise UsageError(f"bad holdout size {value!r}: give a ratio such as 0.2 or a number of rows")
    return size


def learning_type(value: str, constants) -> str:
    forecasting = constants.LEARNING_TYPE_TIMESERIES_FORECASTING
    anomaly = constants.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION
    names = {
        forecasting: forecasting,
        "forecasting": forecasting,
        anomaly: anomaly,
        "anomaly": anomaly,
        "anomaly_prediction": anomaly,
    }
    key = value.strip().lower().replace("-", "_")
    if key not in names:
        raise UsageError(f"unknown learning type {value!r}: use forecasting or anomaly")
    return names[key]


def tshirt_size(value: str, constants) -> str:
    sizes = [
        constants.TSHIRT_SIZE_SMALL,
        constants.TSHIRT_SIZE_MEDIUM,
        constants.TSHIRT_SIZE_LARGE,
        constants.TSHIRT_SIZE_EXTRA_LARGE,
    ]
    for size in sizes:
        if value.strip().upper() == size.upper():
            return size
    raise UsageError(f"unknown t-shirt size {value!r}: use one of {', '.join(sizes)}")


def resolve(df, designation) -> int | None:
    """The position a designation names in df, by the rule of the checks (an int is a position, a
    text a label); None when it names none."""
    n = len(df.columns)
    if isinstance(designation, int) and not isinstance(designation, bool):
        return designation if 0 <= designation < n else None
    if isinstance(designation, str):
        labels = df.columns.to_list()
        return labels.index(designation) if designation in labels else None
    return None


# ---- the settings of a check ------------------------------------------------------------


@dataclass(frozen=True)
class Settings:
    """Everything a check needs besides the table: built once (from the command line or from
    check_table's keywords), plain data so that it can go to worker processes."""

    learning_type: str
    size: str
    holdout: int | float
    target: tuple | None = None
    feature: tuple | None = None
    timestamp: int | str | None = None
    anomaly_label: int | str | None = None
    date_format: str | None = None
    dayfirst: bool = False
    strict: bool = False
    text: bool = False
    encoding: str | None = None
    holdout_file: str | None = None
    csv: dict = field(default_factory=dict)
    max_rows: int = MAX_ROWS
    max_bytes: int = MAX_BYTES

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> Settings:
        """The settings the command line gives; a bad value is a UsageError."""
        from quarnex.utils import constants

        lt = learning_type(args.learning_type, constants)
        size = tshirt_size(args.size, constants)
        if args.anomaly_label is not None and lt != constants.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION:
            raise UsageError("--anomaly-label applies only to --learning-type anomaly")
        timestamp = designation(args.timestamp) if args.timestamp is not None else None
        if (args.date_format or args.dayfirst) and timestamp is None:
            raise UsageError("--date-format and --dayfirst need --timestamp")
        return cls(
            learning_type=lt,
            size=size,
            holdout=holdout_size(args.holdout),
            target=tuple(designation(v) for v in args.target) if args.target else None,
            feature=tuple(designation(v) for v in args.feature) if args.feature else None,
            timestamp=timestamp,
            anomaly_label=designation(args.anomaly_label) if args.anomaly_label is not None else None,
            date_format=args.date_format,
            dayfirst=bool(args.dayfirst),
            strict=bool(args.strict),
            text=bool(getattr(args, "text", False)),
            encoding=getattr(args, "encoding", None),
            holdout_file=getattr(args, "holdout_file", None),
            csv={key: getattr(args, key, None) for key in ("sep", "decimal", "thousands", "na_values")},
            max_rows=getattr(args, "max_rows", MAX_ROWS),
            max_bytes=getattr(args, "max_bytes", MAX_BYTES),
        )

    @classmethod
    def from_options(
        cls,
        target=None,
        feature=None,
        timestamp=None,
        anomaly_label=None,
        holdout="0.2",
        size="M",
        learning_type="forecasting",
        date_format=None,
        dayfirst=False,
        strict=False,
    ) -> Settings:
        """The settings of the command's options given as Python values: a column is a label or a
        position (an int, or a text read as on the command line); holdout a ratio or a row count."""

        def many(value):
            if value is None:
                return None
            return [_option(v) for v in (value if isinstance(value, (list, tuple)) else [value])]

        number = isinstance(holdout, (int, float)) and not isinstance(holdout, bool)
        args = argparse.Namespace(
            learning_type=learning_type,
            size=size,
            holdout=repr(holdout) if number else holdout,
            target=many(target),
            feature=many(feature),
            timestamp=None if timestamp is None else _option(timestamp),
            anomaly_label=None if anomaly_label is None else _option(anomaly_label),
            date_format=None if date_format is None else _checked_date_format(date_format),
            dayfirst=dayfirst,
            strict=strict,
        )
        return cls.from_args(args)


def _option(value) -> str:
    # The command-line text of a value: an int is a position ("#3"), a text is read as typed.
    if isinstance(value, int) and not isinstance(value, bool):
        return f"#{value}"
    return str(value)


def _checked_date_format(value: str) -> str:
    try:
        return _date_format(value)
    except argparse.ArgumentTypeError as exc:
        raise UsageError(str(exc)) from None


def plain(value: Any) -> Any:
    """A value that JSON can hold: numbers, texts and None as they are."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    item = getattr(value, "item", None)  # numpy scalars
    if callable(item):
        try:
            return plain(item())
        except (TypeError, ValueError):
            pass
    return str(value)
