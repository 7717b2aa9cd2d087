"""Speed of the per-row work: the module's fast routes against its
straightforward route and against the vectorised pandas / numpy primitives
that bound what is possible, how soon Ctrl-C is honoured, and peak memory.

    PYTHONPATH=<build>/site python benchmarks/run.py [--sizes 10000,100000]
    PYTHONPATH=<build>/site python benchmarks/run.py --sizes 1000000,10000000

Times are CPU seconds of this process, every ratio measured in this one run.
The straightforward route is the module with QUARNEX_DATA_HELPER_NO_FASTPATH=1.
A measurement is extrapolated linearly from the cost per row at a smaller size
(marked "~") for the straightforward route above --straight-limit rows, and
for any route whose predicted time exceeds --budget seconds.

The anchor of process_data (where pyarrow is installed) is pyarrow's strptime of
the table's time column alone, told the format.

Many series (--series SERIESxROWS, default 2000x1000; --no-series leaves it out): the
series route of quarnex-check --series-id with --jobs 1 and --jobs 2 against the
vectorised pandas checks a user would write instead, wall and CPU seconds, from
benchmarks/series.py (which adds Dask and each series checked on its own).

Tables: a text timestamp column in each shape below (one a minute from
2000-01-01; the date-only, year-only and year-month shapes cycle through 1700-2199), and
the headline forecasting table: ISO timestamps plus two columns of quoted
numbers ('"512.345"'), as process_data gets it at the XL size.
"""

import argparse
import gc
import json
import os
import resource
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd

NOFAST = "QUARNEX_DATA_HELPER_NO_FASTPATH"
HERE = os.path.dirname(os.path.abspath(__file__))

# name, pandas' explicit format for the shape, extra to_datetime arguments
SHAPES = [
    ("2024-01-31 13:00:00", "%Y-%m-%d %H:%M:%S", {}),
    ("2024-01-31T13:00:00+01:00", "%Y-%m-%dT%H:%M:%S%z", {}),
    ("+01:00/+02:00 mixed", "%Y-%m-%dT%H:%M:%S%z", {"utc": True}),
    ("2024-01-31T13:00:00Z", "%Y-%m-%dT%H:%M:%S%z", {}),
    ("01/31/2024 13:00", "%m/%d/%Y %H:%M", {}),
    ("2024/01/31 13:00", "%Y/%m/%d %H:%M", {}),
    ("31.01.2024 13:00", "%d.%m.%Y %H:%M", {}),
    ("31 Jan 2024 13:00", "%d %b %Y %H:%M", {}),
    ("2024-01-31 (date only)", "%Y-%m-%d", {}),
    ("2024 (year only)", "%Y", {}),
    ("2024-01 (year-month)", "%Y-%m", {}),
]


def as_object(values):
    return pd.Series(np.asarray(values, dtype=object), dtype=object)


def minutes(n):
    return pd.date_range("2000-01-01", periods=n, freq="min")


MONTHS = ["", "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]

# Each shape from the ISO text s = "YYYY-MM-DDTHH:MM:SS" of the same time: what
# strftime gives with the shape's format, at a tenth of its cost.
FROM_ISO = {
    "2024-01-31 13:00:00": lambda s: f"{s[:10]} {s[11:]}",
    "2024-01-31T13:00:00+01:00": lambda s: s + "+01:00",
    "2024-01-31T13:00:00Z": lambda s: s + "Z",
    "01/31/2024 13:00": lambda s: f"{s[5:7]}/{s[8:10]}/{s[:4]} {s[11:16]}",
    "2024/01/31 13:00": lambda s: f"{s[:4]}/{s[5:7]}/{s[8:10]} {s[11:16]}",
    "31.01.2024 13:00": lambda s: f"{s[8:10]}.{s[5:7]}.{s[:4]} {s[11:16]}",
    "31 Jan 2024 13:00": lambda s: f"{s[8:10]} {MONTHS[int(s[5:7])]} {s[:4]} {s[11:16]}",
}


def iso_texts(times):
    return np.datetime_as_string(times.to_numpy(dtype="datetime64[s]"), unit="s").tolist()


def shape_texts(shape, n):
    """n timestamp texts of one shape, in time order (a cycle for years)."""
    if shape.startswith("2024 ("):
        return as_object([str(1700 + i % 500) for i in range(n)])
    if shape.startswith("2024-01-31 ("):  # one a day from 1700, a cycle of 500 years
        days = pd.date_range("1700-01-01", "2199-12-31", freq="D").strftime("%Y-%m-%d").to_numpy(dtype=object)
        return as_object(np.resize(days, n))
    if shape.startswith("2024-01 ("):
        return as_object([f"{1700 + (i // 12) % 500}-{i % 12 + 1:02d}" for i in range(n)])
    t = minutes(n)
    if shape == "+01:00/+02:00 mixed":
        utc = t.tz_localize("UTC")
        local = utc.tz_convert("Europe/Paris").tz_localize(None)
        summer = ((local - t) // pd.Timedelta("1h")).to_numpy() == 2
        return as_object([s + ("+02:00" if h else "+01:00") for s, h in zip(iso_texts(local), summer.tolist())])
    make = FROM_ISO[shape]
    return as_object([make(s) for s in iso_texts(t)])


def forecasting_table(n, seed=0):
    rng = np.random.default_rng(seed)
    return pd.DataFrame(
        {
            "time": as_object(minutes(n).strftime("%Y-%m-%d %H:%M:%S")),
            "load": as_object([f'"{v:.3f}"' for v in rng.normal(500, 50, n)]),
            "temp": as_object([f'"{v:.1f}"' for v in rng.normal(12, 8, n)]),
        }
    )


def long_numbers(n, seed=1):
    """Plain decimals of 70 characters."""
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"x": as_object([f"{v:.66f}"[:70] for v in rng.uniform(100, 999, n)])})


def route(fast):
    if fast:
        os.environ.pop(NOFAST, None)
    else:
        os.environ[NOFAST] = "1"


def cpu(fn, setup, repeat, split=None):
    """Least CPU time of fn(setup()) over `repeat` runs (setup not timed).
    `split`, a dict, receives the user and system seconds of that run."""
    best = None
    for _ in range(repeat):
        arg = setup()
        gc.collect()
        r0, t0 = resource.getrusage(resource.RUSAGE_SELF), time.process_time()
        fn(arg)
        t1, r1 = time.process_time(), resource.getrusage(resource.RUSAGE_SELF)
        if best is None or t1 - t0 < best[0]:
            best = (t1 - t0, r1.ru_utime - r0.ru_utime, r1.ru_stime - r0.ru_stime)
        del arg
    if split is not None:
        split.update(user=best[1], system=best[2])
    return best[0]


def _arrow_anchors():
    """pyarrow.compute.strptime and the polars module, each None when not installed (pip install
    "quarnex-data-helper[bench]")."""
    try:
        import pyarrow.compute as pc

        strptime = pc.strptime
    except ImportError:
        strptime = None
    try:
        import polars as pl
    except ImportError:
        pl = None
    return strptime, pl


def _anchor(fn, setup, args, n):
    """Least CPU time of an anchor; None when it cannot read the shape with the format."""
    try:
        return cpu(fn, setup, repeats(args, n))
    except Exception:
        return None


def repeats(args, n):
    return args.repeat if n <= 1_000_000 else args.repeat_large


# ---- the operations ------------------------------------------------------------------


def operations():
    from quarnex.utils import constants as C
    from quarnex.utils.data_helper import DataHelper

    helper = DataHelper()
    FC = C.LEARNING_TYPE_TIMESERIES_FORECASTING

    def numeric(df):
        helper.str2float(df, [0] if df.shape[1] == 1 else [1], C.COLUMN_ROLE_TARGET)

    def parse(df):
        helper.parse_time_col(df, "time", C.DataType.INPUT)

    def interval(df):
        helper.validate_time_interval(df, "time", [], C.DataType.INPUT)

    def by_time(df):
        helper.process_data_by_time_col(df, None, "time", FC, 0.2, [])

    def pipeline(df):
        DataHelper.process_data(df, FC, ["load", "temp"], None, "time", None, 0.2, None, C.TSHIRT_SIZE_EXTRA_LARGE, [])

    return {"numeric": numeric, "parse": parse, "interval": interval, "by_time": by_time, "pipeline": pipeline}


class Bench:
    def __init__(self, args):
        self.args = args
        self.per_row = {}
        self.split = {}
        self.ops = operations()

    def measure(self, key, route_fast, fn, make, n):
        """(seconds, "~" when extrapolated) for fn on make(n)."""
        a = self.args
        calib = min(n, a.calibrate)
        if key not in self.per_row and n > calib:
            route(route_fast)
            self.per_row[key] = cpu(fn, lambda: make(calib), 1) / calib
        predicted = self.per_row.get(key, 0.0) * n
        if (not route_fast and n > a.straight_limit) or predicted > a.budget:
            return predicted, "~"
        route(route_fast)
        t = cpu(fn, lambda: make(n), repeats(a, n), self.split.setdefault((key, n), {}))
        self.per_row[key] = t / n
        return t, ""

    def shape_rows(self, n):
        rows = []
        for shape, fmt, kw in SHAPES:
            texts = shape_texts(shape, n)
            make = lambda m, texts=texts: pd.DataFrame({"time": texts.iloc[:m].copy()})
            fast, fa = self.measure(("parse", shape, True), True, self.ops["parse"], make, n)
            straight, sa = self.measure(("parse", shape, False), False, self.ops["parse"], make, n)
            ref = cpu(lambda s: pd.to_datetime(s, format=fmt, **kw), lambda texts=texts: texts, repeats(self.args, n))
            rows.append((f"parse_time_col {shape}", n, fast, fa, straight, sa, ref))
            del texts
        return rows

    def anchor_rows(self, n):
        """parse_time_col per shape against pyarrow's and polars' strptime told the format (each
        where installed), in this run."""
        pa_strptime, pl = _arrow_anchors()
        rows = []
        for shape, fmt, _kw in SHAPES:
            texts = shape_texts(shape, n)
            make = lambda m, texts=texts: pd.DataFrame({"time": texts.iloc[:m].copy()})
            fast, fa = self.measure(("parse", shape, True), True, self.ops["parse"], make, n)
            anchors = {}
            if pa_strptime is not None:
                import pyarrow as pa

                unit = "us"
                anchors["pyarrow"] = _anchor(
                    lambda a: pa_strptime(a, format=fmt, unit=unit),
                    lambda texts=texts: pa.array(texts.tolist()),
                    self.args,
                    n,
                )
            if pl is not None:
                anchors["polars"] = _anchor(
                    lambda s: s.str.strptime(pl.Datetime("us"), fmt, strict=False),
                    lambda texts=texts: pl.Series(texts.tolist()),
                    self.args,
                    n,
                )
            # The column as pandas builds it from a list of str (a str column in Arrow storage
            # from pandas 3): what a reader of files hands over by default.
            default = pd.Series(texts.tolist())
            if default.dtype != object:
                make = lambda m, default=default: pd.DataFrame({"time": default.iloc[:m].copy()})
                dflt, da = self.measure(("parse default", shape, True), True, self.ops["parse"], make, n)
            else:
                dflt, da = fast, fa
            rows.append((shape, n, fast, fa, dflt, da, anchors))
            del texts, default
        return rows

    def table_rows(self, n):
        rows = []
        table = forecasting_table(n)
        numbers = long_numbers(n)
        unquoted = table["load"].str.strip('"')
        parsed = table[["time"]].copy()
        self.ops["parse"](parsed)
        stamps = parsed["time"].to_numpy()

        # process_data's anchor: pyarrow's strptime of the time column alone, told the format
        # (nothing where pyarrow is not installed).
        pa_strptime, _ = _arrow_anchors()
        parse_alone = None
        if pa_strptime is not None:
            import pyarrow as pa

            arrow_times = pa.array(table["time"].tolist())
            parse_alone = lambda: pa_strptime(arrow_times, format="%Y-%m-%d %H:%M:%S", unit="us")  # noqa: E731

        def numpy_stats(values):
            steps = np.diff(values.view("i8")) / 1e9
            return steps.mean(), steps.std(ddof=1)

        cases = [
            (
                "str2float quoted numbers",
                "numeric",
                lambda m: table[["time", "load"]].iloc[:m].copy(),
                lambda: pd.to_numeric(unquoted),
            ),
            (
                "str2float 70-char texts",
                "numeric",
                lambda m: numbers.iloc[:m].copy(),
                lambda: pd.to_numeric(numbers["x"]),
            ),
            ("validate_time_interval", "interval", lambda m: parsed.iloc[:m], lambda: numpy_stats(stamps)),
            (
                "process_data_by_time_col",
                "by_time",
                lambda m: table[["time"]].iloc[:m].copy(),
                lambda: (
                    table["time"].duplicated().any(),
                    pd.to_datetime(table["time"], format="%Y-%m-%d %H:%M:%S").sort_values(),
                ),
            ),
            ("process_data (headline table)", "pipeline", lambda m: table.iloc[:m].copy(), parse_alone),
        ]
        # The same table with the text dtype pandas gives by default (str from pandas 3).
        read = pd.DataFrame({c: pd.Series(table[c].tolist()) for c in table})
        if (read.dtypes != object).any():
            cases.append(
                ("process_data (headline, default dtype)", "pipeline", lambda m: read.iloc[:m].copy(), parse_alone)
            )
        for name, op, make, ref_fn in cases:
            fn = self.ops[op]
            fast, fa = self.measure((name, True), True, fn, make, n)
            straight, sa = self.measure((name, False), False, fn, make, n)
            ref = cpu(lambda _: ref_fn(), lambda: None, repeats(self.args, n)) if ref_fn else None
            rows.append((name, n, fast, fa, straight, sa, ref))
        return rows


# ---- many series ----------------------------------------------------------------------


def many_series(n_series, n_rows):
    """The series route of quarnex-check (--jobs 1 and 2) beside the vectorised pandas checks, on
    one long table, in this run (wall and CPU seconds; the least of three runs each)."""
    import series as long_tables  # benchmarks/series.py, beside this file

    route(True)
    df = long_tables.long_table(n_series, n_rows)
    anchor = min((long_tables.vectorised(df) for _ in range(3)), key=lambda t: t[0])
    rows = [("vectorised pandas checks", *anchor)]
    verdicts = set()
    for jobs in (1, 2):
        runs = [long_tables.command(df, jobs) for _ in range(3)]
        best = min(runs, key=lambda t: t[0])
        verdicts.update(str(sorted(r[2].items())) for r in runs)
        rows.append((f"quarnex-check --jobs {jobs}", best[0], best[1]))
    assert len(verdicts) == 1, "the routes disagree"
    print(f"\nmany series: {n_series} series x {n_rows} rows ({n_series * n_rows:,} rows, {os.cpu_count()} cores)")
    print(f"  {'route':<28}{'wall s':>8}{'CPU s':>8}{'series/s':>10}{'wall/anchor':>13}")
    for name, wall, cpu_s in rows:
        print(f"  {name:<28}{wall:>8.3f}{cpu_s:>8.3f}{n_series / wall:>10.0f}{wall / anchor[0]:>12.2f}x")


# ---- Ctrl-C latency and peak memory, in child processes --------------------------------

CHILD = r"""
import gc, json, os, sys, time
sys.path.insert(0, {here!r})
import run
n = {n}
ops = run.operations()
table = run.forecasting_table(n)
numbers = run.long_numbers(n)
other = run.shape_texts("01/31/2024 13:00", min(n, 200000))
parsed = table[["time"]].copy()
ops["parse"](parsed)
setups = {{
    "str2float quoted numbers": ("numeric", lambda: table[["time", "load"]].copy()),
    "str2float 70-char texts": ("numeric", lambda: numbers.copy()),
    "parse_time_col ISO": ("parse", lambda: table[["time"]].copy()),
    "parse_time_col 01/31/2024 13:00": ("parse", lambda: run.pd.DataFrame({{"time": other.copy()}})),
    "validate_time_interval": ("interval", lambda: parsed),
    "process_data_by_time_col": ("by_time", lambda: table[["time"]].copy()),
    "process_data": ("pipeline", lambda: table.copy()),
}}
for line in sys.stdin:
    name = json.loads(line)
    op, setup = setups[name]
    arg = setup()
    gc.collect()
    print("go", flush=True)
    try:
        t0 = time.monotonic()
        ops[op](arg)
        print("done", time.monotonic() - t0, flush=True)
        try:
            time.sleep(120)
        except KeyboardInterrupt:
            pass
    except KeyboardInterrupt:
        print("caught", time.monotonic(), flush=True)
    del arg
"""


def ctrl_c_latencies(n, plan):
    """{operation: [latency s, or None when it ended before the signal]} for
    SIGINT sent `delay` seconds into each run, in one child process."""
    env = dict(os.environ)
    env.pop(NOFAST, None)
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD.format(here=HERE, n=n)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    got = {}
    try:
        for name, delay in plan:
            child.stdin.write(json.dumps(name) + "\n")
            child.stdin.flush()
            line = child.stdout.readline()
            if not line.startswith("go"):
                raise RuntimeError(f"child: {line!r}")
            time.sleep(delay)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            word, value = child.stdout.readline().split()
            got.setdefault(name, []).append(float(value) - sent if word == "caught" else None)
    finally:
        child.stdin.close()
        child.wait()
    return got


MEMORY = r"""
import json, sys
sys.path.insert(0, {here!r})
import run
table = run.forecasting_table({n})
size = int(table.memory_usage(deep=True).sum())
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
run.operations()["pipeline"](table)
print(json.dumps([size, status("VmHWM:") - before]))
"""


def peak_memory(n):
    """(input table bytes, peak resident growth during process_data) in a fresh process."""
    env = dict(os.environ)
    env.pop(NOFAST, None)
    out = subprocess.run([sys.executable, "-c", MEMORY.format(here=HERE, n=n)], env=env, capture_output=True, text=True)
    if out.returncode != 0:
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000", help="comma-separated row counts (default 10000,100000)")
    ap.add_argument(
        "--straight-limit",
        type=int,
        default=100000,
        help="largest row count at which the straightforward route is run (default 100000)",
    )
    ap.add_argument(
        "--budget",
        type=float,
        default=30.0,
        help="extrapolate any measurement predicted to take longer (seconds, default 30)",
    )
    ap.add_argument("--calibrate", type=int, default=100000, help="rows of the run that calibrates a prediction")
    ap.add_argument("--repeat", type=int, default=3, help="runs per measurement up to 1M rows (least is kept)")
    ap.add_argument("--repeat-large", type=int, default=3, help="runs per measurement above 1M rows (least is kept)")
    ap.add_argument("--no-shapes", action="store_true", help="skip the timestamp shapes")
    ap.add_argument(
        "--shape-sizes", help="comma-separated row counts of the timestamp shapes (default: those of --sizes)"
    )
    ap.add_argument("--no-anchors", action="store_true", help="skip pyarrow and polars told each shape's format")
    ap.add_argument("--no-interrupt", action="store_true", help="skip the Ctrl-C latencies")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory measurement")
    ap.add_argument("--series", default="2000x1000", help="series x rows of the many-series table (default 2000x1000)")
    ap.add_argument("--no-series", action="store_true", help="skip the many-series comparison")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    shape_sizes = [int(s) for s in args.shape_sizes.split(",")] if args.shape_sizes else sizes
    bench = Bench(args)

    print(
        f"{'operation':<44}{'rows':>9}{'fast s':>9}{'straight s':>12}{'pandas s':>10}"
        f"{'straight/fast':>15}{'fast/pandas':>13}"
    )
    pipeline = {}
    for n in sorted(set(sizes) | set(shape_sizes)):
        shapes = [] if args.no_shapes or n not in shape_sizes else bench.shape_rows(n)
        rows = shapes + (bench.table_rows(n) if n in sizes else [])
        for name, m, fast, fa, straight, sa, ref in rows:
            if name.startswith("process_data ("):
                pipeline[m] = fast
            pandas = f"{ref:>10.3f}" if ref else f"{'':>10}"
            bound = f"{fa}{fast / ref:.2f}x" if ref else ""
            speed = f"{sa or fa}{straight / fast:.1f}x"
            print(
                f"{name:<44}{m:>9}{fa:>2}{fast:>7.3f}{sa:>3}{straight:>9.3f}{pandas}{speed:>15}{bound:>13}", flush=True
            )
    if not args.no_shapes and not args.no_anchors:
        print(
            f"\n{'timestamp shape (told the format: the anchors)':<44}{'rows':>9}{'fast s':>9}{'pyarrow s':>11}"
            f"{'polars s':>10}{'fast/best':>11}{'default s':>11}{'default/best':>14}"
        )
        print("(fast: an object column of str; default: the column pandas builds from a list of str)")
        for n in shape_sizes:
            for shape, m, fast, fa, dflt, da, anchors in bench.anchor_rows(n):
                got = [t for t in anchors.values() if t]
                cells = "".join(
                    f"{anchors[k]:>{w}.3f}" if anchors.get(k) else f"{'-':>{w}}"
                    for k, w in (("pyarrow", 11), ("polars", 10))
                )
                ratio = f"{fast / min(got):.2f}x" if got else "-"
                dratio = f"{dflt / min(got):.2f}x" if got else "-"
                print(
                    f"{shape:<44}{m:>9}{fa:>2}{fast:>7.3f}{cells}{ratio:>11}{da:>4}{dflt:>7.3f}{dratio:>14}", flush=True
                )
    if _arrow_anchors()[0] is not None:
        print("(the process_data rows' anchor: pyarrow's strptime of the time column alone, told the format)")
    ns = sorted(pipeline)
    for small, large in zip(ns, ns[1:]):
        print(
            f"\nprocess_data: {large} rows cost {pipeline[large] / pipeline[small]:.1f}x what {small} rows cost "
            f"({large // small}x the rows)"
        )
    # CPU time in the process itself and in the kernel on its behalf (mostly
    # zeroing the fresh pages of new arrays, which large arrays get on every
    # call and small ones only while the process grows).
    for m in ns:
        split = bench.split.get((("process_data (headline table)", True), m))
        if split:
            print(f"process_data at {m} rows: user {split['user']:.3f} s, system {split['system']:.3f} s")

    if not args.no_series:
        many_series(*(int(v) for v in args.series.split("x")))

    if not args.no_interrupt:
        n = sizes[-1]
        # When to send the signal: shares of the call's own time (its fast
        # route's cost per row measured above).
        cost = bench.per_row.get
        plan = []
        for name, key, rows, shares in [
            ("str2float quoted numbers", ("str2float quoted numbers", True), n, (0.5,)),
            ("str2float 70-char texts", ("str2float 70-char texts", True), n, (0.3, 0.7)),
            ("parse_time_col ISO", ("parse", SHAPES[0][0], True), n, (0.5,)),
            ("parse_time_col 01/31/2024 13:00", ("parse", "01/31/2024 13:00", True), min(n, 200000), (0.5,)),
            ("validate_time_interval", ("validate_time_interval", True), n, (0.5,)),
            ("process_data_by_time_col", ("process_data_by_time_col", True), n, (0.2, 0.5, 0.8)),
            ("process_data", ("process_data (headline table)", True), n, (0.1, 0.3, 0.5, 0.7, 0.9)),
        ]:
            seconds = cost(key, 0.2 / rows) * rows
            plan += [(name, max(0.005, share * seconds)) for share in shares]
        got = ctrl_c_latencies(n, plan)
        print(
            f"\nCtrl-C latency at {n} rows (SIGINT sent into a running call in a child process; "
            f"seconds until KeyboardInterrupt reached the caller):"
        )
        for name, lat in got.items():
            shown = ", ".join("ended first" if x is None else f"{x:.3f}" for x in lat)
            worst = max((x for x in lat if x is not None), default=None)
            print(f"  {name:<36} worst {'-' if worst is None else f'{worst:.3f}':>7} s   ({shown})")

    if not args.no_memory:
        print()
        for n in sizes:
            got = peak_memory(n)
            if got:
                size, peak = got
                print(
                    f"process_data peak memory at {n} rows: resident memory grew by {peak / 2**20:.1f} MiB during "
                    f"the call; input table {size / 2**20:.1f} MiB ({peak / size:.2f}x)"
                )


if __name__ == "__main__":
    main()
