"""The picture and the shareable page of quarnex-check (--plot, --html).

The picture shows the target columns over time (over the rows when there is no
timestamp column) with the holdout rows shaded, gaps in the time steps marked
in orange and repeated timestamps as red lines, and below it a histogram of the
time steps. Accepted data are drawn as prepared; refused data as read from the
file, with the times read as far as they can be.

matplotlib is optional (pip install "quarnex-data-helper[plot]"); the page is
written without a picture when it is missing.
"""

from __future__ import annotations

import io
import os

MAX_TARGETS = 3


class PlotUnavailable(Exception):
    pass


def _pyplot():
    try:
        import matplotlib
    except ImportError:
        raise PlotUnavailable('drawing needs matplotlib: pip install "quarnex-data-helper[plot]"') from None
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    return plt


def _numbers(column):
    import pandas as pd

    if pd.api.types.is_numeric_dtype(column):
        return column.astype(float)
    return pd.to_numeric(column.map(lambda v: str(v).strip().strip('"') if isinstance(v, str) else v), errors="coerce")


def _times(column):
    import pandas as pd

    if pd.api.types.is_datetime64_any_dtype(column):
        return column
    if pd.api.types.is_numeric_dtype(column):
        return column.astype(float)
    texts = column.map(lambda v: str(v).strip().strip('"') if isinstance(v, str) else v)
    return pd.to_datetime(texts, errors="coerce", format="mixed")


def _series(report, table, raw):
    """(times or None, {label: values}, holdout rows, repeated times) of the data to draw."""
    if table is not None:
        columns = report["columns"]
        ts = columns["timestamp"]
        times = table.iloc[:, ts["position"]].reset_index(drop=True) if ts else None
        ys = {
            c["label"]: _numbers(table.iloc[:, c["position"]]).reset_index(drop=True)
            for c in columns["target"][:MAX_TARGETS]
        }
        return times, ys, int(report["holdout_rows"] or 0), []
    ts_pos, target_pos = raw["ts"], raw["targets"]
    df = raw["df"]
    times = _times(df.iloc[:, ts_pos]).reset_index(drop=True) if ts_pos is not None else None
    ys = {df.columns[p]: _numbers(df.iloc[:, p]).reset_index(drop=True) for p in target_pos[:MAX_TARGETS]}
    repeated = []
    if times is not None:
        raw_ts = df.iloc[:, ts_pos].reset_index(drop=True)
        flags = raw_ts.duplicated(keep=False) & raw_ts.notna()
        repeated = [t for t in times[flags].dropna().unique()]
        keep = times.notna()
        times = times[keep]
        ys = {k: v[keep] for k, v in ys.items()}
        order = times.sort_values(kind="stable").index
        times = times.loc[order].reset_index(drop=True)
        ys = {k: v.loc[order].reset_index(drop=True) for k, v in ys.items()}
    return times, ys, 0, repeated


def _gaps(times):
    """(start, end) of each step longer than the most common step."""
    if times is None or len(times) < 3:
        return [], None
    steps = times.diff().iloc[1:]
    mode = steps.mode()
    if not len(mode):
        return [], None
    common = mode.iloc[0]
    seconds = getattr(common, "total_seconds", None)
    unit = seconds() if callable(seconds) else float(common)
    slack = common * 0.1 if unit >= 28 * 86400 else common * 0
    picked = steps[steps > common + slack]
    return [(times.iloc[i - 1], times.iloc[i]) for i in picked.index], steps


#: At most this many gaps and repeated timestamps are marked; the picture says how many more there are.
SHADED = 500


def draw(report: dict, table, raw: dict, path: str | None) -> tuple[bytes, str] | None:
    """Draws the picture into path (when given); returns its bytes and format for the page, or None
    when the data hold nothing to draw."""
    plt = _pyplot()
    times, ys, holdout_rows, repeated = _series(report, table, raw)
    fmt = "svg" if path and path.lower().endswith(".svg") else "png"
    gaps, steps = _gaps(times)
    two = steps is not None and len(steps) > 0
    fig, axes = plt.subplots(
        2 if two else 1,
        1,
        figsize=(10, 6.5 if two else 4),
        squeeze=False,
        gridspec_kw={"height_ratios": [3, 1.3]} if two else None,
    )
    ax = axes[0][0]
    n = max((len(v) for v in ys.values()), default=0)
    x = times if times is not None else list(range(1, n + 1))
    for label, values in ys.items():
        ax.plot(x, values, linewidth=0.9, label=str(label))
    if holdout_rows and n:
        start = x.iloc[n - holdout_rows] if hasattr(x, "iloc") else x[n - holdout_rows]
        end = x.iloc[-1] if hasattr(x, "iloc") else x[-1]
        ax.axvspan(start, end, color="tab:blue", alpha=0.12, label=f"holdout ({holdout_rows} rows)")
    for i, (start, end) in enumerate(gaps[:SHADED]):
        ax.axvspan(start, end, color="tab:orange", alpha=0.35, label="gap" if i == 0 else None)
    for i, when in enumerate(repeated[:SHADED]):
        ax.axvline(when, color="tab:red", linewidth=0.8, label="repeated timestamp" if i == 0 else None)
    unshown = [
        f"{n - SHADED:,} more {what} not marked"
        for n, what in ((len(gaps), "gaps"), (len(repeated), "repeated timestamps"))
        if n > SHADED
    ]
    if unshown:
        ax.text(0.99, 0.01, "; ".join(unshown), transform=ax.transAxes, ha="right", va="bottom", fontsize=8)
    if times is not None:
        import matplotlib.dates as mdates

        locator = mdates.AutoDateLocator()
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    verdict = (
        report["status"]
        if report["exit_status"] in (0, 3) or report["status"] != "accepted"
        else "accepted (refused under --strict)"
    )
    name = os.path.basename(report["file"]) if report["file"] not in (None, "-") else report["file"] or "table"
    ax.set_title(f"{name}: {verdict}", fontsize=10)
    ax.set_xlabel("time" if times is not None else "row")
    if ys or holdout_rows or gaps or repeated:
        ax.legend(loc="upper left", fontsize=8)
    if two:
        hist = axes[1][0]
        seconds = steps.map(lambda s: s.total_seconds() if hasattr(s, "total_seconds") else float(s)).astype(float)
        unit, name = 1.0, "time step"
        if hasattr(steps.iloc[0], "total_seconds"):
            scale = float(seconds.median())
            unit, name = next(
                (
                    (u, f"time step ({n_})")
                    for u, n_ in ((86400, "days"), (3600, "hours"), (60, "minutes"))
                    if scale >= u
                ),
                (1.0, "time step (seconds)"),
            )
        scaled = seconds / unit
        counts = scaled.value_counts().sort_index()
        if len(counts) <= 30:  # a few distinct steps: one bar each
            width = (counts.index.max() - counts.index.min()) / 60 or 0.5
            hist.bar(counts.index, counts.to_numpy(), width=width, color="tab:gray")
        else:
            hist.hist(scaled, bins=60, color="tab:gray")
        hist.set_yscale("log")
        hist.set_ylim(bottom=0.5)
        hist.set_xlabel(name)
        hist.set_ylabel("steps")
    fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, format=fmt, dpi=100)
    plt.close(fig)
    data = buffer.getvalue()
    if path:
        from quarnex.check.output import atomic

        with atomic(path, binary=True) as f:
            f.write(data)
    return data, fmt
