"""Blocking calls that a KeyboardInterrupt ends.

A call into the library releases the GIL and waits in C, where Python's
signal handler cannot run. On the main thread (where KeyboardInterrupt is
raised), with Python's own SIGINT handler in place:

SIGINT reaches a watcher thread through Python's wakeup descriptor (written
by Python's C-level handler on whichever thread the signal lands); the
watcher cancels the node's transfers with ``KIV_Cancel``, the call returns at
once and Python raises KeyboardInterrupt as it returns. The master stays
usable. Other threads, and programs with their own SIGINT handler or wakeup
descriptor, make the call as it is.
"""

from __future__ import annotations

import signal
import socket
import threading
from typing import Any, Callable, Optional, Tuple

_lock = threading.Lock()
_pair: Optional[Tuple[socket.socket, socket.socket]] = None
# The call under way on the main thread: (library, handle, node).
_current: Optional[Tuple[Any, int, int]] = None


def _watch(reader: socket.socket) -> None:
    while True:
        try:
            data = reader.recv(64)
        except OSError:
            return
        if not data:
            return
        current = _current
        if current is not None and signal.SIGINT in data:
            lib, handle, node = current
            lib.KIV_Cancel(handle, node)


def _wakeup_pair() -> Tuple[socket.socket, socket.socket]:
    global _pair
    with _lock:
        if _pair is None:
            reader, writer = socket.socketpair()
            writer.setblocking(False)
            threading.Thread(target=_watch, args=(reader,), name="orukiv-interrupt",
                             daemon=True).start()
            _pair = (reader, writer)
        return _pair


try:  # the handler as stored, without signal.getsignal's conversion to an enum
    from _signal import getsignal as _getsignal  # type: ignore[import]
except ImportError:  # other Pythons
    _getsignal = signal.getsignal
_MAIN = threading.main_thread().ident
_SIGINT = int(signal.SIGINT)


def _interruptible() -> bool:
    return (threading.get_ident() == _MAIN
            and _getsignal(_SIGINT) is signal.default_int_handler)


def call(core: Any, handle: int, node: int, fn: Callable[..., Any], *args: Any) -> int:
    """``fn(handle, *args)``, then ``core._end()``. On the main thread SIGINT
    cancels the transfers of ``node`` (0: every transfer)."""
    if not _interruptible():
        try:
            return int(fn(handle, *args))
        finally:
            core._end()
    return _cancelling(core, handle, node, fn, args)


def _cancelling(core: Any, handle: int, node: int, fn: Callable[..., Any],
                args: Tuple[Any, ...]) -> int:
    global _current
    try:
        writer = _wakeup_pair()[1]
        try:
            previous = signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
        except ValueError:  # not the main interpreter
            return int(fn(handle, *args))
        if previous not in (-1, writer.fileno()):  # someone else's descriptor: leave it
            signal.set_wakeup_fd(previous)
            return int(fn(handle, *args))
        _current = (core._lib, handle, node)
        try:
            return int(fn(handle, *args))
        finally:
            _current = None
            signal.set_wakeup_fd(previous)
    finally:
        core._end()
