"""Shared fixtures.

The extension module is imported inside the fixtures, not at the top, so that
tests of the pure-Python modules run without it.
"""

import importlib
import os
import sys

import pytest

# The suite runs the fast routes strictly: an unexpected error inside one is
# raised instead of silently handing the input to the straightforward route.
os.environ.setdefault("QUARNEX_DATA_HELPER_FASTPATH_STRICT", "1")

MODULE = "quarnex.utils.data_helper"


def _route_errors():
    # Counted in the extension, shared by every import of it.
    module = sys.modules.get(MODULE)
    if module is None:
        return 0
    return sum(counts["error"] for counts in module._fastpath_stats().values())


@pytest.fixture(autouse=True)
def _no_fast_route_errors(request):
    """A fast-route error may be caught on its way out (a converter's error is
    a parse failure to its caller): fail the test on any that happened,
    unless it is marked as causing them on purpose."""
    before = _route_errors()
    yield
    if request.node.get_closest_marker("fast_route_errors") is None:
        assert _route_errors() == before, "an unexpected error occurred inside a fast route"


@pytest.fixture
def dh():
    """The extension module quarnex.utils.data_helper."""
    return importlib.import_module(MODULE)


@pytest.fixture
def routes(dh):
    """Counts of the fast routes taken since the fixture was made:
    routes() -> {route: {"hit": n, reason: n, ...}}."""
    start = dh._fastpath_stats()

    def since():
        now = dh._fastpath_stats()
        return {r: {k: now[r][k] - start[r][k] for k in now[r]} for r in now}

    return since


@pytest.fixture
def helper(dh):
    """A fresh DataHelper instance."""
    return dh.DataHelper()


@pytest.fixture
def C():
    """The constants module."""
    return importlib.import_module("quarnex.utils.constants")


class MessageRecorder:
    """Stands in for the Messages class and records every get_message call.

    Each call is kept as (message_id, args) in ``calls``; its keyword
    arguments are kept in ``kwargs``. The text returned is
    "<message_id>:<repr of args>", so a test can match raised texts and
    warnings against the recorded call.
    """

    def __init__(self):
        self.calls = []
        self.kwargs = []

    @property
    def ids(self):
        return [message_id for message_id, _ in self.calls]

    @staticmethod
    def text(message_id, *args):
        """The text that a call with these values returns."""
        return f"{message_id}:{args!r}"

    def raises(self, call, message_id, args):
        """Run call(); it must raise a plain Exception carrying the text of
        this catalogue call, made last. Returns the exception."""
        with pytest.raises(Exception) as info:
            call()
        assert type(info.value) is Exception
        assert info.value.args == (self.text(message_id, *args),)
        assert self.calls[-1] == (message_id, args)
        return info.value

    def get_message(self, *args, **kwargs):
        self.kwargs.append(dict(kwargs))
        assert set(kwargs) == {"message_id"}, f"unexpected keywords: {kwargs!r}"
        message_id = kwargs["message_id"]
        self.calls.append((message_id, args))
        return self.text(message_id, *args)


@pytest.fixture
def messages(dh, monkeypatch):
    """Replace the module's Messages with a recorder and return the recorder."""
    recorder = MessageRecorder()
    monkeypatch.setattr(dh, "Messages", recorder)
    yield recorder
    # An assertion inside get_message may have been swallowed by the code
    # under test; check the keywords once more here.
    for kwargs in recorder.kwargs:
        assert set(kwargs) == {"message_id"}, f"unexpected keywords: {kwargs!r}"


@pytest.fixture(params=["2026-12-08", "2027-01-31", "2028-02-29"])
def run_date(request, dh, monkeypatch):
    """Runs the test as if today were another date: the module's `datetime`
    becomes a copy whose date.today() answers that date. Returns the date."""
    import datetime
    import types

    today = datetime.date.fromisoformat(request.param)

    class Date(datetime.date):
        @classmethod
        def today(cls):
            return today

    fake = types.ModuleType("datetime")
    fake.__dict__.update({k: v for k, v in vars(datetime).items() if not k.startswith("__")})
    fake.date = Date
    monkeypatch.setattr(dh, "datetime", fake)
    return today
