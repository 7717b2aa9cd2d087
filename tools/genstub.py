"""Writes the type stub of quarnex.utils.data_helper from the module's own descriptions.

Every parameter, default and annotation of a DataHelper method is described once, beside its
body in native/ (describe<>); the module hands those descriptions out (_method_table), and
this writes the stub from them, formatted as ruff formats it:

    PYTHONPATH=OUT/site python tools/genstub.py          # rewrite src/quarnex/utils/data_helper.pyi
    PYTHONPATH=OUT/site python tools/genstub.py --check  # exit 1 when the shipped stub is not current

tests/test_method_table.py checks that the shipped stub is current; mypy's stubtest checks it
against the module.
"""

from __future__ import annotations

import sys
from pathlib import Path

STUB = Path(__file__).resolve().parents[1] / "src" / "quarnex" / "utils" / "data_helper.pyi"
WIDTH = 120  # ruff's line length (pyproject.toml)


def _imports(module) -> list[str]:
    """The names the module imports, as the stub re-exports them, in ruff's (isort's) order."""
    from quarnex.utils import constants

    constant_names = [n for n in constants.__all__ if hasattr(module, n)]
    # constants first (upper case), then classes, each alphabetically: isort's order by type
    upper = sorted(n for n in constant_names if n.isupper())
    rest = sorted(n for n in constant_names if not n.isupper())
    lines = [
        "import datetime as datetime",
        "from fractions import Fraction as Fraction",
        "from typing import Any",
        "from typing import Union as Union",
        "",
        "import pandas as pd",
        "",
    ]
    for name in upper + rest:
        line = f"from quarnex.utils.constants import {name} as {name}"
        lines.append(line if len(line) <= WIDTH else f"from quarnex.utils.constants import (\n    {name} as {name},\n)")
    lines.append("from quarnex.utils.messages.messages import Messages as Messages")
    return lines


def _parameter(name: str, annotation: str | None, default: str) -> str:
    if name == "self":
        return "self"
    if default == "nan":
        return f"{name}: {annotation or 'Any'} = ..."
    if default == "none":
        return f"{name}: {annotation or 'Any'} | None = None"
    return f"{name}: {annotation or 'Any'}"


def _def(name: str, params: list[str], result: str, indent: str) -> list[str]:
    """A def as ruff formats it: on one line when it fits; else its parameters on one line of
    their own when they fit; else one parameter a line, with a trailing comma."""
    one = f"{indent}def {name}({', '.join(params)}) -> {result}: ..."
    if len(one) <= WIDTH:
        return [one]
    inner = indent + "    "
    hugged = f"{inner}{', '.join(params)}"
    if len(hugged) <= WIDTH:
        return [f"{indent}def {name}(", hugged, f"{indent}) -> {result}: ..."]
    return [f"{indent}def {name}(", *(f"{inner}{p}," for p in params), f"{indent}) -> {result}: ..."]


def stub() -> str:
    """The stub's text, from the module's descriptions."""
    import quarnex.utils.data_helper as module

    lines = _imports(module)
    lines += ["", "def _fastpath_stats() -> dict[str, dict[str, int]]: ..."]
    lines += ["def _method_table() -> list[tuple[str, str, list[tuple[str, str | None, str]], str | None, str]]: ..."]
    lines += ["", "class DataHelper:"]
    for name, kind, params, _result, stub_result in module._method_table():
        if kind == "static":
            lines.append("    @staticmethod")
        lines += _def(name, [_parameter(*p) for p in params], stub_result, "    ")
    return "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    text = stub()
    if "--check" in argv:
        if STUB.read_text() != text:
            print(f"{STUB} is not current: run tools/genstub.py", file=sys.stderr)
            return 1
        return 0
    STUB.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
