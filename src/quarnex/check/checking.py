"""Checking one table: ``process_data`` as a model builder calls it, then the diagnostics that
say where a problem lies; the outcome is one Report."""

from __future__ import annotations

import math
import re
from typing import Any

import quarnex.check.diagnostics as diag
from quarnex.check.options import NUMBER_FORMATS, Settings, plain, resolve
from quarnex.check.reading import PROGRESS_ROWS, read_table
from quarnex.check.report import Report
from quarnex.check.report import code as message_code

HOLDOUT_FILE_ROWS = 3  # rows of a holdout file with timestamps: two time steps for their spread


def check_file(name: str, settings: Settings, progress=None) -> tuple[Report, Any, dict]:
    """Runs process_data on one file as the settings say.

    Returns the report, the prepared table (None unless accepted) and the table as read with the
    positions of its timestamp and target columns (for the picture).
    """
    df = read_table(name, settings, progress)
    holdout_df = read_table(settings.holdout_file, settings) if settings.holdout_file else None
    return check_frame(df, holdout_df, settings, "-" if name == "-" else name, progress)


def _column(df, position) -> dict:
    label = None
    try:
        label = df.columns[position]
    except (IndexError, TypeError):
        pass
    return {"position": plain(position), "label": plain(label)}


def step_text(step) -> str:
    """A time step in short units (100ms, 1h, 1d 12h, 1 week), a number as it is."""
    import pandas as pd

    if not isinstance(step, pd.Timedelta):
        return str(plain(step))
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
    # Neighbours months apart on the same day and time are at least 27 days apart (28, less an hour
    # where clocks change): unless half the steps are that long, no calendar step is common.
    if int((column.diff() >= pd.Timedelta(days=27)).sum()) * 2 < len(column) - 1:
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
    import pandas as pd

    column = table.iloc[:, position]
    first, last = column.iloc[0], column.iloc[-1]
    if diag.one_step(column):
        # one step throughout: it is the most common, and a calendar step only when long enough
        step = column.iloc[1] - first
        calendar = _calendar_step(column) if step >= pd.Timedelta(days=27) else None
        return {"first": str(first), "last": str(last), "step": calendar or step_text(step)}
    steps = column.diff().dropna()
    common = steps.mode() if len(steps) else []
    return {
        "first": str(first),
        "last": str(last),
        "step": _calendar_step(column) or (step_text(common.iloc[0]) if len(common) else None),
    }


QUARTER = re.compile(r"^\s*(?:(\d{4})\s*[-/ ]?\s*[Qq]([1-4])|[Qq]([1-4])\s*[-/ ]?\s*(\d{4}))\s*$")
#: --date-format words for numbers: the unit and origin of pandas.to_datetime.


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


def check_frame(
    df, holdout_df, settings: Settings, name=None, progress=None, diagnose=True
) -> tuple[Report, Any, dict]:
    """Runs process_data on one table as the settings say; returns as check_file does. The caller's
    tables are changed as process_data changes them. ``diagnose=False``: the caller found the table
    plain (see series.grouped_reports), where no diagnostic can find anything: none is run."""
    from quarnex.utils import constants
    from quarnex.utils.data_helper import DataHelper

    lt, size, holdout = settings.learning_type, settings.size, settings.holdout
    targets = list(settings.target) if settings.target is not None else None
    features = list(settings.feature) if settings.feature is not None else None
    timestamp, label = settings.timestamp, settings.anomaly_label
    anomaly = constants.LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION
    report = Report.blank(settings, name, len(df), None if holdout_df is None else len(holdout_df), df.attrs.get("csv"))
    found: list[dict] = report["diagnostics"]
    ts_pos = resolve(df, timestamp) if timestamp is not None else None
    roles = {}
    for role, given in (
        ("target", targets),
        ("feature", features),
        ("anomaly label", [label] if label is not None else None),
    ):
        for d in given or ():
            pos = resolve(df, d)
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
    # the checks convert df in place; the diagnostics look at the file as read
    raw = df.copy(deep=True) if diagnose else None
    info = {
        "df": df if raw is None else raw,
        "ts": ts_pos,
        "targets": [p for p in (resolve(df, d) for d in targets or ()) if p is not None and p != ts_pos],
    }

    if ts_pos is not None and (settings.date_format or settings.dayfirst):
        tables = [("", df)] + ([("holdout file ", holdout_df)] if holdout_df is not None else [])
        for which, table in tables:
            pos = resolve(table, timestamp)
            bad = read_times(table, pos, settings.date_format, settings.dayfirst) if pos is not None else []
            if bad:
                how = f"--date-format {settings.date_format}" if settings.date_format else "--dayfirst"
                report["status"] = "refused"
                head = (
                    f"{len(bad)} value{'s' if len(bad) != 1 else ''} of the {which}timestamp column "
                    f"{table.columns[pos]} cannot be read with {how}"
                )
                report["refusal"] = f"{head}; the first: {diag.show(bad[0][1])} on row {bad[0][0] + 1}"
                listed = "; ".join(f"{diag.show(v)} on row {i + 1}" for i, v in bad[: diag.SHOWN])
                found.append(
                    diag.finding(
                        "refused_value",
                        "note",
                        table.columns[pos],
                        f"{head}: {listed}{diag.more(len(bad))}.",
                        count=len(bad),
                        examples=[{"row": i + 1, "value": diag.value_text(v)} for i, v in bad[: diag.SHOWN]],
                    )
                )
                return _finish(report, settings, progress, raw, ts_pos, roles, None, None), None, info

    if holdout_df is not None and timestamp is not None and len(holdout_df) < HOLDOUT_FILE_ROWS:
        # The time steps of the holdout rows are checked on their own: two steps at the least.
        n = len(holdout_df)
        report["status"] = "refused"
        report["refusal"] = (
            f"The holdout file has {n} row{'s' if n != 1 else ''}; the check of its time steps needs at least "
            f"{HOLDOUT_FILE_ROWS}."
        )
        return _finish(report, settings, progress, raw, ts_pos, roles, None, None), None, info

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
            report["refusal_code"] = message_code(report["refusal"])
        else:
            report["status"] = "error"
            report["error"] = f"{type(exc).__name__}: {exc}"
        return _finish(report, settings, progress, raw, ts_pos, roles, None, None), None, info
    finally:
        if ticker is not None:
            ticker()

    table, _holdout, rows, target_idx, feature_idx, ts_idx, label_idx = result
    report["status"] = "accepted"
    report["rows_out"] = len(table)
    report["holdout_rows"] = plain(rows)
    report["columns"] = {
        "target": [_column(table, i) for i in target_idx],
        "feature": [_column(table, i) for i in feature_idx],
        "timestamp": None if ts_idx == -1 else _column(table, ts_idx),
        "anomaly_label": _column(table, label_idx) if lt == anomaly and label_idx is not None else None,
    }
    if ts_idx != -1:
        report["time"] = _time_summary(table, ts_idx)
    positions = (ts_idx, label_idx if lt == anomaly else None)
    report = _finish(report, settings, progress, raw, ts_pos, roles, table, positions)
    return report, table, info


def _finish(report, settings, progress, raw, ts_pos, roles, table, positions) -> Report:
    """Adds the diagnostics, the warning codes and the exit status to a report (``raw`` None: a plain
    table, not diagnosed)."""
    found = report["diagnostics"]
    if raw is None:  # a plain table: nothing to diagnose
        report["warning_codes"] = [message_code(w) for w in report["warnings"]]
        return report.decide(settings.strict)
    ticker = progress("diagnosing ...", tick=True) if progress and len(raw) >= PROGRESS_ROWS else None
    try:
        _diagnose(report, settings, raw, ts_pos, roles, table, positions, found, report["refusal_code"])
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
    return report.decide(settings.strict)


def _diagnose(report, settings, raw, ts_pos, roles, table, positions, found, code) -> None:
    report["warning_codes"] = [message_code(w) for w in report["warnings"]]
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
                diag.finding(
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
            if settings.text and any(e["value"] == "" for f in bad for e in f["examples"]):
                found.append(
                    diag.finding(
                        "refused_value",
                        "hint",
                        raw.columns[ts_pos],
                        "With --text an empty cell is an empty text, which no parser reads; "
                        "without --text, rows with an empty timestamp are left out.",
                    )
                )
        if not (settings.date_format or settings.dayfirst):
            parsed = None
            if table is not None and positions is not None and positions[0] != -1 and not settings.holdout_file:
                parsed = table.iloc[:, positions[0]]
            found += diag.timestamp_form(raw, ts_pos, settings.dayfirst, settings.date_format, parsed)
    if refused and code in ("QUARNEX0073E", None):
        for pos in sorted(roles):
            if diag.is_text(raw.dtypes.iloc[pos]):
                found += diag.refused_numbers(raw, pos)
    found += diag.empty_values(raw, roles)
    if table is not None and positions is not None:
        ts_idx, label_idx = positions
        if ts_idx != -1 and len(table) > 2:
            found += diag.time_steps(table, ts_idx, step_text, rows_known=not settings.holdout_file)
        if label_idx is not None:
            found += diag.anomaly_labels(table, label_idx, report["holdout_rows"] or 0)
