"""The package against a scripted peer on python-can's virtual bus: exact
frames, decoded events and the errors of each result code."""

import datetime
import gc
import logging
import time
import weakref

import can
import pytest

import orukiv
from conftest import frame

F = frame


def sdo_abort(node, index_sub_hex, code_hex):
    return F(0x580 + node, "80" + index_sub_hex + code_hex)


READS = [
    # expedited, 2 and 4 bytes
    ([(F(0x605, "4000100000000000"), [F(0x585, "4B001000D2040000")])], 0x1000, 0, b"\xd2\x04"),
    ([(F(0x605, "4018100100000000"), [F(0x585, "43181001781F0A00")])], 0x1018, 1,
     bytes.fromhex("781F0A00")),
    # segmented, 10 bytes in two segments
    ([(F(0x605, "4008100000000000"), [F(0x585, "410810000A000000")]),
      (F(0x605, "6000000000000000"), [F(0x585, "0030313233343536")]),
      (F(0x605, "7000000000000000"), [F(0x585, "1937383900000000")])],
     0x1008, 0, b"0123456789"),
]


@pytest.mark.parametrize("script,index,sub,expected", READS)
def test_read(virtual, script, index, sub, expected):
    master, peer = virtual
    peer.script = list(script)
    assert master.read(5, index, sub) == expected
    assert peer.script == [] and peer.unexpected == []


WRITES = [
    ([(F(0x605, "2B40600006000000"), [F(0x585, "6040600000000000")])], 0x6040, 0, b"\x06\x00"),
    ([(F(0x605, "2120200108000000"), [F(0x585, "6020200100000000")]),
      (F(0x605, "0061626364656667"), [F(0x585, "2000000000000000")]),
      (F(0x605, "1D68000000000000"), [F(0x585, "3000000000000000")])],
     0x2020, 1, b"abcdefgh"),
]


@pytest.mark.parametrize("script,index,sub,data", WRITES)
def test_write(virtual, script, index, sub, data):
    master, peer = virtual
    peer.script = list(script)
    master.write(5, index, sub, data)
    assert peer.script == [] and peer.unexpected == []


@pytest.mark.parametrize(
    "call,reply,code",
    [
        (lambda m: m.read(5, 0x2000, 3), "0000200300000206", 0x06020000),
        (lambda m: m.write(5, 0x1000, 0, b"\x01\x02"), "0000100002000106", 0x06010002),
    ],
)
def test_abort_raises_with_code_and_text(virtual, call, reply, code):
    master, peer = virtual
    req = "40002003" if code == 0x06020000 else "2B001000"
    peer.script = [(F(0x605, req + ("00000000" if req.startswith("40") else "01020000")),
                    [F(0x585, "80" + reply[2:])])]
    with pytest.raises(orukiv.SdoAbortedError) as info:
        call(master)
    assert info.value.code == code
    assert info.value.text == orukiv.abort_text(code) and info.value.text
    assert isinstance(info.value, orukiv.Error)
    assert master.stats().sdo_aborts == 1


def test_silent_server_times_out(virtual):
    master, _ = virtual
    start = time.monotonic()
    with pytest.raises(orukiv.SdoTimeoutError):
        master.read(9, 0x1000)
    assert 0.25 < time.monotonic() - start < 5.0
    assert master.stats().sdo_timeouts == 1


SERVICES = [
    (lambda m: m.nmt(orukiv.NmtCommand.START, 0), [F(0x000, "0100")]),
    (lambda m: m.nmt(orukiv.NmtCommand.RESET_NODE, 7), [F(0x000, "8107")]),
    (lambda m: m.sync(), [F(0x080)]),
    (lambda m: m.send_emcy(3, 0x8130, 0x11, b"\x01\x02\x03\x04\x05"), [F(0x083, "3081110102030405")]),
    (lambda m: m.send_emcy(3, 0x1000), [F(0x083, "0010000000000000")]),
    (lambda m: m.send_pdo(0x185, b"\xaa\xbb\xcc"), [F(0x185, "AABBCC")]),
    (lambda m: m.request_pdo(0x285), [F(0x285, "", rtr=True)]),
    (lambda m: m.send_heartbeat(1, orukiv.NmtState.OPERATIONAL), [F(0x701, "05")]),
    (lambda m: m.send_guard_request(4), [F(0x704, "", rtr=True)]),
    # 1984-01-02 00:00:01.5: one day after the epoch, 1500 ms into it
    (lambda m: m.send_time(datetime.datetime(1984, 1, 2, 0, 0, 1, 500000)),
     [F(0x100, "DC05000001000000")]),
]


@pytest.mark.parametrize("call,frames", SERVICES)
def test_service_frames(virtual, call, frames):
    master, peer = virtual
    call(master)
    deadline = time.monotonic() + 2
    while len(peer.seen) < len(frames) and time.monotonic() < deadline:
        time.sleep(0.005)
    assert peer.seen == frames


EVENTS = [
    (F(0x000, "8205"), orukiv.NmtEvent(0, orukiv.NmtCommand.RESET_COMM)),
    (F(0x080), orukiv.SyncEvent(0x80)),
    (F(0x085, "1023010A0B0C0D0E"), orukiv.EmcyEvent(5, 0x2310, 1, bytes.fromhex("0A0B0C0D0E"))),
    (F(0x70A, "85"), orukiv.HeartbeatEvent(10, orukiv.NmtState.OPERATIONAL)),
    (F(0x70A, "", rtr=True), orukiv.NodeGuardEvent(10)),
    (F(0x100, "DC05000001000000"), orukiv.TimeEvent(0, 1984, 1, 2, 0, 0, 1, 500)),
    (F(0x585, "4B00600102030000"),
     orukiv.SdoEvent(0x85, orukiv.SdoEventKind.READ_RESPONSE, 0x6000, 1, b"\x02\x03")),
    (F(0x1A5, "0102"), orukiv.PdoEvent(0x25, 0x1A5, b"\x01\x02")),
    (F(0x7A0, "01"), orukiv.UnclassifiedEvent(0xA0)),
]


@pytest.mark.parametrize("sent,expected", EVENTS)
def test_events_iterator_and_callback(virtual, sent, expected):
    master, peer = virtual
    called = []
    master.add_event_callback(called.append)
    with master.events() as stream:
        peer.send(*sent)
        assert next(iter(stream)) == expected
    assert called == [expected]


def test_heartbeat_supervision_reports_loss(virtual):
    master, peer = virtual
    master.supervise_node(5, 150)
    with master.events() as stream:
        peer.send(0x705, b"\x7f")
        seen = stream.wait_for(lambda e: isinstance(e, orukiv.NodeStateEvent), 2)
        assert (seen.new_state, seen.cause) == (orukiv.NmtState.PRE_OPERATIONAL,
                                                orukiv.NodeStateCause.STATE_CHANGED)
        assert master.node_status(5).alive
        lost = stream.wait_for(lambda e: isinstance(e, orukiv.NodeStateEvent), 5)
    assert lost.cause == orukiv.NodeStateCause.HEARTBEAT_LOST
    assert lost.new_state == orukiv.NmtState.UNKNOWN
    status = master.node_status(5)
    assert (status.alive, status.mode) == (False, orukiv.SupervisionMode.HEARTBEAT)


DRIVE = [
    (lambda d: d.status_word(), F(0x605, "4041600000000000"), F(0x585, "4B41600037020000"), 0x0237),
    (lambda d: d.actual_position(), F(0x605, "4064600000000000"),
     F(0x585, "43646000FEFFFFFF"), -2),
    (lambda d: d.set_target_position(-2), F(0x605, "237A6000FEFFFFFF"),
     F(0x585, "607A600000000000"), None),
]


@pytest.mark.parametrize("call,req,reply,expected", DRIVE)
def test_drive(virtual, call, req, reply, expected):
    master, peer = virtual
    peer.script = [(req, [reply])]
    assert call(master.drive(5)) == expected
    assert peer.script == []


class FailingBus(can.BusABC):
    def __init__(self):
        super().__init__(channel="failing")
        self.fail = True
        self.sent = []

    def send(self, msg, timeout=None):
        if self.fail:
            raise can.CanOperationError("adapter unplugged")
        self.sent.append(msg)

    def _recv_internal(self, timeout):
        time.sleep(min(timeout or 0.01, 0.01))
        return None, False


def test_bus_raising_in_send_becomes_no_send_and_worker_goes_on():
    bus = FailingBus()
    with orukiv.Master(bus) as master:
        with pytest.raises(orukiv.NoSendError) as info:
            master.sync()
        assert isinstance(info.value.__cause__, can.CanOperationError)
        bus.fail = False
        master.sync()
        assert [m.arbitration_id for m in bus.sent] == [0x80]
        assert master.stats().send_failures == 1


def test_raising_callback_is_logged_and_events_go_on(virtual, caplog):
    master, peer = virtual

    def bad(event):
        raise RuntimeError("user bug")

    master.add_event_callback(bad)
    with master.events() as stream, caplog.at_level(logging.ERROR, logger="orukiv"):
        peer.send(0x080)
        peer.send(0x080)
        assert stream.get(2) == orukiv.SyncEvent(0x80)
        assert stream.get(2) == orukiv.SyncEvent(0x80)
    assert sum("user bug" in r.exc_text for r in caplog.records if r.exc_text) == 2


def test_closed_master_refuses_and_ends_streams(virtual):
    master, _ = virtual
    stream = master.events()
    master.close()
    assert list(stream) == []
    for call in (lambda: master.sync(), lambda: master.read(5, 0x1000), master.stats,
                 lambda: master.events()):
        with pytest.raises(orukiv.ClosedError):
            call()
    master.close()  # a second close does nothing


def test_callback_calling_back_gets_an_error_not_a_deadlock(virtual):
    master, peer = virtual
    errors = []

    def calls_back(event):
        try:
            master.sync()
        except orukiv.Error as exc:
            errors.append(type(exc))

    master.add_event_callback(calls_back)
    with master.events() as stream:
        peer.send(0x080)
        stream.get(2)
    assert errors == [orukiv.ParamError]


BAD_ARGS = [
    (lambda m: m.read("5", 0x1000), TypeError),
    (lambda m: m.read(5, 0x1000, 1.0), TypeError),
    (lambda m: m.read(True, 0x1000), TypeError),
    (lambda m: m.write(5, 0x1000, 0, "text"), TypeError),
    (lambda m: m.write(5, 0x1000, 0, 7), TypeError),
    (lambda m: m.send_pdo(0x180, [1, 2]), TypeError),
    (lambda m: m.send_time("now"), TypeError),
    (lambda m: m.add_event_callback(None), TypeError),
    (lambda m: m.read(300, 0x1000), ValueError),
    (lambda m: m.write(5, 0x10000, 0, b"\x01"), ValueError),
    (lambda m: m.send_pdo(0x180, b""), ValueError),
    (lambda m: m.drive(5).set_target_torque(40000), ValueError),
    (lambda m: m.read(0, 0x1000), orukiv.ParamError),
]


@pytest.mark.parametrize("call,error", BAD_ARGS)
def test_bad_arguments_raise_before_anything_is_sent(virtual, call, error):
    master, peer = virtual
    with pytest.raises(error):
        call(master)
    time.sleep(0.05)
    assert peer.seen == []


def test_master_wants_a_python_can_bus():
    with pytest.raises(TypeError):
        orukiv.Master("vcan0")


def test_unclosed_master_is_closed_when_collected():
    bus = can.Bus(interface="virtual", channel="orukiv-test-collected")
    with pytest.warns(ResourceWarning):
        master = orukiv.Master(bus)
        collected = weakref.ref(master)
        del master
        gc.collect()
    assert collected() is None
    bus.shutdown()


def test_cyclic_sync_with_counter_and_the_cycle_frames(virtual):
    master, peer = virtual
    cycles = []

    def on_cycle(cycle):
        cycles.append(cycle)
        return [(0x205, bytes([cycle & 0xFF]))]

    master.start_cyclic(20000, counter_overflow=3, on_cycle=on_cycle)
    deadline = time.monotonic() + 5
    while len(peer.seen) < 8 and time.monotonic() < deadline:
        time.sleep(0.01)
    master.stop_cyclic()
    counters = [1, 2, 3, 1]
    assert peer.seen[:8] == [f for n, c in enumerate(counters) for f in
                             (F(0x080, f"{c:02X}"), F(0x205, f"{cycles[n] & 0xFF:02X}"))]
    assert master.cyclic_stats().cycles == len(cycles) >= 4
