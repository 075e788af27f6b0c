"""orukiv: a CANopen master over any python-can bus, on the orukiv library.

>>> import can, orukiv
>>> with can.Bus(interface="virtual", channel="x") as bus, orukiv.Master(bus) as master:
...     name = master.read(5, 0x1008).decode()
"""

from ._library import LibraryNotFoundError
from .drive import Drive
from .errors import (
    ClosedError,
    Error,
    NoResourceError,
    NoSendError,
    ParamError,
    SdoAbortedError,
    SdoTimeoutError,
    SendError,
    SdoTooLongError,
    LssError,
    BootError,
    CancelledError,
    AmbiguousError,
    MismatchError,
    abort_text,
)
from .events import (
    BootEvent,
    EmcyEvent,
    Event,
    HeartbeatEvent,
    NmtCommand,
    NmtEvent,
    NmtState,
    NodeGuardEvent,
    NodeStateCause,
    NodeStateEvent,
    PdoEvent,
    SdoEvent,
    SdoEventKind,
    SupervisionMode,
    SyncEvent,
    TimeEvent,
    UnclassifiedEvent,
)
from .lss import (
    BOOT_CONFIGURE,
    BOOT_KEEP_OPERATIONAL,
    BOOT_MANDATORY,
    BOOT_RESET_COMM,
    BOOT_START,
    BootReport,
    LssRefusedError,
)
from .master import CyclicStats, EventStream, Master, NodeStatus, Stats
from .node import NmtError, PdoMap, PdoVariable, Record, RemoteNode, Scanner, Variable
from .od import (
    Access,
    ConfigReport,
    DataType,
    ObjectDictionary,
    OdEntry,
    OdLoadError,
    format_value,
    parse_value,
)

__version__ = "1.0.0"  # the library's version (CMakeLists.txt); the tests hold them equal

def library_version() -> "tuple[int, str]":
    """The loaded library's version: (major * 10000 + minor * 100 + patch, "major.minor.patch")."""
    import ctypes

    from . import _library

    text = ctypes.c_char_p()
    number = int(_library.library().KIV_GetVersion(ctypes.byref(text)))
    return int(number), (text.value or b"").decode()


__all__ = [
    "Access", "BOOT_CONFIGURE", "BOOT_KEEP_OPERATIONAL", "BOOT_MANDATORY", "BOOT_RESET_COMM",
    "BOOT_START", "BootEvent", "BootReport", "ConfigReport", "CyclicStats", "LssRefusedError", "DataType", "ObjectDictionary", "OdEntry", "OdLoadError",
    "format_value", "parse_value",
    "ClosedError", "Drive", "EmcyEvent", "Error", "Event", "EventStream", "HeartbeatEvent",
    "LibraryNotFoundError", "Master", "NmtCommand", "NmtEvent", "NmtState", "NodeGuardEvent",
    "NodeStateCause", "NodeStateEvent", "NodeStatus", "NoResourceError", "NoSendError",
    "ParamError", "PdoEvent", "SdoAbortedError", "SdoEvent", "SdoEventKind",
    "SdoTimeoutError", "SendError", "Stats", "SupervisionMode", "SyncEvent", "TimeEvent",
    "UnclassifiedEvent", "abort_text", "library_version",
    "BootError", "CancelledError", "LssError", "NmtError", "PdoMap", "PdoVariable", "Record",
    "RemoteNode", "Scanner", "SdoTooLongError", "Variable", "AmbiguousError", "MismatchError",
]
