"""quarnex-check: run the data checks of a model-building run on a data file.

Reads a CSV file (or a Parquet file, when pyarrow is installed), passes it to
``DataHelper.process_data`` with the column designations given as options and
prints what came back: accepted or refused, the refusal text, the warnings,
the row counts and the resolved columns.

Column designations (``--target``, ``--feature``, ``--timestamp``,
``--anomaly-label``) are column labels, or zero-based column positions:

* ``3`` or ``#3``: the column at position 3 (a value made only of digits is
  always a position);
* ``=3``: the column labelled ``3`` (a leading ``=`` always means a label, so
  ``==x`` is the label ``=x``);
* anything else: the column with that label.

Exit status: 0 accepted (with or without warnings), 1 refused by a check,
2 usage or file error, 3 the checks stopped with an unexpected error.
"""

from __future__ import annotations

import argparse
import importlib.resources
import json
import math
import sys
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
        description="Check a data file the way a quarnex model builder does, and report the result.",
        epilog="Column designations: a label, or a zero-based position written as digits (3) or #3; "
        "=LABEL forces a label (=3 is the column labelled 3). "
        "Exit status: 0 accepted, 1 refused by a check, 2 usage or file error, 3 unexpected error.",
    )
    p.add_argument("file", nargs="?", help="CSV file, or Parquet (.parquet, .pq) when pyarrow is installed")
    p.add_argument("--example", action="store_true",
                   help="check the example data shipped with the package (hourly.csv: target load, "
                   "feature temperature, timestamp time, unless given)")
    p.add_argument("--learning-type", default="forecasting",
                   help="forecasting (default) or anomaly (timeseries_anomaly_prediction)")
    p.add_argument("--target", action="append", metavar="COL", help="target column; repeat for several")
    p.add_argument("--feature", action="append", metavar="COL", help="feature column; repeat for several")
    p.add_argument("--timestamp", metavar="COL", help="timestamp column")
    p.add_argument("--anomaly-label", metavar="COL", help="anomaly label column (anomaly prediction only)")
    p.add_argument("--holdout", default="0.2", metavar="SIZE",
                   help="holdout ratio (a number below 1 with a decimal point, e.g. 0.2) or number of rows "
                   "(e.g. 30); default 0.2; ignored with --holdout-file")
    p.add_argument("--holdout-file", metavar="FILE", help="user holdout data, same columns as FILE")
    p.add_argument("--size", default="M", metavar="SIZE", help="t-shirt size S, M, L or XL (default M)")
    p.add_argument("--text", action="store_true",
                   help="read every value as the text written in the file (empty cells stay empty texts); "
                   "the checks then convert the numeric columns themselves")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    p.add_argument("--output", metavar="FILE", help="write the prepared table as CSV when the data are accepted")
    p.add_argument("--series-id", nargs="+", metavar="COL",
                   help="the file holds many series told apart by these columns: check each series on its own")
    p.add_argument("--jobs", type=_jobs, metavar="N",
                   help="with --series-id: check the series in N worker processes (default: one per core)")
    return p


def _jobs(value: str) -> int:
    if not (value.isascii() and value.isdigit()) or int(value) < 1:
        raise UsageError(f"bad --jobs {value!r}: give a number of processes, 1 or more")
    return int(value)


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
    names = {forecasting: forecasting, "forecasting": forecasting, anomaly: anomaly, "anomaly": anomaly,
             "anomaly_prediction": anomaly}
    key = value.strip().lower().replace("-", "_")
    if key not in names:
        raise UsageError(f"unknown learning type {value!r}: use forecasting or anomaly")
    return names[key]


def tshirt_size(value: str, constants) -> str:
    sizes = [constants.TSHIRT_SIZE_SMALL, constants.TSHIRT_SIZE_MEDIUM, constants.TSHIRT_SIZE_LARGE,
             constants.TSHIRT_SIZE_EXTRA_LARGE]
    for size in sizes:
        if value.strip().upper() == size.upper():
            return size
    raise UsageError(f"unknown t-shirt size {value!r}: use one of {', '.join(sizes)}")


# ---- files -------------------------------------------------------------------------


def read_table(path: Path, as_text: bool):
    import pandas as pd

    if path.is_dir():
        raise UsageError(f"{path}: is a folder, not a data file")
    parquet = path.suffix.lower() in (".parquet", ".pq")
    try:
        if parquet:
            try:
                import pyarrow  # noqa: F401
            except ImportError:
                raise UsageError(f"{path}: reading Parquet files needs pyarrow (pip install pyarrow)") from None
            df = pd.read_parquet(path)
            return df.astype(str) if as_text else df
        if as_text:
            return pd.read_csv(path, dtype=str, keep_default_na=False)
        return pd.read_csv(path)
    except UsageError:
        raise
    except FileNotFoundError:
        raise UsageError(f"{path}: no such file") from None
    except OSError as exc:
        raise UsageError(f"{path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise UsageError(f"{path}: not a text file in UTF-8") from None
    except Exception as exc:  # the readers' own errors: empty file, bad quoting, not Parquet, ...
        detail = " ".join(str(exc).split()) or type(exc).__name__
        raise UsageError(f"{path}: cannot be read: {detail}") from None


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
    import pandas as pd

    if isinstance(step, pd.Timedelta):
        seconds = step.total_seconds()
        if seconds and seconds == int(seconds):
            parts, rest = [], int(abs(seconds))
            for unit, size in (("d", 86400), ("h", 3600), ("min", 60), ("s", 1)):
                if rest >= size:
                    parts.append(f"{rest // size}{unit}")
                    rest %= size
            return ("-" if seconds < 0 else "") + " ".join(parts)
        return str(step)
    return str(_plain(step))


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
        "step": _step_text(common.iloc[0]) if len(common) else None,
    }


def check_settings(args) -> dict:
    """The options of a check as process_data takes them (plain data, so it can go to other processes)."""
    from quarnex.utils import constants

    lt = learning_type(args.learning_type, constants)
    size = tshirt_size(args.size, constants)
    anomaly = constants.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION
    if args.anomaly_label is not None and lt != anomaly:
        raise UsageError("--anomaly-label applies only to --learning-type anomaly")
    return {
        "learning_type": lt,
        "size": size,
        "holdout": holdout_size(args.holdout),
        "target": [designation(v) for v in args.target] if args.target else None,
        "feature": [designation(v) for v in args.feature] if args.feature else None,
        "timestamp": designation(args.timestamp) if args.timestamp is not None else None,
        "anomaly_label": designation(args.anomaly_label) if args.anomaly_label is not None else None,
    }


def run_check(args: argparse.Namespace) -> tuple[dict, Any]:
    """Runs process_data as the options say; returns the report and the prepared table."""
    settings = check_settings(args)
    path = Path(args.file)
    df = read_table(path, args.text)
    holdout_df = read_table(Path(args.holdout_file), args.text) if args.holdout_file else None
    return check_frame(df, holdout_df, settings, str(path), args.holdout_file)


def check_frame(df, holdout_df, settings: dict, file=None, holdout_file=None) -> tuple[dict, Any]:
    """Runs process_data on one table with the settings of check_settings; returns the report and the
    prepared table (None unless accepted). The caller's tables are changed as process_data changes them."""
    from quarnex.utils import constants
    from quarnex.utils.data_helper import DataHelper

    lt, size, holdout = settings["learning_type"], settings["size"], settings["holdout"]
    targets = list(settings["target"]) if settings["target"] is not None else None
    features = list(settings["feature"]) if settings["feature"] is not None else None
    timestamp, label = settings["timestamp"], settings["anomaly_label"]
    anomaly = constants.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION
    report: dict[str, Any] = {
        "file": file,
        "holdout_file": holdout_file,
        "learning_type": lt,
        "size": size,
        "status": None,
        "refusal": None,
        "error": None,
        "warnings": [],
        "rows_in": len(df),
        "holdout_rows_in": None if holdout_df is None else len(holdout_df),
        "rows_out": None,
        "holdout_rows": None,
        "columns": None,
        "time": None,
    }
    warn_msg: list = []
    report["warnings"] = warn_msg
    try:
        result = DataHelper.process_data(df, lt, targets, features, timestamp, label, holdout, holdout_df, size,
                                         warn_msg)
    except Exception as exc:
        if type(exc) is Exception:
            report["status"] = "refused"
            report["refusal"] = " ".join(str(a) for a in exc.args)
        else:
            report["status"] = "error"
            report["error"] = f"{type(exc).__name__}: {exc}"
        return report, None

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
    return report, table


def format_report(report: dict) -> str:
    def cols(entries):
        if not entries:
            return "none"
        return ", ".join(f"#{c['position']} {c['label']}" for c in entries)

    status = report["status"]
    n_warn = len(report["warnings"])
    verdict = {"accepted": "accepted", "refused": "refused", "error": "stopped by an unexpected error"}[status]
    if status == "accepted" and n_warn:
        verdict += f" with {n_warn} warning{'s' if n_warn != 1 else ''}"
    lines = [f"{PROG}: {report['file']}"]
    if report["holdout_file"]:
        lines.append(f"  holdout file   {report['holdout_file']}")
    lines.append(f"  learning type  {report['learning_type']}, t-shirt size {report['size']}")
    lines.append(f"  result         {verdict}")
    if report["refusal"]:
        lines.append(f"  refusal        {report['refusal']}")
    if report["error"]:
        lines.append(f"  error          {report['error']}")
    for i, w in enumerate(report["warnings"]):
        lines.append(f"  {'warnings' if i == 0 else '':<15}- {w}")
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
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
        if args.example:
            if args.file is not None:
                raise UsageError("give either a FILE or --example, not both")
            args.file = str(example_path())
            for name, value in EXAMPLE_OPTIONS.items():
                if getattr(args, name) is None:
                    setattr(args, name, value)
        elif args.file is None:
            raise UsageError(f"give a data FILE, or --example (see {PROG} --help)")
        if args.series_id:
            from quarnex.utils import series

            return series.main(args)
        if args.jobs is not None:
            raise UsageError("--jobs applies only with --series-id")
        report, table = run_check(args)
        if table is not None and args.output:
            try:
                table.to_csv(args.output, index=False)
            except OSError as exc:
                raise UsageError(f"{args.output}: cannot write: {exc.strerror or exc}") from None
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    if args.json:
        print(json.dumps(report, indent=2, ensure_ascii=False))
    else:
        print(format_report(report))
    return {"accepted": EXIT_ACCEPTED, "refused": EXIT_REFUSED}.get(report["status"], EXIT_UNEXPECTED)


if __name__ == "__main__":
    # Run the module's imported copy, so that its names (UsageError) are the ones other modules import.
    from quarnex.utils.check import main as _main

    sys.exit(_main())
