"""The master: one library instance over one python-can bus."""

from __future__ import annotations

import collections
import ctypes
import datetime
import logging
import queue
import struct
import threading
import time
import warnings
import weakref
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable, Iterator, List, Optional, Sequence, Tuple, Union

import can

from . import _args as A
from . import _library as L
from .errors import ClosedError, NoResourceError, NoSendError, ParamError, raise_for
from .events import Event, NmtCommand, NmtState, SupervisionMode, decode
from .lss import LssMixin

if TYPE_CHECKING:
    from .od import ConfigReport, ObjectDictionary

log = logging.getLogger("orukiv")

# KIV_CanFrame as bytes: id, 6 reserved, rtr, 1 reserved, dlc, 3 reserved, data.
_FRAME = struct.Struct("<I6xBxB3x8s")
_FRAME_SIZE = _FRAME.size
# Worker period in low-latency mode: arrivals and requests end its sleep at
# once, the period only paces time-outs and supervision.
LOW_LATENCY_PERIOD_US = 1000

EventCallback = Callable[[Event], None]


@dataclass(frozen=True)
class NodeStatus:
    """What the worker knows of one supervised or guarded node."""

    state: NmtState
    mode: SupervisionMode
    alive: bool
    since_last_ms: Optional[int]  # None before any frame


@dataclass(frozen=True)
class Stats:
    """The instance's counters (they only grow)."""

    frames_received: int
    frames_sent: int
    send_failures: int
    full_polls: int
    sdo_completed: int
    sdo_timeouts: int
    sdo_aborts: int
    last_abort_code: int
    last_abort_node: int


@dataclass(frozen=True)
class CyclicStats:
    """Counters of cyclic operation (from its last start on a stopped master)."""

    cycles: int
    skipped: int
    max_late_us: int


FrameLike = Union[can.Message, Tuple[int, bytes]]


def _pack(item: FrameLike) -> bytes:
    """A can.Message or (cob_id, data) as a KIV_CanFrame's bytes."""
    if isinstance(item, can.Message):
        dlc = min(item.dlc, 8)
        return _FRAME.pack(item.arbitration_id, 1 if item.is_remote_frame else 0, dlc,
                           bytes(item.data[:8]))
    cob_id, data = item
    raw = A.data(data, "data")
    if len(raw) > 8:
        raise ValueError("a frame carries at most 8 bytes")
    return _FRAME.pack(A.integer(cob_id, "cob_id", 0, 0x7FF), 0, len(raw), raw)


class EventStream:
    """Events received from the moment the stream was opened
    (:meth:`Master.events`) until it or its master is closed. Iterating
    blocks for the next event and ends when either is closed."""

    _END = object()

    def __init__(self, master: "Master", maxsize: int) -> None:
        self._master = master
        self._queue: "queue.Queue[object]" = queue.Queue(maxsize)
        self._ended = False
        #: events dropped because the stream's queue was full
        self.dropped = 0

    def _put(self, event: Event) -> None:
        try:
            self._queue.put_nowait(event)
        except queue.Full:
            self.dropped += 1

    def _end(self) -> None:
        self._ended = True
        try:
            self._queue.put_nowait(self._END)
        except queue.Full:
            pass  # get() sees _ended once the queue is drained

    def get(self, timeout: Optional[float] = None) -> Optional[Event]:
        """The next event; None after ``timeout`` seconds or once the
        stream has ended."""
        if self._ended and self._queue.empty():
            return None
        try:
            item = self._queue.get(timeout=timeout)
        except queue.Empty:
            return None
        if item is self._END:
            self._queue.put_nowait(self._END)  # for later calls
            return None
        return item  # type: ignore[return-value]

    def wait_for(self, match: Callable[[Event], bool], timeout: float) -> Optional[Event]:
        """The first next event for which ``match`` is true, or None when
        none came within ``timeout`` seconds."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return None
            event = self.get(left)
            if event is None:
                if self._ended:
                    return None
                continue
            if match(event):
                return event

    def __iter__(self) -> Iterator[Event]:
        return self

    def __next__(self) -> Event:
        event = self.get()
        if event is None:
            raise StopIteration
        return event

    def close(self) -> None:
        self._master._unsubscribe(self)
        self._end()

    def __enter__(self) -> "EventStream":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class _Receiver(can.Listener):
    """The python-can listener: queues each classic standard-id frame for the
    worker's receive poll and tells the worker that frames wait."""

    def __init__(self, master: "Master") -> None:
        # Weak: the notifier's thread must not keep an unclosed master alive.
        self._master = weakref.ref(master)

    def on_message_received(self, msg: can.Message) -> None:
        if msg.is_extended_id or msg.is_error_frame or msg.is_fd:
            return  # the library's records carry classic standard-id frames
        dlc = min(msg.dlc, 8)
        packed = _FRAME.pack(msg.arbitration_id, 1 if msg.is_remote_frame else 0, dlc, bytes(msg.data[:8]))
        master = self._master()
        if master is not None:
            master._arrived(packed)

    def on_error(self, exc: Exception) -> None:
        log.error("orukiv: the bus failed in receive: %r", exc)


class Master(LssMixin):
    """A CANopen master on one python-can bus.

    ``bus`` is any ``can.BusABC``; the master receives through a python-can
    ``Notifier`` and sends through ``bus.send``, and leaves the bus open
    when it closes (the bus belongs to the caller). With ``low_latency`` the
    worker wakes for every received frame and every request instead of
    polling every 5 ms. ``sdo_timeout`` is how long, in seconds, an SDO
    server may stay silent.

    Every method blocks until the worker has carried it out and raises a
    subclass of :class:`orukiv.Error` on failure. Event callbacks run on the
    worker thread: they must return quickly and must not call the master's
    blocking methods (those raise :class:`ParamError` there).
    """

    def __init__(
        self, bus: can.BusABC, *, low_latency: bool = True, sdo_timeout: float = 1.0
    ) -> None:
        if not isinstance(bus, can.BusABC):
            raise TypeError(f"bus must be a can.BusABC, not {type(bus).__name__}")
        if not isinstance(low_latency, bool):
            raise TypeError("low_latency must be a bool")
        timeout_ms = self._timeout_ms(sdo_timeout)
        self._lib = L.library()
        self._sdo_timeout_ms = timeout_ms
        self._bus = bus
        self._rx: "collections.deque[bytes]" = collections.deque()
        self._cv = threading.Condition()
        self._busy = 0
        self._handle: Optional[int] = None
        self._worker_ident: Optional[int] = None
        self._last_send_error: Optional[BaseException] = None
        self._callbacks: Tuple[EventCallback, ...] = ()
        self._streams: Tuple[EventStream, ...] = ()
        self._notifier: Optional[can.Notifier] = None
        self._kept: List[object] = []  # progress and cycle callbacks handed out
        # The ctypes callback objects live as long as this object: the
        # library holds their addresses.
        self._thunks = (
            L.CanRecvFn(self._on_recv),
            L.CanSendFn(self._on_send),
            L.EventFn(self._on_event),
        )
        param = L.InitParam()
        param.canRecv, param.canSend, param.onEvent = self._thunks
        handle = self._lib.KIV_Init(ctypes.byref(param))
        if not handle:
            raise NoResourceError("KIV_Init: the library instance could not be created")
        self._handle = handle
        try:
            self._lib.KIV_SetSDOTimeout(handle, timeout_ms)
            if low_latency:
                flags = L.KIV_TIMING_WAKE_ON_REQUEST | L.KIV_TIMING_DRAIN_RECEIVE
                raise_for(
                    self._lib.KIV_SetWorkerTiming(handle, LOW_LATENCY_PERIOD_US, flags),
                    "KIV_SetWorkerTiming",
                )
            self._notifier = can.Notifier(bus, [_Receiver(self)], timeout=0.05)
        except BaseException:
            self.close()
            raise

    # ---- lifetime ----------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._handle is None

    @property
    def bus(self) -> can.BusABC:
        return self._bus

    def close(self) -> None:
        """Stops receiving, destroys the library instance and ends every
        event stream. Waits for calls in progress on other threads; no
        callback runs once it has returned. Calling it again does nothing."""
        with self._cv:
            handle = self._handle
            if handle is None:
                return
            self._handle = None  # no new call, no more KIV_Notify
            if threading.get_ident() != self._worker_ident:
                self._cv.wait_for(lambda: self._busy == 0)
            streams, self._streams = self._streams, ()
            self._callbacks = ()
        if self._notifier is not None:
            try:
                self._notifier.stop(timeout=2.0)
            except RuntimeError:
                pass  # closed from the notifier's own thread: it ends by itself
        self._lib.KIV_Destroy(handle)
        for stream in streams:
            stream._end()

    def __enter__(self) -> "Master":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if self._handle is not None:
                warnings.warn("orukiv.Master was not closed", ResourceWarning, source=self)
            self.close()
        except Exception:  # interpreter shutdown: nothing left to report to
            pass

    # ---- the library's callbacks (worker thread) ---------------------------

    def _arrived(self, packed: bytes) -> None:
        self._rx.append(packed)
        with self._cv:
            if self._handle is not None:
                self._lib.KIV_Notify(self._handle)

    def _on_recv(self, frames: int, max_count: int, _user: Optional[int]) -> int:
        self._worker_ident = threading.get_ident()
        rx = self._rx
        n = 0
        try:
            while n < max_count and rx:
                ctypes.memmove(frames + n * _FRAME_SIZE, rx.popleft(), _FRAME_SIZE)
                n += 1
        except IndexError:
            pass
        return n

    def _on_send(self, frame: int, _user: Optional[int]) -> int:
        try:
            fid, rtr, dlc, data = _FRAME.unpack(ctypes.string_at(frame, _FRAME_SIZE))
            dlc = min(dlc, 8)
            msg = can.Message(
                arbitration_id=fid,
                is_extended_id=False,
                is_remote_frame=bool(rtr),
                dlc=dlc,
                data=None if rtr else data[:dlc],
            )
            self._bus.send(msg)
            return L.KIV_OK
        except Exception as exc:  # never let an exception reach the worker
            self._last_send_error = exc
            log.error("orukiv: the bus failed to send a frame: %r", exc)
            return L.KIV_ERR_NO_SEND

    def _on_event(self, record: int, _user: Optional[int]) -> None:
        callbacks, streams = self._callbacks, self._streams
        if not callbacks and not streams:
            return
        try:
            event = decode(L.Event.from_address(record))
        except Exception:
            log.exception("orukiv: an event could not be decoded")
            return
        for callback in callbacks:
            try:
                callback(event)
            except Exception:
                log.exception("orukiv: event callback %r raised", callback)
        for stream in streams:  # after the callbacks: a stream's event has been handled
            stream._put(event)

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

    def _call(self, what: str, name: str, *args) -> None:
        handle = self._begin()
        try:
            result = getattr(self._lib, name)(handle, *args)
        finally:
            self._end()
        self._check(result, what)

    def _check(self, result: int, what: str, abort_code: int = 0) -> None:
        if result == L.KIV_OK:
            return
        cause = self._last_send_error if result == L.KIV_ERR_NO_SEND else None
        self._last_send_error = None
        try:
            raise_for(result, what, abort_code)
        except NoSendError as exc:
            raise exc from cause

    # ---- SDO ---------------------------------------------------------------

    @staticmethod
    def _timeout_ms(seconds: float) -> int:
        ms = int(A.seconds(seconds, "sdo_timeout") * 1000 + 0.999)
        return A.integer(max(ms, 1), "sdo_timeout in ms", 1, 0xFFFFFFFF)

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

    _sdo_timeout_ms = 1000

    def read(self, node: int, index: int, sub: int = 0, *, max_size: int = 4096) -> bytes:
        """Reads object ``index``:``sub`` of ``node``; returns its value, cut
        to ``max_size`` bytes (pass at least the largest size expected)."""
        return self._read("KIV_ReadObjectEx", "read", node, index, sub, max_size)

    def read_block(self, node: int, index: int, sub: int = 0, *, max_size: int = 65536) -> bytes:
        """Reads with an SDO block upload (CRC checked); a server that refuses
        block transfer is read as by :meth:`read`."""
        return self._read("KIV_ReadObjectBlock", "block read", node, index, sub, max_size)

    def write(self, node: int, index: int, sub: int, data: Union[bytes, bytearray, memoryview]) -> None:
        """Writes ``data`` (1..4 bytes expedited, more segmented) to object
        ``index``:``sub`` of ``node``."""
        self._write("KIV_WriteObjectEx", "write", node, index, sub, data)

    def write_block(self, node: int, index: int, sub: int, data: Union[bytes, bytearray, memoryview]) -> None:
        """Writes with an SDO block download (CRC); a server that refuses
        block transfer is written as by :meth:`write`."""
        self._write("KIV_WriteObjectBlock", "block write", node, index, sub, data)

    def _read(self, name: str, what: str, node, index, sub, max_size) -> bytes:
        node, index, sub = A.u8(node, "node"), A.u16(index, "index"), A.u8(sub, "sub")
        max_size = A.integer(max_size, "max_size", 1, 0xFFFFFFFF)
        buf = ctypes.create_string_buffer(max_size)
        received, abort = ctypes.c_uint32(0), ctypes.c_uint32(0)
        handle = self._begin()
        try:
            result = getattr(self._lib, name)(
                handle, node, index, sub, ctypes.cast(buf, L._u8p), max_size,
                ctypes.byref(received), ctypes.byref(abort),
            )
        finally:
            self._end()
        if result:
            self._check(result, f"{what} of node {node} 0x{index:04X}:{sub}", abort.value)
        return ctypes.string_at(buf, received.value)

    def _write(self, name: str, what: str, node, index, sub, data) -> None:
        node, index, sub = A.u8(node, "node"), A.u16(index, "index"), A.u8(sub, "sub")
        payload = A.data(data, "data")
        if not payload:
            raise ValueError("data must not be empty")
        abort = ctypes.c_uint32(0)
        handle = self._begin()
        try:
            result = getattr(self._lib, name)(
                handle, node, index, sub, ctypes.cast(ctypes.c_char_p(payload), L._u8p),
                len(payload), ctypes.byref(abort),
            )
        finally:
            self._end()
        if result:
            self._check(result, f"{what} of node {node} 0x{index:04X}:{sub}", abort.value)

    def _setting(self, what: str, name: str, *args) -> None:
        handle = self._begin(queuing=False)
        try:
            result = getattr(self._lib, name)(handle, *args)
        finally:
            self._end()
        self._check(result, what)

    def set_block_transfer(self, block_size: int = 127, switch_threshold: int = 4,
                           frames_per_pass: int = 127) -> None:
        """Block transfer parameters of transfers requested from now on."""
        self._setting("block transfer parameters", "KIV_SetBlockTransfer",
                      A.integer(block_size, "block_size", 1, 127),
                      A.integer(switch_threshold, "switch_threshold", 0, 255),
                      A.integer(frames_per_pass, "frames_per_pass", 1, 0xFFFFFFFF))

    def set_sdo_retry(self, interval_ms: int = 100, max_resends: int = 0xFFFFFFFF) -> None:
        """Re-send an unanswered SDO frame every ``interval_ms``, at most
        ``max_resends`` times (transfers requested from now on)."""
        self._setting("SDO re-send policy", "KIV_SetSdoRetry",
                      A.integer(interval_ms, "interval_ms", 1, 0xFFFFFFFF),
                      A.u32(max_resends, "max_resends"))

    def set_one_transfer_per_node(self, enable: bool) -> None:
        """True: transfers with one node never overlap (as a standard server
        expects)."""
        if not isinstance(enable, bool):
            raise TypeError("enable must be a bool")
        self._setting("one transfer per node", "KIV_SetSdoOneTransferPerNode", int(enable))

    def set_progress_callback(self, callback: Optional[Callable[[int, int, int, int, int], None]]) -> None:
        """Calls ``callback(node, index, sub, done, total)`` on the worker
        thread as segmented and block transfers requested from now on move
        (total 0 when the server gave no size); None stops it. An exception it
        raises is logged."""
        if callback is not None and not callable(callback):
            raise TypeError("callback must be callable or None")
        thunk = None
        if callback is not None:
            def progress(node, index, sub, done, total, _user):
                try:
                    callback(node, index, sub, done, total)
                except Exception:
                    log.exception("orukiv: progress callback %r raised", callback)

            thunk = L.ProgressFn(progress)
            self._kept.append(thunk)  # transfers under way may still call it
        self._setting("progress callback", "KIV_SetTransferProgress", thunk or L.ProgressFn(), None)

    def read_int(self, node: int, index: int, sub: int = 0, *, signed: bool = False) -> int:
        """Reads an integer object (little-endian, its size as answered)."""
        return int.from_bytes(self.read(node, index, sub, max_size=8), "little", signed=signed)

    def write_int(
        self, node: int, index: int, sub: int, value: int, size: int, *, signed: bool = False
    ) -> None:
        """Writes ``value`` as a ``size``-byte little-endian integer."""
        value = A.integer(value, "value", -(1 << 63), (1 << 64) - 1)
        size = A.integer(size, "size", 1, 8)
        try:
            raw = value.to_bytes(size, "little", signed=signed)
        except OverflowError:
            raise ValueError(f"value {value} does not fit {size} bytes") from None
        self.write(node, index, sub, raw)

    # ---- service frames ----------------------------------------------------

    def nmt(self, command: Union[NmtCommand, int], node: int = 0) -> None:
        """Sends an NMT command to ``node`` (0: every node)."""
        command = A.u8(command, "command")
        self._call("NMT command", "KIV_NMT_SendCommand", A.u8(node, "node"), command)

    def send_heartbeat(self, node: int, state: Union[NmtState, int]) -> None:
        """Sends a heartbeat of ``node`` with ``state`` (0: boot-up)."""
        self._call("heartbeat", "KIV_NMT_SendHeartbeat", A.u8(node, "node"), A.u8(state, "state"))

    def send_guard_request(self, node: int) -> None:
        """Sends the node-guarding remote request to ``node``."""
        self._call("guarding request", "KIV_SendNodeGuardRequest", A.u8(node, "node"))

    def sync(self) -> None:
        """Sends one SYNC (id 0x080, no counter)."""
        self._call("SYNC", "KIV_SendSYNC")

    def send_emcy(
        self, node: int, error_code: int, error_register: int = 0,
        manufacturer_data: Optional[bytes] = None,
    ) -> None:
        """Sends an EMCY of ``node``; ``manufacturer_data`` is 5 bytes (zeros
        when left out)."""
        node, code = A.u8(node, "node"), A.u16(error_code, "error_code")
        register = A.u8(error_register, "error_register")
        extra = None
        if manufacturer_data is not None:
            raw = A.data(manufacturer_data, "manufacturer_data")
            if len(raw) != 5:
                raise ValueError("manufacturer_data must be 5 bytes")
            extra = (ctypes.c_uint8 * 5).from_buffer_copy(raw)
        self._call("EMCY", "KIV_SendEMCY", node, code, register, extra)

    def send_pdo(self, cob_id: int, data: Union[bytes, bytearray, memoryview]) -> None:
        """Sends a PDO of 1..8 bytes on ``cob_id``."""
        cob_id = A.u32(cob_id, "cob_id")
        raw = A.data(data, "data")
        if not 1 <= len(raw) <= 8:
            raise ValueError("a PDO carries 1..8 bytes")
        buf = (ctypes.c_uint8 * len(raw)).from_buffer_copy(raw)
        self._call("PDO", "KIV_SendPDO", cob_id, buf, len(raw))

    def request_pdo(self, cob_id: int) -> None:
        """Sends a remote PDO request on ``cob_id``."""
        self._call("remote PDO", "KIV_SendRemotePDO", A.u32(cob_id, "cob_id"))

    def send_time(self, when: Optional[datetime.datetime] = None) -> None:
        """Sends a TIME stamp of ``when`` (default: now, local time)."""
        if when is None:
            when = datetime.datetime.now()
        if not isinstance(when, datetime.datetime):
            raise TypeError("when must be a datetime.datetime")
        self._call(
            "TIME", "KIV_SendTimestamp", when.year, when.month, when.day, when.hour,
            when.minute, when.second, when.microsecond // 1000,
        )

    def input_frame(self, msg: can.Message) -> None:
        """Hands a frame received by other means to the worker."""
        if not isinstance(msg, can.Message):
            raise TypeError("msg must be a can.Message")
        frame = L.CanFrame.from_buffer_copy(_pack(msg))
        self._call("input frame", "KIV_InputFrame", ctypes.byref(frame))

    # ---- remote configuration ---------------------------------------------

    def set_heartbeat_period(self, node: int, period_ms: int) -> None:
        """Writes the producer heartbeat time 0x1017 of ``node`` (0 stops it)."""
        self._call("heartbeat period", "KIV_NMT_SetHeartbeatPeriod", A.u8(node, "node"),
                   A.u16(period_ms, "period_ms"))

    def config_tpdo(self, node: int, tpdo: int, entries: Sequence[Tuple[int, int, int]]) -> None:
        """Maps TPDO ``tpdo`` (1..4) of ``node`` to ``entries``, each
        (index, sub, bit length)."""
        node, tpdo = A.u8(node, "node"), A.u8(tpdo, "tpdo")
        if isinstance(entries, (str, bytes)) or not isinstance(entries, Sequence):
            raise TypeError("entries must be a sequence of (index, sub, bits)")
        count = A.integer(len(entries), "number of entries", 1, 0xFF)
        table = (L.PdoMapEntry * count)()
        for i, entry in enumerate(entries):
            index, sub, bits = entry
            index, sub, bits = A.u16(index, "index"), A.u8(sub, "sub"), A.u8(bits, "bits")
            table[i].bitLengthAndSubIndex = bits | (sub << 8)
            table[i].indexLow, table[i].indexHigh = index & 0xFF, index >> 8
        self._call(f"TPDO {tpdo} mapping of node {node}", "KIV_ConfigTPDO", node, tpdo, table, count)

    # ---- supervision and statistics ---------------------------------------

    def supervise_node(self, node: int, heartbeat_timeout_ms: int) -> None:
        """Consumes ``node``'s heartbeat: lost after ``heartbeat_timeout_ms``
        without one (0 stops supervising)."""
        self._call("supervision", "KIV_SuperviseNode", A.u8(node, "node"),
                   A.u32(heartbeat_timeout_ms, "heartbeat_timeout_ms"))

    def guard_node(self, node: int, guard_time_ms: int, life_time_factor: int) -> None:
        """Guards ``node`` every ``guard_time_ms`` (0 stops guarding)."""
        self._call("guarding", "KIV_GuardNode", A.u8(node, "node"),
                   A.u32(guard_time_ms, "guard_time_ms"),
                   A.u8(life_time_factor, "life_time_factor"))

    def node_status(self, node: int) -> NodeStatus:
        """What the worker knows of ``node`` (never queues)."""
        node = A.u8(node, "node")
        status = L.NodeStatus()
        handle = self._begin(queuing=False)
        try:
            result = self._lib.KIV_GetNodeState(handle, node, ctypes.byref(status))
        finally:
            self._end()
        self._check(result, f"state of node {node}")
        since = None if status.sinceLastMs == 0xFFFFFFFF else status.sinceLastMs
        try:
            state = NmtState(status.state)
        except ValueError:
            state = NmtState.UNKNOWN
        return NodeStatus(state, SupervisionMode(status.mode), bool(status.alive), since)

    def stats(self) -> Stats:
        """The instance's counters (never queues)."""
        raw = L.Stats()
        handle = self._begin(queuing=False)
        try:
            result = self._lib.KIV_GetStats(handle, ctypes.byref(raw))
        finally:
            self._end()
        self._check(result, "statistics")
        return Stats(
            raw.framesReceived, raw.framesSent, raw.sendFailures, raw.fullPolls,
            raw.sdoCompleted, raw.sdoTimeouts, raw.sdoAborts, raw.lastAbortCode,
            raw.lastAbortNode,
        )

    # ---- events ------------------------------------------------------------

    def events(self, maxsize: int = 0) -> EventStream:
        """A stream of the events received from now on (``maxsize`` 0:
        unbounded; a full stream drops and counts)."""
        maxsize = A.integer(maxsize, "maxsize", 0, 1 << 31)
        stream = EventStream(self, maxsize)
        with self._cv:
            if self._handle is None:
                raise ClosedError("this orukiv.Master is closed")
            self._streams = self._streams + (stream,)
        return stream

    def _unsubscribe(self, stream: EventStream) -> None:
        with self._cv:
            self._streams = tuple(s for s in self._streams if s is not stream)

    def add_event_callback(self, callback: EventCallback) -> None:
        """Calls ``callback(event)`` on the worker thread for every event; an
        exception it raises is logged and the worker goes on."""
        if not callable(callback):
            raise TypeError("callback must be callable")
        with self._cv:
            if self._handle is None:
                raise ClosedError("this orukiv.Master is closed")
            self._callbacks = self._callbacks + (callback,)

    def remove_event_callback(self, callback: EventCallback) -> None:
        with self._cv:
            self._callbacks = tuple(c for c in self._callbacks if c != callback)

    # ---- cyclic operation --------------------------------------------------

    def start_cyclic(self, period_us: int, *, counter_overflow: int = 0,
                     on_cycle: Optional[Callable[[int], Sequence[FrameLike]]] = None) -> None:
        """Sends SYNC every ``period_us`` µs (250..1000000) without drift,
        with a counter byte 1..``counter_overflow`` (2..240; 0: none).
        ``on_cycle(cycle)`` runs on the worker right after each SYNC and
        returns the frames to send at once (``can.Message`` or ``(cob_id,
        data)``; at most 16); an exception it raises is logged and sends
        none. Starting again replaces the settings from the next cycle."""
        period_us = A.integer(period_us, "period_us", 250, 1000000)
        counter_overflow = A.u8(counter_overflow, "counter_overflow")
        if on_cycle is not None and not callable(on_cycle):
            raise TypeError("on_cycle must be callable or None")
        thunk = None
        if on_cycle is not None:
            def cycle(number, frames, max_frames, _user):
                try:
                    out = list(on_cycle(number) or ())
                    if len(out) > max_frames:
                        raise ValueError(f"{len(out)} frames, at most {max_frames} per cycle")
                    for i, item in enumerate(out):
                        ctypes.memmove(frames + i * _FRAME_SIZE, _pack(item), _FRAME_SIZE)
                    return len(out)
                except Exception:
                    log.exception("orukiv: cycle callback %r raised", on_cycle)
                    return 0

            thunk = L.CycleFn(cycle)
            self._kept.append(thunk)
        self._setting("cyclic operation", "KIV_StartCyclic", period_us, counter_overflow,
                      thunk or L.CycleFn(), None)

    def stop_cyclic(self) -> None:
        """Stops cyclic operation; no SYNC and no on_cycle after it returns."""
        self._setting("stop of cyclic operation", "KIV_StopCyclic")

    def cyclic_stats(self) -> CyclicStats:
        """The counters of cyclic operation (never queues)."""
        raw = L.CyclicStats()
        self._setting("cyclic statistics", "KIV_GetCyclicStats", ctypes.byref(raw))
        return CyclicStats(raw.cycles, raw.skipped, raw.maxLateUs)

    # ---- configuration download -------------------------------------------

    def configure_node(self, node: int, dcf: "ObjectDictionary", *,
                       continue_on_error: bool = False) -> "ConfigReport":
        """Applies the DCF ``dcf`` to ``node`` (see ObjectDictionary.configure)."""
        from .od import ObjectDictionary

        if not isinstance(dcf, ObjectDictionary):
            raise TypeError("dcf must be an orukiv.ObjectDictionary")
        return dcf.configure(self, A.u8(node, "node"), continue_on_error=continue_on_error)

    def write_concise_dcf(self, node: int, data: bytes, *,
                          continue_on_error: bool = False) -> "ConfigReport":
        """Applies a concise DCF (object 0x1F22's format) to ``node``."""
        from .od import write_concise_dcf

        return write_concise_dcf(self, node, data, continue_on_error=continue_on_error)

    # ---- CiA 402 -----------------------------------------------------------

    def drive(self, node: int) -> "Drive":
        """The CiA 402 drive at ``node``."""
        from .drive import Drive

        return Drive(self, A.u8(node, "node"))
