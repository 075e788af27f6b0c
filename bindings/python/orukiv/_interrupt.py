"""Blocking calls that a KeyboardInterrupt ends.

A call into the library releases the GIL and waits in C, where Python's
signal handler cannot run. On the main thread (where KeyboardInterrupt is
raised), with Python's own SIGINT handler in place:

- when the library can cancel (``KIV_Cancel``), SIGINT reaches a watcher
  thread through Python's wakeup descriptor; the watcher cancels the node's
  transfers, the call returns at once and Python raises KeyboardInterrupt as
  it returns;
- otherwise the call runs on a helper thread while the main thread waits, so
  that KeyboardInterrupt is raised at once; the abandoned call runs to its
  end on the helper (which keeps what it uses) and later calls go to a new
  helper.

Either way the master stays usable. Other threads, and programs with their
own SIGINT handler or wakeup descriptor, make the call as it is.
"""

from __future__ import annotations

import queue
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


class _Job:
    """One call handed to the helper; ``finish`` runs once it returned."""

    def __init__(self, fn: Callable[..., Any], args: Tuple[Any, ...],
                 finish: Callable[[], None], keep: object) -> None:
        self.fn, self.args, self.finish, self.keep = fn, args, finish, keep
        self.result: Any = None
        self.error: Optional[BaseException] = None
        self.done = threading.Event()

    def run(self) -> None:
        try:
            self.result = self.fn(*self.args)
        except BaseException as exc:  # handed to the waiting thread
            self.error = exc
        finally:
            self.finish()
            self.done.set()


class _Helper:
    def __init__(self) -> None:
        self.jobs: "queue.SimpleQueue[Optional[_Job]]" = queue.SimpleQueue()
        threading.Thread(target=self._serve, name="orukiv-call", daemon=True).start()

    def _serve(self) -> None:
        while True:
            job = self.jobs.get()
            if job is None:
                return
            job.run()


_helper: Optional[_Helper] = None


try:  # the handler as stored, without signal.getsignal's conversion to an enum
    from _signal import getsignal as _getsignal  # type: ignore[import]
except ImportError:  # pragma: no cover - other Pythons
    _getsignal = signal.getsignal
_MAIN = threading.main_thread().ident
_SIGINT = int(signal.SIGINT)


def _interruptible() -> bool:
    return (threading.get_ident() == _MAIN
            and _getsignal(_SIGINT) is signal.default_int_handler)


def call(core: Any, handle: int, node: int, fn: Callable[..., Any], *args: Any,
         keep: object = None) -> int:
    """``fn(handle, *args)``, then ``core._end()`` (once the call has really
    returned). On the main thread SIGINT ends the wait for the transfers of
    ``node`` (0: every transfer). ``keep``: what the call writes into, kept
    alive by an abandoned call."""
    if not _interruptible():
        try:
            return int(fn(handle, *args))
        finally:
            core._end()
    if hasattr(core._lib, "KIV_Cancel"):
        return _cancelling(core, handle, node, fn, args)
    return _on_helper(core, fn, (handle,) + args, keep)


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


def _on_helper(core: Any, fn: Callable[..., Any], args: Tuple[Any, ...], keep: object) -> int:
    global _helper
    with _lock:
        if _helper is None:
            _helper = _Helper()
        helper = _helper
    job = _Job(fn, args, core._end, keep)
    helper.jobs.put(job)
    try:
        # In slices: the signal may land on another thread, and Python runs
        # its handler when the main thread next runs Python code.
        while not job.done.wait(0.05):
            pass
    except BaseException:
        if not job.done.is_set():  # abandoned: the helper finishes it, a new one serves on
            with _lock:
                if _helper is helper:
                    _helper = None
            helper.jobs.put(None)
        raise
    if job.error is not None:
        raise job.error
    return int(job.result)
