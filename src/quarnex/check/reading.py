"""Reading the data files of quarnex-check: CSV (also compressed, or from standard input),
Parquet and Excel, each into one pandas table."""

from __future__ import annotations

import importlib.resources
import sys
import warnings
from pathlib import Path
from typing import Any

from quarnex.check.options import EXAMPLE_FILE, SEPARATORS, Settings, UsageError

CSV_COMPRESSED = (".gz", ".bz2", ".zip", ".xz", ".zst", ".tar")
EXCEL = (".xlsx", ".xlsm")
PARQUET = (".parquet", ".pq")
CELL_LIMIT = 1_000_000  # characters: a longer cell is not a data value
PROGRESS_ROWS = 1_000_000


def needs(module: str, what: str, extra: str) -> None:
    try:
        __import__(module)
    except ImportError:
        raise UsageError(f'reading {what} needs {module}: pip install "quarnex-data-helper[{extra}]"') from None


def read_table(name: str, settings: Settings, progress=None):
    """Reads a data file (``-``: standard input) into a DataFrame as the settings say (every value as
    text with ``text``; the encoding, separator, decimal mark, thousands separator and missing-value
    markers of CSV); any failure is a UsageError. The separator of a CSV file is found from the file
    when not given; the separator and decimal mark used are kept in ``df.attrs["csv"]``."""
    as_text, encoding, csv = settings.text, settings.encoding, settings.csv
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
            needs("pyarrow", "Parquet files", "parquet")
            df = pd.read_parquet(source)
            df = df.astype(str) if as_text else df
        elif kind == "excel":
            needs("openpyxl", "Excel files", "excel")
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
