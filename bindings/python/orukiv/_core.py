"""The core of a master: one library instance over one python-can bus.

The core is a python-can ``Listener``: the notifier's thread hands every
received frame to the library with ``KIV_InputFrame`` and the worker never
calls into Python to poll (``KIV_TIMING_HOST_INPUT``). Frames go out through
``bus.send`` from the worker. The SDO object access lives here too, so that
the modules built on a master (dictionaries, drives, nodes, LSS) need this
module only and the package has no import loop.
"""

from __future__ import annotations

import ctypes
import logging
import mmap
import struct
import sys
import threading
import weakref
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from can.bus import BusABC
from can.listener import Listener
from can.message import Message
from can.notifier import Notifier

from . import _args as A
from . import _interrupt
from . import _library as L
from .errors import ClosedError, NoSendError, ParamError, SdoTooLongError, raise_for

log = logging.getLogger("orukiv")

# KIV_CanFrame as bytes: id, 6 reserved, rtr, 1 reserved, dlc, 3 reserved, data.
FRAME = struct.Struct("<I6xBxB3x8s")
FRAME_SIZE = FRAME.size
# Marks an extended (29-bit) identifier in the frames the package hands to
# the library: the library passes identifiers through unchanged and the
# send callback turns the mark into python-can's is_extended_id.
EXTENDED_MARK = 0x80000000
MAX_EXTENDED_ID = 0x1FFFFFFF
MAX_STANDARD_ID = 0x7FF
# Worker period: frames and requests wake the worker at once, the period
# only paces time-outs, re-sends and supervision.
LOW_LATENCY_PERIOD_US = 10000
DEFAULT_PERIOD_US = 5000
# The largest read without a limit: what a 32-bit size can say.
UNLIMITED = 0xFFFFFFFF

Payload = Union[bytes, bytearray, memoryview]
FrameLike = Union[Message, Tuple[int, bytes]]
FrameHook = Callable[[int, bytes], None]


def checked_cob_id(value: Any, extended: Any, name: str = "cob_id") -> int:
    """A checked identifier for the library: above 0x7FF only with
    ``extended`` (then carrying EXTENDED_MARK), the same on every path."""
    if not isinstance(extended, bool):
        raise TypeError("extended must be a bool")
    if extended:
        return A.integer(value, name, 0, MAX_EXTENDED_ID) | EXTENDED_MARK
    number = A.integer(value, name, 0, MAX_EXTENDED_ID)
    if number > MAX_STANDARD_ID:
        raise ValueError(f"{name} 0x{number:X} needs extended=True (standard ids end at 0x7FF)")
    return number


def pack(item: FrameLike) -> bytes:
    """A Message or (cob_id, data) as a KIV_CanFrame's bytes."""
    if isinstance(item, Message):
        if item.is_fd or item.is_error_frame:
            raise ValueError("only classic data and remote frames can be sent")
        fid = checked_cob_id(item.arbitration_id, bool(item.is_extended_id), "arbitration_id")
        dlc = min(item.dlc, 8)
        return FRAME.pack(fid, 1 if item.is_remote_frame else 0, dlc, bytes(item.data[:8]))
    if not isinstance(item, tuple) or len(item) != 2:
        raise TypeError("a frame is a Message or a (cob_id, data) pair")
    raw = A.data(item[1], "data")
    if len(raw) > 8:
        raise ValueError("a frame carries at most 8 bytes")
    return FRAME.pack(checked_cob_id(item[0], False), 0, len(raw), raw)


class _WeakListener(Listener):
    """Forwards to a master without keeping it alive: the notifier a master
    made for itself must not keep an unclosed master from being collected."""

    def __init__(self, core: "Core") -> None:
        self._core = weakref.ref(core)

    def on_message_received(self, msg: Message) -> None:
        core = self._core()
        if core is not None:
            core.on_message_received(msg)

    def on_error(self, exc: Exception) -> None:
        log.error("orukiv: the bus failed in receive: %r", exc)

    def stop(self) -> None:
        pass


class _ReadBuffer(threading.local):
    """Each thread's buffer for reads: anonymous memory, taken from the system
    page by page as an answer fills it, so that a read without a limit needs
    no more memory than its object."""

    memory: Optional[mmap.mmap] = None
    address = 0
    capacity = 0


def _new_read_buffer() -> Tuple[mmap.mmap, int]:
    if sys.platform.startswith("linux"):
        # Reserve no swap for it: only the pages an answer touches count.
        flags = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | 0x4000  # MAP_NORESERVE
        try:
            return mmap.mmap(-1, UNLIMITED, flags=flags), UNLIMITED
        except (OSError, OverflowError, ValueError):
            pass
    size = 64 << 20
    return mmap.mmap(-1, size), size


class Core(Listener):
    """A master's instance, receive path, send path and SDO access."""

    def __init__(self, bus: BusABC, *, notifier: Optional[Notifier] = None,
                 low_latency: bool = True, sdo_timeout: float = 1.0) -> None:
        self._handle: Optional[int] = None
        self._notifier: Optional[Notifier] = None
        if not isinstance(bus, BusABC):
            raise TypeError(f"bus must be a BusABC, not {type(bus).__name__}")
        if notifier is not None:
            if not isinstance(notifier, Notifier):
                raise TypeError(f"notifier must be a Notifier, not {type(notifier).__name__}")
            buses = notifier.bus if isinstance(notifier.bus, list) else [notifier.bus]
            if not any(b is bus for b in buses):
                raise ValueError("notifier must be a notifier on bus")
        if not isinstance(low_latency, bool):
            raise TypeError("low_latency must be a bool")
        timeout_ms = self._timeout_ms(sdo_timeout)
        self._lib = L.library()
        self._sdo_timeout_ms = timeout_ms
        self._bus = bus
        self._cv = threading.Condition()
        self._busy = 0
        self._worker_ident: Optional[int] = None
        self._send_error: Optional[BaseException] = None
        self._send_failures = 0  # one more per failed send: a call compares before and after
        self._send_logged = False
        self._frame_hooks: Dict[int, List[FrameHook]] = {}
        self._any_hooks: Tuple[FrameHook, ...] = ()
        self._kept: List[object] = []  # progress and cycle callbacks handed out
        self._read_buffer = _ReadBuffer()
        # The ctypes callback objects live as long as this object: the
        # library holds their addresses. canRecv is never called (the host
        # hands its frames in) but the library wants one.
        self._thunks = (
            L.CanRecvFn(lambda frames, count, user: 0),
            L.CanSendFn(self._on_send),
            L.EventFn(self._on_event),
        )
        param = L.InitParam()
        param.canRecv, param.canSend, param.onEvent = self._thunks
        handle = self._lib.KIV_Init(ctypes.byref(param))
        if not handle:
            from .errors import NoResourceError

            raise NoResourceError("KIV_Init: the library instance could not be created")
        self._handle = handle
        try:
            self._lib.KIV_SetSDOTimeout(handle, timeout_ms)
            period = LOW_LATENCY_PERIOD_US if low_latency else DEFAULT_PERIOD_US
            flags = L.KIV_TIMING_WAKE_ON_REQUEST | L.KIV_TIMING_HOST_INPUT
            raise_for(self._lib.KIV_SetWorkerTiming(handle, period, flags), "KIV_SetWorkerTiming")
            # A read announced longer than its buffer ends at the first answer.
            self._lib.KIV_SetSdoRefuseLongReads(handle, 1)
            if notifier is None:
                self._notifier = Notifier(bus, [_WeakListener(self)], timeout=0.1)
                self._own_notifier = True
            else:
                notifier.add_listener(self)
                self._notifier = notifier
                self._own_notifier = False
        except BaseException:
            self.close()
            raise

    # ---- lifetime ----------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._handle is None

    @property
    def bus(self) -> BusABC:
        return self._bus

    @property
    def notifier(self) -> Optional[Notifier]:
        """The notifier the master receives through (its own or the one given)."""
        return self._notifier

    def close(self) -> None:
        """Stops receiving, destroys the library instance and ends every
        event stream. Calls in progress on other threads are cancelled when
        the library can cancel, else waited for; no callback runs once it
        has returned. Calling it again does nothing."""
        with self._cv:
            handle = self._handle
            if handle is None:
                return
            self._handle = None  # no new call, no more frames handed in
        self._cancel_running(handle)
        with self._cv:
            if threading.get_ident() != self._worker_ident:
                self._cv.wait_for(lambda: self._busy == 0)
        notifier, self._notifier = self._notifier, None
        if notifier is not None:
            if self._own_notifier:
                try:
                    notifier.stop(timeout=2.0)
                except RuntimeError:
                    pass  # closed from the notifier's own thread: it ends by itself
            else:
                try:
                    notifier.remove_listener(self)
                except ValueError:
                    pass
        self._lib.KIV_Destroy(handle)
        self._closed_hook()

    def _closed_hook(self) -> None:
        """After close: what a subclass ends (event streams)."""

    def _cancel_running(self, handle: int) -> None:
        """Cancels the transfers under way, when the library can."""
        self._lib.KIV_Cancel(handle, 0)

    def cancel(self, node: int = 0) -> None:
        """Ends the SDO transfers with ``node`` (0: every transfer) that are
        under way or waiting: their calls raise CancelledError (a transfer
        that had begun sends its abort frame first)."""
        node = A.integer(node, "node", 0, 127)
        handle = self._begin(queuing=False)
        try:
            result = int(self._lib.KIV_Cancel(handle, node))
        finally:
            self._end()
        self._check(result, f"cancel of node {node}")

    def __enter__(self) -> "Core":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- receive path (the notifier's thread) --------------------------------

    def on_message_received(self, msg: Message) -> None:
        """python-can Listener: hands one received frame to the library. Frames
        the library cannot carry (extended, FD, error frames) are dropped."""
        if msg.is_extended_id or msg.is_error_frame or msg.is_fd:
            return
        fid, dlc, rtr = msg.arbitration_id, msg.dlc, msg.is_remote_frame
        if dlc > 8 or fid > MAX_STANDARD_ID:
            return
        data = bytes(msg.data[:dlc])
        if not rtr:
            dlc = len(data)  # a DLC beyond the bytes carried counts what is there
        if not rtr:
            if 0x701 <= fid <= 0x77F and dlc == 0:
                return  # no state in it: neither a heartbeat nor a boot-up
        hooks = self._frame_hooks.get(fid)
        try:
            if hooks:
                for hook in hooks:
                    hook(fid, data)
            for hook in self._any_hooks:
                hook(fid, data)
        except Exception:
            log.exception("orukiv: a node's frame handler raised")
        self._hand_in(FRAME.pack(fid, 1 if rtr else 0, dlc, data))

    def _hand_in(self, packed: bytes) -> None:
        with self._cv:
            handle = self._handle
            if handle is None or threading.get_ident() == self._worker_ident:
                return
            self._busy += 1
        try:
            self._lib.KIV_InputFrame(handle, L.CanFrame.from_buffer_copy(packed))
        finally:
            self._end()

    def on_error(self, exc: Exception) -> None:
        log.error("orukiv: the bus failed in receive: %r", exc)

    def stop(self) -> None:
        """python-can Listener: the notifier stopped. The master stays open
        (close it to end it); it receives nothing more through that notifier."""

    def _add_hook(self, cob: Optional[int], hook: FrameHook) -> None:
        """Calls ``hook(cob_id, data)`` on the notifier's thread for every data
        or remote frame received on ``cob`` (None: on every id)."""
        with self._cv:
            if cob is None:
                self._any_hooks = self._any_hooks + (hook,)
            else:
                self._frame_hooks.setdefault(cob, []).append(hook)

    def _remove_hook(self, cob: Optional[int], hook: FrameHook) -> None:
        with self._cv:
            if cob is None:
                self._any_hooks = tuple(h for h in self._any_hooks if h is not hook)
            elif cob in self._frame_hooks:
                self._frame_hooks[cob] = [h for h in self._frame_hooks[cob] if h is not hook]

    # ---- the library's callbacks (worker thread) ---------------------------

    def _on_send(self, frame: int, _user: Optional[int]) -> int:
        self._worker_ident = threading.get_ident()
        try:
            fid, rtr, dlc, data = FRAME.unpack(ctypes.string_at(frame, FRAME_SIZE))
            dlc = min(dlc, 8)
            extended = bool(fid & EXTENDED_MARK)
            fid &= MAX_EXTENDED_ID if extended else 0x7FFFFFFF
            if not extended and fid > MAX_STANDARD_ID:
                raise ValueError(f"id 0x{fid:X} is no standard id")
            msg = Message(arbitration_id=fid, is_extended_id=extended,
                              is_remote_frame=bool(rtr), dlc=dlc,
                              data=None if rtr else data[:dlc])
            self._bus.send(msg)
            self._send_logged = False
            return L.KIV_OK
        except Exception as exc:  # never let an exception reach the worker
            self._send_error = exc
            self._send_failures += 1
            if not self._send_logged:  # once per run of failures
                self._send_logged = True
                log.error("orukiv: the bus failed to send a frame: %r", exc)
            return L.KIV_ERR_NO_SEND

    def _on_event(self, record: int, _user: Optional[int]) -> None:
        self._worker_ident = threading.get_ident()

    # ---- calls -------------------------------------------------------------

    def _begin(self, queuing: bool = True) -> int:
        with self._cv:
            if self._handle is None:
                raise ClosedError("this orukiv.Master is closed")
            if queuing and threading.get_ident() == self._worker_ident:
                raise ParamError(
                    "blocking calls cannot be made from inside the master's own callbacks",
                    L.KIV_ERR_PARAM,
                )
            self._busy += 1
            return self._handle

    def _end(self) -> None:
        with self._cv:
            self._busy -= 1
            if self._busy == 0:
                self._cv.notify_all()

    def _run(self, node: int, fn: Any, *args: Any) -> int:
        """Calls a queuing export so that a KeyboardInterrupt cancels it (see
        _interrupt)."""
        handle = self._begin()
        return _interrupt.call(self, handle, node, fn, *args)

    def _call(self, what: str, name: str, *args: Any) -> None:
        failures = self._send_failures
        result = self._run(0, getattr(self._lib, name), *args)
        self._check(result, what, 0, failures)

    def _setting(self, what: str, name: str, *args: Any) -> None:
        handle = self._begin(queuing=False)
        try:
            result = getattr(self._lib, name)(handle, *args)
        finally:
            self._end()
        self._check(result, what)

    def _check(self, result: int, what: str, abort_code: int = 0,
               failures: Optional[int] = None, family: str = "") -> None:
        """Raises for a non-zero result. ``failures``: the send-failure count
        before the call; a time-out of a call whose frames could not be sent
        is the send failure it is."""
        if result == L.KIV_OK:
            return
        failed_to_send = failures is not None and self._send_failures != failures
        ended = (L.KIV_ERR_TIMEOUT, L.KIV_ERR_CANCELLED)
        if result == L.KIV_ERR_NO_SEND or (result in ended and failed_to_send):
            cause = self._send_error
            raise NoSendError(f"{what}: the frame could not be sent") from cause
        raise_for(result, what, abort_code, family)

    # ---- SDO ---------------------------------------------------------------

    @staticmethod
    def _timeout_ms(seconds: float) -> int:
        value = A.seconds(seconds, "sdo_timeout")
        if value * 1000 > 0xFFFFFFFF:
            raise ValueError(f"sdo_timeout must be at most {0xFFFFFFFF / 1000:.0f} s, not {value}")
        return max(int(value * 1000 + 0.999), 1)

    @property
    def sdo_timeout(self) -> float:
        """How long (s) an SDO server may stay silent; applies to transfers
        requested after it was set."""
        return self._sdo_timeout_ms / 1000.0

    @sdo_timeout.setter
    def sdo_timeout(self, seconds: float) -> None:
        ms = self._timeout_ms(seconds)
        handle = self._begin(queuing=False)
        try:
            self._lib.KIV_SetSDOTimeout(handle, ms)
        finally:
            self._end()
        self._sdo_timeout_ms = ms

    def read(self, node: int, index: int, sub: int = 0, *,
             max_size: Optional[int] = None) -> bytes:
        """Reads object ``index``:``sub`` of ``node`` and returns all of it.
        ``max_size`` limits its length: a longer object raises
        :class:`SdoTooLongError`, the transfer aborted at the server's first
        answer when that answer says the size."""
        return self._read("KIV_ReadObjectEx", "read", node, index, sub, max_size)

    def read_block(self, node: int, index: int, sub: int = 0, *,
                   max_size: Optional[int] = None) -> bytes:
        """Reads with an SDO block upload (CRC checked); a server that refuses
        block transfer is read as by :meth:`read`. ``max_size`` as there."""
        return self._read("KIV_ReadObjectBlock", "block read", node, index, sub, max_size)

    def write(self, node: int, index: int, sub: int, data: Payload) -> None:
        """Writes ``data`` (1..4 bytes expedited, more segmented) to object
        ``index``:``sub`` of ``node``."""
        self._write("KIV_WriteObjectEx", "write", node, index, sub, data)

    def write_block(self, node: int, index: int, sub: int, data: Payload) -> None:
        """Writes with an SDO block download (CRC); a server that refuses
        block transfer is written as by :meth:`write`."""
        self._write("KIV_WriteObjectBlock", "block write", node, index, sub, data)

    def _read(self, name: str, what: str, node: Any, index: Any, sub: Any,
              max_size: Any) -> bytes:
        node, index, sub = A.u8(node, "node"), A.u16(index, "index"), A.u8(sub, "sub")
        if max_size is not None:
            max_size = A.integer(max_size, "max_size", 1, UNLIMITED - 1)
        buffer = self._read_buffer
        if buffer.memory is None:
            buffer.memory, buffer.capacity = _new_read_buffer()
            buffer.address = ctypes.addressof(ctypes.c_char.from_buffer(buffer.memory))
        memory, address = buffer.memory, buffer.address
        capacity = buffer.capacity if max_size is None else min(max_size + 1, buffer.capacity)
        received, abort = ctypes.c_uint32(0), ctypes.c_uint32(0)
        failures = self._send_failures
        result = self._run(
            node, getattr(self._lib, name), node, index, sub,
            ctypes.cast(address, L._u8p), capacity, ctypes.byref(received), ctypes.byref(abort),
        )
        label = f"{what} of node {node} 0x{index:04X}:{sub}"
        if result:
            self._check(result, label, abort.value, failures, "sdo")
        size = received.value
        if size >= capacity and (max_size is not None or capacity < UNLIMITED):
            limit = max_size if max_size is not None else capacity - 1
            raise SdoTooLongError(f"{label}: the object is longer than {limit} bytes")
        data = memory[:size]
        if size > (1 << 20) and hasattr(mmap, "MADV_DONTNEED"):
            memory.madvise(mmap.MADV_DONTNEED)  # a large object's pages go back
        return data

    def _write(self, name: str, what: str, node: Any, index: Any, sub: Any,
               data: Any) -> None:
        node, index, sub = A.u8(node, "node"), A.u16(index, "index"), A.u8(sub, "sub")
        payload = A.data(data, "data")
        if not payload:
            raise ValueError("data must not be empty")
        abort = ctypes.c_uint32(0)
        failures = self._send_failures
        result = self._run(node, getattr(self._lib, name), node, index, sub,
                           ctypes.cast(ctypes.c_char_p(payload), L._u8p), len(payload),
                           ctypes.byref(abort))
        if result:
            self._check(result, f"{what} of node {node} 0x{index:04X}:{sub}", abort.value,
                        failures, "sdo")

    # ---- NMT and PDO -------------------------------------------------------

    def nmt(self, command: int, node: int = 0) -> None:
        """Sends an NMT command to ``node`` (0: every node)."""
        command = A.u8(command, "command")
        self._call("NMT command", "KIV_NMT_SendCommand", A.u8(node, "node"), command)

    def send_pdo(self, cob_id: int, data: Union[bytes, bytearray, memoryview], *,
                 extended: bool = False) -> None:
        """Sends a PDO of 1..8 bytes on ``cob_id`` (0..0x7FF; up to 0x1FFFFFFF
        as an extended frame with ``extended=True``)."""
        fid = checked_cob_id(cob_id, extended)
        raw = A.data(data, "data")
        if not 1 <= len(raw) <= 8:
            raise ValueError("a PDO carries 1..8 bytes")
        buf = (ctypes.c_uint8 * len(raw)).from_buffer_copy(raw)
        self._call("PDO", "KIV_SendPDO", fid, buf, len(raw))
