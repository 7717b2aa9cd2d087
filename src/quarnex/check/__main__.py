"""python -m quarnex.check: the quarnex-check command."""

from quarnex.check.command import console

console()
