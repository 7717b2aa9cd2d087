"""python -m quarnex.utils.check: the quarnex-check command, which lives in quarnex.check."""

from quarnex.check.command import main

__all__ = ["main"]

if __name__ == "__main__":
    from quarnex.check.command import console

    console()
