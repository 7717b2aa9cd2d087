"""Rendering reports: the text report of one table and of many series, the JSON document, and the
self-contained page (the text, the picture inline, the JSON for machines)."""

from __future__ import annotations

import base64
import html
import json

from quarnex.check.options import EXIT_ACCEPTED, EXIT_REFUSED, PROG, plain
from quarnex.check.output import atomic


def text(report: dict) -> str:
    """The text report of one table."""

    def cols(entries):
        if not entries:
            return "none"
        return ", ".join(f"#{c['position']} {c['label']}" for c in entries)

    def cut(text):
        return text if len(text) <= 400 else text[:400] + f"... ({len(text)} characters)"

    status = report["status"]
    n_warn = len(report["warnings"])
    verdict = {"accepted": "accepted", "refused": "refused", "error": "stopped by an unexpected error"}[status]
    if status == "accepted" and n_warn:
        verdict += f" with {n_warn} warning{'s' if n_warn != 1 else ''}"
    if status == "accepted" and report["exit_status"] == EXIT_REFUSED:
        verdict += " (refused under --strict)"
    lines = [f"{PROG}: {report['file']}"]
    if report["holdout_file"]:
        lines.append(f"  holdout file   {report['holdout_file']}")
    read_as = report.get("csv")
    if read_as and (read_as["separator"] != "," or read_as["decimal"] != "."):
        sep = "tab" if read_as["separator"] == "\t" else read_as["separator"]
        lines.append(f"  read as        CSV, separator {sep}, decimal mark {read_as['decimal']}")
    lines.append(f"  learning type  {report['learning_type']}, t-shirt size {report['size']}")
    lines.append(f"  result         {verdict}")
    if report["refusal"]:
        lines.append(f"  refusal        {cut(report['refusal'])}")
    if report["error"]:
        lines.append(f"  error          {cut(report['error'])}")
    for i, w in enumerate(report["warnings"]):
        lines.append(f"  {'warnings' if i == 0 else '':<15}- {cut(w)}")
    rows = f"{report['rows_in']} in"
    if report["holdout_rows_in"] is not None:
        rows += f" (+ {report['holdout_rows_in']} holdout)"
    if report["rows_out"] is not None:
        rows += f", {report['rows_out']} out"
    lines.append(f"  rows           {rows}")
    if report["holdout_rows"] is not None:
        lines.append(f"  holdout rows   {report['holdout_rows']}")
    columns = report["columns"]
    if columns is not None:
        lines.append(f"  target         {cols(columns['target'])}")
        lines.append(f"  feature        {cols(columns['feature'])}")
        ts = columns["timestamp"]
        lines.append(f"  timestamp      {cols([ts] if ts else [])}")
        time = report["time"]
        if time:
            step = f", most common step {time['step']}" if time["step"] else ""
            lines.append(f"  time           {time['first']} to {time['last']}{step}")
        if columns["anomaly_label"]:
            lines.append(f"  anomaly label  {cols([columns['anomaly_label']])}")
    for level, title in (("note", "notes"), ("hint", "hints")):
        for i, f in enumerate(f for f in report["diagnostics"] if f["level"] == level):
            lines.append(f"  {title if i == 0 else '':<15}- {f['message']}")
    return "\n".join(lines)


# ---- many series ------------------------------------------------------------------------

# Verdicts from best to worst ("warned": accepted with warnings); series are listed worst first.
RANK = {"accepted": 0, "warned": 1, "refused": 2, "error": 3}
_ID_WIDTH = 40  # longest series id shown in full in the text report


def verdict(entry: dict) -> str:
    """accepted, warned (accepted with warnings), refused or error."""
    status = entry["status"]
    return "warned" if status == "accepted" and entry["warnings"] else status


def _id_text(series_id) -> str:
    if series_id is None:
        return "(empty id)"
    text = ", ".join(str(v) for v in series_id.values())
    return text if len(text) <= _ID_WIDTH else text[: _ID_WIDTH - 1] + "…"


def _verdict_text(entry: dict) -> str:
    status, n = verdict(entry), len(entry["warnings"])
    text = {
        "accepted": "accepted",
        "warned": f"accepted, {n} warning{'s' if n != 1 else ''}",
        "refused": "refused",
        "error": "error",
    }[status]
    if status in ("accepted", "warned") and entry["exit_status"] != EXIT_ACCEPTED:
        text += " (refused under --strict)"
    return text


def series_text(report: dict) -> str:
    """The text report of a series report: one line per series, worst first, and the totals."""
    entries = report["series"]
    rows = [
        (
            _id_text(e["id"]),
            _verdict_text(e),
            str(e["rows_in"]),
            "-" if e["holdout_rows"] is None else str(e["holdout_rows"]),
            str(len(e["warnings"])),
            e["main"],
        )
        for e in entries
    ]
    heads = ("series", "result", "rows", "holdout", "warnings", "main diagnostic")
    widths = [max([len(h)] + [len(r[k]) for r in rows]) for k, h in enumerate(heads)]

    def line(cells):
        left = f"{cells[0]:<{widths[0]}}  {cells[1]:<{widths[1]}}"
        nums = "  ".join(f"{c:>{w}}" for c, w in zip(cells[2:5], widths[2:5]))
        return f"  {left}  {nums}  {cells[5]}".rstrip()

    t = report["totals"]
    names = ", ".join(str(label) for label in report["series_id"])
    out = [
        f"{PROG}: {report['file']}, {t['series']} series by {names}",
        f"  learning type  {report['learning_type']}, t-shirt size {report['size']}",
        line(heads),
    ]
    out += [line(r) for r in rows]
    parts = [f"{t['accepted'] + t['warned']} accepted ({t['warned']} with warnings)", f"{t['refused']} refused"]
    if t["error"]:
        parts.append(f"{t['error']} stopped by an unexpected error")
    n = t["rows_without_id"]
    without = f"; {n} row{'s' if n != 1 else ''} without a series id" if n else ""
    out.append(
        f"  totals: {t['series']} series: {', '.join(parts)}{without}; rows {t['rows_in']} in, "
        f"{t['rows_out']} out of the accepted series"
    )
    return "\n".join(out)


# ---- JSON and the page ------------------------------------------------------------------


def dumps(document, **options) -> str:
    """The JSON text of a report, a list of them or a series report."""
    return json.dumps(document, ensure_ascii=False, default=plain, **options)


def write_html(path: str, report: dict, text: str, picture: tuple[bytes, str] | None, note: str | None = None):
    """One self-contained page (see page) written to path; an error text when it cannot be written."""
    try:
        with atomic(path) as f:
            f.write(page(report, text, picture, note))
    except OSError as exc:
        return f"{path}: cannot write: {exc.strerror or exc}"
    return None


def page(report: dict, text: str, picture: tuple[bytes, str] | None, note: str | None = None) -> str:
    """One self-contained page: the report as text, the picture inline, the JSON report for machines."""
    if picture is not None:
        data, fmt = picture
        mime = "image/svg+xml" if fmt == "svg" else "image/png"
        figure = (
            f'<img alt="the target over time and the time steps" '
            f'src="data:{mime};base64,{base64.b64encode(data).decode("ascii")}">'
        )
    else:
        figure = f"<p>No picture: {html.escape(note or 'nothing to draw')}.</p>"
    # No text of the data may end or comment out the script block: <, > and & as JSON escapes.
    machine = json.dumps(report, ensure_ascii=True, default=str)
    machine = machine.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
    title = html.escape(f"quarnex-check: {report['file']}")
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<style>
body {{ font-family: sans-serif; margin: 2em; max-width: 70em; }}
pre {{ background: #f6f6f6; padding: 1em; white-space: pre-wrap; }}
img {{ max-width: 100%; }}
</style>
</head>
<body>
<h1>{title}</h1>
<pre id="report">{html.escape(text)}</pre>
{figure}
<script type="application/json" id="report-json">{machine}</script>
</body>
</html>
"""
