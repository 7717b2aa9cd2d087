"""quarnex-check: the data checks of a model-building run, on data files and tables.

``main`` is the command (see command.py for the way through); ``check_table`` checks one
pandas table with the command's options and returns its Report; ``check_partition`` checks
every series of one pandas table and returns a line per series. The names are looked up in
their modules when first used, so that importing a module of this package imports no other.
"""

from __future__ import annotations

import importlib

_WHERE = {
    "main": "command",
    "check_table": "series",
    "check_partition": "series",
    "summary": "series",
    "SUMMARY_META": "series",
    "Report": "report",
    "Settings": "options",
    "UsageError": "options",
}

__all__ = sorted(_WHERE)


def __getattr__(name: str):
    if name not in _WHERE:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f"{__name__}.{_WHERE[name]}"), name)


def __dir__():
    return sorted(set(globals()) | set(_WHERE))
