"""CPU seconds of parse_time_col on one text column per timestamp shape: the
fast route, the straightforward route (QUARNEX_DATA_HELPER_NO_FASTPATH=1) and
pandas.to_datetime with an explicit format, all measured in this one run.

    PYTHONPATH=<build>/site python benchmarks/date_shapes.py [--rows 1000000] [--straight-rows 1000000]

Above --straight-rows the straightforward route is extrapolated linearly from
that many rows (marked "~").
"""

import argparse
import gc
import os
import time

import numpy as np
import pandas as pd

from quarnex.utils import constants as C
from quarnex.utils import data_helper as dh

NOFAST = "QUARNEX_DATA_HELPER_NO_FASTPATH"

#: name -> (strftime shape or a function of the DatetimeIndex, frequency, pandas format, pandas keywords)
SHAPES = {
    "2024-01-31 13:00:00 (ISO naive)": ("%Y-%m-%d %H:%M:%S", "h", "%Y-%m-%d %H:%M:%S", {}),
    "2024-01-31T13:00:00+01:00": ("%Y-%m-%dT%H:%M:%S+01:00", "h", "%Y-%m-%dT%H:%M:%S%z", {}),
    "+01:00/+02:00 mixed": (
        lambda i: (
            i.tz_localize("Europe/Berlin", ambiguous="NaT", nonexistent="NaT").dropna().map(lambda t: t.isoformat())
        ),
        "h",
        "%Y-%m-%dT%H:%M:%S%z",
        {"utc": True},
    ),
    "...Z (local zone UTC)": ("%Y-%m-%dT%H:%M:%SZ", "h", "%Y-%m-%dT%H:%M:%S%z", {}),
    "01/31/2024 13:00": ("%m/%d/%Y %H:%M", "h", "%m/%d/%Y %H:%M", {}),
    "2024/01/31 13:00": ("%Y/%m/%d %H:%M", "h", "%Y/%m/%d %H:%M", {}),
    "31.01.2024 13:00": ("%d.%m.%Y %H:%M", "h", "%d.%m.%Y %H:%M", {}),
    "Jan-31-2024": ("%b-%d-%Y", "D", "%b-%d-%Y", {}),
    "31 Jan 2024": ("%d %b %Y", "D", "%d %b %Y", {}),
    "January 2024": ("%B %Y", "MS", "%B %Y", {}),
    "2024 (year only)": ("%Y", "YS", "%Y", {}),
    "2024-01 (year-month)": ("%Y-%m", "MS", "%Y-%m", {}),
}


def texts(shape, freq, n):
    # yearly and monthly columns repeat a short run of texts, as a long file of them would not exist
    periods, start = {"YS": (400, "1700"), "MS": (3000, "1750-01"), "D": (60000, "1800-01-01")}.get(
        freq, (min(n, 1_000_000), "2000")
    )
    index = pd.date_range(start, periods=periods, freq=freq)
    made = index.strftime(shape) if isinstance(shape, str) else shape(index)
    values = np.asarray(made, dtype=object)
    return np.resize(values, n)


def cpu(fn):
    gc.collect()
    t0 = time.process_time()
    fn()
    return time.process_time() - t0


def parse_time(values, fast):
    if fast:
        os.environ.pop(NOFAST, None)
    else:
        os.environ[NOFAST] = "1"
    df = pd.DataFrame({"t": pd.Series(values, dtype=object, copy=True)})
    helper = dh.DataHelper()
    seconds = cpu(lambda: helper.parse_time_col(df, "t", C.DataType.INPUT))
    os.environ.pop(NOFAST, None)
    return seconds, df["t"].dtype


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--straight-rows", type=int, default=1_000_000)
    args = ap.parse_args()
    n = args.rows
    print(f"rows {n}; CPU seconds; time.tzname {time.tzname}")
    print("| shape | fast | straightforward | pandas explicit format | straightforward/fast | fast/pandas | dtype |")
    print("|---|---|---|---|---|---|---|")
    for name, (shape, freq, fmt, kw) in SHAPES.items():
        values = texts(shape, freq, n)
        fast, dtype = parse_time(values, True)
        m = min(n, args.straight_rows)
        slow, _ = parse_time(values[:m], False)
        mark = "" if m == n else "~"
        slow *= n / m
        series = pd.Series(values, dtype=object)
        pandas = cpu(lambda: pd.to_datetime(series, format=fmt, **kw))
        print(
            f"| `{name}` | {fast:.3f} | {mark}{slow:.2f} | {pandas:.3f} | {mark}{slow / fast:.0f}x | "
            f"{fast / pandas:.2f} | {dtype} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
