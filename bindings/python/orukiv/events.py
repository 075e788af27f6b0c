"""Events decoded from the library's ``KIV_Event`` records, as small
frozen dataclasses, and the enumerations they carry."""

from __future__ import annotations

import datetime
import enum
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional, Type, TypeVar

from . import _library as L


class NmtCommand(enum.IntEnum):
    START = 0x01
    STOP = 0x02
    PRE_OPERATIONAL = 0x80
    RESET_NODE = 0x81
    RESET_COMM = 0x82
    UNKNOWN = 0xFF


class NmtState(enum.IntEnum):
    BOOTUP = 0
    STOPPED = 4
    OPERATIONAL = 5
    PRE_OPERATIONAL = 127
    UNKNOWN = 255


class NodeStateCause(enum.IntEnum):
    BOOTUP = 0
    STATE_CHANGED = 1
    HEARTBEAT_LOST = 2
    GUARDING_LOST = 3
    BACK = 4


class SdoEventKind(enum.IntEnum):
    READ_REQUEST = 0
    READ_RESPONSE = 1
    WRITE_REQUEST = 2
    WRITE_RESPONSE = 3
    ABORT = 4
    OTHER = 5


class SupervisionMode(enum.IntEnum):
    NONE = 0
    HEARTBEAT = 1
    GUARDING = 2


_E = TypeVar("_E", bound=enum.IntEnum)


def _enum(cls: Type[_E], value: int, fallback: _E) -> _E:
    try:
        return cls(value)
    except ValueError:
        return fallback


@dataclass(frozen=True)
class Event:
    """Base of every event; ``node`` as the library reports it (for SDO
    responses 0x80 + node id)."""

    node: int


@dataclass(frozen=True)
class UnclassifiedEvent(Event):
    """A frame outside every classified range."""


@dataclass(frozen=True)
class NmtEvent(Event):
    command: NmtCommand


@dataclass(frozen=True)
class SyncEvent(Event):
    pass


@dataclass(frozen=True)
class EmcyEvent(Event):
    error_code: int
    error_register: int
    manufacturer_data: bytes


@dataclass(frozen=True)
class HeartbeatEvent(Event):
    state: NmtState


@dataclass(frozen=True)
class NodeStateEvent(Event):
    """A supervised or guarded node changed state, was lost or came back."""

    old_state: NmtState
    new_state: NmtState
    cause: NodeStateCause
    since_last_ms: Optional[int]  # None when there was no earlier valid frame


@dataclass(frozen=True)
class TimeEvent(Event):
    year: int
    month: int
    day: int
    hour: int
    minute: int
    second: int
    millisecond: int

    def to_datetime(self) -> datetime.datetime:
        return datetime.datetime(
            self.year,
            self.month,
            self.day,
            self.hour,
            self.minute,
            self.second,
            self.millisecond * 1000,
        )


@dataclass(frozen=True)
class SdoEvent(Event):
    kind: SdoEventKind
    index: int
    sub: int
    data: bytes


@dataclass(frozen=True)
class PdoEvent(Event):
    """A frame of the PDO range (0x180..0x57F); ``node`` is the node id in
    its COB-ID (its low 7 bits)."""

    cob_id: int
    data: bytes


@dataclass(frozen=True)
class NodeGuardEvent(Event):
    """A node-guarding remote request seen on the bus."""


@dataclass(frozen=True)
class BootEvent(Event):
    """A boot of ``node`` (Master.boot_node) ended; ``status`` is the CiA
    302-2 letter ('' when it booted)."""

    status: str
    nmt_state: NmtState
    result: int
    abort_code: int


def _boot(e: Any) -> Event:
    b = e.body.boot
    return BootEvent(e.node, chr(b.status) if b.status else "",
                     _enum(NmtState, b.nmtState, NmtState.UNKNOWN), b.result, b.abortCode)


def _nmt(e: Any) -> Event:
    return NmtEvent(e.node, _enum(NmtCommand, e.body.nmt.command, NmtCommand.UNKNOWN))


def _emcy(e: Any) -> Event:
    m = e.body.emcy
    return EmcyEvent(e.node, m.errorCode, m.errorRegister, bytes(m.manufacturerData))


def _heartbeat(e: Any) -> Event:
    return HeartbeatEvent(e.node, _enum(NmtState, e.body.heartbeat.state, NmtState.UNKNOWN))


def _node_state(e: Any) -> Event:
    s = e.body.nodeState
    since = None if s.sinceLastMs == 0xFFFFFFFF else s.sinceLastMs
    return NodeStateEvent(
        e.node,
        _enum(NmtState, s.oldState, NmtState.UNKNOWN),
        _enum(NmtState, s.newState, NmtState.UNKNOWN),
        NodeStateCause(s.cause),
        since,
    )


def _time(e: Any) -> Event:
    t = e.body.time
    return TimeEvent(e.node, t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond)


def _sdo(e: Any) -> Event:
    s = e.body.sdo
    return SdoEvent(
        e.node,
        _enum(SdoEventKind, s.sdoKind, SdoEventKind.OTHER),
        s.index,
        s.subIndex,
        bytes(s.sdoData[: min(s.sdoLength, 8)]),
    )


def _frame(e: Any) -> Event:
    f = e.body.frame
    return PdoEvent(f.cobId & 0x7F, f.cobId, bytes(f.frameData[: min(f.frameLength, 8)]))


# KIV_EventType -> decoder
DECODERS: Dict[int, Callable[[L.Event], Event]] = {
    0: lambda e: UnclassifiedEvent(e.node),
    1: _nmt,
    2: lambda e: SyncEvent(e.node),
    3: _emcy,
    4: _heartbeat,
    5: _node_state,
    6: _time,
    7: _sdo,
    8: _frame,
    9: lambda e: NodeGuardEvent(e.node),
    10: _boot,
}


def decode(record: L.Event) -> Event:
    """The dataclass of one ``KIV_Event`` record (an unknown type decodes as
    :class:`UnclassifiedEvent`)."""
    return DECODERS.get(record.type, DECODERS[0])(record)
