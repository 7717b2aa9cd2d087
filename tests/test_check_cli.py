"""quarnex-check: its option parsing, its reports on files, and the command as a separate process.

Most cases call ``command.main`` in this process (a subprocess costs about a second);
a few run the command as a process to see exit status and streams as a user does.
"""

import contextlib
import gzip
import importlib.resources
import importlib.util
import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from quarnex.check import checking, command, options
from quarnex.utils.messages.messages import Messages


def cli(*args, cwd, stdin=None):
    done = subprocess.run(
        [sys.executable, "-m", "quarnex.utils.check", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
        input=stdin,
    )
    return done


def run(*args, cwd, monkeypatch, stdin=b""):
    """command.main in this process, in the folder cwd: (exit status, stdout, stderr)."""
    monkeypatch.chdir(cwd)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = command.main([str(a) for a in args])
    return code, out.getvalue(), err.getvalue()


def call(*args, cwd, monkeypatch):
    """command.main in this process, with a result shaped like a finished process."""
    code, out, err = run(*args, cwd=cwd, monkeypatch=monkeypatch)
    return subprocess.CompletedProcess(args, code, out, err)


def report_of(out):
    """The JSON report(s) printed, each checked against the schema shipped with the package."""
    reports = json.loads(out)
    for report in reports if isinstance(reports, list) else [reports]:
        validate(report, SCHEMA)
    return reports


def _schema(name):
    return json.loads(importlib.resources.files("quarnex.check").joinpath(name).read_text())


SCHEMA, SERIES_SCHEMA = _schema("report.schema.json"), _schema("series.schema.json")


def validate(value, schema):
    """The value against one of the shipped schemas (which may refer to each other by their $id)."""
    import jsonschema
    from referencing import Registry, Resource

    registry = Registry().with_resources((s["$id"], Resource.from_contents(s)) for s in (SCHEMA, SERIES_SCHEMA))
    jsonschema.Draft202012Validator.check_schema(schema)
    jsonschema.Draft202012Validator(schema, registry=registry).validate(value)


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
    [
        ("sales", "sales"),
        ("3", 3),
        ("#3", 3),
        ("007", 7),
        ("=3", "3"),
        ("==x", "=x"),
        ("-1", "-1"),
        ("3.0", "3.0"),
        ("", ""),
        ("٣", "٣"),
    ],
)
def test_designation(text, designation):
    got = options.designation(text)
    assert got == designation and type(got) is type(designation)


@pytest.mark.parametrize("text, size", [("0.2", 0.2), ("30", 30), ("30.0", 30.0), (" 5 ", 5), ("1e-1", 0.1)])
def test_holdout_size(text, size):
    got = options.holdout_size(text)
    assert got == size and type(got) is type(size)


@pytest.mark.parametrize("bad", [("holdout_size", "a fifth"), ("holdout_size", "nan"), ("designation", "#x")])
def test_bad_values_are_usage_errors(bad):
    func, text = bad
    with pytest.raises(options.UsageError):
        getattr(options, func)(text)


# ---- usage and file errors -------------------------------------------------------


@pytest.fixture(scope="module")
def bad_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("bad")
    _bad_files(folder)
    return folder


def _bad_files(folder):
    hourly_csv(folder / "data.csv", 20)
    (folder / "empty.csv").write_text("")
    (folder / "header.csv").write_text("time,sales\n")
    (folder / "binary.csv").write_bytes(b"time,sales\n\x00\x01\x02\xff" * 50)
    (folder / "latin1.csv").write_bytes('time,sales\n2024-01-01,"caf\xe9"\n'.encode("latin-1"))
    (folder / "ragged.csv").write_text("time,sales\n2024-01-01,1\n2024-01-02,2,9\n")
    (folder / "extra.csv").write_text("time,sales\n2024-01-01,1,\n2024-01-02,2,9\n2024-01-03,3,\n")
    lines = "".join(f"2024-01-01 {h % 24:02d}:{h // 24 % 60:02d}:00,{h}\n" for h in range(5000))
    (folder / "late_nul.csv").write_text("time,sales\n" + lines[:70_000] + "\0" + lines[70_000:])
    (folder / "bomb.csv.gz").write_bytes(gzip.compress(b"time,sales\n" + b"2024-01-01,1\n" * 200_000))
    os.mkfifo(folder / "fifo.csv")
    (folder / "huge.csv").write_text('time,sales\n2024-01-01,1\n2024-01-02,"' + "7" * 10_000_001 + '"\n')
    (folder / "folder").mkdir()


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
        (("data.csv", "--holdout-file", "."), "is a folder"),
        (("folder/none.csv",), "folder/none.csv: no such file"),
        (("nofolder/none.csv",), "nofolder/none.csv: no such file"),
        (("empty.csv",), "empty.csv: is empty"),
        (("header.csv",), "header.csv: has a header but no data rows"),
        (("binary.csv",), "binary.csv: is not a text file"),
        (("latin1.csv",), "latin1.csv: row 1 is not text in UTF-8; give its encoding with --encoding"),
        (("latin1.csv", "--encoding", "no-such-code"), "unknown encoding 'no-such-code'"),
        (("ragged.csv",), "ragged.csv: cannot be read: Expected 2 fields in line 3, saw 3"),
        (("huge.csv",), "huge.csv: row 2 of column 'sales' holds 10,000,001 characters"),
        (("extra.csv",), "extra.csv: row 2 has 3 fields but the header names 2"),
        (("fifo.csv",), "fifo.csv: is not a regular file"),
        (("late_nul.csv",), "late_nul.csv: row 2845 holds a NUL byte"),
        (("bomb.csv.gz", "--max-bytes", "1M"), "holds more than 1,048,576 bytes of text, the cap of --max-bytes"),
        (("data.csv", "--max-rows", "10"), "data.csv: has more than 10 rows, the cap of --max-rows"),
        (("-", "--max-bytes", "100"), "standard input: holds more than 100 bytes, the cap of --max-bytes"),
        (("data.csv", "--output", "./data.csv"), "--output ./data.csv: is the input file data.csv"),
        (("data.csv", "--html", "folder/../data.csv"), "--html folder/../data.csv: is the input file data.csv"),
        (("data.csv", "--output", "nofolder/out.csv"), "the folder"),
        (("data.csv", "--output", "folder"), "--output folder: is a folder"),
        (("data.csv", "--timestamp", "time", "--date-format", "Q%q"), "bad date format 'Q%q'"),
        (("data.csv", "--sep", ":"), "bad separator ':'"),
        (("data.csv", "data.csv", "--output", "out.csv"), "--output takes one data FILE, not 2"),
        (("data.csv", "--plot", "out.pdf"), "out.pdf: the picture must be a .png or .svg file"),
        (("data.csv", "--target", "sales", "--dayfirst"), "--date-format and --dayfirst need --timestamp"),
        (("-", "-"), "standard input (-) can be read only once"),
    ],
)
def test_usage_and_file_errors(bad_files, monkeypatch, args, says):
    extra = () if "--output" in args or args.count("-") > 1 else ("--output", "written.csv")
    stdin = (bad_files / "data.csv").read_bytes() if args[:1] == ("-",) else b""
    code, out, err = run(*args, *extra, cwd=bad_files, monkeypatch=monkeypatch, stdin=stdin)
    assert (code, out) == (2, "")
    assert err.count("\n") == 1 and err.startswith("quarnex-check: error: ")
    assert says in err
    assert not (bad_files / "written.csv").exists()


@pytest.mark.parametrize(
    "text, options, read_as",
    [
        # a separator at the end of every row (and of the header, or not) is no column
        ("time,sales,\n{rows}", (), None),
        ("time,sales\n{rows}", (), None),
        # European spreadsheets: semicolons and decimal commas
        ("time;sales\n{rows}", ("--decimal", ","), {"separator": ";", "decimal": ","}),
        ("time\tsales\n{rows}", ("--sep", "tab", "--na-values", "-"), {"separator": "\t", "decimal": "."}),
    ],
)
def test_every_csv_users_have(tmp_path, monkeypatch, text, options, read_as):
    sep = ";" if ";" in text else "\t" if "\t" in text else ","
    end = "," if text.startswith("time,sales,") or text == "time,sales\n{rows}" else ""
    mark = "," if "--decimal" in options else "."
    values = ["-" if i == 5 and "--na-values" in options else f"{i}{mark}5" for i in range(120)]
    rows = "".join(f"2024-01-{1 + i // 24:02d} {i % 24:02d}:00{sep}{v}{end}\n" for i, v in enumerate(values))
    (tmp_path / "data.csv").write_text(text.format(rows=rows))
    code, out, err = run(
        "data.csv",
        "--target",
        "sales",
        "--timestamp",
        "time",
        *options,
        "--json",
        "--output",
        "out.csv",
        cwd=tmp_path,
        monkeypatch=monkeypatch,
    )
    report = report_of(out)
    assert (code, report["status"]) == (0, "accepted"), (err, report["refusal"])
    assert report["columns"]["target"] == [{"position": 1, "label": "sales"}]
    assert report["csv"] == (read_as or {"separator": ",", "decimal": "."})
    prepared = pd.read_csv(tmp_path / "out.csv")
    assert list(prepared.columns) == ["time", "sales"] and prepared["sales"].iloc[0] == 0.5


def test_repeats_explained_by_one_column_name_it(tmp_path, monkeypatch):
    times = [f"2024-01-01 {h:02d}:00" for h in range(20)]
    rows = [(t, store, i) for store in ("north", "south") for i, t in enumerate(times)]
    write_csv(tmp_path / "long.csv", "time,store,sales", rows)
    code, out, err = run(
        "long.csv", "--target", "sales", "--timestamp", "time", "--json", cwd=tmp_path, monkeypatch=monkeypatch
    )
    hints = [d for d in report_of(out)["diagnostics"] if d["level"] == "hint"]
    assert [h["details"]["option"] for h in hints] == ["--series-id store"]


@pytest.mark.parametrize("encoding, given", [("utf-16", ()), ("utf-16-le", ("--encoding", "utf-16-le"))])
def test_utf16_files_are_text(tmp_path, monkeypatch, encoding, given):
    hourly_csv(tmp_path / "data.csv", 20)
    (tmp_path / "wide.csv").write_bytes((tmp_path / "data.csv").read_text().encode(encoding))
    args = ("--target", "sales", "--timestamp", "time", "--json", *given)
    code, out, err = run("wide.csv", *args, cwd=tmp_path, monkeypatch=monkeypatch)
    assert (code, err, report_of(out)["rows_in"]) == (0, "", 20)


def test_bad_files_in_one_run_as_a_process(tmp_path):
    """Several files: one report per readable file, one line per unreadable one, the worst exit status;
    standard input and compressed CSV read like files."""
    _bad_files(tmp_path)
    hourly_csv(tmp_path / "repeated.csv", 150, repeat_at=40)
    with gzip.open(tmp_path / "data.csv.gz", "wt") as f:
        f.write((tmp_path / "data.csv").read_text())
    done = cli(
        "-",
        "data.csv.gz",
        "binary.csv",
        "repeated.csv",
        "folder",
        "--target",
        "sales",
        "--timestamp",
        "time",
        "--holdout",
        "5",
        cwd=tmp_path,
        stdin=(tmp_path / "data.csv").read_text(),
    )
    assert done.returncode == 2
    assert done.stderr.splitlines() == [
        "quarnex-check: error: binary.csv: is not a text file (it holds binary data)",
        "quarnex-check: error: folder: is a folder, not a data file",
    ]
    assert [line for line in done.stdout.splitlines() if line.startswith("quarnex-check: ")] == [
        "quarnex-check: -",
        "quarnex-check: data.csv.gz",
        "quarnex-check: repeated.csv",
    ]
    assert done.stdout.count("result         accepted with 1 warning") == 2
    assert "Traceback" not in done.stdout + done.stderr
    done = cli("data.csv", "repeated.csv", "--target", "sales", "--timestamp", "time", "--json", cwd=tmp_path)
    assert done.returncode == 1 and done.stderr == ""
    assert [r["exit_status"] for r in report_of(done.stdout)] == [0, 1]
    done = cli("--version", cwd=tmp_path)
    assert done.returncode == 0 and re.fullmatch(r"quarnex-check \S.*\n", done.stdout)


@pytest.mark.parametrize(
    "module, suffix, write",
    [
        ("pyarrow", ".parquet", lambda df, path: df.set_index("time").to_parquet(path)),  # the time as index
        ("openpyxl", ".xlsx", lambda df, path: df.to_excel(path, index=False)),
    ],
)
def test_parquet_and_excel(tmp_path, monkeypatch, module, suffix, write):
    hourly_csv(tmp_path / "data.csv", 60)
    name = "data" + suffix
    if importlib.util.find_spec(module) is None:
        (tmp_path / name).write_bytes(b"PK\x03\x04")
        code, out, err = run(name, "--target", "sales", cwd=tmp_path, monkeypatch=monkeypatch)
        assert code == 2 and f'needs {module}: pip install "quarnex-data-helper[' in err
        return
    write(pd.read_csv(tmp_path / "data.csv"), tmp_path / name)
    for text in ([], ["--text"]):
        code, out, err = run(
            name, "--target", "sales", "--timestamp", "time", "--json", *text, cwd=tmp_path, monkeypatch=monkeypatch
        )
        assert (code, err) == (0, "")
        report = report_of(out)
        assert (report["rows_in"], report["time"]["step"], report["warning_codes"]) == (60, "1h", ["QUARNEX0007W"])


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


def test_refused_by_parameter_check(tmp_path, monkeypatch):
    hourly_csv(tmp_path / "data.csv", 20)
    done = call("data.csv", "--timestamp", "time", cwd=tmp_path, monkeypatch=monkeypatch)
    assert done.returncode == 1
    text = Messages.get_message("target", "target", message_id="QUARNEX0092E")
    assert f"refusal        {text}" in done.stdout
    assert "result         refused" in done.stdout and done.stderr == ""


def test_refused_repeated_timestamps_json(tmp_path, monkeypatch):
    hourly_csv(tmp_path / "data.csv", 150, repeat_at=40)
    done = call(
        "data.csv",
        "--target",
        "sales",
        "--timestamp",
        "time",
        "--json",
        "--output",
        "out.csv",
        cwd=tmp_path,
        monkeypatch=monkeypatch,
    )
    assert done.returncode == 1
    report = report_of(done.stdout)
    assert report["status"] == "refused"
    assert report["refusal"] == Messages.get_message(message_id="QUARNEX0075E")
    assert report["rows_in"] == 150 and report["rows_out"] is None
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize(
    "times,code,rows",
    [
        (["2010-11-07 00:30 EDT", "2010-11-07 01:00 EDT", "2010-11-07 01:00 EST"], "QUARNEX0080E", [1]),
        (["2024-01-04", "2024-01-05", "2024-01-06T00:00+00:00"], "QUARNEX0079E", [1, 3]),
        (["2024-01-04", "2024-01-05", "2024-01-05 00:00", "2024-01-06"], "QUARNEX0075E", [2]),
    ],
)
def test_refusals_of_parsed_times_name_their_rows(tmp_path, monkeypatch, times, code, rows):
    pd.DataFrame({"time": times, "sales": range(len(times))}).to_csv(tmp_path / "data.csv", index=False)
    done = call("data.csv", "--target", "sales", "--timestamp", "time", "--json", cwd=tmp_path, monkeypatch=monkeypatch)
    report = report_of(done.stdout)
    assert (done.returncode, report["refusal_code"]) == (1, code)
    (note,) = [f for f in report["diagnostics"] if f["kind"] in ("refused_value", "repeated_timestamps")]
    assert [e["row"] for e in note["examples"]] == rows


def test_accepted_with_warnings(tmp_path, monkeypatch):
    hourly_csv(tmp_path / "data.csv", 60)
    done = call(
        "data.csv",
        "--target",
        "1",
        "--feature",
        "temp",
        "--feature",
        "nope",
        "--timestamp",
        "#0",
        "--holdout",
        "10",
        cwd=tmp_path,
        monkeypatch=monkeypatch,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "result         accepted with 2 warnings" in out
    assert Messages.get_message("nope", message_id="QUARNEX0016W") in out
    assert Messages.get_message(message_id="QUARNEX0007W") in out
    assert out.index("QUARNEX0016W") < out.index("QUARNEX0007W")
    assert "rows           60 in, 60 out" in out and "holdout rows   10" in out
    assert "target         #1 sales" in out and "feature        #2 temp" in out
    assert "time           2024-01-01 00:00:00 to 2024-01-03 11:00:00, most common step 1h" in out


def test_accepted_json_and_output(tmp_path, monkeypatch):
    hourly_csv(tmp_path / "data.csv", 150)
    shuffled = pd.read_csv(tmp_path / "data.csv").sample(frac=1.0, random_state=1)
    shuffled.to_csv(tmp_path / "data.csv", index=False)
    done = call(
        "data.csv",
        "--target",
        "sales",
        "--timestamp",
        "time",
        "--json",
        "--output",
        "out.csv",
        cwd=tmp_path,
        monkeypatch=monkeypatch,
    )
    assert done.returncode == 0
    report = report_of(done.stdout)
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


def test_holdout_file(tmp_path, monkeypatch):
    hourly_csv(tmp_path / "train.csv", 120)
    hourly_csv(tmp_path / "holdout.csv", 30, start="2024-01-06")
    done = call(
        "train.csv",
        "--target",
        "sales",
        "--timestamp",
        "time",
        "--holdout-file",
        "holdout.csv",
        "--json",
        cwd=tmp_path,
        monkeypatch=monkeypatch,
    )
    assert done.returncode == 0
    report = report_of(done.stdout)
    assert (report["rows_in"], report["holdout_rows_in"], report["rows_out"], report["holdout_rows"]) == (
        120,
        30,
        150,
        30,
    )


def test_anomaly_prediction_text_mode(tmp_path, monkeypatch):
    hourly_csv(tmp_path / "data.csv", 100)
    done = call(
        "data.csv",
        "--learning-type",
        "anomaly",
        "--target",
        "sales",
        "--feature",
        "temp",
        "--anomaly-label",
        "temp",
        "--timestamp",
        "time",
        "--text",
        "--json",
        cwd=tmp_path,
        monkeypatch=monkeypatch,
    )
    assert done.returncode == 0, done.stdout
    report = report_of(done.stdout)
    assert report["learning_type"] == "timeseries_anomaly_prediction"
    assert report["columns"]["anomaly_label"] == {"position": 2, "label": "temp"}


def test_example(tmp_path, monkeypatch):
    done = call("--example", cwd=tmp_path, monkeypatch=monkeypatch)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "result         accepted" in done.stdout
    assert "target         #1 load" in done.stdout and "timestamp      #0 time" in done.stdout


def test_unexpected_error_is_reported_without_traceback(monkeypatch, capsys, tmp_path):
    dh = pytest.importorskip("quarnex.utils.data_helper")

    def broken(*args):
        raise KeyError("lost")

    monkeypatch.setattr(dh.DataHelper, "process_data", staticmethod(broken))
    hourly_csv(tmp_path / "data.csv", 20)
    assert command.main([str(tmp_path / "data.csv"), "--target", "sales"]) == 3
    out = capsys.readouterr().out
    assert "error          KeyError: 'lost'" in out and "Traceback" not in out


def test_values_in_json_report():
    assert options.plain(np.int64(3)) == 3 and type(options.plain(np.int64(3))) is int
    assert options.plain(float("inf")) == "inf"
    assert checking.step_text(pd.Timedelta(minutes=90)) == "1h 30min"
    assert checking.step_text(pd.Timedelta(days=-1)) == "-1d"


# ---- diagnostics: what is wrong, where, and how to fix it ----------------------------


def write_csv(path, header, rows):
    path.write_text("\n".join([header] + [",".join(map(str, r)) for r in rows]) + "\n")
    return path


def kinds(report):
    return [(d["kind"], d["level"]) for d in report["diagnostics"]]


def test_refused_report_says_where(tmp_path, monkeypatch):
    times = pd.date_range("2024-01-01", periods=150, freq="h").strftime("%Y-%m-%d %H:%M").tolist()
    times[40], times[60] = times[39], times[59]
    sales = [str(i * 2.5) for i in range(150)]
    sales[10], sales[20] = "", "abc"
    write_csv(tmp_path / "data.csv", "time,sales,temp", [(t, s, i % 9) for i, (t, s) in enumerate(zip(times, sales))])
    args = ("data.csv", "--target", "sales", "--timestamp", "time", "--feature", "Temp ")
    code, out, err = run(*args, cwd=tmp_path, monkeypatch=monkeypatch)
    assert (code, err) == (1, "")
    assert (
        "notes          - 2 rows repeat an earlier timestamp (2 timestamps occur more than once): "
        '"2024-01-02 15:00" on rows 40, 41; "2024-01-03 11:00" on rows 60, 61.'
    ) in out
    assert '- 1 value of column "sales" is not a number: "abc" on row 21.' in out
    assert '- The target column "sales" has 1 empty value of 150: row 11.' in out
    assert 'hints          - The feature column "Temp " is not in the file: did you mean "temp"?' in out
    code, out, err = run(*args, "--json", "--text", cwd=tmp_path, monkeypatch=monkeypatch)
    report = report_of(out)
    assert (report["refusal_code"], report["warning_codes"]) == ("QUARNEX0073E", ["QUARNEX0016W"])
    assert kinds(report) == [
        ("did_you_mean", "hint"),
        ("repeated_timestamps", "note"),
        ("refused_value", "note"),
        ("empty_values", "note"),
    ]
    repeated, refused, empty = report["diagnostics"][1:]
    assert repeated["examples"][0] == {"row": 40, "value": "2024-01-02 15:00", "rows": [40, 41]}
    assert refused["examples"] == [{"row": 21, "value": "abc"}]
    assert (empty["examples"], empty["changes_data"]) == ([{"row": 11, "value": ""}], True)


@pytest.mark.parametrize("strict", [False, True])
def test_accepted_report_notes_gaps_and_dropped_rows(tmp_path, monkeypatch, strict):
    times = pd.date_range("2024-01-01", periods=150, freq="h").strftime("%Y-%m-%d %H:%M").tolist()
    del times[50:55]
    times[70] = ""
    write_csv(tmp_path / "gaps.csv", "time,sales,temp", [(t, i, i % 9) for i, t in enumerate(times)])
    hourly_csv(tmp_path / "clean.csv", 150)
    opts = ["--target", "sales", "--timestamp", "time", "--output", "out.csv"] + ["--strict"] * strict
    code, out, err = run("gaps.csv", *opts, cwd=tmp_path, monkeypatch=monkeypatch)
    assert code == (1 if strict else 0) and err == ""
    assert (tmp_path / "out.csv").exists() is not strict
    assert ("result         accepted with 1 warning" + " (refused under --strict)" * strict) in out
    assert "- 1 row with an empty timestamp is left out of the prepared data: row 71." in out
    assert (
        "- 2 gaps (steps longer than the most common step 1h); the largest: 6h after 2024-01-03 01:00:00 "
        "(row 50); 2h after 2024-01-04 02:00:00 (row 70)."
    ) in out
    # a misspelt feature leaves the data accepted, but not under --strict; clean data pass either way
    code, out, err = run("clean.csv", *opts, "--feature", "tmp", "--json", cwd=tmp_path, monkeypatch=monkeypatch)
    assert (code, report_of(out)["warning_codes"]) == (1 if strict else 0, ["QUARNEX0016W"])
    assert run("clean.csv", *opts, cwd=tmp_path, monkeypatch=monkeypatch)[0] == 0


def _dates(n=120):
    return pd.date_range("2020-01-01", periods=n, freq="D")


@pytest.mark.parametrize(
    "values, kind, option, step",
    [
        ([f"{d:%Y%m%d}" for d in _dates()], "date_integers", ["--date-format", "%Y%m%d"], "1d"),
        (list(range(1901, 2021)), "year_integers", ["--date-format", "%Y"], "1 year"),
        (
            [str(q) for q in pd.period_range("1974Q1", periods=120, freq="Q")],
            "quarter_texts",
            ["--date-format", "quarter"],
            "1 quarter",
        ),
        (
            [f"Q{q.quarter} {q.year}" for q in pd.period_range("1960Q1", periods=120, freq="Q")],
            "quarter_texts",
            ["--date-format", "quarter"],
            "1 quarter",
        ),
        (
            [f"{d:%Y}M{d:%m}" for d in pd.date_range("2006-01", periods=120, freq="MS")],
            "quarter_texts",
            ["--date-format", "%YM%m"],
            "1 month",
        ),
        (
            [f"{d:%Y%m}" for d in pd.date_range("2006-01", periods=120, freq="MS")],
            "date_integers",
            ["--date-format", "%Y%m"],
            "1 month",
        ),
        ([1_700_000_000 + 3600 * i for i in range(120)], "date_integers", ["--date-format", "unix"], "1h"),
        ([1_700_000_000_000 + 100 * i for i in range(120)], "date_integers", ["--date-format", "unix_ms"], "100ms"),
        ([45000 + 7 * i for i in range(120)], "date_integers", ["--date-format", "excel"], "1 week"),
        ([f"{d:%d/%m/%Y}" for d in _dates()], "day_first", ["--dayfirst"], "1d"),
    ],
)
def test_hint_names_an_option_that_reads_the_times(tmp_path, monkeypatch, values, kind, option, step):
    write_csv(tmp_path / "data.csv", "when,y", [(v, i) for i, v in enumerate(values)])
    args = ("data.csv", "--target", "y", "--timestamp", "when", "--json")
    report = report_of(run(*args, cwd=tmp_path, monkeypatch=monkeypatch)[1])
    hints = [d for d in report["diagnostics"] if d["kind"] == kind]
    if not hints:  # the checks read these times right by themselves
        assert (report["warnings"], report["time"]["step"]) == ([], step)
    else:
        assert len(hints) == 1 and hints[0]["details"]["option"] == " ".join(option)
    code, out, err = run(*args, *option, cwd=tmp_path, monkeypatch=monkeypatch)
    report = report_of(out)
    assert (code, report["warnings"], report["time"]["step"]) == (0, [], step)
    assert [d for d in report["diagnostics"] if d["level"] == "hint"] == []


def test_dates_in_both_orders(tmp_path, monkeypatch):
    values = [f"{d:%d/%m/%Y}" for d in _dates(40)] + [f"{d:%m/%d/%Y}" for d in _dates(80)[40:]]
    write_csv(tmp_path / "data.csv", "when,y", [(v, i) for i, v in enumerate(values)])
    code, out, err = run(
        "data.csv", "--target", "y", "--timestamp", "when", "--json", cwd=tmp_path, monkeypatch=monkeypatch
    )
    mixed = [d for d in report_of(out)["diagnostics"] if d["kind"] == "mixed_day_month"]
    assert [e["row"] for e in mixed[0]["examples"]] == [13, 44]  # 13/01/2020 and 02/13/2020


def test_date_format_refuses_values_it_cannot_read(tmp_path, monkeypatch):
    values = [f"{d:%Y-%m-%d}" for d in _dates()]
    values[7], values[30] = "2020/01/08", '""'
    write_csv(tmp_path / "data.csv", "when,y", [(v, i) for i, v in enumerate(values)])
    code, out, err = run(
        "data.csv",
        "--target",
        "y",
        "--timestamp",
        "when",
        "--date-format",
        "%Y-%m-%d",
        "--text",
        "--json",
        "--output",
        "out.csv",
        cwd=tmp_path,
        monkeypatch=monkeypatch,
    )
    report = report_of(out)
    assert (code, report["status"], report["refusal_code"]) == (1, "refused", None)
    assert report["refusal"] == (
        "1 value of the timestamp column when cannot be read with --date-format %Y-%m-%d; "
        'the first: "2020/01/08" on row 8'
    )
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize(
    "values, how",
    [(['"3,5"', '"4,25"'], "decimal comma"), (['"1,234.5"', "12"], "thousands"), (["12 kg", "3.5 kg"], "unit")],
)
def test_numbers_written_as_text(tmp_path, monkeypatch, values, how):
    rows = [(f"{d:%Y-%m-%d}", values[i % 2]) for i, d in enumerate(_dates(60))]
    write_csv(tmp_path / "data.csv", "when,y", rows)
    code, out, err = run("data.csv", "--target", "y", "--timestamp", "when", cwd=tmp_path, monkeypatch=monkeypatch)
    assert code == 1 and "QUARNEX0073E" in out
    assert re.search(rf'hints          - Column "y" holds numbers written as text with .*{how}', out)


def test_empty_timestamps_under_text_and_twice(tmp_path, monkeypatch):
    times = pd.date_range("2024-01-01", periods=60, freq="h").strftime("%Y-%m-%d %H:%M").tolist()
    times[5] = ""
    write_csv(tmp_path / "data.csv", "time,y", [(t, i) for i, t in enumerate(times)])
    args = ("data.csv", "--target", "y", "--timestamp", "time", "--json")
    report = report_of(run(*args, "--text", cwd=tmp_path, monkeypatch=monkeypatch)[1])
    assert report["refusal_code"] == "QUARNEX0076E"
    assert report["diagnostics"][0]["message"] == (
        '1 value of timestamp column "time" cannot be read as a time: "" on row 6.'
    )
    assert kinds(report)[1] == ("refused_value", "hint")
    times[9] = ""
    write_csv(tmp_path / "data.csv", "time,y", [(t, i) for i, t in enumerate(times)])
    # read as missing: whether the checks refuse two empty timestamps or leave their rows out, the report says so
    report = report_of(run(*args, cwd=tmp_path, monkeypatch=monkeypatch)[1])
    if report["status"] == "refused":
        assert report["refusal_code"] == "QUARNEX0075E"
        assert report["diagnostics"][0]["message"].startswith("The 2 empty timestamps count as repeated")
    else:
        assert report["rows_out"] == 58
    dropped = [d for d in report["diagnostics"] if d["kind"] == "dropped_rows"]
    assert [e["row"] for e in dropped[0]["examples"]] == [6, 10]


@pytest.mark.parametrize("anomaly_rows, note", [([110, 115], True), ([20, 110], False)])
def test_anomaly_labels_in_training_and_holdout(tmp_path, monkeypatch, anomaly_rows, note):
    rows = [(f"{d:%Y-%m-%d}", i, i % 7, int(i in anomaly_rows)) for i, d in enumerate(_dates())]
    write_csv(tmp_path / "data.csv", "when,y,f,flag", rows)
    code, out, err = run(
        "data.csv",
        "--learning-type",
        "anomaly",
        "--target",
        "y",
        "--feature",
        "f",
        "--anomaly-label",
        "flag",
        "--timestamp",
        "when",
        "--json",
        cwd=tmp_path,
        monkeypatch=monkeypatch,
    )
    report = report_of(out)
    labels = [d for d in report["diagnostics"] if d["kind"] == "anomaly_labels"]
    assert labels[0]["details"] == {"training": 1 - note, "holdout": 1 + note, "training_rows": 96, "holdout_rows": 24}
    assert len(labels) == 1 + note
    assert not note or labels[1]["message"].startswith("The training rows hold no anomaly (all are in the holdout")


def test_progress_only_when_asked(capsys):
    assert command.progress_printer(False) is None
    show = command.progress_printer(True)
    assert show("reading big.csv: 200,000 rows") is None
    done = show("checking ...", tick=True)
    done()
    err = capsys.readouterr().err
    assert err == "\rquarnex-check: reading big.csv: 200,000 rows\x1b[K\rquarnex-check: checking ...\x1b[K\r\x1b[K"


# ---- picture and page -------------------------------------------------------------


class _Page(__import__("html.parser").parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.images, self.texts, self.inside = [], {}, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "img":
            self.images.append(attrs["src"])
        self.inside = attrs.get("id")

    def handle_data(self, data):
        if self.inside:
            self.texts[self.inside] = self.texts.get(self.inside, "") + data


def _png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


@pytest.mark.parametrize("repeat_at, picture", [(None, "out.png"), (40, "out.svg")])
def test_picture_and_page(tmp_path, monkeypatch, repeat_at, picture):
    import base64
    import xml.etree.ElementTree as ET

    hourly_csv(tmp_path / "data.csv", 150, repeat_at=repeat_at)
    has_plot = importlib.util.find_spec("matplotlib") is not None
    args = ["data.csv", "--target", "sales", "--timestamp", "time", "--html", "page.html"]
    code, out, err = run(*args, *(["--plot", picture] if has_plot else []), cwd=tmp_path, monkeypatch=monkeypatch)
    assert (code, err) == (0 if repeat_at is None else 1, "")
    page = _Page()
    page.feed((tmp_path / "page.html").read_text())
    assert page.texts["report"].strip() == out.strip()
    assert json.loads(page.texts["report-json"])["status"] == ("accepted" if repeat_at is None else "refused")
    if not has_plot:
        assert page.images == [] and "[plot]" in (tmp_path / "page.html").read_text()
        return
    data = (tmp_path / picture).read_bytes()
    if picture.endswith(".png"):
        assert _png_size(data) == (1000, 650)
        assert page.images == ["data:image/png;base64," + base64.b64encode(data).decode()]
    else:
        root = ET.fromstring(data)
        assert (root.tag, root.get("width"), root.get("height")) == (
            "{http://www.w3.org/2000/svg}svg",
            "720pt",
            "468pt",
        )
        assert page.images[0].startswith("data:image/svg+xml;base64,")


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="needs matplotlib")
def test_picture_names_the_file_reads_its_dates_and_counts_unmarked_gaps(tmp_path, monkeypatch):
    import matplotlib.dates as mdates
    from matplotlib.figure import Figure

    from quarnex.check import picture as check_plot

    drawn = []
    save = Figure.savefig
    monkeypatch.setattr(Figure, "savefig", lambda fig, *a, **k: (drawn.append(fig), save(fig, *a, **k))[1])
    monkeypatch.setattr(check_plot, "SHADED", 2)
    times = [t for i, t in enumerate(pd.date_range("2024-01-01", periods=150, freq="h")) if i % 30 != 29]
    (tmp_path / "in").mkdir()
    write_csv(tmp_path / "in" / "data.csv", "time,sales", [(f"{t:%Y-%m-%d %H:%M}", i) for i, t in enumerate(times)])
    args = ("in/data.csv", "--target", "sales", "--timestamp", "time", "--plot", "out.png")
    assert run(*args, cwd=tmp_path, monkeypatch=monkeypatch)[0] == 0
    ax = drawn[0].axes[0]
    assert ax.get_title() == "data.csv: accepted"
    assert isinstance(ax.xaxis.get_major_formatter(), mdates.ConciseDateFormatter)
    assert [t.get_text() for t in ax.texts] == ["2 more gaps not marked"]


def test_a_failing_diagnostic_leaves_the_verdict(tmp_path, monkeypatch):
    from quarnex.check import diagnostics as check_diagnostics

    def broken(*args):
        raise ValueError("odd column")

    monkeypatch.setattr(check_diagnostics, "repeated_timestamps", broken)
    hourly_csv(tmp_path / "data.csv", 60)
    code, out, err = run(
        "data.csv", "--target", "sales", "--timestamp", "time", "--json", cwd=tmp_path, monkeypatch=monkeypatch
    )
    report = report_of(out)
    assert (code, err, report["status"]) == (0, "", "accepted")
    assert report["diagnostics"][-1]["message"] == "The diagnostics stopped early: ValueError: odd column"


def test_no_day_first_hint_where_the_checks_read_day_first(tmp_path, monkeypatch):
    # Refused for another reason, so the hint cannot look at the prepared times.
    write_csv(tmp_path / "data.csv", "when,y", [("13/01/2012", 1), ("02/01/2012", 2), ("14/01/2012", 3)])
    report = report_of(
        run("data.csv", "--target", "y", "--timestamp", "when", "--json", cwd=tmp_path, monkeypatch=monkeypatch)[1]
    )
    assert report["status"] == "refused" and not [d for d in report["diagnostics"] if d["kind"] == "day_first"]


def test_readme_shows_what_the_command_prints(monkeypatch):
    root = Path(__file__).resolve().parents[1]
    block = (root / "README.md").read_text().split("```\n$ quarnex-check ", 1)[1].split("\n```", 1)[0]
    line, shown = block.split("\n", 1)
    code, out, err = run(*line.split(), cwd=root, monkeypatch=monkeypatch)
    assert (code, err) == (0, "")
    assert out.rstrip("\n") == shown


def test_a_full_disk_on_standard_output_is_one_line(tmp_path):
    hourly_csv(tmp_path / "data.csv", 20)
    with open("/dev/full", "w") as full:
        done = subprocess.run(
            [sys.executable, "-m", "quarnex.check", "data.csv", "--target", "sales", "--timestamp", "time"],
            cwd=tmp_path,
            stdout=full,
            stderr=subprocess.PIPE,
            text=True,
        )
    assert done.returncode == 2
    assert done.stderr.startswith("quarnex-check: error: cannot write the report:") and done.stderr.count("\n") == 1


def test_ctrl_c_while_reading_is_an_interruption_not_a_bad_file(tmp_path, monkeypatch):
    from quarnex.check import reading

    hourly_csv(tmp_path / "data.csv", 2000)
    opened = reading._decompressed

    class Interrupted:
        def __init__(self, stream):
            self.stream, self.calls = stream, 0

        def read(self, n=-1):
            self.calls += 1
            if self.calls > 1:
                raise KeyboardInterrupt
            return self.stream.read(min(n, 4096))

        def close(self):
            self.stream.close()

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self.close()

        closed = property(lambda self: self.stream.closed)

    monkeypatch.setattr(reading, "_decompressed", lambda *a: Interrupted(opened(*a)))
    code, out, err = run("data.csv", "--target", "sales", "--timestamp", "time", cwd=tmp_path, monkeypatch=monkeypatch)
    assert (code, out, err) == (130, "", "quarnex-check: interrupted\n")


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="needs matplotlib")
def test_a_picture_that_cannot_be_drawn_is_a_note(tmp_path, monkeypatch):
    write_csv(tmp_path / "data.csv", "time,$\\foo{$", [(f"2024-01-01 {h:02d}:00", h) for h in range(24)])
    args = ("data.csv", "--target", "$\\foo{$", "--timestamp", "time", "--plot", "p.png", "--json")
    code, out, err = run(*args, cwd=tmp_path, monkeypatch=monkeypatch)
    notes = [d["message"] for d in report_of(out)["diagnostics"] if d["kind"] == "diagnostic_failed"]
    assert (code, err, notes) == (0, "", ["The picture could not be drawn: ValueError."])


def test_writes_are_whole_or_not_at_all(tmp_path, monkeypatch):
    hourly_csv(tmp_path / "data.csv", 150)
    (tmp_path / "out.csv").write_text("the old table\n")
    written = pd.DataFrame.to_csv

    def interrupted(df, f, **options):
        written(df.head(10), f, **options)
        raise KeyboardInterrupt

    monkeypatch.setattr(pd.DataFrame, "to_csv", interrupted)
    args = ("data.csv", "--target", "sales", "--timestamp", "time", "--output", "out.csv")
    assert run(*args, cwd=tmp_path, monkeypatch=monkeypatch)[0] == 130
    assert (tmp_path / "out.csv").read_text() == "the old table\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data.csv", "out.csv"]
    monkeypatch.setattr(pd.DataFrame, "to_csv", written)
    assert run(*args, cwd=tmp_path, monkeypatch=monkeypatch)[0] == 0
    assert len(pd.read_csv(tmp_path / "out.csv")) == 150


def test_no_text_of_the_data_breaks_the_pages_script(tmp_path, monkeypatch):
    label = "</script><!--<script>&"
    write_csv(tmp_path / "data.csv", f'time,"{label}"', [(f"2024-01-01 {h:02d}:00", "<b>x</b>") for h in range(24)])
    args = ("data.csv", "--target", label, "--timestamp", "time", "--html", "page.html")
    code, out, err = run(*args, cwd=tmp_path, monkeypatch=monkeypatch)
    page = (tmp_path / "page.html").read_text()
    script = page.split('<script type="application/json" id="report-json">', 1)[1].split("</script>", 1)[0]
    assert not set("<>&") & set(script)
    assert json.loads(script)["diagnostics"][0]["column"] == label


@pytest.mark.parametrize("rows", [1, 2])
def test_a_holdout_file_too_short_for_its_time_steps_is_refused(tmp_path, monkeypatch, rows):
    hourly_csv(tmp_path / "data.csv", 100)
    hourly_csv(tmp_path / "holdout.csv", rows, start="2024-02-01")
    args = ("data.csv", "--target", "sales", "--timestamp", "time", "--holdout-file", "holdout.csv", "--json")
    code, out, err = run(*args, cwd=tmp_path, monkeypatch=monkeypatch)
    report = report_of(out)
    assert (code, report["status"], report["refusal_code"]) == (1, "refused", None)
    assert "needs at least 3" in report["refusal"]
