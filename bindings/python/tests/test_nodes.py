"""Node objects (SDO variables and records, NMT state, PDOs, scanner) against
a scripted peer on python-can's virtual bus."""

import time

import pytest

import orukiv
from conftest import frame as F

EDS = """[DeviceInfo]
ProductName=test
[1017]
ParameterName=Producer heartbeat time
DataType=0x0006
AccessType=rw
DefaultValue=0
[1018]
ParameterName=Identity object
ObjectType=0x9
SubNumber=2
[1018sub0]
ParameterName=Highest sub-index supported
DataType=0x0005
AccessType=ro
DefaultValue=1
[1018sub1]
ParameterName=Vendor-ID
DataType=0x0007
AccessType=ro
[6041]
ParameterName=Statusword
DataType=0x0006
AccessType=ro
[6064]
ParameterName=Position actual value
DataType=0x0004
AccessType=ro
"""


@pytest.fixture
def node(virtual):
    master, peer = virtual
    od = orukiv.ObjectDictionary.from_text(EDS, node_id=5)
    yield master.add_node(5, od), peer
    od.close()


def upload(index, sub, reply_hex):
    """One expedited upload of node 5, as (request, [answer])."""
    head = f"{index & 0xFF:02X}{index >> 8:02X}{sub:02X}"
    return (F(0x605, f"40{head}00000000"), [F(0x585, reply_hex.replace("HEAD", head))])


SDO_ACCESS = [
    (lambda n: n.sdo["Producer heartbeat time"].raw, upload(0x1017, 0, "4BHEADE8030000"), 1000),
    (lambda n: n.sdo["Identity object"]["Vendor-ID"].raw, upload(0x1018, 1, "43HEAD78563412"),
     0x12345678),
    (lambda n: n.sdo[0x1018][1].raw, upload(0x1018, 1, "43HEAD01000000"), 1),
    (lambda n: n.sdo["Identity object.Vendor-ID"].phys, upload(0x1018, 1, "43HEAD02000000"), 2),
    (lambda n: n.sdo["Producer heartbeat time"].desc, upload(0x1017, 0, "4BHEAD64000000"), "100"),
    (lambda n: n.sdo.upload(0x2000, 3), upload(0x2000, 3, "4FHEADAA000000"), b"\xaa"),
]


@pytest.mark.parametrize("call,step,expected", SDO_ACCESS)
def test_sdo_variables_by_name_index_and_sub(node, call, step, expected):
    remote, peer = node
    peer.script = [step]
    assert call(remote) == expected


def test_sdo_raw_set_writes_by_the_data_type_and_unknown_names_raise(node):
    remote, peer = node
    peer.script = [(F(0x605, "2B17100064000000"), [F(0x585, "6017100000000000")])]
    remote.sdo["Producer heartbeat time"].raw = 100
    assert peer.unexpected == [] and peer.script == []
    for key in ("No such object", 0x2000):
        with pytest.raises(KeyError):
            remote.sdo[key]
    with pytest.raises(KeyError):
        remote.sdo["Identity object"]["Product code"]
    with pytest.raises(TypeError):
        remote.sdo[1.5]


def test_sdo_open_streams_through_a_file(node):
    remote, peer = node
    peer.script = [
        (F(0x605, "2100200008000000"), [F(0x585, "6000200000000000")]),
        (F(0x605, "0030313233343536"), [F(0x585, "2000000000000000")]),
        (F(0x605, "1D37000000000000"), [F(0x585, "3000000000000000")]),
        (F(0x605, "4000200000000000"), [F(0x585, "4100200008000000")]),
        (F(0x605, "6000000000000000"), [F(0x585, "0030313233343536")]),
        (F(0x605, "7000000000000000"), [F(0x585, "1D37000000000000")]),
    ]
    with remote.sdo.open(0x2000, 0, "wb") as out:
        out.write(b"0123")
        out.write(b"4567")
    with remote.sdo.open(0x2000, 0, "r") as text:
        assert text.read() == "01234567"
    assert peer.unexpected == []


def test_nmt_state_follows_heartbeats_and_commands(node):
    remote, peer = node
    assert remote.nmt.state is None
    for data, state in (("7F", "PRE-OPERATIONAL"), ("05", "OPERATIONAL"), ("04", "STOPPED")):
        peer.send(0x705, bytes.fromhex(data))
        assert remote.nmt.wait_for_heartbeat(2) == state
    peer.send(0x705, b"")  # no state in it: no boot-up either
    with pytest.raises(orukiv.NmtError):
        remote.nmt.wait_for_bootup(0.2)
    assert remote.nmt.state == "STOPPED"
    peer.send(0x705, b"\x00")
    remote.nmt.wait_for_bootup(2)
    assert remote.nmt.state == "INITIALISING"
    remote.nmt.state = "OPERATIONAL"
    assert remote.nmt.state == "OPERATIONAL"
    time.sleep(0.05)
    assert F(0x000, "0105") in peer.seen
    with pytest.raises(ValueError):
        remote.nmt.state = "RUNNING"


def test_tpdo_read_names_and_updates_and_rpdo_transmits(node):
    remote, peer = node
    mapping = [(0x1800, 1, "43HEAD85010000"), (0x1800, 2, "4FHEADFF000000"),
               (0x1A00, 0, "4FHEAD02000000"), (0x1A00, 1, "43HEAD10004160"),
               (0x1A00, 2, "43HEAD20006460")]
    peer.script = [upload(*m) for m in mapping]
    peer.script += [upload(0x1801 + i, 1, "80HEAD00000206") for i in range(3)]
    remote.tpdo.read()
    tpdo = remote.tpdo[1]
    assert (tpdo.cob_id, tpdo.trans_type, [v.name for v in tpdo]) == (
        0x185, 255, ["Statusword", "Position actual value"])
    assert sorted(remote.tpdo) == [1]
    peer.send(0x185, bytes.fromhex("3712FEFFFFFF"))
    assert tpdo.wait_for_reception(2) is not None
    assert tpdo["Statusword"].raw == 0x1237
    assert remote.tpdo["Position actual value"].raw == -2

    rpdo = remote.rpdo[1]
    peer.script = [upload(0x1400, 1, "43HEAD05020000"), upload(0x1400, 2, "4FHEADFF000000"),
                   upload(0x1600, 0, "4FHEAD01000000"), upload(0x1600, 1, "43HEAD10001760")]
    rpdo.read()
    rpdo[0].raw = 0x0102
    rpdo.transmit()
    time.sleep(0.05)
    assert F(0x205, "0201") in peer.seen


def test_scanner_hears_nodes(virtual):
    master, peer = virtual
    for cob in (0x70A, 0x58B, 0x1A5, 0x600, 0x0C):  # heartbeat, SDO answer, TPDO; no node
        peer.send(cob, b"\x05")
    deadline = time.monotonic() + 2
    while len(master.scanner.nodes) < 3 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert sorted(master.scanner.nodes) == [0x0A, 0x0B, 0x25]
    master.scanner.reset()
    assert master.scanner.nodes == []


def test_a_closed_master_refuses_nodes(virtual):
    master, _ = virtual
    master.close()
    with pytest.raises(orukiv.ClosedError):
        master.add_node(5)
    with pytest.raises(ValueError):
        orukiv.RemoteNode(0)
