"""The master beside other python-can listeners on one notifier, and the
faults of reading, sending and identifiers."""

import ast
import logging
import math
import queue
import re
import signal
import threading
import time
from pathlib import Path

import can
import pytest

import orukiv
from conftest import ROOT
from conftest import frame as F
from test_virtual import FailingBus


class PlainClient(can.Listener):
    """A plain python-can SDO client of node 6: sends its own expedited
    reads and waits for their answers."""

    def __init__(self, bus):
        self.bus, self.answers = bus, queue.Queue()

    def on_message_received(self, msg):
        if msg.arbitration_id == 0x586:
            self.answers.put(bytes(msg.data))

    def read(self, index):
        self.bus.send(can.Message(arbitration_id=0x606, is_extended_id=False,
                                  data=bytes([0x40, index & 0xFF, index >> 8, 0, 0, 0, 0, 0])))
        return self.answers.get(timeout=2)


def serve(peer_bus, stop):
    """Answers expedited reads of nodes 5 and 6 with the index as value."""
    while not stop.is_set():
        msg = peer_bus.recv(0.02)
        if msg is not None and msg.arbitration_id in (0x605, 0x606) and msg.data[0] == 0x40:
            reply = bytes([0x4B]) + bytes(msg.data[1:4]) + bytes(msg.data[1:3]) + b"\0\0"
            peer_bus.send(can.Message(arbitration_id=msg.arbitration_id - 0x80, data=reply,
                                      is_extended_id=False))


def test_shared_notifier_both_clients_get_their_answers():
    channel = "orukiv-test-shared"
    with can.Bus(interface="virtual", channel=channel) as bus, \
            can.Bus(interface="virtual", channel=channel) as peer_bus:
        stop = threading.Event()
        server = threading.Thread(target=serve, args=(peer_bus, stop), daemon=True)
        server.start()
        plain = PlainClient(bus)
        notifier = can.Notifier(bus, [plain], timeout=0.05)
        master = orukiv.Master(bus, notifier=notifier)
        assert master in notifier.listeners and master.notifier is notifier
        ours = []
        thread = threading.Thread(
            target=lambda: ours.extend(master.read_int(5, 0x2000 + i) for i in range(100)))
        thread.start()
        theirs = [plain.read(0x3000 + i)[4:6] for i in range(100)]
        thread.join()
        assert ours == [0x2000 + i for i in range(100)]
        assert theirs == [(0x3000 + i).to_bytes(2, "little") for i in range(100)]
        master.close()
        assert master not in notifier.listeners
        assert plain.read(0x3100)[4:6] == b"\x00\x31"  # the notifier runs on
        notifier.stop()
        stop.set()
        server.join()


def test_notifier_must_be_on_the_bus():
    with can.Bus(interface="virtual", channel="a") as bus, \
            can.Bus(interface="virtual", channel="b") as other:
        notifier = can.Notifier(other, [], timeout=0.05)
        with pytest.raises(ValueError):
            orukiv.Master(bus, notifier=notifier)
        with pytest.raises(TypeError):
            orukiv.Master(bus, notifier=bus)
        notifier.stop()


LONG = [
    # segmented, 10 bytes announced: refused at the first answer, the server aborted
    ([(F(0x605, "4000200000000000"), [F(0x585, "410020000A000000")])], "read", 4,
     F(0x605, "8000200012000706")),
    # block upload, 10 bytes announced
    ([(F(0x605, "A40020007F040000"), [F(0x585, "C60020000A000000")])], "read_block", 4,
     F(0x605, "8000200012000706")),
]


@pytest.mark.parametrize("script,method,limit,abort", LONG)
def test_objects_longer_than_max_size_raise_at_the_first_answer(virtual, script, method, limit,
                                                                 abort):
    master, peer = virtual
    peer.script = list(script)
    with pytest.raises(orukiv.SdoTooLongError):
        getattr(master, method)(5, 0x2000, max_size=limit)
    time.sleep(0.05)
    assert peer.seen[1:] == [abort]


def test_a_long_object_is_read_whole(virtual):
    master, peer = virtual
    data = bytes(range(256)) * 40  # 10 KiB: beyond every former default
    peer.script = [(F(0x605, "4000200000000000"), [F(0x585, "4100200000280000")])]
    for n, start in enumerate(range(0, len(data), 7)):
        chunk = data[start:start + 7]
        last = start + 7 >= len(data)
        cmd = (0x10 if n % 2 else 0) | ((7 - len(chunk)) << 1) | (1 if last else 0)
        request = F(0x605, "7000000000000000" if n % 2 else "6000000000000000")
        peer.script.append((request, [F(0x585, f"{cmd:02X}" + chunk.ljust(7, b"\0").hex())]))
    assert master.read(5, 0x2000) == data


def test_sdo_on_a_bus_whose_send_raises_is_no_send_logged_once(caplog):
    bus = FailingBus()
    bus.fail = True
    with orukiv.Master(bus, sdo_timeout=0.3) as master, \
            caplog.at_level(logging.ERROR, logger="orukiv"):
        with pytest.raises(orukiv.NoSendError) as info:
            master.read(5, 0x1000)
        assert isinstance(info.value.__cause__, can.CanOperationError)
    assert sum("failed to send" in r.getMessage() for r in caplog.records) == 1


def test_identifiers_above_0x7ff_need_extended_on_every_path(virtual):
    master, peer = virtual
    with pytest.raises(ValueError):
        master.send_pdo(0x1FFFFFFF, b"\x01")
    with pytest.raises(ValueError):
        master.send_pdo(0x20000000, b"\x01", extended=True)
    with pytest.raises(TypeError):
        master.send_pdo(0x181, b"\x01", extended=1)
    master.send_pdo(0x1FFFFFFF, b"\x01", extended=True)
    master.send_pdo(0x181, b"\x02", extended=True)
    cycles = []
    master.start_cyclic(20000, on_cycle=lambda c: cycles.append(c) or [(0x800, b"\x03")])
    time.sleep(0.1)
    master.stop_cyclic()
    time.sleep(0.05)
    assert cycles and F(0x800, "03") not in peer.seen
    assert peer.extended == [(0x1FFFFFFF, b"\x01"), (0x181, b"\x02")]


def test_garbage_frames_raise_nothing_and_change_no_answer(virtual, caplog):
    master, peer = virtual
    peer.script = [(F(0x605, "4000100000000000"), [F(0x585, "4B001000D2040000")])]
    garbage = [
        can.Message(arbitration_id=0x585, data=b"\x4b", is_extended_id=False),
        can.Message(arbitration_id=0x585, is_error_frame=True),
        can.Message(arbitration_id=0x585, data=bytes(12), is_fd=True, is_extended_id=False),
        can.Message(arbitration_id=0x1FFFF585, data=b"\x4b\x00\x10\x00\xff\xff",
                    is_extended_id=True),
        can.Message(arbitration_id=0x705, data=b"", is_extended_id=False),
    ]
    with caplog.at_level(logging.ERROR, logger="orukiv"), master.events() as stream:
        for msg in garbage:
            master.on_message_received(msg)
        assert master.read(5, 0x1000) == b"\xd2\x04"
        events = iter(lambda: stream.get(0.1), None)
        assert not [e for e in events if isinstance(e, orukiv.HeartbeatEvent)]
    assert not [r for r in caplog.records if r.exc_info]


def test_minor_faults():
    bus = FailingBus()
    for bad, error in ((math.inf, ValueError), (math.nan, ValueError), ("1", TypeError)):
        with pytest.raises(error):
            orukiv.Master(bus, sdo_timeout=bad)
    with orukiv.Master(bus) as master:
        bus.fail = False
        with pytest.raises(orukiv.ParamError) as info:
            master.nmt(1, 200)
        assert "SDO" not in str(info.value)
        master.lss_set_timeout(20)
        with pytest.raises(orukiv.LssError) as lss:
            master.lss_inquire_node_id()
        assert lss.value.result == orukiv.SdoTimeoutError.result


def test_progress_callback_raising_is_logged_once(virtual, caplog):
    master, peer = virtual
    peer.script = [(F(0x605, "4008100000000000"), [F(0x585, "410810000E000000")]),
                   (F(0x605, "6000000000000000"), [F(0x585, "0030313233343536")]),
                   (F(0x605, "7000000000000000"), [F(0x585, "1130313233343536")])]
    master.set_progress_callback(lambda *a: 1 / 0)
    with caplog.at_level(logging.ERROR, logger="orukiv"):
        assert master.read(5, 0x1008) == b"01234560123456"
    assert sum(bool(r.exc_info) for r in caplog.records) == 1


def test_one_version_for_library_and_package():
    cmake = (ROOT / "CMakeLists.txt").read_text()
    version = re.search(r"project\(\s*orukiv\s+VERSION\s+([0-9.]+)", cmake).group(1)
    pyproject = (ROOT / "bindings/python/pyproject.toml").read_text()
    assert f'version = "{version}"' in pyproject
    assert orukiv.__version__ == version == orukiv.library_version()[1]


def test_the_package_modules_import_no_loop():
    package = Path(orukiv.__file__).parent
    graph = {}
    for path in package.glob("*.py"):
        imports = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                imports.update([node.module] if node.module else [a.name for a in node.names])
        graph[path.stem] = imports - {path.stem}

    def reaches(start, goal, seen):
        return any(n == goal or (n not in seen and reaches(n, goal, seen | {n}))
                   for n in graph.get(start, ()))

    assert [m for m in graph if m != "__init__" and reaches(m, m, {m})] == []


def test_keyboard_interrupt_ends_a_call_at_once_and_the_master_goes_on(virtual):
    master, peer = virtual
    master.sdo_timeout = 3.0
    peer.script = [(F(0x605, "4000100000000000"), []),  # node 5 stays silent
                   (F(0x606, "4000100000000000"), [F(0x586, "4B001000D2040000")])]
    timer = threading.Timer(0.2, signal.raise_signal, (signal.SIGINT,))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        master.read(5, 0x1000)
    assert time.monotonic() - start < 0.2 + 0.5
    assert master.read(6, 0x1000) == b"\xd2\x04"


@pytest.mark.parametrize("end", [lambda m: m.cancel(5), lambda m: m.cancel(), lambda m: m.close()])
def test_cancel_and_close_end_a_running_transfer(virtual, end):
    master, peer = virtual
    master.sdo_timeout = 5.0
    peer.script = [(F(0x605, "4000100000000000"), [])]  # silent
    errors = []

    def read():
        try:
            master.read(5, 0x1000)
        except orukiv.Error as exc:
            errors.append(exc)

    thread = threading.Thread(target=read)
    thread.start()
    time.sleep(0.2)
    start = time.monotonic()
    end(master)
    thread.join(5)
    assert time.monotonic() - start < 1.0
    assert [type(e) for e in errors] == [orukiv.CancelledError]
    time.sleep(0.05)
    assert F(0x605, "8000100000000008") in peer.seen  # the client's abort
