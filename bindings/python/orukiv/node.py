"""Remote nodes in the shape Python CANopen users know: ``master.add_node``,
``node.sdo[...]`` with ``.raw``/``.phys``/``.desc``, ``node.nmt.state``,
``node.tpdo``/``node.rpdo`` and ``master.scanner``. Everything goes through
the master's calls; states and PDOs follow the frames the master receives.
"""

from __future__ import annotations

import io
import mmap
import os
import struct
import tempfile
import threading
import time
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple, Union

from can.broadcastmanager import CyclicSendTaskABC
from can.message import Message

from . import _args as A
from ._core import UNLIMITED, Core
from .errors import Error, SdoAbortedError
from .od import DataType, ObjectDictionary, OdEntry, Value, decode, encode, format_value

NMT_STATES = {0: "INITIALISING", 4: "STOPPED", 5: "OPERATIONAL", 127: "PRE-OPERATIONAL"}
NMT_COMMANDS = {"OPERATIONAL": 0x01, "STOPPED": 0x02, "PRE-OPERATIONAL": 0x80,
                "INITIALISING": 0x81, "RESET": 0x81, "RESET COMMUNICATION": 0x82}
# The state a node is in once it carried out a command.
_COMMAND_STATES = {0x01: 5, 0x02: 4, 0x80: 127, 0x81: 0, 0x82: 0}
_RECORD_TYPES = (0x08, 0x09)  # ARRAY, RECORD


class NmtError(Error):
    """A node did not boot up or send its heartbeat in time."""


class _Dictionary:
    """A node's dictionary indexed for the node objects: entries by (index,
    sub), objects by index and by name."""

    def __init__(self, od: Optional[ObjectDictionary]) -> None:
        self.od = od
        self.entries: Dict[Tuple[int, int], OdEntry] = {}
        self.subs: Dict[int, Dict[int, OdEntry]] = {}
        self.names: Dict[str, int] = {}
        for entry in od or ():
            self.entries[(entry.index, entry.sub)] = entry
            self.subs.setdefault(entry.index, {})[entry.sub] = entry
            self.names.setdefault(entry.parent_name or entry.name, entry.index)

    def index_of(self, key: Union[int, str]) -> int:
        if isinstance(key, str):
            if key not in self.names:
                raise KeyError(key)
            return self.names[key]
        return A.u16(key, "index")

    def is_structured(self, index: int) -> bool:
        subs = self.subs.get(index, {})
        return any(e.parent_name is not None or e.object_type in _RECORD_TYPES
                   for e in subs.values())


# ---- SDO ---------------------------------------------------------------------


class Variable:
    """One object (index, sub) of a node: ``raw`` is its value decoded by
    its dictionary's data type (bytes without a dictionary entry), ``phys``
    the same value (dictionaries here carry no scaling), ``desc`` its text,
    ``data`` its bytes."""

    def __init__(self, sdo: "SdoClient", index: int, sub: int, entry: Optional[OdEntry]) -> None:
        self.sdo, self.index, self.subindex, self.od = sdo, index, sub, entry
        self.name = entry.full_name if entry is not None else f"0x{index:04X}:{sub}"

    def __repr__(self) -> str:
        return f"<Variable {self.name!r} 0x{self.index:04X}:{self.subindex}>"

    @property
    def data(self) -> bytes:
        return self.sdo.upload(self.index, self.subindex)

    @data.setter
    def data(self, value: bytes) -> None:
        self.sdo.download(self.index, self.subindex, value)

    @property
    def raw(self) -> Value:
        data = self.data
        return data if self.od is None else decode(self.od.data_type, data)

    @raw.setter
    def raw(self, value: Value) -> None:
        if self.od is None:
            self.data = A.data(value, "value")
        else:
            self.data = encode(self.od.data_type, value)

    phys = raw

    @property
    def desc(self) -> str:
        data = self.data
        return data.hex() if self.od is None else format_value(self.od.data_type, data)

    @desc.setter
    def desc(self, text: str) -> None:
        if not isinstance(text, str):
            raise TypeError("desc must be a str")
        self.raw = text

    def read(self, fmt: str = "raw") -> Any:
        """The value as ``fmt`` says: "raw", "phys" or "desc"."""
        if fmt not in ("raw", "phys", "desc"):
            raise ValueError("fmt must be 'raw', 'phys' or 'desc'")
        return getattr(self, fmt)

    def write(self, value: Any, fmt: str = "raw") -> None:
        if fmt not in ("raw", "phys", "desc"):
            raise ValueError("fmt must be 'raw', 'phys' or 'desc'")
        setattr(self, fmt, value)

    def open(self, mode: str = "rb", block_transfer: bool = False,
             encoding: str = "ascii") -> IO[Any]:
        return self.sdo.open(self.index, self.subindex, mode, block_transfer=block_transfer,
                             encoding=encoding)


class Record:
    """An ARRAY or RECORD of a node: its variables by sub-index or by name."""

    def __init__(self, sdo: "SdoClient", index: int) -> None:
        self.sdo, self.index = sdo, index
        subs: Dict[int, OdEntry] = sdo._dictionary.subs.get(index, {})
        self._subs = subs
        self._names = {e.name: e.sub for e in subs.values()}
        first = next(iter(subs.values()), None)
        self.name = (first.parent_name or first.name) if first is not None else f"0x{index:04X}"

    def __getitem__(self, key: Union[int, str]) -> Variable:
        if isinstance(key, str):
            if key not in self._names:
                raise KeyError(key)
            sub = self._names[key]
        else:
            sub = A.u8(key, "sub")
        return Variable(self.sdo, self.index, sub, self._subs.get(sub))

    def __iter__(self) -> Iterator[int]:
        return iter(sorted(self._subs))

    def __len__(self) -> int:
        return len(self._subs)

    def __contains__(self, key: object) -> bool:
        return key in self._names or key in self._subs

    def values(self) -> List[Variable]:
        return [self[sub] for sub in self]


class SdoClient:
    """``node.sdo``: the node's objects by name or index, and transfers."""

    def __init__(self, node: "RemoteNode") -> None:
        self._node = node
        self._dictionary: _Dictionary = node._dictionary

    @property
    def _master(self) -> Core:
        return self._node._require_master()

    def __getitem__(self, key: Union[int, str]) -> Union[Variable, Record]:
        if not isinstance(key, (int, str)) or isinstance(key, bool):
            raise TypeError("key must be an object name or index")
        if isinstance(key, str) and "." in key and key not in self._dictionary.names:
            parent, _, sub = key.partition(".")
            item = self[parent]
            if isinstance(item, Record):
                return item[sub]
        index = self._dictionary.index_of(key)
        if self._dictionary.is_structured(index):
            return Record(self, index)
        if self._dictionary.od is not None and index not in self._dictionary.subs:
            raise KeyError(key)
        return Variable(self, index, 0, self._dictionary.entries.get((index, 0)))

    def __contains__(self, key: object) -> bool:
        try:
            self[key]  # type: ignore[index]
        except (KeyError, TypeError, ValueError):
            return False
        return True

    def upload(self, index: int, subindex: int) -> bytes:
        """The whole object as bytes."""
        return self._master.read(self._node.id, index, subindex)

    def download(self, index: int, subindex: int, data: bytes,
                 force_segment: bool = False) -> None:
        """Writes ``data`` to the object (``force_segment`` is accepted for
        compatibility: the length picks the protocol)."""
        if not isinstance(force_segment, bool):
            raise TypeError("force_segment must be a bool")
        self._master.write(self._node.id, index, subindex, data)

    def open(self, index: int, subindex: int = 0, mode: str = "rb", *,
             block_transfer: bool = False, encoding: str = "ascii",
             size: Optional[int] = None) -> IO[Any]:
        """The object as a file object. Reading ("rb", "r") moves the object
        into a temporary file and reads from there; writing ("wb", "w")
        collects into a temporary file and writes the object on close. Either
        way the object lives on disk, not in memory. ``size`` is accepted for
        compatibility (the length written is the length of the file)."""
        if mode not in ("r", "rb", "w", "wb"):
            raise ValueError("mode must be 'r', 'rb', 'w' or 'wb'")
        if not isinstance(block_transfer, bool):
            raise TypeError("block_transfer must be a bool")
        index, subindex = A.u16(index, "index"), A.u8(subindex, "subindex")
        if size is not None:
            A.integer(size, "size", 0, UNLIMITED)
        master = self._master
        raw: Any
        if "r" in mode:
            raw = _upload_to_file(master, self._node.id, index, subindex, block_transfer)
        else:
            raw = _DownloadFile(master, self._node.id, index, subindex, block_transfer)
        if "b" in mode:
            return raw  # type: ignore[no-any-return]
        return io.TextIOWrapper(raw, encoding=encoding)


def _upload_to_file(master: Core, node: int, index: int, sub: int, block: bool) -> IO[bytes]:
    """Reads the object into a sparse temporary file mapped as the read's
    buffer: pages go to disk as the answer fills them."""
    import ctypes

    from . import _library as L

    temp = tempfile.TemporaryFile()
    capacity = UNLIMITED - 1 if os.name == "posix" else 1 << 30
    temp.truncate(capacity)
    view = mmap.mmap(temp.fileno(), capacity)
    try:
        received, abort = ctypes.c_uint32(0), ctypes.c_uint32(0)
        address = ctypes.addressof(ctypes.c_char.from_buffer(view))
        name = "KIV_ReadObjectBlock" if block else "KIV_ReadObjectEx"
        failures = master._send_failures
        result = master._run(node, getattr(master._lib, name), node, index, sub,
                             ctypes.cast(address, L._u8p), capacity, ctypes.byref(received),
                             ctypes.byref(abort))
        master._check(result, f"read of node {node} 0x{index:04X}:{sub} into a file",
                      abort.value, failures, "sdo")
        size = received.value
    finally:
        view.close()
    if size >= capacity:
        temp.close()
        from .errors import SdoTooLongError

        raise SdoTooLongError(f"node {node} 0x{index:04X}:{sub} is too long for a file")
    temp.truncate(size)
    temp.seek(0)
    return temp


class _DownloadFile(io.RawIOBase):
    """Collects what is written in a temporary file; close writes it to the
    object in one transfer from the file's mapping."""

    def __init__(self, master: Core, node: int, index: int, sub: int, block: bool) -> None:
        super().__init__()
        self._master, self._node, self._index, self._sub = master, node, index, sub
        self._block = block
        self._temp = tempfile.TemporaryFile()

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        return self._temp.write(A.data(data, "data"))

    def close(self) -> None:
        if self.closed:
            return
        try:
            self._temp.flush()
            size = self._temp.tell()
            if size == 0:
                raise ValueError("nothing was written: an object has at least one byte")
            with mmap.mmap(self._temp.fileno(), size, access=mmap.ACCESS_READ) as view:
                data = memoryview(view)
                try:
                    (self._master.write_block if self._block else self._master.write)(
                        self._node, self._index, self._sub, data)
                finally:
                    data.release()
        finally:
            self._temp.close()
            super().close()


# ---- NMT ---------------------------------------------------------------------


class NmtClient:
    """``node.nmt``: the node's state as its heartbeats and boot-ups say, and
    the NMT commands."""

    def __init__(self, node: "RemoteNode") -> None:
        self._node = node
        self._state: Optional[int] = None
        self._cv = threading.Condition()
        self._bootups = 0
        self._heartbeats = 0
        self.timestamp: Optional[float] = None

    def _on_heartbeat(self, _cob: int, data: bytes) -> None:
        if not data:
            return
        with self._cv:
            self._state = data[0] & 0x7F
            self.timestamp = time.time()
            self._heartbeats += 1
            if self._state == 0:
                self._bootups += 1
            self._cv.notify_all()

    @property
    def state(self) -> Optional[str]:
        """'INITIALISING', 'PRE-OPERATIONAL', 'OPERATIONAL', 'STOPPED' (None
        before anything was heard or commanded)."""
        state = self._state
        return None if state is None else NMT_STATES.get(state, f"UNKNOWN STATE {state}")

    @state.setter
    def state(self, new: str) -> None:
        if not isinstance(new, str):
            raise TypeError("state must be a str")
        if new not in NMT_COMMANDS:
            raise ValueError(f"{new!r} is no NMT state ({', '.join(NMT_COMMANDS)})")
        self.send_command(NMT_COMMANDS[new])

    def send_command(self, code: int) -> None:
        code = A.u8(code, "code")
        self._node._require_master().nmt(code, self._node.id)
        with self._cv:
            if code in _COMMAND_STATES:
                self._state = _COMMAND_STATES[code]

    def wait_for_bootup(self, timeout: float = 10) -> None:
        """Waits for the node's next boot-up; NmtError after ``timeout`` s."""
        timeout = A.seconds(timeout, "timeout")
        with self._cv:
            seen = self._bootups
            if not self._cv.wait_for(lambda: self._bootups != seen, timeout):
                raise NmtError(f"node {self._node.id}: no boot-up within {timeout} s")

    def wait_for_heartbeat(self, timeout: float = 10) -> str:
        """Waits for the node's next heartbeat and returns its state."""
        timeout = A.seconds(timeout, "timeout")
        with self._cv:
            seen = self._heartbeats
            if not self._cv.wait_for(lambda: self._heartbeats != seen, timeout):
                raise NmtError(f"node {self._node.id}: no heartbeat within {timeout} s")
        return self.state or ""


# ---- PDO ---------------------------------------------------------------------


class PdoVariable:
    """One mapped object of a PDO: ``raw`` from the last PDO received (TPDO)
    or to be sent (RPDO)."""

    def __init__(self, pdo: "PdoMap", index: int, sub: int, offset: int, length: int,
                 entry: Optional[OdEntry]) -> None:
        self.pdo, self.index, self.subindex = pdo, index, sub
        self.offset, self.length, self.od = offset, length, entry
        self.name = entry.name if entry is not None else f"0x{index:04X}:{sub}"
        self.full_name = entry.full_name if entry is not None else self.name

    def __repr__(self) -> str:
        return f"<PdoVariable {self.full_name!r} bits {self.offset}+{self.length}>"

    def _bits(self) -> int:
        whole = int.from_bytes(self.pdo.data, "little")
        return (whole >> self.offset) & ((1 << self.length) - 1)

    @property
    def data(self) -> bytes:
        return self._bits().to_bytes((self.length + 7) // 8, "little")

    @property
    def raw(self) -> Value:
        if self.od is None:
            return self._bits()
        if self.od.data_type == DataType.BOOLEAN:
            return bool(self._bits())
        try:
            return decode(self.od.data_type, self.data)
        except ValueError:
            return self._bits()

    @raw.setter
    def raw(self, value: Value) -> None:
        if self.od is None:
            bits = A.integer(value, "value", 0, (1 << self.length) - 1)
        else:
            raw = encode(self.od.data_type, value)
            bits = int.from_bytes(raw, "little") & ((1 << self.length) - 1)
        mask = ((1 << self.length) - 1) << self.offset
        size = max(len(self.pdo.data), (self.offset + self.length + 7) // 8)
        whole = int.from_bytes(self.pdo.data, "little") & ~mask | (bits << self.offset)
        self.pdo.data = bytearray(whole.to_bytes(size, "little"))
        self.pdo._data_changed()

    phys = raw


class PdoMap:
    """One TPDO or RPDO: its COB-ID, transmission type and mapped variables
    as ``read()`` found them on the node."""

    def __init__(self, maps: "PdoMaps", number: int) -> None:
        self._maps = maps
        self.pdo_number = number
        self.cob_id: Optional[int] = None
        self.enabled = False
        self.trans_type: Optional[int] = None
        self.map: List[PdoVariable] = []
        self.data = bytearray()
        self.timestamp: Optional[float] = None
        self.period: Optional[float] = None
        self._cv = threading.Condition()
        self._received = 0
        self._callbacks: List[Callable[["PdoMap"], None]] = []
        self._task: Optional[CyclicSendTaskABC] = None
        self._hooked: Optional[int] = None

    def __repr__(self) -> str:
        cob = "-" if self.cob_id is None else f"0x{self.cob_id:X}"
        return f"<PdoMap {self._maps.kind}{self.pdo_number} {cob} {len(self.map)} vars>"

    @property
    def _comm_index(self) -> int:
        return self._maps.comm_base + self.pdo_number - 1

    def __getitem__(self, key: Union[int, str]) -> PdoVariable:
        if isinstance(key, int) and not isinstance(key, bool):
            return self.map[key]
        if not isinstance(key, str):
            raise TypeError("key must be a variable name or position")
        for var in self.map:
            if key in (var.name, var.full_name):
                return var
        raise KeyError(key)

    def __iter__(self) -> Iterator[PdoVariable]:
        return iter(self.map)

    def __len__(self) -> int:
        return len(self.map)

    def read(self) -> None:
        """Reads the PDO's COB-ID, transmission type and mapping from the node."""
        node = self._maps.node
        master, nid = node._require_master(), node.id
        cob = int.from_bytes(master.read(nid, self._comm_index, 1, max_size=4), "little")
        self.enabled = not cob & 0x80000000
        self.cob_id = cob & (0x1FFFFFFF if cob & 0x20000000 else 0x7FF)
        try:
            self.trans_type = master.read(nid, self._comm_index, 2, max_size=1)[0]
        except SdoAbortedError:
            self.trans_type = None
        map_index = self._maps.map_base + self.pdo_number - 1
        count = master.read(nid, map_index, 0, max_size=1)[0]
        variables, offset = [], 0
        for sub in range(1, count + 1):
            value = int.from_bytes(master.read(nid, map_index, sub, max_size=4), "little")
            index, subindex, length = value >> 16, (value >> 8) & 0xFF, value & 0xFF
            entry = node._dictionary.entries.get((index, subindex))
            variables.append(PdoVariable(self, index, subindex, offset, length, entry))
            offset += length
        with self._cv:
            self.map = variables
            self.data = bytearray((offset + 7) // 8)
        self._maps._rehook(self)

    def _on_frame(self, _cob: int, data: bytes) -> None:
        with self._cv:
            self.data = bytearray(data)
            now = time.time()
            if self.timestamp is not None:
                self.period = now - self.timestamp
            self.timestamp = now
            self._received += 1
            self._cv.notify_all()
            callbacks = list(self._callbacks)
        for callback in callbacks:
            callback(self)

    def add_callback(self, callback: Callable[["PdoMap"], None]) -> None:
        """Calls ``callback(pdo_map)`` on the receiving thread for each PDO."""
        if not callable(callback):
            raise TypeError("callback must be callable")
        self._callbacks.append(callback)

    def wait_for_reception(self, timeout: float = 10) -> Optional[float]:
        """Waits for the next PDO; its timestamp, or None after ``timeout`` s."""
        timeout = A.seconds(timeout, "timeout")
        with self._cv:
            seen = self._received
            if not self._cv.wait_for(lambda: self._received != seen, timeout):
                return None
            return self.timestamp

    def _message(self) -> Message:
        if self.cob_id is None:
            raise ValueError(f"{self._maps.kind}{self.pdo_number}: no COB-ID (call read() first)")
        return Message(arbitration_id=self.cob_id, data=bytes(self.data),
                           is_extended_id=self.cob_id > 0x7FF)

    def transmit(self) -> None:
        """Sends the PDO once with the variables' values."""
        if self.cob_id is None:
            raise ValueError(f"{self._maps.kind}{self.pdo_number}: no COB-ID (call read() first)")
        if not self.data:
            raise ValueError(f"{self._maps.kind}{self.pdo_number} maps nothing")
        self._maps.node._require_master().send_pdo(
            self.cob_id, bytes(self.data), extended=self.cob_id > 0x7FF)

    def start(self, period: Optional[float] = None) -> None:
        """Sends the PDO every ``period`` seconds (python-can's periodic send)
        until stop(); values set meanwhile go out from the next frame."""
        if period is not None:
            self.period = A.seconds(period, "period")
        if self.period is None:
            raise ValueError("no period: pass period=")
        self.stop()
        bus = self._maps.node._require_master().bus
        self._task = bus.send_periodic(self._message(), self.period)

    def stop(self) -> None:
        task, self._task = self._task, None
        if task is not None:
            task.stop()

    def _data_changed(self) -> None:
        task = self._task
        if task is not None and hasattr(task, "modify_data"):
            task.modify_data(self._message())


class PdoMaps:
    """``node.tpdo`` or ``node.rpdo``: the node's PDOs by number (1..512)."""

    def __init__(self, node: "RemoteNode", kind: str) -> None:
        self.node, self.kind = node, kind
        self.comm_base = 0x1800 if kind == "TPDO" else 0x1400
        self.map_base = 0x1A00 if kind == "TPDO" else 0x1600
        self.map: Dict[int, PdoMap] = {}

    def __getitem__(self, key: Union[int, str]) -> Any:
        if isinstance(key, str):
            for pdo in self.map.values():
                for var in pdo.map:
                    if key in (var.name, var.full_name):
                        return var
            raise KeyError(key)
        number = A.integer(key, "PDO number", 1, 512)
        if number not in self.map:
            self.map[number] = PdoMap(self, number)
        return self.map[number]

    def __iter__(self) -> Iterator[int]:
        return iter(sorted(self.map))

    def __len__(self) -> int:
        return len(self.map)

    def values(self) -> List[PdoMap]:
        return [self.map[n] for n in sorted(self.map)]

    def read(self) -> None:
        """Reads every PDO the node has (the first four, and those its
        dictionary lists) from the node; a PDO the node lacks is left out."""
        numbers = set(range(1, 5))
        numbers.update(i - self.comm_base + 1 for i in self.node._dictionary.subs
                       if self.comm_base <= i < self.comm_base + 512)
        for number in sorted(numbers):
            try:
                self[number].read()
            except SdoAbortedError:
                self.map.pop(number, None)

    def _rehook(self, pdo: PdoMap) -> None:
        if self.kind != "TPDO":
            return
        master = self.node._require_master()
        if pdo._hooked is not None:
            master._remove_hook(pdo._hooked, pdo._on_frame)
            pdo._hooked = None
        if pdo.cob_id is not None and pdo.enabled and pdo.cob_id <= 0x7FF:
            master._add_hook(pdo.cob_id, pdo._on_frame)
            pdo._hooked = pdo.cob_id

    def _unhook(self, master: Core) -> None:
        for pdo in self.map.values():
            pdo.stop()
            if pdo._hooked is not None:
                master._remove_hook(pdo._hooked, pdo._on_frame)
                pdo._hooked = None


# ---- Nodes and the scanner ---------------------------------------------------


class RemoteNode:
    """A node on the master's bus (``master.add_node``)."""

    def __init__(self, node_id: int,
                 object_dictionary: Union[None, str, "os.PathLike[str]", ObjectDictionary]
                 = None) -> None:
        self.id = A.integer(node_id, "node_id", 1, 127)
        if object_dictionary is None or isinstance(object_dictionary, ObjectDictionary):
            od = object_dictionary
        elif isinstance(object_dictionary, (str, os.PathLike)):
            od = ObjectDictionary.from_file(object_dictionary, self.id)
        else:
            raise TypeError("object_dictionary must be a path, an ObjectDictionary or None")
        self.object_dictionary = od
        self._dictionary = _Dictionary(od)
        self.master: Optional[Core] = None
        self.sdo = SdoClient(self)
        self.nmt = NmtClient(self)
        self.tpdo = PdoMaps(self, "TPDO")
        self.rpdo = PdoMaps(self, "RPDO")

    def __repr__(self) -> str:
        return f"<RemoteNode {self.id}>"

    def _require_master(self) -> Core:
        if self.master is None:
            raise Error(f"node {self.id} is not on a master (master.add_node)")
        return self.master

    def associate(self, master: Core) -> None:
        self.master = master
        master._add_hook(0x700 + self.id, self.nmt._on_heartbeat)

    def disassociate(self) -> None:
        master, self.master = self.master, None
        if master is not None:
            master._remove_hook(0x700 + self.id, self.nmt._on_heartbeat)
            self.tpdo._unhook(master)


class Scanner:
    """``master.scanner``: the node ids heard on the bus (heartbeats, SDO
    answers, EMCY, the four default TPDOs)."""

    SERVICES = (0x700, 0x580, 0x180, 0x280, 0x380, 0x480, 0x080)

    def __init__(self, master: Core) -> None:
        self._master = master
        self.nodes: List[int] = []
        self._lock = threading.Lock()
        master._add_hook(None, self._on_frame)

    def _on_frame(self, cob: int, _data: bytes) -> None:
        node, service = cob & 0x7F, cob & 0x780
        if node and service in self.SERVICES and node not in self.nodes:
            with self._lock:
                if node not in self.nodes:
                    self.nodes.append(node)

    def reset(self) -> None:
        with self._lock:
            self.nodes = []

    def search(self, limit: int = 127) -> None:
        """Asks nodes 1..``limit`` for their device type (0x1000): those that
        answer are heard. Returns at once; look at ``nodes`` a moment later."""
        limit = A.integer(limit, "limit", 1, 127)
        request = struct.pack("<BHBI", 0x40, 0x1000, 0, 0)
        bus = self._master.bus
        for node in range(1, limit + 1):
            bus.send(Message(arbitration_id=0x600 + node, data=request, is_extended_id=False))
