"""quarnex-check, run as a separate process on files, and its option parsing."""

import importlib.util
import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from quarnex.utils import check
from quarnex.utils.messages.messages import Messages

def cli(*args, cwd):
    done = subprocess.run([sys.executable, "-m", "quarnex.utils.check", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=120)
    return done


def hourly_csv(path, n, start="2024-01-01", repeat_at=None):
    times = pd.date_range(start, periods=n, freq="h").strftime("%Y-%m-%d %H:%M").tolist()
    if repeat_at is not None:
        times[repeat_at] = times[repeat_at - 1]
    lines = ["time,sales,temp"] + [f'{t},"{i * 2.5}","{i % 9}"' for i, t in enumerate(times)]
    path.write_text("\n".join(lines) + "\n")
    return path


# ---- option parsing (no extension needed) -----------------------------------------


@pytest.mark.parametrize(
    "text, designation",
    [("sales", "sales"), ("3", 3), ("#3", 3), ("007", 7), ("=3", "3"), ("==x", "=x"), ("-1", "-1"),
     ("3.0", "3.0"), ("", ""), ("٣", "٣")],
)
def test_designation(text, designation):
    got = check.designation(text)
    assert got == designation and type(got) is type(designation)


@pytest.mark.parametrize("text, size", [("0.2", 0.2), ("30", 30), ("30.0", 30.0), (" 5 ", 5), ("1e-1", 0.1)])
def test_holdout_size(text, size):
    got = check.holdout_size(text)
    assert got == size and type(got) is type(size)


@pytest.mark.parametrize("bad", [("holdout_size", "a fifth"), ("holdout_size", "nan"), ("designation", "#x")])
def test_bad_values_are_usage_errors(bad):
    func, text = bad
    with pytest.raises(check.UsageError):
        getattr(check, func)(text)


# ---- usage and file errors -------------------------------------------------------


@pytest.mark.parametrize(
    "args, says",
    [
        ((), "give a data FILE"),
        (("missing.csv", "--target", "sales"), "missing.csv: no such file"),
        (("data.csv", "--size", "XXL"), "unknown t-shirt size 'XXL'"),
        (("data.csv", "--learning-type", "regression"), "unknown learning type"),
        (("data.csv", "--holdout", "half"), "bad holdout size"),
        (("data.csv", "--bogus"), "unrecognized arguments: --bogus"),
        (("data.csv", "--example"), "either a FILE or --example"),
        (("data.csv", "--anomaly-label", "flag"), "--anomaly-label applies only"),
        (("empty.csv",), "empty.csv: cannot be read"),
        (("data.csv", "--holdout-file", "."), "is a folder"),
    ],
)
def test_usage_and_file_errors(tmp_path, args, says):
    hourly_csv(tmp_path / "data.csv", 20)
    (tmp_path / "empty.csv").write_text("")
    done = cli(*args, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("quarnex-check: error: ")
    assert says in done.stderr


@pytest.mark.skipif(importlib.util.find_spec("pyarrow") is not None, reason="pyarrow is installed")
def test_parquet_without_pyarrow(tmp_path):
    (tmp_path / "data.parquet").write_bytes(b"PAR1")
    done = cli("data.parquet", cwd=tmp_path)
    assert done.returncode == 2 and "needs pyarrow" in done.stderr


@pytest.mark.skipif(importlib.util.find_spec("pyarrow") is None, reason="pyarrow is not installed")
@pytest.mark.parametrize("zone", ["Europe/Berlin", "UTC"])
def test_parquet_with_a_zoned_timestamp_column(tmp_path, zone):
    times = pd.date_range("2024-03-30 20:00", periods=150, freq="h", tz=zone)
    pd.DataFrame({"time": times, "sales": np.arange(150) * 2.5}).to_parquet(tmp_path / "data.parquet")
    done = cli("data.parquet", "--target", "sales", "--timestamp", "time", "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    report = json.loads(done.stdout)
    assert report["status"] == "accepted" and report["time"]["step"] == "1h"
    assert report["time"]["first"].startswith(str(times[0].tz_convert("UTC"))[:19])


# ---- refused, warned and accepted files -------------------------------------------


def test_refused_by_parameter_check(tmp_path):
    hourly_csv(tmp_path / "data.csv", 20)
    done = cli("data.csv", "--timestamp", "time", cwd=tmp_path)
    assert done.returncode == 1
    text = Messages.get_message("target", "target", message_id="QUARNEX0092E")
    assert f"refusal        {text}" in done.stdout
    assert "result         refused" in done.stdout and done.stderr == ""


def test_refused_repeated_timestamps_json(tmp_path):
    hourly_csv(tmp_path / "data.csv", 150, repeat_at=40)
    done = cli("data.csv", "--target", "sales", "--timestamp", "time", "--json", "--output", "out.csv",
               cwd=tmp_path)
    assert done.returncode == 1
    report = json.loads(done.stdout)
    assert report["status"] == "refused"
    assert report["refusal"] == Messages.get_message(message_id="QUARNEX0075E")
    assert report["rows_in"] == 150 and report["rows_out"] is None
    assert not (tmp_path / "out.csv").exists()


def test_accepted_with_warnings(tmp_path):
    hourly_csv(tmp_path / "data.csv", 60)
    done = cli("data.csv", "--target", "1", "--feature", "temp", "--feature", "nope", "--timestamp", "#0",
               "--holdout", "10", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "result         accepted with 2 warnings" in out
    assert Messages.get_message("nope", message_id="QUARNEX0016W") in out
    assert Messages.get_message(message_id="QUARNEX0007W") in out
    assert out.index("QUARNEX0016W") < out.index("QUARNEX0007W")
    assert "rows           60 in, 60 out" in out and "holdout rows   10" in out
    assert "target         #1 sales" in out and "feature        #2 temp" in out
    assert "time           2024-01-01 00:00:00 to 2024-01-03 11:00:00, most common step 1h" in out


def test_accepted_json_and_output(tmp_path):
    hourly_csv(tmp_path / "data.csv", 150)
    shuffled = pd.read_csv(tmp_path / "data.csv").sample(frac=1.0, random_state=1)
    shuffled.to_csv(tmp_path / "data.csv", index=False)
    done = cli("data.csv", "--target", "sales", "--timestamp", "time", "--json", "--output", "out.csv",
               cwd=tmp_path)
    assert done.returncode == 0
    report = json.loads(done.stdout)
    assert report["status"] == "accepted" and report["warnings"] == []
    assert (report["rows_in"], report["rows_out"], report["holdout_rows"]) == (150, 150, 30)
    assert report["columns"] == {
        "target": [{"position": 1, "label": "sales"}],
        "feature": [],
        "timestamp": {"position": 0, "label": "time"},
        "anomaly_label": None,
    }
    assert report["time"]["step"] == "1h"
    written = pd.read_csv(tmp_path / "out.csv")
    assert written["sales"].tolist() == [i * 2.5 for i in range(150)]


def test_holdout_file(tmp_path):
    hourly_csv(tmp_path / "train.csv", 120)
    hourly_csv(tmp_path / "holdout.csv", 30, start="2024-01-06")
    done = cli("train.csv", "--target", "sales", "--timestamp", "time", "--holdout-file", "holdout.csv",
               "--json", cwd=tmp_path)
    assert done.returncode == 0
    report = json.loads(done.stdout)
    assert (report["rows_in"], report["holdout_rows_in"], report["rows_out"], report["holdout_rows"]) == (
        120, 30, 150, 30)


def test_anomaly_prediction_text_mode(tmp_path):
    hourly_csv(tmp_path / "data.csv", 100)
    done = cli("data.csv", "--learning-type", "anomaly", "--target", "sales", "--feature", "temp",
               "--anomaly-label", "temp", "--timestamp", "time", "--text", "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stdout
    report = json.loads(done.stdout)
    assert report["learning_type"] == "timeseries_anomaly_prediction"
    assert report["columns"]["anomaly_label"] == {"position": 2, "label": "temp"}


def test_example(tmp_path):
    done = cli("--example", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "result         accepted" in done.stdout
    assert "target         #1 load" in done.stdout and "timestamp      #0 time" in done.stdout


def test_unexpected_error_is_reported_without_traceback(monkeypatch, capsys, tmp_path):
    dh = pytest.importorskip("quarnex.utils.data_helper")

    def broken(*args):
        raise KeyError("lost")

    monkeypatch.setattr(dh.DataHelper, "process_data", staticmethod(broken))
    hourly_csv(tmp_path / "data.csv", 20)
    assert check.main([str(tmp_path / "data.csv"), "--target", "sales"]) == 3
    out = capsys.readouterr().out
    assert "error          KeyError: 'lost'" in out and "Traceback" not in out


def test_values_in_json_report():
    assert check._plain(np.int64(3)) == 3 and type(check._plain(np.int64(3))) is int
    assert check._plain(float("inf")) == "inf"
    assert check._step_text(pd.Timedelta(minutes=90)) == "1h 30min"
    assert check._step_text(pd.Timedelta(days=-1)) == "-1d"
