"""Finding and loading the orukiv shared library, its records and its exports.

Every record of ``orukiv.h`` that crosses the interface is mirrored here as a
``ctypes.Structure``; its size and field offsets are checked at import against
the values the header asserts, so that a record that drifted from the header
fails loudly instead of corrupting memory. Every export is declared in one
table (``EXPORTS``) with its argument and result types: a new export is one
line there.
"""

from __future__ import annotations

import ctypes
import os
import sys
from ctypes import (
    CFUNCTYPE,
    POINTER,
    Structure,
    Union,
    c_char_p,
    c_int8,
    c_int16,
    c_int32,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

# ---- Result codes ----------------------------------------------------------

KIV_OK = 0
KIV_ERR_PARAM = 1
KIV_ERR_TIMEOUT = 2
KIV_ERR_NO_RESOURCE = 3
KIV_ERR_ABORTED = 4
KIV_ERR_NO_SEND = 6

KIV_TIMING_WAKE_ON_REQUEST = 0x1
KIV_TIMING_DRAIN_RECEIVE = 0x2

# ---- Records ---------------------------------------------------------------


class CanFrame(Structure):
    _fields_ = [
        ("id", c_uint32),
        ("reserved0", c_uint8 * 6),
        ("rtr", c_uint8),
        ("reserved1", c_uint8),
        ("dlc", c_uint8),
        ("reserved2", c_uint8 * 3),
        ("data", c_uint8 * 8),
    ]


class FdFrame(Structure):
    _fields_ = [
        ("id", c_uint32),
        ("reserved0", c_uint8 * 8),
        ("len", c_uint8),
        ("reserved1", c_uint8 * 3),
        ("data", c_uint8 * 64),
    ]


class _Nmt(Structure):
    _fields_ = [("command", c_uint32)]


class _Emcy(Structure):
    _fields_ = [
        ("errorCode", c_uint16),
        ("errorRegister", c_uint8),
        ("manufacturerData", c_uint8 * 5),
    ]


class _Heartbeat(Structure):
    _fields_ = [("state", c_uint32)]


class _Time(Structure):
    _fields_ = [
        ("year", c_uint16),
        ("month", c_uint8),
        ("day", c_uint8),
        ("hour", c_uint8),
        ("minute", c_uint8),
        ("second", c_uint8),
        ("reserved", c_uint8),
        ("millisecond", c_uint32),
    ]


class _Sdo(Structure):
    _fields_ = [
        ("sdoKind", c_uint32),
        ("index", c_uint16),
        ("subIndex", c_uint8),
        ("sdoData", c_uint8 * 8),
        ("sdoLength", c_uint8),
    ]


class _Frame(Structure):
    _fields_ = [
        ("cobId", c_uint32),
        ("frameData", c_uint8 * 8),
        ("frameLength", c_uint8),
    ]


class _NodeState(Structure):
    _fields_ = [
        ("oldState", c_uint8),
        ("newState", c_uint8),
        ("cause", c_uint8),
        ("reserved", c_uint8),
        ("sinceLastMs", c_uint32),
    ]


class _Boot(Structure):
    _fields_ = [
        ("status", c_uint8),
        ("nmtState", c_uint8),
        ("reserved", c_uint8 * 2),
        ("result", c_int32),
        ("abortCode", c_uint32),
    ]


class _EventBody(Union):
    _fields_ = [
        ("nmt", _Nmt),
        ("boot", _Boot),
        ("emcy", _Emcy),
        ("heartbeat", _Heartbeat),
        ("time", _Time),
        ("sdo", _Sdo),
        ("frame", _Frame),
        ("nodeState", _NodeState),
        ("raw", c_uint8 * 80),
    ]


class Event(Structure):
    _fields_ = [
        ("type", c_uint32),
        ("node", c_uint8),
        ("reserved", c_uint8 * 3),
        ("body", _EventBody),
    ]


class PdoMapEntry(Structure):
    _fields_ = [
        ("bitLengthAndSubIndex", c_uint16),
        ("indexLow", c_uint8),
        ("indexHigh", c_uint8),
    ]


class NodeStatus(Structure):
    _fields_ = [
        ("state", c_uint8),
        ("mode", c_uint8),
        ("alive", c_uint8),
        ("reserved", c_uint8),
        ("sinceLastMs", c_uint32),
    ]


class Stats(Structure):
    _fields_ = [
        ("framesReceived", c_uint64),
        ("framesSent", c_uint64),
        ("sendFailures", c_uint64),
        ("fullPolls", c_uint64),
        ("sdoCompleted", c_uint64),
        ("sdoTimeouts", c_uint64),
        ("sdoAborts", c_uint64),
        ("lastAbortCode", c_uint32),
        ("lastAbortNode", c_uint8),
        ("reserved", c_uint8 * 3),
    ]


# The callbacks take their record pointers as plain addresses (c_void_p):
# the same in the C calling convention, and cheaper to handle than ctypes
# pointer objects on every worker pass.
CanRecvFn = CFUNCTYPE(c_int32, c_void_p, c_uint32, c_void_p)
CanSendFn = CFUNCTYPE(c_int32, c_void_p, c_void_p)
FdRecvFn = CFUNCTYPE(c_int32, c_void_p, c_uint32, c_void_p)
FdSendFn = CFUNCTYPE(c_int32, c_void_p, c_void_p)
EventFn = CFUNCTYPE(None, c_void_p, c_void_p)


class BootParam(Structure):
    _fields_ = [
        ("flags", c_uint32),
        ("deviceType", c_uint32),
        ("vendorId", c_uint32),
        ("productCode", c_uint32),
        ("revision", c_uint32),
        ("serial", c_uint32),
        ("bootTimeMs", c_uint32),
        ("heartbeatMs", c_uint32),
        ("guardTimeMs", c_uint32),
        ("lifeTimeFactor", c_uint8),
        ("reserved", c_uint8 * 3),
        ("dcf", c_void_p),
        ("conciseDcf", c_void_p),
        ("conciseDcfSize", c_uint32),
        ("reserved2", c_uint32),
    ]


class BootReport(Structure):
    _fields_ = [
        ("status", c_uint8),
        ("step", c_uint8),
        ("nmtState", c_uint8),
        ("subIndex", c_uint8),
        ("index", c_uint16),
        ("reserved", c_uint16),
        ("result", c_int32),
        ("abortCode", c_uint32),
        ("expected", c_uint32),
        ("actual", c_uint32),
        ("elapsedMs", c_uint32),
        ("reserved2", c_uint32),
    ]


class CyclicStats(Structure):
    _fields_ = [
        ("cycles", c_uint64),
        ("skipped", c_uint64),
        ("maxLateUs", c_uint32),
        ("reserved", c_uint32),
    ]


# (cycle, frames, maxFrames, user) -> frame count
CycleFn = CFUNCTYPE(c_int32, c_uint64, c_void_p, c_uint32, c_void_p)
# (node, index, subIndex, done, total, user)
ProgressFn = CFUNCTYPE(None, c_uint8, c_uint16, c_uint8, c_uint32, c_uint32, c_void_p)


class InitParam(Structure):
    _fields_ = [
        ("canRecv", CanRecvFn),
        ("canSend", CanSendFn),
        ("fdRecv", FdRecvFn),
        ("fdSend", FdSendFn),
        ("onEvent", EventFn),
        ("userData", c_void_p),
    ]


# ---- Records of orukiv_od.h ------------------------------------------------


class OdError(Structure):
    _fields_ = [("line", c_uint32), ("message", ctypes.c_char * 252)]


class OdEntry(Structure):
    _fields_ = [
        ("index", c_uint16),
        ("subIndex", c_uint8),
        ("objectType", c_uint8),
        ("dataType", c_uint16),
        ("access", c_uint8),
        ("pdoMappable", c_uint8),
        ("flags", c_uint32),
        ("fileDataType", c_uint16),
        ("reserved", c_uint16),
        ("line", c_uint32),
        ("defaultSize", c_uint32),
        ("valueSize", c_uint32),
        ("lowSize", c_uint32),
        ("highSize", c_uint32),
        ("reserved2", c_uint32),
        ("name", c_char_p),
        ("parentName", c_char_p),
        ("defaultValue", c_void_p),
        ("value", c_void_p),
        ("lowLimit", c_void_p),
        ("highLimit", c_void_p),
        ("defaultText", c_char_p),
        ("valueText", c_char_p),
    ]


class ConfigReport(Structure):
    _fields_ = [
        ("flags", c_uint32),
        ("written", c_uint32),
        ("failed", c_uint32),
        ("skipped", c_uint32),
        ("failedIndex", c_uint16),
        ("failedSubIndex", c_uint8),
        ("reserved", c_uint8),
        ("failedResult", c_int32),
        ("abortCode", c_uint32),
        ("steps", c_uint32),
    ]


KIV_CONFIG_CONTINUE = 0x1

# The sizes and offsets that orukiv.h and orukiv_od.h assert (its layout checks), by record:
# (record, size, {field path: offset}). A dotted path goes into nested records.
LAYOUT: Sequence[Tuple[type, int, Dict[str, int]]] = (
    (CanFrame, 24, {"id": 0, "rtr": 10, "dlc": 12, "data": 16}),
    (FdFrame, 80, {"len": 12, "data": 16}),
    (
        Event,
        88,
        {
            "node": 4,
            "body": 8,
            "body.nmt.command": 8,
            "body.emcy.errorCode": 8,
            "body.emcy.errorRegister": 10,
            "body.emcy.manufacturerData": 11,
            "body.heartbeat.state": 8,
            "body.time.year": 8,
            "body.time.month": 10,
            "body.time.second": 14,
            "body.time.millisecond": 16,
            "body.sdo.sdoKind": 8,
            "body.sdo.index": 12,
            "body.sdo.subIndex": 14,
            "body.sdo.sdoData": 15,
            "body.sdo.sdoLength": 23,
            "body.frame.cobId": 8,
            "body.frame.frameData": 12,
            "body.frame.frameLength": 20,
            "body.nodeState.oldState": 8,
            "body.nodeState.newState": 9,
            "body.nodeState.cause": 10,
            "body.nodeState.sinceLastMs": 12,
            "body.boot.status": 8,
            "body.boot.nmtState": 9,
            "body.boot.result": 12,
            "body.boot.abortCode": 16,
        },
    ),
    (NodeStatus, 8, {"mode": 1, "alive": 2, "sinceLastMs": 4}),
    (
        Stats,
        64,
        {
            "framesSent": 8,
            "sendFailures": 16,
            "fullPolls": 24,
            "sdoCompleted": 32,
            "sdoTimeouts": 40,
            "sdoAborts": 48,
            "lastAbortCode": 56,
            "lastAbortNode": 60,
        },
    ),
    (PdoMapEntry, 4, {"indexLow": 2, "indexHigh": 3}),
    (BootReport, 32, {"index": 4, "result": 8, "abortCode": 12, "elapsedMs": 24}),
    (
        BootParam,
        64,
        {"bootTimeMs": 24, "lifeTimeFactor": 36, "dcf": 40, "conciseDcfSize": 56},
    ),
    (CyclicStats, 24, {"skipped": 8, "maxLateUs": 16, "reserved": 20}),
    (OdError, 256, {"message": 4}),
    (
        OdEntry,
        104,
        {
            "subIndex": 2, "objectType": 3, "dataType": 4, "access": 6, "pdoMappable": 7,
            "flags": 8, "fileDataType": 12, "line": 16, "defaultSize": 20, "valueSize": 24,
            "lowSize": 28, "highSize": 32, "name": 40, "parentName": 48, "defaultValue": 56,
            "value": 64, "lowLimit": 72, "highLimit": 80, "defaultText": 88, "valueText": 96,
        },
    ),
    (
        ConfigReport,
        32,
        {
            "written": 4, "failed": 8, "skipped": 12, "failedIndex": 16, "failedSubIndex": 18,
            "failedResult": 20, "abortCode": 24, "steps": 28,
        },
    ),
    (
        InitParam,
        48,
        {"canSend": 8, "fdRecv": 16, "fdSend": 24, "onEvent": 32, "userData": 40},
    ),
)


def field_offset(record: type, path: str) -> int:
    """Offset in bytes of a (dotted) field path within a record type."""
    offset = 0
    for name in path.split("."):
        field = getattr(record, name)
        offset += field.offset
        record = dict(record._fields_)[name]
    return offset


def check_layouts(layout=LAYOUT) -> None:
    """Raises ImportError naming every record whose layout differs."""
    wrong: List[str] = []
    for record, size, offsets in layout:
        if ctypes.sizeof(record) != size:
            wrong.append(f"{record.__name__}: size {ctypes.sizeof(record)}, expected {size}")
        for path, expected in offsets.items():
            got = field_offset(record, path)
            if got != expected:
                wrong.append(f"{record.__name__}.{path}: offset {got}, expected {expected}")
    if wrong:
        raise ImportError("orukiv records do not match orukiv.h: " + "; ".join(wrong))


if ctypes.sizeof(c_void_p) != 8:
    raise ImportError("orukiv needs a 64-bit Python (its records are laid out for 64-bit)")
check_layouts()

# ---- Exports ---------------------------------------------------------------

_H = c_void_p  # KIV_Handle
_u8p = POINTER(c_uint8)

# name: (result type, argument types). Every export of orukiv.h is here.
EXPORTS: Dict[str, Tuple[object, List[object]]] = {
    "KIV_Init": (c_void_p, [POINTER(InitParam)]),
    "KIV_Destroy": (c_int32, [_H]),
    "KIV_InputFrame": (c_int32, [_H, POINTER(CanFrame)]),
    "KIV_SetWorkerTiming": (c_int32, [_H, c_uint32, c_uint32]),
    "KIV_Notify": (c_int32, [_H]),
    "KIV_NMT_SendCommand": (c_int32, [_H, c_uint8, c_int32]),
    "KIV_NMT_SendHeartbeat": (c_int32, [_H, c_uint8, c_int32]),
    "KIV_SendNodeGuardRequest": (c_int32, [_H, c_uint8]),
    "KIV_SendSYNC": (c_int32, [_H]),
    "KIV_SendEMCY": (c_int32, [_H, c_uint8, c_uint16, c_uint8, _u8p]),
    "KIV_SendPDO": (c_int32, [_H, c_uint32, _u8p, c_uint8]),
    "KIV_SendRemotePDO": (c_int32, [_H, c_uint32]),
    "KIV_SendTimestamp": (
        c_int32,
        [_H, c_uint16, c_uint8, c_uint8, c_uint8, c_uint8, c_uint8, c_uint32],
    ),
    "KIV_ReadObject": (
        c_int32,
        [_H, c_uint8, c_uint16, c_uint8, _u8p, c_uint32, POINTER(c_uint32)],
    ),
    "KIV_WriteObject": (c_int32, [_H, c_uint8, c_uint16, c_uint8, _u8p, c_uint32]),
    "KIV_ReadObjectEx": (
        c_int32,
        [_H, c_uint8, c_uint16, c_uint8, _u8p, c_uint32, POINTER(c_uint32), POINTER(c_uint32)],
    ),
    "KIV_WriteObjectEx": (
        c_int32,
        [_H, c_uint8, c_uint16, c_uint8, _u8p, c_uint32, POINTER(c_uint32)],
    ),
    "KIV_SdoAbortText": (c_char_p, [c_uint32]),
    "KIV_GetVersion": (c_uint32, [POINTER(c_char_p)]),
    "KIV_SetSDOTimeout": (c_int32, [_H, c_uint32]),
    "KIV_NMT_SetHeartbeatPeriod": (c_int32, [_H, c_uint8, c_uint16]),
    "KIV_ConfigTPDO": (c_int32, [_H, c_uint8, c_uint8, POINTER(PdoMapEntry), c_uint8]),
    "KIV_SuperviseNode": (c_int32, [_H, c_uint8, c_uint32]),
    "KIV_GuardNode": (c_int32, [_H, c_uint8, c_uint32, c_uint8]),
    "KIV_GetNodeState": (c_int32, [_H, c_uint8, POINTER(NodeStatus)]),
    "KIV_GetStats": (c_int32, [_H, POINTER(Stats)]),
    "KIV_402_SetControlWord": (c_int32, [_H, c_uint8, c_uint16]),
    "KIV_402_GetStatusWord": (c_int32, [_H, c_uint8, POINTER(c_uint16)]),
    "KIV_402_SetOpMode": (c_int32, [_H, c_uint8, c_int32]),
    "KIV_402_GetOpMode": (c_int32, [_H, c_uint8, POINTER(c_int32)]),
    "KIV_402_SetTargetPos": (c_int32, [_H, c_uint8, c_int32]),
    "KIV_402_GetActualPos": (c_int32, [_H, c_uint8, POINTER(c_int32)]),
    "KIV_402_SetTargetVel": (c_int32, [_H, c_uint8, c_int32]),
    "KIV_402_GetActualVel": (c_int32, [_H, c_uint8, POINTER(c_int32)]),
    "KIV_402_SetTargetTorque": (c_int32, [_H, c_uint8, c_int16]),
    "KIV_402_GetActualTorque": (c_int32, [_H, c_uint8, POINTER(c_int16)]),
    "KIV_402_SetHomingMode": (c_int32, [_H, c_uint8, c_int8]),
    "KIV_402_FaultReset": (c_int32, [_H, c_uint8]),
    "KIV_402_PowerOn": (c_int32, [_H, c_uint8]),
    "KIV_SetSdoRetry": (c_int32, [_H, c_uint32, c_uint32]),
    "KIV_SetSdoOneTransferPerNode": (c_int32, [_H, c_uint32]),
    "KIV_ReadObjectBlock": (
        c_int32,
        [_H, c_uint8, c_uint16, c_uint8, _u8p, c_uint32, POINTER(c_uint32), POINTER(c_uint32)],
    ),
    "KIV_WriteObjectBlock": (
        c_int32,
        [_H, c_uint8, c_uint16, c_uint8, _u8p, c_uint32, POINTER(c_uint32)],
    ),
    "KIV_SetBlockTransfer": (c_int32, [_H, c_uint32, c_uint32, c_uint32]),
    "KIV_SetTransferProgress": (c_int32, [_H, ProgressFn, c_void_p]),
    "KIV_StartCyclic": (c_int32, [_H, c_uint32, c_uint8, CycleFn, c_void_p]),
    "KIV_StopCyclic": (c_int32, [_H]),
    "KIV_GetCyclicStats": (c_int32, [_H, POINTER(CyclicStats)]),
    "KIV_LSS_SwitchGlobal": (c_int32, [_H, c_uint8]),
    "KIV_LSS_SwitchSelective": (c_int32, [_H, c_uint32, c_uint32, c_uint32, c_uint32]),
    "KIV_LSS_ConfigureNodeId": (c_int32, [_H, c_uint8, _u8p]),
    "KIV_LSS_ConfigureBitTiming": (c_int32, [_H, c_uint8, c_uint8, _u8p]),
    "KIV_LSS_ActivateBitTiming": (c_int32, [_H, c_uint16]),
    "KIV_LSS_StoreConfiguration": (c_int32, [_H, _u8p]),
    "KIV_LSS_InquireIdentity": (c_int32, [_H, POINTER(c_uint32)]),
    "KIV_LSS_InquireNodeId": (c_int32, [_H, _u8p]),
    "KIV_LSS_IdentifyNonConfigured": (c_int32, [_H, c_uint32]),
    "KIV_LSS_Fastscan": (c_int32, [_H, c_uint32, POINTER(c_uint32)]),
    "KIV_LSS_SetTimeout": (c_int32, [_H, c_uint32]),
    "KIV_BootNode": (c_int32, [_H, c_uint8, POINTER(BootParam), POINTER(BootReport)]),
    # orukiv_od.h
    "KIV_OdLoadFile": (c_void_p, [c_char_p, c_uint8, POINTER(OdError)]),
    "KIV_OdLoadText": (c_void_p, [c_char_p, c_uint32, c_uint8, POINTER(OdError)]),
    "KIV_OdFree": (None, [c_void_p]),
    "KIV_OdCount": (c_uint32, [c_void_p]),
    "KIV_OdEntryAt": (c_int32, [c_void_p, c_uint32, POINTER(OdEntry)]),
    "KIV_OdFind": (c_int32, [c_void_p, c_uint16, c_uint8, POINTER(OdEntry)]),
    "KIV_OdFindName": (c_int32, [c_void_p, c_char_p, POINTER(OdEntry)]),
    "KIV_OdFormatValue": (c_int32, [c_uint16, _u8p, c_uint32, c_char_p, c_uint32]),
    "KIV_OdParseValue": (c_int32, [c_uint16, c_char_p, _u8p, c_uint32, POINTER(c_uint32)]),
    "KIV_ConfigureNode": (c_int32, [_H, c_uint8, c_void_p, POINTER(ConfigReport)]),
    "KIV_OdToConciseDcf": (c_int32, [c_void_p, _u8p, c_uint32, POINTER(c_uint32)]),
    "KIV_WriteConciseDcf": (c_int32, [_H, c_uint8, _u8p, c_uint32, POINTER(ConfigReport)]),
}

# ---- Finding the library ---------------------------------------------------

PACKAGE_DIR = Path(__file__).resolve().parent

if sys.platform == "win32":
    LIBRARY_NAMES = ("orukiv.dll",)
elif sys.platform == "darwin":
    LIBRARY_NAMES = ("liborukiv.dylib",)
else:
    LIBRARY_NAMES = ("liborukiv.so", "liborukiv.so.1")


class Error(Exception):
    """Base of every error this package raises. ``result`` is the C
    interface's result code (``None`` for errors raised before any call)."""

    result: Optional[int] = None
    meaning = ""

    def __init__(self, message: str, result: Optional[int] = None) -> None:
        super().__init__(message)
        if result is not None:
            self.result = result


class LibraryNotFoundError(Error, OSError):
    """The orukiv shared library could not be found or loaded; the message
    names every place that was tried."""


def candidates(env: Optional[Dict[str, str]] = None) -> List[str]:
    """Where the library is looked for, in order: $ORUKIV_LIBRARY, the
    package's folder, the folder that holds the package, then the bare names
    for the system's search path."""
    env = os.environ if env is None else env
    found: List[str] = []
    explicit = env.get("ORUKIV_LIBRARY")
    if explicit:
        found.append(explicit)
    for folder in (PACKAGE_DIR, PACKAGE_DIR.parent):
        found.extend(str(folder / name) for name in LIBRARY_NAMES)
    found.extend(LIBRARY_NAMES)
    return found


def load(paths: Optional[Sequence[str]] = None) -> ctypes.CDLL:
    """Loads the first library of ``paths`` (default: ``candidates()``) and
    declares every export of ``EXPORTS`` on it."""
    tried: List[str] = []
    for path in candidates() if paths is None else paths:
        is_file = os.sep in path or "/" in path
        if is_file and not os.path.exists(path):
            tried.append(f"{path} (no such file)")
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError as exc:
            tried.append(f"{path} ({exc})")
            continue
        return declare(lib, path)
    raise LibraryNotFoundError(
        "the orukiv library was not found; set ORUKIV_LIBRARY to its path. Tried: "
        + "; ".join(tried)
    )


def declare(lib: ctypes.CDLL, path: str = "") -> ctypes.CDLL:
    missing = []
    for name, (restype, argtypes) in EXPORTS.items():
        try:
            fn = getattr(lib, name)
        except AttributeError:
            missing.append(name)
            continue
        fn.restype = restype
        fn.argtypes = argtypes
    if missing:
        raise LibraryNotFoundError(
            f"{path or lib} is not an orukiv library this package can use: "
            f"it lacks {', '.join(missing)}"
        )
    return lib


_lib: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """The loaded library (loaded at the first call)."""
    global _lib
    if _lib is None:
        _lib = load()
    return _lib
