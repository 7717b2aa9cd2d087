"""The report of one check: one type, plain data (a dict) that knows its exit status and its
JSON, prints as the text report and shows as the command's page in a notebook. A series report
is a dict holding a list of them (see series.py)."""

from __future__ import annotations

import re
from typing import Any

from quarnex.check.options import EXIT_ACCEPTED, EXIT_REFUSED, EXIT_UNEXPECTED, Settings

SCHEMA_VERSION = 1
_CODE = re.compile(r"^(QUARNEX\d{4,5}[EW]):")


def code(text: str) -> str | None:
    """The catalogue identifier a message starts with, or None."""
    found = _CODE.match(text)
    return found.group(1) if found else None


class Report(dict):
    """One table's report; its fields are those of the shipped JSON schema (report.schema.json)."""

    @classmethod
    def blank(
        cls, settings: Settings, file: str | None, rows_in: int, holdout_rows_in: int | None = None, csv=None
    ) -> Report:
        """A report before the checks ran: every field, none decided."""
        return cls(
            schema_version=SCHEMA_VERSION,
            file=None if file is None else str(file),
            holdout_file=settings.holdout_file,
            learning_type=settings.learning_type,
            size=settings.size,
            status=None,
            exit_status=None,
            refusal=None,
            refusal_code=None,
            error=None,
            warnings=[],
            warning_codes=[],
            rows_in=rows_in,
            holdout_rows_in=holdout_rows_in,
            rows_out=None,
            holdout_rows=None,
            columns=None,
            time=None,
            csv=csv,
            diagnostics=[],
        )

    def decide(self, strict: bool) -> Report:
        """Sets the exit status from the status (and, under strict, the warnings and the notes that
        change the data)."""
        if self["status"] == "accepted":
            failed = strict and (self["warnings"] or any(f["changes_data"] for f in self["diagnostics"]))
            self["exit_status"] = EXIT_REFUSED if failed else EXIT_ACCEPTED
        else:
            self["exit_status"] = EXIT_REFUSED if self["status"] == "refused" else EXIT_UNEXPECTED
        return self

    @property
    def exit_status(self) -> int:
        return self["exit_status"]

    def json(self, **options: Any) -> str:
        import quarnex.check.rendering as rendering

        return rendering.dumps(self, **options)

    def __str__(self) -> str:
        import quarnex.check.rendering as rendering

        return rendering.text(self)

    def _repr_html_(self) -> str:
        import quarnex.check.rendering as rendering

        return rendering.page(self, rendering.text(self), None, "draw the picture with quarnex-check --plot")
