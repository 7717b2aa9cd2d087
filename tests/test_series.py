"""Many series in one file: quarnex-check --series-id, --jobs, check_table and the Dask path."""

import importlib.util
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import fuzz_strategies
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_check_cli import SERIES_SCHEMA, validate

from quarnex.check import checking, command, options, rendering, series
from quarnex.utils import data_helper

OPTIONS = ["--target", "sales", "--timestamp", "time", "--holdout", "5"]


def long_table():
    """Series of every kind, interleaved as in a real file: accepted, warned (short), refused
    (repeated timestamp), a single row, and rows with an empty id."""
    parts = []
    for store, item, n in [("A", 1, 120), ("A", 2, 30), ("B", 1, 60), ("C", 1, 1)]:
        times = pd.date_range("2024-01-01", periods=n, freq="h").strftime("%Y-%m-%d %H:%M").tolist()
        if (store, item) == ("B", 1):
            times[10] = times[9]
        parts.append(pd.DataFrame({"store": store, "item": item, "time": times, "sales": np.arange(n) * 1.5}))
    parts.append(pd.DataFrame({"store": [None, " "], "item": 1, "time": "2024-01-01 00:00", "sales": 1.0}))
    return pd.concat(parts, ignore_index=True).sample(frac=1.0, random_state=3).reset_index(drop=True)


def run(capsys, *args):
    status = command.main([*map(str, args)])
    out = capsys.readouterr()
    return status, out.out, out.err


@pytest.fixture
def long_csv(tmp_path):
    path = tmp_path / "long.csv"
    long_table().to_csv(path, index=False)
    return path


def test_report_per_series(capsys, long_csv, tmp_path):
    status, out, err = run(
        capsys,
        long_csv,
        "--series-id",
        "store",
        "#1",
        *OPTIONS,
        "--jobs",
        "1",
        "--json",
        "--output",
        tmp_path / "out.csv",
    )
    assert status == 1 and err == ""
    report = json.loads(out)
    validate(report, SERIES_SCHEMA)  # each series' entry is a single table's report, with its id
    entries = {None if e["id"] is None else tuple(e["id"].values()): e for e in report["series"]}
    assert [e["status"] for e in report["series"]] == ["refused"] * 3 + ["accepted"] * 2  # worst first
    # Where the refusal lies, in data rows of the file (not of the series).
    assert entries[("B", 1)]["main"].startswith("QUARNEX0075E: 1 row repeats an earlier timestamp")
    rows = entries[("B", 1)]["diagnostics"][0]["examples"][0]["rows"]
    at_fault = long_table().iloc[[r - 1 for r in rows]]
    assert at_fault["store"].eq("B").all() and at_fault["time"].nunique() == 1
    assert f"rows {rows[0]}, {rows[1]}" in entries[("B", 1)]["main"]
    assert entries[("C", 1)]["status"] == "refused" and entries[("C", 1)]["rows_in"] == 1
    assert entries[None]["rows_in"] == 2 and "2 rows with an empty series id" in entries[None]["main"]
    assert entries[("A", 2)]["warnings"] and entries[("A", 1)]["warnings"] == []
    assert (entries[("A", 1)]["rows_out"], entries[("A", 1)]["holdout_rows"]) == (120, 5)
    assert report["totals"] == {
        "series": 4,
        "accepted": 1,
        "warned": 1,
        "refused": 2,
        "error": 0,
        "rows_in": 213,
        "rows_out": 150,
        "rows_without_id": 2,
    }
    # The accepted series' prepared rows, with their id columns, in the order the series first appear.
    written = pd.read_csv(tmp_path / "out.csv")
    assert written.groupby(["store", "item"], sort=False).size().to_dict() == {("A", 2): 30, ("A", 1): 120}
    assert written.groupby(["store", "item"])["time"].apply(lambda t: t.is_monotonic_increasing).all()

    status, text, _ = run(
        capsys,
        long_csv,
        "--series-id",
        "store",
        "item",
        *OPTIONS,
        "--jobs",
        "1",
        "--strict",
        "--output",
        tmp_path / "strict.csv",
    )
    assert status == 1 and pd.read_csv(tmp_path / "strict.csv")["item"].eq(1).all()  # A, 2 has a warning
    lines = text.splitlines()
    assert lines[0].endswith("long.csv, 4 series by store, item")
    assert lines[2].split() == ["series", "result", "rows", "holdout", "warnings", "main", "diagnostic"]
    assert lines[3].split()[:4] == ["B,", "1", "refused", "60"] and "QUARNEX0075E" in lines[3]
    assert "A, 2        accepted, 1 warning (refused under --strict)" in lines[-3]
    assert lines[-2].split()[:6] == ["A,", "1", "accepted", "120", "5", "0"]
    assert lines[-1].startswith("  totals: 4 series: 2 accepted (1 with warnings), 2 refused; 2 rows without")


def test_jobs_give_the_same_result_from_the_command(long_csv, tmp_path, capsys):
    # One run through the installed entry point in worker processes, against the in-process run.
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "quarnex.utils.check",
            long_csv,
            "--series-id",
            "store",
            "item",
            *OPTIONS,
            "--jobs",
            "2",
            "--json",
            "--output",
            tmp_path / "two.csv",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 1 and done.stderr == ""  # no progress bar when not on a terminal
    status, out, _ = run(
        capsys,
        long_csv,
        "--series-id",
        "store",
        "item",
        *OPTIONS,
        "--jobs",
        "1",
        "--json",
        "--output",
        tmp_path / "one.csv",
    )
    assert status == 1 and json.loads(done.stdout) == json.loads(out)
    assert (tmp_path / "two.csv").read_bytes() == (tmp_path / "one.csv").read_bytes()


#: Worker pools forked from the test process itself. Under the sanitizers (their allocator
#: preloaded, every allocation through it) such a worker once hung at its start: a fork of a
#: process that has run a thousand tests is not safe with that allocator. They run in the other
#: suites; the command's own pools (fresh processes) run under the sanitizers too.
forks_this_process = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="a worker forked from the test process under the sanitizers"
)


@forks_this_process
def test_jobs_with_many_chunks(monkeypatch):
    # Enough series for several chunks per worker; a series whose check fails stays its own error.
    df = pd.DataFrame(
        {"id": np.repeat(np.arange(40), 30), "time": np.tile(np.arange(30), 40), "sales": np.arange(1200.0)}
    )
    real = checking.check_frame

    def flaky(frame, *args):
        if frame["id"].iloc[0] == 7:
            raise RuntimeError("series seven")
        return real(frame, *args)

    monkeypatch.setattr(checking, "check_frame", flaky)  # forked workers inherit the patch
    labels = ["id"]
    ids, positions, _ = series.split(df, labels)
    settings = options.Settings.from_options(target="sales", timestamp="time", holdout=3)
    results = {}
    for jobs in (1, 2):
        progress = series._Progress(len(positions), False)
        results[jobs] = series.run_series(df, positions, settings, jobs, True, progress)
        assert progress.done == 40
    assert [r for r, _ in results[1]] == [r for r, _ in results[2]]
    assert all(a.equals(b) for (_, a), (_, b) in zip(results[1], results[2]) if a is not None)
    assert [r["status"] for r, _ in results[2]].count("error") == 1
    assert results[2][7][0]["main"] == "RuntimeError: series seven"


@forks_this_process
def test_a_worker_that_dies_takes_down_only_unfinished_series(monkeypatch):
    import os

    df = pd.DataFrame(
        {"id": np.repeat(np.arange(40), 30), "time": np.tile(np.arange(30), 40), "sales": np.arange(1200.0)}
    )
    real = checking.check_frame
    monkeypatch.setattr(
        checking, "check_frame", lambda frame, *a: os._exit(9) if frame["id"].iloc[0] == 30 else real(frame, *a)
    )
    _, positions, _ = series.split(df, ["id"])
    settings = options.Settings.from_options(target="sales", timestamp="time", holdout=3)
    results = series.run_series(df, positions, settings, 2, False, series._Progress(len(positions), False))
    assert len(results) == 40 and results[30][0]["main"].startswith("the worker process stopped")
    assert results[0][0]["status"] == "accepted"


@pytest.mark.parametrize("json_out", [False, True])
def test_progress_bar_only_on_a_terminal(long_csv, monkeypatch, capsys, json_out):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.setattr(sys, "stderr", Terminal())
    command.main([str(long_csv), "--series-id", "store", "item", *OPTIONS, "--jobs", "1"] + ["--json"] * json_out)
    shown = sys.stderr.getvalue()
    assert shown == "" if json_out else shown.endswith("] 4/4\033[K\r\033[K")


@pytest.mark.filterwarnings("error")
@settings(max_examples=60, deadline=None, database=None)
@given(
    st.lists(
        st.tuples(st.sampled_from(["a", "b", "", " ", None, "10"]), st.sampled_from([1, 2, None])),
        min_size=1,
        max_size=25,
    ),
    st.sampled_from(["object", "text", "category"]),
)
def test_split_partitions_the_rows(keys, kind):
    df = pd.DataFrame(keys, columns=["k1", "k2"], dtype=object)
    if kind == "text":  # as --text reads a file: empty cells are empty texts
        df = df.map(lambda v: "" if v is None else str(v))
    elif kind == "category":  # as Parquet may store them
        df = df.astype("category")
    ids, positions, empty = series.split(df, ["k1", "k2"])
    seen = np.sort(np.concatenate([*positions, empty]))
    assert seen.tolist() == list(range(len(df)))
    for series_id, rows in zip(ids, positions):
        assert (df.loc[rows, "k1"] == series_id["k1"]).all() and (df.loc[rows, "k2"] == series_id["k2"]).all()

    def blank(v):
        return pd.isna(v) or (isinstance(v, str) and not v.strip())

    assert empty.tolist() == [i for i, (a, b) in enumerate(df.itertuples(index=False)) if blank(a) or blank(b)]


def _one_by_one(df, positions, settings_):
    return [series._check_one(df.take(rows).reset_index(drop=True), settings_, False, rows)[0] for rows in positions]


@settings(max_examples=40, deadline=None, database=None)
@given(fuzz_strategies.long_tables())
def test_the_grouped_route_gives_the_reports_of_each_series_alone(table):
    df, options_ = table
    settings_ = options.Settings.from_options(**options_)
    _, positions, _ = series.split(df, ["id"])
    got = series.run_series(df, positions, settings_, 1, False, series._Progress(len(positions), False))
    assert json.dumps([report for report, _ in got]) == json.dumps(_one_by_one(df, positions, settings_))


@pytest.mark.parametrize("size, holdout", [("S", 0.2), ("S", 3000), ("M", 24)])
def test_the_grouped_route_takes_the_plain_series(size, holdout):
    """Plain series of one length and step: one pass, one series checked alone, the same reports; with
    size S the series are cut to their latest 10,000 rows."""
    n = 10_003 if size == "S" else 50
    times = pd.date_range("2024-01-01", periods=n, freq="min").strftime("%Y-%m-%dT%H:%M:%S").tolist()
    df = pd.DataFrame({"id": np.repeat([7, 3, 5], n), "time": times * 3, "sales": np.arange(3 * n) / 4})
    settings_ = options.Settings.from_options(target="sales", timestamp="time", holdout=holdout, size=size)
    _, positions, _ = series.split(df, ["id"])
    before = data_helper._fastpath_stats()["series_segment"]["hit"]
    got = series.run_series(df, positions, settings_, 1, False, series._Progress(3, False))
    taken = data_helper._fastpath_stats()["series_segment"]["hit"] - before
    assert taken == (0 if os.environ.get("QUARNEX_DATA_HELPER_NO_FASTPATH", "0") not in ("", "0") else 3)
    assert json.dumps([report for report, _ in got]) == json.dumps(_one_by_one(df, positions, settings_))


@pytest.mark.parametrize("kind", ["object", "str", "datetime"])
def test_the_pass_in_two_threads_finds_what_one_finds(kind):
    """A table large enough for the pass to read its later half in a second thread, the rows of its
    series interleaved, some series plain and some at fault: the same series plain, steps, instants
    and counts."""
    rng = np.random.default_rng(5)
    n_series, n = 300, 500
    times = pd.date_range("2024-01-01", periods=n, freq="h")
    df = pd.DataFrame({"id": np.tile(np.arange(n_series), n), "time": np.repeat(times, n_series)})
    df["sales"] = rng.normal(size=len(df))
    faulty = rng.choice(n_series, 60, replace=False)
    for k, s in enumerate(faulty):  # a repeated instant, a missing value, a gap
        row = rng.integers(1, n) * n_series + s
        if k % 3 == 0:
            df.loc[row, "time"] = df.loc[row - n_series, "time"]
        elif k % 3 == 1:
            df.loc[row, "sales"] = np.nan
        else:
            df.loc[row, "time"] += pd.Timedelta("1min")
    if kind != "datetime":
        stamps = df["time"].dt.strftime("%Y-%m-%d %H:%M:%S")
        df["time"] = stamps.astype(object) if kind == "object" else stamps.astype(pd.StringDtype())
    settings_ = options.Settings.from_options(target="sales", timestamp="time", holdout=24)
    _, positions, _ = series.split(df, ["id"])
    times_in, numbers = series._grouped_inputs(df, settings_)
    bounds = np.concatenate([[0], np.cumsum([len(p) for p in positions])]).astype(np.int64)
    order = np.concatenate(positions).astype(np.int64)
    got = {}
    for workers in (1, 2):
        before = data_helper._fastpath_stats()["series_segment"]["hit"]
        got[workers] = data_helper._series_segments(times_in, order, bounds, numbers, workers)
        got[workers] = got[workers] and (*got[workers], data_helper._fastpath_stats()["series_segment"]["hit"] - before)
    if os.environ.get("QUARNEX_DATA_HELPER_NO_FASTPATH", "0") not in ("", "0"):
        assert got[1] is None and got[2] is None
        return
    (instants1, plain1, steps1, hits1), (instants2, plain2, steps2, hits2) = got[1], got[2]
    assert plain1.sum() == hits1 == hits2 == n_series - len(faulty)
    assert (plain1 == plain2).all() and (steps1 == steps2).all()
    rows = np.concatenate([np.arange(bounds[s], bounds[s + 1]) for s in np.flatnonzero(plain1)])
    assert (instants1[rows] == instants2[rows]).all()


def test_check_partition_gives_one_line_per_series():
    df = long_table()
    got = series.check_partition(df, ["store", "item"], target="sales", timestamp="time", holdout=5)
    assert list(got.columns) == ["store", "item", *series.SUMMARY_META]
    assert dict(got.dtypes.iloc[2:].astype(str)) == series.SUMMARY_META
    lines = {(r.store, r.item): (r.status, r.rows, r.warnings) for r in got.itertuples()}
    assert lines == {
        ("A", 1): ("accepted", 120, 0),
        ("A", 2): ("accepted", 30, 1),
        ("B", 1): ("refused", 60, 0),
        ("C", 1): ("refused", 1, 0),
    }


@pytest.mark.parametrize(
    "args, says",
    [
        (("--series-id", "shop"), "--series-id shop: no such column"),
        (("--series-id", "9"), "--series-id 9: the table has only 4 columns"),
        (("--series-id", "store", "--target", "store"), "store is a series id; it cannot also be given as --target"),
        (("--series-id", "store", "--jobs", "0"), "bad --jobs '0'"),
        (("--jobs", "2"), "--jobs applies only with --series-id"),
        (("--series-id", "store", "--holdout-file", "long.csv"), "--holdout-file cannot be combined"),
    ],
)
def test_series_usage_errors(capsys, long_csv, monkeypatch, args, says):
    monkeypatch.chdir(long_csv.parent)
    status, out, err = run(capsys, "long.csv", *args)
    assert status == 2 and out == "" and err.count("\n") == 1 and says in err


def test_check_table_takes_the_commands_options(long_csv, capsys):
    df = long_table()
    group = df[(df["store"] == "A") & (df["item"] == 1)]  # as a group comes: with its rows' index labels
    before = group.copy()
    report = series.check_table(group, target=3, timestamp="time", holdout=5)
    assert group.equals(before)  # checked on a copy
    json.dumps(report)  # plain data
    _, out, _ = run(capsys, long_csv, "--series-id", "store", "item", *OPTIONS, "--jobs", "1", "--json")
    command = next(e for e in json.loads(out)["series"] if e["id"] == {"store": "A", "item": 1})
    assert report == {k: v for k, v in command.items() if k != "id"} | {"file": None, "csv": None}
    assert series.summary(report) == {"status": "accepted", "warnings": 0, "rows": 120, "holdout_rows": 5.0, "main": ""}
    assert str(report) == rendering.text(report) and "accepted" in str(report)
    assert '<pre id="report">' in report._repr_html_() and "quarnex-check --plot" in report._repr_html_()
    with pytest.raises(options.UsageError, match="unknown t-shirt size"):
        series.check_table(group, target="sales", size="XXL")


@pytest.mark.skipif(
    any(importlib.util.find_spec(m) is None for m in ("dask", "distributed", "pyarrow")), reason="needs quarnex[dask]"
)
def test_dask_map_partitions_gives_the_commands_verdicts(long_csv, tmp_path, capsys):
    import dask.dataframe as dd
    from dask.distributed import Client, LocalCluster

    df = long_table().dropna(subset=["store"])
    df = df[df["store"].str.strip() != ""]
    dd.from_pandas(df, npartitions=3).to_parquet(tmp_path / "data", write_index=False)
    ids = ["store", "item"]
    meta = {"store": "object", "item": "int64", **series.SUMMARY_META}
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        data = dd.read_parquet(tmp_path / "data").shuffle(on=ids)
        got = data.map_partitions(series.check_partition, ids, meta=meta, target="sales", timestamp="time", holdout=5)
        got = got.compute()
    _, out, _ = run(capsys, long_csv, "--series-id", "store", "item", *OPTIONS, "--jobs", "1", "--json")
    # The same verdicts and main diagnostics (whose row numbers count a partition's rows under Dask).
    expected = {
        tuple(e["id"].values()): (e["status"], len(e["warnings"]), e["rows_in"], e["main"].split(" on ")[0])
        for e in json.loads(out)["series"]
        if e["id"] is not None
    }
    lines = {(r.store, r.item): (r.status, r.warnings, r.rows, r.main.split(" on ")[0]) for r in got.itertuples()}
    assert lines == expected


#: The Spark schema of one series' line: its ids, then summary()'s fields (SUMMARY_META's types).
SPARK_SCHEMA = "store string, item long, status string, warnings long, rows long, holdout_rows double, main string"


@pytest.mark.skipif(
    importlib.util.find_spec("pyspark") is None or not shutil.which("java"), reason="needs quarnex[spark] and Java"
)
def test_spark_apply_in_pandas_gives_the_commands_verdicts(long_csv, capsys, monkeypatch):
    from pyspark.sql import SparkSession

    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)  # the workers run this interpreter
    df = long_table().dropna(subset=["store"])
    df = df[df["store"].str.strip() != ""]

    def verdict(group):
        line = series.summary(series.check_table(group, target="sales", timestamp="time", holdout=5))
        return pd.DataFrame([{"store": group["store"].iloc[0], "item": group["item"].iloc[0], **line}])

    # Spark's own driver code warns under pandas 3 (its support, its copy keyword); the checks run
    # in its workers, whose warnings do not reach this process either way.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        spark = (
            SparkSession.builder.master("local[2]")
            .appName("quarnex-check test")
            .config("spark.ui.enabled", "false")
            .getOrCreate()
        )
        try:
            grouped = spark.createDataFrame(df).groupBy("store", "item")
            got = grouped.applyInPandas(verdict, schema=SPARK_SCHEMA).toPandas()
        finally:
            spark.stop()
    _, out, _ = run(capsys, long_csv, "--series-id", "store", "item", *OPTIONS, "--jobs", "1", "--json")
    # The same verdicts and main diagnostics (whose row numbers count a group's rows under Spark).
    expected = {
        tuple(e["id"].values()): (e["status"], len(e["warnings"]), e["rows_in"], e["main"].split(" on ")[0])
        for e in json.loads(out)["series"]
        if e["id"] is not None
    }
    assert {
        (r.store, r.item): (r.status, r.warnings, r.rows, r.main.split(" on ")[0]) for r in got.itertuples()
    } == expected


def _children(pid):
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(stat.parent.name))
    return found


def _alive(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="needs /proc")
@pytest.mark.parametrize("how", ["SIGINT to the group", "SIGTERM", "SIGKILL"])
def test_an_ended_run_leaves_no_worker_behind(tmp_path, how):
    n = 3000  # series: far more than two workers check before the signal
    df = pd.DataFrame(
        {"id": np.repeat(np.arange(n), 40), "time": np.tile(np.arange(40), n), "sales": np.arange(40.0 * n)}
    )
    df.to_csv(tmp_path / "long.csv", index=False)
    args = [sys.executable, "-m", "quarnex.check", "long.csv", "--series-id", "id", "--target", "sales"]
    proc = subprocess.Popen(
        [*args, "--timestamp", "time", "--jobs", "2"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    deadline = time.monotonic() + 60
    while len(workers := _children(proc.pid)) < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    assert proc.poll() is None and len(workers) >= 2
    sent = time.monotonic()
    if how == "SIGINT to the group":
        os.killpg(proc.pid, signal.SIGINT)
    else:
        proc.send_signal(getattr(signal, how))
    out, err = proc.communicate(timeout=30)
    if how != "SIGKILL":
        # not the half minute of a pool left to finish (under the sanitizers all is slower)
        assert time.monotonic() - sent < (60 if "asan" in os.environ.get("LD_PRELOAD", "") else 10)
        assert (proc.returncode, err.decode()) == (130, "quarnex-check: interrupted\n")
    while any(_alive(w) for w in workers) and time.monotonic() - sent < 5:
        time.sleep(0.05)
    assert not any(_alive(w) for w in workers)
