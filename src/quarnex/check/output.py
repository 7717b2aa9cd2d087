"""Writing the files of quarnex-check (--output, --plot, --html): each goes to a temporary file in
its own folder and is renamed into place when whole, so an interruption leaves the old file or
the whole new one, never a part."""

from __future__ import annotations

import contextlib
import os
import tempfile

from quarnex.check.options import UsageError


@contextlib.contextmanager
def atomic(path: str, binary: bool = False):
    """A file object to write `path` through; it replaces `path` when the block ends without an
    error (with the permissions `path` had, else those a new file gets) and is removed otherwise."""
    target = os.path.abspath(path)
    fd, temporary = tempfile.mkstemp(
        prefix=f".{os.path.basename(target)}.", suffix=".part", dir=os.path.dirname(target)
    )
    try:
        try:
            mode = os.stat(target).st_mode & 0o7777
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(temporary, mode)
        with os.fdopen(fd, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8", "newline": ""})) as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def check_targets(outputs: dict[str, str | None], inputs: list[str]) -> None:
    """Usage errors, found before anything is read: an output that is one of the input files
    (however spelled), an output whose folder does not exist, an output that is a folder."""
    for option, path in outputs.items():
        if not path:
            continue
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise UsageError(f"{option} {path}: the folder {folder} does not exist")
        if os.path.isdir(path):
            raise UsageError(f"{option} {path}: is a folder; give a file name")
        for name in inputs:
            if name != "-" and os.path.exists(path) and os.path.exists(name) and os.path.samefile(path, name):
                raise UsageError(f"{option} {path}: is the input file {name}; write to another file")
