"""Checks of many series held in one table (long format), one series at a time.

A long-format table holds many series told apart by one or more id columns
(a store and an item, a sensor). ``quarnex-check FILE --series-id COL ...``
splits the table by those columns and runs ``process_data`` on each series
separately, with the same options, in ``--jobs`` worker processes; see
``main`` below. ``check_table`` checks one pandas table (one series) with the
command's options and returns the report as plain data, so that the same check
can run per group under any engine that applies a function to groups of rows.
"""

from __future__ import annotations

import json
import multiprocessing
import os
import re
import sys
import time
from collections.abc import Iterable
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from types import SimpleNamespace
from typing import Any

from quarnex.utils import check
from quarnex.utils.check import UsageError

__all__ = ["check_table", "options", "summary", "SUMMARY_META", "main"]

# Verdicts from best to worst ("warned": accepted with warnings); series are listed worst first.
_RANK = {"accepted": 0, "warned": 1, "refused": 2, "error": 3}
_ID_WIDTH = 40  # longest series id shown in full in the text report


# ---- one series --------------------------------------------------------------------


def _option(value) -> str:
    # The command-line text of a value: an int is a position ("#3"), a text is read as typed.
    if isinstance(value, int) and not isinstance(value, bool):
        return f"#{value}"
    return str(value)


def options(
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
) -> SimpleNamespace:
    """The command's options, given as Python values (see check_table), as the command holds them."""

    def many(value):
        if value is None:
            return None
        return [_option(v) for v in (value if isinstance(value, (list, tuple)) else [value])]

    number = isinstance(holdout, (int, float)) and not isinstance(holdout, bool)
    return SimpleNamespace(
        learning_type=learning_type,
        size=size,
        holdout=repr(holdout) if number else holdout,
        target=many(target),
        feature=many(feature),
        timestamp=None if timestamp is None else _option(timestamp),
        anomaly_label=None if anomaly_label is None else _option(anomaly_label),
        date_format=date_format,
        dayfirst=dayfirst,
        strict=strict,
        text=False,
        holdout_file=None,
    )


# Refusals whose diagnostic says where the problem lies: the main diagnostic is then that finding.
_WHERE = {"QUARNEX0075E": "repeated_timestamps", "QUARNEX0076E": "refused_value", "QUARNEX0073E": "refused_value"}


def main_diagnostic(report: dict) -> str:
    """The one line that says most about a report: the refusal (with the rows at fault when the
    diagnostics found them), the error, the first warning, else the first note of the diagnostics."""
    found = report.get("diagnostics", ())
    notes = [f["message"] for f in found if f["level"] == "note"]
    code = report.get("refusal_code")
    where = [f["message"] for f in found if code in _WHERE and f["kind"] == _WHERE[code]]
    if where:
        return " ".join(f"{code}: {where[0]}".split())
    for text in (report.get("refusal"), report.get("error"), *report.get("warnings", ()), *notes[:1]):
        if text:
            return " ".join(str(text).split())
    return ""


def _status(report: dict) -> str:
    status = report["status"]
    return "warned" if status == "accepted" and report["warnings"] else status


_ROW = re.compile(r"\b(rows? )(\d+(?:, \d+)*)")


def _file_rows(report: dict, rows) -> None:
    """Turns the row numbers of a series' report (1 = its first row) into data rows of the file."""

    def row(r):
        return int(rows[r - 1]) + 1 if isinstance(r, int) and 1 <= r <= len(rows) else r

    def text(t):
        return _ROW.sub(lambda m: m.group(1) + ", ".join(str(row(int(n))) for n in m.group(2).split(", ")), t)

    if report.get("refusal"):
        report["refusal"] = text(report["refusal"])
    for finding in report.get("diagnostics", ()):
        finding["message"] = text(finding["message"])
        for example in finding.get("examples", ()):
            if "row" in example:
                example["row"] = row(example["row"])
            if "rows" in example:
                example["rows"] = [row(r) for r in example["rows"]]


def _check_one(frame, args, conf: dict, keep_table: bool, rows=None) -> tuple[dict, Any]:
    """check_frame on one series; whatever goes wrong is that series' error, never the run's.
    ``rows``: the series' positions in the file, for the row numbers of the report."""
    try:
        report, table, _ = check.check_frame(frame, None, args, conf)
    except Exception as exc:  # noqa: BLE001 - reported as this series' error
        report, table = _failed(conf, len(frame), f"{type(exc).__name__}: {exc}"), None
    if rows is not None:
        _file_rows(report, rows)
    report["main"] = main_diagnostic(report)
    return report, (table if keep_table else None)


def check_table(
    df,
    *,
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
) -> Report:
    """Checks one table (one series) as ``quarnex-check`` does and returns the report as plain data
    (a dict that prints as the text report and shows as the command's page in a notebook).

    The keywords are the command's options: a column is a label or a position (an int, or a text read
    as on the command line: "3" is position 3, "=3" the label 3); ``target`` and ``feature`` take one
    column or a list; ``holdout`` is a ratio below 1 or a number of rows; ``size`` S, M, L or XL;
    ``learning_type`` forecasting or anomaly; ``date_format``, ``dayfirst`` and ``strict`` as
    --date-format, --dayfirst and --strict. The table is copied (its rows counted by position, whatever
    its index), never changed. Bad options raise ``quarnex.utils.check.UsageError``.

    The report holds the fields of one series in ``quarnex-check --series-id ... --json`` (without
    "id", and with "file" None): "status" ("accepted", "refused" or "error"), "exit_status", "refusal", "warnings",
    "rows_in", "rows_out", "holdout_rows", "columns", "time", "diagnostics", ... and "main", the main
    diagnostic. Row numbers count the rows of the table from 1.
    """
    args = options(
        target, feature, timestamp, anomaly_label, holdout, size, learning_type, date_format, dayfirst, strict
    )
    report, _ = _check_one(df.reset_index(drop=True), args, check.check_settings(args), False)  # a copy
    return Report(report)


class Report(dict):
    """A report as plain data (a dict) that shows itself: as the text report under print, and as the
    command's page in a notebook."""

    def __str__(self) -> str:
        return check.format_report(self)

    def _repr_html_(self) -> str:
        from quarnex.utils import check_plot

        return check_plot.page(self, str(self), None, "draw the picture with quarnex-check --plot")


# The flat line of the text report, for engines that want a row per group (see README).
SUMMARY_META = {"status": "object", "warnings": "int64", "rows": "int64", "holdout_rows": "float64", "main": "object"}


def summary(report: dict) -> dict:
    """The fields of one series' line: status, number of warnings, rows, holdout rows (NaN if none), main."""
    holdout = report.get("holdout_rows")
    return {
        "status": report["status"],
        "warnings": len(report["warnings"]),
        "rows": report["rows_in"],
        "holdout_rows": float("nan") if holdout is None else float(holdout),
        "main": report["main"],
    }


# ---- splitting a table into series ------------------------------------------------------


def id_labels(df, designations: Iterable[str], settings_: dict) -> list:
    """The labels of the id columns, in the order given; a missing column is a usage error."""
    labels = []
    for text in designations:
        d = check.designation(text)
        if isinstance(d, int):
            if d >= len(df.columns):
                raise UsageError(f"--series-id {text}: the table has only {len(df.columns)} columns")
            label = df.columns[d]
        elif d in df.columns:
            label = d
        else:
            shown = ", ".join(str(c) for c in df.columns[:20])
            raise UsageError(f"--series-id {text}: no such column (columns: {shown})")
        if label not in labels:
            labels.append(label)
    roles = [("--timestamp", settings_["timestamp"]), ("--anomaly-label", settings_["anomaly_label"])]
    roles += [("--target", d) for d in settings_["target"] or ()]
    roles += [("--feature", d) for d in settings_["feature"] or ()]
    for option, d in roles:
        if d is None:
            continue
        label = df.columns[d] if isinstance(d, int) and 0 <= d < len(df.columns) else d
        if label in labels:
            raise UsageError(f"column {label} is a series id; it cannot also be given as {option}")
    return labels


def _empty_ids(df, labels):
    import numpy as np
    from pandas.api.types import is_numeric_dtype

    empty = np.zeros(len(df), dtype=bool)
    for label in labels:
        column = df[label]
        empty |= column.isna().to_numpy()
        if not is_numeric_dtype(column.dtype):  # texts of spaces only, whatever holds them (category, string)
            empty |= column.astype(object).map(lambda v: isinstance(v, str) and not v.strip()).to_numpy(dtype=bool)
    return empty


def split(df, labels) -> tuple[list[dict], list, Any]:
    """Splits the rows by their ids, in the order in which each series first appears.

    Returns the ids (one dict of plain values per series), the row positions of each series,
    and the positions of the rows whose id is empty (in some id column).
    """
    import numpy as np

    empty = _empty_ids(df, labels)
    kept = np.flatnonzero(~empty)
    codes = df.iloc[kept].groupby(labels, sort=False, observed=True).ngroup().to_numpy()
    order = np.argsort(codes, kind="stable")
    counts = np.bincount(codes, minlength=0) if len(codes) else np.zeros(0, dtype=np.int64)
    positions = np.split(kept[order], np.cumsum(counts)[:-1]) if len(codes) else []
    firsts = [p[0] for p in positions]
    ids = [{str(label): check._plain(df[label].iloc[i]) for label in labels} for i in firsts]
    return ids, positions, np.flatnonzero(empty)


# ---- running the series -----------------------------------------------------------------

_WORK: tuple | None = None  # (table, options, settings, keep prepared tables), set in each worker


def _init(df, args, conf, keep):
    global _WORK
    _WORK = (df, args, conf, keep)


def _run_chunk(chunk):
    df, args, conf, keep = _WORK
    return [(i, *_check_one(df.take(rows).reset_index(drop=True), args, conf, keep, rows)) for i, rows in chunk]


class _Progress:
    """A bar over the series on standard error, redrawn at most ten times a second. Closing it also
    clears what the reading of a large file showed on that line."""

    def __init__(self, total: int, enabled: bool):
        self.total, self.done, self.terminal, self.shown = total, 0, enabled, 0.0
        self.enabled = enabled and total > 1

    def step(self, n: int = 1):
        self.done += n
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.shown >= 0.1 or self.done == self.total:
            self.shown = now
            width = 30
            full = width * self.done // self.total
            sys.stderr.write(
                f"\r{check.PROG}: checking series [{'#' * full}{'.' * (width - full)}] {self.done}/{self.total}\033[K"
            )
            sys.stderr.flush()

    def close(self):
        if self.terminal:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return os.cpu_count() or 1


def run_series(df, positions, args, conf: dict, jobs: int, keep: bool, progress: _Progress) -> list[tuple]:
    """Checks every series; returns (report, prepared table or None) per series, in the given order."""
    results: list = [None] * len(positions)
    work = list(enumerate(positions))
    if jobs <= 1 or len(work) <= 1:
        _init(df, args, conf, keep)
        try:
            for item in work:
                ((i, report, table),) = _run_chunk([item])
                results[i] = (report, table)
                progress.step()
        finally:
            _init(None, None, None, None)
        return results
    # Small chunks keep the workers busy to the end and the bar moving; a chunk per process start
    # would not. Workers inherit the table when they are forked, else it is sent to each once.
    size = max(1, min(64, len(work) // (jobs * 8)))
    chunks = [work[k : k + size] for k in range(0, len(work), size)]
    lost = []
    with _pool(jobs, df, args, conf, keep) as pool:
        futures = {pool.submit(_run_chunk, chunk): chunk for chunk in chunks}
        for future in as_completed(futures):
            try:
                done = future.result()
            except BrokenProcessPool:  # a worker died: every chunk not yet returned is lost with it
                lost += futures[future]
                continue
            for i, report, table in done:
                results[i] = (report, table)
            progress.step(len(done))
    # Which series killed its worker is unknown: check the lost ones one at a time, so that a
    # series that kills its worker again takes only itself down.
    pool = None
    for i, rows in sorted(lost, key=lambda item: item[0]):
        pool = pool or _pool(1, df, args, conf, keep)
        try:
            ((_, report, table),) = pool.submit(_run_chunk, [(i, rows)]).result()
        except BrokenProcessPool as exc:
            reason = " ".join(str(exc).split()) or type(exc).__name__
            report, table = _failed(conf, len(rows), f"the worker process stopped: {reason}"), None
            pool.shutdown()
            pool = None
        results[i] = (report, table)
        progress.step()
    if pool is not None:
        pool.shutdown()
    return results


def _pool(jobs, df, args, conf, keep) -> ProcessPoolExecutor:
    context = multiprocessing.get_context("fork" if "fork" in multiprocessing.get_all_start_methods() else None)
    return ProcessPoolExecutor(jobs, mp_context=context, initializer=_init, initargs=(df, args, conf, keep))


def _failed(conf: dict, rows: int, error: str) -> dict:
    """The report of a series whose check stopped outside process_data."""
    report = {
        "schema_version": check.SCHEMA_VERSION,
        "file": None,
        "holdout_file": None,
        "learning_type": conf["learning_type"],
        "size": conf["size"],
        "status": "error",
        "exit_status": check.EXIT_UNEXPECTED,
        "refusal": None,
        "refusal_code": None,
        "error": error,
        "warnings": [],
        "warning_codes": [],
        "rows_in": rows,
        "holdout_rows_in": None,
        "rows_out": None,
        "holdout_rows": None,
        "columns": None,
        "time": None,
        "diagnostics": [],
    }
    report["main"] = main_diagnostic(report)
    return report


# ---- the report -------------------------------------------------------------------------


def _id_text(series_id) -> str:
    if series_id is None:
        return "(empty id)"
    text = ", ".join(str(v) for v in series_id.values())
    return text if len(text) <= _ID_WIDTH else text[: _ID_WIDTH - 1] + "…"


def _verdict(entry: dict) -> str:
    status, n = _status(entry), len(entry["warnings"])
    text = {
        "accepted": "accepted",
        "warned": f"accepted, {n} warning{'s' if n != 1 else ''}",
        "refused": "refused",
        "error": "error",
    }[status]
    if status in ("accepted", "warned") and entry["exit_status"] != check.EXIT_ACCEPTED:
        text += " (refused under --strict)"
    return text


def _worst_first(entry: dict):
    return -entry["exit_status"], -_RANK[_status(entry)]


def build_report(path, labels, conf, ids, results, empty_rows) -> dict:
    entries = [{"id": series_id, **report, "file": str(path)} for series_id, (report, _) in zip(ids, results)]
    if len(empty_rows):
        shown = ", ".join(str(r + 1) for r in empty_rows[:5]) + (", ..." if len(empty_rows) > 5 else "")
        names = ", ".join(str(label) for label in labels)
        text = (
            f"{len(empty_rows)} row{'s' if len(empty_rows) != 1 else ''} with an empty series id "
            f"({names}) not checked: data row{'s' if len(empty_rows) != 1 else ''} {shown}"
        )
        entries.append(
            {
                "id": None,
                "schema_version": check.SCHEMA_VERSION,
                "file": str(path),
                "holdout_file": None,
                "learning_type": conf["learning_type"],
                "size": conf["size"],
                "status": "refused",
                "exit_status": check.EXIT_REFUSED,
                "refusal": text,
                "refusal_code": None,
                "error": None,
                "warnings": [],
                "warning_codes": [],
                "rows_in": len(empty_rows),
                "holdout_rows_in": None,
                "rows_out": None,
                "holdout_rows": None,
                "columns": None,
                "time": None,
                "diagnostics": [],
                "rows": [int(r) + 1 for r in empty_rows],
                "main": text,
            }
        )
    entries.sort(key=_worst_first)  # stable: series of the same verdict stay in file order
    counts = {name: 0 for name in _RANK}
    for entry in entries:
        if entry["id"] is not None:
            counts[_status(entry)] += 1
    worst = max((_status(e) for e in entries), key=_RANK.__getitem__, default="accepted")
    return {
        "schema_version": check.SCHEMA_VERSION,
        "file": str(path),
        "series_id": [check._plain(label) for label in labels],
        "learning_type": conf["learning_type"],
        "size": conf["size"],
        "status": "accepted" if worst == "warned" else worst,
        "exit_status": max((e["exit_status"] for e in entries), default=check.EXIT_ACCEPTED),
        "series": entries,
        "totals": {
            "series": len(ids),
            **counts,
            "rows_in": sum(e["rows_in"] for e in entries),
            "rows_out": sum(e["rows_out"] or 0 for e in entries),
            "rows_without_id": len(empty_rows),
        },
    }


def format_report(report: dict) -> str:
    entries = report["series"]
    rows = [
        (
            _id_text(e["id"]),
            _verdict(e),
            str(e["rows_in"]),
            "-" if e["holdout_rows"] is None else str(e["holdout_rows"]),
            str(len(e["warnings"])),
            e["main"],
        )
        for e in entries
    ]
    heads = ("series", "result", "rows", "holdout", "warnings", "main diagnostic")
    widths = [max([len(h)] + [len(r[k]) for r in rows]) for k, h in enumerate(heads)]

    def line(cells):
        left = f"{cells[0]:<{widths[0]}}  {cells[1]:<{widths[1]}}"
        nums = "  ".join(f"{c:>{w}}" for c, w in zip(cells[2:5], widths[2:5]))
        return f"  {left}  {nums}  {cells[5]}".rstrip()

    t = report["totals"]
    names = ", ".join(str(label) for label in report["series_id"])
    out = [
        f"{check.PROG}: {report['file']}, {t['series']} series by {names}",
        f"  learning type  {report['learning_type']}, t-shirt size {report['size']}",
        line(heads),
    ]
    out += [line(r) for r in rows]
    parts = [f"{t['accepted'] + t['warned']} accepted ({t['warned']} with warnings)", f"{t['refused']} refused"]
    if t["error"]:
        parts.append(f"{t['error']} stopped by an unexpected error")
    n = t["rows_without_id"]
    without = f"; {n} row{'s' if n != 1 else ''} without a series id" if n else ""
    out.append(
        f"  totals: {t['series']} series: {', '.join(parts)}{without}; rows {t['rows_in']} in, "
        f"{t['rows_out']} out of the accepted series"
    )
    return "\n".join(out)


def main(args, name: str, reading_progress=None) -> int:
    """quarnex-check with --series-id on one file: check, report, write --output; returns the exit
    status. Usage and file errors are raised as UsageError for the command to report."""
    import pandas as pd

    for option in ("holdout_file", "plot", "html"):
        if getattr(args, option, None):
            raise UsageError(f"--{option.replace('_', '-')} cannot be combined with --series-id")
    jobs = default_jobs() if args.jobs is None else args.jobs
    conf = check.check_settings(args)
    df = check.read_table(name, args.text, args.encoding, reading_progress, check.csv_options(args))
    labels = id_labels(df, args.series_id, conf)
    ids, positions, empty_rows = split(df, labels)
    progress = _Progress(len(positions), sys.stderr.isatty() and not args.json)
    try:
        results = run_series(df, positions, args, conf, jobs, bool(args.output), progress)
    finally:
        progress.close()
    report = build_report("-" if name == "-" else name, labels, conf, ids, results, empty_rows)
    tables = [table for report_, table in results if table is not None and report_["exit_status"] == 0]
    if args.output and tables:
        try:
            pd.concat(tables, ignore_index=True).to_csv(args.output, index=False)
        except OSError as exc:
            raise UsageError(f"{args.output}: cannot write: {exc.strerror or exc}") from None
    print(
        json.dumps(report, indent=2, ensure_ascii=False, default=check._plain) if args.json else format_report(report)
    )
    return report["exit_status"]
