"""Object dictionaries from EDS and DCF files, typed values, and
configuration download (``orukiv_od.h``)."""

from __future__ import annotations

import ctypes
import enum
import os
import struct
import threading
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, Optional, Tuple, Union

from . import _args as A
from . import _library as L
from ._core import Core
from .errors import ClosedError, Error

Key = Union[str, Tuple[int, int], int]
Value = Union[int, float, bool, str, bytes]


class DataType(enum.IntEnum):
    BOOLEAN = 0x01
    INTEGER8 = 0x02
    INTEGER16 = 0x03
    INTEGER32 = 0x04
    UNSIGNED8 = 0x05
    UNSIGNED16 = 0x06
    UNSIGNED32 = 0x07
    REAL32 = 0x08
    VISIBLE_STRING = 0x09
    OCTET_STRING = 0x0A
    UNICODE_STRING = 0x0B
    TIME_OF_DAY = 0x0C
    TIME_DIFFERENCE = 0x0D
    DOMAIN = 0x0F
    INTEGER24 = 0x10
    REAL64 = 0x11
    INTEGER40 = 0x12
    INTEGER48 = 0x13
    INTEGER56 = 0x14
    INTEGER64 = 0x15
    UNSIGNED24 = 0x16
    UNSIGNED40 = 0x18
    UNSIGNED48 = 0x19
    UNSIGNED56 = 0x1A
    UNSIGNED64 = 0x1B


class Access(enum.IntEnum):
    NONE = 0
    RO = 1
    WO = 2
    RW = 3
    RWR = 4
    RWW = 5
    CONST = 6


T = DataType
# Integer types: (size in bytes, signed)
INTEGERS: Dict[int, Tuple[int, bool]] = {
    T.INTEGER8: (1, True), T.INTEGER16: (2, True), T.INTEGER24: (3, True),
    T.INTEGER32: (4, True), T.INTEGER40: (5, True), T.INTEGER48: (6, True),
    T.INTEGER56: (7, True), T.INTEGER64: (8, True), T.UNSIGNED8: (1, False),
    T.UNSIGNED16: (2, False), T.UNSIGNED24: (3, False), T.UNSIGNED32: (4, False),
    T.UNSIGNED40: (5, False), T.UNSIGNED48: (6, False), T.UNSIGNED56: (7, False),
    T.UNSIGNED64: (8, False),
}
REALS: Dict[int, struct.Struct] = {T.REAL32: struct.Struct("<f"), T.REAL64: struct.Struct("<d")}
FIXED_SIZES: Dict[int, int] = {**{t: size for t, (size, _) in INTEGERS.items()}, T.BOOLEAN: 1,
               T.REAL32: 4, T.REAL64: 8, T.TIME_OF_DAY: 6, T.TIME_DIFFERENCE: 6}


class OdLoadError(Error):
    """A dictionary could not be loaded; ``line`` is the 1-based line of the
    fault (0 when it is not at a line)."""

    def __init__(self, message: str, line: int) -> None:
        super().__init__(message)
        self.line = line


def format_value(data_type: int, data: bytes) -> str:
    """The text of ``data`` in ``data_type``'s encoding, as the library writes it."""
    data_type, raw = A.u16(data_type, "data_type"), A.data(data, "data")
    capacity = 2 * len(raw) * 3 + 64
    text = ctypes.create_string_buffer(capacity)
    buf = (ctypes.c_uint8 * max(len(raw), 1)).from_buffer_copy(raw.ljust(1, b"\0"))
    if L.library().KIV_OdFormatValue(data_type, buf, len(raw), text, capacity) != 0:
        raise ValueError(f"{len(raw)} bytes are no value of data type 0x{data_type:04X}")
    return text.value.decode("utf-8", "replace")


def parse_value(data_type: int, text: str) -> bytes:
    """``text`` parsed into ``data_type``'s encoding by the library."""
    data_type = A.u16(data_type, "data_type")
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    encoded = text.encode("utf-8")
    capacity = max(2 * len(encoded) + 16, 16)
    out, size = (ctypes.c_uint8 * capacity)(), ctypes.c_uint32(0)
    if L.library().KIV_OdParseValue(data_type, encoded, out, capacity, ctypes.byref(size)):
        raise ValueError(f"{text!r} is no value of data type 0x{data_type:04X}")
    return bytes(out[: size.value])


def decode(data_type: int, data: bytes) -> Value:
    """A Python value of ``data`` in ``data_type``'s encoding: int, bool,
    float, str (strings; TIME_OF_DAY and TIME_DIFFERENCE as text) or bytes."""
    if data_type in INTEGERS:
        size, signed = INTEGERS[data_type]
        if len(data) != size:
            raise ValueError(f"{len(data)} bytes for a {size}-byte {T(data_type).name}")
        return int.from_bytes(data, "little", signed=signed)
    if data_type == T.BOOLEAN:
        return data != b"\0" * len(data)
    if data_type in REALS:
        return float(REALS[data_type].unpack(data)[0])
    if data_type == T.VISIBLE_STRING:
        return data.rstrip(b"\0").decode("latin-1")
    if data_type == T.UNICODE_STRING:
        return data.decode("utf-16-le")
    if data_type in (T.TIME_OF_DAY, T.TIME_DIFFERENCE):
        return format_value(data_type, data)
    return bytes(data)


def encode(data_type: int, value: Value) -> bytes:
    """``value`` in ``data_type``'s encoding. A str is parsed as the library
    reads values of that type (for string types it is the text itself);
    bytes go unchanged."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if data_type == T.VISIBLE_STRING and isinstance(value, str):
        return value.encode("latin-1")
    if data_type == T.UNICODE_STRING and isinstance(value, str):
        return value.encode("utf-16-le")
    if isinstance(value, str):
        return parse_value(data_type, value)
    if data_type == T.BOOLEAN and isinstance(value, (bool, int)):
        return b"\x01" if value else b"\x00"
    if data_type in INTEGERS and isinstance(value, int) and not isinstance(value, bool):
        size, signed = INTEGERS[data_type]
        try:
            return value.to_bytes(size, "little", signed=signed)
        except OverflowError:
            raise ValueError(f"{value} is outside {T(data_type).name}") from None
    if data_type in REALS and isinstance(value, (int, float)) and not isinstance(value, bool):
        return REALS[data_type].pack(value)
    raise TypeError(f"a {type(value).__name__} is no value of data type 0x{data_type:04X}")


def _bytes(address: Optional[int], size: int, present: bool) -> Optional[bytes]:
    return ctypes.string_at(address, size) if present and address else None


def _text(raw: Optional[bytes]) -> Optional[str]:
    return None if raw is None else raw.decode("utf-8", "replace")


@dataclass(frozen=True)
class OdEntry:
    """One variable of a dictionary: a VAR, or a sub-entry of an ARRAY or
    RECORD. Values are in the encoding of ``data_type``; ``None`` when the
    file gives none."""

    index: int
    sub: int
    name: str
    parent_name: Optional[str]
    object_type: int
    data_type: int
    access: Access
    pdo_mappable: bool
    flags: int
    default: Optional[bytes]
    value: Optional[bytes]
    low_limit: Optional[bytes]
    high_limit: Optional[bytes]
    default_text: Optional[str]
    value_text: Optional[str]
    file_data_type: int
    line: int

    @property
    def full_name(self) -> str:
        """"Object.Sub" for a sub-entry, the name for a VAR."""
        return f"{self.parent_name}.{self.name}" if self.parent_name is not None else self.name

    @classmethod
    def _from(cls, e: L.OdEntry) -> "OdEntry":
        f = e.flags
        try:
            access = Access(e.access)
        except ValueError:
            access = Access.NONE
        return cls(
            e.index, e.subIndex, _text(e.name) or "", _text(e.parentName), e.objectType,
            e.dataType, access, bool(e.pdoMappable), f,
            _bytes(e.defaultValue, e.defaultSize, bool(f & 0x01)),
            _bytes(e.value, e.valueSize, bool(f & 0x02)),
            _bytes(e.lowLimit, e.lowSize, bool(f & 0x04)),
            _bytes(e.highLimit, e.highSize, bool(f & 0x08)),
            _text(e.defaultText), _text(e.valueText), e.fileDataType, e.line,
        )


@dataclass(frozen=True)
class ConfigReport:
    """What a configuration download did."""

    written: int
    failed: int
    skipped: int
    steps: int
    failed_index: int
    failed_sub: int
    failed_result: int
    abort_code: int

    @classmethod
    def _from(cls, r: L.ConfigReport) -> "ConfigReport":
        return cls(r.written, r.failed, r.skipped, r.steps, r.failedIndex, r.failedSubIndex,
                   r.failedResult, r.abortCode)


def _download(master: Core, what: str, name: str, node: int, payload: Any, size: Optional[int],
              continue_on_error: bool) -> ConfigReport:
    raw = L.ConfigReport()
    raw.flags = L.KIV_CONFIG_CONTINUE if continue_on_error else 0
    args = (payload,) if size is None else (payload, size)
    result = master._run(node, getattr(master._lib, name), node, *args, ctypes.byref(raw))
    report = ConfigReport._from(raw)
    try:
        master._check(result, what, report.abort_code)
    except Error as exc:
        exc.report = report  # type: ignore[attr-defined]
        raise
    return report


def write_concise_dcf(master: Core, node: int, data: bytes, *,
                      continue_on_error: bool = False) -> ConfigReport:
    """Applies a concise DCF (the format of object 0x1F22) to ``node``."""
    node, raw = A.u8(node, "node"), A.data(data, "data")
    buf = (ctypes.c_uint8 * max(len(raw), 1)).from_buffer_copy(raw.ljust(1, b"\0"))
    return _download(master, f"concise DCF to node {node}", "KIV_WriteConciseDcf", node, buf,
                     len(raw), continue_on_error)


class ObjectDictionary:
    """A dictionary read from an EDS or DCF file; immutable, safe to query
    from any number of threads. Entries are looked up by name ("Device
    type", "Identity object.Vendor-ID"), by (index, sub) or by index (sub 0).
    Close it (or use ``with``) to free it."""

    def __init__(self, handle: int, node_id: int, source: str) -> None:
        self._handle: Optional[int] = handle
        self._lock = threading.Lock()
        self.node_id = node_id
        self.source = source

    @classmethod
    def _load(cls, call: Callable[[Any], Any], source: str, node_id: int) -> "ObjectDictionary":
        error = L.OdError()
        handle = call(ctypes.byref(error))
        if not handle:
            message = error.message.decode("utf-8", "replace")
            where = f" (line {error.line})" if error.line else ""
            raise OdLoadError(f"{source}{where}: {message}", error.line)
        return cls(handle, node_id, source)

    @classmethod
    def from_file(cls, path: Union[str, "os.PathLike[str]"], node_id: int = 0) -> "ObjectDictionary":
        """Reads an EDS or DCF file; ``node_id`` (1..127) resolves $NODEID,
        0 leaves such values unresolved."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or path, not {type(path).__name__}")
        node_id = A.integer(node_id, "node_id", 0, 127)
        encoded = os.fsencode(path)
        return cls._load(lambda err: L.library().KIV_OdLoadFile(encoded, node_id, err),
                         os.fsdecode(path), node_id)

    @classmethod
    def from_text(cls, text: Union[str, bytes], node_id: int = 0) -> "ObjectDictionary":
        """Reads an EDS or DCF given as text."""
        raw = text.encode("utf-8") if isinstance(text, str) else A.data(text, "text")
        node_id = A.integer(node_id, "node_id", 0, 127)
        return cls._load(lambda err: L.library().KIV_OdLoadText(raw, len(raw), node_id, err),
                         "<text>", node_id)

    def _od(self) -> int:
        if self._handle is None:
            raise ClosedError("this ObjectDictionary is closed")
        return self._handle

    def close(self) -> None:
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            L.library().KIV_OdFree(handle)

    def __enter__(self) -> "ObjectDictionary":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __len__(self) -> int:
        return int(L.library().KIV_OdCount(self._od()))

    def __iter__(self) -> Iterator[OdEntry]:
        lib, entry = L.library(), L.OdEntry()
        for position in range(len(self)):
            if lib.KIV_OdEntryAt(self._od(), position, ctypes.byref(entry)) == 0:
                yield OdEntry._from(entry)

    def find(self, index: int, sub: int = 0) -> Optional[OdEntry]:
        entry = L.OdEntry()
        found = L.library().KIV_OdFind(self._od(), A.u16(index, "index"), A.u8(sub, "sub"),
                                       ctypes.byref(entry))
        return OdEntry._from(entry) if found == 0 else None

    def find_name(self, name: str) -> Optional[OdEntry]:
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, not {type(name).__name__}")
        entry = L.OdEntry()
        found = L.library().KIV_OdFindName(self._od(), name.encode("utf-8"), ctypes.byref(entry))
        return OdEntry._from(entry) if found == 0 else None

    def __getitem__(self, key: Key) -> OdEntry:
        if isinstance(key, str):
            entry = self.find_name(key)
        elif isinstance(key, tuple) and len(key) == 2:
            entry = self.find(*key)
        elif isinstance(key, int) and not isinstance(key, bool):
            entry = self.find(key, 0)
        else:
            raise TypeError("key must be a name, an (index, sub) pair or an index")
        if entry is None:
            raise KeyError(key)
        return entry

    def __contains__(self, key: Key) -> bool:
        try:
            self[key]
        except KeyError:
            return False
        return True

    def _node(self, node: Optional[int]) -> int:
        node = self.node_id if node is None else A.u8(node, "node")
        if node == 0:
            raise ValueError("no node: pass node=, or load the dictionary with its node id")
        return node

    def read(self, master: Core, key: Key, node: Optional[int] = None) -> Value:
        """Reads entry ``key`` of ``node`` (default: the dictionary's node
        id) and decodes it by its data type."""
        entry, node = self[key], self._node(node)
        size = FIXED_SIZES.get(entry.data_type)  # other types: the whole object
        return decode(entry.data_type, master.read(node, entry.index, entry.sub, max_size=size))

    def write(self, master: Core, key: Key, value: Value, node: Optional[int] = None) -> None:
        """Encodes ``value`` by the entry's data type and writes it."""
        entry, node = self[key], self._node(node)
        master.write(node, entry.index, entry.sub, encode(entry.data_type, value))

    def configure(self, master: Core, node: Optional[int] = None, *,
                  continue_on_error: bool = False) -> ConfigReport:
        """Applies this DCF to ``node``: one SDO write per value it sets, each
        PDO by the CiA 301 procedure. On failure the exception of the first
        failed write is raised with the report as ``.report``."""
        node = self._node(node)
        return _download(master, f"configuration of node {node}", "KIV_ConfigureNode", node,
                         self._od(), None, continue_on_error)

    def to_concise_dcf(self) -> bytes:
        """The download of this DCF as a concise DCF (object 0x1F22's format)."""
        lib, size = L.library(), ctypes.c_uint32(0)
        lib.KIV_OdToConciseDcf(self._od(), None, 0, ctypes.byref(size))
        out = (ctypes.c_uint8 * max(size.value, 1))()
        if lib.KIV_OdToConciseDcf(self._od(), out, size.value, ctypes.byref(size)) != 0:
            raise ValueError("this dictionary has no download (a value uses $NODEID unresolved?)")
        return bytes(out[: size.value])
