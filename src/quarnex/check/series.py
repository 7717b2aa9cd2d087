"""Checks of many series held in one table (long format).

A long-format table holds many series told apart by one or more id columns
(a store and an item, a sensor). ``quarnex-check FILE --series-id COL ...``
splits the table by those columns and reports each series as ``process_data``
run on it alone, with the same options, finds it: the plain series through the
grouped route (one pass over the whole table, below), the others one by one in
``--jobs`` worker processes; see ``run`` below. ``check_table`` checks one
pandas table (one series) with the command's options and returns the report as
plain data, and ``check_partition`` every series of one table, so that the same
check can run per group or per partition under an engine.
"""

from __future__ import annotations

import multiprocessing
import os
import pickle
import re
import signal
import sys
import threading
import time
from collections.abc import Iterable
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from typing import Any

import quarnex.check.checking as checking
import quarnex.check.rendering as rendering
from quarnex.check.options import (
    EXIT_ACCEPTED,
    EXIT_REFUSED,
    EXIT_UNEXPECTED,
    PROG,
    Settings,
    UsageError,
    plain,
    resolve,
)
from quarnex.check.options import designation as read_designation
from quarnex.check.reading import read_table
from quarnex.check.report import SCHEMA_VERSION, Report

__all__ = ["check_table", "check_partition", "summary", "SUMMARY_META", "run"]


# ---- one series --------------------------------------------------------------------


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


def _check_one(frame, settings: Settings, keep_table: bool, rows=None) -> tuple[Report, Any]:
    """check_frame on one series; whatever goes wrong is that series' error, never the run's.
    ``rows``: the series' positions in the file, for the row numbers of the report."""
    try:
        report, table, _ = checking.check_frame(frame, None, settings)
    except Exception as exc:  # noqa: BLE001 - reported as this series' error
        report, table = _failed(settings, len(frame), f"{type(exc).__name__}: {exc}"), None
    if rows is not None:
        _file_rows(report, rows)
    report["main"] = main_diagnostic(report)
    return report, (table if keep_table else None)


def check_table(df, **options) -> Report:
    """Checks one table (one series) as ``quarnex-check`` does and returns the report as plain data
    (a dict that prints as the text report and shows as the command's page in a notebook).

    The keywords are the command's options: a column is a label or a position (an int, or a text read
    as on the command line: "3" is position 3, "=3" the label 3); ``target`` and ``feature`` take one
    column or a list; ``holdout`` is a ratio below 1 or a number of rows; ``size`` S, M, L or XL;
    ``learning_type`` forecasting or anomaly; ``date_format``, ``dayfirst`` and ``strict`` as
    --date-format, --dayfirst and --strict. The table is copied (its rows counted by position, whatever
    its index), never changed. Bad options raise ``quarnex.check.UsageError``.

    The report holds the fields of one series in ``quarnex-check --series-id ... --json`` (without
    "id", and with "file" None): "status" ("accepted", "refused" or "error"), "exit_status", "refusal", "warnings",
    "rows_in", "rows_out", "holdout_rows", "columns", "time", "diagnostics", ... and "main", the main
    diagnostic. Row numbers count the rows of the table from 1.
    """
    settings = Settings.from_options(**options)
    report, _ = _check_one(df.reset_index(drop=True), settings, False)  # a copy
    return report


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


def check_partition(frame, series_id, **options):
    """Checks every series of one pandas table as ``quarnex-check --series-id`` does, in this process,
    and returns one row per series in the order they first appear: the id columns ``series_id`` (a
    list of labels), then ``summary``'s fields in the types of ``SUMMARY_META``. Rows with an empty id
    are left out. For an engine that hands a function whole partitions, each holding whole series
    (Dask's ``map_partitions``): plain series are checked together in one pass."""
    import pandas as pd

    settings = Settings.from_options(**options)
    frame = frame.reset_index(drop=True)
    labels = list(series_id)
    missing = [label for label in labels if label not in frame.columns]
    if missing:
        raise UsageError(f"series_id: no such column {missing[0]!r}")
    ids, positions, _ = split(frame, labels)
    results = run_series(frame, positions, settings, 1, False, _Progress(len(positions), False))
    lines = [{**series_id_, **summary(report)} for series_id_, (report, _) in zip(ids, results)]
    columns = [str(label) for label in labels] + list(SUMMARY_META)
    table = pd.DataFrame(lines, columns=columns)
    return table.astype(SUMMARY_META) if len(table) else table.astype({**SUMMARY_META})


# ---- splitting a table into series ------------------------------------------------------


def id_labels(df, designations: Iterable[str], settings: Settings) -> list:
    """The labels of the id columns, in the order given; a missing column is a usage error."""
    labels = []
    for text in designations:
        d = read_designation(text)
        position = resolve(df, d)
        if position is None and isinstance(d, int):
            raise UsageError(f"--series-id {text}: the table has only {len(df.columns)} columns")
        if position is None:
            shown = ", ".join(str(c) for c in df.columns[:20])
            raise UsageError(f"--series-id {text}: no such column (columns: {shown})")
        label = df.columns[position]
        if label not in labels:
            labels.append(label)
    roles = [("--timestamp", settings.timestamp), ("--anomaly-label", settings.anomaly_label)]
    roles += [("--target", d) for d in settings.target or ()]
    roles += [("--feature", d) for d in settings.feature or ()]
    for option, d in roles:
        position = None if d is None else resolve(df, d)
        if position is None:
            continue
        label = df.columns[position]
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
    ids = df[list(labels)]  # (the id columns alone: taking every column's rows would copy the table)
    groups = (ids if len(kept) == len(df) else ids.iloc[kept]).groupby(labels, sort=False, observed=True)
    codes = groups.ngroup().to_numpy()
    order = np.argsort(codes, kind="stable")
    counts = np.bincount(codes, minlength=0) if len(codes) else np.zeros(0, dtype=np.int64)
    positions = np.split(kept[order], np.cumsum(counts)[:-1]) if len(codes) else []
    firsts = [p[0] for p in positions]
    values = {str(label): df[label].take(firsts).tolist() for label in labels}
    ids = [{name: plain(v[k]) for name, v in values.items()} for k in range(len(firsts))]
    return ids, positions, np.flatnonzero(empty)


# ---- running the series -----------------------------------------------------------------

_WORK: tuple | None = None  # (table, settings, keep prepared tables), set in each worker


def _init(df, settings, keep):
    global _WORK
    _WORK = (df, settings, keep)


def _init_worker(df, settings, keep):
    """A worker process: Ctrl-C is the command's to handle (it stops the workers), and the worker
    ends by itself when the command is gone, however it ended."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)  # not the command's handler, inherited with the fork
    parent = os.getppid()

    def watch():
        while os.getppid() == parent:
            time.sleep(0.2)
        os._exit(1)

    threading.Thread(target=watch, daemon=True, name="watch-parent").start()
    _init(df, settings, keep)


def _stop(pool) -> None:
    """Ends the pool's workers now (a Ctrl-C, a SIGTERM or an error of the run itself). The
    executor keeps no public handle on them; where its internals are not as expected, the
    workers still end by themselves once the command is gone."""
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        try:
            process.terminate()
        except (OSError, ValueError):
            pass
    # Work queued for the ended workers must not hold the command at its exit.
    queue = getattr(pool, "_call_queue", None)
    if queue is not None and hasattr(queue, "cancel_join_thread"):
        queue.cancel_join_thread()
    pool.shutdown(wait=False, cancel_futures=True)


def _run_chunk(chunk):
    df, settings, keep = _WORK
    return [(i, *_check_one(df.take(rows).reset_index(drop=True), settings, keep, rows)) for i, rows in chunk]


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
                f"\r{PROG}: checking series [{'#' * full}{'.' * (width - full)}] {self.done}/{self.total}\033[K"
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


def run_series(df, positions, settings: Settings, jobs: int, keep: bool, progress: _Progress) -> list[tuple]:
    """Checks every series; returns (report, prepared table or None) per series, in the given order.
    The plain series are reported by the grouped route (without their prepared tables), the rest are
    checked one by one."""
    results: list = [None] * len(positions)
    for i, report in ({} if keep else grouped_reports(df, positions, settings, jobs)).items():
        results[i] = (report, None)
    progress.step(len(positions) - results.count(None))
    work = [(i, rows) for i, rows in enumerate(positions) if results[i] is None]
    if jobs <= 1 or len(work) <= 1:
        _init(df, settings, keep)
        try:
            for item in work:
                ((i, report, table),) = _run_chunk([item])
                results[i] = (report, table)
                progress.step()
        finally:
            _init(None, None, None)
        return results
    # Small chunks keep the workers busy to the end and the bar moving; a chunk per process start
    # would not. Workers inherit the table when they are forked, else it is sent to each once.
    size = max(1, min(64, len(work) // (jobs * 8)))
    chunks = [work[k : k + size] for k in range(0, len(work), size)]
    lost = []
    pool = _pool(jobs, df, settings, keep)
    try:
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
        pool.shutdown()
        # Which series killed its worker is unknown: check the lost ones one at a time, each in a
        # fresh worker, so that a series that kills its worker again takes only itself down; it
        # is an error only when it fails alone twice (a worker may be killed from outside).
        pool = None
        for i, rows in sorted(lost, key=lambda item: item[0]):
            for _ in range(2):
                pool = pool or _pool(1, df, settings, keep)
                try:
                    ((_, report, table),) = pool.submit(_run_chunk, [(i, rows)]).result()
                    break
                except BrokenProcessPool as exc:
                    reason = " ".join(str(exc).split()) or type(exc).__name__
                    report, table = _failed(settings, len(rows), f"the worker process stopped: {reason}"), None
                    pool.shutdown()
                    pool = None
            results[i] = (report, table)
            progress.step()
    except BaseException:
        if pool is not None:
            _stop(pool)
        raise
    if pool is not None:
        pool.shutdown()
    return results


def _pool(jobs, df, settings, keep) -> ProcessPoolExecutor:
    context = multiprocessing.get_context("fork" if "fork" in multiprocessing.get_all_start_methods() else None)
    return ProcessPoolExecutor(jobs, mp_context=context, initializer=_init_worker, initargs=(df, settings, keep))


def _failed(settings: Settings, rows: int, error: str) -> Report:
    """The report of a series whose check stopped outside process_data."""
    report = Report.blank(settings, None, rows)
    report.update(status="error", exit_status=EXIT_UNEXPECTED, error=error)
    report["main"] = main_diagnostic(report)
    return report


# ---- the grouped route ------------------------------------------------------------------
#
# Most series of a long table are plain: ISO or datetime timestamps at one step throughout, in time
# order, numeric role columns without a missing value. No diagnostic finds anything in such a
# series, and its check can only depend on its length, its step and its first and last instants.
# So one pass over the whole table (data_helper._series_segments) finds them; process_data runs
# (without the diagnostics) on one series of each length and step, and the others get its report
# with their own instants and rows. A report whose instants the pass does not give again is not
# shared: those series are checked one by one, as is every series the pass declines.


def _grouped_inputs(df, settings: Settings):
    """The time column (texts, or int64 nanoseconds) and the float64 role columns the pass reads, or
    None when the settings or the table are not the ones the grouped route covers."""
    import numpy as np
    import pandas as pd

    from quarnex.utils import constants

    plain_settings = (
        settings.learning_type == constants.LEARNING_TYPE_TIMESERIES_FORECASTING
        and settings.timestamp is not None
        and settings.target
        and settings.anomaly_label is None
        and not (settings.holdout_file or settings.date_format or settings.dayfirst)
    )
    if not plain_settings:
        return None
    ts = resolve(df, settings.timestamp)
    roles = [resolve(df, d) for d in (*settings.target, *(settings.feature or ()))]
    if ts is None or None in roles or ts in roles:
        return None
    numbers = []
    for position in set(roles):
        dtype = df.dtypes.iloc[position]
        if not isinstance(dtype, np.dtype) or dtype.kind not in "iuf":
            return None
        if dtype.kind == "f":
            numbers.append(np.ascontiguousarray(df.iloc[:, position].to_numpy(dtype=np.float64)))
    column = df.iloc[:, ts]
    dtype = column.dtype
    if isinstance(dtype, np.dtype) and dtype.kind == "M":
        try:
            times = np.ascontiguousarray(column.to_numpy(dtype="datetime64[ns]").view(np.int64))
        except (ValueError, OverflowError):
            return None
    elif dtype == object or isinstance(dtype, pd.StringDtype):
        times = column
    else:
        return None
    return times, tuple(numbers)


def _stamp(nanoseconds, made: dict) -> str:
    """The instant as a report shows it; `made` keeps those already shown (series often share them)."""
    import pandas as pd

    key = int(nanoseconds)
    shown = made.get(key)
    if shown is None:
        shown = made[key] = str(pd.Timestamp(key))
    return shown


def grouped_reports(df, positions, settings: Settings, jobs: int = 1) -> dict:
    """The reports of the plain series, by their index in ``positions``; with ``jobs`` 2 or more the
    pass reads a large table in two threads."""
    import numpy as np

    from quarnex.utils import data_helper

    inputs = _grouped_inputs(df, settings) if len(positions) > 1 else None
    if inputs is None:
        return {}
    times, numbers = inputs
    lengths = np.fromiter((len(p) for p in positions), dtype=np.int64, count=len(positions))
    bounds = np.zeros(len(positions) + 1, dtype=np.int64)
    np.cumsum(lengths, out=bounds[1:])
    order = np.concatenate(positions).astype(np.int64, copy=False)
    passed = data_helper._series_segments(times, order, bounds, numbers, jobs)
    if passed is None:
        return {}
    instants, plain, steps = passed
    groups: dict = {}
    for i in np.flatnonzero(plain).tolist():
        groups.setdefault((int(lengths[i]), int(steps[i])), []).append(i)
    done = {}
    stamps: dict = {}
    for (n, _), members in groups.items():
        first = positions[members[0]]
        try:  # process_data on the first of its kind, without the diagnostics
            shared, _, _ = checking.check_frame(df.take(first).reset_index(drop=True), None, settings, diagnose=False)
        except Exception:  # noqa: BLE001 - checked one by one instead
            continue
        kept = shared["rows_out"] if shared["status"] == "accepted" else None

        def time_of(i):
            return {
                "first": _stamp(instants[bounds[i] + n - kept], stamps),
                "last": _stamp(instants[bounds[i + 1] - 1], stamps),
            }

        if shared.get("time") is not None:
            if kept is None or not 0 < kept <= n or {**shared["time"], **time_of(members[0])} != shared["time"]:
                continue
        # each member's own copy of the report, as fast as pickle reads one back
        dumped = pickle.dumps(shared, protocol=pickle.HIGHEST_PROTOCOL)
        for i in members:
            report = pickle.loads(dumped)
            if report.get("time") is not None:
                report["time"].update(time_of(i))
            _file_rows(report, positions[i])
            report["main"] = main_diagnostic(report)
            done[i] = report
    return done


# ---- the report -------------------------------------------------------------------------


def _worst_first(entry: dict):
    return -entry["exit_status"], -rendering.RANK[rendering.verdict(entry)]


def build_report(path, labels, settings: Settings, ids, results, empty_rows) -> dict:
    """The series report: one entry per series (its report with its id), worst first, and the totals."""
    entries = [Report({"id": series_id, **report, "file": str(path)}) for series_id, (report, _) in zip(ids, results)]
    if len(empty_rows):
        shown = ", ".join(str(r + 1) for r in empty_rows[:5]) + (", ..." if len(empty_rows) > 5 else "")
        names = ", ".join(str(label) for label in labels)
        text = (
            f"{len(empty_rows)} row{'s' if len(empty_rows) != 1 else ''} with an empty series id "
            f"({names}) not checked: data row{'s' if len(empty_rows) != 1 else ''} {shown}"
        )
        entry = Report({"id": None, **Report.blank(settings, str(path), len(empty_rows))})
        entry.update(
            holdout_file=None,
            status="refused",
            exit_status=EXIT_REFUSED,
            refusal=text,
            rows=[int(r) + 1 for r in empty_rows],
            main=text,
        )
        entries.append(entry)
    entries.sort(key=_worst_first)  # stable: series of the same verdict stay in file order
    counts = {name: 0 for name in rendering.RANK}
    for entry in entries:
        if entry["id"] is not None:
            counts[rendering.verdict(entry)] += 1
    worst = max((rendering.verdict(e) for e in entries), key=rendering.RANK.__getitem__, default="accepted")
    return {
        "schema_version": SCHEMA_VERSION,
        "file": str(path),
        "series_id": [plain(label) for label in labels],
        "learning_type": settings.learning_type,
        "size": settings.size,
        "status": "accepted" if worst == "warned" else worst,
        "exit_status": max((e["exit_status"] for e in entries), default=EXIT_ACCEPTED),
        "series": entries,
        "totals": {
            "series": len(ids),
            **counts,
            "rows_in": sum(e["rows_in"] for e in entries),
            "rows_out": sum(e["rows_out"] or 0 for e in entries),
            "rows_without_id": len(empty_rows),
        },
    }


def run(name: str, settings: Settings, series_id, *, jobs=None, keep_tables=False, quiet=False, reading_progress=None):
    """Checks every series of one file; returns the series report and the prepared tables of the
    accepted series (each with the rows of its series, in file order of the series)."""
    jobs = default_jobs() if jobs is None else jobs
    df = read_table(name, settings, reading_progress)
    labels = id_labels(df, series_id, settings)
    ids, positions, empty_rows = split(df, labels)
    progress = _Progress(len(positions), sys.stderr.isatty() and not quiet)
    try:
        results = run_series(df, positions, settings, jobs, keep_tables, progress)
    finally:
        progress.close()
    report = build_report("-" if name == "-" else name, labels, settings, ids, results, empty_rows)
    tables = [table for report_, table in results if table is not None and report_["exit_status"] == 0]
    return report, tables
