"""Reading the data files of quarnex-check: CSV (also compressed, or from standard input),
Parquet and Excel, each into one pandas table."""

from __future__ import annotations

import importlib.resources
import io
import stat
import sys
import warnings
from dataclasses import dataclass
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

    import pandas as pd

    source: Any
    limits = Limits(settings.max_rows, settings.max_bytes)
    if name == "-":
        source, suffix, shown = _standard_input(limits), "", "standard input"
    else:
        path = Path(name)
        shown, suffix = name, "".join(path.suffixes[-2:]).lower()
        if path.is_dir():
            raise UsageError(f"{name}: is a folder, not a data file")
        if not path.exists():
            raise UsageError(f"{name}: no such file")
        if not stat.S_ISREG(path.stat().st_mode):  # a FIFO could block for good, a device never end
            raise UsageError(
                f"{name}: is not a regular file (a pipe, device or socket); give a file, or - for standard input"
            )
        source = path
    kind = "parquet" if suffix.endswith(PARQUET) else "excel" if suffix.endswith(EXCEL) else "csv"
    try:
        if kind == "csv":
            head = _byte_head(source, suffix)
            if not encoding and head.startswith((b"\xff\xfe", b"\xfe\xff")):
                encoding = "utf-16"  # marked by its byte-order mark
            wide = _wide(encoding)
            if not (head.decode("utf-16", "replace") if wide else head).strip():
                raise UsageError(f"{shown}: is empty")
            if not wide and b"\0" in head:
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
            sep = given.get("sep") or _sniff_separator(_text_head(source, suffix, encoding, limits))
            options.update(sep=sep, index_col=False)
            for key in ("decimal", "thousands", "na_values"):
                if given.get(key):
                    options[key] = given[key]
            df = _read_csv(source, suffix, shown, options, limits, progress)
            df.attrs["csv"] = {"separator": sep, "decimal": options.get("decimal", ".")}
    except UsageError:
        raise
    except FileNotFoundError:
        raise UsageError(f"{shown}: no such file") from None
    except (UnicodeDecodeError, LookupError) as exc:
        if isinstance(exc, LookupError) and not isinstance(exc, UnicodeError):
            raise UsageError(f"unknown encoding {encoding!r}") from None
        where = _undecodable_row(source, suffix, encoding or "utf-8", limits)
        raise UsageError(
            f"{shown}: {where} is not text in {encoding or 'UTF-8'}; give its encoding with --encoding, "
            "e.g. --encoding latin-1"
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
        if (dtype == object or isinstance(dtype, pd.StringDtype)) and _longest(df.iloc[:, position]) > CELL_LIMIT:
            lengths = df.iloc[:, position].map(lambda v: len(v) if isinstance(v, str) else 0)
            if int(lengths.max()) > CELL_LIMIT:
                row = int(lengths.to_numpy().argmax()) + 1
                raise UsageError(
                    f"{shown}: row {row} of column {df.columns[position]!r} holds "
                    f"{int(lengths.max()):,} characters; no data value is that long "
                    "(a quote left open?)"
                )
    return df


def _longest(column) -> int:
    """The length of the longest text of a text column (pandas 3: its string dtype), 0 without one."""
    import pandas as pd

    if isinstance(column.dtype, pd.StringDtype):
        longest = column.str.len().max()
        return 0 if pd.isna(longest) else int(longest)
    values = column.to_numpy()
    try:  # texts and missing values, as a reader gives them: len of each in C
        return max(map(len, values[~pd.isna(values)]), default=0)
    except TypeError:  # values of other types too
        return max((len(v) for v in values if isinstance(v, str)), default=0)


def _read_csv(source, suffix: str, shown: str, options: dict, limits: Limits, progress):
    """pandas.read_csv with the options, from the file's bytes (decompressed here, as a stream
    within the limits); a row with more fields than the header is a UsageError naming it, unless
    its extra fields are all empty (a separator at the end of every row, as spreadsheets export):
    those fields are left out."""
    import pandas as pd

    def read(**more):
        with _guarded(source, suffix, shown, limits, check_nul=not _wide(options.get("encoding"))) as stream:
            more = {"nrows": limits.max_rows + 1, **more}
            try:
                if progress is not None and _size(source) > 20_000_000:
                    chunks = []
                    for chunk in pd.read_csv(stream, chunksize=200_000, **options, **more):
                        chunks.append(chunk)
                        progress(f"reading {shown}: {sum(len(c) for c in chunks):,} rows")
                    progress("")
                    df = pd.concat(chunks, ignore_index=True) if chunks else pd.DataFrame()
                else:
                    df = pd.read_csv(stream, **options, **more)
            except Exception:
                stream.raise_stop()  # the stream's own end comes first: the reader only saw it end
                raise
            stream.raise_stop()
        if len(df) > limits.max_rows:
            raise UsageError(f"{shown}: has more than {limits.max_rows:,} rows, the cap of --max-rows")
        return df

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always", pd.errors.ParserWarning)
        df = read()
    if not any(issubclass(w.category, pd.errors.ParserWarning) for w in seen):
        return _without_empty_last_column(df)
    # Some rows have more fields than the header: find the first whose extra fields hold data.
    header = len(df.columns)
    for row, extra in _extra_fields(source, suffix, options, header, limits):
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


def _extra_fields(source, suffix: str, options: dict, header: int, limits: Limits):
    """(data row, the fields beyond the header's) of each row that has more fields than the header."""
    import csv as csv_module

    with _text(source, suffix, options.get("encoding"), limits) as text:
        rows = csv_module.reader(text, delimiter=options["sep"])
        next(rows, None)
        for row, fields in enumerate(rows, 1):
            if len(fields) > header:
                yield row, fields[header:]


def _text(source, suffix: str, encoding, limits: Limits):

    stream = _guarded(source, suffix, "", limits, check_nul=False)
    return io.TextIOWrapper(stream, encoding=encoding or "utf-8", errors="replace", newline="")


def _text_head(source, suffix: str, encoding, limits: Limits) -> str:
    """The first 64 KiB of the file as text (decompressed), for finding its separator."""
    try:
        with _text(source, suffix, encoding, limits) as text:
            return text.read(65536)
    except (OSError, EOFError, LookupError, ValueError, UnicodeError, UsageError):
        return ""  # the reader reports it


def _undecodable_row(source, suffix: str, encoding: str, limits: Limits) -> str:
    """'row N' of the first line that is not text in the encoding (the header counts as row 0),
    or 'it' when the lines cannot be told apart."""
    import codecs

    if _wide(encoding):
        return "it"
    decoder = codecs.getincrementaldecoder(encoding)()
    try:
        with _guarded(source, suffix, "", limits, check_nul=False) as stream:
            for line, data in enumerate(stream):
                try:
                    decoder.decode(data)
                except UnicodeDecodeError:
                    return "the header" if line == 0 else f"row {line}"
    except (OSError, UsageError, LookupError, EOFError):
        pass
    return "it"


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


@dataclass(frozen=True)
class Limits:
    """How much a file may hold: rows, and bytes once decompressed (standard input and compressed
    files are read as a stream and stopped at the cap)."""

    max_rows: int
    max_bytes: int


def _wide(encoding) -> bool:
    """An encoding in which NUL bytes are part of ordinary text (UTF-16, UTF-32)."""
    import codecs

    try:
        name = codecs.lookup(encoding).name if encoding else ""
    except LookupError:
        return False
    return name.startswith(("utf-16", "utf-32"))


def _standard_input(limits: Limits):
    """Standard input in memory (it can be read once, and the separator is found from its head),
    up to the byte cap."""

    data, total = [], 0
    while chunk := sys.stdin.buffer.read(1 << 20):
        total += len(chunk)
        if total > limits.max_bytes:
            raise UsageError(f"standard input: holds more than {limits.max_bytes:,} bytes, the cap of --max-bytes")
        data.append(chunk)
    return io.BytesIO(b"".join(data))


def _decompressed(source, suffix: str):
    """The bytes of the file, decompressed by its ending, as a binary stream."""

    if hasattr(source, "getvalue"):
        return io.BytesIO(source.getvalue())
    if suffix.endswith(".gz"):
        import gzip

        return gzip.open(source, "rb")
    if suffix.endswith(".bz2"):
        import bz2

        return bz2.open(source, "rb")
    if suffix.endswith(".xz"):
        import lzma

        return lzma.open(source, "rb")
    if suffix.endswith(".zip"):
        import zipfile

        archive = zipfile.ZipFile(source)
        names = [n for n in archive.namelist() if not n.endswith("/")]
        if len(names) != 1:
            raise UsageError(f"{source}: a .zip file must hold one data file, not {len(names)}")
        return archive.open(names[0])
    if suffix.endswith(".zst"):
        needs("zstandard", "Zstandard files", "zstd")
        import zstandard

        return zstandard.ZstdDecompressor().stream_reader(open(source, "rb"), closefd=True)
    if suffix.endswith(".tar"):
        raise UsageError(f"{source}: a .tar archive is not a data file; unpack it first")
    return open(source, "rb")


class _Guarded(io.RawIOBase):
    """The file's (decompressed) bytes, stopped at the byte cap and at a NUL byte: the stream then
    ends early and remembers why, and raise_stop() raises that as a UsageError (pandas is not
    handed exceptions from inside its reading)."""

    def __init__(self, raw, shown: str, limits: Limits, check_nul: bool):
        super().__init__()
        self.raw, self.shown, self.limits, self.check_nul = raw, shown, limits, check_nul
        self.total, self.lines, self.stop, self.interrupted = 0, 0, None, False

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self.stop is not None:
            return 0
        try:
            data = self.raw.read(len(buffer))
        except KeyboardInterrupt:
            self.interrupted = True  # pandas 2 reports it as a reading error: raise_stop() says what it was
            raise
        if self.check_nul and b"\0" in data:
            line = self.lines + data.count(b"\n", 0, data.index(b"\0"))
            where = "the header" if line == 0 else f"row {line}"
            self.stop = f"{self.shown}: {where} holds a NUL byte; this is not a text file"
            return 0
        self.lines += data.count(b"\n")
        self.total += len(data)
        if self.total > self.limits.max_bytes:
            self.stop = f"{self.shown}: holds more than {self.limits.max_bytes:,} bytes of text, the cap of --max-bytes"
            return 0
        buffer[: len(data)] = data
        return len(data)

    def close(self) -> None:
        if not self.closed:
            self.raw.close()
        super().close()

    def raise_stop(self) -> None:
        if self.interrupted:
            raise KeyboardInterrupt
        if self.stop is not None:
            raise UsageError(self.stop)


class _Stream(io.BufferedReader):
    """A buffered _Guarded."""

    def raise_stop(self) -> None:
        self.raw.raise_stop()


def _guarded(source, suffix: str, shown: str, limits: Limits, check_nul: bool) -> _Stream:
    return _Stream(_Guarded(_decompressed(source, suffix), shown, limits, check_nul), 1 << 16)


def _byte_head(source, suffix: str) -> bytes:
    """The first 64 KiB of the file's (decompressed) bytes."""
    try:
        with _decompressed(source, suffix) as stream:
            return stream.read(65536)
    except (OSError, EOFError, ValueError) as exc:
        raise UsageError(f"{source}: cannot be read: {exc}") from None


def _size(source) -> int:
    try:
        return source.getbuffer().nbytes if hasattr(source, "getbuffer") else source.stat().st_size
    except OSError:
        return 0


def example_path() -> Path:
    resource = importlib.resources.files("quarnex.utils").joinpath(*EXAMPLE_FILE)
    return Path(str(resource))
