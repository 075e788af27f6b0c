"""The master: one library instance over one python-can bus."""

from __future__ import annotations

import ctypes
import datetime
import logging
import os
import queue
import threading
import time
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, Optional, Sequence, Tuple, Union

from can.bus import BusABC
from can.message import Message
from can.notifier import Notifier

from . import _args as A
from . import _library as L
from ._core import FRAME_SIZE, LOW_LATENCY_PERIOD_US, FrameLike, pack
from ._core import checked_cob_id as _cob
from .drive import Drive
from .errors import ClosedError
from .events import Event, NmtState, SupervisionMode, decode
from .lss import LssMixin
from .node import RemoteNode, Scanner
from .od import ConfigReport, ObjectDictionary, write_concise_dcf

__all__ = ["CyclicStats", "EventStream", "LOW_LATENCY_PERIOD_US", "Master", "NodeStatus", "Stats"]

log = logging.getLogger("orukiv")

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

    def __exit__(self, *exc: object) -> None:
        self.close()


class Master(LssMixin):
    """A CANopen master on one python-can bus.

    ``bus`` is any ``BusABC``. The master is a python-can ``Listener``:
    with ``notifier`` (a ``Notifier`` on ``bus``, such as one another
    CANopen stack already runs) it adds itself to it and never calls
    ``bus.recv()``, so that both share the bus; without, it makes a notifier
    of its own. Received frames go straight to the library as they arrive;
    frames go out through ``bus.send``. The master leaves the bus (and a
    notifier it was given) running when it closes. ``low_latency`` (the
    default) paces time-outs and re-sends every 10 ms instead of 5 ms; frames
    and requests wake the worker at once in both. ``sdo_timeout`` is how long,
    in seconds, an SDO server may stay silent.

    Every method blocks until the worker has carried it out and raises a
    subclass of :class:`orukiv.Error` on failure. Event callbacks run on the
    worker thread: they must return quickly and must not call the master's
    blocking methods (those raise :class:`ParamError` there).
    """

    def __init__(
        self, bus: BusABC, *, notifier: Optional[Notifier] = None,
        low_latency: bool = True, sdo_timeout: float = 1.0,
    ) -> None:
        self._callbacks: Tuple[EventCallback, ...] = ()
        self._streams: Tuple[EventStream, ...] = ()
        self._nodes: Dict[int, RemoteNode] = {}
        super().__init__(bus, notifier=notifier, low_latency=low_latency,
                         sdo_timeout=sdo_timeout)
        self.scanner = Scanner(self)

    def _closed_hook(self) -> None:
        with self._cv:
            streams, self._streams = self._streams, ()
            self._callbacks = ()
        for stream in streams:
            stream._end()

    def __enter__(self) -> "Master":
        return self

    def __del__(self) -> None:
        try:
            if self._handle is not None:
                warnings.warn("orukiv.Master was not closed", ResourceWarning, source=self)
            self.close()
        except Exception:  # interpreter shutdown: nothing left to report to
            pass

    def _on_event(self, record: int, _user: Optional[int]) -> None:
        self._worker_ident = threading.get_ident()
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

    # ---- nodes -------------------------------------------------------------

    def add_node(self, node: Union[int, RemoteNode],
                 object_dictionary: Union[None, str, "os.PathLike[str]", ObjectDictionary] = None,
                 ) -> RemoteNode:
        """The node ``node`` (1..127), described by ``object_dictionary`` (an
        EDS/DCF path, an ObjectDictionary, or None for access by index only).
        Its NMT state follows its heartbeats and boot-ups from now on."""
        if isinstance(node, RemoteNode):
            remote = node
        else:
            remote = RemoteNode(A.integer(node, "node", 1, 127), object_dictionary)
        with self._cv:
            if self._handle is None:
                raise ClosedError("this orukiv.Master is closed")
        old = self._nodes.get(remote.id)
        if old is not None and old is not remote:
            old.disassociate()
        self._nodes[remote.id] = remote
        remote.associate(self)
        return remote

    @property
    def nodes(self) -> Dict[int, RemoteNode]:
        """The nodes added, by id."""
        return dict(self._nodes)

    def __getitem__(self, node: int) -> RemoteNode:
        return self._nodes[node]

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
        thunk: Optional[Any] = None
        if callback is not None:
            report = callback
            failed = [False]

            def progress(node: int, index: int, sub: int, done: int, total: int,
                         _user: Optional[int]) -> None:
                try:
                    report(node, index, sub, done, total)
                except Exception:
                    if not failed[0]:  # once, not once per segment
                        failed[0] = True
                        log.exception("orukiv: progress callback %r raised (logged once)",
                                      callback)

            thunk = L.ProgressFn(progress)
            self._kept.append(thunk)  # transfers under way may still call it
        self._setting("progress callback", "KIV_SetTransferProgress",
                      thunk if thunk is not None else L.ProgressFn(0), None)

    def read_int(self, node: int, index: int, sub: int = 0, *, signed: bool = False) -> int:
        """Reads an integer object (little-endian, its size as answered, at
        most 8 bytes: a longer object raises SdoTooLongError)."""
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

    def request_pdo(self, cob_id: int, *, extended: bool = False) -> None:
        """Sends a remote PDO request on ``cob_id`` (ids as for send_pdo)."""
        self._call("remote PDO", "KIV_SendRemotePDO", _cob(cob_id, extended))

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

    def input_frame(self, msg: Message) -> None:
        """Hands a frame received by other means to the worker."""
        if not isinstance(msg, Message):
            raise TypeError("msg must be a Message")
        frame = L.CanFrame.from_buffer_copy(pack(msg))
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
        returns the frames to send at once (``Message`` or ``(cob_id,
        data)``; at most 16); an exception it raises is logged and sends
        none. Starting again replaces the settings from the next cycle."""
        period_us = A.integer(period_us, "period_us", 250, 1000000)
        counter_overflow = A.u8(counter_overflow, "counter_overflow")
        if on_cycle is not None and not callable(on_cycle):
            raise TypeError("on_cycle must be callable or None")
        thunk: Optional[Any] = None
        if on_cycle is not None:
            make = on_cycle

            def cycle(number: int, frames: int, max_frames: int, _user: Optional[int]) -> int:
                try:
                    out = list(make(number) or ())
                    if len(out) > max_frames:
                        raise ValueError(f"{len(out)} frames, at most {max_frames} per cycle")
                    for i, item in enumerate(out):
                        ctypes.memmove(frames + i * FRAME_SIZE, pack(item), FRAME_SIZE)
                    return len(out)
                except Exception:
                    log.exception("orukiv: cycle callback %r raised", on_cycle)
                    return 0

            thunk = L.CycleFn(cycle)
            self._kept.append(thunk)
        self._setting("cyclic operation", "KIV_StartCyclic", period_us, counter_overflow,
                      thunk if thunk is not None else L.CycleFn(0), None)

    def stop_cyclic(self) -> None:
        """Stops cyclic operation; no SYNC and no on_cycle after it returns."""
        self._setting("stop of cyclic operation", "KIV_StopCyclic")

    def cyclic_stats(self) -> CyclicStats:
        """The counters of cyclic operation (never queues)."""
        raw = L.CyclicStats()
        self._setting("cyclic statistics", "KIV_GetCyclicStats", ctypes.byref(raw))
        return CyclicStats(raw.cycles, raw.skipped, raw.maxLateUs)

    # ---- configuration download -------------------------------------------

    def configure_node(self, node: int, dcf: ObjectDictionary, *,
                       continue_on_error: bool = False) -> ConfigReport:
        """Applies the DCF ``dcf`` to ``node`` (see ObjectDictionary.configure)."""
        if not isinstance(dcf, ObjectDictionary):
            raise TypeError("dcf must be an orukiv.ObjectDictionary")
        return dcf.configure(self, A.u8(node, "node"), continue_on_error=continue_on_error)

    def write_concise_dcf(self, node: int, data: bytes, *,
                          continue_on_error: bool = False) -> ConfigReport:
        """Applies a concise DCF (object 0x1F22's format) to ``node``."""
        return write_concise_dcf(self, node, data, continue_on_error=continue_on_error)

    # ---- CiA 402 -----------------------------------------------------------

    def drive(self, node: int) -> Drive:
        """The CiA 402 drive at ``node``."""
        return Drive(self, A.u8(node, "node"))
