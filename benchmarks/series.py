"""Many series at once: series checked per second by quarnex-check --series-id in one
process and with --jobs 2, and by Dask's map_partitions(check_partition) on two local workers,
beside the vectorised pandas checks.

    PYTHONPATH=<build>/site python benchmarks/series.py [--series 10000] [--rows 1000]

needs quarnex[dask] (dask[dataframe,distributed], pyarrow). The data: a long-format
table of SERIES series of ROWS hourly rows each (id, ISO text timestamp, float target),
held in memory for the command's checking stage and written as a Parquet data set of
--parts files for Dask. All three are measured in this one run:

- command, jobs 1 / jobs 2: splitting the table into series and checking them (what
  quarnex-check does after reading the file: the plain series in one pass, the others
  one by one); with --alone also every series on its own; the time to read the same data
  set with pandas is shown on its own line;
- Dask: read_parquet + map_partitions(check_partition) + compute, on a LocalCluster of
  two worker processes with one thread each (starting the cluster is shown apart);
- the anchor: the vectorised pandas checks a user would write instead (parse with the
  format, repeated (id, time), per-series step mean and deviation, holdout rows).

Besides the wall time, the CPU seconds spent by all the processes of a route (this
one, its worker processes, Dask's workers) are shown: on a machine shared with other
work the wall time of --jobs 2 only falls when a second core is free, while series per
CPU second shows the cost of each route whatever the load.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from quarnex.check import series
from quarnex.check.options import Settings

OPTIONS = {"target": "sales", "timestamp": "time", "holdout": 24}


def long_table(n_series, n_rows, seed=0):
    rng = np.random.default_rng(seed)
    stamps = pd.date_range("2020-01-01", periods=n_rows, freq="h").strftime("%Y-%m-%d %H:%M:%S")
    stamps = np.asarray(stamps, dtype=object)
    return pd.DataFrame(
        {
            "id": np.repeat(np.arange(n_series), n_rows),
            "time": np.tile(stamps, n_series),
            "sales": rng.normal(500, 50, n_series * n_rows),
        }
    )


def cpu_seconds(t):
    return t.user + t.system + t.children_user + t.children_system


def command(df, jobs, grouped=True):
    """What quarnex-check --series-id does after reading; ``grouped=False``: every series checked on
    its own (the grouped route left out)."""
    settings = Settings.from_options(**OPTIONS)
    route = series.grouped_reports
    if not grouped:
        series.grouped_reports = lambda *args: {}
    try:
        t0, c0 = time.perf_counter(), os.times()
        ids, positions, _ = series.split(df, ["id"])
        results = series.run_series(df, positions, settings, jobs, False, series._Progress(len(positions), False))
        elapsed, cpu = time.perf_counter() - t0, cpu_seconds(os.times()) - cpu_seconds(c0)
    finally:
        series.grouped_reports = route
    return elapsed, cpu, {i["id"]: r["status"] for i, (r, _) in zip(ids, results)}


def vectorised(df):
    """The checks a user would write with pandas instead: parse the time column with its format,
    repeated (id, time), per-series step mean and deviation, holdout rows; the anchor."""
    t0, c0 = time.perf_counter(), os.times()
    times = pd.to_datetime(df["time"], format="%Y-%m-%d %H:%M:%S")
    table = pd.DataFrame({"id": df["id"], "time": times, "sales": pd.to_numeric(df["sales"])})
    repeated = table.duplicated(["id", "time"]).groupby(table["id"]).any()
    table = table.sort_values(["id", "time"], kind="stable")
    steps = table.groupby("id")["time"].diff().dt.total_seconds()
    stats = steps.groupby(table["id"]).agg(["mean", "std", "size"])
    uneven = stats["std"] > 0.2 * stats["mean"]
    holdout = (stats["size"] + 1).clip(upper=OPTIONS["holdout"])
    _ = (repeated, uneven, holdout, table["sales"].isna().groupby(table["id"]).any())
    return time.perf_counter() - t0, cpu_seconds(os.times()) - cpu_seconds(c0)


def with_dask(folder):
    import dask.dataframe as dd
    from dask.distributed import Client, LocalCluster

    t0 = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        started = time.perf_counter() - t0
        client = Client.current()
        before = client.run(lambda: cpu_seconds(os.times()))
        t0, c0 = time.perf_counter(), os.times()
        data = dd.read_parquet(folder)
        # Each file of the data set holds whole series: each partition is checked as one table.
        meta = {"id": "int64", **series.SUMMARY_META}
        out = data.map_partitions(series.check_partition, ["id"], meta=meta, **OPTIONS).compute()
        elapsed, cpu = time.perf_counter() - t0, cpu_seconds(os.times()) - cpu_seconds(c0)
        after = client.run(lambda: cpu_seconds(os.times()))
        cpu += sum(after.values()) - sum(before.values())  # the workers' and this process's (the scheduler)
    return started, elapsed, cpu, dict(zip(out["id"].tolist(), out["status"]))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--series", type=int, default=10000)
    p.add_argument("--rows", type=int, default=1000)
    p.add_argument("--parts", type=int, default=20, help="files in the Parquet data set")
    p.add_argument("--alone", action="store_true", help="also time every series checked on its own (slow)")
    a = p.parse_args()
    df = long_table(a.series, a.rows)
    folder = tempfile.mkdtemp(prefix="quarnex-series-")
    try:
        bounds = np.linspace(0, a.series, a.parts + 1).astype(int)
        for k, (lo, hi) in enumerate(zip(bounds[:-1], bounds[1:])):
            df.iloc[lo * a.rows : hi * a.rows].to_parquet(os.path.join(folder, f"part-{k:03d}.parquet"), index=False)
        t0 = time.perf_counter()
        pd.read_parquet(folder)
        read = time.perf_counter() - t0

        print(
            f"{a.series} series x {a.rows} rows ({a.series * a.rows:,} rows), {os.cpu_count()} cores, "
            f"Python {sys.version.split()[0]}, pandas {pd.__version__}"
        )
        print(f"  reading the data set with pandas: {read:.1f} s")
        rows = []
        anchor, anchor_cpu = vectorised(df)
        rows.append(("vectorised pandas checks", anchor, anchor_cpu))
        one, cpu, verdicts = command(df, 1)
        rows.append(("quarnex-check --jobs 1", one, cpu))
        two, cpu, verdicts2 = command(df, 2)
        rows.append(("quarnex-check --jobs 2", two, cpu))
        if a.alone:
            alone, cpu, verdicts_alone = command(df, 1, grouped=False)
            rows.append(("each series alone, jobs 1", alone, cpu))
            assert verdicts_alone == verdicts, "the routes disagree"
        try:
            import dask.distributed  # noqa: F401
        except ImportError:
            print('  (Dask left out: not installed; pip install ".[dask]")')
            verdicts3 = verdicts
        else:
            start, dask_time, cpu, verdicts3 = with_dask(folder)
            rows.append(("Dask, 2 workers", dask_time, cpu))
            print(f"  (starting the Dask cluster: {start:.1f} s, not counted)")
        assert verdicts == verdicts2 == verdicts3, "the routes disagree"
        print(f"  (load average {os.getloadavg()[0]:.1f} at the end)")
        print(f"  {'route':<24} {'seconds':>8} {'series/s':>9} {'vs jobs 1':>9} {'CPU s':>7} {'series/CPU s':>12}")
        for name, seconds, cpu in rows:
            print(
                f"  {name:<24} {seconds:8.1f} {a.series / seconds:9.0f} {one / seconds:8.2f}x {cpu:7.1f} "
                f"{a.series / cpu:12.0f}"
            )
        statuses = pd.Series(verdicts).value_counts().to_dict()
        print(f"  verdicts (the same on every route): {statuses}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
