"""quarnex-check: run the data checks of a model-building run on data files.

Reads each file (CSV, possibly compressed; Parquet when pyarrow is installed;
Excel when openpyxl is installed; ``-`` for CSV on standard input), passes it
to ``DataHelper.process_data`` with the column designations given as options
and prints what came back: accepted or refused, the refusal text, the
warnings, the row counts and the resolved columns, followed by diagnostics
(check_diagnostics.py) that say where a problem lies and what to try.

Column designations (``--target``, ``--feature``, ``--timestamp``,
``--anomaly-label``) are column labels, or zero-based column positions:

* ``3`` or ``#3``: the column at position 3 (a value made only of digits is
  always a position);
* ``=3``: the column labelled ``3`` (a leading ``=`` always means a label, so
  ``==x`` is the label ``=x``);
* anything else: the column with that label.

Exit status: 0 accepted (with or without warnings), 1 refused by a check (or,
with ``--strict``, accepted with warnings or with notes on changes to the
data), 2 usage or file error, 3 the checks stopped with an unexpected error;
with several files, the worst of them.

A designation that names no column is a warning of the checks for features
(the feature is left out) and a refusal for the other roles. The command keeps
that verdict, so a misspelt ``--feature`` alone leaves exit status 0: the data
would be accepted by a model builder as given. The report names the closest
column ("did you mean"); ``--strict`` turns any warning into exit status 1 for
scripts that must not go on with a dropped feature.
"""

from __future__ import annotations

import argparse
import importlib.resources
import importlib.util
import json
import math
import os
import re
import sys
import warnings
from pathlib import Path
from typing import Any

__all__ = ["main"]

PROG = "quarnex-check"
EXIT_ACCEPTED, EXIT_REFUSED, EXIT_USAGE, EXIT_UNEXPECTED = 0, 1, 2, 3

# Options that --example fills in unless they are given.
EXAMPLE_FILE = ("example_data", "hourly.csv")
EXAMPLE_OPTIONS = {"target": ["load"], "feature": ["temperature"], "timestamp": "time"}


class UsageError(Exception):
    """A bad option or an unreadable file: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, no usage block
        raise UsageError(f"{message} (see {PROG} --help)")


def _parser() -> argparse.ArgumentParser:
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


# ---- options ----------------------------------------------------------------------


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


# ---- files -------------------------------------------------------------------------

CSV_COMPRESSED = (".gz", ".bz2", ".zip", ".xz", ".zst", ".tar")
EXCEL = (".xlsx", ".xlsm")
PARQUET = (".parquet", ".pq")
CELL_LIMIT = 1_000_000  # characters: a longer cell is not a data value
PROGRESS_ROWS = 1_000_000


def _needs(module: str, what: str, extra: str) -> None:
    try:
        __import__(module)
    except ImportError:
        raise UsageError(f'reading {what} needs {module}: pip install "quarnex-data-helper[{extra}]"') from None


def csv_options(args) -> dict:
    """The CSV options of the command line, as read_table takes them."""
    return {
        "sep": getattr(args, "sep", None),
        "decimal": getattr(args, "decimal", None),
        "thousands": getattr(args, "thousands", None),
        "na_values": getattr(args, "na_values", None),
    }


def read_table(name: str, as_text: bool, encoding: str | None = None, progress=None, csv: dict | None = None):
    """Reads a data file (``-``: standard input) into a DataFrame; any failure is a UsageError.

    For CSV, ``csv`` holds the separator, decimal mark, thousands separator and missing-value
    markers given (see csv_options); the separator is found from the file when not given. The
    separator and decimal mark used are kept in ``df.attrs["csv"]``.
    """
    import io

    import pandas as pd

    source: Any
    if name == "-":
        source, suffix, shown = io.BytesIO(sys.stdin.buffer.read()), "", "standard input"
    else:
        path = Path(name)
        shown, suffix = name, "".join(path.suffixes[-2:]).lower()
        if path.is_dir():
            raise UsageError(f"{name}: is a folder, not a data file")
        if not path.exists():
            raise UsageError(f"{name}: no such file")
        source = path
    kind = "parquet" if suffix.endswith(PARQUET) else "excel" if suffix.endswith(EXCEL) else "csv"
    try:
        if kind == "csv" and not suffix.endswith(CSV_COMPRESSED):
            head = source.getvalue()[:65536] if isinstance(source, io.BytesIO) else _head(source)
            if not head.strip():
                raise UsageError(f"{shown}: is empty")
            if b"\0" in head:
                raise UsageError(f"{shown}: is not a text file (it holds binary data)")
        if kind == "parquet":
            _needs("pyarrow", "Parquet files", "parquet")
            df = pd.read_parquet(source)
            df = df.astype(str) if as_text else df
        elif kind == "excel":
            _needs("openpyxl", "Excel files", "excel")
            df = pd.read_excel(source, dtype=str if as_text else None, keep_default_na=not as_text)
            if as_text:
                df = df.fillna("")
        else:
            given = dict(csv or {})
            options: dict[str, Any] = {"dtype": str, "keep_default_na": False} if as_text else {}
            if encoding:
                options["encoding"] = encoding
            sep = given.get("sep") or _sniff_separator(_text_head(source, suffix, encoding))
            options.update(sep=sep, index_col=False)
            for key in ("decimal", "thousands", "na_values"):
                if given.get(key):
                    options[key] = given[key]
            df = _read_csv(source, shown, options, progress)
            df.attrs["csv"] = {"separator": sep, "decimal": options.get("decimal", ".")}
    except UsageError:
        raise
    except FileNotFoundError:
        raise UsageError(f"{shown}: no such file") from None
    except (UnicodeDecodeError, LookupError) as exc:
        if isinstance(exc, LookupError) and not isinstance(exc, UnicodeError):
            raise UsageError(f"unknown encoding {encoding!r}") from None
        raise UsageError(
            f"{shown}: is not text in {encoding or 'UTF-8'}; give its encoding with --encoding, e.g. --encoding latin-1"
        ) from None
    except OSError as exc:
        raise UsageError(f"{shown}: {exc.strerror or exc}") from None
    except pd.errors.EmptyDataError:
        raise UsageError(f"{shown}: is empty") from None
    except MemoryError:
        raise UsageError(f"{shown}: too large to read into memory") from None
    except Exception as exc:  # the readers' own errors: bad quoting, ragged rows, not Parquet, ...
        detail = " ".join(str(exc).split()) or type(exc).__name__
        detail = detail.replace("Error tokenizing data. C error: ", "")
        raise UsageError(f"{shown}: cannot be read: {detail[:300]}") from None
    if not (isinstance(df.index, pd.RangeIndex) and df.index.start == 0 and df.index.step == 1):
        df = df.reset_index()  # a Parquet file's stored index (often the time) becomes a column
    if len(df.columns) == 0:
        raise UsageError(f"{shown}: has no columns")
    if len(df) == 0:
        raise UsageError(f"{shown}: has a header but no data rows")
    for position, dtype in enumerate(df.dtypes):
        if dtype == object or isinstance(dtype, pd.StringDtype):  # text (pandas 3: its string dtype)
            lengths = df.iloc[:, position].map(lambda v: len(v) if isinstance(v, str) else 0)
            if int(lengths.max()) > CELL_LIMIT:
                row = int(lengths.to_numpy().argmax()) + 1
                raise UsageError(
                    f"{shown}: row {row} of column {df.columns[position]!r} holds "
                    f"{int(lengths.max()):,} characters; no data value is that long "
                    "(a quote left open?)"
                )
    return df


def _read_csv(source, shown: str, options: dict, progress):
    """pandas.read_csv with the options; a row with more fields than the header is a UsageError
    naming it, unless its extra fields are all empty (a separator at the end of every row, as
    spreadsheets export): those fields are left out."""
    import pandas as pd

    def read(**more):
        if hasattr(source, "seek"):
            source.seek(0)
        if progress is not None and _size(source) > 20_000_000:
            chunks = []
            for chunk in pd.read_csv(source, chunksize=200_000, **options, **more):
                chunks.append(chunk)
                progress(f"reading {shown}: {sum(len(c) for c in chunks):,} rows")
            progress("")
            return pd.concat(chunks, ignore_index=True) if chunks else pd.DataFrame()
        return pd.read_csv(source, **options, **more)

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always", pd.errors.ParserWarning)
        df = read()
    if not any(issubclass(w.category, pd.errors.ParserWarning) for w in seen):
        return _without_empty_last_column(df)
    # Some rows have more fields than the header: find the first whose extra fields hold data.
    header = len(df.columns)
    for row, extra in _extra_fields(source, options, header):
        if any(field.strip() for field in extra):
            raise UsageError(
                f"{shown}: row {row} has {header + len(extra)} fields but the header names {header}; "
                "give every column a name in the header"
            )
    return read(usecols=list(range(header)))


def _without_empty_last_column(df):
    """The table without a last column that has no name and no value (the header, too, ended with
    a separator)."""
    if len(df.columns) > 1:
        last = df.columns[-1]
        if isinstance(last, str) and last.startswith("Unnamed: ") and df[last].isna().all():
            return df.iloc[:, :-1]
    return df


def _extra_fields(source, options: dict, header: int):
    """(data row, the fields beyond the header's) of each row that has more fields than the header."""
    import csv as csv_module

    with _open_text(source, options.get("encoding")) as text:
        rows = csv_module.reader(text, delimiter=options["sep"])
        next(rows, None)
        for row, fields in enumerate(rows, 1):
            if len(fields) > header:
                yield row, fields[header:]


def _open_text(source, encoding):
    """The file (a path, perhaps compressed, or the bytes of standard input) as text."""
    import io

    if hasattr(source, "getvalue"):
        return io.TextIOWrapper(io.BytesIO(source.getvalue()), encoding=encoding or "utf-8", errors="replace")
    suffix = source.suffix.lower()
    if suffix == ".gz":
        import gzip

        return gzip.open(source, "rt", encoding=encoding or "utf-8", errors="replace", newline="")
    if suffix == ".bz2":
        import bz2

        return bz2.open(source, "rt", encoding=encoding or "utf-8", errors="replace", newline="")
    if suffix == ".xz":
        import lzma

        return lzma.open(source, "rt", encoding=encoding or "utf-8", errors="replace", newline="")
    if suffix == ".zip":
        import zipfile

        archive = zipfile.ZipFile(source)
        member = archive.open(archive.namelist()[0])
        return io.TextIOWrapper(member, encoding=encoding or "utf-8", errors="replace", newline="")
    return open(source, encoding=encoding or "utf-8", errors="replace", newline="")


def _text_head(source, suffix: str, encoding) -> str:
    """The first 64 KiB of the file as text (decompressed), for finding its separator."""
    if (
        not hasattr(source, "getvalue")
        and suffix.endswith(CSV_COMPRESSED)
        and not suffix.endswith((".gz", ".bz2", ".xz", ".zip"))
    ):
        return ""
    try:
        with _open_text(source, encoding) as text:
            return text.read(65536)
    except (OSError, EOFError, LookupError, ValueError, UnicodeError):
        return ""  # the reader reports it


def _sniff_separator(head: str) -> str:
    """The separator among , ; tab | that splits the lines of the head most evenly into the most
    fields (quoted fields apart); a comma when none splits the header."""
    lines = [line for line in head.splitlines() if line.strip()]
    if len(lines) > 1 and not head.endswith(("\n", "\r")):
        lines = lines[:-1]  # the head may have cut the last line
    lines = lines[:50]

    def count(line, sep):
        n, quoted = 0, False
        for ch in line:
            if ch == '"':
                quoted = not quoted
            elif ch == sep and not quoted:
                n += 1
        return n

    best, best_score = ",", None
    for sep in SEPARATORS:
        counts = [count(line, sep) for line in lines]
        if not counts or counts[0] == 0:
            continue
        even = sum(1 for c in counts if c in (counts[0], counts[0] + 1)) / len(counts)
        score = (even, counts[0])
        if best_score is None or score > best_score:
            best, best_score = sep, score
    return best


def _head(path: Path) -> bytes:
    with open(path, "rb") as f:
        return f.read(65536)


def _size(source) -> int:
    try:
        return source.getbuffer().nbytes if hasattr(source, "getbuffer") else source.stat().st_size
    except OSError:
        return 0


def example_path() -> Path:
    resource = importlib.resources.files("quarnex.utils").joinpath(*EXAMPLE_FILE)
    return Path(str(resource))


# ---- the report --------------------------------------------------------------------


def _plain(value: Any) -> Any:
    """A value that JSON can hold: numbers, texts and None as they are."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    item = getattr(value, "item", None)  # numpy scalars
    if callable(item):
        try:
            return _plain(item())
        except (TypeError, ValueError):
            pass
    return str(value)


def _column(df, position) -> dict:
    label = None
    try:
        label = df.columns[position]
    except (IndexError, TypeError):
        pass
    return {"position": _plain(position), "label": _plain(label)}


def _step_text(step) -> str:
    """A time step in short units (100ms, 1h, 1d 12h, 1 week), a number as it is."""
    import pandas as pd

    if not isinstance(step, pd.Timedelta):
        return str(_plain(step))
    nanoseconds = int(step.value)
    sign, rest = ("-" if nanoseconds < 0 else ""), abs(nanoseconds)
    if rest and rest % (7 * 86400 * 10**9) == 0:
        weeks = rest // (7 * 86400 * 10**9)
        return f"{sign}{weeks} week{'s' if weeks != 1 else ''}"
    parts = []
    for unit, size in (("d", 86400), ("h", 3600), ("min", 60), ("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        size = round(size * 10**9)
        if rest >= size:
            parts.append(f"{rest // size}{unit}")
            rest %= size
    return sign + (" ".join(parts) or "0s")


#: Calendar steps: months between neighbours -> the words for them.
_CALENDAR_STEPS = {1: "1 month", 3: "1 quarter", 12: "1 year"}


def _calendar_step(column) -> str | None:
    """ "1 month", "1 quarter", "1 year" (or "N months") when most neighbours of a datetime column are
    that many calendar months apart on the same day and time of day."""
    import pandas as pd

    if not pd.api.types.is_datetime64_any_dtype(column) or len(column) < 3:
        return None
    times = column.dt
    months = (times.year * 12 + times.month).diff().dropna()
    month_ends = times.is_month_end & pd.Series(times.is_month_end).shift(fill_value=False).to_numpy()
    same_place = ((times.day == times.day.shift()) | month_ends) & (times.time == times.time.shift())
    same_place = same_place.iloc[1:]
    common = months[same_place & (months > 0)].mode()
    if common.empty or int(common.iloc[0]) < 1:
        return None
    k = int(common.iloc[0])
    if float((same_place & (months == k)).mean()) < 0.5:
        return None
    return _CALENDAR_STEPS.get(k, f"{k} months")


def _time_summary(table, position) -> dict | None:
    if len(table) == 0:
        return None
    column = table.iloc[:, position]
    first, last = column.iloc[0], column.iloc[-1]
    steps = column.diff().dropna()
    common = steps.mode() if len(steps) else []
    return {
        "first": str(first),
        "last": str(last),
        "step": _calendar_step(column) or (_step_text(common.iloc[0]) if len(common) else None),
    }


SCHEMA_VERSION = 1
QUARTER = re.compile(r"^\s*(?:(\d{4})\s*[-/ ]?\s*[Qq]([1-4])|[Qq]([1-4])\s*[-/ ]?\s*(\d{4}))\s*$")
#: --date-format words for numbers: the unit and origin of pandas.to_datetime.
NUMBER_FORMATS = {"unix": ("s", "unix"), "unix_ms": ("ms", "unix"), "excel": ("D", "1899-12-30")}
_CODE = re.compile(r"^(QUARNEX\d{4,5}[EW]):")


def _code(text: str) -> str | None:
    found = _CODE.match(text)
    return found.group(1) if found else None


def read_times(df, position: int, date_format: str | None, dayfirst: bool) -> list[tuple[int, Any]]:
    """Reads the timestamp column in place as --date-format/--dayfirst say; returns the values it could not read.

    The column is replaced only when every value that is not empty was read.
    """
    import pandas as pd

    column = df.iloc[:, position]
    missing = column.isna() | column.map(lambda v: isinstance(v, str) and not v.strip().strip('"').strip())
    texts = column.map(
        lambda v: (
            v
            if v is None or (isinstance(v, float) and math.isnan(v))
            else str(int(v))
            if isinstance(v, float) and v.is_integer()
            else str(v).strip().strip('"')
        )
    )
    texts = texts.where(~missing, None)
    if date_format and date_format.lower() == "quarter":
        read = pd.Series(pd.NaT, index=column.index, dtype="datetime64[ns]")
        for i, text in texts.items():
            if text is None:
                continue
            found = QUARTER.match(text)
            if found:
                year, quarter = (found.group(1), found.group(2)) if found.group(1) else (found.group(4), found.group(3))
                read[i] = pd.Timestamp(int(year), 3 * int(quarter) - 2, 1)
    elif date_format and date_format.lower() in NUMBER_FORMATS:
        unit, origin = NUMBER_FORMATS[date_format.lower()]
        numbers = pd.to_numeric(texts, errors="coerce")
        try:
            read = pd.to_datetime(numbers, unit=unit, origin=origin, errors="coerce")
        except (ValueError, OverflowError):
            read = pd.Series(pd.NaT, index=column.index, dtype="datetime64[ns]")
    elif date_format:
        read = pd.to_datetime(texts, format=date_format, errors="coerce")
    else:
        read = pd.to_datetime(texts, dayfirst=dayfirst, format="mixed", errors="coerce")
    bad = [(i, column.iloc[i]) for i in (read.isna() & ~missing).to_numpy().nonzero()[0]]
    if not bad:
        df[df.columns[position]] = read
    return [(int(i), v) for i, v in bad]


def check_settings(args) -> dict:
    """The options of a check as process_data takes them (plain data, so it can go to other processes)."""
    from quarnex.utils import constants

    lt = learning_type(args.learning_type, constants)
    size = tshirt_size(args.size, constants)
    anomaly = constants.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION
    if args.anomaly_label is not None and lt != anomaly:
        raise UsageError("--anomaly-label applies only to --learning-type anomaly")
    timestamp = designation(args.timestamp) if args.timestamp is not None else None
    if (args.date_format or args.dayfirst) and timestamp is None:
        raise UsageError("--date-format and --dayfirst need --timestamp")
    return {
        "learning_type": lt,
        "size": size,
        "holdout": holdout_size(args.holdout),
        "target": [designation(v) for v in args.target] if args.target else None,
        "feature": [designation(v) for v in args.feature] if args.feature else None,
        "timestamp": timestamp,
        "anomaly_label": designation(args.anomaly_label) if args.anomaly_label is not None else None,
    }


def run_check(args: argparse.Namespace, name: str, progress=None) -> tuple[dict, Any, dict]:
    """Runs process_data on one file as the options say.

    Returns the report, the prepared table (None unless accepted) and the table as read with the
    positions of its timestamp and target columns (for the picture).
    """
    settings = check_settings(args)
    args._progress = progress
    df = read_table(name, args.text, args.encoding, progress, csv_options(args))
    holdout_df = (
        read_table(args.holdout_file, args.text, args.encoding, csv=csv_options(args)) if args.holdout_file else None
    )
    return check_frame(df, holdout_df, args, settings, name, progress)


def check_frame(df, holdout_df, args, settings: dict, name=None, progress=None) -> tuple[dict, Any, dict]:
    """Runs process_data on one table with the options (args) as check_settings resolved them; returns
    as run_check does. The caller's tables are changed as process_data changes them."""
    from quarnex.utils import check_diagnostics as diag
    from quarnex.utils import constants
    from quarnex.utils.data_helper import DataHelper

    lt, size, holdout = settings["learning_type"], settings["size"], settings["holdout"]
    targets = list(settings["target"]) if settings["target"] is not None else None
    features = list(settings["feature"]) if settings["feature"] is not None else None
    timestamp, label = settings["timestamp"], settings["anomaly_label"]
    anomaly = constants.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION
    report: dict[str, Any] = {
        "schema_version": SCHEMA_VERSION,
        "file": None if name is None else "-" if name == "-" else str(name),
        "holdout_file": args.holdout_file,
        "learning_type": lt,
        "size": size,
        "status": None,
        "exit_status": None,
        "refusal": None,
        "refusal_code": None,
        "error": None,
        "warnings": [],
        "warning_codes": [],
        "rows_in": len(df),
        "holdout_rows_in": None if holdout_df is None else len(holdout_df),
        "rows_out": None,
        "holdout_rows": None,
        "columns": None,
        "time": None,
        "csv": df.attrs.get("csv"),
        "diagnostics": [],
    }
    found: list[dict] = report["diagnostics"]
    ts_pos = diag.resolve(df, timestamp) if timestamp is not None else None
    roles = {}
    for role, given in (
        ("target", targets),
        ("feature", features),
        ("anomaly label", [label] if label is not None else None),
    ):
        for d in given or ():
            pos = diag.resolve(df, d)
            if pos is None:
                hint = diag.did_you_mean(df, role, d)
                if hint:
                    found.append(hint)
            elif pos != ts_pos:
                roles.setdefault(pos, role)
    if timestamp is not None and ts_pos is None:
        hint = diag.did_you_mean(df, "timestamp", timestamp)
        if hint:
            found.append(hint)
    raw = df.copy(deep=True)  # the checks convert df in place; the diagnostics look at the file as read
    info = {
        "df": raw,
        "ts": ts_pos,
        "targets": [p for p in (diag.resolve(df, d) for d in targets or ()) if p is not None and p != ts_pos],
    }

    if ts_pos is not None and (args.date_format or args.dayfirst):
        tables = [("", df)] + ([("holdout file ", holdout_df)] if holdout_df is not None else [])
        for which, table in tables:
            pos = diag.resolve(table, timestamp)
            bad = read_times(table, pos, args.date_format, args.dayfirst) if pos is not None else []
            if bad:
                how = f"--date-format {args.date_format}" if args.date_format else "--dayfirst"
                report["status"] = "refused"
                head = (
                    f"{len(bad)} value{'s' if len(bad) != 1 else ''} of the {which}timestamp column "
                    f"{table.columns[pos]} cannot be read with {how}"
                )
                report["refusal"] = f"{head}; the first: {diag.show(bad[0][1])} on row {bad[0][0] + 1}"
                listed = "; ".join(f"{diag.show(v)} on row {i + 1}" for i, v in bad[: diag.SHOWN])
                found.append(
                    diag._finding(
                        "refused_value",
                        "note",
                        table.columns[pos],
                        f"{head}: {listed}{diag._more(len(bad))}.",
                        count=len(bad),
                        examples=[{"row": i + 1, "value": diag._text(v)} for i, v in bad[: diag.SHOWN]],
                    )
                )
                return _finish(report, args, raw, ts_pos, roles, None, None), None, info

    warn_msg: list = []
    report["warnings"] = warn_msg
    big = progress is not None and len(df) >= PROGRESS_ROWS
    ticker = progress(f"checking {len(df):,} rows ...", tick=True) if big else None
    try:
        result = DataHelper.process_data(
            df, lt, targets, features, timestamp, label, holdout, holdout_df, size, warn_msg
        )
    except Exception as exc:
        if type(exc) is Exception:
            report["status"] = "refused"
            report["refusal"] = " ".join(str(a) for a in exc.args)
            report["refusal_code"] = _code(report["refusal"])
        else:
            report["status"] = "error"
            report["error"] = f"{type(exc).__name__}: {exc}"
        return _finish(report, args, raw, ts_pos, roles, None, None), None, info
    finally:
        if ticker is not None:
            ticker()

    table, _holdout, rows, target_idx, feature_idx, ts_idx, label_idx = result
    report["status"] = "accepted"
    report["rows_out"] = len(table)
    report["holdout_rows"] = _plain(rows)
    report["columns"] = {
        "target": [_column(table, i) for i in target_idx],
        "feature": [_column(table, i) for i in feature_idx],
        "timestamp": None if ts_idx == -1 else _column(table, ts_idx),
        "anomaly_label": _column(table, label_idx) if lt == anomaly and label_idx is not None else None,
    }
    if ts_idx != -1:
        report["time"] = _time_summary(table, ts_idx)
    report = _finish(report, args, raw, ts_pos, roles, table, (ts_idx, label_idx if lt == anomaly else None))
    return report, table, info


def _finish(report, args, raw, ts_pos, roles, table, positions) -> dict:
    """Adds the diagnostics, the warning codes and the exit status to a report."""
    found = report["diagnostics"]
    code = report["refusal_code"]
    ticker = (
        args._progress("diagnosing ...", tick=True)
        if getattr(args, "_progress", None) and len(raw) >= PROGRESS_ROWS
        else None
    )
    try:
        _diagnose(report, args, raw, ts_pos, roles, table, positions, found, code)
    except Exception as exc:  # a diagnostic must never hide the verdict behind a traceback
        found.append(
            {
                "kind": "diagnostic_failed",
                "level": "note",
                "column": None,
                "message": f"The diagnostics stopped early: {type(exc).__name__}: {exc}",
                "changes_data": False,
                "count": None,
                "examples": [],
            }
        )
    finally:
        if ticker is not None:
            ticker()
    status = report["status"]
    if status == "accepted":
        strict_fail = args.strict and (report["warnings"] or any(f["changes_data"] for f in found))
        report["exit_status"] = EXIT_REFUSED if strict_fail else EXIT_ACCEPTED
    else:
        report["exit_status"] = EXIT_REFUSED if status == "refused" else EXIT_UNEXPECTED
    return report


def _diagnose(report, args, raw, ts_pos, roles, table, positions, found, code) -> None:
    from quarnex.utils import check_diagnostics as diag

    report["warning_codes"] = [_code(w) for w in report["warnings"]]
    refused = report["status"] != "accepted"
    if ts_pos is not None:
        repeated = diag.repeated_timestamps(raw, ts_pos)
        if code == "QUARNEX0075E" and not repeated:
            repeated = diag.repeated_instants(raw, ts_pos)
        found += repeated
        if code == "QUARNEX0075E" and repeated:
            found += diag.series_id_hint(raw, ts_pos, roles)
        empty_ts = int(raw.iloc[:, ts_pos].isna().sum())
        if code == "QUARNEX0075E" and not repeated and empty_ts > 1:
            found.append(
                diag._finding(
                    "repeated_timestamps",
                    "note",
                    raw.columns[ts_pos],
                    f"The {empty_ts} empty timestamps count as repeated: give a time on those rows or remove them.",
                    count=empty_ts,
                    examples=[
                        {"row": int(i) + 1, "value": None}
                        for i in raw.iloc[:, ts_pos].isna().to_numpy().nonzero()[0][: diag.SHOWN]
                    ],
                )
            )
        found += diag.dropped_rows(raw, ts_pos)
        if code in ("QUARNEX0079E", "QUARNEX0080E"):
            found += diag.zone_refusal(raw, ts_pos, code)
        if code == "QUARNEX0076E":
            bad = diag.refused_times(raw, ts_pos)
            found += bad
            if args.text and any(e["value"] == "" for f in bad for e in f["examples"]):
                found.append(
                    diag._finding(
                        "refused_value",
                        "hint",
                        raw.columns[ts_pos],
                        "With --text an empty cell is an empty text, which no parser reads; "
                        "without --text, rows with an empty timestamp are left out.",
                    )
                )
        if not (args.date_format or args.dayfirst):
            parsed = None
            if table is not None and positions is not None and positions[0] != -1 and not args.holdout_file:
                parsed = table.iloc[:, positions[0]]
            found += diag.timestamp_form(raw, ts_pos, args.dayfirst, args.date_format, parsed)
    if refused and code in ("QUARNEX0073E", None):
        for pos in sorted(roles):
            if diag.is_text(raw.dtypes.iloc[pos]):
                found += diag.refused_numbers(raw, pos)
    found += diag.empty_values(raw, roles)
    if table is not None and positions is not None:
        ts_idx, label_idx = positions
        if ts_idx != -1 and len(table) > 2:
            found += diag.time_steps(table, ts_idx, _step_text, rows_known=not args.holdout_file)
        if label_idx is not None:
            found += diag.anomaly_labels(table, label_idx, report["holdout_rows"] or 0)


def format_report(report: dict) -> str:
    def cols(entries):
        if not entries:
            return "none"
        return ", ".join(f"#{c['position']} {c['label']}" for c in entries)

    def cut(text):
        return text if len(text) <= 400 else text[:400] + f"... ({len(text)} characters)"

    status = report["status"]
    n_warn = len(report["warnings"])
    verdict = {"accepted": "accepted", "refused": "refused", "error": "stopped by an unexpected error"}[status]
    if status == "accepted" and n_warn:
        verdict += f" with {n_warn} warning{'s' if n_warn != 1 else ''}"
    if status == "accepted" and report["exit_status"] == EXIT_REFUSED:
        verdict += " (refused under --strict)"
    lines = [f"{PROG}: {report['file']}"]
    if report["holdout_file"]:
        lines.append(f"  holdout file   {report['holdout_file']}")
    read_as = report.get("csv")
    if read_as and (read_as["separator"] != "," or read_as["decimal"] != "."):
        sep = "tab" if read_as["separator"] == "\t" else read_as["separator"]
        lines.append(f"  read as        CSV, separator {sep}, decimal mark {read_as['decimal']}")
    lines.append(f"  learning type  {report['learning_type']}, t-shirt size {report['size']}")
    lines.append(f"  result         {verdict}")
    if report["refusal"]:
        lines.append(f"  refusal        {cut(report['refusal'])}")
    if report["error"]:
        lines.append(f"  error          {cut(report['error'])}")
    for i, w in enumerate(report["warnings"]):
        lines.append(f"  {'warnings' if i == 0 else '':<15}- {cut(w)}")
    rows = f"{report['rows_in']} in"
    if report["holdout_rows_in"] is not None:
        rows += f" (+ {report['holdout_rows_in']} holdout)"
    if report["rows_out"] is not None:
        rows += f", {report['rows_out']} out"
    lines.append(f"  rows           {rows}")
    if report["holdout_rows"] is not None:
        lines.append(f"  holdout rows   {report['holdout_rows']}")
    columns = report["columns"]
    if columns is not None:
        lines.append(f"  target         {cols(columns['target'])}")
        lines.append(f"  feature        {cols(columns['feature'])}")
        ts = columns["timestamp"]
        lines.append(f"  timestamp      {cols([ts] if ts else [])}")
        time = report["time"]
        if time:
            step = f", most common step {time['step']}" if time["step"] else ""
            lines.append(f"  time           {time['first']} to {time['last']}{step}")
        if columns["anomaly_label"]:
            lines.append(f"  anomaly label  {cols([columns['anomaly_label']])}")
    for level, title in (("note", "notes"), ("hint", "hints")):
        for i, f in enumerate(f for f in report["diagnostics"] if f["level"] == level):
            lines.append(f"  {title if i == 0 else '':<15}- {f['message']}")
    return "\n".join(lines)


def _progress_printer(enabled: bool):
    """A function that shows progress on standard error, or None when it must stay silent."""
    if not enabled:
        return None
    import threading
    import time

    def show(text: str, tick: bool = False):
        """Shows text; with tick, keeps counting the seconds until the returned function is called."""
        print(f"\r{PROG}: {text}\033[K" if text else "\r\033[K", end="", file=sys.stderr, flush=True)
        if not tick:
            return None
        stop = threading.Event()
        started = time.monotonic()

        def ticking():
            while not stop.wait(1.0):
                print(f"\r{PROG}: {text} {time.monotonic() - started:.0f} s\033[K", end="", file=sys.stderr, flush=True)

        thread = threading.Thread(target=ticking, daemon=True)
        thread.start()

        def done():
            stop.set()
            thread.join()
            print("\r\033[K", end="", file=sys.stderr, flush=True)

        return done

    return show


def _check_one(args, name, progress) -> dict:
    report, table, raw = run_check(args, name, progress)
    if table is not None and args.output and report["exit_status"] == EXIT_ACCEPTED:
        try:
            table.to_csv(args.output, index=False)
        except OSError as exc:
            raise UsageError(f"{args.output}: cannot write: {exc.strerror or exc}") from None
    if args.plot or args.html:
        from quarnex.utils import check_plot

        picture, note = None, None
        try:
            picture = check_plot.draw(report, table, raw, args.plot)
        except check_plot.PlotUnavailable as exc:
            if args.plot:
                raise UsageError(f"--plot: {exc}") from None
            note = str(exc)
        except OSError as exc:
            raise UsageError(f"{args.plot}: cannot write: {exc.strerror or exc}") from None
        except Exception as exc:  # matplotlib's own failures on odd data: the report still stands
            note = f"the picture could not be drawn: {type(exc).__name__}: {exc}"
            if args.plot:
                raise UsageError(f"--plot: {note}") from None
        if args.html:
            failed = check_plot.write_html(args.html, report, format_report(report), picture, note)
            if failed:
                raise UsageError(failed)
    return report


def main(argv: list[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
        if args.example:
            if args.files:
                raise UsageError("give either a FILE or --example, not both")
            args.files = [str(example_path())]
            for key, value in EXAMPLE_OPTIONS.items():
                if getattr(args, key) is None:
                    setattr(args, key, value)
        elif not args.files:
            raise UsageError(f"give a data FILE, or --example (see {PROG} --help)")
        if len(args.files) > 1:
            for option in ("output", "plot", "html", "holdout_file", "series_id"):
                if getattr(args, option):
                    raise UsageError(f"--{option.replace('_', '-')} takes one data FILE, not {len(args.files)}")
        if args.files.count("-") > 1:
            raise UsageError("standard input (-) can be read only once")
        if args.plot and not args.plot.lower().endswith((".png", ".svg")):
            raise UsageError(f"{args.plot}: the picture must be a .png or .svg file")
        if args.plot and importlib.util.find_spec("matplotlib") is None:
            raise UsageError('--plot needs matplotlib: pip install "quarnex-data-helper[plot]"')
        if args.jobs is not None and not args.series_id:
            raise UsageError("--jobs applies only with --series-id")
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    try:
        return _run(args)
    except BrokenPipeError:  # the reader of the report went away (| head): not an error of the data
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_USAGE


def _run(args) -> int:
    progress = _progress_printer(not args.json and sys.stderr.isatty())
    if args.series_id:
        from quarnex.utils import series

        try:
            return series.main(args, args.files[0], progress)
        except UsageError as exc:
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            return EXIT_USAGE
    worst, reports = EXIT_ACCEPTED, []
    for name in args.files:
        try:
            report = _check_one(args, name, progress)
        except UsageError as exc:
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            worst = max(worst, EXIT_USAGE)
            continue
        reports.append(report)
        worst = max(worst, report["exit_status"])
        if not args.json:
            if len(reports) > 1:
                print()
            print(format_report(report), flush=True)
    if args.json and reports:
        print(json.dumps(reports[0] if len(args.files) == 1 else reports, indent=2, ensure_ascii=False, default=_plain))
    return worst


if __name__ == "__main__":
    # Run the module's imported copy, so that its names (UsageError) are the ones other modules import.
    from quarnex.utils.check import main as _main

    sys.exit(_main())
