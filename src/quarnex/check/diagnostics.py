"""Diagnostics of quarnex-check: where a problem in a data file lies and how to fix it.

Everything here is computed by the command on the table it read (a copy taken
before the checks ran) and, when the data were accepted, on the prepared table.
Nothing here changes what the checks decide; it only explains it.

Row numbers are data rows counted from 1: row 1 is the first row below the
header, as a spreadsheet or an editor lists the records.

Each diagnostic is a dict:

``kind``          what was found (see ``KINDS``)
``level``         ``note`` (about the data as they are) or ``hint`` (what to try)
``column``        the column label, or None
``message``       one sentence for people
``changes_data``  true when the prepared data differ from the file because of it
                  (rows dropped, values empty): ``--strict`` refuses such data
``count``         how many rows or values the finding covers, or None
``examples``      the first few cases: ``{"row": int|None, "value": str|None, ...}``
"""

from __future__ import annotations

import difflib
import math
import re
import warnings
from typing import Any

from quarnex.check.options import resolve

SHOWN = 5  # examples kept per finding
VALUE_WIDTH = 60  # characters of a value shown before it is cut

KINDS = (
    "refused_value",
    "repeated_timestamps",
    "empty_values",
    "dropped_rows",
    "time_steps",
    "anomaly_labels",
    "date_integers",
    "year_integers",
    "quarter_texts",
    "day_first",
    "mixed_day_month",
    "numbers_as_text",
    "did_you_mean",
    "diagnostic_failed",
)


def show(value: Any) -> str:
    """A value as the report shows it: quoted, an empty text as "", long texts cut."""
    if value is None:
        return "None"
    if isinstance(value, float) and math.isnan(value):
        return "empty"
    text = str(value)
    if len(text) > VALUE_WIDTH:
        text = text[:VALUE_WIDTH] + f"... ({len(text)} characters)"
    return '"' + text.replace('"', '\\"') + '"'


def _rows(positions) -> str:
    """ "row 3" or "rows 3, 5 and 7 more" for zero-based positions."""
    rows = [str(p + 1) for p in positions[:SHOWN]]
    more = len(positions) - len(rows)
    return ("row " if len(positions) == 1 else "rows ") + ", ".join(rows) + (f" and {more} more" if more > 0 else "")


def more(count: int) -> str:
    return f" and {count - SHOWN} more" if count > SHOWN else ""


def finding(kind, level, column, message, *, changes_data=False, count=None, examples=(), **details):
    found = {
        "kind": kind,
        "level": level,
        "column": _label(column),
        "message": message,
        "changes_data": changes_data,
        "count": count,
        "examples": list(examples),
    }
    if details:
        found["details"] = details
    return found


def _refused_values(label, bad, phrase):
    """The note on values of a column that cannot be read: `bad` holds (position, value), `phrase` says what."""
    shown = "; ".join(f"{show(v)} on row {i + 1}" for i, v in bad[:SHOWN])
    return finding(
        "refused_value",
        "note",
        label,
        f"{phrase}: {shown}{more(len(bad))}.",
        count=len(bad),
        examples=[{"row": i + 1, "value": value_text(v)} for i, v in bad[:SHOWN]],
    )


def _label(column):
    if column is None or isinstance(column, (str, int, float, bool)):
        return column
    return str(column)


def is_text(dtype) -> bool:
    """A text column: object dtype, or pandas' string dtype (how pandas 3 reads text)."""
    import pandas as pd

    return dtype == object or isinstance(dtype, pd.StringDtype)


def _is_empty(values):
    """Per-row flags: missing, or a text that is empty once blanks and quotes are stripped."""
    import pandas as pd

    missing = values.isna()
    if is_text(values.dtype):
        texts = values[~missing]
        blank = texts.map(lambda v: isinstance(v, str) and not v.strip().strip('"').strip())
        missing = missing.copy()
        missing[blank[blank].index] = True
    return pd.Series(missing.to_numpy(), index=range(len(values)))


# ---- column designations -------------------------------------------------------


def did_you_mean(df, role: str, designation) -> dict | None:
    if not isinstance(designation, str) or resolve(df, designation) is not None:
        return None
    labels = [str(c) for c in df.columns]
    folded = {label.strip().casefold(): label for label in labels}
    key = designation.strip().casefold()
    if key in folded:
        guess = folded[key]
    else:
        close = difflib.get_close_matches(key, list(folded), n=1, cutoff=0.6)
        if not close:
            return finding(
                "did_you_mean",
                "hint",
                None,
                f"The {role} column {show(designation)} is not in the file; its columns are "
                f"{', '.join(show(c) for c in labels[:12])}{' ...' if len(labels) > 12 else ''}.",
                given=designation,
                role=role,
                suggestion=None,
            )
        guess = folded[close[0]]
    return finding(
        "did_you_mean",
        "hint",
        None,
        f"The {role} column {show(designation)} is not in the file: did you mean {show(guess)}?",
        given=designation,
        role=role,
        suggestion=guess,
    )


# ---- refused values ------------------------------------------------------------


def _number(value) -> bool:
    text = str(value).strip('"')
    if text == "":
        return True
    try:
        float(text)
    except ValueError:
        return False
    return True


def refused_numbers(df, position) -> list[dict]:
    """The values of a text column that the numeric conversion refuses, with a hint on their form."""
    column = df.iloc[:, position]
    label = df.columns[position]
    bad = [(i, v) for i, v in enumerate(column.tolist()) if not _number(v)]
    if not bad:
        return []
    found = [
        _refused_values(
            label,
            bad,
            f"{len(bad)} value{'s' if len(bad) != 1 else ''} of column {show(label)} "
            f"{'are' if len(bad) != 1 else 'is'} not a number",
        )
    ]
    hint = _number_form_hint(label, [v for _, v in bad])
    if hint:
        found.append(hint)
    return found


_DECIMAL_COMMA = re.compile(r'^\s*"?[-+]?\d+,\d+"?\s*$')
_THOUSANDS = re.compile(r'^\s*"?[-+]?\d{1,3}([,. \u00a0\u202f]\d{3})+([.,]\d+)?"?\s*$')
_UNIT = re.compile(r'^\s*"?[-+]?[$€£¥]?\s*\d+(\.\d+)?\s*(%|[$€£¥]|[A-Za-z]{1,4})?"?\s*$')


def _number_form_hint(label, values) -> dict | None:
    texts = [str(v) for v in values if v is not None and not (isinstance(v, float) and math.isnan(v))]
    if not texts:
        return None
    sample = texts[:200]
    if all(_DECIMAL_COMMA.match(t) for t in sample):
        how = "with a decimal comma; read them with --decimal , (and --sep ; when fields are separated by semicolons)"
    elif all(_THOUSANDS.match(t) for t in sample):
        how = "with thousands separators; read them with --thousands , (or write them without: 1234.5)"
    elif all(_UNIT.match(t) for t in sample):
        how = "with a unit or currency sign; write the bare numbers"
    else:
        return None
    return finding(
        "numbers_as_text",
        "hint",
        label,
        f"Column {show(label)} holds numbers written as text {how}.",
        count=len(texts),
        examples=[{"row": None, "value": value_text(t)} for t in texts[:SHOWN]],
    )


def value_text(value) -> str | None:
    if value is None:
        return None
    if isinstance(value, float) and math.isnan(value):
        return None
    return str(value)


def refused_times(df, position, dayfirst=False) -> list[dict]:
    """The values of a timestamp column that neither date parser reads."""
    import pandas as pd
    from dateutil.parser import isoparse, parse

    column = df.iloc[:, position]
    label = df.columns[position]
    # pandas reads nearly every text that dateutil reads, much faster: only what it leaves
    # unread goes through the parsers one by one
    texts = column.map(lambda v: str(v).strip('"') if isinstance(v, str) else v)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pandas 3.1 deprecates reading quarters such as 1974Q1
            unread = pd.to_datetime(texts, format="mixed", dayfirst=dayfirst, errors="coerce").isna().to_numpy()
    except Exception:
        unread = [True] * len(column)
    bad = []
    for i, value in enumerate(column.tolist()):
        if not unread[i] or value is None or (isinstance(value, float) and math.isnan(value)):
            continue
        text = str(value).strip('"')
        try:
            parse(text, dayfirst=dayfirst)
            continue
        except Exception:
            pass
        try:
            isoparse(text)
        except Exception:
            bad.append((i, value))
            if len(bad) > 1000:
                break
    if not bad:
        return []
    count = f"{len(bad)}" if len(bad) <= 1000 else "over 1000"
    return [
        _refused_values(
            label,
            bad,
            f"{count} value{'s' if len(bad) != 1 else ''} of timestamp column {show(label)} cannot be read as a time",
        )
    ]


# ---- timestamps -----------------------------------------------------------------


def repeated_timestamps(df, position) -> list[dict]:
    """Timestamps that occur more than once (empty ones apart), with all their rows."""
    column = df.iloc[:, position].reset_index(drop=True)
    if not column.hasnans and column.is_unique:
        return []  # the common case, without the masks below
    label = df.columns[position]
    present = column[~column.isna()]
    repeated = present[present.duplicated(keep=False)]
    if repeated.empty:
        return []
    groups = {}
    for i, value in repeated.items():
        groups.setdefault(value, []).append(int(i))
    extra = int(present.duplicated().sum())
    examples = [
        {"row": rows[0] + 1, "value": value_text(value), "rows": [r + 1 for r in rows[:SHOWN]]}
        for value, rows in list(groups.items())[:SHOWN]
    ]
    shown = "; ".join(f"{show(value)} on {_rows(rows)}" for value, rows in list(groups.items())[:SHOWN])
    return [
        finding(
            "repeated_timestamps",
            "note",
            label,
            f"{extra} row{'s' if extra != 1 else ''} repeat{'s' if extra == 1 else ''} an earlier "
            f"timestamp ({len(groups)} timestamp{'s' if len(groups) != 1 else ''} occur more than "
            f"once): {shown}{more(len(groups))}.",
            count=extra,
            examples=examples,
        )
    ]


def repeated_instants(df, position) -> list[dict]:
    """Timestamps written differently that stand for one instant, with all their rows."""
    from quarnex.utils.constants import DataType
    from quarnex.utils.data_helper import DataHelper

    column = df.iloc[:, position].reset_index(drop=True)
    parsed = column.to_frame("t")
    try:
        DataHelper().parse_time_col(parsed, "t", DataType.INPUT)
    except Exception:
        return []
    times = parsed["t"]
    repeated = times[times.duplicated(keep=False)]
    groups = {}
    for i, instant in repeated.items():
        groups.setdefault(instant, []).append(int(i))
    if not groups:
        return []
    extra = int(times.duplicated().sum())
    listed = list(groups.values())[:SHOWN]
    shown = "; ".join(" and ".join(f"{show(column[r])} on row {r + 1}" for r in rows[:SHOWN]) for rows in listed)
    return [
        finding(
            "repeated_timestamps",
            "note",
            df.columns[position],
            f"{extra} row{'s' if extra != 1 else ''} give{'s' if extra == 1 else ''} an earlier time in another "
            f"spelling: {shown}{more(len(groups))}.",
            count=extra,
            examples=[
                {"row": rows[0] + 1, "value": value_text(column[rows[0]]), "rows": [r + 1 for r in rows[:SHOWN]]}
                for rows in listed
            ],
        )
    ]


def _read_zone(text):
    """(the time the general parser, else the ISO one, reads, whether the parser
    found a zone word it does not know); (None, False) when neither reads it."""
    from dateutil.parser import UnknownTimezoneWarning, isoparse, parse

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always", UnknownTimezoneWarning)
        try:
            moment = parse(text)
        except Exception:
            try:
                moment = isoparse(text)
            except Exception:
                return None, False
    return moment, any(issubclass(w.category, UnknownTimezoneWarning) for w in seen)


def zone_refusal(df, position, code) -> list[dict]:
    """The rows of a refusal for zones: the first time with a zone word the parser
    cannot read (QUARNEX0080E), or the first time with a zone and the first
    without one (QUARNEX0079E)."""
    column = df.iloc[:, position]
    label = df.columns[position]
    first = {}
    for i, value in enumerate(column.tolist()):
        if not isinstance(value, str):
            continue
        moment, unknown_zone = _read_zone(value.strip('"'))
        if code == "QUARNEX0080E" and unknown_zone:
            first["with a zone the parser cannot read"] = i
            break
        if code == "QUARNEX0079E" and moment is not None:
            first.setdefault("with a zone" if moment.tzinfo is not None else "without a zone", i)
            if len(first) == 2:
                break
    if not first:
        return []
    listed = sorted(first.items(), key=lambda kind_row: kind_row[1])
    shown = "; ".join(f"{show(column.iloc[r])} on row {r + 1} ({kind})" for kind, r in listed)
    advice = (
        "write the zone as an offset (such as -04:00) or as UTC"
        if code == "QUARNEX0080E"
        else "give every time a zone, or none"
    )
    return [
        finding(
            "refused_value",
            "note",
            label,
            f"{shown}: {advice}.",
            count=len(listed),
            examples=[{"row": r + 1, "value": value_text(column.iloc[r])} for _, r in listed],
        )
    ]


def dropped_rows(df, position) -> list[dict]:
    column = df.iloc[:, position]
    label = df.columns[position]
    flags = column.isna().to_numpy()
    rows = [int(i) for i in flags.nonzero()[0]]
    if not rows:
        return []
    return [
        finding(
            "dropped_rows",
            "note",
            label,
            f"{len(rows)} row{'s' if len(rows) != 1 else ''} with an empty timestamp "
            f"{'are' if len(rows) != 1 else 'is'} left out of the prepared data: {_rows(rows)}.",
            changes_data=True,
            count=len(rows),
            examples=[{"row": r + 1, "value": None} for r in rows[:SHOWN]],
        )
    ]


def empty_values(df, positions: dict) -> list[dict]:
    """Empty values per designated column ({position: role}), in column order."""
    found = []
    for position, role in sorted(positions.items()):
        flags = _is_empty(df.iloc[:, position]).to_numpy()
        rows = [int(i) for i in flags.nonzero()[0]]
        if not rows:
            continue
        label = df.columns[position]
        found.append(
            finding(
                "empty_values",
                "note",
                label,
                f"The {role} column {show(label)} has {len(rows)} empty value"
                f"{'s' if len(rows) != 1 else ''} of {len(df)}: {_rows(rows)}.",
                changes_data=True,
                count=len(rows),
                role=role,
                examples=[{"row": r + 1, "value": value_text(df.iloc[r, position]) or ""} for r in rows[:SHOWN]],
            )
        )
    return found


def _step_seconds(step):
    seconds = getattr(step, "total_seconds", None)
    return seconds() if callable(seconds) else float(step)


def one_step(times) -> bool:
    """True when a datetime column without missing times has one step throughout (the
    common case, answered on its integer ticks without the steps' Series)."""
    ticks = getattr(times.array, "asi8", None) if times.dtype.kind == "M" else None
    if ticks is None or len(ticks) < 2 or times.hasnans:
        return False
    steps = ticks[1:] - ticks[:-1]
    return bool((steps == steps[0]).all())


def time_steps(table, position, step_text, rows_known: bool) -> list[dict]:
    """Gaps (steps longer than the most common one) and steps shorter than it, in the prepared table.

    ``rows_known``: the prepared table's index labels are the rows' positions in the file.
    """
    times = table.iloc[:, position].reset_index(drop=True)
    if len(times) < 3:
        return []
    if one_step(times):
        return []  # every step the most common one: no gap, none shorter
    steps = times.diff().iloc[1:]
    mode = steps.mode()
    if not len(mode):
        return []
    common = mode.iloc[0]
    unit = _step_seconds(common)
    label = table.columns[position]
    # Months, quarters and years differ in length by a few days: steps within a tenth of such a
    # step count as regular.
    slack = common * 0.1 if unit >= 28 * 86400 else common * 0
    found = []
    for which, mask in (("gaps", steps > common + slack), ("shorter", steps < common - slack)):
        picked = steps[mask]
        if picked.empty:
            continue
        if which == "gaps":
            picked = picked.sort_values(ascending=False, kind="stable")
        examples = []
        for at, step in list(picked.items())[:SHOWN]:
            start = int(at) - 1
            examples.append(
                {
                    "row": int(table.index[start]) + 1 if rows_known else None,
                    "value": None,
                    "after": str(times.iloc[start]),
                    "before": str(times.iloc[start + 1]),
                    "step": step_text(step),
                    "steps": _step_seconds(step) / unit if unit else None,
                }
            )
        listed = "; ".join(
            f"{e['step']} after {e['after']}" + (f" (row {e['row']})" if e["row"] else "") for e in examples
        )
        n = len(picked)
        if which == "gaps":
            text = (
                f"{n} gap{'s' if n != 1 else ''} (steps longer than the most common step "
                f"{step_text(common)}); the largest: {listed}."
            )
        else:
            text = (
                f"{n} step{'s' if n != 1 else ''} shorter than the most common step {step_text(common)}: "
                f"{listed}{more(n)}."
            )
        found.append(
            finding(
                "time_steps",
                "note",
                label,
                text,
                count=n,
                examples=examples,
                which=which,
                common_step=step_text(common),
            )
        )
    return found


def anomaly_labels(table, position, holdout_rows) -> list[dict]:
    label = table.columns[position]
    values = table.iloc[:, position]
    n_train = max(len(table) - int(holdout_rows), 0)
    train, hold = values.iloc[:n_train], values.iloc[n_train:]

    def anomalies(part):
        return int(((part != 0) & part.notna()).sum())

    counts = {
        "training": anomalies(train),
        "holdout": anomalies(hold),
        "training_rows": len(train),
        "holdout_rows": len(hold),
    }
    text = (
        f"Anomaly labels in column {show(label)}: {counts['training']} anomalies in the {len(train)} training "
        f"rows, {counts['holdout']} in the {len(hold)} holdout rows."
    )
    found = [finding("anomaly_labels", "note", label, text, count=counts["training"] + counts["holdout"], **counts)]
    if counts["training"] == 0:
        found.append(
            finding(
                "anomaly_labels",
                "note",
                label,
                "The training rows hold no anomaly"
                + (" (all are in the holdout rows)" if counts["holdout"] else "")
                + ": a model cannot learn what an anomaly looks like; use a smaller holdout "
                "or data with anomalies earlier.",
                count=0,
                **counts,
            )
        )
    return found


# ---- hints on the form of timestamps ----------------------------------------------

_QUARTER = re.compile(r'^\s*"?(?:(\d{4})\s*[-/ ]?\s*[Qq]([1-4])|[Qq]([1-4])\s*[-/ ]?\s*(\d{4}))"?\s*$')
_MONTH_CODE = re.compile(r'^\s*"?\d{4}M(0[1-9]|1[0-2])"?\s*$')
_SLASHED = re.compile(r'^\s*"?(\d{1,2})[/.\-](\d{1,2})[/.\-](\d{2,4})\b')
#: The same at the start of any line: one search over the texts joined by newlines finds every text
#: that _SLASHED matches (and perhaps a few more), without a regex call per text.
_SLASHED_LINE = re.compile(_SLASHED.pattern, re.MULTILINE)


def _integer_hint(label, ints, kind, what, option) -> dict:
    return finding(
        kind,
        "hint",
        label,
        f"Column {show(label)} holds integers that look like {what} (e.g. {int(ints.iloc[0])}); they are "
        f"read as plain numbers. Read them as dates with {option}.",
        examples=[{"row": None, "value": str(int(ints.iloc[0]))}],
        option=option,
    )


def series_id_hint(df, position, roles) -> list[dict]:
    """When one column explains every repeated timestamp (a long table of several series): use it as
    --series-id."""
    times = df.iloc[:, position]
    present = times.notna()
    if not bool(times[present].duplicated().any()):
        return []
    for other in range(len(df.columns)):
        if other == position or other in roles:
            continue
        column = df.iloc[:, other]
        if column.nunique(dropna=False) > len(df) // 2:
            continue
        pair = pd_frame(times[present], column[present])
        if not bool(pair.duplicated().any()):
            label = df.columns[other]
            return [
                finding(
                    "repeated_timestamps",
                    "hint",
                    label,
                    f"Every repeated timestamp belongs to another value of column {show(label)}: the file holds "
                    f"several series. Check each on its own with --series-id {label}.",
                    option=f"--series-id {label}",
                )
            ]
    return []


def pd_frame(times, column):
    import pandas as pd

    return pd.DataFrame({"t": times.to_numpy(), "id": column.to_numpy()})


def timestamp_form(df, position, dayfirst: bool, date_format: str | None, parsed=None) -> list[dict]:
    """Hints on timestamps the parsers misread or cannot read.

    ``parsed``: the timestamp column of the prepared data, indexed by the rows' positions in the
    file, when the data were accepted; a day-first hint is given only when an ambiguous date in it
    was read month first.
    """
    import pandas as pd

    column = df.iloc[:, position]
    label = df.columns[position]
    present = column.dropna()
    if present.empty or date_format:
        return []
    if pd.api.types.is_integer_dtype(present) or (
        pd.api.types.is_float_dtype(present) and bool((present == present.round()).all())
    ):
        ints = present.astype("int64")
        if bool(ints.between(10000101, 29991231).all()):
            months, days = (ints // 100) % 100, ints % 100
            if bool(months.between(1, 12).all() and days.between(1, 31).all()):
                return [
                    finding(
                        "date_integers",
                        "hint",
                        label,
                        f"Column {show(label)} holds integers that look like dates (e.g. "
                        f"{int(ints.iloc[0])}); they are read as plain numbers. Read them as dates with "
                        f"--date-format %Y%m%d.",
                        examples=[{"row": None, "value": str(int(ints.iloc[0]))}],
                        option="--date-format %Y%m%d",
                    )
                ]
        if bool(ints.between(100001, 299912).all()) and bool((ints % 100).between(1, 12).all()):
            return [_integer_hint(label, ints, "date_integers", "year and month (YYYYMM)", "--date-format %Y%m")]
        for low, high, what, option in (
            (100_000_000, 4_000_000_000, "seconds since 1970 (Unix time)", "--date-format unix"),
            (100_000_000_000, 4_000_000_000_000, "milliseconds since 1970", "--date-format unix_ms"),
            (20_000, 80_000, "days in a spreadsheet's count (Excel serial dates)", "--date-format excel"),
        ):
            if bool(ints.between(low, high).all()) and len(ints) > 1:
                return [_integer_hint(label, ints, "date_integers", what, option)]
        if bool(ints.between(1000, 2999).all()):
            return [
                finding(
                    "year_integers",
                    "hint",
                    label,
                    f"Column {show(label)} holds integers that look like years (e.g. {int(ints.iloc[0])}); "
                    f"they are read as plain numbers. Read them as dates with --date-format %Y.",
                    examples=[{"row": None, "value": str(int(ints.iloc[0]))}],
                    option="--date-format %Y",
                )
            ]
        return []
    if not is_text(present.dtype):
        return []
    texts = present.astype(str).head(10000)
    for form, what, unit, option in (
        (_QUARTER, "quarters", "quarter", "--date-format quarter"),
        (_MONTH_CODE, "months", "month", "--date-format %YM%m"),
    ):
        if all(form.match(t) for t in texts):  # plain re: stops at the first text of another form
            first = texts.iloc[0]
            return [
                finding(
                    "quarter_texts",
                    "hint",
                    label,
                    f"Column {show(label)} holds {what} such as {show(first)}, which the date parsers do not "
                    f"read. Read them as the first day of each {unit} with {option}.",
                    examples=[{"row": None, "value": first}],
                    option=option,
                )
            ]
    if not dayfirst and _SLASHED_LINE.search("\n".join(texts.tolist())):
        parts = texts.str.extract(_SLASHED)
        parts = parts.dropna()
        if len(parts):
            first, second = parts[0].astype(int), parts[1].astype(int)
            if parsed is not None:
                ambiguous = parts[(first <= 12) & (second <= 12) & (first != second)]
                ambiguous = [i for i in ambiguous.index if i in parsed.index]
                if ambiguous and getattr(parsed.loc[ambiguous[0]], "month", None) != int(parts.loc[ambiguous[0], 0]):
                    return []  # read day first already
            if bool((first > 12).any()) and bool((second > 12).any()):
                d, m = int(first[first > 12].index[0]), int(second[second > 12].index[0])
                return [
                    finding(
                        "mixed_day_month",
                        "note",
                        label,
                        f"Column {show(label)} mixes day-first dates ({show(column.loc[d])} on row "
                        f"{d + 1}) and month-first dates ({show(column.loc[m])} on row {m + 1}); the "
                        f"ambiguous ones cannot all be read right. Write every date in one order, best "
                        f"as 2024-01-31.",
                        examples=[
                            {"row": d + 1, "value": value_text(column.loc[d])},
                            {"row": m + 1, "value": value_text(column.loc[m])},
                        ],
                    )
                ]
            if bool((first > 12).any()) and bool((second <= 12).all()):
                if bool(parts[2].str.len().isin((2, 4)).all()):
                    return []  # the checks read a column of such dates day first by themselves
                row = int(first[first > 12].index[0])
                value = column.loc[row] if row in column.index else texts.loc[row]
                at = column.index.get_loc(row) + 1 if row in column.index else None
                return [
                    finding(
                        "day_first",
                        "hint",
                        label,
                        f"Column {show(label)} looks day-first ({show(value)}"
                        f"{f' on row {at}' if at else ''}); the parsers read an ambiguous date "
                        f"such as 01/02/2024 month-first. Give --dayfirst, or --date-format.",
                        examples=[{"row": at, "value": value_text(value)}],
                        option="--dayfirst",
                    )
                ]
    return []
