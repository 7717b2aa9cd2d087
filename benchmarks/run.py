"""Speed of the per-row work: the module against its straightforward route and
against the vectorised pandas / numpy primitives that bound what is possible.

    PYTHONPATH=<build>/site python benchmarks/run.py [--sizes 10000,100000,1000000]

The table is a forecasting table: an ISO text timestamp column ("2024-01-01
00:00:00", hourly) and two target columns of quoted numbers ('"12.345"').
Every ratio is measured in this one run. The straightforward route is the
module with QUARNEX_DATA_HELPER_NO_FASTPATH=1; above --straight-limit rows it
is extrapolated linearly from the largest size measured (marked "~").
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import time

import numpy as np
import pandas as pd

NOFAST = "QUARNEX_DATA_HELPER_NO_FASTPATH"


def forecasting_table(n, seed=0):
    rng = np.random.default_rng(seed)
    stamps = pd.date_range("2000-01-01", periods=n, freq="h").strftime("%Y-%m-%d %H:%M:%S")
    return pd.DataFrame(
        {
            "time": pd.Series(np.asarray(stamps, dtype=object), dtype=object),
            "load": pd.Series([f'"{v:.3f}"' for v in rng.normal(500, 50, n)], dtype=object),
            "temp": pd.Series([f'"{v:.1f}"' for v in rng.normal(12, 8, n)], dtype=object),
        }
    )


def best(fn, setup, repeat):
    """Best wall time of fn(setup()) over `repeat` runs (setup not timed)."""
    times = []
    for _ in range(repeat):
        arg = setup()
        gc.collect()
        t0 = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t0)
    return min(times)


def route(fast):
    if fast:
        os.environ.pop(NOFAST, None)
    else:
        os.environ[NOFAST] = "1"


def peak_memory(n):
    """Peak bytes allocated during process_data and the input table's size, in a fresh process."""
    code = f"""
import json, tracemalloc, sys
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from run import forecasting_table
from quarnex.utils.data_helper import DataHelper
from quarnex.utils import constants as C
df = forecasting_table({n})
size = int(df.memory_usage(deep=True).sum())
tracemalloc.start()
DataHelper.process_data(df, C.LEARNING_TYPE_TIMESERIES_FORECASTING, ["load", "temp"], None, "time", None, 0.2,
                        None, C.TSHIRT_SIZE_MEDIUM, [])
_, peak = tracemalloc.get_traced_memory()
print(json.dumps([size, peak]))
"""
    env = dict(os.environ)
    env.pop(NOFAST, None)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    if out.returncode != 0:
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000,1000000", help="comma-separated row counts")
    ap.add_argument(
        "--straight-limit",
        type=int,
        default=100000,
        help="largest row count at which the straightforward route is run (default 100000)",
    )
    ap.add_argument("--repeat", type=int, default=3, help="runs per measurement of the fast routes (best is kept)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory measurement")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    from quarnex.utils import constants as C
    from quarnex.utils.data_helper import DataHelper

    helper = DataHelper()
    FC = C.LEARNING_TYPE_TIMESERIES_FORECASTING
    try:
        DataHelper.process_data(
            forecasting_table(50), FC, ["load"], None, "time", None, 0.2, None, C.TSHIRT_SIZE_MEDIUM, []
        )
        have_pipeline = True
    except NotImplementedError:
        have_pipeline = False

    def numeric(df):
        helper.str2float(df, [1], "target")

    def parse(df):
        helper.parse_time_col(df, "time", C.DataType.INPUT)

    def interval(df):
        helper.validate_time_interval(df, "time", [], C.DataType.INPUT)

    def pipeline(df):
        DataHelper.process_data(df, FC, ["load", "temp"], None, "time", None, 0.2, None, C.TSHIRT_SIZE_MEDIUM, [])

    def numpy_stats(values):
        steps = np.diff(values.view("i8")) / 1e9
        return steps.mean(), steps.std(ddof=1)

    rows = []
    straight_per_row = {}
    for n in sizes:
        base = forecasting_table(n)
        unquoted = base["load"].str.strip('"')
        parsed = base.copy()
        parse(parsed)
        timestamps = parsed["time"].to_numpy()
        cases = [
            (
                "str2float (1 column)",
                numeric,
                lambda: base.copy(),
                "pd.to_numeric",
                lambda _: pd.to_numeric(unquoted),
                lambda: None,
            ),
            (
                "parse_time_col",
                parse,
                lambda: base.copy(),
                "pd.to_datetime ISO8601",
                lambda _: pd.to_datetime(base["time"], format="ISO8601"),
                lambda: None,
            ),
            (
                "validate_time_interval",
                interval,
                lambda: parsed,
                "numpy diff+mean+std",
                lambda _: numpy_stats(timestamps),
                lambda: None,
            ),
        ]
        if have_pipeline:
            cases.append(("process_data", pipeline, lambda: base.copy(), None, None, None))
        for name, fn, setup, ref_name, ref_fn, ref_setup in cases:
            route(True)
            fast = best(fn, setup, args.repeat)
            if n <= args.straight_limit:
                route(False)
                straight = best(fn, setup, 1)
                straight_per_row[name] = straight / n
                approx = ""
            else:
                straight = straight_per_row.get(name, float("nan")) * n
                approx = "~"
            route(True)
            ref = best(ref_fn, ref_setup, args.repeat) if ref_fn else None
            rows.append((n, name, fast, straight, approx, ref_name, ref))

    print(
        f"{'rows':>9}  {'operation':<24}{'fast s':>9}{'straight s':>12}{'speed-up':>10}"
        f"  {'bound':<24}{'bound s':>9}{'fast/bound':>11}"
    )
    for n, name, fast, straight, approx, ref_name, ref in rows:
        ratio = f"{approx}{straight / fast:.1f}x"
        bound = f"{ref_name:<24}{ref:>9.4f}{fast / ref:>10.2f}x" if ref is not None else ""
        print(f"{n:>9}  {name:<24}{fast:>9.4f}{approx:>2}{straight:>10.3f}{ratio:>10}  {bound}")

    if have_pipeline and not args.no_memory:
        print()
        for n in sizes:
            got = peak_memory(n)
            if got:
                size, peak = got
                print(
                    f"process_data peak memory at {n} rows: {peak / 2**20:.1f} MiB allocated during the call, "
                    f"input table {size / 2**20:.1f} MiB ({peak / size:.2f}x)"
                )
    elif not have_pipeline:
        print("\nprocess_data is not built yet: pipeline rows and peak memory skipped")


if __name__ == "__main__":
    main()
