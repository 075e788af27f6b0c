"""Blocking calls that a KeyboardInterrupt ends.

A call into the library releases the GIL and waits in C, where Python's
signal handler cannot run. When the library can cancel (``KIV_Cancel``), a
call made on the main thread lets SIGINT reach a watcher thread through
Python's wakeup descriptor: the watcher cancels the node's transfers, the
call returns at once, and Python raises KeyboardInterrupt as it returns. The
master stays usable. Elsewhere (other threads, a program with its own SIGINT
handler or wakeup descriptor) the call is made as it is.
"""

from __future__ import annotations

import signal
import socket
import threading
from typing import Any, Optional, Tuple

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


def call(core: Any, handle: int, node: int, fn: Any, *args: Any) -> int:
    """``fn(handle, *args)``; on the main thread, SIGINT cancels the
    transfers of ``node`` (0: every transfer) while it waits."""
    global _current
    lib = core._lib
    if (not hasattr(lib, "KIV_Cancel")
            or threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        return int(fn(handle, *args))
    writer = _wakeup_pair()[1]
    try:
        previous = signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
    except ValueError:  # not the main interpreter
        return int(fn(handle, *args))
    if previous not in (-1, writer.fileno()):  # someone else's descriptor: leave it
        signal.set_wakeup_fd(previous)
        return int(fn(handle, *args))
    _current = (lib, handle, node)
    try:
        return int(fn(handle, *args))
    finally:
        _current = None
        signal.set_wakeup_fd(previous)
