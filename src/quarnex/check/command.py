"""quarnex-check: run the data checks of a model-building run on data files.

Reads each file (CSV, possibly compressed; Parquet when pyarrow is installed; Excel when
openpyxl is installed; ``-`` for CSV on standard input), passes it to
``DataHelper.process_data`` with the column designations given as options and prints what
came back: accepted or refused, the refusal text, the warnings, the row counts and the
resolved columns, followed by diagnostics that say where a problem lies and what to try.

The way through: options (options.py: the command line, one Settings) -> reading
(reading.py: one table per file) -> checking (checking.py: process_data and the
diagnostics, one Report) -> rendering (rendering.py and picture.py: text, JSON, picture,
page). Many series in one file go the same way, one series at a time (series.py).

Exit status: 0 accepted (with or without warnings), 1 refused by a check (or, with
``--strict``, accepted with warnings or with notes on changes to the data), 2 usage or
file error, 3 the checks stopped with an unexpected error; with several files, the worst
of them.

A designation that names no column is a warning of the checks for features (the feature
is left out) and a refusal for the other roles. The command keeps that verdict, so a
misspelt ``--feature`` alone leaves exit status 0: the data would be accepted by a model
builder as given. The report names the closest column ("did you mean"); ``--strict`` turns
any warning into exit status 1 for scripts that must not go on with a dropped feature.
"""

from __future__ import annotations

import contextlib
import importlib.util
import os
import signal
import sys
import threading

import quarnex.check.output as output
import quarnex.check.rendering as rendering
from quarnex.check.checking import check_file
from quarnex.check.options import (
    EXAMPLE_OPTIONS,
    EXIT_ACCEPTED,
    EXIT_USAGE,
    PROG,
    Settings,
    UsageError,
    parser,
)
from quarnex.check.reading import example_path

__all__ = ["main"]


def progress_printer(enabled: bool):
    """A function that shows progress on standard error, or None when it must stay silent."""
    if not enabled:
        return None
    import threading
    import time

    def show(text: str, tick: bool = False):
        """Shows text; with tick, keeps counting the seconds until the returned function is called."""
        print(f"\r{PROG}: {text}\033[K" if text else "\r\033[K", end="", file=sys.stderr, flush=True)
        if not tick:
            return None
        stop = threading.Event()
        started = time.monotonic()

        def ticking():
            while not stop.wait(1.0):
                print(f"\r{PROG}: {text} {time.monotonic() - started:.0f} s\033[K", end="", file=sys.stderr, flush=True)

        thread = threading.Thread(target=ticking, daemon=True)
        thread.start()

        def done():
            stop.set()
            thread.join()
            print("\r\033[K", end="", file=sys.stderr, flush=True)

        return done

    return show


def _check_one(args, settings: Settings, name, progress) -> dict:
    report, table, raw = check_file(name, settings, progress)
    if table is not None and args.output and report["exit_status"] == EXIT_ACCEPTED:
        try:
            with output.atomic(args.output) as f:
                table.to_csv(f, index=False)
        except OSError as exc:
            raise UsageError(f"{args.output}: cannot write: {exc.strerror or exc}") from None
    if args.plot or args.html:
        import quarnex.check.picture as check_plot

        picture, note = None, None
        try:
            picture = check_plot.draw(report, table, raw, args.plot)
        except check_plot.PlotUnavailable as exc:
            if args.plot:
                raise UsageError(f"--plot: {exc}") from None
            note = str(exc)
        except OSError as exc:
            raise UsageError(f"{args.plot}: cannot write: {exc.strerror or exc}") from None
        except Exception as exc:  # matplotlib's own failures on odd data: the report still stands
            note = f"the picture could not be drawn: {type(exc).__name__}: {' '.join(str(exc).split())[:300]}"
            report["diagnostics"].append(
                {
                    "kind": "diagnostic_failed",
                    "level": "note",
                    "column": None,
                    "message": f"The picture could not be drawn: {type(exc).__name__}.",
                    "changes_data": False,
                    "count": None,
                    "examples": [],
                }
            )
        if args.html:
            failed = rendering.write_html(args.html, report, rendering.text(report), picture, note)
            if failed:
                raise UsageError(failed)
    return report


def main(argv: list[str] | None = None) -> int:
    try:
        args = parser().parse_args(argv)
        if args.example:
            if args.files:
                raise UsageError("give either a FILE or --example, not both")
            args.files = [str(example_path())]
            for key, value in EXAMPLE_OPTIONS.items():
                if getattr(args, key) is None:
                    setattr(args, key, value)
        elif not args.files:
            raise UsageError(f"give a data FILE, or --example (see {PROG} --help)")
        if len(args.files) > 1:
            for option in ("output", "plot", "html", "holdout_file", "series_id"):
                if getattr(args, option):
                    raise UsageError(f"--{option.replace('_', '-')} takes one data FILE, not {len(args.files)}")
        if args.files.count("-") > 1:
            raise UsageError("standard input (-) can be read only once")
        if args.plot and not args.plot.lower().endswith((".png", ".svg")):
            raise UsageError(f"{args.plot}: the picture must be a .png or .svg file")
        if args.plot and importlib.util.find_spec("matplotlib") is None:
            raise UsageError('--plot needs matplotlib: pip install "quarnex-data-helper[plot]"')
        if args.jobs is not None and not args.series_id:
            raise UsageError("--jobs applies only with --series-id")
        outputs = {"--output": args.output, "--plot": args.plot, "--html": args.html}
        output.check_targets(outputs, [*args.files, *([args.holdout_file] if args.holdout_file else [])])
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    previous = signal.getsignal(signal.SIGTERM)
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, _terminated)  # ends the run as Ctrl-C does: workers stopped, one line
    try:
        return _run(args)
    except BrokenPipeError:  # the reader of the report went away (| head): not an error of the data
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_USAGE
    except KeyboardInterrupt:
        _say("interrupted")
        return EXIT_INTERRUPTED
    except ReportNotWritten as exc:
        _say(f"error: cannot write the report: {exc}")
        return EXIT_USAGE
    finally:
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGTERM, previous)


EXIT_INTERRUPTED = 130  # as a shell reports a command ended by Ctrl-C


def console() -> None:
    """The command as a process (the quarnex-check script, python -m quarnex.check): main(), then
    exit. An interrupted run ends at once: its worker processes are stopped already, and the
    interpreter's own clean-up would wait on their bookkeeping for seconds."""
    code = main()
    if code == EXIT_INTERRUPTED:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError):
                stream.flush()
        os._exit(code)
    sys.exit(code)


class ReportNotWritten(Exception):
    """Standard output refused the report (a full disk, a closed file): not a closed pipe."""


def _terminated(signum, frame):
    raise KeyboardInterrupt


def _say(text: str) -> None:
    """One line on standard error; nothing when that is gone too."""
    try:
        print(f"{PROG}: {text}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def _emit(text: str) -> None:
    """Prints the report on standard output; a failure other than a closed pipe is ReportNotWritten."""
    try:
        print(text, flush=True)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise ReportNotWritten(exc.strerror or str(exc)) from None


def _run(args) -> int:
    progress = progress_printer(not args.json and sys.stderr.isatty())
    try:
        settings = Settings.from_args(args)
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    if args.series_id:
        try:
            return _check_series(args, settings, progress)
        except UsageError as exc:
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            return EXIT_USAGE
    worst, reports = EXIT_ACCEPTED, []
    for name in args.files:
        try:
            report = _check_one(args, settings, name, progress)
        except UsageError as exc:
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            worst = max(worst, EXIT_USAGE)
            continue
        reports.append(report)
        worst = max(worst, report["exit_status"])
        if not args.json:
            _emit(("\n" if len(reports) > 1 else "") + rendering.text(report))
    if args.json and reports:
        _emit(rendering.dumps(reports[0] if len(args.files) == 1 else reports, indent=2))
    return worst


def _check_series(args, settings: Settings, progress) -> int:
    """--series-id on one file: check, report, write --output; returns the exit status."""
    import pandas as pd

    import quarnex.check.series as series

    for option in ("holdout_file", "plot", "html"):
        if getattr(args, option, None):
            raise UsageError(f"--{option.replace('_', '-')} cannot be combined with --series-id")
    name = args.files[0]
    report, tables = series.run(
        name,
        settings,
        args.series_id,
        jobs=args.jobs,
        keep_tables=bool(args.output),
        quiet=args.json,
        reading_progress=progress,
    )
    if args.output and tables:
        try:
            with output.atomic(args.output) as f:
                pd.concat(tables, ignore_index=True).to_csv(f, index=False)
        except OSError as exc:
            raise UsageError(f"{args.output}: cannot write: {exc.strerror or exc}") from None
    _emit(rendering.dumps(report, indent=2) if args.json else rendering.series_text(report))
    return report["exit_status"]


if __name__ == "__main__":
    # Run the module's imported copy, so that its names (UsageError) are the ones other modules import.
    from quarnex.check.command import console as _console

    _console()
