"""Asking devices themselves for their version text over SSH, and naming
their model as detect() names it.

    from talvern.platformdetails.live import ask, ask_many, Settings

    answer = ask("ssh://admin@edge-01", password_env="DEVICE_PW")
    answer.model, answer.via, answer.failure

ask() and ask_many() block; ask_async() and ask_many_async() run in the
caller's event loop. Each takes a Settings, or its options as keywords. A
device that cannot be answered is an Answer with a failure (one of
FAILURES) and a reason, never an exception.

Needs the ``ssh`` extra (asyncssh): this is the only part of the package
that imports it, and without it the import fails with an ImportError that
names the extra.
"""
from ._asyncssh import asyncssh  # noqa: F401  (the extra, or an ImportError naming it)
from .._failures import CLASSES as FAILURES
from .answer import Answer
from .asking import ask, ask_async, ask_many, ask_many_async
from .settings import Settings
from .targets import Target, TargetError

__all__ = ["FAILURES", "Answer", "Settings", "Target", "TargetError", "ask", "ask_async", "ask_many",
           "ask_many_async"]
